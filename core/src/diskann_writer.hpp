// Writes a trained and filled DiskANN index as one file, front to back in a
// single pass with no seek: header, zero fill, sections 0 to 4, zero fill to
// the page boundary, the adjacency pages, the raw vectors (compact layout).
#pragma once

#include <chrono>
#include <cstdint>

#include "diskann.hpp"
#include "io.hpp"

namespace tavren::diskann {

struct DiskAnnWriteStats {
    uint64_t shard_count = 0;
    std::chrono::nanoseconds total{0};
    PrepareTimings prepare;
    std::chrono::nanoseconds sections{0};  // header and sections 0 to 4
    std::chrono::nanoseconds pages{0};
    std::chrono::nanoseconds raw_vectors{0};
};

// Builds and writes. The output's position must start at 0 and must advance
// with every byte written: the writer compares it with its own count at each
// zero fill and section boundary and fails at the first disagreement
// (InvalidInput), before writing more. Host write errors pass through.
DiskAnnWriteStats write_diskann_index_with_stats(const DiskAnnIndex& index, io::SeekWrite& output);

// Appends zero bytes (pieces of at most 4096) from `written` up to `target`,
// after checking the output reports `written`; advances `written`.
void pad_to(io::SeekWrite& output, uint64_t& written, uint64_t target);

}  // namespace tavren::diskann
