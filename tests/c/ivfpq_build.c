/* A C99 host builds IVF-PQ indexes through the shared library, with and
 * without a rotation and with the automatic sub-quantizer count, writes them
 * into memory through its callbacks, opens them with the reader, checks the
 * metadata it reports against the file's header, and searches them: single,
 * batch in every table-reuse mode, filtered, with every list read once per
 * batch. */
#include "host_sink.h"

/* Offsets the host was asked for since the last reset, to count list reads. */
enum { MAX_SEEN = 4096 };
static uint64_t seen_offsets[MAX_SEEN];
static size_t seen_count = 0;

static int sink_read(void *user_data, const FfiReadRange *ranges, size_t count) {
    const Sink *s = (const Sink *)user_data;
    size_t i;
    for (i = 0; i < count; ++i) {
        if (seen_count < MAX_SEEN) seen_offsets[seen_count++] = ranges[i].offset;
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

enum { D = 16, NLIST = 4, NTRAIN = 500, NADD = 1200, NQ = 8, K = 5 };

/* The rows of the last build, used as queries. */
static float built_rows[NADD * D];

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
    memcpy(built_rows, rows, sizeof(float) * NADD * D);
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

static int ascending(const float *d, size_t n) {
    size_t i;
    for (i = 1; i < n; ++i) {
        if (d[i - 1] > d[i]) return 0;
    }
    return 1;
}

static void search_checks(TavrenDadizaReaderHandle *reader) {
    static const uint32_t modes[3] = {TAVREN_DADIZA_TABLE_REUSE_OFF, TAVREN_DADIZA_TABLE_REUSE_ON,
                                      TAVREN_DADIZA_TABLE_REUSE_AUTO};
    /* An empty 64-bit bitmap: no 32-bit bitmaps. */
    static const uint8_t empty_filter[8] = {0};
    static const uint8_t bad_filter[3] = {1, 2, 3};
    int64_t single_ids[NQ * K], batch_ids[NQ * K];
    float single_d[NQ * K], batch_d[NQ * K];
    FfiSearchParams params;
    FfiSearchParamsV2 v2;
    size_t q, j, m, a, b;
    params.top_k = K;
    params.width_type = TAVREN_DADIZA_WIDTH_NPROBE;
    params.width = NLIST;
    for (q = 0; q < NQ; ++q) {
        const float *query = built_rows + (q * 131) % NADD * D;
        CHECK(tavren_dadiza_reader_search(reader, query, params, single_ids + q * K, single_d + q * K, K) == 0);
        CHECK(ascending(single_d + q * K, K));
        for (j = 0; j < K; ++j) CHECK(single_ids[q * K + j] >= 0 && single_ids[q * K + j] < NADD);
    }
    /* The batch's queries, contiguous. */
    {
        float queries[NQ * D];
        for (q = 0; q < NQ; ++q) memcpy(queries + q * D, built_rows + (q * 131) % NADD * D, sizeof(float) * D);
        for (m = 0; m < 3; ++m) {
            v2.top_k = K;
            v2.width_type = TAVREN_DADIZA_WIDTH_NPROBE;
            v2.width = NLIST;
            v2.ivfpq_table_reuse_mode = modes[m];
            v2.ivfpq_table_reuse_max_bytes = 536870912u;
            seen_count = 0;
            CHECK(tavren_dadiza_reader_search_batch_v2(reader, queries, NQ, v2, batch_ids, batch_d, NQ * K) == 0);
            /* Every list read once for the whole batch. */
            CHECK(seen_count <= NLIST);
            for (a = 0; a < seen_count; ++a) {
                for (b = a + 1; b < seen_count; ++b) CHECK(seen_offsets[a] != seen_offsets[b]);
            }
            for (j = 0; j < NQ * K; ++j) {
                float diff = batch_d[j] - single_d[j];
                float scale = single_d[j] < 0 ? -single_d[j] : single_d[j];
                if (diff < 0) diff = -diff;
                CHECK(diff <= 1e-3f * (scale > 1.0f ? scale : 1.0f));
            }
        }
    }
    /* An empty filter: padding only. */
    CHECK(tavren_dadiza_reader_search_with_roaring_filter(reader, built_rows, params, empty_filter, 8, single_ids,
                                                           single_d, K) == 0);
    for (j = 0; j < K; ++j) CHECK(single_ids[j] == -1 && single_d[j] > 3.4e38f);
    /* Malformed filter bytes: the filter's message. */
    CHECK(tavren_dadiza_reader_search_with_roaring_filter(reader, built_rows, params, bad_filter, 3, single_ids,
                                                           single_d, K) != 0);
    CHECK(tavren_dadiza_last_error() != NULL &&
          strstr(tavren_dadiza_last_error(), "invalid RoaringTreemap filter") != NULL);
    /* A capacity below top_k. */
    CHECK(tavren_dadiza_reader_search(reader, built_rows, params, single_ids, single_d, K - 1) != 0);
    CHECK(tavren_dadiza_last_error() != NULL &&
          strstr(tavren_dadiza_last_error(), "result buffers length 4 is smaller than required 5") != NULL);
}

/* Opens the file and checks the reported metadata against its header. */
static void check_open(Sink *s, uint32_t metric, uint32_t flags) {
    FfiInputFile input;
    FfiIndexMetadata meta;
    TavrenDadizaReaderHandle *reader;
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
    search_checks(reader);
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
