// Timed measurements of the harness: single-query and batch throughput of the
// library's readers and of the exact baseline, read counters per query, recall,
// and the process's memory figures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataset.hpp"
#include "ground_truth.hpp"
#include "host_io.hpp"

namespace tavren::ann {

// Seconds since an arbitrary fixed point (steady clock).
double now_seconds();

// VmHWM / VmRSS of this process in bytes (0 when unavailable), and the peak
// resident size of waited-for children (getrusage).
uint64_t peak_rss_bytes();
uint64_t current_rss_bytes();
uint64_t children_peak_rss_bytes();
// The processor's model name from /proc/cpuinfo ("" when unknown).
std::string cpu_model();

// How long and how wide to measure.
struct MeasureConfig {
    size_t top_k = 100;
    double time_budget_s = 3.0;  // per measurement; checked between queries / batches
    size_t batch_size = 10000;   // queries per batch call
    // IVF-PQ batch table reuse of the batch calls: 0 off, 1 on, 2 auto (the
    // library's default), under the library's default byte budget.
    uint32_t pq_table_reuse = 2;
    // When the timed batches stop before the last query, search the rest
    // untimed so that recall covers every query.
    bool complete_recall = false;
    // Seconds of untimed single queries before each width's timed ones (from
    // query 0, stopping after the last), so that the readers' caches hold
    // what a long-running host's would.
    double warmup_s = 0.0;
};

// One row of results: one search width of one index (or the exact baseline)
// at one thread count, in one I/O mode.
struct SearchRow {
    std::string index;     // "exact" for the baseline, else the index label
    std::string mode;      // "file", "memory" ("-" for the baseline)
    uint64_t latency_us = 0;
    unsigned threads = 1;  // pool size of the process and host threads of single queries
    std::string width_type;  // "nprobe", "l_search", "auto", "-"
    uint64_t width = 0;
    double recall1 = 0, recall10 = 0, recall100 = 0;  // NaN when top_k is smaller
    double single_qps = 0;
    uint64_t single_queries = 0;
    double batch_qps = 0;
    uint64_t batch_queries = 0;
    uint64_t recall_queries = 0;  // queries the recall figures cover
    double single_calls_per_query = 0, single_ranges_per_query = 0, single_bytes_per_query = 0;
    double batch_calls_per_query = 0, batch_bytes_per_query = 0;
    // Queries whose single and batch results differ in a distance (the exact
    // baseline: in a row ID); equally near rows may come in any order.
    uint64_t single_batch_mismatches = 0;
    double open_ms = 0;                    // open + optimize_for_search of the first reader
    uint64_t reader_rss_bytes = 0;         // RSS growth from before opening to after the sweep
    // Wall time of one single query (microseconds), median and 99th
    // percentile over the timed queries.
    double single_p50_us = 0, single_p99_us = 0;
    // DiskANN: the read profile the reader chose ("-" otherwise), its beam
    // width and read window size.
    std::string read_profile = "-";
    uint64_t beam_width = 0, window_bytes = 0;

    // One tab-separated line (child processes hand rows back this way).
    std::string to_tsv() const;
    static SearchRow from_tsv(const std::string& line);
};

// Runs fn(worker, query) on `threads` threads over queries 0, 1, 2, ... until
// all nq are done or the time budget is spent (each thread checks before
// taking a query). Returns {queries done, seconds}.
struct Timed {
    uint64_t queries = 0;
    double seconds = 0;
    double qps() const { return seconds > 0 ? static_cast<double>(queries) / seconds : 0.0; }
};
// With `latencies_us` (nq entries), each query's wall time goes to its entry.
Timed time_single(size_t nq, unsigned threads, double budget_s, const std::function<void(unsigned, size_t)>& fn,
                  std::vector<double>* latencies_us = nullptr);
// The p-th percentile (0 < p <= 100) of the values by the nearest-rank rule
// (the smallest value with at least p% of them at or below it); 0 when empty.
// Reorders the values.
double percentile(std::vector<double>& values, double p);
// The name of the read profile whose defaults a read plan carries: "memory",
// "local_storage", "remote_storage", "object_store" by window size and beam
// width, else "custom" (a host block-size hint changed the window), or "-"
// for a plan of zeros (not a DiskANN reader).
std::string read_profile_name(uint64_t window_bytes, uint64_t beam_width);
// Calls fn(first, count) for consecutive batches of `batch` queries until all
// are done or the budget is spent (checked between batches; at least one).
Timed time_batch(size_t nq, size_t batch, double budget_s, const std::function<void(size_t, size_t)>& fn);

// The exact baseline at `threads` threads: single queries (search_one per
// query) and batches (blocked matrix products).
SearchRow measure_exact(const ExactIndex& exact, const Dataset& ds, const Neighbors& gt, unsigned threads,
                        const MeasureConfig& cfg);

// Sweep of search widths over readers opened on `source`: `threads` reader
// handles for the single-query measurement (one per host thread), the first of
// them for batches. Rows come back in width order.
struct SweepSpec {
    std::string index_label;
    std::string mode;
    unsigned threads = 1;
    uint32_t width_type = 1;  // TAVREN_DADIZA_WIDTH_*
    std::vector<uint64_t> widths;
    uint64_t memory_budget = 0;  // 0 = the library's default
};
std::vector<SearchRow> sweep_reader(InputSource& source, const Dataset& ds, const ExactIndex& exact,
                                    const Neighbors& gt, const SweepSpec& spec, const MeasureConfig& cfg,
                                    const std::function<void(const SearchRow&)>& on_row = {});

const char* width_type_name(uint32_t width_type);

// Whether two result lists (k distances each) of one query differ: some
// place holds another distance, beyond single-precision rounding (relative
// 1e-5). Row IDs are not compared: rows at equal distances may come in any
// order, and which of them fills the last place is not fixed either.
bool results_differ(const float* a, const float* b, size_t k);

}  // namespace tavren::ann
