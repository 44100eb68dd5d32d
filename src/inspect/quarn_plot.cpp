// The picture of a connection: data files and a gnuplot script made from
// its time line, then gnuplot run on them in a private directory.
#include "quarn_plot.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <span>

#include "quarn_dumpshow.h"
#include "quarn_tcphdr.h"
#include "quarn_dumpwalk.h"
#include "quarn_logfmt.h"
#include "quarn_rowtable.h"
#include "quarn_summary.h"
#include "quarn_tcplog.h"
#include "quarn_text.h"

namespace quarn {
namespace {

// Events worth a row of their own, top to bottom, with the colour of
// their marks; the first three also draw a line through every panel.
struct event_row {
    std::string_view name;
    const char* colour;
    bool line;
};
constexpr event_row EVENT_ROWS[] = {
    {"rto", "#d62728", true},         {"bad_retran", "#ff7f0e", true},
    {"connend", "#000000", true},     {"prr", "#9467bd", false},
    {"reorder", "#8c564b", false},    {"entrec", "#e377c2", false},
    {"exitrec", "#7f7f7f", false},    {"justret", "#bcbd22", false},
    {"persist", "#17becf", false},    {"flowend", "#1f77b4", false},
    {"tcp_sad_detection", "#2ca02c", false},
};
constexpr const char* GAP_COLOUR = "#f4b6b6";
constexpr const char* GAP_MARK_COLOUR = "#c03030";
// Lines through the panels and gap labels beyond these counts would only
// blacken the figure; the marks in the event rows stay complete.
constexpr size_t MAX_EVENT_LINES = 100;
constexpr size_t MAX_GAP_LABELS = 20;
// A gap shorter than this share of the time axis is widened to it, so that
// it stays visible.
constexpr double MIN_GAP_WIDTH = 0.004;
// A window at or above this is the stack's "not set yet" value (the
// largest window, TCP_MAXWIN << TCP_MAX_WINSHIFT); drawn, it would flatten
// every real value to the axis.
constexpr uint32_t WINDOW_UNSET = 0x3FFFC000;

// The files a plot is made of, inside its directory.
constexpr const char* STATE_DAT = "state.dat";
constexpr const char* SENT_DAT = "sent.dat";
constexpr const char* RESENT_DAT = "resent.dat";
constexpr const char* ACKS_DAT = "acks.dat";
constexpr const char* EVENTS_DAT = "events.dat";
constexpr const char* LIMITS_DAT = "limits.dat";
constexpr const char* RECOVERY_DAT = "recovery.dat";
constexpr const char* RTO_DAT = "rto.dat";
constexpr const char* SCRIPT = "plot.gp";
constexpr const char* OUTPUT = "plot.out";
constexpr const char* GNUPLOT_ERR = "gnuplot.err";
constexpr const char* ALL_FILES[] = {STATE_DAT, SENT_DAT,     RESENT_DAT, ACKS_DAT, EVENTS_DAT, LIMITS_DAT,
                                     RECOVERY_DAT, RTO_DAT, SCRIPT,     OUTPUT,   GNUPLOT_ERR};

// What limited each interval, by summary_limit, as the band under the
// events shows it.
struct limit_style {
    const char* name;
    const char* colour;
};
constexpr limit_style LIMIT_STYLES[LIMIT_KINDS] = {
    {"congestion window", "#e6550d"}, {"receive window (peer)", "#3182bd"}, {"application", "#31a354"},
    {"RTO", "#756bb1"},               {"unknown (records lost)", "#bdbdbd"},
};
constexpr const char* RECOVERY_COLOUR = "#fde9a8";

// The canvas in pixels and the plots' width on it, for placing labels
// beside marks: a label takes CHAR_PX per character, a mark MARK_PX on each
// side of its centre.
constexpr double CANVAS_W = 1400, PLOT_LEFT = 0.10, PLOT_RIGHT = 0.84;
constexpr double CHAR_PX = 7, MARK_PX = 7, LABEL_PAD_PX = 3;

using dumpwalk::printf_text;

// A text inside a single-quoted gnuplot string: printable ASCII only (the
// rest as '?'), quotes doubled.
std::string quoted(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "''";
        else out += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return out + "'";
}

// One data file: lines of text, kept until written at once, or with `out`
// open written as they come (the rows of every record), so that a long
// connection's rows need not be in memory.
struct data_file {
    const char* name;
    std::string text;
    size_t rows = 0;
    FILE* out = nullptr;
    void row(const std::string& line) {
        text += line;
        text += '\n';
        rows++;
        if (out && text.size() >= (size_t{1} << 16)) {
            fwrite(text.data(), 1, text.size(), out);
            text.clear();
        }
    }
};

// Opens `d` in `dir` to write its rows as they come. false with "<path>:
// why" in `err`.
bool data_file_open(data_file& d, const std::string& dir, std::string& err) {
    const std::string path = dir + "/" + d.name;
    d.out = fopen(path.c_str(), "we");
    if (!d.out) err = path + ": " + strerror(errno);
    return d.out != nullptr;
}

// Writes what `d` holds into its file in `dir`, and closes it when open.
// false with "<path>: why" in `err`.
bool data_file_close(data_file& d, const std::string& dir, std::string& err) {
    if (!d.out) return plot_write_text(dir + "/" + d.name, d.text, err);
    const bool ok = fwrite(d.text.data(), 1, d.text.size(), d.out) == d.text.size() && !ferror(d.out);
    const bool closed = fclose(d.out) == 0;
    d.out = nullptr;
    d.text.clear();
    if (!ok || !closed) err = dir + "/" + d.name + ": " + strerror(errno);
    return ok && closed;
}

// Sequence numbers counted from `base`, the connection's initial send
// sequence number, as the byte offsets a reader thinks in; a number just
// before the base stays a small negative offset.
int64_t seq_from(uint32_t v, uint32_t base) { return static_cast<int32_t>(v - base); }

bool synchronized(const tcplog_record& r) {
    return r.state >= TCP_STATE_SYN_SENT && r.state <= TCP_STATE_TIME_WAIT;
}

// The figure's title: the connection by its log header (`hdr`, or null
// when no part has one), then its stacks.
std::string connection_title(const uint8_t* hdr) {
    if (!hdr) return "quarn_dumper connection";
    char laddr[IPV6_TEXT_MAX], faddr[IPV6_TEXT_MAX];
    addr_field_text(hdr, OFF_TLH_LADDR, laddr);
    addr_field_text(hdr, OFF_TLH_FADDR, faddr);
    return std::string(tlh_id(hdr)) + ": local " + laddr + " port " + std::to_string(tlh_lport(hdr)) + ", foreign " +
           faddr + " port " + std::to_string(tlh_fport(hdr));
}

std::string with_stacks(std::string title, const std::vector<timeline_stack>& stacks) {
    if (!stacks.empty()) {
        title += "; stacks";
        for (const timeline_stack& s : stacks) title += " " + std::to_string(s.id) + "=" + s.name;
    }
    return title;
}

// The first log header of a part's sections, or null.
const uint8_t* first_log_header(const dump_part& p) {
    for (const dump_section& s : p.contents.sections) {
        if (s.log_header) return s.log_header;
    }
    return nullptr;
}

struct event_mark {
    double t;
    size_t row;  // index into EVENT_ROWS
};

struct gap_mark {
    double from, to;
    uint32_t missing;
};

// Labels on one row of the events panel beside the marks they name: a
// label goes right of its mark, else left of it, where it overlaps no mark
// and no other label of the row and stays inside the plot; else it is left
// out. Positions are on the time axis.
struct row_labels {
    double xmin, xmax, px;  // the axis range; axis units per pixel
    std::vector<std::pair<double, double>> taken;

    row_labels(double lo, double hi, const std::vector<double>& marks)
        : xmin(lo), xmax(hi), px((hi - lo) / (CANVAS_W * (PLOT_RIGHT - PLOT_LEFT))) {
        for (double x : marks) taken.push_back({x - MARK_PX * px, x + MARK_PX * px});
    }
    bool free(double a, double b) const {
        if (a < xmin || b > xmax) return false;
        return std::none_of(taken.begin(), taken.end(),
                            [&](const std::pair<double, double>& t) { return a < t.second && t.first < b; });
    }
    // The label's "at" position and alignment ("left" or "right"), or
    // false when it fits on neither side.
    bool place(double x, size_t chars, double& at, const char*& align) {
        const double w = static_cast<double>(chars) * CHAR_PX * px;
        const double near = (MARK_PX + LABEL_PAD_PX) * px;
        if (free(x + near, x + near + w)) {
            at = x + near;
            align = "left";
            taken.push_back({at, at + w});
            return true;
        }
        if (free(x - near - w, x - near)) {
            at = x - near;
            align = "right";
            taken.push_back({at - w, at});
            return true;
        }
        return false;
    }
};

// One panel's plot command from the clauses whose data exist; a panel with
// none plots nothing over a fixed range, so that gnuplot has no empty data
// to complain about.
std::string plot_command(const std::vector<std::string>& clauses) {
    if (clauses.empty()) return "set yrange [0:1]\nplot NaN notitle\nset autoscale y\n";
    std::string cmd = "plot ";
    for (size_t i = 0; i < clauses.size(); i++) cmd += (i ? ", \\\n     " : "") + clauses[i];
    return cmd + "\n";
}

}  // namespace

bool plot_format_of(std::string_view out_path, plot_format& f) {
    if (out_path.size() < 4) return false;
    std::string suffix(out_path.substr(out_path.size() - 4));
    for (char& c : suffix) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (suffix == ".png") f = plot_format::png;
    else if (suffix == ".svg") f = plot_format::svg;
    else return false;
    return true;
}

namespace {

// One item of the time line, decoded: every panel draws from it.
struct plot_row {
    timeline_kind kind = timeline_kind::packet;
    uint64_t time_usec = 0;
    uint32_t missing = 0;  // gaps
    bool decoded = false;  // `rec` holds the record's fields
    tcplog_record rec;
    bool received = false;  // packets: the record's direction
    tcp_fields th;          // packets: their TCP header
    uint32_t payload_len = 0;
    std::string_view stack;
};

// One item decoded; its views and pointers are the item's.
plot_row row_of(const timeline_item& it) {
    plot_row r;
    r.kind = it.kind;
    r.time_usec = it.time_usec;
    r.missing = it.missing;
    r.stack = it.stack_name;
    if (it.record) {
        r.decoded = tcplog_decode(std::span(it.record, REC_COPY_SIZE), it.stack_name, r.rec) == 0;
        r.received = rec_event_id(it.record) == REC_EVENT_IN;
        r.payload_len = rec_payload_len(it.record);
    }
    // Data of an unknown address family are read as IPv4.
    if (it.kind == timeline_kind::packet && it.block) r.th = packet_tcp(*it.block, true);
    return r;
}

// What the rows tell as a whole, learnt in one pass over them before any
// is drawn: the axis' ends, the tick rate and the sequence panel's zero.
struct plot_series {
    bool have_rows = false, have_decoded = false;
    uint64_t t0 = 0, t1 = 0;  // the first and last row's times
    // The first and last decoded rows' times and ticks.
    uint64_t first_usec = 0, last_usec = 0;
    uint32_t first_ticks = 0, last_ticks = 0;
    // The base of the sequence panel: the first synchronized record's ISS,
    // else the first segment sent, or the first acknowledgement received:
    // both count in the send sequence space.
    bool have_iss = false, have_packet_base = false;
    uint32_t iss = 0, packet_base = 0;

    void add(const plot_row& r) {
        if (!have_rows) t0 = r.time_usec;
        t1 = r.time_usec;
        have_rows = true;
        if (!r.decoded) return;
        if (!have_decoded) {
            first_usec = r.time_usec;
            first_ticks = r.rec.ticks;
        }
        last_usec = r.time_usec;
        last_ticks = r.rec.ticks;
        have_decoded = true;
        if (!have_iss && synchronized(r.rec)) {
            iss = r.rec.iss;
            have_iss = true;
        }
        if (!have_packet_base && r.kind == timeline_kind::packet && r.th.valid) {
            if (!r.received) {
                packet_base = r.th.seq;
                have_packet_base = true;
            } else if (r.th.flags & TCP_HDR_ACK) {
                packet_base = r.th.ack;
                have_packet_base = true;
            }
        }
    }
    uint32_t base() const { return have_iss ? iss : packet_base; }
    uint32_t tick_hz() const {
        if (!have_decoded || last_usec <= first_usec) return DEFAULT_TICK_HZ;
        return tick_rate_of(static_cast<uint32_t>(last_ticks - first_ticks), last_usec - first_usec);
    }
};

// A connection as the picture reads it: its items in time order, walked
// once for the series and once to draw (`walk` calls its function with
// each, in order; 0, or -1 with `err`), and what is known of the whole.
struct plot_source {
    std::function<int(const std::function<void(const timeline_item&)>&, std::string&)> walk;
    bool has_items = false;
    std::string title;
    conn_summary sum;
    summary_periods periods;
};

// "N.NNN" milliseconds from microseconds, or "-" (no value).
std::string ms_text(bool known, uint64_t usec) {
    return known ? printf_text("%" PRIu64 ".%03" PRIu64, usec / 1000, usec % 1000) : std::string("-");
}

// A line of a panel: a data file's columns, its style and title, on the
// panel's left or right axis.
struct panel_line {
    const char* file;
    const char* columns;
    const char* style;
    const char* title;
    bool right = false;
};

// A panel below the events: its axis labels and formats and its lines, in
// the order drawn; it takes `weight` shares of the height left.
struct panel {
    std::string ylabel, y2label;
    const char* yformat;
    int weight;
    std::vector<panel_line> lines;
};

}  // namespace

namespace {

// The data files and the script of the picture of `src` in `dir`; as
// plot_write_files.
int write_files(const plot_source& src, const std::string& dir, plot_format f, std::string& script,
                std::string& err) {
    plot_series series;
    if (src.walk([&](const timeline_item& it) { series.add(row_of(it)); }, err) != 0) return -1;
    if (!series.have_decoded) {
        err = "nothing to draw: no record in " + std::string(src.has_items ? "its blocks" : "the input");
        return -1;
    }
    data_file state{STATE_DAT, {}}, sent{SENT_DAT, {}}, resent{RESENT_DAT, {}}, acks{ACKS_DAT, {}},
        events{EVENTS_DAT, {}};
    std::vector<event_mark> marks;
    std::vector<gap_mark> gaps;
    bool rows_used[std::size(EVENT_ROWS)] = {};

    const uint64_t t0 = series.t0;
    const uint64_t t1 = series.t1;
    auto secs = [&](uint64_t usec) { return static_cast<double>(usec - t0) / 1e6; };
    const uint32_t base = series.base();
    const uint32_t tick_hz = series.tick_hz();
    // The rows of every record go to their files as they are made.
    for (data_file* d : {&state, &sent, &resent, &acks}) {
        if (!data_file_open(*d, dir, err)) {
            for (data_file* o : {&state, &sent, &resent, &acks}) {
                if (o->out) fclose(o->out);
            }
            return -1;
        }
    }

    size_t seq_rows = 0;  // state rows with sequence numbers
    size_t ms_rows = 0, rack_rows = 0, raw_rows = 0;  // round-trip times by unit
    size_t txbuf_rows = 0;                            // rows with the send buffer's fill
    bool have_sent = false;
    int64_t sent_end = 0;  // highest sequence offset sent so far
    uint64_t prev_time = t0;
    auto draw = [&](const plot_row& it) {
        const double x = secs(it.time_usec);
        if (it.kind == timeline_kind::gap) {
            gaps.push_back({secs(prev_time), x, it.missing});
            return;
        }
        prev_time = it.time_usec;
        if (!it.decoded) return;
        const tcplog_record& r = it.rec;
        {
            // Sequence numbers mean nothing before the handshake or after
            // the end; the windows are shown as kept, the round-trip times
            // raw and, where the unit is known, in milliseconds.
            const std::string una = synchronized(r) ? std::to_string(seq_from(r.snd_una, base)) : "-";
            const std::string max = synchronized(r) ? std::to_string(seq_from(r.snd_max, base)) : "-";
            auto window = [](uint32_t w) { return w >= WINDOW_UNSET ? std::string("-") : std::to_string(w); };
            const bool ms = stack_keeps_scaled_ticks(it.stack);
            const bool rack = r.part == tcplog_stack_part::rack;
            const std::string flight =
                synchronized(r) ? std::to_string(static_cast<uint32_t>(r.snd_max - r.snd_una)) : "-";
            const bool txbuf = r.flags & REC_FLAG_TXBUF;
            state.row(printf_text("%.6f %s %s %s %s %s %u %u %s %s %s %s %s %s", x, una.c_str(), max.c_str(),
                                  window(r.cwnd).c_str(), window(r.ssthresh).c_str(), window(r.snd_wnd).c_str(),
                                  r.srtt, r.rttvar,
                                  ms_text(ms, scaled_ticks_to_usec(r.srtt, REC_SRTT_SCALE, tick_hz)).c_str(),
                                  ms_text(ms, scaled_ticks_to_usec(r.rttvar, REC_RTTVAR_SCALE, tick_hz)).c_str(),
                                  ms_text(rack, r.rack.rack_rtt).c_str(), flight.c_str(),
                                  window(r.rcv_wnd).c_str(), txbuf ? std::to_string(r.txbuf_acc).c_str() : "-"));
            if (synchronized(r)) seq_rows++;
            txbuf_rows += txbuf;
            ms_rows += ms;
            rack_rows += rack;
            raw_rows += !ms;
        }
        if (it.kind == timeline_kind::packet) {
            if (!it.th.valid) return;
            const uint8_t flags = it.th.flags;
            if (it.received) {
                if (flags & TCP_HDR_ACK) acks.row(printf_text("%.6f %" PRId64, x, seq_from(it.th.ack, base)));
                return;
            }
            const int64_t seq = seq_from(it.th.seq, base);
            const uint32_t len = it.payload_len + ((flags & TCP_HDR_SYN) ? 1 : 0) + ((flags & TCP_HDR_FIN) ? 1 : 0);
            if (len == 0) return;  // a bare ACK takes no sequence space
            // Sequence space sent before is a retransmission.
            if (have_sent && seq < sent_end) {
                resent.row(printf_text("%.6f %" PRId64, x, seq));
            } else {
                sent.row(printf_text("%.6f %" PRId64, x, seq));
            }
            sent_end = have_sent ? std::max(sent_end, seq + len) : seq + len;
            have_sent = true;
            return;
        }
        const std::string_view name = rec_event_name(r.event_id);
        for (size_t row = 0; row < std::size(EVENT_ROWS); row++) {
            if (EVENT_ROWS[row].name == name) {
                marks.push_back({x, row});
                rows_used[row] = true;
            }
        }
    };
    const int walked = src.walk([&](const timeline_item& it) { draw(row_of(it)); }, err);
    // Every file is closed; the first that fails is told.
    std::string close_err;
    for (data_file* d : {&state, &sent, &resent, &acks}) {
        std::string why;
        if (!data_file_close(*d, dir, why) && close_err.empty()) close_err = why;
    }
    if (walked != 0) return -1;
    if (!close_err.empty()) {
        err = close_err;
        return -1;
    }
    // Rows of the event panel: the events that occur, in table order, then
    // the gaps.
    std::vector<size_t> shown;
    for (size_t row = 0; row < std::size(EVENT_ROWS); row++) {
        if (rows_used[row]) shown.push_back(row);
    }
    const size_t gap_row = shown.size();
    for (const event_mark& m : marks) {
        const size_t y = static_cast<size_t>(std::find(shown.begin(), shown.end(), m.row) - shown.begin());
        events.row(printf_text("%.6f %zu %ld", m.t, y, strtol(EVENT_ROWS[m.row].colour + 1, nullptr, 16)));
    }
    for (const gap_mark& g : gaps) events.row(printf_text("%.6f %zu %ld", g.to, gap_row, strtol(GAP_MARK_COLOUR + 1, nullptr, 16)));

    // What limited the connection, its recoveries and RTOs: the summary's
    // own attribution, so that the picture and --summary agree.
    const conn_summary& sum = src.sum;
    const summary_periods& periods = src.periods;
    // Summary times are microseconds since the epoch; written exactly as
    // seconds from the axis' zero.
    auto at = [&](int64_t us) {
        const int64_t d = us - static_cast<int64_t>(t0);
        const uint64_t a = static_cast<uint64_t>(d < 0 ? -d : d);
        return printf_text("%s%" PRIu64 ".%06" PRIu64, d < 0 ? "-" : "", a / 1000000, a % 1000000);
    };
    data_file limits{LIMITS_DAT, {}}, recovery{RECOVERY_DAT, {}}, rtos{RTO_DAT, {}};
    for (const limit_interval& l : periods.limits) {
        limits.row(at(l.from_us) + " " + at(l.to_us) + " " + std::to_string(l.limit) + " " +
                   std::to_string(strtol(LIMIT_STYLES[l.limit].colour + 1, nullptr, 16)));
    }
    for (const time_span& r : periods.recovery) recovery.row(at(r.from_us) + " " + at(r.to_us));
    for (const rto_span& r : periods.rtos) {
        rtos.row(at(r.from_us) + " " + at(r.to_us) + " " + std::to_string(r.events));
    }

    for (data_file* d : {&events, &limits, &recovery, &rtos}) {
        if (!data_file_close(*d, dir, err)) return -1;
    }

    const double span = std::max(secs(t1), 1e-3);
    const double xmin = -0.01 * span, xmax = span * 1.01;
    std::string s;
    s += "set encoding utf8\n";
    s += "set datafile missing '-'\n";
    if (f == plot_format::png) {
        s += "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
             "  set terminal pngcairo size 1400,1050 noenhanced font ',10'\n"
             "} else {\n"
             "  set terminal png size 1400,1050 noenhanced\n"
             "}\n";
    } else {
        s += "set terminal svg size 1400,1050 noenhanced dynamic font 'sans,10'\n";
    }
    s += "set output " + quoted(dir + "/" + OUTPUT) + "\n";
    s += "cd " + quoted(dir) + "\n";
    s += "set multiplot\n";
    s += "set lmargin at screen 0.10\nset rmargin at screen 0.84\n";
    s += printf_text("set xrange [%.6f:%.6f]\n", xmin, xmax);
    s += "set grid xtics ytics lc rgb '#e4e4e4'\n";
    s += "set key outside right top noenhanced\n";
    // Labels on the canvas rather than a panel are unset after the first
    // panel, which draws them once.
    int label = 1;
    std::vector<int> canvas_labels;
    auto canvas_label = [&](const std::string& text, double x, double y, const char* align, const char* colour) {
        s += printf_text("set label %d ", label) + quoted(text) +
             printf_text(" at screen %.3f, screen %.3f %s", x, y, align) +
             (colour ? std::string(" textcolor rgb '") + colour + "'" : std::string()) + "\n";
        canvas_labels.push_back(label++);
    };
    canvas_label(src.title, 0.5, 0.985, "center", nullptr);
    // The summary's verdict and retransmissions under the title.
    canvas_label("summary: " + sum.verdict + "; retransmitted " + std::to_string(sum.segments_retransmitted) +
                     " segments, " + std::to_string(sum.bytes_retransmitted) + " of " +
                     std::to_string(sum.bytes_sent) + " bytes sent",
                 0.5, 0.965, "center", nullptr);
    // The band's colours, one word each, in a row.
    canvas_label("limited by:", PLOT_LEFT, 0.945, "left", nullptr);
    int object = 1;
    for (size_t k = 0; k < LIMIT_KINDS; k++) {
        const double x = PLOT_LEFT + 0.07 + 0.135 * static_cast<double>(k);
        s += printf_text("set object %d rect from screen %.3f, screen 0.940 to screen %.3f, screen 0.951 "
                         "fc rgb '%s' fs solid 1.0 noborder\n",
                         object++, x, x + 0.008, LIMIT_STYLES[k].colour);
        canvas_label(LIMIT_STYLES[k].name, x + 0.012, 0.945, "left", nullptr);
    }
    canvas_label("events of interest", PLOT_RIGHT + 0.01, 0.86, "left", nullptr);
    canvas_label("what limited sending", PLOT_RIGHT + 0.01, 0.765, "left", nullptr);

    // Shaded gaps and the lines of the major events reach through every panel.
    for (const time_span& r : periods.recovery) {
        s += "set object " + std::to_string(object++) + " rect from " + at(r.from_us) + ", graph 0 to " +
             at(r.to_us) + ", graph 1 behind fc rgb '" + RECOVERY_COLOUR + "' fs solid 0.6 noborder\n";
    }
    for (const gap_mark& g : gaps) {
        double from = g.from, to = g.to;
        if (to - from < MIN_GAP_WIDTH * span) {
            const double mid = (from + to) / 2;
            from = mid - MIN_GAP_WIDTH * span / 2;
            to = mid + MIN_GAP_WIDTH * span / 2;
        }
        s += printf_text("set object %d rect from %.6f, graph 0 to %.6f, graph 1 behind fc rgb '%s' "
                 "fs solid 0.7 noborder\n",
                 object++, from, to, GAP_COLOUR);
    }
    int arrow = 1;
    for (const event_mark& m : marks) {
        if (!EVENT_ROWS[m.row].line || static_cast<size_t>(arrow) > MAX_EVENT_LINES) continue;
        s += printf_text("set arrow %d from %.6f, graph 0 to %.6f, graph 1 nohead dt 2 lw 1 lc rgb '%s'\n",
                 arrow++, m.t, m.t, EVENT_ROWS[m.row].colour);
    }

    // Events, one row each.
    s += "set tmargin at screen 0.93\nset bmargin at screen 0.79\n";
    s += "set format x ''\nset xlabel ''\n";
    s += "set ylabel ''\n";
    s += printf_text("set yrange [-0.6:%zu.6]\n", gap_row);
    std::string tics = "set ytics (";
    for (size_t i = 0; i < shown.size(); i++) {
        const event_row& e = EVENT_ROWS[shown[i]];
        const std::string label = e.name == "connend" ? "connend (end)" : std::string(e.name);
        tics += quoted(label) + " " + std::to_string(i) + ", ";
    }
    tics += quoted(gaps.empty() ? "(no gaps)" : "records lost") + " " + std::to_string(gap_row) + ")\n";
    s += tics;
    s += "set grid noytics\n";
    // Counts beside the gap marks and lengths beside the RTOs, as many as
    // fit beside their marks.
    std::vector<int> row_label_ids;
    {
        std::vector<double> xs;
        for (const gap_mark& g : gaps) xs.push_back(g.to);
        row_labels row(xmin, xmax, xs);
        for (const gap_mark& g : gaps) {
            if (row_label_ids.size() == MAX_GAP_LABELS) break;
            const std::string text = std::to_string(g.missing);
            double x;
            const char* align;
            if (!row.place(g.to, text.size(), x, align)) continue;
            s += printf_text("set label %d '%s' at %.6f, %zu %s font ',9'\n", label, text.c_str(), x, gap_row, align);
            row_label_ids.push_back(label++);
        }
    }
    if (rows_used[0]) {  // the rto row, first when it is used
        std::vector<double> xs;
        for (const event_mark& m : marks) {
            if (m.row == 0) xs.push_back(m.t);
        }
        row_labels row(xmin, xmax, xs);
        for (const rto_span& r : periods.rtos) {
            const double len = static_cast<double>(r.to_us - r.from_us) / 1e6;
            const std::string text = r.events > 1 ? printf_text("%.3f s (%" PRIu64 " rto)", len, r.events)
                                                  : printf_text("%.3f s", len);
            double x;
            const char* align;
            const double from = static_cast<double>(r.from_us - static_cast<int64_t>(t0)) / 1e6;
            if (!row.place(from, text.size(), x, align)) continue;
            s += printf_text("set label %d '%s' at %.6f, 0 %s font ',9' textcolor rgb '%s'\n", label, text.c_str(),
                             x, align, EVENT_ROWS[0].colour);
            row_label_ids.push_back(label++);
        }
    }
    s += plot_command(events.rows ? std::vector<std::string>{printf_text(
                                        "'%s' using 1:2:3 with points pt 7 ps 1.3 lc rgb variable notitle",
                                        EVENTS_DAT)}
                                  : std::vector<std::string>{});
    for (int id : row_label_ids) s += printf_text("unset label %d\n", id);
    for (int id : canvas_labels) s += printf_text("unset label %d\n", id);
    s += "set grid ytics\nset ytics auto\nset autoscale y\n";

    // The band: each counted interval in the colour of its limit.
    s += "set tmargin at screen 0.78\nset bmargin at screen 0.75\n";
    s += "set yrange [0:1]\nunset ytics\nset grid noytics\n";
    s += plot_command(limits.rows ? std::vector<std::string>{printf_text(
                                        "'%s' using (($1+$2)/2):(0.5):1:2:(0):(1):4 with boxxyerror "
                                        "fs solid 1.0 noborder lc rgb variable notitle",
                                        LIMITS_DAT)}
                                  : std::vector<std::string>{});
    s += "set ytics\nset grid ytics\nset autoscale y\n";

    // The panels under the events, top to bottom, each with the lines whose
    // data exist; a round-trip time panel only for the unit it shows.
    std::vector<panel> panels;
    panel seq{"sequence space (bytes from ISS)", "", "%.0f", 3, {}};
    if (seq_rows) {
        seq.lines.push_back({STATE_DAT, "1:2", "steps lw 2 lc rgb '#1f77b4'", "snd_una"});
        seq.lines.push_back({STATE_DAT, "1:3", "steps lw 2 lc rgb '#2ca02c'", "snd_max"});
    }
    if (sent.rows) seq.lines.push_back({SENT_DAT, "1:2", "points pt 7 ps 0.9 lc rgb '#333333'", "segment sent (seq)"});
    if (resent.rows) {
        seq.lines.push_back({RESENT_DAT, "1:2", "points pt 6 ps 1.2 lw 2 lc rgb '#d62728'", "retransmitted (seq)"});
    }
    if (acks.rows) seq.lines.push_back({ACKS_DAT, "1:2", "points pt 2 ps 1.0 lc rgb '#9467bd'", "ack received"});
    panels.push_back(seq);
    panel windows{"windows (bytes)", "", "%.1s%c", 3,
                  {{STATE_DAT, "1:4", "steps lw 2 lc rgb '#d62728'", "cwnd"},
                   {STATE_DAT, "1:5", "steps lw 2 lc rgb '#ff7f0e'", "ssthresh (set)"},
                   {STATE_DAT, "1:6", "steps lw 1 lc rgb '#17becf'", "snd_wnd (peer)"},
                   {STATE_DAT, "1:12", "steps lw 2 lc rgb '#000000'", "flight"},
                   {STATE_DAT, "1:13", "steps lw 1 dt 2 lc rgb '#2ca02c'", "rcv_wnd (own)"}}};
    if (txbuf_rows) {
        windows.lines.push_back({STATE_DAT, "1:14", "steps lw 1 lc rgb '#8c564b'", "send buffer (txbuf_acc)"});
    }
    panels.push_back(windows);
    // srtt on the left axis and rttvar on the right, each scaled to itself.
    if (ms_rows || rack_rows) {
        panel ms{ms_rows ? "srtt (ms)" : "rack_rtt (ms)", ms_rows ? "rttvar (ms)" : "", "%g", 2, {}};
        if (ms_rows) {
            ms.lines.push_back({STATE_DAT, "1:9", "steps lw 2 lc rgb '#1f77b4'", "srtt (ms)"});
            ms.lines.push_back({STATE_DAT, "1:10", "steps lw 1 lc rgb '#7f7f7f'", "rttvar (ms, right)", true});
        }
        if (rack_rows) ms.lines.push_back({STATE_DAT, "1:11", "steps lw 2 lc rgb '#2ca02c'", "rack_rtt (ms)"});
        if (ms_rows) ms.ylabel = rack_rows ? "srtt, rack_rtt (ms)" : "srtt (ms)";
        panels.push_back(ms);
    }
    if (raw_rows) {
        panels.push_back({"srtt (raw)", "rttvar (raw)", "%g", 2,
                          {{STATE_DAT, "1:7", "steps lw 2 lc rgb '#1f77b4'", "srtt (raw)"},
                           {STATE_DAT, "1:8", "steps lw 1 lc rgb '#7f7f7f'", "rttvar (raw, right)", true}}});
    }

    constexpr double TOP = 0.735, BOTTOM = 0.07, SPACE = 0.015;
    int weights = 0;
    for (const panel& p : panels) weights += p.weight;
    const double unit = (TOP - BOTTOM - SPACE * static_cast<double>(panels.size() - 1)) / weights;
    double top = TOP;
    for (size_t i = 0; i < panels.size(); i++) {
        const panel& p = panels[i];
        const double bottom = top - unit * p.weight;
        s += printf_text("set tmargin at screen %.3f\nset bmargin at screen %.3f\n", top, bottom);
        s += "set ylabel " + quoted(p.ylabel) + "\nset format y '" + p.yformat + "'\n";
        if (!p.y2label.empty()) {
            s += "set y2label " + quoted(p.y2label) + "\nset y2tics\nset format y2 '%g'\n";
        } else {
            s += "unset y2label\nunset y2tics\n";
        }
        if (i + 1 == panels.size()) {
            s += "set format x '%g'\n";
            s += "set xlabel " +
                 quoted("seconds since " + utc_text(static_cast<int64_t>(t0 / 1000000),
                                                    static_cast<int64_t>(t0 % 1000000)) + " UTC") +
                 "\n";
        }
        std::vector<std::string> c;
        for (const panel_line& l : p.lines) {
            c.push_back(printf_text("'%s' using %s%s with %s title '%s'", l.file, l.columns, l.right ? " axes x1y2" : "",
                                    l.style, l.title));
        }
        s += plot_command(c);
        top = bottom - SPACE;
    }
    s += "unset multiplot\nset output\n";

    script = dir + "/" + SCRIPT;
    return plot_write_text(script, s, err) ? 0 : -1;
}

// The picture of `t`, which holds every part in memory.
plot_source source_of(const timeline& t) {
    plot_source src;
    src.walk = [&t](const std::function<void(const timeline_item&)>& each, std::string&) {
        for (const timeline_item& it : t.items) each(it);
        return 0;
    };
    src.has_items = !t.items.empty();
    const uint8_t* hdr = nullptr;
    for (const dump_part& p : t.parts.parts) {
        if (!hdr) hdr = first_log_header(p);
    }
    src.title = with_stacks(connection_title(hdr), t.stacks);
    summary_of_parts(t.parts.parts, "", src.sum, &src.periods);
    return src;
}

// Makes a private temporary directory, has `make` write the data files and
// the script into it, and draws them into `out_path`; the directory goes
// with everything made in it, whatever happens.
int draw_in_temp_dir(const std::function<int(const std::string& dir, std::string& script, std::string& err)>& make,
                     const std::string& gnuplot, const std::string& out_path, std::string& err) {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarn_plot.XXXXXX";
    if (!mkdtemp(dir.data())) {
        err = "cannot make a temporary directory in " + dir.substr(0, dir.rfind('/')) + ": " + strerror(errno);
        return -1;
    }
    struct dir_remover {
        const std::string& dir;
        ~dir_remover() {
            for (const char* n : ALL_FILES) unlink((dir + "/" + n).c_str());
            rmdir(dir.c_str());
        }
    } remover{dir};

    std::string script;
    if (make(dir, script, err) != 0) return -1;

    return gnuplot_run(gnuplot, script, dir + "/" + GNUPLOT_ERR, dir + "/" + OUTPUT, out_path, err);
}

}  // namespace

int plot_write_files(const timeline& t, const std::string& dir, plot_format f, std::string& script,
                     std::string& err) {
    return write_files(source_of(t), dir, f, script, err);
}

int plot_write_stem_files(const std::string& path_stem, const std::string& dir, plot_format f, std::string& script,
                          std::string& fault, std::string& err) {
    fault.clear();
    // The parts once through in part order: the summary, the title's log
    // header and the stacks; then their items in time order, twice.
    plot_source src;
    summary_stream z;
    summary_start(z, "", src.sum, &src.periods);
    std::string head = connection_title(nullptr);
    bool have_header = false;
    stem_scan scan;
    const int scanned = stem_scan_parts(path_stem, scan, [&](size_t, const dump_part& p) {
        summary_add_part(z, p);
        if (const uint8_t* hdr = first_log_header(p); hdr && !have_header) {
            head = connection_title(hdr);
            have_header = true;
        }
    }, err);
    if (scanned != 0) return -1;
    summary_finish(z);
    fault = scan.fault;
    src.has_items = scan.has_items;
    src.title = with_stacks(head, scan.stacks);
    src.walk = [&scan](const std::function<void(const timeline_item&)>& each, std::string& walk_err) {
        return stem_walk_items(scan, [&](const timeline_item& it, const dump_part&, const std::string&) {
            each(it);
            return true;
        }, walk_err);
    };
    return write_files(src, dir, f, script, err);
}

int plot_timeline(const timeline& t, const std::string& gnuplot, const std::string& out_path,
                  plot_format f, std::string& err) {
    return draw_in_temp_dir([&](const std::string& dir, std::string& script, std::string& why) {
        return plot_write_files(t, dir, f, script, why);
    }, gnuplot, out_path, err);
}

int plot_stem(const std::string& path_stem, const std::string& gnuplot, const std::string& out_path,
              plot_format f, std::string& fault, std::string& err) {
    fault.clear();
    return draw_in_temp_dir([&](const std::string& dir, std::string& script, std::string& why) {
        return plot_write_stem_files(path_stem, dir, f, script, fault, why);
    }, gnuplot, out_path, err);
}

}  // namespace quarn
