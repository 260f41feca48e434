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

// ---- nearest codeword by the expanded distance -------------------------------

// The nearest of k codewords of width w to x (w values) by the expanded cost
// (|c|^2 + |x|^2) - (x.c + x.c), reading the codewords from a dimension-major
// block (w rows of `stride` >= k values: entry t * stride + c) and their
// squared norms from `norms` (k values). x.c has the bits of
// blas::sgemm_a_bt's element for inner dimension w (its eight lanes over the
// full blocks of eight, the pairwise lane reduction, then the tail in order),
// so the costs equal those computed from that product, zero signs aside,
// which cannot change a cost. With `clamp` a cost not greater than 0 (NaN
// included) counts as 0. The first strictly smallest cost wins and NaN never
// does; `best` receives the winning cost, the largest finite f32 when none
// beats it (the index is then 0). AVX2 when distance::avx2_enabled(), else a
// scalar twin with the same bits. Rows of many codewords at a time make this
// much faster than a product for narrow codewords.
size_t nearest_expanded_l2(std::span<const float> x, std::span<const float> block, size_t stride, size_t k,
                           std::span<const float> norms, float xn, bool clamp, float& best);

}  // namespace tavren::pq_kernels
