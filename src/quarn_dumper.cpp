// The daemon's start-up, configuration, signals and endings.
//
// main ignores SIGPIPE (a report to a closed stderr must not end the
// daemon), blocks the signals that must wait for their handlers, checks the
// kernel's log version, installs the signal handlers (unblocking those
// signals), parses the options, takes the PID file and opens the input with
// full privileges, drops to the unprivileged user, tests the output
// directory, loads the stack names, optionally forks into a session of its
// own in "/", writes the PID file, starts the workers and becomes the reader. Every
// ending goes through finish_process.
#include "quarn_dumper.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quarn_dump.h"
#include "quarn_kernel.h"
#include "quarn_logfmt.h"
#include "quarn_pidfile.h"
#include "quarn_process.h"
#include "quarn_reader.h"
#include "quarn_records.h"
#include "quarn_report.h"
#include "quarn_stacknames.h"

namespace quarn {

namespace {

constexpr const char* DEFAULT_DIR = "/var/log/quarn_dumps";
constexpr const char* DEFAULT_INPUT = "/dev/tcp_log";
constexpr const char* DEFAULT_USER = "nobody";

// glibc's getopt permutes arguments unless the option string starts with
// '+'; the daemon stops at the first operand everywhere.
#ifdef __GLIBC__
constexpr const char* OPTSTRING = "+:D:df:hJZp:u:r:";
#else
constexpr const char* OPTSTRING = ":D:df:hJZp:u:r:";
#endif

// Locked from start-up to the end; written only by main before the workers
// start, then only by the one ending of the process.
pid_file the_pid_file;

// What every ending of the daemon does before the process goes: the PID
// file gives up its process id. Called once, by the ending that claimed the
// process, or by main when start-up fails.
void finish_process() { pidfile_remove(&the_pid_file); }

// Start-up returns from quarn_main on failure; this ends those paths too.
struct finish_on_return {
    bool armed = true;
    ~finish_on_return() {
        if (armed) finish_process();
    }
};

void hup_handler(int) { records_request_reopen(); }

void quit_handler(int) {
    quit_signals.fetch_add(1);
    quit_flag.store(true);
}

void wakeup_handler(int) {}

// The signals whose default action would end the daemon although they
// must not: blocked from the first instruction of start-up until their
// handlers exist, so one sent that early waits for its handler.
int block_early_signals(sigset_t* saved) {
    sigset_t early;
    sigemptyset(&early);
    sigaddset(&early, SIGHUP);
    sigaddset(&early, SIGUSR1);
    sigaddset(&early, SIGUSR2);
    return pthread_sigmask(SIG_BLOCK, &early, saved);
}

int install(int sig, void (*handler)(int), int flags) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_flags = flags;
    sigemptyset(&sa.sa_mask);
    return sigaction(sig, &sa, nullptr);
}

// Installs every handler, then restores the mask that block_early_signals
// saved. 0, or 1 after the err line.
int install_signals(const sigset_t& saved) {
    // SIGHUP restarts an interrupted read; the others interrupt it with EINTR.
    const struct {
        int sig;
        void (*handler)(int);
        int flags;
        const char* name;
    } table[] = {
        {SIGHUP, hup_handler, SA_RESTART, "SIGHUP"},
        {SIGINT, quit_handler, 0, "SIGINT"},
        {SIGTERM, quit_handler, 0, "SIGTERM"},
        {SIGUSR1, SIG_IGN, 0, "SIGUSR1"},
        {SIGUSR2, wakeup_handler, 0, "SIGUSR2"},
    };
    for (const auto& t : table) {
        if (install(t.sig, t.handler, t.flags) != 0) {
            warn_errno("Error installing the handler for %s", t.name);
            return 1;
        }
    }
    const int rv = pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (rv != 0) {
        errno = rv;
        warn_errno("Error unblocking signals");
        return 1;
    }
    return 0;
}

[[noreturn]] void usage(const char* prog) {
    write_stderr("%s [-dhJZ] [-D dir] [-f file] [-u user] [-r reason]\n", prog);
    write_stderr(
        "\n  -d: Daemonize the process.\n  -h: Display this help message.\n"
        "  -J: Compress the output using the XZ format.\n"
        "  -Z: Compress the output using the zstd format.\n"
        "  -D: Store the files in the given base directory. (Default: %s)\n"
        "  -f: Read from the given file. (Default: %s)\n"
        "  -u: Use the UID of the given username. (Default: %s)\n"
        "  -r reason: only write records of type reason\n\n",
        DEFAULT_DIR, DEFAULT_INPUT, DEFAULT_USER);
    _exit(1);
}

struct options {
    const char* dir = DEFAULT_DIR;
    const char* input = DEFAULT_INPUT;
    const char* user = DEFAULT_USER;
    const char* pid_file = nullptr;
    bool daemonize = false;
    bool xz = false;                  // -J
    bool zstd = false;                // -Z
    const char* reason = nullptr;     // -r
    // The absolute forms of relative paths among dir, input and pid_file,
    // made before the -d child leaves its working directory.
    std::string absolute[3];
};

void parse_options(int argc, char** argv, options& o) {
    const char* prog = argv[0] ? argv[0] : "quarn_dumper";
    opterr = 0;
    int ch;
    while ((ch = getopt(argc, argv, OPTSTRING)) != -1) {
        switch (ch) {
        case 'D': o.dir = optarg; break;
        case 'd': o.daemonize = true; break;
        case 'f': o.input = optarg; break;
        case 'h': usage(prog);
        case 'J': o.xz = true; break;
        case 'Z': o.zstd = true; break;
        case 'p': o.pid_file = optarg; break;
        case 'u': o.user = optarg; break;
        case 'r': o.reason = optarg; break;
        case ':':
            write_stderr("Option -%c requires an argument.\n", optopt);
            usage(prog);
        default:
            write_stderr("Unknown option -%c.\n", optopt);
            usage(prog);
        }
    }
    // The daemon takes no operands; one is a mistake, not something to skip.
    if (optind < argc) usage(prog);
    if (o.xz && o.zstd) {
        write_stderr("Options -J and -Z exclude each other.\n");
        usage(prog);
    }
}

// The write test on the output directory: owner bits when the user owns it,
// else group bits when its group is the user's group, else other bits.
// Supplementary groups play no part.
bool dir_writable_by(const struct stat& st, uid_t uid, gid_t gid) {
    if (!S_ISDIR(st.st_mode)) return false;
    mode_t need;
    if (st.st_uid == uid) need = S_IWUSR | S_IXUSR;
    else if (st.st_gid == gid) need = S_IWGRP | S_IXGRP;
    else need = S_IWOTH | S_IXOTH;
    return (st.st_mode & need) == need;
}

// Makes the relative paths among the output directory, the input and the
// PID file absolute, against the working directory, so that they keep
// naming the same files once the -d child has changed to "/" (the PID file
// is removed by its name at the end). 0, or 1 after the err line.
int make_paths_absolute(options& o) {
    const char** const paths[] = {&o.dir, &o.input, &o.pid_file};
    char cwd[PATH_MAX];
    bool have_cwd = false;
    for (size_t i = 0; i < 3; i++) {
        const char* path = *paths[i];
        if (!path || path[0] == '/') continue;
        if (!have_cwd && !getcwd(cwd, sizeof cwd)) {
            warn_errno("Error getting the working directory");
            return 1;
        }
        have_cwd = true;
        o.absolute[i] = std::string(cwd) + "/" + path;
        *paths[i] = o.absolute[i].c_str();
    }
    if (the_pid_file.fd >= 0) the_pid_file.path = o.pid_file;
    return 0;
}

// Drops to the user's ids: supplementary groups first (only root may set
// them), then the group id, then the user id. 0, or 1 after the err line.
int drop_privileges(uid_t uid, gid_t gid) {
    if (geteuid() == 0 && setgroups(1, &gid) != 0) {
        warn_errno("Error setting group ID list");
        return 1;
    }
    if (setgid(gid) != 0) {
        warn_errno("Error setting group ID");
        return 1;
    }
    if (setuid(uid) != 0) {
        warn_errno("Error setting user ID");
        return 1;
    }
    return 0;
}

// A failed write only warns: the daemon runs on without a usable file.
void write_pid() {
    if (pidfile_write(&the_pid_file) != 0) write_stderr("Error writing to PID file\n");
}

// Takes the PID file before anything else is touched: 0, or 1 after the
// report (another daemon holds it, or it cannot be opened). The id goes in
// at once, so the file is locked and empty only for a moment, except with
// -d: the child writes its own id once it runs, and the file never names the
// parent that is about to leave.
int take_pid_file(const char* path, bool daemonize) {
    pid_t holder = 0;
    const char* failed = "opening";
    switch (pidfile_open(&the_pid_file, path, &holder, &failed)) {
    case PIDFILE_OK:
        break;
    case PIDFILE_LOCKED:
        if (holder > 0) write_stderr("%s: already running, pid %d\n", progname(), static_cast<int>(holder));
        else write_stderr("%s: already running\n", progname());
        return 1;
    default:
        warn_errno("Error %s PID file %s", failed, path);
        return 1;
    }
    if (!daemonize) write_pid();
    return 0;
}

}  // namespace

int quarn_main(int argc, char** argv) {
    // A write to a stderr whose reader has gone fails with EPIPE and
    // changes nothing else.
    const int pipe_ignored = install(SIGPIPE, SIG_IGN, 0);
    sigset_t saved_mask;
    const int blocked = block_early_signals(&saved_mask);
    set_progname(argc > 0 ? argv[0] : nullptr);
    if (pipe_ignored != 0) {
        warn_errno("Error ignoring SIGPIPE");
        return 1;
    }
    if (blocked != 0) {
        errno = blocked;
        warn_errno("Error blocking signals");
        return 1;
    }

    uint32_t version = 0;
    if (kernel_log_version(&version) != 0) {
        warn_errno("Error retrieving TCP log version from kernel");
        return 1;
    }
    if (version != TCP_LOG_VERSION) {
        write_stderr("Error: tcp log version mismatch (kernel reports %u; expected %u)\n", version,
                     TCP_LOG_VERSION);
        return 1;
    }

    if (install_signals(saved_mask) != 0) return 1;

    options o;
    parse_options(argc, argv, o);

    finish_on_return finish;
    set_ending_finish(finish_process);
    if (o.pid_file && take_pid_file(o.pid_file, o.daemonize) != 0) return 1;

    const int in_fd = open(o.input, O_RDONLY);
    if (in_fd < 0) {
        warn_errno("Error opening %s", o.input);
        return 1;
    }

    errno = 0;
    const struct passwd* pw = getpwnam(o.user);
    if (!pw) {
        if (errno != 0) {
            warn_errno("Error finding user \"%s\"", o.user);
        } else {
            write_stderr("Error finding user \"%s\": no such user\n", o.user);
        }
        return 1;
    }
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    if (drop_privileges(uid, gid) != 0) return 1;

    const int dir_fd = open(o.dir, O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) {
        warn_errno("Error opening directory \"%s\"", o.dir);
        return 1;
    }
    struct stat st;
    if (fstat(dir_fd, &st) != 0) {
        warn_errno("Error getting directory permissions");
        return 1;
    }
    if (!dir_writable_by(st, uid, gid)) {
        write_stderr("It appears user \"%s\" does not have permission to write to directory %s.\n",
                     o.user, o.dir);
        return 1;
    }

    stack_names_init();

    if (o.daemonize) {
        if (make_paths_absolute(o) != 0) return 1;
        const pid_t child = fork();
        if (child < 0) {
            warn_errno("Error forking child");
            return 1;
        }
        if (child > 0) {
            // The lock stays with the child, which shares the descriptor.
            pidfile_close(&the_pid_file);
            finish.armed = false;
            return 0;
        }
        // Leave the terminal's session; the standard streams stay where
        // the operator connected them.
        if (setsid() < 0) {
            warn_errno("Error creating session");
            return 1;
        }
        // Hold no directory busy, as a daemon should; every path still
        // needed is absolute by now.
        if (chdir("/") != 0) {
            warn_errno("Error changing to directory /");
            return 1;
        }
        if (the_pid_file.fd >= 0) write_pid();
    }

    dump_set_compression(o.xz     ? dump_compression::xz
                         : o.zstd ? dump_compression::zstd
                                  : dump_compression::none);
    reader_set_reason_filter(o.reason);
    start_workers();
    if (quit_flag.load()) do_exit(exit_status.load());
    do_loop(in_fd, dir_fd);
}

}  // namespace quarn
