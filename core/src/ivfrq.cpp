#include "ivfrq.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "distance.hpp"
#include "error.hpp"
#include "logging.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivfrq {

using Clock = std::chrono::steady_clock;

namespace {

// Rows above which (with at least two lists) add encodes lists on the pool.
constexpr size_t kSequentialAddRows = 1000;

}  // namespace

// ---- stage timing log ----------------------------------------------------------

bool build_timing_enabled() noexcept { return logging::env_flag_present(kBuildTimingVariable); }

void log_build_elapsed(bool enabled, std::string_view stage, Clock::duration elapsed) {
    if (!enabled) return;
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    const double ms =
        (static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9) * 1000.0;
    logging::emit_log(3, fmt::format("ivf_rq_build stage={} elapsed_ms={:.3f}", stage, ms));
}

void log_build_timing(bool enabled, std::string_view stage, Clock::time_point start) {
    if (!enabled) return;
    log_build_elapsed(enabled, stage, Clock::now() - start);
}

StageClock::StageClock(bool enabled) : enabled_(enabled), total_(Clock::now()), stage_(total_) {}

void StageClock::end(std::string_view stage) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    log_build_elapsed(true, stage, now - stage_);
    stage_ = now;
}

void StageClock::total(std::string_view stage) const { log_build_timing(enabled_, stage, total_); }

// ---- encoding --------------------------------------------------------------------

void append_encoded_rows(std::span<const float> rows, std::span<const int64_t> ids, std::span<const size_t> group,
                         const ListEncoding& encoding, ListArrays list, IVFRQEncodeScratch& scratch) {
    const rabitq::RaBitQuantizer& q = *encoding.quantizer;
    const size_t d = q.dimension;
    const size_t code_bytes = q.code_bytes();
    list.ids.reserve(list.ids.size() + group.size());
    list.codes.reserve(list.codes.size() + group.size() * code_bytes);
    list.factors.reserve(list.factors.size() + group.size());
    for (size_t j : group) {
        check_index(j, ids.size());
        check_len((j + 1) * d, rows.size());
        const float* row = rows.data() + j * d;
        for (size_t k = 0; k < d; ++k) scratch.residual[k] = row[k] - encoding.centroid[k];
        encoding.rotation->rotate(scratch.residual, scratch.rotated, scratch.rotation);
        const RQVectorFactors factors = q.encode_with_scratch(scratch.rotated, encoding.rotated_centroid,
                                                              encoding.metric, scratch.codes, scratch.encode);
        list.ids.push_back(ids[j]);
        list.codes.insert(list.codes.end(), scratch.codes.begin(), scratch.codes.begin() + code_bytes);
        list.factors.push_back(factors);
    }
}

// ---- IVFRQIndex ---------------------------------------------------------------------

IVFRQIndex::IVFRQIndex(size_t d, size_t padded, size_t nlist, size_t bits, uint32_t metric, uint64_t seed,
                       uint32_t rounds)
    : list_ids_(nlist),
      list_codes_(nlist),
      list_factors_(nlist),
      rotation_(d, seed, rounds),
      quantizer_{d, padded, bits, padded / 8},
      d_(d),
      padded_(padded),
      nlist_(nlist),
      bits_(bits),
      seed_(seed),
      metric_(metric),
      rounds_(rounds) {}

IVFRQIndex IVFRQIndex::with_options(size_t d, size_t nlist, size_t bits, uint32_t metric, uint64_t seed,
                                    uint32_t rounds) {
    const rabitq::RaBitQuantizer q = rabitq::RaBitQuantizer::create(d, bits);
    return IVFRQIndex(d, q.padded_dimension, nlist, bits, metric, seed, rounds);
}

IVFRQIndex IVFRQIndex::from_parts(Parts parts) {
    IVFRQIndex index(parts.dimension, parts.padded_dimension, parts.nlist, parts.bits, parts.metric, parts.seed,
                     parts.rounds);
    index.centroids_ = std::move(parts.centroids);
    index.rotated_centroids_ = std::move(parts.rotated_centroids);
    index.list_ids_ = std::move(parts.list_ids);
    index.list_codes_ = std::move(parts.list_codes);
    index.list_factors_ = std::move(parts.list_factors);
    return index;
}

void IVFRQIndex::set_approximate_coarse_assignment(bool approximate) {
    for (const std::vector<int64_t>& ids : list_ids_) {
        if (!ids.empty()) panic("cannot change coarse assignment after vectors have been added");
    }
    coarse_.set_approximate(approximate);
}

void IVFRQIndex::train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& config) {
    StageClock clock(build_timing_enabled());
    std::vector<float> normalised;
    std::span<const float> rows = data;
    if (metric_ == kMetricCosine) {
        normalised = distance::preprocess_vectors(data, n, d_, metric_);
        rows = normalised;
    }
    clock.end("train.preprocess");
    centroids_ = kmeans::kmeans_train(config, rows, n, d_, nlist_);
    clock.end("train.kmeans");
    centroid_norms_.assign(nlist_, 0.0f);
    for (size_t i = 0; i < nlist_; ++i) {
        centroid_norms_[i] = distance::fvec_norm_l2sqr(std::span<const float>(centroids_).subspan(i * d_, d_));
    }
    clock.end("train.centroid_norms");
    rebuild_rotated_centroids();
    clock.end("train.rotate_centroids");
    coarse_.reset();
    clock.end("train.assign_graph");
    clock.total("train.total");
}

void IVFRQIndex::rebuild_rotated_centroids() {
    rotated_centroids_.assign(nlist_ * padded_, 0.0f);
    std::vector<float> scratch(padded_);
    const std::span<const float> centroids(centroids_);
    const std::span<float> rotated(rotated_centroids_);
    for (size_t i = 0; i < nlist_; ++i) {
        rotation_.rotate(centroids.subspan(i * d_, d_), rotated.subspan(i * padded_, padded_), scratch);
    }
}

void IVFRQIndex::add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n) {
    const std::optional<uint64_t> values = checked_mul(n, d_);
    if (!values) panic("{} shape overflows usize", "vector");
    check_len(*values, vectors.size());
    check_len(n, ids.size());
    if (n == 0) return;
    assert_eq(centroids_.size(), nlist_ * d_, "IVF-RQ index must be trained before vectors are added");
    assert_eq(rotated_centroids_.size(), nlist_ * padded_, "IVF-RQ rotated centroids must match the centroids");

    StageClock clock(build_timing_enabled());
    coarse_.prepare(centroids_, nlist_, d_);
    clock.end("add.assign_graph");
    std::vector<float> normalised;
    std::span<const float> rows = vectors.first(static_cast<size_t>(*values));
    if (metric_ == kMetricCosine) {
        normalised = distance::preprocess_vectors(vectors, n, d_, metric_);
        rows = normalised;
    }
    clock.end("add.preprocess");
    const std::vector<size_t> labels = coarse_.assign(rows, n, centroids_, nlist_, d_);
    check_len(n, labels.size());
    clock.end("add.assign");
    std::vector<std::vector<size_t>> groups(nlist_);
    for (size_t j = 0; j < n; ++j) {
        check_index(labels[j], nlist_);
        groups[labels[j]].push_back(j);
    }
    clock.end("add.group");

    const std::span<const float> centroids(centroids_);
    const std::span<const float> rotated(rotated_centroids_);
    auto encode_lists = [&](size_t lo, size_t hi, IVFRQEncodeScratch& scratch) {
        for (size_t l = lo; l < hi; ++l) {
            const ListEncoding encoding{centroids.subspan(l * d_, d_), rotated.subspan(l * padded_, padded_),
                                        metric_, &quantizer_, &rotation_};
            append_encoded_rows(rows, ids, groups[l], encoding, {list_ids_[l], list_codes_[l], list_factors_[l]},
                                scratch);
        }
    };
    if (n <= kSequentialAddRows || nlist_ < 2) {
        IVFRQEncodeScratch scratch(d_, padded_, quantizer_.code_bytes());
        encode_lists(0, nlist_, scratch);
    } else {
        // Lists are disjoint: each task appends to its own lists only, and
        // keeps one scratch for all lists it processes.
        pool::parallel_for(0, nlist_, 1, [&](size_t lo, size_t hi) {
            IVFRQEncodeScratch scratch(d_, padded_, quantizer_.code_bytes());
            encode_lists(lo, hi, scratch);
        });
    }
    clock.end("add.encode");
    clock.total("add.total");
}

uint64_t IVFRQIndex::vector_count() const noexcept {
    uint64_t total = 0;
    for (const std::vector<int64_t>& ids : list_ids_) total = saturating_add(total, ids.size());
    return total;
}

}  // namespace tavren::ivfrq
