// The IVF-RQ index while it is being built.
//
// IVFRQIndex keeps the coarse centroids (unrotated, as stored in the file),
// their squared norms and rotated copies, and per inverted list the row IDs,
// the RaBitQ code bytes and the correction factors of its rows in insertion
// order, until ivfrq_io::write_ivfrq_index serialises them. Each added row is
// assigned to its nearest centroid (squared L2, whatever the metric), and the
// rotated residual (row minus centroid) is encoded. One caller at a time;
// training, assignment and encoding use the process-wide pool inside the
// call, with results that do not depend on the pool size.
//
// With the environment variable TAVREN_LOG_VECTOR_INDEX_BUILD_TIMING present
// (any value), train_with_config and add log the time of each of their stages
// as "ivf_rq_build stage={} elapsed_ms={:.3f}"; the variable is read once per call.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "coarse.hpp"
#include "kmeans.hpp"
#include "rabitq.hpp"

namespace tavren::ivfrq {

using rabitq::RQVectorFactors;

inline constexpr const char* kBuildTimingVariable = "TAVREN_LOG_VECTOR_INDEX_BUILD_TIMING";

// Whether this call logs its stages (the variable exists).
bool build_timing_enabled() noexcept;
// Logs one stage line with the time since `start` when enabled.
void log_build_timing(bool enabled, std::string_view stage, std::chrono::steady_clock::time_point start);
// Logs one stage line with a measured duration when enabled.
void log_build_elapsed(bool enabled, std::string_view stage, std::chrono::steady_clock::duration elapsed);

// Times the consecutive stages of one call: each stage starts when the
// previous one ended, the total when the clock was made. Logs nothing and
// reads no clock when disabled.
class StageClock {
public:
    explicit StageClock(bool enabled);
    // Logs `stage` with the time since the previous end (or the start).
    void end(std::string_view stage);
    // Logs `stage` with the time since the start.
    void total(std::string_view stage) const;
    bool enabled() const noexcept { return enabled_; }

private:
    bool enabled_;
    std::chrono::steady_clock::time_point total_;
    std::chrono::steady_clock::time_point stage_;
};

// Buffers of one encoding task, reused for every row it encodes.
struct IVFRQEncodeScratch {
    IVFRQEncodeScratch(size_t d, size_t padded, size_t code_bytes)
        : residual(d), rotated(padded), rotation(padded), codes(code_bytes), encode(padded) {}
    std::vector<float> residual;   // d
    std::vector<float> rotated;    // D'
    std::vector<float> rotation;   // D', the rotation's scratch
    std::vector<uint8_t> codes;    // B x D'/8
    rabitq::RQEncodeScratch encode;
};

// The three arrays of one list.
struct ListArrays {
    std::vector<int64_t>& ids;
    std::vector<uint8_t>& codes;
    std::vector<RQVectorFactors>& factors;
};

// What one list's rows are encoded against.
struct ListEncoding {
    std::span<const float> centroid;          // d values
    std::span<const float> rotated_centroid;  // D' values
    uint32_t metric = 0;
    const rabitq::RaBitQuantizer* quantizer = nullptr;
    const rabitq::RQRotation* rotation = nullptr;
};

// Encodes rows[group[i]] (rows of d values, ids[group[i]]) in group order
// and appends them to the list's arrays, reserving room for them first.
void append_encoded_rows(std::span<const float> rows, std::span<const int64_t> ids, std::span<const size_t> group,
                         const ListEncoding& encoding, ListArrays list, IVFRQEncodeScratch& scratch);

class IVFRQIndex {
public:
    // An empty, untrained index: nlist empty lists, the rotation of (d, seed,
    // rounds), a coarse assignment that is approximate and not prepared.
    // Asserts "RQ bits must be in 1..=8" before building anything. Dimension
    // and nlist are not checked (the writer refuses zero).
    static IVFRQIndex with_options(size_t d, size_t nlist, size_t bits, uint32_t metric, uint64_t seed,
                                   uint32_t rounds);

    // An index from its parts, unchecked (bits and padded dimension
    // included): lets tests hand the writer states the public operations never
    // produce. The rotation is built from (d, seed, rounds).
    struct Parts {
        size_t dimension = 0;
        size_t padded_dimension = 0;
        size_t nlist = 0;
        size_t bits = 0;
        uint32_t metric = 0;
        uint64_t seed = rabitq::kDefaultSeed;
        uint32_t rounds = rabitq::kDefaultRounds;
        std::vector<float> centroids;
        std::vector<float> rotated_centroids;
        std::vector<std::vector<int64_t>> list_ids;
        std::vector<std::vector<uint8_t>> list_codes;
        std::vector<std::vector<RQVectorFactors>> list_factors;
    };
    static IVFRQIndex from_parts(Parts parts);

    IVFRQIndex(IVFRQIndex&&) noexcept = default;
    IVFRQIndex& operator=(IVFRQIndex&&) noexcept = default;

    // Approximate (true) or exact (false) coarse assignment. Asserts "cannot
    // change coarse assignment after vectors have been added" once any list
    // holds a row.
    void set_approximate_coarse_assignment(bool approximate);

    // k-means on the preprocessed rows (L2-normalised for cosine), replacing
    // the centroids; then their norms and rotated copies, and a reset of the
    // coarse assignment. REQUIRES: data holds n * d values.
    void train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& config);

    // Recomputes the rotated centroids from the centroids.
    void rebuild_rotated_centroids();

    // Preprocesses, assigns and encodes n rows into their lists, in input
    // order after earlier rows. n = 0 changes nothing and logs nothing. Lists
    // are encoded on the pool when n > 1000 and nlist >= 2, else on the
    // caller's thread; the result is the same. REQUIRES (asserted): a trained
    // index, n * d values, n IDs; the caller has checked the values are finite.
    void add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n);

    size_t dimension() const noexcept { return d_; }
    size_t padded_dimension() const noexcept { return padded_; }
    size_t nlist() const noexcept { return nlist_; }
    size_t bits() const noexcept { return bits_; }
    uint32_t metric() const noexcept { return metric_; }
    uint64_t seed() const noexcept { return seed_; }
    uint32_t rotation_rounds() const noexcept { return rounds_; }
    const rabitq::RaBitQuantizer& quantizer() const noexcept { return quantizer_; }
    const rabitq::RQRotation& rotation() const noexcept { return rotation_; }
    const std::vector<float>& centroids() const noexcept { return centroids_; }
    const std::vector<float>& centroid_norms() const noexcept { return centroid_norms_; }
    const std::vector<float>& rotated_centroids() const noexcept { return rotated_centroids_; }
    const std::vector<std::vector<int64_t>>& list_ids() const noexcept { return list_ids_; }
    const std::vector<std::vector<uint8_t>>& list_codes() const noexcept { return list_codes_; }
    const std::vector<std::vector<RQVectorFactors>>& list_factors() const noexcept { return list_factors_; }
    const coarse::CoarseAssignment& coarse_assignment() const noexcept { return coarse_; }
    // Rows held in all lists (saturating).
    uint64_t vector_count() const noexcept;

private:
    IVFRQIndex(size_t d, size_t padded, size_t nlist, size_t bits, uint32_t metric, uint64_t seed, uint32_t rounds);

    std::vector<float> centroids_;
    std::vector<float> centroid_norms_;
    std::vector<float> rotated_centroids_;
    std::vector<std::vector<int64_t>> list_ids_;
    std::vector<std::vector<uint8_t>> list_codes_;
    std::vector<std::vector<RQVectorFactors>> list_factors_;
    rabitq::RQRotation rotation_;
    coarse::CoarseAssignment coarse_;
    rabitq::RaBitQuantizer quantizer_;
    size_t d_ = 0;
    size_t padded_ = 0;
    size_t nlist_ = 0;
    size_t bits_ = 0;
    uint64_t seed_ = 0;
    uint32_t metric_ = 0;
    uint32_t rounds_ = 0;
};

}  // namespace tavren::ivfrq
