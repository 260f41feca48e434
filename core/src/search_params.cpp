#include "search_params.hpp"

#include <algorithm>
#include <bit>

#include "autotune.hpp"
#include "error.hpp"
#include "index_config.hpp"
#include "numeric.hpp"

namespace tavren::index {

namespace {

constexpr uint64_t kMinAutomaticLSearch = 100;

// NaN, inf and -inf, spelled as the host's messages show them.
std::string_view non_finite_text(float value) noexcept {
    if (value != value) return "NaN";
    return value < 0.0f ? "-inf" : "inf";
}

[[noreturn]] void invalid_width_type(uint32_t width_type) { invalid_input("invalid search width type: {}", width_type); }

}  // namespace

void VectorSearchParams::validate() const {
    validate_positive(top_k, "top_k");
    if (max_initial_filter_expansion_factor) {
        validate_positive(*max_initial_filter_expansion_factor, "maximum initial filter expansion factor");
        if (width_type != kWidthAutomatic) {
            invalid_input("maximum initial filter expansion factor requires automatic IVF search");
        }
    }
    validate_positive(ivfpq_table_reuse_max_bytes, "IVF-PQ batch table reuse max bytes");
}

uint64_t VectorSearchParams::resolve_ivf_nprobe(uint64_t nlist, uint64_t vector_count,
                                                std::optional<uint64_t> filter_row_count) const {
    switch (width_type) {
        case kWidthAutomatic:
            return autotune::infer_ivf_nprobe_with_filter_expansion_cap(nlist, vector_count, top_k, filter_row_count,
                                                                        max_initial_filter_expansion_factor);
        case kWidthIvfNprobe:
            if (width == 0) invalid_input("nprobe must be greater than 0");
            return std::min(width, nlist);
        case kWidthDiskAnnLSearch: invalid_input("DiskANN l_search cannot be used with an IVF index");
    }
    invalid_width_type(width_type);
}

uint64_t VectorSearchParams::resolve_diskann_l_search_with(std::optional<uint64_t> calibrated_l_search) const {
    if (max_initial_filter_expansion_factor) {
        invalid_input("maximum initial filter expansion factor is only valid for IVF indexes");
    }
    switch (width_type) {
        case kWidthAutomatic: {
            validate_positive(top_k, "top_k");
            const uint64_t base =
                calibrated_l_search.value_or(std::max(kMinAutomaticLSearch, saturating_mul(top_k, 2)));
            return std::max(base, top_k);
        }
        case kWidthIvfNprobe: invalid_input("IVF nprobe cannot be used with a DiskANN index");
        case kWidthDiskAnnLSearch:
            if (width == 0) invalid_input("l_search must be greater than 0");
            return std::max(width, top_k);
    }
    invalid_width_type(width_type);
}

void validate_finite_values(std::span<const float> values, uint64_t count, std::string_view name) {
    check_len(count, values.size());
    for (uint64_t i = 0; i < count; ++i) {
        // Exponent bits all ones: an infinity or a NaN of either sign.
        if ((std::bit_cast<uint32_t>(values[i]) & 0x7FFFFFFFu) > 0x7F7FFFFFu) {
            invalid_input("{} contains non-finite value at offset {}: {}", name, i, non_finite_text(values[i]));
        }
    }
}

void validate_query(std::span<const float> query, uint64_t dimension) {
    if (query.size() != dimension) {
        invalid_input("query length {} does not match index dimension {}", query.size(), dimension);
    }
    validate_finite_values(query, query.size(), "query");
}

void validate_queries(std::span<const float> queries, uint64_t nq, uint64_t dimension) {
    validate_positive(nq, "query count");
    auto expected = checked_mul(nq, dimension);
    if (!expected) invalid_input("nq * dimension overflows usize");
    if (queries.size() != *expected) {
        invalid_input("queries length {} does not match nq * dimension {}", queries.size(), *expected);
    }
    validate_finite_values(queries, queries.size(), "queries");
}

void validate_vectors(std::span<const float> values, uint64_t count, uint64_t dimension, std::string_view name) {
    validate_positive(count, "vector count");
    auto expected = checked_mul(count, dimension);
    if (!expected) invalid_input("vector count * dimension overflows usize");
    if (values.size() != *expected) {
        invalid_input("{} length {} does not match vector count * dimension {}", name, values.size(), *expected);
    }
    validate_finite_values(values, values.size(), name);
}

}  // namespace tavren::index
