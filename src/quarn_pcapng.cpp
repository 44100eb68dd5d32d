// pcapng block writers. Each block is a gather list: fixed headers and
// trailers live in the writer's stack frame, record and header bytes are
// taken in place from the log message, padding comes from pad_zeros, and the
// few values that have to be made (option headers, the version, dump time
// and epb_flags values) are small heap buffers released right after the one
// write_op call of the block.
#include "quarn_pcapng.h"

#include <pthread.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "quarn_assert.h"
#include "quarn_dumper.h"
#include "quarn_logfmt.h"
#include "quarn_stacknames.h"

namespace quarn {

uint8_t pad_zeros[SNAP_LEN];
pcap_alloc_fn pcap_alloc_hook = nullptr;

namespace {

constexpr const char* UNIT = "quarn_dumper";

constexpr uint32_t MAX_TH_LEN = 60;  // data offset 15

// The stack-id byte of the stack-name option is a single byte that has to
// outlive pcap_stackname_opt; every possible value lies here, read-only.
constexpr std::array<uint8_t, 256> STACK_ID_BYTES = [] {
    std::array<uint8_t, 256> a{};
    for (size_t i = 0; i < a.size(); i++) a[i] = static_cast<uint8_t>(i);
    return a;
}();

// Heap memory for the small buffers of a block; released with free().
void* pcap_alloc(size_t size) { return pcap_alloc_hook ? pcap_alloc_hook(size) : malloc(size); }

// Releases a list's owned buffers on every way out of a block writer.
class owned_release {
public:
    explicit owned_release(iov_list& l) : l_(l) {}
    ~owned_release() { iov_free_owned(l_); }
    owned_release(const owned_release&) = delete;
    owned_release& operator=(const owned_release&) = delete;

private:
    iov_list& l_;
};

// Zero bytes that complete a custom option of `payload_len` bytes to a
// multiple of 4.
uint32_t custom_opt_pad(uint32_t payload_len) {
    static_assert(CUSTOM_OPT_HDR_SIZE % 4 == 0);
    return static_cast<uint32_t>(pad4(payload_len) - payload_len);
}

// Appends a custom option header as an owned entry. False (reported) when
// it could not be allocated.
bool append_custom_opt_header(iov_list& l, uint32_t subtype, uint32_t payload_len) {
    uint8_t* h = pcap_vorm_opt_alloc(subtype, payload_len);
    if (!h) {
        warn_errno("Error allocating space for an option buffer");
        return false;
    }
    iov_append(l, h, CUSTOM_OPT_HDR_SIZE, true);
    return true;
}

// Appends a heap copy of a small option value as an owned entry. False
// (reported with `what`) when it could not be allocated.
template <typename T>
bool append_owned_value(iov_list& l, T value, const char* what) {
    auto* p = static_cast<uint8_t*>(pcap_alloc(sizeof value));
    if (!p) {
        warn_errno("%s", what);
        return false;
    }
    store<T>(p, value);
    iov_append(l, p, sizeof value, true);
    return true;
}

// The record-bytes option (subtype 2) of packet and event blocks: left out
// of the block when its header cannot be allocated.
void append_record_opt(iov_list& l, const uint8_t* rec) {
    static_assert((CUSTOM_OPT_HDR_SIZE + REC_COPY_SIZE) % 4 == 0, "no padding entry");
    if (append_custom_opt_header(l, OPT_SUB_RECORD, REC_COPY_SIZE)) iov_append(l, rec, REC_COPY_SIZE);
}

uint32_t ones_complement_add(uint32_t sum, const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += load_be16(p + i);
    if (n % 2) sum += static_cast<uint32_t>(p[n - 1]) << 8;
    return sum;
}

uint16_t fold_complement(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint32_t ip_header_len(uint8_t af) { return af == TLH_AF_INET6 ? IPV6_HDR_LEN : IPV4_HDR_LEN; }

}  // namespace

void iov_append(iov_list& l, const void* base, size_t len, bool owned) {
    QUARN_ASSERT(UNIT, l.count < MAX_IOV);
    const int i = l.count++;
    l.iov[i].iov_base = const_cast<void*>(base);
    l.iov[i].iov_len = len;
    l.alloc[i] = owned ? const_cast<void*>(base) : nullptr;
    if (owned) l.owned |= uint64_t{1} << i;
    l.total += static_cast<uint32_t>(len);
}

void iov_free_owned(iov_list& l) {
    for (int i = 0; i < l.count; i++) {
        if (l.owned & (uint64_t{1} << i)) free(l.alloc[i]);
    }
    // A second call releases nothing.
    l.owned = 0;
}

uint8_t* pcap_vorm_opt_alloc(uint32_t subtype, uint32_t payload_len) {
    // Widened so that a length near 2^32 cannot wrap past the check.
    const uint64_t len = payload_len;
    QUARN_ASSERT(UNIT, len + 8 <= UINT16_MAX);  // 8: PEN and subtype
    static_assert(CUSTOM_OPT_PAYLOAD_AT == 8);
    auto* h = static_cast<uint8_t*>(pcap_alloc(CUSTOM_OPT_HDR_SIZE));
    if (!h) return nullptr;
    store<uint16_t>(h + offsetof(option_header, code), OPT_CUSTOM);
    store<uint16_t>(h + offsetof(option_header, len),
                    static_cast<uint16_t>(len + CUSTOM_OPT_PAYLOAD_AT));
    store<uint32_t>(h + sizeof(option_header), PEN);
    store<uint32_t>(h + sizeof(option_header) + 4, subtype);
    return h;
}

// Returns the option's padded size, or 0 when its header could not be
// allocated (reported; nothing was appended).
uint32_t pcap_stackname_opt(iov_list& l, uint8_t stack_id, const char* name) {
    const size_t n = strlen(name);
    // A name too long for an option length stops at the assertion.
    const uint32_t payload_len = n < UINT16_MAX ? static_cast<uint32_t>(n) + 1 : UINT16_MAX;
    if (!append_custom_opt_header(l, OPT_SUB_STACK_NAME, payload_len)) return 0;
    iov_append(l, &STACK_ID_BYTES[stack_id], 1);
    iov_append(l, name, n);  // in place: the caller holds stack_names_lock
    const uint32_t pad = custom_opt_pad(payload_len);
    if (pad) iov_append(l, pad_zeros, pad);
    const uint32_t rv = static_cast<uint32_t>(CUSTOM_OPT_HDR_SIZE) + payload_len + pad;
    QUARN_ASSERT(UNIT, (rv % 4) == 0);
    return rv;
}

int pcap_headerblocks(output_writer* w, const uint8_t* hdr, const uint8_t* first_rec,
                      int64_t dump_time) {
    iov_list l;
    owned_release release(l);

    shb_fixed shb{BT_SHB, sizeof(shb_fixed), BYTE_ORDER_MAGIC, PCAPNG_MAJOR, PCAPNG_MINOR, -1};
    iov_append(l, &shb, sizeof shb);

    if (!append_custom_opt_header(l, OPT_SUB_LOG_VERSION, sizeof(uint32_t))) return -1;
    if (!append_owned_value<uint32_t>(l, TCP_LOG_VERSION,
                                      "Error allocating space for the version identifier"))
        return -1;
    if (!append_custom_opt_header(l, OPT_SUB_DUMP_TIME, sizeof(int64_t))) return -1;
    if (!append_owned_value<int64_t>(l, dump_time, "Error allocating space for the dumptime"))
        return -1;
    if (!append_custom_opt_header(l, OPT_SUB_LOG_HEADER, LOG_HEADER_SIZE)) return -1;
    iov_append(l, hdr, LOG_HEADER_SIZE);

    // The name goes out by pointer into the table, so the read lock stays
    // until write_op has returned; it is released before the owned buffers.
    rwlock_guard lock(stack_names_lock, rwlock_guard::shared);
    const uint8_t stack_id = rec_stack_id(first_rec);
    if (pcap_stackname_opt(l, stack_id, lookup_stack_name(stack_id)) == 0) return -1;

    block_trailer shb_end{OPT_ENDOFOPT, 0, l.total + static_cast<uint32_t>(sizeof(block_trailer))};
    shb.blocklen = shb_end.blocklen;
    iov_append(l, &shb_end, sizeof shb_end);

    const idb_fixed idb{BT_IDB, sizeof(idb_fixed) + sizeof(block_trailer), LINKTYPE_NULL, 0, SNAP_LEN};
    const block_trailer idb_end{OPT_ENDOFOPT, 0, idb.blocklen};
    iov_append(l, &idb, sizeof idb);
    iov_append(l, &idb_end, sizeof idb_end);

    return w->write_op(w, l.iov, l.count, static_cast<int>(l.total));
}

void pcap_ipheaders(output_writer* w, const uint8_t* hdr) {
    const uint8_t af = tlh_af(hdr);
    const uint8_t* faddr = hdr + OFF_TLH_FADDR;
    const uint8_t* laddr = hdr + OFF_TLH_LADDR;
    w->af = af;
    memset(w->ip_in, 0, sizeof w->ip_in);
    memset(w->ip_out, 0, sizeof w->ip_out);
    if (af == TLH_AF_INET6) {
        constexpr size_t dst = OFF_IPV6_SRC + ADDR_FIELD_SIZE;
        w->ip_in[0] = IPV6_VERSION;
        w->ip_in[OFF_IPV6_NEXT_HEADER] = IPPROTO_TCP_NUM;
        w->ip_in[OFF_IPV6_HOP_LIMIT] = SYNTH_TTL;
        memcpy(w->ip_out, w->ip_in, OFF_IPV6_SRC);
        memcpy(w->ip_in + OFF_IPV6_SRC, faddr, ADDR_FIELD_SIZE);
        memcpy(w->ip_in + dst, laddr, ADDR_FIELD_SIZE);
        memcpy(w->ip_out + OFF_IPV6_SRC, laddr, ADDR_FIELD_SIZE);
        memcpy(w->ip_out + dst, faddr, ADDR_FIELD_SIZE);
    } else if (af == TLH_AF_INET) {
        constexpr size_t dst = OFF_IPV4_SRC + IPV4_ADDR_LEN;
        w->ip_in[0] = IPV4_VERSION_IHL;
        w->ip_in[OFF_IPV4_TTL] = SYNTH_TTL;
        w->ip_in[OFF_IPV4_PROTOCOL] = IPPROTO_TCP_NUM;
        memcpy(w->ip_out, w->ip_in, OFF_IPV4_SRC);
        memcpy(w->ip_in + OFF_IPV4_SRC, faddr + IPV4_IN_ADDR_FIELD, IPV4_ADDR_LEN);
        memcpy(w->ip_in + dst, laddr + IPV4_IN_ADDR_FIELD, IPV4_ADDR_LEN);
        memcpy(w->ip_out + OFF_IPV4_SRC, laddr + IPV4_IN_ADDR_FIELD, IPV4_ADDR_LEN);
        memcpy(w->ip_out + dst, faddr + IPV4_IN_ADDR_FIELD, IPV4_ADDR_LEN);
    }
}

bool packet_record_valid(const uint8_t* rec, uint8_t af) {
    if (!(rec_flags(rec) & REC_FLAG_HAS_TH)) return false;
    if (af != TLH_AF_INET && af != TLH_AF_INET6) return false;
    const uint32_t th_len = rec_th_len(rec);
    if (th_len < TCP_MIN_HDR_LEN) return false;
    // S = payload + D and origlen = 4 + H + S must both fit in 32 bits.
    const uint64_t origlen = uint64_t{rec_payload_len(rec)} + th_len + AF_WORD_LEN + ip_header_len(af);
    return origlen <= UINT32_MAX;
}

void add_tcp_cksum(const output_writer* w, uint8_t* th, uint32_t seg_len, uint32_t th_len) {
    QUARN_ASSERT(UNIT, ((uintptr_t)th) % 2 == 0);
    QUARN_ASSERT(UNIT, th_len >= TCP_MIN_HDR_LEN && th_len <= MAX_TH_LEN);
    // Both addresses of the connection stand in ip_in (source and
    // destination); their order does not change the sum.
    uint32_t sum = w->af == TLH_AF_INET6
                       ? ones_complement_add(0, w->ip_in + OFF_IPV6_SRC, 2 * ADDR_FIELD_SIZE)
                       : ones_complement_add(0, w->ip_in + OFF_IPV4_SRC, 2 * IPV4_ADDR_LEN);
    sum += IPPROTO_TCP_NUM;
    sum += seg_len & 0xFFFF;
    sum = ones_complement_add(sum, th, OFF_TH_CHECKSUM);
    sum = ones_complement_add(sum, th + OFF_TH_CHECKSUM + 2, th_len - OFF_TH_CHECKSUM - 2);
    store_be16(th + OFF_TH_CHECKSUM, fold_complement(sum));
}

int pcap_packetblock(output_writer* w, uint8_t* rec) {
    // A header that cannot be a TCP segment keeps its record bytes in the
    // file all the same.
    if (!packet_record_valid(rec, w->af)) return pcap_eventblock(w, rec);

    const bool inbound = rec_event_id(rec) == REC_EVENT_IN;
    uint8_t* ip = inbound ? w->ip_in : w->ip_out;
    const bool v6 = w->af == TLH_AF_INET6;
    const uint32_t ip_len = ip_header_len(w->af);
    const uint32_t payload_len = rec_payload_len(rec);
    const uint32_t th_len = rec_th_len(rec);
    const uint32_t seg_len = payload_len + th_len;
    const uint32_t origlen = AF_WORD_LEN + ip_len + seg_len;

    if (v6) {
        store_be16(ip + OFF_IPV6_PAYLOAD_LEN, static_cast<uint16_t>(seg_len));
    } else {
        store_be16(ip + OFF_IPV4_TOTAL_LEN, static_cast<uint16_t>(seg_len + IPV4_HDR_LEN));
        store_be16(ip + OFF_IPV4_CHECKSUM, 0);
        store_be16(ip + OFF_IPV4_CHECKSUM, fold_complement(ones_complement_add(0, ip, IPV4_HDR_LEN)));
    }
    add_tcp_cksum(w, rec_th(rec), seg_len, th_len);

    // The block's timestamp: the low 64 bits of the record's wall time.
    const uint64_t t = static_cast<uint64_t>(record_wall_usec(w->time_offset, rec));
    const uint32_t caplen = origlen < SNAP_LEN ? origlen : SNAP_LEN;
    epb_fixed epb{BT_EPB, 0, 0, static_cast<uint32_t>(t >> 32), static_cast<uint32_t>(t),
                  caplen, origlen, w->af};

    iov_list l;
    owned_release release(l);
    iov_append(l, &epb, sizeof epb);
    iov_append(l, ip, ip_len);
    iov_append(l, rec_th(rec), th_len);

    // Payload bytes inside the snap length are shown as zeros; the same
    // entry pads the packet data to a multiple of 4.
    const int32_t pad_len = static_cast<int32_t>(caplen + payload_len - origlen);
    QUARN_ASSERT(UNIT, pad_len >= 0);
    if (pad_len > 0) iov_append(l, pad_zeros, pad4(static_cast<uint32_t>(pad_len)));

    append_record_opt(l, rec);
    const epb_flags_opt flags{OPT_EPB_FLAGS, sizeof(uint32_t), inbound ? EPB_FLAG_INBOUND : EPB_FLAG_OUTBOUND};
    append_owned_value(l, flags, "Error allocating space for the EPB flags word");

    block_trailer epb_end{OPT_ENDOFOPT, 0, l.total + static_cast<uint32_t>(sizeof(block_trailer))};
    QUARN_ASSERT(UNIT, epb_end.blocklen % 4 == 0);
    epb.blocklen = epb_end.blocklen;
    iov_append(l, &epb_end, sizeof epb_end);

    return w->write_op(w, l.iov, l.count, static_cast<int>(l.total));
}

int pcap_eventblock(output_writer* w, const uint8_t* rec) {
    custom_block_fixed eb{BT_CUSTOM, 0, PEN, CB_SUB_EVENT};
    iov_list l;
    owned_release release(l);
    iov_append(l, &eb, sizeof eb);
    append_record_opt(l, rec);

    block_trailer eb_end{OPT_ENDOFOPT, 0, l.total + static_cast<uint32_t>(sizeof(block_trailer))};
    QUARN_ASSERT(UNIT, eb_end.blocklen % 4 == 0);
    eb.blocklen = eb_end.blocklen;
    iov_append(l, &eb_end, sizeof eb_end);

    return w->write_op(w, l.iov, l.count, static_cast<int>(l.total));
}

int pcap_gapblock(output_writer* w, uint32_t missing) {
    constexpr uint32_t GAP_BLOCK_LEN = sizeof(gap_fixed) + sizeof(block_trailer);
    const gap_fixed gap{{BT_CUSTOM, GAP_BLOCK_LEN, PEN, CB_SUB_GAP}, missing};
    const block_trailer gap_end{OPT_ENDOFOPT, 0, GAP_BLOCK_LEN};
    iov_list l;
    iov_append(l, &gap, sizeof gap);
    iov_append(l, &gap_end, sizeof gap_end);
    return w->write_op(w, l.iov, l.count, static_cast<int>(l.total));
}

}  // namespace quarn
