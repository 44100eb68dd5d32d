// The reader and the workers.
//
// The main thread reads one log message at a time into a buffer of its own
// and appends it to the queue of the worker chosen from the connection's
// ports, so every message of a connection reaches the same worker. A count
// of messages queued or in progress throttles the reader: it pauses when its
// append takes the count from 1000 to 1001 and goes on below 900.
//
// Every ending the reader starts (end of input, SIGINT/SIGTERM, a short or
// failed read, a refused length, no memory for a message) first lets the
// workers finish the messages already queued; a second SIGINT/SIGTERM
// during that drain ends the process at once with status 1.
//
// While the reader reads, the quit signals are blocked except inside its
// wait for input (ppoll): the reader tests quit_flag with them blocked, so a
// signal that comes after the test is delivered inside the wait and ends it
// at once, instead of landing just before a read that then blocks. The wait
// costs a system call, so the reader waits only where a read could block.
// On the kernel's log device (and anything else but the two below) it waits
// before every read. A pipe or socket is read without blocking, and the
// wait comes only once a read has found nothing; while data keep coming, a
// look without waiting every LOOK_EVERY_READS reads lets a quit signal in.
// A read of a regular file never waits for data, so there the quit signals
// stay open while the reader reads and it never waits.
//
// Lock order: no thread holds two of this unit's locks at once. A worker's
// queue lock is held for constant time and never across the message
// handler or the id cache expiry.
#include "quarn_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "quarn_assert.h"
#include "quarn_dump.h"
#include "quarn_dumploss.h"
#include "quarn_idcache.h"
#include "quarn_lock.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"
#include "quarn_report.h"

namespace quarn {

message_ops reader_message_ops = {do_bbr_record, alloc_message};

namespace {

// How often the drain looks for a second quit signal.
constexpr long DRAIN_RETEST_NS = 100 * 1000 * 1000;
// One read asks for at most this much, whatever the message length.
constexpr size_t MAX_READ_CHUNK = size_t{1} << 30;

// One queued message; allocated by queue_append, freed by queue_pop or,
// with the messages still queued, by queues_reset.
struct queue_entry {
    queue_entry* next = nullptr;
    queued_message m;
};

// A worker's FIFO: `last` is the link the next entry goes into (&first
// while the queue is empty).
struct worker_queue {
    mutex lock;
    condvar cond;  // signalled on an append to an empty queue and by wake_all
    queue_entry* first QUARN_GUARDED_BY(lock) = nullptr;
    queue_entry** last QUARN_GUARDED_BY(lock) = &first;
};

// One queue per worker, indexed by choose_worker.
worker_queue queues[NUM_THREADS];
// Messages appended and not yet finished by their worker.
std::atomic<int32_t> queued_count{0};
// The reader waits on this for its pause and its drain.
mutex reader_wait_mutex;
// Signalled when the count falls to QUEUE_RESUME_BELOW - 1 or to 0, and by wake_all.
condvar reader_wait_cond;
// Set while the reader sits in its flow-control pause.
std::atomic<bool> reader_paused{false};
// Workers started so far; written by the main thread only.
int threads_started = 0;
// The reader's thread, target of the SIGUSR2 wake-up; valid once main_thread_set.
pthread_t main_thread;
// Set by start_workers, before any worker exists.
bool main_thread_set = false;

// Turns at XZ compression. XZ workers beyond the number of processors
// would only take turns on them, and each switch brings another encoder's
// tables (some megabytes) into the caches, evicting the last one's: on a
// two-processor machine eight XZ workers spend a fifth more time than one
// encoder on the same bytes. So with -J at most as many workers as there are
// processors handle messages at a time; the others wait for a turn before
// they start one. A worker keeps its turn from one message to the next while
// its queue holds more, for up to TURN_SLICE_NS when others wait, so that
// many small messages do not cost a hand-over each.
//
// Nothing else waits for a turn. zstd's state is small enough to share the
// caches, and limiting its workers made it slower; without compression the
// work is system calls, and fewer workers would also mean fewer files
// created and written at once on storage that makes each of them wait.
constexpr int64_t TURN_SLICE_NS = 2000000;

struct turn_gate {
    mutex m;
    condvar freed;
    int free_turns QUARN_GUARDED_BY(m) = 0;
    std::atomic<int> waiting{0};  // workers waiting for a turn
    bool limited = false;         // set before the workers start, read-only after
};
turn_gate turns;

int64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool queue_is_empty(int worker) {
    worker_queue& q = queues[worker];
    mutex_guard g(q.lock);
    return q.first == nullptr;
}

// A worker's hold on a turn.
struct turn {
    bool held = false;
    int64_t since_ns = 0;

    void take() {
        if (!turns.limited || held) return;
        mutex_guard g(turns.m);
        turns.waiting++;
        while (turns.free_turns == 0) turns.freed.wait(turns.m);
        turns.waiting--;
        turns.free_turns--;
        held = true;
        since_ns = monotonic_ns();
    }
    void give() {
        if (!held) return;
        held = false;
        mutex_guard g(turns.m);
        turns.free_turns++;
        turns.freed.signal();
    }
    // After a message: the turn goes back unless the worker has more in its
    // queue and nobody has waited long enough for it.
    void after_message(int worker) {
        if (!held) return;
        if (queue_is_empty(worker) ||
            (turns.waiting.load() > 0 && monotonic_ns() - since_ns >= TURN_SLICE_NS)) {
            give();
        }
    }
};

void setup_turns() {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    turns.limited = dump_output_compression() == dump_compression::xz && cpus >= 1 && cpus < NUM_THREADS;
    mutex_guard g(turns.m);
    turns.free_turns = turns.limited ? static_cast<int>(cpus) : 0;
}

timespec realtime_in(time_t secs, long nsecs = 0) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += secs;
    ts.tv_nsec += nsecs;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// The reader's signal masks, set by do_loop and used by the main thread
// only. `reading` blocks the quit signals (SIGINT, SIGTERM) and the wake-up
// (SIGUSR2), except on a regular file, where it is `open`; `open` lets them
// through: inside the wait for input, in the flow-control pause and in the
// drain at the end.
struct reader_masks {
    bool set = false;
    sigset_t reading;
    sigset_t open;
};
reader_masks masks;

void block_quit_signals() {
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGTERM);
    sigaddset(&quit, SIGUSR2);
    const int rv = pthread_sigmask(SIG_BLOCK, &quit, &masks.open);
    if (rv != 0) {
        errno = rv;
        do_err(1, "Error blocking signals in the reader");
    }
    pthread_sigmask(SIG_BLOCK, nullptr, &masks.reading);
    sigdelset(&masks.open, SIGINT);
    sigdelset(&masks.open, SIGTERM);
    sigdelset(&masks.open, SIGUSR2);
    masks.set = true;
}

// Lets the quit signals through (open) or blocks them again.
void set_quit_signals(bool open) {
    if (masks.set) pthread_sigmask(SIG_SETMASK, open ? &masks.open : &masks.reading, nullptr);
}

// How reads of the input may block; set by do_loop from the input's type.
enum class input_wait {
    before_read,     // wait before every read (a device, or unknown)
    when_empty,      // the fd is non-blocking: wait after a read finds nothing
    never,           // a regular file: a read never waits for data
};
input_wait input_mode = input_wait::before_read;
// Reads with data between two looks for a quit signal, when_empty only.
constexpr int LOOK_EVERY_READS = 64;
int reads_since_look = 0;

// The reader's way of waiting for `fd`: non-blocking reads on a pipe or a
// socket (when the flag can be set), none on a regular file.
input_wait choose_input_wait(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return input_wait::before_read;
    if (S_ISREG(st.st_mode)) return input_wait::never;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) return input_wait::when_empty;
    }
    return input_wait::before_read;
}

// Waits until `fd` has input (or its end, or an error) to read. With
// quit_flag set it only looks. 1 when a read will not block; 0 after a quit
// signal or with quit_flag set and nothing to read; -1 with errno when the
// wait fails. Outside this wait the quit signals are blocked, so the test
// of quit_flag and the wait cannot miss one.
int wait_for_input(int fd) {
    pollfd p{fd, POLLIN, 0};
    const timespec look{0, 0};
    for (;;) {
        const int rv = ppoll(&p, 1, quit_flag.load() ? &look : nullptr,
                             masks.set ? &masks.open : nullptr);
        if (rv > 0) return 1;
        if (rv == 0) return 0;
        if (errno != EINTR && errno != EAGAIN) return -1;
        if (quit_flag.load()) return 0;
    }
}

// Lets a quit signal that waits blocked be delivered, without waiting.
void look_for_quit_signal() {
    if (!masks.set) return;
    const timespec look{0, 0};
    ppoll(nullptr, 0, &look, &masks.open);
}

void signal_reader() {
    mutex_guard g(reader_wait_mutex);
    reader_wait_cond.signal();
}

void wake_worker(int worker) {
    worker_queue& q = queues[worker];
    mutex_guard g(q.lock);
    q.cond.signal();
}

// Reads until `need` bytes are there, the input ends, a read (or the wait
// before it) fails other than with EINTR/EAGAIN (errno kept in *err), or
// quit_flag is set.
size_t read_some(int fd, uint8_t* buf, size_t need, int* err) {
    size_t got = 0;
    *err = 0;
    // With a non-blocking input the first read goes ahead; after one that
    // found nothing, the next waits.
    bool wait = input_mode == input_wait::before_read;
    while (got < need) {
        if (wait) {
            const int ready = wait_for_input(fd);
            if (ready == 0) break;
            if (ready < 0) {
                *err = errno;
                break;
            }
        }
        size_t ask = need - got;
        if (ask > MAX_READ_CHUNK) ask = MAX_READ_CHUNK;
        ssize_t n = read(fd, buf + got, ask);
        if (n > 0) {
            got += static_cast<size_t>(n);
            wait = input_mode == input_wait::before_read;
            if (input_mode == input_wait::when_empty && ++reads_since_look == LOOK_EVERY_READS) {
                reads_since_look = 0;
                look_for_quit_signal();
            }
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait = input_mode != input_wait::never;
        } else if (errno != EINTR) {
            *err = errno;
            break;
        }
        if (quit_flag.load()) break;
    }
    return got;
}

void set_ending(reader_ending* e, int status, int err, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void set_ending(reader_ending* e, int status, int err, const char* fmt, ...) {
    e->status = status;
    e->err = err;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(e->text, sizeof e->text, fmt, ap);
    va_end(ap);
}

// Gives the ending's report on stderr.
void report_ending(const reader_ending& e) {
    if (e.err != 0) {
        errno = e.err;
        warn_errno("%s", e.text);
    } else if (e.text[0]) {
        write_stderr("%s", e.text);
    }
}

[[noreturn]] void finish_reading(const reader_ending& e) {
    // A second quit signal must reach the drain.
    set_quit_signals(true);
    const int32_t left = queues_drain();
    // The streak of lost dumps still open is reported, and index lines still
    // waiting get their last try, once the workers are done.
    dump_losses_at_exit();
    records_flush_at_exit();
    report_ending(e);
    if (left > 0) {
        write_stderr("%s: second signal: %d messages read and not processed\n", progname(),
                     static_cast<int>(left));
        do_exit(1);
    }
    do_exit(e.status);
}

// The -r filter: null for none. Set before the reader starts.
const char* reason_filter = nullptr;
size_t reason_filter_len = 0;

// Does the message's reason pass the -r filter? Compared without regard to
// case over the filter's length; the reason ends at its NUL or its field.
bool reason_matches(const uint8_t* hdr) {
    if (!reason_filter) return true;
    char reason[TLH_REASON_SIZE];
    const std::string_view r = tlh_reason(hdr);
    memcpy(reason, r.data(), r.size());
    reason[r.size()] = '\0';
    return strncasecmp(reason, reason_filter, reason_filter_len) == 0;
}

}  // namespace

void reader_set_reason_filter(const char* reason) {
    reason_filter = reason;
    reason_filter_len = reason ? strlen(reason) : 0;
}

void queues_reset() {
    for (worker_queue& q : queues) {
        mutex_guard g(q.lock);
        while (queue_entry* e = q.first) {
            q.first = e->next;
            free_message(e->m.msg);
            delete e;
        }
        q.last = &q.first;
    }
    queued_count.store(0);
    reader_paused.store(false);
}

int queue_append(int worker, queued_message m) {
    QUARN_ASSERT(worker >= 0 && worker < NUM_THREADS);
    auto* e = new (std::nothrow) queue_entry;
    if (!e) return -1;
    e->m = m;
    worker_queue& q = queues[worker];
    int32_t before;
    {
        mutex_guard g(q.lock);
        // Counted before the worker can see it, so the count never falls
        // below the messages really queued.
        before = queued_count.fetch_add(1);
        // The worker waits only after finding its queue empty, under this
        // lock: while entries wait it cannot be asleep, and the append
        // that ends the emptiness wakes it.
        const bool was_empty = q.first == nullptr;
        *q.last = e;
        q.last = &e->next;
        if (was_empty) q.cond.signal();
    }
    return before == QUEUE_PAUSE_AT ? 1 : 0;
}

int queue_pop(int worker, const timespec* deadline, queued_message* out) {
    QUARN_ASSERT(worker >= 0 && worker < NUM_THREADS);
    worker_queue& q = queues[worker];
    mutex_guard g(q.lock);
    for (;;) {
        if (workers_stop.load()) return -1;
        if (queue_entry* e = q.first) {
            q.first = e->next;
            if (!q.first) q.last = &q.first;
            *out = e->m;
            delete e;
            return 1;
        }
        if (!deadline || q.cond.wait_until(q.lock, *deadline) != 0) return 0;
    }
}

void queue_done() {
    // The reader waits for 900 -> 899 to resume, and for the last message
    // to finish when it drains the queues at its end.
    const int32_t before = queued_count.fetch_sub(1);
    if (before == QUEUE_RESUME_BELOW || before == 1) signal_reader();
}

int32_t queued_messages() { return queued_count.load(); }

bool reader_is_paused() { return reader_paused.load(); }

void queue_pause_reader() {
    mutex_guard g(reader_wait_mutex);
    reader_paused.store(true);
    while (!quit_flag.load() && queued_count.load() >= QUEUE_RESUME_BELOW) {
        reader_wait_cond.wait_until(reader_wait_mutex, realtime_in(QUEUE_RETEST_SECS));
    }
    reader_paused.store(false);
}

int32_t queues_drain() {
    mutex_guard g(reader_wait_mutex);
    while (queued_count.load() > 0 && quit_signals.load() < 2) {
        reader_wait_cond.wait_until(reader_wait_mutex, realtime_in(0, DRAIN_RETEST_NS));
    }
    return queued_count.load();
}

uint8_t* alloc_message(uint64_t len) {
    if (len > SIZE_MAX - 7) return nullptr;
    const size_t size = static_cast<size_t>((len + 7) & ~uint64_t{7});
    return static_cast<uint8_t*>(malloc(size));  // malloc's alignment covers 8
}

void free_message(uint8_t* msg) { free(msg); }

int choose_worker(const uint8_t* hdr) {
    const unsigned fport = hdr[OFF_TLH_FPORT] | (hdr[OFF_TLH_FPORT + 1] << 8);
    const unsigned lport = hdr[OFF_TLH_LPORT] | (hdr[OFF_TLH_LPORT + 1] << 8);
    return static_cast<int>((fport + lport) % NUM_THREADS);
}

void wake_all() {
    for (int i = 0; i < threads_started; i++) wake_worker(i);
    if (threads_started > 0 && queued_count.load() >= QUEUE_RESUME_BELOW) signal_reader();
    if (main_thread_set && !pthread_equal(pthread_self(), main_thread)) {
        pthread_kill(main_thread, SIGUSR2);
    }
}

namespace {

// A worker: takes its queue's messages one at a time and hands each to the
// message handler, expiring its id cache every WORKER_EXPIRE_EVERY messages
// and after WORKER_IDLE_SECS without one.
void* worker_thread(void* arg) {
    sigset_t all;
    sigfillset(&all);
    const int rv = pthread_sigmask(SIG_BLOCK, &all, nullptr);
    if (rv != 0) {
        errno = rv;
        do_err(1, "Error blocking signals in a worker");
    }

    QUARN_ASSERT(arg != NULL);
    int32_t idx;
    memcpy(&idx, arg, sizeof idx);
    free(arg);
    idcache_init(idx);

    timespec deadline = realtime_in(WORKER_IDLE_SECS);
    int handled = 0;
    // Held only while the queue has messages, so never while queue_pop waits.
    turn my_turn;
    for (;;) {
        queued_message m;
        const int got = queue_pop(idx, &deadline, &m);
        if (got < 0) {
            my_turn.give();
            return nullptr;
        }
        if (got == 0) {
            idcache_expire();
            handled = 0;
            deadline = realtime_in(WORKER_IDLE_SECS);
            continue;
        }
        my_turn.take();
        reader_message_ops.handler(m.dir_fd, m.msg);
        my_turn.after_message(idx);
        free_message(m.msg);
        queue_done();

        if (handled == WORKER_EXPIRE_EVERY - 1) {
            idcache_expire();
            handled = 0;
            deadline = realtime_in(WORKER_IDLE_SECS);
        } else {
            handled++;
        }
    }
}

}  // namespace

void start_workers() {
    main_thread = pthread_self();
    main_thread_set = true;
    set_ending_wake(wake_all);
    queues_reset();
    setup_turns();
    // Workers must never take a signal: one delivered to a worker would set
    // quit_flag without interrupting the reader's read. A new thread starts
    // with its creator's mask, so every signal is blocked while the workers
    // are created, and the reader's own mask is restored afterwards.
    sigset_t all, reader_mask;
    sigfillset(&all);
    int rv = pthread_sigmask(SIG_BLOCK, &all, &reader_mask);
    if (rv != 0) {
        errno = rv;
        do_err(1, "Error blocking signals for the workers");
    }
    for (int i = 0; i < NUM_THREADS; i++) {
        auto* arg = static_cast<int32_t*>(malloc(sizeof(int32_t)));
        if (!arg) do_err(1, "Error allocating memory for thread %d argument", i);
        *arg = i;
        pthread_t thread;
        if (pthread_create(&thread, nullptr, worker_thread, arg) != 0) {
            write_stderr("Error creating thread %d\n", i);
            do_exit(1);
        }
        pthread_detach(thread);  // never joined: the process ends through exit
        threads_started++;
    }
    rv = pthread_sigmask(SIG_SETMASK, &reader_mask, nullptr);
    if (rv != 0) {
        errno = rv;
        do_err(1, "Error restoring the reader's signal mask");
    }
}

void do_loop(int in_fd, int dir_fd) {
    block_quit_signals();
    input_mode = choose_input_wait(in_fd);
    if (input_mode == input_wait::never) {
        // Nothing to wait for, so nothing to miss: the quit signals stay
        // open while the reader reads.
        masks.reading = masks.open;
        set_quit_signals(false);
    }
    reader_ending end;
    while (reader_next(in_fd, dir_fd, &end)) {
    }
    finish_reading(end);
}

int reader_next(int in_fd, int dir_fd, reader_ending* end) {
    uint8_t common[COMMON_HEADER_SIZE];
    int err = 0;
    const size_t got = read_some(in_fd, common, sizeof common, &err);
    if (got == 0) {
        if (err != 0) set_ending(end, 1, err, "Error reading input");
        else set_ending(end, 0, 0, "%s", "");
        return 0;
    }
    if (got < COMMON_HEADER_SIZE) {
        set_ending(end, 1, 0, "Error reading log header: received %zu bytes, expected %zu bytes\n", got,
                   COMMON_HEADER_SIZE);
        return 0;
    }

    // A length below the common header cannot frame a message, and the
    // stream cannot be re-synchronised after it; nor after a length above
    // the bound, which is refused before anything is allocated for it.
    const uint64_t length = tlh_length(common);
    if (length < COMMON_HEADER_SIZE) {
        set_ending(end, 1, 0,
                   "Error reading log header: invalid message length %llu (at least %zu bytes "
                   "expected)\n",
                   static_cast<unsigned long long>(length), COMMON_HEADER_SIZE);
        return 0;
    }
    if (length > MESSAGE_LENGTH_MAX) {
        set_ending(end, 1, 0,
                   "Error reading log header: invalid message length %llu (at most %llu bytes "
                   "expected)\n",
                   static_cast<unsigned long long>(length),
                   static_cast<unsigned long long>(MESSAGE_LENGTH_MAX));
        return 0;
    }
    uint8_t* msg = reader_message_ops.alloc(length);
    if (!msg) {
        set_ending(end, 1, ENOMEM, "Error allocating buffer for log message");
        return 0;
    }
    memcpy(msg, common, COMMON_HEADER_SIZE);
    if (length > COMMON_HEADER_SIZE) {
        const size_t need = static_cast<size_t>(length - COMMON_HEADER_SIZE);
        const size_t body = read_some(in_fd, msg + COMMON_HEADER_SIZE, need, &err);
        if (body == 0 && err != 0) {
            free_message(msg);
            set_ending(end, 1, err, "Error reading input");
            return 0;
        }
        if (body < need) {
            free_message(msg);
            set_ending(end, 1, 0, "Error reading log message: received %zu bytes, expected %zu bytes\n",
                       body, need);
            return 0;
        }
    }

    const uint32_t type = tlh_type(msg);
    if (type != TLH_TYPE_BBR) {
        write_stderr("Skipping record of unknown type %u\n", type);
        free_message(msg);
    } else if (length < LOG_HEADER_SIZE) {
        // Too short for the ports and the reason; the worker would drop it.
        write_stderr("Incorrect header length while starting to process black box record\n");
        free_message(msg);
    } else if (!reason_matches(msg)) {
        const std::string_view r = tlh_reason(msg);
        char shown[TLH_REASON_SIZE + 1];
        printable_copy(r.data(), r.size(), shown);
        write_stderr("Skipping record of non matching reason%s\n", shown);
        free_message(msg);
    } else {
        const int appended = queue_append(choose_worker(msg), queued_message{msg, dir_fd});
        if (appended < 0) {
            free_message(msg);
            set_ending(end, 1, ENOMEM, "Error allocating log queue entry");
            return 0;
        }
        if (appended == 1 && !quit_flag.load()) {
            set_quit_signals(true);
            queue_pause_reader();
            set_quit_signals(false);
        }
    }

    if (quit_flag.load()) {
        set_ending(end, 0, 0, "%s", "");
        return 0;
    }
    return 1;
}

}  // namespace quarn
