// Distances of one query to runs of IVF-SQ rows straight from their 8-bit
// residual codes, in the 32-row dimension-major blocks of the file (inside a
// block of r rows, code j of row i is byte j * r + i), and the row scan that
// offers them to a result heap.
//
// The code c of dimension j of a row of a list with centroid cen and bounds
// [min, max] stands for (cen[j] + min[j]) + c * s[j], s[j] = (max[j] - min[j])
// * kInv255 (a product, not a division). The kernels fold centroid, minimum
// and step into d offsets A and d scales s once per call, then:
//   l2      sum over j ascending of (A[j] - s[j] * c)^2, A[j] = (q[j] - cen[j]) - min[j]
//   ip      -(sum over j of q[j] * (c * s[j] + A[j])), A[j] = cen[j] + min[j]
//   cosine  1 - dot / (sqrt(norm) * |q|), norm over the decoded row; 1 when
//           that denominator is not above 0
// every operation single precision, in that order, without fused
// multiply-add. Squared L2 abandons a block early: after its first m
// dimensions (m = d / 2 above 65 dimensions, else min(d, 32)) a block whose
// partial sums are all >= the threshold keeps them as its outputs. The AVX2
// l2 kernel and its portable twin give the same bits and the same abandon
// decisions; inner product and cosine have one portable path.
//
// Everything here is a pure function of its arguments except the scratch the
// caller hands in; any number of threads may scan at once with scratch of
// their own. Preconditions are assertions; nothing returns an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "row_id_filter.hpp"
#include "sq.hpp"
#include "topk.hpp"

namespace tavren::sq {

// Rows per code block in files and in every search.
inline constexpr size_t kScanBlockRows = 32;

// The working memory of one scanning thread, reused from call to call: after a
// call, query_terms holds the d offsets then the d scales, distances one value
// per scanned row. Its contents on entry are never read.
struct SqScanScratch {
    std::vector<float> query_terms;
    std::vector<float> distances;
};

// Dimensions summed before the early-abandon test of a block.
inline size_t l2_abandon_split(size_t d) noexcept { return d > 65 ? d / 2 : (d < 32 ? d : 32); }

// Squared L2 of n rows with offsets a and scales s (d each), blocks of
// block_rows rows (asserted >= 1, "assertion failed: step != 0"), writing
// out[0..n). The portable twin of blocked_sq_l2_avx2.
void blocked_sq_l2_scalar(std::span<const float> a, std::span<const float> s, std::span<const uint8_t> codes,
                          float threshold, size_t n, size_t d, size_t block_rows, std::span<float> out);
// The same for 32-row blocks with AVX2, the partial last block included (its
// rows get the same operations in the same order, so the same bits).
// REQUIRES distance::avx2_enabled().
void blocked_sq_l2_avx2(std::span<const float> a, std::span<const float> s, std::span<const uint8_t> codes,
                        float threshold, size_t n, size_t d, std::span<float> out);

// The distances of `query` (d values, normalised for cosine by the caller) to
// the n rows of `codes` (n * d bytes, blocked) of a list with centroid
// `offset` and quantizer `quantizer`, into scratch.distances (resized to n).
// `threshold` matters only for l2 (metric 0). l2 takes the AVX2 kernel when
// block_rows is 32 and AVX2 is enabled.
void distances_to_blocked_codes_with_offset(const ScalarQuantizer& quantizer, std::span<const float> query,
                                            std::span<const uint8_t> codes, size_t n, float threshold,
                                            std::span<const float> offset, uint32_t metric, size_t block_rows,
                                            SqScanScratch& scratch);

// Offers every row of a run (row_ids.size() rows, their blocked codes) to
// `heap`: the distances first, with the heap's threshold at entry, then each
// row in order that the filter (may be null) contains, when its distance is
// strictly below the heap's current threshold.
void scan_sq_rows(std::span<const float> query, std::span<const int64_t> row_ids, std::span<const uint8_t> codes,
                  std::span<const float> centroid, const ScalarQuantizer& quantizer, uint32_t metric,
                  const row_id_filter::RowIdFilter* filter, SqScanScratch& scratch, topk::TopKHeap& heap);

}  // namespace tavren::sq
