/* A C99 host builds IVF-PQ indexes through the shared library, with and
 * without a rotation and with the automatic sub-quantizer count, writes them
 * into memory through its callbacks, opens them with the reader and checks
 * the metadata it reports against the file's header. */
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

static uint64_t rng_state = 777;
static float next_float(void) {
    rng_state = rng_state * 6364136223846793005ull + 1442695040888963407ull;
    return (float)((rng_state >> 40) % 20001) / 10000.0f - 1.0f;
}

enum { D = 16, NLIST = 4, NTRAIN = 500, NADD = 1200 };

static int build(const char *const *keys, const char *const *values, size_t count, Sink *sink) {
    TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, count);
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    float *rows = (float *)malloc(sizeof(float) * NADD * D);
    int64_t *ids = (int64_t *)malloc(sizeof(int64_t) * NADD);
    size_t i;
    int rc = -1;
    for (i = 0; i < (size_t)NADD * D; ++i) rows[i] = next_float() + (float)((i / D) % 3);
    for (i = 0; i < NADD; ++i) ids[i] = (int64_t)((i * 7919) % NADD);
    if (trainer == NULL) goto done;
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, NTRAIN) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, NADD) == 0);
    rc = tavren_dadiza_writer_write_index(writer, sink_output(sink, 0));
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
done:
    tavren_dadiza_trainer_free(trainer);
    free(rows);
    free(ids);
    return rc;
}

/* Opens the file and checks the reported metadata against its header. */
static void check_open(Sink *s, uint32_t metric, uint32_t flags) {
    FfiInputFile input;
    FfiIndexMetadata meta;
    TavrenDadizaReaderHandle *reader;
    float query[D] = {0};
    int64_t out_ids[1];
    float out_distances[1];
    FfiSearchParams params;
    CHECK(s->len > 64);
    if (s->len <= 64) return;
    CHECK(u32_at(s, 0) == 0x49565051u);
    CHECK(u32_at(s, 40) == flags);
    input.user_data = s;
    input.read_ranges_fn = sink_read;
    input.read_latency_ns = 0;
    input.io_block_size = 0;
    input.max_ranges_per_call = 0;
    reader = tavren_dadiza_reader_open(input);
    CHECK(reader != NULL);
    if (reader == NULL) return;
    CHECK(tavren_dadiza_reader_metadata(reader, &meta) == 0);
    CHECK(meta.index_type == 1);
    CHECK(meta.dimension == D);
    CHECK(meta.nlist == NLIST);
    CHECK(meta.metric == metric);
    CHECK(meta.vector_count == NADD);
    CHECK(meta.pq_m == u32_at(s, 16));
    CHECK(meta.pq_m > 0 && D % meta.pq_m == 0);
    CHECK(meta.code_bits == 8);
    CHECK(tavren_dadiza_reader_optimize_for_search(reader) == 0);
    /* Searching IVF-PQ files is not part of this build: a clear refusal. */
    params.top_k = 1;
    params.width_type = 0;
    params.width = 0; /* automatic */
    CHECK(tavren_dadiza_reader_search(reader, query, params, out_ids, out_distances, 1) != 0);
    CHECK(tavren_dadiza_last_error() != NULL &&
          strstr(tavren_dadiza_last_error(), "IVF-PQ search is not available in this build") != NULL);
    tavren_dadiza_reader_free(reader);
}

int main(void) {
    const char *keys[] = {"index.type", "dimension", "metric", "nlist", "use-opq"};
    const char *plain[] = {"ivf_pq", "16", "l2", "4", "false"};
    const char *rotated[] = {"ivf_pq", "16", "l2", "4", "true"};
    const char *rotated_ip[] = {"ivf_pq", "16", "inner_product", "4", "true"};
    const char *automatic[] = {"ivf_pq", "16", "cosine", "4"};
    Sink a, b, c, d;

    sink_init(&a);
    CHECK(build(keys, plain, 5, &a) == 0);
    CHECK(a.flush_calls == 1);
    check_open(&a, 0, 0xE);

    sink_init(&b);
    CHECK(build(keys, rotated, 5, &b) == 0);
    check_open(&b, 0, 0xF);

    sink_init(&c);
    CHECK(build(keys, rotated_ip, 5, &c) == 0);
    check_open(&c, 1, 0xD);

    sink_init(&d);
    CHECK(build(keys, automatic, 4, &d) == 0);
    check_open(&d, 2, 0xC);

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
