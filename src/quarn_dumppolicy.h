// What the daemon keeps and how it names it, for the daemon and for
// quarn_inspect alike: the compressions a dump may be written with, the
// grammar of a dump's file name, and which short dumps are removed instead
// of indexed.
//
// Constant tables and pure functions; any thread.
#ifndef QUARN_DUMPPOLICY_H
#define QUARN_DUMPPOLICY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quarn_text.h"

namespace quarn {

enum class dump_compression { none, xz, zstd };

// One way of writing a dump.
struct compression_kind {
    dump_compression id;
    const char* name;         // as tests and messages name it
    const char* suffix;       // after ".pcapng" in the file's name
    const char* index_word;   // the index line's "compressor" value
    const uint8_t* magic;     // the first bytes of such a file (none: null)
    size_t magic_len;
};

// Every compression, in the order of dump_compression, which is also the
// order in which quarn_inspect --join takes files of the same number.
extern const compression_kind COMPRESSIONS[3];

inline const compression_kind& compression_of(dump_compression c) {
    return COMPRESSIONS[static_cast<size_t>(c)];
}

// A dump's name: "<stem>.<seq>.pcapng<suffix>", where the stem is the
// connection's identifier "<id>_<lport>_<faddr>_<fport>" with its id made
// fit for a file name, seq a non-negative 32-bit decimal number and the
// suffix the compression's.
inline constexpr std::string_view DUMP_SUFFIX = ".pcapng";

// Appends the identifier of the connection of log header `hdr` to `out`;
// `faddr` is the text of its foreign address.
void dump_identifier(text_out& out, const uint8_t* hdr, const char* faddr);
// Makes the identifier in `stem` a stem, in place: in its first id_len
// bytes (the id, which comes from applications) bytes that are not UTF-8
// and control bytes become '_', and so does '/', so that the name
// cannot leave the output directory. The rest of an identifier is ports and
// an address, printable ASCII without '/'.
void dump_stem(char* stem, size_t id_len);
// The name of dump `seq` of `stem` into buf[0..size), NUL-terminated; false
// when it does not fit.
bool dump_file_name(char* buf, size_t size, std::string_view stem, int32_t seq,
                    const compression_kind& c);

struct dump_name {
    std::string stem;
    int32_t seq = 0;
    const compression_kind* compression = nullptr;
};
// The parts of `name` when it is a dump's name.
bool parse_dump_name(std::string_view name, dump_name& out);

// A dump of at most this many records whose reason drops short dumps is
// removed instead of indexed.
inline constexpr uint32_t SHORT_DUMP_RECORDS = 10;
// Reasons whose short dumps are not kept: "error" and "rebuffer" (whole
// string, case-sensitive).
bool reason_drops_short_dumps(std::string_view reason);
// Whether a dump whose records were all written is indexed; otherwise it is
// removed.
bool complete_dump_indexed(uint32_t record_count, std::string_view reason);

}  // namespace quarn

#endif
