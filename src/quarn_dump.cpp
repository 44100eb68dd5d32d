// One log message to its dumps.
//
// A dump is one pcapng file named "<identifier>.<frag_seq>.pcapng[.xz|.zst]"
// in the output directory, holding the header blocks, a block per record
// and a gap block wherever serial numbers jump. A change of stack id closes
// the dump (indexed whenever its file is complete) and starts the next
// with the same message.
//
// The message's tlh_length is rewritten as the count of record bytes not
// yet consumed, so the header copy in each file tells how much of the
// message the file covers.
#include "quarn_dump.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "quarn_assert.h"
#include "quarn_dumper.h"
#include "quarn_idcache.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_records.h"
#include "quarn_writev.h"
#include "quarn_xz.h"
#include "quarn_zstd.h"

namespace quarn {

namespace {

constexpr const char* UNIT = "quarn_dumper";
constexpr size_t NAME_BUF_SIZE = 1024;
constexpr int PROBE_LIMIT = 1024;
// Above this start number, start + PROBE_LIMIT - 1 would not fit an int32.
constexpr int32_t PROBE_SINGLE_ABOVE = INT32_MAX - (PROBE_LIMIT - 1);
// A dump of at most this many records with reason "error" or "rebuffer" is
// removed instead of indexed.
constexpr uint32_t SHORT_DUMP_RECORDS = 10;

int64_t wall_clock() { return static_cast<int64_t>(time(nullptr)); }

struct dump_state {
    int dir_fd = -1;
    uint8_t* hdr = nullptr;
    int64_t dump_time = -1;
    char faddr[INET6_ADDRSTRLEN] = "";
    char identifier[NAME_BUF_SIZE] = "";
    char filename[NAME_BUF_SIZE] = "";
    int32_t frag_seq = 0;
    output_writer w;
    uint8_t* rec = nullptr;     // current record
    bool first_record = true;
    uint8_t stack_id = 0;
    uint32_t prev_serial = 0;
    timeval64 first_time{};
    timeval64 last_time{};
    uint32_t record_count = 0;
    bool conn_ended = false;
};

static_assert(INET6_ADDRSTRLEN == 46);

// Reasons whose short dumps are not kept (whole string, case-sensitive).
bool reason_drops_short_dumps(const uint8_t* hdr) {
    const std::string_view r = tlh_reason(hdr);
    return r == "error" || r == "rebuffer";
}

// 0 when the file is complete; -1 when the writer could not finish it.
int close_dump(dump_state& d) {
    const int rc = d.w.close_op ? d.w.close_op(&d.w) : 0;
    if (d.w.fd >= 0) {
        close(d.w.fd);
        d.w.fd = -1;
    }
    return rc;
}

void index_dump(dump_state& d) {
    records_append(d.dir_fd, d.filename, d.faddr, d.hdr, d.record_count, d.dump_time, d.stack_id,
                   d.first_time, d.last_time, d.conn_ended, d.frag_seq);
}

// Builds the file name for `seq`. False when it does not fit.
bool build_filename(dump_state& d, int32_t seq) {
    // The id comes from applications; a '/' in it must not lead the file
    // out of the output directory.
    char stem[NAME_BUF_SIZE];
    memcpy(stem, d.identifier, sizeof stem);
    for (char* p = stem; *p; p++) {
        if (*p == '/') *p = '_';
    }
    const int n = snprintf(d.filename, sizeof d.filename, "%s.%d.pcapng%s", stem, seq,
                           dump_compressor().suffix);
    return n >= 0 && static_cast<size_t>(n) < sizeof d.filename;
}

// Creates the dump's file and writes its header blocks, with d.rec as the
// first record. 0 when the dump is ready for records; -1 when the message
// must be given up (reported here).
int start_dump(dump_state& d) {
    uint8_t* hdr = d.hdr;
    const uint8_t af = tlh_af(hdr);
    if (af != TLH_AF_INET && af != TLH_AF_INET6) {
        log_stderr("Skipping black box record with unknown address family %hhu", af);
        return -1;
    }
    const bool v6 = af == TLH_AF_INET6;
    const uint8_t* faddr = hdr + OFF_TLH_FADDR + (v6 ? 0 : IPV4_IN_ADDR_FIELD);
    if (!inet_ntop(v6 ? AF_INET6 : AF_INET, faddr, d.faddr, sizeof d.faddr)) {
        snprintf(d.faddr, sizeof d.faddr, "%s", "(unknown)");
    }

    const std::string_view id = tlh_id(hdr);
    const int n = snprintf(d.identifier, sizeof d.identifier, "%.*s_%hu_%s_%hu",
                           static_cast<int>(id.size()), id.data(), tlh_lport(hdr), d.faddr,
                           tlh_fport(hdr));
    if (n < 0 || static_cast<size_t>(n) >= sizeof d.identifier) {
        log_stderr("Skipping black box record: identifier for filename is too long");
        return -1;
    }

    int32_t* cached = idcache_lookup(d.identifier);
    const int32_t start = cached ? *cached : 0;
    const int tries = start > PROBE_SINGLE_ABOVE ? 1 : PROBE_LIMIT;
    int fd = -1;
    for (int i = 0; i < tries && fd < 0; i++) {
        const int32_t seq = start + i;
        if (!build_filename(d, seq)) {
            log_stderr("Skipping black box record: filename is too long");
            return -1;
        }
        fd = openat(d.dir_fd, d.filename, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (fd >= 0) d.frag_seq = seq;
    }
    if (fd < 0) {
        warn_errno("Unable to open file to write black box record");
        return -1;
    }

    // The highest number has no successor: keep it, so that the next dump of
    // this identifier finds no free number instead of overflowing.
    const int32_t next = d.frag_seq == INT32_MAX ? INT32_MAX : d.frag_seq + 1;
    if (cached) {
        *cached = next;
    } else if (!reason_drops_short_dumps(hdr)) {
        idcache_add(d.identifier, next);
    }

    d.w = output_writer{};
    d.w.fd = fd;
    d.w.time_offset = hdr + OFF_TLH_OFFSET;
    d.w.af = af;
    pcap_ipheaders(&d.w, hdr);
    if (compress_xz) {
        init_xz(&d.w);
    } else if (compress_zstd) {
        init_zstd(&d.w);
    } else {
        d.w.write_op = writev_int;
    }

    if (pcap_headerblocks(&d.w, hdr, d.rec, d.dump_time) != 0) {
        close_dump(d);
        unlinkat(d.dir_fd, d.filename, 0);
        return -1;
    }
    d.first_record = true;
    d.record_count = 0;
    d.conn_ended = false;
    return 0;
}

// Writes the records from d.rec on, splitting on stack changes.
void write_records(dump_state& d) {
    for (;;) {
        const uint64_t remaining = tlh_length(d.hdr);
        if (remaining < LOG_RECORD_SIZE) {
            log_stderr("Incorrect header length while processing black box record");
            close_dump(d);
            return;
        }
        uint8_t* rec = d.rec;
        const uint16_t flags = rec_flags(rec);
        const size_t record_len = rec_size(rec);
        if (remaining < record_len) {
            log_stderr("Incorrect header length while processing verbose black box record");
            close_dump(d);
            unlinkat(d.dir_fd, d.filename, 0);
            return;
        }

        const uint32_t serial = rec_serial(rec);
        if (d.first_record) {
            d.stack_id = rec_stack_id(rec);
            d.prev_serial = serial;
            d.first_time = rec_time(rec);
            d.first_record = false;
        } else {
            if (rec_stack_id(rec) != d.stack_id) {
                if (close_dump(d) == 0) index_dump(d);
                if (start_dump(d) != 0) return;
                continue;  // the record opens the new dump
            }
            if (serial != d.prev_serial + 1) {
                if (pcap_gapblock(&d.w, serial - d.prev_serial - 1) != 0) {
                    close_dump(d);
                    return;
                }
            }
        }
        d.prev_serial = serial;
        d.last_time = rec_time(rec);

        int rc;
        if (flags & REC_FLAG_HAS_TH) {
            rc = pcap_packetblock(&d.w, rec);
        } else {
            rc = pcap_eventblock(&d.w, rec);
            if (rec_event_id(rec) == REC_EVENT_CONN_END) d.conn_ended = true;
        }
        if (rc != 0) {
            close_dump(d);
            return;
        }

        QUARN_ASSERT_TEXT(UNIT, remaining >= record_len, "hdr->tlh_length >= record_len");
        d.record_count++;
        set_tlh_length(d.hdr, remaining - record_len);
        d.rec = rec + record_len;
        if (remaining == record_len) break;
    }

    const int closed = close_dump(d);
    if (closed != 0) return;  // a damaged file is never indexed
    if (d.record_count > SHORT_DUMP_RECORDS || !reason_drops_short_dumps(d.hdr)) {
        index_dump(d);
    } else {
        unlinkat(d.dir_fd, d.filename, 0);
    }
}

}  // namespace

dump_clock_fn dump_clock = wall_clock;

void do_bbr_record(int dir_fd, uint8_t* hdr) {
    const uint64_t length = tlh_length(hdr);
    // A message shorter than its header has no address family or records to
    // read; it is reported like any other message without a whole record.
    if (length < MIN_DUMP_MESSAGE_SIZE) {
        if (length >= LOG_HEADER_SIZE) set_tlh_length(hdr, length - LOG_HEADER_SIZE);
        log_stderr("Incorrect header length while starting to process black box record");
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
