// The IVF-SQ file writer, the format rules it shares with the reader (the
// payload length of a list, the header's bounds summary, the bounds check;
// layout in ivfsq_format.hpp), and the reader with its list cache and
// searches.
//
// The reader loads all metadata at open (one host read for any file whose
// metadata is within 64 MiB) and reads list payloads per search: a planner
// (batch_read_end) groups consecutive probed lists into one batched read of
// at most 64 MiB within the host's range cap, a loader (read_scan_lists)
// turns the bytes into shared decoded lists through a byte-budgeted
// first-in-first-out cache, and lists above 64 MiB are streamed in bounded
// 32-row-aligned chunks, never cached. Scanning is sq_kernels' business.
//
// Every failure throws tavren::Error (InvalidData for file contents,
// InvalidInput for arguments, UnexpectedEof for a payload of the wrong
// length, OutOfMemory when metadata cannot be held); internal invariants are
// assertions. The writer keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index_io_util.hpp"
#include "io.hpp"
#include "ivf_search.hpp"
#include "ivfsq.hpp"
#include "read_options.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"
#include "sq.hpp"
#include "sq_kernels.hpp"
#include "topk.hpp"

namespace tavren::ivfsq_io {

// count * code_size + id_bytes_len + 12; InvalidData "IVF-SQ list size
// overflow" when that overflows.
uint64_t list_payload_len(uint64_t count, uint64_t code_size, uint64_t id_bytes_len);

// (smallest of the minima, largest of the maxima), NaN values ignored; (0, 0)
// when either is not finite (also for empty arrays).
std::pair<float, float> sq_global_bounds(std::span<const float> mins, std::span<const float> maxs);

// InvalidData "IVF-SQ bounds length does not match dimension" unless both
// arrays hold `dimension` values; then, for the first dimension j whose bounds
// are not finite or whose minimum exceeds its maximum, InvalidData "invalid
// IVF-SQ bounds at dimension {j}".
void validate_sq_bounds(size_t dimension, std::span<const float> mins, std::span<const float> maxs);

// How one list goes out: its rows in ascending row-ID order (stable), and its
// ID section.
struct SortedSqListMetadata {
    std::vector<uint32_t> order;  // positions into the list's IDs and code rows
    std::vector<uint8_t> id_bytes;
    int64_t base_id = 0;  // the smallest ID; 0 for an empty list
};

// REQUIRES: ids.size() < 2^32 (the writer checks counts against the i32 limit first).
SortedSqListMetadata build_sorted_sq_list_metadata(std::span<const int64_t> ids);

// The codes of one list (row-major, d bytes per row) in 32-row blocks, rows
// taken in `order`: byte 32 * b * d + j * k + i of the result is code j of row
// order[32 * b + i], k being the row count of block b.
std::vector<uint8_t> blocked_codes(std::span<const uint8_t> codes, std::span<const uint32_t> order, size_t d);

// Code bytes of the payload groups the writer blocks at once.
inline constexpr uint64_t kGroupCodeBytes = 16777216;

// The end (exclusive) of the group of lists that starts at `first` (<
// code_bytes.size()): `first` always, then each next list while the group's
// code bytes stay at or below `limit`.
size_t payload_group_end(std::span<const uint64_t> code_bytes, size_t first, uint64_t limit = kGroupCodeBytes);

// The bounds the writer enforces. Production code uses the defaults; tests
// lower them to reach every refusal without multi-gigabyte fixtures.
struct WriteLimits {
    uint64_t group_code_bytes = kGroupCodeBytes;
    uint64_t max_i32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());  // i32 header/table fields
    uint64_t max_i64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // payload offsets
};

// Checks the whole index and writes the file front to back through `out`.
// Every check that depends on the index alone (shapes, bounds, sizes the file
// format and its reader accept, list counts and ID-section lengths within
// i32) is settled before the first byte, so such a refusal writes nothing.
// Payload offsets are out.pos() after the metadata plus the table and payload
// lengths: positions in the host's output. A refusal of an offset (beyond i64)
// or a write error comes after the metadata and leaves an incomplete file the
// caller must discard. Does not flush. The index is only read.
void write_ivfsq_index(const ivfsq::IVFSQIndex& index, io::SeekWrite& out);
// The same with explicit bounds.
void write_ivfsq_index_with_limits(const ivfsq::IVFSQIndex& index, io::SeekWrite& out, const WriteLimits& limits);

// ---- Decoded lists and the list cache ----------------------------------------------

// One decoded list: ascending row IDs, their blocked codes, the list index.
// The codes are the first count * d bytes of the buffer the payload was read
// into, which is kept whole (storage_bytes). Immutable once built; shared
// between the cache, a search and pool workers.
struct SqListData {
    std::vector<int64_t> ids;
    std::unique_ptr<uint8_t[]> storage;
    size_t storage_bytes = 0;
    size_t code_bytes = 0;
    size_t list = 0;

    std::span<const uint8_t> codes() const noexcept { return {storage.get(), code_bytes}; }
};
using SharedSqList = std::shared_ptr<const SqListData>;

// What a cache entry costs against the budget: 8 bytes per row ID, the whole
// payload storage and 72 bytes of bookkeeping.
uint64_t cached_list_cost(const SqListData& list) noexcept;

// One cache slot: the list and the offset-table entry (and code size) it was
// decoded with, so an entry that no longer matches the table is not served.
struct CachedSqList {
    SharedSqList list;
    int64_t offset = 0;
    uint64_t code_size = 0;
    int32_t count = 0;
    int32_t id_bytes_len = 0;
};

// Decoded lists kept between searches within a byte budget, evicted in
// insertion order (hits do not refresh an entry). Used by one thread.
class SqListCache {
public:
    // Bookkeeping charged per list of the index (slot and queue position).
    static constexpr uint64_t kBytesPerList = 40;

    // No cache when nlist * 40 overflows or is not below the budget; else a
    // cache of capacity budget - 40 * nlist.
    static std::optional<SqListCache> create(size_t nlist, uint64_t budget);

    // Drops an entry that costs more than the capacity or whose list is
    // already held; otherwise evicts the oldest entries until it fits and
    // appends it.
    void insert(CachedSqList entry);
    // Empties the list's slot (its queue position stays until evicted).
    void remove(size_t list);
    // remove(list), and every queue position of the list is dropped.
    void remove_stale(size_t list);
    // The entry of a list, or null.
    const CachedSqList* find(size_t list) const;

    uint64_t capacity() const noexcept { return capacity_; }
    uint64_t used() const noexcept { return used_; }
    size_t entries() const noexcept;
    // List indexes in eviction order (oldest first), empty slots included.
    const std::deque<size_t>& order() const noexcept { return order_; }

private:
    SqListCache(size_t nlist, uint64_t capacity);

    std::vector<std::optional<CachedSqList>> slots_;
    std::deque<size_t> order_;
    uint64_t capacity_ = 0;
    uint64_t used_ = 0;
};

// Decodes one payload read into `buffer` (length bytes) of a list of `count`
// rows whose table gives `id_bytes_len`: InvalidData "IVF-SQ list size
// overflow"; UnexpectedEof "IVF-SQ list payload length mismatch"; InvalidData
// "IVF-SQ list ID length does not match offset table"; then the delta-varint
// decoder's faults. The list index is left 0.
SqListData decode_list_payload(std::unique_ptr<uint8_t[]> buffer, size_t length, uint64_t count,
                               uint64_t id_bytes_len, size_t d);

// ---- Reader ---------------------------------------------------------------------------

// Byte budgets of the reader. The defaults are the file format's; tests lower
// them to reach the piecewise paths with small files.
struct SqReadBudgets {
    // Most metadata bytes per read call at open.
    uint64_t metadata_piece_bytes = index_io_util::kReadBudgetBytes;
    // A list whose payload is above this is streamed instead of batched.
    uint64_t stream_threshold = index_io_util::kReadBudgetBytes;
    // A streamed list whose ID block (12 bytes, ID section, 8 bytes per
    // decoded ID) fits in this reads its IDs at once; a larger one reads its
    // ID section in windows alongside its code chunks.
    uint64_t id_block_budget = index_io_util::kReadBudgetBytes;
    // Most ID-section bytes held at once when the IDs are read in windows.
    uint64_t id_window_bytes = uint64_t{8} << 20;
};

// A single-query group with more rows than this is scanned on the pool.
inline constexpr uint64_t kSequentialGroupRows = 8191;

class IVFSQIndexReader {
public:
    // Checks the 64 header bytes (already read by the facade), reads and
    // checks all metadata, and sizes the list cache from the memory budget.
    // One host read for metadata within 64 MiB; larger metadata is read in
    // 64 MiB pieces into a buffer that grows only with what was read, so a
    // header claiming more than the file holds fails on a read first.
    static IVFSQIndexReader open_with_header_and_options(std::unique_ptr<io::SeekRead> input,
                                                         std::span<const uint8_t, 64> header,
                                                         const read_options::VectorIndexReaderOptions& options,
                                                         const SqReadBudgets& budgets = {});

    // The same with the default reader options (a 4 GiB memory budget).
    static IVFSQIndexReader open_with_header(std::unique_ptr<io::SeekRead> input, std::span<const uint8_t, 64> header);

    IVFSQIndexReader(IVFSQIndexReader&&) noexcept;
    IVFSQIndexReader& operator=(IVFSQIndexReader&&) noexcept;
    ~IVFSQIndexReader();

    size_t dimension() const noexcept { return d_; }
    size_t nlist() const noexcept { return nlist_; }
    uint32_t metric() const noexcept { return metric_; }
    int64_t total_vectors() const noexcept { return total_; }
    // The header's vector count, checked non-negative and equal to the table's sum at open.
    uint64_t total() const noexcept { return static_cast<uint64_t>(total_); }
    uint64_t code_bits() const noexcept { return 8; }
    // Everything is loaded at open: nothing to do.
    void ensure_loaded() noexcept {}
    const sq::ScalarQuantizer& global_sq() const noexcept { return global_sq_; }
    const std::vector<sq::ScalarQuantizer>& list_sqs() const noexcept { return list_sqs_; }
    std::span<const float> centroids() const noexcept { return centroids_; }
    std::span<const float> centroid(size_t list) const;
    int32_t list_count(size_t list) const;
    // The bytes of metadata the reader keeps, charged against the budget.
    uint64_t resident_estimate() const noexcept;
    // Null when the budget left no room for a cache.
    const SqListCache* list_cache() const noexcept { return cache_ ? &*cache_ : nullptr; }
    const io::SeekRead& input() const noexcept { return *input_; }
    const SqReadBudgets& budgets() const noexcept { return budgets_; }
    // Test seam: lower the streaming budgets (each at most its default).
    void set_read_budgets_for_testing(const SqReadBudgets& budgets);

    // Payload bytes of a list, 0 when empty. InvalidInput "list_id {} out of
    // range (nlist={})"; InvalidData "IVF-SQ list size overflow".
    uint64_t list_payload_len(size_t list) const;
    // How many of `lists`, from the first (at least one when any are given),
    // one batched read takes: payloads within 64 MiB, non-empty lists within
    // the host's range cap. Lengths are computed only up to the list that
    // ends the group.
    size_t batch_read_end(std::span<const size_t> lists) const;
    // One decoded list per entry, in order, through the cache: hits are
    // shared, stale entries dropped, all misses read with one batched read
    // and inserted after all of them decoded (a failure inserts nothing).
    // InvalidInput "IVF-SQ list ID out of range".
    std::vector<SharedSqList> read_scan_lists(std::span<const size_t> lists);
    // One decoded list per entry, in order, without the cache; empty lists
    // cost no range.
    std::vector<SqListData> read_inverted_lists(std::span<const size_t> lists) const;

    // Receives one streamed chunk: its rows' IDs and their blocked codes.
    using ChunkConsumer = std::function<void(std::span<const int64_t> ids, std::span<const uint8_t> codes)>;
    // Reads one list in chunks of whole 32-row blocks (but the last), one
    // host call per chunk, each within 64 MiB together with the IDs held,
    // and hands each to `consumer` before reading the next. The IDs are read
    // at once when they fit the ID budget, else in windows with the chunks,
    // so any list the writer accepts can be read. Spans are valid only
    // during the consumer call.
    void read_list_streamed(size_t list, const ChunkConsumer& consumer) const;

    // One query: exactly k pairs, ascending, padded with (-1, kF32Max).
    // filter may be null. Calls on one reader must not overlap.
    SearchResult search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                    const row_id_filter::RowIdFilter* filter);
    // search_batch_ivfsq_reader_filter_range on this reader.
    SearchResult search_batch_range(std::span<const float> queries, size_t nq, size_t k, size_t probe_start,
                                    size_t probe_end, std::span<const int64_t> seed_ids,
                                    std::span<const float> seed_distances, const row_id_filter::RowIdFilter* filter);

private:
    friend SearchResult search_batch_ivfsq_reader_filter_range(IVFSQIndexReader&, std::span<const float>, size_t,
                                                               size_t, size_t, size_t, std::span<const int64_t>,
                                                               std::span<const float>,
                                                               const row_id_filter::RowIdFilter*);
    IVFSQIndexReader();
    // The end of the group starting at lists[0]: batch_read_end, cut before a
    // list above the stream threshold.
    size_t group_end(std::span<const size_t> lists) const;

    sq::ScalarQuantizer global_sq_;
    std::vector<sq::ScalarQuantizer> list_sqs_;
    std::vector<float> centroids_;
    std::vector<int64_t> list_offsets_;
    std::vector<int32_t> list_counts_;
    std::vector<int32_t> list_id_lens_;
    std::optional<SqListCache> cache_;
    std::unique_ptr<io::SeekRead> input_;
    size_t d_ = 0;
    size_t nlist_ = 0;
    int64_t total_ = 0;
    uint32_t metric_ = 0;
    SqReadBudgets budgets_;
};

// Exactly k pairs from the heap, ascending, padded with (-1, kF32Max).
SearchResult padded_results(topk::TopKHeap heap, size_t k);
// InvalidInput: "nq * k overflows usize"; "seed result lengths must both
// equal nq * k" unless both are empty or both hold nq * k. The check every
// IVF batch search shares.
using ivf_search::validate_batch_seed;
// Pushes seed pair q*k+j into heap q for every j < k whose distance is not kF32Max.
void seed_heaps(std::span<topk::TopKHeap> heaps, std::span<const int64_t> seed_ids,
                std::span<const float> seed_distances, size_t k);

// nq queries, probe ranks [probe_start, probe_end) of each query's probe
// order, optional seeds (both empty or both nq * k long), optional filter:
// nq * k padded pairs, query after query. Each probed list is read once for
// all the queries that probe it; a group's queries are scanned in parallel,
// one task per query.
SearchResult search_batch_ivfsq_reader_filter_range(IVFSQIndexReader& reader, std::span<const float> queries,
                                                    size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                    std::span<const int64_t> seed_ids,
                                                    std::span<const float> seed_distances,
                                                    const row_id_filter::RowIdFilter* filter);

}  // namespace tavren::ivfsq_io
