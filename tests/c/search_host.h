/* What the C search hosts share: an in-memory output sink and input source
 * over the public callbacks, a seeded generator, index building through the
 * trainer and writer exports, a brute-force search that computes distances
 * with the library's definitions and summation orders, and a writer of the
 * 64-bit Roaring filter bytes. Header-only (static functions), C99. */
#ifndef TAVREN_SEARCH_HOST_H
#define TAVREN_SEARCH_HOST_H

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavren_dadiza.h"

static int host_failures = 0;

#define CHECK(cond, ...)                                                   \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                  \
            fputc('\n', stderr);                                           \
            ++host_failures;                                               \
        }                                                                  \
    } while (0)

static void *host_alloc(size_t bytes) {
    void *p = malloc(bytes == 0 ? 1 : bytes);
    if (p == NULL) {
        fprintf(stderr, "out of memory\n");
        exit(2);
    }
    return p;
}

static const char *host_last_error(void) {
    const char *text = tavren_dadiza_last_error();
    return text == NULL ? "(null)" : text;
}

/* ---- Output sink and input source ------------------------------------------ */

typedef struct {
    uint8_t *bytes;
    size_t len;
    size_t cap;
} ByteBuf;

static int sink_write(void *user_data, const uint8_t *bytes, size_t len) {
    ByteBuf *b = (ByteBuf *)user_data;
    if (b->len + len > b->cap) {
        size_t cap = b->cap == 0 ? 4096 : b->cap;
        while (cap < b->len + len) cap *= 2;
        b->bytes = (uint8_t *)realloc(b->bytes, cap);
        if (b->bytes == NULL) return -1;
        b->cap = cap;
    }
    if (len != 0) memcpy(b->bytes + b->len, bytes, len);
    b->len += len;
    return 0;
}

/* A file in memory. Counters are updated atomically: the library may call the
 * callback from several threads at once. fail_len: a read of a range of
 * exactly this length fails (0 = never). */
typedef struct {
    const uint8_t *bytes;
    size_t len;
    uint64_t calls;
    uint64_t ranges;
    uint64_t fail_len;
    /* The range count of each of the first 64 calls (single-threaded use). */
    uint64_t call_ranges[64];
} MemSource;

static int source_read(void *user_data, const FfiReadRange *ranges, size_t count) {
    MemSource *s = (MemSource *)user_data;
    size_t i;
    uint64_t call = __atomic_fetch_add(&s->calls, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&s->ranges, (uint64_t)count, __ATOMIC_RELAXED);
    if (call < 64) s->call_ranges[call] = count;
    for (i = 0; i < count; ++i) {
        if (s->fail_len != 0 && ranges[i].len == s->fail_len) return -1;
        if (ranges[i].offset > s->len || ranges[i].len > s->len - ranges[i].offset) return -1;
        memcpy(ranges[i].buf, s->bytes + ranges[i].offset, (size_t)ranges[i].len);
    }
    return 0;
}

static FfiInputFile source_input(MemSource *s) {
    FfiInputFile input;
    memset(&input, 0, sizeof input);
    input.user_data = s;
    input.read_ranges_fn = source_read;
    return input;
}

/* ---- Generator -------------------------------------------------------------- */

static uint64_t host_rng_next(uint64_t *state) {
    /* SplitMix64 */
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/* Uniform in [-1, 1). */
static float host_rng_float(uint64_t *state) {
    return (float)((double)(host_rng_next(state) >> 11) / 9007199254740992.0 * 2.0 - 1.0);
}

static void host_fill(float *out, size_t count, uint64_t seed) {
    size_t i;
    uint64_t state = seed;
    for (i = 0; i < count; ++i) out[i] = host_rng_float(&state);
}

/* ---- Building ------------------------------------------------------------------ */

static const char *metric_name(uint32_t metric) {
    return metric == 0 ? "l2" : metric == 1 ? "inner_product" : "cosine";
}

/* Opens a trainer of `type` (an index.type value; with one more option pair
 * when extra_key is not NULL), trains on all rows and opens the writer. NULL
 * (with the reason printed) on failure. */
static TavrenDadizaWriterHandle *train_index(const char *type, uint32_t metric, size_t d, size_t nlist,
                                            const char *extra_key, const char *extra_value, const float *data,
                                            size_t n) {
    char dim[32], lists[32];
    const char *keys[5] = {"index.type", "dimension", "metric", "nlist", NULL};
    const char *values[5];
    TavrenDadizaTrainerHandle *trainer;
    TavrenDadizaTrainingHandle *training;
    TavrenDadizaWriterHandle *writer;
    snprintf(dim, sizeof dim, "%lu", (unsigned long)d);
    snprintf(lists, sizeof lists, "%lu", (unsigned long)nlist);
    values[0] = type;
    values[1] = dim;
    values[2] = metric_name(metric);
    values[3] = lists;
    keys[4] = extra_key;
    values[4] = extra_value;
    trainer = tavren_dadiza_trainer_open(keys, values, extra_key != NULL ? 5 : 4);
    if (trainer == NULL) {
        fprintf(stderr, "trainer_open: %s\n", host_last_error());
        return NULL;
    }
    if (tavren_dadiza_trainer_add_training_vectors(trainer, data, n) != 0) {
        fprintf(stderr, "add_training_vectors: %s\n", host_last_error());
        tavren_dadiza_trainer_free(trainer);
        return NULL;
    }
    training = tavren_dadiza_trainer_finish(trainer);
    tavren_dadiza_trainer_free(trainer);
    if (training == NULL) {
        fprintf(stderr, "trainer_finish: %s\n", host_last_error());
        return NULL;
    }
    writer = tavren_dadiza_writer_open(training);
    tavren_dadiza_training_free(training);
    if (writer == NULL) fprintf(stderr, "writer_open: %s\n", host_last_error());
    return writer;
}

__attribute__((unused)) static TavrenDadizaWriterHandle *train_ivfflat(uint32_t metric, size_t d, size_t nlist,
                                                                      const char *extra_key,
                                                                      const char *extra_value, const float *data,
                                                                      size_t n) {
    return train_index("ivf_flat", metric, d, nlist, extra_key, extra_value, data, n);
}

/* Adds the rows with their IDs, writes the file into *out and frees the
 * writer. Returns 0 or -1 (with the reason printed). */
static int write_ivfflat(TavrenDadizaWriterHandle *writer, const float *data, const int64_t *ids, size_t n,
                         ByteBuf *out) {
    FfiOutputCallbacks output;
    int rc = -1;
    memset(&output, 0, sizeof output);
    output.user_data = out;
    output.write_fn = sink_write;
    if (tavren_dadiza_writer_add_vectors(writer, ids, data, n) != 0) {
        fprintf(stderr, "add_vectors: %s\n", host_last_error());
    } else if (tavren_dadiza_writer_write_index(writer, output) != 0) {
        fprintf(stderr, "write_index: %s\n", host_last_error());
    } else {
        rc = 0;
    }
    tavren_dadiza_writer_free(writer);
    return rc;
}

/* Trains an index of `type` on all rows, adds them with their IDs, writes
 * the file into *out. Returns 0 or -1 (with the reason printed). */
static int build_index(const char *type, uint32_t metric, size_t d, size_t nlist, const float *data,
                       const int64_t *ids, size_t n, ByteBuf *out) {
    TavrenDadizaWriterHandle *writer = train_index(type, metric, d, nlist, NULL, NULL, data, n);
    if (writer == NULL) return -1;
    return write_ivfflat(writer, data, ids, n, out);
}

__attribute__((unused)) static int build_ivfflat(uint32_t metric, size_t d, size_t nlist, const float *data,
                                                 const int64_t *ids, size_t n, ByteBuf *out) {
    return build_index("ivf_flat", metric, d, nlist, data, ids, n, out);
}

/* ---- Distances with the library's summation orders ---------------------------- */

/* Lengths of at least 8 on an AVX2 processor: eight lane sums over full blocks,
 * reduced ((A0+A4)+(A2+A6))+((A1+A5)+(A3+A7)), then the tail in index order.
 * Otherwise one sum from +0.0 in index order. Each term rounded before it is
 * added; no fused multiply-add (the build turns contraction off). */
static int host_avx2 = -1;

static int use_lanes(size_t n) {
    if (host_avx2 < 0) {
        __builtin_cpu_init();
        host_avx2 = __builtin_cpu_supports("avx2") ? 1 : 0;
    }
    return host_avx2 && n >= 8;
}

enum { TERM_L2 = 0, TERM_IP = 1, TERM_SQ = 2 };

static float term(int kind, float a, float b) {
    float t;
    if (kind == TERM_L2) {
        t = a - b;
        return t * t;
    }
    if (kind == TERM_IP) return a * b;
    return a * a;
}

static float reduce(int kind, const float *a, const float *b, size_t n) {
    size_t i;
    float s;
    if (use_lanes(n)) {
        float lane[8];
        size_t j, blocks = n / 8;
        for (j = 0; j < 8; ++j) lane[j] = 0.0f;
        for (i = 0; i < blocks; ++i) {
            for (j = 0; j < 8; ++j) {
                float t = term(kind, a[i * 8 + j], b[i * 8 + j]);
                lane[j] = lane[j] + t;
            }
        }
        s = ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
        for (i = blocks * 8; i < n; ++i) s = s + term(kind, a[i], b[i]);
        return s;
    }
    s = 0.0f;
    for (i = 0; i < n; ++i) s = s + term(kind, a[i], b[i]);
    return s;
}

static void host_normalize(float *v, size_t n) {
    float s = reduce(TERM_SQ, v, v, n);
    float r, inv;
    size_t i;
    if (!(s > 0.0f)) return;
    r = sqrtf(s);
    inv = 1.0f / r;
    for (i = 0; i < n; ++i) v[i] = v[i] * inv;
}

/* The distance the IVF-FLAT scan reports for query q (already normalised under
 * cosine) and a stored row x (stored normalised under cosine). */
static float host_distance(uint32_t metric, const float *q, const float *x, size_t d) {
    if (metric == 0) return reduce(TERM_L2, q, x, d);
    if (metric == 1) return -reduce(TERM_IP, q, x, d);
    {
        float qn = sqrtf(reduce(TERM_SQ, q, q, d));
        float dd = sqrtf(reduce(TERM_SQ, x, x, d)) * qn;
        float ratio;
        if (!(dd > 0.0f)) return 1.0f;
        ratio = reduce(TERM_IP, q, x, d) / dd;
        return 1.0f - ratio;
    }
}

/* ---- Brute force ------------------------------------------------------------------ */

typedef struct {
    float distance;
    int64_t id;
} Hit;

static int hit_cmp(const void *pa, const void *pb) {
    const Hit *a = (const Hit *)pa;
    const Hit *b = (const Hit *)pb;
    if (a->distance < b->distance) return -1;
    if (a->distance > b->distance) return 1;
    return a->id < b->id ? -1 : a->id > b->id ? 1 : 0;
}

/* The exact top_k of query among rows (stored as the index stores them:
 * normalised under cosine) whose ID `allowed` accepts (NULL: all), padded with
 * (-1, FLT_MAX). */
static void brute_force(uint32_t metric, size_t d, const float *stored, const int64_t *ids, size_t n,
                        const float *query, int (*allowed)(void *, int64_t), void *allowed_data, size_t top_k,
                        int64_t *out_ids, float *out_distances) {
    Hit *hits = (Hit *)host_alloc(n * sizeof(Hit));
    float *q = (float *)host_alloc(d * sizeof(float));
    size_t i, m = 0;
    memcpy(q, query, d * sizeof(float));
    if (metric == 2) host_normalize(q, d);
    for (i = 0; i < n; ++i) {
        if (allowed != NULL && !allowed(allowed_data, ids[i])) continue;
        hits[m].distance = host_distance(metric, q, stored + i * d, d);
        hits[m].id = ids[i];
        ++m;
    }
    qsort(hits, m, sizeof(Hit), hit_cmp);
    for (i = 0; i < top_k; ++i) {
        out_ids[i] = i < m ? hits[i].id : -1;
        out_distances[i] = i < m ? hits[i].distance : 3.4028235e38f;
    }
    free(hits);
    free(q);
}

/* Rows as an index of `metric` stores them. */
static float *stored_rows(uint32_t metric, const float *data, size_t n, size_t d) {
    float *out = (float *)host_alloc(n * d * sizeof(float));
    size_t i;
    memcpy(out, data, n * d * sizeof(float));
    if (metric == 2) {
        for (i = 0; i < n; ++i) host_normalize(out + i * d, d);
    }
    return out;
}

/* Compares one query's result with the expected one: distances bit for bit;
 * IDs equal wherever the distance is not tied with a neighbour (the result
 * heap does not order equal distances by ID). Returns the mismatch count. */
static int compare_result(const char *what, const int64_t *ids, const float *dist, const int64_t *want_ids,
                          const float *want_dist, size_t top_k) {
    size_t i;
    int bad = 0;
    for (i = 0; i < top_k; ++i) {
        int tied = (i > 0 && want_dist[i - 1] == want_dist[i]) || (i + 1 < top_k && want_dist[i + 1] == want_dist[i]);
        if (memcmp(&dist[i], &want_dist[i], sizeof(float)) != 0 || (!tied && ids[i] != want_ids[i])) {
            if (bad < 3) {
                fprintf(stderr, "%s: position %lu: got (%lld, %.9g), want (%lld, %.9g)\n", what, (unsigned long)i,
                        (long long)ids[i], dist[i], (long long)want_ids[i], want_dist[i]);
            }
            ++bad;
        }
    }
    return bad;
}

/* ---- Roaring filter bytes ----------------------------------------------------------- */

/* The portable serialisation of a 64-bit Roaring bitmap holding the sorted,
 * distinct `values`: a u64 bitmap count, then per high key a u32 key and a
 * 32-bit bitmap of array containers (cookie 12346, container count, key and
 * cardinality - 1 per container, u32 offsets, the u16 values). Containers
 * hold at most 4096 values here. Returns the byte count; *out is malloc'ed. */
static void put_u16(ByteBuf *b, uint16_t v) { sink_write(b, (const uint8_t *)&v, 2); }
static void put_u32(ByteBuf *b, uint32_t v) { sink_write(b, (const uint8_t *)&v, 4); }
static void put_u64(ByteBuf *b, uint64_t v) { sink_write(b, (const uint8_t *)&v, 8); }

static size_t roaring_bytes(const uint64_t *values, size_t count, uint8_t **out) {
    ByteBuf b = {NULL, 0, 0};
    size_t i = 0;
    uint64_t bitmaps = 0;
    size_t k;
    for (k = 0; k < count; ++k) {
        if (k == 0 || (values[k] >> 32) != (values[k - 1] >> 32)) ++bitmaps;
    }
    put_u64(&b, bitmaps);
    while (i < count) {
        uint32_t high = (uint32_t)(values[i] >> 32);
        size_t end = i, c, containers = 0, first, offset;
        while (end < count && (uint32_t)(values[end] >> 32) == high) ++end;
        for (k = i; k < end; ++k) {
            if (k == i || ((values[k] >> 16) & 0xFFFF) != ((values[k - 1] >> 16) & 0xFFFF)) ++containers;
        }
        put_u32(&b, high);
        put_u32(&b, 12346u);
        put_u32(&b, (uint32_t)containers);
        first = i;
        for (c = 0; c < containers; ++c) {
            uint16_t key = (uint16_t)((values[first] >> 16) & 0xFFFF);
            size_t last = first;
            while (last < end && (uint16_t)((values[last] >> 16) & 0xFFFF) == key) ++last;
            put_u16(&b, key);
            put_u16(&b, (uint16_t)(last - first - 1));
            first = last;
        }
        offset = 8 + containers * 4 + containers * 4;
        first = i;
        for (c = 0; c < containers; ++c) {
            uint16_t key = (uint16_t)((values[first] >> 16) & 0xFFFF);
            size_t last = first;
            while (last < end && (uint16_t)((values[last] >> 16) & 0xFFFF) == key) ++last;
            put_u32(&b, (uint32_t)offset);
            offset += (last - first) * 2;
            first = last;
        }
        for (k = i; k < end; ++k) put_u16(&b, (uint16_t)(values[k] & 0xFFFF));
        i = end;
    }
    *out = b.bytes;
    return b.len;
}

#endif /* TAVREN_SEARCH_HOST_H */
