// The whole job, end to end: the real daemon converts a stream file (made
// by the stream synthesizer or built here) into captures and index lines.
// Every output directory is checked the same way: each index line is JSON
// and names an existing file whose record blocks match its record count,
// every capture is sound block by block and read by tshark, and the files
// without an index line are only the ones the run is expected to leave.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump_check.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "testlib.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::temp_dir;

// The daemon changes to this user; the current one, so that the test also
// runs without root.
std::string current_user() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "root";
}

// An emulated kernel: log format version 9 and stacks 1 "alpha", 2 "bravo".
void write_sysctl_dir(const std::string& dir) {
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    test::write_file(dir + "/net.inet.tcp.bb.log_version", std::string("9\n"));
    std::vector<uint8_t> info = qb::function_info_entry(1, "alpha", "alpha");
    const std::vector<uint8_t> b = qb::function_info_entry(2, "bravo", "bravo");
    info.insert(info.end(), b.begin(), b.end());
    test::write_file(dir + "/net.inet.tcp.function_info", info);
}

test::run_options daemon_options(const std::string& input, const std::string& out,
                                 const std::string& sysctl_dir) {
    test::run_options opts;
    opts.args = {"-u", current_user(), "-D", out, "-f", input};
    opts.env["QUARN_SYSCTL_DIR"] = sysctl_dir;
    opts.timeout_ms = 120000;
    return opts;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> text_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Lines of `text` that begin with `prefix`.
size_t count_of(const std::string& text, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& l : text_lines(text)) n += l.rfind(prefix, 0) == 0;
    return n;
}

// Checks the index files `index_names` and every capture of `dir`; returns
// the captures that no index line names.
std::set<std::string> check_output(const std::string& dir,
                                   const std::vector<std::string>& index_names = {"records"}) {
    std::set<std::string> files;
    for (const std::string& n : test::list_dir(dir)) {
        if (ends_with(n, ".pcapng")) {
            files.insert(n);
        } else if (n.rfind("records", 0) != 0) {
            ADD_FAILURE() << "unexpected file " << n;
        }
    }

    std::set<std::string> indexed;
    for (const std::string& index : index_names) {
        std::vector<test::json_object> objs;
        std::string error;
        EXPECT_TRUE(test::parse_json_lines(test::read_text(dir + "/" + index), &objs, &error))
            << index << ": " << error;
        for (const test::json_object& o : objs) {
            const std::string name = o.at("filename").text;
            SCOPED_TRACE(index + ": " + name);
            EXPECT_TRUE(indexed.insert(name).second) << "indexed twice";
            if (!files.count(name)) {
                ADD_FAILURE() << "no such file";
                continue;
            }
            EXPECT_EQ(o.at("record_count").type, 'n');
            EXPECT_EQ(o.at("record_count").text,
                      std::to_string(test::record_blocks(test::read_file(dir + "/" + name))));
            EXPECT_TRUE(ends_with(name, "." + o.at("frag_seq").text + ".pcapng"));
            EXPECT_EQ(o.at("duration").type, 'n');
        }
    }

    const bool tshark = test::have_program("tshark");
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> f = test::read_file(dir + "/" + name);
        std::string error;
        const size_t blocks = test::walk_blocks(f, &error).size();
        EXPECT_EQ(error, "");
        EXPECT_EQ(test::block_summary(f).find('!'), std::string::npos) << test::block_summary(f);
        if (tshark) {
            std::string out;
            EXPECT_EQ(test::tshark_frames(dir + "/" + name, &out), static_cast<int>(blocks) - 2)
                << out;
        }
    }

    std::set<std::string> unindexed;
    for (const std::string& n : files) {
        if (!indexed.count(n)) unindexed.insert(n);
    }
    return unindexed;
}

class DumpDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir((tmp_ / "out").c_str(), 0755), 0);
        write_sysctl_dir(tmp_ / "sysctl");
    }

    std::string out() const { return tmp_ / "out"; }

    temp_dir tmp_;
};

qb::header_fields conn(const std::string& id, const std::string& reason, bool v6 = false) {
    qb::header_fields h;
    h.id = id;
    h.reason = reason;
    h.fport = static_cast<uint16_t>(40000 + id.size());
    if (v6) qb::use_ipv6(h);
    return h;
}

std::vector<qb::record_fields> records(uint32_t n, uint8_t stack = 1) {
    std::vector<qb::record_fields> recs(n);
    for (uint32_t i = 0; i < n; i++) {
        recs[i].serial = 100 + i;
        recs[i].stack_id = stack;
        recs[i].usec = i * 1000;
        if (i % 3 == 2) recs[i].flags = 0;  // an event now and then
    }
    return recs;
}

// A stream whose outcome is known message by message: numbering through
// the cache, a removed short "error" dump, a split, a skipped message type,
// and a removed "rebuffer" dump whose number is free again.
TEST_F(DumpDaemonTest, FixtureStreamGivesTheExpectedFiles) {
    std::vector<uint8_t> stream;
    auto add = [&stream](const std::vector<uint8_t>& m) { stream.insert(stream.end(), m.begin(), m.end()); };
    add(qb::message(conn("fx1", "normal"), records(3)));
    add(qb::message(conn("fx1", "error"), records(5)));  // takes 1, removed
    add(qb::message(conn("fx1", "normal"), records(2)));
    std::vector<qb::record_fields> gappy = records(12);
    for (size_t i = 6; i < gappy.size(); i++) gappy[i].serial += 40;
    add(qb::message(conn("fxgap", "error"), gappy));
    std::vector<qb::record_fields> split = records(3);
    split[2].stack_id = 2;
    add(qb::message(conn("fxsplit", "normal", true), split));
    qb::header_fields other = conn("fxtype", "normal");
    other.type = 2;
    add(qb::message(other, records(1)));
    add(qb::message(conn("fxre", "rebuffer"), records(2)));  // no cache entry, removed
    add(qb::message(conn("fxre", "normal"), records(1)));
    test::write_file(tmp_ / "stream", stream);

    const test::run_result r =
        test::run(test::daemon_path(), daemon_options(tmp_ / "stream", out(), tmp_ / "sysctl"));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Skipping record of unknown type 2\n");

    EXPECT_TRUE(check_output(out()).empty());
    const std::vector<std::string> expected = {
        "fx1_443_10.0.0.2_40003.0.pcapng",
        "fx1_443_10.0.0.2_40003.2.pcapng",
        "fxgap_443_10.0.0.2_40005.0.pcapng",
        "fxre_443_10.0.0.2_40004.0.pcapng",
        "fxsplit_443_2001:db8::2_40007.0.pcapng",
        "fxsplit_443_2001:db8::2_40007.1.pcapng",
        "records",
    };
    EXPECT_EQ(test::list_dir(out()), expected);
    EXPECT_EQ(test::block_summary(test::read_file(out() + "/" + expected[2])),
              "P P E P P E G40 P P E P P E");
    const std::string index = test::read_text(out() + "/records");
    EXPECT_NE(index.find("\"filename\":\"fxsplit_443_2001:db8::2_40007.1.pcapng\", "
                         "\"record_count\":1, \"stack\":\"bravo\""),
              std::string::npos)
        << index;
}

// Synthesized streams, clean and with damaged messages inserted. With damage
// only the message whose last record is cut leaves its file unindexed.
TEST_F(DumpDaemonTest, SynthesizedStreamsConvertCompletely) {
    if (!*test::synth_path()) GTEST_SKIP() << "quarn_synth not built";
    struct synth_case {
        const char* name;
        std::vector<std::string> args;
        size_t unindexed;
        std::vector<std::string> reports;  // line beginnings, each exactly once
    };
    const synth_case cases[] = {
        {"clean", {"-s", "11", "-n", "40", "-r", "1-14", "-R", "normal:5,error:3,rebuffer:2",
                   "-S", "25", "-g", "15", "-e", "10", "-6", "40"},
         0, {}},
        {"damaged", {"-s", "12", "-n", "30", "-r", "1-14", "-R", "normal:1,error:1",
                     "-D", "unknown-type,unknown-family,short-length,short-tail"},
         0,
         {"Incorrect header length while processing black box record",
          "Incorrect header length while starting to process black box record",
          "Skipping record of unknown type ",
          "Skipping black box record with unknown address family "}},
    };
    for (const synth_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = tmp_ / c.name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        test::run_options synth;
        synth.args = c.args;
        synth.args.insert(synth.args.end(), {"-o", dir + ".stream", "-k", dir + ".sysctl"});
        const test::run_result s = test::run(test::synth_path(), synth);
        ASSERT_EQ(s.status, 0) << s.err;

        const test::run_result r =
            test::run(test::daemon_path(), daemon_options(dir + ".stream", dir, dir + ".sysctl"));
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const std::string& report : c.reports) EXPECT_EQ(count_of(r.err, report), 1u) << r.err;

        const std::set<std::string> unindexed = check_output(dir);
        EXPECT_EQ(unindexed.size(), c.unindexed);
        EXPECT_GT(text_lines(test::read_text(dir + "/records")).size(), 10u);
    }
}

// Whether `sig` is pending for the process as a whole (sent, not yet
// delivered to a thread).
bool process_signal_pending(pid_t pid, int sig) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(f, l);) {
        if (l.rfind("ShdPnd:", 0) == 0) {
            const unsigned long long mask = std::stoull(l.substr(7), nullptr, 16);
            return (mask >> (sig - 1)) & 1;
        }
    }
    return false;
}

// After SIGHUP the next index line goes to a new "records"; the moved
// index gets nothing more.
TEST_F(DumpDaemonTest, SighupReopensTheIndex) {
    const std::string fifo = tmp_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    test::process daemon(test::daemon_path(), daemon_options(fifo, out(), tmp_ / "sysctl"));

    int fd = -1;
    ASSERT_TRUE(test::wait_until([&] {
        fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
    })) << daemon.err_so_far();
    ASSERT_EQ(fcntl(fd, F_SETFL, 0), 0);

    auto send = [fd](const std::vector<uint8_t>& m) {
        return write(fd, m.data(), m.size()) == static_cast<ssize_t>(m.size());
    };
    auto line_count = [this](const std::string& name) {
        return text_lines(test::read_text(out() + "/" + name)).size();
    };

    ASSERT_TRUE(send(qb::message(conn("hup1", "normal"), records(2))));
    ASSERT_TRUE(test::wait_until([&] { return line_count("records") == 1; })) << daemon.err_so_far();
    ASSERT_EQ(rename((out() + "/records").c_str(), (out() + "/records.1").c_str()), 0);
    const std::string moved = test::read_text(out() + "/records.1");

    daemon.signal(SIGHUP);
    ASSERT_TRUE(test::wait_until([&] { return !process_signal_pending(daemon.pid(), SIGHUP); }));
    ASSERT_TRUE(send(qb::message(conn("hup2", "normal"), records(3))));
    ASSERT_TRUE(test::wait_until([&] { return line_count("records") == 1; })) << daemon.err_so_far();

    close(fd);  // end of input: the daemon finishes and exits
    const test::run_result r = daemon.wait();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(test::read_text(out() + "/records.1"), moved);
    EXPECT_NE(moved.find("hup1_443_10.0.0.2_40004.0.pcapng"), std::string::npos) << moved;
    const std::string fresh = test::read_text(out() + "/records");
    EXPECT_EQ(text_lines(fresh).size(), 1u);
    EXPECT_NE(fresh.find("hup2_443_10.0.0.2_40004.0.pcapng"), std::string::npos) << fresh;
    EXPECT_TRUE(check_output(out(), {"records", "records.1"}).empty());
}

// The start of the daemon's err-style lines.
const std::string DAEMON = "quarn_dumper: ";

// A daemon reading a FIFO that the test feeds message by message.
class fed_daemon {
public:
    fed_daemon(const std::string& program, const test::run_options& opts, const std::string& fifo)
        : p_(program, opts) {
        EXPECT_TRUE(test::wait_until([&] {
            fd_ = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd_ >= 0;
        })) << p_.err_so_far();
        if (fd_ >= 0) {
            EXPECT_EQ(fcntl(fd_, F_SETFL, 0), 0);
        }
    }
    ~fed_daemon() {
        if (fd_ >= 0) close(fd_);
    }
    bool send(const std::vector<uint8_t>& m) {
        return fd_ >= 0 && write(fd_, m.data(), m.size()) == static_cast<ssize_t>(m.size());
    }
    // Closes the input (end of input) and waits for the end.
    test::run_result finish() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        return p_.wait();
    }
    test::process& proc() { return p_; }

private:
    test::process p_;
    int fd_ = -1;
};

// Every thread but the main one sleeps in a futex wait (workers waiting for
// work) or a sanitizer's sleep: no message is being processed.
bool workers_idle(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const std::string& tid : test::list_dir(dir)) {
        if (tid == std::to_string(pid)) continue;
        std::ifstream sc(dir + "/" + tid + "/syscall");
        long call = -1;
        sc >> call;
        if (call != SYS_futex && call != SYS_nanosleep && call != SYS_clock_nanosleep) return false;
    }
    return true;
}

size_t line_count(const std::string& path) {
    return test::file_exists(path) ? text_lines(test::read_text(path)).size() : 0;
}

size_t pcapng_count(const std::string& dir) {
    size_t n = 0;
    for (const std::string& name : test::list_dir(dir)) n += name.find(".pcapng") != std::string::npos;
    return n;
}

// "records" cannot be opened (a directory holds the name) when the daemon
// starts: the lines wait, one report says so, and they reach the index
// when it can be opened again, with the next line or at the end.
TEST_F(DumpDaemonTest, UnwritableIndexKeepsItsLinesUntilItCanBeWritten) {
    const std::string in_use = "Error opening records index: Is a directory";
    struct index_case {
        const char* name;
        bool freed;           // the directory goes away while the daemon runs
        bool line_after;      // one more message after that
        const char* report;   // the line that ends the streak
    };
    const index_case cases[] = {
        {"with the next line", true, true, "Records index written again: 6 lines kept, 0 lost"},
        {"at the end", true, false, "Records index written again: 6 lines kept, 0 lost"},
        {"never", false, false, "Records index incomplete at exit: 6 lines not written"},
    };
    for (const index_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = tmp_ / c.name;
        const std::string fifo = dir + ".fifo";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir + "/records").c_str(), 0755), 0);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        fed_daemon d(test::daemon_path(), daemon_options(fifo, dir, tmp_ / "sysctl"), fifo);
        for (int i = 0; i < 6; i++) {
            ASSERT_TRUE(d.send(qb::message(conn("idx" + std::to_string(i), "normal"), records(3))));
        }
        // Every line has been tried once the six files exist and every
        // worker waits for work.
        ASSERT_TRUE(test::wait_until([&] {
            return pcapng_count(dir) == 6 && workers_idle(d.proc().pid());
        })) << d.proc().err_so_far();
        if (c.freed) {
            ASSERT_EQ(rmdir((dir + "/records").c_str()), 0);
        }
        if (c.line_after) {
            ASSERT_TRUE(d.send(qb::message(conn("after", "normal"), records(2))));
            ASSERT_TRUE(test::wait_until([&] { return line_count(dir + "/records") == 7; }))
                << d.proc().err_so_far();
        }
        const test::run_result r = d.finish();
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, DAEMON + in_use + "\n" + DAEMON + c.report + "\n");
        if (c.freed) {
            EXPECT_TRUE(check_output(dir).empty());
            EXPECT_EQ(line_count(dir + "/records"), c.line_after ? 7u : 6u);
        } else {
            ASSERT_EQ(rmdir((dir + "/records").c_str()), 0);
            EXPECT_EQ(check_output(dir).size(), 6u);
        }
    }
}

// The capture in a dump file, decompressed by the xz or zstd tool for
// ".xz" and ".zst".
std::vector<uint8_t> capture_of(const std::string& path) {
    const char* tool = ends_with(path, ".xz") ? "xz" : ends_with(path, ".zst") ? "zstd" : nullptr;
    if (!tool) return test::read_file(path);
    std::vector<uint8_t> out;
    FILE* p = popen((std::string(tool) + " -dc < '" + path + "' 2>/dev/null").c_str(), "r");
    if (!p) return out;
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.insert(out.end(), buf, buf + n);
    EXPECT_EQ(pclose(p), 0) << tool << " rejects " << path;
    return out;
}

// Checks that every index line of `dir` is whole JSON and names, once, a
// whole capture with its record count; returns the dump files no line
// names (which may be cut short).
std::set<std::string> check_index(const std::string& dir) {
    std::set<std::string> files;
    for (const std::string& n : test::list_dir(dir)) {
        if (n.find(".pcapng") != std::string::npos) files.insert(n);
    }
    std::vector<test::json_object> objs;
    std::string error;
    EXPECT_TRUE(test::parse_json_lines(test::read_text(dir + "/records"), &objs, &error)) << error;
    std::set<std::string> unindexed = files;
    for (const test::json_object& o : objs) {
        const std::string name = o.at("filename").text;
        SCOPED_TRACE(name);
        EXPECT_EQ(unindexed.erase(name), 1u) << "indexed twice, or no such file";
        const std::vector<uint8_t> capture = capture_of(dir + "/" + name);
        EXPECT_EQ(test::block_summary(capture).find('!'), std::string::npos);
        EXPECT_EQ(o.at("record_count").text, std::to_string(test::record_blocks(capture)));
    }
    return unindexed;
}

// Whether this process may make a private mount namespace with a tmpfs.
bool can_mount_tmpfs(const std::string& dir) {
    if (geteuid() != 0 || !test::have_program("unshare")) return false;
    test::run_options o;
    o.args = {"-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs '" + dir + "'"};
    return test::run("/usr/bin/unshare", o).status == 0;
}

constexpr size_t PAGE = 4096;

// Fills the file system of `path` (a new file) until no page is free, then
// gives `pages` pages back.
void fill_leaving(const std::string& path, size_t pages) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    const std::vector<char> chunk(PAGE, 'f');
    off_t size = 0;
    for (;;) {
        const ssize_t w = write(fd, chunk.data(), chunk.size());
        if (w <= 0) break;
        size += w;
    }
    EXPECT_EQ(errno, ENOSPC);
    size = size / PAGE * PAGE;
    ASSERT_GE(size, static_cast<off_t>(pages * PAGE));
    ASSERT_EQ(ftruncate(fd, size - static_cast<off_t>(pages * PAGE)), 0);
    close(fd);
}

// A full disk, seen by the real daemon on small tmpfs file systems of its
// own mount namespace: one for the dumps, one for the index (a file of it
// bind-mounted on "records", since the daemon follows no link there). The dumps' disk fills during a dump, the
// index's during a line; space comes back while the daemon runs. Every
// line stays whole, every whole dump is indexed exactly once, the index
// failure is reported once and its end once.
TEST_F(DumpDaemonTest, FullDiskDuringDumpsAndIndexLines) {
    if (!can_mount_tmpfs(tmp_ / "out")) {
        GTEST_SKIP() << "needs root and unshare -m with tmpfs mounts; not available here";
    }
    struct disk_case {
        const char* name;
        bool xz;
        size_t pages_left;     // free pages on the dumps' disk for the big dump
        size_t left_unindexed;  // files the failed dump leaves
    };
    const disk_case cases[] = {
        // Direct: the header and the first records fit, the rest does not.
        {"direct", false, 1, 1},
        // XZ: nothing reaches the file before the close, which fails; the
        // empty file is removed.
        {"xz", true, 0, 0},
    };
    for (const disk_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = tmp_ / c.name;
        const std::string out = base + "/out", idx = base + "/idx", fifo = base + "/fifo";
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(idx.c_str(), 0755), 0);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

        test::run_options o = daemon_options(fifo, out, tmp_ / "sysctl");
        std::string cmd = "mount -t tmpfs -o size=256k tmpfs '" + out +
                          "' && mount -t tmpfs -o size=64k tmpfs '" + idx + "' && : > '" + idx +
                          "/records' && : > '" + out + "/records' && mount --bind '" + idx + "/records' '" +
                          out + "/records' && exec '" +
                          test::daemon_path() + "'";
        for (const std::string& a : o.args) cmd += " '" + a + "'";
        if (c.xz) cmd += " -J";
        o.args = {"-m", "sh", "-c", cmd};
        fed_daemon d("/usr/bin/unshare", o, fifo);
        // The daemon's view of its file systems.
        const std::string root = "/proc/" + std::to_string(d.proc().pid()) + "/root";
        const std::string dumps = root + out, index = root + out + "/records";
        size_t sent = 0;
        auto send = [&](const std::string& id, uint32_t n) {
            sent++;
            return d.send(qb::message(conn(id + std::to_string(sent), "normal"), records(n)));
        };
        auto err_count = [&](const std::string& text) {
            return count_of(d.proc().err_so_far(), DAEMON + text);
        };

        for (int i = 0; i < 3; i++) ASSERT_TRUE(send("ok", 3));
        ASSERT_TRUE(test::wait_until([&] { return line_count(index) == 3; }))
            << d.proc().err_so_far();

        // The dumps' disk fills during a large dump.
        ASSERT_NO_FATAL_FAILURE(fill_leaving(dumps + "/records.fill", c.pages_left));
        ASSERT_TRUE(send("big", 60));
        const std::string dump_full = "Error writing to file: No space left on device";
        ASSERT_TRUE(test::wait_until([&] { return err_count(dump_full) == 1; }))
            << d.proc().err_so_far();
        ASSERT_EQ(unlink((dumps + "/records.fill").c_str()), 0);
        for (int i = 0; i < 3; i++) ASSERT_TRUE(send("ok", 3));
        ASSERT_TRUE(test::wait_until([&] { return line_count(index) == 6; }))
            << d.proc().err_so_far();

        // The index's disk fills: the lines that still fit go out, the
        // next is cut short and cut back, and the rest wait.
        ASSERT_NO_FATAL_FAILURE(fill_leaving(root + idx + "/fill", 0));
        const std::string index_full = "Error writing records index: No space left on device";
        for (int i = 0; i < 20; i++) ASSERT_TRUE(send("wait", 3));
        ASSERT_TRUE(test::wait_until([&] { return err_count(index_full) == 1; }))
            << d.proc().err_so_far();
        ASSERT_TRUE(test::wait_until([&] { return pcapng_count(dumps) == sent - 1 + c.left_unindexed; }))
            << d.proc().err_so_far();
        EXPECT_EQ(test::read_text(index).back(), '\n');
        ASSERT_EQ(unlink((root + idx + "/fill").c_str()), 0);
        ASSERT_TRUE(send("back", 3));
        ASSERT_TRUE(test::wait_until([&] { return line_count(index) == sent - 1; }))
            << d.proc().err_so_far();

        const std::set<std::string> unindexed = check_index(dumps);
        EXPECT_EQ(unindexed.size(), c.left_unindexed);
        for (const std::string& name : unindexed) EXPECT_NE(name.find("big"), std::string::npos);
        const std::string err = d.proc().err_so_far();
        EXPECT_EQ(err_count(dump_full), 1u) << err;
        EXPECT_EQ(err_count(index_full), 1u) << err;
        EXPECT_EQ(err_count("Records index written again: "), 1u) << err;
        EXPECT_NE(err.find(" lines kept, 0 lost\n"), std::string::npos) << err;

        EXPECT_EQ(err_count("First dump lost: big"), 1u) << err;
        EXPECT_EQ(err_count("Dumps written again: 1 dumps lost"), 1u) << err;

        const test::run_result r = d.finish();
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(text_lines(r.err).size(), 5u) << r.err;
    }
}

// A message to the worker of every conn() message whose only effect is one
// line, "Skipping black box record with unknown address family <af>": once
// it shows, that worker has finished every message sent before it.
std::vector<uint8_t> marker(uint8_t af) {
    qb::header_fields h = conn("mark", "normal");
    h.af = af;
    return qb::message(h, records(1));
}

std::string marker_line(unsigned af) {
    return "Skipping black box record with unknown address family " + std::to_string(af);
}

std::string dump_name(const std::string& id, const std::string& suffix = "") {
    return id + "_443_10.0.0.2_" + std::to_string(40000 + id.size()) + ".0.pcapng" + suffix;
}

// The count N of the lines "quarn_dumper: <lead>N<tail>" of `text`, summed.
unsigned long long counted(const std::string& text, const std::string& lead,
                           const std::string& tail) {
    unsigned long long n = 0;
    for (const std::string& l : text_lines(text)) {
        if (l.rfind(DAEMON + lead, 0) != 0 || !ends_with(l, tail)) continue;
        n += std::stoull(l.substr(DAEMON.size() + lead.size()));
    }
    return n;
}

// The output directory made unwritable, then writable again, or removed
// while the daemon runs (with -u nobody, so permissions apply): the first
// dump that cannot be made is reported with its name, the next only
// counted; a dump made again, or the end, reports the count. The daemon
// goes on, the dumps made before and after are whole and indexed, and
// nothing is written anywhere else.
TEST_F(DumpDaemonTest, OutputDirectoryUnwritableOrRemovedMidRun) {
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and a user nobody";
    ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
    struct dir_case {
        const char* name;
        bool removed;
        const char* report;
        const char* ending;  // the line that ends the streak
    };
    const dir_case cases[] = {
        {"unwritable", false,
         "quarn_dumper: Unable to open file to write black box record: Permission denied",
         "quarn_dumper: Dumps written again: 2 dumps lost"},
        {"removed", true,
         "quarn_dumper: Unable to open file to write black box record: No such file or directory",
         "quarn_dumper: 2 dumps not written: No such file or directory"},
    };
    for (const dir_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = tmp_ / c.name;
        const std::string dir = base + "/out", fifo = base + "/fifo";
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        test::run_options o = daemon_options(fifo, dir, tmp_ / "sysctl");
        o.args[1] = "nobody";
        fed_daemon d(test::daemon_path(), o, fifo);
        size_t sent = 0;
        auto send_some = [&](int n) {
            for (int i = 0; i < n; i++) {
                sent++;
                if (!d.send(qb::message(conn("m" + std::to_string(sent), "normal"), records(3)))) {
                    return false;
                }
            }
            return true;
        };
        auto shown = [&](const std::string& line) {
            return test::wait_until([&] { return count_of(d.proc().err_so_far(), line) == 1; });
        };

        ASSERT_TRUE(send_some(2));
        ASSERT_TRUE(test::wait_until([&] { return line_count(dir + "/records") == 2; }))
            << d.proc().err_so_far();
        if (c.removed) {
            ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
        } else {
            ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
        }
        ASSERT_TRUE(send_some(2));
        ASSERT_TRUE(d.send(marker(7)));
        ASSERT_TRUE(shown(marker_line(7))) << d.proc().err_so_far();
        if (!c.removed) {
            ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
            ASSERT_TRUE(send_some(2));
            ASSERT_TRUE(test::wait_until([&] { return line_count(dir + "/records") == 4; }))
                << d.proc().err_so_far();
        }

        const test::run_result r = d.finish();
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> want = {
            c.report, DAEMON + "First dump lost: " + dump_name("m3"), marker_line(7), c.ending};
        EXPECT_EQ(text_lines(r.err), want);
        if (c.removed) {
            EXPECT_EQ(test::list_dir(base), std::vector<std::string>{"fifo"});
        } else {
            EXPECT_TRUE(check_output(dir).empty());
            EXPECT_EQ(line_count(dir + "/records"), 4u);
        }
    }
}

// A full disk, seen by the real daemon on a small tmpfs of its own mount
// namespace, directly, with -J and with -Z: the space runs out twice,
// comes back once while the daemon runs and is still gone at its end.
// Each streak of lost dumps is reported by three lines (the failure, the
// first dump lost, and the end of the streak), whatever the number of
// dumps in it; the counts in the lines, the files and the index add up to
// the dumps sent.
TEST_F(DumpDaemonTest, LostDumpsAreReportedOncePerStreak) {
    if (!can_mount_tmpfs(tmp_ / "out")) {
        GTEST_SKIP() << "needs root and unshare -m with tmpfs mounts; not available here";
    }
    struct loss_case {
        const char* name;
        const char* option;  // "" for none
        const char* suffix;
        // A large dump first in the streak, with one page left for it: its
        // file keeps what fit, with no index line. A compressing writer
        // writes nothing before its close: with no page left, every file
        // is empty and removed.
        bool large_first;
    };
    const loss_case cases[] = {
        {"direct", "", "", true},
        {"xz", "-J", ".xz", false},
        {"zstd", "-Z", ".zst", false},
    };
    const std::string full = "Error writing to file: No space left on device";
    for (const loss_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (*c.option && !test::have_program(c.name)) continue;
        const std::string base = tmp_ / c.name;
        const std::string out = base + "/out", fifo = base + "/fifo";
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

        test::run_options o = daemon_options(fifo, out, tmp_ / "sysctl");
        std::string cmd = "mount -t tmpfs -o size=256k tmpfs '" + out + "' && exec '" +
                          test::daemon_path() + "'";
        for (const std::string& a : o.args) cmd += " '" + a + "'";
        if (*c.option) cmd += std::string(" ") + c.option;
        o.args = {"-m", "sh", "-c", cmd};
        fed_daemon d("/usr/bin/unshare", o, fifo);
        const std::string dumps = "/proc/" + std::to_string(d.proc().pid()) + "/root" + out;
        size_t dumps_sent = 0;
        auto send = [&](const std::string& id, uint32_t n) {
            dumps_sent++;
            return d.send(qb::message(conn(id, "normal"), records(n)));
        };
        auto shown = [&](const std::string& line) {
            return test::wait_until([&] { return count_of(d.proc().err_so_far(), line) == 1; });
        };

        for (const char* id : {"ok1", "ok2", "ok3"}) ASSERT_TRUE(send(id, 3));
        ASSERT_TRUE(test::wait_until([&] { return line_count(dumps + "/records") == 3; }))
            << d.proc().err_so_far();

        // The first streak: four or five dumps lost, then space again.
        ASSERT_NO_FATAL_FAILURE(fill_leaving(dumps + "/fill", c.large_first ? 1 : 0));
        std::string first_lost = dump_name("lost1", c.suffix);
        if (c.large_first) {
            ASSERT_TRUE(send("large", 60));
            first_lost = dump_name("large", c.suffix);
        }
        for (const char* id : {"lost1", "lost2", "lost3", "lost4"}) ASSERT_TRUE(send(id, 3));
        ASSERT_TRUE(d.send(marker(7)));
        ASSERT_TRUE(shown(marker_line(7))) << d.proc().err_so_far();
        ASSERT_EQ(unlink((dumps + "/fill").c_str()), 0);
        ASSERT_TRUE(send("back", 3));
        ASSERT_TRUE(shown(DAEMON + "Dumps written again: ")) << d.proc().err_so_far();

        // The second streak is still open at the end.
        ASSERT_NO_FATAL_FAILURE(fill_leaving(dumps + "/fill", 0));
        for (const char* id : {"end1", "end2", "end3"}) ASSERT_TRUE(send(id, 3));
        ASSERT_TRUE(d.send(marker(8)));
        ASSERT_TRUE(shown(marker_line(8))) << d.proc().err_so_far();

        // The files, read while the daemon (and so its file system) lives.
        const std::set<std::string> left = check_index(dumps);
        const size_t indexed = line_count(dumps + "/records");
        const size_t files = pcapng_count(dumps);

        const test::run_result r = d.finish();
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        const unsigned long long first_streak = c.large_first ? 5 : 4;
        const std::vector<std::string> want = {
            DAEMON + full,
            DAEMON + "First dump lost: " + first_lost,
            marker_line(7),
            DAEMON + "Dumps written again: " + std::to_string(first_streak) + " dumps lost",
            DAEMON + full,
            DAEMON + "First dump lost: " + dump_name("end1", c.suffix),
            marker_line(8),
            DAEMON + "3 dumps not written: No space left on device",
        };
        EXPECT_EQ(text_lines(r.err), want);

        // The dumps sent are the ones indexed and the ones the lines count;
        // a lost dump keeps its file only when something reached it.
        const unsigned long long lost = counted(r.err, "Dumps written again: ", " dumps lost") +
                                        counted(r.err, "", " dumps not written: No space left on device");
        EXPECT_EQ(indexed, 4u);
        EXPECT_EQ(indexed + lost, dumps_sent);
        const std::set<std::string> want_left =
            c.large_first ? std::set<std::string>{first_lost} : std::set<std::string>{};
        EXPECT_EQ(left, want_left);
        EXPECT_EQ(files, indexed + left.size());
    }
}

}  // namespace
}  // namespace quarn
