// Reading dumps back: the block walker against a table of damaged copies of
// a real dump, quarn_inspect's views and its answers to invalid input, the
// index lines it rebuilds compared with what the daemon wrote on whole runs,
// joined connections read by tshark and tcpdump, and the Wireshark plugin
// against what the synthesizer put into the stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "inspect_fixture.h"
#include "dump_check.h"
#include "inspect/quarn_dumpread.h"
#include "quarn_dump.h"
#include "quarn_dumppolicy.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::temp_dir;

constexpr int64_t DUMP_TIME = test::INSPECT_DUMP_TIME;  // 2023-11-14 22:16:40 UTC
using test::inspect;
using test::q;
using test::shell;

// The fixture connection: a SYN received, an event, two serial numbers
// lost, a segment sent, and the end of the connection.
qb::header_fields fixture_header() {
    qb::header_fields h;
    h.id = "conn";
    h.tag = "t1";
    return h;
}

std::vector<qb::record_fields> fixture_records() {
    std::vector<qb::record_fields> r(4);
    r[0].serial = 5;
    r[0].stack_id = test::STACK_A;
    r[1].serial = 6;
    r[1].stack_id = test::STACK_A;
    r[1].flags = 0;
    r[1].event_id = 7;
    r[1].sec = 101;
    r[2].serial = 9;
    r[2].stack_id = test::STACK_A;
    r[2].event_id = 2;
    r[2].sec = 102;
    r[2].usec = 5;
    r[2].payload_len = 100;
    r[2].th = qb::tcp_header(443, 50000, 7000, 16909061, 5, 0x18, 512);
    r[3].serial = 10;
    r[3].stack_id = test::STACK_A;
    r[3].flags = 0;
    r[3].event_id = REC_EVENT_CONN_END;
    r[3].sec = 103;
    return r;
}

// Dumps made in-process by do_bbr_record, as a worker makes them.
class InProcess : public test::InspectDumps {
protected:
    std::string fixture_file() {
        dump(fixture_header(), fixture_records());
        return dir_ / "conn_443_10.0.0.2_50000.0.pcapng";
    }
};

// A damaged copy of the fixture: what to change, the field where the first
// fault is and what its message says, and whether a plain walk sees it too.
struct damage_case {
    const char* name;
    std::function<void(std::vector<uint8_t>&, const dump_contents&)> damage;
    std::function<size_t(const dump_contents&)> fault_at;
    const char* message;
    bool structural;
};

const dump_block& kind_at(const dump_contents& c, dump_block_kind k, int nth = 0) {
    for (const dump_block& b : c.blocks) {
        if (b.kind == k && nth-- == 0) return b;
    }
    throw std::runtime_error("no such block");
}
size_t rec_off(const std::vector<uint8_t>& f, const dump_block& b) {
    return static_cast<size_t>(b.record - f.data());
}
const dump_block& pkt(const dump_contents& c) { return kind_at(c, dump_block_kind::packet); }
const dump_block& evt(const dump_contents& c) { return kind_at(c, dump_block_kind::event); }
const dump_block& gap(const dump_contents& c) { return kind_at(c, dump_block_kind::gap); }

template <typename T>
void put(std::vector<uint8_t>& f, size_t at, T v) {
    store<T>(f.data() + at, v);
}

TEST_F(InProcess, WalkerFindsTheFirstFaultOfEveryDamagedCopy) {
    const std::vector<uint8_t> good = test::read_file(fixture_file());
    dump_contents base;
    dump_fault fault;
    ASSERT_EQ(dump_parse(good.data(), good.size(), true, base, fault), 0) << fault.message;
    // The fixture as the walker sees it.
    ASSERT_EQ(base.sections.size(), 1u);
    EXPECT_EQ(base.sections[0].dump_time, DUMP_TIME);
    EXPECT_EQ(base.sections[0].stack_name, "alpha");
    EXPECT_EQ(gap(base).missing, 2u);
    EXPECT_EQ(good.size(), 308u + 24 + 368 + 304 + 28 + 428 + 304);

    // Offsets inside the section header: the stack-name option of "alpha"
    // is 20 bytes at 280, its payload of 6 bytes then 2 padding bytes.
    const damage_case cases[] = {
        {"trailing length", [&](auto& f, auto& c) { put<uint32_t>(f, pkt(c).offset + pkt(c).length - 4, 372); },
         [](auto& c) { return pkt(c).offset + pkt(c).length - 4; }, "trailing block length 372, leading 368", true},
        {"length not a multiple of 4", [&](auto& f, auto& c) { put<uint32_t>(f, pkt(c).offset + 4, 367); },
         [](auto& c) { return pkt(c).offset + 4; }, "block length 367", true},
        {"cut in a block", [&](auto& f, auto& c) { f.resize(evt(c).offset + 100); },
         [](auto& c) { return evt(c).offset + 4; }, "cut by the end of the file", true},
        {"cut in a block header", [&](auto& f, auto& c) { f.resize(evt(c).offset + 6); },
         [](auto& c) { return evt(c).offset; }, "block header cut", true},
        {"not pcapng", [&](auto& f, auto&) { f[0] = 0x0B; }, [](auto&) { return size_t{0}; },
         "not a pcapng file", true},
        {"other byte order", [&](auto& f, auto&) { put<uint32_t>(f, 8, 0x4D3C2B1A); },
         [](auto&) { return size_t{8}; }, "other byte order", true},
        {"option past its block", [&](auto& f, auto&) { put<uint16_t>(f, 62, 0xFFF0); },
         [](auto&) { return size_t{60}; }, "runs past the end of the block", true},
        {"option padding", [&](auto& f, auto&) { f[299] = 1; }, [](auto&) { return size_t{299}; },
         "non-zero padding", false},
        {"log format version", [&](auto& f, auto&) { put<uint32_t>(f, 36, 8); },
         [](auto&) { return size_t{0}; }, "log format version 8, not 9", false},
        {"unknown block type", [&](auto& f, auto& c) { put<uint32_t>(f, pkt(c).offset, 0x99); },
         [](auto& c) { return pkt(c).offset; }, "unknown block type 0x00000099", false},
        {"interface id", [&](auto& f, auto& c) { put<uint32_t>(f, pkt(c).offset + 8, 1); },
         [](auto& c) { return pkt(c).offset + 8; }, "packet on interface 1 of a section with 1 interfaces", false},
        {"foreign enterprise number", [&](auto& f, auto& c) { put<uint32_t>(f, gap(c).offset + 8, 1); },
         [](auto& c) { return gap(c).offset; }, "custom block of enterprise number 1", false},
        {"stack of a record", [&](auto& f, auto& c) { f[rec_off(good, evt(c)) + OFF_REC_STACK_ID] = 3; },
         [&](auto& c) { return rec_off(good, evt(c)) + OFF_REC_STACK_ID; }, "record of stack 3 in a section of stack 1", false},
        {"serial without gap", [&](auto& f, auto& c) { put<uint32_t>(f, rec_off(good, evt(c)) + OFF_REC_SERIAL, 7); },
         [&](auto& c) { return rec_off(good, evt(c)) + OFF_REC_SERIAL; }, "serial 7 after 5 without a gap block", false},
        {"gap count", [&](auto& f, auto& c) { put<uint32_t>(f, gap(c).offset + 16, 3); },
         [&](auto& c) { return rec_off(good, kind_at(c, dump_block_kind::packet, 1)) + OFF_REC_SERIAL; },
         "serial 9 after 6 and a gap of 3", false},
        {"empty gap", [&](auto& f, auto& c) { put<uint32_t>(f, gap(c).offset + 16, 0); },
         [](auto& c) { return gap(c).offset + 16; }, "gap block with no records missing", false},
        {"timestamp", [&](auto& f, auto& c) { f[pkt(c).offset + 16] ^= 1; },
         [](auto& c) { return pkt(c).offset + 12; }, "timestamp differs", false},
        {"IP address", [&](auto& f, auto& c) { f[pkt(c).offset + 28 + 4 + 12] ^= 1; },
         [](auto& c) { return pkt(c).offset + 32; }, "IP addresses differ from the log header's", false},
        {"TCP header byte", [&](auto& f, auto& c) { f[pkt(c).offset + 28 + 4 + 20 + 14] ^= 1; },
         [](auto& c) { return pkt(c).offset + 32 + 20 + 16; }, "TCP checksum 0x", false},
        {"IPv4 header checksum", [&](auto& f, auto& c) { f[pkt(c).offset + 28 + 4 + 10] ^= 1; },
         [](auto& c) { return pkt(c).offset + 32 + 10; }, "IPv4 header checksum wrong", false},
        {"IPv4 total length", [&](auto& f, auto& c) { f[pkt(c).offset + 28 + 4 + 3] ^= 1; },
         [](auto& c) { return pkt(c).offset + 32 + 2; }, "IPv4 total length 41, the segment gives 40", false},
        {"direction", [&](auto& f, auto& c) { f[rec_off(good, pkt(c)) + OFF_REC_EVENT_ID] = 2; },
         [](auto& c) { return pkt(c).offset; }, "epb_flags 1 for a record of event 2", false},
        {"payload length", [&](auto& f, auto& c) { put<uint32_t>(f, rec_off(good, pkt(c)) + OFF_REC_PAYLOAD_LEN, 9); },
         [](auto& c) { return pkt(c).offset + 24; }, "original length 44; the TCP header and the record give 53", false},
        {"header's record bytes", [&](auto& f, auto&) { put<uint64_t>(f, 72 + OFF_TLH_LENGTH, 900); },
         [](auto&) { return size_t{72 + OFF_TLH_LENGTH}; }, "records of 1312 bytes, more than the log header's 900", false},
    };
    for (const damage_case& dc : cases) {
        SCOPED_TRACE(dc.name);
        std::vector<uint8_t> f = good;
        dc.damage(f, base);
        dump_contents c;
        ASSERT_EQ(dump_parse(f.data(), f.size(), true, c, fault), -1);
        // The fault names the start of the block that holds the field, and
        // the field's byte within it.
        const size_t field = dc.fault_at(base);
        size_t start = 0;
        for (const dump_block& b : base.blocks) {
            if (b.offset <= field) start = b.offset;
        }
        EXPECT_EQ(fault.offset, start);
        EXPECT_NE(fault.message.find(dc.message), std::string::npos) << fault.message;
        if (field == start) {
            EXPECT_EQ(fault.message.find("(byte "), std::string::npos) << fault.message;
        } else {
            EXPECT_TRUE(fault.message.ends_with(" (byte " + std::to_string(field - start) + " of the block)"))
                << fault.message;
        }
        EXPECT_EQ(dump_parse(f.data(), f.size(), false, c, fault) != 0, dc.structural) << fault.message;
    }
}

TEST_F(InProcess, ShowsEveryBlockWithItsRecordFields) {
    const std::string path = fixture_file();
    const test::run_result text = inspect({path});
    ASSERT_EQ(text.status, 0) << text.err;
    // The decoded fields under each record: the fixture's are all zero.
    const std::string zeros = " errno 0 snd_una 0 snd_max 0 snd_nxt 0 snd_recover 0 cwnd 0 ssthresh 0 snd_wnd 0 rcv_nxt 0 rcv_wnd 0 srtt 0 rttvar 0 dupacks 0 segqlen 0 sack_holes 0 flex1 0 flex2 0";
    const std::string more = " ticks 0 iss 0 starttime 0 t_flags 0 t_flags2 0 rcv_up 0 rcv_adv 0 fbyte_in 0 fbyte_out 0 snd_scale 0 rcv_scale 0";
    EXPECT_EQ(text.out,
              path + ":\n"
              "section at 0: log format 9, dumped 2023-11-14 22:16:40 UTC (1700000200)\n"
              "  id \"conn\" reason \"normal\" tag \"t1\"\n"
              "  foreign 10.0.0.2 port 50000, local 10.0.0.1 port 443, IPv4 (address family 2)\n"
              "  time offset 1700000000 s 250000 us, 1312 record bytes from this dump's first "
              "record to the end of its message\n"
              "  stack 1 \"alpha\"\n"
              "interface: link type 0, snap length 104\n"
              "2023-11-14 22:15:01.150000 serial 5 stack 1 event 1 flags 0x0004 in [SYN] seq "
              "16909060 ack 0 win 65535 len 0\n"
              "  time 1700000101.150000 stack alpha event in state CLOSED" + zeros + " payload_len 0" + more + " tcp_len 0\n"
              "2023-11-14 22:15:02.150000 serial 6 stack 1 event 7 flags 0x0000 event\n"
              "  time 1700000102.150000 stack alpha event reorder state CLOSED" + zeros + " payload_len 0" + more + "\n"
              "2 records missing\n"
              "  time 1700000102.250005 serial 9\n"
              "2023-11-14 22:15:02.250005 serial 9 stack 1 event 2 flags 0x0004 out [PSH,ACK] seq "
              "7000 ack 16909061 win 512 len 100\n"
              "  time 1700000102.250005 stack alpha event out state CLOSED" + zeros + " payload_len 100" + more + " tcp_len 100\n"
              "2023-11-14 22:15:04.150000 serial 10 stack 1 event 54 flags 0x0000 event\n"
              "  time 1700000104.150000 stack alpha event connend state CLOSED" + zeros + " payload_len 0" + more + "\n");

    const test::run_result json = inspect({"--json", path});
    ASSERT_EQ(json.status, 0) << json.err;
    std::vector<test::json_object> lines;
    std::string err;
    ASSERT_TRUE(test::parse_json_lines(json.out, &lines, &err)) << err;
    ASSERT_EQ(lines.size(), 7u);
    const char* blocks[] = {"section", "interface", "packet", "event", "gap", "packet", "event"};
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_EQ(lines[i]["block"].text, blocks[i]) << i;
        // Every object names its file: the dump's stem and part.
        EXPECT_EQ(lines[i]["stem"].text, "conn_443_10.0.0.2_50000") << i;
        EXPECT_EQ(lines[i]["part"].text, "0") << i;
    }
    EXPECT_EQ(lines[0]["dump_time"].text, "1700000200");
    EXPECT_EQ(lines[0]["tag"].text, "t1");
    EXPECT_EQ(lines[0]["stack"].text, "alpha");
    EXPECT_EQ(lines[0]["record_bytes"].text, "1312");
    EXPECT_EQ(lines[4]["missing"].text, "2");
    EXPECT_EQ(lines[5]["serial"].text, "9");
    EXPECT_EQ(lines[5]["direction"].text, "out");
    EXPECT_EQ(lines[5]["tcp_flags"].text, "PSH|ACK");
    EXPECT_EQ(lines[5]["payload_len"].text, "100");
    EXPECT_EQ(lines[6]["event_id"].text, "54");
    EXPECT_EQ(lines[6]["time"].text, "1700000104.150000");
    EXPECT_EQ(lines[6]["utc"].text, "2023-11-14 22:15:04.150000");
    EXPECT_EQ(lines[6]["event"].text, "connend");

    // Several files: each one's blocks under its name.
    const test::run_result two = inspect({path, path});
    EXPECT_EQ(two.out, text.out + text.out);

    // Compressed copies show the same.
    ASSERT_TRUE(test::have_program("xz") && test::have_program("zstd"));
    shell("xz -k -0 " + q(path) + " && zstd -q " + q(path));
    const std::string blocks_text = text.out.substr(path.size() + 2);
    EXPECT_EQ(inspect({path + ".xz"}).out, path + ".xz:\n" + blocks_text);
    EXPECT_EQ(inspect({path + ".zst"}).out, path + ".zst:\n" + blocks_text);
    // The file's stem and part are those of the dump, whatever compression.
    const test::run_result zst_json = inspect({"--json", path + ".zst"});
    std::vector<test::json_object> zst_lines;
    ASSERT_TRUE(test::parse_json_lines(zst_json.out, &zst_lines, &err)) << err;
    ASSERT_FALSE(zst_lines.empty());
    EXPECT_EQ(zst_lines[0]["stem"].text, "conn_443_10.0.0.2_50000");
    EXPECT_EQ(zst_lines[0]["part"].text, "0");
    EXPECT_EQ(inspect({"--check", path + ".zst"}).out,
              path + ".zst: ok: 1 section, 4 records (2 packets, 2 events), 1 gaps, 2 records missing\n");
}

TEST_F(InProcess, JsonStaysValidUtf8WhateverTheTextsHold) {
    qb::header_fields h = fixture_header();
    h.id = "a\"b\\c\td\xC3\xA9" "e\xC3" "f\x01g";
    h.tag = "\xFF\xFE";
    dump(h, fixture_records());
    std::string name;
    for (const std::string& n : test::list_dir(dir_.path())) {
        if (n != "records") name = n;
    }
    const test::run_result r = inspect({"--json", dir_ / name});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<test::json_object> lines;
    std::string err;
    ASSERT_TRUE(test::parse_json_lines(r.out, &lines, &err)) << err;
    // Valid sequences are kept, stray bytes become '?'.
    EXPECT_EQ(lines[0]["id"].text, "a\"b\\c\td\xC3\xA9" "e?f\x01g");
    EXPECT_EQ(lines[0]["tag"].text, "??");
    // python accepted it as UTF-8 only if every byte of the output is.
    ASSERT_EQ(shell("printf '%s' " + q(r.out) + " | python3 -c 'import sys; sys.stdin.buffer.read().decode(\"utf-8\"); print(\"ok\")'"),
              "ok\n");
}

// Invalid input of every kind: a clear message naming the file, status 1,
// no crash, whatever the mode.
TEST_F(InProcess, InvalidInputGetsAMessageAndStatusOne) {
    const std::vector<uint8_t> good = test::read_file(fixture_file());
    ASSERT_TRUE(test::have_program("xz") && test::have_program("zstd"));
    temp_dir t;
    test::write_file(t / "empty.0.pcapng", std::vector<uint8_t>{});
    test::write_file(t / "garbage.0.pcapng", std::string("this is not a capture at all\n"));
    test::write_file(t / "cut.0.pcapng", std::vector<uint8_t>(good.begin(), good.begin() + 700 + 30));
    test::write_file(t / "plain", good);
    shell("xz -0 -c " + q(t / "plain") + " | head -c 200 > " + q(t / "cut.0.pcapng.xz"));
    shell("zstd -q -c " + q(t / "plain") + " | head -c 100 > " + q(t / "cut.0.pcapng.zst"));
    shell("printf '\\375\\067\\172\\130\\132\\000garbage' > " + q(t / "bad.0.pcapng.xz"));
    shell("printf '\\050\\265\\057\\375garbage!' > " + q(t / "bad.0.pcapng.zst"));
    ASSERT_EQ(mkdir((t / "dir.pcapng").c_str(), 0755), 0);

    const struct {
        std::string file;
        const char* message;
    } cases[] = {
        {t / "missing.0.pcapng", "No such file or directory"},
        {t / "dir.pcapng", "is a directory"},
        {t / "empty.0.pcapng", "offset 0: empty file"},
        {t / "garbage.0.pcapng", "offset 0: not a pcapng file"},
        {t / "cut.0.pcapng", "offset 700: block of 304 bytes cut by the end of the file (30 left) (byte 4 of the block)"},
        {t / "cut.0.pcapng.xz", "XZ data ends before its stream does"},
        {t / "cut.0.pcapng.zst", "zstd data ends before its frame does"},
        {t / "bad.0.pcapng.xz", "XZ data is damaged"},
        {t / "bad.0.pcapng.zst", "zstd data is damaged"},
    };
    for (const auto& c : cases) {
        for (const char* mode : {"", "--json", "--check"}) {
            SCOPED_TRACE(c.file + " " + mode);
            std::vector<std::string> args;
            if (*mode) args.push_back(mode);
            args.push_back(c.file);
            const test::run_result r = inspect(args);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err.rfind("quarn_inspect: " + c.file + ": ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
    }
    // A cut file still shows the blocks before the cut.
    const test::run_result r = inspect({t / "cut.0.pcapng"});
    EXPECT_NE(r.out.find("serial 5 stack 1 event 1"), std::string::npos) << r.out;
    // Usage errors.
    EXPECT_EQ(inspect({}).status, 1);
    EXPECT_EQ(inspect({"--check", "--reindex", "x"}).status, 1);
    EXPECT_EQ(inspect({"--reindex", t / "no-such-dir"}).status, 1);
    EXPECT_EQ(inspect({"--join", t / "nothing"}).err,
              "quarn_inspect: " + t / "nothing" + ": no dumps named " + t / "nothing" +
                  ".N.pcapng, .pcapng.xz or .pcapng.zst\n");
}

// Option lists by the pcapng rules: a block may have no option list at all,
// but a list that has options ends with end-of-options.
TEST_F(InProcess, InterfaceWithoutOptionsIsSoundAndAnUnendedListIsNot) {
    const std::vector<uint8_t> good = test::read_file(fixture_file());
    dump_contents base;
    dump_fault fault;
    ASSERT_EQ(dump_parse(good.data(), good.size(), true, base, fault), 0) << fault.message;
    const dump_block& idb = kind_at(base, dump_block_kind::interface);
    ASSERT_EQ(idb.length, 24u);  // the daemon's: 16 bytes, end-of-options, trailer
    const auto with_idb = [&](const std::vector<uint8_t>& block) {
        std::vector<uint8_t> f(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(idb.offset));
        f.insert(f.end(), block.begin(), block.end());
        f.insert(f.end(), good.begin() + static_cast<std::ptrdiff_t>(idb.offset + idb.length), good.end());
        return f;
    };
    // Type 1, length 20, link type 0, reserved, snap length 104, length 20.
    const std::vector<uint8_t> bare = test::unhex("01 00 00 00 14 00 00 00 00 00 00 00 68 00 00 00 14 00 00 00");
    std::vector<uint8_t> f = with_idb(bare);
    dump_contents c;
    EXPECT_EQ(dump_parse(f.data(), f.size(), true, c, fault), 0) << fault.message;
    EXPECT_EQ(c.sections[0].interfaces, 1u);
    const test::run_result r = [&] {
        test::write_file(dir_ / "bare.0.pcapng", f);
        return inspect({"--check", dir_ / "bare.0.pcapng"});
    }();
    EXPECT_EQ(r.status, 0) << r.err;

    // if_name "quar" and no end-of-options: refused at the block's start.
    const std::vector<uint8_t> unended = test::unhex(
        "01 00 00 00 1C 00 00 00 00 00 00 00 68 00 00 00 02 00 04 00 71 75 61 72 1C 00 00 00");
    f = with_idb(unended);
    ASSERT_EQ(dump_parse(f.data(), f.size(), true, c, fault), -1);
    EXPECT_EQ(fault.offset, idb.offset);
    EXPECT_EQ(fault.message, "option list without end-of-options (byte 24 of the block)");
    // A plain walk reads past it.
    EXPECT_EQ(dump_parse(f.data(), f.size(), false, c, fault), 0) << fault.message;
}

// The size is known before the first read: a sparse 6 GB file is refused
// at once, plain or named as compressed, by every mode that reads files.
TEST_F(InProcess, FilesPastTheSizeLimitAreRefusedBeforeReading) {
    const std::string big = dir_ / "big.0.pcapng", big_xz = dir_ / "big.1.pcapng.xz";
    shell("truncate -s 6G " + q(big) + " && truncate -s 6G " + q(big_xz));
    for (const std::string& path : {big, big_xz}) {
        for (const char* mode : {"--check", "--json", "--csv", ""}) {
            SCOPED_TRACE(path + " " + mode);
            std::vector<std::string> args;
            if (*mode) args.push_back(mode);
            args.push_back(path);
            const test::run_result r = inspect(args);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("quarn_inspect: " + path + ": file of 6442450944 bytes, larger than the size "
                                 "limit of 1073741824 bytes\n"),
                      std::string::npos) << r.err;
        }
    }
}

// Whole runs of the real daemon, rebuilt from the files alone.
class WholeRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!*test::synth_path()) GTEST_SKIP() << "quarn_synth not built";
    }

    std::string synth(const std::vector<std::string>& extra) {
        test::run_options o;
        o.args = {"-o", tmp_ / "stream", "-k", tmp_ / "sysctl"};
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        const test::run_result r = test::run(test::synth_path(), o);
        EXPECT_EQ(r.status, 0) << r.err;
        return tmp_ / "stream";
    }

    std::string run_daemon(const std::string& input, const std::string& sysctl, const std::string& name,
                           bool xz) {
        const std::string out = tmp_ / name;
        EXPECT_EQ(mkdir(out.c_str(), 0755), 0);
        test::run_options o;
        o.args = {"-u", test::current_user(), "-D", out, "-f", input};
        if (xz) o.args.push_back("-J");
        o.env["QUARN_SYSCTL_DIR"] = sysctl;
        o.timeout_ms = 120000;
        const test::run_result r = test::run(test::daemon_path(), o);
        EXPECT_EQ(r.status, 0) << r.err;
        return out;
    }

    // Every line the daemon wrote comes back identical; with the index in
    // place nothing is printed; lines taken out are printed again.
    void expect_reindex_matches(const std::string& dir, size_t min_lines) {
        const std::string records = dir + "/records";
        const std::string original = test::read_text(records);
        const std::vector<std::string> lines = test::sorted_lines(original);
        ASSERT_GE(lines.size(), min_lines);

        test::run_result r = inspect({"--reindex", dir});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");

        std::string kept, taken;
        const std::vector<std::string> in_order = test::split_lines(original);
        for (size_t i = 0; i < in_order.size(); i++) (i % 3 == 1 ? taken : kept) += in_order[i] + "\n";
        test::write_file(records, kept);
        r = inspect({"--reindex", dir});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test::sorted_lines(r.out), test::sorted_lines(taken));

        ASSERT_EQ(unlink(records.c_str()), 0);
        r = inspect({"--reindex", dir});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test::sorted_lines(r.out), lines);
        test::write_file(records, original);
    }

    temp_dir tmp_;
};

TEST_F(WholeRun, ReindexGivesTheDaemonsLinesForTheBundledSample) {
    const std::string repo = QUARN_SOURCE_DIR;
    for (bool xz : {false, true}) {
        SCOPED_TRACE(xz ? "-J" : "direct");
        const std::string dir = run_daemon(repo + "/data/sample.tcplog", repo + "/data/sysctl",
                                           xz ? "xz" : "direct", xz);
        expect_reindex_matches(dir, 70);
    }
}

TEST_F(WholeRun, ReindexGivesTheDaemonsLinesForSynthesizedStreams) {
    // Stack changes, gaps, ends, and reasons whose short dumps are removed.
    const std::string stream = synth({"-s", "41", "-n", "150", "-c", "6", "-r", "1-16", "-R",
                                      "normal:4,error:2,rebuffer:2", "-S", "30", "-g", "15", "-e",
                                      "8", "-6", "40", "-v", "20"});
    for (bool xz : {false, true}) {
        SCOPED_TRACE(xz ? "-J" : "direct");
        expect_reindex_matches(run_daemon(stream, tmp_ / "sysctl", xz ? "xz" : "direct", xz), 60);
    }

    // zstd-compressed dumps: the same lines with the compressed names.
    const std::string dir = tmp_ / "direct";
    const std::string original = test::read_text(dir + "/records");
    shell("cd " + q(dir) + " && zstd -q --rm *.pcapng");
    std::string expect;
    for (std::string line : test::split_lines(original)) {
        const size_t f = line.find(".pcapng\", \"record_count\"");
        ASSERT_NE(f, std::string::npos);
        line.insert(f + 7, ".zst");
        const size_t c = line.find("\"compressor\":\"\"");
        ASSERT_NE(c, std::string::npos);
        line.insert(c + 14, "zstd");
        expect += line + "\n";
    }
    ASSERT_EQ(unlink((dir + "/records").c_str()), 0);
    const test::run_result r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::sorted_lines(r.out), test::sorted_lines(expect));
}

// newsyslog's rotation: "records" moved to "records.0", older ones numbered
// up and compressed by any of the four tools. A dump named in any of them
// gets no line, so `>> DIR/records` never duplicates.
TEST_F(WholeRun, ReindexRegardsEveryRotatedIndex) {
    for (const char* tool : {"gzip", "bzip2", "xz", "zstd"}) ASSERT_TRUE(test::have_program(tool)) << tool;
    const std::string repo = QUARN_SOURCE_DIR;
    const std::string dir = run_daemon(repo + "/data/sample.tcplog", repo + "/data/sysctl", "direct", false);
    const std::string records = dir + "/records";
    const std::vector<std::string> lines = test::split_lines(test::read_text(records));
    ASSERT_GE(lines.size(), 60u);

    // Six indexes, each a share of the lines; records.3.gz of two gzip
    // members, as `cat` of two compressed files gives.
    const struct {
        const char* name;
        const char* compress;  // shell command run on the file, or empty
    } rotated[] = {
        {"records.4", "bzip2"}, {"records.3", "gzip"}, {"records.2", "xz -0"},
        {"records.1", "zstd -q --rm"}, {"records.0", ""}, {"records", ""},
    };
    const size_t n = std::size(rotated);
    std::vector<std::string> share(n);
    for (size_t i = 0; i < lines.size(); i++) share[i * n / lines.size()] += lines[i] + "\n";
    const auto write_indexes = [&](const std::vector<std::string>& text) {
        for (size_t i = 0; i < n; i++) {
            const std::string path = dir + "/" + rotated[i].name;
            shell("rm -f " + q(path) + " " + q(path + ".gz") + " " + q(path + ".bz2") + " " + q(path + ".xz") +
                  " " + q(path + ".zst"));
            if (std::string(rotated[i].name) == "records.3") {
                const size_t half = text[i].find('\n', text[i].size() / 2) + 1;
                test::write_file(path + ".a", text[i].substr(0, half));
                test::write_file(path + ".b", text[i].substr(half));
                shell("gzip -c " + q(path + ".a") + " > " + q(path + ".gz") + " && gzip -c " + q(path + ".b") +
                      " >> " + q(path + ".gz") + " && rm " + q(path + ".a") + " " + q(path + ".b"));
                continue;
            }
            test::write_file(path, text[i]);
            if (*rotated[i].compress) shell(std::string(rotated[i].compress) + " " + q(path));
        }
    };
    write_indexes(share);
    // Files that look alike but are no index: their lines count for nothing.
    test::write_file(dir + "/records.old", share[0]);
    test::write_file(dir + "/records.1.lz4", share[1]);
    test::run_result r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");

    // A line taken out of every index comes back, once.
    std::vector<std::string> cut = share;
    std::string taken;
    for (std::string& text : cut) {
        const size_t first_end = text.find('\n') + 1;
        taken += text.substr(0, first_end);
        text.erase(0, first_end);
    }
    write_indexes(cut);
    r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::sorted_lines(r.out), test::sorted_lines(taken));
    // The recipe: appended to the current index, nothing is left to print.
    shell("cat >> " + q(records) + " <<'EOF'\n" + r.out + "EOF");
    r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    // Leftovers of a stopped daemon: an empty dump and a cut one, listed
    // apart from the lines, which stay as they were.
    const std::string empty = dir + "/left_1_10.0.0.9_7.0.pcapng";
    const std::string cut_dump = dir + "/left_1_10.0.0.9_7.1.pcapng";
    test::write_file(empty, std::vector<uint8_t>{});
    std::vector<uint8_t> some;
    for (const std::string& name : test::list_dir(dir)) {
        if (name.ends_with(".pcapng") && name.rfind("left_", 0) != 0) {
            some = test::read_file(dir + "/" + name);
            break;
        }
    }
    ASSERT_GT(some.size(), 400u);
    some.resize(some.size() - 3);
    test::write_file(cut_dump, some);
    r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> errs = test::split_lines(r.err);
    ASSERT_EQ(errs.size(), 3u) << r.err;
    EXPECT_EQ(errs[0], "quarn_inspect: " + dir + ": 2 dumps empty or cut short, as a daemon stopped while "
                       "writing leaves them; no index line; they can be removed:");
    EXPECT_EQ(errs[1], "  " + empty + ": offset 0: empty file");
    EXPECT_EQ(errs[2].rfind("  " + cut_dump + ": offset ", 0), 0u) << errs[2];
    EXPECT_NE(errs[2].find("cut by the end of the file"), std::string::npos) << errs[2];
    shell("rm " + q(empty) + " " + q(cut_dump));

    // A rotated index that cannot be read is named: its dumps may come
    // back, and the status says so.
    std::vector<uint8_t> xz = test::read_file(dir + "/records.2.xz");
    xz.resize(xz.size() / 2);
    test::write_file(dir + "/records.2.xz", xz);
    r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarn_inspect: " + dir + "/records.2.xz: XZ data ends before its stream does; "
                     "index not read; dumps it names may be printed again\n");
    EXPECT_EQ(test::sorted_lines(r.out), test::sorted_lines(cut[2]));
}

// The rotation as it happens: a running daemon's index moved to
// "records.0", SIGHUP, more dumps into a new "records", then the moved one
// compressed. The recipe prints nothing: every dump has its line somewhere.
TEST_F(WholeRun, ReindexAfterARealDaemonsRotationAddsNothing) {
    ASSERT_TRUE(test::have_program("gzip"));
    const struct {
        const char* seed;
        const char* messages;
        std::string path;
    } streams[] = {{"31", "40", tmp_ / "a"}, {"32", "25", tmp_ / "b"}};
    size_t expected_lines = 0;
    for (const auto& st : streams) {
        // No stack changes and only "normal" messages: one dump and one
        // index line per message.
        test::run_options o;
        o.args = {"-s", st.seed, "-n", st.messages, "-c", "4", "-r", "1-8", "-S", "0", "-o", st.path,
                  "-k", tmp_ / "sysctl"};
        const test::run_result r = test::run(test::synth_path(), o);
        ASSERT_EQ(r.status, 0) << r.err;
        expected_lines += std::stoul(st.messages);
    }
    const std::string dir = tmp_ / "out";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    test::fifo_input fifo(tmp_ / "fifo");
    test::run_options o;
    o.args = {"-u", test::current_user(), "-D", dir, "-f", tmp_ / "fifo"};
    o.env["QUARN_SYSCTL_DIR"] = tmp_ / "sysctl";
    test::process daemon(test::daemon_path(), o);
    const auto lines_in = [&](const std::string& name) {
        return test::file_exists(dir + "/" + name) ? test::split_lines(test::read_text(dir + "/" + name)).size() : 0;
    };

    ASSERT_TRUE(fifo.write_all(test::read_file(streams[0].path)));
    ASSERT_TRUE(test::wait_until([&] { return lines_in("records") == 40; }, 60000)) << daemon.err_so_far();
    ASSERT_EQ(rename((dir + "/records").c_str(), (dir + "/records.0").c_str()), 0);
    daemon.signal(SIGHUP);
    ASSERT_TRUE(fifo.write_all(test::read_file(streams[1].path)));
    ASSERT_TRUE(test::wait_until([&] { return lines_in("records") + lines_in("records.0") == expected_lines; }, 60000))
        << daemon.err_so_far();
    fifo.close_input();
    const test::run_result end = daemon.wait();
    ASSERT_FALSE(end.timed_out);
    ASSERT_EQ(end.status, 0) << end.err;
    ASSERT_GT(lines_in("records"), 0u) << "SIGHUP made no new index";
    const std::string fresh = test::read_text(dir + "/records");
    shell("gzip " + q(dir + "/records.0"));

    test::run_result r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    // Without the current index, its lines and only they come back.
    ASSERT_EQ(unlink((dir + "/records").c_str()), 0);
    r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::sorted_lines(r.out), test::sorted_lines(fresh));
}

TEST_F(WholeRun, ReindexListsFilesThatFailAndGivesThemNoLine) {
    const std::string stream = synth({"-s", "5", "-n", "40", "-c", "4", "-r", "1-12", "-S", "0"});
    const std::string dir = run_daemon(stream, tmp_ / "sysctl", "direct", false);
    const std::vector<std::string> lines = test::split_lines(test::read_text(dir + "/records"));
    ASSERT_GE(lines.size(), 10u);
    // An index line that disagrees with its file is named, not repeated.
    {
        std::string edited;
        for (size_t i = 0; i < lines.size(); i++) {
            std::string l = lines[i];
            if (i == 0) l.replace(l.find("\"record_count\":"), 15, "\"record_count\":9");
            edited += l + "\n";
        }
        test::write_file(dir + "/records", edited);
        const test::run_result r = inspect({"--reindex", dir});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(": its index line differs from the one the file gives: " + lines[0] + "\n"),
                  std::string::npos) << r.err;
    }
    // Three dumps as a killed daemon leaves them: empty, cut inside a
    // block, and cut after its last whole block.
    std::vector<std::string> names;
    for (const std::string& n : test::list_dir(dir)) {
        if (n != "records") names.push_back(n);
    }
    ASSERT_GE(names.size(), 3u);
    const std::string empty = dir + "/" + names[0], in_block = dir + "/" + names[1],
                      at_block = dir + "/" + names[2];
    test::write_file(empty, std::vector<uint8_t>{});
    std::vector<uint8_t> f = test::read_file(in_block);
    f.resize(f.size() - 10);
    test::write_file(in_block, f);
    f = test::read_file(at_block);
    dump_contents c;
    dump_fault fault;
    ASSERT_EQ(dump_parse(f.data(), f.size(), true, c, fault), 0);
    f.resize(c.blocks.back().offset);
    test::write_file(at_block, f);
    // A short dump whose reason says the daemon removes such dumps.
    std::string short_dump;
    for (const std::string& l : lines) {
        if (l.find("\"record_count\":1,") == std::string::npos) continue;
        const size_t from = l.find("\"filename\":\"") + 12;
        const std::string n = l.substr(from, l.find('"', from) - from);
        if (std::find(names.begin(), names.begin() + 3, n) == names.begin() + 3) short_dump = n;
    }
    ASSERT_NE(short_dump, "");
    names.insert(names.begin() + 3, short_dump);
    f = test::read_file(dir + "/" + short_dump);
    memcpy(f.data() + 72 + OFF_TLH_REASON, "error", 6);
    test::write_file(dir + "/" + short_dump, f);
    ASSERT_EQ(unlink((dir + "/records").c_str()), 0);

    const test::run_result r = inspect({"--reindex", dir});
    EXPECT_EQ(r.status, 1);
    std::string expect;
    for (const std::string& l : lines) {
        bool broken = false;
        for (size_t i = 0; i < 4; i++) broken |= l.find("\"filename\":\"" + names[i] + "\"") != std::string::npos;
        if (!broken) expect += l + "\n";
    }
    EXPECT_EQ(test::sorted_lines(r.out), test::sorted_lines(expect));
    const std::vector<std::string> errs = test::split_lines(r.err);
    ASSERT_EQ(errs.size(), 5u) << r.err;
    EXPECT_EQ(errs[0], "quarn_inspect: " + dir + "/" + short_dump +
                           ": a dump of 1 records with reason \"error\" is removed, not indexed; no index line");
    // What a stopped daemon left, apart, for the operator to remove.
    EXPECT_EQ(errs[1], "quarn_inspect: " + dir + ": 3 dumps empty or cut short, as a daemon stopped while "
                       "writing leaves them; no index line; they can be removed:");
    const std::vector<std::string> listed(errs.begin() + 2, errs.end());
    EXPECT_EQ(std::count(listed.begin(), listed.end(), "  " + empty + ": offset 0: empty file"), 1);
    const auto listed_with = [&](const std::string& prefix) {
        return std::count_if(listed.begin(), listed.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(listed_with("  " + in_block + ": offset "), 1) << r.err;
    EXPECT_EQ(listed_with("  " + at_block + ": ends "), 1) << r.err;
}

TEST_F(WholeRun, JoinedConnectionReadsInNumericOrderWithEverySection) {
    ASSERT_TRUE(test::have_program("tshark") && test::have_program("tcpdump"));
    // One connection that never ends: one dump per message and more at
    // stack changes, so numbers reach two digits.
    const std::string stream = synth({"-s", "9", "-n", "14", "-c", "1", "-e", "0", "-r", "2-6",
                                      "-S", "30", "-g", "20"});
    const std::string dir = run_daemon(stream, tmp_ / "sysctl", "direct", false);
    std::map<int, std::string> parts;
    std::string stem;
    for (const std::string& n : test::list_dir(dir)) {
        const size_t end = n.rfind(".pcapng");
        if (end == std::string::npos) continue;
        const size_t dot = n.rfind('.', end - 1);
        stem = n.substr(0, dot);
        parts[std::stoi(n.substr(dot + 1, end - dot - 1))] = dir + "/" + n;
    }
    ASSERT_GE(parts.size(), 11u);
    ASSERT_EQ(parts.rbegin()->first + 1, static_cast<int>(parts.size()));

    // The serial numbers that jump between parts: the last record of one
    // part and the first of the next, by the records' own bytes.
    std::map<int, uint32_t> jump_into;  // part number, missing count
    bool have_last = false;
    uint32_t last = 0;
    for (const auto& [n, path] : parts) {
        const std::vector<uint8_t> b = test::read_file(path);
        dump_contents c;
        dump_fault fault;
        ASSERT_EQ(dump_parse(b.data(), b.size(), true, c, fault), 0) << path << ": " << fault.message;
        for (const dump_block& blk : c.blocks) {
            if (!dump_block_has_record(blk)) continue;
            const uint32_t serial = rec_serial(blk.record);
            if (have_last && !jump_into.count(n) && serial != last + 1) jump_into[n] = serial - last - 1;
            have_last = true;
            last = serial;
            break;
        }
        for (auto it = c.blocks.rbegin(); it != c.blocks.rend(); ++it) {
            if (dump_block_has_record(*it)) {
                last = rec_serial(it->record);
                break;
            }
        }
    }
    ASSERT_FALSE(jump_into.empty()) << "the stream was meant to lose records between parts";

    // Each reader's view of the parts, one after the other in numeric order,
    // with the join's gap block (subtype 2, the count, the end of options)
    // before the first record of a part that the serial numbers jump into;
    // tcpdump shows packets alone.
    const std::string tshark_fields =
        " -T fields -e frame.time_epoch -e tcp.seq_raw -e frame.cb_pen -e data.data 2>/dev/null";
    std::string by_tshark, by_tcpdump, concatenated;
    for (const auto& [n, path] : parts) {
        if (jump_into.count(n)) {
            char hex[9];
            const uint32_t m = jump_into[n];
            snprintf(hex, sizeof hex, "%02x%02x%02x%02x", m & 0xff, (m >> 8) & 0xff, (m >> 16) & 0xff, m >> 24);
            by_tshark += "\t\t32473\t02000000" + std::string(hex) + "00000000\n";
        }
        by_tshark += shell("tshark -r " + q(path) + tshark_fields);
        by_tcpdump += shell("tcpdump -S -n -tt -r " + q(path) + " 2>/dev/null");
        const std::vector<uint8_t> b = test::read_file(path);
        concatenated.append(b.begin(), b.end());
    }
    // Some parts compressed, as a -J run or a later compression leaves them.
    shell("xz -0 " + q(parts[2]) + " && zstd -q --rm " + q(parts[10]) + " && xz -0 " + q(parts[1]));

    const std::string joined = tmp_ / "joined.pcapng";
    test::run_result r = inspect({"--join", dir + "/" + stem, "-o", joined});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::split_lines(r.err).size(), jump_into.size()) << r.err;
    const std::vector<uint8_t> jb = test::read_file(joined);
    r = inspect({"--join", dir + "/" + stem});
    EXPECT_TRUE(r.out == std::string(jb.begin(), jb.end()));
    // Without the gap blocks that follow an interface, the parts' bytes.
    dump_contents jc;
    dump_fault fault;
    ASSERT_EQ(dump_parse(jb.data(), jb.size(), true, jc, fault), 0) << fault.offset << ": " << fault.message;
    std::string unmarked;
    for (size_t i = 0; i < jc.blocks.size(); i++) {
        const dump_block& b = jc.blocks[i];
        if (b.kind == dump_block_kind::gap && jc.blocks[i - 1].kind == dump_block_kind::interface) continue;
        unmarked.append(jb.begin() + static_cast<std::ptrdiff_t>(b.offset),
                        jb.begin() + static_cast<std::ptrdiff_t>(b.offset + b.length));
    }
    EXPECT_TRUE(unmarked == concatenated);

    EXPECT_EQ(shell("tshark -r " + q(joined) + tshark_fields), by_tshark);
    EXPECT_EQ(shell("tcpdump -S -n -tt -r " + q(joined) + " 2>/dev/null"), by_tcpdump);
    r = inspect({"--check", joined});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find(joined + ": ok: " + std::to_string(parts.size()) + " sections"), 0u) << r.out;
}

// What Wireshark's own tools write from the daemon's dumps is sound pcapng
// (interfaces without options, the program's name in the section header,
// records merged, windowed or split), so --check passes it and counts every
// record; a cut copy is refused at the start of the block the cut falls in.
TEST_F(WholeRun, CheckAcceptsWhatWiresharksToolsWriteFromRealDumps) {
    for (const char* tool : {"editcap", "mergecap", "tshark"}) ASSERT_TRUE(test::have_program(tool)) << tool;
    const std::string repo = QUARN_SOURCE_DIR;
    const std::string stream = synth({"-s", "23", "-n", "60", "-c", "4", "-r", "1-12", "-S", "20", "-g", "15",
                                      "-e", "10", "-6", "40", "-v", "20"});
    const struct {
        const char* name;
        std::string input, sysctl;
    } runs[] = {
        {"sample", repo + "/data/sample.tcplog", repo + "/data/sysctl"},
        {"synth", stream, tmp_ / "sysctl"},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        const std::string dir = run_daemon(run.input, run.sysctl, run.name, false);
        uint64_t records = 0;
        std::map<std::string, int> parts;  // stem, number of parts
        for (const std::string& line : test::split_lines(test::read_text(dir + "/records"))) {
            const size_t at = line.find("\"record_count\":") + 15;
            records += std::stoull(line.substr(at, line.find(',', at) - at));
        }
        std::string one, stem;
        for (const std::string& n : test::list_dir(dir)) {
            dump_name dn;
            if (!parse_dump_name(n, dn) || dn.compression->id != dump_compression::none) continue;
            if (one.empty()) one = dir + "/" + n;
            if (++parts[dn.stem] > (stem.empty() ? 0 : parts[stem])) stem = dn.stem;
        }
        ASSERT_FALSE(one.empty());
        ASSERT_GE(parts[stem], 2);
        const std::string w = tmp_ / run.name;
        shell("cd " + q(dir) + " && editcap " + q(one) + " " + q(w + ".edit.pcapng") +
              " && mergecap -w " + q(w + ".merged.pcapng") + " *.pcapng" +
              " && mergecap -a -w " + q(w + ".appended.pcapng") + " *.pcapng" +
              " && editcap -r " + q(w + ".merged.pcapng") + " " + q(w + ".window.pcapng") + " 20-80" +
              " && editcap -c 40 " + q(w + ".merged.pcapng") + " " + q(w + ".split.pcapng"));
        ASSERT_EQ(inspect({"--join", dir + "/" + stem, "-o", w + ".joined.pcapng"}).status, 0);
        shell("tshark -r " + q(w + ".joined.pcapng") + " -w " + q(w + ".tshark.pcapng") + " 2>/dev/null");
        std::vector<std::string> files = {w + ".edit.pcapng", w + ".merged.pcapng", w + ".appended.pcapng",
                                          w + ".window.pcapng", w + ".tshark.pcapng"};
        for (const std::string& n : test::list_dir(tmp_.path())) {
            if (n.rfind(std::string(run.name) + ".split_", 0) == 0) files.push_back(tmp_ / n);
        }
        ASSERT_GE(files.size(), 7u);
        for (const std::string& f : files) {
            SCOPED_TRACE(f);
            const test::run_result r = inspect({"--check", f});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out.rfind(f + ": ok: 1 section, ", 0), 0u) << r.out;
            EXPECT_NE(r.out.find(", 1 written by another program, checked as pcapng only\n"), std::string::npos)
                << r.out;
        }
        // Every record of every dump is in the merged file.
        const test::run_result merged = inspect({"--check", w + ".merged.pcapng"});
        EXPECT_NE(merged.out.find(", " + std::to_string(records) + " records ("), std::string::npos)
            << merged.out << " expected " << records;

        // Cut at every eighth of the merged file: the fault is named at the
        // start of a block of the whole file.
        const std::vector<uint8_t> whole = test::read_file(w + ".merged.pcapng");
        dump_contents c;
        dump_fault fault;
        ASSERT_EQ(dump_parse(whole.data(), whole.size(), true, c, fault), 0) << fault.message;
        std::set<size_t> starts;
        for (const dump_block& b : c.blocks) starts.insert(b.offset);
        for (size_t k = 1; k < 8; k++) {
            const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * k / 8));
            if (starts.count(cut.size())) continue;  // a cut between blocks is a whole file
            dump_contents cc;
            ASSERT_EQ(dump_parse(cut.data(), cut.size(), true, cc, fault), -1);
            EXPECT_TRUE(starts.count(fault.offset)) << fault.offset << ": " << fault.message;
            EXPECT_LT(fault.offset, cut.size());
        }
    }
}

// What the synthesizer put into a stream, as the dumps must show it.
struct stream_truth {
    std::multiset<uint32_t> gaps;
    std::multiset<std::string> events;  // "serial event stack"
};

stream_truth walk_stream(const std::vector<uint8_t>& s) {
    stream_truth t;
    size_t at = 0;
    while (s.size() - at >= COMMON_HEADER_SIZE) {
        const uint8_t* m = s.data() + at;
        const uint64_t len = tlh_length(m);
        if (len < COMMON_HEADER_SIZE || len > s.size() - at) break;
        at += len;
        if (tlh_type(m) != TLH_TYPE_BBR || len < MIN_DUMP_MESSAGE_SIZE) continue;
        bool first = true;
        uint8_t stack = 0;
        uint32_t prev = 0;
        for (size_t r = LOG_HEADER_SIZE; len - r >= LOG_RECORD_SIZE && len - r >= rec_size(m + r);
             r += rec_size(m + r)) {
            const uint8_t* rec = m + r;
            if (first || rec_stack_id(rec) != stack) {
                first = false;
                stack = rec_stack_id(rec);
            } else if (rec_serial(rec) != prev + 1) {
                t.gaps.insert(rec_serial(rec) - prev - 1);
            }
            prev = rec_serial(rec);
            if (!(rec_flags(rec) & REC_FLAG_HAS_TH)) {
                t.events.insert(std::to_string(rec_serial(rec)) + " " + std::to_string(rec_event_id(rec)) +
                                " " + std::to_string(rec_stack_id(rec)));
            }
        }
    }
    return t;
}

TEST_F(WholeRun, WiresharkPluginShowsWhatTheSynthesizerPutIn) {
    ASSERT_TRUE(test::have_program("tshark"));
    const std::string stream = synth({"-s", "77", "-n", "120", "-c", "8", "-r", "1-12", "-p", "50",
                                      "-g", "25", "-S", "15", "-e", "10", "-6", "30"});
    const stream_truth truth = walk_stream(test::read_file(stream));
    ASSERT_GE(truth.gaps.size(), 20u);
    ASSERT_GE(truth.events.size(), 100u);
    const std::string dir = run_daemon(stream, tmp_ / "sysctl", "direct", false);
    // Plain concatenation is a valid multi-section capture: one tshark run.
    const std::string all = tmp_ / "all.pcapng";
    shell("cat " + q(dir) + "/*.pcapng > " + q(all));
    const std::string lua = std::string(QUARN_SOURCE_DIR) + "/contrib/wireshark/quarn.lua";
    const std::string tshark = "tshark -X lua_script:" + q(lua) + " -r " + q(all);

    const std::string out = shell(tshark + " -T fields -e quarn.block -e quarn.gap -e quarn.serial "
                                           "-e quarn.event_id -e quarn.stack_id 2>/dev/null");
    stream_truth seen;
    for (const std::string& line : test::split_lines(out)) {
        std::vector<std::string> col;
        size_t from = 0;
        for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
            col.push_back(line.substr(from, tab - from));
        }
        col.push_back(line.substr(from));
        ASSERT_EQ(col.size(), 5u) << line;
        if (col[0] == "gap") seen.gaps.insert(static_cast<uint32_t>(std::stoul(col[1])));
        if (col[0] == "event") seen.events.insert(col[2] + " " + col[3] + " " + col[4]);
    }
    EXPECT_EQ(seen.gaps, truth.gaps);
    EXPECT_EQ(seen.events, truth.events);

    // Display filters on the plugin's fields.
    const auto count = [&](const std::string& filter) {
        return test::split_lines(shell(tshark + " -Y " + q(filter) + " -T fields -e frame.number 2>/dev/null")).size();
    };
    const size_t big_gaps = static_cast<size_t>(
        std::count_if(truth.gaps.begin(), truth.gaps.end(), [](uint32_t g) { return g > 10; }));
    const size_t ends = static_cast<size_t>(std::count_if(truth.events.begin(), truth.events.end(),
        [](const std::string& e) { return e.find(" 54 ") != std::string::npos; }));
    ASSERT_GT(ends, 0u);
    EXPECT_EQ(count("quarn.gap > 10"), big_gaps);
    EXPECT_EQ(count("quarn.event_id == 54"), ends);
    // The Info column names what a block is.
    const std::string info = shell(tshark + " -Y quarn.gap -T fields -e quarn.gap -e _ws.col.Info 2>/dev/null");
    for (const std::string& line : test::split_lines(info)) {
        const std::string n = line.substr(0, line.find('\t'));
        EXPECT_EQ(line, n + "\tGap: " + n + " records missing");
    }
}

}  // namespace
}  // namespace quarn
