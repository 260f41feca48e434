// The list walk every IVF family searches with: probe selection, grouping a
// batch's queries by list so each probed list is read once per batch, the
// walk over the lists (batched reads through ivf_lists, large lists
// streamed), the parallel scan of a batch (one pool task per list, each with
// its own heap), seeds, the merge of partial results and padding.
//
// A family plugs in a ListScanner: prepare() turns a query (normalised for
// cosine) into what its scans need, scan() offers a run of rows (their IDs
// and codes) to a heap. Heaps are topk::ArrivalOrderTopKHeap: candidates of a
// query arrive list by list in walk order, within a list in row order
// (serial scan) or as that list's ascending best k (parallel scan), and ties
// keep arrival order, so results do not depend on the pool size.
//
// Thread rules: one search at a time per reader (its ListStore and
// SearchScratch); all reads on the calling thread; scans may run on the pool.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>


#include "distance.hpp"
#include "error.hpp"
#include "index_io_util.hpp"
#include "io.hpp"
#include "ivf_lists.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"
#include "topk.hpp"

namespace tavren::ivf_search {

using row_id_filter::RowIdFilter;
using topk::ArrivalOrderTopKHeap;
using topk::ScoredRow;

// A batch whose work estimate (rows x queries x the scanner's row_work) is
// above this, and which holds at least two lists, is scanned on the pool,
// one task per list.
inline constexpr uint64_t kParallelScanWork = 0xFFFFF;

// What a family provides to search its lists.
//   Query         what a scan needs of one query (built once per query)
//   prepare(q)    from the query as searched (d values, normalised for cosine)
//   scan(...)     offers every row of a run (ids.size() codes of the family's
//                 code size, in `codes`) to the heap, skipping rows the filter
//                 (may be null) lacks before any distance work
//   row_work()    the cost of scoring one row, in the units of
//                 kParallelScanWork (d for rows of d values)
// Scanners are immutable during a search and may be used from several pool
// threads at once.
template <class S>
concept ListScanner = requires(const S& s, std::span<const float> query, const typename S::Query& q,
                               std::span<const int64_t> ids, std::span<const uint8_t> codes, const RowIdFilter* filter,
                               ArrivalOrderTopKHeap& heap) {
    typename S::Query;
    { s.prepare(query) } -> std::same_as<typename S::Query>;
    { s.scan(q, ids, codes, filter, heap) } -> std::same_as<void>;
    { s.row_work() } -> std::convertible_to<uint64_t>;
};

// A scanner may also score a run of rows for a block of queries at once,
// each row loaded once for the whole block:
//   scan_block(queries, ids, codes, filter, heaps)   offers every row of the
//                 run to heaps[j] for queries[j] (at most kQueryBlock of
//                 them), so that each heap receives exactly the pairs, the
//                 distances and the order that scan(*queries[j], ...) gives it
// Scanners without it are driven one query at a time (scan_query_block).
inline constexpr size_t kQueryBlock = 16;
// The parallel scan's heaps of (list, query) pairs scanned in blocks hold
// at most this many places together in one batched read.
inline constexpr uint64_t kBlockedHeapEntries = uint64_t{1} << 20;

template <class S>
concept QueryBlockScanner =
    ListScanner<S> && requires(const S& s, std::span<const typename S::Query* const> qs, std::span<const int64_t> ids,
                               std::span<const uint8_t> codes, const RowIdFilter* filter,
                               std::span<ArrivalOrderTopKHeap* const> heaps) {
        { s.scan_block(qs, ids, codes, filter, heaps) } -> std::same_as<void>;
    };

// A scanner whose scores depend on the list (codes of residuals to the
// list's centroid) also provides scan_list(q, list, ids, codes, filter,
// heap); the walk then calls it, with the list index, instead of scan.
template <ListScanner S>
void scan_rows(const S& s, const typename S::Query& q, size_t list, std::span<const int64_t> ids,
               std::span<const uint8_t> codes, const RowIdFilter* filter, ArrivalOrderTopKHeap& heap) {
    if constexpr (requires { s.scan_list(q, list, ids, codes, filter, heap); }) {
        s.scan_list(q, list, ids, codes, filter, heap);
    } else {
        s.scan(q, ids, codes, filter, heap);
    }
}

// Offers a run of rows to the heaps of the queries `members` (indexes into
// `queries` and `heaps` alike, at most kQueryBlock), list-major when the
// scanner can, otherwise query by query. `heap_of(t)` is the heap of the
// t-th member.
template <ListScanner S, class HeapOf>
void scan_query_block(const S& scanner, std::span<const typename S::Query> queries, std::span<const size_t> members,
                      size_t list, std::span<const int64_t> ids, std::span<const uint8_t> codes, const RowIdFilter* filter,
                      HeapOf&& heap_of) {
    if constexpr (QueryBlockScanner<S>) {
        if (members.size() >= 2) {
            const typename S::Query* qs[kQueryBlock];
            ArrivalOrderTopKHeap* hs[kQueryBlock];
            TD_ASSERT(members.size() <= kQueryBlock, "a query block holds at most 16 queries");
            for (size_t t = 0; t < members.size(); ++t) {
                qs[t] = &queries[members[t]];
                hs[t] = &heap_of(t);
            }
            scanner.scan_block(std::span<const typename S::Query* const>(qs, members.size()), ids, codes, filter,
                               std::span<ArrivalOrderTopKHeap* const>(hs, members.size()));
            return;
        }
    }
    for (size_t t = 0; t < members.size(); ++t) scan_rows(scanner, queries[members[t]], list, ids, codes, filter, heap_of(t));
}

// Every query of `set` over one run of rows, in blocks of kQueryBlock.
template <ListScanner S>
void scan_run(const S& scanner, std::span<const typename S::Query> queries, std::span<const size_t> set, size_t list,
              std::span<const int64_t> ids, std::span<const uint8_t> codes, const RowIdFilter* filter,
              std::span<ArrivalOrderTopKHeap> heaps) {
    for (size_t b = 0; b < set.size(); b += kQueryBlock) {
        const std::span<const size_t> members = set.subspan(b, std::min(kQueryBlock, set.size() - b));
        scan_query_block(scanner, queries, members, list, ids, codes, filter,
                         [&](size_t t) -> ArrivalOrderTopKHeap& { return heaps[members[t]]; });
    }
}

// What the searches reuse from call to call: the parallel scan's heaps (one
// per list task of a batch), the partial results of every (list, query) pair
// of one batch and where each list's lie, and the batch grouping's list
// groups (all "none" between calls). Kept by the reader.
struct SearchScratch {
    // Each heap on its own cache lines: a heap's fields change on every
    // accepted candidate, and neighbouring tasks must not share those lines.
    struct alignas(64) TaskHeap {
        ArrivalOrderTopKHeap heap{0};
    };
    std::vector<TaskHeap> task_heaps;
    ivf_lists::ScratchArray<ScoredRow> partials;
    std::vector<size_t> partial_counts;
    std::vector<size_t> list_room;
    std::vector<size_t> list_base;
    std::vector<size_t> list_first_pair;
    std::vector<uint32_t> group_of;
    // The parallel scan's tiles: a list and the first of its queries (rank
    // within the list's query set) of a block of at most kQueryBlock.
    struct Tile {
        size_t list;
        size_t first;
        size_t count;  // queries of the tile
        size_t heap;   // its first task heap
        bool blocked;  // the queries scan together, one heap each; else one after the other in one heap
    };
    std::vector<Tile> tiles;

    size_t bytes() const noexcept;
    // After a batch: releases what is above the kept bounds (partials above
    // 64 MiB; task heaps holding room for more than kBlockedHeapEntries
    // pairs together).
    void trim();
};

// What a search needs of an open reader.
struct ReaderView {
    ivf_lists::ListStore& lists;
    const io::SeekRead& input;
    SearchScratch& scratch;
    std::span<const float> centroids;  // nlist x d
    size_t d;
    size_t nlist;
    uint32_t metric;
};

// Pushes the pairs of `partial` (ascending by rank) in order, stopping at the
// first one a full heap refuses: every later one would be refused too.
void merge_partial(ArrivalOrderTopKHeap& heap, std::span<const ScoredRow> partial);
// Pre-fills heap q with seeds q*k .. q*k+k-1 (skipping distance kF32Max); a
// query whose range lies beyond either array gets none.
void seed_heaps(std::span<ArrivalOrderTopKHeap> heaps, std::span<const int64_t> seed_ids,
                std::span<const float> seed_distances, size_t k);
// Exactly k pairs, ascending, padded with (-1, kF32Max).
SearchResult padded_results(ArrivalOrderTopKHeap heap, size_t k);
// InvalidInput: "nq * k overflows usize"; "seed result lengths must both
// equal nq * k" unless both are empty or both hold nq * k.
void validate_batch_seed(std::span<const int64_t> seed_ids, std::span<const float> seed_distances, size_t nq,
                         size_t k);

// A batch's probed lists in order of first appearance over the queries, with
// each list's queries ascending (stored flat, one span per list), and what
// each query can be offered.
struct ListGroups {
    std::vector<size_t> order;
    std::vector<size_t> members;
    std::vector<std::span<const size_t>> sets;
    std::vector<uint64_t> offerable;
};
// Groups probe ranks [probe_start, end) of each query's probe order.
// `group_of` (nlist entries, all "none") is used and left as it was.
ListGroups group_by_list(const kmeans::TopKBatch& probes, size_t nq, size_t probe_start,
                         const ivf_lists::ListStore& lists, std::vector<uint32_t>& group_of);

namespace detail {

// One pool task per (list, query block) tile; within a tile the block's
// queries scan the list together, each into a heap of the tile's own (or,
// for a large k, one after the other into one heap), and each keeps its
// ascending best k apart. Then, on the calling thread, list by
// list and query by query, each partial result is merged into its query's
// heap.
template <ListScanner S>
void scan_batch_in_parallel(SearchScratch& sc, const S& scanner, std::span<const ivf_lists::ListView> lists,
                            std::span<const std::span<const size_t>> query_sets,
                            std::span<const typename S::Query> queries, std::span<ArrivalOrderTopKHeap> heaps,
                            size_t k, const RowIdFilter* filter) {
    const size_t n = lists.size();
    // A task can offer at most its list's rows: a huge k must not make every
    // pair hold k places.
    sc.list_room.resize(n);
    sc.list_base.resize(n);
    sc.list_first_pair.resize(n);
    sc.tiles.clear();
    uint64_t places = 0;
    size_t pairs = 0;
    for (size_t j = 0; j < n; ++j) {
        const size_t room = std::min(k, lists[j].ids.size());
        sc.list_room[j] = room;
        sc.list_base[j] = static_cast<size_t>(places);
        sc.list_first_pair[j] = pairs;
        std::optional<uint64_t> next = checked_mul(room, query_sets[j].size());
        if (next) next = checked_add(places, *next);
        if (!next) panic("capacity overflow");
        places = *next;
        ivf_lists::check_capacity(places, sizeof(ScoredRow));
        pairs += query_sets[j].size();
    }
    // Lists scan in blocks of queries, a heap per pair, while the heaps of
    // such pairs hold at most kBlockedHeapEntries places together; the other
    // lists (a large k, a large batch) keep one task and one heap for all
    // their queries, as the pairs' room would otherwise double what the
    // partial results hold.
    size_t heap_count = 0;
    uint64_t blocked_places = 0;
    for (size_t j = 0; j < n; ++j) {
        const size_t count = query_sets[j].size();
        const uint64_t list_places = saturating_mul(sc.list_room[j], count);
        if (list_places <= kBlockedHeapEntries - blocked_places) {
            blocked_places += list_places;
            for (size_t t = 0; t < count; t += kQueryBlock) {
                const size_t c = std::min(kQueryBlock, count - t);
                sc.tiles.push_back(SearchScratch::Tile{j, t, c, heap_count, true});
                heap_count += c;
            }
        } else if (count != 0) {
            sc.tiles.push_back(SearchScratch::Tile{j, 0, count, heap_count, false});
            heap_count += 1;
        }
    }
    ScoredRow* const partials = sc.partials.reserve(static_cast<size_t>(places));
    sc.partial_counts.resize(pairs);

    // Each tile has heaps of its own (nothing depends on which thread runs
    // which tile, or on how many host threads share the pool), given their
    // room here so no task allocates.
    if (sc.task_heaps.size() < heap_count) sc.task_heaps.resize(heap_count);
    for (const SearchScratch::Tile& tile : sc.tiles) {
        const size_t heaps_of_tile = tile.blocked ? tile.count : 1;
        for (size_t h = 0; h < heaps_of_tile; ++h) {
            sc.task_heaps[tile.heap + h].heap.reset(sc.list_room[tile.list], sc.list_room[tile.list]);
        }
    }
    pool::parallel_for_each_index(sc.tiles.size(), [&](size_t index) {
        const SearchScratch::Tile& tile = sc.tiles[index];
        const size_t j = tile.list;
        const std::span<const size_t> members = query_sets[j].subspan(tile.first, tile.count);
        const size_t room = sc.list_room[j];
        const size_t rows = lists[j].ids.size();
        // Query t's ascending best k go to its place among the list's pairs.
        auto keep = [&](size_t t, ArrivalOrderTopKHeap& heap) {
            const std::span<const ArrivalOrderTopKHeap::Entry> sorted = heap.sort_in_place();
            ScoredRow* out = partials + sc.list_base[j] + (tile.first + t) * room;
            for (const ArrivalOrderTopKHeap::Entry& e : sorted) *out++ = ScoredRow{e.distance, e.row_id};
            sc.partial_counts[sc.list_first_pair[j] + tile.first + t] = sorted.size();
        };
        if (!tile.blocked) {
            ArrivalOrderTopKHeap& heap = sc.task_heaps[tile.heap].heap;
            for (size_t t = 0; t < members.size(); ++t) {
                heap.reset(k, rows);
                scan_rows(scanner, queries[members[t]], lists[j].list, lists[j].ids, lists[j].codes, filter, heap);
                keep(t, heap);
            }
            return;
        }
        for (size_t t = 0; t < members.size(); ++t) sc.task_heaps[tile.heap + t].heap.reset(k, rows);
        scan_query_block(scanner, queries, members, lists[j].list, lists[j].ids, lists[j].codes, filter,
                         [&](size_t t) -> ArrivalOrderTopKHeap& { return sc.task_heaps[tile.heap + t].heap; });
        for (size_t t = 0; t < members.size(); ++t) keep(t, sc.task_heaps[tile.heap + t].heap);
    });
    for (size_t j = 0; j < n; ++j) {
        const std::span<const size_t> set = query_sets[j];
        for (size_t t = 0; t < set.size(); ++t) {
            const ScoredRow* part = partials + sc.list_base[j] + t * sc.list_room[j];
            merge_partial(heaps[set[t]], std::span<const ScoredRow>(part, sc.partial_counts[sc.list_first_pair[j] + t]));
        }
    }
    sc.trim();
}

}  // namespace detail

// Reads and scans `order` (distinct lists) for the queries of each position
// into their heaps: batches of consecutive lists within the read budget,
// scanned serially or one pool task per list; lists above the stream
// threshold streamed alone. Heap q receives the candidates of its lists in
// `order`, within a list in row order (serial) or as that list's ascending
// best k (parallel).
template <ListScanner S>
void walk_lists(const ReaderView& r, const S& scanner, std::span<const size_t> order,
                std::span<const std::span<const size_t>> query_sets, std::span<const typename S::Query> queries,
                std::span<ArrivalOrderTopKHeap> heaps, size_t k, const RowIdFilter* filter) {
    const uint64_t threshold = r.lists.budgets().stream_threshold;
    const uint64_t row_work = scanner.row_work();
    auto streamed = [&](size_t pos) { return r.lists.payload_len(order[pos]) > threshold; };
    // The end of the batch that starts at position p (not streamed).
    auto batch_end = [&](size_t p) {
        const size_t g = r.lists.batch_read_end(r.input, order.subspan(p));
        size_t end = std::min(order.size(), p + std::max<size_t>(g, 1));
        // Only a lowered stream threshold can put a list to stream inside a batch.
        if (threshold < index_io_util::kReadBudgetBytes) {
            for (size_t j = p + 1; j < end; ++j) {
                if (streamed(j)) {
                    end = j;
                    break;
                }
            }
        }
        return end;
    };
    auto on_pool = [&](std::span<const ivf_lists::ListView> lists, size_t p) {
        if (lists.size() < 2) return false;
        uint64_t work = 0;
        for (size_t j = 0; j < lists.size(); ++j) {
            const uint64_t rows = lists[j].ids.size();
            work = saturating_add(work, saturating_mul(saturating_mul(rows, query_sets[p + j].size()), row_work));
        }
        return work > kParallelScanWork;
    };
    auto scan_batch = [&](std::span<const ivf_lists::ListView> lists, size_t p, bool parallel) {
        if (parallel) {
            detail::scan_batch_in_parallel(r.scratch, scanner, lists, query_sets.subspan(p, lists.size()), queries,
                                           heaps, k, filter);
            return;
        }
        for (size_t j = 0; j < lists.size(); ++j) {
            scan_run(scanner, queries, query_sets[p + j], lists[j].list, lists[j].ids, lists[j].codes, filter, heaps);
        }
    };

    size_t p = 0;
    while (p < order.size()) {
        if (streamed(p)) {
            const std::span<const size_t> set = query_sets[p];
            r.lists.read_streamed(r.input, order[p], [&](std::span<const int64_t> ids, std::span<const uint8_t> codes) {
                scan_run(scanner, queries, set, order[p], ids, codes, filter, heaps);
            });
            ++p;
            continue;
        }
        const size_t end = batch_end(p);
        const std::span<const ivf_lists::ListView> lists = r.lists.read_views(r.input, order.subspan(p, end - p));
        scan_batch(lists, p, on_pool(lists, p));
        p = end;
    }
}

// One query: exactly k padded results. Expects a loaded reader. InvalidInput
// "query length {} does not match index dimension {}", "k must be greater
// than 0", "nprobe must be greater than 0".
template <ListScanner S>
SearchResult search_one(const ReaderView& r, const S& scanner, std::span<const float> query, size_t k,
                        size_t nprobe, const RowIdFilter* filter) {
    if (query.size() != r.d) invalid_input("query length {} does not match index dimension {}", query.size(), r.d);
    if (k == 0) invalid_input("k must be greater than 0");
    if (nprobe == 0) invalid_input("nprobe must be greater than 0");

    std::vector<float> q(query.begin(), query.end());
    if (r.metric == kMetricCosine) distance::fvec_normalize(q);
    const kmeans::TopK probes = kmeans::find_topk(q, r.centroids, r.nlist, r.d, nprobe);

    uint64_t offerable = 0;
    for (size_t list : probes.lists) offerable = saturating_add(offerable, static_cast<uint64_t>(r.lists.count(list)));
    ArrivalOrderTopKHeap heap(k, static_cast<size_t>(offerable));

    static constexpr size_t kSingleQuery[1] = {0};
    const std::vector<std::span<const size_t>> sets(probes.lists.size(), std::span<const size_t>(kSingleQuery));
    const typename S::Query prepared = scanner.prepare(q);
    walk_lists(r, scanner, probes.lists, sets, std::span<const typename S::Query>(&prepared, 1),
               std::span<ArrivalOrderTopKHeap>(&heap, 1), k, filter);
    return padded_results(std::move(heap), k);
}

// nq queries, probe ranks [probe_start, probe_end) of each query's probe
// order, optional seeds (both empty or both nq * k long), optional filter.
// Returns nq * k padded results. Each probed list is read once for all the
// queries that probe it. Expects a loaded reader.
template <ListScanner S>
SearchResult search_batch(const ReaderView& r, const S& scanner, std::span<const float> queries, size_t nq, size_t k,
                          size_t probe_start, size_t probe_end, std::span<const int64_t> seed_ids,
                          std::span<const float> seed_distances, const RowIdFilter* filter) {
    const size_t d = r.d;
    index_io_util::validate_batch_queries(queries, nq, d, k);
    if (probe_start >= probe_end) invalid_input("probe range must be non-empty");
    validate_batch_seed(seed_ids, seed_distances, nq, k);
    const size_t total = nq * k;

    std::vector<float> q(queries.begin(), queries.end());
    if (r.metric == kMetricCosine) {
        for (size_t i = 0; i < nq; ++i) distance::fvec_normalize(std::span<float>(q).subspan(i * d, d));
    }
    const kmeans::TopKBatch probes = kmeans::find_topk_batch(q, nq, r.centroids, r.nlist, d, probe_end);
    const ListGroups groups = group_by_list(probes, nq, probe_start, r.lists, r.scratch.group_of);

    // Heaps reserve what their query can be offered, never more than k.
    const bool seeded = !seed_ids.empty();
    std::vector<ArrivalOrderTopKHeap> heaps;
    heaps.reserve(nq);
    for (size_t i = 0; i < nq; ++i) {
        uint64_t offers = groups.offerable[i];
        if (seeded) {
            for (size_t j = i * k; j < i * k + k; ++j) offers = saturating_add(offers, seed_distances[j] != kF32Max ? 1 : 0);
        }
        heaps.emplace_back(k, static_cast<size_t>(offers));
    }
    seed_heaps(heaps, seed_ids, seed_distances, k);

    // A scanner may size its reuse of work to the plan before preparing.
    if constexpr (requires { scanner.plan_batch(size_t{}, uint64_t{}, size_t{}); }) {
        uint64_t pairs = 0;
        for (const auto& set : groups.sets) pairs += set.size();
        size_t active = 0;
        for (size_t i = 0; i < nq; ++i) active += groups.offerable[i] > 0 ? 1 : 0;
        scanner.plan_batch(groups.order.size(), pairs, active);
    }
    std::vector<typename S::Query> prepared;
    prepared.reserve(nq);
    for (size_t i = 0; i < nq; ++i) prepared.push_back(scanner.prepare(std::span<const float>(q).subspan(i * d, d)));
    walk_lists(r, scanner, groups.order, groups.sets, prepared, heaps, k, filter);

    ivf_lists::check_capacity(total, sizeof(int64_t));
    SearchResult out;
    out.ids.assign(total, -1);
    out.distances.assign(total, kF32Max);
    for (size_t i = 0; i < nq; ++i) {
        const topk::PartialResult sorted = std::move(heaps[i]).into_sorted();
        for (size_t j = 0; j < sorted.size(); ++j) {
            out.ids[i * k + j] = sorted[j].row_id;
            out.distances[i * k + j] = sorted[j].distance;
        }
    }
    return out;
}

// ---- The reader contract -------------------------------------------------------------

// What the reader facade (index_reader.cpp) needs of an IVF family's file
// reader, so a family joins with its module files, one variant entry and one
// case in the magic switch:
//   open_with_header(input, header)  checks the 64 header bytes, reads nothing
//   dimension(), nlist(), metric(), total()   from the header (total unchecked)
//   ensure_loaded()                  loads the metadata once
//   search_with_filter(query, k, nprobe, filter)   one query, probe ranks
//                                    [0, nprobe), exactly k padded pairs
//   search_batch_range(queries, nq, k, start, end, seed_ids, seed_distances,
//                      filter)       probe ranks [start, end) of each query,
//                                    optional seeds, nq x k padded pairs
// Errors are tavren::Error with the family's texts; the facade adds none.
template <class R>
concept IvfIndexReader = requires(R& r, const R& cr, std::unique_ptr<io::SeekRead> input,
                                  std::span<const uint8_t, 64> header, std::span<const float> queries, size_t n,
                                  std::span<const int64_t> seed_ids, std::span<const float> seed_distances,
                                  const RowIdFilter* filter) {
    { R::open_with_header(std::move(input), header) } -> std::same_as<R>;
    { cr.dimension() } -> std::convertible_to<uint64_t>;
    { cr.nlist() } -> std::convertible_to<uint64_t>;
    { cr.metric() } -> std::convertible_to<uint32_t>;
    { cr.total() } -> std::convertible_to<uint64_t>;
    { r.ensure_loaded() };
    { r.search_with_filter(queries, n, n, filter) } -> std::same_as<SearchResult>;
    { r.search_batch_range(queries, n, n, n, n, seed_ids, seed_distances, filter) } -> std::same_as<SearchResult>;
};

// ---- Walks in probe order, with a family's heap, switch and statistics ----------------
//
// A family whose results are defined on another heap than the arrival-order
// one, whose lone query spreads a large read group over the pool after a
// short pre-scan, and which counts statistics per call, walks its probes with
// walk_probes: read groups of consecutive distinct lists (first appearance
// over the queries, probe ranks [probe_start, end)) through ivf_lists with the
// family's ListPayloadLayout; within a group each query scans its lists in its
// own probe order, one pool task per query (a batch) or list by list (a lone
// query); a lone query over a group of scanner.parallel_rows() rows or more
// first scans scanner.prescan_rows() rows of the group's first non-empty list
// into its heap, then one pool task per list of the group, each into a heap of
// its own bounded by that heap's threshold, merged in list order. Results
// therefore do not depend on the pool size.

// What the walk needs of a family's heap.
//   Heap                    the heap type; Sorted what a finished heap gives
//   bounded(k, bound)       an empty heap of k places refusing offers at or above bound
//   bound(heap)             its threshold once it holds k pairs, else +inf
//   sorted(Heap&&)          its pairs, ascending
//   merge(heap, sorted)     offers them in that order
struct DistinctRowHeapPolicy {
    using Heap = topk::TopKHeap;
    using Sorted = std::vector<std::pair<float, int64_t>>;
    static Heap bounded(size_t k, float bound) { return Heap::with_max_distance(k, bound); }
    static float bound(const Heap& heap) noexcept {
        return heap.len() == heap.k() ? heap.threshold() : std::numeric_limits<float>::infinity();
    }
    static Sorted sorted(Heap&& heap) { return std::move(heap).into_sorted(); }
    static void merge(Heap& heap, const Sorted& part) {
        for (const auto& [distance, id] : part) heap.push(id, distance);
    }
};

// What a family provides to walk_probes.
//   Work                    one prepared query and its buffers, reused from query
//                           to query (a pool thread keeps one for a batch)
//   Stats                   per-call counters: add(other), count_prescan(),
//                           count_parallel_lists(n)
//   prepare(work, query)    from the query as searched (d values, preprocessed)
//   scan(work, view, probe_distance, filter, heap, stats, limit)
//                           scores the first min(limit, rows) rows of a list
//                           (probe_distance: the query's coarse distance to it,
//                           as probe selection gave it); allocates nothing
//   parallel_rows()         the group size at which a lone query goes parallel
//   prescan_rows()          rows of the pre-scan before it does
// Scanners are immutable during a search and used from several threads.
template <class S, class Heap>
concept ProbeScanner = requires(const S& s, typename S::Work& work, const typename S::Work& cwork,
                                std::span<const float> query, const ivf_lists::ListView& view, float probe_distance,
                                const RowIdFilter* filter, Heap& heap, typename S::Stats& stats, size_t limit) {
    { s.prepare(work, query) };
    { s.scan(cwork, view, probe_distance, filter, heap, stats, limit) };
    { s.parallel_rows() } -> std::convertible_to<uint64_t>;
    { s.prescan_rows() } -> std::convertible_to<size_t>;
    { stats.add(stats) };
    { stats.count_prescan() };
    { stats.count_parallel_lists(limit) };
};

// Where the probe walk reads from.
struct ProbeSource {
    ivf_lists::ListStore& lists;
    const io::SeekRead& input;
    const ivf_lists::ListPayloadLayout& layout;
};

// Walks probe ranks [probe_start, end) of `probes` for the nq = heaps.size()
// queries (`queries`, nq x d, as searched) into their heaps; `single` is the
// lone query's reused work. Returns the counters of the call (query_count
// aside). Errors: the layout's and the reads', in list order.
template <class Policy, class S>
    requires ProbeScanner<S, typename Policy::Heap>
typename S::Stats walk_probes(const ProbeSource& src, const S& scanner, std::span<const float> queries, size_t d,
                              const kmeans::TopKBatch& probes, size_t probe_start,
                              std::span<typename Policy::Heap> heaps, typename S::Work& single,
                              const RowIdFilter* filter) {
    using Heap = typename Policy::Heap;
    using Stats = typename S::Stats;
    constexpr uint32_t kNoSlot = std::numeric_limits<uint32_t>::max();
    const size_t nq = heaps.size();
    const size_t nlist = src.lists.nlist();
    const auto query_of = [&](size_t i) { return queries.subspan(i * d, d); };

    // A lone query is prepared once; a batch's queries in their tasks, each
    // pool thread reusing one Work, so prepared queries stay within one per
    // thread whatever nq is.
    if (nq == 1) scanner.prepare(single, query_of(0));
    pool::PerThread<typename S::Work> thread_work;

    std::vector<size_t> unique;
    {
        std::vector<uint8_t> seen(nlist, 0);
        for (size_t i = 0; i < nq; ++i) {
            const std::vector<size_t>& probed = probes.lists[i];
            for (size_t r = probe_start; r < probed.size(); ++r) {
                const size_t list = probed[r];
                TD_ASSERT(list < nlist, "probe list {} out of range", list);
                if (!seen[list]) {
                    seen[list] = 1;
                    unique.push_back(list);
                }
            }
        }
    }

    Stats total{};
    std::vector<Stats> query_stats(nq);
    std::vector<uint32_t> slot(nlist, kNoSlot);
    size_t g = 0;
    while (g < unique.size()) {
        const std::span<const size_t> rest = std::span<const size_t>(unique).subspan(g);
        const size_t count = src.lists.batch_read_end(src.input, rest, src.layout);
        const std::span<const size_t> group = rest.subspan(0, count);
        const std::span<const ivf_lists::ListView> lists = src.lists.read_views(src.input, group, src.layout);
        uint64_t group_rows = 0;
        for (size_t i = 0; i < group.size(); ++i) {
            slot[group[i]] = static_cast<uint32_t>(i);
            group_rows += lists[i].ids.size();
        }

        if (nq == 1 && group_rows >= scanner.parallel_rows()) {
            const std::vector<size_t>& probed = probes.lists[0];
            const auto distance_of = [&](size_t list) {
                const auto it = std::find(probed.begin(), probed.end(), list);
                TD_ASSERT(it != probed.end(), "loaded list must belong to the query probe set");
                return probes.distances[0][static_cast<size_t>(it - probed.begin())];
            };
            Heap& heap = heaps[0];
            for (size_t i = 0; i < group.size(); ++i) {
                if (lists[i].ids.empty()) continue;
                scanner.scan(single, lists[i], distance_of(group[i]), filter, heap, total, scanner.prescan_rows());
                total.count_prescan();
                break;
            }
            const float bound = Policy::bound(heap);
            const size_t k = heap.k();
            struct Partial {
                typename Policy::Sorted pairs;
                Stats stats{};
            };
            std::vector<Partial> partials(group.size());
            pool::parallel_for_each_index(group.size(), [&](size_t i) {
                Heap local = Policy::bounded(k, bound);
                scanner.scan(single, lists[i], distance_of(group[i]), filter, local, partials[i].stats,
                             std::numeric_limits<size_t>::max());
                partials[i].pairs = Policy::sorted(std::move(local));
            });
            total.count_parallel_lists(group.size());
            for (const Partial& part : partials) {
                total.add(part.stats);
                Policy::merge(heap, part.pairs);
            }
        } else {
            pool::parallel_for_each_index(nq, [&](size_t i) {
                const std::vector<size_t>& probed = probes.lists[i];
                typename S::Work* own = nq == 1 ? &single : nullptr;
                for (size_t r = probe_start; r < probed.size(); ++r) {
                    const uint32_t s = slot[probed[r]];
                    if (s == kNoSlot) continue;
                    if (own == nullptr) {
                        own = &thread_work.local();
                        scanner.prepare(*own, query_of(i));
                    }
                    scanner.scan(*own, lists[s], probes.distances[i][r], filter, heaps[i], query_stats[i],
                                 std::numeric_limits<size_t>::max());
                }
            });
        }
        for (size_t list : group) slot[list] = kNoSlot;
        g += count;
    }
    for (const Stats& s : query_stats) total.add(s);
    return total;
}

}  // namespace tavren::ivf_search
