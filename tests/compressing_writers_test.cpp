// The compressing writers (XZ and zstd) driven in-process on real files:
// one table of cases over both, then the XZ writer's own cases (its
// encoder set-up and the entries that must never reach the encoder). Every
// finished file is checked with the compression's own tool: integrity, the
// check type, one stream, and the decompressed bytes.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lzma.h>

#include "byte_patterns.h"
#include "quarn_dump.h"
#include "quarn_dumppolicy.h"
#include "quarn_outbuf.h"
#include "quarn_writev.h"
#include "quarn_xz.h"
#include "quarn_zstd.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

using test::compressible_bytes;
using test::random_bytes;
using test::stderr_capture;
using test::temp_dir;

test::run_result run_tool(const char* tool, const std::vector<std::string>& args) {
    test::run_options opts;
    opts.args.push_back(tool);
    opts.args.insert(opts.args.end(), args.begin(), args.end());
    return test::run("/usr/bin/env", opts);
}

// A compressing writer as the tests see it.
struct writer_kind {
    dump_compression id;
    const char* tool;                  // the program that reads its files
    std::vector<std::string> list;     // the tool's arguments that describe a file
    std::vector<std::string> listed;   // what that description must hold
    // Feeds one stretch or ends the stream, as the writer does inside.
    int (*write_one)(output_writer* w, const uint8_t* data, size_t len, bool finish);
    // The writer's own state is gone (handed back to its thread or freed).
    bool (*released)(const output_writer& w);
};

const writer_kind WRITERS[] = {
    {dump_compression::xz, "xz", {"-l"}, {"CRC64"}, write_xz,
     [](const output_writer& w) { return w.strm == nullptr && w.outbuf == nullptr; }},
    {dump_compression::zstd, "zstd", {"-lv"}, {"# Zstandard Frames: 1\n", "Check: XXH64"}, write_zstd,
     [](const output_writer& w) { return w.zstd == nullptr && w.outbuf == nullptr; }},
};

// `path` is one valid stream of `k` whose content is exactly `expected`.
void expect_file(const writer_kind& k, const std::string& path, const std::vector<uint8_t>& expected) {
    const test::run_result t = run_tool(k.tool, {"-q", "-t", path});
    EXPECT_EQ(t.status, 0) << t.err;
    std::vector<std::string> list_args = k.list;
    list_args.push_back(path);
    const test::run_result l = run_tool(k.tool, list_args);
    EXPECT_EQ(l.status, 0) << l.err;
    for (const std::string& part : k.listed) EXPECT_NE(l.out.find(part), std::string::npos) << l.out;
    const test::run_result d = run_tool(k.tool, {"-q", "-dc", path});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_TRUE(std::vector<uint8_t>(d.out.begin(), d.out.end()) == expected)
        << d.out.size() << " bytes decompressed, " << expected.size() << " expected";
}

off_t fd_size(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) n++;
    return n;
}

class CompressingWriter : public ::testing::TestWithParam<writer_kind> {
protected:
    void SetUp() override {
        if (!test::have_program(kind().tool)) GTEST_SKIP() << kind().tool << " is not installed";
    }
    void TearDown() override {
        if (w.close_op != nullptr && !kind().released(w)) w.close_op(&w);
        if (w.fd >= 0) close(w.fd);
    }
    const writer_kind& kind() const { return GetParam(); }
    const compression_kind& compression() const { return compression_of(kind().id); }
    std::string file(const std::string& name) const { return dir / (name + DUMP_SUFFIX.data() + compression().suffix); }

    // Sets the writer up on `fd`, as the dump code does.
    void start(int fd) {
        if (w.fd >= 0) close(w.fd);
        w = output_writer{};
        w.fd = fd;
        ASSERT_GE(w.fd, 0);
        dump_init_writer(kind().id, &w);
        ASSERT_NE(w.write_op, nullptr);
        ASSERT_NE(w.close_op, nullptr);
    }
    void open_output(const std::string& path) { start(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)); }
    int write_list(std::vector<struct iovec> iov) {
        return w.write_op(&w, iov.data(), static_cast<int>(iov.size()), test::list_total(iov));
    }
    int finish() { return w.close_op(&w); }

    temp_dir dir;
    output_writer w;
};

TEST_P(CompressingWriter, GatherListsRoundTripExactly) {
    for (const test::round_trip_case& c : test::round_trip_cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> source = c.source();
        const std::string path = file(c.name);
        open_output(path);
        for (std::vector<struct iovec> iov : c.gather(source)) {
            const std::vector<struct iovec> before = iov;
            ASSERT_EQ(w.write_op(&w, iov.data(), static_cast<int>(iov.size()), test::list_total(iov)), 0);
            // The caller's list is left as it was.
            for (size_t i = 0; i < iov.size(); i++) {
                EXPECT_EQ(iov[i].iov_base, before[i].iov_base);
                EXPECT_EQ(iov[i].iov_len, before[i].iov_len);
            }
        }
        EXPECT_EQ(finish(), 0);
        EXPECT_TRUE(kind().released(w));
        expect_file(kind(), path, source);
    }
}

// A dump that compresses to less than the buffer reaches the file only at
// close; a larger one grows in whole buffers while it runs, and later
// writes only append.
TEST_P(CompressingWriter, FileGrowsInWholeBuffers) {
    struct growth_case {
        const char* name;
        std::vector<uint8_t> source;
        off_t before_close;  // file size after the last write
    };
    const growth_case cases[] = {
        {"small", compressible_bytes(300000), 0},
        {"large", random_bytes(5 * 1024 * 1024, 12345), 2 * off_t{OUTBUF_SIZE}},
    };
    // Entry sizes that no buffer boundary lines up with, so buffers fill in
    // the middle of entries and encoding resumes inside them.
    const size_t sizes[] = {333333, 0, 70001, 1, 999};
    for (const growth_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = file(c.name);
        open_output(path);
        std::vector<uint8_t> first_buffer;
        size_t at = 0;
        while (at < c.source.size()) {
            std::vector<struct iovec> iov;
            for (size_t s : sizes) {
                const size_t len = std::min(s, c.source.size() - at);
                iov.push_back({const_cast<uint8_t*>(c.source.data() + at), len});
                at += len;
            }
            ASSERT_EQ(write_list(iov), 0);
            ASSERT_EQ(fd_size(w.fd) % OUTBUF_SIZE, 0);
            if (fd_size(w.fd) > 0 && first_buffer.empty()) {
                first_buffer = test::read_file(path);
                first_buffer.resize(OUTBUF_SIZE);
            }
        }
        EXPECT_EQ(fd_size(w.fd), c.before_close);
        EXPECT_EQ(finish(), 0);
        EXPECT_GT(fd_size(w.fd), c.before_close);
        const std::vector<uint8_t> whole = test::read_file(path);
        EXPECT_TRUE(std::equal(first_buffer.begin(), first_buffer.end(), whole.begin()));
        expect_file(kind(), path, c.source);
    }
}

// A message socket keeps the boundaries of the writes: a small dump arrives
// as one message, and only after close.
TEST_P(CompressingWriter, SmallDumpIsOneWriteAtClose) {
    const std::vector<uint8_t> source = compressible_bytes(300000);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    start(sv[0]);
    for (size_t at = 0; at < source.size(); at += 50000)
        ASSERT_EQ(kind().write_one(&w, source.data() + at, 50000, false), 0);
    std::vector<uint8_t> msg(1 << 20);
    EXPECT_LT(recv(sv[1], msg.data(), msg.size(), MSG_DONTWAIT), 0);
    EXPECT_EQ(finish(), 0);
    const ssize_t n = recv(sv[1], msg.data(), msg.size(), MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    EXPECT_LT(recv(sv[1], msg.data(), msg.size(), MSG_DONTWAIT), 0);
    close(sv[1]);
    msg.resize(static_cast<size_t>(n));
    test::write_file(file("message"), msg);
    expect_file(kind(), file("message"), source);
}

// A failed flush is reported once and stops the list. Close then writes
// and reports nothing more, releases the writer's state, fails, and leaves
// the descriptor open.
TEST_P(CompressingWriter, FailedFlushIsReportedOnceAndCloseFails) {
    const std::vector<uint8_t> source = random_bytes(3 * 1024 * 1024, 5);
    start(open("/dev/full", O_WRONLY));
    stderr_capture err;
    uint8_t tail[64] = {};
    EXPECT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}, {tail, sizeof tail}}), -1);
    const std::string after_write = err.text();
    EXPECT_EQ(count_of(after_write, "Error writing to file: No space left on device\n"), 1u) << after_write;
    EXPECT_EQ(count_of(after_write, "\n"), 1u) << after_write;
    EXPECT_EQ(finish(), -1);
    EXPECT_TRUE(kind().released(w));
    EXPECT_EQ(err.text(), after_write);
    EXPECT_NE(fcntl(w.fd, F_GETFD), -1);
}

// Once a buffer was lost the file is damaged even if the descriptor works
// again: close ends the encoder and writes nothing.
TEST_P(CompressingWriter, CloseAfterFailedFlushWritesNothingMore) {
    const std::vector<uint8_t> source = random_bytes(3 * 1024 * 1024, 6);
    start(open("/dev/full", O_WRONLY));
    {
        stderr_capture err;
        ASSERT_EQ(kind().write_one(&w, source.data(), source.size(), false), -1);
    }
    close(w.fd);
    const std::string path = file("after_failure");
    w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(w.fd, 0);
    stderr_capture err;
    EXPECT_EQ(finish(), -1);
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(kind().released(w));
    EXPECT_EQ(test::read_file(path).size(), 0u);
}

// A dump whose stream fails only when it is finished at the close.
TEST_P(CompressingWriter, FailedFinalFlushFailsTheClose) {
    const std::vector<uint8_t> source = compressible_bytes(100000);
    start(open("/dev/full", O_WRONLY));
    ASSERT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}}), 0);
    stderr_capture err;
    EXPECT_EQ(finish(), -1);
    const std::string text = err.text();
    EXPECT_EQ(count_of(text, "Error writing to file: No space left on device\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "\n"), 1u) << text;
    EXPECT_TRUE(kind().released(w));
}

INSTANTIATE_TEST_SUITE_P(Writers, CompressingWriter, ::testing::ValuesIn(WRITERS),
                         [](const ::testing::TestParamInfo<writer_kind>& p) {
                             return std::string(compression_of(p.param.id).name);
                         });

// The XZ writer's own cases: its encoder is reached through a hook, so a
// broken or failing encoder can stand in for liblzma.

// A stream that passes for set up but was never initialised: every
// lzma_code call on it fails, so any call the writer makes shows up as
// "Error encoding XZ stream.".
int uninitialised_encoder(lzma_stream*) { return LZMA_OK; }
int failing_encoder(lzma_stream*) { return LZMA_MEM_ERROR; }

class XzWriter : public ::testing::Test {
protected:
    void TearDown() override {
        xz_encoder_init_hook = nullptr;
        if (w.fd >= 0) close(w.fd);
    }
    void open_output(const std::string& path) {
        w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(w.fd, 0);
        init_xz(&w);
        ASSERT_EQ(w.write_op, &writev_xz);
        ASSERT_EQ(w.close_op, &close_xz);
    }
    int write_list(std::vector<struct iovec> iov) {
        return w.write_op(&w, iov.data(), static_cast<int>(iov.size()), test::list_total(iov));
    }

    temp_dir dir;
    output_writer w;
};

TEST_F(XzWriter, EmptyEntriesAndEmptyListsNeverReachTheEncoder) {
    xz_encoder_init_hook = uninitialised_encoder;
    open_output(dir / "a.pcapng.xz");
    uint8_t byte = 0x42;
    stderr_capture err;

    EXPECT_EQ(write_list({{&byte, 0}, {nullptr, 0}, {&byte, 0}}), 0);
    struct iovec one = {&byte, 1};
    EXPECT_EQ(writev_xz(&w, &one, 0, 1), 0);
    EXPECT_EQ(writev_xz(&w, &one, -1, 1), 0);
    EXPECT_EQ(err.text(), "");

    // A list whose first real entry reaches the broken encoder fails there;
    // the entry after it is not fed (it would trip the pending-input check).
    EXPECT_EQ(write_list({{&byte, 0}, {&byte, 1}, {&byte, 1}}), -1);
    EXPECT_EQ(err.text(), "Error encoding XZ stream.\n");

    EXPECT_EQ(close_xz(&w), -1) << "an encoder failure damaged the stream";
    EXPECT_EQ(w.strm, nullptr);
    EXPECT_EQ(w.outbuf, nullptr);
    EXPECT_EQ(fd_size(w.fd), 0);
}

// 5 MiB that do not compress, in one entry, fill two buffers; the encoder
// has taken all of the entry and the rest waits for the close.
TEST_F(XzWriter, OneEntryFillsTheBufferTwiceAndResumesInside) {
    const std::vector<uint8_t> source = random_bytes(5 * 1024 * 1024, 99);
    const std::string path = dir / "one.pcapng.xz";
    open_output(path);
    ASSERT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}}), 0);
    EXPECT_EQ(fd_size(w.fd), 2 * static_cast<off_t>(OUTBUF_SIZE));
    EXPECT_EQ(w.strm->total_in, source.size());
    EXPECT_EQ(close_xz(&w), 0);
    expect_file(WRITERS[0], path, source);
}

// The encoder stops inside the entry whose flush failed: the rest of it
// and the entries after it are never fed.
TEST_F(XzWriter, FailedFlushStopsFeedingInsideTheEntry) {
    const std::vector<uint8_t> source = random_bytes(3 * 1024 * 1024, 5);
    w.fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(w.fd, 0);
    init_xz(&w);
    stderr_capture err;
    uint8_t tail[64] = {};
    EXPECT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}, {tail, sizeof tail}}), -1);
    EXPECT_LT(w.strm->total_in, source.size());
    EXPECT_GT(w.strm->avail_in, 0u);
    EXPECT_EQ(close_xz(&w), -1);
}

TEST_F(XzWriter, EncoderSetUpFailureEndsTheDaemon) {
    const std::string path = dir / "dead.pcapng.xz";
    EXPECT_EXIT(
        {
            xz_encoder_init_hook = failing_encoder;
            open_output(path);
        },
        ::testing::ExitedWithCode(1), "^Unable to initialize XZ encoder\\.\n$");
    ASSERT_TRUE(test::file_exists(path));
    EXPECT_EQ(test::read_file(path).size(), 0u);
}

}  // namespace
}  // namespace quarn
