#include "rabitq_avx2.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>

namespace tavren::rabitq::detail {

__attribute__((target("avx2"))) void hadamard_blocks_avx2(float* x, size_t blocks) noexcept {
    const __m256 scale = _mm256_set1_ps(0.125f);
    for (size_t b = 0; b < blocks; ++b) {
        float* p = x + 64 * b;
        __m256 r[8];
        for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(p + 8 * i);
        // Stages h = 1, 2, 4 stay inside one register: t holds each lane's
        // partner; the lower lanes take r + t (= a + b, addition being
        // commutative) and the upper lanes t - r (= a - b exactly).
        for (int i = 0; i < 8; ++i) {
            // h = 1: partners (j, j + 1).
            __m256 t = _mm256_permute_ps(r[i], 0xB1);
            r[i] = _mm256_blend_ps(_mm256_add_ps(r[i], t), _mm256_sub_ps(t, r[i]), 0xAA);
            // h = 2: partners (j, j + 2).
            t = _mm256_permute_ps(r[i], 0x4E);
            r[i] = _mm256_blend_ps(_mm256_add_ps(r[i], t), _mm256_sub_ps(t, r[i]), 0xCC);
            // h = 4: partners (j, j + 4), across the 128-bit halves.
            t = _mm256_permute2f128_ps(r[i], r[i], 0x01);
            r[i] = _mm256_blend_ps(_mm256_add_ps(r[i], t), _mm256_sub_ps(t, r[i]), 0xF0);
        }
        // h = 8, 16, 32: partners are whole registers.
        for (int h = 1; h < 8; h *= 2) {
            for (int i = 0; i < 8; i += 2 * h) {
                for (int j = i; j < i + h; ++j) {
                    const __m256 a = r[j];
                    const __m256 c = r[j + h];
                    r[j] = _mm256_add_ps(a, c);
                    r[j + h] = _mm256_sub_ps(a, c);
                }
            }
        }
        for (int i = 0; i < 8; ++i) _mm256_storeu_ps(p + 8 * i, _mm256_mul_ps(r[i], scale));
    }
}

__attribute__((target("avx2"))) void quantize_avx2(const float* r, size_t n, float step, float t, float max_code,
                                                   uint8_t* codes, float* centred) noexcept {
    const __m256 vstep = _mm256_set1_ps(step);
    const __m256 vt = _mm256_set1_ps(t);
    const __m256 vmax = _mm256_set1_ps(max_code);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 sign_mask = _mm256_set1_ps(-0.0f);
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 v = _mm256_add_ps(_mm256_div_ps(_mm256_loadu_ps(r + k), vstep), vt);
        // Halves away from zero: truncate |v|, add 1 when the (exact)
        // fraction is at least 0.5, give the sign back.
        const __m256 a = _mm256_andnot_ps(sign_mask, v);
        __m256 whole = _mm256_round_ps(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        whole = _mm256_add_ps(whole, _mm256_and_ps(_mm256_cmp_ps(_mm256_sub_ps(a, whole), half, _CMP_GE_OQ), one));
        const __m256 rounded = _mm256_or_ps(whole, _mm256_and_ps(v, sign_mask));
        // max_ps returns its second operand for a NaN first one: NaN -> 0.
        const __m256 clamped = _mm256_min_ps(_mm256_max_ps(rounded, _mm256_setzero_ps()), vmax);
        _mm256_storeu_ps(centred + k, _mm256_sub_ps(clamped, vt));
        alignas(32) int32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_cvttps_epi32(clamped));
        for (int j = 0; j < 8; ++j) codes[k + j] = static_cast<uint8_t>(lanes[j]);
    }
    for (; k < n; ++k) {
        const float v = std::round(r[k] / step + t);
        const float clamped = v != v ? 0.0f : std::fmin(std::fmax(v, 0.0f), max_code);
        codes[k] = static_cast<uint8_t>(clamped);
        centred[k] = clamped - t;
    }
}

__attribute__((target("avx2"))) float max_abs_avx2(const float* v, size_t n) noexcept {
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    __m256 acc = _mm256_setzero_ps();
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 a = _mm256_and_ps(_mm256_loadu_ps(v + k), abs_mask);
        // max_ps returns its second operand when either is NaN: a NaN value
        // leaves the accumulator as it was.
        acc = _mm256_max_ps(a, acc);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, acc);
    float m = 0.0f;
    for (float lane : lanes) m = std::fmax(m, lane);
    for (; k < n; ++k) m = std::fmax(m, std::fabs(v[k]));
    return m;
}

}  // namespace tavren::rabitq::detail
