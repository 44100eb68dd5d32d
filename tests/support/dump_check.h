// Readers for what the dump processing produces, shared by the in-process
// and the end-to-end dump tests: a pcapng block walker, the index lines
// parsed by python3's json module, and a capture read back by tshark.
#ifndef QUARN_DUMP_CHECK_H
#define QUARN_DUMP_CHECK_H

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace quarn::test {

// Stack ids the dump tests name, and the names they get.
inline constexpr uint8_t STACK_A = 1;  // "alpha"
inline constexpr uint8_t STACK_B = 2;  // "bravo"

// Gives STACK_A and STACK_B their names in the table and unsets
// QUARN_SYSCTL_DIR, so a reload on a miss leaves the table as set here.
void name_test_stacks();

// Once per process, what in-process dump tests need before their first dump:
// the test stacks named.
void prepare_dump_globals();

struct pcap_block {
    uint32_t type = 0;
    uint32_t length = 0;
    uint32_t subtype = 0;  // custom blocks (0xBAD) only
    size_t offset = 0;     // in the file
};

// The blocks of a pcapng file in order. Every block is checked for a length
// that is a multiple of 4, at least 12, inside the file and repeated in its
// trailer; `error` names the first violation (empty when the file is sound,
// the blocks up to the violation are returned).
std::vector<pcap_block> walk_blocks(const std::vector<uint8_t>& file, std::string* error);

// The file's blocks after the section header and interface description as
// "P" (enhanced packet), "E" (event block), "G<count>" (gap block) or "?<type>",
// blank-separated; "!" plus the reason when the file does not start with the
// two header blocks or a block is malformed.
std::string block_summary(const std::vector<uint8_t>& file);

// Enhanced packet blocks plus event blocks: the records a file holds.
uint32_t record_blocks(const std::vector<uint8_t>& file);

// One member of a JSON object: its type ('s' string, 'n' number, 'b' true
// or false, 'o' anything else) and, for strings, the decoded bytes; for
// numbers the literal text as written in the line; for the other types the
// JSON text python gives for the value.
struct json_value {
    char type = 0;
    std::string text;
    bool operator==(const json_value&) const = default;
};
void PrintTo(const json_value& v, std::ostream* os);
using json_object = std::map<std::string, json_value>;

struct json_lines_options {
    // When not empty, every object must have exactly these keys in this
    // order (a duplicate or a missing key fails too).
    std::vector<std::string> keys;
    // Reject bytes that are not UTF-8; by default they are carried through
    // unchanged (file names keep the identifier's bytes).
    bool strict_utf8 = false;
};

// Parses every newline-terminated line of `text` as one JSON object with
// python3's json module (NaN and Infinity are refused, as JSON has none).
// On any parse failure, a violation of `opts`, or text that does not end
// in a newline, returns false and puts python's complaint in `error`.
bool parse_json_lines(const std::string& text, std::vector<json_object>* out, std::string* error,
                      const json_lines_options& opts = {});

// Reads a capture with tshark (one field per frame). Returns the number of
// frames, or -1 when tshark exited non-zero or wrote anything but frame
// numbers; `output` gets what it printed.
int tshark_frames(const std::string& path, std::string* output);

}  // namespace quarn::test

#endif
