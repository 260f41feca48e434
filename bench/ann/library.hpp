// Owning C++ wrappers over the library's C interface, as a host would write
// them: each handle is freed exactly once, and every failed call throws
// LibraryError carrying the call's name and the library's last-error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tavren_dadiza.h"

namespace tavren::ann {

class LibraryError : public std::runtime_error {
public:
    explicit LibraryError(const std::string& call);
};

using Options = std::vector<std::pair<std::string, std::string>>;

// A library handle freed by `Free` exactly once.
template <class T, void (*Free)(T*)>
struct HandleFree {
    void operator()(T* h) const { Free(h); }
};
template <class T, void (*Free)(T*)>
using Handle = std::unique_ptr<T, HandleFree<T, Free>>;

class Training;
class Writer;

class Trainer {
public:
    explicit Trainer(const Options& options);
    size_t dimension() const;
    // rows x dimension() floats, fed in slices of at most `chunk_rows` rows.
    void add_training_vectors(const float* data, size_t rows, size_t chunk_rows = 65536);
    // Trains; the trainer is emptied whatever the outcome.
    Training finish();

private:
    Handle<TavrenDadizaTrainerHandle, tavren_dadiza_trainer_free> h_;
};

class Training {
public:
    explicit Training(TavrenDadizaTrainingHandle* h) : h_(h) {}
    // Moves the trained index into a writer.
    Writer open_writer();

private:
    Handle<TavrenDadizaTrainingHandle, tavren_dadiza_training_free> h_;
};

class Writer {
public:
    explicit Writer(TavrenDadizaWriterHandle* h) : h_(h) {}
    size_t dimension() const;
    // ids[i] belongs to row i; fed in slices of at most `chunk_rows` rows.
    void add_vectors(const int64_t* ids, const float* data, size_t rows, size_t chunk_rows = 65536);
    void write_index(const FfiOutputCallbacks& output);

private:
    Handle<TavrenDadizaWriterHandle, tavren_dadiza_writer_free> h_;
};

class Reader {
public:
    // memory_budget 0 opens with the default budget (tavren_dadiza_reader_open).
    explicit Reader(const FfiInputFile& input, uint64_t memory_budget = 0);
    FfiIndexMetadata metadata() const;
    // How a DiskANN reader reads (profile defaults adjusted to the host's hints).
    FfiReadPlan read_plan() const;
    void optimize_for_search();
    // top_k results into ids / distances (capacity top_k each).
    void search(const float* query, const FfiSearchParams& params, int64_t* ids, float* distances);
    // nq x top_k results.
    // pq_table_reuse: the IVF-PQ batch table reuse mode (0 off, 1 on, 2 auto).
    void search_batch(const float* queries, size_t nq, const FfiSearchParams& params, uint32_t pq_table_reuse,
                      int64_t* ids,
                      float* distances);

private:
    Handle<TavrenDadizaReaderHandle, tavren_dadiza_reader_free> h_;
};

// Search parameters with an explicit width of the type the index wants.
FfiSearchParams search_params(uint64_t top_k, uint32_t width_type, uint64_t width);

}  // namespace tavren::ann
