// The daemon's endings while its workers run: SIGINT and SIGTERM while the
// reader waits for input or sits in the middle of a message, signals that
// must not end it, the drain that lets the workers finish every message
// already read, and the reader's pause when the workers make no progress.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "quarn_logbuild.h"
#include "testlib.h"

namespace quarn::test {
namespace {

// The system call the daemon's main thread is in, or -1 when it runs.
long main_thread_syscall(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    std::string first;
    f >> first;
    if (first.empty() || first == "running") return -1;
    try {
        return std::stol(first);
    } catch (...) {
        return -1;
    }
}

// Whether a signal waits for delivery to the daemon's main thread.
bool signal_pending(pid_t pid) {
    for (const char* key : {"SigPnd", "ShdPnd"}) {
        std::string v = proc_status_field(pid, key);
        if (v.empty() || std::stoull(v, nullptr, 16) != 0) return true;
    }
    return false;
}

// Sends `sig` and waits until its handler has run.
void deliver(process& p, int sig) {
    p.signal(sig);
    ASSERT_TRUE(wait_until([&] { return !signal_pending(p.pid()); }));
}

// A message that gives a dump file and an index line.
std::vector<uint8_t> ipv4_message(uint16_t fport, uint16_t lport = 443) {
    build::header_fields h;
    h.fport = fport;
    h.lport = lport;
    return build::message(h, {build::record_fields{}});
}

// `n` messages with address family 7 over many port pairs, so all eight
// workers get some.
std::vector<uint8_t> unknown_af_stream(int n) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < n; i++) {
        append(stream, unknown_af_message(7, static_cast<uint16_t>(1024 + 257 * i),
                                          static_cast<uint16_t>(443 + 256 * (i % 13))));
    }
    return stream;
}

// A daemon reading from a FIFO that the test writes into.
struct fifo_daemon {
    daemon_setup s;
    fifo_input in{s.input};
    std::unique_ptr<process> p;

    fifo_daemon() : p(std::make_unique<process>(daemon_path(), s.options())) {}
    // The daemon waits for input with nothing left unread, and a signal
    // sent now reaches its reader.
    bool idle() { return in.unread() == 0 && ready_for_signals(p->pid()); }
};

TEST(DaemonSignals, QuitWhileWaitingForInput) {
    const std::vector<uint8_t> whole = unknown_af_message(7);
    auto first = [&](size_t n) { return std::vector<uint8_t>(whole.begin(), whole.begin() + n); };
    auto then = [&](std::vector<uint8_t> v) {
        std::vector<uint8_t> s = whole;
        append(s, v);
        return s;
    };
    struct quit_case {
        const char* name;
        int sig;
        std::vector<uint8_t> written;
        std::string err;
        int status;
    };
    const quit_case cases[] = {
        {"SIGTERM with nothing read", SIGTERM, {}, "", 0},
        {"SIGINT with nothing read", SIGINT, {}, "", 0},
        {"SIGTERM after a whole message", SIGTERM, whole, unknown_af_line(7), 0},
        {"SIGINT inside the header", SIGINT, first(10),
         "Error reading log header: received 10 bytes, expected 16 bytes\n", 1},
        {"SIGTERM inside the body after a whole message", SIGTERM, then(first(116)),
         unknown_af_line(7) + "Error reading log message: received 100 bytes, expected 520 bytes\n", 1},
        {"SIGINT after the header of a message", SIGINT, then(first(16)),
         unknown_af_line(7) + "Error reading log message: received 0 bytes, expected 520 bytes\n", 1},
    };
    for (const quit_case& c : cases) {
        SCOPED_TRACE(c.name);
        fifo_daemon d;
        ASSERT_TRUE(d.in.write_all(c.written));
        ASSERT_TRUE(wait_until([&] { return d.idle(); })) << d.p->err_so_far();
        d.p->signal(c.sig);
        const run_result r = wait_for_end(*d.p);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(list_dir(d.s.out), std::vector<std::string>{});
    }
}

TEST(DaemonSignals, QuitRightAfterStartUp) {
    // The reader may wait for input before the last worker has run. A quit
    // signal sent then must still end the daemon: no thread may take it
    // without blocking signals, or the reader's read is never interrupted.
    // The window is short, so the signal goes out the moment the reader
    // waits (polling at wait_until's pace would let it pass), over many
    // starts.
    for (int attempt = 0; attempt < 30; attempt++) {
        SCOPED_TRACE(attempt);
        fifo_daemon d;
        const pid_t pid = d.p->pid();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!waiting_for_input(pid) && std::chrono::steady_clock::now() < end) {
        }
        ASSERT_TRUE(waiting_for_input(pid));
        d.p->signal(attempt % 2 ? SIGINT : SIGTERM);
        const run_result r = wait_for_end(*d.p, 10000);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

// Whether the process has a handler for `sig`.
bool catches(pid_t pid, int sig) {
    const std::string v = proc_status_field(pid, "SigCgt");
    return !v.empty() && ((std::stoull(v, nullptr, 16) >> (sig - 1)) & 1) != 0;
}

// Waits, busily, for `us` microseconds: finer than a sleep.
void spin_for(std::chrono::microseconds us) {
    const auto end = std::chrono::steady_clock::now() + us;
    while (std::chrono::steady_clock::now() < end) {
    }
}

// A quit signal that lands after the reader has tested the quit flag and
// before it waits for input must still end the wait. SIGUSR2 wakes the
// reader and sends it round that test and into the wait again; SIGTERM
// follows at a random moment, from right after the daemon installed its
// handlers to while the reader waits, mostly within the few microseconds
// the reader takes to come back from a wake-up. The FIFO stays open with
// no data, so only the signal can end a run.
TEST(DaemonSignals, QuitAlwaysEndsTheWaitForInput) {
    std::mt19937 rng(20261210);
    for (int run = 0; run < 100; run++) {
        SCOPED_TRACE(run);
        fifo_daemon d;
        const pid_t pid = d.p->pid();
        ASSERT_TRUE(wait_until([&] { return catches(pid, SIGUSR2); })) << d.p->err_so_far();
        // Most runs let the reader reach its wait first.
        if (run % 4 != 0) {
            ASSERT_TRUE(wait_until([&] { return waiting_for_input(pid); }));
            kill(pid, SIGUSR2);
            spin_for(std::chrono::microseconds(rng() % 60));
        }
        kill(pid, SIGTERM);
        const bool ended = wait_until([&] {
            const char st = proc_state(pid);
            return st == 'Z' || st == 0;
        }, 5000);
        EXPECT_TRUE(ended) << "still waiting after SIGTERM:\n" << describe_threads(pid);
        const run_result r = d.p->wait(1000);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

// The bits of a signal set in /proc/PID/status ("SigBlk", "ShdPnd", ...).
uint64_t status_mask(pid_t pid, const char* key) {
    const std::string v = proc_status_field(pid, key);
    return v.empty() ? 0 : std::stoull(v, nullptr, 16);
}

constexpr uint64_t bit(int sig) { return uint64_t{1} << (sig - 1); }

// Outside its wait for input the reader keeps the quit signals blocked, so
// one that comes while it works waits for the wait. The reader is held
// outside the wait here by a report it cannot write: its stderr is a full
// pipe. SIGTERM sent then stays pending; once the pipe is read, the reader
// goes back to its wait, takes the signal there and ends with status 0.
TEST(DaemonSignals, QuitSignalWaitsForTheWaitForInput) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    size_t filled = 0;
    const std::vector<char> chunk(4096, 'x');
    for (ssize_t n; (n = write(p[1], chunk.data(), chunk.size())) > 0;) filled += static_cast<size_t>(n);
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_EQ(fcntl(p[1], F_SETFL, 0), 0);  // the daemon's writes block

    daemon_setup s;
    fifo_input in(s.input);
    run_options o = s.options();
    o.err_fd = p[1];
    process d(daemon_path(), o);
    close(p[1]);
    ASSERT_TRUE(wait_until([&] { return waiting_for_input(d.pid()); }));

    build::header_fields skipped;
    skipped.type = 2;
    ASSERT_TRUE(in.write_all(build::message(skipped, {build::record_fields{}})));
    ASSERT_TRUE(wait_until([&] { return main_thread_syscall(d.pid()) == SYS_write; }));
    EXPECT_EQ(status_mask(d.pid(), "SigBlk") & (bit(SIGINT) | bit(SIGTERM)), bit(SIGINT) | bit(SIGTERM));
    d.signal(SIGTERM);
    EXPECT_TRUE(wait_until([&] { return (status_mask(d.pid(), "ShdPnd") & bit(SIGTERM)) != 0; }));
    EXPECT_EQ(main_thread_syscall(d.pid()), SYS_write);

    // Everything up to the end of the daemon's stderr.
    std::string err;
    char buf[65536];
    for (;;) {
        pollfd in_err{p[0], POLLIN, 0};
        if (poll(&in_err, 1, 60000) != 1) break;
        const ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        err.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    const run_result r = wait_for_end(d);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(err.size(), filled + std::string("Skipping record of unknown type 2\n").size());
    EXPECT_EQ(err.substr(filled), "Skipping record of unknown type 2\n");
}

// With standard error a pipe whose reader has gone, every report fails
// with EPIPE and nothing else changes: the messages are all processed,
// the status is that of the run, and the PID file is given up. Reports
// come from the reader (a message type it skips), from the workers (an
// address family they skip) and from start-up.
TEST(DaemonSignals, ClosedStderrChangesNothingElse) {
    struct closed_case {
        const char* name;
        const char* version;  // the kernel's log version
        size_t dumps;         // dumps and index lines expected
        int status;
    };
    const closed_case cases[] = {
        {"every message processed", "9\n", 12, 0},
        {"start-up fails", "8\n", 0, 1},
    };
    for (const closed_case& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        s.emulate_kernel(c.version);
        std::vector<uint8_t> stream;
        for (int i = 0; i < 12; i++) {
            append(stream, ipv4_message(static_cast<uint16_t>(1024 + 257 * i)));
            build::header_fields skipped;
            skipped.type = 2;
            append(stream, build::message(skipped, {build::record_fields{}}));
            append(stream, unknown_af_message(7, static_cast<uint16_t>(2048 + 257 * i)));
        }
        write_file(s.input, stream);
        const std::string pid_file = s.tmp / "pid";

        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        close(p[0]);
        run_options o = s.options({"-p", pid_file});
        o.err_fd = p[1];
        process daemon(daemon_path(), o);
        close(p[1]);
        const run_result r = daemon.wait(60000);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(file_exists(pid_file));
        size_t dumps = 0;
        for (const std::string& name : list_dir(s.out)) dumps += name.find(".pcapng") != std::string::npos;
        EXPECT_EQ(dumps, c.dumps);
        const size_t lines =
            file_exists(s.out + "/records") ? split_lines(read_text(s.out + "/records")).size() : 0;
        EXPECT_EQ(lines, c.dumps);
    }
}

TEST(DaemonSignals, OtherSignalsDoNotEndTheDaemon) {
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(strsignal(sig));
        fifo_daemon d;
        ASSERT_TRUE(wait_until([&] { return d.idle(); }));
        ASSERT_NO_FATAL_FAILURE(deliver(*d.p, sig));
        // The daemon still reads: a message written now becomes a dump.
        ASSERT_TRUE(d.in.write_all(ipv4_message(50000)));
        ASSERT_TRUE(wait_until([&] { return d.idle(); }));
        d.in.close_input();
        const run_result r = wait_for_end(*d.p);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(list_dir(d.s.out),
                  (std::vector<std::string>{"conn_443_10.0.0.2_50000.0.pcapng", "records"}));
        EXPECT_EQ(split_lines(read_text(d.s.out + "/records")).size(), 1u);
    }
}

TEST(DaemonSignals, SignalsDuringStartUpWaitForTheirHandlers) {
    // The kernel's log version comes from a FIFO, so the daemon sits in its
    // first start-up step, before any handler exists, until the test
    // answers. A signal sent then must neither end the daemon nor be lost:
    // it waits, blocked, and meets its handler later.
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(strsignal(sig));
        daemon_setup s;
        s.emulate_kernel(nullptr);
        const std::string version = s.sysctl_dir + "/net.inet.tcp.bb.log_version";
        ASSERT_EQ(mkfifo(version.c_str(), 0600), 0);
        write_file(s.sysctl_dir + "/net.inet.tcp.function_info", std::string());  // no stacks
        write_file(s.input, ipv4_message(50000));
        process p(daemon_path(), s.options());
        // A non-blocking open for writing succeeds once the daemon has come
        // to open the FIFO for reading.
        int fd = -1;
        ASSERT_TRUE(wait_until([&] {
            fd = open(version.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0;
        }));
        p.signal(sig);
        const bool held = wait_until([&] { return signal_pending(p.pid()) || proc_state(p.pid()) == 'Z'; });
        EXPECT_TRUE(held && signal_pending(p.pid())) << "the signal was not held back";
        ASSERT_EQ(write(fd, "9\n", 2), 2);
        close(fd);
        const run_result r = wait_for_end(p);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(list_dir(s.out), (std::vector<std::string>{"conn_443_10.0.0.2_50000.0.pcapng", "records"}));
    }
}

TEST(DaemonDrain, EveryMessageReadIsProcessedBeforeTheEnd) {
    constexpr int N = 5000;
    const std::vector<uint8_t> stream = unknown_af_stream(N);
    enum class input { file, fifo_closed, fifo_signalled };
    struct drain_case {
        const char* name;
        input how;
        int sig;                    // for fifo_signalled
        std::vector<uint8_t> tail;  // after the N messages
        std::string last_line;      // "" when the N reports are all
        int status;
    };
    std::vector<uint8_t> partial_body = unknown_af_message(7);
    partial_body.resize(16 + 100);
    const drain_case cases[] = {
        {"end of a file", input::file, 0, {}, "", 0},
        {"short header at the end of a file", input::file, 0, common_header(1, 536),
         "Error reading log message: received 0 bytes, expected 520 bytes", 1},
        {"10 header bytes at the end of a file", input::file, 0,
         std::vector<uint8_t>(partial_body.begin(), partial_body.begin() + 10),
         "Error reading log header: received 10 bytes, expected 16 bytes", 1},
        {"a length below 16 at the end of a file", input::file, 0, common_header(1, 15),
         "Error reading log header: invalid message length 15 (at least 16 bytes expected)", 1},
        {"a length above 256 MiB at the end of a file", input::file, 0, common_header(1, 268435457),
         "Error reading log header: invalid message length 268435457 (at most 268435456 bytes "
         "expected)",
         1},
        {"a length of 2^64 - 1 at the end of a file", input::file, 0, common_header(1, UINT64_MAX),
         "Error reading log header: invalid message length 18446744073709551615 (at most 268435456 "
         "bytes expected)",
         1},
        {"a length of exactly 256 MiB at the end of a file", input::file, 0,
         common_header(1, 268435456),
         "Error reading log message: received 0 bytes, expected 268435440 bytes", 1},
        {"end of a FIFO", input::fifo_closed, 0, {}, "", 0},
        {"SIGTERM after the writer finished", input::fifo_signalled, SIGTERM, {}, "", 0},
        {"SIGINT inside a message after the writer finished", input::fifo_signalled, SIGINT,
         partial_body, "Error reading log message: received 100 bytes, expected 520 bytes", 1},
    };
    for (const drain_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> all = stream;
        append(all, c.tail);
        run_result r;
        if (c.how == input::file) {
            daemon_setup s;
            r = s.run_stream(all);
        } else {
            fifo_daemon d;
            ASSERT_TRUE(d.in.write_all(all));
            ASSERT_TRUE(wait_until([&] { return d.idle(); }, 60000));
            if (c.how == input::fifo_closed) d.in.close_input();
            else d.p->signal(c.sig);
            r = wait_for_end(*d.p);
        }
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(count_line(r.err, "Skipping black box record with unknown address family 7"),
                  static_cast<size_t>(N));
        const std::vector<std::string> lines = split_lines(r.err);
        ASSERT_EQ(lines.size(), static_cast<size_t>(N) + (c.last_line.empty() ? 0 : 1));
        if (!c.last_line.empty()) {
            EXPECT_EQ(lines.back(), c.last_line);
        }
    }
}

// The index file "records" made a FIFO: the first worker that indexes a dump
// blocks in its open (holding the index lock, so the others block behind
// it) until the test opens the FIFO for reading. Meanwhile the workers make
// no progress at all.
struct stalled_workers {
    fifo_daemon d;
    std::string records = d.s.out + "/records";
    std::string index;  // what the daemon wrote to "records"
    std::thread drainer;
    std::atomic<bool> daemon_ended{false};

    static constexpr int PAUSED_AT = 1001;  // messages read when the reader pauses
    static constexpr size_t MSG = 536;
    int beyond = 0;  // messages written and left unread by the paused reader

    stalled_workers() {
        if (mkfifo(records.c_str(), 0644) != 0) throw std::runtime_error("mkfifo records");
    }
    ~stalled_workers() {
        daemon_ended = true;
        if (drainer.joinable()) drainer.join();
    }

    // Writes n messages of distinct connections. Up to PAUSED_AT, waits until
    // the reader has read them all and waits for more; beyond, until the
    // reader has paused with exactly PAUSED_AT of them read (the rest must
    // fit in the pipe).
    void feed(int n) {
        std::vector<uint8_t> stream;
        for (int i = 0; i < n; i++) {
            append(stream, ipv4_message(static_cast<uint16_t>(1024 + 61 * i),
                                        static_cast<uint16_t>(443 + 256 * (i % 8))));
        }
        ASSERT_TRUE(d.in.write_all(stream));
        if (n <= PAUSED_AT) {
            ASSERT_TRUE(wait_until([&] { return d.idle(); }, 60000));
            return;
        }
        beyond = n - PAUSED_AT;
        const bool paused = wait_until([&] {
            return main_thread_syscall(d.p->pid()) == SYS_futex &&
                   d.in.unread() == static_cast<int>(beyond * MSG) && workers_block_signals(d.p->pid());
        }, 60000);
        ASSERT_TRUE(paused) << "unread " << d.in.unread() << " bytes, expected " << beyond * MSG
                            << "; main thread in system call " << main_thread_syscall(d.p->pid());
    }

    // Lets the workers go on: reads "records" as the daemon writes it. The
    // FIFO is opened without waiting, so the reading thread also ends when
    // the daemon never opens it.
    void release() {
        const int fd = open(records.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("open records");
        drainer = std::thread([this, fd] {
            char buf[65536];
            for (;;) {
                const bool last = daemon_ended.load();
                pollfd p{fd, POLLIN, 0};
                poll(&p, 1, 20);
                for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) index.append(buf, static_cast<size_t>(n));
                if (last) break;
            }
            close(fd);
        });
    }

    // Waits for the daemon's end and for the last of "records".
    run_result finish() {
        const run_result r = wait_for_end(*d.p);
        daemon_ended = true;
        if (drainer.joinable()) drainer.join();
        return r;
    }

    size_t dump_files() const { return list_dir(d.s.out).size() - 1; }
};

TEST(DaemonFlowControl, ReaderPausesAt1001AndGoesOnWhenWorkersCatchUp) {
    stalled_workers w;
    ASSERT_NO_FATAL_FAILURE(w.feed(w.PAUSED_AT + 50));
    w.release();
    // Resumed, the reader takes the rest; then the end of input.
    ASSERT_TRUE(wait_until([&] { return w.d.idle(); }, 60000));
    w.d.in.close_input();
    const run_result r = w.finish();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(split_lines(w.index).size(), static_cast<size_t>(w.PAUSED_AT + 50));
    EXPECT_EQ(w.dump_files(), static_cast<size_t>(w.PAUSED_AT + 50));
}

TEST(DaemonFlowControl, QuitWaitsForTheWorkersToFinishWhatWasRead) {
    // Whether the reader waits for input or sits in its pause when the
    // signal comes, the workers finish every message read, and no more is
    // read.
    const struct {
        int sig;
        int messages;
    } cases[] = {{SIGTERM, 20}, {SIGINT, 20}, {SIGTERM, 1051}, {SIGINT, 1051}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) + " after " + std::to_string(c.messages));
        stalled_workers w;
        ASSERT_NO_FATAL_FAILURE(w.feed(c.messages));
        ASSERT_NO_FATAL_FAILURE(deliver(*w.d.p, c.sig));
        w.release();
        const run_result r = w.finish();
        const size_t read = static_cast<size_t>(c.messages - w.beyond);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(split_lines(w.index).size(), read);
        EXPECT_EQ(w.dump_files(), read);
        EXPECT_EQ(w.d.in.unread(), static_cast<int>(w.beyond * w.MSG));
    }
}

TEST(DaemonFlowControl, SecondQuitSignalEndsTheDrainAtOnce) {
    const struct {
        int first, second;
    } cases[] = {{SIGTERM, SIGTERM}, {SIGINT, SIGTERM}, {SIGTERM, SIGINT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.first)) + " then " + strsignal(c.second));
        stalled_workers w;
        ASSERT_NO_FATAL_FAILURE(w.feed(20));
        ASSERT_NO_FATAL_FAILURE(deliver(*w.d.p, c.first));
        // The reader leaves its read for the drain, which waits for the
        // stalled workers; only the second signal can end it.
        ASSERT_TRUE(wait_until([&] { return main_thread_syscall(w.d.p->pid()) == SYS_futex; }));
        EXPECT_EQ(proc_state(w.d.p->pid()), 'S');
        w.d.p->signal(c.second);
        const run_result r = wait_for_end(*w.d.p);
        EXPECT_FALSE(r.timed_out);
        // None of the 20 messages read was finished: the first worker still
        // waits to open the index, the others wait for it.
        EXPECT_EQ(r.err, std::string(PROG) + ": second signal: 20 messages read and not processed\n");
        EXPECT_EQ(r.status, 1);
    }
}

}  // namespace
}  // namespace quarn::test
