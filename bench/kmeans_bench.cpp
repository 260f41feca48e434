// k-means training and probe selection throughput.
//
// Training: k x 256 rows of seeded clustered data around k centres (k in
// {1024, 4096}, d in {128, 784}; a perfect fit has a mean squared distance of
// about d per row), the trainer's configuration {25, 1, 256, 1234, 0}, once on one
// pool thread and once on all of them. Counters: the objective of the result
// over the training rows, and the mean squared distance per row.
//
// Probe selection: d = 128, nlist 1k..64k, 2000 queries, 32 probes; the block
// path (matrix products on the calling thread) against the per-query path
// (exact distances, queries spread over the pool) and one query at a time on
// the calling thread. items_per_second is queries per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "distance.hpp"
#include "kmeans.hpp"
#include "pool.hpp"

namespace {

namespace km = tavren::kmeans;

// A cheap seeded generator for large synthetic sets (not the library's).
struct SplitMix {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Roughly normal: the sum of four uniforms, centred.
    float normalish() {
        const uint64_t v = next();
        float sum = 0.0f;
        for (int i = 0; i < 4; ++i) sum += static_cast<float>((v >> (16 * i)) & 0xFFFF) * (1.0f / 65536.0f);
        return (sum - 2.0f) * 1.7320508f;
    }
};

// n rows around `clusters` centres (spread 4, unit noise per coordinate).
std::vector<float> clustered(size_t n, size_t d, size_t clusters, uint64_t seed) {
    SplitMix g{seed};
    std::vector<float> centres(clusters * d);
    for (float& c : centres) c = g.normalish() * 4.0f;
    std::vector<float> out(n * d);
    for (size_t i = 0; i < n; ++i) {
        const size_t c = g.next() % clusters;
        for (size_t t = 0; t < d; ++t) out[i * d + t] = centres[c * d + t] + g.normalish();
    }
    return out;
}

// The most recent training set, kept between the one-thread and all-core runs.
struct TrainingSet {
    size_t k = 0, d = 0;
    std::vector<float> rows;
};
TrainingSet& training_set(size_t k, size_t d) {
    static TrainingSet set;
    if (set.k != k || set.d != d) {
        set.rows.clear();
        set.rows.shrink_to_fit();
        set.rows = clustered(k * 256, d, k, 1000 + k + d);
        set.k = k;
        set.d = d;
    }
    return set;
}

// Args: k, d, threads (0 = every core the environment gives).
void BM_KMeansTrain(benchmark::State& state) {
    const size_t k = static_cast<size_t>(state.range(0));
    const size_t d = static_cast<size_t>(state.range(1));
    const size_t threads = static_cast<size_t>(state.range(2));
    const TrainingSet& set = training_set(k, d);
    const size_t n = k * 256;
    tavren::pool::set_num_threads_for_testing(threads);
    state.SetLabel(std::to_string(tavren::pool::current_num_threads()) + " threads");
    const km::KMeansConfig config{25, 1, 256, 1234, 0.0f};
    std::vector<float> centroids;
    for (auto _ : state) {
        centroids = km::kmeans_train(config, set.rows, n, d, k);
        benchmark::DoNotOptimize(centroids.data());
    }
    std::vector<size_t> labels(n, 0);
    const float objective = km::assign_clusters_fast(set.rows, n, d, 0.0f, centroids, k, labels);
    state.counters["objective"] = objective;
    state.counters["mse_per_row"] = objective / static_cast<double>(n);
    tavren::pool::set_num_threads_for_testing(0);
}

constexpr size_t kProbeQueries = 2000;
constexpr size_t kProbes = 32;

struct ProbeSet {
    size_t nlist = 0;
    std::vector<float> centroids, norms, queries;
};
const ProbeSet& probe_set(size_t nlist) {
    static std::unique_ptr<ProbeSet> set;
    if (!set || set->nlist != nlist) {
        set = std::make_unique<ProbeSet>();
        set->nlist = nlist;
        set->centroids = clustered(nlist, 128, nlist / 16 + 1, 7 + nlist);
        // Queries near the centroids, as vectors of an indexed set are.
        SplitMix g{9 + nlist};
        set->queries.resize(kProbeQueries * 128);
        for (size_t i = 0; i < kProbeQueries; ++i) {
            const size_t c = g.next() % nlist;
            for (size_t t = 0; t < 128; ++t) set->queries[i * 128 + t] = set->centroids[c * 128 + t] + g.normalish();
        }
        set->norms = tavren::distance::row_norms_l2sqr(set->centroids, 128);
    }
    return *set;
}

// Args: nlist, path (0 block, 1 per-query on the pool, 2 per-query on the calling thread).
void BM_ProbeSelection(benchmark::State& state) {
    const size_t nlist = static_cast<size_t>(state.range(0));
    const int path = static_cast<int>(state.range(1));
    const ProbeSet& s = probe_set(nlist);
    const size_t d = 128;
    static const char* const kLabels[] = {"block path", "per-query path (pool)", "per-query, one thread"};
    state.SetLabel(kLabels[path]);
    for (auto _ : state) {
        if (path == 0) {
            auto r = km::find_topk_batch_with_centroid_norms(s.queries, kProbeQueries, s.centroids, s.norms, nlist, d,
                                                             kProbes);
            benchmark::DoNotOptimize(r.lists.data());
        } else if (path == 1) {
            std::vector<km::TopK> out(kProbeQueries);
            tavren::pool::parallel_for(0, kProbeQueries, 1, [&](size_t lo, size_t hi) {
                for (size_t i = lo; i < hi; ++i) {
                    out[i] = km::find_topk(std::span(s.queries).subspan(i * d, d), s.centroids, nlist, d, kProbes);
                }
            });
            benchmark::DoNotOptimize(out.data());
        } else {
            for (size_t i = 0; i < kProbeQueries; ++i) {
                auto r = km::find_topk(std::span(s.queries).subspan(i * d, d), s.centroids, nlist, d, kProbes);
                benchmark::DoNotOptimize(r.lists.data());
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kProbeQueries));
}

}  // namespace

BENCHMARK(BM_KMeansTrain)
    ->ArgNames({"k", "d", "threads"})
    ->Args({1024, 128, 1})
    ->Args({1024, 128, 0})
    ->Args({1024, 784, 1})
    ->Args({1024, 784, 0})
    ->Args({4096, 128, 1})
    ->Args({4096, 128, 0})
    ->Args({4096, 784, 1})
    ->Args({4096, 784, 0})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

BENCHMARK(BM_ProbeSelection)
    ->ArgNames({"nlist", "path"})
    ->ArgsProduct({{1024, 4096, 16384, 65536}, {0, 1, 2}})
    ->UseRealTime()
    ->MinTime(0.5)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
