/* A test-side parser of IVF-FLAT files, written from the byte layout alone
 * and sharing no code with the library: it checks every header byte, the
 * offset table against the running payload positions, each list's ID block
 * (base, length, canonical LEB128 gaps starting with 0, non-decreasing IDs)
 * and the file length, and hands back the decoded lists.
 * C99 and C++; header-only (static functions). */
#ifndef TAVREN_TESTS_IVFFLAT_FILE_CHECK_H
#define TAVREN_TESTS_IVFFLAT_FILE_CHECK_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__GNUC__)
#define IVFC_MAYBE_UNUSED __attribute__((unused))
#else
#define IVFC_MAYBE_UNUSED
#endif

typedef struct IvfFlatCheckList {
    int64_t offset;          /* as stored in the table */
    int32_t count;
    int32_t id_bytes_len;
    int64_t *ids;            /* count decoded IDs (malloc'd; NULL when count is 0) */
    const uint8_t *rows;     /* count * dimension little-endian f32, inside the file */
} IvfFlatCheckList;

typedef struct IvfFlatCheckFile {
    uint32_t dimension;
    uint32_t nlist;
    uint32_t metric;
    uint64_t total;
    const uint8_t *centroids; /* nlist * dimension f32, inside the file */
    uint64_t table_at;
    uint64_t data_start;
    IvfFlatCheckList *lists;  /* nlist entries (malloc'd) */
    char error[256];
} IvfFlatCheckFile;

static uint32_t ivfc_u32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static uint64_t ivfc_u64(const uint8_t *p) { return (uint64_t)ivfc_u32(p) | ((uint64_t)ivfc_u32(p + 4) << 32); }

static float ivfc_f32(const uint8_t *p) {
    uint32_t bits = ivfc_u32(p);
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

/* Value k of row r of a list. */
IVFC_MAYBE_UNUSED static float ivfc_row_value(const IvfFlatCheckFile *f, const IvfFlatCheckList *l, size_t r, size_t k) {
    return ivfc_f32(l->rows + 4 * (r * f->dimension + k));
}
IVFC_MAYBE_UNUSED static float ivfc_centroid_value(const IvfFlatCheckFile *f, size_t list, size_t k) {
    return ivfc_f32(f->centroids + 4 * (list * f->dimension + k));
}

static void ivfc_free(IvfFlatCheckFile *f) {
    uint32_t j;
    if (f->lists != NULL) {
        for (j = 0; j < f->nlist; ++j) free(f->lists[j].ids);
        free(f->lists);
    }
    f->lists = NULL;
}

#define IVFC_FAIL(...)                                             \
    do {                                                           \
        snprintf(f->error, sizeof f->error, __VA_ARGS__);          \
        ivfc_free(f);                                              \
        return -1;                                                 \
    } while (0)

/* 0 on success (free with ivfc_free), -1 with f->error set. */
static int ivfc_parse(const uint8_t *bytes, uint64_t len, IvfFlatCheckFile *f) {
    uint64_t running, total = 0, k;
    uint32_t j;
    int32_t d, nlist;
    memset(f, 0, sizeof *f);
    if (len < 64) IVFC_FAIL("file of %llu bytes is shorter than the header", (unsigned long long)len);
    if (bytes[0] != 0x4C || bytes[1] != 0x46 || bytes[2] != 0x56 || bytes[3] != 0x49) IVFC_FAIL("bad magic bytes");
    if (ivfc_u32(bytes + 4) != 1) IVFC_FAIL("version %u", ivfc_u32(bytes + 4));
    d = (int32_t)ivfc_u32(bytes + 8);
    nlist = (int32_t)ivfc_u32(bytes + 12);
    if (d < 1 || nlist < 1) IVFC_FAIL("dimension %d / nlist %d", d, nlist);
    f->dimension = (uint32_t)d;
    f->nlist = (uint32_t)nlist;
    f->metric = ivfc_u32(bytes + 16);
    if (f->metric > 2) IVFC_FAIL("metric %u", f->metric);
    f->total = ivfc_u64(bytes + 20);
    if (ivfc_u32(bytes + 28) != 1) IVFC_FAIL("flags %u", ivfc_u32(bytes + 28));
    for (k = 32; k < 64; ++k) {
        if (bytes[k] != 0) IVFC_FAIL("reserved byte %llu is %u", (unsigned long long)k, bytes[k]);
    }
    if ((uint64_t)f->nlist * f->dimension > 1073741824ull) IVFC_FAIL("centroid section too large");
    f->centroids = bytes + 64;
    f->table_at = 64 + 4ull * f->nlist * f->dimension;
    f->data_start = f->table_at + 16ull * f->nlist;
    if (len < f->data_start) IVFC_FAIL("file ends inside the offset table");
    f->lists = (IvfFlatCheckList *)calloc(f->nlist, sizeof(IvfFlatCheckList));
    if (f->lists == NULL) IVFC_FAIL("out of memory");

    running = f->data_start;
    for (j = 0; j < f->nlist; ++j) {
        const uint8_t *e = bytes + f->table_at + 16ull * j;
        IvfFlatCheckList *l = &f->lists[j];
        const uint8_t *p, *end;
        uint64_t payload, prev;
        int32_t r;
        l->offset = (int64_t)ivfc_u64(e);
        l->count = (int32_t)ivfc_u32(e + 8);
        l->id_bytes_len = (int32_t)ivfc_u32(e + 12);
        if (l->offset < 0 || (uint64_t)l->offset != running) {
            IVFC_FAIL("list %u offset %lld, running position %llu", j, (long long)l->offset,
                      (unsigned long long)running);
        }
        if (l->count < 0 || l->id_bytes_len < 0) IVFC_FAIL("list %u negative count or length", j);
        if (l->count == 0) {
            if (l->id_bytes_len != 0) IVFC_FAIL("empty list %u has ID bytes", j);
            continue;
        }
        if (l->id_bytes_len < l->count) IVFC_FAIL("list %u: %d ID bytes for %d rows", j, l->id_bytes_len, l->count);
        payload = 12 + (uint64_t)l->id_bytes_len + 4ull * f->dimension * (uint64_t)l->count;
        if (len < running || len - running < payload) IVFC_FAIL("list %u payload runs past the end", j);
        p = bytes + running;
        if ((int32_t)ivfc_u32(p + 8) != l->id_bytes_len) IVFC_FAIL("list %u ID length differs from the table", j);
        l->ids = (int64_t *)malloc(sizeof(int64_t) * (size_t)l->count);
        if (l->ids == NULL) IVFC_FAIL("out of memory");
        prev = ivfc_u64(p);
        end = p + 12 + l->id_bytes_len;
        p += 12;
        for (r = 0; r < l->count; ++r) {
            uint64_t gap = 0;
            unsigned shift = 0, used = 0;
            for (;;) {
                uint8_t b;
                if (p == end) IVFC_FAIL("list %u: ID section ends inside row %d", j, r);
                b = *p++;
                ++used;
                if (used == 10 && b > 1) IVFC_FAIL("list %u: gap beyond 64 bits", j);
                gap |= (uint64_t)(b & 0x7F) << shift;
                if ((b & 0x80) == 0) {
                    if (used > 1 && b == 0) IVFC_FAIL("list %u: non-canonical gap at row %d", j, r);
                    break;
                }
                if (used == 10) IVFC_FAIL("list %u: gap longer than 10 bytes", j);
                shift += 7;
            }
            if (r == 0 && gap != 0) IVFC_FAIL("list %u: first gap is %llu", j, (unsigned long long)gap);
            if (r > 0 && (int64_t)(prev + gap) < (int64_t)prev) IVFC_FAIL("list %u: IDs decrease at row %d", j, r);
            prev += gap;
            l->ids[r] = (int64_t)prev;
        }
        if (p != end) IVFC_FAIL("list %u: %ld bytes left after the last gap", j, (long)(end - p));
        l->rows = end;
        total += (uint64_t)l->count;
        running += payload;
    }
    if (total != f->total) IVFC_FAIL("header total %llu, lists hold %llu", (unsigned long long)f->total,
                                     (unsigned long long)total);
    if (running != len) IVFC_FAIL("file is %llu bytes, payloads end at %llu", (unsigned long long)len,
                                  (unsigned long long)running);
    return 0;
}

#undef IVFC_FAIL

#endif /* TAVREN_TESTS_IVFFLAT_FILE_CHECK_H */
