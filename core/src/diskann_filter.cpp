// DiskANN filtered search without the reader: node sets, strategy choice,
// post-filter and exhaustive PQ scoring.
#include "diskann_filter.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "numeric.hpp"

namespace tavren::diskann_search {

namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;

// The first position in [lo, hi) whose node's row ID is not below v
// (`strict` false) or above v (`strict` true); the row IDs ascend along the
// order. Halving with mid = lo + (hi - lo) / 2.
uint64_t bound_in(std::span<const uint32_t> order, uint64_t lo, uint64_t hi, int64_t v, bool strict,
                  const RowIdLookup& row_id_of) {
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        const int64_t r = row_id_of(order[mid]);
        if (strict ? r <= v : r < v) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// The same bound searched from `from` on: positions before `from` are known
// to be below it. Exponential steps find a window, halving finishes.
uint64_t gallop_bound(std::span<const uint32_t> order, uint64_t from, int64_t v, bool strict,
                      const RowIdLookup& row_id_of) {
    const uint64_t n = order.size();
    uint64_t lo = from;
    uint64_t step = 1;
    for (;;) {
        if (lo >= n) return n;
        const uint64_t probe = step - 1 < n - lo ? lo + step - 1 : n - 1;
        const int64_t r = row_id_of(order[probe]);
        if (strict ? r > v : r >= v) return bound_in(order, lo, probe, v, strict, row_id_of);
        lo = probe + 1;
        if (step <= n) step *= 2;
    }
}

void reserve_or_fail(std::vector<SearchCandidate>& heap, size_t n) {
    try {
        heap.reserve(n);
    } catch (const std::bad_alloc&) {
        invalid_input("DiskANN filtered candidate allocation failed");
    } catch (const std::length_error&) {
        invalid_input("DiskANN filtered candidate allocation failed");
    }
}

}  // namespace

std::vector<OrderRange> matching_ranges_from_row_id_order(std::span<const uint32_t> order,
                                                          const row_id_filter::RoaringTreemap& filter,
                                                          const RowIdLookup& row_id_of) {
    std::vector<OrderRange> ranges;
    const uint64_t n = order.size();
    filter.for_each([&](uint64_t value) {
        if (value >= kSignBit) return false;  // ascending: every later value is negative as i64
        const auto v = static_cast<int64_t>(value);
        const uint64_t lower = bound_in(order, 0, n, v, false, row_id_of);
        const uint64_t upper = bound_in(order, 0, n, v, true, row_id_of);
        if (lower != upper) ranges.push_back({lower, upper});
        return true;
    });
    return ranges;
}

std::vector<OrderRange> matching_ranges_by_merge_walk(std::span<const uint32_t> order,
                                                      const row_id_filter::RoaringTreemap& filter,
                                                      const RowIdLookup& row_id_of) {
    std::vector<OrderRange> ranges;
    uint64_t at = 0;
    filter.for_each([&](uint64_t value) {
        if (value >= kSignBit || at >= order.size()) return false;
        const auto v = static_cast<int64_t>(value);
        const uint64_t lower = gallop_bound(order, at, v, false, row_id_of);
        // Nodes of one row ID are few: gallop on from the lower bound.
        const uint64_t upper = gallop_bound(order, lower, v, true, row_id_of);
        if (lower != upper) ranges.push_back({lower, upper});
        at = upper;
        return true;
    });
    return ranges;
}

NodeSet node_set_from_ranges(std::span<const uint32_t> order, std::span<const OrderRange> ranges) {
    NodeSet nodes;
    for (const OrderRange& r : ranges) {
        TD_ASSERT(r.start <= r.end && r.end <= order.size(), "row-ID order range out of bounds");
        for (uint64_t p = r.start; p < r.end; ++p) nodes.add(order[p]);
    }
    return nodes;
}

NodeSet matching_nodes_from_sequential_row_ids(const row_id_filter::RoaringTreemap& filter,
                                               const RowIdEnumeration& enumerate) {
    NodeSet nodes;
    // Nodes come in ascending order: buffer them and append in bulk.
    std::vector<uint32_t> pending;
    pending.reserve(kFilteredScoreChunk);
    const auto flush = [&] {
        nodes.addMany(pending.size(), pending.data());
        pending.clear();
    };
    enumerate([&](uint64_t first, std::span<const int64_t> row_ids) {
        for (size_t i = 0; i < row_ids.size(); ++i) {
            const int64_t row_id = row_ids[i];
            if (row_id < 0 || !filter.contains(static_cast<uint64_t>(row_id))) continue;
            const uint64_t node = first + i;
            if (node > std::numeric_limits<uint32_t>::max()) invalid_data("DiskANN internal node ID exceeds u32");
            pending.push_back(static_cast<uint32_t>(node));
            if (pending.size() == kFilteredScoreChunk) flush();
        }
    });
    flush();
    return nodes;
}

FilteredCandidateStrategy select_filtered_candidate_strategy(uint64_t n, uint64_t matches, uint64_t k, uint64_t l,
                                                             uint64_t max_degree, const read_options::ReadPlan& plan,
                                                             bool fully_preloaded) noexcept {
    const uint64_t budget = std::min(std::max<uint64_t>(saturating_mul(k, 4), 64), matches);
    if (l == 0) l = std::max<uint64_t>(saturating_mul(k, 2), 100);
    const uint64_t list = std::max(k, l);
    const FilteredCandidateStrategy exhaustive{FilteredStrategyKind::ExhaustivePq, budget, 0};
    if (n == 0 || matches != n) return exhaustive;
    if (list < 200) return exhaustive;
    if (!fully_preloaded && plan.window_bytes > 16384) return exhaustive;
    // 2 x budget cannot overflow: budget <= max(4k, 64) saturated, and a
    // saturated budget is at least list anyway.
    const uint64_t twice_budget = budget > std::numeric_limits<uint64_t>::max() / 2
                                      ? std::numeric_limits<uint64_t>::max()
                                      : 2 * budget;
    const uint64_t graph_list = std::min(matches, std::max(list, twice_budget));
    const uint64_t reach = std::min(matches, saturating_mul(graph_list, saturating_add(max_degree, 1)));
    if (reach > matches / 2) return exhaustive;
    return {FilteredStrategyKind::GraphPostFilter, budget, graph_list};
}

std::optional<std::vector<SearchCandidate>> post_filter_graph_candidates(std::span<const SearchCandidate> candidates,
                                                                         const NodeSet& nodes, size_t budget) {
    std::vector<SearchCandidate> kept;
    reserve_or_fail(kept, std::min(budget, candidates.size()));
    for (const SearchCandidate& c : candidates) {
        if (kept.size() >= budget) break;
        if (c.node <= std::numeric_limits<uint32_t>::max() && nodes.contains(static_cast<uint32_t>(c.node))) {
            kept.push_back(c);
        }
    }
    if (kept.size() < budget) return std::nullopt;
    return kept;
}

void reserve_filtered_candidate_heap(std::vector<SearchCandidate>& heap, size_t budget) {
    heap.clear();
    if (budget == 0) return;
    reserve_or_fail(heap, std::min(std::max<size_t>(budget, 4), kFilteredHeapReserveCap));
}

void score_filtered_candidate_chunk(std::span<const float> table, std::span<const uint8_t> codes, size_t m,
                                    uint32_t bits, std::span<const uint32_t> chunk,
                                    std::vector<ScoredNeighbor>& scored, std::vector<SearchCandidate>& heap,
                                    size_t budget) {
    score_pq_neighbors(table, codes, m, bits, chunk, scored);
    for (const ScoredNeighbor& s : scored) push_bounded_candidate(heap, s.node, budget, s.distance);
}

void for_each_node_chunk(const NodeSet& nodes, std::vector<uint32_t>& chunk,
                         const std::function<void(std::span<const uint32_t>)>& visit) {
    chunk.resize(kFilteredScoreChunk);
    roaring_uint32_iterator_t it;
    roaring_init_iterator(&nodes.roaring, &it);
    for (;;) {
        const uint32_t got = roaring_read_uint32_iterator(&it, chunk.data(), static_cast<uint32_t>(chunk.size()));
        if (got == 0) break;
        visit(std::span<const uint32_t>(chunk.data(), got));
        if (got < chunk.size()) break;
    }
}

size_t filtered_pq_query_tile_size(uint64_t m, uint64_t ksub) noexcept {
    const std::optional<uint64_t> p = checked_mul(m, ksub);
    if (!p || *p >= (uint64_t{1} << 62) || *p >= 524289) return 1;
    return static_cast<size_t>(std::min<uint64_t>(4, 2097152 / std::max<uint64_t>(4 * *p, 1)));
}

std::vector<std::vector<size_t>> exhaustive_filtered_candidate_nodes_tile(
    size_t tile_queries, const std::function<void(size_t, std::span<float>)>& fill_table, size_t table_len,
    std::span<const uint8_t> codes, size_t m, uint32_t bits, const NodeSet& nodes, size_t budget) {
    const std::optional<uint64_t> total = checked_mul(tile_queries, table_len);
    TD_ASSERT(total.has_value(), "filtered tile table size overflows");
    std::vector<float> tables(*total, 0.0f);
    for (size_t q = 0; q < tile_queries; ++q) fill_table(q, std::span<float>(tables).subspan(q * table_len, table_len));
    std::vector<std::vector<SearchCandidate>> heaps(tile_queries);
    for (auto& h : heaps) reserve_filtered_candidate_heap(h, budget);
    std::vector<uint32_t> chunk;
    std::vector<ScoredNeighbor> scored;
    // The chunk's codes are read from memory once and stay in cache for the
    // tile's other queries.
    for_each_node_chunk(nodes, chunk, [&](std::span<const uint32_t> ids) {
        for (size_t q = 0; q < tile_queries; ++q) {
            score_filtered_candidate_chunk(std::span<const float>(tables).subspan(q * table_len, table_len), codes, m,
                                           bits, ids, scored, heaps[q], budget);
        }
    });
    std::vector<std::vector<size_t>> out(tile_queries);
    for (size_t q = 0; q < tile_queries; ++q) {
        sort_candidates(heaps[q]);
        out[q].reserve(heaps[q].size());
        for (const SearchCandidate& c : heaps[q]) out[q].push_back(c.node);
    }
    return out;
}

}  // namespace tavren::diskann_search
