// A section header block with our options (log format version, dump time,
// log header, stack name), and the interface description blocks after it.
#include "quarn_dumpwalk.h"

namespace quarn::dumpwalk {

namespace {

// One option of a section header: ours are kept in `s`, others pass. False
// with `w` set when a strict walk meets an option of ours it cannot take.
bool section_option(dump_section& s, uint16_t code, const uint8_t* v, uint16_t olen, bool strict,
                    std::string& w) {
    uint32_t sub;
    if (code != OPT_CUSTOM) s.rewritten = true;
    if (!our_custom(code, v, olen, sub)) return true;
    const uint8_t* pay = v + CUSTOM_OPT_PAYLOAD_AT;
    const size_t plen = olen - CUSTOM_OPT_PAYLOAD_AT;
    size_t want = 0;
    switch (sub) {
    case OPT_SUB_LOG_VERSION:
        want = sizeof(uint32_t);
        if (plen == want) {
            s.has_log_version = true;
            s.log_version = load<uint32_t>(pay);
        }
        break;
    case OPT_SUB_DUMP_TIME:
        want = sizeof(int64_t);
        if (plen == want) {
            s.has_dump_time = true;
            s.dump_time = load<int64_t>(pay);
        }
        break;
    case OPT_SUB_LOG_HEADER:
        want = LOG_HEADER_SIZE;
        if (plen == want) s.log_header = pay;
        break;
    case OPT_SUB_STACK_NAME:
        if (plen >= 1) {
            s.has_stack = true;
            s.stack_id = pay[0];
            s.stack_name = std::string_view(reinterpret_cast<const char*>(pay + 1), plen - 1);
        } else if (strict) {
            w = "stack name option without a stack id";
            return false;
        }
        return true;
    default:
        if (strict) {
            w = printf_text("unknown custom option subtype %u in a section header", sub);
            return false;
        }
        return true;
    }
    if (plen != want && strict) {
        w = printf_text("custom option subtype %u of %zu bytes, not %zu", sub, plen, want);
        return false;
    }
    return true;
}

}  // namespace

int walker::section_block(const uint8_t* b, size_t at, uint32_t len) {
    if (len < sizeof(shb_fixed) + BLOCK_TRAILING_LEN_SIZE) {
        return fail(at, printf_text("section header block of %u bytes is too short", len));
    }
    const uint32_t magic = load<uint32_t>(b + offsetof(shb_fixed, magic));
    if (magic != BYTE_ORDER_MAGIC) {
        return fail(at + offsetof(shb_fixed, magic), magic == __builtin_bswap32(BYTE_ORDER_MAGIC)
                                ? std::string("section in the other byte order (not supported)")
                                : printf_text("byte-order magic 0x%08x", magic));
    }
    const uint16_t major = load<uint16_t>(b + offsetof(shb_fixed, major));
    const uint16_t minor = load<uint16_t>(b + offsetof(shb_fixed, minor));
    if (strict && (major != PCAPNG_MAJOR || minor != PCAPNG_MINOR)) {
        return fail(at + offsetof(shb_fixed, major),
                    printf_text("pcapng version %u.%u, not %u.%u", major, minor, PCAPNG_MAJOR,
                                PCAPNG_MINOR));
    }
    dump_section s;
    s.offset = at;
    std::string why;
    const size_t bad = walk_options(
        data, b + sizeof(shb_fixed), b + len - BLOCK_TRAILING_LEN_SIZE, strict, why,
        [&](uint16_t code, const uint8_t* v, uint16_t olen, size_t, std::string& w) {
            return section_option(s, code, v, olen, strict, w);
        });
    if (bad) return fail(bad, why);
    if (strict && dump_section_is_daemons(s)) {
        const char* missing = !s.has_log_version ? "log format version"
                              : !s.has_dump_time ? "dump time"
                              : !s.log_header    ? "log header"
                              : !s.has_stack     ? "stack name"
                                                 : nullptr;
        if (missing) return fail(at, std::string("section header without its ") + missing + " option");
        if (s.log_version != TCP_LOG_VERSION) {
            return fail(at, printf_text("log format version %u, not %u", s.log_version,
                                        TCP_LOG_VERSION));
        }
        const uint8_t af = tlh_af(s.log_header);
        if (af != TLH_AF_INET && af != TLH_AF_INET6) {
            return fail(static_cast<size_t>(s.log_header + OFF_TLH_AF - data),
                        printf_text("log header with address family %u", af));
        }
    }
    out.sections.push_back(s);
    dump_block blk = new_block(at, BT_SHB, len, dump_block_kind::section);
    out.blocks.push_back(blk);
    if (have_prev) {
        have_earlier = true;
        earlier_serial = prev_serial;
    }
    have_prev = false;
    pending_gap = false;
    link_types.clear();
    clocks.clear();
    timeline = false;
    return 0;
}

int walker::interface_block(const uint8_t* b, size_t at, uint32_t len) {
    if (len < sizeof(idb_fixed) + BLOCK_TRAILING_LEN_SIZE) {
        return fail(at, printf_text("interface description block of %u bytes is too short", len));
    }
    dump_block blk = new_block(at, BT_IDB, len, dump_block_kind::interface);
    blk.link_type = load<uint16_t>(b + offsetof(idb_fixed, linktype));
    blk.snap_len = load<uint32_t>(b + offsetof(idb_fixed, snaplen));
    if (daemon_checks() && blk.link_type != LINKTYPE_NULL && blk.link_type != LINKTYPE_USER0) {
        return fail(at + offsetof(idb_fixed, linktype),
                    printf_text("interface with link type %u, not %u or %u", blk.link_type,
                                LINKTYPE_NULL, LINKTYPE_USER0));
    }
    std::string why;
    clock c;
    const size_t bad =
        walk_options(data, b + sizeof(idb_fixed), b + len - BLOCK_TRAILING_LEN_SIZE, strict, why,
                     [&](uint16_t code, const uint8_t* v, uint16_t olen, size_t, std::string& w) {
                         if (code != OPT_IF_TSRESOL && code != OPT_IF_TSOFFSET) return true;
                         const size_t want = code == OPT_IF_TSRESOL ? 1 : sizeof(int64_t);
                         if (olen != want) {
                             if (!strict) return true;
                             w = printf_text("%s option of length %u",
                                             code == OPT_IF_TSRESOL ? "if_tsresol" : "if_tsoffset", olen);
                             return false;
                         }
                         if (code == OPT_IF_TSRESOL) c.tsresol = v[0];
                         else c.tsoffset = load<int64_t>(v);
                         return true;
                     });
    if (bad) return fail(bad, why);
    out.sections.back().interfaces++;
    link_types.push_back(blk.link_type);
    clocks.push_back(c);
    if (blk.link_type == LINKTYPE_USER0) timeline = true;
    out.blocks.push_back(blk);
    return 0;
}

}  // namespace quarn::dumpwalk
