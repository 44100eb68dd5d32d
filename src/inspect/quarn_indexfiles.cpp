// Reading the rotated index files back.
#include "quarn_indexfiles.h"

#if QUARN_HAVE_BZIP2
#include <bzlib.h>
#endif
#include <zlib.h>

#include <algorithm>

#include "quarn_dumpread.h"
#include "quarn_parts.h"

namespace quarn {

namespace {

constexpr std::string_view INDEX_NAME = "records";
constexpr size_t CHUNK = 1 << 16;

struct suffix_kind {
    std::string_view suffix;
    index_compression kind;
};
constexpr suffix_kind SUFFIXES[] = {
    {".gz", index_compression::gzip},
    {".bz2", index_compression::bzip2},
    {".xz", index_compression::xz},
    {".zst", index_compression::zstd},
};

int gunzip(const uint8_t* in, size_t size, std::vector<uint8_t>& out, std::string& err) {
    z_stream z{};
    // 16 + MAX_WBITS: a gzip wrapper, not a raw zlib stream.
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
        err = "cannot set up the gzip decoder";
        return -1;
    }
    size_t used = 0, consumed = 0;
    int rc = -1;
    for (;;) {
        if (!dump_buffer_grow(out, used, CHUNK)) {
            err = "gzip data decompresses to more than the size limit";
            break;
        }
        // zlib counts in 32-bit units: feed at most that much at a time.
        const size_t avail_in = std::min<size_t>(size - consumed, UINT32_MAX);
        z.next_in = const_cast<Bytef*>(in + consumed);
        z.avail_in = static_cast<uInt>(avail_in);
        z.next_out = out.data() + used;
        z.avail_out = static_cast<uInt>(out.size() - used);
        const int r = inflate(&z, Z_NO_FLUSH);
        consumed += avail_in - z.avail_in;
        used = out.size() - z.avail_out;
        if (r == Z_STREAM_END) {
            // Another member may follow (gzip files may be concatenated).
            if (consumed == size) {
                rc = 0;
                break;
            }
            inflateReset(&z);
            continue;
        }
        if (r == Z_OK) continue;
        if (r == Z_BUF_ERROR && consumed == size) {
            err = "gzip data ends before its stream does";
        } else {
            err = std::string("gzip data is damaged: ") + (z.msg ? z.msg : "inflate failed");
        }
        break;
    }
    inflateEnd(&z);
    out.resize(used);
    return rc;
}

#if !QUARN_HAVE_BZIP2
// A build without libbz2 (a sysroot that lacks it) names what it cannot read.
int bunzip2(const uint8_t*, size_t, std::vector<uint8_t>&, std::string& err) {
    err = "this build reads no bzip2 data (built without libbz2)";
    return -1;
}
#else
int bunzip2(const uint8_t* in, size_t size, std::vector<uint8_t>& out, std::string& err) {
    size_t used = 0, consumed = 0;
    int rc = -1;
    bool open = false;
    bz_stream b{};
    for (;;) {
        if (!open) {
            b = bz_stream{};
            if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) {
                err = "cannot set up the bzip2 decoder";
                break;
            }
            open = true;
        }
        if (!dump_buffer_grow(out, used, CHUNK)) {
            err = "bzip2 data decompresses to more than the size limit";
            break;
        }
        const size_t avail_in = std::min<size_t>(size - consumed, UINT32_MAX);
        b.next_in = const_cast<char*>(reinterpret_cast<const char*>(in + consumed));
        b.avail_in = static_cast<unsigned>(avail_in);
        b.next_out = reinterpret_cast<char*>(out.data() + used);
        b.avail_out = static_cast<unsigned>(out.size() - used);
        const int r = BZ2_bzDecompress(&b);
        consumed += avail_in - b.avail_in;
        used = out.size() - b.avail_out;
        if (r == BZ_STREAM_END) {
            BZ2_bzDecompressEnd(&b);
            open = false;
            if (consumed == size) {
                rc = 0;
                break;
            }
            continue;
        }
        if (r != BZ_OK) {
            err = "bzip2 data is damaged (decoder result " + std::to_string(r) + ")";
            break;
        }
        // No progress with all the input taken: the stream was cut.
        if (consumed == size && b.avail_out > 0) {
            err = "bzip2 data ends before its stream does";
            break;
        }
    }
    if (open) BZ2_bzDecompressEnd(&b);
    out.resize(used);
    return rc;
}
#endif

}  // namespace

bool index_file_name(std::string_view name, index_compression& c) {
    c = index_compression::none;
    for (const suffix_kind& s : SUFFIXES) {
        if (name.size() > s.suffix.size() && name.ends_with(s.suffix)) {
            c = s.kind;
            name.remove_suffix(s.suffix.size());
            break;
        }
    }
    if (!name.starts_with(INDEX_NAME)) return false;
    name.remove_prefix(INDEX_NAME.size());
    if (name.empty()) return true;
    if (name[0] != '.' || name.size() < 2) return false;
    return std::all_of(name.begin() + 1, name.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
}

int index_decompress(index_compression c, const uint8_t* in, size_t size, std::vector<uint8_t>& out,
                     std::string& err) {
    out.clear();
    switch (c) {
    case index_compression::gzip: return gunzip(in, size, out, err);
    case index_compression::bzip2: return bunzip2(in, size, out, err);
    case index_compression::xz: return dump_decompress(dump_compression::xz, in, size, out, err);
    case index_compression::zstd: return dump_decompress(dump_compression::zstd, in, size, out, err);
    case index_compression::none: break;
    }
    return dump_decompress(dump_compression::none, in, size, out, err);
}

int index_files_read(const std::string& dir, std::vector<index_file>& out,
                     std::vector<std::string>& problems, std::string& err) {
    std::vector<std::string> names;
    if (list_dir_names(dir, names, err) != 0) return -1;
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        index_compression c;
        if (!index_file_name(n, c)) continue;
        std::vector<uint8_t> raw, text;
        std::string why;
        if (dump_read_raw((dir + "/" + n).c_str(), raw, why) != 0 ||
            index_decompress(c, raw.data(), raw.size(), text, why) != 0) {
            problems.push_back(n + ": " + why);
            continue;
        }
        index_file f;
        f.name = n;
        size_t from = 0;
        while (from < text.size()) {
            const auto nl = std::find(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), '\n');
            const size_t to = nl == text.end() ? text.size() : static_cast<size_t>(nl - text.begin()) + 1;
            f.lines.emplace_back(reinterpret_cast<const char*>(text.data()) + from, to - from);
            from = to;
        }
        out.push_back(std::move(f));
    }
    return 0;
}

}  // namespace quarn
