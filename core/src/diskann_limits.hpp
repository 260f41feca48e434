// DiskANN build settings, the version-1 file limits, the PQ training plan under
// a memory budget, and the closed-form peak-memory estimates of the graph
// builds.
//
// Everything here is pure integer arithmetic on build parameters: nothing
// allocates, nothing keeps state, and each function is cheap enough to run at
// option validation, trainer creation, training and build time. Every failure
// is an Error of kind InvalidInput, except validate_build_memory_budget, which
// reports OutOfMemory. An estimate that cannot be represented in 64 bits is
// "absent" (std::nullopt) and never fits a budget.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavren::diskann {

// How raw vectors are stored in a DiskANN file.
enum class RawVectorEncoding : uint32_t { F32 = 1, F16 = 2 };
// Where raw vectors live: their own section, or next to each node's adjacency
// list in the adjacency pages.
enum class StorageLayout : uint8_t { Compact = 0, Interleaved = 1 };
// Which distance the greedy searches of the graph build use.
enum class BuildDistance : uint8_t { FullPrecision = 0, ProductQuantized = 1 };

// Bytes of one raw vector value under `encoding` (4 for F32, 2 otherwise).
constexpr uint64_t raw_bytes_per_value(RawVectorEncoding encoding) noexcept {
    return encoding == RawVectorEncoding::F32 ? 4 : 2;
}

// The DiskANN and Vamana build settings. The Vamana builds read the first five
// fields; the DiskANN build and its file writer read all of them.
struct DiskAnnBuildConfig {
    uint64_t max_degree = 0;              // R: maximum out-degree of a node
    uint64_t build_search_list_size = 0;  // L: greedy-search list size during the build
    uint64_t seed = 0;                    // every random choice of the build and the training sample
    uint64_t memory_budget_bytes = 0;     // budget of PQ training and the graph build
    float alpha = 1.0f;                   // prune factor
    RawVectorEncoding raw_vector_encoding = RawVectorEncoding::F32;
    StorageLayout storage_layout = StorageLayout::Compact;
    BuildDistance build_distance = BuildDistance::FullPrecision;

    friend bool operator==(const DiskAnnBuildConfig&, const DiskAnnBuildConfig&) = default;
};

// The settings of the centroid graph that IVF coarse assignment builds:
// degree 12, list size 15, seed 42, 1 GiB, alpha 1.2, f32, compact, full precision.
DiskAnnBuildConfig coarse_assignment_build_config() noexcept;

// Version-1 file limits.
inline constexpr uint64_t kMaxDimension = 1024;
inline constexpr uint64_t kMaxDegree = 1023;
inline constexpr uint64_t kPageBytes = 4096;
// The PQ training sample never exceeds this many rows.
inline constexpr uint64_t kMaxPqTrainingRows = 50000;

// PQ code bytes per vector: m for 8-bit codes, m - floor(m / 2) for 4-bit codes.
constexpr uint64_t pq_code_bytes(uint64_t m, uint64_t nbits) noexcept { return nbits == 4 ? m - m / 2 : m; }

// Checks the version-1 format limits in a fixed order; throws the first violation.
void validate_diskann_format_configuration(uint64_t dim, uint64_t m, uint64_t nbits, const DiskAnnBuildConfig& config);

// How many rows PQ training samples and how many sub-quantizers it trains at once.
struct PqTrainingPlan {
    uint64_t sample_rows = 0;
    uint64_t workers = 0;
    friend bool operator==(const PqTrainingPlan&, const PqTrainingPlan&) = default;
};

// The largest sample between min(ksub, n) and min(n, 50000) rows, and the most
// workers (at most the pool size and m), whose estimated training peak fits
// `budget`. `sample_buffers` is 2 under the cosine metric (the sample and its
// normalised copy coexist), else 1. Throws when even the one-worker peak of
// the smallest sample does not fit. Uses the process-wide pool size.
PqTrainingPlan pq_training_plan_with_sample_buffers(uint64_t dim, uint64_t m, uint64_t ksub, uint64_t n,
                                                    uint64_t budget, uint64_t sample_buffers);
// The same with an explicit pool size (deterministic for tests and planners).
PqTrainingPlan pq_training_plan_with_pool_threads(uint64_t dim, uint64_t m, uint64_t ksub, uint64_t n,
                                                  uint64_t budget, uint64_t sample_buffers, uint64_t pool_threads);

// Estimated peak bytes of PQ training with `rows` sample rows and `workers`
// workers; absent when a term is not representable. Exposed for tests.
std::optional<uint64_t> pq_training_peak_bytes(uint64_t dim, uint64_t m, uint64_t ksub, uint64_t rows,
                                               uint64_t sample_buffers, uint64_t workers);

// Whether `budget` fits even the smallest PQ training (a sample of ksub rows).
void validate_diskann_training_budget(uint64_t dim, uint32_t metric, uint64_t m, uint64_t nbits, uint64_t budget);

// count * element_size, or "DiskANN {name} byte size overflows usize".
uint64_t checked_bytes(std::string_view name, uint64_t count, uint64_t element_size);

// What the one-piece build estimate reads of a DiskANN index.
struct BuildMemoryInputs {
    uint64_t vector_count = 0;         // n: stored row IDs
    uint64_t stored_values = 0;        // v: stored f32 values (n x dim)
    uint64_t code_bytes_per_vector = 0;  // cb of the product quantizer
    uint64_t codebook_values = 0;      // f32 values of the PQ codebook
    uint64_t m = 0;                    // PQ subspaces
    uint64_t ksub = 0;                 // codewords per subspace
    DiskAnnBuildConfig config;
    uint64_t workers = 1;              // pool size (at least 1 is used)
};

// Estimated peak bytes of a one-piece DiskANN build: vectors, row IDs, codes,
// codebook, PQ build tables, the Vamana build and the adjacency index.
uint64_t estimate_build_memory_bytes(const BuildMemoryInputs& inputs);

}  // namespace tavren::diskann

namespace tavren::vamana {

// Shape checks every Vamana build runs first: n, dim and R non-zero, n below
// 2^32 (u32 node IDs), R below 65536 (u16 degrees), n x dim representable and
// equal to the number of supplied values.
void validate_build_inputs(uint64_t vector_len, uint64_t n, uint64_t dim, uint64_t max_degree);

// Peak bytes of a one-piece build as (parallel peak, finish peak).
struct VamanaMemoryEstimate {
    uint64_t parallel_peak = 0;
    uint64_t finish_peak = 0;
    friend bool operator==(const VamanaMemoryEstimate&, const VamanaMemoryEstimate&) = default;
};
std::optional<VamanaMemoryEstimate> estimate_vamana_memory_bytes(uint64_t n, uint64_t max_degree,
                                                                 uint64_t build_search_list_size, uint64_t workers);

// Peak bytes of a sequential (single-threaded) build of n nodes with maximum
// degree R and list size L: its random lists, storage, one search scratch and
// the repair state. Absent when not representable.
std::optional<uint64_t> estimate_sequential_vamana_memory_bytes(uint64_t n, uint64_t max_degree,
                                                                uint64_t build_search_list_size);

// Peak bytes of an overlapping sharded build with `shards` shards; `pq_code_bytes`
// is 0 when the build does not use PQ codes.
std::optional<uint64_t> estimate_sharded_vamana_memory_bytes(uint64_t n, uint64_t dim, uint64_t max_degree,
                                                             uint64_t shards, uint64_t pq_code_bytes);

// Members a shard may keep in an overlapping sharded build of n vectors with
// s >= 2 shards: n for two shards, else ceil(2n / (s - 1)).
uint64_t sharded_capacity(uint64_t n, uint64_t s) noexcept;

// What the sharded estimate leaves out when shards are built with the
// parallel PQ-guided build: one search scratch per pool worker and the
// pass's fixed buffers, for a shard of the largest allowed size (shard
// degree and list size fitted as the sharded build fits them). Absent when
// not representable.
std::optional<uint64_t> estimate_pq_shard_worker_bytes(uint64_t n, uint64_t max_degree,
                                                       uint64_t build_search_list_size, uint64_t shards,
                                                       uint64_t workers);

// What one more full-precision shard build running at the same time adds:
// a shard's vector copy and the peak of its sequential build, for a shard of
// the largest allowed size. Absent when not representable.
std::optional<uint64_t> estimate_concurrent_shard_bytes(uint64_t n, uint64_t dim, uint64_t max_degree,
                                                        uint64_t build_search_list_size, uint64_t shards);

// Succeeds when the estimate is present and at most `budget`; otherwise throws
// an OutOfMemory error naming both.
void validate_build_memory_budget(std::optional<uint64_t> estimate, uint64_t budget);

}  // namespace tavren::vamana
