// Parallel Vamana build time and greedy-search recall, at several pool sizes.
//
// Data: Fashion-MNIST (60,000 x 784 train images as the graph, 200 test images
// as queries; TD_FASHION_MNIST_DIR, default /usr/share/datasets/fashion-mnist)
// or a seeded Gaussian mixture of 200,000 x 128 (256 clusters, 200 extra rows
// as queries). Metric l2, R 64, L 100, alpha 1.2 unless given.
//
// Usage: vamana_build_bench fashion|gauss [threads...] [--r R] [--l L] [--alpha A] [--rows N]
// Prints one row per pool size: build seconds (with the four phases) and the
// mean recall@10 of greedy searches at L = 50, 100, 200 against brute force.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dataset.hpp"
#include "diskann_limits.hpp"
#include "distance.hpp"
#include "pool.hpp"
#include "vamana.hpp"

namespace {

namespace va = tavren::vamana;

struct Data {
    std::string name;
    size_t n = 0, d = 0, nq = 0;
    std::vector<float> base, queries;
};

Data gaussian_mixture(size_t n, size_t d, size_t nq) {
    Data out;
    out.name = "gauss-mixture";
    out.n = n;
    out.d = d;
    out.nq = nq;
    std::mt19937_64 gen(42);
    const size_t clusters = 256;
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
    fill(out.base, n);
    fill(out.queries, nq);
    return out;
}

Data fashion(size_t max_rows, size_t nq) {
    const char* env = std::getenv("TD_FASHION_MNIST_DIR");
    const std::string dir = env ? env : "/usr/share/datasets/fashion-mnist";
    tavren::ann::Dataset ds = tavren::ann::load_fashion_mnist(dir, max_rows, nq);
    Data out;
    out.name = "fashion-mnist";
    out.n = ds.base.rows;
    out.d = ds.base.cols;
    out.nq = ds.queries.rows;
    out.base = std::move(ds.base.data);
    out.queries = std::move(ds.queries.data);
    return out;
}

std::vector<std::vector<uint32_t>> ground_truth(const Data& data) {
    std::vector<std::vector<uint32_t>> truth(data.nq);
    tavren::pool::parallel_for_each_index(data.nq, [&](size_t q) {
        std::vector<va::ScoredNode> all(data.n);
        const std::span<const float> query(data.queries.data() + q * data.d, data.d);
        for (size_t i = 0; i < data.n; ++i) {
            all[i] = {static_cast<uint32_t>(i),
                      tavren::distance::fvec_l2sqr(std::span<const float>(data.base.data() + i * data.d, data.d), query)};
        }
        std::partial_sort(all.begin(), all.begin() + 10, all.end(), va::scored_node_less);
        for (size_t k = 0; k < 10; ++k) truth[q].push_back(all[k].id);
    });
    return truth;
}

double recall(const va::VamanaGraph& g, const Data& data, const std::vector<std::vector<uint32_t>>& truth, size_t l) {
    size_t hits = 0;
    for (size_t q = 0; q < data.nq; ++q) {
        const auto found = g.greedy_search_with_metric(
            data.base, data.d, 0, std::span<const float>(data.queries.data() + q * data.d, data.d), l);
        for (size_t k = 0; k < 10 && k < found.size(); ++k) {
            hits += std::count(truth[q].begin(), truth[q].end(), found[k].id);
        }
    }
    return static_cast<double>(hits) / static_cast<double>(10 * data.nq);
}

// FNV-1a over the entry, every degree and every list: equal graphs, equal hashes.
uint64_t graph_hash(const va::VamanaGraph& g) {
    uint64_t h = 0xCBF29CE484222325ull;
    auto add = [&](uint64_t x) {
        h ^= x;
        h *= 0x100000001B3ull;
    };
    add(g.entry());
    for (size_t v = 0; v < g.node_count(); ++v) {
        const auto list = g.adjacency()[v];
        add(list.size());
        for (const uint32_t u : list) add(u);
    }
    return h;
}

double secs(std::chrono::nanoseconds ns) { return std::chrono::duration<double>(ns).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s fashion|gauss [threads...] [--r R] [--l L] [--alpha A] [--rows N]\n", argv[0]);
        return 2;
    }
    const std::string which = argv[1];
    std::vector<size_t> threads;
    tavren::diskann::DiskAnnBuildConfig config;
    config.max_degree = 64;
    config.build_search_list_size = 100;
    config.alpha = 1.2f;
    config.seed = 42;
    config.memory_budget_bytes = uint64_t{1} << 36;
    size_t rows = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--r" && i + 1 < argc) {
            config.max_degree = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--l" && i + 1 < argc) {
            config.build_search_list_size = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--alpha" && i + 1 < argc) {
            config.alpha = std::strtof(argv[++i], nullptr);
        } else if (a == "--rows" && i + 1 < argc) {
            rows = std::strtoull(argv[++i], nullptr, 10);
        } else {
            threads.push_back(std::strtoull(a.c_str(), nullptr, 10));
        }
    }
    if (threads.empty()) threads.push_back(0);
    const Data data = which == "fashion" ? fashion(rows, 200) : gaussian_mixture(rows ? rows : 200000, 128, 200);
    const auto truth = ground_truth(data);

    std::printf("%s %zu x %zu, R %llu, L %llu, alpha %.2f\n", data.name.c_str(), data.n, data.d,
                static_cast<unsigned long long>(config.max_degree),
                static_cast<unsigned long long>(config.build_search_list_size), static_cast<double>(config.alpha));
    std::printf("| threads | build s | init s | pass 1 s | pass 2 s | repair s | recall@10 L50 | L100 | L200 | graph hash |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const size_t t : threads) {
        tavren::pool::set_num_threads_for_testing(t);
        const auto start = std::chrono::steady_clock::now();
        const va::BuiltGraph built = va::VamanaGraph::build_with_search_distance(
            data.base, data.n, data.d, 0, config, va::FullPrecisionSearch{data.base, data.d, 0});
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("| %zu | %.2f | %.2f | %.2f | %.2f | %.3f | %.4f | %.4f | %.4f | %016llx |\n",
                    tavren::pool::current_num_threads(), total, secs(built.timings.initialization),
                    secs(built.timings.first_pass), secs(built.timings.second_pass), secs(built.timings.repair),
                    recall(built.graph, data, truth, 50), recall(built.graph, data, truth, 100),
                    recall(built.graph, data, truth, 200), static_cast<unsigned long long>(graph_hash(built.graph)));
        std::fflush(stdout);
    }
    return 0;
}
