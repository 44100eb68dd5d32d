// The decoded-record table: rows from walked dumps, cells per column, and
// the CSV, JSON and text forms of a row.
#include "quarn_rowtable.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "quarn_assert.h"
#include "quarn_dumpshow.h"
#include "quarn_logfmt.h"
#include "quarn_utf8.h"

namespace quarn {

const std::array<std::string_view, ROW_COLUMNS> ROW_COLUMN_NAMES = {
    "stem", "part", "time", "block", "serial", "stack_id", "stack", "event_id", "event", "state", "flags",
    "errno", "snd_una", "snd_max", "snd_nxt", "snd_recover", "cwnd", "ssthresh", "snd_wnd",
    "rcv_nxt", "rcv_wnd", "srtt", "rttvar", "dupacks", "segqlen", "sack_holes", "flex1",
    "flex2", "rxbuf_acc", "txbuf_acc", "payload_len", "missing",
    "rack_rtt", "rack_state",
    "bbr_cur_del_rate", "bbr_del_rate", "bbr_rtt_prop", "bbr_bw_inuse", "bbr_inflight",
    "bbr_applimited", "bbr_delivered", "bbr_timestamp", "bbr_epoch", "bbr_lt_epoch",
    "bbr_pkts_out", "bbr_flex1", "bbr_flex2", "bbr_flex3", "bbr_flex4", "bbr_flex5",
    "bbr_flex6", "bbr_lost", "bbr_pacing_gain", "bbr_cwnd_gain", "bbr_flex7", "bbr_bbr_state",
    "bbr_bbr_substate", "bbr_inhpts", "bbr_ininput", "bbr_use_lt_bw", "bbr_flex8",
    "bbr_pkt_epoch",
};

namespace {

constexpr int64_t USEC_PER_SEC = 1000000;

// Fills cells in column order; every column gets exactly one call.
struct cell_writer {
    row_cells& cells;
    size_t next = 0;

    row_cell& take() { return cells[next++]; }
    void none() { take().type = row_cell::absent; }
    template <typename T>
    void num(T v) {
        row_cell& c = take();
        c.type = row_cell::number;
        const auto [end, ec] = std::to_chars(c.buf, c.buf + sizeof c.buf, v);
        (void)ec;  // the buffer holds any 64-bit integer
        c.value = std::string_view(c.buf, static_cast<size_t>(end - c.buf));
    }
    template <typename T>
    void num_if(bool valid, T v) {
        if (valid) num(v);
        else none();
    }
    void text(std::string_view s) {
        row_cell& c = take();
        c.type = row_cell::text;
        c.value = s;
    }
};

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

}  // namespace

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
    cell_writer w{cells};
    w.text(r.source.stem);
    w.num_if(r.source.has_part, r.source.part);
    if (r.has_time) {
        row_cell& c = w.take();
        c.type = row_cell::number;
        const std::string t = row_time_text(r.sec, r.usec);
        const size_t n = std::min(t.size(), sizeof c.buf);
        std::copy_n(t.data(), n, c.buf);
        c.value = std::string_view(c.buf, n);
    } else {
        w.none();
    }
    w.text(kind_text(r.kind));
    w.num_if(r.has_serial, r.serial);
    const bool d = r.decoded && r.kind != row_kind::gap;
    const tcplog_record& x = r.rec;
    w.num_if(d, x.stack_id);
    if (d) w.text(r.stack);
    else w.none();
    w.num_if(d, x.event_id);
    if (d) w.text(tcplog_event_name(x.event_id));
    else w.none();
    if (d && !tcplog_state_name(x.state).empty()) w.text(tcplog_state_name(x.state));
    else w.num_if(d, x.state);
    w.num_if(d, x.flags);
    w.num_if(d, x.error);
    for (uint32_t v : {x.snd_una, x.snd_max, x.snd_nxt, x.snd_recover, x.cwnd, x.ssthresh,
                       x.snd_wnd, x.rcv_nxt, x.rcv_wnd, x.srtt, x.rttvar, x.dupacks}) {
        w.num_if(d, v);
    }
    w.num_if(d, x.segqlen);
    w.num_if(d, x.sack_holes);
    w.num_if(d, x.flex1);
    w.num_if(d, x.flex2);
    w.num_if(d && (x.flags & REC_FLAG_RXBUF), x.rxbuf_acc);
    w.num_if(d && (x.flags & REC_FLAG_TXBUF), x.txbuf_acc);
    w.num_if(d && x.has_payload_len, x.payload_len);
    w.num_if(r.kind == row_kind::gap, r.missing);
    const bool rack = d && x.part == tcplog_stack_part::rack;
    w.num_if(rack, x.rack.rack_rtt);
    w.num_if(rack, x.rack.rack_state);
    const bool bbr = d && x.part == tcplog_stack_part::bbr;
    const tcplog_bbr& b = x.bbr;
    for (uint64_t v : {b.cur_del_rate, b.del_rate, b.rtt_prop, b.bw_inuse}) w.num_if(bbr, v);
    for (uint32_t v : {b.inflight, b.applimited, b.delivered, b.timestamp, b.epoch, b.lt_epoch,
                       b.pkts_out, b.flex1, b.flex2, b.flex3, b.flex4, b.flex5, b.flex6, b.lost,
                       uint32_t{b.pacing_gain}, uint32_t{b.cwnd_gain}, uint32_t{b.flex7},
                       uint32_t{b.bbr_state}, uint32_t{b.bbr_substate}, uint32_t{b.inhpts},
                       uint32_t{b.ininput}, uint32_t{b.use_lt_bw}, uint32_t{b.flex8},
                       b.pkt_epoch}) {
        w.num_if(bbr, v);
    }
    QUARN_ASSERT("quarn_rowtable", w.next == ROW_COLUMNS);
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
        out += ROW_COLUMN_NAMES[i];
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
        if (cells[i].type == row_cell::absent || skipped(ROW_COLUMN_NAMES[i], skip)) continue;
        out += ", \"";
        out += ROW_COLUMN_NAMES[i];
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
        if (cells[i].type == row_cell::absent || skipped(ROW_COLUMN_NAMES[i], skip)) continue;
        // An unnamed event is an empty text: nothing to show.
        if (cells[i].type == row_cell::text && cells[i].value.empty()) continue;
        out += ' ';
        out += ROW_COLUMN_NAMES[i];
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
