// DiskANN batch search, worker sessions, the streaming chunk rerank, warm-up
// and search-width calibration, on files built and written by the library:
// batches equal a loop of single searches bit for bit for every pool size and
// batch shape, the worker set survives every way out, host failures fail the
// batch and leave the reader usable, and the streaming rerank reads every
// raw-vector window once per chunk. Every test runs under a watchdog, so a
// hang aborts instead of stalling the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "diskann_batch.hpp"
#include "diskann_built_index.hpp"
#include "diskann_io.hpp"
#include "diskann_search_load.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "index_reader.hpp"
#include "io.hpp"
#include "memory_source.hpp"
#include "pool.hpp"
#include "random_rows.hpp"
#include "read_options.hpp"
#include "search_params.hpp"

using namespace tavren;
using diskann::RawVectorEncoding;
using diskann::StorageLayout;
using diskann_io::DiskAnnIndexReader;
using diskann_search::DiskAnnSearchStats;
using tavren::testing::build_diskann_index;
using tavren::testing::BuiltDiskAnn;
using tavren::testing::failure_of;
using tavren::testing::MemorySource;
using tavren::testing::PoolGuard;

namespace {

constexpr auto kWatchdog = std::chrono::seconds(300);
constexpr float kMaxDistance = 3.4028235e38f;

// Runs the body on another thread and aborts the process when it does not
// end in time: a batch that hangs on a worker or a window must not stall
// the suite.
void under_watchdog(const std::function<void()>& body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(kWatchdog) != std::future_status::ready) {
        std::fprintf(stderr, "DiskANN batch test did not finish within the watchdog time\n");
        std::abort();
    }
    done.get();
}

// A host file that counts the reads of every offset and, while armed, fails
// every call holding a range that touches [fail_from, fail_to).
class CountingHost final : public io::SeekRead {
public:
    struct State {
        std::vector<uint8_t> bytes;
        std::mutex mutex;
        std::map<uint64_t, uint64_t> reads;  // offset -> ranges read at it
        std::atomic<bool> armed{false};
        uint64_t fail_from = 0;
        uint64_t fail_to = 0;
    };
    explicit CountingHost(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void pread(std::span<io::ReadRequest> requests) const override {
        if (state_->armed.load()) {
            for (const io::ReadRequest& r : requests) {
                if (r.offset < state_->fail_to && r.offset + r.len > state_->fail_from) {
                    fail(ErrorKind::Other, "counting host refused the read");
                }
            }
        }
        std::lock_guard lock(state_->mutex);
        for (const io::ReadRequest& r : requests) {
            if (r.offset > state_->bytes.size() || r.len > state_->bytes.size() - r.offset) {
                fail(ErrorKind::UnexpectedEof, "short read");
            }
            std::memcpy(r.buf, state_->bytes.data() + r.offset, r.len);
            // The open's one-byte probe of the file's end is no window.
            if (r.len > 1) ++state_->reads[r.offset];
        }
    }
    // A latency hint fixes the read profile (memory: 4096-byte windows, beam
    // width 16); a measured header read could choose another profile, whose
    // other beam width gives other (equally valid) answers.
    io::ReadCapabilities capabilities() const override {
        io::ReadCapabilities c;
        c.read_latency_ns = 1000;
        return c;
    }

private:
    std::shared_ptr<State> state_;
};

std::shared_ptr<CountingHost::State> host_state(const BuiltDiskAnn& b) {
    auto s = std::make_shared<CountingHost::State>();
    s->bytes = b.bytes;
    return s;
}

// no_caches: no preload, no shared caches and no query vector cache, so
// every window a search needs is read through the host.
DiskAnnIndexReader open_reader(const std::shared_ptr<CountingHost::State>& state, bool no_caches = false) {
    read_options::VectorIndexReaderOptions options;
    if (no_caches) {
        read_options::CacheBudgets none;
        none.memory_budget_bytes = uint64_t{1} << 30;
        options.explicit_cache_budgets = none;
    }
    return DiskAnnIndexReader::open_with_options(std::make_shared<CountingHost>(state), options);
}

DiskAnnIndexReader open_reader(const BuiltDiskAnn& b) { return open_reader(host_state(b)); }

struct Results {
    std::vector<int64_t> ids;
    std::vector<float> distances;
};

// A loop of single searches, the reference of every batch.
Results singles(DiskAnnIndexReader& reader, std::span<const float> queries, size_t d, uint64_t top_k,
                uint64_t l_search) {
    Results out;
    std::vector<int64_t> ids;
    std::vector<float> dist;
    for (size_t at = 0; at < queries.size(); at += d) {
        reader.search(queries.subspan(at, d), top_k, l_search, ids, dist);
        out.ids.insert(out.ids.end(), ids.begin(), ids.end());
        out.distances.insert(out.distances.end(), dist.begin(), dist.end());
    }
    return out;
}

Results batch(DiskAnnIndexReader& reader, std::span<const float> queries, uint64_t top_k, uint64_t l_search) {
    Results out;
    reader.search_batch(queries, top_k, l_search, out.ids, out.distances);
    return out;
}

// Distances compared by their bits: the batch must not differ in the last place.
bool same_bits(const Results& a, const Results& b) {
    return a.ids == b.ids && a.distances.size() == b.distances.size() &&
           std::memcmp(a.distances.data(), b.distances.data(), a.distances.size() * sizeof(float)) == 0;
}

// Where two results part (for the failure message).
std::string first_difference(const Results& a, const Results& b) {
    const size_t n = std::min(a.ids.size(), b.ids.size());
    for (size_t i = 0; i < n; ++i) {
        if (a.ids[i] != b.ids[i] || std::memcmp(&a.distances[i], &b.distances[i], sizeof(float)) != 0) {
            char text[160];
            std::snprintf(text, sizeof text, "at %zu: (%lld, %.9g) vs (%lld, %.9g)", i, (long long)a.ids[i],
                          a.distances[i], (long long)b.ids[i], b.distances[i]);
            return text;
        }
    }
    return a.ids.size() == b.ids.size() ? "none" : "lengths differ";
}

uint64_t div_ceil(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

struct FileCase {
    const char* name;
    uint32_t metric;
    StorageLayout layout;
    RawVectorEncoding encoding;
    size_t bits;
};

// ---- batch = loop of singles ----------------------------------------------------------

TEST(DiskAnnBatch, EqualsSingleSearchesForEveryPoolSizeAndBatchShape) {
    under_watchdog([] {
        const FileCase cases[] = {
            {"compact f32 l2", 0, StorageLayout::Compact, RawVectorEncoding::F32, 8},
            {"interleaved f16 cosine", 2, StorageLayout::Interleaved, RawVectorEncoding::F16, 8},
            {"compact f16 inner product 4-bit", 1, StorageLayout::Compact, RawVectorEncoding::F16, 4},
        };
        constexpr size_t kD = 8;
        constexpr uint64_t kTopK = 7;
        const std::vector<float> queries = tavren::testing::gaussian_rows(2500, kD, 5);
        for (const FileCase& fc : cases) {
            SCOPED_TRACE(fc.name);
            const BuiltDiskAnn b = build_diskann_index(300, kD, fc.metric, fc.layout, fc.encoding, fc.bits, 17);
            const bool interleaved = fc.layout == StorageLayout::Interleaved;
            DiskAnnIndexReader single_reader = open_reader(b);
            const Results want = singles(single_reader, queries, kD, kTopK, 40);
            // One reader for every pool size: its kept workers are trimmed and
            // topped up from batch to batch.
            DiskAnnIndexReader reader = open_reader(b);
            for (const size_t threads : {1, 2, 4, 8}) {
                PoolGuard pool_size(threads);
                for (const size_t nq : {size_t{1}, 4 * threads, 4 * threads + 1, size_t{1024}, size_t{1025},
                                        size_t{2500}}) {
                    SCOPED_TRACE(::testing::Message() << "threads " << threads << " nq " << nq);
                    const Results got = batch(reader, std::span<const float>(queries).first(nq * kD), kTopK, 40);
                    ASSERT_EQ(got.ids.size(), nq * kTopK);
                    const Results expected{std::vector<int64_t>(want.ids.begin(), want.ids.begin() + nq * kTopK),
                                           std::vector<float>(want.distances.begin(),
                                                              want.distances.begin() + nq * kTopK)};
                    EXPECT_TRUE(same_bits(got, expected)) << first_difference(got, expected);

                    // The way the batch ran, from its statistics and the worker set.
                    const size_t w = std::min(threads, nq);
                    const DiskAnnSearchStats& s = reader.stats();
                    EXPECT_EQ(s.queries, nq);
                    const bool streaming = !interleaved && (w < 2 || nq > 4 * w);
                    if (streaming) {
                        EXPECT_EQ(s.query_batches, div_ceil(nq, 1024));
                        EXPECT_EQ(s.largest_query_batch, std::min<uint64_t>(nq, 1024));
                        EXPECT_EQ(s.merged_queries, 0u);
                        EXPECT_GT(s.rerank_candidates, 0u);
                    } else {
                        EXPECT_EQ(s.query_batches, 1u);
                        EXPECT_EQ(s.largest_query_batch, nq);
                        EXPECT_EQ(s.merged_queries, w < 2 ? 0u : nq);  // serial resets it
                    }
                    EXPECT_EQ(reader.batch_workers().size(), w < 2 ? 0u : w);
                }
            }
        }
    });
}

TEST(DiskAnnBatch, ChoosesSessionsOrStreamingByQueriesPerWorker) {
    under_watchdog([] {
        PoolGuard pool_size(4);
        const BuiltDiskAnn compact = build_diskann_index(200, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 3);
        const BuiltDiskAnn inter =
            build_diskann_index(200, 8, 0, StorageLayout::Interleaved, RawVectorEncoding::F32, 8, 3);
        const std::vector<float> q = tavren::testing::gaussian_rows(17, 8, 9);
        DiskAnnIndexReader c = open_reader(compact);
        DiskAnnIndexReader i = open_reader(inter);
        batch(c, std::span<const float>(q).first(16 * 8), 5, 0);
        EXPECT_EQ(c.stats().merged_queries, 16u);  // w = 4, nq = 16: sessions
        batch(c, q, 5, 0);
        EXPECT_EQ(c.stats().merged_queries, 0u);  // nq = 17: streaming with 4 workers
        EXPECT_EQ(c.stats().query_batches, 1u);
        EXPECT_GT(c.stats().rerank_window_batches, 0u);
        batch(i, q, 5, 0);
        EXPECT_EQ(i.stats().merged_queries, 17u);  // interleaved: always sessions
    });
}

// ---- the worker set ----------------------------------------------------------------------

TEST(DiskAnnBatch, WorkerSetIsKeptTrimmedAndRefreshed) {
    under_watchdog([] {
        const BuiltDiskAnn b = build_diskann_index(200, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 4);
        const std::vector<float> q = tavren::testing::gaussian_rows(64, 8, 2);
        DiskAnnIndexReader reader = open_reader(b);
        {
            PoolGuard pool_size(8);
            batch(reader, q, 5, 0);
        }
        ASSERT_EQ(reader.batch_workers().size(), 8u);
        std::vector<const void*> scratch;
        for (DiskAnnIndexReader& w : reader.batch_workers()) scratch.push_back(&w.scratch());
        {
            PoolGuard pool_size(3);
            batch(reader, q, 5, 0);
        }
        ASSERT_EQ(reader.batch_workers().size(), 3u);
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(&reader.batch_workers()[i].scratch(), scratch[i]) << i;

        // A take hands out the kept workers first, then new ones, refreshed:
        // 16 workers get 4 MiB of window buffers each.
        std::vector<DiskAnnIndexReader> taken = reader.take_batch_workers(16, false);
        EXPECT_TRUE(reader.batch_workers().empty());
        ASSERT_EQ(taken.size(), 16u);
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(&taken[i].scratch(), scratch[i]);
        for (DiskAnnIndexReader& w : taken) {
            EXPECT_EQ(w.scratch().buffer_pool.limit_bytes(), 4194304u);
            EXPECT_EQ(w.cache_budgets().vector_cache_bytes,
                      std::min<uint64_t>(4194304, reader.cache_budgets().vector_cache_bytes));
            EXPECT_EQ(w.resident_handle(), reader.resident_handle());
            EXPECT_EQ(w.adjacency_preload_handle(), reader.adjacency_preload_handle());
            EXPECT_TRUE(w.batch_workers().empty());
        }
        EXPECT_FALSE(reader.adjacency_preload().empty());  // optimize_for_search ran
        { diskann_io::BatchWorkerLease lease(reader, std::move(taken)); }
        EXPECT_EQ(reader.batch_workers().size(), 16u);

        // One worker empties the set.
        PoolGuard pool_size(1);
        batch(reader, q, 5, 0);
        EXPECT_TRUE(reader.batch_workers().empty());
    });
}

TEST(DiskAnnBatch, WindowBufferLimitPerWorker) {
    const std::pair<size_t, uint64_t> cases[] = {{0, 8388608},  {1, 8388608},  {8, 8388608},
                                                 {9, 7456540},  {16, 4194304}, {64, 1048576},
                                                 {67108864, 1}, {67108865, 0}};
    for (const auto& [w, want] : cases) EXPECT_EQ(diskann_search::window_buffer_limit_per_worker(w), want) << w;
}


// The streaming candidate pass hands each query to the next free worker, so
// one worker held up on its first query must not hold up the rest: the other
// workers take every remaining query meanwhile, each query exactly once. With
// fixed shares the held worker's share would wait, and the wait below would
// time out.
TEST(DiskAnnBatch, FreeWorkersTakeTheQueriesOfAHeldWorker) {
    for (const size_t m : {size_t{1}, size_t{2}, size_t{97}, size_t{1024}}) {
        constexpr size_t kWorkers = 4;
        std::atomic<size_t> next{0};
        std::atomic<size_t> done{0};
        std::vector<std::atomic<int>> taken(m);
        std::vector<std::vector<size_t>> order(kWorkers);
        std::promise<void> rest_done;
        std::shared_future<void> rest = rest_done.get_future().share();
        std::atomic<bool> held_timed_out{false};
        const auto work = [&](size_t worker) {
            diskann_io::take_next_queries(next, m, [&](size_t q) {
                order[worker].push_back(q);
                taken[q].fetch_add(1);
                if (q == 0) {
                    // The first query's worker waits for every other query.
                    if (m > 1 && rest.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                        held_timed_out = true;
                    }
                } else if (done.fetch_add(1) + 2 == m) {
                    rest_done.set_value();
                }
            });
        };
        std::vector<std::thread> threads;
        for (size_t w = 0; w < kWorkers; ++w) threads.emplace_back(work, w);
        for (std::thread& t : threads) t.join();
        EXPECT_FALSE(held_timed_out) << m;
        for (size_t q = 0; q < m; ++q) EXPECT_EQ(taken[q].load(), 1) << m << " " << q;
        for (const auto& o : order) EXPECT_TRUE(std::is_sorted(o.begin(), o.end())) << m;
    }
}
TEST(DiskAnnBatch, TopKZeroTouchesNothing) {
    const BuiltDiskAnn b = build_diskann_index(100, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 4);
    PoolGuard pool_size(4);
    DiskAnnIndexReader reader = open_reader(b);
    const std::vector<float> q = tavren::testing::gaussian_rows(30, 8, 2);
    const Results r = batch(reader, q, 0, 0);
    EXPECT_TRUE(r.ids.empty() && r.distances.empty());
    EXPECT_EQ(reader.stats(), DiskAnnSearchStats::for_queries(30));
    EXPECT_FALSE(reader.has_resident());
    EXPECT_TRUE(reader.batch_workers().empty());
}

// ---- failures ---------------------------------------------------------------------------------

TEST(DiskAnnBatch, HostFailureFailsTheBatchRestoresWorkersAndTheNextBatchWorks) {
    under_watchdog([] {
        for (const StorageLayout layout : {StorageLayout::Compact, StorageLayout::Interleaved}) {
            const BuiltDiskAnn b = build_diskann_index(300, 8, 0, layout, RawVectorEncoding::F32, 8, 6);
            const auto state = host_state(b);
            const std::vector<float> q = tavren::testing::gaussian_rows(200, 8, 12);
            DiskAnnIndexReader reference = open_reader(b);
            const Results want = singles(reference, q, 8, 10, 0);
            DiskAnnIndexReader reader = open_reader(state, true);
            reader.ensure_resident();
            const auto& h = reader.header();
            // Compact files: the first raw-vector window; interleaved: the
            // second adjacency window (the entry's page may be elsewhere).
            const auto& section = h.sections[layout == StorageLayout::Compact ? 6 : 5];
            state->fail_from = section.offset + (layout == StorageLayout::Compact ? 0 : 4096);
            state->fail_to = state->fail_from + 1;
            for (const size_t threads : {8, 1, 3}) {
                for (const size_t nq : {size_t{8}, size_t{200}}) {
                    SCOPED_TRACE(::testing::Message() << "threads " << threads << " nq " << nq);
                    PoolGuard pool_size(threads);
                    const std::span<const float> qs = std::span<const float>(q).first(nq * 8);
                    state->armed = true;
                    const auto f = failure_of([&] { batch(reader, qs, 10, 0); });
                    state->armed = false;
                    EXPECT_EQ(f.message, "counting host refused the read");
                    const size_t w = std::min(threads, nq);
                    EXPECT_EQ(reader.batch_workers().size(), w < 2 ? 0u : w);
                    const Results got = batch(reader, qs, 10, 0);
                    EXPECT_TRUE(same_bits(got, Results{std::vector<int64_t>(want.ids.begin(), want.ids.begin() + nq * 10),
                                                       std::vector<float>(want.distances.begin(),
                                                                          want.distances.begin() + nq * 10)}));
                }
            }
        }
    });
}

TEST(DiskAnnBatch, SessionOutputsAreValidated) {
    const BuiltDiskAnn b = build_diskann_index(50, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 4);
    DiskAnnIndexReader reader = open_reader(b);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    const auto out = [](size_t q) {
        return diskann_search::DiskAnnSessionOutput{q, {int64_t(q)}, {float(q)}, DiskAnnSearchStats::for_queries(1)};
    };
    struct Case {
        const char* name;
        diskann_search::DiskAnnSessionOutputs outputs;
        const char* message;
    };
    const Case cases[] = {
        {"index", {{out(0)}, {out(2)}}, "DiskANN parallel session query index is invalid"},
        {"duplicate", {{out(0), out(1)}, {out(1)}}, "DiskANN parallel sessions returned a duplicate query"},
        {"missing", {{out(1)}, {}}, "DiskANN parallel sessions did not return every query"},
    };
    for (const Case& c : cases) {
        const auto f = failure_of([&] { reader.collect_parallel_session_outputs(c.outputs, 2, 1, ids, dist); });
        EXPECT_EQ(f.kind, ErrorKind::InvalidData) << c.name;
        EXPECT_EQ(f.message, c.message) << c.name;
    }
    reader.stats() = DiskAnnSearchStats::for_queries(2);
    reader.collect_parallel_session_outputs({{out(1)}, {out(0)}}, 2, 1, ids, dist);
    EXPECT_EQ(ids, (std::vector<int64_t>{0, 1}));
    EXPECT_EQ(dist, (std::vector<float>{0.0f, 1.0f}));
    EXPECT_EQ(reader.stats().merged_queries, 2u);
}

// ---- streaming --------------------------------------------------------------------------------

TEST(DiskAnnBatch, PlanStreamingWindowChunks) {
    using diskann_search::WindowChunk;
    const auto windows = [](size_t count, uint64_t len) {
        std::vector<diskann_windows::ReadWindow> out;
        for (size_t i = 0; i < count; ++i) out.push_back({i * len, len});
        return out;
    };
    EXPECT_TRUE(diskann_search::plan_streaming_window_chunks({}).empty());
    EXPECT_EQ(diskann_search::plan_streaming_window_chunks(windows(2050, 4096)),
              (std::vector<WindowChunk>{{0, 1024}, {1024, 2048}, {2048, 2050}}));
    EXPECT_EQ(diskann_search::plan_streaming_window_chunks(windows(130, 1048576)),
              (std::vector<WindowChunk>{{0, 64}, {64, 128}, {128, 130}}));
    std::vector<diskann_windows::ReadWindow> big = windows(3, 4096);
    big[1].len = 67108865;  // longer than a chunk: alone
    EXPECT_EQ(diskann_search::plan_streaming_window_chunks(big),
              (std::vector<WindowChunk>{{0, 1}, {1, 2}, {2, 3}}));
    big[1].len = 67108864 - 4096;  // exactly 64 MiB with the first
    EXPECT_EQ(diskann_search::plan_streaming_window_chunks(big), (std::vector<WindowChunk>{{0, 2}, {2, 3}}));
}

// The grouping of a chunk's (query, node) pairs by window, against a plain
// stable sort of every pair by window offset, by dense counting and by the
// sorted fallback alike: same windows, same boundaries, same places.
TEST(DiskAnnBatch, GroupPairsByWindowMatchesAStableSortOfThePairs) {
    using diskann_windows::ReadWindow;
    using diskann_windows::VectorWindowPlanner;
    read_options::ReadPlan plan;
    plan.window_bytes = 4096;
    plan.beam_width = 4;
    plan.ranges_per_read = 1;
    struct Case {
        const char* name;
        uint64_t record_bytes;
        uint64_t records;
        size_t queries;
        size_t max_nodes;  // per query; 0..max_nodes nodes each
        uint64_t node_limit;
    };
    const Case cases[] = {
        {"two records per window, clipped last window", 1568, 9001, 40, 30, 9001},
        {"one record per window", 8192, 500, 17, 50, 500},
        {"forty records per window", 100, 100000, 64, 80, 100000},
        {"sparse: few nodes far apart", 1568, 2000000, 5, 3, 2000000},
        {"no pairs at all", 1568, 100, 6, 0, 100},
    };
    const uint64_t section = 12288;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const VectorWindowPlanner planner =
            VectorWindowPlanner::create(plan, section, c.records * c.record_bytes, c.record_bytes);
        std::mt19937_64 rng(c.records);
        std::vector<std::vector<size_t>> nodes(c.queries);
        for (std::vector<size_t>& list : nodes) {
            const size_t n = c.max_nodes == 0 ? 0 : rng() % (c.max_nodes + 1);
            for (size_t i = 0; i < n; ++i) list.push_back(static_cast<size_t>(rng() % c.node_limit));
            if (!list.empty()) list.push_back(c.records - 1);  // the clipped last window
        }
        std::vector<const std::vector<size_t>*> slots;
        for (const auto& list : nodes) slots.push_back(&list);

        // Reference: every pair numbered in query order, stably sorted by offset.
        std::vector<std::pair<uint64_t, size_t>> by_offset;
        std::vector<ReadWindow> pair_windows;
        for (const auto& list : nodes) {
            for (const size_t node : list) {
                const ReadWindow w = *planner.window_for_node(node);
                by_offset.push_back({w.offset, pair_windows.size()});
                pair_windows.push_back(w);
            }
        }
        std::stable_sort(by_offset.begin(), by_offset.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<ReadWindow> windows;
        std::vector<size_t> starts;
        std::vector<size_t> place(by_offset.size());
        for (size_t at = 0; at < by_offset.size(); ++at) {
            if (at == 0 || by_offset[at].first != by_offset[at - 1].first) {
                windows.push_back(pair_windows[by_offset[at].second]);
                starts.push_back(at);
            }
            place[by_offset[at].second] = at;
        }
        starts.push_back(by_offset.size());
        std::vector<size_t> query_start{0};
        for (const auto& list : nodes) query_start.push_back(query_start.back() + list.size());

        for (const uint64_t per_pair : {diskann_search::kDenseWindowGroupingPerPair, uint64_t{0}}) {
            SCOPED_TRACE(per_pair);
            const diskann_search::WindowGroups g = diskann_search::group_pairs_by_window(planner, slots, per_pair);
            ASSERT_EQ(g.windows.size(), windows.size());
            for (size_t i = 0; i < windows.size(); ++i) {
                EXPECT_EQ(g.windows[i].offset, windows[i].offset);
                EXPECT_EQ(g.windows[i].len, windows[i].len);
            }
            EXPECT_EQ(g.group_start, starts);
            EXPECT_EQ(g.place, place);
            EXPECT_EQ(g.query_start, query_start);
        }
    }
    // A node past the section fails, whichever way the pairs are grouped.
    const VectorWindowPlanner planner = VectorWindowPlanner::create(plan, section, 10 * 1568, 1568);
    const std::vector<size_t> bad{3, 10};
    const std::vector<const std::vector<size_t>*> slots{&bad};
    for (const uint64_t per_pair : {diskann_search::kDenseWindowGroupingPerPair, uint64_t{0}}) {
        const auto f = failure_of([&] { diskann_search::group_pairs_by_window(planner, slots, per_pair); });
        EXPECT_EQ(f.kind, ErrorKind::InvalidData);
        EXPECT_EQ(f.message, "DiskANN raw-vector record is out of range");
    }
}

TEST(DiskAnnBatch, StreamingReadsEachRawWindowOncePerChunk) {
    under_watchdog([] {
        PoolGuard pool_size(1);
        // 256-byte records: 16 per 4096-byte window, 25 windows.
        const BuiltDiskAnn b = build_diskann_index(400, 64, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 8);
        const std::vector<float> q = tavren::testing::gaussian_rows(1024, 64, 21);
        // Neither shared cache nor the query vector cache keeps a window.
        const auto state = host_state(b);
        DiskAnnIndexReader small = open_reader(state, true);
        state->reads.clear();
        const Results got = batch(small, q, 10, 0);
        const auto& raw = small.header().sections[6];
        uint64_t windows_read = 0;
        for (const auto& [offset, count] : state->reads) {
            if (offset >= raw.offset && offset < raw.offset + raw.length) {
                EXPECT_EQ(count, 1u) << offset;
                ++windows_read;
            }
        }
        const DiskAnnSearchStats& s = small.stats();
        EXPECT_EQ(s.query_batches, 1u);
        EXPECT_EQ(s.largest_query_batch, 1024u);
        EXPECT_EQ(s.vector_windows_read, windows_read);
        EXPECT_EQ(s.rerank_windows, windows_read);
        EXPECT_GT(s.rerank_candidates, 4 * s.rerank_windows);  // shared windows are the point
        EXPECT_EQ(s.rerank_window_batches, 1u);

        // The same queries one by one read far more raw-vector windows.
        DiskAnnIndexReader one_by_one = open_reader(state, true);
        state->reads.clear();
        EXPECT_TRUE(same_bits(singles(one_by_one, q, 64, 10, 0), got));
        uint64_t single_reads = 0;
        for (const auto& [offset, count] : state->reads) {
            if (offset >= raw.offset && offset < raw.offset + raw.length) single_reads += count;
        }
        EXPECT_GT(single_reads, 4 * windows_read);
    });
}

// Enough windows in one window chunk that the rerank reads them from the
// pool: still each raw-vector window read once, the singles' bits, and a host
// failure in the middle of the section fails the batch and leaves the reader
// usable.
TEST(DiskAnnBatch, StreamingManyWindowsReadOnceAtEveryPoolSize) {
    under_watchdog([] {
        // 256-byte records, 16 per 4096-byte window: 256 windows.
        const BuiltDiskAnn b = build_diskann_index(4096, 64, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 8);
        const std::vector<float> q = tavren::testing::gaussian_rows(1024, 64, 27);
        DiskAnnIndexReader reference = open_reader(b);
        const Results want = singles(reference, q, 64, 10, 0);
        const auto state = host_state(b);
        DiskAnnIndexReader reader = open_reader(state, true);
        reader.ensure_resident();
        const auto& raw = reader.header().sections[6];
        for (const size_t threads : {1, 8, 3}) {
            SCOPED_TRACE(::testing::Message() << "threads " << threads);
            PoolGuard pool_size(threads);
            state->fail_from = raw.offset + 100 * 4096;
            state->fail_to = state->fail_from + 1;
            state->armed = true;
            const auto f = failure_of([&] { batch(reader, q, 10, 0); });
            state->armed = false;
            EXPECT_EQ(f.message, "counting host refused the read");
            state->reads.clear();
            const Results got = batch(reader, q, 10, 0);
            EXPECT_TRUE(same_bits(got, want));
            uint64_t windows_read = 0;
            for (const auto& [offset, count] : state->reads) {
                if (offset >= raw.offset && offset < raw.offset + raw.length) {
                    EXPECT_EQ(count, 1u) << offset;
                    ++windows_read;
                }
            }
            const DiskAnnSearchStats& s = reader.stats();
            EXPECT_GT(s.rerank_windows, diskann_search::kParallelReadWindows);
            EXPECT_EQ(s.rerank_windows, windows_read);
            EXPECT_EQ(s.vector_windows_read, windows_read);
            EXPECT_EQ(s.query_batches, 1u);
            EXPECT_EQ(reader.batch_workers().size(), threads < 2 ? 0u : threads);
        }
    });
}

TEST(DiskAnnBatch, Streaming1025QueriesMakesTwoChunks) {
    under_watchdog([] {
        PoolGuard pool_size(1);
        const BuiltDiskAnn b = build_diskann_index(100, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 8);
        DiskAnnIndexReader reader = open_reader(b);
        const std::vector<float> q = tavren::testing::gaussian_rows(1025, 8, 1);
        batch(reader, q, 3, 0);
        EXPECT_EQ(reader.stats().query_batches, 2u);
        EXPECT_EQ(reader.stats().largest_query_batch, 1024u);
        EXPECT_EQ(reader.stats().queries, 1025u);
    });
}

TEST(DiskAnnBatch, StreamingRerankCandidateChecksAndPadding) {
    const BuiltDiskAnn b = build_diskann_index(60, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 8);
    const auto state = host_state(b);
    DiskAnnIndexReader reader = open_reader(state);
    reader.ensure_resident();
    const std::vector<float> q = tavren::testing::gaussian_rows(2, 8, 1);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    using Lists = diskann_search::DiskAnnCandidateLists;
    struct Case {
        const char* name;
        Lists lists;
        const char* message;
    };
    const Case cases[] = {
        {"index", {{{0, {1}}, {2, {1}}}}, "DiskANN filtered batch query index is invalid"},
        {"duplicate", {{{0, {1}}}, {{0, {2}}, {1, {}}}}, "DiskANN filtered batch contains duplicate query results"},
        {"missing", {{{1, {1}}}}, "DiskANN filtered batch is missing query candidates"},
        {"node", {{{0, {1}}, {1, {60}}}}, "DiskANN raw-vector record is out of range"},
    };
    for (const Case& c : cases) {
        const auto f = failure_of([&] { reader.rerank_candidate_batch_streaming(q, 3, c.lists, ids, dist); });
        EXPECT_EQ(f.kind, ErrorKind::InvalidData) << c.name;
        EXPECT_EQ(f.message, c.message) << c.name;
    }
    // Empty candidate lists: nothing read, every place padded.
    state->reads.clear();
    reader.rerank_candidate_batch_streaming(q, 3, Lists{{{1, {}}}, {{0, {}}}}, ids, dist);
    EXPECT_TRUE(state->reads.empty());
    EXPECT_EQ(ids, std::vector<int64_t>(6, -1));
    EXPECT_EQ(dist, std::vector<float>(6, kMaxDistance));
    // One node for query 1 only, wanted by two queries once each: exact and padded.
    reader.rerank_candidate_batch_streaming(q, 2, Lists{{{0, {5}}, {1, {5, 7}}}}, ids, dist);
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[0], reader.row_id(5));
    EXPECT_EQ(ids[1], -1);
    EXPECT_EQ(dist[1], kMaxDistance);
    EXPECT_NE(ids[2], -1);
    EXPECT_NE(ids[3], -1);
    EXPECT_LE(dist[2], dist[3]);

    const BuiltDiskAnn inter = build_diskann_index(60, 8, 0, StorageLayout::Interleaved, RawVectorEncoding::F32, 8, 8);
    DiskAnnIndexReader ir = open_reader(inter);
    EXPECT_EQ(failure_of([&] { ir.rerank_candidate_batch_streaming(q, 3, Lists{{{0, {1}}, {1, {2}}}}, ids, dist); })
                  .message,
              "DiskANN interleaved rerank must run inside a search session");
}

// The parallel scorer and the serial one give the same heaps: a chunk whose
// r x d reaches 16,384 on a pool of four threads against one thread.
TEST(DiskAnnBatch, ParallelAndSerialScoringAgree) {
    under_watchdog([] {
        const BuiltDiskAnn b = build_diskann_index(300, 64, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 8);
        const std::vector<float> q = tavren::testing::gaussian_rows(600, 64, 3);
        Results serial, parallel;
        {
            PoolGuard pool_size(1);
            DiskAnnIndexReader r = open_reader(b);
            serial = batch(r, q, 10, 0);
            EXPECT_EQ(r.stats().parallel_rerank_chunks, 0u);
        }
        {
            PoolGuard pool_size(4);
            DiskAnnIndexReader r = open_reader(b);
            parallel = batch(r, q, 10, 0);
            EXPECT_GE(r.stats().parallel_rerank_chunks, 1u);
            EXPECT_EQ(r.stats().parallel_rerank_references, r.stats().rerank_candidates);
        }
        EXPECT_TRUE(same_bits(serial, parallel));
    });
}

// Several window chunks on a pool: the pool scores a chunk while the caller
// loads the next. Whether the chunks' windows fit the raw-vector budget (the
// loads run ahead of the scoring throughout) or not (the call falls back to
// one chunk at a time part way), every pool size gives one thread's results,
// statistics and host reads, first batch and second. And when a window of the
// first chunk holds a NaN record while a read of the second chunk fails, every
// pool size reports what one thread meets first: the NaN.
TEST(DiskAnnBatch, WindowChunksOnAPoolAreOneThreadsChunks) {
    under_watchdog([] {
        // 2048-byte records, two per 4096-byte window: 1300 windows, two chunks.
        constexpr size_t kN = 2600;
        constexpr size_t kD = 512;
        const BuiltDiskAnn b = build_diskann_index(kN, kD, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 5, 8);
        // Stored rows as queries: their candidates spread over the section.
        std::vector<float> q;
        for (size_t i = 0; i < kN; i += 5) q.insert(q.end(), b.rows.begin() + i * kD, b.rows.begin() + (i + 1) * kD);
        struct Run {
            Results first, second;
            DiskAnnSearchStats stats_first, stats;
            std::map<uint64_t, uint64_t> reads;
        };
        const auto run = [&](size_t threads, std::optional<uint64_t> vector_budget) {
            PoolGuard pool_size(threads);
            const auto state = host_state(b);
            read_options::VectorIndexReaderOptions options;
            if (vector_budget) {
                read_options::CacheBudgets budgets;
                budgets.memory_budget_bytes = uint64_t{1} << 30;
                budgets.vector_cache_bytes = *vector_budget;
                options.explicit_cache_budgets = budgets;
            }
            DiskAnnIndexReader reader = DiskAnnIndexReader::open_with_options(std::make_shared<CountingHost>(state), options);
            reader.ensure_resident();
            state->reads.clear();
            Run r;
            r.first = batch(reader, q, 10, 100);
            r.stats_first = reader.stats();
            r.second = batch(reader, q, 10, 100);
            r.stats = reader.stats();
            const auto& raw = reader.header().sections[6];
            for (const auto& [offset, count] : state->reads) {
                if (offset >= raw.offset && offset < raw.offset + raw.length) r.reads[offset] = count;
            }
            return r;
        };
        // The default budget holds the whole section; 1100 windows hold the
        // first chunk but not both; 400 not even the first.
        std::vector<uint64_t> needed;  // the windows a batch reads, in file order
        for (const std::optional<uint64_t> budget :
             {std::optional<uint64_t>{}, std::optional<uint64_t>{1100 * 4096}, std::optional<uint64_t>{400 * 4096}}) {
            SCOPED_TRACE(::testing::Message() << "budget " << (budget ? *budget : 0));
            const Run one = run(1, budget);
            if (needed.empty()) {
                for (const auto& [offset, count] : one.reads) needed.push_back(offset);
            }
            EXPECT_EQ(one.stats_first.rerank_window_batches, 2u);
            EXPECT_EQ(one.stats.rerank_window_batches, 2u);
            EXPECT_GT(one.stats.vector_windows_found, 0u);
            EXPECT_EQ(one.stats.parallel_rerank_chunks, 0u);
            for (const size_t threads : {8, 3}) {
                SCOPED_TRACE(::testing::Message() << "threads " << threads);
                const Run many = run(threads, budget);
                EXPECT_TRUE(same_bits(one.first, many.first)) << first_difference(one.first, many.first);
                EXPECT_TRUE(same_bits(one.second, many.second)) << first_difference(one.second, many.second);
                EXPECT_EQ(one.reads, many.reads);
                EXPECT_EQ(many.stats_first.parallel_rerank_chunks, 2u);
                EXPECT_EQ(many.stats.parallel_rerank_chunks, 2u);
                EXPECT_EQ(many.stats.parallel_rerank_references, many.stats.rerank_candidates);
                const auto counts = [](const DiskAnnSearchStats& s) {
                    return std::vector<uint64_t>{s.rerank_candidates,    s.rerank_windows,
                                                 s.rerank_window_batches, s.vector_windows_found,
                                                 s.vector_windows_read,   s.vector_window_evictions};
                };
                EXPECT_EQ(counts(one.stats_first), counts(many.stats_first));
                EXPECT_EQ(counts(one.stats), counts(many.stats));
            }
        }

        // A NaN in the first value of both records of every window of the
        // first chunk; the host refuses every read of the second chunk.
        ASSERT_GT(needed.size(), 1024u);
        BuiltDiskAnn bad = b;
        const auto probe = open_reader(b);
        const auto& raw = probe.header().sections[6];
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (size_t w = 0; w < 1024; ++w) {
            std::memcpy(bad.bytes.data() + needed[w], &nan, 4);
            std::memcpy(bad.bytes.data() + needed[w] + kD * 4, &nan, 4);
        }
        std::string want;
        for (const size_t threads : {1, 8, 3}) {
            SCOPED_TRACE(::testing::Message() << "threads " << threads);
            PoolGuard pool_size(threads);
            const auto state = host_state(bad);
            DiskAnnIndexReader reader = open_reader(state);
            reader.ensure_resident();
            state->fail_from = needed[1024];
            state->fail_to = raw.offset + raw.length;
            state->armed = true;
            const auto f = failure_of([&] { batch(reader, q, 10, 100); });
            if (want.empty()) want = f.message;
            EXPECT_EQ(f.message, "DiskANN raw vectors must be finite");
            EXPECT_EQ(f.message, want);
            // The reader answers the next batch once the host reads again
            // (the NaN records then fail it the same way).
            state->armed = false;
            EXPECT_EQ(failure_of([&] { batch(reader, q, 10, 100); }).message, want);
        }
    });
}

// ---- warm-up and calibration ---------------------------------------------------------------

TEST(DiskAnnCalibration, StabilityExamples) {
    using diskann_search::kCalibrationStabilityThreshold;
    using diskann_search::topk_result_stability;
    std::vector<int64_t> a(100), b98(100), b97(100);
    const std::vector<float> d(100, 1.0f);
    for (int64_t i = 0; i < 100; ++i) a[i] = b98[i] = b97[i] = i;
    for (int64_t i = 0; i < 2; ++i) b98[i] = 1000 + i;
    for (int64_t i = 0; i < 3; ++i) b97[i] = 1000 + i;
    EXPECT_TRUE(topk_result_stability(a, d, b98, d, 100) >= kCalibrationStabilityThreshold);
    EXPECT_FALSE(topk_result_stability(a, d, b97, d, 100) >= kCalibrationStabilityThreshold);
    EXPECT_EQ(kCalibrationStabilityThreshold, 0.9800000190734863f);

    const std::vector<float> pad(4, kMaxDistance);
    const std::vector<int64_t> ids{1, 1, 2, 3};
    EXPECT_EQ(topk_result_stability(ids, pad, ids, std::vector<float>(4, 1.0f), 2), 1.0f);  // A all padding
    EXPECT_EQ(topk_result_stability(ids, std::vector<float>(4, 1.0f), ids, pad, 2), 0.0f);  // B all padding
    EXPECT_EQ(topk_result_stability({}, {}, {}, {}, 3), 1.0f);
    EXPECT_EQ(topk_result_stability(ids, std::vector<float>(4, 1.0f), std::vector<int64_t>{1, 1}, std::vector<float>{1.0f, 1.0f}, 2),
              0.0f);
    EXPECT_EQ(topk_result_stability(ids, std::vector<float>(4, 1.0f), ids, std::vector<float>(4, 1.0f), 0), 0.0f);
    EXPECT_EQ(topk_result_stability(ids, std::vector<float>(4, 1.0f), ids, std::vector<float>(4, 1.0f), 3), 0.0f);
    // Multisets: A's two 1s against B's single 1 match once.
    const std::vector<int64_t> b{1, 9, 2, 3};
    EXPECT_EQ(topk_result_stability(ids, std::vector<float>(4, 1.0f), b, std::vector<float>(4, 1.0f), 2), 0.75f);
    // A NaN distance is a valid entry.
    EXPECT_EQ(topk_result_stability(ids, std::vector<float>{std::numeric_limits<float>::quiet_NaN(), 1.0f, 1.0f, 1.0f}, b,
                                    std::vector<float>(4, 1.0f), 2),
              0.75f);
}

TEST(DiskAnnCalibration, ChoosesStoresAndKeepsTheStatistics) {
    under_watchdog([] {
        PoolGuard pool_size(4);
        const BuiltDiskAnn b = build_diskann_index(300, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 9);
        const auto state = host_state(b);
        DiskAnnIndexReader reader = open_reader(state, true);
        const std::vector<float> q = tavren::testing::gaussian_rows(40, 8, 4);

        struct Bad {
            std::vector<float> queries;
            uint64_t k;
            const char* message;
        };
        std::vector<float> nan(q.begin(), q.begin() + 16);
        nan[9] = std::numeric_limits<float>::infinity();
        const Bad bad[] = {
            {{}, 10, "calibration queries must contain one or more complete vectors"},
            {std::vector<float>(9, 0.0f), 10, "calibration queries must contain one or more complete vectors"},
            {std::vector<float>(8, 0.0f), 0, "calibration top_k must be greater than 0"},
            {nan, 10, "calibration query values must be finite"},
        };
        for (const Bad& c : bad) {
            const auto f = failure_of([&] { (void)reader.calibrate_l_search(c.queries, c.k); });
            EXPECT_EQ(f.kind, ErrorKind::InvalidInput);
            EXPECT_EQ(f.message, c.message);
        }
        EXPECT_FALSE(reader.has_resident());  // refused before anything is loaded

        std::vector<int64_t> ids;
        std::vector<float> dist;
        reader.search(std::span<const float>(q).first(8), 10, 0, ids, dist);
        const DiskAnnSearchStats before = reader.stats();
        // k >= 400: the three sizes are all k and agree.
        EXPECT_EQ(reader.calibrate_l_search(q, 400), 400u);
        EXPECT_EQ(reader.stats(), before);
        EXPECT_EQ(reader.calibrated_l_search(), std::optional<uint64_t>(400));
        const uint64_t l = reader.calibrate_l_search(q, 10);
        EXPECT_EQ(l, 100u);  // 300 rows: L = 100 already finds what 200 finds
        EXPECT_EQ(reader.stats(), before);
        ASSERT_FALSE(reader.batch_workers().empty());
        for (const DiskAnnIndexReader& w : reader.batch_workers()) {
            EXPECT_EQ(w.calibrated_l_search(), std::optional<uint64_t>(l));
        }

        // A failing batch: the previous size stays.
        reader.calibrate_l_search(q, 400);
        const auto& raw = reader.header().sections[6];
        state->fail_from = raw.offset;
        state->fail_to = raw.offset + raw.length;
        state->armed = true;
        EXPECT_EQ(failure_of([&] { (void)reader.calibrate_l_search(q, 10); }).message,
                  "counting host refused the read");
        state->armed = false;
        EXPECT_EQ(reader.calibrated_l_search(), std::optional<uint64_t>(400));
    });
}

TEST(DiskAnnCalibration, FacadeAutomaticWidthUsesTheCalibratedSize) {
    under_watchdog([] {
        PoolGuard pool_size(2);
        const BuiltDiskAnn b = build_diskann_index(300, 8, 0, StorageLayout::Compact, RawVectorEncoding::F32, 8, 9);
        const std::vector<float> q = tavren::testing::gaussian_rows(20, 8, 4);
        auto facade = index::VectorIndexReader::open_with_options(MemorySource::make(b.bytes, {}, nullptr), {});
        facade.optimize_for_search();
        facade.warmup_queries({}, 0, 0);  // zero warm-up queries after optimize
        EXPECT_EQ(failure_of([&] { facade.warmup_queries(std::vector<float>(9, 0.0f), 1, 0); }).message,
                  "warmup queries length 9 does not match query count * dimension 8");
        EXPECT_EQ(facade.calibrate_search_width(q, 20, 450), 450u);
        index::VectorSearchParams automatic;
        automatic.top_k = 10;
        index::VectorSearchParams explicit_l = automatic;
        explicit_l.width_type = index::kWidthDiskAnnLSearch;
        explicit_l.width = 450;
        const std::span<const float> q0 = std::span<const float>(q).first(8);
        const auto a = facade.search(q0, automatic);
        const auto e = facade.search(q0, explicit_l);
        EXPECT_EQ(a.ids, e.ids);
        EXPECT_EQ(a.distances, e.distances);
        const auto ba = facade.search_batch(q, 20, automatic);
        const auto be = facade.search_batch(q, 20, explicit_l);
        EXPECT_EQ(ba.ids, be.ids);
        EXPECT_EQ(ba.distances, be.distances);
        EXPECT_EQ(std::vector<int64_t>(ba.ids.begin(), ba.ids.begin() + 10), a.ids);
    });
}

}  // namespace
