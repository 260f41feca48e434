// DiskANN batch search: the records the worker sessions and the streaming
// rerank exchange with the reader, the bounds that shape a batch, and the
// pure helpers of batches and search-width calibration. The reader's batch
// operations themselves are DiskAnnIndexReader members (diskann_io.hpp,
// implemented in diskann_batch.cpp and diskann_calibrate.cpp).
//
// A batch runs one of three ways: serially on the reader (one worker,
// interleaved file), as parallel sessions (whole queries on worker clones,
// when the file is interleaved or there are at most four queries per
// worker), or streaming (graph candidates per query, then one exact rerank
// per chunk of up to 1024 queries that reads every raw-vector window once
// for all the chunk's queries).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "diskann_search.hpp"
#include "diskann_windows.hpp"

namespace tavren::diskann_search {

// One answered query of a worker session: its position in the batch, its
// exactly top_k row IDs and distances, and the worker's statistics after it.
struct DiskAnnSessionOutput {
    size_t query = 0;
    std::vector<int64_t> ids;
    std::vector<float> distances;
    DiskAnnSearchStats stats;
};
// One array of outputs per worker, in worker order.
using DiskAnnSessionOutputs = std::vector<std::vector<DiskAnnSessionOutput>>;

// The rerank set of one query of a streaming chunk: its position in the
// chunk and the node ids in the order candidate generation gave them.
struct DiskAnnCandidateList {
    size_t query = 0;
    std::vector<size_t> nodes;
};
// One array of candidate lists per worker (a single array when the reader
// generated them itself).
using DiskAnnCandidateLists = std::vector<std::vector<DiskAnnCandidateList>>;

// Queries per streaming chunk: candidate lists and result heaps exist for at
// most this many queries at once.
inline constexpr size_t kStreamingQueryChunk = 1024;
// Bounds of one window chunk of the streaming rerank (a longer window alone).
inline constexpr size_t kStreamingChunkWindows = 1024;
inline constexpr uint64_t kStreamingChunkBytes = 67108864;
// A window chunk is scored on the pool from this many query-value x
// reference products (and two pool threads) on.
inline constexpr uint64_t kParallelRerankMinProducts = 16384;
// Products (references x dimension) per task of the parallel scorer: about
// 40 references at d = 784, some 20 microseconds of reading records from
// memory, so that a chunk's 1,000-odd references make enough tasks to keep
// eight threads busy to the end (measured: half as many tasks left the
// rerank of a 1,000-query batch about 8 % slower) while a task still
// outweighs its scheduling. The split changes no result: each distance is
// computed alone.
inline constexpr size_t kParallelRerankGrainProducts = 32768;
// Whole-query sessions up to this many queries per worker; streaming above.
inline constexpr size_t kSessionQueriesPerWorker = 4;
// Window buffers of one batch: at most 64 MiB for all workers, 8 MiB each.
inline constexpr uint64_t kBatchWindowBuffersTotal = 67108864;
inline constexpr uint64_t kBatchWindowBuffersPerWorker = 8388608;

// The window-buffer limit of each of `workers` workers (0 counts as 1):
// min(64 MiB / w, 8 MiB), 0 beyond 64 Mi workers.
uint64_t window_buffer_limit_per_worker(size_t workers) noexcept;

// A range [begin, end) of positions in a sorted window array.
struct WindowChunk {
    size_t begin = 0;
    size_t end = 0;
    friend bool operator==(const WindowChunk&, const WindowChunk&) = default;
};

// Cuts sorted windows into consecutive chunks, in order: each chunk takes
// its first window whatever its length, then the following ones while it
// holds at most 1024 windows and at most 64 MiB (saturating sum).
std::vector<WindowChunk> plan_streaming_window_chunks(std::span<const ReadWindow> windows);

// The (query, node) pairs of a chunk rerank grouped by raw-vector window.
// Pairs are numbered in query order (query 0's nodes in their order, then
// query 1's, ...); their place in window order is ascending window offset,
// then that numbering.
struct WindowGroups {
    std::vector<ReadWindow> windows;   // distinct windows, ascending by offset
    std::vector<size_t> group_start;   // first place of each window's pairs, then the pair count
    std::vector<size_t> query_start;   // first pair number of each query, then the pair count
    std::vector<size_t> place;         // place in window order of each pair (by pair number)
};

// Window indices up to this many per pair (plus a constant) are grouped by
// counting over a dense array; sparser ones by sorting the pairs.
inline constexpr uint64_t kDenseWindowGroupingPerPair = 4;
inline constexpr uint64_t kDenseWindowGroupingSlack = 4096;

// Groups the nodes of `slots` (one list per chunk query) by the planner's
// windows. `dense_per_pair` sets the dense-counting bound (tests pass 0 to
// force the sort); both ways give the same groups. InvalidData "DiskANN
// raw-vector record is out of range" for a node outside the section.
WindowGroups group_pairs_by_window(const diskann_windows::VectorWindowPlanner& planner,
                                   std::span<const std::vector<size_t>* const> slots,
                                   uint64_t dense_per_pair = kDenseWindowGroupingPerPair);

// The calibration threshold, the f32 nearest 0.98; a stability passes when
// it is greater than or equal to it.
inline constexpr float kCalibrationStabilityThreshold = 0.98f;

// How much of result A survives in result B, both query-major with k entries
// per query: A's valid entries (distance != f32::MAX; NaN counts as valid)
// whose row ID occurs among B's valid entries of the same query, matched one
// for one, over A's valid entries. 0 for arrays of different lengths, k 0 or
// a length not a multiple of k; 1 for empty arrays or when A has no valid
// entry. A query where B has no valid entry counts A's entries as misses.
float topk_result_stability(std::span<const int64_t> ids_a, std::span<const float> distances_a,
                            std::span<const int64_t> ids_b, std::span<const float> distances_b, size_t k);

}  // namespace tavren::diskann_search
