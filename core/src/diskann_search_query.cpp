// The single-query stages: beam search over the graph with PQ distances, and
// the exact reranks over raw-vector windows or interleaved records.
#include <algorithm>
#include <cmath>

#include "diskann_format.hpp"
#include "distance.hpp"
#include "metric.hpp"
#include "diskann_search.hpp"
#include "error.hpp"
#include "numeric.hpp"

namespace tavren::diskann_search {

using diskann_windows::kAdjacencyWindowCacheLimit;
using diskann_windows::kLogicalPageBytes;
using diskann_windows::WindowPayload;

namespace {

// The bytes of a window from the preload (when it lies wholly inside) or the
// query cache; empty optional when in neither.
std::optional<std::span<const uint8_t>> local_window_bytes(const AdjacencyLoadInput& load, const ReadWindow& w,
                                                           const diskann_windows::AdjacencyWindowCache& cache) {
    if (load.planner.window_in_prefix(w, load.preload.size())) {
        return load.preload.subspan(w.offset - load.planner.section_offset(), w.len);
    }
    const WindowPayload* p = cache.get(w.offset);
    if (p == nullptr) return std::nullopt;
    return p->bytes();
}

std::vector<ExactSearchResult> make_result_heap(size_t candidates, size_t top_k) {
    std::vector<ExactSearchResult> heap;
    try {
        heap.reserve(std::min(candidates, top_k));
    } catch (const std::bad_alloc&) {
        invalid_input("DiskANN exact result allocation failed");
    } catch (const std::length_error&) {
        invalid_input("DiskANN exact result allocation failed");
    }
    return heap;
}

}  // namespace

void generate_graph_candidates(const GraphSearchInput& input, DiskAnnSearchSource& source,
                               std::span<const float> query, size_t list_size, size_t beam_width,
                               DiskAnnQueryScratch& scratch, AdjacencyLoadStats& stats) {
    const uint64_t n = input.vector_count;
    const size_t l = static_cast<size_t>(std::min<uint64_t>(list_size, n));
    scratch.begin_graph_search(static_cast<size_t>(n), l, input.max_degree);
    if (n == 0) {
        // A graph without nodes has no entry to score.
        scratch.finish_graph_candidates();
        return;
    }
    const PqCodeLayout layout = pq_code_layout(input.pq_m, input.pq_bits);
    const std::span<float> table = scratch.prepare_distance_table(layout.m * layout.ksub);
    source.compute_distance_table(query, table);

    const size_t entry = input.entry_node;
    scratch.mark_visited(entry);
    scratch.insert_graph_candidate(entry, l, score_pq_node(table, input.pq_codes, input.pq_m, input.pq_bits, entry));

    const ReadWindowPlanner& planner = input.load.planner;
    const uint64_t section_offset = planner.section_offset();
    // Rounds go on until every retained node has been expanded: select_round
    // comes back empty once the best unexpanded frontier entry has fallen out
    // of the retained list. Capping the expansions at L instead stops a wide
    // beam after L / beam rounds, a few hops from the entry, and loses most of
    // the recall at small L. Each node is expanded at most once (the visited
    // set), so the loop ends after at most n expansions.
    const size_t beam = std::max<size_t>(beam_width, 1);
    for (;;) {
        scratch.select_round(beam);
        if (scratch.round_nodes.empty()) break;
        load_adjacency_pages(input.load, source, scratch.round_nodes, scratch.adjacency_cache, scratch.validated_pages,
                             scratch.buffer_pool, stats, scratch.load_work);
        for (size_t u : scratch.round_nodes) {
            const AdjacencyLocator loc = source.adjacency_locator(u);
            const auto w = planner.window_for_logical_page(loc.page);
            if (!w) invalid_data("DiskANN adjacency page is out of range");
            const auto bytes = local_window_bytes(input.load, *w, scratch.adjacency_cache);
            if (!bytes) invalid_data("DiskANN adjacency decode window is not loaded");
            // The page lies inside the window, so this cannot wrap.
            const uint64_t start = section_offset + uint64_t{loc.page} * kLogicalPageBytes + loc.offset - w->offset;
            if (start > bytes->size()) invalid_data("DiskANN adjacency list is truncated");
            diskann_format::decode_adjacency_list(bytes->subspan(start), loc.degree(), loc.raw(), scratch.neighbor_ids);
            std::erase_if(scratch.neighbor_ids, [&](uint32_t v) { return !scratch.mark_visited(v); });
            score_pq_neighbors(table, input.pq_codes, input.pq_m, input.pq_bits, scratch.neighbor_ids,
                               scratch.scored_neighbors);
            for (const ScoredNeighbor& s : scratch.scored_neighbors) scratch.insert_graph_candidate(s.node, l, s.distance);
        }
        stats.adjacency_cache_evictions =
            saturating_add(stats.adjacency_cache_evictions,
                           scratch.adjacency_cache.trim(scratch.buffer_pool, kAdjacencyWindowCacheLimit));
    }
    scratch.finish_graph_candidates();
}

void rerank(const RawVectorRerankInput& input, const DiskAnnSearchSource& source, std::span<const float> query,
            std::span<const SearchCandidate> candidates, size_t top_k, DiskAnnQueryScratch& scratch,
            RerankStats& stats, std::vector<int64_t>& ids, std::vector<float>& distances) {
    const VectorWindowPlanner& planner = input.planner;
    std::vector<ReadWindow>& windows = scratch.load_work.planned;
    planner.plan_nodes_into(candidates, windows);
    stats.rerank_candidates = saturating_add(stats.rerank_candidates, candidates.size());
    stats.rerank_windows = saturating_add(stats.rerank_windows, windows.size());
    if (!windows.empty()) stats.rerank_window_batches = saturating_add(stats.rerank_window_batches, 1);
    const auto prep = prepare_vector_window_cache(windows, scratch.vector_cache, scratch.buffer_pool,
                                                  input.vector_cache_budget);
    stats.vector_window_evictions = saturating_add(stats.vector_window_evictions, prep.removed);
    const RawVectorKernel kernel = selected_raw_vector_distance_kernel(query.size());
    TD_ASSERT(input.file != nullptr, "DiskANN rerank needs a file");
    // The loader leaves work.planned alone.
    const VectorWindowLoad load = load_vector_windows(windows, input.shared, *input.file,
                                                      scratch.vector_cache, scratch.buffer_pool, scratch.load_work);
    stats.vector_windows_found = saturating_add(stats.vector_windows_found, load.windows_found);
    stats.vector_windows_read = saturating_add(stats.vector_windows_read, load.windows_read);
    stats.vector_window_evictions = saturating_add(stats.vector_window_evictions, load.shared_evictions);

    std::vector<ExactSearchResult> heap;
    try {
        heap = make_result_heap(candidates.size(), top_k);
        // The records lie scattered over the raw-vector section: each one's
        // lines are requested before the one ahead of it is scored, so the
        // scoring does not wait for memory once per record.
        constexpr size_t kAhead = 2;
        const auto prefetch_record = [&](size_t i) noexcept {
            if (i >= candidates.size()) return;
            const auto w = planner.window_for_node(candidates[i].node);
            if (!w) return;
            const auto bytes = scratch.vector_cache.get(*w);
            if (!bytes) return;
            prefetch_lines(planner.record_if_present(*w, *bytes, candidates[i].node));
        };
        for (size_t i = 0; i < kAhead; ++i) prefetch_record(i);
        for (size_t i = 0; i < candidates.size(); ++i) {
            prefetch_record(i + kAhead);
            const SearchCandidate& c = candidates[i];
            const auto w = planner.window_for_node(c.node);
            if (!w) invalid_data("DiskANN raw-vector record is out of range");
            const auto bytes = scratch.vector_cache.get(*w);
            if (!bytes) invalid_data("DiskANN vector window is not loaded");
            const auto record = planner.record(*w, *bytes, c.node);
            const float d = raw_vector_distance(query, record, input.encoding, input.metric, kernel);
            push_bounded_exact_result(heap, source.row_id(c.node), top_k, d);
        }
    } catch (...) {
        scratch.vector_cache.recycle(scratch.buffer_pool);
        throw;
    }
    finish_exact_results(heap, top_k, ids, distances);
    if (prep.keep) {
        scratch.vector_cache.touch_windows(windows);
        stats.vector_window_evictions = saturating_add(
            stats.vector_window_evictions, scratch.vector_cache.trim(scratch.buffer_pool, input.vector_cache_budget));
    } else {
        scratch.vector_cache.recycle(scratch.buffer_pool);
    }
}

void rerank_interleaved(const InterleavedRerankInput& input, DiskAnnSearchSource& source,
                        std::span<const float> query, std::span<const SearchCandidate> candidates, size_t top_k,
                        DiskAnnQueryScratch& scratch, AdjacencyLoadStats& load_stats, RerankStats& stats,
                        std::vector<int64_t>& ids, std::vector<float>& distances) {
    // The beam search is over, so its round list can carry the nodes.
    scratch.round_nodes.clear();
    for (const SearchCandidate& c : candidates) scratch.round_nodes.push_back(c.node);
    load_adjacency_pages(input.load, source, scratch.round_nodes, scratch.adjacency_cache, scratch.validated_pages,
                         scratch.buffer_pool, load_stats, scratch.load_work);
    const ReadWindowPlanner& planner = input.load.planner;
    std::vector<ReadWindow>& windows = scratch.load_work.planned;
    windows.clear();
    for (const SearchCandidate& c : candidates) {
        const auto w = planner.window_for_logical_page(source.adjacency_locator(c.node).page);
        if (!w) invalid_data("DiskANN adjacency page is out of range");
        windows.push_back(*w);
    }
    ReadWindowPlanner::sort_unique(windows);
    stats.rerank_candidates = saturating_add(stats.rerank_candidates, candidates.size());
    stats.rerank_windows = saturating_add(stats.rerank_windows, windows.size());
    if (!windows.empty()) stats.rerank_window_batches = saturating_add(stats.rerank_window_batches, 1);

    const RawVectorKernel kernel = selected_raw_vector_distance_kernel(query.size());
    const uint64_t section_offset = planner.section_offset();
    std::vector<ExactSearchResult> heap = make_result_heap(candidates.size(), top_k);
    for (const SearchCandidate& c : candidates) {
        const AdjacencyLocator loc = source.adjacency_locator(c.node);
        const auto w = planner.window_for_logical_page(loc.page);
        if (!w) invalid_data("DiskANN adjacency page is out of range");
        const auto bytes = local_window_bytes(input.load, *w, scratch.adjacency_cache);
        if (!bytes) invalid_data("DiskANN adjacency rerank window is not loaded");
        const auto page_at = checked_add(section_offset, uint64_t{loc.page} * kLogicalPageBytes);
        const auto list_abs = page_at ? checked_add(*page_at, loc.offset) : std::nullopt;
        if (!list_abs || *list_abs < w->offset || *list_abs - w->offset < input.record_bytes) {
            invalid_data("DiskANN interleaved vector offset underflows");
        }
        const uint64_t e = *list_abs - w->offset;
        if (e > bytes->size()) invalid_data("DiskANN interleaved raw vector is truncated");
        const auto record = bytes->subspan(e - input.record_bytes, input.record_bytes);
        const float d = raw_vector_distance(query, record, input.encoding, input.metric, kernel);
        push_bounded_exact_result(heap, source.row_id(c.node), top_k, d);
    }
    finish_exact_results(heap, top_k, ids, distances);
}

}  // namespace tavren::diskann_search

namespace tavren::diskann_search {

namespace {

using Counter = uint64_t DiskAnnSearchStats::*;
constexpr Counter kCounters[25] = {
    &DiskAnnSearchStats::queries,
    &DiskAnnSearchStats::query_batches,
    &DiskAnnSearchStats::largest_query_batch,
    &DiskAnnSearchStats::filtered_exhaustive_queries,
    &DiskAnnSearchStats::filtered_graph_searches,
    &DiskAnnSearchStats::filtered_graph_fallbacks,
    &DiskAnnSearchStats::filtered_pq_distances,
    &DiskAnnSearchStats::filtered_code_reads,
    &DiskAnnSearchStats::adjacency_shared_hits,
    &DiskAnnSearchStats::adjacency_windows_read,
    &DiskAnnSearchStats::adjacency_shared_waits,
    &DiskAnnSearchStats::adjacency_shared_evictions,
    &DiskAnnSearchStats::shared_cache_lock_acquisitions,
    &DiskAnnSearchStats::shared_cache_lock_wait_ns,
    &DiskAnnSearchStats::adjacency_cache_peak_bytes,
    &DiskAnnSearchStats::adjacency_cache_evictions,
    &DiskAnnSearchStats::rerank_candidates,
    &DiskAnnSearchStats::rerank_windows,
    &DiskAnnSearchStats::rerank_window_batches,
    &DiskAnnSearchStats::vector_windows_found,
    &DiskAnnSearchStats::vector_windows_read,
    &DiskAnnSearchStats::vector_window_evictions,
    &DiskAnnSearchStats::parallel_rerank_chunks,
    &DiskAnnSearchStats::parallel_rerank_references,
    &DiskAnnSearchStats::merged_queries,
};
constexpr size_t kPeakCounter = 14;

// Adds counters [from, to) of `other` into `target`, the peak as a maximum.
void merge_range(DiskAnnSearchStats& target, const DiskAnnSearchStats& other, size_t from, size_t to) noexcept {
    for (size_t i = from; i < to; ++i) {
        uint64_t& t = target.*kCounters[i];
        const uint64_t o = other.*kCounters[i];
        t = i == kPeakCounter ? std::max(t, o) : saturating_add(t, o);
    }
}

}  // namespace

void DiskAnnSearchStats::merge_complete_query(const DiskAnnSearchStats& other) noexcept {
    merge_range(*this, other, 3, 24);
    merged_queries = saturating_add(merged_queries, std::max<uint64_t>(other.queries, 1));
}

void DiskAnnSearchStats::merge_candidate_generation(const DiskAnnSearchStats& other) noexcept {
    merge_range(*this, other, 3, 16);
}

void DiskAnnSearchStats::add(const AdjacencyLoadStats& load) noexcept {
    adjacency_shared_hits = saturating_add(adjacency_shared_hits, load.adjacency_shared_hits);
    adjacency_windows_read = saturating_add(adjacency_windows_read, load.adjacency_windows_read);
    adjacency_shared_waits = saturating_add(adjacency_shared_waits, load.adjacency_shared_waits);
    adjacency_shared_evictions = saturating_add(adjacency_shared_evictions, load.adjacency_shared_evictions);
    shared_cache_lock_acquisitions = saturating_add(shared_cache_lock_acquisitions, load.shared_cache_lock_acquisitions);
    shared_cache_lock_wait_ns = saturating_add(shared_cache_lock_wait_ns, load.shared_cache_lock_wait_ns);
    adjacency_cache_peak_bytes = std::max(adjacency_cache_peak_bytes, load.adjacency_cache_peak_bytes);
    adjacency_cache_evictions = saturating_add(adjacency_cache_evictions, load.adjacency_cache_evictions);
}

void DiskAnnSearchStats::add(const RerankStats& rerank) noexcept {
    rerank_candidates = saturating_add(rerank_candidates, rerank.rerank_candidates);
    rerank_windows = saturating_add(rerank_windows, rerank.rerank_windows);
    rerank_window_batches = saturating_add(rerank_window_batches, rerank.rerank_window_batches);
    vector_windows_found = saturating_add(vector_windows_found, rerank.vector_windows_found);
    vector_windows_read = saturating_add(vector_windows_read, rerank.vector_windows_read);
    vector_window_evictions = saturating_add(vector_window_evictions, rerank.vector_window_evictions);
}

size_t resolve_diskann_l_search(size_t top_k, size_t l_search) noexcept {
    if (l_search != 0) return std::max(top_k, l_search);
    return std::max<size_t>(100, static_cast<size_t>(saturating_mul(top_k, 2)));
}

size_t diskann_rerank_budget(size_t top_k, size_t list_size) noexcept {
    return std::min(std::max<size_t>(64, static_cast<size_t>(saturating_mul(top_k, 4))), list_size);
}

std::span<const float> prepare_diskann_query(std::span<const float> query, uint64_t dimension, uint32_t metric,
                                             DiskAnnQueryScratch& scratch) {
    if (query.size() != dimension) {
        invalid_input("query dimension mismatch: expected {}, got {}", dimension, query.size());
    }
    for (float v : query) {
        if (!std::isfinite(v)) invalid_input("query values must be finite");
    }
    if (metric != kMetricCosine) return query;
    // The normalisation of distance::preprocess_vectors, into a reused buffer.
    scratch.query_buffer.assign(query.begin(), query.end());
    distance::fvec_normalize(scratch.query_buffer);
    return scratch.query_buffer;
}

std::span<const SearchCandidate> choose_rerank_set(const SingleSearchInput& input, const DiskAnnSearchSource& source,
                                                   size_t top_k, size_t list_size, DiskAnnQueryScratch& scratch) {
    const size_t budget = diskann_rerank_budget(top_k, list_size);
    if (scratch.candidates.size() <= budget) return scratch.candidates;
    if (input.interleaved) {
        const ReadWindowPlanner& planner = input.interleaved_rerank->load.planner;
        expand_rerank_candidates_within_seed_windows(
            scratch.candidates, budget,
            [&](size_t node) {
                const auto w = planner.window_for_logical_page(source.adjacency_locator(node).page);
                if (!w) invalid_data("DiskANN adjacency page is out of range");
                return *w;
            },
            scratch.seed_windows, scratch.rerank_set);
    } else {
        const VectorWindowPlanner& planner = input.raw->planner;
        expand_rerank_candidates_within_seed_windows(
            scratch.candidates, budget,
            [&](size_t node) {
                const auto w = planner.window_for_node(node);
                if (!w) invalid_data("DiskANN raw-vector record is out of range");
                return *w;
            },
            scratch.seed_windows, scratch.rerank_set);
    }
    return scratch.rerank_set;
}

void search_preprocessed(const SingleSearchInput& input, DiskAnnSearchSource& source, std::span<const float> query,
                         size_t top_k, size_t l_search, DiskAnnQueryScratch& scratch, DiskAnnSearchStats& stats,
                         std::vector<int64_t>& ids, std::vector<float>& distances) {
    ids.clear();
    distances.clear();
    if (top_k == 0) return;
    const size_t l = resolve_diskann_l_search(top_k, l_search);
    AdjacencyLoadStats load_stats;
    RerankStats rerank_stats;
    try {
        generate_graph_candidates(input.graph, source, query, l, static_cast<size_t>(input.beam_width), scratch,
                                  load_stats);
        const std::span<const SearchCandidate> set = choose_rerank_set(input, source, top_k, l, scratch);
        if (input.interleaved) {
            rerank_interleaved(*input.interleaved_rerank, source, query, set, top_k, scratch, load_stats, rerank_stats,
                               ids, distances);
        } else {
            rerank(*input.raw, source, query, set, top_k, scratch, rerank_stats, ids, distances);
        }
    } catch (...) {
        stats.add(load_stats);
        stats.add(rerank_stats);
        scratch.recycle_adjacency_windows();
        throw;
    }
    stats.add(load_stats);
    stats.add(rerank_stats);
    scratch.recycle_adjacency_windows();
}

}  // namespace tavren::diskann_search
