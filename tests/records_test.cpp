// The records index: the exact line, its JSON validity as a real parser
// sees it, the safe strings, durations, dates, stack names, the line-size
// limit, reopening after SIGHUP and silent failures.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "quarn_dumper.h"
#include "quarn_logbuild.h"
#include "quarn_records.h"
#include "quarn_stacknames.h"
#include "testlib.h"

namespace {

using namespace quarn;
using quarn::test::temp_dir;

// Reads an index file with Python's json module: every line must be one
// JSON object with exactly the index keys in order. Prints one line per
// record, one "kind:hex" word per member: s = string (decoded UTF-8 bytes),
// n = number (its literal text), b = true/false.
constexpr const char* JSON_READER = R"PY(
import json, sys
KEYS = ["date", "pbcid", "reason", "faddr", "fport", "laddr", "lport", "filename",
        "record_count", "stack", "duration", "connection_ended", "tag", "compressor",
        "frag_seq"]
data = open(sys.argv[1], "rb").read()
if data and not data.endswith(b"\n"):
    sys.exit("last line has no newline")
for raw in data.split(b"\n")[:-1]:
    number = lambda s: ("n", s)
    pairs = json.loads(raw.decode("utf-8"), object_pairs_hook=lambda p: p,
                       parse_int=number, parse_float=number)
    if [k for k, _ in pairs] != KEYS:
        sys.exit("keys %r" % [k for k, _ in pairs])
    words = []
    for k, v in pairs:
        if isinstance(v, bool):
            words.append("b:" + ("true" if v else "false").encode().hex())
        elif isinstance(v, tuple):
            words.append("n:" + v[1].encode().hex())
        elif isinstance(v, str):
            words.append("s:" + v.encode("utf-8").hex())
        else:
            sys.exit("member %s has type %s" % (k, type(v).__name__))
    print(" ".join(words))
)PY";

constexpr const char* KEYS[] = {"date",     "pbcid",        "reason", "faddr",
                                "fport",    "laddr",        "lport",  "filename",
                                "record_count", "stack",    "duration", "connection_ended",
                                "tag",      "compressor",   "frag_seq"};

struct json_value {
    char kind = 0;  // 's', 'n' or 'b'
    std::string text;
    bool operator==(const json_value&) const = default;
};
using json_record = std::map<std::string, json_value>;

void PrintTo(const json_value& v, std::ostream* os) { *os << v.kind << ":" << v.text; }

json_value str(const std::string& s) { return {'s', s}; }
json_value num(const std::string& s) { return {'n', s}; }

// Parses the index file at `path`; records a failure when the reader rejects it.
std::vector<json_record> read_index(const temp_dir& dir, const std::string& path) {
    const std::string script = dir / "json_reader.py";
    quarn::test::write_file(script, std::string(JSON_READER));
    const std::string cmd = "python3 '" + script + "' '" + path + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "cannot run python3";
        return {};
    }
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    unlink(script.c_str());
    if (status != 0) {
        ADD_FAILURE() << "JSON reader rejected " << path << ": " << out;
        return {};
    }
    std::vector<json_record> records;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        json_record rec;
        std::istringstream words(line);
        std::string word;
        for (const char* key : KEYS) {
            words >> word;
            const std::vector<uint8_t> bytes = quarn::test::unhex(word.substr(2));
            rec[key] = json_value{word[0], std::string(bytes.begin(), bytes.end())};
        }
        records.push_back(rec);
    }
    return records;
}

#define REQUIRE_JSON_READER()                                                     \
    do {                                                                          \
        if (!quarn::test::have_program("python3")) GTEST_SKIP() << "no python3"; \
    } while (0)

// The arguments of one index line, with the values of an ordinary dump.
struct line_args {
    build::header_spec header;
    std::string filename = "conn_443_10.0.0.2_50000.0.pcapng";
    std::string faddr = "10.0.0.2";
    uint32_t record_count = 1;
    int64_t dump_time = 1700000200;
    uint8_t stack_id = 0;
    timeval64 first{5, 900000};
    timeval64 last{6, 100000};
    bool ended = false;
    int32_t frag_seq = 0;
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
    const size_t n = records_format(buf, a.filename.c_str(), a.faddr.c_str(), hdr.data(),
                                    a.record_count, a.dump_time, a.stack_id, a.first, a.last,
                                    a.ended, a.frag_seq);
    return std::string(buf, n);
}

class RecordsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const int init_result = records_init();
        ASSERT_EQ(init_result, 0);
    }
    void SetUp() override {
        dir_fd_ = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd_, 0);
        // The index descriptor of an earlier test points into its directory.
        reopen_flag = true;
        compress_xz = false;
    }
    void TearDown() override {
        close(dir_fd_);
        compress_xz = false;
    }

    void append(const line_args& a) {
        std::vector<uint8_t> hdr = build::log_header(a.header);
        records_append(dir_fd_, a.filename.c_str(), a.faddr.c_str(), hdr.data(), a.record_count,
                       a.dump_time, a.stack_id, a.first, a.last, a.ended, a.frag_seq);
    }
    std::string index_path() const { return dir_ / "records"; }
    std::string index_text() const { return quarn::test::read_text(index_path()); }

    // Writes `lines` into a file of their own and reads them back as JSON.
    std::vector<json_record> parse(const std::string& lines) {
        const std::string path = dir_ / "lines.json";
        quarn::test::write_file(path, lines);
        return read_index(dir_, path);
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

    const std::vector<json_record> recs = read_index(dir_, index_path());
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
             a.header.af = TLH_AF_INET6;
             a.header.laddr = "2001:db8::1";
             a.faddr = "2001:db8::2";
         },
         {{"laddr", "\"2001:db8::1\""}, {"faddr", "\"2001:db8::2\""}},
         {{"laddr", str("2001:db8::1")}}},
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

TEST_F(RecordsTest, CompressorNamedWithXz) {
    compress_xz = true;
    line_args a;
    a.filename = "conn_443_10.0.0.2_50000.0.pcapng.xz";
    const std::string line = format(a);
    EXPECT_TRUE(has_member(line, "filename", "\"conn_443_10.0.0.2_50000.0.pcapng.xz\"")) << line;
    EXPECT_TRUE(has_member(line, "compressor", "\"xz\"")) << line;
}

// Fields without a NUL are read as their first 63 or 31 characters, and the
// header keeps the NUL that the index wrote into the last byte.
TEST_F(RecordsTest, FullFieldsAreCutAndTerminatedInTheHeader) {
    build::header_spec fields;
    fields.id = std::string(64, 'i');
    fields.reason = std::string(32, 'r');
    fields.tag = std::string(32, 't');
    std::vector<uint8_t> hdr = build::log_header(fields);
    ASSERT_EQ(hdr[OFF_TLH_ID + 63], 'i');

    char buf[RECORDS_LINE_MAX];
    const size_t n = records_format(buf, "f", "10.0.0.2", hdr.data(), 1, 0, 0, {0, 0}, {0, 0},
                                    false, 0);
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

// Runs f with standard error going to a file; returns what was written.
template <typename F>
std::string capture_stderr(const temp_dir& dir, F f) {
    const std::string path = dir / "stderr.txt";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    f();
    dup2(saved, STDERR_FILENO);
    close(saved);
    const std::string text = quarn::test::read_text(path);
    unlink(path.c_str());
    return text;
}

TEST_F(RecordsTest, UnopenableIndexIsSilentAndRetried) {
    ASSERT_EQ(mkdir(index_path().c_str(), 0755), 0);
    const std::string err = capture_stderr(dir_, [&] { append(line_args{}); });
    EXPECT_EQ(err, "");
    struct stat st;
    ASSERT_EQ(stat(index_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(quarn::test::list_dir(dir_.path()), std::vector<std::string>{"records"});

    ASSERT_EQ(rmdir(index_path().c_str()), 0);
    append(line_args{});
    EXPECT_EQ(index_text(), ORDINARY_LINE);
}

}  // namespace
