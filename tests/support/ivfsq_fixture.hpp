// IVF-SQ files for reader and search tests: a trained index over clustered
// random rows, written to memory, and readers opened over a counting source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivfsq.hpp"
#include "ivfsq_io.hpp"
#include "memory_source.hpp"

namespace tavren::testing {

// Rows around five centres, seeded.
std::vector<float> sq_rows(size_t n, size_t d, uint32_t seed);

struct SqFixture {
    std::vector<float> rows;  // n x d, as added
    std::vector<int64_t> ids;
    ivfsq::IVFSQIndex index;
    std::vector<uint8_t> file;
};

// Trains (exact coarse assignment) on the rows, adds them with sparse,
// unordered IDs and writes the file.
SqFixture make_sq_fixture(size_t n, size_t d, size_t nlist, uint32_t metric, uint32_t seed);

// The bytes of an index written to memory.
std::vector<uint8_t> sq_file_of(const ivfsq::IVFSQIndex& index);

// A reader over the bytes, opened through the 64 header bytes.
ivfsq_io::IVFSQIndexReader open_sq_reader(const std::vector<uint8_t>& file, MemorySource::Options options = {},
                                          MemorySource::Observer* observer = nullptr,
                                          uint64_t memory_budget = uint64_t{1} << 32);

}  // namespace tavren::testing
