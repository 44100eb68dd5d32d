// Bounded text building for file names and index lines, without printf:
// these run once or more per dump file, where formatted output costs more
// than the rest of the name.
//
// Pure functions and a caller-owned builder; any thread.
#ifndef QUARN_TEXT_H
#define QUARN_TEXT_H

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarn {

// Appends to buf[0..cap). Every piece checks that it fits with room left for
// the closing NUL; after the first that does not, `fits` is false and
// nothing more is written. The caller writes the NUL at buf[n].
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

}  // namespace quarn

#endif
