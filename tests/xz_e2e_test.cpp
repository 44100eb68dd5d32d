// Compression (-J) end to end: every stream shape dumped twice, directly and
// through the XZ writer, must give the same files under ".xz" names, each a
// sound XZ stream with a CRC64 check that decompresses to exactly the direct
// file, and the same index lines apart from the compressor and the names.
// The real daemon is held to the same on the bundled sample and on a
// synthesized stream.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump_check.h"
#include "quarn_dump.h"
#include "quarn_dumper.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"
#include "quarn_stacknames.h"
#include "quarn_xz.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::temp_dir;
using bytes = std::vector<uint8_t>;

constexpr int64_t DUMP_TIME = 1700000200;
using test::STACK_A;
using test::STACK_B;
// The section header's dump-time option value: after the 24 fixed bytes,
// the log version option (12-byte header, 4-byte value) and the dump-time
// option's own 12-byte header.
constexpr size_t SHB_DUMP_TIME_AT = 52;
constexpr size_t NO_DIFFERENCE = SIZE_MAX;

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// The index a -J run must write for the lines `direct` of a run without it.
std::string as_xz_index(const std::string& direct) {
    return replace_all(replace_all(direct, "\"compressor\":\"\"", "\"compressor\":\"xz\""),
                       ".pcapng\"", ".pcapng.xz\"");
}

size_t first_difference(const bytes& a, const bytes& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i]) return i;
    }
    return a.size() == b.size() ? NO_DIFFERENCE : n;
}

test::run_result run_xz(const std::vector<std::string>& args) {
    test::run_options opts;
    opts.args.push_back("xz");
    opts.args.insert(opts.args.end(), args.begin(), args.end());
    return test::run("/usr/bin/env", opts);
}

// Checks the files `names` of `dir` with the xz tool: each passes the
// integrity test and lists as one stream with a CRC64 check. Returns their
// decompressed contents in the order of `names`. The tool works on numbered
// copies, since the names carry whatever bytes the connection ids hold.
std::vector<bytes> unxz_checked(const std::string& dir, const std::vector<std::string>& names) {
    temp_dir scratch;
    std::vector<std::string> copies;
    for (size_t i = 0; i < names.size(); i++) {
        copies.push_back(scratch / (std::to_string(i) + ".xz"));
        test::write_file(copies.back(), test::read_file(dir + "/" + names[i]));
    }
    auto with = [&copies](std::vector<std::string> args) {
        args.insert(args.end(), copies.begin(), copies.end());
        return args;
    };
    const test::run_result t = run_xz(with({"-t"}));
    EXPECT_EQ(t.status, 0) << t.err;

    const test::run_result l = run_xz(with({"--robot", "-l"}));
    EXPECT_EQ(l.status, 0) << l.err;
    // "file <streams> <blocks> <compressed> <uncompressed> <ratio> <check> <padding>",
    // one line per file in argument order.
    size_t listed = 0;
    for (const std::string& line : lines_of(l.out)) {
        if (line.rfind("file\t", 0) != 0) continue;
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string v; std::getline(fields, v, '\t');) f.push_back(v);
        const std::string name = listed < names.size() ? names[listed] : "?";
        listed++;
        f.resize(7);
        EXPECT_EQ(f[1], "1") << name << ": streams in " << line;
        EXPECT_EQ(f[6], "CRC64") << name << ": check";
    }
    EXPECT_EQ(listed, names.size()) << l.out;

    const test::run_result d = run_xz(with({"-d"}));
    EXPECT_EQ(d.status, 0) << d.err;
    std::vector<bytes> out;
    for (size_t i = 0; i < names.size(); i++)
        out.push_back(test::read_file(scratch / std::to_string(i)));
    return out;
}

std::string stem(const std::string& id, bool v6) {
    return id + (v6 ? "_443_2001:db8::2_50000" : "_443_10.0.0.2_50000");
}

qb::header_spec conn(const std::string& id, bool v6 = false, const std::string& reason = "normal") {
    qb::header_spec h;
    h.id = id;
    h.reason = reason;
    if (v6) qb::use_ipv6(h);
    return h;
}

// n records from serial `first` on: packets both ways with and without TCP
// options and with payload lengths, every fourth record an event.
std::vector<qb::record_spec> records(uint32_t n, uint32_t first = 1, uint8_t stack = STACK_A) {
    std::vector<qb::record_spec> recs(n);
    for (uint32_t i = 0; i < n; i++) {
        qb::record_spec& r = recs[i];
        r.serial = first + i;
        r.stack_id = stack;
        r.sec = 100 + i / 3;
        r.usec = (i * 270001u) % 1000000;
        r.fill = static_cast<uint8_t>(0x40 + i);
        if (i % 4 == 3) {
            r.flags = 0;
            r.event_id = static_cast<uint8_t>(10 + i % 20);
            continue;
        }
        const bool in = i % 2 == 0;
        r.event_id = in ? REC_EVENT_IN : 2;
        r.payload_len = (i * 517u) % 1449;
        r.th = in ? qb::tcp_header(50000, 443, 1000 + i * 1448u, 7000, 8, 0x10, 512)
                  : qb::tcp_header(443, 50000, 7000, 1000 + i * 1448u, 5, 0x18, 65535);
    }
    return recs;
}

// Fills the uninterpreted bytes 28 to 263 of every record (they go into
// each block's record option) with random bytes, so that they resist
// compression.
void scramble_opaque_bytes(bytes& m, uint64_t seed) {
    std::mt19937_64 gen(seed);
    for (size_t at = LOG_HEADER_SIZE; at < m.size();) {
        uint8_t* r = m.data() + at;
        for (size_t off = OFF_REC_FLAGS + 2; off < OFF_REC_PAYLOAD_LEN; off += 8) {
            const uint64_t v = gen();
            memcpy(r + off, &v, std::min<size_t>(8, OFF_REC_PAYLOAD_LEN - off));
        }
        at += (load<uint16_t>(r + OFF_REC_FLAGS) & REC_FLAG_VERBOSE) ? LOG_RECORD_VERBOSE_SIZE
                                                                     : LOG_RECORD_SIZE;
    }
}

struct stream_case {
    const char* name;
    std::vector<bytes> messages;
    std::vector<std::string> files;  // what the direct run keeps, "records" aside
    size_t index_lines;
    std::string report;              // standard error of each run
    size_t min_compressed = 0;       // lower bound of each compressed file's size
};

std::vector<stream_case> stream_cases() {
    std::vector<stream_case> cases;

    std::vector<qb::record_spec> packets = records(16);
    std::erase_if(packets, [](const qb::record_spec& r) { return r.flags == 0; });
    cases.push_back({"IPv4 packets", {qb::message(conn("pk4"), packets)},
                     {stem("pk4", false) + ".0.pcapng"}, 1, ""});

    cases.push_back({"IPv6 records over two messages",
                     {qb::message(conn("pk6", true), records(14)),
                      qb::message(conn("pk6", true), records(3, 15))},
                     {stem("pk6", true) + ".0.pcapng", stem("pk6", true) + ".1.pcapng"}, 2, ""});

    std::vector<qb::record_spec> events = records(12);
    for (qb::record_spec& r : events) r.flags = 0;
    events.back().event_id = REC_EVENT_CONN_END;
    cases.push_back({"events up to the connection's end", {qb::message(conn("ev"), events)},
                     {stem("ev", false) + ".0.pcapng"}, 1, ""});

    std::vector<qb::record_spec> verbose = records(13);
    for (size_t i = 0; i < verbose.size(); i += 3) verbose[i].flags |= REC_FLAG_VERBOSE;
    cases.push_back({"verbose records", {qb::message(conn("vb", true), verbose)},
                     {stem("vb", true) + ".0.pcapng"}, 1, ""});

    std::vector<qb::record_spec> gaps = records(12);
    const uint32_t serials[] = {1, 2, 3, 9, 10, 4294967294u, 4294967295u, 0, 1, 40, 7, 8};
    for (size_t i = 0; i < gaps.size(); i++) gaps[i].serial = serials[i];
    cases.push_back({"gaps in the serial numbers", {qb::message(conn("gap"), gaps)},
                     {stem("gap", false) + ".0.pcapng"}, 1, ""});

    std::vector<qb::record_spec> split = records(12);
    for (size_t i = 5; i < 9; i++) split[i].stack_id = STACK_B;
    cases.push_back({"stack changes split the message", {qb::message(conn("split"), split)},
                     {stem("split", false) + ".0.pcapng", stem("split", false) + ".1.pcapng",
                      stem("split", false) + ".2.pcapng"},
                     3, ""});

    bytes tail = qb::message(conn("tail"), records(12));
    tail.resize(tail.size() + 100, 0xAB);
    qb::finish(tail);
    cases.push_back({"a short tail keeps the whole records, indexed", {tail},
                     {stem("tail", false) + ".0.pcapng"}, 1,
                     "Incorrect header length while processing black box record\n"});

    qb::record_spec cut_record;
    cut_record.flags |= REC_FLAG_VERBOSE;
    bytes cut = qb::message(conn("cut"), {cut_record});
    cut.resize(MIN_DUMP_MESSAGE_SIZE);
    qb::finish(cut);
    cases.push_back({"short error and rebuffer dumps and a cut verbose record are removed",
                     {qb::message(conn("err10", false, "error"), records(10)),
                      qb::message(conn("reb", true, "rebuffer"), records(3)),
                      qb::message(conn("err11", false, "error"), records(11)), cut},
                     {stem("err11", false) + ".0.pcapng"}, 1,
                     "Incorrect header length while processing verbose black box record\n"});

    // 24000 records carry 5.6 MB of random bytes: the compressed file fills
    // the 2 MiB output buffer twice before its end is written.
    bytes large = qb::message(conn("large"), records(24000));
    scramble_opaque_bytes(large, 7);
    cases.push_back({"a dump larger than two output buffers", {large},
                     {stem("large", false) + ".0.pcapng"}, 1, "", 2 * size_t{XZ_OUTBUF_SIZE}});
    return cases;
}

int64_t cache_now = 1000000;
time_t cache_clock() { return static_cast<time_t>(cache_now); }

class XzDumpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static std::once_flag once;
        std::call_once(once, [] {
            ASSERT_EQ(records_init(), 0);
            idcache_clock = cache_clock;
            idcache_init(0);
            test::name_test_stacks();
        });
    }

    void SetUp() override {
        if (!test::have_program("xz")) GTEST_SKIP() << "xz is not installed";
        saved_xz_ = compress_xz;
        dump_clock = [] { return int64_t{DUMP_TIME}; };
    }

    void TearDown() override {
        forget_cache();
        compress_xz = saved_xz_;
    }

    // Every run starts with no connection known, as a fresh worker does.
    static void forget_cache() {
        cache_now += 100000000;
        idcache_expire();
        EXPECT_EQ(idcache_size(), 0u);
    }

    // Dumps a copy of each message into `dir`; returns what was reported.
    static std::string dump_stream(const std::vector<bytes>& messages, const std::string& dir,
                                   bool xz) {
        forget_cache();
        compress_xz = xz;
        reopen_flag = true;  // the index line goes to this directory's "records"
        const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        EXPECT_GE(dir_fd, 0) << dir;
        test::stderr_capture err;
        for (const bytes& m : messages) {
            test::aligned_msg copy(m);
            do_bbr_record(dir_fd, copy.data());
        }
        const std::string report = err.text();
        close(dir_fd);
        return report;
    }

    bool saved_xz_ = false;
};

TEST_F(XzDumpTest, CompressedDumpsMatchTheDirectOnes) {
    for (const stream_case& c : stream_cases()) {
        SCOPED_TRACE(c.name);
        temp_dir direct, packed;
        EXPECT_EQ(dump_stream(c.messages, direct.path(), false), c.report);
        EXPECT_EQ(dump_stream(c.messages, packed.path(), true), c.report);

        std::vector<std::string> want = c.files;
        if (c.index_lines > 0) want.push_back("records");
        std::sort(want.begin(), want.end());
        ASSERT_EQ(test::list_dir(direct.path()), want);
        std::vector<std::string> want_xz;
        for (std::string n : want) want_xz.push_back(n == "records" ? n : n + ".xz");
        std::sort(want_xz.begin(), want_xz.end());
        ASSERT_EQ(test::list_dir(packed.path()), want_xz);

        std::vector<std::string> xz_names;
        for (const std::string& n : c.files) xz_names.push_back(n + ".xz");
        const std::vector<bytes> unpacked = unxz_checked(packed.path(), xz_names);
        ASSERT_EQ(unpacked.size(), c.files.size());
        for (size_t i = 0; i < c.files.size(); i++) {
            SCOPED_TRACE(c.files[i]);
            const bytes plain = test::read_file(direct / c.files[i]);
            EXPECT_EQ(test::block_summary(plain).find('!'), std::string::npos);
            EXPECT_EQ(first_difference(plain, unpacked[i]), NO_DIFFERENCE)
                << plain.size() << " direct bytes, " << unpacked[i].size() << " decompressed";
            EXPECT_GE(test::read_file(packed / xz_names[i]).size(), c.min_compressed);
        }

        if (c.index_lines == 0) continue;
        const std::string index = test::read_text(direct / "records");
        const std::string xz_index = test::read_text(packed / "records");
        EXPECT_EQ(lines_of(index).size(), c.index_lines);
        const std::string no_compressor = "\"compressor\":\"\"";
        EXPECT_EQ(index.size() - replace_all(index, no_compressor, "").size(),
                  c.index_lines * no_compressor.size())
            << "every direct line names no compressor";
        EXPECT_EQ(xz_index, as_xz_index(index));
        std::vector<test::json_object> objs;
        std::string error;
        ASSERT_TRUE(test::parse_json_lines(xz_index, &objs, &error)) << error;
        for (const test::json_object& o : objs) EXPECT_EQ(o.at("compressor").text, "xz");
    }
}

// With -J an uncompressed file of the same number does not take the name;
// a compressed one does. Files already there stay as they were.
TEST_F(XzDumpTest, ProbingLooksOnlyAtCompressedNames) {
    const std::string s = stem("probe", false);
    struct probe_case {
        const char* name;
        std::vector<std::string> present;
        int32_t frag_seq;
    };
    const probe_case cases[] = {
        {"uncompressed file with number 0", {s + ".0.pcapng"}, 0},
        {"compressed file with number 0", {s + ".0.pcapng.xz"}, 1},
        {"compressed 0, uncompressed 1 and 2", {s + ".0.pcapng.xz", s + ".1.pcapng", s + ".2.pcapng"}, 1},
    };
    const bytes message = qb::message(conn("probe"), records(12));
    for (const probe_case& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        for (const std::string& n : c.present) test::write_file(dir / n, "kept " + n);
        EXPECT_EQ(dump_stream({message}, dir.path(), true), "");

        const std::string made = s + "." + std::to_string(c.frag_seq) + ".pcapng.xz";
        std::vector<std::string> want = c.present;
        want.insert(want.end(), {made, "records"});
        std::sort(want.begin(), want.end());
        EXPECT_EQ(test::list_dir(dir.path()), want);
        for (const std::string& n : c.present) EXPECT_EQ(test::read_text(dir / n), "kept " + n);

        std::vector<test::json_object> objs;
        std::string error;
        ASSERT_TRUE(test::parse_json_lines(test::read_text(dir / "records"), &objs, &error)) << error;
        ASSERT_EQ(objs.size(), 1u);
        EXPECT_EQ(objs[0].at("filename").text, made);
        EXPECT_EQ(objs[0].at("frag_seq").text, std::to_string(c.frag_seq));
        EXPECT_EQ(test::record_blocks(unxz_checked(dir.path(), {made}).at(0)), 12u);
    }
}

std::string current_user() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "root";
}

// The line with the date's value cut out.
std::string without_date(std::string line) {
    const std::string key = "\"date\":\"";
    const size_t from = line.find(key);
    if (from == std::string::npos) return line;
    const size_t at = from + key.size();
    const size_t end = line.find('"', at);
    return end == std::string::npos ? line : line.erase(at, end - at);
}

class XzDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::have_program("xz")) GTEST_SKIP() << "xz is not installed";
    }

    test::run_result run_daemon(const std::string& input, const std::string& sysctl_dir,
                                const std::string& out, bool xz) {
        EXPECT_EQ(mkdir(out.c_str(), 0755), 0) << out;
        test::run_options opts;
        opts.args = {"-u", current_user(), "-D", out, "-f", input};
        if (xz) opts.args.push_back("-J");
        opts.env["QUARN_SYSCTL_DIR"] = sysctl_dir;
        opts.timeout_ms = 120000;
        return test::run(test::daemon_path(), opts);
    }

    // Runs the daemon on `input` without and with -J and holds the -J
    // output to the direct one, file by file and line by line.
    void compare_runs(const std::string& input, const std::string& sysctl_dir, size_t min_files) {
        const std::string direct = tmp_ / "direct", packed = tmp_ / "xz";
        const int64_t before = time(nullptr);
        const test::run_result rd = run_daemon(input, sysctl_dir, direct, false);
        const test::run_result rx = run_daemon(input, sysctl_dir, packed, true);
        const int64_t after = time(nullptr);
        ASSERT_FALSE(rd.timed_out || rx.timed_out);
        EXPECT_EQ(rd.status, 0) << rd.err;
        EXPECT_EQ(rx.status, 0) << rx.err;
        std::vector<std::string> err_d = lines_of(rd.err), err_x = lines_of(rx.err);
        std::sort(err_d.begin(), err_d.end());
        std::sort(err_x.begin(), err_x.end());
        EXPECT_EQ(err_x, err_d);

        std::vector<std::string> plain_names, xz_names, present_xz;
        for (const std::string& n : test::list_dir(direct)) {
            if (n != "records") plain_names.push_back(n);
        }
        for (const std::string& n : test::list_dir(packed)) {
            if (n == "records") continue;
            EXPECT_TRUE(ends_with(n, ".pcapng.xz")) << n;
            present_xz.push_back(n);
        }
        for (const std::string& n : plain_names) xz_names.push_back(n + ".xz");
        ASSERT_GE(plain_names.size(), min_files);
        ASSERT_EQ(std::set<std::string>(present_xz.begin(), present_xz.end()),
                  std::set<std::string>(xz_names.begin(), xz_names.end()));

        const std::vector<bytes> unpacked = unxz_checked(packed, xz_names);
        ASSERT_EQ(unpacked.size(), plain_names.size());
        size_t largest = 0;
        for (size_t i = 0; i < plain_names.size(); i++) {
            SCOPED_TRACE(plain_names[i]);
            const bytes plain = test::read_file(direct + "/" + plain_names[i]);
            bytes copy = unpacked[i];
            ASSERT_EQ(copy.size(), plain.size());
            ASSERT_GE(plain.size(), SHB_DUMP_TIME_AT + 8);
            // Each run stamps its own wall-clock time; the rest is equal.
            const int64_t t_plain = load<int64_t>(plain.data() + SHB_DUMP_TIME_AT);
            const int64_t t_xz = load<int64_t>(copy.data() + SHB_DUMP_TIME_AT);
            EXPECT_TRUE(t_plain >= before && t_plain <= after) << t_plain;
            EXPECT_TRUE(t_xz >= before && t_xz <= after) << t_xz;
            memcpy(copy.data() + SHB_DUMP_TIME_AT, plain.data() + SHB_DUMP_TIME_AT, 8);
            EXPECT_EQ(first_difference(plain, copy), NO_DIFFERENCE);
            if (plain.size() > unpacked[largest].size()) largest = i;
        }

        std::vector<test::json_object> objs;
        std::string error;
        const std::string xz_index = test::read_text(packed + "/records");
        ASSERT_TRUE(test::parse_json_lines(xz_index, &objs, &error)) << error;
        std::set<std::string> indexed;
        for (const test::json_object& o : objs) {
            const std::string name = o.at("filename").text;
            EXPECT_EQ(o.at("compressor").text, "xz") << name;
            EXPECT_TRUE(test::file_exists(packed + "/" + name)) << name;
            EXPECT_TRUE(indexed.insert(name).second) << name << " indexed twice";
        }
        std::vector<std::string> want, got;
        for (const std::string& l : lines_of(test::read_text(direct + "/records")))
            want.push_back(without_date(as_xz_index(l)));
        for (const std::string& l : lines_of(xz_index)) got.push_back(without_date(l));
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got.size(), want.size());
        for (size_t i = 0; i < std::min(got.size(), want.size()); i++) {
            if (got[i] == want[i]) continue;
            ADD_FAILURE() << "index lines differ (date left out):\n  direct: " << want[i]
                          << "\n  -J:     " << got[i];
            break;
        }

        if (test::have_program("tshark")) {
            const std::string path = tmp_ / "largest.pcapng";
            test::write_file(path, unpacked[largest]);
            std::string blocks_error, out;
            const size_t blocks = test::walk_blocks(unpacked[largest], &blocks_error).size();
            EXPECT_EQ(blocks_error, "");
            EXPECT_EQ(test::tshark_frames(path, &out), static_cast<int>(blocks) - 2) << out;
        }
    }

    temp_dir tmp_;
};

TEST_F(XzDaemonTest, BundledSampleCompressesToTheDirectCaptures) {
    const std::string repo = QUARN_SOURCE_DIR;
    compare_runs(repo + "/data/sample.tcplog", repo + "/data/sysctl", 100);
}

TEST_F(XzDaemonTest, SynthesizedStreamCompressesToTheDirectCaptures) {
    if (!*test::synth_path()) GTEST_SKIP() << "quarn_synth not built";
    test::run_options synth;
    synth.args = {"-s", "23", "-n", "80", "-r", "1-40", "-R", "normal:4,error:2,rebuffer:1",
                  "-S", "25", "-g", "10", "-e", "10", "-6", "40", "-v", "20",
                  "-D", "short-tail", "-o", tmp_ / "stream", "-k", tmp_ / "sysctl"};
    const test::run_result s = test::run(test::synth_path(), synth);
    ASSERT_EQ(s.status, 0) << s.err;
    compare_runs(tmp_ / "stream", tmp_ / "sysctl", 40);
}

}  // namespace
}  // namespace quarn
