// UTF-8 validity, byte by byte: the one rule behind dump file names and the
// text members of index lines.
//
// Pure functions; any thread.
#ifndef QUARN_UTF8_H
#define QUARN_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn {

// Length (1 to 4) of the valid UTF-8 sequence that starts at s[0] and lies
// within the n bytes, or 0 when s[0] starts none: a continuation byte, an
// overlong form, a surrogate, a value above U+10FFFF, or a sequence cut by
// n. An ASCII byte, control characters included, is a sequence of 1.
inline size_t utf8_sequence_length(const uint8_t* s, size_t n) {
    if (n == 0) return 0;
    const uint8_t c = s[0];
    if (c < 0x80) return 1;
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;        // overlong
        if (c == 0xED) hi = 0x9F;        // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;        // overlong
        if (c == 0xF4) hi = 0x8F;        // above U+10FFFF
    } else {
        return 0;                        // continuation, C0, C1 or F5 to FF
    }
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; i++) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return len;
}

// The same for the text s from its byte i on (i < s.size()).
inline size_t utf8_sequence_length(std::string_view s, size_t i) {
    return utf8_sequence_length(reinterpret_cast<const uint8_t*>(s.data()) + i, s.size() - i);
}

// Rewrites the n bytes of s in place so that they are valid UTF-8: each
// byte that is not part of a valid sequence becomes `replacement` (an
// ASCII byte), and the scan goes on at the next byte. With
// `controls_too`, ASCII control characters (0x00 to 0x1F, 0x7F) are
// replaced as well. Returns the number of bytes replaced.
inline size_t utf8_make_valid(char* s, size_t n, char replacement, bool controls_too) {
    auto* b = reinterpret_cast<uint8_t*>(s);
    size_t replaced = 0;
    for (size_t i = 0; i < n;) {
        if (b[i] >= 0x20 && b[i] < 0x7F) {  // printable ASCII: the usual case
            i++;
            continue;
        }
        const size_t len = utf8_sequence_length(b + i, n - i);
        const bool control = len == 1 && (b[i] < 0x20 || b[i] == 0x7F);
        if (len == 0 || (controls_too && control)) {
            b[i] = static_cast<uint8_t>(replacement);
            replaced++;
            i++;
        } else {
            i += len;
        }
    }
    return replaced;
}

}  // namespace quarn

#endif
