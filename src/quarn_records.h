// The records index: one JSON line per finished dump file, appended to
// "records" in the output directory.
//
// All workers call records_append; records_mutex serialises the reopen
// check, the formatting and the whole write, so lines never interleave.
// Lock order: records_mutex, then stack_names_lock.
#ifndef QUARN_RECORDS_H
#define QUARN_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "quarn_logfmt.h"

namespace quarn {

inline constexpr size_t RECORDS_LINE_MAX = 1024;

// Prepares the index before the workers start. 0 on success.
int records_init();

// Appends the index line of one finished dump. Sets the last byte of tlh_id,
// tlh_reason and tlh_tag in `hdr` to NUL. Failures are silent.
void records_append(int dir_fd, const char* filename, const char* faddr, uint8_t* hdr,
                    uint32_t record_count, int64_t dump_time, uint8_t stack_id,
                    timeval64 first, timeval64 last, bool conn_ended, int32_t frag_seq);

// Formats the line into buf (size RECORDS_LINE_MAX); returns its length,
// or 0 when it does not fit. Takes stack_names_lock for reading around the
// name and the formatting; records_append calls it under records_mutex.
size_t records_format(char* buf, const char* filename, const char* faddr, uint8_t* hdr,
                      uint32_t record_count, int64_t dump_time, uint8_t stack_id,
                      timeval64 first, timeval64 last, bool conn_ended, int32_t frag_seq);

// JSON-safe copy of a text field of `size` bytes into out (2 * size bytes):
// sets the field's last byte to NUL first.
void sanitize_str(uint8_t* field, size_t size, char* out);

// Duration text "S.UUUUUU" of last - first, 0.000000 when not positive.
void format_duration(timeval64 first, timeval64 last, char* out, size_t out_size);

}  // namespace quarn

#endif
