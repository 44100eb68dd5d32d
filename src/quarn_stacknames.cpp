// The stack-name table. Names point into the buffer of the last successful
// fetch, which the table owns; a reload frees the old buffer only under the
// write lock, so no reader can still hold one of its names.
#include "quarn_stacknames.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "quarn_kernel.h"
#include "quarn_report.h"

namespace quarn {

rwlock stack_names_lock;
stack_name_entry stack_names[256];

namespace {

// The buffer of the last successful fetch, which the names point into.
uint8_t* stack_names_buf QUARN_GUARDED_BY(stack_names_lock) = nullptr;

constexpr const char* UNKNOWN_STACK = "unknown";

// Reloads on a miss: how many fetches have begun, and the number of the
// fetch whose buffer the table holds (0: the one made at start-up). The
// second changes only under the write lock.
std::atomic<uint64_t> fetches_begun{0};
std::atomic<uint64_t> fetch_installed{0};
// The size of the last successful fetch: the first guess of the next one.
std::atomic<size_t> last_fetch_size{0};

// Length of a name field: up to its NUL, at most the field's 32 bytes.
size_t field_len(const uint8_t* f) {
    const void* nul = memchr(f, 0, FUNCTION_INFO_NAME_SIZE);
    return nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - f) : FUNCTION_INFO_NAME_SIZE;
}

}  // namespace

namespace {

// Fetches the kernel's registry into a new buffer of *len bytes. Needs no
// lock: a reload fetches before it takes the write lock, so the workers
// that only read names wait for the swap, not for the system calls. Null
// when there is nothing to install (failures are reported).
//
// With a `guess` of the size, the first call already passes a buffer of
// that size: the registry seldom changes, so a reload usually takes one
// call. An answer that does not fit, or any failure, falls back to asking
// the size first, which reports its own failures.
uint8_t* fetch_function_info(size_t* len, size_t guess = 0) {
    if (guess > 0) {
        auto* buf = static_cast<uint8_t*>(malloc(guess));
        if (buf) {
            *len = guess;
            if (kernel_function_info(buf, len) == 0 && *len > 0) return buf;
            free(buf);
        }
    }
    *len = 0;
    int rv = kernel_function_info(nullptr, len);
    if (rv != 0 && errno != ENOMEM) {
        write_stderr("Unable to retrieve length of function ID mappings (%d: %s)\n", rv, strerror(errno));
        return nullptr;
    }
    if (*len == 0) return nullptr;
    auto* buf = static_cast<uint8_t*>(malloc(*len));
    if (!buf) {
        write_stderr("Unable to allocate buffer for function ID mappings\n");
        return nullptr;
    }
    rv = kernel_function_info(buf, len);
    if (rv != 0) {
        write_stderr("Unable to retrieve function ID mappings (%d: %s)\n", rv, strerror(errno));
        free(buf);
        return nullptr;
    }
    return buf;
}

// Makes a fetched buffer the table, freeing the previous one.
void install_stack_names(uint8_t* buf, size_t len) QUARN_REQUIRES(stack_names_lock) {
    for (stack_name_entry& e : stack_names) e = stack_name_entry{};
    free(stack_names_buf);
    stack_names_buf = buf;
    for (size_t off = 0; off + FUNCTION_INFO_ENTRY_SIZE <= len; off += FUNCTION_INFO_ENTRY_SIZE) {
        uint8_t* entry = buf + off;
        uint8_t* name = entry + FUNCTION_INFO_OFF_NAME;
        const uint8_t* alias = entry + FUNCTION_INFO_OFF_ALIAS;
        const size_t n = field_len(name);
        if (n != field_len(alias) || memcmp(name, alias, n) != 0) continue;
        // A 32-byte name without NUL runs into the alias field at offset 37;
        // the two fields are adjacent, so terminate the name in place by
        // overwriting the alias's first byte, which is no longer needed.
        if (n == FUNCTION_INFO_NAME_SIZE) name[n] = 0;
        stack_names[entry[FUNCTION_INFO_OFF_ID]] =
            stack_name_entry{reinterpret_cast<const char*>(name), static_cast<int32_t>(n)};
    }
}

}  // namespace

void load_stack_names() {
    size_t len = 0;
    if (uint8_t* buf = fetch_function_info(&len)) {
        last_fetch_size.store(len, std::memory_order_relaxed);
        install_stack_names(buf, len);
    }
}

const char* lookup_stack_name(uint8_t id) {
    if (stack_names[id].name) return stack_names[id].name;
    // A miss needs a table fetched after it. Fetches are numbered as they
    // begin; when one that began after this miss is already in the table,
    // it serves this miss too, and workers that miss together share a
    // reload instead of queueing one each.
    const uint64_t begun_before_miss = fetches_begun.load(std::memory_order_acquire);
    stack_names_lock.unlock_shared();
    if (fetch_installed.load(std::memory_order_acquire) <= begun_before_miss) {
        const uint64_t ticket = fetches_begun.fetch_add(1, std::memory_order_acq_rel) + 1;
        size_t len = 0;
        uint8_t* buf = fetch_function_info(&len, last_fetch_size.load(std::memory_order_relaxed));
        if (buf) {
            last_fetch_size.store(len, std::memory_order_relaxed);
            stack_names_lock.lock();
            if (ticket > fetch_installed.load(std::memory_order_relaxed)) {
                install_stack_names(buf, len);
                fetch_installed.store(ticket, std::memory_order_release);
            } else {
                free(buf);  // a fetch begun later is in the table already
            }
            stack_names_lock.unlock();
        }
    }
    stack_names_lock.lock_shared();
    return stack_names[id].name ? stack_names[id].name : UNKNOWN_STACK;
}

void stack_names_init() {
    rwlock_guard lock(stack_names_lock, rwlock_guard::exclusive);
    for (stack_name_entry& e : stack_names) e = stack_name_entry{};
    load_stack_names();
}

}  // namespace quarn
