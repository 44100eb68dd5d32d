// Process-wide state of the daemon and the routines through which it ends.
//
// Everything here exists once per process. `main` (quarn_main) sets the
// configuration before the first worker starts; after that the flags are
// the only state written by more than one thread, and they are lock-free
// atomics that signal handlers may store into.
#ifndef QUARN_DUMPER_H
#define QUARN_DUMPER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quarn {

inline constexpr int NUM_THREADS = 8;

// Set by SIGINT, SIGTERM, do_exit and do_err; never cleared. The reader
// tests it between reads and messages.
extern std::atomic<bool> quit_flag;
// Set by do_exit and do_err only: workers stop before their next message.
// (A signal alone does not stop them: the reader first lets them finish the
// messages already queued.)
extern std::atomic<bool> workers_stop;
// Number of SIGINT/SIGTERM received; a second one during the drain ends the
// process at once, with status 1.
extern std::atomic<int> quit_signals;
// Set by SIGHUP; tested and cleared by the records index under its mutex.
extern std::atomic<bool> reopen_flag;
// Status given to the first ending (do_exit or do_err).
extern std::atomic<int> exit_status;

// Configuration taken from the command line; written by main before the
// workers start, read-only afterwards.
extern bool compress_xz;    // -J
extern bool compress_zstd;  // -Z (never together with -J)
extern const char* reason_filter;  // null when -r is absent
extern int reason_filter_len;

// Ends the process with `status`: records it, sets quit_flag and
// workers_stop, wakes every thread and calls _exit. Only the first ending
// of the process counts; a thread that calls it later waits for that ending.
[[noreturn]] void do_exit(int status);
// As do_exit, after one line "prog: message: strerror(errno)" on stderr.
[[noreturn]] void do_err(int status, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// The daemon's entry point: start-up, then the reader. Returns the exit
// status when main should return it.
int quarn_main(int argc, char** argv);

}  // namespace quarn

#endif
