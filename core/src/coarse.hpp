// Coarse assignment: maps vectors to the inverted lists of an IVF index (the
// nearest coarse centroid under squared L2, whatever the index metric).
//
// Exact mode takes the nearest centroid from kmeans::find_nearest_batch.
// Approximate mode, when the owner allows it and the centroid set holds at
// least 1,000,000 values (nlist * d), builds a proximity graph over the
// centroids once and labels each vector by a greedy graph search with a
// search list of 15. The graph is a Vamana graph built in parallel over the
// centroids (a builder hook lets tests substitute their own); when building
// fails the object logs one line and stays exact until its owner resets it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "numeric.hpp"

namespace tavren::coarse {

// Centroid sets of at least this many values (nlist * d) use the graph.
inline constexpr uint64_t kApproximateMinValues = 1000000;
// Search-list size of every assignment search, and the cap of its scratch.
inline constexpr size_t kSearchListSize = 15;
// Metric code of the graph and its searches: squared L2.
inline constexpr uint32_t kGraphMetric = 0;

// One result of a greedy search: a node (= centroid row = list number) and
// its distance to the query.
struct GraphCandidate {
    uint32_t node;
    float distance;
};

// The label a search result gives: the node of the smallest distance under the
// IEEE 754 totalOrder, the smaller node on equal distances; 0 for no result.
// Works on any range of elements with a `node` (or `id`) and a `distance` member.
template <class Range>
size_t nearest_candidate(const Range& results) noexcept {
    bool any = false;
    int32_t best_key = 0;
    uint32_t best_node = 0;
    for (const auto& c : results) {
        const int32_t key = total_order_key(c.distance);
        uint32_t node = 0;
        if constexpr (requires { c.node; }) {
            node = static_cast<uint32_t>(c.node);
        } else {
            node = static_cast<uint32_t>(c.id);
        }
        if (!any || key < best_key || (key == best_key && node < best_node)) {
            any = true;
            best_key = key;
            best_node = node;
        }
    }
    return any ? static_cast<size_t>(best_node) : 0;
}

// A proximity graph over the centroid rows (node number = row number), as
// coarse assignment uses it. Shared read-only by the pool tasks of one assign.
class CentroidGraph {
public:
    virtual ~CentroidGraph() = default;
    virtual size_t node_count() const noexcept = 0;
    virtual size_t max_degree() const noexcept = 0;
    // One task of graph-mode assignment: labels[r] for every row r in
    // [begin, end) of `vectors` (d values each, queries over `centroids`),
    // using one search scratch made for this graph for all of those rows.
    // Each search starts from a cleared scratch, so a row's label does not
    // depend on which task labels it.
    virtual void assign_rows(std::span<const float> centroids, size_t d, std::span<const float> vectors,
                             size_t begin, size_t end, std::span<size_t> labels) const = 0;
};

// Wraps a concrete graph type so that its searches are called directly (no
// virtual call per row). Graph must provide:
//   size_t node_count() const;  size_t max_degree() const;
//   a nested type Scratch, constructible from (node count, max degree, search-list size);
//   void greedy_search_with_scratch(std::span<const float> vectors, size_t d, uint32_t metric,
//                                   std::span<const float> query, size_t search_list_size,
//                                   Scratch& scratch) const;   // clears the scratch first
//   scratch.results(): a range of candidates with `node` (or `id`) and `distance` members.
template <class Graph>
class CentroidGraphAdapter final : public CentroidGraph {
public:
    explicit CentroidGraphAdapter(Graph graph) : graph_(std::move(graph)) {}
    const Graph& graph() const noexcept { return graph_; }
    size_t node_count() const noexcept override { return graph_.node_count(); }
    size_t max_degree() const noexcept override { return graph_.max_degree(); }
    void assign_rows(std::span<const float> centroids, size_t d, std::span<const float> vectors, size_t begin,
                     size_t end, std::span<size_t> labels) const override {
        const size_t nodes = graph_.node_count();
        typename Graph::Scratch scratch(nodes, graph_.max_degree(), std::min(nodes, kSearchListSize));
        for (size_t r = begin; r < end; ++r) {
            graph_.greedy_search_with_scratch(centroids, d, kGraphMetric, vectors.subspan(r * d, d),
                                              kSearchListSize, scratch);
            labels[r] = nearest_candidate(scratch.results());
        }
    }

private:
    Graph graph_;
};

// Builds the graph over nlist centroid rows of d values (squared L2, degree
// 12, build list 15, seed 42, 1 GiB budget, alpha 1.2, full-precision build
// distance). Returns the graph or throws Error; its message is logged.
using CentroidGraphBuilder = std::unique_ptr<CentroidGraph> (*)(std::span<const float> centroids, size_t nlist,
                                                                size_t d);

// The builder used unless one is given: the parallel Vamana build over the
// centroid rows with the coarse-assignment settings.
CentroidGraphBuilder default_centroid_graph_builder() noexcept;

// Per-index coarse assignment state. Calls on one object must not overlap.
class CoarseAssignment {
public:
    CoarseAssignment() noexcept;
    explicit CoarseAssignment(CentroidGraphBuilder builder) noexcept;

    CoarseAssignment(CoarseAssignment&&) noexcept = default;
    CoarseAssignment& operator=(CoarseAssignment&&) noexcept = default;

    // Builds the graph when allowed and the centroid set is large enough; at
    // most once until reset. A failed build logs "automatic approximate coarse
    // assignment disabled: {}" and leaves the object exact. Never fails.
    void prepare(std::span<const float> centroids, size_t nlist, size_t d);

    // The list of each of n vectors (n * d values), each below nlist. n = 0
    // returns nothing and prepares nothing.
    std::vector<size_t> assign(std::span<const float> vectors, size_t n, std::span<const float> centroids,
                               size_t nlist, size_t d);

    // Owner resets: after (re)training the centroids, and on a mode change.
    // Both drop the graph and clear `prepared`.
    void reset() noexcept;
    void set_approximate(bool approximate) noexcept;

    bool approximate() const noexcept { return approximate_; }
    bool prepared() const noexcept { return prepared_; }
    const CentroidGraph* graph() const noexcept { return graph_.get(); }

private:
    std::unique_ptr<CentroidGraph> graph_;
    bool prepared_ = false;
    bool approximate_ = true;
    CentroidGraphBuilder builder_;
};

// Row positions grouped by list: the rows of list j are
// order[first[j] .. first[j + 1]), ascending (a counting sort of the labels).
struct ListGroups {
    std::vector<size_t> first;  // nlist + 1 entries
    std::vector<size_t> order;  // one entry per label
    size_t size(size_t list) const { return first[list + 1] - first[list]; }
    std::span<const size_t> rows(size_t list) const {
        return std::span<const size_t>(order).subspan(first[list], size(list));
    }
};
// Asserts every label below nlist.
ListGroups group_rows_by_list(std::span<const size_t> labels, size_t nlist);

// Rows per chunk of graph-mode assignment for n rows and a pool of `threads`:
// min(max(n / max(4 * threads, 1), 16), 1024).
size_t graph_chunk_rows(size_t n, size_t threads) noexcept;

}  // namespace tavren::coarse
