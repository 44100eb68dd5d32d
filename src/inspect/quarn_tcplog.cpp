#include "quarn_tcplog.h"

#include <array>
#include <cstring>

namespace quarn {
namespace {

// Field offsets within a record, FreeBSD 13.5 amd64, log format version 9.
constexpr size_t OFF_TV_SEC = 0, OFF_TV_USEC = 8, OFF_TICKS = 16, OFF_SERIAL = 20,
                 OFF_STACK_ID = 24, OFF_EVENT_ID = 25, OFF_FLAGS = 26, OFF_ERRNO = 28,
                 OFF_RXBUF_ACC = 32, OFF_RXBUF_CCC = 36, OFF_TXBUF_ACC = 44,
                 OFF_TXBUF_CCC = 48, OFF_STATE = 56, OFF_STARTTIME = 60, OFF_ISS = 64,
                 OFF_TCB_FLAGS = 68, OFF_SND_UNA = 72, OFF_SND_MAX = 76, OFF_CWND = 80,
                 OFF_SND_NXT = 84, OFF_SND_RECOVER = 88, OFF_SND_WND = 92,
                 OFF_SSTHRESH = 96, OFF_SRTT = 100, OFF_RTTVAR = 104, OFF_RCV_UP = 108,
                 OFF_RCV_ADV = 112, OFF_FLAGS2 = 116, OFF_RCV_NXT = 120, OFF_RCV_WND = 124,
                 OFF_DUPACKS = 128, OFF_SEGQLEN = 132, OFF_SACK_HOLES = 136, OFF_FLEX1 = 140,
                 OFF_FLEX2 = 144, OFF_FBYTE_IN = 148, OFF_FBYTE_OUT = 152, OFF_SCALES = 156,
                 OFF_STACKINFO = 160, OFF_PAYLOAD_LEN = 264;
constexpr size_t STACKINFO_SIZE = 104;
static_assert(OFF_STACKINFO + STACKINFO_SIZE == TCPLOG_DECODED_BYTES);
static_assert(OFF_PAYLOAD_LEN == TCPLOG_DECODED_BYTES);

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
    r.rack_rtt = field<uint32_t>(si, 0);
    r.rack_state = si[4];
}

void decode_bbr(std::span<const uint8_t> si, tcplog_bbr& b) {
    b.cur_del_rate = field<uint64_t>(si, 0);
    b.del_rate = field<uint64_t>(si, 8);
    b.rtt_prop = field<uint64_t>(si, 16);
    b.bw_inuse = field<uint64_t>(si, 24);
    b.inflight = field<uint32_t>(si, 32);
    b.applimited = field<uint32_t>(si, 36);
    b.delivered = field<uint32_t>(si, 40);
    b.timestamp = field<uint32_t>(si, 44);
    b.epoch = field<uint32_t>(si, 48);
    b.lt_epoch = field<uint32_t>(si, 52);
    b.pkts_out = field<uint32_t>(si, 56);
    b.flex1 = field<uint32_t>(si, 60);
    b.flex2 = field<uint32_t>(si, 64);
    b.flex3 = field<uint32_t>(si, 68);
    b.flex4 = field<uint32_t>(si, 72);
    b.flex5 = field<uint32_t>(si, 76);
    b.flex6 = field<uint32_t>(si, 80);
    b.lost = field<uint32_t>(si, 84);
    b.pacing_gain = field<uint16_t>(si, 88);
    b.cwnd_gain = field<uint16_t>(si, 90);
    b.flex7 = field<uint16_t>(si, 92);
    b.bbr_state = si[94];
    b.bbr_substate = si[95];
    b.inhpts = si[96];
    b.ininput = si[97];
    b.use_lt_bw = si[98];
    b.flex8 = si[99];
    b.pkt_epoch = field<uint32_t>(si, 100);
}

// Short names of event ids 1 to 63 (index 0 has none).
constexpr std::array<std::string_view, 64> EVENT_NAMES = {
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

constexpr std::array<std::string_view, 11> STATE_NAMES = {
    "CLOSED",     "LISTEN",     "SYN_SENT", "SYN_RECEIVED", "ESTABLISHED", "CLOSE_WAIT",
    "FIN_WAIT_1", "CLOSING",    "LAST_ACK", "FIN_WAIT_2",   "TIME_WAIT",
};

struct named_flag {
    uint32_t bit;
    std::string_view name;
};
constexpr named_flag TCB_FLAGS[] = {
    {0x1, "ACKNOW"},          {0x2, "DELACK"},          {0x4, "NODELAY"},
    {0x10, "SENTFIN"},        {0x200, "SACK_PERMIT"},   {0x100000, "FASTRECOVERY"},
    {0x200000, "WASFRECOVERY"}, {0x1000000, "TSO"},     {0x20000000, "CONGRECOVERY"},
    {0x40000000, "WASCRECOVERY"}, {0x80000000, "FASTOPEN"},
};

}  // namespace

tcplog_stack_part tcplog_part_for(std::string_view stack_name, uint16_t flags) {
    if (!(flags & TCPLOG_FLAG_STACKINFO)) return tcplog_stack_part::none;
    if (stack_name == "rack") return tcplog_stack_part::rack;
    if (stack_name == "bbr") return tcplog_stack_part::bbr;
    return tcplog_stack_part::none;
}

int tcplog_decode(std::span<const uint8_t> rec, std::string_view stack_name, tcplog_record& out) {
    out = tcplog_record{};
    if (rec.size() < TCPLOG_DECODED_BYTES) return -1;
    out.tv_sec = field<int64_t>(rec, OFF_TV_SEC);
    out.tv_usec = field<int64_t>(rec, OFF_TV_USEC);
    out.ticks = field<uint32_t>(rec, OFF_TICKS);
    out.serial = field<uint32_t>(rec, OFF_SERIAL);
    out.stack_id = rec[OFF_STACK_ID];
    out.event_id = rec[OFF_EVENT_ID];
    out.flags = field<uint16_t>(rec, OFF_FLAGS);
    out.error = field<int32_t>(rec, OFF_ERRNO);
    out.rxbuf_acc = field<uint32_t>(rec, OFF_RXBUF_ACC);
    out.rxbuf_ccc = field<uint32_t>(rec, OFF_RXBUF_CCC);
    out.txbuf_acc = field<uint32_t>(rec, OFF_TXBUF_ACC);
    out.txbuf_ccc = field<uint32_t>(rec, OFF_TXBUF_CCC);
    out.state = field<int32_t>(rec, OFF_STATE);
    out.starttime = field<uint32_t>(rec, OFF_STARTTIME);
    out.iss = field<uint32_t>(rec, OFF_ISS);
    out.tcb_flags = field<uint32_t>(rec, OFF_TCB_FLAGS);
    out.snd_una = field<uint32_t>(rec, OFF_SND_UNA);
    out.snd_max = field<uint32_t>(rec, OFF_SND_MAX);
    out.cwnd = field<uint32_t>(rec, OFF_CWND);
    out.snd_nxt = field<uint32_t>(rec, OFF_SND_NXT);
    out.snd_recover = field<uint32_t>(rec, OFF_SND_RECOVER);
    out.snd_wnd = field<uint32_t>(rec, OFF_SND_WND);
    out.ssthresh = field<uint32_t>(rec, OFF_SSTHRESH);
    out.srtt = field<uint32_t>(rec, OFF_SRTT);
    out.rttvar = field<uint32_t>(rec, OFF_RTTVAR);
    out.rcv_up = field<uint32_t>(rec, OFF_RCV_UP);
    out.rcv_adv = field<uint32_t>(rec, OFF_RCV_ADV);
    out.flags2 = field<uint32_t>(rec, OFF_FLAGS2);
    out.rcv_nxt = field<uint32_t>(rec, OFF_RCV_NXT);
    out.rcv_wnd = field<uint32_t>(rec, OFF_RCV_WND);
    out.dupacks = field<uint32_t>(rec, OFF_DUPACKS);
    out.segqlen = field<int32_t>(rec, OFF_SEGQLEN);
    out.sack_holes = field<int32_t>(rec, OFF_SACK_HOLES);
    out.flex1 = field<uint32_t>(rec, OFF_FLEX1);
    out.flex2 = field<uint32_t>(rec, OFF_FLEX2);
    out.fbyte_in = field<uint32_t>(rec, OFF_FBYTE_IN);
    out.fbyte_out = field<uint32_t>(rec, OFF_FBYTE_OUT);
    out.snd_scale = rec[OFF_SCALES] & 0x0f;
    out.rcv_scale = rec[OFF_SCALES] >> 4;
    if (rec.size() >= OFF_PAYLOAD_LEN + sizeof(uint32_t)) {
        out.payload_len = field<uint32_t>(rec, OFF_PAYLOAD_LEN);
        out.has_payload_len = true;
    }
    out.part = tcplog_part_for(stack_name, out.flags);
    const auto si = rec.subspan(OFF_STACKINFO, STACKINFO_SIZE);
    if (out.part == tcplog_stack_part::rack) decode_rack(si, out.rack);
    if (out.part == tcplog_stack_part::bbr) decode_bbr(si, out.bbr);
    return 0;
}

std::string_view tcplog_event_name(uint8_t event_id) {
    return event_id < EVENT_NAMES.size() ? EVENT_NAMES[event_id] : std::string_view{};
}

std::string_view tcplog_state_name(int32_t state) {
    if (state < 0 || static_cast<size_t>(state) >= STATE_NAMES.size()) return {};
    return STATE_NAMES[static_cast<size_t>(state)];
}

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
    for (const auto& f : TCB_FLAGS) {
        if (!(tcb_flags & f.bit)) continue;
        if (!first) put("|");
        put(f.name);
        first = false;
    }
    buf[n] = '\0';
    return n;
}

}  // namespace quarn
