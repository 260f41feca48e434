#include "ivfpq_scan_kernels.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "avx2_sum.hpp"
#include "distance.hpp"
#include "numeric.hpp"

namespace tavren::ivfpq_scan_kernels {

namespace {

// Rows scored together by the 8-bit scan: their partial sums stay in L1
// while the stripes of the sub-quantizers pass over them.
constexpr size_t kTile = 256;

void scan8_all_scalar(const float* table, const uint8_t* codes, size_t rows, size_t m, float coarse,
                      float* out) noexcept {
    for (size_t t0 = 0; t0 < rows; t0 += kTile) {
        const size_t t1 = std::min(rows, t0 + kTile);
        for (size_t r = t0; r < t1; ++r) out[r] = table[codes[r]] + coarse;
        for (size_t j = 1; j < m; ++j) {
            const float* tj = table + j * 256;
            const uint8_t* cj = codes + j * rows;
            for (size_t r = t0; r < t1; ++r) out[r] = out[r] + tj[cj[r]];
        }
    }
}

TD_AVX2 inline __m256 gather8(const float* t, const uint8_t* c) noexcept {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c));
    return _mm256_i32gather_ps(t, _mm256_cvtepu8_epi32(bytes), 4);
}

TD_AVX2 void scan8_all_avx2(const float* table, const uint8_t* codes, size_t rows, size_t m, float coarse,
                            float* out) noexcept {
    const __m256 vc = _mm256_set1_ps(coarse);
    for (size_t t0 = 0; t0 < rows; t0 += kTile) {
        const size_t t1 = std::min(rows, t0 + kTile);
        const size_t whole = t0 + (t1 - t0) / 8 * 8;
        // Four blocks of eight rows at a time: four independent gathers per
        // stripe keep the load ports busy.
        size_t r = t0;
        for (; r + 32 <= whole; r += 32) {
            __m256 a0 = _mm256_add_ps(gather8(table, codes + r), vc);
            __m256 a1 = _mm256_add_ps(gather8(table, codes + r + 8), vc);
            __m256 a2 = _mm256_add_ps(gather8(table, codes + r + 16), vc);
            __m256 a3 = _mm256_add_ps(gather8(table, codes + r + 24), vc);
            for (size_t j = 1; j < m; ++j) {
                const float* tj = table + j * 256;
                const uint8_t* cj = codes + j * rows + r;
                a0 = _mm256_add_ps(a0, gather8(tj, cj));
                a1 = _mm256_add_ps(a1, gather8(tj, cj + 8));
                a2 = _mm256_add_ps(a2, gather8(tj, cj + 16));
                a3 = _mm256_add_ps(a3, gather8(tj, cj + 24));
            }
            _mm256_storeu_ps(out + r, a0);
            _mm256_storeu_ps(out + r + 8, a1);
            _mm256_storeu_ps(out + r + 16, a2);
            _mm256_storeu_ps(out + r + 24, a3);
        }
        for (; r < whole; r += 8) {
            __m256 a = _mm256_add_ps(gather8(table, codes + r), vc);
            for (size_t j = 1; j < m; ++j) a = _mm256_add_ps(a, gather8(table + j * 256, codes + j * rows + r));
            _mm256_storeu_ps(out + r, a);
        }
        for (; r < t1; ++r) out[r] = scan8_row(table, codes, rows, r, m, coarse);
    }
}

void scan4_fast_scalar(const uint8_t* lut, const uint8_t* codes, size_t rows, size_t first, size_t end,
                       size_t code_bytes, QuantizedTable q, float* out) noexcept {
    for (size_t r = first; r < end; ++r) {
        uint32_t s = 0;
        for (size_t k = 0; k < code_bytes; ++k) {
            const uint8_t b = codes[k * rows + r];
            s += static_cast<uint32_t>(lut[32 * k + 16 + (b >> 4)]) + lut[32 * k + (b & 0xF)];
        }
        out[r] = static_cast<float>(s) * q.step + q.base;
    }
}

TD_AVX2 void scan4_fast_avx2(const uint8_t* lut, const uint8_t* codes, size_t rows, size_t first, size_t end,
                             size_t code_bytes, QuantizedTable q, float* out) noexcept {
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i zero = _mm256_setzero_si256();
    const __m256 step = _mm256_set1_ps(q.step);
    const __m256 base = _mm256_set1_ps(q.base);
    size_t r = first;
    for (; r + 32 <= end; r += 32) {
        // Row i of the 32 sits in byte i; unpacking with zero widens bytes
        // 0-7 and 16-23 into `lo`, 8-15 and 24-31 into `hi`.
        __m256i acc_lo = zero;
        __m256i acc_hi = zero;
        for (size_t k = 0; k < code_bytes; ++k) {
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + k * rows + r));
            const __m256i t_lo =
                _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lut + 32 * k)));
            const __m256i t_hi =
                _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lut + 32 * k + 16)));
            const __m256i v0 = _mm256_shuffle_epi8(t_lo, _mm256_and_si256(b, low));
            const __m256i v1 = _mm256_shuffle_epi8(t_hi, _mm256_and_si256(_mm256_srli_epi16(b, 4), low));
            acc_lo = _mm256_add_epi16(acc_lo, _mm256_unpacklo_epi8(v0, zero));
            acc_hi = _mm256_add_epi16(acc_hi, _mm256_unpackhi_epi8(v0, zero));
            acc_lo = _mm256_add_epi16(acc_lo, _mm256_unpacklo_epi8(v1, zero));
            acc_hi = _mm256_add_epi16(acc_hi, _mm256_unpackhi_epi8(v1, zero));
        }
        // Rows 0-7 | 16-23 in acc_lo, 8-15 | 24-31 in acc_hi: put them back in order.
        const __m256i r0_15 = _mm256_permute2x128_si256(acc_lo, acc_hi, 0x20);
        const __m256i r16_31 = _mm256_permute2x128_si256(acc_lo, acc_hi, 0x31);
        const __m256i s0 = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(r0_15));
        const __m256i s1 = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(r0_15, 1));
        const __m256i s2 = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(r16_31));
        const __m256i s3 = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(r16_31, 1));
        _mm256_storeu_ps(out + r, _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(s0), step), base));
        _mm256_storeu_ps(out + r + 8, _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(s1), step), base));
        _mm256_storeu_ps(out + r + 16, _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(s2), step), base));
        _mm256_storeu_ps(out + r + 24, _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(s3), step), base));
    }
    scan4_fast_scalar(lut, codes, rows, r, end, code_bytes, q, out);
}

TD_AVX2 void sub_twice_avx2(const float* a, const float* b, size_t n, float* out) noexcept {
    const __m256 minus_two = _mm256_set1_ps(-2.0f);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(out + i,
                         _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_mul_ps(minus_two, _mm256_loadu_ps(b + i))));
    }
    for (; i < n; ++i) out[i] = a[i] + -2.0f * b[i];
}

void dot_rows_f64_scalar(const float* x, const float* yt, size_t w, size_t first, size_t ksub,
                         double* out) noexcept {
    for (size_t c = first; c < ksub; ++c) {
        double s = 0.0;
        for (size_t t = 0; t < w; ++t) s = s + static_cast<double>(x[t]) * static_cast<double>(yt[t * ksub + c]);
        out[c] = s;
    }
}

// Eight codewords at once, one lane each, every lane summing in t order
// like the scalar twin (a multiply then an add, no fused step).
TD_AVX2 void dot_rows_f64_avx2(const float* x, const float* yt, size_t w, size_t ksub, double* out) noexcept {
    size_t c = 0;
    for (; c + 8 <= ksub; c += 8) {
        __m256d lo = _mm256_setzero_pd();
        __m256d hi = _mm256_setzero_pd();
        for (size_t t = 0; t < w; ++t) {
            const __m256 v = _mm256_loadu_ps(yt + t * ksub + c);
            const __m256d xt = _mm256_set1_pd(static_cast<double>(x[t]));
            lo = _mm256_add_pd(lo, _mm256_mul_pd(xt, _mm256_cvtps_pd(_mm256_castps256_ps128(v))));
            hi = _mm256_add_pd(hi, _mm256_mul_pd(xt, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1))));
        }
        _mm256_storeu_pd(out + c, lo);
        _mm256_storeu_pd(out + c + 4, hi);
    }
    dot_rows_f64_scalar(x, yt, w, c, ksub, out);
}

void combine_rows_f64_scalar(const double* stable, const double* eph, double r, size_t first, size_t n,
                             float* out) noexcept {
    for (size_t c = first; c < n; ++c) {
        const double v = (stable[c] + r) - (eph[c] + eph[c]);
        // NaN fails the comparison and becomes 0 too.
        out[c] = v > 0.0 ? static_cast<float>(v) : 0.0f;
    }
}

TD_AVX2 void combine_rows_f64_avx2(const double* stable, const double* eph, double r, size_t n,
                                   float* out) noexcept {
    const __m256d rv = _mm256_set1_pd(r);
    const __m256d zero = _mm256_setzero_pd();
    size_t c = 0;
    for (; c + 4 <= n; c += 4) {
        const __m256d e = _mm256_loadu_pd(eph + c);
        const __m256d v = _mm256_sub_pd(_mm256_add_pd(_mm256_loadu_pd(stable + c), rv), _mm256_add_pd(e, e));
        const __m256d kept = _mm256_and_pd(v, _mm256_cmp_pd(v, zero, _CMP_GT_OQ));
        _mm_storeu_ps(out + c, _mm256_cvtpd_ps(kept));
    }
    combine_rows_f64_scalar(stable, eph, r, c, n, out);
}

}  // namespace

void combine_rows_f64(const double* stable, const double* eph, double r, size_t n, float* out) noexcept {
    if (distance::avx2_enabled()) {
        combine_rows_f64_avx2(stable, eph, r, n, out);
    } else {
        combine_rows_f64_scalar(stable, eph, r, 0, n, out);
    }
}

void dot_rows_f64(const float* x, const float* yt, size_t w, size_t ksub, double* out) noexcept {
    if (distance::avx2_enabled()) {
        dot_rows_f64_avx2(x, yt, w, ksub, out);
    } else {
        dot_rows_f64_scalar(x, yt, w, 0, ksub, out);
    }
}

float scan8_row(const float* table, const uint8_t* codes, size_t rows, size_t r, size_t m, float coarse) noexcept {
    float s = table[codes[r]] + coarse;
    for (size_t j = 1; j < m; ++j) s = s + table[j * 256 + codes[j * rows + r]];
    return s;
}

void scan8_all(const float* table, const uint8_t* codes, size_t rows, size_t m, float coarse, float* out) noexcept {
    if (rows == 0 || m == 0) return;
    if (distance::avx2_enabled()) {
        scan8_all_avx2(table, codes, rows, m, coarse, out);
    } else {
        scan8_all_scalar(table, codes, rows, m, coarse, out);
    }
}

void scan4_exact(const float* table, const uint8_t* codes, size_t rows, size_t first, size_t end, size_t code_bytes,
                 float* out) noexcept {
    for (size_t r = first; r < end; ++r) {
        float s = 0.0f;
        for (size_t k = 0; k < code_bytes; ++k) {
            const uint8_t b = codes[k * rows + r];
            s = s + table[32 * k + (b & 0xF)];
            s = s + table[32 * k + 16 + (b >> 4)];
        }
        out[r] = s;
    }
}

QuantizedTable quantize_table4(std::span<const float> table, size_t m, std::span<uint8_t> lut) noexcept {
    // Per sub-quantizer minima and the widest span: the range comes from the
    // entries themselves, so it holds whatever the sign of the distances.
    float width = 0.0f;
    float base = 0.0f;
    for (size_t j = 0; j < m; ++j) {
        float lo = std::numeric_limits<float>::infinity();
        float hi = -std::numeric_limits<float>::infinity();
        for (size_t c = 0; c < 16; ++c) {
            lo = std::fminf(lo, table[j * 16 + c]);
            hi = std::fmaxf(hi, table[j * 16 + c]);
        }
        if (!(lo <= hi)) lo = hi = 0.0f;  // every entry NaN
        width = std::fmaxf(width, hi - lo);
        base = base + lo;
    }
    QuantizedTable q;
    q.base = base;
    const bool usable = width > 0.0f && std::isfinite(width);
    const float scale = usable ? 255.0f / width : 0.0f;
    q.step = usable ? width / 255.0f : 0.0f;
    for (size_t j = 0; j < m; ++j) {
        float lo = std::numeric_limits<float>::infinity();
        for (size_t c = 0; c < 16; ++c) lo = std::fminf(lo, table[j * 16 + c]);
        if (!std::isfinite(lo)) lo = 0.0f;
        for (size_t c = 0; c < 16; ++c) {
            const float t = std::fminf(std::fmaxf((table[j * 16 + c] - lo) * scale, 0.0f), 255.0f);
            lut[j * 16 + c] = saturating_cast<uint8_t>(t);
        }
    }
    return q;
}

void scan4_fast(const uint8_t* lut, const uint8_t* codes, size_t rows, size_t first, size_t end, size_t code_bytes,
                QuantizedTable q, float* out) noexcept {
    if (first >= end) return;
    if (distance::avx2_enabled() && code_bytes * 2 * 255 <= 65535) {
        scan4_fast_avx2(lut, codes, rows, first, end, code_bytes, q, out);
    } else {
        scan4_fast_scalar(lut, codes, rows, first, end, code_bytes, q, out);
    }
}

void sub_twice(const float* a, const float* b, size_t n, float* out) noexcept {
    if (distance::avx2_enabled()) {
        sub_twice_avx2(a, b, n, out);
        return;
    }
    for (size_t i = 0; i < n; ++i) out[i] = a[i] + -2.0f * b[i];
}

}  // namespace tavren::ivfpq_scan_kernels
