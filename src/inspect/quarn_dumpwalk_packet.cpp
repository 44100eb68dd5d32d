// Enhanced packet blocks: one per record with a TCP header, the packet
// data synthesized from it, the direction in epb_flags, the record bytes in
// a custom option.
#include "quarn_dumpwalk.h"

namespace quarn::dumpwalk {

namespace {

// A record on a timeline's records interface is the bytes of the daemon's
// custom block from its subtype on; where its fields fall in those bytes.
constexpr size_t RECORD_FROM = offsetof(custom_block_fixed, subtype);
// The subtype ends where an event's options begin.
constexpr size_t SUBTYPE_END = sizeof(custom_block_fixed) - RECORD_FROM;
constexpr size_t GAP_MISSING_AT = offsetof(gap_fixed, missing) - RECORD_FROM;
constexpr size_t GAP_OPTIONS_AT = sizeof(gap_fixed) - RECORD_FROM;

}  // namespace

int walker::packet_block(const uint8_t* b, size_t at, uint32_t len) {
    if (len < EPB_PACKET_AT + BLOCK_TRAILING_LEN_SIZE) {
        return fail(at, printf_text("enhanced packet block of %u bytes is too short", len));
    }
    dump_block blk = new_block(at, BT_EPB, len, dump_block_kind::packet);
    blk.interface_id = load<uint32_t>(b + offsetof(epb_fixed, interface_id));
    blk.timestamp = (uint64_t{load<uint32_t>(b + offsetof(epb_fixed, ts_high))} << 32) |
                    load<uint32_t>(b + offsetof(epb_fixed, ts_low));
    if (blk.interface_id < clocks.size()) {
        const clock& c = clocks[blk.interface_id];
        blk.timestamp = timestamp_usec(blk.timestamp, c.tsresol, c.tsoffset);
    }
    blk.caplen = load<uint32_t>(b + offsetof(epb_fixed, caplen));
    blk.origlen = load<uint32_t>(b + offsetof(epb_fixed, origlen));
    const size_t room = len - EPB_PACKET_AT - BLOCK_TRAILING_LEN_SIZE;
    if (pad4(blk.caplen) > room) {
        return fail(at + offsetof(epb_fixed, caplen), printf_text("captured length %u runs past the end of the block",
                                         blk.caplen));
    }
    blk.packet = b + EPB_PACKET_AT;
    std::string why;
    const size_t bad = walk_options(
        data, blk.packet + pad4(blk.caplen), b + len - BLOCK_TRAILING_LEN_SIZE, strict, why,
        [&](uint16_t code, const uint8_t* v, uint16_t olen, size_t oat, std::string& w) {
            uint32_t sub;
            if (code == OPT_EPB_FLAGS) {
                if (olen == sizeof(uint32_t)) {
                    blk.has_epb_flags = true;
                    blk.epb_flags = load<uint32_t>(v);
                } else if (strict) {
                    w = printf_text("epb_flags option of length %u", olen);
                    return false;
                }
            } else if (our_custom(code, v, olen, sub)) {
                if (sub == OPT_SUB_RECORD) return record_option(v, olen, oat, blk, w) == 0;
                if (strict) {
                    w = printf_text("unknown custom option subtype %u in a packet block", sub);
                    return false;
                }
            }
            return true;
        });
    if (bad) return fail(bad, why);
    if (blk.interface_id < link_types.size() && link_types[blk.interface_id] == LINKTYPE_USER0) {
        return timeline_record(blk);
    }
    out.blocks.push_back(blk);
    if (strict) return check_packet(out.blocks.back());
    return 0;
}

int walker::timeline_record(dump_block& blk) {
    const uint8_t* d = blk.packet;
    const size_t data_at = static_cast<size_t>(d - data);
    if (blk.caplen < SUBTYPE_END || blk.caplen != blk.origlen) {
        if (daemon_checks()) {
            return fail(blk.offset + offsetof(epb_fixed, caplen),
                        printf_text("record of %u bytes (%u on the wire) on the records interface",
                                    blk.caplen, blk.origlen));
        }
        blk.kind = dump_block_kind::other;
        out.blocks.push_back(blk);
        return 0;
    }
    blk.pen = PEN;
    blk.subtype = load<uint32_t>(d);
    const uint8_t* opts = d + SUBTYPE_END;
    if (blk.subtype == CB_SUB_EVENT) {
        blk.kind = dump_block_kind::event;
    } else if (blk.subtype == CB_SUB_GAP && blk.caplen >= GAP_OPTIONS_AT) {
        blk.kind = dump_block_kind::gap;
        blk.missing = load<uint32_t>(d + GAP_MISSING_AT);
        opts = d + GAP_OPTIONS_AT;
    } else {
        if (daemon_checks()) {
            return fail(data_at, printf_text("record of subtype %u on the records interface", blk.subtype));
        }
        blk.kind = dump_block_kind::other;
        out.blocks.push_back(blk);
        return 0;
    }
    std::string why;
    const size_t bad = event_options(blk, opts, d + blk.caplen, "a record", why);
    if (bad) return fail(bad, why);
    out.blocks.push_back(blk);
    if (!daemon_checks()) return 0;
    if (blk.kind == dump_block_kind::gap && blk.missing == 0) {
        return fail(data_at + GAP_MISSING_AT, "gap record with no records missing");
    }
    if (blk.kind == dump_block_kind::event && !blk.record) {
        return fail(blk.offset, "event record without its record bytes");
    }
    return 0;
}

}  // namespace quarn::dumpwalk
