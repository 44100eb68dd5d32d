// Reading dump files back: the whole file into memory (XZ and zstd streams
// decompressed), then a walk over its pcapng blocks that yields the section
// headers with their custom options and one entry per block, pointing into
// the file's bytes.
//
// The walk is bounded by the file: every length is checked against what
// remains before anything behind it is read, and values are read with
// memcpy, so any input, however damaged, gives either the blocks up to the
// first fault or the whole file. Nothing here writes or keeps global state;
// any thread may call it on its own buffers.
#ifndef QUARN_DUMPREAD_H
#define QUARN_DUMPREAD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_dumppolicy.h"

namespace quarn {

// printf's text as a string, whatever its length.
std::string printf_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Largest file (after decompression) the readers take.
inline constexpr size_t DUMP_MAX_BYTES = size_t{1} << 30;

// Grows `out`, whose first `used` bytes are filled, to `used` plus up to
// `want` bytes within DUMP_MAX_BYTES; false, leaving it as it is, when
// `used` has reached the limit.
bool dump_buffer_grow(std::vector<uint8_t>& out, size_t used, size_t want);

// The compression a file's first bytes announce (XZ or zstd magic).
dump_compression dump_compression_of(const uint8_t* data, size_t size);

// What a fault of a dump file is: empty, cut short (it ends inside a block
// or inside its compressed stream), as a daemon stopped while writing it
// leaves it, or damaged in any other way.
enum class dump_fault_kind { damaged, empty, cut_short };

// Decompresses `in` into `out` (a copy when `c` is none). 0 on success;
// -1 with a message in `err` for damaged or truncated data or when the
// result would exceed DUMP_MAX_BYTES, and, when `kind` is given, the
// fault's kind in *kind.
int dump_decompress(dump_compression c, const uint8_t* in, size_t size, std::vector<uint8_t>& out,
                    std::string& err, dump_fault_kind* kind = nullptr);

// Reads the file at `path` whole, as it is: 0, or -1 with a message in
// `err` (missing file, directory, read error, a regular file larger than
// DUMP_MAX_BYTES, refused before any read).
int dump_read_raw(const char* path, std::vector<uint8_t>& raw, std::string& err);

// Reads the file at `path` and decompresses it by its content. 0 on
// success; -1 with a message in `err` (missing file, directory, read
// error, damaged compressed data, a regular file larger than
// DUMP_MAX_BYTES, refused before any read, or data that decompresses to
// more), and, when `kind` is given, the fault's kind in *kind.
int dump_read_file(const char* path, std::vector<uint8_t>& out, std::string& err,
                   dump_fault_kind* kind = nullptr);

enum class dump_block_kind { section, interface, packet, event, gap, other };

// One section header block and what its options told.
struct dump_section {
    size_t offset = 0;               // of the block in the file
    bool has_log_version = false;
    uint32_t log_version = 0;
    bool has_dump_time = false;
    int64_t dump_time = 0;
    const uint8_t* log_header = nullptr;  // LOG_HEADER_SIZE bytes, or null
    bool has_stack = false;
    uint8_t stack_id = 0;
    std::string_view stack_name;     // bytes as in the file, no terminator
    uint32_t interfaces = 0;         // interface description blocks seen
    // The header holds options the daemon never writes (a comment, the
    // writing program's name...): another program wrote the section anew,
    // and its records may have been cut, merged or reordered.
    bool rewritten = false;
};

// Whether the strict walk holds a section to everything the daemon's own
// dumps promise: it carries at least one of the daemon's options and no
// other program rewrote it. Other sections are held to pcapng alone.
bool dump_section_is_daemons(const dump_section& s);

struct dump_block {
    dump_block_kind kind = dump_block_kind::other;
    size_t offset = 0;       // of the block in the file
    uint32_t type = 0;
    uint32_t length = 0;
    size_t section = 0;      // index into dump_contents::sections
    // Interface description blocks.
    uint16_t link_type = 0;
    uint32_t snap_len = 0;
    // Enhanced packet blocks.
    uint32_t interface_id = 0;
    uint64_t timestamp = 0;  // microseconds since the epoch, in any interface clock
    uint32_t caplen = 0;
    uint32_t origlen = 0;
    const uint8_t* packet = nullptr;  // caplen bytes
    bool has_epb_flags = false;
    uint32_t epb_flags = 0;
    // Packet and event blocks: record bytes 0 to 267, or null when the
    // block carries no record option.
    const uint8_t* record = nullptr;
    // Custom blocks.
    uint32_t pen = 0;
    uint32_t subtype = 0;
    uint32_t missing = 0;    // gap blocks
};

// Whether `b` is a record: a packet or event block with its record bytes.
inline bool dump_block_has_record(const dump_block& b) {
    return (b.kind == dump_block_kind::packet || b.kind == dump_block_kind::event) && b.record;
}

struct dump_contents {
    std::vector<dump_section> sections;
    std::vector<dump_block> blocks;  // every block in file order, sections included
};

// The first fault of a file: where (file offset, in the decompressed bytes)
// and what.
struct dump_fault {
    size_t offset = 0;
    std::string message;
    dump_fault_kind kind = dump_fault_kind::damaged;
};

// Walks the blocks of `data`, which must outlive `out`. Faults that no
// reader can get past (lengths, trailers, option framing, a first block
// that is not a section header, a foreign byte order) always stop the walk.
// With `strict`, so do, in any section, faults of pcapng (an option list
// that does not end with end-of-options, interface ids without an
// interface, a captured length above the original) and faults of the
// options themselves: an epb_flags option of the wrong length, a custom
// option of the daemon's enterprise number of the wrong length, of an
// unknown subtype or repeated (a second record option); and, in the
// daemon's sections only (dump_section_is_daemons), faults of content:
// unknown block types and custom blocks, options missing or unexpected,
// and record bytes that disagree with the synthesized headers, the
// timestamps, the section's stack and the serial numbers around gaps (a
// gap block may open a section's records only after earlier sections that
// held records, as --join marks a jump between two parts, and counts from
// their last serial number).
// 0 when the whole file was walked; -1 with `fault` set, `out` holding the
// blocks before the fault. The fault's offset is the start of the block
// that holds it; its message names the field, and the field's byte within
// the block when that is not the first.
int dump_parse(const uint8_t* data, size_t size, bool strict, dump_contents& out,
               dump_fault& fault);

// Record bytes a section's records stood for in their log message (328 or
// 400 each, by the verbose flag), the measure of the header copy's
// tlh_length. Blocks without record bytes count nothing.
uint64_t dump_section_record_bytes(const dump_contents& c, size_t section);

}  // namespace quarn

#endif
