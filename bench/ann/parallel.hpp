// The harness's own threads (data generation, ground truth, brute force and
// concurrent single-query hosts). The library's pool is never used here.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tavren::ann {

// The processors this process may run on (its affinity mask, as the
// library's pool counts them), at least 1.
inline unsigned hardware_threads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// Calls fn(worker, item) for every item in [0, count) on `threads` threads
// (0 = the processor count), items handed out one at a time in ascending
// order. Returns when all are done; the first exception thrown by fn is
// rethrown here after every thread has stopped taking items.
template <class Fn>
void parallel_items(size_t count, unsigned threads, Fn&& fn) {
    if (count == 0) return;
    if (threads == 0) threads = hardware_threads();
    threads = static_cast<unsigned>(std::min<size_t>(threads, count));
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&](unsigned worker) {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            size_t item = next.fetch_add(1, std::memory_order_relaxed);
            if (item >= count) return;
            try {
                fn(worker, item);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    };
    if (threads == 1) {
        work(0);
    } else {
        std::vector<std::thread> pool;
        pool.reserve(threads);
        for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work, t);
        for (auto& th : pool) th.join();
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace tavren::ann
