/* A C99 host drives the whole build road through the shared library: it opens
 * trainers with option strings, offers training vectors, finishes, opens
 * writers, adds vectors with row IDs and writes IVF-FLAT files into memory
 * through its callbacks; an independent parser then checks every file byte by
 * byte. It also checks the frame rules of these exports (free functions with
 * NULL, getter check order, per-thread last error) and their failure texts. */
#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_sink.h"
#include "ivfflat_file_check.h"
#include "tavren_dadiza.h"

static int same_bytes(const Sink *a, const Sink *b) {
    return a->len == b->len && (a->len == 0 || memcmp(a->bytes, b->bytes, a->len) == 0);
}

/* ---- data ------------------------------------------------------------------ */

static uint64_t rng_state = 0x9E3779B97F4A7C15ull;
static uint32_t next_u32(void) {
    rng_state = rng_state * 6364136223846793005ull + 1442695040888963407ull;
    return (uint32_t)(rng_state >> 33);
}
/* Clustered rows: each row is near one of a few centres. */
static float *make_rows(size_t n, size_t d, uint64_t seed) {
    float *rows = (float *)malloc(sizeof(float) * n * d);
    size_t i, k;
    rng_state = seed;
    for (i = 0; i < n; ++i) {
        uint32_t centre = next_u32() % 7;
        for (k = 0; k < d; ++k) {
            float noise = (float)(next_u32() % 20001) / 10000.0f - 1.0f;
            rows[i * d + k] = (float)((centre * 5 + k * 3) % 11) * 2.0f + noise;
        }
    }
    return rows;
}

static TavrenDadizaTrainerHandle *open_trainer(const char *metric, const char *dimension, const char *nlist) {
    const char *keys[] = {"index.type", "dimension", "metric", "nlist"};
    const char *values[4];
    values[0] = "ivf_flat";
    values[1] = dimension;
    values[2] = metric;
    values[3] = nlist;
    return tavren_dadiza_trainer_open(keys, values, 4);
}

/* ---- end to end, each metric ------------------------------------------------ */

static double sq_dist(const float *a, const IvfFlatCheckFile *f, size_t list) {
    double s = 0;
    size_t k;
    for (k = 0; k < f->dimension; ++k) {
        double diff = (double)a[k] - (double)ivfc_centroid_value(f, list, k);
        s += diff * diff;
    }
    return s;
}

static void test_end_to_end(const char *metric_name, uint32_t metric) {
    enum { D = 8, NLIST = 16, NTRAIN = 3000, NADD = 1500 };
    TavrenDadizaTrainerHandle *trainer;
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    float *train = make_rows(NTRAIN, D, 11);
    float *data = make_rows(NADD, D, 22);
    float *expected = (float *)malloc(sizeof(float) * NADD * D);
    int64_t *ids = (int64_t *)malloc(sizeof(int64_t) * NADD);
    int *matched = (int *)calloc(NADD, sizeof(int));
    size_t dim = 0, i, k, r, found = 0;
    uint32_t j;
    Sink sink;
    IvfFlatCheckFile f;

    /* Duplicate and negative IDs, in no order; row 3 all zeros. */
    for (i = 0; i < NADD; ++i) ids[i] = (int64_t)((i * 7919u) % 1000u) - 300;
    ids[10] = INT64_MIN;
    ids[11] = INT64_MAX;
    for (k = 0; k < D; ++k) data[3 * D + k] = 0.0f;
    for (i = 0; i < NADD; ++i) {
        double norm = 0;
        for (k = 0; k < D; ++k) norm += (double)data[i * D + k] * data[i * D + k];
        norm = sqrt(norm);
        for (k = 0; k < D; ++k) {
            expected[i * D + k] = (metric == 2 && norm > 0) ? (float)(data[i * D + k] / norm) : data[i * D + k];
        }
    }

    trainer = open_trainer(metric_name, "8", "16");
    CHECK(trainer != NULL);
    if (trainer == NULL) return;
    CHECK(tavren_dadiza_trainer_dimension(trainer, &dim) == 0 && dim == D);
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, train, 1000) == 0);
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, train + 1000 * D, NTRAIN - 1000) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    dim = 0;
    CHECK(tavren_dadiza_writer_dimension(writer, &dim) == 0 && dim == D);
    /* Three adds: lists keep insertion order across calls. */
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, data, 500) == 0);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids + 500, data + 500 * D, 1) == 0);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids + 501, data + 501 * D, NADD - 501) == 0);

    sink_init(&sink);
    CHECK(tavren_dadiza_writer_write_index(writer, sink_output(&sink, 0)) == 0);
    CHECK(sink.flush_calls == 1);

    if (ivfc_parse(sink.bytes, sink.len, &f) != 0) {
        fprintf(stderr, "%s: file check: %s\n", metric_name, f.error);
        ++failures;
    } else {
        CHECK(f.dimension == D && f.nlist == NLIST && f.metric == metric && f.total == NADD);
        for (j = 0; j < f.nlist; ++j) {
            const IvfFlatCheckList *l = &f.lists[j];
            long last_input = -1;
            int64_t last_id = 0;
            for (r = 0; r < (size_t)l->count; ++r) {
                float row[D];
                long input = -1;
                double best = 1e300, mine;
                size_t c;
                for (k = 0; k < D; ++k) row[k] = ivfc_row_value(&f, l, r, k);
                /* The input row this stored row came from: same ID, same values. */
                for (i = 0; i < NADD && input < 0; ++i) {
                    int same = ids[i] == l->ids[r] && !matched[i];
                    for (k = 0; same && k < D; ++k) same = fabsf(row[k] - expected[i * D + k]) <= 1e-6f;
                    if (same) input = (long)i;
                }
                CHECK(input >= 0);
                if (input < 0) continue;
                matched[input] = 1;
                ++found;
                /* Equal IDs keep their insertion order. */
                if (r > 0 && l->ids[r] == last_id) CHECK(input > last_input);
                last_input = input;
                last_id = l->ids[r];
                /* The row sits in the list of (one of) its nearest centroids. */
                for (c = 0; c < f.nlist; ++c) {
                    double dc = sq_dist(row, &f, c);
                    if (dc < best) best = dc;
                }
                mine = sq_dist(row, &f, j);
                CHECK(mine <= best + 1e-4 * (1.0 + best));
            }
        }
        CHECK(found == NADD);
        ivfc_free(&f);
    }

    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
    tavren_dadiza_trainer_free(trainer);
    free(sink.bytes);
    free(train);
    free(data);
    free(expected);
    free(ids);
    free(matched);
}

/* ---- reproducibility ------------------------------------------------------------ */

/* Trains on `n` rows offered in calls of the sizes in `pattern` (repeated),
 * adds fixed rows and writes; returns the file. */
static Sink build_with_pattern(const float *train, size_t n, const size_t *pattern, size_t pattern_len,
                               int with_position, int64_t position_base) {
    enum { D = 4, NADD = 400 };
    Sink sink;
    size_t offered = 0, step = 0, i;
    float *data = make_rows(NADD, D, 33);
    int64_t ids[NADD];
    TavrenDadizaTrainerHandle *trainer = open_trainer("l2", "4", "16");
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    sink_init(&sink);
    sink.position_base = position_base;
    for (i = 0; i < NADD; ++i) ids[i] = (int64_t)(NADD - i);
    while (offered < n) {
        size_t take = pattern[step++ % pattern_len];
        if (take > n - offered) take = n - offered;
        CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, train + offered * D, take) == 0);
        offered += take;
    }
    training = tavren_dadiza_trainer_finish(trainer);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, data, NADD) == 0);
    CHECK(tavren_dadiza_writer_write_index(writer, sink_output(&sink, with_position)) == 0);
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
    tavren_dadiza_trainer_free(trainer);
    free(data);
    return sink;
}

static void test_reproducible_sampling_and_positions(void) {
    /* More rows than the sample keeps (65536 for nlist 16), so the reservoir
     * replaces rows and its draws decide the centroids. */
    enum { N = 70000 };
    const size_t whole[] = {N};
    const size_t pieces[] = {1, 49, 50};
    float *train = make_rows(N, 4, 44);
    Sink one = build_with_pattern(train, N, whole, 1, 0, 0);
    Sink split = build_with_pattern(train, N, pieces, 3, 0, 0);
    Sink at0 = build_with_pattern(train, N, whole, 1, 1, 0);
    Sink at1000 = build_with_pattern(train, N, whole, 1, 1, 1000);
    Sink first_only = build_with_pattern(train, 65536, whole, 1, 0, 0);
    IvfFlatCheckFile f;

    CHECK(one.len > 0);
    CHECK(same_bytes(&one, &split));
    CHECK(same_bytes(&one, &at0));
    CHECK(same_bytes(&one, &at1000));
    /* The rows past the capacity did change the sample. */
    CHECK(!same_bytes(&one, &first_only));
    if (ivfc_parse(at1000.bytes, at1000.len, &f) != 0) {
        fprintf(stderr, "position 1000: file check: %s\n", f.error);
        ++failures;
    } else {
        CHECK(f.lists[0].offset == (int64_t)(64 + 4 * 16 * 4 + 16 * 16));
        ivfc_free(&f);
    }
    free(one.bytes);
    free(split.bytes);
    free(at0.bytes);
    free(at1000.bytes);
    free(first_only.bytes);
    free(train);
}

/* ---- failure texts ---------------------------------------------------------------- */

static void test_option_failures(void) {
    const char *null_second[] = {"index.type", NULL};
    const char *two_values[] = {"ivf_flat", "8"};
    const char *keys3[] = {"index.type", "dimension", "metric"};
    const char *bad_value[] = {"ivf_flat", "8\xFF", "l2"};
    const char *bad_key[] = {"index.type", "dimen\xC0sion", "metric"};
    const char *dup_keys[] = {"index.type", "metric", "metric"};
    const char *dup_values[] = {"ivf_flat", "l2", "l2"};
    const char *unknown_keys[] = {"index.type", "dimension", "metric", "nlist", "bogus"};
    const char *unknown_values[] = {"ivf_flat", "8", "l2", "4", "1"};
    const char *ok_values[] = {"ivf_flat", "8", "l2"};

    const struct {
        const char *where;
        const char *const *keys;
        const char *const *values;
        size_t count;
        const char *want;
    } cases[] = {
        {"NULL keys", NULL, ok_values, 3, "option keys or values pointer is null"},
        {"NULL values", keys3, NULL, 3, "option keys or values pointer is null"},
        {"NULL key at 1", null_second, two_values, 2, "option key 1 is null"},
        {"NULL value at 1", keys3, null_second, 2, "option value 1 is null"},
        {"0xFF in a value", keys3, bad_value, 3, "option value 1 contains invalid UTF-8"},
        {"overlong form in a key", bad_key, ok_values, 3, "option key 1 contains invalid UTF-8"},
        {"duplicate key", dup_keys, dup_values, 3, "duplicate option key 'metric'"},
        {"unknown option", unknown_keys, unknown_values, 5,
         "invalid vector index options: unknown vector index option(s): bogus"},
        {"no options", NULL, NULL, 0, "invalid vector index options: missing required option 'index.type'"},
    };
    size_t i;

    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (tavren_dadiza_trainer_open(cases[i].keys, cases[i].values, cases[i].count) != NULL) {
            fprintf(stderr, "%s: trainer_open did not fail\n", cases[i].where);
            ++failures;
        }
        expect_error(cases[i].where, cases[i].want);
    }
}

static void test_handle_failures(void) {
    enum { D = 4 };
    float rows[4 * D];
    float nan_rows[2 * D];
    int64_t ids[4] = {1, 2, 3, 4};
    size_t dim = 0, i;
    Sink sink, good;
    FfiOutputCallbacks out;
    TavrenDadizaTrainerHandle *trainer = open_trainer("l2", "4", "2");
    TavrenDadizaTrainerHandle *empty_trainer = open_trainer("l2", "4", "2");
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;

    for (i = 0; i < 4 * D; ++i) rows[i] = (float)i;
    for (i = 0; i < 2 * D; ++i) nan_rows[i] = 1.0f;
    nan_rows[5] = NAN;

    CHECK(tavren_dadiza_trainer_add_training_vectors(NULL, rows, 1) == -1);
    expect_error("add training, NULL handle", "null trainer handle");
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, NULL, 2) == -1);
    expect_error("add training, NULL data", "data pointer is null");
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, SIZE_MAX / 2) == -1);
    expect_error("add training, overflow", "training data length overflow");
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, NULL, 0) == -1);
    expect_error("add training, no rows", "add training vectors: vector count must be greater than 0");
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, nan_rows, 2) == -1);
    expect_error("add training, NaN",
                 "add training vectors: training data contains non-finite value at offset 5: NaN");

    CHECK(tavren_dadiza_trainer_finish(NULL) == NULL);
    expect_error("finish NULL", "null trainer handle");
    CHECK(tavren_dadiza_trainer_finish(empty_trainer) == NULL);
    expect_error("finish without rows", "finish training: no training vectors added");
    CHECK(tavren_dadiza_trainer_finish(empty_trainer) == NULL);
    expect_error("finish after a failed finish", "trainer has already finished");

    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, 4) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    CHECK(tavren_dadiza_trainer_finish(trainer) == NULL);
    expect_error("finish twice", "trainer has already finished");
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, 1) == -1);
    expect_error("add after finish", "trainer has already finished");
    CHECK(tavren_dadiza_trainer_dimension(trainer, &dim) == -1);
    expect_error("dimension after finish", "trainer has already finished");

    CHECK(tavren_dadiza_writer_open(NULL) == NULL);
    expect_error("writer open NULL", "null training handle");
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    CHECK(tavren_dadiza_writer_open(training) == NULL);
    expect_error("writer open twice", "training has already been consumed");

    CHECK(tavren_dadiza_writer_add_vectors(NULL, ids, rows, 1) == -1);
    expect_error("add NULL writer", "null writer handle");
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, SIZE_MAX / 2) == -1);
    expect_error("add overflow", "vector data length overflow");
    CHECK(tavren_dadiza_writer_add_vectors(writer, NULL, NULL, 2) == -1);
    expect_error("add NULL ids", "ids pointer is null");
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, NULL, 2) == -1);
    expect_error("add NULL data", "data pointer is null");
    CHECK(tavren_dadiza_writer_add_vectors(writer, NULL, NULL, 0) == -1);
    expect_error("add no rows", "add_vectors: vector count must be greater than 0");
    nan_rows[5] = -INFINITY;
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, nan_rows, 2) == -1);
    expect_error("add -inf", "add_vectors: vector data contains non-finite value at offset 5: -inf");
    nan_rows[5] = NAN;
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, nan_rows, 2) == -1);
    expect_error("add NaN", "add_vectors: vector data contains non-finite value at offset 5: NaN");
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, 4) == 0);

    sink_init(&good);
    CHECK(tavren_dadiza_writer_write_index(writer, sink_output(&good, 0)) == 0);
    CHECK(good.flush_calls == 1);

    sink_init(&sink);
    CHECK(tavren_dadiza_writer_write_index(NULL, sink_output(&sink, 0)) == -1);
    expect_error("write NULL writer", "null writer handle");
    out = sink_output(&sink, 0);
    out.write_fn = NULL;
    CHECK(tavren_dadiza_writer_write_index(writer, out) == -1);
    expect_error("write without write_fn", "write index: write_fn is null");
    CHECK(sink.flush_calls == 0);

    sink_init(&sink);
    sink.fail_on_call = 3;
    CHECK(tavren_dadiza_writer_write_index(writer, sink_output(&sink, 0)) == -1);
    expect_error("failing write", "write index: write callback failed");
    CHECK(sink.flush_calls == 0);
    CHECK(sink.write_calls == 3 && sink.len == 12);
    free(sink.bytes);

    sink_init(&sink);
    sink.flush_result = 1;
    CHECK(tavren_dadiza_writer_write_index(writer, sink_output(&sink, 0)) == -1);
    expect_error("failing flush", "flush index: flush callback failed");
    CHECK(sink.flush_calls == 1);
    CHECK(same_bytes(&sink, &good));
    free(sink.bytes);

    /* Writing does not consume the writer. */
    sink_init(&sink);
    CHECK(tavren_dadiza_writer_write_index(writer, sink_output(&sink, 1)) == 0);
    CHECK(same_bytes(&sink, &good));
    free(sink.bytes);
    free(good.bytes);

    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
    tavren_dadiza_trainer_free(trainer);
    tavren_dadiza_trainer_free(empty_trainer);
}

/* ---- frame rules -------------------------------------------------------------------- */

static void *fresh_thread(void *arg) {
    int *ok = (int *)arg;
    size_t dim;
    /* Nothing failed on this thread yet, whatever the main thread did. */
    ok[0] = tavren_dadiza_last_error() == NULL;
    /* A failure, then a success: the failure's text stays. */
    ok[1] = tavren_dadiza_writer_dimension(NULL, &dim) == -1;
    ok[2] = tavren_dadiza_trainer_open(NULL, NULL, 0) == NULL;
    {
        TavrenDadizaTrainerHandle *t = open_trainer("l2", "3", "2");
        const char *text;
        ok[3] = t != NULL && tavren_dadiza_trainer_dimension(t, &dim) == 0 && dim == 3;
        text = tavren_dadiza_last_error();
        ok[4] = text != NULL &&
                strcmp(text, "invalid vector index options: missing required option 'index.type'") == 0;
        tavren_dadiza_trainer_free(t);
    }
    return NULL;
}

static void test_frame(void) {
    TavrenDadizaTrainerHandle *trainer = open_trainer("l2", "4", "2");
    size_t dim = 0;
    int ok[5] = {0, 0, 0, 0, 0};
    pthread_t thread;
    const char *before;

    CHECK(tavren_dadiza_trainer_dimension(NULL, NULL) == -1);
    expect_error("trainer dimension, both NULL", "out pointer is null");
    CHECK(tavren_dadiza_trainer_dimension(trainer, NULL) == -1);
    expect_error("trainer dimension, NULL out", "out pointer is null");
    CHECK(tavren_dadiza_trainer_dimension(NULL, &dim) == -1);
    expect_error("trainer dimension, NULL handle", "null trainer handle");
    CHECK(tavren_dadiza_writer_dimension(NULL, NULL) == -1);
    expect_error("writer dimension, both NULL", "out pointer is null");
    CHECK(tavren_dadiza_writer_dimension(NULL, &dim) == -1);
    expect_error("writer dimension, NULL handle", "null writer handle");

    /* The free functions ignore NULL and leave the last error alone. */
    before = tavren_dadiza_last_error();
    tavren_dadiza_trainer_free(NULL);
    tavren_dadiza_training_free(NULL);
    tavren_dadiza_writer_free(NULL);
    tavren_dadiza_reader_free(NULL);
    CHECK(tavren_dadiza_last_error() == before);
    expect_error("after NULL frees", "null writer handle");

    /* Successes leave the last error in place. */
    CHECK(tavren_dadiza_trainer_dimension(trainer, &dim) == 0 && dim == 4);
    expect_error("after a success", "null writer handle");

    CHECK(pthread_create(&thread, NULL, fresh_thread, ok) == 0);
    CHECK(pthread_join(thread, NULL) == 0);
    CHECK(ok[0]);
    CHECK(ok[1]);
    CHECK(ok[2]);
    CHECK(ok[3]);
    CHECK(ok[4]);
    /* The other thread's failures did not reach this thread. */
    expect_error("after the other thread", "null writer handle");
    tavren_dadiza_trainer_free(trainer);
}

int main(void) {
    test_frame();
    test_option_failures();
    test_handle_failures();
    test_end_to_end("l2", 0);
    test_end_to_end("inner_product", 1);
    test_end_to_end("cosine", 2);
    test_reproducible_sampling_and_positions();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("build road: all checks passed\n");
    return 0;
}
