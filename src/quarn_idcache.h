// Per-worker connection id cache: for each recently dumped identifier, the
// next file sequence number to try.
//
// Each worker has its own cache, selected by the thread-local worker_idx
// that idcache_init sets; the cache is touched only by that thread, so there
// are no locks. Entries unused for IDCACHE_EXPIRE_SECS seconds are dropped
// by idcache_expire, which the worker calls between messages.
#ifndef QUARN_IDCACHE_H
#define QUARN_IDCACHE_H

#include <cstdint>
#include <ctime>

namespace quarn {

inline constexpr int64_t IDCACHE_EXPIRE_SECS = 300;

extern thread_local int32_t worker_idx;

// Binds the calling thread to cache `idx` (< NUM_THREADS) and empties it.
void idcache_init(int32_t idx);
// Reference to the cached next_seq of `key`, refreshed as most recently
// used; null when the key is not cached.
int32_t* idcache_lookup(const char* key);
// Adds `key` (not cached yet) with next_seq = value. An allocation failure
// loses the entry silently.
void idcache_add(const char* key, int32_t value);
// Removes, oldest first, every entry last used IDCACHE_EXPIRE_SECS or more
// seconds ago.
void idcache_expire();
// Entries in the calling worker's cache (for tests and statistics).
size_t idcache_size();
// Slots of the calling worker's hash index (for tests): at most half of
// them hold entries, and after expiry at least an eighth do, down to the
// smallest index.
size_t idcache_index_slots();

// The clock of the cache (time(nullptr) unless a test sets it).
using idcache_clock_fn = time_t (*)();
extern idcache_clock_fn idcache_clock;

}  // namespace quarn

#endif
