// Custom blocks of ours: events (records that make no packet, with their
// record bytes in an option) and gaps (records the log lost).
#include "quarn_dumpwalk.h"

namespace quarn::dumpwalk {

int walker::custom_block(const uint8_t* b, size_t at, uint32_t len) {
    dump_block blk = new_block(at, BT_CUSTOM, len, dump_block_kind::other);
    if (len < offsetof(custom_block_fixed, subtype) + BLOCK_TRAILING_LEN_SIZE) {
        return fail(at, printf_text("custom block of %u bytes is too short", len));
    }
    blk.pen = load<uint32_t>(b + offsetof(custom_block_fixed, pen));
    const uint8_t* opts = b + offsetof(custom_block_fixed, subtype);
    if (blk.pen == PEN && len >= sizeof(custom_block_fixed) + BLOCK_TRAILING_LEN_SIZE) {
        blk.subtype = load<uint32_t>(b + offsetof(custom_block_fixed, subtype));
        opts = b + sizeof(custom_block_fixed);
        if (blk.subtype == CB_SUB_EVENT) {
            blk.kind = dump_block_kind::event;
        } else if (blk.subtype == CB_SUB_GAP) {
            if (len < sizeof(gap_fixed) + BLOCK_TRAILING_LEN_SIZE) {
                return fail(at, printf_text("gap block of %u bytes is too short", len));
            }
            blk.kind = dump_block_kind::gap;
            blk.missing = load<uint32_t>(b + offsetof(gap_fixed, missing));
            opts = b + sizeof(gap_fixed);
        }
    }
    if (daemon_checks() && blk.kind == dump_block_kind::other) {
        return fail(at, blk.pen != PEN
                            ? printf_text("custom block of enterprise number %u", blk.pen)
                            : printf_text("custom block of unknown subtype %u", blk.subtype));
    }
    std::string why;
    const size_t bad =
        event_options(blk, opts, b + len - BLOCK_TRAILING_LEN_SIZE, "a custom block", why);
    if (bad) return fail(bad, why);
    out.blocks.push_back(blk);
    if (!daemon_checks()) return 0;
    if (blk.kind == dump_block_kind::gap) {
        if (blk.missing == 0) {
            return fail(at + offsetof(gap_fixed, missing), "gap block with no records missing");
        }
        if (!have_prev) {
            // Only a joined file's jump between parts stands there, after
            // a part that held records.
            if (!have_earlier) return fail(at, "gap block before the section's first record");
            have_prev = true;
            prev_serial = earlier_serial;
        }
        if (pending_gap) return fail(at, "two gap blocks in a row");
        pending_gap = true;
        gap_missing = blk.missing;
        gap_offset = at;
        return 0;
    }
    // A record with the TCP-header flag may stand here too: one whose header
    // cannot make a packet is kept as an event, and its header is not in
    // the file to tell.
    const dump_block& e = out.blocks.back();
    if (!e.record) return fail(at, "event block without its record option");
    return check_record(e);
}

}  // namespace quarn::dumpwalk
