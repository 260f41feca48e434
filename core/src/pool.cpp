#include "pool.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

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
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

std::mutex g_mutex;
std::unique_ptr<tbb::task_arena> g_arena;
size_t g_threads = 0;

void make_arena_locked(size_t threads) {
    g_threads = threads == 0 ? environment_thread_count() : threads;
    auto arena = std::make_unique<tbb::task_arena>(static_cast<int>(g_threads));
    arena->initialize();
    g_arena = std::move(arena);
}

}  // namespace

tbb::task_arena& arena() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_arena) make_arena_locked(0);
    return *g_arena;
}

size_t current_num_threads() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_arena) make_arena_locked(0);
    return g_threads;
}

void set_num_threads_for_testing(size_t threads) {
    std::lock_guard<std::mutex> lock(g_mutex);
    make_arena_locked(threads);
}

}  // namespace tavren::pool
