// The TCP state a log record carries in its bytes 0 to 263, decoded for the
// analysis tools. The daemon only copies these bytes; this unit reads them.
//
// Every value is read in host byte order (the producer's, as for the rest
// of the stream: see quarn_logfmt.h, which gives every field's offset),
// through memcpy from a bounded span: a record shorter than
// TCPLOG_DECODED_BYTES decodes to nothing (tcplog_decode returns -1 and
// leaves `out` cleared). Nothing here keeps state; any thread may call it.
#ifndef QUARN_TCPLOG_H
#define QUARN_TCPLOG_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quarn {

// Bytes of a record this unit reads (through the stack-specific part).
inline constexpr size_t TCPLOG_DECODED_BYTES = 264;

// Which stack-specific part a record holds, from the stack's name and the
// 0x10 flag: rack and bbr only, otherwise none (its bytes stay undecoded).
enum class tcplog_stack_part { none, rack, bbr };
tcplog_stack_part tcplog_part_for(std::string_view stack_name, uint16_t flags);

struct tcplog_rack {
    uint32_t rack_rtt = 0;   // 160
    uint8_t rack_state = 0;  // 164
};

struct tcplog_bbr {           // offsets from 160
    uint64_t cur_del_rate = 0, del_rate = 0, rtt_prop = 0, bw_inuse = 0;
    uint32_t inflight = 0, applimited = 0, delivered = 0, timestamp = 0, epoch = 0,
             lt_epoch = 0, pkts_out = 0;
    uint32_t flex1 = 0, flex2 = 0, flex3 = 0, flex4 = 0, flex5 = 0, flex6 = 0;
    uint32_t lost = 0;
    uint16_t pacing_gain = 0, cwnd_gain = 0, flex7 = 0;
    uint8_t bbr_state = 0, bbr_substate = 0, inhpts = 0, ininput = 0, use_lt_bw = 0, flex8 = 0;
    uint32_t pkt_epoch = 0;
};

struct tcplog_record {
    int64_t tv_sec = 0, tv_usec = 0;  // 0, 8: producer's clock
    uint32_t ticks = 0;               // 16
    uint32_t serial = 0;              // 20
    uint8_t stack_id = 0;             // 24
    uint8_t event_id = 0;             // 25
    uint16_t flags = 0;               // 26
    int32_t error = 0;                // 28 (column "errno")
    uint32_t rxbuf_acc = 0, rxbuf_ccc = 0;  // 32, 36: valid with REC_FLAG_RXBUF
    uint32_t txbuf_acc = 0, txbuf_ccc = 0;  // 44, 48: valid with REC_FLAG_TXBUF
    int32_t state = 0;                // 56
    uint32_t starttime = 0, iss = 0, tcb_flags = 0;  // 60, 64, 68
    uint32_t snd_una = 0, snd_max = 0, cwnd = 0, snd_nxt = 0, snd_recover = 0, snd_wnd = 0,
             ssthresh = 0, srtt = 0, rttvar = 0, rcv_up = 0, rcv_adv = 0, flags2 = 0,
             rcv_nxt = 0, rcv_wnd = 0, dupacks = 0;  // 72 .. 128
    int32_t segqlen = 0, sack_holes = 0;   // 132, 136
    uint32_t flex1 = 0, flex2 = 0;         // 140, 144
    uint32_t fbyte_in = 0, fbyte_out = 0;  // 148, 152
    uint8_t snd_scale = 0, rcv_scale = 0;  // 156: low and high four bits
    uint32_t payload_len = 0;              // 264, when the record is that long
    bool has_payload_len = false;
    tcplog_stack_part part = tcplog_stack_part::none;
    tcplog_rack rack;  // valid when part == rack
    tcplog_bbr bbr;    // valid when part == bbr
};

// Decodes `rec` (a record from its offset 0; at least TCPLOG_DECODED_BYTES,
// usually the 268 bytes a dump block carries). `stack_name` picks the
// stack-specific part together with the 0x10 flag. 0 on success, -1 when
// `rec` is too short.
int tcplog_decode(std::span<const uint8_t> rec, std::string_view stack_name, tcplog_record& out);

// "rto", "bad_retran", "connend", "tcp_hdwr_pace_size", ...: the event's
// short name (prefix TCP_LOG_ or BBR_LOG_ dropped, lower case); empty for
// an id without a name (0, and 64 and above).
std::string_view tcplog_event_name(uint8_t event_id);
// "ESTABLISHED", ...; empty for a state outside 0 to 10.
std::string_view tcplog_state_name(int32_t state);
// Control block flags (offset 68) by their TF_ names, as "SACK_PERMIT|TSO";
// written into `buf` (NUL-terminated, cut to its size); returns the length.
size_t tcplog_tcb_flags_text(uint32_t tcb_flags, std::span<char> buf);

}  // namespace quarn

#endif
