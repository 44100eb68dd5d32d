// The kernel's TCP black-box log stream as the daemon reads it, and the
// one description of a log record's layout for every part of the project
// (the daemon, the decoder, the plot, the synthesizer): the offsets of its
// fields (FreeBSD 13.5 amd64, log format version 9), its flags, the event
// ids and their names, the TCP states, the control block's TF_ flags and
// the TCP header's flags, and a record's wall-clock time.
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

#include <array>
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

// log_record. Widths: the time value 16, the stack id and event id 1, the
// flags 2, every other field 4 (errno, state, segqlen and sack_holes
// signed); the window scales share one byte (send scale in the low four
// bits, receive scale in the high four).
inline constexpr size_t LOG_RECORD_SIZE = 328;
inline constexpr size_t LOG_RECORD_VERBOSE_SIZE = 400;
inline constexpr size_t OFF_REC_TIME = 0;
inline constexpr size_t OFF_REC_TICKS = 16;
inline constexpr size_t OFF_REC_SERIAL = 20;
inline constexpr size_t OFF_REC_STACK_ID = 24;
inline constexpr size_t OFF_REC_EVENT_ID = 25;
inline constexpr size_t OFF_REC_FLAGS = 26;
inline constexpr size_t OFF_REC_ERRNO = 28;
inline constexpr size_t OFF_REC_RXBUF_ACC = 32;  // valid with REC_FLAG_RXBUF
inline constexpr size_t OFF_REC_RXBUF_CCC = 36;
inline constexpr size_t OFF_REC_TXBUF_ACC = 44;  // valid with REC_FLAG_TXBUF
inline constexpr size_t OFF_REC_TXBUF_CCC = 48;
inline constexpr size_t OFF_REC_STATE = 56;
inline constexpr size_t OFF_REC_STARTTIME = 60;
inline constexpr size_t OFF_REC_ISS = 64;
inline constexpr size_t OFF_REC_TCB_FLAGS = 68;  // TF_ flags
inline constexpr size_t OFF_REC_SND_UNA = 72;
inline constexpr size_t OFF_REC_SND_MAX = 76;
inline constexpr size_t OFF_REC_CWND = 80;
inline constexpr size_t OFF_REC_SND_NXT = 84;
inline constexpr size_t OFF_REC_SND_RECOVER = 88;
inline constexpr size_t OFF_REC_SND_WND = 92;
inline constexpr size_t OFF_REC_SSTHRESH = 96;
inline constexpr size_t OFF_REC_SRTT = 100;
inline constexpr size_t OFF_REC_RTTVAR = 104;
inline constexpr size_t OFF_REC_RCV_UP = 108;
inline constexpr size_t OFF_REC_RCV_ADV = 112;
inline constexpr size_t OFF_REC_FLAGS2 = 116;  // TF2_ flags
inline constexpr size_t OFF_REC_RCV_NXT = 120;
inline constexpr size_t OFF_REC_RCV_WND = 124;
inline constexpr size_t OFF_REC_DUPACKS = 128;
inline constexpr size_t OFF_REC_SEGQLEN = 132;
inline constexpr size_t OFF_REC_SACK_HOLES = 136;
inline constexpr size_t OFF_REC_FLEX1 = 140;
inline constexpr size_t OFF_REC_FLEX2 = 144;
inline constexpr size_t OFF_REC_FBYTE_IN = 148;
inline constexpr size_t OFF_REC_FBYTE_OUT = 152;
inline constexpr size_t OFF_REC_SCALES = 156;
// The stack-specific part, valid with REC_FLAG_STACKINFO.
inline constexpr size_t OFF_REC_STACKINFO = 160;
inline constexpr size_t REC_STACKINFO_SIZE = 104;
inline constexpr size_t OFF_REC_PAYLOAD_LEN = 264;
inline constexpr size_t OFF_REC_TH = 268;
inline constexpr size_t TH_SIZE = 60;
inline constexpr size_t OFF_TH_DATA_OFFSET = 12;  // within th
inline constexpr size_t OFF_TH_CHECKSUM = 16;     // within th
// Bytes of a record carried into the output: everything before th.
inline constexpr size_t REC_COPY_SIZE = OFF_REC_TH;

// The stack-specific part of the RACK stack, offsets from OFF_REC_STACKINFO:
// rack_rtt (4 bytes, microseconds) and its state (1).
inline constexpr size_t OFF_RACK_RTT = 0;
inline constexpr size_t OFF_RACK_STATE = 4;
// That of the BBR stack: four 8-byte rates and times, eleven 4-byte
// counters, the 4-byte flex1 to flex6 and lost, three 2-byte values, six
// single bytes and pkt_epoch.
inline constexpr size_t OFF_BBR_CUR_DEL_RATE = 0, OFF_BBR_DEL_RATE = 8, OFF_BBR_RTT_PROP = 16,
                        OFF_BBR_BW_INUSE = 24, OFF_BBR_INFLIGHT = 32, OFF_BBR_APPLIMITED = 36,
                        OFF_BBR_DELIVERED = 40, OFF_BBR_TIMESTAMP = 44, OFF_BBR_EPOCH = 48,
                        OFF_BBR_LT_EPOCH = 52, OFF_BBR_PKTS_OUT = 56, OFF_BBR_FLEX1 = 60,
                        OFF_BBR_FLEX2 = 64, OFF_BBR_FLEX3 = 68, OFF_BBR_FLEX4 = 72,
                        OFF_BBR_FLEX5 = 76, OFF_BBR_FLEX6 = 80, OFF_BBR_LOST = 84,
                        OFF_BBR_PACING_GAIN = 88, OFF_BBR_CWND_GAIN = 90, OFF_BBR_FLEX7 = 92,
                        OFF_BBR_STATE = 94, OFF_BBR_SUBSTATE = 95, OFF_BBR_INHPTS = 96,
                        OFF_BBR_ININPUT = 97, OFF_BBR_USE_LT_BW = 98, OFF_BBR_FLEX8 = 99,
                        OFF_BBR_PKT_EPOCH = 100;

// The base stack keeps srtt as ticks times 32 and rttvar as ticks times 16
// (TCP_RTT_SCALE, TCP_RTTVAR_SCALE); other stacks may keep other units.
inline constexpr uint32_t REC_SRTT_SCALE = 32;
inline constexpr uint32_t REC_RTTVAR_SCALE = 16;

// Record flags (offset 26).
inline constexpr uint16_t REC_FLAG_RXBUF = 0x1;      // receive buffer fields valid
inline constexpr uint16_t REC_FLAG_TXBUF = 0x2;      // send buffer fields valid
inline constexpr uint16_t REC_FLAG_HAS_TH = 0x4;     // a TCP header at OFF_REC_TH
inline constexpr uint16_t REC_FLAG_VERBOSE = 0x8;    // 72 verbose bytes follow
inline constexpr uint16_t REC_FLAG_STACKINFO = 0x10; // the stack-specific part is valid

// Event ids (offset 25) the code acts on; every id's name is in
// REC_EVENT_NAMES.
inline constexpr uint8_t REC_EVENT_IN = 1;         // packet received
inline constexpr uint8_t REC_EVENT_OUT = 2;        // packet sent
inline constexpr uint8_t REC_EVENT_RTO = 3;        // retransmission timeout
inline constexpr uint8_t REC_EVENT_CONN_END = 54;  // connection ended

// Short names of event ids 1 to 63, FreeBSD's names without their TCP_LOG_
// or BBR_LOG_ prefix, in lower case; index 0 has none, nor has an id of 64
// or more.
inline constexpr std::array<std::string_view, 64> REC_EVENT_NAMES = {
    "",
    "in", "out", "rto", "sb_wake", "bad_retran", "prr", "reorder", "hpts",
    "bbrupd", "bbrsnd", "ackclear", "inqueue", "timerstar", "timercanc", "entrec", "exitrec",
    "cwnd", "bwsamp", "msgsize", "bbrrtt", "justret", "state", "pkt_epoch", "persist",
    "flowend", "rto", "doseg_done", "exit_gain", "thresh_calc", "mapchg", "usersend",
    "bbr_rsm_cleared",
    "state_target", "time_epoch", "to_process", "bbrtso", "hptsdiag", "lowgain", "progress",
    "socket_opt", "timerprep", "enobuf_jmp", "hptsi_calc", "rtt_shrinks", "bw_red_ev",
    "reduce", "rtt", "settings_chg", "srtt_gain_event", "reass", "tcp_hdwr_pace_size",
    "hdwr_pace", "tstmp_val", "connend", "lro", "tcp_sack_filter_res", "tcp_sad_detection",
    "tcp_timely_work", "user_event", "sendfile", "http_t", "accounting", "fsb",
};

// TCP states (offset 56), as numbered by the kernel. These and the header
// flags below are named apart from the system headers' TCPS_ and TH_
// macros, which would clash with them.
inline constexpr int32_t TCP_STATE_CLOSED = 0, TCP_STATE_LISTEN = 1, TCP_STATE_SYN_SENT = 2,
                         TCP_STATE_SYN_RECEIVED = 3, TCP_STATE_ESTABLISHED = 4, TCP_STATE_CLOSE_WAIT = 5,
                         TCP_STATE_FIN_WAIT_1 = 6, TCP_STATE_CLOSING = 7, TCP_STATE_LAST_ACK = 8,
                         TCP_STATE_FIN_WAIT_2 = 9, TCP_STATE_TIME_WAIT = 10;
inline constexpr std::array<std::string_view, 11> TCP_STATE_NAMES = {
    "CLOSED",     "LISTEN",     "SYN_SENT", "SYN_RECEIVED", "ESTABLISHED", "CLOSE_WAIT",
    "FIN_WAIT_1", "CLOSING",    "LAST_ACK", "FIN_WAIT_2",   "TIME_WAIT",
};
static_assert(TCP_STATE_NAMES[TCP_STATE_TIME_WAIT] == "TIME_WAIT");

// A flag bit and its name, lowest bit first in every table.
struct named_bit {
    uint32_t bit;
    std::string_view name;
};

// The control block's flags (offset 68): every TF_ bit of FreeBSD 13.5,
// named without the TF_ prefix.
inline constexpr named_bit TCB_FLAG_NAMES[] = {
    {0x1, "ACKNOW"},           {0x2, "DELACK"},          {0x4, "NODELAY"},
    {0x8, "NOOPT"},            {0x10, "SENTFIN"},        {0x20, "REQ_SCALE"},
    {0x40, "RCVD_SCALE"},      {0x80, "REQ_TSTMP"},      {0x100, "RCVD_TSTMP"},
    {0x200, "SACK_PERMIT"},    {0x400, "NEEDSYN"},       {0x800, "NEEDFIN"},
    {0x1000, "NOPUSH"},        {0x2000, "PREVVALID"},    {0x4000, "WAKESOR"},
    {0x8000, "GPUTINPROG"},    {0x10000, "MORETOCOME"},  {0x20000, "LQ_OVERFLOW"},
    {0x40000, "LASTIDLE"},     {0x80000, "RXWIN0SENT"},  {0x100000, "FASTRECOVERY"},
    {0x200000, "WASFRECOVERY"}, {0x400000, "SIGNATURE"}, {0x800000, "FORCEDATA"},
    {0x1000000, "TSO"},        {0x2000000, "TOE"},       {0x4000000, "UNUSED0"},
    {0x8000000, "UNUSED1"},    {0x10000000, "UNUSED2"},  {0x20000000, "CONGRECOVERY"},
    {0x40000000, "WASCRECOVERY"}, {0x80000000, "FASTOPEN"},
};
static_assert(std::size(TCB_FLAG_NAMES) == 32, "every one of the 32 bits has its name");

// TCP header flags (byte 13 of the header).
inline constexpr uint8_t TCP_HDR_FIN = 0x01, TCP_HDR_SYN = 0x02, TCP_HDR_RST = 0x04, TCP_HDR_PUSH = 0x08,
                         TCP_HDR_ACK = 0x10, TCP_HDR_URG = 0x20, TCP_HDR_ECE = 0x40, TCP_HDR_CWR = 0x80;
inline constexpr size_t OFF_TH_SEQ = 4, OFF_TH_ACK = 8, OFF_TH_FLAGS = 13, OFF_TH_WIN = 14;
inline constexpr named_bit TCP_HDR_FLAG_NAMES[] = {
    {TCP_HDR_FIN, "FIN"}, {TCP_HDR_SYN, "SYN"}, {TCP_HDR_RST, "RST"}, {TCP_HDR_PUSH, "PSH"},
    {TCP_HDR_ACK, "ACK"}, {TCP_HDR_URG, "URG"}, {TCP_HDR_ECE, "ECE"}, {TCP_HDR_CWR, "CWR"},
};

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
static_assert(OFF_REC_SCALES < OFF_REC_STACKINFO &&
              OFF_REC_STACKINFO + REC_STACKINFO_SIZE == OFF_REC_PAYLOAD_LEN);
static_assert(OFF_BBR_PKT_EPOCH + 4 == REC_STACKINFO_SIZE);

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
inline int32_t rec_state(const uint8_t* r) { return load<int32_t>(r + OFF_REC_STATE); }
inline uint32_t rec_ticks(const uint8_t* r) { return load<uint32_t>(r + OFF_REC_TICKS); }
inline size_t rec_size(const uint8_t* r) {
    return (rec_flags(r) & REC_FLAG_VERBOSE) ? LOG_RECORD_VERBOSE_SIZE : LOG_RECORD_SIZE;
}

// A record's wall-clock time in microseconds since the epoch: the seconds
// and microseconds of the log header's time offset (`time_offset` points
// at that field) plus those of the record's time, exact in 128 bits. The
// daemon's block timestamp is its low 64 bits (a nonsensical time wraps).
inline __int128 record_wall_usec(const uint8_t* time_offset, const uint8_t* rec) {
    const timeval64 off = load_timeval(time_offset), rt = rec_time(rec);
    return (static_cast<__int128>(off.sec) + rt.sec) * 1000000 + off.usec + rt.usec;
}

// The short name of an event id; empty for an id without one.
inline std::string_view rec_event_name(uint8_t event_id) {
    return event_id < REC_EVENT_NAMES.size() ? REC_EVENT_NAMES[event_id] : std::string_view{};
}
// "ESTABLISHED", ...; empty for a state outside 0 to 10.
inline std::string_view tcp_state_name(int32_t state) {
    if (state < 0 || static_cast<size_t>(state) >= TCP_STATE_NAMES.size()) return {};
    return TCP_STATE_NAMES[static_cast<size_t>(state)];
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
