// A strict UTF-8 validator and a minimal strict JSON reader, as a reader of
// the index would apply them: used by the fuzz targets and the tests to
// check every index line the daemon writes. Header-only and free of
// GoogleTest, so that the fuzz targets include it too.
//
// The JSON reader accepts exactly one value (RFC 8259 grammar: objects,
// arrays, strings, numbers, true, false, null) with optional blanks around
// it; it rejects raw control characters in strings, bad escapes, lone
// surrogates in \u escapes, leading zeros, and any trailing byte. The
// members of a top-level object are handed back with their string values
// decoded to bytes, so a test can compare a "filename" with a real name.
#ifndef QUARN_JSON_CHECK_H
#define QUARN_JSON_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn::check {

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0: no
// overlong form, no surrogate, nothing above U+10FFFF.
inline size_t utf8_sequence(const unsigned char* p, size_t n) {
    if (n == 0) return 0;
    const unsigned c = p[0];
    if (c < 0x80) return 1;
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
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
        return 0;
    }
    if (n < len) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < len; i++) {
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    }
    return len;
}

inline bool utf8_valid(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        const size_t len = utf8_sequence(p + i, s.size() - i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

struct json_member {
    std::string key;
    // The decoded bytes for a string value, the raw text for any other.
    std::string value;
    bool is_string = false;
};

class json_reader {
public:
    explicit json_reader(std::string_view text) : s_(text) {}

    // Reads the whole text as one value; members of a top-level object go
    // to `members` when it is not null. False with `error()` set otherwise.
    bool parse(std::vector<json_member>* members) {
        members_ = members;
        blanks();
        if (!value(0)) return false;
        blanks();
        if (i_ != s_.size()) return fail("trailing bytes");
        return true;
    }

    const std::string& error() const { return error_; }

private:
    static constexpr int MAX_DEPTH = 64;

    std::string_view s_;
    size_t i_ = 0;
    std::vector<json_member>* members_ = nullptr;
    std::string error_;

    bool fail(const char* what) {
        error_ = std::string(what) + " at byte " + std::to_string(i_);
        return false;
    }
    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return at_end() ? '\0' : s_[i_]; }
    void blanks() {
        while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
            i_++;
        }
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return fail("bad literal");
        i_ += word.size();
        return true;
    }

    bool value(int depth) {
        if (depth > MAX_DEPTH) return fail("nesting too deep");
        switch (peek()) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': {
            std::string ignored;
            return string(ignored);
        }
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    bool object(int depth) {
        i_++;  // '{'
        blanks();
        if (peek() == '}') {
            i_++;
            return true;
        }
        for (;;) {
            blanks();
            if (peek() != '"') return fail("expected a key");
            json_member m;
            if (!string(m.key)) return false;
            blanks();
            if (peek() != ':') return fail("expected ':'");
            i_++;
            blanks();
            const size_t start = i_;
            if (peek() == '"') {
                m.is_string = true;
                if (!string(m.value)) return false;
            } else {
                if (!value(depth + 1)) return false;
                m.value = std::string(s_.substr(start, i_ - start));
            }
            if (depth == 0 && members_) members_->push_back(std::move(m));
            blanks();
            if (peek() == ',') {
                i_++;
                continue;
            }
            if (peek() == '}') {
                i_++;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool array(int depth) {
        i_++;  // '['
        blanks();
        if (peek() == ']') {
            i_++;
            return true;
        }
        for (;;) {
            blanks();
            if (!value(depth + 1)) return false;
            blanks();
            if (peek() == ',') {
                i_++;
                continue;
            }
            if (peek() == ']') {
                i_++;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(unsigned* out) {
        if (s_.size() - i_ < 4) return fail("short \\u escape");
        unsigned v = 0;
        for (int k = 0; k < 4; k++) {
            const char c = s_[i_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
            else return fail("bad hex digit");
        }
        *out = v;
        return true;
    }

    static void put_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool string(std::string& out) {
        i_++;  // '"'
        for (;;) {
            if (at_end()) return fail("unterminated string");
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                i_++;
                return true;
            }
            if (c < 0x20) return fail("raw control character in a string");
            if (c == '\\') {
                i_++;
                if (at_end()) return fail("unterminated escape");
                const char e = s_[i_++];
                switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned cp = 0;
                    if (!hex4(&cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone low surrogate");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (s_.substr(i_, 2) != "\\u") return fail("lone high surrogate");
                        i_ += 2;
                        unsigned lo = 0;
                        if (!hex4(&lo)) return false;
                        if (lo < 0xDC00 || lo > 0xDFFF) return fail("bad surrogate pair");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    put_utf8(out, cp);
                    break;
                }
                default: i_--; return fail("bad escape");
                }
                continue;
            }
            const size_t len = utf8_sequence(reinterpret_cast<const unsigned char*>(s_.data()) + i_,
                                             s_.size() - i_);
            if (len == 0) return fail("invalid UTF-8");
            out.append(s_.data() + i_, len);
            i_ += len;
        }
    }

    bool digits() {
        if (!(peek() >= '0' && peek() <= '9')) return fail("expected a digit");
        while (peek() >= '0' && peek() <= '9') i_++;
        return true;
    }

    bool number() {
        if (peek() == '-') i_++;
        if (peek() == '0') {
            i_++;
        } else if (peek() >= '1' && peek() <= '9') {
            digits();
        } else {
            return fail("expected a value");
        }
        if (peek() == '.') {
            i_++;
            if (!digits()) return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            i_++;
            if (peek() == '+' || peek() == '-') i_++;
            if (!digits()) return false;
        }
        return true;
    }
};

// The whole text is valid UTF-8 and one JSON value. `error` (when not null)
// says why not.
inline bool json_valid(std::string_view text, std::vector<json_member>* members = nullptr,
                       std::string* error = nullptr) {
    if (!utf8_valid(text)) {
        if (error) *error = "invalid UTF-8";
        return false;
    }
    json_reader r(text);
    const bool ok = r.parse(members);
    if (!ok && error) *error = r.error();
    return ok;
}

// The member named `key`, or null.
inline const json_member* find_member(const std::vector<json_member>& members,
                                      std::string_view key) {
    for (const json_member& m : members) {
        if (m.key == key) return &m;
    }
    return nullptr;
}

}  // namespace quarn::check

#endif
