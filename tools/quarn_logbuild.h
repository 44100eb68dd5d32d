// Builders for log messages in the kernel's stream layout, shared by the
// stream synthesizer, the tests, the fuzz targets and the benchmarks.
//
// A message is built as a byte vector: log_header() makes the 208-byte
// header, add_record() appends a record, finish() stores the total length.
#ifndef QUARN_LOGBUILD_H
#define QUARN_LOGBUILD_H

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_kernel.h"
#include "quarn_logfmt.h"

namespace quarn::build {

// splitmix64: small, fast and fully specified, unlike std distributions.
struct prng {
    uint64_t state;

    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 to n - 1; n must be above 0. The modulo bias is irrelevant here.
    uint64_t below(uint64_t n) { return next() % n; }
    uint32_t below32(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    // True in `pct` of 100 calls; always consumes one draw.
    bool percent(unsigned pct) { return below(100) < pct; }
};

struct header_fields {
    uint32_t version = TCP_LOG_VERSION;
    uint32_t type = TLH_TYPE_BBR;
    uint16_t fport = 50000;
    uint16_t lport = 443;
    uint8_t af = TLH_AF_INET;
    // Addresses as text ("10.0.0.2", "2001:db8::1"); IPv4 goes into the
    // last 4 bytes of the field.
    std::string faddr = "10.0.0.2";
    std::string laddr = "10.0.0.1";
    int64_t offset_sec = 1700000000;
    int64_t offset_usec = 250000;
    // Raw field contents; longer texts are cut to the field, so a 64-byte
    // id fills the field with no NUL.
    std::string id = "conn";
    std::string reason = "normal";
    std::string tag = "";
};

// The IPv6 form of the default connection: the same peers in the
// documentation prefix, remote ::2 and local ::1.
inline constexpr const char* V6_FADDR = "2001:db8::2";
inline constexpr const char* V6_LADDR = "2001:db8::1";

// Makes the header's connection IPv6 between V6_FADDR and V6_LADDR.
inline header_fields& use_ipv6(header_fields& h) {
    h.af = TLH_AF_INET6;
    h.faddr = V6_FADDR;
    h.laddr = V6_LADDR;
    return h;
}

struct record_fields {
    int64_t sec = 100;
    int64_t usec = 900000;
    uint32_t serial = 0;
    uint8_t stack_id = 0;
    uint8_t event_id = REC_EVENT_IN;
    uint16_t flags = REC_FLAG_HAS_TH;
    uint32_t payload_len = 0;
    // TCP header bytes (up to 60); empty gives a bare SYN from fport to lport
    // with data offset 5.
    std::vector<uint8_t> th;
    uint8_t fill = 0;  // value of the uninterpreted record bytes
};

inline void put_addr(uint8_t* field, uint8_t af, const std::string& text) {
    std::memset(field, 0, ADDR_FIELD_SIZE);
    if (af == TLH_AF_INET6) {
        inet_pton(AF_INET6, text.c_str(), field);
    } else {
        inet_pton(AF_INET, text.c_str(), field + IPV4_IN_ADDR_FIELD);
    }
}

inline void put_text(uint8_t* field, size_t size, std::string_view text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), text.size() < size ? text.size() : size);
}

inline void put_common_header(uint8_t* h, uint32_t version, uint32_t type, uint64_t length) {
    store<uint32_t>(h + OFF_TLH_VERSION, version);
    store<uint32_t>(h + OFF_TLH_TYPE, type);
    store<uint64_t>(h + OFF_TLH_LENGTH, length);
}

// The 16-byte common header alone, with any type and length.
inline std::vector<uint8_t> common_header(uint32_t type, uint64_t length) {
    std::vector<uint8_t> h(COMMON_HEADER_SIZE, 0);
    put_common_header(h.data(), TCP_LOG_VERSION, type, length);
    return h;
}

inline std::vector<uint8_t> log_header(const header_fields& s) {
    std::vector<uint8_t> m(LOG_HEADER_SIZE, 0);
    uint8_t* h = m.data();
    put_common_header(h, s.version, s.type, LOG_HEADER_SIZE);
    store_be16(h + OFF_TLH_FPORT, s.fport);
    store_be16(h + OFF_TLH_LPORT, s.lport);
    put_addr(h + OFF_TLH_FADDR, s.af, s.faddr);
    put_addr(h + OFF_TLH_LADDR, s.af, s.laddr);
    store<int64_t>(h + OFF_TLH_OFFSET, s.offset_sec);
    store<int64_t>(h + OFF_TLH_OFFSET + 8, s.offset_usec);
    put_text(h + OFF_TLH_ID, TLH_ID_SIZE, s.id);
    put_text(h + OFF_TLH_REASON, TLH_REASON_SIZE, s.reason);
    put_text(h + OFF_TLH_TAG, TLH_TAG_SIZE, s.tag);
    h[OFF_TLH_AF] = s.af;
    return m;
}

// A bare TCP header: ports, sequence number, data offset (words), flags,
// window; options (if data_off > 5) are NOP bytes.
inline std::vector<uint8_t> tcp_header(uint16_t sport, uint16_t dport, uint32_t seq,
                                       uint32_t ack, uint8_t data_off, uint8_t tcp_flags,
                                       uint16_t window) {
    std::vector<uint8_t> th(TH_SIZE, 0);
    store_be16(&th[0], sport);
    store_be16(&th[2], dport);
    uint32_t seq_be = htonl(seq), ack_be = htonl(ack);
    std::memcpy(&th[4], &seq_be, 4);
    std::memcpy(&th[8], &ack_be, 4);
    th[12] = static_cast<uint8_t>(data_off << 4);
    th[13] = tcp_flags;
    store_be16(&th[14], window);
    for (size_t i = 20; i < static_cast<size_t>(data_off) * 4 && i < TH_SIZE; i++) th[i] = 1;
    return th;
}

inline void add_record(std::vector<uint8_t>& m, const record_fields& r) {
    const size_t size = (r.flags & REC_FLAG_VERBOSE) ? LOG_RECORD_VERBOSE_SIZE : LOG_RECORD_SIZE;
    const size_t at = m.size();
    m.resize(at + size, r.fill);
    uint8_t* p = m.data() + at;
    store<int64_t>(p + OFF_REC_TIME, r.sec);
    store<int64_t>(p + OFF_REC_TIME + 8, r.usec);
    store<uint32_t>(p + OFF_REC_SERIAL, r.serial);
    p[OFF_REC_STACK_ID] = r.stack_id;
    p[OFF_REC_EVENT_ID] = r.event_id;
    store<uint16_t>(p + OFF_REC_FLAGS, r.flags);
    store<uint32_t>(p + OFF_REC_PAYLOAD_LEN, r.payload_len);
    std::vector<uint8_t> th = r.th;
    if (th.empty()) {
        const uint16_t fport = load_be16(m.data() + OFF_TLH_FPORT);
        const uint16_t lport = load_be16(m.data() + OFF_TLH_LPORT);
        th = tcp_header(fport, lport, 0x01020304, 0, 5, 0x02, 65535);
    }
    th.resize(TH_SIZE, 0);
    std::memcpy(p + OFF_REC_TH, th.data(), TH_SIZE);
}

// Stores the message's length into tlh_length.
inline void finish(std::vector<uint8_t>& m) {
    store<uint64_t>(m.data() + OFF_TLH_LENGTH, m.size());
}

// A whole message: header plus records, length set.
inline std::vector<uint8_t> message(const header_fields& h, const std::vector<record_fields>& recs) {
    std::vector<uint8_t> m = log_header(h);
    for (const record_fields& r : recs) add_record(m, r);
    finish(m);
    return m;
}

// A stack registry entry in the kernel's layout.
inline std::vector<uint8_t> function_info_entry(uint8_t id, std::string_view name,
                                                std::string_view alias) {
    std::vector<uint8_t> e(FUNCTION_INFO_ENTRY_SIZE, 0);
    e[FUNCTION_INFO_OFF_ID] = id;
    put_text(&e[FUNCTION_INFO_OFF_NAME], FUNCTION_INFO_NAME_SIZE, name);
    put_text(&e[FUNCTION_INFO_OFF_ALIAS], FUNCTION_INFO_NAME_SIZE, alias);
    return e;
}

}  // namespace quarn::build

#endif
