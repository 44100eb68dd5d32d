// Bounded text building for file names and index lines.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "inspect/quarn_dumpread.h"
#include "quarn_json.h"
#include "quarn_report.h"
#include "quarn_text.h"
#include "stderr_capture.h"

namespace quarn {
namespace {

// Every byte value in every position gives what inet_ntop gives.
TEST(Text, Ipv4TextMatchesInetNtop) {
    for (int pos = 0; pos < 4; pos++) {
        for (int v = 0; v < 256; v++) {
            uint8_t a[4] = {10, 0, 200, 7};
            a[pos] = static_cast<uint8_t>(v);
            char want[INET_ADDRSTRLEN];
            ASSERT_NE(inet_ntop(AF_INET, a, want, sizeof want), nullptr);
            char got[IPV4_TEXT_MAX];
            const size_t n = ipv4_text(a, got);
            ASSERT_EQ(std::string(got), want) << "position " << pos << " value " << v;
            ASSERT_EQ(n, std::string(want).size());
        }
    }
    const uint8_t widest[4] = {255, 255, 255, 255};
    char got[IPV4_TEXT_MAX];
    EXPECT_EQ(ipv4_text(widest, got), IPV4_TEXT_MAX - 1);
}

// Every pattern of zero and non-zero words, with values of every digit
// count, and many random addresses give what inet_ntop gives.
TEST(Text, Ipv6TextMatchesInetNtop) {
    const uint16_t values[] = {1, 0xf, 0x10, 0xabc, 0xffff, 0x0a0b, 0x1000, 0xfe80};
    std::mt19937 rng(4242);
    auto check = [](const uint8_t* a) {
        char want[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, a, want, sizeof want), nullptr);
        char got[IPV6_TEXT_MAX];
        const size_t n = ipv6_text(a, got);
        ASSERT_EQ(std::string(got), want);
        ASSERT_EQ(n, std::string(want).size());
    };
    for (unsigned pattern = 0; pattern < 256; pattern++) {
        for (int round = 0; round < 8; round++) {
            uint8_t a[16];
            for (int i = 0; i < 8; i++) {
                const uint16_t w = (pattern >> i & 1) ? values[(i + round) % 8] : 0;
                a[2 * i] = static_cast<uint8_t>(w >> 8);
                a[2 * i + 1] = static_cast<uint8_t>(w);
            }
            SCOPED_TRACE(pattern);
            check(a);
        }
    }
    for (int i = 0; i < 100000; i++) {
        uint8_t a[16];
        for (int k = 0; k < 8; k++) {
            const uint16_t w = rng() % 3 == 0 ? 0 : static_cast<uint16_t>(rng() >> (rng() % 16));
            a[2 * k] = static_cast<uint8_t>(w >> 8);
            a[2 * k + 1] = static_cast<uint8_t>(w);
        }
        check(a);
    }
}

// A builder of capacity 8 holds at most 7 bytes and its NUL; the first piece
// that does not fit stops everything after it.
TEST(Text, BuilderStopsAtTheFirstPieceThatDoesNotFit) {
    struct {
        const char* name;
        const char* pieces[3];
        bool fits;
        const char* text;
    } cases[] = {
        {"exactly seven", {"abc", "defg", ""}, true, "abcdefg"},
        {"one byte over", {"abc", "defgh", ""}, false, "abc"},
        {"later piece after a failure", {"abcdefgh", "x", ""}, false, ""},
        {"empty pieces", {"", "", ""}, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char buf[8];
        memset(buf, '#', sizeof buf);
        text_out out{buf, sizeof buf};
        for (const char* p : c.pieces) out.text(p);
        out.end();
        EXPECT_EQ(out.fits, c.fits);
        EXPECT_EQ(std::string(buf), c.text);
    }
    char buf[12];
    text_out nums{buf, sizeof buf};
    nums.number(int32_t{-2147483647 - 1});
    nums.end();
    EXPECT_TRUE(nums.fits);
    EXPECT_EQ(std::string(buf), "-2147483648");
    text_out small{buf, 4};
    small.number(uint16_t{65535});
    small.end();
    EXPECT_FALSE(small.fits);
    EXPECT_EQ(std::string(buf), "");
}

// The one JSON escaper, as the index lines (into a bounded builder) and the
// inspector (into a string) use it: both give the same body.
TEST(Text, JsonEscapeGivesOneBodyToBothWriters) {
    const struct {
        std::string in;
        std::string body;
    } cases[] = {
        {"plain text", "plain text"},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {std::string("\x00\x01\n\x1f\x7f", 5), "\\u0000\\u0001\\u000a\\u001f\\u007f"},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
        {"\xc3 \xff\xed\xa0\x80 \xe2\x82", "? ???? ??"},  // cut, invalid, surrogate, cut at the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::string s;
        json_append_string(s, c.in);
        EXPECT_EQ(s, c.body);
        char buf[64];
        text_out t{buf, sizeof buf};
        json_escape_to(c.in, [&t](const char* p, size_t n) { t.put(p, n); });
        t.end();
        EXPECT_TRUE(t.fits);
        EXPECT_EQ(std::string(buf), c.body);
    }
}

// The inspector's formatter keeps a text of any length whole.
TEST(Text, PrintfTextKeepsLongTexts) {
    const std::string name(700, 'n');
    EXPECT_EQ(printf_text("'%s' using %d:%d", name.c_str(), 1, 2), "'" + name + "' using 1:2");
    EXPECT_EQ(printf_text("%s", ""), "");
}

// A report cut at the line bound still ends its line, in one write.
TEST(Text, WriteStderrEndsACutLine) {
    const std::string long_text(5000, 'x');
    const std::string got = test::capture_stderr([&] { write_stderr("%s: %s\n", "prog", long_text.c_str()); });
    ASSERT_EQ(got.size(), 4095u);
    EXPECT_EQ(got.substr(0, 6), "prog: ");
    EXPECT_EQ(got.back(), '\n');
    EXPECT_EQ(got.find('\n'), got.size() - 1);
    EXPECT_EQ(test::capture_stderr([] { write_stderr("short %d\n", 7); }), "short 7\n");
}

}  // namespace
}  // namespace quarn
