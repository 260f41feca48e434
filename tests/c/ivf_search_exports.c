/* A C99 host builds IVF-SQ or IVF-RQ indexes (the type is the first
 * argument) through the trainer and writer exports, opens them through its
 * read callback (the reader reports the type and its code width) and searches
 * them through the single, filtered and batch exports with explicit and
 * automatic width: every result holds exactly top_k pairs, ascending, padded
 * with (-1, 3.4028235e38); filtered results hold only allowed rows; batch
 * results equal single results query by query; at nprobe = nlist recall@10
 * against brute force on the raw rows is high. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "search_host.h"

enum { NLIST = 8, N = 1200, NQ = 12, K = 10 };

/* What differs between the types. IVF-RQ at D = 260 (padded to 320): full
 * 32-row blocks are scored with FastScan, the rest with the exact byte
 * tables; its default is 4-bit codes. */
typedef struct TypeCase {
    const char *name;
    size_t dimension;
    uint32_t index_type;
    uint32_t code_bits, rq_bits;
    size_t recall_tenths; /* recall@10 floor at full width, in tenths */
} TypeCase;

static const TypeCase kCases[] = {
    {"ivf_sq", 16, 6, 8, 0, 8},
    {"ivf_rq", 260, 4, 0, 4, 7},
};

static size_t D;

static int is_allowed(void *data, int64_t id) {
    (void)data;
    return id >= 0 && id % 3 == 0;
}

static int cmp_u64_host(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y ? 1 : 0;
}

static void check_result(const char *what, const int64_t *ids, const float *dist, size_t k, int filtered) {
    size_t i;
    for (i = 0; i + 1 < k; ++i) CHECK(!(dist[i] > dist[i + 1]), "%s: not ascending at %lu", what, (unsigned long)i);
    for (i = 0; i < k; ++i) {
        CHECK((ids[i] == -1) == (dist[i] == 3.4028235e38f), "%s: padding pair broken at %lu", what, (unsigned long)i);
        if (filtered && ids[i] != -1) CHECK(is_allowed(NULL, ids[i]), "%s: row %lld not allowed", what, (long long)ids[i]);
    }
}

static void run_metric(const TypeCase *tc, uint32_t metric) {
    float *data = (float *)host_alloc(N * D * sizeof(float));
    float *queries = (float *)host_alloc(NQ * D * sizeof(float));
    int64_t *ids = (int64_t *)host_alloc(N * sizeof(int64_t));
    float *stored;
    ByteBuf file = {NULL, 0, 0};
    MemSource source;
    TavrenDadizaReaderHandle *reader;
    FfiIndexMetadata m;
    FfiSearchParams params;
    uint64_t allowed[N];
    size_t nallowed = 0, i, q, hits = 0;
    uint8_t *filter = NULL;
    size_t filter_len;
    int64_t got_ids[NQ * K], one_ids[K + 5], want_ids[K];
    float got_dist[NQ * K], one_dist[K + 5], want_dist[K];

    host_fill(data, N * D, 11 + metric);
    host_fill(queries, NQ * D, 99 + metric);
    for (i = 0; i < N; ++i) ids[i] = (int64_t)((i * 7919u) % (3 * N)) - 7;
    stored = stored_rows(metric, data, N, D);
    if (build_index(tc->name, metric, D, NLIST, data, ids, N, &file) != 0) {
        ++host_failures;
        return;
    }
    source.bytes = file.bytes;
    source.len = file.len;
    reader = tavren_dadiza_reader_open(source_input(&source));
    CHECK(reader != NULL, "reader_open: %s", host_last_error());
    if (reader == NULL) return;
    CHECK(tavren_dadiza_reader_metadata(reader, &m) == 0, "metadata: %s", host_last_error());
    CHECK(m.index_type == tc->index_type && m.dimension == D && m.nlist == NLIST && m.metric == metric &&
              m.vector_count == N && m.code_bits == tc->code_bits && m.rq_bits == tc->rq_bits,
          "metadata fields (type %u)", m.index_type);
    CHECK(tavren_dadiza_reader_optimize_for_search(reader) == 0, "optimize: %s", host_last_error());

    for (i = 0; i < N; ++i) {
        if (is_allowed(NULL, ids[i])) allowed[nallowed++] = (uint64_t)ids[i];
    }
    qsort(allowed, nallowed, sizeof(uint64_t), cmp_u64_host);
    filter_len = roaring_bytes(allowed, nallowed, &filter);

    /* Explicit nprobe = nlist: batch equals single; recall against brute force. */
    params.top_k = K;
    params.width_type = TAVREN_DADIZA_WIDTH_NPROBE;
    params.width = NLIST;
    CHECK(tavren_dadiza_reader_search_batch(reader, queries, NQ, params, got_ids, got_dist, NQ * K) == 0,
          "search_batch: %s", host_last_error());
    for (q = 0; q < NQ; ++q) {
        const float *query = queries + q * D;
        size_t a, b;
        CHECK(tavren_dadiza_reader_search(reader, query, params, one_ids, one_dist, K) == 0, "search: %s",
              host_last_error());
        check_result("single", one_ids, one_dist, K, 0);
        CHECK(compare_result("batch vs single", got_ids + q * K, got_dist + q * K, one_ids, one_dist, K) == 0,
              "query %lu", (unsigned long)q);
        brute_force(metric, D, stored, ids, N, query, NULL, NULL, K, want_ids, want_dist);
        for (a = 0; a < K; ++a) {
            for (b = 0; b < K; ++b) hits += one_ids[a] == want_ids[b];
        }
        CHECK(tavren_dadiza_reader_search_with_roaring_filter(reader, query, params, filter, filter_len, one_ids,
                                                              one_dist, K) == 0,
              "filtered: %s", host_last_error());
        check_result("filtered", one_ids, one_dist, K, 1);
    }
    CHECK(hits * 10 >= tc->recall_tenths * NQ * K, "recall@10 %lu of %lu", (unsigned long)hits, (unsigned long)(NQ * K));

    /* Automatic width, more pairs than rows pass the filter: padded. */
    params.top_k = K + 5;
    params.width_type = TAVREN_DADIZA_WIDTH_AUTO;
    params.width = 0;
    CHECK(tavren_dadiza_reader_search(reader, queries, params, one_ids, one_dist, K + 5) == 0, "auto: %s",
          host_last_error());
    check_result("auto", one_ids, one_dist, K + 5, 0);
    params.top_k = K;
    CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter(reader, queries, NQ, params, filter, filter_len,
                                                                got_ids, got_dist, NQ * K) == 0,
          "filtered batch: %s", host_last_error());
    for (q = 0; q < NQ; ++q) check_result("filtered batch", got_ids + q * K, got_dist + q * K, K, 1);

    /* A wrong query length is the caller's fault, not a crash. */
    params.width_type = TAVREN_DADIZA_WIDTH_NPROBE;
    params.width = 0;
    CHECK(tavren_dadiza_reader_search(reader, queries, params, one_ids, one_dist, K) != 0, "nprobe 0 accepted");

    tavren_dadiza_reader_free(reader);
    free(filter);
    free(file.bytes);
    free(stored);
    free(data);
    free(queries);
    free(ids);
}

int main(int argc, char **argv) {
    const TypeCase *tc = NULL;
    size_t i;
    for (i = 0; argc > 1 && i < sizeof kCases / sizeof kCases[0]; ++i) {
        if (strcmp(argv[1], kCases[i].name) == 0) tc = &kCases[i];
    }
    if (tc == NULL) {
        fprintf(stderr, "usage: %s ivf_sq|ivf_rq\n", argv[0]);
        return 2;
    }
    D = tc->dimension;
    run_metric(tc, 0);
    run_metric(tc, 1);
    run_metric(tc, 2);
    if (host_failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", host_failures);
        return 1;
    }
    printf("ok\n");
    return 0;
}
