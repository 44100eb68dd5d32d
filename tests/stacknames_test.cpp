// The stack-name table and the emulated kernel interfaces behind it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "quarn_kernel.h"
#include "quarn_logbuild.h"
#include "quarn_stacknames.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

using build::function_info_entry;
using test::temp_dir;

using test::stderr_capture;

class StackNames : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QUARN_SYSCTL_DIR", dir_.path().c_str(), 1);
        reload_with({});
        clear_table();
    }
    void TearDown() override { unsetenv("QUARN_SYSCTL_DIR"); }

    std::string registry_path() const { return dir_ / "net.inet.tcp.function_info"; }

    void write_registry(const std::vector<std::vector<uint8_t>>& entries) {
        std::vector<uint8_t> all;
        for (const auto& e : entries) all.insert(all.end(), e.begin(), e.end());
        test::write_file(registry_path(), all);
    }

    void reload_with(const std::vector<std::vector<uint8_t>>& entries) {
        write_registry(entries);
        stack_names_lock.lock();
        load_stack_names();
        stack_names_lock.unlock();
    }

    static void clear_table() {
        stack_names_lock.lock();
        for (auto& e : stack_names) e = stack_name_entry{};
        stack_names_lock.unlock();
    }

    static std::string name_of(uint8_t id) {
        stack_names_lock.lock_shared();
        std::string n = stack_names[id].name ? std::string(stack_names[id].name) : "(none)";
        stack_names_lock.unlock_shared();
        return n;
    }

    static std::string lookup(uint8_t id) {
        stack_names_lock.lock_shared();
        std::string n = lookup_stack_name(id);
        stack_names_lock.unlock_shared();
        return n;
    }

    temp_dir dir_;
};

TEST_F(StackNames, LoadTakesEntriesWithEqualNamesAndLaterOnesWin) {
    const std::string name32(32, 'x');  // fills the field: no NUL
    reload_with({
        function_info_entry(0, "default", "default"),
        function_info_entry(1, "bbr", "bbr_alias"),      // names differ: skipped
        function_info_entry(2, "rack", "rack"),
        function_info_entry(2, "rack_v2", "rack_v2"),    // same id later: wins
        function_info_entry(3, name32, name32),
        function_info_entry(255, "last", "last"),
    });
    struct {
        uint8_t id;
        std::string want;
        int32_t len;
    } cases[] = {
        {0, "default", 7}, {1, "(none)", 0}, {2, "rack_v2", 7}, {3, name32, 32}, {255, "last", 4}, {4, "(none)", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.id));
        EXPECT_EQ(name_of(c.id), c.want);
        EXPECT_EQ(stack_names[c.id].name_len, c.len);
    }
}

TEST_F(StackNames, TrailingPartialEntryIsIgnored) {
    std::vector<uint8_t> partial = function_info_entry(5, "cut", "cut");
    partial.resize(40);
    reload_with({function_info_entry(4, "whole", "whole"), partial});
    EXPECT_EQ(name_of(4), "whole");
    EXPECT_EQ(name_of(5), "(none)");
}

TEST_F(StackNames, LookupReloadsOnMissAndFallsBackToUnknown) {
    reload_with({function_info_entry(0, "default", "default")});
    // A stack loaded after start-up: only the registry knows it yet.
    write_registry({function_info_entry(0, "default", "default"), function_info_entry(9, "newstack", "newstack")});
    EXPECT_EQ(name_of(9), "(none)");
    EXPECT_EQ(lookup(9), "newstack");
    EXPECT_EQ(lookup(0), "default");
    // An id no stack has: reload, still nothing, "unknown".
    EXPECT_EQ(lookup(77), "unknown");
    EXPECT_EQ(lookup(77), "unknown");
}

TEST_F(StackNames, FailedFetchKeepsTheOldTable) {
    reload_with({function_info_entry(1, "bbr", "bbr")});
    ASSERT_EQ(unlink(registry_path().c_str()), 0);
    stderr_capture cap;
    stack_names_lock.lock();
    load_stack_names();
    stack_names_lock.unlock();
    EXPECT_EQ(cap.text(), "Unable to retrieve length of function ID mappings (-1: No such file or directory)\n");
    EXPECT_EQ(name_of(1), "bbr");
    EXPECT_EQ(lookup(1), "bbr");
}

TEST_F(StackNames, EmptyRegistryLeavesTheTableAsItWas) {
    reload_with({function_info_entry(1, "bbr", "bbr")});
    reload_with({});
    EXPECT_EQ(name_of(1), "bbr");
}

TEST(KernelEmulation, LogVersionFromFile) {
    struct {
        const char* content;  // null: no file
        int rv;
        int err;
        uint32_t version;
    } cases[] = {
        {"9\n", 0, 0, 9},
        {"9", 0, 0, 9},
        {"8\n", 0, 0, 8},
        {"4294967295\n", 0, 0, 4294967295u},
        {"4294967296\n", -1, EINVAL, 0},
        {"nine\n", -1, EINVAL, 0},
        {"9 \n", -1, EINVAL, 0},
        {"", -1, EINVAL, 0},
        {nullptr, -1, ENOENT, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content ? c.content : "(missing)");
        temp_dir dir;
        if (c.content) test::write_file(dir / "net.inet.tcp.bb.log_version", std::string(c.content));
        setenv("QUARN_SYSCTL_DIR", dir.path().c_str(), 1);
        uint32_t v = 0;
        errno = 0;
        EXPECT_EQ(kernel_log_version(&v), c.rv);
        if (c.rv == 0) EXPECT_EQ(v, c.version);
        else EXPECT_EQ(errno, c.err);
        unsetenv("QUARN_SYSCTL_DIR");
    }
}

TEST(KernelEmulation, DefaultsWithoutDirectory) {
    unsetenv("QUARN_SYSCTL_DIR");
    uint32_t v = 0;
    EXPECT_EQ(kernel_log_version(&v), 0);
    EXPECT_EQ(v, 9u);
    size_t len = 123;
    EXPECT_EQ(kernel_function_info(nullptr, &len), 0);
    EXPECT_EQ(len, 0u);
}

TEST(KernelEmulation, FunctionInfoSizeProbeAndFetch) {
    temp_dir dir;
    std::vector<uint8_t> two = function_info_entry(1, "a", "a");
    std::vector<uint8_t> second = function_info_entry(2, "b", "b");
    two.insert(two.end(), second.begin(), second.end());
    test::write_file(dir / "net.inet.tcp.function_info", two);
    setenv("QUARN_SYSCTL_DIR", dir.path().c_str(), 1);

    size_t len = 0;
    ASSERT_EQ(kernel_function_info(nullptr, &len), 0);
    EXPECT_EQ(len, 144u);
    std::vector<uint8_t> buf(len);
    ASSERT_EQ(kernel_function_info(buf.data(), &len), 0);
    EXPECT_EQ(len, 144u);
    EXPECT_EQ(buf, two);

    // A buffer too small gets what fits and ENOMEM, like the sysctl.
    len = 72;
    errno = 0;
    EXPECT_EQ(kernel_function_info(buf.data(), &len), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(len, 72u);
    unsetenv("QUARN_SYSCTL_DIR");
}

}  // namespace
}  // namespace quarn
