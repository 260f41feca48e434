// A u32-keyed open-addressing table that can be emptied in time proportional
// to the number of keys it holds, not to its size: the reusable visited marks
// and small maps of graph searches and batch scans.
//
// SparseTable<V> maps keys to values of type V; SparseTable<void> (SparseSet)
// is the set form and stores no values. Key u32::MAX marks an empty slot and
// can never be stored. The slot count is a power of two, at least 8; the
// number of keys stays below 7/10 of it, so every probe meets an empty slot.
// Probing is linear from the lowbias32 hash of the key.
//
// Thread rules: one thread at a time per table. Keyed operations assert that
// the key is not u32::MAX. The table grows (doubling) inside insert and never
// shrinks; clear() keeps the slot count and leaves stale values behind for
// later insertions to overwrite.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"

namespace tavren::sparse_table {

template <class V = void>
class SparseTable {
    static constexpr bool kSet = std::is_void_v<V>;
    // Storage type of a value; the set form never allocates any.
    using Value = std::conditional_t<kSet, unsigned char, V>;

public:
    static constexpr uint32_t kEmptyKey = std::numeric_limits<uint32_t>::max();
    // Slot numbers are kept as u32, so the table never exceeds 2^32 slots.
    static constexpr uint64_t kMaxSlots = uint64_t{1} << 32;

    // An empty table with room for `capacity` keys before its first growth:
    // slot count = the next power of two of max(2 * capacity, 8). Nothing
    // (without detail) when capacity exceeds i64::MAX, the slot count is not
    // representable or above 2^32, or an array cannot be allocated.
    static std::optional<SparseTable> try_with_capacity(size_t capacity) noexcept {
        if (capacity > static_cast<size_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        const size_t want = std::max<size_t>(2 * capacity, 8);
        if (want > (size_t{1} << 63)) return std::nullopt;
        const size_t slots = std::bit_ceil(want);
        if (slots > kMaxSlots) return std::nullopt;
        try {
            SparseTable table;
            table.keys_.assign(slots, kEmptyKey);
            if constexpr (!kSet) table.values_.assign(slots, Value{});
            table.occupied_.reserve(capacity);
            return std::optional<SparseTable>(std::move(table));
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        } catch (const std::length_error&) {
            return std::nullopt;
        }
    }

    size_t slot_count() const noexcept { return keys_.size(); }
    size_t len() const noexcept { return occupied_.size(); }
    bool empty() const noexcept { return occupied_.empty(); }
    // The slots of the held keys, in the order the keys were first inserted.
    std::span<const uint32_t> occupied() const noexcept { return occupied_; }
    // The key stored in `slot` (kEmptyKey for an empty slot).
    uint32_t key_at(size_t slot) const {
        check_index(slot, keys_.size());
        return keys_[slot];
    }

    bool contains(uint32_t key) const { return find(key).has_value(); }

    std::optional<Value> get(uint32_t key) const
        requires(!kSet)
    {
        auto slot = find(key);
        if (!slot) return std::nullopt;
        return values_[*slot];
    }

    Value* get_mut(uint32_t key)
        requires(!kSet)
    {
        auto slot = find(key);
        if (!slot) return nullptr;
        return &values_[*slot];
    }

    // Stores the value; the previous value of a held key, or nothing for a new one.
    std::optional<Value> insert(uint32_t key, Value value)
        requires(!kSet)
    {
        auto [slot, held] = place(key);
        if (held) return std::exchange(values_[slot], std::move(value));
        values_[slot] = std::move(value);
        return std::nullopt;
    }

    // Set form: whether the key was already present.
    bool insert(uint32_t key)
        requires(kSet)
    {
        return place(key).second;
    }

    // Empties the table, visiting only the slots of the held keys.
    void clear() {
        for (uint32_t slot : occupied_) {
            check_index(slot, keys_.size());
            keys_[slot] = kEmptyKey;
        }
        occupied_.clear();
    }

    // lowbias32: the home slot of x is hash(x) & (slot count - 1).
    static constexpr uint32_t hash(uint32_t x) noexcept {
        x ^= x >> 16;
        x *= 0x7FEB352Du;
        x ^= x >> 15;
        x *= 0x846CA68Bu;
        x ^= x >> 16;
        return x;
    }

private:
    SparseTable() = default;

    static void check_key(uint32_t key) {
        if (key == kEmptyKey) [[unlikely]] {
            panic("assertion `left != right` failed: u32::MAX is reserved by SparseTable\n  left: {}\n right: {}",
                  key, kEmptyKey);
        }
    }

    std::optional<size_t> find(uint32_t key) const {
        check_key(key);
        auto slot = probe_free(keys_, key);
        if (slot && keys_[*slot] == key) return slot;
        return std::nullopt;
    }

    // The first empty slot (or the slot of `key`) probing from its home;
    // nothing when every slot is taken by other keys.
    static std::optional<size_t> probe_free(const std::vector<uint32_t>& keys, uint32_t key) noexcept {
        const size_t n = keys.size();
        const size_t mask = n - 1;
        size_t i = hash(key) & mask;
        for (size_t probe = 0; probe < n; ++probe, i = (i + 1) & mask) {
            if (keys[i] == key || keys[i] == kEmptyKey) return i;
        }
        return std::nullopt;
    }

    // The slot of `key` and whether it was held already; a new key is stored
    // (growing first when the load would reach 7/10) and listed in occupied_.
    std::pair<size_t, bool> place(uint32_t key) {
        check_key(key);
        auto slot = probe_free(keys_, key);
        if (!slot) panic("SparseTable must have a slot");
        if (keys_[*slot] == key) return {*slot, true};
        if (occupied_.size() >= keys_.size() * 7 / 10) {
            grow();
            slot = probe_free(keys_, key);
            if (!slot) panic("grown SparseTable must have a slot");
        }
        keys_[*slot] = key;
        occupied_.push_back(static_cast<uint32_t>(*slot));
        return {*slot, false};
    }

    void grow() {
        const size_t slots = keys_.size() * 2;
        TD_ASSERT(slots <= kMaxSlots, "SparseTable slot count {} exceeds u32 slot numbers", slots);
        std::vector<uint32_t> keys(slots, kEmptyKey);
        std::vector<Value> values;
        if constexpr (!kSet) values.assign(slots, Value{});
        std::vector<uint32_t> occupied;
        occupied.reserve(slots * 7 / 10);
        for (uint32_t old : occupied_) {
            const uint32_t key = keys_[old];
            auto slot = probe_free(keys, key);
            if (!slot) panic("empty grown SparseTable must have a slot");
            keys[*slot] = key;
            if constexpr (!kSet) values[*slot] = std::move(values_[old]);
            occupied.push_back(static_cast<uint32_t>(*slot));
        }
        keys_ = std::move(keys);
        values_ = std::move(values);
        occupied_ = std::move(occupied);
    }

    std::vector<uint32_t> keys_;
    std::vector<Value> values_;  // empty for the set form
    std::vector<uint32_t> occupied_;
};

// The set form: keys only.
using SparseSet = SparseTable<void>;

}  // namespace tavren::sparse_table
