#include "diskann_windows.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace tavren::diskann_windows {

// ---- planners ------------------------------------------------------------------

ReadWindowPlanner::ReadWindowPlanner(uint64_t section_offset, uint64_t section_len, uint64_t window_bytes)
    : section_offset_(section_offset), section_len_(section_len), window_bytes_(window_bytes) {
    TD_ASSERT(window_bytes > 0, "DiskANN read window size must be positive");
}

std::optional<ReadWindow> ReadWindowPlanner::window_for_logical_page(uint64_t page) const noexcept {
    // page * 4096 must fit in 64 bits.
    if (page >= (uint64_t{1} << 52)) return std::nullopt;
    const uint64_t p = page * kLogicalPageBytes;
    if (p >= section_len_) return std::nullopt;
    const uint64_t start = p - p % window_bytes_;
    const auto offset = checked_add(section_offset_, start);
    if (!offset) return std::nullopt;
    return ReadWindow{*offset, std::min(section_len_ - start, window_bytes_)};
}

bool ReadWindowPlanner::window_in_prefix(const ReadWindow& window, uint64_t prefix_len) const noexcept {
    if (window.offset < section_offset_) return false;
    const auto end = checked_add(window.offset - section_offset_, window.len);
    return end && *end <= prefix_len;
}

void ReadWindowPlanner::sort_unique(std::vector<ReadWindow>& windows) {
    std::sort(windows.begin(), windows.end(),
              [](const ReadWindow& a, const ReadWindow& b) { return a.offset < b.offset; });
    // A planner gives one length per offset; keep the last seen all the same.
    auto out = windows.begin();
    for (auto it = windows.begin(); it != windows.end(); ++it) {
        if (out != windows.begin() && std::prev(out)->offset == it->offset) {
            std::prev(out)->len = it->len;
        } else {
            *out++ = *it;
        }
    }
    windows.erase(out, windows.end());
}

VectorWindowPlanner VectorWindowPlanner::create(const read_options::ReadPlan& plan, uint64_t section_offset,
                                                uint64_t section_len, uint64_t record_bytes) {
    if (record_bytes == 0) invalid_data("DiskANN raw-vector record size must be greater than zero");
    const uint64_t per_window = std::max<uint64_t>(1, plan.window_bytes / record_bytes);
    return VectorWindowPlanner(section_offset, section_len, record_bytes, per_window);
}

std::optional<ReadWindow> VectorWindowPlanner::window_for_node(uint64_t node) const noexcept {
    const auto at = checked_mul(node, record_bytes_);
    if (!at || *at >= section_len_) return std::nullopt;
    const uint64_t first = node - node % records_per_window_;
    const auto start = checked_mul(first, record_bytes_);
    const auto span_bytes = checked_mul(records_per_window_, record_bytes_);
    if (!start || !span_bytes) return std::nullopt;
    const auto offset = checked_add(section_offset_, *start);
    if (!offset) return std::nullopt;
    return ReadWindow{*offset, std::min(section_len_ - *start, *span_bytes)};
}

namespace {

// What record() found: the record's slice, or the first check it failed.
enum class RecordFault : uint8_t { None, OffsetOverflows, WindowAfterRecord, RangeOverflows, Truncated };

std::pair<std::span<const uint8_t>, RecordFault> find_record(uint64_t section_offset, uint64_t record_bytes,
                                                                    const ReadWindow& window,
                                                                    std::span<const uint8_t> bytes,
                                                                    uint64_t node) noexcept {
    const auto rel = checked_mul(node, record_bytes);
    const auto start = rel ? checked_add(*rel, section_offset) : std::nullopt;
    if (!start) return {{}, RecordFault::OffsetOverflows};
    if (*start < window.offset) return {{}, RecordFault::WindowAfterRecord};
    const auto end_abs = checked_add(*start, record_bytes);
    if (!end_abs) return {{}, RecordFault::RangeOverflows};
    if (bytes.size() < *end_abs - window.offset) return {{}, RecordFault::Truncated};
    return {bytes.subspan(*start - window.offset, record_bytes), RecordFault::None};
}

}  // namespace

std::span<const uint8_t> VectorWindowPlanner::record(const ReadWindow& window, std::span<const uint8_t> bytes,
                                                     uint64_t node) const {
    const auto [slice, fault] = find_record(section_offset_, record_bytes_, window, bytes, node);
    switch (fault) {
        case RecordFault::None: break;
        case RecordFault::OffsetOverflows: invalid_data("DiskANN raw-vector offset overflows");
        case RecordFault::WindowAfterRecord: invalid_data("DiskANN raw-vector window starts after its record");
        case RecordFault::RangeOverflows: invalid_data("DiskANN raw-vector record range overflows");
        case RecordFault::Truncated: invalid_data("DiskANN raw-vector record is truncated");
    }
    return slice;
}

std::span<const uint8_t> VectorWindowPlanner::record_if_present(const ReadWindow& window,
                                                                std::span<const uint8_t> bytes,
                                                                uint64_t node) const noexcept {
    return find_record(section_offset_, record_bytes_, window, bytes, node).first;
}

// ---- sets and recency order ----------------------------------------------------

void OffsetLru::append(uint64_t offset, uint64_t* stamp) {
    // Each offset has exactly one current entry, so the list's other entries
    // are counted without looking at them. A full list is swept rather than
    // grown while at least half of it is spent: the list then grows only
    // with the number of offsets, and a cache that keeps touching the same
    // windows stops allocating.
    if (order_.size() == order_.capacity()) {
        const size_t spent = order_.size() - stamps_.size();
        if (spent > 0 && 2 * spent >= order_.size()) compact();
    }
    order_.push_back(Entry{offset, clock_ + 1});
    ++clock_;
    if (stamp != nullptr) {
        *stamp = clock_;
    } else {
        try {
            stamps_.insert_or_assign(offset, clock_);
        } catch (...) {
            order_.pop_back();
            throw;
        }
    }
    trim_ends();
}

void OffsetLru::touch(uint64_t offset) {
    if (!touch_if_present(offset)) append(offset, nullptr);
}

bool OffsetLru::touch_if_present(uint64_t offset) {
    uint64_t* stamp = stamps_.find(offset);
    if (stamp == nullptr) return false;
    // The last entry is always current, so this tells whether it is already the newest.
    if (order_.back().offset != offset) append(offset, stamp);
    return true;
}

void OffsetLru::remove(uint64_t offset) {
    if (!stamps_.erase(offset)) return;
    trim_ends();
}

std::optional<uint64_t> OffsetLru::pop_oldest() {
    if (head_ == order_.size()) return std::nullopt;
    const uint64_t offset = order_[head_].offset;
    ++head_;
    if (!stamps_.erase(offset)) panic("DiskANN LRU oldest offset must exist");
    trim_ends();
    return offset;
}

void OffsetLru::trim_ends() noexcept {
    while (head_ < order_.size() && !current(order_[head_])) ++head_;
    while (order_.size() > head_ && !current(order_.back())) order_.pop_back();
    if (head_ == order_.size()) {
        order_.clear();
        head_ = 0;
    }
}

void OffsetLru::compact() noexcept {
    // The stamps of the entries a few places ahead are requested early: the
    // sweep then waits on several scattered reads at once, not on each.
    constexpr size_t kAhead = 8;
    size_t out = 0;
    for (size_t i = head_; i < order_.size(); ++i) {
        if (i + kAhead < order_.size()) stamps_.prefetch(order_[i + kAhead].offset);
        if (current(order_[i])) order_[out++] = order_[i];
    }
    order_.resize(out);
    head_ = 0;
}

std::vector<uint64_t> OffsetLru::oldest_to_newest() const {
    std::vector<uint64_t> out;
    out.reserve(stamps_.size());
    for (size_t i = head_; i < order_.size(); ++i) {
        if (current(order_[i])) out.push_back(order_[i].offset);
    }
    return out;
}

// ---- payloads and pool -----------------------------------------------------------

SharedWindow share_window_payload(std::vector<uint8_t> buffer) {
    return std::make_shared<const std::vector<uint8_t>>(std::move(buffer));
}

std::vector<uint8_t> WindowBufferPool::take_capacity(uint64_t len) {
    std::vector<uint8_t> buffer;
    if (!buffers_.empty()) {
        size_t chosen = buffers_.size() - 1;
        if (buffers_[chosen].capacity() != len) {
            std::optional<size_t> best_fit;
            size_t largest = 0;
            for (size_t i = 0; i < buffers_.size(); ++i) {
                const uint64_t cap = buffers_[i].capacity();
                if (cap >= len && (!best_fit || cap < buffers_[*best_fit].capacity())) best_fit = i;
                if (cap >= buffers_[largest].capacity()) largest = i;
            }
            chosen = best_fit ? *best_fit : largest;
        }
        buffer = std::move(buffers_[chosen]);
        if (chosen + 1 != buffers_.size()) buffers_[chosen] = std::move(buffers_.back());
        buffers_.pop_back();
        pooled_bytes_ = saturating_sub(pooled_bytes_, buffer.capacity());
    }
    if (buffer.capacity() < len) {
        try {
            if (len > buffer.max_size()) throw std::bad_alloc();
            buffer.clear();  // growing copies nothing
            buffer.reserve(static_cast<size_t>(len));
        } catch (const std::bad_alloc&) {
            recycle(std::move(buffer));
            invalid_input("DiskANN query window buffer allocation failed");
        } catch (const std::length_error&) {
            recycle(std::move(buffer));
            invalid_input("DiskANN query window buffer allocation failed");
        }
    }
    return buffer;
}

std::vector<uint8_t> WindowBufferPool::take(uint64_t len) {
    std::vector<uint8_t> buffer = take_capacity(len);
    buffer.clear();
    buffer.resize(static_cast<size_t>(len));
    return buffer;
}

std::vector<uint8_t> WindowBufferPool::take_for_read(uint64_t len) {
    std::vector<uint8_t> buffer = take_capacity(len);
    // Shrinking writes nothing; within the capacity, growing zeroes only the
    // bytes past the old size.
    buffer.resize(static_cast<size_t>(len));
    return buffer;
}

void WindowBufferPool::recycle(std::vector<uint8_t> buffer) noexcept {
    const auto total = checked_add(pooled_bytes_, buffer.capacity());
    if (!total || *total > limit_bytes_ || buffer.capacity() == 0) return;
    try {
        buffers_.push_back(std::move(buffer));
    } catch (...) {
        return;  // could not grow the list: the buffer is freed instead
    }
    pooled_bytes_ = *total;
}

void WindowBufferPool::set_limit(uint64_t limit_bytes) noexcept {
    limit_bytes_ = limit_bytes;
    while (pooled_bytes_ > limit_bytes_) {
        if (buffers_.empty()) {
            pooled_bytes_ = 0;
            break;
        }
        pooled_bytes_ = saturating_sub(pooled_bytes_, buffers_.back().capacity());
        buffers_.pop_back();
    }
}

std::vector<uint64_t> WindowBufferPool::capacities() const {
    std::vector<uint64_t> out;
    for (const auto& b : buffers_) out.push_back(b.capacity());
    return out;
}

// ---- caches ------------------------------------------------------------------------

void WindowCache::release(WindowPayload&& payload, WindowBufferPool& pool) noexcept {
    if (!payload.is_shared()) pool.recycle(payload.take_owned());
    // A shared reference is released when `payload` goes out of scope.
}

void WindowCache::insert(uint64_t offset, WindowPayload payload) {
    const uint64_t charge = payload.charge();
    if (auto old = windows_.insert_or_assign(offset, Entry{std::move(payload), 0})) {
        charged_bytes_ = saturating_sub(charged_bytes_, old->payload.charge());
        lru_.remove(offset);
    }
    charged_bytes_ = saturating_add(charged_bytes_, charge);
    lru_.touch(offset);
}

uint64_t WindowCache::trim(WindowBufferPool& pool, uint64_t limit) {
    return trim_keeping_newest(pool, limit, 0);
}

uint64_t WindowCache::trim_keeping_newest(WindowBufferPool& pool, uint64_t limit, size_t pinned) {
    if (limit >= charged_bytes_) return 0;
    uint64_t evicted = 0;
    while (limit < charged_bytes_ && lru_.size() > pinned) {
        const auto offset = lru_.pop_oldest();
        if (!offset) break;
        auto entry = windows_.erase(*offset);
        if (!entry) continue;
        evicted = saturating_add(evicted, 1);
        charged_bytes_ = saturating_sub(charged_bytes_, entry->payload.charge());
        release(std::move(entry->payload), pool);
    }
    return evicted;
}

uint64_t WindowCache::recycle(WindowBufferPool& pool) {
    uint64_t held = 0;
    while (auto offset = lru_.pop_oldest()) {
        if (auto entry = windows_.erase(*offset)) {
            ++held;
            release(std::move(entry->payload), pool);
        }
    }
    windows_.clear();
    charged_bytes_ = 0;
    return held;
}

void WindowCache::touch(uint64_t offset) {
    // The recency order holds exactly the cached offsets.
    lru_.touch_if_present(offset);
}

size_t WindowCache::touch_distinct(std::span<const ReadWindow> windows) {
    ++stamp_;
    size_t distinct = 0;
    for (const ReadWindow& w : windows) {
        Entry* e = windows_.find(w.offset);
        if (e == nullptr || e->stamp == stamp_) continue;
        e->stamp = stamp_;
        lru_.touch(w.offset);
        ++distinct;
    }
    return distinct;
}

void VectorWindowCache::touch_windows(std::span<const ReadWindow> windows) {
    for (const ReadWindow& w : windows) touch(w.offset);
}

uint64_t prepare_adjacency_window_cache(std::span<const ReadWindow> needed, uint64_t incoming_bytes,
                                        AdjacencyWindowCache& cache, WindowBufferPool& pool) {
    const uint64_t limit =
        incoming_bytes <= kAdjacencyWindowCacheLimit ? kAdjacencyWindowCacheLimit - incoming_bytes : 0;
    // The needed windows that are cached become the newest and are pinned:
    // the trim stops before them, so every node of the call finds its window
    // local once the load returns, even if the cache overshoots the limit.
    size_t pinned = 0;
    if (!needed.empty() && !cache.empty()) pinned = cache.touch_distinct(needed);
    return cache.trim_keeping_newest(pool, limit, pinned);
}

VectorCachePreparation prepare_vector_window_cache(std::span<const ReadWindow> windows, VectorWindowCache& cache,
                                                   WindowBufferPool& pool, uint64_t limit) {
    uint64_t total = 0;
    bool overflow = false;
    for (const ReadWindow& w : windows) {
        const auto sum = checked_add(total, w.len);
        if (!sum) {
            overflow = true;
            break;
        }
        total = *sum;
    }
    if (overflow || total > limit) return {false, cache.recycle(pool)};
    return {true, cache.trim(pool, limit)};
}

}  // namespace tavren::diskann_windows
