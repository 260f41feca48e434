// Random IVF-PQ files for the search tests and the exhaustive reference
// they are checked against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ivfpq.hpp"
#include "ivfpq_io.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"

namespace tavren::testing {

struct PqFixture {
    ivfpq::IVFPQIndex index;
    std::vector<uint8_t> file;
};

// n rows with IDs 0 .. n-1 spread over nlist lists at random (some lists may
// be empty), random centroids, codebook and codes; residual codes under l2.
// `rotation` adds an OPQ rotation (a signed permutation, so the reference
// stays exact).
PqFixture make_pq_fixture(uint32_t metric, size_t d, size_t m, size_t nbits, size_t nlist, size_t n, uint32_t seed,
                          bool rotation = false);

// Opens a file with the default options.
ivfpq_io::IVFPQIndexReader open_pq_reader(std::vector<uint8_t> bytes);

// Every row of every list scored as the scan scores it with a table per
// (query, list) pair (exact for every row of 8-bit codes and for the first
// 200 rows of a 4-bit list), ascending in total order, then by row ID,
// padded to k.
SearchResult brute_force_pq(const ivfpq::IVFPQIndex& index, std::span<const float> query, size_t k,
                            const row_id_filter::RowIdFilter* filter);

// The squared distance (l2, cosine) or negated inner product between the
// preprocessed query and each row's reconstruction, in float, for checks
// within tolerance.
SearchResult decoded_ranking(const ivfpq::IVFPQIndex& index, std::span<const float> query, size_t k);

}  // namespace tavren::testing
