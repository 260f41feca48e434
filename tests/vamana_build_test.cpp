// The parallel two-pass Vamana build: graph invariants and search recall on
// clustered data under the three metrics (both prune kernels: below and from
// 256 dimensions), edge sizes, independence of the pool size, seeds, and the
// memory budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "diskann_limits.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "pool.hpp"
#include "vamana.hpp"

namespace va = tavren::vamana;
using tavren::ErrorKind;
using tavren::diskann::DiskAnnBuildConfig;
using tavren::testing::PoolGuard;

namespace {

// The full-size cases run ~20,000 rows; under the sanitizers (about ten times
// slower) a fifth of that keeps the same paths covered in reasonable time.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kLargeRows = 4000;
#else
constexpr size_t kLargeRows = 20000;
#endif

// n points around `clusters` Gaussian centres in a 12-dimensional latent
// space, mapped to d dimensions by a fixed random matrix, plus a little noise
// (data of low intrinsic dimension, like real embeddings); unit rows when
// `normalise`.
std::vector<float> clustered(size_t n, size_t d, size_t clusters, uint32_t seed, bool normalise) {
    constexpr size_t kLatent = 12;
    std::mt19937 g(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> centres(clusters * kLatent);
    for (float& c : centres) c = 4.0f * nd(g);
    std::vector<float> map(kLatent * d);
    for (float& m : map) m = nd(g) / std::sqrt(static_cast<float>(kLatent));
    std::uniform_int_distribution<size_t> pick(0, clusters - 1);
    std::vector<float> out(n * d);
    float latent[kLatent];
    for (size_t i = 0; i < n; ++i) {
        const size_t c = pick(g);
        for (size_t k = 0; k < kLatent; ++k) latent[k] = centres[c * kLatent + k] + nd(g);
        for (size_t j = 0; j < d; ++j) {
            float x = 0.05f * nd(g);
            for (size_t k = 0; k < kLatent; ++k) x += latent[k] * map[k * d + j];
            out[i * d + j] = x;
        }
        if (normalise) tavren::distance::fvec_normalize(std::span<float>(out.data() + i * d, d));
    }
    return out;
}

DiskAnnBuildConfig config(uint64_t r, uint64_t l, float alpha, uint64_t seed = 42) {
    DiskAnnBuildConfig c;
    c.max_degree = r;
    c.build_search_list_size = l;
    c.seed = seed;
    c.memory_budget_bytes = uint64_t{1} << 34;
    c.alpha = alpha;
    return c;
}

// Builds over the first n rows of v.
va::BuiltGraph build(std::span<const float> v, size_t n, size_t d, uint32_t metric, const DiskAnnBuildConfig& c) {
    const auto rows = v.first(std::min(v.size(), n * d));
    return va::VamanaGraph::build_with_search_distance(rows, n, d, metric, c,
                                                       va::FullPrecisionSearch{rows, d, metric});
}

// Mean recall@10 of greedy searches at list size `l` against brute force.
double recall_at_10(const va::VamanaGraph& graph, std::span<const float> v, size_t n, size_t d, uint32_t metric,
                    const std::vector<float>& queries, size_t nq, size_t l) {
    size_t hits = 0;
    std::vector<va::ScoredNode> all(n);
    for (size_t q = 0; q < nq; ++q) {
        const std::span<const float> query(queries.data() + q * d, d);
        for (size_t i = 0; i < n; ++i) {
            all[i] = {static_cast<uint32_t>(i),
                      tavren::distance::fvec_distance(std::span<const float>(v.data() + i * d, d), query, metric)};
        }
        std::partial_sort(all.begin(), all.begin() + 10, all.end(), va::scored_node_less);
        const auto found = graph.greedy_search_with_metric(v.first(n * d), d, metric, query, l);
        for (size_t k = 0; k < 10 && k < found.size(); ++k) {
            for (size_t t = 0; t < 10; ++t) hits += found[k].id == all[t].id ? 1 : 0;
        }
    }
    return static_cast<double>(hits) / static_cast<double>(10 * nq);
}

struct MetricCase {
    const char* name;
    size_t d;
    uint32_t metric;
};

// ~20k clustered rows (fewer under the sanitizers) at 16 and 300 dimensions under each metric (cosine on
// unit rows): the build passes validate(R) and the reachability check, and
// greedy search at L = 100 finds at least 95% of the true 10 nearest.
TEST(VamanaBuild, ClusteredDataIsValidReachableAndSearchable) {
    const MetricCase cases[] = {
        {"l2 d16", 16, tavren::kMetricL2},           {"ip d16", 16, tavren::kMetricInnerProduct},
        {"cosine d16", 16, tavren::kMetricCosine},   {"l2 d300", 300, tavren::kMetricL2},
        {"ip d300", 300, tavren::kMetricInnerProduct}, {"cosine d300", 300, tavren::kMetricCosine},
    };
    for (const MetricCase& mc : cases) {
        SCOPED_TRACE(mc.name);
        const size_t n = kLargeRows;
        const bool unit = mc.metric == tavren::kMetricCosine;
        const auto data = clustered(n + 50, mc.d, 64, static_cast<uint32_t>(mc.d + mc.metric), unit);
        const std::span<const float> v = std::span<const float>(data).first(n * mc.d);
        const std::vector<float> queries(data.begin() + static_cast<ptrdiff_t>(n * mc.d), data.end());
        const auto c = config(40, 80, 1.2f);
        const auto built = build(v, n, mc.d, mc.metric, c);
        const va::VamanaGraph& g = built.graph;
        EXPECT_EQ(g.node_count(), n);
        EXPECT_EQ(g.max_degree(), 40u);
        EXPECT_NO_THROW(g.validate(40));
        EXPECT_TRUE(g.is_fully_reachable());
        EXPECT_EQ(g.entry(), va::centroid_entry(v, n, mc.d, mc.metric));
        EXPECT_GE(recall_at_10(g, v, n, mc.d, mc.metric, queries, 50, 100), 0.95);
    }
}

struct EdgeCase {
    size_t n;
    size_t expected_max_degree;
};

TEST(VamanaBuild, EdgeSizes) {
    const EdgeCase cases[] = {{1, 0}, {2, 1}, {129, 64}, {257, 64}, {40, 39}};
    for (const EdgeCase& ec : cases) {
        SCOPED_TRACE(ec.n);
        const size_t d = 8;
        const auto v = clustered(ec.n, d, 4, 7, false);
        const auto built = build(v, ec.n, d, tavren::kMetricL2, config(64, 80, 1.2f));
        const va::VamanaGraph& g = built.graph;
        EXPECT_EQ(g.node_count(), ec.n);
        EXPECT_EQ(g.max_degree(), ec.expected_max_degree);
        EXPECT_EQ(g.adjacency().shards().size(), (ec.n + 255) / 256);
        EXPECT_NO_THROW(g.validate(64));
        EXPECT_TRUE(g.is_fully_reachable());
    }
    // n = 2: each node ends with the other as its only neighbour.
    const auto v = clustered(2, 4, 1, 3, false);
    const auto g = build(v, 2, 4, tavren::kMetricL2, config(64, 80, 1.2f)).graph;
    EXPECT_EQ(std::vector<uint32_t>(g.adjacency()[0].begin(), g.adjacency()[0].end()), std::vector<uint32_t>{1});
    EXPECT_EQ(std::vector<uint32_t>(g.adjacency()[1].begin(), g.adjacency()[1].end()), std::vector<uint32_t>{0});
    // n = 1: an empty list.
    const auto one = build(v, 1, 4, tavren::kMetricL2, config(64, 80, 1.2f)).graph;
    EXPECT_EQ(one.adjacency().degree(0), 0u);
}

// The graph is the same whatever the pool size and on every run; another seed
// gives another graph. Both prune kernels (d below and from 256) are covered.
TEST(VamanaBuild, IndependentOfPoolSizeAndRepeatable) {
    for (const size_t d : {size_t{16}, size_t{260}}) {
        SCOPED_TRACE(d);
        const size_t n = d == 16 ? 3000 : 1200;
        const auto v = clustered(n, d, 16, 11, false);
        const auto c = config(24, 40, 1.2f, 7);
        va::VamanaGraph reference;
        {
            PoolGuard guard(1);
            reference = build(v, n, d, tavren::kMetricL2, c).graph;
        }
        for (const size_t threads : {size_t{2}, size_t{8}, size_t{8}}) {
            PoolGuard guard(threads);
            EXPECT_TRUE(build(v, n, d, tavren::kMetricL2, c).graph == reference) << threads << " threads";
        }
        const auto other = build(v, n, d, tavren::kMetricL2, config(24, 40, 1.2f, 8)).graph;
        EXPECT_FALSE(other == reference);
    }
}

// The scalar kernels give a valid graph too (the same decisions up to rounding).
TEST(VamanaBuild, ScalarKernels) {
    tavren::testing::RestoreDetection restore;
    tavren::distance::force_scalar_for_testing(true);
    for (const size_t d : {size_t{16}, size_t{300}}) {
        const size_t n = 600;
        const auto v = clustered(n + 20, d, 8, 5, false);
        const auto g = build(v, n, d, tavren::kMetricL2, config(16, 32, 1.2f)).graph;
        EXPECT_NO_THROW(g.validate(16));
        EXPECT_TRUE(g.is_fully_reachable());
        const std::vector<float> q(v.begin() + static_cast<ptrdiff_t>(n * d), v.end());
        EXPECT_GE(recall_at_10(g, v, n, d, tavren::kMetricL2, q, 20, 100), 0.95);
    }
}

// A budget of the estimate passes; one byte less fails before anything large
// is allocated, with the out-of-memory kind.
TEST(VamanaBuild, MemoryBudget) {
    const size_t n = 500, d = 8;
    const auto v = clustered(n, d, 4, 9, false);
    auto c = config(16, 24, 1.2f);
    const auto est = va::estimate_vamana_memory_bytes(n, 16, 24, tavren::pool::current_num_threads());
    ASSERT_TRUE(est.has_value());
    const uint64_t peak = std::max(est->parallel_peak, est->finish_peak);
    c.memory_budget_bytes = peak;
    EXPECT_NO_THROW(build(v, n, d, tavren::kMetricL2, c));
    c.memory_budget_bytes = peak - 1;
    tavren::testing::expect_error([&] { build(v, n, d, tavren::kMetricL2, c); }, ErrorKind::OutOfMemory,
                                  "Vamana build requires " + std::to_string(peak) + " bytes, exceeding the " +
                                      std::to_string(peak - 1) + " byte memory budget");
}

TEST(VamanaBuild, InputChecks) {
    const std::vector<float> v(40, 1.0f);
    tavren::testing::expect_error([&] { build(v, 10, 4, 0, config(0, 10, 1.0f)); },
                                  "Vamana count, dimension, and maximum degree must be greater than zero");
    tavren::testing::expect_error([&] { build(v, 11, 4, 0, config(4, 10, 1.0f)); },
                                  "Vamana vector length 40 does not match 44");
    tavren::testing::expect_error([&] { build(v, 10, 4, 0, config(65536, 10, 1.0f)); },
                                  "Vamana maximum degree exceeds u16 adjacency degree limit");
}

// Identical rows: every distance ties, the build still yields a valid,
// reachable graph (repair attaches whatever the prunes cut off).
TEST(VamanaBuild, DuplicateRows) {
    const size_t n = 300, d = 4;
    const std::vector<float> v(n * d, 0.5f);
    const auto g = build(v, n, d, tavren::kMetricL2, config(8, 16, 1.2f)).graph;
    EXPECT_NO_THROW(g.validate(8));
    EXPECT_TRUE(g.is_fully_reachable());
}

}  // namespace
