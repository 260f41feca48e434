// Read windows of a DiskANN file and the per-session window caches.
//
// A DiskANN search never reads single 4096-byte adjacency pages or single
// raw-vector records: it reads read windows, byte ranges sized by the reader's
// read plan, each fetched as one host range. This module holds
//   - the planners that map logical pages and node records onto windows
//     (pure arithmetic; they read nothing and never fail while planning),
//   - OffsetLru, the recency order over window offsets (also the order inside
//     each shard of the reader's shared window caches),
//   - the per-session caches of loaded windows and the buffer pool their
//     buffers are recycled through, so steady-state queries allocate nothing.
//
// Thread rules: planners are immutable values. Caches, the pool and the maps
// belong to one search session and are used by one thread at a time; the only
// state shared between sessions is the buffer behind a shared payload, which
// is never modified once shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "numeric.hpp"
#include "read_options.hpp"

namespace tavren::diskann_windows {

// Logical page size of the adjacency-page section.
inline constexpr uint64_t kLogicalPageBytes = 4096;
// Working limit of a session's adjacency window cache (8 MiB).
inline constexpr uint64_t kAdjacencyWindowCacheLimit = 8388608;
// Byte limit of a new session's buffer pool (8 MiB).
inline constexpr uint64_t kDefaultWindowBufferLimit = 8388608;

// One byte range of the index file read as one host range. A window is
// identified by its offset alone: no planner makes two windows with one
// offset and different lengths.
struct ReadWindow {
    uint64_t offset = 0;
    uint64_t len = 0;
    friend bool operator==(const ReadWindow&, const ReadWindow&) = default;
};

// Windows of 4096-byte logical pages of one section. window_bytes is never 0
// (the read plan keeps it a multiple of 4096 in [4096, 1 MiB]).
class ReadWindowPlanner {
public:
    ReadWindowPlanner(uint64_t section_offset, uint64_t section_len, uint64_t window_bytes);

    // The window holding logical page `page`; none when the page lies outside
    // the section. Windows start at multiples of window_bytes from the section
    // start; the section's last window is clipped at the section end.
    std::optional<ReadWindow> window_for_logical_page(uint64_t page) const noexcept;

    // The distinct windows of `pages` (any order, repetitions allowed),
    // ascending by offset; pages without a window are skipped. Touching
    // windows stay separate ranges.
    template <class Pages>
    std::vector<ReadWindow> plan_logical_pages(const Pages& pages) const {
        std::vector<ReadWindow> out;
        for (auto page : pages) {
            if (auto w = window_for_logical_page(static_cast<uint64_t>(page))) out.push_back(*w);
        }
        sort_unique(out);
        return out;
    }
    // The same into a caller's array (emptied first), keeping its capacity.
    template <class Pages>
    void plan_logical_pages_into(const Pages& pages, std::vector<ReadWindow>& out) const {
        out.clear();
        for (auto page : pages) {
            if (auto w = window_for_logical_page(static_cast<uint64_t>(page))) out.push_back(*w);
        }
        sort_unique(out);
    }

    // True when the window lies wholly inside the first `prefix_len` bytes of
    // the section (the adjacency preload).
    bool window_in_prefix(const ReadWindow& window, uint64_t prefix_len) const noexcept;

    uint64_t section_offset() const noexcept { return section_offset_; }
    uint64_t section_len() const noexcept { return section_len_; }
    uint64_t window_bytes() const noexcept { return window_bytes_; }

    // Ascending by offset, one entry per offset.
    static void sort_unique(std::vector<ReadWindow>& windows);

private:
    uint64_t section_offset_;
    uint64_t section_len_;
    uint64_t window_bytes_;
};

// Windows of whole fixed-size node records (the raw-vector section).
class VectorWindowPlanner {
public:
    // records_per_window = max(1, plan.window_bytes / record_bytes). Fails
    // with InvalidData "DiskANN raw-vector record size must be greater than
    // zero" for a zero record size.
    static VectorWindowPlanner create(const read_options::ReadPlan& plan, uint64_t section_offset,
                                      uint64_t section_len, uint64_t record_bytes);

    // The window of the node's record; none when the record lies outside the
    // section or the arithmetic overflows. A window holds records
    // first .. first + records_per_window - 1 (clipped at the section end) and
    // never splits one.
    std::optional<ReadWindow> window_for_node(uint64_t node) const noexcept;

    // The distinct windows of the items' nodes, ascending by offset. Items are
    // node ids or records with a `node` field; items without a window are
    // skipped.
    template <class Items>
    std::vector<ReadWindow> plan_nodes(const Items& items) const {
        std::vector<ReadWindow> out;
        plan_nodes_into(items, out);
        return out;
    }
    template <class Items>
    void plan_nodes_into(const Items& items, std::vector<ReadWindow>& out) const {
        out.clear();
        for (const auto& item : items) {
            if (auto w = window_for_node(node_of(item))) out.push_back(*w);
        }
        ReadWindowPlanner::sort_unique(out);
    }

    // The record_bytes-long slice of `bytes` (the loaded contents of `window`)
    // holding the node's record. Only the bytes given bound the record, not
    // window.len. InvalidData: "DiskANN raw-vector offset overflows",
    // "DiskANN raw-vector window starts after its record", "DiskANN raw-vector
    // record range overflows", "DiskANN raw-vector record is truncated".
    std::span<const uint8_t> record(const ReadWindow& window, std::span<const uint8_t> bytes, uint64_t node) const;
    // The same slice, or an empty span where record() would fail.
    std::span<const uint8_t> record_if_present(const ReadWindow& window, std::span<const uint8_t> bytes,
                                               uint64_t node) const noexcept;

    uint64_t section_offset() const noexcept { return section_offset_; }
    uint64_t section_len() const noexcept { return section_len_; }
    uint64_t record_bytes() const noexcept { return record_bytes_; }
    uint64_t records_per_window() const noexcept { return records_per_window_; }

private:
    VectorWindowPlanner(uint64_t section_offset, uint64_t section_len, uint64_t record_bytes,
                        uint64_t records_per_window) noexcept
        : section_offset_(section_offset),
          section_len_(section_len),
          record_bytes_(record_bytes),
          records_per_window_(records_per_window) {}

    template <class T>
    static uint64_t node_of(const T& item) noexcept {
        if constexpr (std::is_integral_v<T>) {
            return static_cast<uint64_t>(item);
        } else {
            return static_cast<uint64_t>(item.node);
        }
    }

    uint64_t section_offset_;
    uint64_t section_len_;
    uint64_t record_bytes_;
    uint64_t records_per_window_;
};

// ---- u64-keyed open-addressing map -----------------------------------------

// A map from u64 keys (window offsets, page numbers) to V, with linear probing
// and backward-shift deletion, so erasing leaves no tombstones. It grows
// (doubling) when 7/10 of its slots would be used and never shrinks, so a
// session that reuses it allocates only while it reaches a new peak.
// Growth that fails throws std::bad_alloc (callers that must report it catch
// it). One thread at a time.
template <class V>
class OffsetMap {
public:
    size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    size_t slot_count() const noexcept { return slots_.size(); }

    V* find(uint64_t key) noexcept {
        const size_t i = locate(key);
        return i == kNone ? nullptr : &slots_[i].value;
    }
    const V* find(uint64_t key) const noexcept {
        const size_t i = locate(key);
        return i == kNone ? nullptr : &slots_[i].value;
    }
    bool contains(uint64_t key) const noexcept { return locate(key) != kNone; }
    // Starts loading the key's home slot into the caches (no effect on the map).
    void prefetch(uint64_t key) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[home(key) & (slots_.size() - 1)]);
    }

    // Inserts or replaces; returns the value it replaced, if any.
    std::optional<V> insert_or_assign(uint64_t key, V value) {
        reserve_one();
        const size_t mask = slots_.size() - 1;
        for (size_t i = home(key) & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (!s.used) {
                s.used = true;
                s.key = key;
                s.value = std::move(value);
                ++count_;
                return std::nullopt;
            }
            if (s.key == key) return std::exchange(s.value, std::move(value));
        }
    }
    // Inserts a key that must be absent-or-present; returns true when it was absent.
    bool insert(uint64_t key)
        requires std::is_default_constructible_v<V>
    {
        if (contains(key)) return false;
        insert_or_assign(key, V{});
        return true;
    }

    // Removes the key; returns its value, if it was present.
    std::optional<V> erase(uint64_t key) noexcept(std::is_nothrow_move_constructible_v<V>) {
        size_t i = locate(key);
        if (i == kNone) return std::nullopt;
        std::optional<V> out(std::move(slots_[i].value));
        const size_t mask = slots_.size() - 1;
        // Backward shift: pull later entries of the probe run into the hole
        // when the hole lies on their way from their home slot.
        size_t j = i;
        for (;;) {
            j = (j + 1) & mask;
            if (!slots_[j].used) break;
            const size_t h = home(slots_[j].key) & mask;
            const bool between = i <= j ? (i < h && h <= j) : (i < h || h <= j);
            if (between) continue;
            slots_[i].key = slots_[j].key;
            slots_[i].value = std::move(slots_[j].value);
            i = j;
        }
        slots_[i].used = false;
        slots_[i].value = V{};
        --count_;
        return out;
    }

    // Empties the map in time proportional to the slot count; the slots stay allocated.
    void clear() noexcept {
        if (count_ == 0) return;
        for (Slot& s : slots_) {
            if (s.used) {
                s.used = false;
                s.value = V{};
            }
        }
        count_ = 0;
    }

    // Visits every (key, value) in slot order.
    template <class F>
    void for_each(F&& f) const {
        for (const Slot& s : slots_) {
            if (s.used) f(s.key, s.value);
        }
    }

private:
    static constexpr size_t kNone = ~size_t{0};
    struct Slot {
        uint64_t key = 0;
        bool used = false;
        V value{};
    };

    // SplitMix64 finaliser: offsets are multiples of the page size, so their
    // low bits alone would cluster.
    static uint64_t home(uint64_t x) noexcept {
        x += 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }

    size_t locate(uint64_t key) const noexcept {
        if (count_ == 0) return kNone;
        const size_t mask = slots_.size() - 1;
        for (size_t i = home(key) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (!s.used) return kNone;
            if (s.key == key) return i;
        }
    }

    void reserve_one() {
        if (!slots_.empty() && (count_ + 1) * 10 <= slots_.size() * 7) return;
        rehash(slots_.empty() ? 16 : slots_.size() * 2);
    }

public:
    // Makes room for `n` keys without further growth (std::bad_alloc on failure).
    void reserve(size_t n) {
        size_t want = slots_.empty() ? 16 : slots_.size();
        while (n * 10 > want * 7) want *= 2;
        if (want != slots_.size()) rehash(want);
    }

private:
    void rehash(size_t want) {
        std::vector<Slot> old(want);
        old.swap(slots_);
        count_ = 0;
        const size_t mask = slots_.size() - 1;
        for (Slot& s : old) {
            if (!s.used) continue;
            size_t i = home(s.key) & mask;
            while (slots_[i].used) i = (i + 1) & mask;
            slots_[i].used = true;
            slots_[i].key = s.key;
            slots_[i].value = std::move(s.value);
            ++count_;
        }
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// A set of u64 keys (window offsets, page numbers) over OffsetMap.
class OffsetSet {
public:
    // True when the key was not in the set.
    bool insert(uint64_t key) { return map_.insert(key); }
    bool contains(uint64_t key) const noexcept { return map_.contains(key); }
    bool erase(uint64_t key) noexcept { return map_.erase(key).has_value(); }
    void clear() noexcept { map_.clear(); }
    size_t size() const noexcept { return map_.size(); }
    bool empty() const noexcept { return map_.empty(); }
    // Makes room for `n` keys without further growth (std::bad_alloc on failure).
    void reserve(size_t n) { map_.reserve(n); }

private:
    struct Unit {};
    OffsetMap<Unit> map_;
};

// ---- recency order ----------------------------------------------------------

// Recency order over u64 offsets. Each touch stamps the offset with the next
// value of a clock and appends (offset, stamp) to a list in touch order; an
// entry is current while the offset still carries its stamp. A touch thus
// costs one map update and an append, where a linked list would visit the
// offset's two neighbours as well (three scattered reads on a large cache).
// Entries left behind by later touches or removals are skipped at the ends
// and swept out when the list is full and at least half spent, so the list
// grows only with the offset count (to about four times it at most).
class OffsetLru {
public:
    // Makes the offset the newest, inserting it when absent.
    void touch(uint64_t offset);
    // Makes the offset the newest when present; returns whether it was.
    bool touch_if_present(uint64_t offset);
    // Unlinks the offset when present.
    void remove(uint64_t offset);
    // Removes and returns the least recently touched offset; none when empty.
    std::optional<uint64_t> pop_oldest();

    std::optional<uint64_t> oldest() const noexcept {
        if (head_ == order_.size()) return std::nullopt;
        return order_[head_].offset;
    }
    std::optional<uint64_t> newest() const noexcept {
        if (head_ == order_.size()) return std::nullopt;
        return order_.back().offset;
    }
    size_t size() const noexcept { return stamps_.size(); }
    bool empty() const noexcept { return stamps_.empty(); }
    bool contains(uint64_t offset) const noexcept { return stamps_.contains(offset); }
    // Offsets from oldest to newest (for tests and diagnostics; allocates).
    std::vector<uint64_t> oldest_to_newest() const;
    // Entries held, current or not (for tests).
    size_t entry_count() const noexcept { return order_.size() - head_; }

private:
    struct Entry {
        uint64_t offset;
        uint64_t stamp;
    };
    bool current(const Entry& e) const noexcept {
        const uint64_t* s = stamps_.find(e.offset);
        return s != nullptr && *s == e.stamp;
    }
    // Appends a new stamp for the offset (stamps_ holds it, or is given it).
    void append(uint64_t offset, uint64_t* stamp);
    // Drops entries that are no longer current from both ends, so that the
    // first entry is the oldest offset and the last the newest.
    void trim_ends() noexcept;
    // Keeps only the current entries, in order, from the start of the list.
    void compact() noexcept;

    OffsetMap<uint64_t> stamps_;
    std::vector<Entry> order_;
    size_t head_ = 0;
    uint64_t clock_ = 0;
};

// ---- payloads, pool and caches ----------------------------------------------

// An immutable window buffer shared between the reader's shared window cache
// and any number of sessions' query caches; freed with its last reference.
using SharedWindow = std::shared_ptr<const std::vector<uint8_t>>;

// Wraps a loaded buffer for sharing without copying its bytes.
SharedWindow share_window_payload(std::vector<uint8_t> buffer);

// The bytes of one loaded window: owned by one query cache alone, or a
// reference to a shared buffer. The charge is the buffer's capacity.
class WindowPayload {
public:
    WindowPayload() = default;
    static WindowPayload owned(std::vector<uint8_t> buffer) noexcept {
        WindowPayload p;
        p.owned_ = std::move(buffer);
        return p;
    }
    static WindowPayload shared(SharedWindow buffer) noexcept {
        WindowPayload p;
        p.shared_ = std::move(buffer);
        return p;
    }
    bool is_shared() const noexcept { return shared_ != nullptr; }
    std::span<const uint8_t> bytes() const noexcept {
        return shared_ ? std::span<const uint8_t>(*shared_) : std::span<const uint8_t>(owned_);
    }
    uint64_t charge() const noexcept { return shared_ ? shared_->capacity() : owned_.capacity(); }
    const SharedWindow& shared_buffer() const noexcept { return shared_; }
    // The owned buffer, taken out (empty for a shared payload).
    std::vector<uint8_t> take_owned() noexcept { return std::move(owned_); }

private:
    std::vector<uint8_t> owned_;
    SharedWindow shared_;
};

// Empty buffers kept for reuse, within a byte limit on their capacities.
class WindowBufferPool {
public:
    explicit WindowBufferPool(uint64_t limit_bytes = kDefaultWindowBufferLimit) noexcept : limit_bytes_(limit_bytes) {}

    // A buffer of exactly `len` zero bytes. Best fit: the last pooled buffer
    // when its capacity is exactly `len`, else the smallest capacity >= len
    // (the earliest of equals), else the largest (the latest of equals),
    // grown. InvalidInput "DiskANN query window buffer allocation failed" when
    // growing fails (the chosen buffer is offered back).
    std::vector<uint8_t> take(uint64_t len);
    // Like take, chosen and grown the same way, for a buffer that a read
    // overwrites whole: bytes a pooled buffer already held are left as they
    // are rather than zeroed (only bytes beyond its previous size are zero).
    std::vector<uint8_t> take_for_read(uint64_t len);
    // Offers a buffer back: kept (contents and capacity intact, so that
    // take_for_read need not clear it again) when the pooled capacities stay
    // within the limit, else freed.
    void recycle(std::vector<uint8_t> buffer) noexcept;
    // Stores the limit and frees the most recently pooled buffers until the
    // pooled capacities fit it.
    void set_limit(uint64_t limit_bytes) noexcept;

    uint64_t pooled_bytes() const noexcept { return pooled_bytes_; }
    uint64_t limit_bytes() const noexcept { return limit_bytes_; }
    size_t buffer_count() const noexcept { return buffers_.size(); }
    // Capacities of the pooled buffers in pool order (for tests).
    std::vector<uint64_t> capacities() const;

private:
    // The best-fit buffer of at least `len` bytes of capacity, its contents
    // and size as pooled.
    std::vector<uint8_t> take_capacity(uint64_t len);

    std::vector<std::vector<uint8_t>> buffers_;
    uint64_t pooled_bytes_ = 0;
    uint64_t limit_bytes_;
};

// A session's cache of loaded windows keyed by offset, with a recency order
// and a charge (the payloads' capacities, saturating). `lru` always holds
// exactly the cached offsets.
class WindowCache {
public:
    // Inserts or replaces the payload at `offset` and makes it the newest. A
    // replaced payload is dropped (an owned buffer freed, not pooled).
    void insert(uint64_t offset, WindowPayload payload);
    bool contains_key(const ReadWindow& window) const noexcept { return windows_.contains(window.offset); }
    bool contains_offset(uint64_t offset) const noexcept { return windows_.contains(offset); }
    // Evicts oldest windows until charged_bytes <= limit; owned buffers go to
    // the pool. Returns the number evicted.
    uint64_t trim(WindowBufferPool& pool, uint64_t limit);
    // Evicts oldest windows like trim, but never one of the `pinned` newest
    // windows: the cache may stay above the limit.
    uint64_t trim_keeping_newest(WindowBufferPool& pool, uint64_t limit, size_t pinned);
    // Empties the cache into the pool; returns the number of windows it held.
    uint64_t recycle(WindowBufferPool& pool);
    // Makes the offset the newest when cached.
    void touch(uint64_t offset);
    // Makes every cached window of `windows` (repetitions allowed) the newest
    // and returns how many distinct cached windows that was: afterwards they
    // are exactly the newest entries of the recency order.
    size_t touch_distinct(std::span<const ReadWindow> windows);

    uint64_t charged_bytes() const noexcept { return charged_bytes_; }
    size_t len() const noexcept { return windows_.size(); }
    bool empty() const noexcept { return windows_.empty(); }
    const OffsetLru& lru() const noexcept { return lru_; }

protected:
    const WindowPayload* find(uint64_t offset) const noexcept {
        const Entry* e = windows_.find(offset);
        return e == nullptr ? nullptr : &e->payload;
    }

private:
    struct Entry {
        WindowPayload payload;
        uint64_t stamp = 0;  // the touch_distinct call that last counted it
    };
    void release(WindowPayload&& payload, WindowBufferPool& pool) noexcept;

    OffsetLru lru_;
    OffsetMap<Entry> windows_;
    uint64_t charged_bytes_ = 0;
    uint64_t stamp_ = 0;
};

// Windows of adjacency pages held by one search session.
class AdjacencyWindowCache : public WindowCache {
public:
    // The cached payload; the recency order is unchanged.
    const WindowPayload* get(uint64_t offset) const noexcept { return find(offset); }
};

// Windows of raw-vector records held by one search session.
class VectorWindowCache : public WindowCache {
public:
    // The cached window's bytes; the recency order is unchanged.
    std::optional<std::span<const uint8_t>> get(const ReadWindow& window) const noexcept {
        const WindowPayload* p = find(window.offset);
        if (p == nullptr) return std::nullopt;
        return p->bytes();
    }
    // The cached window's payload (its bytes and charge), or null; the
    // recency order is unchanged.
    const WindowPayload* payload(const ReadWindow& window) const noexcept { return find(window.offset); }
    // Makes each given window the newest, in order (the last ends newest).
    void touch_windows(std::span<const ReadWindow> windows);
};

// Before a round's adjacency windows are loaded: the needed windows (one per
// node, repetitions allowed) that are cached become the newest, then the cache
// is trimmed to 8 MiB minus the incoming bytes (0 when more than 8 MiB come
// in). A cached needed window is never evicted here: the caller relies on it
// being local after the load, so the cache may stay above the limit for the
// call. Returns the number of windows evicted.
uint64_t prepare_adjacency_window_cache(std::span<const ReadWindow> needed, uint64_t incoming_bytes,
                                        AdjacencyWindowCache& cache, WindowBufferPool& pool);

struct VectorCachePreparation {
    bool keep = false;      // true: trimmed, the windows may stay cached after the rerank
    uint64_t removed = 0;  // windows evicted or emptied out
};

// Before a rerank's windows are loaded: when all its windows (cached or not)
// together exceed `limit` (or their sum overflows) the cache is emptied
// ({false, windows held}); otherwise it is trimmed to `limit` ({true, evicted}).
VectorCachePreparation prepare_vector_window_cache(std::span<const ReadWindow> windows, VectorWindowCache& cache,
                                                   WindowBufferPool& pool, uint64_t limit);

}  // namespace tavren::diskann_windows
