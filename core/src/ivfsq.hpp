// The IVF-SQ index while it is being built.
//
// IVFSQIndex keeps the coarse centroids, one scalar quantizer trained over the
// residuals of all training rows to their own list's centroid, and, per
// inverted list, the row IDs and the 8-bit residual codes of the rows
// assigned to it, in insertion order; raw vectors are never kept.
// ivfsq_io::write_ivfsq_index serialises it. One caller at a time; training
// and large adds use the process-wide pool inside the call, with results that
// do not depend on the pool size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "coarse.hpp"
#include "kmeans.hpp"
#include "sq.hpp"

namespace tavren::ivfsq {

// Adds of more rows than this (to at least two lists) encode one list per pool task.
inline constexpr size_t kSequentialAddRows = 1000;

class IVFSQIndex {
public:
    // An empty, untrained index: no centroids, all-zero quantizers, `nlist`
    // empty lists, a coarse assignment that is approximate and not prepared.
    // Validates nothing (the trainer facade has). `builder` replaces the
    // centroid-graph builder of approximate assignment (nullptr: the default).
    IVFSQIndex(size_t d, size_t nlist, uint32_t metric, coarse::CentroidGraphBuilder builder = nullptr);

    // An index from its parts, unchecked: lets tests hand the writer states the
    // public operations never produce.
    static IVFSQIndex from_parts(size_t d, size_t nlist, uint32_t metric, std::vector<float> centroids,
                                 sq::ScalarQuantizer global_sq, std::vector<sq::ScalarQuantizer> list_sqs,
                                 std::vector<std::vector<int64_t>> list_ids,
                                 std::vector<std::vector<uint8_t>> list_codes);

    IVFSQIndex(IVFSQIndex&&) noexcept = default;
    IVFSQIndex& operator=(IVFSQIndex&&) noexcept = default;

    // Approximate (true) or exact (false) coarse assignment. Asserts "cannot
    // change coarse assignment after vectors have been added" once any list
    // holds a row.
    void set_approximate_coarse_assignment(bool approximate);

    // Trains the centroids with k-means on the preprocessed rows (cosine:
    // L2-normalised), assigns every row to its list and sets the global
    // quantizer to the union of the per-list residual bounds; every list's
    // quantizer becomes a copy of it. REQUIRES (asserted): data holds n * d values.
    void train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& config);

    // Preprocesses the rows, assigns each to its list, encodes its residual
    // with the list's quantizer and appends code and ID there, in input order.
    // Bounds never move: values outside them clamp. REQUIRES (asserted): a
    // trained index, vectors of n * d values, n IDs. The caller has checked
    // that values are finite.
    void add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n);

    size_t dimension() const noexcept { return d_; }
    size_t nlist() const noexcept { return nlist_; }
    uint32_t metric() const noexcept { return metric_; }
    // nlist * d values, row-major; empty until trained.
    const std::vector<float>& centroids() const noexcept { return centroids_; }
    const sq::ScalarQuantizer& global_sq() const noexcept { return global_sq_; }
    const std::vector<sq::ScalarQuantizer>& list_sqs() const noexcept { return list_sqs_; }
    const std::vector<std::vector<int64_t>>& list_ids() const noexcept { return list_ids_; }
    // d code bytes per row, rows in the order of list_ids().
    const std::vector<std::vector<uint8_t>>& list_codes() const noexcept { return list_codes_; }
    const coarse::CoarseAssignment& coarse_assignment() const noexcept { return coarse_; }

private:
    IVFSQIndex() = default;

    std::vector<float> centroids_;
    sq::ScalarQuantizer global_sq_;
    std::vector<sq::ScalarQuantizer> list_sqs_;
    std::vector<std::vector<int64_t>> list_ids_;
    std::vector<std::vector<uint8_t>> list_codes_;
    coarse::CoarseAssignment coarse_;
    size_t d_ = 0;
    size_t nlist_ = 0;
    uint32_t metric_ = 0;
};

}  // namespace tavren::ivfsq
