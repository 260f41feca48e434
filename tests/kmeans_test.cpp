// k-means training and cluster assignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "rng.hpp"

namespace km = tavren::kmeans;
using tavren::AssertionFailure;
using tavren::kF32Max;
using tavren::rng::StdRng;

namespace {

// Rows around `clusters` random centres (centre spread `spread`, noise `noise`).
std::vector<float> clustered(size_t n, size_t d, size_t clusters, uint32_t seed, float spread = 10.0f,
                             float noise = 1.0f, float offset = 0.0f) {
    std::mt19937 g(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> centres(clusters * d);
    for (float& c : centres) c = nd(g) * spread + offset;
    std::vector<float> out(n * d);
    for (size_t i = 0; i < n; ++i) {
        const size_t c = g() % clusters;
        for (size_t t = 0; t < d; ++t) out[i * d + t] = centres[c * d + t] + nd(g) * noise;
    }
    return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

using tavren::testing::assertion_text;

using tavren::testing::PoolGuard;

km::KMeansConfig config(uint64_t max_iter, uint64_t nredo, uint64_t mppc, uint64_t seed, float balance = 0.0f) {
    return km::KMeansConfig{max_iter, nredo, mppc, seed, balance};
}

std::vector<float> row(const std::vector<float>& m, size_t i, size_t d) {
    return std::vector<float>(m.begin() + static_cast<std::ptrdiff_t>(i * d),
                              m.begin() + static_cast<std::ptrdiff_t>((i + 1) * d));
}

}  // namespace

// ---- argument checks ----------------------------------------------------------

TEST(KMeansChecks, ShapeAssertions) {
    const std::vector<float> data(6, 1.0f);
    const auto cfg = config(5, 1, 256, 1);
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string expected_prefix;
    };
    const std::vector<float> init_short(3, 0.0f);
    const Case cases[] = {
        {"data overflow", [&] { km::kmeans_train(cfg, data, size_t{1} << 33, size_t{1} << 33, 2); },
         "data shape overflows usize"},
        {"data length", [&] { km::kmeans_train(cfg, data, 4, 2, 2); },
         "assertion `left == right` failed: data length does not match n * d\n  left: 6\n right: 8"},
        {"centroid overflow", [&] { km::kmeans_train(cfg, data, 3, 2, size_t{1} << 63); },
         "centroid shape overflows usize"},
        {"init length",
         [&] { km::kmeans_train_with_init(cfg, data, 3, 2, 2, std::span<const float>(init_short)); },
         "assertion `left == right` failed: initial_centroids length does not match k * d"},
        {"with_init data length", [&] { km::kmeans_train_with_init(cfg, data, 2, 2, 2, std::nullopt); },
         "assertion `left == right` failed: data length does not match n * d"},
    };
    for (const Case& c : cases) {
        const std::string text = assertion_text(c.call);
        EXPECT_EQ(text.substr(0, c.expected_prefix.size()), c.expected_prefix) << c.name << ": " << text;
    }
}

// ---- the edge table -------------------------------------------------------------

TEST(KMeansTrain, EdgeTable) {
    const size_t d = 2;
    const std::vector<float> three{1, 2, 3, 4, 5, 6};
    const std::vector<float> ten = clustered(10, d, 2, 3);

    // n = 0 and k = 0.
    EXPECT_EQ(km::kmeans_train(config(5, 1, 256, 1), {}, 0, d, 3), std::vector<float>(6, 0.0f));
    EXPECT_TRUE(km::kmeans_train(config(5, 1, 256, 1), three, 3, d, 0).empty());
    EXPECT_EQ(km::kmeans_train_with_init(config(5, 1, 256, 1), {}, 0, d, 3, std::nullopt),
              std::vector<float>(6, 0.0f));

    // n <= k without sampling: k = 5 over 3 rows gives rows 0, 1, 2, 0, 1.
    EXPECT_EQ(km::kmeans_train(config(5, 1, 256, 1), three, 3, d, 5),
              (std::vector<float>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4}));
    // n = k: the rows themselves, on the plain path even at k >= 257.
    {
        const size_t k = 300;
        const std::vector<float> rows = clustered(k, d, 7, 4);
        EXPECT_TRUE(same_bits(km::kmeans_train(config(5, 1, 256, 1), rows, k, d, k), rows));
    }

    // n <= k after sampling: 10 rows, k = 4, one point per centroid: the sample
    // of 4 rows drawn by the seeded generator, in sample order.
    {
        StdRng g = StdRng::seed_from_u64(99);
        const std::vector<float> sample = km::subsample(ten, 10, d, 4, g);
        EXPECT_TRUE(same_bits(km::kmeans_train(config(5, 1, 1, 99), ten, 10, d, 4), sample));
        // Initial centroids are ignored on this path, but the sample is still drawn.
        const std::vector<float> init(8, 42.0f);
        EXPECT_TRUE(same_bits(km::kmeans_train_with_init(config(5, 1, 1, 99), ten, 10, d, 4, init), sample));
    }

    // No runs: zeros.
    EXPECT_EQ(km::kmeans_train(config(5, 0, 256, 1), ten, 10, d, 3), std::vector<float>(6, 0.0f));

    // No dimensions: nothing to return, on both paths, without faults.
    EXPECT_TRUE(km::kmeans_train(config(5, 1, 256, 1), {}, 400, 0, 300).empty());
    EXPECT_TRUE(km::kmeans_train(config(5, 1, 256, 1), {}, 400, 0, 12).empty());
}

TEST(KMeansTrain, SubsampleIsPartialFisherYates) {
    // Seed 1: gen_range(0, 5): v = 0xf9681a64d3301861, low64(v * 5) = 0xdf0883f81ff079e5 > zone
    // 0x9fffffffffffffff, rejected; v = 0xb0f4d125cc0d694a, low 0x74c815bcfc430e72 accepted, j = 3.
    // gen_range(1, 5): w = 4, zone 0x7fffffffffffffff; v = 0x6d8fc15a3248c9da and
    // v = 0x2cf33517376425d3 rejected; v = 0x412a4de2c53d7454 accepted with high 1, j = 2.
    // idx: [0,1,2,3,4] -> swap(0,3) -> [3,1,2,0,4] -> swap(1,2) -> [3,2,1,0,4]: rows 3, 2.
    const std::vector<float> data{0, 0, 1, 1, 2, 2, 3, 3, 4, 4};
    StdRng g = StdRng::seed_from_u64(1);
    EXPECT_EQ(km::subsample(data, 5, 2, 2, g), (std::vector<float>{3, 3, 2, 2}));

    StdRng h = StdRng::seed_from_u64(5);
    std::vector<float> all = km::subsample(data, 5, 2, 5, h);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<float>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4}));
    EXPECT_THROW(km::subsample(data, 5, 2, 6, h), AssertionFailure);
}

TEST(KMeansTrain, PlusPlusSeedsAreDataRowsAndDrawsFollowTheRule) {
    const size_t n = 200, d = 3, k = 6;
    const std::vector<float> data = clustered(n, d, 6, 8);
    StdRng g = StdRng::seed_from_u64(5);
    const std::vector<float> seeds = km::kmeans_plusplus_init(data, n, d, k, g);
    // One integer draw then k - 1 f32 draws: a fresh generator advanced by the
    // same draws continues identically.
    StdRng h = StdRng::seed_from_u64(5);
    (void)h.gen_range(0, n);
    for (size_t i = 1; i < k; ++i) (void)h.gen_f32();
    EXPECT_EQ(g.next_u64(), h.next_u64());
    // The first seed is row gen_range(0, n).
    StdRng first = StdRng::seed_from_u64(5);
    EXPECT_EQ(row(seeds, 0, d), row(data, first.gen_range(0, n), d));
    for (size_t i = 0; i < k; ++i) {
        bool found = false;
        for (size_t j = 0; j < n && !found; ++j) found = row(seeds, i, d) == row(data, j, d);
        EXPECT_TRUE(found) << i;
    }
    // All distances zero: the threshold is 0 and row 0 is chosen every time.
    const std::vector<float> same(30, 7.0f);
    StdRng z = StdRng::seed_from_u64(3);
    const std::vector<float> zs = km::kmeans_plusplus_init(same, 10, 3, 4, z);
    EXPECT_EQ(zs, std::vector<float>(12, 7.0f));
}

TEST(KMeansTrain, ConvergencePredicate) {
    struct Case {
        float prev, obj;
        bool converged;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {kF32Max, kF32Max, false},            // the sentinel never converges
        {1e6f, 1e6f + 1.0f, false},           // relative change exactly 1e-6 (1 / 1e6 rounds to 1e-6f)
        {1e6f, 1e6f + 0.9375f, true},         // just below
        {1e6f, 1e6f - 1.0f, false},
        {0.0f, 0.0f, true},                   // max(prev, 1e-10) guards the division
        {0.0f, 1e-17f, true},                 // 1e-17 / 1e-10 = 1e-7
        {0.0f, 1e-15f, false},                // 1e-15 / 1e-10 = 1e-5
        {nan, 1.0f, false},
        {1.0f, nan, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(km::objective_converged(c.prev, c.obj), c.converged) << c.prev << " " << c.obj;
    }
}

TEST(KMeansTrain, RunsStopByTheConvergenceRule) {
    const size_t n = 3000, d = 8, k = 12;
    const std::vector<float> data = clustered(n, d, 12, 21);
    km::KMeansTrace trace;
    (void)km::kmeans_train_with_init(config(60, 3, 256, 7), data, n, d, k, std::nullopt, &trace);
    ASSERT_EQ(trace.runs.size(), 3u);
    for (const auto& run : trace.runs) {
        const auto& o = run.objectives;
        ASSERT_GE(o.size(), 2u);  // the first iteration never stops a run
        bool stopped = false;
        for (size_t t = 1; t < o.size(); ++t) {
            const bool conv = km::objective_converged(o[t - 1], o[t]);
            if (t + 1 < o.size()) {
                EXPECT_FALSE(conv) << "ran past convergence at " << t;
            }
            stopped = conv;
        }
        if (stopped) {
            // The run's objective is the one before the stopping iteration.
            EXPECT_EQ(bits(run.objective), bits(o[o.size() - 2]));
        } else {
            EXPECT_EQ(o.size(), 60u);
            EXPECT_EQ(bits(run.objective), bits(o.back()));
        }
    }
}

// With n > k no empty-cluster draw happens, so run r of a call equals a
// one-run call started from the r-th k-means++ seeding of the same generator.
TEST(KMeansTrain, BestRunIsStrictlyBetterElseTheFirst) {
    const size_t n = 300, d = 2;
    bool saw_equal = false, saw_better = false;
    for (uint64_t seed = 1; seed < 200 && !(saw_equal && saw_better); ++seed) {
        const size_t k = saw_equal ? 5 : 3;
        const std::vector<float> data = clustered(n, d, 3, 1000 + static_cast<uint32_t>(seed % 7), 50.0f, 0.5f);
        StdRng g = StdRng::seed_from_u64(seed);
        const std::vector<float> s0 = km::kmeans_plusplus_init(data, n, d, k, g);
        const std::vector<float> s1 = km::kmeans_plusplus_init(data, n, d, k, g);
        km::KMeansTrace t0, t1, both;
        const auto cfg1 = config(30, 1, 256, seed);
        const std::vector<float> r0 = km::kmeans_train_with_init(cfg1, data, n, d, k, s0, &t0);
        const std::vector<float> r1 = km::kmeans_train_with_init(cfg1, data, n, d, k, s1, &t1);
        const std::vector<float> r = km::kmeans_train_with_init(config(30, 2, 256, seed), data, n, d, k,
                                                                std::nullopt, &both);
        ASSERT_EQ(both.runs.size(), 2u);
        ASSERT_EQ(bits(both.runs[0].objective), bits(t0.runs[0].objective));
        ASSERT_EQ(bits(both.runs[1].objective), bits(t1.runs[0].objective));
        const float o0 = t0.runs[0].objective, o1 = t1.runs[0].objective;
        if (o1 < o0) {
            EXPECT_TRUE(same_bits(r, r1));
            EXPECT_EQ(both.kept_run, std::optional<size_t>(1));
            saw_better = true;
        } else {
            EXPECT_TRUE(same_bits(r, r0));
            EXPECT_EQ(both.kept_run, std::optional<size_t>(0));
            if (o1 == o0 && !same_bits(r0, r1)) saw_equal = true;
        }
    }
    EXPECT_TRUE(saw_equal) << "no seed gave two different runs with equal objectives";
    EXPECT_TRUE(saw_better) << "no seed gave a strictly better second run";
}

TEST(KMeansTrain, InitialCentroidsGiveExactlyOneRun) {
    const size_t n = 500, d = 4, k = 5;
    const std::vector<float> data = clustered(n, d, 5, 31);
    const std::vector<float> init(data.begin(), data.begin() + k * d);
    km::KMeansTrace a, b;
    const auto ra = km::kmeans_train_with_init(config(20, 1, 256, 3), data, n, d, k, init, &a);
    const auto rb = km::kmeans_train_with_init(config(20, 7, 256, 3), data, n, d, k, init, &b);
    EXPECT_EQ(b.runs.size(), 1u);
    EXPECT_TRUE(same_bits(ra, rb));
    // With sampling the init is still used on the sample: the result differs
    // from a k-means++ start but stays reproducible.
    const auto sa = km::kmeans_train_with_init(config(20, 1, 20, 3), data, n, d, k, init);
    const auto sb = km::kmeans_train_with_init(config(20, 1, 20, 3), data, n, d, k, init);
    EXPECT_TRUE(same_bits(sa, sb));
}

// Inputs whose squared norms overflow make every matrix-product cost NaN, so
// every run's objective is +inf. Returning k*d zeros would send every vector
// to list 0; the first run's centroids are kept instead.
TEST(KMeansTrain, OverflowingObjectiveKeepsFirstRun) {
    const size_t n = 200, d = 4, k = 4;
    std::mt19937 g(5);
    std::normal_distribution<float> nd(0.0f, 1e17f);
    std::vector<float> data(n * d);
    for (float& v : data) v = 2e19f + nd(g);
    km::KMeansTrace trace;
    const std::vector<float> c = km::kmeans_train_with_init(config(10, 2, 256, 1234), data, n, d, k, std::nullopt,
                                                            &trace);
    ASSERT_EQ(trace.runs.size(), 2u);
    EXPECT_EQ(trace.runs[0].objective, std::numeric_limits<float>::infinity());
    EXPECT_FALSE(trace.kept_run.has_value());
    ASSERT_EQ(c.size(), k * d);
    for (float v : c) {
        EXPECT_TRUE(std::isfinite(v));
        EXPECT_GT(v, 1e19f);
    }
    std::set<size_t> lists;
    for (size_t i = 0; i < n; ++i) lists.insert(km::find_nearest(std::span(data).subspan(i * d, d), c, k, d));
    EXPECT_GT(lists.size(), 1u);

    // max_iter = 0 never beats the sentinel either: the first run's seeds.
    StdRng seeds_rng = StdRng::seed_from_u64(77);
    const std::vector<float> seeds = km::kmeans_plusplus_init(data, n, d, k, seeds_rng);
    EXPECT_TRUE(same_bits(km::kmeans_train_with_init(config(0, 3, 256, 77), data, n, d, k, std::nullopt), seeds));
}

// A cap of 0 points per centroid would leave an empty sample (and a modulo by
// zero); it counts as 1.
TEST(KMeansTrain, ZeroPointsPerCentroidActsAsOne) {
    const size_t d = 3;
    const std::vector<float> data = clustered(50, d, 4, 12);
    EXPECT_TRUE(same_bits(km::kmeans_train(config(10, 1, 0, 9), data, 50, d, 4),
                          km::kmeans_train(config(10, 1, 1, 9), data, 50, d, 4)));
    const std::vector<float> big = clustered(600, d, 20, 13);
    const std::vector<float> h0 = km::kmeans_train(config(10, 1, 0, 9), big, 600, d, 257);
    EXPECT_EQ(h0.size(), 257 * d);
    EXPECT_TRUE(same_bits(h0, km::kmeans_train(config(10, 1, 1, 9), big, 600, d, 257)));
}

// ---- hierarchical variant ----------------------------------------------------------

TEST(KMeansHierarchical, PathChoice) {
    const size_t d = 4;
    const auto cfg = config(8, 1, 256, 1234);
    {
        const std::vector<float> data = clustered(258, d, 30, 41);
        const auto viaTrain = km::kmeans_train(cfg, data, 258, d, 257);
        EXPECT_TRUE(same_bits(viaTrain, km::kmeans_train_hierarchical(cfg, data, 258, d, 257)));
        EXPECT_FALSE(same_bits(viaTrain, km::kmeans_train_with_init(cfg, data, 258, d, 257, std::nullopt)));
    }
    {
        const std::vector<float> data = clustered(1000, d, 30, 42);
        EXPECT_TRUE(same_bits(km::kmeans_train(cfg, data, 1000, d, 256),
                              km::kmeans_train_with_init(cfg, data, 1000, d, 256, std::nullopt)));
    }
}

TEST(KMeansHierarchical, IdenticalRowsRepeatTheFirstLevelCyclically) {
    const size_t n = 400, d = 3, k = 300;
    std::vector<float> data(n * d);
    for (size_t i = 0; i < n; ++i) {
        data[i * d] = 1.5f;
        data[i * d + 1] = -2.0f;
        data[i * d + 2] = 3.25f;
    }
    const auto cfg = config(6, 1, 256, 1234);
    const std::vector<float> out = km::kmeans_train(cfg, data, n, d, k);
    ASSERT_EQ(out.size(), k * d);
    for (size_t i = 16; i < k; ++i) ASSERT_EQ(row(out, i, d), row(out, i % 16, d)) << i;
    const std::vector<float> c16 = km::kmeans_train_with_init(config(6, 1, 256, 1234), data, n, d, 16, std::nullopt);
    std::multiset<std::vector<float>> first, level;
    for (size_t i = 0; i < 16; ++i) {
        first.insert(row(out, i, d));
        level.insert(row(c16, i, d));
    }
    EXPECT_EQ(first, level);
}

TEST(KMeansHierarchical, ClusterHeapPopOrder) {
    // Expected orders follow the heap discipline by hand, e.g. four clusters of
    // equal size 0,1,2,3: push keeps [0,1,2,3]; pop returns 0, takes 3 out,
    // moves the hole to the right child 2 (equal counts go right) and leaves
    // [2,1,3]; the next pop returns 2, then 1, then 3.
    struct Case {
        std::vector<size_t> counts;
        std::vector<size_t> order;
    };
    const Case cases[] = {
        {{3, 3, 3, 3}, {0, 2, 1, 3}},
        {{1, 5, 3, 5, 2, 5, 4}, {1, 5, 3, 6, 2, 4, 0}},
        {{2, 2, 2, 2, 2, 2, 2, 2, 2}, {0, 2, 6, 8, 5, 7, 4, 1, 3}},
    };
    for (const Case& c : cases) {
        km::ClusterHeap heap;
        for (size_t i = 0; i < c.counts.size(); ++i) {
            heap.push(km::Cluster{{static_cast<float>(i)}, std::vector<size_t>(c.counts[i], 0)});
        }
        std::vector<size_t> order;
        while (auto top = heap.pop()) order.push_back(static_cast<size_t>(top->centroid[0]));
        EXPECT_EQ(order, c.order);
        EXPECT_TRUE(heap.empty());
    }
}

// ---- determinism across pool sizes ---------------------------------------------------

TEST(KMeansDeterminism, TrainingIsIdenticalAtEveryPoolSize) {
    PoolGuard guard;
    struct Case {
        size_t n, d, k;
    };
    const Case cases[] = {{20000, 32, 64}, {9000, 8, 300}};
    for (const Case& c : cases) {
        const std::vector<float> data = clustered(c.n, c.d, c.k / 2 + 1, 77);
        std::vector<float> reference;
        for (size_t threads : {1, 2, 8}) {
            tavren::pool::set_num_threads_for_testing(threads);
            const std::vector<float> out = km::kmeans_train(config(12, 2, 256, 1234), data, c.n, c.d, c.k);
            if (reference.empty()) {
                reference = out;
            } else {
                EXPECT_TRUE(same_bits(out, reference)) << c.k << " at " << threads << " threads";
            }
        }
    }
}

// ---- cluster assignment -----------------------------------------------------------------

TEST(Assignment, PlanTable) {
    using Mode = km::AssignmentPlan::Mode;
    struct Case {
        size_t n, d, k, threads;
        Mode mode;
        size_t block, group;
    };
    const Case cases[] = {
        // One thread: blocks of U = 4194304 / k rows.
        {20000, 16, 100, 1, Mode::Single, 20000, 41943},
        {5000, 8, 2048, 1, Mode::SerialBlocks, 2048, 2048},
        // X = ceil(4e6 / 3200) = 1250, Y = 524288 / 100 = 5242, Z = max(313, 1250) = 1250.
        {20000, 16, 100, 8, Mode::Parallel, 1250, 41943},
        // X = 123, Y = 256: Z = max(ceil(5000 / 64) = 79, 123) = 123.
        {5000, 8, 2048, 8, Mode::Parallel, 123, 2048},
        // X = min(1954, 4096) = 1954 > Y = 512: serial blocks of C = 512.
        {5000, 1, 1024, 8, Mode::SerialBlocks, 512, 4096},
        // n <= Z: one block.
        {1000, 16, 100, 8, Mode::Single, 1000, 41943},
        // 2kd saturates: X = min(32, U = 1) = 1; Y = 1.
        {10, 4, size_t{1} << 62, 8, Mode::Parallel, 1, 1},
        // k = 0 counts as 1.
        {100, 4, 0, 1, Mode::Single, 100, 4194304},
    };
    for (const Case& c : cases) {
        const km::AssignmentPlan p = km::assignment_plan(c.n, c.d, c.k, c.threads);
        EXPECT_EQ(p.mode, c.mode) << c.n << " " << c.k << " " << c.threads;
        EXPECT_EQ(p.block_rows, c.block) << c.n << " " << c.k << " " << c.threads;
        EXPECT_EQ(p.group_rows, c.group);
    }
}

TEST(Assignment, NoRowsAndNoDimensions) {
    std::vector<size_t> labels{7, 7, 7};
    const std::vector<float> cents{1, 2};
    EXPECT_EQ(km::assign_clusters_fast({}, 0, 1, 0.0f, cents, 2, labels), 0.0f);
    EXPECT_EQ(labels, (std::vector<size_t>{7, 7, 7}));
    EXPECT_EQ(km::assign_clusters_fast({}, 3, 0, 0.0f, {}, 2, labels), 0.0f);
    EXPECT_EQ(labels, (std::vector<size_t>{0, 0, 0}));
}

TEST(Assignment, TiesGoToTheLowerCentroidEverywhere) {
    const size_t d = 3;
    // Centroids 1 and 3 are identical and nearest to every row.
    const std::vector<float> cents{100, 100, 100, 1, 2, 3, 50, 50, 50, 1, 2, 3, -90, 0, 0};
    const std::vector<float> rows{1, 2, 3, 1.1f, 2, 3, 0.9f, 2.1f, 3, 1, 2, 2.9f, 1, 2, 3};
    std::vector<size_t> labels(5, 9);
    km::assign_clusters_fast(rows, 5, d, 0.0f, cents, 5, labels);
    EXPECT_EQ(labels, std::vector<size_t>(5, 1));
    EXPECT_EQ(km::find_nearest(std::span(rows).first(d), cents, 5, d), 1u);
    EXPECT_EQ(km::find_nearest_batch(rows, 5, cents, 5, d), std::vector<size_t>(5, 1));
    std::vector<size_t> bl(5, 0);
    km::assign_clusters_balanced_serial(rows, 5, d, cents, 1e-30f, 5, bl);
    EXPECT_EQ(bl, std::vector<size_t>(5, 1));
    // find_nearest over a group of four and the tail: ties to the lower number.
    const std::vector<float> six{5, 5, 5, 5, 5, 5, 5, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(km::find_nearest(std::vector<float>{0, 0, 0}, six, 6, d), 3u);
    EXPECT_EQ(km::find_nearest(std::vector<float>{0, 0, 0}, {}, 0, d), 0u);
}

TEST(Assignment, SingleCentroidAndUnassignableRows) {
    const size_t d = 2;
    const std::vector<float> rows{1, 1, 2, 2, 3, 3};
    std::vector<size_t> labels(3, 5);
    const float obj = km::assign_clusters_fast(rows, 3, d, 0.0f, std::vector<float>{0, 0}, 1, labels);
    EXPECT_EQ(labels, std::vector<size_t>(3, 0));
    EXPECT_FLOAT_EQ(obj, 2.0f + 8.0f + 18.0f);
    // Rows whose costs are all NaN get label 0 and the largest finite minimum.
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> bad{inf, 0, 1, 1};
    std::vector<float> minima(2);
    std::vector<size_t> bl(2, 3);
    const std::vector<float> cents{0, 0, 1, 1};
    const std::vector<float> cn{0.0f, 2.0f};
    km::assign_block(bad, 2, d, cents, 2, cn, bl, minima);
    EXPECT_EQ(bl[0], 0u);
    EXPECT_EQ(minima[0], kF32Max);
    EXPECT_EQ(bl[1], 1u);
}

TEST(Assignment, NonPositiveBalanceTakesThePlainPath) {
    const size_t n = 300, d = 4, k = 7;
    const std::vector<float> rows = clustered(n, d, 5, 3);
    const std::vector<float> cents(rows.begin(), rows.begin() + k * d);
    std::vector<size_t> plain(n, 0);
    const float ref = km::assign_clusters_fast(rows, n, d, 0.0f, cents, k, plain);
    for (float b : {-1.0f, std::numeric_limits<float>::quiet_NaN(), -0.0f}) {
        std::vector<size_t> l(n, 0);
        EXPECT_EQ(bits(km::assign_clusters_fast(rows, n, d, b, cents, k, l)), bits(ref));
        EXPECT_EQ(l, plain);
    }
}

// Labels and objective bits do not depend on the pool size or the mode, and
// the objective is the minima summed in groups of U rows.
TEST(Assignment, SameLabelsAndObjectiveAtEveryPoolSizeAndMode) {
    PoolGuard guard;
    struct Case {
        size_t n, d, k;
    };
    const Case cases[] = {{20000, 16, 100}, {5000, 8, 2048}, {5000, 1, 1024}, {4099, 33, 257}};
    for (const Case& c : cases) {
        const std::vector<float> rows = clustered(c.n, c.d, 40, 17, 5.0f, 2.0f, 3.0f);
        const std::vector<float> cents = clustered(c.k, c.d, 40, 18, 5.0f, 2.0f, 3.0f);
        // Reference: one block with stored minima, summed in groups of U.
        std::vector<float> cn(c.k);
        for (size_t j = 0; j < c.k; ++j) cn[j] = tavren::distance::fvec_norm_l2sqr(std::span(cents).subspan(j * c.d, c.d));
        std::vector<size_t> ref_labels(c.n);
        std::vector<float> minima(c.n);
        km::assign_block(rows, c.n, c.d, cents, c.k, cn, ref_labels, minima);
        const size_t u = std::max<size_t>(4194304 / c.k, 1);
        float ref_obj = 0.0f;
        for (size_t s = 0; s < c.n; s += u) {
            float g = 0.0f;
            for (size_t i = s; i < std::min(c.n, s + u); ++i) g += minima[i];
            ref_obj += g;
        }
        std::set<km::AssignmentPlan::Mode> modes;
        for (size_t threads : {1, 2, 8}) {
            tavren::pool::set_num_threads_for_testing(threads);
            modes.insert(km::assignment_plan(c.n, c.d, c.k, threads).mode);
            std::vector<size_t> labels(c.n, 0);
            const float obj = km::assign_clusters_fast(rows, c.n, c.d, 0.0f, cents, c.k, labels);
            EXPECT_EQ(labels, ref_labels) << c.k << " at " << threads;
            EXPECT_EQ(bits(obj), bits(ref_obj)) << c.k << " at " << threads;
            EXPECT_EQ(km::find_nearest_batch(rows, c.n, cents, c.k, c.d), ref_labels);
        }
        EXPECT_GE(modes.size(), 2u) << c.k;
    }
}

TEST(Assignment, FindNearestBatchOfOneRowIsFindNearest) {
    const size_t d = 9, k = 13;
    const std::vector<float> cents = clustered(k, d, 13, 4);
    const std::vector<float> rows = clustered(50, d, 5, 6);
    for (size_t i = 0; i < 50; ++i) {
        auto x = std::span(rows).subspan(i * d, d);
        EXPECT_EQ(km::find_nearest_batch(x, 1, cents, k, d), std::vector<size_t>{km::find_nearest(x, cents, k, d)});
    }
    EXPECT_TRUE(km::find_nearest_batch({}, 0, cents, k, d).empty());
    // A query of the wrong length is the distance kernel's assertion.
    const std::string text = assertion_text([&] { km::find_nearest(std::span(rows).first(d - 1), cents, k, d); });
    EXPECT_NE(text.find("fvec_l2sqr_four inputs must have the same length"), std::string::npos) << text;
}

TEST(Assignment, BalancedPenalisesPreviouslyPopulousClusters) {
    // Two identical centroids at the origin and rows at the origin: every cost
    // is 0, so only the penalties decide.
    {
        const std::vector<float> cents{0, 0};
        const std::vector<float> rows(10, 0.0f);
        std::vector<size_t> labels(10, 0);  // first iteration: everything in cluster 0
        const float obj = km::assign_clusters_balanced_serial(rows, 10, 1, cents, 1.0f, 2, labels);
        EXPECT_EQ(labels, std::vector<size_t>(10, 1));
        EXPECT_EQ(obj, 0.0f);
        // Penalised objective: cluster 0 with 6 rows, cluster 1 with 4 rows before.
        std::vector<size_t> prev{0, 0, 0, 0, 0, 0, 1, 1, 1, 1};
        const float o2 = km::assign_clusters_balanced_serial(rows, 10, 1, cents, 0.5f, 2, prev);
        EXPECT_EQ(prev, std::vector<size_t>(10, 1));
        float expect = 0.0f;
        for (int i = 0; i < 10; ++i) expect += std::log(4.0f) * 0.5f;
        EXPECT_EQ(bits(o2), bits(expect));
        // Labels at or beyond k are not counted.
        std::vector<size_t> odd(10, 7);
        km::assign_clusters_balanced_serial(rows, 10, 1, cents, 1.0f, 2, odd);
        EXPECT_EQ(odd, std::vector<size_t>(10, 0));
    }
    // n * k above 4194304: ranges of 4194304 / k rows, each against its own labels.
    {
        const size_t k = 2, n = 2097152 + 1000;
        const std::vector<float> cents{0, 0};
        const std::vector<float> rows(n, 0.0f);
        std::vector<size_t> labels(n, 0);
        for (size_t i = 2097152; i < n; ++i) labels[i] = 1;
        km::assign_clusters_balanced_serial(rows, n, 1, cents, 1.0f, k, labels);
        EXPECT_EQ(labels[0], 1u);
        EXPECT_EQ(labels[2097151], 1u);
        EXPECT_EQ(labels[2097152], 0u);
        EXPECT_EQ(labels[n - 1], 0u);
    }
}

// A k above the cost budget would give ranges of zero rows: they hold one row.
TEST(Assignment, BalancedWithHugeKTerminates) {
    const size_t k = 4194305;
    std::vector<float> cents(k, 1.0f);
    cents[k - 1] = 0.0f;
    const std::vector<float> rows{0.0f, 0.0f};
    std::vector<size_t> labels(2, 0);
    km::assign_clusters_balanced_serial(rows, 2, 1, cents, 1.0f, k, labels);
    EXPECT_EQ(labels, (std::vector<size_t>{k - 1, k - 1}));
}

// Matrix products run on pool workers and on host threads at the same time;
// none may disturb another's results.
TEST(Assignment, ConcurrentCallsAgreeWithSerialResults) {
    PoolGuard guard;
    tavren::pool::set_num_threads_for_testing(4);
    const size_t n = 6000, d = 16, k = 100;
    std::vector<std::vector<float>> rows;
    std::vector<std::vector<size_t>> expected;
    const std::vector<float> cents = clustered(k, d, 30, 50);
    for (uint32_t t = 0; t < 4; ++t) {
        rows.push_back(clustered(n, d, 30, 60 + t));
        std::vector<size_t> l(n, 0);
        km::assign_clusters_fast(rows.back(), n, d, 0.0f, cents, k, l);
        expected.push_back(l);
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int it = 0; it < 5; ++it) {
                std::vector<size_t> l(n, 0);
                km::assign_clusters_fast(rows[t], n, d, 0.0f, cents, k, l);
                if (l != expected[t]) ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}
