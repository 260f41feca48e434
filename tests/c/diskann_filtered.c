/* A C99 host searches a DiskANN file it built through the library with
 * row-ID filters, through every filtered export: results only from the
 * filter, padding when it admits fewer rows than top_k, the batch forms equal
 * to the single one, an empty filter that reads nothing, and malformed filter
 * bytes that fail with the operation's prefix and leave the reader usable. */
#include "host_sink.h"

enum { D = 16, N = 2000, NQ = 6, K = 8 };

static uint64_t rng_state = 77;
static float next_float(void) {
    rng_state = rng_state * 6364136223846793005ull + 1442695040888963407ull;
    return (float)((rng_state >> 40) % 20001) / 10000.0f - 1.0f;
}

static const char *keys[] = {"index.type", "dimension", "metric", "pq.m", "pq.bits", "diskann.max-degree"};
static const char *values[] = {"diskann", "16", "l2", "4", "8", "16"};

typedef struct {
    const uint8_t *bytes;
    size_t len;
    uint64_t calls;
} Source;

static int source_read(void *user_data, const FfiReadRange *ranges, size_t count) {
    Source *s = (Source *)user_data;
    size_t i;
    ++s->calls;
    for (i = 0; i < count; ++i) {
        if (ranges[i].offset > s->len || ranges[i].len > s->len - ranges[i].offset) return -1;
        if (ranges[i].len != 0) memcpy(ranges[i].buf, s->bytes + ranges[i].offset, (size_t)ranges[i].len);
    }
    return 0;
}

static float rows[N * D];

static int64_t row_id(size_t i) { return (int64_t)(i * 3) + 10; }

static int build(Sink *sink) {
    TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, 6);
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    int64_t ids[N];
    size_t i;
    int rc = -1;
    for (i = 0; i < (size_t)N * D; ++i) rows[i] = next_float() + (float)((i / D) % 7);
    for (i = 0; i < N; ++i) ids[i] = row_id(i);
    if (trainer == NULL) return -1;
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, N) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, N) == 0);
    rc = tavren_dadiza_writer_write_index(writer, sink_output(sink, 1));
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
    tavren_dadiza_trainer_free(trainer);
    return rc;
}

static void put_u32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
static void put_u16(uint8_t *p, uint16_t v) { memcpy(p, &v, 2); }

/* The portable serialisation of a 64-bit Roaring bitmap holding `count`
 * ascending values below 65536 (one bitmap, one array container; count <=
 * 4096, at least 1). Returns the length. */
static size_t filter_bytes(const uint16_t *v, size_t count, uint8_t *out) {
    size_t i, at = 0;
    uint64_t one = 1;
    memcpy(out, &one, 8);
    put_u32(out + 8, 0);        /* high key */
    put_u32(out + 12, 12346);   /* cookie without run containers */
    put_u32(out + 16, 1);       /* one container */
    put_u16(out + 20, 0);       /* its key */
    put_u16(out + 22, (uint16_t)(count - 1));
    put_u32(out + 24, 16);      /* its offset from the bitmap's start */
    at = 28;
    for (i = 0; i < count; ++i, at += 2) put_u16(out + at, v[i]);
    return at;
}

static int in_filter(int64_t id, const uint16_t *v, size_t count) {
    size_t i;
    for (i = 0; i < count; ++i)
        if ((int64_t)v[i] == id) return 1;
    return 0;
}

int main(void) {
    Sink sink;
    Source src;
    FfiInputFile input;
    TavrenDadizaReaderHandle *r;
    static uint16_t admitted[N];
    static uint8_t fbytes[28 + 2 * N];
    float queries[NQ * D];
    int64_t ids[NQ * K], ids2[NQ * K];
    float dist[NQ * K], dist2[NQ * K];
    size_t nadmit = 0, flen, i, j;
    FfiSearchParams p;
    FfiSearchParamsEx px;
    FfiSearchParamsV2 p2;
    uint64_t calls;

    sink_init(&sink);
    if (build(&sink) != 0) {
        fprintf(stderr, "build failed: %s\n", tavren_dadiza_last_error());
        return 1;
    }
    src.bytes = sink.bytes;
    src.len = sink.len;
    src.calls = 0;
    memset(&input, 0, sizeof input);
    input.user_data = &src;
    input.read_ranges_fn = source_read;
    r = tavren_dadiza_reader_open(input);
    CHECK(r != NULL);
    if (r == NULL) return 1;

    /* Every third row is admitted. */
    for (i = 0; i < N; i += 3) admitted[nadmit++] = (uint16_t)row_id(i);
    flen = filter_bytes(admitted, nadmit, fbytes);
    for (i = 0; i < NQ; ++i) memcpy(queries + i * D, rows + (i * 300) * D, sizeof(float) * D);

    p.top_k = K;
    p.width_type = TAVREN_DADIZA_WIDTH_AUTO;
    p.width = 0;
    /* Single: each query is an admitted row (i * 300 is a multiple of 3) and finds itself. */
    for (i = 0; i < NQ; ++i) {
        CHECK(tavren_dadiza_reader_search_with_roaring_filter(r, queries + i * D, p, fbytes, flen, ids + i * K,
                                                              dist + i * K, K) == 0);
        CHECK(ids[i * K] == row_id(i * 300));
        for (j = 0; j < K; ++j) {
            CHECK(in_filter(ids[i * K + j], admitted, nadmit));
            if (j > 0) CHECK(dist[i * K + j - 1] <= dist[i * K + j]);
        }
    }
    memset(&px, 0, sizeof px);
    px.struct_size = sizeof px;
    px.top_k = K;
    px.width_type = TAVREN_DADIZA_WIDTH_AUTO;
    px.ivfpq_table_reuse_mode = 2;
    px.ivfpq_table_reuse_max_bytes = 536870912;
    CHECK(tavren_dadiza_reader_search_with_roaring_filter_ex(r, queries, &px, fbytes, flen, ids2, dist2, K) == 0);
    CHECK(memcmp(ids2, ids, sizeof(int64_t) * K) == 0);
    CHECK(memcmp(dist2, dist, sizeof(float) * K) == 0);

    /* The three batch exports answer each query as the single one. */
    memset(ids2, 0, sizeof ids2);
    CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter(r, queries, NQ, p, fbytes, flen, ids2, dist2,
                                                                NQ * K) == 0);
    CHECK(memcmp(ids2, ids, sizeof ids) == 0);
    CHECK(memcmp(dist2, dist, sizeof dist) == 0);
    memset(ids2, 0, sizeof ids2);
    CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter_ex(r, queries, NQ, &px, fbytes, flen, ids2, dist2,
                                                                   NQ * K) == 0);
    CHECK(memcmp(ids2, ids, sizeof ids) == 0);
    p2.top_k = K;
    p2.width_type = TAVREN_DADIZA_WIDTH_AUTO;
    p2.width = 0;
    p2.ivfpq_table_reuse_mode = 2;
    p2.ivfpq_table_reuse_max_bytes = 536870912;
    memset(ids2, 0, sizeof ids2);
    CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter_v2(r, queries, NQ, p2, fbytes, flen, ids2, dist2,
                                                                   NQ * K) == 0);
    CHECK(memcmp(ids2, ids, sizeof ids) == 0);

    /* Three admitted rows and top_k 8: three hits, then five pads. */
    {
        const uint16_t three[3] = {10, 13, 910};
        flen = filter_bytes(three, 3, fbytes);
        CHECK(tavren_dadiza_reader_search_with_roaring_filter(r, queries, p, fbytes, flen, ids, dist, K) == 0);
        CHECK(ids[0] == 10);
        for (j = 0; j < 3; ++j) CHECK(in_filter(ids[j], three, 3));
        for (j = 3; j < K; ++j) CHECK(ids[j] == -1 && dist[j] == 3.4028235e38f);
    }

    /* An empty filter (a count of 0) reads nothing and pads every place. */
    {
        uint8_t empty[8];
        memset(empty, 0, sizeof empty);
        calls = src.calls;
        CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter(r, queries, NQ, p, empty, 8, ids, dist,
                                                                    NQ * K) == 0);
        for (j = 0; j < NQ * K; ++j) CHECK(ids[j] == -1 && dist[j] == 3.4028235e38f);
        CHECK(src.calls == calls);
    }

    /* Malformed bytes: the automatic width counts the filter first; an
     * explicit width hands it to the DiskANN reader. */
    {
        const uint8_t bad[3] = {1, 2, 3};
        const char *e;
        CHECK(tavren_dadiza_reader_search_with_roaring_filter(r, queries, p, bad, 3, ids, dist, K) == -1);
        e = tavren_dadiza_last_error();
        CHECK(e != NULL && strncmp(e, "search_with_roaring_filter: invalid serialized RoaringTreemap filter: ",
                                   strlen("search_with_roaring_filter: invalid serialized RoaringTreemap filter: ")) == 0);
        p.width_type = TAVREN_DADIZA_WIDTH_L_SEARCH;
        p.width = 50;
        CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter(r, queries, NQ, p, bad, 3, ids, dist, NQ * K) ==
              -1);
        e = tavren_dadiza_last_error();
        CHECK(e != NULL && strncmp(e, "search_batch_with_roaring_filter: invalid RoaringTreemap filter: ",
                                   strlen("search_batch_with_roaring_filter: invalid RoaringTreemap filter: ")) == 0);
        /* Still usable. */
        flen = filter_bytes(admitted, nadmit, fbytes);
        CHECK(tavren_dadiza_reader_search_with_roaring_filter(r, queries, p, fbytes, flen, ids, dist, K) == 0);
        CHECK(ids[0] == row_id(0));
    }

    tavren_dadiza_reader_free(r);
    free(sink.bytes);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("diskann_filtered: ok\n");
    return 0;
}
