// A test-side DiskANN file composer: lays out and writes a whole file from a
// hand-made graph with the format's own section encoders, in the writer's
// order (header, zero fill, sections 0 to 4 through one sink, the gap, the
// pages, the raw vectors), and reads a file back through every decoder and
// check in file order. The codebook and the PQ codes are synthetic: their
// values only have to be finite and of the right shape.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diskann_format.hpp"
#include "diskann_limits.hpp"

namespace tavren::testing {

struct DiskAnnFileContents {
    uint64_t dimension = 8;
    uint64_t pq_m = 4;
    uint64_t pq_bits = 8;
    uint32_t metric = 0;
    uint32_t entry_node = 0;
    diskann::DiskAnnBuildConfig config;  // max degree, list size, seed, alpha, encoding, layout
    std::vector<int64_t> row_ids;        // node order
    std::vector<std::vector<uint32_t>> neighbors;  // node order, ascending
    std::vector<float> vectors;          // node order, dimension values per node
};

// The contents of n nodes: row IDs 0..n-1, every node linked to its `degree`
// successors (mod n, sorted), vectors of small finite values.
DiskAnnFileContents ring_contents(uint64_t n, uint64_t degree, uint64_t dimension = 8);

struct DiskAnnFile {
    diskann_format::DiskAnnHeader header;
    diskann_format::PagePlan plan;
    std::vector<uint8_t> bytes;
};

DiskAnnFile build_diskann_file(const DiskAnnFileContents& contents);

// Decodes every section of `bytes` with the format's decoders and checks,
// and validates every page; returns "" or the message of the first failure.
std::string check_diskann_file(const std::vector<uint8_t>& bytes);

}  // namespace tavren::testing
