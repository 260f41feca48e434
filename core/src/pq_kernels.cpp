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

// Width 4, ksub a multiple of 8: eight lanes keep their own running minimum
// (strictly smaller, ordered values only) and its codeword; the lanes are
// then reduced in lane order, equal values going to the smaller codeword.
TD_AVX2 size_t score_argmin_avx2_d4(const float* x, const float* block, size_t ksub) noexcept {
    const __m256 x0 = _mm256_set1_ps(x[0]);
    const __m256 x1 = _mm256_set1_ps(x[1]);
    const __m256 x2 = _mm256_set1_ps(x[2]);
    const __m256 x3 = _mm256_set1_ps(x[3]);
    __m256 best = _mm256_set1_ps(kF32Max);
    __m256i best_index = _mm256_setzero_si256();
    __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi32(8);
    for (size_t c = 0; c < ksub; c += 8) {
        __m256 e = _mm256_sub_ps(x0, _mm256_loadu_ps(block + c));
        __m256 s = _mm256_mul_ps(e, e);
        e = _mm256_sub_ps(x1, _mm256_loadu_ps(block + ksub + c));
        s = _mm256_add_ps(s, _mm256_mul_ps(e, e));
        e = _mm256_sub_ps(x2, _mm256_loadu_ps(block + 2 * ksub + c));
        s = _mm256_add_ps(s, _mm256_mul_ps(e, e));
        e = _mm256_sub_ps(x3, _mm256_loadu_ps(block + 3 * ksub + c));
        s = _mm256_add_ps(s, _mm256_mul_ps(e, e));
        const __m256 smaller = _mm256_cmp_ps(s, best, _CMP_LT_OQ);
        best = _mm256_blendv_ps(best, s, smaller);
        best_index = _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(best_index), _mm256_castsi256_ps(index), smaller));
        index = _mm256_add_epi32(index, step);
    }
    alignas(32) float values[8];
    alignas(32) int32_t indexes[8];
    _mm256_store_ps(values, best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(indexes), best_index);
    float v = values[0];
    int32_t at = indexes[0];
    for (int lane = 1; lane < 8; ++lane) {
        if (values[lane] < v || (values[lane] == v && indexes[lane] < at)) {
            v = values[lane];
            at = indexes[lane];
        }
    }
    return static_cast<size_t>(at);
}

}  // namespace

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
