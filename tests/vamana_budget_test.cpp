// Vamana builds under a memory budget: the sequential build (against a
// literal one-scratch-per-search rendering of its passes), the PQ build
// distance and the PQ-guided build, the overlapping shard partition and the
// sharded build with its merge.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <vector>

#include "diskann_limits.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "kmeans.hpp"
#include "pool.hpp"
#include "pq.hpp"
#include "rng.hpp"
#include "vamana.hpp"

namespace va = tavren::vamana;
using tavren::Error;
using tavren::ErrorKind;
using tavren::diskann::DiskAnnBuildConfig;
using tavren::pq::ProductQuantizer;
using tavren::testing::expect_error;
using tavren::testing::PoolGuard;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kLargeRows = 6000;
#else
constexpr size_t kLargeRows = 50000;
#endif

// n points around `clusters` centres in an 8-dimensional latent space mapped
// to d dimensions, plus noise: data of low intrinsic dimension.
std::vector<float> clustered(size_t n, size_t d, size_t clusters, uint32_t seed) {
    constexpr size_t kLatent = 8;
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
    }
    return out;
}

DiskAnnBuildConfig config(uint64_t r, uint64_t l, float alpha = 1.2f, uint64_t seed = 42) {
    DiskAnnBuildConfig c;
    c.max_degree = r;
    c.build_search_list_size = l;
    c.seed = seed;
    c.memory_budget_bytes = uint64_t{1} << 34;
    c.alpha = alpha;
    return c;
}

ProductQuantizer trained_pq(std::span<const float> v, size_t n, size_t d, size_t m, size_t bits) {
    ProductQuantizer q = ProductQuantizer::with_nbits_balanced(d, m, bits);
    tavren::kmeans::KMeansConfig km;
    km.max_iter = 6;
    const size_t rows = std::min<size_t>(n, 4000);
    q.train_hot_start_with_parallelism(v.first(rows * d), rows, km, false, 8);
    return q;
}

std::vector<uint8_t> encode(const ProductQuantizer& q, std::span<const float> v, size_t n) {
    std::vector<uint8_t> codes(n * q.code_size());
    q.encode_batch(v, n, codes);
    return codes;
}

// Reachability, degrees and list sanity of a finished graph.
void expect_sound(const va::VamanaGraph& g, size_t max_degree) {
    EXPECT_TRUE(g.is_fully_reachable());
    EXPECT_NO_THROW(g.validate(max_degree));
    for (size_t v = 0; v < g.node_count(); ++v) ASSERT_LE(g.adjacency().degree(v), max_degree) << v;
}

// Mean recall@10 of greedy searches at list size `l` for `nq` rows of the
// data itself (each row's own neighbours by brute force, itself included).
double self_recall(const va::VamanaGraph& g, std::span<const float> v, size_t n, size_t d, uint32_t metric,
                   size_t nq, size_t l) {
    double hits = 0;
    for (size_t qi = 0; qi < nq; ++qi) {
        const size_t q = (qi * 7919) % n;
        const auto query = va::node_row(v, d, q);
        std::vector<va::ScoredNode> all(n);
        for (size_t i = 0; i < n; ++i) {
            all[i] = {static_cast<uint32_t>(i), tavren::distance::fvec_distance(va::node_row(v, d, i), query, metric)};
        }
        std::partial_sort(all.begin(), all.begin() + 10, all.end(), va::scored_node_less);
        std::set<uint32_t> truth;
        for (size_t i = 0; i < 10; ++i) truth.insert(all[i].id);
        const auto found = g.greedy_search_with_metric(v, d, metric, query, l);
        for (size_t i = 0; i < std::min<size_t>(10, found.size()); ++i) hits += truth.count(found[i].id);
    }
    return hits / (10.0 * static_cast<double>(nq));
}

// The sequential pass written as plainly as it reads: a fresh scratch for
// every search, fresh working lists for every prune.
void reference_pass(va::VamanaGraph& g, std::span<const float> v, size_t d, uint32_t metric, size_t r, float alpha,
                    size_t l, tavren::rng::StdRng& gen) {
    const size_t n = g.node_count();
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
    gen.shuffle(std::span<uint32_t>(order));
    for (const uint32_t node : order) {
        std::vector<uint32_t> ids;
        for (const auto& s : g.greedy_search_with_metric(v, d, metric, va::node_row(v, d, node), l)) {
            ids.push_back(s.id);
        }
        const auto list = g.robust_prune_with_metric(v, d, metric, alpha, node, ids, r);
        g.adjacency().set_neighbors(node, list);
        for (const uint32_t u : list) {
            const auto cur = g.adjacency()[u];
            const std::vector<uint32_t> current(cur.begin(), cur.end());
            if (std::find(current.begin(), current.end(), node) != current.end()) continue;
            if (current.size() < r) {
                g.adjacency().push_neighbor(u, node);
                continue;
            }
            std::vector<uint32_t> candidates = current;
            candidates.push_back(node);
            g.adjacency().set_neighbors(
                u, va::robust_prune_candidates(v, d, u, candidates, alpha, current, n, r, metric));
        }
    }
}

va::VamanaGraph reference_sequential(std::span<const float> v, size_t n, size_t d, uint32_t metric,
                                     const DiskAnnBuildConfig& c) {
    const size_t r = c.max_degree, d0 = std::min(n - 1, r);
    auto gen = tavren::rng::StdRng::seed_from_u64(c.seed);
    std::vector<std::vector<uint32_t>> lists;
    for (size_t i = 0; i < n; ++i) lists.push_back(va::random_neighbors(gen, n, i, d0));
    va::VamanaGraph g(va::CompactAdjacency::from_nested(lists, d0), va::centroid_entry(v, n, d, metric));
    reference_pass(g, v, d, metric, r, 1.0f, c.build_search_list_size, gen);
    reference_pass(g, v, d, metric, r, c.alpha, c.build_search_list_size, gen);
    g.repair_connectivity(v, d, r, metric);
    return g;
}

}  // namespace

// ---- sequential build -------------------------------------------------------

TEST(SequentialBuild, PeakEstimate) {
    // n 256, R 8, L 16: lists 14336, storage 8768, dense visit states of 772
    // bytes, scratch 1572.
    EXPECT_EQ(va::estimate_sequential_vamana_memory_bytes(256, 8, 16), 23104u);
    // Sparse visit states once the graph is large against what a search touches.
    const auto big = va::estimate_sequential_vamana_memory_bytes(10'000'000, 8, 16);
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(*big, 10'000'000ull * (4 * 8 + 24) + 10'000'000ull * (4 * 8 + 2) + 64 * 39063);
    EXPECT_FALSE(va::estimate_sequential_vamana_memory_bytes(uint64_t{1} << 61, 8, 16).has_value());
    // d0 is capped by n - 1, so only the product with n can overflow.
    EXPECT_TRUE(va::estimate_sequential_vamana_memory_bytes(1000, uint64_t{1} << 62, 16).has_value());
    EXPECT_FALSE(va::estimate_sequential_vamana_memory_bytes(uint64_t{1} << 58, 1024, 16).has_value());

    const auto v = clustered(256, 8, 4, 1);
    auto c = config(8, 16);
    c.memory_budget_bytes = 23104;
    EXPECT_NO_THROW((void)va::VamanaGraph::build_sequential_with_metric(v, 256, 8, 0, c));
    c.memory_budget_bytes = 23103;
    expect_error([&] { (void)va::VamanaGraph::build_sequential_with_metric(v, 256, 8, 0, c); },
                 ErrorKind::OutOfMemory, "Vamana build requires 23104 bytes, exceeding the 23103 byte memory budget");
}

TEST(SequentialBuild, RandomNeighbors) {
    auto gen = tavren::rng::StdRng::seed_from_u64(3);
    // d = n - 1: every other node, shuffled.
    auto all = va::random_neighbors(gen, 6, 2, 5);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<uint32_t>{0, 1, 3, 4, 5}));
    EXPECT_TRUE(va::random_neighbors(gen, 1, 0, 0).empty());
    // d < n - 1: distinct, never the node itself.
    for (size_t node : {0u, 17u, 99u}) {
        const auto some = va::random_neighbors(gen, 100, node, 12);
        ASSERT_EQ(some.size(), 12u);
        EXPECT_EQ(std::set<uint32_t>(some.begin(), some.end()).size(), 12u);
        EXPECT_EQ(std::count(some.begin(), some.end(), node), 0);
    }
}

TEST(SequentialBuild, MatchesThePlainRendering) {
    // The build reuses one scratch and its working lists; the graph must be
    // the one of a fresh scratch per search. Dense and sparse visit states,
    // degrees below and at n - 1, all three metrics.
    struct Case {
        size_t n, d, r, l;
        uint32_t metric;
    };
    for (const Case& k : {Case{300, 8, 8, 16, 0}, Case{9, 4, 16, 20, 0}, Case{400, 12, 6, 10, 1},
                          Case{250, 8, 10, 12, 2}, Case{5000, 8, 4, 4, 0}}) {
        SCOPED_TRACE(::testing::Message() << k.n << " " << k.metric);
        const auto v = clustered(k.n, k.d, 6, 11);
        const auto c = config(k.r, k.l);
        const auto built = va::VamanaGraph::build_sequential_with_metric(v, k.n, k.d, k.metric, c);
        EXPECT_EQ(built, reference_sequential(v, k.n, k.d, k.metric, c));
        expect_sound(built, k.r);
    }
}

TEST(SequentialBuild, EdgeSizesSeedsAndRecall) {
    const auto v = clustered(3000, 16, 20, 5);
    // One node: no neighbours, reachable.
    const auto one = va::VamanaGraph::build_sequential_with_metric(std::span<const float>(v).first(16), 1, 16, 0,
                                                                    config(8, 16));
    EXPECT_EQ(one.adjacency().degree(0), 0u);
    EXPECT_TRUE(one.is_fully_reachable());
    // Two nodes: each lists the other.
    const auto two = va::VamanaGraph::build_sequential_with_metric(std::span<const float>(v).first(32), 2, 16, 0,
                                                                    config(1, 1));
    EXPECT_EQ(two.adjacency()[0][0], 1u);
    EXPECT_EQ(two.adjacency()[1][0], 0u);

    const auto a = va::VamanaGraph::build_sequential_with_metric(v, 3000, 16, 0, config(16, 32));
    EXPECT_EQ(a, va::VamanaGraph::build_sequential_with_metric(v, 3000, 16, 0, config(16, 32)));
    EXPECT_NE(a, va::VamanaGraph::build_sequential_with_metric(v, 3000, 16, 0, config(16, 32, 1.2f, 43)));
    expect_sound(a, 16);
    EXPECT_GE(self_recall(a, v, 3000, 16, 0, 100, 50), 0.95);

    expect_error([&] { (void)va::VamanaGraph::build_sequential_with_metric(v, 3000, 16, 0, config(0, 32)); },
                 "Vamana count, dimension, and maximum degree must be greater than zero");
    expect_error([&] {
        (void)va::VamanaGraph::build_sequential_with_metric(std::span<const float>(v).first(100), 7, 16, 0,
                                                            config(4, 8));
    },
                 "Vamana vector length 100 does not match 112");
}

// ---- PQ build distance and PQ-guided build --------------------------------

TEST(PqBuildDistance, TablesAndLookups) {
    const size_t n = 500, d = 12;
    const auto v = clustered(n, d, 8, 21);
    for (size_t bits : {4u, 8u}) {
        for (size_t m : {3u, 4u}) {  // odd m with 4 bits leaves a high nibble unused
            SCOPED_TRACE(::testing::Message() << bits << " bits, m " << m);
            const auto q = trained_pq(v, n, d, m, bits);
            auto codes = encode(q, v, n);
            const va::PqBuildDistance l2(q, codes, 0);
            const va::PqBuildDistance ip(q, codes, 1);
            EXPECT_EQ(l2.tables().size(), m * q.ksub() * q.ksub());
            std::vector<float> decoded(d);
            for (size_t a : {0u, 7u, 499u}) {
                EXPECT_EQ(l2.between(a, a), 0.0f);
                // Under inner product a node's distance to itself is minus the
                // squared norms of its codewords, subspace by subspace.
                const auto code = std::span<const uint8_t>(codes).subspan(a * q.code_size(), q.code_size());
                q.decode(code, decoded);
                float expected = 0.0f;
                const auto off = q.chunk_offsets();
                for (size_t s = 0; s < m; ++s) {
                    const auto sub = std::span<const float>(decoded).subspan(off[s], off[s + 1] - off[s]);
                    expected += -tavren::distance::fvec_inner_product(sub, sub);
                }
                EXPECT_EQ(ip.between(a, a), expected);
                for (size_t b : {1u, 250u}) {
                    EXPECT_EQ(l2.between(a, b), l2.between(b, a));
                    // Up to rounding, the squared distance of the reconstructions.
                    std::vector<float> db(d);
                    q.decode(std::span<const uint8_t>(codes).subspan(b * q.code_size(), q.code_size()), db);
                    const float exact = tavren::distance::fvec_l2sqr(decoded, db);
                    EXPECT_NEAR(l2.between(a, b), exact, 1e-4f * (1.0f + exact));
                    const uint32_t ids[1] = {static_cast<uint32_t>(a)};
                    float out[1];
                    l2.score(ids, static_cast<uint32_t>(b), out);
                    EXPECT_EQ(out[0], l2.between(a, b));
                }
            }
            if (bits == 4 && m % 2 == 1) {
                // The unused high nibble of the last byte is never read.
                const float before = l2.between(3, 9);
                codes[3 * q.code_size() + q.code_size() - 1] |= 0xF0;
                EXPECT_EQ(l2.between(3, 9), before);
            }
        }
    }
}

TEST(PqGuidedBuild, InputChecks) {
    const size_t n = 300, d = 8;
    const auto v = clustered(n, d, 4, 2);
    const auto q = trained_pq(v, n, d, 4, 8);
    const auto codes = encode(q, v, n);
    const auto c = config(8, 16);
    const std::string bad = "Vamana PQ-guided build received an invalid codebook or code buffer";
    const auto short_codes = std::span<const uint8_t>(codes).first(codes.size() - 1);
    expect_error([&] { (void)va::VamanaGraph::build_with_pq_stats(v, q, short_codes, n, d, 0, c); }, bad);
    const auto other = trained_pq(clustered(n, 16, 4, 2), n, 16, 4, 8);
    expect_error([&] { (void)va::VamanaGraph::build_with_pq_stats(v, other, codes, n, d, 0, c); }, bad);
    const auto untrained = ProductQuantizer::with_nbits(d, 4, 8);
    expect_error([&] { (void)va::VamanaGraph::build_with_pq_stats(v, untrained, codes, n, d, 0, c); }, bad);
    // Shape errors come first.
    expect_error([&] { (void)va::VamanaGraph::build_with_pq_stats(v, q, short_codes, n, d, 0, config(0, 16)); },
                 "Vamana count, dimension, and maximum degree must be greater than zero");
    // The graph build's own budget check.
    auto tight = c;
    tight.memory_budget_bytes = 1000;
    EXPECT_EQ(tavren::testing::failure_of([&] { (void)va::VamanaGraph::build_with_pq_stats(v, q, codes, n, d, 0, tight); })
                  .kind,
              ErrorKind::OutOfMemory);
}

TEST(PqGuidedBuild, RecallNearFullPrecisionAndPoolIndependent) {
    const size_t n = 8000, d = 32;
    const auto v = clustered(n, d, 40, 8);
    const auto c = config(24, 48);
    for (uint32_t metric : {0u, 1u}) {
        SCOPED_TRACE(metric);
        const auto q = trained_pq(v, n, d, 16, 8);
        const auto codes = encode(q, v, n);
        va::BuiltGraph one, eight;
        {
            PoolGuard guard(1);
            one = va::VamanaGraph::build_with_pq_stats(v, q, codes, n, d, metric, c);
        }
        {
            PoolGuard guard(8);
            eight = va::VamanaGraph::build_with_pq_stats(v, q, codes, n, d, metric, c);
        }
        EXPECT_EQ(one.graph, eight.graph);
        expect_sound(one.graph, 24);
        const auto full = va::VamanaGraph::build_with_search_distance(v, n, d, metric, c,
                                                                      va::FullPrecisionSearch{v, d, metric});
        const double pq_recall = self_recall(one.graph, v, n, d, metric, 200, 64);
        const double full_recall = self_recall(full.graph, v, n, d, metric, 200, 64);
        EXPECT_GE(pq_recall, full_recall - 0.05) << pq_recall << " vs " << full_recall;
        EXPECT_GT(one.timings.initialization.count(), 0);
    }
}

// ---- shard partition and sharded build --------------------------------------

TEST(ShardedBuild, PartitionAndShardConfigs) {
    const size_t n = 2000, d = 8;
    const auto v = clustered(n, d, 12, 4);
    // Two shards: every vector in both, nothing displaced.
    const auto two = va::partition_overlapping_shards(v, n, d, 2, 42);
    EXPECT_EQ(two.capacity, n);
    ASSERT_EQ(two.members.size(), 2u);
    for (const auto& m : two.members) {
        ASSERT_EQ(m.size(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(m[i], i);
    }
    for (size_t s : {3u, 5u, 8u, 64u}) {
        SCOPED_TRACE(s);
        const auto p = va::partition_overlapping_shards(v, n, d, s, 42);
        EXPECT_EQ(p.capacity, (2 * n + s - 2) / (s - 1));
        std::vector<int> times(n, 0);
        for (const auto& m : p.members) {
            EXPECT_LE(m.size(), p.capacity);
            EXPECT_EQ(std::set<uint32_t>(m.begin(), m.end()).size(), m.size());
            for (uint32_t y : m) ++times[y];
        }
        // Each vector in two distinct shards (one only if its two nearest coincide).
        for (size_t i = 0; i < n; ++i) ASSERT_TRUE(times[i] == 2 || times[i] == 1) << i;
        EXPECT_EQ(p.members, va::partition_overlapping_shards(v, n, d, s, 42).members);
    }

    // Shard configurations: degree and list size fitted to the shard, the
    // seed from the shard's index whatever was skipped before it.
    const auto c = config(16, 32, 1.3f, 99);
    const auto k2 = va::shard_build_config(c, 5, 2);
    EXPECT_EQ(k2.max_degree, 1u);
    EXPECT_EQ(k2.build_search_list_size, 2u);
    EXPECT_EQ(k2.seed, va::mix64(99 ^ (5 * 0x9E3779B97F4A7C15ull)));
    EXPECT_EQ(k2.alpha, 1.3f);
    EXPECT_EQ(k2.memory_budget_bytes, c.memory_budget_bytes);
    const auto big = va::shard_build_config(c, 0, 1000);
    EXPECT_EQ(big.max_degree, 16u);
    EXPECT_EQ(big.build_search_list_size, 32u);
    EXPECT_EQ(big.seed, va::mix64(99));
    const auto mid = va::shard_build_config(c, 1, 10);
    EXPECT_EQ(mid.max_degree, 9u);
    EXPECT_EQ(mid.build_search_list_size, 10u);
}

TEST(ShardedBuild, ShardCountAndCodeChecks) {
    const size_t n = 40, d = 8;
    const auto v = clustered(n, d, 3, 6);
    const auto c = config(8, 16);
    const std::string msg = "Vamana shard count must be between 2 and the vector count";
    for (size_t s : {0u, 1u, 41u}) {
        expect_error([&] { (void)va::VamanaGraph::build_sharded_with_optional_pq(v, nullptr, {}, n, d, 0, c, s); },
                     msg);
    }
    const auto q = trained_pq(v, n, d, 4, 4);
    const auto codes = encode(q, v, n);
    expect_error([&] {
        (void)va::VamanaGraph::build_sharded_with_optional_pq(v, &q, std::span<const uint8_t>(codes).first(10), n, d,
                                                              0, c, 2);
    },
                 "sharded Vamana PQ-guided build received an invalid codebook or code buffer");
    // s = n: shards of a member or two; valid and reachable.
    const auto all = va::VamanaGraph::build_sharded_with_optional_pq(v, nullptr, {}, n, d, 0, c, n);
    expect_sound(all.graph, 8);
    const auto all_pq = va::VamanaGraph::build_sharded_with_optional_pq(v, &q, codes, n, d, 0, c, n);
    expect_sound(all_pq.graph, 8);
    // Degree cap R' = n - 1 on tiny inputs.
    const auto tiny = va::VamanaGraph::build_sharded_with_optional_pq(std::span<const float>(v).first(4 * d), nullptr,
                                                                      {}, 4, d, 0, config(8, 16), 2);
    expect_sound(tiny.graph, 3);
    EXPECT_EQ(tiny.graph.max_degree(), 3u);
}

TEST(ShardedBuild, LargeShardedGraphsAreSoundAndSearchable) {
    const size_t n = kLargeRows, d = 16, r = 16;
    const auto v = clustered(n, d, 60, 9);
    const auto c = config(r, 32);
    const auto full = va::VamanaGraph::build_with_search_distance(v, n, d, 0, c, va::FullPrecisionSearch{v, d, 0});
    const double one_piece = self_recall(full.graph, v, n, d, 0, 100, 50);
    const auto q = trained_pq(v, n, d, 8, 8);
    const auto codes = encode(q, v, n);
    for (size_t s : {2u, 4u, 8u}) {
        for (bool with_pq : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "s " << s << (with_pq ? " pq" : " full precision"));
            const auto built = va::VamanaGraph::build_sharded_with_optional_pq(
                v, with_pq ? &q : nullptr, with_pq ? std::span<const uint8_t>(codes) : std::span<const uint8_t>(), n,
                d, 0, c, s);
            expect_sound(built.graph, r);
            EXPECT_EQ(built.graph.max_degree(), r);
            EXPECT_GE(self_recall(built.graph, v, n, d, 0, 100, 50), one_piece - 0.05);
            EXPECT_GT(built.timings.first_pass.count(), 0);
            EXPECT_GT(built.timings.second_pass.count(), 0);
        }
    }
}

TEST(ShardedBuild, IndependentOfPoolSize) {
    const size_t n = 3000, d = 8;
    const auto v = clustered(n, d, 10, 12);
    const auto q = trained_pq(v, n, d, 4, 8);
    const auto codes = encode(q, v, n);
    const auto c = config(12, 24);
    for (bool with_pq : {false, true}) {
        auto run = [&](size_t threads) {
            PoolGuard guard(threads);
            return va::VamanaGraph::build_sharded_with_optional_pq(
                       v, with_pq ? &q : nullptr, with_pq ? std::span<const uint8_t>(codes) : std::span<const uint8_t>(),
                       n, d, 1, c, 4)
                .graph;
        };
        EXPECT_EQ(run(1), run(8)) << with_pq;
    }
    // Full-precision shards built several at a time (windows of 1, 3 and all
    // shards; a skipped shard inside a window) give the same graph.
    const auto one_at_a_time = va::VamanaGraph::build_sharded_with_optional_pq(v, nullptr, {}, n, d, 1, c, 6).graph;
    for (size_t concurrent : {3u, 6u, 64u}) {
        PoolGuard guard(8);
        EXPECT_EQ(va::VamanaGraph::build_sharded_with_optional_pq(v, nullptr, {}, n, d, 1, c, 6, concurrent).graph,
                  one_at_a_time)
            << concurrent;
    }
    const size_t few = 12;
    const auto tiny = std::span<const float>(v).first(few * d);
    const auto tiny_one = va::VamanaGraph::build_sharded_with_optional_pq(tiny, nullptr, {}, few, d, 0, c, few).graph;
    EXPECT_EQ(va::VamanaGraph::build_sharded_with_optional_pq(tiny, nullptr, {}, few, d, 0, c, few, 4).graph, tiny_one);
}
