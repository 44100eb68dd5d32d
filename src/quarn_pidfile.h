// The daemon's PID file: locked for the daemon's whole life, so that a
// second daemon with the same file refuses to start, and given up at the
// end so that no stale process id stays behind.
//
// The lock is flock(2) on the descriptor opened with full privileges. It
// belongs to the open file description, so it passes to the child of the -d
// fork and lasts until the daemon's last descriptor closes; fcntl and lockf
// locks belong to a process and would go with the parent. The descriptor
// keeps its write access after the privilege drop, which is how the file is
// emptied at the end when its directory does not let the daemon's user
// remove it.
//
// Single-threaded use: main opens and writes the file before the workers
// start; the one ending of the process removes it.
#ifndef QUARN_PIDFILE_H
#define QUARN_PIDFILE_H

#include <sys/types.h>

namespace quarn {

struct pid_file {
    int fd = -1;                   // open and locked while >= 0
    const char* path = nullptr;    // as given on the command line; not owned
};

inline constexpr int PIDFILE_OK = 0;
inline constexpr int PIDFILE_ERROR = -1;  // errno tells why
inline constexpr int PIDFILE_LOCKED = 1;  // another process holds the file

// Opens `path` (created with mode 0644 when absent; a symbolic link is
// refused, PIDFILE_ERROR with the system's error for it, ELOOP or EMLINK)
// and takes its lock without waiting. On PIDFILE_OK the file is emptied and locked. On
// PIDFILE_LOCKED nothing in the file was changed and *holder is the process
// id the file names, or 0 when it names none in time (the holder writes its
// id right after taking the lock). PIDFILE_ERROR: *failed names the step,
// "opening" or "locking", for the report.
int pidfile_open(pid_file* pf, const char* path, pid_t* holder, const char** failed);

// Replaces the file's content with the caller's process id, "%d\n".
// 0, or -1 with errno set.
int pidfile_write(const pid_file* pf);

// Gives the file up at the daemon's end: removes it while the path still
// names the locked file, else (or when the removal is refused) empties it
// through the descriptor; then closes. Does nothing when not open. Uses
// only async-signal-safe calls.
void pidfile_remove(pid_file* pf);

// Closes the descriptor and leaves the file as it is: the parent of the -d
// fork, whose child keeps the lock.
void pidfile_close(pid_file* pf);

}  // namespace quarn

#endif
