// The UTF-8 and JSON checks that judge every index line in the fuzz targets
// and the damaged-stream test: each must reject what a strict reader
// rejects, or those tests would pass on broken lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json_check.h"

namespace {

using quarn::check::find_member;
using quarn::check::json_member;
using quarn::check::json_valid;
using quarn::check::utf8_valid;

struct utf8_case {
    const char* what;
    std::string bytes;
    bool valid;
};

TEST(Utf8Check, AcceptsWellFormedAndRejectsEveryIllFormedKind) {
    const std::vector<utf8_case> cases = {
        {"empty", "", true},
        {"ascii with controls", std::string("a\x01\x7f", 3), true},
        {"NUL byte", std::string("a\0b", 3), true},
        {"two-byte", "caf\xc3\xa9", true},
        {"three-byte euro", "\xe2\x82\xac", true},
        {"last BMP before surrogates", "\xed\x9f\xbf", true},
        {"first after surrogates", "\xee\x80\x80", true},
        {"four-byte", "\xf0\x9f\x98\x80", true},
        {"U+10FFFF", "\xf4\x8f\xbf\xbf", true},
        {"lone continuation", "\x80", false},
        {"0xFF", "\xff", false},
        {"0xFE", "\xfe", false},
        {"overlong two-byte C0", "\xc0\xaf", false},
        {"overlong two-byte C1", "\xc1\xbf", false},
        {"overlong three-byte", "\xe0\x80\xaf", false},
        {"overlong four-byte", "\xf0\x80\x80\xaf", false},
        {"surrogate D800", "\xed\xa0\x80", false},
        {"surrogate DFFF", "\xed\xbf\xbf", false},
        {"above U+10FFFF", "\xf4\x90\x80\x80", false},
        {"F5 lead", "\xf5\x80\x80\x80", false},
        {"truncated two-byte at end", "a\xc3", false},
        {"truncated three-byte at end", "\xe2\x82", false},
        {"lead followed by ascii", "\xc3(", false},
        {"bad third byte", "\xe2\x82(", false},
        {"bad fourth byte", "\xf0\x9f\x98(", false},
    };
    for (const utf8_case& c : cases) {
        EXPECT_EQ(utf8_valid(c.bytes), c.valid) << c.what;
    }
}

struct json_case {
    const char* what;
    std::string text;
    bool valid;
};

TEST(JsonCheck, AcceptsTheGrammarAndRejectsWhatStrictReadersReject) {
    const std::vector<json_case> cases = {
        {"index line shape",
         "{\"a\":\"x\", \"n\":12, \"d\":0.200000, \"b\":false, \"t\":true, \"z\":null}\n", true},
        {"nested", "{\"a\":[1,{\"b\":[]},\"c\"],\"e\":{}}", true},
        {"numbers", "[0,-0,1.5,-2e10,3E+2,4e-1]", true},
        {"escapes", "\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u0001 \\u00e9\"", true},
        {"surrogate pair", "\"\\ud83d\\ude00\"", true},
        {"raw multibyte", "\"caf\xc3\xa9\"", true},
        {"blanks around", " \t{}\r\n", true},
        {"empty text", "", false},
        {"trailing comma in object", "{\"a\":1,}", false},
        {"trailing comma in array", "[1,]", false},
        {"two values", "{} {}", false},
        {"cut line", "{\"a\":\"x\", \"n\":1", false},
        {"cut string", "{\"a\":\"x", false},
        {"raw newline in string", "\"a\nb\"", false},
        {"raw tab in string", "\"a\tb\"", false},
        {"raw NUL in string", std::string("\"a\0b\"", 5), false},
        {"bad escape", "\"\\x41\"", false},
        {"short unicode escape", "\"\\u12\"", false},
        {"lone high surrogate", "\"\\ud800\"", false},
        {"lone low surrogate", "\"\\udc00\"", false},
        {"high surrogate then non-low", "\"\\ud800\\u0041\"", false},
        {"invalid UTF-8 in string", "\"\xff\"", false},
        {"invalid UTF-8 outside string", "{}\xff", false},
        {"leading zero", "[01]", false},
        {"bare dot", "[1.]", false},
        {"bare exponent", "[1e]", false},
        {"plus sign", "[+1]", false},
        {"single quotes", "{'a':1}", false},
        {"unquoted key", "{a:1}", false},
        {"bad literal", "[tru]", false},
        {"missing colon", "{\"a\" 1}", false},
        {"nesting too deep", std::string(100, '[') + std::string(100, ']'), false},
    };
    for (const json_case& c : cases) {
        std::string error;
        EXPECT_EQ(json_valid(c.text, nullptr, &error), c.valid) << c.what << ": " << error;
    }
}

TEST(JsonCheck, HandsBackTopLevelMembersWithDecodedStrings) {
    std::vector<json_member> members;
    ASSERT_TRUE(json_valid(
        "{\"filename\":\"a\\\"b\\\\c\\u0001\\u00e9.0.pcapng\", \"record_count\":12, "
        "\"inner\":{\"filename\":\"no\"}}",
        &members));
    ASSERT_EQ(members.size(), 3u);
    const json_member* name = find_member(members, "filename");
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(name->is_string);
    EXPECT_EQ(name->value, "a\"b\\c\x01\xc3\xa9.0.pcapng");
    const json_member* count = find_member(members, "record_count");
    ASSERT_NE(count, nullptr);
    EXPECT_FALSE(count->is_string);
    EXPECT_EQ(count->value, "12");
    EXPECT_EQ(find_member(members, "missing"), nullptr);
}

}  // namespace
