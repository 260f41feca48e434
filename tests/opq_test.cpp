// OPQ rotation: orthogonality, application, reproducibility, sampling and the
// fall of the quantization error over the training passes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "distance.hpp"
#include "error.hpp"
#include "guards.hpp"
#include "kmeans.hpp"
#include "opq.hpp"
#include "pq.hpp"
#include "rng.hpp"

namespace {

using tavren::opq::OPQMatrix;
using tavren::opq::OPQTrainingSettings;
using tavren::opq::OPQTrainTrace;
using tavren::pq::ProductQuantizer;
using tavren::rng::StdRng;
using tavren::testing::PoolGuard;

bool same_bits(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Frobenius norm of R R^T - I, in double.
double orthogonality_error(std::span<const float> r, size_t d) {
    double sum = 0;
    for (size_t i = 0; i < d; ++i) {
        for (size_t j = 0; j < d; ++j) {
            double dot = 0;
            for (size_t t = 0; t < d; ++t) dot += double(r[i * d + t]) * r[j * d + t];
            const double e = dot - (i == j ? 1.0 : 0.0);
            sum += e * e;
        }
    }
    return std::sqrt(sum);
}

// Rows whose variance sits unevenly in a few correlated directions: standard
// deviations falling geometrically, mixed by a fixed random orthogonal matrix
// and shifted off the origin.
std::vector<float> anisotropic(size_t n, size_t d, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    StdRng mixer_rng = StdRng::seed_from_u64(seed);
    const std::vector<float> mix = tavren::opq::random_rotation(d, mixer_rng);
    std::vector<float> out(n * d);
    std::vector<float> z(d);
    for (size_t i = 0; i < n; ++i) {
        float sd = 4.0f;
        for (size_t t = 0; t < d; ++t, sd *= 0.7f) z[t] = nd(g) * sd;
        for (size_t t = 0; t < d; ++t) {
            float s = 3.0f;
            for (size_t u = 0; u < d; ++u) s += mix[t * d + u] * z[u];
            out[i * d + t] = s;
        }
    }
    return out;
}

tavren::kmeans::KMeansConfig pq_config() {
    tavren::kmeans::KMeansConfig config;
    config.max_iter = 25;
    return config;
}

// Mean squared error between rows and their PQ reconstruction.
double quantization_error(const ProductQuantizer& pq, std::span<const float> rows, size_t n) {
    std::vector<uint8_t> codes(n * pq.code_size());
    pq.encode_batch(rows, n, codes);
    std::vector<float> y(pq.d());
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        pq.decode({codes.data() + i * pq.code_size(), pq.code_size()}, y);
        for (size_t t = 0; t < pq.d(); ++t) {
            const double e = double(rows[i * pq.d() + t]) - y[t];
            sum += e * e;
        }
    }
    return sum / double(n);
}

struct Trained {
    OPQMatrix opq;
    ProductQuantizer pq;
    OPQTrainTrace trace;
};

Trained train(std::span<const float> data, size_t n, size_t d, size_t m, size_t passes, size_t nbits = 8,
              size_t max_rows = 65536) {
    Trained t{OPQMatrix(d, m), ProductQuantizer::with_nbits(d, m, nbits), {}};
    OPQTrainingSettings settings;
    settings.passes = passes;
    settings.max_train_rows = max_rows;
    t.opq.set_settings(settings);
    t.opq.train_with_config(data, n, t.pq, pq_config(), &t.trace);
    return t;
}

TEST(Opq, CreatedAndStoredMatrices) {
    const OPQMatrix fresh(6, 2);
    EXPECT_FALSE(fresh.is_trained());
    EXPECT_EQ(std::vector<float>(fresh.rotation().begin(), fresh.rotation().end()), std::vector<float>(36, 0.0f));
    EXPECT_EQ(fresh.settings().passes, 50u);
    EXPECT_EQ(fresh.settings().later_pass_pq_iterations, 4u);
    EXPECT_EQ(fresh.settings().first_pass_pq_iterations, 40u);
    EXPECT_EQ(fresh.settings().max_train_rows, 65536u);
    std::vector<float> r(9);
    r[0] = r[4] = r[8] = 1.0f;
    const OPQMatrix stored = OPQMatrix::from_rotation(3, 1, r);
    EXPECT_TRUE(stored.is_trained());
    EXPECT_EQ(stored.settings().passes, 0u);
    EXPECT_EQ(stored.settings().max_train_rows, 0u);
    EXPECT_THROW(OPQMatrix::from_rotation(3, 1, std::vector<float>(8)), tavren::AssertionFailure);
}

TEST(Opq, ErrorFallsEveryPassAndEndsBelowPlainPq) {
    const size_t n = 3000, d = 8, m = 2;
    const std::vector<float> data = anisotropic(n, d, 1);
    Trained t = train(data, n, d, m, 20);
    ASSERT_EQ(t.trace.pass_errors.size(), 20u);
    for (size_t p = 1; p < t.trace.pass_errors.size(); ++p) {
        EXPECT_LE(t.trace.pass_errors[p], t.trace.pass_errors[p - 1] * (1.0 + 1e-6)) << "pass " << p;
    }
    EXPECT_LT(t.trace.pass_errors.back(), 0.8 * t.trace.pass_errors.front());
    EXPECT_LT(orthogonality_error(t.opq.rotation(), d), 1e-4);
    EXPECT_TRUE(t.opq.is_trained());
    EXPECT_TRUE(t.pq.has_valid_layout());

    // As the index does: rotate the rows as they are (no mean is stored) and
    // train its quantizer on them.
    std::vector<float> rotated(n * d);
    t.opq.apply_batch(data, rotated, n);
    ProductQuantizer after = ProductQuantizer::with_nbits(d, m, 8);
    after.train_hot_start_with_parallelism(rotated, n, pq_config(), false, 8);
    const double with_opq = quantization_error(after, rotated, n);
    ProductQuantizer plain = ProductQuantizer::with_nbits(d, m, 8);
    plain.train_hot_start_with_parallelism(data, n, pq_config(), false, 8);
    const double without = quantization_error(plain, data, n);
    EXPECT_LT(with_opq, 0.9 * without) << with_opq << " vs " << without;
}

TEST(Opq, RotationStaysOrthogonalAndKeepsGeometry) {
    const size_t n = 2000, d = 24, m = 6;
    const std::vector<float> data = anisotropic(n, d, 2);
    for (size_t passes : {0u, 1u, 3u}) {
        SCOPED_TRACE(passes);
        Trained t = train(data, n, d, m, passes, 4);
        EXPECT_LT(orthogonality_error(t.opq.rotation(), d), 1e-4);
        std::mt19937 g(5);
        std::normal_distribution<float> nd(0.0f, 2.0f);
        std::vector<float> a(d), b(d), ra(d), rb(d);
        for (int trial = 0; trial < 10; ++trial) {
            for (size_t t2 = 0; t2 < d; ++t2) {
                a[t2] = nd(g);
                b[t2] = nd(g);
            }
            t.opq.apply(a, ra);
            t.opq.apply(b, rb);
            const double na = tavren::distance::fvec_norm_l2sqr(a), nra = tavren::distance::fvec_norm_l2sqr(ra);
            EXPECT_NEAR(nra, na, 1e-5 * na);
            const double ip = tavren::distance::fvec_inner_product(a, b);
            const double rip = tavren::distance::fvec_inner_product(ra, rb);
            EXPECT_NEAR(rip, ip, 1e-5 * std::sqrt(na * tavren::distance::fvec_norm_l2sqr(b)));
        }
    }
    // No passes: the rotation is the start matrix, drawn after no sample draw.
    Trained zero = train(data, n, d, m, 0, 4);
    StdRng rng = StdRng::seed_from_u64(tavren::opq::kOpqSeed);
    EXPECT_TRUE(same_bits(zero.opq.rotation(), tavren::opq::random_rotation(d, rng)));
    EXPECT_TRUE(zero.trace.pass_errors.empty());
}

TEST(Opq, SameSeedSameRotationWhateverThePool) {
    const size_t n = 1500, d = 16, m = 4;
    const std::vector<float> data = anisotropic(n, d, 3);
    std::vector<float> r1, c1;
    {
        PoolGuard guard(1);
        Trained t = train(data, n, d, m, 4);
        r1.assign(t.opq.rotation().begin(), t.opq.rotation().end());
        c1.assign(t.pq.centroids().begin(), t.pq.centroids().end());
    }
    PoolGuard guard(8);
    Trained t = train(data, n, d, m, 4);
    EXPECT_TRUE(same_bits(t.opq.rotation(), r1));
    EXPECT_TRUE(same_bits(t.pq.centroids(), c1));
    // Training again restarts from the seed.
    ProductQuantizer pq = t.pq;
    t.opq.train_with_config(data, n, pq, pq_config());
    EXPECT_TRUE(same_bits(t.opq.rotation(), r1));
}

TEST(Opq, SampleUsesEveryRowUpToTheCapAndDistinctRowsAbove) {
    // At the cap: every row in order, and no draw from the generator.
    StdRng rng = StdRng::seed_from_u64(tavren::opq::kOpqSeed);
    const std::vector<size_t> all = tavren::opq::sample_rows(65536, 65536, rng);
    ASSERT_EQ(all.size(), 65536u);
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i);
    StdRng fresh = StdRng::seed_from_u64(tavren::opq::kOpqSeed);
    EXPECT_EQ(rng.next_u64(), fresh.next_u64());

    // One row above: 65,536 distinct rows, as the training sees them.
    const size_t n = 65537, d = 4;
    std::vector<float> data(n * d);
    std::mt19937 g(9);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    for (float& v : data) v = nd(g);
    Trained t = train(data, n, d, 2, 1, 4);
    ASSERT_EQ(t.trace.sample_rows.size(), 65536u);
    const std::set<size_t> distinct(t.trace.sample_rows.begin(), t.trace.sample_rows.end());
    EXPECT_EQ(distinct.size(), 65536u);
    EXPECT_LT(*distinct.rbegin(), n);

    Trained small = train(data, 500, d, 2, 1, 4);
    ASSERT_EQ(small.trace.sample_rows.size(), 500u);
    for (size_t i = 0; i < 500; ++i) ASSERT_EQ(small.trace.sample_rows[i], i);
}

TEST(Opq, ApplyAndApplyBatch) {
    const size_t d = 12;
    StdRng rng = StdRng::seed_from_u64(7);
    const OPQMatrix opq = OPQMatrix::from_rotation(d, 3, tavren::opq::random_rotation(d, rng));
    std::vector<float> x(5 * d);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 7) - 3.0f;
    std::vector<float> one(d), batch(5 * d), single(d, 9.0f);
    opq.apply_batch(std::span<const float>(x).first(d), single, 1);
    opq.apply(std::span<const float>(x).first(d), one);
    EXPECT_TRUE(same_bits(single, one));
    opq.apply_batch(x, batch, 5);
    for (size_t i = 0; i < 5; ++i) {
        opq.apply(std::span<const float>(x).subspan(i * d, d), one);
        for (size_t t = 0; t < d; ++t) EXPECT_NEAR(batch[i * d + t], one[t], 1e-5);
    }
    std::vector<float> untouched(d, 4.0f);
    opq.apply_batch(x, untouched, 0);
    EXPECT_EQ(untouched, std::vector<float>(d, 4.0f));
    EXPECT_THROW(opq.apply(std::span<const float>(x).first(d - 1), one), tavren::AssertionFailure);
    EXPECT_THROW(opq.apply_batch(x, std::span<float>(batch).first(5 * d - 1), 5), tavren::AssertionFailure);
    // d = 0 writes nothing.
    const OPQMatrix empty = OPQMatrix::from_rotation(0, 1, {});
    std::vector<float> none;
    empty.apply(none, none);
}

}  // namespace
