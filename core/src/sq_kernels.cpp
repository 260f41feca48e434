#include "sq_kernels.hpp"

#include <cmath>

#include "distance.hpp"
#include "error.hpp"
#include "sq_kernels_avx2.hpp"

namespace tavren::sq {

namespace {

// One block of r rows of squared L2, starting at `block` (r * d codes) into
// out[0..r). The same operations, in the same order per row, as the AVX2
// block kernel.
void l2_block_scalar(const float* a, const float* s, const uint8_t* block, float threshold, size_t r, size_t d,
                     float* out) noexcept {
    for (size_t i = 0; i < r; ++i) out[i] = 0.0f;
    const size_t m = l2_abandon_split(d);
    for (size_t j = 0; j < m; ++j) {
        const uint8_t* codes = block + j * r;
        for (size_t i = 0; i < r; ++i) {
            const float diff = a[j] - s[j] * static_cast<float>(codes[i]);
            out[i] += diff * diff;
        }
    }
    if (m == d) return;
    bool all_beyond = true;
    for (size_t i = 0; i < r; ++i) {
        if (!(out[i] >= threshold)) {
            all_beyond = false;
            break;
        }
    }
    if (all_beyond) return;
    for (size_t j = m; j < d; ++j) {
        const uint8_t* codes = block + j * r;
        for (size_t i = 0; i < r; ++i) {
            const float diff = a[j] - s[j] * static_cast<float>(codes[i]);
            out[i] += diff * diff;
        }
    }
}

void check_run(std::span<const float> a, std::span<const float> s, std::span<const uint8_t> codes, size_t n, size_t d,
               std::span<const float> out) {
    TD_ASSERT(a.size() >= d && s.size() >= d, "SQ query terms hold fewer than d values");
    TD_ASSERT(d == 0 || codes.size() / d >= n, "SQ codes hold fewer than n rows");
    TD_ASSERT(out.size() >= n, "SQ distances hold fewer than n values");
}

// Inner product (cosine = false) or cosine of one block of r rows; the dot
// products accumulate in out, the decoded rows' squared norms in `norm` (r
// values, cosine only).
void dot_block(const float* q, const float* a, const float* s, const uint8_t* block, size_t r, size_t d,
               float query_norm, bool cosine, float* norm, float* out) noexcept {
    for (size_t i = 0; i < r; ++i) out[i] = 0.0f;
    if (cosine) {
        for (size_t i = 0; i < r; ++i) norm[i] = 0.0f;
    }
    for (size_t j = 0; j < d; ++j) {
        const uint8_t* codes = block + j * r;
        for (size_t i = 0; i < r; ++i) {
            const float v = static_cast<float>(codes[i]) * s[j] + a[j];
            out[i] = out[i] + q[j] * v;
            if (cosine) norm[i] = norm[i] + v * v;
        }
    }
    for (size_t i = 0; i < r; ++i) {
        if (!cosine) {
            out[i] = -out[i];
            continue;
        }
        const float den = std::sqrt(norm[i]) * query_norm;
        out[i] = den > 0.0f ? 1.0f - out[i] / den : 1.0f;
    }
}

}  // namespace

void blocked_sq_l2_scalar(std::span<const float> a, std::span<const float> s, std::span<const uint8_t> codes,
                          float threshold, size_t n, size_t d, size_t block_rows, std::span<float> out) {
    if (block_rows == 0) panic("assertion failed: step != 0");
    check_run(a, s, codes, n, d, out);
    for (size_t first = 0; first < n; first += block_rows) {
        const size_t r = n - first < block_rows ? n - first : block_rows;
        l2_block_scalar(a.data(), s.data(), codes.data() + first * d, threshold, r, d, out.data() + first);
    }
}

void blocked_sq_l2_avx2(std::span<const float> a, std::span<const float> s, std::span<const uint8_t> codes,
                        float threshold, size_t n, size_t d, std::span<float> out) {
    check_run(a, s, codes, n, d, out);
    // The partial last block too: its rows get the portable twin's operations
    // in the same order, so the bits are the same.
    detail::blocked_sq_l2_avx2_blocks(a.data(), s.data(), codes.data(), threshold, n, d, l2_abandon_split(d),
                                      out.data());
}

void distances_to_blocked_codes_with_offset(const ScalarQuantizer& quantizer, std::span<const float> query,
                                            std::span<const uint8_t> codes, size_t n, float threshold,
                                            std::span<const float> offset, uint32_t metric, size_t block_rows,
                                            SqScanScratch& scratch) {
    const size_t d = quantizer.dimension();
    const std::vector<float>& mins = quantizer.mins();
    const std::vector<float>& maxs = quantizer.maxs();
    TD_ASSERT(query.size() >= d && offset.size() >= d && mins.size() >= d && maxs.size() >= d,
              "SQ scan inputs hold fewer than d values");
    scratch.query_terms.resize(2 * d);
    float* a = scratch.query_terms.data();
    float* s = a + d;
    for (size_t j = 0; j < d; ++j) {
        s[j] = (maxs[j] - mins[j]) * kInv255;
        a[j] = metric == kMetricL2 ? (query[j] - offset[j]) - mins[j] : offset[j] + mins[j];
    }
    scratch.distances.resize(n);
    const std::span<const float> terms_a(a, d);
    const std::span<const float> terms_s(s, d);
    if (metric == kMetricL2) {
        if (block_rows == kScanBlockRows && distance::avx2_enabled()) {
            blocked_sq_l2_avx2(terms_a, terms_s, codes, threshold, n, d, scratch.distances);
        } else {
            blocked_sq_l2_scalar(terms_a, terms_s, codes, threshold, n, d, block_rows, scratch.distances);
        }
        return;
    }
    if (block_rows == 0) panic("assertion failed: step != 0");
    check_run(terms_a, terms_s, codes, n, d, scratch.distances);
    const bool cosine = metric == kMetricCosine;
    const float query_norm = cosine ? std::sqrt(distance::fvec_norm_l2sqr(query.first(d))) : 0.0f;
    float small_norm[kScanBlockRows];
    std::vector<float> large_norm;
    float* norm = small_norm;
    if (cosine && block_rows > kScanBlockRows && n > kScanBlockRows) {
        large_norm.resize(n < block_rows ? n : block_rows);
        norm = large_norm.data();
    }
    for (size_t first = 0; first < n; first += block_rows) {
        const size_t r = n - first < block_rows ? n - first : block_rows;
        dot_block(query.data(), a, s, codes.data() + first * d, r, d, query_norm, cosine, norm,
                  scratch.distances.data() + first);
    }
}

void scan_sq_rows(std::span<const float> query, std::span<const int64_t> row_ids, std::span<const uint8_t> codes,
                  std::span<const float> centroid, const ScalarQuantizer& quantizer, uint32_t metric,
                  const row_id_filter::RowIdFilter* filter, SqScanScratch& scratch, topk::TopKHeap& heap) {
    distances_to_blocked_codes_with_offset(quantizer, query, codes, row_ids.size(), heap.threshold(), centroid,
                                           metric, kScanBlockRows, scratch);
    if (heap.k() == 0) return;
    const size_t n = scratch.distances.size() < row_ids.size() ? scratch.distances.size() : row_ids.size();
    for (size_t i = 0; i < n; ++i) {
        if (filter != nullptr && !filter->contains(row_ids[i])) continue;
        const float dist = scratch.distances[i];
        if (dist < heap.threshold()) heap.push(row_ids[i], dist);
    }
}

}  // namespace tavren::sq
