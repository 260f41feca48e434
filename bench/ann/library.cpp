#include "library.hpp"

#include <algorithm>

namespace tavren::ann {
namespace {
std::string last_error_text() {
    const char* e = tavren_dadiza_last_error();
    return e ? e : "(no error text)";
}

// Throws LibraryError for `call` unless its return code is 0.
void check(int rc, const char* call) {
    if (rc != 0) throw LibraryError(call);
}

// Calls add(first_row, rows) over [0, rows) in slices of at most `chunk_rows`
// rows (at least 1).
template <class Add>
void in_chunks(size_t rows, size_t chunk_rows, Add&& add) {
    chunk_rows = std::max<size_t>(chunk_rows, 1);
    for (size_t r = 0; r < rows; r += chunk_rows) add(r, std::min(chunk_rows, rows - r));
}
}  // namespace

LibraryError::LibraryError(const std::string& call) : std::runtime_error(call + " failed: " + last_error_text()) {}

Trainer::Trainer(const Options& options) {
    std::vector<const char*> keys, values;
    keys.reserve(options.size());
    values.reserve(options.size());
    for (const auto& [k, v] : options) {
        keys.push_back(k.c_str());
        values.push_back(v.c_str());
    }
    h_.reset(tavren_dadiza_trainer_open(keys.data(), values.data(), options.size()));
    if (!h_) throw LibraryError("tavren_dadiza_trainer_open");
}

size_t Trainer::dimension() const {
    size_t d = 0;
    check(tavren_dadiza_trainer_dimension(h_.get(), &d), "tavren_dadiza_trainer_dimension");
    return d;
}

void Trainer::add_training_vectors(const float* data, size_t rows, size_t chunk_rows) {
    const size_t d = dimension();
    in_chunks(rows, chunk_rows, [&](size_t r, size_t n) {
        check(tavren_dadiza_trainer_add_training_vectors(h_.get(), data + r * d, n),
              "tavren_dadiza_trainer_add_training_vectors");
    });
}

Training Trainer::finish() {
    TavrenDadizaTrainingHandle* t = tavren_dadiza_trainer_finish(h_.get());
    if (!t) throw LibraryError("tavren_dadiza_trainer_finish");
    return Training(t);
}

Writer Training::open_writer() {
    TavrenDadizaWriterHandle* w = tavren_dadiza_writer_open(h_.get());
    if (!w) throw LibraryError("tavren_dadiza_writer_open");
    return Writer(w);
}

size_t Writer::dimension() const {
    size_t d = 0;
    check(tavren_dadiza_writer_dimension(h_.get(), &d), "tavren_dadiza_writer_dimension");
    return d;
}

void Writer::add_vectors(const int64_t* ids, const float* data, size_t rows, size_t chunk_rows) {
    const size_t d = dimension();
    in_chunks(rows, chunk_rows, [&](size_t r, size_t n) {
        check(tavren_dadiza_writer_add_vectors(h_.get(), ids + r, data + r * d, n), "tavren_dadiza_writer_add_vectors");
    });
}

void Writer::write_index(const FfiOutputCallbacks& output) {
    check(tavren_dadiza_writer_write_index(h_.get(), output), "tavren_dadiza_writer_write_index");
}

Reader::Reader(const FfiInputFile& input, uint64_t memory_budget) {
    h_.reset(memory_budget == 0 ? tavren_dadiza_reader_open(input)
                                : tavren_dadiza_reader_open_with_options(input, memory_budget));
    if (!h_) throw LibraryError("tavren_dadiza_reader_open");
}

FfiIndexMetadata Reader::metadata() const {
    FfiIndexMetadata m{};
    check(tavren_dadiza_reader_metadata(h_.get(), &m), "tavren_dadiza_reader_metadata");
    return m;
}

FfiReadPlan Reader::read_plan() const {
    FfiReadPlan p{};
    check(tavren_dadiza_reader_read_plan(h_.get(), &p), "tavren_dadiza_reader_read_plan");
    return p;
}

void Reader::optimize_for_search() {
    check(tavren_dadiza_reader_optimize_for_search(h_.get()), "tavren_dadiza_reader_optimize_for_search");
}

void Reader::search(const float* query, const FfiSearchParams& params, int64_t* ids, float* distances) {
    check(tavren_dadiza_reader_search(h_.get(), query, params, ids, distances, params.top_k),
          "tavren_dadiza_reader_search");
}

void Reader::search_batch(const float* queries, size_t nq, const FfiSearchParams& params, uint32_t pq_table_reuse,
                          int64_t* ids, float* distances) {
    FfiSearchParamsV2 v2{};
    v2.top_k = params.top_k;
    v2.width_type = params.width_type;
    v2.width = params.width;
    v2.ivfpq_table_reuse_mode = pq_table_reuse;
    v2.ivfpq_table_reuse_max_bytes = 536870912;  // the library's default budget
    check(tavren_dadiza_reader_search_batch_v2(h_.get(), queries, nq, v2, ids, distances, nq * params.top_k),
          "tavren_dadiza_reader_search_batch_v2");
}

FfiSearchParams search_params(uint64_t top_k, uint32_t width_type, uint64_t width) {
    FfiSearchParams p{};
    p.top_k = top_k;
    p.width_type = width_type;
    p.width = width;
    return p;
}

}  // namespace tavren::ann
