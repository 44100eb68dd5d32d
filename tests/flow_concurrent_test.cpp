// The reader's flow control and the worker loop, with real worker threads
// whose message handler the test holds back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_reader.h"
#include "testlib.h"

namespace quarn {
namespace {

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
        build::header_spec h;
        h.fport = one_worker ? 50000 : static_cast<uint16_t>(i << 8);
        h.lport = 443;
        std::vector<uint8_t> m = build::log_header(h);
        build::finish(m);
        all.insert(all.end(), m.begin(), m.end());
    }
    return all;
}

class FlowControl : public ::testing::Test {
protected:
    // The workers live until the process ends, so each test needs a process
    // of its own (ctest runs every test alone). False when they already run.
    static bool start(message_handler_fn handler) {
        static bool started = false;
        if (started) return false;
        started = true;
        worker_handler = handler;
        idcache_clock = counting_clock;
        start_workers();
        return true;
    }

    // Runs the reader over `stream` in a thread of its own.
    void start_reader(const std::vector<uint8_t>& stream) {
        test::write_file(dir_ / "stream", stream);
        in_fd_ = open((dir_ / "stream").c_str(), O_RDONLY);
        ASSERT_GE(in_fd_, 0);
        reader_ = std::thread([this] {
            reader_ending end;
            while (reader_next(in_fd_, 3, &end)) steps_++;
            end_status_ = end.status;
            reader_done_ = true;
        });
    }

    void TearDown() override {
        grant(1 << 20);
        if (reader_.joinable()) reader_.join();
        if (in_fd_ >= 0) close(in_fd_);
    }

    test::temp_dir dir_;
    int in_fd_ = -1;
    std::thread reader_;
    std::atomic<int> steps_{0};
    std::atomic<bool> reader_done_{false};
    std::atomic<int> end_status_{-1};
};

TEST_F(FlowControl, PausesAt1001AndResumesBelow900) {
    const int total = 1100;
    if (!start(held_handler)) GTEST_SKIP() << "workers already started in this process";
    start_reader(stream_of(total, false));

    // The append that takes the count from 1000 to 1001 pauses the reader
    // inside its 1001st step.
    ASSERT_TRUE(test::wait_until([] { return reader_paused.load() && queued_count.load() == 1001; }));
    EXPECT_EQ(steps_.load(), 1000);

    grant(101);
    ASSERT_TRUE(test::wait_until([] { return handled.load() == 101 && queued_count.load() == 900; }));
    EXPECT_TRUE(reader_paused.load());
    EXPECT_EQ(steps_.load(), 1000);

    grant(1);  // 900 -> 899: the worker that finishes signals the reader
    ASSERT_TRUE(test::wait_until([] { return !reader_paused.load(); }, 5000));
    ASSERT_TRUE(test::wait_until([this] { return steps_.load() >= 1001; }));

    grant(total);
    ASSERT_TRUE(test::wait_until([this] { return reader_done_.load(); }));
    ASSERT_TRUE(test::wait_until([&] { return handled.load() == total && queued_count.load() == 0; }));
    EXPECT_EQ(end_status_.load(), 0);
    EXPECT_FALSE(reader_paused.load());
    int sum = 0;
    for (int i = 0; i < NUM_THREADS; i++) {
        EXPECT_GT(handled_by[i].load(), 0) << "worker " << i;
        sum += handled_by[i].load();
    }
    EXPECT_EQ(sum, total);
}

TEST_F(FlowControl, ExpiryRunsAfterEveryHundredMessages) {
    for (auto& e : expiries) e = 0;
    grant(1 << 20);
    if (!start(held_handler)) GTEST_SKIP() << "workers already started in this process";
    start_reader(stream_of(250, true));  // all to worker 4
    ASSERT_TRUE(test::wait_until([] { return handled.load() == 250 && queued_count.load() == 0; }));
    EXPECT_EQ(handled_by[4].load(), 250);
    EXPECT_EQ(expiries[4].load(), 2);  // after the 100th and the 200th
    for (int i = 0; i < NUM_THREADS; i++) {
        if (i != 4) {
            EXPECT_EQ(expiries[i].load(), 0) << "worker " << i;
        }
    }
}

TEST_F(FlowControl, MessagesOfOneConnectionKeepTheirOrder) {
    // All messages go to one worker; it must see them in arrival order.
    static std::vector<uint32_t> seen;
    static std::mutex seen_mutex;
    const bool fresh = start([](int, uint8_t* msg) {
        std::lock_guard<std::mutex> lock(seen_mutex);
        seen.push_back(load<uint32_t>(msg + OFF_TLH_VERSION));
    });
    if (!fresh) GTEST_SKIP() << "workers already started in this process";
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < 500; i++) {
        build::header_spec h;
        h.version = i;  // not interpreted by the daemon: a sequence tag
        std::vector<uint8_t> m = build::log_header(h);
        build::finish(m);
        all.insert(all.end(), m.begin(), m.end());
    }
    start_reader(all);
    ASSERT_TRUE(test::wait_until([this] { return reader_done_.load() && queued_count.load() == 0; }));
    std::lock_guard<std::mutex> lock(seen_mutex);
    ASSERT_EQ(seen.size(), 500u);
    for (uint32_t i = 0; i < 500; i++) ASSERT_EQ(seen[i], i);
}

}  // namespace
}  // namespace quarn
