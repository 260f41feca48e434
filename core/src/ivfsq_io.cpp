#include "ivfsq_io.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <string_view>
#include <tuple>

#include "distance.hpp"
#include "error.hpp"
#include "index_io_util.hpp"
#include "ivfsq_format.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivfsq_io {

namespace fmtv = ivfsq_format;

uint64_t list_payload_len(uint64_t count, uint64_t code_size, uint64_t id_bytes_len) {
    std::optional<uint64_t> len = checked_mul(count, code_size);
    if (len) len = checked_add(*len, id_bytes_len);
    if (len) len = checked_add(*len, fmtv::kIdBlockHeaderBytes);
    if (!len) invalid_data("IVF-SQ list size overflow");
    return *len;
}

std::pair<float, float> sq_global_bounds(std::span<const float> mins, std::span<const float> maxs) {
    float lo = std::numeric_limits<float>::infinity();
    float hi = -std::numeric_limits<float>::infinity();
    for (float v : mins) lo = std::fmin(lo, v);  // fmin/fmax skip a NaN operand
    for (float v : maxs) hi = std::fmax(hi, v);
    if (!std::isfinite(lo) || !std::isfinite(hi)) return {0.0f, 0.0f};
    return {lo, hi};
}

void validate_sq_bounds(size_t dimension, std::span<const float> mins, std::span<const float> maxs) {
    if (mins.size() != dimension || maxs.size() != dimension) {
        invalid_data("IVF-SQ bounds length does not match dimension");
    }
    for (size_t j = 0; j < dimension; ++j) {
        if (!std::isfinite(mins[j]) || !std::isfinite(maxs[j]) || mins[j] > maxs[j]) {
            invalid_data("invalid IVF-SQ bounds at dimension {}", j);
        }
    }
}

SortedSqListMetadata build_sorted_sq_list_metadata(std::span<const int64_t> ids) {
    SortedSqListMetadata meta;
    if (ids.empty()) return meta;
    TD_ASSERT(ids.size() <= std::numeric_limits<uint32_t>::max(), "IVF-SQ list of {} rows is too long to sort",
              ids.size());
    meta.order.resize(ids.size());
    std::iota(meta.order.begin(), meta.order.end(), uint32_t{0});
    if (!std::is_sorted(ids.begin(), ids.end())) {
        std::stable_sort(meta.order.begin(), meta.order.end(),
                         [&](uint32_t a, uint32_t b) { return ids[a] < ids[b]; });
    }
    std::vector<int64_t> sorted(ids.size());
    for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = ids[meta.order[i]];
    index_io_util::EncodedIds encoded = index_io_util::encode_delta_varint_ids(sorted);
    meta.base_id = encoded.base;
    meta.id_bytes = std::move(encoded.bytes);
    return meta;
}

std::vector<uint8_t> blocked_codes(std::span<const uint8_t> codes, std::span<const uint32_t> order, size_t d) {
    const size_t count = order.size();
    const std::optional<uint64_t> len = checked_mul(count, d);
    if (!len) panic("IVF-SQ blocked code length overflows usize");
    check_len(*len, codes.size());
    std::vector<uint8_t> out(static_cast<size_t>(*len));
    for (size_t start = 0; start < count; start += fmtv::kBlockRows) {
        const size_t k = std::min(fmtv::kBlockRows, count - start);
        uint8_t* block = out.data() + start * d;
        for (size_t i = 0; i < k; ++i) {
            const size_t position = order[start + i];
            check_index(position, count);
            const uint8_t* row = codes.data() + position * d;
            for (size_t j = 0; j < d; ++j) block[j * k + i] = row[j];
        }
    }
    return out;
}

size_t payload_group_end(std::span<const uint64_t> code_bytes, size_t first, uint64_t limit) {
    check_index(first, code_bytes.size());
    uint64_t sum = code_bytes[first];
    size_t end = first + 1;
    while (end < code_bytes.size()) {
        const std::optional<uint64_t> next = checked_add(sum, code_bytes[end]);
        if (!next || *next > limit) break;
        sum = *next;
        ++end;
    }
    return end;
}

namespace {

void write_bytes(io::SeekWrite& out, std::span<const uint8_t> bytes, size_t at, size_t len) {
    out.write_all(bytes.subspan(at, len));
}

}  // namespace

void write_ivfsq_index(const ivfsq::IVFSQIndex& index, io::SeekWrite& out) {
    write_ivfsq_index_with_limits(index, out, WriteLimits{});
}

void write_ivfsq_index_with_limits(const ivfsq::IVFSQIndex& index, io::SeekWrite& out, const WriteLimits& limits) {
    const uint64_t d = index.dimension();
    const uint64_t nlist = index.nlist();
    const sq::ScalarQuantizer& global = index.global_sq();
    const auto& list_sqs = index.list_sqs();
    const auto& list_ids = index.list_ids();
    const auto& list_codes = index.list_codes();
    const auto& centroids = index.centroids();

    // ---- checks: nothing is written unless all pass ----
    if (d == 0 || nlist == 0) invalid_input("IVF-SQ dimension and nlist must be greater than zero");
    // A reader refuses any other metric code.
    if (index.metric() > kMetricCosine) invalid_input("Unknown metric type: {}", index.metric());
    validate_sq_bounds(d, global.mins(), global.maxs());
    if (list_sqs.size() != nlist || list_ids.size() != nlist || list_codes.size() != nlist) {
        invalid_input("IVF-SQ inverted-list state does not match nlist");
    }
    // A reader sizes the bounds section by (nlist + 1) * d and the centroids
    // by nlist * d and refuses either above the section limit: a file beyond
    // them could never be opened.
    if (nlist == std::numeric_limits<uint64_t>::max()) invalid_data("section size overflow");
    index_io_util::checked_section_size(nlist + 1, d);
    const uint64_t centroid_values = index_io_util::checked_section_size(nlist, d);
    if (centroids.size() != centroid_values) {
        invalid_input("IVF-SQ centroid storage does not match nlist * dimension");
    }
    const uint64_t code_size = global.dimension();
    std::vector<uint64_t> code_bytes(nlist);
    for (uint64_t l = 0; l < nlist; ++l) {
        validate_sq_bounds(d, list_sqs[l].mins(), list_sqs[l].maxs());
        code_bytes[l] = index_io_util::checked_list_bytes(code_size, list_ids[l].size());
        if (list_codes[l].size() != code_bytes[l]) invalid_input("IVF-SQ code length mismatch at list {}", l);
    }
    int64_t total = 0;
    for (const auto& ids : list_ids) {
        std::optional<int64_t> sum;
        if (ids.size() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            sum = checked_add_i64(total, static_cast<int64_t>(ids.size()));
        }
        if (!sum) invalid_input("total vector count exceeds i64 length limit");
        total = *sum;
    }

    fmtv::Header header;
    header.dimension = index_io_util::usize_to_i32(d, "dimension", limits.max_i32);
    header.nlist = index_io_util::usize_to_i32(nlist, "nlist", limits.max_i32);
    header.metric = index.metric();
    header.total = total;
    std::tie(header.summary_min, header.summary_max) = sq_global_bounds(global.mins(), global.maxs());

    // ---- planning: every list's order, ID section and table fields ----
    std::vector<fmtv::OffsetEntry> entries(nlist);
    for (uint64_t l = 0; l < nlist; ++l) {
        entries[l].count = index_io_util::usize_to_i32(list_ids[l].size(), "list count", limits.max_i32);
    }
    std::vector<SortedSqListMetadata> metas(nlist);
    pool::parallel_for_each_index(nlist, [&](size_t l) { metas[l] = build_sorted_sq_list_metadata(list_ids[l]); });
    std::vector<uint64_t> payload_bytes(nlist, 0);
    for (uint64_t l = 0; l < nlist; ++l) {
        if (entries[l].count == 0) continue;
        entries[l].id_bytes_len =
            index_io_util::usize_to_i32(metas[l].id_bytes.size(), "delta ID section", limits.max_i32);
        payload_bytes[l] = list_payload_len(list_ids[l].size(), code_size, metas[l].id_bytes.size());
    }

    // ---- header and metadata ----
    std::array<uint8_t, fmtv::kHeaderBytes> header_bytes{};
    header.encode_to(header_bytes);
    for (const auto& [at, len] : fmtv::Header::kFields) write_bytes(out, header_bytes, at, len);
    index_io_util::write_f32_slice(out, global.mins());
    index_io_util::write_f32_slice(out, global.maxs());
    for (const sq::ScalarQuantizer& q : list_sqs) {
        index_io_util::write_f32_slice(out, q.mins());
        index_io_util::write_f32_slice(out, q.maxs());
    }
    index_io_util::write_f32_slice(out, centroids);

    // ---- offset table: positions in the host's output ----
    index_io_util::write_ivf_offset_table(out, entries, payload_bytes, limits.max_i64,
                                          "IVF-SQ data offset overflow", "IVF-SQ list offset overflow");

    // ---- payloads, a group of lists at a time: blocking in parallel, output in list order ----
    for (size_t first = 0; first < nlist;) {
        const size_t end = payload_group_end(code_bytes, first, limits.group_code_bytes);
        std::vector<std::vector<uint8_t>> blocked(end - first);
        pool::parallel_for_each_index(end - first, [&](size_t i) {
            const size_t l = first + i;
            if (!metas[l].order.empty()) blocked[i] = blocked_codes(list_codes[l], metas[l].order, d);
        });
        for (size_t l = first; l < end; ++l) {
            if (entries[l].count == 0) continue;
            out.write_all(blocked[l - first]);
            std::array<uint8_t, fmtv::kIdBlockHeaderBytes> id_header{};
            fmtv::IdBlockHeader{metas[l].base_id, entries[l].id_bytes_len}.encode_to(id_header);
            write_bytes(out, id_header, 0, 8);
            write_bytes(out, id_header, 8, 4);
            out.write_all(metas[l].id_bytes);
        }
        first = end;
    }
}

}  // namespace tavren::ivfsq_io

// ---- Decoded lists and the list cache ----------------------------------------------

namespace tavren::ivfsq_io {

namespace util = index_io_util;

namespace {

constexpr uint64_t kEntryOverheadBytes = 72;

}  // namespace

uint64_t cached_list_cost(const SqListData& list) noexcept {
    return 8 * static_cast<uint64_t>(list.ids.size()) + list.storage_bytes + kEntryOverheadBytes;
}

std::optional<SqListCache> SqListCache::create(size_t nlist, uint64_t budget) {
    const std::optional<uint64_t> bookkeeping = checked_mul(nlist, kBytesPerList);
    if (!bookkeeping || *bookkeeping >= budget) return std::nullopt;
    return SqListCache(nlist, budget - *bookkeeping);
}

SqListCache::SqListCache(size_t nlist, uint64_t capacity) : slots_(nlist), capacity_(capacity) {}

void SqListCache::insert(CachedSqList entry) {
    TD_ASSERT(entry.list != nullptr, "cache entry without a list");
    const size_t list = entry.list->list;
    check_index(list, slots_.size());
    const uint64_t cost = cached_list_cost(*entry.list);
    if (cost > capacity_ || slots_[list]) return;
    while (capacity_ - used_ < cost) {
        if (order_.empty()) panic("nonempty cache over budget");
        const size_t oldest = order_.front();
        order_.pop_front();
        remove(oldest);
    }
    used_ += cost;
    order_.push_back(list);
    slots_[list] = std::move(entry);
}

void SqListCache::remove(size_t list) {
    check_index(list, slots_.size());
    if (!slots_[list]) return;
    used_ -= cached_list_cost(*slots_[list]->list);
    slots_[list].reset();
}

void SqListCache::remove_stale(size_t list) {
    remove(list);
    std::erase(order_, list);
}

const CachedSqList* SqListCache::find(size_t list) const {
    check_index(list, slots_.size());
    return slots_[list] ? &*slots_[list] : nullptr;
}

size_t SqListCache::entries() const noexcept {
    size_t n = 0;
    for (const std::optional<CachedSqList>& slot : slots_) n += slot.has_value() ? 1 : 0;
    return n;
}

SqListData decode_list_payload(std::unique_ptr<uint8_t[]> buffer, size_t length, uint64_t count,
                               uint64_t id_bytes_len, size_t d) {
    const uint64_t expected = list_payload_len(count, d, id_bytes_len);
    if (length != expected) fail(ErrorKind::UnexpectedEof, "IVF-SQ list payload length mismatch");
    const size_t code_bytes = static_cast<size_t>(count * d);
    const std::span<const uint8_t> bytes(buffer.get(), length);
    const fmtv::IdBlockHeader header =
        fmtv::IdBlockHeader::decode_from(bytes.subspan(code_bytes).first<fmtv::kIdBlockHeaderBytes>());
    if (header.id_bytes_len < 0 || static_cast<uint64_t>(header.id_bytes_len) != id_bytes_len) {
        invalid_data("IVF-SQ list ID length does not match offset table");
    }
    SqListData out;
    out.ids = util::decode_delta_varint_ids(header.base_id, bytes.subspan(code_bytes + fmtv::kIdBlockHeaderBytes),
                                            count);
    out.storage = std::move(buffer);
    out.storage_bytes = length;
    out.code_bytes = code_bytes;
    return out;
}

// ---- Reader: open ----------------------------------------------------------------------

namespace {

// Takes little-endian runs off the metadata buffer, front to back.
class MetadataCursor {
public:
    MetadataCursor(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

    std::vector<float> f32s(uint64_t count) {
        const std::optional<uint64_t> bytes = checked_mul(count, 4);
        if (!bytes) invalid_data("IVF-SQ f32 size overflow");
        const uint8_t* p = take(*bytes);
        std::vector<float> out(static_cast<size_t>(count));
        std::memcpy(out.data(), p, static_cast<size_t>(*bytes));
        return out;
    }
    fmtv::OffsetEntry entry() {
        return fmtv::OffsetEntry::decode_from(
            std::span<const uint8_t, fmtv::kOffsetEntryBytes>(take(fmtv::kOffsetEntryBytes), fmtv::kOffsetEntryBytes));
    }

private:
    const uint8_t* take(uint64_t bytes) {
        const std::optional<uint64_t> end = checked_add(pos_, bytes);
        if (!end || *end > size_) invalid_data("IVF-SQ metadata offset overflow");
        const uint8_t* p = data_ + pos_;
        pos_ = *end;
        return p;
    }

    const uint8_t* data_;
    uint64_t size_;
    uint64_t pos_ = 0;
};

// The header checks, in the file format's order.
fmtv::Header check_header(std::span<const uint8_t, 64> bytes) {
    const fmtv::Header h = fmtv::Header::decode_from(bytes);
    if (h.magic != fmtv::kMagic) invalid_data("Invalid IVF-SQ magic: 0x{:08X}", h.magic);
    if (h.version != fmtv::kVersion) invalid_data("Unsupported IVF-SQ version: {}", h.version);
    util::validate_positive_i32(h.dimension, "d");
    util::validate_positive_i32(h.nlist, "nlist");
    if (h.metric >= 3) invalid_data("Unknown metric type: {}", h.metric);
    if (h.total < 0) invalid_data("IVF-SQ total vector count must be non-negative");
    if (h.bit_width != fmtv::kBitWidth) invalid_data("Unsupported IVF-SQ bit width: {}", h.bit_width);
    util::validate_reserved_zero(h.reserved, "IVF-SQ");
    if ((h.flags & ~fmtv::kFlags) != 0) invalid_data("Unsupported IVF-SQ flags: 0x{:08X}", h.flags & ~fmtv::kFlags);
    if (h.flags != fmtv::kFlags) invalid_data("IVF-SQ v1 requires delta-varint IDs and 32-row blocked codes");
    return h;
}

uint64_t checked_or(std::optional<uint64_t> value, std::string_view message) {
    if (!value) invalid_data("{}", message);
    return *value;
}

}  // namespace

IVFSQIndexReader::IVFSQIndexReader() = default;
IVFSQIndexReader::IVFSQIndexReader(IVFSQIndexReader&&) noexcept = default;
IVFSQIndexReader& IVFSQIndexReader::operator=(IVFSQIndexReader&&) noexcept = default;
IVFSQIndexReader::~IVFSQIndexReader() = default;

IVFSQIndexReader IVFSQIndexReader::open_with_header_and_options(std::unique_ptr<io::SeekRead> input,
                                                                std::span<const uint8_t, 64> header,
                                                                const read_options::VectorIndexReaderOptions& options,
                                                                const SqReadBudgets& budgets) {
    TD_ASSERT(input != nullptr, "reader input must not be null");
    TD_ASSERT(budgets.metadata_piece_bytes >= 1, "metadata piece must be at least one byte");
    const fmtv::Header h = check_header(header);
    const uint64_t d = static_cast<uint64_t>(h.dimension);
    const uint64_t nlist = static_cast<uint64_t>(h.nlist);

    // Both products are within 2^30 values, so no byte size below can overflow.
    const uint64_t bound_pairs = util::checked_section_size(nlist + 1, d);
    const uint64_t centroid_values = util::checked_section_size(nlist, d);
    const uint64_t bound_values = checked_or(checked_mul(bound_pairs, 2), "IVF-SQ bounds size overflow");
    const uint64_t bound_bytes = checked_or(checked_mul(bound_values, 4), "IVF-SQ bounds byte length overflow");
    const uint64_t centroid_bytes = checked_or(checked_mul(centroid_values, 4), "IVF-SQ centroid byte length overflow");
    const uint64_t table_bytes =
        checked_or(checked_mul(nlist, fmtv::kOffsetEntryBytes), "IVF-SQ offset table byte length overflow");
    std::optional<uint64_t> metadata_bytes = checked_add(bound_bytes, centroid_bytes);
    if (metadata_bytes) metadata_bytes = checked_add(*metadata_bytes, table_bytes);
    const uint64_t total_bytes = checked_or(metadata_bytes, "IVF-SQ metadata size overflow");

    const std::unique_ptr<uint8_t[]> data =
        util::read_section_grown(*input, fmtv::kHeaderBytes, total_bytes, budgets.metadata_piece_bytes, "IVF-SQ metadata");
    MetadataCursor cursor(data.get(), total_bytes);

    IVFSQIndexReader r;
    r.d_ = static_cast<size_t>(d);
    r.nlist_ = static_cast<size_t>(nlist);
    r.total_ = h.total;
    r.metric_ = h.metric;
    r.budgets_ = budgets;
    std::vector<float> mins = cursor.f32s(d);
    std::vector<float> maxs = cursor.f32s(d);
    validate_sq_bounds(r.d_, mins, maxs);
    const auto [summary_min, summary_max] = sq_global_bounds(mins, maxs);
    if (std::bit_cast<uint32_t>(summary_min) != std::bit_cast<uint32_t>(h.summary_min) ||
        std::bit_cast<uint32_t>(summary_max) != std::bit_cast<uint32_t>(h.summary_max)) {
        invalid_data("IVF-SQ bounds summary does not match global SQ bounds");
    }
    r.global_sq_ = sq::ScalarQuantizer::with_dimension_bounds(r.d_, std::move(mins), std::move(maxs));
    r.list_sqs_.reserve(r.nlist_);
    for (size_t l = 0; l < r.nlist_; ++l) {
        std::vector<float> list_mins = cursor.f32s(d);
        std::vector<float> list_maxs = cursor.f32s(d);
        validate_sq_bounds(r.d_, list_mins, list_maxs);
        r.list_sqs_.push_back(sq::ScalarQuantizer::with_dimension_bounds(r.d_, std::move(list_mins),
                                                                         std::move(list_maxs)));
    }
    r.centroids_ = cursor.f32s(centroid_values);
    r.list_offsets_.resize(r.nlist_);
    r.list_counts_.resize(r.nlist_);
    r.list_id_lens_.resize(r.nlist_);
    int64_t sum = 0;
    for (size_t l = 0; l < r.nlist_; ++l) {
        const fmtv::OffsetEntry e = cursor.entry();
        if (e.count < 0 || e.id_bytes_len < 0) invalid_data("negative IVF-SQ list metadata at list {}", l);
        if (e.count > 0 && e.id_bytes_len == 0) invalid_data("missing delta ID bytes for non-empty IVF-SQ list {}", l);
        const std::optional<int64_t> next = checked_add_i64(sum, e.count);
        if (!next) invalid_data("IVF-SQ vector count overflow");
        sum = *next;
        r.list_offsets_[l] = e.offset;
        r.list_counts_[l] = e.count;
        r.list_id_lens_[l] = e.id_bytes_len;
    }
    if (sum != h.total) invalid_data("IVF-SQ header vector count {} does not match list total {}", h.total, sum);

    r.cache_ = SqListCache::create(r.nlist_, saturating_sub(options.memory_budget_bytes, r.resident_estimate()));
    r.input_ = std::move(input);
    return r;
}

IVFSQIndexReader IVFSQIndexReader::open_with_header(std::unique_ptr<io::SeekRead> input,
                                                    std::span<const uint8_t, 64> header) {
    return open_with_header_and_options(std::move(input), header, read_options::VectorIndexReaderOptions{});
}

uint64_t IVFSQIndexReader::resident_estimate() const noexcept {
    const uint64_t d = d_;
    const uint64_t n = nlist_;
    // Stored bound values, one quantizer record per list, offsets, then
    // counts, centroid values and ID lengths; 328 bytes of the reader itself.
    return 4 * (2 * d * (n + 1)) + 64 * n + 8 * n + 4 * (n + n * d + n) + 328;
}

std::span<const float> IVFSQIndexReader::centroid(size_t list) const {
    check_index(list, nlist_);
    return std::span<const float>(centroids_).subspan(list * d_, d_);
}

int32_t IVFSQIndexReader::list_count(size_t list) const {
    check_index(list, list_counts_.size());
    return list_counts_[list];
}

void IVFSQIndexReader::set_read_budgets_for_testing(const SqReadBudgets& budgets) {
    TD_ASSERT(budgets.metadata_piece_bytes >= 1, "metadata piece must be at least one byte");
    TD_ASSERT(budgets.stream_threshold >= 1 && budgets.stream_threshold <= util::kReadBudgetBytes,
              "stream threshold out of range");
    TD_ASSERT(budgets.id_block_budget <= util::kReadBudgetBytes, "ID block budget out of range");
    TD_ASSERT(budgets.id_window_bytes >= 1 && budgets.id_window_bytes <= util::kReadBudgetBytes,
              "ID window out of range");
    budgets_ = budgets;
}

// ---- Reader: lists ---------------------------------------------------------------------

uint64_t IVFSQIndexReader::list_payload_len(size_t list) const {
    if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
    const int32_t count = list_counts_[list];
    if (count == 0) return 0;
    return ivfsq_io::list_payload_len(static_cast<uint64_t>(count), d_, static_cast<uint64_t>(list_id_lens_[list]));
}

size_t IVFSQIndexReader::batch_read_end(std::span<const size_t> lists) const {
    return util::bounded_ivf_payload_batch_end(lists.size(), input_->capabilities().max_ranges_per_call,
                                               [&](size_t i) { return list_payload_len(lists[i]); });
}

size_t IVFSQIndexReader::group_end(std::span<const size_t> lists) const {
    size_t end = std::min(lists.size(), std::max<size_t>(batch_read_end(lists), 1));
    // Only a lowered stream threshold can put a list to stream inside a group.
    if (budgets_.stream_threshold < util::kReadBudgetBytes) {
        for (size_t j = 1; j < end; ++j) {
            if (list_payload_len(lists[j]) > budgets_.stream_threshold) return j;
        }
    }
    return end;
}

std::vector<SqListData> IVFSQIndexReader::read_inverted_lists(std::span<const size_t> lists) const {
    std::vector<SqListData> out(lists.size());
    std::vector<size_t> positions;
    std::vector<uint64_t> offsets;
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<std::span<uint8_t>> views;
    for (size_t i = 0; i < lists.size(); ++i) {
        const size_t l = lists[i];
        if (l >= nlist_) invalid_input("list_id {} out of range (nlist={})", l, nlist_);
        out[i].list = l;
        const int32_t count = list_counts_[l];
        if (count == 0) continue;
        const uint64_t length =
            ivfsq_io::list_payload_len(static_cast<uint64_t>(count), d_, static_cast<uint64_t>(list_id_lens_[l]));
        offsets.push_back(util::checked_list_offset(list_offsets_[l], l));
        buffers.push_back(util::read_overwrite_buffer(length, "IVF-SQ list payload"));
        views.emplace_back(buffers.back().get(), static_cast<size_t>(length));
        positions.push_back(i);
    }
    if (!positions.empty()) util::pread_batched_slices_with_limit(*input_, offsets, views, util::kReadBudgetBytes);
    for (size_t r = 0; r < positions.size(); ++r) {
        const size_t i = positions[r];
        const size_t l = lists[i];
        out[i] = decode_list_payload(std::move(buffers[r]), views[r].size(), static_cast<uint64_t>(list_counts_[l]),
                                     static_cast<uint64_t>(list_id_lens_[l]), d_);
        out[i].list = l;
    }
    return out;
}

std::vector<SharedSqList> IVFSQIndexReader::read_scan_lists(std::span<const size_t> lists) {
    std::vector<SharedSqList> out(lists.size());
    if (!cache_) {
        std::vector<SqListData> read = read_inverted_lists(lists);
        for (size_t i = 0; i < read.size(); ++i) out[i] = std::make_shared<const SqListData>(std::move(read[i]));
        return out;
    }
    std::vector<size_t> miss_positions;
    std::vector<size_t> miss_lists;
    for (size_t i = 0; i < lists.size(); ++i) {
        const size_t l = lists[i];
        if (l >= nlist_) invalid_input("IVF-SQ list ID out of range");
        if (const CachedSqList* hit = cache_->find(l)) {
            if (hit->offset == list_offsets_[l] && hit->code_size == d_ && hit->count == list_counts_[l] &&
                hit->id_bytes_len == list_id_lens_[l]) {
                out[i] = hit->list;
                continue;
            }
            cache_->remove_stale(l);
        }
        miss_positions.push_back(i);
        miss_lists.push_back(l);
    }
    std::vector<SqListData> read = read_inverted_lists(miss_lists);
    for (size_t m = 0; m < read.size(); ++m) {
        const size_t l = miss_lists[m];
        SharedSqList shared = std::make_shared<const SqListData>(std::move(read[m]));
        cache_->insert(CachedSqList{shared, list_offsets_[l], d_, list_counts_[l], list_id_lens_[l]});
        out[miss_positions[m]] = std::move(shared);
    }
    return out;
}

namespace {

// The delta-varint section of one streamed list, read in windows of at most
// `window` bytes as the IDs are asked for, one host read per window.
class IdWindowCursor {
public:
    IdWindowCursor(const io::SeekRead& input, uint64_t section_offset, uint64_t section_len, uint64_t window,
                   int64_t base)
        : input_(input),
          next_offset_(section_offset),
          remaining_(section_len),
          window_(std::min(window, section_len)),
          buffer_(util::read_overwrite_buffer(window_, "IVF-SQ ID window")),
          previous_(static_cast<uint64_t>(base)) {}

    // Replaces `ids` with the next n IDs.
    void next_ids(size_t n, std::vector<int64_t>& ids) {
        ids.clear();
        auto next_byte = [&] {
            if (pos_ == filled_) refill();
            return buffer_[pos_++];
        };
        for (size_t i = 0; i < n; ++i) {
            previous_ = util::next_delta_varint_id(previous_, util::kDeltaVarintMessages, next_byte);
            ids.push_back(static_cast<int64_t>(previous_));
        }
    }
    // After the last ID: no section bytes may be left.
    void finish() const {
        if (pos_ != filled_ || remaining_ != 0) invalid_data("trailing bytes in delta-varint ID section");
    }

private:
    void refill() {
        if (remaining_ == 0) invalid_data("{}", util::kDeltaVarintMessages.truncated);
        const uint64_t n = std::min(window_, remaining_);
        io::ReadRequest request{buffer_.get(), static_cast<size_t>(n), next_offset_};
        input_.pread(std::span<io::ReadRequest>(&request, 1));
        next_offset_ += n;
        remaining_ -= n;
        filled_ = static_cast<size_t>(n);
        pos_ = 0;
    }

    const io::SeekRead& input_;
    uint64_t next_offset_;
    uint64_t remaining_;
    uint64_t window_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t filled_ = 0;
    size_t pos_ = 0;
    uint64_t previous_;
};

}  // namespace

void IVFSQIndexReader::read_list_streamed(size_t list, const ChunkConsumer& consumer) const {
    if (list >= nlist_) invalid_input("list_id {} out of range (nlist={})", list, nlist_);
    const uint64_t count = static_cast<uint64_t>(std::max<int32_t>(list_counts_[list], 0));
    const uint64_t id_len = static_cast<uint64_t>(std::max<int32_t>(list_id_lens_[list], 0));
    const uint64_t offset = util::checked_list_offset(list_offsets_[list], list);
    const uint64_t code_bytes = util::checked_list_bytes(count, d_);
    const uint64_t id_offset = checked_or(checked_add(offset, code_bytes), "IVF-SQ ID offset overflow");

    // IDs at once when the ID block and the decoded IDs fit the ID budget;
    // otherwise a window of the ID section is held instead and each chunk's
    // IDs are decoded with it.
    const std::optional<uint64_t> id_block =
        checked_add(saturating_mul(count, 8), saturating_add(fmtv::kIdBlockHeaderBytes, id_len));
    const bool at_once = id_block && *id_block <= budgets_.id_block_budget;
    std::vector<int64_t> ids;
    std::optional<IdWindowCursor> cursor;
    uint64_t fixed = 0;
    if (at_once) {
        ids = util::read_delta_varint_ids_at(*input_, id_offset, count, id_len, "IVF-SQ");
        fixed = 8 * static_cast<uint64_t>(ids.size());
    } else {
        uint8_t raw[fmtv::kIdBlockHeaderBytes];
        io::ReadRequest request{raw, sizeof raw, id_offset};
        input_->pread(std::span<io::ReadRequest>(&request, 1));
        const fmtv::IdBlockHeader header =
            fmtv::IdBlockHeader::decode_from(std::span<const uint8_t, fmtv::kIdBlockHeaderBytes>(raw));
        if (header.id_bytes_len < 0 || static_cast<uint64_t>(header.id_bytes_len) != id_len) {
            invalid_data("IVF-SQ ID length does not match the offset table");
        }
        cursor.emplace(*input_, id_offset + fmtv::kIdBlockHeaderBytes, id_len, budgets_.id_window_bytes,
                       header.base_id);
        fixed = std::min(budgets_.id_window_bytes, id_len);
    }

    std::unique_ptr<uint8_t[]> chunk;
    uint64_t chunk_capacity = 0;
    for (uint64_t done = 0; done < count;) {
        // Held alongside a chunk: all decoded IDs (at once) or the ID window
        // and the chunk's own IDs (8 bytes more per row).
        const uint64_t rows = at_once ? util::bounded_ivf_stream_chunk_rows(count - done, d_, fixed, sq::kScanBlockRows)
                                      : util::bounded_ivf_stream_chunk_rows(count - done, d_ + 8, fixed,
                                                                            sq::kScanBlockRows);
        const uint64_t bytes = checked_or(checked_mul(rows, d_), "IVF-SQ chunk size overflow");
        std::optional<uint64_t> at = checked_mul(done, d_);
        if (at) at = checked_add(offset, *at);
        const uint64_t chunk_offset = checked_or(at, "IVF-SQ chunk offset overflow");
        if (bytes > chunk_capacity) {
            chunk = util::read_overwrite_buffer(bytes, "IVF-SQ code chunk");
            chunk_capacity = bytes;
        }
        io::ReadRequest request{chunk.get(), static_cast<size_t>(bytes), chunk_offset};
        input_->pread(std::span<io::ReadRequest>(&request, 1));
        const std::span<const uint8_t> codes(chunk.get(), static_cast<size_t>(bytes));
        if (at_once) {
            consumer(std::span<const int64_t>(ids).subspan(static_cast<size_t>(done), static_cast<size_t>(rows)),
                     codes);
        } else {
            cursor->next_ids(static_cast<size_t>(rows), ids);
            consumer(ids, codes);
        }
        done += rows;
    }
    if (cursor) cursor->finish();
}

}  // namespace tavren::ivfsq_io

// ---- Searches --------------------------------------------------------------------------

namespace tavren::ivfsq_io {

using row_id_filter::RowIdFilter;
using topk::TopKHeap;

SearchResult padded_results(TopKHeap heap, size_t k) {
    const std::vector<std::pair<float, int64_t>> sorted = std::move(heap).into_sorted();
    SearchResult out;
    out.ids.assign(k, -1);
    out.distances.assign(k, kF32Max);
    for (size_t j = 0; j < sorted.size() && j < k; ++j) {
        out.distances[j] = sorted[j].first;
        out.ids[j] = sorted[j].second;
    }
    return out;
}

void seed_heaps(std::span<TopKHeap> heaps, std::span<const int64_t> seed_ids, std::span<const float> seed_distances,
                size_t k) {
    for (size_t q = 0; q < heaps.size(); ++q) {
        for (size_t j = q * k; j < q * k + k && j < seed_ids.size() && j < seed_distances.size(); ++j) {
            if (seed_distances[j] != kF32Max) heaps[q].push(seed_ids[j], seed_distances[j]);
        }
    }
}

namespace {

void scan_list(const IVFSQIndexReader& r, std::span<const float> query, const SqListData& list,
               const RowIdFilter* filter, sq::SqScanScratch& scratch, TopKHeap& heap) {
    sq::scan_sq_rows(query, list.ids, list.codes(), r.centroid(list.list), r.list_sqs()[list.list], r.metric(), filter,
                     scratch, heap);
}

// The lists of a large single-query group after the first, each into a heap
// of its own whose ceiling is the result heap's threshold after the first
// list, then merged in group order.
void scan_group_in_parallel(const IVFSQIndexReader& r, std::span<const float> query,
                            std::span<const SharedSqList> lists, const RowIdFilter* filter, size_t k, TopKHeap& heap) {
    const float ceiling = heap.threshold();
    std::vector<std::vector<std::pair<float, int64_t>>> partial(lists.size());
    pool::parallel_for(1, lists.size(), 1, [&](size_t lo, size_t hi) {
        sq::SqScanScratch scratch;
        for (size_t j = lo; j < hi; ++j) {
            TopKHeap own = TopKHeap::with_max_distance(k, ceiling);
            scan_list(r, query, *lists[j], filter, scratch, own);
            partial[j] = std::move(own).into_sorted();
        }
    });
    for (size_t j = 1; j < lists.size(); ++j) {
        for (const auto& [distance, id] : partial[j]) heap.push(id, distance);
    }
}

}  // namespace

SearchResult IVFSQIndexReader::search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                                  const RowIdFilter* filter) {
    util::validate_search_inputs(query, 1, d_, k, nprobe);
    const std::vector<float> q = distance::preprocess_vectors(query, 1, d_, metric_);
    const std::vector<size_t> probes = kmeans::find_topk(q, centroids_, nlist_, d_, nprobe).lists;
    TopKHeap heap(k);
    sq::SqScanScratch scratch;
    const std::span<const size_t> order(probes);
    for (size_t i = 0; i < order.size();) {
        const size_t l = order[i];
        if (list_payload_len(l) > budgets_.stream_threshold) {
            read_list_streamed(l, [&](std::span<const int64_t> ids, std::span<const uint8_t> codes) {
                sq::scan_sq_rows(q, ids, codes, centroid(l), list_sqs_[l], metric_, filter, scratch, heap);
            });
            ++i;
            continue;
        }
        const size_t g = i + group_end(order.subspan(i));
        const std::vector<SharedSqList> lists = read_scan_lists(order.subspan(i, g - i));
        uint64_t rows = 0;
        for (const SharedSqList& list : lists) rows += list->ids.size();
        if (rows <= kSequentialGroupRows) {
            for (const SharedSqList& list : lists) scan_list(*this, q, *list, filter, scratch, heap);
        } else {
            scan_list(*this, q, *lists[0], filter, scratch, heap);
            scan_group_in_parallel(*this, q, lists, filter, k, heap);
        }
        i = g;
    }
    return padded_results(std::move(heap), k);
}

SearchResult IVFSQIndexReader::search_batch_range(std::span<const float> queries, size_t nq, size_t k,
                                                  size_t probe_start, size_t probe_end,
                                                  std::span<const int64_t> seed_ids,
                                                  std::span<const float> seed_distances, const RowIdFilter* filter) {
    return search_batch_ivfsq_reader_filter_range(*this, queries, nq, k, probe_start, probe_end, seed_ids,
                                                  seed_distances, filter);
}

SearchResult search_batch_ivfsq_reader_filter_range(IVFSQIndexReader& reader, std::span<const float> queries,
                                                    size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                    std::span<const int64_t> seed_ids,
                                                    std::span<const float> seed_distances,
                                                    const RowIdFilter* filter) {
    const size_t d = reader.d_;
    util::validate_search_inputs(queries, nq, d, k, probe_end);
    if (probe_start >= probe_end) invalid_input("probe range must be non-empty");
    validate_batch_seed(seed_ids, seed_distances, nq, k);
    const bool seeded = !seed_ids.empty() || !seed_distances.empty();
    if (nq == 1 && probe_start == 0 && !seeded) return reader.search_with_filter(queries, k, probe_end, filter);

    const std::vector<float> q = distance::preprocess_vectors(queries, nq, d, reader.metric_);
    const kmeans::TopKBatch probes = kmeans::find_topk_batch(q, nq, reader.centroids_, reader.nlist_, d, probe_end);

    // The distinct probed lists in first-seen order (query-major, ranks
    // ascending) and, per list, its queries ascending.
    std::vector<int64_t> seen(reader.nlist_, -1);
    std::vector<size_t> unique;
    std::vector<std::vector<size_t>> members;
    for (size_t i = 0; i < nq; ++i) {
        const std::vector<size_t>& ranks = probes.lists[i];
        for (size_t r = probe_start; r < ranks.size(); ++r) {
            const size_t l = ranks[r];
            check_index(l, reader.nlist_);
            if (seen[l] < 0) {
                seen[l] = static_cast<int64_t>(unique.size());
                unique.push_back(l);
                members.emplace_back();
            }
            std::vector<size_t>& m = members[static_cast<size_t>(seen[l])];
            if (m.empty() || m.back() != i) m.push_back(i);
        }
    }

    std::vector<TopKHeap> heaps;
    heaps.reserve(nq);
    for (size_t i = 0; i < nq; ++i) heaps.emplace_back(k);
    seed_heaps(heaps, seed_ids, seed_distances, k);

    auto query_of = [&](size_t i) { return std::span<const float>(q).subspan(i * d, d); };
    sq::SqScanScratch stream_scratch;
    std::vector<int32_t> slot(reader.nlist_, -1);
    const std::span<const size_t> order(unique);
    for (size_t v = 0; v < order.size();) {
        const size_t l = order[v];
        if (reader.list_payload_len(l) > reader.budgets_.stream_threshold) {
            reader.read_list_streamed(l, [&](std::span<const int64_t> ids, std::span<const uint8_t> codes) {
                for (size_t i : members[v]) {
                    sq::scan_sq_rows(query_of(i), ids, codes, reader.centroid(l), reader.list_sqs_[l], reader.metric_,
                                     filter, stream_scratch, heaps[i]);
                }
            });
            ++v;
            continue;
        }
        const size_t g = v + reader.group_end(order.subspan(v));
        const std::vector<SharedSqList> lists = reader.read_scan_lists(order.subspan(v, g - v));
        for (size_t j = 0; j < lists.size(); ++j) slot[lists[j]->list] = static_cast<int32_t>(j);
        pool::parallel_for(0, nq, 1, [&](size_t lo, size_t hi) {
            sq::SqScanScratch scratch;
            for (size_t i = lo; i < hi; ++i) {
                const std::vector<size_t>& ranks = probes.lists[i];
                for (size_t r = probe_start; r < ranks.size(); ++r) {
                    const int32_t s = slot[ranks[r]];
                    if (s >= 0) scan_list(reader, query_of(i), *lists[static_cast<size_t>(s)], filter, scratch, heaps[i]);
                }
            }
        });
        for (const SharedSqList& list : lists) slot[list->list] = -1;
        v = g;
    }

    const std::optional<uint64_t> total = checked_mul(nq, k);
    TD_ASSERT(total.has_value(), "nq * k overflows usize");
    SearchResult out;
    out.ids.reserve(static_cast<size_t>(*total));
    out.distances.reserve(static_cast<size_t>(*total));
    for (size_t i = 0; i < nq; ++i) {
        SearchResult one = padded_results(std::move(heaps[i]), k);
        out.ids.insert(out.ids.end(), one.ids.begin(), one.ids.end());
        out.distances.insert(out.distances.end(), one.distances.begin(), one.distances.end());
    }
    return out;
}

}  // namespace tavren::ivfsq_io
