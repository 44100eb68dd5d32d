// PID file: open, lock, write and give up. See quarn_pidfile.h.
#include "quarn_pidfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace quarn {

namespace {

// How long a refused daemon waits for the holder to write its id.
constexpr int HOLDER_ID_TRIES = 100;
constexpr long HOLDER_ID_PAUSE_NS = 10 * 1000 * 1000;

// The process id the file names: decimal digits and a newline, else 0.
pid_t read_holder(int fd) {
    char buf[32];
    const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    long v = 0;
    ssize_t i = 0;
    for (; i < n && buf[i] >= '0' && buf[i] <= '9'; i++) {
        v = v * 10 + (buf[i] - '0');
        if (v > 0x7fffffffL) return 0;
    }
    if (i == 0 || i >= n || buf[i] != '\n') return 0;
    return static_cast<pid_t>(v);
}

pid_t wait_for_holder_id(int fd) {
    for (int i = 0; i < HOLDER_ID_TRIES; i++) {
        if (const pid_t p = read_holder(fd); p > 0) return p;
        const timespec pause{0, HOLDER_ID_PAUSE_NS};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

}  // namespace

int pidfile_open(pid_file* pf, const char* path, pid_t* holder, const char** failed) {
    *holder = 0;
    *failed = "opening";
    // No O_TRUNC: the file may belong to a running daemon. No link is
    // followed: this runs as root, and a link planted in a directory that
    // others may write would hand it any file to empty.
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return PIDFILE_ERROR;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        if (saved == EWOULDBLOCK) {
            *holder = wait_for_holder_id(fd);
            close(fd);
            return PIDFILE_LOCKED;
        }
        close(fd);
        errno = saved;
        *failed = "locking";
        return PIDFILE_ERROR;
    }
    // Whatever an earlier daemon left is stale now.
    if (ftruncate(fd, 0) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return PIDFILE_ERROR;
    }
    pf->fd = fd;
    pf->path = path;
    return PIDFILE_OK;
}

int pidfile_write(const pid_file* pf) {
    char buf[32];
    const int n = snprintf(buf, sizeof buf, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(pf->fd, 0) != 0) return -1;
    const ssize_t w = pwrite(pf->fd, buf, static_cast<size_t>(n), 0);
    if (w != n) {
        if (w >= 0) errno = EIO;
        return -1;
    }
    return 0;
}

void pidfile_remove(pid_file* pf) {
    if (pf->fd < 0) return;
    // Remove only the file this daemon locked: the path may have been
    // replaced since.
    struct stat held, named;
    const bool same = fstat(pf->fd, &held) == 0 && stat(pf->path, &named) == 0 &&
                      held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    if (!same || unlink(pf->path) != 0) (void)ftruncate(pf->fd, 0);
    pidfile_close(pf);
}

void pidfile_close(pid_file* pf) {
    if (pf->fd >= 0) close(pf->fd);
    pf->fd = -1;
}

}  // namespace quarn
