// The XZ writer driven in-process on real files; every finished file is
// checked with the xz tool (integrity, check type, decompressed bytes).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lzma.h>

#include "byte_patterns.h"
#include "quarn_outbuf.h"
#include "quarn_writev.h"
#include "quarn_xz.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

using test::stderr_capture;
using test::temp_dir;

using test::compressible_bytes;
using test::random_bytes;

test::run_result run_xz(const std::vector<std::string>& args) {
    test::run_options opts;
    opts.args.push_back("xz");
    opts.args.insert(opts.args.end(), args.begin(), args.end());
    return test::run("/usr/bin/env", opts);
}

// Checks that `path` is one valid XZ stream with a CRC64 check whose content
// is exactly `expected`.
void expect_xz_file(const std::string& path, const std::vector<uint8_t>& expected) {
    const test::run_result t = run_xz({"-t", path});
    EXPECT_EQ(t.status, 0) << t.err;
    const test::run_result l = run_xz({"-l", path});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("CRC64"), std::string::npos) << l.out;
    const test::run_result d = run_xz({"-dc", path});
    ASSERT_EQ(d.status, 0) << d.err;
    ASSERT_EQ(d.out.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), d.out.begin(),
                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
}

off_t fd_size(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) n++;
    return n;
}

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
    // Creates the output file as the dump code does and sets up the writer.
    void open_output(const std::string& path) {
        w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(w.fd, 0);
        init_xz(&w);
        ASSERT_EQ(w.write_op, &writev_xz);
        ASSERT_EQ(w.close_op, &close_xz);
    }
    int write_list(std::vector<struct iovec> iov) {
        int total = 0;
        for (const struct iovec& e : iov) total += static_cast<int>(e.iov_len);
        return w.write_op(&w, iov.data(), static_cast<int>(iov.size()), total);
    }

    temp_dir dir;
    output_writer w;
};

TEST_F(XzWriter, GatherListsRoundTripExactly) {
    for (const test::round_trip_case& c : test::round_trip_cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> source = c.source();
        const std::string path = dir / (std::string(c.name) + ".pcapng.xz");
        w = output_writer{};
        open_output(path);
        for (std::vector<struct iovec> iov : c.gather(source)) {
            const std::vector<struct iovec> before = iov;
            ASSERT_EQ(writev_xz(&w, iov.data(), static_cast<int>(iov.size()), test::list_total(iov)), 0);
            // The caller's list is left as it was.
            for (size_t i = 0; i < iov.size(); i++) {
                EXPECT_EQ(iov[i].iov_base, before[i].iov_base);
                EXPECT_EQ(iov[i].iov_len, before[i].iov_len);
            }
        }
        EXPECT_EQ(close_xz(&w), 0);
        EXPECT_EQ(w.strm, nullptr);
        EXPECT_EQ(w.outbuf, nullptr);
        expect_xz_file(path, source);
        close(w.fd);
        w.fd = -1;
    }
}

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

TEST_F(XzWriter, SmallDumpIsWrittenOnlyAtCloseInOneWrite) {
    const std::vector<uint8_t> source = compressible_bytes(300000);
    const std::string path = dir / "small.pcapng.xz";
    open_output(path);
    for (size_t at = 0; at < source.size(); at += 1000) {
        ASSERT_EQ(write_list({{const_cast<uint8_t*>(source.data() + at), 600},
                              {const_cast<uint8_t*>(source.data() + at + 600), 400}}),
                  0);
        ASSERT_EQ(fd_size(w.fd), 0);
    }
    EXPECT_GT(w.strm->total_in, 0u);
    EXPECT_EQ(close_xz(&w), 0);
    expect_xz_file(path, source);

    // A message socket keeps the boundaries of the writes: the whole stream
    // arrives as one message, and only after close.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    output_writer sock_writer;
    sock_writer.fd = sv[0];
    init_xz(&sock_writer);
    for (size_t at = 0; at < source.size(); at += 50000)
        ASSERT_EQ(write_xz(&sock_writer, source.data() + at, 50000, false), 0);
    std::vector<uint8_t> msg(1 << 20);
    EXPECT_LT(recv(sv[1], msg.data(), msg.size(), MSG_DONTWAIT), 0);
    EXPECT_EQ(close_xz(&sock_writer), 0);
    const ssize_t n = recv(sv[1], msg.data(), msg.size(), MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    EXPECT_LT(recv(sv[1], msg.data(), msg.size(), MSG_DONTWAIT), 0);
    close(sv[0]);
    close(sv[1]);
    msg.resize(static_cast<size_t>(n));
    test::write_file(dir / "message.xz", msg);
    expect_xz_file(dir / "message.xz", source);
}

TEST_F(XzWriter, LargeDumpGrowsInWholeBuffers) {
    const std::vector<uint8_t> source = random_bytes(5 * 1024 * 1024, 12345);
    const std::string path = dir / "large.pcapng.xz";
    open_output(path);
    // Entry sizes that no buffer boundary lines up with, so buffers fill in
    // the middle of entries and encoding resumes inside them.
    const size_t sizes[] = {333333, 0, 70001, 1, 999999};
    size_t at = 0;
    std::vector<uint8_t> first_chunk;
    for (size_t k = 0; at < source.size(); k++) {
        std::vector<struct iovec> iov;
        for (size_t s : sizes) {
            const size_t len = std::min(s, source.size() - at);
            iov.push_back({const_cast<uint8_t*>(source.data() + at), len});
            at += len;
        }
        ASSERT_EQ(write_list(iov), 0);
        const off_t size = fd_size(w.fd);
        ASSERT_EQ(size % OUTBUF_SIZE, 0) << "after list " << k;
        if (size > 0 && first_chunk.empty()) {
            first_chunk = test::read_file(path);
            first_chunk.resize(OUTBUF_SIZE);
        }
    }
    EXPECT_GE(fd_size(w.fd), 2 * static_cast<off_t>(OUTBUF_SIZE));
    EXPECT_EQ(close_xz(&w), 0);
    EXPECT_GT(fd_size(w.fd), 2 * static_cast<off_t>(OUTBUF_SIZE));
    // Later writes only append.
    const std::vector<uint8_t> file = test::read_file(path);
    ASSERT_FALSE(first_chunk.empty());
    EXPECT_TRUE(std::equal(first_chunk.begin(), first_chunk.end(), file.begin()));
    expect_xz_file(path, source);
}

TEST_F(XzWriter, OneEntryFillsTheBufferTwiceAndResumesInside) {
    const std::vector<uint8_t> source = random_bytes(5 * 1024 * 1024, 99);
    const std::string path = dir / "one.pcapng.xz";
    open_output(path);
    ASSERT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}}), 0);
    // 5 MiB that do not compress fill two buffers; the rest waits.
    EXPECT_EQ(fd_size(w.fd), 2 * static_cast<off_t>(OUTBUF_SIZE));
    EXPECT_EQ(w.strm->total_in, source.size());
    EXPECT_EQ(close_xz(&w), 0);
    expect_xz_file(path, source);
}

TEST_F(XzWriter, FailedFlushStopsTheListAndCloseReleasesEverything) {
    const std::vector<uint8_t> source = random_bytes(3 * 1024 * 1024, 5);
    w.fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(w.fd, 0);
    init_xz(&w);
    stderr_capture err;

    uint8_t tail[64] = {};
    EXPECT_EQ(write_list({{const_cast<uint8_t*>(source.data()), source.size()}, {tail, sizeof tail}}),
              -1);
    const std::string after_write = err.text();
    EXPECT_EQ(count_of(after_write, "Error writing to file: "), 1u) << after_write;
    EXPECT_EQ(count_of(after_write, "\n"), 1u) << after_write;
    // The buffer filled inside the first entry; nothing after it was fed.
    EXPECT_LT(w.strm->total_in, source.size());
    EXPECT_GT(w.strm->avail_in, 0u);

    EXPECT_EQ(close_xz(&w), -1);
    EXPECT_EQ(w.strm, nullptr);
    EXPECT_EQ(w.outbuf, nullptr);
    // The failure is reported once: close writes nothing more.
    const std::string after_close = err.text();
    EXPECT_EQ(count_of(after_close, "Error writing to file: "), 1u) << after_close;
    EXPECT_EQ(count_of(after_close, "Error encoding"), 0u);
    EXPECT_NE(fcntl(w.fd, F_GETFD), -1);
}

TEST_F(XzWriter, CloseAfterFailedFlushWritesNothingMore) {
    const std::vector<uint8_t> source = random_bytes(3 * 1024 * 1024, 6);
    w.fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(w.fd, 0);
    init_xz(&w);
    {
        stderr_capture err;
        ASSERT_EQ(write_xz(&w, source.data(), source.size(), false), -1);
    }
    ASSERT_LT(w.strm->total_in, source.size());

    // Even if the descriptor worked again, the file already misses a
    // buffer: close ends the encoder and writes nothing.
    close(w.fd);
    const std::string path = dir / "after_failure.pcapng.xz";
    w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(w.fd, 0);
    stderr_capture err;
    EXPECT_EQ(close_xz(&w), -1);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(w.strm, nullptr);
    EXPECT_EQ(w.outbuf, nullptr);
    EXPECT_EQ(test::read_file(path).size(), 0u);
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
