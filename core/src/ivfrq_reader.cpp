// The IVF-RQ file reader and its searches (declared in ivfrq_io.hpp): header
// checks at open, the lazy metadata load, payload checks, the blocked list
// scan and the batch search every search form goes through.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "distance.hpp"
#include "error.hpp"
#include "index_io_util.hpp"
#include "ivf_search.hpp"
#include "ivfrq_format.hpp"
#include "ivfrq_io.hpp"
#include "ivfsq_io.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivfrq_io {

namespace fmtv = ivfrq_format;
namespace util = index_io_util;
using rabitq::RaBitQuantizer;
using rabitq::RQQueryContext;
using row_id_filter::RowIdFilter;
using topk::TopKHeap;

void IVFRQSearchStats::add(const IVFRQSearchStats& o) noexcept {
    query_count = saturating_add(query_count, o.query_count);
    rows_scanned = saturating_add(rows_scanned, o.rows_scanned);
    rows_after_filter = saturating_add(rows_after_filter, o.rows_after_filter);
    coarse_estimates = saturating_add(coarse_estimates, o.coarse_estimates);
    refine_candidates = saturating_add(refine_candidates, o.refine_candidates);
    fastscan_recheck_bytes = saturating_add(fastscan_recheck_bytes, o.fastscan_recheck_bytes);
    refine_code_bytes = saturating_add(refine_code_bytes, o.refine_code_bytes);
    extended_estimates = saturating_add(extended_estimates, o.extended_estimates);
    heap_pushes = saturating_add(heap_pushes, o.heap_pushes);
    fastscan_blocks = saturating_add(fastscan_blocks, o.fastscan_blocks);
    lut_blocks = saturating_add(lut_blocks, o.lut_blocks);
    prescans = saturating_add(prescans, o.prescans);
    parallel_list_scans = saturating_add(parallel_list_scans, o.parallel_list_scans);
}

void IVFRQSearchStats::count_prescan() noexcept { prescans = saturating_add(prescans, 1); }

void IVFRQSearchStats::count_parallel_lists(uint64_t lists) noexcept {
    parallel_list_scans = saturating_add(parallel_list_scans, lists);
}

// ---- Field checks ------------------------------------------------------------------------

int32_t validate_positive_i32(int32_t value, std::string_view name) {
    if (value <= 0) invalid_data("invalid IVF-RQ {}: {}; expected positive", name, value);
    return value;
}

int32_t validate_non_negative_i32(int32_t value, std::string_view name) {
    if (value < 0) invalid_data("invalid IVF-RQ {}: {}; expected non-negative", name, value);
    return value;
}

uint64_t checked_list_offset(int64_t offset, size_t list) {
    if (offset < 0) invalid_data("negative IVF-RQ list offset {} for list {}", offset, list);
    return static_cast<uint64_t>(offset);
}

std::vector<float> bytes_to_f32_vec(std::span<const uint8_t> bytes) {
    if (bytes.size() % 4 != 0) invalid_data("IVF-RQ f32 section is not aligned");
    std::vector<float> out(bytes.size() / 4);
    if (!bytes.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());  // little-endian host
    return out;
}

// ---- Open and load -----------------------------------------------------------------------

IVFRQIndexReader::IVFRQIndexReader(IVFRQIndexReader&&) noexcept = default;
IVFRQIndexReader& IVFRQIndexReader::operator=(IVFRQIndexReader&&) noexcept = default;
IVFRQIndexReader::~IVFRQIndexReader() = default;

IVFRQIndexReader IVFRQIndexReader::open_with_header(std::unique_ptr<io::SeekRead> input,
                                                    std::span<const uint8_t, 64> header) {
    return open_with_header_and_options(std::move(input), header, read_options::VectorIndexReaderOptions{});
}

IVFRQIndexReader IVFRQIndexReader::open_with_header_and_options(
    std::unique_ptr<io::SeekRead> input, std::span<const uint8_t, 64> header,
    const read_options::VectorIndexReaderOptions& options) {
    TD_ASSERT(input != nullptr, "reader input must not be null");
    const fmtv::Header h = fmtv::Header::decode_from(header);
    if (h.magic != fmtv::kMagic) invalid_data("invalid IVF-RQ magic: 0x{:08X}", h.magic);
    if (h.version != fmtv::kVersion) invalid_data("unsupported IVF-RQ version: {}", h.version);
    const size_t d = static_cast<size_t>(validate_positive_i32(h.dimension, "dimension"));
    const size_t padded = static_cast<size_t>(validate_positive_i32(h.padded_dimension, "padded_dimension"));
    if (padded != rabitq::padded_dimension(d)) {
        invalid_data("IVF-RQ padded_dimension {} does not match dimension-derived {}", padded,
                     rabitq::padded_dimension(d));
    }
    const size_t nlist = static_cast<size_t>(validate_positive_i32(h.nlist, "nlist"));
    if (h.metric > 2) invalid_data("unknown metric type: {}", h.metric);
    const size_t plane = static_cast<size_t>(validate_positive_i32(h.plane_size, "plane_size"));
    if (h.total < 0) invalid_data("negative IVF-RQ vector count");
    if (padded / 8 != plane) invalid_data("IVF-RQ plane size {} does not match padded dimension {}", plane, padded);
    if (h.bits < 1 || h.bits > 8) invalid_data("unsupported IVF-RQ bits {}; expected 1..=8", h.bits);
    if (h.rotation_rounds != fmtv::kRotationRounds) {
        invalid_data("unsupported IVF-RQ rotation rounds {}; expected {}", h.rotation_rounds, fmtv::kRotationRounds);
    }
    if (h.rotation_type != fmtv::kRotationType) invalid_data("unsupported IVF-RQ rotation type {}", h.rotation_type);
    if (h.factor_layout != fmtv::kFactorLayout) invalid_data("unsupported IVF-RQ factor layout {}", h.factor_layout);
    if (h.flags != fmtv::kFlags) invalid_data("unsupported IVF-RQ flags 0x{:08X}", h.flags);
    // What the writer refuses, refused before anything is sized from it.
    checked_section_size(nlist, d);
    checked_section_size(nlist, padded);

    IVFRQIndexReader r;
    r.input_ = std::move(input);
    r.quantizer_ = RaBitQuantizer::create(d, h.bits);
    r.d_ = d;
    r.padded_ = padded;
    r.nlist_ = nlist;
    r.total_ = h.total;
    r.seed_ = h.seed;
    r.metric_ = h.metric;
    r.budget_ = options.memory_budget_bytes;
    return r;
}

void RQQueryWork::prepare(const IVFRQIndexReader& r, std::span<const float> query, bool fastscan_tables) {
    const size_t dp = r.padded_dimension();
    rotated.resize(dp);
    scratch.resize(dp);
    r.rotation().rotate(query, rotated, scratch);
    r.quantizer().prepare_query_into(rotated, ctx, fastscan_tables);
    query_norm = distance::fvec_norm_l2sqr(query);
}

RQQueryWork& IVFRQIndexReader::query_work() {
    if (!query_work_) query_work_ = std::make_unique<RQQueryWork>();
    return *query_work_;
}

void IVFRQIndexReader::set_read_piece_for_testing(uint64_t bytes) {
    TD_ASSERT(bytes >= 1 && bytes <= index_io_util::kReadBudgetBytes, "read piece out of range");
    read_piece_ = bytes;
}

void IVFRQIndexReader::ensure_loaded() {
    if (loaded_) return;
    const uint64_t values = checked_section_size(nlist_, d_);
    const uint64_t centroid_bytes = checked_list_bytes(values, 4);
    const uint64_t table_bytes = checked_list_bytes(nlist_, fmtv::kOffsetEntryBytes);
    const std::optional<uint64_t> total = checked_add(centroid_bytes, table_bytes);
    if (!total) invalid_data("IVF-RQ resident metadata size overflow");

    // What stays resident: the bytes read (centroids and table, kept as
    // arrays), the centroid norms and the rotation (a sign byte per 8
    // coordinates and an index per coordinate, per round).
    const uint64_t rotation_bytes = saturating_mul(fmtv::kRotationRounds, saturating_add(padded_ / 8, 8 * padded_));
    const uint64_t resident = saturating_add(saturating_add(*total, 4 * static_cast<uint64_t>(nlist_)), rotation_bytes);
    if (resident > budget_) {
        invalid_input("IVF-RQ metadata of {} bytes exceeds the reader memory budget of {} bytes", resident, budget_);
    }

    const std::unique_ptr<uint8_t[]> bytes =
        util::read_section_grown(*input_, fmtv::kHeaderBytes, *total, read_piece_, "IVF-RQ metadata");
    try {
        std::vector<float> centroids = bytes_to_f32_vec(std::span<const uint8_t>(bytes.get(), centroid_bytes));
        std::vector<int64_t> offsets(nlist_);
        std::vector<int32_t> counts(nlist_);
        std::vector<int32_t> delta_lens(nlist_);
        int64_t sum = 0;
        for (size_t i = 0; i < nlist_; ++i) {
            const fmtv::OffsetEntry e = fmtv::OffsetEntry::decode_from(
                std::span<const uint8_t, fmtv::kOffsetEntryBytes>(bytes.get() + centroid_bytes + 16 * i, 16));
            offsets[i] = e.offset;
            counts[i] = validate_non_negative_i32(e.count, "list count");
            delta_lens[i] = validate_non_negative_i32(e.id_bytes_len, "delta ID bytes");
            sum += counts[i];  // at most 2^30 lists of at most 2^31 rows
        }
        if (sum != total_) invalid_data("IVF-RQ list counts total {} does not match header {}", sum, total_);
        std::vector<float> norms(nlist_);
        for (size_t i = 0; i < nlist_; ++i) {
            norms[i] = distance::fvec_norm_l2sqr(std::span<const float>(centroids).subspan(i * d_, d_));
        }
        // Built only now that the read proved the centroids exist.
        auto rotation = std::make_unique<rabitq::RQRotation>(d_, seed_, fmtv::kRotationRounds);

        centroids_ = std::move(centroids);
        centroid_norms_ = std::move(norms);
        list_offsets_ = std::move(offsets);
        list_counts_ = std::move(counts);
        delta_id_lens_ = std::move(delta_lens);
        rotation_ = std::move(rotation);
        lists_ = ivf_lists::ListStore(ivf_lists::ListFormat{"IVF-RQ", quantizer_.bits * quantizer_.plane_size, 1, false},
                                      nlist_);
        loaded_ = true;
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "IVF-RQ metadata of {} bytes does not fit in memory", resident);
    }
}

const rabitq::RQRotation& IVFRQIndexReader::rotation() const {
    TD_ASSERT(rotation_ != nullptr, "IVF-RQ reader is not loaded");
    return *rotation_;
}

int32_t IVFRQIndexReader::list_count(size_t list) const {
    TD_ASSERT(list < list_counts_.size(), "list {} out of range", list);
    return list_counts_[list];
}

std::optional<RQListPayloadMeta> IVFRQIndexReader::list_payload_meta(size_t list) const {
    if (list >= nlist_) invalid_input("list ID {} out of range for nlist={}", list, nlist_);
    TD_ASSERT(list < list_counts_.size(), "IVF-RQ reader is not loaded");
    const size_t count = static_cast<size_t>(list_counts_[list]);
    if (count == 0) return std::nullopt;
    const size_t bits = quantizer_.bits;
    const uint64_t code_bytes = checked_list_bytes(count, checked_list_bytes(quantizer_.plane_size, bits));
    const uint64_t factor_count = checked_list_bytes(count, fmtv::factor_fields(bits));
    std::optional<uint64_t> len = checked_mul(factor_count, 4);
    if (len) len = checked_add(*len, code_bytes);
    if (len) len = checked_add(*len, fmtv::kPayloadHeadBytes + static_cast<uint64_t>(delta_id_lens_[list]));
    if (!len || *len > static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        invalid_data("IVF-RQ list payload overflow");
    }
    RQListPayloadMeta m;
    m.list_id = list;
    m.count = count;
    m.offset = checked_list_offset(list_offsets_[list], list);
    m.delta_id_bytes = static_cast<size_t>(delta_id_lens_[list]);
    m.code_bytes = static_cast<size_t>(code_bytes);
    m.factor_count = static_cast<size_t>(factor_count);
    m.payload_len = static_cast<size_t>(*len);
    return m;
}

uint64_t IVFRQIndexReader::list_payload_len(size_t list) const {
    const std::optional<RQListPayloadMeta> m = list_payload_meta(list);
    return m ? m->payload_len : 0;
}

// ---- The engine's view of the payloads -------------------------------------------------------

uint64_t RQPayloadLayout::payload_len(size_t list) const { return reader_.list_payload_len(list); }

uint64_t RQPayloadLayout::payload_offset(size_t list) const {
    return checked_list_offset(reader_.list_offsets_[list], list);
}

uint64_t RQPayloadLayout::code_start(size_t list) const {
    return fmtv::kPayloadHeadBytes + static_cast<uint64_t>(reader_.delta_id_lens_[list]);
}

void RQPayloadLayout::admit_group(uint64_t payload_bytes) const {
    if (payload_bytes > reader_.budget_) {
        invalid_input("IVF-RQ list payloads of {} bytes exceed the reader memory budget of {} bytes", payload_bytes,
                      reader_.budget_);
    }
}

uint64_t RQPayloadLayout::read_piece() const { return reader_.read_piece_; }

uint64_t RQPayloadLayout::max_rows(size_t list) const { return static_cast<uint64_t>(reader_.list_count(list)); }

namespace {

// Where the sections of a checked payload lie.
struct PayloadSections {
    size_t code_start;
    size_t code_end;
};

// The checks of one payload read whole, in order; appends its IDs to `ids`.
PayloadSections check_payload(const RQListPayloadMeta& meta, std::span<const uint8_t> bytes, size_t bits,
                              size_t plane_size, std::vector<int64_t>& ids) {
    if (bytes.size() != meta.payload_len) invalid_data("IVF-RQ list {} payload length mismatch", meta.list_id);
    const int64_t base = util::load_le<int64_t>(bytes, 0);
    const int32_t delta_len = util::load_le<int32_t>(bytes, 8);
    const int32_t code_len = util::load_le<int32_t>(bytes, 12);
    if (delta_len < 0 || static_cast<uint64_t>(delta_len) != meta.delta_id_bytes) {
        invalid_data("IVF-RQ delta ID length mismatch");
    }
    const std::optional<uint64_t> expected_codes = checked_mul(meta.count, static_cast<uint64_t>(bits) * plane_size);
    if (code_len < 0 || !expected_codes || static_cast<uint64_t>(code_len) != *expected_codes) {
        invalid_data("IVF-RQ code length mismatch");
    }
    const size_t code_start = fmtv::kPayloadHeadBytes + meta.delta_id_bytes;
    const size_t code_end = code_start + static_cast<size_t>(code_len);
    // The lengths above agree with the payload length, so both sections lie inside it.
    if (code_end > bytes.size()) invalid_data("IVF-RQ code length mismatch");
    const std::span<const uint8_t> section = bytes.subspan(fmtv::kPayloadHeadBytes, meta.delta_id_bytes);
    const size_t used = util::append_delta_varint_ids(base, section, meta.count, util::kDeltaVarintMessages, ids);
    if (used != section.size()) invalid_data("trailing bytes in delta-varint ID section");
    const size_t factor_bytes = bytes.size() - code_end;
    if (factor_bytes % 4 != 0) invalid_data("IVF-RQ f32 section is not aligned");
    if (factor_bytes / 4 != meta.factor_count) invalid_data("IVF-RQ factor count mismatch");
    return PayloadSections{code_start, code_end};
}

}  // namespace

void RQPayloadLayout::parse(size_t list, std::span<const uint8_t> payload, std::vector<int64_t>& ids,
                            ivf_lists::ListView& view) const {
    const std::optional<RQListPayloadMeta> meta = reader_.list_payload_meta(list);
    TD_ASSERT(meta.has_value(), "an empty IVF-RQ list has no payload");
    const PayloadSections at = check_payload(*meta, payload, reader_.quantizer_.bits, reader_.quantizer_.plane_size, ids);
    view.codes = payload.subspan(at.code_start, at.code_end - at.code_start);
    view.side = payload.subspan(at.code_end);
}

std::vector<RQReadList> IVFRQIndexReader::read_lists(std::span<const size_t> lists) {
    ensure_loaded();
    const RQPayloadLayout layout(*this);
    std::vector<RQReadList> out;
    for (size_t p = 0; p < lists.size();) {
        const std::span<const size_t> rest = lists.subspan(p);
        const size_t count = lists_.batch_read_end(*input_, rest, layout);
        const std::span<const ivf_lists::ListView> views = lists_.read_views(*input_, rest.subspan(0, count), layout);
        for (const ivf_lists::ListView& v : views) {
            RQReadList l;
            l.list_id = v.list;
            if (!v.ids.empty()) {
                l.ids.assign(v.ids.begin(), v.ids.end());
                l.payload = util::read_overwrite_buffer(v.codes.size(), "IVF-RQ list payload");
                std::memcpy(l.payload.get(), v.codes.data(), v.codes.size());
                l.payload_bytes = v.codes.size();
                l.code_end = v.codes.size();
                l.factors = bytes_to_f32_vec(v.side);
            }
            out.push_back(std::move(l));
        }
        p += count;
    }
    return out;
}

// ---- Payloads ------------------------------------------------------------------------------

RQReadList parse_list_payload(const RQListPayloadMeta& meta, std::unique_ptr<uint8_t[]> payload, size_t length,
                              size_t bits, size_t plane_size) {
    if (length != meta.payload_len) invalid_data("IVF-RQ list {} payload length mismatch", meta.list_id);
    const std::span<const uint8_t> bytes(payload.get(), length);
    RQReadList out;
    out.ids.reserve(std::min<size_t>(meta.count, meta.delta_id_bytes));
    const PayloadSections at = check_payload(meta, bytes, bits, plane_size, out.ids);
    out.factors = bytes_to_f32_vec(bytes.subspan(at.code_end));
    out.payload = std::move(payload);
    out.payload_bytes = at.code_end;
    out.list_id = meta.list_id;
    out.code_start = at.code_start;
    out.code_end = at.code_end;
    return out;
}

// ---- List scan -------------------------------------------------------------------------------

namespace {

// Whether a distance enters the heap now: strictly below the heap's
// threshold (a NaN never does); nothing enters a heap of capacity 0.
inline bool passes(const TopKHeap& heap, float distance) noexcept {
    return heap.k() != 0 && heap.threshold() > distance;
}

}  // namespace

void scan_blocked_list(const RQReadList& list, const RaBitQuantizer& quantizer, const RQQueryContext& ctx,
                       const RowIdFilter* filter, TopKHeap& heap, float q_term, float q_norm,
                       IVFRQSearchStats& stats, size_t limit) {
    const std::span<const uint8_t> factors(reinterpret_cast<const uint8_t*>(list.factors.data()),
                                           list.factors.size() * sizeof(float));
    scan_blocked_rows(list.ids, list.codes(), factors, quantizer, ctx, filter, heap, q_term, q_norm, stats, limit);
}

void scan_blocked_rows(std::span<const int64_t> row_ids, std::span<const uint8_t> codes,
                       std::span<const uint8_t> factor_bytes, const RaBitQuantizer& quantizer,
                       const RQQueryContext& ctx, const RowIdFilter* filter, TopKHeap& heap, float q_term,
                       float q_norm, IVFRQSearchStats& stats, size_t limit) {
    const size_t rows = std::min(limit, row_ids.size());
    if (rows == 0) return;
    const size_t bits = quantizer.bits;
    const size_t p = quantizer.plane_size;
    const size_t fields = fmtv::factor_fields(bits);
    TD_ASSERT(codes.size() / (bits * p) >= rows && factor_bytes.size() / (4 * fields) >= rows, "IVF-RQ list too short");
    TD_ASSERT(ctx.byte_lut.size() >= p * 256, "IVF-RQ query context too short");
    const float* lut = ctx.byte_lut.data();
    // Factors are used where they lie when they are f32-aligned (the store's
    // batched reads); otherwise each block's are copied out first.
    const bool factors_aligned = reinterpret_cast<uintptr_t>(factor_bytes.data()) % alignof(float) == 0;
    float fac_copy[5 * 32];

    const float t = static_cast<float>((1u << bits) - 1) * 0.5f;
    const float w0 = static_cast<float>(1u << (bits - 1));
    const float half_sum = 0.5f * ctx.query_sum;
    const float t_sum = t * ctx.query_sum;
    const bool fastscan = rq_scan_uses_fastscan(quantizer, filter);
    TD_ASSERT(!fastscan || ctx.fastscan_lut.size() >= p * 32, "IVF-RQ query context has no FastScan tables");

    float est[32];
    float acc[32];
    float exact[32];
    bool selected[32];
    uint8_t chosen[32];
    for (size_t s = 0; s < rows; s += 32) {
        const size_t n = std::min<size_t>(32, rows - s);
        stats.rows_scanned = saturating_add(stats.rows_scanned, n);
        const uint8_t* block = codes.data() + s * bits * p;
        const float* fac = fac_copy;
        if (factors_aligned) {
            fac = reinterpret_cast<const float*>(factor_bytes.data()) + s * fields;
        } else {
            std::memcpy(fac_copy, factor_bytes.data() + 4 * s * fields, 4 * n * fields);
        }
        const int64_t* ids = row_ids.data() + s;
        bool approximate = false;
        size_t m = 0;
        if (fastscan && n == 32) {
            quantizer.fastscan_coarse_block(ctx, std::span<const uint8_t>(block, 32 * p), est);
            stats.fastscan_blocks = saturating_add(stats.fastscan_blocks, 1);
            approximate = true;
            for (size_t j = 0; j < n; ++j) selected[j] = true;
            m = n;
        } else {
            stats.lut_blocks = saturating_add(stats.lut_blocks, 1);
            for (size_t j = 0; j < n; ++j) {
                selected[j] = filter == nullptr || filter->contains(ids[j]);
                est[j] = 0.0f;
                m += selected[j] ? 1 : 0;
            }
            if (m == n) {
                // Every row selected: the same sums without a test per byte.
                rabitq::byte_table_block_sums(lut, block, p, n, est);
            } else {
                for (size_t c = 0; c < p; ++c) {
                    const float* row = lut + 256 * c;
                    const uint8_t* b = block + c * n;
                    for (size_t j = 0; j < n; ++j) {
                        if (selected[j]) est[j] += row[b[j]];
                    }
                }
            }
        }
        stats.rows_after_filter = saturating_add(stats.rows_after_filter, m);
        stats.coarse_estimates = saturating_add(stats.coarse_estimates, m);
        if (m == 0) continue;

        const float* bin_add = fac;
        const float* bin_rescale = fac + n;
        if (bits == 1) {
            for (size_t j = 0; j < n; ++j) {
                if (!selected[j]) continue;
                const float distance = (est[j] - half_sum) * bin_rescale[j] + (bin_add[j] + q_term);
                if (passes(heap, distance)) {
                    stats.heap_pushes = saturating_add(stats.heap_pushes, 1);
                    heap.push(ids[j], distance);
                }
            }
            continue;
        }

        const float* bin_error = fac + 2 * n;
        const float* ex_add = fac + 3 * n;
        const float* ex_rescale = fac + 4 * n;
        size_t candidates = 0;
        for (size_t j = 0; j < n; ++j) {
            if (!selected[j]) continue;
            float lower = ((est[j] - half_sum) * bin_rescale[j] + (bin_add[j] + q_term)) - bin_error[j] * q_norm;
            if (approximate) lower -= std::fabs(bin_rescale[j]) * ctx.lut_error_bound;
            if (passes(heap, lower)) chosen[candidates++] = static_cast<uint8_t>(j);
        }
        stats.refine_candidates = saturating_add(stats.refine_candidates, candidates);
        stats.refine_code_bytes =
            saturating_add(stats.refine_code_bytes, saturating_mul(candidates, saturating_mul(bits - 1, p)));
        if (candidates == 0) continue;

        for (size_t j = 0; j < n; ++j) acc[j] = est[j] * w0;
        // Many candidates: every row of the block is summed by the block
        // kernels (each row's terms in the order of the loops below, so the
        // chosen rows get the same bits); the others' sums go unused.
        const bool whole_block = 2 * candidates >= n && n >= 8;
        if (whole_block) {
            if (approximate) {
                rabitq::byte_table_block_sums(lut, block, p, n, exact);
                for (size_t j = 0; j < n; ++j) exact[j] *= w0;
            }
            for (size_t b = 1; b < bits; ++b) {
                const float w = static_cast<float>(1u << (bits - 1 - b));
                const uint8_t* plane = block + b * n * p;
                rabitq::byte_table_block_add(lut, plane, p, n, w, acc);
                if (approximate) rabitq::byte_table_block_add(lut, plane, p, n, w, exact);
            }
        } else if (approximate) {
            // The exact sum a table block would have computed, carried beside
            // the approximate one: its sign-plane part summed from the byte
            // tables, then the same plane terms in the same order as acc, so
            // each plane byte is looked up once for both.
            for (size_t i = 0; i < candidates; ++i) exact[chosen[i]] = 0.0f;
            for (size_t c = 0; c < p; ++c) {
                const float* row = lut + 256 * c;
                const uint8_t* sb = block + c * n;
                for (size_t i = 0; i < candidates; ++i) {
                    const size_t j = chosen[i];
                    exact[j] += row[sb[j]];
                }
            }
            for (size_t i = 0; i < candidates; ++i) exact[chosen[i]] *= w0;
            for (size_t b = 1; b < bits; ++b) {
                const float w = static_cast<float>(1u << (bits - 1 - b));
                const uint8_t* plane = block + b * n * p;
                for (size_t c = 0; c < p; ++c) {
                    const float* row = lut + 256 * c;
                    const uint8_t* pb = plane + c * n;
                    for (size_t i = 0; i < candidates; ++i) {
                        const size_t j = chosen[i];
                        const float term = row[pb[j]] * w;
                        acc[j] += term;
                        exact[j] += term;
                    }
                }
            }
        } else {
            for (size_t b = 1; b < bits; ++b) {
                const float w = static_cast<float>(1u << (bits - 1 - b));
                const uint8_t* plane = block + b * n * p;
                for (size_t c = 0; c < p; ++c) {
                    const float* row = lut + 256 * c;
                    const uint8_t* pb = plane + c * n;
                    for (size_t i = 0; i < candidates; ++i) {
                        const size_t j = chosen[i];
                        acc[j] += row[pb[j]] * w;
                    }
                }
            }
        }
        for (size_t i = 0; i < candidates; ++i) {
            const size_t j = chosen[i];
            float distance = (acc[j] - t_sum) * ex_rescale[j] + (ex_add[j] + q_term);
            if (approximate) {
                if (heap.k() == 0) continue;
                if (!passes(heap, distance - std::fabs(ex_rescale[j]) * w0 * ctx.lut_error_bound)) continue;
                // The exact recomputation (carried above), so both paths
                // offer the same distance for the same row.
                stats.fastscan_recheck_bytes = saturating_add(stats.fastscan_recheck_bytes, p);
                stats.refine_code_bytes = saturating_add(stats.refine_code_bytes, saturating_mul(bits - 1, p));
                distance = (exact[j] - t_sum) * ex_rescale[j] + (ex_add[j] + q_term);
            }
            stats.extended_estimates = saturating_add(stats.extended_estimates, 1);
            if (passes(heap, distance)) {
                stats.heap_pushes = saturating_add(stats.heap_pushes, 1);
                heap.push(ids[j], distance);
            }
        }
    }
}

// ---- Search ----------------------------------------------------------------------------------

RQListScanner::RQListScanner(const IVFRQIndexReader& reader, const RowIdFilter* filter) noexcept
    : reader_(reader), fastscan_tables_(rq_scan_uses_fastscan(reader.quantizer(), filter)) {}

void RQListScanner::prepare(Work& work, std::span<const float> query) const {
    work.prepare(reader_, query, fastscan_tables_);
}

void RQListScanner::scan(const Work& work, const ivf_lists::ListView& list, float probe_distance,
                         const RowIdFilter* filter, TopKHeap& heap, Stats& stats, size_t limit) const {
    const rabitq::RQQueryTerms t =
        rabitq::query_terms(probe_distance, reader_.metric(), work.query_norm, reader_.centroid_norms()[list.list]);
    scan_blocked_rows(list.ids, list.codes, list.side, reader_.quantizer(), work.ctx, filter, heap, t.q_term, t.q_norm,
                      stats, limit);
}

SearchResult search_batch_ivfrq_reader_filter_range(IVFRQIndexReader& reader, std::span<const float> queries,
                                                    size_t nq, size_t k, size_t probe_start, size_t probe_end,
                                                    std::span<const int64_t> seed_ids,
                                                    std::span<const float> seed_distances,
                                                    const RowIdFilter* filter) {
    reader.ensure_loaded();
    const size_t d = reader.d_;
    const size_t nlist = reader.nlist_;
    util::validate_search_inputs(queries, nq, d, k, probe_end);
    if (probe_start >= probe_end) invalid_input("probe range must be non-empty");
    ivf_search::validate_batch_seed(seed_ids, seed_distances, nq, k);
    const size_t total_pairs = nq * k;

    const std::vector<float> q = distance::preprocess_vectors(queries, nq, d, reader.metric_);
    const kmeans::TopKBatch probes = kmeans::find_topk_batch_with_centroid_norms(
        q, nq, reader.centroids_, reader.centroid_norms_, nlist, d, probe_end);

    std::vector<TopKHeap> heaps;
    heaps.reserve(nq);
    for (size_t i = 0; i < nq; ++i) heaps.emplace_back(k);
    if (!seed_ids.empty()) ivfsq_io::seed_heaps(heaps, seed_ids, seed_distances, k);

    const RQPayloadLayout layout(reader);
    const RQListScanner scanner(reader, filter);
    IVFRQSearchStats total;
    total.query_count = nq;
    total.add(ivf_search::walk_probes<ivf_search::DistinctRowHeapPolicy>(
        ivf_search::ProbeSource{reader.lists_, *reader.input_, layout}, scanner, q, d, probes, probe_start,
        std::span<TopKHeap>(heaps), reader.query_work(), filter));

    ivf_lists::check_capacity(total_pairs, sizeof(int64_t));
    SearchResult out;
    out.ids.assign(total_pairs, -1);
    out.distances.assign(total_pairs, kF32Max);
    for (size_t i = 0; i < nq; ++i) {
        const std::vector<std::pair<float, int64_t>> sorted = std::move(heaps[i]).into_sorted();
        for (size_t j = 0; j < sorted.size() && j < k; ++j) {
            out.ids[i * k + j] = sorted[j].second;
            out.distances[i * k + j] = sorted[j].first;
        }
    }
    reader.last_stats_ = total;
    reader.accumulated_stats_.add(total);
    return out;
}

SearchResult IVFRQIndexReader::search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                                  const RowIdFilter* filter) {
    return search_batch_ivfrq_reader_filter_range(*this, query, 1, k, 0, nprobe, {}, {}, filter);
}

SearchResult IVFRQIndexReader::search_batch_range(std::span<const float> queries, size_t nq, size_t k,
                                                  size_t probe_start, size_t probe_end,
                                                  std::span<const int64_t> seed_ids,
                                                  std::span<const float> seed_distances, const RowIdFilter* filter) {
    return search_batch_ivfrq_reader_filter_range(*this, queries, nq, k, probe_start, probe_end, seed_ids,
                                                  seed_distances, filter);
}

}  // namespace tavren::ivfrq_io
