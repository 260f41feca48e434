// The DiskANN reader core: opening a file, the budgets every loading step is
// checked against, the resident sections and the adjacency preload, the
// window caches and the page validation cache that reader clones share, and
// the lazily loaded row-ID order.
//
// A DiskAnnIndexReader is one reader session. The DiskANN search runs batches
// on the pool with one clone per worker (try_clone_with_shared_state): clones
// share the resident data (with its caches), the preload block and the
// row-ID-order state by reference count and own their scratch and statistics.
//
// Thread rules:
//  - one session must not be used by two threads at once; different
//    sessions of one family may be used at once;
//  - SharedWindowCache, AdjacencyValidationCache and the row-ID-order state
//    are safe to use from any number of threads;
//  - no lock of this module is held during a host read; the row-ID-order
//    lock is never taken while a shard lock is held (lock order: row-ID
//    order before shard), and no operation holds two shard locks at once.
#pragma once

#include <atomic>
#include <chrono>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "diskann_batch.hpp"
#include "diskann_filter.hpp"
#include "diskann_format.hpp"
#include "diskann_search.hpp"
#include "error.hpp"
#include "io.hpp"
#include "pq.hpp"
#include "read_options.hpp"

namespace tavren::diskann_io {

using diskann_format::AdjacencyIndex;
using diskann_format::AdjacencyLocator;
using diskann_format::DiskAnnHeader;
using diskann_format::RowIdStorage;
using DiskAnnCacheBudgets = read_options::CacheBudgets;
using read_options::DeploymentProfile;

// ---- Budgets and read errors ---------------------------------------------------

// Bytes the resident sections hold once loaded: decoded row IDs, the decoded
// quantizer, the PQ codes, the decoded adjacency index, one validation byte
// per adjacency page, one f32 per codeword and, when d = 4 m, a
// dimension-major copy of the codebook (4 d ksub bytes) for the distance
// tables. InvalidInput "DiskANN pq.bits
// must be 4 or 8"; InvalidData "DiskANN row-ID section header is truncated",
// "DiskANN adjacency section is not page-aligned", "DiskANN resident size
// overflows usize".
uint64_t resident_steady_bytes(const DiskAnnHeader& header);
// The most bytes held at once while the resident sections are read and
// decoded (the four stages of ensure_resident). The checks above, then
// "DiskANN resident peak size overflows usize" / "DiskANN resident size
// overflows usize".
uint64_t resident_peak_bytes(const DiskAnnHeader& header);
// extra + steady + L3 + min(L3, 1 MiB): the peak while the row-ID order is
// streamed in. "DiskANN row-ID lookup peak size overflows usize".
uint64_t row_id_order_peak_bytes(const DiskAnnHeader& header, uint64_t extra_bytes);

// An early end of input becomes InvalidData "DiskANN {what} is truncated";
// every other error is returned unchanged.
Error map_read_error(const Error& error, std::string_view what);
// One pread of `requests`, its failure passed through map_read_error.
void pread_mapped(const io::SeekRead& input, std::span<io::ReadRequest> requests, std::string_view what);

// Section 0 as a ready quantizer (InvalidData, the format's messages, then
// the quantizer's own text, "DiskANN PQ norms allocation failed", "invalid
// DiskANN PQ codebook layout").
pq::ProductQuantizer decode_pq_codebook(std::span<const uint8_t> bytes, const DiskAnnHeader& header);

// A section of little-endian u32 values streamed through one buffer of at
// most 1 MiB, one host range per read. InvalidData "DiskANN {name} section is
// not u32-aligned" (before any read), "DiskANN {name} allocation failed",
// "DiskANN {name} is truncated".
std::vector<uint32_t> read_u32_section(const io::SeekRead& input, uint64_t offset, uint64_t length,
                                       std::string_view name);

// ---- Shared window cache -----------------------------------------------------------

// The shard-lock statistics, the window type and the recency order are the
// read path's own: the shared cache and the query caches speak the same terms.
using diskann_search::LockWait;
using diskann_windows::OffsetLru;
using diskann_windows::SharedWindow;

class SharedWindowCache;

struct WindowPublishResult {
    uint64_t evicted = 0;
    LockWait lock_wait;
};

// The reservation of one offset, owned by the caller that must read the
// window. Publishing hands the window to the cache; dropping the reservation
// unpublished (a failed read, an exception, an early return) cancels it,
// which removes the pending mark and wakes every waiter, so no waiter can
// sleep on an offset whose reader is gone. Move-only. The cache must outlive
// the reservation (hold the resident data while reserving). Do not hold a
// reservation across nested parallel work or while calling wait_for.
class WindowReservation {
public:
    WindowReservation() noexcept = default;
    WindowReservation(SharedWindowCache* cache, uint64_t offset) noexcept : cache_(cache), offset_(offset) {}
    WindowReservation(WindowReservation&& other) noexcept;
    WindowReservation& operator=(WindowReservation&& other) noexcept;
    WindowReservation(const WindowReservation&) = delete;
    WindowReservation& operator=(const WindowReservation&) = delete;
    ~WindowReservation();

    bool active() const noexcept { return cache_ != nullptr; }
    uint64_t offset() const noexcept { return offset_; }
    // Publishes the window under the reserved offset; the reservation is
    // spent whatever happens (a publish that fails still clears the mark and
    // wakes the waiters).
    WindowPublishResult publish(SharedWindow window);
    // Withdraws the reservation now (errors of a poisoned shard are thrown).
    LockWait cancel();
    // Gives up ownership without cancelling: the caller now answers for the
    // offset (publish or cancel on the cache). For batch cancellation.
    uint64_t release() noexcept;

private:
    SharedWindowCache* cache_ = nullptr;
    uint64_t offset_ = 0;
};

struct SharedWindowLookup {
    enum class Kind : uint8_t { Hit, Reserved, Wait };
    Kind kind = Kind::Wait;
    SharedWindow window;             // Hit
    WindowReservation reservation;   // Reserved
    LockWait lock_wait;
};

struct WindowWaitResult {
    SharedWindow window;  // null: cancelled, evicted or replaced by another length
    LockWait lock_wait;
};

// Windows of one file section shared among reader clones under a byte
// budget, in 1 or 16 shards (one mutex and one condition variable each).
// A caller either finds a window (Hit), owns its reservation (Reserved) and
// then publishes it or lets it cancel, or learns that another caller reads it
// (Wait) and calls wait_for after publishing or cancelling all of its own
// reservations. InvalidData "DiskANN shared window cache state is poisoned"
// from every operation on a shard whose holder failed an internal assertion.
class SharedWindowCache {
public:
    static constexpr size_t kMaxShards = 16;
    static constexpr uint64_t kShardingThreshold = 1048576;

    explicit SharedWindowCache(uint64_t total_capacity, size_t max_shards = kMaxShards);
    ~SharedWindowCache();
    SharedWindowCache(const SharedWindowCache&) = delete;
    SharedWindowCache& operator=(const SharedWindowCache&) = delete;

    SharedWindowLookup lookup_or_reserve(uint64_t offset, uint64_t expected_length);
    // Stores the window (the cache keeps its own reference), clears any
    // reservation of the offset, evicts oldest-first down to the shard's
    // capacity (the new window last) and wakes every waiter of the shard.
    WindowPublishResult publish(uint64_t offset, SharedWindow window);
    // Withdraws the reservations of `offsets`, shard by shard in ascending order.
    LockWait cancel(std::span<const uint64_t> offsets);
    // Blocks while the offset is reserved; then the window if it is held with
    // the expected length.
    WindowWaitResult wait_for(uint64_t offset, uint64_t expected_length);
    // New shard capacities; evicts what no longer fits, wakes nobody.
    void set_total_capacity(uint64_t total);
    uint64_t total_capacity() const noexcept;

    size_t shard_count() const noexcept { return shard_count_; }
    size_t shard_of(uint64_t offset) const noexcept;

    // Introspection for tests and benchmarks (locks the shard).
    struct ShardSnapshot {
        uint64_t capacity = 0;
        uint64_t resident_bytes = 0;
        uint64_t windows = 0;
        uint64_t pending = 0;
        std::vector<uint64_t> lru_order;  // oldest first
    };
    ShardSnapshot snapshot(size_t shard) const;
    // Test-only: runs f under the shard's lock as an operation would; an
    // assertion failure escaping f poisons the shard.
    void with_shard_lock_for_testing(size_t shard, const std::function<void()>& f);

    struct Shard;

private:
    std::unique_ptr<Shard[]> shards_;
    size_t shard_count_ = 1;
};

// ---- Adjacency page validation cache ------------------------------------------------

struct CachedValidationError {
    ErrorKind kind = ErrorKind::InvalidData;
    std::string message;
    static CachedValidationError from_error(const Error& error);
    Error to_error() const;
};

class AdjacencyValidationCache;

// The right to record the outcome of one page, held by the caller that moved
// the page from unchecked to claimed. Dropped unpublished, it puts the page
// back to unchecked and wakes every waiter, so a check that unwinds never
// leaves waiters asleep.
class AdjacencyValidationClaim {
public:
    AdjacencyValidationClaim(AdjacencyValidationCache* cache, uint64_t page) noexcept : cache_(cache), page_(page) {}
    AdjacencyValidationClaim(AdjacencyValidationClaim&& other) noexcept
        : cache_(other.cache_), page_(other.page_), published_(other.published_) {
        other.published_ = true;
    }
    AdjacencyValidationClaim(const AdjacencyValidationClaim&) = delete;
    AdjacencyValidationClaim& operator=(const AdjacencyValidationClaim&) = delete;
    AdjacencyValidationClaim& operator=(AdjacencyValidationClaim&&) = delete;
    ~AdjacencyValidationClaim();

    // Records kValid or kInvalid and wakes every waiter.
    void publish(uint8_t outcome) noexcept;

private:
    AdjacencyValidationCache* cache_;
    uint64_t page_;
    bool published_ = false;
};

// One state byte per adjacency page: each page is checked at most once for
// the life of the resident data, concurrent askers wait for the outcome, and
// a failure is replayed with its first kind and text. A valid page costs one
// atomic load and no lock.
class AdjacencyValidationCache {
public:
    static constexpr uint8_t kUnchecked = 0;
    static constexpr uint8_t kClaimed = 1;
    static constexpr uint8_t kValid = 2;
    static constexpr uint8_t kInvalid = 3;

    // InvalidData "DiskANN adjacency validation cache allocation failed".
    explicit AdjacencyValidationCache(uint64_t page_count);
    AdjacencyValidationCache(const AdjacencyValidationCache&) = delete;
    AdjacencyValidationCache& operator=(const AdjacencyValidationCache&) = delete;

    uint64_t page_count() const noexcept { return page_count_; }
    uint8_t state(uint64_t page) const noexcept;

    // The validate-once procedure with `check` as the page check: returns
    // when the page is valid, throws the page's error otherwise. InvalidData
    // "DiskANN adjacency page is out of range" for a page not below the count.
    void validate_once(uint64_t page, const std::function<void()>& check);
    // validate_once with validate_adjacency_page_payload over `bytes`.
    void validate_page(uint64_t page, std::span<const uint8_t> bytes, const DiskAnnHeader& header,
                       const AdjacencyIndex& index);

    // Moves the page from unchecked to claimed; none when another caller
    // changed it first. For callers that check on their own.
    std::optional<AdjacencyValidationClaim> try_claim(uint64_t page);
    // Blocks while the page is claimed; returns the state it then has.
    uint8_t wait_while_claimed(uint64_t page);

private:
    friend class AdjacencyValidationClaim;
    void set_state_and_wake(uint64_t page, uint8_t state) noexcept;
    Error recorded_error(uint64_t page);

    std::unique_ptr<std::atomic<uint8_t>[]> states_;
    uint64_t page_count_ = 0;
    std::mutex errors_mutex_;
    std::unordered_map<uint64_t, CachedValidationError> errors_;
    std::mutex wait_mutex_;
    std::condition_variable ready_;
};

// ---- Resident data and the reader ---------------------------------------------------

// Owned by the DiskANN search; the reader core only creates, keeps and drops them.
using diskann_search::DiskAnnQueryScratch;
using diskann_search::DiskAnnSearchStats;
using diskann_search::DiskAnnCandidateList;
using diskann_search::DiskAnnCandidateLists;
using diskann_search::DiskAnnSessionOutput;
using diskann_search::DiskAnnSessionOutputs;

// Loaded once by ensure_resident and shared by a reader and its clones;
// immutable except for the interior state of its three caches.
struct DiskAnnResidentData {
    pq::ProductQuantizer pq;
    RowIdStorage row_ids;
    std::vector<uint8_t> pq_codes;
    AdjacencyIndex adjacency_index;
    std::unique_ptr<AdjacencyValidationCache> adjacency_validation;
    std::unique_ptr<SharedWindowCache> adjacency_cache;
    std::unique_ptr<SharedWindowCache> raw_vector_cache;
};

// The row-ID order of a reader family: NotLoaded, Loading (one caller reads
// the section; others wait), Loaded or Unavailable (would exceed the budget).
struct RowIdOrderState {
    enum class Status : uint8_t { NotLoaded, Loading, Loaded, Unavailable };
    std::mutex mutex;
    std::condition_variable ready;
    Status status = Status::NotLoaded;
    bool poisoned = false;
    std::shared_ptr<const std::vector<uint32_t>> order;
};

using SharedOrder = std::shared_ptr<const std::vector<uint32_t>>;

class DiskAnnIndexReader;

// The work of one worker in a session pass: (worker position, the worker,
// owned exclusively by the task) -> that worker's outputs. It deals itself
// the batch positions i, i + w, i + 2w, ... (round_robin_queries).
using DiskAnnSessionTask = std::function<std::vector<DiskAnnSessionOutput>(size_t, DiskAnnIndexReader&)>;

class DiskAnnIndexReader {
public:
    // One host read of the 256-byte header at offset 0, its decode, the read
    // profile from the latency hint (or the measured read time) and the
    // division of the budget. Reads nothing else and allocates nothing
    // proportional to the file.
    static DiskAnnIndexReader open_with_options(std::shared_ptr<const io::SeekRead> input,
                                                const read_options::VectorIndexReaderOptions& options);

    DiskAnnIndexReader(DiskAnnIndexReader&&) noexcept = default;
    DiskAnnIndexReader& operator=(DiskAnnIndexReader&&) noexcept = default;
    ~DiskAnnIndexReader();

    // ---- resident data (Part of every search) ----
    // Loads the resident sections once; nothing when they are loaded.
    void ensure_resident();
    // The resident data, or InvalidData "DiskANN resident sections are not loaded".
    DiskAnnResidentData& resident() const;
    bool has_resident() const noexcept { return resident_ != nullptr; }
    const std::shared_ptr<DiskAnnResidentData>& resident_handle() const noexcept { return resident_; }
    // ensure_resident, then (the first time, with a preload bound above 0)
    // the adjacency preload, validated in parallel, and the cache sizes.
    void optimize_for_search();
    // Gives the two window caches `total` bytes in the ratio of their budgets.
    void resize_shared_cache_budgets(uint64_t total) const;

    // ---- searching (diskann_reader_search.cpp) ----
    // One query: resets the statistics to a single query, checks the query
    // ("query dimension mismatch: expected {}, got {}", "query values must be
    // finite"), normalises it under cosine and runs search_preprocessed.
    // Exactly top_k row IDs and distances, ascending, padded with
    // (-1, f32::MAX). `l_search` 0 selects max(100, 2 x top_k).
    void search(std::span<const float> query, uint64_t top_k, uint64_t l_search, std::vector<int64_t>& ids,
                std::vector<float>& distances);
    // The same for a query already checked (and normalised for cosine):
    // resident sections, beam search, seed widening and exact rerank. top_k 0
    // gives two empty arrays and loads nothing. The scratch stays usable after
    // an error.
    void search_preprocessed(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                             std::vector<int64_t>& ids, std::vector<float>& distances);

    // Warm-up: checks the queries ("warmup query length {} is not divisible
    // by dimension {}", "warmup query values must be finite"), runs
    // optimize_for_search, then searches each query for its nearest row with
    // `l_search` (0: the default), discarding the results and stopping at
    // the first error. The statistics record is put back either way.
    void warmup_queries(std::span<const float> queries, uint64_t l_search);

    // ---- batches (diskann_batch.cpp) ----
    // nq = len / d queries (the caller passes a whole multiple), each
    // answered exactly as search would answer it: nq x top_k row IDs and
    // distances, query after query. Resets the statistics to nq queries;
    // top_k 0 gives two empty arrays and touches nothing else. Runs on
    // w = min(pool threads, nq) workers: w < 2 empties the worker set and
    // runs serially (interleaved file) or streaming on the reader; otherwise
    // parallel sessions (interleaved, or nq <= 4w) or streaming with the
    // workers, which are back in the worker set on every way out. The first
    // error of any query is returned; no partial result.
    void search_batch(std::span<const float> queries, uint64_t top_k, uint64_t l_search, std::vector<int64_t>& ids,
                      std::vector<float>& distances);
    // Prepares the reader (ensure_resident when resident_only, else
    // optimize_for_search), then moves exactly `count` workers out of the
    // worker set (kept ones first, trimmed or topped up with clones), each
    // refreshed with the reader's settings and handles and its window buffers
    // and raw-vector cache budget capped by window_buffer_limit_per_worker.
    // The caller must store them back (BatchWorkerLease does). An error of
    // the first preparation leaves the set untouched; a later one puts the
    // workers gathered so far back.
    std::vector<DiskAnnIndexReader> take_batch_workers(size_t count, bool resident_only);
    // One session pass: query_batches + 1, largest_query_batch raised to nq,
    // `task` run once per worker on the pool, the outputs merged by
    // collect_parallel_session_outputs. The first task error is returned and
    // every output dropped.
    void search_batch_in_parallel_sessions(std::span<DiskAnnIndexReader> workers, size_t nq, uint64_t top_k,
                                           const DiskAnnSessionTask& task, std::vector<int64_t>& ids,
                                           std::vector<float>& distances);
    // Merges session outputs (one array per worker, flattened in worker
    // order) into nq x top_k results in query order, and each output's
    // statistics into the reader's with merge_complete_query. InvalidData
    // "DiskANN parallel session query index is invalid", "DiskANN parallel
    // sessions returned a duplicate query", "DiskANN parallel sessions did
    // not return every query".
    void collect_parallel_session_outputs(DiskAnnSessionOutputs outputs, size_t nq, uint64_t top_k,
                                          std::vector<int64_t>& ids, std::vector<float>& distances);
    // One query's rerank set without the rerank: the beam search with
    // L = resolve_diskann_l_search(top_k, l_search) and the seeds widened to
    // their windows, as node ids into `nodes` (replaced). The query is
    // checked and normalised already. Counters accumulate in the statistics.
    void generate_unfiltered_candidate_nodes(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                                             std::vector<size_t>& nodes);
    // The exact rerank of a chunk of m = len / d queries together: every
    // (query, node) pair grouped by raw-vector window, each window loaded
    // once, in file order, in window chunks of <= 1024 windows and <= 64 MiB,
    // scored on the pool when a chunk has r x d >= 16384 and the pool two
    // threads. m x top_k results into ids / distances (replaced), padded.
    // Runs on the reader's own scratch, whose raw-vector cache keeps the
    // last windows within the raw-vector cache budget. InvalidData "DiskANN
    // interleaved rerank must run inside a search session", "DiskANN
    // filtered batch query index is invalid", "DiskANN filtered batch
    // contains duplicate query results", "DiskANN filtered batch is missing
    // query candidates", "DiskANN raw-vector record is out of range",
    // "DiskANN vector window is not loaded", and the loaders' errors.
    void rerank_candidate_batch_streaming(std::span<const float> queries, uint64_t top_k,
                                          const DiskAnnCandidateLists& candidate_lists, std::vector<int64_t>& ids,
                                          std::vector<float>& distances);

    // ---- calibration (diskann_calibrate.cpp) ----
    // Chooses the search-list size of automatic-width searches from sample
    // queries: batches at max(k, 100), max(k, 200) and max(k, 400); the
    // smallest whose results are stable (>= 0.98) against the next larger.
    // Stores it in the reader and its kept workers and returns it; the
    // statistics are put back. InvalidInput "calibration queries must contain
    // one or more complete vectors", "calibration top_k must be greater than
    // 0", "calibration query values must be finite"; a failing batch is
    // returned with the previous size kept.
    uint64_t calibrate_l_search(std::span<const float> queries, uint64_t top_k);

    // What the search module needs of this session for one query: the read
    // plan, the budgets and the views over the resident data. Loads the
    // resident sections first, then runs f once.
    using SearchInputVisitor =
        std::function<void(const diskann_search::SingleSearchInput&, diskann_search::DiskAnnSearchSource&)>;
    void with_search_input(const SearchInputVisitor& f);

    // ---- filtered searching (diskann_filtered_search.cpp) ----
    // The nodes whose row ID is in the filter. Filters of 1 to floor(n / 16)
    // values walk the row-ID order (loaded once per reader family when the
    // budget allows it); every other filter, and every filter once the order
    // is unavailable, scans all row IDs. Both give the same set.
    diskann_search::NodeSet matching_nodes_for_filter(const row_id_filter::RoaringTreemap& filter);
    // One filtered query: checks the query, normalises it under cosine,
    // decodes the filter ("invalid RoaringTreemap filter: {}"), resets the
    // statistics, then exactly top_k pairs from the filter's rows, padded with
    // (-1, f32::MAX). An empty filter, or one no node carries, reads nothing
    // of the index beyond the translation.
    void search_with_roaring_filter(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                                    std::span<const uint8_t> filter, std::vector<int64_t>& ids,
                                    std::vector<float>& distances);
    // The same for a prepared query and a computed node set.
    void search_with_matching_nodes(std::span<const float> query, uint64_t top_k, uint64_t l_search,
                                    const diskann_search::NodeSet& nodes, std::vector<int64_t>& ids,
                                    std::vector<float>& distances);
    // At most `budget` matching nodes, ascending by (PQ distance, node): the
    // graph post-filter where the strategy allows it (falling back to the
    // scan when it keeps too few), else the exhaustive PQ scan.
    std::vector<diskann_search::SearchCandidate> generate_filtered_candidates(std::span<const float> query,
                                                                              uint64_t top_k, uint64_t l_search,
                                                                              const diskann_search::NodeSet& nodes);
    // Every matching node scored with the resident PQ codes; the `budget` best.
    std::vector<diskann_search::SearchCandidate> exhaustive_filtered_candidates(std::span<const float> query,
                                                                                const diskann_search::NodeSet& nodes,
                                                                                size_t budget);
    // The strategy of a query of this reader (n, R, read plan, preload).
    diskann_search::FilteredCandidateStrategy filtered_strategy(uint64_t matches, uint64_t top_k,
                                                                uint64_t l_search) const;

    // nq filtered queries sharing one filter, nq x top_k pairs query after
    // query. The filter is translated once; the form is chosen from the
    // layout, the strategy and the pool's thread count. Every form gives the
    // single filtered search's answer for every query.
    void search_batch_with_roaring_filter(std::span<const float> queries, uint64_t top_k, uint64_t l_search,
                                          std::span<const uint8_t> filter, std::vector<int64_t>& ids,
                                          std::vector<float>& distances);
    // The five forms over prepared queries and a node set (see the .cpp).
    void search_batch_filtered_exhaustive(std::span<const float> queries, uint64_t top_k,
                                          const diskann_search::NodeSet& nodes, size_t budget,
                                          std::vector<int64_t>& ids, std::vector<float>& distances);
    // One query's rerank set as node ids into `nodes` (replaced), on the
    // given reader (the batch's reader or one of its workers).
    using CandidateNodes = std::function<void(DiskAnnIndexReader&, std::span<const float>, std::vector<size_t>&)>;
    // The filtered single search's candidates, as the streaming batch takes them.
    static CandidateNodes filtered_candidate_nodes(uint64_t top_k, uint64_t l_search,
                                                   const diskann_search::NodeSet& nodes);
    void search_batch_with_matching_nodes_serial(std::span<const float> queries, uint64_t top_k, uint64_t l_search,
                                                 const diskann_search::NodeSet& nodes, std::vector<int64_t>& ids,
                                                 std::vector<float>& distances);
    void search_batch_with_matching_nodes_direct_serial(std::span<const float> queries, uint64_t top_k,
                                                        uint64_t l_search, const diskann_search::NodeSet& nodes,
                                                        std::vector<int64_t>& ids, std::vector<float>& distances);
    void search_batch_with_matching_nodes_in_parallel_sessions(std::span<const float> queries, uint64_t top_k,
                                                               uint64_t l_search,
                                                               const diskann_search::NodeSet& nodes,
                                                               std::vector<DiskAnnIndexReader>& workers,
                                                               std::vector<int64_t>& ids,
                                                               std::vector<float>& distances);
    void search_batch_with_matching_nodes_chunked(std::span<const float> queries, uint64_t top_k, uint64_t l_search,
                                                  const diskann_search::NodeSet& nodes,
                                                  std::vector<DiskAnnIndexReader>& workers,
                                                  std::vector<int64_t>& ids, std::vector<float>& distances);



    // ---- clones and lookups ----
    DiskAnnIndexReader try_clone_with_shared_state() const;
    int64_t row_id(uint64_t node) const;
    void try_for_each_row_id(const std::function<void(uint64_t, int64_t)>& f) const;
    // f(first node, row IDs of the nodes from it) over every node in order,
    // in blocks of up to 1024: one call per block, not per node.
    void try_for_each_row_id_block(const std::function<void(uint64_t, std::span<const int64_t>)>& f) const;
    AdjacencyLocator adjacency_locator(uint64_t node) const;
    SharedWindowCache& adjacency_cache() const;
    SharedWindowCache& raw_vector_cache() const;
    // The shared order, or null when it is unavailable under the budget.
    SharedOrder ensure_row_id_order() const;
    uint64_t loaded_row_id_order_bytes() const;

    // ---- what the facade and the search read ----
    const DiskAnnHeader& header() const noexcept { return header_; }
    const io::SeekRead& input() const noexcept { return *input_; }
    const std::shared_ptr<const io::SeekRead>& input_handle() const noexcept { return input_; }
    const io::ReadCapabilities& read_capabilities() const noexcept { return read_capabilities_; }
    std::chrono::nanoseconds header_read_latency() const noexcept { return header_read_latency_; }
    const DiskAnnCacheBudgets& cache_budgets() const noexcept { return cache_budgets_; }
    DeploymentProfile read_profile() const noexcept { return cache_budgets_.profile; }
    std::span<const uint8_t> adjacency_preload() const noexcept { return *adjacency_preload_; }
    const std::shared_ptr<const std::vector<uint8_t>>& adjacency_preload_handle() const noexcept {
        return adjacency_preload_;
    }
    const std::shared_ptr<RowIdOrderState>& row_id_order_state() const noexcept { return row_id_order_; }
    std::optional<uint64_t>& calibrated_l_search() noexcept { return calibrated_l_search_; }
    std::optional<uint64_t> calibrated_l_search() const noexcept { return calibrated_l_search_; }
    std::vector<DiskAnnIndexReader>& batch_workers() noexcept { return batch_workers_; }
    DiskAnnQueryScratch& scratch() noexcept { return *scratch_; }
    DiskAnnSearchStats& stats() noexcept { return stats_; }
    const DiskAnnSearchStats& stats() const noexcept { return stats_; }

private:
    DiskAnnIndexReader() = default;
    // Copies the reader's settings and shared handles into a kept or new
    // worker and caps its window buffers and raw-vector cache budget.
    void refresh_worker(DiskAnnIndexReader& worker, uint64_t window_buffer_limit) const;
    void search_batch_serial(std::span<const float> queries, size_t nq, uint64_t top_k, uint64_t l_search,
                             std::vector<int64_t>& ids, std::vector<float>& distances);
    // Chunks of up to 1024 queries: each query's candidates from `candidates`,
    // dealt round-robin to the workers (on the reader itself when there are
    // none), then one streaming rerank per chunk on the reader.
    void search_batch_streaming(std::span<const float> queries, size_t nq, uint64_t top_k,
                                std::span<DiskAnnIndexReader> workers, const CandidateNodes& candidates,
                                std::vector<int64_t>& ids, std::vector<float>& distances);

    std::optional<uint64_t> calibrated_l_search_;
    std::vector<DiskAnnIndexReader> batch_workers_;
    std::chrono::nanoseconds header_read_latency_{1};
    DiskAnnCacheBudgets cache_budgets_;
    std::shared_ptr<const std::vector<uint8_t>> adjacency_preload_;
    std::shared_ptr<RowIdOrderState> row_id_order_;
    std::unique_ptr<DiskAnnQueryScratch> scratch_;
    std::shared_ptr<const io::SeekRead> input_;
    DiskAnnHeader header_;
    std::shared_ptr<DiskAnnResidentData> resident_;
    io::ReadCapabilities read_capabilities_;
    DiskAnnSearchStats stats_;
};

// Workers taken from a reader for one batch, stored back into its worker set
// when the lease ends, on success and on every error path. The reader must
// outlive the lease; its worker set stays empty meanwhile.
class BatchWorkerLease {
public:
    // take_batch_workers(count, resident_only); its error leaves nothing to restore.
    static BatchWorkerLease take(DiskAnnIndexReader& reader, size_t count, bool resident_only) {
        return BatchWorkerLease(reader, reader.take_batch_workers(count, resident_only));
    }
    BatchWorkerLease(DiskAnnIndexReader& reader, std::vector<DiskAnnIndexReader> workers) noexcept
        : reader_(&reader), workers_(std::move(workers)) {}
    BatchWorkerLease(BatchWorkerLease&& other) noexcept
        : reader_(std::exchange(other.reader_, nullptr)), workers_(std::move(other.workers_)) {}
    BatchWorkerLease(const BatchWorkerLease&) = delete;
    BatchWorkerLease& operator=(const BatchWorkerLease&) = delete;
    BatchWorkerLease& operator=(BatchWorkerLease&&) = delete;
    ~BatchWorkerLease() {
        if (reader_ != nullptr) reader_->batch_workers() = std::move(workers_);
    }

    std::vector<DiskAnnIndexReader>& workers() noexcept { return workers_; }
    std::span<DiskAnnIndexReader> span() noexcept { return workers_; }
    size_t size() const noexcept { return workers_.size(); }

private:
    DiskAnnIndexReader* reader_;
    std::vector<DiskAnnIndexReader> workers_;
};

// Worker i of w deals itself the positions i, i + w, i + 2w, ... below m.
template <class F>
void round_robin_queries(size_t worker, size_t workers, size_t m, F&& f) {
    if (workers == 0) return;
    for (size_t q = worker; q < m; q += workers) f(q);
}

// The workers of one pass share `next`; each takes the lowest position not yet
// taken, below m, until none is left. Used where a worker keeps nothing from
// one query to the next that could change another query's answer, reads or
// statistics totals: fixed shares (round_robin_queries) leave the whole pass
// waiting for the slowest share, and a share's cost varies with its queries
// and with the time its thread loses to other work.
template <class F>
void take_next_queries(std::atomic<size_t>& next, size_t m, F&& f) {
    for (size_t q = next.fetch_add(1, std::memory_order_relaxed); q < m;
         q = next.fetch_add(1, std::memory_order_relaxed)) {
        f(q);
    }
}

// The read profile of a latency: below 50 us memory, below 750 us local
// storage, below 3 ms remote storage, else object store.
DeploymentProfile read_profile_for_latency(std::chrono::nanoseconds latency) noexcept;

}  // namespace tavren::diskann_io
