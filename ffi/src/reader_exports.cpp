// Reader exports: open, metadata, read plan, optimize, the ten searches,
// warm-up, calibration and free. Each fallible export runs under
// ffi::guarded; the C layer's own checks report fixed texts, the facade's
// errors carry the export's prefix.
//
// Result buffers: the expected pair count (top_k, or nq x top_k) is known
// before searching, so the host's capacity and output pointers are checked
// first. A garbage top_k therefore fails on the host's capacity before the
// library reserves anything for it, and a failed search writes nothing.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "frame.hpp"
#include "index_reader.hpp"
#include "host_io.hpp"
#include "read_options.hpp"
#include "reader_exports.hpp"
#include "search_params.hpp"
#include "search_result.hpp"
#include "tavren_dadiza.h"

namespace ffi = tavren::ffi;
namespace vindex = tavren::index;

// The object behind the opaque reader handle.
struct TavrenDadizaReaderHandle {
    vindex::VectorIndexReader reader;
};

namespace tavren::ffi {
namespace {

// Bytes of FfiSearchParamsEx that carry fields, and the least a host must fill.
constexpr uint64_t kSearchParamsExFullSize = 56;
constexpr uint64_t kSearchParamsExMinSize = 32;
static_assert(sizeof(FfiSearchParamsEx) == kSearchParamsExFullSize);
static_assert(offsetof(FfiSearchParamsEx, max_initial_filter_expansion_factor) == 32);
static_assert(offsetof(FfiSearchParamsEx, ivfpq_table_reuse_mode) == 40);
static_assert(offsetof(FfiSearchParamsEx, ivfpq_table_reuse_max_bytes) == 48);

template <class Handle>  // [const] TavrenDadizaReaderHandle
auto& reader_of(Handle* handle) {
    if (handle == nullptr) check_failed("null reader handle");
    return handle->reader;
}

// top_k, width type and width as every record carries them.
index::VectorSearchParams base_params(uint64_t top_k, uint32_t width_type, uint64_t width) {
    if (width_type != index::kWidthIvfNprobe && width_type != index::kWidthDiskAnnLSearch) {
        if (width_type != index::kWidthAutomatic)
            check_failed(fmt::format("invalid search width type: {}", width_type));
        if (width != 0) check_failed("automatic search width must have width=0");
    }
    index::VectorSearchParams p;
    p.top_k = top_k;
    p.width_type = width_type;
    p.width = width;
    return p;
}

index::IvfPqBatchTableReuseMode reuse_mode(uint32_t mode) {
    if (mode > static_cast<uint32_t>(index::IvfPqBatchTableReuseMode::Auto)) {
        check_failed(fmt::format("invalid IVF-PQ batch table reuse mode: {}", mode));
    }
    return static_cast<index::IvfPqBatchTableReuseMode>(mode);
}

uint64_t reuse_max_bytes(uint64_t bytes) {
    if (bytes == 0) check_failed("IVF-PQ batch table reuse max bytes must be positive");
    return bytes;
}

}  // namespace

index::VectorSearchParams search_params_from_ffi(const FfiSearchParams& params) {
    return base_params(params.top_k, params.width_type, params.width);
}

index::VectorSearchParams search_params_ex_from_ffi(const FfiSearchParamsEx* params) {
    if (params == nullptr) check_failed("search params pointer is null");
    uint64_t struct_size;
    std::memcpy(&struct_size, params, sizeof struct_size);
    if (struct_size < kSearchParamsExMinSize) {
        check_failed(fmt::format("search params struct size {} is smaller than required {}", struct_size,
                                 kSearchParamsExMinSize));
    }
    // Only the bytes the host says it filled are read; an older, shorter
    // record may end right after them.
    FfiSearchParamsEx record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, params, static_cast<size_t>(std::min(struct_size, kSearchParamsExFullSize)));
    index::VectorSearchParams p = base_params(record.top_k, record.width_type, record.width);
    if (struct_size >= 40 && record.max_initial_filter_expansion_factor != 0) {
        p.max_initial_filter_expansion_factor = record.max_initial_filter_expansion_factor;
    }
    if (struct_size >= 44) p.ivfpq_table_reuse_mode = reuse_mode(record.ivfpq_table_reuse_mode);
    if (struct_size >= 56) p.ivfpq_table_reuse_max_bytes = reuse_max_bytes(record.ivfpq_table_reuse_max_bytes);
    return p;
}

index::VectorSearchParams search_params_v2_from_ffi(const FfiSearchParamsV2& params) {
    index::VectorSearchParams p = base_params(params.top_k, params.width_type, params.width);
    p.ivfpq_table_reuse_mode = reuse_mode(params.ivfpq_table_reuse_mode);
    p.ivfpq_table_reuse_max_bytes = reuse_max_bytes(params.ivfpq_table_reuse_max_bytes);
    return p;
}

namespace {

// The host's result arrays for `expected` pairs: capacity first, then the two
// pointers (not examined when nothing is expected).
void check_result_buffers(const int64_t* out_ids, const float* out_distances, size_t out_capacity, uint64_t expected) {
    if (out_capacity < expected) {
        check_failed(fmt::format("result buffers length {} is smaller than required {}", out_capacity, expected));
    }
    if (expected != 0) {
        require_pointer(out_ids, "out_ids");
        require_pointer(out_distances, "out_distances");
    }
}

}  // namespace

void copy_search_result(const SearchResult& result, int64_t* out_ids, float* out_distances, size_t out_capacity,
                        uint64_t expected) {
    if (result.ids.size() != expected || result.distances.size() != expected) {
        check_failed(fmt::format("native result length mismatch: ids={}, distances={}, expected={}", result.ids.size(),
                                 result.distances.size(), expected));
    }
    check_result_buffers(out_ids, out_distances, out_capacity, expected);
    if (expected == 0) return;
    std::memcpy(out_ids, result.ids.data(), static_cast<size_t>(expected) * sizeof(int64_t));
    std::memcpy(out_distances, result.distances.data(), static_cast<size_t>(expected) * sizeof(float));
}

namespace {

using FilterArg = std::optional<std::span<const uint8_t>>;

// The filter bytes of a filtered export: NULL is refused only with a non-zero
// length; a length of 0 is an empty byte sequence whatever the pointer.
std::span<const uint8_t> filter_bytes(const uint8_t* roaring_filter, size_t roaring_filter_len) {
    return input_array(roaring_filter, roaring_filter_len, "roaring_filter");
}

template <class Convert>
int single_search(TavrenDadizaReaderHandle* handle, const float* query, Convert&& convert, const uint8_t* filter,
                  size_t filter_len, bool filtered, int64_t* out_ids, float* out_distances, size_t out_capacity,
                  fmt::format_string<const std::string&> prefix) {
    index::VectorIndexReader& reader = reader_of(handle);
    const uint64_t dimension = reader.dimension();
    const std::span<const float> q = input_array(query, dimension, "query");
    FilterArg bytes;
    if (filtered) bytes = filter_bytes(filter, filter_len);
    const index::VectorSearchParams params = convert();
    const uint64_t expected = params.top_k;
    check_result_buffers(out_ids, out_distances, out_capacity, expected);
    SearchResult result = prefixed(prefix, [&] {
        return bytes ? reader.search_with_roaring_filter(q, params, *bytes) : reader.search(q, params);
    });
    copy_search_result(result, out_ids, out_distances, out_capacity, expected);
    return 0;
}

template <class Convert>
int batch_search(TavrenDadizaReaderHandle* handle, const float* queries, size_t nq, Convert&& convert,
                 const uint8_t* filter, size_t filter_len, bool filtered, int64_t* out_ids, float* out_distances,
                 size_t out_capacity, fmt::format_string<const std::string&> prefix) {
    index::VectorIndexReader& reader = reader_of(handle);
    const uint64_t values = checked_length(nq, reader.dimension(), "queries");
    const std::span<const float> qs = input_array(queries, values, "queries");
    FilterArg bytes;
    if (filtered) bytes = filter_bytes(filter, filter_len);
    const index::VectorSearchParams params = convert();
    const uint64_t expected = checked_length(nq, params.top_k, "batch result");
    check_result_buffers(out_ids, out_distances, out_capacity, expected);
    SearchResult result = prefixed(prefix, [&] {
        return bytes ? reader.search_batch_with_roaring_filter(qs, nq, params, *bytes)
                     : reader.search_batch(qs, nq, params);
    });
    copy_search_result(result, out_ids, out_distances, out_capacity, expected);
    return 0;
}

TavrenDadizaReaderHandle* open_reader(const ::FfiInputFile& input, uint64_t memory_budget_bytes) {
    read_options::VectorIndexReaderOptions options;
    options.memory_budget_bytes = memory_budget_bytes;
    options.explicit_cache_budgets.reset();  // every cache budget comes from the memory budget
    // The record is not checked here: a NULL callback surfaces from the first read.
    index::VectorIndexReader reader = prefixed("open reader: {}", [&] {
        return index::VectorIndexReader::open_with_options(std::make_unique<ffi::HostInputFile>(input), options);
    });
    return new TavrenDadizaReaderHandle{std::move(reader)};
}

}  // namespace
}  // namespace tavren::ffi

using tavren::SearchResult;

extern "C" {

TAVREN_DADIZA_API TavrenDadizaReaderHandle* tavren_dadiza_reader_open(FfiInputFile input) {
    return ffi::guarded(nullptr,
                        [&] { return ffi::open_reader(input, tavren::read_options::kDefaultReaderMemoryBudget); });
}

TAVREN_DADIZA_API TavrenDadizaReaderHandle* tavren_dadiza_reader_open_with_options(FfiInputFile input,
                                                                                   uint64_t memory_budget_bytes) {
    return ffi::guarded(nullptr, [&] { return ffi::open_reader(input, memory_budget_bytes); });
}

TAVREN_DADIZA_API void tavren_dadiza_reader_free(TavrenDadizaReaderHandle* reader) {
    delete reader;
}

TAVREN_DADIZA_API int tavren_dadiza_reader_metadata(const TavrenDadizaReaderHandle* reader, FfiIndexMetadata* out) {
    return ffi::guarded(-1, [&] {
        FfiIndexMetadata& record = ffi::out_pointer(out);
        const vindex::VectorIndexMetadata m = ffi::reader_of(reader).metadata();
        // Field by field: the host's padding bytes are left as they are.
        record.index_type = m.index_type;
        record.dimension = m.dimension;
        record.nlist = m.nlist;
        record.metric = m.metric;
        record.vector_count = m.vector_count;
        record.pq_m = m.pq_m.value_or(0);
        record.code_bits = m.code_bits.value_or(0);
        record.rq_bits = m.rq_bits.value_or(0);
        record.diskann_max_degree = m.diskann ? m.diskann->max_degree : 0;
        record.diskann_build_list_size = m.diskann ? m.diskann->build_list_size : 0;
        record.diskann_alpha = m.diskann ? m.diskann->alpha : 0.0f;
        return 0;
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_read_plan(const TavrenDadizaReaderHandle* reader, FfiReadPlan* out) {
    return ffi::guarded(-1, [&] {
        FfiReadPlan& record = ffi::out_pointer(out);
        const std::optional<vindex::DiskAnnReadReport> report = ffi::reader_of(reader).diskann_read_report();
        if (!report) ffi::check_failed("read plan is only available for DiskANN");
        record.latency_ns = report->latency_ns;
        record.window_bytes = report->plan.window_bytes;
        record.max_ranges_per_call = report->max_ranges_per_call;
        record.beam_width = report->plan.beam_width;
        record.ranges_per_read = report->plan.ranges_per_read;
        record.preloaded_adjacency_bytes = report->preloaded_adjacency_bytes;
        record.adjacency_cache_bytes = report->adjacency_cache_bytes;
        record.vector_cache_bytes = report->vector_cache_bytes;
        record.memory_budget_bytes = report->memory_budget_bytes;
        return 0;
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_optimize_for_search(TavrenDadizaReaderHandle* reader) {
    return ffi::guarded(-1, [&] {
        vindex::VectorIndexReader& r = ffi::reader_of(reader);
        ffi::prefixed("optimize_for_search: {}", [&] { r.optimize_for_search(); });
        return 0;
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search(TavrenDadizaReaderHandle* reader, const float* query,
                                                  FfiSearchParams params, int64_t* out_ids, float* out_distances,
                                                  size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::single_search(
            reader, query, [&] { return ffi::search_params_from_ffi(params); }, nullptr, 0, false, out_ids,
            out_distances, out_capacity, "search: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_ex(TavrenDadizaReaderHandle* reader, const float* query,
                                                     const FfiSearchParamsEx* params, int64_t* out_ids,
                                                     float* out_distances, size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::single_search(
            reader, query, [&] { return ffi::search_params_ex_from_ffi(params); }, nullptr, 0, false, out_ids,
            out_distances, out_capacity, "search: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_with_roaring_filter(TavrenDadizaReaderHandle* reader,
                                                                      const float* query, FfiSearchParams params,
                                                                      const uint8_t* roaring_filter,
                                                                      size_t roaring_filter_len, int64_t* out_ids,
                                                                      float* out_distances, size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::single_search(
            reader, query, [&] { return ffi::search_params_from_ffi(params); }, roaring_filter, roaring_filter_len,
            true, out_ids, out_distances, out_capacity, "search_with_roaring_filter: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_with_roaring_filter_ex(TavrenDadizaReaderHandle* reader,
                                                                         const float* query,
                                                                         const FfiSearchParamsEx* params,
                                                                         const uint8_t* roaring_filter,
                                                                         size_t roaring_filter_len, int64_t* out_ids,
                                                                         float* out_distances, size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::single_search(
            reader, query, [&] { return ffi::search_params_ex_from_ffi(params); }, roaring_filter, roaring_filter_len,
            true, out_ids, out_distances, out_capacity, "search_with_roaring_filter: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch(TavrenDadizaReaderHandle* reader, const float* queries,
                                                        size_t nq, FfiSearchParams params, int64_t* out_ids,
                                                        float* out_distances, size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::batch_search(
            reader, queries, nq, [&] { return ffi::search_params_from_ffi(params); }, nullptr, 0, false, out_ids,
            out_distances, out_capacity, "search_batch: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_ex(TavrenDadizaReaderHandle* reader, const float* queries,
                                                           size_t nq, const FfiSearchParamsEx* params, int64_t* out_ids,
                                                           float* out_distances, size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::batch_search(
            reader, queries, nq, [&] { return ffi::search_params_ex_from_ffi(params); }, nullptr, 0, false, out_ids,
            out_distances, out_capacity, "search_batch: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_v2(TavrenDadizaReaderHandle* reader, const float* queries,
                                                           size_t nq, FfiSearchParamsV2 params, int64_t* out_ids,
                                                           float* out_distances, size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::batch_search(
            reader, queries, nq, [&] { return ffi::search_params_v2_from_ffi(params); }, nullptr, 0, false, out_ids,
            out_distances, out_capacity, "search_batch: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter(TavrenDadizaReaderHandle* reader,
                                                                            const float* queries, size_t nq,
                                                                            FfiSearchParams params,
                                                                            const uint8_t* roaring_filter,
                                                                            size_t roaring_filter_len, int64_t* out_ids,
                                                                            float* out_distances, size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::batch_search(
            reader, queries, nq, [&] { return ffi::search_params_from_ffi(params); }, roaring_filter,
            roaring_filter_len, true, out_ids, out_distances, out_capacity, "search_batch_with_roaring_filter: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter_ex(
    TavrenDadizaReaderHandle* reader, const float* queries, size_t nq, const FfiSearchParamsEx* params,
    const uint8_t* roaring_filter, size_t roaring_filter_len, int64_t* out_ids, float* out_distances,
    size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::batch_search(
            reader, queries, nq, [&] { return ffi::search_params_ex_from_ffi(params); }, roaring_filter,
            roaring_filter_len, true, out_ids, out_distances, out_capacity, "search_batch_with_roaring_filter: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter_v2(
    TavrenDadizaReaderHandle* reader, const float* queries, size_t nq, FfiSearchParamsV2 params,
    const uint8_t* roaring_filter, size_t roaring_filter_len, int64_t* out_ids, float* out_distances,
    size_t out_capacity) {
    return ffi::guarded(-1, [&] {
        return ffi::batch_search(
            reader, queries, nq, [&] { return ffi::search_params_v2_from_ffi(params); }, roaring_filter,
            roaring_filter_len, true, out_ids, out_distances, out_capacity, "search_batch_with_roaring_filter: {}");
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_warmup_queries(TavrenDadizaReaderHandle* reader, const float* queries,
                                                          size_t nq, size_t l_search) {
    return ffi::guarded(-1, [&] {
        vindex::VectorIndexReader& r = ffi::reader_of(reader);
        const uint64_t values = ffi::checked_length(nq, r.dimension(), "warmup queries");
        const std::span<const float> qs = ffi::input_array(queries, values, "warmup queries");
        ffi::prefixed("warmup_queries: {}", [&] { r.warmup_queries(qs, nq, l_search); });
        return 0;
    });
}

TAVREN_DADIZA_API int tavren_dadiza_reader_calibrate_search_width(TavrenDadizaReaderHandle* reader,
                                                                  const float* queries, size_t nq, size_t top_k,
                                                                  uint64_t* out_l_search) {
    return ffi::guarded(-1, [&] {
        uint64_t* out = ffi::require_pointer(out_l_search, "out_l_search");
        vindex::VectorIndexReader& r = ffi::reader_of(reader);
        const uint64_t values = ffi::checked_length(nq, r.dimension(), "calibration queries");
        const std::span<const float> qs = ffi::input_array(queries, values, "calibration queries");
        const uint64_t l_search =
            ffi::prefixed("calibrate_search_width: {}", [&] { return r.calibrate_search_width(qs, nq, top_k); });
        *out = l_search;
        return 0;
    });
}

}  // extern "C"
