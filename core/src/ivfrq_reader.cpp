// The IVF-RQ file reader and its searches (declared in ivfrq_io.hpp): header
// checks at open, the lazy metadata load, payload checks, the blocked list
// scan and the batch search every search form goes through.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include <tbb/enumerable_thread_specific.h>

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

void RQQueryWork::prepare(const IVFRQIndexReader& r, std::span<const float> query) {
    const size_t dp = r.padded_dimension();
    rotated.resize(dp);
    scratch.resize(dp);
    r.rotation().rotate(query, rotated, scratch);
    r.quantizer().prepare_query_into(rotated, ctx);
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

size_t IVFRQIndexReader::next_group(std::span<const size_t> lists,
                                    std::vector<std::optional<RQListPayloadMeta>>& metas) const {
    metas.clear();
    const uint64_t max_ranges = input_->capabilities().max_ranges_per_call;
    return util::bounded_ivf_payload_batch_end(lists.size(), max_ranges, [&](size_t i) -> uint64_t {
        metas.push_back(list_payload_meta(lists[i]));
        return metas.back() ? metas.back()->payload_len : 0;
    });
}

std::vector<RQReadList> IVFRQIndexReader::read_group(std::span<const size_t> group,
                                                     std::span<const std::optional<RQListPayloadMeta>> metas) {
    // Every non-empty payload of the group in one batched read; a list above
    // one read piece (alone in its group) in pieces into a buffer that grows
    // with what the host delivered.
    std::vector<RQReadList> lists(group.size());
    std::vector<uint64_t> offsets;
    std::vector<std::span<uint8_t>> views;
    std::vector<std::unique_ptr<uint8_t[]>> buffers(group.size());
    uint64_t group_bytes = 0;
    for (size_t i = 0; i < group.size(); ++i) {
        lists[i].list_id = group[i];
        if (metas[i]) group_bytes = saturating_add(group_bytes, metas[i]->payload_len);
    }
    if (group_bytes > budget_) {
        invalid_input("IVF-RQ list payloads of {} bytes exceed the reader memory budget of {} bytes", group_bytes,
                      budget_);
    }
    for (size_t i = 0; i < group.size(); ++i) {
        if (!metas[i]) continue;
        const RQListPayloadMeta& m = *metas[i];
        if (m.payload_len > read_piece_) {
            buffers[i] = util::read_section_grown(*input_, m.offset, m.payload_len, read_piece_, "IVF-RQ list payload");
            continue;
        }
        buffers[i] = util::read_overwrite_buffer(m.payload_len, "IVF-RQ list payload");
        offsets.push_back(m.offset);
        views.emplace_back(buffers[i].get(), m.payload_len);
    }
    if (!views.empty()) util::pread_batched_slices_with_limit(*input_, offsets, views, util::kReadBudgetBytes);
    for (size_t i = 0; i < group.size(); ++i) {
        if (!metas[i]) continue;
        lists[i] = parse_list_payload(*metas[i], std::move(buffers[i]), metas[i]->payload_len, quantizer_.bits,
                                      quantizer_.plane_size);
    }
    return lists;
}

std::vector<RQReadList> IVFRQIndexReader::read_lists(std::span<const size_t> lists) {
    ensure_loaded();
    std::vector<RQReadList> out;
    std::vector<std::optional<RQListPayloadMeta>> metas;
    for (size_t p = 0; p < lists.size();) {
        const size_t count = next_group(lists.subspan(p), metas);
        std::vector<RQReadList> got = read_group(lists.subspan(p, count), metas);
        for (RQReadList& l : got) out.push_back(std::move(l));
        p += count;
    }
    return out;
}

// ---- Payloads ------------------------------------------------------------------------------

RQReadList parse_list_payload(const RQListPayloadMeta& meta, std::unique_ptr<uint8_t[]> payload, size_t length,
                              size_t bits, size_t plane_size) {
    if (length != meta.payload_len) invalid_data("IVF-RQ list {} payload length mismatch", meta.list_id);
    const std::span<const uint8_t> bytes(payload.get(), length);
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
    if (code_end > length) invalid_data("IVF-RQ code length mismatch");
    RQReadList out;
    out.ids = util::decode_delta_varint_ids(base, bytes.subspan(fmtv::kPayloadHeadBytes, meta.delta_id_bytes),
                                            meta.count);
    out.factors = bytes_to_f32_vec(bytes.subspan(code_end));
    if (out.factors.size() != meta.factor_count) invalid_data("IVF-RQ factor count mismatch");
    out.payload = std::move(payload);
    out.payload_bytes = code_end;
    out.list_id = meta.list_id;
    out.code_start = code_start;
    out.code_end = code_end;
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
    const size_t rows = std::min(limit, list.ids.size());
    if (rows == 0) return;
    const size_t bits = quantizer.bits;
    const size_t p = quantizer.plane_size;
    const size_t fields = fmtv::factor_fields(bits);
    const std::span<const uint8_t> codes = list.codes();
    TD_ASSERT(codes.size() / (bits * p) >= rows && list.factors.size() / fields >= rows, "IVF-RQ list too short");
    TD_ASSERT(ctx.byte_lut.size() >= p * 256, "IVF-RQ query context too short");
    const float* lut = ctx.byte_lut.data();

    const float t = static_cast<float>((1u << bits) - 1) * 0.5f;
    const float w0 = static_cast<float>(1u << (bits - 1));
    const float half_sum = 0.5f * ctx.query_sum;
    const float t_sum = t * ctx.query_sum;
    const bool fastscan = filter == nullptr && bits >= 2 && quantizer.padded_dimension >= 256;

    float est[32];
    float acc[32];
    float exact[32];
    bool selected[32];
    uint8_t chosen[32];
    for (size_t s = 0; s < rows; s += 32) {
        const size_t n = std::min<size_t>(32, rows - s);
        stats.rows_scanned = saturating_add(stats.rows_scanned, n);
        const uint8_t* block = codes.data() + s * bits * p;
        const float* fac = list.factors.data() + s * fields;
        const int64_t* ids = list.ids.data() + s;
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
                for (size_t c = 0; c < p; ++c) {
                    const float* row = lut + 256 * c;
                    const uint8_t* b = block + c * n;
                    for (size_t j = 0; j < n; ++j) est[j] += row[b[j]];
                }
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
        if (approximate) {
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

// ---- Batch search ----------------------------------------------------------------------------

namespace {

constexpr uint32_t kNoSlot = std::numeric_limits<uint32_t>::max();

size_t rank_of(const std::vector<size_t>& probes, size_t list) {
    const auto it = std::find(probes.begin(), probes.end(), list);
    TD_ASSERT(it != probes.end(), "loaded list must belong to the query probe set");
    return static_cast<size_t>(it - probes.begin());
}

}  // namespace

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
    std::vector<float> query_norms(nq);
    for (size_t i = 0; i < nq; ++i) query_norms[i] = distance::fvec_norm_l2sqr(std::span<const float>(q).subspan(i * d, d));
    const auto terms = [&](size_t query, size_t rank) {
        const size_t list = probes.lists[query][rank];
        return rabitq::query_terms(probes.distances[query][rank], reader.metric_, query_norms[query],
                                   reader.centroid_norms_[list]);
    };

    // A lone query's context is built once; a batch's contexts are built per
    // read group inside each query's task and dropped with it, so memory for
    // contexts stays within one per pool thread whatever nq is.
    RQQueryWork* single = nullptr;
    if (nq == 1) {
        single = &reader.query_work();
        single->prepare(reader, std::span<const float>(q).subspan(0, d));
    }
    // A batch's tasks reuse one context per pool thread.
    tbb::enumerable_thread_specific<RQQueryWork> thread_work;

    std::vector<size_t> unique;
    {
        std::vector<uint8_t> seen(nlist, 0);
        for (size_t i = 0; i < nq; ++i) {
            const std::vector<size_t>& probed = probes.lists[i];
            for (size_t r = probe_start; r < probed.size(); ++r) {
                const size_t list = probed[r];
                TD_ASSERT(list < nlist, "probe list {} out of range", list);
                if (!seen[list]) {
                    seen[list] = 1;
                    unique.push_back(list);
                }
            }
        }
    }

    std::vector<TopKHeap> heaps;
    heaps.reserve(nq);
    for (size_t i = 0; i < nq; ++i) heaps.emplace_back(k);
    if (!seed_ids.empty()) ivfsq_io::seed_heaps(heaps, seed_ids, seed_distances, k);
    std::vector<IVFRQSearchStats> query_stats(nq);
    IVFRQSearchStats total;
    total.query_count = nq;

    std::vector<uint32_t> slot(nlist, kNoSlot);
    std::vector<std::optional<RQListPayloadMeta>> metas;
    size_t g = 0;
    while (g < unique.size()) {
        const std::span<const size_t> rest = std::span<const size_t>(unique).subspan(g);
        const size_t count = reader.next_group(rest, metas);
        const std::span<const size_t> group = rest.subspan(0, count);
        const std::vector<RQReadList> lists = reader.read_group(group, metas);
        uint64_t group_rows = 0;
        for (size_t i = 0; i < group.size(); ++i) {
            slot[group[i]] = static_cast<uint32_t>(i);
            group_rows += lists[i].ids.size();
        }

        if (nq == 1 && group_rows >= kParallelListRows) {
            const std::vector<size_t>& probed = probes.lists[0];
            const RQQueryContext& ctx = single->ctx;
            TopKHeap& heap = heaps[0];
            for (size_t i = 0; i < group.size(); ++i) {
                if (lists[i].ids.empty()) continue;
                const size_t rank = rank_of(probed, group[i]);
                const rabitq::RQQueryTerms t = terms(0, rank);
                scan_blocked_list(lists[i], reader.quantizer_, ctx, filter, heap, t.q_term, t.q_norm, total, 32);
                total.prescans = saturating_add(total.prescans, 1);
                break;
            }
            const float bound = heap.len() == heap.k() ? heap.threshold() : std::numeric_limits<float>::infinity();
            struct Partial {
                std::vector<std::pair<float, int64_t>> pairs;
                IVFRQSearchStats stats;
            };
            std::vector<Partial> partials(group.size());
            pool::parallel_for_each_index(group.size(), [&](size_t i) {
                const size_t rank = rank_of(probed, group[i]);
                const rabitq::RQQueryTerms t = terms(0, rank);
                TopKHeap local = TopKHeap::with_max_distance(k, bound);
                scan_blocked_list(lists[i], reader.quantizer_, ctx, filter, local, t.q_term, t.q_norm,
                                  partials[i].stats);
                partials[i].pairs = std::move(local).into_sorted();
            });
            total.parallel_list_scans = saturating_add(total.parallel_list_scans, group.size());
            for (const Partial& part : partials) {
                total.add(part.stats);
                for (const auto& [distance, id] : part.pairs) heap.push(id, distance);
            }
        } else {
            pool::parallel_for_each_index(nq, [&](size_t i) {
                const std::vector<size_t>& probed = probes.lists[i];
                RQQueryWork* own = nullptr;
                for (size_t r = probe_start; r < probed.size(); ++r) {
                    const uint32_t s = slot[probed[r]];
                    if (s == kNoSlot) continue;
                    const RQQueryContext* ctx = nullptr;
                    if (single != nullptr) {
                        ctx = &single->ctx;
                    } else {
                        if (own == nullptr) {
                            own = &thread_work.local();
                            own->prepare(reader, std::span<const float>(q).subspan(i * d, d));
                        }
                        ctx = &own->ctx;
                    }
                    const rabitq::RQQueryTerms t = terms(i, r);
                    scan_blocked_list(lists[s], reader.quantizer_, *ctx, filter, heaps[i], t.q_term, t.q_norm,
                                      query_stats[i]);
                }
            });
        }
        for (size_t list : group) slot[list] = kNoSlot;
        g += count;
    }

    for (const IVFRQSearchStats& s : query_stats) total.add(s);

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
