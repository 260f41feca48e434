// Register tiles of R rows of a by C rows of b: R * C accumulators of eight
// lanes, one load per row block of eight per tile step, and the block sums of
// four accumulators reduced together. target("avx2") only: a multiply and an
// add stay two roundings.
#include "blas_avx2.hpp"

#include <algorithm>

#include <immintrin.h>

#define TD_AVX2 __attribute__((target("avx2")))

namespace tavren::blas::detail {
namespace {

// ((A0 + A4) + (A2 + A6)) + ((A1 + A5) + (A3 + A7)) of one accumulator.
TD_AVX2 inline float block_sum(__m256 acc) noexcept {
    __m128 lo = _mm256_castps256_ps128(acc);
    __m128 hi = _mm256_extractf128_ps(acc, 1);
    __m128 pairs = _mm_add_ps(lo, hi);           // A0+A4, A1+A5, A2+A6, A3+A7
    __m128 upper = _mm_movehl_ps(pairs, pairs);  // A2+A6, A3+A7, ...
    __m128 quads = _mm_add_ps(pairs, upper);     // (A0+A4)+(A2+A6), (A1+A5)+(A3+A7)
    __m128 second = _mm_shuffle_ps(quads, quads, 1);
    return _mm_cvtss_f32(_mm_add_ss(quads, second));
}

// The block sums of four accumulators at once, in lanes 0..3, with exactly
// the additions of block_sum for each of them.
TD_AVX2 inline __m128 block_sum4(__m256 v0, __m256 v1, __m256 v2, __m256 v3) noexcept {
    // [P0 | P1] and [P2 | P3], Pj = (Aj0+Aj4, Aj1+Aj5, Aj2+Aj6, Aj3+Aj7).
    __m256 x01 = _mm256_add_ps(_mm256_permute2f128_ps(v0, v1, 0x20), _mm256_permute2f128_ps(v0, v1, 0x31));
    __m256 x23 = _mm256_add_ps(_mm256_permute2f128_ps(v2, v3, 0x20), _mm256_permute2f128_ps(v2, v3, 0x31));
    // Per half: (P[0] + P[2], P[1] + P[3]) of the two accumulators it holds.
    __m256 u = _mm256_add_ps(_mm256_shuffle_ps(x01, x23, _MM_SHUFFLE(1, 0, 1, 0)),
                             _mm256_shuffle_ps(x01, x23, _MM_SHUFFLE(3, 2, 3, 2)));
    // Low half (R0, R2, ., .), high half (R1, R3, ., .).
    __m256 r = _mm256_add_ps(_mm256_shuffle_ps(u, u, _MM_SHUFFLE(2, 0, 2, 0)),
                             _mm256_shuffle_ps(u, u, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_unpacklo_ps(_mm256_castps256_ps128(r), _mm256_extractf128_ps(r, 1));
}

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

template <int R, int C>
TD_AVX2 inline void tile(size_t k, float alpha, const float* a, size_t lda, const float* b, size_t ldb, float beta,
                         float* c, size_t ldc) noexcept {
    static_assert(C == 1 || C % 4 == 0);
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
            for (int j = 0; j < C; j += 4) {
                finish4(block_sum4(acc[r][j], acc[r][j + 1], acc[r][j + 2], acc[r][j + 3]), p, k, alpha, ar,
                        b + j * ldb, ldb, beta, cr + j);
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

}  // namespace

TD_AVX2 void gemm_a_bt_avx2(size_t m, size_t n, size_t k, float alpha, const float* a, size_t lda, const float* b,
                            size_t ldb, float beta, float* c, size_t ldc) noexcept {
    constexpr size_t R = 2;
    // Columns in panels whose rows of b stay in the second-level cache while
    // every row block of a passes over them.
    const size_t panel = std::max<size_t>(8, (size_t{192} * 1024 / sizeof(float)) / std::max<size_t>(k, 1) / 8 * 8);
    for (size_t j0 = 0; j0 < n; j0 += panel) {
        const size_t j1 = std::min(n, j0 + panel);
        size_t i = 0;
        for (; i + R <= m; i += R) row_block<R>(k, alpha, a + i * lda, lda, b, ldb, beta, c + i * ldc, ldc, j0, j1);
        if (i < m) row_block<1>(k, alpha, a + i * lda, lda, b, ldb, beta, c + i * ldc, ldc, j0, j1);
    }
}

}  // namespace tavren::blas::detail
