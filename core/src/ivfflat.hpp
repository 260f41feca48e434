// The IVF-FLAT index while it is being built, and the writer of its file.
//
// IVFFlatIndex keeps the coarse centroids and, per inverted list, the row IDs
// and the full-precision rows assigned to it, in insertion order, until
// write_ivfflat_index serialises them (layout in ivfflat_format.hpp). Rows are
// stored after the metric's preprocessing: a cosine index holds L2-normalised
// rows. One caller at a time; training, assignment and the list appends of
// add use the process-wide pool inside the call, with results that do not
// depend on the pool size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "coarse.hpp"
#include "io.hpp"
#include "kmeans.hpp"

namespace tavren::ivfflat {

class IVFFlatIndex {
public:
    // An empty, untrained index: no centroids, `nlist` empty lists, a coarse
    // assignment that is approximate and not prepared. `builder` replaces the
    // centroid-graph builder of approximate assignment (nullptr: the default).
    IVFFlatIndex(size_t d, size_t nlist, uint32_t metric, coarse::CentroidGraphBuilder builder = nullptr);

    // An index from its parts, unchecked: lets tests hand the writer states the
    // public operations never produce (mismatched list storage, wrong lengths).
    static IVFFlatIndex from_parts(size_t d, size_t nlist, uint32_t metric, std::vector<float> centroids,
                                   std::vector<std::vector<int64_t>> list_ids,
                                   std::vector<std::vector<float>> list_rows);

    IVFFlatIndex(IVFFlatIndex&&) noexcept = default;
    IVFFlatIndex& operator=(IVFFlatIndex&&) noexcept = default;

    // Trains the centroids with k-means (squared L2 whatever the metric) on the
    // preprocessed rows, replacing earlier centroids, and resets the coarse
    // assignment so it prepares itself again over the new centroids.
    // REQUIRES: data holds n * d values.
    void train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& config);

    // Approximate (true) or exact (false) coarse assignment. Asserts "cannot
    // change coarse assignment after vectors have been added" once any list
    // holds a row.
    void set_approximate_coarse_assignment(bool approximate);

    // Preprocesses the rows, assigns each to its list and appends its ID and
    // row there, in input order. REQUIRES (asserted): a trained index, vectors
    // of n * d values, n IDs. The caller has checked that values are finite.
    void add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n);

    size_t dimension() const noexcept { return d_; }
    size_t nlist() const noexcept { return nlist_; }
    uint32_t metric() const noexcept { return metric_; }
    // nlist * d values, row-major; empty until trained.
    const std::vector<float>& centroids() const noexcept { return centroids_; }
    const std::vector<std::vector<int64_t>>& list_ids() const noexcept { return list_ids_; }
    const std::vector<std::vector<float>>& list_rows() const noexcept { return list_rows_; }
    const coarse::CoarseAssignment& coarse_assignment() const noexcept { return coarse_; }
    // Rows held in all lists.
    uint64_t vector_count() const noexcept;

private:
    IVFFlatIndex() = default;

    std::vector<float> centroids_;
    std::vector<std::vector<int64_t>> list_ids_;
    std::vector<std::vector<float>> list_rows_;
    coarse::CoarseAssignment coarse_;
    size_t d_ = 0;
    size_t nlist_ = 0;
    uint32_t metric_ = 0;
};

// Bytes the writer stages before passing them to the output in one call.
inline constexpr uint64_t kStagingBytes = 67108864;

// The bounds the writer enforces. Production code uses the defaults; tests
// lower them to reach every refusal without multi-gigabyte fixtures.
struct WriteLimits {
    uint64_t staging_bytes = kStagingBytes;                                            // > 0
    uint64_t max_i32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());  // i32 header/table fields
    uint64_t max_i64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // payload offsets
};

// Checks the index and writes the whole file front to back through `out`.
// Every check and every limit (list counts, ID-section lengths, payload
// offsets) is settled before the first byte goes out, so a refusal writes
// nothing. Payload offsets count from the first byte this call writes (offset
// 0), wherever the output stood when the call began; out.pos() is not used.
// A write error is passed through unchanged and leaves an incomplete file the
// caller must discard. Does not flush. The index is only read.
void write_ivfflat_index(const IVFFlatIndex& index, io::SeekWrite& out);
// The same with a staging buffer of `staging_bytes` bytes (> 0).
void write_ivfflat_index_with_buffer_limit(const IVFFlatIndex& index, io::SeekWrite& out, uint64_t staging_bytes);
// The same with explicit bounds.
void write_ivfflat_index_with_limits(const IVFFlatIndex& index, io::SeekWrite& out, const WriteLimits& limits);

}  // namespace tavren::ivfflat
