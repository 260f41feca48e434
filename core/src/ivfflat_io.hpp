// The IVF-FLAT file reader and its searches.
//
// IVFFlatIndexReader opens a file from its 64 header bytes, loads the
// centroids and offset table on first need (in bounded pieces, so a forged
// header cannot make it allocate more than the file holds plus one piece),
// and reads inverted lists on demand: consecutive lists in one batched read of
// at most 64 MiB, a larger list streamed in bounded row chunks.
//
// The searches keep three steps apart: probe selection (kmeans::find_topk),
// list fetching (read_inverted_list_views / read_list_streamed) and list
// scanning (scan_flat_rows into a ReaderTopKHeap). Scans may run on the pool;
// all reads happen on the calling thread, before or between the scans.
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
#include "row_id_filter.hpp"
#include "search_result.hpp"
#include "topk.hpp"

namespace tavren::ivfflat_io {

using row_id_filter::RowIdFilter;

// A batch whose work estimate (rows x queries x d) is above this, and which
// holds at least two lists, is scanned on the pool, one task per list.
inline constexpr uint64_t kParallelScanWork = 0xFFFFF;

// ---- Row IDs -----------------------------------------------------------------

// The batched-read decoder of a list's delta-varint row IDs: exactly `count`
// IDs; bytes after them are ignored. InvalidData: "truncated varint", "varint
// exceeds u64 range" (a tenth byte above 1 in its low seven bits), "varint
// exceeds 64 bits" (a tenth byte announcing an eleventh), "decoded ID
// sequence is not monotonically non-decreasing". Reserves at most one ID per
// section byte, whatever `count` claims.
std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count);

// ---- Read buffers ----------------------------------------------------------------

// A read buffer whose row section starts on a 4-byte boundary, so the rows
// are used as f32 where they lie. The window of `total_len` bytes starts at
// storage byte pad = (4 - prefix_len % 4) % 4; the rows start at storage byte
// pad + prefix_len. Pad and tail bytes are zero; the window is the reader's to
// fill. Move-only.
class AlignedFlatPayload {
public:
    AlignedFlatPayload() noexcept = default;
    // InvalidData: "IVF-FLAT vector suffix overflow" (prefix + rows overflow),
    // "IVF-FLAT vector suffix has an invalid shape" (total is not prefix +
    // rows, or rows not a multiple of 4), "IVF-FLAT aligned payload overflow".
    AlignedFlatPayload(uint64_t total_len, uint64_t prefix_len, uint64_t row_bytes);

    std::span<uint8_t> read_buf_mut() noexcept { return {bytes() + pad_, total_len_}; }
    std::span<const uint8_t> read_bytes() const noexcept { return {bytes() + pad_, total_len_}; }
    // row_bytes / 4 values.
    std::span<const float> vectors() const noexcept {
        return {storage_.get() + (pad_ + prefix_len_) / 4, row_bytes_ / 4};
    }

    size_t pad() const noexcept { return pad_; }
    size_t total_len() const noexcept { return total_len_; }
    size_t prefix_len() const noexcept { return prefix_len_; }
    size_t row_bytes() const noexcept { return row_bytes_; }
    // Where the storage begins (tests check the alignment of the rows).
    const uint8_t* storage_bytes() const noexcept { return bytes(); }

private:
    uint8_t* bytes() const noexcept { return reinterpret_cast<uint8_t*>(storage_.get()); }

    std::unique_ptr<float[]> storage_;  // f32 words: the rows are read as what they are
    size_t pad_ = 0;
    size_t total_len_ = 0;
    size_t prefix_len_ = 0;
    size_t row_bytes_ = 0;
};

// One planned read of a batch.
struct FlatListRead {
    size_t slot;  // position of the list in the request
    size_t list;
    int32_t count;
    int32_t id_bytes_len;
    uint64_t offset;  // payload offset in the file
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

// Byte budgets of the reader. The defaults are the file format's; tests lower
// them to reach the piecewise paths with small files.
struct ReadBudgets {
    // A list whose payload is above this is streamed instead of batched.
    uint64_t stream_threshold = index_io_util::kReadBudgetBytes;
    // A streamed list whose 12-byte ID block header, ID section and decoded
    // IDs fit in this reads its IDs at once; a larger one reads its ID section
    // piece by piece alongside its row chunks. At most kReadBudgetBytes.
    uint64_t id_block_budget = index_io_util::kReadBudgetBytes;
    // Decoded IDs (and the ID window, when piecewise) plus one row chunk.
    // At most kChunkBudgetBytes.
    uint64_t chunk_budget = index_io_util::kChunkBudgetBytes;
    // Most ID-section bytes held at once when the IDs are read piecewise.
    uint64_t id_window_bytes = uint64_t{8} << 20;
    // Most metadata bytes (centroids and offset table) per read call.
    uint64_t metadata_piece_bytes = index_io_util::kReadBudgetBytes;
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

    // Bytes of search scratch the reader holds between calls, at most: the
    // read arena, sized for one batched read (64 MiB of payloads plus pads of
    // at most 3 bytes per list, 63 for lists of 4 KiB of rows or more) or one
    // streamed chunk; the decoded row IDs of that batch (8 bytes per row) and
    // its per-list views and read plans; for the parallel scan, one heap per
    // list of a batch (each at most min(k, rows of its list) pairs; all are
    // released after their batch when they hold room for more than 65,536
    // pairs together) and the partial
    // results of one batch (16 bytes per kept pair, min(k, list rows) per
    // (list, query); above 64 MiB released after their batch); for the batch
    // search, 4 bytes per list of the index. 0 before the first list read;
    // released with the reader.
    size_t scratch_bytes() const noexcept;

    const io::SeekRead& input() const noexcept { return *input_; }
    const ReadBudgets& budgets() const noexcept { return budgets_; }
    // Test seam: lower the byte budgets (each at most its default).
    void set_read_budgets_for_testing(const ReadBudgets& budgets);

private:
    struct Scratch;
    friend SearchResult search_batch_ivfflat_reader_filter_range(IVFFlatIndexReader&, std::span<const float>, size_t,
                                                                 size_t, size_t, size_t, std::span<const int64_t>,
                                                                 std::span<const float>,
                                                                 const row_id_filter::RowIdFilter*);

    IVFFlatIndexReader();
    void load_metadata();
    Scratch& scratch();
    // Reads and scans `order` (distinct lists) for the queries of each
    // position into their heaps.
    void walk_lists(std::span<const size_t> order, std::span<const std::span<const size_t>> query_sets,
                    std::span<const float> queries, std::span<ReaderTopKHeap> heaps, size_t k,
                    const row_id_filter::RowIdFilter* filter);
    void scan_batch_in_parallel(std::span<const FlatListView> lists,
                                std::span<const std::span<const size_t>> query_sets, std::span<const float> queries,
                                std::span<ReaderTopKHeap> heaps, size_t k, const row_id_filter::RowIdFilter* filter);
    void read_ids_then_chunks(uint64_t offset, uint64_t count, uint64_t id_len, const ChunkConsumer& consumer);
    void read_ids_with_chunks(uint64_t offset, uint64_t count, uint64_t id_len, const ChunkConsumer& consumer);

    std::vector<float> centroids_;
    std::vector<int64_t> list_offsets_;
    std::vector<int32_t> list_counts_;
    std::vector<int32_t> id_bytes_lens_;
    std::unique_ptr<io::SeekRead> input_;
    size_t d_ = 0;
    size_t nlist_ = 0;
    uint64_t total_ = 0;
    uint32_t metric_ = 0;
    bool loaded_ = false;
    ReadBudgets budgets_;
    std::unique_ptr<Scratch> scratch_;  // made on the first list read
};

// InvalidInput: "nq * k overflows usize"; "seed result lengths must both
// equal nq * k" unless both are empty or both hold nq * k.
void validate_batch_seed(std::span<const int64_t> seed_ids, std::span<const float> seed_distances, size_t nq,
                         size_t k);

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
