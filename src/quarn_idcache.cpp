// The per-worker connection id caches.
//
// Each cache is one structure: a hash table of its entries (open
// addressing, linear probing, at most half full) whose entries are also
// chained in the order of their last use, oldest first. A lookup hashes the
// key and reads about one slot; refreshing an entry moves it to the young
// end of the chain, and expiry takes entries from the old end, both in
// O(1). The chain's links live in the entry and the key's copy right behind
// it, so an add allocates one block (and, now and then, a larger table),
// and nothing can fail once the block exists.
//
// Invariant: while the clock moves forward the chain is ordered by
// last_used, so expiry can stop at the first entry that is young enough.
#include "quarn_idcache.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "quarn_assert.h"
#include "quarn_process.h"

namespace quarn {

namespace {

struct idcache_entry {
    char* key;  // the entry's own copy, stored right behind it
    // Recency chain links: older is towards the oldest end.
    idcache_entry* older;
    idcache_entry* younger;
    int64_t last_used;
    uint64_t hash;  // of the key
    int32_t next_seq;
};

struct idcache {
    idcache_entry* oldest;
    idcache_entry* youngest;
    size_t count;
    // The hash table: `slots` entries (a power of two, or 0 before the
    // first add), null where free.
    idcache_entry** index;
    size_t slots;
};

constexpr size_t INDEX_MIN_SLOTS = 64;

uint64_t key_hash(const char* key) {
    // FNV-1a, 64 bits.
    uint64_t h = 0xcbf29ce484222325ull;
    for (const auto* p = reinterpret_cast<const unsigned char*>(key); *p != 0; p++) {
        h = (h ^ *p) * 0x100000001b3ull;
    }
    return h;
}

idcache_entry* index_find(const idcache& c, const char* key, uint64_t h) {
    if (c.slots == 0) return nullptr;
    const size_t mask = c.slots - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
        idcache_entry* e = c.index[i];
        if (!e) return nullptr;
        if (e->hash == h && strcmp(e->key, key) == 0) return e;
    }
}

void index_place(idcache_entry** index, size_t slots, idcache_entry* e) {
    const size_t mask = slots - 1;
    size_t i = e->hash & mask;
    while (index[i]) i = (i + 1) & mask;
    index[i] = e;
}

// Moves the index to `slots` slots. False when they cannot be allocated
// (the index stays as it was).
bool index_resize(idcache& c, size_t slots) {
    auto** index = static_cast<idcache_entry**>(calloc(slots, sizeof(idcache_entry*)));
    if (!index) return false;
    for (size_t i = 0; i < c.slots; i++) {
        if (c.index[i]) index_place(index, slots, c.index[i]);
    }
    free(c.index);
    c.index = index;
    c.slots = slots;
    return true;
}

// Makes room for one more entry, keeping the index at most half full.
// False when a larger index cannot be allocated.
bool index_reserve(idcache& c) {
    if (2 * (c.count + 1) <= c.slots) return true;
    return index_resize(c, c.slots == 0 ? INDEX_MIN_SLOTS : 2 * c.slots);
}

// After expiry: an index that a burst of connections made large shrinks
// again once it is less than an eighth full, so a worker does not keep the
// memory of its busiest hour for the rest of its life.
void index_shrink(idcache& c) {
    if (c.slots <= INDEX_MIN_SLOTS || 8 * c.count >= c.slots) return;
    size_t slots = c.slots;
    while (slots > INDEX_MIN_SLOTS && 8 * c.count < slots) slots /= 2;
    (void)index_resize(c, slots);  // keeps the larger index if this fails
}

// Takes e out of the index, moving later entries of its probe run back so
// that no lookup stops early at the hole.
void index_remove(idcache& c, const idcache_entry* e) {
    const size_t mask = c.slots - 1;
    size_t hole = e->hash & mask;
    while (c.index[hole] != e) hole = (hole + 1) & mask;
    for (size_t i = (hole + 1) & mask; c.index[i]; i = (i + 1) & mask) {
        const size_t home = c.index[i]->hash & mask;
        // The entry at i may fill the hole unless its home lies in the
        // cyclic range (hole, i].
        const bool home_after_hole = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
        if (!home_after_hole) {
            c.index[hole] = c.index[i];
            hole = i;
        }
    }
    c.index[hole] = nullptr;
}

// One cache per worker, each touched only by the thread bound to it.
idcache caches[NUM_THREADS];

time_t system_clock() { return time(nullptr); }

idcache& my_cache() {
    // idcache_init binds the thread before any other cache call.
    QUARN_ASSERT(worker_idx >= 0 && worker_idx < NUM_THREADS);
    return caches[worker_idx];
}

int64_t now() { return static_cast<int64_t>(idcache_clock()); }

void list_unlink(idcache& c, idcache_entry* e) {
    (e->older ? e->older->younger : c.oldest) = e->younger;
    (e->younger ? e->younger->older : c.youngest) = e->older;
    e->older = e->younger = nullptr;
}

void list_append_young(idcache& c, idcache_entry* e) {
    e->older = c.youngest;
    e->younger = nullptr;
    (c.youngest ? c.youngest->younger : c.oldest) = e;
    c.youngest = e;
}

}  // namespace

thread_local int32_t worker_idx = -1;
idcache_clock_fn idcache_clock = system_clock;

void idcache_init(int32_t idx) {
    QUARN_ASSERT(idx >= 0);
    QUARN_ASSERT(idx < NUM_THREADS);
    worker_idx = idx;
    // A cache bound again (a test's next case) starts empty without
    // leaking what the last binding left.
    idcache& c = caches[idx];
    for (idcache_entry* e = c.oldest; e;) {
        idcache_entry* next = e->younger;
        free(e);
        e = next;
    }
    free(c.index);
    c = idcache{};
}

int32_t* idcache_lookup(const char* key) {
    idcache& c = my_cache();
    idcache_entry* e = index_find(c, key, key_hash(key));
    if (!e) return nullptr;
    e->last_used = now();
    if (e != c.youngest) {
        list_unlink(c, e);
        list_append_young(c, e);
    }
    return &e->next_seq;
}

void idcache_add(const char* key, int32_t value) {
    idcache& c = my_cache();
    const uint64_t hash = key_hash(key);
    const idcache_entry* existing = index_find(c, key, hash);
    QUARN_ASSERT(existing == NULL);

    if (!index_reserve(c)) return;
    const size_t len = strlen(key);
    void* block = malloc(sizeof(idcache_entry) + len + 1);
    if (!block) return;
    auto* e = new (block) idcache_entry{};
    e->key = static_cast<char*>(block) + sizeof(idcache_entry);
    memcpy(e->key, key, len + 1);
    e->hash = hash;
    e->last_used = now();
    e->next_seq = value;
    list_append_young(c, e);
    index_place(c.index, c.slots, e);
    c.count++;
}

void idcache_expire() {
    idcache& c = my_cache();
    const int64_t cutoff = now() - IDCACHE_EXPIRE_SECS;
    while (c.oldest && c.oldest->last_used <= cutoff) {
        idcache_entry* e = c.oldest;
        list_unlink(c, e);
        index_remove(c, e);
        c.count--;
        e->~idcache_entry();
        free(e);
    }
    index_shrink(c);
}

size_t idcache_size() { return my_cache().count; }

size_t idcache_index_slots() { return my_cache().slots; }

}  // namespace quarn
