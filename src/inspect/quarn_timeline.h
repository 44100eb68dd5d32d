// A connection's records as one time line: every packet, event and gap of
// one dump or of all the numbered dumps of a connection, with the time each
// stands at, in time order; and that line written as a pcapng file in which
// every block has a timestamp, so that capture tools can count, cut, merge
// and show it.
//
// The file holds one section: the first dump's section header block and
// interface 0 as the daemon wrote it but named (if_name) by the
// connection's stem, then interface 1 of link type LINKTYPE_USER0, named by
// the stem too and described as TIMELINE_IF_DESCRIPTION followed by
// " <id>=<name>" per stack, on which events and gaps are enhanced packet
// blocks whose data are the custom block's bytes after the enterprise
// number (subtype, body and end of options). Packets stay the daemon's own
// blocks, byte for byte. A serial jump between two dumps becomes a gap
// record there too, with a comment naming both files. Since every
// interface carries its connection's name and the stacks ride on the
// interface, timelines merged into one file (mergecap) still tell every
// block's connection and stack (block_connections).
//
// Nothing here keeps global state; any thread may call it on its own data.
#ifndef QUARN_TIMELINE_H
#define QUARN_TIMELINE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_dumpread.h"
#include "quarn_parts.h"

namespace quarn {

inline constexpr uint32_t TIMELINE_INTERFACE = 1;
// The name older timelines gave their records interface, which names no
// connection.
inline constexpr std::string_view TIMELINE_IF_NAME = "quarn";
// Its description, followed by " <id>=<name>" for every stack.
inline constexpr std::string_view TIMELINE_IF_DESCRIPTION = "quarn_dumper records; stacks";
// Event and gap records as interface 1 carries them: subtype, body, end of
// options.
inline constexpr uint32_t TIMELINE_EVENT_BYTES = 288;
inline constexpr uint32_t TIMELINE_GAP_BYTES = 12;

enum class timeline_kind { packet, event, gap };

struct timeline_item {
    timeline_kind kind = timeline_kind::packet;
    uint64_t time_usec = 0;   // since the epoch
    size_t part = 0;          // index into timeline::parts.parts
    // The block in its part, or null for a gap between two parts.
    const dump_block* block = nullptr;
    // Record bytes 0 to 267, or null (gaps, an event block without them).
    const uint8_t* record = nullptr;
    std::string_view stack_name;  // of the record, into its part or timeline::stacks
    uint32_t missing = 0;         // gaps
    const part_jump* jump = nullptr;  // a gap between parts: the jump it stands for
};

struct timeline_stack {
    uint8_t id = 0;
    std::string name;
};

struct timeline {
    std::string stem;  // the connection's: "<id>_<lport>_<faddr>_<fport>"
    stem_parts parts;  // the dumps and the serial jumps between them
    std::vector<timeline_item> items;    // in time order
    // Every stack of the parts, first seen first: those of the section
    // headers, and those a timeline's records interface names.
    std::vector<timeline_stack> stacks;
};

// Reads, walks and orders the one dump `arg` names, or when no such file
// exists every dump of the connection stem `arg` (quarn_parts.h). Items
// are put in order as timeline_order does. A gap block stands at the time
// of the record after it; a jump of serial numbers from one part to the
// next becomes a gap item at the later part's first record. An event block
// without its record bytes keeps the time of the record before it.
//
// A file that holds several connections' timelines (merged by mergecap)
// gives the blocks of the connection named `stem` alone; without a name it
// is refused, naming them ("<file>: holds the connections A, B; choose one
// with --stem"). A file of one connection, or a stem, takes no name.
//
// 0 on success. 1 when a file was cut short or damaged: the items hold the
// whole blocks before the fault, and `err` names the file and offset of the
// first such fault. -1 with a message in `err` when nothing can be shown
// (no file, a file of which no block could be read, a refusal as above).
int timeline_load(const std::string& arg, const std::string& stem, timeline& t, std::string& err);
int timeline_load(const std::string& arg, timeline& t, std::string& err);

// The serial number to count from when `serials` (sorted here) are put in
// order modulo 2^32: the one after the widest stretch of numbers that none
// of them holds, so that 4294967295 comes before 0 and 89 before 92 in
// whatever order they were given.
uint32_t serial_base(std::vector<uint32_t>& serials);

// Puts `items`, given in file order (parts in their order), in time order;
// equal times in serial order, counted from their serial_base. A gap counts
// as the serial of the record after it and comes before that record; an
// event without record bytes counts as the record before it and comes
// after it. Otherwise file order is kept.
void timeline_order(std::vector<timeline_item>& items);

// The value of the first option `code` of the interface description block
// at `b` of `len` bytes (its bytes as in the file), or empty.
std::string_view interface_option(const uint8_t* b, uint32_t len, uint16_t code);

// The stacks a records interface's description names (" <id>=<name>" after
// TIMELINE_IF_DESCRIPTION), appended to `stacks`; false when `description`
// is not such a description.
bool described_stacks(std::string_view description, std::vector<timeline_stack>& stacks);

// The connection a block of a timeline belongs to: the name (if_name) of
// the interface it was captured on, and for a record the stack name that
// the records interface of that name gives its stack id.
struct block_connection {
    std::string_view stem;  // into the file's bytes; empty: no named interface
    bool has_stack = false;
    std::string stack;
};

// One entry per block of `c` (walked from `data`): the connection of every
// enhanced packet block whose interface carries a name other than the one
// older timelines gave their records interface ("quarn"); empty entries
// for the rest. So the blocks of timelines merged into one file (mergecap)
// are told apart by their interfaces.
void block_connections(const uint8_t* data, const dump_contents& c, std::vector<block_connection>& out);

// A connection stem (never a file name) read as a stream: its parts
// listed, then read one at a time in part order for their stacks, serial
// numbers and earliest times, none of them kept.
struct stem_scan {
    std::string stem;     // the connection's, the last part of the path
    stem_parts meta;      // the parts named, their serial numbers and jumps; no bytes
    std::vector<uint64_t> first_time;  // per part: its earliest item's time
    std::vector<timeline_stack> stacks;  // as timeline_load finds them
    bool has_items = false;  // some part holds a packet, event or gap
    std::string fault;       // the first part cut short or damaged, if any
};

// Scans `path_stem` into `scan`, calling `each` (when set) with every part
// and its index while the part is in memory. 0, or -1 with `err` when the
// parts cannot be listed or a block cannot stand in a timeline.
int stem_scan_parts(const std::string& path_stem, stem_scan& scan,
                    const std::function<void(size_t, const dump_part&)>& each, std::string& err);

// Hands on the items of a scanned stem in the order timeline_load gives
// them, with the part each points into (valid for the call alone) and, for
// a jump between parts, its text ("N records missing between A and B").
// Every part is read again, in the order of the earliest times, and its
// items wait only until no later part can come before them, so that memory
// holds about one part and its items however many parts the stem has.
// false from the function stops the walk.
using stem_item_fn = std::function<bool(const timeline_item&, const dump_part&, const std::string& jump_comment)>;
// 0; -1 with `err` when a block cannot stand in a timeline or "stopped"
// when `each` stopped the walk. The parts' faults are the scan's.
int stem_walk_items(const stem_scan& scan, const stem_item_fn& each, std::string& err);

// The timeline file of the connection stem `path_stem` (never a file
// name), the same bytes as timeline_load and timeline_pcapng give, made as
// a stream (stem_scan_parts, stem_walk_items). `write` takes the
// bytes in order, in pieces (false: stop). Returns as timeline_load: 0; 1
// with `err` naming the first part cut short or damaged, whose whole blocks
// were written; -1 with `err` when nothing could be written.
int timeline_stream_stem(const std::string& path_stem, const std::function<bool(const std::vector<uint8_t>&)>& write,
                         std::string& err);

// The whole pcapng file of `t`. 0 with `out` filled; -1 with a message in
// `err` when the first part has no section header or interface to copy.
int timeline_pcapng(const timeline& t, std::vector<uint8_t>& out, std::string& err);

}  // namespace quarn

#endif
