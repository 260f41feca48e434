/* A C99 host builds the same IVF-FLAT index twice through the exports, once
 * with exact coarse assignment ("ivf.coarse-assignment" = "exact") and once
 * with the default, which assigns rows through a proximity graph over the
 * centroids when nlist * dimension reaches 1,000,000. The two indexes must
 * answer with recall@10 within noise of each other. The host prints the
 * training and adding times of both builds (they are not checked).
 *
 * Usage: c_coarse_graph [rows dimension nlist queries [training_rows]]
 * (defaults 400 10000 100 20, training on all rows) */
#define _POSIX_C_SOURCE 199309L
#include <time.h>

#include "search_host.h"

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* Rows near 8-dimensional latent points mapped to d dimensions: data of low
 * intrinsic dimension, as real embeddings are. */
static void clustered_rows(float *out, size_t n, size_t d, const float *map, uint64_t seed) {
    size_t i, j, k;
    uint64_t state = seed;
    float latent[8];
    for (i = 0; i < n; ++i) {
        for (k = 0; k < 8; ++k) latent[k] = 3.0f * host_rng_float(&state);
        for (j = 0; j < d; ++j) {
            float x = 0.02f * host_rng_float(&state);
            for (k = 0; k < 8; ++k) x += latent[k] * map[k * d + j];
            out[i * d + j] = x;
        }
    }
}

/* Builds an IVF-FLAT index over all rows (trained on the first train_n) with the
 * given coarse assignment; returns 0 and the file, with the seconds spent
 * training and adding plus writing. */
static int build(const char *assignment, size_t d, size_t nlist, const float *data, const int64_t *ids, size_t n,
                 size_t train_n, ByteBuf *out, double *train_s, double *add_s) {
    double start = now_seconds();
    TavrenDadizaWriterHandle *writer = train_ivfflat(0, d, nlist, "ivf.coarse-assignment", assignment, data, train_n);
    int rc;
    *train_s = now_seconds() - start;
    if (writer == NULL) return -1;
    start = now_seconds();
    rc = write_ivfflat(writer, data, ids, n, out);
    *add_s = now_seconds() - start;
    return rc;
}

/* Mean recall@10 of the index in `file` at nprobe against brute force. */
static double recall_at_10(ByteBuf *file, size_t d, const float *rows, const int64_t *ids, size_t n,
                           const float *queries, size_t nq, uint64_t nprobe) {
    MemSource source;
    TavrenDadizaReaderHandle *reader;
    FfiSearchParams params;
    int64_t got_ids[10], want_ids[10];
    float got_d[10], want_d[10];
    size_t q, i, j, hits = 0;
    memset(&source, 0, sizeof source);
    source.bytes = file->bytes;
    source.len = file->len;
    reader = tavren_dadiza_reader_open(source_input(&source));
    CHECK(reader != NULL, "reader_open: %s", host_last_error());
    if (reader == NULL) return 0.0;
    params.top_k = 10;
    params.width_type = 1;
    params.width = nprobe;
    for (q = 0; q < nq; ++q) {
        const float *query = queries + q * d;
        int rc = tavren_dadiza_reader_search(reader, query, params, got_ids, got_d, 10);
        CHECK(rc == 0, "search: %s", host_last_error());
        brute_force(0, d, rows, ids, n, query, NULL, NULL, 10, want_ids, want_d);
        for (i = 0; i < 10; ++i) {
            for (j = 0; j < 10; ++j) hits += got_ids[i] == want_ids[j] ? 1 : 0;
        }
    }
    tavren_dadiza_reader_free(reader);
    return (double)hits / (double)(10 * nq);
}

int main(int argc, char **argv) {
    size_t n = 400, d = 10000, nlist = 100, nq = 20, train_n = 0, i;
    float *map, *rows, *queries;
    int64_t *ids;
    ByteBuf exact_file, graph_file;
    double exact_train = 0, exact_add = 0, graph_train = 0, graph_add = 0, exact_recall, graph_recall;
    if (argc >= 5) {
        n = (size_t)strtoul(argv[1], NULL, 10);
        d = (size_t)strtoul(argv[2], NULL, 10);
        nlist = (size_t)strtoul(argv[3], NULL, 10);
        nq = (size_t)strtoul(argv[4], NULL, 10);
    }
    if (argc >= 6) train_n = (size_t)strtoul(argv[5], NULL, 10);
    if (train_n == 0 || train_n > n) train_n = n;
    map = (float *)host_alloc(8 * d * sizeof(float));
    rows = (float *)host_alloc(n * d * sizeof(float));
    queries = (float *)host_alloc(nq * d * sizeof(float));
    ids = (int64_t *)host_alloc(n * sizeof(int64_t));
    host_fill(map, 8 * d, 7);
    clustered_rows(rows, n, d, map, 11);
    clustered_rows(queries, nq, d, map, 13);
    for (i = 0; i < n; ++i) ids[i] = (int64_t)(1000 + 3 * i);
    memset(&exact_file, 0, sizeof exact_file);
    memset(&graph_file, 0, sizeof graph_file);

    CHECK(build("exact", d, nlist, rows, ids, n, train_n, &exact_file, &exact_train, &exact_add) == 0, "exact build");
    CHECK(build("auto", d, nlist, rows, ids, n, train_n, &graph_file, &graph_train, &graph_add) == 0, "graph build");
    if (host_failures == 0) {
        exact_recall = recall_at_10(&exact_file, d, rows, ids, n, queries, nq, 8);
        graph_recall = recall_at_10(&graph_file, d, rows, ids, n, queries, nq, 8);
        printf("rows %lu (training %lu), dimension %lu, nlist %lu: exact train %.3f s add+write %.3f s recall@10 %.4f; "
               "graph train %.3f s add+write %.3f s recall@10 %.4f\n",
               (unsigned long)n, (unsigned long)train_n, (unsigned long)d, (unsigned long)nlist, exact_train, exact_add, exact_recall,
               graph_train, graph_add, graph_recall);
        CHECK(exact_recall > 0.5, "exact recall %.4f", exact_recall);
        CHECK(graph_recall >= exact_recall - 0.03, "graph recall %.4f vs exact %.4f", graph_recall, exact_recall);
    }
    /* Shared helpers this host does not need. */
    (void)roaring_bytes;
    (void)compare_result;
    (void)stored_rows;
    (void)build_ivfflat;
    free(exact_file.bytes);
    free(graph_file.bytes);
    free(map);
    free(rows);
    free(queries);
    free(ids);
    if (host_failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", host_failures);
        return 1;
    }
    return 0;
}
