// Input for the compressing writers' tests: random bytes that do not
// compress, text-like bytes that do, and the gather-list shapes every
// writer must carry through unchanged.
#ifndef QUARN_BYTE_PATTERNS_H
#define QUARN_BYTE_PATTERNS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/uio.h>

namespace quarn::test {

inline std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t r = gen();
        memcpy(v.data() + i, &r, std::min<size_t>(8, n - i));
    }
    return v;
}

inline std::vector<uint8_t> compressible_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>("tcp black box log "[i % 18] + (i / 4096) % 3);
    return v;
}

// A sequence of gather lists over one source: entry lengths per list.
struct round_trip_case {
    const char* name;
    std::vector<std::vector<size_t>> lists;
    bool incompressible;

    size_t total() const {
        size_t n = 0;
        for (const auto& list : lists)
            for (size_t len : list) n += len;
        return n;
    }
    std::vector<uint8_t> source() const {
        return incompressible ? random_bytes(total(), 7) : compressible_bytes(total());
    }
    // The lists as gather lists over `source`, in order.
    std::vector<std::vector<struct iovec>> gather(const std::vector<uint8_t>& source) const {
        std::vector<std::vector<struct iovec>> out;
        size_t at = 0;
        for (const auto& list : lists) {
            out.emplace_back();
            for (size_t len : list) {
                out.back().push_back({const_cast<uint8_t*>(source.data() + at), len});
                at += len;
            }
        }
        return out;
    }
};

// Empty lists and entries, tiny and many small entries, and entries that
// fill the 2 MiB output buffer in their middle.
inline std::vector<round_trip_case> round_trip_cases() {
    const std::vector<size_t> many_small(40, 3);
    return {
        {"no_blocks", {}, false},
        {"one_byte", {{1}}, false},
        {"empty_entries_between", {{0, 5, 0}, {4096, 1, 0, 77}, {0}, {65536, 3}}, false},
        {"many_small_entries", {many_small, many_small, {0, 0, 0}, many_small}, false},
        {"blocks_across_flushes", {{3000000, 17, 0}, {1500000}, {0, 900000, 5}}, true},
    };
}

inline int list_total(const std::vector<struct iovec>& iov) {
    size_t n = 0;
    for (const struct iovec& e : iov) n += e.iov_len;
    return static_cast<int>(n);
}

}  // namespace quarn::test

#endif
