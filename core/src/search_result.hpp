// The result every search returns.
#pragma once

#include <cstdint>
#include <vector>

namespace tavren {

// Row IDs and distances of one search: `k` pairs per query, query after query,
// ascending by distance within a query, missing places as row ID -1 with
// distance kF32Max (numeric.hpp). ids.size() == distances.size().
struct SearchResult {
    std::vector<int64_t> ids;
    std::vector<float> distances;
};

}  // namespace tavren
