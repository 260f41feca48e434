// The bounded top-k heap: admission, merging of repeated row IDs, tie rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "topk.hpp"

namespace {

using tavren::topk::TopKHeap;
using Result = std::vector<std::pair<float, int64_t>>;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Offer {
    int64_t id;
    float distance;
};

Result run(TopKHeap heap, const std::vector<Offer>& offers) {
    for (const Offer& o : offers) heap.push(o.id, o.distance);
    return std::move(heap).into_sorted();
}

std::vector<int64_t> ids_of(const Result& r) {
    std::vector<int64_t> ids;
    for (const auto& [d, id] : r) ids.push_back(id);
    return ids;
}

TEST(TopKHeap, RulesAsATableOfCases) {
    struct Case {
        const char* name;
        size_t k;
        float ceiling;
        std::vector<Offer> offers;
        Result expected;
    };
    const Case cases[] = {
        {"k = 0 ignores everything", 0, kInf, {{1, 0.5f}, {2, 0.1f}}, {}},
        {"fewer than k pushes come back sorted", 5, kInf, {{4, 3.0f}, {9, 1.0f}, {2, 2.0f}},
         {{1.0f, 9}, {2.0f, 2}, {3.0f, 4}}},
        {"default ceiling ignores +inf", 3, kInf, {{1, kInf}, {2, 1.0f}}, {{1.0f, 2}}},
        {"a distance equal to the ceiling is ignored", 3, 1.0f, {{1, 1.0f}, {2, 0.99f}, {3, 7.0f}}, {{0.99f, 2}}},
        {"repeated id keeps the smaller distance (0.5 then 0.3)", 3, kInf, {{8, 0.5f}, {8, 0.3f}}, {{0.3f, 8}}},
        {"repeated id keeps the smaller distance (0.3 then 0.5)", 3, kInf, {{8, 0.3f}, {8, 0.5f}}, {{0.3f, 8}}},
        {"repeated id in a full heap improves in place", 2, kInf, {{8, 0.5f}, {9, 0.4f}, {8, 0.3f}},
         {{0.3f, 8}, {0.4f, 9}}},
        {"repeated id in a full heap never takes a second slot", 2, kInf,
         {{8, 0.3f}, {9, 0.4f}, {8, 0.1f}, {8, 0.2f}}, {{0.1f, 8}, {0.4f, 9}}},
        {"full heap ignores an offer equal to its worst", 2, kInf, {{1, 1.0f}, {2, 2.0f}, {3, 2.0f}},
         {{1.0f, 1}, {2.0f, 2}}},
        {"full heap replaces its worst for a strictly better offer", 2, kInf, {{1, 1.0f}, {2, 2.0f}, {3, 1.9f}},
         {{1.0f, 1}, {1.9f, 3}}},
        {"equal distances do not rise and are not ordered by id", 3, kInf, {{7, 1.0f}, {3, 1.0f}, {5, 1.0f}},
         {{1.0f, 7}, {1.0f, 3}, {1.0f, 5}}},
        {"-0.0 sorts before +0.0", 2, kInf, {{1, 0.0f}, {2, -0.0f}}, {{-0.0f, 2}, {0.0f, 1}}},
        {"-0.0 is equal to +0.0 for admission", 1, kInf, {{1, 0.0f}, {2, -0.0f}}, {{0.0f, 1}}},
        {"evicted id may come back", 2, kInf, {{1, 3.0f}, {2, 2.0f}, {3, 1.0f}, {1, 0.5f}},
         {{0.5f, 1}, {1.0f, 3}}},
        // A NaN rises above +inf in the total order and, compared ordinarily,
        // is never greater than a candidate: once inside it would block every
        // better offer. It must never enter.
        {"NaN never enters a non-full heap", 2, kInf, {{1, kNaN}, {2, 1.0f}, {3, 0.5f}}, {{0.5f, 3}, {1.0f, 2}}},
        {"NaN never replaces a held distance", 2, kInf, {{1, 0.25f}, {1, kNaN}}, {{0.25f, 1}}},
        {"NaN never enters a full heap", 1, kInf, {{1, 4.0f}, {2, kNaN}, {3, 5.0f}}, {{4.0f, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = run(TopKHeap::with_max_distance(c.k, c.ceiling), c.offers);
        ASSERT_EQ(c.expected.size(), got.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(std::bit_cast<uint32_t>(c.expected[i].first), std::bit_cast<uint32_t>(got[i].first)) << i;
            EXPECT_EQ(c.expected[i].second, got[i].second) << i;
        }
    }
}

TEST(TopKHeap, ThresholdIsTheCeilingUntilFullThenTheWorst) {
    TopKHeap heap = TopKHeap::with_max_distance(2, 10.0f);
    EXPECT_EQ(10.0f, heap.threshold());
    heap.push(1, 3.0f);
    EXPECT_EQ(10.0f, heap.threshold());
    heap.push(2, 5.0f);
    EXPECT_EQ(5.0f, heap.threshold());
    heap.push(3, 4.0f);
    EXPECT_EQ(4.0f, heap.threshold());
    heap.push(3, 1.0f);  // improving a held row can change the worst
    EXPECT_EQ(3.0f, heap.threshold());
    EXPECT_EQ(kInf, TopKHeap(3).threshold());
    EXPECT_EQ(kInf, TopKHeap(0).threshold());  // k = 0 never reports a slot that does not exist
}

TEST(TopKHeap, TieOrderFollowsTheHeapArray) {
    // k = 4: 1.0 (id 1), 3.0 (id 2), 2.0 (id 3), 3.0 (id 4). Id 2 rises to the
    // root; id 4 rises past 1.0 and stops below the equal root, giving the array
    // [3.0/2, 3.0/4, 2.0/3, 1.0/1]. The stable sort keeps id 2 before id 4.
    auto got = run(TopKHeap(4), {{1, 1.0f}, {2, 3.0f}, {3, 2.0f}, {4, 3.0f}});
    EXPECT_EQ((std::vector<int64_t>{1, 3, 2, 4}), ids_of(got));
    // Sift-down takes the left child of two equal children: the root 5.0 is
    // replaced by 1.5; children 4.0 (id 11) and 4.0 (id 12) are equal, so the
    // left one (id 11) rises to the root and the array is [4.0/11, 1.5/new, 4.0/12].
    auto got2 = run(TopKHeap(3), {{10, 5.0f}, {11, 4.0f}, {12, 4.0f}, {13, 1.5f}});
    EXPECT_EQ((std::vector<int64_t>{13, 11, 12}), ids_of(got2));
}

// A plain model of the same rules, for inputs whose distances never tie
// (so the choice of the worst entry does not depend on the heap layout).
Result model(size_t k, float ceiling, const std::vector<Offer>& offers) {
    std::map<int64_t, float> held;
    for (const Offer& o : offers) {
        if (k == 0 || std::isnan(o.distance) || o.distance >= ceiling) continue;
        auto it = held.find(o.id);
        if (it != held.end()) {
            if (it->second > o.distance) it->second = o.distance;
            continue;
        }
        if (held.size() < k) {
            held[o.id] = o.distance;
            continue;
        }
        auto worst = held.begin();
        for (auto j = held.begin(); j != held.end(); ++j)
            if (j->second > worst->second) worst = j;
        if (worst->second > o.distance) {
            held.erase(worst);
            held[o.id] = o.distance;
        }
    }
    Result r;
    for (const auto& [id, d] : held) r.emplace_back(d, id);
    std::sort(r.begin(), r.end());
    return r;
}

TEST(TopKHeap, AgreesWithAPlainModelOnRandomOffers) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> dist(0.0f, 100.0f);
    for (size_t k : {1u, 2u, 3u, 5u, 16u, 100u}) {
        for (int64_t id_range : {4, 40, 4000}) {
            std::uniform_int_distribution<int64_t> ids(-id_range, id_range);
            std::vector<Offer> offers;
            for (int i = 0; i < 3000; ++i) {
                float d = dist(rng);
                if (i % 97 == 0) d = kNaN;
                if (i % 89 == 0) d = kInf;
                offers.push_back({ids(rng), d});
            }
            for (float ceiling : {kInf, 50.0f}) {
                SCOPED_TRACE(testing::Message() << "k " << k << " ids " << id_range << " ceiling " << ceiling);
                EXPECT_EQ(model(k, ceiling, offers), run(TopKHeap::with_max_distance(k, ceiling), offers));
            }
        }
    }
}

TEST(TopKHeap, ExtremeRowIdsAndManyEvictions) {
    // Row IDs at the ends of the i64 range, and a small heap that evicts
    // thousands of times: the ID map must stay consistent throughout.
    TopKHeap heap(3);
    const int64_t lo = std::numeric_limits<int64_t>::min();
    const int64_t hi = std::numeric_limits<int64_t>::max();
    heap.push(lo, 9.0f);
    heap.push(hi, 8.0f);
    heap.push(-1, 7.0f);
    for (int i = 0; i < 5000; ++i) heap.push(i, 7.0f - 0.001f * static_cast<float>(i + 1));
    heap.push(hi, 0.0f);  // evicted long ago: enters again as a new row
    auto got = std::move(heap).into_sorted();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(hi, got[0].second);
    EXPECT_EQ(4999, got[1].second);
    EXPECT_EQ(4998, got[2].second);
}

TEST(TopKHeap, UnreservableBoundIsAnAllocationFailureNotACrash) {
    EXPECT_THROW(TopKHeap(size_t{1} << 62), std::bad_alloc);
    EXPECT_THROW(TopKHeap::with_max_distance(std::numeric_limits<size_t>::max(), 1.0f), std::bad_alloc);
}

TEST(TopKHeap, ConsumedHeapIsEmpty) {
    TopKHeap heap(2);
    heap.push(1, 1.0f);
    auto first = std::move(heap).into_sorted();
    EXPECT_EQ(1u, first.size());
    heap.push(2, 0.5f);  // a consumed heap ignores offers
    EXPECT_TRUE(std::move(heap).into_sorted().empty());
}

}  // namespace
