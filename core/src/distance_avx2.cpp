// The AVX2 kernels. Every function here carries target("avx2") and nothing
// else: no FMA, so a multiply and an add stay two roundings.
#include "distance_avx2.hpp"

#include <immintrin.h>

#include <cstring>
#include <limits>

#include "avx2_sum.hpp"

namespace tavren::distance::detail {
namespace {

using avx2_sum::block_sum;

TD_AVX2 inline __m256 sq_diff(const float* a, const float* b) noexcept {
    __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
    return _mm256_mul_ps(d, d);
}

}  // namespace

TD_AVX2 float fvec_l2sqr_avx2(const float* a, const float* b, size_t n) noexcept {
    __m256 acc = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) acc = _mm256_add_ps(acc, sq_diff(a + i, b + i));
    float s = block_sum(acc);
    for (; i < n; ++i) {
        float d = a[i] - b[i];
        s += d * d;
    }
    return s;
}

TD_AVX2 float fvec_l2sqr_le_bytes_avx2(const float* a, const uint8_t* v, size_t n, bool* all_finite) noexcept {
    // A value is not finite when its exponent bits are all ones.
    const __m256i exp_mask = _mm256_set1_epi32(0x7F800000);
    __m256i bad = _mm256_setzero_si256();
    __m256 acc = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 4 * i));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi32(_mm256_and_si256(raw, exp_mask), exp_mask));
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_castsi256_ps(raw));
        acc = _mm256_add_ps(acc, _mm256_mul_ps(d, d));
    }
    bool finite = _mm256_testz_si256(bad, bad) != 0;
    float s = block_sum(acc);
    for (; i < n; ++i) {
        uint32_t bits;
        __builtin_memcpy(&bits, v + 4 * i, 4);
        if ((bits & 0x7F800000u) == 0x7F800000u) finite = false;
        float x;
        __builtin_memcpy(&x, &bits, 4);
        float d = a[i] - x;
        s += d * d;
    }
    *all_finite = finite;
    return s;
}

TD_AVX2 float fvec_inner_product_avx2(const float* a, const float* b, size_t n) noexcept {
    __m256 acc = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
    }
    float s = block_sum(acc);
    for (; i < n; ++i) s += a[i] * b[i];
    return s;
}

TD_AVX2 float fvec_norm_l2sqr_avx2(const float* v, size_t n) noexcept {
    __m256 acc = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 x = _mm256_loadu_ps(v + i);
        acc = _mm256_add_ps(acc, _mm256_mul_ps(x, x));
    }
    float s = block_sum(acc);
    for (; i < n; ++i) s += v[i] * v[i];
    return s;
}

TD_AVX2 void fvec_l2sqr_four_avx2(const float* x, const float* y0, const float* y1, const float* y2,
                                  const float* y3, size_t n, float out[4]) noexcept {
    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    __m256 acc2 = _mm256_setzero_ps();
    __m256 acc3 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 xv = _mm256_loadu_ps(x + i);
        __m256 d0 = _mm256_sub_ps(xv, _mm256_loadu_ps(y0 + i));
        __m256 d1 = _mm256_sub_ps(xv, _mm256_loadu_ps(y1 + i));
        __m256 d2 = _mm256_sub_ps(xv, _mm256_loadu_ps(y2 + i));
        __m256 d3 = _mm256_sub_ps(xv, _mm256_loadu_ps(y3 + i));
        acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(d0, d0));
        acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(d1, d1));
        acc2 = _mm256_add_ps(acc2, _mm256_mul_ps(d2, d2));
        acc3 = _mm256_add_ps(acc3, _mm256_mul_ps(d3, d3));
    }
    float s0 = block_sum(acc0);
    float s1 = block_sum(acc1);
    float s2 = block_sum(acc2);
    float s3 = block_sum(acc3);
    for (; i < n; ++i) {
        float d0 = x[i] - y0[i];
        float d1 = x[i] - y1[i];
        float d2 = x[i] - y2[i];
        float d3 = x[i] - y3[i];
        s0 += d0 * d0;
        s1 += d1 * d1;
        s2 += d2 * d2;
        s3 += d3 * d3;
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
}

TD_AVX2 bool fvec_l2sqr_scaled_exceeds_avx2(const float* a, const float* b, size_t n, float scale,
                                            float threshold) noexcept {
    float s = 0.0f;
    size_t i = 0;
    // Blocks of 128: four accumulators of 32 consecutive values each step,
    // combined lane by lane as (E + F) + (G + H) before the block sum.
    for (; i + 128 <= n; i += 128) {
        __m256 e = _mm256_setzero_ps();
        __m256 f = _mm256_setzero_ps();
        __m256 g = _mm256_setzero_ps();
        __m256 h = _mm256_setzero_ps();
        for (size_t t = i; t < i + 128; t += 32) {
            e = _mm256_add_ps(e, sq_diff(a + t, b + t));
            f = _mm256_add_ps(f, sq_diff(a + t + 8, b + t + 8));
            g = _mm256_add_ps(g, sq_diff(a + t + 16, b + t + 16));
            h = _mm256_add_ps(h, sq_diff(a + t + 24, b + t + 24));
        }
        __m256 l = _mm256_add_ps(_mm256_add_ps(e, f), _mm256_add_ps(g, h));
        s += block_sum(l);
        if (scale * s > threshold) return true;
    }
    // The remaining full blocks of eight, tested once even when there are none.
    __m256 acc = _mm256_setzero_ps();
    for (; i + 8 <= n; i += 8) acc = _mm256_add_ps(acc, sq_diff(a + i, b + i));
    s += block_sum(acc);
    if (scale * s > threshold) return true;
    for (; i < n; ++i) {
        float d = a[i] - b[i];
        s += d * d;
        if (scale * s > threshold) return true;
    }
    return false;
}

TD_AVX2 void fvec_madd_avx2(const float* a, float scale, const float* b, float* out, size_t n) noexcept {
    const __m256 sv = _mm256_set1_ps(scale);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 prod = _mm256_mul_ps(sv, _mm256_loadu_ps(b + i));
        _mm256_storeu_ps(out + i, _mm256_add_ps(_mm256_loadu_ps(a + i), prod));
    }
    for (; i < n; ++i) out[i] = a[i] + scale * b[i];
}

namespace {

// Lane k: entry (nibbles_k & 15) of the 16 at t. A sub-quantizer's entries sit
// in two registers; each lane picks from both halves by the nibble's low three
// bits and keeps the upper half's pick where bit 3 is set.
TD_AVX2 inline __m256 pq4_entries(const float* t, __m256i nibbles) noexcept {
    const __m256i idx = _mm256_and_si256(nibbles, _mm256_set1_epi32(15));
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(t), idx);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(t + 8), idx);
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
}

}  // namespace

TD_AVX2 void pq4_sum8_sequential_avx2(const float* table, const uint8_t* const codes[8], size_t m,
                                      float out[8]) noexcept {
    __m256 acc = _mm256_setzero_ps();
    size_t j = 0;
    // Four code bytes (eight sub-quantizers) of the eight nodes at a time.
    for (size_t b = 0; j + 8 <= m; b += 4, j += 8) {
        uint32_t w[8];
        for (size_t k = 0; k < 8; ++k) std::memcpy(&w[k], codes[k] + b, 4);
        const __m256i g = _mm256_setr_epi32(static_cast<int>(w[0]), static_cast<int>(w[1]), static_cast<int>(w[2]),
                                            static_cast<int>(w[3]), static_cast<int>(w[4]), static_cast<int>(w[5]),
                                            static_cast<int>(w[6]), static_cast<int>(w[7]));
        const float* t = table + 16 * j;
        acc = _mm256_add_ps(acc, pq4_entries(t, g));
        acc = _mm256_add_ps(acc, pq4_entries(t + 16, _mm256_srli_epi32(g, 4)));
        acc = _mm256_add_ps(acc, pq4_entries(t + 32, _mm256_srli_epi32(g, 8)));
        acc = _mm256_add_ps(acc, pq4_entries(t + 48, _mm256_srli_epi32(g, 12)));
        acc = _mm256_add_ps(acc, pq4_entries(t + 64, _mm256_srli_epi32(g, 16)));
        acc = _mm256_add_ps(acc, pq4_entries(t + 80, _mm256_srli_epi32(g, 20)));
        acc = _mm256_add_ps(acc, pq4_entries(t + 96, _mm256_srli_epi32(g, 24)));
        acc = _mm256_add_ps(acc, pq4_entries(t + 112, _mm256_srli_epi32(g, 28)));
    }
    for (; j < m; ++j) {
        const size_t b = j >> 1;
        const int shift = (j & 1) != 0 ? 4 : 0;
        const __m256i g = _mm256_setr_epi32(codes[0][b] >> shift, codes[1][b] >> shift, codes[2][b] >> shift,
                                            codes[3][b] >> shift, codes[4][b] >> shift, codes[5][b] >> shift,
                                            codes[6][b] >> shift, codes[7][b] >> shift);
        acc = _mm256_add_ps(acc, pq4_entries(table + 16 * j, g));
    }
    _mm256_storeu_ps(out, acc);
}

namespace {

// The inner products of q with the eight four-value rows at r, in row order,
// each summed as ((((0 + q0 r0) + q1 r1) + q2 r2) + q3 r3).
TD_AVX2 inline __m256 ip8_dim4(__m256 q0, __m256 q1, __m256 q2, __m256 q3, const float* r) noexcept {
    // The transpose below leaves the rows in lane order 0 2 4 6 1 3 5 7.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256 r01 = _mm256_loadu_ps(r);       // rows 0 | 1
    const __m256 r23 = _mm256_loadu_ps(r + 8);   // rows 2 | 3
    const __m256 r45 = _mm256_loadu_ps(r + 16);  // rows 4 | 5
    const __m256 r67 = _mm256_loadu_ps(r + 24);  // rows 6 | 7
    const __m256 lo_a = _mm256_unpacklo_ps(r01, r23);
    const __m256 hi_a = _mm256_unpackhi_ps(r01, r23);
    const __m256 lo_b = _mm256_unpacklo_ps(r45, r67);
    const __m256 hi_b = _mm256_unpackhi_ps(r45, r67);
    const __m256 v0 = _mm256_shuffle_ps(lo_a, lo_b, 0x44);
    const __m256 v1 = _mm256_shuffle_ps(lo_a, lo_b, 0xEE);
    const __m256 v2 = _mm256_shuffle_ps(hi_a, hi_b, 0x44);
    const __m256 v3 = _mm256_shuffle_ps(hi_a, hi_b, 0xEE);
    __m256 s = _mm256_add_ps(_mm256_setzero_ps(), _mm256_mul_ps(q0, v0));
    s = _mm256_add_ps(s, _mm256_mul_ps(q1, v1));
    s = _mm256_add_ps(s, _mm256_mul_ps(q2, v2));
    s = _mm256_add_ps(s, _mm256_mul_ps(q3, v3));
    return _mm256_permutevar8x32_ps(s, order);
}

// The inner products of q with rows i .. i + 7 of four-value rows held
// dimension-major (value t of row i at cols[t * n + i]), each summed as
// ((((0 + q0 r0) + q1 r1) + q2 r2) + q3 r3), as ip8_dim4 sums them.
TD_AVX2 inline __m256 ip8_dim4_cols(__m256 q0, __m256 q1, __m256 q2, __m256 q3, const float* cols, size_t n,
                                    size_t i) noexcept {
    __m256 s = _mm256_add_ps(_mm256_setzero_ps(), _mm256_mul_ps(q0, _mm256_loadu_ps(cols + i)));
    s = _mm256_add_ps(s, _mm256_mul_ps(q1, _mm256_loadu_ps(cols + n + i)));
    s = _mm256_add_ps(s, _mm256_mul_ps(q2, _mm256_loadu_ps(cols + 2 * n + i)));
    return _mm256_add_ps(s, _mm256_mul_ps(q3, _mm256_loadu_ps(cols + 3 * n + i)));
}

// Where the eight inner products of rows i .. i + 7 come from: the row-major
// rows through a transpose, or the dimension-major rows by plain loads.
struct RowMajorDim4 {
    const float* rows;
    TD_AVX2 __m256 operator()(__m256 q0, __m256 q1, __m256 q2, __m256 q3, size_t i) const noexcept {
        return ip8_dim4(q0, q1, q2, q3, rows + 4 * i);
    }
};
struct DimensionMajorDim4 {
    const float* cols;
    size_t n;
    TD_AVX2 __m256 operator()(__m256 q0, __m256 q1, __m256 q2, __m256 q3, size_t i) const noexcept {
        return ip8_dim4_cols(q0, q1, q2, q3, cols, n, i);
    }
};

template <class Ip8>
TD_AVX2 inline size_t ip_batch_dim4_with(const float* q, size_t n, float* out, Ip8 ip8) noexcept {
    const __m256 q0 = _mm256_set1_ps(q[0]);
    const __m256 q1 = _mm256_set1_ps(q[1]);
    const __m256 q2 = _mm256_set1_ps(q[2]);
    const __m256 q3 = _mm256_set1_ps(q[3]);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, ip8(q0, q1, q2, q3, i));
    return i;
}

template <class Ip8>
TD_AVX2 inline size_t expanded_l2_batch_dim4_with(const float* q, const float* row_norms, float qn, size_t n,
                                                  float* out, Ip8 ip8) noexcept {
    const __m256 q0 = _mm256_set1_ps(q[0]);
    const __m256 q1 = _mm256_set1_ps(q[1]);
    const __m256 q2 = _mm256_set1_ps(q[2]);
    const __m256 q3 = _mm256_set1_ps(q[3]);
    const __m256 qnv = _mm256_set1_ps(qn);
    const __m256 zero = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 ip = ip8(q0, q1, q2, q3, i);
        const __m256 v = _mm256_sub_ps(_mm256_add_ps(_mm256_loadu_ps(row_norms + i), qnv), _mm256_add_ps(ip, ip));
        // max takes its second operand unless v > 0: NaN and -0 become +0,
        // as the scalar v > 0 ? v : 0 does.
        _mm256_storeu_ps(out + i, _mm256_max_ps(v, zero));
    }
    return i;
}

}  // namespace

TD_AVX2 size_t ip_batch_dim4_avx2(const float* q, const float* rows, size_t n, float* out) noexcept {
    return ip_batch_dim4_with(q, n, out, RowMajorDim4{rows});
}

TD_AVX2 size_t expanded_l2_batch_dim4_avx2(const float* q, const float* rows, const float* row_norms, float qn,
                                           size_t n, float* out) noexcept {
    return expanded_l2_batch_dim4_with(q, row_norms, qn, n, out, RowMajorDim4{rows});
}

TD_AVX2 size_t ip_batch_dim4_cols_avx2(const float* q, const float* cols, size_t n, float* out) noexcept {
    return ip_batch_dim4_with(q, n, out, DimensionMajorDim4{cols, n});
}

TD_AVX2 size_t expanded_l2_batch_dim4_cols_avx2(const float* q, const float* cols, const float* row_norms, float qn,
                                                size_t n, float* out) noexcept {
    return expanded_l2_batch_dim4_with(q, row_norms, qn, n, out, DimensionMajorDim4{cols, n});
}

}  // namespace tavren::distance::detail

// ---- Query blocks ----------------------------------------------------------------

namespace tavren::distance::detail {
namespace {

// R rows against Q queries: R * Q accumulators (plus R norm accumulators
// under cosine), each row block of eight loaded once for every query and each
// query block once for every row. Every accumulator adds its own pair's terms
// in the order of the one-pair kernels, so the results are theirs bit for bit.
template <int Q, int R>
TD_AVX2 inline bool tile_exceeds(const __m256 (&acc)[R][Q], const float* bounds) noexcept {
    for (int r = 0; r < R; ++r) {
        for (int j = 0; j < Q; ++j) {
            if (!(block_sum(acc[r][j]) > bounds[j])) return false;
        }
    }
    return true;
}

template <int Q, int R, int M>
TD_AVX2 inline void block_tile(const float* const* q, const float* rows, size_t d, float* out, float* norms,
                               const float* bounds) noexcept {
    __m256 acc[R][Q];
    __m256 nacc[R];
#pragma GCC unroll 4
    for (int r = 0; r < R; ++r) {
        nacc[r] = _mm256_setzero_ps();
#pragma GCC unroll 4
        for (int j = 0; j < Q; ++j) acc[r][j] = _mm256_setzero_ps();
    }
    size_t i = 0;
    for (; i + 8 <= d; i += 8) {
        __m256 x[R];
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
            x[r] = _mm256_loadu_ps(rows + r * d + i);
            if constexpr (M == kBlockCosine) nacc[r] = _mm256_add_ps(nacc[r], _mm256_mul_ps(x[r], x[r]));
        }
#pragma GCC unroll 4
        for (int j = 0; j < Q; ++j) {
            const __m256 qv = _mm256_loadu_ps(q[j] + i);
#pragma GCC unroll 4
            for (int r = 0; r < R; ++r) {
                if constexpr (M == kBlockL2) {
                    const __m256 diff = _mm256_sub_ps(qv, x[r]);
                    acc[r][j] = _mm256_add_ps(acc[r][j], _mm256_mul_ps(diff, diff));
                } else {
                    acc[r][j] = _mm256_add_ps(acc[r][j], _mm256_mul_ps(qv, x[r]));
                }
            }
        }
        if constexpr (M == kBlockL2) {
            // After every 128 values: once each pair's running sum is above
            // its query's bound, so is its distance (every term and every
            // rounding only adds), and the tile stops.
            if (bounds != nullptr && ((i + 8) & 127) == 0 && i + 8 < d && tile_exceeds<Q, R>(acc, bounds)) {
                for (int t = 0; t < R * Q; ++t) out[t] = std::numeric_limits<float>::infinity();
                return;
            }
        }
    }
    for (int r = 0; r < R; ++r) {
        const float* row = rows + r * d;
        for (int j = 0; j < Q; ++j) {
            float s = block_sum(acc[r][j]);
            for (size_t t = i; t < d; ++t) {
                if constexpr (M == kBlockL2) {
                    const float diff = q[j][t] - row[t];
                    s += diff * diff;
                } else {
                    s += q[j][t] * row[t];
                }
            }
            out[r * Q + j] = s;
        }
        if constexpr (M == kBlockCosine) {
            float s = block_sum(nacc[r]);
            for (size_t t = i; t < d; ++t) s += row[t] * row[t];
            norms[r] = s;
        }
    }
}

template <int Q, int M>
TD_AVX2 void block_rows(const float* const* q, const float* rows, size_t n, size_t d, float* out, float* norms,
                        const float* bounds) noexcept {
    // A single query takes four rows per step so that enough sums are in
    // flight; a block of queries two.
    constexpr int R = Q == 1 ? 4 : 2;
    size_t r = 0;
    // Row norms are written under cosine only (norms may be null otherwise).
    for (; r + R <= n; r += R) {
        block_tile<Q, R, M>(q, rows + r * d, d, out + r * Q, M == kBlockCosine ? norms + r : nullptr, bounds);
    }
    for (; r < n; ++r) block_tile<Q, 1, M>(q, rows + r * d, d, out + r * Q, M == kBlockCosine ? norms + r : nullptr, bounds);
}

template <int M>
TD_AVX2 void block_dispatch(const float* const* q, size_t nq, const float* rows, size_t n, size_t d, float* out,
                            float* norms, const float* bounds) noexcept {
    switch (nq) {
        case 1: block_rows<1, M>(q, rows, n, d, out, norms, bounds); break;
        case 2: block_rows<2, M>(q, rows, n, d, out, norms, bounds); break;
        case 3: block_rows<3, M>(q, rows, n, d, out, norms, bounds); break;
        default: block_rows<4, M>(q, rows, n, d, out, norms, bounds); break;
    }
}

}  // namespace

TD_AVX2 void query_block_sums_avx2(const float* const* queries, size_t nq, const float* rows, size_t n, size_t d,
                                   int kind, float* out, float* norms, const float* bounds) noexcept {
    if (kind == kBlockL2) {
        block_dispatch<kBlockL2>(queries, nq, rows, n, d, out, norms, bounds);
    } else if (kind == kBlockInnerProduct) {
        block_dispatch<kBlockInnerProduct>(queries, nq, rows, n, d, out, norms, nullptr);
    } else {
        block_dispatch<kBlockCosine>(queries, nq, rows, n, d, out, norms, nullptr);
    }
}

}  // namespace tavren::distance::detail
