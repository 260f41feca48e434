// The process-wide work pool (oneTBB), created on first use.
//
// Its size comes from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (each used when
// it parses as a positive integer), else the processor count. Nothing else in
// the library starts threads. Every parallel call returns only when all of its
// tasks are done; an exception thrown in a task (an Error or an
// AssertionFailure) is rethrown on the calling thread.
#pragma once

#include <cstddef>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace tavren::pool {

// The arena all data-parallel loops run in.
tbb::task_arena& arena();

// The number of threads of the pool (the arena's concurrency, at least 1).
size_t current_num_threads();

// Runs body(lo, hi) over disjoint subranges covering [begin, end), in parallel
// on the pool. `grain` is the smallest subrange worth a task (at least 1).
template <class Body>
void parallel_for(size_t begin, size_t end, size_t grain, Body&& body) {
    if (begin >= end) return;
    if (grain == 0) grain = 1;
    arena().execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(begin, end, grain),
                          [&](const tbb::blocked_range<size_t>& r) { body(r.begin(), r.end()); });
    });
}

// Like parallel_for, but every index is its own task candidate and the
// subranges are exactly the given chunks: body(chunk_index) for chunk_index in
// [0, chunks). Use when results must not depend on how work is split.
template <class Body>
void parallel_for_each_index(size_t count, Body&& body) {
    if (count == 0) return;
    arena().execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, count, 1), [&](const tbb::blocked_range<size_t>& r) {
            for (size_t i = r.begin(); i != r.end(); ++i) body(i);
        });
    });
}

// Test-only: replace the pool with one of `threads` threads (0 = the size the
// environment gives). Must not run while another thread uses the pool.
void set_num_threads_for_testing(size_t threads);

}  // namespace tavren::pool
