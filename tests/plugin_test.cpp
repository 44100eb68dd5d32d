// The Wireshark plugin (contrib/wireshark/quarn.lua) against the record
// bytes it decodes. Dumps are made by the daemon's own block writers from
// records whose bytes 16 to 267 are random, then read by tshark: with the
// plugin's file reader (packets, events and gaps), with Wireshark's pcapng
// reader (events and gaps only), and as a timeline of the same records
// (quarn_inspect --timeline: events and gaps on an interface of the user
// link type). Then the synthesizer's story through the daemon, against the
// values it says its dumps hold.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "inspect_fixture.h"
#include "inspect/quarn_tcplog.h"
#include "quarn_dumppolicy.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_stacknames.h"
#include "quarn_writev.h"
#include "testlib.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using bytes = std::vector<uint8_t>;

constexpr int64_t DUMP_TIME = 1700000200;
constexpr int64_t OFFSET_SEC = 1700000000;
constexpr int64_t OFFSET_USEC = 250000;
constexpr uint16_t STACKINFO = 0x0010;

// A record field at its offset in the record (little-endian), shown only
// when `flag` is set in the record flags (0: always).
struct field_def {
    const char* name;
    size_t off;
    int width;
    bool is_signed = false;
    uint16_t flag = 0;
};

const field_def RECORD_FIELDS[] = {
    {"ticks", 16, 4}, {"serial", 20, 4}, {"stack_id", 24, 1}, {"event_id", 25, 1},
    {"flags", 26, 2}, {"errno", 28, 4, true}, {"rxbuf_acc", 32, 4, false, 0x1},
    {"rxbuf_ccc", 36, 4, false, 0x1}, {"txbuf_acc", 44, 4, false, 0x2},
    {"txbuf_ccc", 48, 4, false, 0x2}, {"state", 56, 4, true}, {"starttime", 60, 4},
    {"iss", 64, 4}, {"tcb_flags", 68, 4}, {"snd_una", 72, 4}, {"snd_max", 76, 4},
    {"cwnd", 80, 4}, {"snd_nxt", 84, 4}, {"snd_recover", 88, 4}, {"snd_wnd", 92, 4},
    {"ssthresh", 96, 4}, {"srtt", 100, 4}, {"rttvar", 104, 4}, {"rcv_up", 108, 4},
    {"rcv_adv", 112, 4}, {"flags2", 116, 4}, {"rcv_nxt", 120, 4}, {"rcv_wnd", 124, 4},
    {"dupacks", 128, 4}, {"segqlen", 132, 4, true}, {"sack_holes", 136, 4, true},
    {"flex1", 140, 4}, {"flex2", 144, 4}, {"fbyte_in", 148, 4}, {"fbyte_out", 152, 4},
    {"payload_len", 264, 4},
};
const field_def RACK_FIELDS[] = {{"rack_rtt", 160, 4}, {"rack_state", 164, 1}};
const field_def BBR_FIELDS[] = {
    {"bbr_cur_del_rate", 160, 8}, {"bbr_del_rate", 168, 8}, {"bbr_rtt_prop", 176, 8},
    {"bbr_bw_inuse", 184, 8}, {"bbr_inflight", 192, 4}, {"bbr_applimited", 196, 4},
    {"bbr_delivered", 200, 4}, {"bbr_timestamp", 204, 4}, {"bbr_epoch", 208, 4},
    {"bbr_lt_epoch", 212, 4}, {"bbr_pkts_out", 216, 4}, {"bbr_flex1", 220, 4},
    {"bbr_flex2", 224, 4}, {"bbr_flex3", 228, 4}, {"bbr_flex4", 232, 4}, {"bbr_flex5", 236, 4},
    {"bbr_flex6", 240, 4}, {"bbr_lost", 244, 4}, {"bbr_pacing_gain", 248, 2},
    {"bbr_cwnd_gain", 250, 2}, {"bbr_flex7", 252, 2}, {"bbr_bbr_state", 254, 1},
    {"bbr_bbr_substate", 255, 1}, {"bbr_inhpts", 256, 1}, {"bbr_ininput", 257, 1},
    {"bbr_use_lt_bw", 258, 1}, {"bbr_flex8", 259, 1}, {"bbr_pkt_epoch", 260, 4},
};

// The decoder of the analysis tools names events and states; the plugin
// must name them alike.
std::string event_name(unsigned id) { return std::string(tcplog_event_name(static_cast<uint8_t>(id))); }

uint64_t load_le(const uint8_t* p, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

std::string number(const uint8_t* rec, const field_def& d) {
    const uint64_t v = load_le(rec + d.off, d.width);
    if (d.is_signed) return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v)));
    return std::to_string(v);
}

// One record as the dump holds it, and what the plugin must show of it.
struct record_truth {
    bytes rec;           // record bytes 0 to 267
    bool packet = false;
    uint32_t missing_before = 0;  // gap block in front of it
    std::string time;    // seconds since the epoch, 6 decimals
};

// Every field the plugin must show for a record, given the stack names it
// can know: field name -> decimal text, empty where it must be absent.
std::map<std::string, std::string> expected_fields(const bytes& rec,
                                                   const std::map<int, std::string>& stacks) {
    std::map<std::string, std::string> e;
    const uint8_t* r = rec.data();
    const uint16_t flags = static_cast<uint16_t>(load_le(r + 26, 2));
    for (const field_def& d : RECORD_FIELDS) e[d.name] = !d.flag || (flags & d.flag) ? number(r, d) : "";
    e["snd_scale"] = std::to_string(r[156] & 0x0F);
    e["rcv_scale"] = std::to_string(r[156] >> 4);
    const auto s = stacks.find(r[24]);
    const std::string stack = s == stacks.end() ? "" : s->second;
    e["stack"] = stack;
    e["event"] = event_name(r[25]);
    const bool part = flags & STACKINFO;
    for (const field_def& d : RACK_FIELDS) e[d.name] = part && stack == "rack" ? number(r, d) : "";
    for (const field_def& d : BBR_FIELDS) e[d.name] = part && stack == "bbr" ? number(r, d) : "";
    return e;
}

// A part of a connection: the file and its records.
struct part {
    std::string path;
    std::vector<record_truth> recs;
};

std::string time_text(int64_t sec, int64_t usec) {
    char buf[64];
    snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(sec + usec / 1000000),
             static_cast<long long>(usec % 1000000));
    return buf;
}

// Writes one dump through the daemon's block writers: header blocks, then
// each record as a packet or an event block, a gap block where serials
// jump. Record bytes 16 to 263 come from `rng` except serial, stack, event,
// flags and state, which `records` and `states` fix.
part write_dump(const std::string& path, const std::vector<qb::record_fields>& records,
                const std::vector<int32_t>& states, std::mt19937& rng) {
    qb::header_fields h;
    h.offset_sec = OFFSET_SEC;
    h.offset_usec = OFFSET_USEC;
    h.faddr = "192.0.2.7";
    h.laddr = "198.51.100.9";
    test::aligned_msg msg(qb::message(h, records));
    part p{path, {}};
    output_writer w;
    w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(w.fd, 0) << path;
    w.write_op = writev_int;
    w.time_offset = msg.data() + OFF_TLH_OFFSET;
    pcap_ipheaders(&w, msg.data());
    EXPECT_EQ(pcap_headerblocks(&w, msg.data(), msg.data() + LOG_HEADER_SIZE, DUMP_TIME), 0);
    uint32_t prev = 0;
    for (size_t i = 0; i < records.size(); i++) {
        uint8_t* rec = msg.data() + LOG_HEADER_SIZE + i * LOG_RECORD_SIZE;
        for (size_t b = 16; b < 264; b++) {
            if (b < 20 || b >= 28) rec[b] = static_cast<uint8_t>(rng());
        }
        store<int32_t>(rec + 56, states[i % states.size()]);
        record_truth t;
        t.packet = records[i].flags & REC_FLAG_HAS_TH;
        t.time = time_text(OFFSET_SEC + records[i].sec, OFFSET_USEC + records[i].usec);
        if (i > 0 && records[i].serial != prev + 1) {
            t.missing_before = records[i].serial - prev - 1;
            EXPECT_EQ(pcap_gapblock(&w, t.missing_before), 0);
        }
        prev = records[i].serial;
        EXPECT_EQ(t.packet ? pcap_packetblock(&w, rec) : pcap_eventblock(&w, rec), 0);
        t.rec.assign(rec, rec + 268);
        p.recs.push_back(t);
    }
    close(w.fd);
    return p;
}

void set_stack_names(const std::map<int, std::string>& names) {
    static std::map<int, std::string> keep;
    keep = names;
    stack_names_lock.lock();
    for (stack_name_entry& e : stack_names) e = stack_name_entry{};
    for (const auto& [id, name] : keep) {
        stack_names[id] = stack_name_entry{name.c_str(), static_cast<int32_t>(name.size())};
    }
    stack_names_lock.unlock();
}

uint64_t record_usec(const uint8_t* rec) {
    return static_cast<uint64_t>(OFFSET_SEC + static_cast<int64_t>(load_le(rec, 8))) * 1000000u +
           OFFSET_USEC + load_le(rec + 8, 8);
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// --- tshark ---

std::string plugin_path() { return std::string(QUARN_SOURCE_DIR) + "/contrib/wireshark/quarn.lua"; }

test::run_result tshark(const std::string& file, const std::vector<std::string>& args) {
    test::run_options o;
    o.args = {"tshark", "-X", "lua_script:" + plugin_path(), "-r", file};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.timeout_ms = 120000;
    return test::run("/usr/bin/env", o);
}

// One row per frame: field name -> value, hexadecimal values in decimal.
std::vector<std::map<std::string, std::string>> frames(const std::string& file,
                                                       const std::vector<std::string>& names,
                                                       const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"-T", "fields", "-E", "occurrence=f", "-E", "separator=|"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const std::string& n : names) {
        args.push_back("-e");
        args.push_back(n);
    }
    const test::run_result r = tshark(file, args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::map<std::string, std::string>> rows;
    for (const std::string& line : test::split_lines(r.out)) {
        std::map<std::string, std::string> row;
        size_t from = 0;
        for (const std::string& n : names) {
            const size_t bar = std::min(line.find('|', from), line.size());
            std::string v = line.substr(from, bar - from);
            if (v.rfind("0x", 0) == 0) v = std::to_string(std::stoull(v, nullptr, 16));
            row[n] = v;
            from = bar + 1;
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::string> quarn_fields() {
    std::vector<std::string> n = {"frame.time_epoch", "quarn.block", "quarn.missing", "quarn.stack",
                                  "quarn.event", "quarn.snd_scale", "quarn.rcv_scale", "_ws.col.Info"};
    for (const field_def& d : RECORD_FIELDS) n.push_back(std::string("quarn.") + d.name);
    for (const field_def& d : RACK_FIELDS) n.push_back(std::string("quarn.") + d.name);
    for (const field_def& d : BBR_FIELDS) n.push_back(std::string("quarn.") + d.name);
    return n;
}

class WiresharkPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::have_program("tshark"));
        std::mt19937 rng(20261210);
        set_stack_names({{0, "freebsd"}, {1, "bbr"}, {2, "rack"}});
        // Three parts of one connection: a rack section that also holds a
        // record of stack 1, a bbr section and a freebsd section. Event ids
        // run through 0 to 70 and two beyond; serials jump inside each part
        // and between parts.
        const std::vector<int32_t> states = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, -1, 4};
        const uint8_t stack_of_part[] = {2, 1, 0};
        uint32_t serial = 1000;
        unsigned event = 0;
        std::set<unsigned> event_ids;  // of the event records written
        int64_t t = 0;
        for (int pi = 0; pi < 3; pi++) {
            std::vector<qb::record_fields> records;
            for (int i = 0; i < 38; i++) {
                qb::record_fields s;
                s.sec = 100 + t / 1000000;
                s.usec = t % 1000000;
                t += 210000 + (i * 7919) % 50000;
                s.serial = serial++;
                if (i == 15) serial += 3 + static_cast<uint32_t>(pi);  // a jump inside the part
                s.stack_id = pi == 0 && i == 4 ? 1 : stack_of_part[pi];
                const bool packet = i % 3 == 0;
                const uint16_t extra = static_cast<uint16_t>((i % 4 == 1 ? 0x1 : 0) | (i % 5 < 2 ? 0x2 : 0) |
                                                             (i % 2 ? STACKINFO : 0));
                s.flags = static_cast<uint16_t>((packet ? REC_FLAG_HAS_TH : 0) | extra);
                s.event_id = packet ? (i % 2 ? REC_EVENT_IN : 2) : static_cast<uint8_t>(event < 71 ? event : (event % 2 ? 200 : 255));
                if (!packet) {
                    event_ids.insert(s.event_id);
                    event++;
                }
                s.payload_len = static_cast<uint32_t>(rng() % 3000);
                records.push_back(s);
            }
            serial += 7;  // records lost between this part and the next
            parts_.push_back(write_dump(dir_ / ("conn.0." + std::to_string(pi) + ".pcapng"), records, states, rng));
        }
        // Every id from 0 to 70, and 200 and 255.
        std::set<unsigned> want_ids = {200, 255};
        for (unsigned id = 0; id <= 70; id++) want_ids.insert(id);
        ASSERT_EQ(event_ids, want_ids);
    }

    void TearDown() override { set_stack_names({}); }

    // Checks every record of the parts against the frames tshark shows,
    // in order; `named` are the stack names the plugin can know for each
    // part, `packets` whether packet frames carry their record.
    void expect_records(const std::vector<std::map<std::string, std::string>>& rows,
                        const std::vector<std::map<int, std::string>>& named, bool packets,
                        bool between_part_gaps) {
        size_t row = 0;
        auto next = [&]() -> const std::map<std::string, std::string>* {
            if (row >= rows.size()) {
                ADD_FAILURE() << "fewer frames than records";
                return nullptr;
            }
            return &rows[row++];
        };
        for (size_t pi = 0; pi < parts_.size(); pi++) {
            for (size_t ri = 0; ri < parts_[pi].recs.size(); ri++) {
                const record_truth& t = parts_[pi].recs[ri];
                if (ri == 0 && pi > 0 && between_part_gaps) {
                    const auto* g = next();
                    if (!g) return;
                    EXPECT_EQ(g->at("quarn.missing"), "7");
                    EXPECT_EQ(g->at("frame.time_epoch"), t.time + "000");
                    EXPECT_EQ(g->at("_ws.col.Info"), "Gap: 7 records missing between " +
                                                          base_name(parts_[pi - 1].path) + " and " +
                                                          base_name(parts_[pi].path));
                }
                if (t.missing_before) {
                    const auto* g = next();
                    if (!g) return;
                    EXPECT_EQ(g->at("quarn.block"), "gap");
                    EXPECT_EQ(g->at("quarn.missing"), std::to_string(t.missing_before));
                    EXPECT_EQ(g->at("_ws.col.Info"), "Gap: " + std::to_string(t.missing_before) + " records missing");
                    EXPECT_EQ(g->at("frame.time_epoch"), t.time + "000") << "a gap has the next record's time";
                }
                const auto* f = next();
                if (!f) return;
                const std::string where = "part " + std::to_string(pi) + " record " + std::to_string(ri);
                EXPECT_EQ(f->at("frame.time_epoch"), t.time + "000") << where;
                if (t.packet && !packets) {
                    EXPECT_EQ(f->at("quarn.serial"), "") << where;
                    continue;
                }
                EXPECT_EQ(f->at("quarn.block"), t.packet ? "packet" : "event") << where;
                for (const auto& [name, want] : expected_fields(t.rec, named[pi])) {
                    EXPECT_EQ(f->at("quarn." + name), want) << where << " field " << name;
                }
                if (!t.packet) {
                    const unsigned id = t.rec[25];
                    const std::string label = event_name(id).empty() ? std::to_string(id)
                                                                     : event_name(id) + " (" + std::to_string(id) + ")";
                    const int32_t st = static_cast<int32_t>(test::u32_at(t.rec, 56));
                    const std::string state = tcplog_state_name(st).empty() ? "state " + std::to_string(st)
                                                                             : std::string(tcplog_state_name(st));
                    const std::string stack = f->at("quarn.stack").empty() ? "" : " " + f->at("quarn.stack");
                    EXPECT_EQ(f->at("_ws.col.Info"), "Event " + label + ", serial " +
                                                         std::to_string(test::u32_at(t.rec, 20)) + ", stack " +
                                                         std::to_string(t.rec[24]) + stack + ", " + state +
                                                         ", cwnd " + std::to_string(test::u32_at(t.rec, 80)))
                        << where;
                }
            }
        }
        EXPECT_EQ(row, rows.size()) << "more frames than records";
    }

    test::temp_dir dir_;
    std::vector<part> parts_;
};

// Each dump names only its first record's stack in its section header.
const std::vector<std::map<int, std::string>> DUMP_STACKS = {{{2, "rack"}}, {{1, "bbr"}}, {{0, "freebsd"}}};

TEST_F(WiresharkPlugin, DecodesEveryRecordFieldOfPacketsEventsAndGaps) {
    // The parts one after the other: a capture of three sections.
    std::string all = dir_ / "all.pcapng";
    {
        bytes b;
        for (const part& p : parts_) {
            const bytes f = test::read_file(p.path);
            b.insert(b.end(), f.begin(), f.end());
        }
        test::write_file(all, b);
    }
    expect_records(frames(all, quarn_fields()), DUMP_STACKS, true, false);
    // Two passes: the second reads every frame again at its offset, as
    // Wireshark does whenever it shows a frame.
    expect_records(frames(all, quarn_fields(), {"-2"}), DUMP_STACKS, true, false);

    // The preference names the stacks a file leaves unnamed: the record of
    // stack 1 in the rack section decodes its BBR part.
    std::vector<std::map<int, std::string>> with_pref = DUMP_STACKS;
    with_pref[0][1] = "bbr";
    expect_records(frames(all, quarn_fields(), {"-o", "quarn.stacks:1=bbr 0=freebsd"}), with_pref, true, false);

    // Compressed: the reader reads through Wireshark's decompression.
    ASSERT_EQ(test::run("/usr/bin/env", {{"zstd", "-q", all, "-o", all + ".zst"}}).status, 0);
    expect_records(frames(all + ".zst", quarn_fields()), DUMP_STACKS, true, false);

    // A dump cut short inside its last block: the frames before it, then a
    // failure that names the block.
    {
        bytes cut = test::read_file(parts_[0].path);
        const size_t size = cut.size();
        cut.resize(size - 10);
        test::write_file(dir_ / "cut.pcapng", cut);
        const test::run_result r = tshark(dir_ / "cut.pcapng", {"-T", "fields", "-e", "quarn.serial"});
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find("quarn: block at offset "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" cut short"), std::string::npos) << r.err;
        std::vector<std::string> serials;
        for (const record_truth& t : parts_[0].recs) {
            if (t.missing_before) serials.push_back("");
            serials.push_back(std::to_string(test::u32_at(t.rec, 20)));
        }
        serials.pop_back();
        EXPECT_EQ(test::split_lines(r.out), serials);
    }

    // Wireshark's own pcapng reader: events and gaps are custom block frames
    // without a time, packets carry no record the plugin can reach.
    const auto own = frames(all, {"quarn.block", "quarn.serial", "quarn.cwnd", "quarn.missing", "tcp.srcport"},
                            {"-o", "quarn.read_files:FALSE"});
    const auto mine = frames(all, {"quarn.block", "quarn.serial", "quarn.cwnd", "quarn.missing", "tcp.srcport"});
    ASSERT_EQ(own.size(), mine.size());
    for (size_t i = 0; i < own.size(); i++) {
        EXPECT_EQ(own[i].at("tcp.srcport"), mine[i].at("tcp.srcport")) << "frame " << i + 1;
        if (mine[i].at("quarn.block") == "packet") {
            EXPECT_EQ(own[i].at("quarn.cwnd"), "") << "frame " << i + 1;
        } else {
            EXPECT_EQ(own[i], mine[i]) << "frame " << i + 1;
        }
    }
}

TEST_F(WiresharkPlugin, TimelineDecodesThroughTheUserLinkType) {
    const std::string tl = dir_ / "timeline.pcapng";
    {
        const test::run_result r = test::inspect({"--timeline", dir_ / "conn.0", "-o", tl});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // The interface description names the stacks of all parts, so the
    // stack-1 record of the rack part decodes as bbr.
    const std::map<int, std::string> all_stacks = {{0, "freebsd"}, {1, "bbr"}, {2, "rack"}};
    expect_records(frames(tl, quarn_fields()), {all_stacks, all_stacks, all_stacks}, true, true);
    // Wireshark's reader hands the user link type frames to the same
    // decoder through the encapsulation table; packets have no record then.
    expect_records(frames(tl, quarn_fields(), {"-o", "quarn.read_files:FALSE"}),
                   {all_stacks, all_stacks, all_stacks}, false, true);

    // A gap is an expert-info warning that names the count.
    const auto gaps = frames(tl, {"quarn.missing", "_ws.expert"}, {"-Y", "quarn.missing", "-E", "occurrence=a"});
    ASSERT_EQ(gaps.size(), 5u);
    for (const auto& g : gaps) {
        EXPECT_NE(g.at("_ws.expert").find("Expert Info (Warning/Sequence): " + g.at("quarn.missing") +
                                          " records missing"),
                  std::string::npos)
            << g.at("_ws.expert");
    }

    // A cwnd series per second: the mean of the records' cwnd in each
    // interval from the first frame, as io,stat computes it.
    std::vector<uint64_t> sum, count;
    const uint64_t first = record_usec(parts_[0].recs[0].rec.data());
    for (const part& p : parts_) {
        for (const record_truth& t : p.recs) {
            const uint64_t usec = record_usec(t.rec.data());
            const size_t k = (usec - first) / 1000000;
            if (sum.size() <= k) {
                sum.resize(k + 1);
                count.resize(k + 1);
            }
            sum[k] += test::u32_at(t.rec, 80);
            count[k]++;
        }
    }
    ASSERT_GE(sum.size(), 15u);
    const test::run_result r = tshark(tl, {"-q", "-z", "io,stat,1,AVG(quarn.cwnd)quarn.cwnd"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Rows such as "|  3 <>  4 | 51629 |": the value after the interval.
    std::vector<uint64_t> seen;
    for (const std::string& line : test::split_lines(r.out)) {
        if (line.find(" <> ") == std::string::npos || line[0] != '|') continue;
        const size_t cell = line.find('|', 1);
        ASSERT_NE(cell, std::string::npos) << line;
        seen.push_back(std::stoull(line.substr(cell + 1)));
    }
    std::vector<uint64_t> want;
    for (size_t k = 0; k < sum.size(); k++) want.push_back(count[k] ? sum[k] / count[k] : 0);
    EXPECT_EQ(seen, want) << r.out;
}


// --- The synthesizer's story through the daemon ---

std::vector<std::string> split_csv(const std::string& line) {
    std::vector<std::string> cells;
    size_t from = 0;
    for (size_t comma; (comma = line.find(',', from)) != std::string::npos; from = comma + 1) {
        cells.push_back(line.substr(from, comma - from));
    }
    cells.push_back(line.substr(from));
    return cells;
}

// The dump files of a directory in part order ("<stem>.<n>.pcapng").
std::vector<std::string> dumps_in_part_order(const std::string& dir) {
    std::map<int, std::string> by_part;
    for (const std::string& name : test::list_dir(dir)) {
        dump_name dn;
        if (!parse_dump_name(name, dn) || dn.compression->id != dump_compression::none) continue;
        by_part[dn.seq] = dir + "/" + name;
    }
    std::vector<std::string> files;
    for (const auto& [n, path] : by_part) files.push_back(path);
    return files;
}

// quarn_synth --story writes the values its dumps must decode to; the
// plugin must show each of them on the frame of that record. A serial jump
// between two dumps is a values row of its own that no dump holds.
TEST(WiresharkPluginStory, ShowsTheValuesTheStoryPutIn) {
    ASSERT_TRUE(test::have_program("tshark"));
    const std::vector<std::vector<std::string>> cases = {
        {"--story", "--losses", "-s", "3"},
        {"--story", "--stack", "rack", "--messages", "2", "-s", "5"},
    };
    for (std::vector<std::string> args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        test::daemon_setup setup;
        const std::string values = setup.tmp / "values.csv";
        setup.run_synthesized(args, values);
        if (HasFatalFailure()) return;

        const std::vector<std::string> lines = test::split_lines(test::read_text(values));
        ASSERT_GT(lines.size(), 300u);
        const std::vector<std::string> columns = split_csv(lines[0]);
        std::vector<std::string> names = {"frame.time_epoch"};
        for (const std::string& c : columns) {
            names.push_back(c == "time" ? "frame.time_epoch" : "quarn." + c);
        }
        const std::vector<std::string> files = dumps_in_part_order(setup.out);
        ASSERT_GE(files.size(), 2u);

        size_t line = 1, compared = 0;
        for (size_t fi = 0; fi < files.size(); fi++) {
            const auto rows = frames(files[fi], names);
            // A jump between the previous dump and this one.
            if (fi > 0 && line < lines.size() && split_csv(lines[line])[1] == "gap" &&
                !(rows.size() > 0 && rows[0].at("quarn.block") == "gap")) {
                line++;
            }
            for (const auto& row : rows) {
                ASSERT_LT(line, lines.size()) << "more frames than values in " << files[fi];
                const std::vector<std::string> want = split_csv(lines[line++]);
                ASSERT_EQ(want.size(), columns.size());
                for (size_t c = 0; c < columns.size(); c++) {
                    std::string got = row.at(names[c + 1]);
                    if (columns[c] == "time" && !want[c].empty()) got = got.substr(0, got.size() - 3);
                    if (columns[c] == "time" && want[1] == "gap") continue;  // a gap's time is the next record's
                    if (columns[c] == "state" && !got.empty()) {
                        const std::string_view name = tcplog_state_name(std::stoi(got));
                        if (!name.empty()) got = std::string(name);
                    }
                    EXPECT_EQ(got, want[c]) << files[fi] << " values line " << line << " column " << columns[c];
                }
                compared++;
            }
        }
        EXPECT_EQ(line, lines.size()) << "values no frame showed";
        EXPECT_GT(compared, 300u);
    }
}

}  // namespace
}  // namespace quarn
