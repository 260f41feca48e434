// The matrix-product wrapper: c := alpha * a * b^T + beta * c, row-major.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "blas.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"

namespace {

using tavren::AssertionFailure;
using tavren::blas::sgemm_a_bt;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using tavren::testing::assertion_text;

// Small integers: every product and sum is exact in f32, so any summation
// order gives the same bits and results can be compared exactly.
std::vector<float> small_ints(size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> d(-8, 8);
    std::vector<float> v(n);
    for (auto& x : v) x = static_cast<float>(d(rng));
    return v;
}

TEST(Sgemm, ShapesAndScalarsAgainstANaiveProduct) {
    struct Case {
        size_t m, n, k;
    };
    const Case shapes[] = {{1, 1, 1}, {1, 9, 4}, {5, 7, 3}, {3, 1, 17}, {17, 33, 65}, {64, 2, 300}, {2, 130, 8}};
    const float scalars[][2] = {{1.0f, 0.0f}, {2.0f, 0.5f}, {-1.0f, 1.0f}, {0.5f, -2.0f}, {0.0f, 1.0f}};
    std::mt19937 rng(1);
    for (const Case& s : shapes) {
        for (const auto& ab : scalars) {
            const float alpha = ab[0], beta = ab[1];
            SCOPED_TRACE(testing::Message() << s.m << "x" << s.n << "x" << s.k << " alpha " << alpha << " beta "
                                            << beta);
            // Longer inputs than needed: only the leading values are used.
            auto a = small_ints(s.m * s.k + 3, rng);
            auto b = small_ints(s.n * s.k + 5, rng);
            auto c = small_ints(s.m * s.n + 4, rng);
            auto expected = c;
            for (size_t i = 0; i < s.m; ++i) {
                for (size_t j = 0; j < s.n; ++j) {
                    double dot = 0.0;
                    for (size_t p = 0; p < s.k; ++p) dot += double(a[i * s.k + p]) * double(b[j * s.k + p]);
                    expected[i * s.n + j] = static_cast<float>(alpha * dot + beta * double(c[i * s.n + j]));
                }
            }
            sgemm_a_bt(s.m, s.n, s.k, alpha, a, b, beta, c);
            EXPECT_EQ(expected, c);
        }
    }
}

TEST(Sgemm, BetaZeroNeverReadsC) {
    std::mt19937 rng(2);
    for (size_t m : {1u, 3u}) {
        for (size_t k : {0u, 1u, 6u}) {
            auto a = small_ints(m * k, rng);
            auto b = small_ints(4 * k, rng);
            std::vector<float> c(m * 4, kNaN);
            sgemm_a_bt(m, 4, k, 1.0f, a, b, 0.0f, c);
            for (size_t i = 0; i < m; ++i) {
                for (size_t j = 0; j < 4; ++j) {
                    float dot = 0.0f;
                    for (size_t p = 0; p < k; ++p) dot += a[i * k + p] * b[j * k + p];
                    EXPECT_EQ(dot, c[i * 4 + j]) << "m " << m << " k " << k;
                }
            }
        }
    }
    // Also -0.0 as beta counts as zero.
    std::vector<float> a = {1, 2}, b = {3, 4}, c = {kNaN};
    sgemm_a_bt(1, 1, 2, 1.0f, a, b, -0.0f, c);
    EXPECT_EQ(11.0f, c[0]);
}

TEST(Sgemm, ZeroSizes) {
    const std::vector<float> none;
    // m = 0 or n = 0: nothing to compute, c is not touched.
    std::vector<float> c = {7.0f, kNaN};
    sgemm_a_bt(0, 5, 3, 1.0f, none, std::vector<float>(15, 1.0f), 0.0f, c);
    sgemm_a_bt(4, 0, 3, 1.0f, std::vector<float>(12, 1.0f), none, 0.0f, c);
    sgemm_a_bt(0, 0, 0, 1.0f, none, none, 2.0f, c);
    EXPECT_EQ(7.0f, c[0]);
    EXPECT_TRUE(std::isnan(c[1]));
    // k = 0: the product is empty, so c := beta * c (zeros for beta 0).
    struct Case {
        float beta;
        float expected0;
    };
    for (Case cs : {Case{0.0f, 0.0f}, Case{1.0f, 3.0f}, Case{2.0f, 6.0f}, Case{-0.5f, -1.5f}}) {
        std::vector<float> cc = {3.0f, 3.0f, 3.0f, 3.0f, 9.0f};
        sgemm_a_bt(2, 2, 0, 5.0f, none, none, cs.beta, cc);
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(cs.expected0, cc[i]) << "beta " << cs.beta;
        EXPECT_EQ(9.0f, cc[4]);  // past m * n: untouched
    }
    std::vector<float> nan_c(4, kNaN);
    sgemm_a_bt(2, 2, 0, 1.0f, none, none, 0.0f, nan_c);
    for (float v : nan_c) EXPECT_EQ(0.0f, v);
}

TEST(Sgemm, ShapeFaultsAreAssertionsInOrder) {
    const std::vector<float> none;
    std::vector<float> c;
    const size_t big = size_t{1} << 63;
    struct Case {
        size_t m, n, k;
        size_t a_len, b_len, c_len;
        const char* message;
    };
    const Case cases[] = {
        {1, big, 1, 0, 0, 0, "SGEMM dimensions exceed isize"},
        {1, 1, big, 0, 0, 0, "SGEMM dimensions exceed isize"},
        {size_t{1} << 40, 0, size_t{1} << 30, 0, 0, 0, "a shape overflows usize"},
        {0, size_t{1} << 40, size_t{1} << 30, 0, 0, 0, "b shape overflows usize"},
        {size_t{1} << 40, size_t{1} << 30, 0, 0, 0, 0, "c shape overflows usize"},
        {2, 3, 4, 7, 12, 6, "a is shorter than m * k"},
        {2, 3, 4, 8, 11, 6, "b is shorter than n * k"},
        {2, 3, 4, 8, 12, 5, "c is shorter than m * n"},
        // With m = 0 the length checks still run first.
        {0, 3, 4, 0, 11, 0, "b is shorter than n * k"},
    };
    for (const Case& cs : cases) {
        std::vector<float> a(cs.a_len), b(cs.b_len), cc(cs.c_len);
        EXPECT_EQ(cs.message, assertion_text([&] { sgemm_a_bt(cs.m, cs.n, cs.k, 1.0f, a, b, 0.0f, cc); }));
    }
}

// The element rule every path follows: the 8-lane order of the distance
// kernels over k, then alpha and beta in two roundings.
float element(const float* a, const float* b, size_t k, float alpha, float beta, float c) {
    float lane[8] = {};
    size_t p = 0;
    for (; p + 8 <= k; p += 8)
        for (size_t t = 0; t < 8; ++t) lane[t] += a[p + t] * b[p + t];
    float s = ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
    for (; p < k; ++p) s += a[p] * b[p];
    const float prod = alpha * s;
    return beta == 0.0f ? prod : prod + beta * c;
}

std::vector<float> mixed(size_t n, std::mt19937& rng) {
    std::normal_distribution<float> d(0.0f, 1.0f);
    std::uniform_int_distribution<int> e(-30, 30);
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = std::ldexp(d(rng), e(rng));
    return v;
}

using tavren::testing::RestoreDetection;

TEST(Sgemm, EveryElementFollowsTheEightLaneOrderOnBothPaths) {
    RestoreDetection restore;
    std::mt19937 rng(4);
    // Row counts around the tiles of two and three rows, column counts
    // around tiles of three, four and eight, lengths on both sides of the
    // short-row kernel (32), and 45 rows of 800 values, which cross a block
    // of rows held in the second-level cache.
    struct Shape {
        std::vector<size_t> ms, ns, ks;
    };
    const Shape shapes[] = {{{1u, 2u, 3u, 4u, 5u, 7u}, {1u, 3u, 4u, 7u, 8u, 9u, 13u, 17u}, {1u, 7u, 8u, 9u, 16u, 31u, 32u, 41u, 100u}},
                            {{45u}, {2u, 7u}, {800u}}};
    for (const Shape& shape : shapes) {
        for (size_t m : shape.ms) {
            for (size_t n : shape.ns) {
                for (size_t k : shape.ks) {
                    auto a = mixed(m * k, rng);
                    auto b = mixed(n * k, rng);
                    auto c0 = mixed(m * n, rng);
                    for (float beta : {0.0f, 0.75f}) {
                        for (bool scalar : {false, true}) {
                            tavren::distance::force_scalar_for_testing(scalar);
                            auto c = c0;
                            sgemm_a_bt(m, n, k, 1.5f, a, b, beta, c);
                            for (size_t i = 0; i < m; ++i) {
                                for (size_t j = 0; j < n; ++j) {
                                    const float want = element(&a[i * k], &b[j * k], k, 1.5f, beta, c0[i * n + j]);
                                    ASSERT_EQ(std::bit_cast<uint32_t>(want), std::bit_cast<uint32_t>(c[i * n + j]))
                                        << m << "x" << n << "x" << k << " beta " << beta << " scalar " << scalar
                                        << " at " << i << "," << j;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(Sgemm, SplittingAProductIntoSmallerCallsChangesNoBit) {
    std::mt19937 rng(5);
    const size_t m = 11, n = 37, k = 45;
    auto a = mixed(m * k, rng);
    auto b = mixed(n * k, rng);
    std::vector<float> whole(m * n);
    sgemm_a_bt(m, n, k, 1.0f, a, b, 0.0f, whole);
    for (size_t i = 0; i < m; ++i) {
        // One row of a against one row of b at a time.
        for (size_t j = 0; j < n; ++j) {
            float one = kNaN;
            sgemm_a_bt(1, 1, k, 1.0f, std::span<const float>(a).subspan(i * k, k),
                       std::span<const float>(b).subspan(j * k, k), 0.0f, std::span<float>(&one, 1));
            ASSERT_EQ(std::bit_cast<uint32_t>(whole[i * n + j]), std::bit_cast<uint32_t>(one)) << i << "," << j;
        }
    }
}

TEST(Sgemm, ConcurrentCallersGetTheirOwnResults) {
    // Products running on many threads at once must not share work memory:
    // each thread's result equals the one computed alone.
    std::mt19937 rng(6);
    const size_t m = 48, n = 200, k = 96;
    auto a = mixed(m * k, rng);
    auto b = mixed(n * k, rng);
    std::vector<float> alone(m * n);
    sgemm_a_bt(m, n, k, 1.0f, a, b, 0.0f, alone);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> c(m * n);
            for (int it = 0; it < 150; ++it) {
                // Alternate shapes so that calls of different sizes overlap.
                if ((it + t) % 2 == 0) {
                    sgemm_a_bt(m, n, k, 1.0f, a, b, 0.0f, c);
                    if (c != alone) mismatches.fetch_add(1);
                } else {
                    std::vector<float> row(n);
                    sgemm_a_bt(1, n, k, 1.0f, std::span<const float>(a).subspan(0, k), b, 0.0f, row);
                    if (!std::equal(row.begin(), row.end(), alone.begin())) mismatches.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, mismatches.load());
}

}  // namespace
