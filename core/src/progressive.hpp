// Progressive widening of automatic-width IVF searches.
//
// Under the automatic width the first nprobe is an estimate, and a selective
// row-ID filter can leave a query with fewer hits than it needs. These
// searches run the IVF search, and while a query's result is incomplete they
// double nprobe (never beyond nlist) and search again. With an explicit width
// they run exactly one pass.
//
// They are generic over the pass, so every IVF index type shares them: the
// caller binds its reader, the query or queries and any type-specific knobs
// into a callable. Passes are run on the calling thread, one at a time.
//
// Filters: when filter bytes are given, they are decoded into a fresh
// RoaringTreemap before every pass (index_io_util::decode_roaring_filter,
// InvalidInput "invalid RoaringTreemap filter: {}") and handed to that pass as
// its RowIdFilter; the treemap is released when the pass returns.
//
// Every failure of a pass or of a filter decoding ends the search and
// propagates unchanged; the partial result is dropped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "index_io_util.hpp"
#include "numeric.hpp"
#include "row_id_filter.hpp"
#include "search_params.hpp"
#include "search_result.hpp"

namespace tavren::progressive {

using row_id_filter::RowIdFilter;

// Bytes that the copies of one retry group (query vectors and seeds) stay within.
inline constexpr uint64_t kRetryGroupBudgetBytes = 67108864;

// Whether one query's distances hold at least `needed` real hits: values other
// than kF32Max are counted in order (a NaN counts, since it is not equal);
// needed = 0 is complete without looking.
bool ivf_search_result_is_complete(std::span<const float> distances, uint64_t needed) noexcept;

// How many incomplete queries one retry group of the batch form holds:
// max(1, floor(kRetryGroupBudgetBytes / B)) with B = 4 * dimension + 12 *
// top_k bytes (saturating; a query's f32 vector, its i64 seed IDs and f32 seed
// distances); 1 when B exceeds the budget.
uint64_t retry_group_size(uint64_t dimension, uint64_t top_k) noexcept;

namespace detail {

// The next nprobe of a widening: min(2 * nprobe, nlist), the doubling saturating.
inline uint64_t widened(uint64_t nprobe, uint64_t nlist) noexcept {
    return std::min(saturating_mul(nprobe, 2), nlist);
}

// Runs pass(filter) with the filter bytes decoded afresh, or pass(nullptr)
// when there are none.
template <class Call>
SearchResult run_with_filter(const std::optional<std::span<const uint8_t>>& filter_bytes, Call&& call) {
    if (!filter_bytes) return call(static_cast<const RowIdFilter*>(nullptr));
    const row_id_filter::RoaringTreemap treemap = index_io_util::decode_roaring_filter(*filter_bytes);
    const RowIdFilter filter(treemap);
    return call(&filter);
}

// A pass must return exactly `count` x top_k pairs; anything else is a broken
// invariant of the index type, never something to index past.
void check_pass_result(const SearchResult& result, uint64_t count, uint64_t top_k);

}  // namespace detail

// The single form. `pass(nprobe, filter)` searches the one query with probe
// ranks [0, nprobe) and returns exactly top_k padded pairs; `filter` is null
// for an unfiltered search. n is the number of rows that can match (the
// filter's row count when it was counted, else the index's vector count);
// needed = min(n, top_k). Returns the result of the last pass.
template <class Pass>
SearchResult progressive_ivf_search(uint32_t width_type, uint64_t nlist, uint64_t nprobe, uint64_t top_k, uint64_t n,
                                    const std::optional<std::span<const uint8_t>>& filter_bytes, Pass&& pass) {
    const uint64_t needed = std::min(n, top_k);
    auto run = [&](uint64_t probes) {
        SearchResult result =
            detail::run_with_filter(filter_bytes, [&](const RowIdFilter* filter) { return pass(probes, filter); });
        detail::check_pass_result(result, 1, top_k);
        return result;
    };
    SearchResult result = run(nprobe);
    if (width_type != index::kWidthAutomatic || needed == 0) return result;
    for (;;) {
        if (nprobe >= nlist) return result;
        if (ivf_search_result_is_complete(result.distances, needed)) return result;
        const uint64_t next = detail::widened(nprobe, nlist);
        // nprobe 0 cannot widen; stop rather than repeat the same pass forever.
        if (next <= nprobe) return result;
        nprobe = next;
        // Each pass is a complete search from the first probe rank: the single
        // form keeps no state between passes.
        result = SearchResult{};
        result = run(nprobe);
    }
}

namespace detail {

// The batch form with the retry group size given (tests use small groups).
template <class Pass>
SearchResult progressive_ivf_batch_search_grouped(uint32_t width_type, uint64_t nlist, uint64_t nprobe,
                                                  std::span<const float> queries, uint64_t nq, uint64_t top_k,
                                                  uint64_t n,
                                                  const std::optional<std::span<const uint8_t>>& filter_bytes,
                                                  std::optional<uint64_t> group_size_override, Pass&& pass) {
    auto run = [&](std::span<const float> group, uint64_t count, uint64_t start, uint64_t end,
                   std::span<const int64_t> seed_ids, std::span<const float> seed_distances) {
        SearchResult result = detail::run_with_filter(filter_bytes, [&](const RowIdFilter* filter) {
            return pass(group, count, start, end, seed_ids, seed_distances, filter);
        });
        detail::check_pass_result(result, count, top_k);
        return result;
    };
    if (width_type != index::kWidthAutomatic) return run(queries, nq, 0, nprobe, {}, {});

    const uint64_t dimension = nq == 0 ? 0 : queries.size() / nq;
    const uint64_t needed = std::min(n, top_k);
    SearchResult result = run(queries, nq, 0, nprobe, {}, {});
    if (nprobe >= nlist || needed == 0) return result;

    auto query_distances = [&](uint64_t i) {
        return std::span<const float>(result.distances).subspan(i * top_k, top_k);
    };
    std::vector<uint64_t> incomplete;
    for (uint64_t i = 0; i < nq; ++i) {
        if (!ivf_search_result_is_complete(query_distances(i), needed)) incomplete.push_back(i);
    }

    const uint64_t group_size = std::max<uint64_t>(1, group_size_override.value_or(retry_group_size(dimension, top_k)));
    std::vector<float> group_queries;
    std::vector<int64_t> seed_ids;
    std::vector<float> seed_distances;
    while (!incomplete.empty()) {
        const uint64_t next = detail::widened(nprobe, nlist);
        if (next <= nprobe) return result;  // nprobe 0 cannot widen
        std::vector<uint64_t> still_incomplete;
        for (size_t first = 0; first < incomplete.size(); first += group_size) {
            const size_t count = std::min<size_t>(group_size, incomplete.size() - first);
            const std::span<const uint64_t> members(incomplete.data() + first, count);
            group_queries.clear();
            seed_ids.clear();
            seed_distances.clear();
            for (uint64_t q : members) {
                auto vec = queries.subspan(q * dimension, dimension);
                group_queries.insert(group_queries.end(), vec.begin(), vec.end());
                auto ids = std::span<const int64_t>(result.ids).subspan(q * top_k, top_k);
                seed_ids.insert(seed_ids.end(), ids.begin(), ids.end());
                auto dists = query_distances(q);
                seed_distances.insert(seed_distances.end(), dists.begin(), dists.end());
            }
            SearchResult group = run(group_queries, count, nprobe, next, seed_ids, seed_distances);
            for (size_t j = 0; j < count; ++j) {
                const uint64_t q = members[j];
                std::copy_n(group.ids.begin() + j * top_k, top_k, result.ids.begin() + q * top_k);
                std::copy_n(group.distances.begin() + j * top_k, top_k, result.distances.begin() + q * top_k);
                if (!ivf_search_result_is_complete(query_distances(q), needed)) still_incomplete.push_back(q);
            }
        }
        incomplete = std::move(still_incomplete);
        if (next >= nlist) return result;
        nprobe = next;
    }
    return result;
}

}  // namespace detail

// The batch form. `pass(queries, count, probe_start, probe_end, seed_ids,
// seed_distances, filter)` searches `count` queries (back to back in
// `queries`) over probe ranks [probe_start, probe_end) of each query's probe
// order, each query's heap pre-filled from its seeds (both empty, or both
// count x top_k long; seeds with distance kF32Max are skipped), and returns
// count x top_k padded pairs, query after query.
//
// The first pass covers all queries with ranks [0, nprobe). Each widening
// retries only the incomplete queries, in groups of retry_group_size, over the
// newly added ranks [nprobe, next) seeded with their results so far, and
// writes each group's results back over those queries' entries. A query that
// is complete keeps its entries. Returns nq x top_k pairs.
template <class Pass>
SearchResult progressive_ivf_batch_search(uint32_t width_type, uint64_t nlist, uint64_t nprobe,
                                          std::span<const float> queries, uint64_t nq, uint64_t top_k, uint64_t n,
                                          const std::optional<std::span<const uint8_t>>& filter_bytes, Pass&& pass) {
    return detail::progressive_ivf_batch_search_grouped(width_type, nlist, nprobe, queries, nq, top_k, n, filter_bytes,
                                                        std::nullopt, std::forward<Pass>(pass));
}

}  // namespace tavren::progressive
