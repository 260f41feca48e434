/*
 * tavren-dadiza: approximate-nearest-neighbour indexes over f32 vectors.
 *
 * The whole C interface of the library. Compiles as C99 and as C++.
 *
 * Conventions shared by every function:
 *  - Status results are int: 0 on success, -1 on failure. Functions returning
 *    a handle return NULL on failure.
 *  - On failure the reason is stored in a per-thread slot that
 *    tavren_dadiza_last_error() returns. A later success leaves it in place.
 *  - Counts, lengths and dimensions are size_t (64-bit); row IDs are int64_t.
 *  - Input arrays are only read and stay the caller's. An input array whose
 *    element count is 0 may be NULL.
 *  - Calls on one handle must not overlap; different handles may be used from
 *    different threads at once. Any thread may use or free any handle.
 *  - The library owns no files: it reads through FfiInputFile and writes
 *    through FfiOutputCallbacks.
 */
#ifndef TAVREN_DADIZA_H
#define TAVREN_DADIZA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TAVREN_DADIZA_API __attribute__((visibility("default")))
#else
#define TAVREN_DADIZA_API
#endif

/* Opaque handles. Each is made by one call and released by its free call. */
typedef struct TavrenDadizaReaderHandle TavrenDadizaReaderHandle;
typedef struct TavrenDadizaTrainerHandle TavrenDadizaTrainerHandle;
typedef struct TavrenDadizaTrainingHandle TavrenDadizaTrainingHandle;
typedef struct TavrenDadizaWriterHandle TavrenDadizaWriterHandle;

/* One range of a batched positional read (24 bytes). The library owns the
 * array for the duration of the callback; buf is valid for len bytes. */
typedef struct FfiReadRange {
    uint64_t offset;
    uint8_t *buf;
    uint64_t len;
} FfiReadRange;

/* Fills every range completely and returns 0, or returns non-zero (there is
 * no partial success). Ranges may be served in any order. The callback may be
 * called from several threads at once with the same user_data. */
typedef int (*FfiReadRangesFn)(void *user_data, const FfiReadRange *ranges, size_t count);

/* The host's input file (40 bytes), passed by value to the open functions; the
 * reader keeps a copy and calls it until the reader handle is freed. */
typedef struct FfiInputFile {
    void *user_data;
    FfiReadRangesFn read_ranges_fn;  /* NULL: every read of at least one range fails */
    uint64_t read_latency_ns;        /* hint: typical latency of one call; 0 = not given */
    uint64_t io_block_size;          /* hint: preferred read size in bytes; 0 = not given */
    uint64_t max_ranges_per_call;    /* most ranges per call of read_ranges_fn; 0 = no limit */
} FfiInputFile;

typedef int (*FfiWriteFn)(void *user_data, const uint8_t *bytes, size_t len);
typedef int (*FfiFlushFn)(void *user_data);
typedef int64_t (*FfiPositionFn)(void *user_data);

/* The host's output (32 bytes), used only during tavren_dadiza_writer_write_index. */
typedef struct FfiOutputCallbacks {
    void *user_data;
    FfiWriteFn write_fn;        /* appends the bytes; 0 = success */
    FfiFlushFn flush_fn;        /* optional; called once after the whole file was written */
    FfiPositionFn position_fn;  /* optional; the host's output position, negative = none */
} FfiOutputCallbacks;

/* What an open reader holds (88 bytes). */
typedef struct FfiIndexMetadata {
    uint32_t index_type;  /* 0 IVF-FLAT, 1 IVF-PQ, 4 IVF-RQ, 5 DiskANN, 6 IVF-SQ */
    uint64_t dimension;
    uint64_t nlist;       /* 1 for DiskANN */
    uint32_t metric;      /* 0 l2, 1 inner_product, 2 cosine */
    int64_t vector_count;
    uint64_t pq_m;
    uint64_t code_bits;
    uint64_t rq_bits;
    uint64_t diskann_max_degree;
    uint64_t diskann_build_list_size;
    float diskann_alpha;
} FfiIndexMetadata;

/* How a DiskANN reader reads (nine u64 words, 72 bytes). */
typedef struct FfiReadPlan {
    uint64_t latency_ns;
    uint64_t window_bytes;
    uint64_t max_ranges_per_call;
    uint64_t beam_width;
    uint64_t ranges_per_read;
    uint64_t preloaded_adjacency_bytes;
    uint64_t adjacency_cache_bytes;
    uint64_t vector_cache_bytes;
    uint64_t memory_budget_bytes;
} FfiReadPlan;

/* Search width types. */
#define TAVREN_DADIZA_WIDTH_AUTO 0u
#define TAVREN_DADIZA_WIDTH_NPROBE 1u
#define TAVREN_DADIZA_WIDTH_L_SEARCH 2u

/* IVF-PQ batch table reuse modes. */
#define TAVREN_DADIZA_TABLE_REUSE_OFF 0u
#define TAVREN_DADIZA_TABLE_REUSE_ON 1u
#define TAVREN_DADIZA_TABLE_REUSE_AUTO 2u

/* Search parameters, version 1 (24 bytes, by value). */
typedef struct FfiSearchParams {
    uint64_t top_k;
    uint32_t width_type;  /* must be paired with width = 0 when automatic */
    uint64_t width;
} FfiSearchParams;

/* Search parameters versioned by size (by pointer). struct_size is the number
 * of bytes the caller filled, at least 32; nothing past byte 56 is read. */
typedef struct FfiSearchParamsEx {
    uint64_t struct_size;
    uint64_t top_k;
    uint32_t width_type;
    uint64_t width;
    uint64_t max_initial_filter_expansion_factor;  /* read from 40 bytes on; 0 = none */
    uint32_t ivfpq_table_reuse_mode;               /* read from 44 bytes on */
    uint64_t ivfpq_table_reuse_max_bytes;          /* read from 56 bytes on; never 0 */
} FfiSearchParamsEx;

/* Search parameters, version 2 (40 bytes, by value). */
typedef struct FfiSearchParamsV2 {
    uint64_t top_k;
    uint32_t width_type;
    uint64_t width;
    uint32_t ivfpq_table_reuse_mode;
    uint64_t ivfpq_table_reuse_max_bytes;
} FfiSearchParamsV2;

/* The text of the last failure on this thread, or NULL when nothing failed on
 * it. Valid until the next failure on the same thread or its exit. */
TAVREN_DADIZA_API const char *tavren_dadiza_last_error(void);

/* ---- Readers ---------------------------------------------------------- */

/* Opens with a memory budget of 4294967296 bytes. */
TAVREN_DADIZA_API TavrenDadizaReaderHandle *tavren_dadiza_reader_open(FfiInputFile input);
TAVREN_DADIZA_API TavrenDadizaReaderHandle *tavren_dadiza_reader_open_with_options(
    FfiInputFile input, uint64_t memory_budget_bytes);
TAVREN_DADIZA_API void tavren_dadiza_reader_free(TavrenDadizaReaderHandle *reader);
TAVREN_DADIZA_API int tavren_dadiza_reader_metadata(const TavrenDadizaReaderHandle *reader,
                                                    FfiIndexMetadata *out);
TAVREN_DADIZA_API int tavren_dadiza_reader_read_plan(const TavrenDadizaReaderHandle *reader,
                                                     FfiReadPlan *out);
TAVREN_DADIZA_API int tavren_dadiza_reader_optimize_for_search(TavrenDadizaReaderHandle *reader);

/* Results: exactly top_k (single) or nq * top_k (batch, query after query)
 * pairs, ascending by distance per query, missing places as row ID -1 with
 * distance 3.4028235e38. out_capacity is the element count of each array. */
TAVREN_DADIZA_API int tavren_dadiza_reader_search(TavrenDadizaReaderHandle *reader,
                                                  const float *query, FfiSearchParams params,
                                                  int64_t *out_ids, float *out_distances,
                                                  size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_ex(TavrenDadizaReaderHandle *reader,
                                                     const float *query,
                                                     const FfiSearchParamsEx *params,
                                                     int64_t *out_ids, float *out_distances,
                                                     size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_with_roaring_filter(
    TavrenDadizaReaderHandle *reader, const float *query, FfiSearchParams params,
    const uint8_t *roaring_filter, size_t roaring_filter_len, int64_t *out_ids,
    float *out_distances, size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_with_roaring_filter_ex(
    TavrenDadizaReaderHandle *reader, const float *query, const FfiSearchParamsEx *params,
    const uint8_t *roaring_filter, size_t roaring_filter_len, int64_t *out_ids,
    float *out_distances, size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch(TavrenDadizaReaderHandle *reader,
                                                        const float *queries, size_t nq,
                                                        FfiSearchParams params, int64_t *out_ids,
                                                        float *out_distances,
                                                        size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_ex(TavrenDadizaReaderHandle *reader,
                                                           const float *queries, size_t nq,
                                                           const FfiSearchParamsEx *params,
                                                           int64_t *out_ids,
                                                           float *out_distances,
                                                           size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_v2(TavrenDadizaReaderHandle *reader,
                                                           const float *queries, size_t nq,
                                                           FfiSearchParamsV2 params,
                                                           int64_t *out_ids,
                                                           float *out_distances,
                                                           size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter(
    TavrenDadizaReaderHandle *reader, const float *queries, size_t nq, FfiSearchParams params,
    const uint8_t *roaring_filter, size_t roaring_filter_len, int64_t *out_ids,
    float *out_distances, size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter_ex(
    TavrenDadizaReaderHandle *reader, const float *queries, size_t nq,
    const FfiSearchParamsEx *params, const uint8_t *roaring_filter, size_t roaring_filter_len,
    int64_t *out_ids, float *out_distances, size_t out_capacity);
TAVREN_DADIZA_API int tavren_dadiza_reader_search_batch_with_roaring_filter_v2(
    TavrenDadizaReaderHandle *reader, const float *queries, size_t nq, FfiSearchParamsV2 params,
    const uint8_t *roaring_filter, size_t roaring_filter_len, int64_t *out_ids,
    float *out_distances, size_t out_capacity);

/* l_search is the DiskANN search-list size of the warm-up searches (0 = the
 * DiskANN default); IVF readers only load their metadata. */
TAVREN_DADIZA_API int tavren_dadiza_reader_warmup_queries(TavrenDadizaReaderHandle *reader,
                                                          const float *queries, size_t nq,
                                                          size_t l_search);
TAVREN_DADIZA_API int tavren_dadiza_reader_calibrate_search_width(
    TavrenDadizaReaderHandle *reader, const float *queries, size_t nq, size_t top_k,
    uint64_t *out_l_search);

/* ---- Building --------------------------------------------------------- */

/* keys[i] / values[i] are NUL-terminated UTF-8 option strings; they are copied. */
TAVREN_DADIZA_API TavrenDadizaTrainerHandle *tavren_dadiza_trainer_open(const char *const *keys,
                                                                        const char *const *values,
                                                                        size_t count);
TAVREN_DADIZA_API int tavren_dadiza_trainer_dimension(const TavrenDadizaTrainerHandle *trainer,
                                                      size_t *out);
/* data holds count rows of the index dimension. */
TAVREN_DADIZA_API int tavren_dadiza_trainer_add_training_vectors(
    TavrenDadizaTrainerHandle *trainer, const float *data, size_t count);
/* Empties the trainer handle whatever the outcome; it must still be freed. */
TAVREN_DADIZA_API TavrenDadizaTrainingHandle *tavren_dadiza_trainer_finish(
    TavrenDadizaTrainerHandle *trainer);
TAVREN_DADIZA_API void tavren_dadiza_trainer_free(TavrenDadizaTrainerHandle *trainer);
TAVREN_DADIZA_API void tavren_dadiza_training_free(TavrenDadizaTrainingHandle *training);

/* Moves the trained index out of the training handle, which must still be freed. */
TAVREN_DADIZA_API TavrenDadizaWriterHandle *tavren_dadiza_writer_open(
    TavrenDadizaTrainingHandle *training);
TAVREN_DADIZA_API int tavren_dadiza_writer_dimension(const TavrenDadizaWriterHandle *writer,
                                                     size_t *out);
TAVREN_DADIZA_API int tavren_dadiza_writer_add_vectors(TavrenDadizaWriterHandle *writer,
                                                       const int64_t *ids, const float *data,
                                                       size_t count);
/* Writes the whole index front to back through output, then calls flush_fn. */
TAVREN_DADIZA_API int tavren_dadiza_writer_write_index(TavrenDadizaWriterHandle *writer,
                                                       FfiOutputCallbacks output);
TAVREN_DADIZA_API void tavren_dadiza_writer_free(TavrenDadizaWriterHandle *writer);

#ifdef __cplusplus
}
#endif

#endif /* TAVREN_DADIZA_H */
