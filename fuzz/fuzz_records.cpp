// The index line from arbitrary input: every line the daemon can write must
// be one valid JSON object in valid UTF-8, ending in one newline, whose
// "filename" names the dump it indexes.
//
// Input: byte 0 picks options, the next 208 bytes are the log header (zero
// filled when short), the next 40 bytes give the numbers of the line, and
// the rest (up to its first NUL) is the stack's name.
//
// Two paths per input:
//  1. the formatter alone, with the header, the stack name and a file name
//     from a fixed table of valid names (the name rule guarantees valid
//     UTF-8 names, so the formatter is given only such names);
//  2. the whole dump path with the header's id, reason and tag in a
//     one-record message: the file name the daemon derives from the id
//     must exist, and the line written to "records" must name it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "json_check.h"
#include "quarn_dump.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"

#include "fuzz_support.h"

namespace {

using quarn::check::find_member;
using quarn::check::json_member;

constexpr size_t NUMBERS_SIZE = 40;
constexpr size_t STACK_NAME_MAX = 300;
constexpr uint8_t FUZZ_STACK_ID = 7;

int out_dir_fd = -1;

void init_once() {
    if (out_dir_fd >= 0) return;
    out_dir_fd = quarn::fuzz::make_out_dir();
    quarn::idcache_init(0);
}

// Whether the next line names the XZ compressor.
bool index_xz = false;

// The one call of the line formatter, given the stack name directly.
size_t format_index_line(char* buf, const char* filename, const char* faddr, uint8_t* hdr,
                         uint32_t record_count, int64_t dump_time, uint8_t stack_id,
                         quarn::timeval64 first, quarn::timeval64 last, bool conn_ended,
                         int32_t frag_seq, const char* stack_name) {
    const quarn::finished_dump d{filename, faddr,      hdr,        record_count,
                                 dump_time, stack_id,  first,      last,
                                 conn_ended, frag_seq, index_xz ? "xz" : ""};
    return quarn::records_format_line(buf, d, stack_name);
}

// Valid UTF-8 names with the bytes JSON must escape.
constexpr const char* NAMES[] = {
    "conn_443_10.0.0.2_50000.0.pcapng",
    "say \"hi\" \\ back\\slash___443_10.0.0.2_50000.3.pcapng.xz",
    "caf\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x98\x80_1_::1_2.2147483647.pcapng",
    "",
};
constexpr const char* FADDRS[] = {"10.0.0.2", "2001:db8::1", "(unknown)"};

// A line must be one object, end in exactly one newline and hold the
// members every reader of the index relies on.
void check_line(const char* line, size_t len, std::vector<json_member>& members) {
    if (len == 0 || line[len - 1] != '\n') quarn::fuzz::finding("line does not end in a newline", line, len);
    if (memchr(line, '\n', len - 1)) quarn::fuzz::finding("newline inside a line", line, len);
    members.clear();
    std::string error;
    if (!quarn::check::json_valid(std::string_view(line, len - 1), &members, &error)) {
        quarn::fuzz::finding(("not valid JSON: " + error).c_str(), line, len);
    }
    for (const char* key : {"filename", "stack", "pbcid", "reason", "tag", "record_count"}) {
        if (!find_member(members, key)) quarn::fuzz::finding("member missing", line, len);
    }
}

void formatter_alone(const uint8_t* opts, uint8_t* hdr, const uint8_t* numbers,
                     const char* stack_name) {
    const char* filename = NAMES[opts[0] % std::size(NAMES)];
    const char* faddr = FADDRS[(opts[0] >> 2) % std::size(FADDRS)];
    index_xz = (opts[0] & 0x40) != 0;
    const uint32_t record_count = quarn::load<uint32_t>(numbers);
    const int64_t dump_time = quarn::load<int64_t>(numbers + 4);
    const quarn::timeval64 first{quarn::load<int64_t>(numbers + 12), quarn::load<int64_t>(numbers + 20)};
    const quarn::timeval64 last{quarn::load<int64_t>(numbers + 20), quarn::load<int64_t>(numbers + 28)};
    const int32_t frag_seq = quarn::load<int32_t>(numbers + 36);

    char line[quarn::RECORDS_LINE_MAX + 1];
    memset(line, 0x55, sizeof line);
    const size_t n = format_index_line(line, filename, faddr, hdr, record_count, dump_time,
                                       FUZZ_STACK_ID, first, last, (opts[0] & 0x80) != 0,
                                       frag_seq, stack_name);
    if (line[quarn::RECORDS_LINE_MAX] != 0x55) quarn::fuzz::finding("formatter wrote past its buffer", line, sizeof line);
    if (n == 0) return;  // does not fit: no line at all
    if (n >= quarn::RECORDS_LINE_MAX) quarn::fuzz::finding("line longer than its buffer", line, n);
    std::vector<json_member> members;
    check_line(line, n, members);
    if (find_member(members, "filename")->value != filename) {
        quarn::fuzz::finding("\"filename\" is not the file's name", line, n);
    }
    if (quarn::check::utf8_valid(stack_name) && find_member(members, "stack")->value != stack_name) {
        quarn::fuzz::finding("a valid stack name changed on its way into the line", line, n);
    }
}

void whole_dump(const uint8_t* hdr_bytes) {
    quarn::build::header_fields h;
    auto text = [](const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); };
    h.id = text(hdr_bytes + quarn::OFF_TLH_ID, quarn::TLH_ID_SIZE);
    h.reason = text(hdr_bytes + quarn::OFF_TLH_REASON, quarn::TLH_REASON_SIZE);
    h.tag = text(hdr_bytes + quarn::OFF_TLH_TAG, quarn::TLH_TAG_SIZE);
    h.af = (hdr_bytes[quarn::OFF_TLH_AF] & 1) ? quarn::TLH_AF_INET6 : quarn::TLH_AF_INET;
    if (h.af == quarn::TLH_AF_INET6) {
        h.faddr = "2001:db8::2";
        h.laddr = "2001:db8::1";
    }
    // Eleven records, so that no reason can have the dump removed as short.
    std::vector<uint8_t> msg = quarn::build::message(h, std::vector<quarn::build::record_fields>(11));
    auto* m = static_cast<uint8_t*>(aligned_alloc(8, (msg.size() + 7) / 8 * 8));
    memcpy(m, msg.data(), msg.size());
    quarn::dump_set_compression(quarn::dump_compression::none);
    quarn::records_request_reopen();  // the line goes to a fresh "records"
    quarn::do_bbr_record(out_dir_fd, m);
    free(m);

    const std::string index = quarn::fuzz::read_at(out_dir_fd, "records");
    if (index.empty()) quarn::fuzz::finding("a complete dump got no index line", msg.data(), msg.size());
    std::vector<json_member> members;
    size_t lines = 0;
    for (size_t pos = 0; pos < index.size();) {
        const size_t end = index.find('\n', pos);
        const size_t len = (end == std::string::npos ? index.size() : end + 1) - pos;
        check_line(index.data() + pos, len, members);
        const std::string& name = find_member(members, "filename")->value;
        struct stat st;
        if (name.empty() || name.find('/') != std::string::npos ||
            fstatat(out_dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
            quarn::fuzz::finding("\"filename\" names no dump in the directory", index.data() + pos, len);
        }
        if (!quarn::check::utf8_valid(name) || quarn::fuzz::has_control(name.c_str())) {
            quarn::fuzz::finding("file name is not printable UTF-8", name.data(), name.size());
        }
        pos += len;
        lines++;
    }
    if (lines != 1) quarn::fuzz::finding("one dump, more than one index line", index.data(), index.size());
    quarn::fuzz::clear_dir(out_dir_fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    init_once();
    if (size < 1) return 0;
    alignas(8) uint8_t hdr[quarn::LOG_HEADER_SIZE] = {};
    uint8_t numbers[NUMBERS_SIZE] = {};
    size_t pos = 1;
    const size_t hdr_len = std::min(size - pos, sizeof hdr);
    memcpy(hdr, data + pos, hdr_len);
    pos += hdr_len;
    const size_t num_len = std::min(size - pos, sizeof numbers);
    memcpy(numbers, data + pos, num_len);
    pos += num_len;
    char stack_name[STACK_NAME_MAX + 1] = {};
    memcpy(stack_name, data + pos, std::min(size - pos, STACK_NAME_MAX));

    uint8_t hdr_copy[sizeof hdr];
    memcpy(hdr_copy, hdr, sizeof hdr);
    formatter_alone(data, hdr, numbers, stack_name);
    whole_dump(hdr_copy);
    return 0;
}
