#include "ivfflat.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string_view>
#include <utility>

#include "distance.hpp"
#include "error.hpp"
#include "index_io_util.hpp"
#include "ivfflat_format.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivfflat {

namespace fmtv = ivfflat_format;

// ---- IVFFlatIndex -----------------------------------------------------------

IVFFlatIndex::IVFFlatIndex(size_t d, size_t nlist, uint32_t metric, coarse::CentroidGraphBuilder builder)
    : list_ids_(nlist), list_rows_(nlist), coarse_(builder), d_(d), nlist_(nlist), metric_(metric) {}

IVFFlatIndex IVFFlatIndex::from_parts(size_t d, size_t nlist, uint32_t metric, std::vector<float> centroids,
                                      std::vector<std::vector<int64_t>> list_ids,
                                      std::vector<std::vector<float>> list_rows) {
    IVFFlatIndex index;
    index.centroids_ = std::move(centroids);
    index.list_ids_ = std::move(list_ids);
    index.list_rows_ = std::move(list_rows);
    index.d_ = d;
    index.nlist_ = nlist;
    index.metric_ = metric;
    return index;
}

void IVFFlatIndex::train_with_config(std::span<const float> data, size_t n, const kmeans::KMeansConfig& config) {
    std::vector<float> rows = distance::preprocess_vectors(data, n, d_, metric_);
    centroids_ = kmeans::kmeans_train(config, rows, n, d_, nlist_);
    coarse_.reset();
}

void IVFFlatIndex::set_approximate_coarse_assignment(bool approximate) {
    for (const std::vector<int64_t>& ids : list_ids_) {
        if (!ids.empty()) panic("cannot change coarse assignment after vectors have been added");
    }
    coarse_.set_approximate(approximate);
}

namespace {

// Makes room for `extra` more elements with geometric growth, so that many
// small adds stay amortised O(1) per element.
template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
    const size_t needed = v.size() + extra;
    if (needed > v.capacity()) v.reserve(std::max(needed, v.capacity() * 2));
}

}  // namespace

void IVFFlatIndex::add(std::span<const float> vectors, std::span<const int64_t> ids, size_t n) {
    const std::optional<uint64_t> values = checked_mul(n, d_);
    if (!values) panic("{} shape overflows usize", "vector");
    check_len(*values, vectors.size());
    check_len(n, ids.size());
    assert_eq(centroids_.size(), nlist_ * d_, "IVF-FLAT index must be trained before vectors are added");
    if (n == 0) return;

    // Only cosine changes rows; the other metrics use the caller's rows as they are.
    std::vector<float> normalised;
    std::span<const float> rows = vectors.first(static_cast<size_t>(*values));
    if (metric_ == kMetricCosine) {
        normalised = distance::preprocess_vectors(vectors, n, d_, metric_);
        rows = normalised;
    }
    const std::vector<size_t> labels = coarse_.assign(rows, n, centroids_, nlist_, d_);
    check_len(n, labels.size());

    // Rows grouped by list, in input order within each list.
    const coarse::ListGroups groups = coarse::group_rows_by_list(labels, nlist_);
    const std::vector<size_t>& first = groups.first;
    const std::vector<size_t>& order = groups.order;

    // Lists are disjoint, so they fill in parallel; each list appends its rows
    // in input order, so the result does not depend on the split.
    pool::parallel_for(0, nlist_, 1, [&](size_t lo, size_t hi) {
        for (size_t j = lo; j < hi; ++j) {
            const size_t begin = first[j], end = first[j + 1];
            if (begin == end) continue;
            std::vector<int64_t>& list_ids = list_ids_[j];
            std::vector<float>& list_rows = list_rows_[j];
            reserve_more(list_ids, end - begin);
            reserve_more(list_rows, (end - begin) * d_);
            for (size_t r = begin; r < end; ++r) {
                const size_t i = order[r];
                list_ids.push_back(ids[i]);
                const float* row = rows.data() + i * d_;
                list_rows.insert(list_rows.end(), row, row + d_);
            }
        }
    });
}

uint64_t IVFFlatIndex::vector_count() const noexcept {
    uint64_t total = 0;
    for (const std::vector<int64_t>& ids : list_ids_) total = saturating_add(total, ids.size());
    return total;
}

// ---- writer -----------------------------------------------------------------

namespace {

// i32 and i64 file fields; the limits are the types' ranges unless a test lowered them.
int32_t to_i32(uint64_t value, std::string_view what, const WriteLimits& limits) {
    return index_io_util::usize_to_i32(value, what, limits.max_i32);
}

int64_t to_i64(uint64_t value, std::string_view what, const WriteLimits& limits) {
    return index_io_util::u64_to_i64(value, what, limits.max_i64);
}

// How one list goes out: its rows in ascending row-ID order (stable), its ID
// section, and its offset-table entry.
struct ListPlan {
    // Row positions in ID order; empty when the IDs were already in order
    // (the identity), which saves 8 bytes per row for the common case.
    std::vector<uint64_t> permutation;
    index_io_util::EncodedIds ids;
    fmtv::OffsetEntry entry;
    uint64_t row_bytes = 0;
};

ListPlan plan_list(std::span<const int64_t> ids) {
    ListPlan plan;
    if (ids.empty()) return plan;
    if (std::is_sorted(ids.begin(), ids.end())) {
        plan.ids = index_io_util::encode_delta_varint_ids(ids);
        return plan;
    }
    // Sorting (ID, position) pairs orders equal IDs by position: a stable sort by ID.
    std::vector<std::pair<int64_t, uint64_t>> keyed;
    keyed.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) keyed.emplace_back(ids[i], i);
    std::sort(keyed.begin(), keyed.end());
    std::vector<int64_t> sorted;
    sorted.reserve(ids.size());
    plan.permutation.reserve(ids.size());
    for (const auto& [id, position] : keyed) {
        sorted.push_back(id);
        plan.permutation.push_back(position);
    }
    keyed = {};
    plan.ids = index_io_util::encode_delta_varint_ids(sorted);
    return plan;
}

// The one byte buffer of a write. A section starts with an empty buffer; the
// buffer goes out in one call whenever it holds exactly `limit` bytes, and a
// remainder at the end of the section in one more call.
class Stager {
public:
    Stager(io::SeekWrite& out, uint64_t limit, uint64_t largest_section)
        : out_(out),
          limit_(static_cast<size_t>(limit)),
          buffer_(std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(std::min(limit, largest_section)))) {}

    void append(const void* data, size_t len) {
        const auto* p = static_cast<const uint8_t*>(data);
        while (len > 0) {
            const size_t take = std::min(len, limit_ - fill_);
            std::memcpy(buffer_.get() + fill_, p, take);
            fill_ += take;
            p += take;
            len -= take;
            if (fill_ == limit_) {
                fill_ = 0;
                out_.write_all(std::span<const uint8_t>(buffer_.get(), limit_));
            }
        }
    }

    void end_section() {
        if (fill_ == 0) return;
        const size_t len = fill_;
        fill_ = 0;
        out_.write_all(std::span<const uint8_t>(buffer_.get(), len));
    }

private:
    io::SeekWrite& out_;
    size_t limit_;
    std::unique_ptr<uint8_t[]> buffer_;  // min(limit, largest section) bytes
    size_t fill_ = 0;
};

}  // namespace

void write_ivfflat_index(const IVFFlatIndex& index, io::SeekWrite& out) {
    write_ivfflat_index_with_limits(index, out, WriteLimits{});
}

void write_ivfflat_index_with_buffer_limit(const IVFFlatIndex& index, io::SeekWrite& out, uint64_t staging_bytes) {
    WriteLimits limits;
    limits.staging_bytes = staging_bytes;
    write_ivfflat_index_with_limits(index, out, limits);
}

void write_ivfflat_index_with_limits(const IVFFlatIndex& index, io::SeekWrite& out, const WriteLimits& limits) {
    TD_ASSERT(limits.staging_bytes > 0, "IVF-FLAT staging buffer limit must be greater than 0");
    const uint64_t d = index.dimension();
    const uint64_t nlist = index.nlist();
    const auto& list_ids = index.list_ids();
    const auto& list_rows = index.list_rows();
    const auto& centroids = index.centroids();

    // ---- checks: nothing is written unless all pass ----
    if (d == 0) invalid_input("dimension must be greater than 0");
    if (nlist == 0) invalid_input("nlist must be greater than 0");
    if (list_ids.size() != nlist || list_rows.size() != nlist) {
        invalid_input("IVF-FLAT list storage does not match nlist");
    }
    const uint64_t centroid_values =
        index_io_util::checked_section_size(nlist, d, "section size overflow in IVF-FLAT header");
    if (centroids.size() != centroid_values) {
        invalid_input("centroid length {} does not match nlist*d {}", centroids.size(), centroid_values);
    }
    for (uint64_t j = 0; j < nlist; ++j) {
        const std::optional<uint64_t> expected = checked_mul(d, list_ids[j].size());
        if (!expected) invalid_input("IVF-FLAT vector length overflow");
        if (list_rows[j].size() != *expected) {
            invalid_input("list {} vector length {} does not match ids*d {}", j, list_rows[j].size(), *expected);
        }
    }
    fmtv::Header header;
    header.dimension = to_i32(d, "dimension", limits);
    header.nlist = to_i32(nlist, "nlist", limits);
    header.metric = index.metric();
    int64_t total = 0;
    for (const auto& ids : list_ids) {
        const uint64_t count = ids.size();
        std::optional<int64_t> sum;
        if (count <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            sum = checked_add_i64(total, static_cast<int64_t>(count));
        }
        if (!sum) invalid_input("total vector count exceeds i64 length limit");
        total = *sum;
    }
    header.total = static_cast<uint64_t>(total);

    // ---- planning: every list's order, ID bytes and table entry ----
    std::vector<ListPlan> plans;
    plans.reserve(nlist);
    for (uint64_t j = 0; j < nlist; ++j) plans.push_back(plan_list(list_ids[j]));

    const std::optional<uint64_t> bytes_per_vector = checked_mul(d, sizeof(float));
    if (!bytes_per_vector) invalid_input("IVF-FLAT bytes per vector overflow");
    const uint64_t centroid_bytes = centroid_values * sizeof(float);  // <= 2^32: no overflow
    std::optional<uint64_t> data_start = checked_mul(nlist, fmtv::kOffsetEntryBytes);
    if (data_start) data_start = checked_add(*data_start, centroid_bytes);
    if (data_start) data_start = checked_add(*data_start, fmtv::kHeaderBytes);
    if (!data_start) invalid_input("IVF-FLAT data start offset overflow");

    uint64_t running = *data_start;
    uint64_t largest_section = centroid_bytes;
    for (uint64_t j = 0; j < nlist; ++j) {
        ListPlan& plan = plans[j];
        const uint64_t count = list_ids[j].size();
        plan.entry.offset = to_i64(running, "list offset", limits);
        plan.entry.count = to_i32(count, "list count", limits);
        if (count == 0) continue;
        plan.entry.id_bytes_len = to_i32(plan.ids.bytes.size(), "delta ID section", limits);
        const std::optional<uint64_t> row_bytes = ivf_format::list_code_bytes(plan.entry.count, *bytes_per_vector);
        if (!row_bytes) invalid_data("IVF-FLAT list byte size overflow");
        plan.row_bytes = *row_bytes;
        largest_section = std::max(largest_section, *row_bytes);
        const std::optional<uint64_t> payload = ivf_format::list_payload_len(plan.entry.id_bytes_len, *row_bytes);
        if (!payload) invalid_input("IVF-FLAT list size overflow");
        const std::optional<uint64_t> next = checked_add(running, *payload);
        if (!next) invalid_input("IVF-FLAT offset overflow");
        running = *next;
    }

    // ---- writing, front to back ----
    std::array<uint8_t, fmtv::kHeaderBytes> header_bytes{};
    header.encode_to(header_bytes);
    static constexpr std::array<std::pair<size_t, size_t>, 8> kHeaderFields{{
        {fmtv::kMagicAt, 4},
        {fmtv::kVersionAt, 4},
        {fmtv::kDimensionAt, 4},
        {fmtv::kNlistAt, 4},
        {fmtv::kMetricAt, 4},
        {fmtv::kTotalAt, 8},
        {fmtv::kFlagsAt, 4},
        {fmtv::kReservedAt, fmtv::kReservedBytes},
    }};
    const std::span<const uint8_t> header_span(header_bytes);
    for (const auto& [at, len] : kHeaderFields) out.write_all(header_span.subspan(at, len));

    Stager stager(out, limits.staging_bytes, largest_section);
    stager.append(centroids.data(), centroid_bytes);
    stager.end_section();

    for (const ListPlan& plan : plans) {
        std::array<uint8_t, fmtv::kOffsetEntryBytes> entry{};
        plan.entry.encode_to(entry);
        const std::span<const uint8_t> e(entry);
        out.write_all(e.subspan(0, 8));
        out.write_all(e.subspan(8, 4));
        out.write_all(e.subspan(12, 4));
    }

    for (uint64_t j = 0; j < nlist; ++j) {
        ListPlan& plan = plans[j];
        if (plan.entry.count == 0) continue;
        std::array<uint8_t, ivf_format::kIdBlockHeaderBytes> block;
        ivf_format::IdBlockHeader{plan.ids.base, plan.entry.id_bytes_len}.encode_to(block);
        const std::span<const uint8_t> b(block);
        out.write_all(b.subspan(0, 8));  // one write per field, as the host has always seen them
        out.write_all(b.subspan(8, 4));
        out.write_all(plan.ids.bytes);

        const float* rows = list_rows[j].data();
        const size_t row_len = static_cast<size_t>(*bytes_per_vector);
        if (plan.permutation.empty()) {
            stager.append(rows, static_cast<size_t>(plan.row_bytes));
        } else {
            for (uint64_t position : plan.permutation) stager.append(rows + position * d, row_len);
        }
        stager.end_section();
        plan = ListPlan{};  // the list is out: release its plan
    }
}

}  // namespace tavren::ivfflat
