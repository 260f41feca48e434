// What a reader is opened with, how a DiskANN reader splits its memory budget
// into cache budgets, and the read plan (window size, beam width, ranges per
// read) that its deployment profile and the host's read hints give. Pure
// arithmetic; nothing here fails.
#pragma once

#include <cstdint>
#include <optional>

#include "index_config.hpp"
#include "io.hpp"

namespace tavren::read_options {

using index::DeploymentProfile;

// The resolved budgets of a DiskANN reader, fixed when it opens.
struct CacheBudgets {
    uint64_t adjacency_preload_bytes = 0;  // most adjacency bytes optimize_for_search may load at once
    uint64_t adjacency_cache_bytes = 0;    // shared adjacency-page window cache
    uint64_t memory_budget_bytes = 0;      // what the resident data must fit
    uint64_t vector_cache_bytes = 0;       // shared raw-vector window cache
    DeploymentProfile profile = DeploymentProfile::Auto;
    friend bool operator==(const CacheBudgets&, const CacheBudgets&) = default;
};

// The default memory budget of a reader opened without options (4 GiB).
inline constexpr uint64_t kDefaultReaderMemoryBudget = 4294967296;

struct VectorIndexReaderOptions {
    uint64_t memory_budget_bytes = kDefaultReaderMemoryBudget;
    // When absent the budgets are derived from memory_budget_bytes.
    std::optional<CacheBudgets> explicit_cache_budgets;

    // Splits the budget left after the resident bytes between the adjacency
    // preload, the adjacency cache and the raw-vector cache, within the
    // profile's caps and the section sizes. `raw_vector_bytes` is 0 when
    // vectors are interleaved with the adjacency pages.
    CacheBudgets resolve_cache_budgets(DeploymentProfile profile, uint64_t resident_bytes, uint64_t adjacency_bytes,
                                       uint64_t raw_vector_bytes) const noexcept;
};

// How a DiskANN reader sizes its reads.
struct ReadPlan {
    uint64_t window_bytes = 0;     // bytes covered by one read window
    uint64_t beam_width = 0;       // beam width of the DiskANN search
    uint64_t ranges_per_read = 0;  // ranges per read

    // The plan of a profile before the host's hints are applied.
    static ReadPlan default_for(DeploymentProfile profile) noexcept;
    // The plan adjusted to the host: the window follows io_block_size (a
    // multiple of 4096 within [4096, 1 MiB]); beam width and ranges per read
    // are capped by max_ranges_per_call but never below 1.
    ReadPlan with_capabilities(const io::ReadCapabilities& capabilities) const noexcept;

    friend bool operator==(const ReadPlan&, const ReadPlan&) = default;
};

// The adjacency preload cap of a profile, and its cache cap (absent: none).
uint64_t adjacency_preload_cap(DeploymentProfile profile) noexcept;
std::optional<uint64_t> cache_cap(DeploymentProfile profile) noexcept;

}  // namespace tavren::read_options
