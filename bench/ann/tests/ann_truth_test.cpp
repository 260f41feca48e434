// Exact search, recall and the ground-truth cache of the harness.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "dataset.hpp"
#include "dot_kernel.hpp"
#include "ground_truth.hpp"

namespace ta = tavren::ann;
namespace fs = std::filesystem;

namespace {

// The library's distance definitions, written out naively in double.
double naive_distance(ta::Metric m, const float* q, const float* x, size_t d) {
    double dot = 0, qq = 0, xx = 0, l2 = 0;
    for (size_t i = 0; i < d; ++i) {
        dot += double(q[i]) * x[i];
        qq += double(q[i]) * q[i];
        xx += double(x[i]) * x[i];
        l2 += (double(q[i]) - x[i]) * (double(q[i]) - x[i]);
    }
    switch (m) {
        case ta::Metric::L2: return l2;
        case ta::Metric::InnerProduct: return -dot;
        case ta::Metric::Cosine: return (qq == 0 || xx == 0) ? 1.0 : 1.0 - dot / std::sqrt(qq * xx);
    }
    return 0;
}

ta::Neighbors naive_search(ta::Metric m, const ta::Matrix& base, const ta::Matrix& queries, size_t k) {
    ta::Neighbors out;
    out.nq = queries.rows;
    out.k = k;
    for (size_t q = 0; q < queries.rows; ++q) {
        std::vector<std::pair<double, int64_t>> all;
        for (size_t r = 0; r < base.rows; ++r) all.emplace_back(naive_distance(m, queries.row(q), base.row(r), base.cols), r);
        std::sort(all.begin(), all.end());
        for (size_t i = 0; i < k; ++i) {
            out.ids.push_back(i < all.size() ? all[i].second : -1);
            out.distances.push_back(i < all.size() ? static_cast<float>(all[i].first) : std::numeric_limits<float>::max());
        }
    }
    return out;
}

ta::Dataset small_set(size_t nb, size_t nq, size_t dim, uint64_t seed) {
    return ta::make_gaussian_mixture({.nb = nb, .nq = nq, .dim = dim, .clusters = 8, .seed = seed});
}

}  // namespace

TEST(AnnDotKernel, MatchesDoublePrecisionForEveryTileShape) {
    // 5 x 11 with d = 19 covers the 2x4, 2x1, 1x8, 1x4 and 1x1 tiles and the
    // tail of a row that is not a multiple of 8.
    const size_t qn = 5, xn = 11, d = 19;
    std::vector<float> q(qn * d), x(xn * d);
    for (size_t i = 0; i < q.size(); ++i) q[i] = static_cast<float>((i * 37) % 23) - 11.0f;
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>((i * 53) % 29) - 14.0f;
    const size_t ldc = 13;
    std::vector<float> c(qn * ldc, -999.0f);
    ta::dot_block(q.data(), qn, x.data(), xn, d, c.data(), ldc);
    for (size_t i = 0; i < qn; ++i) {
        for (size_t j = 0; j < xn; ++j) {
            double s = 0;
            for (size_t t = 0; t < d; ++t) s += double(q[i * d + t]) * x[j * d + t];
            EXPECT_EQ(c[i * ldc + j], static_cast<float>(s)) << i << "," << j;  // small integers: exact
        }
        for (size_t j = xn; j < ldc; ++j) EXPECT_EQ(c[i * ldc + j], -999.0f) << "wrote past xn";
    }
}

TEST(AnnExact, MatchesNaiveSearchUnderEveryMetric) {
    ta::Dataset ds = small_set(700, 40, 12, 3);
    // A zero row: cosine distance 1 to every query, never a NaN.
    std::fill(ds.base.data.begin() + 5 * 12, ds.base.data.begin() + 6 * 12, 0.0f);
    for (ta::Metric m : {ta::Metric::L2, ta::Metric::InnerProduct, ta::Metric::Cosine}) {
        ta::ExactIndex exact(ds.base, m);
        ta::Neighbors want = naive_search(m, ds.base, ds.queries, 20);
        ta::Neighbors got = exact.search(ds.queries.data.data(), ds.queries.rows, 20, 3);
        EXPECT_EQ(got.ids, want.ids) << ta::metric_name(m);
        for (size_t i = 0; i < want.distances.size(); ++i) {
            ASSERT_FLOAT_EQ(got.distances[i], want.distances[i]) << ta::metric_name(m) << " at " << i;
        }
        EXPECT_DOUBLE_EQ(exact.distance(ds.queries.row(0), 5), naive_distance(m, ds.queries.row(0), ds.base.row(5), 12));
    }
}

TEST(AnnExact, SingleAndBatchAgreeAndThreadsDoNotMatter) {
    ta::Dataset ds = small_set(3000, 300, 24, 5);  // several query and base blocks, a partial last one
    ta::ExactIndex exact(ds.base, ta::Metric::L2);
    ta::Neighbors one = exact.search(ds.queries.data.data(), ds.queries.rows, 10, 1);
    ta::Neighbors many = exact.search(ds.queries.data.data(), ds.queries.rows, 10, 8);
    EXPECT_EQ(one.ids, many.ids);
    EXPECT_EQ(one.distances, many.distances);
    ta::ExactIndex::Scratch scratch;
    std::vector<int64_t> ids(10);
    std::vector<float> dist(10);
    for (size_t q = 0; q < ds.queries.rows; ++q) {
        exact.search_one(ds.queries.row(q), 10, ids.data(), dist.data(), scratch);
        ASSERT_TRUE(std::equal(ids.begin(), ids.end(), one.ids.begin() + q * 10)) << q;
        ASSERT_TRUE(std::equal(dist.begin(), dist.end(), one.distances.begin() + q * 10)) << q;
    }
    // A query block taken from the middle gives the same rows as the whole run.
    ta::Neighbors part = exact.search(ds.queries.row(128), 100, 10, 4);
    EXPECT_TRUE(std::equal(part.ids.begin(), part.ids.end(), one.ids.begin() + 128 * 10));
}

TEST(AnnExact, PadsWhenKExceedsTheBaseAndOrdersTiesById) {
    ta::Matrix base;
    base.rows = 3;
    base.cols = 2;
    base.data = {1, 0, 0, 1, 1, 0};  // rows 0 and 2 are equal
    ta::Matrix queries;
    queries.rows = 1;
    queries.cols = 2;
    queries.data = {1, 0};
    ta::ExactIndex exact(base, ta::Metric::L2);
    ta::Neighbors r = exact.search(queries.data.data(), 1, 5, 1);
    EXPECT_EQ(r.ids, (std::vector<int64_t>{0, 2, 1, -1, -1}));
    EXPECT_EQ(r.distances[0], 0.0f);
    EXPECT_EQ(r.distances[2], 2.0f);
    EXPECT_EQ(r.distances[3], std::numeric_limits<float>::max());
}

TEST(AnnRecall, CountsTrueAndEquallyNearNeighboursOnce) {
    // One query at the origin; base rows on a line at distances 1, 4, 9, 16,
    // 25 (L2) plus row 5 equal to row 1 (distance 4).
    ta::Matrix base;
    base.rows = 6;
    base.cols = 1;
    base.data = {1, 2, 3, 4, 5, 2};
    ta::Matrix q;
    q.rows = 1;
    q.cols = 1;
    q.data = {0};
    ta::ExactIndex exact(base, ta::Metric::L2);
    ta::Neighbors gt = exact.search(q.data.data(), 1, 3, 1);  // 0, 1, 5 (tie broken by id)
    ASSERT_EQ(gt.ids, (std::vector<int64_t>{0, 1, 5}));
    const size_t ats[] = {1, 3};
    struct Case {
        const char* what;
        std::vector<int64_t> result;
        double at1, at3;
    };
    const std::vector<Case> cases = {
        {"exact", {0, 1, 5}, 1.0, 1.0},
        {"other order of the tie", {0, 5, 1}, 1.0, 1.0},
        {"a farther row", {0, 1, 2}, 1.0, 2.0 / 3},
        {"duplicates count once", {0, 0, 0}, 1.0, 1.0 / 3},
        {"padding and invalid ids", {-1, 99, 0}, 0.0, 1.0 / 3},
        {"first place wrong", {1, 0, 5}, 0.0, 1.0},
    };
    for (const auto& c : cases) {
        auto r = ta::recall(exact, q.data.data(), gt, c.result.data(), 3, 1, ats, 1);
        EXPECT_DOUBLE_EQ(r[0], c.at1) << c.what;
        EXPECT_DOUBLE_EQ(r[1], c.at3) << c.what;
    }
    // A row not among the true ids but exactly as near as the cut-off counts:
    // with ground truth {0, 1} (k = 2), row 5 ties with row 1.
    ta::Neighbors gt2 = exact.search(q.data.data(), 1, 2, 1);
    const std::vector<int64_t> tie = {0, 5};
    const size_t at2[] = {2, 3};
    auto r = ta::recall(exact, q.data.data(), gt2, tie.data(), 2, 1, at2, 1);
    EXPECT_DOUBLE_EQ(r[0], 1.0);
    EXPECT_TRUE(std::isnan(r[1])) << "a cut-off beyond the result width is not a figure";
}

TEST(AnnRecall, AveragesOverQueriesAndMeasuresAnApproximateSearch) {
    ta::Dataset ds = small_set(2000, 64, 16, 11);
    ta::ExactIndex exact(ds.base, ta::Metric::L2);
    ta::Neighbors gt = exact.search(ds.queries.data.data(), ds.queries.rows, 10, 2);
    // Search only the first half of the base: each true neighbour in the
    // second half is a miss, and the recall is the fraction in the first half.
    ta::Matrix half;
    half.rows = 1000;
    half.cols = 16;
    half.data.assign(ds.base.data.begin(), ds.base.data.begin() + 1000 * 16);
    ta::ExactIndex partial(half, ta::Metric::L2);
    ta::Neighbors approx = partial.search(ds.queries.data.data(), ds.queries.rows, 10, 2);
    size_t hits = 0;
    for (size_t q = 0; q < ds.queries.rows; ++q) {
        for (size_t i = 0; i < 10; ++i) {
            int64_t id = gt.ids[q * 10 + i];
            if (id < 1000) ++hits;
        }
    }
    const size_t at10[] = {10};
    auto r = ta::recall(exact, ds.queries.data.data(), gt, approx.ids.data(), 10, ds.queries.rows, at10, 3);
    EXPECT_NEAR(r[0], static_cast<double>(hits) / (10.0 * ds.queries.rows), 1e-12);
    EXPECT_GT(r[0], 0.2);
    EXPECT_LT(r[0], 0.8);
}

TEST(AnnGroundTruthCache, StoresLoadsAndRefusesMismatches) {
    const auto dir = fs::temp_directory_path() / ("ann_truth_test_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    ta::Dataset ds = small_set(500, 20, 8, 1);
    ta::ExactIndex exact(ds.base, ta::Metric::Cosine);
    ta::GroundTruthResult first = ta::ground_truth(ds, exact, 7, dir.string(), 2);
    EXPECT_FALSE(first.from_cache);
    ASSERT_TRUE(fs::exists(first.path));
    EXPECT_NE(first.path.find("cosine"), std::string::npos);
    EXPECT_NE(first.path.find("-k7-"), std::string::npos);
    ta::GroundTruthResult second = ta::ground_truth(ds, exact, 7, dir.string(), 2);
    EXPECT_TRUE(second.from_cache);
    EXPECT_EQ(second.path, first.path);
    EXPECT_EQ(second.neighbors.ids, first.neighbors.ids);
    EXPECT_EQ(second.neighbors.distances, first.neighbors.distances);
    // Another metric, k or content is another file.
    ta::ExactIndex l2(ds.base, ta::Metric::L2);
    EXPECT_NE(ta::ground_truth(ds, l2, 7, dir.string(), 2).path, first.path);
    ta::Dataset changed = ds;
    changed.base.data[3] += 1.0f;
    ta::ExactIndex exact_changed(changed.base, ta::Metric::Cosine);
    auto third = ta::ground_truth(changed, exact_changed, 7, dir.string(), 2);
    EXPECT_FALSE(third.from_cache);
    EXPECT_NE(third.path, first.path);
    // A file of the wrong size or shape is not trusted.
    EXPECT_FALSE(ta::load_ground_truth(first.path, 21, 7).has_value());
    EXPECT_FALSE(ta::load_ground_truth(first.path, 20, 6).has_value());
    fs::resize_file(first.path, fs::file_size(first.path) - 1);
    EXPECT_FALSE(ta::load_ground_truth(first.path, 20, 7).has_value());
    EXPECT_FALSE(ta::ground_truth(ds, exact, 7, dir.string(), 2).from_cache) << "a damaged file is recomputed";
    EXPECT_TRUE(ta::ground_truth(ds, exact, 7, dir.string(), 2).from_cache);
    // No cache directory: computed, no file.
    auto uncached = ta::ground_truth(ds, exact, 7, "", 2);
    EXPECT_TRUE(uncached.path.empty());
    EXPECT_EQ(uncached.neighbors.ids, first.neighbors.ids);
    fs::remove_all(dir);
}

TEST(AnnGroundTruthIds, OrdersGivenIdsByExactDistanceAndPadsInvalidOnes) {
    ta::Matrix base;
    base.rows = 4;
    base.cols = 1;
    base.data = {10, 1, 3, 3};
    ta::Matrix q;
    q.rows = 2;
    q.cols = 1;
    q.data = {0, 9};
    ta::ExactIndex exact(base, ta::Metric::L2);
    ta::IntMatrix ids;
    ids.rows = 3;  // one row more than there are queries: ignored
    ids.cols = 4;
    ids.data = {3, 0, 7, 1,    // 7 is not a base row
                -1, 0, 2, 3,   // -1 is padding already
                0, 0, 0, 0};
    ta::Neighbors gt = ta::neighbors_from_ids(exact, q.data.data(), 2, ids);
    EXPECT_EQ(gt.k, 4u);
    EXPECT_EQ(gt.ids, (std::vector<int64_t>{1, 3, 0, -1, 0, 2, 3, -1}));
    EXPECT_EQ(gt.distances[0], 1.0f);
    EXPECT_EQ(gt.distances[2], 100.0f);
    EXPECT_EQ(gt.distances[3], std::numeric_limits<float>::max());
    EXPECT_EQ(gt.distances[5], 36.0f);
    EXPECT_THROW(ta::neighbors_from_ids(exact, q.data.data(), 4, ids), std::runtime_error);
    // Stored and loaded back whatever its k, as child processes do.
    const auto path = (fs::temp_directory_path() / ("ann_truth_ids_" + std::to_string(::getpid()))).string();
    ta::save_ground_truth(path, gt);
    auto back = ta::load_ground_truth(path, 2, 0);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->k, 4u);
    EXPECT_EQ(back->ids, gt.ids);
    EXPECT_FALSE(ta::load_ground_truth(path, 3, 0).has_value());
    fs::remove(path);
}

TEST(AnnMetric, ParsesTheLibraryNames) {
    EXPECT_EQ(ta::parse_metric("l2"), ta::Metric::L2);
    EXPECT_EQ(ta::parse_metric("inner_product"), ta::Metric::InnerProduct);
    EXPECT_EQ(ta::parse_metric("cosine"), ta::Metric::Cosine);
    EXPECT_THROW(ta::parse_metric("L2"), std::invalid_argument);
    EXPECT_STREQ(ta::metric_name(ta::Metric::InnerProduct), "inner_product");
}
