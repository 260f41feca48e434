#include "index_config.hpp"

#include <cmath>
#include <limits>

#include "error.hpp"
#include "numeric.hpp"

namespace tavren::index {

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kPow54 = uint64_t{1} << 54;
constexpr uint64_t kPow61 = uint64_t{1} << 61;
constexpr uint64_t kPow62 = uint64_t{1} << 62;

// The k-means training cap (points per centroid x centroids) must be
// representable and the per-centroid count non-zero.
void validate_points_per_centroid(uint64_t points, uint64_t centroids, std::string_view key) {
    validate_positive(points, key);
    if (!checked_mul(points, centroids)) invalid_input("{} times centroid count overflows usize", key);
}

uint64_t require(std::optional<uint64_t> value, const char* message) {
    if (!value) invalid_input("{}", message);
    return *value;
}

std::string_view size_objective_name(IndexType type) noexcept {
    switch (type) {
        case IndexType::IvfFlat: return "ivf_flat";
        case IndexType::IvfPq: return "ivf_pq";
        case IndexType::IvfRq: return "ivf_rq";
        case IndexType::IvfSq: return "ivf_sq";
        case IndexType::DiskAnn: return "diskann";
    }
    return "unknown";
}

constexpr const char* kFixedOverflow = "persisted fixed-size estimate overflows usize";

struct RowAndFixed {
    uint64_t row = 0;
    uint64_t fixed = 0;
};

}  // namespace

IndexType VectorIndexConfig::index_type() const noexcept {
    return std::visit(Overloaded{
                          [](const IvfFlatConfig&) { return IndexType::IvfFlat; },
                          [](const IvfSqConfig&) { return IndexType::IvfSq; },
                          [](const IvfPqConfig&) { return IndexType::IvfPq; },
                          [](const IvfRqConfig&) { return IndexType::IvfRq; },
                          [](const DiskAnnConfig&) { return IndexType::DiskAnn; },
                      },
                      value);
}

ResolvedIndexConfig VectorIndexConfig::resolved() const noexcept {
    ResolvedIndexConfig r;
    r.index_type = static_cast<uint32_t>(index_type());
    // The fields every IVF type has.
    auto ivf = [&](const auto& c) {
        r.max_points_per_centroid = c.max_points_per_centroid;
        r.dimension = c.dimension;
        r.nlist = c.nlist;
        r.metric = c.metric;
        r.approximate_coarse_assignment = c.approximate_coarse_assignment;
    };
    std::visit(Overloaded{
                   [&](const IvfFlatConfig& c) { ivf(c); },
                   [&](const IvfSqConfig& c) { ivf(c); },
                   [&](const IvfPqConfig& c) {
                       ivf(c);
                       r.pq_m = c.m;
                       r.pq_bits = 8;
                       r.pq_max_points_per_centroid = c.pq_max_points_per_centroid;
                       r.use_opq = c.use_opq;
                       r.canonical_pq_encoding = c.canonical_pq_encoding;
                   },
                   [&](const IvfRqConfig& c) {
                       ivf(c);
                       r.rq_bits = c.bits;
                   },
                   [&](const DiskAnnConfig& c) {
                       r.pq_m = c.m;
                       r.pq_bits = c.pq_bits;
                       r.pq_max_points_per_centroid = c.pq_max_points_per_centroid;
                       r.diskann = c.diskann;
                       r.dimension = c.dimension;
                       r.nlist = 1;
                       r.metric = c.metric;
                   },
               },
               value);
    return r;
}

uint64_t validate_positive(uint64_t value, std::string_view name) {
    if (value == 0) invalid_input("{} must be greater than 0", name);
    return value;
}

void validate_config(const VectorIndexConfig& config) {
    const ResolvedIndexConfig r = config.resolved();
    validate_positive(r.dimension, "dimension");
    if (config.index_type() != IndexType::DiskAnn) validate_positive(r.nlist, "nlist");

    if (const auto* d = std::get_if<DiskAnnConfig>(&config.value)) {
        diskann::validate_diskann_format_configuration(d->dimension, d->m, d->pq_bits, d->diskann);
        validate_positive(d->diskann.memory_budget_bytes, "DiskANN memory budget");
        diskann::validate_diskann_training_budget(d->dimension, d->metric, d->m, d->pq_bits,
                                                  d->diskann.memory_budget_bytes);
    } else if (const auto* rq = std::get_if<IvfRqConfig>(&config.value)) {
        if (rq->bits < 1 || rq->bits > 8) invalid_input("rq.bits must be in 1..=8, got {}", rq->bits);
    } else if (const auto* pq = std::get_if<IvfPqConfig>(&config.value)) {
        validate_positive(pq->m, "m");
        if (pq->dimension % pq->m != 0) {
            invalid_input("dimension {} must be divisible by m {}", pq->dimension, pq->m);
        }
    }

    const uint64_t codebook_size =
        r.pq_bits ? (*r.pq_bits < 64 ? uint64_t{1} << *r.pq_bits : kU64Max) : uint64_t{256};
    if (r.max_points_per_centroid) {
        validate_points_per_centroid(*r.max_points_per_centroid, r.nlist, "ivf.train.max-points-per-centroid");
    }
    if (r.pq_max_points_per_centroid) {
        validate_points_per_centroid(*r.pq_max_points_per_centroid, codebook_size, "pq.train.max-points-per-centroid");
    }
}

void validate_pq_code_ratio(uint64_t bits, double ratio) {
    if (bits != 4 && bits != 8) invalid_input("pq.bits must be 4 or 8, got {}", bits);
    const double largest = static_cast<double>(bits) * 0.03125;
    if (!(ratio > 0.0 && std::isfinite(ratio) && ratio <= largest)) {
        // fmt prints a double in its shortest round-trip form (0.125, 0.25).
        invalid_input("pq.code-ratio must be finite and in (0, {}] for {}-bit PQ", largest, bits);
    }
}

uint64_t diskann_bytes_before_pq(uint64_t dimension, const DiskAnnBuildConfig& config) {
    auto raw = checked_mul(dimension, diskann::raw_bytes_per_value(config.raw_vector_encoding));
    if (!raw) invalid_input("DiskANN raw row byte estimate overflows usize");
    if (config.max_degree > kPow62 - 3) invalid_input("DiskANN adjacency row byte estimate overflows usize");
    auto sum = checked_add(*raw, 4 * config.max_degree);
    if (sum) sum = checked_add(*sum, 30);
    return require(sum, "DiskANN persisted row byte estimate overflows usize");
}

void validate_persisted_size_objective(const VectorIndexConfig& config, std::optional<uint64_t> expected_vector_count,
                                       uint64_t max_bytes_per_vector) {
    const IndexType type = config.index_type();
    const ResolvedIndexConfig resolved = config.resolved();
    const uint64_t lists = type == IndexType::DiskAnn ? 1 : resolved.nlist;
    const uint64_t d = resolved.dimension;

    auto centroid_floats = checked_mul(lists, d);
    if (!centroid_floats || *centroid_floats >= kPow62) {
        invalid_input("persisted centroid size estimate overflows usize");
    }
    const uint64_t list_metadata =
        require(checked_mul(24, lists), "persisted list metadata estimate overflows usize");
    const uint64_t centroid_bytes = 4 * *centroid_floats;
    // C + 24 x L: the centroids and offset table every IVF file holds.
    auto ivf_fixed = [&] { return require(checked_add(centroid_bytes, list_metadata), kFixedOverflow); };

    RowAndFixed sizes = std::visit(
        Overloaded{
            [&](const IvfFlatConfig&) {
                if (d > kPow62 - 3) invalid_input("IVF-FLAT row byte estimate overflows usize");
                return RowAndFixed{4 * d + 10, ivf_fixed()};
            },
            [&](const IvfPqConfig& c) {
                if (d >= kPow54) invalid_input("IVF-PQ codebook estimate overflows usize");
                uint64_t opq = 0;
                if (c.use_opq) {
                    auto square = checked_mul(d, d);
                    if (!square || *square > kPow62 - 1) invalid_input("OPQ matrix estimate overflows usize");
                    opq = 4 * *square;
                }
                if (c.m > kU64Max - 10) invalid_input("IVF-PQ row byte estimate overflows usize");
                // 256 centroids of d floats per PQ codebook.
                auto fixed = checked_add(ivf_fixed(), 1024 * d);
                if (fixed) fixed = checked_add(*fixed, opq);
                return RowAndFixed{c.m + 10, require(fixed, kFixedOverflow)};
            },
            [&](const IvfRqConfig& c) {
                auto padded = checked_mul(div_ceil(d, 64), 64);
                auto code_bits = padded ? checked_mul(*padded, c.bits) : std::nullopt;
                if (!code_bits) invalid_input("IVF-RQ code estimate overflows usize");
                const uint64_t factors = c.bits == 1 ? 8 : 20;
                return RowAndFixed{*code_bits / 8 + factors + 10, ivf_fixed()};
            },
            [&](const IvfSqConfig&) {
                if (d > kU64Max - 11) invalid_input("IVF-SQ row byte estimate overflows usize");
                // Per-list bounds: 8 x L x d.
                if (*centroid_floats >= kPow61) invalid_input("{}", kFixedOverflow);
                auto fixed = checked_add(ivf_fixed(), 8 * *centroid_floats);
                return RowAndFixed{d + 10, require(fixed, kFixedOverflow)};
            },
            [&](const DiskAnnConfig& c) {
                const uint64_t ksub = c.pq_bits < 64 ? uint64_t{1} << c.pq_bits : 0;
                auto codebook_floats = c.pq_bits < 64 ? checked_mul(d, ksub) : std::nullopt;
                if (!codebook_floats || *codebook_floats > kPow62 - 1) {
                    invalid_input("DiskANN codebook estimate overflows usize");
                }
                auto pq_bits_total = checked_mul(c.m, c.pq_bits);
                if (!pq_bits_total || *pq_bits_total > kU64Max - 8) {
                    invalid_input("DiskANN PQ row byte estimate overflows usize");
                }
                // d < 2^62 after the codebook check, so the raw-vector bytes
                // counted here cannot overflow ahead of the PQ check above.
                const uint64_t before_pq = diskann_bytes_before_pq(d, c.diskann);
                return RowAndFixed{require(checked_add(before_pq, div_ceil(*pq_bits_total, 8)),
                                           "DiskANN persisted row byte estimate overflows usize"),
                                   4 * *codebook_floats};
            },
        },
        config.value);

    // Fixed bytes spread over the expected rows, rounded up. A count of 0
    // cannot spread anything and is treated like an absent one.
    uint64_t amortized = 0;
    if (expected_vector_count && *expected_vector_count > 0) {
        const uint64_t e = *expected_vector_count;
        amortized = saturating_add(sizes.fixed, e - 1) / e;
    }
    const uint64_t total =
        require(checked_add(sizes.row, amortized), "persisted per-vector estimate overflows usize");
    if (total > max_bytes_per_vector) {
        invalid_input(
            "max-bytes-per-vector {} cannot be satisfied by {}: estimated persisted size is {} bytes per vector "
            "({} row bytes + {} amortized fixed bytes)",
            max_bytes_per_vector, size_objective_name(type), total, sizes.row, amortized);
    }
}

}  // namespace tavren::index
