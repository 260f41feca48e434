// The IVF-FLAT file reader: opening the file from its 64 header bytes, and
// the flat scanner (rows of d f32 values scored against the query).
//
// Everything else is the shared IVF engine: ivf_lists loads the metadata in
// bounded pieces and reads inverted lists on demand (consecutive lists in one
// batched read of at most 64 MiB, a larger list streamed in bounded row
// chunks); ivf_search selects probes, groups a batch's queries by list, walks
// the lists and scans them (on the pool for large batches) with FlatScanner.
// All reads happen on the calling thread, one host call at a time; with a
// pool of two threads or more a batch search reads its next batch of lists
// while the pool scans the current one.
//
// Searches read into scratch the reader keeps between calls (calls on one
// reader never overlap), so a steady stream of searches makes no large
// allocation and touches no fresh pages. What it keeps is bounded by one
// batched read: see IVFFlatIndexReader::scratch_bytes.
//
// Errors are tavren::Error (InvalidData for file contents, InvalidInput for
// arguments, OutOfMemory when the metadata cannot be held); internal
// invariants are assertions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index_io_util.hpp"
#include "io.hpp"
#include "ivf_lists.hpp"
#include "ivf_search.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"
#include "topk.hpp"

namespace tavren::ivfflat_io {

using row_id_filter::RowIdFilter;

using ivf_search::kParallelScanWork;

// The list-loading records and budgets of the shared engine.
using ivf_lists::decode_delta_varint_ids;
using ivf_lists::ReadBudgets;
using FlatListRead = ivf_lists::ListRead;

// The IVF-FLAT payload format: rows of d f32 values.
ivf_lists::ListFormat flat_list_format(size_t d);

// ---- Read buffers ----------------------------------------------------------------

// A payload read buffer whose rows are f32 values where they lie (see
// ivf_lists::AlignedPayload). InvalidData: "IVF-FLAT vector suffix overflow",
// "IVF-FLAT vector suffix has an invalid shape" (total is not prefix + rows,
// or rows not a multiple of 4), "IVF-FLAT aligned payload overflow".
class AlignedFlatPayload : public ivf_lists::AlignedPayload {
public:
    AlignedFlatPayload() noexcept = default;
    AlignedFlatPayload(uint64_t total_len, uint64_t prefix_len, uint64_t row_bytes);
    explicit AlignedFlatPayload(ivf_lists::AlignedPayload&& payload) noexcept
        : ivf_lists::AlignedPayload(std::move(payload)) {}

    // row_bytes / 4 values.
    std::span<const float> vectors() const noexcept {
        return {words() + (pad() + prefix_len()) / 4, code_bytes() / 4};
    }
    size_t row_bytes() const noexcept { return code_bytes(); }
};

// One list as the reader hands it out: ascending row IDs, rows in the same
// order (d values each), the list index. An empty list has neither.
struct FlatListData {
    std::vector<int64_t> ids;
    AlignedFlatPayload rows;
    size_t list = 0;
};

// One list of a batched read as the searches see it: views into the reader's
// scratch, valid until the next list read on the same reader. An empty list
// has neither IDs nor rows.
struct FlatListView {
    std::span<const int64_t> ids;
    std::span<const float> rows;  // ids.size() rows of d values, 4-byte aligned
    size_t list = 0;
};

// ---- Result heap -------------------------------------------------------------------

// The arrival-order heap of the searches (see topk.hpp), under the names the
// reader tests and the fuzz target use.
using topk::ScoredRow;
using topk::PartialResult;
using topk::distance_rank;
using ReaderTopKHeap = topk::ArrivalOrderTopKHeap;

// Offers every row of a run (row_ids.size() rows of d values in `rows`) to
// `heap`. `query` has d values, already normalised for cosine. A row the
// filter (may be null) does not contain is skipped before any distance work.
// Under l2 a full heap first runs the early-exit test against its worst.
void scan_flat_rows(std::span<const float> query, std::span<const int64_t> row_ids, std::span<const float> rows,
                    size_t d, uint32_t metric, const RowIdFilter* filter, ReaderTopKHeap& heap);
void scan_flat_list(std::span<const float> query, const FlatListData& list, size_t d, uint32_t metric,
                    const RowIdFilter* filter, ReaderTopKHeap& heap);
// Pushes the pairs of `partial` (ascending by rank, as into_sorted gives
// them) in order, stopping at the first one a full heap refuses: every later
// one would be refused too.
void merge_flat_results(ReaderTopKHeap& heap, PartialResult partial);
void merge_flat_results(ReaderTopKHeap& heap, std::span<const ScoredRow> partial);
// Pre-fills heap q with seeds q*k .. q*k+k-1 (skipping distance kF32Max); a
// query whose range lies beyond either array gets none.
void seed_flat_heaps(std::span<ReaderTopKHeap> heaps, std::span<const int64_t> seed_ids,
                     std::span<const float> seed_distances, size_t k);
// Exactly k pairs, ascending, padded with (-1, kF32Max).
SearchResult padded_flat_results(ReaderTopKHeap heap, size_t k);

// The IVF-FLAT list scanner of the shared walk (an ivf_search::ListScanner):
// a list's codes are its rows, d f32 values each, 4-byte aligned.
struct FlatScanner {
    size_t d = 0;
    uint32_t metric = 0;

    // The query (d values, normalised for cosine) and, under cosine, its norm.
    struct Query {
        std::span<const float> values;
        float norm = 0.0f;
    };
    Query prepare(std::span<const float> query) const;
    void scan(const Query& query, std::span<const int64_t> row_ids, std::span<const uint8_t> codes,
              const RowIdFilter* filter, ReaderTopKHeap& heap) const;
    // The rows against several queries at once, each row read once per four
    // queries: every heap gets what scan() would give it.
    void scan_block(std::span<const Query* const> queries, std::span<const int64_t> row_ids,
                    std::span<const uint8_t> codes, const RowIdFilter* filter,
                    std::span<ReaderTopKHeap* const> heaps) const;
    uint64_t row_work() const noexcept { return d; }
};
static_assert(ivf_search::QueryBlockScanner<FlatScanner>);

// ---- Reader ------------------------------------------------------------------------

class IVFFlatIndexReader {
public:
    // Checks the 64 header bytes (already read by the facade) and takes the
    // input. Reads nothing; the metadata is loaded on first use. Throws Error.
    static IVFFlatIndexReader open_with_header(std::unique_ptr<io::SeekRead> input,
                                               std::span<const uint8_t, 64> header);

    IVFFlatIndexReader(IVFFlatIndexReader&&) noexcept;
    IVFFlatIndexReader& operator=(IVFFlatIndexReader&&) noexcept;
    ~IVFFlatIndexReader();

    // Loads centroids and offset table once; later calls do nothing. A failed
    // load leaves the reader unloaded, and the next call starts over.
    void ensure_loaded();
    bool loaded() const noexcept { return loaded_; }

    size_t dimension() const noexcept { return d_; }
    size_t nlist() const noexcept { return nlist_; }
    uint32_t metric() const noexcept { return metric_; }
    uint64_t total() const noexcept { return total_; }  // the header's vector count, unchecked until loaded

    // Loaded metadata (empty until loaded).
    std::span<const float> centroids() const noexcept { return centroids_; }
    // Row count of a list (asserts a loaded reader and an index below nlist).
    int32_t list_count(size_t list) const;

    // Payload bytes of a list (0 when empty). Expects a loaded reader.
    // InvalidInput "list_id {} out of range (nlist={})"; InvalidData
    // "IVF-FLAT list payload overflow".
    uint64_t list_payload_len(size_t list) const;
    // How many of `lists`, counted from the first (always at least one when
    // any are given), one batched read takes: payloads within 64 MiB and
    // non-empty lists within the host's range cap. Expects a loaded reader.
    size_t batch_read_end(std::span<const size_t> lists) const;
    // One FlatListData per requested list, in request order, from as few host
    // calls as the budget and the range cap allow; empty lists cost no range.
    // Loads first. On failure nothing is returned.
    std::vector<FlatListData> read_inverted_lists(std::span<const size_t> lists);
    // The same reads and checks (same host calls, same failures in the same
    // order), into the reader's scratch instead of fresh buffers: the views
    // stay valid until the next list read on this reader. For lists whose
    // payloads together stay within one batched read (batch_read_end), which
    // bounds the scratch; larger requests are served all the same.
    std::span<const FlatListView> read_inverted_list_views(std::span<const size_t> lists);

    // Receives one streamed chunk: its rows' IDs and their values (d each).
    using ChunkConsumer = std::function<void(std::span<const int64_t> ids, std::span<const float> rows)>;
    // Reads one list in bounded row chunks, one host call per chunk, handing
    // each to `consumer` before reading the next. The IDs are read at once
    // when they fit the ID budget, else piece by piece with the chunks, so any
    // list the writer can produce is readable. Loads first. On failure the
    // consumer has seen the chunks before it. The chunk spans are valid only
    // during the consumer call (chunks are read into the reader's scratch),
    // and the consumer must not read lists from this reader.
    void read_list_streamed(size_t list, const ChunkConsumer& consumer);

    // One query: exactly k padded results. filter may be null.
    SearchResult search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                    const row_id_filter::RowIdFilter* filter);
    // The batch search (search_batch_ivfflat_reader_filter_range below).
    SearchResult search_batch_range(std::span<const float> queries, size_t nq, size_t k, size_t probe_start,
                                    size_t probe_end, std::span<const int64_t> seed_ids,
                                    std::span<const float> seed_distances, const row_id_filter::RowIdFilter* filter);

    // Bytes of search scratch the reader holds between calls, at most: the
    // read arena, sized for one batched read (64 MiB of payloads plus pads of
    // at most 3 bytes per list, 63 for lists of 4 KiB of rows or more) or one
    // streamed chunk; the decoded row IDs of that batch (8 bytes per row) and
    // its per-list views and read plans; all of that twice once a batch
    // search on a pool of two threads or more has read one batch of lists
    // while scanning another; for the parallel scan, one heap per
    // list of a batch (each at most min(k, rows of its list) pairs; all are
    // released after their batch when they hold room for more than 65,536
    // pairs together) and the partial
    // results of one batch (16 bytes per kept pair, min(k, list rows) per
    // (list, query); above 64 MiB released after their batch); for the batch
    // search, 4 bytes per list of the index. 0 before the first list read;
    // released with the reader.
    size_t scratch_bytes() const noexcept;

    const io::SeekRead& input() const noexcept { return *input_; }
    const ReadBudgets& budgets() const noexcept { return lists_.budgets(); }
    // Test seam: lower the byte budgets (each at most its default).
    void set_read_budgets_for_testing(const ReadBudgets& budgets);

private:
    IVFFlatIndexReader();
    void load_metadata();
    // What the shared searches see of this reader (loaded).
    ivf_search::ReaderView view();
    FlatScanner scanner() const noexcept { return FlatScanner{d_, metric_}; }

    std::vector<float> centroids_;
    std::unique_ptr<io::SeekRead> input_;
    size_t d_ = 0;
    size_t nlist_ = 0;
    uint64_t total_ = 0;
    uint32_t metric_ = 0;
    bool loaded_ = false;
    ivf_lists::ListStore lists_;
    std::unique_ptr<ivf_search::SearchScratch> search_scratch_;  // made on the first search
    std::vector<FlatListView> flat_views_;                        // read_inverted_list_views

};
static_assert(ivf_search::IvfIndexReader<IVFFlatIndexReader>);

using ivf_search::validate_batch_seed;

// nq queries, probe ranks [probe_start, probe_end) of each query's probe order,
// optional seeds (both empty or both nq * k long), optional filter.
// Returns nq * k padded results. Each probed list is read once for all the
// queries that probe it.
SearchResult search_batch_ivfflat_reader_filter_range(IVFFlatIndexReader& reader, std::span<const float> queries,
                                                      size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                      std::span<const int64_t> seed_ids,
                                                      std::span<const float> seed_distances,
                                                      const row_id_filter::RowIdFilter* filter);

}  // namespace tavren::ivfflat_io
