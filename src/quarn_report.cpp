// Reporting on standard error and the consistency-check failure path.
#include "quarn_report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>


namespace quarn {

namespace {

const char* g_progname = "quarn_dumper";

constexpr size_t LINE_MAX_BYTES = 4096;

void write_all(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Appends to buf at *len (bounded by LINE_MAX_BYTES - 1).
void append_v(char* buf, size_t* len, const char* fmt, va_list ap) {
    if (*len >= LINE_MAX_BYTES - 1) return;
    int n = vsnprintf(buf + *len, LINE_MAX_BYTES - *len, fmt, ap);
    if (n < 0) return;
    *len += static_cast<size_t>(n);
    if (*len > LINE_MAX_BYTES - 1) *len = LINE_MAX_BYTES - 1;
}

void append(char* buf, size_t* len, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void append(char* buf, size_t* len, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    append_v(buf, len, fmt, ap);
    va_end(ap);
}

}  // namespace

void set_progname(const char* name) {
    if (name && *name) {
        const char* slash = strrchr(name, '/');
        g_progname = slash ? slash + 1 : name;
    }
}

const char* progname() { return g_progname; }

void vwarn_line(int saved_errno, const char* fmt, va_list ap) {
    char buf[LINE_MAX_BYTES];
    size_t len = 0;
    append(buf, &len, "%s: ", g_progname);
    append_v(buf, &len, fmt, ap);
    append(buf, &len, ": %s", strerror(saved_errno));
    // Keep room for the newline even when the text was cut.
    if (len > LINE_MAX_BYTES - 2) len = LINE_MAX_BYTES - 2;
    buf[len++] = '\n';
    write_all(buf, len);
}

void warn_errno(const char* fmt, ...) {
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    vwarn_line(saved, fmt, ap);
    va_end(ap);
    errno = saved;
}

void report_error(const char* what, int err) {
    const int saved = errno;
    if (err != 0) {
        errno = err;
        warn_errno("%s", what);
    } else {
        write_stderr("%s\n", what);
    }
    errno = saved;
}

void write_stderr(const char* fmt, ...) {
    char buf[LINE_MAX_BYTES];
    size_t len = 0;
    va_list ap;
    va_start(ap, fmt);
    append_v(buf, &len, fmt, ap);
    va_end(ap);
    // A text cut at the bound still ends its line.
    if (len == LINE_MAX_BYTES - 1) buf[len - 1] = '\n';
    write_all(buf, len);
}

void printable_copy(const char* in, size_t n, char* out) {
    for (size_t i = 0; i < n; i++) {
        const auto c = static_cast<unsigned char>(in[i]);
        out[i] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '?';
    }
    out[n] = '\0';
}

void assert_fail(const char* expr, const char* func, const char* file, int line) {
    const char* slash = strrchr(file, '/');
    const char* unit = slash ? slash + 1 : file;
    char buf[LINE_MAX_BYTES];
    size_t len = 0;
    append(buf, &len, "Assertion failed: (%s), function %s, file %s, line %d.\n", expr, func, unit,
           line);
    write_all(buf, len);
    abort();
}

}  // namespace quarn
