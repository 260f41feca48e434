// Per-call search parameters, their checks, the checks of caller-supplied
// query and row vectors, and the resolution of the caller's width choice into
// an IVF nprobe or a DiskANN search-list size. Every failure is an Error of
// kind InvalidInput; nothing here changes its inputs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tavren::index {

// How the IVF-PQ batch search reuses distance tables across queries.
enum class IvfPqBatchTableReuseMode : uint32_t { Off = 0, On = 1, Auto = 2 };

// Search width type codes.
inline constexpr uint32_t kWidthAutomatic = 0;
inline constexpr uint32_t kWidthIvfNprobe = 1;
inline constexpr uint32_t kWidthDiskAnnLSearch = 2;

inline constexpr uint64_t kDefaultIvfPqTableReuseMaxBytes = 536870912;

struct VectorSearchParams {
    uint64_t top_k = 0;                    // results per query, at least 1
    uint32_t width_type = kWidthAutomatic;  // 0 automatic, 1 IVF nprobe, 2 DiskANN l_search
    uint64_t width = 0;                     // the explicit width; 0 when automatic
    // Caps how far the automatic IVF width widens for a selective filter.
    std::optional<uint64_t> max_initial_filter_expansion_factor;
    IvfPqBatchTableReuseMode ivfpq_table_reuse_mode = IvfPqBatchTableReuseMode::Auto;
    uint64_t ivfpq_table_reuse_max_bytes = kDefaultIvfPqTableReuseMaxBytes;  // never 0

    // The checks every reader runs before any index work.
    void validate() const;
    // The nprobe of an IVF search. `filter_row_count` is present only for a
    // filtered search with the automatic width type. An explicit nprobe above
    // nlist is lowered to nlist.
    uint64_t resolve_ivf_nprobe(uint64_t nlist, uint64_t vector_count,
                                std::optional<uint64_t> filter_row_count) const;
    // The l_search of a DiskANN search, at least top_k; automatic width uses
    // the calibrated size when present, else max(100, 2 x top_k).
    uint64_t resolve_diskann_l_search_with(std::optional<uint64_t> calibrated_l_search) const;
};

// One query of `dimension` finite values.
void validate_query(std::span<const float> query, uint64_t dimension);
// `nq` queries of `dimension` finite values, back to back.
void validate_queries(std::span<const float> queries, uint64_t nq, uint64_t dimension);
// `count` rows of `dimension` finite values; `name` names the input in messages.
void validate_vectors(std::span<const float> values, uint64_t count, uint64_t dimension, std::string_view name);
// The first `count` values must be finite (count <= values.size() is asserted).
// The offset reported is counted from the start of `values`.
void validate_finite_values(std::span<const float> values, uint64_t count, std::string_view name);

}  // namespace tavren::index
