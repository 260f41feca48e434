// DiskANN filtered search, the parts that need no reader: turning a row-ID
// filter into the set of matching node ids (from the row-ID order or from a
// scan of every node's row ID), the choice between a graph search and an
// exhaustive PQ scan, the post-filter of graph candidates, and the bounded
// PQ scoring of matching nodes for one query or a tile of queries.
//
// A row ID r matches the filter value r read as unsigned; a negative row ID
// never matches (the order path skips values of 2^63 or more, the scan path
// skips nodes with negative row IDs), so both translations give the same set.
//
// Thread rules: the functions keep no state; a NodeSet may be read by any
// number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <roaring/roaring.hh>

#include "diskann_search.hpp"
#include "error.hpp"
#include "read_options.hpp"
#include "row_id_filter.hpp"

namespace tavren::diskann_search {

// The matching node ids of a filtered search, a 32-bit Roaring bitmap.
using NodeSet = Roaring;

// Nodes in the set (the sum of its containers' lengths).
inline uint64_t node_set_size(const NodeSet& nodes) noexcept { return nodes.cardinality(); }

// Positions [start, end) of the row-ID order whose nodes carry one filter value.
struct OrderRange {
    uint64_t start = 0;
    uint64_t end = 0;
    friend bool operator==(const OrderRange&, const OrderRange&) = default;
};

// Row ID of a node; throws the lookup's error.
using RowIdLookup = std::function<int64_t(uint32_t node)>;
// Hands every node's row ID to the visitor in node order, a block at a time
// (first node of the block, its row IDs); the first error (of the visitor or
// of the enumeration) is thrown.
using RowIdBlockVisitor = std::function<void(uint64_t first, std::span<const int64_t> row_ids)>;
using RowIdEnumeration = std::function<void(const RowIdBlockVisitor& visit)>;

// For each filter value below 2^63, ascending: two independent binary searches
// over the whole order (lower and upper bound of the value), one range when
// they differ. About 2 log2(n) lookups per value. The first lookup error ends
// the call.
std::vector<OrderRange> matching_ranges_from_row_id_order(std::span<const uint32_t> order,
                                                          const row_id_filter::RoaringTreemap& filter,
                                                          const RowIdLookup& row_id_of);

// The same ranges from one forward walk: each value's lower bound is found by
// galloping from the end of the previous value's range (exponential steps,
// then halving), so the walk never looks back and costs O(c log(n / c))
// lookups for c values, never more than a plain merge of the two sorted
// sequences (O(n + c)). Used by the reader; the two must agree.
std::vector<OrderRange> matching_ranges_by_merge_walk(std::span<const uint32_t> order,
                                                      const row_id_filter::RoaringTreemap& filter,
                                                      const RowIdLookup& row_id_of);

// The nodes order[p] for every position p of the ranges. A node is below 2^32
// by construction of the order.
NodeSet node_set_from_ranges(std::span<const uint32_t> order, std::span<const OrderRange> ranges);

// The nodes whose non-negative row ID is in the filter, from an enumeration
// of every (node, row ID). InvalidData "DiskANN internal node ID exceeds u32"
// for a matching node above 2^32 - 1. An error drops the partial set.
NodeSet matching_nodes_from_sequential_row_ids(const row_id_filter::RoaringTreemap& filter,
                                               const RowIdEnumeration& enumerate);

// ---- strategy -------------------------------------------------------------------------

enum class FilteredStrategyKind : uint8_t { ExhaustivePq = 0, GraphPostFilter = 1 };

struct FilteredCandidateStrategy {
    FilteredStrategyKind kind = FilteredStrategyKind::ExhaustivePq;
    uint64_t budget = 0;            // candidates handed to the rerank
    uint64_t graph_list_size = 0;   // L_g, GraphPostFilter only
    friend bool operator==(const FilteredCandidateStrategy&, const FilteredCandidateStrategy&) = default;
};

// budget = min(max(4k, 64), matches); L = max(k, l or max(2k, 100)). The graph
// is searched only when the filter admits every node (matches = n > 0), L >=
// 200, the adjacency pages are fully preloaded or read in windows of at most
// 16 KiB, and the expected reach min(matches, L_g (R + 1)) with L_g =
// min(matches, max(L, 2 budget)) is at most half the nodes. Pure; saturating.
FilteredCandidateStrategy select_filtered_candidate_strategy(uint64_t n, uint64_t matches, uint64_t k, uint64_t l,
                                                             uint64_t max_degree, const read_options::ReadPlan& plan,
                                                             bool fully_preloaded) noexcept;

// The first `budget` candidates, in their order, whose node is in the set;
// none when fewer than `budget` are found.
std::optional<std::vector<SearchCandidate>> post_filter_graph_candidates(std::span<const SearchCandidate> candidates,
                                                                         const NodeSet& nodes, size_t budget);

// ---- exhaustive PQ scoring -----------------------------------------------------------

// Node ids scored together through the reused scratch buffers.
inline constexpr size_t kFilteredScoreChunk = 1024;
// The up-front reservation of a candidate heap: min(max(budget, 4), 1024).
inline constexpr size_t kFilteredHeapReserveCap = 1024;

// An empty candidate heap with room for min(max(budget, 4), 1024) entries
// (nothing reserved for budget 0). InvalidInput "DiskANN filtered candidate
// allocation failed".
void reserve_filtered_candidate_heap(std::vector<SearchCandidate>& heap, size_t budget);

// Scores the chunk's nodes with score_pq_neighbors into `scored`, then offers
// each (node, distance), in chunk order, to the bounded heap (limit budget).
// The scoring errors of score_pq_neighbors end the call.
void score_filtered_candidate_chunk(std::span<const float> table, std::span<const uint8_t> codes, size_t m,
                                    uint32_t bits, std::span<const uint32_t> chunk,
                                    std::vector<ScoredNeighbor>& scored, std::vector<SearchCandidate>& heap,
                                    size_t budget);

// Walks the set in ascending node order in chunks of 1024 ids (through
// `chunk`) and calls visit(chunk ids) for each.
void for_each_node_chunk(const NodeSet& nodes, std::vector<uint32_t>& chunk,
                         const std::function<void(std::span<const uint32_t>)>& visit);

// Queries scored together by the exhaustive batch form: with p = m x ksub,
// 1 when p overflows, is 2^62 or more, or is at least 524289; else
// min(4, floor(2 MiB / max(4p, 1))), so a tile's tables take at most 2 MiB.
size_t filtered_pq_query_tile_size(uint64_t m, uint64_t ksub) noexcept;

// One tile of the exhaustive batch form: each query's table (tile x m x ksub
// values, filled by `fill_table(query index in tile, table)`), then every
// matching node's code scored against every query of the tile, chunk by
// chunk, each query keeping its `budget` best in a bounded heap. The result
// holds, per query, its node ids ascending by (PQ distance, node). Each
// query's distances are the ones the single-query scan computes (the same
// chunks and the same kernel), so the candidates are identical.
std::vector<std::vector<size_t>> exhaustive_filtered_candidate_nodes_tile(
    size_t tile_queries, const std::function<void(size_t, std::span<float>)>& fill_table, size_t table_len,
    std::span<const uint8_t> codes, size_t m, uint32_t bits, const NodeSet& nodes, size_t budget);

}  // namespace tavren::diskann_search
