// The walk over a dump's pcapng blocks behind dump_parse, shared by its
// units: one per kind of block (the section header with its interfaces, the
// packets, our custom blocks) and one for the strict checks that compare a
// block with the record bytes it carries. Only the inspector's reading code
// includes this header.
#ifndef QUARN_DUMPWALK_H
#define QUARN_DUMPWALK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quarn_dumpread.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng_format.h"

namespace quarn::dumpwalk {

constexpr size_t OPT_HDR = sizeof(option_header);

// The inspector's formatter (quarn_dumpread.h), by the name the walk's units
// use.
using quarn::printf_text;

// Options of one block, from `p` to `end`. Calls visit(code, value, len,
// file offset of the option) for each option before the end-of-options
// option. Returns the offset of a fault and sets `why`, or 0 when sound.
// `need_end`: a list that holds any option must end with end-of-options
// exactly at `end`. A block without options has no list at all, not even
// the end-of-options option, and that is sound (other writers leave it out).
template <typename F>
size_t walk_options(const uint8_t* base, const uint8_t* p, const uint8_t* end, bool need_end,
                    std::string& why, F visit) {
    if (p == end) return 0;
    while (p < end) {
        const size_t at = static_cast<size_t>(p - base);
        if (static_cast<size_t>(end - p) < OPT_HDR) {
            why = "option header cut by the end of the block";
            return at;
        }
        const uint16_t code = load<uint16_t>(p + offsetof(option_header, code));
        const uint16_t len = load<uint16_t>(p + offsetof(option_header, len));
        if (code == OPT_ENDOFOPT) {
            if (len != 0) {
                why = printf_text("end-of-options option with length %u", len);
                return at;
            }
            if (need_end && p + OPT_HDR != end) {
                why = "bytes after the end-of-options option";
                return at + OPT_HDR;
            }
            return 0;
        }
        if (pad4(len) > static_cast<size_t>(end - p) - OPT_HDR) {
            why = printf_text("option %u of length %u runs past the end of the block", code, len);
            return at;
        }
        for (size_t i = len; i < pad4(len); i++) {
            if (need_end && p[OPT_HDR + i] != 0) {
                why = printf_text("option %u has non-zero padding", code);
                return at + OPT_HDR + i;
            }
        }
        if (!visit(code, p + OPT_HDR, len, at, why)) return at;
        p += OPT_HDR + pad4(len);
    }
    if (need_end) {
        why = "option list without end-of-options";
        return static_cast<size_t>(end - base);
    }
    return 0;
}

// A timestamp of `raw` units of an interface with if_tsresol `tsresol` (bit
// 7 clear: 10^-n s, set: 2^-n s, n the low seven bits) and if_tsoffset
// `tsoffset` seconds, in microseconds since the epoch, rounded down;
// clamped to 0 and UINT64_MAX.
uint64_t timestamp_usec(uint64_t raw, uint8_t tsresol, int64_t tsoffset);

// A custom option of ours: PEN 32473, then the subtype.
bool our_custom(uint16_t code, const uint8_t* v, uint16_t len, uint32_t& subtype);

// One walk over one file: the blocks in order, with the state the strict
// checks carry from block to block.
struct walker {
    const uint8_t* data;
    size_t size;
    bool strict;
    dump_contents& out;
    dump_fault& fault;
    // Serial bookkeeping of the current section, for the strict checks.
    bool have_prev = false;
    uint32_t prev_serial = 0;
    bool pending_gap = false;
    uint32_t gap_missing = 0;
    size_t gap_offset = 0;
    // The last serial number of the sections before the current one, when
    // any of them held a record: a file joined from a connection's parts
    // marks a jump between two parts with a gap block before the later
    // part's first record, counted from there.
    bool have_earlier = false;
    uint32_t earlier_serial = 0;
    // Start of the block being walked.
    size_t block_at = 0;
    // Link types of the current section's interfaces. A section with an
    // interface of LINKTYPE_USER0 is a timeline: its events and gaps are
    // enhanced packet blocks on that interface, its records in time order
    // from several dumps, so the checks of one dump's serial numbers,
    // stack, header offset and record bytes do not hold there.
    std::vector<uint16_t> link_types;
    bool timeline = false;
    // Each interface's clock: its if_tsresol (0x06, microseconds, when it
    // has none) and its if_tsoffset in seconds. Blocks of other writers
    // count in other units (a nanosecond capture's if_tsresol is 9).
    struct clock {
        uint8_t tsresol = 6;
        int64_t tsoffset = 0;
    };
    std::vector<clock> clocks;

    // Sets the fault (of `kind`) at the start of the block that holds file
    // offset `at`, naming `at` within the block, and returns -1.
    int fail(size_t at, std::string why, dump_fault_kind kind = dump_fault_kind::damaged);
    // A strict walk in a section held to the daemon's promises.
    bool daemon_checks() const {
        return strict && !out.sections.empty() && dump_section_is_daemons(out.sections.back());
    }

    // The block of type `type`, `len` bytes at file offset `at`, in the
    // current section.
    dump_block new_block(size_t at, uint32_t type, uint32_t len, dump_block_kind kind) const {
        dump_block blk;
        blk.kind = kind;
        blk.offset = at;
        blk.type = type;
        blk.length = len;
        blk.section = out.sections.size() - 1;
        return blk;
    }

    // One per block kind; each appends its block (and a section header its
    // section) to `out`, or fails.
    int section_block(const uint8_t* b, size_t at, uint32_t len);
    int interface_block(const uint8_t* b, size_t at, uint32_t len);
    int packet_block(const uint8_t* b, size_t at, uint32_t len);
    int custom_block(const uint8_t* b, size_t at, uint32_t len);
    // An enhanced packet block on a LINKTYPE_USER0 interface: its data are
    // an event's or a gap's custom block bytes after the enterprise number.
    int timeline_record(dump_block& blk);
    int record_option(const uint8_t* v, uint16_t len, size_t at, dump_block& blk,
                      std::string& why);
    // The options of an event or gap (custom block or timeline record), from
    // `p` to `end`: an event's record option, nothing else when strict
    // ("unexpected option N in <where>"). The fault's offset with `why`, or 0.
    size_t event_options(dump_block& blk, const uint8_t* p, const uint8_t* end, const char* where,
                         std::string& why);
    // The strict checks (quarn_dumpwalk_checks.cpp).
    int check_record(const dump_block& blk);
    int check_packet(const dump_block& blk);
    int end_section();
    // Walks every block; 0 when the whole file was walked.
    int run();
};

}  // namespace quarn::dumpwalk

#endif
