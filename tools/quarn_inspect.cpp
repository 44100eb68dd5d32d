// quarn_inspect: reads the daemon's dumps back. It shows every block with
// the fields of the record bytes it carries and the TCP state they decode
// to, writes the decoded records of files and connections as one CSV
// table, checks a file's structure and consistency, joins a connection's
// numbered dumps into one stream (marking the records lost between them),
// rebuilds the index lines that a fault lost, from the files alone, merges
// a connection's records and packets into one capture on a time line, and
// plots its sequence numbers and congestion window over time, and sums up
// each connection: what limited it, its retransmissions and RTOs.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/quarn_dumpread.h"
#include "inspect/quarn_dumpshow.h"
#include "inspect/quarn_indexfiles.h"
#include "inspect/quarn_parts.h"
#include "inspect/quarn_plot.h"
#include "inspect/quarn_reindex.h"
#include "inspect/quarn_rowmerge.h"
#include "inspect/quarn_rowtable.h"
#include "inspect/quarn_summary.h"
#include "inspect/quarn_timeline.h"
#include "quarn_dumppolicy.h"
#include "quarn_logfmt.h"

namespace {

using namespace quarn;

constexpr const char* PROG = "quarn_inspect";
// Bytes of CSV text gathered before a write.
constexpr size_t CSV_CHUNK = 1 << 16;

void usage(FILE* to) {
    fprintf(to,
            "usage: %s [--json] file ...\n"
            "       %s --csv file|path_stem ...\n"
            "       %s --summary [--json | --csv] file|path_stem ...\n"
            "       %s --check file ...\n"
            "       %s --join path_stem [-o file]\n"
            "       %s --reindex dir\n"
            "       %s --timeline file|path_stem [--stem stem] -o file.pcapng\n"
            "       %s --plot file|path_stem [--stem stem] -o file.png|file.svg\n",
            PROG, PROG, PROG, PROG, PROG, PROG, PROG, PROG);
}

void complain(const std::string& what, const std::string& why) {
    fprintf(stderr, "%s: %s: %s\n", PROG, what.c_str(), why.c_str());
}

int show_files(const std::vector<std::string>& files, bool json) {
    int status = 0;
    for (const std::string& path : files) {
        std::vector<uint8_t> bytes;
        dump_contents c;
        std::string err;
        if (dump_read_file(path.c_str(), bytes, err) != 0) {
            complain(path, err);
            status = 1;
            continue;
        }
        dump_fault fault;
        const int rc = dump_parse(bytes.data(), bytes.size(), false, c, fault);
        // What could be read is shown before the fault is named.
        if (json) dump_show_json(stdout, c, path);
        else dump_show_text(stdout, c, path);
        fflush(stdout);
        if (rc != 0) {
            complain(path, "offset " + std::to_string(fault.offset) + ": " + fault.message);
            status = 1;
        }
    }
    return status;
}

// One table of decoded records over every file and connection stem given,
// in order (quarn_rowmerge.h), the header line once, gathered one dump at a
// time. An input that cannot be read whole is named on standard error
// after the rows of what could be read, and the status is 1.
int csv_table(const std::vector<std::string>& inputs) {
    std::string out;
    csv_append_header(out);
    bool failed = false;
    int write_errno = 0;
    row_merge_out merge_out;
    merge_out.format = [](const record_row& r, std::string_view, std::string& line) { csv_append_row(line, r); };
    merge_out.write = [&](const std::string& line) {
        out += line;
        if (out.size() < CSV_CHUNK) return true;
        fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
        if (ferror(stdout)) {
            write_errno = errno;
            failed = true;
        }
        return !failed;
    };
    std::vector<std::string> errors;
    int status = rows_merge(inputs, merge_out, errors) == 0 ? 0 : 1;
    if (!failed) fwrite(out.data(), 1, out.size(), stdout);
    if (!failed && fflush(stdout) != 0) {
        write_errno = errno;
        failed = true;
    }
    for (const std::string& e : errors) fprintf(stderr, "%s: %s\n", PROG, e.c_str());
    if (failed) {
        complain("standard output", strerror(write_errno));
        status = 1;
    }
    return status;
}

int check_files(const std::vector<std::string>& files) {
    int status = 0;
    for (const std::string& path : files) {
        dump_part p;
        std::string err;
        if (dump_part_load(path, true, p, err) != 0) {
            fprintf(stderr, "%s: %s\n", PROG, err.c_str());
            status = 1;
            continue;
        }
        const dump_contents& c = p.contents;
        unsigned packets = 0, events = 0, gaps = 0;
        uint64_t missing = 0;
        for (const dump_block& b : c.blocks) {
            if (b.kind == dump_block_kind::packet) packets++;
            if (b.kind == dump_block_kind::event) events++;
            if (b.kind == dump_block_kind::gap) {
                gaps++;
                missing += b.missing;
            }
        }
        const size_t others = static_cast<size_t>(std::count_if(
            c.sections.begin(), c.sections.end(), [](const dump_section& s) { return !dump_section_is_daemons(s); }));
        printf("%s: ok: %zu section%s, %u records (%u packets, %u events), %u gaps, "
               "%llu records missing",
               path.c_str(), c.sections.size(), c.sections.size() == 1 ? "" : "s",
               packets + events, packets, events, gaps, static_cast<unsigned long long>(missing));
        // Sections another program wrote were held to pcapng alone.
        if (others > 0) printf(", %zu written by another program, checked as pcapng only", others);
        printf("\n");
    }
    return status;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The parts' bytes one after the other, as they are, except that a serial
// jump between two parts becomes a gap block of the daemon's, carrying the
// missing count, right before the later part's first record (after its
// section header and interfaces), where a gap block inside one dump would
// stand; every reader of the joined file then counts the same losses as
// over the parts. Each jump is also told on standard error.
int join_dumps(const std::string& path_stem, const char* out_path) {
    // Every part is read and walked before anything is written, so a bad
    // part leaves no half-joined output.
    stem_parts sp;
    std::string err;
    if (stem_parts_load(path_stem, false, sp, err) != 0) {
        fprintf(stderr, "%s: %s\n", PROG, err.c_str());
        return 1;
    }
    for (const part_jump& j : sp.jumps) complain(path_stem, part_jump_text(sp, j));
    int fd = STDOUT_FILENO;
    if (out_path) {
        fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            complain(out_path, strerror(errno));
            return 1;
        }
    }
    int status = 0;
    size_t jump = 0;
    for (size_t i = 0; i < sp.parts.size() && status == 0; i++) {
        const dump_part& p = sp.parts[i];
        size_t split = 0;  // where a gap block goes, or 0
        std::vector<uint8_t> gap;
        if (jump < sp.jumps.size() && sp.jumps[jump].after == i) {
            split = p.contents.blocks[p.first_record].offset;
            gap = gap_block_bytes(sp.jumps[jump].missing);
            jump++;
        }
        const bool written = write_all(fd, p.bytes.data(), split) && write_all(fd, gap.data(), gap.size()) &&
                             write_all(fd, p.bytes.data() + split, p.bytes.size() - split);
        if (!written) {
            complain(out_path ? out_path : "standard output", strerror(errno));
            status = 1;
        }
    }
    if (out_path && close(fd) != 0 && status == 0) {
        complain(out_path, strerror(errno));
        status = 1;
    }
    return status;
}

// The records of one dump or of a connection's dumps in time order (of
// the connection `stem` in a file of several). 0; 1 when a file was cut or
// damaged, told on standard error, with the whole blocks before the fault
// loaded; -1 (told) when there is nothing to show.
int load_timeline(const std::string& arg, const std::string& stem, timeline& t) {
    std::string err;
    const int rc = timeline_load(arg, stem, t, err);
    if (rc != 0) fprintf(stderr, "%s: %s\n", PROG, err.c_str());
    return rc;
}

// The timeline as a pcapng file; what a cut file held before its fault is
// written, and the status is then 1.
int write_timeline(const std::string& arg, const std::string& stem, const char* out_path) {
    struct stat st;
    if (stat(arg.c_str(), &st) != 0) {
        // A connection's parts, one or two at a time; the output is opened
        // with the first bytes, so a stem without dumps leaves none.
        int fd = -1;
        int write_errno = 0;
        std::string err;
        const int rc = timeline_stream_stem(arg, [&](const std::vector<uint8_t>& bytes) {
            if (fd < 0) fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || !write_all(fd, bytes.data(), bytes.size())) {
                write_errno = errno;
                return false;
            }
            return true;
        }, err);
        if (fd >= 0 && close(fd) != 0 && write_errno == 0) write_errno = errno;
        if (write_errno != 0) {
            complain(out_path, strerror(write_errno));
            return 1;
        }
        if (rc != 0) fprintf(stderr, "%s: %s\n", PROG, err.c_str());
        return rc == 0 ? 0 : 1;
    }
    timeline t;
    std::vector<uint8_t> out;
    std::string err;
    const int loaded = load_timeline(arg, stem, t);
    if (loaded < 0) return 1;
    if (timeline_pcapng(t, out, err) != 0) {
        fprintf(stderr, "%s: %s\n", PROG, err.c_str());
        return 1;
    }
    const int fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        complain(out_path, strerror(errno));
        return 1;
    }
    const bool written = write_all(fd, out.data(), out.size());
    const int saved = errno;
    if (close(fd) != 0 || !written) {
        complain(out_path, strerror(written ? errno : saved));
        return 1;
    }
    return loaded == 0 ? 0 : 1;
}

// The picture of one dump or of a connection's dumps, drawn by gnuplot; of
// a cut file, what it held before its fault, with status 1.
int write_plot(const std::string& arg, const std::string& stem, const char* out_path) {
    plot_format f;
    if (!plot_format_of(out_path, f)) {
        complain(out_path, "--plot writes a .png or an .svg file");
        return 1;
    }
    const char* path_env = getenv("PATH");
    const std::string gnuplot = plot_find_program("gnuplot", path_env ? path_env : "");
    if (gnuplot.empty()) {
        fprintf(stderr, "%s: gnuplot not found on PATH; --plot draws with it "
                        "(Debian: gnuplot-nox, FreeBSD: math/gnuplot)\n", PROG);
        return 1;
    }
    std::string err;
    struct stat st;
    if (stat(arg.c_str(), &st) != 0) {
        // A connection's parts, one or two at a time. A cut part is told
        // first; what it held before its fault is drawn.
        std::string fault;
        const int rc = plot_stem(arg, gnuplot, out_path, f, fault, err);
        if (!fault.empty()) fprintf(stderr, "%s: %s\n", PROG, fault.c_str());
        if (rc != 0) fprintf(stderr, "%s: %s\n", PROG, err.c_str());
        return rc == 0 && fault.empty() ? 0 : 1;
    }
    timeline t;
    const int loaded = load_timeline(arg, stem, t);
    if (loaded < 0) return 1;
    if (plot_timeline(t, gnuplot, out_path, f, err) != 0) {
        fprintf(stderr, "%s: %s\n", PROG, err.c_str());
        return 1;
    }
    return loaded == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    enum { OPT_JSON = 1, OPT_CHECK, OPT_JOIN, OPT_REINDEX, OPT_CSV, OPT_TIMELINE, OPT_PLOT, OPT_STEM, OPT_SUMMARY };
    static const option LONG_OPTIONS[] = {
        {"json", no_argument, nullptr, OPT_JSON},
        {"check", no_argument, nullptr, OPT_CHECK},
        {"csv", no_argument, nullptr, OPT_CSV},
        {"join", required_argument, nullptr, OPT_JOIN},
        {"reindex", required_argument, nullptr, OPT_REINDEX},
        {"timeline", required_argument, nullptr, OPT_TIMELINE},
        {"plot", required_argument, nullptr, OPT_PLOT},
        {"stem", required_argument, nullptr, OPT_STEM},
        {"summary", no_argument, nullptr, OPT_SUMMARY},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int mode = 0;
    const char* mode_arg = nullptr;
    const char* out_path = nullptr;
    const char* stem = nullptr;
    bool json = false, summary = false;
    int ch;
    while ((ch = getopt_long(argc, argv, "ho:", LONG_OPTIONS, nullptr)) != -1) {
        switch (ch) {
        case OPT_JSON: json = true; break;
        case OPT_SUMMARY: summary = true; break;
        case OPT_CHECK:
        case OPT_CSV:
        case OPT_JOIN:
        case OPT_REINDEX:
        case OPT_TIMELINE:
        case OPT_PLOT:
            if (mode != 0) {
                usage(stderr);
                return 1;
            }
            mode = ch;
            mode_arg = optarg;
            break;
        case 'o': out_path = optarg; break;
        case OPT_STEM: stem = optarg; break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 1;
        }
    }
    const std::vector<std::string> rest(argv + optind, argv + argc);
    // --summary takes --json or --csv as its output's form.
    if (summary) {
        if ((mode != 0 && mode != OPT_CSV) || (json && mode == OPT_CSV) || rest.empty() || out_path) {
            usage(stderr);
            return 1;
        }
        const summary_format f = mode == OPT_CSV ? summary_format::csv
                                 : json          ? summary_format::json
                                                 : summary_format::text;
        return summary_main(rest, f, stdout, PROG);
    }
    const bool files_mode = mode == 0 || mode == OPT_CHECK || mode == OPT_CSV;
    const bool needs_out = mode == OPT_TIMELINE || mode == OPT_PLOT;
    if ((files_mode && rest.empty()) || (!files_mode && !rest.empty()) ||
        (out_path && mode != OPT_JOIN && !needs_out) || (needs_out && !out_path) ||
        (json && mode != 0) || (stem && !needs_out)) {
        usage(stderr);
        return 1;
    }
    switch (mode) {
    case OPT_CHECK: return check_files(rest);
    case OPT_CSV: return csv_table(rest);
    case OPT_JOIN: return join_dumps(mode_arg, out_path);
    case OPT_REINDEX: return reindex_dir(PROG, mode_arg);
    case OPT_TIMELINE: return write_timeline(mode_arg, stem ? stem : "", out_path);
    case OPT_PLOT: return write_plot(mode_arg, stem ? stem : "", out_path);
    default: return show_files(rest, json);
    }
}
