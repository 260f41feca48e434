// DiskANN files built and written by the library itself (trainer, Vamana
// build, writer) over seeded clustered rows, for tests that search real
// graphs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "diskann.hpp"

namespace tavren::testing {

struct BuiltDiskAnn {
    std::vector<float> rows;    // n x d, as stored (rounded through f16 for f16 files)
    std::vector<int64_t> ids;   // 1000 + 3i
    std::vector<uint8_t> bytes; // the whole file
    size_t d = 0;
};

// n rows in eight clusters, row IDs 1000 + 3i, PQ m = 8 with `bits` bits,
// the given maximum degree, build list size 32.
BuiltDiskAnn build_diskann_index(size_t n, size_t d, uint32_t metric, diskann::StorageLayout layout,
                                 diskann::RawVectorEncoding encoding, size_t bits, uint64_t seed,
                                 uint32_t max_degree = 16);

// The exact distance of a stored row under a metric (0 l2, 1 inner product,
// 2 cosine), in double precision for the products.
float exact_distance(uint32_t metric, std::span<const float> q, std::span<const float> r);

// The row IDs of the k nearest stored rows to `q` by exact distance (l2,
// inner product or cosine, computed directly), ascending, ties to the
// smaller row ID; only rows whose ID `admit` accepts when it is given.
std::vector<int64_t> brute_force_ids(const BuiltDiskAnn& b, uint32_t metric, std::span<const float> q, size_t k,
                                     const std::function<bool(int64_t)>& admit = {});

}  // namespace tavren::testing
