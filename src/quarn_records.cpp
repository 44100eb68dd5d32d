// The records index: one JSON object per line, one line per finished dump.
//
// The descriptor of "records" is opened on first use and kept open; after
// SIGHUP (reopen_flag) the next line closes it and opens the file anew, so
// an operator can move the index away. Every failure here is silent: a lost
// index line must never disturb the dumps.
#include "quarn_records.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "quarn_dumper.h"
#include "quarn_stacknames.h"

namespace quarn {

namespace {

constexpr const char* RECORDS_NAME = "records";
constexpr const char* UNKNOWN = "unknown";
constexpr const char* UNKNOWN_ADDR = "(unknown)";

// Serialises the reopen check, the formatting and the write of each line.
pthread_mutex_t records_mutex = PTHREAD_MUTEX_INITIALIZER;
// Guarded by records_mutex; -1 while "records" is not open.
int records_fd = -1;

class records_lock {
public:
    records_lock() { pthread_mutex_lock(&records_mutex); }
    ~records_lock() { pthread_mutex_unlock(&records_mutex); }
    records_lock(const records_lock&) = delete;
    records_lock& operator=(const records_lock&) = delete;
};

// Address text of the local address field, or "(unknown)".
void local_addr_text(const uint8_t* hdr, char* out, size_t out_size) {
    const char* text = nullptr;
    if (tlh_af(hdr) == TLH_AF_INET6) {
        in6_addr a;
        memcpy(&a, hdr + OFF_TLH_LADDR, sizeof a);
        text = inet_ntop(AF_INET6, &a, out, static_cast<socklen_t>(out_size));
    } else if (tlh_af(hdr) == TLH_AF_INET) {
        in_addr a;
        memcpy(&a, hdr + OFF_TLH_LADDR + IPV4_IN_ADDR_FIELD, sizeof a);
        text = inet_ntop(AF_INET, &a, out, static_cast<socklen_t>(out_size));
    }
    if (!text) snprintf(out, out_size, "%s", UNKNOWN_ADDR);
}

// The dump time as UTC text, or "unknown".
void date_text(int64_t dump_time, char* out, size_t out_size) {
    struct tm tm;
    const time_t t = static_cast<time_t>(dump_time);
    if (dump_time == -1 || !gmtime_r(&t, &tm) || strftime(out, out_size, "%F %T %z", &tm) == 0) {
        snprintf(out, out_size, "%s", UNKNOWN);
    }
}

// Copies `in` as the body of a JSON string: '"' and '\' get a backslash,
// control characters become \u00XX, other bytes pass unchanged. Returns
// false when the result (with its NUL) does not fit in out_size.
bool json_escape(const char* in, char* out, size_t out_size) {
    static constexpr char HEX[] = "0123456789abcdef";
    size_t n = 0;
    for (const char* p = in; *p; p++) {
        const auto c = static_cast<unsigned char>(*p);
        char esc[6];
        size_t len = 0;
        if (c == '"' || c == '\\') {
            esc[len++] = '\\';
            esc[len++] = static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            esc[len++] = '\\';
            esc[len++] = 'u';
            esc[len++] = '0';
            esc[len++] = '0';
            esc[len++] = HEX[c >> 4];
            esc[len++] = HEX[c & 0xf];
        } else {
            esc[len++] = static_cast<char>(c);
        }
        if (n + len >= out_size) return false;
        memcpy(out + n, esc, len);
        n += len;
    }
    if (n >= out_size) return false;
    out[n] = '\0';
    return true;
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

int records_init() { return pthread_mutex_init(&records_mutex, nullptr); }

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
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            out[n++] = ' ';
        } else if (c == '\\' || c == '"') {
            out[n++] = '\\';
            out[n++] = static_cast<char>(c);
        } else if (c >= 0x21 && c <= 0x7e) {
            out[n++] = static_cast<char>(c);
        } else {
            out[n++] = '?';
        }
    }
    out[n] = '\0';
}

void format_duration(timeval64 first, timeval64 last, char* out, size_t out_size) {
    // In 128 bits no pair of 64-bit times can overflow, and a damaged
    // microsecond value still yields a number.
    constexpr __int128 USEC_PER_SEC = 1000000;
    const __int128 d = (static_cast<__int128>(last.sec) * USEC_PER_SEC + last.usec) -
                       (static_cast<__int128>(first.sec) * USEC_PER_SEC + first.usec);
    if (d <= 0) {
        snprintf(out, out_size, "0.000000");
        return;
    }
    const auto ud = static_cast<unsigned __int128>(d);
    char secs[40];
    u128_text(ud / USEC_PER_SEC, secs, sizeof secs);
    snprintf(out, out_size, "%s.%06u", secs, static_cast<unsigned>(ud % USEC_PER_SEC));
}

size_t records_format(char* buf, const char* filename, const char* faddr, uint8_t* hdr,
                      uint32_t record_count, int64_t dump_time, uint8_t stack_id,
                      timeval64 first, timeval64 last, bool conn_ended, int32_t frag_seq) {
    char laddr[INET6_ADDRSTRLEN];
    local_addr_text(hdr, laddr, sizeof laddr);
    char date[64];
    date_text(dump_time, date, sizeof date);

    char id[2 * TLH_ID_SIZE];
    char tag[2 * TLH_TAG_SIZE];
    char reason[2 * TLH_REASON_SIZE];
    sanitize_str(hdr + OFF_TLH_ID, TLH_ID_SIZE, id);
    sanitize_str(hdr + OFF_TLH_TAG, TLH_TAG_SIZE, tag);
    sanitize_str(hdr + OFF_TLH_REASON, TLH_REASON_SIZE, reason);

    char duration[64];
    format_duration(first, last, duration, sizeof duration);

    // A name that does not fit escaped cannot fit in the line either.
    char name[RECORDS_LINE_MAX];
    if (!json_escape(filename ? filename : "", name, sizeof name)) return 0;

    // The stack name points into the table's buffer, which a reload may
    // free: hold the read lock from the name read through the formatting.
    stack_names_read_lock names;
    char stack[RECORDS_LINE_MAX];
    const char* stack_name = stack_names[stack_id].name ? stack_names[stack_id].name : UNKNOWN;
    if (!json_escape(stack_name, stack, sizeof stack)) return 0;

    const int n = snprintf(
        buf, RECORDS_LINE_MAX,
        "{\"date\":\"%s\", \"pbcid\":\"%s\", \"reason\":\"%s\", \"faddr\":\"%s\", \"fport\":%hu, "
        "\"laddr\":\"%s\", \"lport\":%hu, \"filename\":\"%s\", \"record_count\":%u, "
        "\"stack\":\"%s\", \"duration\":%s, \"connection_ended\":%s, \"tag\":\"%s\", "
        "\"compressor\":\"%s\", \"frag_seq\":%d}\n",
        date, id, reason, faddr ? faddr : UNKNOWN_ADDR, tlh_fport(hdr), laddr, tlh_lport(hdr), name,
        record_count, stack, duration, conn_ended ? "true" : "false", tag,
        dump_compressor().name, frag_seq);
    if (n <= 0 || static_cast<size_t>(n) >= RECORDS_LINE_MAX) return 0;
    return static_cast<size_t>(n);
}

void records_append(int dir_fd, const char* filename, const char* faddr, uint8_t* hdr,
                    uint32_t record_count, int64_t dump_time, uint8_t stack_id,
                    timeval64 first, timeval64 last, bool conn_ended, int32_t frag_seq) {
    const int saved_errno = errno;
    records_lock lock;

    if (reopen_flag.load()) {
        if (records_fd >= 0) close(records_fd);
        records_fd = -1;
        reopen_flag.store(false);
    }
    if (records_fd < 0) {
        records_fd = openat(dir_fd, RECORDS_NAME, O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (records_fd < 0) {
            errno = saved_errno;
            return;
        }
    }

    char line[RECORDS_LINE_MAX];
    const size_t len = records_format(line, filename, faddr, hdr, record_count, dump_time,
                                      stack_id, first, last, conn_ended, frag_seq);
    // The line goes out whole under the mutex; a partial write is continued
    // so lines of different workers never interleave.
    size_t done = 0;
    while (done < len) {
        const ssize_t w = write(records_fd, line + done, len - done);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        if (w == 0) break;
        done += static_cast<size_t>(w);
    }
    errno = saved_errno;
}

}  // namespace quarn
