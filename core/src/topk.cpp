#include "topk.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

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

}  // namespace tavren::topk
