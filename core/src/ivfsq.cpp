#include "ivfsq.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "distance.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivfsq {

IVFSQIndex::IVFSQIndex(size_t d, size_t nlist, uint32_t metric, coarse::CentroidGraphBuilder builder)
    : global_sq_(d),
      list_sqs_(nlist, sq::ScalarQuantizer(d)),
      list_ids_(nlist),
      list_codes_(nlist),
      coarse_(builder),
      d_(d),
      nlist_(nlist),
      metric_(metric) {}

IVFSQIndex IVFSQIndex::from_parts(size_t d, size_t nlist, uint32_t metric, std::vector<float> centroids,
                                  sq::ScalarQuantizer global_sq, std::vector<sq::ScalarQuantizer> list_sqs,
                                  std::vector<std::vector<int64_t>> list_ids,
                                  std::vector<std::vector<uint8_t>> list_codes) {
    IVFSQIndex index;
    index.centroids_ = std::move(centroids);
    index.global_sq_ = std::move(global_sq);
    index.list_sqs_ = std::move(list_sqs);
    index.list_ids_ = std::move(list_ids);
    index.list_codes_ = std::move(list_codes);
    index.d_ = d;
    index.nlist_ = nlist;
    index.metric_ = metric;
    return index;
}

void IVFSQIndex::set_approximate_coarse_assignment(bool approximate) {
    for (const std::vector<int64_t>& ids : list_ids_) {
        if (!ids.empty()) panic("cannot change coarse assignment after vectors have been added");
    }
    coarse_.set_approximate(approximate);
}

namespace {

// The rows the index works on: the caller's rows, or an L2-normalised copy
// (kept in `normalised`) under cosine.
std::span<const float> preprocessed(std::span<const float> data, size_t n, size_t d, uint32_t metric,
                                    std::vector<float>& normalised) {
    const std::optional<uint64_t> values = checked_mul(n, d);
    if (!values) panic("{} shape overflows usize", "vector");
    check_len(*values, data.size());
    if (metric != kMetricCosine) return data.first(static_cast<size_t>(*values));
    normalised = distance::preprocess_vectors(data, n, d, metric);
    return normalised;
}

}  // namespace

void IVFSQIndex::train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& config) {
    std::vector<float> normalised;
    const std::span<const float> rows = preprocessed(data, n, d_, metric_, normalised);
    centroids_ = kmeans::kmeans_train(config, rows, n, d_, nlist_);
    coarse_.reset();
    const std::vector<size_t> labels = coarse_.assign(rows, n, centroids_, nlist_, d_);
    if (labels.empty()) {
        global_sq_ = sq::ScalarQuantizer(d_);
        list_sqs_.assign(nlist_, global_sq_);
        return;
    }
    const coarse::ListGroups groups = coarse::group_rows_by_list(labels, nlist_);

    // Bounds of each list's residuals, one task per list, kept in list order.
    std::vector<std::optional<sq::ScalarQuantizer>> per_list(nlist_);
    pool::parallel_for_each_index(nlist_, [&](size_t l) {
        if (groups.size(l) == 0) return;
        const std::span<const float> centroid = std::span<const float>(centroids_).subspan(l * d_, d_);
        per_list[l] = sq::ScalarQuantizer::train_residual_rows(rows, groups.rows(l), centroid);
    });

    std::vector<float> mins(d_, std::numeric_limits<float>::infinity());
    std::vector<float> maxs(d_, -std::numeric_limits<float>::infinity());
    for (const std::optional<sq::ScalarQuantizer>& q : per_list) {
        if (!q) continue;
        for (size_t j = 0; j < d_; ++j) {
            mins[j] = std::fmin(mins[j], q->mins()[j]);
            maxs[j] = std::fmax(maxs[j], q->maxs()[j]);
        }
    }
    global_sq_ = sq::ScalarQuantizer::with_dimension_bounds(d_, std::move(mins), std::move(maxs));
    list_sqs_.assign(nlist_, global_sq_);
}

void IVFSQIndex::add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n) {
    std::vector<float> normalised;
    const std::span<const float> rows = preprocessed(vectors, n, d_, metric_, normalised);
    check_len(n, ids.size());
    assert_eq(centroids_.size(), nlist_ * d_, "IVF-SQ index must be trained before vectors are added");
    if (n == 0) return;
    const std::vector<size_t> labels = coarse_.assign(rows, n, centroids_, nlist_, d_);
    check_len(n, labels.size());
    const coarse::ListGroups groups = coarse::group_rows_by_list(labels, nlist_);

    // Lists are disjoint and each appends its rows in input order, so the
    // result is the same whether the lists run one after another or in parallel.
    auto encode_list = [&](size_t l) {
        const std::span<const size_t> list_rows = groups.rows(l);
        if (list_rows.empty()) return;
        std::vector<uint8_t>& codes = list_codes_[l];
        std::vector<int64_t>& list_ids = list_ids_[l];
        const size_t old_len = codes.size();
        const size_t new_len = old_len + list_rows.size() * d_;
        // Geometric growth keeps many small adds amortised O(1) per row.
        if (new_len > codes.capacity()) codes.reserve(std::max(new_len, codes.capacity() * 2));
        if (list_ids.size() + list_rows.size() > list_ids.capacity()) {
            list_ids.reserve(std::max(list_ids.size() + list_rows.size(), list_ids.capacity() * 2));
        }
        codes.resize(new_len, 0);
        const std::span<const float> centroid = std::span<const float>(centroids_).subspan(l * d_, d_);
        list_sqs_[l].encode_residual_rows(rows, list_rows, centroid, std::span<uint8_t>(codes).subspan(old_len));
        for (size_t r : list_rows) {
            check_index(r, ids.size());
            list_ids.push_back(ids[r]);
        }
    };
    if (n <= kSequentialAddRows || nlist_ < 2) {
        for (size_t l = 0; l < nlist_; ++l) encode_list(l);
    } else {
        pool::parallel_for_each_index(nlist_, encode_list);
    }
}

}  // namespace tavren::ivfsq
