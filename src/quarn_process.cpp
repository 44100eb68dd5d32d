// The process-wide flags and the ending.
#include "quarn_process.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "quarn_report.h"

namespace quarn {

std::atomic<bool> quit_flag{false};
std::atomic<bool> workers_stop{false};
std::atomic<int> quit_signals{0};
std::atomic<int> exit_status{0};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "flags are stored from signal handlers");

namespace {

// The first ending of the process claims this; any later one waits for it.
std::atomic<bool> ending{false};

// Written before the workers start, read by the one ending.
void (*ending_wake)() = nullptr;
void (*ending_finish)() = nullptr;

// Blocks the calling thread for good: another thread is ending the process.
[[noreturn]] void wait_for_ending() {
    for (;;) pause();
}

// Records the status and raises the flags; false when another thread
// already ends the process.
bool claim_ending(int status) {
    bool expected = false;
    if (!ending.compare_exchange_strong(expected, true)) return false;
    exit_status.store(status);
    quit_flag.store(true);
    workers_stop.store(true);
    return true;
}

void wake() {
    if (ending_wake) ending_wake();
}

void finish() {
    if (ending_finish) ending_finish();
}

}  // namespace

void set_ending_wake(void (*w)()) { ending_wake = w; }
void set_ending_finish(void (*f)()) { ending_finish = f; }

void do_exit(int status) {
    if (!claim_ending(status)) wait_for_ending();
    wake();
    finish();
    _exit(status);
}

void do_err(int status, const char* fmt, ...) {
    const int saved = errno;
    const bool first = claim_ending(status);
    if (first) wake();
    va_list ap;
    va_start(ap, fmt);
    vwarn_line(saved, fmt, ap);
    va_end(ap);
    if (!first) wait_for_ending();
    finish();
    _exit(status);
}

}  // namespace quarn
