// Vamana graph pieces: the scored-node order, compact adjacency and its
// relabelling, visit-state sizing, greedy search, robust prune (both l2
// kernels), the centroid entry, connectivity repair and validation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "random_rows.hpp"
#include "vamana.hpp"

namespace va = tavren::vamana;
using tavren::ErrorKind;
using tavren::testing::assertion_text;
using tavren::testing::expect_error;
using va::CompactAdjacency;
using va::ScoredNode;
using va::VamanaGraph;

namespace {

using Lists = std::vector<std::vector<uint32_t>>;

std::vector<uint32_t> list_of(const CompactAdjacency& adj, size_t node) {
    const auto s = adj[node];
    return {s.begin(), s.end()};
}

std::vector<float> gaussian(size_t n, size_t d, uint32_t seed) { return tavren::testing::gaussian_rows(n, d, seed); }

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---- scored node order ------------------------------------------------------

TEST(ScoredNodeOrder, Table) {
    struct Case {
        ScoredNode a, b;
        int order;
    };
    const float neg_nan = -kNaN;
    const Case cases[] = {
        {{1, 1.0f}, {2, 1.0f}, -1},    // equal distances: smaller ID first
        {{2, 1.0f}, {1, 1.0f}, 1},     //
        {{5, 1.0f}, {5, 1.0f}, 0},     //
        {{9, -0.0f}, {1, 0.0f}, -1},   // -0 before +0 whatever the IDs
        {{1, 0.0f}, {9, -0.0f}, 1},    //
        {{0, kInf}, {9, kNaN}, -1},    // +NaN after +inf
        {{0, kNaN}, {9, kNaN}, -1},    // NaN ties by ID
        {{9, neg_nan}, {0, -kInf}, -1},  // -NaN before -inf
        {{0, -kInf}, {0, -3.0f}, -1},  //
        {{0, 2.0f}, {0, 1.0f}, 1},     //
        {{3, 0.5f}, {0, 0.75f}, -1},   // distance decides before ID
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.a.id << "/" << c.a.distance << " vs " << c.b.id << "/" << c.b.distance);
        EXPECT_EQ(va::scored_node_order(c.a, c.b), c.order);
        EXPECT_EQ(va::scored_node_less(c.a, c.b), c.order < 0);
    }
}

// ---- storage --------------------------------------------------------------

TEST(CompactAdjacency, EmptyAndShards) {
    const auto none = CompactAdjacency::empty(0, 7);
    EXPECT_EQ(none.node_count(), 0u);
    EXPECT_EQ(none.max_degree(), 7u);
    EXPECT_TRUE(none.shards().empty());
    EXPECT_TRUE(CompactAdjacency::from_nested({}, 3).shards().empty());

    const auto adj = CompactAdjacency::empty(257, 4);
    ASSERT_EQ(adj.shards().size(), 2u);
    EXPECT_EQ(adj.shards()[0].node_count, 256u);
    EXPECT_EQ(adj.shards()[1].node_count, 1u);
    EXPECT_EQ(adj.shards()[1].first_node, 256u);
    EXPECT_EQ(adj.shards()[0].neighbors.size(), 256u * 4);
    EXPECT_EQ(adj.shards()[1].degrees.size(), 1u);
    EXPECT_EQ(adj.degree(256), 0u);
    EXPECT_EQ(assertion_text([&] { (void)adj[257]; }).rfind("index out of bounds", 0), 0u);

    Lists lists(257);
    lists[256] = {1, 2, 3, 4};
    lists[255] = {0};
    const auto filled = CompactAdjacency::from_nested(lists, 4);
    EXPECT_EQ(list_of(filled, 256), (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(list_of(filled, 255), (std::vector<uint32_t>{0}));
    EXPECT_EQ(filled.shards()[1].neighbors, (std::vector<uint32_t>{1, 2, 3, 4}));

    EXPECT_EQ(assertion_text([] { CompactAdjacency::from_nested({{1, 2, 3}}, 2); }),
              "assertion failed: neighbors.len() <= max_degree");
}

TEST(CompactAdjacency, Relabelling) {
    // Identity keeps rows and sorts the lists.
    auto adj = CompactAdjacency::from_nested({{2, 1}, {0}, {1, 0}}, 2);
    const std::vector<uint32_t> identity = {0, 1, 2};
    adj.permute_and_map_neighbors(identity);
    EXPECT_EQ(list_of(adj, 0), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(list_of(adj, 1), (std::vector<uint32_t>{0}));
    EXPECT_EQ(list_of(adj, 2), (std::vector<uint32_t>{0, 1}));

    // Swapping 0 and 1 moves rows and degrees and exchanges the IDs.
    auto swapped = CompactAdjacency::from_nested({{2, 1}, {0}, {1, 0}}, 2);
    const std::vector<uint32_t> swap01 = {1, 0, 2};
    swapped.permute_and_map_neighbors(swap01);
    EXPECT_EQ(list_of(swapped, 0), (std::vector<uint32_t>{1}));     // old node 1: [0] -> [1]
    EXPECT_EQ(list_of(swapped, 1), (std::vector<uint32_t>{0, 2}));  // old node 0: [2, 1] -> [2, 0] sorted
    EXPECT_EQ(list_of(swapped, 2), (std::vector<uint32_t>{0, 1}));  // [1, 0] -> [0, 1]

    // A longer cycle: 0 -> 2 -> 3 -> 0, 1 fixed.
    auto cyc = CompactAdjacency::from_nested({{1}, {0, 2}, {3}, {}}, 2);
    const std::vector<uint32_t> rotate = {2, 1, 3, 0};
    cyc.permute_and_map_neighbors(rotate);
    EXPECT_EQ(list_of(cyc, 2), (std::vector<uint32_t>{1}));
    EXPECT_EQ(list_of(cyc, 1), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(list_of(cyc, 3), (std::vector<uint32_t>{0}));
    EXPECT_EQ(cyc.degree(0), 0u);

    auto bad = CompactAdjacency::from_nested({{1}, {0}, {}}, 1);
    const std::vector<uint32_t> repeated = {1, 1, 0};
    EXPECT_EQ(assertion_text([&] { bad.permute_and_map_neighbors(repeated); }),
              "DiskANN locality mapping is not a permutation");
    auto bad2 = CompactAdjacency::from_nested({{1}, {0}, {}}, 1);
    const std::vector<uint32_t> too_big = {0, 3, 2};
    EXPECT_EQ(assertion_text([&] { bad2.permute_and_map_neighbors(too_big); }),
              "assertion failed: destination < self.node_count");
    const std::vector<uint32_t> short_map = {0, 1};
    EXPECT_NE(assertion_text([&] { bad2.permute_and_map_neighbors(short_map); }).find("left == right"),
              std::string::npos);
}

// ---- visit-state sizing -----------------------------------------------------

TEST(GreedySearchScratch, VisitStateSizingTable) {
    struct Case {
        size_t n, r, l;
        size_t w;
        size_t dense;
        size_t sparse;
        bool is_sparse;
    };
    const Case cases[] = {
        {1000000, 64, 100, 6401, 1025604, 107524, false},
        {10000000, 64, 100, 6401, 10025604, 107524, true},
        {1, 64, 100, 1, 5, 44, false},
        {760, 1, 1, 2, 768, 48, false},  // 16 x 48 = 768 is not below 768
        {761, 1, 1, 2, 769, 48, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        const auto s = va::BuildVisitStates::sizing(c.n, c.r, c.l);
        EXPECT_EQ(s.touched_capacity, c.w);
        EXPECT_EQ(s.dense_bytes, c.dense);
        ASSERT_TRUE(s.sparse_bytes.has_value());
        EXPECT_EQ(*s.sparse_bytes, c.sparse);
        EXPECT_EQ(s.sparse, c.is_sparse);
        if (c.n <= 1000000) {
            EXPECT_EQ(va::GreedySearchScratch(c.n, c.r, c.l).visit_states().sparse(), c.is_sparse);
        }
    }
    // Saturation instead of overflow.
    const auto huge = va::BuildVisitStates::sizing(SIZE_MAX, SIZE_MAX, SIZE_MAX);
    EXPECT_FALSE(huge.sparse);
    EXPECT_EQ(huge.dense_bytes, SIZE_MAX);
}

// ---- greedy search ----------------------------------------------------------

// A path graph 0 - 1 - ... - (n-1) over points x = i on a line.
VamanaGraph path_graph(size_t n, uint32_t entry) {
    Lists lists(n);
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) lists[i].push_back(static_cast<uint32_t>(i - 1));
        if (i + 1 < n) lists[i].push_back(static_cast<uint32_t>(i + 1));
    }
    return VamanaGraph(CompactAdjacency::from_nested(lists, 2), entry);
}

std::vector<float> line_points(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i);
    return v;
}

TEST(GreedySearch, EdgeCases) {
    const auto g = path_graph(10, 0);
    const auto v = line_points(10);
    const std::vector<float> q = {6.2f};
    // L = 0: no result, no distance (an empty vector array would assert otherwise).
    EXPECT_TRUE(g.greedy_search_with_metric({}, 1, 0, q, 0).empty());
    // An empty graph.
    EXPECT_TRUE(VamanaGraph().greedy_search_with_metric({}, 1, 0, q, 5).empty());
    // An entry without neighbours yields exactly the entry.
    const VamanaGraph lone(CompactAdjacency::from_nested({{}, {0}}, 1), 0);
    const auto only = lone.greedy_search_with_metric(line_points(2), 1, 0, q, 5);
    ASSERT_EQ(only.size(), 1u);
    EXPECT_EQ(only[0].id, 0u);
    // L = 1 walks greedily to the nearest node.
    const auto one = g.greedy_search_with_metric(v, 1, 0, q, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].id, 6u);
    // Sorted nearest first, at most L.
    const auto three = g.greedy_search_with_metric(v, 1, 0, q, 3);
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0].id, 6u);
    EXPECT_EQ(three[1].id, 7u);
    EXPECT_EQ(three[2].id, 5u);
    // Equal distances: the smaller ID wins the last place.
    const std::vector<float> mid = {6.5f};
    const auto two = g.greedy_search_with_metric(v, 1, 0, mid, 1);
    EXPECT_EQ(two[0].id, 6u);
    // A neighbour ID at or above node_count is skipped.
    const VamanaGraph odd(CompactAdjacency::from_nested({{7, 1}, {0}}, 2), 0);
    const auto res = odd.greedy_search_with_metric(line_points(2), 1, 0, q, 4);
    EXPECT_EQ(res.size(), 2u);
}

TEST(GreedySearch, InsertCandidateRules) {
    va::GreedySearchScratch s(10, 2, 2);
    s.begin_search();
    s.insert_candidate(5, 2, 1.0f);
    s.insert_candidate(6, 2, 2.0f);
    // Same distance as the worst, larger ID: stays out but seen.
    s.insert_candidate(7, 2, 2.0f);
    EXPECT_EQ(s.visit_states().get(7), va::kSeen);
    // Same distance, smaller ID: replaces the worst, which becomes seen.
    s.insert_candidate(3, 2, 2.0f);
    EXPECT_EQ(s.visit_states().get(3), va::kListed);
    EXPECT_EQ(s.visit_states().get(6), va::kSeen);
    // Farther: never enters.
    s.insert_candidate(8, 2, 9.0f);
    EXPECT_EQ(s.visit_states().get(8), va::kSeen);
    std::vector<uint32_t> ids;
    for (const auto& r : s.results()) ids.push_back(r.id);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{3, 5}));
    // The frontier is cut back to listed nodes once above 2L.
    EXPECT_LE(s.frontier_len(), 4u);
    // A list size of 0 marks the node seen and keeps nothing.
    s.begin_search();
    s.insert_candidate(1, 0, 0.0f);
    EXPECT_TRUE(s.results().empty());
    EXPECT_EQ(s.visit_states().get(1), va::kSeen);
    // begin_search clears the touched states.
    s.begin_search();
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(s.visit_states().get(i), va::kUnseen);
}

// Sparse visit states give the same search as dense ones would: one scratch of
// each kind on the same graph of 2000 nodes (R = L = 2 is sparse there).
TEST(GreedySearch, SparseAndDenseAgree) {
    const size_t n = 2000;
    const auto g = path_graph(n, 0);
    const auto v = line_points(n);
    va::GreedySearchScratch sparse(n, 2, 2);
    va::GreedySearchScratch dense(n, 2, 1000);
    ASSERT_TRUE(sparse.visit_states().sparse());
    ASSERT_FALSE(dense.visit_states().sparse());
    for (const float target : {3.0f, 1500.4f, 1999.0f}) {
        const std::vector<float> q = {target};
        g.greedy_search_with_scratch(v, 1, 0, q, 2, sparse);
        g.greedy_search_with_scratch(v, 1, 0, q, 2, dense);
        auto a = sparse.results();
        auto b = dense.results();
        std::sort(a.begin(), a.end(), va::scored_node_less);
        std::sort(b.begin(), b.end(), va::scored_node_less);
        EXPECT_EQ(a, b);
        EXPECT_EQ(a[0].id, static_cast<uint32_t>(std::lround(target)));
    }
}

// ---- robust prune -----------------------------------------------------------

// The prune rule evaluated with full sums, one candidate at a time.
std::vector<uint32_t> reference_prune(const std::vector<float>& v, size_t d, uint32_t node,
                                      std::vector<uint32_t> cands, float alpha, size_t r, uint32_t metric) {
    auto row = [&](uint32_t i) { return std::span<const float>(v.data() + size_t{i} * d, d); };
    std::sort(cands.begin(), cands.end());
    cands.erase(std::unique(cands.begin(), cands.end()), cands.end());
    std::vector<ScoredNode> s;
    for (uint32_t c : cands) {
        if (c != node) s.push_back({c, tavren::distance::fvec_distance(row(node), row(c), metric)});
    }
    std::sort(s.begin(), s.end(), va::scored_node_less);
    std::vector<uint32_t> out;
    while (!s.empty() && out.size() < r) {
        const ScoredNode p = s.front();
        out.push_back(p.id);
        std::vector<ScoredNode> keep;
        for (size_t i = 1; i < s.size(); ++i) {
            const float dp = tavren::distance::fvec_distance(row(p.id), row(s[i].id), metric);
            const bool k = metric == tavren::kMetricInnerProduct ? dp >= alpha * s[i].distance
                                                                  : s[i].distance < alpha * dp;
            if (k) keep.push_back(s[i]);
        }
        s = keep;
    }
    return out;
}

TEST(RobustPrune, MatchesFullSumRuleForBothKernels) {
    tavren::testing::RestoreDetection restore;
    for (const bool scalar : {false, true}) {
        tavren::distance::force_scalar_for_testing(scalar);
        for (const size_t d : {size_t{3}, size_t{16}, size_t{255}, size_t{256}, size_t{300}}) {
            for (const uint32_t metric : {0u, 1u, 2u}) {
                SCOPED_TRACE(::testing::Message() << "d " << d << " metric " << metric << " scalar " << scalar);
                const size_t n = 120;
                const auto v = gaussian(n, d, static_cast<uint32_t>(d * 3 + metric));
                std::vector<uint32_t> cands(n);
                for (uint32_t i = 0; i < n; ++i) cands[i] = i;
                for (const float alpha : {1.0f, 1.2f}) {
                    const auto got = va::robust_prune_candidates(v, d, 7, cands, alpha, {}, n, 16, metric);
                    const auto want = reference_prune(v, d, 7, cands, alpha, 16, metric);
                    // The four-row kernel and the early exit only change how the
                    // sums are taken; on random data no decision sits on a tie.
                    EXPECT_EQ(got, want);
                }
            }
        }
    }
}

// Told that an earlier output of the same prune is compatible, the prune
// skips the pairs inside it and still gives the plain prune's output.
TEST(RobustPrune, CompatiblePrefixGivesTheSameOutput) {
    for (const size_t d : {size_t{16}, size_t{300}}) {
        for (const uint32_t metric : {0u, 1u, 2u}) {
            SCOPED_TRACE(::testing::Message() << "d " << d << " metric " << metric);
            const size_t n = 160;
            const auto v = gaussian(n, d, static_cast<uint32_t>(d + 7 * metric));
            std::vector<uint32_t> first(80), later(40);
            for (uint32_t i = 0; i < 80; ++i) first[i] = i + 1;
            for (uint32_t i = 0; i < 40; ++i) later[i] = i + 81;
            const auto earlier = va::robust_prune_candidates(v, d, 0, first, 1.2f, {}, n, 24, metric);
            ASSERT_FALSE(earlier.empty());
            const auto plain = va::robust_prune_candidates(v, d, 0, later, 1.2f, earlier, n, 24, metric);
            for (const size_t prefix : {earlier.size(), earlier.size() / 2}) {
                std::vector<uint32_t> ids, out;
                std::vector<ScoredNode> scored;
                std::vector<uint8_t> flags;
                va::robust_prune_compatible_into(v, d, 0, later, 1.2f, earlier,
                                                 std::span<const uint32_t>(earlier).first(prefix), n, 24, metric,
                                                 ids, scored, &flags, out);
                EXPECT_EQ(out, plain) << "prefix " << prefix;
            }
        }
    }
}

TEST(RobustPrune, Rules) {
    // Points on a line (d = 1): node 0 at 0.
    const std::vector<float> v = {0.0f, 1.0f, 2.0f, -1.0f, 1.0f, 5.0f};
    // Own ID, out-of-range IDs and repeats are dropped; equal distances by ID.
    const std::vector<uint32_t> cands = {0, 9, 1, 1, 3};
    EXPECT_EQ(va::robust_prune_candidates(v, 1, 0, cands, 1.0f, std::vector<uint32_t>{3, 2}, 6, 8, 0),
              (std::vector<uint32_t>{1, 3}));  // 2 (dq 4) is covered by 1 (dp 1)
    // Empty union; a single candidate.
    EXPECT_TRUE(va::robust_prune_candidates(v, 1, 0, std::vector<uint32_t>{0, 6}, 1.0f, {}, 6, 8, 0).empty());
    EXPECT_EQ(va::robust_prune_candidates(v, 1, 0, std::vector<uint32_t>{5}, 1.0f, {}, 6, 8, 0),
              (std::vector<uint32_t>{5}));
    // R caps the output; the nearest is always kept.
    EXPECT_EQ(va::robust_prune_candidates(v, 1, 0, std::vector<uint32_t>{1, 3, 5}, 1.0f, {}, 6, 1, 0),
              (std::vector<uint32_t>{1}));
    // l2, alpha 1: node 4 sits on node 1 (dp 0) and node 2 behind it (dq 4, dp 1).
    EXPECT_EQ(va::robust_prune_candidates(v, 1, 0, std::vector<uint32_t>{1, 2, 4}, 1.0f, {}, 6, 8, 0),
              (std::vector<uint32_t>{1}));
    // Node (0,0), p (1,0), c (1,1): dq 2, dp 1. Equality (alpha 2) prunes.
    const std::vector<float> w = {0.0f, 0.0f, 1.0f, 0.0f, 1.0f, 1.0f};  // c: d(node,c) = 2, d(p,c) = 1
    EXPECT_EQ(va::robust_prune_candidates(w, 2, 0, std::vector<uint32_t>{1, 2}, 1.0f, {}, 3, 8, 0),
              (std::vector<uint32_t>{1}));
    EXPECT_EQ(va::robust_prune_candidates(w, 2, 0, std::vector<uint32_t>{1, 2}, 2.0f, {}, 3, 8, 0),
              (std::vector<uint32_t>{1}));  // 2 < 2 x 1 is false: pruned at equality
    EXPECT_EQ(va::robust_prune_candidates(w, 2, 0, std::vector<uint32_t>{1, 2}, 2.1f, {}, 3, 8, 0),
              (std::vector<uint32_t>{1, 2}));
    // Inner product keeps a candidate at equality: p = c = (1, 0), node (1, 0):
    // dq = -1, dp = -1, -1 >= 1 x -1.
    const std::vector<float> ip = {1.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f};
    EXPECT_EQ(va::robust_prune_candidates(ip, 2, 0, std::vector<uint32_t>{1, 2}, 1.0f, {}, 3, 8, 1),
              (std::vector<uint32_t>{1, 2}));
}

TEST(RobustPrune, EarlyExitNeedsAValidAlpha) {
    const size_t d = 256;
    const auto v = gaussian(4, d, 3);
    const std::vector<uint32_t> cands = {1, 2, 3};
    EXPECT_EQ(assertion_text([&] { va::robust_prune_candidates(v, d, 0, cands, -1.0f, {}, 4, 8, 0); }),
              "fvec_l2sqr_scaled_exceeds scale must be finite and non-negative");
    // A single candidate never reaches the filter.
    EXPECT_EQ(va::robust_prune_candidates(v, d, 0, std::vector<uint32_t>{1}, -1.0f, {}, 4, 8, 0),
              (std::vector<uint32_t>{1}));
}

// ---- entry node ---------------------------------------------------------------

TEST(CentroidEntry, Cases) {
    // One row: node 0.
    EXPECT_EQ(va::centroid_entry(std::vector<float>{3.0f, 4.0f}, 1, 2, 0), 0u);
    // Rows 1 and 2 are both at the mean's distance minimum: the smaller wins.
    const std::vector<float> v = {-4.0f, 1.0f, -1.0f, 4.0f};  // mean 0
    EXPECT_EQ(va::centroid_entry(v, 4, 1, 0), 1u);
    // Inner product: the largest dot product with the (unnormalised) mean.
    const std::vector<float> ip = {1.0f, 0.0f, 3.0f, 0.0f, 0.0f, 1.0f};  // mean (4/3, 1/3)
    EXPECT_EQ(va::centroid_entry(ip, 3, 2, 1), 1u);
    EXPECT_EQ(assertion_text([] { va::centroid_entry({}, 0, 2, 0); }), "validated non-empty Vamana data");
}

// ---- repair and validation ---------------------------------------------------

TEST(Repair, ReachableGraphIsUnchanged) {
    VamanaGraph g(CompactAdjacency::from_nested({{1}, {2}, {0}}, 2), 0);
    const VamanaGraph before = g;
    g.repair_connectivity({}, 1, 2, 0);  // no distance: an empty vector array would assert
    EXPECT_TRUE(g == before);
}

TEST(Repair, AttachesToNearestEligibleSource) {
    // Node 3 is unreachable; 1 and 2 are equally near it: the smaller ID wins.
    const std::vector<float> v = {10.0f, -1.0f, 1.0f, 0.0f};
    VamanaGraph g(CompactAdjacency::from_nested({{1, 2}, {}, {}, {}}, 3), 0);
    g.repair_connectivity(v, 1, 3, 0);
    EXPECT_EQ(list_of(g.adjacency(), 1), (std::vector<uint32_t>{3}));
    EXPECT_EQ(list_of(g.adjacency(), 2), (std::vector<uint32_t>{}));
    EXPECT_TRUE(g.is_fully_reachable());
}

TEST(Repair, FullSourceDropsItsFarthestNonTreeEdge) {
    struct Case {
        const char* name;
        float x2;
        std::vector<uint32_t> expected;
    };
    // 0 -> [1, 2] are tree edges; 1 -> [2, 0] is full (R = 2) with two non-tree
    // edges; 3 (at 5.5) is nearest to 1 (at 5).
    const Case cases[] = {
        {"2 is farther", -5.0f, {0, 3}},   // 2 at position 0 is replaced by the last entry (0)
        {"equal: later position", 10.0f, {2, 3}},  // 0 and 2 both 25 away: position 1 (0) goes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> v = {0.0f, 5.0f, c.x2, 5.5f};
        VamanaGraph g(CompactAdjacency::from_nested({{1, 2}, {2, 0}, {}, {}}, 2), 0);
        g.repair_connectivity(v, 1, 2, 0);
        EXPECT_EQ(list_of(g.adjacency(), 1), c.expected);
        EXPECT_EQ(list_of(g.adjacency(), 0), (std::vector<uint32_t>{1, 2}));
        EXPECT_TRUE(g.is_fully_reachable());
    }
}

TEST(Repair, OneAttachmentBringsItsReachableSet) {
    // 1 -> 2 hangs off nothing: attaching 1 (to 0, the only source) reaches 2.
    const std::vector<float> v = {0.0f, 1.0f, 2.0f};
    VamanaGraph g(CompactAdjacency::from_nested({{}, {2}, {}}, 2), 0);
    g.repair_connectivity(v, 1, 2, 0);
    EXPECT_EQ(list_of(g.adjacency(), 0), (std::vector<uint32_t>{1}));
    EXPECT_EQ(list_of(g.adjacency(), 1), (std::vector<uint32_t>{2}));
    EXPECT_EQ(list_of(g.adjacency(), 2), (std::vector<uint32_t>{}));
}

TEST(Repair, NoReplaceableEdge) {
    // R = 0 leaves the entry no room and no edge to give up.
    VamanaGraph g(CompactAdjacency::from_nested({{}, {}}, 1), 0);
    expect_error([&] { g.repair_connectivity(std::vector<float>{0.0f, 1.0f}, 1, 0, 0); }, ErrorKind::InvalidData,
                 "Vamana connectivity repair found no replaceable edge");
    // A full node whose every edge is a tree edge is not a source.
    VamanaGraph chain(CompactAdjacency::from_nested({{1}, {2}, {}}, 1), 0);
    std::vector<int64_t> parent = {-1, 0, 1};
    EXPECT_FALSE(chain.is_repair_source(0, 1, parent));
    EXPECT_TRUE(chain.is_repair_source(2, 1, parent));
    parent[1] = -1;
    EXPECT_TRUE(chain.is_repair_source(0, 1, parent));
}

TEST(Validate, Messages) {
    Lists lists(6);
    lists[5] = {3, 3};
    lists[2] = {2};
    expect_error([&] { VamanaGraph(CompactAdjacency::from_nested(lists, 2), 0).validate(2); },
                 "Vamana node 2 contains invalid neighbor");
    lists[2] = {1};
    expect_error([&] { VamanaGraph(CompactAdjacency::from_nested(lists, 2), 0).validate(2); },
                 "Vamana node 5 contains duplicate neighbors");
    lists[5] = {3, 9};
    expect_error([&] { VamanaGraph(CompactAdjacency::from_nested(lists, 2), 0).validate(2); },
                 "Vamana node 5 contains invalid neighbor");
    lists[5] = {3, 4};
    expect_error([&] { VamanaGraph(CompactAdjacency::from_nested(lists, 2), 0).validate(1); },
                 "Vamana node 5 degree 2 exceeds maximum 1");
    EXPECT_NO_THROW(VamanaGraph(CompactAdjacency::from_nested(lists, 2), 0).validate(2));
    EXPECT_FALSE(VamanaGraph().is_fully_reachable());
    EXPECT_FALSE(VamanaGraph(CompactAdjacency::from_nested({{}}, 1), 1).is_fully_reachable());
    EXPECT_TRUE(VamanaGraph(CompactAdjacency::from_nested({{}}, 1), 0).is_fully_reachable());
}

}  // namespace
