// Shared helpers of the tests: temporary directories, files, hex dumps,
// aligned message buffers and a runner for the real daemon process.
#ifndef QUARN_TESTLIB_H
#define QUARN_TESTLIB_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quarn::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void write_file(const std::string& path, const std::string& text);
std::vector<uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);
bool file_exists(const std::string& path);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);

// "0A 0D 0D 0A ..." (upper case, blank separated) and back; parse ignores
// blanks and newlines.
std::string hex(const uint8_t* p, size_t n);
std::string hex(const std::vector<uint8_t>& v);
std::vector<uint8_t> unhex(const std::string& text);

// Host-order fields of a byte vector; a read beyond the end records a test
// failure and gives 0.
uint32_t u32_at(const std::vector<uint8_t>& b, size_t off);
uint16_t u16_at(const std::vector<uint8_t>& b, size_t off);

// A message copied into an 8-byte aligned buffer, as the reader makes it.
class aligned_msg {
public:
    explicit aligned_msg(const std::vector<uint8_t>& bytes);
    ~aligned_msg();
    aligned_msg(const aligned_msg&) = delete;
    aligned_msg& operator=(const aligned_msg&) = delete;
    uint8_t* data() { return p_; }
    size_t size() const { return n_; }

private:
    uint8_t* p_;
    size_t n_;
};

struct run_result {
    int status = -1;       // exit status, or 128 + signal
    bool timed_out = false;
    std::string out;       // standard output
    std::string err;       // standard error
};

struct run_options {
    std::vector<std::string> args;                 // without argv[0]
    std::map<std::string, std::string> env;        // added to the environment
    std::vector<std::string> unset_env;            // removed from the environment
    std::string argv0;                             // default: the program path
    int timeout_ms = 60000;
    std::string cwd;                               // working directory; default: the test's
    int err_fd = -1;                               // stderr instead of the capture file
};

// Runs a program to its end, capturing stdout and stderr.
run_result run(const std::string& program, const run_options& opts);

// A running daemon whose stderr goes to a file; for signal tests.
class process {
public:
    process(const std::string& program, const run_options& opts);
    ~process();  // kills the process if it still runs
    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Waits for the end; returns the run_result (timed_out when it did not end).
    run_result wait(int timeout_ms = 60000);
    // Stderr so far.
    std::string err_so_far() const;

private:
    pid_t pid_ = -1;
    std::string err_path_;
    std::string out_path_;
    bool reaped_ = false;
    run_result result_;
};

// Polls `cond` every few milliseconds until it holds or timeout_ms passes.
template <typename F>
bool wait_until(F cond, int timeout_ms = 10000);

// The daemon's and the synthesizer's paths in the build tree.
const char* daemon_path();
const char* synth_path();

// True when the tool is on PATH.
bool have_program(const std::string& name);

// The state line ("State:\tS (sleeping)") letter of a process, or 0.
char proc_state(pid_t pid);
// Whether the process's main thread is in a read system call (read, or
// the daemon's wait for input, ppoll); used to wait until the daemon waits
// for input.
bool proc_blocked_in_read(pid_t pid);

}  // namespace quarn::test

#include <chrono>
#include <thread>

template <typename F>
bool quarn::test::wait_until(F cond, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

#endif
