// The two self-description lines of the IVF-PQ batch search, each behind
// its environment variable (present, even empty, means on; looked up at every
// call): a timing line with work counters and phase times, and, for codes
// not of residuals, a line about the per-query distance tables.
//
// A record belongs to one call on the calling thread; scan workers report
// through BatchScanCounters, whose counters are atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavren::ivfpq_batch_log {

inline constexpr const char* kTimingVariable = "TAVREN_DADIZA_LOG_IVFPQ_BATCH_TIMING";
inline constexpr const char* kReuseVariable = "TAVREN_DADIZA_LOG_IVFPQ_BATCH_REUSE";

bool timing_enabled() noexcept;
bool reuse_enabled() noexcept;

// What the scan workers count, one entry per scan of a run of rows (a list,
// or a chunk of a streamed list) for one query.
struct BatchScanCounters {
    explicit BatchScanCounters(size_t nlist);
    // rows of the run, g = its matching rows (rows without a filter).
    void record(size_t list, uint64_t rows, uint64_t g, bool filtered, size_t nbits) noexcept;

    std::vector<std::atomic<uint64_t>> matched_by_list;  // sum of g over the list's scans
    std::atomic<uint64_t> pq_codes_evaluated{0};
    std::atomic<uint64_t> sparse_pairs{0};
    std::atomic<uint64_t> dense_pairs{0};
    std::atomic<uint64_t> actual_codes{0};
};

// Counters and phase times (milliseconds) of one call; saturating sums.
struct BatchTiming {
    uint64_t unique_lists = 0;
    uint64_t unique_list_rows = 0;
    uint64_t query_list_pairs = 0;
    uint64_t pq_codes_evaluated = 0;
    uint64_t sparse_query_list_pairs = 0;
    uint64_t dense_query_list_pairs = 0;
    uint64_t actual_pq_codes_evaluated = 0;
    uint64_t matched_rows = 0;
    uint64_t read_calls = 0;
    uint64_t requested_bytes = 0;
    uint64_t queries_below_k = 0;
    uint64_t min_hits_per_query = 0;
    double total_ms = 0, load_ms = 0, preprocess_ms = 0, coarse_ms = 0, prepare_ms = 0, io_read_ms = 0,
           decode_ms = 0, filter_ms = 0, scan_ms = 0, finalize_ms = 0;
};

// "[tavren-dadiza] ivfpq_batch_timing nq=... finalize_ms=..." (one line).
std::string timing_line(const BatchTiming& t, size_t nq, size_t nprobe, size_t nbits, size_t k, bool filtered);

// "[tavren-dadiza] ivfpq_batch_table_reuse strategy=non_residual_query_table ..." (one line).
// mode 0 Off, 1 On, 2 Auto; required_bytes absent when it overflowed.
std::string reuse_line(uint32_t mode, bool enabled, bool used, uint32_t metric, size_t nbits, size_t nq,
                       size_t probe_end, uint64_t unique_lists, bool filtered, std::optional<uint64_t> required_bytes,
                       uint64_t budget_bytes, uint64_t tables_built);

}  // namespace tavren::ivfpq_batch_log
