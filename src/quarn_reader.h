// The reader (main thread) and the workers: framing of log messages, the
// per-worker queues, flow control and the worker loop.
#ifndef QUARN_READER_H
#define QUARN_READER_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "quarn_dumper.h"

namespace quarn {

inline constexpr int32_t QUEUE_PAUSE_AT = 1000;   // pause when the add finds this
inline constexpr int32_t QUEUE_RESUME_BELOW = 900;
inline constexpr int QUEUE_RETEST_SECS = 2;
inline constexpr int WORKER_EXPIRE_EVERY = 100;   // messages between expiries
inline constexpr int WORKER_IDLE_SECS = 30;

struct queue_entry {
    queue_entry* next = nullptr;
    uint8_t* msg = nullptr;  // owned by the entry
    int dir_fd = -1;
};

struct work_queue {
    queue_entry* first = nullptr;
    queue_entry** last = &first;
};

extern pthread_mutex_t worker_mutex[NUM_THREADS];
extern pthread_cond_t worker_cond[NUM_THREADS];
extern work_queue work_queues[NUM_THREADS];  // guarded by worker_mutex[i]
extern pthread_t worker_threads[NUM_THREADS];
extern int threads_started;                  // written by the main thread only
extern pthread_t main_thread;
extern std::atomic<int32_t> queued_count;
extern pthread_mutex_t queue_wait_mutex;
extern pthread_cond_t queue_wait_cond;

// The worker a message goes to: the sum of its two port fields, each read
// with the lower byte as the low-order byte, modulo NUM_THREADS.
int choose_worker(const uint8_t* hdr);

// The message handler the workers call (do_bbr_record unless a test sets
// another).
using message_handler_fn = void (*)(int dir_fd, uint8_t* msg);
extern message_handler_fn worker_handler;

// Sets up the flow-control and queue structures and starts the workers.
// Returns 0, or ends the process on failure.
void start_workers();
void* bbr_worker_thread(void* arg);

// Wakes every worker and the paused reader; from another thread also sends
// SIGUSR2 to the main thread.
void wake_all();

// Set while the reader sits in its flow-control pause (for tests and
// statistics).
extern std::atomic<bool> reader_paused;

// How the reader ends: the status and the report to give once the queues
// are drained.
struct reader_ending {
    int status = 0;
    int err = 0;            // non-zero: err-style line with this errno
    char text[256] = "";    // the report ("" for none)
};

// Reads and dispatches one message. 1 to go on; 0 with `end` filled when the
// reader must end (the caller then drains and ends the process).
int reader_next(int in_fd, int dir_fd, reader_ending* end);

// The reader loop; ends the process itself (after letting the workers
// finish what is queued) or returns when quit_flag is set with nothing to
// finish.
void do_loop(int in_fd, int dir_fd);

// Allocation of a message buffer of `len` bytes, rounded up to 8, aligned
// to 8; null on failure or overflow.
uint8_t* alloc_message(uint64_t len);
void free_message(uint8_t* msg);

}  // namespace quarn

#endif
