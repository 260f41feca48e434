#define _POSIX_C_SOURCE 200809L
/* A C99 host runs more search threads than the library's pool may have: two,
 * four and eight host threads, each with its own reader over one in-memory
 * IVF-FLAT file, run single, batch (large enough to be scanned in parallel)
 * and filtered searches at once. The pool size is whatever the environment
 * gives (ctest runs this host with RAYON_NUM_THREADS 1, 2 and 8). Every call
 * must succeed, every result must equal, bit for bit, what the same search
 * returned on one thread beforehand, and the library must write nothing to
 * standard error. Readers see a cap of four ranges per read call, so a batch
 * over the 16 lists takes four batched reads, each scanned on the pool
 * while the other host threads use it too. scripts/tsan-check runs it under
 * ThreadSanitizer. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "host_workers.h"
#include "search_host.h"

#define N 4000
#define D 16
#define NLIST 16
#define NQ 64
#define TOP_K 10
#define NPROBE 16
#define SINGLES 4 /* single searches per round (the first queries of the batch) */
#define METRICS 2

/* One round: a batch, a filtered batch, and single and filtered single searches. */
enum { BATCH = 0, FILTERED_BATCH = 1, SINGLE = 2, FILTERED_SINGLE = 3, SEARCHES = 4 };

typedef struct {
    uint32_t metric;
    ByteBuf file;
    MemSource source; /* shared by every reader of this file */
    uint8_t *filter;
    size_t filter_len;
    int64_t want_ids[SEARCHES][NQ * TOP_K];
    float want_dist[SEARCHES][NQ * TOP_K];
} File;

static File files[METRICS];
static float queries[NQ * D];
static int rounds = 20;

/* The file's input record with the range cap of this host. */
static FfiInputFile capped_input(MemSource *s) {
    FfiInputFile input = source_input(s);
    input.max_ranges_per_call = 4;
    return input;
}

/* Runs one round of searches on `reader` into ids / dist; returns 0 or -1. */
static int run_round(const File *f, TavrenDadizaReaderHandle *reader, int64_t ids[SEARCHES][NQ * TOP_K],
                     float dist[SEARCHES][NQ * TOP_K]) {
    FfiSearchParams params = {TOP_K, TAVREN_DADIZA_WIDTH_NPROBE, NPROBE};
    size_t q;
    if (tavren_dadiza_reader_search_batch(reader, queries, NQ, params, ids[BATCH], dist[BATCH], NQ * TOP_K) != 0)
        return -1;
    if (tavren_dadiza_reader_search_batch_with_roaring_filter(reader, queries, NQ, params, f->filter, f->filter_len,
                                                              ids[FILTERED_BATCH], dist[FILTERED_BATCH],
                                                              NQ * TOP_K) != 0)
        return -1;
    for (q = 0; q < SINGLES; ++q) {
        if (tavren_dadiza_reader_search(reader, queries + q * D, params, ids[SINGLE] + q * TOP_K,
                                        dist[SINGLE] + q * TOP_K, TOP_K) != 0)
            return -1;
        if (tavren_dadiza_reader_search_with_roaring_filter(reader, queries + q * D, params, f->filter,
                                                            f->filter_len, ids[FILTERED_SINGLE] + q * TOP_K,
                                                            dist[FILTERED_SINGLE] + q * TOP_K, TOP_K) != 0)
            return -1;
    }
    return 0;
}

static int same_results(const File *f, int64_t ids[SEARCHES][NQ * TOP_K], float dist[SEARCHES][NQ * TOP_K]) {
    size_t s;
    for (s = 0; s < SEARCHES; ++s) {
        const size_t len = s < SINGLE ? NQ * TOP_K : SINGLES * TOP_K;
        if (memcmp(ids[s], f->want_ids[s], len * sizeof(int64_t)) != 0) return 0;
        if (memcmp(dist[s], f->want_dist[s], len * sizeof(float)) != 0) return 0;
    }
    return 1;
}

static void *worker_main(void *arg) {
    Worker *w = (Worker *)arg;
    int64_t(*ids)[NQ * TOP_K] = (int64_t(*)[NQ * TOP_K])host_alloc(SEARCHES * NQ * TOP_K * sizeof(int64_t));
    float(*dist)[NQ * TOP_K] = (float(*)[NQ * TOP_K])host_alloc(SEARCHES * NQ * TOP_K * sizeof(float));
    File *f = &files[w->index % METRICS];
    TavrenDadizaReaderHandle *reader = tavren_dadiza_reader_open(capped_input(&f->source));
    int round;
    if (reader == NULL) {
        snprintf(w->message, sizeof w->message, "thread %d: open: %s", w->index, host_last_error());
        ++w->failures;
        free(ids);
        free(dist);
        return NULL;
    }
    for (round = 0; round < rounds; ++round) {
        if (run_round(f, reader, ids, dist) != 0) {
            snprintf(w->message, sizeof w->message, "thread %d round %d: %s", w->index, round, host_last_error());
            ++w->failures;
        } else if (!same_results(f, ids, dist)) {
            snprintf(w->message, sizeof w->message, "thread %d round %d: results differ", w->index, round);
            ++w->failures;
        }
    }
    tavren_dadiza_reader_free(reader);
    free(ids);
    free(dist);
    return NULL;
}

static int prepare_file(File *f, uint32_t metric, uint64_t seed) {
    float *data = (float *)host_alloc((size_t)N * D * sizeof(float));
    int64_t *ids = (int64_t *)host_alloc(N * sizeof(int64_t));
    uint64_t *values = (uint64_t *)host_alloc(N * sizeof(uint64_t));
    TavrenDadizaReaderHandle *reader;
    size_t i, count = 0;
    int rc;
    memset(f, 0, sizeof *f);
    f->metric = metric;
    host_fill(data, (size_t)N * D, seed);
    for (i = 0; i < N; ++i) ids[i] = (int64_t)(i * 7 + 3);
    for (i = 0; i < N; i += 3) values[count++] = (uint64_t)ids[i]; /* ascending */
    f->filter_len = roaring_bytes(values, count, &f->filter);
    rc = build_ivfflat(metric, D, NLIST, data, ids, N, &f->file);
    if (rc == 0) {
        f->source.bytes = f->file.bytes;
        f->source.len = f->file.len;
        /* The sequential reference: one reader on this thread. */
        reader = tavren_dadiza_reader_open(capped_input(&f->source));
        rc = reader == NULL ? -1 : run_round(f, reader, f->want_ids, f->want_dist);
        tavren_dadiza_reader_free(reader);
        if (rc != 0) fprintf(stderr, "reference searches: %s\n", host_last_error());
    }
    if (rc == 0) {
        /* Every list probed: the batch is the brute-force top-k. */
        float *stored = stored_rows(metric, data, N, D);
        int64_t want_ids[TOP_K];
        float want_dist[TOP_K];
        size_t q;
        for (q = 0; q < NQ; q += 9) {
            brute_force(metric, D, stored, ids, N, queries + q * D, NULL, NULL, TOP_K, want_ids, want_dist);
            host_failures += compare_result("batch against brute force", f->want_ids[BATCH] + q * TOP_K,
                                            f->want_dist[BATCH] + q * TOP_K, want_ids, want_dist, TOP_K);
        }
        free(stored);
    }
    free(data);
    free(ids);
    free(values);
    return rc;
}

int main(void) {
    static const int thread_counts[3] = {2, 4, 8};
    const char *env_rounds = getenv("TD_HOST_THREADS_ROUNDS");
    FILE *captured;
    int saved_stderr, i;
    long captured_len;
    if (env_rounds != NULL && atoi(env_rounds) > 0) rounds = atoi(env_rounds);
    host_fill(queries, NQ * D, 991);
    for (i = 0; i < METRICS; ++i) {
        /* l2 and cosine (the query normalisation on every search). */
        if (prepare_file(&files[i], i == 0 ? 0u : 2u, (uint64_t)(40 + i)) != 0) return 1;
    }
    if (host_failures != 0) return 1;

    /* Standard error goes to a file while the threads run: the library must
     * write nothing there. */
    fflush(stderr);
    captured = tmpfile();
    saved_stderr = dup(2);
    if (captured == NULL || saved_stderr < 0 || dup2(fileno(captured), 2) < 0) {
        fprintf(stderr, "cannot capture stderr\n");
        return 2;
    }
    {
        int failed = 0;
        for (i = 0; i < 3; ++i) {
            char label[32];
            snprintf(label, sizeof label, "%d host threads: ", thread_counts[i]);
            failed += run_workers(thread_counts[i], worker_main, label);
        }
        fflush(stderr);
        dup2(saved_stderr, 2);
        close(saved_stderr);
        fseek(captured, 0, SEEK_END);
        captured_len = ftell(captured);
        if (captured_len > 0) {
            char text[1024];
            size_t got;
            rewind(captured);
            got = fread(text, 1, sizeof text - 1, captured);
            text[got] = '\0';
            fprintf(stderr, "the run wrote %ld bytes to stderr:\n%s\n", captured_len, text);
            ++host_failures;
        }
        host_failures += failed;
    }
    fclose(captured);
    for (i = 0; i < METRICS; ++i) {
        free(files[i].file.bytes);
        free(files[i].filter);
    }
    if (host_failures != 0) return 1;
    printf("search host threads: all checks passed\n");
    return 0;
}
