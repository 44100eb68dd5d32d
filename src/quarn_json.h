// JSON string bodies, for the daemon's index lines and quarn_inspect's
// JSON alike: one escaper, so that both write a text the same way.
//
// Pure functions; any thread.
#ifndef QUARN_JSON_H
#define QUARN_JSON_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quarn_utf8.h"

namespace quarn {

// Bytes that go into a JSON string as they are: printable ASCII but '"'
// and '\\'.
inline constexpr std::array<bool, 256> JSON_PLAIN = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x7f; c++) t[c] = c != '"' && c != '\\';
    return t;
}();

// Appends `in` as the body of a JSON string through put(const char*,
// size_t): '"' and '\\' get a backslash, control characters (DEL too)
// become \u00XX, a byte that is not part of valid UTF-8 becomes '?', valid
// sequences pass unchanged.
template <typename Put>
void json_escape_to(std::string_view in, Put&& put) {
    static constexpr char HEX[] = "0123456789abcdef";
    const auto* b = reinterpret_cast<const uint8_t*>(in.data());
    const size_t n = in.size();
    size_t i = 0;
    while (i < n) {
        // The common case: a run of printable ASCII that needs no escape.
        size_t run = i;
        while (run < n && JSON_PLAIN[b[run]]) run++;
        if (run > i) {
            put(in.data() + i, run - i);
            i = run;
            continue;
        }
        const uint8_t c = b[i];
        const size_t seq = utf8_sequence_length(b + i, n - i);
        if (seq == 0) {
            put("?", 1);
            i++;
        } else if (seq > 1) {
            put(in.data() + i, seq);
            i += seq;
        } else if (c == '"' || c == '\\') {
            const char esc[2] = {'\\', static_cast<char>(c)};
            put(esc, sizeof esc);
            i++;
        } else {
            const char esc[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0xf]};
            put(esc, sizeof esc);
            i++;
        }
    }
}

// The same, appended to a string.
inline void json_append_string(std::string& out, std::string_view s) {
    json_escape_to(s, [&out](const char* p, size_t len) { out.append(p, len); });
}

}  // namespace quarn

#endif
