/* A C99 host builds a DiskANN index through the shared library: option
 * strings, training, adding with row IDs and writing into memory through its
 * callbacks; a small parser then checks the header's length, entry and
 * section table against the bytes it received, and a host position that does
 * not start at zero is refused before anything is written. */
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
                             "diskann.build-search-list-size", "diskann.build-distance", "diskann.storage-layout"};
static const char *values[] = {"diskann", "16", "l2", "4", "8", "16", "32", "full_precision", "compact"};

/* Builds one index into `sink` (position callback as given); 0 on success. */
static int build(Sink *sink, int with_position) {
    TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, 9);
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    float *rows = (float *)malloc(sizeof(float) * NADD * D);
    int64_t *ids = (int64_t *)malloc(sizeof(int64_t) * NADD);
    size_t i;
    int rc = -1;
    rng_state = 987;
    for (i = 0; i < (size_t)NADD * D; ++i) rows[i] = next_float() + (float)((i / D) % 3);
    for (i = 0; i < NADD; ++i) ids[i] = (int64_t)((i * 7919) % NADD) - 50;
    CHECK(trainer != NULL);
    if (trainer == NULL) goto done;
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, NTRAIN) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, 300) == 0);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids + 300, rows + 300 * D, NADD - 300) == 0);
    rc = tavren_dadiza_writer_write_index(writer, sink_output(sink, with_position));
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
done:
    tavren_dadiza_trainer_free(trainer);
    free(rows);
    free(ids);
    return rc;
}

int main(void) {
    Sink a, b;
    size_t k;
    sink_init(&a);
    sink_init(&b);

    CHECK(build(&a, 1) == 0);
    CHECK(a.len > 4096);
    if (a.len > 4096) {
        CHECK(u64_at(&a, 24) == NADD);
        CHECK(u32_at(&a, 32) == 0);
        CHECK(u64_at(&a, 88) == a.len);
        /* Sections lie back to back from 4096, section 5 on a page boundary. */
        CHECK(u64_at(&a, 96) == 4096);
        for (k = 0; k < 7; ++k) CHECK(u64_at(&a, 96 + 16 * k) + u64_at(&a, 104 + 16 * k) <= a.len);
        CHECK(u64_at(&a, 96 + 16 * 5) % 4096 == 0);
    }

    /* A host whose position does not start at zero: refused, nothing written. */
    b.position_base = 100;
    CHECK(build(&b, 1) != 0);
    expect_error("misplaced output", "write index: DiskANN output must start at offset zero");
    CHECK(b.write_calls == 0);

    free(a.bytes);
    free(b.bytes);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
