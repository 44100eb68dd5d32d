// The compressing writers' gather path: arbitrary bytes, cut into gather
// lists of arbitrary shape (empty entries, one-byte entries, many entries,
// several calls), written through the writer's operations into a real file,
// then decompressed: the result must be the bytes in order, and nothing
// else.
//
// Input: byte 0 picks the writer, bytes 1 to 32 are the plan of entry
// lengths, the rest is the data. (Dumps larger than the output buffer are
// covered by the writer's unit tests; here the inputs stay small so that
// each run is quick.)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <lzma.h>

#include "quarn_writev.h"
#include "quarn_xz.h"

#include "fuzz_support.h"

namespace {

constexpr size_t PLAN_SIZE = 32;
constexpr int MAX_ENTRIES = 64;

bool xz_decode(const std::string& file, std::string* out) {
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&strm, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) abort();
    strm.next_in = reinterpret_cast<const uint8_t*>(file.data());
    strm.avail_in = file.size();
    uint8_t buf[65536];
    lzma_ret ret;
    do {
        strm.next_out = buf;
        strm.avail_out = sizeof buf;
        ret = lzma_code(&strm, LZMA_FINISH);
        out->append(reinterpret_cast<char*>(buf), sizeof buf - strm.avail_out);
    } while (ret == LZMA_OK);
    lzma_end(&strm);
    return ret == LZMA_STREAM_END;
}

// One row per compressing writer: its set-up (which installs write_op and
// close_op) and a decoder for what it wrote. The zstd writer gets its row
// here when it exists.
struct writer_kind {
    const char* name;
    void (*init)(quarn::output_writer* w);
    bool (*decode)(const std::string& file, std::string* out);
};

const writer_kind WRITERS[] = {
    {"xz", quarn::init_xz, xz_decode},
};

std::string file_content(int fd) {
    std::string out;
    if (lseek(fd, 0, SEEK_SET) != 0) abort();
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) abort();
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + PLAN_SIZE) return 0;
    const writer_kind& kind = WRITERS[data[0] % std::size(WRITERS)];
    const uint8_t* plan = data + 1;
    std::vector<uint8_t> bytes(data + 1 + PLAN_SIZE, data + size);

    const int fd = memfd_create("dump", MFD_CLOEXEC);
    if (fd < 0) abort();
    quarn::output_writer w;
    w.fd = fd;
    kind.init(&w);

    // Calls of up to MAX_ENTRIES entries; entry lengths cycle through the
    // plan (0 gives an empty entry).
    size_t pos = 0, step = 0;
    std::vector<iovec> iov;
    while (pos < bytes.size() || step == 0) {
        const int entries = 1 + plan[step % PLAN_SIZE] % MAX_ENTRIES;
        iov.clear();
        int total = 0;
        for (int e = 0; e < entries; e++) {
            size_t len = plan[(step + 1 + static_cast<size_t>(e)) % PLAN_SIZE];
            // The last entry takes at least a byte, so every call moves on.
            if (e == entries - 1 && len == 0) len = 1;
            len = std::min(len, bytes.size() - pos);
            iov.push_back({bytes.data() + pos, len});
            pos += len;
            total += static_cast<int>(len);
        }
        step++;
        if (w.write_op(&w, iov.data(), static_cast<int>(iov.size()), total) != 0) {
            quarn::fuzz::finding("a write to a memory file failed", kind.name, strlen(kind.name));
        }
    }
    if (w.close_op) w.close_op(&w);
    if (fcntl(fd, F_GETFD) < 0) quarn::fuzz::finding("the writer closed its descriptor", kind.name, strlen(kind.name));

    std::string decoded;
    const std::string file = file_content(fd);
    close(fd);
    if (!kind.decode(file, &decoded)) quarn::fuzz::finding("the file does not decode", file.data(), file.size());
    if (decoded.size() != bytes.size() ||
        (!bytes.empty() && memcmp(decoded.data(), bytes.data(), bytes.size()) != 0)) {
        quarn::fuzz::finding("decoded bytes differ from the bytes written", kind.name, strlen(kind.name));
    }
    return 0;
}
