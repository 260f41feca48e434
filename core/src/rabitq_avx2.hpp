// AVX2 kernels of the RaBitQ rotation and encoder.
//
// Private to the rabitq module: each kernel may run only after
// distance::avx2_enabled() said yes. Each performs the same single-precision
// operations on the same operands as its scalar twin in rabitq.cpp, so the
// results are bit-identical; none allocates, loads are unaligned.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavren::rabitq::detail {

// The unnormalised Walsh-Hadamard transform of `blocks` consecutive blocks of
// 64 values, each then scaled by 0.125.
void hadamard_blocks_avx2(float* x, size_t blocks) noexcept;
// codes[k] = roundf(r[k] / step + t) (halves away from zero) clamped to
// [0, max_code], NaN -> 0; centred[k] = codes[k] - t.
void quantize_avx2(const float* r, size_t n, float step, float t, float max_code, uint8_t* codes,
                   float* centred) noexcept;
// The largest |v[k]|, starting from 0, NaN values ignored.
float max_abs_avx2(const float* v, size_t n) noexcept;
// FastScan of one 32-row block (plane_size x 32 bytes of sign plane, the
// context's table of plane_size x 32 bytes): 16-bit lane sums flushed to
// 32 bits every 120 byte positions, then out[v] = f32(S_v) x delta + offset.
// No length checks: the caller guarantees both sizes.
void fastscan_block_avx2(const uint8_t* lut, const uint8_t* block, size_t plane_size, float lut_offset,
                         float lut_delta, float* out) noexcept;

// Exact byte-table sums of a block of n <= 32 rows (see
// byte_table_block_sums in rabitq.hpp), eight rows per gather.
void byte_table_sums_avx2(const float* lut, const uint8_t* plane, size_t plane_size, size_t n, float* out) noexcept;
// out[v] += lut[c][byte] * w for c in order, eight rows per gather.
void byte_table_add_avx2(const float* lut, const uint8_t* plane, size_t plane_size, size_t n, float w,
                         float* out) noexcept;

}  // namespace tavren::rabitq::detail
