// The process-wide work pool (oneTBB), created on first use.
//
// Its size comes from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (each used when
// it parses as a positive integer), else the processor count. Nothing else in
// the library starts threads. Every parallel call returns only when all of its
// tasks are done; an exception thrown in a task (an Error or an
// AssertionFailure) is rethrown on the calling thread.
#pragma once

#include <cstddef>
#include <type_traits>
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
    // The hand-over of an object whose address the receiver has without
    // reading memory (a functor's `this`).
    static void publish(const void* p) noexcept { __tsan_release(const_cast<void*>(p)); }
    static void receive(const void* p) noexcept { __tsan_acquire(const_cast<void*>(p)); }
#else
    void before_tasks() noexcept {}
    void task_begins() noexcept {}
    void task_ends() noexcept {}
    void after_tasks() noexcept {}
    static void publish(const void*) noexcept {}
    static void receive(const void*) noexcept {}
#endif
};

// What the arena runs for one parallel_for. When the arena has no free slot
// for the calling thread, another thread runs it, reading its fields: the
// first thing it does is acquire its own address (which arrives in a
// register), so the caller's writes of those fields are ordered before.
template <class Body>
struct ArenaCall {
    TsanEdges* edges;
    Body* body;
    size_t begin;
    size_t end;
    size_t grain;

    void operator()() const {
        TsanEdges::receive(this);
        TsanEdges& e = *edges;
        e.task_begins();
        Body& b = *body;
        tbb::parallel_for(tbb::blocked_range<size_t>(begin, end, grain), [&](const tbb::blocked_range<size_t>& r) {
            e.task_begins();
            b(r.begin(), r.end());
            e.task_ends();
        });
        e.task_ends();
    }
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
    using Fn = std::remove_reference_t<Body>;
    const detail::ArenaCall<Fn> call{&edges, &body, begin, end, grain};
    detail::TsanEdges::publish(&call);
    edges.before_tasks();
    pool_arena.execute(call);
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
