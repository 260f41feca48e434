// The bounded top-k heaps of the searches, one per admission policy.
//
// TopKHeap (also DistinctRowTopKHeap), of the IVF-SQ and IVF-RQ searches:
// keeps the k nearest distinct row IDs offered to it, each with the smallest
// distance it was offered with, and hands them out sorted.
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
#include <span>
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

// The distinct-row policy under a name that says so.
using DistinctRowTopKHeap = TopKHeap;

// ---- Arrival order ------------------------------------------------------------------

// One candidate: its distance and row ID.
struct ScoredRow {
    float distance;
    int64_t row_id;
};
// Ascending by distance, at most k pairs.
using PartialResult = std::vector<ScoredRow>;

// The rank of a distance: a NaN ranks as +inf, after every real distance, so
// it never displaces one and never takes part in a comparison.
inline float distance_rank(float distance) noexcept {
    return distance != distance ? std::numeric_limits<float>::infinity() : distance;
}

// The bounded result heap of one query of the IVF list searches, ties kept
// in arrival order (row IDs are not merged: a list holds each row once).
// While it fills, pairs are appended
// in offer order, each numbered by its slot (its position of arrival). From
// the k-th pair on it is full for good and its pairs form a max-heap keyed by
// (rank, slot), so the worst is the pair of largest rank and, among equal
// largest ranks, of highest slot. A full heap takes a candidate only when it
// ranks strictly below the worst; the candidate replaces the worst and keeps
// its slot. Sorting orders by (rank, slot): ascending rank, ties in slot
// order. Refusing a candidate costs one comparison, taking one O(log k).
// Never shared between threads; pushing never allocates beyond the room
// reserved at construction when the caller's max_offers bound holds.
class ArrivalOrderTopKHeap {
public:
    // One held pair: its distance, its slot and its row ID (16 bytes).
    struct Entry {
        float distance;
        uint32_t slot;
        int64_t row_id;
    };
    // Slots are 32-bit: a heap never holds more pairs than this (it would
    // take 64 GiB); one more is an assertion.
    static constexpr size_t kMaxEntries = std::numeric_limits<uint32_t>::max();

    // Room for k pairs. A k whose room overflows the address space is an
    // assertion ("capacity overflow"); an unobtainable one throws bad_alloc.
    explicit ArrivalOrderTopKHeap(size_t k);
    // Room for min(k, max_offers) pairs: for a heap that can be offered at
    // most max_offers candidates (a task over one list of that many rows).
    ArrivalOrderTopKHeap(size_t k, size_t max_offers);

    void push(int64_t row_id, float distance) {
        if (full_) {
            // Strictly nearer only; a NaN ranks as +inf and is never nearer.
            if (distance_rank(distance) < worst_rank_) replace_worst(row_id, distance);
            return;
        }
        if (k_ != 0) append(row_id, distance);
    }

    // Empties the heap for another query with this k, keeping its storage
    // and growing it to min(k, max_offers) pairs when smaller.
    void reset(size_t k, size_t max_offers);

    size_t k() const noexcept { return k_; }
    size_t size() const noexcept { return entries_.size(); }
    size_t capacity() const noexcept { return entries_.capacity(); }
    bool full() const noexcept { return full_; }
    // The rank of the worst entry of a full heap (asserts fullness).
    float worst_rank() const {
        if (!full_) worst_missing();
        return worst_rank_;
    }

    // Sorts the held pairs ascending by (rank, slot) where they lie and
    // returns them. The heap is consumed: it takes no more candidates until
    // reset. Allocates nothing.
    std::span<const Entry> sort_in_place();
    // The pairs ascending by rank, ties in slot order; the heap is consumed.
    PartialResult into_sorted() &&;

private:
    void append(int64_t row_id, float distance);
    void replace_worst(int64_t row_id, float distance) noexcept;
    [[noreturn]] static void worst_missing();

    std::vector<Entry> entries_;
    size_t k_;
    float worst_rank_ = 0.0f;
    bool full_ = false;
};

}  // namespace tavren::topk
