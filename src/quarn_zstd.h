// The zstd writer: dump files written as one zstd frame with its content
// checksum, whose decompressed content is byte for byte what writev_int
// would write. Readers of capture files open such files as they are.
//
// Like the XZ writer it collects compressed bytes in the compressed-output
// buffer (quarn_outbuf.h) and writes the file through writev_int only when that
// buffer is full and once more when close_zstd ends the frame. Each thread
// keeps its compression context from one file to the next.
#ifndef QUARN_ZSTD_H
#define QUARN_ZSTD_H

#include <cstddef>
#include <cstdint>

#include "quarn_writev.h"

namespace quarn {

// Compression level of the dumps: the fastest of the levels measured for
// the daemon's output (see doc/performance.md, "The zstd level").
inline constexpr int ZSTD_DUMP_LEVEL = 1;

// Sets up the context and the buffer on a writer whose fd is set, and makes
// writev_zstd/close_zstd its operations. Never returns failure: a failed
// set-up ends the daemon ("Unable to initialize zstd encoder.\n", status 1,
// or the err line of a failed allocation).
void init_zstd(output_writer* w);
// Feeds the entries to the encoder in order; -1 at the first failing entry.
int writev_zstd(output_writer* w, struct iovec* iov, int count, int total);
// Feeds one stretch (finish = false) or ends the frame (finish = true).
int write_zstd(output_writer* w, const uint8_t* data, size_t len, bool finish);
// Ends the frame (unless a write failed before) and hands the context and
// the buffer back to the thread. 0 when the whole frame is in the file; -1
// when this or an earlier write failed. Never ends the process; never
// closes fd.
int close_zstd(output_writer* w);

}  // namespace quarn

#endif
