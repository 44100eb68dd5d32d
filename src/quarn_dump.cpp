// One log message to its dumps.
//
// A dump is one pcapng file named "<stem>.<frag_seq>.pcapng[.xz|.zst]" in
// the output directory, the stem being the connection's identifier made
// fit for a file name (quarn_dumppolicy.h has the grammar). It holds the
// header blocks, a block per record and a gap block wherever serial numbers
// jump. A change of stack id closes the dump (indexed whenever its file is
// complete) and starts the next with the same message.
//
// The message's tlh_length is rewritten as the count of record bytes not
// yet consumed, so the header copy in each file tells how much of the
// message the file covers.
//
// Each dump ends one of three ways: indexed (the file stays, with an index
// line), removed, or left as written without an index line after a failed
// write of a record or of the close. A dump is indexed only when every
// write and the close succeeded; a dump whose header blocks could not be
// written, and a file left with no byte in it, are removed. The failures of the file
// itself (its creation, a write, the close) are reported per streak of
// dumps lost, not per dump (quarn_dumploss.h).
#include "quarn_dump.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "quarn_assert.h"
#include "quarn_dumploss.h"
#include "quarn_dumppolicy.h"
#include "quarn_idcache.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_records.h"
#include "quarn_text.h"
#include "quarn_writev.h"
#include "quarn_xz.h"
#include "quarn_zstd.h"

namespace quarn {

namespace {

// Set by main before the workers start, read-only after.
dump_compression output_compression = dump_compression::none;

const compression_kind& dump_compressor() { return compression_of(output_compression); }
constexpr size_t NAME_BUF_SIZE = 1024;
constexpr int PROBE_LIMIT = 1024;
// Above this start number, start + PROBE_LIMIT - 1 would not fit an int32.
constexpr int32_t PROBE_SINGLE_ABOVE = INT32_MAX - (PROBE_LIMIT - 1);

int64_t wall_clock() { return static_cast<int64_t>(time(nullptr)); }

enum class dump_end { indexed, removed, left };

// The open file of one dump: its descriptor lives in the writer, and this
// object is the only one that closes it. The dump's code says once how the
// dump ends (finish); a file that nobody finished is closed and left as
// written when its owner goes away.
class dump_file {
public:
    dump_file() = default;
    ~dump_file() { (void)close_file(); }
    dump_file(const dump_file&) = delete;
    dump_file& operator=(const dump_file&) = delete;

    output_writer& writer() { return w_; }

    // Takes a new descriptor; the writer starts afresh, and keeps the
    // report of its failure for the dump to give.
    void adopt(int fd) {
        (void)close_file();
        w_ = output_writer{};
        w_.fd = fd;
        w_.hold_report = true;
    }

    // Ends the writer and closes the descriptor. 0 when the file is whole
    // (the writer's close and close(2) succeeded). With `empty`, tells
    // whether the file holds no byte; when `only_if_broken`, the file is
    // examined only if the writer's close failed: a writer that closed
    // cleanly has put at least the header blocks in the file, so it is not
    // empty, and the usual ending costs no extra system call.
    int close_file(bool* empty = nullptr, bool only_if_broken = false) {
        if (w_.fd < 0) return 0;
        int rc = 0;
        if (w_.close_op && w_.close_op(&w_) != 0) rc = -1;
        if (empty) {
            *empty = false;
            struct stat st;
            if ((rc != 0 || !only_if_broken) && fstat(w_.fd, &st) == 0) {
                *empty = st.st_size == 0;
            }
        }
        if (close(w_.fd) != 0) {
            writer_failed(&w_, "Error closing black box record file", errno);
            rc = -1;
        }
        w_.fd = -1;
        return rc;
    }

private:
    output_writer w_;
};

struct dump_state {
    int dir_fd = -1;
    uint8_t* hdr = nullptr;
    int64_t dump_time = -1;
    // The names are written by start_dump before anything reads them; they
    // are not cleared beforehand, which would cost more than the dump's
    // first record.
    char faddr[INET6_ADDRSTRLEN];
    char identifier[NAME_BUF_SIZE];
    // The identifier made fit for a file name, and its length.
    char stem[NAME_BUF_SIZE];
    size_t stem_len = 0;
    char filename[NAME_BUF_SIZE];
    int32_t frag_seq = 0;
    dump_file file;
    uint8_t* rec = nullptr;     // current record
    bool first_record = true;
    uint8_t stack_id = 0;
    uint32_t prev_serial = 0;
    timeval64 first_time{};
    timeval64 last_time{};
    uint32_t record_count = 0;
    bool conn_ended = false;
    // A block of the dump could not be written (its writer failed, or its
    // buffers could not be had): the dump is not whole, whatever the close.
    bool block_failed = false;
};

static_assert(INET6_ADDRSTRLEN == 46);

// Closes the dump's file and ends the dump as `how` says; a dump whose
// file is not whole is left instead of indexed, and an empty file that
// would be left is removed.
void finish_dump(dump_state& d, dump_end how) {
    // Only a dump that ends up left needs to know whether its file is empty:
    // one meant to be left, or one meant to be indexed whose close failed.
    bool empty = false;
    const bool whole =
        d.file.close_file(how == dump_end::removed ? nullptr : &empty,
                          how == dump_end::indexed) == 0;
    if (how == dump_end::indexed && !whole) how = dump_end::left;
    if (how == dump_end::left && empty) how = dump_end::removed;
    // A failure of the block writers' own (no memory) was reported where
    // it happened; one of the file counts in the streak of lost dumps.
    const output_writer& w = d.file.writer();
    if (w.failure) {
        dump_lost(d.filename, w.failure, w.failure_errno);
    } else if (whole && !d.block_failed) {
        dump_written();
    }
    switch (how) {
    case dump_end::indexed:
        records_append(d.dir_fd, finished_dump{d.filename, d.faddr, d.hdr, d.record_count,
                                               d.dump_time, d.stack_id, d.first_time, d.last_time,
                                               d.conn_ended, d.frag_seq, dump_compressor().index_word});
        break;
    case dump_end::removed:
        unlinkat(d.dir_fd, d.filename, 0);
        break;
    case dump_end::left:
        break;
    }
}

// The ending of a dump whose records are all written: short "error" and
// "rebuffer" dumps are removed, every other one is indexed.
dump_end complete_end(const dump_state& d) {
    return complete_dump_indexed(d.record_count, tlh_reason(d.hdr)) ? dump_end::indexed
                                                                     : dump_end::removed;
}

// Makes the stem of the dump's file names from its identifier, whose first
// id_len bytes are the connection's id.
void build_stem(dump_state& d, size_t identifier_len, size_t id_len) {
    memcpy(d.stem, d.identifier, identifier_len + 1);
    d.stem_len = identifier_len;
    dump_stem(d.stem, id_len);
}

// Builds the file name "<stem>.<seq>.pcapng<suffix>". False when it does
// not fit.
bool build_filename(dump_state& d, int32_t seq) {
    return dump_file_name(d.filename, sizeof d.filename, {d.stem, d.stem_len}, seq,
                          dump_compressor());
}

// Creates the dump's file and writes its header blocks, with d.rec as the
// first record. 0 when the dump is ready for records; -1 when the message
// must be given up (reported here).
int start_dump(dump_state& d) {
    uint8_t* hdr = d.hdr;
    const uint8_t af = tlh_af(hdr);
    if (af != TLH_AF_INET && af != TLH_AF_INET6) {
        write_stderr("Skipping black box record with unknown address family %hhu\n", af);
        return -1;
    }
    static_assert(sizeof d.faddr >= IPV6_TEXT_MAX);
    addr_field_text(hdr, OFF_TLH_FADDR, d.faddr);

    text_out ident{d.identifier, sizeof d.identifier};
    dump_identifier(ident, hdr, d.faddr);
    if (!ident.fits) {
        write_stderr("Skipping black box record: identifier for filename is too long\n");
        return -1;
    }
    ident.end();
    build_stem(d, ident.n, tlh_id(hdr).size());

    int32_t* cached = idcache_lookup(d.identifier);
    const int32_t start = cached ? *cached : 0;
    const int tries = start > PROBE_SINGLE_ABOVE ? 1 : PROBE_LIMIT;
    int fd = -1;
    for (int i = 0; i < tries && fd < 0; i++) {
        const int32_t seq = start + i;
        if (!build_filename(d, seq)) {
            write_stderr("Skipping black box record: filename is too long\n");
            return -1;
        }
        fd = openat(d.dir_fd, d.filename, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (fd >= 0) d.frag_seq = seq;
    }
    if (fd < 0) {
        // The dump is named by the number it would have had.
        const int err = errno;
        (void)build_filename(d, start);
        dump_lost(d.filename, "Unable to open file to write black box record", err);
        return -1;
    }

    // The highest number has no successor: keep it, so that the next dump of
    // this identifier finds no free number instead of overflowing.
    const int32_t next = d.frag_seq == INT32_MAX ? INT32_MAX : d.frag_seq + 1;
    if (cached) {
        *cached = next;
    } else if (!reason_drops_short_dumps(tlh_reason(hdr))) {
        idcache_add(d.identifier, next);
    }

    d.file.adopt(fd);
    output_writer& w = d.file.writer();
    w.time_offset = hdr + OFF_TLH_OFFSET;
    w.af = af;
    pcap_ipheaders(&w, hdr);
    dump_init_writer(output_compression, &w);
    if (dump_writer_hook) dump_writer_hook(&w);

    d.block_failed = false;
    if (pcap_headerblocks(&w, hdr, d.rec, d.dump_time) != 0) {
        d.block_failed = true;
        finish_dump(d, dump_end::removed);
        return -1;
    }
    d.first_record = true;
    d.record_count = 0;
    d.conn_ended = false;
    return 0;
}

// Writes the records from d.rec on, splitting on stack changes, and ends
// every dump it starts.
void write_records(dump_state& d) {
    for (;;) {
        const uint64_t remaining = tlh_length(d.hdr);
        uint8_t* rec = d.rec;
        // A message cut inside a record keeps the records before the cut:
        // the dump ends as a complete one with them.
        const record_fit fit = fit_record(rec, remaining);
        if (fit == record_fit::cut) {
            write_stderr("Incorrect header length while processing black box record\n");
            break;
        }
        if (fit == record_fit::cut_verbose) {
            write_stderr("Incorrect header length while processing verbose black box record\n");
            break;
        }
        const uint16_t flags = rec_flags(rec);
        const size_t record_len = rec_size(rec);

        const uint32_t serial = rec_serial(rec);
        output_writer* w = &d.file.writer();
        if (d.first_record) {
            d.stack_id = rec_stack_id(rec);
            d.prev_serial = serial;
            d.first_time = rec_time(rec);
            d.first_record = false;
        } else {
            if (rec_stack_id(rec) != d.stack_id) {
                // A dump that ends at a stack change is always indexed.
                finish_dump(d, dump_end::indexed);
                if (start_dump(d) != 0) return;
                continue;  // the record opens the new dump
            }
            if (serial != d.prev_serial + 1) {
                if (pcap_gapblock(w, serial - d.prev_serial - 1) != 0) {
                    d.block_failed = true;
                    finish_dump(d, dump_end::left);
                    return;
                }
            }
        }
        d.prev_serial = serial;
        d.last_time = rec_time(rec);

        int rc;
        if (flags & REC_FLAG_HAS_TH) {
            rc = pcap_packetblock(w, rec);
        } else {
            rc = pcap_eventblock(w, rec);
            if (rec_event_id(rec) == REC_EVENT_CONN_END) d.conn_ended = true;
        }
        if (rc != 0) {
            d.block_failed = true;
            finish_dump(d, dump_end::left);
            return;
        }

        QUARN_ASSERT_TEXT(remaining >= record_len, "hdr->tlh_length >= record_len");
        d.record_count++;
        set_tlh_length(d.hdr, remaining - record_len);
        d.rec = rec + record_len;
        if (remaining == record_len) break;
    }
    finish_dump(d, complete_end(d));
}

}  // namespace

void dump_set_compression(dump_compression c) { output_compression = c; }

void dump_init_writer(dump_compression c, output_writer* w) {
    switch (c) {
    case dump_compression::none: init_direct(w); return;
    case dump_compression::xz: init_xz(w); return;
    case dump_compression::zstd: init_zstd(w); return;
    }
    init_direct(w);
}
dump_compression dump_output_compression() { return output_compression; }

dump_clock_fn dump_clock = wall_clock;
dump_writer_fn dump_writer_hook = nullptr;

void do_bbr_record(int dir_fd, uint8_t* hdr) {
    const uint64_t length = tlh_length(hdr);
    // A message shorter than its header has no address family or records to
    // read; it is reported like any other message without a whole record.
    if (length < MIN_DUMP_MESSAGE_SIZE) {
        if (length >= LOG_HEADER_SIZE) set_tlh_length(hdr, length - LOG_HEADER_SIZE);
        write_stderr("Incorrect header length while starting to process black box record\n");
        return;
    }
    set_tlh_length(hdr, length - LOG_HEADER_SIZE);

    dump_state d;
    d.dir_fd = dir_fd;
    d.hdr = hdr;
    d.dump_time = dump_clock();
    d.rec = hdr + LOG_HEADER_SIZE;
    if (start_dump(d) != 0) return;
    write_records(d);
}

}  // namespace quarn
