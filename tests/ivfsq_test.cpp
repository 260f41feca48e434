// The IVF-SQ index under construction: training of the centroids and the
// global residual bounds, coarse-assignment mode, adds that encode rows into
// their lists in insertion order on the sequential and the parallel path, and
// whole builds whose files do not depend on the pool size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "../tests/c/ivfsq_file_check.h"
#include "distance.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "ivfsq.hpp"
#include "ivfsq_io.hpp"
#include "kmeans.hpp"
#include "memory_sink.hpp"

using tavren::ivfsq::IVFSQIndex;
using tavren::sq::ScalarQuantizer;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<float> random_rows(size_t n, size_t d, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    std::vector<float> rows(n * d);
    for (size_t i = 0; i < n; ++i) {
        const float centre = static_cast<float>(i % 5) * 3.0f;
        for (size_t k = 0; k < d; ++k) rows[i * d + k] = centre + uni(gen) * static_cast<float>(k + 1);
    }
    return rows;
}

std::vector<int64_t> ids_from(int64_t first, size_t n) {
    std::vector<int64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = first + static_cast<int64_t>((i * 7919) % n);
    return ids;
}

IVFSQIndex trained(size_t d, size_t nlist, uint32_t metric, const std::vector<float>& train) {
    IVFSQIndex index(d, nlist, metric);
    index.set_approximate_coarse_assignment(false);
    index.train_with_config(train, train.size() / d, tavren::kmeans::KMeansConfig{});
    return index;
}

// The list of the nearest centroid (squared L2, the smaller list on ties).
size_t nearest_list(const IVFSQIndex& index, const float* row) {
    const size_t d = index.dimension();
    size_t best = 0;
    float best_distance = kInf;
    for (size_t l = 0; l < index.nlist(); ++l) {
        const float dist = tavren::distance::fvec_l2sqr(std::span<const float>(row, d),
                                                        std::span<const float>(index.centroids()).subspan(l * d, d));
        if (dist < best_distance) {
            best_distance = dist;
            best = l;
        }
    }
    return best;
}

}  // namespace

TEST(IVFSQIndex, StartsEmptyAndUntrained) {
    const IVFSQIndex index(3, 4, tavren::kMetricInnerProduct);
    EXPECT_EQ(index.dimension(), 3u);
    EXPECT_EQ(index.nlist(), 4u);
    EXPECT_EQ(index.metric(), tavren::kMetricInnerProduct);
    EXPECT_TRUE(index.centroids().empty());
    EXPECT_EQ(index.global_sq(), ScalarQuantizer(3));
    EXPECT_EQ(index.list_sqs(), std::vector<ScalarQuantizer>(4, ScalarQuantizer(3)));
    EXPECT_EQ(index.list_ids().size(), 4u);
    EXPECT_EQ(index.list_codes().size(), 4u);
    EXPECT_TRUE(index.coarse_assignment().approximate());
    EXPECT_FALSE(index.coarse_assignment().prepared());
}

TEST(IVFSQIndex, CoarseModeChangesFreelyUntilTheFirstAdd) {
    const size_t d = 4;
    const std::vector<float> train = random_rows(200, d, 1);
    IVFSQIndex index(d, 3, 0);
    index.set_approximate_coarse_assignment(false);
    EXPECT_FALSE(index.coarse_assignment().approximate());
    index.set_approximate_coarse_assignment(true);
    index.train_with_config(train, 200, tavren::kmeans::KMeansConfig{});
    index.set_approximate_coarse_assignment(false);
    const std::vector<int64_t> ids = {1};
    index.add(std::span<const float>(train).first(d), ids, 1);
    EXPECT_EQ(tavren::testing::assertion_text([&] { index.set_approximate_coarse_assignment(true); }),
              "cannot change coarse assignment after vectors have been added");
}

// The global bounds are the per-dimension minimum and maximum, over all
// training rows, of each row's residual to its own list's centroid; every
// list carries them.
TEST(IVFSQIndex, TrainingUnitesTheResidualBoundsOfAllLists) {
    const size_t d = 9, nlist = 4, n = 600;
    const std::vector<float> train = random_rows(n, d, 2);
    const IVFSQIndex index = trained(d, nlist, 0, train);
    ASSERT_EQ(index.centroids().size(), nlist * d);
    std::vector<float> mins(d, kInf), maxs(d, -kInf);
    for (size_t i = 0; i < n; ++i) {
        const size_t l = nearest_list(index, train.data() + i * d);
        for (size_t k = 0; k < d; ++k) {
            const float residual = train[i * d + k] - index.centroids()[l * d + k];
            mins[k] = std::min(mins[k], residual);
            maxs[k] = std::max(maxs[k], residual);
        }
    }
    EXPECT_EQ(index.global_sq().mins(), mins);
    EXPECT_EQ(index.global_sq().maxs(), maxs);
    EXPECT_EQ(index.list_sqs(), std::vector<ScalarQuantizer>(nlist, index.global_sq()));
    for (const auto& ids : index.list_ids()) EXPECT_TRUE(ids.empty());
}

// Two distinct training rows, many copies each, and three lists: two
// centroids coincide, ties go to the smaller list, and one list receives no
// training row; it still carries the global bounds.
TEST(IVFSQIndex, ListWithoutTrainingRowsGetsTheGlobalBounds) {
    const size_t d = 2;
    std::vector<float> train;
    for (int i = 0; i < 20; ++i) {
        train.push_back(i % 2 == 0 ? 0.0f : 10.0f);
        train.push_back(i % 2 == 0 ? 0.0f : -4.0f);
    }
    const IVFSQIndex index = trained(d, 3, 0, train);
    std::vector<size_t> rows_per_list(3, 0);
    for (size_t i = 0; i < 20; ++i) ++rows_per_list[nearest_list(index, train.data() + i * d)];
    size_t empty_lists = 0;
    for (size_t l = 0; l < 3; ++l) {
        if (rows_per_list[l] == 0) ++empty_lists;
        EXPECT_EQ(index.list_sqs()[l], index.global_sq()) << l;
    }
    EXPECT_EQ(empty_lists, 1u);
    for (size_t k = 0; k < d; ++k) {
        EXPECT_LE(index.global_sq().mins()[k], index.global_sq().maxs()[k]);
        EXPECT_TRUE(std::isfinite(index.global_sq().mins()[k]));
    }
}

TEST(IVFSQIndex, AddEncodesResidualsInInsertionOrderAndClampsOutsideTheBounds) {
    const size_t d = 3;
    const std::vector<float> train = random_rows(300, d, 3);
    IVFSQIndex index = trained(d, 2, 0, train);
    const std::vector<float> rows = {100.0f, -100.0f, 5.0f, 1.0f, 1.0f, 1.0f, 100.0f, -100.0f, 5.0f};
    const std::vector<int64_t> ids = {40, 10, 20};
    index.add(rows, ids, 3);
    index.add(std::span<const float>(rows).first(d), std::vector<int64_t>{5}, 1);
    const size_t far_list = nearest_list(index, rows.data());
    const std::vector<int64_t>& far_ids = index.list_ids()[far_list];
    ASSERT_GE(far_ids.size(), 3u);
    // By call, then by position within the call.
    EXPECT_EQ(far_ids[far_ids.size() - 1], 5);
    const std::vector<uint8_t>& codes = index.list_codes()[far_list];
    ASSERT_EQ(codes.size(), far_ids.size() * d);
    EXPECT_EQ(codes[codes.size() - 3], 255);
    EXPECT_EQ(codes[codes.size() - 2], 0);
    // The bounds did not move.
    const IVFSQIndex fresh = trained(d, 2, 0, train);
    EXPECT_EQ(index.global_sq(), fresh.global_sq());

    // Every code is the quantizer's code of the row's residual to its list.
    size_t seen = 0;
    for (size_t l = 0; l < 2; ++l) {
        for (size_t r = 0; r < index.list_ids()[l].size(); ++r) {
            const int64_t id = index.list_ids()[l][r];
            const size_t i = id == 40 ? 0 : id == 10 ? 1 : id == 20 ? 2 : 0;
            std::vector<uint8_t> want(d);
            index.list_sqs()[l].encode_residual_rows(rows, std::vector<size_t>{i},
                                                     std::span<const float>(index.centroids()).subspan(l * d, d), want);
            EXPECT_EQ(std::vector<uint8_t>(index.list_codes()[l].begin() + r * d,
                                           index.list_codes()[l].begin() + (r + 1) * d),
                      want);
            ++seen;
        }
    }
    EXPECT_EQ(seen, 4u);
    EXPECT_EQ(index.list_ids()[0].size() + index.list_ids()[1].size(), 4u);
}

// 1,000 rows run on the caller's thread, 1,001 rows to two or more lists one
// task per list; both give the same lists.
TEST(IVFSQIndex, SequentialAndParallelAddsGiveTheSameLists) {
    const size_t d = 10, nlist = 7, n = 1001;
    const std::vector<float> train = random_rows(800, d, 4);
    const std::vector<float> rows = random_rows(n, d, 5);
    const std::vector<int64_t> ids = ids_from(-300, n);
    tavren::testing::PoolGuard pool(8);
    IVFSQIndex parallel = trained(d, nlist, 0, train);
    parallel.add(rows, ids, n);
    IVFSQIndex sequential = trained(d, nlist, 0, train);
    sequential.add(std::span<const float>(rows).first(1000 * d), std::span<const int64_t>(ids).first(1000), 1000);
    sequential.add(std::span<const float>(rows).subspan(1000 * d), std::span<const int64_t>(ids).subspan(1000), 1);
    EXPECT_EQ(parallel.list_ids(), sequential.list_ids());
    EXPECT_EQ(parallel.list_codes(), sequential.list_codes());
    size_t total = 0;
    for (const auto& l : parallel.list_ids()) total += l.size();
    EXPECT_EQ(total, n);
}

// Under cosine, training and added rows are normalised before clustering,
// assignment and encoding.
TEST(IVFSQIndex, CosineNormalisesBeforeClusteringAndEncoding) {
    const size_t d = 8, n = 400;
    const std::vector<float> train = random_rows(n, d, 6);
    std::vector<float> unit = train;
    for (size_t i = 0; i < n; ++i) tavren::distance::fvec_normalize(std::span<float>(unit).subspan(i * d, d));
    const IVFSQIndex cosine = trained(d, 3, tavren::kMetricCosine, train);
    const IVFSQIndex l2_on_unit = trained(d, 3, 0, unit);
    EXPECT_EQ(cosine.centroids(), l2_on_unit.centroids());
    EXPECT_EQ(cosine.global_sq(), l2_on_unit.global_sq());

    IVFSQIndex a = trained(d, 3, tavren::kMetricCosine, train);
    IVFSQIndex b = trained(d, 3, 0, unit);
    const std::vector<int64_t> ids = ids_from(0, 50);
    a.add(std::span<const float>(train).first(50 * d), ids, 50);
    b.add(std::span<const float>(unit).first(50 * d), ids, 50);
    EXPECT_EQ(a.list_ids(), b.list_ids());
    EXPECT_EQ(a.list_codes(), b.list_codes());
}

TEST(IVFSQIndex, AddAssertsItsInputs) {
    IVFSQIndex untrained(2, 2, 0);
    const std::vector<float> rows = {1, 2};
    const std::vector<int64_t> ids = {1};
    EXPECT_NE(tavren::testing::assertion_text([&] { untrained.add(rows, ids, 1); }), "<no assertion>");
    IVFSQIndex index = trained(2, 2, 0, random_rows(50, 2, 7));
    EXPECT_NE(tavren::testing::assertion_text([&] { index.add(rows, ids, 2); }), "<no assertion>");
    EXPECT_NE(tavren::testing::assertion_text([&] { index.add(rows, std::vector<int64_t>{}, 1); }), "<no assertion>");
}

// The whole build (training, adds of both kinds, the writer's sorting and
// blocking) gives the same file at pool sizes 1 and 8, and every decoded
// value lies within half a step of the added row.
TEST(IVFSQIndex, FilesAreTheSameAtEveryPoolSizeAndDecodeWithinHalfAStep) {
    const size_t d = 12, nlist = 9, n = 2500;
    const std::vector<float> train = random_rows(1500, d, 8);
    const std::vector<float> rows = random_rows(n, d, 9);
    const std::vector<int64_t> ids = ids_from(-1000, n);
    std::vector<uint8_t> files[2];
    for (int pass = 0; pass < 2; ++pass) {
        tavren::testing::PoolGuard pool(pass == 0 ? 1 : 8);
        IVFSQIndex index(d, nlist, 0);
        index.train_with_config(train, 1500, tavren::kmeans::KMeansConfig{});
        index.add(std::span<const float>(rows).first(2000 * d), std::span<const int64_t>(ids).first(2000), 2000);
        index.add(std::span<const float>(rows).subspan(2000 * d), std::span<const int64_t>(ids).subspan(2000), 500);
        tavren::testing::MemorySink sink;
        tavren::ivfsq_io::write_ivfsq_index(index, sink);
        files[pass] = sink.bytes();
    }
    EXPECT_EQ(files[0], files[1]);

    std::vector<size_t> row_of(n);
    for (size_t i = 0; i < n; ++i) row_of[static_cast<size_t>(ids[i] + 1000)] = i;
    IvfSqCheckFile f;
    ASSERT_EQ(ivsc_parse(files[0].data(), files[0].size(), &f), 0) << f.error;
    EXPECT_EQ(f.total, static_cast<int64_t>(n));
    size_t checked = 0;
    for (uint32_t l = 0; l < f.nlist; ++l) {
        for (int32_t r = 0; r < f.lists[l].count; ++r) {
            const size_t id_index = static_cast<size_t>(f.lists[l].ids[r] + 1000);
            ASSERT_LT(id_index, n);
            const size_t i = row_of[id_index];
            for (size_t k = 0; k < d; ++k) {
                const float step = (ivsc_list_max(&f, l, k) - ivsc_list_min(&f, l, k)) / 255.0f;
                const float value = rows[i * d + k];
                const float centroid = ivsc_centroid_value(&f, l, k);
                const float residual = value - centroid;
                // Inside the trained range the error is at most half a step;
                // outside it the value clamps to the nearest bound.
                const float lo = ivsc_list_min(&f, l, k), hi = ivsc_list_max(&f, l, k);
                const float clamped = std::fmin(std::fmax(residual, lo), hi) + centroid;
                EXPECT_LE(std::fabs(ivsc_decode(&f, l, r, k) - clamped), step * 0.5f * 1.001f + 1e-5f)
                    << l << " " << r << " " << k;
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, n);
    ivsc_free(&f);
}
