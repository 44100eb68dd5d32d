// Reports of dumps whose files could not be created or written, one streak
// at a time.
#include "quarn_dumploss.h"

#include <atomic>
#include <cstring>

#include "quarn_lock.h"
#include "quarn_report.h"

namespace quarn {

namespace {

mutex losses_mutex;

// A streak begins with the first dump lost and ends with the next dump
// written whole.
struct loss_streak {
    unsigned long long lost = 0;  // dumps lost so far; 0 while no streak is open
    const char* what = nullptr;   // the latest failure, for the end report
    int err = 0;
};
loss_streak streak QUARN_GUARDED_BY(losses_mutex);

// Set while a streak is open; changed only under losses_mutex, read without
// it by dump_written. A dump written while another worker opens a streak may
// miss it: the next dump written ends it.
std::atomic<bool> streak_open{false};

const char* error_text(const loss_streak& s) { return s.err != 0 ? strerror(s.err) : s.what; }

}  // namespace

void dump_lost(const char* filename, const char* what, int err) {
    mutex_guard g(losses_mutex);
    if (streak.lost == 0) {
        // The failure's own line, as its writer would have given it.
        report_error(what, err);
        write_stderr("%s: First dump lost: %s\n", progname(), filename);
        streak_open.store(true);
    }
    streak.lost++;
    streak.what = what;
    streak.err = err;
}

void dump_written() {
    if (!streak_open.load()) return;
    mutex_guard g(losses_mutex);
    if (streak.lost == 0) return;
    write_stderr("%s: Dumps written again: %llu dumps lost\n", progname(), streak.lost);
    streak = loss_streak{};
    streak_open.store(false);
}

void dump_losses_at_exit() {
    if (!losses_mutex.try_lock()) return;
    mutex_guard g(losses_mutex, mutex_guard::adopt);
    if (streak.lost == 0) return;
    write_stderr("%s: %llu dumps not written: %s\n", progname(), streak.lost, error_text(streak));
    streak = loss_streak{};
    streak_open.store(false);
}

void dump_losses_reset() {
    mutex_guard g(losses_mutex);
    streak = loss_streak{};
    streak_open.store(false);
}

}  // namespace quarn
