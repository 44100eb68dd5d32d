// The zstd writer driven in-process on real files; every finished file is
// checked with the zstd tool (integrity, one frame with the content
// checksum, decompressed bytes).
#include "quarn_zstd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byte_patterns.h"
#include "quarn_outbuf.h"
#include "quarn_writev.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

using test::compressible_bytes;
using test::random_bytes;
using test::temp_dir;

test::run_result run_zstd(const std::vector<std::string>& args) {
    test::run_options opts;
    opts.args.push_back("zstd");
    opts.args.insert(opts.args.end(), args.begin(), args.end());
    return test::run("/usr/bin/env", opts);
}

// `path` is one zstd frame with a content checksum whose content is exactly
// `expected`.
void expect_zstd_file(const std::string& path, const std::vector<uint8_t>& expected) {
    const test::run_result t = run_zstd({"-q", "-t", path});
    EXPECT_EQ(t.status, 0) << t.err;
    const test::run_result l = run_zstd({"-lv", path});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("# Zstandard Frames: 1\n"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("Check: XXH64"), std::string::npos) << l.out;
    const test::run_result d = run_zstd({"-q", "-dc", path});
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

class ZstdWriter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::have_program("zstd")) GTEST_SKIP() << "zstd is not installed";
    }
    void TearDown() override {
        if (w.zstd != nullptr) close_zstd(&w);
        if (w.fd >= 0) close(w.fd);
    }
    void open_output(const std::string& path) {
        w = output_writer{};
        w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(w.fd, 0);
        init_zstd(&w);
        ASSERT_EQ(w.write_op, &writev_zstd);
        ASSERT_EQ(w.close_op, &close_zstd);
    }
    int write_list(std::vector<struct iovec> iov) {
        return w.write_op(&w, iov.data(), static_cast<int>(iov.size()), test::list_total(iov));
    }

    temp_dir dir;
    output_writer w;
};

TEST_F(ZstdWriter, GatherListsRoundTripExactly) {
    for (const test::round_trip_case& c : test::round_trip_cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> source = c.source();
        const std::string path = dir / (std::string(c.name) + ".pcapng.zst");
        open_output(path);
        for (std::vector<struct iovec> iov : c.gather(source)) {
            const std::vector<struct iovec> before = iov;
            ASSERT_EQ(writev_zstd(&w, iov.data(), static_cast<int>(iov.size()), test::list_total(iov)), 0);
            for (size_t i = 0; i < iov.size(); i++) {
                EXPECT_EQ(iov[i].iov_base, before[i].iov_base);
                EXPECT_EQ(iov[i].iov_len, before[i].iov_len);
            }
        }
        EXPECT_EQ(close_zstd(&w), 0);
        EXPECT_EQ(w.zstd, nullptr);
        EXPECT_EQ(w.outbuf, nullptr);
        expect_zstd_file(path, source);
        close(w.fd);
        w.fd = -1;
    }
}

// A dump that compresses to less than the buffer reaches the file only at
// close; a larger one grows in whole buffers while it runs.
TEST_F(ZstdWriter, FileGrowsInWholeBuffers) {
    struct growth_case {
        const char* name;
        std::vector<uint8_t> source;
        off_t before_close;  // file size after the last write
    };
    const growth_case cases[] = {
        {"small", compressible_bytes(300000), 0},
        {"large", random_bytes(5 * 1024 * 1024, 12345), 2 * off_t{OUTBUF_SIZE}},
    };
    const size_t sizes[] = {333333, 0, 70001, 1, 999};
    for (const growth_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / (std::string(c.name) + ".pcapng.zst");
        open_output(path);
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
        }
        EXPECT_EQ(fd_size(w.fd), c.before_close);
        EXPECT_EQ(close_zstd(&w), 0);
        EXPECT_GT(fd_size(w.fd), c.before_close);
        expect_zstd_file(path, c.source);
        close(w.fd);
        w.fd = -1;
    }
}

// A failed flush is reported once and stops the list; close then writes
// and reports nothing more, releases the writer's state, reports the
// failure and leaves the descriptor open.
TEST_F(ZstdWriter, FailedFlushIsReportedOnceAndCloseFails) {
    const std::vector<uint8_t> source = random_bytes(3 * 1024 * 1024, 5);
    w.fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(w.fd, 0);
    init_zstd(&w);
    test::stderr_capture err;
    uint8_t tail[64] = {};
    EXPECT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}, {tail, sizeof tail}}),
              -1);
    EXPECT_EQ(close_zstd(&w), -1);
    EXPECT_EQ(w.zstd, nullptr);
    EXPECT_EQ(w.outbuf, nullptr);
    const std::string text = err.text();
    EXPECT_EQ(count_of(text, "Error writing to file: No space left on device\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "\n"), 1u) << text;
    EXPECT_NE(fcntl(w.fd, F_GETFD), -1);
}

// A dump whose frame fails only when it is finished at the close.
TEST_F(ZstdWriter, FailedFinalFlushFailsTheClose) {
    const std::vector<uint8_t> source = compressible_bytes(100000);
    w.fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(w.fd, 0);
    init_zstd(&w);
    ASSERT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}}), 0);
    test::stderr_capture err;
    EXPECT_EQ(close_zstd(&w), -1);
    const std::string text = err.text();
    EXPECT_EQ(count_of(text, "Error writing to file: No space left on device\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "\n"), 1u) << text;
}

}  // namespace
}  // namespace quarn
