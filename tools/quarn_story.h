// One TCP connection told as a story, for quarn_synth --story: the log a
// FreeBSD sender's black box would hold while it uploads a few hundred
// kilobytes over a path with a slow bottleneck.
//
// The local side (10.0.0.1) opens the connection to a server on port 443
// and uploads in two writes. The first write's segments are limited by the
// congestion window: slow start, a late segment, one loss with fast
// retransmit and recovery, congestion avoidance, then an outage that only
// the retransmission timer ends (an RTO, go-back-N). Once the server has
// acknowledged them all, the send buffer is empty and the application
// waits APP_PAUSE_US before its second write: application-limited. The
// server's application has meanwhile stopped reading fast, so it offers a
// window of four segments only, and the second write goes out
// receiver-limited. Then the local side closes first and the server
// answers with REPLY_BYTES and its FIN.
//
// Every record carries, beside its fields, what the story knows of it:
// what limited sending after it and whether a segment sent was sent
// before. Every choice comes from the seed: the jitter, and which segments
// are reordered, lost and caught in the outage.
//
// Nothing here keeps global state; any thread may call it.
#ifndef QUARN_STORY_H
#define QUARN_STORY_H

#include <cstdint>
#include <vector>

namespace quarn::story {

inline constexpr uint32_t MSS = 1460;
inline constexpr uint32_t SEGMENTS = 160;                   // the first write, in full segments
inline constexpr uint32_t SEGMENTS_AFTER_PAUSE = 40;        // the second write
inline constexpr int64_t APP_PAUSE_US = 300000;             // between the two writes
inline constexpr uint8_t LOCAL_SHIFT = 6, PEER_SHIFT = 7;   // window scales
inline constexpr uint16_t PEER_WINDOW_FIELD = 2048;         // 262144 bytes once scaled
inline constexpr uint16_t PEER_SMALL_WINDOW_FIELD = 46;     // 5888 bytes: four segments
inline constexpr uint32_t REPLY_BYTES = 200;                // the server's answer before its FIN

// Event ids and control block flags as logged, where quarn_logfmt.h names
// none.
inline constexpr uint8_t EV_SB_WAKE = 4, EV_PRR = 6, EV_REORDER = 7, EV_USERSEND = 31;
inline constexpr uint32_t TF_SENTFIN = 0x10, TF_SACK_PERMIT = 0x200,
                          TF_FASTRECOVERY = 0x100000, TF_WASFRECOVERY = 0x200000;

// What limited sending after a record, by the state the story holds then:
// a retransmission timeout not yet answered (snd_una has not moved since
// it fired), else a window with less than MSS of room (the peer's when it
// is not above cwnd, the congestion window otherwise), else the
// application.
enum limit_kind : uint8_t { LIMIT_CWND, LIMIT_RWND, LIMIT_APP, LIMIT_RTO };

// The stack-specific part a record carries (with REC_FLAG_STACKINFO).
enum stack_part : uint8_t { PART_NONE, PART_RACK, PART_BBR };

// The BBR part as the story fills it: the same connection seen through
// BBR's books. Its congestion control stays the story's; these fields
// report the state, they do not steer it.
struct bbr_view {
    uint64_t del_rate = 0;    // bytes a second delivered since the handshake
    uint64_t rtt_prop = 0;    // the lowest RTT seen, microseconds
    uint64_t bw_inuse = 0;    // as del_rate
    uint32_t inflight = 0;    // snd_max - snd_una, bytes
    uint32_t applimited = 0;  // 1 while nothing is left to send
    uint32_t delivered = 0;   // snd_una - iss - 1, bytes
    uint32_t timestamp = 0;   // the producer's clock, microseconds, low 32 bits
    uint32_t pkts_out = 0;    // inflight in whole segments
    uint32_t lost = 0;        // bytes sent again so far
    uint16_t pacing_gain = 0, cwnd_gain = 0;  // 256 is a gain of 1
    uint8_t bbr_state = 0;    // 1 startup until the first loss, then 3 probe_bw
};

// One log record as the story sets it: every field of bytes 0 to 267 and
// the TCP header of a packet.
struct logged {
    int64_t sec = 0, usec = 0;  // producer's clock
    uint32_t ticks = 0, serial = 0;
    uint8_t event_id = 0;
    uint16_t flags = 0;
    int32_t error = 0;
    uint32_t rxbuf_acc = 0, rxbuf_ccc = 0, txbuf_acc = 0, txbuf_ccc = 0;
    int32_t state = 0;
    uint32_t starttime = 0, iss = 0, tcb_flags = 0;
    uint32_t snd_una = 0, snd_max = 0, cwnd = 0, snd_nxt = 0, snd_recover = 0, snd_wnd = 0,
             ssthresh = 0, srtt = 0, rttvar = 0, rcv_up = 0, rcv_adv = 0, rcv_nxt = 0,
             rcv_wnd = 0, dupacks = 0;
    int32_t segqlen = 0, sack_holes = 0;
    uint32_t flex1 = 0, flex2 = 0, fbyte_in = 0, fbyte_out = 0;
    uint8_t snd_scale = 0, rcv_scale = 0;
    uint8_t stack_id = 0;    // who logs it; the synthesizer sets it
    stack_part part = PART_NONE;
    uint32_t rack_rtt = 0;   // the RACK part, kept for every record
    uint8_t rack_state = 0;
    bbr_view bbr;            // the BBR part, kept for every record
    uint32_t payload_len = 0;
    std::vector<uint8_t> th;  // packets only
    // What the story knows: the limit after this record, and for a segment
    // sent with payload, SYN or FIN, whether it lies below snd_max.
    limit_kind limit = LIMIT_APP;
    bool retransmission = false;
};

struct story_options {
    uint64_t seed = 1;
    bool rack = false;  // the rack stack, with its part of the record
    // The producer's clock at the SYN, microseconds; from the seed when
    // negative. Nothing else the seed decides moves with it.
    int64_t start_us = -1;
};

// The log records of the story, in order, serials from 0; the local port
// (an ephemeral one the seed picks) into *local_port when asked.
std::vector<logged> tell(const story_options& o, uint16_t* local_port = nullptr);

// Writes every field of `r` into the record at `p` (LOG_RECORD_SIZE bytes
// already holding its time, serial, ids, flags, payload length and TCP
// header, as build::add_record puts them); the stack-specific part is r.part
// when r.flags has REC_FLAG_STACKINFO, else zeros.
void store_state(uint8_t* p, const logged& r);

}  // namespace quarn::story

#endif
