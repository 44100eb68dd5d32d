// pcapng encoding (the format itself is in quarn_pcapng_format.h): gather
// lists with owned buffers, custom options, and the block writers for the
// section header + interface description, enhanced packet blocks, event
// blocks and gap blocks.
//
// A block is never copied into a buffer of its own: it is a gather list whose
// entries point into the log message, the writer's own storage or pad_zeros,
// plus a few small heap buffers (option headers and values) marked in the
// list's `owned` bits and released right after the one write_op call that
// writes the block. Every block writer returns that call's result (0 or -1).
//
// Only the worker that owns the writer and the message calls these.
#ifndef QUARN_PCAPNG_H
#define QUARN_PCAPNG_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "quarn_pcapng_format.h"
#include "quarn_writev.h"

namespace quarn {

inline constexpr int MAX_IOV = 14;

// All zero; cleared at start-up and only read afterwards. Every padding
// entry of every block points here.
extern uint8_t pad_zeros[SNAP_LEN];

// A gather list that keeps its own books: entries, count, running total
// and which entries are heap buffers to release after the write. `alloc`
// keeps the address each owned buffer was allocated at, since write_op may
// advance the entries.
struct iov_list {
    struct iovec iov[MAX_IOV];
    void* alloc[MAX_IOV];
    int count = 0;
    uint32_t total = 0;
    uint64_t owned = 0;
};

// Appends one entry (owned: release `base` after the write).
void iov_append(iov_list& l, const void* base, size_t len, bool owned = false);
// Releases every owned entry below count exactly once, in index order, at
// its allocated address.
void iov_free_owned(iov_list& l);

// A new 12-byte custom option header for `subtype` with a payload of `len`
// bytes (code 2989, length len + 8, PEN, subtype), or null when memory is
// exhausted (reporting is the caller's). Asserts len + 8 <= UINT16_MAX.
uint8_t* pcap_vorm_opt_alloc(uint32_t subtype, uint32_t len);

// Section header block (version, dump time, log header, stack name options)
// and interface description block, in one write_op call. 0 when both are in
// the file; non-zero after an allocation failure (reported, nothing written)
// or a failed write. Holds stack_names_lock for reading from the name
// lookup until the write has returned.
int pcap_headerblocks(output_writer* w, const uint8_t* hdr, const uint8_t* first_rec,
                      int64_t dump_time);
// Appends the stack-name option to `l`; returns its padded size, or 0 when
// the option header could not be allocated (reported here; nothing was
// appended, and pcap_headerblocks then fails).
// REQUIRES: stack_names_lock held for reading while `l` is in use.
uint32_t pcap_stackname_opt(iov_list& l, uint8_t stack_id, const char* name);

// Fills ip_in and ip_out of the writer from tlh_af, tlh_faddr, tlh_laddr.
void pcap_ipheaders(output_writer* w, const uint8_t* hdr);
// Enhanced packet block for a record with a TCP header. Rewrites the TCP
// checksum in the record. A record whose data offset is below 5 or whose
// payload length makes the lengths wrap is written as an event block.
int pcap_packetblock(output_writer* w, uint8_t* rec);
// Recomputes the TCP checksum of the record's segment (pseudo-header and
// the D header bytes; the payload is all zero) into th.
void add_tcp_cksum(const output_writer* w, uint8_t* th, uint32_t seg_len, uint32_t th_len);
// Event block (custom block subtype 1) carrying record bytes 0 to 267.
int pcap_eventblock(output_writer* w, const uint8_t* rec);
// Gap block (custom block subtype 2): `missing` serial numbers were lost.
int pcap_gapblock(output_writer* w, uint32_t missing);

// True when a record with the TCP-header flag can be written as a packet
// (data offset at least 5, lengths that do not wrap in 32 bits).
bool packet_record_valid(const uint8_t* rec, uint8_t af);

// Test seam for allocation failures: when set, pcapng's small allocations
// go through it (null simulates an exhausted heap). Nothing in the daemon
// sets it.
using pcap_alloc_fn = void* (*)(size_t size);
extern pcap_alloc_fn pcap_alloc_hook;

}  // namespace quarn

#endif
