/* A C99 host runs DiskANN batches on several readers from several threads at
 * once: every thread owns its readers (calls on one handle never overlap),
 * the readers of one file share the host's read callback and user data, and
 * through them the library's pool, while each reader's batches run on worker
 * sessions that meet in its shared window caches. Batches small enough for
 * whole-query sessions and large enough for the streaming rerank, warm-up and
 * calibration interleave; every batch must equal the single searches made on
 * the main thread beforehand. Built with ThreadSanitizer by scripts/tsan-check. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_workers.h"
/* The shared host helpers include brute force and filters this host does not need. */
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include "search_host.h"

#define FILES 2
#define THREADS 6
#define ROUNDS 4
#define NQ 48
#define SMALL 8 /* a batch that stays in whole-query sessions */
#define TOP_K 5
#define D 16
#define N 1500
#define L_SEARCH 60

typedef struct {
    ByteBuf file;
    MemSource source; /* shared by every reader of this file */
    float queries[NQ * D];
    int64_t want_ids[NQ * TOP_K];
    float want_dist[NQ * TOP_K];
} File;

static File files[FILES];

/* A latency hint fixes the read profile, and with it the beam width, for
 * every reader: a measured header read (slow under a sanitizer, or on a busy
 * machine) could choose another profile and other, equally valid, answers. */
static FfiInputFile hinted_input(MemSource *s) {
    FfiInputFile input = source_input(s);
    input.read_latency_ns = 1000;
    return input;
}

static FfiSearchParams explicit_width(void) {
    FfiSearchParams p;
    p.top_k = TOP_K;
    p.width_type = TAVREN_DADIZA_WIDTH_L_SEARCH;
    p.width = L_SEARCH;
    return p;
}

/* One round on `reader`: warm-up, the two batch shapes, a calibration.
 * Returns a description of the first difference, or NULL. */
static const char *run_round(const File *f, TavrenDadizaReaderHandle *reader) {
    static const size_t shapes[2] = {NQ, SMALL};
    int64_t ids[NQ * TOP_K];
    float dist[NQ * TOP_K];
    uint64_t l = 0;
    int s;
    if (tavren_dadiza_reader_warmup_queries(reader, f->queries, 2, 0) != 0) return "warmup";
    for (s = 0; s < 2; ++s) {
        const size_t nq = shapes[s];
        if (tavren_dadiza_reader_search_batch(reader, f->queries, nq, explicit_width(), ids, dist, NQ * TOP_K) != 0)
            return "batch failed";
        if (memcmp(ids, f->want_ids, nq * TOP_K * sizeof(int64_t)) != 0 ||
            memcmp(dist, f->want_dist, nq * TOP_K * sizeof(float)) != 0)
            return "batch differs from the single searches";
    }
    if (tavren_dadiza_reader_calibrate_search_width(reader, f->queries, NQ, TOP_K, &l) != 0) return "calibration";
    if (l != 100 && l != 200 && l != 400) return "calibrated width";
    return NULL;
}

static void *worker_main(void *arg) {
    Worker *w = (Worker *)arg;
    TavrenDadizaReaderHandle *readers[FILES];
    int i, round;
    for (i = 0; i < FILES; ++i) {
        readers[i] = tavren_dadiza_reader_open(hinted_input(&files[(w->index + i) % FILES].source));
        if (readers[i] == NULL) {
            snprintf(w->message, sizeof w->message, "open: %s", host_last_error());
            ++w->failures;
            return NULL;
        }
    }
    for (round = 0; round < ROUNDS; ++round) {
        for (i = 0; i < FILES; ++i) {
            const char *what = run_round(&files[(w->index + i) % FILES], readers[i]);
            if (what != NULL) {
                snprintf(w->message, sizeof w->message, "thread %d round %d file %d: %s (%s)", w->index, round,
                         (w->index + i) % FILES, what, host_last_error());
                ++w->failures;
            }
        }
        /* A reader opened and freed while the others run their batches. */
        if (round == 1) {
            tavren_dadiza_reader_free(readers[0]);
            readers[0] = tavren_dadiza_reader_open(hinted_input(&files[w->index % FILES].source));
            if (readers[0] == NULL) {
                snprintf(w->message, sizeof w->message, "reopen: %s", host_last_error());
                ++w->failures;
                break;
            }
        }
    }
    for (i = 0; i < FILES; ++i) tavren_dadiza_reader_free(readers[i]);
    return NULL;
}

/* A DiskANN trainer over all rows and its writer (train_index passes nlist,
 * which DiskANN refuses). NULL with the reason printed on failure. */
static TavrenDadizaWriterHandle *train_diskann(const char *layout, const float *data) {
    const char *keys[5] = {"index.type", "dimension", "metric", "pq.m", "diskann.storage-layout"};
    const char *values[5] = {"diskann", "16", "l2", "8", NULL};
    TavrenDadizaTrainerHandle *trainer;
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer = NULL;
    values[4] = layout;
    trainer = tavren_dadiza_trainer_open(keys, values, 5);
    if (trainer == NULL || tavren_dadiza_trainer_add_training_vectors(trainer, data, N) != 0) {
        fprintf(stderr, "trainer: %s\n", host_last_error());
        tavren_dadiza_trainer_free(trainer);
        return NULL;
    }
    training = tavren_dadiza_trainer_finish(trainer);
    tavren_dadiza_trainer_free(trainer);
    if (training != NULL) writer = tavren_dadiza_writer_open(training);
    tavren_dadiza_training_free(training);
    if (writer == NULL) fprintf(stderr, "train: %s\n", host_last_error());
    return writer;
}

static int prepare_file(File *f, const char *layout, uint64_t seed) {
    float *data = (float *)host_alloc(N * D * sizeof(float));
    int64_t *ids = (int64_t *)host_alloc(N * sizeof(int64_t));
    TavrenDadizaWriterHandle *writer;
    TavrenDadizaReaderHandle *reader;
    size_t i;
    int rc = -1;
    memset(f, 0, sizeof *f);
    host_fill(data, N * D, seed);
    for (i = 0; i < N; ++i) ids[i] = (int64_t)(i * 7 + seed);
    host_fill(f->queries, NQ * D, seed * 31 + 7);
    writer = train_diskann(layout, data);
    if (writer != NULL && write_ivfflat(writer, data, ids, N, &f->file) == 0) {
        f->source.bytes = f->file.bytes;
        f->source.len = f->file.len;
        reader = tavren_dadiza_reader_open(hinted_input(&f->source));
        rc = reader == NULL ? -1 : 0;
        for (i = 0; rc == 0 && i < NQ; ++i) {
            rc = tavren_dadiza_reader_search(reader, f->queries + i * D, explicit_width(), f->want_ids + i * TOP_K,
                                             f->want_dist + i * TOP_K, TOP_K);
        }
        tavren_dadiza_reader_free(reader);
    }
    free(data);
    free(ids);
    return rc;
}

int main(void) {
    static const char *layouts[FILES] = {"compact", "interleaved"};
    int i;
    for (i = 0; i < FILES; ++i) {
        if (prepare_file(&files[i], layouts[i], (uint64_t)(300 + i)) != 0) {
            fprintf(stderr, "file %d: %s\n", i, host_last_error());
            return 1;
        }
    }
    host_failures += run_workers(THREADS, worker_main, "");
    for (i = 0; i < FILES; ++i) free(files[i].file.bytes);
    if (host_failures != 0) return 1;
    printf("diskann batch threads: all checks passed\n");
    return 0;
}
