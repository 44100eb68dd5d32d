// One object kept per thread from one use to the next: the compressing
// writers' output buffer, XZ stream and zstd context, each costly to make
// and used by one file at a time.
//
// take() hands out the calling thread's own object (made on first use)
// while it is free, and a new one while it is taken (a second writer open
// on the same thread: only tests do that); give() takes an object back,
// keeping the thread's own for the next take and releasing any other. The
// thread's own is released when the thread ends. Each thread touches only
// its own slot, so no lock is needed.
#ifndef QUARN_THREADCACHE_H
#define QUARN_THREADCACHE_H

namespace quarn {

// Traits: `object`, the kept type; `static object* make()`, a new object
// or null; `static void release(object*)`, its end.
template <typename Traits>
class thread_cache {
public:
    using object = typename Traits::object;

    // The object for one use, or null when a new one could not be made.
    // *reused is true when it is the thread's own coming back for another
    // use (it may hold the last use's state).
    static object* take(bool* reused) {
        slot& s = mine;
        *reused = false;
        if (s.in_use) return Traits::make();
        if (s.own == nullptr) {
            s.own = Traits::make();
            if (s.own == nullptr) return nullptr;
        } else {
            *reused = true;
        }
        s.in_use = true;
        return s.own;
    }

    // Takes back an object from take (null: nothing).
    static void give(object* p) {
        if (p == nullptr) return;
        slot& s = mine;
        if (p == s.own) {
            s.in_use = false;
            return;
        }
        Traits::release(p);
    }

private:
    struct slot {
        object* own = nullptr;
        bool in_use = false;
        slot() = default;
        slot(const slot&) = delete;
        slot& operator=(const slot&) = delete;
        ~slot() {
            if (own != nullptr) Traits::release(own);
        }
    };
    static inline thread_local slot mine;
};

}  // namespace quarn

#endif
