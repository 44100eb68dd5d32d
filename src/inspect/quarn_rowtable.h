// The decoded-record table: one row per packet, event and gap block of the
// dumps, with the TCP state the record bytes carry and the packet's own TCP
// header, in named columns. One table (ROW_COLUMN_TABLE) gives each
// column's name together with how its value is got from a row; it makes
// the --csv header and rows, the --json keys of those blocks and the
// decoded part of the text view.
//
// A row is made from a walked dump (its `contents` must outlive the row:
// the stack name points into the file's bytes, the stem into the path it
// was read from). Values are cells: absent
// (an empty CSV cell, no JSON key), a number (plain decimal) or a text.
// Nothing here keeps global state; any thread may call it.
#ifndef QUARN_ROWTABLE_H
#define QUARN_ROWTABLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_dumpread.h"
#include "quarn_parts.h"
#include "quarn_tcphdr.h"
#include "quarn_tcplog.h"

namespace quarn {

enum class row_kind { packet, event, gap };

// The file a row comes from: the dump's file stem ("<id>_<lport>_<faddr>_
// <fport>") and its part number, parsed from the file name. A file whose
// name is not a numbered dump's has no part, and its stem is its name
// without the directory and without a ".pcapng", ".pcapng.xz" or
// ".pcapng.zst" ending. `stem` points into the path it was made from.
struct row_source {
    std::string_view stem;
    bool has_part = false;
    int32_t part = 0;
};
row_source row_source_of_path(std::string_view path);

struct record_row {
    row_source source;
    row_kind kind = row_kind::packet;
    // Wall-clock time: the section's time offset plus the record's time
    // (for a gap, those of the record after it); for a packet whose record
    // gives none (a file of another writer), the block's timestamp. usec in
    // 0 to 999999.
    bool has_time = false;
    int64_t sec = 0;
    int64_t usec = 0;
    // The serial number (for a gap, the serial after it).
    bool has_serial = false;
    uint32_t serial = 0;
    // Packets and events: the decoded record, when the block carries one.
    bool decoded = false;
    tcplog_record rec;
    tcp_fields tcp;          // packets: the TCP header of the block's data
    std::string_view stack;  // the section's stack name
    // Kernel ticks per second of the connection, for srtt_ms and rttvar_ms
    // (rows_set_tick_rate); 0 stands for DEFAULT_TICK_HZ.
    uint32_t tick_hz = 0;
    uint32_t missing = 0;    // gaps
    size_t block = 0;        // index of the block in its file (gaps between parts: of the record after)
};

// FreeBSD's default tick rate (kern.hz), taken when the records cannot
// tell theirs.
inline constexpr uint32_t DEFAULT_TICK_HZ = 1000;

struct row_cell {
    enum type_t : uint8_t { absent, number, text } type = absent;
    std::string_view value;  // into `buf` or `owned`, or stable text
    char buf[32];  // the longest number: a time of 27 characters
    std::string owned;  // a text made for the cell
};

// A column: its name and how its cell is got from a row (left absent when
// the row has no value there).
struct row_column {
    std::string_view name;
    void (*get)(const record_row& r, row_cell& c);
};

// Columns in order: stem and part, the fixed ones, rack_rtt, rack_state,
// one bbr_<field> per BBR field, then the rest of the record's fields, the
// round-trip times in milliseconds and the packet's TCP header.
inline constexpr size_t ROW_COLUMNS = 2 + 30 + 2 + 28 + 17 + 5;
extern const row_column ROW_COLUMN_TABLE[ROW_COLUMNS];

using row_cells = std::array<row_cell, ROW_COLUMNS>;

// Fills `cells` (which must stay in place while the values are used) with
// the row's value of every column.
void row_fill_cells(const record_row& r, row_cells& cells);

// Sets every row's tick_hz to the tick rate of its stem's records: the
// kernel ticks that passed between its earliest and its latest decoded
// record against the microseconds between them. DEFAULT_TICK_HZ when it
// lies within the measurement's uncertainty (one tick), else the nearest
// common rate within it (100, 128, 250, 256, 500, 512, 1024, 2000, 4000,
// 8000 or 10000 Hz), else the estimate rounded to whole Hz; fewer than MIN_RATE_TICKS ticks, or no time between them,
// cannot tell, and DEFAULT_TICK_HZ stands.
inline constexpr uint32_t MIN_RATE_TICKS = 20;
void rows_set_tick_rate(std::vector<record_row>& rows);
// The tick rate that `ticks` ticks in `usec` microseconds show, as above.
uint32_t tick_rate_of(uint64_t ticks, uint64_t usec);

// Whether a stack of this name keeps srtt and rttvar as the base stack
// does, in ticks scaled by REC_SRTT_SCALE and REC_RTTVAR_SCALE ("default",
// "freebsd").
bool stack_keeps_scaled_ticks(std::string_view stack);
// A value in ticks times `scale` as microseconds (rounded down) at `hz`
// ticks a second (0: DEFAULT_TICK_HZ).
uint64_t scaled_ticks_to_usec(uint64_t raw, uint32_t scale, uint32_t hz);

// The row of block `index` of `c`, read from the file `src` names; false
// for a block that makes no row (section headers, interfaces, foreign
// blocks).
bool row_of_block(const dump_contents& c, size_t index, const row_source& src, record_row& out);

// The rows of the walked dump `c` (read from the file `src` names) in file
// order: every packet and event block and every gap block.
void rows_of_dump(const dump_contents& c, const row_source& src, std::vector<record_row>& out);

// The rows of a connection's parts in part order, with a gap row (time and
// serial of the later part's first record, and its file) at every jump
// between parts. The rows point into the parts' paths.
void rows_of_parts(const stem_parts& sp, std::vector<record_row>& out);

// Stable sort by time; a row without a time keeps its place after the row
// before it.
void rows_sort_by_time(std::vector<record_row>& rows);

// A record's wall-clock time: the section's time offset plus the record's
// time, usec in 0 to 999999; false when the section has no log header or
// the sum does not fit.
bool record_wall_time(const dump_section& s, const uint8_t* rec, int64_t& sec, int64_t& usec);

// "1700000101.150000": seconds since the epoch with six decimals.
std::string row_time_text(int64_t sec, int64_t usec);

// The CSV header line and one row line, each with its "\n". Texts are
// quoted when they hold a comma, a quote or a line break; bytes that are
// not UTF-8 or are control characters become '?'.
void csv_append_header(std::string& out);
void csv_append_row(std::string& out, const record_row& r);

// The row's columns as JSON members, each ", \"name\":value" (numbers as
// JSON numbers), leaving out the columns in `skip`.
void json_append_row(std::string& out, const record_row& r,
                     std::initializer_list<std::string_view> skip = {});

// The row's columns as " name value" pairs for the text view (texts quoted
// only when they hold a blank or an unprintable byte), leaving out the
// columns in `skip`.
void text_append_row(std::string& out, const record_row& r,
                     std::initializer_list<std::string_view> skip = {});

}  // namespace quarn

#endif
