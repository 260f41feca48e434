// Register tiles of R rows of a by C rows of b: R * C accumulators of eight
// lanes, one load per row block of eight per tile step, and the block sums of
// four accumulators reduced together. target("avx2") only: a multiply and an
// add stay two roundings.
#include "blas_avx2.hpp"

#include <algorithm>

#include <immintrin.h>

#include "avx2_sum.hpp"


namespace tavren::blas::detail {
namespace {

using avx2_sum::block_sum;
using avx2_sum::block_sum4;

// Four results of one row: the tail products in order, then alpha and beta.
TD_AVX2 inline void finish4(__m128 sums, size_t p, size_t k, float alpha, const float* ar, const float* b,
                            size_t ldb, float beta, float* cr) noexcept {
    for (size_t q = p; q < k; ++q) {
        const __m128 bq = _mm_setr_ps(b[q], b[ldb + q], b[2 * ldb + q], b[3 * ldb + q]);
        sums = _mm_add_ps(sums, _mm_mul_ps(_mm_set1_ps(ar[q]), bq));
    }
    __m128 prod = _mm_mul_ps(_mm_set1_ps(alpha), sums);
    if (beta != 0.0f) prod = _mm_add_ps(prod, _mm_mul_ps(_mm_set1_ps(beta), _mm_loadu_ps(cr)));
    _mm_storeu_ps(cr, prod);
}

// finish4 for three results (lane 3 of `sums` is ignored).
TD_AVX2 inline void finish3(__m128 sums, size_t p, size_t k, float alpha, const float* ar, const float* b,
                            size_t ldb, float beta, float* cr) noexcept {
    for (size_t q = p; q < k; ++q) {
        const __m128 bq = _mm_setr_ps(b[q], b[ldb + q], b[2 * ldb + q], 0.0f);
        sums = _mm_add_ps(sums, _mm_mul_ps(_mm_set1_ps(ar[q]), bq));
    }
    __m128 prod = _mm_mul_ps(_mm_set1_ps(alpha), sums);
    alignas(16) float out[4];
    if (beta != 0.0f) {
        const __m128 old = _mm_setr_ps(cr[0], cr[1], cr[2], 0.0f);
        prod = _mm_add_ps(prod, _mm_mul_ps(_mm_set1_ps(beta), old));
    }
    _mm_store_ps(out, prod);
    cr[0] = out[0];
    cr[1] = out[1];
    cr[2] = out[2];
}

template <int R, int C>
TD_AVX2 inline void tile(size_t k, float alpha, const float* a, size_t lda, const float* b, size_t ldb, float beta,
                         float* c, size_t ldc) noexcept {
    static_assert(C >= 1);
    __m256 acc[R][C];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
        for (int j = 0; j < C; ++j) acc[r][j] = _mm256_setzero_ps();
    size_t p = 0;
    for (; p + 8 <= k; p += 8) {
        __m256 av[R];
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) av[r] = _mm256_loadu_ps(a + r * lda + p);
#pragma GCC unroll 8
        for (int j = 0; j < C; ++j) {
            const __m256 bv = _mm256_loadu_ps(b + j * ldb + p);
#pragma GCC unroll 8
            for (int r = 0; r < R; ++r) acc[r][j] = _mm256_add_ps(acc[r][j], _mm256_mul_ps(av[r], bv));
        }
    }
    for (int r = 0; r < R; ++r) {
        const float* ar = a + r * lda;
        float* cr = c + r * ldc;
        if constexpr (C == 1) {
            float s = block_sum(acc[r][0]);
            for (size_t q = p; q < k; ++q) s += ar[q] * b[q];
            const float prod = alpha * s;
            cr[0] = beta == 0.0f ? prod : prod + beta * cr[0];
        } else {
            int j = 0;
            for (; j + 4 <= C; j += 4) {
                finish4(block_sum4(acc[r][j], acc[r][j + 1], acc[r][j + 2], acc[r][j + 3]), p, k, alpha, ar,
                        b + j * ldb, ldb, beta, cr + j);
            }
            if constexpr (C % 4 == 3) {
                // Three columns through the four-wide reduction; the fourth
                // lane repeats the third and is dropped.
                finish3(block_sum4(acc[r][j], acc[r][j + 1], acc[r][j + 2], acc[r][j + 2]), p, k, alpha, ar,
                        b + j * ldb, ldb, beta, cr + j);
                j += 3;
            }
            for (; j < C; ++j) {
                const float* bj = b + j * ldb;
                float s = block_sum(acc[r][j]);
                for (size_t q = p; q < k; ++q) s += ar[q] * bj[q];
                const float prod = alpha * s;
                cr[j] = beta == 0.0f ? prod : prod + beta * cr[j];
            }
        }
    }
}

// Rows i .. i + R - 1 of a against rows j0 .. j1 - 1 of b: full tiles of C
// columns, then the remaining columns one at a time. A single row of a takes
// eight columns per tile so that enough additions are in flight.
template <int R>
TD_AVX2 void row_block(size_t k, float alpha, const float* a, size_t lda, const float* b, size_t ldb, float beta,
                       float* c, size_t ldc, size_t j0, size_t j1) noexcept {
    constexpr int C = R == 1 ? 8 : 4;
    size_t j = j0;
    for (; j + C <= j1; j += C) tile<R, C>(k, alpha, a, lda, b + j * ldb, ldb, beta, c + j, ldc);
    if constexpr (C == 8) {
        if (j + 4 <= j1) {
            tile<R, 4>(k, alpha, a, lda, b + j * ldb, ldb, beta, c + j, ldc);
            j += 4;
        }
    }
    for (; j < j1; ++j) tile<R, 1>(k, alpha, a, lda, b + j * ldb, ldb, beta, c + j, ldc);
}

// Short rows (k below 32): a tile does little more than its reduction, so
// the rows of a go in pairs over column panels of b in tiles of four, whose
// reductions share one four-wide pass.
TD_AVX2 void gemm_short_rows(size_t m, size_t n, size_t k, float alpha, const float* a, size_t lda, const float* b,
                             size_t ldb, float beta, float* c, size_t ldc) noexcept {
    constexpr size_t R = 2;
    const size_t panel = std::max<size_t>(8, (size_t{192} * 1024 / sizeof(float)) / std::max<size_t>(k, 1) / 8 * 8);
    for (size_t j0 = 0; j0 < n; j0 += panel) {
        const size_t j1 = std::min(n, j0 + panel);
        size_t i = 0;
        for (; i + R <= m; i += R) row_block<R>(k, alpha, a + i * lda, lda, b, ldb, beta, c + i * ldc, ldc, j0, j1);
        if (i < m) row_block<1>(k, alpha, a + i * lda, lda, b, ldb, beta, c + i * ldc, ldc, j0, j1);
    }
}

}  // namespace

TD_AVX2 void gemm_a_bt_avx2(size_t m, size_t n, size_t k, float alpha, const float* a, size_t lda, const float* b,
                            size_t ldb, float beta, float* c, size_t ldc) noexcept {
    if (k < 32) {
        gemm_short_rows(m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
        return;
    }
    // Tiles of three rows of a by three rows of b: nine accumulators, three
    // rows of a, a row of b and a product fit the sixteen AVX2 registers
    // with nothing spilled, and a step of eight values makes six loads for
    // nine products.
    constexpr size_t R = 3;
    constexpr size_t C = 3;
    // Rows of a in blocks that stay in the second-level cache; within a
    // block, each group of C rows of b stays in the first-level cache while
    // every row pair of the block passes over it, so a tile step loads its
    // C rows of b from the nearest cache and only its R rows of a from the
    // next. Splitting the work this way changes no element's order.
    const size_t kk = std::max<size_t>(k, 1);
    const size_t block = std::max<size_t>(R, (size_t{128} * 1024 / sizeof(float)) / kk / R * R);
    for (size_t i0 = 0; i0 < m; i0 += block) {
        const size_t i1 = std::min(m, i0 + block);
        size_t j = 0;
        for (; j + C <= n; j += C) {
            size_t i = i0;
            for (; i + R <= i1; i += R) tile<R, C>(k, alpha, a + i * lda, lda, b + j * ldb, ldb, beta, c + i * ldc + j, ldc);
            for (; i < i1; ++i) tile<1, C>(k, alpha, a + i * lda, lda, b + j * ldb, ldb, beta, c + i * ldc + j, ldc);
        }
        if (j < n) {
            size_t i = i0;
            for (; i < i1; ++i) row_block<1>(k, alpha, a + i * lda, lda, b, ldb, beta, c + i * ldc, ldc, j, n);
        }
    }
}

}  // namespace tavren::blas::detail
