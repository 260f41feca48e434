#include "index.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "autotune.hpp"
#include "diskann_limits.hpp"
#include "diskann_writer.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "ivfpq_io.hpp"
#include "ivfrq_io.hpp"
#include "ivfsq_io.hpp"
#include "numeric.hpp"
#include "search_params.hpp"

namespace tavren::index {

namespace {

constexpr uint64_t kDefaultPointsPerCentroid = kmeans::kDefaultMaxPointsPerCentroid;
// Rows the DiskANN trainer asks its PQ training plan for.
constexpr uint64_t kDiskAnnRequestedSampleRows = 50000;

// ---- the per-type operations of the closed set ----------------------------
// One overload per alternative of VectorIndexWriter::Index.

size_t index_dimension(const ivfflat::IVFFlatIndex& index) noexcept { return index.dimension(); }

IndexType index_kind(const ivfflat::IVFFlatIndex&) noexcept { return IndexType::IvfFlat; }

void train_index(ivfflat::IVFFlatIndex& index, std::span<const float> sample, size_t rows,
                 const kmeans::KMeansConfig& coarse, const kmeans::KMeansConfig& /*pq*/) {
    index.train_with_config(sample, rows, coarse);
}

void add_to_index(ivfflat::IVFFlatIndex& index, std::span<const int64_t> ids, std::span<const float> data, size_t n) {
    index.add(data, ids, n);
}

void write_index(const ivfflat::IVFFlatIndex& index, io::SeekWrite& out) { ivfflat::write_ivfflat_index(index, out); }

size_t index_dimension(const ivfsq::IVFSQIndex& index) noexcept { return index.dimension(); }

IndexType index_kind(const ivfsq::IVFSQIndex&) noexcept { return IndexType::IvfSq; }

void train_index(ivfsq::IVFSQIndex& index, std::span<const float> sample, size_t rows,
                 const kmeans::KMeansConfig& coarse, const kmeans::KMeansConfig& /*pq*/) {
    index.train_with_config(sample, rows, coarse);
}

void add_to_index(ivfsq::IVFSQIndex& index, std::span<const int64_t> ids, std::span<const float> data, size_t n) {
    index.add(data, ids, n);
}

void write_index(const ivfsq::IVFSQIndex& index, io::SeekWrite& out) { ivfsq_io::write_ivfsq_index(index, out); }

size_t index_dimension(const ivfpq::IVFPQIndex& index) noexcept { return index.dimension(); }

IndexType index_kind(const ivfpq::IVFPQIndex&) noexcept { return IndexType::IvfPq; }

void train_index(ivfpq::IVFPQIndex& index, std::span<const float> sample, size_t rows,
                 const kmeans::KMeansConfig& coarse, const kmeans::KMeansConfig& pq) {
    index.train_with_config(sample, rows, coarse, pq);
}

void add_to_index(ivfpq::IVFPQIndex& index, std::span<const int64_t> ids, std::span<const float> data, size_t n) {
    index.add(data, ids, n);
}

void write_index(const ivfpq::IVFPQIndex& index, io::SeekWrite& out) { ivfpq_io::write_ivfpq_index(index, out); }

size_t index_dimension(const ivfrq::IVFRQIndex& index) noexcept { return index.dimension(); }

IndexType index_kind(const ivfrq::IVFRQIndex&) noexcept { return IndexType::IvfRq; }

void train_index(ivfrq::IVFRQIndex& index, std::span<const float> sample, size_t rows,
                 const kmeans::KMeansConfig& coarse, const kmeans::KMeansConfig& /*pq*/) {
    index.train_with_config(sample, rows, coarse);
}

void add_to_index(ivfrq::IVFRQIndex& index, std::span<const int64_t> ids, std::span<const float> data, size_t n) {
    index.add(data, ids, n);
}

void write_index(const ivfrq::IVFRQIndex& index, io::SeekWrite& out) { ivfrq_io::write_ivfrq_index(index, out); }

size_t index_dimension(const diskann::DiskAnnIndex& index) noexcept { return index.dimension(); }

IndexType index_kind(const diskann::DiskAnnIndex&) noexcept { return IndexType::DiskAnn; }

void train_index(diskann::DiskAnnIndex& index, std::span<const float> sample, size_t rows,
                 const kmeans::KMeansConfig& /*coarse*/, const kmeans::KMeansConfig& pq) {
    index.train_with_config(sample, rows, pq);
}

void add_to_index(diskann::DiskAnnIndex& index, std::span<const int64_t> ids, std::span<const float> data, size_t n) {
    index.add(data.first(n * index.dimension()), ids);
}

// The build statistics stay inside the library: the host learns success or the error.
void write_index(const diskann::DiskAnnIndex& index, io::SeekWrite& out) {
    (void)diskann::write_diskann_index_with_stats(index, out);
}

// The empty index of a validated configuration.
VectorIndexWriter::Index create_index(const VectorIndexConfig& config) {
    return std::visit(
        Overloaded{
            [](const IvfFlatConfig& c) -> VectorIndexWriter::Index {
                ivfflat::IVFFlatIndex index(c.dimension, c.nlist, c.metric);
                index.set_approximate_coarse_assignment(c.approximate_coarse_assignment);
                return index;
            },
            [](const IvfSqConfig& c) -> VectorIndexWriter::Index {
                ivfsq::IVFSQIndex index(c.dimension, c.nlist, c.metric);
                index.set_approximate_coarse_assignment(c.approximate_coarse_assignment);
                return index;
            },
            [](const IvfPqConfig& c) -> VectorIndexWriter::Index {
                // The facade's indexes carry 8-bit codes.
                ivfpq::IVFPQIndex index =
                    ivfpq::IVFPQIndex::with_nbits(c.dimension, c.nlist, c.m, 8, c.metric, c.use_opq);
                index.set_approximate_coarse_assignment(c.approximate_coarse_assignment);
                index.set_pq_encoding(c.canonical_pq_encoding ? ivfpq::IvfPqEncoding::Canonical
                                                              : ivfpq::IvfPqEncoding::Auto);
                return index;
            },
            [](const IvfRqConfig& c) -> VectorIndexWriter::Index {
                ivfrq::IVFRQIndex index = ivfrq::IVFRQIndex::with_options(
                    c.dimension, c.nlist, c.bits, c.metric, rabitq::kDefaultSeed, rabitq::kDefaultRounds);
                index.set_approximate_coarse_assignment(c.approximate_coarse_assignment);
                return index;
            },
            [](const DiskAnnConfig& c) -> VectorIndexWriter::Index {
                return diskann::DiskAnnIndex(c.dimension, c.metric, c.m, c.pq_bits, c.diskann);
            },
            [&](const auto&) -> VectorIndexWriter::Index {
                invalid_input("index type {} is not available in this build", index_type_name(config.index_type()));
            },
        },
        config.value);
}

// The sample capacity and the sample seed of a configuration.
std::pair<uint64_t, uint64_t> sample_plan(const VectorIndexConfig& config, const ResolvedIndexConfig& resolved) {
    if (config.index_type() == IndexType::DiskAnn) {
        const DiskAnnBuildConfig build = resolved.diskann.value_or(DiskAnnBuildConfig{});
        const uint64_t bits = resolved.pq_bits.value_or(0);
        const uint64_t ksub = bits < 64 ? uint64_t{1} << bits : std::numeric_limits<uint64_t>::max();
        const uint64_t buffers = resolved.metric == kMetricCosine ? 2 : 1;
        const diskann::PqTrainingPlan plan =
            diskann::pq_training_plan_with_sample_buffers(resolved.dimension, resolved.pq_m.value_or(0), ksub,
                                                          kDiskAnnRequestedSampleRows, build.memory_budget_bytes,
                                                          buffers);
        return {plan.sample_rows, build.seed};
    }
    return {autotune::default_training_vector_count(resolved.nlist), kIvfSampleSeed};
}

}  // namespace

std::string_view index_type_name(IndexType type) noexcept {
    switch (type) {
        case IndexType::IvfFlat: return "ivf_flat";
        case IndexType::IvfSq: return "ivf_sq";
        case IndexType::IvfPq: return "ivf_pq";
        case IndexType::IvfRq: return "ivf_rq";
        case IndexType::DiskAnn: return "diskann";
    }
    return "unknown";
}

// ---- VectorIndexWriter --------------------------------------------------------

size_t VectorIndexWriter::dimension() const noexcept {
    return std::visit([](const auto& index) { return index_dimension(index); }, index_);
}

IndexType VectorIndexWriter::index_type() const noexcept {
    return std::visit([](const auto& index) { return index_kind(index); }, index_);
}

void VectorIndexWriter::add_vectors(std::span<const int64_t> ids, std::span<const float> data, size_t n) {
    validate_vectors(data, n, dimension(), "vector data");
    if (ids.size() != n) invalid_input("ids length {} does not match vector count {}", ids.size(), n);
    std::visit([&](auto& index) { add_to_index(index, ids, data, n); }, index_);
}

void VectorIndexWriter::write(io::SeekWrite& out) const {
    std::visit([&](const auto& index) { write_index(index, out); }, index_);
}

// ---- VectorIndexTrainer -------------------------------------------------------

VectorIndexTrainer VectorIndexTrainer::create(const VectorIndexConfig& config) {
    const ResolvedIndexConfig resolved = config.resolved();
    kmeans::KMeansConfig coarse;
    coarse.max_iter = 25;
    coarse.nredo = 1;
    coarse.max_points_per_centroid = resolved.max_points_per_centroid.value_or(kDefaultPointsPerCentroid);
    coarse.seed = kmeans::kDefaultSeed;
    coarse.balance = 0.0f;
    kmeans::KMeansConfig pq = coarse;
    pq.max_points_per_centroid = resolved.pq_max_points_per_centroid.value_or(kDefaultPointsPerCentroid);

    const auto [capacity, seed] = sample_plan(config, resolved);
    validate_config(config);
    VectorIndexWriter index(create_index(config));
    return VectorIndexTrainer(rng::StdRng::seed_from_u64(seed), coarse, pq, capacity, std::move(index));
}

void VectorIndexTrainer::add_training_vectors_mut(std::span<const float> data, size_t n) {
    const size_t d = dimension();
    validate_vectors(data, n, d, "training data");
    const std::optional<uint64_t> seen_after = checked_add(seen_, n);
    if (!seen_after) invalid_input("training vector count overflows usize");

    // Room for the rows this call appends, taken before anything changes so
    // that a failed allocation leaves the trainer as it was.
    const uint64_t rows_after = std::min(capacity_, *seen_after);
    if (rows_after > sample_rows_) {
        const size_t needed = sample_.size() + static_cast<size_t>(rows_after - sample_rows_) * d;
        if (needed > sample_.capacity()) {
            const size_t whole = static_cast<size_t>(saturating_mul(capacity_, d));
            sample_.reserve(std::max(needed, std::min(sample_.capacity() * 2, whole)));
        }
    }

    for (size_t i = 0; i < n; ++i) {
        const uint64_t p = seen_ + i;
        const float* row = data.data() + i * d;
        if (p < capacity_) {
            sample_.insert(sample_.end(), row, row + d);
            continue;
        }
        const uint64_t j = rng_.gen_range_inclusive(0, p);
        if (j < capacity_) std::copy(row, row + d, sample_.begin() + static_cast<ptrdiff_t>(j * d));
    }
    seen_ = *seen_after;
    sample_rows_ = std::min(capacity_, seen_);
}

VectorIndexWriter VectorIndexTrainer::finish() && {
    if (sample_rows_ == 0 || sample_.empty()) invalid_input("no training vectors added");
    std::vector<float> sample = std::move(sample_);
    const size_t rows = static_cast<size_t>(sample_rows_);
    std::visit([&](auto& index) { train_index(index, sample, rows, coarse_kmeans_, pq_kmeans_); }, index_.index());
    return std::move(index_);
}

}  // namespace tavren::index
