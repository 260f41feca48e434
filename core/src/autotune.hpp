// Fixed rules that derive the structural parameters a caller left open: the
// IVF list count, the automatic probe count of a search, the RaBitQ bit width
// under a byte budget, the PQ sub-vector count, the IVF training-sample size
// and the DiskANN build presets. Pure functions; every failure is an Error of
// kind InvalidInput.
#pragma once

#include <cstdint>
#include <optional>

#include "index_config.hpp"

namespace tavren::autotune {

// The power of two nearest to sqrt(n) (the lower one on a tie), capped at the
// largest power of two not above n / 64 (1 below 128 vectors).
uint64_t infer_ivf_nlist(uint64_t n);

// The probe count of an automatic-width IVF search: enough lists for four
// times top_k candidates, at least 8 lists and a sixteenth of them, widened
// for a selective filter (at most by `max_expansion_factor` when given).
uint64_t infer_ivf_nprobe_with_filter_expansion_cap(uint64_t nlist, uint64_t n, uint64_t top_k,
                                                    std::optional<uint64_t> filter_cardinality,
                                                    std::optional<uint64_t> max_expansion_factor);

// The most RaBitQ bits per dimension (8 down to 1) whose codes and per-vector
// factors fit in `budget` bytes.
uint64_t infer_rq_bits(uint64_t dimension, uint64_t budget);

// The starting DiskANN build record of a preset; the storage layout is
// interleaved only for memory or local storage when a node fits in one page.
index::DiskAnnBuildConfig diskann_build_preset(index::DiskAnnBuildPreset preset, uint64_t dimension,
                                               index::DeploymentProfile profile, uint64_t memory_budget_bytes,
                                               uint64_t seed);

// The number of training vectors an IVF trainer keeps: max(64 x nlist, 65536).
uint64_t default_training_vector_count(uint64_t nlist);

// IVF-PQ: the divisor of d nearest to the target, the larger on an exact tie.
uint64_t infer_uniform_pq_m(uint64_t dimension, uint64_t bits, double ratio);

// DiskANN: min(d, max(1, round(target))), rounding half away from zero.
uint64_t infer_rounded_pq_m(uint64_t dimension, uint64_t bits, double ratio);

// IVF-PQ under a byte budget for the PQ code: the largest divisor of d whose
// code (m x bits / 8 bytes) fits in `code_budget_bytes`. The nearest divisor
// may lie above the budget it was derived from, which would make the size
// check refuse a request that a smaller divisor satisfies.
uint64_t infer_uniform_pq_m_within_budget(uint64_t dimension, uint64_t bits, uint64_t code_budget_bytes);

// The largest divisor of d not above `target` (1 when target < 1); d > 0.
uint64_t largest_divisor_at_most(uint64_t dimension, uint64_t target) noexcept;

}  // namespace tavren::autotune
