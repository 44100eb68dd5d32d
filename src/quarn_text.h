// Bounded text building for file names and index lines, without printf:
// these run once or more per dump file, where formatted output costs more
// than the rest of the name.
//
// Pure functions and a caller-owned builder; any thread.
#ifndef QUARN_TEXT_H
#define QUARN_TEXT_H

#include <arpa/inet.h>
#include <sys/socket.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quarn_logfmt.h"

namespace quarn {

// Appends to buf[0..cap). Every piece checks that it fits with room left for
// the closing NUL; after the first that does not, `fits` is false and
// nothing more is written. end() writes the NUL.
struct text_out {
    char* buf;
    size_t cap;
    size_t n = 0;
    bool fits = true;

    char* room(size_t len) {
        if (!fits || n >= cap || len >= cap - n) {
            fits = false;
            return nullptr;
        }
        char* p = buf + n;
        n += len;
        return p;
    }
    void put(const char* s, size_t len) {
        if (char* p = room(len)) memcpy(p, s, len);
    }
    template <size_t N>
    void lit(const char (&s)[N]) {
        put(s, N - 1);
    }
    void text(const char* s) { put(s, strlen(s)); }
    template <typename T>
    void number(T v) {
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, v);
        put(digits, static_cast<size_t>(r.ptr - digits));
    }
    // Writes the NUL after what fitted.
    void end() {
        if (cap > 0) buf[n < cap ? n : cap - 1] = '\0';
    }
};

inline constexpr size_t IPV4_TEXT_MAX = 16;  // "255.255.255.255" and its NUL

// Dotted decimal text of the four bytes at a, NUL-terminated, into out of
// at least IPV4_TEXT_MAX bytes; returns its length.
inline size_t ipv4_text(const uint8_t* a, char* out) {
    size_t n = 0;
    for (size_t i = 0; i < 4; i++) {
        if (i > 0) out[n++] = '.';
        const unsigned v = a[i];
        if (v >= 100) out[n++] = static_cast<char>('0' + v / 100);
        if (v >= 10) out[n++] = static_cast<char>('0' + v / 10 % 10);
        out[n++] = static_cast<char>('0' + v % 10);
    }
    out[n] = '\0';
    return n;
}

inline constexpr size_t IPV6_TEXT_MAX = 46;  // INET6_ADDRSTRLEN

// Text of the 16-byte IPv6 address at a, exactly as inet_ntop writes it,
// into out of at least IPV6_TEXT_MAX bytes; returns its length, or 0 when
// inet_ntop fails. inet_ntop formats each word through sprintf, which costs
// more than the rest of an index line, so the common forms are written
// here: lowercase hexadecimal words without leading zeros, and the first
// longest run of two or more zero words as "::". Addresses whose first five
// or more words are zero may carry an IPv4 address in their last two, and
// C libraries differ on when they print it dotted: those go to inet_ntop.
inline size_t ipv6_text(const uint8_t* a, char* out) {
    uint16_t w[8];
    for (int i = 0; i < 8; i++) w[i] = static_cast<uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
    int best_base = -1, best_len = 0, cur_base = -1, cur_len = 0;
    for (int i = 0; i <= 8; i++) {
        if (i < 8 && w[i] == 0) {
            if (cur_base < 0) cur_base = i, cur_len = 0;
            cur_len++;
        } else if (cur_base >= 0) {
            if (best_base < 0 || cur_len > best_len) best_base = cur_base, best_len = cur_len;
            cur_base = -1;
        }
    }
    if (best_len < 2) best_base = -1;
    if (best_base == 0 && best_len >= 5) {
        if (!inet_ntop(AF_INET6, a, out, IPV6_TEXT_MAX)) return 0;
        return strlen(out);
    }
    static constexpr char HEX[] = "0123456789abcdef";
    size_t n = 0;
    for (int i = 0; i < 8; i++) {
        if (best_base >= 0 && i >= best_base && i < best_base + best_len) {
            if (i == best_base) out[n++] = ':';
            continue;
        }
        if (i != 0) out[n++] = ':';
        bool lead = true;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (w[i] >> shift) & 0xf;
            if (lead && digit == 0 && shift > 0) continue;
            lead = false;
            out[n++] = HEX[digit];
        }
    }
    if (best_base >= 0 && best_base + best_len == 8) out[n++] = ':';
    out[n] = '\0';
    return n;
}

// Text of the address field at `field` of a log header (the local or the
// foreign one) for the header's address family, or "(unknown)" for any
// other family; out holds at least IPV6_TEXT_MAX bytes.
inline void addr_field_text(const uint8_t* hdr, size_t field, char* out) {
    size_t n = 0;
    if (tlh_af(hdr) == TLH_AF_INET6) {
        n = ipv6_text(hdr + field, out);
    } else if (tlh_af(hdr) == TLH_AF_INET) {
        n = ipv4_text(hdr + field + IPV4_IN_ADDR_FIELD, out);
    }
    if (n == 0) memcpy(out, "(unknown)", sizeof "(unknown)");
}

}  // namespace quarn

#endif
