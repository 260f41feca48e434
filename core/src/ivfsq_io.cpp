#include "ivfsq_io.hpp"

#include <algorithm>
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
    std::optional<uint64_t> running = checked_add(out.pos(), nlist * fmtv::kOffsetEntryBytes);
    if (!running) invalid_input("IVF-SQ data offset overflow");
    for (uint64_t l = 0; l < nlist; ++l) {
        entries[l].offset = index_io_util::u64_to_i64(*running, "list offset", limits.max_i64);
        if (entries[l].count == 0) continue;
        running = checked_add(*running, payload_bytes[l]);
        if (!running) invalid_input("IVF-SQ list offset overflow");
    }
    for (const fmtv::OffsetEntry& entry : entries) {
        std::array<uint8_t, fmtv::kOffsetEntryBytes> bytes{};
        entry.encode_to(bytes);
        write_bytes(out, bytes, 0, 8);
        write_bytes(out, bytes, 8, 4);
        write_bytes(out, bytes, 12, 4);
    }

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
