// floor: the least a program must do to turn a log stream into the daemon's
// files on this machine, as the yardstick for the daemon's speed.
//
//   floor [-J | -Z] -D dir -f file
//
// It reads the same stream the same way (one message at a time into a
// buffer of its own, handed to a second thread through a locked queue) and
// makes the daemon's system calls: one exclusive creation per dump (a new
// dump wherever the stack id changes), one gather write per block, one
// close and one index line per file. The blocks have the daemon's layout
// and sizes and nearly the same bytes, built from the message in place and
// from templates: no checksums (those fields keep what the record holds or
// stay zero), no option allocations, no name probing, no id cache, no
// stack-name table, no JSON escaping. With -J every file is one XZ stream from a new preset-0
// encoder (freed memory stays with the allocator, so its pages are used
// again); with -Z one
// zstd frame with its checksum at the daemon's level. Both write through a
// 2 MiB buffer as the daemon does.
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <lzma.h>
#include <zstd.h>

#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_zstd.h"

namespace {

using namespace quarn;

constexpr size_t OUTBUF_SIZE = 2097152;
constexpr int QUEUE_LIMIT = 1000;

enum class mode { direct, xz, zstd };

struct message {
    message* next;
    uint8_t* bytes;
};

// The queue between the reader and the writer; a null message ends it.
struct queue {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t filled = PTHREAD_COND_INITIALIZER;
    pthread_cond_t drained = PTHREAD_COND_INITIALIZER;
    message* first = nullptr;
    message** last = &first;
    int count = 0;
    bool ended = false;
};

queue q;
mode out_mode = mode::direct;
int dir_fd = -1;
int records_fd = -1;

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "floor: %s: %s\n", what, strerror(errno));
    exit(1);
}

// One output file with its compressor.
struct output {
    int fd = -1;
    lzma_stream strm = LZMA_STREAM_INIT;
    ZSTD_CCtx* zctx = nullptr;
    uint8_t* buf = nullptr;
    size_t used = 0;
};

void write_all(int fd, struct iovec* iov, int count) {
    for (;;) {
        ssize_t n = writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            die("writev");
        }
        while (count > 0 && static_cast<size_t>(n) >= iov->iov_len) {
            n -= static_cast<ssize_t>(iov->iov_len);
            iov++;
            count--;
        }
        if (count == 0) return;
        iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + n;
        iov->iov_len -= static_cast<size_t>(n);
    }
}

void flush(output& o) {
    struct iovec v = {o.buf, o.used};
    if (o.used > 0) write_all(o.fd, &v, 1);
    o.used = 0;
}

void feed_xz(output& o, const void* data, size_t len, bool finish) {
    o.strm.next_in = static_cast<const uint8_t*>(data);
    o.strm.avail_in = len;
    for (;;) {
        if (!finish && o.strm.avail_in == 0) return;
        o.strm.next_out = o.buf + o.used;
        o.strm.avail_out = OUTBUF_SIZE - o.used;
        const lzma_ret r = lzma_code(&o.strm, finish ? LZMA_FINISH : LZMA_RUN);
        o.used = OUTBUF_SIZE - o.strm.avail_out;
        if (r != LZMA_OK && r != LZMA_STREAM_END && r != LZMA_BUF_ERROR) die("lzma_code");
        if (o.used == OUTBUF_SIZE || r == LZMA_STREAM_END) flush(o);
        if (r == LZMA_STREAM_END) return;
    }
}

void feed_zstd(output& o, const void* data, size_t len, bool finish) {
    ZSTD_inBuffer in{data, len, 0};
    for (;;) {
        if (!finish && in.pos == in.size) return;
        ZSTD_outBuffer out{o.buf, OUTBUF_SIZE, o.used};
        const size_t left = ZSTD_compressStream2(o.zctx, &out, &in, finish ? ZSTD_e_end : ZSTD_e_continue);
        o.used = out.pos;
        if (ZSTD_isError(left)) die("ZSTD_compressStream2");
        if (o.used == OUTBUF_SIZE || (finish && left == 0)) flush(o);
        if (finish && left == 0) return;
    }
}

// One block: one gather write, or the same bytes through the encoder.
void put(output& o, struct iovec* iov, int count) {
    switch (out_mode) {
    case mode::direct: write_all(o.fd, iov, count); break;
    case mode::xz:
        for (int i = 0; i < count; i++) feed_xz(o, iov[i].iov_base, iov[i].iov_len, false);
        break;
    case mode::zstd:
        for (int i = 0; i < count; i++) feed_zstd(o, iov[i].iov_base, iov[i].iov_len, false);
        break;
    }
}

uint64_t files_made = 0;
int64_t dump_time = 0;
uint8_t* thread_buf = nullptr;
ZSTD_CCtx* thread_zctx = nullptr;

uint8_t zeros[SNAP_LEN];
// Option headers with fixed content: code, length, enterprise number, subtype.
struct opt_hdr {
    uint16_t code, len;
    uint32_t pen, sub;
};
struct trailer {
    uint16_t code, len;
    uint32_t blocklen;
};

void open_file(output& o, char* name, size_t name_size, const uint8_t* hdr) {
    static const char* const SUFFIX[] = {"", ".xz", ".zst"};
    snprintf(name, name_size, "%llu.pcapng%s", static_cast<unsigned long long>(files_made++),
             SUFFIX[static_cast<int>(out_mode)]);
    o.fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (o.fd < 0) die("openat");
    o.buf = thread_buf;
    o.used = 0;
    if (out_mode == mode::xz) {
        o.strm = LZMA_STREAM_INIT;
        if (lzma_easy_encoder(&o.strm, 0, LZMA_CHECK_CRC64) != LZMA_OK) die("lzma_easy_encoder");
    } else if (out_mode == mode::zstd) {
        o.zctx = thread_zctx;
        ZSTD_CCtx_reset(o.zctx, ZSTD_reset_session_only);
    }

    // Section header with the daemon's options (log version, dump time, log
    // header, stack name), then the interface block.
    static const char STACK[] = "bbr";
    struct {
        uint32_t type, len, magic;
        uint16_t major, minor;
        int64_t section;
    } shb{BT_SHB, 0, 0x1A2B3C4D, 1, 0, -1};
    const opt_hdr ver{OPT_CUSTOM, 12, PEN, OPT_SUB_LOG_VERSION};
    const uint32_t version = TCP_LOG_VERSION;
    const opt_hdr when{OPT_CUSTOM, 16, PEN, OPT_SUB_DUMP_TIME};
    const int64_t now = dump_time;
    const opt_hdr head{OPT_CUSTOM, static_cast<uint16_t>(8 + LOG_HEADER_SIZE), PEN, OPT_SUB_LOG_HEADER};
    const opt_hdr stack{OPT_CUSTOM, static_cast<uint16_t>(8 + 1 + sizeof STACK), PEN, OPT_SUB_STACK_NAME};
    const uint8_t stack_id = rec_stack_id(hdr + LOG_HEADER_SIZE);
    // The stack-name option: header, id byte, name with its NUL, 3 bytes pad.
    static_assert((1 + sizeof STACK + 3) % 4 == 0);
    const uint32_t shb_len = 24 + 16 + 20 + 12 + LOG_HEADER_SIZE + 12 + 1 + sizeof STACK + 3 + 8;
    shb.len = shb_len;
    const trailer shb_end{0, 0, shb_len};
    const struct {
        uint32_t type, len;
        uint16_t link, reserved;
        uint32_t snap;
        trailer end;
    } idb{BT_IDB, 24, LINKTYPE_NULL, 0, SNAP_LEN, {0, 0, 24}};
    struct iovec iov[] = {
        {&shb, 24},
        {const_cast<opt_hdr*>(&ver), 12},
        {const_cast<uint32_t*>(&version), 4},
        {const_cast<opt_hdr*>(&when), 12},
        {const_cast<int64_t*>(&now), 8},
        {const_cast<opt_hdr*>(&head), 12},
        {const_cast<uint8_t*>(hdr), LOG_HEADER_SIZE},
        {const_cast<opt_hdr*>(&stack), 12},
        {const_cast<uint8_t*>(&stack_id), 1},
        {const_cast<char*>(STACK), sizeof STACK},
        {zeros, 3},
        {const_cast<trailer*>(&shb_end), 8},
        {const_cast<void*>(static_cast<const void*>(&idb)), 24},
    };
    put(o, iov, sizeof iov / sizeof iov[0]);
}

void close_file(output& o, const char* name, const uint8_t* hdr, uint32_t records) {
    if (out_mode == mode::xz) {
        feed_xz(o, nullptr, 0, true);
        lzma_end(&o.strm);
    } else if (out_mode == mode::zstd) {
        feed_zstd(o, nullptr, 0, true);
    }
    close(o.fd);
    o.fd = -1;
    // An index line of the daemon's length, made without escaping or dates.
    char line[512];
    const std::string_view id = tlh_id(hdr);
    const int n = snprintf(line, sizeof line,
                           "{\"date\":\"2026-01-01 00:00:00 +0000\", \"pbcid\":\"%.*s\", "
                           "\"reason\":\"normal\", \"faddr\":\"192.0.2.1\", \"fport\":%hu, "
                           "\"laddr\":\"10.0.0.1\", \"lport\":%hu, \"filename\":\"%s\", "
                           "\"record_count\":%u, \"stack\":\"bbr\", \"duration\":0.000000, "
                           "\"connection_ended\":false, \"tag\":\"\", \"compressor\":\"\", "
                           "\"frag_seq\":0}\n",
                           static_cast<int>(id.size()), id.data(), tlh_fport(hdr), tlh_lport(hdr),
                           name, records);
    if (write(records_fd, line, static_cast<size_t>(n)) != n) die("write records");
}

// The daemon's blocks for one message, from its bytes in place.
void dump(uint8_t* hdr) {
    const uint64_t length = tlh_length(hdr);
    if (tlh_type(hdr) != TLH_TYPE_BBR || length < MIN_DUMP_MESSAGE_SIZE) return;
    const uint8_t af = tlh_af(hdr);
    const bool v6 = af == TLH_AF_INET6;
    const uint32_t ip_len = v6 ? 40 : 20;
    // The synthesized network headers, both ways, as the daemon makes them
    // but without their checksums.
    uint8_t ip_in[40] = {}, ip_out[40] = {};
    const uint8_t* faddr = hdr + OFF_TLH_FADDR;
    const uint8_t* laddr = hdr + OFF_TLH_LADDR;
    if (v6) {
        ip_in[0] = 0x60;
        ip_in[6] = 6;
        ip_in[7] = 127;
        memcpy(ip_out, ip_in, 8);
        memcpy(ip_in + 8, faddr, 16);
        memcpy(ip_in + 24, laddr, 16);
        memcpy(ip_out + 8, laddr, 16);
        memcpy(ip_out + 24, faddr, 16);
    } else {
        ip_in[0] = 0x45;
        ip_in[8] = 127;
        ip_in[9] = 6;
        memcpy(ip_out, ip_in, 12);
        memcpy(ip_in + 12, faddr + IPV4_IN_ADDR_FIELD, 4);
        memcpy(ip_in + 16, laddr + IPV4_IN_ADDR_FIELD, 4);
        memcpy(ip_out + 12, laddr + IPV4_IN_ADDR_FIELD, 4);
        memcpy(ip_out + 16, faddr + IPV4_IN_ADDR_FIELD, 4);
    }
    const timeval64 off = tlh_offset(hdr);

    output o;
    char name[64];
    open_file(o, name, sizeof name, hdr);
    uint32_t records = 0;
    uint8_t stack_id = rec_stack_id(hdr + LOG_HEADER_SIZE);
    uint32_t prev_serial = 0;
    for (size_t at = LOG_HEADER_SIZE; at + LOG_RECORD_SIZE <= length;) {
        uint8_t* rec = hdr + at;
        const size_t size = rec_size(rec);
        if (at + size > length) break;
        if (rec_stack_id(rec) != stack_id) {
            close_file(o, name, hdr, records);
            stack_id = rec_stack_id(rec);
            records = 0;
            open_file(o, name, sizeof name, hdr);
        }
        const uint32_t serial = rec_serial(rec);
        if (records > 0 && serial != prev_serial + 1) {
            struct {
                uint32_t type, len, pen, sub, missing;
                trailer end;
            } gap{BT_CUSTOM, 28, PEN, CB_SUB_GAP, serial - prev_serial - 1, {0, 0, 28}};
            struct iovec g = {&gap, sizeof gap};
            put(o, &g, 1);
        }
        prev_serial = serial;
        const opt_hdr rec_opt{OPT_CUSTOM, static_cast<uint16_t>(8 + REC_COPY_SIZE), PEN, OPT_SUB_RECORD};
        const uint32_t th_len = rec_th_len(rec);
        if ((rec_flags(rec) & REC_FLAG_HAS_TH) && th_len >= 20) {
            const uint32_t payload = rec_payload_len(rec);
            const uint32_t origlen = 4 + ip_len + th_len + payload;
            const bool inbound = rec_event_id(rec) == REC_EVENT_IN;
            uint8_t* ip = inbound ? ip_in : ip_out;
            if (v6) store_be16(ip + 4, static_cast<uint16_t>(th_len + payload));
            else store_be16(ip + 2, static_cast<uint16_t>(th_len + payload + 20));
            const uint32_t caplen = origlen < SNAP_LEN ? origlen : SNAP_LEN;
            const uint32_t pad = (caplen + payload - origlen + 3) & ~3u;
            const timeval64 t = rec_time(rec);
            const uint64_t usec = static_cast<uint64_t>(off.sec + t.sec) * 1000000u +
                                  static_cast<uint64_t>(off.usec + t.usec);
            const uint32_t blocklen = 32 + ip_len + th_len + pad + 12 + REC_COPY_SIZE + 8 + 8;
            const struct {
                uint32_t type, len, iface, ts_high, ts_low, caplen, origlen, af;
            } epb{BT_EPB, blocklen, 0, static_cast<uint32_t>(usec >> 32), static_cast<uint32_t>(usec),
                  caplen, origlen, af};
            const struct {
                uint16_t code, len;
                uint32_t flags;
            } flags{OPT_EPB_FLAGS, 4, inbound ? 1u : 2u};
            const trailer end{0, 0, blocklen};
            struct iovec iov[] = {
                {const_cast<void*>(static_cast<const void*>(&epb)), 32},
                {ip, ip_len},
                {rec_th(rec), th_len},
                {zeros, pad},
                {const_cast<opt_hdr*>(&rec_opt), 12},
                {rec, REC_COPY_SIZE},
                {const_cast<void*>(static_cast<const void*>(&flags)), 8},
                {const_cast<trailer*>(&end), 8},
            };
            put(o, iov, 8);
        } else {
            const uint32_t blocklen = 16 + 12 + REC_COPY_SIZE + 8;
            const struct {
                uint32_t type, len, pen, sub;
            } eb{BT_CUSTOM, blocklen, PEN, CB_SUB_EVENT};
            const trailer end{0, 0, blocklen};
            struct iovec iov[] = {
                {const_cast<void*>(static_cast<const void*>(&eb)), 16},
                {const_cast<opt_hdr*>(&rec_opt), 12},
                {rec, REC_COPY_SIZE},
                {const_cast<trailer*>(&end), 8},
            };
            put(o, iov, 4);
        }
        records++;
        at += size;
    }
    close_file(o, name, hdr, records);
}

void* writer(void*) {
    thread_buf = static_cast<uint8_t*>(malloc(OUTBUF_SIZE));
    if (thread_buf == nullptr) die("malloc");
    if (out_mode == mode::zstd) {
        thread_zctx = ZSTD_createCCtx();
        if (thread_zctx == nullptr) die("ZSTD_createCCtx");
        ZSTD_CCtx_setParameter(thread_zctx, ZSTD_c_compressionLevel, ZSTD_DUMP_LEVEL);
        ZSTD_CCtx_setParameter(thread_zctx, ZSTD_c_checksumFlag, 1);
    }
    for (;;) {
        pthread_mutex_lock(&q.lock);
        while (q.first == nullptr && !q.ended) pthread_cond_wait(&q.filled, &q.lock);
        message* m = q.first;
        if (m == nullptr) {
            pthread_mutex_unlock(&q.lock);
            break;
        }
        q.first = m->next;
        if (q.first == nullptr) q.last = &q.first;
        pthread_mutex_unlock(&q.lock);

        dump(m->bytes);
        free(m->bytes);
        delete m;
        pthread_mutex_lock(&q.lock);
        if (--q.count == QUEUE_LIMIT) pthread_cond_signal(&q.drained);
        pthread_mutex_unlock(&q.lock);
    }
    free(thread_buf);
    ZSTD_freeCCtx(thread_zctx);
    return nullptr;
}

bool read_full(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* dir = nullptr;
    const char* input = nullptr;
    int ch;
    while ((ch = getopt(argc, argv, "JZD:f:")) != -1) {
        switch (ch) {
        case 'J': out_mode = mode::xz; break;
        case 'Z': out_mode = mode::zstd; break;
        case 'D': dir = optarg; break;
        case 'f': input = optarg; break;
        default:
            fprintf(stderr, "usage: floor [-J | -Z] -D dir -f file\n");
            return 1;
        }
    }
    if (dir == nullptr || input == nullptr) {
        fprintf(stderr, "usage: floor [-J | -Z] -D dir -f file\n");
        return 1;
    }
#ifdef __GLIBC__
    // Freed memory stays with the allocator: an encoder made for the next
    // file takes the pages of the last one instead of new ones from the
    // kernel.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
    const int in = open(input, O_RDONLY);
    if (in < 0) die(input);
    dir_fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) die(dir);
    records_fd = openat(dir_fd, "records", O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (records_fd < 0) die("records");

    dump_time = static_cast<int64_t>(time(nullptr));
    pthread_t worker;
    if (pthread_create(&worker, nullptr, writer, nullptr) != 0) die("pthread_create");
    for (;;) {
        uint8_t common[COMMON_HEADER_SIZE];
        if (!read_full(in, common, sizeof common)) break;
        const uint64_t length = tlh_length(common);
        if (length < COMMON_HEADER_SIZE) break;
        auto* bytes = static_cast<uint8_t*>(malloc((length + 7) & ~uint64_t{7}));
        if (bytes == nullptr) die("malloc");
        memcpy(bytes, common, sizeof common);
        if (!read_full(in, bytes + COMMON_HEADER_SIZE, length - COMMON_HEADER_SIZE)) {
            free(bytes);
            break;
        }
        auto* m = new message{nullptr, bytes};
        pthread_mutex_lock(&q.lock);
        // Only an empty queue can have the writer waiting.
        if (q.first == nullptr) pthread_cond_signal(&q.filled);
        *q.last = m;
        q.last = &m->next;
        if (++q.count > QUEUE_LIMIT) {
            while (q.count > QUEUE_LIMIT) pthread_cond_wait(&q.drained, &q.lock);
        }
        pthread_mutex_unlock(&q.lock);
    }
    pthread_mutex_lock(&q.lock);
    q.ended = true;
    pthread_cond_signal(&q.filled);
    pthread_mutex_unlock(&q.lock);
    pthread_join(worker, nullptr);
    return 0;
}
