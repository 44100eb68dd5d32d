#include "quarn_tcphdr.h"

#include <arpa/inet.h>

#include "quarn_logfmt.h"
#include "quarn_pcapng_format.h"

namespace quarn {

tcp_fields packet_tcp(const dump_block& b, bool other_af_as_ipv4) {
    tcp_fields t;
    if (!b.packet || b.caplen < AF_WORD_LEN) return t;
    const uint32_t af = load<uint32_t>(b.packet);
    const size_t ip_len = af == TLH_AF_INET6                   ? IPV6_HDR_LEN
                          : af == TLH_AF_INET || other_af_as_ipv4 ? IPV4_HDR_LEN
                                                                 : 0;
    if (ip_len == 0 || b.caplen < AF_WORD_LEN + ip_len + TCP_MIN_HDR_LEN) return t;
    const uint8_t* th = b.packet + AF_WORD_LEN + ip_len;
    t.valid = true;
    t.seq = ntohl(load<uint32_t>(th + OFF_TH_SEQ));
    t.ack = ntohl(load<uint32_t>(th + OFF_TH_ACK));
    t.flags = th[OFF_TH_FLAGS];
    t.window = load_be16(th + OFF_TH_WIN);
    const uint64_t th_len = static_cast<uint64_t>(th[OFF_TH_DATA_OFFSET] >> 4) * 4;
    const uint64_t headers = AF_WORD_LEN + ip_len + th_len;
    if (th_len >= TCP_MIN_HDR_LEN && b.origlen >= headers) {
        t.has_data_len = true;
        t.data_len = static_cast<uint32_t>(b.origlen - headers);
    }
    return t;
}

std::string tcp_flags_text(uint8_t flags, std::string_view separator) {
    std::string s;
    for (const named_bit& b : TCP_HDR_FLAG_NAMES) {
        if (!(flags & b.bit)) continue;
        if (!s.empty()) s += separator;
        s += b.name;
    }
    return s;
}

}  // namespace quarn
