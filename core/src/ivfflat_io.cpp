#include "ivfflat_io.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "distance.hpp"
#include "error.hpp"
#include "ivfflat_format.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"


namespace tavren::ivfflat_io {

namespace util = index_io_util;
namespace fmtv = ivfflat_format;

namespace {

constexpr uint64_t kIdBlockHeader = util::kIdBlockHeaderBytes;

// An array of n elements of `elem` bytes must be representable; beyond that
// the request is a caller fault, not a shortage of memory.
void check_capacity(uint64_t n, uint64_t elem) {
    if (n > static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / elem) panic("capacity overflow");
}

// The checks of an aligned read buffer of `total_len` bytes whose rows start
// after `prefix_len` bytes: its pad (so the rows land on a 4-byte boundary)
// and its size in 4-byte words.
struct PayloadLayout {
    uint64_t pad;
    uint64_t words;
};

PayloadLayout aligned_payload_layout(uint64_t total_len, uint64_t prefix_len, uint64_t row_bytes) {
    std::optional<uint64_t> expected = checked_add(prefix_len, row_bytes);
    if (!expected) invalid_data("IVF-FLAT vector suffix overflow");
    if (total_len != *expected || row_bytes % 4 != 0) invalid_data("IVF-FLAT vector suffix has an invalid shape");
    const uint64_t pad = (4 - prefix_len % 4) % 4;
    std::optional<uint64_t> padded = checked_add(total_len, pad);
    if (!padded) invalid_data("IVF-FLAT aligned payload overflow");
    const uint64_t words = div_ceil(*padded, 4);
    check_capacity(words, sizeof(float));
    return {pad, words};
}

// Uninitialised elements of a trivial type, grown on demand; the contents do
// not survive growth. What a read or a scan overwrites is never zeroed first.
template <class T, size_t Align = alignof(T)>
class ScratchArray {
public:
    T* reserve(size_t n) {
        if (n > capacity_) grow(n);
        return data_.get();
    }
    T* data() const noexcept { return data_.get(); }
    size_t capacity() const noexcept { return capacity_; }
    size_t bytes() const noexcept { return capacity_ * sizeof(T); }
    void release() noexcept {
        data_.reset();
        capacity_ = 0;
    }

private:
    struct Free {
        void operator()(T* p) const noexcept { ::operator delete(p, std::align_val_t{Align}); }
    };

    void grow(size_t n) {
        check_capacity(n, sizeof(T));
        // Doubling up to one read budget spares regrowth when sizes vary from
        // call to call; beyond it only what is asked for.
        const size_t budget = static_cast<size_t>(index_io_util::kReadBudgetBytes / sizeof(T));
        const size_t doubled = capacity_ > budget / 2 ? budget : capacity_ * 2;
        const size_t want = std::max(n, doubled);
        release();
        data_.reset(static_cast<T*>(::operator new(want * sizeof(T), std::align_val_t{Align})));
        capacity_ = want;
    }

    std::unique_ptr<T, Free> data_;
    size_t capacity_ = 0;
};

// Where one non-empty list's payload lies and how it splits into the ID
// block and the rows, with every size checked against overflow.
struct ListPayloadPlan {
    int32_t id_len;
    uint64_t offset;     // payload offset in the file
    uint64_t prefix;     // ID block header + ID bytes
    uint64_t row_bytes;  // count x d x 4
    uint64_t total;      // prefix + row_bytes
};

ListPayloadPlan plan_list_payload(size_t list, int32_t count, int32_t id_len, uint64_t stored_offset, size_t d) {
    const uint64_t offset = util::checked_list_offset(stored_offset, list);
    std::optional<uint64_t> row_bytes = count < 0 ? std::nullopt : checked_mul(static_cast<uint64_t>(count), 4);
    if (row_bytes) row_bytes = checked_mul(*row_bytes, d);
    if (!row_bytes) invalid_data("IVF-FLAT list byte size overflow");
    if (id_len < 0) invalid_data("IVF-FLAT list payload overflow");
    const uint64_t prefix = kIdBlockHeader + static_cast<uint64_t>(id_len);
    std::optional<uint64_t> total = checked_add(prefix, *row_bytes);
    if (!total) invalid_data("IVF-FLAT list payload overflow");
    return ListPayloadPlan{id_len, offset, prefix, *row_bytes, *total};
}

// The base ID of a list payload read in a batch, whose stored ID-byte length
// must be the table's.
int64_t batched_payload_base(std::span<const uint8_t> payload, int32_t id_len) {
    const int32_t stored = util::load_le<int32_t>(payload, 8);
    if (stored < 0 || stored != id_len) invalid_data("IVF-FLAT id_bytes_len mismatch");
    return util::load_le<int64_t>(payload, 0);
}

constexpr util::DeltaVarintMessages kBatchIdMessages{"truncated varint", "varint exceeds u64 range",
                                                     "varint exceeds 64 bits"};

}  // namespace

// ---- Row IDs -----------------------------------------------------------------

std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count) {
    return util::decode_delta_varint_ids(base, section, count, kBatchIdMessages, util::TrailingBytes::Ignored);
}

// ---- Read buffers ----------------------------------------------------------------

AlignedFlatPayload::AlignedFlatPayload(uint64_t total_len, uint64_t prefix_len, uint64_t row_bytes) {
    const PayloadLayout layout = aligned_payload_layout(total_len, prefix_len, row_bytes);
    pad_ = static_cast<size_t>(layout.pad);
    total_len_ = static_cast<size_t>(total_len);
    prefix_len_ = static_cast<size_t>(prefix_len);
    row_bytes_ = static_cast<size_t>(row_bytes);
    if (layout.words == 0) return;
    // The read fills the window; only the bytes around it need zeroing.
    storage_.reset(new float[static_cast<size_t>(layout.words)]);
    storage_[0] = 0.0f;
    storage_[static_cast<size_t>(layout.words) - 1] = 0.0f;
}

void scan_flat_rows(std::span<const float> query, std::span<const int64_t> row_ids, std::span<const float> rows,
                    size_t d, uint32_t metric, const RowIdFilter* filter, ReaderTopKHeap& heap) {
    const size_t n = row_ids.size();
    check_len(saturating_mul(n, d), rows.size());
    if (n == 0) return;
    const float* base = rows.data();
    if (metric == kMetricL2) {
        for (size_t i = 0; i < n; ++i) {
            const int64_t id = row_ids[i];
            if (filter != nullptr && !filter->contains(id)) continue;
            const std::span<const float> row(base + i * d, d);
            if (heap.full()) {
                const float threshold = heap.worst_rank();
                if (threshold < 0.0f) continue;
                if (distance::fvec_l2sqr_scaled_exceeds(query, row, 1.0f, threshold)) continue;
            }
            heap.push(id, distance::fvec_l2sqr(query, row));
        }
        return;
    }
    assert_eq(query.size(), d, "query length must equal the index dimension");
    const distance::QueryDistance qd{
        query, metric == kMetricCosine ? std::sqrt(distance::fvec_norm_l2sqr(query)) : 0.0f, metric};
    for (size_t i = 0; i < n; ++i) {
        const int64_t id = row_ids[i];
        if (filter != nullptr && !filter->contains(id)) continue;
        heap.push(id, qd.distance_to(std::span<const float>(base + i * d, d)));
    }
}

void scan_flat_list(std::span<const float> query, const FlatListData& list, size_t d, uint32_t metric,
                    const RowIdFilter* filter, ReaderTopKHeap& heap) {
    scan_flat_rows(query, list.ids, list.rows.vectors(), d, metric, filter, heap);
}

void merge_flat_results(ReaderTopKHeap& heap, PartialResult partial) {
    merge_flat_results(heap, std::span<const ScoredRow>(partial));
}

void merge_flat_results(ReaderTopKHeap& heap, std::span<const ScoredRow> partial) {
    for (const ScoredRow& r : partial) {
        // A partial result ascends by rank: once a full heap refuses one
        // pair, it refuses every later one, and its worst stays as it is.
        if (heap.full() && !(distance_rank(r.distance) < heap.worst_rank())) break;
        heap.push(r.row_id, r.distance);
    }
}

void seed_flat_heaps(std::span<ReaderTopKHeap> heaps, std::span<const int64_t> seed_ids,
                     std::span<const float> seed_distances, size_t k) {
    if (heaps.empty() || k == 0) return;
    for (size_t q = 0; q < heaps.size(); ++q) {
        std::optional<uint64_t> start = checked_mul(q, k);
        if (!start) return;
        std::optional<uint64_t> end = checked_add(*start, k);
        if (!end || *end > seed_ids.size() || *end > seed_distances.size()) continue;
        for (size_t j = static_cast<size_t>(*start); j < *end; ++j) {
            if (seed_distances[j] != kF32Max) heaps[q].push(seed_ids[j], seed_distances[j]);
        }
    }
}

SearchResult padded_flat_results(ReaderTopKHeap heap, size_t k) {
    check_capacity(k, sizeof(int64_t));
    const std::span<const ReaderTopKHeap::Entry> sorted = heap.sort_in_place();
    SearchResult out;
    out.ids.reserve(k);
    out.distances.reserve(k);
    for (const ReaderTopKHeap::Entry& r : sorted) {
        out.ids.push_back(r.row_id);
        out.distances.push_back(r.distance);
    }
    if (sorted.size() < k) {
        out.ids.resize(k, -1);
        out.distances.resize(k, kF32Max);
    }
    return out;
}

// ---- Reader: scratch -----------------------------------------------------------------

// What the searches reuse from call to call (see scratch_bytes for bounds).
struct IVFFlatIndexReader::Scratch {
    // Batched reads and streamed chunks land here; rows on a 4-byte boundary
    // (64 for lists of 4 KiB of rows or more).
    ScratchArray<uint8_t, 64> arena;
    std::vector<int64_t> ids;  // decoded IDs of the last batch
    std::vector<FlatListView> views;
    std::vector<FlatListRead> plans;
    std::vector<size_t> rows_at;  // arena byte where each planned list's rows start
    std::vector<size_t> id_starts;
    std::vector<uint64_t> offsets;
    std::vector<std::span<uint8_t>> buffers;
    // The parallel scan: one heap per list of the batch (a task's own, so
    // nothing depends on which thread runs which task or how many threads
    // join), the partial results of every (list, query) pair of one batch,
    // and where each list's lie. Each heap on its own cache lines: a heap's
    // fields change on every accepted candidate, and neighbouring tasks must
    // not share those lines.
    struct alignas(64) TaskHeap {
        ReaderTopKHeap heap{0};
    };
    std::vector<TaskHeap> task_heaps;
    ScratchArray<ScoredRow> partials;
    std::vector<size_t> partial_counts;
    std::vector<size_t> list_room;
    std::vector<size_t> list_base;
    std::vector<size_t> list_first_pair;
    // The batch search: the group of each list, all "none" between calls.
    std::vector<uint32_t> group_of;

    size_t bytes() const noexcept {
        size_t n = arena.bytes() + partials.bytes();
        n += ids.capacity() * sizeof(int64_t) + views.capacity() * sizeof(FlatListView);
        n += plans.capacity() * sizeof(FlatListRead) + rows_at.capacity() * sizeof(size_t);
        n += id_starts.capacity() * sizeof(size_t) + offsets.capacity() * sizeof(uint64_t);
        n += buffers.capacity() * sizeof(std::span<uint8_t>);
        n += task_heaps.capacity() * sizeof(TaskHeap);
        for (const TaskHeap& t : task_heaps) n += t.heap.capacity() * sizeof(ReaderTopKHeap::Entry);
        n += (partial_counts.capacity() + list_room.capacity() + list_base.capacity() + list_first_pair.capacity()) *
             sizeof(size_t);
        n += group_of.capacity() * sizeof(uint32_t);
        return n;
    }
};

IVFFlatIndexReader::IVFFlatIndexReader() = default;
IVFFlatIndexReader::IVFFlatIndexReader(IVFFlatIndexReader&&) noexcept = default;
IVFFlatIndexReader& IVFFlatIndexReader::operator=(IVFFlatIndexReader&&) noexcept = default;
IVFFlatIndexReader::~IVFFlatIndexReader() = default;

IVFFlatIndexReader::Scratch& IVFFlatIndexReader::scratch() {
    if (!scratch_) scratch_ = std::make_unique<Scratch>();
    return *scratch_;
}

size_t IVFFlatIndexReader::scratch_bytes() const noexcept { return scratch_ ? scratch_->bytes() : 0; }

// ---- Reader: open and load ---------------------------------------------------------

IVFFlatIndexReader IVFFlatIndexReader::open_with_header(std::unique_ptr<io::SeekRead> input,
                                                        std::span<const uint8_t, 64> header) {
    TD_ASSERT(input != nullptr, "IVF-FLAT reader needs an input");
    const fmtv::Header h = fmtv::Header::decode_from(header);
    if (h.magic != fmtv::kMagic) invalid_data("Invalid IVFFLAT magic: 0x{:08X}", h.magic);
    if (h.version != fmtv::kVersion) invalid_data("Unsupported IVFFLAT version: {}", h.version);
    util::validate_positive_i32(h.dimension, "d");
    util::validate_positive_i32(h.nlist, "nlist");
    if (h.metric > 2) invalid_data("Unknown metric type: {}", h.metric);
    util::validate_reserved_zero(header.subspan(fmtv::kReservedAt, fmtv::kReservedBytes), "IVFFLAT");
    if ((h.flags & ~fmtv::kFlagDeltaIds) != 0) {
        invalid_data("Unsupported IVFFLAT flags: 0x{:08X}", h.flags & ~fmtv::kFlagDeltaIds);
    }
    if (h.flags == 0) invalid_data("IVFFLAT v1 requires delta IDs");

    IVFFlatIndexReader reader;
    reader.input_ = std::move(input);
    reader.d_ = static_cast<size_t>(h.dimension);
    reader.nlist_ = static_cast<size_t>(h.nlist);
    reader.total_ = h.total;
    reader.metric_ = h.metric;
    return reader;
}

namespace {

// Turns the metadata bytes, fed in pieces of any size, into the centroids and
// the offset table. Memory grows with the bytes actually fed, never with the
// header's claims. The first check that fails is kept and reported after the
// last piece, so a read failure anywhere is reported first, as a single read
// of the whole section would.
class MetadataParser {
public:
    MetadataParser(uint64_t centroid_bytes, size_t nlist) : centroid_bytes_(centroid_bytes), nlist_(nlist) {}

    void feed(std::span<const uint8_t> bytes) {
        if (centroid_filled_ < centroid_bytes_) {
            const uint64_t take = std::min<uint64_t>(bytes.size(), centroid_bytes_ - centroid_filled_);
            centroids_.resize(static_cast<size_t>(div_ceil(centroid_filled_ + take, 4)));
            std::memcpy(reinterpret_cast<uint8_t*>(centroids_.data()) + centroid_filled_, bytes.data(),
                        static_cast<size_t>(take));
            centroid_filled_ += take;
            bytes = bytes.subspan(static_cast<size_t>(take));
        }
        while (!bytes.empty()) {
            if (carry_len_ == 0 && bytes.size() >= fmtv::kOffsetEntryBytes) {
                entry(bytes.data());
                bytes = bytes.subspan(fmtv::kOffsetEntryBytes);
                continue;
            }
            const size_t take = std::min(bytes.size(), fmtv::kOffsetEntryBytes - carry_len_);
            std::memcpy(carry_ + carry_len_, bytes.data(), take);
            carry_len_ += take;
            bytes = bytes.subspan(take);
            if (carry_len_ == fmtv::kOffsetEntryBytes) {
                entry(carry_);
                carry_len_ = 0;
            }
        }
    }

    // After every byte was fed: the first recorded failure, then the total.
    void finish(uint64_t header_total) const {
        TD_ASSERT(centroid_filled_ == centroid_bytes_ && offsets_.size() == nlist_ && carry_len_ == 0,
                  "IVF-FLAT metadata was not read whole");
        if (first_error_) throw *first_error_;
        if (static_cast<uint64_t>(sum_) != header_total) {
            invalid_data("IVF-FLAT header vector count {} does not match list total {}", header_total, sum_);
        }
    }

    std::vector<float> centroids_;
    std::vector<int64_t> offsets_;
    std::vector<int32_t> counts_;
    std::vector<int32_t> id_lens_;

private:
    template <class... Args>
    void record(fmt::format_string<Args...> f, Args&&... args) {
        first_error_.emplace(ErrorKind::InvalidData, fmt::format(f, std::forward<Args>(args)...));
    }

    void entry(const uint8_t* p) {
        const size_t list = offsets_.size();
        const fmtv::OffsetEntry e =
            fmtv::OffsetEntry::decode_from(std::span<const uint8_t, fmtv::kOffsetEntryBytes>(p, fmtv::kOffsetEntryBytes));
        offsets_.push_back(e.offset);
        counts_.push_back(e.count);
        id_lens_.push_back(e.id_bytes_len);
        if (first_error_) return;
        if (e.count < 0) return record("negative list count {} at list {}", e.count, list);
        std::optional<int64_t> sum = checked_add_i64(sum_, e.count);
        if (!sum) return record("IVF-FLAT vector count overflow");
        sum_ = *sum;
        if (e.id_bytes_len < 0) return record("negative id_bytes_len {} at list {}", e.id_bytes_len, list);
        if (e.count > 0 && e.id_bytes_len == 0) return record("missing delta ID bytes for non-empty IVF-FLAT list {}", list);
    }

    uint64_t centroid_bytes_;
    uint64_t centroid_filled_ = 0;
    size_t nlist_;
    uint8_t carry_[fmtv::kOffsetEntryBytes] = {};
    size_t carry_len_ = 0;
    int64_t sum_ = 0;
    std::optional<Error> first_error_;
};

}  // namespace

void IVFFlatIndexReader::ensure_loaded() {
    if (loaded_) return;
    load_metadata();
}

void IVFFlatIndexReader::load_metadata() {
    const uint64_t elements = util::checked_section_size(nlist_, d_, "section size overflow in IVF-FLAT header");
    std::optional<uint64_t> centroid_bytes = checked_mul(elements, 4);
    if (!centroid_bytes) invalid_data("IVF-FLAT centroid bytes overflow");
    std::optional<uint64_t> table_bytes = checked_mul(nlist_, fmtv::kOffsetEntryBytes);
    if (!table_bytes) invalid_data("IVF-FLAT offset table overflow");
    std::optional<uint64_t> metadata_bytes = checked_add(*centroid_bytes, *table_bytes);
    if (!metadata_bytes) invalid_data("IVF-FLAT metadata size overflow");

    // Pieces of at most metadata_piece_bytes (one read call for all of it in
    // any file whose metadata fits), so a header claiming more than the file
    // holds fails on the read before anything near its claim is allocated.
    MetadataParser parser(*centroid_bytes, nlist_);
    try {
        const uint64_t piece = std::min(*metadata_bytes, budgets_.metadata_piece_bytes);
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(piece)]);
        for (uint64_t pos = 0; pos < *metadata_bytes;) {
            const uint64_t n = std::min(piece, *metadata_bytes - pos);
            io::ReadRequest request{buffer.get(), static_cast<size_t>(n), fmtv::kHeaderBytes + pos};
            input_->pread(std::span<io::ReadRequest>(&request, 1));
            parser.feed(std::span<const uint8_t>(buffer.get(), static_cast<size_t>(n)));
            pos += n;
        }
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "IVF-FLAT metadata of {} bytes does not fit in memory", *metadata_bytes);
    }
    parser.finish(total_);

    centroids_ = std::move(parser.centroids_);
    list_offsets_ = std::move(parser.offsets_);
    list_counts_ = std::move(parser.counts_);
    id_bytes_lens_ = std::move(parser.id_lens_);
    loaded_ = true;
}

void IVFFlatIndexReader::set_read_budgets_for_testing(const ReadBudgets& budgets) {
    TD_ASSERT(budgets.stream_threshold >= 1 && budgets.stream_threshold <= util::kReadBudgetBytes,
              "stream threshold out of range");
    TD_ASSERT(budgets.id_block_budget <= util::kReadBudgetBytes, "ID block budget out of range");
    TD_ASSERT(budgets.chunk_budget >= 1 && budgets.chunk_budget <= util::kChunkBudgetBytes, "chunk budget out of range");
    TD_ASSERT(budgets.id_window_bytes >= 1, "ID window must be at least one byte");
    TD_ASSERT(budgets.metadata_piece_bytes >= 1, "metadata piece must be at least one byte");
    budgets_ = budgets;
}

int32_t IVFFlatIndexReader::list_count(size_t list) const {
    check_index(list, list_counts_.size());
    return list_counts_[list];
}

// ---- Reader: lists --------------------------------------------------------------------

uint64_t IVFFlatIndexReader::list_payload_len(size_t list) const {
    if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
    check_index(list, list_counts_.size());
    const int32_t count = list_counts_[list];
    if (count == 0) return 0;
    const int32_t id_len = id_bytes_lens_[list];
    std::optional<uint64_t> rows = count < 0 ? std::nullopt : checked_mul(static_cast<uint64_t>(count), 4);
    if (rows) rows = checked_mul(*rows, d_);
    if (rows) rows = id_len < 0 ? std::nullopt : checked_add(*rows, kIdBlockHeader + static_cast<uint64_t>(id_len));
    if (!rows) invalid_data("IVF-FLAT list payload overflow");
    return *rows;
}

size_t IVFFlatIndexReader::batch_read_end(std::span<const size_t> lists) const {
    if (lists.empty()) return 0;
    // Only the lengths up to the list that ends the batch are computed;
    // computing the rest would make a walk over many probes quadratic.
    return util::bounded_ivf_payload_batch_end(lists.size(), input_->capabilities().max_ranges_per_call,
                                               [&](size_t i) { return list_payload_len(lists[i]); });
}

std::vector<FlatListData> IVFFlatIndexReader::read_inverted_lists(std::span<const size_t> lists) {
    ensure_loaded();
    std::vector<FlatListData> result(lists.size());
    std::vector<FlatListRead> plans;
    std::vector<AlignedFlatPayload> payloads;
    for (size_t s = 0; s < lists.size(); ++s) {
        const size_t list = lists[s];
        if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
        result[s].list = list;
        const int32_t count = list_counts_[list];
        if (count == 0) continue;
        const ListPayloadPlan p = plan_list_payload(list, count, id_bytes_lens_[list], list_offsets_[list], d_);
        plans.push_back(FlatListRead{s, list, count, p.id_len, p.offset});
        payloads.emplace_back(p.total, p.prefix, p.row_bytes);
    }
    if (plans.empty()) return result;

    std::vector<uint64_t> offsets;
    std::vector<std::span<uint8_t>> buffers;
    offsets.reserve(plans.size());
    buffers.reserve(plans.size());
    for (size_t j = 0; j < plans.size(); ++j) {
        offsets.push_back(plans[j].offset);
        buffers.push_back(payloads[j].read_buf_mut());
    }
    util::pread_batched_slices_with_limit(*input_, offsets, buffers, util::kReadBudgetBytes);

    for (size_t j = 0; j < plans.size(); ++j) {
        const FlatListRead& plan = plans[j];
        const std::span<const uint8_t> bytes = payloads[j].read_bytes();
        const int64_t base = batched_payload_base(bytes, plan.id_bytes_len);
        FlatListData& out = result[plan.slot];
        // Bytes after `count` gaps are ignored here: the rows start at the
        // table's 12 + ID-byte length either way.
        out.ids = decode_delta_varint_ids(
            base, bytes.subspan(kIdBlockHeader, static_cast<size_t>(plan.id_bytes_len)), static_cast<uint64_t>(plan.count));
        out.rows = std::move(payloads[j]);
    }
    return result;
}

std::span<const FlatListView> IVFFlatIndexReader::read_inverted_list_views(std::span<const size_t> lists) {
    ensure_loaded();
    Scratch& sc = scratch();
    sc.views.assign(lists.size(), FlatListView{});
    sc.plans.clear();
    sc.rows_at.clear();
    // Planning: the checks of read_inverted_lists in its order, and where
    // each window goes in the arena.
    uint64_t arena_bytes = 0;
    uint64_t id_room = 0;
    for (size_t s = 0; s < lists.size(); ++s) {
        const size_t list = lists[s];
        if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
        sc.views[s].list = list;
        const int32_t count = list_counts_[list];
        if (count == 0) continue;
        const ListPayloadPlan p = plan_list_payload(list, count, id_bytes_lens_[list], list_offsets_[list], d_);
        aligned_payload_layout(p.total, p.prefix, p.row_bytes);
        // Rows of 4 KiB or more start on a cache line; smaller lists pay at
        // most 3 pad bytes.
        const uint64_t align = p.row_bytes >= 4096 ? 64 : 4;
        std::optional<uint64_t> rows_end = checked_add(arena_bytes, p.prefix);
        if (rows_end) rows_end = checked_add(*rows_end, align - 1);
        if (!rows_end) panic("capacity overflow");
        const uint64_t rows_at = *rows_end / align * align;
        std::optional<uint64_t> end = checked_add(rows_at, p.row_bytes);
        if (!end) panic("capacity overflow");
        check_capacity(*end, 1);
        arena_bytes = *end;
        id_room += std::min<uint64_t>(static_cast<uint64_t>(count), static_cast<uint64_t>(p.id_len));
        sc.plans.push_back(FlatListRead{s, list, count, p.id_len, p.offset});
        sc.rows_at.push_back(static_cast<size_t>(rows_at));
    }
    if (sc.plans.empty()) return sc.views;

    uint8_t* const arena = sc.arena.reserve(static_cast<size_t>(arena_bytes));
    sc.offsets.clear();
    sc.buffers.clear();
    for (size_t j = 0; j < sc.plans.size(); ++j) {
        const FlatListRead& plan = sc.plans[j];
        const size_t prefix = kIdBlockHeader + static_cast<size_t>(plan.id_bytes_len);
        const size_t row_bytes = static_cast<size_t>(plan.count) * 4 * d_;
        sc.offsets.push_back(plan.offset);
        sc.buffers.emplace_back(arena + sc.rows_at[j] - prefix, prefix + row_bytes);
    }
    util::pread_batched_slices_with_limit(*input_, sc.offsets, sc.buffers, util::kReadBudgetBytes);

    // Every gap takes at least one byte: the ID sections just read bound the
    // IDs, whatever the counts claim.
    sc.ids.clear();
    if (sc.ids.capacity() < id_room) sc.ids.reserve(static_cast<size_t>(id_room));
    sc.id_starts.clear();
    for (size_t j = 0; j < sc.plans.size(); ++j) {
        const FlatListRead& plan = sc.plans[j];
        const std::span<const uint8_t> bytes = sc.buffers[j];
        const int64_t base = batched_payload_base(bytes, plan.id_bytes_len);
        sc.id_starts.push_back(sc.ids.size());
        util::append_delta_varint_ids(base, bytes.subspan(kIdBlockHeader, static_cast<size_t>(plan.id_bytes_len)),
                                      static_cast<uint64_t>(plan.count), kBatchIdMessages, sc.ids);
    }
    for (size_t j = 0; j < sc.plans.size(); ++j) {
        const FlatListRead& plan = sc.plans[j];
        const size_t count = static_cast<size_t>(plan.count);
        FlatListView& view = sc.views[plan.slot];
        view.ids = std::span<const int64_t>(sc.ids.data() + sc.id_starts[j], count);
        view.rows = std::span<const float>(reinterpret_cast<const float*>(arena + sc.rows_at[j]), count * d_);
    }
    return sc.views;
}

namespace {

// The ID section of one list, read in windows of a fixed size and decoded
// gap by gap, for lists whose decoded IDs alone would exceed the read budget.
// Messages are those of the shared (streamed) decoder.
class IdSectionCursor {
public:
    IdSectionCursor(const io::SeekRead& input, uint64_t section_offset, uint64_t section_len, uint64_t window,
                    int64_t base)
        : input_(input),
          next_offset_(section_offset),
          unread_(section_len),
          window_(std::min(window, section_len)),
          previous_(static_cast<uint64_t>(base)) {
        buffer_.reset(new uint8_t[static_cast<size_t>(std::max<uint64_t>(window_, 1))]);
    }

    // Replaces `out` with the next n IDs.
    void next_ids(size_t n, std::vector<int64_t>& out) {
        out.clear();
        for (size_t i = 0; i < n; ++i) {
            previous_ = util::next_delta_varint_id(previous_, util::kDeltaVarintMessages, [this] { return next_byte(); });
            out.push_back(static_cast<int64_t>(previous_));
        }
    }

    // After the last ID: the whole section must have been used.
    void finish() const {
        if (pos_ != filled_ || unread_ != 0) invalid_data("trailing bytes in delta-varint ID section");
    }

private:
    uint8_t next_byte() {
        if (pos_ == filled_) refill();
        return buffer_[pos_++];
    }
    void refill() {
        if (unread_ == 0) invalid_data("{}", util::kDeltaVarintMessages.truncated);
        const uint64_t n = std::min(window_, unread_);
        io::ReadRequest request{buffer_.get(), static_cast<size_t>(n), next_offset_};
        input_.pread(std::span<io::ReadRequest>(&request, 1));
        next_offset_ += n;
        unread_ -= n;
        pos_ = 0;
        filled_ = static_cast<size_t>(n);
    }

    const io::SeekRead& input_;
    uint64_t next_offset_;
    uint64_t unread_;
    uint64_t window_;
    uint64_t previous_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t pos_ = 0;
    size_t filled_ = 0;
};

struct RowGeometry {
    uint64_t row_bytes;
    uint64_t row_start;
};

RowGeometry row_geometry(size_t d, uint64_t offset, uint64_t id_len) {
    std::optional<uint64_t> row_bytes = checked_mul(d, 4);
    if (!row_bytes) invalid_data("IVF-FLAT row size overflow");
    std::optional<uint64_t> row_start = checked_add(offset, id_len);
    if (row_start) row_start = checked_add(*row_start, kIdBlockHeader);
    if (!row_start) invalid_data("IVF-FLAT vector offset overflow");
    return {*row_bytes, *row_start};
}

// Reads rows [first, first + rows) into `arena` with one host call; the rows
// stay valid until the arena is used again.
std::span<const float> read_row_chunk(const io::SeekRead& input, const RowGeometry& g, uint64_t first, uint64_t rows,
                                      ScratchArray<uint8_t, 64>& arena) {
    std::optional<uint64_t> chunk_bytes = checked_mul(rows, g.row_bytes);
    if (!chunk_bytes) invalid_data("IVF-FLAT chunk size overflow");
    aligned_payload_layout(*chunk_bytes, 0, *chunk_bytes);
    std::optional<uint64_t> chunk_offset = checked_mul(first, g.row_bytes);
    if (chunk_offset) chunk_offset = checked_add(*chunk_offset, g.row_start);
    if (!chunk_offset) invalid_data("IVF-FLAT chunk offset overflow");
    const size_t len = static_cast<size_t>(*chunk_bytes);
    uint8_t* const buffer = arena.reserve(len);
    io::ReadRequest request{buffer, len, *chunk_offset};
    input.pread(std::span<io::ReadRequest>(&request, 1));
    return {reinterpret_cast<const float*>(buffer), len / 4};
}

}  // namespace

void IVFFlatIndexReader::read_list_streamed(size_t list, const ChunkConsumer& consumer) {
    ensure_loaded();
    if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
    const int32_t count = list_counts_[list];
    const int32_t id_len = id_bytes_lens_[list];
    const uint64_t offset = util::checked_list_offset(list_offsets_[list], list);
    if (count <= 0) return;  // nothing to stream
    TD_ASSERT(id_len >= 0, "IVF-FLAT table holds a negative ID length");
    const uint64_t n = static_cast<uint64_t>(count);
    const uint64_t ids_at_once = kIdBlockHeader + static_cast<uint64_t>(id_len) + 8 * n;
    if (ids_at_once <= budgets_.id_block_budget) {
        read_ids_then_chunks(offset, n, static_cast<uint64_t>(id_len), consumer);
    } else {
        read_ids_with_chunks(offset, n, static_cast<uint64_t>(id_len), consumer);
    }
}

void IVFFlatIndexReader::read_ids_then_chunks(uint64_t offset, uint64_t count, uint64_t id_len,
                                              const ChunkConsumer& consumer) {
    const std::vector<int64_t> ids = util::read_delta_varint_ids_at(*input_, offset, count, id_len, "IVF-FLAT");
    const RowGeometry g = row_geometry(d_, offset, id_len);
    // A lowered chunk budget is the shared rule with that much more held.
    const uint64_t fixed = 8 * static_cast<uint64_t>(ids.size()) + (util::kChunkBudgetBytes - budgets_.chunk_budget);
    for (uint64_t first = 0; first < count;) {
        const uint64_t rows = util::bounded_ivf_stream_chunk_rows(count - first, g.row_bytes, fixed, 1);
        const std::span<const float> chunk = read_row_chunk(*input_, g, first, rows, scratch().arena);
        consumer(std::span<const int64_t>(ids).subspan(static_cast<size_t>(first), static_cast<size_t>(rows)), chunk);
        first += rows;
    }
}

void IVFFlatIndexReader::read_ids_with_chunks(uint64_t offset, uint64_t count, uint64_t id_len,
                                              const ChunkConsumer& consumer) {
    // The ID block header alone first: its length must match the table.
    uint8_t header[kIdBlockHeader];
    io::ReadRequest request{header, sizeof header, offset};
    input_->pread(std::span<io::ReadRequest>(&request, 1));
    const int32_t stored = util::load_le<int32_t>(header, 8);
    if (stored < 0 || static_cast<uint64_t>(stored) != id_len) {
        invalid_data("IVF-FLAT ID length does not match the offset table");
    }
    const int64_t base = util::load_le<int64_t>(header, 0);
    const RowGeometry g = row_geometry(d_, offset, id_len);

    // Each chunk holds the ID window, its rows and their decoded IDs, all
    // within the chunk budget.
    IdSectionCursor cursor(*input_, offset + kIdBlockHeader, id_len, budgets_.id_window_bytes, base);
    const uint64_t window = std::min(budgets_.id_window_bytes, id_len);
    const uint64_t fixed = window + (util::kChunkBudgetBytes - budgets_.chunk_budget);
    std::vector<int64_t> ids;
    for (uint64_t first = 0; first < count;) {
        const uint64_t rows = util::bounded_ivf_stream_chunk_rows(count - first, g.row_bytes + 8, fixed, 1);
        if (ids.capacity() < rows) ids.reserve(static_cast<size_t>(rows));
        cursor.next_ids(static_cast<size_t>(rows), ids);
        const std::span<const float> chunk = read_row_chunk(*input_, g, first, rows, scratch().arena);
        consumer(ids, chunk);
        first += rows;
    }
    cursor.finish();
}

// ---- Searches ------------------------------------------------------------------------

// Partial results and task heaps above these are released after the batch
// that needed them instead of being kept for the next one.
constexpr size_t kKeptPartialBytes = size_t{64} << 20;
constexpr size_t kKeptTaskHeapEntries = size_t{1} << 16;

// Reads and scans `order` (distinct lists) for the queries of each position:
// batches of consecutive lists within the read budget, scanned serially or
// one pool task per list; lists above the stream threshold streamed alone.
// Heap q receives the candidates of its lists in `order`, within a list in row
// order (serial) or as that list's ascending best k (parallel).
void IVFFlatIndexReader::walk_lists(std::span<const size_t> order, std::span<const std::span<const size_t>> query_sets,
                                    std::span<const float> queries, std::span<ReaderTopKHeap> heaps, size_t k,
                                    const RowIdFilter* filter) {
    const size_t d = d_;
    const uint32_t metric = metric_;
    const uint64_t threshold = budgets_.stream_threshold;
    auto query_of = [&](size_t q) { return queries.subspan(q * d, d); };

    size_t p = 0;
    while (p < order.size()) {
        if (list_payload_len(order[p]) > threshold) {
            const std::span<const size_t> set = query_sets[p];
            read_list_streamed(order[p], [&](std::span<const int64_t> ids, std::span<const float> rows) {
                for (size_t q : set) scan_flat_rows(query_of(q), ids, rows, d, metric, filter, heaps[q]);
            });
            ++p;
            continue;
        }
        const size_t g = batch_read_end(order.subspan(p));
        size_t end = std::min(order.size(), p + std::max<size_t>(g, 1));
        // Only a lowered stream threshold can put a list to stream inside a batch.
        if (threshold < index_io_util::kReadBudgetBytes) {
            for (size_t j = p + 1; j < end; ++j) {
                if (list_payload_len(order[j]) > threshold) {
                    end = j;
                    break;
                }
            }
        }
        const std::span<const FlatListView> lists = read_inverted_list_views(order.subspan(p, end - p));

        uint64_t work = 0;
        for (size_t j = 0; j < lists.size(); ++j) {
            const uint64_t rows = lists[j].ids.size();
            work = saturating_add(work, saturating_mul(saturating_mul(rows, query_sets[p + j].size()), d));
        }
        if (lists.size() >= 2 && work > kParallelScanWork) {
            scan_batch_in_parallel(lists, query_sets.subspan(p, lists.size()), queries, heaps, k, filter);
        } else {
            for (size_t j = 0; j < lists.size(); ++j) {
                for (size_t q : query_sets[p + j]) {
                    scan_flat_rows(query_of(q), lists[j].ids, lists[j].rows, d, metric, filter, heaps[q]);
                }
            }
        }
        p = end;
    }
}

// One pool task per list; within a task the list's queries one after the
// other, each into the task's heap, its ascending best k kept apart. Then, on
// the calling thread, list by list and query by query, each partial result is
// pushed into its query's heap.
void IVFFlatIndexReader::scan_batch_in_parallel(std::span<const FlatListView> lists,
                                                std::span<const std::span<const size_t>> query_sets,
                                                std::span<const float> queries, std::span<ReaderTopKHeap> heaps,
                                                size_t k, const RowIdFilter* filter) {
    const size_t d = d_;
    const uint32_t metric = metric_;
    Scratch& sc = scratch();
    const size_t n = lists.size();
    // A task can offer at most its list's rows: a huge k must not make every
    // pair hold k places.
    sc.list_room.resize(n);
    sc.list_base.resize(n);
    sc.list_first_pair.resize(n);
    uint64_t places = 0;
    size_t pairs = 0;
    for (size_t j = 0; j < n; ++j) {
        const size_t room = std::min(k, lists[j].ids.size());
        sc.list_room[j] = room;
        sc.list_base[j] = static_cast<size_t>(places);
        sc.list_first_pair[j] = pairs;
        std::optional<uint64_t> next = checked_mul(room, query_sets[j].size());
        if (next) next = checked_add(places, *next);
        if (!next) panic("capacity overflow");
        places = *next;
        check_capacity(places, sizeof(ScoredRow));
        pairs += query_sets[j].size();
    }
    ScoredRow* const partials = sc.partials.reserve(static_cast<size_t>(places));
    sc.partial_counts.resize(pairs);

    // Each list's task has a heap of its own, given its room here so no task
    // allocates.
    if (sc.task_heaps.size() < n) sc.task_heaps.resize(n);
    for (size_t j = 0; j < n; ++j) sc.task_heaps[j].heap.reset(sc.list_room[j], sc.list_room[j]);
    pool::parallel_for_each_index(n, [&](size_t j) {
        ReaderTopKHeap& heap = sc.task_heaps[j].heap;
        const std::span<const size_t> set = query_sets[j];
        const size_t room = sc.list_room[j];
        for (size_t t = 0; t < set.size(); ++t) {
            heap.reset(k, lists[j].ids.size());
            scan_flat_rows(queries.subspan(set[t] * d, d), lists[j].ids, lists[j].rows, d, metric, filter, heap);
            const std::span<const ReaderTopKHeap::Entry> sorted = heap.sort_in_place();
            ScoredRow* out = partials + sc.list_base[j] + t * room;
            for (const ReaderTopKHeap::Entry& e : sorted) *out++ = ScoredRow{e.distance, e.row_id};
            sc.partial_counts[sc.list_first_pair[j] + t] = sorted.size();
        }
    });
    for (size_t j = 0; j < n; ++j) {
        const std::span<const size_t> set = query_sets[j];
        for (size_t t = 0; t < set.size(); ++t) {
            const ScoredRow* part = partials + sc.list_base[j] + t * sc.list_room[j];
            merge_flat_results(heaps[set[t]], std::span<const ScoredRow>(part, sc.partial_counts[sc.list_first_pair[j] + t]));
        }
    }
    if (sc.partials.bytes() > kKeptPartialBytes) sc.partials.release();
    size_t heap_entries = 0;
    for (const Scratch::TaskHeap& t : sc.task_heaps) heap_entries += t.heap.capacity();
    if (heap_entries > kKeptTaskHeapEntries) std::vector<Scratch::TaskHeap>().swap(sc.task_heaps);
}

namespace {

constexpr size_t kSingleQuery[1] = {0};

}  // namespace

SearchResult IVFFlatIndexReader::search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                                    const row_id_filter::RowIdFilter* filter) {
    ensure_loaded();
    if (query.size() != d_) invalid_input("query length {} does not match index dimension {}", query.size(), d_);
    if (k == 0) invalid_input("k must be greater than 0");
    if (nprobe == 0) invalid_input("nprobe must be greater than 0");

    std::vector<float> q(query.begin(), query.end());
    if (metric_ == kMetricCosine) distance::fvec_normalize(q);
    const kmeans::TopK probes = kmeans::find_topk(q, centroids_, nlist_, d_, nprobe);

    uint64_t offerable = 0;
    for (size_t list : probes.lists) offerable = saturating_add(offerable, static_cast<uint64_t>(list_count(list)));
    ReaderTopKHeap heap(k, static_cast<size_t>(offerable));

    const std::vector<std::span<const size_t>> sets(probes.lists.size(), std::span<const size_t>(kSingleQuery));
    walk_lists(probes.lists, sets, q, std::span<ReaderTopKHeap>(&heap, 1), k, filter);
    return padded_flat_results(std::move(heap), k);
}

void validate_batch_seed(std::span<const int64_t> seed_ids, std::span<const float> seed_distances, size_t nq,
                         size_t k) {
    std::optional<uint64_t> total = checked_mul(nq, k);
    if (!total) invalid_input("nq * k overflows usize");
    const bool both_empty = seed_ids.empty() && seed_distances.empty();
    if (!both_empty && (seed_ids.size() != *total || seed_distances.size() != *total)) {
        invalid_input("seed result lengths must both equal nq * k");
    }
}

SearchResult search_batch_ivfflat_reader_filter_range(IVFFlatIndexReader& reader, std::span<const float> queries,
                                                      size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                      std::span<const int64_t> seed_ids,
                                                      std::span<const float> seed_distances,
                                                      const row_id_filter::RowIdFilter* filter) {
    reader.ensure_loaded();
    const size_t d = reader.dimension();
    const size_t nlist = reader.nlist();
    util::validate_batch_queries(queries, nq, d, k);
    if (probe_start >= probe_end) invalid_input("probe range must be non-empty");
    validate_batch_seed(seed_ids, seed_distances, nq, k);
    const size_t total = nq * k;

    std::vector<float> q(queries.begin(), queries.end());
    if (reader.metric() == kMetricCosine) {
        for (size_t i = 0; i < nq; ++i) distance::fvec_normalize(std::span<float>(q).subspan(i * d, d));
    }
    const kmeans::TopKBatch probes = kmeans::find_topk_batch(q, nq, reader.centroids(), nlist, d, probe_end);

    // Lists in order of first appearance over the queries; each list's
    // queries ascending (stored flat, one span per list).
    // group_of is the reader's: all kNone between calls, so a call touches
    // only the entries of the lists it probes.
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t>& group_of = reader.scratch().group_of;
    if (group_of.size() != nlist) group_of.assign(nlist, kNone);
    std::vector<size_t> order;
    struct ClearGroups {
        std::vector<uint32_t>& group_of;
        const std::vector<size_t>& order;
        ~ClearGroups() {
            for (size_t l : order) group_of[l] = kNone;
        }
    } clear_groups{group_of, order};
    std::vector<size_t> group_sizes;
    for (size_t i = 0; i < nq; ++i) {
        const std::vector<size_t>& lists = probes.lists[i];
        for (size_t r = probe_start; r < lists.size(); ++r) {
            const size_t l = lists[r];
            if (group_of[l] == kNone) {
                order.push_back(l);  // first, so the guard clears whatever was set
                group_of[l] = static_cast<uint32_t>(order.size() - 1);
                group_sizes.push_back(0);
            }
            ++group_sizes[group_of[l]];
        }
    }
    std::vector<size_t> starts(order.size() + 1, 0);
    for (size_t g = 0; g < order.size(); ++g) starts[g + 1] = starts[g] + group_sizes[g];
    std::vector<size_t> members(starts.back());
    std::vector<uint64_t> offerable(nq, 0);
    {
        std::vector<size_t> fill(starts.begin(), starts.end() - 1);
        for (size_t i = 0; i < nq; ++i) {
            const std::vector<size_t>& lists = probes.lists[i];
            for (size_t r = probe_start; r < lists.size(); ++r) {
                const size_t l = lists[r];
                members[fill[group_of[l]]++] = i;
                offerable[i] = saturating_add(offerable[i], static_cast<uint64_t>(reader.list_count(l)));
            }
        }
    }
    std::vector<std::span<const size_t>> sets;
    sets.reserve(order.size());
    for (size_t g = 0; g < order.size(); ++g) sets.emplace_back(members.data() + starts[g], starts[g + 1] - starts[g]);

    // Heaps reserve what their query can be offered, never more than k.
    const bool seeded = !seed_ids.empty();
    std::vector<ReaderTopKHeap> heaps;
    heaps.reserve(nq);
    for (size_t i = 0; i < nq; ++i) {
        uint64_t offers = offerable[i];
        if (seeded) {
            for (size_t j = i * k; j < i * k + k; ++j) offers = saturating_add(offers, seed_distances[j] != kF32Max ? 1 : 0);
        }
        heaps.emplace_back(k, static_cast<size_t>(offers));
    }
    seed_flat_heaps(heaps, seed_ids, seed_distances, k);

    reader.walk_lists(order, sets, q, heaps, k, filter);

    check_capacity(total, sizeof(int64_t));
    SearchResult out;
    out.ids.assign(total, -1);
    out.distances.assign(total, kF32Max);
    for (size_t i = 0; i < nq; ++i) {
        const PartialResult sorted = std::move(heaps[i]).into_sorted();
        for (size_t j = 0; j < sorted.size(); ++j) {
            out.ids[i * k + j] = sorted[j].row_id;
            out.distances[i * k + j] = sorted[j].distance;
        }
    }
    return out;
}

}  // namespace tavren::ivfflat_io
