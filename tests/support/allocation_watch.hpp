// Records the largest single allocation made through operator new while an
// AllocationWatch is alive, to show that a size read from a file or passed by
// a caller does not size an allocation, and how many allocations were made
// (steady-state loops that must not allocate).
//
// This header REPLACES the global allocation functions: include it in exactly
// one translation unit of a test executable, and only there. Every form is
// replaced (plain, array, nothrow, aligned) so that each allocation is paired
// with its own release under the sanitizers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

// The replacements pair malloc with free throughout; GCC cannot see that
// across inlined library code.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace tavren::testing::allocation_watch_detail {
inline std::atomic<bool> tracking{false};
inline std::atomic<size_t> largest{0};
inline std::atomic<size_t> count{0};

inline void note(size_t n) noexcept {
    if (!tracking.load(std::memory_order_relaxed)) return;
    count.fetch_add(1, std::memory_order_relaxed);
    size_t seen = largest.load(std::memory_order_relaxed);
    while (n > seen && !largest.compare_exchange_weak(seen, n)) {
    }
}
inline void* allocate(size_t n) noexcept {
    note(n);
    return std::malloc(n == 0 ? 1 : n);
}
inline void* allocate_aligned(size_t n, std::align_val_t a) noexcept {
    note(n);
    const size_t align = static_cast<size_t>(a);
    const size_t rounded = (n + align - 1) / align * align;
    return std::aligned_alloc(align, rounded == 0 ? align : rounded);
}
}  // namespace tavren::testing::allocation_watch_detail

namespace aw_ = tavren::testing::allocation_watch_detail;

void* operator new(size_t n) {
    if (void* p = aw_::allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    if (void* p = aw_::allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return aw_::allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return aw_::allocate(n); }
void* operator new(size_t n, std::align_val_t a) {
    if (void* p = aw_::allocate_aligned(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n, std::align_val_t a) {
    if (void* p = aw_::allocate_aligned(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return aw_::allocate_aligned(n, a); }
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return aw_::allocate_aligned(n, a); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace tavren::testing {

// While alive, the largest single allocation size is recorded.
struct AllocationWatch {
    AllocationWatch() {
        allocation_watch_detail::largest = 0;
        allocation_watch_detail::count = 0;
        allocation_watch_detail::tracking = true;
    }
    ~AllocationWatch() { allocation_watch_detail::tracking = false; }
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;
    size_t largest() const { return allocation_watch_detail::largest.load(); }
    size_t count() const { return allocation_watch_detail::count.load(); }
};

}  // namespace tavren::testing
