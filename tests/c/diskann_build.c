/* A C99 host builds a DiskANN index through the shared library: option
 * strings, training, adding with row IDs and writing into memory through its
 * callbacks; a small parser then checks the header's length, entry and
 * section table against the bytes it received, and a host position that does
 * not start at zero is refused before anything is written. Under a tight
 * memory budget the graph is built in overlapping shards; three rows under a
 * budget below their one-piece estimate cannot be built at all. */
#define _POSIX_C_SOURCE 200112L
#include "host_sink.h"

static uint64_t u64_at(const Sink *s, size_t at) {
    uint64_t v;
    memcpy(&v, s->bytes + at, 8);
    return v;
}
static uint32_t u32_at(const Sink *s, size_t at) {
    uint32_t v;
    memcpy(&v, s->bytes + at, 4);
    return v;
}

static uint64_t rng_state = 987;
static float next_float(void) {
    rng_state = rng_state * 6364136223846793005ull + 1442695040888963407ull;
    return (float)((rng_state >> 40) % 20001) / 10000.0f - 1.0f;
}

enum { D = 16, NTRAIN = 400, NADD = 700 };

static const char *keys[] = {"index.type", "dimension", "metric", "pq.m", "pq.bits", "diskann.max-degree",
                             "diskann.build-search-list-size", "diskann.build-distance", "diskann.storage-layout",
                             "diskann.memory-budget-bytes"};
static const char *values[] = {"diskann", "16", "l2", "4", "8", "16", "32", "full_precision", "compact", "1073741824"};

/* Builds one index of `rows` rows into `sink` (position callback as given)
 * with `bits`-bit PQ under `budget` bytes; 0 on success. */
static int build_with(Sink *sink, int with_position, size_t rows_to_add, const char *bits, const char *budget) {
    TavrenDadizaTrainerHandle *trainer;
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    float *rows = (float *)malloc(sizeof(float) * NADD * D);
    int64_t *ids = (int64_t *)malloc(sizeof(int64_t) * NADD);
    size_t i, first = rows_to_add < 300 ? rows_to_add : 300;
    int rc = -1;
    values[4] = bits;
    values[9] = budget;
    trainer = tavren_dadiza_trainer_open(keys, values, 10);
    rng_state = 987;
    for (i = 0; i < (size_t)NADD * D; ++i) rows[i] = next_float() + (float)((i / D) % 3);
    for (i = 0; i < NADD; ++i) ids[i] = (int64_t)((i * 7919) % NADD) - 50;
    CHECK(trainer != NULL);
    if (trainer == NULL) goto done;
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, rows_to_add < NTRAIN ? rows_to_add : NTRAIN) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, first) == 0);
    if (rows_to_add > first) {
        CHECK(tavren_dadiza_writer_add_vectors(writer, ids + first, rows + first * D, rows_to_add - first) == 0);
    }
    rc = tavren_dadiza_writer_write_index(writer, sink_output(sink, with_position));
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
done:
    tavren_dadiza_trainer_free(trainer);
    free(rows);
    free(ids);
    return rc;
}

static int build(Sink *sink, int with_position) { return build_with(sink, with_position, NADD, "8", "1073741824"); }

/* The header's length, row count, entry and section table against the bytes. */
static void check_header(const Sink *a, uint64_t rows) {
    size_t k;
    CHECK(a->len > 4096);
    if (a->len <= 4096) return;
    CHECK(u64_at(a, 24) == rows);
    CHECK(u32_at(a, 32) == 0);
    CHECK(u64_at(a, 88) == a->len);
    /* Sections lie back to back from 4096, section 5 on a page boundary. */
    CHECK(u64_at(a, 96) == 4096);
    for (k = 0; k < 7; ++k) CHECK(u64_at(a, 96 + 16 * k) + u64_at(a, 104 + 16 * k) <= a->len);
    CHECK(u64_at(a, 96 + 16 * 5) % 4096 == 0);
}

int main(void) {
    Sink a, b, c, d;
    /* A wide pool: the one-piece build's per-worker scratch is what makes
     * the overlapping sharded build the cheaper one on 700 rows. The pool is
     * sized from the environment on first use. */
    setenv("RAYON_NUM_THREADS", "64", 1);
    sink_init(&a);
    sink_init(&b);
    sink_init(&c);
    sink_init(&d);

    CHECK(build(&a, 1) == 0);
    check_header(&a, NADD);

    /* 247,216 bytes fit the cheapest sharded build of these 700 rows (4-bit
     * PQ, degree 16, list size 32), far below the one-piece estimate of
     * 419,520 bytes with 64 workers. */
    CHECK(build_with(&c, 1, NADD, "4", "247216") == 0);
    check_header(&c, NADD);

    /* Three rows cannot be sharded: below the one-piece estimate nothing fits. */
    CHECK(build_with(&d, 1, 3, "4", "20000") != 0);
    expect_error("three rows over budget",
                 "write index: DiskANN estimated build memory 129540 exceeds memory budget 20000; overlapping "
                 "sharded build also cannot fit");
    CHECK(d.write_calls == 0);

    /* A host whose position does not start at zero: refused, nothing written. */
    b.position_base = 100;
    CHECK(build(&b, 1) != 0);
    expect_error("misplaced output", "write index: DiskANN output must start at offset zero");
    CHECK(b.write_calls == 0);

    free(a.bytes);
    free(b.bytes);
    free(c.bytes);
    free(d.bytes);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
