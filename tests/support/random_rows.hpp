// Seeded test data: rows of independent standard normal values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tavren::testing {

// n rows of d values drawn from N(0, 1) with std::mt19937(seed).
inline std::vector<float> gaussian_rows(size_t n, size_t d, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> out(n * d);
    for (float& v : out) v = nd(g);
    return out;
}

}  // namespace tavren::testing
