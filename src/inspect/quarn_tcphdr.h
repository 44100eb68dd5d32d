// The TCP header of a packet block, as the packet's own bytes carry it: a
// dump's packet data are an address family word, an IPv4 or IPv6 header and
// the TCP header (quarn_pcapng.h), read here field by field in network
// order, every read inside the captured length. Nothing here keeps state;
// any thread may call it.
#ifndef QUARN_TCPHDR_H
#define QUARN_TCPHDR_H

#include <cstdint>
#include <string>
#include <string_view>

#include "quarn_dumpread.h"

namespace quarn {

struct tcp_fields {
    bool valid = false;  // the captured bytes hold the fixed header
    uint8_t flags = 0;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint16_t window = 0;
    // The segment's data length: the block's original length less the
    // address family word, the IP header and the TCP header (its data
    // offset); absent when the data offset is below 5 words or the lengths
    // do not add up.
    bool has_data_len = false;
    uint32_t data_len = 0;
};

// The TCP header after the packet's address family word and IP header.
// Data of an address family other than IPv4 and IPv6 hold no header, or,
// with `other_af_as_ipv4`, are read as IPv4.
tcp_fields packet_tcp(const dump_block& b, bool other_af_as_ipv4 = false);

// The names of the TCP header flags set in `flags`, lowest bit first
// ("SYN", "ACK", ...), joined by `separator`; empty for none.
std::string tcp_flags_text(uint8_t flags, std::string_view separator);

}  // namespace quarn

#endif
