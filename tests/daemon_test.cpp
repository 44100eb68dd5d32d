// The daemon as a process: the kernel version check, the command line, the
// PID file, the user and the output directory, the privilege drop, how the
// reader frames and filters the stream, and the stack names it loads at
// start-up. Every run gets a private input, output directory and user.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "quarn_logbuild.h"
#include "stream_endings.h"
#include "testlib.h"

namespace quarn::test {
namespace {

const std::string USAGE =
    "quarn_dumper [-dhJZ] [-D dir] [-f file] [-u user] [-r reason]\n"
    "\n"
    "  -d: Daemonize the process.\n"
    "  -h: Display this help message.\n"
    "  -J: Compress the output using the XZ format.\n"
    "  -Z: Compress the output using the zstd format.\n"
    "  -D: Store the files in the given base directory. (Default: /var/log/quarn_dumps)\n"
    "  -f: Read from the given file. (Default: /dev/tcp_log)\n"
    "  -u: Use the UID of the given username. (Default: nobody)\n"
    "  -r reason: only write records of type reason\n"
    "\n";

bool is_root() { return geteuid() == 0; }

// AddressSanitizer notes each allocation it refuses on stderr; the daemon's
// own report follows it.
std::string without_failed_allocation_notes(const std::string& err) {
    std::string kept;
    for (const std::string& line : split_lines(err)) {
        const bool note = line.rfind("==", 0) == 0 &&
                          line.find("==WARNING: AddressSanitizer failed to allocate 0x") != std::string::npos;
        if (!note) kept += line + "\n";
    }
    return kept;
}

TEST(DaemonStartup, LogVersionIsCheckedBeforeTheOptions) {
    struct version_case {
        const char* name;
        const char* version_file;  // null: no file
        std::string err;
        int status;
    };
    const version_case cases[] = {
        {"missing", nullptr,
         "quarn_dumper: Error retrieving TCP log version from kernel: No such file or directory\n", 1},
        {"older", "8\n", "Error: tcp log version mismatch (kernel reports 8; expected 9)\n", 1},
        {"newer without newline", "10", "Error: tcp log version mismatch (kernel reports 10; expected 9)\n", 1},
        {"not decimal", "nine\n", "quarn_dumper: Error retrieving TCP log version from kernel: Invalid argument\n", 1},
        {"empty", "", "quarn_dumper: Error retrieving TCP log version from kernel: Invalid argument\n", 1},
        {"trailing junk", "9x\n", "quarn_dumper: Error retrieving TCP log version from kernel: Invalid argument\n", 1},
        {"matching", "9\n", USAGE, 1},
    };
    for (const version_case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        s.emulate_kernel(c.version_file);
        // -h would print the usage text; the version check must come first.
        const run_result r = run(daemon_path(), s.options({"-h"}));
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
    }
}

TEST(DaemonStartup, WithoutTheSysctlDirectoryTheVersionIsNine) {
    daemon_setup s;
    const run_result r = run(daemon_path(), s.options({"-h"}));
    EXPECT_EQ(r.err, USAGE);
    EXPECT_EQ(r.status, 1);
}

TEST(DaemonOptions, UsageAndOptionErrors) {
    struct option_case {
        std::vector<std::string> args;
        std::string err;
    };
    const option_case cases[] = {
        {{"-h"}, USAGE},
        {{"-J", "-h", "-x"}, USAGE},
        {{"-x"}, "Unknown option -x.\n" + USAGE},
        {{"-dx"}, "Unknown option -x.\n" + USAGE},
        {{"-p"}, "Option -p requires an argument.\n" + USAGE},
        {{"-D"}, "Option -D requires an argument.\n" + USAGE},
        {{"-f", "/nonexistent", "-D"}, "Option -D requires an argument.\n" + USAGE},
        {{"-r"}, "Option -r requires an argument.\n" + USAGE},
        {{"-u"}, "Option -u requires an argument.\n" + USAGE},
        {{"-:"}, "Unknown option -:.\n" + USAGE},
        // The daemon takes no operands: one left after the options is refused.
        {{"operand"}, USAGE},
        {{"-J", "foo", "bar"}, USAGE},
        {{"-u", "nobody", "operand", "-x", "-D"}, USAGE},
        {{"--", "-x"}, USAGE},
        {{"-p", "/nonexistent/pid", "-d", "--", "operand"}, USAGE},
        {{"-J", "-Z"}, "Options -J and -Z exclude each other.\n" + USAGE},
        {{"-Z", "-f", "/nonexistent", "-J"}, "Options -J and -Z exclude each other.\n" + USAGE},
        {{"-ZJ", "-x"}, "Unknown option -x.\n" + USAGE},
        {{"-JZ", "-h"}, USAGE},
    };
    for (const option_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        run_options o;
        o.argv0 = PROG;
        o.args = c.args;
        o.unset_env = {"QUARN_SYSCTL_DIR"};
        const run_result r = run(daemon_path(), o);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

TEST(DaemonOptions, UsageNamesTheProgramAsInvoked) {
    run_options o;
    o.argv0 = "/some/where/qd";
    o.args = {"-h"};
    o.unset_env = {"QUARN_SYSCTL_DIR"};
    const run_result r = run(daemon_path(), o);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "/some/where/qd [-dhJZ] [-D dir] [-f file] [-u user] [-r reason]\n");
    EXPECT_EQ(r.status, 1);
}

TEST(DaemonOptions, AcceptedCommandLines) {
    // Each runs the daemon on an empty input: status 0, nothing said. $IN,
    // $OUT, $USER and $PID stand for the private paths and user.
    struct accepted_case {
        const char* name;
        std::vector<std::string> args;
    };
    const accepted_case cases[] = {
        {"-- ends the options", {"-u", "$USER", "-D", "$OUT", "-f", "$IN", "--"}},
        {"a later -f replaces the earlier",
         {"-u", "$USER", "-D", "$OUT", "-f", "/nonexistent/input", "-f", "$IN"}},
        {"a later -D replaces the earlier",
         {"-u", "$USER", "-D", "/nonexistent/dir", "-D", "$OUT", "-f", "$IN"}},
        {"-p is accepted though not in the usage",
         {"-u", "$USER", "-D", "$OUT", "-f", "$IN", "-p", "$PID"}},
        {"-J and -r with an empty reason", {"-J", "-r", "", "-u", "$USER", "-D", "$OUT", "-f", "$IN"}},
        {"joined option arguments", {"-u$USER", "-D$OUT", "-f$IN", "-Jrerror"}},
        {"-Z twice", {"-Z", "-u", "$USER", "-D", "$OUT", "-Zf", "$IN"}},
    };
    for (const accepted_case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        write_file(s.input, std::string());
        run_options o = s.options();
        o.args.clear();
        for (std::string a : c.args) {
            const std::pair<const char*, std::string> vars[] = {
                {"$USER", s.user}, {"$OUT", s.out}, {"$IN", s.input}, {"$PID", s.tmp / "pid"}};
            for (const auto& [var, value] : vars) {
                if (const size_t at = a.find(var); at != std::string::npos) a.replace(at, strlen(var), value);
            }
            o.args.push_back(a);
        }
        const run_result r = run(daemon_path(), o);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(DaemonOptions, InputThatCannotBeOpened) {
    daemon_setup s;
    run_options o = s.options();
    o.args = {"-u", s.user, "-D", s.out, "-f", s.tmp / "missing"};
    const run_result r = run(daemon_path(), o);
    EXPECT_EQ(r.err, "quarn_dumper: Error opening " + (s.tmp / "missing") + ": No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST(DaemonPidFile, HoldsTheDaemonsProcessIdWhileItRuns) {
    daemon_setup s;
    const std::string pid_file = s.tmp / "pid";
    write_file(pid_file, std::string("stale contents that are longer than a pid\n"));
    fifo_input in(s.input);
    process p(daemon_path(), s.options({"-p", pid_file}));
    ASSERT_TRUE(wait_until([&] { return waiting_for_input(p.pid()); })) << p.err_so_far();
    EXPECT_EQ(read_text(pid_file), std::to_string(p.pid()) + "\n");
    in.close_input();
    const run_result r = p.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // After the end no stale id stays behind.
    EXPECT_FALSE(file_exists(pid_file));
}

TEST(DaemonPidFile, NewPidFileHasMode0644) {
    daemon_setup s;
    const std::string pid_file = s.tmp / "pid";
    fifo_input in(s.input);
    const mode_t old_mask = umask(0);
    process p(daemon_path(), s.options({"-p", pid_file}));
    umask(old_mask);
    ASSERT_TRUE(wait_until([&] { return waiting_for_input(p.pid()); })) << p.err_so_far();
    struct stat st;
    ASSERT_EQ(stat(pid_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    in.close_input();
    EXPECT_EQ(p.wait().status, 0);
}

TEST(DaemonPidFile, DaemonizedChildWritesItsOwnIdAndLeavesTheSession) {
    // Orphans are handed to this process, so the daemonized child can be
    // waited for and its status seen.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    daemon_setup s;
    const std::string pid_file = s.tmp / "pid";
    fifo_input in(s.input);

    process parent(daemon_path(), s.options({"-d", "-p", pid_file}));
    const run_result r = parent.wait();
    EXPECT_EQ(r.status, 0);

    // The file names the child only, never the parent that took it.
    ASSERT_TRUE(wait_until([&] {
        const std::string t = read_text(pid_file);
        return !t.empty() && t.back() == '\n';
    }));
    const pid_t child = static_cast<pid_t>(std::stol(read_text(pid_file)));
    ASSERT_NE(child, parent.pid());
    EXPECT_EQ(read_text(pid_file), std::to_string(child) + "\n");
    ASSERT_TRUE(wait_until([&] { return waiting_for_input(child); }));

    // The child leads a session of its own, away from this one's terminal.
    EXPECT_EQ(getsid(child), child);
    EXPECT_NE(getsid(child), getsid(0));

    // The lock passed to the child with the descriptor: a second daemon
    // with the same file is refused though the parent is gone.
    const run_result second = run(daemon_path(), s.options({"-p", pid_file}));
    EXPECT_EQ(second.err, "quarn_dumper: already running, pid " + std::to_string(child) + "\n");
    EXPECT_EQ(second.status, 1);

    // The child's reports still reach the standard error the parent had.
    ASSERT_TRUE(in.write_all(unknown_af_message(7)));
    in.close_input();
    int st = 0;
    pid_t got = 0;
    EXPECT_TRUE(wait_until([&] {
        got = waitpid(child, &st, WNOHANG);
        return got != 0;
    }, 60000));
    if (got == 0) {
        kill(child, SIGKILL);
        waitpid(child, &st, 0);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(got, child);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(parent.err_so_far(), unknown_af_line(7));
    EXPECT_FALSE(file_exists(pid_file));
}

// The daemonized child works from "/", so it holds no directory busy; the
// relative paths it was given keep naming the same files: the dumps and
// the index go to the output directory, and the PID file is removed at the
// end (by a relative name from "/" it could only be emptied).
TEST(DaemonPidFile, DaemonizedChildWorksFromTheRootWithItsRelativePaths) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    daemon_setup s;
    fifo_input in(s.input);
    run_options o = s.options();
    o.args = {"-d", "-u", s.user, "-D", "out", "-f", "input", "-p", "pid"};
    o.cwd = s.tmp.path();
    const std::string pid_file = s.tmp / "pid";

    process parent(daemon_path(), o);
    EXPECT_EQ(parent.wait().status, 0);
    ASSERT_TRUE(wait_until([&] {
        const std::string t = read_text(pid_file);
        return !t.empty() && t.back() == '\n';
    })) << parent.err_so_far();
    const pid_t child = static_cast<pid_t>(std::stol(read_text(pid_file)));
    ASSERT_TRUE(wait_until([&] { return waiting_for_input(child); }));
    char cwd[4096] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(child) + "/cwd").c_str(), cwd, sizeof cwd - 1), 0);
    EXPECT_STREQ(cwd, "/");

    build::header_fields h;
    ASSERT_TRUE(in.write_all(build::message(h, {build::record_fields{}})));
    in.close_input();
    int st = 0;
    pid_t got = 0;
    EXPECT_TRUE(wait_until([&] {
        got = waitpid(child, &st, WNOHANG);
        return got != 0;
    }, 60000));
    if (got == 0) {
        kill(child, SIGKILL);
        waitpid(child, &st, 0);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(got, child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ(parent.err_so_far(), "");
    EXPECT_EQ(list_dir(s.out), (std::vector<std::string>{"conn_443_10.0.0.2_50000.0.pcapng", "records"}));
    EXPECT_EQ(split_lines(read_text(s.out + "/records")).size(), 1u);
    EXPECT_FALSE(file_exists(pid_file));
}

TEST(DaemonUser, FailedStartUpLeavesNoPidFile) {
    // The PID file is taken before the user is looked up; a start-up that
    // fails afterwards gives it up again, stale contents and all.
    for (const bool unknown_user : {true, false}) {
        SCOPED_TRACE(unknown_user ? "unknown user" : "output directory is a file");
        daemon_setup s;
        const std::string pid_file = s.tmp / "pid";
        write_file(pid_file, std::string("12345\n"));
        write_file(s.input, std::string());
        std::string expected;
        if (unknown_user) {
            s.user = "nosuchuser";
            expected = "Error finding user \"nosuchuser\": no such user\n";
        } else {
            ASSERT_EQ(rmdir(s.out.c_str()), 0);
            write_file(s.out, std::string());
            expected = "quarn_dumper: Error opening directory \"" + s.out + "\": Not a directory\n";
        }
        const run_result r = run(daemon_path(), s.options({"-p", pid_file}));
        EXPECT_EQ(r.err, expected);
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(file_exists(pid_file));
    }
}

TEST(DaemonDirectory, OutputDirectoryThatCannotBeOpened) {
    daemon_setup s;
    write_file(s.input, std::string());
    const std::string plain = s.tmp / "plain";
    write_file(plain, std::string("not a directory"));
    const struct {
        std::string dir;
        std::string err;
    } cases[] = {
        {plain, "quarn_dumper: Error opening directory \"" + plain + "\": Not a directory\n"},
        {s.tmp / "absent", "quarn_dumper: Error opening directory \"" + (s.tmp / "absent") +
                               "\": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        run_options o = s.options();
        o.args = {"-u", s.user, "-f", s.input, "-D", c.dir};
        const run_result r = run(daemon_path(), o);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

// A user whose primary group is not the group it belongs to as a member,
// made once on this machine.
constexpr const char* MEMBER_USER = "quarndirtest";
constexpr const char* MEMBER_GROUP = "quarndirgrp";

bool user_in_group(const char* user, const group* g) {
    for (char** m = g->gr_mem; m && *m; m++) {
        if (std::string(*m) == user) return true;
    }
    return false;
}

bool ensure_member_user() {
    if (!getgrnam(MEMBER_GROUP)) {
        (void)system((std::string("groupadd ") + MEMBER_GROUP + " >/dev/null 2>&1").c_str());
    }
    if (!getpwnam(MEMBER_USER)) {
        (void)system((std::string("useradd -M -N -s /usr/sbin/nologin -G ") + MEMBER_GROUP + " " +
                      MEMBER_USER + " >/dev/null 2>&1")
                         .c_str());
    }
    const group* g = getgrnam(MEMBER_GROUP);
    const passwd* pw = getpwnam(MEMBER_USER);
    return g && pw && pw->pw_gid != g->gr_gid && user_in_group(MEMBER_USER, g);
}

TEST(DaemonDirectory, WriteTestUsesOwnerElsePrimaryGroupElseOthers) {
    if (!is_root()) GTEST_SKIP() << "needs root to own directories for other users";
    ASSERT_TRUE(ensure_member_user()) << "could not set up user " << MEMBER_USER;
    const passwd* member = getpwnam(MEMBER_USER);
    const uid_t member_uid = member->pw_uid;
    const gid_t member_gid = member->pw_gid;
    const gid_t supplementary_gid = getgrnam(MEMBER_GROUP)->gr_gid;
    const uid_t stranger_uid = 4242;
    const gid_t stranger_gid = 4243;

    enum class owner { user, stranger, root };
    enum class grp { primary, supplementary, stranger, root };
    struct dir_case {
        const char* name;
        const char* user;
        owner o;
        grp g;
        mode_t mode;
        bool passes;
    };
    const dir_case cases[] = {
        {"nobody and a root-owned 0755 directory", "nobody", owner::root, grp::root, 0755, false},
        {"a supplementary group does not count", MEMBER_USER, owner::stranger, grp::supplementary, 0775, false},
        {"the primary group with 0770", MEMBER_USER, owner::stranger, grp::primary, 0770, true},
        {"the primary group lacks write though others have it", MEMBER_USER, owner::stranger, grp::primary, 0747, false},
        {"the owner lacks write though others have it", MEMBER_USER, owner::user, grp::stranger, 0577, false},
        {"the owner with 0700", MEMBER_USER, owner::user, grp::stranger, 0700, true},
        {"others may write but not search", MEMBER_USER, owner::stranger, grp::stranger, 0776, false},
        {"anyone with 0777", MEMBER_USER, owner::stranger, grp::stranger, 0777, true},
        {"nobody and a 0777 directory", "nobody", owner::root, grp::root, 0777, true},
    };
    for (const dir_case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        s.user = c.user;
        // The dropped user must reach the directory and the input.
        ASSERT_EQ(chmod(s.tmp.path().c_str(), 0755), 0);
        write_file(s.input, std::string());
        const uid_t uid = c.o == owner::user ? member_uid : c.o == owner::stranger ? stranger_uid : 0;
        const gid_t gid = c.g == grp::primary         ? member_gid
                          : c.g == grp::supplementary ? supplementary_gid
                          : c.g == grp::stranger      ? stranger_gid
                                                      : 0;
        ASSERT_EQ(chown(s.out.c_str(), uid, gid), 0);
        ASSERT_EQ(chmod(s.out.c_str(), c.mode), 0);
        const run_result r = run(daemon_path(), s.options());
        if (c.passes) {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
        } else {
            EXPECT_EQ(r.err, "It appears user \"" + std::string(c.user) +
                                 "\" does not have permission to write to directory " + s.out + ".\n");
            EXPECT_EQ(r.status, 1);
        }
    }
}

TEST(DaemonPrivileges, RunsWithOnlyTheUsersIds) {
    if (!is_root()) GTEST_SKIP() << "needs root to change user";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const long uid = nobody->pw_uid, gid = nobody->pw_gid;

    daemon_setup s;
    s.user = "nobody";
    ASSERT_EQ(chmod(s.tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(s.out.c_str(), 0777), 0);
    fifo_input in(s.input);
    process p(daemon_path(), s.options());

    // setuid comes last, so once the user id is nobody's all three are done.
    ASSERT_TRUE(wait_until([&] {
        return status_numbers(p.pid(), "Uid") == std::vector<long>{uid, uid, uid, uid};
    })) << p.err_so_far();
    EXPECT_EQ(status_numbers(p.pid(), "Gid"), (std::vector<long>{gid, gid, gid, gid}));
    EXPECT_EQ(status_numbers(p.pid(), "Groups"), std::vector<long>{gid});

    ASSERT_TRUE(wait_until([&] { return waiting_for_input(p.pid()); }));
    in.close_input();
    const run_result r = p.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(DaemonPrivileges, EachFailedStepEndsStartUp) {
    if (!is_root()) GTEST_SKIP() << "needs root to take capabilities away";
    if (!have_program("setpriv")) GTEST_SKIP() << "setpriv is not installed";
    struct drop_case {
        const char* name;
        std::vector<std::string> setpriv_args;
        const char* user;
        std::string err;
    };
    const drop_case cases[] = {
        {"root without CAP_SETGID cannot set the group list", {"--bounding-set=-setgid"}, "nobody",
         "quarn_dumper: Error setting group ID list: Operation not permitted\n"},
        {"an unprivileged user cannot take group 0",
         {"--reuid=65534", "--regid=65534", "--clear-groups"}, "root",
         "quarn_dumper: Error setting group ID: Operation not permitted\n"},
        {"root without CAP_SETUID cannot take the user id", {"--bounding-set=-setuid"}, "nobody",
         "quarn_dumper: Error setting user ID: Operation not permitted\n"},
    };
    for (const drop_case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        s.user = c.user;
        ASSERT_EQ(chmod(s.tmp.path().c_str(), 0755), 0);
        ASSERT_EQ(chmod(s.out.c_str(), 0777), 0);
        write_file(s.input, std::string());
        ASSERT_EQ(chmod(s.input.c_str(), 0644), 0);
        run_options o = s.options();
        std::vector<std::string> args = c.setpriv_args;
        args.push_back("--");
        args.push_back(daemon_path());
        args.insert(args.end(), o.args.begin(), o.args.end());
        o.args = args;
        o.argv0.clear();
        const run_result r = run("/usr/bin/setpriv", o);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

TEST(DaemonReader, EndingsOfTheStream) {
    const std::vector<uint8_t> whole = unknown_af_message(7);
    ASSERT_EQ(whole.size(), 536u);
    for (const test::stream_ending& c : test::stream_ending_cases(whole)) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        write_file(s.input, c.stream);
        run_options o = s.options();
        o.env["ASAN_OPTIONS"] = "allocator_may_return_null=1";
        const run_result r = run(daemon_path(), o);
        // No case both skips and keeps messages, so the reader's lines and
        // the workers' come in one order.
        ASSERT_TRUE(c.skipped == 0 || c.whole == 0);
        std::string err;
        for (size_t i = 0; i < c.skipped; i++) err += "Skipping record of unknown type 3\n";
        for (size_t i = 0; i < c.whole; i++) err += unknown_af_line(7);
        EXPECT_EQ(without_failed_allocation_notes(r.err), err + c.text);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(list_dir(s.out), std::vector<std::string>{});
    }
}

TEST(DaemonReader, ReadFailureBeforeAnyByte) {
    // A directory opens read-only but fails every read.
    daemon_setup s;
    run_options o = s.options();
    o.args = {"-u", s.user, "-D", s.out, "-f", s.tmp.path()};
    const run_result r = run(daemon_path(), o);
    EXPECT_EQ(r.err, "quarn_dumper: Error reading input: Is a directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST(DaemonReader, OtherTypesAreSkippedWholeAndReadingGoesOn) {
    daemon_setup s;
    std::vector<uint8_t> stream;
    // A type-2 message with a body of 0xFF bytes: read as a header, the body
    // would give an impossible length.
    std::vector<uint8_t> other = common_header(2, 300);
    other.resize(300, 0xFF);
    append(stream, other);
    append(stream, common_header(3, 16));  // no body at all
    append(stream, common_header(0xFFFFFFFF, 17));
    stream.push_back(0xFF);
    append(stream, unknown_af_message(7));
    const run_result r = s.run_stream(stream);
    EXPECT_EQ(r.err,
              "Skipping record of unknown type 2\n"
              "Skipping record of unknown type 3\n"
              "Skipping record of unknown type 4294967295\n" +
                  unknown_af_line(7));
    EXPECT_EQ(r.status, 0);
}

TEST(DaemonReader, BlackBoxMessagesTooShortForAHeaderOrARecord) {
    // Each short message is followed by a good one of the same connection,
    // so both reports come in stream order whoever makes them.
    const size_t lengths[] = {16, 100, 207, 208, 535};
    for (size_t len : lengths) {
        SCOPED_TRACE(len);
        daemon_setup s;
        std::vector<uint8_t> shorty = unknown_af_message(7);
        shorty.resize(len);
        store<uint64_t>(shorty.data() + OFF_TLH_LENGTH, len);
        std::vector<uint8_t> stream = shorty;
        append(stream, unknown_af_message(8));
        const run_result r = s.run_stream(stream);
        EXPECT_EQ(r.err, "Incorrect header length while starting to process black box record\n" +
                             unknown_af_line(8));
        EXPECT_EQ(r.status, 0);
    }
}

TEST(DaemonReader, ReasonFilter) {
    // Every message has its own address family, so a message that passes
    // the filter is named by its worker's report.
    const std::string reason31(31, 'a');
    const std::string reason32(32, 'a');  // fills the field with no NUL
    struct filter_case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> reasons;
        std::vector<bool> passes;
    };
    const filter_case cases[] = {
        {"prefix without regard to case", {"-r", "err"},
         {"error", "ERROR", "rebuffer", "Err", "er", "errorXYZ", ""},
         {true, true, false, true, false, true, false}},
        {"the filter is a prefix of the reason only", {"-r", "ERRORS"}, {"error", "errors", "Errors!"},
         {false, true, true}},
        {"an empty filter passes all", {"-r", ""}, {"normal", "", "rebuffer"}, {true, true, true}},
        {"no filter passes all", {}, {"normal", "", "rebuffer"}, {true, true, true}},
        {"the last -r counts", {"-r", "rebuffer", "-r", "err"}, {"rebuffer", "error"}, {false, true}},
        {"a reason with no NUL is 31 bytes", {"-r", "b"}, {reason32}, {false}},
        {"it matches its first 31 bytes", {"-r", reason31}, {reason32}, {true}},
        {"and is shorter than a 32-byte filter", {"-r", reason32}, {reason32}, {false}},
    };
    for (const filter_case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        std::vector<uint8_t> stream;
        std::string expected;
        for (size_t i = 0; i < c.reasons.size(); i++) {
            const uint8_t af = static_cast<uint8_t>(100 + i);
            build::header_fields h;
            h.af = af;
            h.fport = static_cast<uint16_t>(40000 + 256 * i);
            h.reason = c.reasons[i];
            h.tag = "TAG";  // follows the reason field: must never show
            append(stream, build::message(h, {build::record_fields{}}));
            const std::string shown = c.reasons[i].substr(0, 31);
            expected += c.passes[i] ? unknown_af_line(af)
                                    : "Skipping record of non matching reason" + shown + "\n";
        }
        const run_result r = s.run_stream(stream, c.args);
        EXPECT_EQ(sorted_lines(r.err), sorted_lines(expected)) << r.err;
        EXPECT_EQ(r.status, 0);
    }
}

TEST(DaemonStackNames, RegistryEntriesAtStartUp) {
    daemon_setup s;
    s.emulate_kernel("9\n");
    std::vector<uint8_t> registry;
    append(registry, build::function_info_entry(1, "rack", "rack"));
    append(registry, build::function_info_entry(2, "bbr", "rack"));  // names differ
    append(registry, build::function_info_entry(3, "old", "old"));
    append(registry, build::function_info_entry(3, "new", "new"));   // a later entry wins
    append(registry, build::function_info_entry(4, "kept", "kept"));
    append(registry, build::function_info_entry(4, "x", "y"));       // skipped: 4 stays
    write_file(s.sysctl_dir + "/net.inet.tcp.function_info", registry);

    const struct {
        uint8_t stack_id;
        const char* name;
    } cases[] = {{1, "rack"}, {2, "unknown"}, {3, "new"}, {4, "kept"}, {5, "unknown"}};
    std::vector<uint8_t> stream;
    for (const auto& c : cases) {
        build::header_fields h;
        h.fport = static_cast<uint16_t>(50000 + c.stack_id);
        build::record_fields rec;
        rec.stack_id = c.stack_id;
        append(stream, build::message(h, {rec}));
    }
    const run_result r = s.run_stream(stream);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = split_lines(read_text(s.out + "/records"));
    ASSERT_EQ(lines.size(), std::size(cases));
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.stack_id));
        const std::string port = "\"fport\":" + std::to_string(50000 + c.stack_id) + ",";
        const std::string stack = "\"stack\":\"" + std::string(c.name) + "\",";
        size_t found = 0;
        for (const std::string& line : lines) {
            if (line.find(port) != std::string::npos) {
                found++;
                EXPECT_NE(line.find(stack), std::string::npos) << line;
            }
        }
        EXPECT_EQ(found, 1u);
    }
}

TEST(DaemonStackNames, MissingRegistryIsReportedAndStartUpGoesOn) {
    daemon_setup s;
    s.emulate_kernel("9\n");
    const run_result r = s.run_stream({});
    EXPECT_EQ(r.err, "Unable to retrieve length of function ID mappings (-1: No such file or directory)\n");
    EXPECT_EQ(r.status, 0);
}

TEST(DaemonStackNames, EmptyRegistryIsNoError) {
    daemon_setup s;
    s.emulate_kernel("9\n");
    write_file(s.sysctl_dir + "/net.inet.tcp.function_info", std::string());
    const run_result r = s.run_stream({});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
}  // namespace quarn::test
