#include "ivf_lists.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "ivf_format.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivf_lists {

void advise_large_pages(void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kLarge = uintptr_t{2} << 20;
    if (p == nullptr || bytes < 2 * kLarge) return;
    // The whole large pages inside the allocation.
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kLarge - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void prefault_pages(void* p, size_t bytes) {
    constexpr size_t kPage = 4096;
    constexpr size_t kPiece = size_t{2} << 20;  // one large page per task
    if (p == nullptr || bytes < 2 * kPiece || pool::current_num_threads() < 2) return;
    uint8_t* const base = static_cast<uint8_t*>(p);
    const size_t pieces = (bytes + kPiece - 1) / kPiece;
    pool::parallel_for(0, pieces, 1, [&](size_t lo, size_t hi) {
        const size_t end = std::min(bytes, hi * kPiece);
        for (size_t at = lo * kPiece; at < end; at += kPage) {
            // volatile: the store must happen although nothing reads it back.
            *static_cast<volatile uint8_t*>(base + at) = 0;
        }
    });
}

namespace util = index_io_util;

namespace {

constexpr uint64_t kIdBlockHeader = ivf_format::kIdBlockHeaderBytes;

// The checks of an aligned read buffer of `total_len` bytes whose codes start
// after `prefix_len` bytes: its pad (so the codes land on a 4-byte boundary)
// and its size in 4-byte words.
struct PayloadLayout {
    uint64_t pad;
    uint64_t words;
};

PayloadLayout aligned_payload_layout(uint64_t total_len, uint64_t prefix_len, uint64_t code_bytes,
                                     const ListFormat& format) {
    std::optional<uint64_t> expected = checked_add(prefix_len, code_bytes);
    if (!expected) invalid_data("{} vector suffix overflow", format.family);
    if (total_len != *expected || code_bytes % format.code_align != 0) {
        invalid_data("{} vector suffix has an invalid shape", format.family);
    }
    const uint64_t pad = (4 - prefix_len % 4) % 4;
    std::optional<uint64_t> padded = checked_add(total_len, pad);
    if (!padded) invalid_data("{} aligned payload overflow", format.family);
    const uint64_t words = div_ceil(*padded, 4);
    check_capacity(words, sizeof(float));
    return {pad, words};
}

// Where one non-empty list's payload lies and how it splits into the ID
// block and the codes, with every size checked against overflow.
struct ListPayloadPlan {
    int32_t id_len;
    uint64_t offset;      // payload offset in the file
    uint64_t prefix;      // ID block header + ID bytes
    uint64_t code_bytes;  // count x code_size
    uint64_t total;       // prefix + code_bytes
};

ListPayloadPlan plan_list_payload(size_t list, int32_t count, int32_t id_len, uint64_t stored_offset,
                                  const ListFormat& format) {
    const uint64_t offset = util::checked_list_offset(stored_offset, list);
    const std::optional<uint64_t> code_bytes = ivf_format::list_code_bytes(count, format.code_size);
    if (!code_bytes) invalid_data("{} list byte size overflow", format.family);
    const std::optional<uint64_t> total = ivf_format::list_payload_len(id_len, *code_bytes);
    if (!total) invalid_data("{} list payload overflow", format.family);
    const uint64_t prefix = kIdBlockHeader + static_cast<uint64_t>(id_len);
    return ListPayloadPlan{id_len, offset, prefix, *code_bytes, *total};
}

// The base ID of a list payload read in a batch, whose stored ID-byte length
// must be the table's.
int64_t batched_payload_base(std::span<const uint8_t> payload, int32_t id_len, const ListFormat& format) {
    check_len(kIdBlockHeader, payload.size());
    const ivf_format::IdBlockHeader h = ivf_format::IdBlockHeader::decode_from(
        std::span<const uint8_t, ivf_format::kIdBlockHeaderBytes>(payload.data(), ivf_format::kIdBlockHeaderBytes));
    if (id_len < 0 || !h.matches_table(static_cast<uint64_t>(id_len))) {
        invalid_data("{} id_bytes_len mismatch", format.family);
    }
    return h.base_id;
}

constexpr util::DeltaVarintMessages kBatchIdMessages{"truncated varint", "varint exceeds u64 range",
                                                     "varint exceeds 64 bits"};

// Turns the metadata bytes, fed in pieces of any size, into the centroids and
// the offset table. Memory grows with the bytes actually fed, never with the
// header's claims. The first check that fails is kept and reported after the
// last piece, so a read failure anywhere is reported first, as a single read
// of the whole section would.
class MetadataParser {
public:
    MetadataParser(uint64_t centroid_bytes, size_t nlist, std::string_view family)
        : centroid_bytes_(centroid_bytes), nlist_(nlist), family_(family) {}

    void feed(std::span<const uint8_t> bytes) {
        if (centroid_filled_ < centroid_bytes_) {
            const uint64_t take = std::min<uint64_t>(bytes.size(), centroid_bytes_ - centroid_filled_);
            out_.centroids.resize(static_cast<size_t>(div_ceil(centroid_filled_ + take, 4)));
            std::memcpy(reinterpret_cast<uint8_t*>(out_.centroids.data()) + centroid_filled_, bytes.data(),
                        static_cast<size_t>(take));
            centroid_filled_ += take;
            bytes = bytes.subspan(static_cast<size_t>(take));
        }
        while (!bytes.empty()) {
            if (carry_len_ == 0 && bytes.size() >= ivf_format::kOffsetEntryBytes) {
                entry(bytes.data());
                bytes = bytes.subspan(ivf_format::kOffsetEntryBytes);
                continue;
            }
            const size_t take = std::min(bytes.size(), ivf_format::kOffsetEntryBytes - carry_len_);
            std::memcpy(carry_ + carry_len_, bytes.data(), take);
            carry_len_ += take;
            bytes = bytes.subspan(take);
            if (carry_len_ == ivf_format::kOffsetEntryBytes) {
                entry(carry_);
                carry_len_ = 0;
            }
        }
    }

    // After every byte was fed: the first recorded failure, then the total.
    Metadata finish(uint64_t header_total) && {
        TD_ASSERT(centroid_filled_ == centroid_bytes_ && out_.table.offsets.size() == nlist_ && carry_len_ == 0,
                  "IVF metadata was not read whole");
        if (first_error_) throw *first_error_;
        if (static_cast<uint64_t>(sum_) != header_total) {
            invalid_data("{} header vector count {} does not match list total {}", family_, header_total, sum_);
        }
        return std::move(out_);
    }

private:
    template <class... Args>
    void record(fmt::format_string<Args...> f, Args&&... args) {
        first_error_.emplace(ErrorKind::InvalidData, fmt::format(f, std::forward<Args>(args)...));
    }

    void entry(const uint8_t* p) {
        ListTable& t = out_.table;
        const size_t list = t.offsets.size();
        const ivf_format::OffsetEntry e = ivf_format::OffsetEntry::decode_from(
            std::span<const uint8_t, ivf_format::kOffsetEntryBytes>(p, ivf_format::kOffsetEntryBytes));
        t.offsets.push_back(e.offset);
        t.counts.push_back(e.count);
        t.id_bytes_lens.push_back(e.id_bytes_len);
        if (first_error_) return;
        if (e.count < 0) return record("negative list count {} at list {}", e.count, list);
        std::optional<int64_t> sum = checked_add_i64(sum_, e.count);
        if (!sum) return record("{} vector count overflow", family_);
        sum_ = *sum;
        if (e.id_bytes_len < 0) return record("negative id_bytes_len {} at list {}", e.id_bytes_len, list);
        if (e.count > 0 && e.id_bytes_len == 0) {
            return record("missing delta ID bytes for non-empty {} list {}", family_, list);
        }
    }

    uint64_t centroid_bytes_;
    uint64_t centroid_filled_ = 0;
    size_t nlist_;
    std::string_view family_;
    Metadata out_;
    uint8_t carry_[ivf_format::kOffsetEntryBytes] = {};
    size_t carry_len_ = 0;
    int64_t sum_ = 0;
    std::optional<Error> first_error_;
};

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

RowGeometry row_geometry(const ListFormat& format, uint64_t offset, uint64_t id_len) {
    std::optional<uint64_t> row_start = checked_add(offset, id_len);
    if (row_start) row_start = checked_add(*row_start, kIdBlockHeader);
    if (!row_start) invalid_data("{} vector offset overflow", format.family);
    return {format.code_size, *row_start};
}

// Reads rows [first, first + rows) of a list of `count` rows into `arena`
// with one host call (a transposed format: one stripe per code byte, within
// the read budget and the host's range cap); the codes stay valid until the
// arena is used again.
std::span<const uint8_t> read_row_chunk(const io::SeekRead& input, const RowGeometry& g, uint64_t first,
                                        uint64_t rows, uint64_t count, ScratchArray<uint8_t, 64>& arena,
                                        const ListFormat& format) {
    std::optional<uint64_t> chunk_bytes = checked_mul(rows, g.row_bytes);
    if (!chunk_bytes) invalid_data("{} chunk size overflow", format.family);
    aligned_payload_layout(*chunk_bytes, 0, *chunk_bytes, format);
    if (format.transposed) {
        // Code byte k of chunk row r lands at k * rows + r.
        const size_t len = static_cast<size_t>(*chunk_bytes);
        uint8_t* const buffer = arena.reserve(len);
        std::vector<uint64_t> offsets(static_cast<size_t>(g.row_bytes));
        std::vector<std::span<uint8_t>> stripes(static_cast<size_t>(g.row_bytes));
        for (uint64_t k = 0; k < g.row_bytes; ++k) {
            std::optional<uint64_t> at = checked_mul(k, count);
            if (at) at = checked_add(*at, first);
            if (at) at = checked_add(*at, g.row_start);
            if (!at) invalid_data("{} transposed chunk offset overflow", format.family);
            offsets[k] = *at;
            stripes[k] = std::span<uint8_t>(buffer + k * rows, static_cast<size_t>(rows));
        }
        util::pread_batched_slices_with_limit(input, offsets, stripes, util::kReadBudgetBytes);
        return {buffer, len};
    }
    std::optional<uint64_t> chunk_offset = checked_mul(first, g.row_bytes);
    if (chunk_offset) chunk_offset = checked_add(*chunk_offset, g.row_start);
    if (!chunk_offset) invalid_data("{} chunk offset overflow", format.family);
    const size_t len = static_cast<size_t>(*chunk_bytes);
    uint8_t* const buffer = arena.reserve(len);
    io::ReadRequest request{buffer, len, *chunk_offset};
    input.pread(std::span<io::ReadRequest>(&request, 1));
    return {buffer, len};
}

}  // namespace

void check_read_budgets(const ReadBudgets& budgets) {
    TD_ASSERT(budgets.stream_threshold >= 1 && budgets.stream_threshold <= util::kReadBudgetBytes,
              "stream threshold out of range");
    TD_ASSERT(budgets.id_block_budget <= util::kReadBudgetBytes, "ID block budget out of range");
    TD_ASSERT(budgets.chunk_budget >= 1 && budgets.chunk_budget <= util::kChunkBudgetBytes, "chunk budget out of range");
    TD_ASSERT(budgets.id_window_bytes >= 1, "ID window must be at least one byte");
    TD_ASSERT(budgets.metadata_piece_bytes >= 1, "metadata piece must be at least one byte");
}

std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count) {
    return util::decode_delta_varint_ids(base, section, count, kBatchIdMessages, util::TrailingBytes::Ignored);
}

// ---- Read buffers ----------------------------------------------------------------------

AlignedPayload::AlignedPayload(uint64_t total_len, uint64_t prefix_len, uint64_t code_bytes,
                               const ListFormat& format) {
    const PayloadLayout layout = aligned_payload_layout(total_len, prefix_len, code_bytes, format);
    pad_ = static_cast<size_t>(layout.pad);
    total_len_ = static_cast<size_t>(total_len);
    prefix_len_ = static_cast<size_t>(prefix_len);
    code_bytes_ = static_cast<size_t>(code_bytes);
    if (layout.words == 0) return;
    // The read fills the window; only the bytes around it need zeroing.
    storage_.reset(new float[static_cast<size_t>(layout.words)]);
    storage_[0] = 0.0f;
    storage_[static_cast<size_t>(layout.words) - 1] = 0.0f;
}

// ---- Metadata --------------------------------------------------------------------------

Metadata load_metadata(const io::SeekRead& input, uint64_t start, size_t nlist, size_t d, uint64_t header_total,
                       const ReadBudgets& budgets, std::string_view family) {
    const uint64_t elements =
        util::checked_section_size(nlist, d, fmt::format("section size overflow in {} header", family));
    std::optional<uint64_t> centroid_bytes = checked_mul(elements, 4);
    if (!centroid_bytes) invalid_data("{} centroid bytes overflow", family);
    std::optional<uint64_t> table_bytes = checked_mul(nlist, ivf_format::kOffsetEntryBytes);
    if (!table_bytes) invalid_data("{} offset table overflow", family);
    std::optional<uint64_t> metadata_bytes = checked_add(*centroid_bytes, *table_bytes);
    if (!metadata_bytes) invalid_data("{} metadata size overflow", family);

    // Pieces of at most metadata_piece_bytes (one read call for all of it in
    // any file whose metadata fits), so a header claiming more than the file
    // holds fails on the read before anything near its claim is allocated.
    MetadataParser parser(*centroid_bytes, nlist, family);
    try {
        const uint64_t piece = std::min(*metadata_bytes, budgets.metadata_piece_bytes);
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(piece)]);
        for (uint64_t pos = 0; pos < *metadata_bytes;) {
            const uint64_t n = std::min(piece, *metadata_bytes - pos);
            io::ReadRequest request{buffer.get(), static_cast<size_t>(n), start + pos};
            input.pread(std::span<io::ReadRequest>(&request, 1));
            parser.feed(std::span<const uint8_t>(buffer.get(), static_cast<size_t>(n)));
            pos += n;
        }
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "{} metadata of {} bytes does not fit in memory", family, *metadata_bytes);
    }
    return std::move(parser).finish(header_total);
}

// ---- Store: scratch --------------------------------------------------------------------

// What the reads reuse from call to call (see scratch_bytes for bounds).
struct ListStore::Scratch {
    // Batched reads and streamed chunks land here; codes on a code_align
    // boundary (64 for lists of 4 KiB of codes or more).
    ScratchArray<uint8_t, 64> arena;
    std::vector<int64_t> ids;  // decoded IDs of the last batch
    std::vector<ListView> views;
    std::vector<ListRead> plans;
    std::vector<size_t> rows_at;  // arena byte where each planned list's codes start
    std::vector<size_t> id_starts;
    std::vector<uint64_t> offsets;
    std::vector<std::span<uint8_t>> buffers;
    // Payloads a layout reads piecewise, kept until the next list read.
    std::vector<std::unique_ptr<uint8_t[]>> owned;
    size_t owned_bytes = 0;
    std::vector<std::span<const uint8_t>> payloads;
    std::vector<size_t> id_ends;

    size_t bytes() const noexcept {
        size_t n = arena.bytes();
        n += ids.capacity() * sizeof(int64_t) + views.capacity() * sizeof(ListView);
        n += plans.capacity() * sizeof(ListRead) + rows_at.capacity() * sizeof(size_t);
        n += id_starts.capacity() * sizeof(size_t) + offsets.capacity() * sizeof(uint64_t);
        n += buffers.capacity() * sizeof(std::span<uint8_t>);
        n += payloads.capacity() * sizeof(std::span<const uint8_t>) + id_ends.capacity() * sizeof(size_t);
        n += owned.capacity() * sizeof(std::unique_ptr<uint8_t[]>) + owned_bytes;
        return n;
    }
};

ListStore::ListStore() = default;
ListStore::ListStore(ListFormat format, size_t nlist) : format_(format), nlist_(nlist) {}
ListStore::ListStore(ListStore&&) noexcept = default;
ListStore& ListStore::operator=(ListStore&&) noexcept = default;
ListStore::~ListStore() = default;

ListStore::Scratch& ListStore::scratch() {
    if (!scratch_) scratch_ = std::make_unique<Scratch>();
    return *scratch_;
}

size_t ListStore::scratch_bytes() const noexcept { return scratch_ ? scratch_->bytes() : 0; }

void ListStore::set_table(ListTable table) {
    TD_ASSERT(table.counts.size() == nlist_ && table.offsets.size() == nlist_ && table.id_bytes_lens.size() == nlist_,
              "offset table has {} entries for {} lists", table.counts.size(), nlist_);
    table_ = std::move(table);
}

void ListStore::set_budgets(const ReadBudgets& budgets) {
    check_read_budgets(budgets);
    budgets_ = budgets;
}

int32_t ListStore::count(size_t list) const {
    check_index(list, table_.counts.size());
    return table_.counts[list];
}

// ---- Store: planning -------------------------------------------------------------------

uint64_t ListStore::payload_len(size_t list) const {
    if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
    check_index(list, table_.counts.size());
    const int32_t count = table_.counts[list];
    if (count == 0) return 0;
    std::optional<uint64_t> len = ivf_format::list_code_bytes(count, format_.code_size);
    if (len) len = ivf_format::list_payload_len(table_.id_bytes_lens[list], *len);
    if (!len) invalid_data("{} list payload overflow", format_.family);
    return *len;
}

size_t ListStore::batch_read_end(const io::SeekRead& input, std::span<const size_t> lists) const {
    if (lists.empty()) return 0;
    // Only the lengths up to the list that ends the batch are computed;
    // computing the rest would make a walk over many probes quadratic.
    return util::bounded_ivf_payload_batch_end(lists.size(), input.capabilities().max_ranges_per_call,
                                               [&](size_t i) { return payload_len(lists[i]); });
}

// ---- Store: batched reads --------------------------------------------------------------

std::vector<ListData> ListStore::read_lists(const io::SeekRead& input, std::span<const size_t> lists) const {
    std::vector<ListData> result(lists.size());
    std::vector<ListRead> plans;
    std::vector<AlignedPayload> payloads;
    for (size_t s = 0; s < lists.size(); ++s) {
        const size_t list = lists[s];
        if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
        result[s].list = list;
        const int32_t count = table_.counts[list];
        if (count == 0) continue;
        const ListPayloadPlan p =
            plan_list_payload(list, count, table_.id_bytes_lens[list], table_.offsets[list], format_);
        plans.push_back(ListRead{s, list, count, p.id_len, p.offset});
        payloads.emplace_back(p.total, p.prefix, p.code_bytes, format_);
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
    util::pread_batched_slices_with_limit(input, offsets, buffers, util::kReadBudgetBytes);

    for (size_t j = 0; j < plans.size(); ++j) {
        const ListRead& plan = plans[j];
        const std::span<const uint8_t> bytes = payloads[j].read_bytes();
        const int64_t base = batched_payload_base(bytes, plan.id_bytes_len, format_);
        ListData& out = result[plan.slot];
        // Bytes after `count` gaps are ignored here: the codes start at the
        // table's 12 + ID-byte length either way.
        out.ids = decode_delta_varint_ids(base, bytes.subspan(kIdBlockHeader, static_cast<size_t>(plan.id_bytes_len)),
                                          static_cast<uint64_t>(plan.count));
        out.codes = std::move(payloads[j]);
    }
    return result;
}

std::span<const ListView> ListStore::read_views(const io::SeekRead& input, std::span<const size_t> lists) {
    Scratch& sc = scratch();
    sc.views.assign(lists.size(), ListView{});
    sc.plans.clear();
    sc.rows_at.clear();
    // Planning: the checks of read_lists in its order, and where each window
    // goes in the arena.
    uint64_t arena_bytes = 0;
    uint64_t id_room = 0;
    for (size_t s = 0; s < lists.size(); ++s) {
        const size_t list = lists[s];
        if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
        sc.views[s].list = list;
        const int32_t count = table_.counts[list];
        if (count == 0) continue;
        const ListPayloadPlan p =
            plan_list_payload(list, count, table_.id_bytes_lens[list], table_.offsets[list], format_);
        aligned_payload_layout(p.total, p.prefix, p.code_bytes, format_);
        // Codes of 4 KiB or more start on a cache line; smaller lists pay at
        // most code_align - 1 pad bytes.
        const uint64_t align = p.code_bytes >= 4096 ? 64 : format_.code_align;
        std::optional<uint64_t> rows_end = checked_add(arena_bytes, p.prefix);
        if (rows_end) rows_end = checked_add(*rows_end, align - 1);
        if (!rows_end) panic("capacity overflow");
        const uint64_t rows_at = *rows_end / align * align;
        std::optional<uint64_t> end = checked_add(rows_at, p.code_bytes);
        if (!end) panic("capacity overflow");
        check_capacity(*end, 1);
        arena_bytes = *end;
        id_room += std::min<uint64_t>(static_cast<uint64_t>(count), static_cast<uint64_t>(p.id_len));
        sc.plans.push_back(ListRead{s, list, count, p.id_len, p.offset});
        sc.rows_at.push_back(static_cast<size_t>(rows_at));
    }
    if (sc.plans.empty()) return sc.views;

    uint8_t* const arena = sc.arena.reserve(static_cast<size_t>(arena_bytes));
    sc.offsets.clear();
    sc.buffers.clear();
    for (size_t j = 0; j < sc.plans.size(); ++j) {
        const ListRead& plan = sc.plans[j];
        const size_t prefix = kIdBlockHeader + static_cast<size_t>(plan.id_bytes_len);
        const size_t code_bytes = static_cast<size_t>(plan.count) * static_cast<size_t>(format_.code_size);
        sc.offsets.push_back(plan.offset);
        sc.buffers.emplace_back(arena + sc.rows_at[j] - prefix, prefix + code_bytes);
    }
    util::pread_batched_slices_with_limit(input, sc.offsets, sc.buffers, util::kReadBudgetBytes);

    // Every gap takes at least one byte: the ID sections just read bound the
    // IDs, whatever the counts claim.
    sc.ids.clear();
    if (sc.ids.capacity() < id_room) sc.ids.reserve(static_cast<size_t>(id_room));
    sc.id_starts.clear();
    for (size_t j = 0; j < sc.plans.size(); ++j) {
        const ListRead& plan = sc.plans[j];
        const std::span<const uint8_t> bytes = sc.buffers[j];
        const int64_t base = batched_payload_base(bytes, plan.id_bytes_len, format_);
        sc.id_starts.push_back(sc.ids.size());
        util::append_delta_varint_ids(base, bytes.subspan(kIdBlockHeader, static_cast<size_t>(plan.id_bytes_len)),
                                      static_cast<uint64_t>(plan.count), kBatchIdMessages, sc.ids);
    }
    for (size_t j = 0; j < sc.plans.size(); ++j) {
        const ListRead& plan = sc.plans[j];
        const size_t count = static_cast<size_t>(plan.count);
        ListView& view = sc.views[plan.slot];
        view.ids = std::span<const int64_t>(sc.ids.data() + sc.id_starts[j], count);
        view.codes = std::span<const uint8_t>(arena + sc.rows_at[j], count * static_cast<size_t>(format_.code_size));
    }
    return sc.views;
}

// ---- Store: a family's own payload layout ----------------------------------------------

size_t ListStore::batch_read_end(const io::SeekRead& input, std::span<const size_t> lists,
                                 const ListPayloadLayout& layout) const {
    if (lists.empty()) return 0;
    return util::bounded_ivf_payload_batch_end(lists.size(), input.capabilities().max_ranges_per_call,
                                               [&](size_t i) { return layout.payload_len(lists[i]); });
}

std::span<const ListView> ListStore::read_views(const io::SeekRead& input, std::span<const size_t> lists,
                                                const ListPayloadLayout& layout) {
    Scratch& sc = scratch();
    sc.views.assign(lists.size(), ListView{});
    sc.owned.clear();
    sc.owned_bytes = 0;
    sc.payloads.assign(lists.size(), std::span<const uint8_t>{});
    sc.rows_at.assign(lists.size(), 0);
    uint64_t group_bytes = 0;
    for (size_t s = 0; s < lists.size(); ++s) {
        sc.views[s].list = lists[s];
        group_bytes = saturating_add(group_bytes, layout.payload_len(lists[s]));
    }
    layout.admit_group(group_bytes);

    // Where each batched payload goes: its code section on a cache line.
    const uint64_t piece = layout.read_piece();
    uint64_t arena_bytes = 0;
    uint64_t id_room = 0;
    for (size_t s = 0; s < lists.size(); ++s) {
        const uint64_t len = layout.payload_len(lists[s]);
        if (len == 0) continue;
        id_room = saturating_add(id_room, layout.max_rows(lists[s]));
        if (len > piece) continue;
        const uint64_t head = layout.code_start(lists[s]);
        TD_ASSERT(head <= len, "code section starts beyond the payload");
        std::optional<uint64_t> at = checked_add(arena_bytes, head);
        if (at) at = checked_add(*at, 63);
        if (!at) panic("capacity overflow");
        const uint64_t codes_at = *at / 64 * 64;
        std::optional<uint64_t> end = checked_add(codes_at - head, len);
        if (!end) panic("capacity overflow");
        check_capacity(*end, 1);
        sc.rows_at[s] = static_cast<size_t>(codes_at - head);
        arena_bytes = *end;
    }
    const std::string what = fmt::format("{} list payload", format_.family);
    // Lists above a read piece first, one after the other, each alone.
    for (size_t s = 0; s < lists.size(); ++s) {
        const uint64_t len = layout.payload_len(lists[s]);
        if (len == 0 || len <= piece) continue;
        sc.owned.push_back(util::read_section_grown(input, layout.payload_offset(lists[s]), len, piece, what));
        sc.owned_bytes += static_cast<size_t>(len);
        sc.payloads[s] = std::span<const uint8_t>(sc.owned.back().get(), static_cast<size_t>(len));
    }
    uint8_t* arena = nullptr;
    if (arena_bytes != 0) {
        try {
            arena = sc.arena.reserve(static_cast<size_t>(arena_bytes));
        } catch (const std::bad_alloc&) {
            fail(ErrorKind::OutOfMemory, "{} of {} bytes does not fit in memory", what, arena_bytes);
        }
    }
    sc.offsets.clear();
    sc.buffers.clear();
    for (size_t s = 0; s < lists.size(); ++s) {
        const uint64_t len = layout.payload_len(lists[s]);
        if (len == 0 || len > piece) continue;
        sc.offsets.push_back(layout.payload_offset(lists[s]));
        sc.buffers.emplace_back(arena + sc.rows_at[s], static_cast<size_t>(len));
        sc.payloads[s] = sc.buffers.back();
    }
    if (!sc.buffers.empty()) util::pread_batched_slices_with_limit(input, sc.offsets, sc.buffers, util::kReadBudgetBytes);

    sc.ids.clear();
    if (sc.ids.capacity() < id_room) sc.ids.reserve(static_cast<size_t>(id_room));
    sc.id_starts.assign(lists.size(), 0);
    sc.id_ends.assign(lists.size(), 0);
    for (size_t s = 0; s < lists.size(); ++s) {
        if (sc.payloads[s].empty()) continue;
        sc.id_starts[s] = sc.ids.size();
        layout.parse(lists[s], sc.payloads[s], sc.ids, sc.views[s]);
        sc.id_ends[s] = sc.ids.size();
    }
    // IDs are placed once every list is decoded (the vector may have grown).
    for (size_t s = 0; s < lists.size(); ++s) {
        sc.views[s].ids = std::span<const int64_t>(sc.ids.data() + sc.id_starts[s], sc.id_ends[s] - sc.id_starts[s]);
    }
    return sc.views;
}

// ---- Store: streamed lists -------------------------------------------------------------

void ListStore::read_streamed(const io::SeekRead& input, size_t list, const ChunkConsumer& consumer) {
    if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
    const int32_t count = table_.counts[list];
    const int32_t id_len = table_.id_bytes_lens[list];
    const uint64_t offset = util::checked_list_offset(table_.offsets[list], list);
    if (count <= 0) return;  // nothing to stream
    TD_ASSERT(id_len >= 0, "{} table holds a negative ID length", format_.family);
    const uint64_t n = static_cast<uint64_t>(count);
    const uint64_t ids_at_once = kIdBlockHeader + static_cast<uint64_t>(id_len) + 8 * n;
    if (ids_at_once <= budgets_.id_block_budget) {
        read_ids_then_chunks(input, offset, n, static_cast<uint64_t>(id_len), consumer);
    } else {
        read_ids_with_chunks(input, offset, n, static_cast<uint64_t>(id_len), consumer);
    }
}

void ListStore::read_ids_then_chunks(const io::SeekRead& input, uint64_t offset, uint64_t count, uint64_t id_len,
                                     const ChunkConsumer& consumer) {
    const std::vector<int64_t> ids = util::read_delta_varint_ids_at(input, offset, count, id_len, format_.family);
    const RowGeometry g = row_geometry(format_, offset, id_len);
    // A lowered chunk budget is the shared rule with that much more held.
    const uint64_t fixed = 8 * static_cast<uint64_t>(ids.size()) + (util::kChunkBudgetBytes - budgets_.chunk_budget);
    for (uint64_t first = 0; first < count;) {
        const uint64_t rows = util::bounded_ivf_stream_chunk_rows(count - first, g.row_bytes, fixed, 1);
        const std::span<const uint8_t> chunk = read_row_chunk(input, g, first, rows, count, scratch().arena, format_);
        consumer(std::span<const int64_t>(ids).subspan(static_cast<size_t>(first), static_cast<size_t>(rows)), chunk);
        first += rows;
    }
}

void ListStore::read_ids_with_chunks(const io::SeekRead& input, uint64_t offset, uint64_t count, uint64_t id_len,
                                     const ChunkConsumer& consumer) {
    // The ID block header alone first: its length must match the table.
    uint8_t header[kIdBlockHeader];
    io::ReadRequest request{header, sizeof header, offset};
    input.pread(std::span<io::ReadRequest>(&request, 1));
    const ivf_format::IdBlockHeader h = ivf_format::IdBlockHeader::decode_from(header);
    if (!h.matches_table(id_len)) invalid_data("{} ID length does not match the offset table", format_.family);
    const RowGeometry g = row_geometry(format_, offset, id_len);

    // Each chunk holds the ID window, its rows and their decoded IDs, all
    // within the chunk budget.
    IdSectionCursor cursor(input, offset + kIdBlockHeader, id_len, budgets_.id_window_bytes, h.base_id);
    const uint64_t window = std::min(budgets_.id_window_bytes, id_len);
    const uint64_t fixed = window + (util::kChunkBudgetBytes - budgets_.chunk_budget);
    std::vector<int64_t> ids;
    for (uint64_t first = 0; first < count;) {
        const uint64_t rows = util::bounded_ivf_stream_chunk_rows(count - first, g.row_bytes + 8, fixed, 1);
        if (ids.capacity() < rows) ids.reserve(static_cast<size_t>(rows));
        cursor.next_ids(static_cast<size_t>(rows), ids);
        const std::span<const uint8_t> chunk = read_row_chunk(input, g, first, rows, count, scratch().arena, format_);
        consumer(ids, chunk);
        first += rows;
    }
    cursor.finish();
}

}  // namespace tavren::ivf_lists
