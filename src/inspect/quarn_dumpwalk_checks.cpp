// The strict checks: what a packet or event block says against the record
// bytes it carries and the section's log header, the way the block writers
// derived one from the other, and the serial numbers across gaps.
#include "quarn_dumpwalk.h"

#include <cstring>

namespace quarn::dumpwalk {

namespace {

// Internet checksum (RFC 1071): big-endian 16-bit words summed, the carries
// folded back, the result complemented.
uint64_t sum_words(const uint8_t* p, size_t n, uint64_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += load_be16(p + i);
    if (n % 2) sum += uint64_t{p[n - 1]} << 8;
    return sum;
}
uint16_t fold_complement(uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

// Checks shared by packet and event blocks: the section's stack and the
// serial numbers.
int walker::check_record(const dump_block& blk) {
    const dump_section& s = out.sections[blk.section];
    const size_t rec_at = static_cast<size_t>(blk.record - data);
    if (rec_stack_id(blk.record) != s.stack_id) {
        return fail(rec_at + OFF_REC_STACK_ID,
                    printf_text("record of stack %u in a section of stack %u",
                                rec_stack_id(blk.record), s.stack_id));
    }
    const uint32_t serial = rec_serial(blk.record);
    if (have_prev) {
        const uint32_t want = prev_serial + 1 + (pending_gap ? gap_missing : 0);
        if (serial != want) {
            return fail(rec_at + OFF_REC_SERIAL,
                        pending_gap
                            ? printf_text("serial %u after %u and a gap of %u (block at %zu)",
                                          serial, prev_serial, gap_missing, gap_offset)
                            : printf_text("serial %u after %u without a gap block", serial,
                                          prev_serial));
        }
    }
    have_prev = true;
    prev_serial = serial;
    pending_gap = false;
    return 0;
}

// A packet's data against the record bytes and the log header it came from.
int walker::check_packet(const dump_block& blk) {
    const dump_section& s = out.sections[blk.section];
    const size_t at = blk.offset;
    if (blk.interface_id >= s.interfaces) {
        return fail(at + offsetof(epb_fixed, interface_id),
                    printf_text("packet on interface %u of a section with %u interfaces",
                                        blk.interface_id, s.interfaces));
    }
    if (blk.caplen > blk.origlen) {
        return fail(at + offsetof(epb_fixed, caplen),
                    printf_text("captured length %u above the original length %u",
                                         blk.caplen, blk.origlen));
    }
    // What ties a packet to its record and its log header holds only in
    // the daemon's sections.
    if (!daemon_checks()) return 0;
    if (!blk.record) return fail(at, "packet block without its record option");
    if (!blk.has_epb_flags) return fail(at, "packet block without its epb_flags option");
    const uint8_t* rec = blk.record;
    const uint8_t* hdr = s.log_header;
    const uint8_t af = tlh_af(hdr);
    if (!(rec_flags(rec) & REC_FLAG_HAS_TH)) {
        return fail(at, "packet block for a record without a TCP header");
    }
    const bool inbound = rec_event_id(rec) == REC_EVENT_IN;
    if (blk.epb_flags != (inbound ? EPB_FLAG_INBOUND : EPB_FLAG_OUTBOUND)) {
        return fail(at, printf_text("epb_flags %u for a record of event %u", blk.epb_flags,
                                    rec_event_id(rec)));
    }
    const bool v6 = af == TLH_AF_INET6;
    const size_t ip_len = v6 ? IPV6_HDR_LEN : IPV4_HDR_LEN;
    const size_t pkt_at = at + EPB_PACKET_AT;
    if (blk.caplen < AF_WORD_LEN + ip_len + TCP_MIN_HDR_LEN) {
        return fail(at + offsetof(epb_fixed, caplen), printf_text("captured length %u too short for the headers", blk.caplen));
    }
    const uint8_t* p = blk.packet;
    if (load<uint32_t>(p) != af) {
        return fail(pkt_at, printf_text("address family word %u in a section of family %u",
                                        load<uint32_t>(p), af));
    }
    const uint8_t* ip = p + AF_WORD_LEN;
    const uint8_t* faddr = hdr + OFF_TLH_FADDR + (v6 ? 0 : IPV4_IN_ADDR_FIELD);
    const uint8_t* laddr = hdr + OFF_TLH_LADDR + (v6 ? 0 : IPV4_IN_ADDR_FIELD);
    const size_t alen = v6 ? IPV6_ADDR_LEN : IPV4_ADDR_LEN;
    const uint8_t* src = ip + (v6 ? OFF_IPV6_SRC : OFF_IPV4_SRC);
    // IPv6 names only its version in the first byte; IPv4 also the header
    // length.
    const uint8_t version = v6 ? IPV6_VERSION : IPV4_VERSION_IHL;
    if ((ip[0] & (v6 ? 0xF0 : 0xFF)) != version) {
        return fail(pkt_at + AF_WORD_LEN, printf_text("IP header starts with 0x%02x", ip[0]));
    }
    if (memcmp(src, inbound ? faddr : laddr, alen) != 0 ||
        memcmp(src + alen, inbound ? laddr : faddr, alen) != 0) {
        return fail(pkt_at + AF_WORD_LEN, "IP addresses differ from the log header's");
    }
    const uint8_t* th = ip + ip_len;
    const uint16_t sport = load_be16(th), dport = load_be16(th + 2);
    const uint16_t want_s = inbound ? tlh_fport(hdr) : tlh_lport(hdr);
    const uint16_t want_d = inbound ? tlh_lport(hdr) : tlh_fport(hdr);
    if (sport != want_s || dport != want_d) {
        return fail(pkt_at + AF_WORD_LEN + ip_len,
                    printf_text("TCP ports %u > %u, the log header gives %u > %u", sport, dport,
                                want_s, want_d));
    }
    const uint32_t th_len = static_cast<uint32_t>(th[OFF_TH_DATA_OFFSET] >> 4) * 4;
    const uint64_t origlen = uint64_t{AF_WORD_LEN} + ip_len + th_len + rec_payload_len(rec);
    if (th_len < TCP_MIN_HDR_LEN || origlen != blk.origlen) {
        return fail(at + offsetof(epb_fixed, origlen), printf_text("original length %u; the TCP header and the record give %llu",
                                         blk.origlen, static_cast<unsigned long long>(origlen)));
    }
    // The synthesized lengths and checksums, over the headers the packet
    // shows (its payload is all zero and adds nothing to a sum).
    const uint32_t seg_len = th_len + rec_payload_len(rec);
    const size_t ip_at = pkt_at + AF_WORD_LEN;
    if (af == TLH_AF_INET) {
        const uint16_t total = load_be16(ip + OFF_IPV4_TOTAL_LEN);
        if (total != ((seg_len + IPV4_HDR_LEN) & 0xFFFF)) {
            return fail(ip_at + OFF_IPV4_TOTAL_LEN,
                        printf_text("IPv4 total length %u, the segment gives %u", total,
                                    (seg_len + IPV4_HDR_LEN) & 0xFFFF));
        }
        if (fold_complement(sum_words(ip, IPV4_HDR_LEN)) != 0) {
            return fail(ip_at + OFF_IPV4_CHECKSUM, "IPv4 header checksum wrong");
        }
    } else if (load_be16(ip + OFF_IPV6_PAYLOAD_LEN) != (seg_len & 0xFFFF)) {
        return fail(ip_at + OFF_IPV6_PAYLOAD_LEN,
                    printf_text("IPv6 payload length %u, the segment gives %u",
                                load_be16(ip + OFF_IPV6_PAYLOAD_LEN), seg_len & 0xFFFF));
    }
    if (AF_WORD_LEN + ip_len + th_len > blk.caplen) {
        return fail(at + offsetof(epb_fixed, caplen), printf_text("captured length %u cuts the %u-byte TCP header",
                                         blk.caplen, th_len));
    }
    // The pseudo-header: both addresses, the protocol and the segment length.
    const uint64_t pseudo = sum_words(src, 2 * alen, IPPROTO_TCP_NUM + (seg_len & 0xFFFF));
    constexpr size_t after_sum = OFF_TH_CHECKSUM + 2;
    const uint16_t want_sum = fold_complement(
        sum_words(th + after_sum, th_len - after_sum, sum_words(th, OFF_TH_CHECKSUM, pseudo)));
    const uint16_t sum = load_be16(th + OFF_TH_CHECKSUM);
    if (sum != want_sum) {
        return fail(ip_at + ip_len + OFF_TH_CHECKSUM,
                    printf_text("TCP checksum 0x%04x, the segment gives 0x%04x", sum, want_sum));
    }
    // A timeline's packets come from dumps of several log messages, each
    // with its own offset; and its records keep no serial order or stack.
    if (timeline) return 0;
    const timeval64 off = tlh_offset(hdr), rt = rec_time(rec);
    const unsigned __int128 ts = static_cast<unsigned __int128>(
        (static_cast<__int128>(off.sec) + rt.sec) * 1000000 + off.usec + rt.usec);
    if (static_cast<uint64_t>(ts) != blk.timestamp) {
        return fail(at + offsetof(epb_fixed, ts_high), "timestamp differs from the record's time and the header's offset");
    }
    return check_record(blk);
}

int walker::end_section() {
    if (!daemon_checks()) return 0;
    const size_t si = out.sections.size() - 1;
    const dump_section& s = out.sections[si];
    if (pending_gap) return fail(gap_offset, "gap block without a record after it");
    if (timeline) return 0;
    const uint64_t bytes = dump_section_record_bytes(out, si);
    if (bytes > tlh_length(s.log_header)) {
        return fail(static_cast<size_t>(s.log_header + OFF_TLH_LENGTH - data),
                    printf_text("records of %llu bytes, more than the log header's %llu",
                                static_cast<unsigned long long>(bytes),
                                static_cast<unsigned long long>(tlh_length(s.log_header))));
    }
    return 0;
}

}  // namespace quarn::dumpwalk
