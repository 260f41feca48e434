// The AVX2 kernels of the scalar quantizer. Every function here carries
// target("avx2") and nothing else: no FMA, so a multiply and an add stay two
// roundings and the codes match the scalar twin's arithmetic order.
#include "sq_kernels_avx2.hpp"

#include <immintrin.h>

#include <cstring>

#include "avx2_sum.hpp"

namespace tavren::sq::detail {

TD_AVX2 void update_bounds_batch_avx2(const float* values, size_t rows, size_t d, float* mins,
                                      float* maxs) noexcept {
    const size_t whole = d - d % 8;
    for (size_t r = 0; r < rows; ++r) {
        const float* x = values + r * d;
        for (size_t j = 0; j < whole; j += 8) {
            const __m256 v = _mm256_loadu_ps(x + j);
            // min_ps(a, b) = a < b ? a : b: the running bound stays on ties.
            _mm256_storeu_ps(mins + j, _mm256_min_ps(_mm256_loadu_ps(mins + j), v));
            _mm256_storeu_ps(maxs + j, _mm256_max_ps(_mm256_loadu_ps(maxs + j), v));
        }
        for (size_t j = whole; j < d; ++j) {
            mins[j] = mins[j] < x[j] ? mins[j] : x[j];
            maxs[j] = maxs[j] > x[j] ? maxs[j] : x[j];
        }
    }
}

TD_AVX2 size_t encode_residual_avx2(const float* row, const float* centroid, const float* mins, const float* scales,
                                    uint8_t* out, size_t d) noexcept {
    const size_t whole = d - d % 8;
    const __m256 zero = _mm256_setzero_ps();
    const __m256 top = _mm256_set1_ps(255.0f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 one = _mm256_set1_ps(1.0f);
    for (size_t j = 0; j < whole; j += 8) {
        __m256 v = _mm256_sub_ps(_mm256_loadu_ps(row + j), _mm256_loadu_ps(centroid + j));
        v = _mm256_mul_ps(_mm256_sub_ps(v, _mm256_loadu_ps(mins + j)), _mm256_loadu_ps(scales + j));
        v = _mm256_max_ps(v, zero);  // a NaN lane becomes 0
        v = _mm256_min_ps(v, top);
        const __m256 f = _mm256_floor_ps(v);
        const __m256 up = _mm256_cmp_ps(_mm256_sub_ps(v, f), half, _CMP_GE_OQ);
        v = _mm256_add_ps(f, _mm256_and_ps(up, one));
        const __m256i ints = _mm256_cvttps_epi32(v);
        const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(ints), _mm256_extracti128_si256(ints, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), _mm_packus_epi16(words, words));
    }
    return whole;
}

namespace {

// Adds dimensions [from, to) of one block to the four accumulators: the
// product s * code first, subtracted from a, squared, added. The block holds
// r rows (code j of row i at byte j * r + i) and `size` bytes in all; lanes
// at or above r take whatever bytes follow (or zeros past the block's end)
// and are never stored.
TD_AVX2 inline void l2_dimensions(const float* a, const float* s, const uint8_t* block, size_t r, size_t size,
                                  size_t from, size_t to, __m256 acc[4]) noexcept {
    alignas(32) uint8_t tail[32];
    for (size_t j = from; j < to; ++j) {
        const __m256 aj = _mm256_set1_ps(a[j]);
        const __m256 sj = _mm256_set1_ps(s[j]);
        const uint8_t* p = block + j * r;
        if (j * r + 32 > size) {
            std::memset(tail, 0, sizeof tail);
            std::memcpy(tail, p, size - j * r < 32 ? size - j * r : 32);
            p = tail;
        }
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m128i lo = _mm256_castsi256_si128(bytes);
        const __m128i hi = _mm256_extracti128_si256(bytes, 1);
        const __m256 c[4] = {
            _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(lo)),
            _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8))),
            _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(hi)),
            _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8))),
        };
        for (int g = 0; g < 4; ++g) {
            const __m256 diff = _mm256_sub_ps(aj, _mm256_mul_ps(sj, c[g]));
            acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(diff, diff));
        }
    }
}

// One block of r <= 32 rows into out[0..r).
TD_AVX2 inline void l2_block(const float* a, const float* s, const uint8_t* block, float threshold, size_t r,
                             size_t d, size_t m, float* out) noexcept {
    const size_t size = r * d;
    __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    l2_dimensions(a, s, block, r, size, 0, m, acc);
    if (m < d) {
        const __m256 th = _mm256_set1_ps(threshold);
        uint32_t beyond = 0;
        for (int g = 0; g < 4; ++g) {
            beyond |= static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(acc[g], th, _CMP_GE_OQ))) << (8 * g);
        }
        const uint32_t rows = r == 32 ? 0xFFFFFFFFu : (uint32_t{1} << r) - 1;
        if ((beyond & rows) != rows) l2_dimensions(a, s, block, r, size, m, d, acc);
    }
    if (r == 32) {
        for (int g = 0; g < 4; ++g) _mm256_storeu_ps(out + 8 * g, acc[g]);
        return;
    }
    alignas(32) float all[32];
    for (int g = 0; g < 4; ++g) _mm256_store_ps(all + 8 * g, acc[g]);
    std::memcpy(out, all, r * sizeof(float));
}

}  // namespace

TD_AVX2 void blocked_sq_l2_avx2_blocks(const float* a, const float* s, const uint8_t* codes, float threshold,
                                       size_t n, size_t d, size_t m, float* out) noexcept {
    for (size_t first = 0; first < n; first += 32) {
        const size_t r = n - first < 32 ? n - first : 32;
        l2_block(a, s, codes + first * d, threshold, r, d, m, out + first);
    }
}

}  // namespace tavren::sq::detail
