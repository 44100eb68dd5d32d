// The XZ writer: one XZ stream per dump file, encoded by liblzma at preset 0
// with a CRC64 check.
//
// The encoder's output side always points into the writer's output buffer
// (quarn_outbuf.h): `next_out` at the first free byte, `avail_out` counting
// the free bytes. The buffer goes to the file through writev_int only when
// it is full and once more when the stream ends, so while a dump runs the
// file grows in whole buffers and a small dump is written with one call at
// close.
//
// Setting up a new encoder for every file would cost more than compressing
// a small dump, so each thread keeps one, as it keeps its buffer: calling
// lzma_easy_encoder again on a stream that already holds an encoder with the
// same filter chain starts a fresh, independent stream in the memory the
// encoder already has. A second writer open on the same thread (only tests
// do that) gets its own stream, released at its close.
#include <sys/uio.h>

#include <cstdlib>

#include <lzma.h>

#include "quarn_assert.h"
#include "quarn_outbuf.h"
#include "quarn_process.h"
#include "quarn_threadcache.h"
#include "quarn_writev.h"
#include "quarn_xz.h"

namespace quarn {

xz_encoder_init_fn xz_encoder_init_hook = nullptr;

namespace {

constexpr uint32_t XZ_PRESET = 0;

// The thread's stream keeps the encoder's allocations from one file to the
// next, for as long as the thread lives.
struct stream_traits {
    using object = lzma_stream;
    // All zero bytes is liblzma's documented initial stream state.
    static lzma_stream* make() { return static_cast<lzma_stream*>(calloc(1, sizeof(lzma_stream))); }
    static void release(lzma_stream* strm) {
        lzma_end(strm);
        free(strm);
    }
};
using streams = thread_cache<stream_traits>;

void reset_outbuf(output_writer* w) {
    w->strm->next_out = w->outbuf;
    w->strm->avail_out = OUTBUF_SIZE;
}

// The stream for a new file: the thread's own unless it is taken.
lzma_stream* take_stream() {
    bool reused;
    lzma_stream* strm = streams::take(&reused);
    if (strm == nullptr) do_err(1, "Error allocating %zu bytes for XZ stream", sizeof(lzma_stream));
    if (reused && xz_encoder_init_hook != nullptr) {
        // The seam sees the zero-filled stream a first set-up would.
        lzma_end(strm);
        *strm = LZMA_STREAM_INIT;
    }
    return strm;
}

void give_stream(lzma_stream* strm) { streams::give(strm); }

}  // namespace

void init_xz(output_writer* w) {
    w->outbuf = outbuf_take();
    w->strm = take_stream();
    const int rv = xz_encoder_init_hook != nullptr
                       ? xz_encoder_init_hook(w->strm)
                       : lzma_easy_encoder(w->strm, XZ_PRESET, LZMA_CHECK_CRC64);
    if (rv != LZMA_OK) {
        write_stderr("Unable to initialize XZ encoder.\n");
        do_exit(1);
    }
    reset_outbuf(w);
    w->write_failed = false;
    w->write_op = writev_xz;
    w->close_op = close_xz;
}

int writev_xz(output_writer* w, struct iovec* iov, int count, int /*total*/) {
    for (int i = 0; i < count; i++) {
        if (write_xz(w, static_cast<const uint8_t*>(iov[i].iov_base), iov[i].iov_len, false) != 0)
            return -1;
    }
    return 0;
}

int write_xz(output_writer* w, const uint8_t* data, size_t len, bool finish) {
    lzma_stream* strm = w->strm;
    // Every successful call consumes all of its input, so nothing of an
    // earlier block may still wait here.
    QUARN_ASSERT(strm->avail_in == 0);

    const lzma_action action = finish ? LZMA_FINISH : LZMA_RUN;
    strm->next_in = data;
    strm->avail_in = len;
    for (;;) {
        // Without finish the encoder runs only while there is input; a
        // zero-length stretch never reaches it.
        if (!finish && strm->avail_in == 0) return 0;
        lzma_ret ret = lzma_code(strm, action);
        // The encoder reports a call that made no progress as a buffer
        // error; the loop goes on and flushes the full buffer.
        if (ret == LZMA_BUF_ERROR) ret = LZMA_OK;
        if (ret != LZMA_OK && ret != LZMA_STREAM_END) {
            writer_failed(w, "Error encoding XZ stream.", 0);
            w->write_failed = true;
            return -1;
        }
        if (ret == LZMA_STREAM_END || strm->avail_out == 0) {
            if (outbuf_flush(w, OUTBUF_SIZE - strm->avail_out) != 0) return -1;
            reset_outbuf(w);
        }
        if (ret == LZMA_STREAM_END) break;
    }
    // The encoder ends the stream only when it was asked to.
    const bool finished = finish;
    QUARN_ASSERT(finished);
    QUARN_ASSERT(strm->avail_in == 0);
    return 0;
}

int close_xz(output_writer* w) {
    int rc = -1;
    if (w->strm != nullptr) {
        // A failed write may have left input the encoder never took; the
        // stream is dropped without it. After a failed write the file is
        // damaged already: finishing it would only repeat the report, so
        // nothing more is written. The next set-up on this stream starts
        // a new one whatever state this one was left in.
        w->strm->next_in = nullptr;
        w->strm->avail_in = 0;
        if (w->outbuf != nullptr && !w->write_failed) rc = write_xz(w, nullptr, 0, true);
        give_stream(w->strm);
        w->strm = nullptr;
    }
    outbuf_give(w->outbuf);
    w->outbuf = nullptr;
    return rc;
}

}  // namespace quarn
