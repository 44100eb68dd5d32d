// Bounded text building for file names and index lines.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "quarn_text.h"

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

}  // namespace
}  // namespace quarn
