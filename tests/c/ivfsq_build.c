/* A C99 host builds IVF-SQ indexes through the shared library (trainer_open
 * with index.type=ivf_sq, training vectors, finish, writer_open, vectors with
 * row IDs, write_index into memory) and an independent parser checks the
 * bytes: header fields, metadata sizes, offsets as positions in the host's
 * output, 32-row blocked codes, delta-varint row IDs, and the code values of
 * known bounds. It also checks that a failing host write is returned and that
 * the reader opens an empty IVF-SQ file. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_sink.h"
#include "ivfsq_file_check.h"
#include "tavren_dadiza.h"

/* Serves reads from a Sink's bytes. */
static int sink_read(void *user_data, const FfiReadRange *ranges, size_t count) {
    const Sink *o = (const Sink *)user_data;
    size_t i;
    for (i = 0; i < count; ++i) {
        if (ranges[i].offset > o->len || ranges[i].len > o->len - ranges[i].offset) return -1;
        memcpy(ranges[i].buf, o->bytes + ranges[i].offset, (size_t)ranges[i].len);
    }
    return 0;
}

/* ---- one build through the exports ------------------------------------------------ */

/* Trains on ntrain rows, adds nadd rows with their IDs and writes into `out`
 * (with its position callback when with_position is set); 0 on success. */
static int build(const char *dimension, const char *nlist, const float *train, size_t ntrain, const float *rows,
                 const int64_t *ids, size_t nadd, Sink *out, int with_position) {
    const char *keys[] = {"index.type", "dimension", "metric", "nlist", "ivf.coarse-assignment"};
    const char *values[5];
    TavrenDadizaTrainerHandle *trainer;
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    int rc = -1;
    values[0] = "ivf_sq";
    values[1] = dimension;
    values[2] = "l2";
    values[3] = nlist;
    values[4] = "exact";
    trainer = tavren_dadiza_trainer_open(keys, values, 5);
    if (trainer == NULL) {
        fprintf(stderr, "trainer_open: %s\n", tavren_dadiza_last_error());
        return -1;
    }
    if (tavren_dadiza_trainer_add_training_vectors(trainer, train, ntrain) == 0) {
        training = tavren_dadiza_trainer_finish(trainer);
        writer = training ? tavren_dadiza_writer_open(training) : NULL;
        if (writer != NULL && (nadd == 0 || tavren_dadiza_writer_add_vectors(writer, ids, rows, nadd) == 0)) {
            rc = tavren_dadiza_writer_write_index(writer, sink_output(out, with_position));
        }
        tavren_dadiza_writer_free(writer);
        tavren_dadiza_training_free(training);
    }
    tavren_dadiza_trainer_free(trainer);
    if (rc != 0) fprintf(stderr, "build: %s\n", tavren_dadiza_last_error());
    return rc;
}

static int64_t le_i64(const uint8_t *p) {
    int64_t v;
    memcpy(&v, p, 8);
    return v;
}
static uint32_t le_u32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

/* ---- d = 4, nlist = 2: header and metadata sizes, offsets -------------------------- */

static void test_header_and_offsets(void) {
    enum { D = 4, N = 64 };
    float rows[N * D];
    int64_t ids[N];
    size_t i, k;
    int64_t base;
    for (i = 0; i < N; ++i) {
        for (k = 0; k < D; ++k) rows[i * D + k] = (i % 2 == 0 ? -10.0f : 10.0f) + (float)((i * 7 + k * 3) % 11) * 0.1f;
        ids[i] = (int64_t)(N - i) * 1000;
    }
    /* Without a position callback offsets count from the writer's first byte,
     * with one they are the host's positions. */
    for (base = -1; base <= 5000; base += 5001) {
        Sink out;
        IvfSqCheckFile f;
        float lo = INFINITY, hi = -INFINITY;
        sink_init(&out);
        out.position_base = base < 0 ? 0 : base;
        CHECK(build("4", "2", rows, N, rows, ids, N, &out, base >= 0) == 0);
        CHECK(out.flush_calls == 1);
        if (ivsc_parse_at(out.bytes, out.len, base < 0 ? 0 : (uint64_t)base, &f) != 0) {
            fprintf(stderr, "parse: %s\n", f.error);
            ++failures;
            free(out.bytes);
            continue;
        }
        CHECK(f.dimension == D && f.nlist == 2 && f.metric == 0);
        CHECK(le_i64(out.bytes + 20) == N); /* the i64 at offset 20 */
        CHECK(le_u32(out.bytes + 28) == 8);
        CHECK(le_u32(out.bytes + 32) == 3);
        for (k = 44; k < 64; ++k) CHECK(out.bytes[k] == 0);
        for (k = 0; k < D; ++k) {
            if (ivsc_global_min(&f, k) < lo) lo = ivsc_global_min(&f, k);
            if (ivsc_global_max(&f, k) > hi) hi = ivsc_global_max(&f, k);
            CHECK(ivsc_list_min(&f, 0, k) == ivsc_global_min(&f, k));
            CHECK(ivsc_list_max(&f, 1, k) == ivsc_global_max(&f, k));
        }
        CHECK(f.summary_min == lo && f.summary_max == hi);
        /* 96 bytes of bounds, 32 of centroids, 32 of table. */
        CHECK(f.table_at == 192);
        CHECK(f.data_start == 224);
        CHECK(f.lists[0].offset == (base < 0 ? 0 : base) + 224);
        CHECK(f.lists[0].count + f.lists[1].count == N);
        CHECK(f.lists[0].count == N / 2); /* the two clusters */
        /* Every decoded value lies within half a step of the added value
         * (the rows were also the training rows, so none is clamped). */
        {
            uint32_t l;
            int32_t r;
            for (l = 0; l < 2; ++l) {
                for (r = 0; r < f.lists[l].count; ++r) {
                    const size_t row = (size_t)(N - f.lists[l].ids[r] / 1000);
                    CHECK(row < N);
                    if (row >= N) continue;
                    for (k = 0; k < D; ++k) {
                        const float step = (ivsc_list_max(&f, l, k) - ivsc_list_min(&f, l, k)) / 255.0f;
                        const float err = fabsf(ivsc_decode(&f, l, (size_t)r, k) - rows[row * D + k]);
                        CHECK(err <= step * 0.5f * 1.001f + 1e-5f);
                    }
                }
            }
        }
        ivsc_free(&f);
        free(out.bytes);
    }
}

/* ---- nlist = 1 builds with chosen bounds ---------------------------------------------- */

/* Training rows (lo, ..., lo) and (hi, ..., hi): one list whose centroid is
 * their mean and whose bounds are [lo - mean, hi - mean] in every dimension. */
static int build_one_list(size_t d, float lo, float hi, const float *rows, const int64_t *ids, size_t n, Sink *out) {
    float train[2 * 16];
    char dim[8];
    size_t k;
    for (k = 0; k < d; ++k) {
        train[k] = lo;
        train[d + k] = hi;
    }
    snprintf(dim, sizeof dim, "%u", (unsigned)d);
    sink_init(out);
    return build(dim, "1", train, 2, rows, ids, n, out, 0);
}

static void test_code_values(void) {
    enum { D = 9 }; /* eight dimensions on the vector path where there is one, one on the scalar path */
    static const float values[] = {-1.0f, 0.0f, 1.0f, 5.0f, -5.0f, 0.5f, -0.5f};
    static const uint8_t codes[] = {0, 128, 255, 255, 0, 191, 64};
    enum { N = sizeof values / sizeof values[0] };
    float rows[N * D];
    int64_t ids[N];
    size_t i, k;
    Sink out;
    IvfSqCheckFile f;
    for (i = 0; i < N; ++i) {
        for (k = 0; k < D; ++k) rows[i * D + k] = values[i];
        ids[i] = (int64_t)i;
    }
    CHECK(build_one_list(D, -1.0f, 1.0f, rows, ids, N, &out) == 0);
    if (ivsc_parse(out.bytes, out.len, &f) != 0) {
        fprintf(stderr, "parse: %s\n", f.error);
        ++failures;
    } else {
        for (k = 0; k < D; ++k) {
            CHECK(ivsc_global_min(&f, k) == -1.0f && ivsc_global_max(&f, k) == 1.0f);
            CHECK(ivsc_centroid_value(&f, 0, k) == 0.0f);
        }
        CHECK(f.summary_min == -1.0f && f.summary_max == 1.0f);
        for (i = 0; i < N; ++i) {
            for (k = 0; k < D; ++k) CHECK(f.lists[0].codes[i * D + k] == codes[i]);
        }
        ivsc_free(&f);
    }
    free(out.bytes);
}

/* Bounds [-127.5, 127.5] around the centroid 127.5: the code of an integer
 * value x in [0, 255] is x, so each stored byte names its row and dimension. */
static void test_blocked_positions(void) {
    enum { D = 3, N = 40 };
    float rows[N * D];
    int64_t ids[N];
    size_t i, j;
    Sink out;
    IvfSqCheckFile f;
    for (i = 0; i < N; ++i) {
        for (j = 0; j < D; ++j) rows[i * D + j] = (float)(i + 100 * j);
        ids[i] = (int64_t)i;
    }
    CHECK(build_one_list(D, 0.0f, 255.0f, rows, ids, N, &out) == 0);
    if (ivsc_parse(out.bytes, out.len, &f) != 0) {
        fprintf(stderr, "parse: %s\n", f.error);
        ++failures;
    } else {
        const uint8_t *c = out.bytes + f.data_start;
        CHECK(f.lists[0].count == N);
        for (i = 0; i < 32; ++i) {
            for (j = 0; j < D; ++j) CHECK(c[j * 32 + i] == i + 100 * j); /* bytes 0..95 */
        }
        for (i = 0; i < 8; ++i) {
            for (j = 0; j < D; ++j) CHECK(c[96 + j * 8 + i] == 32 + i + 100 * j); /* bytes 96..119 */
        }
        CHECK(out.len == f.data_start + N * D + 12 + N);
        ivsc_free(&f);
    }
    free(out.bytes);
}

/* Row IDs: the ID section, base and order of one list. */
static void test_ids(void) {
    static const struct {
        size_t n;
        int64_t ids[5];
        int64_t base;
        size_t id_len;
        uint8_t id_bytes[5];
        uint8_t order[5]; /* insertion position of each stored row */
    } cases[] = {
        {3, {5, 3, 300}, 3, 4, {0x00, 0x02, 0xA7, 0x02}, {1, 0, 2}},
        {2, {-5, 3}, -5, 2, {0x00, 0x08}, {0, 1}},
        {2, {3, -5}, -5, 2, {0x00, 0x08}, {1, 0}},
        {4, {7, 7, 2, 7}, 2, 4, {0x00, 0x05, 0x00, 0x00}, {2, 0, 1, 3}},
    };
    size_t c, i;
    for (c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
        enum { D = 2 };
        float rows[5 * D];
        Sink out;
        IvfSqCheckFile f;
        const uint8_t *p;
        for (i = 0; i < cases[c].n; ++i) {
            rows[i * D] = (float)(10 * i); /* code 10 * i names the insertion position */
            rows[i * D + 1] = 255.0f;
        }
        CHECK(build_one_list(D, 0.0f, 255.0f, rows, cases[c].ids, cases[c].n, &out) == 0);
        if (ivsc_parse(out.bytes, out.len, &f) != 0) {
            fprintf(stderr, "case %u: parse: %s\n", (unsigned)c, f.error);
            ++failures;
            free(out.bytes);
            continue;
        }
        p = out.bytes + f.data_start + cases[c].n * D;
        CHECK(le_i64(p) == cases[c].base);
        CHECK(le_u32(p + 8) == cases[c].id_len);
        CHECK(memcmp(p + 12, cases[c].id_bytes, cases[c].id_len) == 0);
        CHECK(out.len == f.data_start + cases[c].n * D + 12 + cases[c].id_len);
        for (i = 0; i < cases[c].n; ++i) CHECK(f.lists[0].codes[i * D] == 10 * cases[c].order[i]);
        ivsc_free(&f);
        free(out.bytes);
    }
}

static void test_empty_index_and_failures(void) {
    enum { D = 3 };
    Sink out, failing;
    IvfSqCheckFile f;
    FfiInputFile input;
    float row[D] = {1.0f, 2.0f, 3.0f};
    int64_t id = 1;
    /* No rows added: the file ends with its table. */
    CHECK(build_one_list(D, 0.0f, 2.0f, NULL, NULL, 0, &out) == 0);
    /* The reader is chosen by the magic and opens the empty index. */
    memset(&input, 0, sizeof input);
    input.user_data = &out;
    input.read_ranges_fn = sink_read;
    {
        TavrenDadizaReaderHandle *reader = tavren_dadiza_reader_open(input);
        FfiIndexMetadata m;
        CHECK(reader != NULL);
        if (reader != NULL) {
            CHECK(tavren_dadiza_reader_metadata(reader, &m) == 0);
            CHECK(m.index_type == 6 && m.vector_count == 0 && m.code_bits == 8);
            tavren_dadiza_reader_free(reader);
        }
    }
    CHECK(out.len == 64 + 8 * D * 2 + 4 * D + 16);
    if (ivsc_parse(out.bytes, out.len, &f) == 0) {
        CHECK(f.total == 0 && f.lists[0].count == 0 && f.lists[0].offset == (int64_t)out.len);
        ivsc_free(&f);
    } else {
        fprintf(stderr, "parse: %s\n", f.error);
        ++failures;
    }
    free(out.bytes);

    /* A failing host write is returned; nothing is flushed. */
    sink_init(&failing);
    failing.fail_on_call = 12;
    {
        const char *keys[] = {"index.type", "dimension", "metric", "nlist"};
        const char *values[] = {"ivf_sq", "3", "l2", "1"};
        TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, 4);
        TavrenDadizaTrainingHandle *training;
        TavrenDadizaWriterHandle *writer;
        CHECK(trainer != NULL);
        CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, row, 1) == 0);
        training = tavren_dadiza_trainer_finish(trainer);
        writer = tavren_dadiza_writer_open(training);
        CHECK(writer != NULL);
        CHECK(tavren_dadiza_writer_add_vectors(writer, &id, row, 1) == 0);
        CHECK(tavren_dadiza_writer_write_index(writer, sink_output(&failing, 0)) == -1);
        expect_error("failing write", "write index: write callback failed");
        CHECK(failing.write_calls == 12 && failing.len == 64 + 4 * D);
        CHECK(failing.flush_calls == 0);
        tavren_dadiza_writer_free(writer);
        tavren_dadiza_training_free(training);
        tavren_dadiza_trainer_free(trainer);
    }
    free(failing.bytes);
}

int main(void) {
    test_header_and_offsets();
    test_code_values();
    test_blocked_positions();
    test_ids();
    test_empty_index_and_failures();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("ivfsq build: all checks passed\n");
    return 0;
}
