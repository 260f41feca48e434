// Row-ID filters: the decoded 64-bit Roaring bitmap of a caller's filter bytes
// (RoaringTreemap) and the one question the IVF searches ask of it
// (RowIdFilter::contains).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <roaring/roaring.h>

namespace tavren::row_id_filter {

// A set of u64 values held as 32-bit Roaring bitmaps keyed by the upper 32
// bits, in ascending key order. Owns its bitmaps; move-only.
// Thread rule: every const member is a pure read, so any number of threads may
// query one treemap at once.
class RoaringTreemap {
public:
    RoaringTreemap() noexcept = default;
    RoaringTreemap(RoaringTreemap&& other) noexcept : entries_(std::move(other.entries_)) { other.entries_.clear(); }
    RoaringTreemap& operator=(RoaringTreemap&& other) noexcept;
    RoaringTreemap(const RoaringTreemap&) = delete;
    RoaringTreemap& operator=(const RoaringTreemap&) = delete;
    ~RoaringTreemap();

    // Decodes the portable serialisation of a 64-bit Roaring bitmap: a u64
    // count of bitmaps, then per bitmap a u32 high key and a 32-bit bitmap in
    // the portable Roaring format. A repeated key replaces the bitmap read
    // before it; bytes after the last bitmap are ignored. On undecodable bytes
    // returns nullopt and puts the reason in *error ("failed to fill whole
    // buffer" when the bytes end early). Nothing is allocated from a count in
    // the bytes before the bytes behind it are known to exist, and nothing is
    // written to standard error. Throws std::bad_alloc only when memory runs out.
    static std::optional<RoaringTreemap> deserialize(std::span<const uint8_t> bytes, std::string* error);

    bool contains(uint64_t value) const noexcept {
        const uint32_t key = static_cast<uint32_t>(value >> 32);
        // Lower bound by key; the entry count is small (one per 2^32 values used).
        size_t lo = 0;
        size_t hi = entries_.size();
        while (lo < hi) {
            size_t mid = lo + (hi - lo) / 2;
            if (entries_[mid].key < key) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo < entries_.size() && entries_[lo].key == key &&
               roaring_bitmap_contains(entries_[lo].bitmap, static_cast<uint32_t>(value));
    }

    // The number of values (the filter's row count).
    uint64_t cardinality() const noexcept;
    bool is_empty() const noexcept;

    // Calls visit(value) for every value in ascending order while it returns
    // true; returns false when visit stopped the walk.
    template <class F>
    bool for_each(F&& visit) const {
        for (const Entry& e : entries_) {
            const uint64_t high = static_cast<uint64_t>(e.key) << 32;
            roaring_uint32_iterator_t it;
            roaring_init_iterator(e.bitmap, &it);
            while (it.has_value) {
                if (!visit(high | it.current_value)) return false;
                roaring_advance_uint32_iterator(&it);
            }
        }
        return true;
    }

private:
    struct Entry {
        uint32_t key;
        roaring_bitmap_t* bitmap;  // owned
    };
    void clear() noexcept;

    std::vector<Entry> entries_;  // ascending, unique keys
};

// The row-ID filter of an IVF search: a read-only view of a treemap that
// must outlive it. A negative row ID is never contained; any other row ID is
// looked up as the same 64 bits read unsigned.
// Thread rule: contains may run on several pool workers at once; it never
// allocates and never writes.
class RowIdFilter {
public:
    explicit RowIdFilter(const RoaringTreemap& treemap) noexcept : treemap_(&treemap) {}

    bool contains(int64_t row_id) const noexcept {
        return row_id >= 0 && treemap_->contains(static_cast<uint64_t>(row_id));
    }

    const RoaringTreemap& treemap() const noexcept { return *treemap_; }

private:
    const RoaringTreemap* treemap_;
};

}  // namespace tavren::row_id_filter
