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

#if defined(__SANITIZE_THREAD__)
#define TD_POOL_TSAN_EDGES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TD_POOL_TSAN_EDGES 1
#endif
#endif
#if defined(TD_POOL_TSAN_EDGES)
#include <sanitizer/tsan_interface.h>
#endif

namespace tavren::pool {

namespace detail {
// ThreadSanitizer cannot see the synchronisation inside the (uninstrumented)
// oneTBB library, so it would report the hand-over of work between the caller
// and the pool threads as races. Under TSan these mark the two edges that
// parallel_for guarantees: the caller's writes before the call happen before
// every task, and every task happens before the call returns. Otherwise they
// compile to nothing.
struct TsanEdges {
#if defined(TD_POOL_TSAN_EDGES)
    char start = 0;
    char done = 0;
    void before_tasks() noexcept { __tsan_release(&start); }
    void task_begins() noexcept { __tsan_acquire(&start); }
    void task_ends() noexcept { __tsan_release(&done); }
    void after_tasks() noexcept { __tsan_acquire(&done); }
#else
    void before_tasks() noexcept {}
    void task_begins() noexcept {}
    void task_ends() noexcept {}
    void after_tasks() noexcept {}
#endif
};
}  // namespace detail

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
    tbb::task_arena& pool_arena = arena();
    detail::TsanEdges edges;
    // The closure is complete before the release edge: when the arena has no
    // free slot for this thread, another thread runs it.
    auto run = [&] {
        edges.task_begins();  // the arena may run this on a pool thread
        tbb::parallel_for(tbb::blocked_range<size_t>(begin, end, grain), [&](const tbb::blocked_range<size_t>& r) {
            edges.task_begins();
            body(r.begin(), r.end());
            edges.task_ends();
        });
        edges.task_ends();
    };
    edges.before_tasks();
    pool_arena.execute(run);
    edges.after_tasks();
}

// Like parallel_for, but every index is its own task candidate and the
// subranges are exactly the given chunks: body(chunk_index) for chunk_index in
// [0, chunks). Use when results must not depend on how work is split.
template <class Body>
void parallel_for_each_index(size_t count, Body&& body) {
    parallel_for(0, count, 1, [&](size_t lo, size_t hi) {
        for (size_t i = lo; i != hi; ++i) body(i);
    });
}

// Test-only: replace the pool with one of `threads` threads (0 = the size the
// environment gives). Must not run while another thread uses the pool.
void set_num_threads_for_testing(size_t threads);

}  // namespace tavren::pool
