// Helpers for the tests that run the daemon as a process: a private setup
// (input, output directory, user), stream builders for malformed messages,
// a FIFO the test writes into, and waits on the daemon's state.
#ifndef QUARN_DAEMON_HARNESS_H
#define QUARN_DAEMON_HARNESS_H

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "testlib.h"

namespace quarn::test {

// The name the daemon is started under, so that texts with the program
// name are exact.
inline constexpr const char* PROG = "quarn_dumper";

// The user running the tests; the daemon can always take its ids.
inline std::string current_user() {
    const passwd* pw = getpwuid(geteuid());
    if (!pw) throw std::runtime_error("the test user has no password entry");
    return pw->pw_name;
}

inline void append(std::vector<uint8_t>& stream, const std::vector<uint8_t>& bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
}

using build::common_header;

// A message of one record whose address family no worker accepts: the
// worker reports "Skipping black box record with unknown address family
// <af>" and writes nothing, which proves that the message reached it.
inline std::vector<uint8_t> unknown_af_message(uint8_t af, uint16_t fport = 50000,
                                               uint16_t lport = 443) {
    build::header_fields h;
    h.af = af;
    h.fport = fport;
    h.lport = lport;
    return build::message(h, {build::record_fields{}});
}

inline std::string unknown_af_line(unsigned af) {
    return "Skipping black box record with unknown address family " + std::to_string(af) + "\n";
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline size_t count_line(const std::string& text, const std::string& line) {
    const std::vector<std::string> lines = split_lines(text);
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

inline std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines = split_lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A private daemon setup: an input file path, an output directory and the
// user to run as. The daemon gets every path as an option.
struct daemon_setup {
    temp_dir tmp;
    std::string out = tmp / "out";
    std::string input = tmp / "input";
    std::string user = current_user();
    // Value of QUARN_SYSCTL_DIR for the daemon; unset when empty.
    std::string sysctl_dir;

    daemon_setup() {
        if (mkdir(out.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + out);
    }

    // Answers the kernel's sysctls from files in a private directory: the
    // log version from `version` (no file when null), the stack registry
    // from net.inet.tcp.function_info there (no file until a test writes it).
    void emulate_kernel(const char* version) {
        sysctl_dir = tmp / "sysctl";
        if (mkdir(sysctl_dir.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + sysctl_dir);
        if (version) write_file(sysctl_dir + "/net.inet.tcp.bb.log_version", std::string(version));
    }

    // The options of a run: the -u/-D/-f triple first, then `extra`.
    run_options options(const std::vector<std::string>& extra = {}) const {
        run_options o;
        o.argv0 = PROG;
        o.args = {"-u", user, "-D", out, "-f", input};
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        if (sysctl_dir.empty()) o.unset_env.push_back("QUARN_SYSCTL_DIR");
        else o.env["QUARN_SYSCTL_DIR"] = sysctl_dir;
        o.timeout_ms = 120000;
        return o;
    }

    run_result run_stream(const std::vector<uint8_t>& stream,
                          const std::vector<std::string>& extra = {}) const {
        write_file(input, stream);
        return run(daemon_path(), options(extra));
    }

    // Has quarn_synth write a stream with `synth_args` as the input, its
    // stack registry as the emulated kernel's and the values it put in at
    // `values`; then runs the daemon over the stream. Both must succeed.
    void run_synthesized(const std::vector<std::string>& synth_args, const std::string& values) {
        sysctl_dir = tmp / "sysctl";
        run_options so;
        so.args = synth_args;
        so.args.insert(so.args.end(), {"--values", values, "-o", input, "-k", sysctl_dir});
        const run_result synth = run(synth_path(), so);
        ASSERT_EQ(synth.status, 0) << synth.err;
        const run_result daemon = run(daemon_path(), options());
        ASSERT_EQ(daemon.status, 0) << daemon.err;
    }
};

// A FIFO as the daemon's input. The test holds it open for reading and
// writing, so the daemon's open never blocks and the daemon sees the end of
// input only when the test closes it. Writes are non-blocking with a
// deadline, so a daemon that stopped reading fails the test instead of
// hanging it.
class fifo_input {
public:
    explicit fifo_input(const std::string& path) : path_(path) {
        if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
        fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("open " + path);
    }
    ~fifo_input() { close_input(); }
    fifo_input(const fifo_input&) = delete;
    fifo_input& operator=(const fifo_input&) = delete;

    // True when all bytes went in before the deadline.
    bool write_all(const std::vector<uint8_t>& bytes, int timeout_ms = 60000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(left.count()));
        }
        return true;
    }

    // Bytes written and not yet read by the daemon.
    int unread() const {
        int n = -1;
        ioctl(fd_, FIONREAD, &n);
        return n;
    }

    // The daemon sees the end of input once it has read what is left.
    void close_input() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    std::string path_;
    int fd_ = -1;
};

inline int thread_count(pid_t pid) {
    return static_cast<int>(list_dir("/proc/" + std::to_string(pid) + "/task").size());
}

// The daemon has started its eight workers and its main thread sleeps in a
// read: it is waiting for input in the reader loop.
inline bool waiting_for_input(pid_t pid) {
    return thread_count(pid) >= 9 && proc_state(pid) == 'S' && proc_blocked_in_read(pid);
}

// Every thread but the main one (the workers, and a sanitizer's own thread)
// has blocked the signals that end or wake the daemon (SIGHUP, SIGINT,
// SIGUSR2, SIGTERM) and sleeps, so a signal sent to the process now
// reaches the reader. A mask alone proves nothing: a new thread starts with
// every signal blocked until the thread library restores the creator's mask.
inline bool workers_block_signals(pid_t pid);

// A line of /proc/PID/status after its key and colon, e.g. "\t65534\t65534...".
inline std::string proc_status_field(pid_t pid, const std::string& key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    }
    return "";
}

// The whitespace-separated numbers of a status field.
inline std::vector<long> status_numbers(pid_t pid, const std::string& key) {
    std::istringstream in(proc_status_field(pid, key));
    std::vector<long> v;
    for (long n; in >> n;) v.push_back(n);
    return v;
}

inline bool workers_block_signals(pid_t pid) {
    const uint64_t needed = (uint64_t{1} << (SIGHUP - 1)) | (uint64_t{1} << (SIGINT - 1)) |
                            (uint64_t{1} << (SIGUSR2 - 1)) | (uint64_t{1} << (SIGTERM - 1));
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    int workers = 0;
    for (const std::string& tid : list_dir(dir)) {
        if (tid == std::to_string(pid)) continue;
        std::ifstream st(dir + "/" + tid + "/status");
        uint64_t blocked = 0;
        for (std::string line; std::getline(st, line);) {
            if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
        }
        if ((blocked & needed) != needed) return false;
        std::ifstream sc(dir + "/" + tid + "/syscall");
        long call = -1;
        sc >> call;
        // Workers wait for work, a lock or the index file; a sanitizer's
        // own thread (which blocks every signal) sleeps.
        const bool sleeps = call == SYS_futex || call == SYS_openat || call == SYS_nanosleep ||
                            call == SYS_clock_nanosleep;
        if (!sc || !sleeps) return false;
        workers++;
    }
    return workers >= 8;
}

// The daemon waits for input, and a signal sent to it reaches the reader.
inline bool ready_for_signals(pid_t pid) {
    return waiting_for_input(pid) && workers_block_signals(pid);
}

// Each thread of a process: its state, current system call and signal
// masks; printed when a daemon does not end as expected.
inline std::string describe_threads(pid_t pid) {
    std::string out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const std::string& tid : list_dir(dir)) {
        std::ifstream sc(dir + "/" + tid + "/syscall");
        std::string call;
        std::getline(sc, call);
        out += tid + ": syscall " + call.substr(0, call.find(' '));
        std::ifstream st(dir + "/" + tid + "/status");
        for (std::string line; std::getline(st, line);) {
            if (line.rfind("State:", 0) == 0 || line.rfind("SigPnd:", 0) == 0 ||
                line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigBlk:", 0) == 0) {
                out += " " + line;
            }
        }
        out += "\n";
    }
    return out;
}

// Waits for the daemon's end; when it does not come, the failure shows
// where its threads stand.
inline run_result wait_for_end(process& p, int timeout_ms = 60000) {
    const bool ended = wait_until([&] {
        const char st = proc_state(p.pid());
        return st == 'Z' || st == 0;
    }, timeout_ms);
    EXPECT_TRUE(ended) << "the daemon still runs:\n" << describe_threads(p.pid());
    return p.wait(1000);
}

}  // namespace quarn::test

#endif
