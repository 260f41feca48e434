// Coarse assignment: exact mode, graph mode with a test-side graph and with
// the library's Vamana graph, and the one log line of a failed graph build.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "coarse.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "guards.hpp"
#include "random_rows.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "stderr_capture.hpp"

namespace co = tavren::coarse;
using co::CoarseAssignment;
using co::GraphCandidate;

namespace {

using tavren::testing::StderrCapture;

std::vector<float> gaussian(size_t n, size_t d, uint32_t seed) { return tavren::testing::gaussian_rows(n, d, seed); }

using tavren::testing::PoolGuard;

// A stand-in for the proximity graph: each search looks at a deterministic
// subset of about 20 nodes chosen from the query, and leaves them in the
// scratch in a scrambled order. A query whose first value is negative finds
// nothing. The searches record how they were called.
struct FakeGraph {
    size_t nodes = 0;
    size_t degree = 12;

    static inline std::atomic<int> scratches{0};
    static inline std::atomic<size_t> scratch_list_size{0};
    static inline std::atomic<size_t> search_list_size{0};
    static inline std::atomic<uint32_t> metric{99};

    struct Scratch {
        Scratch(size_t /*node_count*/, size_t /*max_degree*/, size_t list_size) {
            ++scratches;
            scratch_list_size = list_size;
            list.reserve(64);
        }
        const std::vector<GraphCandidate>& results() const { return list; }
        std::vector<GraphCandidate> list;
    };

    size_t node_count() const { return nodes; }
    size_t max_degree() const { return degree; }

    static std::vector<uint32_t> visited(std::span<const float> query, size_t nodes) {
        std::vector<uint32_t> out;
        if (nodes == 0 || query.empty() || query[0] < 0.0f) return out;
        const uint64_t h = static_cast<uint64_t>(std::fabs(query[0]) * 1e6f) * 2654435761ull;
        for (uint64_t r = 0; r < 20; ++r) out.push_back(static_cast<uint32_t>((h + r * 7919) % nodes));
        return out;
    }

    void greedy_search_with_scratch(std::span<const float> vectors, size_t d, uint32_t m,
                                    std::span<const float> query, size_t list_size, Scratch& scratch) const {
        scratch.list.clear();
        search_list_size = list_size;
        metric = m;
        for (uint32_t node : visited(query, nodes)) {
            scratch.list.push_back({node, tavren::distance::fvec_l2sqr(query, vectors.subspan(node * d, d))});
        }
        std::reverse(scratch.list.begin(), scratch.list.end());
    }
};

// The label a search over `visited` should give: smallest distance, then smaller node.
size_t reference_label(std::span<const float> query, const std::vector<float>& cents, size_t nlist, size_t d) {
    const std::vector<uint32_t> seen = FakeGraph::visited(query, nlist);
    if (seen.empty()) return 0;
    uint32_t best = seen[0];
    float best_d = tavren::distance::fvec_l2sqr(query, std::span(cents).subspan(best * d, d));
    for (uint32_t node : seen) {
        const float dist = tavren::distance::fvec_l2sqr(query, std::span(cents).subspan(node * d, d));
        if (dist < best_d || (dist == best_d && node < best)) {
            best = node;
            best_d = dist;
        }
    }
    return best;
}

std::atomic<int> g_builds{0};
std::atomic<float> g_built_first{0.0f};

std::unique_ptr<co::CentroidGraph> fake_builder(std::span<const float> centroids, size_t nlist, size_t d) {
    ++g_builds;
    g_built_first = centroids[0];
    (void)d;
    return std::make_unique<co::CentroidGraphAdapter<FakeGraph>>(FakeGraph{nlist, 12});
}

std::unique_ptr<co::CentroidGraph> failing_builder(std::span<const float>, size_t, size_t) {
    ++g_builds;
    tavren::fail(tavren::ErrorKind::OutOfMemory, "estimated graph build peak {} exceeds budget {}", 5000, 4096);
}

}  // namespace

TEST(CoarseAssignment, NearestCandidateRule) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<GraphCandidate> results;
        size_t label;
    };
    const Case cases[] = {
        {{}, 0},
        {{{7, 3.0f}}, 7},
        {{{9, 1.0f}, {4, 1.0f}, {6, 2.0f}}, 4},           // equal distances: smaller node
        {{{5, 0.0f}, {8, -0.0f}}, 8},                     // -0.0 before +0.0
        {{{3, nan}, {11, inf}, {12, 1e30f}}, 12},         // +NaN after +inf
        {{{3, 2.0f}, {11, -nan}}, 11},                    // -NaN before everything
        {{{2, inf}, {1, inf}}, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(co::nearest_candidate(c.results), c.label);
}

TEST(CoarseAssignment, ChunkRows) {
    struct Case {
        size_t n, threads, chunk;
    };
    const Case cases[] = {{100, 8, 16}, {1000000, 8, 1024}, {5000, 2, 625}, {10, 0, 16}, {64000, 1, 1024}};
    for (const Case& c : cases) EXPECT_EQ(co::graph_chunk_rows(c.n, c.threads), c.chunk) << c.n;
}

TEST(CoarseAssignment, NoVectorsPreparesNothing) {
    g_builds = 0;
    CoarseAssignment ca(&fake_builder);
    const std::vector<float> cents(1000000, 1.0f);
    EXPECT_TRUE(ca.assign({}, 0, cents, 1000, 1000).empty());
    EXPECT_FALSE(ca.prepared());
    EXPECT_EQ(g_builds.load(), 0);
    EXPECT_TRUE(ca.approximate());
}

TEST(CoarseAssignment, ExactModeEqualsFindNearestBatch) {
    g_builds = 0;
    struct Case {
        size_t nlist, d, n;
    };
    const Case cases[] = {{10, 4, 1}, {10, 4, 300}, {1000, 1000, 200}, {64, 7, 5000}};
    for (const Case& c : cases) {
        const std::vector<float> cents = gaussian(c.nlist, c.d, 1);
        const std::vector<float> vecs = gaussian(c.n, c.d, 2);
        CoarseAssignment ca(&fake_builder);
        ca.set_approximate(false);
        EXPECT_EQ(ca.assign(vecs, c.n, cents, c.nlist, c.d),
                  tavren::kmeans::find_nearest_batch(vecs, c.n, cents, c.nlist, c.d));
        EXPECT_TRUE(ca.prepared());
        EXPECT_EQ(ca.graph(), nullptr);
    }
    EXPECT_EQ(g_builds.load(), 0);
}

TEST(CoarseAssignment, GraphOnlyFromOneMillionValues) {
    g_builds = 0;
    const std::vector<float> cents(1000000, 0.5f);
    {
        CoarseAssignment ca(&fake_builder);
        ca.prepare(cents, 999999, 1);
        EXPECT_EQ(ca.graph(), nullptr);
        EXPECT_EQ(g_builds.load(), 0);
    }
    {
        CoarseAssignment ca(&fake_builder);
        ca.prepare(cents, 1000000, 1);
        ASSERT_NE(ca.graph(), nullptr);
        EXPECT_EQ(ca.graph()->node_count(), 1000000u);
        EXPECT_EQ(g_builds.load(), 1);
        ca.prepare(cents, 1000000, 1);  // at most once until reset
        EXPECT_EQ(g_builds.load(), 1);
    }
}

TEST(CoarseAssignment, GraphModeLabelsAreIndependentOfPoolSize) {
    PoolGuard guard;
    const size_t nlist = 1000, d = 1000, n = 3000;
    const std::vector<float> cents = gaussian(nlist, d, 3);
    std::vector<float> vecs = gaussian(n, d, 4);
    for (size_t i = 0; i < n; i += 97) vecs[i * d] = -1.0f;  // these searches find nothing

    std::vector<size_t> expected(n);
    for (size_t i = 0; i < n; ++i) expected[i] = reference_label(std::span(vecs).subspan(i * d, d), cents, nlist, d);

    for (size_t threads : {1, 2, 8}) {
        tavren::pool::set_num_threads_for_testing(threads);
        CoarseAssignment ca(&fake_builder);
        FakeGraph::scratches = 0;
        const std::vector<size_t> labels = ca.assign(vecs, n, cents, nlist, d);
        ASSERT_NE(ca.graph(), nullptr);
        EXPECT_EQ(labels, expected) << threads;
        EXPECT_EQ(labels[0], 0u);
        // One scratch per task, at most one per chunk.
        const size_t chunk = co::graph_chunk_rows(n, threads);
        EXPECT_GE(FakeGraph::scratches.load(), 1);
        EXPECT_LE(static_cast<size_t>(FakeGraph::scratches.load()), tavren::div_ceil(n, chunk));
        EXPECT_EQ(FakeGraph::scratch_list_size.load(), 15u);
        EXPECT_EQ(FakeGraph::search_list_size.load(), 15u);
        EXPECT_EQ(FakeGraph::metric.load(), 0u);
    }
}

TEST(CoarseAssignment, ScratchListIsCappedByNodeCount) {
    const size_t nlist = 10, d = 100000, n = 40;
    const std::vector<float> cents = gaussian(nlist, d, 5);
    const std::vector<float> vecs = gaussian(n, d, 6);
    CoarseAssignment ca(&fake_builder);
    const auto labels = ca.assign(vecs, n, cents, nlist, d);
    EXPECT_EQ(FakeGraph::scratch_list_size.load(), 10u);
    EXPECT_EQ(FakeGraph::search_list_size.load(), 15u);
    for (size_t l : labels) EXPECT_LT(l, nlist);
}

TEST(CoarseAssignment, ResetBuildsOverNewCentroids) {
    g_builds = 0;
    const size_t nlist = 1000, d = 1000;
    std::vector<float> cents = gaussian(nlist, d, 7);
    const std::vector<float> vecs = gaussian(5, d, 8);
    CoarseAssignment ca(&fake_builder);
    ca.assign(vecs, 5, cents, nlist, d);
    EXPECT_EQ(g_builds.load(), 1);
    EXPECT_EQ(g_built_first.load(), cents[0]);
    ca.assign(vecs, 5, cents, nlist, d);
    EXPECT_EQ(g_builds.load(), 1);

    cents[0] = 12345.0f;  // retrained centroids
    ca.reset();
    EXPECT_FALSE(ca.prepared());
    EXPECT_EQ(ca.graph(), nullptr);
    EXPECT_TRUE(ca.approximate());
    ca.assign(vecs, 5, cents, nlist, d);
    EXPECT_EQ(g_builds.load(), 2);
    EXPECT_EQ(g_built_first.load(), 12345.0f);

    // A mode change drops the graph; exact mode never builds.
    ca.set_approximate(false);
    EXPECT_EQ(ca.graph(), nullptr);
    EXPECT_EQ(ca.assign(vecs, 5, cents, nlist, d), tavren::kmeans::find_nearest_batch(vecs, 5, cents, nlist, d));
    EXPECT_EQ(g_builds.load(), 2);
}

TEST(CoarseAssignment, FailedBuildLogsOnceThenAssignsExactly) {
    g_builds = 0;
    const size_t nlist = 1000, d = 1000, n = 50;
    const std::vector<float> cents = gaussian(nlist, d, 9);
    const std::vector<float> vecs = gaussian(n, d, 10);
    const auto exact = tavren::kmeans::find_nearest_batch(vecs, n, cents, nlist, d);

    CoarseAssignment ca(&failing_builder);
    StderrCapture capture;
    const auto first = ca.assign(vecs, n, cents, nlist, d);
    const auto second = ca.assign(vecs, n, cents, nlist, d);
    const std::string text = capture.finish();
    EXPECT_EQ(text, "automatic approximate coarse assignment disabled: estimated graph build peak 5000 exceeds "
                    "budget 4096\n");
    EXPECT_EQ(first, exact);
    EXPECT_EQ(second, exact);
    EXPECT_EQ(g_builds.load(), 1);

    // After the owner's reset the build is tried (and logged) again.
    ca.reset();
    StderrCapture again;
    ca.assign(vecs, n, cents, nlist, d);
    EXPECT_EQ(again.finish(), "automatic approximate coarse assignment disabled: estimated graph build peak 5000 "
                              "exceeds budget 4096\n");
    EXPECT_EQ(g_builds.load(), 2);
}

// The library's own builder: a large centroid set gets a Vamana graph (degree
// 12) without any log line, and rows near a centroid find it through the graph.
TEST(CoarseAssignment, DefaultBuilderBuildsACentroidGraph) {
    const size_t nlist = 2000, d = 500, n = 200, latent = 8;
    // Centroids of low intrinsic dimension, as k-means gives on real data.
    const std::vector<float> low = gaussian(nlist, latent, 11);
    const std::vector<float> map = gaussian(latent, d, 13);
    std::vector<float> cents(nlist * d, 0.0f);
    for (size_t c = 0; c < nlist; ++c) {
        for (size_t k = 0; k < latent; ++k) {
            for (size_t j = 0; j < d; ++j) cents[c * d + j] += low[c * latent + k] * map[k * d + j];
        }
    }
    std::vector<float> vecs = gaussian(n, d, 12);
    for (size_t i = 0; i < n; ++i) {
        const size_t c = (i * 7919) % nlist;
        for (size_t j = 0; j < d; ++j) vecs[i * d + j] = cents[c * d + j] + 0.05f * vecs[i * d + j];
    }
    CoarseAssignment ca;
    StderrCapture capture;
    const auto labels = ca.assign(vecs, n, cents, nlist, d);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_TRUE(ca.prepared());
    ASSERT_NE(ca.graph(), nullptr);
    EXPECT_EQ(ca.graph()->node_count(), nlist);
    EXPECT_EQ(ca.graph()->max_degree(), 12u);
    const auto exact = tavren::kmeans::find_nearest_batch(vecs, n, cents, nlist, d);
    size_t same = 0;
    for (size_t i = 0; i < n; ++i) same += labels[i] == exact[i] ? 1 : 0;
    EXPECT_GE(same, n * 95 / 100);
    // The graph is reused: a second call gives the same labels.
    EXPECT_EQ(ca.assign(vecs, n, cents, nlist, d), labels);

    // Small centroid sets never try to build, so nothing is logged.
    CoarseAssignment small;
    const std::vector<float> few = gaussian(100, 8, 13);
    StderrCapture quiet;
    small.assign(std::span(vecs).first(8 * 3), 3, few, 100, 8);
    EXPECT_EQ(quiet.finish(), "");
}

TEST(CoarseAssignment, ShortInputsAreAssertions) {
    const size_t nlist = 1000, d = 1000;
    const std::vector<float> cents = gaussian(nlist, d, 14);
    CoarseAssignment ca(&fake_builder);
    const std::vector<float> vecs(d * 2 - 1, 0.5f);
    EXPECT_THROW(ca.assign(vecs, 2, cents, nlist, d), tavren::AssertionFailure);
    CoarseAssignment exact(&fake_builder);
    exact.set_approximate(false);
    EXPECT_THROW(exact.assign(vecs, 2, cents, nlist, d), tavren::AssertionFailure);
}
