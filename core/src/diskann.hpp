// The DiskANN index under construction: a product quantizer trained on a
// sample, the added rows, and prepare_build, which plans the graph build
// against the memory budget, encodes every row, builds the graph and
// relabels the nodes in breadth-first order from the entry.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "diskann_limits.hpp"
#include "kmeans.hpp"
#include "pq.hpp"
#include "vamana.hpp"

namespace tavren::diskann {

// new node ID -> old (insertion-order) node ID, and its inverse.
struct LocalityPermutation {
    std::vector<uint32_t> order;
    std::vector<uint32_t> inverse;
};

// Durations of prepare_build: PQ encoding, the four graph-build timings, the
// locality ordering.
struct PrepareTimings {
    std::chrono::nanoseconds pq_encoding{0};
    vamana::VamanaBuildTimings graph;
    std::chrono::nanoseconds locality{0};
};

class DiskAnnIndex;

// What the writer lays out: the relabelled graph (new IDs), the permutation
// and the codes in old node order.
struct PreparedDiskAnn {
    vamana::VamanaGraph graph;
    LocalityPermutation permutation;
    std::vector<uint8_t> pq_codes;
    uint64_t shard_count = 1;
    PrepareTimings timings;

    // The values of new node k (asserts k < n).
    std::span<const float> vector(const DiskAnnIndex& index, uint64_t k) const;
    // The code bytes of new node k (asserts k < n).
    std::span<const uint8_t> pq_code(const DiskAnnIndex& index, uint64_t k) const;
};

// How prepare_build lays the graph build out under the budget.
struct GraphBuildPlan {
    uint64_t estimate = 0;     // one-piece estimate
    uint64_t shard_count = 1;  // 1: one piece
    // Full-precision shards built at once: as many as the budget left over
    // by the plan holds, at most the pool size. Does not change the graph.
    uint64_t concurrent_shards = 1;
};

class DiskAnnIndex {
public:
    // An untrained quantizer with balanced chunks; metric 0 l2, 1 inner product, 2 cosine.
    DiskAnnIndex(size_t dimension, uint32_t metric, size_t pq_m, size_t pq_bits, const DiskAnnBuildConfig& config);

    // Trains the quantizer on at most the planned sample of `rows` rows.
    void train_with_config(std::span<const float> data, uint64_t rows, const kmeans::KMeansConfig& kmeans);
    // Appends ids.size() rows (the facade checks the shape first).
    void add(std::span<const float> vectors, std::span<const int64_t> ids);

    // The input checks of a write, the first failure wins (InvalidInput).
    void validate_for_write() const;
    // Estimated peak of a one-piece build with `pool_threads` workers.
    uint64_t estimate_build_memory_bytes(uint64_t pool_threads) const;
    // The one-piece or sharded choice against the budget for `pool_threads` workers.
    GraphBuildPlan plan_graph_build(uint64_t pool_threads) const;
    // Estimated peak of the graph build with `shards` overlapping shards,
    // without the fixed part (vectors, codes, codebook, tables, adjacency
    // index); with PQ guidance it includes the shard builds' per-worker
    // scratch for `pool_threads` workers. Absent when not representable.
    std::optional<uint64_t> sharded_graph_estimate(uint64_t shards, uint64_t pool_threads) const;
    // Checks, plans, encodes, builds and relabels. Only reads the index.
    PreparedDiskAnn prepare_build() const;

    const pq::ProductQuantizer& pq() const noexcept { return pq_; }
    pq::ProductQuantizer& pq() noexcept { return pq_; }
    const std::vector<int64_t>& row_ids() const noexcept { return row_ids_; }
    const std::vector<float>& vectors() const noexcept { return vectors_; }
    std::vector<float>& vectors() noexcept { return vectors_; }
    const DiskAnnBuildConfig& config() const noexcept { return config_; }
    size_t dimension() const noexcept { return dimension_; }
    uint32_t metric() const noexcept { return metric_; }
    uint64_t pq_bits() const noexcept { return pq_bits_; }

private:
    pq::ProductQuantizer pq_;
    std::vector<int64_t> row_ids_;
    std::vector<float> vectors_;
    DiskAnnBuildConfig config_;
    size_t dimension_ = 0;
    uint32_t metric_ = 0;
    uint64_t pq_bits_ = 8;
};

// Breadth-first order from `entry` over `adjacency`, then the unvisited nodes
// ascending; fills order and inverse.
LocalityPermutation locality_order(const vamana::CompactAdjacency& adjacency, uint32_t entry);

}  // namespace tavren::diskann
