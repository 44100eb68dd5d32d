// The compressing writers' output buffer, one kept per thread.
#include "quarn_outbuf.h"

#include <sys/uio.h>

#include <cstdlib>

#include "quarn_process.h"
#include "quarn_threadcache.h"

namespace quarn {

namespace {

struct outbuf_traits {
    using object = uint8_t;
    static uint8_t* make() { return static_cast<uint8_t*>(malloc(OUTBUF_SIZE)); }
    static void release(uint8_t* buf) { free(buf); }
};
using outbufs = thread_cache<outbuf_traits>;

}  // namespace

uint8_t* outbuf_take() {
    bool reused;
    if (uint8_t* buf = outbufs::take(&reused)) return buf;
    do_err(1, "Error allocating %u bytes for output buffer", OUTBUF_SIZE);
}

void outbuf_give(uint8_t* buf) { outbufs::give(buf); }

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
