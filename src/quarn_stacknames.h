// The table from stack id to TCP stack name, loaded from the kernel's stack
// registry at start-up and reloaded on a miss.
//
// stack_names_lock guards stack_names and the buffer its names point into.
// Readers hold it for reading as long as they use a name pointer;
// load_stack_names runs only under the write lock.
#ifndef QUARN_STACKNAMES_H
#define QUARN_STACKNAMES_H

#include <cstdint>

#include "quarn_lock.h"

namespace quarn {

struct stack_name_entry {
    const char* name = nullptr;  // into stack_names_buf; null: no name
    int32_t name_len = 0;
};

extern rwlock stack_names_lock;
extern stack_name_entry stack_names[256] QUARN_GUARDED_BY(stack_names_lock);

// Refetches the table. Failures are reported on stderr and leave the table
// as it was.
void load_stack_names() QUARN_REQUIRES(stack_names_lock);

// Name of stack `id`, reloading once on a miss; "unknown" when still none.
// The lock is held for reading again on return (it is dropped and retaken
// for writing around a reload), so a caller that holds it through an
// rwlock_guard keeps it.
const char* lookup_stack_name(uint8_t id) QUARN_REQUIRES_SHARED(stack_names_lock);

// Start-up: clears the table and loads it under the write lock.
void stack_names_init() QUARN_EXCLUDES(stack_names_lock);

}  // namespace quarn

#endif
