// The ways an input stream can end, as one list for the reader driven
// in-process and for the daemon run on a file: each case is a stream made
// of one caller-chosen whole message (536 bytes: the common header and 520
// more), pieces of it and bare common headers, with what the reader must report.
#ifndef QUARN_TEST_STREAM_ENDINGS_H
#define QUARN_TEST_STREAM_ENDINGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_reader.h"

namespace quarn::test {

struct stream_ending {
    const char* name;
    std::vector<uint8_t> stream;
    size_t whole;      // whole messages read before the ending
    size_t skipped;    // messages of type 3 skipped before it
    std::string text;  // the ending's report, "" for a clean end
    int status;        // the daemon's exit status
};

// `whole` must be one message of 536 bytes.
inline std::vector<stream_ending> stream_ending_cases(const std::vector<uint8_t>& whole) {
    auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const std::vector<uint8_t>& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    auto cut = [&whole](size_t n) { return std::vector<uint8_t>(whole.begin(), whole.begin() + n); };
    using build::common_header;
    const std::vector<uint8_t> skipped = common_header(3, COMMON_HEADER_SIZE);
    return {
        {"empty", {}, 0, 0, "", 0},
        {"a whole message", whole, 1, 0, "", 0},
        {"10 header bytes", cut(10), 0, 0,
         "Error reading log header: received 10 bytes, expected 16 bytes\n", 1},
        {"10 header bytes after a whole message", cat({whole, cut(10)}), 1, 0,
         "Error reading log header: received 10 bytes, expected 16 bytes\n", 1},
        {"10 header bytes after a skipped message", cat({skipped, cut(10)}), 0, 1,
         "Error reading log header: received 10 bytes, expected 16 bytes\n", 1},
        {"100 of 520 body bytes after a whole message", cat({whole, cut(COMMON_HEADER_SIZE + 100)}), 1, 0,
         "Error reading log message: received 100 bytes, expected 520 bytes\n", 1},
        {"a header with no body", cut(COMMON_HEADER_SIZE), 0, 0,
         "Error reading log message: received 0 bytes, expected 520 bytes\n", 1},
        // What follows a bad length is never read.
        {"length 8 between whole messages", cat({whole, common_header(TLH_TYPE_BBR, 8), whole}), 1, 0,
         "Error reading log header: invalid message length 8 (at least 16 bytes expected)\n", 1},
        {"length 0 after a whole message", cat({whole, common_header(2, 0)}), 1, 0,
         "Error reading log header: invalid message length 0 (at least 16 bytes expected)\n", 1},
        {"length one above the bound", cat({whole, common_header(TLH_TYPE_BBR, MESSAGE_LENGTH_MAX + 1), whole}),
         1, 0,
         "Error reading log header: invalid message length 268435457 (at most 268435456 bytes "
         "expected)\n",
         1},
        {"length 2^40 after two whole messages",
         cat({whole, whole, common_header(TLH_TYPE_BBR, uint64_t{1} << 40)}), 2, 0,
         "Error reading log header: invalid message length 1099511627776 (at most 268435456 bytes "
         "expected)\n",
         1},
        {"length 2^62", common_header(1, uint64_t{1} << 62), 0, 0,
         "Error reading log header: invalid message length 4611686018427387904 (at most 268435456 "
         "bytes expected)\n",
         1},
        {"length 2^64-1 after a whole message", cat({whole, common_header(1, ~uint64_t{0})}), 1, 0,
         "Error reading log header: invalid message length 18446744073709551615 (at most "
         "268435456 bytes expected)\n",
         1},
    };
}

}  // namespace quarn::test

#endif
