// The XZ writer: one XZ stream per dump file, encoded by liblzma at preset 0
// with a CRC64 check.
//
// The encoder's output side always points into the writer's 2 MiB buffer:
// `next_out` at the first free byte, `avail_out` counting the free bytes.
// The buffer goes to the file through writev_int only when it is full and
// once more when the stream ends, so while a dump runs the file grows in
// whole buffers and a small dump is written with one call at close.
#include <sys/uio.h>

#include <cstdlib>

#include <lzma.h>

#include "quarn_assert.h"
#include "quarn_dumper.h"
#include "quarn_writev.h"
#include "quarn_xz.h"

namespace quarn {

xz_encoder_init_fn xz_encoder_init_hook = nullptr;

namespace {

constexpr uint32_t XZ_PRESET = 0;

void reset_outbuf(output_writer* w) {
    w->strm->next_out = w->outbuf;
    w->strm->avail_out = XZ_OUTBUF_SIZE;
}

// Writes the filled part of the buffer and empties it. A failure (reported
// by writev_int) marks the writer: the file is damaged and nothing more is
// written to it.
int flush_outbuf(output_writer* w) {
    const size_t used = XZ_OUTBUF_SIZE - w->strm->avail_out;
    struct iovec iov;
    iov.iov_base = w->outbuf;
    iov.iov_len = used;
    if (writev_int(w, &iov, 1, static_cast<int>(used)) != 0) {
        w->write_failed = true;
        return -1;
    }
    reset_outbuf(w);
    return 0;
}

}  // namespace

void init_xz(output_writer* w) {
    w->outbuf = static_cast<uint8_t*>(malloc(XZ_OUTBUF_SIZE));
    if (w->outbuf == nullptr)
        do_err(1, "Error allocating %u bytes for output buffer", XZ_OUTBUF_SIZE);
    // All zero bytes is liblzma's documented initial stream state.
    w->strm = static_cast<lzma_stream*>(calloc(1, sizeof(lzma_stream)));
    if (w->strm == nullptr)
        do_err(1, "Error allocating %zu bytes for XZ stream", sizeof(lzma_stream));

    const int rv = xz_encoder_init_hook != nullptr
                       ? xz_encoder_init_hook(w->strm)
                       : lzma_easy_encoder(w->strm, XZ_PRESET, LZMA_CHECK_CRC64);
    if (rv != LZMA_OK) {
        write_stderr("Unable to initialize XZ encoder.\n");
        do_exit(1);
    }
    reset_outbuf(w);
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
    QUARN_ASSERT("quarn_xz", strm->avail_in == 0);

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
            write_stderr("Error encoding XZ stream.\n");
            return -1;
        }
        if (ret == LZMA_STREAM_END || strm->avail_out == 0) {
            if (flush_outbuf(w) != 0) return -1;
        }
        if (ret == LZMA_STREAM_END) break;
    }
    // The encoder ends the stream only when it was asked to.
    const bool finished = finish;
    QUARN_ASSERT("quarn_xz", finished);
    QUARN_ASSERT("quarn_xz", strm->avail_in == 0);
    return 0;
}

int close_xz(output_writer* w) {
    if (w->strm != nullptr) {
        // A failed write may have left input the encoder never took; the
        // stream is ended without it. After a failed flush the descriptor
        // has failed already: writing the end again would only repeat the
        // report, so the encoder is just ended.
        w->strm->next_in = nullptr;
        w->strm->avail_in = 0;
        if (w->outbuf != nullptr && !w->write_failed && write_xz(w, nullptr, 0, true) != 0) {
            w->write_failed = true;
        }
        lzma_end(w->strm);
        free(w->strm);
        w->strm = nullptr;
    }
    free(w->outbuf);
    w->outbuf = nullptr;
    return w->write_failed ? -1 : 0;
}

}  // namespace quarn
