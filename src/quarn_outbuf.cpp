// The compressing writers' output buffer, one kept per thread.
#include "quarn_outbuf.h"

#include <sys/uio.h>

#include <cstdlib>

#include "quarn_dumper.h"

namespace quarn {

namespace {

// The calling thread's output buffer.
struct thread_outbuf {
    uint8_t* buf = nullptr;
    bool in_use = false;
    thread_outbuf() = default;
    thread_outbuf(const thread_outbuf&) = delete;
    thread_outbuf& operator=(const thread_outbuf&) = delete;
    ~thread_outbuf() { free(buf); }
};

thread_local thread_outbuf outbuf;

}  // namespace

uint8_t* outbuf_take() {
    if (!outbuf.in_use) {
        if (outbuf.buf == nullptr) outbuf.buf = static_cast<uint8_t*>(malloc(OUTBUF_SIZE));
        if (outbuf.buf != nullptr) {
            outbuf.in_use = true;
            return outbuf.buf;
        }
    } else {
        auto* buf = static_cast<uint8_t*>(malloc(OUTBUF_SIZE));
        if (buf != nullptr) return buf;
    }
    do_err(1, "Error allocating %u bytes for output buffer", OUTBUF_SIZE);
}

void outbuf_give(uint8_t* buf) {
    if (buf == nullptr) return;
    if (buf == outbuf.buf) {
        outbuf.in_use = false;
        return;
    }
    free(buf);
}

int outbuf_flush(output_writer* w, size_t used) {
    struct iovec iov;
    iov.iov_base = w->outbuf;
    iov.iov_len = used;
    if (writev_int(w, &iov, 1, static_cast<int>(used)) != 0) {
        w->write_failed = true;
        return -1;
    }
    return 0;
}

}  // namespace quarn
