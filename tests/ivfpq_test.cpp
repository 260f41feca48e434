// The in-memory IVF-PQ index: list sizes, batching, preprocessing (cosine,
// rotation), residual codes only under l2, the setters' and shape
// assertions, and the precomputed-table identity.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "expect.hpp"
#include "ivfpq.hpp"
#include "ivfpq_io.hpp"
#include "metric.hpp"
#include "rng.hpp"

using tavren::ivfpq::IVFPQIndex;
using tavren::ivfpq::IvfPqEncoding;
using tavren::kmeans::KMeansConfig;

namespace {

std::vector<float> random_rows(size_t n, size_t d, uint64_t seed) {
    tavren::rng::StdRng rng = tavren::rng::StdRng::seed_from_u64(seed);
    std::vector<float> out(n * d);
    for (float& v : out) v = static_cast<float>(rng.next_u64() % 2000) / 1000.0f - 1.0f;
    return out;
}

KMeansConfig small_config() {
    KMeansConfig c;
    c.max_iter = 5;
    return c;
}

IVFPQIndex trained(size_t d, size_t nlist, size_t m, uint32_t metric, bool opq, size_t n_train = 600) {
    IVFPQIndex index = IVFPQIndex::with_nbits(d, nlist, m, 8, metric, opq);
    index.set_approximate_coarse_assignment(false);
    const std::vector<float> data = random_rows(n_train, d, 11);
    index.train_with_config(data, n_train, small_config(), small_config());
    return index;
}

size_t rows_held(const IVFPQIndex& index) {
    size_t n = 0;
    for (const auto& ids : index.list_ids()) n += ids.size();
    return n;
}

}  // namespace

TEST(IvfPqIndex, ListSizesSumToRowsAndCodesMatch) {
    for (uint32_t metric : {tavren::kMetricL2, tavren::kMetricInnerProduct, tavren::kMetricCosine}) {
        for (bool opq : {false, true}) {
            IVFPQIndex index = trained(8, 4, 4, metric, opq);
            EXPECT_EQ(index.by_residual(), metric == tavren::kMetricL2);
            EXPECT_EQ(index.opq().has_value(), opq);
            const std::vector<float> rows = random_rows(500, 8, 3);
            std::vector<int64_t> ids(500);
            std::iota(ids.begin(), ids.end(), int64_t{100});
            index.add(rows, ids, 500);
            index.add(rows, ids, 0);
            EXPECT_EQ(rows_held(index), 500u);
            for (size_t l = 0; l < 4; ++l) {
                EXPECT_EQ(index.list_codes()[l].size(), index.list_ids()[l].size() * 4);
            }
        }
    }
}

TEST(IvfPqIndex, OneCallOfOneRowMoreThanABatchEqualsTwoCalls) {
    const size_t n = tavren::ivfpq::kAddBatchRows + 1;
    const std::vector<float> rows = random_rows(n, 4, 5);
    std::vector<int64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = static_cast<int64_t>((i * 7919) % 1000);  // repeated IDs
    IVFPQIndex one = trained(4, 3, 2, tavren::kMetricL2, false);
    IVFPQIndex two = trained(4, 3, 2, tavren::kMetricL2, false);
    one.add(rows, ids, n);
    const size_t b = tavren::ivfpq::kAddBatchRows;
    two.add(rows, ids, b);
    two.add(std::span<const float>(rows).subspan(b * 4), std::span<const int64_t>(ids).subspan(b), 1);
    EXPECT_EQ(one.list_ids(), two.list_ids());
    EXPECT_EQ(one.list_codes(), two.list_codes());
    EXPECT_EQ(rows_held(one), n);
}

TEST(IvfPqIndex, CosineZeroRowStaysZero) {
    IVFPQIndex index = trained(8, 2, 4, tavren::kMetricCosine, false);
    std::vector<float> rows(16, 0.0f);
    rows[8] = 3.0f;
    rows[9] = 4.0f;
    std::vector<float> owned;
    const std::span<const float> out = index.preprocess_queries(rows, 2, owned);
    for (size_t k = 0; k < 8; ++k) EXPECT_EQ(out[k], 0.0f);
    EXPECT_FLOAT_EQ(out[8], 0.6f);
    EXPECT_FLOAT_EQ(out[9], 0.8f);
    index.add(rows, std::vector<int64_t>{1, 2}, 2);
    EXPECT_EQ(rows_held(index), 2u);
}

TEST(IvfPqIndex, PreprocessCopiesOnlyWhenRowsChange) {
    const IVFPQIndex plain = trained(8, 2, 4, tavren::kMetricL2, false);
    const std::vector<float> rows = random_rows(3, 8, 9);
    std::vector<float> owned;
    EXPECT_EQ(plain.preprocess_queries(rows, 2, owned).data(), rows.data());
    EXPECT_TRUE(owned.empty());
    const IVFPQIndex rotated = trained(8, 2, 4, tavren::kMetricInnerProduct, true);
    const std::span<const float> out = rotated.preprocess_queries(rows, 2, owned);
    ASSERT_EQ(out.size(), 16u);
    std::vector<float> expected(16, 0.0f);
    rotated.opq()->apply_batch(std::span<const float>(rows).first(16), expected, 2);
    EXPECT_EQ(std::vector<float>(out.begin(), out.end()), expected);
}

TEST(IvfPqIndex, CodesOfRowsUnderIpAndCosineOfResidualsUnderL2) {
    const std::vector<float> rows = random_rows(40, 8, 21);
    std::vector<int64_t> ids(40);
    std::iota(ids.begin(), ids.end(), int64_t{0});
    for (uint32_t metric : {tavren::kMetricL2, tavren::kMetricInnerProduct, tavren::kMetricCosine}) {
        IVFPQIndex index = trained(8, 3, 4, metric, false);
        index.set_pq_encoding(IvfPqEncoding::Canonical);
        index.add(rows, ids, 40);
        std::vector<float> owned;
        const std::span<const float> pre = index.preprocess_queries(rows, 40, owned);
        for (size_t l = 0; l < 3; ++l) {
            const auto& list = index.list_ids()[l];
            for (size_t r = 0; r < list.size(); ++r) {
                const size_t row = static_cast<size_t>(list[r]);
                std::vector<float> input(pre.begin() + row * 8, pre.begin() + row * 8 + 8);
                if (metric == tavren::kMetricL2) {
                    for (size_t k = 0; k < 8; ++k) input[k] -= index.centroids()[l * 8 + k];
                }
                std::vector<uint8_t> code(4);
                index.pq().encode_batch(input, 1, code);
                EXPECT_EQ(std::vector<uint8_t>(index.list_codes()[l].begin() + r * 4,
                                               index.list_codes()[l].begin() + r * 4 + 4),
                          code)
                    << metric << " row " << row;
            }
        }
    }
}

TEST(IvfPqIndex, Assertions) {
    using tavren::testing::assertion_text;
    EXPECT_EQ(assertion_text([] { IVFPQIndex::with_nbits(6, 2, 3, 4, 0, false); }),
              "4-bit IVF-PQ requires even m, got 3");
    EXPECT_EQ(IVFPQIndex::with_nbits(8, 2, 4, 4, 0, false).pq().code_size(), 2u);
    IVFPQIndex index = trained(4, 2, 2, tavren::kMetricL2, false);
    index.add(random_rows(1, 4, 1), std::vector<int64_t>{5}, 1);
    EXPECT_EQ(assertion_text([&] { index.set_approximate_coarse_assignment(true); }),
              "cannot change coarse assignment after vectors have been added");
    EXPECT_EQ(assertion_text([&] { index.set_pq_encoding(IvfPqEncoding::Auto); }),
              "cannot change PQ encoding after vectors have been added");
}

TEST(IvfPqIndex, PrecomputedTableIdentity) {
    IVFPQIndex index = trained(8, 3, 4, tavren::kMetricL2, false);
    const std::vector<float> rows = random_rows(30, 8, 8);
    std::vector<int64_t> ids(30);
    std::iota(ids.begin(), ids.end(), int64_t{0});
    index.add(rows, ids, 30);
    const std::vector<float> table =
        tavren::ivfpq_io::compute_precomputed_table(index.centroids(), index.pq(), 3, 8);
    ASSERT_EQ(table.size(), 3u * 4 * 256);
    const std::vector<float> q = random_rows(1, 8, 99);
    const auto& cb = index.pq().centroids();
    for (size_t l = 0; l < 3; ++l) {
        for (size_t r = 0; r < index.list_ids()[l].size(); ++r) {
            const uint8_t* code = index.list_codes()[l].data() + r * 4;
            double direct = 0.0;
            double via_table = 0.0;
            for (size_t k = 0; k < 8; ++k) {
                const double c = index.centroids()[l * 8 + k];
                via_table += (q[k] - c) * (q[k] - c);
            }
            for (size_t j = 0; j < 4; ++j) {
                double ip = 0.0;
                for (size_t t = 0; t < 2; ++t) {
                    const double word = cb[(j * 256 + code[j]) * 2 + t];
                    const double recon = index.centroids()[l * 8 + j * 2 + t] + word;
                    direct += (q[j * 2 + t] - recon) * (q[j * 2 + t] - recon);
                    ip += q[j * 2 + t] * word;
                }
                via_table += table[(l * 4 + j) * 256 + code[j]] - 2.0 * ip;
            }
            EXPECT_NEAR(via_table, direct, 1e-4 * (1.0 + direct));
        }
    }
}
