#include "ivfpq.hpp"

#include <algorithm>
#include <utility>

#include "distance.hpp"
#include "error.hpp"
#include "metric.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivfpq {

IVFPQIndex::IVFPQIndex(size_t d, size_t nlist, uint32_t metric, pq::ProductQuantizer pq,
                       coarse::CentroidGraphBuilder builder)
    : pq_(std::move(pq)),
      list_ids_(nlist),
      list_codes_(nlist),
      coarse_(builder),
      d_(d),
      nlist_(nlist),
      metric_(metric),
      by_residual_(metric == kMetricL2) {}

IVFPQIndex IVFPQIndex::with_nbits(size_t d, size_t nlist, size_t m, size_t nbits, uint32_t metric, bool use_opq,
                                  coarse::CentroidGraphBuilder builder) {
    if (nbits == 4 && m % 2 != 0) panic("4-bit IVF-PQ requires even m, got {}", m);
    IVFPQIndex index(d, nlist, metric, pq::ProductQuantizer::with_nbits(d, m, nbits), builder);
    if (use_opq) index.opq_.emplace(d, m);
    return index;
}

IVFPQIndex IVFPQIndex::from_parts(size_t d, size_t nlist, uint32_t metric, std::vector<float> centroids,
                                  pq::ProductQuantizer pq, std::optional<opq::OPQMatrix> opq,
                                  std::vector<std::vector<int64_t>> list_ids,
                                  std::vector<std::vector<uint8_t>> list_codes) {
    IVFPQIndex index(d, nlist, metric, std::move(pq), nullptr);
    index.centroids_ = std::move(centroids);
    index.opq_ = std::move(opq);
    index.list_ids_ = std::move(list_ids);
    index.list_codes_ = std::move(list_codes);
    return index;
}

bool IVFPQIndex::any_rows() const noexcept {
    return std::any_of(list_ids_.begin(), list_ids_.end(), [](const auto& ids) { return !ids.empty(); });
}

void IVFPQIndex::set_approximate_coarse_assignment(bool approximate) {
    if (any_rows()) panic("cannot change coarse assignment after vectors have been added");
    coarse_.set_approximate(approximate);
}

void IVFPQIndex::set_pq_encoding(IvfPqEncoding encoding) {
    if (any_rows()) panic("cannot change PQ encoding after vectors have been added");
    encoding_ = encoding;
}

std::span<const float> IVFPQIndex::preprocess_queries(std::span<const float> queries, size_t nq,
                                                      std::vector<float>& owned) const {
    const std::optional<uint64_t> values = checked_mul(nq, d_);
    if (!values) panic("{} shape overflows usize", "vector");
    check_len(*values, queries.size());
    std::span<const float> rows = queries.first(static_cast<size_t>(*values));
    if (metric_ == kMetricCosine) {
        owned = distance::preprocess_vectors(rows, nq, d_, metric_);
        rows = owned;
    }
    if (opq_) {
        std::vector<float> rotated(rows.size(), 0.0f);
        opq_->apply_batch(rows, rotated, nq);
        owned = std::move(rotated);
        rows = owned;
    }
    return rows;
}

std::vector<float> compute_residuals(std::span<const float> rows, size_t n, size_t d,
                                     std::span<const size_t> labels, std::span<const float> centroids) {
    check_len(n * d, rows.size());
    check_len(n, labels.size());
    std::vector<float> out(n * d, 0.0f);
    pool::parallel_for_each_index(n, [&](size_t i) {
        check_index(labels[i] * d + d - 1, centroids.size());
        distance::fvec_madd(rows.subspan(i * d, d), -1.0f, centroids.subspan(labels[i] * d, d),
                            std::span<float>(out).subspan(i * d, d));
    });
    return out;
}

void IVFPQIndex::train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& coarse_config,
                                   const kmeans::KMeansConfig& pq_config) {
    std::vector<float> owned;
    std::span<const float> rows;
    {
        // The rotation is trained on the normalised rows before they are rotated.
        const std::optional<uint64_t> values = checked_mul(n, d_);
        if (!values) panic("{} shape overflows usize", "vector");
        check_len(*values, data.size());
        rows = data.first(static_cast<size_t>(*values));
        if (metric_ == kMetricCosine) {
            owned = distance::preprocess_vectors(rows, n, d_, metric_);
            rows = owned;
        }
        if (opq_) {
            opq_->train_with_config(rows, n, pq_, pq_config);
            std::vector<float> rotated(rows.size(), 0.0f);
            opq_->apply_batch(rows, rotated, n);
            owned = std::move(rotated);
            rows = owned;
        }
    }
    centroids_ = kmeans::kmeans_train(coarse_config, rows, n, d_, nlist_);
    coarse_.reset();
    std::vector<float> residuals;
    std::span<const float> training = rows;
    if (by_residual_) {
        const std::vector<size_t> labels = coarse_.assign(rows, n, centroids_, nlist_, d_);
        residuals = compute_residuals(rows, n, d_, labels, centroids_);
        training = residuals;
    }
    const size_t threads = std::max<size_t>(1, pool::current_num_threads());
    pq_.train_hot_start_with_parallelism(training, n, pq_config, false, threads);
}

void IVFPQIndex::add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n) {
    if (n == 0) return;
    const std::optional<uint64_t> values = checked_mul(n, d_);
    if (!values) panic("{} shape overflows usize", "vector");
    check_len(*values, vectors.size());
    check_len(n, ids.size());
    assert_eq(centroids_.size(), nlist_ * d_, "IVF-PQ index must be trained before vectors are added");
    for (size_t start = 0; start < n; start += kAddBatchRows) {
        const size_t b = std::min(kAddBatchRows, n - start);
        add_batch(vectors.subspan(start * d_, b * d_), ids.subspan(start, b), b);
    }
}

void IVFPQIndex::add_batch(std::span<const float> vectors, std::span<const int64_t> ids, size_t b) {
    std::vector<float> owned;
    const std::span<const float> rows = preprocess_queries(vectors, b, owned);
    const std::vector<size_t> labels = coarse_.assign(rows, b, centroids_, nlist_, d_);
    check_len(b, labels.size());
    std::vector<float> residuals;
    std::span<const float> input = rows;
    if (by_residual_) {
        residuals = compute_residuals(rows, b, d_, labels, centroids_);
        input = residuals;
    }
    const size_t code_size = pq_.code_size();
    std::vector<uint8_t> codes(b * code_size, 0);
    if (encoding_ == IvfPqEncoding::Canonical) {
        pq_.encode_batch(input, b, codes);
    } else {
        pq_.encode_batch_blocked(input, b, codes);
    }
    for (size_t i = 0; i < b; ++i) {
        const size_t l = labels[i];
        check_index(l, nlist_);
        list_ids_[l].push_back(ids[i]);
        list_codes_[l].insert(list_codes_[l].end(), codes.begin() + static_cast<std::ptrdiff_t>(i * code_size),
                              codes.begin() + static_cast<std::ptrdiff_t>((i + 1) * code_size));
    }
}

}  // namespace tavren::ivfpq
