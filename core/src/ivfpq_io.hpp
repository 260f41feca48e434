// The IVF-PQ file writer and the header checks a reader applies when it opens
// a file (layout in ivfpq_format.hpp).
//
// Every failure throws tavren::Error; the writer keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "io.hpp"
#include "ivf_lists.hpp"
#include "ivfpq.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"
#include "ivfpq_format.hpp"
#include "ivfpq_scan.hpp"
#include "ivf_search.hpp"
#include "read_options.hpp"

namespace tavren::ivfpq_io {

// How a batch search reuses distance tables across its (query, list) pairs.
enum class BatchTableReuse : uint32_t { Off = 0, On = 1, Auto = 2 };
inline constexpr uint64_t kDefaultReuseBudgetBytes = 536870912;

// The header's fields checked in the reader's order (all InvalidData):
// magic, version, d / nlist / m / ksub / dsub positive, ksub 16 or 256,
// d = m * dsub, even m for ksub 16, metric, non-negative total, zero reserved
// bytes, no unknown flag bits, delta IDs and transposed codes both set.
ivfpq_format::Header validate_header(std::span<const uint8_t, ivfpq_format::kHeaderBytes> bytes);

// How one list goes out: its rows in ascending row-ID order (stable), and its
// ID section.
struct SortedPqListMetadata {
    std::vector<size_t> order;  // positions into the list's IDs and code rows
    std::vector<uint8_t> id_bytes;
    int64_t base_id = 0;  // the smallest ID; 0 for an empty list
};

SortedPqListMetadata build_sorted_pq_list_metadata(std::span<const int64_t> ids);

// Resizes `out` to order.size() * code_size and stores code byte k of the row
// at sorted position r (source row order[r]) at k * count + r. Cache-blocked
// in 32 x 32 tiles; `out` is reused across lists.
void transpose_sorted_pq_codes(std::span<const uint8_t> codes, std::span<const size_t> order, size_t code_size,
                               std::vector<uint8_t>& out);

// The precomputed residual table: entry (l * m + j) * ksub + c = 2 <centroid
// l's sub-vector j, codeword c of sub-quantizer j> + |codeword c|^2 (dot in
// f32, components in order). For a query q and a row of list l with codes
// c_j, |q - (centroid + codewords)|^2 = |q - centroid|^2 + sum_j (entry
// (l, j, c_j) - 2 <q_j, codeword c_j>). InvalidData "IVFPQ precomputed table
// size overflow" when nlist * m * ksub overflows; an allocation failure is an
// OutOfMemory error. One list per parallel item.
std::vector<float> compute_precomputed_table(std::span<const float> centroids, const pq::ProductQuantizer& pq,
                                             size_t nlist, size_t d);

// The bounds the writer enforces. Production code uses the defaults; tests
// lower them to reach every refusal without multi-gigabyte fixtures.
struct WriteLimits {
    uint64_t max_i32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());  // i32 header/table fields
    uint64_t max_i64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // payload offsets
};

// Checks the whole index and writes the file front to back through `out`.
// Everything that depends on the index alone (shapes, finite metadata, the
// section sizes a reader accepts, code lengths, counts and ID sections within
// i32) is settled before the first byte, so such a refusal writes nothing.
// Payload offsets are out.pos() after the metadata plus the table and
// payload lengths: positions in the host's output. A refused offset or a
// write error leaves an incomplete file the caller must discard. Does not
// flush. The index is only read.
void write_ivfpq_index(const ivfpq::IVFPQIndex& index, io::SeekWrite& out);
void write_ivfpq_index_with_limits(const ivfpq::IVFPQIndex& index, io::SeekWrite& out, const WriteLimits& limits);

// Reads an IVF-PQ file through the host's positional reads. Opening checks
// the header only; the metadata (rotation, centroids, codebook, offset table)
// is loaded on first use. One caller at a time; every read happens on the
// calling thread.
class IVFPQIndexReader {
public:
    // validate_header's checks; then an unloaded reader with an untrained
    // product quantizer of the file's shape.
    static IVFPQIndexReader open_with_header(std::unique_ptr<io::SeekRead> input,
                                             std::span<const uint8_t, ivfpq_format::kHeaderBytes> header);
    // The same, keeping the memory budget of `options` for the precomputed table.
    static IVFPQIndexReader open_with_header_and_options(std::unique_ptr<io::SeekRead> input,
                                                         std::span<const uint8_t, ivfpq_format::kHeaderBytes> header,
                                                         const read_options::VectorIndexReaderOptions& options);

    uint64_t dimension() const noexcept { return d_; }
    uint64_t nlist() const noexcept { return nlist_; }
    uint32_t metric() const noexcept { return metric_; }
    uint64_t total() const noexcept { return static_cast<uint64_t>(total_); }
    uint64_t pq_m() const noexcept { return pq_.m(); }
    uint64_t code_bits() const noexcept { return pq_.nbits(); }
    bool by_residual() const noexcept { return by_residual_; }
    bool has_opq() const noexcept { return has_opq_; }
    bool loaded() const noexcept { return loaded_; }
    uint64_t code_size() const noexcept { return pq_.code_size(); }

    // Loads the metadata once. InvalidData, in this order: the element counts
    // d * d (whether or not the file has a rotation), nlist * d, m * ksub,
    // m * ksub * dsub ("section size overflow in index header", "section size
    // {} exceeds maximum {}", "m*ksub overflow"); the byte lengths; the read
    // (in pieces of at most 64 MiB, one call for any metadata that fits, so a
    // header claiming more than the file holds fails on the read before
    // anything near its claim is allocated; a read error unchanged); a
    // non-finite value in the rotation, centroids or codebook ("IVFPQ {}
    // holds a non-finite value"); the offset table in list order ("negative
    // list count {} at list {}", "IVFPQ vector count overflow", "negative
    // id_bytes_len {} at list {}"); "IVFPQ header vector count {} does not
    // match list total {}". OutOfMemory when the metadata does not fit in
    // memory. A failure leaves the reader unloaded.
    void ensure_loaded();

    // Loaded state (REQUIRES: loaded()).
    const std::vector<float>& centroids() const noexcept { return centroids_; }
    const pq::ProductQuantizer& pq() const noexcept { return pq_; }
    const std::optional<opq::OPQMatrix>& opq() const noexcept { return opq_; }

    // One ListData per requested list, in request order: ascending row IDs
    // and the list's codes, transposed (code byte k of row r at k * count +
    // r). Loads first. Batched within 64 MiB and the host's range cap.
    std::vector<ivf_lists::ListData> read_lists(std::span<const size_t> lists);

    // The precomputed residual table, built once when the metric is l2, the
    // codes are residuals and nlist * m * ksub floats fit in
    // `budget_bytes`; searches are correct without it. Loads first. Returns
    // whether the table is held.
    bool build_precomputed_table(uint64_t budget_bytes);
    const std::vector<float>& precomputed_table() const noexcept { return precomputed_table_; }

    // What optimize_for_search and warm-up do: load, then build the
    // precomputed table when it fits the memory budget the reader was opened
    // with, less the metadata it holds. Returns whether the table is held.
    bool prepare_for_search();

    // One query: probe ranks [0, nprobe) in file order, exactly k pairs
    // ascending, padded with (-1, kF32Max). Loads first (a load error wins),
    // then InvalidInput "query length {} does not match index dimension {}",
    // "k must be greater than 0", "nprobe must be greater than 0". Uses the
    // precomputed table when held (l2 residual codes). filter may be null.
    SearchResult search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                    const row_id_filter::RowIdFilter* filter);
    // nq queries over probe ranks [probe_start, probe_end) of each query,
    // optional seeds (both empty or both nq * k), optional filter: nq * k
    // padded pairs, query-major. Each probed list is read once per call.
    // Default reuse: Auto under 536870912 bytes.
    SearchResult search_batch_range(std::span<const float> queries, size_t nq, size_t k, size_t probe_start,
                                    size_t probe_end, std::span<const int64_t> seed_ids,
                                    std::span<const float> seed_distances, const row_id_filter::RowIdFilter* filter);
    // The same with the caller's table reuse: Off builds a table per (query,
    // list) pair; On and Auto keep one table per query (the precomputed-term
    // method for l2 residual codes when the precomputed table is held; the
    // query's own table for codes not of residuals; Auto only from 64 queries
    // and two probes on) when nq x m x ksub x 4 bytes fit `budget_bytes`.
    // Results are the same in every mode up to float rounding.
    SearchResult search_batch_range_with_reuse(std::span<const float> queries, size_t nq, size_t k,
                                               size_t probe_start, size_t probe_end,
                                               std::span<const int64_t> seed_ids,
                                               std::span<const float> seed_distances,
                                               const row_id_filter::RowIdFilter* filter, BatchTableReuse mode,
                                               uint64_t budget_bytes);

    // Whether the last batch search combined per-list and per-query tables
    // (the split of 8-bit l2 residual codes without the precomputed table).
    bool last_batch_used_split() const noexcept { return last_batch_split_; }

    // Payload bytes of a list (0 when empty); loads first.
    uint64_t list_payload_len(size_t list);
    // Test seam: lower the streaming budgets (each within its default).
    void set_read_budgets_for_testing(const ivf_lists::ReadBudgets& budgets) { lists_.set_budgets(budgets); }
    // The host input (tests count its calls through their own source).
    const io::SeekRead& input() const noexcept { return *input_; }

private:
    IVFPQIndexReader(std::unique_ptr<io::SeekRead> input, const ivfpq_format::Header& h);
    ivf_search::ReaderView view(uint32_t engine_metric);
    ivfpq::ScanIndex scan_index() const;
    // The queries as searched: a copy, normalised under cosine, rotated with OPQ.
    std::vector<float> preprocess(std::span<const float> queries, size_t nq) const;

    std::unique_ptr<io::SeekRead> input_;
    ivf_search::SearchScratch scratch_;
    uint64_t memory_budget_ = read_options::kDefaultReaderMemoryBudget;
    pq::ProductQuantizer pq_;
    std::optional<opq::OPQMatrix> opq_;
    std::vector<float> centroids_;
    ivf_lists::ListStore lists_;
    std::vector<float> precomputed_table_;
    uint64_t d_ = 0;
    uint64_t nlist_ = 0;
    uint64_t m_ = 0;
    uint64_t ksub_ = 0;
    uint64_t dsub_ = 0;
    int64_t total_ = 0;
    uint32_t metric_ = 0;
    bool by_residual_ = false;
    bool has_opq_ = false;
    bool loaded_ = false;
    bool last_batch_split_ = false;
};

}  // namespace tavren::ivfpq_io
