#include "rabitq.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

#include "distance.hpp"
#include "error.hpp"
#include "rabitq_avx2.hpp"

namespace tavren::rabitq {

size_t padded_dimension(size_t d) noexcept {
    const size_t at_least = std::max<size_t>(d, 1);
    return (at_least + kBlock - 1) / kBlock * kBlock;
}

uint64_t SplitMix64::next() noexcept {
    state_ += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// ---- rotation -------------------------------------------------------------------

namespace detail {

void hadamard_blocks_scalar(float* x, size_t blocks) noexcept {
    for (size_t b = 0; b < blocks; ++b) {
        float* p = x + kBlock * b;
        for (size_t h = 1; h < kBlock; h *= 2) {
            for (size_t i = 0; i < kBlock; i += 2 * h) {
                for (size_t j = i; j < i + h; ++j) {
                    const float a = p[j];
                    const float c = p[j + h];
                    p[j] = a + c;
                    p[j + h] = a - c;
                }
            }
        }
        for (size_t j = 0; j < kBlock; ++j) p[j] *= 0.125f;
    }
}

void quantize_scalar(std::span<const float> r, float step, float t, float max_code, uint8_t* codes,
                     float* centred) noexcept {
    for (size_t k = 0; k < r.size(); ++k) {
        const float v = std::round(r[k] / step + t);
        // NaN -> 0; otherwise clamped to [0, M].
        const float clamped = v != v ? 0.0f : std::fmin(std::fmax(v, 0.0f), max_code);
        codes[k] = static_cast<uint8_t>(clamped);
        centred[k] = clamped - t;
    }
}

float max_abs_scalar(std::span<const float> v) noexcept {
    float m = 0.0f;
    for (float value : v) m = std::fmax(m, std::fabs(value));
    return m;
}

}  // namespace detail

namespace {

void hadamard_blocks(float* x, size_t blocks) noexcept {
    if (distance::avx2_enabled()) {
        detail::hadamard_blocks_avx2(x, blocks);
    } else {
        detail::hadamard_blocks_scalar(x, blocks);
    }
}

float max_abs(std::span<const float> v) noexcept {
    if (v.size() >= 8 && distance::avx2_enabled()) return detail::max_abs_avx2(v.data(), v.size());
    return detail::max_abs_scalar(v);
}

}  // namespace

RQRotation::RQRotation(size_t dimension, uint64_t seed, uint32_t rounds)
    : dimension_(dimension), padded_(rabitq::padded_dimension(dimension)), seed_(seed), rounds_(rounds) {
    SplitMix64 rng(seed ^ std::rotl(static_cast<uint64_t>(dimension), 17));
    signs_.reserve(rounds);
    perms_.reserve(rounds);
    for (uint32_t r = 0; r < rounds; ++r) {
        std::vector<uint8_t> signs(padded_ / 8);
        for (uint8_t& byte : signs) byte = static_cast<uint8_t>(rng.next());
        std::vector<size_t> perm(padded_);
        for (size_t l = 0; l < padded_; ++l) perm[l] = l;
        for (size_t j = padded_; j >= 2; --j) {
            const uint64_t t = rng.next() % j;
            std::swap(perm[j - 1], perm[static_cast<size_t>(t)]);
        }
        signs_.push_back(std::move(signs));
        perms_.push_back(std::move(perm));
    }
}

void RQRotation::apply_in_place(std::span<float> x, std::span<float> scratch) const {
    const size_t n = x.size();
    TD_ASSERT(scratch.size() == n, "RQ rotation scratch length {} does not match input length {}", scratch.size(),
              n);
    const size_t applied = std::min(signs_.size(), perms_.size());
    for (size_t r = 0; r < applied; ++r) {
        const std::vector<uint8_t>& signs = signs_[r];
        const std::vector<size_t>& perm = perms_[r];
        TD_ASSERT(n <= signs.size() * 8, "RQ rotation input of {} values exceeds its {} sign bits", n,
                  signs.size() * 8);
        TD_ASSERT(n >= perm.size(), "RQ rotation input of {} values is shorter than its permutation of {}", n,
                  perm.size());
        for (size_t k = 0; k < n; ++k) {
            if ((signs[k / 8] >> (k % 8)) & 1u) {
                x[k] = std::bit_cast<float>(std::bit_cast<uint32_t>(x[k]) ^ 0x80000000u);
            }
        }
        hadamard_blocks(x.data(), n / kBlock);
        for (size_t l = 0; l < perm.size(); ++l) {
            check_index(perm[l], n);
            scratch[perm[l]] = x[l];
        }
        std::memcpy(x.data(), scratch.data(), n * sizeof(float));
    }
}

void RQRotation::rotate(std::span<const float> input, std::span<float> output, std::span<float> scratch) const {
    assert_eq(input.size(), dimension_, "RQ rotation input length must equal its dimension");
    check_len(dimension_, output.size());
    std::fill(output.begin(), output.end(), 0.0f);
    std::copy(input.begin(), input.end(), output.begin());
    apply_in_place(output, scratch);
}

// ---- quantizer ------------------------------------------------------------------

FactorTriple compute_factors(std::span<const float> r, std::span<const float> c, std::span<const float> x,
                             uint32_t metric) {
    const size_t n = std::min({r.size(), c.size(), x.size()});
    float rr = 0.0f, rx = 0.0f, cr = 0.0f, cx = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        rr += r[i] * r[i];
        rx += r[i] * x[i];
        cr += c[i] * r[i];
        cx += c[i] * x[i];
    }
    FactorTriple f;
    if (rr <= kEpsilon || std::fabs(rx) <= kEpsilon) {
        const float norm = std::sqrt(rr);
        switch (metric) {
            case 0: f = {rr, 0.0f, 2.0f * norm}; break;
            case 1: f = {-cr, 0.0f, norm}; break;
            default: f = {0.5f * rr, 0.0f, norm}; break;
        }
        return f;
    }
    const float l = rr / rx;
    float ee = 0.0f;
    const size_t m = std::min(r.size(), x.size());
    for (size_t i = 0; i < m; ++i) {
        const float diff = r[i] - x[i] * l;
        ee += diff * diff;
    }
    const float e = std::sqrt(ee);
    switch (metric) {
        case 0: f = {rr + cx * (l + l), l * -2.0f, e + e}; break;
        case 1: f = {cx * l - cr, -l, e}; break;
        default: f = {cx * l + 0.5f * rr, -l, e}; break;
    }
    return f;
}

RaBitQuantizer RaBitQuantizer::create(size_t dimension, size_t bits) {
    TD_ASSERT(bits >= 1 && bits <= 8, "RQ bits must be in 1..=8");
    const size_t padded = rabitq::padded_dimension(dimension);
    return RaBitQuantizer{dimension, padded, bits, padded / 8};
}

namespace {

// One coordinate pass with `step`: codes and centred values of every
// coordinate; returns (sum r*x, sum x*x), each summed in index order.
std::pair<float, float> quantize_pass(std::span<const float> r, float step, float t, float max_code,
                                      RQEncodeScratch& s) {
    if (distance::avx2_enabled()) {
        detail::quantize_avx2(r.data(), r.size(), step, t, max_code, s.codes.data(), s.centred.data());
    } else {
        detail::quantize_scalar(r, step, t, max_code, s.codes.data(), s.centred.data());
    }
    float rx = 0.0f, xx = 0.0f;
    for (size_t k = 0; k < r.size(); ++k) {
        rx += r[k] * s.centred[k];
        xx += s.centred[k] * s.centred[k];
    }
    return {rx, xx};
}

}  // namespace

RQVectorFactors RaBitQuantizer::encode_with_scratch(std::span<const float> r, std::span<const float> c,
                                                    uint32_t metric, std::span<uint8_t> out,
                                                    RQEncodeScratch& scratch) const {
    const size_t n = r.size();
    const size_t total = code_bytes();
    check_len(total, out.size());
    check_len(n, scratch.codes.size());
    check_len(n, scratch.centred.size());
    check_len(n, scratch.sign.size());
    TD_ASSERT(n <= 8 * plane_size, "RQ residual of {} values exceeds the plane size {}", n, plane_size);
    std::fill(out.begin(), out.begin() + static_cast<ptrdiff_t>(total), uint8_t{0});

    const float max_code = static_cast<float>((1u << bits) - 1);
    const float t = 0.5f * max_code;
    const float m = max_abs(r);
    if (m <= kEpsilon) {
        std::fill(scratch.codes.begin(), scratch.codes.begin() + static_cast<ptrdiff_t>(n), uint8_t{0});
        std::fill(scratch.centred.begin(), scratch.centred.begin() + static_cast<ptrdiff_t>(n), -t);
    } else {
        auto [rx, xx] = quantize_pass(r, (m + m) / max_code, t, max_code, scratch);
        // Refit the step to the least-squares scale of the current codes, at
        // most twice.
        if (rx > kEpsilon && xx > kEpsilon) {
            std::tie(rx, xx) = quantize_pass(r, rx / xx, t, max_code, scratch);
            if (rx > kEpsilon && xx > kEpsilon) quantize_pass(r, rx / xx, t, max_code, scratch);
        }
    }

    const std::span<uint8_t> codes(scratch.codes.data(), n);
    for (size_t p = 0; p < bits; ++p) {
        uint8_t* plane = out.data() + p * plane_size;
        const unsigned bit = static_cast<unsigned>(bits - 1 - p);
        for (size_t k = 0; k < n; ++k) {
            if ((codes[k] >> bit) & 1u) plane[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
        }
    }
    const unsigned top = static_cast<unsigned>(bits - 1);
    for (size_t k = 0; k < n; ++k) scratch.sign[k] = ((codes[k] >> top) & 1u) ? 0.5f : -0.5f;

    const std::span<const float> sign(scratch.sign.data(), n);
    const std::span<const float> centred(scratch.centred.data(), n);
    const FactorTriple bin = compute_factors(r, c, sign, metric);
    const FactorTriple ex = bits == 1 ? bin : compute_factors(r, c, centred, metric);
    return {bin.add, bin.rescale, bin.error, ex.add, ex.rescale, ex.error};
}


// ---- query side -------------------------------------------------------------------

RQQueryTerms query_terms(float coarse_distance, uint32_t metric, float query_norm_sq,
                         float centroid_norm_sq) noexcept {
    // Probe selection can round a distance slightly below zero; NaN counts as 0.
    const float d = coarse_distance > 0.0f ? coarse_distance : 0.0f;
    RQQueryTerms t;
    if (metric == 0) {
        t.q_term = d;
    } else if (metric == 1) {
        t.q_term = -0.5f * (query_norm_sq + centroid_norm_sq - d);
    } else {
        t.q_term = 0.5f * d;
    }
    t.q_norm = std::sqrt(d);
    return t;
}

RQQueryContext RaBitQuantizer::prepare_query(std::span<const float> rotated_query) const {
    RQQueryContext ctx;
    prepare_query_into(rotated_query, ctx);
    return ctx;
}

void RaBitQuantizer::prepare_query_into(std::span<const float> q, RQQueryContext& ctx, bool fastscan_tables) const {
    TD_ASSERT(q.size() >= padded_dimension, "rotated query holds {} values, expected {}", q.size(), padded_dimension);
    const size_t plane = plane_size;
    const size_t groups = padded_dimension / 4;

    float sum = 0.0f;
    float abs_sum = 0.0f;
    for (size_t i = 0; i < padded_dimension; ++i) sum += q[i];
    for (size_t i = 0; i < padded_dimension; ++i) abs_sum += std::fabs(q[i]);
    ctx.query_sum = sum;

    // Each entry extends the entry without its lowest set bit by one value;
    // every entry but the first of a row is written, so a reused context is
    // not cleared first.
    if (ctx.byte_lut.size() != plane * 256) ctx.byte_lut.resize(plane * 256);
    for (size_t c = 0; c < plane; ++c) {
        float* row = ctx.byte_lut.data() + c * 256;
        row[0] = 0.0f;
        const float* qc = q.data() + 8 * c;
        for (unsigned x = 1; x < 256; ++x) row[x] = row[x & (x - 1)] + qc[std::countr_zero(x)];
    }

    if (!fastscan_tables) {
        ctx.fastscan_lut.clear();
        ctx.lut_offset = 0.0f;
        ctx.lut_delta = 0.0f;
        ctx.lut_error_bound = 0.0f;
        return;
    }
    // Group sums first, then one offset and one step shared by every group.
    ctx.fastscan_lut.resize(plane * 32);
    float table[16];
    float range = 0.0f;
    float offset = 0.0f;
    float table_err = 0.0f;
    // Two passes over the groups (the step needs every group's span); the
    // sums are recomputed rather than kept, so preparing allocates only the
    // context.
    for (size_t g = 0; g < groups; ++g) {
        const float* qg = q.data() + 4 * g;
        table[0] = 0.0f;
        for (unsigned n = 1; n < 16; ++n) table[n] = table[n & (n - 1)] + qg[std::countr_zero(n)];
        float lo = std::numeric_limits<float>::infinity();
        float hi = -std::numeric_limits<float>::infinity();
        for (float v : table) {
            lo = std::fmin(lo, v);
            hi = std::fmax(hi, v);
        }
        range = std::fmax(range, hi - lo);
    }
    const float delta = range / 255.0f;
    const bool degenerate = delta <= kEpsilon;
    for (size_t g = 0; g < groups; ++g) {
        const float* qg = q.data() + 4 * g;
        table[0] = 0.0f;
        for (unsigned n = 1; n < 16; ++n) table[n] = table[n & (n - 1)] + qg[std::countr_zero(n)];
        float lo = std::numeric_limits<float>::infinity();
        for (float v : table) lo = std::fmin(lo, v);
        float err = 0.0f;
        uint8_t* codes = ctx.fastscan_lut.data() + 16 * g;
        for (unsigned n = 0; n < 16; ++n) {
            float code = 0.0f;
            if (!degenerate) {
                const float v = std::round((table[n] - lo) / delta);
                code = v != v ? 0.0f : std::fmin(std::fmax(v, 0.0f), 255.0f);
            }
            codes[n] = static_cast<uint8_t>(code);
            const float back = code * delta;
            err = std::fmax(err, std::fabs(back + lo - table[n]));
        }
        table_err += err;
        offset += lo;
    }
    ctx.lut_offset = offset;
    ctx.lut_delta = delta;
    const float rounding =
        ((static_cast<float>(groups) * (255.0f * delta) + std::fabs(offset) + abs_sum) * kEpsilon) * 8.0f;
    ctx.lut_error_bound = table_err + rounding;
}

namespace detail {

void fastscan_block_scalar(std::span<const uint8_t> lut, std::span<const uint8_t> block, size_t plane_size,
                           float lut_offset, float lut_delta, float* out) {
    uint32_t sums[kFastScanRows] = {};
    for (size_t c = 0; c < plane_size; ++c) {
        TD_ASSERT(block.size() >= 32 * (c + 1) && lut.size() >= 32 * (c + 1), "FastScan block or table too short");
        const uint8_t* bytes = block.data() + 32 * c;
        const uint8_t* low = lut.data() + 32 * c;
        const uint8_t* high = low + 16;
        for (size_t v = 0; v < kFastScanRows; ++v) sums[v] += uint32_t{low[bytes[v] & 15]} + high[bytes[v] >> 4];
    }
    for (size_t v = 0; v < kFastScanRows; ++v) {
        const float scaled = static_cast<float>(sums[v]) * lut_delta;
        out[v] = scaled + lut_offset;
    }
}

}  // namespace detail

void RaBitQuantizer::fastscan_coarse_block(const RQQueryContext& ctx, std::span<const uint8_t> block,
                                           float* out) const {
    if (distance::avx2_enabled()) {
        TD_ASSERT(block.size() >= 32 * plane_size && ctx.fastscan_lut.size() >= 32 * plane_size,
                  "FastScan block or table too short");
        detail::fastscan_block_avx2(ctx.fastscan_lut.data(), block.data(), plane_size, ctx.lut_offset, ctx.lut_delta,
                                    out);
        return;
    }
    detail::fastscan_block_scalar(ctx.fastscan_lut, block, plane_size, ctx.lut_offset, ctx.lut_delta, out);
}

void byte_table_block_sums(const float* lut, const uint8_t* plane, size_t plane_size, size_t n, float* out) noexcept {
    if (n >= 8 && distance::avx2_enabled()) return detail::byte_table_sums_avx2(lut, plane, plane_size, n, out);
    for (size_t v = 0; v < n; ++v) out[v] = 0.0f;
    for (size_t c = 0; c < plane_size; ++c) {
        const float* row = lut + 256 * c;
        const uint8_t* b = plane + c * n;
        for (size_t v = 0; v < n; ++v) out[v] += row[b[v]];
    }
}

void byte_table_block_add(const float* lut, const uint8_t* plane, size_t plane_size, size_t n, float w,
                          float* out) noexcept {
    if (n >= 8 && distance::avx2_enabled()) return detail::byte_table_add_avx2(lut, plane, plane_size, n, w, out);
    for (size_t c = 0; c < plane_size; ++c) {
        const float* row = lut + 256 * c;
        const uint8_t* b = plane + c * n;
        for (size_t v = 0; v < n; ++v) out[v] += row[b[v]] * w;
    }
}

}  // namespace tavren::rabitq
