// The XZ writer: dump files written as one XZ stream (preset 0, CRC64),
// whose decompressed content is byte for byte what writev_int would write.
//
// Compressed bytes collect in a 2 MiB buffer; the file is written through
// writev_int only when that buffer is full and once more when close_xz
// finishes the stream.
#ifndef QUARN_XZ_H
#define QUARN_XZ_H

#include <cstddef>
#include <cstdint>

#include "quarn_writev.h"

namespace quarn {

inline constexpr uint32_t XZ_OUTBUF_SIZE = 2097152;

// Sets up the encoder and the buffer on a writer whose fd is set, and makes
// writev_xz/close_xz its operations. Never returns failure: a failed set-up
// ends the daemon through do_err/do_exit.
void init_xz(output_writer* w);
// Feeds the entries to the encoder in order; -1 at the first failing entry.
int writev_xz(output_writer* w, struct iovec* iov, int count, int total);
// Feeds one stretch (finish = false) or ends the stream (finish = true).
int write_xz(output_writer* w, const uint8_t* data, size_t len, bool finish);
// Finishes the stream (whatever a failed write left pending is dropped),
// ends the encoder and releases the buffer and the stream state. Never ends
// the process; never closes fd. -1 when a flush failed, now or earlier.
int close_xz(output_writer* w);

// Test seam: when set, init_xz calls this instead of lzma_easy_encoder.
// Nothing in the daemon sets it.
using xz_encoder_init_fn = int (*)(lzma_stream* strm);
extern xz_encoder_init_fn xz_encoder_init_hook;

}  // namespace quarn

#endif
