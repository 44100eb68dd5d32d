// The kernel's TCP black-box log stream as the daemon reads it.
//
// A log message is one 208-byte log header followed by log records of 328
// bytes (400 when the record's flags carry the verbose bit), packed back to
// back. Integers are in the producer's (host) byte order, except ports,
// addresses and the TCP header, which are in network order.
//
// Every accessor takes a pointer to the start of a structure and reads its
// field with memcpy at a fixed offset, so no field read depends on
// alignment. The one bounds check happens before the structure is read at
// all: the reader frames a message only when its header and its whole
// tlh_length are in the buffer, and fit_record() tells whether the bytes
// left in a message hold the next record, so every offset read afterwards
// lies inside (the static_asserts below tie the offsets to the sizes).
#ifndef QUARN_LOGFMT_H
#define QUARN_LOGFMT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quarn {

// Log format version the daemon understands.
inline constexpr uint32_t TCP_LOG_VERSION = 9;

// Common header: the first 16 bytes of every message.
inline constexpr size_t COMMON_HEADER_SIZE = 16;
inline constexpr size_t OFF_TLH_VERSION = 0;
inline constexpr size_t OFF_TLH_TYPE = 4;
inline constexpr size_t OFF_TLH_LENGTH = 8;
inline constexpr uint32_t TLH_TYPE_BBR = 1;

// log_header.
inline constexpr size_t LOG_HEADER_SIZE = 208;
inline constexpr size_t OFF_TLH_FPORT = 16;   // 2, network order
inline constexpr size_t OFF_TLH_LPORT = 18;   // 2, network order
inline constexpr size_t OFF_TLH_FADDR = 20;   // 16, IPv4 in the last 4
inline constexpr size_t OFF_TLH_LADDR = 36;   // 16, IPv4 in the last 4
inline constexpr size_t ADDR_FIELD_SIZE = 16;
inline constexpr size_t IPV4_IN_ADDR_FIELD = 12;  // where IPv4 starts in a field
inline constexpr size_t OFF_TLH_OFFSET = 56;  // time value
inline constexpr size_t OFF_TLH_ID = 72;
inline constexpr size_t TLH_ID_SIZE = 64;
inline constexpr size_t OFF_TLH_REASON = 136;
inline constexpr size_t TLH_REASON_SIZE = 32;
inline constexpr size_t OFF_TLH_TAG = 168;
inline constexpr size_t TLH_TAG_SIZE = 32;
inline constexpr size_t OFF_TLH_AF = 200;

// Address families as the stream encodes them (FreeBSD's values), whatever
// the constants of the host.
inline constexpr uint8_t TLH_AF_INET = 2;
inline constexpr uint8_t TLH_AF_INET6 = 28;

// Time value: seconds and microseconds, both signed 64.
inline constexpr size_t TIMEVAL_SIZE = 16;

// log_record.
inline constexpr size_t LOG_RECORD_SIZE = 328;
inline constexpr size_t LOG_RECORD_VERBOSE_SIZE = 400;
inline constexpr size_t OFF_REC_TIME = 0;
inline constexpr size_t OFF_REC_SERIAL = 20;
inline constexpr size_t OFF_REC_STACK_ID = 24;
inline constexpr size_t OFF_REC_EVENT_ID = 25;
inline constexpr size_t OFF_REC_FLAGS = 26;
inline constexpr size_t OFF_REC_PAYLOAD_LEN = 264;
inline constexpr size_t OFF_REC_TH = 268;
inline constexpr size_t TH_SIZE = 60;
inline constexpr size_t OFF_TH_DATA_OFFSET = 12;  // within th
inline constexpr size_t OFF_TH_CHECKSUM = 16;     // within th
// Bytes of a record carried into the output: everything before th.
inline constexpr size_t REC_COPY_SIZE = OFF_REC_TH;

inline constexpr uint16_t REC_FLAG_HAS_TH = 0x4;
inline constexpr uint16_t REC_FLAG_VERBOSE = 0x8;
inline constexpr uint8_t REC_EVENT_IN = 1;         // packet received
inline constexpr uint8_t REC_EVENT_CONN_END = 54;  // connection ended

// Smallest message a worker can dump: a header and one plain record.
inline constexpr size_t MIN_DUMP_MESSAGE_SIZE = LOG_HEADER_SIZE + LOG_RECORD_SIZE;

static_assert(LOG_HEADER_SIZE % 8 == 0 && LOG_RECORD_SIZE % 8 == 0 &&
                  LOG_RECORD_VERBOSE_SIZE % 8 == 0,
              "records must stay 8-byte aligned in an aligned buffer");
static_assert(OFF_TLH_AF < LOG_HEADER_SIZE);
static_assert(OFF_REC_TH + TH_SIZE == LOG_RECORD_SIZE);
static_assert(OFF_REC_FLAGS + 2 <= LOG_RECORD_SIZE && OFF_REC_PAYLOAD_LEN + 4 <= LOG_RECORD_SIZE);
static_assert(OFF_TLH_TAG + TLH_TAG_SIZE <= OFF_TLH_AF && OFF_TLH_OFFSET + TIMEVAL_SIZE <= OFF_TLH_ID);
static_assert(MIN_DUMP_MESSAGE_SIZE == 536);

struct timeval64 {
    int64_t sec;
    int64_t usec;
};

template <typename T>
inline T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
inline void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Network-order 16-bit field to host value.
inline uint16_t load_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline void store_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline timeval64 load_timeval(const uint8_t* p) {
    return timeval64{load<int64_t>(p), load<int64_t>(p + 8)};
}

// A NUL-terminated text field bounded by its size: the bytes before the
// first NUL, never more than size - 1 (the last byte counts as terminator).
inline std::string_view bounded_text(const uint8_t* field, size_t size) {
    const size_t max = size - 1;
    const void* nul = std::memchr(field, 0, max);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : max;
    return std::string_view(reinterpret_cast<const char*>(field), n);
}

// Accessors over a log header. `h` must point at LOG_HEADER_SIZE readable
// bytes, except for the common-header fields, which need 16.
inline uint32_t tlh_type(const uint8_t* h) { return load<uint32_t>(h + OFF_TLH_TYPE); }
inline uint64_t tlh_length(const uint8_t* h) { return load<uint64_t>(h + OFF_TLH_LENGTH); }
inline void set_tlh_length(uint8_t* h, uint64_t v) { store<uint64_t>(h + OFF_TLH_LENGTH, v); }
inline uint16_t tlh_fport(const uint8_t* h) { return load_be16(h + OFF_TLH_FPORT); }
inline uint16_t tlh_lport(const uint8_t* h) { return load_be16(h + OFF_TLH_LPORT); }
inline uint8_t tlh_af(const uint8_t* h) { return h[OFF_TLH_AF]; }
inline timeval64 tlh_offset(const uint8_t* h) { return load_timeval(h + OFF_TLH_OFFSET); }
inline std::string_view tlh_id(const uint8_t* h) { return bounded_text(h + OFF_TLH_ID, TLH_ID_SIZE); }
inline std::string_view tlh_reason(const uint8_t* h) {
    return bounded_text(h + OFF_TLH_REASON, TLH_REASON_SIZE);
}
inline std::string_view tlh_tag(const uint8_t* h) { return bounded_text(h + OFF_TLH_TAG, TLH_TAG_SIZE); }

// Accessors over a log record. `r` must point at LOG_RECORD_SIZE readable
// bytes (the verbose tail is never read).
inline timeval64 rec_time(const uint8_t* r) { return load_timeval(r + OFF_REC_TIME); }
inline uint32_t rec_serial(const uint8_t* r) { return load<uint32_t>(r + OFF_REC_SERIAL); }
inline uint8_t rec_stack_id(const uint8_t* r) { return r[OFF_REC_STACK_ID]; }
inline uint8_t rec_event_id(const uint8_t* r) { return r[OFF_REC_EVENT_ID]; }
inline uint16_t rec_flags(const uint8_t* r) { return load<uint16_t>(r + OFF_REC_FLAGS); }
inline uint32_t rec_payload_len(const uint8_t* r) { return load<uint32_t>(r + OFF_REC_PAYLOAD_LEN); }
inline uint8_t* rec_th(uint8_t* r) { return r + OFF_REC_TH; }
inline const uint8_t* rec_th(const uint8_t* r) { return r + OFF_REC_TH; }
// TCP header length in bytes from the data offset nibble (0 to 60).
inline uint32_t rec_th_len(const uint8_t* r) {
    return static_cast<uint32_t>(r[OFF_REC_TH + OFF_TH_DATA_OFFSET] >> 4) * 4;
}
inline size_t rec_size(const uint8_t* r) {
    return (rec_flags(r) & REC_FLAG_VERBOSE) ? LOG_RECORD_VERBOSE_SIZE : LOG_RECORD_SIZE;
}

// Whether the `left` bytes from r to the end of the message hold a whole
// record: the flags are read only once a plain record's 328 bytes are known
// to be there, and a verbose record needs 400.
enum class record_fit { whole, cut, cut_verbose };
inline record_fit fit_record(const uint8_t* r, uint64_t left) {
    if (left < LOG_RECORD_SIZE) return record_fit::cut;
    return left < rec_size(r) ? record_fit::cut_verbose : record_fit::whole;
}

}  // namespace quarn

#endif
