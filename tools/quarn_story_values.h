// How the story of quarn_synth --story travels and what a reader of its
// dumps must find: the records spread over log messages (with losses on the
// way when asked), and the values each record decodes to, as JSON lines or
// CSV, for the tests that compare the analysis tools with the synthesizer.
#ifndef QUARN_STORY_VALUES_H
#define QUARN_STORY_VALUES_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_dumppolicy.h"
#include "quarn_story.h"

namespace quarn::story {

// How the records travel: log messages of one connection, each dumped on
// its own. With losses, three records vanish inside the second message (a
// gap block in its dump), the six after it go out as a "rebuffer" message
// (short, so the daemon removes its dump) and five vanish before the
// fourth (a jump between dumps). Losses fall on packet records only, so
// every event of the story stays.
struct story_message {
    std::string reason;
    std::vector<size_t> records;  // indices into the story's records
};

inline constexpr uint32_t MAX_MESSAGES = 64;
inline constexpr uint32_t MIN_MESSAGES_WITH_LOSSES = 4;
inline constexpr size_t LOST_INSIDE = 3, REBUFFERED = 6, LOST_BETWEEN = 5;

// The first index at or after `from` that starts `n` packet records in a
// row, before `limit`; `limit` when there is none.
inline size_t packet_run(const std::vector<logged>& recs, size_t from, size_t n, size_t limit) {
    from = std::min(from, limit);
    for (size_t at = from; at + n <= limit; at++) {
        bool all = true;
        for (size_t i = at; i < at + n && all; i++) {
            all = recs[i].event_id == EV_IN || recs[i].event_id == EV_OUT;
        }
        if (all) return at;
    }
    return limit;
}

inline std::vector<story_message> plan_messages(const std::vector<logged>& recs, uint32_t count,
                                                bool losses) {
    const size_t n = recs.size();
    std::vector<size_t> bounds;
    for (uint32_t i = 0; i <= count; i++) bounds.push_back(n * i / count);
    std::vector<story_message> out;
    auto add = [&](const char* reason, size_t from, size_t to) {
        story_message m{reason, {}};
        for (size_t i = from; i < to; i++) m.records.push_back(i);
        out.push_back(m);
    };
    if (!losses) {
        for (uint32_t i = 0; i < count; i++) add("normal", bounds[i], bounds[i + 1]);
        return out;
    }
    // Each loss starts after the one before it, at the first run of packets
    // from its nominal place on.
    const size_t inside = packet_run(recs, (bounds[1] + bounds[2]) / 2, LOST_INSIDE, n);
    const size_t rebuffer =
        packet_run(recs, std::max(bounds[2], inside + LOST_INSIDE + 1), REBUFFERED, n);
    const size_t between =
        packet_run(recs, std::max(bounds[3], rebuffer + REBUFFERED + n / count / 2), LOST_BETWEEN, n);
    add("normal", bounds[0], bounds[1]);
    add("normal", bounds[1], rebuffer);
    auto& second = out.back().records;
    second.erase(std::remove_if(second.begin(), second.end(),
                                [&](size_t i) { return i >= inside && i < inside + LOST_INSIDE; }),
                 second.end());
    add("rebuffer", rebuffer, std::min(rebuffer + REBUFFERED, n));
    add("normal", std::min(rebuffer + REBUFFERED, n), between);
    // The rest, in as many messages as are left to make.
    const size_t from = std::min(between + LOST_BETWEEN, n);
    const uint32_t left = count - 3;
    for (uint32_t i = 0; i < left; i++) {
        add("normal", from + (n - from) * i / left, from + (n - from) * (i + 1) / left);
    }
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const story_message& m) { return m.records.empty(); }),
              out.end());
    return out;
}

// Names for what the story logs, as the analysis tools show them.
inline const char* event_name(uint8_t id) {
    switch (id) {
    case EV_IN: return "in";
    case EV_OUT: return "out";
    case EV_RTO: return "rto";
    case EV_PRR: return "prr";
    case EV_REORDER: return "reorder";
    case EV_CONNEND: return "connend";
    default: return "";
    }
}

inline const char* state_name(int32_t state) {
    switch (state) {
    case SYN_SENT: return "SYN_SENT";
    case ESTABLISHED: return "ESTABLISHED";
    case FIN_WAIT_1: return "FIN_WAIT_1";
    case FIN_WAIT_2: return "FIN_WAIT_2";
    case TIME_WAIT: return "TIME_WAIT";
    default: return "";
    }
}

// The values a reader of the dumps should decode, one row per record that
// reaches a dump and one "gap" row (with "missing") wherever the serials
// jump, in the order of the stream. Column names as the analysis tools use
// them; the rack fields only for the rack stack.
struct value_table {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;  // "" = no value; strings quoted already
};

inline size_t column(const value_table& t, std::string_view name) {
    return static_cast<size_t>(std::find(t.columns.begin(), t.columns.end(), name) - t.columns.begin());
}

inline value_table expected_values(const std::vector<logged>& recs,
                                   const std::vector<story_message>& msgs, int64_t offset_sec,
                                   int64_t offset_usec, uint8_t stack_id, const char* stack,
                                   bool rack) {
    value_table t;
    t.columns = {"time",     "block",    "serial",      "stack_id", "stack",    "event_id",
                 "event",    "state",    "flags",       "errno",    "snd_una",  "snd_max",
                 "snd_nxt",  "snd_recover", "cwnd",     "ssthresh", "snd_wnd",  "rcv_nxt",
                 "rcv_wnd",  "srtt",     "rttvar",      "dupacks",  "segqlen",  "sack_holes",
                 "flex1",    "flex2",    "rxbuf_acc",   "txbuf_acc", "payload_len", "missing"};
    if (rack) {
        t.columns.push_back("rack_rtt");
        t.columns.push_back("rack_state");
    }
    auto quoted = [](const char* s) { return std::string("\"") + s + "\""; };
    bool have_prev = false;
    uint32_t prev = 0;
    for (const story_message& m : msgs) {
        // A dump the daemon removes instead of indexing shows no rows.
        if (!complete_dump_indexed(static_cast<uint32_t>(m.records.size()), m.reason)) continue;
        for (size_t i : m.records) {
            const logged& r = recs[i];
            if (have_prev && r.serial != prev + 1) {
                std::vector<std::string> gap(t.columns.size());
                gap[column(t, "block")] = quoted("gap");
                gap[column(t, "missing")] = std::to_string(r.serial - prev - 1);
                t.rows.push_back(gap);
            }
            have_prev = true;
            prev = r.serial;
            int64_t usec = offset_usec + r.usec;
            const int64_t sec = offset_sec + r.sec + usec / 1000000;
            usec %= 1000000;
            char time[40];
            std::snprintf(time, sizeof time, "%lld.%06lld", static_cast<long long>(sec),
                          static_cast<long long>(usec));
            auto num = [](auto v) { return std::to_string(v); };
            std::vector<std::string> row = {
                time, quoted((r.flags & LOG_HDR) ? "packet" : "event"), num(r.serial),
                num(unsigned{stack_id}), quoted(stack), num(unsigned{r.event_id}),
                quoted(event_name(r.event_id)), quoted(state_name(r.state)), num(r.flags),
                num(r.error), num(r.snd_una), num(r.snd_max), num(r.snd_nxt), num(r.snd_recover),
                num(r.cwnd), num(r.ssthresh), num(r.snd_wnd), num(r.rcv_nxt), num(r.rcv_wnd),
                num(r.srtt), num(r.rttvar), num(r.dupacks), num(r.segqlen), num(r.sack_holes),
                num(r.flex1), num(r.flex2),
                (r.flags & LOG_RXBUF) ? num(r.rxbuf_acc) : "",
                (r.flags & LOG_TXBUF) ? num(r.txbuf_acc) : "", num(r.payload_len), ""};
            if (rack) {
                row.push_back(num(r.rack_rtt));
                row.push_back(num(unsigned{r.rack_state}));
            }
            t.rows.push_back(row);
        }
    }
    return t;
}

// The table as JSON lines (absent values left out) or as CSV with a header
// line (absent values empty, strings unquoted: none holds a comma).
inline std::string json_lines(const value_table& t) {
    std::string out;
    for (const auto& row : t.rows) {
        std::string line;
        for (size_t c = 0; c < t.columns.size(); c++) {
            if (row[c].empty()) continue;
            line += (line.empty() ? "{\"" : ", \"") + t.columns[c] + "\":" + row[c];
        }
        out += line + "}\n";
    }
    return out;
}

inline std::string csv(const value_table& t) {
    std::string out;
    for (size_t c = 0; c < t.columns.size(); c++) out += (c ? "," : "") + t.columns[c];
    out += "\n";
    for (const auto& row : t.rows) {
        for (size_t c = 0; c < row.size(); c++) {
            std::string v = row[c];
            if (!v.empty() && v.front() == '"') v = v.substr(1, v.size() - 2);
            out += (c ? "," : "") + v;
        }
        out += "\n";
    }
    return out;
}

}  // namespace quarn::story

#endif
