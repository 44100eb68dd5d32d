// The stream synthesizer, run as a process and its output read back with the
// framing rules of the log layout: messages frame to the end of the stream,
// records fill each message, TCP headers follow their connection, and every
// damage mode breaks the stream in the way it names.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "daemon_harness.h"
#include "dump_check.h"
#include "inspect/quarn_dumpread.h"
#include "inspect/quarn_tcplog.h"
#include "quarn_dumppolicy.h"
#include "quarn_logfmt.h"
#include "testlib.h"

namespace {

using namespace quarn;
using quarn::test::run;
using quarn::test::run_options;
using quarn::test::run_result;

struct walked_message {
    const uint8_t* p;
    uint64_t length;
    std::vector<const uint8_t*> records;
    size_t tail;  // bytes after the last whole record
};

// Owns the stream bytes that its messages point into.
struct walked_stream {
    std::shared_ptr<const std::string> bytes;
    std::vector<walked_message> messages;
    std::vector<uint8_t> rest;  // bytes after the last whole message
};

walked_message walk_message(const uint8_t* p, uint64_t length) {
    walked_message m{p, length, {}, 0};
    if (length < LOG_HEADER_SIZE) return m;
    size_t at = LOG_HEADER_SIZE;
    while (length - at >= LOG_RECORD_SIZE && length - at >= rec_size(p + at)) {
        m.records.push_back(p + at);
        at += rec_size(p + at);
    }
    m.tail = length - at;
    return m;
}

// Frames the stream the way the reader does; stops at a header that cannot
// frame a message or at a message the stream does not hold completely.
walked_stream walk(std::string stream) {
    walked_stream w;
    w.bytes = std::make_shared<const std::string>(std::move(stream));
    const std::string& bytes = *w.bytes;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t at = 0;
    while (bytes.size() - at >= COMMON_HEADER_SIZE) {
        const uint64_t len = tlh_length(p + at);
        if (len < COMMON_HEADER_SIZE || len > bytes.size() - at) break;
        w.messages.push_back(walk_message(p + at, len));
        at += len;
    }
    w.rest.assign(p + at, p + bytes.size());
    return w;
}

run_result synth(std::vector<std::string> args) {
    run_options o;
    o.args = std::move(args);
    return run(quarn::test::synth_path(), o);
}

walked_stream synth_walk(const std::vector<std::string>& args) {
    run_result r = synth(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return walk(r.out);
}

// Ports and addresses plus the raw id field: one connection of the pool.
std::string connection_key(const uint8_t* h) {
    const char* c = reinterpret_cast<const char*>(h);
    return std::string(c + OFF_TLH_FPORT, OFF_TLH_OFFSET - OFF_TLH_FPORT) +
           std::string(c + OFF_TLH_ID, TLH_ID_SIZE);
}

uint32_t th_u32(const uint8_t* th, size_t off) {
    uint32_t v;
    std::memcpy(&v, th + off, 4);
    return ntohl(v);
}

bool is_packet(const uint8_t* r) { return rec_flags(r) & REC_FLAG_HAS_TH; }
bool is_verbose(const uint8_t* r) { return rec_flags(r) & REC_FLAG_VERBOSE; }

enum share { NONE, SOME, ALL };

share share_of(size_t hits, size_t total) { return hits == 0 ? NONE : hits == total ? ALL : SOME; }

TEST(SynthStream, MessagesFrameExactlyAndRecordsFillThem) {
    struct test_case {
        std::vector<std::string> args;
        uint64_t messages;
        uint32_t rec_min, rec_max;
        share ipv6, verbose, packets;
    };
    const test_case cases[] = {
        {{"-n", "150", "-c", "30"}, 150, 1, 10, SOME, SOME, SOME},
        {{"-n", "80", "-6", "100", "-v", "100", "-r", "40-60"}, 80, 40, 60, ALL, ALL, SOME},
        {{"-n", "80", "-6", "0", "-v", "0", "-p", "0", "-r", "1"}, 80, 1, 1, NONE, NONE, NONE},
        {{"-n", "80", "-c", "30", "-p", "100", "-e", "0", "-r", "3-5"}, 80, 3, 5, SOME, SOME,
         ALL},
        {{"-n", "0"}, 0, 1, 1, NONE, NONE, NONE},
    };
    for (const test_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        walked_stream w = synth_walk(c.args);
        EXPECT_TRUE(w.rest.empty()) << w.rest.size() << " bytes after the last message";
        ASSERT_EQ(w.messages.size(), c.messages);
        size_t v6 = 0, records = 0, verbose = 0, packets = 0;
        for (const walked_message& m : w.messages) {
            EXPECT_EQ(tlh_type(m.p), TLH_TYPE_BBR);
            EXPECT_EQ(m.tail, 0u);
            EXPECT_GE(m.records.size(), c.rec_min);
            EXPECT_LE(m.records.size(), c.rec_max);
            size_t sum = LOG_HEADER_SIZE;
            for (const uint8_t* r : m.records) sum += is_verbose(r) ? 400 : 328;
            EXPECT_EQ(sum, m.length);
            const uint8_t af = tlh_af(m.p);
            EXPECT_TRUE(af == TLH_AF_INET || af == TLH_AF_INET6) << int(af);
            v6 += af == TLH_AF_INET6;
            EXPECT_LT(tlh_offset(m.p).usec, 1000000);
            for (const uint8_t* r : m.records) {
                records++;
                verbose += is_verbose(r);
                packets += is_packet(r);
            }
        }
        EXPECT_EQ(share_of(v6, w.messages.size()), c.ipv6);
        EXPECT_EQ(share_of(verbose, records), c.verbose);
        EXPECT_EQ(share_of(packets, records), c.packets);
    }
}

// Walks the options of a TCP header; false when a length runs past it.
bool options_fit(const uint8_t* th, size_t header_len) {
    size_t i = 20;
    while (i < header_len) {
        const uint8_t kind = th[i];
        if (kind == 0) return true;
        if (kind == 1) {
            i++;
            continue;
        }
        if (i + 1 >= header_len || th[i + 1] < 2 || i + th[i + 1] > header_len) return false;
        i += th[i + 1];
    }
    return true;
}

struct connection_track {
    bool seen = false;
    uint32_t serial = 0;
    timeval64 time{};
    bool have_seq[2] = {false, false};  // [0] received, [1] sent
    uint32_t next_seq[2] = {0, 0};
};

TEST(SynthStream, RecordsFollowTheirConnection) {
    walked_stream w = synth_walk({"-s", "7", "-n", "600", "-c", "12", "-r", "2-12", "-g", "0",
                                  "-e", "4", "-S", "20", "-p", "80"});
    ASSERT_TRUE(w.rest.empty());
    std::map<std::string, connection_track> conns;
    std::set<uint32_t> data_offsets;
    size_t wraps = 0, ends = 0, large_payloads = 0;
    for (const walked_message& m : w.messages) {
        connection_track& t = conns[connection_key(m.p)];
        for (size_t i = 0; i < m.records.size(); i++) {
            const uint8_t* r = m.records[i];
            const timeval64 tv = rec_time(r);
            ASSERT_GE(tv.usec, 0);
            ASSERT_LT(tv.usec, 1000000);
            if (t.seen) {
                // Without -g, serials count up by one across messages, through 2^32.
                ASSERT_EQ(rec_serial(r), static_cast<uint32_t>(t.serial + 1));
                wraps += rec_serial(r) == 0;
                ASSERT_TRUE(tv.sec > t.time.sec ||
                            (tv.sec == t.time.sec && tv.usec >= t.time.usec));
            }
            t.seen = true;
            t.serial = rec_serial(r);
            t.time = tv;
            if (rec_event_id(r) == REC_EVENT_CONN_END) {
                EXPECT_FALSE(is_packet(r));
                EXPECT_EQ(i + 1, m.records.size()) << "connection end before the last record";
                ends++;
            }
            if (!is_packet(r)) continue;
            const uint8_t* th = rec_th(r);
            const uint32_t hl = rec_th_len(r);
            data_offsets.insert(hl / 4);
            ASSERT_GE(hl, 20u);
            ASSERT_TRUE(options_fit(th, hl));
            const bool in = rec_event_id(r) == REC_EVENT_IN;
            const uint16_t sport = load_be16(th), dport = load_be16(th + 2);
            EXPECT_EQ(sport, in ? tlh_fport(m.p) : tlh_lport(m.p));
            EXPECT_EQ(dport, in ? tlh_lport(m.p) : tlh_fport(m.p));
            const uint8_t flags = th[13];
            if (!(flags & 0x10)) {
                EXPECT_EQ(flags, 0x02) << "only the opening SYN goes without ACK";
                EXPECT_EQ(th_u32(th, 8), 0u);
            }
            const uint32_t seq = th_u32(th, 4);
            const uint32_t len = rec_payload_len(r);
            EXPECT_LE(len, 65535u);
            large_payloads += len > 1460;
            if (t.have_seq[!in]) {
                EXPECT_EQ(seq, t.next_seq[!in]) << "sequence gap";
            }
            t.have_seq[!in] = true;
            t.next_seq[!in] = seq + len + ((flags & 0x03) ? 1 : 0);
        }
        if (!m.records.empty() && rec_event_id(m.records.back()) == REC_EVENT_CONN_END) {
            conns.erase(connection_key(m.p));
        }
    }
    EXPECT_GT(wraps, 0u) << "no connection's serial wrapped through 2^32";
    EXPECT_GT(ends, 0u);
    EXPECT_GT(large_payloads, 0u);
    EXPECT_EQ(*data_offsets.begin(), 5u);
    EXPECT_EQ(*data_offsets.rbegin(), 15u);
    EXPECT_GE(data_offsets.size(), 8u);
}

// Counts over all messages of a stream made with `args`.
struct stream_counts {
    size_t messages = 0, changes = 0, ended = 0, end_events = 0, gaps = 0;
};

stream_counts count(const std::vector<std::string>& args) {
    stream_counts c;
    walked_stream w = synth_walk(args);
    for (const walked_message& m : w.messages) {
        c.messages++;
        bool changed = false;
        for (size_t i = 0; i < m.records.size(); i++) {
            const uint8_t* r = m.records[i];
            c.end_events += rec_event_id(r) == REC_EVENT_CONN_END && !is_packet(r);
            if (i == 0) continue;
            const uint8_t* prev = m.records[i - 1];
            changed |= rec_stack_id(r) != rec_stack_id(prev);
            c.gaps += rec_serial(r) != static_cast<uint32_t>(rec_serial(prev) + 1);
        }
        c.changes += changed;
        c.ended += !m.records.empty() && rec_event_id(m.records.back()) == REC_EVENT_CONN_END;
    }
    return c;
}

TEST(SynthStream, PercentagesOfChangesEndsAndGaps) {
    const std::vector<std::string> base = {"-n", "120", "-r", "2-6"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), base.begin(), base.end());
        return count(more);
    };
    stream_counts all = with({"-S", "100", "-e", "100", "-g", "50"});
    EXPECT_EQ(all.changes, all.messages);
    EXPECT_EQ(all.ended, all.messages);
    EXPECT_EQ(all.end_events, all.messages);
    EXPECT_GT(all.gaps, 0u);
    stream_counts none = with({"-S", "0", "-e", "0", "-g", "0"});
    EXPECT_EQ(none.changes, 0u);
    EXPECT_EQ(none.end_events, 0u);
    EXPECT_EQ(none.gaps, 0u);
}

TEST(SynthStream, ReasonsComeFromTheWeightedList) {
    walked_stream w = synth_walk({"-n", "1000", "-R", "normal:96,error:2,rebuffer:2"});
    std::map<std::string, size_t> seen;
    for (const walked_message& m : w.messages) seen[std::string(tlh_reason(m.p))]++;
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_GT(seen["normal"], 900u);
    EXPECT_GT(seen["error"], 0u);
    EXPECT_GT(seen["rebuffer"], 0u);
}

TEST(SynthStream, SomeIdsAndTagsCarryOddBytes) {
    walked_stream w = synth_walk({"-n", "500", "-c", "60", "-e", "20", "-6", "20"});
    bool id_full = false, tag_full = false, quote = false, backslash = false, tab = false,
         slash = false, high = false, v4_prefix = false;
    for (const walked_message& m : w.messages) {
        const uint8_t* id = m.p + OFF_TLH_ID;
        id_full |= std::memchr(id, 0, TLH_ID_SIZE) == nullptr;
        tag_full |= std::memchr(m.p + OFF_TLH_TAG, 0, TLH_TAG_SIZE) == nullptr;
        for (char ch : tlh_id(m.p)) {
            quote |= ch == '"';
            backslash |= ch == '\\';
            tab |= ch == '\t';
            slash |= ch == '/';
            high |= static_cast<uint8_t>(ch) > 0x7F;
        }
        if (tlh_af(m.p) == TLH_AF_INET) {
            for (size_t i = 0; i < IPV4_IN_ADDR_FIELD; i++) {
                v4_prefix |= m.p[OFF_TLH_FADDR + i] != 0;
            }
        }
    }
    EXPECT_TRUE(id_full && tag_full);
    EXPECT_TRUE(quote && backslash && tab && slash && high);
    EXPECT_TRUE(v4_prefix) << "no IPv4 field with bytes before the address";
}

size_t count_if_message(const walked_stream& w, bool (*pred)(const walked_message&)) {
    size_t n = 0;
    for (const walked_message& m : w.messages) n += pred(m);
    return n;
}

bool bad_type(const walked_message& m) { return tlh_type(m.p) == 2; }
bool bad_family(const walked_message& m) { return m.length >= LOG_HEADER_SIZE && tlh_af(m.p) == 7; }
bool short_length(const walked_message& m) { return m.length >= LOG_HEADER_SIZE && m.length < 536; }
bool short_tail(const walked_message& m) {
    return m.length >= 536 && m.tail > 0 && m.tail < LOG_RECORD_SIZE && !m.records.empty();
}

// Damaged messages stand between healthy ones, never first or last.
bool inside(const walked_stream& w, bool (*pred)(const walked_message&)) {
    return !w.messages.empty() && !pred(w.messages.front()) && !pred(w.messages.back());
}

TEST(SynthDamage, EachModeMakesTheDamageItNames) {
    constexpr size_t N = 20;
    struct test_case {
        std::string modes;
        size_t extra_messages;  // inserted beside the N healthy ones
        size_t bad_types, bad_families, short_lengths, short_tails;
        const char* end;        // "", "short-header", "short-body" or "tiny-length"
    };
    const test_case cases[] = {
        {"unknown-type", 1, 1, 0, 0, 0, ""},
        {"unknown-family", 1, 0, 1, 0, 0, ""},
        {"short-length", 1, 0, 0, 1, 0, ""},
        {"short-tail", 1, 0, 0, 0, 1, ""},
        {"short-header", 0, 0, 0, 0, 0, "short-header"},
        {"short-body", 0, 0, 0, 0, 0, "short-body"},
        {"tiny-length", 0, 0, 0, 0, 0, "tiny-length"},
        {"unknown-type,unknown-family,short-length,short-tail,short-header", 4, 1, 1, 1, 1,
         "short-header"},
        {"short-tail,tiny-length,unknown-type", 2, 1, 0, 0, 1, "tiny-length"},
    };
    for (const test_case& c : cases) {
        SCOPED_TRACE(c.modes);
        walked_stream w = synth_walk({"-s", "3", "-n", std::to_string(N), "-D", c.modes});
        ASSERT_EQ(w.messages.size(), N + c.extra_messages);
        EXPECT_EQ(count_if_message(w, bad_type), c.bad_types);
        EXPECT_EQ(count_if_message(w, bad_family), c.bad_families);
        EXPECT_EQ(count_if_message(w, short_length), c.short_lengths);
        EXPECT_EQ(count_if_message(w, short_tail), c.short_tails);
        for (auto pred : {bad_type, bad_family, short_length, short_tail}) {
            EXPECT_TRUE(inside(w, pred));
        }
        const std::string end = c.end;
        if (end.empty()) {
            EXPECT_TRUE(w.rest.empty());
        } else if (end == "short-header") {
            EXPECT_EQ(w.rest.size(), 10u);
        } else if (end == "short-body") {
            ASSERT_GT(w.rest.size(), COMMON_HEADER_SIZE);
            EXPECT_GT(tlh_length(w.rest.data()), w.rest.size());
        } else {
            ASSERT_GE(w.rest.size(), COMMON_HEADER_SIZE);
            EXPECT_LT(tlh_length(w.rest.data()), COMMON_HEADER_SIZE);
        }
    }
}

TEST(SynthOptions, SameSeedSameBytes) {
    const std::vector<std::string> args = {"-n", "200", "-6", "50", "-v", "20", "-D",
                                           "unknown-type,short-tail"};
    auto with_seed = [&](const char* seed) {
        std::vector<std::string> a = args;
        a.insert(a.end(), {"-s", seed});
        run_result r = synth(a);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const std::string one = with_seed("42");
    ASSERT_GT(one.size(), 200u * 536);
    EXPECT_TRUE(one == with_seed("42"));
    EXPECT_FALSE(one == with_seed("43"));

    quarn::test::temp_dir dir;
    std::vector<std::string> to_file = args;
    to_file.insert(to_file.end(), {"-s", "42", "-o", dir / "stream"});
    run_result r = synth(to_file);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(quarn::test::read_text(dir / "stream") == one);
}

// -C reports what the framing finds in the stream: the whole messages, the
// whole records in them and every byte, damaged streams included.
TEST(SynthOptions, CountsAreWhatTheFramingFinds) {
    const std::vector<std::vector<std::string>> cases = {
        {"-n", "120", "-v", "30", "-r", "1-40"},
        {"-n", "0"},
        {"-n", "60", "-D", "unknown-type,unknown-family,short-length,short-tail"},
        {"-n", "40", "-D", "short-body"},
        {"-n", "40", "-D", "short-header"},
        {"-n", "40", "-D", "tiny-length"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<std::string> a = args;
        a.push_back("-C");
        const run_result r = synth(a);
        ASSERT_EQ(r.status, 0) << r.err;
        const walked_stream w = walk(r.out);
        size_t records = 0;
        for (const walked_message& m : w.messages) records += m.records.size();
        EXPECT_EQ(r.err, "messages " + std::to_string(w.messages.size()) + " records " +
                             std::to_string(records) + " bytes " + std::to_string(r.out.size()) +
                             "\n");
        // Without -C the same stream comes with nothing on stderr.
        const run_result quiet = synth(args);
        EXPECT_EQ(quiet.err, "");
        EXPECT_TRUE(quiet.out == r.out);
    }
}

TEST(SynthOptions, BadOptionsExitWithUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {"-n", "abc"},    {"-n", "-1"},          {"-n", "5x"},         {"-n", ""},
        {"-c", "0"},      {"-6", "101"},         {"-p", "200"},        {"-r", "5-3"},
        {"-r", "0-2"},    {"-r", "1-"},          {"-r", "1-65537"},    {"-R", ""},
        {"-R", "a,,b"},   {"-R", "normal:0"},    {"-R", std::string(32, 'r')},
        {"-D", "bogus"},  {"-D", "short-header,"}, {"-D", "short-header,short-body"},
        {"-s", "18446744073709551616"},          {"stray"},            {"-x"},
        {"--messages", "2"},                     {"--losses"},         {"--values", "v"},
        {"--story", "--messages", "0"},          {"--story", "--messages", "65"},
        {"--story", "--stack", "bbr"},           {"--story", "--losses", "--messages", "3"},
        {"--story", "--values", ""},             {"--story", "extra"},
        {"--summary-values", "v.csv"},           {"--story", "--summary-values", ""},
        {"--stories", "0"},                      {"--stories", "1001"},
        {"--stories", "x"},                      {"--stories", ""},
        {"--stories", "2", "--story"},           {"--stories", "2", "--losses"},
        {"--stories", "2", "--stack", "rack"},   {"--stories", "2", "--messages", "5"},
        {"--stories", "2", "--summary-values", "v.csv"}, {"--stories", "2", "--values", ""},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<std::string> a = args;
        a.insert(a.end(), {"-o", "/dev/null"});
        run_result r = synth(a);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.err.find("quarn_synth"), std::string::npos) << r.err;
    }
    EXPECT_EQ(synth({"--stories", "2", "--story", "-o", "/dev/null"}).err,
              "quarn_synth: give --story or --stories, not both\n");
    EXPECT_EQ(synth({"--stories", "2", "--losses", "-o", "/dev/null"}).err,
              "quarn_synth: --messages, --losses, --stack and --summary-values are --story's; "
              "--stories picks its own\n");
    run_result usage = synth({"-D", "bogus"});
    EXPECT_NE(usage.err.find("usage: quarn_synth"), std::string::npos);
    EXPECT_NE(usage.err.find("short-tail"), std::string::npos);
}

TEST(SynthSysctl, DirectoryHoldsVersionAndStackRegistry) {
    quarn::test::temp_dir dir;
    run_result r = synth({"-n", "0", "-o", "/dev/null", "-k", dir / "sysctl"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(quarn::test::read_text(dir / "sysctl/net.inet.tcp.bb.log_version"), "9\n");
    const std::vector<uint8_t> reg =
        quarn::test::read_file(dir / "sysctl/net.inet.tcp.function_info");
    ASSERT_FALSE(reg.empty());
    ASSERT_EQ(reg.size() % 72, 0u);
    std::map<int, std::string> named;
    size_t differing = 0;
    for (size_t at = 0; at < reg.size(); at += 72) {
        const uint8_t* e = reg.data() + at;
        const char* name_field = reinterpret_cast<const char*>(e + 5);
        const char* alias_field = reinterpret_cast<const char*>(e + 37);
        const std::string name(name_field, strnlen(name_field, 32));
        const std::string alias(alias_field, strnlen(alias_field, 32));
        EXPECT_EQ(e[69] | e[70] | e[71], 0);
        if (name == alias) {
            named[e[4]] = name;
        } else {
            differing++;
            EXPECT_EQ(named.count(e[4]), 0u) << "differing entry shadows a named id";
        }
    }
    EXPECT_EQ(named, (std::map<int, std::string>{{0, "default"}, {1, "bbr"}, {2, "rack"}}));
    EXPECT_EQ(differing, 1u);
}

TEST(SynthSample, BundledSampleIsWhatTheScriptMakes) {
    quarn::test::temp_dir dir;
    run_options o;
    o.args = {std::string(QUARN_SOURCE_DIR) + "/scripts/make-sample.sh", dir.path()};
    o.env["QUARN_SYNTH"] = quarn::test::synth_path();
    run_result r = run("/bin/sh", o);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string data = std::string(QUARN_SOURCE_DIR) + "/data";
    for (const char* name : {"sample.tcplog", "sysctl/net.inet.tcp.bb.log_version",
                             "sysctl/net.inet.tcp.function_info"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> made = quarn::test::read_file(dir / name);
        ASSERT_FALSE(made.empty());
        EXPECT_TRUE(made == quarn::test::read_file(data + "/" + name))
            << "regenerate with scripts/make-sample.sh";
    }
}

TEST(SynthSample, BundledSampleShowsEveryFeature) {
    const std::string bytes =
        quarn::test::read_text(std::string(QUARN_SOURCE_DIR) + "/data/sample.tcplog");
    walked_stream w = walk(bytes);
    ASSERT_FALSE(w.messages.empty());
    EXPECT_TRUE(w.rest.empty());
    std::set<uint8_t> families, stacks;
    std::set<std::string> connections;
    size_t short_errors = 0, changes = 0, gaps = 0, ends = 0, verbose = 0;
    for (const walked_message& m : w.messages) {
        EXPECT_EQ(m.tail, 0u);
        families.insert(tlh_af(m.p));
        connections.insert(connection_key(m.p));
        const std::string_view reason = tlh_reason(m.p);
        short_errors += (reason == "error" || reason == "rebuffer") && m.records.size() <= 10;
        for (size_t i = 0; i < m.records.size(); i++) {
            const uint8_t* r = m.records[i];
            stacks.insert(rec_stack_id(r));
            verbose += is_verbose(r);
            ends += rec_event_id(r) == REC_EVENT_CONN_END && !is_packet(r);
            if (i == 0) continue;
            changes += rec_stack_id(r) != rec_stack_id(m.records[i - 1]);
            gaps += rec_serial(r) != static_cast<uint32_t>(rec_serial(m.records[i - 1]) + 1);
        }
    }
    EXPECT_EQ(families, (std::set<uint8_t>{TLH_AF_INET, TLH_AF_INET6}));
    EXPECT_GE(connections.size(), 8u);
    EXPECT_GE(stacks.size(), 3u);
    EXPECT_GE(short_errors, 2u);
    EXPECT_GT(changes, 0u);
    EXPECT_GT(gaps, 0u);
    EXPECT_GT(ends, 0u);
    EXPECT_GT(verbose, 0u);
    EXPECT_GT(bytes.size(), 100000u);
    EXPECT_LT(bytes.size(), 2000000u);
}

// The story: quarn_synth --story through the real daemon, its dumps read
// back with the record decoder and compared with what the synthesizer says
// it put in, field by field, and the shape of the story itself.

using quarn::test::json_value;
using story_row = std::map<std::string, json_value>;

json_value number(int64_t v) { return {'n', std::to_string(v)}; }
json_value text(std::string_view s) { return {'s', std::string(s)}; }

// One record of a dump, decoded, with its TCP header when it is a packet.
struct story_record {
    tcplog_record r;
    bool packet = false;
    uint32_t th_seq = 0, th_ack = 0;
    uint8_t th_flags = 0;
};

struct story_dumps {
    std::vector<unsigned> parts;         // dump numbers, in order
    std::vector<std::string> summaries;  // block_summary of each
    std::vector<story_record> records;   // in stream order
    std::vector<story_row> rows;         // what a reader shows: records and gaps
};

// The part number of an uncompressed dump "<stem>.<n>.pcapng", or -1.
int part_of(const std::string& name) {
    dump_name dn;
    if (!parse_dump_name(name, dn) || dn.compression->id != dump_compression::none) return -1;
    return dn.seq;
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

story_row row_of(const tcplog_record& r, bool packet, std::string_view stack, timeval64 offset) {
    int64_t usec = offset.usec + r.tv_usec;
    const int64_t sec = offset.sec + r.tv_sec + usec / 1000000;
    usec %= 1000000;
    char time[40];
    std::snprintf(time, sizeof time, "%lld.%06lld", static_cast<long long>(sec),
                  static_cast<long long>(usec));
    story_row x = {
        {"time", {'n', time}},
        {"block", text(packet ? "packet" : "event")},
        {"serial", number(r.serial)},
        {"stack_id", number(r.stack_id)},
        {"stack", text(stack)},
        {"event_id", number(r.event_id)},
        {"event", text(tcplog_event_name(r.event_id))},
        {"state", text(tcplog_state_name(r.state))},
        {"flags", number(r.flags)},
        {"errno", number(r.error)},
        {"snd_una", number(r.snd_una)},
        {"snd_max", number(r.snd_max)},
        {"snd_nxt", number(r.snd_nxt)},
        {"snd_recover", number(r.snd_recover)},
        {"cwnd", number(r.cwnd)},
        {"ssthresh", number(r.ssthresh)},
        {"snd_wnd", number(r.snd_wnd)},
        {"rcv_nxt", number(r.rcv_nxt)},
        {"rcv_wnd", number(r.rcv_wnd)},
        {"srtt", number(r.srtt)},
        {"rttvar", number(r.rttvar)},
        {"dupacks", number(r.dupacks)},
        {"segqlen", number(r.segqlen)},
        {"sack_holes", number(r.sack_holes)},
        {"flex1", number(r.flex1)},
        {"flex2", number(r.flex2)},
        {"payload_len", number(r.payload_len)},
    };
    if (r.flags & REC_FLAG_RXBUF) x["rxbuf_acc"] = number(r.rxbuf_acc);
    if (r.flags & REC_FLAG_TXBUF) x["txbuf_acc"] = number(r.txbuf_acc);
    if (r.part == tcplog_stack_part::rack) {
        x["rack_rtt"] = number(r.rack.rack_rtt);
        x["rack_state"] = number(r.rack.rack_state);
    }
    if (r.part == tcplog_stack_part::bbr) {
        const tcplog_bbr& b = r.bbr;
        x["bbr_cur_del_rate"] = number(static_cast<int64_t>(b.cur_del_rate));
        x["bbr_del_rate"] = number(static_cast<int64_t>(b.del_rate));
        x["bbr_rtt_prop"] = number(static_cast<int64_t>(b.rtt_prop));
        x["bbr_bw_inuse"] = number(static_cast<int64_t>(b.bw_inuse));
        x["bbr_inflight"] = number(b.inflight);
        x["bbr_applimited"] = number(b.applimited);
        x["bbr_delivered"] = number(b.delivered);
        x["bbr_timestamp"] = number(b.timestamp);
        x["bbr_pkts_out"] = number(b.pkts_out);
        x["bbr_lost"] = number(b.lost);
        x["bbr_pacing_gain"] = number(b.pacing_gain);
        x["bbr_cwnd_gain"] = number(b.cwnd_gain);
        x["bbr_bbr_state"] = number(b.bbr_state);
    }
    return x;
}

story_row gap_row(uint32_t missing) { return {{"block", text("gap")}, {"missing", number(missing)}}; }

// The stem of a dump's name, or "" when it is none.
std::string stem_of(const std::string& name) {
    dump_name dn;
    return parse_dump_name(name, dn) ? dn.stem : "";
}

// Reads every dump of the story in `dir` (of connection `stem` when given)
// in part order: gap blocks inside a dump and serial jumps between dumps
// both become gap rows.
story_dumps read_story(const std::string& dir, const std::string& stem = "") {
    story_dumps d;
    std::vector<std::pair<int, std::string>> files;
    for (const std::string& name : quarn::test::list_dir(dir)) {
        if (part_of(name) >= 0 && (stem.empty() || stem_of(name) == stem)) files.emplace_back(part_of(name), name);
    }
    std::sort(files.begin(), files.end());
    bool have_serial = false;
    uint32_t serial = 0;
    for (const auto& [part, name] : files) {
        d.parts.push_back(static_cast<unsigned>(part));
        std::vector<uint8_t> bytes;
        std::string err;
        EXPECT_EQ(dump_read_file((dir + "/" + name).c_str(), bytes, err), 0) << name << ": " << err;
        d.summaries.push_back(quarn::test::block_summary(bytes));
        dump_contents c;
        dump_fault fault;
        EXPECT_EQ(dump_parse(bytes.data(), bytes.size(), true, c, fault), 0)
            << name << " at " << fault.offset << ": " << fault.message;
        bool first_in_file = true;
        for (const dump_block& b : c.blocks) {
            if (b.kind == dump_block_kind::gap) {
                d.rows.push_back(gap_row(b.missing));
                continue;
            }
            if (b.kind != dump_block_kind::packet && b.kind != dump_block_kind::event) continue;
            const dump_section& sec = c.sections[b.section];
            EXPECT_NE(b.record, nullptr) << name;
            EXPECT_NE(sec.log_header, nullptr) << name;
            if (!b.record || !sec.log_header) continue;
            story_record s;
            s.packet = b.kind == dump_block_kind::packet;
            EXPECT_EQ(tcplog_decode(std::span(b.record, 268), sec.stack_name, s.r), 0);
            if (first_in_file && have_serial && s.r.serial != serial + 1) {
                d.rows.push_back(gap_row(s.r.serial - serial - 1));
            }
            first_in_file = false;
            have_serial = true;
            serial = s.r.serial;
            if (s.packet) {
                // The null link's 4-byte family, a synthesized IPv4 or IPv6
                // header, then the record's TCP header.
                const bool v6 = b.caplen > 4 && (b.packet[4] >> 4) == 6;
                const size_t th = 4 + (v6 ? 40 : 20);
                EXPECT_GE(b.caplen, th + 20);
                if (b.caplen >= th + 20) {
                    EXPECT_EQ(b.packet[4], v6 ? 0x60 : 0x45);
                    s.th_seq = be32(b.packet + th + 4);
                    s.th_ack = be32(b.packet + th + 8);
                    s.th_flags = b.packet[th + 13];
                }
            }
            d.rows.push_back(row_of(s.r, s.packet, sec.stack_name, tlh_offset(sec.log_header)));
            d.records.push_back(s);
        }
    }
    return d;
}

std::vector<std::string_view> split_at(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

// The rows of the synthesizer's --values file: JSON lines, or CSV with a
// header line (strings unquoted, absent values empty).
std::vector<story_row> read_values(const std::string& path) {
    const std::string body = quarn::test::read_text(path);
    std::vector<story_row> rows;
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".csv") != 0) {
        std::string err;
        EXPECT_TRUE(quarn::test::parse_json_lines(body, &rows, &err)) << err;
        return rows;
    }
    const std::vector<std::string> lines = quarn::test::split_lines(body);
    if (lines.empty()) return rows;
    const std::vector<std::string_view> columns = split_at(lines[0], ',');
    for (size_t i = 1; i < lines.size(); i++) {
        const std::vector<std::string_view> cells = split_at(lines[i], ',');
        EXPECT_EQ(cells.size(), columns.size()) << lines[i];
        story_row x;
        for (size_t c = 0; c < cells.size() && c < columns.size(); c++) {
            if (cells[c].empty()) continue;
            const bool is_text = columns[c] == "block" || columns[c] == "stack" ||
                                 columns[c] == "event" || columns[c] == "state";
            x[std::string(columns[c])] = {is_text ? 's' : 'n', std::string(cells[c])};
        }
        rows.push_back(x);
    }
    return rows;
}

// Compares row by row, naming the row and the field of every difference.
void expect_same_rows(const std::vector<story_row>& decoded, const std::vector<story_row>& intended) {
    EXPECT_EQ(decoded.size(), intended.size());
    size_t differences = 0;
    for (size_t i = 0; i < decoded.size() && i < intended.size() && differences < 20; i++) {
        std::set<std::string> keys;
        for (const auto& [k, v] : decoded[i]) keys.insert(k);
        for (const auto& [k, v] : intended[i]) keys.insert(k);
        for (const std::string& k : keys) {
            const auto a = decoded[i].find(k), b = intended[i].find(k);
            const std::string got = a == decoded[i].end() ? "(absent)" : a->second.text;
            const std::string want = b == intended[i].end() ? "(absent)" : b->second.text;
            if (got != want || (a != decoded[i].end() && b != intended[i].end() &&
                                a->second.type != b->second.type)) {
                ADD_FAILURE() << "row " << i << " field " << k << ": decoded " << got
                              << ", synthesized " << want;
                differences++;
            }
        }
    }
}

// A story through the daemon: the synthesizer's stream and stack registry,
// the daemon run on them, and the dumps read back.
struct story_run {
    quarn::test::daemon_setup setup;
    std::string values;

    story_run(const std::vector<std::string>& args, const std::string& values_name = "values.jsonl") {
        values = setup.tmp / values_name;
        setup.run_synthesized(args, values);
    }
};

TEST(SynthStory, DumpsDecodeToTheValuesTheStoryPutIn) {
    struct test_case {
        std::vector<std::string> args;
        const char* values_name;
        std::vector<unsigned> parts;
    };
    const test_case cases[] = {
        {{"--story"}, "values.jsonl", {0, 1, 2, 3}},
        {{"--story", "--losses", "-s", "3"}, "values.jsonl", {0, 1, 3, 4}},
        {{"--story", "--stack", "rack", "--messages", "1", "-s", "5"}, "values.jsonl", {0}},
        {{"--story", "--messages", "6", "-s", "9", "--losses"}, "values.csv", {0, 1, 3, 4, 5, 6}},
    };
    for (const test_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        story_run run(c.args, c.values_name);
        const story_dumps d = read_story(run.setup.out);
        EXPECT_EQ(d.parts, c.parts);
        const std::vector<story_row> intended = read_values(run.values);
        ASSERT_GT(intended.size(), 300u);
        expect_same_rows(d.rows, intended);
    }
}

// Losses show where a reader meets them: a gap block inside the second
// dump, the removed "rebuffer" dump as a missing number, and serial jumps
// between dumps.
TEST(SynthStory, LossesShowAsGapBlocksAndMissingParts) {
    story_run run({"--story", "--losses", "-s", "11"});
    const story_dumps d = read_story(run.setup.out);
    ASSERT_EQ(d.parts, (std::vector<unsigned>{0, 1, 3, 4}));
    EXPECT_EQ(d.summaries[0].find('G'), std::string::npos) << d.summaries[0];
    EXPECT_NE(d.summaries[1].find(" G3 "), std::string::npos) << d.summaries[1];
    EXPECT_EQ(d.summaries[2].find('G'), std::string::npos) << d.summaries[2];
    std::vector<uint32_t> missing;
    for (const story_row& x : d.rows) {
        if (x.at("block").text == "gap") missing.push_back(static_cast<uint32_t>(std::stoul(x.at("missing").text)));
    }
    EXPECT_EQ(missing, (std::vector<uint32_t>{3, 6, 5}));
    EXPECT_EQ(quarn::test::split_lines(quarn::test::read_text(run.setup.out + "/records")).size(), 4u);
}

constexpr uint32_t TF_FASTRECOVERY = 0x100000;
constexpr uint32_t MAX_WINDOW = 65535u << 14;
constexpr uint32_t SEGMENT = 1460;

// Sequence numbers compared modulo 2^32.
bool seq_le(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) <= 0; }

uint32_t halved(uint32_t snd_wnd, uint32_t cwnd) {
    return std::max(2u, std::min(snd_wnd, cwnd) / 2 / SEGMENT) * SEGMENT;
}

// What an analyst expects to see in the decoded dumps, for a few seeds.
TEST(SynthStory, TheStoryHasItsShape) {
    for (const char* seed : {"1", "2", "3", "4"}) {
        SCOPED_TRACE(std::string("seed ") + seed);
        story_run run({"--story", "-s", seed});
        const std::vector<story_record> recs = read_story(run.setup.out).records;
        ASSERT_GT(recs.size(), 300u);

        // States in order, each once.
        std::vector<std::string_view> states;
        for (const story_record& s : recs) {
            const std::string_view name = tcplog_state_name(s.r.state);
            if (states.empty() || states.back() != name) states.push_back(name);
        }
        EXPECT_EQ(states, (std::vector<std::string_view>{"SYN_SENT", "ESTABLISHED", "FIN_WAIT_1",
                                                         "FIN_WAIT_2", "TIME_WAIT"}));
        EXPECT_EQ(recs.front().r.event_id, 2);
        EXPECT_EQ(recs.front().th_flags, 0x02);  // the SYN
        EXPECT_EQ(recs.back().r.event_id, 54);
        EXPECT_STREQ(std::string(tcplog_event_name(recs.back().r.event_id)).c_str(), "connend");

        // Slow start: cwnd from the initial window up, ssthresh untouched,
        // until the first recovery; a late segment shows as a reorder event.
        size_t at = 0;
        while (at < recs.size() && recs[at].r.state != 4) at++;
        ASSERT_LT(at, recs.size());
        EXPECT_EQ(recs[at].r.cwnd, 10 * SEGMENT);
        EXPECT_GT(recs[at].r.srtt, 0u);
        size_t reorders = 0;
        const size_t established = at;
        for (; at < recs.size() && !(recs[at].r.tcb_flags & TF_FASTRECOVERY); at++) {
            EXPECT_EQ(recs[at].r.ssthresh, MAX_WINDOW) << "serial " << recs[at].r.serial;
            if (at > established) {
                EXPECT_GE(recs[at].r.cwnd, recs[at - 1].r.cwnd) << recs[at].r.serial;
            }
            reorders += tcplog_event_name(recs[at].r.event_id) == "reorder";
        }
        ASSERT_LT(at, recs.size());
        EXPECT_EQ(reorders, 1u);
        EXPECT_GT(recs[at - 1].r.cwnd, 4 * 10 * SEGMENT);

        // The loss: the third duplicate ACK halves ssthresh, sets the
        // recovery point and retransmits snd_una.
        const tcplog_record& before = recs[at - 1].r;
        const story_record& rexmit = recs[at];
        EXPECT_EQ(before.event_id, 1);
        EXPECT_EQ(before.dupacks, 2u);
        EXPECT_EQ(rexmit.r.event_id, 2);
        EXPECT_EQ(rexmit.r.ssthresh, halved(before.snd_wnd, before.cwnd));
        EXPECT_EQ(rexmit.r.cwnd, rexmit.r.ssthresh);
        EXPECT_EQ(rexmit.r.dupacks, 3u);
        EXPECT_EQ(rexmit.r.snd_recover, rexmit.r.snd_max);
        EXPECT_GE(rexmit.r.sack_holes, 1);
        EXPECT_EQ(rexmit.th_seq, rexmit.r.snd_una);
        EXPECT_EQ(rexmit.r.payload_len, SEGMENT);
        size_t prr = 0;
        for (; at < recs.size() && (recs[at].r.tcb_flags & TF_FASTRECOVERY); at++) {
            prr += tcplog_event_name(recs[at].r.event_id) == "prr";
        }
        ASSERT_LT(at, recs.size());
        EXPECT_GT(prr, 3u);
        EXPECT_TRUE(seq_le(rexmit.r.snd_recover, recs[at].r.snd_una));  // recovery ends at the point
        EXPECT_EQ(recs[at].r.sack_holes, 0);

        // The RTO: one segment, ssthresh from the window before, go back to snd_una.
        size_t rto = at;
        while (rto < recs.size() && tcplog_event_name(recs[rto].r.event_id) != "rto") rto++;
        ASSERT_LT(rto, recs.size());
        const tcplog_record& r = recs[rto].r;
        EXPECT_EQ(r.cwnd, SEGMENT);
        EXPECT_EQ(r.ssthresh, halved(recs[rto - 1].r.snd_wnd, recs[rto - 1].r.cwnd));
        EXPECT_LT(r.ssthresh, rexmit.r.ssthresh);
        EXPECT_EQ(r.snd_nxt, r.snd_una);
        EXPECT_EQ(r.flex1, 1u);  // the first backoff
        EXPECT_GE(recs[rto].r.tv_sec * 1000000 + recs[rto].r.tv_usec -
                      (recs[rto - 1].r.tv_sec * 1000000 + recs[rto - 1].r.tv_usec),
                  200000);
        ASSERT_LT(rto + 1, recs.size());
        EXPECT_TRUE(recs[rto + 1].packet);
        EXPECT_EQ(recs[rto + 1].th_seq, r.snd_una);  // the retransmission

        // The first write acknowledged, the send buffer is empty and the
        // writer is woken; it writes again a set time later, and the peer's
        // window of four segments holds the second write back.
        size_t wake = rto;
        while (wake < recs.size() && tcplog_event_name(recs[wake].r.event_id) != "sb_wake") wake++;
        ASSERT_LT(wake + 1, recs.size());
        const tcplog_record& idle = recs[wake].r;
        EXPECT_EQ(idle.snd_una, idle.snd_max);
        EXPECT_EQ(idle.snd_max - idle.iss, 1 + 160 * SEGMENT);
        EXPECT_EQ(idle.txbuf_acc, 0u);
        const tcplog_record& write = recs[wake + 1].r;
        EXPECT_EQ(tcplog_event_name(write.event_id), "usersend");
        EXPECT_EQ(write.flex1, 40 * SEGMENT);
        EXPECT_EQ((write.tv_sec - idle.tv_sec) * 1000000 + write.tv_usec - idle.tv_usec, 300000);
        EXPECT_EQ(write.snd_wnd, 46u << 7);
        size_t held = 0;
        for (size_t i = wake + 1; i < recs.size() && recs[i].r.state == 4; i++) {
            EXPECT_LE(recs[i].r.snd_max - recs[i].r.snd_una, 46u << 7) << recs[i].r.serial;
            held += recs[i].packet && recs[i].r.event_id == 2 && recs[i].r.payload_len > 0;
        }
        EXPECT_EQ(held, 40u);

        // Every packet agrees with the state: what goes out lies in
        // [snd_una, snd_max] and acknowledges rcv_nxt; what comes in
        // acknowledges no more than was sent.
        int64_t last_time = 0;
        for (const story_record& s : recs) {
            const int64_t t = s.r.tv_sec * 1000000 + s.r.tv_usec;
            EXPECT_GE(t, last_time);
            last_time = t;
            if (!s.packet) continue;
            const uint32_t len = s.r.payload_len + ((s.th_flags & 0x03) ? 1 : 0);
            if (s.r.event_id == 2) {
                EXPECT_TRUE(seq_le(s.r.snd_una, s.th_seq)) << s.r.serial;
                EXPECT_TRUE(seq_le(s.th_seq + len, s.r.snd_max)) << s.r.serial;
                if (!(s.th_flags & 0x02)) {
                    EXPECT_EQ(s.th_ack, s.r.rcv_nxt) << s.r.serial;
                }
            } else {
                EXPECT_TRUE(seq_le(s.th_ack, s.r.snd_max)) << s.r.serial;
                if (len > 0 && s.r.state != 2) {
                    EXPECT_EQ(s.th_seq, s.r.rcv_nxt) << s.r.serial;
                }
            }
        }
    }
}

TEST(SynthStory, SameSeedSameStory) {
    auto story = [](const char* seed) {
        const run_result r = synth({"--story", "--losses", "-s", seed});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const std::string one = story("42");
    EXPECT_GT(one.size(), 300u * 328);
    EXPECT_TRUE(one == story("42"));
    EXPECT_FALSE(one == story("43"));
}

// --stories: several story connections in one stream through the real
// daemon. Each connection's dumps decode to the rows the synthesizer says
// it put in, and the stream holds what it promises for a given seed.

// The values file's rows of each connection, by stem, the stem column
// taken off.
std::map<std::string, std::vector<story_row>> rows_by_stem(const std::vector<story_row>& rows) {
    std::map<std::string, std::vector<story_row>> by;
    for (story_row x : rows) {
        const auto stem = x.find("stem");
        EXPECT_NE(stem, x.end());
        if (stem == x.end()) continue;
        const std::string key = stem->second.text;
        x.erase(stem);
        by[key].push_back(std::move(x));
    }
    return by;
}

// The stems of the dumps in `dir`.
std::set<std::string> dump_stems(const std::string& dir) {
    std::set<std::string> stems;
    for (const std::string& name : quarn::test::list_dir(dir)) {
        if (part_of(name) >= 0) stems.insert(stem_of(name));
    }
    return stems;
}

TEST(SynthStories, EveryConnectionDecodesToTheValuesItsStoryPutIn) {
    for (const char* seed : {"1", "8"}) {
        SCOPED_TRACE(std::string("seed ") + seed);
        story_run run({"--stories", "10", "-s", seed});
        const auto intended = rows_by_stem(read_values(run.values));
        ASSERT_EQ(intended.size(), 10u);
        std::set<std::string> stems;
        for (const auto& [stem, rows] : intended) stems.insert(stem);
        EXPECT_EQ(dump_stems(run.setup.out), stems);
        for (const auto& [stem, rows] : intended) {
            SCOPED_TRACE(stem);
            ASSERT_GT(rows.size(), 200u);
            expect_same_rows(read_story(run.setup.out, stem).rows, rows);
        }
    }
}

TEST(SynthStories, TheStreamHoldsEveryVariety) {
    for (const char* seed : {"1", "5", "77"}) {
        SCOPED_TRACE(std::string("seed ") + seed);
        const walked_stream w = synth_walk({"--stories", "8", "-s", seed});
        ASSERT_FALSE(w.messages.empty());
        EXPECT_TRUE(w.rest.empty());
        std::set<uint8_t> families, stacks;
        std::set<std::string> short_reasons, connections, odd_ids;
        size_t changes = 0, verbose = 0, switches = 0;
        std::string previous;
        int64_t last_time = 0;
        for (const walked_message& m : w.messages) {
            EXPECT_EQ(m.tail, 0u);
            families.insert(tlh_af(m.p));
            const std::string key = connection_key(m.p);
            connections.insert(key);
            switches += !previous.empty() && key != previous;
            // An id a file name or a reader of text must take care of:
            // empty, filling its field with no NUL, or with bytes beyond
            // letters, digits and '-'.
            const std::string_view id = tlh_id(m.p);
            if (id.empty() || id.size() == TLH_ID_SIZE ||
                id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string_view::npos) {
                odd_ids.insert(std::string(id));
            }
            previous = key;
            const std::string reason(tlh_reason(m.p));
            if (!complete_dump_indexed(static_cast<uint32_t>(m.records.size()), reason)) {
                short_reasons.insert(reason);
            }
            for (size_t i = 0; i < m.records.size(); i++) {
                stacks.insert(rec_stack_id(m.records[i]));
                verbose += is_verbose(m.records[i]);
                if (i > 0) changes += rec_stack_id(m.records[i]) != rec_stack_id(m.records[i - 1]);
            }
            // Messages come in the order of their last record's time.
            const uint8_t* last = m.records.back();
            const int64_t t = rec_time(last).sec * 1000000 + rec_time(last).usec;
            EXPECT_GE(t, last_time);
            last_time = t;
        }
        EXPECT_EQ(connections.size(), 8u);
        EXPECT_GT(switches, connections.size() * 2) << "the connections' messages interleave";
        EXPECT_EQ(families, (std::set<uint8_t>{TLH_AF_INET, TLH_AF_INET6}));
        EXPECT_EQ(stacks, (std::set<uint8_t>{0, 1, 2}));
        EXPECT_GE(changes, 2u);
        EXPECT_EQ(short_reasons, (std::set<std::string>{"error", "rebuffer"}));
        EXPECT_GT(verbose, 0u);
        EXPECT_FALSE(odd_ids.empty());

        // Through the daemon, connection by connection, what a reader sees.
        story_run run({"--stories", "8", "-s", seed});
        size_t ended = 0, cut = 0, with_gaps = 0, changed = 0;
        std::set<std::string> parts_seen;
        for (const std::string& stem : dump_stems(run.setup.out)) {
            SCOPED_TRACE(stem);
            const story_dumps d = read_story(run.setup.out, stem);
            ASSERT_FALSE(d.records.empty());
            // The states run in the story's order from the SYN, as far as
            // the log goes.
            const std::vector<std::string_view> order = {"SYN_SENT", "ESTABLISHED", "FIN_WAIT_1",
                                                         "FIN_WAIT_2", "TIME_WAIT"};
            size_t at = 0;
            for (const story_record& s : d.records) {
                while (at < order.size() && tcplog_state_name(s.r.state) != order[at]) at++;
                ASSERT_LT(at, order.size()) << "serial " << s.r.serial;
            }
            EXPECT_EQ(d.records.front().th_flags, 0x02);
            const bool ends = tcplog_event_name(d.records.back().r.event_id) == "connend";
            ended += ends;
            cut += !ends;
            std::set<std::string_view> events, stack_names;
            bool small_window = false;
            for (const story_record& s : d.records) {
                events.insert(tcplog_event_name(s.r.event_id));
                small_window = small_window || s.r.snd_wnd == (46u << 7);
                if (s.r.part == tcplog_stack_part::rack) parts_seen.insert("rack");
                if (s.r.part == tcplog_stack_part::bbr) parts_seen.insert("bbr");
                stack_names.insert(s.r.stack_id == 0 ? "default" : s.r.stack_id == 1 ? "bbr" : "rack");
            }
            changed += stack_names.size() > 1;
            for (const story_row& x : d.rows) {
                if (x.at("block").text == "gap") {
                    with_gaps++;
                    break;
                }
            }
            // Every log reaches the recovery; a whole one also the RTO, the
            // idle application and the peer's small window.
            EXPECT_TRUE(events.count("prr")) << "a fast recovery";
            if (ends) {
                EXPECT_TRUE(events.count("rto"));
                EXPECT_TRUE(events.count("sb_wake")) << "the application idle";
                EXPECT_TRUE(small_window) << "limited by the peer's window";
            }
        }
        EXPECT_GE(ended, 1u);
        EXPECT_GE(cut, 1u);
        EXPECT_GE(with_gaps, 4u);
        EXPECT_GE(changed, 2u);
        EXPECT_EQ(parts_seen, (std::set<std::string>{"bbr", "rack"}));
    }
}

TEST(SynthStories, SameSeedSameStreamOtherSeedOther) {
    const run_result one = synth({"--stories", "3", "-s", "42"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_TRUE(one.out == synth({"--stories", "3", "-s", "42"}).out);
    EXPECT_FALSE(one.out == synth({"--stories", "3", "-s", "43"}).out);
    // A connection told alone is the first of several.
    const walked_stream alone = walk(synth({"--stories", "1", "-s", "42"}).out);
    const walked_stream three = walk(one.out);
    size_t first = 0;
    for (const walked_message& m : three.messages) {
        if (connection_key(m.p) != connection_key(alone.messages.front().p)) continue;
        ASSERT_LT(first, alone.messages.size());
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(m.p), m.length),
                  std::string_view(reinterpret_cast<const char*>(alone.messages[first].p),
                                   alone.messages[first].length));
        first++;
    }
    EXPECT_EQ(first, alone.messages.size());
}

}  // namespace
