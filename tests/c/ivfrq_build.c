/* A C99 host builds IVF-RQ indexes through the shared library: option
 * strings (explicit and automatic rq.bits), training, adding with row IDs and
 * writing into memory through its callbacks; a small parser then walks the
 * file's header, offset table and payload heads, and the reader opens the
 * written file (searching is ivf_search_exports.c's). */
#include "host_sink.h"

static int sink_read(void *user_data, const FfiReadRange *ranges, size_t count) {
    const Sink *s = (const Sink *)user_data;
    size_t i;
    for (i = 0; i < count; ++i) {
        if (ranges[i].offset > s->len || ranges[i].len > s->len - ranges[i].offset) return -1;
        memcpy(ranges[i].buf, s->bytes + ranges[i].offset, (size_t)ranges[i].len);
    }
    return 0;
}

static uint32_t u32_at(const Sink *s, size_t at) {
    uint32_t v;
    memcpy(&v, s->bytes + at, 4);
    return v;
}
static int64_t i64_at(const Sink *s, size_t at) {
    int64_t v;
    memcpy(&v, s->bytes + at, 8);
    return v;
}

static uint64_t rng_state = 12345;
static float next_float(void) {
    rng_state = rng_state * 6364136223846793005ull + 1442695040888963407ull;
    return (float)((rng_state >> 40) % 20001) / 10000.0f - 1.0f;
}

enum { D = 40, NLIST = 4, NTRAIN = 600, NADD = 1600 };

/* Builds one index with the given options into `sink`; 0 on success. */
static int build(const char *const *keys, const char *const *values, size_t count, Sink *sink) {
    TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, count);
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    float *rows = (float *)malloc(sizeof(float) * NADD * D);
    int64_t *ids = (int64_t *)malloc(sizeof(int64_t) * NADD);
    size_t i;
    int rc = -1;
    for (i = 0; i < (size_t)NADD * D; ++i) rows[i] = next_float() + (float)((i / D) % 5);
    for (i = 0; i < NADD; ++i) ids[i] = (int64_t)((i * 7919) % NADD) + 1000;
    if (trainer == NULL) goto done;
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, NTRAIN) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    /* 500 rows on the caller's thread, then 1100 more on the pool. */
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, 500) == 0);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids + 500, rows + 500 * D, NADD - 500) == 0);
    rc = tavren_dadiza_writer_write_index(writer, sink_output(sink, 0));
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
done:
    tavren_dadiza_trainer_free(trainer);
    free(rows);
    free(ids);
    return rc;
}

/* Walks one file: header fields, table entries back to back, payload heads. */
static void check_file(const Sink *s, uint32_t metric, uint32_t bits) {
    const size_t data_start = 64 + 4 * NLIST * D + 16 * NLIST;
    int64_t next = (int64_t)data_start, total = 0;
    size_t j;
    CHECK(s->len > data_start);
    if (s->len <= data_start) return;
    CHECK(u32_at(s, 0) == 0x49565251u);
    CHECK(u32_at(s, 4) == 1);
    CHECK(u32_at(s, 8) == D);
    CHECK(u32_at(s, 12) == 64);
    CHECK(u32_at(s, 16) == NLIST);
    CHECK(u32_at(s, 20) == metric);
    CHECK(u32_at(s, 24) == 7);
    CHECK(u32_at(s, 28) == bits);
    CHECK(i64_at(s, 32) == NADD);
    CHECK((uint64_t)i64_at(s, 40) == 0x9E3779B97F4A7C15ull);
    CHECK(u32_at(s, 48) == 4);
    CHECK(u32_at(s, 52) == 8);
    CHECK(u32_at(s, 56) == 2);
    CHECK(u32_at(s, 60) == 3);
    for (j = 0; j < NLIST; ++j) {
        const size_t entry = 64 + 4 * NLIST * D + 16 * j;
        const int64_t offset = i64_at(s, entry);
        const int32_t n = (int32_t)u32_at(s, entry + 8);
        const int32_t id_len = (int32_t)u32_at(s, entry + 12);
        const int64_t factors = bits == 1 ? 2 : 5;
        CHECK(offset == next);
        total += n;
        if (n == 0) continue;
        CHECK((int32_t)u32_at(s, (size_t)offset + 8) == id_len);
        CHECK((int64_t)u32_at(s, (size_t)offset + 12) == (int64_t)n * bits * 8);
        next = offset + 16 + id_len + (int64_t)n * bits * 8 + 4 * factors * n;
    }
    CHECK(total == NADD);
    CHECK((int64_t)s->len == next);
}

int main(void) {
    const char *keys[] = {"index.type", "dimension", "metric", "nlist", "rq.bits"};
    const char *explicit_bits[] = {"ivf_rq", "40", "cosine", "4", "3"};
    const char *one_bit[] = {"ivf_rq", "40", "l2", "4", "1"};
    const char *automatic[] = {"ivf_rq", "40", "inner_product", "4"};
    const char *too_many[] = {"ivf_rq", "40", "l2", "4", "9"};
    Sink a, b, c;
    FfiInputFile input;
    const char *error;

    sink_init(&a);
    CHECK(build(keys, explicit_bits, 5, &a) == 0);
    CHECK(a.flush_calls == 1);
    check_file(&a, 2, 3);

    sink_init(&b);
    CHECK(build(keys, one_bit, 5, &b) == 0);
    check_file(&b, 0, 1);

    sink_init(&c);
    CHECK(build(keys, automatic, 4, &c) == 0);  /* without rq.bits: 4 bits */
    check_file(&c, 1, 4);

    CHECK(tavren_dadiza_trainer_open(keys, too_many, 5) == NULL);
    error = tavren_dadiza_last_error();
    CHECK(error != NULL && strstr(error, "rq.bits must be in 1..=8, got 9") != NULL);

    /* The file opens and reports its shape; searching is ivf_search_exports.c's. */
    input.user_data = &a;
    input.read_ranges_fn = sink_read;
    input.read_latency_ns = 0;
    input.io_block_size = 0;
    input.max_ranges_per_call = 0;
    {
        TavrenDadizaReaderHandle *reader = tavren_dadiza_reader_open(input);
        CHECK(reader != NULL);
        if (reader != NULL) tavren_dadiza_reader_free(reader);
    }

    free(a.bytes);
    free(b.bytes);
    free(c.bytes);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
