// Probe selection: nearest centroids of queries, single and batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "distance.hpp"
#include "error.hpp"
#include "guards.hpp"
#include "kmeans.hpp"
#include "pool.hpp"

namespace km = tavren::kmeans;
using km::Candidate;
using tavren::distance::fvec_l2sqr;

namespace {

std::vector<float> gaussian(size_t n, size_t d, uint32_t seed, float scale = 1.0f, float offset = 0.0f) {
    std::mt19937 g(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> out(n * d);
    for (float& v : out) v = nd(g) * scale + offset;
    return out;
}

std::vector<float> norms_of(const std::vector<float>& c, size_t nlist, size_t d) {
    std::vector<float> n(nlist);
    for (size_t j = 0; j < nlist; ++j) n[j] = tavren::distance::fvec_norm_l2sqr(std::span(c).subspan(j * d, d));
    return n;
}

std::vector<uint32_t> bits(const std::vector<float>& v) {
    std::vector<uint32_t> out;
    for (float f : v) out.push_back(std::bit_cast<uint32_t>(f));
    return out;
}

// Every query of the batch equals find_topk, list numbers and distance bits.
void expect_batch_equals_single(const km::TopKBatch& batch, const std::vector<float>& queries, size_t nq,
                                const std::vector<float>& cents, size_t nlist, size_t d, size_t k) {
    ASSERT_EQ(batch.lists.size(), nq);
    ASSERT_EQ(batch.distances.size(), nq);
    for (size_t i = 0; i < nq; ++i) {
        const km::TopK one = km::find_topk(std::span(queries).subspan(i * d, d), cents, nlist, d, k);
        ASSERT_EQ(batch.lists[i], one.lists) << "query " << i;
        ASSERT_EQ(bits(batch.distances[i]), bits(one.distances)) << "query " << i;
    }
}

using tavren::testing::PoolGuard;

}  // namespace

TEST(CompareDistanceThenIndex, TotalOrderThenListNumber) {
    const float inf = std::numeric_limits<float>::infinity();
    const float pnan = std::numeric_limits<float>::quiet_NaN();
    const float nnan = -pnan;
    ASSERT_TRUE(std::signbit(nnan));
    // Ascending under the order.
    const std::vector<Candidate> ascending = {
        {nnan, 9}, {-inf, 9}, {-1.0f, 9}, {-0.0f, 9}, {0.0f, 0}, {0.0f, 9},
        {1e-45f, 0}, {1.0f, 3}, {1.0f, 4}, {inf, 0}, {pnan, 0}, {pnan, 1},
    };
    for (size_t i = 0; i < ascending.size(); ++i) {
        for (size_t j = 0; j < ascending.size(); ++j) {
            const auto c = km::compare_distance_then_index(ascending[i], ascending[j]);
            const int expected = i < j ? -1 : (i == j ? 0 : 1);
            const int got = c < 0 ? -1 : (c == 0 ? 0 : 1);
            EXPECT_EQ(got, expected) << i << " " << j;
        }
    }
}

TEST(FindTopK, EdgeCases) {
    const size_t d = 3;
    const std::vector<float> cents = gaussian(6, d, 1);
    const std::vector<float> q = gaussian(1, d, 2);
    // k = 0 or nlist = 0: nothing.
    EXPECT_TRUE(km::find_topk(q, cents, 6, d, 0).lists.empty());
    EXPECT_TRUE(km::find_topk(q, cents, 0, d, 5).distances.empty());
    // k >= nlist: every list, sorted.
    const km::TopK all = km::find_topk(q, cents, 6, d, 100);
    ASSERT_EQ(all.lists.size(), 6u);
    for (size_t r = 0; r < 6; ++r) {
        EXPECT_EQ(all.distances[r], fvec_l2sqr(q, std::span(cents).subspan(all.lists[r] * d, d)));
        if (r > 0) {
            EXPECT_LE(all.distances[r - 1], all.distances[r]);
        }
    }
    // Only the named rows are read: a longer centroid slice changes nothing.
    std::vector<float> longer = cents;
    longer.insert(longer.end(), {0, 0, 0});
    EXPECT_EQ(km::find_topk(q, longer, 6, d, 3).lists, km::find_topk(q, cents, 6, d, 3).lists);
    // Too few centroid values: an index assertion.
    EXPECT_THROW(km::find_topk(q, cents, 7, d, 3), tavren::AssertionFailure);
}

TEST(FindTopK, QueryLengthAssertionTexts) {
    const size_t d = 4;
    const std::vector<float> cents = gaussian(5, d, 1);
    const std::vector<float> q(d - 1, 0.0f);
    auto text = [&](size_t nlist) {
        try {
            km::find_topk(q, cents, nlist, d, 1);
        } catch (const tavren::AssertionFailure& e) {
            return e.message();
        }
        return std::string("<none>");
    };
    EXPECT_NE(text(5).find("fvec_l2sqr_four inputs must have the same length"), std::string::npos);
    EXPECT_NE(text(3).find("fvec_l2sqr inputs must have the same length"), std::string::npos);
}

TEST(FindTopK, DuplicateCentroidsTieToTheSmallerList) {
    const size_t d = 5, nlist = 9;
    std::vector<float> cents = gaussian(nlist, d, 3, 4.0f);
    // Lists 2, 6 and 7 are one point; lists 6 and 7 come before 2 only if the order were wrong.
    for (size_t t = 0; t < d; ++t) {
        cents[6 * d + t] = cents[2 * d + t];
        cents[7 * d + t] = cents[2 * d + t];
    }
    const std::vector<float> q(cents.begin() + 2 * d, cents.begin() + 3 * d);
    const km::TopK one = km::find_topk(q, cents, nlist, d, 3);
    EXPECT_EQ(one.lists, (std::vector<size_t>{2, 6, 7}));
    EXPECT_EQ(one.distances, std::vector<float>(3, 0.0f));
    // Batch forms with several queries near the duplicates.
    std::vector<float> qs;
    for (int i = 0; i < 20; ++i) {
        for (size_t t = 0; t < d; ++t) qs.push_back(cents[2 * d + t] + 0.01f * static_cast<float>(i % 3));
    }
    const km::TopKBatch batch = km::find_topk_batch(qs, 20, cents, nlist, d, 3);
    expect_batch_equals_single(batch, qs, 20, cents, nlist, d, 3);
    EXPECT_EQ(batch.lists[0], (std::vector<size_t>{2, 6, 7}));
}

// Few places among many lists are kept in a heap of ranks; the answer is
// the prefix of a full sort by candidate_less whatever the distances hold:
// many ties, +0.0 and -0.0 distances cannot occur (squares), but NaN and
// +inf do, from NaN and huge centroid values.
TEST(FindTopK, FewPlacesAmongManyListsEqualAFullSort) {
    const size_t d = 2, nlist = 300;
    std::mt19937 gen(9);
    std::vector<float> cents(nlist * d);
    for (size_t j = 0; j < nlist; ++j) {
        // Coordinates on a coarse grid: many lists share a distance.
        cents[j * d] = static_cast<float>(gen() % 7);
        cents[j * d + 1] = static_cast<float>(gen() % 5);
        if (j % 37 == 5) cents[j * d] = std::numeric_limits<float>::quiet_NaN();
        if (j % 41 == 7) cents[j * d + 1] = 3e30f;  // the square overflows to +inf
    }
    const std::vector<float> q = {2.0f, 1.0f};
    std::vector<Candidate> all;
    for (size_t j = 0; j < nlist; ++j) all.push_back({fvec_l2sqr(q, std::span(cents).subspan(j * d, d)), j});
    std::sort(all.begin(), all.end(), km::candidate_less);
    for (size_t m : {1, 2, 5, 17, 18, 19, 100, 299, 300}) {
        const km::TopK got = km::find_topk(q, cents, nlist, d, m);
        ASSERT_EQ(got.lists.size(), m);
        for (size_t r = 0; r < m; ++r) {
            EXPECT_EQ(got.lists[r], all[r].list) << "m " << m << " rank " << r;
            EXPECT_EQ(std::bit_cast<uint32_t>(got.distances[r]), std::bit_cast<uint32_t>(all[r].distance))
                << "m " << m << " rank " << r;
        }
    }
}

TEST(FindTopKBatch, EqualsPerQueryOnRandomData) {
    PoolGuard guard;
    struct Case {
        size_t nq, nlist, d, k;
        float offset;
    };
    const Case cases[] = {
        {500, 1000, 32, 10, 0.0f},
        {300, 257, 7, 1, 0.0f},
        {200, 64, 128, 63, 0.0f},
        {100, 333, 16, 20, 1000.0f},  // large norms, small differences: a wide band
        {50, 4096, 8, 50, 0.0f},
    };
    for (const Case& c : cases) {
        const std::vector<float> cents = gaussian(c.nlist, c.d, 10, 1.0f, c.offset);
        const std::vector<float> queries = gaussian(c.nq, c.d, 11, 1.0f, c.offset);
        km::ProbeBatchStats stats;
        const auto batch = km::find_topk_batch_with_centroid_norms(queries, c.nq, cents, norms_of(cents, c.nlist, c.d),
                                                                   c.nlist, c.d, c.k, &stats);
        EXPECT_FALSE(stats.per_query_path);
        expect_batch_equals_single(batch, queries, c.nq, cents, c.nlist, c.d, c.k);
        EXPECT_GT(stats.refined + stats.exact_fallbacks, 0u);
        if (c.offset == 0.0f) {
            EXPECT_GT(stats.refined, 0u) << c.nlist;
        }
        // find_topk_batch computes the same norms.
        const auto plain = km::find_topk_batch(queries, c.nq, cents, c.nlist, c.d, c.k);
        EXPECT_EQ(plain.lists, batch.lists);
    }
    // The per-query path does not depend on the pool size.
    const std::vector<float> cents = gaussian(40, 6, 12);
    const std::vector<float> queries = gaussian(300, 6, 13);
    std::vector<std::vector<size_t>> reference;
    for (size_t threads : {1, 2, 8}) {
        tavren::pool::set_num_threads_for_testing(threads);
        km::ProbeBatchStats stats;
        const auto b = km::find_topk_batch_with_centroid_norms(queries, 300, cents, norms_of(cents, 40, 6), 40, 6,
                                                               40, &stats);
        EXPECT_TRUE(stats.per_query_path);
        expect_batch_equals_single(b, queries, 300, cents, 40, 6, 40);
        if (reference.empty()) reference = b.lists;
        EXPECT_EQ(b.lists, reference);
    }
}

TEST(FindTopKBatch, EmptyShapes) {
    const std::vector<float> cents = gaussian(4, 2, 1);
    const std::vector<float> q = gaussian(3, 2, 2);
    const auto none = km::find_topk_batch(q, 3, cents, 4, 2, 0);
    EXPECT_EQ(none.lists.size(), 3u);
    EXPECT_TRUE(none.lists[0].empty());
    EXPECT_TRUE(none.distances[2].empty());
    const auto no_lists = km::find_topk_batch(q, 3, {}, 0, 2, 5);
    EXPECT_EQ(no_lists.lists.size(), 3u);
    EXPECT_TRUE(no_lists.lists[1].empty());
    const auto no_queries = km::find_topk_batch({}, 0, cents, 4, 2, 2);
    EXPECT_TRUE(no_queries.lists.empty());
    EXPECT_TRUE(no_queries.distances.empty());
    // A batch of one query is find_topk.
    km::ProbeBatchStats stats;
    const auto one = km::find_topk_batch_with_centroid_norms(q, 1, cents, norms_of(cents, 4, 2), 4, 2, 2, &stats);
    EXPECT_TRUE(stats.per_query_path);
    expect_batch_equals_single(one, q, 1, cents, 4, 2, 2);
}

TEST(FindTopKBatch, CentroidNormsDecideThePath) {
    const size_t nlist = 20, d = 4, nq = 10, k = 3;
    const std::vector<float> cents = gaussian(nlist, d, 5);
    const std::vector<float> queries = gaussian(nq, d, 6);
    const std::vector<float> good = norms_of(cents, nlist, d);
    struct Case {
        float value;
        bool per_query;
    };
    const Case cases[] = {
        {std::numeric_limits<float>::quiet_NaN(), true},
        {std::numeric_limits<float>::infinity(), true},
        {-std::numeric_limits<float>::infinity(), true},
        {-1e-30f, true},
        {-0.0f, false},
    };
    for (const Case& c : cases) {
        std::vector<float> norms = good;
        norms[7] = c.value;
        km::ProbeBatchStats stats;
        const auto b = km::find_topk_batch_with_centroid_norms(queries, nq, cents, norms, nlist, d, k, &stats);
        EXPECT_EQ(stats.per_query_path, c.per_query) << c.value;
        if (c.per_query) expect_batch_equals_single(b, queries, nq, cents, nlist, d, k);
    }
    // A NaN coordinate gives a NaN norm: find_topk_batch goes query by query.
    // In find_topk the NaN distance sorts by its sign bit.
    for (float nan : {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()}) {
        std::vector<float> bad = cents;
        bad[5 * d + 1] = nan;
        const auto b = km::find_topk_batch(queries, nq, bad, nlist, d, nlist - 1);
        expect_batch_equals_single(b, queries, nq, bad, nlist, d, nlist - 1);
        const float dist = fvec_l2sqr(std::span(queries).first(d), std::span(bad).subspan(5 * d, d));
        ASSERT_TRUE(std::isnan(dist));
        const auto one = km::find_topk(std::span(queries).first(d), bad, nlist, d, nlist);
        if (std::signbit(dist)) {
            EXPECT_EQ(one.lists.front(), 5u);
        } else {
            EXPECT_EQ(one.lists.back(), 5u);
        }
    }
}

TEST(FindTopKBatch, QueryFallbacks) {
    const size_t nlist = 30, d = 8, k = 4;
    const std::vector<float> cents = gaussian(nlist, d, 7);
    std::vector<float> queries = gaussian(6, d, 8);
    // Query 1: its squared norm overflows.
    for (size_t t = 0; t < d; ++t) queries[1 * d + t] = 1e20f;
    km::ProbeBatchStats stats;
    const auto b = km::find_topk_batch_with_centroid_norms(queries, 6, cents, norms_of(cents, nlist, d), nlist, d, k,
                                                           &stats);
    EXPECT_FALSE(stats.per_query_path);
    EXPECT_GE(stats.exact_fallbacks, 1u);
    EXPECT_GE(stats.refined, 4u);  // the other queries of the block stay on the block path
    expect_batch_equals_single(b, queries, 6, cents, nlist, d, k);

    // Finite norms whose sum overflows: centroid 0 and query 2 each have a
    // squared norm of 2e38, so (norm + qn) is +inf for that pair only.
    {
        std::vector<float> big = cents;
        std::fill(big.begin(), big.begin() + d, 0.0f);
        big[0] = 1.4142135e19f;
        std::vector<float> qs = gaussian(4, d, 9);
        std::fill(qs.begin() + 2 * d, qs.begin() + 3 * d, 0.0f);
        qs[2 * d + 1] = 1.4142135e19f;
        km::ProbeBatchStats bs;
        const auto bb = km::find_topk_batch_with_centroid_norms(qs, 4, big, norms_of(big, nlist, d), nlist, d, k, &bs);
        EXPECT_FALSE(bs.per_query_path);
        EXPECT_GE(bs.exact_fallbacks, 1u);
        expect_batch_equals_single(bb, qs, 4, big, nlist, d, k);
    }

    // Zero queries against all-zero centroids: S = 0, band 0, every candidate
    // on the boundary: lists 0 .. m-1 with distance 0.
    const std::vector<float> zeros(nlist * d, 0.0f);
    const std::vector<float> zq(3 * d, 0.0f);
    km::ProbeBatchStats zs;
    const auto z = km::find_topk_batch_with_centroid_norms(zq, 3, zeros, std::vector<float>(nlist, 0.0f), nlist, d,
                                                           k, &zs);
    EXPECT_EQ(zs.exact_fallbacks, 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(z.lists[i], (std::vector<size_t>{0, 1, 2, 3}));
        EXPECT_EQ(z.distances[i], std::vector<float>(4, 0.0f));
    }
}

// A query equal to a centroid of large norm: the product distance may come
// out slightly negative (ranked as +0.0), the reported distance is exactly 0.
TEST(FindTopKBatch, NegativeProductDistanceReportsExactZero) {
    const size_t nlist = 50, d = 24, nq = 8;
    const std::vector<float> cents = gaussian(nlist, d, 21, 3.0f, 1000.0f);
    std::vector<float> queries;
    for (size_t i = 0; i < nq; ++i) {
        const size_t j = (i * 7) % nlist;
        queries.insert(queries.end(), cents.begin() + static_cast<std::ptrdiff_t>(j * d),
                       cents.begin() + static_cast<std::ptrdiff_t>((j + 1) * d));
    }
    const auto b = km::find_topk_batch(queries, nq, cents, nlist, d, 3);
    expect_batch_equals_single(b, queries, nq, cents, nlist, d, 3);
    for (size_t i = 0; i < nq; ++i) {
        EXPECT_EQ(b.lists[i][0], (i * 7) % nlist);
        EXPECT_EQ(std::bit_cast<uint32_t>(b.distances[i][0]), 0u);
    }
}

TEST(FindTopKBatch, BlockSizes) {
    EXPECT_EQ(km::probe_block_queries(1000), 4194u);
    EXPECT_EQ(km::probe_block_queries(3), 1398101u);
    EXPECT_EQ(km::probe_block_queries(4194304), 1u);
    {
        // nlist = 1000, 10,000 queries: blocks of 4194, 4194 and 1612.
        const size_t nlist = 1000, d = 2, nq = 10000;
        const std::vector<float> cents = gaussian(nlist, d, 31);
        const std::vector<float> queries = gaussian(nq, d, 32);
        km::ProbeBatchStats stats;
        const auto b = km::find_topk_batch_with_centroid_norms(queries, nq, cents, norms_of(cents, nlist, d), nlist,
                                                               d, 5, &stats);
        EXPECT_EQ(stats.block_sizes, (std::vector<size_t>{4194, 4194, 1612}));
        expect_batch_equals_single(b, queries, nq, cents, nlist, d, 5);
    }
    {
        // nlist = 4,194,304 stays on the block path with blocks of one query;
        // one more list takes the per-query path.
        const size_t d = 1, nq = 2;
        std::vector<float> cents(4194305);
        for (size_t j = 0; j < cents.size(); ++j) cents[j] = static_cast<float>(j % 1000) * 0.5f;
        const std::vector<float> queries{10.2f, 333.3f};
        for (size_t nlist : {size_t{4194304}, size_t{4194305}}) {
            const std::vector<float> norms = norms_of(cents, nlist, d);
            km::ProbeBatchStats stats;
            const auto b = km::find_topk_batch_with_centroid_norms(queries, nq, cents, norms, nlist, d, 3, &stats);
            EXPECT_EQ(stats.per_query_path, nlist == 4194305);
            if (nlist == 4194304) {
                EXPECT_EQ(stats.block_sizes, (std::vector<size_t>{1, 1}));
            }
            expect_batch_equals_single(b, queries, nq, cents, nlist, d, 3);
        }
    }
}

// d >= 8,388,608 gives gamma = +inf: an infinite band, so every query with a
// non-zero scale is answered exactly.
TEST(FindTopKBatch, HugeDimensionAnswersExactly) {
    const size_t d = 8388608, nlist = 3, nq = 2;
    std::vector<float> cents(nlist * d, 0.0f);
    std::vector<float> queries(nq * d, 0.0f);
    for (size_t j = 0; j < nlist; ++j) cents[j * d + j] = static_cast<float>(j + 1);
    queries[5] = 1.0f;
    queries[d + 1] = 2.0f;
    const auto b = km::find_topk_batch(queries, nq, cents, nlist, d, 2);
    km::ProbeBatchStats s2;
    const auto b2 = km::find_topk_batch_with_centroid_norms(queries, nq, cents, norms_of(cents, nlist, d), nlist, d,
                                                            2, &s2);
    EXPECT_EQ(s2.exact_fallbacks, 2u);
    expect_batch_equals_single(b, queries, nq, cents, nlist, d, 2);
    EXPECT_EQ(b2.lists, b.lists);
    EXPECT_EQ(b.lists[1][0], 1u);
}

TEST(RefineTopKBoundary, CompletesWithTheNearestBoundaryLists) {
    const size_t d = 2;
    const std::vector<float> cents{0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 1, 0};
    const std::vector<float> q{0.9f, 0.0f};
    // Sure: list 2 (any exact distance); boundary: 0, 3, 5, 4. m = 3.
    const std::vector<Candidate> sure{{fvec_l2sqr(q, std::span(cents).subspan(2 * d, d)), 2}};
    const std::vector<size_t> boundary{0, 3, 5, 4};
    const km::TopK r = km::refine_topk_boundary(q, cents, d, 3, sure, boundary);
    EXPECT_EQ(r.lists, (std::vector<size_t>{5, 0, 2}));
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r.distances[i], fvec_l2sqr(q, std::span(cents).subspan(r.lists[i] * d, d)));
    }
    EXPECT_THROW(km::refine_topk_boundary(q, cents, d, 3, sure, std::vector<size_t>{0}), tavren::AssertionFailure);
}
