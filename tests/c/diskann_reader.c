/* A C99 host opens a DiskANN file it built through the library and reads it
 * back through its in-memory read callback: metadata, the read plan for each
 * latency hint, the budgets and cache capacities before and after
 * optimize_for_search, the host calls of the resident read under a range
 * limit, a file one byte short, and a corrupt adjacency page whose error is
 * replayed without being checked again; single queries, batches, warm-up and
 * calibration through the facade. */
#include <math.h>

#include "host_sink.h"

enum { D = 32, NTRAIN = 1000, N = 8000, DEGREE = 32 };

static uint64_t rng_state = 4242;
static float next_float(void) {
    rng_state = rng_state * 6364136223846793005ull + 1442695040888963407ull;
    return (float)((rng_state >> 40) % 20001) / 10000.0f - 1.0f;
}

static const char *keys[] = {"index.type", "dimension", "metric", "pq.m", "pq.bits", "diskann.max-degree",
                             "diskann.build-search-list-size", "diskann.storage-layout", "diskann.build-distance"};
static const char *values[] = {"diskann", "32", "l2", "8", "4", "32", "48", "compact", "full_precision"};

typedef struct {
    const uint8_t *bytes;
    size_t len;
    uint64_t calls;
    /* While fail_to > fail_from, a call with a range touching [fail_from,
     * fail_to) fails. */
    uint64_t fail_from, fail_to;
} Source;

static int source_read(void *user_data, const FfiReadRange *ranges, size_t count) {
    Source *s = (Source *)user_data;
    size_t i;
    __atomic_fetch_add(&s->calls, 1, __ATOMIC_RELAXED);
    for (i = 0; i < count; ++i) {
        if (ranges[i].offset < s->fail_to && ranges[i].offset + ranges[i].len > s->fail_from) return -1;
    }
    for (i = 0; i < count; ++i) {
        if (ranges[i].offset > s->len || ranges[i].len > s->len - ranges[i].offset) return -1;
        if (ranges[i].len != 0) memcpy(ranges[i].buf, s->bytes + ranges[i].offset, (size_t)ranges[i].len);
    }
    return 0;
}

static FfiInputFile input_of(Source *s, uint64_t latency_ns, uint64_t max_ranges) {
    FfiInputFile input;
    memset(&input, 0, sizeof input);
    input.user_data = s;
    input.read_ranges_fn = source_read;
    input.read_latency_ns = latency_ns;
    input.max_ranges_per_call = max_ranges;
    return input;
}

static uint64_t u64_at(const uint8_t *b, size_t at) {
    uint64_t v;
    memcpy(&v, b + at, 8);
    return v;
}
static uint32_t u32_at(const uint8_t *b, size_t at) {
    uint32_t v;
    memcpy(&v, b + at, 4);
    return v;
}
static uint64_t section_offset(const uint8_t *b, int s) { return u64_at(b, 96 + 16 * (size_t)s); }
static uint64_t section_length(const uint8_t *b, int s) { return u64_at(b, 104 + 16 * (size_t)s); }

/* The bytes the resident sections hold once loaded, from the header alone:
   with four-dimensional PQ chunks (d = 4 m) a second, dimension-major copy of
   the codebook for the distance tables. */
static uint64_t steady_bytes(const uint8_t *b) {
    const uint64_t d = u32_at(b, 16), m = u32_at(b, 56), bits = u32_at(b, 60);
    const uint64_t ksub = bits == 4 ? 16 : 256;
    const uint64_t p = 4 * d * ksub + 8 * (m + 1);
    const uint64_t transposed = d == 4 * m ? 4 * d * ksub : 0;
    return (section_length(b, 1) - 32) + p + section_length(b, 2) + section_length(b, 4) + section_length(b, 5) / 4096 +
           4 * m * ksub + transposed;
}

static int build(Sink *sink) {
    TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, 9);
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    float *rows = (float *)malloc(sizeof(float) * N * D);
    int64_t *ids = (int64_t *)malloc(sizeof(int64_t) * N);
    size_t i;
    int rc = -1;
    for (i = 0; i < (size_t)N * D; ++i) rows[i] = next_float() + (float)((i / D) % 5);
    for (i = 0; i < N; ++i) ids[i] = (int64_t)(i * 3) + 10;
    CHECK(trainer != NULL);
    if (trainer == NULL) goto done;
    CHECK(tavren_dadiza_trainer_add_training_vectors(trainer, rows, NTRAIN) == 0);
    training = tavren_dadiza_trainer_finish(trainer);
    CHECK(training != NULL);
    writer = tavren_dadiza_writer_open(training);
    CHECK(writer != NULL);
    CHECK(tavren_dadiza_writer_add_vectors(writer, ids, rows, N) == 0);
    rc = tavren_dadiza_writer_write_index(writer, sink_output(sink, 1));
    tavren_dadiza_writer_free(writer);
    tavren_dadiza_training_free(training);
done:
    tavren_dadiza_trainer_free(trainer);
    free(rows);
    free(ids);
    return rc;
}

static void check_profiles(Source *src) {
    static const uint64_t hints[4] = {49999, 50000, 750000, 3000000};
    static const uint64_t windows[4] = {4096, 16384, 32768, 65536};
    static const uint64_t beams[4] = {1, 4, 16, 16};
    int k;
    for (k = 0; k < 4; ++k) {
        FfiReadPlan plan;
        TavrenDadizaReaderHandle *r = tavren_dadiza_reader_open(input_of(src, hints[k], 0));
        CHECK(r != NULL);
        if (r == NULL) continue;
        memset(&plan, 0xAB, sizeof plan);
        CHECK(tavren_dadiza_reader_read_plan(r, &plan) == 0);
        CHECK(plan.latency_ns == hints[k]);
        CHECK(plan.window_bytes == windows[k]);
        CHECK(plan.beam_width == beams[k]);
        CHECK(plan.ranges_per_read == 4);
        CHECK(plan.max_ranges_per_call == 0);
        CHECK(plan.memory_budget_bytes == 4294967296ull);
        CHECK(plan.preloaded_adjacency_bytes == 0);
        CHECK(plan.adjacency_cache_bytes == 0);
        CHECK(plan.vector_cache_bytes == 0);
        tavren_dadiza_reader_free(r);
    }
}

/* Opens with a memory budget of steady + `extra`, optimizes and checks the
 * preload and the two cache capacities. */
static void check_budget(Source *src, uint64_t extra, uint64_t preload, uint64_t adjacency, uint64_t raw) {
    FfiReadPlan plan;
    TavrenDadizaReaderHandle *r =
        tavren_dadiza_reader_open_with_options(input_of(src, 1000, 0), steady_bytes(src->bytes) + extra);
    CHECK(r != NULL);
    if (r == NULL) return;
    CHECK(tavren_dadiza_reader_optimize_for_search(r) == 0);
    CHECK(tavren_dadiza_reader_read_plan(r, &plan) == 0);
    if (plan.preloaded_adjacency_bytes != preload || plan.adjacency_cache_bytes != adjacency ||
        plan.vector_cache_bytes != raw) {
        fprintf(stderr, "budget +%llu: preload %llu adjacency %llu raw %llu, want %llu %llu %llu\n",
                (unsigned long long)extra, (unsigned long long)plan.preloaded_adjacency_bytes,
                (unsigned long long)plan.adjacency_cache_bytes, (unsigned long long)plan.vector_cache_bytes,
                (unsigned long long)preload, (unsigned long long)adjacency, (unsigned long long)raw);
        ++failures;
    }
    tavren_dadiza_reader_free(r);
}

/* Batches through the exports: batches of 1, 8, 33 and 40 queries equal the
 * loop of single searches bit for bit (whichever way the pool size makes them
 * run); a host failure in the raw-vector section fails a cold reader's batch
 * with the callback's message and its next batch answers as before;
 * calibration picks one of 100, 200, 400 and the automatic width then uses
 * it; warm-up of no queries works after optimize, a NaN is refused. */
static void check_batches(Source *src) {
    enum { NQ = 40, K = 10 };
    static float q[NQ * D];
    static int64_t single_ids[NQ * K], batch_ids[NQ * K];
    static float single_d[NQ * K], batch_d[NQ * K];
    static const size_t counts[4] = {1, 8, 33, 40};
    FfiSearchParams p;
    uint64_t l = 0;
    size_t i;
    /* A latency hint fixes the read profile (and with it the beam width) for
     * both readers; a measured header read could choose another. */
    TavrenDadizaReaderHandle *r = tavren_dadiza_reader_open(input_of(src, 1000, 0));
    TavrenDadizaReaderHandle *cold;
    p.top_k = K;
    p.width_type = TAVREN_DADIZA_WIDTH_AUTO;
    p.width = 0;
    rng_state = 777;
    for (i = 0; i < (size_t)NQ * D; ++i) q[i] = next_float() + (float)((i / D) % 5);
    CHECK(r != NULL);
    if (r == NULL) return;
    CHECK(tavren_dadiza_reader_optimize_for_search(r) == 0);
    CHECK(tavren_dadiza_reader_warmup_queries(r, q, 0, 0) == 0);
    for (i = 0; i < NQ; ++i) CHECK(tavren_dadiza_reader_search(r, q + i * D, p, single_ids + i * K, single_d + i * K, K) == 0);
    for (i = 0; i < 4; ++i) {
        CHECK(tavren_dadiza_reader_search_batch(r, q, counts[i], p, batch_ids, batch_d, NQ * K) == 0);
        CHECK(memcmp(batch_ids, single_ids, counts[i] * K * sizeof(int64_t)) == 0);
        CHECK(memcmp(batch_d, single_d, counts[i] * K * sizeof(float)) == 0);
    }

    cold = tavren_dadiza_reader_open_with_options(input_of(src, 1000, 0), steady_bytes(src->bytes) + 60000);
    CHECK(cold != NULL);
    if (cold != NULL) {
        src->fail_from = section_offset(src->bytes, 6);
        src->fail_to = src->fail_from + section_length(src->bytes, 6);
        CHECK(tavren_dadiza_reader_search_batch(cold, q, NQ, p, batch_ids, batch_d, NQ * K) == -1);
        expect_error("failing batch", "search_batch: read_ranges callback failed");
        src->fail_from = src->fail_to = 0;
        memset(batch_ids, 0, sizeof batch_ids);
        CHECK(tavren_dadiza_reader_search_batch(cold, q, NQ, p, batch_ids, batch_d, NQ * K) == 0);
        CHECK(memcmp(batch_ids, single_ids, sizeof batch_ids) == 0);
        CHECK(memcmp(batch_d, single_d, sizeof batch_d) == 0);
        tavren_dadiza_reader_free(cold);
    }

    CHECK(tavren_dadiza_reader_calibrate_search_width(r, q, NQ, K, &l) == 0);
    CHECK(l == 100 || l == 200 || l == 400);
    {
        FfiSearchParams e = p;
        int64_t auto_ids[K], explicit_ids[K];
        float auto_d[K], explicit_d[K];
        e.width_type = TAVREN_DADIZA_WIDTH_L_SEARCH;
        e.width = l;
        CHECK(tavren_dadiza_reader_search(r, q, p, auto_ids, auto_d, K) == 0);
        CHECK(tavren_dadiza_reader_search(r, q, e, explicit_ids, explicit_d, K) == 0);
        CHECK(memcmp(auto_ids, explicit_ids, sizeof auto_ids) == 0);
        CHECK(memcmp(auto_d, explicit_d, sizeof auto_d) == 0);
    }
    CHECK(tavren_dadiza_reader_calibrate_search_width(r, q, NQ, 0, &l) == -1);
    expect_error("calibrate k 0", "calibrate_search_width: top_k must be greater than 0");
    q[5] = NAN;
    CHECK(tavren_dadiza_reader_warmup_queries(r, q, 1, 0) == -1);
    expect_error("warmup nan", "warmup_queries: warmup queries contains non-finite value at offset 5: NaN");
    tavren_dadiza_reader_free(r);
}

int main(void) {
    Sink sink;
    Source src;
    FfiIndexMetadata meta;
    FfiReadPlan plan;
    TavrenDadizaReaderHandle *r;
    uint64_t a, v, calls;
    int k;
    sink_init(&sink);
    if (build(&sink) != 0) {
        fprintf(stderr, "build failed: %s\n", tavren_dadiza_last_error());
        return 1;
    }
    memset(&src, 0, sizeof src);
    src.bytes = sink.bytes;
    src.len = sink.len;
    a = section_length(sink.bytes, 5);
    v = section_length(sink.bytes, 6);
    CHECK(a >= 196608);
    CHECK(v == (uint64_t)N * D * 2); /* f16 raw vectors by default */

    /* Open: the facade's 64-byte probe and the reader's 256-byte header. */
    r = tavren_dadiza_reader_open(input_of(&src, 0, 0));
    CHECK(r != NULL);
    CHECK(src.calls == 2);
    CHECK(tavren_dadiza_reader_metadata(r, &meta) == 0);
    CHECK(meta.index_type == 5);
    CHECK(meta.nlist == 1);
    CHECK(meta.dimension == D);
    CHECK(meta.metric == 0);
    CHECK(meta.vector_count == N);
    CHECK(meta.pq_m == 8);
    CHECK(meta.code_bits == 4);
    CHECK(meta.rq_bits == 0);
    CHECK(meta.diskann_max_degree == DEGREE);
    CHECK(meta.diskann_build_list_size == 48);
    CHECK(meta.diskann_alpha > 1.0f && meta.diskann_alpha < 2.0f);
    /* Default budget: the whole section is preloaded, the raw-vector cache
     * gets the raw vectors, nothing is left for an adjacency cache. */
    CHECK(tavren_dadiza_reader_optimize_for_search(r) == 0);
    CHECK(tavren_dadiza_reader_read_plan(r, &plan) == 0);
    CHECK(plan.preloaded_adjacency_bytes == a);
    CHECK(plan.adjacency_cache_bytes == 0);
    CHECK(plan.vector_cache_bytes == v);
    calls = src.calls;
    CHECK(tavren_dadiza_reader_optimize_for_search(r) == 0); /* again: nothing is read */
    CHECK(src.calls == calls);
    /* One query: row 0 regenerated from the seed finds itself first (f16
     * records: a tiny distance), ten ascending hits of the file's row IDs; a
     * NaN query fails and the next query works; warm-up searches; filter
     * bytes that do not decode fail the filtered batch (tests/c/diskann_filtered.c
     * runs the filtered forms). */
    {
        float q[D];
        int64_t ids[10];
        float dist[10];
        FfiSearchParams p;
        int j;
        rng_state = 4242;
        for (j = 0; j < D; ++j) q[j] = next_float();
        p.top_k = 10;
        p.width_type = TAVREN_DADIZA_WIDTH_AUTO;
        p.width = 0;
        CHECK(tavren_dadiza_reader_search(r, q, p, ids, dist, 10) == 0);
        CHECK(ids[0] == 10);
        CHECK(dist[0] >= 0.0f && dist[0] < 1e-3f);
        for (j = 0; j < 10; ++j) {
            CHECK(ids[j] >= 10 && (ids[j] - 10) % 3 == 0 && (ids[j] - 10) / 3 < N);
            if (j > 0) CHECK(dist[j - 1] <= dist[j]);
        }
        q[3] = NAN;
        CHECK(tavren_dadiza_reader_search(r, q, p, ids, dist, 10) == -1);
        expect_error("nan query", "search: query contains non-finite value at offset 3: NaN");
        q[3] = 0.5f;
        p.width_type = TAVREN_DADIZA_WIDTH_L_SEARCH;
        p.width = 40;
        CHECK(tavren_dadiza_reader_search(r, q, p, ids, dist, 10) == 0);
        CHECK(ids[0] >= 10 && dist[0] <= dist[9]);
        CHECK(tavren_dadiza_reader_warmup_queries(r, q, 1, 0) == 0);
        CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter(r, q, 1, p, NULL, 0, ids, dist, 10) == -1);
        expect_error("filtered batch",
                     "search_batch_with_roaring_filter: invalid RoaringTreemap filter: failed to fill whole buffer");
    }
    tavren_dadiza_reader_free(r);

    check_batches(&src);

    /* Small lists with a wide beam (the remote-storage profile, beam width
     * 16): l_search 10 still
     * searches until no retained node is left unexpanded, so stored rows
     * from every cluster (the entry lies in one of five) find themselves
     * first. A search that stopped after 10 expansions went one round past
     * the entry's neighbours and missed most of them. */
    {
        enum { STEP = 97 };
        float *q = (float *)malloc(sizeof(float) * D);
        size_t i, found = 0, asked = 0;
        int64_t ids[10];
        float dist[10];
        FfiSearchParams p;
        int j;
        r = tavren_dadiza_reader_open(input_of(&src, 750000, 0));
        CHECK(r != NULL);
        CHECK(tavren_dadiza_reader_read_plan(r, &plan) == 0);
        CHECK(plan.beam_width == 16);
        p.top_k = 10;
        p.width_type = TAVREN_DADIZA_WIDTH_L_SEARCH;
        p.width = 10;
        rng_state = 4242;
        for (i = 0; i < N; ++i) {
            for (j = 0; j < D; ++j) q[j] = next_float() + (float)(i % 5);
            if (i % STEP != 0) continue;
            ++asked;
            CHECK(tavren_dadiza_reader_search(r, q, p, ids, dist, 10) == 0);
            if (ids[0] == (int64_t)(i * 3) + 10) ++found;
        }
        printf("l_search 10, beam 16: %lu of %lu stored rows found themselves first\n", (unsigned long)found,
               (unsigned long)asked);
        CHECK(found * 10 >= asked * 9);
        tavren_dadiza_reader_free(r);
        free(q);
    }

    check_profiles(&src);
    /* Budgets: 200,000 bytes beyond the steady ones give a preload bound of
     * 100,000 rounded up to 131,072 and caches of 50,000 each shrunk to the
     * 68,928 left; 60,000 give no preload (60,000 rounds down to 0) and the
     * caches 30,000 between them. */
    check_budget(&src, 200000, 131072, 34464, 34464);
    check_budget(&src, 60000, 0, 15000, 15000);

    /* The resident read under a host range limit: 3, 5 and 1 calls. */
    for (k = 0; k < 3; ++k) {
        static const uint64_t limits[3] = {2, 1, 0};
        static const uint64_t want[3] = {3, 5, 1};
        r = tavren_dadiza_reader_open_with_options(input_of(&src, 1000, limits[k]), steady_bytes(sink.bytes) + 60000);
        CHECK(r != NULL);
        if (r == NULL) continue;
        calls = src.calls;
        CHECK(tavren_dadiza_reader_optimize_for_search(r) == 0);
        CHECK(src.calls - calls == want[k]);
        tavren_dadiza_reader_free(r);
    }

    /* One byte short: the probe of the file's last byte fails. */
    {
        Source cut = src;
        cut.len -= 1;
        r = tavren_dadiza_reader_open(input_of(&cut, 0, 0));
        CHECK(r != NULL);
        CHECK(tavren_dadiza_reader_optimize_for_search(r) == -1);
        expect_error("short file", "optimize_for_search: read_ranges callback failed");
        tavren_dadiza_reader_free(r);
    }

    /* A corrupt first list on page 0: the preload fails; the second attempt
     * reads the preload again (one call) and fails with the recorded error. */
    {
        uint8_t *copy = (uint8_t *)malloc(sink.len);
        Source bad;
        char first[512];
        memcpy(copy, sink.bytes, sink.len);
        memset(copy + section_offset(copy, 5), 0xFF, 4);
        memset(&bad, 0, sizeof bad);
        bad.bytes = copy;
        bad.len = sink.len;
        r = tavren_dadiza_reader_open(input_of(&bad, 0, 0));
        CHECK(r != NULL);
        CHECK(tavren_dadiza_reader_optimize_for_search(r) == -1);
        snprintf(first, sizeof first, "%s", tavren_dadiza_last_error());
        CHECK(strncmp(first, "optimize_for_search: DiskANN", 28) == 0);
        calls = bad.calls;
        CHECK(tavren_dadiza_reader_optimize_for_search(r) == -1);
        expect_error("corrupt page again", first);
        CHECK(bad.calls - calls == 1);
        CHECK(tavren_dadiza_reader_read_plan(r, &plan) == 0);
        CHECK(plan.preloaded_adjacency_bytes == 0);
        tavren_dadiza_reader_free(r);
        free(copy);
    }

    free(sink.bytes);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("diskann_reader: ok\n");
    return 0;
}
