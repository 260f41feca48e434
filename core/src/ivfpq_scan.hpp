// The inner loop of every IVF-PQ search: the distance table of a (query,
// list) pair, the rows of a list or streamed chunk that pass the row-ID
// filter, the scoring of PQ codes in the file's transposed layout (code byte
// k of row r at k * R + r) and the offers to the result heap.
//
// PqScanner is the IVF-PQ ListScanner of the IVF engine (ivf_search): the
// engine walks, reads and merges; this module only scores. Its distances:
// under l2 the squared distance to the row's reconstruction (centroid plus
// decoded residual), under inner_product the negated inner product with the
// decoded row, under cosine the squared distance between the normalised
// query and the decoded row.
//
// Thread rules: a scanner and its prepared queries are read-only during a
// search and may be used from several pool workers at once; each worker's
// scratch buffers (table, per-row distances, quantised table, filter bits)
// are its own and reused from list to list.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "ivf_search.hpp"
#include "ivfpq_scan_kernels.hpp"
#include "pq.hpp"
#include "row_id_filter.hpp"
#include "topk.hpp"

namespace tavren::ivfpq {

using row_id_filter::RowIdFilter;

// The result heap of one query (or one list task): the engine's heap, ties in
// arrival order; a NaN distance ranks after every real one and never
// displaces one. Room is reserved for min(k, rows that can be offered).
using TopKHeap = topk::ArrivalOrderTopKHeap;

// Rows of one 4-bit list or chunk scored exactly before the fast scan.
inline constexpr size_t kExactRows4 = 200;

// The rows of one list or chunk that pass the filter: ceil(R / 64) words,
// bit r % 64 of word r / 64 set for each matching position r, and their
// number. Held in the worker's scratch.
struct MatchingRows {
    std::span<const uint64_t> words;
    size_t count = 0;
};
// Tests every ID once, in order, into `words` (resized to ceil(R / 64)).
MatchingRows matching_rows(std::span<const int64_t> ids, const RowIdFilter& filter, std::vector<uint64_t>& words);

// Where a pair's table comes from.
enum class TableMethod : uint8_t {
    // A table per (query, list): of query - centroid for residual codes, of
    // the query otherwise. Coarse term 0.
    PerPair,
    // l2 residual codes with the reader's precomputed table P: table = P[list]
    // + (-2) x the query's inner-product table (built once per query); coarse
    // term |query - centroid|^2.
    Precomputed,
    // Codes not of residuals: one table per query, built once, for every list.
    QueryTable,
    // l2 residual 8-bit codes without P, batches only: per list a stable
    // table 2 <C_j, y> + |y|^2, per query an ephemeral table <q_j, y>, both
    // in f64, combined per pair into |q_j - C_j - y|^2 (coarse term 0). Used
    // only when plan_batch finds it pays (always for On, by the pair count
    // for Auto); otherwise as PerPair.
    Split,
};

// The split's arithmetic, in f64 from f32 inputs, sums in ascending dimension
// order. Norms: |y(j, c)|^2.
std::vector<double> compute_stable_ephemeral_pq_norms(const pq::ProductQuantizer& pq);
// out[j * ksub + c] = 2 <C_j, y(j, c)> + norms[j * ksub + c]; resized to m x ksub.
void fill_stable_ephemeral_list_table(std::span<const float> centroid, size_t d, const pq::ProductQuantizer& pq,
                                      std::span<const double> norms, std::vector<double>& out);
// out[j * ksub + c] = <q_j, y(j, c)>; resized to m x ksub.
void fill_stable_ephemeral_query_table(std::span<const float> query, size_t d, const pq::ProductQuantizer& pq,
                                       std::vector<double>& out);
// out = f32(max((stable + |q_j - C_j|^2) - 2 ephemeral, 0)), NaN as 0;
// resized to m x ksub.
void combine_stable_ephemeral_tables(std::span<const double> stable, std::span<const double> ephemeral,
                                     std::span<const float> query, std::span<const float> centroid,
                                     const pq::ProductQuantizer& pq, std::vector<float>& out);

// What the scans read of a loaded reader.
struct ScanIndex {
    const pq::ProductQuantizer* pq = nullptr;
    std::span<const float> centroids;    // nlist x d
    std::span<const float> precomputed;  // nlist x m x ksub, or empty
    size_t d = 0;
    size_t m = 0;
    size_t ksub = 0;
    size_t nbits = 0;
    uint32_t metric = 0;
    bool by_residual = false;
};

// Scores the rows of a code buffer (ids.size() rows, transposed) with a ready
// table, plus `coarse`, into `heap`; with `matching`, only matching rows are
// offered (8-bit: gathered when 8 x matches <= rows, else every row scored
// and the matching ones offered; 4-bit: every row scored). `dist` is scratch.
// 4-bit: rows [0, min(R, 200)) exactly, the rest from the quantised table.
void scan_reader_codes(std::span<const float> table, std::span<const uint8_t> codes, std::span<const int64_t> ids,
                       float coarse, size_t m, size_t nbits, const MatchingRows* matching, std::vector<float>& dist,
                       std::vector<uint8_t>& lut, TopKHeap& heap);

class PqScanner {
public:
    struct Query {
        std::span<const float> values;  // preprocessed: normalised (cosine), rotated (OPQ)
        // Precomputed: the inner-product table; QueryTable: the distance
        // table, built by the first scan that offers a row (so a query that
        // reaches no matching row builds none); PerPair: empty.
        mutable std::vector<float> table;
        // QueryTable: guards the one build of `table` (tasks of different
        // lists may scan one query at once).
        std::unique_ptr<std::once_flag> table_once;
        // Split, when on for the batch: the ephemeral table.
        std::vector<double> ephemeral;
    };

    // `auto_split`: under Split, plan_batch applies the pair-count rule.
    PqScanner(const ScanIndex& index, TableMethod method, bool auto_split = false);

    TableMethod method() const noexcept { return method_; }
    // Bytes one prepared query holds (its table), for the reuse budget.
    uint64_t query_table_bytes() const noexcept;

    // Called by the batch walk once its list plan is known, before any query
    // is prepared: `lists` distinct non-empty lists, `pairs` probes of them
    // over all queries, `active` queries with at least one. Under Split it
    // turns the split on (On) or on when pairs >= 2 x (lists + active) (Auto).
    void plan_batch(size_t lists, uint64_t pairs, size_t active) const;
    // QueryTable: the query tables built so far by this scanner's scans.
    uint64_t tables_built() const noexcept { return tables_built_.load(std::memory_order_relaxed); }
    // Whether the split is on for the current batch.
    bool split_active() const noexcept { return split_active_; }

    Query prepare(std::span<const float> query) const;
    // For codes whose table does not depend on the list (QueryTable, or
    // PerPair on codes not of residuals); residual codes need scan_list.
    void scan(const Query& q, std::span<const int64_t> ids, std::span<const uint8_t> codes,
              const RowIdFilter* filter, TopKHeap& heap) const;
    // Scores a run of rows of `list`.
    void scan_list(const Query& q, size_t list, std::span<const int64_t> ids, std::span<const uint8_t> codes,
                   const RowIdFilter* filter, TopKHeap& heap) const;
    uint64_t row_work() const noexcept { return index_.m; }

    // The table of (query, list) into `out` (resized to m x ksub) and the
    // pair's coarse term.
    float fill_table(const Query& q, size_t list, std::vector<float>& out) const;

private:
    // QueryTable: the query's table, built on first use.
    std::span<const float> query_table(const Query& q) const;

    ScanIndex index_;
    TableMethod method_;
    bool auto_split_ = false;
    // Set on the calling thread before the walk's tasks start.
    mutable bool split_active_ = false;
    mutable std::atomic<uint64_t> tables_built_{0};
    std::vector<double> norms_;
    // Split: the codebook transposed per sub-quantizer, for the f64 tables.
    std::vector<float> book_t_;
    // Tells this scanner's stable tables from another's in a worker's scratch.
    uint64_t generation_ = 0;
};
static_assert(ivf_search::ListScanner<PqScanner>);

}  // namespace tavren::ivfpq
