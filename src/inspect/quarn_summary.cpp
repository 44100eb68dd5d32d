// The per-connection summary: one pass over the records in stream order,
// each interval between two records attributed by the earlier one.
#include "quarn_summary.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "quarn_dumpshow.h"
#include "quarn_json.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng_format.h"
#include "quarn_rowtable.h"
#include "quarn_tcphdr.h"
#include "quarn_tcplog.h"
#include "quarn_text.h"
#include "quarn_utf8.h"

namespace quarn {

const std::vector<std::string_view> SUMMARY_KEYS = {
    "stem", "laddr", "lport", "faddr", "fport", "stack", "first", "last", "duration", "records",
    "missing", "bytes_sent", "bytes_received", "segments_sent", "segments_retransmitted",
    "bytes_retransmitted", "rto_count", "rto_wait", "recovery_episodes", "recovery_time",
    "srtt_min_ms", "srtt_avg_ms", "srtt_max_ms", "established_time", "limited_cwnd",
    "limited_rwnd", "limited_app", "limited_rto", "unknown", "limited_cwnd_fraction",
    "limited_rwnd_fraction", "limited_app_fraction", "limited_rto_fraction", "unknown_fraction",
    "rcv_window_closed", "verdict",
};

namespace {

constexpr uint8_t EV_BBR_RTO = 26;  // BBR's own rto event
constexpr uint32_t TF_SENTFIN = 0x10, TF_FASTRECOVERY = 0x100000;
constexpr uint8_t TCPOPT_EOL = 0, TCPOPT_NOP = 1, TCPOPT_MAXSEG = 2, TCPOLEN_MAXSEG = 4;
// The sender's MSS when no SYN of the peer tells it.
constexpr uint32_t DEFAULT_SMSS = 1460;
// The base stack keeps t_srtt in ticks scaled by 32 (TCP_RTT_SCALE).
constexpr uint32_t SRTT_SCALE = 32;
constexpr int64_t USEC_PER_SEC = 1000000;
constexpr uint32_t DEFAULT_HZ = 1000;
constexpr uint32_t MIN_TICKS_FOR_RATE = 200;
constexpr uint32_t USUAL_HZ[] = {100, 128, 250, 256, 500, 512, 1000, 1024, 2000, 4000, 8000, 10000};

bool seq_lt(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
bool seq_gt(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

bool base_stack(std::string_view name) { return name == "default" || name == "freebsd"; }

// num / den rounded half up; both not negative, den above 0.
int64_t div_round(__int128 num, __int128 den) { return static_cast<int64_t>((num + den / 2) / den); }

// Record times the summary counts with: from 1970 to 2242 (2^33 seconds).
// A damaged record's time outside them counts as no time, so that every
// time, and every difference of two, fits in 64 bits with room to spare.
constexpr int64_t MAX_RECORD_SEC = int64_t{1} << 33;

// Adds a non-negative `v` to a running total, stopping at INT64_MAX rather
// than wrapping when damaged times add up past it.
void add_capped(int64_t& total, int64_t v) { total = v > INT64_MAX - total ? INT64_MAX : total + v; }

// The MSS option of the TCP header inside a packet block, or 0.
uint32_t packet_mss(const dump_block& b) {
    if (!b.packet || b.caplen < AF_WORD_LEN) return 0;
    const uint32_t af = load<uint32_t>(b.packet);
    const size_t ip_len = af == TLH_AF_INET6 ? IPV6_HDR_LEN : af == TLH_AF_INET ? IPV4_HDR_LEN : 0;
    if (ip_len == 0 || b.caplen < AF_WORD_LEN + ip_len + TCP_MIN_HDR_LEN) return 0;
    const uint8_t* th = b.packet + AF_WORD_LEN + ip_len;
    const size_t th_len = static_cast<size_t>(th[12] >> 4) * 4;
    if (th_len < TCP_MIN_HDR_LEN || b.caplen < AF_WORD_LEN + ip_len + th_len) return 0;
    for (size_t i = TCP_MIN_HDR_LEN; i < th_len;) {
        if (th[i] == TCPOPT_EOL) break;
        if (th[i] == TCPOPT_NOP) {
            i++;
            continue;
        }
        if (i + 1 >= th_len) break;
        const size_t len = th[i + 1];
        if (len < 2 || i + len > th_len) break;
        if (th[i] == TCPOPT_MAXSEG && len == TCPOLEN_MAXSEG) return load_be16(th + i + 2);
        i += len;
    }
    return 0;
}

// The values of a record that decide how the interval after it counts.
struct interval_start {
    bool has_time = false;
    int64_t t = 0;
    uint32_t serial = 0;
    int32_t state = 0;
    uint32_t cwnd = 0, snd_wnd = 0, flight = 0, rcv_wnd = 0;
    bool in_rto = false, in_recovery = false;
    bool srtt_known = false;
    uint32_t srtt = 0;
};

struct summarizer {
    conn_summary& s;
    summary_periods* periods = nullptr;
    uint32_t smss = DEFAULT_SMSS;
    bool have_prev = false;
    interval_start prev;
    // Clock: the first and last records with a time, for the tick rate.
    bool have_clock = false;
    uint32_t first_ticks = 0, last_ticks = 0;
    // Sequence space.
    bool syn_seen = false, fin_sent = false, fin_received = false;
    uint32_t first_iss = 0, first_una = 0, snd_max_high = 0;
    uint32_t sent_high = 0;  // highest sequence sent before the record at hand
    bool have_rcv = false;
    uint32_t rcv_first = 0, rcv_high = 0;
    // RTO in progress: since when, and the snd_una it waits to pass.
    bool in_rto = false;
    int64_t rto_start = 0;
    uint32_t rto_una = 0;
    bool rto_timed = false;
    uint64_t rto_events = 0;  // rto events since rto_start
    int64_t last_t = 0;
    bool in_recovery = false;
    // srtt: raw extremes and the time-weighted sum.
    uint32_t srtt_min = 0, srtt_max = 0;
    __int128 srtt_weighted = 0;
    int64_t srtt_weight = 0;
    uint64_t srtt_samples = 0;
    __int128 srtt_sum = 0;
    uint64_t gap_before_first = 0;

    void stack_seen(std::string_view name) {
        if (name.empty()) return;
        size_t from = 0;
        const std::string& st = s.stack;
        while (from <= st.size()) {
            size_t bar = st.find('|', from);
            if (bar == std::string::npos) bar = st.size();
            if (std::string_view(st).substr(from, bar - from) == name) return;
            from = bar + 1;
        }
        if (!s.stack.empty()) s.stack += '|';
        s.stack += name;
    }

    void interval(const interval_start& a, int64_t t, uint32_t serial) {
        const bool gap = serial != a.serial + 1;
        if (gap) s.missing += serial - a.serial - 1;
        if (!a.has_time) return;
        const int64_t dt = std::max<int64_t>(0, t - a.t);
        if (a.state == TCP_STATE_ESTABLISHED || a.state == TCP_STATE_CLOSE_WAIT) {
            add_capped(s.established_us, dt);
            summary_limit l = LIMIT_UNKNOWN;
            if (!gap) {
                const int64_t room = int64_t{std::min(a.cwnd, a.snd_wnd)} - a.flight;
                if (a.in_rto) l = LIMIT_RTO;
                else if (room < int64_t{smss}) l = a.snd_wnd <= a.cwnd ? LIMIT_RWND : LIMIT_CWND;
                else l = LIMIT_APP;
                if (a.rcv_wnd < smss) add_capped(s.rcv_window_closed_us, dt);
            }
            add_capped(s.limited_us[l], dt);
            if (periods) {
                std::vector<limit_interval>& v = periods->limits;
                if (!v.empty() && v.back().limit == l && v.back().to_us == a.t) v.back().to_us = a.t + dt;
                else v.push_back({a.t, a.t + dt, l});
            }
        }
        if (gap) return;
        if (a.in_recovery) {
            add_capped(s.recovery_us, dt);
            if (periods) {
                std::vector<time_span>& v = periods->recovery;
                if (!v.empty() && v.back().to_us == a.t) v.back().to_us = a.t + dt;
                else v.push_back({a.t, a.t + dt});
            }
        }
        if (a.srtt_known) {
            srtt_weighted += static_cast<__int128>(a.srtt) * dt;
            add_capped(srtt_weight, dt);
        }
    }

    void record(const dump_contents& c, const dump_block& b) {
        const dump_section& sec = c.sections[b.section];
        const std::string_view stack =
            sec.has_stack && sec.stack_id == rec_stack_id(b.record) ? sec.stack_name : std::string_view();
        tcplog_record r;
        tcplog_decode(std::span<const uint8_t>(b.record, REC_COPY_SIZE), stack, r);
        int64_t sec_part = 0, usec_part = 0;
        const bool has_time = record_wall_time(sec, b.record, sec_part, usec_part) && sec_part >= 0 &&
                              sec_part < MAX_RECORD_SEC;
        const int64_t t = has_time ? sec_part * USEC_PER_SEC + usec_part : 0;
        if (have_prev && prev.has_time && has_time) {
            interval(prev, t, r.serial);
        } else if (have_prev) {
            interval_start untimed = prev;
            untimed.has_time = false;
            interval(untimed, t, r.serial);
        }

        const bool first = s.records == 0;
        s.records++;
        if (sec.has_stack) stack_seen(sec.stack_name);
        if (has_time) {
            if (!s.has_time || t < s.first_us) s.first_us = t;
            if (!s.has_time || t > s.last_us) s.last_us = t;
            if (!have_clock) first_ticks = r.ticks;
            last_ticks = r.ticks;
            have_clock = s.has_time = true;
            last_t = t;
        }

        if (first) {
            first_iss = r.iss;
            first_una = r.snd_una;
            snd_max_high = sent_high = r.snd_max;
        }
        if (r.state == TCP_STATE_SYN_SENT || r.state == TCP_STATE_SYN_RECEIVED) syn_seen = true;
        if (r.tcb_flags & TF_SENTFIN) fin_sent = true;
        if (r.state == TCP_STATE_CLOSE_WAIT || r.state == TCP_STATE_CLOSING || r.state == TCP_STATE_LAST_ACK ||
            r.state == TCP_STATE_TIME_WAIT) {
            fin_received = true;
        }
        if (r.state >= TCP_STATE_SYN_RECEIVED && r.state <= TCP_STATE_TIME_WAIT) {
            if (!have_rcv) rcv_first = rcv_high = r.rcv_nxt;
            if (seq_gt(r.rcv_nxt, rcv_high)) rcv_high = r.rcv_nxt;
            have_rcv = true;
        }

        if (b.kind == dump_block_kind::packet) {
            const tcp_fields th = packet_tcp(b);
            const bool inbound = r.event_id == REC_EVENT_IN;
            if (th.valid && (th.flags & TCP_HDR_SYN)) {
                syn_seen = true;
                if (inbound) {
                    if (const uint32_t mss = packet_mss(b); mss != 0) smss = mss;
                }
            }
            if (!inbound) {
                s.segments_sent++;
                const uint32_t consumed =
                    r.payload_len + ((th.flags & TCP_HDR_SYN) ? 1 : 0) + ((th.flags & TCP_HDR_FIN) ? 1 : 0);
                if (th.valid && consumed > 0) {
                    if (!first && seq_lt(th.seq, sent_high)) {
                        s.segments_retransmitted++;
                        s.bytes_retransmitted += r.payload_len;
                    }
                    if (first || seq_gt(th.seq + consumed, sent_high)) sent_high = th.seq + consumed;
                }
            }
        }
        if (seq_gt(r.snd_max, sent_high)) sent_high = r.snd_max;
        if (seq_gt(r.snd_max, snd_max_high)) snd_max_high = r.snd_max;

        if (in_rto && seq_gt(r.snd_una, rto_una)) {
            in_rto = false;
            if (rto_timed && has_time) rto_ends(t);
        }
        if (b.kind == dump_block_kind::event && (r.event_id == REC_EVENT_RTO || r.event_id == EV_BBR_RTO)) {
            s.rto_count++;
            if (!in_rto) {
                in_rto = true;
                rto_una = r.snd_una;
                rto_start = t;
                rto_timed = has_time;
                rto_events = 0;
            }
            rto_events++;
        }
        const bool recovery = r.tcb_flags & TF_FASTRECOVERY;
        if (recovery && !in_recovery) s.recovery_episodes++;
        in_recovery = recovery;

        const bool srtt_known = base_stack(stack) && r.srtt > 0;
        if (srtt_known) {
            if (srtt_samples == 0 || r.srtt < srtt_min) srtt_min = r.srtt;
            if (srtt_samples == 0 || r.srtt > srtt_max) srtt_max = r.srtt;
            srtt_samples++;
            srtt_sum += r.srtt;
        }

        prev = interval_start{has_time, t, r.serial, r.state, r.cwnd, r.snd_wnd,
                              r.snd_max - r.snd_una, r.rcv_wnd, in_rto, recovery,
                              srtt_known, r.srtt};
        have_prev = true;
    }

    // The RTO in progress ends at `t`.
    void rto_ends(int64_t t) {
        const int64_t end = std::max(t, rto_start);
        add_capped(s.rto_wait_us, end - rto_start);
        if (periods) periods->rtos.push_back({rto_start, end, rto_events});
    }

    void finish() {
        s.missing += gap_before_first;
        if (in_rto && rto_timed) rto_ends(last_t);
        if (s.records > 0) {
            const uint32_t base = syn_seen ? first_iss : first_una;
            int64_t sent = snd_max_high - base;
            sent -= (syn_seen ? 1 : 0) + (fin_sent ? 1 : 0);
            s.bytes_sent = static_cast<uint64_t>(std::max<int64_t>(0, sent));
        }
        if (have_rcv) {
            const int64_t got = int64_t{rcv_high - rcv_first} - (fin_received ? 1 : 0);
            s.bytes_received = static_cast<uint64_t>(std::max<int64_t>(0, got));
        }
        if (srtt_samples > 0) {
            const uint32_t hz = summary_tick_rate(last_ticks - first_ticks, s.last_us - s.first_us);
            const __int128 per = __int128{SRTT_SCALE} * hz;  // raw units per second
            s.has_srtt = true;
            s.srtt_min_us = div_round(__int128{srtt_min} * USEC_PER_SEC, per);
            s.srtt_max_us = div_round(__int128{srtt_max} * USEC_PER_SEC, per);
            s.srtt_avg_us = srtt_weight > 0
                                ? div_round(srtt_weighted * USEC_PER_SEC, per * srtt_weight)
                                : div_round(srtt_sum * USEC_PER_SEC, per * srtt_samples);
        }
    }
};

std::string seconds_text(int64_t us) {
    return row_time_text(us / USEC_PER_SEC, us % USEC_PER_SEC);
}

// Microseconds as milliseconds with three decimals.
std::string ms_text(int64_t us) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(us / 1000),
             static_cast<long long>(us % 1000));
    return buf;
}

std::string fraction_text(int64_t part, int64_t whole) {
    const int64_t f = div_round(__int128{part} * 10000, whole);
    char buf[32];
    snprintf(buf, sizeof buf, "%lld.%04lld", static_cast<long long>(f / 10000),
             static_cast<long long>(f % 10000));
    return buf;
}

std::string percent_text(int64_t part, int64_t whole) {
    return std::to_string(div_round(__int128{part} * 100, whole)) + "%";
}

constexpr const char* LIMIT_WORDS[LIMIT_KINDS] = {"congestion-limited", "receiver-limited",
                                                  "application-limited", "RTO-limited", "unknown"};

std::string verdict_of(const conn_summary& s) {
    std::string v;
    if (s.established_us > 0) {
        size_t top = 0;
        for (size_t k = 1; k < LIMIT_KINDS; k++) {
            if (s.limited_us[k] > s.limited_us[top]) top = k;
        }
        v = std::string(LIMIT_WORDS[top]) + " " + percent_text(s.limited_us[top], s.established_us);
    } else {
        v = "no time established";
    }
    char buf[64];
    if (s.rto_count > 0) {
        snprintf(buf, sizeof buf, ", %llu RTO%s (%.2f s)", static_cast<unsigned long long>(s.rto_count),
                 s.rto_count == 1 ? "" : "s", static_cast<double>(s.rto_wait_us) / USEC_PER_SEC);
        v += buf;
    }
    if (s.recovery_episodes > 0) {
        snprintf(buf, sizeof buf, ", %llu recover%s (%.2f s)",
                 static_cast<unsigned long long>(s.recovery_episodes),
                 s.recovery_episodes == 1 ? "y" : "ies", static_cast<double>(s.recovery_us) / USEC_PER_SEC);
        v += buf;
    }
    if (s.bytes_retransmitted > 0 && s.bytes_sent > 0) {
        snprintf(buf, sizeof buf, ", %.1f%% retransmitted",
                 100.0 * static_cast<double>(s.bytes_retransmitted) / static_cast<double>(s.bytes_sent));
        v += buf;
    }
    if (s.rcv_window_closed_us > 0 && s.established_us > 0) {
        v += ", receive window closed " + percent_text(s.rcv_window_closed_us, s.established_us);
    }
    if (s.missing > 0) v += ", " + std::to_string(s.missing) + " records missing";
    return v;
}

// One cell: absent, a number (its text is a JSON number) or a text.
struct cell {
    enum type_t { absent, number, text } type = absent;
    std::string value;
};

std::vector<cell> cells_of(const conn_summary& s) {
    std::vector<cell> c;
    auto text = [&](const std::string& v) { c.push_back({cell::text, v}); };
    auto num = [&](const std::string& v) { c.push_back({cell::number, v}); };
    auto num_if = [&](bool present, const std::string& v) {
        if (present) num(v);
        else c.push_back({});
    };
    auto count = [&](uint64_t v) { num(std::to_string(v)); };
    text(s.stem);
    if (s.has_header) {
        text(s.laddr);
        count(s.lport);
        text(s.faddr);
        count(s.fport);
    } else {
        c.resize(c.size() + 4);
    }
    text(s.stack);
    num_if(s.has_time, row_time_text(s.first_us / USEC_PER_SEC, s.first_us % USEC_PER_SEC));
    num_if(s.has_time, row_time_text(s.last_us / USEC_PER_SEC, s.last_us % USEC_PER_SEC));
    num_if(s.has_time, seconds_text(s.last_us - s.first_us));
    for (uint64_t v : {s.records, s.missing, s.bytes_sent, s.bytes_received, s.segments_sent,
                       s.segments_retransmitted, s.bytes_retransmitted, s.rto_count}) {
        count(v);
    }
    num(seconds_text(s.rto_wait_us));
    count(s.recovery_episodes);
    num(seconds_text(s.recovery_us));
    for (int64_t v : {s.srtt_min_us, s.srtt_avg_us, s.srtt_max_us}) num_if(s.has_srtt, ms_text(v));
    num(seconds_text(s.established_us));
    for (int64_t v : s.limited_us) num(seconds_text(v));
    for (int64_t v : s.limited_us) {
        if (s.established_us > 0) num(fraction_text(v, s.established_us));
        else c.push_back({});
    }
    num(seconds_text(s.rcv_window_closed_us));
    text(s.verdict);
    return c;
}

// CSV text: quoted when it holds a comma, a quote or a line break; control
// characters and bytes that are not UTF-8 become '?'.
void csv_text(std::string& out, std::string_view s) {
    const bool quote = s.find_first_of(",\"\r\n") != std::string_view::npos;
    if (quote) out += '"';
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence_length(p + i, s.size() - i);
        if (p[i] == '"') out += "\"\"";
        else if (p[i] == '\r' || p[i] == '\n') out += static_cast<char>(p[i]);
        else if (n == 0 || p[i] < 0x20 || p[i] == 0x7f) out += '?';
        else out.append(s.substr(i, n));
        i += n == 0 ? 1 : n;
    }
    if (quote) out += '"';
}

// Text for the aligned table: as is when printable, '?' for the rest.
std::string table_text(std::string_view s) {
    std::string out;
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence_length(p + i, s.size() - i);
        if (n == 0 || p[i] < 0x20 || p[i] == 0x7f) out += '?';
        else out.append(s.substr(i, n));
        i += n == 0 ? 1 : n;
    }
    return out.empty() ? "-" : out;
}

// Display width of UTF-8 text: one column per sequence.
size_t width_of(std::string_view s) {
    size_t w = 0;
    for (unsigned char ch : s) w += (ch & 0xC0) != 0x80;
    return w;
}

// The connection's identifier as the daemon names its files, from the log
// header, for a file whose name is not a dump's.
std::string header_stem(const conn_summary& s, const uint8_t* hdr) {
    return std::string(tlh_id(hdr)) + "_" + std::to_string(s.lport) + "_" + s.faddr + "_" +
           std::to_string(s.fport);
}

}  // namespace

uint32_t summary_tick_rate(uint32_t dticks, int64_t dt_us) {
    if (dticks < MIN_TICKS_FOR_RATE || dt_us <= 0) return DEFAULT_HZ;
    const int64_t measured = div_round(__int128{dticks} * USEC_PER_SEC, dt_us);
    uint32_t best = 0;
    int64_t best_off = 0;
    for (uint32_t hz : USUAL_HZ) {
        const int64_t off = measured > hz ? measured - hz : hz - measured;
        if (off * 100 <= int64_t{hz} && (best == 0 || off < best_off)) {
            best = hz;
            best_off = off;
        }
    }
    if (best != 0) return best;
    return measured > 0 && measured <= UINT32_MAX ? static_cast<uint32_t>(measured) : DEFAULT_HZ;
}

struct summary_totals {
    conn_summary& out;
    summarizer z;
    summary_totals(conn_summary& o, summary_periods* periods) : out(o), z{o, periods} {}
};

summary_stream::summary_stream() = default;
summary_stream::~summary_stream() = default;

void summary_start(summary_stream& z, const std::string& stem, conn_summary& out, summary_periods* periods) {
    out = conn_summary{};
    out.stem = stem;
    if (periods) *periods = summary_periods{};
    z.totals = std::make_unique<summary_totals>(out, periods);
}

void summary_add_part(summary_stream& z, const dump_part& p) {
    conn_summary& out = z.totals->out;
    const dump_contents& c = p.contents;
    for (const dump_section& sec : c.sections) {
        if (out.has_header || !sec.log_header) continue;
        char buf[IPV6_TEXT_MAX];
        addr_field_text(sec.log_header, OFF_TLH_LADDR, buf);
        out.laddr = buf;
        addr_field_text(sec.log_header, OFF_TLH_FADDR, buf);
        out.faddr = buf;
        out.lport = tlh_lport(sec.log_header);
        out.fport = tlh_fport(sec.log_header);
        out.has_header = true;
        if (out.stem.empty()) out.stem = header_stem(out, sec.log_header);
    }
    for (const dump_block& b : c.blocks) {
        if (b.kind == dump_block_kind::gap && out.records == 0) z.totals->z.gap_before_first += b.missing;
        if (dump_block_has_record(b)) z.totals->z.record(c, b);
    }
}

void summary_finish(summary_stream& z) {
    z.totals->z.finish();
    z.totals->out.verdict = verdict_of(z.totals->out);
}

void summary_of_parts(const std::vector<dump_part>& parts, const std::string& stem, conn_summary& out,
                      summary_periods* periods) {
    summary_stream z;
    summary_start(z, stem, out, periods);
    for (const dump_part& p : parts) summary_add_part(z, p);
    summary_finish(z);
}

void summary_append(std::string& out, const std::vector<conn_summary>& rows, summary_format format) {
    const size_t n = SUMMARY_KEYS.size();
    if (format == summary_format::csv) {
        for (size_t i = 0; i < n; i++) {
            if (i) out += ',';
            out += SUMMARY_KEYS[i];
        }
        out += '\n';
        for (const conn_summary& s : rows) {
            const std::vector<cell> c = cells_of(s);
            for (size_t i = 0; i < n; i++) {
                if (i) out += ',';
                if (c[i].type == cell::number) out += c[i].value;
                else if (c[i].type == cell::text) csv_text(out, c[i].value);
            }
            out += '\n';
        }
        return;
    }
    if (format == summary_format::json) {
        for (const conn_summary& s : rows) {
            const std::vector<cell> c = cells_of(s);
            bool first = true;
            for (size_t i = 0; i < n; i++) {
                if (c[i].type == cell::absent) continue;
                out += first ? "{\"" : ", \"";
                first = false;
                out += SUMMARY_KEYS[i];
                out += "\":";
                if (c[i].type == cell::number) {
                    out += c[i].value;
                } else {
                    out += '"';
                    json_append_string(out, c[i].value);
                    out += '"';
                }
            }
            out += "}\n";
        }
        return;
    }
    std::vector<std::vector<std::string>> table;
    table.emplace_back(SUMMARY_KEYS.begin(), SUMMARY_KEYS.end());
    for (const conn_summary& s : rows) {
        std::vector<std::string> line;
        for (const cell& c : cells_of(s)) line.push_back(c.type == cell::absent ? "-" : table_text(c.value));
        table.push_back(std::move(line));
    }
    std::vector<size_t> widths(n, 0);
    for (const auto& line : table) {
        for (size_t i = 0; i < n; i++) widths[i] = std::max(widths[i], width_of(line[i]));
    }
    for (const auto& line : table) {
        for (size_t i = 0; i < n; i++) {
            out += line[i];
            if (i + 1 < n) out.append(widths[i] - width_of(line[i]) + 2, ' ');
        }
        out += '\n';
    }
}

int summary_main(const std::vector<std::string>& inputs, summary_format format, FILE* out,
                 const char* prog) {
    int status = 0;
    std::vector<conn_summary> rows;
    // Stems of one directory (the usual call: every connection of a dump
    // directory) share one listing of it.
    stem_listing listing;
    for (const std::string& in : inputs) {
        stem_parts sp;
        std::string err, stem;
        struct stat st;
        int rc;
        if (stat(in.c_str(), &st) == 0) {
            sp.parts.emplace_back();
            rc = dump_part_load(in, false, sp.parts.back(), err);
            stem = sp.parts.back().parsed.stem;
        } else {
            rc = stem_parts_load(in, false, sp, err, &listing);
            const size_t slash = in.rfind('/');
            stem = slash == std::string::npos ? in : in.substr(slash + 1);
        }
        if (rc != 0) {
            fprintf(stderr, "%s: %s\n", prog, err.c_str());
            status = 1;
            continue;
        }
        rows.emplace_back();
        summary_of_parts(sp.parts, stem, rows.back());
    }
    std::string text;
    summary_append(text, rows, format);
    fwrite(text.data(), 1, text.size(), out);
    if (fflush(out) != 0 || ferror(out)) {
        fprintf(stderr, "%s: standard output: %s\n", prog, strerror(errno));
        status = 1;
    }
    return status;
}

}  // namespace quarn
