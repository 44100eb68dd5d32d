// The record decoder: every field at its offset, the rule that picks the
// stack-specific part, the name tables at their edges and a record too short
// to decode. The record bytes are written here from the layout's offsets,
// with no help from the code under test.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "inspect/quarn_tcplog.h"

namespace {

using namespace quarn;

constexpr size_t DUMP_RECORD_BYTES = 268;  // what a dump block carries

template <typename T>
void put(std::vector<uint8_t>& rec, size_t off, T v) {
    ASSERT_LE(off + sizeof v, rec.size());
    std::memcpy(rec.data() + off, &v, sizeof v);
}

// One field of the record: where it lives, how wide it is, how signed, and
// how to read it back from the decoded record.
struct field_case {
    const char* name;
    size_t offset;
    size_t width;
    bool is_signed;
    std::function<int64_t(const tcplog_record&)> get;
};

#define FIELD(name, off, w, s) {#name, off, w, s, [](const tcplog_record& r) { return int64_t(r.name); }}
const std::vector<field_case> COMMON_FIELDS = {
    FIELD(tv_sec, 0, 8, true),       FIELD(tv_usec, 8, 8, true),
    FIELD(ticks, 16, 4, false),      FIELD(serial, 20, 4, false),
    FIELD(stack_id, 24, 1, false),   FIELD(event_id, 25, 1, false),
    FIELD(error, 28, 4, true),       FIELD(rxbuf_acc, 32, 4, false),
    FIELD(rxbuf_ccc, 36, 4, false),  FIELD(txbuf_acc, 44, 4, false),
    FIELD(txbuf_ccc, 48, 4, false),  FIELD(state, 56, 4, true),
    FIELD(starttime, 60, 4, false),  FIELD(iss, 64, 4, false),
    FIELD(tcb_flags, 68, 4, false),  FIELD(snd_una, 72, 4, false),
    FIELD(snd_max, 76, 4, false),    FIELD(cwnd, 80, 4, false),
    FIELD(snd_nxt, 84, 4, false),    FIELD(snd_recover, 88, 4, false),
    FIELD(snd_wnd, 92, 4, false),    FIELD(ssthresh, 96, 4, false),
    FIELD(srtt, 100, 4, false),      FIELD(rttvar, 104, 4, false),
    FIELD(rcv_up, 108, 4, false),    FIELD(rcv_adv, 112, 4, false),
    FIELD(flags2, 116, 4, false),    FIELD(rcv_nxt, 120, 4, false),
    FIELD(rcv_wnd, 124, 4, false),   FIELD(dupacks, 128, 4, false),
    FIELD(segqlen, 132, 4, true),    FIELD(sack_holes, 136, 4, true),
    FIELD(flex1, 140, 4, false),     FIELD(flex2, 144, 4, false),
    FIELD(fbyte_in, 148, 4, false),  FIELD(fbyte_out, 152, 4, false),
    FIELD(payload_len, 264, 4, false),
};
#undef FIELD

#define RACK(name, off, w) {#name, off, w, false, [](const tcplog_record& r) { return int64_t(r.rack.name); }}
const std::vector<field_case> RACK_FIELDS = {RACK(rack_rtt, 160, 4), RACK(rack_state, 164, 1)};
#undef RACK

#define BBR(name, off, w) {#name, 160 + off, w, false, [](const tcplog_record& r) { return int64_t(r.bbr.name); }}
const std::vector<field_case> BBR_FIELDS = {
    BBR(cur_del_rate, 0, 8), BBR(del_rate, 8, 8),     BBR(rtt_prop, 16, 8),
    BBR(bw_inuse, 24, 8),    BBR(inflight, 32, 4),    BBR(applimited, 36, 4),
    BBR(delivered, 40, 4),   BBR(timestamp, 44, 4),   BBR(epoch, 48, 4),
    BBR(lt_epoch, 52, 4),    BBR(pkts_out, 56, 4),    BBR(flex1, 60, 4),
    BBR(flex2, 64, 4),       BBR(flex3, 68, 4),       BBR(flex4, 72, 4),
    BBR(flex5, 76, 4),       BBR(flex6, 80, 4),       BBR(lost, 84, 4),
    BBR(pacing_gain, 88, 2), BBR(cwnd_gain, 90, 2),   BBR(flex7, 92, 2),
    BBR(bbr_state, 94, 1),   BBR(bbr_substate, 95, 1), BBR(inhpts, 96, 1),
    BBR(ininput, 97, 1),     BBR(use_lt_bw, 98, 1),   BBR(flex8, 99, 1),
    BBR(pkt_epoch, 100, 4),
};
#undef BBR

// A value for field number i of the given width that no other field holds
// and that fills every byte (so a read one byte off, or of the wrong width,
// shows). Signed fields get negative values.
int64_t value_for(size_t i, const field_case& f) {
    const uint64_t pattern = 0x8877665544332211ull + i * 0x0101010101010101ull;
    switch (f.width) {
    case 1: return int64_t(uint8_t(0x80 + i));
    case 2: return int64_t(uint16_t(0x8100 + i * 0x0101));
    case 4:
        return f.is_signed ? -int64_t(1000 + i) : int64_t(uint32_t(pattern | 0x80000000u));
    default: return f.is_signed ? -int64_t(pattern >> 8) : int64_t(pattern & 0x7fffffffffffffffull);
    }
}

void write_field(std::vector<uint8_t>& rec, const field_case& f, int64_t v) {
    switch (f.width) {
    case 1: put<uint8_t>(rec, f.offset, uint8_t(v)); break;
    case 2: put<uint16_t>(rec, f.offset, uint16_t(v)); break;
    case 4: put<uint32_t>(rec, f.offset, uint32_t(v)); break;
    default: put<int64_t>(rec, f.offset, v); break;
    }
}

// Fills every field in `fields` (and the common ones) with its own value,
// sets the flags and scales, decodes, and checks each field.
void check_all_fields(std::string_view stack, uint16_t flags,
                      const std::vector<field_case>& part_fields) {
    std::vector<uint8_t> rec(DUMP_RECORD_BYTES, 0);
    std::vector<const field_case*> all;
    for (const auto& f : COMMON_FIELDS) all.push_back(&f);
    for (const auto& f : part_fields) all.push_back(&f);
    for (size_t i = 0; i < all.size(); i++) write_field(rec, *all[i], value_for(i, *all[i]));
    put<uint16_t>(rec, 26, flags);
    put<uint8_t>(rec, 156, 0xa3);

    tcplog_record out;
    ASSERT_EQ(tcplog_decode(rec, stack, out), 0);
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_EQ(all[i]->get(out), value_for(i, *all[i]))
            << all[i]->name << " at " << all[i]->offset << " (stack " << stack << ")";
    }
    EXPECT_EQ(out.flags, flags);
    EXPECT_EQ(out.snd_scale, 3);
    EXPECT_EQ(out.rcv_scale, 10);
    EXPECT_TRUE(out.has_payload_len);
}

TEST(TcplogDecode, EveryFieldAtItsOffset) {
    check_all_fields("default", 0x0007, {});
    check_all_fields("rack", 0x0010 | 0x0004, RACK_FIELDS);
    check_all_fields("bbr", 0x0010 | 0x0001 | 0x0002, BBR_FIELDS);
}

// One field set alone in a zeroed record must not show up in any other.
TEST(TcplogDecode, OneFieldLeavesTheOthersAlone) {
    for (const auto* table : {&COMMON_FIELDS, &BBR_FIELDS}) {
        for (const auto& f : *table) {
            std::vector<uint8_t> rec(DUMP_RECORD_BYTES, 0);
            put<uint16_t>(rec, 26, 0x10);
            write_field(rec, f, f.width == 1 ? 0xff : -1);
            tcplog_record out;
            ASSERT_EQ(tcplog_decode(rec, "bbr", out), 0);
            for (const auto* other_table : {&COMMON_FIELDS, &BBR_FIELDS}) {
                for (const auto& g : *other_table) {
                    if (&g == &f) {
                        EXPECT_NE(g.get(out), 0) << g.name;
                    } else {
                        EXPECT_EQ(g.get(out), 0) << g.name << " changed by " << f.name;
                    }
                }
            }
            EXPECT_EQ(out.snd_scale, 0);
            EXPECT_EQ(out.rcv_scale, 0);
        }
    }
}

TEST(TcplogDecode, StackPartOnlyForRackOrBbrWithTheFlag) {
    struct {
        const char* stack;
        uint16_t flags;
        tcplog_stack_part part;
    } cases[] = {
        {"rack", 0x10, tcplog_stack_part::rack},
        {"rack", 0xffff, tcplog_stack_part::rack},
        {"bbr", 0x10, tcplog_stack_part::bbr},
        {"bbr", 0x14, tcplog_stack_part::bbr},
        {"rack", 0x00, tcplog_stack_part::none},
        {"rack", 0xffef, tcplog_stack_part::none},
        {"bbr", 0x0f, tcplog_stack_part::none},
        {"default", 0x10, tcplog_stack_part::none},
        {"freebsd", 0x10, tcplog_stack_part::none},
        {"RACK", 0x10, tcplog_stack_part::none},
        {"rack ", 0x10, tcplog_stack_part::none},
        {"bb", 0x10, tcplog_stack_part::none},
        {"bbr2", 0x10, tcplog_stack_part::none},
        {"", 0x10, tcplog_stack_part::none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tcplog_part_for(c.stack, c.flags), c.part) << c.stack << " " << c.flags;

        // Through the decoder: the part's values show only when picked.
        std::vector<uint8_t> rec(DUMP_RECORD_BYTES, 0);
        put<uint16_t>(rec, 26, c.flags);
        for (size_t off = 160; off < 264; off++) rec[off] = uint8_t(off);
        tcplog_record out;
        ASSERT_EQ(tcplog_decode(rec, c.stack, out), 0);
        EXPECT_EQ(out.part, c.part) << c.stack;
        const bool rack = c.part == tcplog_stack_part::rack;
        const bool bbr = c.part == tcplog_stack_part::bbr;
        EXPECT_EQ(out.rack.rack_rtt, rack ? 0xa3a2a1a0u : 0u) << c.stack;
        EXPECT_EQ(out.rack.rack_state, rack ? 0xa4 : 0) << c.stack;
        EXPECT_EQ(out.bbr.cur_del_rate, bbr ? 0xa7a6a5a4a3a2a1a0ull : 0u) << c.stack;
        EXPECT_EQ(out.bbr.pkt_epoch, bbr ? 0x07060504u : 0u) << c.stack;
    }
}

TEST(TcplogDecode, ShortRecordDecodesToNothing) {
    struct {
        size_t size;
        int result;
        bool has_payload_len;
    } cases[] = {
        {0, -1, false},   {1, -1, false},  {160, -1, false}, {263, -1, false},
        {264, 0, false},  {267, 0, false}, {268, 0, true},   {328, 0, true},
    };
    for (const auto& c : cases) {
        // A buffer of exactly this size, so a read past it is caught by the
        // address sanitizer.
        std::vector<uint8_t> rec(c.size, 0x5a);
        tcplog_record out;
        out.cwnd = 77;
        out.serial = 99;
        out.has_payload_len = true;
        EXPECT_EQ(tcplog_decode(rec, "bbr", out), c.result) << c.size;
        EXPECT_EQ(out.has_payload_len, c.has_payload_len) << c.size;
        if (c.result < 0) {
            EXPECT_EQ(out.cwnd, 0u);
            EXPECT_EQ(out.serial, 0u);
        } else {
            EXPECT_EQ(out.cwnd, 0x5a5a5a5au);
            EXPECT_EQ(out.payload_len, c.has_payload_len ? 0x5a5a5a5au : 0u) << c.size;
        }
    }
}

// The layout's names, from which the short names follow by its rule.
const char* const FREEBSD_EVENTS[64] = {
    nullptr,
    "TCP_LOG_IN", "TCP_LOG_OUT", "TCP_LOG_RTO", "TCP_LOG_SB_WAKE", "TCP_LOG_BAD_RETRAN",
    "TCP_LOG_PRR", "TCP_LOG_REORDER", "TCP_LOG_HPTS", "BBR_LOG_BBRUPD", "BBR_LOG_BBRSND",
    "BBR_LOG_ACKCLEAR", "BBR_LOG_INQUEUE", "BBR_LOG_TIMERSTAR", "BBR_LOG_TIMERCANC",
    "BBR_LOG_ENTREC", "BBR_LOG_EXITREC", "BBR_LOG_CWND", "BBR_LOG_BWSAMP", "BBR_LOG_MSGSIZE",
    "BBR_LOG_BBRRTT", "BBR_LOG_JUSTRET", "BBR_LOG_STATE", "BBR_LOG_PKT_EPOCH",
    "BBR_LOG_PERSIST", "TCP_LOG_FLOWEND", "BBR_LOG_RTO", "BBR_LOG_DOSEG_DONE",
    "BBR_LOG_EXIT_GAIN", "BBR_LOG_THRESH_CALC", "TCP_LOG_MAPCHG", "TCP_LOG_USERSEND",
    "BBR_RSM_CLEARED", "BBR_LOG_STATE_TARGET", "BBR_LOG_TIME_EPOCH", "BBR_LOG_TO_PROCESS",
    "BBR_LOG_BBRTSO", "BBR_LOG_HPTSDIAG", "BBR_LOG_LOWGAIN", "BBR_LOG_PROGRESS",
    "TCP_LOG_SOCKET_OPT", "BBR_LOG_TIMERPREP", "BBR_LOG_ENOBUF_JMP", "BBR_LOG_HPTSI_CALC",
    "BBR_LOG_RTT_SHRINKS", "BBR_LOG_BW_RED_EV", "BBR_LOG_REDUCE", "TCP_LOG_RTT",
    "BBR_LOG_SETTINGS_CHG", "BBR_LOG_SRTT_GAIN_EVENT", "TCP_LOG_REASS", "TCP_HDWR_PACE_SIZE",
    "BBR_LOG_HDWR_PACE", "BBR_LOG_TSTMP_VAL", "TCP_LOG_CONNEND", "TCP_LOG_LRO",
    "TCP_SACK_FILTER_RES", "TCP_SAD_DETECTION", "TCP_TIMELY_WORK", "TCP_LOG_USER_EVENT",
    "TCP_LOG_SENDFILE", "TCP_LOG_HTTP_T", "TCP_LOG_ACCOUNTING", "TCP_LOG_FSB",
};

std::string short_name(std::string s) {
    for (const char* prefix : {"TCP_LOG_", "BBR_LOG_"}) {
        if (s.rfind(prefix, 0) == 0) s.erase(0, strlen(prefix));
    }
    for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

TEST(TcplogNames, EventNamesByTheRule) {
    for (int id = 1; id < 64; id++) {
        EXPECT_EQ(tcplog_event_name(uint8_t(id)), short_name(FREEBSD_EVENTS[id])) << id;
    }
    struct {
        int id;
        const char* name;
    } edges[] = {
        {0, ""}, {1, "in"}, {2, "out"}, {3, "rto"}, {5, "bad_retran"}, {17, "cwnd"},
        {32, "bbr_rsm_cleared"}, {51, "tcp_hdwr_pace_size"}, {54, "connend"},
        {56, "tcp_sack_filter_res"}, {63, "fsb"}, {64, ""}, {65, ""}, {200, ""}, {255, ""},
    };
    for (const auto& e : edges) EXPECT_EQ(tcplog_event_name(uint8_t(e.id)), e.name) << e.id;
}

TEST(TcplogNames, StateNames) {
    struct {
        int32_t state;
        const char* name;
    } cases[] = {
        {INT32_MIN, ""}, {-1, ""},          {0, "CLOSED"},       {1, "LISTEN"},
        {2, "SYN_SENT"}, {3, "SYN_RECEIVED"}, {4, "ESTABLISHED"}, {5, "CLOSE_WAIT"},
        {6, "FIN_WAIT_1"}, {7, "CLOSING"},  {8, "LAST_ACK"},     {9, "FIN_WAIT_2"},
        {10, "TIME_WAIT"}, {11, ""},        {255, ""},           {INT32_MAX, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(tcplog_state_name(c.state), c.name) << c.state;
}

TEST(TcplogNames, ControlBlockFlags) {
    // Every TF_ bit of FreeBSD 13.5, as its netinet/tcp_var.h lists them.
    const char* const tf_names[32] = {
        "ACKNOW",       "DELACK",       "NODELAY",     "NOOPT",      "SENTFIN",     "REQ_SCALE",
        "RCVD_SCALE",   "REQ_TSTMP",    "RCVD_TSTMP",  "SACK_PERMIT", "NEEDSYN",    "NEEDFIN",
        "NOPUSH",       "PREVVALID",    "WAKESOR",     "GPUTINPROG", "MORETOCOME",  "LQ_OVERFLOW",
        "LASTIDLE",     "RXWIN0SENT",   "FASTRECOVERY", "WASFRECOVERY", "SIGNATURE", "FORCEDATA",
        "TSO",          "TOE",          "UNUSED0",     "UNUSED1",    "UNUSED2",     "CONGRECOVERY",
        "WASCRECOVERY", "FASTOPEN",
    };
    std::string all;
    for (int bit = 0; bit < 32; bit++) {
        char buf[64];
        const size_t n = tcplog_tcb_flags_text(uint32_t{1} << bit, buf);
        EXPECT_EQ(std::string(buf, n), tf_names[bit]) << bit;
        all += (bit ? "|" : "") + std::string(tf_names[bit]);
    }
    struct {
        uint32_t flags;
        size_t buf_size;
        std::string text;
    } cases[] = {
        {0, 64, ""},
        {0x200 | 0x1000000, 64, "SACK_PERMIT|TSO"},
        {0x100000 | 0x200 | 0x8, 64, "NOOPT|SACK_PERMIT|FASTRECOVERY"},
        {0xffffffff, 512, all},
        {0x200 | 0x1000000, 16, "SACK_PERMIT|TSO"},  // exactly fits with its NUL
        {0x200 | 0x1000000, 15, "SACK_PERMIT|TS"},
        {0x200 | 0x1000000, 5, "SACK"},
        {0x200 | 0x1000000, 1, ""},
    };
    for (const auto& c : cases) {
        std::vector<char> buf(c.buf_size, '#');
        const size_t n = tcplog_tcb_flags_text(c.flags, buf);
        EXPECT_EQ(std::string(buf.data(), n), c.text) << std::hex << c.flags;
        EXPECT_EQ(buf[n], '\0') << std::hex << c.flags;
    }
    EXPECT_EQ(tcplog_tcb_flags_text(0x1, std::span<char>{}), 0u);
}

}  // namespace
