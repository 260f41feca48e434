#include "ivfrq_io.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <numeric>
#include <optional>

#include "error.hpp"
#include "index_io_util.hpp"
#include "ivfrq_format.hpp"
#include "numeric.hpp"

namespace tavren::ivfrq_io {

namespace fmtv = ivfrq_format;
using ivfrq::IVFRQIndex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kSectionLimit = uint64_t{1} << 30;
constexpr uint64_t kMaxTableEntries = (uint64_t{1} << 60) - 1;
constexpr uint64_t kMaxFactorValues = uint64_t{1} << 62;

}  // namespace

int32_t usize_to_i32(uint64_t value, std::string_view name, uint64_t limit) {
    if (value > limit || value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        invalid_input("{} exceeds i32", name);
    }
    return static_cast<int32_t>(value);
}

uint32_t usize_to_u32(uint64_t value, std::string_view name) {
    if (value > std::numeric_limits<uint32_t>::max()) invalid_input("{} exceeds u32", name);
    return static_cast<uint32_t>(value);
}

int64_t u64_to_i64(uint64_t value, std::string_view name, uint64_t limit) {
    if (value > limit || value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        invalid_input("{} exceeds i64", name);
    }
    return static_cast<int64_t>(value);
}

uint64_t checked_section_size(uint64_t a, uint64_t b) {
    const std::optional<uint64_t> product = checked_mul(a, b);
    if (!product || *product > kSectionLimit) invalid_data("IVF-RQ section size overflow");
    return *product;
}

uint64_t checked_list_bytes(uint64_t a, uint64_t b) {
    const std::optional<uint64_t> product = checked_mul(a, b);
    if (!product) invalid_data("IVF-RQ list byte size overflow");
    return *product;
}

std::vector<RQListWritePlan> plan_sorted_lists(const IVFRQIndex& index) {
    std::vector<RQListWritePlan> plans;
    plans.reserve(index.list_ids().size());
    std::vector<int64_t> sorted;
    for (const std::vector<int64_t>& ids : index.list_ids()) {
        RQListWritePlan plan;
        plan.row_order.resize(ids.size());
        std::iota(plan.row_order.begin(), plan.row_order.end(), size_t{0});
        std::stable_sort(plan.row_order.begin(), plan.row_order.end(),
                         [&](size_t a, size_t b) { return ids[a] < ids[b]; });
        sorted.clear();
        sorted.reserve(ids.size());
        for (size_t position : plan.row_order) sorted.push_back(ids[position]);
        index_io_util::EncodedIds encoded = index_io_util::encode_delta_varint_ids(sorted);
        plan.base_id = encoded.base;
        plan.delta_ids = std::move(encoded.bytes);
        plans.push_back(std::move(plan));
    }
    return plans;
}

BlockedList block_list(const IVFRQIndex& index, size_t list, std::span<const size_t> row_order) {
    check_index(list, index.list_codes().size());
    check_index(list, index.list_factors().size());
    const std::vector<uint8_t>& codes = index.list_codes()[list];
    const std::vector<ivfrq::RQVectorFactors>& factors = index.list_factors()[list];
    const size_t bits = index.bits();
    const size_t plane = index.padded_dimension() / 8;
    const size_t row_bytes = bits * plane;
    const size_t fields = fmtv::factor_fields(bits);
    const size_t n = row_order.size();
    for (size_t r : row_order) {
        check_index(r, factors.size());
        check_len((r + 1) * row_bytes, codes.size());
    }

    BlockedList out;
    out.codes.reserve(n * row_bytes);
    out.factors.reserve(n * fields);
    for (size_t start = 0; start < n; start += fmtv::kBlockRows) {
        const std::span<const size_t> block = row_order.subspan(start, std::min(fmtv::kBlockRows, n - start));
        for (size_t p = 0; p < bits; ++p) {
            for (size_t k = 0; k < plane; ++k) {
                for (size_t r : block) out.codes.push_back(codes[r * row_bytes + p * plane + k]);
            }
        }
        for (size_t f = 0; f < fields; ++f) {
            for (size_t r : block) {
                const ivfrq::RQVectorFactors& v = factors[r];
                const float values[5] = {v.bin_add, v.bin_rescale, v.bin_error, v.ex_add, v.ex_rescale};
                out.factors.push_back(values[f]);
            }
        }
    }
    return out;
}

void write_ivfrq_index(const IVFRQIndex& index, io::SeekWrite& out) {
    write_ivfrq_index_with_limits(index, out, WriteLimits{});
}

namespace {

// A list's table entry and the lengths its payload head states.
struct ListLayout {
    fmtv::OffsetEntry entry;
    int32_t code_bytes = 0;
};

// Every check of the index itself, in the writer's order; writes nothing.
void validate_index(const IVFRQIndex& index) {
    const uint64_t d = index.dimension();
    const uint64_t nlist = index.nlist();
    const uint64_t bits = index.bits();
    const uint64_t padded = index.padded_dimension();
    if (d == 0 || nlist == 0) invalid_input("IVF-RQ dimension and nlist must be positive");
    if (bits < 1 || bits > 8) invalid_input("IVF-RQ bits must be in 1..=8");
    if (padded != rabitq::padded_dimension(d)) invalid_input("IVF-RQ padded dimension mismatch");
    if (index.rotation_rounds() != fmtv::kRotationRounds) {
        invalid_input("IVF-RQ rotation rounds must be {}", fmtv::kRotationRounds);
    }
    // A reader refuses any other metric code; refuse it here rather than
    // write a file nobody can open.
    if (index.metric() > 2) invalid_input("unknown metric type: {}", index.metric());
    if (index.centroids().size() != checked_section_size(nlist, d)) {
        invalid_input("IVF-RQ centroid storage shape mismatch");
    }
    if (index.rotated_centroids().size() != checked_section_size(nlist, padded)) {
        invalid_input("IVF-RQ centroid storage shape mismatch");
    }
    if (index.list_ids().size() != nlist || index.list_codes().size() != nlist ||
        index.list_factors().size() != nlist) {
        invalid_input("IVF-RQ list storage does not match nlist");
    }
    const uint64_t row_bytes = bits * (padded / 8);
    int64_t total = 0;
    for (uint64_t j = 0; j < nlist; ++j) {
        const uint64_t n = index.list_ids()[j].size();
        if (index.list_codes()[j].size() != checked_list_bytes(n, row_bytes)) {
            invalid_input("IVF-RQ list {} code length mismatch", j);
        }
        if (index.list_factors()[j].size() != n) invalid_input("IVF-RQ list {} factor count mismatch", j);
    }
    for (const std::vector<int64_t>& ids : index.list_ids()) {
        std::optional<int64_t> sum;
        if (ids.size() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            sum = checked_add_i64(total, static_cast<int64_t>(ids.size()));
        }
        if (!sum) invalid_input("total vector count exceeds i64");
        total = *sum;
    }
}

}  // namespace

void write_ivfrq_index_with_limits(const IVFRQIndex& index, io::SeekWrite& out, const WriteLimits& limits) {
    ivfrq::StageClock clock(ivfrq::build_timing_enabled());

    // ---- checks and every file field: nothing is written unless all pass ----
    validate_index(index);
    const uint64_t d = index.dimension();
    const uint64_t nlist = index.nlist();
    const uint64_t bits = index.bits();
    const uint64_t padded = index.padded_dimension();
    const uint64_t plane = padded / 8;
    const uint64_t fields = fmtv::factor_fields(bits);

    fmtv::Header header;
    header.dimension = usize_to_i32(d, "dimension");
    header.padded_dimension = usize_to_i32(padded, "padded dimension");
    header.nlist = usize_to_i32(nlist, "nlist");
    header.metric = index.metric();
    header.bits = usize_to_u32(bits, "RQ bits");
    header.total = static_cast<int64_t>(index.vector_count());  // fits: checked above
    header.seed = index.seed();
    header.plane_size = usize_to_i32(plane, "plane size");

    if (nlist > kMaxTableEntries) invalid_input("IVF-RQ offset table size overflow");
    const uint64_t centroid_bytes = index.centroids().size() * sizeof(float);  // <= 2^32
    std::optional<uint64_t> data_start = checked_add(fmtv::kHeaderBytes, centroid_bytes);
    if (data_start) data_start = checked_add(*data_start, fmtv::kOffsetEntryBytes * nlist);
    if (!data_start) invalid_input("IVF-RQ data offset overflow");

    const std::vector<RQListWritePlan> plans = plan_sorted_lists(index);
    clock.end("write.plan_lists");

    std::vector<ListLayout> layouts(nlist);
    uint64_t running = *data_start;
    for (uint64_t j = 0; j < nlist; ++j) {
        const uint64_t n = index.list_ids()[j].size();
        ListLayout& layout = layouts[j];
        layout.entry.offset = u64_to_i64(running, "list offset", limits.max_i64);
        layout.entry.count = usize_to_i32(n, "list count", limits.max_i32);
        layout.entry.id_bytes_len = usize_to_i32(plans[j].delta_ids.size(), "delta ID bytes", limits.max_i32);
        if (n == 0) continue;
        const uint64_t code_bytes = checked_list_bytes(n, bits * plane);
        layout.code_bytes = usize_to_i32(code_bytes, "blocked code bytes", limits.max_i32);
        const std::optional<uint64_t> factor_values = checked_mul(n, fields);
        if (!factor_values || *factor_values >= kMaxFactorValues) invalid_data("IVF-RQ list byte size overflow");
        std::optional<uint64_t> payload = checked_add(plans[j].delta_ids.size(), fmtv::kPayloadHeadBytes);
        if (payload) payload = checked_add(*payload, code_bytes);
        if (payload) payload = checked_add(*payload, *factor_values * sizeof(float));
        if (!payload) invalid_input("IVF-RQ list size overflow");
        const std::optional<uint64_t> next = checked_add(running, *payload);
        if (!next) invalid_input("IVF-RQ list offset overflow");
        running = *next;
    }

    // ---- metadata: header field by field, centroids, offset table ----
    std::array<uint8_t, fmtv::kHeaderBytes> header_bytes{};
    header.encode_to(header_bytes);
    const std::span<const uint8_t> header_span(header_bytes);
    for (const fmtv::FieldSpan& field : fmtv::kHeaderFields) out.write_all(header_span.subspan(field.at, field.size));
    index_io_util::write_f32_slice(out, index.centroids());
    for (const ListLayout& layout : layouts) {
        std::array<uint8_t, fmtv::kOffsetEntryBytes> entry{};
        layout.entry.encode_to(entry);
        const std::span<const uint8_t> e(entry);
        out.write_all(e.subspan(0, 8));
        out.write_all(e.subspan(8, 4));
        out.write_all(e.subspan(12, 4));
    }
    clock.end("write.metadata");

    // ---- payloads of the non-empty lists, one blocked copy at a time ----
    const Clock::time_point lists_start = Clock::now();
    Clock::duration blocking{0};
    Clock::duration output{0};
    for (uint64_t j = 0; j < nlist; ++j) {
        const ListLayout& layout = layouts[j];
        if (layout.entry.count == 0) continue;
        const RQListWritePlan& plan = plans[j];
        const Clock::time_point block_start = Clock::now();
        const BlockedList blocked = block_list(index, j, plan.row_order);
        const Clock::time_point output_start = Clock::now();
        blocking += output_start - block_start;

        std::array<uint8_t, fmtv::kPayloadHeadBytes> head{};
        const fmtv::IdBlockHeader id_header{plan.base_id, layout.entry.id_bytes_len};
        id_header.encode_to(std::span<uint8_t, fmtv::kIdBlockHeaderBytes>(head.data(), fmtv::kIdBlockHeaderBytes));
        ivf_format::detail::store(head.data() + fmtv::kIdBlockHeaderBytes, layout.code_bytes);
        const std::span<const uint8_t> h(head);
        out.write_all(h.subspan(0, 8));
        out.write_all(h.subspan(8, 4));
        out.write_all(h.subspan(12, 4));
        out.write_all(plan.delta_ids);
        out.write_all(blocked.codes);
        index_io_util::write_f32_slice(out, blocked.factors);
        output += Clock::now() - output_start;
    }
    ivfrq::log_build_elapsed(clock.enabled(), "write.block_lists", blocking);
    ivfrq::log_build_elapsed(clock.enabled(), "write.output", output);
    ivfrq::log_build_timing(clock.enabled(), "write.lists", lists_start);
    clock.total("write.total");
}

}  // namespace tavren::ivfrq_io
