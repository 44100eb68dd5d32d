// What quarn_inspect prints of a walked dump: one text line (or one JSON
// object) per block, the section headers with their log header fields, and
// for packets and events the fields of the record bytes they carry.
#ifndef QUARN_DUMPSHOW_H
#define QUARN_DUMPSHOW_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "quarn_dumpread.h"

namespace quarn {

// Every block of `c` (read from `path`) in file order, as text lines.
void dump_show_text(FILE* out, const dump_contents& c, std::string_view path);
// Every block of `c` (read from `path`) in file order, one JSON object per
// line, always valid UTF-8 whatever the file's texts hold. Every object
// starts with the file's "stem" and "part" (see row_source_of_path; no
// "part" for a file that is not a numbered dump).
void dump_show_json(FILE* out, const dump_contents& c, std::string_view path);

// Appends `s` as the body of a JSON string: '"', '\' and control characters
// escaped, valid UTF-8 sequences kept, every other byte as '?'.
void json_append_string(std::string& out, std::string_view s);

// "YYYY-MM-DD HH:MM:SS" in UTC, with ".uuuuuu" when usec is not negative;
// the plain number of seconds when the time cannot be broken down.
std::string utc_text(int64_t sec, int64_t usec);

}  // namespace quarn

#endif
