// One log message to its dumps, driven in-process: which files are made and
// kept, the numbers they take from the directory and the id cache, the
// blocks inside them, the index lines, and what is reported when a message
// is cut short. Every capture is walked block by block; the main shapes are
// read back by tshark, and index lines are parsed as JSON.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dump_check.h"
#include "quarn_dump.h"
#include "quarn_dumploss.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_records.h"
#include "quarn_report.h"
#include "quarn_stacknames.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::temp_dir;

constexpr int64_t DUMP_TIME = 1700000200;  // 2023-11-14 22:16:40 UTC
using test::STACK_A;
using test::STACK_B;
constexpr uint8_t STACK_UNNAMED = 77;
constexpr const char* V4_SUFFIX = "_443_10.0.0.2_50000";

int64_t fixed_dump_time() { return DUMP_TIME; }
int64_t failed_dump_time() { return -1; }

std::atomic<int64_t> cache_now{1000000};
time_t cache_clock() { return static_cast<time_t>(cache_now.load()); }

std::string warn_line(const char* text, const char* error) {
    return std::string(progname()) + ": " + text + ": " + error + "\n";
}

// The report of a dump that could not be created, as the first loss of a
// streak gives it: the creation failure and the dump lost.
std::string creation_lost(const std::string& file) {
    return warn_line("Unable to open file to write black box record", "File exists") +
           progname() + ": First dump lost: " + file + "\n";
}

qb::header_fields v4(const std::string& id, const std::string& reason = "normal") {
    qb::header_fields h;
    h.id = id;
    h.reason = reason;
    return h;
}

qb::header_fields v6(const std::string& id, const std::string& reason = "normal") {
    qb::header_fields h = v4(id, reason);
    return qb::use_ipv6(h);
}

// n packet records with serial numbers 1 to n.
std::vector<qb::record_fields> packets(uint32_t n, uint8_t stack = STACK_A) {
    std::vector<qb::record_fields> recs(n);
    for (uint32_t i = 0; i < n; i++) {
        recs[i].serial = i + 1;
        recs[i].stack_id = stack;
    }
    return recs;
}

qb::record_fields event(uint32_t serial, uint8_t event_id = 10, uint8_t stack = STACK_A) {
    qb::record_fields r;
    r.serial = serial;
    r.event_id = event_id;
    r.flags = 0;
    r.stack_id = stack;
    return r;
}

std::string v4_file(const std::string& id, int64_t seq) {
    return id + V4_SUFFIX + "." + std::to_string(seq) + ".pcapng";
}

std::string v4_ident(const std::string& id) { return id + V4_SUFFIX; }

// The value of a cache entry, or nullopt. A lookup refreshes the entry.
std::optional<int32_t> cached(const std::string& identifier) {
    const int32_t* seq = idcache_lookup(identifier.c_str());
    return seq ? std::optional<int32_t>(*seq) : std::nullopt;
}

// The raw JSON text of one member of an index line (strings with quotes).
std::string member(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    size_t p = line.find(tag);
    if (p == std::string::npos) return "<missing " + key + ">";
    p += tag.size();
    size_t e = p;
    if (line[p] == '"') {
        for (e = p + 1; e < line.size() && line[e] != '"'; e++) {
            if (line[e] == '\\') e++;
        }
        e++;
    } else {
        while (e < line.size() && line[e] != ',' && line[e] != '}') e++;
    }
    return line.substr(p, e - p);
}

class DumpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::prepare_dump_globals();
    }

    void SetUp() override {
        saved_ = dump_output_compression();
        dump_set_compression(dump_compression::none);
        dump_clock = fixed_dump_time;
        cache_now = 1000000;
        idcache_clock = cache_clock;
        idcache_init(0);
        // The index descriptor stays open between tests; make the next line
        // open "records" in this test's directory.
        records_request_reopen();
        open_dir(dir_.path());
        dump_losses_reset();
    }

    void TearDown() override {
        // Expiry releases every entry this test made.
        cache_now += 100000000;
        idcache_expire();
        EXPECT_EQ(idcache_size(), 0u);
        close(dir_fd_);
        dump_set_compression(saved_);
        dump_clock = fixed_dump_time;
    }

    void open_dir(const std::string& path) {
        if (dir_fd_ >= 0) close(dir_fd_);
        dir_fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd_, 0) << path;
        out_path_ = path;
        records_request_reopen();
    }

    // Processes one message; returns what it reported on stderr.
    std::string dump(const std::vector<uint8_t>& bytes) {
        test::aligned_msg m(bytes);
        return test::capture_stderr([&] { do_bbr_record(dir_fd_, m.data()); });
    }
    std::string dump(const qb::header_fields& h, const std::vector<qb::record_fields>& recs) {
        return dump(qb::message(h, recs));
    }

    std::string path(const std::string& name) const { return out_path_ + "/" + name; }
    std::vector<uint8_t> file(const std::string& name) const { return test::read_file(path(name)); }
    bool exists(const std::string& name) const { return test::file_exists(path(name)); }

    // Names in the output directory other than the index.
    std::vector<std::string> dump_files() const {
        std::vector<std::string> names;
        for (const std::string& n : test::list_dir(out_path_)) {
            if (n != "records") names.push_back(n);
        }
        return names;
    }

    std::vector<std::string> index_lines() const {
        std::vector<std::string> lines;
        const std::string text = test::read_text(path("records"));
        size_t p = 0;
        while (p < text.size()) {
            const size_t nl = text.find('\n', p);
            if (nl == std::string::npos) {
                ADD_FAILURE() << "index does not end in a newline: " << text.substr(p);
                break;
            }
            lines.push_back(text.substr(p, nl - p));
            p = nl + 1;
        }
        return lines;
    }

    // Index lines that name `filename`.
    std::vector<std::string> lines_for(const std::string& filename) const {
        std::vector<std::string> found;
        for (const std::string& l : index_lines()) {
            if (member(l, "filename") == "\"" + filename + "\"") found.push_back(l);
        }
        return found;
    }

    // Every index line parsed as JSON.
    std::vector<test::json_object> parsed_index() const {
        std::vector<test::json_object> objs;
        std::string error;
        EXPECT_TRUE(test::parse_json_lines(test::read_text(path("records")), &objs, &error)) << error;
        return objs;
    }

    int dir_fd_ = -1;
    temp_dir dir_;
    std::string out_path_;
    dump_compression saved_ = dump_compression::none;
};

TEST_F(DumpTest, IndexLineOfOneDumpIpv4AndIpv6) {
    struct line_case {
        qb::header_fields h;
        std::string file;
        std::string line;
    };
    const line_case cases[] = {
        {v4("four"), "four_443_10.0.0.2_50000.0.pcapng",
         "{\"date\":\"2023-11-14 22:16:40 +0000\", \"pbcid\":\"four\", \"reason\":\"normal\", "
         "\"faddr\":\"10.0.0.2\", \"fport\":50000, \"laddr\":\"10.0.0.1\", \"lport\":443, "
         "\"filename\":\"four_443_10.0.0.2_50000.0.pcapng\", \"record_count\":3, "
         "\"stack\":\"alpha\", \"duration\":0.000000, \"connection_ended\":false, \"tag\":\"\", "
         "\"compressor\":\"\", \"frag_seq\":0}"},
        {v6("six"), "six_443_2001:db8::2_50000.0.pcapng",
         "{\"date\":\"2023-11-14 22:16:40 +0000\", \"pbcid\":\"six\", \"reason\":\"normal\", "
         "\"faddr\":\"2001:db8::2\", \"fport\":50000, \"laddr\":\"2001:db8::1\", \"lport\":443, "
         "\"filename\":\"six_443_2001:db8::2_50000.0.pcapng\", \"record_count\":3, "
         "\"stack\":\"alpha\", \"duration\":0.000000, \"connection_ended\":false, \"tag\":\"\", "
         "\"compressor\":\"\", \"frag_seq\":0}"},
    };
    for (const line_case& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(dump(c.h, packets(3)), "");
        EXPECT_EQ(test::block_summary(file(c.file)), "P P P");
        EXPECT_EQ(lines_for(c.file), std::vector<std::string>{c.line});
    }
    EXPECT_EQ(dump_files(), (std::vector<std::string>{cases[0].file, cases[1].file}));
    EXPECT_EQ(parsed_index().size(), 2u);
}

// A short dump is removed only for the exact reasons "error" and "rebuffer";
// the cache learns the number unless the reason is one of the two.
TEST_F(DumpTest, ShortErrorAndRebufferDumpsAreRemoved) {
    struct reason_case {
        const char* id;
        const char* reason;
        uint32_t records;
        bool kept;
    };
    const reason_case cases[] = {
        {"e11", "error", 11, true},       {"e10", "error", 10, false},
        {"e1", "error", 1, false},        {"cap", "Error", 10, true},
        {"plural", "errors", 10, true},   {"space", "rebuffer ", 10, true},
        {"upper", "ERROR", 10, true},     {"r10", "rebuffer", 10, false},
        {"r11", "rebuffer", 11, true},    {"n1", "normal", 1, true},
        {"empty", "", 1, true},
    };
    for (const reason_case& c : cases) {
        SCOPED_TRACE(std::string(c.id) + " reason \"" + c.reason + "\"");
        EXPECT_EQ(dump(v4(c.id, c.reason), packets(c.records)), "");
        const std::string name = v4_file(c.id, 0);
        EXPECT_EQ(exists(name), c.kept);
        const std::vector<std::string> lines = lines_for(name);
        if (c.kept) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(member(lines[0], "record_count"), std::to_string(c.records));
            EXPECT_EQ(member(lines[0], "frag_seq"), "0");
            EXPECT_EQ(test::record_blocks(file(name)), c.records);
        } else {
            EXPECT_TRUE(lines.empty());
        }
        const std::string r = c.reason;
        const bool cache_skipped = r == "error" || r == "rebuffer";
        EXPECT_EQ(cached(v4_ident(c.id)), cache_skipped ? std::nullopt : std::optional<int32_t>(1));
    }
}

// Where probing starts and what it skips. `taken` files exist before the
// dump; seq -1 means no free number was found.
TEST_F(DumpTest, ProbingFollowsTheCacheAndSkipsTakenNames) {
    constexpr int32_t MAX = 2147483647;
    struct probe_case {
        const char* id;
        std::optional<int32_t> cache_before;
        int64_t taken_from, taken_to;  // inclusive range; empty when from > to
        int64_t seq;
        std::optional<int32_t> cache_after;
    };
    const probe_case cases[] = {
        {"fresh", std::nullopt, 1, 0, 0, 1},
        {"four", std::nullopt, 0, 3, 4, 5},
        // Lower numbers are never tried while the entry lives.
        {"seven", 7, 1, 0, 7, 8},
        {"full", std::nullopt, 0, 1023, -1, std::nullopt},
        {"fullhit", 5, 5, 1028, -1, 5},
        {"edge", 2147482624, 2147482624, 2147482624, 2147482625, 2147482626},
        // Above the edge only the start number itself is tried.
        {"single", 2147482625, 2147482625, 2147482625, -1, 2147482625},
        {"last", MAX, 1, 0, MAX, MAX},
    };
    for (const probe_case& c : cases) {
        SCOPED_TRACE(c.id);
        dump_losses_reset();
        const std::string ident = v4_ident(c.id);
        if (c.cache_before) idcache_add(ident.c_str(), *c.cache_before);
        for (int64_t s = c.taken_from; s <= c.taken_to; s++) {
            test::write_file(path(v4_file(c.id, s)), std::string("taken"));
        }
        const std::vector<std::string> before = dump_files();

        const std::string err = dump(v4(c.id), packets(1));

        std::vector<std::string> added;
        for (const std::string& n : dump_files()) {
            if (std::find(before.begin(), before.end(), n) == before.end()) added.push_back(n);
        }
        if (c.seq < 0) {
            EXPECT_EQ(err, creation_lost(v4_file(c.id, c.cache_before.value_or(0))));
            EXPECT_TRUE(added.empty()) << added.front();
        } else {
            EXPECT_EQ(err, "");
            EXPECT_EQ(added, std::vector<std::string>{v4_file(c.id, c.seq)});
            const std::vector<std::string> lines = lines_for(v4_file(c.id, c.seq));
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(member(lines[0], "frag_seq"), std::to_string(c.seq));
            EXPECT_EQ(test::block_summary(file(v4_file(c.id, c.seq))), "P");
        }
        EXPECT_EQ(cached(ident), c.cache_after);
    }
}

TEST_F(DumpTest, LastSequenceNumberHasNoSuccessor) {
    idcache_add(v4_ident("top").c_str(), 2147483647);
    EXPECT_EQ(dump(v4("top"), packets(1)), "");
    EXPECT_EQ(dump_files(), std::vector<std::string>{v4_file("top", 2147483647)});
    EXPECT_EQ(cached(v4_ident("top")), 2147483647);

    // The next dump finds its one allowed number taken rather than wrapping
    // to a negative number. Losses after the first of a streak only count,
    // and the next dump written whole ends the streak with the count.
    EXPECT_EQ(dump(v4("top"), packets(1)), creation_lost(v4_file("top", 2147483647)));
    EXPECT_EQ(dump(v4("top"), packets(1)), "");
    EXPECT_EQ(dump_files(), std::vector<std::string>{v4_file("top", 2147483647)});
    EXPECT_EQ(index_lines().size(), 1u);
    EXPECT_EQ(cached(v4_ident("top")), 2147483647);
    EXPECT_EQ(dump(v4("other"), packets(1)),
              std::string(progname()) + ": Dumps written again: 2 dumps lost\n");
    EXPECT_EQ(dump(v4("third"), packets(1)), "");
    EXPECT_EQ(index_lines().size(), 3u);
}

// Stack ids A A B B: the first dump ends at the change and is indexed even
// for "error"; the second takes the next number and its header copy counts
// only the record bytes from its first record on.
TEST_F(DumpTest, StackChangeSplitsTheDump) {
    std::vector<qb::record_fields> recs = packets(4);
    recs[2].stack_id = recs[3].stack_id = STACK_B;
    // A serial jump at the change produces no gap block in the new file.
    recs[2].serial = 50;
    recs[3].serial = 51;

    struct split_case {
        const char* id;
        const char* reason;
        bool second_kept;
    };
    const split_case cases[] = {{"splitn", "normal", true}, {"splite", "error", false}};
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(dump(v4(c.id, c.reason), recs), "");
        const std::string first = v4_file(c.id, 0), second = v4_file(c.id, 1);

        const std::vector<uint8_t> f1 = file(first);
        EXPECT_EQ(test::block_summary(f1), "P P");
        ASSERT_GE(f1.size(), 300u);
        EXPECT_EQ(load<uint64_t>(&f1[80]), 1312u);  // tlh_length of the header copy
        EXPECT_EQ(f1[292], STACK_A);
        EXPECT_EQ(load<int64_t>(&f1[52]), DUMP_TIME);
        const std::vector<std::string> l1 = lines_for(first);
        ASSERT_EQ(l1.size(), 1u);
        EXPECT_EQ(member(l1[0], "record_count"), "2");
        EXPECT_EQ(member(l1[0], "frag_seq"), "0");
        EXPECT_EQ(member(l1[0], "stack"), "\"alpha\"");

        EXPECT_EQ(exists(second), c.second_kept);
        if (!c.second_kept) {
            EXPECT_TRUE(lines_for(second).empty());
            continue;
        }
        const std::vector<uint8_t> f2 = file(second);
        EXPECT_EQ(test::block_summary(f2), "P P");
        ASSERT_GE(f2.size(), 300u);
        EXPECT_EQ(load<uint64_t>(&f2[80]), 656u);
        EXPECT_EQ(load<uint32_t>(&f2[288]), OPT_SUB_STACK_NAME);
        EXPECT_EQ(f2[292], STACK_B);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f2[293]), 5), "bravo");
        EXPECT_EQ(load<int64_t>(&f2[52]), DUMP_TIME);
        const std::vector<std::string> l2 = lines_for(second);
        ASSERT_EQ(l2.size(), 1u);
        EXPECT_EQ(member(l2[0], "record_count"), "2");
        EXPECT_EQ(member(l2[0], "frag_seq"), "1");
        EXPECT_EQ(member(l2[0], "stack"), "\"bravo\"");
        EXPECT_EQ(cached(v4_ident(c.id)), 2);
    }
}

TEST_F(DumpTest, GapBlocksCountMissingSerials) {
    struct gap_case {
        const char* id;
        std::vector<uint32_t> serials;
        bool events;
        const char* blocks;
    };
    const gap_case cases[] = {
        {"g569", {5, 6, 9}, false, "P P G2 P"},
        {"gwrap", {4294967295u, 0}, false, "P P"},
        {"gback", {10, 7}, false, "P G4294967292 P"},
        {"gsame", {5, 5}, false, "P G4294967295 P"},
        {"gev", {5, 9, 10, 12}, true, "E G3 E E G1 E"},
        {"gfirst", {1000}, true, "E"},
    };
    for (const gap_case& c : cases) {
        SCOPED_TRACE(c.id);
        std::vector<qb::record_fields> recs;
        for (uint32_t s : c.serials) {
            if (c.events) {
                recs.push_back(event(s));
            } else {
                qb::record_fields r;
                r.serial = s;
                r.stack_id = STACK_A;
                recs.push_back(r);
            }
        }
        EXPECT_EQ(dump(v4(c.id), recs), "");
        EXPECT_EQ(test::block_summary(file(v4_file(c.id, 0))), c.blocks);
        const std::vector<std::string> lines = lines_for(v4_file(c.id, 0));
        ASSERT_EQ(lines.size(), 1u);
        // Gap blocks are not records.
        EXPECT_EQ(member(lines[0], "record_count"), std::to_string(c.serials.size()));
    }
}

// Only an event block of a record with event id 54 ends the connection; a
// packet record written as an event block (data offset below 5, lengths
// that wrap) does not.
TEST_F(DumpTest, ConnectionEndedComesFromEventBlocksOnly) {
    qb::record_fields end_event = event(1, REC_EVENT_CONN_END);
    qb::record_fields other_event = event(2, 53);
    qb::record_fields end_packet;
    end_packet.serial = 1;
    end_packet.stack_id = STACK_A;
    end_packet.event_id = REC_EVENT_CONN_END;
    qb::record_fields short_th = end_packet;
    short_th.th = qb::tcp_header(50000, 443, 1, 0, 4, 0x10, 1000);
    qb::record_fields wrapping = end_packet;
    wrapping.payload_len = 0xFFFFFFF0u;

    struct end_case {
        const char* id;
        std::vector<qb::record_fields> recs;
        const char* blocks;
        const char* ended;
    };
    const end_case cases[] = {
        {"ev54", {end_event}, "E", "true"},
        {"ev53", {other_event}, "E", "false"},
        {"pk54", {end_packet}, "P", "false"},
        {"th4", {short_th}, "E", "false"},
        {"wrap", {wrapping}, "E", "false"},
        // Once seen, the end stays for the rest of the dump.
        {"later", {end_event, other_event}, "E E", "true"},
    };
    for (const end_case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(dump(v4(c.id), c.recs), "");
        EXPECT_EQ(test::block_summary(file(v4_file(c.id, 0))), c.blocks);
        const std::vector<std::string> lines = lines_for(v4_file(c.id, 0));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(member(lines[0], "connection_ended"), c.ended);
    }
}

// Messages that end inside a record or cannot be dumped at all. A dump that
// fails after its file exists still uses up its number.
TEST_F(DumpTest, ShortAndUnusableMessages) {
    const std::string short_rec = "Incorrect header length while processing black box record\n";
    const std::string short_verbose =
        "Incorrect header length while processing verbose black box record\n";
    const std::string short_msg =
        "Incorrect header length while starting to process black box record\n";

    qb::record_fields verbose = event(2);
    verbose.flags = REC_FLAG_VERBOSE;
    qb::record_fields verbose_packet;
    verbose_packet.serial = 1;
    verbose_packet.stack_id = STACK_A;
    verbose_packet.flags = REC_FLAG_HAS_TH | REC_FLAG_VERBOSE;

    // Builds a message and gives it `len` bytes (tlh_length and buffer).
    auto cut = [](std::vector<uint8_t> m, size_t len) {
        m.resize(len, 0);
        if (len >= 16) store<uint64_t>(m.data() + OFF_TLH_LENGTH, len);
        return m;
    };
    qb::header_fields bad_af = v4("badaf");
    bad_af.af = 7;

    struct short_case {
        const char* id;
        std::vector<uint8_t> msg;
        std::string err;
        const char* blocks;  // null: no file
        bool indexed;
        std::optional<int32_t> cache;
    };
    // A cut message keeps its whole records: the dump ends as a complete
    // one with them, under the short-dump rule like any other.
    const short_case cases[] = {
        {"tail", cut(qb::message(v4("tail"), packets(2)), 208 + 2 * 328 + 100), short_rec, "P P",
         true, 1},
        {"errtail", cut(qb::message(v4("errtail", "error"), packets(2)), 208 + 2 * 328 + 100),
         short_rec, nullptr, false, std::nullopt},
        {"errtail11", cut(qb::message(v4("errtail11", "error"), packets(11)), 208 + 11 * 328 + 40),
         short_rec, "P P P P P P P P P P P", true, std::nullopt},
        {"lonev", cut(qb::message(v4("lonev"), {verbose_packet}), 536), short_verbose, nullptr,
         false, 1},
        {"secondv", cut(qb::message(v4("secondv"), {packets(1)[0], verbose}), 208 + 328 + 392),
         short_verbose, "P", true, 1},
        // A verbose record that fits: the second record starts at offset 536.
        {"mixed", qb::message(v4("mixed"), {packets(1)[0], verbose}), "", "P E", true, 1},
        {"exact", cut(qb::message(v4("exact"), packets(1)), 536), "", "P", true, 1},
        {"m535", cut(qb::message(v4("m535"), packets(1)), 535), short_msg, nullptr, false,
         std::nullopt},
        {"m100", cut(qb::message(v4("m100"), packets(1)), 100), short_msg, nullptr, false,
         std::nullopt},
        {"badaf", qb::message(bad_af, packets(1)),
         "Skipping black box record with unknown address family 7\n", nullptr, false, std::nullopt},
    };
    for (const short_case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(dump(c.msg), c.err);
        const std::string name = v4_file(c.id, 0);
        EXPECT_EQ(exists(name), c.blocks != nullptr);
        if (c.blocks) {
            EXPECT_EQ(test::block_summary(file(name)), c.blocks);
        }
        EXPECT_EQ(lines_for(name).size(), c.indexed ? 1u : 0u);
        if (c.indexed && !lines_for(name).empty()) {
            EXPECT_EQ(member(lines_for(name)[0], "record_count"),
                      std::to_string(test::record_blocks(file(name))));
        }
        EXPECT_EQ(cached(v4_ident(c.id)), c.cache);

        // The next message of the connection: after a failed dump whose
        // file existed, the number stays used.
        EXPECT_EQ(dump(v4(c.id), packets(1)), "");
        const int64_t next = c.cache ? *c.cache : 0;
        EXPECT_TRUE(exists(v4_file(c.id, next))) << v4_file(c.id, next);
        EXPECT_EQ(lines_for(v4_file(c.id, next)).size(), 1u);
    }
}

// Ids come from applications. The file name replaces every '/', every
// control byte and every byte that is not part of valid UTF-8 by '_', so no
// file leaves the output directory and every name lists cleanly; the cache
// key and "pbcid" keep the id, and every index line is strict UTF-8 JSON.
// Ids that meet in one name take the next free number.
TEST_F(DumpTest, HostileIdsStayInsideTheDirectoryAndTheIndexStaysJson) {
    temp_dir root;
    ASSERT_EQ(mkdir((root / "out").c_str(), 0755), 0);
    open_dir(root / "out");

    struct id_case {
        std::string id;
        std::string stem;
        int32_t seq;
    };
    const id_case ids[] = {
        {"a/b", "a_b", 0},
        {"../x", ".._x", 0},
        {"../../escape", ".._.._escape", 0},
        {"/abs", "_abs", 0},
        {"dir/", "dir_", 0},
        {"q\"uote", "q\"uote", 0},
        {"back\\slash", "back\\slash", 0},
        {"tab\there", "tab_here", 0},
        {"nl\nx", "nl_x", 0},
        {"\x01" "ctl", "_ctl", 0},
        {"del\x7f", "del_", 0},
        {"utf8\xc3\xa9", "utf8\xc3\xa9", 0},
        {"\xe2\x82\xac\xf0\x9f\x98\x80", "\xe2\x82\xac\xf0\x9f\x98\x80", 0},
        {"high\xc3", "high_", 0},
        {"\xff\xfe", "__", 0},
        {"\xc0\xaf" "over", "__over", 0},
        {"\xed\xa0\x80" "sur", "___sur", 0},
        {"a_b", "a_b", 1},        // same name as "a/b", another identifier
        {"tab_here", "tab_here", 1},
        {"\xfe\xff", "__", 1},
    };
    for (const id_case& c : ids) {
        SCOPED_TRACE(test::hex(reinterpret_cast<const uint8_t*>(c.id.data()), c.id.size()));
        EXPECT_EQ(dump(v4(c.id), packets(1)), "");
        EXPECT_EQ(cached(v4_ident(c.id)), c.seq + 1);
    }
    EXPECT_EQ(test::list_dir(root.path()), std::vector<std::string>{"out"});

    // Strictly: every line must decode as UTF-8 before it parses as JSON.
    const std::string check = root / "strict.py";
    test::write_file(check, std::string(
        "import json, sys\n"
        "for raw in open(sys.argv[1], 'rb').read().split(b'\\n')[:-1]:\n"
        "    json.loads(raw.decode('utf-8'))\n"));
    const std::string cmd = "python3 '" + check + "' '" + path("records") + "'";
    if (test::have_program("python3")) {
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    const std::vector<test::json_object> objs = parsed_index();
    ASSERT_EQ(objs.size(), std::size(ids));
    for (size_t i = 0; i < objs.size(); i++) {
        const id_case& c = ids[i];
        SCOPED_TRACE(test::hex(reinterpret_cast<const uint8_t*>(c.id.data()), c.id.size()));
        std::string pbcid;
        for (unsigned char ch : c.id) {
            if (ch == ' ' || (ch >= '\t' && ch <= '\r')) pbcid += ' ';
            else if (ch >= 0x21 && ch <= 0x7e) pbcid += static_cast<char>(ch);
            else pbcid += '?';
        }
        const std::string name = c.stem + V4_SUFFIX + "." + std::to_string(c.seq) + ".pcapng";
        const test::json_object& o = objs[i];
        EXPECT_EQ(o.at("filename").type, 's');
        EXPECT_EQ(o.at("filename").text, name);
        EXPECT_EQ(o.at("pbcid").text, pbcid);
        EXPECT_EQ(o.at("frag_seq").text, std::to_string(c.seq));
        struct stat st;
        ASSERT_EQ(lstat(path(name).c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(test::block_summary(file(name)), "P");
    }
    EXPECT_EQ(dump_files().size(), std::size(ids));
}

TEST_F(DumpTest, DurationDateAndStackInTheIndex) {
    struct index_case {
        const char* id;
        int64_t s1, u1, s2, u2;
        bool clock_fails;
        uint8_t stack;
        const char* duration;
        const char* date;
        const char* stack_name;
    };
    const index_case cases[] = {
        {"d02", 5, 900000, 6, 100000, false, STACK_A, "0.200000", "2023-11-14 22:16:40 +0000", "alpha"},
        {"d00", 5, 900000, 5, 900000, false, STACK_A, "0.000000", "2023-11-14 22:16:40 +0000", "alpha"},
        {"dneg", 6, 100000, 5, 900000, false, STACK_B, "0.000000", "2023-11-14 22:16:40 +0000", "bravo"},
        {"d2", 7, 5, 9, 7, false, STACK_A, "2.000002", "2023-11-14 22:16:40 +0000", "alpha"},
        {"dsame", 7, 5, 7, 6, false, STACK_A, "0.000001", "2023-11-14 22:16:40 +0000", "alpha"},
        {"nodate", 5, 0, 5, 0, true, STACK_A, "0.000000", "unknown", "alpha"},
        {"nostack", 5, 0, 5, 0, false, STACK_UNNAMED, "0.000000", "2023-11-14 22:16:40 +0000",
         "unknown"},
    };
    for (const index_case& c : cases) {
        SCOPED_TRACE(c.id);
        std::vector<qb::record_fields> recs = packets(3, c.stack);
        recs[0].sec = c.s1;
        recs[0].usec = c.u1;
        recs[1].sec = c.s1;  // the middle record's time plays no part
        recs[1].usec = 999999;
        recs[2].sec = c.s2;
        recs[2].usec = c.u2;
        dump_clock = c.clock_fails ? failed_dump_time : fixed_dump_time;
        EXPECT_EQ(dump(v4(c.id), recs), "");
        const std::string name = v4_file(c.id, 0);
        const std::vector<std::string> lines = lines_for(name);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(member(lines[0], "duration"), c.duration);
        EXPECT_EQ(member(lines[0], "date"), "\"" + std::string(c.date) + "\"");
        EXPECT_EQ(member(lines[0], "stack"), "\"" + std::string(c.stack_name) + "\"");
        // The section header carries the same dump time and the stack name.
        const std::vector<uint8_t> f = file(name);
        ASSERT_GE(f.size(), 300u);
        EXPECT_EQ(load<int64_t>(&f[52]), c.clock_fails ? -1 : DUMP_TIME);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[293]), strlen(c.stack_name)),
                  c.stack_name);
    }
    for (const test::json_object& o : parsed_index()) {
        EXPECT_EQ(o.at("duration").type, 'n');
        EXPECT_EQ(o.at("record_count").type, 'n');
        EXPECT_EQ(o.at("connection_ended").type, 'b');
    }
}

// Expiry through whole dumps: file 0 is removed after two dumps (0 and 1),
// so an expired entry shows as a dump that takes 0 again.
TEST_F(DumpTest, CacheEntryExpiresAfterThreeHundredSeconds) {
    struct expiry_case {
        const char* id;
        int64_t idle;
        int64_t seq;
    };
    const expiry_case cases[] = {{"idle299", 299, 2}, {"idle300", 300, 0}, {"idle900", 900, 0}};
    for (const expiry_case& c : cases) {
        SCOPED_TRACE(c.id);
        const int64_t t0 = cache_now;
        EXPECT_EQ(dump(v4(c.id), packets(1)), "");
        EXPECT_EQ(dump(v4(c.id), packets(1)), "");
        ASSERT_TRUE(exists(v4_file(c.id, 1)));
        ASSERT_EQ(unlink(path(v4_file(c.id, 0)).c_str()), 0);
        cache_now = t0 + c.idle;
        idcache_expire();
        EXPECT_EQ(dump(v4(c.id), packets(1)), "");
        EXPECT_TRUE(exists(v4_file(c.id, c.seq)));
        const std::vector<std::string> lines = index_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(member(lines.back(), "filename"), "\"" + v4_file(c.id, c.seq) + "\"");
        cache_now += 1000;
        idcache_expire();
    }
}

// A dump refreshes its identifier's entry: A, B, C dumped a second apart,
// then A again; 301 s after B's dump only B has expired.
TEST_F(DumpTest, ExpiryFollowsTheOrderOfUse) {
    const int64_t t0 = cache_now;
    for (const char* id : {"A", "B", "C"}) {
        EXPECT_EQ(dump(v4(id), packets(1)), "");
        cache_now += 1;
    }
    cache_now = t0 + 200;
    EXPECT_EQ(dump(v4("A"), packets(1)), "");
    cache_now = t0 + 301;
    idcache_expire();
    EXPECT_EQ(idcache_size(), 2u);
    EXPECT_EQ(cached(v4_ident("A")), 2);
    EXPECT_EQ(cached(v4_ident("B")), std::nullopt);
    EXPECT_EQ(cached(v4_ident("C")), 1);
}

// Two workers dump the same identifier: neither sees the other's entry,
// so the second probes from 0 and the first goes on from its own number.
TEST_F(DumpTest, WorkersKeepSeparateCaches) {
    const std::string id = "shared";
    const std::string ident = v4_ident(id);
    std::barrier step(2);
    std::optional<int32_t> w3_first, w5_before, w5_after, w3_after;
    const std::vector<uint8_t> msg = qb::message(v4(id), packets(1));
    auto run = [&](const std::vector<uint8_t>& bytes) {
        test::aligned_msg m(bytes);
        do_bbr_record(dir_fd_, m.data());
    };
    std::thread w3([&] {
        idcache_init(3);
        run(msg);  // takes 0
        w3_first = cached(ident);
        step.arrive_and_wait();
        step.arrive_and_wait();
        run(msg);  // starts at its own 1, which worker 5 took: takes 2
        w3_after = cached(ident);
        step.arrive_and_wait();
        step.arrive_and_wait();
        idcache_expire();
        EXPECT_EQ(idcache_size(), 0u);
    });
    std::thread w5([&] {
        idcache_init(5);
        step.arrive_and_wait();
        w5_before = cached(ident);
        run(msg);  // probes from 0: takes 1
        w5_after = cached(ident);
        step.arrive_and_wait();
        step.arrive_and_wait();
        cache_now += 100000000;  // both caches are idle now
        step.arrive_and_wait();
        idcache_expire();
        EXPECT_EQ(idcache_size(), 0u);
    });
    w3.join();
    w5.join();
    EXPECT_EQ(w3_first, 1);
    EXPECT_EQ(w5_before, std::nullopt);
    EXPECT_EQ(w5_after, 2);
    EXPECT_EQ(w3_after, 3);
    EXPECT_EQ(cached(ident), std::nullopt);  // this thread is worker 0
    EXPECT_EQ(dump_files(), (std::vector<std::string>{v4_file(id, 0), v4_file(id, 1), v4_file(id, 2)}));
    EXPECT_EQ(index_lines().size(), 3u);
}

// tshark reads every frame of the main shapes without complaint.
TEST_F(DumpTest, TsharkReadsEveryShape) {
    if (!test::have_program("tshark")) GTEST_SKIP() << "tshark not installed";
    std::vector<qb::record_fields> events_gaps = {event(1), event(2, 54)};
    events_gaps.push_back(packets(1)[0]);
    events_gaps.back().serial = 7;
    events_gaps.push_back(event(9));
    std::vector<qb::record_fields> split = packets(5);
    split[3].stack_id = split[4].stack_id = STACK_B;
    std::vector<qb::record_fields> outbound = packets(4);
    for (qb::record_fields& r : outbound) {
        r.event_id = 2;
        r.payload_len = 1448;
        r.th = qb::tcp_header(443, 50000, 1000, 2000, 8, 0x18, 512);
    }

    EXPECT_EQ(dump(v4("t4"), packets(12)), "");
    EXPECT_EQ(dump(v6("t6"), outbound), "");
    EXPECT_EQ(dump(v4("tev"), events_gaps), "");
    EXPECT_EQ(dump(v4("tsplit"), split), "");

    const std::vector<std::string> files = dump_files();
    ASSERT_EQ(files.size(), 5u);
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> f = file(name);
        ASSERT_EQ(test::block_summary(f).find('!'), std::string::npos) << test::block_summary(f);
        // tshark shows every block after the interface description as a
        // frame, the custom event and gap blocks included.
        std::string error;
        const size_t blocks = test::walk_blocks(f, &error).size();
        std::string out;
        const int frames = test::tshark_frames(path(name), &out);
        EXPECT_EQ(frames, static_cast<int>(blocks) - 2) << out;
    }
}

}  // namespace
}  // namespace quarn
