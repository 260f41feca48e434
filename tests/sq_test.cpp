// The scalar quantizer: residual bounds, the exact rounding of both encoder
// paths, degenerate and out-of-range values, decoding error, and the
// assertions on its inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "distance.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "sq.hpp"

using tavren::sq::ScalarQuantizer;
using tavren::testing::RestoreDetection;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Codes of `rows` consecutive rows of data, encoded with q against `centroid`.
std::vector<uint8_t> encode_all(const ScalarQuantizer& q, const std::vector<float>& data,
                                const std::vector<float>& centroid) {
    const size_t d = centroid.size();
    const size_t n = data.size() / d;
    std::vector<size_t> rows(n);
    for (size_t i = 0; i < n; ++i) rows[i] = i;
    std::vector<uint8_t> out(n * d);
    q.encode_residual_rows(data, rows, centroid, out);
    return out;
}

// Both encoder paths, the vector one first (the same as the scalar one on a
// processor without AVX2).
struct BothPaths {
    std::vector<uint8_t> vector;
    std::vector<uint8_t> scalar;
};

BothPaths encode_both(const ScalarQuantizer& q, const std::vector<float>& data, const std::vector<float>& centroid) {
    RestoreDetection restore;
    BothPaths out;
    tavren::distance::force_scalar_for_testing(false);
    out.vector = encode_all(q, data, centroid);
    tavren::distance::force_scalar_for_testing(true);
    out.scalar = encode_all(q, data, centroid);
    return out;
}

}  // namespace

TEST(ScalarQuantizer, NewHasZeroBounds) {
    const ScalarQuantizer q(3);
    EXPECT_EQ(q.dimension(), 3u);
    EXPECT_EQ(q.mins(), std::vector<float>(3, 0.0f));
    EXPECT_EQ(q.maxs(), std::vector<float>(3, 0.0f));
}

TEST(ScalarQuantizer, WithDimensionBoundsAssertsLengths) {
    EXPECT_NE(tavren::testing::assertion_text([] { ScalarQuantizer::with_dimension_bounds(2, {0.0f}, {1.0f, 2.0f}); }),
              "<no assertion>");
    EXPECT_NE(tavren::testing::assertion_text([] { ScalarQuantizer::with_dimension_bounds(2, {0.0f, 1.0f}, {1.0f}); }),
              "<no assertion>");
    const ScalarQuantizer q = ScalarQuantizer::with_dimension_bounds(2, {-1.0f, 0.0f}, {1.0f, 2.0f});
    EXPECT_EQ(q.maxs()[1], 2.0f);
}

TEST(ScalarQuantizer, TrainsResidualBoundsOfTheChosenRowsOnBothPaths) {
    // Dimension 11: the vector fold takes 8 dimensions, the scalar tail 3.
    const size_t d = 11;
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    std::vector<float> data(20 * d);
    for (float& v : data) v = u(gen);
    std::vector<float> centroid(d);
    for (float& v : centroid) v = u(gen);
    const std::vector<size_t> rows = {3, 17, 5, 5, 0};

    std::vector<float> mins(d, kInf), maxs(d, -kInf);
    for (size_t r : rows) {
        for (size_t j = 0; j < d; ++j) {
            mins[j] = std::min(mins[j], data[r * d + j] - centroid[j]);
            maxs[j] = std::max(maxs[j], data[r * d + j] - centroid[j]);
        }
    }
    RestoreDetection restore;
    for (bool scalar : {false, true}) {
        tavren::distance::force_scalar_for_testing(scalar);
        const ScalarQuantizer q = ScalarQuantizer::train_residual_rows(data, rows, centroid);
        EXPECT_EQ(q.dimension(), d);
        EXPECT_EQ(q.mins(), mins) << scalar;
        EXPECT_EQ(q.maxs(), maxs) << scalar;
    }

    // No rows: +inf minima, -inf maxima. A position past the data asserts.
    const ScalarQuantizer empty = ScalarQuantizer::train_residual_rows(data, {}, centroid);
    EXPECT_EQ(empty.mins(), std::vector<float>(d, kInf));
    EXPECT_EQ(empty.maxs(), std::vector<float>(d, -kInf));
    const std::vector<size_t> past = {20};
    EXPECT_NE(tavren::testing::assertion_text([&] { ScalarQuantizer::train_residual_rows(data, past, centroid); }),
              "<no assertion>");
}

TEST(ScalarQuantizer, RowsEqualToTheCentroidGiveZeroBoundsAndZeroCodes) {
    const std::vector<float> centroid = {1.5f, -2.0f, 0.0f, 7.0f, 1, 2, 3, 4, 5};
    std::vector<float> data;
    for (int i = 0; i < 3; ++i) data.insert(data.end(), centroid.begin(), centroid.end());
    const std::vector<size_t> rows = {0, 1, 2};
    const ScalarQuantizer q = ScalarQuantizer::train_residual_rows(data, rows, centroid);
    EXPECT_EQ(q.mins(), std::vector<float>(9, 0.0f));
    EXPECT_EQ(q.maxs(), std::vector<float>(9, 0.0f));
    std::vector<float> other(9, 100.0f);
    const BothPaths codes = encode_both(q, other, centroid);
    EXPECT_EQ(codes.vector, std::vector<uint8_t>(9, 0));
    EXPECT_EQ(codes.scalar, std::vector<uint8_t>(9, 0));
}

TEST(ScalarQuantizer, CodesForBoundsMinusOneToOne) {
    // Eight dimensions so the vector path encodes them; every dimension has
    // the bounds [-1, 1] and a zero centroid.
    const size_t d = 8;
    const ScalarQuantizer q =
        ScalarQuantizer::with_dimension_bounds(d, std::vector<float>(d, -1.0f), std::vector<float>(d, 1.0f));
    const std::vector<float> centroid(d, 0.0f);
    const struct {
        float x;
        uint8_t code;
    } cases[] = {{-1.0f, 0}, {0.0f, 128}, {1.0f, 255}, {5.0f, 255}, {-5.0f, 0}, {0.5f, 191},
                 {-0.5f, 64}, {1e30f, 255}, {-1e30f, 0}, {std::numeric_limits<float>::max(), 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x);
        const BothPaths codes = encode_both(q, std::vector<float>(d, c.x), centroid);
        EXPECT_EQ(codes.vector, std::vector<uint8_t>(d, c.code));
        EXPECT_EQ(codes.scalar, std::vector<uint8_t>(d, c.code));
    }
    // The residual, not the value: a centroid of 1 moves 1 to code 128.
    const BothPaths shifted = encode_both(q, std::vector<float>(d, 1.0f), std::vector<float>(d, 1.0f));
    EXPECT_EQ(shifted.scalar, std::vector<uint8_t>(d, 128));
    EXPECT_EQ(shifted.vector, std::vector<uint8_t>(d, 128));
}

TEST(ScalarQuantizer, DegenerateDimensionEncodesZero) {
    // Dimension 9: dimension 2 has bounds [3, 3] (vector path), dimension 8
    // [0, 0] (scalar tail); the others [0, 10].
    std::vector<float> mins(9, 0.0f), maxs(9, 10.0f);
    mins[2] = maxs[2] = 3.0f;
    maxs[8] = 0.0f;
    const ScalarQuantizer q = ScalarQuantizer::with_dimension_bounds(9, mins, maxs);
    const std::vector<float> centroid(9, 0.0f);
    for (float x : {-1e30f, 0.0f, 3.0f, 1e30f}) {
        const BothPaths codes = encode_both(q, std::vector<float>(9, x), centroid);
        EXPECT_EQ(codes.vector[2], 0) << x;
        EXPECT_EQ(codes.scalar[2], 0) << x;
        EXPECT_EQ(codes.vector[8], 0) << x;
        EXPECT_EQ(codes.scalar[8], 0) << x;
    }
}

// Dimension 13 on random data: dimensions 0..7 take the vector path where
// there is one, 8..12 the scalar path; the two agree everywhere except at a
// value whose two scalings fall on different sides of a half-way point.
TEST(ScalarQuantizer, VectorAndScalarPathsAgreeExceptAtTies) {
    const size_t d = 13, n = 4000;
    std::mt19937 gen(42);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    std::vector<float> mins(d), maxs(d), centroid(d);
    for (size_t j = 0; j < d; ++j) {
        mins[j] = -1.0f - static_cast<float>(j) * 0.1f;
        maxs[j] = 0.5f + static_cast<float>(j) * 0.37f;
        centroid[j] = u(gen) * 0.1f;
    }
    // Also exact half-way values of the scalar formula.
    std::vector<float> data(n * d);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < d; ++j) {
            float v = u(gen);
            if (i % 10 == 0) {
                v = centroid[j] + mins[j] + (maxs[j] - mins[j]) * (static_cast<float>(i % 255) + 0.5f) / 255.0f;
            }
            data[i * d + j] = v;
        }
    }
    const ScalarQuantizer q = ScalarQuantizer::with_dimension_bounds(d, mins, maxs);
    const BothPaths codes = encode_both(q, data, centroid);
    size_t differ = 0, differ_random = 0;
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < d; ++j) {
            const uint8_t a = codes.vector[i * d + j], b = codes.scalar[i * d + j];
            // The scalar formula, written out in the test.
            const float x = data[i * d + j];
            float v = (((x - centroid[j]) - mins[j]) * 255.0f) / (maxs[j] - mins[j]);
            v = std::fmin(std::fmax(v, 0.0f), 255.0f);
            EXPECT_EQ(b, static_cast<uint8_t>(std::round(v)));
            if (a == b) continue;
            ++differ;
            if (i % 10 != 0) ++differ_random;
            EXPECT_LT(j, 8u) << "the tail dimensions take the scalar formula";
            EXPECT_EQ(std::abs(int{a} - int{b}), 1);
            // Within a few roundings of a half-way point.
            EXPECT_LT(std::fabs(v - std::floor(v) - 0.5f), 1e-4f) << v;
        }
    }
    // Away from constructed ties only a tiny share differs, and nothing does
    // on a processor without AVX2.
    EXPECT_LT(differ_random, n * d / 1000);
    if (!tavren::distance::avx2_available()) {
        EXPECT_EQ(differ, 0u);
    }
}

// Decoding a code gives the residual's range point within half a step of the
// original value, on both paths.
TEST(ScalarQuantizer, DecodedValuesLieWithinHalfAStep) {
    const size_t d = 19, n = 500;
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> u(-20.0f, 20.0f);
    std::vector<float> data(n * d);
    for (float& v : data) v = u(gen);
    std::vector<float> centroid(d);
    for (float& v : centroid) v = u(gen) * 0.1f;
    std::vector<size_t> rows(n);
    for (size_t i = 0; i < n; ++i) rows[i] = i;
    const ScalarQuantizer q = ScalarQuantizer::train_residual_rows(data, rows, centroid);
    const BothPaths codes = encode_both(q, data, centroid);
    std::vector<float> decoded(d);
    for (const std::vector<uint8_t>* path : {&codes.vector, &codes.scalar}) {
        for (size_t i = 0; i < n; ++i) {
            q.decode_row(std::span<const uint8_t>(*path).subspan(i * d, d), centroid, decoded);
            for (size_t j = 0; j < d; ++j) {
                const float step = (q.maxs()[j] - q.mins()[j]) * tavren::sq::kInv255;
                EXPECT_LE(std::fabs(decoded[j] - data[i * d + j]), step * 0.5f * 1.001f + 1e-5f) << i << " " << j;
            }
        }
    }
}

TEST(ScalarQuantizer, EncodeAssertsItsShapes) {
    const ScalarQuantizer q = ScalarQuantizer::with_dimension_bounds(2, {0, 0}, {1, 1});
    const std::vector<float> data = {0.5f, 0.5f, 0.25f, 0.75f};
    const std::vector<float> centroid = {0.0f, 0.0f};
    const std::vector<size_t> rows = {0, 1};
    std::vector<uint8_t> short_out(3);
    EXPECT_NE(tavren::testing::assertion_text([&] { q.encode_residual_rows(data, rows, centroid, short_out); }),
              "<no assertion>");
    std::vector<uint8_t> out(4);
    const std::vector<float> bad_centroid = {0.0f};
    EXPECT_NE(tavren::testing::assertion_text([&] { q.encode_residual_rows(data, rows, bad_centroid, out); }),
              "<no assertion>");
    const std::vector<size_t> past = {2};
    std::vector<uint8_t> one(2);
    EXPECT_NE(tavren::testing::assertion_text([&] { q.encode_residual_rows(data, past, centroid, one); }),
              "<no assertion>");
    const ScalarQuantizer empty(0);
    std::vector<uint8_t> none;
    const std::vector<size_t> no_rows;
    EXPECT_NE(tavren::testing::assertion_text(
                  [&] { empty.encode_residual_rows(data, no_rows, std::span<const float>(), none); }),
              "<no assertion>");
    q.encode_residual_rows(data, rows, centroid, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{128, 128, 64, 191}));
}

TEST(ScalarQuantizer, BoundsFoldMatchesOnBothPaths) {
    const size_t d = 17, n = 33;
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> u(-5.0f, 5.0f);
    std::vector<float> data(n * d);
    for (float& v : data) v = u(gen);
    RestoreDetection restore;
    std::vector<float> results[2][2];
    for (int scalar = 0; scalar < 2; ++scalar) {
        tavren::distance::force_scalar_for_testing(scalar != 0);
        std::vector<float> mins(d, kInf), maxs(d, -kInf);
        tavren::sq::update_bounds_batch(data, n, d, mins, maxs);
        results[scalar][0] = mins;
        results[scalar][1] = maxs;
    }
    EXPECT_EQ(results[0][0], results[1][0]);
    EXPECT_EQ(results[0][1], results[1][1]);
    for (size_t j = 0; j < d; ++j) {
        float lo = kInf, hi = -kInf;
        for (size_t i = 0; i < n; ++i) {
            lo = std::min(lo, data[i * d + j]);
            hi = std::max(hi, data[i * d + j]);
        }
        EXPECT_EQ(results[1][0][j], lo);
        EXPECT_EQ(results[1][1][j], hi);
    }
}
