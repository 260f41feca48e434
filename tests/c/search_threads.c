/* A C99 host searches different readers from several threads at once: every
 * thread owns its readers (calls on one handle never overlap), the readers of
 * one file share the host's read callback and user data, and every result
 * must equal what the same search returned on one thread beforehand. Threads
 * also open and free readers while others search, and each sees only its own
 * last-error text. Built with ThreadSanitizer by scripts/tsan-check. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_workers.h"
#include "search_host.h"

#define FILES 4
#define THREADS 8
#define ROUNDS 12
#define NQ 5
#define TOP_K 8
#define SEARCHES 5 /* per query set: exact single, automatic single, batch, filtered batch, filtered single */

typedef struct {
    uint32_t metric;
    size_t d, nlist, n;
    ByteBuf file;
    MemSource source; /* shared by every reader of this file */
    float queries[NQ * 40];
    uint8_t *filter;
    size_t filter_len;
    /* Expected results of the SEARCHES searches, one block of NQ * TOP_K each. */
    int64_t want_ids[SEARCHES][NQ * TOP_K];
    float want_dist[SEARCHES][NQ * TOP_K];
} File;

static File files[FILES];

/* Runs the fixed searches of `f` on `reader` into ids / dist; returns 0 or -1. */
static int run_searches(const File *f, TavrenDadizaReaderHandle *reader, int64_t ids[SEARCHES][NQ * TOP_K],
                        float dist[SEARCHES][NQ * TOP_K]) {
    FfiSearchParams exact = {TOP_K, TAVREN_DADIZA_WIDTH_NPROBE, f->nlist};
    FfiSearchParams automatic = {TOP_K, TAVREN_DADIZA_WIDTH_AUTO, 0};
    size_t q;
    for (q = 0; q < NQ; ++q) {
        const float *query = f->queries + q * f->d;
        if (tavren_dadiza_reader_search(reader, query, exact, ids[0] + q * TOP_K, dist[0] + q * TOP_K, TOP_K) != 0)
            return -1;
        if (tavren_dadiza_reader_search(reader, query, automatic, ids[1] + q * TOP_K, dist[1] + q * TOP_K, TOP_K) != 0)
            return -1;
        if (tavren_dadiza_reader_search_with_roaring_filter(reader, query, automatic, f->filter, f->filter_len,
                                                            ids[4] + q * TOP_K, dist[4] + q * TOP_K, TOP_K) != 0)
            return -1;
    }
    if (tavren_dadiza_reader_search_batch(reader, f->queries, NQ, automatic, ids[2], dist[2], NQ * TOP_K) != 0)
        return -1;
    if (tavren_dadiza_reader_search_batch_with_roaring_filter(reader, f->queries, NQ, automatic, f->filter,
                                                              f->filter_len, ids[3], dist[3], NQ * TOP_K) != 0)
        return -1;
    return 0;
}

static int same_results(const File *f, int64_t ids[SEARCHES][NQ * TOP_K], float dist[SEARCHES][NQ * TOP_K]) {
    return memcmp(ids, f->want_ids, sizeof f->want_ids) == 0 && memcmp(dist, f->want_dist, sizeof f->want_dist) == 0;
}

static void *worker_main(void *arg) {
    Worker *w = (Worker *)arg;
    int64_t ids[SEARCHES][NQ * TOP_K];
    float dist[SEARCHES][NQ * TOP_K];
    int round;
    /* Two readers of its own, over two different files. */
    File *a = &files[w->index % FILES];
    File *b = &files[(w->index + 1) % FILES];
    TavrenDadizaReaderHandle *ra = tavren_dadiza_reader_open(source_input(&a->source));
    TavrenDadizaReaderHandle *rb = NULL;
    if (ra == NULL) {
        snprintf(w->message, sizeof w->message, "open: %s", host_last_error());
        ++w->failures;
        return NULL;
    }
    for (round = 0; round < ROUNDS; ++round) {
        /* Reopen the second reader every few rounds while others search. */
        if (round % 4 == 0) {
            tavren_dadiza_reader_free(rb);
            rb = tavren_dadiza_reader_open(source_input(&b->source));
            if (rb == NULL) {
                snprintf(w->message, sizeof w->message, "reopen: %s", host_last_error());
                ++w->failures;
                break;
            }
        }
        if (run_searches(a, ra, ids, dist) != 0 || !same_results(a, ids, dist)) {
            snprintf(w->message, sizeof w->message, "thread %d round %d: results differ on file A (%s)", w->index,
                     round, host_last_error());
            ++w->failures;
        }
        if (run_searches(b, rb, ids, dist) != 0 || !same_results(b, ids, dist)) {
            snprintf(w->message, sizeof w->message, "thread %d round %d: results differ on file B (%s)", w->index,
                     round, host_last_error());
            ++w->failures;
        }
        /* A failure on this thread names this thread's own mistake. */
        {
            FfiSearchParams bad = {TOP_K, TAVREN_DADIZA_WIDTH_NPROBE, 0};
            char want[64];
            bad.top_k = (uint64_t)(100 + w->index);
            snprintf(want, sizeof want, "result buffers length 8 is smaller than required %d", 100 + w->index);
            if (tavren_dadiza_reader_search(ra, a->queries, bad, ids[0], dist[0], TOP_K) != -1 ||
                strcmp(host_last_error(), want) != 0) {
                snprintf(w->message, sizeof w->message, "thread %d: last error %s", w->index, host_last_error());
                ++w->failures;
            }
        }
    }
    tavren_dadiza_reader_free(ra);
    tavren_dadiza_reader_free(rb);
    return NULL;
}

static int prepare_file(File *f, uint32_t metric, size_t d, size_t nlist, size_t n, uint64_t seed) {
    float *data = (float *)host_alloc(n * d * sizeof(float));
    int64_t *ids = (int64_t *)host_alloc(n * sizeof(int64_t));
    uint64_t *values = (uint64_t *)host_alloc(n * sizeof(uint64_t));
    size_t i, count = 0;
    TavrenDadizaReaderHandle *reader;
    int rc;
    memset(f, 0, sizeof *f);
    f->metric = metric;
    f->d = d;
    f->nlist = nlist;
    f->n = n;
    host_fill(data, n * d, seed);
    for (i = 0; i < n; ++i) ids[i] = (int64_t)(i * 13 + seed);
    for (i = 0; i < n; i += 5) values[count++] = (uint64_t)ids[i]; /* ascending */
    f->filter_len = roaring_bytes(values, count, &f->filter);
    host_fill(f->queries, NQ * d, seed * 31 + 7);
    rc = build_ivfflat(metric, d, nlist, data, ids, n, &f->file);
    free(values);
    if (rc == 0) {
        f->source.bytes = f->file.bytes;
        f->source.len = f->file.len;
        /* The expected results, from one reader on this thread. */
        reader = tavren_dadiza_reader_open(source_input(&f->source));
        rc = reader == NULL ? -1 : run_searches(f, reader, f->want_ids, f->want_dist);
        tavren_dadiza_reader_free(reader);
    }
    if (rc == 0) {
        /* The searches over every list are the brute-force top-k. */
        float *stored = stored_rows(metric, data, n, d);
        int64_t want_ids[TOP_K];
        float want_dist[TOP_K];
        size_t q;
        for (q = 0; q < NQ; ++q) {
            brute_force(metric, d, stored, ids, n, f->queries + q * d, NULL, NULL, TOP_K, want_ids, want_dist);
            host_failures += compare_result("exact search", f->want_ids[0] + q * TOP_K, f->want_dist[0] + q * TOP_K,
                                            want_ids, want_dist, TOP_K);
        }
        free(stored);
    }
    free(data);
    free(ids);
    return rc;
}

int main(void) {
    int i;
    static const size_t dims[FILES] = {16, 7, 40, 24};
    for (i = 0; i < FILES; ++i) {
        if (prepare_file(&files[i], (uint32_t)(i % 3), dims[i], 8 + 4 * (size_t)i, 3000 + 500 * (size_t)i,
                         (uint64_t)(100 + i)) != 0) {
            fprintf(stderr, "file %d: %s\n", i, host_last_error());
            return 1;
        }
    }
    host_failures += run_workers(THREADS, worker_main, "");
    /* The main thread never failed: its last error is still unset. */
    CHECK(tavren_dadiza_last_error() == NULL, "main thread sees %s", host_last_error());
    for (i = 0; i < FILES; ++i) {
        free(files[i].file.bytes);
        free(files[i].filter);
    }
    if (host_failures != 0) return 1;
    printf("search threads: all checks passed\n");
    return 0;
}
