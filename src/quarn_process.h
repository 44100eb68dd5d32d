// The ground floor of the daemon: the process-wide flags, the worker count
// and the one way the process ends.
//
// Everything here exists once per process and depends on no other unit of
// the daemon, so any unit may include it. The flags are the only state here
// written by more than one thread; they are lock-free atomics that signal
// handlers may store into.
#ifndef QUARN_PROCESS_H
#define QUARN_PROCESS_H

#include <atomic>

namespace quarn {

// The workers: one queue, one id cache and one thread each.
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
// Status given to the first ending (do_exit or do_err).
extern std::atomic<int> exit_status;

// What an ending does besides raising the flags, in this order: `wake`
// wakes every thread that may wait (the workers, the paused reader), then
// `finish` does what must happen once before the process goes (the PID
// file). Either may be null. Set by the units that own those threads and
// files before the workers start; read by the one ending.
void set_ending_wake(void (*wake)());
void set_ending_finish(void (*finish)());

// Ends the process with `status`: records it, sets quit_flag and
// workers_stop, calls the wake hook, the finish hook and _exit. Only the
// first ending of the process counts; a thread that calls it later waits
// for that ending.
[[noreturn]] void do_exit(int status);
// As do_exit, after one line "prog: message: strerror(errno)" on stderr.
[[noreturn]] void do_err(int status, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace quarn

#endif
