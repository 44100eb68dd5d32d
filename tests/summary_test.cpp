// quarn_inspect --summary, run as a process on real dumps: the story's
// connection through the daemon, whose every column the synthesizer knows
// (--summary-values), its joined file, a small hand-made connection for the
// rules the story never meets (a peer's MSS other than 1460, CLOSE_WAIT,
// a closed receive window), and the inputs that must fail.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_harness.h"
#include "inspect/quarn_plot.h"
#include "inspect/quarn_timeline.h"
#include "dump_check.h"
#include "inspect_fixture.h"
#include "quarn_dumppolicy.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_story.h"
#include "testlib.h"

namespace {

using namespace quarn;
using namespace quarn::test;
using row = std::map<std::string, std::string>;

// CSV with quoted cells ("" inside for a quote) into lines of cells.
std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
    std::vector<std::vector<std::string>> lines(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                lines.back().back() += '"';
                i++;
            } else if (c == '"') {
                quoted = false;
            } else {
                lines.back().back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            lines.back().emplace_back();
        } else if (c == '\n') {
            lines.emplace_back(1);
        } else {
            lines.back().back() += c;
        }
    }
    if (lines.back().size() == 1 && lines.back()[0].empty()) lines.pop_back();
    return lines;
}

// The rows of a CSV text with a header line, by column name; the header
// into *columns when asked.
std::vector<row> csv_rows(const std::string& text, std::vector<std::string>* columns = nullptr) {
    const auto lines = parse_csv(text);
    std::vector<row> rows;
    if (lines.empty()) return rows;
    if (columns) *columns = lines[0];
    for (size_t i = 1; i < lines.size(); i++) {
        EXPECT_EQ(lines[i].size(), lines[0].size()) << "line " << i;
        row r;
        for (size_t c = 0; c < lines[i].size() && c < lines[0].size(); c++) r[lines[0][c]] = lines[i][c];
        rows.push_back(r);
    }
    return rows;
}

// The summary of `inputs` as CSV rows; the run's status must be `status`.
std::vector<row> summary_csv(const std::vector<std::string>& inputs, int status = 0) {
    std::vector<std::string> args = {"--summary", "--csv"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const run_result r = inspect(args);
    EXPECT_EQ(r.status, status) << r.err;
    return csv_rows(r.out);
}

double seconds(const row& r, const std::string& key) { return std::stod(r.at(key)); }

// The story through the daemon, with what the synthesizer says the summary
// of its dumps must be.
struct story_summary {
    daemon_setup setup;
    std::string stem;
    row expected;

    explicit story_summary(std::vector<std::string> args) {
        const std::string path = setup.tmp / "summary.csv";
        args.insert(args.end(), {"--summary-values", path});
        setup.run_synthesized(args, setup.tmp / "values.jsonl");
        for (const std::string& name : list_dir(setup.out)) {
            dump_name dn;
            if (parse_dump_name(name, dn)) stem = setup.out + "/" + dn.stem;
        }
        const std::vector<row> rows = csv_rows(read_text(path));
        EXPECT_EQ(rows.size(), 1u);
        if (!rows.empty()) expected = rows[0];
    }
};

// Every column the story knows, to the microsecond and the byte, on the
// cases that move what the summary meets: losses inside a dump and between
// dumps (unknown time, missing records), RACK (no srtt unit), one message
// and many. Then what the story's phases make true whatever the rules'
// details: the idle application's pause, the small window's rounds, one
// recovery and one RTO.
TEST(SummaryStory, EveryColumnIsWhatTheStoryKnows) {
    struct test_case {
        std::vector<std::string> args;
        uint64_t missing;
        bool srtt;
    };
    const test_case cases[] = {
        {{"--story"}, 0, true},
        {{"--story", "--losses", "-s", "3"}, 14, true},
        {{"--story", "--stack", "rack", "--messages", "1", "-s", "5"}, 0, false},
        {{"--story", "--messages", "6", "-s", "9", "--losses"}, 14, true},
        {{"--story", "--messages", "40", "-s", "12"}, 0, true},
    };
    for (const test_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        story_summary s(c.args);
        ASSERT_FALSE(s.stem.empty());
        const std::vector<row> got = summary_csv({s.stem});
        ASSERT_EQ(got.size(), 1u);
        const row& g = got[0];
        ASSERT_GT(s.expected.size(), 30u);
        for (const auto& [key, want] : s.expected) {
            ASSERT_TRUE(g.count(key)) << key;
            EXPECT_EQ(g.at(key), want) << key;
        }

        EXPECT_EQ(g.at("missing"), std::to_string(c.missing));
        EXPECT_EQ(g.at("srtt_avg_ms").empty(), !c.srtt);
        EXPECT_EQ(g.at("bytes_sent"),
                  std::to_string((story::SEGMENTS + story::SEGMENTS_AFTER_PAUSE) * story::MSS));
        EXPECT_EQ(g.at("rto_count"), "1");
        EXPECT_EQ(g.at("recovery_episodes"), "1");
        EXPECT_GT(seconds(g, "limited_rto"), 0.0);
        EXPECT_GE(seconds(g, "limited_app"), story::APP_PAUSE_US / 1e6);
        // Four segments a round trip, and a round trip takes at least the
        // path's 30 ms: the second write's segments need that many rounds.
        const double rounds = story::SEGMENTS_AFTER_PAUSE / 4.0 - 1;
        EXPECT_GE(seconds(g, "limited_rwnd"), rounds * 0.030);
        EXPECT_GT(std::stoull(g.at("bytes_retransmitted")), 0u);
        // "congestion-limited N%, 1 RTO (0.NN s), 1 recovery (0.NN s), N.N% retransmitted..."
        const std::string& verdict = g.at("verdict");
        size_t at = 0;
        for (const char* part : {"congestion-limited ", "%, 1 RTO (0.", " s), 1 recovery (0.", " s), ",
                                 "% retransmitted"}) {
            at = verdict.find(part, at);
            EXPECT_NE(at, std::string::npos) << part << " in " << verdict;
            if (at == std::string::npos) break;
        }
        EXPECT_EQ(verdict.rfind("congestion-limited ", 0), 0u) << verdict;
        if (c.missing > 0) {
            EXPECT_GT(seconds(g, "unknown"), 0.0);
            EXPECT_NE(g.at("verdict").find(", 14 records missing"), std::string::npos) << g.at("verdict");
        }
    }
}

// Seconds written with six decimals ("1.000250", "-0.5") as microseconds.
int64_t usec_of(const std::string& text) {
    const bool neg = text.starts_with('-');
    const std::string t = neg ? text.substr(1) : text;
    const size_t dot = t.find('.');
    std::string frac = dot == std::string::npos ? "" : t.substr(dot + 1);
    frac.resize(6, '0');
    const int64_t v = std::stoll(t.substr(0, dot)) * 1000000 + std::stoll(frac);
    return neg ? -v : v;
}

std::vector<std::vector<std::string>> fields_of(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    for (const std::string& line : split_lines(text)) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string w; in >> w;) f.push_back(w);
        out.push_back(f);
    }
    return out;
}

// The picture tells what the summary tells: the band's intervals add up to
// the synthesizer's limit times for each kind, one after another without
// overlap; the shaded recoveries to the recovery time; the RTO spans to the
// RTO wait and their events to the RTO count; the caption carries
// --summary's verdict and the retransmissions. Counts beside the gap marks (two gaps
// close together in the stories with losses) cover no mark and stay on the
// plot.
TEST(SummaryStory, ThePlotDrawsTheSummary) {
    const std::vector<std::string> cases[] = {
        {"--story"},
        {"--story", "--losses", "-s", "3"},
        {"--story", "--stack", "rack", "--messages", "1", "-s", "5"},
        {"--story", "--messages", "6", "-s", "9", "--losses"},
    };
    const char* limit_keys[] = {"limited_cwnd", "limited_rwnd", "limited_app", "limited_rto", "unknown"};
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        story_summary s(args);
        ASSERT_FALSE(s.stem.empty());
        // The verdict as --summary words it; the numbers as the story knows them.
        const std::vector<row> summary = summary_csv({s.stem});
        ASSERT_EQ(summary.size(), 1u);
        ASSERT_TRUE(s.expected.count("bytes_sent"));
        timeline t;
        std::string err, script;
        ASSERT_EQ(timeline_load(s.stem, t, err), 0) << err;
        temp_dir dir;
        ASSERT_EQ(plot_write_files(t, dir.path(), plot_format::png, script, err), 0) << err;

        int64_t limited[std::size(limit_keys)] = {};
        int64_t last_end = INT64_MIN;
        for (const auto& f : fields_of(read_text(dir / "limits.dat"))) {
            ASSERT_EQ(f.size(), 4u);
            const int64_t from = usec_of(f[0]), to = usec_of(f[1]);
            const size_t kind = std::stoul(f[2]);
            ASSERT_LT(kind, std::size(limit_keys));
            EXPECT_LE(from, to);
            EXPECT_GE(from, last_end) << "intervals overlap or are out of order";
            last_end = to;
            limited[kind] += to - from;
        }
        for (size_t k = 0; k < std::size(limit_keys); k++) {
            EXPECT_EQ(limited[k], usec_of(s.expected.at(limit_keys[k]))) << limit_keys[k];
        }
        int64_t recovery = 0;
        for (const auto& f : fields_of(read_text(dir / "recovery.dat"))) {
            ASSERT_EQ(f.size(), 2u);
            recovery += usec_of(f[1]) - usec_of(f[0]);
        }
        EXPECT_EQ(recovery, usec_of(s.expected.at("recovery_time")));
        int64_t rto_wait = 0;
        uint64_t rto_events = 0;
        for (const auto& f : fields_of(read_text(dir / "rto.dat"))) {
            ASSERT_EQ(f.size(), 3u);
            rto_wait += usec_of(f[1]) - usec_of(f[0]);
            rto_events += std::stoull(f[2]);
        }
        EXPECT_EQ(rto_wait, usec_of(s.expected.at("rto_wait")));
        EXPECT_EQ(std::to_string(rto_events), s.expected.at("rto_count"));

        const std::string gp = read_text(script);
        const std::string caption = "'summary: " + summary[0].at("verdict") + "; retransmitted " +
                                    s.expected.at("segments_retransmitted") + " segments, " +
                                    s.expected.at("bytes_retransmitted") + " of " + s.expected.at("bytes_sent") +
                                    " bytes sent'";
        EXPECT_NE(gp.find(caption), std::string::npos) << caption << "\n" << gp;
        // The RTO's length beside it, as the RTO wait in seconds.
        char rto_label[64];
        snprintf(rto_label, sizeof rto_label, "'%.3f s' at ", static_cast<double>(rto_wait) / 1e6);
        EXPECT_NE(gp.find(rto_label), std::string::npos) << rto_label << "\n" << gp;

        // Gap counts: the marks on the gap row of events.dat, the labels
        // on that row in the script. A label's text runs from its position
        // to the right ("left") or to the left ("right"), some 7 pixels a
        // digit on a plot 1036 pixels wide; it covers no mark and no other
        // label and stays inside the x range.
        double xmin = 0, xmax = 0;
        {
            const size_t at = gp.find("set xrange [");
            ASSERT_NE(at, std::string::npos);
            ASSERT_EQ(sscanf(gp.c_str() + at, "set xrange [%lf:%lf]", &xmin, &xmax), 2);
        }
        const double px = (xmax - xmin) / 1036;
        // The gap row is named by the last of the event panel's tics.
        const bool lossy = s.expected.at("missing") != "0";
        const size_t gap_tic = gp.find("'records lost' ");
        ASSERT_EQ(gap_tic != std::string::npos, lossy) << gp;
        const size_t gap_row = lossy ? std::stoul(gp.substr(gap_tic + 15)) : SIZE_MAX;
        std::vector<double> gap_marks;
        for (const auto& f : fields_of(read_text(dir / "events.dat"))) {
            if (std::stoul(f[1]) == gap_row) gap_marks.push_back(std::stod(f[0]));
        }
        EXPECT_EQ(gap_marks.empty(), !lossy);
        std::vector<std::pair<double, double>> placed;
        for (const std::string& line : split_lines(gp)) {
            int id = 0;
            unsigned count = 0;
            double x = 0;
            size_t row = 0;
            char align[8] = {};
            if (sscanf(line.c_str(), "set label %d '%u' at %lf, %zu %7s", &id, &count, &x, &row, align) != 5 ||
                row != gap_row || !lossy) {
                continue;
            }
            const double w = static_cast<double>(std::to_string(count).size()) * 7 * px;
            const double a = std::string(align) == "left" ? x : x - w, b = a + w;
            EXPECT_GE(a, xmin) << line;
            EXPECT_LE(b, xmax) << line;
            // A mark is a disc some 12 pixels wide.
            for (double m : gap_marks) EXPECT_FALSE(m > a - 6 * px && m < b + 6 * px) << line << " covers " << m;
            for (const auto& [pa, pb] : placed) EXPECT_FALSE(a < pb && pa < b) << line << " overlaps another label";
            placed.push_back({a, b});
        }
        if (lossy) {
            EXPECT_GE(placed.size(), 2u) << gp;
        }
    }
}

// The three forms carry the same keys in the same order and the same
// values: JSON lines read back by a JSON parser (numbers as written, an
// unknown value left out), the table split on its column gaps.
TEST(SummaryStory, TableJsonAndCsvAgree) {
    story_summary s({"--story", "--stack", "rack", "--losses", "-s", "21"});
    std::vector<std::string> columns;
    const run_result csv = inspect({"--summary", "--csv", s.stem, s.stem + ".0.pcapng"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    const std::vector<row> rows = csv_rows(csv.out, &columns);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0].at("records"), rows[1].at("records"));

    const run_result json = inspect({"--summary", "--json", s.stem, s.stem + ".0.pcapng"});
    ASSERT_EQ(json.status, 0) << json.err;
    std::vector<json_object> objects;
    std::string err;
    ASSERT_TRUE(parse_json_lines(json.out, &objects, &err)) << err;
    ASSERT_EQ(objects.size(), rows.size());

    const run_result table = inspect({"--summary", s.stem, s.stem + ".0.pcapng"});
    ASSERT_EQ(table.status, 0) << table.err;
    const std::vector<std::string> lines = split_lines(table.out);
    ASSERT_EQ(lines.size(), 1 + rows.size());
    std::vector<std::string> header;
    std::istringstream words(lines[0]);
    for (std::string w; words >> w;) header.push_back(w);
    EXPECT_EQ(header, columns);

    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        std::vector<std::string> cells;
        const std::string& line = lines[1 + i];
        size_t from = 0;
        // Columns stand two or more blanks apart; the verdict, last, has
        // single blanks inside.
        while (cells.size() + 1 < columns.size()) {
            const size_t gap = line.find("  ", from);
            ASSERT_NE(gap, std::string::npos) << line;
            cells.push_back(line.substr(from, gap - from));
            from = line.find_first_not_of(' ', gap);
        }
        cells.push_back(line.substr(from));
        json_lines_options in_order;
        for (size_t c = 0; c < columns.size(); c++) {
            const std::string& v = rows[i].at(columns[c]);
            const auto it = objects[i].find(columns[c]);
            EXPECT_EQ(cells[c], v.empty() ? "-" : v) << columns[c];
            if (v.empty()) {
                EXPECT_EQ(it, objects[i].end()) << columns[c];
                continue;
            }
            ASSERT_NE(it, objects[i].end()) << columns[c];
            EXPECT_EQ(it->second.text, v) << columns[c];
            in_order.keys.push_back(columns[c]);
        }
        // The keys that are there stand in the columns' order.
        std::vector<json_object> one;
        EXPECT_TRUE(parse_json_lines(split_lines(json.out)[i] + "\n", &one, &err, in_order)) << err;
        // RACK keeps its srtt in a unit of its own.
        EXPECT_EQ(rows[i].at("srtt_min_ms"), "");
        EXPECT_EQ(rows[i].at("stack"), "rack");
    }
}

// A joined file is one file holding every part: its summary is the stem's,
// the records lost between parts included, its stem taken from the log
// header since its name is not a dump's.
TEST(SummaryStory, AJoinedFileSumsUpLikeItsStem) {
    story_summary s({"--story", "--losses", "-s", "17"});
    const std::string joined = s.setup.tmp / "joined.pcapng";
    const run_result j = inspect({"--join", s.stem, "-o", joined});
    ASSERT_EQ(j.status, 0) << j.err;
    const std::vector<row> rows = summary_csv({s.stem, joined});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], rows[1]);
    EXPECT_EQ(rows[1].at("missing"), "14");
    EXPECT_EQ(rows[1].at("stem"), s.expected.at("stem"));
}

// A server's connection built record by record: the peer's SYN carries an
// MSS of 536, the local application stops reading for a while, the peer
// closes first (CLOSE_WAIT counts, LAST_ACK does not), and records are lost
// before the end.
class SummaryRules : public InspectDumps {};

struct hand_record {
    int64_t usec;  // from second 100
    uint32_t serial;
    uint8_t event_id;
    bool packet;
    int32_t state;
    uint32_t snd_una, snd_max, cwnd, snd_wnd, rcv_nxt, rcv_wnd, tcb_flags;
};

TEST_F(SummaryRules, PeersMssCloseWaitAndAClosedReceiveWindow) {
    constexpr uint32_t ISS = 5000;
    constexpr uint32_t TF_SENTFIN = 0x10;
    const hand_record recs[] = {
        // The peer's SYN (found in LISTEN), the SYN-ACK, the handshake's ACK.
        {0, 0, REC_EVENT_IN, true, 1, 0, 0, 0, 0, 0, 65535, 0},
        {0, 1, 2, true, 3, ISS, ISS + 1, 14600, 65535, 1001, 65535, 0},
        {10000, 2, REC_EVENT_IN, true, 3, ISS, ISS + 1, 14600, 65535, 1001, 65535, 0},
        // 9000 in flight in a window of 10000: 1000 of room, more than the
        // peer's MSS, so the application is what limits (1.0 s).
        {10000, 3, 31, false, 4, ISS + 1, ISS + 9001, 10000, 20000, 1001, 65535, 0},
        // The peer's window is full and ours is closed (0.5 s).
        {1010000, 4, 4, false, 4, ISS + 4001, ISS + 9001, 10000, 5000, 4001, 100, 0},
        // The peer's FIN is in: CLOSE_WAIT; cwnd below the peer's window, 400
        // of room (0.25 s).
        {1510000, 5, 4, false, 5, ISS + 6401, ISS + 9001, 3000, 50000, 4002, 65535, 0},
        // Then five records are lost (0.24 s unknown).
        {1760000, 6, 4, false, 5, ISS + 9001, ISS + 9001, 3000, 50000, 4002, 65535, 0},
        {2000000, 12, 4, false, 8, ISS + 9001, ISS + 9002, 3000, 50000, 4002, 65535, TF_SENTFIN},
        {2500000, 13, 54, false, 0, ISS + 9002, ISS + 9002, 3000, 50000, 4002, 65535, TF_SENTFIN},
    };
    build::header_fields h;
    h.id = "hand";
    std::vector<build::record_fields> fields;
    for (const hand_record& r : recs) {
        build::record_fields f;
        f.sec = 100 + r.usec / 1000000;
        f.usec = r.usec % 1000000;
        f.serial = r.serial;
        f.event_id = r.event_id;
        f.flags = r.packet ? REC_FLAG_HAS_TH : 0;
        if (r.packet) {
            const bool in = r.event_id == REC_EVENT_IN;
            const uint8_t tcp_flags = r.serial == 0 ? 0x02 : r.serial == 1 ? 0x12 : 0x10;
            f.th = in ? build::tcp_header(h.fport, h.lport, 1000, ISS + 1, 6, tcp_flags, 65535)
                      : build::tcp_header(h.lport, h.fport, ISS, 1001, 6, tcp_flags, 65535);
            if (in && r.serial == 0) f.th[20] = 2, f.th[21] = 4, f.th[22] = 536 >> 8, f.th[23] = 536 & 0xff;
        }
        fields.push_back(f);
    }
    std::vector<uint8_t> msg = build::message(h, fields);
    for (size_t i = 0; i < std::size(recs); i++) {
        const hand_record& r = recs[i];
        story::logged state;
        state.state = r.state;
        state.iss = ISS;
        state.tcb_flags = r.tcb_flags;
        state.snd_una = r.snd_una;
        state.snd_max = r.snd_max;
        state.cwnd = r.cwnd;
        state.snd_wnd = r.snd_wnd;
        state.rcv_nxt = r.rcv_nxt;
        state.rcv_wnd = r.rcv_wnd;
        story::store_state(msg.data() + LOG_HEADER_SIZE + i * LOG_RECORD_SIZE, state);
    }
    dump_bytes(msg);
    const std::string stem = dir_.path() + "/hand_" + std::to_string(h.lport) + "_" + h.faddr + "_" +
                             std::to_string(h.fport);
    const std::vector<row> rows = summary_csv({stem});
    ASSERT_EQ(rows.size(), 1u);
    const row& g = rows[0];
    const row want = {
        {"records", "9"},           {"missing", "5"},
        {"duration", "2.500000"},   {"bytes_sent", "9000"},
        {"bytes_received", "3000"}, {"segments_sent", "1"},
        {"segments_retransmitted", "0"},
        {"established_time", "1.990000"},
        {"limited_app", "1.000000"}, {"limited_rwnd", "0.500000"},
        {"limited_cwnd", "0.250000"}, {"limited_rto", "0.000000"},
        {"unknown", "0.240000"},    {"rcv_window_closed", "0.500000"},
        {"limited_app_fraction", "0.5025"},
        {"laddr", h.laddr},         {"faddr", h.faddr},
        {"lport", std::to_string(h.lport)},
        {"verdict", "application-limited 50%, receive window closed 25%, 5 records missing"},
    };
    for (const auto& [key, value] : want) EXPECT_EQ(g.at(key), value) << key;
}

// A connection whose records never reach ESTABLISHED has no time to share
// out: the fractions are unknown, not a division by zero.
TEST_F(SummaryRules, NeverEstablished) {
    build::header_fields h;
    h.id = "syn";
    build::record_fields syn;  // a bare SYN received, state 0
    build::record_fields again = syn;
    again.serial = 1;
    again.usec = 950000;
    dump(h, {syn, again});
    const std::string stem = dir_.path() + "/syn_" + std::to_string(h.lport) + "_" + h.faddr + "_" +
                             std::to_string(h.fport);
    const std::vector<row> rows = summary_csv({stem});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("records"), "2");
    EXPECT_EQ(rows[0].at("duration"), "0.050000");
    EXPECT_EQ(rows[0].at("established_time"), "0.000000");
    for (const char* key : {"limited_cwnd_fraction", "limited_rwnd_fraction", "limited_app_fraction",
                            "limited_rto_fraction", "unknown_fraction", "srtt_min_ms"}) {
        EXPECT_EQ(rows[0].at(key), "") << key;
    }
    EXPECT_EQ(rows[0].at("verdict"), "no time established");
}

// Usage errors change nothing; an input that cannot be read is named and
// left out, the others still summed up.
TEST(SummaryInputs, BadUsesAndUnreadableInputs) {
    const std::vector<std::vector<std::string>> usage_errors = {
        {"--summary"},
        {"--summary", "--json", "--csv", "x"},
        {"--summary", "--check", "x"},
        {"--summary", "--plot", "x", "-o", "x.png"},
        {"--summary", "x", "-o", "y"},
    };
    for (const auto& args : usage_errors) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const run_result r = inspect(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: quarn_inspect"), std::string::npos) << r.err;
    }

    story_summary s({"--story", "--messages", "2", "-s", "4"});
    temp_dir d;
    const std::string garbage = d / "garbage.pcapng";
    write_file(garbage, std::string("not a capture"));
    const run_result r = inspect({"--summary", "--csv", d / "nothing_1_2.3.4.5_6", garbage, s.stem});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nothing_1_2.3.4.5_6: no dumps named"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("garbage.pcapng"), std::string::npos) << r.err;
    const std::vector<row> rows = csv_rows(r.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("records"), s.expected.at("records"));
}

}  // namespace
