// A connection's records as one time line: every packet, event and gap of
// one dump or of all the numbered dumps of a connection, with the time each
// stands at, in time order; and that line written as a pcapng file in which
// every block has a timestamp, so that capture tools can count, cut, merge
// and show it.
//
// The file holds one section: the first dump's section header block and
// interface 0 as the daemon wrote them, then interface 1 of link type
// LINKTYPE_USER0, on which events and gaps are enhanced packet blocks whose
// data are the custom block's bytes after the enterprise number (subtype,
// body and end of options). Packets stay the daemon's own blocks, byte for
// byte. A serial jump between two dumps becomes a gap record there too,
// with a comment naming both files.
//
// Nothing here keeps global state; any thread may call it on its own data.
#ifndef QUARN_TIMELINE_H
#define QUARN_TIMELINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_dumpread.h"
#include "quarn_parts.h"

namespace quarn {

inline constexpr uint32_t TIMELINE_INTERFACE = 1;
inline constexpr const char* TIMELINE_IF_NAME = "quarn";
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
    stem_parts parts;  // the dumps and the serial jumps between them
    std::vector<timeline_item> items;    // in time order
    // Every stack of the parts, first seen first: those of the section
    // headers, and those a timeline's records interface names.
    std::vector<timeline_stack> stacks;
};

// Reads, walks and orders the one dump `arg` names, or when no such file
// exists every dump of the connection stem `arg` (quarn_parts.h). Records
// sort by time, stably: equal times keep the file order, parts in their
// order. A gap block stands at the time of the record after it; a jump of
// serial numbers from one part to the next becomes a gap item at the later
// part's first record. An event block without its record bytes keeps the
// time of the record before it. 0 on success; -1 with a message in `err`
// naming the file and offset of the first fault.
int timeline_load(const std::string& arg, timeline& t, std::string& err);

// The whole pcapng file of `t`. 0 with `out` filled; -1 with a message in
// `err` when the first part has no section header or interface to copy.
int timeline_pcapng(const timeline& t, std::vector<uint8_t>& out, std::string& err);

}  // namespace quarn

#endif
