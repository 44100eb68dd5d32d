// One row per connection that answers "why was it slow?": how long it
// lasted, what it sent and received, what it retransmitted, its RTOs and
// recoveries, its smoothed RTT, and for how long its sending was limited by
// the congestion window, by the peer's receive window, by the application
// or by a retransmission timeout, with a short verdict.
//
// The records are taken in stream order (part order, then file order),
// which is serial order for the daemon's dumps. The interval between two
// consecutive records belongs to the earlier one: its state decides whether
// the interval counts (ESTABLISHED or CLOSE_WAIT), its values what limited
// it, and an interval across lost records (serials that are not
// consecutive) is "unknown". The rules are spelled out in quarn_inspect(1).
//
// Nothing here keeps global state; any thread may call it on its own data.
#ifndef QUARN_SUMMARY_H
#define QUARN_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_parts.h"

namespace quarn {

// What limited an interval; the order is the order of the columns.
enum summary_limit : size_t { LIMIT_CWND, LIMIT_RWND, LIMIT_APP, LIMIT_RTO, LIMIT_UNKNOWN, LIMIT_KINDS };

// Times are microseconds; sequence-space counts are bytes.
struct conn_summary {
    std::string stem;
    std::string laddr, faddr;
    uint16_t lport = 0, fport = 0;
    bool has_header = false;  // addresses and ports known
    std::string stack;        // stack names seen, '|'-joined, first seen first
    bool has_time = false;    // first and last known
    int64_t first_us = 0, last_us = 0;
    uint64_t records = 0, missing = 0;
    uint64_t bytes_sent = 0, bytes_received = 0;
    uint64_t segments_sent = 0, segments_retransmitted = 0, bytes_retransmitted = 0;
    uint64_t rto_count = 0;
    int64_t rto_wait_us = 0;
    uint64_t recovery_episodes = 0;
    int64_t recovery_us = 0;
    // Smoothed RTT of the base stack's records, in microseconds (rounded).
    bool has_srtt = false;
    int64_t srtt_min_us = 0, srtt_avg_us = 0, srtt_max_us = 0;
    int64_t established_us = 0;  // every counted interval: the limits' sum
    int64_t limited_us[LIMIT_KINDS] = {};
    int64_t rcv_window_closed_us = 0;
    std::string verdict;
};

// When the summary's times were spent, for a picture of them; times are
// microseconds since the epoch, in stream order.
struct limit_interval {
    int64_t from_us = 0, to_us = 0;
    summary_limit limit = LIMIT_UNKNOWN;
};
struct time_span {
    int64_t from_us = 0, to_us = 0;
};
// An RTO: from its first rto event until snd_una next advances (or the
// last record); `events` counts the rto events within it. The lengths add
// up to `rto_wait_us`.
struct rto_span {
    int64_t from_us = 0, to_us = 0;
    uint64_t events = 0;
};
struct summary_periods {
    // The counted intervals by what limited them; neighbours with the same
    // limit are one. Their lengths add up to `limited_us`.
    std::vector<limit_interval> limits;
    std::vector<time_span> recovery;  // adds up to `recovery_us`
    std::vector<rto_span> rtos;
};

// The summary of the records of `parts` (one connection: a stem's parts, or
// one file), named `stem`; with `periods`, also when its times were spent.
void summary_of_parts(const std::vector<dump_part>& parts, const std::string& stem, conn_summary& out,
                      summary_periods* periods = nullptr);

// The same summary made one part at a time, so that no more than the part
// at hand need be in memory: summary_start, then summary_add_part for every
// part in part order, then summary_finish, which completes `out` (and
// `periods`). `out` and `periods` must outlive the stream; the result is
// summary_of_parts' over the same parts.
struct summary_totals;  // the running totals, kept in quarn_summary.cpp
struct summary_stream {
    std::unique_ptr<summary_totals> totals;
    summary_stream();
    ~summary_stream();
};
void summary_start(summary_stream& z, const std::string& stem, conn_summary& out, summary_periods* periods = nullptr);
void summary_add_part(summary_stream& z, const dump_part& p);
void summary_finish(summary_stream& z);

// Ticks per second, inferred from the first and last records' ticks and
// times (`dticks` over `dt_us`): the nearest usual kernel rate within 1%,
// else the measured rate rounded; 1000 (FreeBSD's default) when fewer
// than 200 ticks passed.
uint32_t summary_tick_rate(uint32_t dticks, int64_t dt_us);

// The keys of a row, in order: the CSV header's columns and the JSON keys.
extern const std::vector<std::string_view> SUMMARY_KEYS;

enum class summary_format { text, json, csv };

// Appends the rows in `format`: an aligned table with a header line,
// JSON lines, or CSV with a header line.
void summary_append(std::string& out, const std::vector<conn_summary>& rows, summary_format format);

// quarn_inspect --summary: one row per argument, a dump file or a
// connection's path stem. An argument that cannot be read whole is named on
// standard error and left out (status 1). Returns the exit status.
int summary_main(const std::vector<std::string>& inputs, summary_format format, FILE* out,
                 const char* prog);

}  // namespace quarn

#endif
