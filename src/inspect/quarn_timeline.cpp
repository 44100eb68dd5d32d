// The time line of a connection's dumps and its pcapng form, in memory or
// as a stream. Block bytes are copied from the dumps as they are; the only
// blocks made here are the two interfaces (the first dump's interface
// again, named by the connection) and the enhanced packet blocks that wrap
// event and gap bytes, and the gap bytes of a jump between two dumps come
// from the daemon's own gap block writer.
#include "quarn_timeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <queue>

#include "quarn_logfmt.h"
#include "quarn_pcapng.h"

namespace quarn {
namespace {

// Where the bytes interface 1 carries start in a custom block: after its
// enterprise number, at the subtype; they run up to the trailing length.
constexpr size_t CB_DATA_AT = offsetof(custom_block_fixed, subtype);

// The 12 bytes of a gap record as the daemon's gap block holds them.
std::vector<uint8_t> gap_bytes(uint32_t missing) {
    const std::vector<uint8_t> block = gap_block_bytes(missing);
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

// The interface description block at `b` (`len` bytes, walked) again,
// named `name`: its fixed part, if_name, and its other options as they are,
// except its clock (if_tsresol, if_tsoffset): the timeline's timestamps are
// microseconds since the epoch, whatever unit the source counted in.
void put_named_interface(std::vector<uint8_t>& out, const uint8_t* b, uint32_t len, std::string_view name) {
    const size_t start = out.size();
    out.insert(out.end(), b, b + sizeof(idb_fixed));
    put_option(out, OPT_IF_NAME, name);
    size_t at = sizeof(idb_fixed);
    const size_t end = len - BLOCK_TRAILING_LEN_SIZE;
    while (at + 4 <= end) {
        const uint16_t code = load<uint16_t>(b + at);
        const uint16_t olen = load<uint16_t>(b + at + 2);
        if (code == OPT_ENDOFOPT || pad4(olen) > end - at - 4) break;
        if (code != OPT_IF_NAME && code != OPT_IF_TSRESOL && code != OPT_IF_TSOFFSET) out.insert(out.end(), b + at, b + at + 4 + pad4(olen));
        at += 4 + pad4(olen);
    }
    end_block(out, start);
}

void put_interface1(std::vector<uint8_t>& out, std::string_view name, const std::vector<timeline_stack>& stacks) {
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
    put_option(out, OPT_IF_NAME, name);
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

// The stacks that the description of a timeline's records interface names,
// from the block at `b` of `len` bytes.
void add_described_stacks(timeline& t, const uint8_t* b, uint32_t len) {
    std::vector<timeline_stack> stacks;
    described_stacks(interface_option(b, len, OPT_IF_DESCRIPTION), stacks);
    for (const timeline_stack& x : stacks) add_stack(t, x.id, x.name);
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

// The connection stem a timeline of `arg` is named by: the stem given,
// or the one file's dump name; for a file that is itself a timeline, the
// name of its interfaces; else the file's name.
std::string timeline_stem_of(const std::string& arg, const dump_part& first) {
    if (first.path != arg) return arg.substr(arg.rfind('/') + 1);
    if (!first.parsed.stem.empty()) return std::string(first.parsed.stem);
    for (const dump_block& b : first.contents.blocks) {
        if (b.kind != dump_block_kind::interface) continue;
        const std::string_view name = interface_option(first.bytes.data() + b.offset, b.length, OPT_IF_NAME);
        if (!name.empty() && name != TIMELINE_IF_NAME) return std::string(name);
    }
    return first.name;
}

// Appends the items of part `pi` (`p`) of `t` to `items` in file order,
// their times settled (settle_times): with a gap item for `jump`, if any,
// before its first record, and of a file of several connections those of
// `chosen` alone (`conns` from block_connections, or empty). 0, or -1 with
// `err` for a block that cannot stand in a timeline.
int part_items(const timeline& t, size_t pi, const dump_part& p, const part_jump* jump,
               const std::vector<block_connection>& conns, const std::string& chosen,
               std::vector<timeline_item>& items, std::string& err) {
    std::vector<timeline_item> mine;
    std::vector<bool> known;
    for (size_t bi = 0; bi < p.contents.blocks.size(); bi++) {
        const dump_block& b = p.contents.blocks[bi];
        const bool named = bi < conns.size() && !conns[bi].stem.empty();
        if (!chosen.empty() && named && conns[bi].stem != chosen) continue;
        timeline_item it;
        it.part = pi;
        it.block = &b;
        it.record = b.record;
        const dump_section& s = p.contents.sections[b.section];
        it.stack_name = stack_of(t, s, b.record);
        bool has_time = false;
        switch (b.kind) {
        case dump_block_kind::packet:
            if (b.interface_id != 0 && !named) {
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
            mine.push_back(g);
            known.push_back(false);
        }
        mine.push_back(it);
        known.push_back(has_time);
    }
    settle_times(mine, known, 0);
    items.insert(items.end(), mine.begin(), mine.end());
    return 0;
}

}  // namespace

std::string_view interface_option(const uint8_t* b, uint32_t len, uint16_t code) {
    if (len < sizeof(idb_fixed) + BLOCK_TRAILING_LEN_SIZE) return {};
    size_t at = sizeof(idb_fixed);
    const size_t end = len - BLOCK_TRAILING_LEN_SIZE;
    while (at + 4 <= end) {
        const uint16_t c = load<uint16_t>(b + at);
        const uint16_t olen = load<uint16_t>(b + at + 2);
        if (c == OPT_ENDOFOPT || pad4(olen) > end - at - 4) return {};
        if (c == code) return std::string_view(reinterpret_cast<const char*>(b + at + 4), olen);
        at += 4 + pad4(olen);
    }
    return {};
}

bool described_stacks(std::string_view description, std::vector<timeline_stack>& stacks) {
    if (!description.starts_with(TIMELINE_IF_DESCRIPTION)) return false;
    std::string_view rest = description.substr(TIMELINE_IF_DESCRIPTION.size());
    while (!rest.empty()) {
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        const std::string_view word = rest.substr(0, rest.find(' '));
        rest.remove_prefix(word.size());
        const size_t eq = word.find('=');
        unsigned id;
        if (eq == std::string_view::npos) continue;
        const auto [p, ec] = std::from_chars(word.data(), word.data() + eq, id);
        if (ec == std::errc() && p == word.data() + eq && id <= UINT8_MAX) {
            stacks.push_back({static_cast<uint8_t>(id), std::string(word.substr(eq + 1))});
        }
    }
    return true;
}

void block_connections(const uint8_t* data, const dump_contents& c, std::vector<block_connection>& out) {
    out.assign(c.blocks.size(), block_connection{});
    // Per section: its interfaces' names and, per name, the stacks its
    // records interface names.
    std::vector<std::string_view> names;
    std::vector<std::pair<std::string_view, std::vector<timeline_stack>>> stacks;
    size_t section = SIZE_MAX;
    for (size_t i = 0; i < c.blocks.size(); i++) {
        const dump_block& b = c.blocks[i];
        if (b.section != section) {
            section = b.section;
            names.clear();
            stacks.clear();
            // A section's interfaces come before its first packet.
            for (size_t k = i; k < c.blocks.size() && c.blocks[k].section == section; k++) {
                const dump_block& idb = c.blocks[k];
                if (idb.kind != dump_block_kind::interface) continue;
                const uint8_t* ib = data + idb.offset;
                const std::string_view name = interface_option(ib, idb.length, OPT_IF_NAME);
                names.push_back(name);
                std::vector<timeline_stack> s;
                if (idb.link_type == LINKTYPE_USER0 &&
                    described_stacks(interface_option(ib, idb.length, OPT_IF_DESCRIPTION), s)) {
                    stacks.emplace_back(name, std::move(s));
                }
            }
        }
        if (b.type != BT_EPB || b.interface_id >= names.size() || names[b.interface_id].empty() ||
            names[b.interface_id] == TIMELINE_IF_NAME) {
            continue;
        }
        block_connection& bc = out[i];
        bc.stem = names[b.interface_id];
        if (!b.record) continue;
        for (const auto& [name, list] : stacks) {
            if (name != bc.stem) continue;
            for (const timeline_stack& x : list) {
                if (x.id == rec_stack_id(b.record)) {
                    bc.has_stack = true;
                    bc.stack = x.name;
                }
            }
        }
    }
}

int timeline_load(const std::string& arg, timeline& t, std::string& err) { return timeline_load(arg, "", t, err); }

int timeline_load(const std::string& arg, const std::string& stem, timeline& t, std::string& err) {
    t = timeline{};
    err.clear();
    // Parts cut short or damaged keep their whole blocks before the fault;
    // the first fault is told when everything else is in place.
    std::string fault;
    struct stat st;
    if (stat(arg.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        dump_part p;
        if (dump_part_load(arg, false, p, fault) != 0 && p.contents.blocks.empty()) {
            err = fault;
            return -1;
        }
        t.parts.parts.push_back(std::move(p));
    } else {
        if (stem_parts_list(arg, t.parts.parts, err) != 0) return -1;
        for (dump_part& p : t.parts.parts) {
            std::string why;
            if (dump_part_load(p.path, false, p, why) != 0 && fault.empty()) fault = why;
        }
        t.parts.jumps = find_part_jumps(t.parts.parts);
    }
    // Items point into the parts, which stay where they are from here on.
    const std::vector<dump_part>& parts = t.parts.parts;
    t.stem = timeline_stem_of(arg, parts.front());

    // A timeline file may hold several connections (timelines merged by
    // mergecap), told apart by their interfaces' names: one is chosen.
    std::vector<std::vector<block_connection>> conns(parts.size());
    std::vector<std::string> held;
    for (size_t pi = 0; pi < parts.size(); pi++) {
        const dump_part& p = parts[pi];
        const bool is_timeline = std::any_of(p.contents.blocks.begin(), p.contents.blocks.end(), [](const dump_block& b) {
            return b.kind == dump_block_kind::interface && b.link_type == LINKTYPE_USER0;
        });
        if (!is_timeline) continue;
        block_connections(p.bytes.data(), p.contents, conns[pi]);
        for (const block_connection& c : conns[pi]) {
            if (!c.stem.empty() && std::find(held.begin(), held.end(), c.stem) == held.end()) held.emplace_back(c.stem);
        }
    }
    std::string chosen;
    if (!held.empty()) {
        std::string names;
        for (const std::string& h : held) names += (names.empty() ? "" : ", ") + h;
        if (!stem.empty() && std::find(held.begin(), held.end(), stem) == held.end()) {
            err = arg + ": no connection " + stem + " here; it holds " + names;
            return -1;
        }
        if (stem.empty() && held.size() > 1) {
            err = arg + ": holds the connections " + names + "; choose one with --stem";
            return -1;
        }
        chosen = stem.empty() ? held.front() : stem;
        t.stem = chosen;
    }

    // Every stack first: items keep views of their names. Of a file of
    // several connections, the chosen one's.
    for (const dump_part& p : parts) {
        for (const dump_block& b : p.contents.blocks) {
            if (b.kind == dump_block_kind::section && p.contents.sections[b.section].has_stack) {
                const dump_section& s = p.contents.sections[b.section];
                add_stack(t, s.stack_id, s.stack_name);
            } else if (b.kind == dump_block_kind::interface && b.link_type == LINKTYPE_USER0 &&
                       (chosen.empty() || interface_option(p.bytes.data() + b.offset, b.length, OPT_IF_NAME) == chosen)) {
                add_described_stacks(t, p.bytes.data() + b.offset, b.length);
            }
        }
    }

    for (size_t pi = 0; pi < parts.size(); pi++) {
        // The jump of serial numbers into this part, if any.
        const part_jump* jump = nullptr;
        for (const part_jump& j : t.parts.jumps) {
            if (j.after == pi) jump = &j;
        }
        if (part_items(t, pi, parts[pi], jump, conns[pi], chosen, t.items, err) != 0) return -1;
    }
    timeline_order(t.items);
    if (fault.empty()) return 0;
    err = fault;
    return 1;
}

uint32_t serial_base(std::vector<uint32_t>& serials) {
    if (serials.empty()) return 0;
    std::sort(serials.begin(), serials.end());
    // The stretch from the last around to the first, then those between.
    uint32_t base = serials.front();
    uint32_t widest = serials.front() - serials.back();
    for (size_t i = 1; i < serials.size(); i++) {
        if (serials[i] - serials[i - 1] > widest) {
            widest = serials[i] - serials[i - 1];
            base = serials[i];
        }
    }
    return base;
}

namespace {

// Each item's serial number, `items` in file order: a record's own; a
// gap's that of the record after it; an event without record bytes that of
// the record before it (after it when none comes before). Items of one part
// of several look past their part for those records: `after` is the serial
// of the first record after the part (0 when none), `before` (when given)
// that of the last record before it.
std::vector<uint32_t> item_serials(const std::vector<timeline_item>& items, uint32_t after = 0,
                                   const uint32_t* before = nullptr) {
    std::vector<uint32_t> serials(items.size(), 0);
    uint32_t serial = after;
    for (size_t i = items.size(); i-- > 0;) {
        if (items[i].record) serial = rec_serial(items[i].record);
        serials[i] = serial;
    }
    bool have = before != nullptr;
    if (have) serial = *before;
    for (size_t i = 0; i < items.size(); i++) {
        if (items[i].record) {
            serial = rec_serial(items[i].record);
            have = true;
        } else if (items[i].kind != timeline_kind::gap && have) {
            serials[i] = serial;
        }
    }
    return serials;
}

}  // namespace

void timeline_order(std::vector<timeline_item>& items) {
    // Each item's serial number (item_serials); a gap goes before the
    // record of its serial, anything else after.
    struct keyed {
        uint64_t time;
        uint32_t serial;
        bool after;  // not a gap
        size_t index;
    };
    std::vector<keyed> keys(items.size());
    const std::vector<uint32_t> serials_in_order = item_serials(items);
    for (size_t i = 0; i < items.size(); i++) {
        keys[i] = {items[i].time_usec, serials_in_order[i], items[i].kind != timeline_kind::gap, i};
    }
    std::stable_sort(keys.begin(), keys.end(), [](const keyed& a, const keyed& b) { return a.time < b.time; });
    // Within one time, serial order modulo 2^32: counted from the serial
    // after the widest stretch of serial numbers that none of them holds,
    // so a wrap from 2^32-1 to 0 stays in order, whatever the file order.
    std::vector<uint32_t> serials;
    for (size_t from = 0; from < keys.size();) {
        size_t to = from + 1;
        while (to < keys.size() && keys[to].time == keys[from].time) to++;
        serials.clear();
        for (size_t i = from; i < to; i++) serials.push_back(keys[i].serial);
        const uint32_t base = serial_base(serials);
        std::stable_sort(keys.begin() + static_cast<std::ptrdiff_t>(from), keys.begin() + static_cast<std::ptrdiff_t>(to),
                         [base](const keyed& a, const keyed& b) {
                             const uint32_t x = a.serial - base, y = b.serial - base;
                             if (x != y) return x < y;
                             return a.after < b.after;
                         });
        from = to;
    }
    std::vector<timeline_item> sorted;
    sorted.reserve(items.size());
    for (const keyed& k : keys) sorted.push_back(items[k.index]);
    items.swap(sorted);
}

namespace {

// The section header block and the first section's interface of the first
// part, which open a timeline. 0, or -1 with `err`.
int head_blocks(const dump_part& first, std::vector<uint8_t>& shb, std::vector<uint8_t>& idb, std::string& err) {
    if (first.contents.blocks.empty()) {
        err = "no dump to take the section header from";
        return -1;
    }
    const dump_block& s = first.contents.blocks[0];
    const auto i = std::find_if(first.contents.blocks.begin(), first.contents.blocks.end(),
                                [](const dump_block& b) {
                                    return b.kind == dump_block_kind::interface && b.section == 0;
                                });
    if (i == first.contents.blocks.end()) {
        err = first.path + ": the first section has no interface description block";
        return -1;
    }
    const uint8_t* base = first.bytes.data();
    shb.assign(base + s.offset, base + s.offset + s.length);
    idb.assign(base + i->offset, base + i->offset + i->length);
    return 0;
}

// The section header and the two interfaces that open a timeline, from the
// first part. 0, or -1 with `err`.
int put_head(std::vector<uint8_t>& out, const dump_part& first, const std::string& stem,
             const std::vector<timeline_stack>& stacks, std::string& err) {
    std::vector<uint8_t> shb, idb;
    if (head_blocks(first, shb, idb, err) != 0) return -1;
    out.insert(out.end(), shb.begin(), shb.end());
    put_named_interface(out, idb.data(), static_cast<uint32_t>(idb.size()), stem);
    put_interface1(out, stem, stacks);
    return 0;
}

// One item's block: a packet as it is but for its interface and time, an
// event or gap on interface 1; a jump between parts with `jump_comment`.
void put_item(std::vector<uint8_t>& out, const timeline_item& it, const dump_part& p, const std::string& jump_comment) {
    if (it.kind == timeline_kind::packet) {
        const uint8_t* b = p.bytes.data() + it.block->offset;
        const size_t at = out.size();
        out.insert(out.end(), b, b + it.block->length);
        // A packet of one connection out of merged timelines goes on
        // interface 0 of the new file, whichever it had there, and its time
        // in microseconds, whatever unit its interface counted in.
        if (it.block->interface_id != 0) store<uint32_t>(out.data() + at + offsetof(epb_fixed, interface_id), 0);
        store<uint32_t>(out.data() + at + offsetof(epb_fixed, ts_high), static_cast<uint32_t>(it.time_usec >> 32));
        store<uint32_t>(out.data() + at + offsetof(epb_fixed, ts_low), static_cast<uint32_t>(it.time_usec));
    } else if (it.block && it.block->type == BT_EPB) {
        put_record_epb(out, it.time_usec, it.block->packet, it.block->caplen, {});
    } else if (it.block) {
        const uint8_t* b = p.bytes.data() + it.block->offset;
        put_record_epb(out, it.time_usec, b + CB_DATA_AT,
                       static_cast<uint32_t>(it.block->length - CB_DATA_AT - BLOCK_TRAILING_LEN_SIZE), {});
    } else {
        const std::vector<uint8_t> gap = gap_bytes(it.missing);
        put_record_epb(out, it.time_usec, gap.data(), static_cast<uint32_t>(gap.size()), jump_comment);
    }
}

// A part in memory while some of its items wait their turn.
struct held_part {
    timeline t;           // the one part, its jump and every stack
    size_t waiting = 0;   // items not yet handed on
    std::string jump_comment;
};

// An item waiting for its turn: time, then serial modulo 2^32 (pairwise:
// the items that wait together are close in serial numbers), a gap before
// the record of its serial, then the order of reading.
struct waiting_item {
    uint64_t time;
    uint32_t serial;
    bool after;
    uint64_t seq;
    held_part* part;
    size_t index;
};

struct later_item {
    bool operator()(const waiting_item& a, const waiting_item& b) const {
        if (a.time != b.time) return a.time > b.time;
        if (a.serial != b.serial) return static_cast<int32_t>(b.serial - a.serial) < 0;
        if (a.after != b.after) return a.after;
        return a.seq > b.seq;
    }
};

}  // namespace

int timeline_pcapng(const timeline& t, std::vector<uint8_t>& out, std::string& err) {
    out.clear();
    if (t.parts.parts.empty()) {
        err = "no dump to take the section header from";
        return -1;
    }
    if (put_head(out, t.parts.parts[0], t.stem, t.stacks, err) != 0) return -1;
    for (const timeline_item& it : t.items) {
        put_item(out, it, t.parts.parts[it.part], it.jump ? part_jump_text(t.parts, *it.jump) : std::string());
    }
    return 0;
}

int stem_scan_parts(const std::string& path_stem, stem_scan& scan,
                    const std::function<void(size_t, const dump_part&)>& each, std::string& err) {
    scan = stem_scan{};
    err.clear();
    stem_parts& meta = scan.meta;
    if (stem_parts_list(path_stem, meta.parts, err) != 0) return -1;
    scan.stem = path_stem.substr(path_stem.rfind('/') + 1);
    scan.first_time.assign(meta.parts.size(), 0);
    timeline stacks_of;
    for (size_t pi = 0; pi < meta.parts.size(); pi++) {
        dump_part& m = meta.parts[pi];
        dump_part p;
        std::string why;
        if (dump_part_load(m.path, false, p, why) != 0 && scan.fault.empty()) scan.fault = why;
        for (const dump_block& b : p.contents.blocks) {
            const dump_section& s = p.contents.sections[b.section];
            if (b.kind == dump_block_kind::section && s.has_stack) add_stack(stacks_of, s.stack_id, s.stack_name);
            else if (b.kind == dump_block_kind::interface && b.link_type == LINKTYPE_USER0) {
                add_described_stacks(stacks_of, p.bytes.data() + b.offset, b.length);
            }
        }
        std::vector<timeline_item> items;
        if (part_items(stacks_of, pi, p, nullptr, {}, "", items, err) != 0) return -1;
        bool have = false;
        for (const timeline_item& it : items) {
            if (!have || it.time_usec < scan.first_time[pi]) scan.first_time[pi] = it.time_usec;
            have = true;
        }
        if (!have && pi > 0) scan.first_time[pi] = scan.first_time[pi - 1];
        scan.has_items = scan.has_items || have;
        m.has_records = p.has_records;
        m.first_serial = p.first_serial;
        m.last_serial = p.last_serial;
        if (each) each(pi, p);
    }
    meta.jumps = find_part_jumps(meta.parts);
    scan.stacks = std::move(stacks_of.stacks);
    return 0;
}

int stem_walk_items(const stem_scan& scan, const stem_item_fn& each, std::string& err) {
    const stem_parts& meta = scan.meta;
    // The parts in the order of their earliest times, each read again while
    // its items wait; what is earlier than the next part's earliest time is
    // final and handed on.
    std::vector<size_t> order(meta.parts.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return scan.first_time[a] < scan.first_time[b]; });
    std::vector<std::unique_ptr<held_part>> held;
    std::priority_queue<waiting_item, std::vector<waiting_item>, later_item> queue;
    uint64_t seq = 0;
    auto hand_on_until = [&](bool all, uint64_t limit) {
        while (!queue.empty() && (all || queue.top().time < limit)) {
            const waiting_item w = queue.top();
            queue.pop();
            if (!each(w.part->t.items[w.index], w.part->t.parts.parts[0], w.part->jump_comment)) return false;
            if (--w.part->waiting == 0) {
                std::erase_if(held, [&](const std::unique_ptr<held_part>& h) { return h.get() == w.part; });
            }
        }
        return true;
    };
    for (const size_t pi : order) {
        if (!hand_on_until(false, scan.first_time[pi])) {
            err = "stopped";
            return -1;
        }
        auto h = std::make_unique<held_part>();
        h->t.stem = scan.stem;
        h->t.stacks = scan.stacks;
        dump_part p;
        std::string why;
        dump_part_load(meta.parts[pi].path, false, p, why);
        h->t.parts.parts.push_back(std::move(p));
        const auto j = std::find_if(meta.jumps.begin(), meta.jumps.end(), [&](const part_jump& x) { return x.after == pi; });
        if (j != meta.jumps.end()) {
            h->t.parts.jumps.push_back(*j);
            h->jump_comment = part_jump_text(meta, *j);
        }
        if (part_items(h->t, 0, h->t.parts.parts[0], h->t.parts.jumps.empty() ? nullptr : &h->t.parts.jumps[0], {}, "",
                       h->t.items, err) != 0) {
            return -1;
        }
        // Serial numbers as the whole line counts them: a gap at the end
        // of a part (one cut after it) stands before the next part's first
        // record, not before serial 0; an event without record bytes first
        // in its part goes with the record before the part.
        uint32_t after = 0;
        for (size_t k = pi + 1; k < meta.parts.size(); k++) {
            if (meta.parts[k].has_records) {
                after = meta.parts[k].first_serial;
                break;
            }
        }
        bool have_before = false;
        uint32_t before = 0;
        for (size_t k = pi; k-- > 0;) {
            if (meta.parts[k].has_records) {
                before = meta.parts[k].last_serial;
                have_before = true;
                break;
            }
        }
        const std::vector<timeline_item>& items = h->t.items;
        const std::vector<uint32_t> serials = item_serials(items, after, have_before ? &before : nullptr);
        h->waiting = items.size();
        for (size_t i = 0; i < items.size(); i++) {
            queue.push({items[i].time_usec, serials[i], items[i].kind != timeline_kind::gap, seq++, h.get(), i});
        }
        if (h->waiting > 0) held.push_back(std::move(h));
    }
    if (!hand_on_until(true, 0)) {
        err = "stopped";
        return -1;
    }
    return 0;
}

int timeline_stream_stem(const std::string& path_stem, const std::function<bool(const std::vector<uint8_t>&)>& write,
                         std::string& err) {
    // The parts once through for their stacks, serial numbers and earliest
    // times, keeping the first part's head blocks; then the items in order.
    stem_scan scan;
    std::vector<uint8_t> shb, idb;
    std::string head_err = "no dump to take the section header from";
    if (stem_scan_parts(path_stem, scan, [&](size_t pi, const dump_part& p) {
            if (pi == 0 && head_blocks(p, shb, idb, head_err) == 0) head_err.clear();
        }, err) != 0) {
        return -1;
    }
    if (!head_err.empty()) {
        err = head_err;
        return -1;
    }
    std::vector<uint8_t> out;
    out.insert(out.end(), shb.begin(), shb.end());
    put_named_interface(out, idb.data(), static_cast<uint32_t>(idb.size()), scan.stem);
    put_interface1(out, scan.stem, scan.stacks);
    bool written = true;
    const int rc = stem_walk_items(scan, [&](const timeline_item& it, const dump_part& p, const std::string& comment) {
        put_item(out, it, p, comment);
        if (out.size() >= (size_t{1} << 16)) {
            written = write(out);
            out.clear();
        }
        return written;
    }, err);
    if (rc != 0 && written) return -1;
    if (!written || !write(out)) {
        err = "write failed";
        return -1;
    }
    if (scan.fault.empty()) return 0;
    err = scan.fault;
    return 1;
}

}  // namespace quarn
