#include "testlib.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "quarn_logfmt.h"

extern char** environ;

namespace quarn::test {

temp_dir::temp_dir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quarn_test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

temp_dir::~temp_dir() {
    std::error_code ec;
    // Dump files are created read-only; make everything removable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        chmod(it->path().c_str(), 0700);
    }
    chmod(path_.c_str(), 0700);
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const std::string& text) {
    write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string read_text(const std::string& path) {
    std::vector<uint8_t> b = read_file(path);
    return std::string(b.begin(), b.end());
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02X", p[i]);
        if (i) s += ' ';
        s += b;
    }
    return s;
}

std::string hex(const std::vector<uint8_t>& v) { return hex(v.data(), v.size()); }

std::vector<uint8_t> unhex(const std::string& text) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi * 16 + v));
            hi = -1;
        }
    }
    return out;
}

uint32_t u32_at(const std::vector<uint8_t>& b, size_t off) {
    if (off > b.size() || b.size() - off < 4) {
        ADD_FAILURE() << "read of 4 bytes at " << off << " beyond " << b.size();
        return 0;
    }
    return load<uint32_t>(b.data() + off);
}

uint16_t u16_at(const std::vector<uint8_t>& b, size_t off) {
    if (off > b.size() || b.size() - off < 2) {
        ADD_FAILURE() << "read of 2 bytes at " << off << " beyond " << b.size();
        return 0;
    }
    return load<uint16_t>(b.data() + off);
}

aligned_msg::aligned_msg(const std::vector<uint8_t>& bytes) : n_(bytes.size()) {
    size_t cap = (bytes.size() + 7) / 8 * 8;
    if (cap == 0) cap = 8;
    p_ = static_cast<uint8_t*>(aligned_alloc(8, cap));
    if (!p_) throw std::bad_alloc();
    memset(p_, 0, cap);
    if (!bytes.empty()) memcpy(p_, bytes.data(), bytes.size());
}

aligned_msg::~aligned_msg() { free(p_); }

namespace {

std::vector<std::string> make_env(const run_options& opts) {
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        std::string kv(*e);
        std::string key = kv.substr(0, kv.find('='));
        if (opts.env.count(key)) continue;
        if (std::find(opts.unset_env.begin(), opts.unset_env.end(), key) != opts.unset_env.end()) continue;
        env.push_back(kv);
    }
    for (const auto& [k, v] : opts.env) env.push_back(k + "=" + v);
    return env;
}

pid_t spawn(const std::string& program, const run_options& opts, int out_fd, int err_fd) {
    std::vector<std::string> env = make_env(opts);
    std::vector<std::string> args;
    args.push_back(opts.argv0.empty() ? program : opts.argv0);
    args.insert(args.end(), opts.args.begin(), opts.args.end());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out_fd, 1);
        dup2(opts.err_fd >= 0 ? opts.err_fd : err_fd, 2);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
        // Give the child default signal dispositions and an empty mask.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

// Waits for pid with a deadline; kills it when the deadline passes.
int wait_with_timeout(pid_t pid, int timeout_ms, bool* timed_out) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return decode_status(st);
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= end) {
            *timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return decode_status(st);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string temp_capture_path(const char* what) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quarn_" + what + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return buf.data();
}

}  // namespace

run_result run(const std::string& program, const run_options& opts) {
    process p(program, opts);
    return p.wait(opts.timeout_ms);
}

process::process(const std::string& program, const run_options& opts) {
    out_path_ = temp_capture_path("out");
    err_path_ = temp_capture_path("err");
    int out_fd = open(out_path_.c_str(), O_WRONLY | O_TRUNC);
    int err_fd = open(err_path_.c_str(), O_WRONLY | O_TRUNC);
    pid_ = spawn(program, opts, out_fd, err_fd);
    close(out_fd);
    close(err_fd);
}

process::~process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        int st;
        waitpid(pid_, &st, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

void process::signal(int sig) { kill(pid_, sig); }

run_result process::wait(int timeout_ms) {
    if (!reaped_) {
        result_.status = wait_with_timeout(pid_, timeout_ms, &result_.timed_out);
        reaped_ = true;
        result_.out = read_text(out_path_);
        result_.err = read_text(err_path_);
    }
    return result_;
}

std::string process::err_so_far() const { return read_text(err_path_); }

const char* daemon_path() { return QUARN_DAEMON_PATH; }
const char* synth_path() { return QUARN_SYNTH_PATH; }

bool have_program(const std::string& name) {
    std::string cmd = "command -v " + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

char proc_state(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    std::getline(f, s);
    size_t p = s.rfind(')');
    if (p == std::string::npos || p + 2 >= s.size()) return 0;
    return s[p + 2];
}

bool proc_blocked_in_read(pid_t pid) {
    // The main thread's current system call, by number: the daemon's reader
    // waits for input in ppoll, other readers in read.
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    std::string first;
    f >> first;
    return first == std::to_string(SYS_read) || first == std::to_string(SYS_ppoll);
}

}  // namespace quarn::test
