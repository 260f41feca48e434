// The DiskANN reader's filtered batch search: one node-set translation for
// the batch, then one of five forms, chosen from the layout, the strategy and
// the pool's thread count. Every form answers each query as the filtered
// single search does; they differ in how the work is spread:
//  - exhaustive: the matching nodes' codes scored against tiles of up to 4
//    queries on the pool, one streaming rerank per chunk of 1024 queries;
//  - serial: per-query candidates on the reader, one streaming rerank per chunk;
//  - chunked parallel: per-query candidates dealt round-robin to the workers,
//    one streaming rerank per chunk on the reader (these two are the
//    unfiltered batch's streaming loop with the filtered candidates);
//  - parallel sessions: whole queries dealt round-robin to the workers;
//  - direct serial: whole queries one after the other on the reader
//    (interleaved files with one thread).
#include <algorithm>
#include <limits>
#include <span>
#include <vector>

#include "diskann_filter.hpp"
#include "diskann_io.hpp"
#include "diskann_search.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "index_io_util.hpp"
#include "metric.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::diskann_io {

namespace {

namespace ds = diskann_search;

constexpr size_t kQueryChunk = ds::kStreamingQueryChunk;

void bump(uint64_t& counter, uint64_t by) noexcept { counter = saturating_add(counter, by); }

void count_chunk(DiskAnnSearchStats& stats, uint64_t queries) noexcept {
    bump(stats.query_batches, 1);
    stats.largest_query_batch = std::max(stats.largest_query_batch, queries);
}

size_t checked_result_len(uint64_t nq, uint64_t top_k) {
    const std::optional<uint64_t> len = checked_mul(nq, top_k);
    TD_ASSERT(len.has_value() && *len <= std::numeric_limits<size_t>::max() / sizeof(int64_t), "capacity overflow");
    return static_cast<size_t>(*len);
}

void pad_results(uint64_t count, std::vector<int64_t>& ids, std::vector<float>& distances) {
    ids.assign(static_cast<size_t>(count), -1);
    distances.assign(static_cast<size_t>(count), std::numeric_limits<float>::max());
}

// The streaming rerank of one chunk (shared with the unfiltered batch search),
// its results appended after the previous chunks'.
void append_chunk_rerank(DiskAnnIndexReader& reader, std::span<const float> chunk, uint64_t top_k,
                         const DiskAnnCandidateLists& lists, std::vector<int64_t>& ids,
                         std::vector<float>& distances) {
    std::vector<int64_t> chunk_ids;
    std::vector<float> chunk_distances;
    reader.rerank_candidate_batch_streaming(chunk, top_k, lists, chunk_ids, chunk_distances);
    ids.insert(ids.end(), chunk_ids.begin(), chunk_ids.end());
    distances.insert(distances.end(), chunk_distances.begin(), chunk_distances.end());
}

}  // namespace

void DiskAnnIndexReader::search_batch_with_roaring_filter(std::span<const float> queries, uint64_t top_k,
                                                          uint64_t l_search, std::span<const uint8_t> filter,
                                                          std::vector<int64_t>& ids, std::vector<float>& distances) {
    const row_id_filter::RoaringTreemap treemap = index_io_util::decode_roaring_filter(filter);
    const uint64_t d = header_.dimension;
    TD_ASSERT(d > 0, "DiskANN dimension must be positive");
    const uint64_t nq = queries.size() / d;
    stats_ = DiskAnnSearchStats::for_queries(nq);
    ids.clear();
    distances.clear();
    if (top_k == 0) return;
    std::vector<float> normalized;
    std::span<const float> qs = queries.first(static_cast<size_t>(nq * d));
    if (header_.metric == kMetricCosine) {
        normalized.assign(qs.begin(), qs.end());
        for (uint64_t q = 0; q < nq; ++q) distance::fvec_normalize(std::span<float>(normalized).subspan(q * d, d));
        qs = normalized;
    }
    const size_t total = checked_result_len(nq, top_k);
    if (treemap.is_empty()) return pad_results(total, ids, distances);
    const ds::NodeSet nodes = matching_nodes_for_filter(treemap);
    if (nodes.isEmpty()) return pad_results(total, ids, distances);

    const uint64_t w = std::min<uint64_t>(pool::current_num_threads(), nq);
    if (header_.interleaved()) {
        if (w >= 2) {
            BatchWorkerLease lease = BatchWorkerLease::take(*this, static_cast<size_t>(w), true);
            return search_batch_with_matching_nodes_in_parallel_sessions(qs, top_k, l_search, nodes, lease.workers(),
                                                                         ids, distances);
        }
        batch_workers_.clear();
        return search_batch_with_matching_nodes_direct_serial(qs, top_k, l_search, nodes, ids, distances);
    }
    const ds::FilteredCandidateStrategy strategy = filtered_strategy(ds::node_set_size(nodes), top_k, l_search);
    if (strategy.kind == ds::FilteredStrategyKind::ExhaustivePq) {
        return search_batch_filtered_exhaustive(qs, top_k, nodes, static_cast<size_t>(strategy.budget), ids,
                                                distances);
    }
    if (w < 2) {
        batch_workers_.clear();
        return search_batch_with_matching_nodes_serial(qs, top_k, l_search, nodes, ids, distances);
    }
    BatchWorkerLease lease = BatchWorkerLease::take(*this, static_cast<size_t>(w), true);
    if (nq <= ds::kSessionQueriesPerWorker * w) {
        return search_batch_with_matching_nodes_in_parallel_sessions(qs, top_k, l_search, nodes, lease.workers(),
                                                                     ids, distances);
    }
    search_batch_with_matching_nodes_chunked(qs, top_k, l_search, nodes, lease.workers(), ids, distances);
}

DiskAnnIndexReader::CandidateNodes DiskAnnIndexReader::filtered_candidate_nodes(uint64_t top_k, uint64_t l_search,
                                                                                const ds::NodeSet& nodes) {
    return [top_k, l_search, &nodes](DiskAnnIndexReader& r, std::span<const float> q, std::vector<size_t>& out) {
        const std::vector<ds::SearchCandidate> candidates = r.generate_filtered_candidates(q, top_k, l_search, nodes);
        out.clear();
        out.reserve(candidates.size());
        for (const ds::SearchCandidate& c : candidates) out.push_back(c.node);
    };
}

void DiskAnnIndexReader::search_batch_with_matching_nodes_serial(std::span<const float> queries, uint64_t top_k,
                                                                 uint64_t l_search, const ds::NodeSet& nodes,
                                                                 std::vector<int64_t>& ids,
                                                                 std::vector<float>& distances) {
    search_batch_streaming(queries, queries.size() / header_.dimension, top_k, {},
                           filtered_candidate_nodes(top_k, l_search, nodes), ids, distances);
}

void DiskAnnIndexReader::search_batch_with_matching_nodes_chunked(std::span<const float> queries, uint64_t top_k,
                                                                  uint64_t l_search, const ds::NodeSet& nodes,
                                                                  std::vector<DiskAnnIndexReader>& workers,
                                                                  std::vector<int64_t>& ids,
                                                                  std::vector<float>& distances) {
    TD_ASSERT(!workers.empty(), "chunked filtered batch needs workers");
    search_batch_streaming(queries, queries.size() / header_.dimension, top_k, workers,
                           filtered_candidate_nodes(top_k, l_search, nodes), ids, distances);
}

void DiskAnnIndexReader::search_batch_filtered_exhaustive(std::span<const float> queries, uint64_t top_k,
                                                          const ds::NodeSet& nodes, size_t budget,
                                                          std::vector<int64_t>& ids, std::vector<float>& distances) {
    const uint64_t d = header_.dimension;
    const uint64_t nq = queries.size() / d;
    const uint64_t matches = ds::node_set_size(nodes);
    const ds::PqCodeLayout layout = ds::pq_code_layout(header_.pq_m, header_.pq_bits);
    const size_t tile = ds::filtered_pq_query_tile_size(layout.m, layout.ksub);
    const size_t table_len = layout.m * layout.ksub;
    ids.clear();
    distances.clear();
    ids.reserve(checked_result_len(nq, top_k));
    distances.reserve(ids.capacity());
    for (uint64_t first = 0; first < nq; first += kQueryChunk) {
        const size_t c = static_cast<size_t>(std::min<uint64_t>(kQueryChunk, nq - first));
        count_chunk(stats_, c);
        const DiskAnnResidentData& res = resident();
        const std::span<const float> chunk = queries.subspan(first * d, c * d);
        const size_t tiles = (c + tile - 1) / tile;
        std::vector<std::vector<std::vector<size_t>>> tile_nodes(tiles);
        pool::parallel_for(0, tiles, 1, [&](size_t lo, size_t hi) {
            for (size_t t = lo; t < hi; ++t) {
                const size_t q0 = t * tile;
                const size_t tq = std::min(tile, c - q0);
                tile_nodes[t] = ds::exhaustive_filtered_candidate_nodes_tile(
                    tq,
                    [&](size_t q, std::span<float> table) {
                        res.pq.compute_distance_table_by_dimension(chunk.subspan((q0 + q) * d, d), header_.metric,
                                                                   table);
                    },
                    table_len, res.pq_codes, layout.m, header_.pq_bits, nodes, budget);
            }
        });
        bump(stats_.filtered_exhaustive_queries, c);
        bump(stats_.filtered_pq_distances, saturating_mul(c, matches));
        bump(stats_.filtered_code_reads, saturating_mul(tiles, matches));
        DiskAnnCandidateLists lists(1);
        lists[0].reserve(c);
        for (size_t t = 0; t < tiles; ++t) {
            for (size_t q = 0; q < tile_nodes[t].size(); ++q) {
                lists[0].push_back(DiskAnnCandidateList{t * tile + q, std::move(tile_nodes[t][q])});
            }
        }
        append_chunk_rerank(*this, chunk, top_k, lists, ids, distances);
    }
}

void DiskAnnIndexReader::search_batch_with_matching_nodes_in_parallel_sessions(
    std::span<const float> queries, uint64_t top_k, uint64_t l_search, const ds::NodeSet& nodes,
    std::vector<DiskAnnIndexReader>& workers, std::vector<int64_t>& ids, std::vector<float>& distances) {
    const uint64_t d = header_.dimension;
    const size_t nq = static_cast<size_t>(queries.size() / d);
    const size_t w = workers.size();
    TD_ASSERT(w > 0, "filtered batch sessions need workers");
    const DiskAnnSessionTask task = [&](size_t i, DiskAnnIndexReader& worker) {
        std::vector<DiskAnnSessionOutput> outputs;
        round_robin_queries(i, w, nq, [&](size_t q) {
            worker.stats_ = DiskAnnSearchStats::for_queries(1);
            DiskAnnSessionOutput out;
            out.query = q;
            worker.search_with_matching_nodes(queries.subspan(q * d, d), top_k, l_search, nodes, out.ids,
                                              out.distances);
            out.stats = worker.stats_;
            outputs.push_back(std::move(out));
        });
        return outputs;
    };
    search_batch_in_parallel_sessions(workers, nq, top_k, task, ids, distances);
}

void DiskAnnIndexReader::search_batch_with_matching_nodes_direct_serial(std::span<const float> queries,
                                                                        uint64_t top_k, uint64_t l_search,
                                                                        const ds::NodeSet& nodes,
                                                                        std::vector<int64_t>& ids,
                                                                        std::vector<float>& distances) {
    const uint64_t d = header_.dimension;
    const uint64_t nq = queries.size() / d;
    DiskAnnSearchStats batch = DiskAnnSearchStats::for_queries(nq);
    batch.query_batches = nq >= 1 ? 1 : 0;
    batch.largest_query_batch = nq;
    ids.clear();
    distances.clear();
    ids.reserve(checked_result_len(nq, top_k));
    distances.reserve(ids.capacity());
    std::vector<int64_t> one_ids;
    std::vector<float> one_distances;
    for (uint64_t q = 0; q < nq; ++q) {
        stats_ = DiskAnnSearchStats::for_queries(1);
        search_with_matching_nodes(queries.subspan(q * d, d), top_k, l_search, nodes, one_ids, one_distances);
        batch.merge_complete_query(stats_);
        ids.insert(ids.end(), one_ids.begin(), one_ids.end());
        distances.insert(distances.end(), one_distances.begin(), one_distances.end());
    }
    batch.merged_queries = 0;
    stats_ = batch;
}

}  // namespace tavren::diskann_io

