// Compression (-J and -Z) end to end: every stream shape dumped directly and
// through each compressing writer must give the same files under ".xz" or
// ".zst" names, each one sound stream with its check (XZ: CRC64, zstd: one
// frame with the content checksum) that decompresses to exactly the direct
// file, and the same index lines apart from the compressor and the names.
// The real daemon is held to the same on the bundled sample and on a
// synthesized stream. A failed write leaves a compressed file unindexed, as
// it does a direct one.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
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
#include "quarn_dumploss.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_outbuf.h"
#include "quarn_records.h"
#include "quarn_report.h"
#include "quarn_stacknames.h"
#include "quarn_xz.h"
#include "quarn_zstd.h"
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


size_t first_difference(const bytes& a, const bytes& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i]) return i;
    }
    return a.size() == b.size() ? NO_DIFFERENCE : n;
}

test::run_result run_tool(const char* tool, const std::vector<std::string>& args) {
    test::run_options opts;
    opts.args.push_back(tool);
    opts.args.insert(opts.args.end(), args.begin(), args.end());
    return test::run("/usr/bin/env", opts);
}

// Checks the files `names` of `dir` with the xz tool: each passes the
// integrity test and lists as one stream with a CRC64 check. Returns their
// decompressed contents in the order of `names`. The tool works on numbered
// copies, since the names carry whatever bytes the connection ids hold.
std::vector<bytes> unxz_checked(const std::string& dir, const std::vector<std::string>& names) {
    auto run_xz = [](const std::vector<std::string>& args) { return run_tool("xz", args); };
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

// The same with the zstd tool: each file passes the integrity test and
// lists as one frame that carries the content checksum.
std::vector<bytes> unzstd_checked(const std::string& dir, const std::vector<std::string>& names) {
    temp_dir scratch;
    std::vector<std::string> copies;
    for (size_t i = 0; i < names.size(); i++) {
        copies.push_back(scratch / (std::to_string(i) + ".zst"));
        test::write_file(copies.back(), test::read_file(dir + "/" + names[i]));
    }
    std::vector<std::string> test_args = {"-q", "-t"};
    test_args.insert(test_args.end(), copies.begin(), copies.end());
    const test::run_result t = run_tool("zstd", test_args);
    EXPECT_EQ(t.status, 0) << t.err;

    std::vector<bytes> out;
    for (size_t i = 0; i < names.size(); i++) {
        SCOPED_TRACE(names[i]);
        const test::run_result l = run_tool("zstd", {"-lv", copies[i]});
        EXPECT_EQ(l.status, 0) << l.err;
        EXPECT_NE(l.out.find("# Zstandard Frames: 1\n"), std::string::npos) << l.out;
        EXPECT_NE(l.out.find("Check: XXH64"), std::string::npos) << l.out;
        const test::run_result d = run_tool("zstd", {"-q", "-dc", copies[i]});
        EXPECT_EQ(d.status, 0) << d.err;
        out.emplace_back(d.out.begin(), d.out.end());
    }
    return out;
}

// A compressing writer as the daemon's options choose it.
struct compressor {
    const char* name;    // the index's "compressor" value, also the tool
    const char* option;  // daemon option
    const char* suffix;  // after ".pcapng"
    std::vector<bytes> (*unpack_checked)(const std::string& dir, const std::vector<std::string>& names);
};

const compressor XZ{"xz", "-J", ".xz", unxz_checked};
const compressor ZSTD{"zstd", "-Z", ".zst", unzstd_checked};

// Sets the daemon's compression flags for `c` (null: direct).
void choose(const compressor* c) {
    dump_set_compression(c == &XZ     ? dump_compression::xz
                         : c == &ZSTD ? dump_compression::zstd
                                      : dump_compression::none);
}

// The index a compressed run must write for the lines `direct` of a run
// without compression.
std::string as_index(const std::string& direct, const compressor& c) {
    return replace_all(
        replace_all(direct, "\"compressor\":\"\"", "\"compressor\":\"" + std::string(c.name) + "\""),
        ".pcapng\"", ".pcapng" + std::string(c.suffix) + "\"");
}

std::string param_name(const ::testing::TestParamInfo<const compressor*>& info) {
    return info.param->name;
}

std::string stem(const std::string& id, bool v6) {
    return id + (v6 ? "_443_2001:db8::2_50000" : "_443_10.0.0.2_50000");
}

qb::header_fields conn(const std::string& id, bool v6 = false, const std::string& reason = "normal") {
    qb::header_fields h;
    h.id = id;
    h.reason = reason;
    if (v6) qb::use_ipv6(h);
    return h;
}

// n records from serial `first` on: packets both ways with and without TCP
// options and with payload lengths, every fourth record an event.
std::vector<qb::record_fields> records(uint32_t n, uint32_t first = 1, uint8_t stack = STACK_A) {
    std::vector<qb::record_fields> recs(n);
    for (uint32_t i = 0; i < n; i++) {
        qb::record_fields& r = recs[i];
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

    std::vector<qb::record_fields> packets = records(16);
    std::erase_if(packets, [](const qb::record_fields& r) { return r.flags == 0; });
    cases.push_back({"IPv4 packets", {qb::message(conn("pk4"), packets)},
                     {stem("pk4", false) + ".0.pcapng"}, 1, ""});

    cases.push_back({"IPv6 records over two messages",
                     {qb::message(conn("pk6", true), records(14)),
                      qb::message(conn("pk6", true), records(3, 15))},
                     {stem("pk6", true) + ".0.pcapng", stem("pk6", true) + ".1.pcapng"}, 2, ""});

    std::vector<qb::record_fields> events = records(12);
    for (qb::record_fields& r : events) r.flags = 0;
    events.back().event_id = REC_EVENT_CONN_END;
    cases.push_back({"events up to the connection's end", {qb::message(conn("ev"), events)},
                     {stem("ev", false) + ".0.pcapng"}, 1, ""});

    std::vector<qb::record_fields> verbose = records(13);
    for (size_t i = 0; i < verbose.size(); i += 3) verbose[i].flags |= REC_FLAG_VERBOSE;
    cases.push_back({"verbose records", {qb::message(conn("vb", true), verbose)},
                     {stem("vb", true) + ".0.pcapng"}, 1, ""});

    std::vector<qb::record_fields> gaps = records(12);
    const uint32_t serials[] = {1, 2, 3, 9, 10, 4294967294u, 4294967295u, 0, 1, 40, 7, 8};
    for (size_t i = 0; i < gaps.size(); i++) gaps[i].serial = serials[i];
    cases.push_back({"gaps in the serial numbers", {qb::message(conn("gap"), gaps)},
                     {stem("gap", false) + ".0.pcapng"}, 1, ""});

    std::vector<qb::record_fields> split = records(12);
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

    qb::record_fields cut_record;
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
                     {stem("large", false) + ".0.pcapng"}, 1, "", 2 * size_t{OUTBUF_SIZE}});
    return cases;
}

int64_t cache_now = 1000000;
time_t cache_clock() { return static_cast<time_t>(cache_now); }

class CompressedDumpTest : public ::testing::TestWithParam<const compressor*> {
protected:
    static void SetUpTestSuite() {
        static std::once_flag once;
        std::call_once(once, [] {
            idcache_clock = cache_clock;
            idcache_init(0);
            test::name_test_stacks();
        });
    }

    void SetUp() override {
        if (!test::have_program(GetParam()->name)) GTEST_SKIP() << GetParam()->name << " is not installed";
        saved_ = dump_output_compression();
        dump_clock = [] { return int64_t{DUMP_TIME}; };
        dump_losses_reset();
    }

    void TearDown() override {
        forget_cache();
        dump_set_compression(saved_);
    }

    // Every run starts with no connection known, as a fresh worker does.
    static void forget_cache() {
        cache_now += 100000000;
        idcache_expire();
        EXPECT_EQ(idcache_size(), 0u);
    }

    // Dumps a copy of each message into `dir`; returns what was reported.
    // `c` null dumps directly.
    static std::string dump_stream(const std::vector<bytes>& messages, const std::string& dir,
                                   const compressor* c) {
        forget_cache();
        choose(c);
        records_request_reopen();  // the index line goes to this directory's "records"
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

    dump_compression saved_ = dump_compression::none;
};

TEST_P(CompressedDumpTest, CompressedDumpsMatchTheDirectOnes) {
    const compressor& z = *GetParam();
    for (const stream_case& c : stream_cases()) {
        SCOPED_TRACE(c.name);
        temp_dir direct, packed;
        EXPECT_EQ(dump_stream(c.messages, direct.path(), nullptr), c.report);
        EXPECT_EQ(dump_stream(c.messages, packed.path(), &z), c.report);

        std::vector<std::string> want = c.files;
        if (c.index_lines > 0) want.push_back("records");
        std::sort(want.begin(), want.end());
        ASSERT_EQ(test::list_dir(direct.path()), want);
        std::vector<std::string> want_packed;
        for (std::string n : want) want_packed.push_back(n == "records" ? n : n + z.suffix);
        std::sort(want_packed.begin(), want_packed.end());
        ASSERT_EQ(test::list_dir(packed.path()), want_packed);

        std::vector<std::string> packed_names;
        for (const std::string& n : c.files) packed_names.push_back(n + z.suffix);
        const std::vector<bytes> unpacked = z.unpack_checked(packed.path(), packed_names);
        ASSERT_EQ(unpacked.size(), c.files.size());
        for (size_t i = 0; i < c.files.size(); i++) {
            SCOPED_TRACE(c.files[i]);
            const bytes plain = test::read_file(direct / c.files[i]);
            EXPECT_EQ(test::block_summary(plain).find('!'), std::string::npos);
            EXPECT_EQ(first_difference(plain, unpacked[i]), NO_DIFFERENCE)
                << plain.size() << " direct bytes, " << unpacked[i].size() << " decompressed";
            EXPECT_GE(test::read_file(packed / packed_names[i]).size(), c.min_compressed);
        }

        if (c.index_lines == 0) continue;
        const std::string index = test::read_text(direct / "records");
        const std::string packed_index = test::read_text(packed / "records");
        EXPECT_EQ(lines_of(index).size(), c.index_lines);
        const std::string no_compressor = "\"compressor\":\"\"";
        EXPECT_EQ(index.size() - replace_all(index, no_compressor, "").size(),
                  c.index_lines * no_compressor.size())
            << "every direct line names no compressor";
        EXPECT_EQ(packed_index, as_index(index, z));
        std::vector<test::json_object> objs;
        std::string error;
        ASSERT_TRUE(test::parse_json_lines(packed_index, &objs, &error)) << error;
        for (const test::json_object& o : objs) EXPECT_EQ(o.at("compressor").text, z.name);
    }
}

// With -J or -Z only a file with the same suffix takes a number; files
// with the other suffixes do not. Files already there stay as they were.
TEST_P(CompressedDumpTest, ProbingLooksOnlyAtNamesWithTheSameSuffix) {
    const compressor& z = *GetParam();
    const compressor& other = &z == &XZ ? ZSTD : XZ;
    const std::string s = stem("probe", false);
    struct probe_case {
        const char* name;
        std::vector<std::string> present;
        int32_t frag_seq;
    };
    const std::string same = std::string(".pcapng") + z.suffix;
    const std::string foreign = std::string(".pcapng") + other.suffix;
    const probe_case cases[] = {
        {"uncompressed file with number 0", {s + ".0.pcapng"}, 0},
        {"other compressor's file with number 0", {s + ".0" + foreign}, 0},
        {"same suffix with number 0", {s + ".0" + same}, 1},
        {"same suffix 0, uncompressed 1, other 2", {s + ".0" + same, s + ".1.pcapng", s + ".2" + foreign}, 1},
        {"same suffix 0 and 1, other 2", {s + ".0" + same, s + ".1" + same, s + ".2" + foreign}, 2},
    };
    const bytes message = qb::message(conn("probe"), records(12));
    for (const probe_case& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        for (const std::string& n : c.present) test::write_file(dir / n, "kept " + n);
        EXPECT_EQ(dump_stream({message}, dir.path(), &z), "");

        const std::string made = s + "." + std::to_string(c.frag_seq) + same;
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
        EXPECT_EQ(test::record_blocks(z.unpack_checked(dir.path(), {made}).at(0)), 12u);
    }
}

// The process's file size limit (with SIGXFSZ ignored) makes writes past
// it fail with EFBIG, as a full file system would.
class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes) {
        saved_handler_ = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit lim = saved_;
        lim.rlim_cur = bytes;
        ok_ = setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    ~file_size_limit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, saved_handler_);
    }
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;
    bool ok() const { return ok_; }

private:
    struct rlimit saved_{};
    void (*saved_handler_)(int) = SIG_DFL;
    bool ok_ = false;
};

// A write that fails, while the dump runs (a full output buffer) or only
// when the stream is finished at the close, is reported once, with the dump
// it lost; the file is left as it is and gets no index line, exactly as a
// failed direct write. The next dump of the same worker is whole again and
// ends the streak of lost dumps.
TEST_P(CompressedDumpTest, FailedWriteIsReportedOnceAndLeavesTheFileUnindexed) {
    const compressor& z = *GetParam();
    constexpr rlim_t LIMIT = 65536;
    // 24000 records of random bytes compress to more than one 2 MiB buffer:
    // the first flush fails. 400 such records compress to more than the
    // limit but less than a buffer: only the flush at the close fails.
    bytes large = qb::message(conn("large"), records(24000));
    scramble_opaque_bytes(large, 3);
    bytes medium = qb::message(conn("medium"), records(400));
    scramble_opaque_bytes(medium, 4);
    const bytes after = qb::message(conn("after"), records(12));
    struct failure_case {
        const char* name;
        const bytes& message;
        const std::string file;
    };
    const failure_case cases[] = {
        {"flush while the dump runs", large, stem("large", false) + ".0.pcapng"},
        {"flush at the close", medium, stem("medium", false) + ".0.pcapng"},
    };
    for (const failure_case& c : cases) {
        for (const compressor* mode : {static_cast<const compressor*>(nullptr), &z}) {
            const std::string suffix = mode ? mode->suffix : "";
            SCOPED_TRACE(std::string(c.name) + (mode ? " with " : " direct") + (mode ? mode->name : ""));
            temp_dir dir;
            std::string report;
            {
                file_size_limit limit(LIMIT);
                ASSERT_TRUE(limit.ok());
                report = dump_stream({c.message}, dir.path(), mode);
            }
            EXPECT_EQ(report, std::string(progname()) + ": Error writing to file: File too large\n" +
                                  progname() + ": First dump lost: " + c.file + suffix + "\n");
            const std::vector<std::string> left = {c.file + suffix};
            EXPECT_EQ(test::list_dir(dir.path()), left) << "no index line";
            EXPECT_EQ(test::read_file(dir / (c.file + suffix)).size(), LIMIT);

            // The worker's writer is whole again for the next dump.
            EXPECT_EQ(dump_stream({after}, dir.path(), mode),
                      std::string(progname()) + ": Dumps written again: 1 dumps lost\n");
            const std::string next = stem("after", false) + ".0.pcapng" + suffix;
            ASSERT_TRUE(test::file_exists(dir / next));
            const bytes content =
                mode ? mode->unpack_checked(dir.path(), {next}).at(0) : test::read_file(dir / next);
            EXPECT_EQ(test::record_blocks(content), 12u);
            EXPECT_EQ(test::block_summary(content).find('!'), std::string::npos);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Compressors, CompressedDumpTest, ::testing::Values(&XZ, &ZSTD), param_name);

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

class CompressedDaemonTest : public ::testing::TestWithParam<const compressor*> {
protected:
    void SetUp() override {
        if (!test::have_program(GetParam()->name)) GTEST_SKIP() << GetParam()->name << " is not installed";
    }

    // `c` null runs without compression.
    test::run_result run_daemon(const std::string& input, const std::string& sysctl_dir,
                                const std::string& out, const compressor* c) {
        EXPECT_EQ(mkdir(out.c_str(), 0755), 0) << out;
        test::run_options opts;
        opts.args = {"-u", current_user(), "-D", out, "-f", input};
        if (c) opts.args.push_back(c->option);
        opts.env["QUARN_SYSCTL_DIR"] = sysctl_dir;
        opts.timeout_ms = 120000;
        return test::run(test::daemon_path(), opts);
    }

    // Runs the daemon on `input` without and with compression and holds
    // the compressed output to the direct one, file by file and line by line.
    void compare_runs(const std::string& input, const std::string& sysctl_dir, size_t min_files) {
        const compressor& z = *GetParam();
        const std::string direct = tmp_ / "direct", packed = tmp_ / "packed";
        const int64_t before = time(nullptr);
        const test::run_result rd = run_daemon(input, sysctl_dir, direct, nullptr);
        const test::run_result rx = run_daemon(input, sysctl_dir, packed, &z);
        const int64_t after = time(nullptr);
        ASSERT_FALSE(rd.timed_out || rx.timed_out);
        EXPECT_EQ(rd.status, 0) << rd.err;
        EXPECT_EQ(rx.status, 0) << rx.err;
        std::vector<std::string> err_d = lines_of(rd.err), err_x = lines_of(rx.err);
        std::sort(err_d.begin(), err_d.end());
        std::sort(err_x.begin(), err_x.end());
        EXPECT_EQ(err_x, err_d);

        std::vector<std::string> plain_names, packed_names, present;
        for (const std::string& n : test::list_dir(direct)) {
            if (n != "records") plain_names.push_back(n);
        }
        for (const std::string& n : test::list_dir(packed)) {
            if (n == "records") continue;
            EXPECT_TRUE(ends_with(n, std::string(".pcapng") + z.suffix)) << n;
            present.push_back(n);
        }
        for (const std::string& n : plain_names) packed_names.push_back(n + z.suffix);
        ASSERT_GE(plain_names.size(), min_files);
        ASSERT_EQ(std::set<std::string>(present.begin(), present.end()),
                  std::set<std::string>(packed_names.begin(), packed_names.end()));

        const std::vector<bytes> unpacked = z.unpack_checked(packed, packed_names);
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
            const int64_t t_packed = load<int64_t>(copy.data() + SHB_DUMP_TIME_AT);
            EXPECT_TRUE(t_plain >= before && t_plain <= after) << t_plain;
            EXPECT_TRUE(t_packed >= before && t_packed <= after) << t_packed;
            memcpy(copy.data() + SHB_DUMP_TIME_AT, plain.data() + SHB_DUMP_TIME_AT, 8);
            EXPECT_EQ(first_difference(plain, copy), NO_DIFFERENCE);
            if (plain.size() > unpacked[largest].size()) largest = i;
        }

        std::vector<test::json_object> objs;
        std::string error;
        const std::string packed_index = test::read_text(packed + "/records");
        ASSERT_TRUE(test::parse_json_lines(packed_index, &objs, &error)) << error;
        std::set<std::string> indexed;
        for (const test::json_object& o : objs) {
            const std::string name = o.at("filename").text;
            EXPECT_EQ(o.at("compressor").text, z.name) << name;
            EXPECT_TRUE(test::file_exists(packed + "/" + name)) << name;
            EXPECT_TRUE(indexed.insert(name).second) << name << " indexed twice";
        }
        std::vector<std::string> want, got;
        for (const std::string& l : lines_of(test::read_text(direct + "/records")))
            want.push_back(without_date(as_index(l, z)));
        for (const std::string& l : lines_of(packed_index)) got.push_back(without_date(l));
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got.size(), want.size());
        for (size_t i = 0; i < std::min(got.size(), want.size()); i++) {
            if (got[i] == want[i]) continue;
            ADD_FAILURE() << "index lines differ (date left out):\n  direct: " << want[i]
                          << "\n  " << z.option << ":     " << got[i];
            break;
        }

        if (test::have_program("tshark")) {
            const std::string path = tmp_ / "largest.pcapng";
            test::write_file(path, unpacked[largest]);
            std::string blocks_error, out;
            const size_t blocks = test::walk_blocks(unpacked[largest], &blocks_error).size();
            EXPECT_EQ(blocks_error, "");
            EXPECT_EQ(test::tshark_frames(path, &out), static_cast<int>(blocks) - 2) << out;
            // Capture readers open zstd files as they are.
            if (&z == &ZSTD) {
                const std::string as_is = packed + "/" + packed_names[largest];
                EXPECT_EQ(test::tshark_frames(as_is, &out), static_cast<int>(blocks) - 2) << out;
            }
        }
    }

    temp_dir tmp_;
};

TEST_P(CompressedDaemonTest, BundledSampleCompressesToTheDirectCaptures) {
    const std::string repo = QUARN_SOURCE_DIR;
    compare_runs(repo + "/data/sample.tcplog", repo + "/data/sysctl", 70);
}

TEST_P(CompressedDaemonTest, SynthesizedStreamCompressesToTheDirectCaptures) {
    if (!*test::synth_path()) GTEST_SKIP() << "quarn_synth not built";
    test::run_options synth;
    synth.args = {"-s", "23", "-n", "80", "-r", "1-40", "-R", "normal:4,error:2,rebuffer:1",
                  "-S", "25", "-g", "10", "-e", "10", "-6", "40", "-v", "20",
                  "-D", "short-tail", "-o", tmp_ / "stream", "-k", tmp_ / "sysctl"};
    const test::run_result s = test::run(test::synth_path(), synth);
    ASSERT_EQ(s.status, 0) << s.err;
    compare_runs(tmp_ / "stream", tmp_ / "sysctl", 40);
}

INSTANTIATE_TEST_SUITE_P(Compressors, CompressedDaemonTest, ::testing::Values(&XZ, &ZSTD), param_name);

}  // namespace
}  // namespace quarn
