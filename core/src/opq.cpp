// OPQ rotation training and application.
//
// Each pass rotates the centred sample with one matrix product spread over
// the pool, retrains the product quantizer (hot-started after the first
// pass), encodes and reconstructs the sample, and replaces R by the
// orthogonal Procrustes solution for the reconstruction Y of the rotated
// sample X R^T: with X^T Y = U S V^T, the R minimising |X R^T - Y| is V U^T.
// X^T Y is accumulated block by block from transposed slices of the two
// matrices (the reconstruction is never held whole), in a fixed number of
// partial sums whatever the pool size, so the result does not depend on the
// number of threads. The decompositions run in double precision.
#include "opq.hpp"

#include <algorithm>
#include <numeric>

#include <Eigen/Dense>
#include <Eigen/SVD>

#include "blas.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::opq {
namespace {

// Rows per transposed slice of the X^T Y product.
constexpr size_t kBlockRows = 512;
// Partial sums of X^T Y; fixed so that the summation order is too.
constexpr size_t kPartialSums = 16;

size_t checked_product(size_t a, size_t b, const char* what) {
    auto r = checked_mul(a, b);
    if (!r) panic("{} overflows usize", what);
    return static_cast<size_t>(*r);
}

using MatrixD = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The centred sample: the chosen rows minus their mean (column sums added in
// row order, times the f32 reciprocal of the row count).
std::vector<float> centred_sample(std::span<const float> data, size_t d, const std::vector<size_t>& rows) {
    const size_t s = rows.size();
    std::vector<float> x(checked_product(s, d, "OPQ sample size"));
    std::vector<float> mean(d, 0.0f);
    for (size_t i = 0; i < s; ++i) {
        const float* row = data.data() + rows[i] * d;
        std::copy_n(row, d, x.data() + i * d);
        for (size_t t = 0; t < d; ++t) mean[t] += row[t];
    }
    const float inv = 1.0f / static_cast<float>(s);
    for (float& v : mean) v *= inv;
    for (size_t i = 0; i < s; ++i)
        for (size_t t = 0; t < d; ++t) x[i * d + t] -= mean[t];
    return x;
}

// X^T Y for the centred sample X (s x d) and the reconstruction of `codes`.
// Adds to *error_sum the squared distances between `rotated` and the
// reconstruction when error_sum is given.
std::vector<float> cross_product(const pq::ProductQuantizer& pq, std::span<const float> x,
                                 std::span<const float> rotated, std::span<const uint8_t> codes, size_t s,
                                 size_t d, double* error_sum) {
    const size_t cs = pq.code_size();
    const size_t blocks = static_cast<size_t>(div_ceil(s, kBlockRows));
    const size_t groups = std::min(kPartialSums, blocks);
    const size_t dd = checked_product(d, d, "d * d");
    std::vector<std::vector<float>> partial(groups);
    std::vector<double> errors(groups, 0.0);
    pool::parallel_for_each_index(groups, [&](size_t g) {
        std::vector<float>& acc = partial[g];
        acc.assign(dd, 0.0f);
        std::vector<float> xt(d * kBlockRows);
        std::vector<float> yt(d * kBlockRows);
        std::vector<float> y(d);
        double err = 0.0;
        // Group g takes blocks g, g + groups, g + 2 * groups, ...
        for (size_t b = g; b < blocks; b += groups) {
            const size_t first = b * kBlockRows;
            const size_t rows = std::min(s, first + kBlockRows) - first;
            for (size_t r = 0; r < rows; ++r) {
                const float* xr = x.data() + (first + r) * d;
                pq.decode(codes.subspan((first + r) * cs, cs), y);
                for (size_t t = 0; t < d; ++t) {
                    xt[t * rows + r] = xr[t];
                    yt[t * rows + r] = y[t];
                }
                if (error_sum != nullptr) {
                    const float* rr = rotated.data() + (first + r) * d;
                    for (size_t t = 0; t < d; ++t) {
                        const double e = static_cast<double>(rr[t]) - static_cast<double>(y[t]);
                        err += e * e;
                    }
                }
            }
            blas::sgemm_a_bt(d, d, rows, 1.0f, std::span<const float>(xt).first(d * rows),
                             std::span<const float>(yt).first(d * rows), 1.0f, acc);
        }
        errors[g] = err;
    });
    std::vector<float> m = std::move(partial[0]);
    for (size_t g = 1; g < groups; ++g)
        for (size_t i = 0; i < dd; ++i) m[i] += partial[g][i];
    if (error_sum != nullptr) {
        for (double e : errors) *error_sum += e;
    }
    return m;
}

// R = V U^T from the singular value decomposition X^T Y = U S V^T.
std::vector<float> procrustes_rotation(const std::vector<float>& m, size_t d) {
    MatrixD md(static_cast<Eigen::Index>(d), static_cast<Eigen::Index>(d));
    for (size_t i = 0; i < d; ++i)
        for (size_t j = 0; j < d; ++j) md(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = m[i * d + j];
    Eigen::BDCSVD<MatrixD> svd(md, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const MatrixD r = svd.matrixV() * svd.matrixU().transpose();
    std::vector<float> out(d * d);
    for (size_t i = 0; i < d; ++i)
        for (size_t j = 0; j < d; ++j)
            out[i * d + j] = static_cast<float>(r(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)));
    return out;
}

}  // namespace

std::vector<size_t> sample_rows(size_t n, size_t max_rows, rng::StdRng& rng) {
    if (n <= max_rows) {
        std::vector<size_t> all(n);
        std::iota(all.begin(), all.end(), size_t{0});
        return all;
    }
    return kmeans::sample_positions(n, max_rows, rng);
}

std::vector<float> random_rotation(size_t d, rng::StdRng& rng) {
    MatrixD a(static_cast<Eigen::Index>(d), static_cast<Eigen::Index>(d));
    for (size_t i = 0; i < d; ++i)
        for (size_t j = 0; j < d; ++j)
            a(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = static_cast<double>(rng.gen_f32() - 0.5f);
    Eigen::HouseholderQR<MatrixD> qr(a);
    const MatrixD q = qr.householderQ();
    std::vector<float> out(d * d);
    for (size_t i = 0; i < d; ++i)
        for (size_t j = 0; j < d; ++j)
            out[i * d + j] = static_cast<float>(q(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)));
    return out;
}

OPQMatrix::OPQMatrix(size_t d, size_t m) : rotation_(checked_product(d, d, "d * d"), 0.0f), d_(d), m_(m) {}

OPQMatrix OPQMatrix::from_rotation(size_t d, size_t m, std::vector<float> rotation) {
    assert_eq(rotation.size(), checked_product(d, d, "d * d"), "OPQ rotation must hold d * d values");
    OPQMatrix matrix(0, m);
    matrix.rotation_ = std::move(rotation);
    matrix.d_ = d;
    matrix.settings_ = OPQTrainingSettings{0, 0, 0, 0};
    matrix.trained_ = true;
    return matrix;
}

void OPQMatrix::apply(std::span<const float> x, std::span<float> y) const {
    check_len(d_, x.size());
    check_len(d_, y.size());
    for (size_t i = 0; i < d_; ++i) {
        y[i] = distance::fvec_inner_product(std::span<const float>(rotation_).subspan(i * d_, d_), x.first(d_));
    }
}

void OPQMatrix::apply_batch(std::span<const float> x, std::span<float> y, size_t n) const {
    if (n == 0) return;
    if (n == 1) {
        apply(x, y);
        return;
    }
    const size_t total = checked_product(n, d_, "n * d");
    check_len(total, x.size());
    check_len(total, y.size());
    blas::sgemm_a_bt_parallel(n, d_, d_, 1.0f, x, rotation_, 0.0f, y);
}

void OPQMatrix::train_with_config(std::span<const float> data, size_t n, pq::ProductQuantizer& pq,
                                  const kmeans::KMeansConfig& config, OPQTrainTrace* trace) {
    const size_t d = d_;
    assert_eq(pq.d(), d, "OPQ dimension must match the product quantizer");
    check_len(checked_product(n, d, "n * d"), data.size());
    const size_t cs = pq.code_size();
    TD_ASSERT(cs != 0, "chunk_size must not be zero");

    rng::StdRng rng = rng::StdRng::seed_from_u64(kOpqSeed);
    const std::vector<size_t> rows = sample_rows(n, settings_.max_train_rows, rng);
    const size_t s = rows.size();
    const std::vector<float> x = centred_sample(data, d, rows);
    if (trace != nullptr) {
        trace->sample_rows = rows;
        trace->pass_errors.clear();
    }
    rotation_ = random_rotation(d, rng);

    const size_t threads = std::max<size_t>(pool::current_num_threads(), 1);
    std::vector<float> rotated(x.size());
    std::vector<uint8_t> codes(checked_product(s, cs, "OPQ code buffer size"));
    auto rotate_sample = [&] {
        if (s == 1) {
            apply(x, rotated);
        } else if (s > 1) {
            blas::sgemm_a_bt_parallel(s, d, d, 1.0f, x, rotation_, 0.0f, rotated);
        }
    };
    for (size_t pass = 0; pass < settings_.passes; ++pass) {
        rotate_sample();
        kmeans::KMeansConfig pass_config = config;
        pass_config.max_iter = pass == 0 ? settings_.first_pass_pq_iterations : settings_.later_pass_pq_iterations;
        pq.train_hot_start_with_parallelism(rotated, s, pass_config, pass != 0, threads);
        pq.encode_batch(rotated, s, codes);
        if (s == 0) continue;  // nothing to fit: R stays as it is
        double error = 0.0;
        const std::vector<float> m = cross_product(pq, x, rotated, codes, s, d, trace != nullptr ? &error : nullptr);
        if (trace != nullptr) trace->pass_errors.push_back(error / static_cast<double>(s));
        rotation_ = procrustes_rotation(m, d);
    }
    rotate_sample();
    pq.train_hot_start_with_parallelism(rotated, s, config, false, threads);
    trained_ = true;
}

}  // namespace tavren::opq
