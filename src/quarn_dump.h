// One log message to its dumps: pcapng files named after the connection and
// a sequence number, one per run of records with one stack id, each indexed
// in "records" once its file is whole (short "error"/"rebuffer" dumps are
// removed instead; a dump whose file could not be finished gets no line).
//
// Runs on a worker thread after idcache_init; callable from a test or fuzz
// target on any thread that called idcache_init.
#ifndef QUARN_DUMP_H
#define QUARN_DUMP_H

#include <cstdint>

#include "quarn_dumppolicy.h"

namespace quarn {

// The compression of every dump written from now on: none until set. Set
// before the workers start (main does so from -J/-Z); read-only after.
void dump_set_compression(dump_compression c);
dump_compression dump_output_compression();

struct output_writer;
// Sets the operations of a writer whose fd is set to those of the writer
// that serves compression `c`: the direct, the XZ or the zstd writer.
void dump_init_writer(dump_compression c, output_writer* w);

// Processes one message of tlh_length bytes (the buffer holds at least
// that many, 8-byte aligned). Rewrites tlh_length and the TCP checksums in
// place; never frees the message; reports its own failures. It serves the
// messages of every TCP stack: the name comes from the kernel's log of the
// BBR stack, whose records the log was first made for, and other code and
// the manual know the handler by it.
void do_bbr_record(int dir_fd, uint8_t* hdr);

// The dump time source (time(nullptr) unless a test sets it).
using dump_clock_fn = int64_t (*)();
extern dump_clock_fn dump_clock;

// Test seam: when set, called with each new dump's writer once its
// operations are set and before anything is written; it may wrap them to
// make a chosen write fail. Nothing in the daemon sets it.
using dump_writer_fn = void (*)(output_writer* w);
extern dump_writer_fn dump_writer_hook;

}  // namespace quarn

#endif
