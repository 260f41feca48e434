#include "blas.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>

#include <cblas.h>

#include "error.hpp"
#include "numeric.hpp"

namespace tavren::blas {

void sgemm_a_bt(size_t m, size_t n, size_t k, float alpha, std::span<const float> a,
                std::span<const float> b, float beta, std::span<float> c) {
    constexpr size_t kIsizeMax = static_cast<size_t>(std::numeric_limits<int64_t>::max());
    if (n > kIsizeMax || k > kIsizeMax) panic("SGEMM dimensions exceed isize");
    auto mk = checked_mul(m, k);
    if (!mk) panic("a shape overflows usize");
    auto nk = checked_mul(n, k);
    if (!nk) panic("b shape overflows usize");
    auto mn = checked_mul(m, n);
    if (!mn) panic("c shape overflows usize");
    if (a.size() < *mk) panic("a is shorter than m * k");
    if (b.size() < *nk) panic("b is shorter than n * k");
    if (c.size() < *mn) panic("c is shorter than m * n");
    if (m == 0 || n == 0) return;

    float* cp = c.data();
    if (beta == 0.0f) {
        // Never read c: a NaN left there must not reach the result.
        std::fill(cp, cp + *mn, 0.0f);
    } else if (k == 0 && beta != 1.0f) {
        for (size_t i = 0; i < *mn; ++i) cp[i] = beta * cp[i];
    }
    if (k == 0) return;  // OpenBLAS refuses a zero inner dimension through its error handler.

    // OpenBLAS takes 32-bit sizes and leading dimensions: n and k appear as
    // leading dimensions and cannot be split; rows of a/c can.
    constexpr size_t kIntMax = static_cast<size_t>(INT_MAX);
    if (n > kIntMax || k > kIntMax) panic("SGEMM dimensions exceed i32");
    const float beta_eff = beta == 0.0f ? 0.0f : beta;
    if (m == 1) {
        // One row of a: the same product as a matrix-vector one, which the
        // library runs several times faster than its general kernel for m = 1.
        cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(n), static_cast<int>(k), alpha, b.data(),
                    static_cast<int>(k), a.data(), 1, beta_eff, cp, 1);
        return;
    }
    for (size_t row = 0; row < m; row += kIntMax) {
        size_t rows = std::min(kIntMax, m - row);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows), static_cast<int>(n),
                    static_cast<int>(k), alpha, a.data() + row * k, static_cast<int>(k), b.data(),
                    static_cast<int>(k), beta_eff, cp + row * n, static_cast<int>(n));
    }
}

}  // namespace tavren::blas
