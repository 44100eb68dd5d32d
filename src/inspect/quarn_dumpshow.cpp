// Text and JSON views of a walked dump. Everything printed comes from the
// file: record fields from the record bytes a block carries, TCP fields from
// the packet's own TCP header, wall-clock times from the section's time
// offset plus the record's time. Texts from the log header are escaped, so
// no byte of a file reaches a terminal raw.
#include "quarn_dumpshow.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "quarn_logfmt.h"
#include "quarn_pcapng_format.h"
#include "quarn_text.h"
#include "quarn_utf8.h"
#include "inspect/quarn_rowtable.h"
#include "inspect/quarn_tcphdr.h"

namespace quarn {

namespace {

std::string addr_text(const uint8_t* hdr, size_t field) {
    char buf[IPV6_TEXT_MAX];
    addr_field_text(hdr, field, buf);
    return buf;
}

// Printable ASCII as is, '"' and '\' escaped, every other byte as \xNN.
std::string quoted(std::string_view s) {
    std::string q = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            q += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            q += esc;
        }
    }
    return q + '"';
}

const char* kind_name(dump_block_kind k) {
    switch (k) {
    case dump_block_kind::section: return "section";
    case dump_block_kind::interface: return "interface";
    case dump_block_kind::packet: return "packet";
    case dump_block_kind::event: return "event";
    case dump_block_kind::gap: return "gap";
    case dump_block_kind::other: break;
    }
    return "other";
}

void put_line(FILE* out, const std::string& line) {
    fwrite(line.data(), 1, line.size(), out);
    fputc('\n', out);
}

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// The tick rate of the file's records (rows_set_tick_rate).
uint32_t dump_tick_rate(const dump_contents& c) {
    std::vector<record_row> rows;
    rows_of_dump(c, row_source{}, rows);
    rows_set_tick_rate(rows);
    return rows.empty() ? DEFAULT_TICK_HZ : rows.front().tick_hz;
}

std::string text_section(const dump_block& b, const dump_section& s) {
    std::string l = fmt("section at %zu:", b.offset);
    l += s.has_log_version ? fmt(" log format %u,", s.log_version) : std::string(" no log format,");
    l += s.has_dump_time ? " dumped " + utc_text(s.dump_time, -1) + fmt(" UTC (%" PRId64 ")", s.dump_time)
                         : std::string(" no dump time");
    if (s.log_header) {
        const uint8_t* h = s.log_header;
        const timeval64 off = tlh_offset(h);
        const uint8_t af = tlh_af(h);
        l += "\n  id " + quoted(tlh_id(h)) + " reason " + quoted(tlh_reason(h)) + " tag " +
             quoted(tlh_tag(h));
        l += "\n  foreign " + addr_text(h, OFF_TLH_FADDR) + fmt(" port %u", tlh_fport(h)) +
             ", local " + addr_text(h, OFF_TLH_LADDR) + fmt(" port %u", tlh_lport(h)) +
             fmt(", %s (address family %u)", af == TLH_AF_INET6 ? "IPv6" : af == TLH_AF_INET ? "IPv4" : "unknown", af);
        l += fmt("\n  time offset %" PRId64 " s %" PRId64 " us, %" PRIu64
                 " record bytes from this dump's first record to the end of its message",
                 off.sec, off.usec, tlh_length(h));
    } else {
        l += "\n  no log header";
    }
    l += s.has_stack ? fmt("\n  stack %u ", s.stack_id) + quoted(s.stack_name)
                     : std::string("\n  no stack name");
    return l;
}

// The decoded fields of a record or gap, as a second line under its own.
// A block's row, with the file's tick rate.
bool block_row(const dump_contents& c, const dump_block& b, const row_source& src, uint32_t tick_hz,
               record_row& row) {
    if (!row_of_block(c, static_cast<size_t>(&b - c.blocks.data()), src, row)) return false;
    row.tick_hz = tick_hz;
    return true;
}

// The file is named above its blocks, not on every line; the line above
// holds the TCP header's fields.
std::string text_decoded(const dump_contents& c, const dump_block& b, uint32_t tick_hz) {
    record_row row;
    if (!block_row(c, b, row_source{}, tick_hz, row)) return "";
    std::string l = "\n ";
    if (row.kind == row_kind::gap) {
        text_append_row(l, row, {"stem", "part", "block", "missing"});
    } else {
        text_append_row(l, row, {"stem", "part", "block", "serial", "stack_id", "event_id", "flags", "tcp_seq",
                                 "tcp_ack", "tcp_win", "tcp_flags"});
    }
    return l.size() > 2 ? l : "";
}

std::string text_record(const dump_block& b, const dump_section& s) {
    std::string l;
    const uint8_t* r = b.record;
    int64_t sec, usec;
    if (record_wall_time(s, r, sec, usec)) {
        l = utc_text(sec, usec);
    } else {
        const timeval64 t = rec_time(r);
        l = fmt("record time %" PRId64 " s %" PRId64 " us", t.sec, t.usec);
    }
    l += fmt(" serial %u stack %u event %u flags 0x%04x", rec_serial(r), rec_stack_id(r),
             rec_event_id(r), rec_flags(r));
    if (b.kind == dump_block_kind::event) return l + " event";
    l += rec_event_id(r) == REC_EVENT_IN ? " in" : " out";
    const tcp_fields t = packet_tcp(b);
    if (t.valid) {
        l += " [" + tcp_flags_text(t.flags, ",") + "]" +
             fmt(" seq %u ack %u win %u", t.seq, t.ack, t.window);
    }
    return l + fmt(" len %u", rec_payload_len(r));
}

std::string text_block(const dump_block& b, const dump_contents& c, uint32_t tick_hz) {
    const dump_section& s = c.sections[b.section];
    switch (b.kind) {
    case dump_block_kind::section: return text_section(b, s);
    case dump_block_kind::interface:
        return fmt("interface: link type %u, snap length %u", b.link_type, b.snap_len);
    case dump_block_kind::gap: return fmt("%u records missing", b.missing) + text_decoded(c, b, tick_hz);
    case dump_block_kind::packet:
    case dump_block_kind::event:
        if (b.record) return text_record(b, s) + text_decoded(c, b, tick_hz);
        return fmt("%s block at %zu without record bytes", kind_name(b.kind), b.offset);
    case dump_block_kind::other: break;
    }
    if (b.type == BT_CUSTOM) {
        return fmt("custom block at %zu: enterprise number %u, %u bytes", b.offset, b.pen, b.length);
    }
    return fmt("block at %zu: type 0x%08x, %u bytes", b.offset, b.type, b.length);
}

void json_member(std::string& o, const char* key, std::string_view text) {
    o += fmt(", \"%s\":\"", key);
    json_append_string(o, text);
    o += '"';
}

// "{\"stem\":..., \"part\":N, ": the file every object comes from.
std::string json_start(const row_source& src) {
    std::string o = "{\"stem\":\"";
    json_append_string(o, src.stem);
    o += '"';
    if (src.has_part) o += fmt(", \"part\":%d", src.part);
    return o + ", ";
}

std::string json_section(const dump_block& b, const dump_section& s, const row_source& src) {
    std::string o = json_start(src) + fmt("\"block\":\"section\", \"offset\":%zu", b.offset);
    if (s.has_log_version) o += fmt(", \"log_version\":%u", s.log_version);
    if (s.has_dump_time) {
        o += fmt(", \"dump_time\":%" PRId64, s.dump_time);
        json_member(o, "dump_date", utc_text(s.dump_time, -1));
    }
    if (s.log_header) {
        const uint8_t* h = s.log_header;
        const timeval64 off = tlh_offset(h);
        json_member(o, "id", tlh_id(h));
        json_member(o, "reason", tlh_reason(h));
        json_member(o, "tag", tlh_tag(h));
        json_member(o, "faddr", addr_text(h, OFF_TLH_FADDR));
        o += fmt(", \"fport\":%u", tlh_fport(h));
        json_member(o, "laddr", addr_text(h, OFF_TLH_LADDR));
        o += fmt(", \"lport\":%u, \"af\":%u", tlh_lport(h), tlh_af(h));
        o += fmt(", \"time_offset_sec\":%" PRId64 ", \"time_offset_usec\":%" PRId64, off.sec, off.usec);
        o += fmt(", \"record_bytes\":%" PRIu64, tlh_length(h));
    }
    if (s.has_stack) {
        o += fmt(", \"stack_id\":%u", s.stack_id);
        json_member(o, "stack", s.stack_name);
    }
    return o + "}";
}

std::string json_block(const dump_block& b, const dump_contents& c, const row_source& src, uint32_t tick_hz) {
    const dump_section& s = c.sections[b.section];
    if (b.kind == dump_block_kind::section) return json_section(b, s, src);
    std::string o = json_start(src) + fmt("\"block\":\"%s\", \"offset\":%zu", kind_name(b.kind), b.offset);
    switch (b.kind) {
    case dump_block_kind::interface:
        o += fmt(", \"link_type\":%u, \"snap_len\":%u", b.link_type, b.snap_len);
        break;
    case dump_block_kind::gap: {
        record_row row;
        block_row(c, b, src, tick_hz, row);
        json_append_row(o, row, {"stem", "part", "block"});
        break;
    }
    case dump_block_kind::packet:
    case dump_block_kind::event: {
        const uint8_t* r = b.record;
        if (b.kind == dump_block_kind::packet) {
            o += fmt(", \"ts_usec\":%" PRIu64 ", \"caplen\":%u, \"origlen\":%u", b.timestamp,
                     b.caplen, b.origlen);
        }
        record_row row;
        block_row(c, b, src, tick_hz, row);
        json_append_row(o, row, {"stem", "part", "block"});
        if (!r) break;
        const timeval64 t = rec_time(r);
        int64_t sec, usec;
        if (record_wall_time(s, r, sec, usec)) json_member(o, "utc", utc_text(sec, usec));
        o += fmt(", \"rec_sec\":%" PRId64 ", \"rec_usec\":%" PRId64, t.sec, t.usec);
        if (b.kind == dump_block_kind::event) break;
        o += fmt(", \"direction\":\"%s\"", rec_event_id(r) == REC_EVENT_IN ? "in" : "out");
        const tcp_fields tf = packet_tcp(b);
        if (tf.valid) {
            o += fmt(", \"seq\":%u, \"ack\":%u, \"win\":%u", tf.seq, tf.ack, tf.window);
        }
        break;
    }
    case dump_block_kind::other:
        o += fmt(", \"type\":%u, \"length\":%u", b.type, b.length);
        if (b.type == BT_CUSTOM) o += fmt(", \"pen\":%u", b.pen);
        break;
    case dump_block_kind::section: break;
    }
    return o + "}";
}

}  // namespace

std::string utc_text(int64_t sec, int64_t usec) {
    struct tm tm;
    char buf[64];
    const time_t t = static_cast<time_t>(sec);
    if (!gmtime_r(&t, &tm) || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
        return fmt("%" PRId64, sec);
    }
    if (usec >= 0) return std::string(buf) + fmt(".%06" PRId64, usec);
    return buf;
}

void json_append_string(std::string& out, std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            i++;
        } else if (c < 0x20 || c == 0x7f) {
            out += fmt("\\u%04x", c);
            i++;
        } else if (const size_t n = utf8_sequence_length(s, i); n > 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += '?';
            i++;
        }
    }
}

void dump_show_text(FILE* out, const dump_contents& c, std::string_view path) {
    put_line(out, std::string(path) + ":");
    const uint32_t hz = dump_tick_rate(c);
    for (const dump_block& b : c.blocks) put_line(out, text_block(b, c, hz));
}

void dump_show_json(FILE* out, const dump_contents& c, std::string_view path) {
    const row_source src = row_source_of_path(path);
    const uint32_t hz = dump_tick_rate(c);
    for (const dump_block& b : c.blocks) put_line(out, json_block(b, c, src, hz));
}

}  // namespace quarn
