#include "pool.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include <tbb/global_control.h>
#include <tbb/info.h>

namespace tavren::pool {
namespace {

size_t parse_positive(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return 0;
    size_t value = 0;
    const char* end = text + std::strlen(text);
    auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end) return 0;
    return value;
}

size_t environment_thread_count() {
    if (size_t n = parse_positive("RAYON_NUM_THREADS"); n > 0) return n;
    if (size_t n = parse_positive("RAYON_RS_NUM_CPUS"); n > 0) return n;
    // The processors this process may run on (its affinity mask and cgroup
    // quota), not every processor of the machine.
    int available = tbb::info::default_concurrency();
    return available > 0 ? static_cast<size_t>(available) : 1;
}

// A pool size beyond this is a configuration mistake, not a request to honour.
constexpr size_t kMaxThreads = 4096;

std::mutex g_mutex;
std::unique_ptr<tbb::global_control> g_parallelism;
std::unique_ptr<tbb::task_arena> g_arena;
size_t g_threads = 0;

void make_arena_locked(size_t threads) {
    g_threads = std::min(threads == 0 ? environment_thread_count() : threads, kMaxThreads);
    // oneTBB caps its workers at the processors of the affinity mask and
    // prints a warning to standard error when an arena asks for more. An
    // explicit pool size is the host's decision: raise the cap to it, so the
    // pool has the size asked for and nothing is written to the host's stderr.
    const size_t available = static_cast<size_t>(std::max(tbb::info::default_concurrency(), 1));
    // The old arena goes first: lowering the cap under its live workers would warn too.
    g_arena.reset();
    g_parallelism.reset();
    g_parallelism = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                          std::max(g_threads, available));
    auto arena = std::make_unique<tbb::task_arena>(static_cast<int>(g_threads));
    arena->initialize();
    g_arena = std::move(arena);
}

BoundedArenaObserverFactory g_observer_factory;  // under g_mutex

}  // namespace

namespace detail {
tbb::task_arena*& bounded_arena_slot() noexcept {
    thread_local tbb::task_arena* slot = nullptr;
    return slot;
}
}  // namespace detail

tbb::task_arena& arena() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_arena) make_arena_locked(0);
    return *g_arena;
}

size_t current_num_threads() {
    if (tbb::task_arena* bounded = detail::bounded_arena_slot(); bounded != nullptr) {
        return static_cast<size_t>(std::max(bounded->max_concurrency(), 1));
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_arena) make_arena_locked(0);
    return g_threads;
}

void run_with_thread_cap(size_t max_threads, const std::function<void()>& f) {
    if (max_threads >= current_num_threads()) {
        f();
        return;
    }
    const size_t threads = std::max<size_t>(max_threads, 1);
    tbb::task_arena bounded(static_cast<int>(threads));
    bounded.initialize();
    std::unique_ptr<tbb::task_scheduler_observer> observer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_observer_factory) observer = g_observer_factory(bounded);
    }
    detail::TsanEdges edges;
    edges.before_tasks();
    bounded.execute([&] {
        edges.task_begins();
        detail::ArenaScope scope(&bounded);
        f();
        edges.task_ends();
    });
    edges.after_tasks();
    observer.reset();
}

void set_bounded_arena_observer_for_testing(BoundedArenaObserverFactory factory) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_observer_factory = std::move(factory);
}

void set_num_threads_for_testing(size_t threads) {
    std::lock_guard<std::mutex> lock(g_mutex);
    make_arena_locked(threads);
}

}  // namespace tavren::pool
