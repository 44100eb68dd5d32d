// Rebuilding index lines: each dump is read, walked strictly and turned
// into the fields of its index line, which the daemon's own formatter then
// writes. A dump whose records stop before its log message's do was either
// closed by a change of stack (a later dump of the same message holds the
// rest) or cut short; only the first is indexed.
#include "quarn_reindex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "inspect/quarn_dumpread.h"
#include "inspect/quarn_indexfiles.h"
#include "inspect/quarn_parts.h"
#include "quarn_dumppolicy.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"
#include "quarn_text.h"

namespace quarn {

namespace {

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

// The foreign address as the daemon writes it into the line.
std::string faddr_text(const uint8_t* hdr) {
    char buf[IPV6_TEXT_MAX];
    addr_field_text(hdr, OFF_TLH_FADDR, buf);
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

// A JSON text, read from `p` on; each call moves past what it read and
// returns false at the first fault. Only what an index line can hold is
// decoded (strings); other values are checked and skipped.
struct json_reader {
    std::string_view s;
    size_t p = 0;

    static constexpr int DEPTH_MAX = 32;

    void space() {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r')) p++;
    }
    bool eat(char c) {
        space();
        if (p >= s.size() || s[p] != c) return false;
        p++;
        return true;
    }
    bool hex4(uint32_t& v) {
        if (s.size() - p < 4) return false;
        v = 0;
        for (int i = 0; i < 4; i++) {
            const char c = s[p++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }
    static void put_utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    // A string, its escapes decoded into `out`.
    bool string(std::string& out) {
        if (!eat('"')) return false;
        out.clear();
        while (p < s.size()) {
            const auto c = static_cast<unsigned char>(s[p++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (p >= s.size()) return false;
            const char e = s[p++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00) {
                    uint32_t lo;
                    if (s.substr(p, 2) != "\\u") return false;
                    p += 2;
                    if (!hex4(lo) || lo < 0xDC00 || lo >= 0xE000) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    return false;
                }
                put_utf8(out, cp);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool digits() {
        const size_t from = p;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9') p++;
        return p > from;
    }
    bool number() {
        space();
        if (p < s.size() && s[p] == '-') p++;
        if (p < s.size() && s[p] == '0') p++;
        else if (!digits()) return false;
        if (p < s.size() && s[p] == '.') {
            p++;
            if (!digits()) return false;
        }
        if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
            p++;
            if (p < s.size() && (s[p] == '+' || s[p] == '-')) p++;
            if (!digits()) return false;
        }
        return true;
    }
    bool word(std::string_view w) {
        space();
        if (s.substr(p, w.size()) != w) return false;
        p += w.size();
        return true;
    }
    bool value(int depth) {
        space();
        if (p >= s.size() || depth > DEPTH_MAX) return false;
        std::string ignored;
        switch (s[p]) {
        case '"': return string(ignored);
        case '{': return object(depth + 1, {}, nullptr, nullptr);
        case '[': {
            p++;
            if (eat(']')) return true;
            do {
                if (!value(depth + 1)) return false;
            } while (eat(','));
            return eat(']');
        }
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
        }
    }
    // An object; the first string member named `key` goes to *found, and
    // *have tells whether there was one.
    bool object(int depth, std::string_view key, std::string* found, bool* have) {
        if (!eat('{')) return false;
        if (eat('}')) return true;
        std::string name;
        do {
            if (!string(name) || !eat(':')) return false;
            space();
            if (found && !*have && name == key && p < s.size() && s[p] == '"') {
                if (!string(*found)) return false;
                *have = true;
            } else if (!value(depth)) {
                return false;
            }
        } while (eat(','));
        return eat('}');
    }
};

// Names in `dir`; false (after complaining) when it cannot be listed.
bool list_names(const char* prog, const std::string& dir, std::vector<std::string>& names) {
    std::string err;
    if (list_dir_names(dir, names, err) != 0) {
        fprintf(stderr, "%s: %s: %s\n", prog, dir.c_str(), err.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool index_line_filename(std::string_view line, std::string& filename) {
    json_reader r{line};
    bool have = false;
    if (!r.object(0, "filename", &filename, &have)) return false;
    r.space();
    return have && r.p == line.size();
}

int reindex_dir(const char* prog, const std::string& dir) {
    auto complain = [prog](const std::string& what, const std::string& why) {
        fprintf(stderr, "%s: %s: %s\n", prog, what.c_str(), why.c_str());
    };
    std::vector<std::string> names;
    if (!list_names(prog, dir, names)) return 1;
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
        dump_fault_kind kind = dump_fault_kind::damaged;
        if (dump_part_load(path, true, p, err, &kind) != 0) {
            const std::string why = err.substr(path.size() + 2);
            // What a daemon stopped in the middle of a dump leaves is
            // listed apart, for removal.
            if (kind != dump_fault_kind::damaged) leftovers.emplace_back(path, why);
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
        fprintf(stderr, "%s: %s/%s; index not read; dumps it names may be printed again\n", prog, dir.c_str(),
                u.c_str());
        status = 1;
    }
    std::set<std::string> present, named;
    for (const index_file& f : indexes) {
        for (const std::string& l : f.lines) {
            present.insert(l);
            std::string filename;
            if (index_line_filename(l, filename)) named.insert(filename);
        }
    }

    std::sort(keep.begin(), keep.end(), [](const reindexed* a, const reindexed* b) {
        if (a->f.dump_time != b->f.dump_time) return a->f.dump_time < b->f.dump_time;
        if (a->name.stem != b->name.stem) return a->name.stem < b->name.stem;
        return a->name.seq < b->name.seq;
    });
    for (const reindexed* r : keep) {
        if (present.count(r->line)) continue;
        std::string filename;
        if (index_line_filename(r->line, filename) && named.count(filename)) {
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
                prog, dir.c_str(), leftovers.size(), leftovers.size() == 1 ? "" : "s");
        for (const auto& [path, why] : leftovers) fprintf(stderr, "  %s: %s\n", path.c_str(), why.c_str());
    }
    return status;
}

}  // namespace quarn
