// The IVF-PQ index while it is being built.
//
// IVFPQIndex keeps the coarse centroids, one product quantizer with uniform
// sub-vectors, an optional OPQ rotation applied before assignment, and, per
// inverted list, the row IDs and PQ codes of the rows assigned to it, in
// insertion order. Only under l2 are codes taken of residuals to the list's
// centroid. ivfpq_io::write_ivfpq_index serialises it. One caller at a time;
// training and adds use the process-wide pool inside the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "coarse.hpp"
#include "kmeans.hpp"
#include "opq.hpp"
#include "pq.hpp"

namespace tavren::ivfpq {

// Rows that one add step preprocesses, assigns and encodes at once; bounds
// the transient memory of an add.
inline constexpr size_t kAddBatchRows = 32768;

enum class IvfPqEncoding : uint8_t { Auto, Canonical };

class IVFPQIndex {
public:
    // An untrained index. Asserts "4-bit IVF-PQ requires even m, got {}" for
    // nbits 4 with odd m, then the product quantizer's shape assertions.
    static IVFPQIndex with_nbits(size_t d, size_t nlist, size_t m, size_t nbits, uint32_t metric, bool use_opq,
                                 coarse::CentroidGraphBuilder builder = nullptr);

    // An index from its parts, unchecked: lets tests hand the writer states the
    // public operations never produce.
    static IVFPQIndex from_parts(size_t d, size_t nlist, uint32_t metric, std::vector<float> centroids,
                                 pq::ProductQuantizer pq, std::optional<opq::OPQMatrix> opq,
                                 std::vector<std::vector<int64_t>> list_ids,
                                 std::vector<std::vector<uint8_t>> list_codes);

    IVFPQIndex(IVFPQIndex&&) = default;
    IVFPQIndex& operator=(IVFPQIndex&&) = default;

    // Both assert once any list holds a row.
    void set_approximate_coarse_assignment(bool approximate);
    void set_pq_encoding(IvfPqEncoding encoding);

    // Trains the optional rotation, the centroids (in the rotated space) and
    // the product quantizer (on residuals under l2) on the first n rows.
    void train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& coarse_config,
                           const kmeans::KMeansConfig& pq_config);

    // Appends n rows in batches of kAddBatchRows. REQUIRES: trained; vectors
    // of n * d finite values, n IDs.
    void add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n);

    // The rows as add hands them to the coarse assignment: normalised under
    // cosine, rotated with OPQ; the caller's values (uncopied, in `view`)
    // when neither applies. `owned` receives a copy when one is made.
    std::span<const float> preprocess_queries(std::span<const float> queries, size_t nq,
                                              std::vector<float>& owned) const;

    size_t dimension() const noexcept { return d_; }
    size_t nlist() const noexcept { return nlist_; }
    uint32_t metric() const noexcept { return metric_; }
    bool by_residual() const noexcept { return by_residual_; }
    IvfPqEncoding pq_encoding() const noexcept { return encoding_; }
    const std::vector<float>& centroids() const noexcept { return centroids_; }
    const pq::ProductQuantizer& pq() const noexcept { return pq_; }
    const std::optional<opq::OPQMatrix>& opq() const noexcept { return opq_; }
    const std::vector<std::vector<int64_t>>& list_ids() const noexcept { return list_ids_; }
    // code_size bytes per row, rows in the order of list_ids().
    const std::vector<std::vector<uint8_t>>& list_codes() const noexcept { return list_codes_; }

private:
    IVFPQIndex(size_t d, size_t nlist, uint32_t metric, pq::ProductQuantizer pq,
               coarse::CentroidGraphBuilder builder);
    bool any_rows() const noexcept;
    void add_batch(std::span<const float> vectors, std::span<const int64_t> ids, size_t n);

    std::vector<float> centroids_;
    pq::ProductQuantizer pq_;
    std::optional<opq::OPQMatrix> opq_;
    std::vector<std::vector<int64_t>> list_ids_;
    std::vector<std::vector<uint8_t>> list_codes_;
    coarse::CoarseAssignment coarse_;
    size_t d_ = 0;
    size_t nlist_ = 0;
    uint32_t metric_ = 0;
    bool by_residual_ = false;
    IvfPqEncoding encoding_ = IvfPqEncoding::Auto;
};

// out row i = rows row i - centroid of labels[i], one row per parallel item.
std::vector<float> compute_residuals(std::span<const float> rows, size_t n, size_t d,
                                     std::span<const size_t> labels, std::span<const float> centroids);

}  // namespace tavren::ivfpq
