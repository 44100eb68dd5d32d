// The PID file as a lock: one daemon per file, and no process id left
// behind however the daemon ends. Each test runs real daemons on private
// paths and FIFOs.
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "testlib.h"

namespace quarn::test {
namespace {

// A daemon that reads a FIFO and has started: it waits for input.
struct running_daemon {
    daemon_setup s;
    std::string pid_file = s.tmp / "pid";
    fifo_input in{s.input};
    std::unique_ptr<process> p;

    explicit running_daemon(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"-p", pid_file};
        args.insert(args.end(), extra.begin(), extra.end());
        run_options o = s.options(args);
        // A refused allocation is an ending under test, not a sanitizer report.
        o.env["ASAN_OPTIONS"] = "allocator_may_return_null=1";
        p = std::make_unique<process>(daemon_path(), o);
    }
    bool ready() { return waiting_for_input(p->pid()); }
};

TEST(DaemonPidFileLock, SecondDaemonIsRefusedBeforeItTouchesAnything) {
    running_daemon first;
    ASSERT_TRUE(wait_until([&] { return first.ready(); })) << first.p->err_so_far();
    const std::string held = std::to_string(first.p->pid()) + "\n";
    ASSERT_EQ(read_text(first.pid_file), held);

    // The file is locked as flock(2) locks, so other tools see it too.
    const int fd = open(first.pid_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(fd);

    // Neither the input (missing here), nor the user (unknown), nor the
    // output directory (absent) is reached, and the file keeps its id.
    const struct {
        const char* name;
        std::vector<std::string> args;
    } cases[] = {
        {"everything else valid", {"-u", first.s.user, "-D", first.s.out, "-f", first.s.input}},
        {"nothing else valid",
         {"-u", "nosuchuser", "-D", first.s.tmp / "absent", "-f", first.s.tmp / "missing"}},
        {"with -d", {"-d", "-u", first.s.user, "-D", first.s.out, "-f", first.s.input}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_options o = first.s.options();
        o.args = c.args;
        o.args.push_back("-p");
        o.args.push_back(first.pid_file);
        const run_result r = run(daemon_path(), o);
        EXPECT_EQ(r.err, "quarn_dumper: already running, pid " + std::to_string(first.p->pid()) + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(read_text(first.pid_file), held);
        EXPECT_EQ(list_dir(first.s.out), std::vector<std::string>{});
    }

    first.in.close_input();
    const run_result r = first.p->wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(file_exists(first.pid_file));

    // Once the first has ended, the file can be taken again.
    running_daemon again;
    ASSERT_TRUE(wait_until([&] { return again.ready(); })) << again.p->err_so_far();
    EXPECT_EQ(read_text(again.pid_file), std::to_string(again.p->pid()) + "\n");
}

TEST(DaemonPidFileLock, EveryEndingGivesTheFileUp) {
    struct ending_case {
        const char* name;
        std::function<void(running_daemon&)> end;
        int status;
        const char* last_report;  // how stderr ends; "" for nothing at all
    };
    const ending_case cases[] = {
        {"end of input", [](running_daemon& d) { d.in.close_input(); }, 0, ""},
        {"SIGTERM", [](running_daemon& d) {
             ASSERT_TRUE(wait_until([&] { return ready_for_signals(d.p->pid()); }));
             d.p->signal(SIGTERM);
         }, 0, ""},
        {"SIGINT", [](running_daemon& d) {
             ASSERT_TRUE(wait_until([&] { return ready_for_signals(d.p->pid()); }));
             d.p->signal(SIGINT);
         }, 0, ""},
        {"input that ends inside a message", [](running_daemon& d) {
             std::vector<uint8_t> cut = unknown_af_message(7);
             cut.resize(100);
             ASSERT_TRUE(d.in.write_all(cut));
             d.in.close_input();
         }, 1, "Error reading log message: received 84 bytes, expected 520 bytes\n"},
        {"a message longer than the bound", [](running_daemon& d) {
             ASSERT_TRUE(d.in.write_all(common_header(1, uint64_t{1} << 62)));
         }, 1, "Error reading log header: invalid message length 4611686018427387904 "
               "(at most 268435456 bytes expected)\n"},
    };
    for (const ending_case& c : cases) {
        SCOPED_TRACE(c.name);
        running_daemon d;
        ASSERT_TRUE(wait_until([&] { return d.ready(); })) << d.p->err_so_far();
        ASSERT_EQ(read_text(d.pid_file), std::to_string(d.p->pid()) + "\n");
        c.end(d);
        const run_result r = wait_for_end(*d.p);
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::string tail = c.last_report;
        if (tail.empty()) EXPECT_EQ(r.err, "");
        else EXPECT_TRUE(r.err.size() >= tail.size() && r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0)
            << r.err;
        EXPECT_FALSE(file_exists(d.pid_file));
    }
}

TEST(DaemonPidFileLock, EmptiedWhenTheUserMayNotRemoveIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change user";
    // As under /var/run: root's directory, which the daemon's user may not
    // write once it has dropped its privileges.
    daemon_setup s;
    s.user = "nobody";
    ASSERT_EQ(chmod(s.tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(s.out.c_str(), 0777), 0);
    const std::string run_dir = s.tmp / "run";
    ASSERT_EQ(mkdir(run_dir.c_str(), 0755), 0);
    const std::string pid_file = run_dir + "/quarn_dumper.pid";
    fifo_input in(s.input);
    process p(daemon_path(), s.options({"-p", pid_file}));
    ASSERT_TRUE(wait_until([&] { return waiting_for_input(p.pid()); })) << p.err_so_far();
    EXPECT_EQ(read_text(pid_file), std::to_string(p.pid()) + "\n");
    in.close_input();
    const run_result r = p.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(file_exists(pid_file));
    EXPECT_EQ(read_text(pid_file), "");
}

TEST(DaemonPidFileLock, AReplacedFileIsNotRemoved) {
    // Someone moved the daemon's file away and put another in its place:
    // the daemon removes neither, and the moved one loses the id.
    running_daemon d;
    ASSERT_TRUE(wait_until([&] { return d.ready(); })) << d.p->err_so_far();
    const std::string moved = d.s.tmp / "moved";
    ASSERT_EQ(rename(d.pid_file.c_str(), moved.c_str()), 0);
    write_file(d.pid_file, std::string("4242\n"));
    d.in.close_input();
    EXPECT_EQ(d.p->wait().status, 0);
    EXPECT_EQ(read_text(d.pid_file), "4242\n");
    EXPECT_EQ(read_text(moved), "");
}

// A PID file that cannot be opened ends the start-up with status 1 and the
// path in the report. A symbolic link is one: the daemon opens the file as
// root, and a link would let whoever may write the directory have any file
// emptied or created. Neither the link nor its target changes.
TEST(DaemonPidFileLock, FileThatCannotBeOpened) {
    // Linux refuses a final link under O_NOFOLLOW with ELOOP (FreeBSD with
    // EMLINK).
    const std::string link_refused = strerror(ELOOP);
    const struct {
        const char* name;
        const char* link_to;  // the PID file is a link to this, under the test's directory
        const char* target_text;  // the target's content before and after; null: no target
        std::string error;
    } cases[] = {
        {"directory missing", nullptr, nullptr, strerror(ENOENT)},
        {"link to a file", "victim", "the test's own data\n", link_refused},
        {"link to no file", "not_there", nullptr, link_refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        write_file(s.input, std::string());
        std::string pid_file = s.tmp / "pid";
        std::string target;
        if (c.link_to) {
            target = s.tmp / c.link_to;
            if (c.target_text) write_file(target, std::string(c.target_text));
            ASSERT_EQ(symlink(target.c_str(), pid_file.c_str()), 0);
        } else {
            pid_file = (s.tmp / "absent") + "/pid";
        }
        const run_result r = run(daemon_path(), s.options({"-p", pid_file}));
        EXPECT_EQ(r.err, "quarn_dumper: Error opening PID file " + pid_file + ": " + c.error + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(list_dir(s.out), std::vector<std::string>{});
        if (!c.link_to) continue;
        char buf[4096];
        const ssize_t n = readlink(pid_file.c_str(), buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), target) << "the link was replaced";
        if (c.target_text) EXPECT_EQ(read_text(target), c.target_text);
        else EXPECT_FALSE(file_exists(target)) << "created through the link";
    }
}

}  // namespace
}  // namespace quarn::test
