// The output writer: the per-file sink through which every pcapng block
// reaches its file, and the direct writer `writev_int`.
//
// An output_writer belongs to the one worker that writes its file and lives
// as long as that file is open; it is never shared. Calling order per file:
// create the file and set `fd`; fill time_offset, af, ip_in, ip_out; either
// init_xz() / init_zstd() or set write_op = writev_int with no close_op; one
// write_op call per block (or pair of header blocks); then close_op if set,
// and close(fd). The file is whole only when every write_op and the
// close_op returned 0.
#ifndef QUARN_WRITEV_H
#define QUARN_WRITEV_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include <lzma.h>

struct ZSTD_CCtx_s;

namespace quarn {

struct output_writer;

// Writes the `count` entries of `iov`, `total` bytes in all. Returns 0 once
// every byte is in the file, -1 after the writer has printed its own message.
// May change the entries of `iov` (it advances them after partial writes).
using write_fn = int (*)(output_writer* w, struct iovec* iov, int count, int total);
// Ends the writer's own state (may still write to fd); never closes fd.
// Returns 0 when the stream was finished and every byte is in the file, -1
// on any failure (reported by the writer, here or at an earlier write).
using close_fn = int (*)(output_writer* w);

inline constexpr int IP_HDR_FIELD_SIZE = 40;

struct output_writer {
    write_fn write_op = nullptr;
    close_fn close_op = nullptr;   // null for the direct writer
    lzma_stream* strm = nullptr;   // XZ writer only
    ZSTD_CCtx_s* zstd = nullptr;   // zstd writer only
    uint8_t* outbuf = nullptr;     // compressing writers, OUTBUF_SIZE bytes (quarn_outbuf.h)
    size_t out_used = 0;           // zstd writer: bytes waiting in outbuf
    const uint8_t* time_offset = nullptr;  // the message's tlh_offset field
    int fd = -1;
    uint8_t ip_in[IP_HDR_FIELD_SIZE] = {};   // header of inbound packets
    uint8_t ip_out[IP_HDR_FIELD_SIZE] = {};  // header of outbound packets
    uint8_t af = 0;                // tlh_af: 2 or 28
    bool write_failed = false;     // compressing writers: a write failed, the file is damaged
    // The writer's own report of a failure: printed at once, unless
    // hold_report is set; then the first one is kept here (`failure` a
    // static text, `failure_errno` its error number or 0) for the owner of
    // the file to report as it sees fit.
    bool hold_report = false;
    const char* failure = nullptr;
    int failure_errno = 0;
};

// A writer's report of its failure `what` with error number `err` (0 for
// none): with err the warn form "prog: what: strerror(err)", without it
// the line "what"; or, under hold_report, kept in the writer.
void writer_failed(output_writer* w, const char* what, int err);

// The direct writer: one writev per call unless the system takes only part
// of the list; retries EINTR and EAGAIN at once; on any other error reports
// "Error writing to file" through writer_failed and returns -1. Never
// closes fd.
// Entries that were written are passed over and the entry where a write
// stopped is advanced in place, so the caller must free its buffers at the
// addresses it allocated, not at those the list holds afterwards.
int writev_int(output_writer* w, struct iovec* iov, int count, int total);
// Makes writev_int the writer's operation, with no close_op: the set-up of
// a dump written as it is.
void init_direct(output_writer* w);

}  // namespace quarn

#endif
