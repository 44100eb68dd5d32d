// Reloads of the stack-name table from many workers at once: workers that
// miss together may share a reload, but a miss must never be answered by a
// fetch that began before it.
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "quarn_logbuild.h"
#include "quarn_stacknames.h"
#include "testlib.h"

namespace quarn {
namespace {

using build::function_info_entry;

std::string lookup(uint8_t id) {
    stack_names_lock.lock_shared();
    std::string n = lookup_stack_name(id);
    stack_names_lock.unlock_shared();
    return n;
}

// Replaces the registry file in one step, as the kernel's answer changes.
void publish(const std::string& dir, const std::vector<std::vector<uint8_t>>& entries) {
    std::vector<uint8_t> all;
    for (const auto& e : entries) all.insert(all.end(), e.begin(), e.end());
    const std::string tmp = dir + "/registry.tmp";
    test::write_file(tmp, all);
    ASSERT_EQ(rename(tmp.c_str(), (dir + "/net.inet.tcp.function_info").c_str()), 0);
}

TEST(StackNamesConcurrent, EveryMissAfterARegistrationSeesTheNewName) {
    test::temp_dir dir;
    setenv("QUARN_SYSCTL_DIR", dir.path().c_str(), 1);
    std::vector<std::vector<uint8_t>> registry = {function_info_entry(0, "default", "default")};
    publish(dir.path(), registry);
    stack_names_init();

    // Each round registers one more stack while the workers keep missing it.
    constexpr int ROUNDS = 10;
    constexpr int THREADS = 8;
    constexpr int MAX_LOOKUPS = 200000;
    for (int round = 0; round < ROUNDS; round++) {
        SCOPED_TRACE(round);
        const auto id = static_cast<uint8_t>(10 + round);
        const std::string name = "stack" + std::to_string(round);
        std::atomic<bool> registered{false};
        std::atomic<int> stale{0};
        std::atomic<int> saw_new{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < THREADS; t++) {
            workers.emplace_back([&] {
                for (int i = 0; i < MAX_LOOKUPS; i++) {
                    // Read before the lookup begins: when it is already set,
                    // the registry held the new stack before this miss.
                    const bool after = registered.load(std::memory_order_acquire);
                    const std::string got = lookup(id);
                    if (got == name) {
                        saw_new++;
                        return;
                    }
                    EXPECT_EQ(got, "unknown");
                    if (after) stale++;
                }
            });
        }
        // Let the workers miss and reload together for a while first.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        registry.push_back(function_info_entry(id, name, name));
        publish(dir.path(), registry);
        registered.store(true, std::memory_order_release);
        for (auto& w : workers) w.join();

        EXPECT_EQ(stale.load(), 0) << "lookups begun after the registration answered \"unknown\"";
        EXPECT_EQ(saw_new.load(), THREADS);
    }
    unsetenv("QUARN_SYSCTL_DIR");
    EXPECT_EQ(lookup(0), "default");
}

}  // namespace
}  // namespace quarn
