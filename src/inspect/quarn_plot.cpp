// The picture of a connection: data files and a gnuplot script made from
// its time line, then gnuplot run on them in a private directory.
#include "quarn_plot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "quarn_dumpshow.h"
#include "quarn_tcphdr.h"
#include "quarn_dumpwalk.h"
#include "quarn_logfmt.h"
#include "quarn_tcplog.h"
#include "quarn_text.h"

extern char** environ;

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
// Share of the time axis that a gap's count takes as a label.
constexpr double GAP_LABEL_WIDTH = 0.025;
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
constexpr const char* SCRIPT = "plot.gp";
constexpr const char* OUTPUT = "plot.out";
constexpr const char* GNUPLOT_ERR = "gnuplot.err";
constexpr const char* ALL_FILES[] = {STATE_DAT, SENT_DAT, RESENT_DAT, ACKS_DAT,
                                     EVENTS_DAT, SCRIPT, OUTPUT, GNUPLOT_ERR};

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

// One data file: lines of text, written at once.
struct data_file {
    const char* name;
    std::string text;
    size_t rows = 0;
    void row(const std::string& line) {
        text += line;
        text += '\n';
        rows++;
    }
};

bool write_text(const std::string& path, const std::string& text, std::string& err) {
    FILE* f = fopen(path.c_str(), "we");
    if (!f) {
        err = path + ": " + strerror(errno);
        return false;
    }
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    if (fclose(f) != 0 || !ok) {
        err = path + ": " + strerror(errno);
        return false;
    }
    return true;
}

// Sequence numbers counted from `base`, the connection's initial send
// sequence number, as the byte offsets a reader thinks in; a number just
// before the base stays a small negative offset.
int64_t seq_from(uint32_t v, uint32_t base) { return static_cast<int32_t>(v - base); }

bool synchronized(const tcplog_record& r) {
    return r.state >= TCPS_SYN_SENT && r.state <= TCPS_TIME_WAIT;
}

std::string connection_title(const timeline& t) {
    std::string title = "quarn_dumper connection";
    const uint8_t* hdr = nullptr;
    for (const dump_part& p : t.parts.parts) {
        for (const dump_section& s : p.contents.sections) {
            if (s.log_header && !hdr) hdr = s.log_header;
        }
    }
    if (hdr) {
        char laddr[IPV6_TEXT_MAX], faddr[IPV6_TEXT_MAX];
        addr_field_text(hdr, OFF_TLH_LADDR, laddr);
        addr_field_text(hdr, OFF_TLH_FADDR, faddr);
        title = std::string(tlh_id(hdr)) + ": local " + laddr + " port " + std::to_string(tlh_lport(hdr)) +
                ", foreign " + faddr + " port " + std::to_string(tlh_fport(hdr));
    }
    if (!t.stacks.empty()) {
        title += "; stacks";
        for (const timeline_stack& s : t.stacks) title += " " + std::to_string(s.id) + "=" + s.name;
    }
    return title;
}

struct event_mark {
    double t;
    size_t row;  // index into EVENT_ROWS
};

struct gap_mark {
    double from, to;
    uint32_t missing;
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

std::string plot_find_program(std::string_view program, std::string_view path_env) {
    if (program.find('/') != std::string_view::npos) return std::string(program);
    size_t at = 0;
    while (at <= path_env.size()) {
        size_t colon = path_env.find(':', at);
        if (colon == std::string_view::npos) colon = path_env.size();
        // An empty entry is the current directory.
        std::string dir(path_env.substr(at, colon - at));
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + std::string(program);
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = colon + 1;
    }
    return {};
}

int plot_write_files(const timeline& t, const std::string& dir, plot_format f, std::string& script,
                     std::string& err) {
    data_file state{STATE_DAT, {}}, sent{SENT_DAT, {}}, resent{RESENT_DAT, {}}, acks{ACKS_DAT, {}},
        events{EVENTS_DAT, {}};
    std::vector<event_mark> marks;
    std::vector<gap_mark> gaps;
    bool rows_used[std::size(EVENT_ROWS)] = {};

    const uint64_t t0 = t.items.empty() ? 0 : t.items.front().time_usec;
    const uint64_t t1 = t.items.empty() ? 0 : t.items.back().time_usec;
    auto secs = [&](uint64_t usec) { return static_cast<double>(usec - t0) / 1e6; };

    // The base of the sequence panel: the first synchronized record's ISS,
    // else the first segment's own sequence number.
    bool have_base = false;
    uint32_t base = 0;
    for (const timeline_item& it : t.items) {
        if (!it.record) continue;
        tcplog_record r;
        if (tcplog_decode(std::span(it.record, REC_COPY_SIZE), it.stack_name, r) == 0 && synchronized(r)) {
            base = r.iss;
            have_base = true;
            break;
        }
    }
    // Without one, the first segment sent, or the first acknowledgement
    // received: both count in the send sequence space.
    for (size_t i = 0; !have_base && i < t.items.size(); i++) {
        const timeline_item& it = t.items[i];
        if (it.kind != timeline_kind::packet || !it.record) continue;
        // Data of an unknown address family are read as IPv4.
        const tcp_fields th = packet_tcp(*it.block, true);
        if (!th.valid) continue;
        if (rec_event_id(it.record) != REC_EVENT_IN) {
            base = th.seq;
            have_base = true;
        } else if (th.flags & TH_ACK) {
            base = th.ack;
            have_base = true;
        }
    }

    size_t seq_rows = 0;  // state rows with sequence numbers
    bool have_sent = false;
    int64_t sent_end = 0;  // highest sequence offset sent so far
    uint64_t prev_time = t0;
    for (const timeline_item& it : t.items) {
        const double x = secs(it.time_usec);
        if (it.kind == timeline_kind::gap) {
            gaps.push_back({secs(prev_time), x, it.missing});
            continue;
        }
        prev_time = it.time_usec;
        if (!it.record) continue;
        tcplog_record r;
        if (tcplog_decode(std::span(it.record, REC_COPY_SIZE), it.stack_name, r) != 0) continue;
        {
            // Sequence numbers mean nothing before the handshake or after
            // the end; the windows and round-trip times are shown as kept.
            const std::string una = synchronized(r) ? std::to_string(seq_from(r.snd_una, base)) : "-";
            const std::string max = synchronized(r) ? std::to_string(seq_from(r.snd_max, base)) : "-";
            auto window = [](uint32_t w) { return w >= WINDOW_UNSET ? std::string("-") : std::to_string(w); };
            state.row(printf_text("%.6f %s %s %s %s %s %u %u", x, una.c_str(), max.c_str(), window(r.cwnd).c_str(),
                          window(r.ssthresh).c_str(), window(r.snd_wnd).c_str(), r.srtt, r.rttvar));
            if (synchronized(r)) seq_rows++;
        }
        if (it.kind == timeline_kind::packet) {
            const tcp_fields th = packet_tcp(*it.block, true);
            if (!th.valid) continue;
            const uint8_t flags = th.flags;
            if (rec_event_id(it.record) == REC_EVENT_IN) {
                if (flags & TH_ACK) {
                    acks.row(printf_text("%.6f %" PRId64, x, seq_from(th.ack, base)));
                }
                continue;
            }
            const int64_t seq = seq_from(th.seq, base);
            const uint32_t len = rec_payload_len(it.record) + ((flags & TH_SYN) ? 1 : 0) +
                                 ((flags & TH_FIN) ? 1 : 0);
            if (len == 0) continue;  // a bare ACK takes no sequence space
            // Sequence space sent before is a retransmission.
            if (have_sent && seq < sent_end) {
                resent.row(printf_text("%.6f %" PRId64, x, seq));
            } else {
                sent.row(printf_text("%.6f %" PRId64, x, seq));
            }
            sent_end = have_sent ? std::max(sent_end, seq + len) : seq + len;
            have_sent = true;
            continue;
        }
        const std::string_view name = tcplog_event_name(r.event_id);
        for (size_t row = 0; row < std::size(EVENT_ROWS); row++) {
            if (EVENT_ROWS[row].name == name) {
                marks.push_back({x, row});
                rows_used[row] = true;
            }
        }
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

    for (const data_file* d : {&state, &sent, &resent, &acks, &events}) {
        if (!write_text(dir + "/" + d->name, d->text, err)) return -1;
    }

    const double span = std::max(secs(t1), 1e-3);
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
    s += printf_text("set xrange [%.6f:%.6f]\n", -0.01 * span, span * 1.01);
    s += "set grid xtics ytics lc rgb '#e4e4e4'\n";
    s += "set key outside right top noenhanced\n";
    s += "set label 1 " + quoted(connection_title(t)) + " at screen 0.5, screen 0.985 center\n";

    // Shaded gaps and the lines of the major events reach through every panel.
    int object = 1;
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
    s += "set tmargin at screen 0.955\nset bmargin at screen 0.80\n";
    s += "set format x ''\nset xlabel ''\n";
    s += "set ylabel 'events of interest'\n";
    s += printf_text("set yrange [-0.6:%zu.6]\n", gap_row);
    std::string tics = "set ytics (";
    for (size_t i = 0; i < shown.size(); i++) {
        const event_row& e = EVENT_ROWS[shown[i]];
        const std::string label = e.name == "connend" ? "connend (end)" : std::string(e.name);
        tics += quoted(label) + " " + std::to_string(i) + ", ";
    }
    tics += quoted(gaps.empty() ? "(no gaps)" : "gap: records lost") + " " + std::to_string(gap_row) + ")\n";
    s += tics;
    s += "set grid noytics\n";
    // Counts beside the gap marks, as many as fit without overlapping.
    size_t gap_labels = 0;
    double label_end = -span;
    for (const gap_mark& g : gaps) {
        if (gap_labels == MAX_GAP_LABELS || g.to < label_end) continue;
        s += printf_text("set label %zu '%u' at %.6f, %zu offset 0.8,0 left font ',9'\n", gap_labels + 2,
                 g.missing, g.to, gap_row);
        gap_labels++;
        label_end = g.to + GAP_LABEL_WIDTH * span;
    }
    s += plot_command(events.rows ? std::vector<std::string>{printf_text(
                                        "'%s' using 1:2:3 with points pt 7 ps 1.3 lc rgb variable notitle",
                                        EVENTS_DAT)}
                                  : std::vector<std::string>{});
    for (size_t i = 0; i < gap_labels; i++) s += printf_text("unset label %zu\n", i + 2);
    s += "unset label 1\nset grid ytics\nset ytics auto\nset autoscale y\n";

    // Sequence space.
    s += "set tmargin at screen 0.785\nset bmargin at screen 0.50\n";
    s += "set ylabel 'sequence space (bytes from ISS)'\nset format y '%.0f'\n";
    std::vector<std::string> c;
    if (seq_rows) {
        c.push_back(printf_text("'%s' using 1:2 with steps lw 2 lc rgb '#1f77b4' title 'snd_una'", STATE_DAT));
        c.push_back(printf_text("'%s' using 1:3 with steps lw 2 lc rgb '#2ca02c' title 'snd_max'", STATE_DAT));
    }
    if (sent.rows) {
        c.push_back(printf_text("'%s' using 1:2 with points pt 7 ps 0.9 lc rgb '#333333' title 'segment sent (seq)'",
                        SENT_DAT));
    }
    if (resent.rows) {
        c.push_back(printf_text("'%s' using 1:2 with points pt 6 ps 1.2 lw 2 lc rgb '#d62728' "
                        "title 'retransmitted (seq)'",
                        RESENT_DAT));
    }
    if (acks.rows) {
        c.push_back(printf_text("'%s' using 1:2 with points pt 2 ps 1.0 lc rgb '#9467bd' title 'ack received'",
                        ACKS_DAT));
    }
    s += plot_command(c);

    // Windows.
    s += "set tmargin at screen 0.485\nset bmargin at screen 0.285\n";
    s += "set ylabel 'windows (bytes)'\nset format y '%.1s%c'\n";
    c.clear();
    if (state.rows) {
        c.push_back(printf_text("'%s' using 1:4 with steps lw 2 lc rgb '#d62728' title 'cwnd'", STATE_DAT));
        c.push_back(printf_text("'%s' using 1:5 with steps lw 2 lc rgb '#ff7f0e' title 'ssthresh (set)'", STATE_DAT));
        c.push_back(printf_text("'%s' using 1:6 with steps lw 1 lc rgb '#17becf' title 'snd_wnd'", STATE_DAT));
    }
    s += plot_command(c);

    // Round-trip time, in the stack's own units.
    s += "set tmargin at screen 0.27\nset bmargin at screen 0.07\n";
    s += "set ylabel 'srtt, rttvar (raw)'\nset format y '%g'\n";
    s += "set format x '%g'\n";
    s += "set xlabel " +
         quoted("seconds since " + utc_text(static_cast<int64_t>(t0 / 1000000),
                                            static_cast<int64_t>(t0 % 1000000)) + " UTC") +
         "\n";
    c.clear();
    if (state.rows) {
        c.push_back(printf_text("'%s' using 1:7 with steps lw 2 lc rgb '#1f77b4' title 'srtt (raw)'", STATE_DAT));
        c.push_back(printf_text("'%s' using 1:8 with steps lw 1 lc rgb '#7f7f7f' title 'rttvar (raw)'", STATE_DAT));
    }
    s += plot_command(c);
    s += "unset multiplot\nset output\n";

    script = dir + "/" + SCRIPT;
    return write_text(script, s, err) ? 0 : -1;
}

int plot_timeline(const timeline& t, const std::string& gnuplot, const std::string& out_path,
                  plot_format f, std::string& err) {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarn_plot.XXXXXX";
    if (!mkdtemp(dir.data())) {
        err = "cannot make a temporary directory in " + dir.substr(0, dir.rfind('/')) + ": " + strerror(errno);
        return -1;
    }
    // Whatever happens, the directory goes with everything made in it.
    struct dir_remover {
        const std::string& dir;
        ~dir_remover() {
            for (const char* n : ALL_FILES) unlink((dir + "/" + n).c_str());
            rmdir(dir.c_str());
        }
    } remover{dir};

    std::string script;
    if (plot_write_files(t, dir, f, script, err) != 0) return -1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const std::string err_path = dir + "/" + GNUPLOT_ERR;
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char* argv[] = {const_cast<char*>("gnuplot"), script.data(), nullptr};
    pid_t pid;
    const int rc = posix_spawn(&pid, gnuplot.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        err = gnuplot + ": " + strerror(rc);
        return -1;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            err = std::string("waiting for gnuplot: ") + strerror(errno);
            return -1;
        }
    }

    struct stat st;
    const std::string made = dir + "/" + OUTPUT;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || stat(made.c_str(), &st) != 0 || st.st_size == 0) {
        std::string first;
        if (FILE* e = fopen(err_path.c_str(), "re")) {
            char line[300];
            // gnuplot repeats the failing command before its message; the
            // first line that names a problem says most.
            while (fgets(line, sizeof line, e)) {
                std::string l(line);
                while (!l.empty() && (l.back() == '\n' || l.back() == ' ')) l.pop_back();
                l.erase(0, l.find_first_not_of(' '));
                if (l.find("rror") != std::string::npos || l.find("arning") != std::string::npos) {
                    first = l;
                    break;
                }
                if (first.empty()) first = l;
            }
            fclose(e);
        }
        err = WIFEXITED(status) ? printf_text("gnuplot ended with status %d", WEXITSTATUS(status))
                                : printf_text("gnuplot ended by signal %d", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        if (!first.empty()) err += ": " + first;
        return -1;
    }

    // The picture goes to its place only now that it is whole.
    std::string bytes;
    if (FILE* in = fopen(made.c_str(), "re")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, in)) > 0) bytes.append(buf, n);
        fclose(in);
    }
    return write_text(out_path, bytes, err) ? 0 : -1;
}

}  // namespace quarn
