#include "progressive.hpp"

namespace tavren::progressive {

bool ivf_search_result_is_complete(std::span<const float> distances, uint64_t needed) noexcept {
    if (needed == 0) return true;
    uint64_t hits = 0;
    for (float d : distances) {
        // Compared as values, not bits: a NaN is not kF32Max and counts as a hit.
        if (d != kF32Max && ++hits >= needed) return true;
    }
    return false;
}

uint64_t retry_group_size(uint64_t dimension, uint64_t top_k) noexcept {
    const uint64_t per_query = saturating_add(saturating_mul(4, dimension), saturating_mul(12, top_k));
    if (per_query == 0) return std::numeric_limits<uint64_t>::max();
    if (per_query > kRetryGroupBudgetBytes) return 1;
    return std::max<uint64_t>(1, kRetryGroupBudgetBytes / per_query);
}

namespace detail {

void check_pass_result(const SearchResult& result, uint64_t count, uint64_t top_k) {
    const std::optional<uint64_t> expected = checked_mul(count, top_k);
    TD_ASSERT(expected && result.ids.size() == *expected && result.distances.size() == *expected,
              "IVF search pass returned {} row IDs and {} distances for {} queries of top_k {}", result.ids.size(),
              result.distances.size(), count, top_k);
}

}  // namespace detail
}  // namespace tavren::progressive
