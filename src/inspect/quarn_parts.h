// The numbered dumps of one connection, its parts: the files named
// "<stem>.<n>.pcapng" (or ".pcapng.xz", ".pcapng.zst") beside each other,
// listed in numeric order, each read and walked, and the serial numbers
// that jump from one part to the next.
//
// A connection's records count up by one serial number. Inside a file the
// daemon marks a jump with a gap block; between two files nothing marks
// it (a short dump that the daemon removed, a file lost or deleted), so it
// is found here: the first record of a part against the last record of the
// part before it that holds records. The count is the difference modulo
// 2^32, as for a gap block.
//
// Nothing here keeps global state; any thread may call it on its own data.
#ifndef QUARN_PARTS_H
#define QUARN_PARTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quarn_dumppolicy.h"
#include "quarn_dumpread.h"

namespace quarn {

// The names in directory `dir` other than "." and "..", in the order the
// system lists them. 0, or -1 with the system's error text in `err`.
int list_dir_names(const std::string& dir, std::vector<std::string>& names, std::string& err);

// One part of a connection. `contents` points into `bytes`, so a part is
// moved, never copied (moving a vector keeps its buffer).
struct dump_part {
    std::string path;      // directory and name, as opened
    std::string name;      // file name alone
    dump_name parsed;
    std::vector<uint8_t> bytes;  // decompressed
    dump_contents contents;
    // Serial numbers of the first and last record (packet or event block
    // with its record bytes), when it has any.
    bool has_records = false;
    uint32_t first_serial = 0;
    uint32_t last_serial = 0;
    size_t first_record = 0;  // index into contents.blocks

    dump_part() = default;
    dump_part(dump_part&&) = default;
    dump_part& operator=(dump_part&&) = default;
    dump_part(const dump_part&) = delete;
    dump_part& operator=(const dump_part&) = delete;
};

// Records missing between two parts: `before` holds the last record seen
// before the jump, `after` the first record after it.
struct part_jump {
    size_t before = 0;  // index into stem_parts::parts
    size_t after = 0;
    uint32_t last_serial = 0;   // of `before`
    uint32_t first_serial = 0;  // of `after`
    uint32_t missing = 0;       // first_serial - (last_serial + 1), modulo 2^32; never 0
};

struct stem_parts {
    std::vector<dump_part> parts;  // numeric order; for one number: plain, .xz, .zst
    std::vector<part_jump> jumps;  // in part order
};

// One directory's dump names grouped by stem, so that many stems of one
// directory are found with one listing instead of one listing each.
struct stem_listing {
    std::string dir;  // the directory listed ("" before the first use)
    std::unordered_map<std::string, std::vector<std::string>> names;  // stem -> its file names
};

// Reads and walks every part of `path_stem` ("DIR/IDENTIFIER", or a bare
// identifier for the current directory), strictly or not (see dump_parse),
// and finds the jumps between them. 0 on success; -1 with `err` set when
// the directory cannot be listed, no file has the stem, or a part cannot be
// read or walked whole ("<path>: offset N: what", "<path>: why"): nothing
// is half-loaded for the caller to use then. With `listing`, the directory
// is listed only when `listing` holds another one (the listing is kept
// there for the next call): files added to it since are not seen.
int stem_parts_load(const std::string& path_stem, bool strict, stem_parts& out, std::string& err,
                    stem_listing* listing = nullptr);

// The parts of `path_stem` named, in order, as stem_parts_load finds them
// (path, name and parsed name set; nothing read). 0, or -1 with `err` when
// the directory cannot be listed or no file has the stem. `listing` as for
// stem_parts_load.
int stem_parts_list(const std::string& path_stem, std::vector<dump_part>& parts, std::string& err,
                    stem_listing* listing = nullptr);

// The jumps between consecutive parts that hold records, from their
// has_records/first_serial/last_serial.
std::vector<part_jump> find_part_jumps(const std::vector<dump_part>& parts);

// "N records missing between <file name> and <file name>".
std::string part_jump_text(const stem_parts& s, const part_jump& j);

// The daemon's gap block for `missing` records, as its writer makes it.
std::vector<uint8_t> gap_block_bytes(uint32_t missing);

// Reads and walks the one file at `path` into `p` (its name parsed when it
// has a dump's form). 0, or -1 with `err` as for stem_parts_load and, when
// `kind` is given, the fault's kind in *kind; when the walk stopped at a
// fault (a file cut short...), `p` still holds the whole blocks before it,
// with their first and last serial numbers.
int dump_part_load(const std::string& path, bool strict, dump_part& p, std::string& err,
                   dump_fault_kind* kind = nullptr);

}  // namespace quarn

#endif
