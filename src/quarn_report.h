// Reporting on standard error: the err/warn line family, plain lines, and
// the consistency-check failure path.
//
// Every line goes out as one write, so lines of different threads never
// interleave. Any thread may call these; none takes a lock.
#ifndef QUARN_REPORT_H
#define QUARN_REPORT_H

#include <cstdarg>
#include <cstddef>

namespace quarn {

// One line "prog: message: strerror(errno)\n" on stderr, in a single write;
// the process goes on.
void warn_errno(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The warn line with an explicit error number (used by do_err).
void vwarn_line(int saved_errno, const char* fmt, va_list ap);
// "what" with the error number `err` as the warn line, or, when err is 0,
// as a plain line. errno is left as it was.
void report_error(const char* what, int err);
// The text of printf format `fmt` with its arguments on stderr, in a single
// write; the format gives the line its newline. A text longer than 4095
// bytes is cut there, and the cut text ends with a newline.
void write_stderr(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Copies `n` bytes of text that came from the input stream into `out`
// (room for n + 1 bytes) for a line on stderr: every byte outside 0x20 to
// 0x7E becomes '?', so the text can neither end the line nor drive the
// terminal. `out` is NUL-terminated.
void printable_copy(const char* in, size_t n, char* out);

// Program name used by the err/warn lines (argv[0] by default "quarn_dumper").
void set_progname(const char* name);
const char* progname();

// Prints the failed check and aborts (see QUARN_ASSERT in quarn_assert.h);
// `file` is the source file's path, of which the message gives the name.
[[noreturn]] void assert_fail(const char* expr, const char* func, const char* file, int line);

}  // namespace quarn

#endif
