// The records index: one JSON object per line, one line per finished dump.
//
// The descriptor of "records" is opened on first use and kept open; after
// SIGHUP (reopen_flag) the next line closes it and opens the file anew, so
// an operator can move the index away. A lost index line must never disturb
// the dumps, and no line may be lost or torn without a word: a line goes out
// whole or the file is cut back to where it was, and a line that cannot go
// out waits in the backlog for the next line that can.
#include "quarn_records.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

#include "quarn_dumper.h"
#include "quarn_lock.h"
#include "quarn_report.h"
#include "quarn_stacknames.h"
#include "quarn_text.h"
#include "quarn_utf8.h"

namespace quarn {

namespace {

constexpr const char* RECORDS_NAME = "records";
constexpr const char* UNKNOWN = "unknown";
constexpr const char* UNKNOWN_ADDR = "(unknown)";

// Serialises the reopen check and the write of each line.
mutex records_mutex;
// -1 while "records" is not open.
int records_fd QUARN_GUARDED_BY(records_mutex) = -1;
// The directory of the last line, for the backlog's last try at exit.
int records_dir_fd QUARN_GUARDED_BY(records_mutex) = -1;

// A streak begins with the first line that could not be written and ends
// when the backlog and a new line are written.
struct index_streak {
    bool failing = false;
    std::deque<std::string> backlog;  // allocates only while lines wait
    size_t kept = 0;                  // lines that went to the backlog
    unsigned long long lost = 0;      // lines beyond the backlog's bound
};
index_streak streak QUARN_GUARDED_BY(records_mutex);

// The dump time as UTC text, or "unknown".
void date_text(int64_t dump_time, char* out, size_t out_size) {
    struct tm tm;
    const time_t t = static_cast<time_t>(dump_time);
    if (dump_time == -1 || !gmtime_r(&t, &tm) || strftime(out, out_size, "%F %T %z", &tm) == 0) {
        snprintf(out, out_size, "%s", UNKNOWN);
    }
}

// The date text of the last second this thread formatted: most lines of a
// busy second share it, and gmtime_r plus strftime cost more than the rest
// of the line.
struct date_cache {
    bool set = false;
    int64_t second = 0;
    size_t len = 0;
    char text[64];
};

// An index line is built in place, at most RECORDS_LINE_MAX bytes with its
// NUL.
using line_out = text_out;

// What sanitize_str makes of each byte: white space becomes ' ', printable
// ASCII stays, everything else becomes '?'; 0 marks '"' and '\\', which keep
// their value behind a backslash.
constexpr std::array<char, 256> SANITIZED = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 256; c++) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            t[c] = ' ';
        } else if (c == '\\' || c == '"') {
            t[c] = 0;
        } else if (c >= 0x21 && c <= 0x7e) {
            t[c] = static_cast<char>(c);
        } else {
            t[c] = '?';
        }
    }
    return t;
}();

// Bytes that go into a JSON string as they are: printable ASCII but '"'
// and '\\'.
constexpr std::array<bool, 256> JSON_PLAIN = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x7f; c++) t[c] = c != '"' && c != '\\';
    return t;
}();

// Appends `in` as the body of a JSON string: '"' and '\\' get a backslash,
// control characters become \u00XX, a byte that is not part of valid UTF-8
// becomes '?', valid sequences pass unchanged.
void json_escape(line_out& out, const char* in) {
    static constexpr char HEX[] = "0123456789abcdef";
    const auto* b = reinterpret_cast<const uint8_t*>(in);
    const size_t in_len = strlen(in);
    size_t i = 0;
    while (i < in_len && out.fits) {
        // The common case: a run of printable ASCII that needs no escape.
        size_t run = i;
        while (run < in_len && JSON_PLAIN[b[run]]) run++;
        if (run > i) {
            out.put(in + i, run - i);
            i = run;
            continue;
        }
        const uint8_t c = b[i];
        const size_t seq = utf8_sequence_length(b + i, in_len - i);
        if (seq == 0) {
            out.lit("?");
            i++;
        } else if (seq > 1) {
            out.put(in + i, seq);
            i += seq;
        } else if (c == '"' || c == '\\') {
            const char esc[2] = {'\\', static_cast<char>(c)};
            out.put(esc, sizeof esc);
            i++;
        } else {
            const char esc[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0xf]};
            out.put(esc, sizeof esc);
            i++;
        }
    }
}

// Decimal text of a non-negative 128-bit value.
void u128_text(unsigned __int128 v, char* out, size_t out_size) {
    char digits[40];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0 && n < sizeof digits);
    size_t i = 0;
    for (; i < n && i + 1 < out_size; i++) out[i] = digits[n - 1 - i];
    if (out_size > 0) out[i] = '\0';
}

}  // namespace

void sanitize_str(uint8_t* field, size_t size, char* out) {
    if (size == 0) {
        out[0] = '\0';
        return;
    }
    field[size - 1] = 0;
    const size_t out_limit = 2 * size - 2;
    size_t n = 0;
    for (size_t i = 0; field[i] != 0 && n < out_limit; i++) {
        const uint8_t c = field[i];
        const char t = SANITIZED[c];
        if (t != 0) {
            out[n++] = t;
        } else {
            out[n++] = '\\';
            out[n++] = static_cast<char>(c);
        }
    }
    out[n] = '\0';
}

void format_duration(timeval64 first, timeval64 last, char* out, size_t out_size) {
    if (out_size == 0) return;
    // In 128 bits no pair of 64-bit times can overflow, and a damaged
    // microsecond value still yields a number.
    constexpr __int128 USEC_PER_SEC = 1000000;
    const __int128 d = (static_cast<__int128>(last.sec) * USEC_PER_SEC + last.usec) -
                       (static_cast<__int128>(first.sec) * USEC_PER_SEC + first.usec);
    char text[48];
    size_t n = 0;
    unsigned usec = 0;
    if (d > 0) {
        const auto ud = static_cast<unsigned __int128>(d);
        const unsigned __int128 secs = ud / USEC_PER_SEC;
        usec = static_cast<unsigned>(ud % USEC_PER_SEC);
        if (secs <= UINT64_MAX) {
            n = static_cast<size_t>(
                std::to_chars(text, text + 40, static_cast<uint64_t>(secs)).ptr - text);
        } else {
            u128_text(secs, text, 40);
            n = strlen(text);
        }
    } else {
        text[n++] = '0';
    }
    text[n++] = '.';
    for (int i = 5; i >= 0; i--) {
        text[n + static_cast<size_t>(i)] = static_cast<char>('0' + usec % 10);
        usec /= 10;
    }
    n += 6;
    if (n >= out_size) n = out_size - 1;
    memcpy(out, text, n);
    out[n] = '\0';
}

size_t records_format_line(char* buf, const finished_dump& d, const char* stack_name) {
    uint8_t* hdr = d.hdr;
    char laddr[IPV6_TEXT_MAX];
    addr_field_text(hdr, OFF_TLH_LADDR, laddr);

    thread_local date_cache date;
    if (!date.set || date.second != d.dump_time) {
        date_text(d.dump_time, date.text, sizeof date.text);
        date.len = strlen(date.text);
        date.second = d.dump_time;
        date.set = true;
    }

    char id[2 * TLH_ID_SIZE];
    char tag[2 * TLH_TAG_SIZE];
    char reason[2 * TLH_REASON_SIZE];
    sanitize_str(hdr + OFF_TLH_ID, TLH_ID_SIZE, id);
    sanitize_str(hdr + OFF_TLH_TAG, TLH_TAG_SIZE, tag);
    sanitize_str(hdr + OFF_TLH_REASON, TLH_REASON_SIZE, reason);

    char duration[64];
    format_duration(d.first, d.last, duration, sizeof duration);

    line_out line{buf, RECORDS_LINE_MAX};
    line.lit("{\"date\":\"");
    line.put(date.text, date.len);
    line.lit("\", \"pbcid\":\"");
    line.text(id);
    line.lit("\", \"reason\":\"");
    line.text(reason);
    line.lit("\", \"faddr\":\"");
    json_escape(line, d.faddr ? d.faddr : UNKNOWN_ADDR);
    line.lit("\", \"fport\":");
    line.number(tlh_fport(hdr));
    line.lit(", \"laddr\":\"");
    line.text(laddr);
    line.lit("\", \"lport\":");
    line.number(tlh_lport(hdr));
    line.lit(", \"filename\":\"");
    json_escape(line, d.filename ? d.filename : "");
    line.lit("\", \"record_count\":");
    line.number(d.record_count);
    line.lit(", \"stack\":\"");
    json_escape(line, stack_name ? stack_name : UNKNOWN);
    line.lit("\", \"duration\":");
    line.text(duration);
    if (d.conn_ended) {
        line.lit(", \"connection_ended\":true, \"tag\":\"");
    } else {
        line.lit(", \"connection_ended\":false, \"tag\":\"");
    }
    line.text(tag);
    line.lit("\", \"compressor\":\"");
    json_escape(line, d.compressor ? d.compressor : "");
    line.lit("\", \"frag_seq\":");
    line.number(d.frag_seq);
    line.lit("}\n");
    if (!line.fits) return 0;
    buf[line.n] = '\0';
    return line.n;
}

size_t records_format(char* buf, const finished_dump& d) {
    // The stack name points into the table's buffer, which a reload may
    // free: hold the read lock from the name read through the formatting.
    rwlock_guard names(stack_names_lock, rwlock_guard::shared);
    const char* name = stack_names[d.stack_id].name;
    return records_format_line(buf, d, name ? name : UNKNOWN);
}

namespace {

// Opens "records" when it is not open (or anew after SIGHUP). 0, or the
// error number of the failed open.
int open_index(int dir_fd) QUARN_REQUIRES(records_mutex) {
    if (reopen_flag.load()) {
        if (records_fd >= 0) close(records_fd);
        records_fd = -1;
        reopen_flag.store(false);
    }
    if (records_fd < 0) {
        // A link is refused: the daemon may run as a user that can write
        // elsewhere, and the index must not land outside its directory.
        records_fd = openat(dir_fd, RECORDS_NAME,
                            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (records_fd < 0) return errno;
    }
    return 0;
}

// Writes the whole line, or nothing: after a failed or short write the file
// is cut back by what went out. 0, or the error number of the failure.
// Only this unit appends to "records", under records_mutex, so the bytes
// that went out are the last ones in the file.
int write_line(const char* line, size_t len) QUARN_REQUIRES(records_mutex) {
    size_t done = 0;
    int err = 0;
    while (done < len) {
        const ssize_t w = write(records_fd, line + done, len - done);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            err = errno;
            break;
        }
        if (w == 0) {
            err = EIO;
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (err != 0 && done > 0) {
        struct stat st;
        if (fstat(records_fd, &st) == 0 && static_cast<size_t>(st.st_size) >= done) {
            (void)ftruncate(records_fd, st.st_size - static_cast<off_t>(done));
        }
    }
    return err;
}

// Writes the waiting lines in order; each one written leaves the backlog.
int write_backlog() QUARN_REQUIRES(records_mutex) {
    while (!streak.backlog.empty()) {
        const std::string& line = streak.backlog.front();
        const int err = write_line(line.data(), line.size());
        if (err != 0) return err;
        streak.backlog.pop_front();
    }
    return 0;
}

void keep_line(const char* line, size_t len) QUARN_REQUIRES(records_mutex) {
    if (streak.backlog.size() < RECORDS_BACKLOG_MAX) {
        streak.backlog.emplace_back(line, len);
        streak.kept++;
    } else {
        streak.lost++;
    }
}

// Ends a streak once everything it kept is written.
void end_streak() QUARN_REQUIRES(records_mutex) {
    log_stderr("%s: Records index written again: %zu lines kept, %llu lost", progname(),
               streak.kept, streak.lost);
    streak = index_streak{};
}

}  // namespace

void records_append(int dir_fd, const finished_dump& d) {
    const int saved_errno = errno;
    // Formatting needs only the stack names' read lock: it stays outside
    // records_mutex, which covers the reopen, the backlog and the write.
    char line[RECORDS_LINE_MAX];
    const size_t len = records_format(line, d);
    mutex_guard lock(records_mutex);
    records_dir_fd = dir_fd;
    if (len == 0) {
        errno = saved_errno;
        return;
    }

    const char* what = "Error opening records index";
    int err = open_index(dir_fd);
    if (err == 0) {
        what = "Error writing records index";
        err = write_backlog();
        if (err == 0) err = write_line(line, len);
    }
    if (err == 0) {
        if (streak.failing) end_streak();
    } else {
        keep_line(line, len);
        if (!streak.failing) {
            streak.failing = true;
            report_error(what, err);
        }
    }
    errno = saved_errno;
}

void records_flush_at_exit() {
    // A worker that still holds the index (a drain cut short by a second
    // quit signal, an open that blocks) must not hold up the end.
    if (!records_mutex.try_lock()) return;
    mutex_guard lock(records_mutex, mutex_guard::adopt);
    const int saved_errno = errno;
    if (!streak.failing) return;
    if (records_dir_fd >= 0 && open_index(records_dir_fd) == 0) (void)write_backlog();
    if (streak.backlog.empty() && streak.lost == 0) {
        end_streak();
    } else {
        log_stderr("%s: Records index incomplete at exit: %llu lines not written", progname(),
                   static_cast<unsigned long long>(streak.backlog.size()) + streak.lost);
        streak = index_streak{};
    }
    errno = saved_errno;
}

}  // namespace quarn
