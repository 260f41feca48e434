// Micro-benchmarks of the Vamana building blocks: robust prune (the four-row
// kernel below 256 dimensions, the early exit from 256), candidate insertion
// into a search scratch, and begin_search with dense or sparse visit states.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "vamana.hpp"

namespace {

namespace va = tavren::vamana;

// n rows of d values uniform in [-1, 1).
std::vector<float> uniform_rows(size_t n, size_t d, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> out(n * d);
    for (float& v : out) v = u(g);
    return out;
}

// One prune of node 0 over 164 candidates (L 100 + R 64) into R 64, alpha 1.2:
// 128 dimensions take the four-row kernel, 256 and 784 the early exit.
void BM_RobustPrune(benchmark::State& state) {
    const size_t d = static_cast<size_t>(state.range(0));
    const size_t n = 165;
    const auto v = uniform_rows(n, d, 1);
    std::vector<uint32_t> cands(n - 1);
    for (uint32_t i = 0; i < n - 1; ++i) cands[i] = i + 1;
    std::vector<uint32_t> ids, out;
    std::vector<va::ScoredNode> scored;
    ids.reserve(n);
    scored.reserve(n);
    out.reserve(64);
    for (auto _ : state) {
        va::robust_prune_candidates_into(v, d, 0, cands, 1.2f, {}, n, 64, 0, ids, scored, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(d < 256 ? "four-row" : "early-exit");
}
BENCHMARK(BM_RobustPrune)->Arg(16)->Arg(128)->Arg(255)->Arg(256)->Arg(784);

// Offering 1,000 nodes at random distances to a list of size L.
void BM_InsertCandidate(benchmark::State& state) {
    const size_t l = static_cast<size_t>(state.range(0));
    const size_t n = 100000;
    va::GreedySearchScratch scratch(n, 64, l);
    std::mt19937 g(3);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> dist(1000);
    for (float& x : dist) x = u(g);
    for (auto _ : state) {
        scratch.begin_search();
        for (uint32_t i = 0; i < 1000; ++i) scratch.insert_candidate(i * 97, l, dist[i]);
        benchmark::DoNotOptimize(scratch.results().data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000);
}
BENCHMARK(BM_InsertCandidate)->Arg(15)->Arg(100)->Arg(200);

// begin_search after a search that touched 2,000 nodes, on graphs where the
// sizing rule picks dense states (100,000 nodes) or the sparse table
// (10,000,000 nodes, R 64, L 15).
void BM_BeginSearch(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    va::GreedySearchScratch scratch(n, 64, 15);
    for (auto _ : state) {
        state.PauseTiming();
        scratch.begin_search();
        for (uint32_t i = 0; i < 2000; ++i) scratch.insert_candidate(static_cast<uint32_t>((i * 7919u) % n), 15, 1.0f);
        state.ResumeTiming();
        scratch.begin_search();
    }
    state.SetLabel(scratch.visit_states().sparse() ? "sparse" : "dense");
}
BENCHMARK(BM_BeginSearch)->Arg(100000)->Arg(10000000);

}  // namespace

BENCHMARK_MAIN();
