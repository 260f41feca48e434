// Reader exports: open, metadata, read plan, optimize, searches, warm-up, calibration, free.
// PLACEHOLDER bodies: each fails with "not implemented" until its facade lands.
#include "frame.hpp"
#include "tavren_dadiza.h"

namespace ffi = tavren::ffi;

namespace {

[[noreturn]] void not_implemented() { ffi::check_failed("not implemented"); }

[[maybe_unused]] int status_stub() {
    return ffi::guarded(-1, []() -> int { not_implemented(); });
}

template <class Handle>
Handle* handle_stub() {
    return ffi::guarded(nullptr, []() -> Handle* { not_implemented(); });
}

}  // namespace

extern "C" {

TAVREN_DADIZA_API TavrenDadizaReaderHandle* tavren_dadiza_reader_open(FfiInputFile) {
    return handle_stub<TavrenDadizaReaderHandle>();
}

TAVREN_DADIZA_API TavrenDadizaReaderHandle* tavren_dadiza_reader_open_with_options(FfiInputFile, uint64_t) {
    return handle_stub<TavrenDadizaReaderHandle>();
}

TAVREN_DADIZA_API void tavren_dadiza_reader_free(TavrenDadizaReaderHandle*) {}

TAVREN_DADIZA_API int tavren_dadiza_reader_metadata(const TavrenDadizaReaderHandle*, FfiIndexMetadata*) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_read_plan(const TavrenDadizaReaderHandle*, FfiReadPlan*) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_optimize_for_search(TavrenDadizaReaderHandle*) { return status_stub(); }

TAVREN_DADIZA_API int tavren_dadiza_reader_search(TavrenDadizaReaderHandle*, const float*, FfiSearchParams, int64_t*,
                                                  float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_ex(TavrenDadizaReaderHandle*, const float*,
                                                     const FfiSearchParamsEx*, int64_t*, float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_with_roaring_filter(TavrenDadizaReaderHandle*, const float*,
                                                                      FfiSearchParams, const uint8_t*, size_t,
                                                                      int64_t*, float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_with_roaring_filter_ex(TavrenDadizaReaderHandle*, const float*,
                                                                         const FfiSearchParamsEx*, const uint8_t*,
                                                                         size_t, int64_t*, float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch(TavrenDadizaReaderHandle*, const float*, size_t,
                                                        FfiSearchParams, int64_t*, float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_ex(TavrenDadizaReaderHandle*, const float*, size_t,
                                                           const FfiSearchParamsEx*, int64_t*, float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_v2(TavrenDadizaReaderHandle*, const float*, size_t,
                                                           FfiSearchParamsV2, int64_t*, float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter(TavrenDadizaReaderHandle*,
                                                                            const float*, size_t, FfiSearchParams,
                                                                            const uint8_t*, size_t, int64_t*,
                                                                            float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter_ex(TavrenDadizaReaderHandle*,
                                                                               const float*, size_t,
                                                                               const FfiSearchParamsEx*,
                                                                               const uint8_t*, size_t, int64_t*,
                                                                               float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter_v2(TavrenDadizaReaderHandle*,
                                                                               const float*, size_t,
                                                                               FfiSearchParamsV2, const uint8_t*,
                                                                               size_t, int64_t*, float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_warmup_queries(TavrenDadizaReaderHandle*, const float*, size_t, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_reader_calibrate_search_width(TavrenDadizaReaderHandle*, const float*, size_t,
                                                                  size_t, uint64_t*) {
    return status_stub();
}

}  // extern "C"
