// Reading dump files back: the whole file into memory, XZ and zstd streams
// decompressed within DUMP_MAX_BYTES. The walk over the blocks is in the
// quarn_dumpwalk units.
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
#include <string>

namespace quarn {

namespace {

constexpr size_t READ_CHUNK = 1 << 16;

int decompress_xz(const uint8_t* in, size_t size, std::vector<uint8_t>& out, std::string& err,
                  dump_fault_kind& kind) {
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
        if (!dump_buffer_grow(out, used, READ_CHUNK)) {
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
                                  : "XZ data is damaged (decoder result " + std::to_string(r) + ")";
        if (r == LZMA_BUF_ERROR) kind = dump_fault_kind::cut_short;
        break;
    }
    lzma_end(&s);
    out.resize(used);
    return rc;
}

int decompress_zstd(const uint8_t* in, size_t size, std::vector<uint8_t>& out, std::string& err,
                    dump_fault_kind& kind) {
    ZSTD_DCtx* ctx = ZSTD_createDCtx();
    if (!ctx) {
        err = "cannot set up the zstd decoder";
        return -1;
    }
    ZSTD_inBuffer ib{in, size, 0};
    size_t used = 0;
    int rc = 0;
    for (;;) {
        if (!dump_buffer_grow(out, used, READ_CHUNK)) {
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
                kind = dump_fault_kind::cut_short;
                rc = -1;
            }
            break;
        }
    }
    ZSTD_freeDCtx(ctx);
    out.resize(used);
    return rc;
}

}  // namespace

std::string printf_text(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s;
    if (n > 0) {
        s.resize(static_cast<size_t>(n));
        vsnprintf(s.data(), s.size() + 1, fmt, again);
    }
    va_end(again);
    return s;
}

bool dump_buffer_grow(std::vector<uint8_t>& out, size_t used, size_t want) {
    if (used >= DUMP_MAX_BYTES) return false;
    const size_t n = std::min(want, DUMP_MAX_BYTES - used);
    out.resize(used + n);
    return true;
}

dump_compression dump_compression_of(const uint8_t* data, size_t size) {
    for (const compression_kind& c : COMPRESSIONS) {
        if (c.magic && size >= c.magic_len && memcmp(data, c.magic, c.magic_len) == 0) return c.id;
    }
    return dump_compression::none;
}

int dump_decompress(dump_compression c, const uint8_t* in, size_t size, std::vector<uint8_t>& out,
                    std::string& err, dump_fault_kind* kind) {
    dump_fault_kind ignored = dump_fault_kind::damaged;
    dump_fault_kind& k = kind ? *kind : ignored;
    k = dump_fault_kind::damaged;
    out.clear();
    switch (c) {
    case dump_compression::xz: return decompress_xz(in, size, out, err, k);
    case dump_compression::zstd: return decompress_zstd(in, size, out, err, k);
    case dump_compression::none: break;
    }
    if (size > DUMP_MAX_BYTES) {
        err = "file larger than the size limit";
        return -1;
    }
    out.assign(in, in + size);
    return 0;
}

int dump_read_raw(const char* path, std::vector<uint8_t>& raw, std::string& err) {
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
    // A file past the limit is refused before a byte is read; a compressed
    // one too, since its content could only be larger. (A pipe or device
    // tells no size, and its reading stops at the limit below.)
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > DUMP_MAX_BYTES) {
        err = "file of " + std::to_string(st.st_size) + " bytes, larger than the size limit of " +
              std::to_string(DUMP_MAX_BYTES) + " bytes";
        return -1;
    }
    raw.clear();
    if (S_ISREG(st.st_mode)) raw.reserve(static_cast<size_t>(st.st_size));
    size_t used = 0;
    for (;;) {
        if (used == raw.size() && !dump_buffer_grow(raw, used, READ_CHUNK)) {
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
    return 0;
}

int dump_read_file(const char* path, std::vector<uint8_t>& out, std::string& err,
                   dump_fault_kind* kind) {
    if (kind) *kind = dump_fault_kind::damaged;
    std::vector<uint8_t> raw;
    if (dump_read_raw(path, raw, err) != 0) return -1;
    return dump_decompress(dump_compression_of(raw.data(), raw.size()), raw.data(), raw.size(),
                           out, err, kind);
}

}  // namespace quarn
