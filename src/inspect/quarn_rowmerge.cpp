// Rows of many dumps in one order, one dump in memory at a time.
//
// Every dump is read twice (unless it is the only one): once to learn the
// earliest time among its rows (then dropped), once to make its rows. The dumps are then taken in the
// order of those earliest times; before a dump is read, every row made so
// far that is earlier than its earliest time is final and written. With
// parts in time order, only the rows of about one dump wait at any time.
#include "quarn_rowmerge.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <queue>
#include <span>

#include "quarn_logfmt.h"
#include "quarn_parts.h"
#include "quarn_pcapng_format.h"
#include "quarn_tcplog.h"
#include "quarn_timeline.h"

namespace quarn {
namespace {

using usec_t = __int128;

// One argument: a file, or a stem's parts, in part order.
struct input {
    std::string stem;              // the connection's, when known
    std::vector<dump_part> parts;  // read only while scanned or merged
    std::vector<part_jump> jumps;
    // Its earliest and latest decoded record, for the tick rate.
    bool has_span = false;
    usec_t first_usec = 0, last_usec = 0;
    uint32_t first_ticks = 0, last_ticks = 0;
    uint32_t tick_hz = DEFAULT_TICK_HZ;
};

// One dump, in the order they are merged.
struct source {
    size_t input = 0;
    size_t part = 0;
    bool has_time = false;
    usec_t first_time = 0;  // earliest time of its rows
};

// A row made, waiting for its turn.
struct waiting {
    usec_t time = 0;
    std::string stem;
    uint32_t serial = 0;
    bool after = false;  // false for a gap: before the record of its serial
    uint64_t seq = 0;    // input and file order
    std::string line;
};

bool before(const waiting& a, const waiting& b) {
    if (a.time != b.time) return a.time < b.time;
    if (a.stem != b.stem) return a.stem < b.stem;
    if (a.serial != b.serial) return static_cast<int32_t>(a.serial - b.serial) < 0;
    if (a.after != b.after) return !a.after;
    return a.seq < b.seq;
}

struct later_first {
    bool operator()(const waiting& a, const waiting& b) const { return before(b, a); }
};

usec_t row_usec(const record_row& r) { return static_cast<usec_t>(r.sec) * 1000000 + r.usec; }

// Reads part `pi` of `in` into `p` (path and names as listed); the rows of
// its blocks before any fault, with a gap row at a jump into it. The
// fault, if any, in `err`.
int part_rows(input& in, size_t pi, dump_part& p, std::vector<record_row>& rows, std::string& err) {
    // Rows name their file through views of its path in `in`, which
    // outlives them.
    const std::string& path = in.parts[pi].path;
    const row_source src = row_source_of_path(path);
    const int rc = dump_part_load(path, false, p, err);
    rows.clear();
    const auto jump = std::find_if(in.jumps.begin(), in.jumps.end(), [&](const part_jump& j) { return j.after == pi; });
    if (jump == in.jumps.end()) {
        rows_of_dump(p.contents, src, rows);
        return rc;
    }
    stem_parts one;
    one.parts.push_back(std::move(p));
    one.jumps.push_back(*jump);
    one.jumps.back().before = 0;
    one.jumps.back().after = 0;
    rows_of_parts(one, rows);
    p = std::move(one.parts.front());
    for (record_row& r : rows) r.source = src;
    return rc;
}

// Widens `in`'s span of decoded records by `r`.
void note_ticks(input& in, const record_row& r) {
    if (!r.decoded || r.kind == row_kind::gap || !r.has_time) return;
    const usec_t t = row_usec(r);
    if (!in.has_span || t < in.first_usec) {
        in.first_usec = t;
        in.first_ticks = r.rec.ticks;
    }
    if (!in.has_span || t >= in.last_usec) {
        in.last_usec = t;
        in.last_ticks = r.rec.ticks;
    }
    in.has_span = true;
}

bool is_timeline(const dump_contents& c) {
    return std::any_of(c.blocks.begin(), c.blocks.end(), [](const dump_block& b) {
        return b.kind == dump_block_kind::interface && b.link_type == LINKTYPE_USER0;
    });
}

}  // namespace

int rows_merge(const std::vector<std::string>& inputs, const row_merge_out& out,
               std::vector<std::string>& errors) {
    const size_t errors_before = errors.size();
    std::vector<input> ins;
    for (const std::string& arg : inputs) {
        input in;
        struct stat st;
        std::string err;
        if (stat(arg.c_str(), &st) == 0) {
            dump_part p;
            p.path = arg;
            p.name = arg.substr(arg.rfind('/') + 1);
            if (parse_dump_name(p.name, p.parsed)) in.stem = p.parsed.stem;
            else in.stem = p.name;
            in.parts.push_back(std::move(p));
        } else if (stem_parts_list(arg, in.parts, err) == 0) {
            in.stem = arg.substr(arg.rfind('/') + 1);
        } else {
            errors.push_back(err);
            continue;
        }
        ins.push_back(std::move(in));
    }

    // The earliest time of every dump, and the serial numbers that find
    // the jumps between parts. A dump's faults are told when it is merged.
    // A single dump needs no such pass.
    std::vector<source> sources;
    std::vector<record_row> rows;
    const bool single = ins.size() == 1 && ins[0].parts.size() == 1;
    if (single) sources.push_back({0, 0});
    for (size_t ii = 0; ii < ins.size() && !single; ii++) {
        input& in = ins[ii];
        for (size_t pi = 0; pi < in.parts.size(); pi++) {
            dump_part p;
            std::string err;
            dump_part_load(in.parts[pi].path, false, p, err);
            source s{ii, pi};
            rows.clear();
            rows_of_dump(p.contents, row_source_of_path(in.parts[pi].path), rows);
            for (const record_row& r : rows) {
                note_ticks(in, r);
                if (!r.has_time) continue;
                if (!s.has_time || row_usec(r) < s.first_time) s.first_time = row_usec(r);
                s.has_time = true;
            }
            dump_part& meta = in.parts[pi];
            meta.has_records = p.has_records;
            meta.first_serial = p.first_serial;
            meta.last_serial = p.last_serial;
            sources.push_back(s);
        }
        in.jumps = find_part_jumps(in.parts);
        // Ticks count up modulo 2^32.
        const usec_t usec = in.last_usec - in.first_usec;
        if (in.has_span && usec > 0 && usec < static_cast<usec_t>(UINT64_MAX)) {
            in.tick_hz = tick_rate_of(in.last_ticks - in.first_ticks, static_cast<uint64_t>(usec));
        }
    }
    // A dump without any time goes with the one before it.
    for (size_t i = 0; i < sources.size(); i++) {
        if (sources[i].has_time) continue;
        sources[i].first_time = i > 0 ? sources[i - 1].first_time : INT64_MIN;
    }
    std::stable_sort(sources.begin(), sources.end(),
                     [](const source& a, const source& b) { return a.first_time < b.first_time; });

    std::priority_queue<waiting, std::vector<waiting>, later_first> queue;
    uint64_t seq = 0;
    bool written = true;
    auto write_until = [&](bool all, usec_t limit) {
        while (written && !queue.empty() && (all || queue.top().time < limit)) {
            written = out.write(queue.top().line);
            queue.pop();
        }
    };
    std::vector<block_connection> conns;
    for (const source& s : sources) {
        write_until(false, s.first_time);
        if (!written) break;
        input& in = ins[s.input];
        dump_part p;
        std::string err;
        if (part_rows(in, s.part, p, rows, err) != 0) errors.push_back(err);
        conns.clear();
        const bool timeline = is_timeline(p.contents);
        if (timeline) block_connections(p.bytes.data(), p.contents, conns);
        for (record_row& r : rows) {
            r.tick_hz = in.tick_hz;
            if (r.block < conns.size() && !conns[r.block].stem.empty()) {
                const block_connection& bc = conns[r.block];
                r.source.stem = bc.stem;
                r.source.has_part = false;
                const uint8_t* rec = p.contents.blocks[r.block].record;
                if (bc.has_stack && rec && r.kind != row_kind::gap) {
                    r.stack = bc.stack;
                    r.decoded = tcplog_decode(std::span<const uint8_t>(rec, REC_COPY_SIZE), r.stack, r.rec) == 0;
                }
            }
            // A timeline's blocks hold their own times, which the section's
            // time offset may not give when timelines were merged; and a
            // packet another program wrote has no other time.
            const dump_block& b = p.contents.blocks[r.block];
            if (b.type == BT_EPB && (timeline || !r.has_time)) {
                r.has_time = true;
                r.sec = static_cast<int64_t>(b.timestamp / 1000000);
                r.usec = static_cast<int64_t>(b.timestamp % 1000000);
            }
        }
        // The only dump: its rows (of one or, merged, several connections)
        // tell their own tick rates.
        if (single) rows_set_tick_rate(rows);
        usec_t time = s.first_time;
        uint32_t serial = 0;
        std::string line;
        for (record_row& r : rows) {
            const bool named = r.block < conns.size() && !conns[r.block].stem.empty();
            const std::string_view stem = named ? std::string_view(conns[r.block].stem) : std::string_view(in.stem);
            if (r.has_time) time = row_usec(r);
            if (r.has_serial) serial = r.serial;
            line.clear();
            out.format(r, stem, line);
            queue.push({time, std::string(stem), serial, r.kind != row_kind::gap, seq++, line});
        }
    }
    write_until(true, 0);
    return errors.size() == errors_before && written ? 0 : -1;
}

}  // namespace quarn
