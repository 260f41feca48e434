/* A test-side parser of IVF-SQ files, written from the byte layout alone and
 * sharing no code with the library: it checks every header field (the bounds
 * summary against the global bounds, bit for bit), the bounds, the offset
 * table against the running payload positions, each list's 32-row blocked
 * codes and ID block (base, length, canonical LEB128 gaps starting with 0,
 * non-decreasing IDs) and the file length, and hands back each list's IDs and
 * its codes unblocked into row-major order.
 * C99 and C++; header-only (static functions). */
#ifndef TAVREN_TESTS_IVFSQ_FILE_CHECK_H
#define TAVREN_TESTS_IVFSQ_FILE_CHECK_H

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__GNUC__)
#define IVSC_MAYBE_UNUSED __attribute__((unused))
#else
#define IVSC_MAYBE_UNUSED
#endif

typedef struct IvfSqCheckList {
    int64_t offset;        /* as stored in the table */
    int32_t count;
    int32_t id_bytes_len;
    int64_t *ids;          /* count decoded IDs (malloc'd; NULL when count is 0) */
    uint8_t *codes;        /* count * dimension codes, row-major (malloc'd; NULL when count is 0) */
    const uint8_t *blocked; /* the codes as stored, inside the file */
} IvfSqCheckList;

typedef struct IvfSqCheckFile {
    uint32_t dimension;
    uint32_t nlist;
    uint32_t metric;
    int64_t total;
    float summary_min;
    float summary_max;
    const uint8_t *global_mins; /* dimension f32 each, inside the file */
    const uint8_t *global_maxs;
    const uint8_t *list_bounds; /* per list: dimension mins, then dimension maxs */
    const uint8_t *centroids;   /* nlist * dimension f32 */
    uint64_t table_at;
    uint64_t data_start;        /* in file bytes (from the file's first byte) */
    IvfSqCheckList *lists;      /* nlist entries (malloc'd) */
    char error[256];
} IvfSqCheckFile;

static uint32_t ivsc_u32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static uint64_t ivsc_u64(const uint8_t *p) { return (uint64_t)ivsc_u32(p) | ((uint64_t)ivsc_u32(p + 4) << 32); }
static float ivsc_f32(const uint8_t *p) {
    uint32_t bits = ivsc_u32(p);
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

IVSC_MAYBE_UNUSED static float ivsc_global_min(const IvfSqCheckFile *f, size_t k) { return ivsc_f32(f->global_mins + 4 * k); }
IVSC_MAYBE_UNUSED static float ivsc_global_max(const IvfSqCheckFile *f, size_t k) { return ivsc_f32(f->global_maxs + 4 * k); }
IVSC_MAYBE_UNUSED static float ivsc_list_min(const IvfSqCheckFile *f, size_t list, size_t k) {
    return ivsc_f32(f->list_bounds + 4 * (2 * list * f->dimension + k));
}
IVSC_MAYBE_UNUSED static float ivsc_list_max(const IvfSqCheckFile *f, size_t list, size_t k) {
    return ivsc_f32(f->list_bounds + 4 * ((2 * list + 1) * f->dimension + k));
}
IVSC_MAYBE_UNUSED static float ivsc_centroid_value(const IvfSqCheckFile *f, size_t list, size_t k) {
    return ivsc_f32(f->centroids + 4 * (list * f->dimension + k));
}
/* The reconstruction of code k of row r of a list: (centroid + min) + code * step. */
IVSC_MAYBE_UNUSED static float ivsc_decode(const IvfSqCheckFile *f, size_t list, size_t r, size_t k) {
    const float lo = ivsc_list_min(f, list, k), hi = ivsc_list_max(f, list, k);
    const float step = (hi - lo) * (1.0f / 255.0f);
    return (ivsc_centroid_value(f, list, k) + lo) + (float)f->lists[list].codes[r * f->dimension + k] * step;
}

IVSC_MAYBE_UNUSED static void ivsc_free(IvfSqCheckFile *f) {
    uint32_t i;
    if (f->lists != NULL) {
        for (i = 0; i < f->nlist; ++i) {
            free(f->lists[i].ids);
            free(f->lists[i].codes);
        }
    }
    free(f->lists);
    f->lists = NULL;
}

static int ivsc_fail(IvfSqCheckFile *f, const char *what) {
    snprintf(f->error, sizeof f->error, "%s", what);
    ivsc_free(f);
    return -1;
}

/* Parses the `len` bytes of a file that the writer began at host position
 * `base` (stored offsets are host positions). 0 on success; -1 with f->error. */
IVSC_MAYBE_UNUSED static int ivsc_parse_at(const uint8_t *bytes, size_t len, uint64_t base, IvfSqCheckFile *f) {
    uint64_t d, nlist, meta, running, sum = 0;
    uint32_t i;
    size_t k;
    float lo = INFINITY, hi = -INFINITY;
    memset(f, 0, sizeof *f);
    if (len < 64) return ivsc_fail(f, "shorter than the header");
    if (ivsc_u32(bytes) != 0x49565351u) return ivsc_fail(f, "magic");
    if (ivsc_u32(bytes + 4) != 1) return ivsc_fail(f, "version");
    if ((int32_t)ivsc_u32(bytes + 8) <= 0 || (int32_t)ivsc_u32(bytes + 12) <= 0) return ivsc_fail(f, "d or nlist");
    f->dimension = ivsc_u32(bytes + 8);
    f->nlist = ivsc_u32(bytes + 12);
    f->metric = ivsc_u32(bytes + 16);
    if (f->metric > 2) return ivsc_fail(f, "metric");
    f->total = (int64_t)ivsc_u64(bytes + 20);
    if (f->total < 0) return ivsc_fail(f, "negative total");
    if (ivsc_u32(bytes + 28) != 8) return ivsc_fail(f, "bit width");
    if (ivsc_u32(bytes + 32) != 3) return ivsc_fail(f, "flags");
    f->summary_min = ivsc_f32(bytes + 36);
    f->summary_max = ivsc_f32(bytes + 40);
    for (k = 44; k < 64; ++k) {
        if (bytes[k] != 0) return ivsc_fail(f, "reserved bytes");
    }
    d = f->dimension;
    nlist = f->nlist;
    if ((nlist + 1) * d > 1073741824ull) return ivsc_fail(f, "section size");
    meta = 8 * d * (nlist + 1) + 4 * nlist * d + 16 * nlist;
    if (len < 64 + meta) return ivsc_fail(f, "metadata truncated");
    f->global_mins = bytes + 64;
    f->global_maxs = bytes + 64 + 4 * d;
    f->list_bounds = bytes + 64 + 8 * d;
    f->centroids = f->list_bounds + 8 * d * nlist;
    f->table_at = 64 + 8 * d * (nlist + 1) + 4 * nlist * d;
    f->data_start = 64 + meta;
    for (k = 0; k < d; ++k) {
        float a = ivsc_global_min(f, k), b = ivsc_global_max(f, k);
        if (!isfinite(a) || !isfinite(b) || a > b) return ivsc_fail(f, "global bounds");
        if (a < lo) lo = a;
        if (b > hi) hi = b;
    }
    if (memcmp(&lo, bytes + 36, 4) != 0 || memcmp(&hi, bytes + 40, 4) != 0) return ivsc_fail(f, "bounds summary");
    for (i = 0; i < nlist; ++i) {
        for (k = 0; k < d; ++k) {
            float a = ivsc_list_min(f, i, k), b = ivsc_list_max(f, i, k);
            if (!isfinite(a) || !isfinite(b) || a > b) return ivsc_fail(f, "list bounds");
        }
    }
    f->lists = (IvfSqCheckList *)calloc(nlist, sizeof(IvfSqCheckList));
    if (f->lists == NULL) return ivsc_fail(f, "out of memory");
    running = f->data_start;
    for (i = 0; i < nlist; ++i) {
        IvfSqCheckList *l = &f->lists[i];
        const uint8_t *e = bytes + f->table_at + 16 * (uint64_t)i;
        const uint8_t *p, *ids_end;
        uint64_t payload, r, b;
        int64_t previous;
        l->offset = (int64_t)ivsc_u64(e);
        l->count = (int32_t)ivsc_u32(e + 8);
        l->id_bytes_len = (int32_t)ivsc_u32(e + 12);
        if (l->offset != (int64_t)(base + running)) return ivsc_fail(f, "offset is not the running position");
        if (l->count < 0 || l->id_bytes_len < 0) return ivsc_fail(f, "negative list metadata");
        if (l->count == 0) {
            if (l->id_bytes_len != 0) return ivsc_fail(f, "ID length of an empty list");
            continue;
        }
        if (l->id_bytes_len == 0) return ivsc_fail(f, "missing ID bytes");
        sum += (uint64_t)l->count;
        payload = (uint64_t)l->count * d + 12 + (uint64_t)l->id_bytes_len;
        if (running + payload > len) return ivsc_fail(f, "payload past the end");
        p = bytes + running;
        l->blocked = p;
        l->codes = (uint8_t *)malloc((size_t)((uint64_t)l->count * d));
        l->ids = (int64_t *)malloc(sizeof(int64_t) * (size_t)l->count);
        if (l->codes == NULL || l->ids == NULL) return ivsc_fail(f, "out of memory");
        for (b = 0; b * 32 < (uint64_t)l->count; ++b) {
            uint64_t rows = (uint64_t)l->count - 32 * b, j, x;
            if (rows > 32) rows = 32;
            for (j = 0; j < d; ++j) {
                for (x = 0; x < rows; ++x) l->codes[(32 * b + x) * d + j] = p[32 * b * d + j * rows + x];
            }
        }
        p += (uint64_t)l->count * d;
        previous = (int64_t)ivsc_u64(p);
        if ((int32_t)ivsc_u32(p + 8) != l->id_bytes_len) return ivsc_fail(f, "ID length differs from the table");
        p += 12;
        ids_end = p + l->id_bytes_len;
        for (r = 0; r < (uint64_t)l->count; ++r) {
            uint64_t gap = 0;
            unsigned shift = 0;
            for (;;) {
                uint8_t byte;
                if (p == ids_end) return ivsc_fail(f, "truncated varint");
                byte = *p++;
                if (shift == 63 && (byte & 0x7E) != 0) return ivsc_fail(f, "varint over 64 bits");
                gap |= (uint64_t)(byte & 0x7F) << shift;
                if ((byte & 0x80) == 0) {
                    if (byte == 0 && shift != 0) return ivsc_fail(f, "non-canonical varint");
                    break;
                }
                shift += 7;
                if (shift > 63) return ivsc_fail(f, "varint too long");
            }
            if (r == 0 && gap != 0) return ivsc_fail(f, "first gap is not 0");
            if (r > 0) {
                uint64_t next = (uint64_t)previous + gap;
                if ((int64_t)next < previous) return ivsc_fail(f, "IDs decrease");
                previous = (int64_t)next;
            }
            l->ids[r] = previous;
        }
        if (p != ids_end) return ivsc_fail(f, "trailing ID bytes");
        running += payload;
    }
    if ((int64_t)sum != f->total) return ivsc_fail(f, "total does not match the table");
    if (running != len) return ivsc_fail(f, "file length");
    return 0;
}

IVSC_MAYBE_UNUSED static int ivsc_parse(const uint8_t *bytes, size_t len, IvfSqCheckFile *f) {
    return ivsc_parse_at(bytes, len, 0, f);
}

#endif
