// The matrix-product wrapper: c := alpha * a * b^T + beta * c, row-major.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "blas.hpp"
#include "error.hpp"

namespace {

using tavren::AssertionFailure;
using tavren::blas::sgemm_a_bt;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string assertion_text(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const AssertionFailure& e) {
        return e.message();
    }
    return "<no assertion>";
}

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

TEST(Sgemm, ZeroSizesAreHandledWithoutTheLibrary) {
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

// An address range that exists but must never be read: every page faults.
struct Reserved {
    explicit Reserved(size_t floats) : bytes(floats * sizeof(float)) {
        ptr = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    }
    ~Reserved() {
        if (ptr != MAP_FAILED) munmap(ptr, bytes);
    }
    std::span<float> span(size_t floats) const { return {static_cast<float*>(ptr), floats}; }
    size_t bytes;
    void* ptr;
};

TEST(Sgemm, SizesBeyondThe32BitInterfaceAreRefusedBeforeAnyRead) {
    // The library takes 32-bit sizes and leading dimensions; an inner or column
    // dimension above INT_MAX cannot be passed or split, and must be refused
    // rather than truncated.
    const size_t over = size_t{INT_MAX} + 1;
    Reserved region(over);
    if (region.ptr == MAP_FAILED) GTEST_SKIP() << "cannot reserve address space";
    std::vector<float> one(1);
    EXPECT_EQ("SGEMM dimensions exceed i32",
              assertion_text([&] { sgemm_a_bt(1, 1, over, 1.0f, region.span(over), region.span(over), 0.0f, one); }));
    EXPECT_EQ("SGEMM dimensions exceed i32", assertion_text([&] {
                  sgemm_a_bt(1, over, 1, 1.0f, one, region.span(over), 1.0f, region.span(over));
              }));
}

}  // namespace
