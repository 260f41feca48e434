// DiskANN query-side micro-benchmarks.
//   BM_ScorePqNeighbors/m/bits/path: one neighbour list of 64 nodes drawn at
//     random from 200,000 resident codes; the counter ns_per_node.
//   BM_ScorePqNeighbors7/m/path: seven 8-bit nodes (four grouped, three single).
//   BM_RawVectorDistance/d/encoding/path: one stored record (1 f32, 2 f16) under
//     l2, cycling over 64 records; bytes/s count the record bytes read.
//   BM_PoolTakeRecycle/len: take a window buffer and offer it back.
//   BM_OffsetLruTouch/n, BM_OffsetLruTouchPop/n: recency order over n offsets.
//   BM_WindowCacheRound: one beam round's cache work (insert 4 windows, trim).
// path 1 = AVX2 where the processor has it, 0 = the scalar kernels forced.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "diskann_search.hpp"
#include "diskann_windows.hpp"
#include "distance.hpp"
#include "metric.hpp"

namespace {

namespace ds = tavren::diskann_search;
namespace dw = tavren::diskann_windows;
namespace td = tavren::distance;

struct Path {
    explicit Path(benchmark::State& state, int arg) {
        const bool avx2 = state.range(arg) != 0;
        if (avx2 && !td::avx2_available()) state.SkipWithError("no AVX2 on this processor");
        td::force_scalar_for_testing(!avx2);
        state.SetLabel(avx2 ? "avx2" : "scalar");
    }
    ~Path() { td::force_scalar_for_testing(false); }
};

std::vector<float> random_floats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& x : v) x = static_cast<uint8_t>(rng());
    return v;
}

constexpr size_t kResidentNodes = 200000;

void BM_ScorePqNeighbors(benchmark::State& state) {
    const size_t m = static_cast<size_t>(state.range(0));
    const uint32_t bits = static_cast<uint32_t>(state.range(1));
    Path path(state, 2);
    const size_t ksub = bits == 8 ? 256 : 16;
    const size_t cb = bits == 8 ? m : m - m / 2;
    const auto table = random_floats(m * ksub, 1);
    const auto codes = random_bytes(kResidentNodes * cb, 2);
    std::mt19937 rng(3);
    // Many lists cycled through, so codes come from memory as in a search.
    constexpr size_t kLists = 256, kDegree = 64;
    std::vector<uint32_t> lists(kLists * kDegree);
    for (auto& v : lists) v = rng() % kResidentNodes;
    std::vector<ds::ScoredNeighbor> out;
    size_t at = 0;
    for (auto _ : state) {
        ds::score_pq_neighbors(table, codes, m, bits, std::span<const uint32_t>(lists).subspan(at * kDegree, kDegree),
                               out);
        benchmark::DoNotOptimize(out.data());
        at = (at + 1) % kLists;
    }
    state.counters["ns_per_node"] = benchmark::Counter(static_cast<double>(state.iterations() * kDegree),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ScorePqNeighbors)->ArgsProduct({{16, 32, 64, 196}, {4, 8}, {0, 1}});

void BM_ScorePqNeighbors7(benchmark::State& state) {
    const size_t m = static_cast<size_t>(state.range(0));
    Path path(state, 1);
    const auto table = random_floats(m * 256, 1);
    const auto codes = random_bytes(1024 * m, 2);
    const std::vector<uint32_t> nodes = {3, 100, 517, 9, 1000, 44, 802};
    std::vector<ds::ScoredNeighbor> out;
    for (auto _ : state) {
        ds::score_pq_neighbors(table, codes, m, 8, nodes, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns_per_node"] = benchmark::Counter(static_cast<double>(state.iterations() * nodes.size()),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ScorePqNeighbors7)->ArgsProduct({{16, 32, 64}, {0, 1}});

void BM_RawVectorDistance(benchmark::State& state) {
    const size_t d = static_cast<size_t>(state.range(0));
    const uint32_t encoding = static_cast<uint32_t>(state.range(1));
    Path path(state, 2);
    constexpr size_t kRecords = 64;
    const auto q = random_floats(d, 4);
    const auto values = random_floats(d * kRecords, 5);
    const size_t rb = encoding == ds::kRawVectorF32 ? 4 * d : 2 * d;
    std::vector<uint8_t> records(rb * kRecords);
    if (encoding == ds::kRawVectorF32) {
        std::memcpy(records.data(), values.data(), records.size());
    } else {
        for (size_t i = 0; i < values.size(); ++i) {
            const uint16_t h = td::f32_to_f16_bits(values[i]);
            std::memcpy(records.data() + 2 * i, &h, 2);
        }
    }
    const auto kernel = ds::selected_raw_vector_distance_kernel(d);
    size_t at = 0;
    for (auto _ : state) {
        const float dist = ds::raw_vector_distance(q, std::span<const uint8_t>(records).subspan(at * rb, rb), encoding,
                                                   tavren::kMetricL2, kernel);
        benchmark::DoNotOptimize(dist);
        at = (at + 1) % kRecords;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rb));
}
BENCHMARK(BM_RawVectorDistance)->ArgsProduct({{128, 768, 1024}, {1, 2}, {0, 1}});

void BM_PoolTakeRecycle(benchmark::State& state) {
    const uint64_t len = static_cast<uint64_t>(state.range(0));
    dw::WindowBufferPool pool;
    // A pool holding a mix of sizes, as after reads of several profiles.
    for (uint64_t cap : {4096u, 16384u, 65536u, 32768u, 4096u, 16384u}) {
        std::vector<uint8_t> b;
        b.reserve(cap);
        pool.recycle(std::move(b));
    }
    for (auto _ : state) {
        auto b = pool.take(len);
        benchmark::DoNotOptimize(b.data());
        pool.recycle(std::move(b));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
BENCHMARK(BM_PoolTakeRecycle)->Arg(4096)->Arg(16384)->Arg(65536);

void BM_OffsetLruTouch(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    dw::OffsetLru lru;
    for (size_t i = 0; i < n; ++i) lru.touch(i * 4096);
    std::mt19937_64 rng(6);
    std::vector<uint64_t> order(4096);
    for (auto& o : order) o = (rng() % n) * 4096;
    size_t at = 0;
    for (auto _ : state) {
        lru.touch(order[at]);
        at = (at + 1) & 4095;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_OffsetLruTouch)->Arg(16)->Arg(256)->Arg(2048);

void BM_OffsetLruTouchPop(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    dw::OffsetLru lru;
    for (size_t i = 0; i < n; ++i) lru.touch(i * 4096);
    uint64_t next = n * 4096;
    for (auto _ : state) {
        lru.touch(next);
        next += 4096;
        benchmark::DoNotOptimize(lru.pop_oldest());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_OffsetLruTouchPop)->Arg(16)->Arg(256)->Arg(2048);

void BM_WindowCacheRound(benchmark::State& state) {
    dw::WindowBufferPool pool;
    dw::AdjacencyWindowCache cache;
    uint64_t next = 0;
    std::vector<dw::ReadWindow> needed(4);
    for (auto _ : state) {
        for (size_t i = 0; i < 4; ++i) needed[i] = {next + i * 16384, 16384};
        dw::prepare_adjacency_window_cache(needed, 4 * 16384, cache, pool);
        for (const auto& w : needed) cache.insert(w.offset, dw::WindowPayload::owned(pool.take(w.len)));
        cache.trim(pool, 1 << 20);
        next += 4 * 16384;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 4));
}
BENCHMARK(BM_WindowCacheRound);

}  // namespace

BENCHMARK_MAIN();
