// Input bytes for the compressing writers' tests: random bytes that do not
// compress and text-like bytes that do.
#ifndef QUARN_BYTE_PATTERNS_H
#define QUARN_BYTE_PATTERNS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

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

}  // namespace quarn::test

#endif
