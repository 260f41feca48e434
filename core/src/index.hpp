// The build side of the index facade: a trainer that turns a configuration
// into an empty index of its type and keeps a bounded, reproducible sample of
// the training vectors, and the writer that takes vectors with row IDs and
// serialises the whole index.
//
// VectorIndexWriter is the closed set of in-memory index types, listed in the
// order IVF-FLAT, IVF-SQ, IVF-PQ, IVF-RQ, DiskANN. A type joins the set by
// becoming an alternative of Index below and giving the four per-type
// operations in index.cpp (create, train, add, write); a configured type that
// is not an alternative yet is refused when the trainer is created.
//
// Every failure here is an Error of kind InvalidInput unless it comes from an
// index type's own writer. A trainer or writer is used by one caller at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "index_config.hpp"
#include "io.hpp"
#include "diskann.hpp"
#include "ivfflat.hpp"
#include "ivfpq.hpp"
#include "ivfrq.hpp"
#include "ivfsq.hpp"
#include "kmeans.hpp"
#include "rng.hpp"

namespace tavren::index {

// Seed of the IVF trainers' reservoir sample.
inline constexpr uint64_t kIvfSampleSeed = 1234;

// The name of an index type as the option `index.type` spells it.
std::string_view index_type_name(IndexType type) noexcept;

class VectorIndexWriter {
public:
    using Index = std::variant<ivfflat::IVFFlatIndex, ivfsq::IVFSQIndex, ivfpq::IVFPQIndex, ivfrq::IVFRQIndex,
                               diskann::DiskAnnIndex>;

    explicit VectorIndexWriter(Index index) : index_(std::move(index)) {}

    // The dimension of the held index.
    size_t dimension() const noexcept;
    IndexType index_type() const noexcept;

    // Checks `data` as "vector data" (n > 0, n * dimension values, all
    // finite) and the ID count ("ids length {} does not match vector count
    // {}"), then hands the rows to the index. A failed check changes nothing.
    void add_vectors(std::span<const int64_t> ids, std::span<const float> data, size_t n);

    // Writes the whole file through `out` with the type's format writer; its
    // failure is passed on unchanged. The index is unchanged and may be
    // written again.
    void write(io::SeekWrite& out) const;

    const Index& index() const noexcept { return index_; }
    Index& index() noexcept { return index_; }

private:
    Index index_;
};

class VectorIndexTrainer {
public:
    // An empty index of the configured type and an empty sample. Fails with
    // the sample-capacity rule's or validate_config's message, or with "index
    // type {} is not available in this build".
    static VectorIndexTrainer create(const VectorIndexConfig& config);

    // Reservoir sampling (algorithm R) over the whole training stream: row p
    // (counted across calls) fills slot p while p < capacity, else replaces
    // slot j = uniform [0, p] when j < capacity. The sample depends only on
    // the sequence of rows, not on how it was split into calls. Fails with the
    // "training data" checks or "training vector count overflows usize", and
    // then changes nothing.
    void add_training_vectors_mut(std::span<const float> data, size_t n);

    // Trains the index on the sample and hands it over; the trainer is spent
    // whatever happens. Fails with "no training vectors added".
    VectorIndexWriter finish() &&;

    size_t dimension() const noexcept { return index_.dimension(); }
    uint64_t capacity() const noexcept { return capacity_; }
    uint64_t seen() const noexcept { return seen_; }
    uint64_t sample_rows() const noexcept { return sample_rows_; }
    // sample_rows() rows of dimension() values, row-major.
    const std::vector<float>& sample() const noexcept { return sample_; }
    const kmeans::KMeansConfig& coarse_kmeans() const noexcept { return coarse_kmeans_; }
    const kmeans::KMeansConfig& pq_kmeans() const noexcept { return pq_kmeans_; }
    const VectorIndexWriter& index() const noexcept { return index_; }

private:
    // Tests reach counts that no test could feed row by row.
    friend struct VectorIndexTrainerTestAccess;

    VectorIndexTrainer(rng::StdRng rng, kmeans::KMeansConfig coarse, kmeans::KMeansConfig pq, uint64_t capacity,
                       VectorIndexWriter index)
        : rng_(rng), coarse_kmeans_(coarse), pq_kmeans_(pq), capacity_(capacity), index_(std::move(index)) {}

    rng::StdRng rng_;
    kmeans::KMeansConfig coarse_kmeans_;
    kmeans::KMeansConfig pq_kmeans_;
    uint64_t sample_rows_ = 0;
    uint64_t seen_ = 0;
    uint64_t capacity_ = 0;
    VectorIndexWriter index_;
    std::vector<float> sample_;
};

}  // namespace tavren::index
