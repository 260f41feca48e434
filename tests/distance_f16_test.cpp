// binary16 conversions: golden values, the scalar forms against the F16C
// path over every half and a dense sweep of floats, and both dispatch paths.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <limits>
#include <vector>

#include "distance.hpp"
#include "guards.hpp"

using namespace tavren::distance;
using tavren::testing::RestoreDetection;

namespace {

uint16_t via_span(float v) {
    uint16_t h = 0;
    f32_to_f16(std::span<const float>(&v, 1), std::span<uint16_t>(&h, 1));
    return h;
}

}  // namespace

TEST(F16, GoldenConversions) {
    RestoreDetection restore;
    for (bool scalar : {true, false}) {
        SCOPED_TRACE(scalar);
        force_scalar_for_testing(scalar);
        const struct {
            float in;
            uint16_t out;
        } cases[] = {
            {0.0f, 0x0000},
            {-0.0f, 0x8000},
            {1.0f, 0x3C00},
            {-2.0f, 0xC000},
            {1.0f / 3.0f, 0x3555},
            {65504.0f, 0x7BFF},
            {65519.0f, 0x7BFF},
            {65520.0f, 0x7C00},  // rounds to infinity
            {1e9f, 0x7C00},
            {-std::numeric_limits<float>::infinity(), 0xFC00},
            {std::ldexp(1.0f, -24), 0x0001},          // smallest subnormal
            {std::ldexp(1.0f, -25), 0x0000},          // halfway: ties to even (0)
            {std::ldexp(1.5f, -25), 0x0001},          // above halfway
            {std::ldexp(3.0f, -25), 0x0002},          // 1.5 subnormal steps: ties to even (2)
            {std::ldexp(1.0f, -14), 0x0400},          // smallest normal
            {std::ldexp(1023.0f, -24), 0x03FF},       // largest subnormal
            {1.0f + std::ldexp(1.0f, -11), 0x3C00},   // halfway: ties to even
            {1.0f + std::ldexp(3.0f, -11), 0x3C02},   // halfway: ties to even (up)
            {std::bit_cast<float>(0x7FC00000u), 0x7E00},
            {std::bit_cast<float>(0xFF800001u), 0xFE00},  // signalling NaN comes back quiet
            {std::bit_cast<float>(0x7FAAAAAAu), 0x7F55},
        };
        for (const auto& c : cases) {
            EXPECT_EQ(via_span(c.in), c.out) << c.in;
            EXPECT_EQ(f32_to_f16_bits(c.in), c.out) << c.in;
        }
    }
}

TEST(F16, EveryHalfWidensExactlyOnBothPaths) {
    RestoreDetection restore;
    std::vector<uint16_t> halves(65536);
    for (uint32_t h = 0; h < 65536; ++h) halves[h] = static_cast<uint16_t>(h);
    std::vector<float> fast(65536), scalar(65536);
    force_scalar_for_testing(false);
    f16_to_f32(halves, fast);
    force_scalar_for_testing(true);
    f16_to_f32(halves, scalar);
    std::vector<uint16_t> back(65536);
    f32_to_f16(scalar, back);
    for (uint32_t h = 0; h < 65536; ++h) {
        ASSERT_EQ(std::bit_cast<uint32_t>(scalar[h]), std::bit_cast<uint32_t>(fast[h])) << h;
        ASSERT_EQ(std::bit_cast<uint32_t>(scalar[h]), std::bit_cast<uint32_t>(f16_bits_to_f32(halves[h]))) << h;
        const bool nan = (h & 0x7C00) == 0x7C00 && (h & 0x03FF) != 0;
        // Finite and infinite halves come back unchanged; NaNs come back quiet.
        ASSERT_EQ(back[h], nan ? (h | 0x0200) : h) << h;
    }
    if (f16c_available()) {
        force_scalar_for_testing(false);
        EXPECT_TRUE(f16c_enabled());
    }
}

TEST(F16, ScalarNarrowingMatchesTheInstructionOverASweep) {
    if (!f16c_available()) GTEST_SKIP() << "no F16C on this processor";
    RestoreDetection restore;
    // Every float whose bits are a multiple of 997, and the neighbours of every
    // rounding boundary of the normal halves.
    std::vector<float> inputs;
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 997) inputs.push_back(std::bit_cast<float>(uint32_t(bits)));
    for (uint32_t h = 0; h < 0x7C00; ++h) {
        const uint32_t f = std::bit_cast<uint32_t>(f16_bits_to_f32(static_cast<uint16_t>(h)));
        for (uint32_t delta : {0x0FFFu, 0x1000u, 0x1001u}) {
            inputs.push_back(std::bit_cast<float>(f + delta));
            inputs.push_back(std::bit_cast<float>((f + delta) | 0x80000000u));
        }
    }
    std::vector<uint16_t> fast(inputs.size()), scalar(inputs.size());
    force_scalar_for_testing(false);
    f32_to_f16(inputs, fast);
    force_scalar_for_testing(true);
    f32_to_f16(inputs, scalar);
    for (size_t i = 0; i < inputs.size(); ++i) {
        ASSERT_EQ(scalar[i], fast[i]) << std::bit_cast<uint32_t>(inputs[i]);
    }
}

// The in-place f16 record distance against widening the record and taking
// fvec_l2sqr: every length around the eight-value steps, values that include
// subnormal and large halves, and a non-finite half in the vector part and in
// the tail.
TEST(F16, RecordL2IsTheWidenedL2BitForBit) {
    if (!avx2_enabled() || !f16c_enabled()) GTEST_SKIP() << "needs AVX2 and F16C";
    uint32_t state = 12345;
    const auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (const size_t n : {8u, 9u, 15u, 16u, 17u, 31u, 100u, 784u, 1024u}) {
        SCOPED_TRACE(n);
        std::vector<float> query(n);
        std::vector<uint16_t> half(n);
        for (size_t i = 0; i < n; ++i) {
            query[i] = static_cast<float>(static_cast<int>(next() % 20001) - 10000) / 97.0f;
            // Finite halves only: exponents 0 (zero and subnormal) to 30.
            half[i] = static_cast<uint16_t>((next() & 0x83FFu) | ((next() % 31u) << 10));
        }
        std::vector<uint8_t> record(2 * n);
        std::memcpy(record.data(), half.data(), record.size());
        std::vector<float> wide(n);
        f16_to_f32(half, wide);
        const RecordDistance got = fvec_l2sqr_f16_record(query, record);
        EXPECT_TRUE(got.finite);
        EXPECT_EQ(std::bit_cast<uint32_t>(got.distance), std::bit_cast<uint32_t>(fvec_l2sqr(query, wide)));

        for (const size_t at : {size_t{0}, n - 1}) {
            for (const uint16_t bad : {uint16_t{0x7C00}, uint16_t{0xFC00}, uint16_t{0x7E01}}) {
                std::vector<uint8_t> broken = record;
                std::memcpy(broken.data() + 2 * at, &bad, 2);
                EXPECT_FALSE(fvec_l2sqr_f16_record(query, broken).finite) << at << " " << bad;
            }
        }
    }
}
