#include "quarn_tcplog.h"

#include <cstring>

#include "quarn_logfmt.h"

namespace quarn {
namespace {

static_assert(OFF_REC_STACKINFO + REC_STACKINFO_SIZE == TCPLOG_DECODED_BYTES);
static_assert(OFF_REC_PAYLOAD_LEN == TCPLOG_DECODED_BYTES);

// Every read below is at a constant offset inside the first
// TCPLOG_DECODED_BYTES (or, for the payload length, after a size check), and
// the record's size is checked once before any of them.
template <typename T>
T field(std::span<const uint8_t> rec, size_t off) {
    T v;
    std::memcpy(&v, rec.data() + off, sizeof v);
    return v;
}

void decode_rack(std::span<const uint8_t> si, tcplog_rack& r) {
    r.rack_rtt = field<uint32_t>(si, OFF_RACK_RTT);
    r.rack_state = si[OFF_RACK_STATE];
}

void decode_bbr(std::span<const uint8_t> si, tcplog_bbr& b) {
    b.cur_del_rate = field<uint64_t>(si, OFF_BBR_CUR_DEL_RATE);
    b.del_rate = field<uint64_t>(si, OFF_BBR_DEL_RATE);
    b.rtt_prop = field<uint64_t>(si, OFF_BBR_RTT_PROP);
    b.bw_inuse = field<uint64_t>(si, OFF_BBR_BW_INUSE);
    b.inflight = field<uint32_t>(si, OFF_BBR_INFLIGHT);
    b.applimited = field<uint32_t>(si, OFF_BBR_APPLIMITED);
    b.delivered = field<uint32_t>(si, OFF_BBR_DELIVERED);
    b.timestamp = field<uint32_t>(si, OFF_BBR_TIMESTAMP);
    b.epoch = field<uint32_t>(si, OFF_BBR_EPOCH);
    b.lt_epoch = field<uint32_t>(si, OFF_BBR_LT_EPOCH);
    b.pkts_out = field<uint32_t>(si, OFF_BBR_PKTS_OUT);
    b.flex1 = field<uint32_t>(si, OFF_BBR_FLEX1);
    b.flex2 = field<uint32_t>(si, OFF_BBR_FLEX2);
    b.flex3 = field<uint32_t>(si, OFF_BBR_FLEX3);
    b.flex4 = field<uint32_t>(si, OFF_BBR_FLEX4);
    b.flex5 = field<uint32_t>(si, OFF_BBR_FLEX5);
    b.flex6 = field<uint32_t>(si, OFF_BBR_FLEX6);
    b.lost = field<uint32_t>(si, OFF_BBR_LOST);
    b.pacing_gain = field<uint16_t>(si, OFF_BBR_PACING_GAIN);
    b.cwnd_gain = field<uint16_t>(si, OFF_BBR_CWND_GAIN);
    b.flex7 = field<uint16_t>(si, OFF_BBR_FLEX7);
    b.bbr_state = si[OFF_BBR_STATE];
    b.bbr_substate = si[OFF_BBR_SUBSTATE];
    b.inhpts = si[OFF_BBR_INHPTS];
    b.ininput = si[OFF_BBR_ININPUT];
    b.use_lt_bw = si[OFF_BBR_USE_LT_BW];
    b.flex8 = si[OFF_BBR_FLEX8];
    b.pkt_epoch = field<uint32_t>(si, OFF_BBR_PKT_EPOCH);
}

}  // namespace

tcplog_stack_part tcplog_part_for(std::string_view stack_name, uint16_t flags) {
    if (!(flags & REC_FLAG_STACKINFO)) return tcplog_stack_part::none;
    if (stack_name == "rack") return tcplog_stack_part::rack;
    if (stack_name == "bbr") return tcplog_stack_part::bbr;
    return tcplog_stack_part::none;
}

int tcplog_decode(std::span<const uint8_t> rec, std::string_view stack_name, tcplog_record& out) {
    out = tcplog_record{};
    if (rec.size() < TCPLOG_DECODED_BYTES) return -1;
    out.tv_sec = field<int64_t>(rec, OFF_REC_TIME);
    out.tv_usec = field<int64_t>(rec, OFF_REC_TIME + 8);
    out.ticks = field<uint32_t>(rec, OFF_REC_TICKS);
    out.serial = field<uint32_t>(rec, OFF_REC_SERIAL);
    out.stack_id = rec[OFF_REC_STACK_ID];
    out.event_id = rec[OFF_REC_EVENT_ID];
    out.flags = field<uint16_t>(rec, OFF_REC_FLAGS);
    out.error = field<int32_t>(rec, OFF_REC_ERRNO);
    out.rxbuf_acc = field<uint32_t>(rec, OFF_REC_RXBUF_ACC);
    out.rxbuf_ccc = field<uint32_t>(rec, OFF_REC_RXBUF_CCC);
    out.txbuf_acc = field<uint32_t>(rec, OFF_REC_TXBUF_ACC);
    out.txbuf_ccc = field<uint32_t>(rec, OFF_REC_TXBUF_CCC);
    out.state = field<int32_t>(rec, OFF_REC_STATE);
    out.starttime = field<uint32_t>(rec, OFF_REC_STARTTIME);
    out.iss = field<uint32_t>(rec, OFF_REC_ISS);
    out.tcb_flags = field<uint32_t>(rec, OFF_REC_TCB_FLAGS);
    out.snd_una = field<uint32_t>(rec, OFF_REC_SND_UNA);
    out.snd_max = field<uint32_t>(rec, OFF_REC_SND_MAX);
    out.cwnd = field<uint32_t>(rec, OFF_REC_CWND);
    out.snd_nxt = field<uint32_t>(rec, OFF_REC_SND_NXT);
    out.snd_recover = field<uint32_t>(rec, OFF_REC_SND_RECOVER);
    out.snd_wnd = field<uint32_t>(rec, OFF_REC_SND_WND);
    out.ssthresh = field<uint32_t>(rec, OFF_REC_SSTHRESH);
    out.srtt = field<uint32_t>(rec, OFF_REC_SRTT);
    out.rttvar = field<uint32_t>(rec, OFF_REC_RTTVAR);
    out.rcv_up = field<uint32_t>(rec, OFF_REC_RCV_UP);
    out.rcv_adv = field<uint32_t>(rec, OFF_REC_RCV_ADV);
    out.flags2 = field<uint32_t>(rec, OFF_REC_FLAGS2);
    out.rcv_nxt = field<uint32_t>(rec, OFF_REC_RCV_NXT);
    out.rcv_wnd = field<uint32_t>(rec, OFF_REC_RCV_WND);
    out.dupacks = field<uint32_t>(rec, OFF_REC_DUPACKS);
    out.segqlen = field<int32_t>(rec, OFF_REC_SEGQLEN);
    out.sack_holes = field<int32_t>(rec, OFF_REC_SACK_HOLES);
    out.flex1 = field<uint32_t>(rec, OFF_REC_FLEX1);
    out.flex2 = field<uint32_t>(rec, OFF_REC_FLEX2);
    out.fbyte_in = field<uint32_t>(rec, OFF_REC_FBYTE_IN);
    out.fbyte_out = field<uint32_t>(rec, OFF_REC_FBYTE_OUT);
    out.snd_scale = rec[OFF_REC_SCALES] & 0x0f;
    out.rcv_scale = rec[OFF_REC_SCALES] >> 4;
    if (rec.size() >= OFF_REC_PAYLOAD_LEN + sizeof(uint32_t)) {
        out.payload_len = field<uint32_t>(rec, OFF_REC_PAYLOAD_LEN);
        out.has_payload_len = true;
    }
    out.part = tcplog_part_for(stack_name, out.flags);
    const auto si = rec.subspan(OFF_REC_STACKINFO, REC_STACKINFO_SIZE);
    if (out.part == tcplog_stack_part::rack) decode_rack(si, out.rack);
    if (out.part == tcplog_stack_part::bbr) decode_bbr(si, out.bbr);
    return 0;
}

std::string_view tcplog_event_name(uint8_t event_id) { return rec_event_name(event_id); }

std::string_view tcplog_state_name(int32_t state) { return tcp_state_name(state); }

size_t tcplog_tcb_flags_text(uint32_t tcb_flags, std::span<char> buf) {
    if (buf.empty()) return 0;
    const size_t cap = buf.size() - 1;  // room for the NUL
    size_t n = 0;
    auto put = [&](std::string_view s) {
        const size_t k = s.size() < cap - n ? s.size() : cap - n;
        std::memcpy(buf.data() + n, s.data(), k);
        n += k;
    };
    bool first = true;
    for (const named_bit& f : TCB_FLAG_NAMES) {
        if (!(tcb_flags & f.bit)) continue;
        if (!first) put("|");
        put(f.name);
        first = false;
    }
    buf[n] = '\0';
    return n;
}

}  // namespace quarn
