/* The README's usage example: build an IVF-FLAT index, write it to memory,
 * open it and search it, all through the C interface. Kept as a test so the
 * example always compiles and runs. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavren_dadiza.h"

/* A growable in-memory file: the write callback appends, the read callback
 * serves ranges from it. */
typedef struct {
    uint8_t *bytes;
    size_t len, cap;
} MemFile;

static int mem_write(void *user, const uint8_t *bytes, size_t len) {
    MemFile *f = (MemFile *)user;
    if (f->len + len > f->cap) {
        size_t cap = f->cap ? f->cap * 2 : 4096;
        while (cap < f->len + len) cap *= 2;
        uint8_t *grown = (uint8_t *)realloc(f->bytes, cap);
        if (!grown) return -1;
        f->bytes = grown;
        f->cap = cap;
    }
    if (len) memcpy(f->bytes + f->len, bytes, len);
    f->len += len;
    return 0;
}

static int mem_read(void *user, const FfiReadRange *ranges, size_t count) {
    const MemFile *f = (const MemFile *)user;
    for (size_t i = 0; i < count; i++) {
        if (ranges[i].offset > f->len || ranges[i].len > f->len - ranges[i].offset) return -1;
        memcpy(ranges[i].buf, f->bytes + ranges[i].offset, ranges[i].len);
    }
    return 0;
}

/* Deterministic values in [0, 1) (SplitMix64 finaliser). */
static float pseudo_random(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return (float)((x ^ (x >> 31)) >> 40) / 16777216.0f;
}

static int fail(const char *what) {
    fprintf(stderr, "%s: %s\n", what, tavren_dadiza_last_error());
    return 1;
}

int main(void) {
    enum { DIM = 16, N = 2000, TOP_K = 5 };
    float *data = (float *)malloc(sizeof(float) * N * DIM);
    int64_t *ids = (int64_t *)malloc(sizeof(int64_t) * N);
    for (size_t i = 0; i < N; i++) {
        ids[i] = (int64_t)(1000 + i);
        for (size_t j = 0; j < DIM; j++) data[i * DIM + j] = pseudo_random(i * DIM + j);
    }

    /* 1. Train: options are string pairs. */
    const char *keys[] = {"index.type", "dimension", "metric", "nlist"};
    const char *values[] = {"ivf_flat", "16", "l2", "32"};
    TavrenDadizaTrainerHandle *trainer = tavren_dadiza_trainer_open(keys, values, 4);
    if (!trainer) return fail("trainer_open");
    if (tavren_dadiza_trainer_add_training_vectors(trainer, data, N) != 0) return fail("add training vectors");
    TavrenDadizaTrainingHandle *trained = tavren_dadiza_trainer_finish(trainer);
    tavren_dadiza_trainer_free(trainer); /* emptied by finish, still freed */
    if (!trained) return fail("trainer_finish");

    /* 2. Add the rows with their IDs and write the file through callbacks. */
    TavrenDadizaWriterHandle *writer = tavren_dadiza_writer_open(trained);
    tavren_dadiza_training_free(trained);
    if (!writer) return fail("writer_open");
    if (tavren_dadiza_writer_add_vectors(writer, ids, data, N) != 0) return fail("add_vectors");
    MemFile file = {0};
    FfiOutputCallbacks out = {&file, mem_write, NULL, NULL};
    if (tavren_dadiza_writer_write_index(writer, out) != 0) return fail("write_index");
    tavren_dadiza_writer_free(writer);

    /* 3. Open the file through a read callback and search it. */
    FfiInputFile in = {&file, mem_read, 0, 0, 0};
    TavrenDadizaReaderHandle *reader = tavren_dadiza_reader_open(in);
    if (!reader) return fail("reader_open");
    FfiSearchParams params = {TOP_K, TAVREN_DADIZA_WIDTH_NPROBE, 8};
    int64_t out_ids[TOP_K];
    float out_distances[TOP_K];
    if (tavren_dadiza_reader_search(reader, data + 7 * DIM, params, out_ids, out_distances, TOP_K) != 0)
        return fail("search");
    for (int i = 0; i < TOP_K; i++) printf("%lld %g\n", (long long)out_ids[i], out_distances[i]);
    tavren_dadiza_reader_free(reader);

    /* Row 7 was added with ID 1007: it is its own nearest neighbour. */
    int ok = out_ids[0] == 1007 && out_distances[0] == 0.0f;
    free(file.bytes);
    free(data);
    free(ids);
    return ok ? 0 : 1;
}
