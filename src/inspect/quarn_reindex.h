// quarn_inspect --reindex: the index lines a fault lost, rebuilt from the
// dump files alone.
//
// For every dump in a directory that the daemon would have indexed and
// whose line no index file there holds ("records" and the rotated ones),
// the line the daemon would have written goes to standard output, in the
// order of dump time, stem and sequence number. Everything else is told on
// standard error: files that are not whole dumps, dumps the daemon removes,
// lines that differ from the ones the file gives, and, apart, the files a
// daemon stopped while writing leaves (empty or cut short), for removal.
//
// Nothing here keeps global state; any thread may call it.
#ifndef QUARN_REINDEX_H
#define QUARN_REINDEX_H

#include <string>
#include <string_view>

namespace quarn {

// Rebuilds the lost lines of directory `dir`; every line on stderr starts
// with "prog: ". 0 when every dump was indexed or rebuilt; 1 when anything
// was reported.
int reindex_dir(const char* prog, const std::string& dir);

// The text of the "filename" member of index line `line` (escapes decoded),
// found by parsing the line as one JSON object, with white space and a
// newline allowed around it. False when the line is no JSON object or has
// no string member of that name; with several, the first counts.
bool index_line_filename(std::string_view line, std::string& filename);

}  // namespace quarn

#endif
