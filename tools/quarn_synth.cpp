// quarn_synth: writes a TCP black-box log stream in the kernel's layout, for
// tests, benchmarks and the bundled sample. The stream is a function of the
// options alone: every random choice comes from one splitmix64 generator
// seeded by -s and consumed in a fixed order, so a seed gives the same bytes
// on every platform and standard library.
//
// Connections live in a pool of -c slots. Each message picks a slot, writes
// a run of records for it (packets with TCP headers whose sequence numbers
// advance per direction, or stack events) and moves the connection's serial
// number, clock and stack on. A connection that ends is replaced by a new one.
// With -k the tool also writes a directory of emulated sysctls, and with -D
// it writes the damaged streams that the reader and worker must survive.
//
// Instead of the pool, --story writes one connection whose records move its
// TCP state as a stack's would (quarn_story.h), and --stories several such
// connections with their messages interleaved in time order, each varied by
// a seed drawn from -s.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_dumppolicy.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_text.h"
#include "quarn_story.h"
#include "quarn_story_values.h"

namespace {

using namespace quarn;
namespace qb = quarn::build;

constexpr const char* PROG = "quarn_synth";

using qb::prng;

struct reason_weight {
    std::string name;
    uint32_t weight;
};

enum damage_mode : unsigned {
    DAMAGE_SHORT_HEADER = 1u << 0,
    DAMAGE_SHORT_BODY = 1u << 1,
    DAMAGE_UNKNOWN_TYPE = 1u << 2,
    DAMAGE_UNKNOWN_FAMILY = 1u << 3,
    DAMAGE_SHORT_LENGTH = 1u << 4,
    DAMAGE_TINY_LENGTH = 1u << 5,
    DAMAGE_SHORT_TAIL = 1u << 6,
};

struct damage_name {
    const char* name;
    unsigned mode;
};

constexpr damage_name DAMAGE_NAMES[] = {
    {"short-header", DAMAGE_SHORT_HEADER}, {"short-body", DAMAGE_SHORT_BODY},
    {"unknown-type", DAMAGE_UNKNOWN_TYPE}, {"unknown-family", DAMAGE_UNKNOWN_FAMILY},
    {"short-length", DAMAGE_SHORT_LENGTH}, {"tiny-length", DAMAGE_TINY_LENGTH},
    {"short-tail", DAMAGE_SHORT_TAIL},
};

// Damage that ends the stream; at most one of them can be last.
constexpr unsigned DAMAGE_AT_END = DAMAGE_SHORT_HEADER | DAMAGE_SHORT_BODY | DAMAGE_TINY_LENGTH;
// Damaged but correctly framed messages, inserted between the others in this order.
constexpr unsigned DAMAGE_INSERTED[] = {DAMAGE_UNKNOWN_TYPE, DAMAGE_UNKNOWN_FAMILY,
                                        DAMAGE_SHORT_LENGTH, DAMAGE_SHORT_TAIL};

constexpr uint32_t BAD_TYPE = 2;
constexpr uint8_t BAD_FAMILY = 7;
constexpr size_t SHORT_HEADER_BYTES = 10;

constexpr uint32_t MAX_RECORDS_PER_MESSAGE = 65536;
constexpr uint32_t MAX_CONNECTIONS = 65536;
constexpr uint64_t MAX_MESSAGES = 1000000000000ull;
constexpr size_t MAX_REASON_LEN = TLH_REASON_SIZE - 1;
constexpr uint32_t MAX_STORIES = 1000;

// Stack registry written by -k. Id 9 is listed only under two different
// names, so a reader must treat it as unnamed; the stream uses it rarely.
struct stack_entry {
    uint8_t id;
    const char* name;
    const char* alias;
};
constexpr stack_entry STACK_REGISTRY[] = {
    {0, "default", "default"}, {1, "bbr", "bbr"}, {2, "rack", "rack"}, {9, "tcp_alt", "alt"}};
constexpr uint8_t NAMED_STACKS[] = {0, 1, 2};
constexpr uint8_t UNNAMED_STACK = 9;

// Event ids for records without a TCP header: anything but "received" (1)
// and "connection ended" (54).
constexpr uint8_t EVENT_IDS[] = {3, 4, 5, 6, 10, 12, 15, 18, 22, 31, 38, 41};
constexpr uint8_t EVENT_OUT_OTHER = 37;  // on a packet record, any id but 1 means sent

constexpr uint8_t OPT_NOP = 1, OPT_MSS = 2, OPT_WS = 3, OPT_SACK_OK = 4, OPT_SACK = 5, OPT_TS = 8;
constexpr size_t MAX_TCP_OPTIONS = TH_SIZE - 20;

struct options {
    uint64_t seed = 1;
    uint64_t messages = 100;
    uint32_t connections = 8;
    uint32_t rec_min = 1;
    uint32_t rec_max = 10;
    unsigned ipv6_pct = 30;
    unsigned packet_pct = 70;
    unsigned verbose_pct = 10;
    unsigned gap_pct = 5;
    unsigned stack_pct = 10;
    unsigned end_pct = 5;
    std::vector<reason_weight> reasons{{"normal", 1}};
    std::string out_path;
    std::string sysctl_dir;
    unsigned damage = 0;
    bool print_counts = false;
    // --story: one connection told as a story instead of the random pool.
    bool story = false;
    uint32_t story_messages = 4;
    bool story_losses = false;
    std::string story_stack = "default";
    std::string story_values;
    std::string story_summary;
    // --stories: that many story connections interleaved in one stream.
    uint32_t stories = 0;
};

// Option layouts of the handshake; the SYN decides what later segments carry.
enum syn_style : uint8_t { SYN_FULL, SYN_NO_TS, SYN_MSS_ONLY, SYN_MSS_WS, SYN_STYLES };

struct connection {
    qb::header_fields hdr;
    bool junk_v4_prefix = false;  // random bytes before the IPv4 address
    bool server = true;           // the local side accepted the connection
    syn_style style = SYN_FULL;
    bool pad_nops = false;        // one extra word of NOPs on every segment
    int handshake = 0;            // handshake segments logged so far (3 = done)
    uint16_t mss = 1460;
    uint32_t snd_nxt = 0, rcv_nxt = 0;
    uint32_t ts_local = 0, ts_peer = 0;
    uint32_t serial = 0;
    uint8_t stack_id = 0;
    int64_t sec = 0, usec = 0;
};

// What one message holds, decided before its records are made.
struct message_plan {
    uint32_t records = 1;
    std::string reason;
    bool ends = false;       // last record is the connection-end event
    uint32_t change_at = 0;  // record index where the stack changes; 0 = none
};

struct synth {
    options opt;
    prng rng;
    std::vector<connection> pool;
    uint64_t connections_made = 0;
    int64_t offset_sec = 0, offset_usec = 0;  // boot time, the same for all messages
    int64_t uptime = 0;                       // clock at which new connections start
    // What was written: whole messages as the framing reads them, the whole
    // records inside them, and every byte (a cut message at the end too).
    uint64_t messages_written = 0, records_written = 0, bytes_written = 0;
};

// A whole decimal text within [lo, hi]; no sign, blanks or trailing bytes.
template <typename T>
bool parse_num(const char* text, uint64_t lo, uint64_t hi, T& out) {
    const char* end = text + std::strlen(text);
    uint64_t v = 0;
    auto [ptr, ec] = std::from_chars(text, end, v);
    if (ec != std::errc() || ptr != end || v < lo || v > hi) return false;
    out = static_cast<T>(v);
    return true;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

bool parse_range(const char* text, uint32_t& lo, uint32_t& hi) {
    std::string t(text);
    size_t dash = t.find('-');
    std::string a = t.substr(0, dash);
    std::string b = dash == std::string::npos ? a : t.substr(dash + 1);
    return parse_num(a.c_str(), 1, MAX_RECORDS_PER_MESSAGE, lo) &&
           parse_num(b.c_str(), 1, MAX_RECORDS_PER_MESSAGE, hi) && lo <= hi;
}

// "normal,error:3": reason names with optional weights (default 1).
bool parse_reasons(const char* text, std::vector<reason_weight>& out) {
    std::vector<reason_weight> list;
    for (std::string_view item : split(text, ',')) {
        reason_weight rw{std::string(item), 1};
        size_t colon = item.rfind(':');
        if (colon != std::string_view::npos) {
            std::string w(item.substr(colon + 1));
            if (!parse_num(w.c_str(), 1, 1000000, rw.weight)) return false;
            rw.name = std::string(item.substr(0, colon));
        }
        if (rw.name.empty() || rw.name.size() > MAX_REASON_LEN) return false;
        list.push_back(rw);
    }
    out = list;
    return true;
}

bool parse_damage(const char* text, unsigned& out) {
    unsigned modes = 0;
    for (std::string_view item : split(text, ',')) {
        unsigned found = 0;
        for (const damage_name& d : DAMAGE_NAMES) {
            if (item == d.name) found = d.mode;
        }
        if (!found) return false;
        modes |= found;
    }
    out = modes;
    return true;
}

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: %s [-s seed] [-n messages] [-c connections] [-r min-max]\n"
                 "       [-6 ipv6-percent] [-p packet-percent] [-v verbose-percent]\n"
                 "       [-g gap-percent] [-S stack-change-percent] [-e end-percent]\n"
                 "       [-R reason[:weight],...] [-o out-file] [-k sysctl-dir] [-D damage,...] [-C]\n"
                 "       %s --story [--messages n] [--losses] [--stack default|rack]\n"
                 "       [--values file.jsonl|file.csv] [--summary-values file.csv] [-s seed]\n"
                 "       [-o out-file] [-k sysctl-dir] [-C]\n"
                 "       %s --stories n [--values file.jsonl|file.csv] [-s seed]\n"
                 "       [-o out-file] [-k sysctl-dir] [-C]\n"
                 "  -s  seed of the generator; equal seeds give equal streams (1)\n"
                 "  -n  log messages to write (100)\n"
                 "  -c  connections open at a time (8, at most %u)\n"
                 "  -r  records per message, a count or a range (1-10, at most %u)\n"
                 "  -6  percent of connections over IPv6 (30)\n"
                 "  -p  percent of records that carry a TCP header (70)\n"
                 "  -v  percent of verbose 400-byte records (10)\n"
                 "  -g  percent of records preceded by lost serial numbers (5)\n"
                 "  -S  percent of messages whose stack changes inside (10)\n"
                 "  -e  percent of messages that end their connection (5)\n"
                 "  -R  reasons with relative weights (normal)\n"
                 "  -o  write the stream to this file (default: standard output)\n"
                 "  -k  also write emulated sysctl files into this directory\n"
                 "  -D  damage: short-header, short-body, unknown-type, unknown-family,\n"
                 "      short-length, tiny-length, short-tail, comma separated; short-header,\n"
                 "      short-body and tiny-length each end the stream: give at most one\n"
                 "  -C  print \"messages M records R bytes B\" to standard error at the end:\n"
                 "      the whole messages, the whole records in them and the bytes written\n"
                 "  --story     one connection whose log tells what its TCP stack did: handshake,\n"
                 "              slow start, a late segment, a loss with fast retransmit and\n"
                 "              recovery, an RTO; then an idle application with an empty send\n"
                 "              buffer, a second write held back by the peer's small window,\n"
                 "              and the close; the options of the random pool\n"
                 "              (-n -c -r -6 -p -v -g -S -e -R -D) do not apply\n"
                 "  --messages  log messages the story is spread over, one dump each (4, 1 to %u)\n"
                 "  --losses    lose records: 3 inside the second message (a gap block), 6 as a\n"
                 "              short \"rebuffer\" message (its dump is removed), 5 before the\n"
                 "              fourth; needs at least %u messages\n"
                 "  --stack     the stack that logs it; \"rack\" adds the RACK part (default)\n"
                 "  --values    also write what a reader of the dumps must decode: one row per\n"
                 "              record that reaches a dump, and a \"gap\" row with \"missing\" where\n"
                 "              serials jump; JSON lines, or CSV when the name ends in \".csv\"\n"
                 "  --summary-values  also write, as CSV, what the summary of quarn_inspect\n"
                 "              must say of the dumps (every column but the verdict)\n"
                 "  --stories   n story connections (1 to %u) interleaved in one stream, their\n"
                 "              messages in time order: IPv4 and IPv6; the default, rack and bbr\n"
                 "              stacks, some changing stack within a message; losses with short\n"
                 "              \"rebuffer\" and \"error\" messages; odd ids; logs that stop before\n"
                 "              the end; -s varies every choice; with --values the rows of every\n"
                 "              connection, a \"stem\" column naming its dumps\n",
                 PROG, PROG, PROG, MAX_CONNECTIONS, MAX_RECORDS_PER_MESSAGE, story::MAX_MESSAGES,
                 story::MIN_MESSAGES_WITH_LOSSES, MAX_STORIES);
}

[[noreturn]] void bad_option(const char* what, const char* value) {
    std::fprintf(stderr, "%s: bad %s: \"%s\"\n", PROG, what, value);
    usage(stderr);
    std::exit(1);
}

options parse_options(int argc, char** argv) {
    options o;
    enum { OPT_STORY = 256, OPT_MESSAGES, OPT_LOSSES, OPT_STACK, OPT_VALUES, OPT_SUMMARY_VALUES,
           OPT_STORIES };
    static const option LONG_OPTIONS[] = {
        {"story", no_argument, nullptr, OPT_STORY},
        {"messages", required_argument, nullptr, OPT_MESSAGES},
        {"losses", no_argument, nullptr, OPT_LOSSES},
        {"stack", required_argument, nullptr, OPT_STACK},
        {"values", required_argument, nullptr, OPT_VALUES},
        {"summary-values", required_argument, nullptr, OPT_SUMMARY_VALUES},
        {"stories", required_argument, nullptr, OPT_STORIES},
        {nullptr, 0, nullptr, 0},
    };
    bool story_only = false;  // a story option given
    bool one_story_only = false;  // an option of --story that --stories has not
    int ch;
    while ((ch = getopt_long(argc, argv, "s:n:c:r:6:p:v:g:S:e:R:o:k:D:Ch", LONG_OPTIONS, nullptr)) !=
           -1) {
        const char* a = optarg;
        bool ok = true;
        switch (ch) {
        case OPT_STORY: o.story = true; break;
        case OPT_MESSAGES:
            story_only = one_story_only = true;
            ok = parse_num(a, 1, story::MAX_MESSAGES, o.story_messages);
            break;
        case OPT_LOSSES: story_only = one_story_only = o.story_losses = true; break;
        case OPT_STACK:
            story_only = one_story_only = true;
            o.story_stack = a;
            ok = o.story_stack == "default" || o.story_stack == "rack";
            break;
        case OPT_VALUES: story_only = true; o.story_values = a; ok = !o.story_values.empty(); break;
        case OPT_SUMMARY_VALUES:
            story_only = one_story_only = true;
            o.story_summary = a;
            ok = !o.story_summary.empty();
            break;
        case OPT_STORIES: ok = parse_num(a, 1, MAX_STORIES, o.stories); break;
        case 's': ok = parse_num(a, 0, UINT64_MAX, o.seed); break;
        case 'n': ok = parse_num(a, 0, MAX_MESSAGES, o.messages); break;
        case 'c': ok = parse_num(a, 1, MAX_CONNECTIONS, o.connections); break;
        case 'r': ok = parse_range(a, o.rec_min, o.rec_max); break;
        case '6': ok = parse_num(a, 0, 100, o.ipv6_pct); break;
        case 'p': ok = parse_num(a, 0, 100, o.packet_pct); break;
        case 'v': ok = parse_num(a, 0, 100, o.verbose_pct); break;
        case 'g': ok = parse_num(a, 0, 100, o.gap_pct); break;
        case 'S': ok = parse_num(a, 0, 100, o.stack_pct); break;
        case 'e': ok = parse_num(a, 0, 100, o.end_pct); break;
        case 'R': ok = parse_reasons(a, o.reasons); break;
        case 'o': o.out_path = a; ok = !o.out_path.empty(); break;
        case 'k': o.sysctl_dir = a; ok = !o.sysctl_dir.empty(); break;
        case 'D': ok = parse_damage(a, o.damage); break;
        case 'C': o.print_counts = true; break;
        case 'h': usage(stdout); std::exit(0);
        default: usage(stderr); std::exit(1);
        }
        if (!ok) {
            const std::string name = ch < 256 ? std::string("-") + static_cast<char>(ch)
                                               : std::string("--") + LONG_OPTIONS[ch - OPT_STORY].name;
            bad_option((name + " value").c_str(), a);
        }
    }
    if (o.story && o.stories > 0) {
        std::fprintf(stderr, "%s: give --story or --stories, not both\n", PROG);
        std::exit(1);
    }
    if (one_story_only && o.stories > 0) {
        std::fprintf(stderr, "%s: --messages, --losses, --stack and --summary-values are --story's; "
                             "--stories picks its own\n", PROG);
        std::exit(1);
    }
    if (story_only && !o.story && o.stories == 0) {
        std::fprintf(stderr, "%s: --messages, --losses, --stack, --values and --summary-values need --story\n", PROG);
        std::exit(1);
    }
    if (o.story_losses && o.story_messages < story::MIN_MESSAGES_WITH_LOSSES) {
        std::fprintf(stderr, "%s: --losses needs at least %u messages\n", PROG,
                     story::MIN_MESSAGES_WITH_LOSSES);
        std::exit(1);
    }
    if (optind < argc) bad_option("argument", argv[optind]);
    unsigned at_end = o.damage & DAMAGE_AT_END;
    if (at_end & (at_end - 1)) {
        std::fprintf(stderr, "%s: short-header, short-body and tiny-length each end the "
                             "stream; give at most one\n", PROG);
        std::exit(1);
    }
    return o;
}

std::string hex_text(uint64_t v, int digits) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

// Ids and tags with bytes that a file name, a JSON line or a reader of
// NUL-terminated text must take care of.
std::string odd_id(prng& rng) {
    switch (rng.below(4)) {
    case 0: return "say \"hi\" \\ back\\slash\x01\n";
    case 1: return "tab\there/and/slash";
    case 2: return "caf\xc3\xa9-\xe2\x82\xac-\xff\x80\xfe";
    default: {
        // Fills all 64 bytes: no NUL, so readers take the first 63.
        std::string id = "full-" + hex_text(rng.next(), 16);
        while (id.size() < TLH_ID_SIZE) id += static_cast<char>('a' + id.size() % 26);
        return id;
    }
    }
}

std::string odd_tag(prng& rng) {
    switch (rng.below(3)) {
    case 0: return "t\"a\\g\t/";
    case 1: return "\xfe\xed-tag-\x7f";
    default: return std::string(TLH_TAG_SIZE, 'T');  // no NUL
    }
}

std::string plain_id(prng& rng, uint64_t serial_no) {
    uint64_t kind = rng.below(10);
    if (kind == 0) return "";
    if (kind < 6) return hex_text(rng.next(), 16);
    return "svc-" + std::to_string(serial_no);
}

std::string v4_text(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." +
           std::to_string(d);
}

connection new_connection(synth& s) {
    prng& rng = s.rng;
    connection c;
    const uint64_t number = s.connections_made++;
    const bool v6 = rng.percent(s.opt.ipv6_pct);
    const bool odd = rng.percent(20);
    c.hdr.af = v6 ? TLH_AF_INET6 : TLH_AF_INET;
    const uint32_t l1 = rng.below32(256);
    const uint32_t l2 = 1 + rng.below32(254);
    const uint32_t f1 = rng.below32(256);
    const uint32_t f2 = 1 + rng.below32(254);
    if (v6) {
        c.hdr.laddr = "2001:db8:1::" + hex_text(l1 * 256 + l2, 1);
        if (rng.percent(5)) {
            c.hdr.faddr = "::ffff:" + v4_text(198, 51, 100, f2);  // v4-mapped
        } else {
            c.hdr.faddr = "2001:db8:" + hex_text(f1 + 2, 1) + "::" + hex_text(f2, 1);
        }
        c.mss = 1440;
    } else {
        c.hdr.laddr = v4_text(10, 0, l1, l2);
        // One draw picks the documentation net: 192.0.2.0/24 or 203.0.113.0/24.
        const bool net_a = rng.percent(50);
        c.hdr.faddr = net_a ? v4_text(192, 0, 2, f2) : v4_text(203, 0, 113, f2);
        c.junk_v4_prefix = rng.percent(20);
        c.mss = 1460;
    }
    constexpr uint16_t SERVICES[] = {443, 80, 22, 8080, 25, 993};
    const uint16_t service = SERVICES[rng.below(std::size(SERVICES))];
    const uint16_t ephemeral = static_cast<uint16_t>(1024 + rng.below(65536 - 1024));
    c.server = rng.percent(70);
    c.hdr.lport = c.server ? service : ephemeral;
    c.hdr.fport = c.server ? ephemeral : service;
    c.hdr.offset_sec = s.offset_sec;
    c.hdr.offset_usec = s.offset_usec;
    c.hdr.id = odd ? odd_id(rng) : plain_id(rng, number);
    const bool odd_tagged = odd && rng.percent(50);
    constexpr const char* TAGS[] = {"", "", "", "bulk", "interactive", "probe"};
    c.hdr.tag = odd_tagged ? odd_tag(rng) : TAGS[rng.below(std::size(TAGS))];
    c.style = static_cast<syn_style>(rng.below(SYN_STYLES));
    c.pad_nops = rng.percent(10);
    c.handshake = rng.percent(70) ? 0 : 3;  // some logs start mid-connection
    c.snd_nxt = static_cast<uint32_t>(rng.next());
    c.rcv_nxt = static_cast<uint32_t>(rng.next());
    c.ts_local = static_cast<uint32_t>(rng.next());
    c.ts_peer = static_cast<uint32_t>(rng.next());
    // Some serial counters start just below 2^32 so that they wrap soon.
    c.serial = rng.percent(15) ? UINT32_MAX - rng.below32(8) : rng.below32(1000);
    c.stack_id = rng.percent(60) ? NAMED_STACKS[0] : NAMED_STACKS[1 + rng.below(2)];
    s.uptime += 1 + static_cast<int64_t>(rng.below(30));
    c.sec = s.uptime;
    c.usec = static_cast<int64_t>(rng.below(1000000));
    return c;
}

void advance_clock(prng& rng, connection& c) {
    int64_t step = 1 + static_cast<int64_t>(rng.below(20000));
    if (rng.percent(3)) step += static_cast<int64_t>(rng.below(5000000));  // idle, or an RTO
    c.usec += step;
    c.sec += c.usec / 1000000;
    c.usec %= 1000000;
}

uint8_t next_stack(prng& rng, uint8_t current) {
    if (rng.percent(10)) return current == UNNAMED_STACK ? NAMED_STACKS[0] : UNNAMED_STACK;
    uint8_t pick = NAMED_STACKS[rng.below(std::size(NAMED_STACKS))];
    if (pick == current) pick = NAMED_STACKS[(pick + 1) % std::size(NAMED_STACKS)];
    return pick;
}

void put_be32(std::vector<uint8_t>& v, uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8) v.push_back(static_cast<uint8_t>(x >> shift));
}

void put_timestamps(std::vector<uint8_t>& o, uint32_t val, uint32_t ecr) {
    o.insert(o.end(), {OPT_TS, 10});
    put_be32(o, val);
    put_be32(o, ecr);
}

bool has_timestamps(const connection& c) { return c.style == SYN_FULL; }
bool has_sack(const connection& c) { return c.style == SYN_FULL || c.style == SYN_NO_TS; }

// TCP options of one segment; always a whole number of 32-bit words.
std::vector<uint8_t> tcp_options(prng& rng, const connection& c, bool syn, bool out,
                                 uint32_t payload, uint32_t ack) {
    std::vector<uint8_t> o;
    o.reserve(TH_SIZE);  // options never exceed 40 bytes; also spares reallocations
    if (c.pad_nops) o.insert(o.end(), {OPT_NOP, OPT_NOP, OPT_NOP, OPT_NOP});
    const uint32_t ts_val = out ? c.ts_local : c.ts_peer;
    const uint32_t ts_ecr = out ? c.ts_peer : c.ts_local;
    if (syn) {
        o.insert(o.end(), {OPT_MSS, 4, static_cast<uint8_t>(c.mss >> 8),
                           static_cast<uint8_t>(c.mss)});
        switch (c.style) {
        case SYN_FULL:
            o.insert(o.end(), {OPT_SACK_OK, 2});
            put_timestamps(o, ts_val, out == c.server ? ts_ecr : 0);  // SYN-ACK echoes
            o.insert(o.end(), {OPT_NOP, OPT_WS, 3, 6});
            break;
        case SYN_NO_TS:
            o.insert(o.end(), {OPT_NOP, OPT_WS, 3, 8, OPT_NOP, OPT_NOP, OPT_SACK_OK, 2});
            break;
        case SYN_MSS_WS: o.insert(o.end(), {OPT_NOP, OPT_WS, 3, 2}); break;
        default: break;
        }
        return o;
    }
    if (has_timestamps(c)) {
        o.insert(o.end(), {OPT_NOP, OPT_NOP});
        put_timestamps(o, ts_val, ts_ecr);
    }
    // Duplicate ACKs report what arrived beyond a hole.
    if (has_sack(c) && payload == 0 && rng.percent(20)) {
        size_t blocks = 1 + rng.below(4);
        while (o.size() + 4 + 8 * blocks > MAX_TCP_OPTIONS) blocks--;
        o.insert(o.end(), {OPT_NOP, OPT_NOP, OPT_SACK, static_cast<uint8_t>(2 + 8 * blocks)});
        uint32_t edge = ack + c.mss * (1 + rng.below32(4));
        for (size_t i = 0; i < blocks; i++) {
            const uint32_t len = c.mss * (1 + rng.below32(8));
            put_be32(o, edge);
            put_be32(o, edge + len);
            edge += len + c.mss * (1 + rng.below32(4));
        }
    }
    return o;
}

// Fills bytes the daemon never interprets with small counters, as the
// kernel's state fields would look.
void fill_opaque(prng& rng, uint8_t* p, size_t n) {
    for (size_t i = 0; i + 4 <= n; i += 4) {
        const uint32_t v = rng.below32(65536);
        for (size_t b = 0; b < 4; b++) p[i + b] = static_cast<uint8_t>(v >> (8 * b));
    }
}

// Fills `r` as a packet record: handshake segments first, FIN when closing,
// data or pure ACKs otherwise. Sequence numbers advance per direction.
void packet_record(prng& rng, connection& c, qb::record_fields& r, int fin_dir) {
    bool out;
    uint8_t flags = TCP_HDR_ACK;
    uint32_t payload = 0;
    bool syn = false;
    if (fin_dir >= 0) {
        out = fin_dir == 1;
        flags |= TCP_HDR_FIN;
    } else if (c.handshake < 3) {
        // Passive open: SYN in, SYN-ACK out, ACK in; active: the mirror image.
        out = (c.handshake == 1) == c.server;
        syn = c.handshake < 2;
        flags = c.handshake == 0 ? TCP_HDR_SYN : c.handshake == 1 ? (TCP_HDR_SYN | TCP_HDR_ACK) : TCP_HDR_ACK;
        c.handshake++;
    } else {
        out = rng.percent(50);
        if (!rng.percent(35)) {
            // Mostly up to one MSS; sometimes a segmentation-offload burst.
            payload = rng.percent(5) ? c.mss + rng.below32(65536 - c.mss) : 1 + rng.below32(c.mss);
        }
        if (payload > 0 && rng.percent(40)) flags |= TCP_HDR_PUSH;
    }
    const uint32_t seq = out ? c.snd_nxt : c.rcv_nxt;
    const uint32_t ack = (flags & TCP_HDR_ACK) ? (out ? c.rcv_nxt : c.snd_nxt) : 0;
    if (out) {
        c.ts_local += 1 + rng.below32(40);
    } else {
        c.ts_peer += 1 + rng.below32(40);
    }
    const std::vector<uint8_t> opts = tcp_options(rng, c, syn, out, payload, ack);
    const uint16_t sport = out ? c.hdr.lport : c.hdr.fport;
    const uint16_t dport = out ? c.hdr.fport : c.hdr.lport;
    const uint16_t window =
        rng.percent(50) ? 65535 : static_cast<uint16_t>(1024 + rng.below(64512));
    const uint8_t data_off = static_cast<uint8_t>(5 + opts.size() / 4);
    r.th = qb::tcp_header(sport, dport, seq, ack, data_off, flags, window);
    std::copy(opts.begin(), opts.end(), r.th.begin() + 20);
    const uint16_t checksum = static_cast<uint16_t>(rng.next());
    store_be16(&r.th[OFF_TH_CHECKSUM], checksum);
    const uint32_t consumed = payload + ((flags & (TCP_HDR_SYN | TCP_HDR_FIN)) ? 1 : 0);
    (out ? c.snd_nxt : c.rcv_nxt) += consumed;
    r.payload_len = payload;
    r.event_id = !out ? REC_EVENT_IN : rng.percent(6) ? EVENT_OUT_OTHER : REC_EVENT_OUT;
    r.flags |= REC_FLAG_HAS_TH;
}

std::vector<uint8_t> make_message(synth& s, connection& c, const message_plan& plan) {
    prng& rng = s.rng;
    c.hdr.reason = plan.reason;
    std::vector<uint8_t> m = qb::log_header(c.hdr);
    fill_opaque(rng, m.data() + OFF_TLH_OFFSET - 4, 4);
    if (c.junk_v4_prefix) {
        fill_opaque(rng, m.data() + OFF_TLH_FADDR, IPV4_IN_ADDR_FIELD);
        fill_opaque(rng, m.data() + OFF_TLH_LADDR, IPV4_IN_ADDR_FIELD);
    }
    for (uint32_t i = 0; i < plan.records; i++) {
        if (plan.change_at != 0 && i == plan.change_at) c.stack_id = next_stack(rng, c.stack_id);
        if (rng.percent(s.opt.gap_pct)) c.serial += 2 + rng.below32(rng.percent(90) ? 50 : 100000);
        advance_clock(rng, c);
        const bool last = i + 1 == plan.records;
        // A closing connection exchanges FINs in its last packets before the end event.
        int fin_dir = -1;
        if (plan.ends && s.opt.packet_pct > 0 && plan.records >= 3 && i + 3 >= plan.records &&
            !last) {
            fin_dir = i + 3 == plan.records ? 1 : 0;
        }
        qb::record_fields r;
        r.sec = c.sec;
        r.usec = c.usec;
        r.serial = c.serial++;
        r.stack_id = c.stack_id;
        r.flags = 0;
        // Record flag bits the daemon ignores, set at random as the kernel would.
        if (rng.percent(30)) r.flags |= REC_FLAG_RXBUF;
        if (rng.percent(30)) r.flags |= REC_FLAG_TXBUF;
        if (rng.percent(s.opt.verbose_pct)) r.flags |= REC_FLAG_VERBOSE;
        if (plan.ends && last) {
            r.event_id = REC_EVENT_CONN_END;
        } else if (fin_dir >= 0 || rng.percent(s.opt.packet_pct)) {
            packet_record(rng, c, r, fin_dir);
        } else {
            r.event_id = EVENT_IDS[rng.below(std::size(EVENT_IDS))];
        }
        if (!(r.flags & REC_FLAG_HAS_TH)) r.th.assign(TH_SIZE, 0);
        const size_t at = m.size();
        qb::add_record(m, r);
        uint8_t* rec = m.data() + at;
        fill_opaque(rng, rec + OFF_REC_SERIAL - 4, 4);
        fill_opaque(rng, rec + OFF_REC_FLAGS + 2, OFF_REC_PAYLOAD_LEN - OFF_REC_FLAGS - 2);
        if (r.flags & REC_FLAG_VERBOSE) {
            fill_opaque(rng, rec + LOG_RECORD_SIZE, LOG_RECORD_VERBOSE_SIZE - LOG_RECORD_SIZE);
        }
    }
    qb::finish(m);
    return m;
}

const std::string& pick_reason(synth& s) {
    uint64_t total = 0;
    for (const reason_weight& r : s.opt.reasons) total += r.weight;
    uint64_t x = s.rng.below(total);
    for (const reason_weight& r : s.opt.reasons) {
        if (x < r.weight) return r.name;
        x -= r.weight;
    }
    return s.opt.reasons.back().name;
}

// The next message of the stream, from a connection picked at random. With
// `min_records` the message has at least that many records; `may_end` false
// keeps the connection open.
std::vector<uint8_t> next_message(synth& s, uint32_t min_records = 1, bool may_end = true) {
    const size_t slot = s.rng.below(s.pool.size());
    message_plan plan;
    const uint32_t span = s.opt.rec_max - s.opt.rec_min + 1;
    plan.records = s.opt.rec_min + s.rng.below32(span);
    if (plan.records < min_records) plan.records = min_records;
    plan.reason = pick_reason(s);
    plan.ends = s.rng.percent(s.opt.end_pct) && may_end;
    if (s.rng.percent(s.opt.stack_pct) && plan.records >= 2) {
        plan.change_at = 1 + s.rng.below32(plan.records - 1);
    }
    std::vector<uint8_t> m = make_message(s, s.pool[slot], plan);
    if (plan.ends) s.pool[slot] = new_connection(s);
    return m;
}

// A correctly framed message carrying the damage `mode`.
std::vector<uint8_t> inserted_damage(synth& s, unsigned mode) {
    std::vector<uint8_t> m = next_message(s, mode == DAMAGE_SHORT_TAIL ? 2 : 1, false);
    switch (mode) {
    case DAMAGE_UNKNOWN_TYPE: store<uint32_t>(m.data() + OFF_TLH_TYPE, BAD_TYPE); break;
    case DAMAGE_UNKNOWN_FAMILY: m[OFF_TLH_AF] = BAD_FAMILY; break;
    case DAMAGE_SHORT_LENGTH:
        // A header and less than one record: from 208 up to 528 bytes.
        m.resize(LOG_HEADER_SIZE + 8 * s.rng.below((LOG_RECORD_SIZE - 1) / 8 + 1));
        qb::finish(m);
        break;
    case DAMAGE_SHORT_TAIL: {
        // Cut the last record to between 8 and 320 bytes, short of any record size.
        const uint8_t* h = m.data();
        size_t last = LOG_HEADER_SIZE;
        for (size_t at = last; at < m.size(); at += rec_size(h + at)) last = at;
        m.resize(last + 8 + 8 * s.rng.below(40));
        qb::finish(m);
        break;
    }
    default: break;
    }
    return m;
}

struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s: %s\n", PROG, what.c_str(), std::strerror(errno));
    std::exit(1);
}

void put(FILE* out, const uint8_t* p, size_t n, const std::string& name) {
    if (n > 0 && std::fwrite(p, 1, n, out) != n) fail("cannot write " + name);
}

// Writes a message whose length field frames it and counts it with the
// records that fit in it whole.
void put_message(synth& s, FILE* out, const std::vector<uint8_t>& m, const std::string& name) {
    put(out, m.data(), m.size(), name);
    s.bytes_written += m.size();
    s.messages_written++;
    for (size_t at = LOG_HEADER_SIZE;
         m.size() - at >= LOG_RECORD_SIZE && m.size() - at >= rec_size(m.data() + at);
         at += rec_size(m.data() + at)) {
        s.records_written++;
    }
}

void write_stream(synth& s, FILE* out, const std::string& name) {
    std::vector<unsigned> inserted;
    for (unsigned mode : DAMAGE_INSERTED) {
        if (s.opt.damage & mode) inserted.push_back(mode);
    }
    // The damaged messages stand evenly spread between the healthy ones.
    size_t next_damage = 0;
    const uint64_t n = s.opt.messages;
    const uint64_t k = inserted.size();
    for (uint64_t i = 0; i <= n; i++) {
        while (next_damage < k && i == (next_damage + 1) * n / (k + 1)) {
            put_message(s, out, inserted_damage(s, inserted[next_damage++]), name);
        }
        if (i == n) break;
        put_message(s, out, next_message(s), name);
    }
    if (!(s.opt.damage & DAMAGE_AT_END)) return;
    std::vector<uint8_t> m = next_message(s, 1, false);
    size_t keep = m.size();
    if (s.opt.damage & DAMAGE_SHORT_HEADER) keep = SHORT_HEADER_BYTES;
    if (s.opt.damage & DAMAGE_SHORT_BODY) {
        // Past the common header, short of the end of the body.
        keep = COMMON_HEADER_SIZE + (m.size() - COMMON_HEADER_SIZE) / 2;
    }
    if (s.opt.damage & DAMAGE_TINY_LENGTH) {
        // Too short to cover even the common header: nothing after it can be framed.
        store<uint64_t>(m.data() + OFF_TLH_LENGTH, s.rng.below(COMMON_HEADER_SIZE));
    }
    // No whole message: cut short, or a length that frames nothing.
    put(out, m.data(), keep, name);
    s.bytes_written += keep;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    file_ptr f(std::fopen(path.c_str(), "wb"));
    if (!f) fail("cannot create " + path);
    put(f.get(), bytes.data(), bytes.size(), path);
    if (std::fflush(f.get()) != 0) fail("cannot write " + path);
}

void write_sysctl_dir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create " + dir);
    const std::string version = std::to_string(TCP_LOG_VERSION) + "\n";
    write_file(dir + "/net.inet.tcp.bb.log_version",
               std::vector<uint8_t>(version.begin(), version.end()));
    std::vector<uint8_t> entries;
    uint32_t refcount = 1;
    for (const stack_entry& e : STACK_REGISTRY) {
        std::vector<uint8_t> one = qb::function_info_entry(e.id, e.name, e.alias);
        store<uint32_t>(one.data(), refcount++);  // a field readers skip
        entries.insert(entries.end(), one.begin(), one.end());
    }
    write_file(dir + "/net.inet.tcp.function_info", entries);
}

const char* registry_name(uint8_t id) {
    for (const stack_entry& e : STACK_REGISTRY) {
        if (e.id == id) return e.name;
    }
    return "";
}

// A verbose record's trailer starts with the name of the function that
// logged it, in a field of this size; the story leaves the rest zero.
constexpr size_t VERBOSE_FUNC_SIZE = 32;

const char* verbose_function(const story::logged& r) {
    const bool rack = r.part == story::PART_RACK, bbr = r.part == story::PART_BBR;
    if (r.event_id == REC_EVENT_IN) return rack ? "rack_do_segment" : bbr ? "bbr_do_segment" : "tcp_do_segment";
    if (r.event_id == REC_EVENT_OUT) return rack ? "rack_output" : bbr ? "bbr_output" : "tcp_default_output";
    if (r.event_id == REC_EVENT_RTO) return rack ? "rack_timeout_rxt" : bbr ? "bbr_timeout_rxt" : "tcp_timer_rexmt";
    return rack ? "rack_log" : bbr ? "bbr_log" : "tcp_log_event";
}

// One log message of a story: header `h` with the message's reason and the
// records it carries, each with the stack that logs it.
std::vector<uint8_t> story_message(qb::header_fields h, const std::vector<story::logged>& recs,
                                   const story::story_message& msg) {
    h.reason = msg.reason;
    std::vector<uint8_t> m = qb::log_header(h);
    for (size_t i : msg.records) {
        const story::logged& r = recs[i];
        qb::record_fields rec;
        rec.sec = r.sec;
        rec.usec = r.usec;
        rec.serial = r.serial;
        rec.stack_id = r.stack_id;
        rec.event_id = r.event_id;
        rec.flags = r.flags;
        rec.payload_len = r.payload_len;
        rec.th = r.th.empty() ? std::vector<uint8_t>(TH_SIZE, 0) : r.th;
        const size_t at = m.size();
        qb::add_record(m, rec);
        story::store_state(m.data() + at, r);
        if (r.flags & REC_FLAG_VERBOSE) {
            qb::put_text(m.data() + at + LOG_RECORD_SIZE, VERBOSE_FUNC_SIZE, verbose_function(r));
        }
    }
    qb::finish(m);
    return m;
}

// A value table as JSON lines, or as CSV when the name ends in ".csv".
void write_values(const std::string& path, const story::value_table& t) {
    const bool as_csv = path.size() >= 4 && path.compare(path.size() - 4, 4, ".csv") == 0;
    const std::string text = as_csv ? story::csv(t) : story::json_lines(t);
    write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// The story's messages, and with --values and --summary-values what their
// dumps must decode to and sum up to.
void write_story(synth& s, FILE* out, const std::string& name) {
    const stack_entry* stack = &STACK_REGISTRY[0];
    for (const stack_entry& e : STACK_REGISTRY) {
        if (s.opt.story_stack == e.name) stack = &e;
    }
    const bool rack = s.opt.story_stack == "rack";
    uint16_t lport = 0;
    std::vector<story::logged> recs = story::tell({s.opt.seed, rack}, &lport);
    for (story::logged& r : recs) r.stack_id = stack->id;
    const std::vector<story::story_message> msgs =
        story::plan_messages(recs, s.opt.story_messages, s.opt.story_losses);
    qb::header_fields h;
    h.id = "story";
    h.faddr = "203.0.113.10";
    h.laddr = "10.0.0.1";
    h.fport = 443;
    h.lport = lport;
    h.offset_sec = s.offset_sec;
    h.offset_usec = s.offset_usec;
    for (const story::story_message& msg : msgs) put_message(s, out, story_message(h, recs, msg), name);
    if (!s.opt.story_summary.empty()) {
        story::summary_header sh;
        sh.stem = h.id + "_" + std::to_string(h.lport) + "_" + h.faddr + "_" + std::to_string(h.fport);
        sh.laddr = h.laddr;
        sh.faddr = h.faddr;
        sh.lport = h.lport;
        sh.fport = h.fport;
        sh.stack = stack->name;
        sh.offset_sec = s.offset_sec;
        sh.offset_usec = s.offset_usec;
        sh.base_stack = !rack;
        const std::string text = story::expected_summary_csv(recs, msgs, sh);
        write_file(s.opt.story_summary, std::vector<uint8_t>(text.begin(), text.end()));
    }
    if (s.opt.story_values.empty()) return;
    write_values(s.opt.story_values,
                 story::expected_values(recs, msgs, s.offset_sec, s.offset_usec, registry_name));
}

// --stories: how each connection is told. The varieties turn with the
// connection's number, so that any three connections in a row hold both
// kinds of short message and one without losses, four both families, a
// log that stops early and a verbose one, five every stack pattern and
// seven an odd id. The seed picks the rest: each story's own seed, the
// addresses and plain ids, the message counts, where the stack changes and
// where a log stops.
struct stack_pattern {
    uint8_t first, later;  // later != first: the stack changes once
};
constexpr stack_pattern STORY_STACKS[] = {{0, 0}, {0, 2}, {2, 2}, {0, 1}, {1, 1}};
// Microseconds between the starts of two connections, plus up to as much
// again: shorter than a story, so that several run at once.
constexpr int64_t STORY_SPACING_US = 700000;

struct told_story {
    qb::header_fields hdr;
    std::vector<story::logged> recs;
    std::vector<story::story_message> msgs;
    std::string stem;  // as the daemon names the connection's dumps
};

// The stack-specific part a stack's records carry.
story::stack_part part_of_stack(uint8_t id) {
    return id == 2 ? story::PART_RACK : id == 1 ? story::PART_BBR : story::PART_NONE;
}

void set_stack(story::logged& r, uint8_t id) {
    r.stack_id = id;
    r.part = part_of_stack(id);
    if (r.part == story::PART_NONE) {
        r.flags = static_cast<uint16_t>(r.flags & ~REC_FLAG_STACKINFO);
    } else {
        r.flags |= REC_FLAG_STACKINFO;
    }
}

told_story tell_one(synth& s, uint32_t k, int64_t start_us) {
    prng& rng = s.rng;
    told_story t;
    const stack_pattern stacks = STORY_STACKS[k % std::size(STORY_STACKS)];
    const bool v6 = k % 2 == 1;
    const bool losses = k % 3 != 2;
    const char* short_reason = k % 3 == 0 ? "rebuffer" : "error";
    const bool ends = k % 4 != 3;
    const bool odd = k % 7 == 6;
    const bool verbose = k % 4 == 2;

    story::story_options o;
    o.seed = rng.next();
    o.start_us = start_us;
    uint16_t lport = 0;
    t.recs = story::tell(o, &lport);
    if (!ends) {
        // The log stops while the connection still runs: 60 to 90 percent told.
        t.recs.resize(t.recs.size() * (60 + rng.below(31)) / 100);
    }
    const uint32_t messages = losses ? 6 + rng.below32(7) : 4 + rng.below32(7);
    t.msgs = story::plan_messages(t.recs, messages, losses, short_reason);
    // The stack changes at the middle record of a later message whose dump
    // is kept (of the first when there is no other).
    size_t change = t.recs.size();
    if (stacks.later != stacks.first) {
        std::vector<size_t> kept;
        for (size_t i = 1; i < t.msgs.size(); i++) {
            const story::story_message& m = t.msgs[i];
            if (complete_dump_indexed(static_cast<uint32_t>(m.records.size()), m.reason)) kept.push_back(i);
        }
        const story::story_message& m = t.msgs[kept.empty() ? 0 : kept[rng.below(kept.size())]];
        change = m.records[m.records.size() / 2];
    }
    for (size_t i = 0; i < t.recs.size(); i++) {
        set_stack(t.recs[i], i < change ? stacks.first : stacks.later);
        if (verbose) t.recs[i].flags |= REC_FLAG_VERBOSE;
    }

    qb::header_fields& h = t.hdr;
    h.id = odd ? odd_id(rng) : plain_id(rng, k);
    if (v6) {
        h.af = TLH_AF_INET6;
        h.laddr = "2001:db8:1::" + hex_text(1 + rng.below(0xfffe), 1);
        h.faddr = "2001:db8:2::" + hex_text(1 + rng.below(0xfffe), 1);
    } else {
        h.laddr = v4_text(10, 0, rng.below32(256), 1 + rng.below32(254));
        h.faddr = v4_text(203, 0, 113, 1 + rng.below32(254));
    }
    h.fport = 443;  // the story's server
    h.lport = lport;
    h.offset_sec = s.offset_sec;
    h.offset_usec = s.offset_usec;

    const std::vector<uint8_t> hdr = qb::log_header(h);
    char faddr[INET6_ADDRSTRLEN];
    addr_field_text(hdr.data(), OFF_TLH_FADDR, faddr);
    char stem[512];
    text_out ident{stem, sizeof stem};
    dump_identifier(ident, hdr.data(), faddr);
    ident.end();
    dump_stem(stem, tlh_id(hdr.data()).size());
    t.stem.assign(stem, ident.n);
    return t;
}

// Appends the rows of `from` to `to` by column name; a column `to` lacks
// is added, empty in the rows before.
void append_rows(story::value_table& to, const story::value_table& from) {
    std::vector<size_t> where;
    for (const std::string& c : from.columns) {
        size_t at = story::column(to, c);
        if (at == to.columns.size()) {
            to.columns.push_back(c);
            for (auto& row : to.rows) row.emplace_back();
        }
        where.push_back(at);
    }
    for (const auto& row : from.rows) {
        std::vector<std::string> r(to.columns.size());
        for (size_t c = 0; c < row.size(); c++) r[where[c]] = row[c];
        to.rows.push_back(std::move(r));
    }
}

// The --stories stream: every connection's messages, all in the order of
// the time of their last record (ties: the earlier connection first), as a
// kernel hands out logs it has filled.
void write_stories(synth& s, FILE* out, const std::string& name) {
    const int64_t first_start = (3600 + static_cast<int64_t>(s.rng.below(86400))) * 1000000;
    std::vector<told_story> told;
    for (uint32_t k = 0; k < s.opt.stories; k++) {
        const int64_t start = first_start + k * STORY_SPACING_US +
                              static_cast<int64_t>(s.rng.below(STORY_SPACING_US));
        told.push_back(tell_one(s, k, start));
    }
    struct queued {
        int64_t time;
        size_t story, message;
    };
    std::vector<queued> order;
    for (size_t k = 0; k < told.size(); k++) {
        for (size_t i = 0; i < told[k].msgs.size(); i++) {
            const story::logged& last = told[k].recs[told[k].msgs[i].records.back()];
            order.push_back({last.sec * 1000000 + last.usec, k, i});
        }
    }
    std::stable_sort(order.begin(), order.end(), [](const queued& a, const queued& b) {
        return a.time != b.time ? a.time < b.time : a.story < b.story;
    });
    for (const queued& q : order) {
        const told_story& t = told[q.story];
        put_message(s, out, story_message(t.hdr, t.recs, t.msgs[q.message]), name);
    }
    if (s.opt.story_values.empty()) return;
    story::value_table all;
    for (const told_story& t : told) {
        append_rows(all, story::expected_values(t.recs, t.msgs, s.offset_sec, s.offset_usec,
                                                registry_name, t.stem));
    }
    write_values(s.opt.story_values, all);
}

}  // namespace

int main(int argc, char** argv) {
    synth s;
    s.opt = parse_options(argc, argv);
    s.rng.state = s.opt.seed;
    s.offset_sec = 1600000000 + static_cast<int64_t>(s.rng.below(200000000));
    s.offset_usec = static_cast<int64_t>(s.rng.below(1000000));
    s.uptime = 100 + static_cast<int64_t>(s.rng.below(1000000));
    for (uint32_t i = 0; i < s.opt.connections; i++) s.pool.push_back(new_connection(s));

    if (!s.opt.sysctl_dir.empty()) write_sysctl_dir(s.opt.sysctl_dir);

    file_ptr file;
    FILE* out = stdout;
    std::string name = "standard output";
    if (!s.opt.out_path.empty()) {
        file.reset(std::fopen(s.opt.out_path.c_str(), "wb"));
        if (!file) fail("cannot create " + s.opt.out_path);
        out = file.get();
        name = s.opt.out_path;
    } else if (isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "%s: not writing a binary stream to a terminal; use -o\n", PROG);
        return 1;
    }
    if (s.opt.story) {
        write_story(s, out, name);
    } else if (s.opt.stories > 0) {
        write_stories(s, out, name);
    } else {
        write_stream(s, out, name);
    }
    if (std::fflush(out) != 0 || std::ferror(out)) fail("cannot write " + name);
    if (file && std::fclose(file.release()) != 0) fail("cannot write " + name);
    if (s.opt.print_counts) {
        std::fprintf(stderr, "messages %llu records %llu bytes %llu\n",
                     static_cast<unsigned long long>(s.messages_written),
                     static_cast<unsigned long long>(s.records_written),
                     static_cast<unsigned long long>(s.bytes_written));
    }
    return 0;
}
