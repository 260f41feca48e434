#include "ivfpq_batch_log.hpp"

#include <fmt/format.h>

#include "logging.hpp"
#include "numeric.hpp"

namespace tavren::ivfpq_batch_log {

bool timing_enabled() noexcept { return logging::env_flag_present(kTimingVariable); }
bool reuse_enabled() noexcept { return logging::env_flag_present(kReuseVariable); }

BatchScanCounters::BatchScanCounters(size_t nlist) : matched_by_list(nlist) {
    for (auto& a : matched_by_list) a.store(0, std::memory_order_relaxed);
}

namespace {

void add(std::atomic<uint64_t>& a, uint64_t v) noexcept {
    uint64_t cur = a.load(std::memory_order_relaxed);
    while (!a.compare_exchange_weak(cur, saturating_add(cur, v), std::memory_order_relaxed)) {
    }
}

const char* metric_text(uint32_t metric) noexcept {
    switch (metric) {
        case 0:
            return "l2";
        case 1:
            return "inner_product";
        default:
            return "cosine";
    }
}

const char* mode_text(uint32_t mode) noexcept {
    switch (mode) {
        case 0:
            return "Off";
        case 1:
            return "On";
        default:
            return "Auto";
    }
}

}  // namespace

void BatchScanCounters::record(size_t list, uint64_t rows, uint64_t g, bool filtered, size_t nbits) noexcept {
    if (list < matched_by_list.size()) add(matched_by_list[list], g);
    add(pq_codes_evaluated, g);
    if (g == 0) return;
    // Transposed codes: a selective filter gathers only its rows (8-bit).
    if (filtered && nbits != 4 && rows >= saturating_mul(8, g)) {
        add(sparse_pairs, 1);
        add(actual_codes, g);
    } else {
        add(dense_pairs, 1);
        add(actual_codes, rows);
    }
}

std::string timing_line(const BatchTiming& t, size_t nq, size_t nprobe, size_t nbits, size_t k, bool filtered) {
    fmt::memory_buffer buf;
    buf.reserve(256);
    fmt::format_to(std::back_inserter(buf),
                   "[tavren-dadiza] ivfpq_batch_timing nq={} nprobe={} pq_bits={} topk={} unique_lists={} "
                   "unique_list_rows={} query_list_pairs={} pq_codes_evaluated={} sparse_query_list_pairs={} "
                   "dense_query_list_pairs={} actual_pq_codes_evaluated={} matched_rows={} read_calls={} "
                   "requested_bytes={} queries_below_k={} min_hits_per_query={} filtered={} ",
                   nq, nprobe, nbits, k, t.unique_lists, t.unique_list_rows, t.query_list_pairs,
                   t.pq_codes_evaluated, t.sparse_query_list_pairs, t.dense_query_list_pairs,
                   t.actual_pq_codes_evaluated, t.matched_rows, t.read_calls, t.requested_bytes, t.queries_below_k,
                   t.min_hits_per_query, filtered ? "true" : "false");
    fmt::format_to(std::back_inserter(buf),
                   "total_ms={:.3f} load_ms={:.3f} preprocess_ms={:.3f} coarse_ms={:.3f} prepare_ms={:.3f} "
                   "io_read_ms={:.3f} decode_ms={:.3f} filter_ms={:.3f} scan_ms={:.3f} finalize_ms={:.3f}",
                   t.total_ms, t.load_ms, t.preprocess_ms, t.coarse_ms, t.prepare_ms, t.io_read_ms, t.decode_ms,
                   t.filter_ms, t.scan_ms, t.finalize_ms);
    return fmt::to_string(buf);
}

std::string reuse_line(uint32_t mode, bool enabled, bool used, uint32_t metric, size_t nbits, size_t nq,
                       size_t probe_end, uint64_t unique_lists, bool filtered, std::optional<uint64_t> required_bytes,
                       uint64_t budget_bytes, uint64_t tables_built) {
    const std::string required = required_bytes ? fmt::format("Some({})", *required_bytes) : std::string("None");
    return fmt::format(
        "[tavren-dadiza] ivfpq_batch_table_reuse strategy=non_residual_query_table mode={} enabled={} used={} "
        "metric={} pq_bits={} nq={} nprobe={} unique_lists={} filtered={} required_bytes={} budget_bytes={} "
        "tables_built={}",
        mode_text(mode), enabled ? "true" : "false", used ? "true" : "false", metric_text(metric), nbits, nq,
        probe_end, unique_lists, filtered ? "true" : "false", required, budget_bytes, tables_built);
}

}  // namespace tavren::ivfpq_batch_log
