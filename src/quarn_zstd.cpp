// The zstd writer: one zstd frame per dump file, with the content checksum.
//
// `out_used` counts the compressed bytes waiting at the start of the
// writer's buffer. The buffer goes to the file through writev_int only when
// it is full and once more when the frame ends, so a small dump is written
// with one call at close.
//
// Each thread keeps one compression context: resetting its session starts
// a new, independent frame with the parameters and the memory it has.
// A second writer open on the same thread (only tests do that) gets a
// context of its own, freed at its close.
#include "quarn_zstd.h"

#include <sys/uio.h>

#include <zstd.h>

#include "quarn_assert.h"
#include "quarn_outbuf.h"
#include "quarn_process.h"
#include "quarn_threadcache.h"
#include "quarn_writev.h"

namespace quarn {

namespace {

[[noreturn]] void init_failed() {
    write_stderr("Unable to initialize zstd encoder.\n");
    do_exit(1);
}

// A context with the dumps' parameters, or null.
ZSTD_CCtx* new_context() {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    if (cctx == nullptr) return nullptr;
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, ZSTD_DUMP_LEVEL)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1))) {
        ZSTD_freeCCtx(cctx);
        return nullptr;
    }
    return cctx;
}

struct context_traits {
    using object = ZSTD_CCtx;
    static ZSTD_CCtx* make() { return new_context(); }
    static void release(ZSTD_CCtx* cctx) { ZSTD_freeCCtx(cctx); }
};
using contexts = thread_cache<context_traits>;

ZSTD_CCtx* take_context() {
    bool reused;
    ZSTD_CCtx* cctx = contexts::take(&reused);
    if (cctx == nullptr) init_failed();
    // Whatever an earlier frame left behind (a failed one ends in the
    // middle) is dropped; the parameters stay.
    if (reused && ZSTD_isError(ZSTD_CCtx_reset(cctx, ZSTD_reset_session_only))) init_failed();
    return cctx;
}

void give_context(ZSTD_CCtx* cctx) { contexts::give(cctx); }

}  // namespace

void init_zstd(output_writer* w) {
    w->outbuf = outbuf_take();
    w->zstd = take_context();
    w->out_used = 0;
    w->write_failed = false;
    w->write_op = writev_zstd;
    w->close_op = close_zstd;
}

int writev_zstd(output_writer* w, struct iovec* iov, int count, int /*total*/) {
    for (int i = 0; i < count; i++) {
        if (write_zstd(w, static_cast<const uint8_t*>(iov[i].iov_base), iov[i].iov_len, false) != 0)
            return -1;
    }
    return 0;
}

int write_zstd(output_writer* w, const uint8_t* data, size_t len, bool finish) {
    ZSTD_inBuffer in{data, len, 0};
    const ZSTD_EndDirective mode = finish ? ZSTD_e_end : ZSTD_e_continue;
    for (;;) {
        // Without finish the encoder runs only while there is input.
        if (!finish && in.pos == in.size) return 0;
        ZSTD_outBuffer out{w->outbuf, OUTBUF_SIZE, w->out_used};
        const size_t left = ZSTD_compressStream2(w->zstd, &out, &in, mode);
        w->out_used = out.pos;
        if (ZSTD_isError(left)) {
            writer_failed(w, "Error encoding zstd stream.", 0);
            w->write_failed = true;
            return -1;
        }
        // With finish, 0 left means the frame is complete in the buffer.
        const bool ended = finish && left == 0;
        if (ended || w->out_used == OUTBUF_SIZE) {
            if (outbuf_flush(w, w->out_used) != 0) return -1;
            w->out_used = 0;
        }
        if (ended) break;
    }
    QUARN_ASSERT(in.pos == in.size);
    return 0;
}

int close_zstd(output_writer* w) {
    int rc = -1;
    if (w->zstd != nullptr) {
        // After a failed write the file is damaged already: the frame is
        // left unfinished and nothing more is written or reported.
        if (w->outbuf != nullptr && !w->write_failed) rc = write_zstd(w, nullptr, 0, true);
        give_context(w->zstd);
        w->zstd = nullptr;
    }
    outbuf_give(w->outbuf);
    w->outbuf = nullptr;
    w->out_used = 0;
    return rc;
}

}  // namespace quarn
