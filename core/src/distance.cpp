// PLACEHOLDER (scalar only): the kernel owner replaces this file with the
// dispatching AVX2 + scalar implementation.
#include "distance.hpp"

#include <cmath>

#include "blas.hpp"
#include "error.hpp"
#include "pool.hpp"

namespace tavren::distance {

bool avx2_available() noexcept { return false; }
bool avx2_enabled() noexcept { return false; }
void force_scalar_for_testing(bool) noexcept {}

float fvec_l2sqr(FloatSpan a, FloatSpan b) {
    assert_eq(a.size(), b.size(), "fvec_l2sqr inputs must have the same length");
    float s = 0.0f;
    for (size_t i = 0; i < a.size(); ++i) {
        float d = a[i] - b[i];
        s += d * d;
    }
    return s;
}
float fvec_inner_product(FloatSpan a, FloatSpan b) {
    check_len(a.size(), b.size());
    float s = 0.0f;
    for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}
float fvec_norm_l2sqr(FloatSpan v) {
    float s = 0.0f;
    for (float x : v) s += x * x;
    return s;
}
float fvec_distance(FloatSpan a, FloatSpan b, uint32_t metric) {
    if (metric == 0) return fvec_l2sqr(a, b);
    if (metric == 1) return -fvec_inner_product(a, b);
    float d = std::sqrt(fvec_norm_l2sqr(a)) * std::sqrt(fvec_norm_l2sqr(b));
    if (!(d > 0.0f)) return 1.0f;
    return 1.0f - fvec_inner_product(a, b) / d;
}
float QueryDistance::distance_to(FloatSpan row) const {
    if (metric == 0) return fvec_l2sqr(query, row);
    if (metric == 1) return -fvec_inner_product(query, row);
    float d = std::sqrt(fvec_norm_l2sqr(row)) * query_norm;
    if (!(d > 0.0f)) return 1.0f;
    return 1.0f - fvec_inner_product(query, row) / d;
}
std::array<float, 4> fvec_l2sqr_four(FloatSpan x, FloatSpan y0, FloatSpan y1, FloatSpan y2, FloatSpan y3) {
    assert_eq(x.size(), y0.size(), "fvec_l2sqr_four inputs must have the same length");
    assert_eq(x.size(), y1.size(), "fvec_l2sqr_four inputs must have the same length");
    assert_eq(x.size(), y2.size(), "fvec_l2sqr_four inputs must have the same length");
    assert_eq(x.size(), y3.size(), "fvec_l2sqr_four inputs must have the same length");
    return {fvec_l2sqr(x, y0), fvec_l2sqr(x, y1), fvec_l2sqr(x, y2), fvec_l2sqr(x, y3)};
}
bool fvec_l2sqr_scaled_exceeds(FloatSpan a, FloatSpan b, float scale, float threshold) {
    assert_eq(a.size(), b.size(), "fvec_l2sqr_scaled_exceeds inputs must have the same length");
    TD_ASSERT(std::isfinite(scale) && !(scale < 0.0f), "fvec_l2sqr_scaled_exceeds scale must be finite and non-negative");
    if (threshold < 0.0f) return true;
    float s = 0.0f;
    for (size_t i = 0; i < a.size(); ++i) {
        float d = a[i] - b[i];
        s += d * d;
        if (scale * s > threshold) return true;
    }
    return false;
}
void fvec_ip_batch(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out) {
    if (n == 0) return;
    check_len(dim, query.size());
    check_len(n, out.size());
    for (size_t i = 0; i < n; ++i) {
        check_len((i + 1) * dim, data.size());
        out[i] = dim == 0 ? 0.0f : fvec_inner_product(query.first(dim), data.subspan(i * dim, dim));
    }
}
void fvec_l2sqr_batch(FloatSpan query, FloatSpan data, size_t dim, size_t n, std::span<float> out) {
    if (n == 0) return;
    check_len(dim, query.size());
    check_len(n, out.size());
    for (size_t i = 0; i < n; ++i) {
        check_len((i + 1) * dim, data.size());
        out[i] = dim == 0 ? 0.0f : fvec_l2sqr(query.first(dim), data.subspan(i * dim, dim));
    }
}
void fvec_madd(FloatSpan a, float scale, FloatSpan b, std::span<float> out) {
    check_len(a.size(), b.size());
    check_len(a.size(), out.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = a[i] + scale * b[i];
}
float fvec_normalize(std::span<float> v) {
    float s = fvec_norm_l2sqr(v);
    float r = std::sqrt(s);
    if (!(s > 0.0f)) return r;
    float inv = 1.0f / r;
    for (float& x : v) x *= inv;
    return r;
}
std::vector<float> preprocess_vectors(FloatSpan data, size_t n, size_t dim, uint32_t metric) {
    check_len(n * dim, data.size());
    std::vector<float> out(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n * dim));
    if (dim > 0 && metric == 2) {
        for (size_t i = 0; i < n; ++i) fvec_normalize(std::span<float>(out).subspan(i * dim, dim));
    }
    return out;
}
std::vector<float> row_norms_l2sqr(FloatSpan data, size_t dim) {
    TD_ASSERT(dim != 0, "chunk size must be non-zero");
    std::vector<float> out;
    for (size_t i = 0; i + dim <= data.size(); i += dim) out.push_back(fvec_norm_l2sqr(data.subspan(i, dim)));
    return out;
}
float pq_distance_avx2(FloatSpan, std::span<const uint8_t>, size_t) { panic("not implemented"); }
void scan_4bit_simd(FloatSpan, std::span<const uint8_t>, size_t, size_t, std::span<float>) { panic("not implemented"); }

}  // namespace tavren::distance
