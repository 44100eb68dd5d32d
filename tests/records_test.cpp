// The records index: the exact line, its JSON validity as a real parser
// sees it, the safe strings, durations, dates, stack names, the line-size
// limit, reopening after SIGHUP and silent failures.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dump_check.h"
#include "quarn_dumper.h"
#include "quarn_logbuild.h"
#include "quarn_records.h"
#include "quarn_report.h"
#include "quarn_stacknames.h"
#include "stderr_capture.h"
#include "quarn_utf8.h"
#include "testlib.h"

namespace {

using namespace quarn;
using quarn::test::temp_dir;

constexpr const char* KEYS[] = {"date",     "pbcid",        "reason", "faddr",
                                "fport",    "laddr",        "lport",  "filename",
                                "record_count", "stack",    "duration", "connection_ended",
                                "tag",      "compressor",   "frag_seq"};

using json_value = quarn::test::json_value;
using json_record = quarn::test::json_object;

json_value str(const std::string& s) { return {'s', s}; }
json_value num(const std::string& s) { return {'n', s}; }

// Parses the index file at `path` with Python's json module: every line must
// be UTF-8 and one JSON object with exactly the index keys in order, each a
// string, number or boolean. Records a failure when the reader rejects it.
std::vector<json_record> read_index(const std::string& path) {
    quarn::test::json_lines_options strict;
    strict.keys.assign(std::begin(KEYS), std::end(KEYS));
    strict.strict_utf8 = true;
    std::vector<json_record> records;
    std::string error;
    if (!quarn::test::parse_json_lines(quarn::test::read_text(path), &records, &error, strict)) {
        ADD_FAILURE() << "JSON reader rejected " << path << ": " << error;
        return {};
    }
    for (const json_record& rec : records) {
        for (const auto& [key, value] : rec) {
            if (value.type != 's' && value.type != 'n' && value.type != 'b')
                ADD_FAILURE() << "member " << key << " is no string, number or boolean";
        }
    }
    return records;
}

#define REQUIRE_JSON_READER()                                                     \
    do {                                                                          \
        if (!quarn::test::have_program("python3")) GTEST_SKIP() << "no python3"; \
    } while (0)

// The arguments of one index line, with the values of an ordinary dump.
struct line_args {
    build::header_fields header;
    std::string filename = "conn_443_10.0.0.2_50000.0.pcapng";
    std::string faddr = "10.0.0.2";
    uint32_t record_count = 1;
    int64_t dump_time = 1700000200;
    uint8_t stack_id = 0;
    timeval64 first{5, 900000};
    timeval64 last{6, 100000};
    bool ended = false;
    int32_t frag_seq = 0;
    std::string compressor;

    finished_dump dump(std::vector<uint8_t>& hdr) const {
        return finished_dump{filename.c_str(), faddr.c_str(), hdr.data(), record_count,
                             dump_time,        stack_id,      first,      last,
                             ended,            frag_seq,      compressor.c_str()};
    }
};

const char* const ORDINARY_LINE =
    "{\"date\":\"2023-11-14 22:16:40 +0000\", \"pbcid\":\"conn\", \"reason\":\"normal\", "
    "\"faddr\":\"10.0.0.2\", \"fport\":50000, \"laddr\":\"10.0.0.1\", \"lport\":443, "
    "\"filename\":\"conn_443_10.0.0.2_50000.0.pcapng\", \"record_count\":1, "
    "\"stack\":\"unknown\", \"duration\":0.200000, \"connection_ended\":false, \"tag\":\"\", "
    "\"compressor\":\"\", \"frag_seq\":0}\n";

// Whether the line holds the member `"key":text`, followed by the next
// member or the end of the object.
bool has_member(const std::string& line, const std::string& key, const std::string& text) {
    const std::string member = "\"" + key + "\":" + text;
    return line.find(member + ", \"") != std::string::npos ||
           line.find(member + "}\n") != std::string::npos;
}

std::string format(line_args a) {
    std::vector<uint8_t> hdr = build::log_header(a.header);
    char buf[RECORDS_LINE_MAX];
    const size_t n = records_format(buf, a.dump(hdr));
    return std::string(buf, n);
}

class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_fd_ = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd_, 0);
        // The index descriptor of an earlier test points into its directory.
        reopen_flag = true;
    }
    void TearDown() override {
        // No streak of one test may reach the next.
        EXPECT_EQ(test::capture_stderr([] { records_flush_at_exit(); }), "");
        close(dir_fd_);
    }

    void append(const line_args& a) {
        std::vector<uint8_t> hdr = build::log_header(a.header);
        records_append(dir_fd_, a.dump(hdr));
    }
    std::string index_path() const { return dir_ / "records"; }
    std::string index_text() const { return quarn::test::read_text(index_path()); }

    // Writes `lines` into a file of their own and reads them back as JSON.
    std::vector<json_record> parse(const std::string& lines) {
        const std::string path = dir_ / "lines.json";
        quarn::test::write_file(path, lines);
        return read_index(path);
    }

    temp_dir dir_;
    int dir_fd_ = -1;
};

// Sets a stack-name slot for one test, as a reload would, and clears it after.
class scoped_stack_name {
public:
    scoped_stack_name(uint8_t id, const char* name) : id_(id) {
        stack_names_lock.lock();
        stack_names[id_] = stack_name_entry{name, static_cast<int32_t>(strlen(name))};
        stack_names_lock.unlock();
    }
    ~scoped_stack_name() {
        stack_names_lock.lock();
        stack_names[id_] = stack_name_entry{};
        stack_names_lock.unlock();
    }

private:
    uint8_t id_;
};

TEST_F(RecordsTest, FirstCallCreatesTheIndexAndLaterCallsAppend) {
    REQUIRE_JSON_READER();
    const mode_t old_umask = umask(0);
    append(line_args{});
    umask(old_umask);

    struct stat st;
    ASSERT_EQ(stat(index_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(index_text(), ORDINARY_LINE);

    line_args second;
    second.filename = "conn_443_10.0.0.2_50000.1.pcapng";
    second.record_count = 12;
    second.ended = true;
    second.frag_seq = 1;
    append(second);
    const std::string second_line =
        "{\"date\":\"2023-11-14 22:16:40 +0000\", \"pbcid\":\"conn\", \"reason\":\"normal\", "
        "\"faddr\":\"10.0.0.2\", \"fport\":50000, \"laddr\":\"10.0.0.1\", \"lport\":443, "
        "\"filename\":\"conn_443_10.0.0.2_50000.1.pcapng\", \"record_count\":12, "
        "\"stack\":\"unknown\", \"duration\":0.200000, \"connection_ended\":true, \"tag\":\"\", "
        "\"compressor\":\"\", \"frag_seq\":1}\n";
    EXPECT_EQ(index_text(), ORDINARY_LINE + second_line);

    const std::vector<json_record> recs = read_index(index_path());
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].at("fport"), num("50000"));
    EXPECT_EQ(recs[0].at("connection_ended"), (json_value{'b', "false"}));
    EXPECT_EQ(recs[1].at("connection_ended"), (json_value{'b', "true"}));
    EXPECT_EQ(recs[1].at("record_count"), num("12"));
    EXPECT_EQ(recs[1].at("frag_seq"), num("1"));
}

// Each case changes the ordinary line and names the members it expects,
// both as text in the line and as the value a JSON reader gets.
TEST_F(RecordsTest, MembersAsWrittenAndAsRead) {
    REQUIRE_JSON_READER();
    struct member_case {
        const char* what;
        void (*change)(line_args&);
        std::vector<std::pair<const char*, const char*>> text;  // key, text after "key":
        std::vector<std::pair<const char*, json_value>> value;
    };
    const member_case cases[] = {
        {"id with quote, backslash, tab, 0xC3",
         [](line_args& a) { a.header.id = "a\"b\\c\td\xc3" "e"; },
         {{"pbcid", "\"a\\\"b\\\\c d?e\""}},
         {{"pbcid", str("a\"b\\c d?e")}}},
        {"reason and tag sanitized too",
         [](line_args& a) {
             a.header.reason = "x\ny\"";
             a.header.tag = "t\x01\x7f\\";
         },
         {{"reason", "\"x y\\\"\""}, {"tag", "\"t??\\\\\""}},
         {{"reason", str("x y\"")}, {"tag", str("t??\\")}}},
        {"slash in the id is kept", [](line_args& a) { a.header.id = "a/b"; },
         {{"pbcid", "\"a/b\""}}, {{"pbcid", str("a/b")}}},
        {"filename with quote, backslash and control bytes",
         [](line_args& a) { a.filename = "we\"ird\\na\x01me\t\n\x7f.0.pcapng"; },
         {{"filename", "\"we\\\"ird\\\\na\\u0001me\\u0009\\u000a\\u007f.0.pcapng\""}},
         {{"filename", str("we\"ird\\na\x01me\t\n\x7f.0.pcapng")}}},
        {"UTF-8 filename passes unchanged", [](line_args& a) { a.filename = "caf\xc3\xa9.0.pcapng"; },
         {{"filename", "\"caf\xc3\xa9.0.pcapng\""}},
         {{"filename", str("caf\xc3\xa9.0.pcapng")}}},
        {"IPv6 local address",
         [](line_args& a) {
             build::use_ipv6(a.header);
             a.faddr = a.header.faddr;
         },
         {{"laddr", "\"2001:db8::1\""}, {"faddr", "\"2001:db8::2\""}},
         {{"laddr", str("2001:db8::1")}}},
        {"IPv4 local address, octets of one, two and three digits",
         [](line_args& a) { a.header.laddr = "0.9.10.255"; },
         {{"laddr", "\"0.9.10.255\""}}, {{"laddr", str("0.9.10.255")}}},
        {"IPv4 local address, all octets of three digits",
         [](line_args& a) { a.header.laddr = "100.199.200.254"; },
         {{"laddr", "\"100.199.200.254\""}}, {{"laddr", str("100.199.200.254")}}},
        {"unknown address family", [](line_args& a) { a.header.af = 7; },
         {{"laddr", "\"(unknown)\""}}, {{"laddr", str("(unknown)")}}},
        {"ports and negative frag_seq",
         [](line_args& a) {
             a.header.fport = 65535;
             a.header.lport = 1;
             a.frag_seq = -1;
             a.record_count = 4294967295u;
         },
         {{"fport", "65535"}, {"lport", "1"}, {"frag_seq", "-1"}, {"record_count", "4294967295"}},
         {{"fport", num("65535")}, {"frag_seq", num("-1")}}},
        {"dump time -1", [](line_args& a) { a.dump_time = -1; },
         {{"date", "\"unknown\""}}, {{"date", str("unknown")}}},
        {"dump time 0", [](line_args& a) { a.dump_time = 0; },
         {{"date", "\"1970-01-01 00:00:00 +0000\""}}, {{"date", str("1970-01-01 00:00:00 +0000")}}},
        {"dump time beyond any calendar", [](line_args& a) { a.dump_time = INT64_MAX; },
         {{"date", "\"unknown\""}}, {{"date", str("unknown")}}},
        {"equal record times", [](line_args& a) { a.last = a.first; },
         {{"duration", "0.000000"}}, {{"duration", num("0.000000")}}},
        {"last before first",
         [](line_args& a) {
             a.first = {9, 0};
             a.last = {8, 999999};
         },
         {{"duration", "0.000000"}}, {{"duration", num("0.000000")}}},
        {"damaged microseconds",
         [](line_args& a) {
             a.first = {1, 5000000};
             a.last = {10, 0};
         },
         {{"duration", "4.000000"}}, {{"duration", num("4.000000")}}},
        {"empty stack slot", [](line_args& a) { a.stack_id = 200; },
         {{"stack", "\"unknown\""}}, {{"stack", str("unknown")}}},
    };

    std::string all;
    for (const member_case& c : cases) {
        SCOPED_TRACE(c.what);
        line_args a;
        c.change(a);
        const std::string line = format(a);
        ASSERT_FALSE(line.empty());
        for (const auto& [key, text] : c.text) {
            EXPECT_TRUE(has_member(line, key, text)) << key << " in " << line;
        }
        all += line;
    }
    const std::vector<json_record> recs = parse(all);
    ASSERT_EQ(recs.size(), std::size(cases));
    for (size_t i = 0; i < recs.size(); i++) {
        SCOPED_TRACE(cases[i].what);
        for (const auto& [key, value] : cases[i].value) {
            EXPECT_EQ(recs[i].at(key), value) << key;
        }
    }
}

TEST_F(RecordsTest, StackNameFromItsSlotEscaped) {
    REQUIRE_JSON_READER();
    scoped_stack_name rack(9, "rack");
    scoped_stack_name odd(10, "b\"b\\r\x01");
    line_args a;
    a.stack_id = 9;
    const std::string rack_line = format(a);
    EXPECT_TRUE(has_member(rack_line, "stack", "\"rack\"")) << rack_line;
    a.stack_id = 10;
    const std::string odd_line = format(a);
    EXPECT_TRUE(has_member(odd_line, "stack", "\"b\\\"b\\\\r\\u0001\"")) << odd_line;

    const std::vector<json_record> recs = parse(rack_line + odd_line);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].at("stack"), str("rack"));
    EXPECT_EQ(recs[1].at("stack"), str("b\"b\\r\x01"));
}

// The byte rule for UTF-8: what starts a valid sequence, and what becomes
// the replacement, with and without control characters.
TEST(Utf8, SequencesAndReplacement) {
    struct utf8_case {
        const char* what;
        std::string in;
        const char* as_name;   // '_' for invalid and control bytes
        const char* as_text;   // '?' for invalid bytes only
    };
    const utf8_case cases[] = {
        {"ASCII", "abc-1.x", "abc-1.x", "abc-1.x"},
        {"controls", "a\tb\nc\x01\x1f\x7f", "a_b_c___", "a\tb\nc\x01\x1f\x7f"},
        {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"lone continuation", "a\x80" "b", "a_b", "a?b"},
        {"overlong two bytes", "\xc0\xaf\xc1\xbf", "____", "????"},
        {"overlong three bytes", "\xe0\x80\xaf", "___", "???"},
        {"overlong four bytes", "\xf0\x8f\xbf\xbf", "____", "????"},
        {"surrogate", "\xed\xa0\x80", "___", "???"},
        {"last before surrogates", "\xed\x9f\xbf", "\xed\x9f\xbf", "\xed\x9f\xbf"},
        {"U+10FFFF and above", "\xf4\x8f\xbf\xbf\xf4\x90\x80\x80",
         "\xf4\x8f\xbf\xbf____", "\xf4\x8f\xbf\xbf????"},
        {"F5 to FF", "\xf5\xfe\xff", "___", "???"},
        {"cut at the end", "ab\xe2\x82", "ab__", "ab??"},
        // The scan goes on at the next byte: the ASCII after a bad lead stays.
        {"bad lead then ASCII", "\xc3" "A\xe2\x82" "B", "_A__B", "?A??B"},
        {"lead then another lead", "\xc3\xc3\xa9", "_\xc3\xa9", "?\xc3\xa9"},
    };
    for (const utf8_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = c.in;
        std::string text = c.in;
        utf8_make_valid(name.data(), name.size(), '_', true);
        utf8_make_valid(text.data(), text.size(), '?', false);
        EXPECT_EQ(name, c.as_name);
        EXPECT_EQ(text, c.as_text);
    }
}

// Every text member of a line is valid UTF-8 whatever the inputs hold, so
// a strict reader takes every line; valid sequences pass unchanged.
TEST_F(RecordsTest, TextMembersAreValidUtf8) {
    REQUIRE_JSON_READER();
    struct text_case {
        const char* what;
        std::string filename, faddr, stack;
        const char* filename_text;
        const char* stack_text;
    };
    const text_case cases[] = {
        {"valid multibyte kept", "caf\xc3\xa9.0.pcapng", "10.0.0.2", "r\xc3\xa4" "ck",
         "caf\xc3\xa9.0.pcapng", "r\xc3\xa4" "ck"},
        {"invalid bytes in the stack name", "f.0.pcapng", "10.0.0.2", "bb\xff\xc3r\xed\xa0\x80",
         "f.0.pcapng", "bb??r???"},
        {"invalid bytes in a name given by a caller", "f\xc3\x28.0.pcapng", "10.0.0.2", "s",
         "f?(.0.pcapng", "s"},
        {"control bytes escaped", "f.0.pcapng", "10.0.0.2", "s\x01\n", "f.0.pcapng", "s\x01\n"},
    };
    std::string all;
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.what);
        line_args a;
        a.filename = c.filename;
        a.faddr = c.faddr;
        std::vector<uint8_t> hdr = build::log_header(a.header);
        char buf[RECORDS_LINE_MAX];
        const size_t n = records_format_line(buf, a.dump(hdr), c.stack.c_str());
        ASSERT_GT(n, 0u);
        all.append(buf, n);
    }
    const std::vector<json_record> recs = parse(all);
    ASSERT_EQ(recs.size(), std::size(cases));
    for (size_t i = 0; i < recs.size(); i++) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(recs[i].at("filename"), str(cases[i].filename_text));
        EXPECT_EQ(recs[i].at("stack"), str(cases[i].stack_text));
    }
}

TEST_F(RecordsTest, CompressorNamedWithXz) {
    line_args a;
    a.compressor = "xz";
    a.filename = "conn_443_10.0.0.2_50000.0.pcapng.xz";
    const std::string line = format(a);
    EXPECT_TRUE(has_member(line, "filename", "\"conn_443_10.0.0.2_50000.0.pcapng.xz\"")) << line;
    EXPECT_TRUE(has_member(line, "compressor", "\"xz\"")) << line;
}

// Fields without a NUL are read as their first 63 or 31 characters, and the
// header keeps the NUL that the index wrote into the last byte.
TEST_F(RecordsTest, FullFieldsAreCutAndTerminatedInTheHeader) {
    build::header_fields fields;
    fields.id = std::string(64, 'i');
    fields.reason = std::string(32, 'r');
    fields.tag = std::string(32, 't');
    std::vector<uint8_t> hdr = build::log_header(fields);
    ASSERT_EQ(hdr[OFF_TLH_ID + 63], 'i');

    char buf[RECORDS_LINE_MAX];
    const size_t n =
        records_format(buf, finished_dump{"f", "10.0.0.2", hdr.data(), 1, 0, 0, {0, 0}, {0, 0},
                                          false, 0, ""});
    const std::string line(buf, n);
    EXPECT_TRUE(has_member(line, "pbcid", "\"" + std::string(63, 'i') + "\"")) << line;
    EXPECT_TRUE(has_member(line, "reason", "\"" + std::string(31, 'r') + "\"")) << line;
    EXPECT_TRUE(has_member(line, "tag", "\"" + std::string(31, 't') + "\"")) << line;
    EXPECT_EQ(hdr[OFF_TLH_ID + 63], 0);
    EXPECT_EQ(hdr[OFF_TLH_REASON + 31], 0);
    EXPECT_EQ(hdr[OFF_TLH_TAG + 31], 0);
    EXPECT_EQ(hdr[OFF_TLH_ID + 62], 'i');
}

TEST(SanitizeStr, Cases) {
    struct sanitize_case {
        std::string field;  // padded with NULs to size; longer is cut to size
        size_t size;
        std::string expected;
    };
    const sanitize_case cases[] = {
        {"conn-1.a_b", 64, "conn-1.a_b"},
        {"\"\\\t\xc3", 64, "\\\"\\\\ ?"},
        {std::string("a \t\n\v\f\rb"), 32, "a      b"},
        {"\x01\x1f\x7f\x80\xff", 32, "?????"},
        {"", 32, ""},
        {std::string(64, 'x'), 64, std::string(63, 'x')},
        // Every character doubled: the whole field still fits.
        {std::string(32, '"'), 32, [] {
             std::string s;
             for (int i = 0; i < 31; i++) s += "\\\"";
             return s;
         }()},
        {std::string(64, '\\'), 64, std::string(126, '\\')},
        {std::string("ab\0cd", 5), 32, "ab"},
    };
    for (const sanitize_case& c : cases) {
        SCOPED_TRACE(quarn::test::hex(reinterpret_cast<const uint8_t*>(c.field.data()), c.field.size()));
        std::vector<uint8_t> field(c.size, 0);
        memcpy(field.data(), c.field.data(), std::min(c.field.size(), c.size));
        // Exactly the documented 2 * size bytes, so an overrun shows under ASan.
        std::vector<char> out(2 * c.size, '#');
        sanitize_str(field.data(), c.size, out.data());
        EXPECT_EQ(std::string(out.data()), c.expected);
        EXPECT_EQ(field[c.size - 1], 0);
    }
}

TEST(FormatDuration, Cases) {
    struct duration_case {
        timeval64 first, last;
        const char* expected;
    };
    const duration_case cases[] = {
        {{5, 900000}, {6, 100000}, "0.200000"},
        {{5, 900000}, {5, 900000}, "0.000000"},
        {{6, 100000}, {5, 900000}, "0.000000"},
        {{7, 5}, {9, 7}, "2.000002"},
        {{3, 100}, {3, 250}, "0.000150"},
        {{3, 250}, {3, 100}, "0.000000"},
        {{1, 5000000}, {10, 0}, "4.000000"},
        {{5, 5000000}, {10, 0}, "0.000000"},
        {{0, 0}, {0, -5}, "0.000000"},
        {{-2, 0}, {1, 1}, "3.000001"},
        {{INT64_MIN, -999999}, {INT64_MAX, 999999}, "18446744073709551616.999998"},
    };
    for (const duration_case& c : cases) {
        char out[64];
        format_duration(c.first, c.last, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << c.first.sec << "." << c.first.usec << " -> " << c.last.sec
                                      << "." << c.last.usec;
    }
}

// A line of 1023 bytes with its newline is written; one of 1024 is not,
// and the index goes on after it as if it had not been tried.
TEST_F(RecordsTest, LinesMustBeShorterThan1024Bytes) {
    line_args empty_name;
    empty_name.filename = "";
    const size_t base = format(empty_name).size();
    ASSERT_GT(base, 0u);
    ASSERT_LT(base, 1023u);

    line_args longest;
    longest.filename = std::string(1023 - base, 'f');
    line_args too_long;
    too_long.filename = std::string(1024 - base, 'f');
    line_args escaped_too_long;  // fits only when the quotes are counted once
    escaped_too_long.filename = std::string((1023 - base) / 2 + 1, '"');
    line_args huge;
    huge.filename = std::string(5000, 'f');

    EXPECT_EQ(format(longest).size(), 1023u);
    EXPECT_EQ(format(too_long), "");
    EXPECT_EQ(format(escaped_too_long), "");
    EXPECT_EQ(format(huge), "");

    append(longest);
    append(too_long);
    append(escaped_too_long);
    append(huge);
    append(line_args{});
    const std::string text = index_text();
    EXPECT_EQ(text.size(), 1023u + strlen(ORDINARY_LINE));
    EXPECT_EQ(text, format(longest) + ORDINARY_LINE);
}

TEST_F(RecordsTest, ReopenAfterHangupFollowsTheName) {
    line_args a;
    a.frag_seq = 1;
    append(a);
    const std::string moved = dir_ / "records.0";
    ASSERT_EQ(rename(index_path().c_str(), moved.c_str()), 0);

    // Without the flag the open descriptor still writes to the moved file.
    a.frag_seq = 2;
    append(a);
    EXPECT_FALSE(quarn::test::file_exists(index_path()));

    reopen_flag = true;
    a.frag_seq = 3;
    append(a);
    EXPECT_FALSE(reopen_flag.load());
    a.frag_seq = 4;
    append(a);

    auto seqs = [](const std::string& text) {
        std::string found;
        for (size_t at = text.find("\"frag_seq\":"); at != std::string::npos;
             at = text.find("\"frag_seq\":", at + 1)) {
            found += text[at + strlen("\"frag_seq\":")];
        }
        return found;
    };
    EXPECT_EQ(seqs(quarn::test::read_text(moved)), "12");
    EXPECT_EQ(seqs(index_text()), "34");
}

std::string err_line(const std::string& text) {
    return std::string(progname()) + ": " + text + "\n";
}

// The frag_seq values of the index lines in `text`, in order.
std::vector<int> frag_seqs(const std::string& text) {
    std::vector<int> seqs;
    const std::string key = "\"frag_seq\":";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        seqs.push_back(atoi(text.c_str() + at + key.size()));
    }
    return seqs;
}

std::vector<int> iota_seqs(int from, int to) {
    std::vector<int> v;
    for (int i = from; i < to; i++) v.push_back(i);
    return v;
}

// While "records" cannot be opened (a directory holds the name), lines wait
// in order; one report begins the streak, none follows per line, and the
// first line that can be written takes the waiting ones with it.
TEST_F(RecordsTest, UnopenableIndexKeepsLinesAndReportsOncePerStreak) {
    ASSERT_EQ(mkdir(index_path().c_str(), 0755), 0);
    line_args a;
    const std::string err = test::capture_stderr([&] {
        for (int i = 0; i < 3; i++) {
            a.frag_seq = i;
            append(a);
        }
    });
    EXPECT_EQ(err, err_line("Error opening records index: Is a directory"));
    EXPECT_EQ(quarn::test::list_dir(dir_.path()), std::vector<std::string>{"records"});

    ASSERT_EQ(rmdir(index_path().c_str()), 0);
    a.frag_seq = 3;
    EXPECT_EQ(test::capture_stderr([&] { append(a); }),
              err_line("Records index written again: 3 lines kept, 0 lost"));
    EXPECT_EQ(frag_seqs(index_text()), iota_seqs(0, 4));

    // A second streak is reported again, with counts of its own.
    ASSERT_EQ(unlink(index_path().c_str()), 0);
    ASSERT_EQ(mkdir(index_path().c_str(), 0755), 0);
    reopen_flag = true;
    a.frag_seq = 4;
    EXPECT_EQ(test::capture_stderr([&] { append(a); }),
              err_line("Error opening records index: Is a directory"));
    ASSERT_EQ(rmdir(index_path().c_str()), 0);
    a.frag_seq = 5;
    EXPECT_EQ(test::capture_stderr([&] { append(a); }),
              err_line("Records index written again: 1 lines kept, 0 lost"));
    EXPECT_EQ(frag_seqs(index_text()), iota_seqs(4, 6));
}

// "records" as a symbolic link is refused like an index that cannot be
// opened: the daemon may run as a user who can write outside its directory
// (-u root), and no line may land there. The lines wait as in any streak
// and go out once the name is a file again; the link's target is left as
// it was. Each case begins as after SIGHUP, so the reopen refuses it too.
TEST_F(RecordsTest, IndexThatIsALinkIsRefusedAndItsTargetLeftAlone) {
    // Linux refuses a final link under O_NOFOLLOW with ELOOP (FreeBSD with
    // EMLINK).
    const std::string refused = std::string("Error opening records index: ") + strerror(ELOOP);
    const std::string own_text = "the test's own data\n";
    temp_dir elsewhere;
    const struct {
        const char* target;
        bool exists;
    } cases[] = {{"a file", true}, {"no file", false}};
    int seq = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("link to ") + c.target);
        const std::string target = elsewhere / c.target;
        if (c.exists) quarn::test::write_file(target, own_text);
        ASSERT_EQ(symlink(target.c_str(), index_path().c_str()), 0);
        reopen_flag = true;
        line_args a;
        const int first = seq;
        EXPECT_EQ(test::capture_stderr([&] {
                      for (int i = 0; i < 2; i++) {
                          a.frag_seq = seq++;
                          append(a);
                      }
                  }),
                  err_line(refused));
        if (c.exists) EXPECT_EQ(quarn::test::read_text(target), own_text);
        else EXPECT_FALSE(quarn::test::file_exists(target)) << "created through the link";

        ASSERT_EQ(unlink(index_path().c_str()), 0);
        a.frag_seq = seq++;
        EXPECT_EQ(test::capture_stderr([&] { append(a); }),
                  err_line("Records index written again: 2 lines kept, 0 lost"));
        struct stat st;
        ASSERT_EQ(lstat(index_path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(frag_seqs(index_text()), iota_seqs(first, seq));
        if (c.exists) EXPECT_EQ(quarn::test::read_text(target), own_text);
        else EXPECT_FALSE(quarn::test::file_exists(target));
        ASSERT_EQ(unlink(index_path().c_str()), 0);
    }
}

// The backlog holds RECORDS_BACKLOG_MAX lines; the lines beyond are counted
// as lost, and the report says so once writing works again.
TEST_F(RecordsTest, BacklogIsBoundedAndCountsWhatItLost) {
    ASSERT_EQ(mkdir(index_path().c_str(), 0755), 0);
    const int total = static_cast<int>(RECORDS_BACKLOG_MAX) + 5;
    line_args a;
    const std::string err = test::capture_stderr([&] {
        for (int i = 0; i < total; i++) {
            a.frag_seq = i;
            append(a);
        }
    });
    EXPECT_EQ(err, err_line("Error opening records index: Is a directory"));
    ASSERT_EQ(rmdir(index_path().c_str()), 0);
    a.frag_seq = total;
    EXPECT_EQ(test::capture_stderr([&] { append(a); }),
              err_line("Records index written again: " + std::to_string(RECORDS_BACKLOG_MAX) +
                       " lines kept, 5 lost"));
    std::vector<int> expected = iota_seqs(0, static_cast<int>(RECORDS_BACKLOG_MAX));
    expected.push_back(total);
    EXPECT_EQ(frag_seqs(index_text()), expected);
}

// Runs f with the file size limit at `limit` bytes (SIGXFSZ ignored), so
// that a write crossing it is cut short and the next one fails with EFBIG.
template <typename F>
void with_file_size_limit(rlim_t limit, F f) {
    struct sigaction ign {}, old {};
    ign.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ign, &old), 0);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit lim = saved;
    lim.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    f();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_EQ(sigaction(SIGXFSZ, &old, nullptr), 0);
}

// A write that the system cuts short leaves no partial line: the file is
// cut back to its last whole line, and the line waits for the next try.
TEST_F(RecordsTest, ShortWriteIsCutBackAndTheLineKept) {
    const size_t line_len = strlen(ORDINARY_LINE);
    line_args a;
    a.frag_seq = 0;
    append(a);
    ASSERT_EQ(index_text().size(), line_len);

    // Room for the first line and half of the next.
    std::string err;
    with_file_size_limit(line_len + line_len / 2, [&] {
        err = test::capture_stderr([&] {
            for (int i = 1; i <= 3; i++) {
                a.frag_seq = i;
                append(a);
            }
        });
        EXPECT_EQ(index_text().size(), line_len);
    });
    EXPECT_EQ(err, err_line("Error writing records index: File too large"));

    a.frag_seq = 4;
    EXPECT_EQ(test::capture_stderr([&] { append(a); }),
              err_line("Records index written again: 3 lines kept, 0 lost"));
    EXPECT_EQ(frag_seqs(index_text()), iota_seqs(0, 5));
    EXPECT_EQ(index_text().size(), 5 * line_len);
    REQUIRE_JSON_READER();
    EXPECT_EQ(read_index(index_path()).size(), 5u);
}

// At the end the backlog gets one more try: written, it ends the streak as
// a new line would; still failing, its count is reported.
TEST_F(RecordsTest, FlushAtExitTriesTheBacklogOnceMore) {
    ASSERT_EQ(mkdir(index_path().c_str(), 0755), 0);
    line_args a;
    EXPECT_EQ(test::capture_stderr([&] { append(a); }),
              err_line("Error opening records index: Is a directory"));
    ASSERT_EQ(rmdir(index_path().c_str()), 0);
    EXPECT_EQ(test::capture_stderr([] { records_flush_at_exit(); }),
              err_line("Records index written again: 1 lines kept, 0 lost"));
    EXPECT_EQ(index_text(), ORDINARY_LINE);

    ASSERT_EQ(unlink(index_path().c_str()), 0);
    ASSERT_EQ(mkdir(index_path().c_str(), 0755), 0);
    reopen_flag = true;
    EXPECT_EQ(test::capture_stderr([&] {
                  append(a);
                  append(a);
                  records_flush_at_exit();
              }),
              err_line("Error opening records index: Is a directory") +
                  err_line("Records index incomplete at exit: 2 lines not written"));
    // The streak is over: nothing more to report.
    EXPECT_EQ(test::capture_stderr([] { records_flush_at_exit(); }), "");
}

}  // namespace
