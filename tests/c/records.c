/* A C99 host checks the layout of every C record of the public header: the
 * sizes and field offsets a host in any language relies on. */
#include <stddef.h>
#include <stdio.h>

#include "tavren_dadiza.h"

static int failures = 0;

static void expect(const char *what, size_t got, size_t want) {
    if (got != want) {
        fprintf(stderr, "%s: got %lu, want %lu\n", what, (unsigned long)got, (unsigned long)want);
        ++failures;
    }
}

#define SIZE(type, want) expect("sizeof(" #type ")", sizeof(type), want)
#define OFFSET(type, field, want) expect("offsetof(" #type ", " #field ")", offsetof(type, field), want)

int main(void) {
    SIZE(FfiInputFile, 40);
    OFFSET(FfiInputFile, user_data, 0);
    OFFSET(FfiInputFile, read_ranges_fn, 8);
    OFFSET(FfiInputFile, read_latency_ns, 16);
    OFFSET(FfiInputFile, io_block_size, 24);
    OFFSET(FfiInputFile, max_ranges_per_call, 32);

    SIZE(FfiReadRange, 24);
    OFFSET(FfiReadRange, offset, 0);
    OFFSET(FfiReadRange, buf, 8);
    OFFSET(FfiReadRange, len, 16);

    SIZE(FfiOutputCallbacks, 32);
    OFFSET(FfiOutputCallbacks, user_data, 0);
    OFFSET(FfiOutputCallbacks, write_fn, 8);
    OFFSET(FfiOutputCallbacks, flush_fn, 16);
    OFFSET(FfiOutputCallbacks, position_fn, 24);

    SIZE(FfiIndexMetadata, 88);
    OFFSET(FfiIndexMetadata, index_type, 0);
    OFFSET(FfiIndexMetadata, dimension, 8);
    OFFSET(FfiIndexMetadata, nlist, 16);
    OFFSET(FfiIndexMetadata, metric, 24);
    OFFSET(FfiIndexMetadata, vector_count, 32);
    OFFSET(FfiIndexMetadata, pq_m, 40);
    OFFSET(FfiIndexMetadata, code_bits, 48);
    OFFSET(FfiIndexMetadata, rq_bits, 56);
    OFFSET(FfiIndexMetadata, diskann_max_degree, 64);
    OFFSET(FfiIndexMetadata, diskann_build_list_size, 72);
    OFFSET(FfiIndexMetadata, diskann_alpha, 80);

    SIZE(FfiReadPlan, 72);
    OFFSET(FfiReadPlan, latency_ns, 0);
    OFFSET(FfiReadPlan, window_bytes, 8);
    OFFSET(FfiReadPlan, max_ranges_per_call, 16);
    OFFSET(FfiReadPlan, beam_width, 24);
    OFFSET(FfiReadPlan, ranges_per_read, 32);
    OFFSET(FfiReadPlan, preloaded_adjacency_bytes, 40);
    OFFSET(FfiReadPlan, adjacency_cache_bytes, 48);
    OFFSET(FfiReadPlan, vector_cache_bytes, 56);
    OFFSET(FfiReadPlan, memory_budget_bytes, 64);

    SIZE(FfiSearchParams, 24);
    OFFSET(FfiSearchParams, top_k, 0);
    OFFSET(FfiSearchParams, width_type, 8);
    OFFSET(FfiSearchParams, width, 16);

    SIZE(FfiSearchParamsEx, 56);
    OFFSET(FfiSearchParamsEx, struct_size, 0);
    OFFSET(FfiSearchParamsEx, top_k, 8);
    OFFSET(FfiSearchParamsEx, width_type, 16);
    OFFSET(FfiSearchParamsEx, width, 24);
    OFFSET(FfiSearchParamsEx, max_initial_filter_expansion_factor, 32);
    OFFSET(FfiSearchParamsEx, ivfpq_table_reuse_mode, 40);
    OFFSET(FfiSearchParamsEx, ivfpq_table_reuse_max_bytes, 48);

    SIZE(FfiSearchParamsV2, 40);
    OFFSET(FfiSearchParamsV2, top_k, 0);
    OFFSET(FfiSearchParamsV2, width_type, 8);
    OFFSET(FfiSearchParamsV2, width, 16);
    OFFSET(FfiSearchParamsV2, ivfpq_table_reuse_mode, 24);
    OFFSET(FfiSearchParamsV2, ivfpq_table_reuse_max_bytes, 32);

    /* Nothing has failed on this thread yet. */
    if (tavren_dadiza_last_error() != NULL) {
        fprintf(stderr, "last error is set before any failure\n");
        ++failures;
    }

    if (failures != 0) {
        fprintf(stderr, "%d layout mismatches\n", failures);
        return 1;
    }
    printf("records OK\n");
    return 0;
}
