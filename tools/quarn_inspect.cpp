// quarn_inspect: reads the daemon's dumps back. It shows every block with
// the fields of the record bytes it carries and the TCP state they decode
// to, writes the decoded records of files and connections as one CSV
// table, checks a file's structure and consistency, joins a connection's
// numbered dumps into one stream (telling the records lost between them),
// rebuilds the index lines that a fault lost, from the files alone, merges
// a connection's records and packets into one capture on a time line, and
// plots its sequence numbers and congestion window over time, and sums up
// each connection: what limited it, its retransmissions and RTOs.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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
#include "inspect/quarn_rowtable.h"
#include "inspect/quarn_summary.h"
#include "inspect/quarn_timeline.h"
#include "quarn_dumppolicy.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"

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
            "       %s --timeline file|path_stem -o file.pcapng\n"
            "       %s --plot file|path_stem -o file.png|file.svg\n",
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
// in time order, the header line once. Over a stem, a serial jump between
// two parts is a gap row. An input that cannot be read whole is named on
// standard error and left out.
int csv_table(const std::vector<std::string>& inputs) {
    int status = 0;
    std::vector<stem_parts> loaded;
    for (const std::string& in : inputs) {
        stem_parts sp;
        std::string err;
        struct stat st;
        int rc;
        if (stat(in.c_str(), &st) == 0) {
            sp.parts.emplace_back();
            rc = dump_part_load(in, false, sp.parts.back(), err);
        } else {
            rc = stem_parts_load(in, false, sp, err);
        }
        if (rc != 0) {
            fprintf(stderr, "%s: %s\n", PROG, err.c_str());
            status = 1;
            continue;
        }
        loaded.push_back(std::move(sp));
    }
    std::vector<record_row> rows;
    for (const stem_parts& sp : loaded) rows_of_parts(sp, rows);
    rows_set_tick_rate(rows);
    rows_sort_by_time(rows);
    std::string out;
    csv_append_header(out);
    for (const record_row& r : rows) {
        csv_append_row(out, r);
        if (out.size() >= CSV_CHUNK) {
            fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    fwrite(out.data(), 1, out.size(), stdout);
    if (fflush(stdout) != 0) {
        complain("standard output", strerror(errno));
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

// Names in `dir`; false (after complaining) when it cannot be listed.
bool list_names(const std::string& dir, std::vector<std::string>& names) {
    std::string err;
    if (list_dir_names(dir, names, err) != 0) {
        complain(dir, err);
        return false;
    }
    return true;
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

// The parts' bytes one after the other, as they are; every serial jump
// between two parts is told on standard error, since no block in the
// joined stream marks it.
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
    for (const dump_part& p : sp.parts) {
        if (!write_all(fd, p.bytes.data(), p.bytes.size())) {
            complain(out_path ? out_path : "standard output", strerror(errno));
            status = 1;
            break;
        }
    }
    if (out_path && close(fd) != 0 && status == 0) {
        complain(out_path, strerror(errno));
        status = 1;
    }
    return status;
}

// The records of one dump or of a connection's dumps as a pcapng file in
// time order.
int load_timeline(const std::string& arg, timeline& t) {
    std::string err;
    if (timeline_load(arg, t, err) != 0) {
        fprintf(stderr, "%s: %s\n", PROG, err.c_str());
        return -1;
    }
    return 0;
}

int write_timeline(const std::string& arg, const char* out_path) {
    timeline t;
    std::vector<uint8_t> out;
    std::string err;
    if (load_timeline(arg, t) != 0) return 1;
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
    return 0;
}

// The picture of one dump or of a connection's dumps, drawn by gnuplot.
int write_plot(const std::string& arg, const char* out_path) {
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
    timeline t;
    std::string err;
    if (load_timeline(arg, t) != 0) return 1;
    if (plot_timeline(t, gnuplot, out_path, f, err) != 0) {
        fprintf(stderr, "%s: %s\n", PROG, err.c_str());
        return 1;
    }
    return 0;
}

// What the index line of one dump says, all taken from the file.
struct index_fields {
    std::string filename;
    std::string faddr;
    uint8_t hdr[LOG_HEADER_SIZE];
    uint32_t record_count = 0;
    int64_t dump_time = -1;
    uint8_t stack_id = 0;
    std::string stack_name;
    timeval64 first{};
    timeval64 last{};
    bool conn_ended = false;
    int32_t frag_seq = 0;
    const char* compressor = "";  // "", "xz", "zstd"
};

// The daemon's index line for `f` into buf (RECORDS_LINE_MAX bytes); its
// length, 0 when it does not fit. The stack name is the one the file
// carries, not the running system's table.
size_t format_index_line(char* buf, index_fields& f) {
    const finished_dump d{f.filename.c_str(), f.faddr.c_str(), f.hdr, f.record_count,
                          f.dump_time, f.stack_id, f.first, f.last, f.conn_ended, f.frag_seq,
                          f.compressor};
    return records_format_line(buf, d, f.stack_name.c_str());
}

std::string faddr_text(const uint8_t* hdr) {
    char buf[INET6_ADDRSTRLEN];
    const bool v6 = tlh_af(hdr) == TLH_AF_INET6;
    const uint8_t* a = hdr + OFF_TLH_FADDR + (v6 ? 0 : IPV4_IN_ADDR_FIELD);
    if (!inet_ntop(v6 ? AF_INET6 : AF_INET, a, buf, sizeof buf)) return "(unknown)";
    return buf;
}

struct reindexed {
    dump_name name;
    index_fields f;
    uint64_t header_len = 0;  // tlh_length of the header copy
    uint64_t file_bytes = 0;  // record bytes the file's records stood for
    uint8_t first_stack = 0;
    std::string line;
};

// Fields of a checked one-section dump; false with `why` when the daemon
// would have written no line for it on its own.
bool index_from_file(const std::string& filename, const dump_name& dn, const dump_contents& c,
                     reindexed& r, std::string& why) {
    if (c.sections.size() != 1) {
        why = "holds " + std::to_string(c.sections.size()) + " sections, not one dump";
        return false;
    }
    const dump_section& s = c.sections[0];
    index_fields& f = r.f;
    f.filename = filename;
    memcpy(f.hdr, s.log_header, LOG_HEADER_SIZE);
    f.faddr = faddr_text(f.hdr);
    f.dump_time = s.dump_time;
    f.stack_id = s.stack_id;
    f.stack_name = std::string(s.stack_name);
    f.frag_seq = dn.seq;
    f.compressor = dn.compression->index_word;
    bool first = true;
    for (const dump_block& b : c.blocks) {
        if (b.kind != dump_block_kind::packet && b.kind != dump_block_kind::event) continue;
        const uint8_t* rec = b.record;
        if (first) {
            f.first = rec_time(rec);
            r.first_stack = rec_stack_id(rec);
            first = false;
        }
        f.last = rec_time(rec);
        f.record_count++;
        // The daemon marks the end of a connection from event records; a
        // record with a TCP header kept as an event does not count.
        if (b.kind == dump_block_kind::event && rec_event_id(rec) == REC_EVENT_CONN_END &&
            !(rec_flags(rec) & REC_FLAG_HAS_TH)) {
            f.conn_ended = true;
        }
    }
    if (f.record_count == 0) {
        why = "holds no records";
        return false;
    }
    r.name = dn;
    r.header_len = tlh_length(f.hdr);
    r.file_bytes = dump_section_record_bytes(c, 0);
    return true;
}

// Whether a load failure is what a daemon stopped in the middle of a dump
// leaves: an empty file, or one that ends inside a block or a compressed
// stream. Such files are listed apart, for removal.
bool cut_short(const std::string& why) {
    return why == "offset 0: empty file" || why.find("cut by the end of the file") != std::string::npos ||
           why.find("ends before its stream does") != std::string::npos ||
           why.find("ends before its frame does") != std::string::npos;
}

// The `"filename":"..."` member of an index line as the formatter wrote it,
// or empty.
std::string filename_member(const std::string& line) {
    const std::string open = ", \"filename\":\"", close = "\", \"record_count\":";
    const size_t from = line.find(open);
    if (from == std::string::npos) return "";
    const size_t to = line.find(close, from);
    if (to == std::string::npos) return "";
    return line.substr(from + 2, to + 1 - (from + 2));
}

int reindex_dir(const std::string& dir) {
    std::vector<std::string> names;
    if (!list_names(dir, names)) return 1;
    std::sort(names.begin(), names.end());
    int status = 0;
    std::vector<reindexed> dumps;
    // Empty and cut dumps: path and what is wrong.
    std::vector<std::pair<std::string, std::string>> leftovers;
    for (const std::string& n : names) {
        dump_name dn;
        if (!parse_dump_name(n, dn)) continue;
        const std::string path = dir + "/" + n;
        dump_part p;
        std::string err;
        if (dump_part_load(path, true, p, err) != 0) {
            const std::string why = err.substr(path.size() + 2);
            if (cut_short(why)) leftovers.emplace_back(path, why);
            else complain(path, why);
            status = 1;
            continue;
        }
        reindexed r;
        std::string why;
        if (!index_from_file(n, dn, p.contents, r, why)) {
            complain(path, why + "; no index line");
            status = 1;
            continue;
        }
        dumps.push_back(std::move(r));
    }

    // A dump that ends before its message does was either closed by a stack
    // change (the next dump of the message then holds the rest) or cut
    // short, and the daemon indexes no cut dump.
    auto continued = [&](const reindexed& r) {
        for (const reindexed& o : dumps) {
            if (o.name.stem == r.name.stem && o.f.dump_time == r.f.dump_time &&
                o.header_len == r.header_len - r.file_bytes && o.first_stack != r.f.stack_id) {
                return true;
            }
        }
        return false;
    };
    std::vector<const reindexed*> keep;
    for (reindexed& r : dumps) {
        const std::string path = dir + "/" + r.f.filename;
        // The rest of an "error" or "rebuffer" message may have made a short
        // dump that the daemon removed; a split is assumed then.
        const uint64_t rest = r.header_len - r.file_bytes;
        const bool rest_removable = reason_drops_short_dumps(tlh_reason(r.f.hdr)) &&
                                    rest <= uint64_t{SHORT_DUMP_RECORDS} * LOG_RECORD_VERBOSE_SIZE;
        if (rest > 0 && !continued(r) && !rest_removable) {
            leftovers.emplace_back(path, "ends " + std::to_string(rest) +
                                             " record bytes before its log message, with no later "
                                             "dump of that message here");
            status = 1;
            continue;
        }
        if (rest == 0 && !complete_dump_indexed(r.f.record_count, tlh_reason(r.f.hdr))) {
            complain(path, "a dump of " + std::to_string(r.f.record_count) + " records with reason \"" +
                               std::string(tlh_reason(r.f.hdr)) + "\" is removed, not indexed; no index line");
            status = 1;
            continue;
        }
        char buf[RECORDS_LINE_MAX];
        const size_t len = format_index_line(buf, r.f);
        if (len == 0) {
            complain(path, "its index line would not fit in " + std::to_string(RECORDS_LINE_MAX) +
                               " bytes; the daemon writes no such line");
            status = 1;
            continue;
        }
        r.line.assign(buf, len);
        keep.push_back(&r);
    }

    // Lines already in any index, the rotated ones included, and the
    // filename members they hold.
    std::vector<index_file> indexes;
    std::vector<std::string> unreadable;
    std::string err;
    if (index_files_read(dir, indexes, unreadable, err) != 0) {
        complain(dir, err);
        return 1;
    }
    for (const std::string& u : unreadable) {
        fprintf(stderr, "%s: %s/%s; index not read; dumps it names may be printed again\n", PROG, dir.c_str(),
                u.c_str());
        status = 1;
    }
    std::set<std::string> present, named;
    for (const index_file& f : indexes) {
        for (const std::string& l : f.lines) {
            present.insert(l);
            named.insert(filename_member(l));
        }
    }

    std::sort(keep.begin(), keep.end(), [](const reindexed* a, const reindexed* b) {
        if (a->f.dump_time != b->f.dump_time) return a->f.dump_time < b->f.dump_time;
        if (a->name.stem != b->name.stem) return a->name.stem < b->name.stem;
        return a->name.seq < b->name.seq;
    });
    for (const reindexed* r : keep) {
        if (present.count(r->line)) continue;
        if (named.count(filename_member(r->line))) {
            complain(dir + "/" + r->f.filename,
                     "its index line differs from the one the file gives: " +
                         r->line.substr(0, r->line.size() - 1));
            status = 1;
            continue;
        }
        fwrite(r->line.data(), 1, r->line.size(), stdout);
    }
    if (!leftovers.empty()) {
        fprintf(stderr,
                "%s: %s: %zu dump%s empty or cut short, as a daemon stopped while writing leaves "
                "them; no index line; they can be removed:\n",
                PROG, dir.c_str(), leftovers.size(), leftovers.size() == 1 ? "" : "s");
        for (const auto& [path, why] : leftovers) fprintf(stderr, "  %s: %s\n", path.c_str(), why.c_str());
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    enum { OPT_JSON = 1, OPT_CHECK, OPT_JOIN, OPT_REINDEX, OPT_CSV, OPT_TIMELINE, OPT_PLOT, OPT_SUMMARY };
    static const option LONG_OPTIONS[] = {
        {"json", no_argument, nullptr, OPT_JSON},
        {"check", no_argument, nullptr, OPT_CHECK},
        {"csv", no_argument, nullptr, OPT_CSV},
        {"join", required_argument, nullptr, OPT_JOIN},
        {"reindex", required_argument, nullptr, OPT_REINDEX},
        {"timeline", required_argument, nullptr, OPT_TIMELINE},
        {"plot", required_argument, nullptr, OPT_PLOT},
        {"summary", no_argument, nullptr, OPT_SUMMARY},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int mode = 0;
    const char* mode_arg = nullptr;
    const char* out_path = nullptr;
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
        (json && mode != 0)) {
        usage(stderr);
        return 1;
    }
    switch (mode) {
    case OPT_CHECK: return check_files(rest);
    case OPT_CSV: return csv_table(rest);
    case OPT_JOIN: return join_dumps(mode_arg, out_path);
    case OPT_REINDEX: return reindex_dir(mode_arg);
    case OPT_TIMELINE: return write_timeline(mode_arg, out_path);
    case OPT_PLOT: return write_plot(mode_arg, out_path);
    default: return show_files(rest, json);
    }
}
