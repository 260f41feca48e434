// The single-query stages: beam search over the graph with PQ distances, and
// the exact reranks over raw-vector windows or interleaved records.
#include <algorithm>

#include "diskann_format.hpp"
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
    const PqCodeLayout layout = pq_code_layout(input.pq_m, input.pq_bits);
    const std::span<float> table = scratch.prepare_distance_table(layout.m * layout.ksub);
    source.compute_distance_table(query, table);

    const size_t entry = input.entry_node;
    scratch.mark_visited(entry);
    scratch.insert_graph_candidate(entry, l, score_pq_node(table, input.pq_codes, input.pq_m, input.pq_bits, entry));

    const ReadWindowPlanner& planner = input.load.planner;
    const uint64_t section_offset = planner.section_offset();
    size_t expanded = 0;
    while (expanded < l) {
        scratch.select_round(std::min(l - expanded, beam_width));
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
        expanded += scratch.round_nodes.size();
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
        for (const SearchCandidate& c : candidates) {
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
