// The records index: one JSON line per finished dump file, appended to
// "records" in the output directory.
//
// All workers call records_append; each formats its line first (under
// stack_names_lock for reading, released before the write), then
// records_mutex serialises the reopen check and the whole write, so lines
// never interleave. No thread holds both locks at once.
//
// A line is written whole or not at all. A line that cannot be written
// (open or write failure) waits in a bounded in-memory backlog and goes out,
// in order, ahead of the next line once writing works again; lines beyond
// the bound are counted as lost. Standard error gets one line when a streak
// of failures begins and one when it ends, with the counts.
#ifndef QUARN_RECORDS_H
#define QUARN_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "quarn_logfmt.h"

namespace quarn {

inline constexpr size_t RECORDS_LINE_MAX = 1024;
// Lines kept in memory while "records" cannot be written.
inline constexpr size_t RECORDS_BACKLOG_MAX = 10000;

// One finished dump file, as its index line describes it.
struct finished_dump {
    const char* filename; const char* faddr; uint8_t* hdr;   // hdr: the message's log_header
    uint32_t record_count; int64_t dump_time; uint8_t stack_id;
    timeval64 first; timeval64 last; bool conn_ended; int32_t frag_seq;
    const char* compressor;   // "", "xz" or "zstd": the compression's index word
};

// Appends the index line of one finished dump (or keeps it in the backlog).
// Sets the last byte of tlh_id, tlh_reason and tlh_tag in d.hdr to NUL.
// Failures are reported once per streak, never per line.
void records_append(int dir_fd, const finished_dump& d);

// Formats the line into buf (size RECORDS_LINE_MAX); returns its length,
// or 0 when it does not fit. Takes no locks and touches no shared state
// (only this thread's cache of the last date text). The line is always
// valid UTF-8 JSON, by two rules: the log header's texts (pbcid, reason,
// tag) go through sanitize_str, which keeps printable ASCII only; the
// other strings (faddr, filename, stack_name, compressor) keep valid UTF-8
// sequences, with every byte outside one made '?' and control characters
// escaped.
size_t records_format_line(char* buf, const finished_dump& d, const char* stack_name);

// Takes stack_names_lock for reading, looks up the name of d.stack_id
// ("unknown" if the slot is empty) and formats with records_format_line.
size_t records_format(char* buf, const finished_dump& d);

// Asks that the next line close "records" and open it anew, so that an
// operator can move the index away. Async-signal-safe: it only stores
// into a lock-free flag (SIGHUP's handler calls it).
void records_request_reopen();

// At the daemon's end: tries the backlog once more and reports on stderr
// how many lines could not be written. Call after the workers are done;
// while a worker still holds the index it does nothing rather than wait.
void records_flush_at_exit();

// JSON-safe copy of a text field of `size` bytes into out (2 * size bytes):
// sets the field's last byte to NUL first, then copies up to the first NUL
// with white space made ' ', '"' and '\\' escaped, other printable ASCII
// as it is and every other byte (UTF-8 included) made '?'.
void sanitize_str(uint8_t* field, size_t size, char* out);

// Duration text "S.UUUUUU" of last - first, 0.000000 when not positive.
void format_duration(timeval64 first, timeval64 last, char* out, size_t out_size);

}  // namespace quarn

#endif
