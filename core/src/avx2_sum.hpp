// The 8-lane reduction shared by the AVX2 kernels of the distance and blas
// modules, so that every sum of eight accumulator lanes has one order:
// ((A0 + A4) + (A2 + A6)) + ((A1 + A5) + (A3 + A7)), each addition rounded.
//
// Include only from kernel translation units. The vector functions carry
// target("avx2") and nothing else (no FMA); call them only from functions of
// the same target, after the caller's dispatch said AVX2 is usable.
#pragma once

#include <immintrin.h>

#define TD_AVX2 __attribute__((target("avx2")))

namespace tavren::avx2_sum {

// The block sum of one accumulator.
TD_AVX2 inline float block_sum(__m256 acc) noexcept {
    __m128 lo = _mm256_castps256_ps128(acc);
    __m128 hi = _mm256_extractf128_ps(acc, 1);
    __m128 pairs = _mm_add_ps(lo, hi);              // A0+A4, A1+A5, A2+A6, A3+A7
    __m128 upper = _mm_movehl_ps(pairs, pairs);     // A2+A6, A3+A7, ...
    __m128 quads = _mm_add_ps(pairs, upper);        // (A0+A4)+(A2+A6), (A1+A5)+(A3+A7)
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

// The scalar twin of block_sum over eight lanes held in memory.
inline float block_sum(const float (&lane)[8]) noexcept {
    return ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
}

}  // namespace tavren::avx2_sum
