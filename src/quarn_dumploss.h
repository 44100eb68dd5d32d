// Reports of dumps lost because their files could not be created or
// written: a full disk, an output directory that became unwritable or
// went away.
//
// Such losses come in streaks, and a streak is reported, not each loss:
// its first loss prints the failure's own line once ("Error writing to
// file: ...", "Unable to open file to write black box record: ...") and
// "prog: First dump lost: <file name>"; the losses after it only count. The
// next dump written whole ends the streak with "prog: Dumps written again:
// N dumps lost"; a streak still open when the daemon ends is reported with
// "prog: N dumps not written: <error text>".
//
// Every worker calls in. The streak is guarded by one mutex; the usual
// call, a dump written whole while no streak is open, reads one atomic flag
// and takes no lock.
#ifndef QUARN_DUMPLOSS_H
#define QUARN_DUMPLOSS_H

namespace quarn {

// A dump is lost: its file `filename` could not be created or written. The
// failure's report is `what` (a text of static storage) with the error
// number `err`, or `what` alone when err is 0.
void dump_lost(const char* filename, const char* what, int err);

// A dump's file was written whole: ends the streak that is open.
void dump_written();

// At the daemon's end, after the workers are done: reports the streak that
// is still open. While a worker holds the streak it does nothing rather
// than wait.
void dump_losses_at_exit();

// Forgets the streak without a report (tests).
void dump_losses_reset();

}  // namespace quarn

#endif
