// The per-worker connection id caches.
//
// An entry sits in two intrusive structures at once: an AVL tree ordered by
// strcmp of its key (lookups and inserts in O(log n)) and a doubly linked
// recency list, oldest first (refresh and removal of the oldest in O(1)).
// Keeping the links in the entry and the key's copy right behind it means
// an add allocates exactly one block, nothing can fail after it exists, and
// a lookup's descent reads each key from the cache line of its entry.
//
// Invariant: while the clock moves forward the list is ordered by
// last_used, so expiry can stop at the first entry that is young enough.
//
// Every dump file asks the cache once, and a descent of the tree reads an
// entry scattered somewhere in the heap at every level. A hash index of the
// entries (open addressing, linear probing, at most half full) answers the
// lookup with about one read; the tree keeps the order and bounds the
// costs as before.
#include "quarn_idcache.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "quarn_assert.h"
#include "quarn_dumper.h"

namespace quarn {

namespace {

struct idcache_entry {
    char* key;  // the entry's own copy, stored right behind it
    // Tree links; height is that of the subtree rooted here (a leaf is 1).
    idcache_entry* left;
    idcache_entry* right;
    int32_t height;
    // Recency list links: older is towards the oldest end.
    idcache_entry* older;
    idcache_entry* younger;
    int64_t last_used;
    uint64_t hash;  // of the key, for the hash index
    int32_t next_seq;
};

struct idcache {
    idcache_entry* root;
    idcache_entry* oldest;
    idcache_entry* youngest;
    size_t count;
    // The hash index: `slots` entries (a power of two, or 0 before the first
    // add), null where free.
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
    QUARN_ASSERT("quarn_idcache", worker_idx >= 0 && worker_idx < NUM_THREADS);
    return caches[worker_idx];
}

int64_t now() { return static_cast<int64_t>(idcache_clock()); }

int32_t height(const idcache_entry* e) { return e ? e->height : 0; }

void update_height(idcache_entry* e) {
    const int32_t l = height(e->left), r = height(e->right);
    e->height = (l > r ? l : r) + 1;
}

idcache_entry* rotate_right(idcache_entry* e) {
    idcache_entry* l = e->left;
    e->left = l->right;
    l->right = e;
    update_height(e);
    update_height(l);
    return l;
}

idcache_entry* rotate_left(idcache_entry* e) {
    idcache_entry* r = e->right;
    e->right = r->left;
    r->left = e;
    update_height(e);
    update_height(r);
    return r;
}

// Restores the AVL balance at e after one of its subtrees changed height
// by one; returns the new subtree root.
idcache_entry* rebalance(idcache_entry* e) {
    update_height(e);
    const int32_t balance = height(e->left) - height(e->right);
    if (balance > 1) {
        if (height(e->left->left) < height(e->left->right)) e->left = rotate_left(e->left);
        return rotate_right(e);
    }
    if (balance < -1) {
        if (height(e->right->right) < height(e->right->left)) e->right = rotate_right(e->right);
        return rotate_left(e);
    }
    return e;
}

// Inserts n (whose key is not in the tree) below e; returns the new root.
idcache_entry* tree_insert(idcache_entry* e, idcache_entry* n) {
    if (!e) return n;
    if (strcmp(n->key, e->key) < 0) {
        e->left = tree_insert(e->left, n);
    } else {
        e->right = tree_insert(e->right, n);
    }
    return rebalance(e);
}

// Unlinks the smallest entry below e into *min; returns the new root.
idcache_entry* tree_take_min(idcache_entry* e, idcache_entry** min) {
    if (!e->left) {
        *min = e;
        return e->right;
    }
    e->left = tree_take_min(e->left, min);
    return rebalance(e);
}

// Unlinks the entry with key `key` (present in the tree); returns the new root.
idcache_entry* tree_remove(idcache_entry* e, const char* key) {
    if (!e) return nullptr;
    const int c = strcmp(key, e->key);
    if (c < 0) {
        e->left = tree_remove(e->left, key);
    } else if (c > 0) {
        e->right = tree_remove(e->right, key);
    } else {
        if (!e->left) return e->right;
        if (!e->right) return e->left;
        idcache_entry* successor = nullptr;
        idcache_entry* right = tree_take_min(e->right, &successor);
        successor->left = e->left;
        successor->right = right;
        e = successor;
    }
    return rebalance(e);
}

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
    QUARN_ASSERT("quarn_idcache", idx >= 0);
    QUARN_ASSERT("quarn_idcache", idx < NUM_THREADS);
    worker_idx = idx;
    caches[idx] = idcache{};
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
    QUARN_ASSERT("quarn_idcache", existing == NULL);

    if (!index_reserve(c)) return;
    const size_t len = strlen(key);
    void* block = malloc(sizeof(idcache_entry) + len + 1);
    if (!block) return;
    auto* e = new (block) idcache_entry{};
    e->key = static_cast<char*>(block) + sizeof(idcache_entry);
    memcpy(e->key, key, len + 1);
    e->hash = hash;
    e->height = 1;
    e->last_used = now();
    e->next_seq = value;
    c.root = tree_insert(c.root, e);
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
        c.root = tree_remove(c.root, e->key);
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
