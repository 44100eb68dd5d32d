// The table from stack id to TCP stack name, loaded from the kernel's stack
// registry at start-up and reloaded on a miss.
//
// stack_names_lock guards stack_names and the buffer its names point into.
// Readers hold it for reading as long as they use a name pointer;
// load_stack_names runs only under the write lock.
#ifndef QUARN_STACKNAMES_H
#define QUARN_STACKNAMES_H

#include <pthread.h>

#include <cstdint>

namespace quarn {

struct stack_name_entry {
    const char* name = nullptr;  // into stack_names_buf; null: no name
    int32_t name_len = 0;
};

extern stack_name_entry stack_names[256];
extern pthread_rwlock_t stack_names_lock;

// Refetches the table. REQUIRES: stack_names_lock held for writing.
// Failures are reported on stderr and leave the table as it was.
void load_stack_names();

// Name of stack `id`, reloading once on a miss; "unknown" when still none.
// REQUIRES: stack_names_lock held for reading; it is held again on return
// (it is dropped and retaken around a reload).
const char* lookup_stack_name(uint8_t id);

// Start-up: clears the table and loads it under the write lock.
void stack_names_init();

// Holds stack_names_lock for reading while it lives. lookup_stack_name may
// drop and retake it inside, and holds it again when it returns.
class stack_names_read_lock {
public:
    stack_names_read_lock() { pthread_rwlock_rdlock(&stack_names_lock); }
    ~stack_names_read_lock() { pthread_rwlock_unlock(&stack_names_lock); }
    stack_names_read_lock(const stack_names_read_lock&) = delete;
    stack_names_read_lock& operator=(const stack_names_read_lock&) = delete;
};

}  // namespace quarn

#endif
