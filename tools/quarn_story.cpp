// The story's teller: both ends of the connection and the path between
// them, run as events in time order.
//
// The sender follows the base stack's rules: NewReno with appropriate byte
// counting, SACK recovery entered on the third duplicate ACK, ssthresh of
// half the window in whole segments, smoothed RTT and variance kept in
// ticks (hz 1000) scaled by 32 and 16 and measured on every ACK through the
// echoed timestamp, the RTO of srtt + 4 rttvar with a 30-tick floor plus
// 200 ticks of slop. Segments cross a 12 Mbit/s bottleneck with 15 ms each
// way, so the RTT grows with the queue. A packet record (IN) shows the state
// the arriving segment found; a sent segment (OUT) and an event show the
// state after it.
#include "quarn_story.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>

#include "quarn_logbuild.h"
#include "quarn_logfmt.h"

namespace quarn::story {
namespace {

constexpr uint32_t MAX_SCALED_WINDOW = 65535u << 14;  // cwnd and ssthresh before any loss
constexpr uint32_t INITIAL_WINDOW = 10 * MSS;
constexpr uint32_t LOCAL_RCV_BUF = 65536;
constexpr uint32_t SEND_BUF = 2097152;
constexpr uint32_t RTT_MIN_TICKS = 30, RTO_SLOP_TICKS = 200;
constexpr uint32_t INITIAL_RTTVAR = (1000 << 4) / 4;  // one second's RTO before a sample
constexpr uint64_t FIRST_WRITE_END = 1 + uint64_t{SEGMENTS} * MSS;  // offset from the ISS

// Sequence ranges [first, second) in 64-bit offsets from the ISS, sorted
// and disjoint.
using ranges = std::vector<std::pair<uint64_t, uint64_t>>;

void add_range(ranges& rs, uint64_t a, uint64_t b) {
    rs.emplace_back(a, b);
    std::sort(rs.begin(), rs.end());
    ranges merged;
    for (const auto& r : rs) {
        if (!merged.empty() && r.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, r.second);
        } else {
            merged.push_back(r);
        }
    }
    rs = merged;
}

void cut_below(ranges& rs, uint64_t edge) {
    ranges kept;
    for (const auto& r : rs) {
        if (r.second <= edge) continue;
        kept.emplace_back(std::max(r.first, edge), r.second);
    }
    rs = kept;
}

// The connection of both ends and the path between them, run as events in
// time order. Times are microseconds from the SYN.
class teller {
public:
    explicit teller(const story_options& o) : opt_(o), rng_{o.seed * 0x9E3779B97F4A7C15ull + 7} {
        iss_ = static_cast<uint32_t>(rng_.next());
        irs_ = static_cast<uint32_t>(rng_.next());
        boot_us_ = (3600 + static_cast<int64_t>(rng_.below(86400))) * 1000000 +
                   static_cast<int64_t>(rng_.below(1000000));
        reorder_seg_ = 14 + rng_.below32(4);
        loss_seg_ = 44 + rng_.below32(8);
        outage_seg_ = 118 + rng_.below32(8);
        ts_offset_ = static_cast<uint32_t>(rng_.next());
        peer_ts_base_ = static_cast<uint32_t>(rng_.next());
        if (o.start_us >= 0) boot_us_ = o.start_us;
    }

    std::vector<logged> tell() {
        starttime_ = ticks();
        state_ = TCP_STATE_SYN_SENT;
        send(0, 0, TCP_HDR_SYN);
        while (!queue_.empty() && !ended_) {
            auto it = queue_.begin();
            now_ = it->first;
            const pending p = it->second;
            queue_.erase(it);
            dispatch(p);
        }
        return log_;
    }

    // The local port, an ephemeral one the seed picks through the ISS.
    uint16_t local_port() const { return static_cast<uint16_t>(49152 + (iss_ % 16384)); }

private:
    enum kind { SEG_AT_PEER, ACK_AT_LOCAL, PEER_DELACK, LOCAL_RTO, PEER_REPLY, APP_WRITE };
    struct pending {
        kind what;
        uint64_t seq = 0, ack = 0;  // offsets from the ISS (local data) or IRS (peer data)
        uint32_t len = 0;
        uint8_t th_flags = 0;
        uint16_t window = 0;
        ranges sacks;
        uint64_t generation = 0;
        uint32_t ts_val = 0, ts_ecr = 0;  // timestamps option
    };

    story_options opt_;
    build::prng rng_;
    uint32_t iss_, irs_;
    int64_t boot_us_;  // producer's clock at the SYN
    uint32_t reorder_seg_, loss_seg_, outage_seg_;
    std::multimap<int64_t, pending> queue_;
    int64_t now_ = 0;
    bool ended_ = false;
    std::vector<logged> log_;
    uint32_t serial_ = 0;

    // Local (sending) side.
    int32_t state_ = 0;
    uint32_t starttime_ = 0, tcb_flags_ = 0;
    uint64_t una_ = 0, nxt_ = 0, max_ = 0, recover_ = 0, rexmit_next_ = 0;
    uint64_t data_end_ = 1 + uint64_t{SEGMENTS} * MSS;  // what the application has written
    const uint64_t total_end_ = data_end_ + uint64_t{SEGMENTS_AFTER_PAUSE} * MSS;
    bool paused_ = false;      // the first write is acknowledged; the second comes later
    bool rto_waiting_ = false;  // a timeout fired and snd_una has not moved since
    uint32_t cwnd_ = MAX_SCALED_WINDOW, ssthresh_ = MAX_SCALED_WINDOW, snd_wnd_ = 0;
    uint32_t dupacks_ = 0, bytes_acked_ = 0, prr_delivered_ = 0, prr_out_ = 0;
    int32_t srtt_ = 0, rttvar_ = INITIAL_RTTVAR;
    uint32_t last_rtt_us_ = 0, min_rtt_us_ = 0;
    uint32_t resent_bytes_ = 0;  // payload sent again so far
    int64_t established_us_ = 0;
    uint32_t ts_offset_ = 0, ts_recent_ = 0;  // our timestamp clock's offset; the peer's last TSval
    uint32_t rxtshift_ = 0;
    uint64_t rto_generation_ = 0;
    bool rto_armed_ = false;
    bool in_recovery_ = false, after_rto_ = false;
    ranges scoreboard_;
    uint64_t rcv_nxt_ = 0;  // offset from the IRS; 0 until the SYN-ACK
    uint32_t rxbuf_ = 0, fbyte_in_ = 0, fbyte_out_ = 0;
    bool wrote_ = false;

    // Peer (receiving) side and the path.
    uint64_t peer_rcv_nxt_ = 0;
    ranges peer_ooo_;
    std::pair<uint64_t, uint64_t> peer_last_ooo_{0, 0};
    uint32_t peer_unacked_ = 0;
    uint64_t peer_delack_generation_ = 0;
    uint32_t peer_ts_base_ = 0, peer_ts_recent_ = 0;
    uint64_t peer_last_ack_ = 0;
    uint16_t peer_window_ = PEER_WINDOW_FIELD;
    bool outage_ = false;
    int64_t link_free_ = 0;
    std::vector<bool> sent_once_ = std::vector<bool>(SEGMENTS, false);

    uint32_t ticks() const { return static_cast<uint32_t>((boot_us_ + now_) / 1000); }
    uint32_t lseq(uint64_t off) const { return iss_ + static_cast<uint32_t>(off); }
    uint32_t pseq(uint64_t off) const { return irs_ + static_cast<uint32_t>(off); }
    uint32_t rcv_wnd() const { return LOCAL_RCV_BUF - rxbuf_; }

    void at(int64_t when, const pending& p) { queue_.emplace(when, p); }

    uint64_t sacked_bytes() const {
        uint64_t n = 0;
        for (const auto& r : scoreboard_) n += r.second - r.first;
        return n;
    }

    // The BBR part of a record at producer time `t`: the state as BBR
    // would account for it.
    bbr_view bbr_books(int64_t t) const {
        bbr_view b;
        const uint64_t delivered = una_ > 1 ? una_ - 1 : 0;
        const int64_t since = now_ - established_us_;
        if (una_ > 0 && since > 0) {
            b.del_rate = delivered * 1000000 / static_cast<uint64_t>(since);
        }
        b.bw_inuse = b.del_rate;
        b.rtt_prop = min_rtt_us_;
        b.inflight = static_cast<uint32_t>(max_ - una_);
        b.applimited = wrote_ && nxt_ >= data_end_ && max_ >= data_end_ ? 1 : 0;
        b.delivered = static_cast<uint32_t>(delivered);
        b.timestamp = static_cast<uint32_t>(t);
        b.pkts_out = b.inflight / MSS;
        b.lost = resent_bytes_;
        // Startup's gain of 2/ln 2 until the first loss, then probe_bw's
        // cruising gain of 1 with a cwnd gain of 2.
        const bool startup = resent_bytes_ == 0 && !after_rto_;
        b.bbr_state = startup ? 1 : 3;
        b.pacing_gain = startup ? 739 : 256;
        b.cwnd_gain = startup ? 739 : 512;
        return b;
    }

    logged snapshot(uint8_t event_id, bool packet) {
        logged r;
        const int64_t t = boot_us_ + now_;
        r.sec = t / 1000000;
        r.usec = t % 1000000;
        r.ticks = ticks();
        r.serial = serial_++;
        r.event_id = event_id;
        r.flags = REC_FLAG_RXBUF | REC_FLAG_TXBUF | (packet ? REC_FLAG_HAS_TH : 0) | (opt_.rack ? REC_FLAG_STACKINFO : 0);
        r.part = opt_.rack ? PART_RACK : PART_NONE;
        r.rxbuf_acc = r.rxbuf_ccc = rxbuf_;
        const uint64_t unsent_or_unacked =
            (wrote_ && una_ < data_end_) ? data_end_ - std::max<uint64_t>(una_, 1) : 0;
        r.txbuf_acc = r.txbuf_ccc = static_cast<uint32_t>(std::min<uint64_t>(unsent_or_unacked, SEND_BUF));
        r.state = state_;
        r.starttime = starttime_;
        r.iss = iss_;
        r.tcb_flags = tcb_flags_;
        r.snd_una = lseq(una_);
        r.snd_max = lseq(max_);
        r.snd_nxt = lseq(nxt_);
        r.snd_recover = lseq(recover_);
        r.cwnd = cwnd_;
        r.ssthresh = ssthresh_;
        r.snd_wnd = snd_wnd_;
        r.srtt = static_cast<uint32_t>(srtt_);
        r.rttvar = static_cast<uint32_t>(rttvar_);
        r.rcv_nxt = rcv_nxt_ ? pseq(rcv_nxt_) : 0;
        r.rcv_up = r.rcv_nxt;
        r.rcv_wnd = rcv_wnd();
        r.rcv_adv = rcv_nxt_ ? r.rcv_nxt + r.rcv_wnd : 0;
        r.dupacks = dupacks_;
        r.sack_holes = static_cast<int32_t>(scoreboard_.size());
        r.fbyte_in = fbyte_in_;
        r.fbyte_out = fbyte_out_;
        if (state_ != TCP_STATE_SYN_SENT) {
            r.snd_scale = PEER_SHIFT;
            r.rcv_scale = LOCAL_SHIFT;
        }
        const int64_t room = int64_t{std::min(cwnd_, snd_wnd_)} - static_cast<int64_t>(max_ - una_);
        r.limit = rto_waiting_         ? LIMIT_RTO
                  : room < int64_t{MSS} ? (snd_wnd_ <= cwnd_ ? LIMIT_RWND : LIMIT_CWND)
                                        : LIMIT_APP;
        r.rack_rtt = last_rtt_us_;
        r.rack_state = in_recovery_ ? 2 : after_rto_ ? 3 : 1;
        r.bbr = bbr_books(t);
        return r;
    }

    void event(uint8_t id, uint32_t flex1, uint32_t flex2) {
        logged r = snapshot(id, false);
        r.flex1 = flex1;
        r.flex2 = flex2;
        log_.push_back(r);
    }

    static void put_be32(std::vector<uint8_t>& o, uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) o.push_back(static_cast<uint8_t>(v >> shift));
    }

    // A TCP header with its options padded to whole words.
    static std::vector<uint8_t> header(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack,
                                       uint8_t th_flags, uint16_t window,
                                       const std::vector<uint8_t>& opts) {
        const uint8_t words = static_cast<uint8_t>(5 + opts.size() / 4);
        std::vector<uint8_t> th = build::tcp_header(sport, dport, seq, ack, words, th_flags, window);
        std::copy(opts.begin(), opts.end(), th.begin() + 20);
        return th;
    }

    // MSS, window scale, SACK permitted and timestamps; later segments
    // carry timestamps and, on the peer's ACKs, SACK blocks.
    static std::vector<uint8_t> options(bool syn, uint8_t shift, uint32_t ts_val, uint32_t ts_ecr,
                                        const ranges& sacks, uint32_t iss) {
        std::vector<uint8_t> o;
        if (syn) {
            o = {2, 4, MSS >> 8, MSS & 0xff, 1, 3, 3, shift, 4, 2, 8, 10};
        } else {
            o = {1, 1, 8, 10};
        }
        put_be32(o, ts_val);
        put_be32(o, ts_ecr);
        if (!sacks.empty()) {
            o.insert(o.end(), {1, 1, 5, static_cast<uint8_t>(2 + 8 * sacks.size())});
            for (const auto& r : sacks) {
                put_be32(o, iss + static_cast<uint32_t>(r.first));
                put_be32(o, iss + static_cast<uint32_t>(r.second));
            }
        }
        return o;
    }

    uint32_t local_ts() const { return ticks() + ts_offset_; }
    uint32_t peer_ts() const { return peer_ts_base_ + static_cast<uint32_t>(now_ / 1000); }

    // srtt + 4 rttvar, at least the floor, plus the allowance for timer slop.
    uint32_t rto_ticks() const {
        const uint32_t base = static_cast<uint32_t>(((srtt_ >> 3) + rttvar_) >> 2);
        return std::max(RTT_MIN_TICKS, base) + RTO_SLOP_TICKS;
    }

    void arm_rto() {
        rto_armed_ = true;
        pending p{LOCAL_RTO};
        p.generation = ++rto_generation_;
        at(now_ + int64_t{rto_ticks()} * 1000 * (int64_t{1} << rxtshift_), p);
    }

    void stop_rto() {
        rto_armed_ = false;
        ++rto_generation_;
    }

    // Sends one segment from the local side: logs it, moves snd_nxt and
    // snd_max, and puts it on the path (or loses it).
    void send(uint64_t seq, uint32_t len, uint8_t th_flags, bool psh = false) {
        const bool syn = th_flags & TCP_HDR_SYN, fin = th_flags & TCP_HDR_FIN;
        const uint64_t end = seq + len + (syn || fin ? 1 : 0);
        const bool again = end > seq && seq < max_;
        // A hole retransmitted in recovery leaves snd_nxt where it is.
        if (!(in_recovery_ && seq < max_)) nxt_ = end;
        if (end > max_) {
            max_ = end;
        }
        if (len > 0 && fbyte_out_ == 0) fbyte_out_ = ticks();
        if (in_recovery_) prr_out_ += len;
        if (fin) tcb_flags_ |= TF_SENTFIN;
        if (again) resent_bytes_ += len;

        logged r = snapshot(REC_EVENT_OUT, true);
        r.payload_len = len;
        r.retransmission = again;
        const uint8_t flags = static_cast<uint8_t>(th_flags | (psh ? TCP_HDR_PUSH : 0));
        r.th = header(local_port(), 443, lseq(seq), syn ? 0 : pseq(rcv_nxt_), flags,
                      syn ? 65535 : static_cast<uint16_t>(rcv_wnd() >> LOCAL_SHIFT),
                      options(syn, LOCAL_SHIFT, local_ts(), ts_recent_, {}, iss_));
        log_.push_back(std::move(r));
        if ((len > 0 || syn || fin) && !rto_armed_) arm_rto();

        // The path: a 12 Mbit/s bottleneck, then 15 ms.
        const uint32_t index = len > 0 ? static_cast<uint32_t>((seq - 1) / MSS) : UINT32_MAX;
        const bool first = index < SEGMENTS && !sent_once_[index];
        if (first) sent_once_[index] = true;
        if (first && index == outage_seg_) outage_ = true;
        if (outage_ || (first && index == loss_seg_)) return;
        const int64_t departure = std::max(now_, link_free_) + (int64_t{len} + 40) * 2 / 3;
        link_free_ = departure;
        int64_t arrival = departure + 15000 + static_cast<int64_t>(rng_.below(300));
        if (first && index == reorder_seg_) arrival += 2600;
        pending p{SEG_AT_PEER};
        p.seq = seq;
        p.len = len;
        p.th_flags = th_flags;
        p.ts_val = local_ts();
        at(arrival, p);
    }

    // The peer's ACK (with its SACK blocks), 15 ms back.
    void peer_ack(uint64_t reply_len = 0, uint8_t extra_flags = 0) {
        peer_unacked_ = 0;
        ++peer_delack_generation_;
        pending p{ACK_AT_LOCAL};
        p.seq = 1;
        p.ack = peer_rcv_nxt_;
        p.len = static_cast<uint32_t>(reply_len);
        p.th_flags = static_cast<uint8_t>(TCP_HDR_ACK | extra_flags);
        p.window = peer_window_;
        p.ts_val = peer_ts();
        p.ts_ecr = peer_ts_recent_;
        peer_last_ack_ = peer_rcv_nxt_;
        if (!peer_ooo_.empty()) {
            // The block that changed last comes first.
            p.sacks.push_back(peer_last_ooo_);
            for (auto it = peer_ooo_.rbegin(); it != peer_ooo_.rend() && p.sacks.size() < 3; ++it) {
                if (*it != peer_last_ooo_) p.sacks.push_back(*it);
            }
        }
        at(now_ + 15000 + static_cast<int64_t>(rng_.below(800)), p);
    }

    void dispatch(const pending& p) {
        switch (p.what) {
        case SEG_AT_PEER: peer_receives(p); break;
        case ACK_AT_LOCAL: local_receives(p); break;
        case PEER_DELACK:
            if (p.generation == peer_delack_generation_ && peer_unacked_ > 0) peer_ack();
            break;
        case LOCAL_RTO:
            if (p.generation == rto_generation_) timer_fires();
            break;
        case PEER_REPLY: peer_ack(REPLY_BYTES, TCP_HDR_PUSH | TCP_HDR_FIN); break;
        case APP_WRITE: {
            const uint64_t from = std::max(una_, uint64_t{1});
            if (paused_) data_end_ = total_end_;
            wrote_ = true;
            event(EV_USERSEND, static_cast<uint32_t>(data_end_ - from), 0);
            try_send();
            break;
        }
        }
    }

    void peer_receives(const pending& s) {
        if (s.th_flags & TCP_HDR_SYN) {
            peer_rcv_nxt_ = 1;
            pending p{ACK_AT_LOCAL};
            p.ack = 1;
            p.th_flags = TCP_HDR_SYN | TCP_HDR_ACK;
            p.window = 65535;
            peer_ts_recent_ = s.ts_val;
            peer_last_ack_ = 1;
            p.ts_val = peer_ts();
            p.ts_ecr = peer_ts_recent_;
            at(now_ + 60 + 15000 + static_cast<int64_t>(rng_.below(800)), p);
            return;
        }
        const uint64_t consumed = s.len + ((s.th_flags & TCP_HDR_FIN) ? 1 : 0);
        if (consumed == 0) return;  // a pure ACK
        if (s.seq > peer_rcv_nxt_) {
            add_range(peer_ooo_, s.seq, s.seq + consumed);
            for (const auto& r : peer_ooo_) {
                if (r.first <= s.seq && s.seq < r.second) peer_last_ooo_ = r;
            }
            peer_ack();
            return;
        }
        if (s.seq + consumed <= peer_rcv_nxt_) {
            peer_ack();  // a duplicate
            return;
        }
        const bool had_hole = !peer_ooo_.empty();
        // The echoed timestamp is the one of the segment that starts at the
        // left edge the last ACK announced.
        if (s.seq <= peer_last_ack_) peer_ts_recent_ = s.ts_val;
        peer_rcv_nxt_ = s.seq + consumed;
        while (!peer_ooo_.empty() && peer_ooo_.front().first <= peer_rcv_nxt_) {
            peer_rcv_nxt_ = std::max(peer_rcv_nxt_, peer_ooo_.front().second);
            peer_ooo_.erase(peer_ooo_.begin());
        }
        // The server's application reads slowly from the end of the first
        // write on.
        if (peer_rcv_nxt_ >= FIRST_WRITE_END) peer_window_ = PEER_SMALL_WINDOW_FIELD;
        if (s.th_flags & TCP_HDR_FIN) {
            peer_ack();
            at(now_ + 3000, pending{PEER_REPLY});
        } else if (had_hole || ++peer_unacked_ >= 2) {
            peer_ack();
        } else {
            pending p{PEER_DELACK};
            p.generation = peer_delack_generation_;
            at(now_ + 40000, p);
        }
    }

    // One RTT measurement from an echoed timestamp, in ticks plus one.
    void rtt_sample(uint32_t ts_ecr) {
        const int32_t rtt = static_cast<int32_t>(local_ts() - ts_ecr) + 1;
        last_rtt_us_ = static_cast<uint32_t>(rtt) * 1000;
        if (min_rtt_us_ == 0 || last_rtt_us_ < min_rtt_us_) min_rtt_us_ = last_rtt_us_;
        if (srtt_ != 0) {
            int32_t delta = ((rtt - 1) << 2) - (srtt_ >> 3);
            srtt_ = std::max(1, srtt_ + delta);
            if (delta < 0) delta = -delta;
            delta -= rttvar_ >> 2;
            rttvar_ = std::max(1, rttvar_ + delta);
        } else {
            srtt_ = rtt << 5;
            rttvar_ = rtt << 3;
        }
    }

    // The arriving segment is logged first, with the state it found.
    void local_receives(const pending& a) {
        logged r = snapshot(REC_EVENT_IN, true);
        r.payload_len = a.len;
        const std::vector<uint8_t> opts =
            options(a.th_flags & TCP_HDR_SYN, PEER_SHIFT, a.ts_val, a.ts_ecr, a.sacks, iss_);
        ts_recent_ = a.ts_val;
        const uint64_t peer_seq = (a.th_flags & TCP_HDR_SYN) ? 0 : a.seq;
        r.th = header(443, local_port(), pseq(peer_seq), lseq(a.ack), a.th_flags, a.window, opts);
        log_.push_back(std::move(r));

        if (a.th_flags & TCP_HDR_SYN) {
            established(a);
            return;
        }
        if (a.len > 0 || (a.th_flags & TCP_HDR_FIN)) {
            closing_reply(a);
            return;
        }
        if (a.ack > una_) {
            new_ack(a);
        } else if (a.ack == una_ && una_ < max_ && (uint32_t{a.window} << PEER_SHIFT) == snd_wnd_) {
            duplicate_ack(a);
        }
        if (state_ == TCP_STATE_ESTABLISHED && una_ == data_end_ && max_ == data_end_) {
            if (data_end_ == total_end_) {
                // The upload is acknowledged: the application closes.
                state_ = TCP_STATE_FIN_WAIT_1;
                send(max_, 0, TCP_HDR_FIN | TCP_HDR_ACK);
            } else if (!paused_) {
                // The send buffer is empty: the writer wakes, and writes
                // again after a while.
                paused_ = true;
                event(EV_SB_WAKE, 0, 0);
                at(now_ + APP_PAUSE_US, pending{APP_WRITE});
            }
        }
    }

    void established(const pending& a) {
        rtt_sample(a.ts_ecr);
        established_us_ = now_;
        una_ = 1;
        rcv_nxt_ = 1;
        snd_wnd_ = a.window;  // a SYN's window is not scaled
        tcb_flags_ |= TF_SACK_PERMIT;
        state_ = TCP_STATE_ESTABLISHED;
        cwnd_ = INITIAL_WINDOW;
        stop_rto();
        send(1, 0, TCP_HDR_ACK);
        at(now_ + 80, pending{APP_WRITE});
    }

    void new_ack(const pending& a) {
        const uint64_t acked = a.ack - una_;
        rto_waiting_ = false;
        if (a.ts_ecr != 0) rtt_sample(a.ts_ecr);
        snd_wnd_ = uint32_t{a.window} << PEER_SHIFT;
        if (state_ == TCP_STATE_FIN_WAIT_1 && a.ack == max_) state_ = TCP_STATE_FIN_WAIT_2;
        if (in_recovery_) {
            prr_delivered_ += static_cast<uint32_t>(acked);
            una_ = a.ack;
            cut_below(scoreboard_, una_);
            add_sacks(a.sacks);
            rexmit_next_ = std::max(rexmit_next_, una_);
            if (a.ack >= recover_) {
                const uint64_t pipe = max_ - una_;
                cwnd_ = pipe < ssthresh_ ? static_cast<uint32_t>(pipe) + MSS : ssthresh_;
                in_recovery_ = false;
                tcb_flags_ &= ~TF_FASTRECOVERY;
                dupacks_ = 0;
                scoreboard_.clear();
            } else {
                event(EV_PRR, prr_delivered_, prr_out_);
            }
        } else {
            if (dupacks_ > 0) {
                // The hole closed without a retransmission: the segment came late.
                event(EV_REORDER, dupacks_, lseq(una_));
                dupacks_ = 0;
            }
            if (cwnd_ < ssthresh_) {
                cwnd_ += static_cast<uint32_t>(std::min<uint64_t>(acked, 2 * MSS));
            } else {
                bytes_acked_ += static_cast<uint32_t>(acked);
                if (bytes_acked_ >= cwnd_) {
                    bytes_acked_ -= cwnd_;
                    cwnd_ += MSS;
                }
            }
            una_ = a.ack;
            cut_below(scoreboard_, una_);
            add_sacks(a.sacks);
        }
        if (nxt_ < una_) nxt_ = una_;
        if (nxt_ >= max_) after_rto_ = false;
        rxtshift_ = 0;
        stop_rto();
        if (una_ < max_) arm_rto();
        try_send();
    }

    void add_sacks(const ranges& sacks) {
        for (const auto& s : sacks) {
            if (s.first > una_) add_range(scoreboard_, s.first, s.second);
        }
    }

    void duplicate_ack(const pending& a) {
        add_sacks(a.sacks);
        dupacks_++;
        if (in_recovery_) {
            prr_delivered_ += MSS;
            event(EV_PRR, prr_delivered_, prr_out_);
            try_send();
        } else if (dupacks_ == 3 && una_ < recover_) {
            dupacks_ = 0;  // still below the last recovery point: no second recovery
        } else if (dupacks_ == 3) {
            ssthresh_ = std::max(2u, std::min(snd_wnd_, cwnd_) / 2 / MSS) * MSS;
            recover_ = max_;
            cwnd_ = ssthresh_;
            in_recovery_ = true;
            tcb_flags_ |= TF_FASTRECOVERY;
            prr_delivered_ = 3 * MSS;
            prr_out_ = 0;
            rexmit_next_ = una_ + MSS;
            send(una_, MSS, TCP_HDR_ACK);
            event(EV_PRR, prr_delivered_, prr_out_);
        }
    }

    // The first hole at or after rexmit_next_ below the highest SACKed byte.
    bool next_hole(uint64_t& seq, uint32_t& len) const {
        if (scoreboard_.empty()) return false;
        uint64_t x = std::max(rexmit_next_, una_);
        for (const auto& r : scoreboard_) {
            if (x < r.first) {
                seq = x;
                len = static_cast<uint32_t>(std::min<uint64_t>(MSS, r.first - x));
                return true;
            }
            x = std::max(x, r.second);
        }
        return false;
    }

    void try_send() {
        if (!wrote_ || state_ != TCP_STATE_ESTABLISHED) return;
        for (;;) {
            const uint64_t window_edge = una_ + std::min(cwnd_, snd_wnd_);
            if (in_recovery_) {
                const uint64_t pipe = max_ - una_ - sacked_bytes();
                if (pipe >= cwnd_) return;
                uint64_t seq;
                uint32_t len;
                if (next_hole(seq, len)) {
                    rexmit_next_ = seq + len;
                    send(seq, len, TCP_HDR_ACK);
                } else if (max_ < data_end_ && max_ + MSS <= una_ + snd_wnd_) {
                    send(max_, MSS, TCP_HDR_ACK, max_ + MSS == data_end_);
                } else {
                    return;
                }
                continue;
            }
            if (nxt_ >= data_end_ || nxt_ + MSS > window_edge) return;
            send(nxt_, MSS, TCP_HDR_ACK, nxt_ + MSS == data_end_);
        }
    }

    void timer_fires() {
        rto_armed_ = false;
        if (una_ >= max_) return;
        const uint32_t expired = rto_ticks() << rxtshift_;
        rxtshift_++;
        outage_ = false;
        if (in_recovery_) {
            tcb_flags_ |= TF_WASFRECOVERY;
        } else {
            tcb_flags_ &= ~TF_WASFRECOVERY;
        }
        ssthresh_ = std::max(2u, std::min(snd_wnd_, cwnd_) / 2 / MSS) * MSS;
        cwnd_ = MSS;
        in_recovery_ = false;
        tcb_flags_ &= ~TF_FASTRECOVERY;
        after_rto_ = true;
        rto_waiting_ = true;
        dupacks_ = 0;
        bytes_acked_ = 0;
        scoreboard_.clear();
        recover_ = max_;
        nxt_ = una_;
        event(REC_EVENT_RTO, rxtshift_, expired);
        arm_rto();
        try_send();
    }

    // The server's reply and FIN, or its ACK of our FIN, in TCP_STATE_FIN_WAIT_2.
    void closing_reply(const pending& a) {
        if (a.ack > una_) new_ack(a);
        rcv_nxt_ += a.len + ((a.th_flags & TCP_HDR_FIN) ? 1 : 0);
        rxbuf_ += a.len;
        if (a.len > 0 && fbyte_in_ == 0) fbyte_in_ = ticks();
        if (a.th_flags & TCP_HDR_FIN) state_ = TCP_STATE_TIME_WAIT;
        now_ += 25;
        send(max_, 0, TCP_HDR_ACK);
        now_ += 40;
        stop_rto();
        event(REC_EVENT_CONN_END, 0, 0);
        ended_ = true;
    }
};

}  // namespace

std::vector<logged> tell(const story_options& o, uint16_t* local_port) {
    teller t(o);
    std::vector<logged> records = t.tell();
    if (local_port) *local_port = t.local_port();
    return records;
}

void store_state(uint8_t* p, const logged& r) {
    store<uint32_t>(p + 16, r.ticks);
    store<int32_t>(p + 28, r.error);
    store<uint32_t>(p + 32, r.rxbuf_acc);
    store<uint32_t>(p + 36, r.rxbuf_ccc);
    store<uint32_t>(p + 44, r.txbuf_acc);
    store<uint32_t>(p + 48, r.txbuf_ccc);
    store<int32_t>(p + 56, r.state);
    const uint32_t words[] = {r.starttime, r.iss,     r.tcb_flags, r.snd_una,  r.snd_max,
                              r.cwnd,      r.snd_nxt, r.snd_recover, r.snd_wnd, r.ssthresh,
                              r.srtt,      r.rttvar,  r.rcv_up,    r.rcv_adv,  0 /* flags2 */,
                              r.rcv_nxt,   r.rcv_wnd, r.dupacks};
    for (size_t i = 0; i < std::size(words); i++) store<uint32_t>(p + 60 + 4 * i, words[i]);
    store<int32_t>(p + 132, r.segqlen);
    store<int32_t>(p + 136, r.sack_holes);
    store<uint32_t>(p + 140, r.flex1);
    store<uint32_t>(p + 144, r.flex2);
    store<uint32_t>(p + 148, r.fbyte_in);
    store<uint32_t>(p + 152, r.fbyte_out);
    p[156] = static_cast<uint8_t>((r.rcv_scale << 4) | (r.snd_scale & 0x0f));
    std::memset(p + 160, 0, 104);
    if (!(r.flags & REC_FLAG_STACKINFO)) return;
    uint8_t* si = p + OFF_REC_STACKINFO;
    if (r.part == PART_RACK) {
        store<uint32_t>(si + OFF_RACK_RTT, r.rack_rtt);
        si[OFF_RACK_STATE] = r.rack_state;
    } else if (r.part == PART_BBR) {
        const bbr_view& b = r.bbr;
        store<uint64_t>(si + OFF_BBR_CUR_DEL_RATE, b.del_rate);
        store<uint64_t>(si + OFF_BBR_DEL_RATE, b.del_rate);
        store<uint64_t>(si + OFF_BBR_RTT_PROP, b.rtt_prop);
        store<uint64_t>(si + OFF_BBR_BW_INUSE, b.bw_inuse);
        store<uint32_t>(si + OFF_BBR_INFLIGHT, b.inflight);
        store<uint32_t>(si + OFF_BBR_APPLIMITED, b.applimited);
        store<uint32_t>(si + OFF_BBR_DELIVERED, b.delivered);
        store<uint32_t>(si + OFF_BBR_TIMESTAMP, b.timestamp);
        store<uint32_t>(si + OFF_BBR_PKTS_OUT, b.pkts_out);
        store<uint32_t>(si + OFF_BBR_LOST, b.lost);
        store<uint16_t>(si + OFF_BBR_PACING_GAIN, b.pacing_gain);
        store<uint16_t>(si + OFF_BBR_CWND_GAIN, b.cwnd_gain);
        si[OFF_BBR_STATE] = b.bbr_state;
    }
}

}  // namespace quarn::story
