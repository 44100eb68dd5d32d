// Captures what the process writes to fd 2 (warn and log lines go out with
// write(2), so stdio redirection would miss them).
#ifndef QUARN_STDERR_CAPTURE_H
#define QUARN_STDERR_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <string>

namespace quarn::test {

// Redirects fd 2 into a temporary file while it lives.
class stderr_capture {
public:
    stderr_capture() : file_(tmpfile()), saved_(dup(STDERR_FILENO)) {
        fflush(stderr);
        dup2(fileno(file_), STDERR_FILENO);
    }
    stderr_capture(const stderr_capture&) = delete;
    stderr_capture& operator=(const stderr_capture&) = delete;
    ~stderr_capture() {
        restore();
        fclose(file_);
    }
    std::string text() {
        restore();
        std::string s;
        rewind(file_);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
        return s;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    FILE* file_;
    int saved_;
};

}  // namespace quarn::test

#endif
