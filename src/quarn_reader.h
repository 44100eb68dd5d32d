// The reader (main thread) and the workers: framing of log messages, the
// per-worker queues, flow control and the worker loop.
//
// The queues are private to quarn_reader.cpp; the calls below are the only
// way in. Queue calls may come from any thread; the reader calls are for
// the main thread (or, in tests, one thread standing in for it).
#ifndef QUARN_READER_H
#define QUARN_READER_H

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "quarn_process.h"

namespace quarn {

inline constexpr int32_t QUEUE_PAUSE_AT = 1000;   // pause when the add finds this
inline constexpr int32_t QUEUE_RESUME_BELOW = 900;
inline constexpr int QUEUE_RETEST_SECS = 2;
inline constexpr int WORKER_EXPIRE_EVERY = 100;   // messages between expiries
inline constexpr int WORKER_IDLE_SECS = 30;
// The longest message the reader accepts (256 MiB): a longer tlh_length is
// refused before anything is allocated for it.
inline constexpr uint64_t MESSAGE_LENGTH_MAX = uint64_t{1} << 28;

// ---- The per-worker queues ----

// A message on its way to a worker: the whole message in a buffer from
// alloc_message, and the output directory.
struct queued_message {
    uint8_t* msg = nullptr;
    int dir_fd = -1;
};

// Empties every queue, freeing the messages left in it, and sets the count
// to 0. Only while no worker runs (start-up and tests).
void queues_reset();

// Appends `m` to the queue of `worker` (0 to NUM_THREADS - 1), wakes that
// worker and counts the message; the queue owns the buffer from now on.
// Returns 1 when the count was QUEUE_PAUSE_AT before this message (the
// reader must pause), 0 otherwise, -1 when no memory was left for the entry
// (the buffer stays with the caller, nothing is counted).
int queue_append(int worker, queued_message m);

// Takes the oldest message of `worker` into *out; the caller owns its
// buffer and calls queue_done once it has finished and freed it. With an
// empty queue, waits until `deadline` (wall clock); a null deadline does not
// wait. 1 with a message; 0 when the queue stayed empty; -1 once
// workers_stop is set (tested before every take and after every wait).
int queue_pop(int worker, const timespec* deadline, queued_message* out);

// One message taken by queue_pop is finished: uncounts it, and wakes the
// reader when it waits for the count to fall below QUEUE_RESUME_BELOW or
// to reach 0.
void queue_done();

// Messages appended and not yet finished.
int32_t queued_messages();

// The reader's flow-control pause: waits until fewer than
// QUEUE_RESUME_BELOW messages are counted or quit_flag is set, testing
// again at least every QUEUE_RETEST_SECS.
void queue_pause_reader();

// True while the reader sits in its pause (for tests and statistics).
bool reader_is_paused();

// Waits until every counted message is finished, or until a second quit
// signal. Returns the count left: 0 unless the second signal cut it short.
int32_t queues_drain();

// ---- The reader and the workers ----

// The worker a message goes to: the sum of its two port fields, each read
// with the lower byte as the low-order byte, modulo NUM_THREADS.
int choose_worker(const uint8_t* hdr);

// Starts the workers on empty queues, with every signal blocked in them,
// and makes wake_all the ending's wake hook. Ends the process (status 1)
// when a worker cannot be started.
void start_workers();

// Wakes every worker and the paused reader; from another thread also sends
// SIGUSR2 to the main thread.
void wake_all();

// How the reader ends: the status and the report to give once the queues
// are drained.
struct reader_ending {
    int status = 0;
    int err = 0;            // non-zero: err-style line with this errno
    char text[256] = "";    // the report ("" for none)
};

// The -r filter: only messages whose reason starts with `reason`, compared
// without regard to case, are queued; null lets every message through. The
// text must outlive the reader. Set before the reader starts.
void reader_set_reason_filter(const char* reason);

// Reads and queues one message. 1 to go on; 0 with `end` filled when the
// reader must end (the caller then drains and ends the process).
int reader_next(int in_fd, int dir_fd, reader_ending* end);

// The reader loop. Every ending goes through the drain: the workers finish
// the messages already read, then the process ends with the ending's
// report and status. A second quit signal during the drain ends it at once
// with status 1 and a line giving the count of messages not processed.
[[noreturn]] void do_loop(int in_fd, int dir_fd);

// Allocation of a message buffer of `len` bytes, rounded up to 8, aligned
// to 8; null on failure or overflow.
uint8_t* alloc_message(uint64_t len);
void free_message(uint8_t* msg);

// Where messages come from and where they go: the allocator of each
// message's buffer (alloc_message) and the handler a worker gives each
// message to (do_bbr_record). Tests replace them before start_workers and
// reader_next.
struct message_ops {
    void (*handler)(int dir_fd, uint8_t* msg);
    uint8_t* (*alloc)(uint64_t len);
};
extern message_ops reader_message_ops;

}  // namespace quarn

#endif
