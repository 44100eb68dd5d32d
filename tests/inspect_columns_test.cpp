// The decoded-record columns of quarn_inspect's --csv, --json and text
// view, field by field against record bytes written at their documented
// offsets: the RACK and BBR parts only where the stack name and the 0x10
// flag call for them, buffer fields only with their flags, gaps inside a
// file and between the parts of a connection, and the table's time order.
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "inspect_fixture.h"
#include "json_check.h"
#include "inspect/quarn_dumpwalk.h"
#include "inspect/quarn_parts.h"
#include "inspect/quarn_rowtable.h"
#include "inspect/quarn_tcplog.h"
#include "quarn_stacknames.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::q;
using test::shell;

constexpr uint8_t STACK_RACK = 3;
constexpr uint8_t STACK_BBR = 4;
constexpr const char* STEM = "conn_443_10.0.0.2_50000";

// The header, exactly as a spreadsheet or pandas gets it.
constexpr const char* CSV_HEADER =
    "stem,part,time,block,serial,stack_id,stack,event_id,event,state,flags,errno,snd_una,snd_max,snd_nxt,"
    "snd_recover,cwnd,ssthresh,snd_wnd,rcv_nxt,rcv_wnd,srtt,rttvar,dupacks,segqlen,sack_holes,"
    "flex1,flex2,rxbuf_acc,txbuf_acc,payload_len,missing,rack_rtt,rack_state,bbr_cur_del_rate,"
    "bbr_del_rate,bbr_rtt_prop,bbr_bw_inuse,bbr_inflight,bbr_applimited,bbr_delivered,"
    "bbr_timestamp,bbr_epoch,bbr_lt_epoch,bbr_pkts_out,bbr_flex1,bbr_flex2,bbr_flex3,bbr_flex4,"
    "bbr_flex5,bbr_flex6,bbr_lost,bbr_pacing_gain,bbr_cwnd_gain,bbr_flex7,bbr_bbr_state,"
    "bbr_bbr_substate,bbr_inhpts,bbr_ininput,bbr_use_lt_bw,bbr_flex8,bbr_pkt_epoch,ticks,iss,starttime,"
    "t_flags,t_flags_names,t_flags2,rcv_up,rcv_adv,fbyte_in,fbyte_out,snd_scale,rcv_scale,rxbuf_ccc,"
    "txbuf_ccc,srtt_ms,rttvar_ms,rack_rtt_ms,tcp_seq,tcp_ack,tcp_win,tcp_flags,tcp_len";

// A field of the record: its column, offset, width in bytes, signedness.
struct field_at {
    const char* column;
    size_t offset;
    int width;
    bool is_signed;
};

// Offsets 16 to 159, as the kernel lays them out (the window scales apart).
const field_at COMMON_FIELDS[] = {
    {"ticks", 16, 4, false},      {"starttime", 60, 4, false}, {"iss", 64, 4, false},
    {"t_flags", 68, 4, false},    {"rcv_up", 108, 4, false},   {"rcv_adv", 112, 4, false},
    {"t_flags2", 116, 4, false},  {"fbyte_in", 148, 4, false}, {"fbyte_out", 152, 4, false},
    {"errno", 28, 4, true},       {"snd_una", 72, 4, false},   {"snd_max", 76, 4, false},
    {"cwnd", 80, 4, false},       {"snd_nxt", 84, 4, false},   {"snd_recover", 88, 4, false},
    {"snd_wnd", 92, 4, false},    {"ssthresh", 96, 4, false},  {"srtt", 100, 4, false},
    {"rttvar", 104, 4, false},    {"rcv_nxt", 120, 4, false},  {"rcv_wnd", 124, 4, false},
    {"dupacks", 128, 4, false},   {"segqlen", 132, 4, true},   {"sack_holes", 136, 4, true},
    {"flex1", 140, 4, false},     {"flex2", 144, 4, false},
};
const field_at RXBUF = {"rxbuf_acc", 32, 4, false};
const field_at RXBUF_CCC = {"rxbuf_ccc", 36, 4, false};
const field_at TXBUF = {"txbuf_acc", 44, 4, false};
const field_at TXBUF_CCC = {"txbuf_ccc", 48, 4, false};
// The byte of the two window scales: send scale low, receive scale high.
constexpr size_t SCALES_AT = 156;
uint8_t scales_for(int record) { return static_cast<uint8_t>(0x30 + record * 0x11 + 1); }
const field_at RACK_FIELDS[] = {{"rack_rtt", 160, 4, false}, {"rack_state", 164, 1, false}};
const field_at BBR_FIELDS[] = {
    {"bbr_cur_del_rate", 160, 8, false}, {"bbr_del_rate", 168, 8, false},
    {"bbr_rtt_prop", 176, 8, false},     {"bbr_bw_inuse", 184, 8, false},
    {"bbr_inflight", 192, 4, false},     {"bbr_applimited", 196, 4, false},
    {"bbr_delivered", 200, 4, false},    {"bbr_timestamp", 204, 4, false},
    {"bbr_epoch", 208, 4, false},        {"bbr_lt_epoch", 212, 4, false},
    {"bbr_pkts_out", 216, 4, false},     {"bbr_flex1", 220, 4, false},
    {"bbr_flex2", 224, 4, false},        {"bbr_flex3", 228, 4, false},
    {"bbr_flex4", 232, 4, false},        {"bbr_flex5", 236, 4, false},
    {"bbr_flex6", 240, 4, false},        {"bbr_lost", 244, 4, false},
    {"bbr_pacing_gain", 248, 2, false},  {"bbr_cwnd_gain", 250, 2, false},
    {"bbr_flex7", 252, 2, false},        {"bbr_bbr_state", 254, 1, false},
    {"bbr_bbr_substate", 255, 1, false}, {"bbr_inhpts", 256, 1, false},
    {"bbr_ininput", 257, 1, false},      {"bbr_use_lt_bw", 258, 1, false},
    {"bbr_flex8", 259, 1, false},        {"bbr_pkt_epoch", 260, 4, false},
};

// A value that differs for every field and record and fills the width, so
// a field read at a wrong offset or width shows: the top byte is set.
int64_t value_for(const field_at& f, int record) {
    const uint64_t base = 0x8070605040302010ull ^ (f.offset * 0x0101) ^ (uint64_t(record) << 40);
    const int bits = f.width * 8;
    const uint64_t v = bits == 64 ? base : (base & ((uint64_t{1} << bits) - 1)) | (uint64_t{1} << (bits - 1));
    if (f.is_signed) return static_cast<int32_t>(static_cast<uint32_t>(v));
    return static_cast<int64_t>(v);
}

std::string value_text(const field_at& f, int record) {
    const int64_t v = value_for(f, record);
    if (f.width == 8) return std::to_string(static_cast<uint64_t>(v));
    return std::to_string(v);
}

void put_field(uint8_t* rec, const field_at& f, int record) {
    const uint64_t v = static_cast<uint64_t>(value_for(f, record));
    memcpy(rec + f.offset, &v, static_cast<size_t>(f.width));  // little-endian host
}

// One record of the fixture: what the builder makes, what is written into
// its bytes, and the columns expected back (absent columns left out).
struct record_case {
    const char* what;
    uint8_t stack_id;
    qb::record_fields fields;
    int32_t state;
    std::vector<field_at> written;  // beyond the common fields
    std::map<std::string, std::string> expect;
};

qb::record_fields record(uint32_t serial, uint8_t stack, uint8_t event, uint16_t flags, int64_t sec, int64_t usec) {
    qb::record_fields r;
    r.serial = serial;
    r.stack_id = stack;
    r.event_id = event;
    r.flags = flags;
    r.sec = sec;
    r.usec = usec;
    r.fill = 0xEE;  // every byte no column names
    return r;
}

class Columns : public test::InspectDumps {
protected:
    static void SetUpTestSuite() {
        InspectDumps::SetUpTestSuite();
        stack_names_lock.lock();
        stack_names[STACK_RACK] = stack_name_entry{"rack", 4};
        stack_names[STACK_BBR] = stack_name_entry{"bbr", 3};
        stack_names_lock.unlock();
    }

    // The records as three messages of one connection: parts 0 (alpha),
    // 1 (rack) and 2 (bbr), serial numbers 5 6 (gap of 2) 9 | 10 11 | 20.
    std::vector<record_case> make_cases() {
        std::vector<record_case> c;
        // Offset 1700000000.250000 plus the record times below.
        c.push_back({"packet with the receive buffer valid", test::STACK_A,
                     record(5, test::STACK_A, 1, 0x0004 | 0x0001, 100, 900000), 4, {RXBUF, RXBUF_CCC},
                     {{"time", "1700000101.150000"}, {"block", "packet"}, {"event", "in"}, {"state", "ESTABLISHED"},
                      {"flags", "5"}, {"payload_len", "0"},
                      // The packet's own TCP header: a bare SYN.
                      {"tcp_seq", "1"}, {"tcp_ack", "0"}, {"tcp_win", "65535"}, {"tcp_flags", "SYN"}, {"tcp_len", "0"}}});
        c.back().fields.th = qb::tcp_header(50000, 443, 1, 0, 5, 0x02, 65535);
        c.push_back({"event with the send buffer valid and 0x10 on another stack", test::STACK_A,
                     record(6, test::STACK_A, 3, 0x0002 | 0x0010, 101, 0), 10, {TXBUF, TXBUF_CCC},
                     {{"time", "1700000101.250000"}, {"block", "event"}, {"event", "rto"}, {"state", "TIME_WAIT"},
                      {"flags", "18"}, {"payload_len", "0"}}});
        c.push_back({"event of no name in an unnamed state", test::STACK_A,
                     record(9, test::STACK_A, 64, 0, 102, 5), 11, {},
                     {{"time", "1700000102.250005"}, {"block", "event"}, {"event", ""}, {"state", "11"},
                      {"flags", "0"}, {"payload_len", "7"}}});
        c.back().fields.payload_len = 7;
        c.push_back({"rack event with its part", STACK_RACK,
                     record(10, STACK_RACK, 54, 0x0010, 104, 0), 0, {RACK_FIELDS[0], RACK_FIELDS[1]},
                     {{"time", "1700000104.250000"}, {"block", "event"}, {"event", "connend"}, {"state", "CLOSED"},
                      {"flags", "16"}, {"payload_len", "0"}}});
        c.push_back({"rack event without 0x10", STACK_RACK,
                     record(11, STACK_RACK, 51, 0, 104, 500000), 5, {},
                     {{"time", "1700000104.750000"}, {"block", "event"}, {"event", "tcp_hdwr_pace_size"},
                      {"state", "CLOSE_WAIT"}, {"flags", "0"}, {"payload_len", "0"}}});
        std::vector<field_at> bbr(std::begin(BBR_FIELDS), std::end(BBR_FIELDS));
        for (const field_at& f : {RXBUF, RXBUF_CCC, TXBUF, TXBUF_CCC}) bbr.push_back(f);
        c.push_back({"bbr event with its part and both buffers", STACK_BBR,
                     record(20, STACK_BBR, 17, 0x0010 | 0x0003, 103, 0), 6, bbr,
                     {{"time", "1700000103.250000"}, {"block", "event"}, {"event", "cwnd"}, {"state", "FIN_WAIT_1"},
                      {"flags", "19"}, {"payload_len", "0"}}});
        for (size_t i = 0; i < c.size(); i++) {
            record_case& rc = c[i];
            const char* names[] = {"", "alpha", "", "rack", "bbr"};
            // Parts 0, 1 and 2 hold the alpha, rack and bbr records.
            rc.expect["stem"] = STEM;
            rc.expect["part"] = rc.stack_id == test::STACK_A ? "0" : rc.stack_id == STACK_RACK ? "1" : "2";
            rc.expect["serial"] = std::to_string(rc.fields.serial);
            rc.expect["stack_id"] = std::to_string(rc.stack_id);
            rc.expect["stack"] = names[rc.stack_id];
            rc.expect["event_id"] = std::to_string(rc.fields.event_id);
            for (const field_at& f : COMMON_FIELDS) rc.expect[f.column] = value_text(f, static_cast<int>(i));
            for (const field_at& f : rc.written) rc.expect[f.column] = value_text(f, static_cast<int>(i));
            rc.expect["snd_scale"] = std::to_string(scales_for(static_cast<int>(i)) & 0x0f);
            rc.expect["rcv_scale"] = std::to_string(scales_for(static_cast<int>(i)) >> 4);
            char tf[512];
            const size_t n = tcplog_tcb_flags_text(static_cast<uint32_t>(value_for(COMMON_FIELDS[3], static_cast<int>(i))), tf);
            rc.expect["t_flags_names"] = std::string(tf, n);
            if (rc.stack_id == STACK_RACK && !rc.written.empty()) {
                // Microseconds as milliseconds with three decimals.
                const auto us = static_cast<uint64_t>(value_for(RACK_FIELDS[0], static_cast<int>(i)));
                char ms[32];
                snprintf(ms, sizeof ms, "%llu.%03llu", static_cast<unsigned long long>(us / 1000),
                         static_cast<unsigned long long>(us % 1000));
                rc.expect["rack_rtt_ms"] = ms;
            }
        }
        return c;
    }

    // Writes the three parts; returns their paths in part order.
    std::vector<std::string> write_parts(const std::vector<record_case>& cases) {
        std::vector<std::string> paths;
        size_t i = 0;
        for (uint8_t stack : {test::STACK_A, STACK_RACK, STACK_BBR}) {
            qb::header_fields h;
            h.id = "conn";
            std::vector<qb::record_fields> built;
            std::vector<size_t> index;
            for (size_t k = 0; k < cases.size(); k++) {
                if (cases[k].stack_id != stack) continue;
                built.push_back(cases[k].fields);
                index.push_back(k);
            }
            std::vector<uint8_t> m = qb::message(h, built);
            size_t at = LOG_HEADER_SIZE;
            for (size_t k : index) {
                uint8_t* rec = m.data() + at;
                store<int32_t>(rec + 56, cases[k].state);
                for (const field_at& f : COMMON_FIELDS) put_field(rec, f, static_cast<int>(k));
                for (const field_at& f : cases[k].written) put_field(rec, f, static_cast<int>(k));
                rec[SCALES_AT] = scales_for(static_cast<int>(k));
                at += rec_size(rec);
            }
            dump_bytes(m);
            paths.push_back(dir_ / (std::string(STEM) + "." + std::to_string(i++) + ".pcapng"));
            EXPECT_TRUE(test::file_exists(paths.back())) << paths.back();
        }
        return paths;
    }
};

// Keys of the --json output that describe the block rather than the
// decoded record: left out where records are compared field by field.
const std::set<std::string> BLOCK_KEYS = {"offset",   "ts_usec",   "caplen", "origlen", "utc", "rec_sec",
                                          "rec_usec", "direction", "seq",    "ack",     "win"};

// Columns the synthesizer's values do not list: the record's other fields
// and the packet's TCP header (checked against the record bytes above),
// and the milliseconds, checked against the raw values of the same row.
const std::set<std::string> NOT_IN_SYNTH_VALUES = {
    "ticks",    "iss",       "starttime", "t_flags",   "t_flags_names", "t_flags2",  "rcv_up",
    "rcv_adv",  "fbyte_in",  "fbyte_out", "snd_scale", "rcv_scale",     "rxbuf_ccc", "txbuf_ccc",
    "srtt_ms",  "rttvar_ms", "rack_rtt_ms", "tcp_seq", "tcp_ack",       "tcp_win",   "tcp_flags",
    "tcp_len"};

// "N.NNN": `raw` / `div` milliseconds, three decimals rounded down.
std::string milli_text(uint64_t raw_thousandths) {
    char buf[32];
    snprintf(buf, sizeof buf, "%llu.%03llu", static_cast<unsigned long long>(raw_thousandths / 1000),
             static_cast<unsigned long long>(raw_thousandths % 1000));
    return buf;
}

// The story's connection runs at 1000 ticks a second, so its base-stack
// rows give srtt / 32 and rttvar / 16 ms, and RACK rows rack_rtt / 1000 ms;
// the milliseconds are erased from `row` once checked.
void check_and_erase_milliseconds(std::map<std::string, std::string>& row) {
    auto at = [&](const std::string& k) { return row.count(k) ? row.at(k) : std::string(); };
    const bool base = at("stack") == "default" || at("stack") == "freebsd";
    if (base && row.count("srtt")) {
        EXPECT_EQ(at("srtt_ms"), milli_text(std::stoull(at("srtt")) * 1000 / 32));
        EXPECT_EQ(at("rttvar_ms"), milli_text(std::stoull(at("rttvar")) * 1000 / 16));
    } else {
        EXPECT_EQ(at("srtt_ms"), "");
        EXPECT_EQ(at("rttvar_ms"), "");
    }
    if (row.count("rack_rtt")) EXPECT_EQ(at("rack_rtt_ms"), milli_text(std::stoull(at("rack_rtt"))));
    else EXPECT_EQ(at("rack_rtt_ms"), "");
    for (const std::string& k : NOT_IN_SYNTH_VALUES) row.erase(k);
}

std::map<std::string, std::string> gap_row(int part, const std::string& time, uint32_t serial, uint32_t missing) {
    return {{"stem", STEM},  {"part", std::to_string(part)},        {"time", time},
            {"block", "gap"}, {"serial", std::to_string(serial)}, {"missing", std::to_string(missing)}};
}

// The CSV read back by python's csv module: one JSON object per row with
// every column, empty cells as "".
std::vector<std::map<std::string, std::string>> csv_rows(const std::string& csv, std::string* header) {
    test::temp_dir t;
    test::write_file(t / "table.csv", csv);
    *header = csv.substr(0, csv.find('\n'));
    const std::string json = shell(
        "python3 -c 'import csv, json, sys\n"
        "for row in csv.DictReader(open(sys.argv[1], newline=\"\")): print(json.dumps(row))' " +
        q(t / "table.csv"));
    std::vector<test::json_object> objs;
    std::string err;
    EXPECT_TRUE(test::parse_json_lines(json, &objs, &err)) << err;
    std::vector<std::map<std::string, std::string>> rows;
    for (const test::json_object& o : objs) {
        std::map<std::string, std::string> r;
        for (const auto& [k, v] : o) {
            if (!v.text.empty()) r[k] = v.text;
        }
        rows.push_back(r);
    }
    return rows;
}

TEST_F(Columns, CsvOverAStemIsOneTableInTimeOrderWithEveryField) {
    const std::vector<record_case> cases = make_cases();
    write_parts(cases);
    const test::run_result r = test::inspect({"--csv", dir_ / STEM});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Time order: part 2 (bbr, at 103.25) stands between parts 0 and 1, with
    // the jump from serial 11 to 20 as a gap row right before it.
    std::vector<std::map<std::string, std::string>> want = {
        cases[0].expect, cases[1].expect,
        gap_row(0, "1700000102.250005", 9, 2), cases[2].expect,
        gap_row(2, "1700000103.250000", 20, 8), cases[5].expect,
        cases[3].expect, cases[4].expect,
    };
    // An empty cell is no value: the unnamed event's "" goes.
    for (auto& w : want) std::erase_if(w, [](const auto& kv) { return kv.second.empty(); });
    std::string header;
    const auto rows = csv_rows(r.out, &header);
    EXPECT_EQ(header, CSV_HEADER);
    ASSERT_EQ(rows.size(), want.size()) << r.out;
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(rows[i], want[i]);
    }
    // The same rows from the files named one by one, in any order.
    std::vector<std::string> args = {"--csv"};
    for (int n : {2, 0, 1}) args.push_back(dir_ / (std::string(STEM) + "." + std::to_string(n) + ".pcapng"));
    const test::run_result files = test::inspect(args);
    ASSERT_EQ(files.status, 0) << files.err;
    std::vector<std::map<std::string, std::string>> no_jump = want;
    no_jump.erase(no_jump.begin() + 4);  // the jump between parts is a stem's
    EXPECT_EQ(csv_rows(files.out, &header), no_jump);
    EXPECT_EQ(header, CSV_HEADER);
}

// Two connections whose records have the same serial numbers, their times
// interleaved: in one table every row still names its connection and part.
TEST_F(Columns, RowsOfTwoConnectionsWithEqualSerialsNameTheirStem) {
    const std::string peer_stem = "peer_443_10.0.0.2_50000";
    // Times from 9.5 to 11.0 s since the epoch: a time of one integer
    // digit sorts by its value, not as text ("9.5" after "10.0").
    for (const char* id : {"conn", "peer"}) {
        qb::header_fields h;
        h.id = id;
        h.offset_sec = 0;
        h.offset_usec = 0;
        const bool peer = id == std::string("peer");  // half a second earlier
        dump_bytes(qb::message(h, {record(5, test::STACK_A, 7, 0, peer ? 9 : 10, peer ? 500000 : 0),
                                   record(6, test::STACK_A, 7, 0, peer ? 10 : 11, peer ? 500000 : 0)}));
    }
    const test::run_result r = test::inspect({"--csv", dir_ / STEM, dir_ / peer_stem});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string header;
    const auto rows = csv_rows(r.out, &header);
    EXPECT_EQ(header, CSV_HEADER);
    std::vector<std::vector<std::string>> got;
    for (const auto& row : rows) got.push_back({row.at("stem"), row.at("part"), row.at("serial"), row.at("time")});
    const std::vector<std::vector<std::string>> want = {
        {peer_stem, "0", "5", "9.500000"},
        {STEM, "0", "5", "10.000000"},
        {peer_stem, "0", "6", "10.500000"},
        {STEM, "0", "6", "11.000000"},
    };
    EXPECT_EQ(got, want) << r.out;
}

// The tick rate behind srtt_ms and rttvar_ms, from the ticks and times of
// each stem's earliest and latest records.
TEST(TickRate, FromTicksAgainstTimeOverEachStem) {
    struct rate_case {
        const char* what;
        uint32_t first_ticks, last_ticks;
        int64_t usec;  // between the two records
        uint32_t hz;
    };
    const rate_case cases[] = {
        {"1000 Hz over a second", 5000, 6000, 1000000, 1000},
        {"100 Hz", 0, 100, 1000000, 100},
        {"one tick off still 1000", 5000, 6001, 1000000, 1000},
        {"1024 Hz told apart over a long span", 0, 10240, 10000000, 1024},
        {"1024 Hz within a short span's slack of 1000 keeps 1000", 0, 26, 25000, 1000},
        {"no common rate: rounded", 0, 3330, 10000000, 333},
        {"ticks wrap around 2^32", 0xFFFFFF00u, 0x300u, 1000000, 1024},
        {"too few ticks to tell", 0, 19, 100, DEFAULT_TICK_HZ},
        {"no time between them", 0, 500, 0, DEFAULT_TICK_HZ},
    };
    for (const rate_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<record_row> rows(3);
        const std::string stem = "s";
        for (size_t i = 0; i < rows.size(); i++) {
            rows[i].source.stem = stem;
            rows[i].kind = row_kind::event;
            rows[i].decoded = true;
            rows[i].has_time = true;
        }
        // The latest first: the rate is not taken from file order.
        rows[0].sec = 100 + c.usec / 1000000;
        rows[0].usec = c.usec % 1000000;
        rows[0].rec.ticks = c.last_ticks;
        rows[1].sec = 100;
        rows[1].rec.ticks = c.first_ticks;
        rows[2].sec = 100;
        rows[2].usec = c.usec / 2 % 1000000;
        rows[2].sec += c.usec / 2 / 1000000;
        rows[2].rec.ticks = c.first_ticks + (c.last_ticks - c.first_ticks) / 2;
        rows_set_tick_rate(rows);
        for (const record_row& r : rows) EXPECT_EQ(r.tick_hz, c.hz);
    }
    // Two stems keep their own rates.
    std::vector<record_row> rows(4);
    const std::string a = "a", b = "b";
    for (size_t i = 0; i < rows.size(); i++) {
        rows[i].source.stem = i < 2 ? a : b;
        rows[i].kind = row_kind::event;
        rows[i].decoded = true;
        rows[i].has_time = true;
        rows[i].sec = i % 2 ? 2 : 1;
        rows[i].rec.ticks = i % 2 ? (i < 2 ? 100 : 1000) : 0;
    }
    rows_set_tick_rate(rows);
    EXPECT_EQ(rows[0].tick_hz, 100u);
    EXPECT_EQ(rows[1].tick_hz, 100u);
    EXPECT_EQ(rows[2].tick_hz, 1000u);
    EXPECT_EQ(rows[3].tick_hz, 1000u);
}

// A capture of another writer in dir/p.pcap: one loopback packet at
// 2024-01-02 03:04:05 UTC, a SYN-ACK with four bytes of data.
void write_loopback_pcap(const test::temp_dir& t) {
    test::write_file(t / "p.txt",
                     std::string("2024-01-02 03:04:05.\n"
                                 "000000 02 00 00 00 45 00 00 30 00 00 00 00 40 06 00 00 0a 00 00 01 0a 00 00 02 "
                                 "01 bb c3 50 00 00 00 64 00 00 00 c8 50 12 20 00 00 00 00 00 61 62 63 64\n"));
    shell("TZ=UTC text2pcap -q -F pcap -l 0 -t '%Y-%m-%d %H:%M:%S.' " + q(t / "p.txt") + " " + q(t / "p.pcap"));
}

// A capture of another writer: no record bytes, so the row's time is the
// block's timestamp (as tshark reads it) and its TCP columns come from the
// packet, a SYN-ACK with four bytes of data.
TEST(OtherWriters, CsvTakesTheBlocksTimeAndTheTcpHeader) {
    ASSERT_TRUE(test::have_program("text2pcap") && test::have_program("editcap") && test::have_program("tshark"));
    test::temp_dir t;
    write_loopback_pcap(t);
    shell("editcap -F pcapng " + q(t / "p.pcap") + " " + q(t / "loop.pcapng"));
    std::string tshark_time = shell("tshark -r " + q(t / "loop.pcapng") + " -T fields -e frame.time_epoch 2>/dev/null");
    ASSERT_GT(tshark_time.size(), 4u);
    tshark_time.erase(tshark_time.size() - 4);  // nanoseconds to microseconds, and the line break
    const test::run_result r = test::inspect({"--csv", t / "loop.pcapng"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string header;
    const auto rows = csv_rows(r.out, &header);
    EXPECT_EQ(header, CSV_HEADER);
    const std::vector<std::map<std::string, std::string>> want = {
        {{"stem", "loop"}, {"time", tshark_time}, {"block", "packet"}, {"tcp_seq", "100"}, {"tcp_ack", "200"},
         {"tcp_win", "8192"}, {"tcp_flags", "SYN|ACK"}, {"tcp_len", "4"}},
    };
    EXPECT_EQ(rows, want) << r.out;
}

// Other writers count time in other units: a nanosecond capture's interface
// says so in if_tsresol, and may shift its clock with if_tsoffset. Rows and
// timelines read every one of them as tshark does, to the microsecond.
TEST(OtherWriters, TimesFollowTheInterfacesClock) {
    ASSERT_TRUE(test::have_program("text2pcap") && test::have_program("editcap") && test::have_program("tshark") &&
                test::have_program("tcpdump"));
    test::temp_dir t;
    write_loopback_pcap(t);
    shell("tcpdump -r " + q(t / "p.pcap") + " --time-stamp-precision=nano -w " + q(t / "n.pcap") + " 2>/dev/null");
    struct clock_case {
        const char* name;
        std::string make;  // writes NAME.pcapng from p.pcap or n.pcap
        const char* time;  // the row's time
    };
    const std::vector<clock_case> cases = {
        {"usec", "editcap -t 0.123456 -F pcapng " + q(t / "p.pcap"), "1704164645.123456"},
        // Nine digits in the file: the row keeps six, rounded down.
        {"nsec", "editcap -t 0.123456789 -F pcapng " + q(t / "n.pcap"), "1704164645.123456"},
        {"nsec_early", "editcap -t -0.000000001 -F pcapng " + q(t / "n.pcap"), "1704164644.999999"},
    };
    for (const clock_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = t / (std::string(c.name) + ".pcapng");
        shell(c.make + " " + q(file));
        std::string tshark_time = shell("tshark -r " + q(file) + " -T fields -e frame.time_epoch 2>/dev/null");
        ASSERT_GT(tshark_time.size(), 4u);
        tshark_time.erase(tshark_time.size() - 4);
        EXPECT_EQ(tshark_time, c.time);
        const test::run_result r = test::inspect({"--csv", file});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string header;
        const auto rows = csv_rows(r.out, &header);
        ASSERT_EQ(rows.size(), 1u) << r.out;
        EXPECT_EQ(rows[0].at("time"), c.time);
        // A timeline counts in microseconds whatever its sources counted in.
        const std::string tl = t / (std::string(c.name) + ".timeline.pcapng");
        const test::run_result tr = test::inspect({"--timeline", file, "-o", tl});
        ASSERT_EQ(tr.status, 0) << tr.err;
        std::string tl_time = shell("tshark -r " + q(tl) + " -T fields -e frame.time_epoch 2>/dev/null");
        ASSERT_GT(tl_time.size(), 4u);
        EXPECT_EQ(tl_time.substr(0, tl_time.size() - 4), c.time);
    }
}

// The clock's arithmetic at its edges: both kinds of unit, offsets either
// way, and values past the 64 bits of a microsecond count.
TEST(OtherWriters, TimestampUnitsAndOffsets) {
    struct unit_case {
        uint64_t raw;
        uint8_t tsresol;
        int64_t tsoffset;
        uint64_t usec;
    };
    const unit_case cases[] = {
        {1704164645123456, 6, 0, 1704164645123456},
        {1704164645123456789, 9, 0, 1704164645123456},
        {1704164645123, 3, 0, 1704164645123000},
        {17041646451, 1, 0, 1704164645100000},
        {5, 0, 0, 5000000},
        {UINT64_MAX, 0, 0, UINT64_MAX},                 // 1.8e25 us: clamped
        {UINT64_MAX, 19, 0, 1844674},                   // 1.8e19 units of 1e-19 s
        {UINT64_MAX, 127, 0, 0},
        {uint64_t{3} << 30, 0x80 | 30, 0, 3000000},     // 2^-30 s units
        {uint64_t{1} << 19, 0x80 | 20, 0, 500000},
        {1, 0x80 | 127, 0, 0},
        {1000000, 6, 10, 11000000},
        {1000000, 6, -1, 0},
        {1000000, 6, -2, 0},                            // before the epoch: 0
        {0, 6, INT64_MAX, UINT64_MAX},
    };
    for (const unit_case& c : cases) {
        EXPECT_EQ(dumpwalk::timestamp_usec(c.raw, c.tsresol, c.tsoffset), c.usec)
            << c.raw << " tsresol " << unsigned{c.tsresol} << " tsoffset " << c.tsoffset;
    }
}

TEST_F(Columns, JsonHasTheSameFieldsAsNumbersAndNames) {
    const std::vector<record_case> cases = make_cases();
    const std::vector<std::string> paths = write_parts(cases);
    std::vector<std::map<std::string, std::string>> want;
    for (const record_case& c : cases) {
        if (c.stack_id == test::STACK_A) want.push_back(c.expect);
    }
    want.insert(want.begin() + 2, gap_row(0, "1700000102.250005", 9, 2));
    const test::run_result r = test::inspect({"--json", paths[0], paths[1], paths[2]});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const record_case& c : cases) {
        if (c.stack_id != test::STACK_A) want.push_back(c.expect);
    }
    // The keys that are texts; every other one is a number.
    const std::set<std::string> texts = {"stem", "block", "stack", "t_flags_names", "tcp_flags", "event", "utc", "direction", "tcp_flags"};
    std::vector<std::map<std::string, std::string>> got;
    for (const std::string& line : test::split_lines(r.out)) {
        std::vector<check::json_member> members;
        check::json_reader reader(line);
        ASSERT_TRUE(reader.parse(&members)) << reader.error() << "\n" << line;
        std::map<std::string, std::string> row;
        // Every object starts with its file: stem and part.
        ASSERT_GE(members.size(), 3u) << line;
        EXPECT_EQ(members[0].key, "stem");
        EXPECT_EQ(members[1].key, "part");
        const std::string block = members[2].value;
        if (block != "packet" && block != "event" && block != "gap") continue;
        for (const check::json_member& m : members) {
            if (BLOCK_KEYS.count(m.key)) continue;
            EXPECT_FALSE(row.count(m.key)) << "key twice: " << m.key;
            // A state with a name is a text, one without a number.
            const bool text = texts.count(m.key) ||
                              (m.key == "state" && !m.value.empty() && !isdigit(static_cast<unsigned char>(m.value[0])));
            EXPECT_EQ(m.is_string, text) << m.key << " in " << line;
            row[m.key] = m.value;
        }
        got.push_back(row);
    }
    ASSERT_EQ(got.size(), want.size()) << r.out;
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(got[i], want[i]);
    }
}

TEST_F(Columns, TextViewShowsTheDecodedFieldsUnderEachRecord) {
    const std::vector<record_case> cases = make_cases();
    const std::vector<std::string> paths = write_parts(cases);
    const test::run_result r = test::inspect({paths[1]});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = test::split_lines(r.out);
    // The rack event: its line, then its fields by name.
    std::string decoded;
    for (size_t i = 0; i + 1 < lines.size(); i++) {
        if (lines[i].find(" serial 10 stack 3 event 54 flags 0x0010 event") != std::string::npos) decoded = lines[i + 1];
    }
    ASSERT_NE(decoded, "") << r.out;
    const std::string want = "  time 1700000104.250000 stack rack event connend state CLOSED errno ";
    EXPECT_EQ(decoded.substr(0, want.size()), want);
    for (const field_at& f : COMMON_FIELDS) {
        EXPECT_NE((decoded + " ").find(std::string(" ") + f.column + " " + value_text(f, 3) + " "), std::string::npos)
            << f.column << " in " << decoded;
    }
    EXPECT_NE(decoded.find(" rack_rtt " + value_text(RACK_FIELDS[0], 3) + " rack_state " +
                           value_text(RACK_FIELDS[1], 3)), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find("rxbuf_acc"), std::string::npos);
    EXPECT_EQ(decoded.find("bbr_"), std::string::npos);
}

// The synthesizer's story through the real daemon: what --csv over the
// connection and --json of each dump decode is, field by field, what the
// synthesizer says it put in, losses between and inside dumps included.
TEST(StoryColumns, CsvAndJsonDecodeWhatTheSynthesizerPutIn) {
    if (!*test::synth_path()) GTEST_SKIP() << "quarn_synth not built";
    const std::vector<std::vector<std::string>> cases = {
        {"--story", "--losses", "-s", "3"},
        {"--story", "--stack", "rack", "--messages", "1", "-s", "5"},
        {"--story", "--messages", "6", "-s", "9", "--losses"},
    };
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        test::daemon_setup setup;
        const std::string values = setup.tmp / "values.jsonl";
        setup.run_synthesized(args, values);
        if (HasFatalFailure()) return;

        std::vector<test::json_object> want;
        std::string err;
        ASSERT_TRUE(test::parse_json_lines(test::read_text(values), &want, &err)) << err;
        ASSERT_GT(want.size(), 100u);
        std::string stem;
        std::vector<std::pair<int, std::string>> parts;
        for (const std::string& n : test::list_dir(setup.out)) {
            dump_name dn;
            if (!parse_dump_name(n, dn)) continue;
            stem = dn.stem;
            parts.emplace_back(dn.seq, setup.out + "/" + n);
        }
        std::sort(parts.begin(), parts.end());
        ASSERT_FALSE(stem.empty());

        // --csv over the stem: every row, gaps between dumps included; a
        // gap's time and serial are the next record's.
        const test::run_result csv = test::inspect({"--csv", setup.out + "/" + stem});
        ASSERT_EQ(csv.status, 0) << csv.err;
        std::string header;
        std::vector<std::map<std::string, std::string>> rows = csv_rows(csv.out, &header);
        EXPECT_EQ(header, CSV_HEADER);
        ASSERT_EQ(rows.size(), want.size());
        std::set<std::string> part_names;
        for (const auto& [n, path] : parts) part_names.insert(std::to_string(n));
        int last_part = -1;
        for (size_t i = 0; i < rows.size(); i++) {
            SCOPED_TRACE("row " + std::to_string(i));
            // Every row names the connection and one of its parts, in part
            // order (the parts follow each other in time).
            EXPECT_EQ(rows[i]["stem"], stem);
            EXPECT_TRUE(part_names.count(rows[i]["part"])) << rows[i]["part"];
            EXPECT_GE(std::stoi(rows[i]["part"]), last_part);
            last_part = std::stoi(rows[i]["part"]);
            rows[i].erase("stem");
            rows[i].erase("part");
            check_and_erase_milliseconds(rows[i]);
            if (rows[i]["block"] == "gap" && i + 1 < rows.size()) {
                EXPECT_EQ(rows[i]["time"], rows[i + 1]["time"]);
                EXPECT_EQ(rows[i]["serial"], rows[i + 1]["serial"]);
                rows[i].erase("time");
                rows[i].erase("serial");
            }
            std::map<std::string, std::string> w;
            for (const auto& [k, v] : want[i]) w[k] = v.text;
            std::erase_if(w, [](const auto& kv) { return kv.second.empty(); });
            EXPECT_EQ(rows[i], w);
        }

        // --json of the dumps one by one: the same records, texts as
        // strings and numbers as numbers.
        std::vector<std::string> json_args = {"--json"};
        for (const auto& [n, path] : parts) json_args.push_back(path);
        const test::run_result json = test::inspect(json_args);
        ASSERT_EQ(json.status, 0) << json.err;
        std::vector<test::json_object> got;
        ASSERT_TRUE(test::parse_json_lines(json.out, &got, &err)) << err;
        std::vector<test::json_object> records, want_records;
        for (test::json_object& o : got) {
            EXPECT_EQ(o["stem"].text, stem);
            EXPECT_TRUE(part_names.count(o["part"].text)) << o["part"].text;
            o.erase("stem");
            o.erase("part");
            if (o["block"].text != "packet" && o["block"].text != "event") continue;
            for (const std::string& key : BLOCK_KEYS) o.erase(key);
            std::map<std::string, std::string> texts;
            for (const auto& [k, v] : o) texts[k] = v.text;
            check_and_erase_milliseconds(texts);
            for (const std::string& k : NOT_IN_SYNTH_VALUES) o.erase(k);
            records.push_back(o);
        }
        for (const test::json_object& o : want) {
            if (o.at("block").text != "gap") want_records.push_back(o);
        }
        ASSERT_EQ(records.size(), want_records.size());
        for (size_t i = 0; i < records.size(); i++) {
            SCOPED_TRACE("record " + std::to_string(i));
            EXPECT_EQ(records[i], want_records[i]);
        }
    }
}

}  // namespace
}  // namespace quarn
