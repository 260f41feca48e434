// IVF-RQ files for reader and search tests: a trained index over clustered
// random rows written to memory, readers opened over a counting source, and
// an exhaustive reference that scores every row with the reader's own
// estimate formula.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ivfrq.hpp"
#include "ivfrq_io.hpp"
#include "memory_source.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"

namespace tavren::testing {

struct RqFixture {
    std::vector<float> rows;  // n x d, as added
    std::vector<int64_t> ids;
    std::vector<uint8_t> file;
};

// Rows around five centres (sq_rows), sparse unordered IDs, exact coarse
// assignment, `bits`-bit codes.
RqFixture make_rq_fixture(size_t n, size_t d, size_t nlist, uint32_t metric, size_t bits, uint32_t seed);

ivfrq_io::IVFRQIndexReader open_rq_reader(const std::vector<uint8_t>& file, MemorySource::Options options = {},
                                          MemorySource::Observer* observer = nullptr,
                                          uint64_t memory_budget = uint64_t{1} << 32);

// The estimate of row j of a list with every plane read exactly (the 1-bit
// formula when bits = 1), for a query context and the list's q_term.
float rq_row_estimate(const ivfrq_io::RQReadList& list, size_t j, const rabitq::RaBitQuantizer& quantizer,
                      const rabitq::RQQueryContext& ctx, float q_term);

// Every row of every list scored with rq_row_estimate, ascending in total
// order then by row ID, the first k (padded).
SearchResult rq_exhaustive(const std::vector<uint8_t>& file, std::span<const float> query, size_t k,
                           const row_id_filter::RowIdFilter* filter);

}  // namespace tavren::testing
