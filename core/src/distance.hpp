// Single-precision vector arithmetic: the three metrics, norms, dot products,
// batches, the early-exit test, normalisation, and the PQ table-scan kernels.
//
// Every reduction has an AVX2 kernel (chosen at run time when AVX2 is usable
// and the governing length is at least 8) and a scalar twin that adds in index
// order from +0.0. Neither path uses fused multiply-add, so each path gives the
// same bits on every build. Preconditions are assertions (AssertionFailure);
// nothing here returns an error or allocates except where stated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cpu.hpp"
#include "metric.hpp"  // the metric codes, which the kernels take

namespace tavren::distance {

using FloatSpan = std::span<const float>;

// Processor features live in cpu.hpp; these names stay for the kernels' callers.
using cpu::avx2_available;
using cpu::avx2_enabled;
using cpu::force_scalar_for_testing;

// Sum of (a[i] - b[i])^2. Asserts equal lengths.
float fvec_l2sqr(FloatSpan a, FloatSpan b);
// Sum of a[i] * b[i] for i < len(a); b must hold at least len(a) values.
float fvec_inner_product(FloatSpan a, FloatSpan b);
// Sum of v[i]^2.
float fvec_norm_l2sqr(FloatSpan v);
// Distance of a and b under `metric` (0 l2, 1 inner product, anything else cosine).
float fvec_distance(FloatSpan a, FloatSpan b, uint32_t metric);

// The distance of one query to many rows under one metric. Borrowed query;
// query_norm = sqrt(fvec_norm_l2sqr(query)) and is read only under cosine.
struct QueryDistance {
    FloatSpan query;
    float query_norm = 0.0f;
    uint32_t metric = kMetricL2;
    float distance_to(FloatSpan row) const;
};

// The distances of a block of at most kQueryBlockMax queries (each
// queries[j] holding `d` values, query_norms[j] read under cosine only) to n
// rows of `d` values: out[r * nq + j] = QueryDistance{query j, norm j,
// metric}.distance_to(row r) bit for bit, with each row read once for the
// whole block. out holds n * nq values. No allocation.
//
// Under l2, `bounds` (empty, or nq values) lets the kernel stop early: a
// distance known to exceed bounds[j] may come out as +inf instead (a result
// heap whose worst is bounds[j] refuses either). NaN bounds stop nothing.
inline constexpr size_t kQueryBlockMax = 4;
void query_block_distances(std::span<const float* const> queries, std::span<const float> query_norms,
                           uint32_t metric, const float* rows, size_t n, size_t d, float* out,
                           std::span<const float> bounds = {});

// fvec_l2sqr(x, yj) for j = 0..3, reading each block of x once.
std::array<float, 4> fvec_l2sqr_four(FloatSpan x, FloatSpan y0, FloatSpan y1, FloatSpan y2, FloatSpan y3);

// True as soon as scale * (running squared distance) > threshold.
bool fvec_l2sqr_scaled_exceeds(FloatSpan a, FloatSpan b, float scale, float threshold);

// out[i] = dot(query, row i) for i < n (rows of `dim` values in `data`).
// Batches of at least 8 rows of dimension at least 4 go through the matrix
// product (each value in the 8-lane order, the bits of fvec_inner_product's
// AVX2 kernel); smaller ones row by row. n = 0 reads and writes nothing.
void fvec_ip_batch(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out);
// The expanded squared distance (|c|^2 + |x|^2) - 2 x.c of the PQ tables,
// never negative; NaN (from overflowing or NaN inputs) counts as 0.
inline float expanded_l2(float cn, float xn, float ip) noexcept {
    const float v = (cn + xn) - (ip + ip);
    return v > 0.0f ? v : 0.0f;
}
// out[i] = expanded_l2(row_norms[i], fvec_norm_l2sqr(query), the value
// fvec_ip_batch gives for row i) for i < n, bit for bit; four-value rows
// (the common PQ sub-space) in one pass without a second loop over out.
void fvec_expanded_l2_batch(FloatSpan query, FloatSpan data, FloatSpan row_norms, size_t dim, size_t n,
                            std::span<float> out);
// fvec_ip_batch and fvec_expanded_l2_batch of n four-value rows held
// dimension-major: value t of row i at cols[t * n + i] (cols holds 4 n
// values). The same bits as the row-major forms.
void fvec_ip_batch_dim4_cols(FloatSpan query, FloatSpan cols, size_t n, std::span<float> out);
void fvec_expanded_l2_batch_dim4_cols(FloatSpan query, FloatSpan cols, FloatSpan row_norms, size_t n,
                                      std::span<float> out);
// out[i] = squared L2 distance from query to row i for i < n. On the
// matrix-product branch, (|row|^2 + |query|^2) - 2 dot, never negative; where
// that form gives NaN (norms or dot products overflowing to infinity) the
// exact difference form is taken instead, and a NaN left over (NaN inputs)
// becomes +inf: never a false exact match.
void fvec_l2sqr_batch(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out);
// out[i] = a[i] + scale * b[i] for i < len(a).
void fvec_madd(FloatSpan a, float scale, FloatSpan b, std::span<float> out);
// Scales v to unit length when its squared norm is > 0; returns the norm before scaling.
float fvec_normalize(std::span<float> v);
// A copy of the first n rows, each L2-normalised when metric is cosine. Allocates.
std::vector<float> preprocess_vectors(FloatSpan data, size_t n, size_t dim, uint32_t metric);
// fvec_norm_l2sqr of every full row of `dim` values (a trailing partial row is ignored).
std::vector<float> row_norms_l2sqr(FloatSpan data, size_t dim);

// ---- records of little-endian f32 values held as bytes ------------------------

// The squared L2 distance of `query` to a record of query.size() little-endian
// f32 values (record.size() == 4 * query.size(), asserted), read in place,
// and whether every stored value is finite. avx2 = true takes the 8-lane
// order of fvec_l2sqr's AVX2 kernel and needs avx2_enabled() (asserted);
// false adds in index order from +0.0. Nothing is copied or allocated.
struct RecordDistance {
    float distance = 0.0f;
    bool finite = true;
};
RecordDistance fvec_l2sqr_le_record(FloatSpan query, std::span<const uint8_t> record, bool avx2);

// ---- PQ table-scan kernels ----------------------------------------------

// The plain table sum of one vector with 8-bit codes (table: m x 256, entry c
// of sub-quantizer j at 256 * j + c): one accumulator from +0.0 over
// sub-quantizers 0, 1, ..., m - 1. Indexes are checked.
float pq_table_sum(FloatSpan table, std::span<const uint8_t> code, size_t m);
// pq_table_sum of eight vectors at once, bit for bit: out[k] for the m code
// bytes at codes[k]. The caller guarantees that each codes[k] holds m bytes;
// the table must hold 256 * m entries (assertion). Eight scalar running sums,
// eight code bytes of each vector per load.
void pq_table_sums8(FloatSpan table, const uint8_t* const codes[8], size_t m, float out[8]);
// The same for 4-bit codes (table: m x 16, entry c of sub-quantizer j at
// 16 * j + c; byte b of a code holds sub-quantizer 2b in its low and 2b + 1 in
// its high nibble): each codes[k] holds m - m / 2 bytes, and out[k] is the sum
// from +0.0 in sub-quantizer order.
void pq4_table_sums8(FloatSpan table, const uint8_t* const codes[8], size_t m, float out[8]);
// The table sum of one vector with 8-bit codes, eight sub-quantizers at a time:
// lane t of an 8-lane accumulator adds sub-quantizer 8g + t of every full group
// g, the lanes are reduced as ((A0 + A4) + (A2 + A6)) + ((A1 + A5) + (A3 + A7)),
// and the m mod 8 remaining entries are added in order (m < 8 gives the plain
// sum). Callers choose it when avx2_enabled(); without AVX2 it computes the
// same bits with scalar lanes, so it is always safe to call.
// Every table entry read lies within `table` (index assertion otherwise).
float pq_distance_avx2(FloatSpan table, std::span<const uint8_t> code, size_t m);
// Distances of n vectors with 4-bit codes (table: m x 16; codes: n records of
// m / 2 bytes, byte b holding sub-quantizer 2b in its low and 2b + 1 in its
// high nibble) into out[0 .. n-1]. The first 200 are exact:
// total = (total + lo entry) + hi entry per byte from +0.0. The rest go through
// an 8-bit copy of the table quantized over [tmin, tmin + width], width being
// the largest exact distance minus the smallest table entry (at least 1e-10),
// and come out as sum * (width / 255) + tmin * m. Integer sums never wrap,
// however large m is. Allocates the quantized table only when n > 200.
void scan_4bit_simd(FloatSpan table, std::span<const uint8_t> codes, size_t n, size_t m, std::span<float> out);

// ---- IEEE 754 binary16 ----------------------------------------------------

// True when the processor and the OS support F16C (detected once, cached).
bool f16c_available() noexcept;
// Whether the F16C conversions are in use: f16c_available() unless
// force_scalar_for_testing forced the scalar path.
bool f16c_enabled() noexcept;

// f32 -> binary16 bits, rounding to nearest even. Magnitudes that round
// beyond 65504 give infinity; a NaN stays a quiet NaN with its sign and the
// top ten payload bits. The bits equal those of the F16C instruction.
uint16_t f32_to_f16_bits(float value) noexcept;
// binary16 bits -> the f32 of the same value (exact); a NaN comes back quiet.
float f16_bits_to_f32(uint16_t bits) noexcept;
// Element-wise over whole spans (asserted to be equally long), through F16C
// when f16c_enabled(), else the scalar forms above: the same bits either way.
void f32_to_f16(FloatSpan in, std::span<uint16_t> out);
void f16_to_f32(std::span<const uint16_t> in, std::span<float> out);
// The squared L2 distance of `query` to a record of query.size() little-endian
// binary16 values (record.size() == 2 * query.size(), asserted), read in
// place, and whether every stored value is finite: bit for bit fvec_l2sqr of
// the query and the record's values converted with f16_to_f32 (when the record
// is finite), without the copy and the separate passes. Needs at least 8
// values and both avx2_enabled() and f16c_enabled() (asserted).
RecordDistance fvec_l2sqr_f16_record(FloatSpan query, std::span<const uint8_t> record);

}  // namespace tavren::distance
