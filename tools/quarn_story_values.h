// How the story of quarn_synth --story travels and what a reader of its
// dumps must find: the records spread over log messages (with losses on the
// way when asked), the values each record decodes to, as JSON lines or
// CSV, and the connection's summary, for the tests that compare the
// analysis tools with the synthesizer.
#ifndef QUARN_STORY_VALUES_H
#define QUARN_STORY_VALUES_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_dumppolicy.h"
#include "quarn_json.h"
#include "quarn_logfmt.h"
#include "quarn_story.h"

namespace quarn::story {

// How the records travel: log messages of one connection, each dumped on
// its own. With losses, three records vanish inside the second message (a
// gap block in its dump), the six after it go out as a short message with
// reason `short_reason` ("rebuffer" or "error": the daemon removes its
// dump) and five vanish before the fourth (a jump between dumps). Losses
// fall on packet records only, so every event of the story stays.
struct story_message {
    std::string reason;
    std::vector<size_t> records;  // indices into the story's records
};

inline constexpr uint32_t MAX_MESSAGES = 64;
inline constexpr uint32_t MIN_MESSAGES_WITH_LOSSES = 4;
inline constexpr size_t LOST_INSIDE = 3, REBUFFERED = 6, LOST_BETWEEN = 5;

// The first index at or after `from` that starts `n` packet records in a
// row, before `limit`; `limit` when there is none.
inline size_t packet_run(const std::vector<logged>& recs, size_t from, size_t n, size_t limit) {
    from = std::min(from, limit);
    for (size_t at = from; at + n <= limit; at++) {
        bool all = true;
        for (size_t i = at; i < at + n && all; i++) {
            all = recs[i].event_id == REC_EVENT_IN || recs[i].event_id == REC_EVENT_OUT;
        }
        if (all) return at;
    }
    return limit;
}

inline std::vector<story_message> plan_messages(const std::vector<logged>& recs, uint32_t count,
                                                bool losses, const char* short_reason = "rebuffer") {
    const size_t n = recs.size();
    std::vector<size_t> bounds;
    for (uint32_t i = 0; i <= count; i++) bounds.push_back(n * i / count);
    std::vector<story_message> out;
    auto add = [&](const char* reason, size_t from, size_t to) {
        story_message m{reason, {}};
        for (size_t i = from; i < to; i++) m.records.push_back(i);
        out.push_back(m);
    };
    if (!losses) {
        for (uint32_t i = 0; i < count; i++) add("normal", bounds[i], bounds[i + 1]);
        return out;
    }
    // Each loss starts after the one before it, at the first run of packets
    // from its nominal place on.
    const size_t inside = packet_run(recs, (bounds[1] + bounds[2]) / 2, LOST_INSIDE, n);
    const size_t rebuffer =
        packet_run(recs, std::max(bounds[2], inside + LOST_INSIDE + 1), REBUFFERED, n);
    const size_t between =
        packet_run(recs, std::max(bounds[3], rebuffer + REBUFFERED + n / count / 2), LOST_BETWEEN, n);
    add("normal", bounds[0], bounds[1]);
    add("normal", bounds[1], rebuffer);
    auto& second = out.back().records;
    second.erase(std::remove_if(second.begin(), second.end(),
                                [&](size_t i) { return i >= inside && i < inside + LOST_INSIDE; }),
                 second.end());
    add(short_reason, rebuffer, std::min(rebuffer + REBUFFERED, n));
    add("normal", std::min(rebuffer + REBUFFERED, n), between);
    // The rest, in as many messages as are left to make.
    const size_t from = std::min(between + LOST_BETWEEN, n);
    const uint32_t left = count - 3;
    for (uint32_t i = 0; i < left; i++) {
        add("normal", from + (n - from) * i / left, from + (n - from) * (i + 1) / left);
    }
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const story_message& m) { return m.records.empty(); }),
              out.end());
    return out;
}

// Names for what the story logs, as the analysis tools show them.
inline const char* event_name(uint8_t id) {
    switch (id) {
    case REC_EVENT_IN: return "in";
    case REC_EVENT_OUT: return "out";
    case REC_EVENT_RTO: return "rto";
    case EV_SB_WAKE: return "sb_wake";
    case EV_PRR: return "prr";
    case EV_REORDER: return "reorder";
    case EV_USERSEND: return "usersend";
    case REC_EVENT_CONN_END: return "connend";
    default: return "";
    }
}

inline const char* state_name(int32_t state) {
    switch (state) {
    case TCP_STATE_SYN_SENT: return "SYN_SENT";
    case TCP_STATE_ESTABLISHED: return "ESTABLISHED";
    case TCP_STATE_FIN_WAIT_1: return "FIN_WAIT_1";
    case TCP_STATE_FIN_WAIT_2: return "FIN_WAIT_2";
    case TCP_STATE_TIME_WAIT: return "TIME_WAIT";
    default: return "";
    }
}

// The values a reader of the dumps should decode, one row per record that
// reaches a dump and one "gap" row (with "missing") wherever the serials
// jump, in the order of the stream. Column names as the analysis tools use
// them; the RACK and BBR columns when a record carries that part, and
// filled on those records only. With a stem, a first column names the
// connection as the daemon names its dumps.
struct value_table {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;  // "" = no value; strings as JSON strings
};

inline size_t column(const value_table& t, std::string_view name) {
    return static_cast<size_t>(std::find(t.columns.begin(), t.columns.end(), name) - t.columns.begin());
}

// The BBR columns the story fills, by the analysis tools' names.
inline constexpr const char* BBR_COLUMNS[] = {
    "bbr_cur_del_rate", "bbr_del_rate",  "bbr_rtt_prop",    "bbr_bw_inuse",  "bbr_inflight",
    "bbr_applimited",   "bbr_delivered", "bbr_timestamp",   "bbr_pkts_out",  "bbr_lost",
    "bbr_pacing_gain",  "bbr_cwnd_gain", "bbr_bbr_state"};

inline std::vector<std::string> bbr_cells(const bbr_view& b) {
    auto num = [](auto v) { return std::to_string(v); };
    return {num(b.del_rate),    num(b.del_rate),    num(b.rtt_prop),   num(b.bw_inuse),
            num(b.inflight),    num(b.applimited),  num(b.delivered),  num(b.timestamp),
            num(b.pkts_out),    num(b.lost),        num(unsigned{b.pacing_gain}),
            num(unsigned{b.cwnd_gain}), num(unsigned{b.bbr_state})};
}

inline bool carries(const logged& r, stack_part part) {
    return (r.flags & REC_FLAG_STACKINFO) && r.part == part;
}

// `stack_name` gives the registry's name of a record's stack_id.
inline value_table expected_values(const std::vector<logged>& recs,
                                   const std::vector<story_message>& msgs, int64_t offset_sec,
                                   int64_t offset_usec, const char* (*stack_name)(uint8_t),
                                   const std::string& stem = "") {
    bool rack = false, bbr = false;
    for (const story_message& m : msgs) {
        for (size_t i : m.records) {
            rack = rack || carries(recs[i], PART_RACK);
            bbr = bbr || carries(recs[i], PART_BBR);
        }
    }
    value_table t;
    t.columns = {"time",     "block",    "serial",      "stack_id", "stack",    "event_id",
                 "event",    "state",    "flags",       "errno",    "snd_una",  "snd_max",
                 "snd_nxt",  "snd_recover", "cwnd",     "ssthresh", "snd_wnd",  "rcv_nxt",
                 "rcv_wnd",  "srtt",     "rttvar",      "dupacks",  "segqlen",  "sack_holes",
                 "flex1",    "flex2",    "rxbuf_acc",   "txbuf_acc", "payload_len", "missing"};
    if (rack) {
        t.columns.push_back("rack_rtt");
        t.columns.push_back("rack_state");
    }
    if (bbr) t.columns.insert(t.columns.end(), std::begin(BBR_COLUMNS), std::end(BBR_COLUMNS));
    if (!stem.empty()) t.columns.insert(t.columns.begin(), "stem");
    auto quoted = [](const char* s) {
        std::string q = "\"";
        json_append_string(q, s);
        return q + "\"";
    };
    bool have_prev = false;
    uint32_t prev = 0;
    for (const story_message& m : msgs) {
        // A dump the daemon removes instead of indexing shows no rows.
        if (!complete_dump_indexed(static_cast<uint32_t>(m.records.size()), m.reason)) continue;
        for (size_t i : m.records) {
            const logged& r = recs[i];
            if (have_prev && r.serial != prev + 1) {
                std::vector<std::string> gap(t.columns.size());
                if (!stem.empty()) gap[column(t, "stem")] = quoted(stem.c_str());
                gap[column(t, "block")] = quoted("gap");
                gap[column(t, "missing")] = std::to_string(r.serial - prev - 1);
                t.rows.push_back(gap);
            }
            have_prev = true;
            prev = r.serial;
            int64_t usec = offset_usec + r.usec;
            const int64_t sec = offset_sec + r.sec + usec / 1000000;
            usec %= 1000000;
            char time[40];
            std::snprintf(time, sizeof time, "%lld.%06lld", static_cast<long long>(sec),
                          static_cast<long long>(usec));
            auto num = [](auto v) { return std::to_string(v); };
            std::vector<std::string> row;
            if (!stem.empty()) row.push_back(quoted(stem.c_str()));
            row.insert(row.end(), {
                time, quoted((r.flags & REC_FLAG_HAS_TH) ? "packet" : "event"), num(r.serial),
                num(unsigned{r.stack_id}), quoted(stack_name(r.stack_id)), num(unsigned{r.event_id}),
                quoted(event_name(r.event_id)), quoted(state_name(r.state)), num(r.flags),
                num(r.error), num(r.snd_una), num(r.snd_max), num(r.snd_nxt), num(r.snd_recover),
                num(r.cwnd), num(r.ssthresh), num(r.snd_wnd), num(r.rcv_nxt), num(r.rcv_wnd),
                num(r.srtt), num(r.rttvar), num(r.dupacks), num(r.segqlen), num(r.sack_holes),
                num(r.flex1), num(r.flex2),
                (r.flags & REC_FLAG_RXBUF) ? num(r.rxbuf_acc) : "",
                (r.flags & REC_FLAG_TXBUF) ? num(r.txbuf_acc) : "", num(r.payload_len), ""});
            if (rack) {
                const bool has = carries(r, PART_RACK);
                row.push_back(has ? num(r.rack_rtt) : "");
                row.push_back(has ? num(unsigned{r.rack_state}) : "");
            }
            if (bbr) {
                const std::vector<std::string> cells = bbr_cells(r.bbr);
                for (const std::string& c : cells) row.push_back(carries(r, PART_BBR) ? c : "");
            }
            t.rows.push_back(row);
        }
    }
    return t;
}

// The table as JSON lines (absent values left out) or as CSV with a header
// line (absent values empty; a string bare, or in double quotes with its
// quotes doubled when it holds a comma, a quote or a line end).
inline std::string json_lines(const value_table& t) {
    std::string out;
    for (const auto& row : t.rows) {
        std::string line;
        for (size_t c = 0; c < t.columns.size(); c++) {
            if (row[c].empty()) continue;
            line += (line.empty() ? "{\"" : ", \"") + t.columns[c] + "\":" + row[c];
        }
        out += line + "}\n";
    }
    return out;
}

// The text of a JSON string body as json_append_string writes it.
inline std::string json_unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char e = s[++i];
        if (e == 'u' && i + 4 < s.size()) {
            out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 4)), nullptr, 16));
            i += 4;
        } else {
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
        }
    }
    return out;
}

inline std::string csv_text(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string q = "\"";
    for (char ch : v) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return q + "\"";
}

inline std::string csv(const value_table& t) {
    std::string out;
    for (size_t c = 0; c < t.columns.size(); c++) out += (c ? "," : "") + t.columns[c];
    out += "\n";
    for (const auto& row : t.rows) {
        for (size_t c = 0; c < row.size(); c++) {
            std::string v = row[c];
            if (!v.empty() && v.front() == '"') v = csv_text(json_unescape(v.substr(1, v.size() - 2)));
            out += (c ? "," : "") + v;
        }
        out += "\n";
    }
    return out;
}

// What quarn_inspect --summary must say of the story's dumps, as CSV: a
// header line with the columns the story knows (all but the verdict) and
// one row. The story knows the bytes it wrote and received, which segments
// it sent again, what limited each interval, when its RTO fired and when
// it was answered; the rest comes from the records that reach a dump, in
// the order of the stream: an interval belongs to its earlier record and
// counts when that record is ESTABLISHED, and across lost records it is
// unknown. The story's clock runs at 1000 ticks a second, and srtt is in
// ticks times 32; its unit is known for the base stack only.
struct summary_header {
    std::string stem, laddr, faddr, stack;
    uint16_t lport = 0, fport = 0;
    int64_t offset_sec = 0, offset_usec = 0;
    bool base_stack = true;
};

inline std::string expected_summary_csv(const std::vector<logged>& recs,
                                        const std::vector<story_message>& msgs,
                                        const summary_header& h) {
    auto secs = [](int64_t us) {
        char b[40];
        std::snprintf(b, sizeof b, "%lld.%06lld", static_cast<long long>(us / 1000000),
                      static_cast<long long>(us % 1000000));
        return std::string(b);
    };
    auto round_div = [](__int128 num, __int128 den) { return static_cast<int64_t>((num + den / 2) / den); };
    // srtt in ticks times 32, ticks of 1 ms: microseconds.
    auto srtt_us = [&](__int128 raw_times_us, __int128 us) { return round_div(raw_times_us * 1000, us * 32); };
    auto ms = [](int64_t us) {
        char b[40];
        std::snprintf(b, sizeof b, "%lld.%03lld", static_cast<long long>(us / 1000),
                      static_cast<long long>(us % 1000));
        return std::string(b);
    };
    int64_t limited[4] = {}, unknown = 0, established = 0, closed = 0, recovery = 0, rto_wait = 0;
    uint64_t records = 0, missing = 0, segments = 0, again = 0, again_bytes = 0, rtos = 0,
             recoveries = 0, srtt_n = 0;
    int64_t first = 0, last = 0, rto_start = 0, srtt_weight = 0;
    uint32_t srtt_min = 0, srtt_max = 0;
    __int128 srtt_weighted = 0, srtt_sum = 0;
    bool in_rto = false;
    const logged* prev = nullptr;
    int64_t prev_t = 0;
    for (const story_message& m : msgs) {
        if (!complete_dump_indexed(static_cast<uint32_t>(m.records.size()), m.reason)) continue;
        for (size_t i : m.records) {
            const logged& r = recs[i];
            const int64_t t = (h.offset_sec + r.sec) * 1000000 + h.offset_usec + r.usec;
            if (prev) {
                const bool gap = r.serial != prev->serial + 1;
                const int64_t dt = t - prev_t;
                if (gap) missing += r.serial - prev->serial - 1;
                if (prev->state == TCP_STATE_ESTABLISHED) {
                    established += dt;
                    if (gap) {
                        unknown += dt;
                    } else {
                        limited[prev->limit] += dt;
                        if (prev->rcv_wnd < MSS) closed += dt;
                    }
                }
                if (!gap && (prev->tcb_flags & TF_FASTRECOVERY)) recovery += dt;
                if (!gap && h.base_stack && prev->srtt > 0) {
                    srtt_weighted += static_cast<__int128>(prev->srtt) * dt;
                    srtt_weight += dt;
                }
            } else {
                first = t;
            }
            last = t;
            records++;
            const bool packet = r.flags & REC_FLAG_HAS_TH;
            if (packet && r.event_id == REC_EVENT_OUT) {
                segments++;
                if (r.retransmission) {
                    again++;
                    again_bytes += r.payload_len;
                }
            }
            if (in_rto && r.limit != LIMIT_RTO) {
                in_rto = false;
                rto_wait += t - rto_start;
            }
            if (!packet && r.event_id == REC_EVENT_RTO) {
                rtos++;
                if (!in_rto) rto_start = t;
                in_rto = true;
            }
            const bool recovering = r.tcb_flags & TF_FASTRECOVERY;
            if (recovering && !(prev && (prev->tcb_flags & TF_FASTRECOVERY))) recoveries++;
            if (h.base_stack && r.srtt > 0) {
                if (srtt_n == 0 || r.srtt < srtt_min) srtt_min = r.srtt;
                if (srtt_n == 0 || r.srtt > srtt_max) srtt_max = r.srtt;
                srtt_n++;
                srtt_sum += r.srtt;
            }
            prev = &r;
            prev_t = t;
        }
    }
    if (in_rto) rto_wait += last - rto_start;
    std::vector<std::pair<std::string, std::string>> cols = {
        {"stem", h.stem},
        {"laddr", h.laddr},
        {"lport", std::to_string(h.lport)},
        {"faddr", h.faddr},
        {"fport", std::to_string(h.fport)},
        {"stack", h.stack},
        {"first", secs(first)},
        {"last", secs(last)},
        {"duration", secs(last - first)},
        {"records", std::to_string(records)},
        {"missing", std::to_string(missing)},
        {"bytes_sent", std::to_string(uint64_t{SEGMENTS + SEGMENTS_AFTER_PAUSE} * MSS)},
        {"bytes_received", std::to_string(REPLY_BYTES)},
        {"segments_sent", std::to_string(segments)},
        {"segments_retransmitted", std::to_string(again)},
        {"bytes_retransmitted", std::to_string(again_bytes)},
        {"rto_count", std::to_string(rtos)},
        {"rto_wait", secs(rto_wait)},
        {"recovery_episodes", std::to_string(recoveries)},
        {"recovery_time", secs(recovery)},
        {"srtt_min_ms", srtt_n ? ms(srtt_us(srtt_min, 1)) : ""},
        {"srtt_avg_ms", srtt_n ? ms(srtt_weight > 0 ? srtt_us(srtt_weighted, srtt_weight)
                                                    : srtt_us(srtt_sum, srtt_n))
                               : ""},
        {"srtt_max_ms", srtt_n ? ms(srtt_us(srtt_max, 1)) : ""},
        {"established_time", secs(established)},
        {"limited_cwnd", secs(limited[LIMIT_CWND])},
        {"limited_rwnd", secs(limited[LIMIT_RWND])},
        {"limited_app", secs(limited[LIMIT_APP])},
        {"limited_rto", secs(limited[LIMIT_RTO])},
        {"unknown", secs(unknown)},
    };
    const int64_t shares[] = {limited[LIMIT_CWND], limited[LIMIT_RWND], limited[LIMIT_APP],
                              limited[LIMIT_RTO], unknown};
    const char* names[] = {"limited_cwnd_fraction", "limited_rwnd_fraction", "limited_app_fraction",
                           "limited_rto_fraction", "unknown_fraction"};
    for (size_t k = 0; k < 5; k++) {
        const int64_t f = round_div(static_cast<__int128>(shares[k]) * 10000, established);
        char b[40];
        std::snprintf(b, sizeof b, "%lld.%04lld", static_cast<long long>(f / 10000),
                      static_cast<long long>(f % 10000));
        cols.emplace_back(names[k], b);
    }
    cols.emplace_back("rcv_window_closed", secs(closed));
    std::string head, row;
    for (size_t c = 0; c < cols.size(); c++) {
        head += (c ? "," : "") + cols[c].first;
        row += (c ? "," : "") + cols[c].second;
    }
    return head + "\n" + row + "\n";
}

}  // namespace quarn::story

#endif
