// Scoring kernels of the product quantizer's transposed encoder, and the
// nearest-codeword rule every PQ encoder applies.
//
// A transposed block holds the codewords of one chunk dimension-major: w rows
// of ksub values, entry t * ksub + c being dimension t of codeword c, so that
// one vector load reads eight codewords. The score of codeword c is the
// squared distance summed dimension by dimension, s = 0, then s = s + e * e
// with e = x[t] - T[t][c] (a separate multiply and add, never fused), so the
// AVX2 kernels and their scalar twin give the same bits and the same code.
// Preconditions are assertions; nothing allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavren::pq_kernels {

// The nearest-codeword rule: a running minimum from the largest finite f32
// and index 0, replaced only by a strictly smaller score. The first of equal
// minima wins, NaN is never chosen, and scores that are all NaN, +inf or the
// largest finite f32 give 0.
size_t nearest_codeword(std::span<const float> scores) noexcept;

// Which scoring kernel a chunk of a transposed codebook uses.
enum class ScoreKernel : uint8_t {
    Scalar,   // the scalar twin (no AVX2)
    Generic,  // AVX2: scores accumulated over all codewords one dimension at a time
    D4,       // AVX2, width 4 and ksub a multiple of 8: eight running minima, no stored scores
};

// The kernel for a chunk of width w with ksub codewords on this processor
// (distance::avx2_enabled(), so the test switch forces the scalar twin).
ScoreKernel choose_score_kernel(size_t w, size_t ksub) noexcept;

// The index of the nearest codeword of x (w values) in the transposed block
// (at least w * ksub values), by the kernel given; `scores` is scratch of at
// least ksub floats ("assertion failed: scores.len() >= ksub" otherwise).
size_t score_argmin(ScoreKernel kernel, std::span<const float> x, std::span<const float> block, size_t ksub,
                    std::span<float> scores);

}  // namespace tavren::pq_kernels
