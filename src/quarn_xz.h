// The XZ writer: dump files written as one XZ stream (preset 0, CRC64),
// whose decompressed content is byte for byte what writev_int would write.
//
// Compressed bytes collect in the compressed-output buffer (quarn_outbuf.h);
// the file is written through writev_int only when that buffer is full and
// once more when close_xz finishes the stream.
//
// Each thread keeps its encoder from one file to the next: a file's set-up
// starts a new, independent stream on the encoder the thread used for its
// previous file, so liblzma reuses its allocations.
#ifndef QUARN_XZ_H
#define QUARN_XZ_H

#include <cstddef>
#include <cstdint>

#include "quarn_writev.h"

namespace quarn {

// Sets up the encoder and the buffer on a writer whose fd is set, and makes
// writev_xz/close_xz its operations. Never returns failure: a failed set-up
// ends the daemon through do_err/do_exit.
void init_xz(output_writer* w);
// Feeds the entries to the encoder in order; -1 at the first failing entry.
int writev_xz(output_writer* w, struct iovec* iov, int count, int total);
// Feeds one stretch (finish = false) or ends the stream (finish = true).
int write_xz(output_writer* w, const uint8_t* data, size_t len, bool finish);
// Finishes the stream (unless a write failed before) and hands the encoder
// and the buffer back to the thread. 0 when the whole stream is in the
// file; -1 when this or an earlier write failed. Never ends the process;
// never closes fd.
int close_xz(output_writer* w);

// Test seam: when set, init_xz drops the thread's encoder and calls this on
// a zero-filled stream instead of lzma_easy_encoder. Nothing in the daemon
// sets it.
using xz_encoder_init_fn = int (*)(lzma_stream* strm);
extern xz_encoder_init_fn xz_encoder_init_hook;

}  // namespace quarn

#endif
