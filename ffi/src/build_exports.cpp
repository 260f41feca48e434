// Build exports: the trainer, training and writer handles and the road from
// option strings to a written index file. Each export checks its own
// arguments in a fixed order with unprefixed texts, then calls the index
// facade (index.hpp) under the export's prefix.
#include <memory>
#include <optional>
#include <utility>

#include "frame.hpp"
#include "index.hpp"
#include "host_io.hpp"
#include "options.hpp"
#include "tavren_dadiza.h"

namespace ffi = tavren::ffi;
namespace tindex = tavren::index;

// A trainer until tavren_dadiza_trainer_finish takes it out (also when
// training then fails); the emptied handle must still be freed.
struct TavrenDadizaTrainerHandle {
    std::optional<tindex::VectorIndexTrainer> trainer;
};

// A trained index until tavren_dadiza_writer_open takes it out.
struct TavrenDadizaTrainingHandle {
    std::optional<tindex::VectorIndexWriter> index;
};

// The index under construction; writing does not consume it.
struct TavrenDadizaWriterHandle {
    tindex::VectorIndexWriter writer;
};

namespace {

// The handle checks, for const and mutable handles alike.
template <class Handle>  // [const] TavrenDadizaTrainerHandle
Handle& trainer_handle(Handle* handle) {
    if (handle == nullptr) ffi::check_failed("null trainer handle");
    return *handle;
}

template <class Handle>  // [const] TavrenDadizaTrainerHandle
auto& held_trainer(Handle& handle) {
    if (!handle.trainer) ffi::check_failed("trainer has already finished");
    return *handle.trainer;
}

template <class Handle>  // [const] TavrenDadizaWriterHandle
Handle& writer_handle(Handle* handle) {
    if (handle == nullptr) ffi::check_failed("null writer handle");
    return *handle;
}

}  // namespace

extern "C" {

TAVREN_DADIZA_API TavrenDadizaTrainerHandle* tavren_dadiza_trainer_open(const char* const* keys,
                                                                        const char* const* values, size_t count) {
    return ffi::guarded(nullptr, [&]() -> TavrenDadizaTrainerHandle* {
        ffi::CollectedOptions options = ffi::collect_option_pairs(keys, values, count);
        if (!options.ok()) ffi::check_failed(std::move(*options.error));
        tindex::VectorIndexConfig config = ffi::prefixed(
            "invalid vector index options: {}", [&] { return tindex::VectorIndexConfig::from_options(options.pairs); });
        auto handle = std::make_unique<TavrenDadizaTrainerHandle>();
        handle->trainer.emplace(
            ffi::prefixed("create trainer: {}", [&] { return tindex::VectorIndexTrainer::create(config); }));
        return handle.release();
    });
}

TAVREN_DADIZA_API int tavren_dadiza_trainer_dimension(const TavrenDadizaTrainerHandle* trainer, size_t* out) {
    return ffi::guarded(-1, [&] {
        size_t& result = ffi::out_pointer(out);
        result = held_trainer(trainer_handle(trainer)).dimension();
        return 0;
    });
}

TAVREN_DADIZA_API int tavren_dadiza_trainer_add_training_vectors(TavrenDadizaTrainerHandle* trainer,
                                                                 const float* data, size_t count) {
    return ffi::guarded(-1, [&] {
        tindex::VectorIndexTrainer& t = held_trainer(trainer_handle(trainer));
        const uint64_t len = ffi::checked_length(count, t.dimension(), "training data");
        const std::span<const float> values = ffi::input_array(data, len, "data");
        ffi::prefixed("add training vectors: {}", [&] { t.add_training_vectors_mut(values, count); });
        return 0;
    });
}

TAVREN_DADIZA_API TavrenDadizaTrainingHandle* tavren_dadiza_trainer_finish(TavrenDadizaTrainerHandle* trainer) {
    return ffi::guarded(nullptr, [&]() -> TavrenDadizaTrainingHandle* {
        TavrenDadizaTrainerHandle& handle = trainer_handle(trainer);
        // The handle is empty from here on, whatever training does.
        tindex::VectorIndexTrainer spent = std::move(held_trainer(handle));
        handle.trainer.reset();
        auto training = std::make_unique<TavrenDadizaTrainingHandle>();
        training->index.emplace(
            ffi::prefixed("finish training: {}", [&] { return std::move(spent).finish(); }));
        return training.release();
    });
}

TAVREN_DADIZA_API void tavren_dadiza_trainer_free(TavrenDadizaTrainerHandle* trainer) { delete trainer; }

TAVREN_DADIZA_API void tavren_dadiza_training_free(TavrenDadizaTrainingHandle* training) { delete training; }

TAVREN_DADIZA_API TavrenDadizaWriterHandle* tavren_dadiza_writer_open(TavrenDadizaTrainingHandle* training) {
    return ffi::guarded(nullptr, [&]() -> TavrenDadizaWriterHandle* {
        if (training == nullptr) ffi::check_failed("null training handle");
        if (!training->index) ffi::check_failed("training has already been consumed");
        // Allocated before the move, so a failed allocation leaves the
        // trained index where it was.
        auto writer = std::make_unique<TavrenDadizaWriterHandle>(TavrenDadizaWriterHandle{std::move(*training->index)});
        training->index.reset();
        return writer.release();
    });
}

TAVREN_DADIZA_API int tavren_dadiza_writer_dimension(const TavrenDadizaWriterHandle* writer, size_t* out) {
    return ffi::guarded(-1, [&] {
        size_t& result = ffi::out_pointer(out);
        result = writer_handle(writer).writer.dimension();
        return 0;
    });
}

TAVREN_DADIZA_API int tavren_dadiza_writer_add_vectors(TavrenDadizaWriterHandle* writer, const int64_t* ids,
                                                       const float* data, size_t count) {
    return ffi::guarded(-1, [&] {
        tindex::VectorIndexWriter& w = writer_handle(writer).writer;
        const uint64_t len = ffi::checked_length(count, w.dimension(), "vector data");
        const std::span<const int64_t> id_values = ffi::input_array(ids, count, "ids");
        const std::span<const float> values = ffi::input_array(data, len, "data");
        ffi::prefixed("add_vectors: {}", [&] { w.add_vectors(id_values, values, count); });
        return 0;
    });
}

TAVREN_DADIZA_API int tavren_dadiza_writer_write_index(TavrenDadizaWriterHandle* writer, FfiOutputCallbacks output) {
    return ffi::guarded(-1, [&] {
        const tindex::VectorIndexWriter& w = writer_handle(writer).writer;
        tavren::ffi::HostOutputFile out(output);
        ffi::prefixed("write index: {}", [&] { w.write(out); });
        ffi::prefixed("flush index: {}", [&] { out.flush(); });
        return 0;
    });
}

TAVREN_DADIZA_API void tavren_dadiza_writer_free(TavrenDadizaWriterHandle* writer) { delete writer; }

}  // extern "C"
