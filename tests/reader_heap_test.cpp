// The IVF-FLAT result heap against a straightforward model: an unsorted array
// whose worst slot is found by rescanning all pairs after every change. The
// heap must make every decision the model makes: which candidates it takes,
// which pair each one evicts, its worst rank after every offer, and the order
// (including ties) of its sorted output.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "ivfflat_io.hpp"
#include "numeric.hpp"

namespace {

using tavren::kF32Max;
using tavren::ivfflat_io::distance_rank;
using tavren::ivfflat_io::PartialResult;
using tavren::ivfflat_io::ReaderTopKHeap;
using tavren::ivfflat_io::ScoredRow;
namespace ivf = tavren::ivfflat_io;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The model: pairs in slot order, the worst chosen by a full rescan (the last
// of equal largest ranks), output by a stable sort on the rank.
class ModelHeap {
public:
    explicit ModelHeap(size_t k) : k_(k) {}

    void push(int64_t row_id, float distance) {
        if (k_ == 0) return;
        if (!full_) {
            entries_.push_back({distance, row_id});
            if (entries_.size() == k_) choose_worst();
            return;
        }
        if (!(distance_rank(distance) < distance_rank(entries_[worst_].distance))) return;
        entries_[worst_] = {distance, row_id};
        choose_worst();
    }

    size_t size() const { return entries_.size(); }
    bool full() const { return full_; }
    float worst_rank() const { return distance_rank(entries_[worst_].distance); }

    PartialResult into_sorted() && {
        std::stable_sort(entries_.begin(), entries_.end(), [](const ScoredRow& a, const ScoredRow& b) {
            return distance_rank(a.distance) < distance_rank(b.distance);
        });
        return std::move(entries_);
    }

private:
    void choose_worst() {
        size_t w = 0;
        float wr = distance_rank(entries_[0].distance);
        for (size_t i = 1; i < entries_.size(); ++i) {
            const float r = distance_rank(entries_[i].distance);
            if (r >= wr) {
                w = i;
                wr = r;
            }
        }
        worst_ = w;
        full_ = true;
    }

    size_t worst_ = 0;
    bool full_ = false;
    std::vector<ScoredRow> entries_;
    size_t k_;
};

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// Same pairs in the same order, distances bit for bit (a NaN keeps its bits,
// -0 stays -0).
void expect_same_pairs(const PartialResult& got, const PartialResult& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(bits(got[i].distance), bits(want[i].distance)) << "position " << i;
        EXPECT_EQ(got[i].row_id, want[i].row_id) << "position " << i;
    }
}

// Distances drawn from a few values so that ties (within and across signs of
// zero) are common, with NaNs of both signs, infinities, negatives and, now
// and then, a value from a wide range.
float draw_distance(std::mt19937& rng) {
    static const float kPool[] = {0.0f, -0.0f, 1.0f, 2.0f, 2.0f, 3.5f, -1.0f, 7.0f, kInf, -kInf, kNaN, -kNaN, kF32Max};
    std::uniform_int_distribution<size_t> pick(0, std::size(kPool) + 3);
    const size_t i = pick(rng);
    if (i < std::size(kPool)) return kPool[i];
    return std::uniform_real_distribution<float>(-10.0f, 10.0f)(rng);
}

// Offers the same candidates to the heap and the model, checking after each
// offer that they agree on the size, the fullness and the worst rank.
void offer_both(ReaderTopKHeap& heap, ModelHeap& model, std::mt19937& rng, size_t offers, bool ties_only) {
    for (size_t i = 0; i < offers; ++i) {
        const int64_t id = static_cast<int64_t>(rng() % 1000) - 100;
        const float distance = ties_only ? static_cast<float>(rng() % 3) : draw_distance(rng);
        heap.push(id, distance);
        model.push(id, distance);
        ASSERT_EQ(heap.size(), model.size()) << "offer " << i;
        ASSERT_EQ(heap.full(), model.full()) << "offer " << i;
        if (model.full()) {
            ASSERT_EQ(bits(heap.worst_rank()), bits(model.worst_rank())) << "offer " << i;
        }
    }
}

TEST(ReaderHeapModel, RandomOffersMakeTheModelsChoices) {
    std::mt19937 rng(20240611);
    for (size_t round = 0; round < 3000; ++round) {
        const size_t k = std::vector<size_t>{0, 1, 2, 3, 5, 8, 16, 31, 100}[round % 9];
        const size_t offers = rng() % (4 * k + 40);
        const bool ties_only = round % 4 == 0;
        SCOPED_TRACE(::testing::Message() << "round " << round << " k " << k << " offers " << offers);
        ReaderTopKHeap heap(k);
        ModelHeap model(k);
        offer_both(heap, model, rng, offers, ties_only);
        if (HasFatalFailure()) return;
        expect_same_pairs(std::move(heap).into_sorted(), std::move(model).into_sorted());
    }
}

TEST(ReaderHeapModel, SortInPlaceAndPaddingMatchTheModel) {
    std::mt19937 rng(7);
    for (size_t round = 0; round < 500; ++round) {
        const size_t k = 1 + rng() % 40;
        const size_t offers = rng() % (3 * k);
        ReaderTopKHeap heap(k);
        ModelHeap model(k);
        offer_both(heap, model, rng, offers, round % 3 == 0);
        if (HasFatalFailure()) return;
        ReaderTopKHeap copy = heap;
        const PartialResult want = std::move(model).into_sorted();

        PartialResult in_place;
        for (const ReaderTopKHeap::Entry& e : copy.sort_in_place()) in_place.push_back({e.distance, e.row_id});
        expect_same_pairs(in_place, want);

        const tavren::SearchResult padded = ivf::padded_flat_results(std::move(heap), k);
        ASSERT_EQ(padded.ids.size(), k);
        for (size_t i = 0; i < k; ++i) {
            EXPECT_EQ(padded.ids[i], i < want.size() ? want[i].row_id : -1);
            EXPECT_EQ(bits(padded.distances[i]), bits(i < want.size() ? want[i].distance : kF32Max));
        }
    }
}

TEST(ReaderHeapModel, ResetHeapsBehaveAsFreshOnes) {
    // One heap reused across queries of different k (as a pool task reuses
    // its heap) decides as a fresh model every time, and merging a sorted
    // partial result into another heap decides as the model does.
    std::mt19937 rng(99);
    ReaderTopKHeap reused(0);
    for (size_t round = 0; round < 400; ++round) {
        const size_t k = 1 + rng() % 30;
        const size_t rows = rng() % 60;
        reused.reset(k, rows);
        ModelHeap model(k);
        offer_both(reused, model, rng, rows, round % 2 == 0);
        if (HasFatalFailure()) return;
        PartialResult partial;
        for (const ReaderTopKHeap::Entry& e : reused.sort_in_place()) partial.push_back({e.distance, e.row_id});
        const PartialResult want = std::move(model).into_sorted();
        expect_same_pairs(partial, want);

        ReaderTopKHeap target(k);
        ModelHeap target_model(k);
        offer_both(target, target_model, rng, rng() % (2 * k), false);
        ivf::merge_flat_results(target, std::span<const ScoredRow>(partial));
        for (const ScoredRow& r : want) target_model.push(r.row_id, r.distance);
        expect_same_pairs(std::move(target).into_sorted(), std::move(target_model).into_sorted());
    }
}

TEST(ReaderHeapModel, PushingNeverGrowsTheReservedRoom) {
    std::mt19937 rng(3);
    for (size_t k : {size_t{1}, size_t{10}, size_t{100}}) {
        ReaderTopKHeap heap(k, 5000);
        const size_t room = heap.capacity();
        EXPECT_EQ(room, k);
        for (int i = 0; i < 5000; ++i) heap.push(i, draw_distance(rng));
        EXPECT_EQ(heap.capacity(), room);
        EXPECT_EQ(heap.size(), k);

        // A reset to a smaller room keeps the storage; a larger one grows it.
        heap.reset(k / 2 + 1, 3);
        EXPECT_EQ(heap.capacity(), room);
        EXPECT_EQ(heap.size(), 0u);
        EXPECT_FALSE(heap.full());
        heap.reset(2 * k, 2 * k);
        EXPECT_GE(heap.capacity(), 2 * k);
    }
}

TEST(ReaderHeapModel, SortedHeapTakesNothingUntilReset) {
    ReaderTopKHeap heap(2);
    heap.push(1, 3.0f);
    heap.push(2, 1.0f);
    ASSERT_EQ(heap.sort_in_place().size(), 2u);
    heap.push(3, 0.5f);  // consumed: ignored
    EXPECT_EQ(heap.size(), 2u);
    EXPECT_EQ(heap.sort_in_place()[0].row_id, 2);
    heap.reset(2, 2);
    heap.push(3, 0.5f);
    EXPECT_EQ(heap.size(), 1u);
}

TEST(ReaderHeapModel, SignedZerosTieAndKeepTheirBits) {
    // -0 and +0 are equal ranks: the highest slot among them is the worst,
    // and the output keeps each distance's sign.
    ReaderTopKHeap heap(3);
    heap.push(1, -1.0f);
    heap.push(2, 0.0f);
    heap.push(3, -0.0f);
    EXPECT_EQ(heap.worst_rank(), 0.0f);
    heap.push(4, -0.5f);  // evicts slot 2 (id 3), the last of the equal worst
    const PartialResult sorted = std::move(heap).into_sorted();
    ASSERT_EQ(sorted.size(), 3u);
    EXPECT_EQ(sorted[0].row_id, 1);
    EXPECT_EQ(sorted[1].row_id, 4);
    EXPECT_EQ(sorted[2].row_id, 2);
    EXPECT_EQ(bits(sorted[2].distance), bits(0.0f));

    ReaderTopKHeap mixed(2);
    mixed.push(5, 0.0f);
    mixed.push(6, -0.0f);
    const PartialResult both = std::move(mixed).into_sorted();
    EXPECT_EQ(both[0].row_id, 5);  // slot order among equal ranks
    EXPECT_EQ(bits(both[1].distance), bits(-0.0f));
}

}  // namespace
