// AVX2 kernels of the scalar quantizer, private to the sq module: each may
// run only after distance::avx2_enabled() said yes, and takes raw pointers
// whose lengths the caller has checked. None allocates; loads are unaligned.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavren::sq::detail {

// Folds `rows` consecutive rows of d values into mins/maxs, eight dimensions
// at a time; the d mod 8 last dimensions with the scalar rule. A bound moves
// only when the value is strictly beyond it.
void update_bounds_batch_avx2(const float* values, size_t rows, size_t d, float* mins, float* maxs) noexcept;

// Encodes the first 8 * floor(d / 8) dimensions of one row: v = ((x - c) -
// min) * scale, clamped to [0, 255] (NaN to 0), rounded half up through
// floor, stored as a byte. Returns the number of dimensions encoded; the
// caller encodes the rest with the scalar formula.
size_t encode_residual_avx2(const float* row, const float* centroid, const float* mins, const float* scales,
                            uint8_t* out, size_t d) noexcept;

// Squared L2 of n rows in 32-row blocks (the last may be partial; codes
// dimension-major inside each block) with offsets a and scales s: per row the
// sum over j ascending of (a[j] - s[j] * code)^2, four 8-lane accumulators
// per block, each row's operations those of the portable kernel. After the
// first m dimensions a block whose partial sums are all >= threshold
// (ordered: NaN is not) keeps them as its outputs. Reads only the n * d code
// bytes; writes out[0 .. n).
void blocked_sq_l2_avx2_blocks(const float* a, const float* s, const uint8_t* codes, float threshold, size_t n,
                               size_t d, size_t m, float* out) noexcept;

}  // namespace tavren::sq::detail
