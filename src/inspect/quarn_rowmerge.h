// The decoded-record rows of several files and connection stems as one
// ordered table, gathered as a stream: the rows of each dump are made while
// that dump is in memory and handed on as text, so that no more than a
// dump or two is held at a time however many parts a connection has.
//
// Order: time (its value), then connection stem, then serial number
// (modulo 2^32: 4294967295 before 0), a gap before the record it stands
// before; other ties keep input and file order. A packet whose record
// gives no time, and every block of a timeline (whose section's time
// offset is one dump's, or after mergecap another timeline's), takes the
// time of its block; a row still without a time keeps its place after the
// row before it in its file. The connection of
// a row is its stem argument's, or its file's dump name; in a timeline
// (quarn_timeline.h), even one merged with others by mergecap, the name of
// the interface the block sits on, and the stack is the one that
// interface's records interface names.
//
// Nothing here keeps global state; any thread may call it on its own data.
#ifndef QUARN_ROWMERGE_H
#define QUARN_ROWMERGE_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_rowtable.h"

namespace quarn {

struct row_merge_out {
    // Appends the text of `row` (of connection `stem`) to `line`; called
    // while the row's file is in memory.
    std::function<void(const record_row& row, std::string_view stem, std::string& line)> format;
    // Takes the texts in order; false stops the merge (a write error).
    std::function<bool(const std::string& line)> write;
};

// Merges the rows of `inputs`: an argument that names an existing file is
// one file, any other a connection stem whose parts (quarn_parts.h) are
// taken together, with a gap row (time and serial of the later part's
// first record) at every serial jump between two parts. A file that is
// cut or damaged gives the rows of its whole blocks before the fault. 0 when
// every input was read whole and every write succeeded; -1 otherwise, with
// a message per fault in `errors` ("<path>: offset N: what", "<path>:
// why"), the rows that could be read written all the same.
int rows_merge(const std::vector<std::string>& inputs, const row_merge_out& out,
               std::vector<std::string>& errors);

}  // namespace quarn

#endif
