// What the inspector's tests share: dumps made in-process by
// do_bbr_record, as a worker makes them, in a private directory, and the
// quarn_inspect binary run as a process.
#ifndef QUARN_INSPECT_FIXTURE_H
#define QUARN_INSPECT_FIXTURE_H

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump_check.h"
#include "quarn_dump.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_records.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn::test {

inline constexpr int64_t INSPECT_DUMP_TIME = 1700000200;  // 2023-11-14 22:16:40 UTC

inline std::string inspect_path() {
    std::string d = daemon_path();
    return d.substr(0, d.rfind('/') + 1) + "quarn_inspect";
}

inline run_result inspect(const std::vector<std::string>& args) {
    run_options o;
    o.args = args;
    o.timeout_ms = 120000;
    return run(inspect_path(), o);
}

// Runs a shell command line; its standard output, and the status in *status.
inline std::string shell(const std::string& cmd, int* status = nullptr) {
    run_options o;
    o.args = {"-c", cmd};
    o.timeout_ms = 300000;
    const run_result r = run("/bin/sh", o);
    if (status) *status = r.status;
    else EXPECT_EQ(r.status, 0) << cmd << "\n" << r.err;
    return r.out;
}

// `s` quoted for the shell.
inline std::string q(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline int64_t inspect_dump_clock() { return INSPECT_DUMP_TIME; }
inline std::atomic<int64_t>& inspect_cache_now() {
    static std::atomic<int64_t> now{1000000};
    return now;
}
inline time_t inspect_cache_clock() { return static_cast<time_t>(inspect_cache_now().load()); }

// A private output directory that do_bbr_record writes into.
class InspectDumps : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prepare_dump_globals(); }

    void SetUp() override {
        dump_clock = inspect_dump_clock;
        idcache_clock = inspect_cache_clock;
        idcache_init(0);
        records_request_reopen();
        dir_fd_ = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd_, 0);
    }
    void TearDown() override {
        // Expiry releases every id cache entry the test made.
        inspect_cache_now() += 100000000;
        idcache_expire();
        close(dir_fd_);
    }

    // One log message through the worker's path.
    void dump(const build::header_fields& h, const std::vector<build::record_fields>& recs) {
        dump_bytes(build::message(h, recs));
    }
    // A message built by hand (record bytes patched after build::message).
    void dump_bytes(const std::vector<uint8_t>& msg) {
        aligned_msg m(msg);
        capture_stderr([&] { do_bbr_record(dir_fd_, m.data()); });
    }

    temp_dir dir_;
    int dir_fd_ = -1;
};

}  // namespace quarn::test

#endif
