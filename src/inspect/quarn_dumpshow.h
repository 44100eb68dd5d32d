// What quarn_inspect prints of a walked dump: one text line (or one JSON
// object) per block, the section headers with their log header fields, and
// for packets and events the fields of the record bytes they carry.
#ifndef QUARN_DUMPSHOW_H
#define QUARN_DUMPSHOW_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "quarn_dumpread.h"

namespace quarn {

// Every block of `c` (read from `path`) in file order, as text lines.
void dump_show_text(FILE* out, const dump_contents& c, std::string_view path);
// Every block of `c` (read from `path`) in file order, one JSON object per
// line, always valid UTF-8 whatever the file's texts hold. Every object
// starts with the file's "stem" and "part" (see row_source_of_path; no
// "part" for a file that is not a numbered dump).
void dump_show_json(FILE* out, const dump_contents& c, std::string_view path);

// Fields of the TCP header inside a packet block's data.
struct tcp_fields {
    bool valid = false;  // the captured bytes hold the header
    uint8_t flags = 0;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint16_t window = 0;
};

// The TCP header after the packet's address family word and IP header.
// Data of an address family other than IPv4 and IPv6 hold no header, or,
// with `other_af_as_ipv4`, are read as IPv4.
tcp_fields packet_tcp(const dump_block& b, bool other_af_as_ipv4 = false);

// "YYYY-MM-DD HH:MM:SS" in UTC, with ".uuuuuu" when usec is not negative;
// the plain number of seconds when the time cannot be broken down.
std::string utc_text(int64_t sec, int64_t usec);

}  // namespace quarn

#endif
