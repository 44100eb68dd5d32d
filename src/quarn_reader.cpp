// The reader and the workers.
//
// The main thread reads one log message at a time into a buffer of its own
// and appends it to the queue of the worker chosen from the connection's
// ports, so every message of a connection reaches the same worker. A count
// of messages queued or in progress throttles the reader: it pauses when its
// append takes the count from 1000 to 1001 and goes on below 900.
//
// Every ending the reader starts (end of input, SIGINT/SIGTERM, a short or
// failed read) first lets the workers finish the messages already queued;
// a second SIGINT/SIGTERM during that drain ends the process at once.
#include "quarn_reader.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

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
#include "quarn_idcache.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"

namespace quarn {

pthread_mutex_t worker_mutex[NUM_THREADS];
pthread_cond_t worker_cond[NUM_THREADS];
work_queue work_queues[NUM_THREADS];
pthread_t worker_threads[NUM_THREADS];
int threads_started = 0;
pthread_t main_thread;
std::atomic<int32_t> queued_count{0};
pthread_mutex_t queue_wait_mutex;
pthread_cond_t queue_wait_cond;
message_handler_fn worker_handler = do_bbr_record;
std::atomic<bool> reader_paused{false};

namespace {

constexpr const char* UNIT = "quarn_dumper";
bool main_thread_set = false;

// How often the drain looks for a second quit signal.
constexpr long DRAIN_RETEST_NS = 100 * 1000 * 1000;
// One read asks for at most this much, whatever the message length.
constexpr size_t MAX_READ_CHUNK = size_t{1} << 30;

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

// Reads until `need` bytes are there, the input ends, a read fails other
// than with EINTR/EAGAIN (errno kept in *err), or quit_flag is set.
size_t read_some(int fd, uint8_t* buf, size_t need, int* err) {
    size_t got = 0;
    *err = 0;
    while (got < need) {
        size_t ask = need - got;
        if (ask > MAX_READ_CHUNK) ask = MAX_READ_CHUNK;
        ssize_t n = read(fd, buf + got, ask);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
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

void signal_reader() {
    pthread_mutex_lock(&queue_wait_mutex);
    pthread_cond_signal(&queue_wait_cond);
    pthread_mutex_unlock(&queue_wait_mutex);
}

// Waits until every queued message is finished, or a second quit signal.
void drain_queues() {
    pthread_mutex_lock(&queue_wait_mutex);
    while (queued_count.load() > 0 && quit_signals.load() < 2) {
        timespec deadline = realtime_in(0, DRAIN_RETEST_NS);
        pthread_cond_timedwait(&queue_wait_cond, &queue_wait_mutex, &deadline);
    }
    pthread_mutex_unlock(&queue_wait_mutex);
}

[[noreturn]] void finish_reading(const reader_ending& e) {
    drain_queues();
    // Index lines still waiting get their last try once the workers are done.
    records_flush_at_exit();
    if (e.err != 0) {
        errno = e.err;
        do_err(e.status, "%s", e.text);
    }
    if (e.text[0]) write_stderr("%s", e.text);
    do_exit(e.status);
}

// The reader's flow-control pause, entered when its append found 1000.
void pause_reader() {
    pthread_mutex_lock(&queue_wait_mutex);
    reader_paused.store(true);
    while (!quit_flag.load() && queued_count.load() >= QUEUE_RESUME_BELOW) {
        timespec deadline = realtime_in(QUEUE_RETEST_SECS);
        pthread_cond_timedwait(&queue_wait_cond, &queue_wait_mutex, &deadline);
    }
    reader_paused.store(false);
    pthread_mutex_unlock(&queue_wait_mutex);
}

// Does the message's reason pass the -r filter? Compared without regard to
// case over the filter's length; the reason ends at its NUL or its field.
bool reason_matches(const uint8_t* hdr) {
    if (!reason_filter) return true;
    char reason[TLH_REASON_SIZE];
    const std::string_view r = tlh_reason(hdr);
    memcpy(reason, r.data(), r.size());
    reason[r.size()] = '\0';
    return strncasecmp(reason, reason_filter, static_cast<size_t>(reason_filter_len)) == 0;
}

void enqueue(int worker, queue_entry* e) {
    pthread_mutex_lock(&worker_mutex[worker]);
    *work_queues[worker].last = e;
    work_queues[worker].last = &e->next;
    pthread_cond_signal(&worker_cond[worker]);
    pthread_mutex_unlock(&worker_mutex[worker]);
}

}  // namespace

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
    for (int i = 0; i < threads_started; i++) {
        pthread_mutex_lock(&worker_mutex[i]);
        pthread_cond_signal(&worker_cond[i]);
        pthread_mutex_unlock(&worker_mutex[i]);
    }
    if (threads_started > 0 && queued_count.load() >= QUEUE_RESUME_BELOW) signal_reader();
    if (main_thread_set && !pthread_equal(pthread_self(), main_thread)) {
        pthread_kill(main_thread, SIGUSR2);
    }
}

void* bbr_worker_thread(void* arg) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    QUARN_ASSERT(UNIT, arg != NULL);
    int32_t idx;
    memcpy(&idx, arg, sizeof idx);
    free(arg);
    idcache_init(idx);

    timespec deadline = realtime_in(WORKER_IDLE_SECS);
    int handled = 0;
    pthread_mutex_lock(&worker_mutex[idx]);
    for (;;) {
        if (workers_stop.load()) {
            pthread_mutex_unlock(&worker_mutex[idx]);
            return nullptr;
        }
        work_queue& q = work_queues[idx];
        if (!q.first) {
            if (pthread_cond_timedwait(&worker_cond[idx], &worker_mutex[idx], &deadline) == 0) continue;
            pthread_mutex_unlock(&worker_mutex[idx]);
            idcache_expire();
            handled = 0;
            deadline = realtime_in(WORKER_IDLE_SECS);
            pthread_mutex_lock(&worker_mutex[idx]);
            continue;
        }
        queue_entry* e = q.first;
        q.first = e->next;
        if (!q.first) q.last = &q.first;
        pthread_mutex_unlock(&worker_mutex[idx]);

        worker_handler(e->dir_fd, e->msg);
        free_message(e->msg);
        delete e;
        // The reader waits for 900 -> 899 to resume, and for the last
        // message to finish when it drains the queues at its end.
        const int32_t before = queued_count.fetch_sub(1);
        if (before == QUEUE_RESUME_BELOW || before == 1) signal_reader();

        if (handled == WORKER_EXPIRE_EVERY - 1) {
            idcache_expire();
            handled = 0;
            deadline = realtime_in(WORKER_IDLE_SECS);
        } else {
            handled++;
        }
        pthread_mutex_lock(&worker_mutex[idx]);
    }
}

void start_workers() {
    main_thread = pthread_self();
    main_thread_set = true;
    if (pthread_mutex_init(&queue_wait_mutex, nullptr) != 0 ||
        pthread_cond_init(&queue_wait_cond, nullptr) != 0) {
        write_stderr("Error initializing the queue-waiting structures\n");
        do_exit(1);
    }
    if (records_init() != 0) {
        write_stderr("Error initializing the log record mutex\n");
        do_exit(1);
    }
    // Workers must never take a signal: one delivered to a worker would set
    // quit_flag without interrupting the reader's read. A new thread starts
    // with its creator's mask, so every signal is blocked while the workers
    // are created, and the reader's own mask is restored afterwards.
    sigset_t all, reader_mask;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &reader_mask);
    for (int i = 0; i < NUM_THREADS; i++) {
        auto* arg = static_cast<int32_t*>(malloc(sizeof(int32_t)));
        if (!arg) do_err(1, "Error allocating memory for thread %d argument", i);
        *arg = i;
        work_queues[i].first = nullptr;
        work_queues[i].last = &work_queues[i].first;
        if (pthread_mutex_init(&worker_mutex[i], nullptr) != 0 ||
            pthread_cond_init(&worker_cond[i], nullptr) != 0) {
            write_stderr("Error initializing pthread structures for thread %d\n", i);
            do_exit(1);
        }
        if (pthread_create(&worker_threads[i], nullptr, bbr_worker_thread, arg) != 0) {
            write_stderr("Error creating thread %d\n", i);
            do_exit(1);
        }
        pthread_detach(worker_threads[i]);  // never joined: the process ends through exit
        threads_started++;
    }
    pthread_sigmask(SIG_SETMASK, &reader_mask, nullptr);
}

void do_loop(int in_fd, int dir_fd) {
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
    // stream cannot be re-synchronised after it.
    const uint64_t length = tlh_length(common);
    if (length < COMMON_HEADER_SIZE) {
        set_ending(end, 1, 0,
                   "Error reading log header: invalid message length %llu (at least %zu bytes "
                   "expected)\n",
                   static_cast<unsigned long long>(length), COMMON_HEADER_SIZE);
        return 0;
    }
    uint8_t* msg = alloc_message(length);
    if (!msg) {
        errno = ENOMEM;
        do_err(1, "Error allocating buffer for log message");
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
        log_stderr("Skipping record of unknown type %u", type);
        free_message(msg);
    } else if (length < LOG_HEADER_SIZE) {
        // Too short for the ports and the reason; the worker would drop it.
        log_stderr("Incorrect header length while starting to process black box record");
        free_message(msg);
    } else if (!reason_matches(msg)) {
        const std::string_view r = tlh_reason(msg);
        log_stderr("Skipping record of non matching reason%.*s", static_cast<int>(r.size()), r.data());
        free_message(msg);
    } else {
        auto* e = new (std::nothrow) queue_entry;
        if (!e) {
            free_message(msg);
            errno = ENOMEM;
            do_err(1, "Error allocating log queue entry");
        }
        e->msg = msg;
        e->dir_fd = dir_fd;
        e->next = nullptr;
        enqueue(choose_worker(msg), e);
        if (queued_count.fetch_add(1) == QUEUE_PAUSE_AT && !quit_flag.load()) pause_reader();
    }

    if (quit_flag.load()) {
        set_ending(end, 0, 0, "%s", "");
        return 0;
    }
    return 1;
}

}  // namespace quarn
