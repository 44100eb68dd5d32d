// Captures what the process writes to fd 2 (warn and log lines go out with
// write(2), so stdio redirection would miss them).
#ifndef QUARN_STDERR_CAPTURE_H
#define QUARN_STDERR_CAPTURE_H

#include <functional>
#include <string>
#include <thread>

namespace quarn::test {

// Redirects fd 2 into a pipe while it lives. A thread drains the pipe and
// passes everything on to the real stderr as well, so a sanitizer report
// that aborts the test during the capture is not lost.
class stderr_capture {
public:
    stderr_capture();
    ~stderr_capture();
    stderr_capture(const stderr_capture&) = delete;
    stderr_capture& operator=(const stderr_capture&) = delete;
    // Everything written to fd 2 since the capture began; the capture goes on.
    std::string text();

private:
    void start();
    void stop();
    int saved_ = -1;    // the real stderr
    int read_end_ = -1;
    std::thread drain_;
    std::string text_;  // written by the drain thread until it is joined
};

// Runs fn under a stderr_capture and returns what was written to fd 2.
std::string capture_stderr(const std::function<void()>& fn);

}  // namespace quarn::test

#endif
