// The transposed encoder's scoring kernels: the AVX2 forms and their scalar
// twin. Scores are computed with a separate multiply and add in every form.
#include "pq_kernels.hpp"

#include <immintrin.h>

#include "avx2_sum.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "numeric.hpp"

namespace tavren::pq_kernels {
namespace {

// Scores of all codewords, one dimension at a time over every codeword.
void scores_scalar(const float* x, size_t w, const float* block, size_t ksub, float* scores) noexcept {
    for (size_t c = 0; c < ksub; ++c) scores[c] = 0.0f;
    for (size_t t = 0; t < w; ++t) {
        const float xt = x[t];
        const float* row = block + t * ksub;
        for (size_t c = 0; c < ksub; ++c) {
            const float e = xt - row[c];
            scores[c] = scores[c] + e * e;
        }
    }
}

// The same scores as scores_scalar: 32 codewords per step, then 4, then one.
TD_AVX2 size_t score_argmin_avx2_generic(const float* x, size_t w, const float* block, size_t ksub,
                                         float* scores) noexcept {
    for (size_t c = 0; c < ksub; ++c) scores[c] = 0.0f;
    for (size_t t = 0; t < w; ++t) {
        const float* row = block + t * ksub;
        const __m256 xt = _mm256_set1_ps(x[t]);
        size_t c = 0;
        for (; c + 32 <= ksub; c += 32) {
            for (size_t q = 0; q < 32; q += 8) {
                const __m256 e = _mm256_sub_ps(xt, _mm256_loadu_ps(row + c + q));
                _mm256_storeu_ps(scores + c + q,
                                 _mm256_add_ps(_mm256_loadu_ps(scores + c + q), _mm256_mul_ps(e, e)));
            }
        }
        const __m128 xt4 = _mm256_castps256_ps128(xt);
        for (; c + 4 <= ksub; c += 4) {
            const __m128 e = _mm_sub_ps(xt4, _mm_loadu_ps(row + c));
            _mm_storeu_ps(scores + c, _mm_add_ps(_mm_loadu_ps(scores + c), _mm_mul_ps(e, e)));
        }
        for (; c < ksub; ++c) {
            const float e = x[t] - row[c];
            scores[c] = scores[c] + e * e;
        }
    }
    return nearest_codeword({scores, ksub});
}

// Eight running minima, one per lane, each with the codeword that gave it:
// a lane takes a value only when it is strictly smaller (NaN never), so each
// lane keeps its first minimum. reduce() takes the smallest lane value, equal
// values going to the smaller codeword: the sequential first-minimum rule.
struct LaneArgmin {
    __m256 best;
    __m256i best_index;
    __m256i index;

    TD_AVX2 LaneArgmin() noexcept
        : best(_mm256_set1_ps(kF32Max)),
          best_index(_mm256_setzero_si256()),
          index(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)) {}

    // Offers the scores of the next eight codewords.
    TD_AVX2 void update(__m256 v) noexcept {
        const __m256 smaller = _mm256_cmp_ps(v, best, _CMP_LT_OQ);
        best = _mm256_blendv_ps(best, v, smaller);
        best_index = _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(best_index), _mm256_castsi256_ps(index), smaller));
        index = _mm256_add_epi32(index, _mm256_set1_epi32(8));
    }

    TD_AVX2 size_t reduce(float& value) const noexcept {
        alignas(32) float values[8];
        alignas(32) int32_t indexes[8];
        _mm256_store_ps(values, best);
        _mm256_store_si256(reinterpret_cast<__m256i*>(indexes), best_index);
        float v = values[0];
        size_t at = static_cast<size_t>(indexes[0]);
        for (int lane = 1; lane < 8; ++lane) {
            const size_t i = static_cast<size_t>(indexes[lane]);
            if (values[lane] < v || (values[lane] == v && i < at)) {
                v = values[lane];
                at = i;
            }
        }
        value = v;
        return at;
    }
};

// Width 4, ksub a multiple of 8: eight lanes keep their own running minimum
// (strictly smaller, ordered values only) and its codeword; the lanes are
// then reduced in lane order, equal values going to the smaller codeword.
TD_AVX2 size_t score_argmin_avx2_d4(const float* x, const float* block, size_t ksub) noexcept {
    const __m256 x0 = _mm256_set1_ps(x[0]);
    const __m256 x1 = _mm256_set1_ps(x[1]);
    const __m256 x2 = _mm256_set1_ps(x[2]);
    const __m256 x3 = _mm256_set1_ps(x[3]);
    LaneArgmin lanes;
    for (size_t c = 0; c < ksub; c += 8) {
        __m256 e = _mm256_sub_ps(x0, _mm256_loadu_ps(block + c));
        __m256 s = _mm256_mul_ps(e, e);
        e = _mm256_sub_ps(x1, _mm256_loadu_ps(block + ksub + c));
        s = _mm256_add_ps(s, _mm256_mul_ps(e, e));
        e = _mm256_sub_ps(x2, _mm256_loadu_ps(block + 2 * ksub + c));
        s = _mm256_add_ps(s, _mm256_mul_ps(e, e));
        e = _mm256_sub_ps(x3, _mm256_loadu_ps(block + 3 * ksub + c));
        s = _mm256_add_ps(s, _mm256_mul_ps(e, e));
        lanes.update(s);
    }
    float value = 0.0f;
    return lanes.reduce(value);
}

// The cost of one codeword from its dot product, as nearest_expanded_l2 states.
inline float expanded_cost(float cn, float xn, float dot, bool clamp) noexcept {
    return clamp ? distance::expanded_l2(cn, xn, dot) : (cn + xn) - (dot + dot);
}

// Scalar twin: per codeword, the product's lanes, reduction and tail.
size_t nearest_expanded_scalar(const float* x, size_t w, const float* block, size_t stride, size_t k,
                               const float* norms, float xn, bool clamp, float& best) noexcept {
    const size_t full = w / 8 * 8;
    best = kF32Max;
    size_t at = 0;
    for (size_t c = 0; c < k; ++c) {
        float s = 0.0f;
        if (full > 0) {
            float lane[8];
            for (size_t t = 0; t < 8; ++t) lane[t] = x[t] * block[t * stride + c];
            for (size_t p = 8; p < full; p += 8)
                for (size_t t = 0; t < 8; ++t) lane[t] += x[p + t] * block[(p + t) * stride + c];
            s = avx2_sum::block_sum(lane);
        }
        for (size_t p = full; p < w; ++p) s += x[p] * block[p * stride + c];
        const float v = expanded_cost(norms[c], xn, s, clamp);
        if (v < best) {
            best = v;
            at = c;
        }
    }
    return at;
}

// The lanes' winner, then the codewords c .. k - 1 past the last full group
// (larger indexes: they win only when strictly smaller).
TD_AVX2 size_t finish_expanded(const LaneArgmin& lanes, const float* x, size_t w, const float* block, size_t stride,
                               size_t c, size_t k, const float* norms, float xn, bool clamp, float& best_out) noexcept {
    float v = kF32Max;
    size_t at = lanes.reduce(v);
    for (; c < k; ++c) {
        float rest = 0.0f;
        (void)nearest_expanded_scalar(x, w, block + c, stride, 1, norms + c, xn, clamp, rest);
        if (rest < v) {
            v = rest;
            at = c;
        }
    }
    best_out = v;
    return at;
}

// x[t] times dimension t of eight consecutive codewords.
TD_AVX2 inline __m256 product(__m256 xt, const float* b, size_t t, size_t stride) noexcept {
    return _mm256_mul_ps(xt, _mm256_loadu_ps(b + t * stride));
}

// nearest_expanded_avx2 for width 8, the common PQ sub-vector: the row's
// broadcasts stay in registers and the eight products meet in the lane order
// at once: ((p0 + p4) + (p2 + p6)) + ((p1 + p5) + (p3 + p7)).
TD_AVX2 size_t nearest_expanded_avx2_w8(const float* x, const float* block, size_t stride, size_t k,
                                        const float* norms, float xn, bool clamp, float& best_out) noexcept {
    __m256 xb[8];
    for (size_t t = 0; t < 8; ++t) xb[t] = _mm256_set1_ps(x[t]);
    const __m256 xnv = _mm256_set1_ps(xn);
    const __m256 zero = _mm256_setzero_ps();
    LaneArgmin lanes;
    size_t c = 0;
    for (; c + 8 <= k; c += 8) {
        const float* b = block + c;
        const __m256 s04 = _mm256_add_ps(product(xb[0], b, 0, stride), product(xb[4], b, 4, stride));
        const __m256 s26 = _mm256_add_ps(product(xb[2], b, 2, stride), product(xb[6], b, 6, stride));
        const __m256 s15 = _mm256_add_ps(product(xb[1], b, 1, stride), product(xb[5], b, 5, stride));
        const __m256 s37 = _mm256_add_ps(product(xb[3], b, 3, stride), product(xb[7], b, 7, stride));
        const __m256 s = _mm256_add_ps(_mm256_add_ps(s04, s26), _mm256_add_ps(s15, s37));
        __m256 v = _mm256_sub_ps(_mm256_add_ps(_mm256_loadu_ps(norms + c), xnv), _mm256_add_ps(s, s));
        if (clamp) v = _mm256_and_ps(v, _mm256_cmp_ps(v, zero, _CMP_GT_OQ));
        lanes.update(v);
    }
    return finish_expanded(lanes, x, 8, block, stride, c, k, norms, xn, clamp, best_out);
}

// Eight codewords per step: lane vectors across codewords, reduced exactly as
// the product reduces its lanes within one element.
TD_AVX2 size_t nearest_expanded_avx2(const float* x, size_t w, const float* block, size_t stride, size_t k,
                                     const float* norms, float xn, bool clamp, float& best_out) noexcept {
    const size_t full = w / 8 * 8;
    const __m256 xnv = _mm256_set1_ps(xn);
    const __m256 zero = _mm256_setzero_ps();
    LaneArgmin lanes;
    size_t c = 0;
    for (; c + 8 <= k; c += 8) {
        __m256 s = zero;
        if (full > 0) {
            __m256 l[8];
            for (size_t t = 0; t < 8; ++t)
                l[t] = _mm256_mul_ps(_mm256_set1_ps(x[t]), _mm256_loadu_ps(block + t * stride + c));
            for (size_t p = 8; p < full; p += 8)
                for (size_t t = 0; t < 8; ++t)
                    l[t] = _mm256_add_ps(
                        l[t], _mm256_mul_ps(_mm256_set1_ps(x[p + t]), _mm256_loadu_ps(block + (p + t) * stride + c)));
            s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(l[0], l[4]), _mm256_add_ps(l[2], l[6])),
                              _mm256_add_ps(_mm256_add_ps(l[1], l[5]), _mm256_add_ps(l[3], l[7])));
        }
        for (size_t p = full; p < w; ++p)
            s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_set1_ps(x[p]), _mm256_loadu_ps(block + p * stride + c)));
        __m256 v = _mm256_sub_ps(_mm256_add_ps(_mm256_loadu_ps(norms + c), xnv), _mm256_add_ps(s, s));
        if (clamp) v = _mm256_and_ps(v, _mm256_cmp_ps(v, zero, _CMP_GT_OQ));
        lanes.update(v);
    }
    return finish_expanded(lanes, x, w, block, stride, c, k, norms, xn, clamp, best_out);
}

}  // namespace

size_t nearest_expanded_l2(std::span<const float> x, std::span<const float> block, size_t stride, size_t k,
                           std::span<const float> norms, float xn, bool clamp, float& best) {
    const size_t w = x.size();
    check_len(k, norms.size());
    TD_ASSERT(stride >= k, "codeword block stride {} is below the codeword count {}", stride, k);
    if (w > 0 && k > 0) {
        auto cells = checked_mul(w - 1, stride);
        if (!cells) panic("codeword block shape overflows usize");
        check_len(*cells + k, block.size());
    }
    if (distance::avx2_enabled()) {
        if (w == 8) return nearest_expanded_avx2_w8(x.data(), block.data(), stride, k, norms.data(), xn, clamp, best);
        return nearest_expanded_avx2(x.data(), w, block.data(), stride, k, norms.data(), xn, clamp, best);
    }
    return nearest_expanded_scalar(x.data(), w, block.data(), stride, k, norms.data(), xn, clamp, best);
}

size_t nearest_codeword(std::span<const float> scores) noexcept {
    float best = kF32Max;
    size_t at = 0;
    for (size_t c = 0; c < scores.size(); ++c) {
        if (scores[c] < best) {
            best = scores[c];
            at = c;
        }
    }
    return at;
}

ScoreKernel choose_score_kernel(size_t w, size_t ksub) noexcept {
    if (!distance::avx2_enabled()) return ScoreKernel::Scalar;
    return w == 4 && ksub % 8 == 0 ? ScoreKernel::D4 : ScoreKernel::Generic;
}

size_t score_argmin(ScoreKernel kernel, std::span<const float> x, std::span<const float> block, size_t ksub,
                    std::span<float> scores) {
    if (scores.size() < ksub) panic("assertion failed: scores.len() >= ksub");
    const size_t w = x.size();
    auto cells = checked_mul(w, ksub);
    if (!cells) panic("transposed block shape overflows usize");
    check_len(*cells, block.size());
    switch (kernel) {
        case ScoreKernel::D4:
            TD_ASSERT(w == 4 && ksub % 8 == 0, "the width-4 kernel needs 4 dimensions and ksub a multiple of 8");
            TD_ASSERT(distance::avx2_available(), "AVX2 kernel chosen without AVX2");
            return score_argmin_avx2_d4(x.data(), block.data(), ksub);
        case ScoreKernel::Generic:
            TD_ASSERT(distance::avx2_available(), "AVX2 kernel chosen without AVX2");
            return score_argmin_avx2_generic(x.data(), w, block.data(), ksub, scores.data());
        case ScoreKernel::Scalar:
            break;
    }
    scores_scalar(x.data(), w, block.data(), ksub, scores.data());
    return nearest_codeword(scores.first(ksub));
}

}  // namespace tavren::pq_kernels
