#include "diskann.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

#include "distance.hpp"
#include "error.hpp"
#include "metric.hpp"
#include "pool.hpp"
#include "rng.hpp"

namespace tavren::diskann {

namespace {

template <class... Args>
[[noreturn]] void invalid(fmt::format_string<Args...> f, Args&&... args) {
    fail(ErrorKind::InvalidInput, f, std::forward<Args>(args)...);
}

std::optional<uint64_t> mul(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

uint64_t pool_size() { return std::max<uint64_t>(pool::current_num_threads(), 1); }

using Clock = std::chrono::steady_clock;

}  // namespace

std::span<const float> PreparedDiskAnn::vector(const DiskAnnIndex& index, uint64_t k) const {
    check_index(k, permutation.order.size());
    const size_t d = index.dimension();
    return std::span<const float>(index.vectors()).subspan(size_t{permutation.order[k]} * d, d);
}

std::span<const uint8_t> PreparedDiskAnn::pq_code(const DiskAnnIndex& index, uint64_t k) const {
    check_index(k, permutation.order.size());
    const size_t cb = index.pq().code_size();
    return std::span<const uint8_t>(pq_codes).subspan(size_t{permutation.order[k]} * cb, cb);
}

DiskAnnIndex::DiskAnnIndex(size_t dimension, uint32_t metric, size_t pq_m, size_t pq_bits,
                           const DiskAnnBuildConfig& config)
    : pq_(pq::ProductQuantizer::with_nbits_balanced(dimension, pq_m, pq_bits)),
      config_(config),
      dimension_(dimension),
      metric_(metric),
      pq_bits_(pq_bits) {}

void DiskAnnIndex::train_with_config(std::span<const float> data, uint64_t rows, const kmeans::KMeansConfig& kmeans) {
    if (rows == 0) invalid("DiskANN training vector count must be greater than zero");
    const auto expected = mul(rows, dimension_);
    if (!expected) invalid("DiskANN training data length overflows usize");
    if (data.size() != *expected) {
        invalid("DiskANN training data length {} does not match n * dimension {}", data.size(), *expected);
    }
    const PqTrainingPlan plan = pq_training_plan_with_sample_buffers(
        dimension_, pq_.m(), pq_.ksub(), rows, config_.memory_budget_bytes, metric_ == kMetricCosine ? 2 : 1);
    const uint64_t s = plan.sample_rows;
    const size_t d = dimension_;

    std::vector<float> sample;
    std::span<const float> train = data;
    if (s < rows) {
        // Reservoir sample: rows 0..s-1, then row i replaces a uniform slot j <= i when j < s.
        sample.assign(data.begin(), data.begin() + static_cast<ptrdiff_t>(s * d));
        auto rng = rng::StdRng::seed_from_u64(config_.seed);
        for (uint64_t i = s; i < rows; ++i) {
            const uint64_t j = rng.gen_range_inclusive(0, i);
            if (j < s) std::copy_n(data.data() + i * d, d, sample.data() + j * d);
        }
        train = sample;
    }
    std::vector<float> normalized;
    if (metric_ == kMetricCosine) {
        normalized = distance::preprocess_vectors(train, s, d, metric_);
        train = normalized;
    }
    pq_.train_hot_start_with_parallelism(train, s, kmeans, false, plan.workers);
}

void DiskAnnIndex::add(std::span<const float> vectors, std::span<const int64_t> ids) {
    const size_t k = ids.size();
    const size_t values = k * dimension_;
    check_len(values, vectors.size());
    row_ids_.insert(row_ids_.end(), ids.begin(), ids.end());
    if (metric_ == kMetricCosine) {
        const std::vector<float> normalized = distance::preprocess_vectors(vectors.first(values), k, dimension_, metric_);
        vectors_.insert(vectors_.end(), normalized.begin(), normalized.end());
    } else {
        vectors_.insert(vectors_.end(), vectors.begin(), vectors.begin() + static_cast<ptrdiff_t>(values));
    }
}

void DiskAnnIndex::validate_for_write() const {
    validate_diskann_format_configuration(dimension_, pq_.m(), pq_bits_, config_);
    validate_diskann_training_budget(dimension_, metric_, pq_.m(), pq_bits_, config_.memory_budget_bytes);
    const uint64_t n = row_ids_.size();
    if (n < 1 || n > std::numeric_limits<uint32_t>::max()) {
        invalid("DiskANN vector count must be between 1 and u32::MAX");
    }
    const auto values = mul(n, dimension_);
    if (!values) invalid("DiskANN vector shape overflows usize");
    if (vectors_.size() != *values) {
        invalid("DiskANN vector length {} does not match {} row IDs * dimension {}", vectors_.size(), n, dimension_);
    }
    for (size_t i = 0; i < vectors_.size(); ++i) {
        if (!std::isfinite(vectors_[i])) invalid("DiskANN vector data contains a non-finite value at offset {}", i);
    }
    if (config_.raw_vector_encoding == RawVectorEncoding::F16) {
        for (size_t i = 0; i < vectors_.size(); ++i) {
            // 0x7C00 is the f16 infinity: the value rounds to 65520 or more in magnitude.
            if ((distance::f32_to_f16_bits(vectors_[i]) & 0x7FFF) == 0x7C00) {
                invalid("DiskANN vector data at offset {} is outside the finite f16 range", i);
            }
        }
    }
    if (pq_bits_ >= 64) invalid("DiskANN PQ centroid count overflows usize");
    const uint64_t ksub = uint64_t{1} << pq_bits_;
    const auto codebook = mul(dimension_, ksub);
    if (!codebook) invalid("DiskANN PQ codebook shape overflows usize");
    if (pq_.d() != dimension_ || pq_.ksub() != ksub || pq_.centroids().size() != *codebook ||
        !pq_.has_valid_layout()) {
        invalid("DiskANN PQ codebook shape is invalid");
    }
    const auto c = pq_.centroids();
    for (size_t i = 0; i < c.size(); ++i) {
        if (!std::isfinite(c[i])) invalid("DiskANN PQ codebook contains a non-finite value at offset {}", i);
    }
}

uint64_t DiskAnnIndex::estimate_build_memory_bytes(uint64_t pool_threads) const {
    BuildMemoryInputs in;
    in.vector_count = row_ids_.size();
    in.stored_values = vectors_.size();
    in.code_bytes_per_vector = pq_.code_size();
    in.codebook_values = pq_.centroids().size();
    in.m = pq_.m();
    in.ksub = pq_.ksub();
    in.config = config_;
    in.workers = std::max<uint64_t>(pool_threads, 1);
    return diskann::estimate_build_memory_bytes(in);
}

GraphBuildPlan DiskAnnIndex::plan_graph_build(uint64_t pool_threads) const {
    const uint64_t budget = config_.memory_budget_bytes;
    const uint64_t n = row_ids_.size();
    GraphBuildPlan plan;
    plan.estimate = estimate_build_memory_bytes(pool_threads);
    if (plan.estimate <= budget) return plan;

    const auto vam = vamana::estimate_vamana_memory_bytes(n, config_.max_degree, config_.build_search_list_size,
                                                          std::max<uint64_t>(pool_threads, 1));
    if (!vam) invalid("DiskANN Vamana memory estimate overflows usize");
    const uint64_t one_piece = std::max(vam->parallel_peak, vam->finish_peak);
    if (plan.estimate < one_piece) invalid("DiskANN fixed memory estimate underflows");
    const uint64_t fixed = plan.estimate - one_piece;
    if (n >= 4) {
        const uint64_t last = std::min<uint64_t>(n / 2, 64);
        for (uint64_t s = 2; s <= last; ++s) {
            const auto sharded = sharded_graph_estimate(s, pool_threads);
            uint64_t total = 0;
            if (sharded && !__builtin_add_overflow(fixed, *sharded, &total) && total <= budget) {
                plan.shard_count = s;
                if (config_.build_distance == BuildDistance::FullPrecision) {
                    // Sequential shard builds use one thread each: build
                    // several at once when what the plan leaves of the
                    // budget holds their copies and working memory.
                    const auto each = vamana::estimate_concurrent_shard_bytes(
                        n, dimension_, std::min<uint64_t>(config_.max_degree, n - 1),
                        config_.build_search_list_size, s);
                    if (each && *each > 0) {
                        plan.concurrent_shards =
                            std::min<uint64_t>(1 + (budget - total) / *each, std::max<uint64_t>(pool_threads, 1));
                    }
                }
                return plan;
            }
        }
    }
    invalid("DiskANN estimated build memory {} exceeds memory budget {}; overlapping sharded build also cannot fit",
            plan.estimate, budget);
}

std::optional<uint64_t> DiskAnnIndex::sharded_graph_estimate(uint64_t shards, uint64_t pool_threads) const {
    const uint64_t n = row_ids_.size();
    if (n == 0) return std::nullopt;
    const uint64_t r = std::min<uint64_t>(config_.max_degree, n - 1);
    const bool pq_guided = config_.build_distance == BuildDistance::ProductQuantized;
    const auto sharded =
        vamana::estimate_sharded_vamana_memory_bytes(n, dimension_, r, shards, pq_guided ? pq_.code_size() : 0);
    if (!sharded || !pq_guided) return sharded;
    // PQ-guided shards are built by the parallel build, whose per-worker
    // scratch the sharded estimate does not hold: without it a plan that
    // "fits" can exceed the budget (or fail the shard's own budget check)
    // on a wide pool.
    const auto workers = vamana::estimate_pq_shard_worker_bytes(n, r, config_.build_search_list_size, shards,
                                                                std::max<uint64_t>(pool_threads, 1));
    uint64_t total = 0;
    if (!workers || __builtin_add_overflow(*sharded, *workers, &total)) return std::nullopt;
    return total;
}

LocalityPermutation locality_order(const vamana::CompactAdjacency& adjacency, uint32_t entry) {
    const size_t n = adjacency.node_count();
    LocalityPermutation p;
    std::vector<uint8_t> visited(n, 0);
    p.order.reserve(n);
    if (entry < n) {
        std::deque<uint32_t> queue;
        visited[entry] = 1;
        queue.push_back(entry);
        while (!queue.empty()) {
            const uint32_t node = queue.front();
            queue.pop_front();
            p.order.push_back(node);
            for (const uint32_t c : adjacency[node]) {
                if (c < n && !visited[c]) {
                    visited[c] = 1;
                    queue.push_back(c);
                }
            }
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (!visited[i]) p.order.push_back(static_cast<uint32_t>(i));
    }
    p.inverse.assign(n, 0);
    for (size_t k = 0; k < n; ++k) p.inverse[p.order[k]] = static_cast<uint32_t>(k);
    return p;
}

PreparedDiskAnn DiskAnnIndex::prepare_build() const {
    validate_for_write();
    const GraphBuildPlan plan = plan_graph_build(pool_size());
    const uint64_t n = row_ids_.size();
    const bool pq_guided = config_.build_distance == BuildDistance::ProductQuantized;

    PreparedDiskAnn out;
    out.shard_count = plan.shard_count;
    auto t0 = Clock::now();
    out.pq_codes.assign(n * pq_.code_size(), 0);
    pq_.encode_batch(vectors_, n, out.pq_codes);
    out.timings.pq_encoding = Clock::now() - t0;

    // Cosine rows are stored normalised, so their graph is an l2 graph.
    const uint32_t graph_metric = metric_ == kMetricCosine ? kMetricL2 : metric_;
    vamana::BuiltGraph built;
    if (plan.shard_count > 1) {
        built = vamana::VamanaGraph::build_sharded_with_optional_pq(
            vectors_, pq_guided ? &pq_ : nullptr, pq_guided ? std::span<const uint8_t>(out.pq_codes)
                                                             : std::span<const uint8_t>(),
            n, dimension_, graph_metric, config_, plan.shard_count, plan.concurrent_shards);
    } else if (pq_guided) {
        built = vamana::VamanaGraph::build_with_pq_stats(vectors_, pq_, out.pq_codes, n, dimension_, graph_metric,
                                                         config_);
    } else {
        built = vamana::VamanaGraph::build_with_search_distance(
            vectors_, n, dimension_, graph_metric, config_,
            vamana::FullPrecisionSearch{vectors_, dimension_, graph_metric});
    }
    out.timings.graph = built.timings;
    out.graph = std::move(built.graph);

    t0 = Clock::now();
    out.permutation = locality_order(out.graph.adjacency(), out.graph.entry());
    out.graph.adjacency().permute_and_map_neighbors(out.permutation.inverse);
    if (out.graph.entry() < n) out.graph.set_entry(out.permutation.inverse[out.graph.entry()]);
    out.timings.locality = Clock::now() - t0;
    return out;
}

}  // namespace tavren::diskann
