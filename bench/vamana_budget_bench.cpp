// Peak memory, time and recall of the Vamana builds that fit a budget: the
// one-piece parallel build (shards = 1) or the overlapping sharded build,
// full precision or PQ-guided, against their closed-form estimates.
//
// Usage: vamana_budget_bench rows dim shards pq(0|1) threads [R] [L]
// Data: a seeded Gaussian mixture (16 clusters), l2, alpha 1.2, 8-bit PQ
// with dim / 4 subspaces trained on 5,000 rows. Run one case per process:
// the peak is the process's resident high-water mark, reset (clear_refs 5)
// once the vectors and codes are in memory, minus the resident size then.
// Prints: rows dim shards pq threads estimate-without-worker-scratch estimate
// peak peak/estimate seconds
// recall@10 at L = 64 over 200 held-out queries.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "diskann_limits.hpp"
#include "distance.hpp"
#include "kmeans.hpp"
#include "pool.hpp"
#include "pq.hpp"
#include "vamana.hpp"

namespace {

namespace va = tavren::vamana;

// A field of /proc/self/status in bytes (VmRSS, VmHWM).
uint64_t status_bytes(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10) * 1024;
    }
    return 0;
}

void reset_peak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: vamana_budget_bench rows dim shards pq threads [R] [L]\n");
        return 2;
    }
    const size_t n = std::strtoull(argv[1], nullptr, 10);
    const size_t d = std::strtoull(argv[2], nullptr, 10);
    const size_t shards = std::strtoull(argv[3], nullptr, 10);
    const bool with_pq = std::atoi(argv[4]) != 0;
    const size_t threads = std::strtoull(argv[5], nullptr, 10);
    const uint64_t r = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 32;
    const uint64_t l = argc > 7 ? std::strtoull(argv[7], nullptr, 10) : 64;
    constexpr size_t kQueries = 200;

    // Rows generated in place: no transient copy ahead of the measurement.
    std::mt19937_64 gen(42);
    const size_t clusters = 16;
    std::normal_distribution<float> centre(0.0f, 10.0f), noise(0.0f, 1.0f);
    std::vector<float> centres(clusters * d);
    for (float& c : centres) c = centre(gen);
    std::uniform_int_distribution<size_t> pick(0, clusters - 1);
    auto fill = [&](std::vector<float>& rows, size_t count) {
        rows.resize(count * d);
        for (size_t i = 0; i < count; ++i) {
            const float* c = centres.data() + pick(gen) * d;
            for (size_t k = 0; k < d; ++k) rows[i * d + k] = c[k] + noise(gen);
        }
    };
    std::vector<float> base, queries;
    fill(base, n);
    fill(queries, kQueries);

    tavren::diskann::DiskAnnBuildConfig config;
    config.max_degree = r;
    config.build_search_list_size = l;
    config.seed = 7;
    config.alpha = 1.2f;
    config.memory_budget_bytes = uint64_t{1} << 40;

    int rc = 0;
    tavren::pool::run_with_thread_cap(threads, [&] {
        const size_t workers = tavren::pool::current_num_threads();
        tavren::pq::ProductQuantizer quantizer = tavren::pq::ProductQuantizer::with_nbits_balanced(d, d / 4, 8);
        std::vector<uint8_t> codes;
        if (with_pq) {
            tavren::kmeans::KMeansConfig km;
            km.max_iter = 10;
            const size_t rows = std::min<size_t>(n, 5000);
            quantizer.train_hot_start_with_parallelism(std::span<const float>(base).first(rows * d), rows, km, false,
                                                       workers);
            codes.resize(n * quantizer.code_size());
            quantizer.encode_batch(base, n, codes);
        }

        uint64_t estimate = 0;
        uint64_t without_workers = 0;  // the sharded estimate as the formula stands
        if (shards <= 1) {
            const auto e = va::estimate_vamana_memory_bytes(n, r, l, workers);
            estimate = std::max(e->parallel_peak, e->finish_peak);
            if (with_pq) estimate += 4 * quantizer.m() * quantizer.ksub() * quantizer.ksub();
            without_workers = estimate;
        } else {
            const uint64_t rr = std::min<uint64_t>(r, n - 1);
            estimate = *va::estimate_sharded_vamana_memory_bytes(n, d, rr, shards, with_pq ? quantizer.code_size() : 0);
            if (with_pq) estimate += 4 * quantizer.m() * quantizer.ksub() * quantizer.ksub();
            without_workers = estimate;
            if (with_pq) estimate += *va::estimate_pq_shard_worker_bytes(n, rr, l, shards, workers);
        }

        // Pool threads, their stacks and allocator arenas exist before the
        // measurement: a small build first.
        {
            const size_t warm = std::min<size_t>(n, 2000);
            const auto rows = std::span<const float>(base).first(warm * d);
            (void)va::VamanaGraph::build_with_search_distance(rows, warm, d, 0, config,
                                                              va::FullPrecisionSearch{rows, d, 0});
        }
        reset_peak();
        const uint64_t before = status_bytes("VmRSS");
        const auto start = std::chrono::steady_clock::now();
        va::BuiltGraph built;
        if (shards <= 1) {
            built = with_pq ? va::VamanaGraph::build_with_pq_stats(base, quantizer, codes, n, d, 0, config)
                            : va::VamanaGraph::build_with_search_distance(base, n, d, 0, config,
                                                                          va::FullPrecisionSearch{base, d, 0});
        } else {
            built = va::VamanaGraph::build_sharded_with_optional_pq(base, with_pq ? &quantizer : nullptr, codes, n, d,
                                                                    0, config, shards);
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const uint64_t peak = status_bytes("VmHWM") - before;

        double hits = 0;
        va::GreedySearchScratch scratch(n, built.graph.max_degree(), 64);
        std::vector<va::ScoredNode> all(n);
        for (size_t q = 0; q < kQueries; ++q) {
            const std::span<const float> query(queries.data() + q * d, d);
            for (size_t i = 0; i < n; ++i) {
                all[i] = {static_cast<uint32_t>(i), tavren::distance::fvec_l2sqr(va::node_row(base, d, i), query)};
            }
            std::partial_sort(all.begin(), all.begin() + 10, all.end(), va::scored_node_less);
            std::set<uint32_t> truth;
            for (size_t i = 0; i < 10; ++i) truth.insert(all[i].id);
            built.graph.greedy_search_with_scratch(base, d, 0, query, 64, scratch);
            std::vector<va::ScoredNode> found = scratch.results();
            std::sort(found.begin(), found.end(), va::scored_node_less);
            for (size_t i = 0; i < std::min<size_t>(10, found.size()); ++i) hits += truth.count(found[i].id);
        }
        std::printf("%zu %zu %zu %d %zu %llu %llu %llu %.3f %.2f %.4f\n", n, d, shards, with_pq ? 1 : 0, workers,
                    static_cast<unsigned long long>(without_workers), static_cast<unsigned long long>(estimate),
                    static_cast<unsigned long long>(peak),
                    double(peak) / double(estimate), seconds, hits / (10.0 * kQueries));
        if (peak > estimate) rc = 1;
    });
    return rc;
}
