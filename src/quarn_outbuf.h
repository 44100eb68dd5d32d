// The compressed-output buffer of the compressing writers (XZ and zstd):
// compressed bytes collect in it, and it goes to the file through
// writev_int only when it is full and once more when the stream ends.
//
// Each thread keeps one buffer from one file to the next; a second writer
// open on the same thread (only tests do that) gets a buffer of its own,
// released when it is given back.
#ifndef QUARN_OUTBUF_H
#define QUARN_OUTBUF_H

#include <cstddef>
#include <cstdint>

#include "quarn_writev.h"

namespace quarn {

inline constexpr uint32_t OUTBUF_SIZE = 2097152;

// The calling thread's buffer of OUTBUF_SIZE bytes (made on first use) or,
// while that one is taken, a new one; ends the daemon through do_err when
// it cannot allocate.
uint8_t* outbuf_take();
// Takes back a buffer from outbuf_take (null: nothing).
void outbuf_give(uint8_t* buf);
// Writes the first `used` bytes of w->outbuf through writev_int. On failure
// (reported by writev_int) marks the writer failed and returns -1.
int outbuf_flush(output_writer* w, size_t used);

}  // namespace quarn

#endif
