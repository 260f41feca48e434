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

__attribute__((target("avx2"))) void fastscan_block_avx2(const uint8_t* lut, const uint8_t* block,
                                                         size_t plane_size, float lut_offset, float lut_delta,
                                                         float* out) noexcept {
    // A byte position adds at most 2 x 255 per 16-bit lane, so 120 positions
    // (61,200) never overflow before the flush to 32 bits.
    constexpr size_t kChunk = 120;
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i total[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                        _mm256_setzero_si256()};
    for (size_t start = 0; start < plane_size; start += kChunk) {
        const size_t stop = plane_size - start < kChunk ? plane_size : start + kChunk;
        __m256i acc_lo = _mm256_setzero_si256();  // rows 0..15
        __m256i acc_hi = _mm256_setzero_si256();  // rows 16..31
        for (size_t c = start; c < stop; ++c) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * c));
            const __m256i low_table =
                _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lut + 32 * c)));
            const __m256i high_table =
                _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lut + 32 * c + 16)));
            const __m256i lo = _mm256_and_si256(bytes, nibble);
            const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble);
            const __m256i a = _mm256_shuffle_epi8(low_table, lo);
            const __m256i b = _mm256_shuffle_epi8(high_table, hi);
            acc_lo = _mm256_add_epi16(acc_lo, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(a)));
            acc_lo = _mm256_add_epi16(acc_lo, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(b)));
            acc_hi = _mm256_add_epi16(acc_hi, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(a, 1)));
            acc_hi = _mm256_add_epi16(acc_hi, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(b, 1)));
        }
        total[0] = _mm256_add_epi32(total[0], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc_lo)));
        total[1] = _mm256_add_epi32(total[1], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc_lo, 1)));
        total[2] = _mm256_add_epi32(total[2], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc_hi)));
        total[3] = _mm256_add_epi32(total[3], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc_hi, 1)));
    }
    // u32 -> f32 with one rounding: both 16-bit halves convert exactly and
    // hi x 65536 is exact, so only the final addition rounds.
    const __m256 scale = _mm256_set1_ps(65536.0f);
    const __m256i low_mask = _mm256_set1_epi32(0xFFFF);
    const __m256 delta = _mm256_set1_ps(lut_delta);
    const __m256 offset = _mm256_set1_ps(lut_offset);
    for (int i = 0; i < 4; ++i) {
        const __m256 hi = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(total[i], 16)), scale);
        const __m256 lo = _mm256_cvtepi32_ps(_mm256_and_si256(total[i], low_mask));
        const __m256 sum = _mm256_add_ps(hi, lo);
        _mm256_storeu_ps(out + 8 * i, _mm256_add_ps(_mm256_mul_ps(sum, delta), offset));
    }
}

// Row v of the block is lane v % 8 of accumulator v / 8; each lane sees its
// row's terms in byte-position order, as the scalar loop adds them. Rows past
// the last multiple of eight are summed by the scalar loop.
__attribute__((target("avx2"))) void byte_table_sums_avx2(const float* lut, const uint8_t* plane, size_t plane_size,
                                                          size_t n, float* out) noexcept {
    const size_t full = n / 8;
    __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    for (size_t c = 0; c < plane_size; ++c) {
        const float* row = lut + 256 * c;
        const uint8_t* b = plane + c * n;
        for (size_t g = 0; g < full; ++g) {
            const __m256i idx = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + 8 * g)));
            acc[g] = _mm256_add_ps(acc[g], _mm256_i32gather_ps(row, idx, 4));
        }
    }
    for (size_t g = 0; g < full; ++g) _mm256_storeu_ps(out + 8 * g, acc[g]);
    for (size_t v = 8 * full; v < n; ++v) {
        float sum = 0.0f;
        for (size_t c = 0; c < plane_size; ++c) sum += lut[256 * c + plane[c * n + v]];
        out[v] = sum;
    }
}

__attribute__((target("avx2"))) void byte_table_add_avx2(const float* lut, const uint8_t* plane, size_t plane_size,
                                                         size_t n, float w, float* out) noexcept {
    const size_t full = n / 8;
    const __m256 wv = _mm256_set1_ps(w);
    __m256 acc[4];
    for (size_t g = 0; g < full; ++g) acc[g] = _mm256_loadu_ps(out + 8 * g);
    for (size_t c = 0; c < plane_size; ++c) {
        const float* row = lut + 256 * c;
        const uint8_t* b = plane + c * n;
        for (size_t g = 0; g < full; ++g) {
            const __m256i idx = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + 8 * g)));
            acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(_mm256_i32gather_ps(row, idx, 4), wv));
        }
    }
    for (size_t g = 0; g < full; ++g) _mm256_storeu_ps(out + 8 * g, acc[g]);
    for (size_t v = 8 * full; v < n; ++v) {
        float sum = out[v];
        for (size_t c = 0; c < plane_size; ++c) sum += lut[256 * c + plane[c * n + v]] * w;
        out[v] = sum;
    }
}

}  // namespace tavren::rabitq::detail
