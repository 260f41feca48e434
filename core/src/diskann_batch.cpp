// DiskANN batch search on the reader: the choice among the serial, session
// and streaming ways, the worker set kept between batches, the session pass
// and the merge of its outputs, and the streaming candidate pass and chunk
// rerank.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
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

WindowGroups group_pairs_by_window(const diskann_windows::VectorWindowPlanner& planner,
                                   std::span<const std::vector<size_t>* const> slots, uint64_t dense_per_pair) {
    // A window's offset grows with its index (node / records per window), so
    // the pairs are counted per window index and placed by counting: no hash
    // table and no sort, unless the indices in use are sparse.
    const size_t m = slots.size();
    const uint64_t per_window = planner.records_per_window();
    WindowGroups g;
    g.query_start.assign(m + 1, 0);
    for (size_t q = 0; q < m; ++q) g.query_start[q + 1] = g.query_start[q] + slots[q]->size();
    const size_t pairs = g.query_start[m];
    std::vector<uint64_t> pair_window(pairs);
    uint64_t max_window = 0;
    for (size_t q = 0, i = 0; q < m; ++q) {
        for (const size_t node : *slots[q]) {
            if (!planner.window_for_node(node)) invalid_data("DiskANN raw-vector record is out of range");
            pair_window[i] = node / per_window;
            max_window = std::max(max_window, pair_window[i]);
            ++i;
        }
    }
    g.place.resize(pairs);
    const std::optional<uint64_t> dense_bound = checked_mul(dense_per_pair, pairs);
    const bool dense = dense_per_pair > 0 && (!dense_bound || max_window <= saturating_add(*dense_bound,
                                                                                           kDenseWindowGroupingSlack));
    if (pairs > 0 && dense) {
        std::vector<size_t> cursor(static_cast<size_t>(max_window) + 1, 0);
        for (const uint64_t wi : pair_window) ++cursor[wi];
        size_t at = 0;
        for (size_t wi = 0; wi < cursor.size(); ++wi) {
            if (cursor[wi] == 0) continue;
            g.windows.push_back(*planner.window_for_node(wi * per_window));
            g.group_start.push_back(at);
            const size_t n = cursor[wi];
            cursor[wi] = at;
            at += n;
        }
        for (size_t i = 0; i < pairs; ++i) g.place[i] = cursor[pair_window[i]]++;
    } else if (pairs > 0) {
        std::vector<size_t> order(pairs);
        for (size_t i = 0; i < pairs; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return pair_window[a] < pair_window[b]; });
        for (size_t at = 0; at < pairs; ++at) {
            const size_t i = order[at];
            if (at == 0 || pair_window[i] != pair_window[order[at - 1]]) {
                g.windows.push_back(*planner.window_for_node(pair_window[i] * per_window));
                g.group_start.push_back(at);
            }
            g.place[i] = at;
        }
    }
    g.group_start.push_back(pairs);
    return g;
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

    const CandidateNodes unfiltered = [&](DiskAnnIndexReader& r, std::span<const float> q, std::vector<size_t>& nodes) {
        r.generate_unfiltered_candidate_nodes(q, top_k, l_search, nodes);
    };
    const size_t w = std::min(pool::current_num_threads(), nq);
    if (w < 2) {
        batch_workers_.clear();
        if (header_.interleaved()) {
            search_batch_serial(prepared, nq, top_k, l_search, ids, distances);
        } else {
            search_batch_streaming(prepared, nq, top_k, {}, unfiltered, ids, distances);
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
        search_batch_streaming(prepared, nq, top_k, lease.span(), unfiltered, ids, distances);
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
                                                std::span<DiskAnnIndexReader> workers, const CandidateNodes& candidates,
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
            // Candidate generation empties the worker's adjacency windows
            // after every query, so which worker takes which query changes
            // no list, read or statistics total: the queries go to whichever
            // worker is free next.
            const size_t w = workers.size();
            std::atomic<size_t> next_query{0};
            pool::parallel_for_each_index(w, [&](size_t i) {
                DiskAnnIndexReader& worker = workers[i];
                worker.stats_ = DiskAnnSearchStats{};
                take_next_queries(next_query, m, [&](size_t q) {
                    DiskAnnCandidateList list{q, {}};
                    candidates(worker, chunk.subspan(q * d, d), list.nodes);
                    lists[i].push_back(std::move(list));
                });
                worker_stats[i] = worker.stats_;
            });
            for (const DiskAnnSearchStats& s : worker_stats) stats_.merge_candidate_generation(s);
        } else {
            for (size_t q = 0; q < m; ++q) {
                DiskAnnCandidateList list{q, {}};
                candidates(*this, chunk.subspan(q * d, d), list.nodes);
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

// The heaps of a chunk are filled on the pool from this many (query, node)
// pairs on, a few dozen queries per task.
constexpr size_t kParallelHeapMinPairs = 4096;
constexpr size_t kHeapQueriesPerTask = 32;

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

    const ds::WindowGroups groups = ds::group_pairs_by_window(planner, slots);
    const std::vector<ReadWindow>& windows = groups.windows;
    const std::vector<size_t>& group_start = groups.group_start;
    const std::vector<size_t>& query_start = groups.query_start;
    const std::vector<size_t>& pos = groups.place;
    const size_t pairs = query_start[m];
    // The pairs in window order: query and node.
    std::vector<size_t> ref_query(pairs);
    std::vector<size_t> ref_node(pairs);
    for (size_t q = 0, i = 0; q < m; ++q) {
        for (const size_t node : *slots[q]) {
            ref_query[pos[i]] = q;
            ref_node[pos[i]] = node;
            ++i;
        }
    }
    const std::vector<ds::WindowChunk> chunks = ds::plan_streaming_window_chunks(windows);
    stats_.rerank_candidates = saturating_add(stats_.rerank_candidates, pairs);
    stats_.rerank_windows = saturating_add(stats_.rerank_windows, windows.size());
    stats_.rerank_window_batches = saturating_add(stats_.rerank_window_batches, chunks.size());

    // Row ID and distance of every pair, in window order.
    std::vector<int64_t> ref_row(pairs);
    std::vector<float> ref_distance(pairs);
    const uint64_t budget = cache_budgets_.vector_cache_bytes;
    ReaderSource source(*this);
    ds::SharedWindowCacheView* shared = budget > 0 ? &source.shared_vector_cache() : nullptr;
    ds::DiskAnnQueryScratch& scratch = *scratch_;
    scratch.begin_rerank();
    const bool pool_parallel = pool::current_num_threads() >= 2;
    // The bytes of every window of the chunks loaded so far, taken from the
    // query cache right after each chunk's load: the scorers read only
    // these, never the cache itself.
    std::vector<std::span<const uint8_t>> window_bytes(windows.size());
    const auto load_chunk = [&](const ds::WindowChunk& c) -> uint64_t {
        const std::span<const ReadWindow> chunk_windows =
            std::span<const ReadWindow>(windows).subspan(c.begin, c.end - c.begin);
        const ds::VectorWindowLoad load = ds::load_vector_windows(chunk_windows, shared, *input_, scratch.vector_cache,
                                                                  scratch.buffer_pool, scratch.load_work, pool_parallel);
        stats_.vector_windows_found = saturating_add(stats_.vector_windows_found, load.windows_found);
        stats_.vector_windows_read = saturating_add(stats_.vector_windows_read, load.windows_read);
        stats_.vector_window_evictions = saturating_add(stats_.vector_window_evictions, load.shared_evictions);
        uint64_t charge = 0;
        for (size_t wi = c.begin; wi < c.end; ++wi) {
            const diskann_windows::WindowPayload* p = scratch.vector_cache.payload(windows[wi]);
            if (p == nullptr) invalid_data("DiskANN vector window is not loaded");
            window_bytes[wi] = p->bytes();
            charge = saturating_add(charge, p->charge());
        }
        return charge;
    };
    // Scores the references of windows [lo, hi): reads only the queries, the
    // window bytes and the pair arrays, and writes each pair's own row ID and
    // distance, so any split of the windows gives the same values.
    const auto score_windows = [&](size_t lo, size_t hi) {
        for (size_t wi = lo; wi < hi; ++wi) {
            for (size_t i = group_start[wi]; i < group_start[wi + 1]; ++i) {
                const size_t node = ref_node[i];
                const std::span<const uint8_t> record = planner.record(windows[wi], window_bytes[wi], node);
                ref_row[i] = row_id(node);
                ref_distance[i] =
                    ds::raw_vector_distance(queries.subspan(ref_query[i] * d, d), record, encoding, metric, kernel);
            }
        }
    };
    // A chunk is scored on the pool from kParallelRerankMinProducts products
    // on, in slices of about kParallelRerankGrainProducts.
    const auto parallel_chunk = [&](const ds::WindowChunk& c) {
        const size_t r = group_start[c.end] - group_start[c.begin];
        const std::optional<uint64_t> products = checked_mul(r, d);
        return pool_parallel && (!products || *products >= ds::kParallelRerankMinProducts);
    };
    const auto slice_windows = [&](const ds::WindowChunk& c) {
        const size_t r = group_start[c.end] - group_start[c.begin];
        const size_t windows_in_chunk = c.end - c.begin;
        const size_t refs_per_window = (r + windows_in_chunk - 1) / windows_in_chunk;
        return std::max<size_t>(
            1, ds::kParallelRerankGrainProducts / std::max<size_t>(refs_per_window * std::max<size_t>(d, 1), 1));
    };
    const auto count_parallel_chunk = [&](const ds::WindowChunk& c) {
        stats_.parallel_rerank_chunks = increment(stats_.parallel_rerank_chunks);
        stats_.parallel_rerank_references =
            saturating_add(stats_.parallel_rerank_references, group_start[c.end] - group_start[c.begin]);
    };
    const auto touch_and_trim = [&](const ds::WindowChunk& c) {
        scratch.vector_cache.touch_windows(std::span<const ReadWindow>(windows).subspan(c.begin, c.end - c.begin));
        stats_.vector_window_evictions = saturating_add(stats_.vector_window_evictions,
                                                        scratch.vector_cache.trim(scratch.buffer_pool, budget));
    };
    // One chunk as the plain loop does it: scoring, then recency and trim.
    const auto score_chunk_in_place = [&](const ds::WindowChunk& c) {
        if (!parallel_chunk(c)) {
            score_windows(c.begin, c.end);
            touch_and_trim(c);
            return;
        }
        count_parallel_chunk(c);
        const size_t grain = slice_windows(c);
        const size_t slices = (c.end - c.begin + grain - 1) / grain;
        // The recency update runs beside the scoring, as task 0: it changes
        // only the cache's recency order, which the scorers never read, and
        // the trim waits for both.
        pool::parallel_for_each_index(slices + 1, [&](size_t i) {
            if (i == 0) {
                scratch.vector_cache.touch_windows(
                    std::span<const ReadWindow>(windows).subspan(c.begin, c.end - c.begin));
                return;
            }
            const size_t lo = c.begin + (i - 1) * grain;
            score_windows(lo, std::min(c.end, lo + grain));
        });
        stats_.vector_window_evictions = saturating_add(stats_.vector_window_evictions,
                                                        scratch.vector_cache.trim(scratch.buffer_pool, budget));
    };
    try {
        if (!pool_parallel || chunks.size() < 2) {
            for (const ds::WindowChunk& c : chunks) {
                load_chunk(c);
                score_chunk_in_place(c);
            }
        } else {
            // The caller loads chunk c + 1, and updates the recency order and
            // trims after it, while the pool scores chunk c. The cache goes
            // through the plain loop's steps in the same order (scoring never
            // touches it), so counts and cached windows are the same. A trim
            // only ever evicts the oldest windows, and while the windows this
            // call has loaded fit the budget they are the newest, so no
            // window being scored is evicted; past the budget the rest runs as
            // the plain loop. The error returned is the one the plain loop
            // meets first: a failed scoring of chunk c wins over a failed
            // load of a later chunk (which the caller may have begun before
            // the scoring failed), and once a failure is seen no further
            // chunk is loaded.
            std::mutex error_mutex;
            size_t error_chunk = std::numeric_limits<size_t>::max();
            std::exception_ptr scoring_error;
            std::atomic<size_t> failed_chunk{std::numeric_limits<size_t>::max()};
            const auto score_or_record = [&](size_t ci, size_t lo, size_t hi) noexcept {
                try {
                    score_windows(lo, hi);
                } catch (...) {
                    const std::lock_guard<std::mutex> lock(error_mutex);
                    if (ci < error_chunk) {
                        error_chunk = ci;
                        scoring_error = std::current_exception();
                        failed_chunk.store(ci, std::memory_order_release);
                    }
                }
            };
            size_t at = 0;
            std::exception_ptr caller_error;
            try {
                pool::run_spawning([&](pool::Spawner& spawner) {
                    uint64_t held = 0;  // the charge of the windows this call has loaded
                    bool overlapped = true;
                    for (; at < chunks.size(); ++at) {
                        if (failed_chunk.load(std::memory_order_acquire) < at) return;
                        const ds::WindowChunk& c = chunks[at];
                        held = saturating_add(held, load_chunk(c));
                        if (overlapped && held > budget) {
                            spawner.drain();
                            overlapped = false;
                            if (failed_chunk.load(std::memory_order_acquire) < at) return;
                        }
                        if (!overlapped) {
                            score_chunk_in_place(c);
                            continue;
                        }
                        const size_t ci = at;
                        if (!parallel_chunk(c)) {
                            spawner.spawn([&score_or_record, ci, lo = c.begin, hi = c.end] { score_or_record(ci, lo, hi); });
                        } else {
                            count_parallel_chunk(c);
                            const size_t grain = slice_windows(c);
                            for (size_t lo = c.begin; lo < c.end; lo += grain) {
                                spawner.spawn([&score_or_record, ci, lo, hi = std::min(c.end, lo + grain)] {
                                    score_or_record(ci, lo, hi);
                                });
                            }
                        }
                        touch_and_trim(c);
                    }
                });
            } catch (...) {
                caller_error = std::current_exception();
            }
            // `at` is the chunk whose load or scoring failed on the caller.
            if (scoring_error && (!caller_error || error_chunk < at)) std::rethrow_exception(scoring_error);
            if (caller_error) std::rethrow_exception(caller_error);
        }
    } catch (...) {
        scratch.recycle_window_caches();
        throw;
    }
    scratch.recycle_adjacency_windows();

    // The heaps, one query at a time: a query's pairs are pushed in query
    // order rather than window order, which changes nothing since the heap
    // keeps the top_k least by (distance in total order, row ID), whatever
    // the order of the pushes. Queries are independent, so they are filled
    // and finished on the pool.
    reserve_results(m, top_k, ids, distances);
    ids.resize(m * static_cast<size_t>(top_k));
    distances.resize(m * static_cast<size_t>(top_k));
    const size_t k = static_cast<size_t>(top_k);
    const auto finish_queries = [&](size_t lo, size_t hi) {
        std::vector<ExactSearchResult> heap;
        std::vector<int64_t> qids;
        std::vector<float> qdistances;
        for (size_t q = lo; q < hi; ++q) {
            for (size_t i = query_start[q]; i < query_start[q + 1]; ++i) {
                ds::push_bounded_exact_result(heap, ref_row[pos[i]], k, ref_distance[pos[i]]);
            }
            ds::finish_exact_results(heap, k, qids, qdistances);
            std::copy(qids.begin(), qids.end(), ids.begin() + static_cast<std::ptrdiff_t>(q * k));
            std::copy(qdistances.begin(), qdistances.end(), distances.begin() + static_cast<std::ptrdiff_t>(q * k));
        }
    };
    if (pool_parallel && pairs >= kParallelHeapMinPairs) {
        pool::parallel_for(0, m, kHeapQueriesPerTask, finish_queries);
    } else {
        finish_queries(0, m);
    }
}

}  // namespace tavren::diskann_io
