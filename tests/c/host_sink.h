/* What the C hosts share: a failure counter with CHECK, the last-error
 * expectation, and an in-memory output (Sink) that can fail a chosen write
 * call and report a position of its own. C99; header-only (static functions). */
#ifndef TAVREN_TESTS_HOST_SINK_H
#define TAVREN_TESTS_HOST_SINK_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavren_dadiza.h"

#if defined(__GNUC__)
#define HOST_MAYBE_UNUSED __attribute__((unused))
#else
#define HOST_MAYBE_UNUSED
#endif

static int failures = 0;

#define CHECK(cond)                                                           \
    do {                                                                      \
        if (!(cond)) {                                                        \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                       \
        }                                                                     \
    } while (0)

HOST_MAYBE_UNUSED static void expect_error(const char *where, const char *want) {
    const char *got = tavren_dadiza_last_error();
    if (got == NULL || strcmp(got, want) != 0) {
        fprintf(stderr, "%s: last error \"%s\", want \"%s\"\n", where, got ? got : "(null)", want);
        ++failures;
    }
}

/* ---- an in-memory output with optional faults --------------------------- */

typedef struct Sink {
    uint8_t *bytes;
    size_t len;
    size_t cap;
    size_t write_calls;
    long fail_on_call;   /* -1: never */
    int64_t position_base;
    int flush_calls;
    int flush_result;
} Sink;

HOST_MAYBE_UNUSED static void sink_init(Sink *s) {
    memset(s, 0, sizeof *s);
    s->fail_on_call = -1;
}

HOST_MAYBE_UNUSED static int sink_write(void *user_data, const uint8_t *bytes, size_t len) {
    Sink *s = (Sink *)user_data;
    if (s->fail_on_call >= 0 && (size_t)s->fail_on_call == s->write_calls) return -1;
    ++s->write_calls;
    if (s->len + len > s->cap) {
        size_t cap = s->cap ? s->cap : 4096;
        uint8_t *grown;
        while (cap < s->len + len) cap *= 2;
        grown = (uint8_t *)realloc(s->bytes, cap);
        if (grown == NULL) return -1;
        s->bytes = grown;
        s->cap = cap;
    }
    if (len > 0) memcpy(s->bytes + s->len, bytes, len);
    s->len += len;
    return 0;
}

HOST_MAYBE_UNUSED static int sink_flush(void *user_data) {
    Sink *s = (Sink *)user_data;
    ++s->flush_calls;
    return s->flush_result;
}

HOST_MAYBE_UNUSED static int64_t sink_position(void *user_data) {
    Sink *s = (Sink *)user_data;
    return s->position_base + (int64_t)s->len;
}

HOST_MAYBE_UNUSED static FfiOutputCallbacks sink_output(Sink *s, int with_position) {
    FfiOutputCallbacks out;
    out.user_data = s;
    out.write_fn = sink_write;
    out.flush_fn = sink_flush;
    out.position_fn = with_position ? sink_position : NULL;
    return out;
}

#endif
