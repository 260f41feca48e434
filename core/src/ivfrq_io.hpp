// The IVF-RQ file writer (layout in ivfrq_format.hpp).
//
// write_ivfrq_index checks the in-memory index and settles every file field
// and limit (header fields, list counts, ID-section and code-section lengths,
// payload offsets) before the first byte goes out, so a refusal writes
// nothing. It then writes header, centroids and offset table, and the payloads
// of the non-empty lists with codes and factors re-laid into 32-row blocks one
// list at a time. Payload offsets count from the first byte this call writes
// (offset 0), wherever the output stood when the call began. A write error is
// passed through unchanged and leaves an incomplete file the caller must
// discard. Does not flush. The index is only read. Runs on the caller's thread.
//
// With TAVREN_LOG_VECTOR_INDEX_BUILD_TIMING present, the stages write.plan_lists,
// write.metadata, write.block_lists, write.output, write.lists and write.total
// are logged as the build's stages are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "index_io_util.hpp"
#include "io.hpp"
#include "ivf_lists.hpp"
#include "ivfrq.hpp"
#include "rabitq.hpp"
#include "read_options.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"
#include "topk.hpp"

namespace tavren::ivfrq_io {

// The bounds the writer enforces. Production code uses the defaults; tests
// lower them to reach every refusal without multi-gigabyte fixtures.
struct WriteLimits {
    uint64_t max_i32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());  // i32 table and payload fields
    uint64_t max_i64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // payload offsets
};

void write_ivfrq_index(const ivfrq::IVFRQIndex& index, io::SeekWrite& out);
void write_ivfrq_index_with_limits(const ivfrq::IVFRQIndex& index, io::SeekWrite& out, const WriteLimits& limits);

// How one list goes out.
struct RQListWritePlan {
    std::vector<size_t> row_order;   // row positions sorted by row ID, ascending, stable
    std::vector<uint8_t> delta_ids;  // the IDs in that order as delta-varint bytes
    int64_t base_id = 0;             // the smallest ID (0 for an empty list)
};
std::vector<RQListWritePlan> plan_sorted_lists(const ivfrq::IVFRQIndex& index);

// The code and factor sections of list j in the file's blocked layout, rows
// taken in `row_order`.
struct BlockedList {
    std::vector<uint8_t> codes;
    std::vector<float> factors;
};
BlockedList block_list(const ivfrq::IVFRQIndex& index, size_t list, std::span<const size_t> row_order);

// InvalidInput "{name} exceeds i32" above `limit`.
int32_t usize_to_i32(uint64_t value, std::string_view name,
                     uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max()));
// InvalidInput "{name} exceeds u32" above the u32 range.
uint32_t usize_to_u32(uint64_t value, std::string_view name);
// InvalidInput "{name} exceeds i64" above `limit`.
int64_t u64_to_i64(uint64_t value, std::string_view name,
                   uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
// a * b when it neither overflows nor exceeds 2^30; else InvalidData "IVF-RQ section size overflow".
uint64_t checked_section_size(uint64_t a, uint64_t b);
// a * b; InvalidData "IVF-RQ list byte size overflow" on overflow.
uint64_t checked_list_bytes(uint64_t a, uint64_t b);


// ---- Reader -------------------------------------------------------------------------
//
// IVFRQIndexReader checks the 64-byte header at open and reads nothing else.
// The first search (or ensure_loaded, called by warm-up and
// optimize_for_search) reads the centroids and the offset table, then builds
// the rotation: only once the read proved the centroids exist, so a forged
// header cannot make the reader draw a rotation of absurd size. Searches read
// list payloads in groups of consecutive probed lists (64 MiB, the host's
// range cap), check and parse them, and score them with scan_blocked_list.
//
// Memory: metadata, rotation and every payload group are charged against the
// reader's memory budget before anything of their size is allocated, and
// buffers are filled by reads that deliver bytes which exist (pieces of at
// most 64 MiB into a buffer grown with them), never zeroed first. An
// allocation that fails is an OutOfMemory error.
//
// Thread rule: calls on one reader must not overlap (a search updates its
// statistics and may load its metadata). Scans run on pool workers and share
// the loaded lists, contexts and filter read-only.

// Last-search statistics: 13 saturating counters.
struct IVFRQSearchStats {
    uint64_t query_count = 0;
    uint64_t rows_scanned = 0;
    uint64_t rows_after_filter = 0;
    uint64_t coarse_estimates = 0;
    uint64_t refine_candidates = 0;
    uint64_t fastscan_recheck_bytes = 0;
    uint64_t refine_code_bytes = 0;
    uint64_t extended_estimates = 0;
    uint64_t heap_pushes = 0;
    uint64_t fastscan_blocks = 0;
    uint64_t lut_blocks = 0;
    uint64_t prescans = 0;
    uint64_t parallel_list_scans = 0;

    // Field by field, saturating.
    void add(const IVFRQSearchStats& other) noexcept;
    // The walk's own counts: a pre-scan, and lists scanned one task each.
    void count_prescan() noexcept;
    void count_parallel_lists(uint64_t lists) noexcept;
    friend bool operator==(const IVFRQSearchStats&, const IVFRQSearchStats&) = default;
};

// Where one non-empty list's payload lies and what its sections hold.
struct RQListPayloadMeta {
    size_t list_id = 0;
    size_t count = 0;
    uint64_t offset = 0;
    size_t delta_id_bytes = 0;
    size_t code_bytes = 0;    // count x B x P
    size_t factor_count = 0;  // count x (2 when B = 1, else 5)
    size_t payload_len = 0;   // 16 + delta ID bytes + code bytes + 4 x factor count
};

// One loaded list: ascending row IDs, the payload up to the end of its code
// section, the blocked factors, and where the codes lie in the payload. An
// empty list has empty arrays and code_start = code_end = 0.
struct RQReadList {
    std::vector<int64_t> ids;
    std::unique_ptr<uint8_t[]> payload;
    size_t payload_bytes = 0;
    std::vector<float> factors;
    size_t list_id = 0;
    size_t code_start = 0;
    size_t code_end = 0;

    std::span<const uint8_t> codes() const noexcept { return {payload.get() + code_start, code_end - code_start}; }
};

// Checks one payload read for `meta` and parses it. InvalidData, in order:
// "IVF-RQ list {} payload length mismatch", "IVF-RQ delta ID length
// mismatch", "IVF-RQ code length mismatch", the delta-varint decoder's
// faults, "IVF-RQ f32 section is not aligned", "IVF-RQ factor count mismatch".
RQReadList parse_list_payload(const RQListPayloadMeta& meta, std::unique_ptr<uint8_t[]> payload, size_t length,
                              size_t bits, size_t plane_size);

// InvalidData "invalid IVF-RQ {name}: {value}; expected positive" at 0 or below.
int32_t validate_positive_i32(int32_t value, std::string_view name);
// InvalidData "invalid IVF-RQ {name}: {value}; expected non-negative" below 0.
int32_t validate_non_negative_i32(int32_t value, std::string_view name);
// InvalidData "negative IVF-RQ list offset {offset} for list {list}" below 0.
uint64_t checked_list_offset(int64_t offset, size_t list);
// Little-endian f32 values; InvalidData "IVF-RQ f32 section is not aligned"
// for a length that is not a multiple of 4.
std::vector<float> bytes_to_f32_vec(std::span<const uint8_t> bytes);

// Scores the first min(limit, rows) rows of one list (its row IDs, its
// blocked codes and its blocked factors as little-endian f32 bytes, at any
// alignment) for one query into its heap: sign-plane estimates (FastScan for full blocks when there is no
// filter, B >= 2 and D' >= 256; the exact byte table otherwise), then, for
// B >= 2, the remaining planes of the rows whose lower bound beats the heap's
// threshold. Counts into `stats`. Cannot fail; allocates nothing.
void scan_blocked_rows(std::span<const int64_t> ids, std::span<const uint8_t> codes,
                       std::span<const uint8_t> factors, const rabitq::RaBitQuantizer& quantizer,
                       const rabitq::RQQueryContext& ctx, const row_id_filter::RowIdFilter* filter,
                       topk::TopKHeap& heap, float q_term, float q_norm, IVFRQSearchStats& stats,
                       size_t limit = std::numeric_limits<size_t>::max());
// The same over a loaded list.
void scan_blocked_list(const RQReadList& list, const rabitq::RaBitQuantizer& quantizer,
                       const rabitq::RQQueryContext& ctx, const row_id_filter::RowIdFilter* filter,
                       topk::TopKHeap& heap, float q_term, float q_norm, IVFRQSearchStats& stats,
                       size_t limit = std::numeric_limits<size_t>::max());

// One query over a group of this many rows or more is spread over the
// group's lists (after a 32-row pre-scan of its first non-empty list).
inline constexpr uint64_t kParallelListRows = 8192;

class IVFRQIndexReader;

// One query rotated and prepared, with the buffers that did it; reused from
// query to query (a context is overwritten whole by the next prepare).
struct RQQueryWork {
    std::vector<float> rotated;
    std::vector<float> scratch;
    rabitq::RQQueryContext ctx;
    float query_norm = 0.0f;  // squared norm of the query as searched

    // Rotates the (preprocessed) query of d values and prepares its context
    // (the FastScan tables only when asked for).
    void prepare(const IVFRQIndexReader& reader, std::span<const float> query, bool fastscan_tables = true);
};

// How IVF-RQ payloads lie, for the engine's list store: a 16-byte head (base
// ID, ID-section length, code length), the delta-varint IDs, the codes in
// 32-row blocks, then the factors in the same blocks (the view's side
// section). Refers to its reader, which must be loaded and outlive it.
class RQPayloadLayout final : public ivf_lists::ListPayloadLayout {
public:
    explicit RQPayloadLayout(const IVFRQIndexReader& reader) noexcept : reader_(reader) {}
    uint64_t payload_len(size_t list) const override;
    uint64_t payload_offset(size_t list) const override;
    uint64_t code_start(size_t list) const override;
    void admit_group(uint64_t payload_bytes) const override;
    uint64_t read_piece() const override;
    uint64_t max_rows(size_t list) const override;
    // parse_list_payload's checks, in its order.
    void parse(size_t list, std::span<const uint8_t> payload, std::vector<int64_t>& ids,
               ivf_lists::ListView& view) const override;

private:
    const IVFRQIndexReader& reader_;
};

// The IVF-RQ scanner of the engine's probe walk (ivf_search::walk_probes).
class RQListScanner {
public:
    using Work = RQQueryWork;
    using Stats = IVFRQSearchStats;
    // A scan with `filter` takes the FastScan path only without a filter,
    // from 2 bits and from D' = 256; queries are prepared for what it takes.
    RQListScanner(const IVFRQIndexReader& reader, const row_id_filter::RowIdFilter* filter) noexcept;
    void prepare(Work& work, std::span<const float> query) const;
    void scan(const Work& work, const ivf_lists::ListView& list, float probe_distance,
              const row_id_filter::RowIdFilter* filter, topk::TopKHeap& heap, Stats& stats, size_t limit) const;
    uint64_t parallel_rows() const noexcept { return kParallelListRows; }
    size_t prescan_rows() const noexcept { return rabitq::kFastScanRows; }

private:
    const IVFRQIndexReader& reader_;
    bool fastscan_tables_;
};

// Whether scan_blocked_rows takes the FastScan path for full blocks.
inline bool rq_scan_uses_fastscan(const rabitq::RaBitQuantizer& q, const row_id_filter::RowIdFilter* filter) noexcept {
    return filter == nullptr && q.bits >= 2 && q.padded_dimension >= 256;
}

class IVFRQIndexReader {
public:
    // Checks the header fields in file order (messages in the file-format
    // notes) and the writer's limits nlist x d and nlist x D' <= 2^30
    // ("IVF-RQ section size overflow"). Reads nothing; builds no rotation.
    static IVFRQIndexReader open_with_header(std::unique_ptr<io::SeekRead> input, std::span<const uint8_t, 64> header);
    static IVFRQIndexReader open_with_header_and_options(std::unique_ptr<io::SeekRead> input,
                                                        std::span<const uint8_t, 64> header,
                                                        const read_options::VectorIndexReaderOptions& options);

    IVFRQIndexReader(IVFRQIndexReader&&) noexcept;
    IVFRQIndexReader& operator=(IVFRQIndexReader&&) noexcept;
    ~IVFRQIndexReader();

    uint64_t dimension() const noexcept { return d_; }
    uint64_t padded_dimension() const noexcept { return padded_; }
    uint64_t nlist() const noexcept { return nlist_; }
    uint32_t metric() const noexcept { return metric_; }
    // The header's vector count, checked non-negative at open.
    uint64_t total() const noexcept { return static_cast<uint64_t>(total_); }
    uint64_t rq_bits() const noexcept { return quantizer_.bits; }
    uint64_t seed() const noexcept { return seed_; }
    bool loaded() const noexcept { return loaded_; }
    const rabitq::RaBitQuantizer& quantizer() const noexcept { return quantizer_; }
    const io::SeekRead& input() const noexcept { return *input_; }
    uint64_t memory_budget() const noexcept { return budget_; }

    // Reads and checks the centroids and the offset table (one host call when
    // they fit in 64 MiB), then builds the rotation. InvalidData "IVF-RQ
    // section size overflow", "IVF-RQ list byte size overflow", "IVF-RQ
    // resident metadata size overflow"; InvalidInput "IVF-RQ metadata of {}
    // bytes exceeds the reader memory budget of {} bytes"; read errors
    // unchanged; "invalid IVF-RQ list count: {}; expected non-negative",
    // "invalid IVF-RQ delta ID bytes: {}; expected non-negative", "IVF-RQ
    // list counts total {} does not match header {}"; OutOfMemory when an
    // allocation fails. A failure leaves the reader unloaded; the next call
    // repeats everything. No-op once loaded.
    void ensure_loaded();

    // REQUIRES: loaded().
    std::span<const float> centroids() const noexcept { return centroids_; }
    std::span<const float> centroid_norms() const noexcept { return centroid_norms_; }
    const rabitq::RQRotation& rotation() const;
    int32_t list_count(size_t list) const;
    // Nothing for an empty list. InvalidInput "list ID {} out of range for
    // nlist={}"; InvalidData "IVF-RQ list byte size overflow", "IVF-RQ list
    // payload overflow", "negative IVF-RQ list offset {} for list {}".
    std::optional<RQListPayloadMeta> list_payload_meta(size_t list) const;
    // The payload length of a list, 0 when empty (list_payload_meta's faults).
    uint64_t list_payload_len(size_t list) const;

    // Reads, checks and parses the given lists (one RQReadList each, in
    // order; empty lists cost no range) in the search's read groups. Loads
    // first. Faults as the search's (payload meta, budget, read, payload).
    std::vector<RQReadList> read_lists(std::span<const size_t> lists);

    // The statistics of the last successful search call, and their sum over
    // the calls since reset_search_stats (a progressive search's passes).
    const IVFRQSearchStats& last_search_stats() const noexcept { return last_stats_; }
    const IVFRQSearchStats& accumulated_search_stats() const noexcept { return accumulated_stats_; }
    void reset_search_stats() noexcept { accumulated_stats_ = {}; }

    SearchResult search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                    const row_id_filter::RowIdFilter* filter);
    SearchResult search_batch_range(std::span<const float> queries, size_t nq, size_t k, size_t probe_start,
                                    size_t probe_end, std::span<const int64_t> seed_ids,
                                    std::span<const float> seed_distances, const row_id_filter::RowIdFilter* filter);

    // Test seam: a smaller read piece (metadata and oversized lists).
    void set_read_piece_for_testing(uint64_t bytes);

private:
    friend SearchResult search_batch_ivfrq_reader_filter_range(IVFRQIndexReader&, std::span<const float>, size_t,
                                                               size_t, size_t, size_t, std::span<const int64_t>,
                                                               std::span<const float>,
                                                               const row_id_filter::RowIdFilter*);
    friend class RQPayloadLayout;
    IVFRQIndexReader() = default;
    // The single-query work buffers, kept between calls.
    RQQueryWork& query_work();

    std::unique_ptr<io::SeekRead> input_;
    std::vector<float> centroids_;
    std::vector<float> centroid_norms_;
    std::vector<int64_t> list_offsets_;
    std::vector<int32_t> list_counts_;
    std::vector<int32_t> delta_id_lens_;
    std::unique_ptr<rabitq::RQRotation> rotation_;
    // Planning, batched reads and the read arena of list payloads.
    ivf_lists::ListStore lists_;
    rabitq::RaBitQuantizer quantizer_;
    size_t d_ = 0;
    size_t padded_ = 0;
    size_t nlist_ = 0;
    int64_t total_ = 0;
    uint64_t seed_ = 0;
    uint32_t metric_ = 0;
    uint64_t budget_ = read_options::kDefaultReaderMemoryBudget;
    uint64_t read_piece_ = index_io_util::kReadBudgetBytes;
    std::unique_ptr<RQQueryWork> query_work_;
    IVFRQSearchStats last_stats_;
    IVFRQSearchStats accumulated_stats_;
    bool loaded_ = false;
};

// The batch search of an IVF-RQ reader: nq queries, probe ranks
// [probe_start, probe_end), optional seeds (both empty or both nq x k long),
// optional filter; nq x k padded pairs, query after query. Each probed list is
// read once per call. Loads the metadata first; then the input checks
// (validate_search_inputs, "probe range must be non-empty", the seed checks).
SearchResult search_batch_ivfrq_reader_filter_range(IVFRQIndexReader& reader, std::span<const float> queries,
                                                    size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                    std::span<const int64_t> seed_ids,
                                                    std::span<const float> seed_distances,
                                                    const row_id_filter::RowIdFilter* filter);

}  // namespace tavren::ivfrq_io
