// The compressing writers keep each thread's encoder and output buffer from
// one file to the next. Every file must still be a complete, independent
// stream with exactly its own content: after a file that failed, with a
// second writer open on the same thread, and with several threads writing
// at once (each with its own encoder).
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "byte_patterns.h"
#include "quarn_outbuf.h"
#include "quarn_writev.h"
#include "quarn_xz.h"
#include "quarn_zstd.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

using test::temp_dir;
using bytes = std::vector<uint8_t>;

struct writer_kind {
    const char* name;  // also the tool that checks the files
    void (*init)(output_writer*);
    int (*close)(output_writer*);
    const void* (*encoder)(const output_writer*);
};

const writer_kind XZ{"xz", init_xz, close_xz, [](const output_writer* w) -> const void* { return w->strm; }};
const writer_kind ZSTD{"zstd", init_zstd, close_zstd,
                       [](const output_writer* w) -> const void* { return w->zstd; }};

// The tool's decompressed output of `path`, after its integrity test.
bytes decompressed(const writer_kind& k, const std::string& path) {
    test::run_options t;
    t.args = {k.name, "-t", path};
    const test::run_result tested = test::run("/usr/bin/env", t);
    EXPECT_EQ(tested.status, 0) << path << ": " << tested.err;
    test::run_options d;
    d.args = {k.name, "-dc", path};
    const test::run_result r = test::run("/usr/bin/env", d);
    EXPECT_EQ(r.status, 0) << path << ": " << r.err;
    return bytes(r.out.begin(), r.out.end());
}

// Content that differs from file to file, in blocks of a few sizes.
bytes file_content(uint64_t seed) {
    bytes v = test::compressible_bytes(20000 + seed * 997 % 50000);
    const bytes noise = test::random_bytes(3000, seed);
    for (size_t i = 0; i < noise.size() && i * 7 < v.size(); i++) v[i * 7] = noise[i];
    return v;
}

// Writes `content` as a sequence of gather lists; 0 or the first failure.
int write_content(output_writer* w, const bytes& content) {
    for (size_t at = 0; at < content.size();) {
        struct iovec iov[3];
        int total = 0;
        int n = 0;
        for (size_t len : {size_t{32}, size_t{0}, size_t{355}}) {
            len = std::min(len, content.size() - at);
            iov[n++] = {const_cast<uint8_t*>(content.data() + at), len};
            total += static_cast<int>(len);
            at += len;
        }
        if (w->write_op(w, iov, n, total) != 0) return -1;
    }
    return 0;
}

class WriterReuse : public ::testing::TestWithParam<const writer_kind*> {
protected:
    void SetUp() override {
        if (!test::have_program(GetParam()->name)) GTEST_SKIP() << GetParam()->name << " is not installed";
    }
    // Opens `path` as a new output file with the writer under test.
    output_writer open_writer(const std::string& path) {
        output_writer w;
        w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        EXPECT_GE(w.fd, 0) << path;
        GetParam()->init(&w);
        return w;
    }
    // Closes the writer and its file; the close operation's result.
    int close_writer(output_writer& w) {
        const int rc = GetParam()->close(&w);
        close(w.fd);
        w.fd = -1;
        return rc;
    }

    temp_dir dir;
};

TEST_P(WriterReuse, ConsecutiveFilesAreIndependentStreamsOnTheSameEncoder) {
    const writer_kind& k = *GetParam();
    const void* encoder = nullptr;
    const uint8_t* buffer = nullptr;
    for (uint64_t i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        if (i == 2) {
            // A file that fails in the middle leaves the encoder mid-stream.
            output_writer bad;
            bad.fd = open("/dev/full", O_WRONLY);
            ASSERT_GE(bad.fd, 0);
            k.init(&bad);
            const bytes big = test::random_bytes(OUTBUF_SIZE + 100000, 9);
            test::stderr_capture err;
            EXPECT_EQ(write_content(&bad, big), -1);
            EXPECT_EQ(close_writer(bad), -1);
            EXPECT_NE(err.text().find("Error writing to file"), std::string::npos);
        }
        const std::string path = dir / ("f" + std::to_string(i));
        output_writer w = open_writer(path);
        if (i == 0) {
            encoder = k.encoder(&w);
            buffer = w.outbuf;
        }
        EXPECT_EQ(k.encoder(&w), encoder) << "the thread's encoder is used again";
        EXPECT_EQ(w.outbuf, buffer) << "the thread's buffer is used again";
        const bytes content = file_content(i);
        ASSERT_EQ(write_content(&w, content), 0);
        EXPECT_EQ(close_writer(w), 0);
        EXPECT_TRUE(decompressed(k, path) == content);
    }
}

TEST_P(WriterReuse, SecondWriterOnTheSameThreadHasItsOwnState) {
    const writer_kind& k = *GetParam();
    output_writer a = open_writer(dir / "a");
    output_writer b = open_writer(dir / "b");
    EXPECT_NE(k.encoder(&a), k.encoder(&b));
    EXPECT_NE(a.outbuf, b.outbuf);
    const bytes ca = file_content(11), cb = file_content(12);
    // Interleaved, in halves.
    const bytes a1(ca.begin(), ca.begin() + ca.size() / 2), a2(ca.begin() + ca.size() / 2, ca.end());
    const bytes b1(cb.begin(), cb.begin() + cb.size() / 2), b2(cb.begin() + cb.size() / 2, cb.end());
    ASSERT_EQ(write_content(&a, a1), 0);
    ASSERT_EQ(write_content(&b, b1), 0);
    ASSERT_EQ(write_content(&a, a2), 0);
    const void* thread_encoder = k.encoder(&a);
    EXPECT_EQ(close_writer(a), 0);
    // The thread's encoder is free again while b is still open.
    output_writer c = open_writer(dir / "c");
    EXPECT_EQ(k.encoder(&c), thread_encoder);
    const bytes cc = file_content(13);
    ASSERT_EQ(write_content(&c, cc), 0);
    ASSERT_EQ(write_content(&b, b2), 0);
    EXPECT_EQ(close_writer(b), 0);
    EXPECT_EQ(close_writer(c), 0);
    EXPECT_TRUE(decompressed(k, dir / "a") == ca);
    EXPECT_TRUE(decompressed(k, dir / "b") == cb);
    EXPECT_TRUE(decompressed(k, dir / "c") == cc);
}

TEST_P(WriterReuse, ThreadsWriteAtOnceWithTheirOwnEncoders) {
    const writer_kind& k = *GetParam();
    constexpr int THREADS = 4;
    constexpr int FILES = 6;
    std::vector<const void*> encoders(THREADS);
    std::vector<int> failures(THREADS, 0);
    // No thread ends before all have written: the encoders compared below
    // all live at the same time.
    std::latch all_written(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&, t] {
            for (int f = 0; f < FILES; f++) {
                output_writer w;
                const std::string path = dir / ("t" + std::to_string(t) + "_" + std::to_string(f));
                w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
                if (w.fd < 0) {
                    failures[t]++;
                    continue;
                }
                k.init(&w);
                if (f == 0) encoders[t] = k.encoder(&w);
                if (k.encoder(&w) != encoders[t]) failures[t]++;
                if (write_content(&w, file_content(static_cast<uint64_t>(t * FILES + f))) != 0) failures[t]++;
                if (k.close(&w) != 0) failures[t]++;
                close(w.fd);
            }
            all_written.arrive_and_wait();
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < THREADS; t++) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        for (int u = t + 1; u < THREADS; u++) EXPECT_NE(encoders[t], encoders[u]);
    }
    for (int t = 0; t < THREADS; t++) {
        for (int f = 0; f < FILES; f++) {
            const std::string path = dir / ("t" + std::to_string(t) + "_" + std::to_string(f));
            EXPECT_TRUE(decompressed(k, path) == file_content(static_cast<uint64_t>(t * FILES + f))) << path;
        }
    }
}

std::string param_name(const ::testing::TestParamInfo<const writer_kind*>& info) {
    return info.param->name;
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterReuse, ::testing::Values(&XZ, &ZSTD), param_name);

}  // namespace
}  // namespace quarn
