// DiskANN query side: the candidate and result records and their orders, the
// per-session query scratch with its visited sets and search heaps, PQ scoring
// of neighbour lists, the exact distance over stored raw-vector records, the
// bounded result heaps and the rerank set chosen from seed windows.
//
// Orders: distances compare in IEEE 754 totalOrder (never with a plain
// less-than), ties go to the smaller node id or row ID.
//
// Thread rules: a scratch belongs to one search session and is used by one
// thread at a time. The free functions keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "diskann_search_load.hpp"
#include "diskann_windows.hpp"
#include "error.hpp"
#include "numeric.hpp"
#include "sparse_table.hpp"

namespace tavren::diskann_search {

using diskann_windows::ReadWindow;
using diskann_windows::VectorWindowPlanner;

// A graph candidate: node id and PQ distance.
struct SearchCandidate {
    size_t node = 0;
    float distance = 0.0f;
    friend bool operator==(const SearchCandidate& a, const SearchCandidate& b) noexcept {
        return a.node == b.node && total_order_key(a.distance) == total_order_key(b.distance);
    }
};
// (distance in totalOrder, node) ascending.
inline bool candidate_less(const SearchCandidate& a, const SearchCandidate& b) noexcept {
    const int32_t ka = total_order_key(a.distance);
    const int32_t kb = total_order_key(b.distance);
    return ka != kb ? ka < kb : a.node < b.node;
}

// An exact result: row ID and exact distance.
struct ExactSearchResult {
    int64_t row_id = 0;
    float distance = 0.0f;
};
// (distance in totalOrder, row ID) ascending.
inline bool exact_result_less(const ExactSearchResult& a, const ExactSearchResult& b) noexcept {
    const int32_t ka = total_order_key(a.distance);
    const int32_t kb = total_order_key(b.distance);
    return ka != kb ? ka < kb : a.row_id < b.row_id;
}

// One scored neighbour: node id and PQ distance.
struct ScoredNeighbor {
    size_t node = 0;
    float distance = 0.0f;
};

// ---- PQ scoring ----------------------------------------------------------------

// The PQ code layout of a quantizer: ksub and the bytes of one node's code.
struct PqCodeLayout {
    size_t m = 0;
    size_t ksub = 0;
    size_t code_bytes = 0;
};
// m = 0: "DiskANN PQ subspace count must be positive"; bits other than 4 or 8:
// "DiskANN PQ bits must be 4 or 8"; m x ksub overflowing: "DiskANN PQ
// distance-table length overflows" (all InvalidData).
PqCodeLayout pq_code_layout(size_t m, uint32_t bits);

// Requests every cache line of `bytes` (the last byte's too, for a range that
// does not start on a line boundary); nothing for an empty range.
inline void prefetch_lines(std::span<const uint8_t> bytes) noexcept {
    if (bytes.empty()) return;
    for (size_t at = 0; at < bytes.size(); at += 64) __builtin_prefetch(bytes.data() + at);
    __builtin_prefetch(bytes.data() + bytes.size() - 1);
}

// The PQ distance of each node of `nodes` into `out` (emptied first, capacity
// kept), in input order: the sum over subspaces j = 0 .. m - 1 of
// table[j x ksub + code_j] in subspace order. Nodes go four at a time (four
// independent sums) with the codes of the group `ahead` positions further on
// prefetched; the last one to three nodes with 8-bit codes and m >= 8 take
// distance::pq_distance_avx2 when AVX2 is in use (another summation order).
// InvalidData: the pq_code_layout messages, "DiskANN PQ distance table is
// truncated", "DiskANN PQ code offset overflows", "DiskANN PQ code range
// overflows", "DiskANN PQ codes are truncated". On an error `out` holds the
// nodes scored before it.
void score_pq_neighbors(std::span<const float> table, std::span<const uint8_t> codes, size_t m, uint32_t bits,
                        std::span<const uint32_t> nodes, std::vector<ScoredNeighbor>& out);

// The PQ distance of one node (the entry node of a search): 8-bit codes with
// m > 7 through distance::pq_distance_avx2 when AVX2 is in use, otherwise the
// scalar sum. Same checks and messages as score_pq_neighbors (the table
// length included).
float score_pq_node(std::span<const float> table, std::span<const uint8_t> codes, size_t m, uint32_t bits,
                    size_t node);

// ---- bounded heaps ---------------------------------------------------------------

// Max-heap insert bounded by `limit` (the worst candidate on top): below the
// limit the candidate is pushed (growth failure: InvalidInput "DiskANN
// filtered candidate allocation failed"); at the limit it replaces the top
// only when strictly smaller. limit 0: nothing.
void push_bounded_candidate(std::vector<SearchCandidate>& heap, size_t node, size_t limit, float distance);

// Stable ascending sort in candidate order.
void sort_candidates(std::span<SearchCandidate> candidates);

// Max-heap insert bounded by k (the worst result on top): below k the result
// is pushed (growth failure: InvalidInput "DiskANN exact result allocation
// failed"); at k it replaces the top only when strictly smaller, so equal
// distances keep the smaller row IDs. k 0: nothing.
void push_bounded_exact_result(std::vector<ExactSearchResult>& heap, int64_t row_id, size_t k, float distance);

// Sorts the heap ascending into `ids` and `distances` (replaced, exactly k
// long), padding with row ID -1 and distance f32::MAX. The heap is emptied.
void finish_exact_results(std::vector<ExactSearchResult>& heap, size_t k, std::vector<int64_t>& ids,
                          std::vector<float>& distances);

// ---- exact distance over stored records -------------------------------------------

enum class RawVectorKernel : uint8_t { Scalar, Avx2 };

// Avx2 when the dimension is at least 8 and AVX2 is in use, else Scalar. It
// matters only for f32 records under l2.
RawVectorKernel selected_raw_vector_distance_kernel(size_t dimension) noexcept;

// The squared L2 distance of the query to an f32 record (4 x d little-endian
// bytes) in the 8-lane AVX2 order, read in place. InvalidData "DiskANN raw
// vectors must be finite" when a stored value is not finite, "DiskANN raw
// vector record has invalid length" for a record of another length. Requires
// AVX2 (asserted).
float l2_distance_from_le_bytes_avx2(std::span<const float> query, std::span<const uint8_t> record);

// Raw-vector encodings of the file header.
inline constexpr uint32_t kRawVectorF32 = 1;
inline constexpr uint32_t kRawVectorF16 = 2;
// f16 records are converted into a fixed buffer of this many values.
inline constexpr size_t kMaxF16Dimension = 1024;

// The exact distance of the query (d values, finite) to one stored record.
// f32 records: exactly 4 x d bytes ("DiskANN raw vector record has invalid
// length"), every value finite ("DiskANN raw vectors must be finite"); l2 by
// `kernel` (the AVX2 order, or a sequential sum), inner product minus the
// sequential dot product, cosine 1 - dot / (|v| |q|) from sequential sums and
// 1 when a norm is 0. The cosine never gives NaN: when the single-precision
// sums overflow or underflow, it is recomputed in double precision.
// f16 records: exactly 2 x d bytes ("DiskANN f16 raw-vector record has
// invalid length"), d <= 1024 ("DiskANN f16 raw-vector dimension exceeds the
// v1 limit"), no value with an all-ones exponent ("DiskANN raw vectors must be
// finite"); converted exactly into a fixed 1024-value buffer, then l2 by
// distance::fvec_l2sqr, other metrics by distance::fvec_distance. Other
// encodings: InvalidData "DiskANN raw-vector encoding is invalid".
// Nothing is allocated.
float raw_vector_distance(std::span<const float> query, std::span<const uint8_t> record, uint32_t encoding,
                          uint32_t metric, RawVectorKernel kernel);

// 1 - dot / (sqrt(a) sqrt(b)) from the sums over the two vectors, or 1 when
// either squared sum is 0; when the single-precision sums are not usable
// (overflowed to infinity, or a square sum underflowed to 0 beside non-zero
// values) `exact` recomputes them in double precision. Never NaN for finite
// inputs.
float cosine_distance_f32(std::span<const float> query, std::span<const uint8_t> record);

// ---- rerank set from seed windows -------------------------------------------------------

// The rerank set: the first `budget` candidates (the seeds) and every other
// candidate whose window (window_of(node), which may throw) is a seed's
// window, in the given rank order. An empty list or a budget of 0 gives an
// empty set without computing any window; a budget at least the number of
// candidates copies them all. Allocation failures: InvalidInput "DiskANN
// rerank candidate allocation failed", "DiskANN rerank window allocation
// failed". `seed_windows` and `out` are emptied first and keep their storage.
template <class WindowOf>
void expand_rerank_candidates_within_seed_windows(std::span<const SearchCandidate> candidates, size_t budget,
                                                  WindowOf&& window_of, diskann_windows::OffsetSet& seed_windows,
                                                  std::vector<SearchCandidate>& out) {
    out.clear();
    seed_windows.clear();
    if (candidates.empty() || budget == 0) return;
    const auto reserve_out = [&](size_t n) {
        try {
            out.reserve(n);
        } catch (const std::bad_alloc&) {
            invalid_input("DiskANN rerank candidate allocation failed");
        } catch (const std::length_error&) {
            invalid_input("DiskANN rerank candidate allocation failed");
        }
    };
    if (budget >= candidates.size()) {
        reserve_out(candidates.size());
        out.assign(candidates.begin(), candidates.end());
        return;
    }
    try {
        seed_windows.reserve(budget);
    } catch (const std::bad_alloc&) {
        invalid_input("DiskANN rerank window allocation failed");
    } catch (const std::length_error&) {
        invalid_input("DiskANN rerank window allocation failed");
    }
    for (size_t i = 0; i < budget; ++i) {
        const ReadWindow w = window_of(candidates[i].node);
        seed_windows.insert(w.offset);
    }
    reserve_out(std::min(2 * budget, candidates.size()));
    for (const SearchCandidate& c : candidates) {
        const ReadWindow w = window_of(c.node);
        if (seed_windows.contains(w.offset)) {
            if (out.size() == out.capacity()) reserve_out(out.size() < 8 ? 8 : 2 * out.size());
            out.push_back(c);
        }
    }
}

// ---- query scratch ----------------------------------------------------------------------

// Whether a graph search over n nodes with list size L (<= n) and maximum
// degree R uses the sparse visited set: w = min(n, L x R + 1) (saturating),
// slots = the next power of two >= max(2w, 8), and sparse exactly when none
// of that overflows and 2 x (4 x slots + 4 x w) < ceil(n / 8).
bool uses_sparse_visited_set(uint64_t n, uint64_t list_size, uint64_t max_degree) noexcept;

// The per-session working state every DiskANN search form uses. Made once per
// reader session and reused by every query; a reset clears only what the
// previous query touched.
struct DiskAnnQueryScratch {
    using SparseVisited = sparse_table::SparseTable<void>;

    diskann_windows::AdjacencyWindowCache adjacency_cache;
    diskann_windows::VectorWindowCache vector_cache;
    std::vector<uint8_t> visited_bytes;       // dense visited set, one byte per node
    SparseVisited visited_sparse;             // sparse visited set keyed by node id
    std::vector<size_t> visited_touched;      // nodes marked in visited_bytes since the last reset
    std::vector<float> distance_table;        // m x ksub PQ distance table of the query
    std::vector<SearchCandidate> candidates;  // the last beam search's result, ascending
    std::vector<SearchCandidate> rerank_set;  // the widened rerank set
    std::vector<SearchCandidate> retained;    // max-heap (worst on top), at most L entries
    std::vector<SearchCandidate> frontier;    // min-heap (best on top) of unexpanded inserted nodes
    std::vector<size_t> round_nodes;          // nodes selected for the current beam round
    diskann_windows::WindowBufferPool buffer_pool;
    std::vector<uint32_t> neighbor_ids;        // one decoded adjacency list
    std::vector<ScoredNeighbor> scored_neighbors;
    diskann_windows::OffsetSet seed_windows;     // window offsets of the rerank seeds
    diskann_windows::OffsetSet validated_pages;  // pages seen valid during the current query
    WindowLoadWork load_work;                    // working arrays of the window loaders
    std::vector<float> query_buffer;             // the normalised copy of a cosine query
    bool uses_sparse_visited = false;

    // A new boxed scratch: everything empty, a sparse set made with capacity
    // 0, the pool limit 8 MiB. Failing to make that small set is an assertion
    // failure whose text begins "SparseTable allocation failed".
    static std::unique_ptr<DiskAnnQueryScratch> create();

    // Resets all per-query state: unmarks the previous query's visited nodes
    // in the set it used, empties the heaps and lists (keeping capacity) and
    // the adjacency window cache into the pool; the vector cache is kept.
    void begin_rerank();
    // Reset, then choose and size the visited set for n nodes, list size L
    // (already at most n) and maximum degree R. InvalidInput "DiskANN sparse
    // visited allocation failed" when the sparse set cannot be made.
    void begin_graph_search(size_t n, size_t list_size, size_t max_degree);
    // Marks a node (below n); true when it was not marked before.
    bool mark_visited(size_t node);
    // Resizes the distance table to `len` entries (new ones 0.0) and returns it.
    std::span<float> prepare_distance_table(size_t len);
    // Fills round_nodes with up to `count` frontier nodes to expand, best
    // first, stopping (and emptying the frontier) at the first one worse than
    // the worst retained candidate.
    void select_round(size_t count);
    // Offers (node, distance) to the retained list of at most L entries and to
    // the frontier. InvalidInput "DiskANN graph candidate allocation failed" /
    // "DiskANN graph frontier allocation failed" when a heap cannot grow.
    // Most offers lose to the worst retained candidate: that test is inline.
    void insert_graph_candidate(size_t node, size_t list_size, float distance) {
        if (list_size == 0) return;
        if (retained.size() >= list_size && !candidate_less(SearchCandidate{node, distance}, retained.front())) return;
        admit_graph_candidate(node, list_size, distance);
    }
    // Moves the retained candidates into `candidates`, ascending.
    void finish_graph_candidates();
    // The rest of insert_graph_candidate, for an offer the list takes.
    void admit_graph_candidate(size_t node, size_t list_size, float distance);

    void recycle_adjacency_windows();
    void recycle_window_caches();
    void set_window_buffer_limit(uint64_t limit_bytes) noexcept;

private:
    explicit DiskAnnQueryScratch(SparseVisited visited) : visited_sparse(std::move(visited)) {}
};

}  // namespace tavren::diskann_search

// ---- single-query stages over the reader's views -----------------------------------------

namespace tavren::diskann_search {

// What the beam search and the reranks read of the reader besides the
// adjacency pages: the PQ distance table of a query and row IDs.
class DiskAnnSearchSource : public AdjacencyPageSource {
public:
    // Fills `table` (m x ksub) for the query under the index metric
    // (ProductQuantizer::compute_distance_table_by_dimension of the resident quantizer).
    virtual void compute_distance_table(std::span<const float> query, std::span<float> table) const = 0;
    // The node's row ID ("DiskANN row-ID node is out of range", ...).
    virtual int64_t row_id(size_t node) const = 0;
};

// The reader's side of a graph search.
struct GraphSearchInput {
    AdjacencyLoadInput load;
    uint64_t vector_count = 0;
    uint32_t entry_node = 0;
    uint32_t max_degree = 0;
    std::span<const uint8_t> pq_codes;  // resident codes in node order
    size_t pq_m = 0;
    uint32_t pq_bits = 0;
};

// The beam search: the L' = min(L, n) best nodes by PQ distance into
// scratch.candidates, ascending. The query has the index dimension (and is
// normalised for cosine). Each round expands up to `beam` frontier nodes,
// loads their pages together, and the adjacency cache is trimmed to 8 MiB
// after it (evictions counted in stats.adjacency_cache_evictions). Rounds go
// on until no retained node is left unexpanded: each node is expanded at most
// once, so at most n in all. Errors are returned at once; the scratch's next
// reset clears the partial state.
// InvalidData: "DiskANN adjacency page is out of range", "DiskANN adjacency
// decode window is not loaded", "DiskANN adjacency list is truncated", and
// those of the loader, the decoder and the PQ scoring.
void generate_graph_candidates(const GraphSearchInput& input, DiskAnnSearchSource& source,
                               std::span<const float> query, size_t list_size, size_t beam_width,
                               DiskAnnQueryScratch& scratch, AdjacencyLoadStats& stats);

// Counters of the reranks, named as in the search statistics.
struct RerankStats {
    uint64_t rerank_candidates = 0;
    uint64_t rerank_windows = 0;
    uint64_t rerank_window_batches = 0;
    uint64_t vector_windows_found = 0;
    uint64_t vector_windows_read = 0;
    uint64_t vector_window_evictions = 0;
};

// The reader's side of a raw-vector rerank.
struct RawVectorRerankInput {
    VectorWindowPlanner planner;             // over the raw-vector section, the plan's window size
    uint32_t encoding = kRawVectorF32;
    uint32_t metric = 0;
    uint64_t vector_cache_budget = 0;        // also the query vector cache's limit
    SharedWindowCacheView* shared = nullptr; // null without a shared raw-vector cache
    const io::SeekRead* file = nullptr;
};

// Exact top-k of the candidates from raw-vector windows, all planned and
// loaded before scoring: `ids` and `distances` exactly k long, ascending,
// padded with (-1, f32::MAX). The windows stay in the query vector cache
// within the budget, else the cache is emptied; an error while scoring
// empties it too.
void rerank(const RawVectorRerankInput& input, const DiskAnnSearchSource& source, std::span<const float> query,
            std::span<const SearchCandidate> candidates, size_t top_k, DiskAnnQueryScratch& scratch,
            RerankStats& stats, std::vector<int64_t>& ids, std::vector<float>& distances);

// The reader's side of an interleaved rerank (records in the adjacency pages).
struct InterleavedRerankInput {
    AdjacencyLoadInput load;
    uint64_t record_bytes = 0;
    uint32_t encoding = kRawVectorF32;
    uint32_t metric = 0;
};

// Exact top-k of the candidates from the records stored in front of their
// adjacency lists. The pages are loaded (and validated) first; the windows
// stay in the adjacency cache for the caller to empty. InvalidData: "DiskANN
// adjacency page is out of range", "DiskANN adjacency rerank window is not
// loaded", "DiskANN interleaved vector offset underflows", "DiskANN
// interleaved raw vector is truncated", and those of the loader and scoring.
void rerank_interleaved(const InterleavedRerankInput& input, DiskAnnSearchSource& source,
                        std::span<const float> query, std::span<const SearchCandidate> candidates, size_t top_k,
                        DiskAnnQueryScratch& scratch, AdjacencyLoadStats& load_stats, RerankStats& stats,
                        std::vector<int64_t>& ids, std::vector<float>& distances);

// ---- single-query search -----------------------------------------------------------------

// The 25 counters of the last search of a reader or worker (all saturating).
struct DiskAnnSearchStats {
    uint64_t queries = 0;
    uint64_t query_batches = 0;
    uint64_t largest_query_batch = 0;
    uint64_t filtered_exhaustive_queries = 0;
    uint64_t filtered_graph_searches = 0;
    uint64_t filtered_graph_fallbacks = 0;
    uint64_t filtered_pq_distances = 0;
    uint64_t filtered_code_reads = 0;
    uint64_t adjacency_shared_hits = 0;
    uint64_t adjacency_windows_read = 0;
    uint64_t adjacency_shared_waits = 0;
    uint64_t adjacency_shared_evictions = 0;
    uint64_t shared_cache_lock_acquisitions = 0;
    uint64_t shared_cache_lock_wait_ns = 0;
    uint64_t adjacency_cache_peak_bytes = 0;
    uint64_t adjacency_cache_evictions = 0;
    uint64_t rerank_candidates = 0;
    uint64_t rerank_windows = 0;
    uint64_t rerank_window_batches = 0;
    uint64_t vector_windows_found = 0;
    uint64_t vector_windows_read = 0;
    uint64_t vector_window_evictions = 0;
    uint64_t parallel_rerank_chunks = 0;
    uint64_t parallel_rerank_references = 0;
    uint64_t merged_queries = 0;

    // A record for the start of a search of `queries` queries: the rest 0.
    static DiskAnnSearchStats for_queries(uint64_t queries) noexcept {
        DiskAnnSearchStats s;
        s.queries = queries;
        return s;
    }
    // Adds a whole per-query record: counters 3..13 and 15..23 summed, the
    // adjacency cache peak as a maximum, merged_queries + max(other.queries, 1);
    // queries, query_batches and largest_query_batch unchanged.
    void merge_complete_query(const DiskAnnSearchStats& other) noexcept;
    // Adds a worker's candidate-generation counters: 3..13 and 15 summed, the
    // peak as a maximum; the others unchanged.
    void merge_candidate_generation(const DiskAnnSearchStats& other) noexcept;
    // Adds what a load or a rerank counted.
    void add(const AdjacencyLoadStats& load) noexcept;
    void add(const RerankStats& rerank) noexcept;
    friend bool operator==(const DiskAnnSearchStats&, const DiskAnnSearchStats&) = default;
};

// L: max(top_k, l_search) when l_search > 0, else max(100, 2 x top_k) (saturating).
size_t resolve_diskann_l_search(size_t top_k, size_t l_search) noexcept;
// The rerank budget min(max(64, 4 x top_k), L) (saturating).
size_t diskann_rerank_budget(size_t top_k, size_t list_size) noexcept;

// Checks a query against the index dimension (InvalidInput "query dimension
// mismatch: expected {}, got {}", "query values must be finite") and returns
// it, or under cosine its normalised copy held in scratch.query_buffer.
std::span<const float> prepare_diskann_query(std::span<const float> query, uint64_t dimension, uint32_t metric,
                                             DiskAnnQueryScratch& scratch);

// Everything a single search needs of the reader, built from its header,
// read plan and budgets. Exactly one of raw / interleaved is used: raw when
// the file has a raw-vector section.
struct SingleSearchInput {
    GraphSearchInput graph;
    uint64_t beam_width = 1;
    bool interleaved = false;
    std::optional<RawVectorRerankInput> raw;
    std::optional<InterleavedRerankInput> interleaved_rerank;
};

// The rerank set of the beam search's result in scratch.candidates: all of
// them up to the budget min(max(64, 4 x top_k), L), else the seeds widened
// to every candidate sharing a seed's read window (adjacency-page windows for
// interleaved files, raw-vector windows otherwise), in candidate order. The
// span views scratch.candidates or scratch.rerank_set. InvalidData "DiskANN
// adjacency page is out of range", "DiskANN raw-vector record is out of
// range" and the locator's errors.
std::span<const SearchCandidate> choose_rerank_set(const SingleSearchInput& input, const DiskAnnSearchSource& source,
                                                   size_t top_k, size_t list_size, DiskAnnQueryScratch& scratch);

// The two stages of a query already checked (and normalised for cosine):
// the beam search with L = resolve_diskann_l_search(top_k, l_search), the
// rerank set (all candidates up to the budget, else the seeds widened to
// their windows), the exact rerank. top_k 0 gives two empty arrays and
// touches nothing. The adjacency cache is emptied into the pool on every way
// out. Counters are added to `stats` (the caller resets it).
void search_preprocessed(const SingleSearchInput& input, DiskAnnSearchSource& source, std::span<const float> query,
                         size_t top_k, size_t l_search, DiskAnnQueryScratch& scratch, DiskAnnSearchStats& stats,
                         std::vector<int64_t>& ids, std::vector<float>& distances);

}  // namespace tavren::diskann_search
