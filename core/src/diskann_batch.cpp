// DiskANN batch search on the reader: the choice among the serial, session
// and streaming ways, the worker set kept between batches, the session pass
// and the merge of its outputs, and the streaming candidate pass and chunk
// rerank.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "diskann_batch.hpp"
#include "diskann_format.hpp"
#include "diskann_io.hpp"
#include "diskann_reader_views.hpp"
#include "diskann_search.hpp"
#include "diskann_search_load.hpp"
#include "diskann_windows.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "metric.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::diskann_search {

uint64_t window_buffer_limit_per_worker(size_t workers) noexcept {
    const uint64_t w = std::max<uint64_t>(workers, 1);
    if (w > kBatchWindowBuffersTotal) return 0;
    return std::min(kBatchWindowBuffersTotal / w, kBatchWindowBuffersPerWorker);
}

std::vector<WindowChunk> plan_streaming_window_chunks(std::span<const ReadWindow> windows) {
    std::vector<WindowChunk> chunks;
    size_t j = 0;
    while (j < windows.size()) {
        uint64_t bytes = windows[j].len;
        size_t k = j + 1;
        while (k < windows.size() && k - j < kStreamingChunkWindows) {
            const uint64_t next = saturating_add(bytes, windows[k].len);
            if (next > kStreamingChunkBytes) break;
            bytes = next;
            ++k;
        }
        chunks.push_back({j, k});
        j = k;
    }
    return chunks;
}

}  // namespace tavren::diskann_search

namespace tavren::diskann_io {

namespace fmtd = diskann_format;
using ds::DiskAnnSessionOutputs;
using ds::ExactSearchResult;
using diskann_windows::ReadWindow;

namespace {

// nq x top_k entries in each result array; a product that overflows is the
// internal assertion the facade rules out by refusing such batches.
void reserve_results(size_t nq, uint64_t top_k, std::vector<int64_t>& ids, std::vector<float>& distances) {
    const std::optional<uint64_t> total = checked_mul(nq, top_k);
    TD_ASSERT(total.has_value() && *total <= SIZE_MAX / sizeof(int64_t), "capacity overflow");
    ids.clear();
    distances.clear();
    ids.reserve(static_cast<size_t>(*total));
    distances.reserve(static_cast<size_t>(*total));
}

uint64_t increment(uint64_t v) noexcept { return saturating_add(v, 1); }

}  // namespace

// ---- the worker set ---------------------------------------------------------------

void DiskAnnIndexReader::refresh_worker(DiskAnnIndexReader& worker, uint64_t window_buffer_limit) const {
    worker.header_ = header_;
    worker.resident_ = resident_;
    worker.cache_budgets_ = cache_budgets_;
    worker.read_capabilities_ = read_capabilities_;
    worker.header_read_latency_ = header_read_latency_;
    worker.calibrated_l_search_ = calibrated_l_search_;
    worker.adjacency_preload_ = adjacency_preload_;
    worker.row_id_order_ = row_id_order_;
    worker.input_ = input_;
    worker.cache_budgets_.vector_cache_bytes = std::min(window_buffer_limit, cache_budgets_.vector_cache_bytes);
    worker.scratch_->set_window_buffer_limit(window_buffer_limit);
}

std::vector<DiskAnnIndexReader> DiskAnnIndexReader::take_batch_workers(size_t count, bool resident_only) {
    const auto prepare = [&] {
        if (resident_only) {
            ensure_resident();
        } else {
            optimize_for_search();
        }
    };
    prepare();
    std::vector<DiskAnnIndexReader> workers = std::move(batch_workers_);
    batch_workers_.clear();
    try {
        if (workers.size() > count) workers.erase(workers.begin() + static_cast<std::ptrdiff_t>(count), workers.end());
        workers.reserve(count);
        while (workers.size() < count) {
            prepare();
            workers.push_back(try_clone_with_shared_state());
        }
    } catch (...) {
        batch_workers_ = std::move(workers);
        throw;
    }
    const uint64_t limit = ds::window_buffer_limit_per_worker(count);
    for (DiskAnnIndexReader& w : workers) refresh_worker(w, limit);
    return workers;
}

// ---- the batch ------------------------------------------------------------------------

void DiskAnnIndexReader::search_batch(std::span<const float> queries, uint64_t top_k, uint64_t l_search,
                                      std::vector<int64_t>& ids, std::vector<float>& distances) {
    const size_t d = header_.dimension;
    const size_t nq = d == 0 ? 0 : queries.size() / d;
    stats_ = DiskAnnSearchStats::for_queries(nq);
    ids.clear();
    distances.clear();
    if (top_k == 0) return;

    std::vector<float> normalized;
    std::span<const float> prepared = queries.first(nq * d);
    if (header_.metric == kMetricCosine) {
        normalized = distance::preprocess_vectors(prepared, nq, d, header_.metric);
        prepared = normalized;
    }

    const size_t w = std::min(pool::current_num_threads(), nq);
    if (w < 2) {
        batch_workers_.clear();
        if (header_.interleaved()) {
            search_batch_serial(prepared, nq, top_k, l_search, ids, distances);
        } else {
            search_batch_streaming(prepared, nq, top_k, l_search, {}, ids, distances);
        }
        return;
    }
    BatchWorkerLease lease = BatchWorkerLease::take(*this, w, false);
    if (header_.interleaved() || nq <= ds::kSessionQueriesPerWorker * w) {
        const DiskAnnSessionTask task = [&](size_t i, DiskAnnIndexReader& worker) {
            std::vector<DiskAnnSessionOutput> out;
            out.reserve(nq / w + 1);
            round_robin_queries(i, w, nq, [&](size_t q) {
                DiskAnnSessionOutput o;
                o.query = q;
                worker.search_preprocessed(prepared.subspan(q * d, d), top_k, l_search, o.ids, o.distances);
                o.stats = worker.stats_;
                out.push_back(std::move(o));
            });
            return out;
        };
        search_batch_in_parallel_sessions(lease.span(), nq, top_k, task, ids, distances);
    } else {
        search_batch_streaming(prepared, nq, top_k, l_search, lease.span(), ids, distances);
    }
}

void DiskAnnIndexReader::search_batch_serial(std::span<const float> queries, size_t nq, uint64_t top_k,
                                             uint64_t l_search, std::vector<int64_t>& ids,
                                             std::vector<float>& distances) {
    const size_t d = header_.dimension;
    DiskAnnSearchStats total = DiskAnnSearchStats::for_queries(nq);
    total.query_batches = nq >= 1 ? 1 : 0;
    total.largest_query_batch = nq;
    reserve_results(nq, top_k, ids, distances);
    std::vector<int64_t> qids;
    std::vector<float> qdistances;
    for (size_t q = 0; q < nq; ++q) {
        // An error leaves the failed query's record as the reader's.
        search_preprocessed(queries.subspan(q * d, d), top_k, l_search, qids, qdistances);
        total.merge_complete_query(stats_);
        ids.insert(ids.end(), qids.begin(), qids.end());
        distances.insert(distances.end(), qdistances.begin(), qdistances.end());
    }
    total.merged_queries = 0;
    stats_ = total;
}

void DiskAnnIndexReader::search_batch_in_parallel_sessions(std::span<DiskAnnIndexReader> workers, size_t nq,
                                                           uint64_t top_k, const DiskAnnSessionTask& task,
                                                           std::vector<int64_t>& ids, std::vector<float>& distances) {
    stats_.query_batches = increment(stats_.query_batches);
    stats_.largest_query_batch = std::max<uint64_t>(stats_.largest_query_batch, nq);
    DiskAnnSessionOutputs outputs(workers.size());
    // One task per worker, each owning its worker; the pool rethrows the
    // first error once every started task has ended.
    pool::parallel_for_each_index(workers.size(), [&](size_t i) { outputs[i] = task(i, workers[i]); });
    collect_parallel_session_outputs(std::move(outputs), nq, top_k, ids, distances);
}

void DiskAnnIndexReader::collect_parallel_session_outputs(DiskAnnSessionOutputs outputs, size_t nq, uint64_t top_k,
                                                          std::vector<int64_t>& ids, std::vector<float>& distances) {
    std::vector<DiskAnnSessionOutput*> slots(nq, nullptr);
    for (std::vector<DiskAnnSessionOutput>& worker_outputs : outputs) {
        for (DiskAnnSessionOutput& o : worker_outputs) {
            if (o.query >= nq) invalid_data("DiskANN parallel session query index is invalid");
            if (slots[o.query] != nullptr) invalid_data("DiskANN parallel sessions returned a duplicate query");
            slots[o.query] = &o;
            stats_.merge_complete_query(o.stats);
        }
    }
    for (const DiskAnnSessionOutput* slot : slots) {
        if (slot == nullptr) invalid_data("DiskANN parallel sessions did not return every query");
    }
    reserve_results(nq, top_k, ids, distances);
    for (const DiskAnnSessionOutput* slot : slots) {
        TD_ASSERT(slot != nullptr, "validated DiskANN parallel session output");
        ids.insert(ids.end(), slot->ids.begin(), slot->ids.end());
        distances.insert(distances.end(), slot->distances.begin(), slot->distances.end());
    }
}

// ---- streaming ------------------------------------------------------------------------------

void DiskAnnIndexReader::search_batch_streaming(std::span<const float> queries, size_t nq, uint64_t top_k,
                                                uint64_t l_search, std::span<DiskAnnIndexReader> workers,
                                                std::vector<int64_t>& ids, std::vector<float>& distances) {
    const size_t d = header_.dimension;
    reserve_results(nq, top_k, ids, distances);
    DiskAnnCandidateLists lists;
    std::vector<DiskAnnSearchStats> worker_stats(workers.size());
    std::vector<int64_t> chunk_ids;
    std::vector<float> chunk_distances;
    for (size_t first = 0; first < nq; first += ds::kStreamingQueryChunk) {
        const size_t m = std::min(ds::kStreamingQueryChunk, nq - first);
        const std::span<const float> chunk = queries.subspan(first * d, m * d);
        stats_.query_batches = increment(stats_.query_batches);
        stats_.largest_query_batch = std::max<uint64_t>(stats_.largest_query_batch, m);

        lists.assign(std::max<size_t>(workers.size(), 1), {});
        if (!workers.empty()) {
            const size_t w = workers.size();
            pool::parallel_for_each_index(w, [&](size_t i) {
                DiskAnnIndexReader& worker = workers[i];
                worker.stats_ = DiskAnnSearchStats{};
                round_robin_queries(i, w, m, [&](size_t q) {
                    DiskAnnCandidateList list{q, {}};
                    worker.generate_unfiltered_candidate_nodes(chunk.subspan(q * d, d), top_k, l_search, list.nodes);
                    lists[i].push_back(std::move(list));
                });
                worker_stats[i] = worker.stats_;
            });
            for (const DiskAnnSearchStats& s : worker_stats) stats_.merge_candidate_generation(s);
        } else {
            for (size_t q = 0; q < m; ++q) {
                DiskAnnCandidateList list{q, {}};
                generate_unfiltered_candidate_nodes(chunk.subspan(q * d, d), top_k, l_search, list.nodes);
                lists[0].push_back(std::move(list));
            }
        }
        rerank_candidate_batch_streaming(chunk, top_k, lists, chunk_ids, chunk_distances);
        ids.insert(ids.end(), chunk_ids.begin(), chunk_ids.end());
        distances.insert(distances.end(), chunk_distances.begin(), chunk_distances.end());
    }
}

void DiskAnnIndexReader::generate_unfiltered_candidate_nodes(std::span<const float> query, uint64_t top_k,
                                                             uint64_t l_search, std::vector<size_t>& nodes) {
    nodes.clear();
    ensure_resident();
    const size_t l = ds::resolve_diskann_l_search(static_cast<size_t>(top_k), static_cast<size_t>(l_search));
    ReaderSource source(*this);
    const ds::SingleSearchInput in = single_search_input(*this, source, session_read_plan(*this));
    ds::AdjacencyLoadStats load_stats;
    // The scratch stays in place, as in the single search: the adjacency
    // windows are recycled on every way out.
    try {
        ds::generate_graph_candidates(in.graph, source, query, l, static_cast<size_t>(in.beam_width), *scratch_,
                                      load_stats);
        const std::span<const ds::SearchCandidate> set =
            ds::choose_rerank_set(in, source, static_cast<size_t>(top_k), l, *scratch_);
        nodes.reserve(set.size());
        for (const ds::SearchCandidate& c : set) nodes.push_back(c.node);
    } catch (...) {
        stats_.add(load_stats);
        scratch_->recycle_adjacency_windows();
        throw;
    }
    stats_.add(load_stats);
    scratch_->recycle_adjacency_windows();
}

namespace {

// One (query, node) pair of a chunk rerank, keyed by its window.
struct WindowReference {
    uint64_t window_offset;
    size_t query;
    size_t node;
};

// What the parallel scorer reads of one reference.
struct ExactRerankReference {
    std::span<const uint8_t> record;
    size_t query;
    int64_t row_id;
};

}  // namespace

void DiskAnnIndexReader::rerank_candidate_batch_streaming(std::span<const float> queries, uint64_t top_k,
                                                          const DiskAnnCandidateLists& candidate_lists,
                                                          std::vector<int64_t>& ids, std::vector<float>& distances) {
    if (header_.interleaved()) invalid_data("DiskANN interleaved rerank must run inside a search session");
    const size_t d = header_.dimension;
    const size_t m = d == 0 ? 0 : queries.size() / d;
    const ds::RawVectorKernel kernel = ds::selected_raw_vector_distance_kernel(d);
    const uint32_t metric = header_.metric;
    const uint32_t encoding = header_.raw_vector_encoding;

    std::vector<const std::vector<size_t>*> slots(m, nullptr);
    for (const auto& worker_lists : candidate_lists) {
        for (const DiskAnnCandidateList& list : worker_lists) {
            if (list.query >= m) invalid_data("DiskANN filtered batch query index is invalid");
            if (slots[list.query] != nullptr) invalid_data("DiskANN filtered batch contains duplicate query results");
            slots[list.query] = &list.nodes;
        }
    }
    for (const auto* slot : slots) {
        if (slot == nullptr) invalid_data("DiskANN filtered batch is missing query candidates");
    }

    const read_options::ReadPlan plan = session_read_plan(*this);
    const auto& raw = header_.sections[fmtd::kSectionRawVectors];
    const diskann_windows::VectorWindowPlanner planner =
        diskann_windows::VectorWindowPlanner::create(plan, raw.offset, raw.length, header_.record_bytes);

    // Group the pairs by window: query order, then node order, inside each
    // window; windows ascending by offset. The windows are gathered in a map
    // by offset and only they are sorted; the pairs are then placed by
    // counting, walking them in query order, so each group keeps that order.
    size_t pairs = 0;
    for (const auto* slot : slots) pairs += slot->size();
    std::vector<WindowReference> by_query;
    std::vector<size_t> group_of;  // group (in first-use order) of each pair
    std::vector<ReadWindow> first_use;
    std::vector<size_t> group_size;
    by_query.reserve(pairs);
    group_of.reserve(pairs);
    diskann_windows::OffsetMap<size_t> group_index;
    for (size_t q = 0; q < m; ++q) {
        for (const size_t node : *slots[q]) {
            const std::optional<ReadWindow> w = planner.window_for_node(node);
            if (!w) invalid_data("DiskANN raw-vector record is out of range");
            size_t g;
            if (const size_t* found = group_index.find(w->offset)) {
                g = *found;
            } else {
                g = first_use.size();
                group_index.insert_or_assign(w->offset, g);
                first_use.push_back(*w);
                group_size.push_back(0);
            }
            ++group_size[g];
            by_query.push_back({w->offset, q, node});
            group_of.push_back(g);
        }
    }
    std::vector<size_t> order(first_use.size());
    for (size_t g = 0; g < order.size(); ++g) order[g] = g;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return first_use[a].offset < first_use[b].offset; });
    std::vector<ReadWindow> windows;
    std::vector<size_t> group_start;  // first reference of each window, then refs.size()
    std::vector<size_t> cursor(first_use.size());
    windows.reserve(order.size());
    group_start.reserve(order.size() + 1);
    size_t at = 0;
    for (const size_t g : order) {
        windows.push_back(first_use[g]);
        group_start.push_back(at);
        cursor[g] = at;
        at += group_size[g];
    }
    group_start.push_back(at);
    std::vector<WindowReference> refs(by_query.size());
    for (size_t i = 0; i < by_query.size(); ++i) refs[cursor[group_of[i]]++] = by_query[i];
    const std::vector<ds::WindowChunk> chunks = ds::plan_streaming_window_chunks(windows);
    stats_.rerank_candidates = saturating_add(stats_.rerank_candidates, refs.size());
    stats_.rerank_windows = saturating_add(stats_.rerank_windows, windows.size());
    stats_.rerank_window_batches = saturating_add(stats_.rerank_window_batches, chunks.size());

    std::vector<std::vector<ExactSearchResult>> heaps(m);
    const uint64_t budget = cache_budgets_.vector_cache_bytes;
    ReaderSource source(*this);
    ds::SharedWindowCacheView* shared = budget > 0 ? &source.shared_vector_cache() : nullptr;
    ds::DiskAnnQueryScratch& scratch = *scratch_;
    scratch.begin_rerank();
    const bool pool_parallel = pool::current_num_threads() >= 2;
    std::vector<ExactRerankReference> parallel_refs;
    std::vector<float> parallel_distances;
    try {
        for (const ds::WindowChunk& c : chunks) {
            const std::span<const ReadWindow> chunk_windows =
                std::span<const ReadWindow>(windows).subspan(c.begin, c.end - c.begin);
            const ds::VectorWindowLoad load = ds::load_vector_windows(chunk_windows, shared, *input_,
                                                                      scratch.vector_cache, scratch.buffer_pool,
                                                                      scratch.load_work, pool_parallel);
            stats_.vector_windows_found = saturating_add(stats_.vector_windows_found, load.windows_found);
            stats_.vector_windows_read = saturating_add(stats_.vector_windows_read, load.windows_read);
            stats_.vector_window_evictions = saturating_add(stats_.vector_window_evictions, load.shared_evictions);

            const size_t r_begin = group_start[c.begin];
            const size_t r_end = group_start[c.end];
            const size_t r = r_end - r_begin;
            const std::optional<uint64_t> products = checked_mul(r, d);
            const bool parallel = pool_parallel && (!products || *products >= ds::kParallelRerankMinProducts);

            // Walks the chunk's references in window order with each one's record.
            const auto for_each_record = [&](auto&& f) {
                for (size_t wi = c.begin; wi < c.end; ++wi) {
                    const std::optional<std::span<const uint8_t>> bytes = scratch.vector_cache.get(windows[wi]);
                    if (!bytes) invalid_data("DiskANN vector window is not loaded");
                    for (size_t i = group_start[wi]; i < group_start[wi + 1]; ++i) {
                        const WindowReference& ref = refs[i];
                        f(ref, row_id(ref.node), planner.record(windows[wi], *bytes, ref.node));
                    }
                }
            };
            const auto query_of = [&](size_t q) { return queries.subspan(q * d, d); };
            if (!parallel) {
                for_each_record([&](const WindowReference& ref, int64_t row, std::span<const uint8_t> record) {
                    const float dist = ds::raw_vector_distance(query_of(ref.query), record, encoding, metric, kernel);
                    ds::push_bounded_exact_result(heaps[ref.query], row, static_cast<size_t>(top_k), dist);
                });
            } else {
                stats_.parallel_rerank_chunks = increment(stats_.parallel_rerank_chunks);
                stats_.parallel_rerank_references = saturating_add(stats_.parallel_rerank_references, r);
                // One task per run of windows: each builds the references of
                // its windows in their places (the serial scorer's order) and
                // computes their distances, reading only the queries and the
                // loaded windows; the heaps are filled afterwards in reference
                // order, so the result is the serial scorer's.
                parallel_refs.resize(r);
                parallel_distances.assign(r, 0.0f);
                const size_t per_window = (r + (c.end - c.begin) - 1) / (c.end - c.begin);
                const size_t grain = std::max<size_t>(
                    1, ds::kParallelRerankGrainProducts / std::max<size_t>(per_window * std::max<size_t>(d, 1), 1));
                pool::parallel_for(c.begin, c.end, grain, [&](size_t lo, size_t hi) {
                    for (size_t wi = lo; wi < hi; ++wi) {
                        const std::optional<std::span<const uint8_t>> bytes = scratch.vector_cache.get(windows[wi]);
                        if (!bytes) invalid_data("DiskANN vector window is not loaded");
                        for (size_t i = group_start[wi]; i < group_start[wi + 1]; ++i) {
                            const WindowReference& ref = refs[i];
                            ExactRerankReference& out = parallel_refs[i - r_begin];
                            out = {planner.record(windows[wi], *bytes, ref.node), ref.query, row_id(ref.node)};
                            parallel_distances[i - r_begin] =
                                ds::raw_vector_distance(query_of(ref.query), out.record, encoding, metric, kernel);
                        }
                    }
                });
                for (size_t i = 0; i < r; ++i) {
                    const ExactRerankReference& ref = parallel_refs[i];
                    ds::push_bounded_exact_result(heaps[ref.query], ref.row_id, static_cast<size_t>(top_k),
                                                  parallel_distances[i]);
                }
            }
            scratch.vector_cache.touch_windows(chunk_windows);
            stats_.vector_window_evictions = saturating_add(stats_.vector_window_evictions,
                                                            scratch.vector_cache.trim(scratch.buffer_pool, budget));
        }
    } catch (...) {
        scratch.recycle_window_caches();
        throw;
    }
    scratch.recycle_adjacency_windows();

    reserve_results(m, top_k, ids, distances);
    std::vector<int64_t> qids;
    std::vector<float> qdistances;
    for (size_t q = 0; q < m; ++q) {
        ds::finish_exact_results(heaps[q], static_cast<size_t>(top_k), qids, qdistances);
        ids.insert(ids.end(), qids.begin(), qids.end());
        distances.insert(distances.end(), qdistances.begin(), qdistances.end());
    }
}

}  // namespace tavren::diskann_io
