// OPQ rotation training and application.
//
// Each pass rotates the centred sample with one matrix product spread over
// the pool, retrains the product quantizer (hot-started after the first
// pass), encodes and reconstructs the sample, and replaces R by the
// orthogonal Procrustes solution for the reconstruction Y of the rotated
// sample X R^T: with X^T Y = U S V^T, the R minimising |X R^T - Y| is V U^T.
// X^T Y is formed from per-codeword sums of the rows of X (the
// reconstruction is never held), each added in row order by one task, so the
// result does not depend on the number of threads. The decompositions run in
// double precision.
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

// Rows per block of the error sum (a fixed split: the sum does not depend on threads).
constexpr size_t kErrorBlockRows = 4096;

using pq::checked_size_product;

using MatrixD = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The centred sample: the chosen rows minus their mean (column sums added in
// row order, times the f32 reciprocal of the row count).
std::vector<float> centred_sample(std::span<const float> data, size_t d, const std::vector<size_t>& rows) {
    const size_t s = rows.size();
    std::vector<float> x(checked_size_product(s, d, "OPQ sample size"));
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

// X^T Y for the centred sample X (s x d) and the reconstruction Y of
// `codes`, without Y: the columns of chunk j are sum_c S_c C_c^T, where S_c
// is the sum of the rows of X whose chunk j holds codeword c (added in row
// order) and C_c that codeword. That is m * s * d additions instead of the
// s * d * d multiply-adds of the whole product. Chunks run in parallel and
// write disjoint columns.
std::vector<float> cross_product(const pq::ProductQuantizer& pq, std::span<const float> x,
                                 std::span<const uint8_t> codes, size_t s, size_t d) {
    const size_t cs = pq.code_size();
    const size_t ksub = pq.ksub();
    const pq::TransposedCodebook& book = pq.transposed_codebook();
    std::vector<float> m(checked_size_product(d, d, "d * d"), 0.0f);
    // Scratch once per range of chunks, not once per chunk.
    pool::parallel_for(0, pq.m(), 1, [&](size_t first, size_t last) {
        std::vector<float> sums(ksub * d);
        std::vector<float> sums_t(d * ksub);
        std::vector<float> block(d * pq.max_chunk_width());
        for (size_t j = first; j < last; ++j) {
            const size_t lo = pq.chunk_offsets()[j];
            const size_t w = pq.chunk_offsets()[j + 1] - lo;
            std::fill(sums.begin(), sums.end(), 0.0f);
            for (size_t i = 0; i < s; ++i) {
                float* to = sums.data() + pq.code_value(codes.subspan(i * cs, cs), j) * d;
                const float* row = x.data() + i * d;
                for (size_t t = 0; t < d; ++t) to[t] += row[t];
            }
            // sums^T (d x ksub) against the chunk's dimension-major codewords (w x ksub).
            for (size_t c = 0; c < ksub; ++c)
                for (size_t t = 0; t < d; ++t) sums_t[t * ksub + c] = sums[c * d + t];
            blas::sgemm_a_bt(d, w, ksub, 1.0f, sums_t,
                             std::span<const float>(book.values).subspan(j * book.stride, w * ksub), 0.0f,
                             std::span<float>(block).first(d * w));
            for (size_t t = 0; t < d; ++t) std::copy_n(block.data() + t * w, w, m.data() + t * d + lo);
        }
    });
    return m;
}

// The mean squared distance between the rotated sample and its reconstruction.
double mean_quantization_error(const pq::ProductQuantizer& pq, std::span<const float> rotated,
                               std::span<const uint8_t> codes, size_t s, size_t d) {
    const size_t cs = pq.code_size();
    const size_t blocks = static_cast<size_t>(div_ceil(s, kErrorBlockRows));
    std::vector<double> partial(blocks, 0.0);
    pool::parallel_for_each_index(blocks, [&](size_t b) {
        std::vector<float> y(d);
        double sum = 0.0;
        const size_t end = std::min(s, (b + 1) * kErrorBlockRows);
        for (size_t i = b * kErrorBlockRows; i < end; ++i) {
            pq.decode(codes.subspan(i * cs, cs), y);
            for (size_t t = 0; t < d; ++t) {
                const double e = static_cast<double>(rotated[i * d + t]) - static_cast<double>(y[t]);
                sum += e * e;
            }
        }
        partial[b] = sum;
    });
    double total = 0.0;
    for (double v : partial) total += v;
    return total / static_cast<double>(s);
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

OPQMatrix::OPQMatrix(size_t d, size_t m) : rotation_(checked_size_product(d, d, "d * d"), 0.0f), d_(d), m_(m) {}

OPQMatrix OPQMatrix::from_rotation(size_t d, size_t m, std::vector<float> rotation) {
    assert_eq(rotation.size(), checked_size_product(d, d, "d * d"), "OPQ rotation must hold d * d values");
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
    const size_t total = checked_size_product(n, d_, "n * d");
    check_len(total, x.size());
    check_len(total, y.size());
    blas::sgemm_a_bt_parallel(n, d_, d_, 1.0f, x, rotation_, 0.0f, y);
}

void OPQMatrix::train_with_config(std::span<const float> data, size_t n, pq::ProductQuantizer& pq,
                                  const kmeans::KMeansConfig& config, OPQTrainTrace* trace) {
    const size_t d = d_;
    assert_eq(pq.d(), d, "OPQ dimension must match the product quantizer");
    check_len(checked_size_product(n, d, "n * d"), data.size());
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
    std::vector<uint8_t> codes(checked_size_product(s, cs, "OPQ code buffer size"));
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
        if (trace != nullptr) trace->pass_errors.push_back(mean_quantization_error(pq, rotated, codes, s, d));
        rotation_ = procrustes_rotation(cross_product(pq, x, codes, s, d), d);
    }
    rotate_sample();
    pq.train_hot_start_with_parallelism(rotated, s, config, false, threads);
    trained_ = true;
}

}  // namespace tavren::opq
