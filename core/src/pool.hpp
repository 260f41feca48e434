// The process-wide work pool (oneTBB), created on first use.
//
// Its size comes from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (each used when
// it parses as a positive integer), else the processor count. Nothing else in
// the library starts threads. Every parallel call returns only when all of its
// tasks are done; an exception thrown in a task (an Error or an
// AssertionFailure) is rethrown on the calling thread.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>
#include <tbb/task_scheduler_observer.h>

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

}  // namespace detail

// The process-wide arena.
tbb::task_arena& arena();

namespace detail {
// The bounded arena that the calling thread works for (see
// run_with_thread_cap), or null for the process-wide arena. Every task body
// of parallel_for re-establishes it, so loops nested in a task stay in the
// arena of their parent.
tbb::task_arena*& bounded_arena_slot() noexcept;
class ArenaScope {
public:
    explicit ArenaScope(tbb::task_arena* arena) noexcept : saved_(bounded_arena_slot()) {
        bounded_arena_slot() = arena;
    }
    ~ArenaScope() { bounded_arena_slot() = saved_; }
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;

private:
    tbb::task_arena* saved_;
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
    tbb::task_arena* bounded;  // the arena the caller works for, re-established in every task

    void operator()() const {
        TsanEdges::receive(this);
        TsanEdges& e = *edges;
        e.task_begins();
        Body& b = *body;
        tbb::parallel_for(tbb::blocked_range<size_t>(begin, end, grain), [&](const tbb::blocked_range<size_t>& r) {
            e.task_begins();
            ArenaScope scope(bounded);
            b(r.begin(), r.end());
            e.task_ends();
        });
        e.task_ends();
    }
};

}  // namespace detail

// The arena the calling thread's data-parallel loops run in: the bounded
// arena of an enclosing run_with_thread_cap, else the process-wide one.
inline tbb::task_arena& current_arena() {
    tbb::task_arena* bounded = detail::bounded_arena_slot();
    return bounded != nullptr ? *bounded : arena();
}

// The number of threads of the pool the caller runs in: the bounded arena's
// concurrency inside run_with_thread_cap, else the process-wide pool's (at least 1).
size_t current_num_threads();

// Runs body(lo, hi) over disjoint subranges covering [begin, end), in parallel
// on the pool. `grain` is the smallest subrange worth a task (at least 1).
template <class Body>
void parallel_for(size_t begin, size_t end, size_t grain, Body&& body) {
    if (begin >= end) return;
    if (grain == 0) grain = 1;
    tbb::task_arena* const bounded = detail::bounded_arena_slot();
    tbb::task_arena& pool_arena = bounded != nullptr ? *bounded : arena();
    detail::TsanEdges edges;
    using Fn = std::remove_reference_t<Body>;
    const detail::ArenaCall<Fn> call{&edges, &body, begin, end, grain, bounded};
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

// What run_spawning hands its caller: spawn(f) gives f to the pool, where it
// may run while the caller goes on (or run on the caller when the pool is
// busy); drain() waits until every task given so far is done.
class Spawner {
public:
    Spawner(tbb::task_group& group, tbb::task_arena* bounded, detail::TsanEdges& edges) noexcept
        : group_(group), bounded_(bounded), edges_(edges) {}
    Spawner(const Spawner&) = delete;
    Spawner& operator=(const Spawner&) = delete;

    // f must not throw: a task records its own errors for the caller.
    template <class F>
    void spawn(F&& f) {
        edges_.before_tasks();
        group_.run([edges = &edges_, bounded = bounded_, f = std::forward<F>(f)] {
            edges->task_begins();
            detail::ArenaScope scope(bounded);
            f();
            edges->task_ends();
        });
    }
    void drain() {
        group_.wait();
        edges_.after_tasks();
    }

private:
    tbb::task_group& group_;
    tbb::task_arena* bounded_;
    detail::TsanEdges& edges_;
};

namespace detail {
// What the arena runs for one run_spawning, read the way ArenaCall is.
template <class Caller>
struct SpawningCall {
    TsanEdges* edges;
    Caller* caller;
    tbb::task_arena* bounded;
    std::exception_ptr* error;

    void operator()() const {
        TsanEdges::receive(this);
        TsanEdges& e = *edges;
        e.task_begins();
        ArenaScope scope(bounded);
        tbb::task_group group;
        Spawner spawner(group, bounded, e);
        try {
            (*caller)(spawner);
        } catch (...) {
            *error = std::current_exception();
        }
        group.wait();
        e.task_ends();
    }
};
}  // namespace detail

// Runs caller(spawner) on the calling thread inside the pool's arena, so that
// the tasks it spawns run beside it; returns once caller has returned and
// every spawned task is done. An exception from caller reaches the caller of
// run_spawning only after every task spawned before it is done, so tasks may
// use the caller's stack to the end.
template <class Caller>
void run_spawning(Caller&& caller) {
    tbb::task_arena* const bounded = detail::bounded_arena_slot();
    tbb::task_arena& pool_arena = bounded != nullptr ? *bounded : arena();
    detail::TsanEdges edges;
    std::exception_ptr error;
    using Fn = std::remove_reference_t<Caller>;
    const detail::SpawningCall<Fn> call{&edges, &caller, bounded, &error};
    detail::TsanEdges::publish(&call);
    edges.before_tasks();
    pool_arena.execute(call);
    edges.after_tasks();
    if (error) std::rethrow_exception(error);
}

// One T per thread that asks for it, made on first use by that thread and
// kept for the object's life: per-thread working state of a parallel loop
// (scratch buffers, prepared queries) without a lock or an allocation per
// item. Index code uses this rather than the scheduler's own type.
template <class T>
class PerThread {
public:
    T& local() { return slots_.local(); }

private:
    tbb::enumerable_thread_specific<T> slots_;
};

// Runs f on the calling thread with every data-parallel loop inside it (its
// own and those of the functions it calls, on any thread) confined to at most
// max(max_threads, 1) threads. When max_threads is at least
// current_num_threads() f simply runs; otherwise a private arena of that many
// threads is made for the call and released when f returns. The caller's
// thread counts among them. An exception from f reaches the caller.
void run_with_thread_cap(size_t max_threads, const std::function<void()>& f);

// Test-only: called with every private arena of run_with_thread_cap before
// any work enters it; what it returns (an observer of that arena, or null)
// lives until the arena's work is done. An empty function removes the hook.
using BoundedArenaObserverFactory =
    std::function<std::unique_ptr<tbb::task_scheduler_observer>(tbb::task_arena&)>;
void set_bounded_arena_observer_for_testing(BoundedArenaObserverFactory factory);

// Test-only: replace the pool with one of `threads` threads (0 = the size the
// environment gives). Must not run while another thread uses the pool.
void set_num_threads_for_testing(size_t threads);

}  // namespace tavren::pool
