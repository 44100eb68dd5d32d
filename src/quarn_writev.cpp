// The direct writer: every block goes into the file with one gather write,
// straight from its parts. A write the system accepts only in part resumes
// where it stopped by advancing the caller's list in place; the caller keeps
// the allocation addresses of its buffers elsewhere (see quarn_pcapng.h).
#include <sys/uio.h>

#include <cerrno>

#include "quarn_assert.h"
#include "quarn_report.h"
#include "quarn_writev.h"

namespace quarn {

void writer_failed(output_writer* w, const char* what, int err) {
    if (w->hold_report) {
        if (w->failure == nullptr) {
            w->failure = what;
            w->failure_errno = err;
        }
        return;
    }
    report_error(what, err);
}

int writev_int(output_writer* w, struct iovec* iov, int iovcnt, int total) {
    // Bytes of the list not yet in the file; the caller promises that it
    // equals the sum of the entry lengths.
    ssize_t bytes_left = total;
    for (;;) {
        const ssize_t write_rv = writev(w->fd, iov, iovcnt);
        if (write_rv == bytes_left) return 0;
        if (write_rv < 0) {
            // Workers block every signal, but an interrupted or a
            // non-blocking descriptor may still get here: retry at once.
            if (errno == EINTR || errno == EAGAIN) continue;
            writer_failed(w, "Error writing to file", errno);
            return -1;
        }
        QUARN_ASSERT(bytes_left > write_rv);
        bytes_left -= write_rv;

        // Pass over the entries that are now in the file, and any empty
        // entries at the resume point, then advance into the one where the
        // write stopped.
        size_t n = static_cast<size_t>(write_rv);
        while (iovcnt > 0 && iov->iov_len <= n) {
            n -= iov->iov_len;
            iov++;
            iovcnt--;
        }
        QUARN_ASSERT(iovcnt > 0);
        if (n > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + n;
            iov->iov_len -= n;
        }
    }
}

void init_direct(output_writer* w) {
    w->write_op = writev_int;
    w->close_op = nullptr;
}

}  // namespace quarn
