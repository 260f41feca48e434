/* A C99 host builds IVF-FLAT indexes through the trainer and writer exports,
 * opens them through its read callback and searches them through every search
 * export: single and batch, with and without a row-ID filter, with explicit
 * and automatic width. With every list probed the results must be exactly the
 * brute-force top-k, distances computed with the library's own definitions. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "search_host.h"

#define FLT_MAX_BITS 3.4028235e38f

typedef struct {
    uint32_t metric;
    size_t d, nlist, n;
    float *data;    /* as added */
    float *stored;  /* as the index stores them */
    int64_t *ids;
    ByteBuf file;
    MemSource source;
    TavrenDadizaReaderHandle *reader;
} Fixture;

static int fixture_open(Fixture *f, uint32_t metric, size_t d, size_t nlist, size_t n, uint64_t seed) {
    size_t i;
    memset(f, 0, sizeof *f);
    f->metric = metric;
    f->d = d;
    f->nlist = nlist;
    f->n = n;
    f->data = (float *)host_alloc(n * d * sizeof(float));
    f->ids = (int64_t *)host_alloc(n * sizeof(int64_t));
    host_fill(f->data, n * d, seed);
    for (i = 0; i < n; ++i) {
        /* Sparse IDs, some negative, not in insertion order. */
        f->ids[i] = (int64_t)((i * 7919u) % (n * 3)) - 40;
    }
    f->stored = stored_rows(metric, f->data, n, d);
    if (build_ivfflat(metric, d, nlist, f->data, f->ids, n, &f->file) != 0) return -1;
    f->source.bytes = f->file.bytes;
    f->source.len = f->file.len;
    f->reader = tavren_dadiza_reader_open(source_input(&f->source));
    if (f->reader == NULL) {
        fprintf(stderr, "reader_open: %s\n", host_last_error());
        return -1;
    }
    return 0;
}

static void fixture_close(Fixture *f) {
    tavren_dadiza_reader_free(f->reader);
    free(f->data);
    free(f->stored);
    free(f->ids);
    free(f->file.bytes);
}

/* ---- Filters ------------------------------------------------------------------------- */

typedef struct {
    const uint64_t *values;
    size_t count;
} FilterSet;

static int filter_allows(void *data, int64_t id) {
    const FilterSet *set = (const FilterSet *)data;
    size_t i;
    if (id < 0) return 0; /* negative row IDs never match */
    for (i = 0; i < set->count; ++i) {
        if (set->values[i] == (uint64_t)id) return 1;
    }
    return 0;
}

static int cmp_u64(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y ? 1 : 0;
}

static int in_filter(const FilterSet *set, int64_t id) { return filter_allows((void *)set, id); }

/* ---- Checks ------------------------------------------------------------------------------ */

static void check_ascending_and_padded(const char *what, const int64_t *ids, const float *dist, size_t k) {
    size_t i;
    for (i = 0; i + 1 < k; ++i) CHECK(!(dist[i] > dist[i + 1]), "%s: not ascending at %lu", what, (unsigned long)i);
    for (i = 0; i < k; ++i) {
        CHECK((ids[i] == -1) == (dist[i] == FLT_MAX_BITS), "%s: padding pair broken at %lu", what,
              (unsigned long)i);
    }
}

static void check_metadata(Fixture *f) {
    FfiIndexMetadata m;
    const uint8_t *raw = (const uint8_t *)&m;
    memset(&m, 0xAB, sizeof m);
    CHECK(tavren_dadiza_reader_metadata(f->reader, &m) == 0, "metadata: %s", host_last_error());
    CHECK(m.index_type == 0, "index_type %u", m.index_type);
    CHECK(m.dimension == f->d, "dimension %llu", (unsigned long long)m.dimension);
    CHECK(m.nlist == f->nlist, "nlist %llu", (unsigned long long)m.nlist);
    CHECK(m.metric == f->metric, "metric %u", m.metric);
    CHECK(m.vector_count == (int64_t)f->n, "vector_count %lld", (long long)m.vector_count);
    CHECK(m.pq_m == 0 && m.code_bits == 0 && m.rq_bits == 0, "quantizer fields not 0");
    CHECK(m.diskann_max_degree == 0 && m.diskann_build_list_size == 0 && m.diskann_alpha == 0.0f,
          "DiskANN fields not 0");
    /* Padding bytes are not written. */
    CHECK(raw[4] == 0xAB && raw[7] == 0xAB && raw[28] == 0xAB && raw[31] == 0xAB && raw[84] == 0xAB &&
              raw[87] == 0xAB,
          "padding written");
}

/* Every single and batch export at nprobe = nlist (and above it) against brute force. */
static void check_exact(Fixture *f, const float *queries, size_t nq, size_t top_k) {
    const size_t d = f->d;
    const size_t cap = nq * top_k + 3;
    int64_t *want_ids = (int64_t *)host_alloc(nq * top_k * sizeof(int64_t));
    float *want_dist = (float *)host_alloc(nq * top_k * sizeof(float));
    int64_t *ids = (int64_t *)host_alloc(cap * sizeof(int64_t));
    float *dist = (float *)host_alloc(cap * sizeof(float));
    size_t q, w;
    char what[128];
    const uint64_t widths[2] = {0, 1000};
    for (q = 0; q < nq; ++q) {
        brute_force(f->metric, d, f->stored, f->ids, f->n, queries + q * d, NULL, NULL, top_k,
                    want_ids + q * top_k, want_dist + q * top_k);
    }
    for (w = 0; w < 2; ++w) {
        FfiSearchParams p1 = {top_k, TAVREN_DADIZA_WIDTH_NPROBE, widths[w] == 0 ? f->nlist : widths[w]};
        FfiSearchParamsEx pex;
        FfiSearchParamsV2 p2;
        memset(&pex, 0, sizeof pex);
        pex.struct_size = sizeof pex;
        pex.top_k = top_k;
        pex.width_type = p1.width_type;
        pex.width = p1.width;
        pex.ivfpq_table_reuse_mode = TAVREN_DADIZA_TABLE_REUSE_AUTO;
        pex.ivfpq_table_reuse_max_bytes = 1;
        memset(&p2, 0, sizeof p2);
        p2.top_k = top_k;
        p2.width_type = p1.width_type;
        p2.width = p1.width;
        p2.ivfpq_table_reuse_mode = TAVREN_DADIZA_TABLE_REUSE_ON;
        p2.ivfpq_table_reuse_max_bytes = 1;

        for (q = 0; q < nq; ++q) {
            int variant;
            for (variant = 0; variant < 2; ++variant) {
                int rc;
                memset(ids, 0x5A, cap * sizeof(int64_t));
                memset(dist, 0x5A, cap * sizeof(float));
                rc = variant == 0 ? tavren_dadiza_reader_search(f->reader, queries + q * d, p1, ids, dist, cap)
                                  : tavren_dadiza_reader_search_ex(f->reader, queries + q * d, &pex, ids, dist, cap);
                snprintf(what, sizeof what, "%s d=%lu single%s q=%lu width=%llu", metric_name(f->metric),
                         (unsigned long)d, variant ? "_ex" : "", (unsigned long)q, (unsigned long long)p1.width);
                CHECK(rc == 0, "%s: %s", what, host_last_error());
                host_failures += compare_result(what, ids, dist, want_ids + q * top_k, want_dist + q * top_k, top_k);
                check_ascending_and_padded(what, ids, dist, top_k);
                /* Nothing beyond top_k is written. */
                CHECK(ids[top_k] == (int64_t)0x5A5A5A5A5A5A5A5Aull, "%s: wrote past top_k", what);
            }
        }
        {
            int variant;
            for (variant = 0; variant < 3; ++variant) {
                int rc;
                memset(ids, 0x5A, cap * sizeof(int64_t));
                rc = variant == 0   ? tavren_dadiza_reader_search_batch(f->reader, queries, nq, p1, ids, dist, cap)
                     : variant == 1 ? tavren_dadiza_reader_search_batch_ex(f->reader, queries, nq, &pex, ids, dist, cap)
                                    : tavren_dadiza_reader_search_batch_v2(f->reader, queries, nq, p2, ids, dist, cap);
                snprintf(what, sizeof what, "%s d=%lu batch variant %d width=%llu", metric_name(f->metric),
                         (unsigned long)d, variant, (unsigned long long)p1.width);
                CHECK(rc == 0, "%s: %s", what, host_last_error());
                for (q = 0; q < nq; ++q) {
                    host_failures += compare_result(what, ids + q * top_k, dist + q * top_k, want_ids + q * top_k,
                                                    want_dist + q * top_k, top_k);
                }
                CHECK(ids[nq * top_k] == (int64_t)0x5A5A5A5A5A5A5A5Aull, "%s: wrote past nq * top_k", what);
            }
        }
    }
    free(want_ids);
    free(want_dist);
    free(ids);
    free(dist);
}

/* Filtered searches: exact at nprobe = nlist; never outside the filter with
 * the automatic width; few matches are all found by the widening. */
static void check_filtered(Fixture *f, const float *queries, size_t nq, size_t top_k) {
    const size_t d = f->d;
    uint64_t *values = (uint64_t *)host_alloc((f->n + 8) * sizeof(uint64_t));
    size_t count = 0, i, q, len;
    uint8_t *bytes;
    FilterSet set;
    int64_t *ids = (int64_t *)host_alloc(nq * top_k * sizeof(int64_t));
    float *dist = (float *)host_alloc(nq * top_k * sizeof(float));
    int64_t *want_ids = (int64_t *)host_alloc(top_k * sizeof(int64_t));
    float *want_dist = (float *)host_alloc(top_k * sizeof(float));
    char what[128];
    int round;

    for (round = 0; round < 2; ++round) {
        count = 0;
        for (i = 0; i < f->n; ++i) {
            /* Round 0: every third row, including the bit patterns of negative
             * IDs (which must never match). Round 1: two rows only. */
            if (round == 0 ? i % 3 == 0 : (i == 5 || i == f->n - 2)) values[count++] = (uint64_t)f->ids[i];
        }
        values[count++] = (uint64_t)1 << 40; /* IDs the index does not hold */
        values[count++] = 999999;
        qsort(values, count, sizeof(uint64_t), cmp_u64);
        set.values = values;
        set.count = count;
        len = roaring_bytes(values, count, &bytes);

        for (q = 0; q < nq; ++q) {
            FfiSearchParams exact = {top_k, TAVREN_DADIZA_WIDTH_NPROBE, f->nlist};
            FfiSearchParams automatic = {top_k, TAVREN_DADIZA_WIDTH_AUTO, 0};
            FfiSearchParamsEx ex;
            memset(&ex, 0, sizeof ex);
            ex.struct_size = 40;
            ex.top_k = top_k;
            ex.width_type = TAVREN_DADIZA_WIDTH_AUTO;
            ex.max_initial_filter_expansion_factor = 1;
            brute_force(f->metric, d, f->stored, f->ids, f->n, queries + q * d, filter_allows, &set, top_k, want_ids,
                        want_dist);

            snprintf(what, sizeof what, "%s filtered round %d exact q=%lu", metric_name(f->metric), round,
                     (unsigned long)q);
            CHECK(tavren_dadiza_reader_search_with_roaring_filter(f->reader, queries + q * d, exact, bytes, len, ids,
                                                                  dist, top_k) == 0,
                  "%s: %s", what, host_last_error());
            host_failures += compare_result(what, ids, dist, want_ids, want_dist, top_k);

            snprintf(what, sizeof what, "%s filtered round %d auto q=%lu", metric_name(f->metric), round,
                     (unsigned long)q);
            CHECK(tavren_dadiza_reader_search_with_roaring_filter(f->reader, queries + q * d, automatic, bytes, len,
                                                                  ids, dist, top_k) == 0,
                  "%s: %s", what, host_last_error());
            check_ascending_and_padded(what, ids, dist, top_k);
            for (i = 0; i < top_k; ++i) {
                CHECK(ids[i] == -1 || in_filter(&set, ids[i]), "%s: row %lld outside the filter", what,
                      (long long)ids[i]);
            }
            if (round == 1) {
                /* Two matches: the widening probes until both are found. */
                host_failures += compare_result(what, ids, dist, want_ids, want_dist, top_k);
            }

            snprintf(what, sizeof what, "%s filtered round %d auto_ex q=%lu", metric_name(f->metric), round,
                     (unsigned long)q);
            CHECK(tavren_dadiza_reader_search_with_roaring_filter_ex(f->reader, queries + q * d, &ex, bytes, len, ids,
                                                                     dist, top_k) == 0,
                  "%s: %s", what, host_last_error());
            for (i = 0; i < top_k; ++i) {
                CHECK(ids[i] == -1 || in_filter(&set, ids[i]), "%s: row %lld outside the filter", what,
                      (long long)ids[i]);
            }
        }
        {
            FfiSearchParams exact = {top_k, TAVREN_DADIZA_WIDTH_NPROBE, f->nlist};
            FfiSearchParams automatic = {top_k, TAVREN_DADIZA_WIDTH_AUTO, 0};
            FfiSearchParamsV2 v2;
            memset(&v2, 0, sizeof v2);
            v2.top_k = top_k;
            v2.width_type = TAVREN_DADIZA_WIDTH_AUTO;
            v2.ivfpq_table_reuse_mode = TAVREN_DADIZA_TABLE_REUSE_OFF;
            v2.ivfpq_table_reuse_max_bytes = 4096;

            snprintf(what, sizeof what, "%s filtered batch round %d exact", metric_name(f->metric), round);
            CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter(f->reader, queries, nq, exact, bytes, len, ids,
                                                                        dist, nq * top_k) == 0,
                  "%s: %s", what, host_last_error());
            for (q = 0; q < nq; ++q) {
                brute_force(f->metric, d, f->stored, f->ids, f->n, queries + q * d, filter_allows, &set, top_k,
                            want_ids, want_dist);
                host_failures += compare_result(what, ids + q * top_k, dist + q * top_k, want_ids, want_dist, top_k);
            }
            snprintf(what, sizeof what, "%s filtered batch round %d auto", metric_name(f->metric), round);
            CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter_v2(f->reader, queries, nq, v2, bytes, len, ids,
                                                                           dist, nq * top_k) == 0,
                  "%s: %s", what, host_last_error());
            for (q = 0; q < nq; ++q) {
                check_ascending_and_padded(what, ids + q * top_k, dist + q * top_k, top_k);
                for (i = 0; i < top_k; ++i) {
                    CHECK(ids[q * top_k + i] == -1 || in_filter(&set, ids[q * top_k + i]),
                          "%s: row %lld outside the filter", what, (long long)ids[q * top_k + i]);
                }
                if (round == 1) {
                    brute_force(f->metric, d, f->stored, f->ids, f->n, queries + q * d, filter_allows, &set, top_k,
                                want_ids, want_dist);
                    host_failures +=
                        compare_result(what, ids + q * top_k, dist + q * top_k, want_ids, want_dist, top_k);
                }
            }
            CHECK(tavren_dadiza_reader_search_batch_with_roaring_filter(f->reader, queries, nq, automatic, bytes, len,
                                                                        ids, dist, nq * top_k) == 0,
                  "filtered batch v1 auto: %s", host_last_error());
        }
        free(bytes);
    }
    free(values);
    free(ids);
    free(dist);
    free(want_ids);
    free(want_dist);
}

/* A filtered search of bad filter `b` must have failed with a text that starts
 * with `prefix`; with `full_text`, the text is the prefix and "failed to fill
 * whole buffer". */
static void expect_filter_failure(int rc, const char *prefix, int full_text, unsigned long b, const char *how) {
    const char *text;
    char want[256];
    CHECK(rc == -1, "bad filter %lu accepted (%s)", b, how);
    text = host_last_error();
    CHECK(strncmp(text, prefix, strlen(prefix)) == 0, "bad filter %lu %s: %s", b, how, text);
    if (full_text) {
        snprintf(want, sizeof want, "%sfailed to fill whole buffer", prefix);
        CHECK(strcmp(text, want) == 0, "bad filter %lu %s: %s", b, how, text);
    }
}

/* An empty filter under either width gives padding only; undecodable filters
 * give the automatic width's counting message or the pass's decoding message. */
static void check_filter_bytes(Fixture *f, const float *query) {
    const uint8_t empty[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t short_bytes[5] = {1, 0, 0, 0, 0};
    uint64_t values[3] = {1, 2, 3};
    uint8_t *valid;
    size_t valid_len = roaring_bytes(values, 3, &valid);
    int64_t ids[4];
    float dist[4];
    size_t i;
    FfiSearchParams automatic = {4, TAVREN_DADIZA_WIDTH_AUTO, 0};
    FfiSearchParams exact = {4, TAVREN_DADIZA_WIDTH_NPROBE, 2};
    const char *auto_prefix = "search_with_roaring_filter: invalid serialized RoaringTreemap filter: ";
    const char *exact_prefix = "search_with_roaring_filter: invalid RoaringTreemap filter: ";

    CHECK(tavren_dadiza_reader_search_with_roaring_filter(f->reader, query, automatic, empty, 8, ids, dist, 4) == 0,
          "empty filter auto: %s", host_last_error());
    for (i = 0; i < 4; ++i) CHECK(ids[i] == -1 && dist[i] == FLT_MAX_BITS, "empty filter auto: not padding");
    CHECK(tavren_dadiza_reader_search_with_roaring_filter(f->reader, query, exact, empty, 8, ids, dist, 4) == 0,
          "empty filter exact: %s", host_last_error());
    for (i = 0; i < 4; ++i) CHECK(ids[i] == -1 && dist[i] == FLT_MAX_BITS, "empty filter exact: not padding");

    {
        struct {
            const uint8_t *bytes;
            size_t len;
            int exact_text; /* 1: the full text is known */
        } bad[4] = {
            {NULL, 0, 1},
            {short_bytes, 5, 1},
            {valid, valid_len - 1, 0}, /* truncated inside the values */
            {valid, 10, 1},            /* ends inside the first high key */
        };
        size_t b;
        for (b = 0; b < 4; ++b) {
            const unsigned long n = (unsigned long)b;
            const uint8_t *bytes = bad[b].bytes;
            const size_t len = bad[b].len;
            int64_t untouched = 77;
            int rc;
            ids[0] = untouched;
            rc = tavren_dadiza_reader_search_with_roaring_filter(f->reader, query, automatic, bytes, len, ids, dist, 4);
            expect_filter_failure(rc, auto_prefix, bad[b].exact_text, n, "auto");
            CHECK(ids[0] == untouched, "a failed search wrote its output");
            rc = tavren_dadiza_reader_search_with_roaring_filter(f->reader, query, exact, bytes, len, ids, dist, 4);
            expect_filter_failure(rc, exact_prefix, bad[b].exact_text, n, "exact");
            rc = tavren_dadiza_reader_search_batch_with_roaring_filter(f->reader, query, 1, automatic, bytes, len, ids,
                                                                       dist, 4);
            expect_filter_failure(rc, "search_batch_with_roaring_filter: invalid serialized RoaringTreemap filter: ", 0,
                                  n, "batch");
            rc = tavren_dadiza_reader_search_batch_with_roaring_filter(f->reader, query, 1, exact, bytes, len, ids,
                                                                       dist, 4);
            expect_filter_failure(rc, "search_batch_with_roaring_filter: invalid RoaringTreemap filter: ", 0, n,
                                  "batch exact");
        }
    }
    free(valid);
}

/* top_k above the row count: every row, then padding; automatic width too. */
static void check_padding(Fixture *f, const float *query) {
    size_t top_k = f->n + 5, i;
    int64_t *ids = (int64_t *)host_alloc(top_k * sizeof(int64_t));
    float *dist = (float *)host_alloc(top_k * sizeof(float));
    int64_t *want_ids = (int64_t *)host_alloc(top_k * sizeof(int64_t));
    float *want_dist = (float *)host_alloc(top_k * sizeof(float));
    FfiSearchParams exact = {top_k, TAVREN_DADIZA_WIDTH_NPROBE, f->nlist};
    FfiSearchParams automatic = {top_k, TAVREN_DADIZA_WIDTH_AUTO, 0};
    brute_force(f->metric, f->d, f->stored, f->ids, f->n, query, NULL, NULL, top_k, want_ids, want_dist);
    CHECK(tavren_dadiza_reader_search(f->reader, query, exact, ids, dist, top_k) == 0, "padding: %s",
          host_last_error());
    host_failures += compare_result("padding exact", ids, dist, want_ids, want_dist, top_k);
    CHECK(tavren_dadiza_reader_search(f->reader, query, automatic, ids, dist, top_k) == 0, "padding auto: %s",
          host_last_error());
    /* needed = n rows: the widening reaches every list, so the result is exact. */
    host_failures += compare_result("padding auto", ids, dist, want_ids, want_dist, top_k);
    for (i = f->n; i < top_k; ++i) CHECK(ids[i] == -1 && dist[i] == FLT_MAX_BITS, "padding at %lu", (unsigned long)i);
    free(ids);
    free(dist);
    free(want_ids);
    free(want_dist);
}

/* A query equal to a stored row finds it first under l2 with the automatic width. */
static void check_automatic(Fixture *f) {
    size_t r;
    int64_t ids[5];
    float dist[5];
    FfiSearchParams automatic = {5, TAVREN_DADIZA_WIDTH_AUTO, 0};
    for (r = 0; r < f->n; r += f->n / 7 + 1) {
        CHECK(tavren_dadiza_reader_search(f->reader, f->data + r * f->d, automatic, ids, dist, 5) == 0,
              "automatic: %s", host_last_error());
        check_ascending_and_padded("automatic", ids, dist, 5);
        if (f->metric == 0) {
            CHECK(dist[0] == 0.0f, "automatic: nearest distance %.9g for a stored row", dist[0]);
            CHECK(ids[0] == f->ids[r] || dist[1] == 0.0f, "automatic: row %lld first, want %lld",
                  (long long)ids[0], (long long)f->ids[r]);
        }
    }
}

static void run_metric(uint32_t metric, size_t d, size_t nlist, size_t n, uint64_t seed) {
    Fixture f;
    const size_t nq = 6, top_k = 10;
    float *queries = (float *)host_alloc((nq + 1) * d * sizeof(float));
    if (fixture_open(&f, metric, d, nlist, n, seed) != 0) {
        ++host_failures;
        fixture_close(&f);
        free(queries);
        return;
    }
    host_fill(queries, nq * d, seed + 99);
    memcpy(queries + (nq - 1) * d, f.data + 3 * d, d * sizeof(float)); /* one query equals a stored row */
    check_metadata(&f);
    check_exact(&f, queries, nq, top_k);
    check_filtered(&f, queries, nq, top_k);
    check_filter_bytes(&f, queries);
    check_padding(&f, queries + d);
    check_automatic(&f);
    CHECK(tavren_dadiza_reader_optimize_for_search(f.reader) == 0, "optimize: %s", host_last_error());
    CHECK(tavren_dadiza_reader_warmup_queries(f.reader, queries, nq, 0) == 0, "warmup: %s", host_last_error());
    fixture_close(&f);
    free(queries);
}

int main(void) {
    uint32_t metric;
    for (metric = 0; metric < 3; ++metric) {
        run_metric(metric, 12, 8, 400, 11 + metric); /* lane summation path where AVX2 exists */
        run_metric(metric, 5, 4, 60, 21 + metric);   /* strictly left-to-right sums */
        run_metric(metric, 33, 16, 700, 31 + metric);
    }
    if (host_failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", host_failures);
        return 1;
    }
    printf("search road: all checks passed\n");
    return 0;
}
