// The OPQ rotation: a learned orthogonal d x d matrix R that spreads the
// variance evenly over the product quantizer's chunks before quantization.
// A vector x is rotated to y = R x; no mean is stored or subtracted.
//
// Training alternates between training the product quantizer on the rotated
// sample and the orthogonal Procrustes update of R. Everything random comes
// from one generator seeded with 12345, so the same data always give the same
// sample, start rotation and result; the result does not depend on the
// number of pool threads. After training the matrix is read-only and apply /
// apply_batch may run concurrently. Short slices are assertions.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "kmeans.hpp"
#include "pq.hpp"
#include "rng.hpp"

namespace tavren::opq {

// The fixed seed of every rotation training.
inline constexpr uint64_t kOpqSeed = 12345;

// Training settings kept with the matrix (all 0 for a matrix read from a file).
struct OPQTrainingSettings {
    size_t passes = 50;                    // alternating passes
    size_t later_pass_pq_iterations = 4;   // k-means iterations of the PQ retraining after the first pass
    size_t first_pass_pq_iterations = 40;  // k-means iterations of the first pass's PQ training
    size_t max_train_rows = 65536;         // cap on the rows that take part
};

// What a training did (tests and diagnostics).
struct OPQTrainTrace {
    std::vector<size_t> sample_rows;  // the rows used, in sample order
    // Per pass, the mean squared quantization error of the rotated sample
    // under that pass's product quantizer, before the rotation update.
    std::vector<double> pass_errors;
};

class OPQMatrix {
public:
    // A matrix to be trained: zero rotation, the default settings, untrained.
    OPQMatrix(size_t d, size_t m);
    // A trained matrix from its d * d values (row-major); settings all 0.
    static OPQMatrix from_rotation(size_t d, size_t m, std::vector<float> rotation);

    size_t d() const noexcept { return d_; }
    size_t m() const noexcept { return m_; }
    std::span<const float> rotation() const noexcept { return rotation_; }
    const OPQTrainingSettings& settings() const noexcept { return settings_; }
    void set_settings(const OPQTrainingSettings& settings) noexcept { settings_ = settings; }
    bool is_trained() const noexcept { return trained_; }

    // Learns R from n rows of d values (data holds at least n * d) and trains
    // `pq` (dimension d) for it: on return pq holds a codebook trained from
    // scratch with `config` on the sample rotated by the final R.
    void train_with_config(std::span<const float> data, size_t n, pq::ProductQuantizer& pq,
                           const kmeans::KMeansConfig& config, OPQTrainTrace* trace = nullptr);

    // y[i] = sum_j R[i][j] x[j] for i < d; x and y hold at least d values.
    void apply(std::span<const float> x, std::span<float> y) const;
    // Rotates n row-major rows of x into y: y = x R^T by one matrix product
    // (n = 1 is exactly apply). A row rotated in a batch may differ in its
    // last bits from the same row rotated alone.
    void apply_batch(std::span<const float> x, std::span<float> y, size_t n) const;

private:
    std::vector<float> rotation_;
    size_t d_ = 0;
    size_t m_ = 0;
    OPQTrainingSettings settings_;
    bool trained_ = false;
};

// The training sample: all n rows in order when n <= max_rows (no draw);
// otherwise the first max_rows places of a partial Fisher-Yates shuffle of
// 0 .. n-1 (max_rows draws of gen_range(i, n)).
std::vector<size_t> sample_rows(size_t n, size_t max_rows, rng::StdRng& rng);

// The orthogonal factor of the Householder QR of a d x d matrix of draws
// gen_f32() - 0.5 in row-major order; row-major, d * d values.
std::vector<float> random_rotation(size_t d, rng::StdRng& rng);

}  // namespace tavren::opq
