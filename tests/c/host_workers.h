/* Host threads for the C threads hosts: each worker gets its index and keeps
 * its failure count and last failure text; run_workers starts them all at
 * once, joins them and reports the failed ones. Header-only, C99 + pthreads. */
#ifndef TAVREN_HOST_WORKERS_H
#define TAVREN_HOST_WORKERS_H

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define HOST_MAX_WORKERS 16

typedef struct {
    int index;
    int failures;
    char message[256];
} Worker;

/* Runs `count` (at most HOST_MAX_WORKERS) threads of `fn` at once, each on
 * its own Worker; prints each failed worker's last message (after `label`)
 * and returns how many failed. */
static int run_workers(int count, void *(*fn)(void *), const char *label) {
    pthread_t handles[HOST_MAX_WORKERS];
    Worker workers[HOST_MAX_WORKERS];
    int i, failed = 0;
    if (count > HOST_MAX_WORKERS) {
        fprintf(stderr, "at most %d workers\n", HOST_MAX_WORKERS);
        exit(2);
    }
    for (i = 0; i < count; ++i) {
        memset(&workers[i], 0, sizeof workers[i]);
        workers[i].index = i;
        if (pthread_create(&handles[i], NULL, fn, &workers[i]) != 0) {
            fprintf(stderr, "pthread_create failed\n");
            exit(2);
        }
    }
    for (i = 0; i < count; ++i) pthread_join(handles[i], NULL);
    for (i = 0; i < count; ++i) {
        if (workers[i].failures != 0) {
            fprintf(stderr, "%s%s (%d failure(s))\n", label, workers[i].message, workers[i].failures);
            ++failed;
        }
    }
    return failed;
}

#endif /* TAVREN_HOST_WORKERS_H */
