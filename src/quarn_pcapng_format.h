// The pcapng format as the dumps use it, for the block writers and for the
// readers that walk the files back: block types, option codes, our
// enterprise number and its subtypes, the fixed part of every block as a
// struct laid out as it lies in the file, and the headers of the packets
// synthesized from the records. The integers of blocks and options are in
// host order, as a section header with the byte-order magic 0x1A2B3C4D
// declares; those of the synthesized IP and TCP headers in network order.
#ifndef QUARN_PCAPNG_FORMAT_H
#define QUARN_PCAPNG_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace quarn {

// Block types.
inline constexpr uint32_t BT_SHB = 0x0A0D0D0A;
inline constexpr uint32_t BT_IDB = 1;
inline constexpr uint32_t BT_EPB = 6;
inline constexpr uint32_t BT_CUSTOM = 0x00000BAD;    // copyable custom block

inline constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
inline constexpr uint16_t PCAPNG_MAJOR = 1;
inline constexpr uint16_t PCAPNG_MINOR = 0;
inline constexpr uint16_t LINKTYPE_NULL = 0;
inline constexpr uint16_t LINKTYPE_USER0 = 147;
inline constexpr uint32_t SNAP_LEN = 104;

// Option codes.
inline constexpr uint16_t OPT_ENDOFOPT = 0;
inline constexpr uint16_t OPT_COMMENT = 1;
inline constexpr uint16_t OPT_IF_NAME = 2;
inline constexpr uint16_t OPT_IF_DESCRIPTION = 3;
// An interface's timestamp unit and offset; the daemon writes neither, so
// its timestamps are microseconds since the epoch.
inline constexpr uint16_t OPT_IF_TSRESOL = 9;
inline constexpr uint16_t OPT_IF_TSOFFSET = 14;
inline constexpr uint16_t OPT_EPB_FLAGS = 2;
inline constexpr uint16_t OPT_CUSTOM = 2989;         // 0x0BAD, copyable custom option
// epb_flags values: the packet's direction.
inline constexpr uint32_t EPB_FLAG_INBOUND = 1;
inline constexpr uint32_t EPB_FLAG_OUTBOUND = 2;

// The Private Enterprise Number in every custom block and option: 32473,
// the number IANA reserves for documentation and examples (RFC 5612).
inline constexpr uint32_t PEN = 32473;
// Custom option subtypes.
inline constexpr uint32_t OPT_SUB_LOG_VERSION = 1;
inline constexpr uint32_t OPT_SUB_RECORD = 2;
inline constexpr uint32_t OPT_SUB_LOG_HEADER = 4;
inline constexpr uint32_t OPT_SUB_DUMP_TIME = 5;
inline constexpr uint32_t OPT_SUB_STACK_NAME = 6;
// Custom block subtypes.
inline constexpr uint32_t CB_SUB_EVENT = 1;
inline constexpr uint32_t CB_SUB_GAP = 2;

// The fixed parts of the blocks. Each struct has its exact wire size and
// no padding, so a writer sends it as it lies in memory and a reader finds
// a field at its offsetof.
struct block_header {
    uint32_t type;
    uint32_t blocklen;
};

struct option_header {
    uint16_t code;
    uint16_t len;  // of the value, without the padding to a multiple of 4
};

// End-of-options option, then the block total length again.
struct block_trailer {
    uint16_t opt_code;
    uint16_t opt_len;
    uint32_t blocklen;
};

struct shb_fixed {
    uint32_t type;
    uint32_t blocklen;
    uint32_t magic;
    uint16_t major;
    uint16_t minor;
    int64_t section_length;
};

struct idb_fixed {
    uint32_t type;
    uint32_t blocklen;
    uint16_t linktype;
    uint16_t reserved;
    uint32_t snaplen;
};

// Block header of an enhanced packet block and the first word of its packet
// data, the LINKTYPE_NULL address family.
struct epb_fixed {
    uint32_t type;
    uint32_t blocklen;
    uint32_t interface_id;
    uint32_t ts_high;
    uint32_t ts_low;
    uint32_t caplen;
    uint32_t origlen;
    uint32_t af_word;
};

struct custom_block_fixed {
    uint32_t type;
    uint32_t blocklen;
    uint32_t pen;
    uint32_t subtype;
};

// A gap block: our custom block with the number of records lost.
struct gap_fixed {
    custom_block_fixed cb;
    uint32_t missing;
};

struct epb_flags_opt {
    uint16_t code;
    uint16_t len;
    uint32_t flags;
};

static_assert(sizeof(block_header) == 8);
static_assert(sizeof(option_header) == 4);
static_assert(sizeof(block_trailer) == 8);
static_assert(sizeof(shb_fixed) == 24);
static_assert(sizeof(idb_fixed) == 16);
static_assert(sizeof(epb_fixed) == 32);
static_assert(sizeof(custom_block_fixed) == 16);
static_assert(sizeof(gap_fixed) == 20);
static_assert(sizeof(epb_flags_opt) == 8);

// The trailing copy of the block total length.
inline constexpr size_t BLOCK_TRAILING_LEN_SIZE = sizeof(uint32_t);
// The smallest block: type, length and the trailing length.
inline constexpr size_t BLOCK_MIN = sizeof(block_header) + BLOCK_TRAILING_LEN_SIZE;
// Where an enhanced packet block's packet data starts (with its address
// family word).
inline constexpr size_t EPB_PACKET_AT = offsetof(epb_fixed, af_word);
// A custom option: option header, PEN and subtype before the payload.
inline constexpr size_t CUSTOM_OPT_HDR_SIZE = sizeof(option_header) + 8;
// The payload of a custom option, counted from its value.
inline constexpr size_t CUSTOM_OPT_PAYLOAD_AT = CUSTOM_OPT_HDR_SIZE - sizeof(option_header);

// Option values and packet data are padded to a multiple of 4.
inline constexpr size_t pad4(size_t n) { return (n + 3) & ~size_t{3}; }

// The packets synthesized from records: the address family word, an IPv4
// or IPv6 header, then the record's TCP header; the payload is all zero.
inline constexpr uint32_t AF_WORD_LEN = 4;
inline constexpr uint32_t IPV4_HDR_LEN = 20;
inline constexpr uint32_t IPV6_HDR_LEN = 40;
inline constexpr uint32_t TCP_MIN_HDR_LEN = 20;
inline constexpr size_t IPV4_ADDR_LEN = 4;
inline constexpr size_t IPV6_ADDR_LEN = 16;
inline constexpr uint8_t IPV4_VERSION_IHL = 0x45;
inline constexpr uint8_t IPV6_VERSION = 0x60;    // in the top four bits
inline constexpr uint8_t IPPROTO_TCP_NUM = 6;
inline constexpr uint8_t SYNTH_TTL = 127;         // TTL and hop limit
inline constexpr size_t OFF_IPV4_TOTAL_LEN = 2;
inline constexpr size_t OFF_IPV4_TTL = 8;
inline constexpr size_t OFF_IPV4_PROTOCOL = 9;
inline constexpr size_t OFF_IPV4_CHECKSUM = 10;
inline constexpr size_t OFF_IPV4_SRC = 12;        // then the destination
inline constexpr size_t OFF_IPV6_PAYLOAD_LEN = 4;
inline constexpr size_t OFF_IPV6_NEXT_HEADER = 6;
inline constexpr size_t OFF_IPV6_HOP_LIMIT = 7;
inline constexpr size_t OFF_IPV6_SRC = 8;         // then the destination

}  // namespace quarn

#endif
