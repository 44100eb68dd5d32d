// The dumps' compressions, names and short-dump rule.
#include "quarn_dumppolicy.h"

#include <algorithm>
#include <charconv>

#include "quarn_logfmt.h"
#include "quarn_utf8.h"

namespace quarn {

namespace {

constexpr uint8_t XZ_MAGIC[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr uint8_t ZSTD_MAGIC[] = {0x28, 0xB5, 0x2F, 0xFD};

}  // namespace

const compression_kind COMPRESSIONS[3] = {
    {dump_compression::none, "direct", "", "", nullptr, 0},
    {dump_compression::xz, "xz", ".xz", "xz", XZ_MAGIC, sizeof XZ_MAGIC},
    {dump_compression::zstd, "zstd", ".zst", "zstd", ZSTD_MAGIC, sizeof ZSTD_MAGIC},
};

void dump_identifier(text_out& out, const uint8_t* hdr, const char* faddr) {
    const std::string_view id = tlh_id(hdr);
    out.put(id.data(), id.size());
    out.lit("_");
    out.number(tlh_lport(hdr));
    out.lit("_");
    out.text(faddr);
    out.lit("_");
    out.number(tlh_fport(hdr));
}

void dump_stem(char* stem, size_t id_len) {
    utf8_make_valid(stem, id_len, '_', true);
    for (size_t i = 0; i < id_len; i++) {
        if (stem[i] == '/') stem[i] = '_';
    }
}

bool dump_file_name(char* buf, size_t size, std::string_view stem, int32_t seq,
                    const compression_kind& c) {
    text_out name{buf, size};
    name.put(stem.data(), stem.size());
    name.lit(".");
    name.number(seq);
    name.put(DUMP_SUFFIX.data(), DUMP_SUFFIX.size());
    name.text(c.suffix);
    name.end();
    return name.fits;
}

bool parse_dump_name(std::string_view name, dump_name& out) {
    for (const compression_kind& c : COMPRESSIONS) {
        const std::string tail = std::string(DUMP_SUFFIX) + c.suffix;
        if (name.size() <= tail.size() || !name.ends_with(tail)) continue;
        const std::string_view rest = name.substr(0, name.size() - tail.size());
        const size_t dot = rest.rfind('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 == rest.size()) return false;
        const std::string_view digits = rest.substr(dot + 1);
        if (!std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
            return false;
        }
        int32_t seq;
        const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), seq);
        if (ec != std::errc() || p != digits.data() + digits.size()) return false;
        out.stem = std::string(rest.substr(0, dot));
        out.seq = seq;
        out.compression = &c;
        return true;
    }
    return false;
}

bool reason_drops_short_dumps(std::string_view reason) {
    return reason == "error" || reason == "rebuffer";
}

bool complete_dump_indexed(uint32_t record_count, std::string_view reason) {
    if (record_count == 0) return false;
    return record_count > SHORT_DUMP_RECORDS || !reason_drops_short_dumps(reason);
}

}  // namespace quarn
