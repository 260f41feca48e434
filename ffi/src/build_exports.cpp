// Build exports: trainer, training and writer handles.
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

TAVREN_DADIZA_API TavrenDadizaTrainerHandle* tavren_dadiza_trainer_open(const char* const*, const char* const*,
                                                                        size_t) {
    return handle_stub<TavrenDadizaTrainerHandle>();
}

TAVREN_DADIZA_API int tavren_dadiza_trainer_dimension(const TavrenDadizaTrainerHandle*, size_t*) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_trainer_add_training_vectors(TavrenDadizaTrainerHandle*, const float*, size_t) {
    return status_stub();
}

TAVREN_DADIZA_API TavrenDadizaTrainingHandle* tavren_dadiza_trainer_finish(TavrenDadizaTrainerHandle*) {
    return handle_stub<TavrenDadizaTrainingHandle>();
}

TAVREN_DADIZA_API void tavren_dadiza_trainer_free(TavrenDadizaTrainerHandle*) {}

TAVREN_DADIZA_API void tavren_dadiza_training_free(TavrenDadizaTrainingHandle*) {}

TAVREN_DADIZA_API TavrenDadizaWriterHandle* tavren_dadiza_writer_open(TavrenDadizaTrainingHandle*) {
    return handle_stub<TavrenDadizaWriterHandle>();
}

TAVREN_DADIZA_API int tavren_dadiza_writer_dimension(const TavrenDadizaWriterHandle*, size_t*) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_writer_add_vectors(TavrenDadizaWriterHandle*, const int64_t*, const float*,
                                                       size_t) {
    return status_stub();
}

TAVREN_DADIZA_API int tavren_dadiza_writer_write_index(TavrenDadizaWriterHandle*, FfiOutputCallbacks) {
    return status_stub();
}

TAVREN_DADIZA_API void tavren_dadiza_writer_free(TavrenDadizaWriterHandle*) {}

}  // extern "C"
