// The IVF-FLAT index under construction: training, coarse-assignment mode,
// and adds that keep the preprocessed rows in their lists in insertion order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "distance.hpp"
#include "error.hpp"
#include "ivfflat.hpp"
#include "kmeans.hpp"

using tavren::ivfflat::IVFFlatIndex;

namespace {

std::vector<float> random_rows(size_t n, size_t d, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    std::vector<float> rows(n * d);
    for (size_t i = 0; i < n; ++i) {
        const float centre = static_cast<float>(i % 5) * 3.0f;
        for (size_t k = 0; k < d; ++k) rows[i * d + k] = centre + uni(gen);
    }
    return rows;
}

tavren::kmeans::KMeansConfig kmeans_config() {
    tavren::kmeans::KMeansConfig c;
    c.max_iter = 25;
    c.nredo = 1;
    c.max_points_per_centroid = 256;
    c.seed = 1234;
    return c;
}

IVFFlatIndex trained(size_t d, size_t nlist, uint32_t metric, const std::vector<float>& train) {
    IVFFlatIndex index(d, nlist, metric);
    index.set_approximate_coarse_assignment(false);
    index.train_with_config(train, train.size() / d, kmeans_config());
    return index;
}

std::string assertion_text(const std::function<void()>& body) {
    try {
        body();
    } catch (const tavren::AssertionFailure& e) {
        return e.message();
    }
    return "<no assertion>";
}

}  // namespace

TEST(IVFFlatIndex, StartsEmptyAndUntrained) {
    IVFFlatIndex index(3, 4, tavren::kMetricInnerProduct);
    EXPECT_EQ(index.dimension(), 3u);
    EXPECT_EQ(index.nlist(), 4u);
    EXPECT_EQ(index.metric(), tavren::kMetricInnerProduct);
    EXPECT_TRUE(index.centroids().empty());
    ASSERT_EQ(index.list_ids().size(), 4u);
    ASSERT_EQ(index.list_rows().size(), 4u);
    for (size_t j = 0; j < 4; ++j) {
        EXPECT_TRUE(index.list_ids()[j].empty());
        EXPECT_TRUE(index.list_rows()[j].empty());
    }
    EXPECT_TRUE(index.coarse_assignment().approximate());
    EXPECT_FALSE(index.coarse_assignment().prepared());
    EXPECT_EQ(index.vector_count(), 0u);
}

TEST(IVFFlatIndex, CoarseModeChangesFreelyUntilTheFirstAdd) {
    const std::vector<float> train = random_rows(200, 4, 1);
    IVFFlatIndex index(4, 4, tavren::kMetricL2);
    for (bool flag : {false, true, true, false}) {
        index.set_approximate_coarse_assignment(flag);
        EXPECT_EQ(index.coarse_assignment().approximate(), flag);
    }
    index.train_with_config(train, 200, kmeans_config());
    index.set_approximate_coarse_assignment(true);  // trained but empty: still allowed
    const int64_t id = 5;
    index.add(std::span<const float>(train).first(4), std::span<const int64_t>(&id, 1), 1);
    EXPECT_EQ(assertion_text([&] { index.set_approximate_coarse_assignment(false); }),
              "cannot change coarse assignment after vectors have been added");
    EXPECT_TRUE(index.coarse_assignment().approximate());
}

TEST(IVFFlatIndex, TrainingUsesPreprocessedRowsAndResetsAssignment) {
    const std::vector<float> train = random_rows(500, 6, 2);
    for (uint32_t metric : {tavren::kMetricL2, tavren::kMetricInnerProduct, tavren::kMetricCosine}) {
        SCOPED_TRACE(metric);
        IVFFlatIndex index(6, 8, metric);
        index.set_approximate_coarse_assignment(false);
        index.train_with_config(train, 500, kmeans_config());
        const std::vector<float> rows = tavren::distance::preprocess_vectors(train, 500, 6, metric);
        EXPECT_EQ(index.centroids(), tavren::kmeans::kmeans_train(kmeans_config(), rows, 500, 6, 8));

        // Using the assignment prepares it; training again replaces the
        // centroids and makes it prepare again, keeping the mode.
        const int64_t id = 1;
        IVFFlatIndex other(6, 8, metric);
        other.set_approximate_coarse_assignment(false);
        other.train_with_config(train, 500, kmeans_config());
        other.add(std::span<const float>(train).first(6), std::span<const int64_t>(&id, 1), 1);
        EXPECT_TRUE(other.coarse_assignment().prepared());
        const std::vector<float> second = random_rows(300, 6, 3);
        other.train_with_config(second, 300, kmeans_config());
        EXPECT_FALSE(other.coarse_assignment().prepared());
        EXPECT_FALSE(other.coarse_assignment().approximate());
        EXPECT_EQ(other.centroids(), tavren::kmeans::kmeans_train(
                                         kmeans_config(), tavren::distance::preprocess_vectors(second, 300, 6, metric),
                                         300, 6, 8));
    }
}

TEST(IVFFlatIndex, AddsKeepInsertionOrderAcrossCallsPerList) {
    const size_t d = 5, nlist = 6;
    const std::vector<float> train = random_rows(400, d, 4);
    IVFFlatIndex index = trained(d, nlist, tavren::kMetricL2, train);
    const std::vector<float> data = random_rows(90, d, 5);
    std::vector<int64_t> ids(90);
    for (size_t i = 0; i < 90; ++i) ids[i] = static_cast<int64_t>(i % 7) - 3;  // repeats and negatives

    // Three calls of 1, 40 and 49 rows.
    const size_t splits[] = {0, 1, 41, 90};
    for (size_t s = 0; s + 1 < std::size(splits); ++s) {
        const size_t lo = splits[s], hi = splits[s + 1];
        index.add(std::span<const float>(data).subspan(lo * d, (hi - lo) * d),
                  std::span<const int64_t>(ids).subspan(lo, hi - lo), hi - lo);
    }

    std::vector<std::vector<int64_t>> want_ids(nlist);
    std::vector<std::vector<float>> want_rows(nlist);
    for (size_t i = 0; i < 90; ++i) {
        const std::span<const float> row(data.data() + i * d, d);
        const size_t list = tavren::kmeans::find_nearest(row, index.centroids(), nlist, d);
        want_ids[list].push_back(ids[i]);
        want_rows[list].insert(want_rows[list].end(), row.begin(), row.end());
    }
    EXPECT_EQ(index.list_ids(), want_ids);
    EXPECT_EQ(index.list_rows(), want_rows);
    EXPECT_EQ(index.vector_count(), 90u);
}

TEST(IVFFlatIndex, SameIdTwiceKeepsBothRows) {
    const std::vector<float> train = random_rows(100, 2, 6);
    IVFFlatIndex index = trained(2, 1, tavren::kMetricL2, train);
    const std::vector<float> rows = {1, 2, 3, 4};
    const std::vector<int64_t> ids = {9, 9};
    index.add(rows, ids, 2);
    EXPECT_EQ(index.list_ids()[0], ids);
    EXPECT_EQ(index.list_rows()[0], rows);
}

TEST(IVFFlatIndex, CosineStoresNormalisedRowsAndZeroRowsAsZeros) {
    const std::vector<float> train = random_rows(100, 3, 7);
    IVFFlatIndex index = trained(3, 1, tavren::kMetricCosine, train);
    const std::vector<float> rows = {3, 0, 4, 0, 0, 0, -2, 0, 0};
    const std::vector<int64_t> ids = {1, 2, 3};
    index.add(rows, ids, 3);
    EXPECT_EQ(index.list_rows()[0], tavren::distance::preprocess_vectors(rows, 3, 3, tavren::kMetricCosine));
    const std::vector<float>& stored = index.list_rows()[0];
    EXPECT_FLOAT_EQ(stored[0], 0.6f);
    EXPECT_FLOAT_EQ(stored[2], 0.8f);
    EXPECT_EQ(stored[3], 0.0f);
    EXPECT_EQ(stored[4], 0.0f);
    EXPECT_EQ(stored[5], 0.0f);
    EXPECT_EQ(stored[6], -1.0f);
}

TEST(IVFFlatIndex, AddRefusesShortInputsAsAssertions) {
    const std::vector<float> train = random_rows(100, 2, 8);
    IVFFlatIndex index = trained(2, 2, tavren::kMetricL2, train);
    const std::vector<float> rows = {1, 2, 3};
    const std::vector<int64_t> ids = {1, 2};
    EXPECT_NE(assertion_text([&] { index.add(rows, ids, 2); }), "<no assertion>");
    EXPECT_EQ(index.vector_count(), 0u);
    IVFFlatIndex untrained(2, 2, tavren::kMetricL2);
    EXPECT_NE(assertion_text([&] { untrained.add(std::vector<float>{1, 2}, std::vector<int64_t>{1}, 1); }),
              "<no assertion>");
}
