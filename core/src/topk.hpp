// The bounded top-k heap of the IVF-SQ and IVF-RQ searches: keeps the k
// nearest distinct row IDs offered to it, each with the smallest distance it
// was offered with, and hands them out sorted.
//
// Tie rules are part of the results: an entry equal to its parent never rises,
// of two equal children the left one is taken, a full heap admits a candidate
// only when it is strictly nearer than its worst entry, and the final sort is
// stable on the IEEE total order of the distance (-0.0 before +0.0) without
// looking at the row ID.
//
// Thread rules: one thread at a time per heap; parallel tasks own theirs.
// Memory for k entries (array and row-ID map) is reserved at creation, so
// offers never allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace tavren::topk {

class TopKHeap {
public:
    // An empty heap with ceiling +inf. Throws std::bad_alloc when room for k
    // entries cannot be reserved.
    explicit TopKHeap(size_t k);
    // An empty heap whose offers at or above `max_distance` are ignored.
    static TopKHeap with_max_distance(size_t k, float max_distance);

    // Offers one row. Ignored when k is 0, when the distance is NaN or not
    // below the ceiling, when the row is already held with a distance not
    // greater than this one (a held row only ever improves), or when the heap
    // is full and the distance is not strictly below the worst held one.
    void push(int64_t id, float distance);

    // The distance an offer must be strictly below to enter: the worst held
    // distance when the heap holds k entries (k > 0), else the ceiling.
    float threshold() const noexcept;

    size_t len() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    size_t k() const noexcept { return k_; }
    float max_distance() const noexcept { return max_distance_; }

    // Consumes the heap: its (distance, row ID) pairs, ascending in the IEEE
    // total order, equal distances in their order inside the heap array.
    std::vector<std::pair<float, int64_t>> into_sorted() &&;

private:
    struct Entry {
        float distance;
        int64_t id;
    };

    // Row ID -> slot, open addressing with linear probing and backward-shift
    // deletion; sized once for k keys at a load of at most 1/2.
    class SlotMap {
    public:
        explicit SlotMap(size_t k);
        size_t* find(int64_t id) noexcept;
        void insert(int64_t id, size_t slot) noexcept;  // id must be absent
        void erase(int64_t id) noexcept;                // id must be present

    private:
        static constexpr size_t kEmpty = std::numeric_limits<size_t>::max();
        struct Bucket {
            int64_t id;
            size_t slot;  // kEmpty marks a free bucket
        };
        size_t home(int64_t id) const noexcept;
        std::vector<Bucket> buckets_;
        size_t mask_ = 0;
    };

    void sift_down(size_t i) noexcept;
    void swap_entries(size_t i, size_t j) noexcept;

    std::vector<Entry> entries_;
    SlotMap positions_;
    size_t k_;
    float max_distance_;
};

}  // namespace tavren::topk
