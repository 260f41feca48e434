#include "diskann_search_load.hpp"

#include <algorithm>
#include <limits>

#include "diskann_io.hpp"
#include "error.hpp"
#include "index_io_util.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::diskann_search {

using diskann_windows::kLogicalPageBytes;
using diskann_windows::ReadWindow;
using diskann_windows::share_window_payload;
using diskann_windows::WindowCache;
using diskann_windows::WindowPayload;

void rethrow_paged_read_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        throw diskann_io::map_read_error(e, "paged section");
    }
}

namespace {

// Reservations of one pass that are not yet published. Whatever way the pass
// ends, the destructor cancels those still pending one offset at a time,
// ignoring failures, so that a poisoned shard cannot keep the reservations of
// the other shards pending and their waiters blocked.
class ReservationGuard {
public:
    ReservationGuard(SharedWindowCacheView& shared, std::vector<uint64_t>& offsets) noexcept
        : shared_(shared), offsets_(offsets) {}
    ReservationGuard(const ReservationGuard&) = delete;
    ReservationGuard& operator=(const ReservationGuard&) = delete;
    ~ReservationGuard() {
        for (size_t i = first_pending_; i < offsets_.size(); ++i) {
            try {
                shared_.cancel(std::span<const uint64_t>(&offsets_[i], 1));
            } catch (...) {
                // The shard is unusable; its waiters fail with the same error.
            }
        }
        offsets_.clear();
    }
    // The reservation of offsets_[i] was published.
    void published(size_t i) noexcept { first_pending_ = i + 1; }
    // Cancels every pending reservation in one call (its error propagates;
    // the destructor then retries them one by one).
    void cancel_all(LockWait& lock) {
        if (first_pending_ >= offsets_.size()) return;
        const LockWait w =
            shared_.cancel(std::span<const uint64_t>(offsets_).subspan(first_pending_));
        lock.add(w);
        first_pending_ = offsets_.size();
    }

private:
    SharedWindowCacheView& shared_;
    std::vector<uint64_t>& offsets_;
    size_t first_pending_ = 0;
};

// Fills work.buffers with one pooled buffer per window. On failure the
// buffers taken so far are offered back (`pool_back`) or freed.
void take_buffers(std::span<const ReadWindow> windows, WindowBufferPool& pool, WindowLoadWork& work, bool pool_back) {
    work.buffers.clear();
    try {
        // Every byte is overwritten by the read: no zeroing.
        for (const ReadWindow& w : windows) work.buffers.push_back(pool.take_for_read(w.len));
    } catch (...) {
        if (pool_back) {
            for (auto& b : work.buffers) pool.recycle(std::move(b));
        }
        work.buffers.clear();
        throw;
    }
}

void recycle_buffers(WindowBufferPool& pool, WindowLoadWork& work) noexcept {
    for (auto& b : work.buffers) pool.recycle(std::move(b));
    work.buffers.clear();
}

// Reads the windows into work.buffers, one range each, in the given
// (ascending) order, at most the host's ranges per call. In parallel, the
// slices of kParallelReadWindows windows are read on the pool; the pool
// rethrows the first error once every started slice has ended.
void read_windows(const io::SeekRead& file, std::span<const ReadWindow> windows, WindowLoadWork& work,
                  bool parallel) {
    work.read_offsets.clear();
    work.read_spans.clear();
    for (size_t i = 0; i < windows.size(); ++i) {
        work.read_offsets.push_back(windows[i].offset);
        work.read_spans.emplace_back(work.buffers[i]);
    }
    const auto read_slice = [&](size_t begin, size_t end) {
        index_io_util::pread_batched_slices_with_limit(
            file, std::span<const uint64_t>(work.read_offsets).subspan(begin, end - begin),
            std::span<const std::span<uint8_t>>(work.read_spans).subspan(begin, end - begin),
            std::numeric_limits<uint64_t>::max());
    };
    const size_t n = windows.size();
    if (!parallel || n <= kParallelReadWindows || pool::current_num_threads() < 2) {
        read_slice(0, n);
        return;
    }
    const size_t slices = (n + kParallelReadWindows - 1) / kParallelReadWindows;
    pool::parallel_for_each_index(slices, [&](size_t i) {
        const size_t begin = i * kParallelReadWindows;
        read_slice(begin, std::min(n, begin + kParallelReadWindows));
    });
}

// Direct load: the missing windows, read by this session and kept as its own.
void load_direct(const io::SeekRead& file, WindowCache& cache, WindowBufferPool& pool, WindowLoadWork& work,
                 bool parallel_reads = false) {
    take_buffers(work.missing, pool, work, false);
    try {
        read_windows(file, work.missing, work, parallel_reads);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        recycle_buffers(pool, work);
        rethrow_paged_read_error(error);
    }
    for (size_t i = 0; i < work.missing.size(); ++i) {
        cache.insert(work.missing[i].offset, WindowPayload::owned(std::move(work.buffers[i])));
    }
    work.buffers.clear();
}

struct SharedLoadCounts {
    uint64_t hits = 0;      // found in the shared cache
    uint64_t read = 0;      // reserved and read by this session
    uint64_t waits = 0;     // waited for another session
    uint64_t received = 0;  // waited for and received
    uint64_t evicted = 0;   // shared-cache evictions of this session's publications
    LockWait lock;
};

// The shared-cache lookups of a load run on the pool from this many missing
// windows on (and a sharded cache, two pool threads and a caller that allows
// it): a lookup costs about half a microsecond, mostly cache misses in the
// shard's map, its recency order and the window's reference count.
constexpr size_t kParallelLookupWindows = 64;

// Looks up every window of work.missing in the shared cache, the answer of
// window i into work.lookups[i]. The shards share no state, so with
// `parallel` each shard's windows go, in their order, to one pool task: every
// shard sees the lookups of a plain loop in the same order and ends in the
// same state. On an error the windows reserved so far are added to
// work.reserved_offsets, which the caller's guard cancels.
void lookup_missing(SharedWindowCacheView& shared, WindowLoadWork& work, bool parallel) {
    const size_t n = work.missing.size();
    // Wait marks a window not yet looked up: only Reserved needs cancelling.
    work.lookups.assign(n, SharedLookup{SharedLookupKind::Wait, nullptr, {}});
    const auto lookup = [&](size_t i) {
        work.lookups[i] = shared.lookup_or_reserve(work.missing[i].offset, work.missing[i].len);
    };
    const size_t shards = shared.shard_count();
    try {
        if (!parallel || shards < 2 || n < kParallelLookupWindows || pool::current_num_threads() < 2) {
            for (size_t i = 0; i < n; ++i) lookup(i);
            return;
        }
        work.shard_start.assign(shards + 1, 0);
        for (const ReadWindow& w : work.missing) {
            const size_t s = shared.shard_of(w.offset);
            TD_ASSERT(s < shards, "DiskANN shared cache shard is out of range");
            ++work.shard_start[s + 1];
        }
        for (size_t s = 0; s < shards; ++s) work.shard_start[s + 1] += work.shard_start[s];
        work.by_shard.resize(n);
        // Filled from each shard's end backwards, so each shard keeps the
        // windows' order.
        for (size_t i = n; i-- > 0;) {
            const size_t s = shared.shard_of(work.missing[i].offset);
            work.by_shard[--work.shard_start[s + 1]] = i;
        }
        // shard_start[s + 1] now holds the start of shard s: shift it down.
        for (size_t s = 0; s < shards; ++s) work.shard_start[s] = work.shard_start[s + 1];
        work.shard_start[shards] = n;
        pool::parallel_for_each_index(shards, [&](size_t s) {
            for (size_t k = work.shard_start[s]; k < work.shard_start[s + 1]; ++k) lookup(work.by_shard[k]);
        });
    } catch (...) {
        for (size_t i = 0; i < n; ++i) {
            if (work.lookups[i].kind == SharedLookupKind::Reserved) {
                work.reserved_offsets.push_back(work.missing[i].offset);
            }
        }
        throw;
    }
}

// Shared load of work.missing, repeated until every window is in the query
// cache. Reservations are read and published before any wait, so two
// sessions never wait for each other.
SharedLoadCounts load_shared(SharedWindowCacheView& shared, const io::SeekRead& file, WindowCache& cache,
                             WindowBufferPool& pool, WindowLoadWork& work, bool parallel_reads = false) {
    SharedLoadCounts c;
    while (!work.missing.empty()) {
        work.reserved.clear();
        work.waiting.clear();
        work.reserved_offsets.clear();
        {
            ReservationGuard guard(shared, work.reserved_offsets);
            lookup_missing(shared, work, parallel_reads);
            // Every reservation goes under the guard before anything else can
            // fail, then the hits go into the query cache in window order.
            for (size_t i = 0; i < work.missing.size(); ++i) {
                const ReadWindow& w = work.missing[i];
                const SharedLookup& r = work.lookups[i];
                c.lock.add(r.lock);
                if (r.kind == SharedLookupKind::Reserved) {
                    work.reserved.push_back(w);
                    work.reserved_offsets.push_back(w.offset);
                    c.read = saturating_add(c.read, 1);
                } else if (r.kind == SharedLookupKind::Wait) {
                    work.waiting.push_back(w);
                    c.waits = saturating_add(c.waits, 1);
                }
            }
            for (size_t i = 0; i < work.missing.size(); ++i) {
                SharedLookup& r = work.lookups[i];
                if (r.kind != SharedLookupKind::Hit) continue;
                cache.insert(work.missing[i].offset, WindowPayload::shared(std::move(r.window)));
                c.hits = saturating_add(c.hits, 1);
            }
            work.lookups.clear();
            if (!work.reserved.empty()) {
                try {
                    take_buffers(work.reserved, pool, work, true);
                } catch (...) {
                    guard.cancel_all(c.lock);
                    throw;
                }
                try {
                    read_windows(file, work.reserved, work, parallel_reads);
                } catch (...) {
                    const std::exception_ptr error = std::current_exception();
                    recycle_buffers(pool, work);
                    guard.cancel_all(c.lock);
                    rethrow_paged_read_error(error);
                }
                for (size_t i = 0; i < work.reserved.size(); ++i) {
                    SharedWindow window = share_window_payload(std::move(work.buffers[i]));
                    cache.insert(work.reserved[i].offset, WindowPayload::shared(window));
                    const SharedPublish p = shared.publish(work.reserved[i].offset, std::move(window));
                    guard.published(i);
                    c.evicted = saturating_add(c.evicted, p.evicted);
                    c.lock.add(p.lock);
                }
                work.buffers.clear();
            }
        }
        for (const ReadWindow& w : work.waiting) {
            SharedWaitResult r = shared.wait_for(w.offset, w.len);
            c.lock.add(r.lock);
            if (r.window) {
                cache.insert(w.offset, WindowPayload::shared(std::move(r.window)));
                c.received = saturating_add(c.received, 1);
            }
        }
        // Windows whose loader cancelled stay missing: this session looks
        // them up again and usually reserves and reads them itself.
        std::erase_if(work.missing, [&](const ReadWindow& w) { return cache.contains_key(w); });
    }
    return c;
}

}  // namespace

void load_adjacency_pages(const AdjacencyLoadInput& input, AdjacencyPageSource& source, std::span<const size_t> nodes,
                          AdjacencyWindowCache& cache, OffsetSet& validated_pages, WindowBufferPool& pool,
                          AdjacencyLoadStats& stats, WindowLoadWork& work) {
    const ReadWindowPlanner& planner = input.planner;
    const uint64_t preload_len = input.preload.size();
    work.needed.clear();
    work.pages.clear();
    for (size_t node : nodes) {
        const AdjacencyLocator loc = source.adjacency_locator(node);
        const auto w = planner.window_for_logical_page(loc.page);
        if (!w) invalid_data("DiskANN adjacency page is out of range");
        bool held = true;
        if (!planner.window_in_prefix(*w, preload_len)) {
            work.needed.push_back(*w);
            held = cache.contains_key(*w);
        }
        if (held && validated_pages.contains(loc.page)) continue;
        work.pages.push_back(loc.page);
    }
    if (work.pages.empty()) return;
    std::sort(work.pages.begin(), work.pages.end());
    work.pages.erase(std::unique(work.pages.begin(), work.pages.end()), work.pages.end());

    planner.plan_logical_pages_into(work.pages, work.planned);
    std::erase_if(work.planned, [&](const ReadWindow& w) { return planner.window_in_prefix(w, preload_len); });
    uint64_t incoming = 0;
    for (const ReadWindow& w : work.planned) {
        if (!cache.contains_key(w)) incoming = saturating_add(incoming, w.len);
    }
    stats.adjacency_cache_evictions = saturating_add(
        stats.adjacency_cache_evictions, prepare_adjacency_window_cache(work.needed, incoming, cache, pool));
    work.missing.clear();
    for (const ReadWindow& w : work.planned) {
        if (!cache.contains_key(w)) work.missing.push_back(w);
    }
    if (!work.missing.empty()) {
        TD_ASSERT(input.file != nullptr, "DiskANN adjacency load needs a file");
        if (!input.shared_cache) {
            stats.adjacency_windows_read = saturating_add(stats.adjacency_windows_read, work.missing.size());
            load_direct(*input.file, cache, pool, work);
        } else {
            SharedWindowCacheView& shared = source.shared_adjacency_cache();
            const SharedLoadCounts c = load_shared(shared, *input.file, cache, pool, work);
            stats.adjacency_shared_hits = saturating_add(stats.adjacency_shared_hits, saturating_add(c.hits, c.received));
            stats.adjacency_windows_read = saturating_add(stats.adjacency_windows_read, c.read);
            stats.adjacency_shared_waits = saturating_add(stats.adjacency_shared_waits, c.waits);
            stats.adjacency_shared_evictions = saturating_add(stats.adjacency_shared_evictions, c.evicted);
            stats.shared_cache_lock_acquisitions =
                saturating_add(stats.shared_cache_lock_acquisitions, c.lock.acquisitions);
            stats.shared_cache_lock_wait_ns = saturating_add(stats.shared_cache_lock_wait_ns, c.lock.wait_ns);
        }
    }
    stats.adjacency_cache_peak_bytes = std::max(stats.adjacency_cache_peak_bytes, cache.charged_bytes());

    const uint64_t section_offset = planner.section_offset();
    for (uint64_t page : work.pages) {
        const auto w = planner.window_for_logical_page(page);
        if (!w) invalid_data("DiskANN adjacency page is out of range");
        std::span<const uint8_t> bytes;
        if (planner.window_in_prefix(*w, preload_len)) {
            bytes = input.preload.subspan(w->offset - section_offset, w->len);
        } else {
            const WindowPayload* p = cache.get(w->offset);
            if (p == nullptr) invalid_data("DiskANN adjacency validation window is not loaded");
            bytes = p->bytes();
        }
        const uint64_t start = page * kLogicalPageBytes - (w->offset - section_offset);
        if (bytes.size() < start || bytes.size() - start < kLogicalPageBytes) {
            invalid_data("DiskANN adjacency page is truncated");
        }
        source.validate_page_once(page, bytes.subspan(start, kLogicalPageBytes));
        validated_pages.insert(page);
    }
}

VectorWindowLoad load_vector_windows(std::span<const ReadWindow> windows, SharedWindowCacheView* shared,
                                     const io::SeekRead& file, VectorWindowCache& cache, WindowBufferPool& pool,
                                     WindowLoadWork& work, bool parallel_reads) {
    work.missing.clear();
    for (const ReadWindow& w : windows) {
        if (!cache.contains_key(w)) work.missing.push_back(w);
    }
    VectorWindowLoad out;
    out.windows_found = windows.size() - work.missing.size();
    if (work.missing.empty()) return out;
    if (shared == nullptr) {
        const uint64_t missing = work.missing.size();
        load_direct(file, cache, pool, work, parallel_reads);
        out.windows_read = missing;
        return out;
    }
    const SharedLoadCounts c = load_shared(*shared, file, cache, pool, work, parallel_reads);
    out.windows_found = saturating_add(out.windows_found, saturating_add(c.hits, c.received));
    out.windows_read = c.read;
    out.shared_evictions = c.evicted;
    return out;
}

}  // namespace tavren::diskann_search
