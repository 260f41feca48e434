// Loading the read windows a DiskANN query needs: the adjacency pages of a
// beam round (validated once per reader family) and the raw-vector windows of
// a rerank, through the reader's shared window caches or by direct host
// reads, into the session's query caches.
//
// The reader core supplies what lives in its resident data through the two
// narrow views below (the shared window cache, the adjacency locators and the
// once-per-family page validation); everything else is plain values.
//
// Guarantees beyond the plain protocol:
//   - every window reserved in the shared cache by a load is published or
//     cancelled on every exit path, errors included, so no other session
//     blocks on it for ever; a failed cancel or publish still lets the other
//     reservations be cancelled one by one;
//   - when a load returns, every given node's window is local (preload or
//     query cache): windows the call needs are never evicted to make room.
//
// Thread rules: a load runs on one thread for one session; several sessions
// of one reader load at once and meet only in the shared views, which must be
// safe for concurrent use. No lock is held while the host is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "diskann_format.hpp"
#include "diskann_windows.hpp"
#include "io.hpp"

namespace tavren::diskann_search {

using diskann_windows::AdjacencyWindowCache;
using diskann_windows::OffsetSet;
using diskann_windows::ReadWindowPlanner;
using diskann_windows::SharedWindow;
using diskann_windows::VectorWindowCache;
using diskann_windows::WindowBufferPool;

// Shard-lock statistics of shared-cache operations (both saturating).
struct LockWait {
    uint64_t acquisitions = 0;
    uint64_t wait_ns = 0;
    void add(const LockWait& other) noexcept {
        acquisitions = saturating_add(acquisitions, other.acquisitions);
        wait_ns = saturating_add(wait_ns, other.wait_ns);
    }
    friend bool operator==(const LockWait&, const LockWait&) = default;
};

enum class SharedLookupKind : uint8_t { Hit, Reserved, Wait };
struct SharedLookup {
    SharedLookupKind kind = SharedLookupKind::Reserved;
    SharedWindow window;  // set for Hit
    LockWait lock;
};
struct SharedPublish {
    uint64_t evicted = 0;
    LockWait lock;
};
struct SharedWaitResult {
    SharedWindow window;  // none when the reservation was cancelled (or the window went)
    LockWait lock;
};

// A reader's shared window cache as the loaders use it. Implementations are
// safe for concurrent use and may throw Error (a poisoned shard).
class SharedWindowCacheView {
public:
    virtual ~SharedWindowCacheView() = default;
    virtual SharedLookup lookup_or_reserve(uint64_t offset, uint64_t len) = 0;
    virtual SharedPublish publish(uint64_t offset, SharedWindow window) = 0;
    virtual LockWait cancel(std::span<const uint64_t> offsets) = 0;
    virtual SharedWaitResult wait_for(uint64_t offset, uint64_t len) = 0;
    // The cache's independent parts: lookups of offsets in different shards
    // share no state, so a loader may run each shard's lookups on a thread of
    // its own. An unsharded view keeps the defaults.
    virtual size_t shard_count() const noexcept { return 1; }
    virtual size_t shard_of(uint64_t) const noexcept { return 0; }
};

// A node's adjacency locator: logical page, byte offset of its list within
// the page, metadata (bits 0..14 the degree, bit 15 a raw u32 list).
using diskann_format::AdjacencyLocator;

// What the adjacency loader needs of the reader's resident data.
class AdjacencyPageSource {
public:
    virtual ~AdjacencyPageSource() = default;
    // Errors of the reader core ("DiskANN resident sections are not loaded",
    // "DiskANN adjacency index is truncated").
    virtual AdjacencyLocator adjacency_locator(size_t node) const = 0;
    // Validates one 4096-byte page once per reader family: the first session
    // validates, the others wait for it or replay its cached error. Throws the
    // validation error.
    virtual void validate_page_once(uint64_t page, std::span<const uint8_t> page_bytes) = 0;
    // The shared adjacency window cache; InvalidData "DiskANN resident
    // sections are not loaded" without resident data.
    virtual SharedWindowCacheView& shared_adjacency_cache() = 0;
};

// The statistics counters an adjacency load adds to (saturating), named as
// in the search statistics.
struct AdjacencyLoadStats {
    uint64_t adjacency_shared_hits = 0;
    uint64_t adjacency_windows_read = 0;
    uint64_t adjacency_shared_waits = 0;
    uint64_t adjacency_shared_evictions = 0;
    uint64_t shared_cache_lock_acquisitions = 0;
    uint64_t shared_cache_lock_wait_ns = 0;
    uint64_t adjacency_cache_peak_bytes = 0;
    uint64_t adjacency_cache_evictions = 0;
};

// Reusable working arrays of the loaders (kept by the session so that warm
// loads allocate nothing). load_vector_windows leaves `planned` alone, so a
// caller may plan into it and pass it in.
struct WindowLoadWork {
    std::vector<diskann_windows::ReadWindow> needed;
    std::vector<uint8_t> needed_held;
    std::vector<uint64_t> pages;
    std::vector<diskann_windows::ReadWindow> planned;
    std::vector<diskann_windows::ReadWindow> missing;
    std::vector<diskann_windows::ReadWindow> reserved;
    std::vector<uint64_t> reserved_offsets;
    std::vector<diskann_windows::ReadWindow> waiting;
    std::vector<SharedLookup> lookups;  // the shared-cache answer for each missing window
    std::vector<size_t> shard_start;    // missing windows by shard: positions [start[s], start[s + 1])
    std::vector<size_t> by_shard;       //   of this array
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<uint64_t> read_offsets;
    std::vector<std::span<uint8_t>> read_spans;
};

// The reader's side of an adjacency load.
struct AdjacencyLoadInput {
    ReadWindowPlanner planner;           // over the adjacency-page section, the plan's window size
    std::span<const uint8_t> preload;    // the adjacency preload (a prefix of the section)
    const io::SeekRead* file = nullptr;  // the host file; its max_ranges_per_call bounds each call
    bool shared_cache = false;           // the adjacency cache budget is above 0
};

// Makes every given node's adjacency page local (in the preload or the query
// cache) and known valid. A node whose page is in `validated_pages` and whose
// window is local needs nothing: a warm round takes no lock and reads nothing.
// Missing windows go to the host in ascending order, at most
// max_ranges_per_call per call, never merged or split. Errors: the locator's,
// InvalidData "DiskANN adjacency page is out of range", "DiskANN query window
// buffer allocation failed" (InvalidInput), "DiskANN paged section is
// truncated" for a short host read (other host errors unchanged), the shared
// cache's, "DiskANN adjacency validation window is not loaded", "DiskANN
// adjacency page is truncated" and the validation errors.
void load_adjacency_pages(const AdjacencyLoadInput& input, AdjacencyPageSource& source, std::span<const size_t> nodes,
                          AdjacencyWindowCache& cache, OffsetSet& validated_pages, WindowBufferPool& pool,
                          AdjacencyLoadStats& stats, WindowLoadWork& work);

// What a raw-vector load did.
struct VectorWindowLoad {
    uint64_t windows_found = 0;     // in the query cache already, or served by the shared cache
    uint64_t windows_read = 0;      // read through the host by this session
    uint64_t shared_evictions = 0;  // evicted from the shared cache by this session's publications
};

// Makes the given distinct raw-vector windows local in the query cache:
// directly from the host when `shared` is null (no shared raw-vector cache),
// else through it. Same read grouping and error mapping as the adjacency
// load; nothing is validated. With `parallel_reads` (the streaming batch
// rerank, called outside the pool) the host reads of a load of many windows
// are issued from the pool in slices of kParallelReadWindows windows, each
// slice grouped as one serial read would be; the host's read callback
// accepts concurrent calls. Which windows are read, and how often, is the
// same as serially.
VectorWindowLoad load_vector_windows(std::span<const diskann_windows::ReadWindow> windows,
                                     SharedWindowCacheView* shared, const io::SeekRead& file,
                                     VectorWindowCache& cache, WindowBufferPool& pool, WindowLoadWork& work,
                                     bool parallel_reads = false);

// Windows per pool task of a parallel window read.
inline constexpr size_t kParallelReadWindows = 128;

// Rethrows a host read error: a premature end of input becomes InvalidData
// "DiskANN paged section is truncated"; other errors unchanged.
[[noreturn]] void rethrow_paged_read_error(std::exception_ptr error);

}  // namespace tavren::diskann_search
