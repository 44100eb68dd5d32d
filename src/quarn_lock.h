// Mutexes, the reader-writer lock, condition variables and their scoped
// guards, annotated for clang's thread-safety analysis.
//
// A variable marked QUARN_GUARDED_BY(m) may only be touched while m is
// held, and a function marked QUARN_REQUIRES(m) may only be called with m
// held; with clang and -Wthread-safety a missing lock is a compile error.
// Other compilers see no annotations. Locks are taken through the guards,
// with two exceptions that call the lock's own functions: lookup_stack_name
// drops the shared lock it was given and retakes it (with the exclusive
// lock between), and records_flush_at_exit only tries the index's mutex
// (try_lock), then hands it to a guard (mutex_guard::adopt).
//
// The types have constant initialisers and no destructors: they live as
// file-scope objects in threads that are never joined, so a lock may still
// be held when the process ends.
#ifndef QUARN_LOCK_H
#define QUARN_LOCK_H

#include <pthread.h>
#include <time.h>

#if defined(__clang__)
#define QUARN_TSA(x) __attribute__((x))
#else
#define QUARN_TSA(x)
#endif

#define QUARN_CAPABILITY(x) QUARN_TSA(capability(x))
#define QUARN_SCOPED_CAPABILITY QUARN_TSA(scoped_lockable)
#define QUARN_GUARDED_BY(x) QUARN_TSA(guarded_by(x))
#define QUARN_PT_GUARDED_BY(x) QUARN_TSA(pt_guarded_by(x))
#define QUARN_REQUIRES(...) QUARN_TSA(requires_capability(__VA_ARGS__))
#define QUARN_REQUIRES_SHARED(...) QUARN_TSA(requires_shared_capability(__VA_ARGS__))
#define QUARN_ACQUIRE(...) QUARN_TSA(acquire_capability(__VA_ARGS__))
#define QUARN_ACQUIRE_SHARED(...) QUARN_TSA(acquire_shared_capability(__VA_ARGS__))
#define QUARN_RELEASE(...) QUARN_TSA(release_capability(__VA_ARGS__))
#define QUARN_RELEASE_SHARED(...) QUARN_TSA(release_shared_capability(__VA_ARGS__))
#define QUARN_RELEASE_GENERIC(...) QUARN_TSA(release_generic_capability(__VA_ARGS__))
#define QUARN_TRY_ACQUIRE(...) QUARN_TSA(try_acquire_capability(__VA_ARGS__))
#define QUARN_EXCLUDES(...) QUARN_TSA(locks_excluded(__VA_ARGS__))

namespace quarn {

class condvar;

class QUARN_CAPABILITY("mutex") mutex {
public:
    constexpr mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() QUARN_ACQUIRE() { pthread_mutex_lock(&m_); }
    void unlock() QUARN_RELEASE() { pthread_mutex_unlock(&m_); }
    bool try_lock() QUARN_TRY_ACQUIRE(true) { return pthread_mutex_trylock(&m_) == 0; }

private:
    friend class condvar;
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
};

class QUARN_CAPABILITY("rwlock") rwlock {
public:
    constexpr rwlock() = default;
    rwlock(const rwlock&) = delete;
    rwlock& operator=(const rwlock&) = delete;

    void lock() QUARN_ACQUIRE() { pthread_rwlock_wrlock(&l_); }
    void unlock() QUARN_RELEASE() { pthread_rwlock_unlock(&l_); }
    void lock_shared() QUARN_ACQUIRE_SHARED() { pthread_rwlock_rdlock(&l_); }
    void unlock_shared() QUARN_RELEASE_SHARED() { pthread_rwlock_unlock(&l_); }
    // true with the lock held for writing; false when another holds it.
    bool try_lock() QUARN_TRY_ACQUIRE(true) { return pthread_rwlock_trywrlock(&l_) == 0; }

private:
    pthread_rwlock_t l_ = PTHREAD_RWLOCK_INITIALIZER;
};

// Condition variable on the wall clock (CLOCK_REALTIME), as the deadlines
// of the queues are.
class condvar {
public:
    constexpr condvar() = default;
    condvar(const condvar&) = delete;
    condvar& operator=(const condvar&) = delete;

    void signal() { pthread_cond_signal(&c_); }
    // Returns when woken (or spuriously).
    void wait(mutex& m) QUARN_REQUIRES(m) { pthread_cond_wait(&c_, &m.m_); }
    // 0 when woken (or spuriously), ETIMEDOUT once the deadline has passed.
    int wait_until(mutex& m, const timespec& deadline) QUARN_REQUIRES(m) {
        return pthread_cond_timedwait(&c_, &m.m_, &deadline);
    }

private:
    pthread_cond_t c_ = PTHREAD_COND_INITIALIZER;
};

// Holds a mutex for its lifetime.
class QUARN_SCOPED_CAPABILITY mutex_guard {
public:
    explicit mutex_guard(mutex& m) QUARN_ACQUIRE(m) : m_(m) { m_.lock(); }
    // Takes over a mutex that this thread already holds (after try_lock).
    enum adopt_tag { adopt };
    mutex_guard(mutex& m, adopt_tag) QUARN_REQUIRES(m) : m_(m) {}
    ~mutex_guard() QUARN_RELEASE() { m_.unlock(); }
    mutex_guard(const mutex_guard&) = delete;
    mutex_guard& operator=(const mutex_guard&) = delete;

private:
    mutex& m_;
};

// Holds the reader-writer lock for its lifetime, for reading (rwlock_guard
// g(l, rwlock_guard::shared)) or for writing (rwlock_guard::exclusive).
class QUARN_SCOPED_CAPABILITY rwlock_guard {
public:
    enum shared_tag { shared };
    enum exclusive_tag { exclusive };

    rwlock_guard(rwlock& l, shared_tag) QUARN_ACQUIRE_SHARED(l) : l_(l), shared_(true) {
        l_.lock_shared();
    }
    rwlock_guard(rwlock& l, exclusive_tag) QUARN_ACQUIRE(l) : l_(l), shared_(false) { l_.lock(); }
    ~rwlock_guard() QUARN_RELEASE_GENERIC() {
        if (shared_) l_.unlock_shared();
        else l_.unlock();
    }
    rwlock_guard(const rwlock_guard&) = delete;
    rwlock_guard& operator=(const rwlock_guard&) = delete;

private:
    rwlock& l_;
    const bool shared_;
};

}  // namespace quarn

#endif
