// The walk's frame: block headers and trailers checked, each block handed to
// the unit of its kind, and the record option that packets and events share.
#include "quarn_dumpwalk.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace quarn::dumpwalk {


uint64_t timestamp_usec(uint64_t raw, uint8_t tsresol, int64_t tsoffset) {
    using wide = __int128;
    const unsigned n = tsresol & 0x7f;
    wide usec;
    if (tsresol & 0x80) {
        // 2^-n s: raw * 10^6 < 2^84, so n up to 127 shifts within 128 bits.
        usec = (wide{raw} * 1000000) >> n;
    } else if (n >= 6) {
        wide unit = 1;  // 10^(n-6) raw units a microsecond; past 10^38 none
        for (unsigned i = 6; i < n && unit <= wide{UINT64_MAX}; i++) unit *= 10;
        usec = wide{raw} / unit;
    } else {
        wide scale = 1;
        for (unsigned i = n; i < 6; i++) scale *= 10;
        usec = wide{raw} * scale;
    }
    usec += wide{tsoffset} * 1000000;
    if (usec < 0) return 0;
    if (usec > wide{UINT64_MAX}) return UINT64_MAX;
    return static_cast<uint64_t>(usec);
}

bool our_custom(uint16_t code, const uint8_t* v, uint16_t len, uint32_t& subtype) {
    if (code != OPT_CUSTOM || len < CUSTOM_OPT_PAYLOAD_AT || load<uint32_t>(v) != PEN) return false;
    subtype = load<uint32_t>(v + sizeof PEN);
    return true;
}

int walker::fail(size_t at, std::string why, dump_fault_kind kind) {
    size_t start = block_at;
    if (at < block_at) {
        // A field of an earlier block (the section header's log header,
        // faulted at the section's end): the last block that starts at or
        // before it.
        const auto it = std::upper_bound(out.blocks.begin(), out.blocks.end(), at,
                                         [](size_t a, const dump_block& b) { return a < b.offset; });
        start = it == out.blocks.begin() ? 0 : std::prev(it)->offset;
    }
    fault.offset = start;
    fault.message = std::move(why);
    fault.kind = kind;
    if (at != start) fault.message += printf_text(" (byte %zu of the block)", at - start);
    return -1;
}

int walker::record_option(const uint8_t* v, uint16_t len, size_t at, dump_block& blk,
                          std::string& why) {
    if (len != CUSTOM_OPT_PAYLOAD_AT + REC_COPY_SIZE) {
        if (!strict) return 0;
        why = printf_text("record option of length %u, not %zu", len,
                          CUSTOM_OPT_PAYLOAD_AT + REC_COPY_SIZE);
        return -1;
    }
    if (blk.record && strict) {
        why = "second record option in one block";
        return -1;
    }
    (void)at;
    blk.record = v + CUSTOM_OPT_PAYLOAD_AT;
    return 0;
}

size_t walker::event_options(dump_block& blk, const uint8_t* p, const uint8_t* end, const char* where,
                             std::string& why) {
    return walk_options(data, p, end, strict, why,
                        [&](uint16_t code, const uint8_t* v, uint16_t olen, size_t oat, std::string& w) {
                            uint32_t sub;
                            if (blk.kind == dump_block_kind::event && our_custom(code, v, olen, sub) &&
                                sub == OPT_SUB_RECORD) {
                                return record_option(v, olen, oat, blk, w) == 0;
                            }
                            if (daemon_checks()) {
                                w = printf_text("unexpected option %u in %s", code, where);
                                return false;
                            }
                            return true;
                        });
}

int walker::run() {
    size_t at = 0;
    if (size == 0) return fail(0, "empty file", dump_fault_kind::empty);
    while (at < size) {
        block_at = at;
        if (size - at < sizeof(block_header)) {
            return fail(at, "block header cut by the end of the file", dump_fault_kind::cut_short);
        }
        const uint8_t* b = data + at;
        const uint32_t type = load<uint32_t>(b + offsetof(block_header, type));
        const uint32_t len = load<uint32_t>(b + offsetof(block_header, blocklen));
        if (at == 0 && type != BT_SHB) return fail(0, "not a pcapng file (no section header first)");
        if (len < BLOCK_MIN || len % 4 != 0) {
            return fail(at + offsetof(block_header, blocklen), printf_text("block length %u", len));
        }
        if (len > size - at) {
            return fail(at + offsetof(block_header, blocklen),
                        printf_text("block of %u bytes cut by the end of the file (%zu left)", len,
                                    size - at),
                        dump_fault_kind::cut_short);
        }
        const size_t trailing_at = len - BLOCK_TRAILING_LEN_SIZE;
        if (load<uint32_t>(b + trailing_at) != len) {
            return fail(at + trailing_at, printf_text("trailing block length %u, leading %u",
                                                      load<uint32_t>(b + trailing_at), len));
        }
        int rc;
        switch (type) {
        case BT_SHB:
            if (end_section() != 0) return -1;
            rc = section_block(b, at, len);
            break;
        case BT_IDB: rc = interface_block(b, at, len); break;
        case BT_EPB: rc = packet_block(b, at, len); break;
        case BT_CUSTOM: rc = custom_block(b, at, len); break;
        default:
            // Other writers' blocks (name resolution, statistics...) are
            // sound pcapng; the daemon writes none.
            if (daemon_checks()) return fail(at, printf_text("unknown block type 0x%08x", type));
            {
                dump_block blk = new_block(at, type, len, dump_block_kind::other);
                out.blocks.push_back(blk);
            }
            rc = 0;
            break;
        }
        if (rc != 0) return rc;
        at += len;
    }
    return end_section();
}

}  // namespace quarn::dumpwalk

namespace quarn {

int dump_parse(const uint8_t* data, size_t size, bool strict, dump_contents& out,
               dump_fault& fault) {
    out.sections.clear();
    out.blocks.clear();
    fault = dump_fault{};
    dumpwalk::walker w{data, size, strict, out, fault};
    return w.run();
}

bool dump_section_is_daemons(const dump_section& s) {
    const bool any_ours = s.has_log_version || s.has_dump_time || s.log_header || s.has_stack;
    return any_ours && !s.rewritten;
}

uint64_t dump_section_record_bytes(const dump_contents& c, size_t section) {
    uint64_t n = 0;
    for (const dump_block& b : c.blocks) {
        if (b.section == section && b.record) n += rec_size(b.record);
    }
    return n;
}

}  // namespace quarn
