// quarn_inspect --timeline: a connection of three dumps (a stack change
// inside one log message, a serial gap inside a file, a jump between two
// messages, records whose times are out of file order) written as one
// pcapng file, compared block by block with the dumps it came from, and
// read by the capture tools themselves: capinfos, tshark, editcap, mergecap.
// quarn_inspect --plot: the data a short story of a connection gives the
// picture, the PNG and SVG that gnuplot makes of it, and the answers
// without gnuplot or when it fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "dump_check.h"
#include "inspect_fixture.h"
#include "inspect/quarn_dumpread.h"
#include "inspect/quarn_parts.h"
#include "inspect/quarn_plot.h"
#include "inspect/quarn_rowmerge.h"
#include "inspect/quarn_rowtable.h"
#include "inspect/quarn_timeline.h"
#include "quarn_dump.h"
#include "quarn_dumppolicy.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_records.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::temp_dir;

test::run_result run_tool(const std::string& program, const std::vector<std::string>& args) {
    test::run_options o;
    o.args = args;
    o.timeout_ms = 120000;
    return test::run(program, o);
}

// A program from PATH, by name.
test::run_result tool(const std::string& name, const std::vector<std::string>& args) {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        const std::string p = std::string(dir) + name;
        if (access(p.c_str(), X_OK) == 0) return run_tool(p, args);
    }
    ADD_FAILURE() << name << " is not installed (scripts/deps.sh installs it)";
    return {};
}

constexpr int64_t OFFSET_SEC = 1700000000;
constexpr int64_t OFFSET_USEC = 250000;
constexpr const char* STEM = "conn_443_10.0.0.2_50000";

qb::record_fields rec(uint32_t serial, uint8_t stack, int64_t sec, int64_t usec, uint8_t event,
                    bool packet) {
    qb::record_fields r;
    r.serial = serial;
    r.stack_id = stack;
    r.sec = sec;
    r.usec = usec;
    r.event_id = event;
    r.flags = packet ? REC_FLAG_HAS_TH : 0;
    if (packet && event != REC_EVENT_IN) r.th = qb::tcp_header(443, 50000, 7000, 1, 5, 0x18, 512);
    r.fill = static_cast<uint8_t>(serial);  // every record's bytes differ
    return r;
}

// What each block of the timeline must be, in order: kind, the record's
// serial (0 for gaps), its time as record seconds and microseconds (the
// header's offset is added), and for gaps the missing count.
struct expect_item {
    char kind;  // 'P' packet, 'E' event, 'G' gap
    uint32_t serial;
    int64_t sec, usec;
    uint32_t missing;
};

// Message 1 switches from stack alpha to bravo (dumps .0 and .1); message 2
// makes dump .2 and starts 8 serial numbers after .1 ended.
const expect_item EXPECTED[] = {
    {'P', 5, 100, 900000, 0},
    {'E', 6, 101, 0, 0},
    {'G', 0, 101, 0, 2},   // in dump .0, at the time of serial 9
    {'P', 9, 101, 0, 0},   // same time as serial 6: file order kept
    {'P', 11, 102, 400000, 0},  // earlier than serial 10 of the same dump
    {'E', 10, 102, 500000, 0},
    {'G', 0, 103, 0, 8},   // between .1 and .2
    {'P', 20, 103, 0, 0},
    {'E', 21, 104, 0, 0},
};

uint64_t usec_of(const expect_item& e) {
    return static_cast<uint64_t>(OFFSET_SEC + e.sec) * 1000000 + OFFSET_USEC + e.usec;
}

std::string epoch_text(uint64_t usec) {
    char buf[40];
    snprintf(buf, sizeof buf, "%llu.%06llu", static_cast<unsigned long long>(usec / 1000000),
             static_cast<unsigned long long>(usec % 1000000));
    return buf;
}

class Timeline : public test::InspectDumps {
protected:
    // The three dumps of the connection, in `dir_`.
    void make_connection(uint16_t lport = 443, int64_t shift_sec = 0) {
        qb::header_fields h;
        h.lport = lport;
        h.offset_sec = OFFSET_SEC + shift_sec;
        h.offset_usec = OFFSET_USEC;
        using test::STACK_A;
        using test::STACK_B;
        dump(h, {rec(5, STACK_A, 100, 900000, REC_EVENT_IN, true), rec(6, STACK_A, 101, 0, 7, false),
                 rec(9, STACK_A, 101, 0, 2, true), rec(10, STACK_B, 102, 500000, 3, false),
                 rec(11, STACK_B, 102, 400000, REC_EVENT_IN, true)});
        dump(h, {rec(20, STACK_A, 103, 0, 2, true), rec(21, STACK_A, 104, 0, REC_EVENT_CONN_END, false)});
    }

    std::string part(int n) const { return dir_ / (std::string(STEM) + "." + std::to_string(n) + ".pcapng"); }

    std::string make_timeline(const std::string& arg, const std::string& name = "tl.pcapng") {
        const std::string out = dir_ / name;
        const test::run_result r = test::inspect({"--timeline", arg, "-o", out});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return out;
    }
};

// The file at `path` read and walked, not strictly.
dump_part walk(const std::string& path) {
    dump_part p;
    std::string err;
    EXPECT_EQ(dump_part_load(path, false, p, err), 0) << err;
    return p;
}

std::vector<uint8_t> block_bytes(const dump_part& w, const dump_block& b) {
    return std::vector<uint8_t>(w.bytes.begin() + static_cast<long>(b.offset),
                                w.bytes.begin() + static_cast<long>(b.offset + b.length));
}

// The packet and event blocks of a dump by serial, and its gap blocks.
const dump_block* by_serial(const dump_part& w, uint32_t serial) {
    for (const dump_block& b : w.contents.blocks) {
        if (b.record && rec_serial(b.record) == serial) return &b;
    }
    return nullptr;
}

// The dump and block that hold the record of `serial`.
template <size_t N>
std::pair<const dump_part*, const dump_block*> source_of(const dump_part (&parts)[N], uint32_t serial) {
    for (const dump_part& p : parts) {
        if (const dump_block* b = by_serial(p, serial)) return {&p, b};
    }
    return {nullptr, nullptr};
}

TEST_F(Timeline, HoldsTheDumpsBlocksInTimeOrderWithEventsAndGapsOnInterfaceOne) {
    make_connection();
    ASSERT_EQ(test::list_dir(dir_.path()).size(), 4u);  // three dumps and "records"
    const dump_part parts[] = {walk(part(0)), walk(part(1)), walk(part(2))};
    const dump_part tl = walk(make_timeline(dir_ / STEM));

    // One section: dump .0's section header byte for byte and its
    // interface named by the connection's stem, then the records'
    // interface, named the same.
    ASSERT_EQ(tl.contents.sections.size(), 1u);
    ASSERT_GE(tl.contents.blocks.size(), 3u + std::size(EXPECTED));
    EXPECT_EQ(block_bytes(tl, tl.contents.blocks[0]), block_bytes(parts[0], parts[0].contents.blocks[0]));
    const std::string stem_hex = test::hex(reinterpret_cast<const uint8_t*>(STEM), strlen(STEM)) + " 00";
    const std::vector<uint8_t> idb0 = block_bytes(parts[0], parts[0].contents.blocks[1]);
    ASSERT_EQ(idb0.size(), 24u);  // no options but the end of options
    EXPECT_EQ(test::hex(block_bytes(tl, tl.contents.blocks[1])),
              "01 00 00 00 34 00 00 00 " + test::hex(idb0.data() + 8, 8) +  // link type, snap length
                  " 02 00 17 00 " + stem_hex +                                  // if_name, 23 bytes
                  " 00 00 00 00 34 00 00 00");
    const std::string description = "quarn_dumper records; stacks 1=alpha 2=bravo";
    EXPECT_EQ(test::hex(block_bytes(tl, tl.contents.blocks[2])),
              "01 00 00 00 64 00 00 00 93 00 00 00 00 00 00 00 "  // link type 147, snap length 0
              "02 00 17 00 " + stem_hex +                          // if_name
                  " 03 00 2C 00 " +                                // if_description, 44 bytes
                  test::hex(reinterpret_cast<const uint8_t*>(description.data()), description.size()) +
                  " 00 00 00 00 64 00 00 00");

    ASSERT_EQ(tl.contents.blocks.size(), 3u + std::size(EXPECTED));
    for (size_t i = 0; i < std::size(EXPECTED); i++) {
        const expect_item& e = EXPECTED[i];
        const dump_block& b = tl.contents.blocks[3 + i];
        SCOPED_TRACE("timeline record " + std::to_string(i));
        // Every record is an enhanced packet block; the walker gives those
        // of the records interface as events and gaps.
        ASSERT_EQ(b.type, BT_EPB);
        EXPECT_EQ(b.kind, e.kind == 'P'   ? dump_block_kind::packet
                          : e.kind == 'E' ? dump_block_kind::event
                                          : dump_block_kind::gap);
        EXPECT_EQ(b.timestamp, usec_of(e));
        if (e.kind == 'P') {
            // The daemon's own block, unchanged.
            EXPECT_EQ(b.interface_id, 0u);
            const auto [from, src] = source_of(parts, e.serial);
            ASSERT_TRUE(src);
            EXPECT_EQ(src->kind, dump_block_kind::packet);
            EXPECT_EQ(block_bytes(tl, b), block_bytes(*from, *src));
        } else if (e.kind == 'E') {
            // The event block's bytes after its enterprise number.
            EXPECT_EQ(b.interface_id, 1u);
            ASSERT_EQ(b.caplen, TIMELINE_EVENT_BYTES);
            EXPECT_EQ(b.origlen, TIMELINE_EVENT_BYTES);
            EXPECT_EQ(b.length, 28u + 288 + 8);
            const auto [from, src] = source_of(parts, e.serial);
            ASSERT_TRUE(src);
            ASSERT_EQ(src->kind, dump_block_kind::event);
            const std::vector<uint8_t> ev = block_bytes(*from, *src);
            EXPECT_EQ(test::hex(b.packet, b.caplen), test::hex(ev.data() + 12, ev.size() - 16));
            EXPECT_EQ(test::hex(b.packet, 16), "01 00 00 00 AD 0B 14 01 D9 7E 00 00 02 00 00 00");
            EXPECT_EQ(rec_serial(b.packet + 16), e.serial);
        } else {
            EXPECT_EQ(b.interface_id, 1u);
            ASSERT_EQ(b.caplen, TIMELINE_GAP_BYTES);
            std::vector<uint8_t> want = test::unhex("02 00 00 00 00 00 00 00 00 00 00 00");
            store<uint32_t>(want.data() + 4, e.missing);
            EXPECT_EQ(test::hex(b.packet, b.caplen), test::hex(want));
        }
    }

    // Only the gap between two dumps carries a comment, naming both files.
    const dump_block& jump = tl.contents.blocks[3 + 6];
    const std::string comment = std::string(STEM) + ".1.pcapng and " + STEM + ".2.pcapng";
    const std::string text = "8 records missing between " + comment;
    const std::vector<uint8_t> jb = block_bytes(tl, jump);
    ASSERT_EQ(jb.size(), 28u + 12 + 4 + ((text.size() + 3) & ~size_t{3}) + 8);
    EXPECT_EQ(test::u16_at(jb, 40), 1u);
    EXPECT_EQ(test::u16_at(jb, 42), text.size());
    EXPECT_EQ(std::string(jb.begin() + 44, jb.begin() + 44 + static_cast<long>(text.size())), text);
    EXPECT_EQ(tl.contents.blocks[3 + 2].length, 28u + 12 + 8);
}

TEST_F(Timeline, CheckedAndReadBackAsRecords) {
    make_connection();
    const std::string tl = make_timeline(dir_ / STEM);
    const test::run_result r = test::inspect({"--check", tl});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tl + ": ok: 1 section, 7 records (4 packets, 3 events), 2 gaps, 10 records missing\n");

    // The walker gives the records interface's blocks as events and gaps,
    // so a timeline is itself an input: its own timeline is the same file
    // but for the comment, which named the dumps it came from.
    const dump_part first = walk(tl);
    const dump_part again = walk(make_timeline(tl, "again.pcapng"));
    ASSERT_EQ(again.contents.blocks.size(), first.contents.blocks.size());
    for (size_t i = 0; i < first.contents.blocks.size(); i++) {
        const dump_block& b = first.contents.blocks[i];
        if (i == 3 + 6) {
            EXPECT_EQ(b.kind, dump_block_kind::gap);
            EXPECT_EQ(again.contents.blocks[i].missing, 8u);
            EXPECT_EQ(again.contents.blocks[i].length, 28u + 12 + 8);
            continue;
        }
        EXPECT_EQ(block_bytes(again, again.contents.blocks[i]), block_bytes(first, b)) << i;
    }

    // Faults of the records interface, found by the strict walk only.
    struct fault_case {
        const char* name;
        size_t block;   // index among the timeline's blocks
        size_t at;      // offset in that block to change
        uint32_t value;
        size_t fault_at;  // byte of the block the fault names
        const char* message;
    };
    const fault_case cases[] = {
        {"unknown subtype", 3 + 1, 28, 9, 28, "record of subtype 9 on the records interface"},
        {"empty gap", 3 + 2, 32, 0, 32, "gap record with no records missing"},
        {"cut record", 3 + 1, 24, 300, 20, "record of 288 bytes (300 on the wire)"},
        {"record option", 3 + 1, 32, 0x00C80BAD, 32, "record option of length 200"},
        {"gap option", 3 + 2, 36, 9, 36, "unexpected option 9 in a record"},
    };
    for (const fault_case& fc : cases) {
        SCOPED_TRACE(fc.name);
        std::vector<uint8_t> f = first.bytes;
        const size_t block_at = first.contents.blocks[fc.block].offset;
        store<uint32_t>(f.data() + block_at + fc.at, fc.value);
        dump_contents c;
        dump_fault fault;
        ASSERT_EQ(dump_parse(f.data(), f.size(), true, c, fault), -1);
        // Named at the start of the block, with the field's byte.
        EXPECT_EQ(fault.offset, block_at);
        EXPECT_EQ(fault.message.find(fc.message), 0u) << fault.message;
        EXPECT_TRUE(fault.message.ends_with(" (byte " + std::to_string(fc.fault_at) + " of the block)"))
            << fault.message;
    }
}

// The rows of a --csv table by column name (no cell of these tables holds
// a comma).
std::vector<std::map<std::string, std::string>> csv_table(const std::string& csv) {
    auto cells = [](const std::string& l) {
        std::vector<std::string> c;
        std::stringstream in(l);
        for (std::string x; std::getline(in, x, ',');) c.push_back(x);
        if (!l.empty() && l.back() == ',') c.push_back("");
        return c;
    };
    const std::vector<std::string> lines = test::split_lines(csv);
    std::vector<std::map<std::string, std::string>> rows;
    if (lines.empty()) return rows;
    const std::vector<std::string> head = cells(lines[0]);
    for (size_t i = 1; i < lines.size(); i++) {
        const std::vector<std::string> c = cells(lines[i]);
        std::map<std::string, std::string> row;
        for (size_t k = 0; k < head.size() && k < c.size(); k++) row[head[k]] = c[k];
        rows.push_back(row);
    }
    return rows;
}

// Records go in the order of their times' values, equal times in serial
// order counted modulo 2^32, whatever the order of the blocks: two dumps
// written into one file the later first, as a merge of the two can leave
// them. A gap stays before the record after it.
TEST_F(Timeline, TimeValueThenSerialOrder) {
    struct at {
        uint32_t serial;
        int64_t sec, usec;  // record time; the header's offset is 0 or 1700000000
    };
    const struct {
        const char* name;
        int64_t offset_sec;
        std::vector<at> earlier, later;  // the two dumps
        std::string want;                // "serial" per record, "G<missing>" per gap
    } cases[] = {
        {"equal times", OFFSET_SEC, {{89, 100, 0}, {90, 100, 0}, {91, 100, 0}}, {{92, 100, 0}, {93, 100, 0}},
         "89 90 91 92 93"},
        {"equal times across the wrap", OFFSET_SEC, {{4294967294u, 100, 0}, {4294967295u, 100, 0}},
         {{0, 100, 0}, {1, 100, 0}}, "4294967294 4294967295 0 1"},
        {"a gap in the later dump", OFFSET_SEC, {{5, 100, 0}, {6, 100, 0}}, {{7, 100, 0}, {10, 100, 0}},
         "5 6 7 G2 10"},
        // 9.5 s before 10 s, though "10.000000" sorts before "9.500000" as text.
        {"times of different widths", 0, {{5, 9, 500000}}, {{6, 10, 0}}, "5 6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& n : test::list_dir(dir_.path())) unlink((dir_ / n).c_str());
        qb::header_fields h;
        h.offset_sec = c.offset_sec;
        for (const std::vector<at>* recs_at : {&c.earlier, &c.later}) {
            std::vector<qb::record_fields> recs;
            for (const at& a : *recs_at) recs.push_back(rec(a.serial, test::STACK_A, a.sec, a.usec, REC_EVENT_IN, true));
            dump(h, recs);
        }
        std::map<int32_t, std::string> dumps;
        for (const std::string& n : test::list_dir(dir_.path())) {
            dump_name dn;
            if (parse_dump_name(n, dn)) dumps[dn.seq] = dir_ / n;
        }
        ASSERT_EQ(dumps.size(), 2u);
        const std::string swapped = dir_ / "swapped.pcapng";
        std::vector<uint8_t> bytes = test::read_file(dumps.rbegin()->second);
        const std::vector<uint8_t> earlier = test::read_file(dumps.begin()->second);
        bytes.insert(bytes.end(), earlier.begin(), earlier.end());
        test::write_file(swapped, bytes);

        timeline t;
        std::string err;
        ASSERT_EQ(timeline_load(swapped, t, err), 0) << err;
        std::string got;
        for (const timeline_item& it : t.items) {
            if (!got.empty()) got += " ";
            got += it.kind == timeline_kind::gap ? "G" + std::to_string(it.missing) : std::to_string(rec_serial(it.record));
        }
        EXPECT_EQ(got, c.want);
        // The same order in the timeline file and in --csv.
        const std::string tl = make_timeline(swapped);
        const test::run_result r = test::inspect({"--csv", swapped});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string csv_serials;
        for (auto& row : csv_table(r.out)) {
            if (!csv_serials.empty()) csv_serials += " ";
            csv_serials += row["block"] == "gap" ? "G" + row["missing"] : row["serial"];
        }
        EXPECT_EQ(csv_serials, c.want);
        const dump_part tw = walk(tl);
        std::string tl_serials;
        for (const dump_block& b : tw.contents.blocks) {
            if (!dump_block_has_record(b) && b.kind != dump_block_kind::gap) continue;
            if (!tl_serials.empty()) tl_serials += " ";
            tl_serials += b.kind == dump_block_kind::gap ? "G" + std::to_string(b.missing) : std::to_string(rec_serial(b.record));
        }
        EXPECT_EQ(tl_serials, c.want);
    }
}

// Rows of two connections with the same times and serial numbers, given
// in either order, as rows_merge hands them on: by time, then stem, then
// serial, each row with its own connection.
TEST_F(Timeline, RowsOfTwoStemsByTimeThenStemThenSerial) {
    make_connection(444);
    make_connection(443);
    const std::string a = dir_ / STEM, b = dir_ / "conn_444_10.0.0.2_50000";
    std::vector<std::string> got[2];
    const std::vector<std::string> orders[2] = {{b, a}, {a, b}};
    for (int k = 0; k < 2; k++) {
        row_merge_out out;
        out.format = [](const record_row& r, std::string_view stem, std::string& line) {
            line = row_time_text(r.sec, r.usec) + " " + std::string(stem.substr(0, 8)) + " " +
                   (r.kind == row_kind::gap ? "G" + std::to_string(r.missing) : std::to_string(r.serial));
        };
        out.write = [&](const std::string& line) {
            got[k].push_back(line);
            return true;
        };
        std::vector<std::string> errors;
        ASSERT_EQ(rows_merge(orders[k], out, errors), 0);
        EXPECT_TRUE(errors.empty());
    }
    std::vector<std::string> want;
    for (const expect_item& e : EXPECTED) {
        for (const char* stem : {"conn_443", "conn_444"}) {
            want.push_back(epoch_text(usec_of(e)) + " " + stem + " " +
                           (e.kind == 'G' ? "G" + std::to_string(e.missing) : std::to_string(e.serial)));
        }
    }
    // Within one time and one stem, a gap before the record after it: the
    // items of EXPECTED at one time are already in that order.
    std::stable_sort(want.begin(), want.end(), [](const std::string& x, const std::string& y) {
        return x.substr(0, x.find(' ', x.find(' ') + 1)) < y.substr(0, y.find(' ', y.find(' ') + 1));
    });
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[1], want);
}

// "<seconds>.<nanoseconds>" as tshark prints frame.time_epoch, and the
// interface id, for every frame of the expected items from `from` to `to`.
std::string frames_of(size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; i++) {
        out += epoch_text(usec_of(EXPECTED[i])) + "000\t" + (EXPECTED[i].kind == 'P' ? "0" : "1") + "\n";
    }
    return out;
}

std::string tshark_frames(const std::string& path) {
    const test::run_result r =
        tool("tshark", {"-r", path, "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.interface_id"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST_F(Timeline, CaptureToolsCountCutAndMergeIt) {
    make_connection();
    const std::string tl = make_timeline(dir_ / STEM);
    const size_t n = std::size(EXPECTED);

    // Every record and gap counted, with the first and last time.
    test::run_result r = tool("capinfos", {"-T", "-r", "-c", "-a", "-e", "-S", tl});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tl + "\t" + std::to_string(n) + "\t" + epoch_text(usec_of(EXPECTED[0])) + "\t" +
                         epoch_text(usec_of(EXPECTED[n - 1])) + "\n");

    // A time for every frame, packets on interface 0, the rest on 1.
    EXPECT_EQ(tshark_frames(tl), frames_of(0, n));

    // A window from the first event to the second keeps the events, the gap
    // and the packets inside it (the end is exclusive).
    const std::string cut = dir_ / "cut.pcapng";
    r = tool("editcap", {"-A", epoch_text(usec_of(EXPECTED[1])), "-B", epoch_text(usec_of(EXPECTED[5])), tl, cut});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tshark_frames(cut), frames_of(1, 5));

    // A second connection a second later, interleaved in time with the
    // first: the merge is in time order and keeps every interface, each
    // named by its connection, the records interfaces with their stacks.
    make_connection(444, 1);
    const std::string stem2 = "conn_444_10.0.0.2_50000";
    const std::string tl2 = make_timeline(dir_ / stem2, "tl2.pcapng");
    const std::string merged = dir_ / "merged.pcapng";
    r = tool("mergecap", {"-w", merged, tl, tl2});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool("tshark", {"-r", merged, "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.interface_name", "-e",
                        "frame.interface_description"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = test::split_lines(r.out);
    ASSERT_EQ(lines.size(), 2 * n);
    std::vector<std::string> times;
    std::map<std::string, size_t> per_interface;  // name and description
    for (const std::string& l : lines) {
        times.push_back(l.substr(0, l.find('\t')));
        per_interface[l.substr(l.find('\t') + 1)]++;
    }
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << r.out;
    const size_t non_packets = static_cast<size_t>(
        std::count_if(std::begin(EXPECTED), std::end(EXPECTED), [](const expect_item& e) { return e.kind != 'P'; }));
    const std::string stacks = "\tquarn_dumper records; stacks 1=alpha 2=bravo";
    const std::map<std::string, size_t> want = {
        {std::string(STEM) + "\t", n - non_packets}, {std::string(STEM) + stacks, non_packets},
        {stem2 + "\t", n - non_packets}, {stem2 + stacks, non_packets}};
    EXPECT_EQ(per_interface, want);
}

TEST_F(Timeline, CompressedDumpsAndSingleFiles) {
    make_connection();
    const dump_part plain = walk(make_timeline(dir_ / STEM));
    // The parts compressed, each its own way: the same blocks result, but
    // for the name of the compressed file in the comment of the jump.
    ASSERT_TRUE(test::have_program("xz") && test::have_program("zstd"));
    ASSERT_EQ(tool("xz", {"-0", part(0)}).status, 0);
    ASSERT_EQ(tool("zstd", {"-q", "--rm", part(1)}).status, 0);
    ASSERT_FALSE(test::file_exists(part(0)));
    ASSERT_FALSE(test::file_exists(part(1)));
    const dump_part packed = walk(make_timeline(dir_ / STEM, "tl_z.pcapng"));
    ASSERT_EQ(packed.contents.blocks.size(), plain.contents.blocks.size());
    for (size_t i = 0; i < plain.contents.blocks.size(); i++) {
        if (i == 3 + 6) continue;
        EXPECT_EQ(block_bytes(packed, packed.contents.blocks[i]), block_bytes(plain, plain.contents.blocks[i])) << i;
    }
    const std::vector<uint8_t> jump = block_bytes(packed, packed.contents.blocks[3 + 6]);
    EXPECT_NE(std::string(jump.begin(), jump.end())
                  .find("8 records missing between " + std::string(STEM) + ".1.pcapng.zst and "),
              std::string::npos);

    // One file given by name: its own section header and records only, in
    // time order.
    const dump_part one = walk(make_timeline(part(1) + ".zst", "one.pcapng"));
    const dump_part src = walk(part(1) + ".zst");
    ASSERT_EQ(one.contents.blocks.size(), 5u);
    EXPECT_EQ(block_bytes(one, one.contents.blocks[0]), block_bytes(src, src.contents.blocks[0]));
    EXPECT_EQ(rec_serial(one.contents.blocks[3].record), 11u);
    EXPECT_EQ(one.contents.blocks[4].interface_id, 1u);
    EXPECT_EQ(rec_serial(one.contents.blocks[4].packet + 16), 10u);
}

TEST_F(Timeline, RefusesWhatItCannotRead) {
    make_connection();
    const std::string out = dir_ / "out.pcapng";
    struct refusal {
        std::vector<std::string> args;
        std::string err;  // start of the one line on stderr
    };
    const refusal cases[] = {
        {{"--timeline", dir_ / "nothing"}, "usage:"},
        {{"--timeline", dir_ / "nothing", "-o", out},
         "quarn_inspect: " + dir_ / "nothing" + ": no dumps named"},
        {{"--csv", "--stem", STEM, dir_ / STEM}, "usage:"},
    };
    for (const refusal& c : cases) {
        const test::run_result r = test::inspect(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
        if (c.err != "usage:") {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        EXPECT_FALSE(test::file_exists(out));
    }
}

// A dump cut in its last block, alone or as a part of its connection:
// --csv, --timeline and --plot give every whole block before the cut, then
// name the fault on standard error with status 1.
TEST_F(Timeline, CutFilesGiveTheirWholeBlocks) {
    ASSERT_TRUE(test::have_program("gnuplot"));
    make_connection();
    // What the whole files give, less the record of serial 11, the last
    // block of dump .1; in the connection's timeline it is one more record
    // missing before serial 20.
    const auto csv_of = [](const test::run_result& r) {
        std::vector<std::string> serials;
        for (auto& row : csv_table(r.out)) serials.push_back(row["block"] + " " + row["serial"] + " " + row["time"]);
        return serials;
    };
    const auto timeline_of = [](const std::string& path) {
        std::vector<std::string> serials;
        for (const dump_block& b : walk(path).contents.blocks) {
            if (dump_block_has_record(b)) serials.push_back(std::to_string(rec_serial(b.record)));
            else if (b.kind == dump_block_kind::gap) serials.push_back("G" + std::to_string(b.missing));
        }
        return serials;
    };
    const auto without_11 = [](std::vector<std::string> v) {
        std::erase_if(v, [](const std::string& x) { return x == "11" || x.starts_with("packet 11 "); });
        return v;
    };
    const std::vector<std::string> args[] = {{dir_ / STEM}, {part(1)}};
    std::vector<std::string> want_csv[2];
    for (int i = 0; i < 2; i++) want_csv[i] = without_11(csv_of(test::inspect({"--csv", args[i][0]})));
    ASSERT_EQ(want_csv[0].size(), std::size(EXPECTED) - 1);
    const std::vector<std::string> want_timeline[2] = {{"5", "6", "G2", "9", "10", "G9", "20", "21"}, {"10"}};
    std::vector<uint8_t> cut = test::read_file(part(1));
    cut.resize(cut.size() - 10);
    test::write_file(part(1), cut);

    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(args[i][0]);
        const std::string fault = "quarn_inspect: " + part(1) + ": offset ";
        test::run_result r = test::inspect({"--csv", args[i][0]});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.starts_with(fault)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(csv_of(r), want_csv[i]);

        const std::string tl = dir_ / "cut_tl.pcapng";
        r = test::inspect({"--timeline", args[i][0], "-o", tl});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.starts_with(fault)) << r.err;
        EXPECT_EQ(timeline_of(tl), want_timeline[i]);

        const std::string png = dir_ / "cut.png";
        r = test::inspect({"--plot", args[i][0], "-o", png});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.starts_with(fault)) << r.err;
        EXPECT_TRUE(test::file_exists(png));
        unlink(png.c_str());
        unlink(tl.c_str());
    }
}

// A stem read as a stream, a part or two at a time, gives what the whole
// stem in memory gives: the same timeline file and the same picture (data
// files and script), however its parts lie in time. Each case is one dump
// per message; a cut part loses the record `cut_serial` and what follows.
TEST_F(Timeline, StemStreamedAsTheWholeStem) {
    using test::STACK_A;
    const auto r = [](uint32_t serial, int64_t sec, int64_t usec, bool packet) {
        return rec(serial, STACK_A, sec, usec, packet ? (serial % 2 ? REC_EVENT_IN : 2) : 3, packet);
    };
    const struct {
        const char* name;
        std::vector<std::vector<qb::record_fields>> messages;
        uint32_t cut_serial;  // 0: no cut
        const char* want;     // the timeline's records ("G<missing>" per gap)
    } cases[] = {
        {"parts out of time order",
         {{r(5, 200, 0, true), r(6, 200, 500000, false)}, {r(7, 100, 0, true), r(8, 100, 500000, true)}},
         0, "7 8 5 6"},
        {"parts that overlap in time",
         {{r(5, 100, 0, true), r(6, 102, 0, true), r(7, 104, 0, false)},
          {r(8, 101, 0, true), r(9, 103, 0, false), r(10, 105, 0, true)}},
         0, "5 8 6 9 7 10"},
        // The cut part ends with a gap block, at the time of the record
        // before it, which is also the next part's first time: the gap
        // stands after that record, before the next part's first.
        {"a part cut after a gap block",
         {{r(5, 100, 0, true), r(6, 101, 0, false), r(9, 101, 500000, true)}, {r(10, 101, 0, true), r(11, 102, 0, true)}},
         9, "5 6 G2 G3 10 11"},
    };
    const char* const files[] = {"state.dat", "sent.dat",   "resent.dat", "acks.dat", "events.dat",
                                 "limits.dat", "recovery.dat", "rto.dat",   "plot.gp"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& n : test::list_dir(dir_.path())) unlink((dir_ / n).c_str());
        qb::header_fields h;
        h.offset_sec = OFFSET_SEC;
        for (const auto& m : c.messages) dump(h, m);
        // The parts by number (the numbers go on from the case before).
        std::map<int32_t, std::string> parts;
        for (const std::string& n : test::list_dir(dir_.path())) {
            dump_name dn;
            if (parse_dump_name(n, dn)) parts[dn.seq] = dir_ / n;
        }
        ASSERT_EQ(parts.size(), c.messages.size());
        if (c.cut_serial != 0) {
            const dump_part w = walk(parts.begin()->second);
            const dump_block* b = by_serial(w, c.cut_serial);
            ASSERT_TRUE(b);
            std::vector<uint8_t> bytes = w.bytes;
            bytes.resize(b->offset + 10);
            test::write_file(parts.begin()->second, bytes);
        }
        const int want_rc = c.cut_serial != 0 ? 1 : 0;
        const std::string stem = dir_ / STEM;

        timeline t;
        std::string load_err;
        ASSERT_EQ(timeline_load(stem, t, load_err), want_rc) << load_err;
        std::vector<uint8_t> whole;
        std::string err;
        ASSERT_EQ(timeline_pcapng(t, whole, err), 0) << err;
        std::vector<uint8_t> streamed;
        std::string stream_err;
        EXPECT_EQ(timeline_stream_stem(stem, [&](const std::vector<uint8_t>& b) {
            streamed.insert(streamed.end(), b.begin(), b.end());
            return true;
        }, stream_err), want_rc);
        EXPECT_EQ(stream_err, load_err);
        EXPECT_TRUE(streamed == whole);
        std::string got;
        for (const timeline_item& it : t.items) {
            if (!got.empty()) got += " ";
            got += it.kind == timeline_kind::gap ? "G" + std::to_string(it.missing) : std::to_string(rec_serial(it.record));
        }
        EXPECT_EQ(got, c.want);

        temp_dir from_whole, from_stream;
        std::string script, fault;
        ASSERT_EQ(plot_write_files(t, from_whole.path(), plot_format::png, script, err), 0) << err;
        ASSERT_EQ(plot_write_stem_files(stem, from_stream.path(), plot_format::png, script, fault, err), 0) << err;
        EXPECT_EQ(fault, c.cut_serial != 0 ? load_err : "");
        for (const char* f : files) {
            std::string a = test::read_text(from_whole / f), b = test::read_text(from_stream / f);
            // The script names its own directory.
            for (auto [text, dir] : {std::pair{&a, from_whole.path()}, std::pair{&b, from_stream.path()}}) {
                for (size_t at; (at = text->find(dir)) != std::string::npos;) text->replace(at, dir.size(), "DIR");
            }
            EXPECT_EQ(b, a) << f;
        }
    }
}

// A short story of a connection whose records carry real TCP state: the
// handshake, two segments, an RTO and the retransmission, bad_retran, prr
// and reorder events, three records lost, one more segment and the end.
struct story_step {
    int64_t usec;  // after 100 s of record time
    uint8_t event;
    bool packet;
    uint32_t seq, ack, len;  // packets: relative to ISS
    uint8_t tcp_flags;
    int32_t state;
    uint32_t una, max;  // relative to ISS
    uint32_t cwnd, ssthresh, srtt, rttvar;
};
constexpr uint32_t ISS = 1000000;
constexpr uint32_t UNSET = 0x3FFFC000;  // FreeBSD's initial ssthresh
constexpr uint32_t PEER_ISS = 500;
const story_step STORY[] = {
    {0, REC_EVENT_IN, true, PEER_ISS, 0, 0, 0x02, 3, 0, 0, UNSET, UNSET, 0, 0},
    {10000, 2, true, 0, PEER_ISS + 1, 0, 0x12, 3, 0, 1, 14600, UNSET, 0, 0},
    {50000, REC_EVENT_IN, true, PEER_ISS + 1, 1, 0, 0x10, 4, 1, 1, 14600, UNSET, 3200, 1600},
    {60000, 2, true, 1, PEER_ISS + 1, 1000, 0x18, 4, 1, 1001, 14600, UNSET, 3200, 1600},
    {70000, 2, true, 1001, PEER_ISS + 1, 1000, 0x18, 4, 1, 2001, 14600, UNSET, 3200, 1600},
    {100000, REC_EVENT_IN, true, PEER_ISS + 1, 1001, 0, 0x10, 4, 1001, 2001, 15600, UNSET, 3300, 1500},
    {200000, 3, false, 0, 0, 0, 0, 4, 1001, 2001, 1000, 5000, 3300, 1500},
    {210000, 2, true, 1001, PEER_ISS + 1, 1000, 0x18, 4, 1001, 2001, 1000, 5000, 3300, 1500},
    {250000, 5, false, 0, 0, 0, 0, 4, 1001, 2001, 1000, 5000, 3300, 1500},
    {300000, 6, false, 0, 0, 0, 0, 4, 1001, 2001, 2000, 5000, 3300, 1500},
    {310000, 7, false, 0, 0, 0, 0, 4, 2001, 2001, 3000, 5000, 3100, 1400},
    {400000, 2, true, 2001, PEER_ISS + 1, 1000, 0x18, 4, 2001, 3001, 4000, 5000, 3100, 1400},
    {500000, REC_EVENT_CONN_END, false, 0, 0, 0, 0, 10, 3001, 3001, 4000, 5000, 3000, 1400},
};
constexpr size_t STORY_GAP_BEFORE = 11;  // three serial numbers lost before this step
constexpr uint32_t STORY_MISSING = 3;

// The state fields of a record, at their offsets in the record.
void put_state(uint8_t* r, const story_step& s) {
    store<int32_t>(r + 56, s.state);
    store<uint32_t>(r + 64, ISS);
    store<uint32_t>(r + 72, ISS + s.una);
    store<uint32_t>(r + 76, ISS + s.max);
    store<uint32_t>(r + 80, s.cwnd);
    store<uint32_t>(r + 84, ISS + s.max);
    store<uint32_t>(r + 92, 65535);
    store<uint32_t>(r + 96, s.ssthresh);
    store<uint32_t>(r + 100, s.srtt);
    store<uint32_t>(r + 104, s.rttvar);
}

std::vector<uint8_t> story_message(const std::string& id) {
    qb::header_fields h;
    h.id = id;
    h.offset_sec = OFFSET_SEC;
    h.offset_usec = OFFSET_USEC;
    std::vector<qb::record_fields> recs;
    uint32_t serial = 1;
    for (size_t i = 0; i < std::size(STORY); i++) {
        const story_step& s = STORY[i];
        if (i == STORY_GAP_BEFORE) serial += STORY_MISSING;
        qb::record_fields r;
        r.serial = serial++;
        r.stack_id = test::STACK_A;
        r.sec = 100 + s.usec / 1000000;
        r.usec = s.usec % 1000000;
        r.event_id = s.event;
        r.flags = s.packet ? REC_FLAG_HAS_TH : 0;
        r.payload_len = s.len;
        if (s.packet) {
            const bool in = s.event == REC_EVENT_IN;
            r.th = in ? qb::tcp_header(50000, 443, s.seq, ISS + s.ack, 5, s.tcp_flags, 65535)
                      : qb::tcp_header(443, 50000, ISS + s.seq, s.ack, 5, s.tcp_flags, 65535);
        }
        recs.push_back(r);
    }
    std::vector<uint8_t> m = qb::message(h, recs);
    for (size_t i = 0; i < std::size(STORY); i++) put_state(m.data() + LOG_HEADER_SIZE + i * LOG_RECORD_SIZE, STORY[i]);
    return m;
}

std::string x_of(const story_step& s) { return std::to_string(s.usec / 1000000) + "." + [&] {
    char b[8];
    snprintf(b, sizeof b, "%06lld", static_cast<long long>(s.usec % 1000000));
    return std::string(b);
}(); }

TEST_F(Timeline, PlotDataFollowTheRecords) {
    dump_bytes(story_message("story"));
    const std::string stem = dir_ / "story_443_10.0.0.2_50000";
    std::string err;
    timeline t;
    ASSERT_EQ(timeline_load(stem, t, err), 0) << err;
    temp_dir plot_dir;
    std::string script;
    ASSERT_EQ(plot_write_files(t, plot_dir.path(), plot_format::svg, script, err), 0) << err;

    // One state row per record: sequence numbers from the ISS, the windows
    // and times as kept, a window left out while it is not set; no
    // milliseconds, as the stack "alpha" keeps no known unit.
    std::string want_state;
    auto window = [](uint32_t w) { return w == UNSET ? std::string("-") : std::to_string(w); };
    for (const story_step& s : STORY) {
        want_state += x_of(s) + " " + std::to_string(s.una) + " " + std::to_string(s.max) + " " +
                      window(s.cwnd) + " " + window(s.ssthresh) + " 65535 " + std::to_string(s.srtt) + " " +
                      std::to_string(s.rttvar) + " - - - " + std::to_string(s.max - s.una) + " 0 -\n";
    }
    EXPECT_EQ(test::read_text(plot_dir / "state.dat"), want_state);
    // Segments that take sequence space, the one sent again apart; the
    // acknowledgements received (the SYN carries none).
    EXPECT_EQ(test::read_text(plot_dir / "sent.dat"),
              "0.010000 0\n0.060000 1\n0.070000 1001\n0.400000 2001\n");
    EXPECT_EQ(test::read_text(plot_dir / "resent.dat"), "0.210000 1001\n");
    EXPECT_EQ(test::read_text(plot_dir / "acks.dat"), "0.050000 1\n0.100000 1001\n");
    // Events of interest on their rows (rto, bad_retran, connend, prr,
    // reorder in the table's order), colour as a number; the gap last.
    EXPECT_EQ(test::read_text(plot_dir / "events.dat"),
              "0.200000 0 14034728\n0.250000 1 16744206\n0.300000 3 9725885\n0.310000 4 9197131\n"
              "0.500000 2 0\n0.400000 5 12595248\n");
    const std::string gp = test::read_text(script);
    // The gap spans the time from the record before it to the one after.
    EXPECT_NE(gp.find(" rect from 0.310000, graph 0 to 0.400000, graph 1 behind fc rgb '#f4b6b6'"), std::string::npos)
        << gp;
    // Its count right of its mark, on the gap row.
    double label_x = 0;
    const size_t label = gp.find(" '3' at ");
    ASSERT_NE(label, std::string::npos) << gp;
    ASSERT_EQ(sscanf(gp.c_str() + label, " '3' at %lf, 5 left", &label_x), 1) << gp.substr(label, 40);
    EXPECT_GT(label_x, 0.4);
    EXPECT_LT(label_x, 0.41);
    EXPECT_NE(gp.find("set ytics ('rto' 0, 'bad_retran' 1, 'connend (end)' 2, 'prr' 3, 'reorder' 4, "
                      "'records lost' 5)"),
              std::string::npos) << gp;
    EXPECT_NE(gp.find("set xlabel 'seconds since 2023-11-14 22:15:00.250000 UTC'"), std::string::npos) << gp;
}

// The text of every element of an SVG file, parsed as XML by python3.
std::string svg_texts(const std::string& path, std::string* err) {
    test::run_options o;
    o.args = {"-c",
              "import sys, xml.etree.ElementTree as E\n"
              "for e in E.parse(sys.argv[1]).iter():\n"
              "    if e.text and e.text.strip(): print(e.text.strip())\n",
              path};
    const test::run_result r = test::run("/usr/bin/python3", o);
    *err = r.err;
    return r.status == 0 ? r.out : std::string();
}

TEST_F(Timeline, PlotDrawsPngAndSvg) {
    // An id that a gnuplot string or an XML text would trip over.
    dump_bytes(story_message("it's \"x\" <&> \\ \xC3\xA9"));
    std::vector<std::string> names = test::list_dir(dir_.path());
    const auto dump = std::find_if(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".0.pcapng"); });
    ASSERT_NE(dump, names.end());
    const std::string file = dir_ / *dump;

    const std::string png = dir_ / "story.png";
    test::run_result r = test::inspect({"--plot", file, "-o", png});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<uint8_t> p = test::read_file(png);
    ASSERT_GT(p.size(), 24u);
    EXPECT_EQ(test::hex(p.data(), 16), "89 50 4E 47 0D 0A 1A 0A 00 00 00 0D 49 48 44 52");  // signature, IHDR
    auto be = [&](size_t at) { return (uint32_t{p[at]} << 24) | (p[at + 1] << 16) | (p[at + 2] << 8) | p[at + 3]; };
    EXPECT_EQ(be(16), 1400u);
    EXPECT_EQ(be(20), 1050u);
    EXPECT_EQ(test::hex(p.data() + p.size() - 8, 8), "49 45 4E 44 AE 42 60 82");  // IEND

    const std::string svg = dir_ / "story.SVG";
    r = test::inspect({"--plot", file, "-o", svg});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string err;
    const std::vector<std::string> texts = test::split_lines(svg_texts(svg, &err));
    ASSERT_FALSE(texts.empty()) << err;
    for (const char* want : {"events of interest", "sequence space (bytes from ISS)", "windows (bytes)",
                             "rttvar (raw)", "rto", "bad_retran", "prr", "reorder", "connend (end)",
                             "records lost", "3", "what limited sending", "flight", "rcv_wnd (own)", "snd_una", "snd_max", "segment sent (seq)",
                             "retransmitted (seq)", "ack received", "cwnd", "ssthresh (set)", "snd_wnd (peer)", "srtt (raw)", "rttvar (raw, right)",
                             "seconds since 2023-11-14 22:15:00.250000 UTC"}) {
        EXPECT_NE(std::find(texts.begin(), texts.end(), want), texts.end()) << want;
    }
    const auto title = std::find_if(texts.begin(), texts.end(), [](const std::string& l) { return l.starts_with("it's"); });
    ASSERT_NE(title, texts.end());
    EXPECT_EQ(*title, "it's \"x\" <&> \\ ??: local 10.0.0.1 port 443, foreign 10.0.0.2 port 50000; stacks 1=alpha");
}

TEST_F(Timeline, PlotRefusals) {
    dump_bytes(story_message("story"));
    const std::string stem = dir_ / "story_443_10.0.0.2_50000";
    const std::string out = dir_ / "p.png";

    // gnuplot not on PATH: one line, status 1, nothing made.
    test::run_options o;
    o.args = {"--plot", stem, "-o", out};
    o.env["PATH"] = dir_ / "no-such-dir";
    test::run_result r = test::run(test::inspect_path(), o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarn_inspect: gnuplot not found on PATH; --plot draws with it (Debian: gnuplot-nox, "
                     "FreeBSD: math/gnuplot)\n");
    EXPECT_FALSE(test::file_exists(out));

    // A gnuplot that fails: its complaint in one line, nothing made, and
    // its temporary directory gone.
    temp_dir bin;
    test::write_file(bin / "gnuplot", std::string("#!/bin/sh\necho \"$1\" > ") + (bin / "script") +
                                          "\necho '         line 3: unknown terminal' >&2\nexit 1\n");
    ASSERT_EQ(chmod((bin / "gnuplot").c_str(), 0755), 0);
    o.env["PATH"] = bin.path();
    r = test::run(test::inspect_path(), o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarn_inspect: gnuplot ended with status 1: line 3: unknown terminal\n");
    EXPECT_FALSE(test::file_exists(out));
    const std::string script = test::read_text(bin / "script");
    ASSERT_TRUE(script.ends_with("/plot.gp\n")) << script;
    EXPECT_FALSE(test::file_exists(script.substr(0, script.rfind('/'))));

    // A capture without a single record: said so, nothing drawn.
    ASSERT_TRUE(test::have_program("text2pcap") && test::have_program("editcap"));
    test::write_file(dir_ / "p.txt", std::string("000000 02 00 00 00 45 00 00 2c 00 00 00 00 40 06 00 00 0a 00 00 01 "
                                                 "0a 00 00 02 01 bb c3 50 00 00 00 64 00 00 00 c8 50 12 20 00 00 00 00 00\n"));
    test::shell("text2pcap -q -F pcap -l 0 " + test::q(dir_ / "p.txt") + " " + test::q(dir_ / "p.pcap") +
                " && editcap -F pcapng " + test::q(dir_ / "p.pcap") + " " + test::q(dir_ / "loop.pcapng"));
    r = test::inspect({"--plot", dir_ / "loop.pcapng", "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarn_inspect: nothing to draw: no record in its blocks\n");
    EXPECT_FALSE(test::file_exists(out));

    // Neither a PNG nor an SVG name.
    r = test::inspect({"--plot", stem, "-o", dir_ / "p.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarn_inspect: " + (dir_ / "p.jpg") + ": --plot writes a .png or an .svg file\n");
}

// The bundled sample through the real daemon: the connection with the most
// dumps as a timeline holds every record and gap of its dumps, plus one
// gap for each serial jump between them, in time order.
TEST(TimelineSample, TheSampleConnectionWithTheMostDumps) {
    temp_dir out;
    test::run_options o;
    o.args = {"-u", test::current_user(), "-D", out.path(), "-f", std::string(QUARN_SOURCE_DIR) + "/data/sample.tcplog"};
    o.env["QUARN_SYSCTL_DIR"] = std::string(QUARN_SOURCE_DIR) + "/data/sysctl";
    const test::run_result d = test::run(test::daemon_path(), o);
    ASSERT_EQ(d.status, 0) << d.err;

    // Dumps by stem, in numeric order.
    std::map<std::string, std::map<int, std::string>> stems;
    for (const std::string& n : test::list_dir(out.path())) {
        dump_name dn;
        if (parse_dump_name(n, dn)) stems[dn.stem][dn.seq] = n;
    }
    const auto most = std::max_element(stems.begin(), stems.end(), [](const auto& a, const auto& b) {
        return a.second.size() < b.second.size();
    });
    ASSERT_NE(most, stems.end());
    ASSERT_GE(most->second.size(), 3u);

    size_t blocks = 0;
    std::vector<std::string> comments;
    bool have_last = false;
    uint32_t last = 0;
    std::string last_name;
    for (const auto& [seq, name] : most->second) {
        const dump_part w = walk(out / name);
        bool first = true;
        for (const dump_block& b : w.contents.blocks) {
            if (b.kind == dump_block_kind::gap || b.record) blocks++;
            if (!b.record) continue;
            if (first && have_last && rec_serial(b.record) != last + 1) {
                comments.push_back(std::to_string(rec_serial(b.record) - last - 1) + " records missing between " +
                                   last_name + " and " + name);
            }
            first = false;
            have_last = true;
            last = rec_serial(b.record);
            last_name = name;
        }
    }
    ASSERT_FALSE(comments.empty()) << "the sample's connection should lose records between dumps";

    const std::string tl = out / "timeline.pcapng";
    const test::run_result r = test::inspect({"--timeline", out / most->first, "-o", tl});
    ASSERT_EQ(r.status, 0) << r.err;
    test::run_result c = tool("capinfos", {"-T", "-r", "-c", "-o", tl});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, tl + "\t" + std::to_string(blocks + comments.size()) + "\tTrue\n");
    c = tool("tshark", {"-r", tl, "-Y", "frame.comment", "-T", "fields", "-e", "frame.comment"});
    ASSERT_EQ(c.status, 0) << c.err;
    std::string want;
    for (const std::string& l : comments) want += l + "\n";
    EXPECT_EQ(c.out, want);
}

// The synthesizer's story of a connection (with records lost inside a
// dump, in a removed dump and between dumps) through the real daemon: the
// timeline holds each record at the time the synthesizer gave it and one
// gap per loss, and the plot's data carry its windows and events.
TEST(TimelineStory, TimesWindowsAndEventsAsTheSynthesizerMadeThem) {
    temp_dir d;
    test::run_options so;
    so.args = {"--story", "--losses", "-o", d / "story.tcplog", "-k", d.path(), "--values", d / "values.jsonl"};
    test::run_result r = test::run(test::synth_path(), so);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(mkdir((d / "out").c_str(), 0755), 0);
    test::run_options o;
    o.args = {"-u", test::current_user(), "-D", d / "out", "-f", d / "story.tcplog"};
    o.env["QUARN_SYSCTL_DIR"] = d.path();
    r = test::run(test::daemon_path(), o);
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<test::json_object> values;
    std::string err;
    ASSERT_TRUE(test::parse_json_lines(test::read_text(d / "values.jsonl"), &values, &err)) << err;
    std::string stem;
    for (const std::string& n : test::list_dir(d / "out")) {
        if (n.ends_with(".0.pcapng")) stem = d / ("out/" + n.substr(0, n.size() - std::string(".0.pcapng").size()));
    }
    ASSERT_FALSE(stem.empty());

    // Every record at its time, every gap at the time of the record after it.
    const std::string tl = d / "story.pcapng";
    r = test::inspect({"--timeline", stem, "-o", tl});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool("tshark", {"-r", tl, "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.interface_id"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string want;
    for (size_t i = 0; i < values.size(); i++) {
        const test::json_object& v = values[i];
        const bool gap = v.at("block").text == "gap";
        const test::json_object& timed = gap && i + 1 < values.size() ? values[i + 1] : v;
        want += timed.at("time").text + "000\t" + (v.at("block").text == "packet" ? "0" : "1") + "\n";
    }
    EXPECT_EQ(r.out, want);
    r = test::inspect({"--check", tl});
    EXPECT_EQ(r.status, 0) << r.err;

    // Written as a stream, a part or two at a time, it is the file that the
    // whole connection in memory gives.
    timeline t;
    ASSERT_EQ(timeline_load(stem, t, err), 0) << err;
    std::vector<uint8_t> whole;
    ASSERT_EQ(timeline_pcapng(t, whole, err), 0) << err;
    EXPECT_TRUE(test::read_file(tl) == whole);

    // The plot's data: one state row per record with its window, and the
    // events and gaps on their rows.
    temp_dir plot_dir;
    std::string script;
    ASSERT_EQ(plot_write_files(t, plot_dir.path(), plot_format::png, script, err), 0) << err;
    std::string cwnd_want, cwnd_got, ms_want, ms_got;
    std::map<std::string, size_t> events_want;
    for (const test::json_object& v : values) {
        if (v.at("block").text == "gap") {
            events_want["gap"]++;
            continue;
        }
        const std::string& c = v.at("cwnd").text;
        cwnd_want += (std::stoull(c) >= 0x3FFFC000 ? "-" : c) + "\n";
        // The base stack at the story's 1000 ticks a second: srtt / 32 and
        // rttvar / 16 ms.
        const uint64_t srtt_us = std::stoull(v.at("srtt").text) * 1000 / 32;
        const uint64_t rttvar_us = std::stoull(v.at("rttvar").text) * 1000 / 16;
        char ms[64];
        snprintf(ms, sizeof ms, "%llu.%03llu %llu.%03llu -\n", static_cast<unsigned long long>(srtt_us / 1000),
                 static_cast<unsigned long long>(srtt_us % 1000), static_cast<unsigned long long>(rttvar_us / 1000),
                 static_cast<unsigned long long>(rttvar_us % 1000));
        ms_want += ms;
        const auto e = v.find("event");
        if (e != v.end() && v.at("block").text == "event") events_want[e->second.text]++;
    }
    for (const std::string& l : test::split_lines(test::read_text(plot_dir / "state.dat"))) {
        std::istringstream in(l);
        std::string x, una, max, cwnd, ssthresh, wnd, srtt, rttvar, srtt_ms, rttvar_ms, rack_ms;
        in >> x >> una >> max >> cwnd >> ssthresh >> wnd >> srtt >> rttvar >> srtt_ms >> rttvar_ms >> rack_ms;
        cwnd_got += cwnd + "\n";
        ms_got += srtt_ms + " " + rttvar_ms + " " + rack_ms + "\n";
    }
    EXPECT_EQ(cwnd_got, cwnd_want);
    EXPECT_EQ(ms_got, ms_want);
    // Rows: rto, connend, prr, reorder in the order of the plot's table, then
    // the gaps.
    const std::string gp = test::read_text(script);
    EXPECT_NE(gp.find("set ytics ('rto' 0, 'connend (end)' 1, 'prr' 2, 'reorder' 3, 'records lost' 4)"),
              std::string::npos) << gp;
    // Round-trip times in milliseconds, srtt and rttvar on their own axes;
    // no raw panel, since every record's unit is known.
    EXPECT_NE(gp.find("set ylabel 'srtt (ms)'\n"), std::string::npos) << gp;
    EXPECT_NE(gp.find("set y2label 'rttvar (ms)'\n"), std::string::npos) << gp;
    EXPECT_NE(gp.find("'state.dat' using 1:10 axes x1y2 with"), std::string::npos) << gp;
    EXPECT_EQ(gp.find("(raw)"), std::string::npos) << gp;
    std::map<std::string, size_t> events_got;
    const char* rows[] = {"rto", "connend", "prr", "reorder", "gap"};
    for (const std::string& l : test::split_lines(test::read_text(plot_dir / "events.dat"))) {
        std::istringstream in(l);
        double x;
        size_t row;
        in >> x >> row;
        ASSERT_LT(row, std::size(rows)) << l;
        events_got[rows[row]]++;
    }
    // The story's sb_wake and usersend are not among the events of interest.
    for (const char* name : {"out", "in", "sb_wake", "usersend"}) events_want.erase(name);
    EXPECT_EQ(events_got, events_want);
    EXPECT_EQ(events_want["gap"], 3u);
}

// "N gaps, M records missing" of a --check summary line.
std::string losses_of(const std::string& summary) {
    const size_t to = summary.find(" records missing");
    const size_t from = summary.rfind(", ", summary.rfind(" gaps, ", to)) + 2;
    return to == std::string::npos ? "(none in: " + summary + ")" : summary.substr(from, to + 16 - from);
}

// The gap rows of a --csv table: time, serial and missing count.
std::vector<std::string> csv_gaps(const std::string& csv) {
    std::vector<std::string> gaps;
    for (auto& row : csv_table(csv)) {
        if (row["block"] == "gap") gaps.push_back(row["time"] + " " + row["serial"] + " " + row["missing"]);
    }
    return gaps;
}

// Losses survive a join: the synthesizer's stories with losses inside a
// dump, in a removed dump and between dumps give the same gaps and missing
// counts from the joined file as from the stem, in --check, --csv, the
// timeline and the plot's data, and as many as the synthesizer lost.
TEST(TimelineStory, AJoinedFileKeepsTheLossesOfItsStem) {
    if (!*test::synth_path()) GTEST_SKIP() << "quarn_synth not built";
    const std::vector<std::vector<std::string>> cases = {
        {"--story", "--losses", "-s", "3"},
        {"--story", "--messages", "6", "-s", "9", "--losses", "--stack", "rack"},
    };
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        test::daemon_setup setup;
        const std::string values = setup.tmp / "values.jsonl";
        setup.run_synthesized(args, values);
        if (::testing::Test::HasFatalFailure()) return;
        std::vector<test::json_object> want;
        std::string err;
        ASSERT_TRUE(test::parse_json_lines(test::read_text(values), &want, &err)) << err;
        uint64_t want_gaps = 0, want_missing = 0;
        for (const test::json_object& v : want) {
            if (v.at("block").text != "gap") continue;
            want_gaps++;
            want_missing += std::stoull(v.at("missing").text);
        }
        ASSERT_GE(want_gaps, 3u);
        std::string stem;
        for (const std::string& n : test::list_dir(setup.out)) {
            dump_name dn;
            if (parse_dump_name(n, dn)) stem = setup.out + "/" + dn.stem;
        }
        ASSERT_FALSE(stem.empty());
        const std::string joined = setup.tmp / "joined.pcapng";
        test::run_result r = test::inspect({"--join", stem, "-o", joined});
        ASSERT_EQ(r.status, 0) << r.err;

        // --check of the joined file and of both timelines.
        const std::string losses =
            std::to_string(want_gaps) + " gaps, " + std::to_string(want_missing) + " records missing";
        r = test::inspect({"--check", joined});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(losses_of(r.out), losses);
        for (const std::string& from : {stem, joined}) {
            SCOPED_TRACE(from);
            const std::string tl = setup.tmp / "tl.pcapng";
            r = test::inspect({"--timeline", from, "-o", tl});
            ASSERT_EQ(r.status, 0) << r.err;
            r = test::inspect({"--check", tl});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(losses_of(r.out), losses);
        }

        // --csv: the same gap rows, at the same times and serials.
        const test::run_result by_stem = test::inspect({"--csv", stem});
        const test::run_result by_join = test::inspect({"--csv", joined});
        ASSERT_EQ(by_stem.status, 0) << by_stem.err;
        ASSERT_EQ(by_join.status, 0) << by_join.err;
        const std::vector<std::string> gaps = csv_gaps(by_stem.out);
        EXPECT_EQ(gaps.size(), want_gaps);
        EXPECT_EQ(csv_gaps(by_join.out), gaps);

        // The plot's gaps: the same marks and counts.
        std::string plotted[2];
        for (int i = 0; i < 2; i++) {
            timeline t;
            ASSERT_EQ(timeline_load(i == 0 ? stem : joined, t, err), 0) << err;
            temp_dir plot_dir;
            std::string script;
            ASSERT_EQ(plot_write_files(t, plot_dir.path(), plot_format::png, script, err), 0) << err;
            for (const std::string& l : test::split_lines(test::read_text(script))) {
                if (l.rfind("set object", 0) == 0 || l.rfind("set label", 0) == 0) plotted[i] += l + "\n";
            }
            plotted[i] += test::read_text(plot_dir / "events.dat");
        }
        size_t shaded = 0;
        for (size_t at = 0; (at = plotted[0].find("fc rgb '#f4b6b6'", at)) != std::string::npos; at++) shaded++;
        EXPECT_EQ(shaded, want_gaps) << plotted[0];
        EXPECT_EQ(plotted[1], plotted[0]);
    }
}

// Merged timelines keep who is who: the timelines of two stories (default
// stack and RACK, each with losses) merged by mergecap give the same --csv
// as the two stems, every row with its stack and its own time; --plot asks
// which connection to draw and draws the one named as from its stem.
TEST(TimelineStory, MergedTimelinesKeepEveryRowsConnection) {
    if (!*test::synth_path()) GTEST_SKIP() << "quarn_synth not built";
    ASSERT_TRUE(test::have_program("mergecap"));
    const std::vector<std::vector<std::string>> stories = {
        {"--story", "--losses", "-s", "3"},
        {"--story", "--messages", "6", "-s", "5", "--losses", "--stack", "rack"},
    };
    temp_dir d;
    std::vector<std::unique_ptr<test::daemon_setup>> setups;
    std::vector<std::string> stems, timelines;
    for (const std::vector<std::string>& args : stories) {
        setups.push_back(std::make_unique<test::daemon_setup>());
        test::daemon_setup& setup = *setups.back();
        setup.run_synthesized(args, setup.tmp / "values.jsonl");
        if (::testing::Test::HasFatalFailure()) return;
        std::string stem;
        for (const std::string& n : test::list_dir(setup.out)) {
            dump_name dn;
            if (parse_dump_name(n, dn)) stem = setup.out + "/" + dn.stem;
        }
        ASSERT_FALSE(stem.empty());
        stems.push_back(stem);
        timelines.push_back(d / ("tl" + std::to_string(timelines.size()) + ".pcapng"));
        const test::run_result r = test::inspect({"--timeline", stem, "-o", timelines.back()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const std::string name0 = stems[0].substr(stems[0].rfind('/') + 1);
    const std::string name1 = stems[1].substr(stems[1].rfind('/') + 1);
    ASSERT_NE(name0, name1);
    const std::string both = d / "both.pcapng";
    test::run_result r = tool("mergecap", {"-w", both, timelines[0], timelines[1]});
    ASSERT_EQ(r.status, 0) << r.err;

    const test::run_result by_stems = test::inspect({"--csv", stems[0], stems[1]});
    ASSERT_EQ(by_stems.status, 0) << by_stems.err;
    const test::run_result merged = test::inspect({"--csv", both});
    ASSERT_EQ(merged.status, 0) << merged.err;
    const auto want = csv_table(by_stems.out);
    auto got = csv_table(merged.out);
    ASSERT_GT(want.size(), 600u);
    ASSERT_EQ(got.size(), want.size());
    std::map<std::string, size_t> stacks;
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        auto w = want[i];
        // A stem's rows name their part; a timeline has none.
        w.erase("part");
        got[i].erase("part");
        EXPECT_EQ(got[i], w);
        stacks[w["stack"]]++;
    }
    EXPECT_GT(stacks["default"], 300u);
    EXPECT_GT(stacks["rack"], 300u);

    // --plot: refused without a choice, naming both; drawn with one.
    r = test::inspect({"--plot", both, "-o", d / "both.svg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(name0), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(name1), std::string::npos) << r.err;
    for (const std::string& stem : stems) {
        SCOPED_TRACE(stem);
        std::string err;
        timeline from_stem, from_merge;
        ASSERT_EQ(timeline_load(stem, from_stem, err), 0) << err;
        ASSERT_EQ(timeline_load(both, stem.substr(stem.rfind('/') + 1), from_merge, err), 0) << err;
        std::string data[2];
        for (int i = 0; i < 2; i++) {
            temp_dir plot_dir;
            std::string script;
            ASSERT_EQ(plot_write_files(i == 0 ? from_stem : from_merge, plot_dir.path(), plot_format::svg, script, err),
                      0)
                << err;
            for (const char* f : {"state.dat", "sent.dat", "resent.dat", "acks.dat", "events.dat"}) {
                data[i] += std::string(f) + ":\n" + test::read_text(plot_dir / f);
            }
        }
        EXPECT_EQ(data[1], data[0]);
        r = test::inspect({"--plot", both, "--stem", stem.substr(stem.rfind('/') + 1), "-o", d / "one.svg"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(test::file_exists(d / "one.svg"));
        // --timeline takes the one connection back out: every packet on
        // its interface 0, the same rows as from the stem.
        r = test::inspect({"--timeline", both, "--stem", stem.substr(stem.rfind('/') + 1), "-o", d / "one.pcapng"});
        ASSERT_EQ(r.status, 0) << r.err;
        r = test::inspect({"--check", d / "one.pcapng"});
        EXPECT_EQ(r.status, 0) << r.err;
        auto one = csv_table(test::inspect({"--csv", d / "one.pcapng"}).out);
        auto alone = csv_table(test::inspect({"--csv", stem}).out);
        for (auto* rows : {&one, &alone}) {
            for (auto& row : *rows) row.erase("part");
        }
        EXPECT_EQ(one, alone);
    }
}

}  // namespace
}  // namespace quarn
