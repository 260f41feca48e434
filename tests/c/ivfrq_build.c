/* A C99 host builds IVF-RQ indexes through the shared library: option
 * strings (explicit and automatic rq.bits), training, adding with row IDs and
 * writing into memory through its callbacks; a small parser then walks the
 * file's header, offset table and payload heads. The reader does not open
 * IVF-RQ files yet and must refuse them. */
/* The shared host helpers; this host uses only their sink and source. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "search_host.h"
#pragma GCC diagnostic pop

static int flush_calls = 0;
static int count_flush(void *user_data) {
    (void)user_data;
    ++flush_calls;
    return 0;
}

static uint32_t u32_at(const ByteBuf *s, size_t at) {
    uint32_t v;
    memcpy(&v, s->bytes + at, 4);
    return v;
}
static int64_t i64_at(const ByteBuf *s, size_t at) {
    int64_t v;
    memcpy(&v, s->bytes + at, 8);
    return v;
}

enum { D = 40, NLIST = 4, NTRAIN = 600, NADD = 1600 };

/* Builds one index with the given options into `sink`; 0 on success. */
static int build(const char *const *keys, const char *const *values, size_t count, ByteBuf *sink) {
    TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, count);
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    FfiOutputCallbacks out;
    float *rows = (float *)host_alloc(sizeof(float) * NADD * D);
    int64_t *ids = (int64_t *)host_alloc(sizeof(int64_t) * NADD);
    size_t i;
    int rc = -1;
    host_fill(rows, (size_t)NADD * D, 12345);
    for (i = 0; i < (size_t)NADD * D; ++i) rows[i] += (float)((i / D) % 5);
    for (i = 0; i < NADD; ++i) ids[i] = (int64_t)((i * 7919) % NADD) + 1000;
    if (trainer == NULL) goto done;
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, NTRAIN) == 0, "%s", host_last_error());
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL, "%s", host_last_error());
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL, "%s", host_last_error());
    /* 500 rows on the caller's thread, then 1100 more on the pool. */
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, 500) == 0, "%s", host_last_error());
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids + 500, rows + 500 * D, NADD - 500) == 0, "%s",
          host_last_error());
    out.user_data = sink;
    out.write_fn = sink_write;
    out.flush_fn = count_flush;
    out.position_fn = NULL;
    rc = tavren_dadiza_writer_write_index(writer, out);
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
done:
    tavren_dadiza_trainer_free(trainer);
    free(rows);
    free(ids);
    return rc;
}

/* Walks one file: header fields, table entries back to back, payload heads. */
static void check_file(const ByteBuf *s, uint32_t metric, uint32_t bits) {
    const size_t data_start = 64 + 4 * NLIST * D + 16 * NLIST;
    int64_t next = (int64_t)data_start, total = 0;
    size_t j;
    CHECK(s->len > data_start, "file layout");
    if (s->len <= data_start) return;
    CHECK(u32_at(s, 0) == 0x49565251u, "file layout");
    CHECK(u32_at(s, 4) == 1, "file layout");
    CHECK(u32_at(s, 8) == D, "file layout");
    CHECK(u32_at(s, 12) == 64, "file layout");
    CHECK(u32_at(s, 16) == NLIST, "file layout");
    CHECK(u32_at(s, 20) == metric, "file layout");
    CHECK(u32_at(s, 24) == 7, "file layout");
    CHECK(u32_at(s, 28) == bits, "file layout");
    CHECK(i64_at(s, 32) == NADD, "file layout");
    CHECK((uint64_t)i64_at(s, 40) == 0x9E3779B97F4A7C15ull, "file layout");
    CHECK(u32_at(s, 48) == 4, "file layout");
    CHECK(u32_at(s, 52) == 8, "file layout");
    CHECK(u32_at(s, 56) == 2, "file layout");
    CHECK(u32_at(s, 60) == 3, "file layout");
    for (j = 0; j < NLIST; ++j) {
        const size_t entry = 64 + 4 * NLIST * D + 16 * j;
        const int64_t offset = i64_at(s, entry);
        const int32_t n = (int32_t)u32_at(s, entry + 8);
        const int32_t id_len = (int32_t)u32_at(s, entry + 12);
        const int64_t factors = bits == 1 ? 2 : 5;
        CHECK(offset == next, "file layout");
        total += n;
        if (n == 0) continue;
        CHECK((int32_t)u32_at(s, (size_t)offset + 8) == id_len, "file layout");
        CHECK((int64_t)u32_at(s, (size_t)offset + 12) == (int64_t)n * bits * 8, "file layout");
        next = offset + 16 + id_len + (int64_t)n * bits * 8 + 4 * factors * n;
    }
    CHECK(total == NADD, "file layout");
    CHECK((int64_t)s->len == next, "file layout");
}

int main(void) {
    const char *keys[] = {"index.type", "dimension", "metric", "nlist", "rq.bits"};
    const char *explicit_bits[] = {"ivf_rq", "40", "cosine", "4", "3"};
    const char *one_bit[] = {"ivf_rq", "40", "l2", "4", "1"};
    const char *automatic[] = {"ivf_rq", "40", "inner_product", "4"};
    const char *too_many[] = {"ivf_rq", "40", "l2", "4", "9"};
    ByteBuf a, b, c;
    MemSource source;
    const char *error;

    memset(&a, 0, sizeof a);
    CHECK(build(keys, explicit_bits, 5, &a) == 0, "%s", host_last_error());
    CHECK(flush_calls == 1, "flushed %d times", flush_calls);
    check_file(&a, 2, 3);

    memset(&b, 0, sizeof b);
    CHECK(build(keys, one_bit, 5, &b) == 0, "%s", host_last_error());
    check_file(&b, 0, 1);

    memset(&c, 0, sizeof c);
    CHECK(build(keys, automatic, 4, &c) == 0, "%s", host_last_error());  /* without rq.bits: 4 bits */
    check_file(&c, 1, 4);

    CHECK(tavren_dadiza_trainer_open(keys, too_many, 5) == NULL, "%s", host_last_error());
    error = tavren_dadiza_last_error();
    CHECK(error != NULL && strstr(error, "rq.bits must be in 1..=8, got 9") != NULL, "%s", host_last_error());

    /* Reading IVF-RQ files is not part of this build: the reader refuses. */
    memset(&source, 0, sizeof source);
    source.bytes = a.bytes;
    source.len = a.len;
    CHECK(tavren_dadiza_reader_open(source_input(&source)) == NULL, "reader opened an IVF-RQ file");
    CHECK(tavren_dadiza_last_error() != NULL, "no error text");

    free(a.bytes);
    free(b.bytes);
    free(c.bytes);
    if (host_failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", host_failures);
        return 1;
    }
    return 0;
}
