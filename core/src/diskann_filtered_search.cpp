// The DiskANN reader's filtered single-query search: the filter becomes a
// node set once per call, each query takes its PQ candidates from the graph
// (only when the filter admits every node and the graph's reach stays
// small) or from a scan of the matching nodes' resident codes, and the
// candidates are reranked exactly, unchanged (never widened to other nodes
// of their windows, which might lie outside the filter).
#include <limits>
#include <span>
#include <vector>

#include "diskann_filter.hpp"
#include "diskann_format.hpp"
#include "diskann_io.hpp"
#include "diskann_reader_views.hpp"
#include "diskann_search.hpp"
#include "error.hpp"
#include "index_io_util.hpp"
#include "numeric.hpp"
#include "read_options.hpp"

namespace tavren::diskann_io {

namespace {

namespace ds = diskann_search;
namespace fmtd = diskann_format;

// Empties the scratch's adjacency windows into its pool on every way out, so
// a failed query leaves the session clean for the next one.
class RecycleAdjacencyOnExit {
public:
    explicit RecycleAdjacencyOnExit(DiskAnnQueryScratch& scratch) noexcept : scratch_(scratch) {}
    ~RecycleAdjacencyOnExit() { scratch_.recycle_adjacency_windows(); }
    RecycleAdjacencyOnExit(const RecycleAdjacencyOnExit&) = delete;
    RecycleAdjacencyOnExit& operator=(const RecycleAdjacencyOnExit&) = delete;

private:
    DiskAnnQueryScratch& scratch_;
};

void bump(uint64_t& counter, uint64_t by) noexcept { counter = saturating_add(counter, by); }

// `count` pairs (-1, f32::MAX).
void pad_filtered_results(uint64_t count, std::vector<int64_t>& ids, std::vector<float>& distances) {
    ids.assign(static_cast<size_t>(count), -1);
    distances.assign(static_cast<size_t>(count), std::numeric_limits<float>::max());
}

}  // namespace

ds::NodeSet DiskAnnIndexReader::matching_nodes_for_filter(const row_id_filter::RoaringTreemap& filter) {
    ensure_resident();
    const uint64_t c = filter.cardinality();
    const uint64_t n = header_.vector_count;
    if (c != 0 && c <= n / 16) {
        const SharedOrder order = ensure_row_id_order();
        if (order) {
            // The order path: one forward walk over the sorted order (the
            // same ranges as a binary search per value, in fewer lookups).
            const std::vector<ds::OrderRange> ranges = ds::matching_ranges_by_merge_walk(
                *order, filter, [this](uint32_t node) { return row_id(node); });
            return ds::node_set_from_ranges(*order, ranges);
        }
    }
    return ds::matching_nodes_from_sequential_row_ids(
        filter, [this](const ds::RowIdBlockVisitor& visit) { try_for_each_row_id_block(visit); });
}

void DiskAnnIndexReader::with_search_input(const SearchInputVisitor& f) {
    ensure_resident();
    ReaderSource source(*this);
    const ds::SingleSearchInput in = single_search_input(*this, source, session_read_plan(*this));
    f(in, source);
}

ds::FilteredCandidateStrategy DiskAnnIndexReader::filtered_strategy(uint64_t matches, uint64_t top_k,
                                                                    uint64_t l_search) const {
    const read_options::ReadPlan plan = session_read_plan(*this);
    const bool preloaded =
        adjacency_preload().size() == header_.sections[fmtd::kSectionAdjacencyPages].length;
    return ds::select_filtered_candidate_strategy(header_.vector_count, matches, top_k, l_search, header_.max_degree,
                                                  plan, preloaded);
}

void DiskAnnIndexReader::search_with_roaring_filter(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                                                    std::span<const uint8_t> filter, std::vector<int64_t>& ids,
                                                    std::vector<float>& distances) {
    const std::span<const float> prepared =
        ds::prepare_diskann_query(query, header_.dimension, header_.metric, *scratch_);
    const row_id_filter::RoaringTreemap treemap = index_io_util::decode_roaring_filter(filter);
    stats_ = DiskAnnSearchStats::for_queries(1);
    ids.clear();
    distances.clear();
    if (top_k == 0) return;
    if (treemap.is_empty()) return pad_filtered_results(top_k, ids, distances);
    const ds::NodeSet nodes = matching_nodes_for_filter(treemap);
    if (nodes.isEmpty()) return pad_filtered_results(top_k, ids, distances);
    search_with_matching_nodes(prepared, top_k, l_search, nodes, ids, distances);
}

void DiskAnnIndexReader::search_with_matching_nodes(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                                                    const ds::NodeSet& nodes, std::vector<int64_t>& ids,
                                                    std::vector<float>& distances) {
    ids.clear();
    distances.clear();
    if (top_k == 0) return;
    const std::vector<ds::SearchCandidate> candidates = generate_filtered_candidates(query, top_k, l_search, nodes);
    scratch_->begin_rerank();
    with_search_input([&](const ds::SingleSearchInput& in, ds::DiskAnnSearchSource& source) {
        RecycleAdjacencyOnExit recycle(*scratch_);
        ds::AdjacencyLoadStats load;
        ds::RerankStats rerank;
        try {
            if (in.interleaved) {
                ds::rerank_interleaved(*in.interleaved_rerank, source, query, candidates, static_cast<size_t>(top_k),
                                       *scratch_, load, rerank, ids, distances);
            } else {
                ds::rerank(*in.raw, source, query, candidates, static_cast<size_t>(top_k), *scratch_, rerank, ids,
                           distances);
            }
        } catch (...) {
            stats_.add(load);
            stats_.add(rerank);
            throw;
        }
        stats_.add(load);
        stats_.add(rerank);
    });
}

std::vector<ds::SearchCandidate> DiskAnnIndexReader::generate_filtered_candidates(std::span<const float> query,
                                                                                  uint64_t top_k, uint64_t l_search,
                                                                                  const ds::NodeSet& nodes) {
    ensure_resident();
    const ds::FilteredCandidateStrategy strategy = filtered_strategy(ds::node_set_size(nodes), top_k, l_search);
    const auto budget = static_cast<size_t>(strategy.budget);
    if (strategy.kind == ds::FilteredStrategyKind::GraphPostFilter) {
        bump(stats_.filtered_graph_searches, 1);
        std::optional<std::vector<ds::SearchCandidate>> kept;
        // A fixed beam of 4: the graph path runs only where pages are in
        // memory or read in small windows.
        constexpr size_t kFilteredBeamWidth = 4;
        with_search_input([&](const ds::SingleSearchInput& in, ds::DiskAnnSearchSource& source) {
            RecycleAdjacencyOnExit recycle(*scratch_);
            ds::AdjacencyLoadStats load;
            try {
                ds::generate_graph_candidates(in.graph, source, query, static_cast<size_t>(strategy.graph_list_size),
                                              kFilteredBeamWidth, *scratch_, load);
            } catch (...) {
                stats_.add(load);
                throw;
            }
            stats_.add(load);
            kept = ds::post_filter_graph_candidates(scratch_->candidates, nodes, budget);
        });
        if (kept) return std::move(*kept);
        bump(stats_.filtered_graph_fallbacks, 1);
    }
    return exhaustive_filtered_candidates(query, nodes, budget);
}

std::vector<ds::SearchCandidate> DiskAnnIndexReader::exhaustive_filtered_candidates(std::span<const float> query,
                                                                                    const ds::NodeSet& nodes,
                                                                                    size_t budget) {
    const uint64_t matches = ds::node_set_size(nodes);
    bump(stats_.filtered_exhaustive_queries, 1);
    bump(stats_.filtered_pq_distances, matches);
    bump(stats_.filtered_code_reads, matches);
    DiskAnnQueryScratch& scratch = *scratch_;
    scratch.begin_rerank();
    const DiskAnnResidentData& res = resident();
    const ds::PqCodeLayout layout = ds::pq_code_layout(header_.pq_m, header_.pq_bits);
    const std::span<float> table = scratch.prepare_distance_table(layout.m * layout.ksub);
    res.pq.compute_distance_table_by_dimension(query, header_.metric, table);
    std::vector<ds::SearchCandidate> heap;
    ds::reserve_filtered_candidate_heap(heap, budget);
    ds::for_each_node_chunk(nodes, scratch.neighbor_ids, [&](std::span<const uint32_t> chunk) {
        ds::score_filtered_candidate_chunk(table, res.pq_codes, layout.m, header_.pq_bits, chunk,
                                           scratch.scored_neighbors, heap, budget);
    });
    ds::sort_candidates(heap);
    return heap;
}

}  // namespace tavren::diskann_io
