// The record conversions and the result copy of the reader exports, apart
// from the exports so that they can be checked on their own. Failures are
// CheckFailure texts (frame.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "search_params.hpp"
#include "search_result.hpp"
#include "tavren_dadiza.h"

namespace tavren::ffi {

// The parameter records as the reader takes them; top_k is not examined here
// (the reader validates the whole set).
index::VectorSearchParams search_params_from_ffi(const FfiSearchParams& params);
// Reads only the first struct_size bytes the host says it filled.
index::VectorSearchParams search_params_ex_from_ffi(const FfiSearchParamsEx* params);
index::VectorSearchParams search_params_v2_from_ffi(const FfiSearchParamsV2& params);

// Hands a search result to the host's arrays; nothing beyond `expected` is written.
void copy_search_result(const SearchResult& result, int64_t* out_ids, float* out_distances, size_t out_capacity,
                        uint64_t expected);

}  // namespace tavren::ffi
