#include <gtest/gtest.h>

#include "blas.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "pool.hpp"

TEST(Smoke, PoolRethrowsAssertionFromTask) {
    EXPECT_THROW(tavren::pool::parallel_for(0, 100, 1, [](size_t lo, size_t) {
        if (lo == 50) tavren::panic("boom {}", lo);
    }), tavren::AssertionFailure);
}

TEST(Smoke, SgemmBetaZeroIgnoresNan) {
    std::vector<float> a{1, 2}, b{3, 4}, c{std::numeric_limits<float>::quiet_NaN()};
    tavren::blas::sgemm_a_bt(1, 1, 2, 1.0f, a, b, 0.0f, c);
    EXPECT_EQ(c[0], 11.0f);
}
