// Framing of the input stream and the choice of worker, driven through the
// reader's one-message step with no workers running: the queues are
// emptied through their interface, without waiting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quarn_logbuild.h"
#include "quarn_reader.h"
#include "stderr_capture.h"
#include "stream_endings.h"
#include "testlib.h"

namespace quarn {
namespace {

using build::header_fields;
using build::record_fields;

// A directory descriptor the reader only passes on; no worker uses it here.
constexpr int UNUSED_DIR_FD = 3;

// A message as the daemon frames it, seen in a queue.
struct queued {
    int worker;
    std::vector<uint8_t> bytes;
};

// Empties every queue, in worker order, freeing the messages.
std::vector<queued> take_queued() {
    std::vector<queued> out;
    for (int i = 0; i < NUM_THREADS; i++) {
        queued_message m;
        while (queue_pop(i, nullptr, &m) == 1) {
            EXPECT_EQ(m.dir_fd, UNUSED_DIR_FD);
            const uint64_t len = tlh_length(m.msg);
            out.push_back({i, std::vector<uint8_t>(m.msg, m.msg + len)});
            free_message(m.msg);
            queue_done();
        }
    }
    return out;
}

class Reader : public ::testing::Test {
protected:
    void SetUp() override { queues_reset(); }

    void TearDown() override {
        take_queued();
        EXPECT_EQ(queued_messages(), 0);
        reader_set_reason_filter(nullptr);
        reader_message_ops.alloc = alloc_message;
    }

    // Runs the reader over `stream` until it ends; returns the ending.
    reader_ending read_all(const std::vector<uint8_t>& stream, int* steps = nullptr) {
        test::write_file(dir_ / "stream", stream);
        int fd = open((dir_ / "stream").c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        reader_ending end;
        int n = 0;
        while (reader_next(fd, UNUSED_DIR_FD, &end)) n++;
        close(fd);
        if (steps) *steps = n;
        return end;
    }

    test::temp_dir dir_;
};

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> with_id(const std::string& id, uint16_t fport, uint16_t lport, const std::string& reason = "normal") {
    header_fields h;
    h.id = id;
    h.fport = fport;
    h.lport = lport;
    h.reason = reason;
    return build::message(h, {record_fields{}});
}

// A bare common header of the given type and length, plus filler body.
std::vector<uint8_t> raw_message(uint32_t type, uint64_t length) {
    std::vector<uint8_t> m(std::max<uint64_t>(length, COMMON_HEADER_SIZE), 0xEE);
    store<uint32_t>(m.data() + OFF_TLH_VERSION, TCP_LOG_VERSION);
    store<uint32_t>(m.data() + OFF_TLH_TYPE, type);
    store<uint64_t>(m.data() + OFF_TLH_LENGTH, length);
    return m;
}

// A common header alone, announcing `length` bytes that never come.
std::vector<uint8_t> header_only(uint64_t length) {
    std::vector<uint8_t> m = raw_message(TLH_TYPE_BBR, COMMON_HEADER_SIZE);
    store<uint64_t>(m.data() + OFF_TLH_LENGTH, length);
    return m;
}

TEST(ChooseWorker, SumOfPortHighBytesModuloEight) {
    struct {
        uint16_t fport, lport;
        int worker;
    } cases[] = {
        {50000, 443, 4},   // 0xC3 + 0x01 = 0xC4
        {50100, 443, 4},   // low bytes play no part
        {80, 8080, 7},     // 0x00 + 0x1F = 31
        {0, 0, 0},
        {0xFFFF, 0xFFFF, 6},
        {0x0700, 0x0100, 0},
    };
    for (const auto& c : cases) {
        header_fields h;
        h.fport = c.fport;
        h.lport = c.lport;
        std::vector<uint8_t> m = build::log_header(h);
        EXPECT_EQ(choose_worker(m.data()), c.worker) << c.fport << "/" << c.lport;
    }
}

TEST_F(Reader, FramesMessagesBackToBackAndSkipsOtherTypes) {
    const auto a = with_id("a", 50000, 443);
    const auto b = with_id("b", 1000, 2000);
    const auto stream = concat({a, raw_message(TLH_TYPE_BBR + 1, 300), raw_message(TLH_TYPE_BBR + 2, COMMON_HEADER_SIZE), b});
    int steps = 0;
    const reader_ending end = read_all(stream, &steps);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.err, 0);
    EXPECT_STREQ(end.text, "");
    EXPECT_EQ(steps, 4);
    std::vector<queued> q = take_queued();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].worker, 2);  // (0x03 + 0x07) % 8 for 1000/2000
    EXPECT_EQ(q[0].bytes, b);
    EXPECT_EQ(q[1].worker, 4);
    EXPECT_EQ(q[1].bytes, a);
}

// Allocations the reader asks for: the largest length seen, and failure
// for anything above a limit, as when memory has run out.
uint64_t largest_asked = 0;
constexpr uint64_t ALLOC_LIMIT = 100000;
uint8_t* limited_alloc(uint64_t len) {
    largest_asked = std::max(largest_asked, len);
    return len > ALLOC_LIMIT ? nullptr : alloc_message(len);
}

TEST_F(Reader, EndingsOfTheStream) {
    const auto good = with_id("x", 1, 2);
    ASSERT_EQ(good.size(), 536u);
    reader_message_ops.alloc = limited_alloc;
    for (const test::stream_ending& c : test::stream_ending_cases(good)) {
        SCOPED_TRACE(c.name);
        largest_asked = 0;
        test::stderr_capture err;
        const reader_ending end = read_all(c.stream);
        EXPECT_EQ(end.status, c.status);
        EXPECT_EQ(end.err, 0);
        EXPECT_EQ(std::string(end.text), c.text);
        std::string skips;
        for (size_t i = 0; i < c.skipped; i++) skips += "Skipping record of unknown type 3\n";
        EXPECT_EQ(err.text(), skips) << "the ending is the caller's to report";
        EXPECT_EQ(take_queued().size(), c.whole);
        // No buffer is asked for a refused length.
        EXPECT_LE(largest_asked, good.size());
    }
}

// The largest length accepted: the buffer is asked for, and its failure
// ends the reader like every other ending, after the messages already
// queued.
TEST_F(Reader, NoMemoryForAMessageEndsTheStream) {
    const auto good = with_id("x", 1, 2);
    reader_message_ops.alloc = limited_alloc;
    largest_asked = 0;
    const reader_ending end = read_all(concat({good, good, header_only(MESSAGE_LENGTH_MAX), good}));
    EXPECT_EQ(end.status, 1);
    EXPECT_EQ(end.err, ENOMEM);
    EXPECT_STREQ(end.text, "Error allocating buffer for log message");
    EXPECT_EQ(take_queued().size(), 2u);
    EXPECT_EQ(largest_asked, MESSAGE_LENGTH_MAX);
}

TEST_F(Reader, ShortTypeOneMessagesAreDroppedAndReadingGoesOn) {
    const auto good = with_id("x", 1, 2);
    const auto stream = concat({raw_message(TLH_TYPE_BBR, 100), raw_message(TLH_TYPE_BBR, COMMON_HEADER_SIZE), good});
    const reader_ending end = read_all(stream);
    EXPECT_EQ(end.status, 0);
    std::vector<queued> q = take_queued();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].bytes, good);
}

TEST_F(Reader, ReasonFilter) {
    const std::string long_reason(40, 'e');  // fills the 32-byte field, no NUL
    const auto stream = concat({with_id("1", 1, 2, "error"), with_id("2", 1, 2, "ERROR"),
                                with_id("3", 1, 2, "rebuffer"), with_id("4", 1, 2, "er"),
                                with_id("5", 1, 2, "Errors"), with_id("6", 1, 2, long_reason)});
    struct {
        const char* filter;
        std::vector<std::string> pass;  // ids that reach a queue
    } cases[] = {
        {"err", {"1", "2", "5"}},
        {"", {"1", "2", "3", "4", "5", "6"}},
        {"ERROR", {"1", "2", "5"}},
        {"eeeeeeeeeeeeeeeeeeeeeeeeeeeeeee", {"6"}},     // 31 characters: the whole reason
        {"eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee", {}},       // 32: longer than any reason
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        reader_set_reason_filter(c.filter);
        EXPECT_EQ(read_all(stream).status, 0);
        std::vector<std::string> ids;
        for (const queued& q : take_queued()) ids.push_back(std::string(tlh_id(q.bytes.data())));
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, c.pass);
    }
}

TEST_F(Reader, MessageSplitAcrossManyReadsFromAPipe) {
    // A writer that delivers the stream in tiny pieces: every read returns
    // part of a header or body.
    const auto a = with_id("a", 1, 2);
    const auto b = with_id("b", 3, 4);
    const auto stream = concat({a, b});
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::thread writer([&] {
        for (size_t i = 0; i < stream.size(); i += 7) {
            size_t n = std::min<size_t>(7, stream.size() - i);
            ASSERT_EQ(write(p[1], stream.data() + i, n), static_cast<ssize_t>(n));
        }
        close(p[1]);
    });
    reader_ending end;
    while (reader_next(p[0], UNUSED_DIR_FD, &end)) {
    }
    writer.join();
    close(p[0]);
    EXPECT_EQ(end.status, 0);
    std::vector<queued> q = take_queued();
    ASSERT_EQ(q.size(), 2u);
}

TEST(AllocMessage, RoundsUpAndRejectsOverflow) {
    uint8_t* m = alloc_message(17);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(m) % 8, 0u);
    m[23] = 1;  // the rounded size is usable (ASan checks the bound)
    free_message(m);
    EXPECT_EQ(alloc_message(UINT64_MAX), nullptr);
    EXPECT_EQ(alloc_message(UINT64_MAX - 6), nullptr);
}

}  // namespace
}  // namespace quarn
