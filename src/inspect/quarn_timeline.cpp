// The time line of a connection's dumps and its pcapng form. Block bytes
// are copied from the dumps as they are; the only blocks made here are the
// second interface and the enhanced packet blocks that wrap event and gap
// bytes, and the gap bytes of a jump between two dumps come from the
// daemon's own gap block writer.
#include "quarn_timeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <type_traits>

#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_writev.h"

namespace quarn {
namespace {

// Where the bytes interface 1 carries start in a custom block: after its
// enterprise number, at the subtype; they run up to the trailing length.
constexpr size_t CB_DATA_AT = offsetof(custom_block_fixed, subtype);

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

// The 12 bytes of a gap record as the daemon's gap block holds them.
std::vector<uint8_t> gap_bytes(uint32_t missing) {
    std::vector<uint8_t> block;
    memory_writer m{{}, &block};
    m.w.write_op = memory_write;
    pcap_gapblock(&m.w, missing);
    return std::vector<uint8_t>(block.begin() + CB_DATA_AT, block.end() - BLOCK_TRAILING_LEN_SIZE);
}

template <typename T>
void put(std::vector<uint8_t>& out, T v) {
    uint8_t b[sizeof v];
    store<T>(b, v);
    out.insert(out.end(), b, b + sizeof b);
}

// One option: code, length, the value and zero bytes up to a multiple of 4.
void put_option(std::vector<uint8_t>& out, uint16_t code, std::string_view value) {
    put<uint16_t>(out, code);
    put<uint16_t>(out, static_cast<uint16_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    out.insert(out.end(), pad4(value.size()) - value.size(), 0);
}

// Closes the block that starts at `start`: the end of options, the total
// length in its trailer and in its header.
void end_block(std::vector<uint8_t>& out, size_t start) {
    put<uint32_t>(out, uint32_t{OPT_ENDOFOPT});
    const auto len = static_cast<uint32_t>(out.size() - start + BLOCK_TRAILING_LEN_SIZE);
    put<uint32_t>(out, len);
    store<uint32_t>(out.data() + start + 4, len);
}

void put_interface1(std::vector<uint8_t>& out, const std::vector<timeline_stack>& stacks) {
    std::string description(TIMELINE_IF_DESCRIPTION);
    for (const timeline_stack& s : stacks) description += " " + std::to_string(s.id) + "=" + s.name;
    // An option value is at most 65535 bytes; so many stacks never exist.
    if (description.size() > UINT16_MAX - 3) description.resize(UINT16_MAX - 3);
    const size_t start = out.size();
    put<uint32_t>(out, BT_IDB);
    put<uint32_t>(out, 0);
    put<uint16_t>(out, LINKTYPE_USER0);
    put<uint16_t>(out, 0);
    put<uint32_t>(out, 0);  // snap length: no limit
    put_option(out, OPT_IF_NAME, TIMELINE_IF_NAME);
    put_option(out, OPT_IF_DESCRIPTION, description);
    end_block(out, start);
}

void put_record_epb(std::vector<uint8_t>& out, uint64_t time_usec, const uint8_t* data,
                    uint32_t len, std::string_view comment) {
    const size_t start = out.size();
    put<uint32_t>(out, BT_EPB);
    put<uint32_t>(out, 0);
    put<uint32_t>(out, TIMELINE_INTERFACE);
    put<uint32_t>(out, static_cast<uint32_t>(time_usec >> 32));
    put<uint32_t>(out, static_cast<uint32_t>(time_usec));
    put<uint32_t>(out, len);
    put<uint32_t>(out, len);
    out.insert(out.end(), data, data + len);
    out.insert(out.end(), pad4(len) - len, 0);
    if (!comment.empty()) put_option(out, OPT_COMMENT, comment);
    end_block(out, start);
}

// Times of one part's items in file order: a gap takes the time of the
// record after it, an event without record bytes that of the record before
// it (the next one when it comes first).
void settle_times(std::vector<timeline_item>& items, std::vector<bool>& known, size_t from) {
    bool have = false;
    uint64_t t = 0;
    for (size_t i = items.size(); i-- > from;) {
        if (known[i]) {
            have = true;
            t = items[i].time_usec;
        } else if (items[i].kind == timeline_kind::gap && have) {
            items[i].time_usec = t;
            known[i] = true;
        }
    }
    have = false;
    for (size_t i = from; i < items.size(); i++) {
        if (known[i]) {
            have = true;
            t = items[i].time_usec;
        } else if (have) {
            items[i].time_usec = t;
            known[i] = true;
        }
    }
    // Whatever is left (only record-less events first in their part) takes
    // the first time of the part.
    for (size_t i = items.size(); i-- > from;) {
        if (known[i]) t = items[i].time_usec;
        else items[i].time_usec = t;
    }
}

void add_stack(timeline& t, uint8_t id, std::string_view name) {
    const bool seen = std::any_of(t.stacks.begin(), t.stacks.end(), [&](const timeline_stack& x) {
        return x.id == id && x.name == name;
    });
    if (!seen) t.stacks.push_back({id, std::string(name)});
}

// The stacks that the description of a timeline's records interface names
// (" <id>=<name>" after the fixed text), from the block at `b` of `len`
// bytes.
void add_described_stacks(timeline& t, const uint8_t* b, uint32_t len) {
    size_t at = sizeof(idb_fixed);
    while (at + 4 <= len - BLOCK_TRAILING_LEN_SIZE) {
        const uint16_t code = load<uint16_t>(b + at);
        const uint16_t olen = load<uint16_t>(b + at + 2);
        if (code == OPT_ENDOFOPT || at + 4 + olen > len - BLOCK_TRAILING_LEN_SIZE) return;
        const std::string_view v(reinterpret_cast<const char*>(b + at + 4), olen);
        if (code == OPT_IF_DESCRIPTION && v.starts_with(TIMELINE_IF_DESCRIPTION)) {
            std::string_view rest = v.substr(TIMELINE_IF_DESCRIPTION.size());
            while (!rest.empty()) {
                rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
                const std::string_view word = rest.substr(0, rest.find(' '));
                rest.remove_prefix(word.size());
                const size_t eq = word.find('=');
                unsigned id;
                if (eq == std::string_view::npos) continue;
                const auto [p, ec] = std::from_chars(word.data(), word.data() + eq, id);
                if (ec == std::errc() && p == word.data() + eq && id <= UINT8_MAX) {
                    add_stack(t, static_cast<uint8_t>(id), word.substr(eq + 1));
                }
            }
        }
        at += 4 + pad4(olen);
    }
}

// The name of the stack that wrote `rec`: its section's, or, when the
// section is a timeline's with records of several stacks, the one the
// timeline names for its id.
std::string_view stack_of(const timeline& t, const dump_section& s, const uint8_t* rec) {
    if (!rec || (s.has_stack && s.stack_id == rec_stack_id(rec))) return s.stack_name;
    for (const timeline_stack& x : t.stacks) {
        if (x.id == rec_stack_id(rec)) return x.name;
    }
    return s.stack_name;
}

}  // namespace

int timeline_load(const std::string& arg, timeline& t, std::string& err) {
    t = timeline{};
    struct stat st;
    if (stat(arg.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        dump_part p;
        if (dump_part_load(arg, false, p, err) != 0) return -1;
        t.parts.parts.push_back(std::move(p));
    } else if (stem_parts_load(arg, false, t.parts, err) != 0) {
        return -1;
    }
    // Items point into the parts, which stay where they are from here on.
    const std::vector<dump_part>& parts = t.parts.parts;

    // Every stack first: items keep views of their names.
    for (const dump_part& p : parts) {
        for (const dump_block& b : p.contents.blocks) {
            if (b.kind == dump_block_kind::section && p.contents.sections[b.section].has_stack) {
                const dump_section& s = p.contents.sections[b.section];
                add_stack(t, s.stack_id, s.stack_name);
            } else if (b.kind == dump_block_kind::interface && b.link_type == LINKTYPE_USER0) {
                add_described_stacks(t, p.bytes.data() + b.offset, b.length);
            }
        }
    }

    std::vector<bool> known;
    for (size_t pi = 0; pi < parts.size(); pi++) {
        const dump_part& p = parts[pi];
        // The jump of serial numbers into this part, if any.
        const part_jump* jump = nullptr;
        for (const part_jump& j : t.parts.jumps) {
            if (j.after == pi) jump = &j;
        }
        const size_t from = t.items.size();
        for (size_t bi = 0; bi < p.contents.blocks.size(); bi++) {
            const dump_block& b = p.contents.blocks[bi];
            timeline_item it;
            it.part = pi;
            it.block = &b;
            it.record = b.record;
            const dump_section& s = p.contents.sections[b.section];
            it.stack_name = stack_of(t, s, b.record);
            bool has_time = false;
            switch (b.kind) {
            case dump_block_kind::packet:
                if (b.interface_id != 0) {
                    err = p.path + ": offset " + std::to_string(b.offset) + ": packet on interface " +
                          std::to_string(b.interface_id) + ", not a dump's interface 0";
                    return -1;
                }
                it.kind = timeline_kind::packet;
                it.time_usec = b.timestamp;
                has_time = true;
                break;
            case dump_block_kind::event:
                it.kind = timeline_kind::event;
                if (b.type == BT_EPB) {
                    // Already a timeline's record, with its own time.
                    it.time_usec = b.timestamp;
                    has_time = true;
                } else if (b.record && s.log_header) {
                    it.time_usec = static_cast<uint64_t>(record_wall_usec(s.log_header + OFF_TLH_OFFSET, b.record));
                    has_time = true;
                } else if (b.record) {
                    err = p.path + ": offset " + std::to_string(b.offset) +
                          ": event in a section without its log header, so without a time";
                    return -1;
                }
                break;
            case dump_block_kind::gap:
                it.kind = timeline_kind::gap;
                it.missing = b.missing;
                if (b.type == BT_EPB) {
                    it.time_usec = b.timestamp;
                    has_time = true;
                }
                break;
            default: continue;
            }
            if (jump && bi == p.first_record) {
                timeline_item g;
                g.kind = timeline_kind::gap;
                g.part = pi;
                g.missing = jump->missing;
                g.stack_name = it.stack_name;
                g.jump = jump;
                t.items.push_back(g);
                known.push_back(false);
            }
            t.items.push_back(it);
            known.push_back(has_time);
        }
        settle_times(t.items, known, from);
    }
    std::stable_sort(t.items.begin(), t.items.end(), [](const timeline_item& a, const timeline_item& b) {
        return a.time_usec < b.time_usec;
    });
    return 0;
}

int timeline_pcapng(const timeline& t, std::vector<uint8_t>& out, std::string& err) {
    out.clear();
    if (t.parts.parts.empty() || t.parts.parts[0].contents.blocks.empty()) {
        err = "no dump to take the section header from";
        return -1;
    }
    const dump_part& first = t.parts.parts[0];
    const dump_block& shb = first.contents.blocks[0];
    const auto idb = std::find_if(first.contents.blocks.begin(), first.contents.blocks.end(),
                                  [](const dump_block& b) {
                                      return b.kind == dump_block_kind::interface && b.section == 0;
                                  });
    if (idb == first.contents.blocks.end()) {
        err = first.path + ": the first section has no interface description block";
        return -1;
    }
    const uint8_t* base = first.bytes.data();
    out.insert(out.end(), base + shb.offset, base + shb.offset + shb.length);
    out.insert(out.end(), base + idb->offset, base + idb->offset + idb->length);
    put_interface1(out, t.stacks);

    for (const timeline_item& it : t.items) {
        const dump_part& p = t.parts.parts[it.part];
        if (it.kind == timeline_kind::packet) {
            const uint8_t* b = p.bytes.data() + it.block->offset;
            out.insert(out.end(), b, b + it.block->length);
        } else if (it.block && it.block->type == BT_EPB) {
            put_record_epb(out, it.time_usec, it.block->packet, it.block->caplen, {});
        } else if (it.block) {
            const uint8_t* b = p.bytes.data() + it.block->offset;
            put_record_epb(out, it.time_usec, b + CB_DATA_AT,
                           static_cast<uint32_t>(it.block->length - CB_DATA_AT - BLOCK_TRAILING_LEN_SIZE),
                           {});
        } else {
            const std::vector<uint8_t> gap = gap_bytes(it.missing);
            const std::string comment = part_jump_text(t.parts, *it.jump);
            put_record_epb(out, it.time_usec, gap.data(), static_cast<uint32_t>(gap.size()), comment);
        }
    }
    return 0;
}

}  // namespace quarn
