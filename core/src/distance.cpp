// Dispatching operations, their scalar twins, the composite operations and
// the PQ table-scan kernels. Intrinsics live in distance_avx2.cpp; the
// 4-bit scan needs nothing beyond baseline x86-64.
#include "distance.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "avx2_sum.hpp"
#include "blas.hpp"
#include "distance_avx2.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::distance {
namespace {

// ---- scalar twins: one accumulator from +0.0, index order ----------------

float l2sqr_scalar(const float* a, const float* b, size_t n) noexcept {
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        float d = a[i] - b[i];
        s += d * d;
    }
    return s;
}

float inner_product_scalar(const float* a, const float* b, size_t n) noexcept {
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

float norm_l2sqr_scalar(const float* v, size_t n) noexcept {
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) s += v[i] * v[i];
    return s;
}

// Kernels on lengths already checked by the caller.
inline float l2sqr_raw(const float* a, const float* b, size_t n) noexcept {
    if (n >= 8 && avx2_enabled()) return detail::fvec_l2sqr_avx2(a, b, n);
    return l2sqr_scalar(a, b, n);
}
inline float inner_product_raw(const float* a, const float* b, size_t n) noexcept {
    if (n >= 8 && avx2_enabled()) return detail::fvec_inner_product_avx2(a, b, n);
    return inner_product_scalar(a, b, n);
}
inline float norm_l2sqr_raw(const float* v, size_t n) noexcept {
    if (n >= 8 && avx2_enabled()) return detail::fvec_norm_l2sqr_avx2(v, n);
    return norm_l2sqr_scalar(v, n);
}

// 1 - dot(a, b) / d for d = sqrt(|a|^2) * sqrt(|b|^2), each root rounded.
// 1.0 exactly when d is not > 0: the dot product is not needed then, but a b
// shorter than a stays an assertion.
float cosine_given_norms(FloatSpan a, FloatSpan b, float d) {
    if (!(d > 0.0f)) {
        check_len(a.size(), b.size());
        return 1.0f;
    }
    return 1.0f - fvec_inner_product(a, b) / d;
}

size_t checked_product(size_t a, size_t b, const char* what) {
    auto r = checked_mul(a, b);
    if (!r) panic("{} overflows usize", what);
    return static_cast<size_t>(*r);
}

// The shapes of a batch of n rows of dim values against one query; dim * n.
size_t check_batch_shape(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out) {
    check_len(dim, query.size());
    check_len(n, out.size());
    const size_t total = checked_product(dim, n, "dim * n");
    check_len(total, data.size());
    return total;
}

// A checked batch one row at a time with a raw kernel; all zeros for dim 0.
template <float (*Kernel)(const float*, const float*, size_t) noexcept>
void batch_row_by_row(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out) {
    if (dim == 0) {
        std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), 0.0f);
        return;
    }
    for (size_t i = 0; i < n; ++i) out[i] = Kernel(query.data(), data.data() + i * dim, dim);
}

}  // namespace

bool f16c_enabled() noexcept { return !cpu::scalar_forced_for_testing() && f16c_available(); }

float fvec_l2sqr(FloatSpan a, FloatSpan b) {
    assert_eq(a.size(), b.size(), "fvec_l2sqr inputs must have the same length");
    return l2sqr_raw(a.data(), b.data(), a.size());
}

float fvec_inner_product(FloatSpan a, FloatSpan b) {
    check_len(a.size(), b.size());
    return inner_product_raw(a.data(), b.data(), a.size());
}

float fvec_norm_l2sqr(FloatSpan v) { return norm_l2sqr_raw(v.data(), v.size()); }

float fvec_distance(FloatSpan a, FloatSpan b, uint32_t metric) {
    if (metric == kMetricL2) return fvec_l2sqr(a, b);
    if (metric == kMetricInnerProduct) return -fvec_inner_product(a, b);
    float na = fvec_norm_l2sqr(a);
    float nb = fvec_norm_l2sqr(b);
    return cosine_given_norms(a, b, std::sqrt(na) * std::sqrt(nb));
}

float QueryDistance::distance_to(FloatSpan row) const {
    if (metric == kMetricL2) return fvec_l2sqr(query, row);
    if (metric == kMetricInnerProduct) return -fvec_inner_product(query, row);
    float r = fvec_norm_l2sqr(row);
    return cosine_given_norms(query, row, std::sqrt(r) * query_norm);
}

void query_block_distances(std::span<const float* const> queries, std::span<const float> query_norms,
                           uint32_t metric, const float* rows, size_t n, size_t d, float* out,
                           std::span<const float> bounds) {
    const size_t nq = queries.size();
    TD_ASSERT(nq >= 1 && nq <= kQueryBlockMax, "a query block holds 1 to 4 queries");
    if (!bounds.empty()) assert_eq(bounds.size(), nq, "one bound per query");
    if (metric != kMetricL2 && metric != kMetricInnerProduct) assert_eq(query_norms.size(), nq, "one norm per query");
    if (n == 0) return;
    if (d < 8 || !avx2_enabled()) {
        for (size_t r = 0; r < n; ++r) {
            const FloatSpan row(rows + r * d, d);
            for (size_t j = 0; j < nq; ++j) {
                const float norm = metric == kMetricL2 || metric == kMetricInnerProduct ? 0.0f : query_norms[j];
                out[r * nq + j] = QueryDistance{FloatSpan(queries[j], d), norm, metric}.distance_to(row);
            }
        }
        return;
    }
    if (metric == kMetricL2) {
        detail::query_block_sums_avx2(queries.data(), nq, rows, n, d, detail::kBlockL2, out, nullptr,
                                      bounds.empty() ? nullptr : bounds.data());
        return;
    }
    if (metric == kMetricInnerProduct) {
        detail::query_block_sums_avx2(queries.data(), nq, rows, n, d, detail::kBlockInnerProduct, out, nullptr, nullptr);
        for (size_t i = 0; i < n * nq; ++i) out[i] = -out[i];
        return;
    }
    // Cosine: the row norms come out of the same pass as the dot products, so
    // a row costs what it costs under inner product.
    constexpr size_t kRowsPerPass = 64;
    float norms[kRowsPerPass];
    for (size_t r0 = 0; r0 < n; r0 += kRowsPerPass) {
        const size_t m = std::min(kRowsPerPass, n - r0);
        float* o = out + r0 * nq;
        detail::query_block_sums_avx2(queries.data(), nq, rows + r0 * d, m, d, detail::kBlockCosine, o, norms, nullptr);
        for (size_t r = 0; r < m; ++r) {
            const float row_norm = std::sqrt(norms[r]);
            for (size_t j = 0; j < nq; ++j) {
                // cosine_given_norms with the dot product already taken.
                const float dn = row_norm * query_norms[j];
                float& v = o[r * nq + j];
                v = !(dn > 0.0f) ? 1.0f : 1.0f - v / dn;
            }
        }
    }
}

std::array<float, 4> fvec_l2sqr_four(FloatSpan x, FloatSpan y0, FloatSpan y1, FloatSpan y2, FloatSpan y3) {
    constexpr const char* kMsg = "fvec_l2sqr_four inputs must have the same length";
    assert_eq(x.size(), y0.size(), kMsg);
    assert_eq(x.size(), y1.size(), kMsg);
    assert_eq(x.size(), y2.size(), kMsg);
    assert_eq(x.size(), y3.size(), kMsg);
    const size_t n = x.size();
    std::array<float, 4> out{};
    if (n >= 8 && avx2_enabled()) {
        detail::fvec_l2sqr_four_avx2(x.data(), y0.data(), y1.data(), y2.data(), y3.data(), n, out.data());
        return out;
    }
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        float d0 = x[i] - y0[i];
        float d1 = x[i] - y1[i];
        float d2 = x[i] - y2[i];
        float d3 = x[i] - y3[i];
        s0 += d0 * d0;
        s1 += d1 * d1;
        s2 += d2 * d2;
        s3 += d3 * d3;
    }
    out = {s0, s1, s2, s3};
    return out;
}

bool fvec_l2sqr_scaled_exceeds(FloatSpan a, FloatSpan b, float scale, float threshold) {
    assert_eq(a.size(), b.size(), "fvec_l2sqr_scaled_exceeds inputs must have the same length");
    TD_ASSERT(std::isfinite(scale) && !(scale < 0.0f),
              "fvec_l2sqr_scaled_exceeds scale must be finite and non-negative");
    if (threshold < 0.0f) return true;
    const size_t n = a.size();
    if (n >= 8 && avx2_enabled()) {
        return detail::fvec_l2sqr_scaled_exceeds_avx2(a.data(), b.data(), n, scale, threshold);
    }
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        float d = a[i] - b[i];
        s += d * d;
        if (scale * s > threshold) return true;
    }
    return false;
}

void fvec_ip_batch(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out) {
    if (n == 0) return;
    const size_t total = check_batch_shape(query, data, dim, n, out);
    if (dim == 4 && n >= 8 && avx2_enabled()) {
        // The PQ distance tables of four-dimensional sub-spaces: the matrix
        // product's bits (each row summed in order from 0) at a fraction of
        // its set-up cost for one query row.
        const size_t done = detail::ip_batch_dim4_avx2(query.data(), data.data(), n, out.data());
        for (size_t i = done; i < n; ++i) out[i] = inner_product_scalar(query.data(), data.data() + 4 * i, 4);
        return;
    }
    if (dim >= 4 && n >= 8) {
        blas::sgemm_a_bt(1, n, dim, 1.0f, query.first(dim), data.first(total), 0.0f, out.first(n));
        return;
    }
    batch_row_by_row<inner_product_raw>(query, data, dim, n, out);
}

void fvec_expanded_l2_batch(FloatSpan query, FloatSpan data, FloatSpan row_norms, size_t dim, size_t n,
                            std::span<float> out) {
    if (n == 0) return;
    check_batch_shape(query, data, dim, n, out);
    check_len(n, row_norms.size());
    const float qn = fvec_norm_l2sqr(query.first(dim));
    if (dim == 4 && n >= 8 && avx2_enabled()) {
        const size_t done = detail::expanded_l2_batch_dim4_avx2(query.data(), data.data(), row_norms.data(), qn, n, out.data());
        for (size_t i = done; i < n; ++i) {
            out[i] = expanded_l2(row_norms[i], qn, inner_product_scalar(query.data(), data.data() + 4 * i, 4));
        }
        return;
    }
    fvec_ip_batch(query, data, dim, n, out);
    for (size_t i = 0; i < n; ++i) out[i] = expanded_l2(row_norms[i], qn, out[i]);
}

namespace {

// Row i of dimension-major four-value rows, summed in the scalar order.
float ip_dim4_col(const float* q, const float* cols, size_t n, size_t i) noexcept {
    const float row[4] = {cols[i], cols[n + i], cols[2 * n + i], cols[3 * n + i]};
    return inner_product_scalar(q, row, 4);
}

}  // namespace

void fvec_ip_batch_dim4_cols(FloatSpan query, FloatSpan cols, size_t n, std::span<float> out) {
    if (n == 0) return;
    check_batch_shape(query, cols, 4, n, out);
    size_t i = avx2_enabled() ? detail::ip_batch_dim4_cols_avx2(query.data(), cols.data(), n, out.data()) : 0;
    for (; i < n; ++i) out[i] = ip_dim4_col(query.data(), cols.data(), n, i);
}

void fvec_expanded_l2_batch_dim4_cols(FloatSpan query, FloatSpan cols, FloatSpan row_norms, size_t n,
                                      std::span<float> out) {
    if (n == 0) return;
    check_batch_shape(query, cols, 4, n, out);
    check_len(n, row_norms.size());
    const float qn = fvec_norm_l2sqr(query.first(4));
    size_t i = avx2_enabled() ? detail::expanded_l2_batch_dim4_cols_avx2(query.data(), cols.data(), row_norms.data(),
                                                                         qn, n, out.data())
                              : 0;
    for (; i < n; ++i) out[i] = expanded_l2(row_norms[i], qn, ip_dim4_col(query.data(), cols.data(), n, i));
}

void fvec_l2sqr_batch(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out) {
    if (n == 0) return;
    check_batch_shape(query, data, dim, n, out);
    if (dim < 4 || n < 8) {
        batch_row_by_row<l2sqr_raw>(query, data, dim, n, out);
        return;
    }
    fvec_ip_batch(query, data, dim, n, out);
    const float qn = norm_l2sqr_raw(query.data(), dim);
    for (size_t i = 0; i < n; ++i) {
        const float* row = data.data() + i * dim;
        const float xn = norm_l2sqr_raw(row, dim);
        const float ip = out[i];
        float d = (xn + qn) - (ip + ip);
        if (std::isnan(d)) {
            // inf - inf: the norms or the dot product overflowed although the
            // distance itself may be finite. Take the exact difference form;
            // a NaN left over (a NaN input) must read as far, never as a match.
            d = l2sqr_raw(query.data(), row, dim);
            if (std::isnan(d)) d = std::numeric_limits<float>::infinity();
        } else if (d < 0.0f) {
            d = 0.0f;
        }
        out[i] = d;
    }
}

void fvec_madd(FloatSpan a, float scale, FloatSpan b, std::span<float> out) {
    const size_t n = a.size();
    check_len(n, b.size());
    check_len(n, out.size());
    if (avx2_enabled()) {
        detail::fvec_madd_avx2(a.data(), scale, b.data(), out.data(), n);
        return;
    }
    for (size_t i = 0; i < n; ++i) out[i] = a[i] + scale * b[i];
}

float fvec_normalize(std::span<float> v) {
    float s = norm_l2sqr_raw(v.data(), v.size());
    float r = std::sqrt(s);
    if (!(s > 0.0f)) return r;
    float inv = 1.0f / r;
    for (float& x : v) x *= inv;
    return r;
}

std::vector<float> preprocess_vectors(FloatSpan data, size_t n, size_t dim, uint32_t metric) {
    const size_t total = checked_product(n, dim, "n * dim");
    check_len(total, data.size());
    std::vector<float> out(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(total));
    if (dim == 0 || metric != kMetricCosine) return out;
    float* base = out.data();
    if (n > 1000) {
        // Rows are disjoint and each is normalised on its own, so the split
        // does not change a bit of the result.
        const size_t grain = std::max<size_t>(1, 16384 / dim);
        pool::parallel_for(0, n, grain, [base, dim](size_t lo, size_t hi) {
            for (size_t i = lo; i < hi; ++i) fvec_normalize({base + i * dim, dim});
        });
    } else {
        for (size_t i = 0; i < n; ++i) fvec_normalize({base + i * dim, dim});
    }
    return out;
}

std::vector<float> row_norms_l2sqr(FloatSpan data, size_t dim) {
    TD_ASSERT(dim != 0, "chunk size must be non-zero");
    const size_t rows = data.size() / dim;
    std::vector<float> out(rows);
    for (size_t i = 0; i < rows; ++i) out[i] = norm_l2sqr_raw(data.data() + i * dim, dim);
    return out;
}

// ---- PQ table-scan kernels ------------------------------------------------

RecordDistance fvec_l2sqr_le_record(FloatSpan query, std::span<const uint8_t> record, bool avx2) {
    const size_t n = query.size();
    assert_eq(record.size(), 4 * n, "fvec_l2sqr_le_record record must hold 4 bytes per query value");
    RecordDistance out;
    if (avx2) {
        TD_ASSERT(avx2_enabled(), "fvec_l2sqr_le_record AVX2 kernel requires AVX2");
        out.distance = detail::fvec_l2sqr_le_bytes_avx2(query.data(), record.data(), n, &out.finite);
        return out;
    }
    float s = 0.0f;
    bool finite = true;
    for (size_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, record.data() + 4 * i, 4);
        if ((bits & 0x7F800000u) == 0x7F800000u) finite = false;
        const float d = query[i] - std::bit_cast<float>(bits);
        s += d * d;
    }
    out.distance = s;
    out.finite = finite;
    return out;
}

float pq_table_sum(FloatSpan table, std::span<const uint8_t> code, size_t m) {
    check_len(m, code.size());
    float s = 0.0f;
    for (size_t j = 0; j < m; ++j) {
        size_t idx = 256 * j + code[j];
        check_index(idx, table.size());
        s += table[idx];
    }
    return s;
}

namespace {

// Eight table sums without AVX2: out[k] adds, from +0.0 and in sub-quantizer
// order, entry code(k, j) of each sub-quantizer j's ksub entries.
template <class Code>
void scalar_table_sums8(const float* table, size_t ksub, size_t m, float out[8], Code code) {
    float s[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (size_t j = 0; j < m; ++j) {
        const float* t = table + ksub * j;
        for (size_t k = 0; k < 8; ++k) s[k] += t[code(k, j)];
    }
    for (size_t k = 0; k < 8; ++k) out[k] = s[k];
}

}  // namespace

namespace {

// Eight 8-bit code sums with one scalar running sum per node. Putting the
// eight entries of a sub-quantizer into one vector register costs a shuffle
// per entry, and a hardware gather is slower still on some processors; plain
// loads and adds measured fastest on every machine tried. Each sum starts
// from +0.0 and adds in sub-quantizer order. kWords takes eight code bytes
// of each node per load apart by shifts (cpu::CodeLoads::Words), else each
// byte is loaded on its own (Bytes): the same bits. The code pointers are
// held in locals: read through the array, the byte loop measured slower.
template <bool kWords>
void table_sums8_plain(const float* table, const uint8_t* const codes[8], size_t m, float out[8]) noexcept {
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f, s4 = 0.0f, s5 = 0.0f, s6 = 0.0f, s7 = 0.0f;
    const uint8_t *c0 = codes[0], *c1 = codes[1], *c2 = codes[2], *c3 = codes[3], *c4 = codes[4], *c5 = codes[5],
                  *c6 = codes[6], *c7 = codes[7];
    size_t j = 0;
    if constexpr (kWords) {
        const auto word = [](const uint8_t* p) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            return w;
        };
        for (; j + 8 <= m; j += 8) {
            // Byte b of each word is sub-quantizer j + b: the lowest byte first.
            uint64_t w0 = word(c0 + j), w1 = word(c1 + j), w2 = word(c2 + j), w3 = word(c3 + j), w4 = word(c4 + j),
                     w5 = word(c5 + j), w6 = word(c6 + j), w7 = word(c7 + j);
            const float* t = table + 256 * j;
            for (int b = 0; b < 8; ++b, t += 256) {
                s0 += t[w0 & 255];
                s1 += t[w1 & 255];
                s2 += t[w2 & 255];
                s3 += t[w3 & 255];
                s4 += t[w4 & 255];
                s5 += t[w5 & 255];
                s6 += t[w6 & 255];
                s7 += t[w7 & 255];
                w0 >>= 8;
                w1 >>= 8;
                w2 >>= 8;
                w3 >>= 8;
                w4 >>= 8;
                w5 >>= 8;
                w6 >>= 8;
                w7 >>= 8;
            }
        }
    }
    const float* t = table + 256 * j;
    for (; j < m; ++j, t += 256) {
        s0 += t[c0[j]];
        s1 += t[c1[j]];
        s2 += t[c2[j]];
        s3 += t[c3[j]];
        s4 += t[c4[j]];
        s5 += t[c5[j]];
        s6 += t[c6[j]];
        s7 += t[c7[j]];
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
    out[4] = s4;
    out[5] = s5;
    out[6] = s6;
    out[7] = s7;
}

}  // namespace

void pq_table_sums8(FloatSpan table, const uint8_t* const codes[8], size_t m, float out[8]) {
    check_len(checked_product(m, 256, "256 * m"), table.size());
    if (std::endian::native == std::endian::little && cpu::code_loads() == cpu::CodeLoads::Words) {
        table_sums8_plain<true>(table.data(), codes, m, out);
    } else {
        table_sums8_plain<false>(table.data(), codes, m, out);
    }
}

void pq4_table_sums8(FloatSpan table, const uint8_t* const codes[8], size_t m, float out[8]) {
    check_len(checked_product(m, 16, "16 * m"), table.size());
    if (avx2_enabled()) {
        detail::pq4_sum8_sequential_avx2(table.data(), codes, m, out);
        return;
    }
    scalar_table_sums8(table.data(), 16, m, out,
                       [&](size_t k, size_t j) { return (codes[k][j >> 1] >> ((j & 1) != 0 ? 4 : 0)) & 15; });
}

float pq_distance_avx2(FloatSpan table, std::span<const uint8_t> code, size_t m) {
    const size_t groups = m / 8;
    float sum = 0.0f;
    if (groups > 0) {
        check_len(8 * groups, code.size());
        // Every gathered entry must lie within the table. A table of 256 entries
        // per grouped sub-quantizer is the common case; otherwise check each.
        if (table.size() / 256 < 8 * groups) {
            for (size_t j = 0; j < 8 * groups; ++j) check_index(256 * j + code[j], table.size());
        }
        // Lane t adds sub-quantizers t, t + 8, t + 16, ..., then the lanes
        // are reduced pairwise as the vector kernels do. Plain loads into
        // eight scalar lanes measured faster than filling a vector register
        // entry by entry, and give the same bits.
        float l0 = 0.0f, l1 = 0.0f, l2 = 0.0f, l3 = 0.0f, l4 = 0.0f, l5 = 0.0f, l6 = 0.0f, l7 = 0.0f;
        const float* t = table.data();
        const uint8_t* c = code.data();
        for (size_t g = 0; g < groups; ++g, t += 2048, c += 8) {
            l0 += t[c[0]];
            l1 += t[256 + c[1]];
            l2 += t[512 + c[2]];
            l3 += t[768 + c[3]];
            l4 += t[1024 + c[4]];
            l5 += t[1280 + c[5]];
            l6 += t[1536 + c[6]];
            l7 += t[1792 + c[7]];
        }
        const float lane[8] = {l0, l1, l2, l3, l4, l5, l6, l7};
        sum = avx2_sum::block_sum(lane);
    }
    for (size_t j = 8 * groups; j < m; ++j) {
        check_index(j, code.size());
        size_t idx = 256 * j + code[j];
        check_index(idx, table.size());
        sum += table[idx];
    }
    return sum;
}

void scan_4bit_simd(FloatSpan table, std::span<const uint8_t> codes, size_t n, size_t m, std::span<float> out) {
    if (n == 0) return;
    constexpr size_t kExact = 200;
    const size_t bytes = m / 2;
    const size_t e = std::min(n, kExact);
    check_len(n, out.size());
    check_len(checked_product(n, bytes, "n * code bytes"), codes.size());
    check_len(checked_product(32, bytes, "table size"), table.size());

    for (size_t i = 0; i < e; ++i) {
        const uint8_t* c = codes.data() + i * bytes;
        float total = 0.0f;
        for (size_t b = 0; b < bytes; ++b) {
            const float* sub = table.data() + 32 * b;
            total = (total + sub[c[b] & 15]) + sub[16 + (c[b] >> 4)];
        }
        out[i] = total;
    }
    if (n <= kExact) return;

    // The range of the quantization: from the smallest table entry to the
    // largest exact distance. NaN is ignored on both ends.
    float dmax = -kF32Max;
    for (size_t i = 0; i < kExact; ++i) dmax = std::fmax(dmax, out[i]);
    float tmin = std::numeric_limits<float>::infinity();
    for (float v : table) tmin = std::fmin(tmin, v);
    float width = dmax - tmin;
    if (!(width > 1e-10f)) width = 1e-10f;
    const float scale = 255.0f / width;

    std::vector<uint8_t> q(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        float x = (table[i] - tmin) * scale;
        if (x < 0.0f) x = 0.0f;
        if (x > 255.0f) x = 255.0f;
        q[i] = saturating_cast<uint8_t>(x);  // NaN -> 0
    }

    const float step = width / 255.0f;
    const float base = tmin * static_cast<float>(m);
    // 16-bit sums, folded into 32-bit totals every 128 code bytes (256
    // sub-quantizers, at most 256 * 255 = 65280): a long code never wraps.
    // Vectors go in chunks so that a chunk's codes and sums stay in cache.
    constexpr size_t kFoldBytes = 128;
    constexpr size_t kChunk = 256;
    uint16_t sum16[kChunk];
    uint32_t total32[kChunk];
    for (size_t l0 = kExact; l0 < n; l0 += kChunk) {
        const size_t cnt = std::min(kChunk, n - l0);
        const uint8_t* chunk = codes.data() + l0 * bytes;
        std::fill(total32, total32 + cnt, 0u);
        for (size_t b0 = 0; b0 < bytes; b0 += kFoldBytes) {
            const size_t b1 = std::min(bytes, b0 + kFoldBytes);
            std::fill(sum16, sum16 + cnt, uint16_t{0});
            for (size_t b = b0; b < b1; ++b) {
                const uint8_t* lo = q.data() + 32 * b;
                const uint8_t* hi = lo + 16;
                const uint8_t* c = chunk + b;
                for (size_t l = 0; l < cnt; ++l) {
                    const uint8_t cc = c[l * bytes];
                    sum16[l] = static_cast<uint16_t>(sum16[l] + lo[cc & 15] + hi[cc >> 4]);
                }
            }
            for (size_t l = 0; l < cnt; ++l) total32[l] += sum16[l];
        }
        for (size_t l = 0; l < cnt; ++l) out[l0 + l] = static_cast<float>(total32[l]) * step + base;
    }
}

}  // namespace tavren::distance
