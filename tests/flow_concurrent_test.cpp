// The reader's flow control, the worker loop and the reader's ending, with
// real worker threads whose message handler the test holds back.
//
// Workers live until their process ends, so every test runs in a process of
// its own: a death-test child that re-executes this binary for that one
// test, and exits 0 only when every check in it passed. A direct run of the
// binary thus runs every test, in any order.
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "quarn_dump.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_process.h"
#include "quarn_reader.h"
#include "testlib.h"

namespace quarn {
namespace {

// A directory descriptor the workers only pass on to the test's handler.
constexpr int UNUSED_DIR_FD = 3;

// Runs `body` in the child: collects the results of its checks, writes each
// failure to stderr (which the parent shows when the child fails) and exits
// 0 only when none failed.
[[noreturn]] void run_checked(const std::function<void()>& body) {
    ::testing::TestPartResultArray results;
    {
        ::testing::ScopedFakeTestPartResultReporter collect(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
        body();
    }
    bool failed = false;
    for (int i = 0; i < results.size(); i++) {
        const ::testing::TestPartResult& r = results.GetTestPartResult(i);
        if (!r.failed()) continue;
        failed = true;
        const std::string line = std::string(r.file_name() ? r.file_name() : "?") + ":" +
                                 std::to_string(r.line_number()) + ": " + r.summary() + "\n";
        (void)!write(STDERR_FILENO, line.data(), line.size());
    }
    _exit(failed ? 1 : 0);
}

// Runs `body` in a child process of its own and expects it to pass there.
void in_own_process(const std::function<void()>& body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_checked(body), ::testing::ExitedWithCode(0), "");
}

std::mutex permit_mutex;
std::condition_variable permit_cond;
int permits = 0;
std::atomic<int> handled{0};
std::atomic<int> handled_by[NUM_THREADS];

// Handles a message only when the test grants a permit.
void held_handler(int, uint8_t*) {
    std::unique_lock<std::mutex> lock(permit_mutex);
    permit_cond.wait(lock, [] { return permits > 0; });
    permits--;
    handled_by[worker_idx]++;
    handled++;
}

void grant(int n) {
    {
        std::lock_guard<std::mutex> lock(permit_mutex);
        permits += n;
    }
    permit_cond.notify_all();
}

// Counts the id cache's clock readings per worker: with no dumps, the only
// reader of the clock is the expiry.
std::atomic<int> expiries[NUM_THREADS];
time_t counting_clock() {
    if (worker_idx >= 0 && worker_idx < NUM_THREADS) expiries[worker_idx]++;
    return time(nullptr);
}

// A stream of header-only messages spread over all workers (or all to one).
std::vector<uint8_t> stream_of(int count, bool one_worker) {
    std::vector<uint8_t> all;
    for (int i = 0; i < count; i++) {
        build::header_fields h;
        h.fport = one_worker ? 50000 : static_cast<uint16_t>(i << 8);
        h.lport = 443;
        std::vector<uint8_t> m = build::log_header(h);
        build::finish(m);
        all.insert(all.end(), m.begin(), m.end());
    }
    return all;
}

class FlowControl : public ::testing::Test {
public:
    // The test bodies, each run by in_own_process.
    void pauses_and_resumes();
    void expiry_after_every_hundred();
    void one_connection_in_order();
    void turns_while_compressing();
    void no_turns_with_zstd();

protected:
    // Only ever once per process (see in_own_process).
    static void start(void (*handler)(int, uint8_t*)) {
        reader_message_ops.handler = handler;
        idcache_clock = counting_clock;
        start_workers();
    }

    // Runs the reader over `stream` in a thread of its own.
    void start_reader(const std::vector<uint8_t>& stream) {
        test::write_file(dir_ / "stream", stream);
        in_fd_ = open((dir_ / "stream").c_str(), O_RDONLY);
        ASSERT_GE(in_fd_, 0);
        reader_ = std::thread([this] {
            reader_ending end;
            while (reader_next(in_fd_, UNUSED_DIR_FD, &end)) steps_++;
            end_status_ = end.status;
            reader_done_ = true;
        });
    }


    // Runs one of the bodies below in a process of its own; the reader
    // thread is joined there before the process ends.
    void in_own_process(void (FlowControl::*body)()) {
        quarn::in_own_process([this, body] {
            (this->*body)();
            stop_reader();
        });
    }

    void stop_reader() {
        grant(1 << 20);
        if (reader_.joinable()) reader_.join();
        if (in_fd_ >= 0) close(in_fd_);
        in_fd_ = -1;
    }

    void TearDown() override { stop_reader(); }

    test::temp_dir dir_;
    int in_fd_ = -1;
    std::thread reader_;
    std::atomic<int> steps_{0};
    std::atomic<bool> reader_done_{false};
    std::atomic<int> end_status_{-1};
};

TEST_F(FlowControl, PausesAt1001AndResumesBelow900) {
    in_own_process(&FlowControl::pauses_and_resumes);
}

void FlowControl::pauses_and_resumes() {
    const int total = 1100;
    start(held_handler);
    start_reader(stream_of(total, false));

    // The append that takes the count from 1000 to 1001 pauses the reader
    // inside its 1001st step.
    ASSERT_TRUE(test::wait_until([] { return reader_is_paused() && queued_messages() == 1001; }));
    EXPECT_EQ(steps_.load(), 1000);

    grant(101);
    ASSERT_TRUE(test::wait_until([] { return handled.load() == 101 && queued_messages() == 900; }));
    EXPECT_TRUE(reader_is_paused());
    EXPECT_EQ(steps_.load(), 1000);

    grant(1);  // 900 -> 899: the worker that finishes signals the reader
    ASSERT_TRUE(test::wait_until([] { return !reader_is_paused(); }, 5000));
    ASSERT_TRUE(test::wait_until([this] { return steps_.load() >= 1001; }));

    grant(total);
    ASSERT_TRUE(test::wait_until([this] { return reader_done_.load(); }));
    ASSERT_TRUE(test::wait_until([&] { return handled.load() == total && queued_messages() == 0; }));
    EXPECT_EQ(end_status_.load(), 0);
    EXPECT_FALSE(reader_is_paused());
    int sum = 0;
    for (int i = 0; i < NUM_THREADS; i++) {
        EXPECT_GT(handled_by[i].load(), 0) << "worker " << i;
        sum += handled_by[i].load();
    }
    EXPECT_EQ(sum, total);
}

TEST_F(FlowControl, ExpiryRunsAfterEveryHundredMessages) {
    in_own_process(&FlowControl::expiry_after_every_hundred);
}

void FlowControl::expiry_after_every_hundred() {
    for (auto& e : expiries) e = 0;
    grant(1 << 20);
    start(held_handler);
    start_reader(stream_of(250, true));  // all to worker 4
    ASSERT_TRUE(test::wait_until([] { return handled.load() == 250 && queued_messages() == 0; }));
    EXPECT_EQ(handled_by[4].load(), 250);
    EXPECT_EQ(expiries[4].load(), 2);  // after the 100th and the 200th
    for (int i = 0; i < NUM_THREADS; i++) {
        if (i != 4) {
            EXPECT_EQ(expiries[i].load(), 0) << "worker " << i;
        }
    }
}

TEST_F(FlowControl, MessagesOfOneConnectionKeepTheirOrder) {
    in_own_process(&FlowControl::one_connection_in_order);
}

void FlowControl::one_connection_in_order() {
    // All messages go to one worker; it must see them in arrival order.
    static std::vector<uint32_t> seen;
    static std::mutex seen_mutex;
    start([](int, uint8_t* msg) {
        std::lock_guard<std::mutex> lock(seen_mutex);
        seen.push_back(load<uint32_t>(msg + OFF_TLH_VERSION));
    });
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < 500; i++) {
        build::header_fields h;
        h.version = i;  // not interpreted by the daemon: a sequence tag
        std::vector<uint8_t> m = build::log_header(h);
        build::finish(m);
        all.insert(all.end(), m.begin(), m.end());
    }
    start_reader(all);
    ASSERT_TRUE(test::wait_until([this] { return reader_done_.load() && queued_messages() == 0; }));
    std::lock_guard<std::mutex> lock(seen_mutex);
    ASSERT_EQ(seen.size(), 500u);
    for (uint32_t i = 0; i < 500; i++) ASSERT_EQ(seen[i], i);
}

// How many workers are inside the handler at once, at most.
std::atomic<int> inside{0};
std::atomic<int> most_inside{0};
void crowded_handler(int, uint8_t*) {
    const int now = ++inside;
    int seen = most_inside.load();
    while (now > seen && !most_inside.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --inside;
    handled++;
}

// With XZ compression, no more workers handle a message at once than there
// are processors; with zstd or without compression, every worker may.
long processors() { return sysconf(_SC_NPROCESSORS_ONLN); }

TEST_F(FlowControl, XzWorkersTakeTurnsOnTheProcessors) {
    in_own_process(&FlowControl::turns_while_compressing);
}

void FlowControl::turns_while_compressing() {
    dump_set_compression(dump_compression::xz);
    start(crowded_handler);
    start_reader(stream_of(400, false));
    ASSERT_TRUE(test::wait_until([] { return handled.load() == 400 && queued_messages() == 0; }));
    EXPECT_GE(most_inside.load(), 1);
    EXPECT_LE(most_inside.load(), std::min<long>(processors(), NUM_THREADS));
}

TEST_F(FlowControl, WithZstdEveryWorkerMayHandleAtOnce) {
    if (processors() >= NUM_THREADS) GTEST_SKIP() << "as many processors as workers: no turns";
    in_own_process(&FlowControl::no_turns_with_zstd);
}

void FlowControl::no_turns_with_zstd() {
    dump_set_compression(dump_compression::zstd);
    start(crowded_handler);
    start_reader(stream_of(400, false));
    ASSERT_TRUE(test::wait_until([] { return handled.load() == 400 && queued_messages() == 0; }));
    // Sleeping handlers on eight workers overlap well beyond the processors.
    EXPECT_GT(most_inside.load(), processors());
}

// The reader cannot get memory for a message: the messages read before it
// are processed first, then the err line, then status 1.
uint8_t* alloc_at_most_4k(uint64_t len) { return len > 4096 ? nullptr : alloc_message(len); }

void tell_handled(int, uint8_t* msg) {
    const std::string line = "handled " + std::to_string(load<uint32_t>(msg + OFF_TLH_VERSION)) + "\n";
    ASSERT_EQ(write(STDERR_FILENO, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

TEST(ReaderEnding, NoMemoryForAMessageEndsAfterTheMessagesAlreadyRead) {
    test::temp_dir dir;
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < 4; i++) {
        build::header_fields h;
        h.version = i;  // a sequence tag; all go to one worker, in order
        std::vector<uint8_t> m = build::log_header(h);
        build::finish(m);
        if (i == 3) {
            // This one announces more than the allocator gives.
            store<uint64_t>(m.data() + OFF_TLH_LENGTH, 8192);
            m.resize(8192, 0);
        }
        all.insert(all.end(), m.begin(), m.end());
    }
    test::write_file(dir / "stream", all);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const int fd = open((dir / "stream").c_str(), O_RDONLY);
            reader_message_ops.handler = tell_handled;
            reader_message_ops.alloc = alloc_at_most_4k;
            start_workers();
            do_loop(fd, UNUSED_DIR_FD);
        },
        ::testing::ExitedWithCode(1),
        "^handled 0\nhandled 1\nhandled 2\n"
        "quarn_dumper: Error allocating buffer for log message: Cannot allocate memory\n$");
}

}  // namespace
}  // namespace quarn
