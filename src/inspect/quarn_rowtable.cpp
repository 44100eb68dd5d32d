// The decoded-record table: rows from walked dumps, cells per column, and
// the CSV, JSON and text forms of a row.
#include "quarn_rowtable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <span>

#include "quarn_assert.h"
#include "quarn_dumpshow.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng_format.h"
#include "quarn_utf8.h"
#include "inspect/quarn_tcphdr.h"

namespace quarn {

namespace {

constexpr int64_t USEC_PER_SEC = 1000000;

std::string_view kind_text(row_kind k) {
    switch (k) {
    case row_kind::packet: return "packet";
    case row_kind::event: return "event";
    case row_kind::gap: break;
    }
    return "gap";
}

// A row's time and serial: those of the record block `b`.
void fill_time_serial(const dump_contents& c, const dump_block& b, record_row& r) {
    r.has_time = record_wall_time(c.sections[b.section], b.record, r.sec, r.usec);
    r.has_serial = true;
    r.serial = rec_serial(b.record);
}

// A record's row: time, serial and the decoded fields.
void fill_record_row(const dump_contents& c, const dump_block& b, record_row& r) {
    const dump_section& s = c.sections[b.section];
    fill_time_serial(c, b, r);
    r.stack = s.has_stack && s.stack_id == rec_stack_id(b.record) ? s.stack_name : std::string_view();
    r.decoded = tcplog_decode(std::span<const uint8_t>(b.record, REC_COPY_SIZE), r.stack, r.rec) == 0;
}

// Printable ASCII without blanks, '"' or '\'.
bool plain_word(std::string_view s) {
    if (s.empty()) return false;
    return std::all_of(s.begin(), s.end(), [](char ch) {
        return ch > 0x20 && ch < 0x7f && ch != '"' && ch != '\\';
    });
}

void csv_append_text(std::string& out, std::string_view s) {
    const bool quote = s.find_first_of(",\"\r\n") != std::string_view::npos;
    if (quote) out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"') {
            out += "\"\"";
            i++;
        } else if (c < 0x20 || c == 0x7f) {
            out += (c == '\r' || c == '\n') ? static_cast<char>(c) : '?';
            i++;
        } else if (const size_t n = utf8_sequence_length(s, i); n > 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += '?';
            i++;
        }
    }
    if (quote) out += '"';
}

bool skipped(std::string_view name, std::initializer_list<std::string_view> skip) {
    return std::find(skip.begin(), skip.end(), name) != skip.end();
}

void put_number(row_cell& c, uint64_t v) {
    c.type = row_cell::number;
    const auto [end, ec] = std::to_chars(c.buf, c.buf + sizeof c.buf, v);
    (void)ec;  // the buffer holds any 64-bit integer
    c.value = std::string_view(c.buf, static_cast<size_t>(end - c.buf));
}

void put_signed(row_cell& c, int64_t v) {
    c.type = row_cell::number;
    const auto [end, ec] = std::to_chars(c.buf, c.buf + sizeof c.buf, v);
    (void)ec;
    c.value = std::string_view(c.buf, static_cast<size_t>(end - c.buf));
}

// Milliseconds with three decimals from microseconds.
void put_milli(row_cell& c, uint64_t thousandths) {
    c.type = row_cell::number;
    char* p = std::to_chars(c.buf, c.buf + sizeof c.buf - 4, thousandths / 1000).ptr;
    *p++ = '.';
    const auto frac = static_cast<uint32_t>(thousandths % 1000);
    for (uint32_t div = 100; div > 0; div /= 10) *p++ = static_cast<char>('0' + frac / div % 10);
    c.value = std::string_view(c.buf, static_cast<size_t>(p - c.buf));
}

void put_text(row_cell& c, std::string_view s) {
    c.type = row_cell::text;
    c.value = s;
}

void put_owned_text(row_cell& c, std::string s) {
    c.type = row_cell::text;
    c.owned = std::move(s);
    c.value = c.owned;
}

// A record row's decoded fields (not a gap's).
bool decoded(const record_row& r) { return r.decoded && r.kind != row_kind::gap; }
bool rack_part(const record_row& r) { return decoded(r) && r.rec.part == tcplog_stack_part::rack; }
bool bbr_part(const record_row& r) { return decoded(r) && r.rec.part == tcplog_stack_part::bbr; }
bool packet_header(const record_row& r) { return r.kind == row_kind::packet && r.tcp.valid; }
// Stacks whose srtt and rttvar are the base stack's: ticks scaled by 32
// and 16.
bool base_stack_rtt(const record_row& r) { return decoded(r) && stack_keeps_scaled_ticks(r.stack); }

// Column getters: one line each, in column order. A getter that puts
// nothing leaves the cell absent.
#define REC(name, expr) {name, [](const record_row& r, row_cell& c) { if (decoded(r)) put_number(c, (expr)); }}
#define REC_SIGNED(name, expr) {name, [](const record_row& r, row_cell& c) { if (decoded(r)) put_signed(c, (expr)); }}
#define RACK(name, expr) {name, [](const record_row& r, row_cell& c) { if (rack_part(r)) put_number(c, (expr)); }}
#define BBR(field) {"bbr_" #field, [](const record_row& r, row_cell& c) { if (bbr_part(r)) put_number(c, r.rec.bbr.field); }}
#define TCP(name, expr) {name, [](const record_row& r, row_cell& c) { if (packet_header(r)) put_number(c, (expr)); }}

}  // namespace

constexpr row_column ROW_COLUMN_TABLE[ROW_COLUMNS] = {
    {"stem", [](const record_row& r, row_cell& c) { put_text(c, r.source.stem); }},
    {"part", [](const record_row& r, row_cell& c) { if (r.source.has_part) put_signed(c, r.source.part); }},
    {"time", [](const record_row& r, row_cell& c) {
         if (!r.has_time) return;
         const std::string t = row_time_text(r.sec, r.usec);
         c.type = row_cell::number;
         const size_t n = std::min(t.size(), sizeof c.buf);
         std::copy_n(t.data(), n, c.buf);
         c.value = std::string_view(c.buf, n);
     }},
    {"block", [](const record_row& r, row_cell& c) { put_text(c, kind_text(r.kind)); }},
    {"serial", [](const record_row& r, row_cell& c) { if (r.has_serial) put_number(c, r.serial); }},
    REC("stack_id", r.rec.stack_id),
    {"stack", [](const record_row& r, row_cell& c) { if (decoded(r)) put_text(c, r.stack); }},
    REC("event_id", r.rec.event_id),
    {"event", [](const record_row& r, row_cell& c) { if (decoded(r)) put_text(c, rec_event_name(r.rec.event_id)); }},
    {"state", [](const record_row& r, row_cell& c) {
         if (!decoded(r)) return;
         if (!tcp_state_name(r.rec.state).empty()) put_text(c, tcp_state_name(r.rec.state));
         else put_signed(c, r.rec.state);
     }},
    REC("flags", r.rec.flags),
    REC_SIGNED("errno", r.rec.error),
    REC("snd_una", r.rec.snd_una),
    REC("snd_max", r.rec.snd_max),
    REC("snd_nxt", r.rec.snd_nxt),
    REC("snd_recover", r.rec.snd_recover),
    REC("cwnd", r.rec.cwnd),
    REC("ssthresh", r.rec.ssthresh),
    REC("snd_wnd", r.rec.snd_wnd),
    REC("rcv_nxt", r.rec.rcv_nxt),
    REC("rcv_wnd", r.rec.rcv_wnd),
    REC("srtt", r.rec.srtt),
    REC("rttvar", r.rec.rttvar),
    REC("dupacks", r.rec.dupacks),
    REC_SIGNED("segqlen", r.rec.segqlen),
    REC_SIGNED("sack_holes", r.rec.sack_holes),
    REC("flex1", r.rec.flex1),
    REC("flex2", r.rec.flex2),
    {"rxbuf_acc", [](const record_row& r, row_cell& c) { if (decoded(r) && (r.rec.flags & REC_FLAG_RXBUF)) put_number(c, r.rec.rxbuf_acc); }},
    {"txbuf_acc", [](const record_row& r, row_cell& c) { if (decoded(r) && (r.rec.flags & REC_FLAG_TXBUF)) put_number(c, r.rec.txbuf_acc); }},
    {"payload_len", [](const record_row& r, row_cell& c) { if (decoded(r) && r.rec.has_payload_len) put_number(c, r.rec.payload_len); }},
    {"missing", [](const record_row& r, row_cell& c) { if (r.kind == row_kind::gap) put_number(c, r.missing); }},
    RACK("rack_rtt", r.rec.rack.rack_rtt),
    RACK("rack_state", r.rec.rack.rack_state),
    BBR(cur_del_rate),
    BBR(del_rate),
    BBR(rtt_prop),
    BBR(bw_inuse),
    BBR(inflight),
    BBR(applimited),
    BBR(delivered),
    BBR(timestamp),
    BBR(epoch),
    BBR(lt_epoch),
    BBR(pkts_out),
    BBR(flex1),
    BBR(flex2),
    BBR(flex3),
    BBR(flex4),
    BBR(flex5),
    BBR(flex6),
    BBR(lost),
    BBR(pacing_gain),
    BBR(cwnd_gain),
    BBR(flex7),
    BBR(bbr_state),
    BBR(bbr_substate),
    BBR(inhpts),
    BBR(ininput),
    BBR(use_lt_bw),
    BBR(flex8),
    BBR(pkt_epoch),
    REC("ticks", r.rec.ticks),
    REC("iss", r.rec.iss),
    REC("starttime", r.rec.starttime),
    REC("t_flags", r.rec.tcb_flags),
    {"t_flags_names", [](const record_row& r, row_cell& c) {
         if (!decoded(r)) return;
         char buf[512];
         const size_t n = tcplog_tcb_flags_text(r.rec.tcb_flags, buf);
         put_owned_text(c, std::string(buf, n));
     }},
    REC("t_flags2", r.rec.flags2),
    REC("rcv_up", r.rec.rcv_up),
    REC("rcv_adv", r.rec.rcv_adv),
    REC("fbyte_in", r.rec.fbyte_in),
    REC("fbyte_out", r.rec.fbyte_out),
    REC("snd_scale", r.rec.snd_scale),
    REC("rcv_scale", r.rec.rcv_scale),
    {"rxbuf_ccc", [](const record_row& r, row_cell& c) { if (decoded(r) && (r.rec.flags & REC_FLAG_RXBUF)) put_number(c, r.rec.rxbuf_ccc); }},
    {"txbuf_ccc", [](const record_row& r, row_cell& c) { if (decoded(r) && (r.rec.flags & REC_FLAG_TXBUF)) put_number(c, r.rec.txbuf_ccc); }},
    {"srtt_ms", [](const record_row& r, row_cell& c) {
         if (base_stack_rtt(r)) put_milli(c, scaled_ticks_to_usec(r.rec.srtt, REC_SRTT_SCALE, r.tick_hz));
     }},
    {"rttvar_ms", [](const record_row& r, row_cell& c) {
         if (base_stack_rtt(r)) put_milli(c, scaled_ticks_to_usec(r.rec.rttvar, REC_RTTVAR_SCALE, r.tick_hz));
     }},
    // RACK's rtt is in microseconds: milliseconds with three decimals are exact.
    {"rack_rtt_ms", [](const record_row& r, row_cell& c) { if (rack_part(r)) put_milli(c, r.rec.rack.rack_rtt); }},
    TCP("tcp_seq", r.tcp.seq),
    TCP("tcp_ack", r.tcp.ack),
    TCP("tcp_win", r.tcp.window),
    {"tcp_flags", [](const record_row& r, row_cell& c) { if (packet_header(r)) put_owned_text(c, tcp_flags_text(r.tcp.flags, "|")); }},
    {"tcp_len", [](const record_row& r, row_cell& c) { if (packet_header(r) && r.tcp.has_data_len) put_number(c, r.tcp.data_len); }},
};

#undef REC
#undef REC_SIGNED
#undef RACK
#undef BBR
#undef TCP
// A table shorter than ROW_COLUMNS would leave its last entries empty.
constexpr bool every_column_named() {
    for (const row_column& col : ROW_COLUMN_TABLE) {
        if (col.name.empty()) return false;
    }
    return true;
}
static_assert(every_column_named(), "a name and a getter for every column");

bool record_wall_time(const dump_section& s, const uint8_t* rec, int64_t& sec, int64_t& usec) {
    if (!s.log_header) return false;
    const __int128 total = record_wall_usec(s.log_header + OFF_TLH_OFFSET, rec);
    __int128 q = total / USEC_PER_SEC, r = total % USEC_PER_SEC;
    if (r < 0) {
        r += USEC_PER_SEC;
        q -= 1;
    }
    if (q > INT64_MAX || q < INT64_MIN) return false;
    sec = static_cast<int64_t>(q);
    usec = static_cast<int64_t>(r);
    return true;
}

std::string row_time_text(int64_t sec, int64_t usec) {
    const __int128 total = static_cast<__int128>(sec) * USEC_PER_SEC + usec;
    const bool neg = total < 0;
    const unsigned __int128 mag = neg ? static_cast<unsigned __int128>(-total)
                                      : static_cast<unsigned __int128>(total);
    const auto whole = static_cast<uint64_t>(mag / USEC_PER_SEC);
    const auto frac = static_cast<uint32_t>(mag % USEC_PER_SEC);
    char buf[48];
    char* p = buf;
    if (neg) *p++ = '-';
    p = std::to_chars(p, buf + sizeof buf, whole).ptr;
    *p++ = '.';
    for (uint32_t div = 100000; div > 0; div /= 10) *p++ = static_cast<char>('0' + frac / div % 10);
    return std::string(buf, static_cast<size_t>(p - buf));
}

void row_fill_cells(const record_row& r, row_cells& cells) {
    for (size_t i = 0; i < ROW_COLUMNS; i++) {
        cells[i] = row_cell{};
        ROW_COLUMN_TABLE[i].get(r, cells[i]);
    }
}

row_source row_source_of_path(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    row_source src;
    dump_name dn;
    if (parse_dump_name(name, dn)) {
        // The stem starts the name: "<stem>.<n>.pcapng[.xz|.zst]".
        src.stem = name.substr(0, dn.stem.size());
        src.has_part = true;
        src.part = dn.seq;
        return src;
    }
    src.stem = name;
    for (std::string_view end : {".pcapng", ".pcapng.xz", ".pcapng.zst"}) {
        if (name.size() > end.size() && name.ends_with(end)) src.stem = name.substr(0, name.size() - end.size());
    }
    return src;
}

bool row_of_block(const dump_contents& c, size_t index, const row_source& src, record_row& out) {
    const dump_block& b = c.blocks[index];
    out = record_row{};
    out.source = src;
    out.block = index;
    if (b.kind == dump_block_kind::gap) {
        out.kind = row_kind::gap;
        out.missing = b.missing;
        // Time and serial of the record the gap stands before.
        for (size_t k = index + 1; k < c.blocks.size() && c.blocks[k].section == b.section; k++) {
            if (!dump_block_has_record(c.blocks[k])) continue;
            fill_time_serial(c, c.blocks[k], out);
            break;
        }
        return true;
    }
    if (b.kind != dump_block_kind::packet && b.kind != dump_block_kind::event) return false;
    out.kind = b.kind == dump_block_kind::packet ? row_kind::packet : row_kind::event;
    if (b.record) fill_record_row(c, b, out);
    if (out.kind == row_kind::packet) out.tcp = packet_tcp(b);
    if (!out.has_time && b.type == BT_EPB) {
        out.has_time = true;
        out.sec = static_cast<int64_t>(b.timestamp / USEC_PER_SEC);
        out.usec = static_cast<int64_t>(b.timestamp % USEC_PER_SEC);
    }
    return true;
}

void rows_of_dump(const dump_contents& c, const row_source& src, std::vector<record_row>& out) {
    record_row r;
    for (size_t i = 0; i < c.blocks.size(); i++) {
        if (row_of_block(c, i, src, r)) out.push_back(r);
    }
}

void rows_of_parts(const stem_parts& sp, std::vector<record_row>& out) {
    size_t jump = 0;
    for (size_t p = 0; p < sp.parts.size(); p++) {
        const dump_part& part = sp.parts[p];
        const size_t from = out.size();
        const row_source src = row_source_of_path(part.path);
        rows_of_dump(part.contents, src, out);
        if (jump < sp.jumps.size() && sp.jumps[jump].after == p) {
            // The jump stands before the part's first record.
            record_row g;
            g.source = src;
            g.kind = row_kind::gap;
            g.missing = sp.jumps[jump].missing;
            g.block = part.first_record;
            fill_time_serial(part.contents, part.contents.blocks[part.first_record], g);
            size_t at = from;
            while (at < out.size() && out[at].block < part.first_record) at++;
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), g);
            jump++;
        }
    }
}

uint32_t tick_rate_of(uint64_t ticks, uint64_t usec) {
    if (ticks < MIN_RATE_TICKS || usec == 0) return DEFAULT_TICK_HZ;
    const double hz = static_cast<double>(ticks) * 1e6 / static_cast<double>(usec);
    // One tick more or less, and a microsecond either side.
    const double slack = hz / static_cast<double>(ticks) + hz / static_cast<double>(usec);
    // FreeBSD's default first: a short measurement that cannot tell it
    // from a neighbour keeps it.
    if (std::abs(hz - DEFAULT_TICK_HZ) <= slack) return DEFAULT_TICK_HZ;
    static constexpr uint32_t COMMON[] = {100, 128, 250, 256, 500, 512, 1024, 2000, 4000, 8000, 10000};
    uint32_t best = 0;
    double best_off = slack;
    for (uint32_t c : COMMON) {
        const double off = std::abs(hz - c);
        if (off <= best_off) {
            best = c;
            best_off = off;
        }
    }
    if (best) return best;
    return hz >= 1 && hz < 4e9 ? static_cast<uint32_t>(hz + 0.5) : DEFAULT_TICK_HZ;
}

bool stack_keeps_scaled_ticks(std::string_view stack) { return stack == "default" || stack == "freebsd"; }

uint64_t scaled_ticks_to_usec(uint64_t raw, uint32_t scale, uint32_t hz) {
    return raw * 1000000 / (uint64_t{scale} * (hz ? hz : DEFAULT_TICK_HZ));
}

void rows_set_tick_rate(std::vector<record_row>& rows) {
    struct span {
        std::string_view stem;
        const record_row* first = nullptr;
        const record_row* last = nullptr;
        uint32_t hz = DEFAULT_TICK_HZ;
    };
    auto usec_of = [](const record_row& r) { return static_cast<__int128>(r.sec) * USEC_PER_SEC + r.usec; };
    std::vector<span> spans;  // few stems: a list is enough
    auto span_of = [&](std::string_view stem) -> span& {
        for (span& sp : spans) {
            if (sp.stem == stem) return sp;
        }
        spans.push_back(span{stem});
        return spans.back();
    };
    for (const record_row& r : rows) {
        if (!r.decoded || r.kind == row_kind::gap || !r.has_time) continue;
        span& sp = span_of(r.source.stem);
        if (!sp.first || usec_of(r) < usec_of(*sp.first)) sp.first = &r;
        if (!sp.last || usec_of(r) >= usec_of(*sp.last)) sp.last = &r;
    }
    for (span& sp : spans) {
        const __int128 usec = usec_of(*sp.last) - usec_of(*sp.first);
        // Ticks count up modulo 2^32.
        const uint32_t ticks = sp.last->rec.ticks - sp.first->rec.ticks;
        if (usec > 0 && usec < static_cast<__int128>(UINT64_MAX)) sp.hz = tick_rate_of(ticks, static_cast<uint64_t>(usec));
    }
    for (record_row& r : rows) {
        for (const span& sp : spans) {
            if (sp.stem == r.source.stem) r.tick_hz = sp.hz;
        }
    }
}

void rows_sort_by_time(std::vector<record_row>& rows) {
    // A row without a time sorts with the row before it.
    struct keyed {
        __int128 key;
        size_t index;
    };
    std::vector<keyed> keys(rows.size());
    __int128 last = INT64_MIN;
    last *= USEC_PER_SEC;
    for (size_t i = 0; i < rows.size(); i++) {
        if (rows[i].has_time) last = static_cast<__int128>(rows[i].sec) * USEC_PER_SEC + rows[i].usec;
        keys[i] = {last, i};
    }
    std::stable_sort(keys.begin(), keys.end(), [](const keyed& a, const keyed& b) { return a.key < b.key; });
    std::vector<record_row> sorted;
    sorted.reserve(rows.size());
    for (const keyed& k : keys) sorted.push_back(rows[k.index]);
    rows.swap(sorted);
}

void csv_append_header(std::string& out) {
    for (size_t i = 0; i < ROW_COLUMNS; i++) {
        if (i) out += ',';
        out += ROW_COLUMN_TABLE[i].name;
    }
    out += '\n';
}

void csv_append_row(std::string& out, const record_row& r) {
    row_cells cells;
    row_fill_cells(r, cells);
    for (size_t i = 0; i < ROW_COLUMNS; i++) {
        if (i) out += ',';
        if (cells[i].type == row_cell::number) out += cells[i].value;
        else if (cells[i].type == row_cell::text) csv_append_text(out, cells[i].value);
    }
    out += '\n';
}

void json_append_row(std::string& out, const record_row& r, std::initializer_list<std::string_view> skip) {
    row_cells cells;
    row_fill_cells(r, cells);
    for (size_t i = 0; i < ROW_COLUMNS; i++) {
        if (cells[i].type == row_cell::absent || skipped(ROW_COLUMN_TABLE[i].name, skip)) continue;
        out += ", \"";
        out += ROW_COLUMN_TABLE[i].name;
        out += "\":";
        if (cells[i].type == row_cell::number) {
            out += cells[i].value;
        } else {
            out += '"';
            json_append_string(out, cells[i].value);
            out += '"';
        }
    }
}

void text_append_row(std::string& out, const record_row& r, std::initializer_list<std::string_view> skip) {
    row_cells cells;
    row_fill_cells(r, cells);
    for (size_t i = 0; i < ROW_COLUMNS; i++) {
        if (cells[i].type == row_cell::absent || skipped(ROW_COLUMN_TABLE[i].name, skip)) continue;
        // An unnamed event is an empty text: nothing to show.
        if (cells[i].type == row_cell::text && cells[i].value.empty()) continue;
        out += ' ';
        out += ROW_COLUMN_TABLE[i].name;
        out += ' ';
        if (cells[i].type == row_cell::number || plain_word(cells[i].value)) {
            out += cells[i].value;
        } else {
            out += '"';
            json_append_string(out, cells[i].value);
            out += '"';
        }
    }
}

}  // namespace quarn
