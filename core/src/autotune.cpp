#include "autotune.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "error.hpp"
#include "numeric.hpp"

namespace tavren::autotune {

using index::DeploymentProfile;
using index::DiskAnnBuildConfig;
using index::DiskAnnBuildPreset;

namespace {

// The largest power of two not above x, 1 for x < 2.
uint64_t power_of_two_floor(uint64_t x) noexcept { return x < 2 ? 1 : std::bit_floor(x); }

struct PresetRow {
    uint64_t max_degree;
    uint64_t build_search_list_size;
    float alpha;
    diskann::RawVectorEncoding encoding;
    diskann::BuildDistance build_distance;
};

PresetRow preset_row(DiskAnnBuildPreset preset) noexcept {
    switch (preset) {
        case DiskAnnBuildPreset::FastBuild:
            return {48, 64, 1.15f, diskann::RawVectorEncoding::F16, diskann::BuildDistance::ProductQuantized};
        case DiskAnnBuildPreset::HighRecall:
            return {96, 200, 1.2f, diskann::RawVectorEncoding::F32, diskann::BuildDistance::FullPrecision};
        case DiskAnnBuildPreset::Balanced:
            break;
    }
    return {64, 100, 1.2f, diskann::RawVectorEncoding::F16, diskann::BuildDistance::ProductQuantized};
}

// The target sub-vector count d x 32 x ratio / bits, computed in f64 in that
// order, after the checks both m choices run first.
double pq_m_target(uint64_t dimension, uint64_t bits, double ratio) {
    if (dimension == 0) invalid_input("dimension must be greater than 0");
    index::validate_pq_code_ratio(bits, ratio);
    return static_cast<double>(dimension) * 32.0 * ratio / static_cast<double>(bits);
}

}  // namespace

uint64_t infer_ivf_nlist(uint64_t n) {
    if (n == 0) invalid_input("expected vector count must be greater than 0 for automatic nlist");
    const double s = std::max(std::sqrt(static_cast<double>(n)), 1.0);
    const uint64_t lo = power_of_two_floor(saturating_cast<uint64_t>(std::floor(s)));
    const uint64_t hi = 2 * lo;
    const uint64_t candidate = (static_cast<double>(hi) - s) >= (s - static_cast<double>(lo)) ? lo : hi;
    const uint64_t cap = n < 128 ? 1 : power_of_two_floor(n / 64);
    return std::max<uint64_t>(1, std::min(cap, candidate));
}

uint64_t infer_ivf_nprobe_with_filter_expansion_cap(uint64_t nlist, uint64_t n, uint64_t top_k,
                                                    std::optional<uint64_t> filter_cardinality,
                                                    std::optional<uint64_t> max_expansion_factor) {
    if (nlist == 0) invalid_input("nlist must be greater than 0");
    if (n == 0) invalid_input("vector count must be greater than 0");
    if (top_k == 0) invalid_input("top_k must be greater than 0");
    if (top_k >= (uint64_t{1} << 62)) invalid_input("automatic nprobe candidate count overflows usize");

    const uint64_t rows_per_list = div_ceil(n, nlist);
    const uint64_t wanted = std::max({uint64_t{8}, div_ceil(nlist, 16), div_ceil(4 * top_k, rows_per_list)});
    const uint64_t base = std::min(nlist, wanted);

    if (max_expansion_factor && *max_expansion_factor == 0) {
        invalid_input("maximum initial filter expansion factor must be greater than 0");
    }
    if (!filter_cardinality) return base;
    if (*filter_cardinality == 0) return 1;  // nothing can match

    // The sparser the filter, the more lists are probed at first.
    const uint64_t c = std::min(*filter_cardinality, n);
    const unsigned __int128 num = static_cast<unsigned __int128>(base) * n;
    const unsigned __int128 ceil_q = num / c + (num % c != 0 ? 1 : 0);
    uint64_t expanded = ceil_q >= nlist ? nlist : static_cast<uint64_t>(ceil_q);
    if (max_expansion_factor) {
        if (auto limit = checked_mul(base, *max_expansion_factor)) expanded = std::min(expanded, *limit);
    }
    return std::max<uint64_t>(1, std::min(expanded, nlist));
}

uint64_t infer_rq_bits(uint64_t dimension, uint64_t budget) {
    if (dimension == 0) invalid_input("dimension must be greater than 0");
    auto padded = checked_mul(div_ceil(dimension, 64), 64);
    if (!padded) invalid_input("RQ row byte estimate overflows usize");
    for (uint64_t bits = 8; bits >= 1; --bits) {
        auto code_bits = checked_mul(*padded, bits);
        if (!code_bits) invalid_input("RQ row byte estimate overflows usize");
        const uint64_t code_bytes = *code_bits / 8;
        // Per-vector RaBitQ factors: 8 bytes for one bit, 20 otherwise.
        const uint64_t need = code_bytes + (bits == 1 ? 8 : 20);
        if (need <= budget) return bits;
    }
    invalid_input("max bytes per vector {} cannot fit one-bit RQ codes and factors", budget);
}

DiskAnnBuildConfig diskann_build_preset(DiskAnnBuildPreset preset, uint64_t dimension, DeploymentProfile profile,
                                        uint64_t memory_budget_bytes, uint64_t seed) {
    if (dimension == 0) invalid_input("dimension must be greater than 0");
    if (memory_budget_bytes == 0) invalid_input("DiskANN memory budget must be greater than 0");
    const PresetRow row = preset_row(preset);
    DiskAnnBuildConfig config;
    config.max_degree = row.max_degree;
    config.build_search_list_size = row.build_search_list_size;
    config.alpha = row.alpha;
    config.raw_vector_encoding = row.encoding;
    config.build_distance = row.build_distance;

    auto raw = checked_mul(dimension, diskann::raw_bytes_per_value(row.encoding));
    auto node_bytes = raw ? checked_add(*raw, 4 * row.max_degree) : std::nullopt;
    if (!node_bytes) invalid_input("DiskANN interleaved row size overflows usize");
    const bool local = profile == DeploymentProfile::Memory || profile == DeploymentProfile::LocalStorage;
    config.storage_layout = local && *node_bytes <= diskann::kPageBytes ? diskann::StorageLayout::Interleaved
                                                                         : diskann::StorageLayout::Compact;
    config.seed = seed;
    config.memory_budget_bytes = memory_budget_bytes;
    return config;
}

uint64_t default_training_vector_count(uint64_t nlist) {
    if (nlist == 0) invalid_input("nlist must be greater than 0");
    if (nlist >= (uint64_t{1} << 58)) invalid_input("automatic training vector count overflows usize");
    return std::max<uint64_t>(64 * nlist, 65536);
}

uint64_t infer_uniform_pq_m(uint64_t dimension, uint64_t bits, double ratio) {
    const double target = pq_m_target(dimension, bits, ratio);
    uint64_t best = 1;
    double best_error = std::numeric_limits<double>::infinity();
    auto consider = [&](uint64_t candidate) {
        const double error = std::fabs(static_cast<double>(candidate) - target);
        if (error < best_error || (error == best_error && candidate > best)) {
            best = candidate;
            best_error = error;
        }
    };
    for (uint64_t i = 1; i <= dimension / i; ++i) {
        if (dimension % i != 0) continue;
        consider(i);
        consider(dimension / i);
    }
    return best;
}

uint64_t infer_rounded_pq_m(uint64_t dimension, uint64_t bits, double ratio) {
    const double rounded = std::max(1.0, std::round(pq_m_target(dimension, bits, ratio)));
    return std::min(dimension, saturating_cast<uint64_t>(rounded));
}

uint64_t largest_divisor_at_most(uint64_t dimension, uint64_t target) noexcept {
    uint64_t best = 1;
    for (uint64_t i = 1; i <= dimension / i; ++i) {
        if (dimension % i != 0) continue;
        if (i <= target) best = std::max(best, i);
        if (dimension / i <= target) best = std::max(best, dimension / i);
    }
    return best;
}

uint64_t infer_uniform_pq_m_within_budget(uint64_t dimension, uint64_t bits, uint64_t code_budget_bytes) {
    if (dimension == 0) invalid_input("dimension must be greater than 0");
    if (bits != 4 && bits != 8) invalid_input("pq.bits must be 4 or 8, got {}", bits);
    // m x bits / 8 <= budget  <=>  m <= 8 x budget / bits; computed in integers
    // so that a budget of exactly m code bytes is never lost to rounding.
    const uint64_t target = std::min(saturating_mul(code_budget_bytes, 8) / bits, dimension);
    return largest_divisor_at_most(dimension, target);
}

}  // namespace tavren::autotune
