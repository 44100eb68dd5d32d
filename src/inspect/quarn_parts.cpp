// Listing, loading and comparing the parts of one connection.
#include "quarn_parts.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_writev.h"

namespace quarn {

namespace {

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void part_note_records(dump_part& p) {
    p.has_records = false;
    for (size_t i = 0; i < p.contents.blocks.size(); i++) {
        const dump_block& b = p.contents.blocks[i];
        if (!dump_block_has_record(b)) continue;
        const uint32_t serial = rec_serial(b.record);
        if (!p.has_records) {
            p.has_records = true;
            p.first_serial = serial;
            p.first_record = i;
        }
        p.last_serial = serial;
    }
}

// Appends every gather list it is given to `bytes`: the daemon's block
// writers, aimed at memory.
struct memory_writer {
    output_writer w;
    std::vector<uint8_t>* bytes;
};
static_assert(std::is_standard_layout_v<memory_writer>);

int memory_write(output_writer* w, struct iovec* iov, int count, int) {
    std::vector<uint8_t>& out = *reinterpret_cast<memory_writer*>(w)->bytes;
    for (int i = 0; i < count; i++) {
        const auto* p = static_cast<const uint8_t*>(iov[i].iov_base);
        out.insert(out.end(), p, p + iov[i].iov_len);
    }
    return 0;
}

}  // namespace

std::vector<uint8_t> gap_block_bytes(uint32_t missing) {
    std::vector<uint8_t> block;
    memory_writer m{{}, &block};
    m.w.write_op = memory_write;
    pcap_gapblock(&m.w, missing);
    return block;
}

int list_dir_names(const std::string& dir, std::vector<std::string>& names, std::string& err) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        err = strerror(errno);
        return -1;
    }
    while (const dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    return 0;
}

int dump_part_load(const std::string& path, bool strict, dump_part& p, std::string& err,
                   dump_fault_kind* kind) {
    p.path = path;
    p.name = base_name(path);
    p.parsed = dump_name{};
    parse_dump_name(p.name, p.parsed);
    std::string why;
    if (dump_read_file(path.c_str(), p.bytes, why, kind) != 0) {
        err = path + ": " + why;
        return -1;
    }
    dump_fault fault;
    const int rc = dump_parse(p.bytes.data(), p.bytes.size(), strict, p.contents, fault);
    part_note_records(p);
    if (rc != 0) {
        err = path + ": offset " + std::to_string(fault.offset) + ": " + fault.message;
        if (kind) *kind = fault.kind;
        return -1;
    }
    return 0;
}

std::vector<part_jump> find_part_jumps(const std::vector<dump_part>& parts) {
    std::vector<part_jump> jumps;
    bool have_last = false;
    size_t last_part = 0;
    for (size_t i = 0; i < parts.size(); i++) {
        const dump_part& p = parts[i];
        if (!p.has_records) continue;
        if (have_last) {
            const uint32_t last = parts[last_part].last_serial;
            const uint32_t missing = p.first_serial - last - 1;
            if (missing != 0) jumps.push_back({last_part, i, last, p.first_serial, missing});
        }
        have_last = true;
        last_part = i;
    }
    return jumps;
}

std::string part_jump_text(const stem_parts& s, const part_jump& j) {
    return std::to_string(j.missing) + " records missing between " + s.parts[j.before].name +
           " and " + s.parts[j.after].name;
}

int stem_parts_list(const std::string& path_stem, std::vector<dump_part>& parts, std::string& err,
                    stem_listing* listing) {
    parts.clear();
    const size_t slash = path_stem.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path_stem.substr(0, slash + 1);
    const std::string stem = slash == std::string::npos ? path_stem : path_stem.substr(slash + 1);
    std::vector<std::string> names;
    const std::vector<std::string>* candidates = &names;
    if (!listing || listing->dir != dir) {
        std::string why;
        if (list_dir_names(dir, names, why) != 0) {
            err = dir + ": " + why;
            return -1;
        }
        if (listing) {
            listing->dir = dir;
            listing->names.clear();
            for (std::string& n : names) {
                dump_name dn;
                if (parse_dump_name(n, dn)) listing->names[dn.stem].push_back(std::move(n));
            }
        }
    }
    if (listing) {
        static const std::vector<std::string> none;
        const auto it = listing->names.find(stem);
        candidates = it == listing->names.end() ? &none : &it->second;
    }
    for (const std::string& n : *candidates) {
        dump_name dn;
        if (!parse_dump_name(n, dn) || dn.stem != stem) continue;
        dump_part p;
        p.path = (slash == std::string::npos ? "" : dir) + n;
        p.name = n;
        p.parsed = dn;
        parts.push_back(std::move(p));
    }
    if (parts.empty()) {
        err = path_stem + ": no dumps named " + path_stem + ".N.pcapng, .pcapng.xz or .pcapng.zst";
        return -1;
    }
    std::sort(parts.begin(), parts.end(), [](const dump_part& a, const dump_part& b) {
        if (a.parsed.seq != b.parsed.seq) return a.parsed.seq < b.parsed.seq;
        return a.parsed.compression->id < b.parsed.compression->id;
    });
    return 0;
}

int stem_parts_load(const std::string& path_stem, bool strict, stem_parts& out, std::string& err,
                    stem_listing* listing) {
    out.parts.clear();
    out.jumps.clear();
    std::vector<dump_part> parts;
    if (stem_parts_list(path_stem, parts, err, listing) != 0) return -1;
    for (dump_part& p : parts) {
        if (dump_part_load(p.path, strict, p, err) != 0) return -1;
    }
    out.parts = std::move(parts);
    out.jumps = find_part_jumps(out.parts);
    return 0;
}

}  // namespace quarn
