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

}  // namespace tavren::sq::detail
