// Reading dump files back. The walk keeps one cursor per block and checks
// every length against the bytes that remain before reading behind it; the
// strict checks compare what a block says with what the record bytes it
// carries imply, the way the block writers derived one from the other.
#include "quarn_dumpread.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "quarn_logfmt.h"
#include "quarn_pcapng.h"

namespace quarn {

namespace {

constexpr uint8_t XZ_MAGIC[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr uint8_t ZSTD_MAGIC[] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr size_t BLOCK_MIN = 12;        // type, length, trailing length
constexpr size_t SHB_BODY = 16;         // magic, version, section length
constexpr size_t IDB_BODY = 8;          // link type, reserved, snap length
constexpr size_t EPB_BODY = 20;         // interface, timestamp, caplen, origlen
constexpr size_t OPT_HDR = 4;
constexpr size_t CUSTOM_PAYLOAD_AT = 8;  // PEN and subtype before the payload
constexpr size_t AF_WORD = 4;
constexpr uint32_t EPB_FLAGS_IN = 1;
constexpr uint32_t EPB_FLAGS_OUT = 2;
constexpr size_t READ_CHUNK = 1 << 16;

size_t pad4(size_t n) { return (n + 3) & ~size_t{3}; }

// Internet checksum (RFC 1071): big-endian 16-bit words summed, the carries
// folded back, the result complemented.
uint64_t sum_words(const uint8_t* p, size_t n, uint64_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += load_be16(p + i);
    if (n % 2) sum += uint64_t{p[n - 1]} << 8;
    return sum;
}
uint16_t fold_complement(uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::string printf_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_text(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Grows `out` by up to `want` bytes within DUMP_MAX_BYTES; false when full.
bool grow(std::vector<uint8_t>& out, size_t used, size_t want) {
    if (used >= DUMP_MAX_BYTES) return false;
    const size_t n = std::min(want, DUMP_MAX_BYTES - used);
    out.resize(used + n);
    return true;
}

int decompress_xz(const uint8_t* in, size_t size, std::vector<uint8_t>& out, std::string& err) {
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&s, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) {
        err = "cannot set up the XZ decoder";
        return -1;
    }
    s.next_in = in;
    s.avail_in = size;
    size_t used = 0;
    int rc = -1;
    for (;;) {
        if (!grow(out, used, READ_CHUNK)) {
            err = "XZ data decompresses to more than the size limit";
            break;
        }
        s.next_out = out.data() + used;
        s.avail_out = out.size() - used;
        const lzma_ret r = lzma_code(&s, LZMA_FINISH);
        used = out.size() - s.avail_out;
        if (r == LZMA_STREAM_END) {
            rc = 0;
            break;
        }
        if (r == LZMA_OK) continue;
        err = r == LZMA_BUF_ERROR ? "XZ data ends before its stream does"
                                  : printf_text("XZ data is damaged (decoder result %d)", r);
        break;
    }
    lzma_end(&s);
    out.resize(used);
    return rc;
}

int decompress_zstd(const uint8_t* in, size_t size, std::vector<uint8_t>& out, std::string& err) {
    ZSTD_DCtx* ctx = ZSTD_createDCtx();
    if (!ctx) {
        err = "cannot set up the zstd decoder";
        return -1;
    }
    ZSTD_inBuffer ib{in, size, 0};
    size_t used = 0;
    int rc = 0;
    for (;;) {
        if (!grow(out, used, READ_CHUNK)) {
            err = "zstd data decompresses to more than the size limit";
            rc = -1;
            break;
        }
        ZSTD_outBuffer ob{out.data(), out.size(), used};
        const size_t r = ZSTD_decompressStream(ctx, &ob, &ib);
        used = ob.pos;
        if (ZSTD_isError(r)) {
            err = std::string("zstd data is damaged: ") + ZSTD_getErrorName(r);
            rc = -1;
            break;
        }
        // The decoder stopped short of the space it had: it needs input.
        if (ib.pos == ib.size && ob.pos < ob.size) {
            if (r != 0) {
                err = "zstd data ends before its frame does";
                rc = -1;
            }
            break;
        }
    }
    ZSTD_freeDCtx(ctx);
    out.resize(used);
    return rc;
}

// Options of one block, from `p` to `end`. Calls visit(code, value, len,
// file offset of the option) for each option before the end-of-options
// option. Returns the offset of a fault and sets `why`, or 0 when sound.
// `need_end`: the list must end with end-of-options exactly at `end`.
template <typename F>
size_t walk_options(const uint8_t* base, const uint8_t* p, const uint8_t* end, bool need_end,
                    std::string& why, F visit) {
    while (p < end) {
        const size_t at = static_cast<size_t>(p - base);
        if (static_cast<size_t>(end - p) < OPT_HDR) {
            why = "option header cut by the end of the block";
            return at;
        }
        const uint16_t code = load<uint16_t>(p);
        const uint16_t len = load<uint16_t>(p + 2);
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

// A custom option of ours: PEN 32473, then the subtype.
bool our_custom(uint16_t code, const uint8_t* v, uint16_t len, uint32_t& subtype) {
    if (code != OPT_CUSTOM || len < CUSTOM_PAYLOAD_AT || load<uint32_t>(v) != PEN) return false;
    subtype = load<uint32_t>(v + 4);
    return true;
}

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

    int fail(size_t at, std::string why) {
        fault.offset = at;
        fault.message = std::move(why);
        return -1;
    }

    int section_block(const uint8_t* b, size_t at, uint32_t len);
    int interface_block(const uint8_t* b, size_t at, uint32_t len);
    int packet_block(const uint8_t* b, size_t at, uint32_t len);
    int custom_block(const uint8_t* b, size_t at, uint32_t len);
    int record_option(const uint8_t* v, uint16_t len, size_t at, dump_block& blk,
                      std::string& why);
    int check_record(const dump_block& blk);
    int check_packet(const dump_block& blk);
    int end_section();
    int run();
};

int walker::record_option(const uint8_t* v, uint16_t len, size_t at, dump_block& blk,
                          std::string& why) {
    if (len != CUSTOM_PAYLOAD_AT + REC_COPY_SIZE) {
        if (!strict) return 0;
        why = printf_text("record option of length %u, not %zu", len,
                          CUSTOM_PAYLOAD_AT + REC_COPY_SIZE);
        return -1;
    }
    if (blk.record && strict) {
        why = "second record option in one block";
        return -1;
    }
    (void)at;
    blk.record = v + CUSTOM_PAYLOAD_AT;
    return 0;
}

int walker::section_block(const uint8_t* b, size_t at, uint32_t len) {
    if (len < BLOCK_MIN + SHB_BODY) {
        return fail(at, printf_text("section header block of %u bytes is too short", len));
    }
    const uint32_t magic = load<uint32_t>(b + 8);
    if (magic != BYTE_ORDER_MAGIC) {
        return fail(at + 8, magic == __builtin_bswap32(BYTE_ORDER_MAGIC)
                                ? std::string("section in the other byte order (not supported)")
                                : printf_text("byte-order magic 0x%08x", magic));
    }
    if (strict && (load<uint16_t>(b + 12) != 1 || load<uint16_t>(b + 14) != 0)) {
        return fail(at + 12, printf_text("pcapng version %u.%u, not 1.0", load<uint16_t>(b + 12),
                                         load<uint16_t>(b + 14)));
    }
    dump_section s;
    s.offset = at;
    std::string why;
    const size_t bad = walk_options(
        data, b + 8 + SHB_BODY, b + len - 4, strict, why,
        [&](uint16_t code, const uint8_t* v, uint16_t olen, size_t oat, std::string& w) {
            uint32_t sub;
            if (!our_custom(code, v, olen, sub)) return true;
            const uint8_t* pay = v + CUSTOM_PAYLOAD_AT;
            const size_t plen = olen - CUSTOM_PAYLOAD_AT;
            size_t want = 0;
            switch (sub) {
            case OPT_SUB_LOG_VERSION:
                want = 4;
                if (plen == want) {
                    s.has_log_version = true;
                    s.log_version = load<uint32_t>(pay);
                }
                break;
            case OPT_SUB_DUMP_TIME:
                want = 8;
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
            (void)oat;
            return true;
        });
    if (bad) return fail(bad, why);
    if (strict) {
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
    dump_block blk;
    blk.kind = dump_block_kind::section;
    blk.offset = at;
    blk.type = BT_SHB;
    blk.length = len;
    blk.section = out.sections.size() - 1;
    out.blocks.push_back(blk);
    have_prev = false;
    pending_gap = false;
    return 0;
}

int walker::interface_block(const uint8_t* b, size_t at, uint32_t len) {
    if (len < BLOCK_MIN + IDB_BODY) {
        return fail(at, printf_text("interface description block of %u bytes is too short", len));
    }
    dump_block blk;
    blk.kind = dump_block_kind::interface;
    blk.offset = at;
    blk.type = BT_IDB;
    blk.length = len;
    blk.section = out.sections.size() - 1;
    blk.link_type = load<uint16_t>(b + 8);
    blk.snap_len = load<uint32_t>(b + 12);
    if (strict && blk.link_type != LINKTYPE_NULL) {
        return fail(at + 8, printf_text("interface with link type %u, not %u", blk.link_type,
                                        LINKTYPE_NULL));
    }
    std::string why;
    const size_t bad =
        walk_options(data, b + 8 + IDB_BODY, b + len - 4, strict, why,
                     [](uint16_t, const uint8_t*, uint16_t, size_t, std::string&) { return true; });
    if (bad) return fail(bad, why);
    out.sections.back().interfaces++;
    out.blocks.push_back(blk);
    return 0;
}

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

int walker::custom_block(const uint8_t* b, size_t at, uint32_t len) {
    dump_block blk;
    blk.offset = at;
    blk.type = BT_CUSTOM;
    blk.length = len;
    blk.section = out.sections.size() - 1;
    if (len < BLOCK_MIN + 4) return fail(at, printf_text("custom block of %u bytes is too short", len));
    blk.pen = load<uint32_t>(b + 8);
    const uint8_t* opts = b + 12;
    if (blk.pen == PEN && len >= BLOCK_MIN + 8) {
        blk.subtype = load<uint32_t>(b + 12);
        opts = b + 16;
        if (blk.subtype == CB_SUB_EVENT) {
            blk.kind = dump_block_kind::event;
        } else if (blk.subtype == CB_SUB_GAP) {
            if (len < BLOCK_MIN + 12) return fail(at, printf_text("gap block of %u bytes is too short", len));
            blk.kind = dump_block_kind::gap;
            blk.missing = load<uint32_t>(b + 16);
            opts = b + 20;
        }
    }
    if (strict && blk.kind == dump_block_kind::other) {
        return fail(at, blk.pen != PEN
                            ? printf_text("custom block of enterprise number %u", blk.pen)
                            : printf_text("custom block of unknown subtype %u", blk.subtype));
    }
    std::string why;
    const size_t bad = walk_options(
        data, opts, b + len - 4, strict, why,
        [&](uint16_t code, const uint8_t* v, uint16_t olen, size_t oat, std::string& w) {
            uint32_t sub;
            if (blk.kind == dump_block_kind::event && our_custom(code, v, olen, sub) &&
                sub == OPT_SUB_RECORD) {
                return record_option(v, olen, oat, blk, w) == 0;
            }
            if (strict) {
                w = printf_text("unexpected option %u in a custom block", code);
                return false;
            }
            return true;
        });
    if (bad) return fail(bad, why);
    out.blocks.push_back(blk);
    if (!strict) return 0;
    if (blk.kind == dump_block_kind::gap) {
        if (blk.missing == 0) return fail(at + 16, "gap block with no records missing");
        if (!have_prev) return fail(at, "gap block before the section's first record");
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

// Checks shared by packet and event blocks: the section's stack and the
// serial numbers.
int walker::check_record(const dump_block& blk) {
    const dump_section& s = out.sections[blk.section];
    const size_t rec_at = static_cast<size_t>(blk.record - data);
    if (rec_stack_id(blk.record) != s.stack_id) {
        return fail(rec_at + OFF_REC_STACK_ID,
                    printf_text("record of stack %u in a section of stack %u",
                                rec_stack_id(blk.record), s.stack_id));
    }
    const uint32_t serial = rec_serial(blk.record);
    if (have_prev) {
        const uint32_t want = prev_serial + 1 + (pending_gap ? gap_missing : 0);
        if (serial != want) {
            return fail(rec_at + OFF_REC_SERIAL,
                        pending_gap
                            ? printf_text("serial %u after %u and a gap of %u (block at %zu)",
                                          serial, prev_serial, gap_missing, gap_offset)
                            : printf_text("serial %u after %u without a gap block", serial,
                                          prev_serial));
        }
    }
    have_prev = true;
    prev_serial = serial;
    pending_gap = false;
    return 0;
}

// A packet's data against the record bytes and the log header it came from.
int walker::check_packet(const dump_block& blk) {
    const dump_section& s = out.sections[blk.section];
    const size_t at = blk.offset;
    if (blk.interface_id >= s.interfaces) {
        return fail(at + 8, printf_text("packet on interface %u of a section with %u interfaces",
                                        blk.interface_id, s.interfaces));
    }
    if (blk.caplen > blk.origlen) {
        return fail(at + 20, printf_text("captured length %u above the original length %u",
                                         blk.caplen, blk.origlen));
    }
    if (!blk.record) return fail(at, "packet block without its record option");
    if (!blk.has_epb_flags) return fail(at, "packet block without its epb_flags option");
    const uint8_t* rec = blk.record;
    const uint8_t* hdr = s.log_header;
    const uint8_t af = tlh_af(hdr);
    if (!(rec_flags(rec) & REC_FLAG_HAS_TH)) {
        return fail(at, "packet block for a record without a TCP header");
    }
    const bool inbound = rec_event_id(rec) == REC_EVENT_IN;
    if (blk.epb_flags != (inbound ? EPB_FLAGS_IN : EPB_FLAGS_OUT)) {
        return fail(at, printf_text("epb_flags %u for a record of event %u", blk.epb_flags,
                                    rec_event_id(rec)));
    }
    const size_t ip_len = af == TLH_AF_INET6 ? 40 : 20;
    const size_t pkt_at = at + 28;
    if (blk.caplen < AF_WORD + ip_len + 20) {
        return fail(at + 20, printf_text("captured length %u too short for the headers", blk.caplen));
    }
    const uint8_t* p = blk.packet;
    if (load<uint32_t>(p) != af) {
        return fail(pkt_at, printf_text("address family word %u in a section of family %u",
                                        load<uint32_t>(p), af));
    }
    const uint8_t* ip = p + AF_WORD;
    const uint8_t* faddr = hdr + OFF_TLH_FADDR + (af == TLH_AF_INET6 ? 0 : IPV4_IN_ADDR_FIELD);
    const uint8_t* laddr = hdr + OFF_TLH_LADDR + (af == TLH_AF_INET6 ? 0 : IPV4_IN_ADDR_FIELD);
    const size_t alen = af == TLH_AF_INET6 ? 16 : 4;
    const uint8_t* src = ip + (af == TLH_AF_INET6 ? 8 : 12);
    const uint8_t version = af == TLH_AF_INET6 ? 0x60 : 0x45;
    if ((ip[0] & (af == TLH_AF_INET6 ? 0xF0 : 0xFF)) != version) {
        return fail(pkt_at + AF_WORD, printf_text("IP header starts with 0x%02x", ip[0]));
    }
    if (memcmp(src, inbound ? faddr : laddr, alen) != 0 ||
        memcmp(src + alen, inbound ? laddr : faddr, alen) != 0) {
        return fail(pkt_at + AF_WORD, "IP addresses differ from the log header's");
    }
    const uint8_t* th = ip + ip_len;
    const uint16_t sport = load_be16(th), dport = load_be16(th + 2);
    const uint16_t want_s = inbound ? tlh_fport(hdr) : tlh_lport(hdr);
    const uint16_t want_d = inbound ? tlh_lport(hdr) : tlh_fport(hdr);
    if (sport != want_s || dport != want_d) {
        return fail(pkt_at + AF_WORD + ip_len,
                    printf_text("TCP ports %u > %u, the log header gives %u > %u", sport, dport,
                                want_s, want_d));
    }
    const uint32_t th_len = static_cast<uint32_t>(th[OFF_TH_DATA_OFFSET] >> 4) * 4;
    const uint64_t origlen = uint64_t{AF_WORD} + ip_len + th_len + rec_payload_len(rec);
    if (th_len < 20 || origlen != blk.origlen) {
        return fail(at + 24, printf_text("original length %u; the TCP header and the record give %llu",
                                         blk.origlen, static_cast<unsigned long long>(origlen)));
    }
    // The synthesized lengths and checksums, over the headers the packet
    // shows (its payload is all zero and adds nothing to a sum).
    const uint32_t seg_len = th_len + rec_payload_len(rec);
    const size_t ip_at = pkt_at + AF_WORD;
    if (af == TLH_AF_INET) {
        if (load_be16(ip + 2) != ((seg_len + 20) & 0xFFFF)) {
            return fail(ip_at + 2, printf_text("IPv4 total length %u, the segment gives %u",
                                               load_be16(ip + 2), (seg_len + 20) & 0xFFFF));
        }
        if (fold_complement(sum_words(ip, 20)) != 0) {
            return fail(ip_at + 10, "IPv4 header checksum wrong");
        }
    } else if (load_be16(ip + 4) != (seg_len & 0xFFFF)) {
        return fail(ip_at + 4, printf_text("IPv6 payload length %u, the segment gives %u",
                                           load_be16(ip + 4), seg_len & 0xFFFF));
    }
    if (AF_WORD + ip_len + th_len > blk.caplen) {
        return fail(at + 20, printf_text("captured length %u cuts the %u-byte TCP header",
                                         blk.caplen, th_len));
    }
    const uint64_t pseudo = sum_words(src, 2 * alen, 6 + (seg_len & 0xFFFF));
    const uint16_t want_sum =
        fold_complement(sum_words(th + 18, th_len - 18, sum_words(th, 16, pseudo)));
    if (load_be16(th + 16) != want_sum) {
        return fail(ip_at + ip_len + 16, printf_text("TCP checksum 0x%04x, the segment gives 0x%04x",
                                                     load_be16(th + 16), want_sum));
    }
    const timeval64 off = tlh_offset(hdr), rt = rec_time(rec);
    const unsigned __int128 ts = static_cast<unsigned __int128>(
        (static_cast<__int128>(off.sec) + rt.sec) * 1000000 + off.usec + rt.usec);
    if (static_cast<uint64_t>(ts) != blk.timestamp) {
        return fail(at + 12, "timestamp differs from the record's time and the header's offset");
    }
    return check_record(blk);
}

int walker::end_section() {
    if (!strict || out.sections.empty()) return 0;
    const size_t si = out.sections.size() - 1;
    const dump_section& s = out.sections[si];
    if (pending_gap) return fail(gap_offset, "gap block without a record after it");
    const uint64_t bytes = dump_section_record_bytes(out, si);
    if (bytes > tlh_length(s.log_header)) {
        return fail(static_cast<size_t>(s.log_header + OFF_TLH_LENGTH - data),
                    printf_text("records of %llu bytes, more than the log header's %llu",
                                static_cast<unsigned long long>(bytes),
                                static_cast<unsigned long long>(tlh_length(s.log_header))));
    }
    return 0;
}

int walker::run() {
    size_t at = 0;
    if (size == 0) return fail(0, "empty file");
    while (at < size) {
        if (size - at < 8) return fail(at, "block header cut by the end of the file");
        const uint8_t* b = data + at;
        const uint32_t type = load<uint32_t>(b);
        const uint32_t len = load<uint32_t>(b + 4);
        if (at == 0 && type != BT_SHB) return fail(0, "not a pcapng file (no section header first)");
        if (len < BLOCK_MIN || len % 4 != 0) {
            return fail(at + 4, printf_text("block length %u", len));
        }
        if (len > size - at) {
            return fail(at + 4, printf_text("block of %u bytes cut by the end of the file (%zu left)",
                                            len, size - at));
        }
        if (load<uint32_t>(b + len - 4) != len) {
            return fail(at + len - 4, printf_text("trailing block length %u, leading %u",
                                                  load<uint32_t>(b + len - 4), len));
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
            if (strict) return fail(at, printf_text("unknown block type 0x%08x", type));
            {
                dump_block blk;
                blk.offset = at;
                blk.type = type;
                blk.length = len;
                blk.section = out.sections.size() - 1;
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

}  // namespace

dump_compression dump_compression_of(const uint8_t* data, size_t size) {
    if (size >= sizeof XZ_MAGIC && memcmp(data, XZ_MAGIC, sizeof XZ_MAGIC) == 0) {
        return dump_compression::xz;
    }
    if (size >= sizeof ZSTD_MAGIC && memcmp(data, ZSTD_MAGIC, sizeof ZSTD_MAGIC) == 0) {
        return dump_compression::zstd;
    }
    return dump_compression::none;
}

dump_compression dump_compression_of_name(std::string_view name) {
    if (name.ends_with(".xz")) return dump_compression::xz;
    if (name.ends_with(".zst")) return dump_compression::zstd;
    return dump_compression::none;
}

int dump_decompress(dump_compression c, const uint8_t* in, size_t size, std::vector<uint8_t>& out,
                    std::string& err) {
    out.clear();
    switch (c) {
    case dump_compression::xz: return decompress_xz(in, size, out, err);
    case dump_compression::zstd: return decompress_zstd(in, size, out, err);
    case dump_compression::none: break;
    }
    if (size > DUMP_MAX_BYTES) {
        err = "file larger than the size limit";
        return -1;
    }
    out.assign(in, in + size);
    return 0;
}

int dump_read_file(const char* path, std::vector<uint8_t>& out, std::string& err) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = strerror(errno);
        return -1;
    }
    struct fd_closer {
        int fd;
        ~fd_closer() { close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = strerror(errno);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        err = "is a directory";
        return -1;
    }
    std::vector<uint8_t> raw;
    size_t used = 0;
    for (;;) {
        if (used == raw.size() && !grow(raw, used, READ_CHUNK)) {
            err = "file larger than the size limit";
            return -1;
        }
        const ssize_t n = read(fd, raw.data() + used, raw.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = strerror(errno);
            return -1;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    raw.resize(used);
    return dump_decompress(dump_compression_of(raw.data(), raw.size()), raw.data(), raw.size(),
                           out, err);
}

int dump_parse(const uint8_t* data, size_t size, bool strict, dump_contents& out,
               dump_fault& fault) {
    out.sections.clear();
    out.blocks.clear();
    fault = dump_fault{};
    walker w{data, size, strict, out, fault};
    return w.run();
}

uint64_t dump_section_record_bytes(const dump_contents& c, size_t section) {
    uint64_t n = 0;
    for (const dump_block& b : c.blocks) {
        if (b.section == section && b.record) n += rec_size(b.record);
    }
    return n;
}

}  // namespace quarn
