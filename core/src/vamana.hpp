// Vamana proximity graphs: compact adjacency storage, greedy best-first
// search, robust prune, the parallel two-pass build, the centroid entry node,
// connectivity repair and validation.
//
// Node i of a graph is row i of the vector set it was built over. Neighbour
// lists hold u32 node IDs in rows of fixed capacity (`max_degree` slots), kept
// in blocks of 256 consecutive nodes with u16 degrees, so the whole graph lives
// in two buffers per block and a list is found with a shift and a multiply.
//
// Every heap and sort of scored nodes uses scored_node_order: distances by the
// IEEE 754 total order (-0 before +0, NaN with the sign bit clear after +inf),
// then the smaller node ID. Every random choice comes from the build seed, and
// the parallel build's graph does not depend on the pool size.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "diskann_limits.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "pq.hpp"
#include "rng.hpp"
#include "sparse_table.hpp"

namespace tavren::vamana {

// A node with its distance to some reference point.
struct ScoredNode {
    uint32_t id = 0;
    float distance = 0.0f;
    friend bool operator==(const ScoredNode& a, const ScoredNode& b) noexcept {
        return a.id == b.id && total_order_key(a.distance) == total_order_key(b.distance);
    }
};

// One u64 whose unsigned order is scored_node_order: the distance's total-order
// key (sign flipped so that it compares unsigned) above the ID.
constexpr uint64_t scored_node_key(const ScoredNode& s) noexcept {
    const uint32_t k = static_cast<uint32_t>(total_order_key(s.distance)) ^ 0x80000000u;
    return (uint64_t{k} << 32) | s.id;
}
// True when a is strictly better (nearer) than b.
constexpr bool scored_node_less(const ScoredNode& a, const ScoredNode& b) noexcept {
    return scored_node_key(a) < scored_node_key(b);
}
// -1, 0 or 1 as a is before, equal to or after b.
constexpr int scored_node_order(const ScoredNode& a, const ScoredNode& b) noexcept {
    const uint64_t ka = scored_node_key(a), kb = scored_node_key(b);
    return ka < kb ? -1 : (ka > kb ? 1 : 0);
}

// Nodes per adjacency block (and per lock of the parallel build).
inline constexpr size_t kShardNodes = 256;
inline constexpr size_t kShardShift = 8;

// One block of up to 256 consecutive nodes: node_count rows of max_degree
// slots and one u16 degree per node. Slots past a degree carry no meaning.
struct AdjacencyShard {
    std::vector<uint32_t> neighbors;
    std::vector<uint16_t> degrees;
    size_t first_node = 0;
    size_t node_count = 0;

    // Zeroed slots and zero degrees for `count` nodes starting at `first`.
    static AdjacencyShard zeroed(size_t first, size_t count, size_t max_degree);
    friend bool operator==(const AdjacencyShard&, const AdjacencyShard&) = default;
};

// Neighbour lists of node_count nodes, max_degree slots each.
class CompactAdjacency {
public:
    CompactAdjacency() = default;
    CompactAdjacency(std::vector<AdjacencyShard> shards, size_t node_count, size_t max_degree) noexcept
        : shards_(std::move(shards)), node_count_(node_count), max_degree_(max_degree) {}

    // Every degree 0 and every slot zero; node_count 0 gives no shards.
    static CompactAdjacency empty(size_t node_count, size_t max_degree);
    // Node i gets lists[i] in order. Asserts each list fits max_degree and 65535.
    static CompactAdjacency from_nested(std::vector<std::vector<uint32_t>> lists, size_t max_degree);

    size_t node_count() const noexcept { return node_count_; }
    size_t max_degree() const noexcept { return max_degree_; }
    const std::vector<AdjacencyShard>& shards() const noexcept { return shards_; }

    // The node's list (as many IDs as its degree). Index assertion on a bad node.
    std::span<const uint32_t> operator[](size_t node) const {
        check_index(node, node_count_);
        const AdjacencyShard& s = shards_[node >> kShardShift];
        const size_t local = node - s.first_node;
        return {s.neighbors.data() + local * max_degree_, s.degrees[local]};
    }
    // Asks for the cache lines of a node's list and degree (no check, no effect
    // on a bad node).
    void prefetch_list(size_t node) const noexcept {
        if (node >= node_count_) return;
        const AdjacencyShard& s = shards_[node >> kShardShift];
        const size_t local = node - s.first_node;
        const char* row = reinterpret_cast<const char*>(s.neighbors.data() + local * max_degree_);
        for (size_t off = 0; off < max_degree_ * sizeof(uint32_t); off += 64) __builtin_prefetch(row + off);
        __builtin_prefetch(s.degrees.data() + local);
    }
    size_t degree(size_t node) const {
        check_index(node, node_count_);
        const AdjacencyShard& s = shards_[node >> kShardShift];
        return s.degrees[node - s.first_node];
    }
    // Writes a whole list (asserts it fits the row).
    void set_neighbors(size_t node, std::span<const uint32_t> list);
    // Appends one ID ("compact adjacency node is full" when the row is full).
    void push_neighbor(size_t node, uint32_t id);
    // Overwrites `position` with the last entry and shortens the list by one.
    void swap_remove(size_t node, size_t position);

    // In-place relabelling: old node v becomes mapping[v], every ID u becomes
    // mapping[u], and every list ends sorted ascending. Extra memory: one byte
    // per node and one row. Asserts that mapping is a permutation.
    void permute_and_map_neighbors(std::span<const uint32_t> mapping);

    friend bool operator==(const CompactAdjacency&, const CompactAdjacency&) = default;

private:
    uint32_t* row(size_t node, uint16_t** degree);

    std::vector<AdjacencyShard> shards_;
    size_t node_count_ = 0;
    size_t max_degree_ = 0;
};

// Visit state of a node during one greedy search.
enum VisitState : uint8_t { kUnseen = 0, kSeen = 1, kListed = 2, kExpanded = 3 };

// Visit states of all nodes: a byte per node with the list of touched nodes
// (dense), or a sparse table keyed by node ID when one search can only touch a
// small fraction of the graph. Either resets in time proportional to the
// nodes the last search touched.
class BuildVisitStates {
public:
    BuildVisitStates(size_t node_count, size_t max_degree, size_t list_size);
    bool sparse() const noexcept { return sparse_.has_value(); }

    uint8_t get(uint32_t node) const {
        if (!sparse_) {
            check_index(node, dense_.size());
            return dense_[node];
        }
        const auto v = sparse_->get(node);
        return v ? *v : uint8_t{kUnseen};
    }
    void set(uint32_t node, uint8_t state) {
        if (!sparse_) {
            check_index(node, dense_.size());
            if (dense_[node] == kUnseen) touched_.push_back(node);
            dense_[node] = state;
            return;
        }
        sparse_->insert(node, state);
    }
    void reset();

    // Bytes the states of a scratch take for (n, R, L) and whether they are
    // sparse: the sizing rule of the memory estimate. Saturating arithmetic.
    struct Sizing {
        size_t touched_capacity = 0;  // w = min(n, R*L + 1)
        size_t dense_bytes = 0;       // n + 4w
        std::optional<size_t> sparse_bytes;  // 5 * slots + 4w, absent on overflow
        bool sparse = false;
    };
    static Sizing sizing(size_t node_count, size_t max_degree, size_t list_size) noexcept;

private:
    std::vector<uint8_t> dense_;
    std::vector<uint32_t> touched_;
    std::optional<sparse_table::SparseTable<uint8_t>> sparse_;
};

// The reusable state of greedy searches on one graph size (and of the builds'
// prunes): created once, reset by begin_search in time proportional to the
// nodes the previous search touched, allocating nothing per search.
class GreedySearchScratch {
public:
    GreedySearchScratch(size_t node_count, size_t max_degree, size_t list_size);

    void begin_search();
    // Offers an unseen node. Keeps at most `list_size` results; a newcomer
    // enters a full list only when strictly better than its worst entry.
    void insert_candidate(uint32_t node, size_t list_size, float distance);

    // The result list in heap order (worst on top), until the next begin_search.
    const std::vector<ScoredNode>& results() const noexcept { return results_; }
    const BuildVisitStates& visit_states() const noexcept { return visit_states_; }
    size_t frontier_len() const noexcept { return frontier_.size(); }

    // Runs a search from `entry`: neighbors(node, buffer) yields the node's
    // list (a span, possibly filled into `buffer`); score(ids, out) writes the
    // distance of each node of `ids` to the query into `out`.
    // prefetch(node) may ask for a node's list ahead of its expansion.
    template <class Neighbors, class Score, class Prefetch>
    void run(uint32_t entry, size_t node_count, size_t list_size, Neighbors&& neighbors, Score&& score,
             Prefetch&& prefetch);

    // Working lists of the builds, kept with their capacity across uses.
    std::vector<uint32_t> neighbor_buffer;
    std::vector<uint32_t> candidate_ids;
    std::vector<uint32_t> prune_ids;
    std::vector<ScoredNode> prune_scored;
    std::vector<uint32_t> pruned;
    std::vector<uint8_t> prune_flags;

private:
    std::vector<ScoredNode> results_;   // max-heap by scored_node_order
    std::vector<ScoredNode> frontier_;  // min-heap by scored_node_order
    std::vector<uint32_t> pending_ids_;  // unseen neighbours of the node being expanded
    std::vector<float> pending_distances_;
    BuildVisitStates visit_states_;
};

// The full-precision search distance of a build: fvec_distance between rows.
struct FullPrecisionSearch {
    std::span<const float> vectors;
    size_t dimension = 0;
    uint32_t metric = 0;
};
// Codeword-to-codeword distance tables of a trained product quantizer, so
// that the distance between two encoded nodes is m table reads instead of
// `dim` multiply-adds. Borrows the codes; owns the tables
// (4 * m * ksub^2 bytes). Read-only once made: shared by all workers.
class PqBuildDistance {
public:
    // Computes the tables under `metric` (ksub (ksub + 1) / 2 distances per
    // subspace, mirrored). The caller has checked that the quantizer is
    // trained, 4- or 8-bit with a valid layout, and that `codes` holds whole
    // codes. Throws InvalidInput when the table size overflows or cannot be
    // allocated.
    PqBuildDistance(const pq::ProductQuantizer& quantizer, std::span<const uint8_t> codes, uint32_t metric);

    // Sum over subspaces s = 0 .. m-1, in order from +0.0, of the distance
    // between the codewords of a and b. Symmetric bit for bit. Index
    // assertion when a node lies outside the codes.
    float between(size_t a, size_t b) const;
    // out[i] = between(ids[i], node), with the same bits.
    void score(std::span<const uint32_t> ids, uint32_t node, std::span<float> out) const;

    std::span<const float> tables() const noexcept { return tables_; }
    size_t code_bytes() const noexcept { return code_bytes_; }
    size_t m() const noexcept { return m_; }
    size_t ksub() const noexcept { return ksub_; }

private:
    std::span<const uint8_t> code_of(size_t node) const;
    float sum_codes(const uint8_t* cu, const uint8_t* cv) const noexcept;

    std::vector<float> tables_;
    std::span<const uint8_t> codes_;
    size_t code_bytes_ = 0;
    size_t m_ = 0;
    size_t ksub_ = 0;
    size_t nbits_ = 8;
};

// The PQ search distance of a build: the tables and codes live elsewhere and
// outlive the build.
struct ProductQuantizedSearch {
    const PqBuildDistance* distance = nullptr;
};

// The distance the greedy searches of a build use between nodes.
using BuildSearchDistance = std::variant<FullPrecisionSearch, ProductQuantizedSearch>;

// Durations of one parallel build.
struct VamanaBuildTimings {
    std::chrono::nanoseconds initialization{0};
    std::chrono::nanoseconds first_pass{0};
    std::chrono::nanoseconds second_pass{0};
    std::chrono::nanoseconds repair{0};
};

// a + b, the largest representable duration when the sum overflows.
inline std::chrono::nanoseconds add_saturating(std::chrono::nanoseconds a, std::chrono::nanoseconds b) noexcept {
    std::chrono::nanoseconds::rep r = 0;
    if (__builtin_add_overflow(a.count(), b.count(), &r)) return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(r);
}

struct BuiltGraph;

// A finished proximity graph with its entry node.
class VamanaGraph {
public:
    using Scratch = GreedySearchScratch;

    VamanaGraph() = default;
    VamanaGraph(CompactAdjacency adjacency, uint32_t entry) noexcept
        : adjacency_(std::move(adjacency)), entry_(entry) {}

    size_t node_count() const noexcept { return adjacency_.node_count(); }
    size_t max_degree() const noexcept { return adjacency_.max_degree(); }
    uint32_t entry() const noexcept { return entry_; }
    void set_entry(uint32_t entry) noexcept { entry_ = entry; }
    const CompactAdjacency& adjacency() const noexcept { return adjacency_; }
    CompactAdjacency& adjacency() noexcept { return adjacency_; }

    // Builds a graph over n rows of `dimension` values on the process-wide
    // pool: random graph, a pass with alpha 1, a pass with config.alpha, then
    // repair, validation and the reachability check. Throws Error (budget:
    // OutOfMemory; shapes: InvalidInput; an allocation the system refuses:
    // OutOfMemory). The result does not depend on the pool size.
    static BuiltGraph build_with_search_distance(std::span<const float> vectors, size_t n, size_t dimension,
                                                 uint32_t metric, const diskann::DiskAnnBuildConfig& config,
                                                 const BuildSearchDistance& search_distance);

    // The parallel build with PQ distances guiding its greedy searches (prune,
    // reverse edges, entry and repair stay full precision). Checks the
    // quantizer and the codes (n whole codes) first; the table-building time
    // is part of `initialization`.
    static BuiltGraph build_with_pq_stats(std::span<const float> vectors, const pq::ProductQuantizer& quantizer,
                                          std::span<const uint8_t> codes, size_t n, size_t dimension, uint32_t metric,
                                          const diskann::DiskAnnBuildConfig& config);

    // A full-precision build on the calling thread alone, every change
    // visible to the next search: random lists, a pass with alpha 1, a pass
    // with config.alpha, then repair, validation and the reachability check.
    // One search scratch serves the whole build. Throws as the parallel build.
    static VamanaGraph build_sequential_with_metric(std::span<const float> vectors, size_t n, size_t dimension,
                                                    uint32_t metric, const diskann::DiskAnnBuildConfig& config);
    // One sequential pass in place, in an order shuffled by `gen`, with the
    // caller's scratch (made for this graph's node count).
    void run_sequential_pass(std::span<const float> vectors, size_t dimension, uint32_t metric, size_t max_degree,
                             float alpha, size_t list_size, rng::StdRng& gen, GreedySearchScratch& scratch);

    // The overlapping sharded build: k-means into `shards` shards, every
    // vector in its two nearest (capacity-balanced), one graph per shard
    // (sequential, or PQ-guided when `quantizer` is given with the codes of
    // all n vectors), merged by robust prune, then repaired and validated.
    // By default only one shard's copies and graph exist at a time;
    // `concurrent_shards` > 1 lets that many full-precision shards (each a
    // single-threaded build) be built at once on the pool when the caller's
    // budget holds them (see estimate_concurrent_shard_bytes). The graph is
    // the same for every value; PQ-guided shards are always one at a time.
    static BuiltGraph build_sharded_with_optional_pq(std::span<const float> vectors,
                                                     const pq::ProductQuantizer* quantizer,
                                                     std::span<const uint8_t> codes, size_t n, size_t dimension,
                                                     uint32_t metric, const diskann::DiskAnnBuildConfig& config,
                                                     size_t shards, size_t concurrent_shards = 1);

    // Leaves the best `list_size` nodes for `query` in scratch.results()
    // (heap order). The scratch must be made for this graph's node count.
    void greedy_search_with_scratch(std::span<const float> vectors, size_t dimension, uint32_t metric,
                                    std::span<const float> query, size_t list_size,
                                    GreedySearchScratch& scratch) const;
    // The same with a fresh scratch; the results sorted nearest first.
    std::vector<ScoredNode> greedy_search_with_metric(std::span<const float> vectors, size_t dimension,
                                                      uint32_t metric, std::span<const float> query,
                                                      size_t list_size) const;
    // Robust prune of `node` over `candidates` merged with its current list.
    std::vector<uint32_t> robust_prune_with_metric(std::span<const float> vectors, size_t dimension, uint32_t metric,
                                                   float alpha, uint32_t node, std::span<const uint32_t> candidates,
                                                   size_t max_degree) const;

    // Gives every node unreachable from the entry an incoming edge from a
    // reachable node, never removing a breadth-first tree edge. Throws
    // InvalidData "Vamana connectivity repair found no replaceable edge".
    void repair_connectivity(std::span<const float> vectors, size_t dimension, size_t max_degree, uint32_t metric);
    // Whether `node` may receive a repair edge (room left, or a non-tree edge).
    bool is_repair_source(size_t node, size_t max_degree, std::span<const int64_t> parent) const;
    // Degrees within max_degree, no duplicates, no self-loop, no ID out of range.
    void validate(size_t max_degree) const;
    bool is_fully_reachable() const;

    friend bool operator==(const VamanaGraph&, const VamanaGraph&) = default;

private:
    CompactAdjacency adjacency_;
    uint32_t entry_ = 0;
};

struct BuiltGraph {
    VamanaGraph graph;
    VamanaBuildTimings timings;
};

// The row nearest to the mean of all rows (ties to the smaller row).
uint32_t centroid_entry(std::span<const float> vectors, size_t n, size_t dimension, uint32_t metric);

// Members of the shards of an overlapping sharded build: shard k's local
// node p is global node members[k][p]. No shard holds more than `capacity`.
struct ShardPartition {
    std::vector<std::vector<uint32_t>> members;
    size_t capacity = 0;
};
// k-means (8 iterations, 256 points per centroid, balance 0.1, `seed`) into
// `shards` centroids; every vector joins its two nearest shards by squared
// L2 (ties to the smaller index), then each shard above capacity
// (n for two shards, else ceil(2n / (shards - 1))) hands its last members to
// the nearest shard with room that does not hold them. Requires validated
// input and 2 <= shards <= n. Throws InvalidInput when capacity overflows or
// a member finds no shard with room.
ShardPartition partition_overlapping_shards(std::span<const float> vectors, size_t n, size_t dimension,
                                           size_t shards, uint64_t seed);
// The configuration shard `shard` with `count` members is built with: degree
// min(count - 1, R), list size max(min(count, L), that degree), seed
// mix64(seed ^ shard x 0x9E3779B97F4A7C15). The index counts skipped shards,
// so skipping one never shifts the seeds of the others.
diskann::DiskAnnBuildConfig shard_build_config(const diskann::DiskAnnBuildConfig& config, size_t shard,
                                               size_t count);

// d distinct random IDs in 0 .. n-1 other than `node`: all of them shuffled
// when d = n - 1, otherwise rejection-sampled in draw order.
std::vector<uint32_t> random_neighbors(rng::StdRng& gen, size_t n, size_t node, size_t d);

// Robust prune into `out` using the caller's working lists (no allocation when
// they have capacity L + R, L + R and R). IDs equal to `node` or at or above
// node_count are ignored; the output is nearest first, at most max_degree IDs.
void robust_prune_candidates_into(std::span<const float> vectors, size_t dimension, uint32_t node,
                                  std::span<const uint32_t> candidates, float alpha,
                                  std::span<const uint32_t> neighbors, size_t node_count, size_t max_degree,
                                  uint32_t metric, std::vector<uint32_t>& ids, std::vector<ScoredNode>& scored,
                                  std::vector<uint32_t>& out);
// The same prune, told that `compatible` (a prefix of an earlier output of
// this prune for the same node, alpha and metric) holds no pair that the
// rule would separate: for members p before c of that output, c survived p.
// Such pairs are taken as kept without evaluating them, which gives the same
// output with far fewer distances when a full list gains a few sources.
// `flags` is working storage (capacity L + R); without it the set is unused.
void robust_prune_compatible_into(std::span<const float> vectors, size_t dimension, uint32_t node,
                                  std::span<const uint32_t> candidates, float alpha,
                                  std::span<const uint32_t> neighbors, std::span<const uint32_t> compatible,
                                  size_t node_count, size_t max_degree, uint32_t metric, std::vector<uint32_t>& ids,
                                  std::vector<ScoredNode>& scored, std::vector<uint8_t>* flags,
                                  std::vector<uint32_t>& out);
std::vector<uint32_t> robust_prune_candidates(std::span<const float> vectors, size_t dimension, uint32_t node,
                                              std::span<const uint32_t> candidates, float alpha,
                                              std::span<const uint32_t> neighbors, size_t node_count,
                                              size_t max_degree, uint32_t metric);

// Row `id` of a row-major array of `dimension`-value rows (index assertion
// when it lies outside the array).
inline std::span<const float> node_row(std::span<const float> vectors, size_t dimension, size_t id) {
    const size_t start = id * dimension;
    check_len(start + dimension, vectors.size());
    return {vectors.data() + start, dimension};
}

// out[i] = fvec_distance(row ids[i], query, metric) for every i: under l2 four
// rows at a time through the four-row kernel (the same bits as one by one),
// each group's rows prefetched while the previous group is scored.
void score_rows(std::span<const float> vectors, size_t dimension, uint32_t metric, std::span<const float> query,
                std::span<const uint32_t> ids, std::span<float> out);

// The SplitMix64 finaliser behind every derived seed of the graph builds.
constexpr uint64_t mix64(uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

// ---- template members --------------------------------------------------

template <class Neighbors, class Score, class Prefetch>
void GreedySearchScratch::run(uint32_t entry, size_t node_count, size_t list_size, Neighbors&& neighbors,
                              Score&& score, Prefetch&& prefetch) {
    begin_search();
    if (list_size == 0 || node_count == 0) return;
    float entry_distance = 0.0f;
    score(std::span<const uint32_t>(&entry, 1), std::span<float>(&entry_distance, 1));
    insert_candidate(entry, list_size, entry_distance);
    while (!frontier_.empty()) {
        std::pop_heap(frontier_.begin(), frontier_.end(),
                      [](const ScoredNode& a, const ScoredNode& b) { return scored_node_less(b, a); });
        const ScoredNode top = frontier_.back();
        frontier_.pop_back();
        if (visit_states_.get(top.id) != kListed) continue;
        if (!frontier_.empty()) prefetch(frontier_.front().id);  // the likely next expansion
        visit_states_.set(top.id, kExpanded);
        // The unseen neighbours, in list order, are marked seen and scored in
        // one batch, then offered in list order: the same offers as scoring
        // them one by one, since an offer only ever changes listed nodes.
        pending_ids_.clear();
        for (const uint32_t u : neighbors(top.id, neighbor_buffer)) {
            if (u >= node_count || visit_states_.get(u) != kUnseen) continue;
            visit_states_.set(u, kSeen);
            pending_ids_.push_back(u);
        }
        neighbor_buffer.clear();
        // Grown only, never shrunk: resizing down and up again would zero it.
        if (pending_distances_.size() < pending_ids_.size()) pending_distances_.resize(pending_ids_.size());
        score(std::span<const uint32_t>(pending_ids_),
              std::span<float>(pending_distances_.data(), pending_ids_.size()));
        for (size_t i = 0; i < pending_ids_.size(); ++i) {
            insert_candidate(pending_ids_[i], list_size, pending_distances_[i]);
        }
    }
}

}  // namespace tavren::vamana
