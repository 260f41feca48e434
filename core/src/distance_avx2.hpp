// AVX2 kernels behind the dispatching operations of distance.hpp.
//
// Private to the distance module: each kernel may run only after
// avx2_enabled() said yes, and takes raw pointers whose lengths the
// dispatching operation has already checked. None allocates; loads are
// unaligned. Every kernel adds with a separate multiply and add (never a fused
// multiply-add), so its bits do not depend on the build.
//
// The 8-lane reduction shared by the sums: lane j of one accumulator adds the
// term of position 8q + j for every full block q; the block sum is
// ((A0 + A4) + (A2 + A6)) + ((A1 + A5) + (A3 + A7)); the n mod 8 tail terms are
// then added one at a time in index order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavren::distance::detail {

float fvec_l2sqr_avx2(const float* a, const float* b, size_t n) noexcept;
float fvec_inner_product_avx2(const float* a, const float* b, size_t n) noexcept;
float fvec_norm_l2sqr_avx2(const float* v, size_t n) noexcept;
// fvec_l2sqr_avx2(a, v) where v is n little-endian f32 values held as bytes
// (loaded unaligned); *all_finite says whether every value of v is finite.
float fvec_l2sqr_le_bytes_avx2(const float* a, const uint8_t* v, size_t n, bool* all_finite) noexcept;
// out[j] equals fvec_l2sqr_avx2(x, yj, n) bit for bit; x is loaded once per block.
void fvec_l2sqr_four_avx2(const float* x, const float* y0, const float* y1, const float* y2, const float* y3,
                          size_t n, float out[4]) noexcept;
// The early-exit test: one test per 128 values, one after the remaining
// blocks of eight, then one after every tail value. Requires threshold >= 0 or
// NaN (a negative threshold is answered before any kernel runs).
bool fvec_l2sqr_scaled_exceeds_avx2(const float* a, const float* b, size_t n, float scale,
                                    float threshold) noexcept;
void fvec_madd_avx2(const float* a, float scale, const float* b, float* out, size_t n) noexcept;
// The PQ distances of eight nodes with 4-bit codes over m sub-quantizers
// (table: m x 16; byte b of a code holds sub-quantizer 2b in its low and
// 2b + 1 in its high nibble): lane k adds node k's entries from +0.0 in
// sub-quantizer order. codes[k] must hold m - m / 2 bytes.
void pq4_sum8_sequential_avx2(const float* table, const uint8_t* const codes[8], size_t m, float out[8]) noexcept;
// out[i] = the inner product of the 4 values of q with row i of the n rows of
// four values in `rows`, for i below n rounded down to a multiple of 8, each
// summed as ((((0 + q0 r0) + q1 r1) + q2 r2) + q3 r3): the bits of the scalar
// inner product and of the matrix product for four-value rows. Returns the
// number of rows done. This is the PQ distance table of four-dimensional
// sub-spaces, eight centroids per step from four loads and one transpose.
size_t ip_batch_dim4_avx2(const float* q, const float* rows, size_t n, float* out) noexcept;
// out[i] = expanded_l2(row_norms[i], qn, ip_i) with ip_i the inner product
// that ip_batch_dim4_avx2 gives for row i, over the same rows; returns the
// number of rows done.
size_t expanded_l2_batch_dim4_avx2(const float* q, const float* rows, const float* row_norms, float qn, size_t n,
                                   float* out) noexcept;
// The same two for rows held dimension-major (value t of row i at
// cols[t * n + i]): eight rows per step from four plain loads, no transpose.
size_t ip_batch_dim4_cols_avx2(const float* q, const float* cols, size_t n, float* out) noexcept;
size_t expanded_l2_batch_dim4_cols_avx2(const float* q, const float* cols, const float* row_norms, float qn, size_t n,
                                        float* out) noexcept;

// The sums of a query block (see distance::query_block_distances): kind
// kBlockL2 gives out[r * nq + j] = fvec_l2sqr_avx2(query j, row r, d); the
// other two the inner products, and kBlockCosine also norms[r] =
// fvec_norm_l2sqr_avx2(row r, d). 1 <= nq <= 4, d >= 8; each row is loaded
// once for all nq queries. With `bounds` (nq values, kBlockL2 only), a tile
// whose running sums all exceed their queries' bounds after some multiple of
// 128 values stops, and its results are +inf.
inline constexpr int kBlockL2 = 0;
inline constexpr int kBlockInnerProduct = 1;
inline constexpr int kBlockCosine = 2;
void query_block_sums_avx2(const float* const* queries, size_t nq, const float* rows, size_t n, size_t d, int kind,
                           float* out, float* norms, const float* bounds) noexcept;

}  // namespace tavren::distance::detail
