#include "topk.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "error.hpp"
#include "numeric.hpp"

namespace tavren::topk {

TopKHeap::SlotMap::SlotMap(size_t k) {
    if (k == 0) return;
    // Twice k buckets, a power of two: probes stay short and always end.
    if (k > (size_t{1} << 58)) throw std::bad_alloc();
    size_t buckets = std::bit_ceil(std::max<size_t>(2 * k, 8));
    buckets_.assign(buckets, Bucket{0, kEmpty});
    mask_ = buckets - 1;
}

size_t TopKHeap::SlotMap::home(int64_t id) const noexcept {
    // The SplitMix64 finaliser: row IDs are often consecutive.
    uint64_t x = static_cast<uint64_t>(id);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return static_cast<size_t>(x) & mask_;
}

size_t* TopKHeap::SlotMap::find(int64_t id) noexcept {
    if (buckets_.empty()) return nullptr;
    for (size_t i = home(id);; i = (i + 1) & mask_) {
        Bucket& b = buckets_[i];
        if (b.slot == kEmpty) return nullptr;
        if (b.id == id) return &b.slot;
    }
}

void TopKHeap::SlotMap::insert(int64_t id, size_t slot) noexcept {
    size_t i = home(id);
    while (buckets_[i].slot != kEmpty) i = (i + 1) & mask_;
    buckets_[i] = Bucket{id, slot};
}

void TopKHeap::SlotMap::erase(int64_t id) noexcept {
    size_t i = home(id);
    while (buckets_[i].id != id || buckets_[i].slot == kEmpty) i = (i + 1) & mask_;
    // Backward shift: pull later members of the probe run into the hole when
    // their home does not lie cyclically between the hole and their bucket.
    for (size_t j = (i + 1) & mask_; buckets_[j].slot != kEmpty; j = (j + 1) & mask_) {
        size_t h = home(buckets_[j].id);
        if (((j - h) & mask_) >= ((j - i) & mask_)) {
            buckets_[i] = buckets_[j];
            i = j;
        }
    }
    buckets_[i].slot = kEmpty;
}

TopKHeap::TopKHeap(size_t k) : positions_(k), k_(k), max_distance_(std::numeric_limits<float>::infinity()) {
    if (k > entries_.max_size()) throw std::bad_alloc();
    entries_.reserve(k);
}

TopKHeap TopKHeap::with_max_distance(size_t k, float max_distance) {
    TopKHeap heap(k);
    heap.max_distance_ = max_distance;
    return heap;
}

float TopKHeap::threshold() const noexcept {
    if (k_ != 0 && entries_.size() == k_) return entries_[0].distance;
    return max_distance_;
}

void TopKHeap::push(int64_t id, float distance) {
    // A NaN would rise to the top (it is above +inf in the total order) and,
    // never being greater than anything, block every better candidate.
    if (k_ == 0 || std::isnan(distance) || distance >= max_distance_) return;

    if (size_t* slot = positions_.find(id)) {
        size_t w = *slot;
        if (entries_[w].distance > distance) {
            entries_[w].distance = distance;
            sift_down(w);
        }
        return;
    }

    if (entries_.size() < k_) {
        size_t i = entries_.size();
        positions_.insert(id, i);
        entries_.push_back(Entry{distance, id});
        while (i > 0) {
            size_t p = (i - 1) / 2;
            if (!total_order_less(entries_[p].distance, entries_[i].distance)) break;
            swap_entries(p, i);
            i = p;
        }
        return;
    }

    if (entries_[0].distance > distance) {
        positions_.erase(entries_[0].id);
        entries_[0] = Entry{distance, id};
        positions_.insert(id, 0);
        sift_down(0);
    }
}

void TopKHeap::sift_down(size_t i) noexcept {
    const size_t n = entries_.size();
    for (;;) {
        size_t largest = i;
        size_t l = 2 * i + 1;
        size_t r = 2 * i + 2;
        if (l < n && total_order_less(entries_[i].distance, entries_[l].distance)) largest = l;
        if (r < n && total_order_less(entries_[largest].distance, entries_[r].distance)) largest = r;
        if (largest == i) return;
        swap_entries(i, largest);
        i = largest;
    }
}

void TopKHeap::swap_entries(size_t i, size_t j) noexcept {
    std::swap(entries_[i], entries_[j]);
    *positions_.find(entries_[i].id) = i;
    *positions_.find(entries_[j].id) = j;
}

std::vector<std::pair<float, int64_t>> TopKHeap::into_sorted() && {
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
        return total_order_key(a.distance) < total_order_key(b.distance);
    });
    std::vector<std::pair<float, int64_t>> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) out.emplace_back(e.distance, e.id);
    // What is left behind is an empty heap that ignores every offer.
    entries_.clear();
    positions_ = SlotMap(0);
    k_ = 0;
    return out;
}

// ---- Arrival order ------------------------------------------------------------------

namespace {

// An array of n entries must be representable; beyond that the request is a
// caller fault, not a shortage of memory.
void check_entry_capacity(size_t n) {
    if (n > static_cast<size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(ArrivalOrderTopKHeap::Entry)) {
        panic("capacity overflow");
    }
}

// The heap order: by rank, then by slot. Slots are unique, so no two held
// pairs are equivalent and every order built on this is the same. The key
// maps the rank (a NaN as +inf, -0 as +0, so equal ranks stay equal) to an
// unsigned word in the same order, the slot below it: one integer compare.
inline uint64_t order_key(const ArrivalOrderTopKHeap::Entry& e) noexcept {
    uint32_t bits = std::bit_cast<uint32_t>(e.distance);
    const uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u) bits = 0x7F800000u;  // NaN: +inf
    if (magnitude == 0) bits = 0;                     // -0: +0
    const uint32_t ordered = (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
    return (static_cast<uint64_t>(ordered) << 32) | e.slot;
}

struct EntryLess {
    bool operator()(const ArrivalOrderTopKHeap::Entry& a, const ArrivalOrderTopKHeap::Entry& b) const noexcept {
        return order_key(a) < order_key(b);
    }
};
constexpr EntryLess entry_less{};

}  // namespace

ArrivalOrderTopKHeap::ArrivalOrderTopKHeap(size_t k) : ArrivalOrderTopKHeap(k, k) {}

ArrivalOrderTopKHeap::ArrivalOrderTopKHeap(size_t k, size_t max_offers) : k_(k) {
    const size_t room = std::min(k, max_offers);
    check_entry_capacity(room);
    entries_.reserve(room);
}

void ArrivalOrderTopKHeap::reset(size_t k, size_t max_offers) {
    entries_.clear();
    k_ = k;
    full_ = false;
    worst_rank_ = 0.0f;
    const size_t room = std::min(k, max_offers);
    check_entry_capacity(room);
    if (entries_.capacity() < room) entries_.reserve(room);
}

void ArrivalOrderTopKHeap::append(int64_t row_id, float distance) {
    const size_t slot = entries_.size();
    TD_ASSERT(slot < kMaxEntries, "top-k heap holds at most {} pairs", kMaxEntries);
    entries_.push_back(Entry{distance, static_cast<uint32_t>(slot), row_id});
    if (entries_.size() == k_) {
        std::make_heap(entries_.begin(), entries_.end(), entry_less);
        full_ = true;
        worst_rank_ = distance_rank(entries_.front().distance);
    }
}

void ArrivalOrderTopKHeap::replace_worst(int64_t row_id, float distance) noexcept {
    // The newcomer takes the worst's slot and, ranking below it, sinks from
    // the root; the new root is the new worst.
    Entry* e = entries_.data();
    const size_t n = entries_.size();
    const Entry moving{distance, e[0].slot, row_id};
    const uint64_t key = order_key(moving);
    size_t i = 0;
    for (;;) {
        size_t c = 2 * i + 1;
        if (c >= n) break;
        uint64_t child_key = order_key(e[c]);
        if (c + 1 < n) {
            const uint64_t right_key = order_key(e[c + 1]);
            if (child_key < right_key) {
                ++c;
                child_key = right_key;
            }
        }
        if (key > child_key) break;
        e[i] = e[c];
        i = c;
    }
    e[i] = moving;
    worst_rank_ = distance_rank(e[0].distance);
}

void ArrivalOrderTopKHeap::worst_missing() { panic("a full top-k heap has a worst entry"); }

std::span<const ArrivalOrderTopKHeap::Entry> ArrivalOrderTopKHeap::sort_in_place() {
    std::sort(entries_.begin(), entries_.end(), entry_less);
    full_ = false;
    k_ = 0;  // consumed: takes nothing until reset
    return entries_;
}

PartialResult ArrivalOrderTopKHeap::into_sorted() && {
    const std::span<const Entry> sorted = sort_in_place();
    PartialResult out;
    out.reserve(sorted.size());
    for (const Entry& e : sorted) out.push_back(ScoredRow{e.distance, e.row_id});
    entries_ = {};
    return out;
}

}  // namespace tavren::topk
