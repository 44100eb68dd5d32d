// The index files of an output directory as the rotation leaves them:
// "records" and the rotated "records.N", each plain or compressed (".gz",
// ".bz2", ".xz", ".zst"), decompressed in-process and split into lines.
//
// Nothing here keeps global state; any thread may call it.
#ifndef QUARN_INDEXFILES_H
#define QUARN_INDEXFILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

enum class index_compression { none, gzip, bzip2, xz, zstd };

// True when `name` is an index file's: "records", or "records.N" with N
// decimal digits, either with one of the compression suffixes; `c` tells
// which.
bool index_file_name(std::string_view name, index_compression& c);

// Decompresses `in` into `out` (a copy for none), up to DUMP_MAX_BYTES.
// Concatenated gzip members and bzip2 streams are read through. 0, or -1
// with `err` set for damaged or cut data or a result past the limit.
int index_decompress(index_compression c, const uint8_t* in, size_t size, std::vector<uint8_t>& out,
                     std::string& err);

struct index_file {
    std::string name;
    std::vector<std::string> lines;  // each with its "\n" when it had one
};

// Reads every index file in `dir` (sorted by name). A file that cannot be
// read or decompressed is named in `problems` ("<name>: why") and left out.
// 0, or -1 with `err` when the directory cannot be listed.
int index_files_read(const std::string& dir, std::vector<index_file>& out,
                     std::vector<std::string>& problems, std::string& err);

}  // namespace quarn

#endif
