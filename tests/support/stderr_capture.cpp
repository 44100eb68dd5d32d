#include "stderr_capture.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace quarn::test {

stderr_capture::stderr_capture() : saved_(dup(STDERR_FILENO)) {
    if (saved_ < 0) throw std::runtime_error("dup of stderr failed");
    start();
}

stderr_capture::~stderr_capture() {
    stop();
    close(saved_);
}

std::string stderr_capture::text() {
    // Ending the drain is the one way to know it has read everything
    // written so far; a new pipe takes over at once.
    stop();
    start();
    return text_;
}

void stderr_capture::start() {
    fflush(stderr);
    int p[2];
    if (pipe(p) != 0) throw std::runtime_error("pipe failed");
    read_end_ = p[0];
    drain_ = std::thread([this, in = p[0]] {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(in, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text_.append(buf, static_cast<size_t>(n));
            (void)!write(saved_, buf, static_cast<size_t>(n));
        }
    });
    dup2(p[1], STDERR_FILENO);
    close(p[1]);
}

void stderr_capture::stop() {
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);  // closes the last write end: the drain ends
    drain_.join();
    close(read_end_);
    read_end_ = -1;
}

std::string capture_stderr(const std::function<void()>& fn) {
    stderr_capture capture;
    fn();
    return capture.text();
}

}  // namespace quarn::test
