// Enhanced packet blocks: one per record with a TCP header, the packet
// data synthesized from it, the direction in epb_flags, the record bytes in
// a custom option.
#include "quarn_dumpwalk.h"

namespace quarn::dumpwalk {

int walker::packet_block(const uint8_t* b, size_t at, uint32_t len) {
    if (len < BLOCK_MIN + EPB_BODY) {
        return fail(at, printf_text("enhanced packet block of %u bytes is too short", len));
    }
    dump_block blk;
    blk.kind = dump_block_kind::packet;
    blk.offset = at;
    blk.type = BT_EPB;
    blk.length = len;
    blk.section = out.sections.size() - 1;
    blk.interface_id = load<uint32_t>(b + 8);
    blk.timestamp = (uint64_t{load<uint32_t>(b + 12)} << 32) | load<uint32_t>(b + 16);
    blk.caplen = load<uint32_t>(b + 20);
    blk.origlen = load<uint32_t>(b + 24);
    const size_t room = len - BLOCK_MIN - EPB_BODY;
    if (pad4(blk.caplen) > room) {
        return fail(at + 20, printf_text("captured length %u runs past the end of the block",
                                         blk.caplen));
    }
    blk.packet = b + 28;
    std::string why;
    const size_t bad = walk_options(
        data, b + 28 + pad4(blk.caplen), b + len - 4, strict, why,
        [&](uint16_t code, const uint8_t* v, uint16_t olen, size_t oat, std::string& w) {
            uint32_t sub;
            if (code == OPT_EPB_FLAGS) {
                if (olen == 4) {
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
    out.blocks.push_back(blk);
    if (strict) return check_packet(out.blocks.back());
    return 0;
}

}  // namespace quarn::dumpwalk
