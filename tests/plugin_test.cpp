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

#include <algorithm>
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

// The TF_ names of the control block flags set in `v`, joined by "|", as
// FreeBSD 13.5 names the bits.
std::string tf_names(uint32_t v) {
    static const char* const NAMES[32] = {
        "ACKNOW", "DELACK", "NODELAY", "NOOPT", "SENTFIN", "REQ_SCALE", "RCVD_SCALE", "REQ_TSTMP",
        "RCVD_TSTMP", "SACK_PERMIT", "NEEDSYN", "NEEDFIN", "NOPUSH", "PREVVALID", "WAKESOR", "GPUTINPROG",
        "MORETOCOME", "LQ_OVERFLOW", "LASTIDLE", "RXWIN0SENT", "FASTRECOVERY", "WASFRECOVERY", "SIGNATURE",
        "FORCEDATA", "TSO", "TOE", "UNUSED0", "UNUSED1", "UNUSED2", "CONGRECOVERY", "WASCRECOVERY", "FASTOPEN",
    };
    std::string out;
    for (int bit = 0; bit < 32; bit++) {
        if (!(v >> bit & 1)) continue;
        if (!out.empty()) out += "|";
        out += NAMES[bit];
    }
    return out;
}

// Every field the plugin must show for a record, given the stack names it
// can know: field name -> decimal text, empty where it must be absent.
std::map<std::string, std::string> expected_fields(const bytes& rec,
                                                   const std::map<int, std::string>& stacks) {
    std::map<std::string, std::string> e;
    const uint8_t* r = rec.data();
    const uint16_t flags = static_cast<uint16_t>(load_le(r + 26, 2));
    for (const field_def& d : RECORD_FIELDS) e[d.name] = !d.flag || (flags & d.flag) ? number(r, d) : "";
    e["t_flags"] = number(r, {"t_flags", 68, 4});
    e["t_flags2"] = number(r, {"t_flags2", 116, 4});
    e["t_flags_names"] = tf_names(test::u32_at(rec, 68));
    e["snd_scale"] = std::to_string(r[156] & 0x0F);
    e["rcv_scale"] = std::to_string(r[156] >> 4);
    const auto s = stacks.find(r[24]);
    const std::string stack = s == stacks.end() ? "" : s->second;
    e["stack"] = stack;
    e["event"] = event_name(r[25]);
    const bool part = flags & STACKINFO;
    // Milliseconds where the unit is known: the base stack's srtt and rttvar
    // are ticks x 32 and x 16 (1000 ticks a second), RACK's rtt microseconds.
    const bool base = stack == "freebsd" || stack == "default";
    e["srtt_ms"] = base ? std::to_string(test::u32_at(rec, 100) / 32.0) : "";
    e["rttvar_ms"] = base ? std::to_string(test::u32_at(rec, 104) / 16.0) : "";
    e["rack_rtt_ms"] = part && stack == "rack" ? std::to_string(test::u32_at(rec, 160) / 1000.0) : "";
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
    // Tabs between fields: t_flags_names holds "|".
    std::vector<std::string> args = {"-T", "fields", "-E", "occurrence=f", "-E", "separator=/t"};
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
            const size_t bar = std::min(line.find('\t', from), line.size());
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
    std::vector<std::string> n = {"frame.time_epoch", "quarn.block",     "quarn.missing",       "quarn.stack",
                                  "quarn.event",      "quarn.snd_scale", "quarn.rcv_scale",     "_ws.col.Info",
                                  "quarn.t_flags",    "quarn.t_flags2",  "quarn.t_flags_names", "quarn.srtt_ms",
                                  "quarn.rttvar_ms",  "quarn.rack_rtt_ms"};
    for (const field_def& d : RECORD_FIELDS) n.push_back(std::string("quarn.") + d.name);
    for (const field_def& d : RACK_FIELDS) n.push_back(std::string("quarn.") + d.name);
    for (const field_def& d : BBR_FIELDS) n.push_back(std::string("quarn.") + d.name);
    return n;
}

// Gap frames between the parts of a connection: none, with the names of
// the two parts (a timeline's comment), or with the count only.
enum class between_parts { none, commented, plain };

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
                        between_parts gaps_between) {
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
                if (ri == 0 && pi > 0 && gaps_between != between_parts::none) {
                    const auto* g = next();
                    if (!g) return;
                    EXPECT_EQ(g->at("quarn.missing"), "7");
                    EXPECT_EQ(g->at("frame.time_epoch"), t.time + "000");
                    EXPECT_EQ(g->at("_ws.col.Info"),
                              gaps_between == between_parts::plain
                                  ? std::string("Gap: 7 records missing")
                                  : "Gap: 7 records missing between " + base_name(parts_[pi - 1].path) +
                                        " and " + base_name(parts_[pi].path));
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
                    const std::string& got = f->at("quarn." + name);
                    if (name.ends_with("_ms") && !want.empty() && !got.empty()) {
                        EXPECT_NEAR(std::stod(got), std::stod(want), 1e-6) << where << " field " << name;
                    } else {
                        EXPECT_EQ(got, want) << where << " field " << name;
                    }
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
    expect_records(frames(all, quarn_fields()), DUMP_STACKS, true, between_parts::none);
    // Two passes: the second reads every frame again at its offset, as
    // Wireshark does whenever it shows a frame.
    expect_records(frames(all, quarn_fields(), {"-2"}), DUMP_STACKS, true, between_parts::none);

    // The preference names the stacks a file leaves unnamed: the record of
    // stack 1 in the rack section decodes its BBR part.
    std::vector<std::map<int, std::string>> with_pref = DUMP_STACKS;
    with_pref[0][1] = "bbr";
    expect_records(frames(all, quarn_fields(), {"-o", "quarn.stacks:1=bbr 0=freebsd"}), with_pref, true, between_parts::none);

    // Compressed: the reader reads through Wireshark's decompression.
    ASSERT_EQ(test::run("/usr/bin/env", {{"zstd", "-q", all, "-o", all + ".zst"}}).status, 0);
    expect_records(frames(all + ".zst", quarn_fields()), DUMP_STACKS, true, between_parts::none);

    // Damaged dumps: every whole block before the damage, then one frame
    // that names it with an expert-info error; tshark ends normally, in one
    // pass and in two (the second reads each frame again at its offset).
    struct damage_case {
        const char* name;
        size_t keep_from_end;  // bytes cut off the end of part 0
        uint32_t bad_length;   // else: the last block's length field set to this
        const char* what;
    };
    const bytes whole = test::read_file(parts_[0].path);
    const uint32_t last_len = test::u32_at(whole, whole.size() - 4);
    const size_t last_at = whole.size() - last_len;
    const damage_case damages[] = {
        {"inside the last block", 10, 0, " cut short"},
        {"inside the last block's header", last_len - 5, 0, " cut short"},
        {"a length that is no multiple of 4", 0, 13, " has a length of 13"},
        {"a length running past the end", 0, last_len + 8, " cut short"},
    };
    for (const damage_case& d : damages) {
        SCOPED_TRACE(d.name);
        bytes cut = whole;
        if (d.bad_length) {
            const uint32_t v = d.bad_length;
            std::memcpy(cut.data() + last_at + 4, &v, 4);
        } else {
            cut.resize(cut.size() - d.keep_from_end);
        }
        const std::string file = dir_ / "cut.pcapng";
        test::write_file(file, cut);
        std::vector<std::string> want;
        for (const record_truth& t : parts_[0].recs) {
            if (t.missing_before) want.push_back("|");
            want.push_back(std::to_string(test::u32_at(t.rec, 20)) + "|");
        }
        want.pop_back();
        want.push_back("|Expert Info (Error/Malformed): quarn: block at offset " + std::to_string(last_at) + d.what);
        for (const std::vector<std::string>& pass : {std::vector<std::string>{}, std::vector<std::string>{"-2"}}) {
            std::vector<std::string> args = {"-T", "fields", "-E", "separator=|", "-e", "quarn.serial", "-e", "_ws.expert"};
            args.insert(args.end(), pass.begin(), pass.end());
            const test::run_result r = tshark(file, args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err.find("internal error"), std::string::npos) << r.err;
            std::vector<std::string> got;
            for (const std::string& line : test::split_lines(r.out)) {
                // The serial, and the plugin's error where there is one (TCP
                // and gap frames carry other expert infos).
                const std::string error = "Expert Info (Error/Malformed): quarn";
                const size_t at = line.find(error);
                got.push_back(line.substr(0, line.find('|') + 1) +
                              (at == std::string::npos ? "" : line.substr(at, line.find(',', at) - at)));
            }
            EXPECT_EQ(got, want);
        }
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
    // stack-1 record of the rack part decodes as bbr. A timeline is read by
    // Wireshark's reader, which hands the user link type frames to the
    // decoder through the encapsulation table; packets have no record then.
    // With quarn.read_all the plugin's reader takes it, and packets keep
    // their records.
    const std::map<int, std::string> all_stacks = {{0, "freebsd"}, {1, "bbr"}, {2, "rack"}};
    expect_records(frames(tl, quarn_fields()), {all_stacks, all_stacks, all_stacks}, false,
                   between_parts::commented);
    expect_records(frames(tl, quarn_fields(), {"-o", "quarn.read_all:TRUE"}), {all_stacks, all_stacks, all_stacks},
                   true, between_parts::commented);
    expect_records(frames(tl, quarn_fields(), {"-o", "quarn.read_all:TRUE", "-o", "quarn.read_files:FALSE"}),
                   {all_stacks, all_stacks, all_stacks}, false, between_parts::commented);

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
    const test::run_result r = tshark(tl, {"-o", "quarn.read_all:TRUE", "-q", "-z", "io,stat,1,AVG(quarn.cwnd)quarn.cwnd"});
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


// A joined file: the parts' sections one after the other, with a gap block
// where serials jump between two parts. Each gap is one frame with one
// warning, in one pass and in two, with the plugin's reader and with
// Wireshark's; a gap takes the time of the record after it, in the next
// section.
TEST_F(WiresharkPlugin, GapsBetweenPartsCountOnce) {
    const std::string gap_path = dir_ / "gap.bin";
    {
        output_writer w;
        w.fd = open(gap_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(w.fd, 0);
        w.write_op = writev_int;
        EXPECT_EQ(pcap_gapblock(&w, 7), 0);
        close(w.fd);
    }
    const bytes gap = test::read_file(gap_path);
    ASSERT_FALSE(gap.empty());
    const std::string joined = dir_ / "joined.pcapng";
    bytes b;
    uint64_t missing = 0;
    size_t gaps = 0;
    for (size_t pi = 0; pi < parts_.size(); pi++) {
        if (pi > 0) {
            b.insert(b.end(), gap.begin(), gap.end());
            missing += 7;
            gaps++;
        }
        const bytes f = test::read_file(parts_[pi].path);
        b.insert(b.end(), f.begin(), f.end());
        for (const record_truth& t : parts_[pi].recs) {
            missing += t.missing_before;
            gaps += t.missing_before ? 1 : 0;
        }
    }
    test::write_file(joined, b);
    expect_records(frames(joined, quarn_fields()), DUMP_STACKS, true, between_parts::plain);
    expect_records(frames(joined, quarn_fields(), {"-2"}), DUMP_STACKS, true, between_parts::plain);

    const std::vector<std::vector<std::string>> modes = {{}, {"-2"}, {"-o", "quarn.read_files:FALSE"}};
    for (const std::vector<std::string>& mode : modes) {
        SCOPED_TRACE(::testing::PrintToString(mode));
        std::vector<std::string> extra = {"-Y", "quarn.missing", "-E", "occurrence=a"};
        extra.insert(extra.end(), mode.begin(), mode.end());
        const auto rows = frames(joined, {"quarn.missing", "_ws.expert"}, extra);
        EXPECT_EQ(rows.size(), gaps);
        uint64_t sum = 0;
        for (const auto& r : rows) {
            // One count (quarn.missing and quarn.gap are the same bytes) and
            // one warning per gap frame.
            EXPECT_EQ(r.at("quarn.missing").find(','), std::string::npos) << r.at("quarn.missing");
            sum += std::stoull(r.at("quarn.missing"));
            const std::string& e = r.at("_ws.expert");
            const size_t first = e.find("Expert Info (Warning/Sequence)");
            EXPECT_NE(first, std::string::npos) << e;
            EXPECT_EQ(e.find("Expert Info (Warning/Sequence)", first + 1), std::string::npos) << e;
        }
        EXPECT_EQ(sum, missing);
    }
}

// Frames of equal time come in serial order, modulo 2^32, whatever their
// order in the file: here a part whose records come before those of the
// part written first.
TEST_F(WiresharkPlugin, EqualTimesComeInSerialOrder) {
    struct order_case {
        const char* name;
        std::vector<uint32_t> first, second;  // serials of the two parts in file order
    };
    const order_case cases[] = {
        {"later serials first", {100, 101, 102}, {97, 98, 99}},
        {"across 2^32", {0, 1, 2}, {0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu}},
        {"already in order", {5, 6}, {7, 8, 9}},
    };
    std::mt19937 rng(7);
    for (const order_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> want;
        bytes b;
        for (const std::vector<uint32_t>* serials : {&c.first, &c.second}) {
            std::vector<qb::record_fields> records;
            for (uint32_t serial : *serials) {
                qb::record_fields r;
                r.sec = 200;
                r.usec = 125000;
                r.serial = serial;
                r.stack_id = 2;
                r.flags = serial % 2 ? REC_FLAG_HAS_TH : 0;
                r.event_id = serial % 2 ? REC_EVENT_IN : 3;
                records.push_back(r);
            }
            const part p = write_dump(dir_ / "order.pcapng", records, {4}, rng);
            const bytes f = test::read_file(p.path);
            b.insert(b.end(), f.begin(), f.end());
        }
        test::write_file(dir_ / "both.pcapng", b);
        std::vector<uint32_t> all = c.second;
        all.insert(all.end(), c.first.begin(), c.first.end());
        if (std::string(c.name) == "already in order") all = {5, 6, 7, 8, 9};
        for (uint32_t s : all) want.push_back(std::to_string(s));
        for (const std::vector<std::string>& pass : {std::vector<std::string>{}, std::vector<std::string>{"-2"}}) {
            std::vector<std::string> got;
            for (const auto& row : frames(dir_ / "both.pcapng", {"quarn.serial", "frame.time_epoch"}, pass)) {
                got.push_back(row.at("quarn.serial"));
                EXPECT_EQ(row.at("frame.time_epoch"), time_text(OFFSET_SEC + 200, OFFSET_USEC + 125000) + "000");
            }
            EXPECT_EQ(got, want);
        }
    }
}

// Sets the name of every interface of a pcapng file (little-endian, as the
// tools here write it) to `name`, as a timeline names its interfaces after
// its connection's stem.
bytes name_interfaces(const bytes& in, const std::string& name) {
    bytes out;
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    auto put16 = [&](uint16_t v) { out.push_back(static_cast<uint8_t>(v)); out.push_back(static_cast<uint8_t>(v >> 8)); };
    auto put_option = [&](uint16_t code, const uint8_t* v, size_t len) {
        put16(code);
        put16(static_cast<uint16_t>(len));
        out.insert(out.end(), v, v + len);
        out.insert(out.end(), (4 - len % 4) % 4, 0);
    };
    for (size_t at = 0; at + 12 <= in.size();) {
        const uint32_t type = test::u32_at(in, at), len = test::u32_at(in, at + 4);
        if (len < 12 || at + len > in.size()) break;
        if (type != 1) {
            out.insert(out.end(), in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + len));
            at += len;
            continue;
        }
        const size_t start = out.size();
        out.insert(out.end(), in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + 16));
        put_option(2, reinterpret_cast<const uint8_t*>(name.data()), name.size());
        for (size_t o = at + 16; o + 4 <= at + len - 4;) {
            const uint16_t code = static_cast<uint16_t>(in[o] | in[o + 1] << 8);
            const uint16_t olen = static_cast<uint16_t>(in[o + 2] | in[o + 3] << 8);
            if (code == 0) break;
            if (code != 2) put_option(code, in.data() + o + 4, olen);
            o += 4 + olen + (4 - olen % 4) % 4;
        }
        put32(0);
        const auto total = static_cast<uint32_t>(out.size() - start + 4);
        put32(total);
        std::memcpy(out.data() + start + 4, &total, 4);
        at += len;
    }
    return out;
}

// Two connections' timelines merged by mergecap: every frame names its
// connection (the interface's name) and the records name their stacks
// from their own connection's interface description.
TEST_F(WiresharkPlugin, MergedTimelinesKeepEachFramesConnection) {
    ASSERT_TRUE(test::have_program("mergecap"));
    // Part 0 (rack, with one record of the unnamed stack 1) and part 2
    // (freebsd) as connections of their own.
    const std::map<std::string, size_t> part_of = {{"left", 0}, {"right", 2}};
    std::vector<std::string> timelines;
    for (const auto& [stem, pi] : part_of) {
        test::write_file(dir_ / (stem + ".0.pcapng"), test::read_file(parts_[pi].path));
        const std::string tl = dir_ / (stem + ".timeline.pcapng");
        const test::run_result r = test::inspect({"--timeline", dir_ / stem, "-o", tl});
        ASSERT_EQ(r.status, 0) << r.err;
        test::write_file(tl, name_interfaces(test::read_file(tl), stem));
        timelines.push_back(tl);
    }
    const std::string merged = dir_ / "merged.pcapng";
    {
        const test::run_result r =
            test::run("/usr/bin/env", {{"mergecap", "-w", merged, timelines[0], timelines[1]}});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const std::map<std::string, std::map<int, std::string>> stacks = {{"left", {{2, "rack"}}},
                                                                       {"right", {{0, "freebsd"}}}};
    // Default: Wireshark's reader (packets without records); read_all: the
    // plugin's (packets with records).
    for (const bool read_all : {false, true}) {
        SCOPED_TRACE(read_all ? "plugin's reader" : "Wireshark's reader");
        std::vector<std::string> extra;
        if (read_all) extra = {"-o", "quarn.read_all:TRUE"};
        const auto rows = frames(merged, {"quarn.stem", "quarn.block", "quarn.serial", "quarn.stack_id", "quarn.stack",
                                          "frame.time_epoch"}, extra);
        std::map<std::string, std::set<std::string>> serials_seen;
        std::map<std::string, size_t> frames_of;
        for (const auto& row : rows) {
            const std::string& stem = row.at("quarn.stem");
            ASSERT_EQ(part_of.count(stem), 1u) << "frame at " << row.at("frame.time_epoch") << " names \"" << stem << "\"";
            frames_of[stem]++;
            if (row.at("quarn.serial").empty()) continue;
            serials_seen[stem].insert(row.at("quarn.serial"));
            const auto& named = stacks.at(stem);
            const auto s = named.find(std::stoi(row.at("quarn.stack_id")));
            EXPECT_EQ(row.at("quarn.stack"), s == named.end() ? "" : s->second) << stem << " " << row.at("quarn.serial");
        }
        for (const auto& [stem, pi] : part_of) {
            std::set<std::string> want;
            size_t records = 0, gaps = 0;
            for (const record_truth& t : parts_[pi].recs) {
                records++;
                gaps += t.missing_before ? 1 : 0;
                if (read_all || !t.packet) want.insert(std::to_string(test::u32_at(t.rec, 20)));
            }
            EXPECT_EQ(serials_seen[stem], want) << stem;
            EXPECT_EQ(frames_of[stem], records + gaps) << stem;
        }
    }
}

// tshark -w writes what Wireshark reads on its own with the plugin loaded:
// a timeline, a merge and a dump that editcap rewrote. The written file
// shows the same frames as the one read.
TEST_F(WiresharkPlugin, TsharkWritesTimelinesAndRewrittenFiles) {
    ASSERT_TRUE(test::have_program("editcap"));
    ASSERT_TRUE(test::have_program("mergecap"));
    const std::string tl = dir_ / "timeline.pcapng", edited = dir_ / "edited.pcapng",
                      merged = dir_ / "merged.pcapng";
    ASSERT_EQ(test::inspect({"--timeline", dir_ / "conn.0", "-o", tl}).status, 0);
    ASSERT_EQ(test::run("/usr/bin/env", {{"editcap", parts_[1].path, edited}}).status, 0);
    ASSERT_EQ(test::run("/usr/bin/env", {{"mergecap", "-w", merged, parts_[0].path, parts_[2].path}}).status, 0);
    const std::vector<std::string> shown = {"frame.time_epoch", "frame.len", "quarn.block", "quarn.serial",
                                            "quarn.missing", "_ws.col.Info"};
    for (const std::string& file : {tl, edited, merged}) {
        SCOPED_TRACE(file);
        const std::string out = dir_ / "written.pcapng";
        const test::run_result w = tshark(file, {"-w", out});
        ASSERT_EQ(w.status, 0) << w.err;
        const auto before = frames(file, shown);
        EXPECT_GT(before.size(), 30u);
        EXPECT_EQ(frames(out, shown), before);
    }
    // The daemon's own dump stays with the plugin's reader: its packets
    // keep their records.
    const auto rows = frames(parts_[1].path, {"quarn.block"});
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r.at("quarn.block") == "packet"; }),
              std::count_if(parts_[1].recs.begin(), parts_[1].recs.end(), [](const record_truth& t) { return t.packet; }));
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

// tshark -2 dissects every frame twice, and dissectors such as TCP's keep
// what they learnt of a frame under the number of protocol layers below
// them: the second pass must send each frame through the same dissectors as
// the first, whether the first built a tree or not. Reassembled SMTP
// segments show it: in two passes their Info with the plugin's reader is
// the one Wireshark's own reader gives. (Part 15 of this stream is the first
// whose Info differed when the second pass took a different way.)
TEST(WiresharkPluginPasses, SecondPassShowsPacketsAsWiresharksReaderDoes) {
    ASSERT_TRUE(test::have_program("tshark"));
    test::daemon_setup setup;
    setup.sysctl_dir = setup.tmp / "sysctl";
    test::run_options so;
    so.args = {"-n", "16", "-c", "1", "-r", "50", "-e", "0", "-o", setup.input, "-k", setup.sysctl_dir};
    const test::run_result synth = test::run(test::synth_path(), so);
    ASSERT_EQ(synth.status, 0) << synth.err;
    const test::run_result daemon = test::run(test::daemon_path(), setup.options());
    ASSERT_EQ(daemon.status, 0) << daemon.err;

    const std::vector<std::string> files = dumps_in_part_order(setup.out);
    ASSERT_EQ(files.size(), 17u);
    // The TCP frames, in order: raw sequence number and Info.
    auto tcp_rows = [](const std::string& file, const std::vector<std::string>& extra) {
        std::vector<std::string> rows;
        for (const auto& row : frames(file, {"tcp.seq_raw", "_ws.col.Info"}, extra)) {
            if (!row.at("tcp.seq_raw").empty()) rows.push_back(row.at("tcp.seq_raw") + " " + row.at("_ws.col.Info"));
        }
        return rows;
    };
    size_t compared = 0;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const std::vector<std::string> mine = tcp_rows(file, {"-2"});
        EXPECT_EQ(mine, tcp_rows(file, {"-2", "-o", "quarn.read_files:FALSE"}));
        compared += mine.size();
    }
    EXPECT_GT(compared, 400u);
}

}  // namespace
}  // namespace quarn
