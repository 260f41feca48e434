#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "numeric.hpp"
#include "progressive.hpp"
#include "search_params.hpp"

using namespace tavren;
using tavren::progressive::ivf_search_result_is_complete;
using tavren::progressive::progressive_ivf_batch_search;
using tavren::progressive::progressive_ivf_search;
using tavren::progressive::retry_group_size;
using tavren::row_id_filter::RowIdFilter;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kAuto = index::kWidthAutomatic;
constexpr uint32_t kNprobe = index::kWidthIvfNprobe;
const float kNan = std::numeric_limits<float>::quiet_NaN();
const std::optional<std::span<const uint8_t>> kNoFilter;


// The message of the Error f() throws; "<no error>" when it returns.
template <class F>
std::string error_of(F&& f) {
    return tavren::testing::failure_of(std::forward<F>(f)).message;
}

// A single-query result with `hits` real distances (1, 2, ...) then padding.
SearchResult single_result(uint64_t top_k, uint64_t hits) {
    SearchResult r;
    for (uint64_t i = 0; i < top_k; ++i) {
        r.ids.push_back(i < hits ? static_cast<int64_t>(i) : -1);
        r.distances.push_back(i < hits ? static_cast<float>(i + 1) : kF32Max);
    }
    return r;
}

}  // namespace

// ---- Completeness ------------------------------------------------------------------

TEST(Progressive, CompletenessCountsEveryValueButTheMaximum) {
    struct Case {
        std::vector<float> distances;
        uint64_t needed;
        bool complete;
    };
    const float m = kF32Max;
    const Case cases[] = {
        {{}, 0, true},                               // nothing needed: complete without looking
        {{m, m}, 0, true},                           //
        {{}, 1, false},                              //
        {{1, 2, 3, m, m, m, m, m, m, m}, 3, true},   // n = 3, top_k 10: three real hits suffice
        {{1, 2, m, m, m, m, m, m, m, m}, 3, false},  //
        {{kNan, m, m}, 1, true},                     // a NaN is not the maximum: it counts
        {{m, kNan, kNan}, 2, true},                  //
        {{-0.0f, m}, 1, true},                       //
        {{std::numeric_limits<float>::infinity(), m}, 1, true},
        {{m, m, 5}, 1, true},  // order does not matter
        {{m, m, m}, 1, false},
        {{1, 2}, 3, false},  // fewer slots than needed
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ivf_search_result_is_complete(c.distances, c.needed), c.complete)
            << "needed " << c.needed << " size " << c.distances.size();
    }
}

TEST(Progressive, RetryGroupSize) {
    EXPECT_EQ(retry_group_size(4, 5), 883011u);      // B = 76
    EXPECT_EQ(retry_group_size(1024, 100), 12671u);  // B = 5296
    EXPECT_EQ(retry_group_size(0, 1), 67108864u / 12);
    EXPECT_EQ(retry_group_size(16777216, 0), 1u);  // B = 64 MiB exactly
    EXPECT_EQ(retry_group_size(16777216, 1), 1u);  // B above the budget
    EXPECT_EQ(retry_group_size(8388608, 1), 1u);   // floor(64 MiB / (32 MiB + 12)) = 1
    EXPECT_EQ(retry_group_size(5592406, 0), 2u);   // floor(64 MiB / 22369624)
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(retry_group_size(max, max), 1u);  // saturating
}

// ---- Single form -------------------------------------------------------------------

TEST(Progressive, SingleFormDoublesUntilNlistWhileIncomplete) {
    std::vector<uint64_t> passes;
    SearchResult r =
        progressive_ivf_search(kAuto, 100, 8, 10, 1000, kNoFilter, [&](uint64_t nprobe, const RowIdFilter* filter) {
            EXPECT_EQ(filter, nullptr);
            passes.push_back(nprobe);
            return single_result(10, 2);  // never complete
        });
    EXPECT_EQ(passes, (std::vector<uint64_t>{8, 16, 32, 64, 100}));
    EXPECT_EQ(r.ids.size(), 10u);
    EXPECT_EQ(r.ids[2], -1);  // the incomplete result is returned with its padding
}

TEST(Progressive, SingleFormStopsOnceComplete) {
    struct Case {
        uint32_t width_type;
        uint64_t nlist, nprobe, top_k, n;
        uint64_t complete_from;  // nprobe from which the pass returns enough hits
        std::vector<uint64_t> expected;
    };
    const Case cases[] = {
        {kAuto, 100, 8, 10, 1000, 16, {8, 16}},
        {kAuto, 100, 8, 10, 1000, 0, {8}},
        {kAuto, 100, 8, 10, 3, 32, {8, 16, 32}},  // needed = n = 3
        {kAuto, 8, 8, 10, 1000, 1000, {8}},       // first nprobe already nlist
        {kAuto, 5, 8, 10, 1000, 1000, {8}},       // above nlist: nothing to widen
        {kAuto, 100, 8, 10, 0, 1000, {8}},        // needed = 0 (an empty filter)
        {kNprobe, 100, 8, 10, 1000, 1000, {8}},   // explicit width: one pass
        {kAuto, 3, 1, 10, 1000, 1000, {1, 2, 3}},
        {kAuto, 100, 0, 10, 1000, 1000, {0}},  // nprobe 0 cannot widen: no endless loop
    };
    for (const Case& c : cases) {
        std::vector<uint64_t> passes;
        progressive_ivf_search(c.width_type, c.nlist, c.nprobe, c.top_k, c.n, kNoFilter,
                               [&](uint64_t nprobe, const RowIdFilter*) {
                                   passes.push_back(nprobe);
                                   return single_result(c.top_k, nprobe >= c.complete_from ? c.top_k : 2);
                               });
        EXPECT_EQ(passes, c.expected) << "nlist " << c.nlist << " nprobe " << c.nprobe << " n " << c.n;
    }
}

TEST(Progressive, SingleFormNearTheTopOfU64) {
    const uint64_t big = (uint64_t{1} << 63) + 5;
    std::vector<uint64_t> passes;
    progressive_ivf_search(kAuto, std::numeric_limits<uint64_t>::max(), big, 1, 10, kNoFilter,
                           [&](uint64_t nprobe, const RowIdFilter*) {
                               passes.push_back(nprobe);
                               return single_result(1, 0);
                           });
    // The doubling saturates at the largest u64, which is nlist here.
    EXPECT_EQ(passes, (std::vector<uint64_t>{big, std::numeric_limits<uint64_t>::max()}));
}

TEST(Progressive, SingleFormFailureEndsTheSearch) {
    int calls = 0;
    const std::string text = error_of([&] {
        progressive_ivf_search(kAuto, 100, 8, 10, 1000, kNoFilter, [&](uint64_t nprobe, const RowIdFilter*) {
            ++calls;
            if (nprobe == 16) invalid_data("list read failed at {}", nprobe);
            return single_result(10, 0);
        });
    });
    EXPECT_EQ(text, "list read failed at 16");
    EXPECT_EQ(calls, 2);
}

TEST(Progressive, SingleFormDecodesTheFilterBeforeEveryPass) {
    const Bytes bytes = tavren::testing::roaring_filter_bytes(std::vector<uint64_t>{3, 7, 9});
    const std::optional<std::span<const uint8_t>> filter(bytes);
    std::vector<uint64_t> passes;
    progressive_ivf_search(kAuto, 4, 1, 5, 3, filter, [&](uint64_t nprobe, const RowIdFilter* f) {
        passes.push_back(nprobe);
        EXPECT_NE(f, nullptr);
        if (f != nullptr) {
            EXPECT_TRUE(f->contains(3));
            EXPECT_TRUE(f->contains(9));
            EXPECT_FALSE(f->contains(4));
            EXPECT_FALSE(f->contains(-3));
            EXPECT_EQ(f->treemap().cardinality(), 3u);
        }
        return single_result(5, 1);
    });
    EXPECT_EQ(passes, (std::vector<uint64_t>{1, 2, 4}));
}

TEST(Progressive, MalformedFilterFailsBeforeTheFirstPass) {
    const Bytes cases[] = {{}, {1, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0, 5, 0}};
    for (const Bytes& bytes : cases) {
        const std::optional<std::span<const uint8_t>> filter(bytes);
        int calls = 0;
        auto single = [&] {
            progressive_ivf_search(kNprobe, 4, 1, 5, 3, filter, [&](uint64_t, const RowIdFilter*) {
                ++calls;
                return single_result(5, 0);
            });
        };
        EXPECT_EQ(error_of(single), "invalid RoaringTreemap filter: failed to fill whole buffer");
        const float q[2] = {0, 0};
        auto batch = [&] {
            progressive_ivf_batch_search(kAuto, 4, 1, q, 1, 5, 3, filter,
                                         [&](auto, uint64_t, uint64_t, uint64_t, auto, auto, const RowIdFilter*) {
                                             ++calls;
                                             return single_result(5, 0);
                                         });
        };
        EXPECT_EQ(error_of(batch), "invalid RoaringTreemap filter: failed to fill whole buffer");
        EXPECT_EQ(calls, 0);
    }
}

TEST(Progressive, PassReturningTheWrongCountIsAnAssertion) {
    EXPECT_THROW(progressive_ivf_search(kNprobe, 4, 1, 5, 3, kNoFilter,
                                        [&](uint64_t, const RowIdFilter*) { return single_result(4, 0); }),
                 AssertionFailure);
    const float q[4] = {0, 0, 0, 0};
    EXPECT_THROW(progressive_ivf_batch_search(kNprobe, 4, 1, q, 2, 5, 3, kNoFilter,
                                              [&](auto, uint64_t, uint64_t, uint64_t, auto, auto, const RowIdFilter*) {
                                                  return single_result(5, 0);
                                              }),
                 AssertionFailure);
}

// ---- Batch form ----------------------------------------------------------------------

namespace {

// A fake index: query q (one value, its index) finds `hits_at(q, end)` real hits
// once ranks [0, end) have been scanned. Each pass must extend its seeds: a
// retried query's seeds must be exactly its previous result.
struct FakeBatch {
    FakeBatch(uint64_t k, std::function<uint64_t(uint64_t, uint64_t)> hits) : top_k(k), hits_at(std::move(hits)) {}

    uint64_t top_k;
    std::function<uint64_t(uint64_t query, uint64_t end)> hits_at;
    struct Call {
        std::vector<uint64_t> queries;
        uint64_t start, end;
        bool seeded;
    };
    std::vector<Call> calls;
    std::map<uint64_t, SearchResult> last;  // per query, what it was last given

    SearchResult row(uint64_t q, uint64_t end) const {
        const uint64_t hits = std::min(hits_at(q, end), top_k);
        SearchResult r;
        for (uint64_t i = 0; i < top_k; ++i) {
            r.ids.push_back(i < hits ? static_cast<int64_t>(q * 1000 + i) : -1);
            r.distances.push_back(i < hits ? static_cast<float>(end * 10 + i) : kF32Max);
        }
        return r;
    }

    SearchResult operator()(std::span<const float> queries, uint64_t count, uint64_t start, uint64_t end,
                            std::span<const int64_t> seed_ids, std::span<const float> seed_distances,
                            const RowIdFilter*) {
        EXPECT_EQ(queries.size(), count);  // dimension 1
        EXPECT_EQ(seed_ids.size(), seed_distances.size());
        Call call{{}, start, end, !seed_ids.empty()};
        SearchResult out;
        for (uint64_t j = 0; j < count; ++j) {
            const uint64_t q = static_cast<uint64_t>(queries[j]);
            call.queries.push_back(q);
            if (!seed_ids.empty()) {
                EXPECT_EQ(seed_ids.size(), count * top_k);
                const SearchResult& prev = last.at(q);
                EXPECT_TRUE(std::equal(prev.ids.begin(), prev.ids.end(), seed_ids.begin() + j * top_k));
                EXPECT_TRUE(
                    std::equal(prev.distances.begin(), prev.distances.end(), seed_distances.begin() + j * top_k));
            }
            SearchResult r = row(q, end);
            out.ids.insert(out.ids.end(), r.ids.begin(), r.ids.end());
            out.distances.insert(out.distances.end(), r.distances.begin(), r.distances.end());
            last[q] = std::move(r);
        }
        calls.push_back(std::move(call));
        return out;
    }
};

std::vector<float> query_indices(uint64_t nq) {
    std::vector<float> q;
    for (uint64_t i = 0; i < nq; ++i) q.push_back(static_cast<float>(i));
    return q;
}

}  // namespace

TEST(Progressive, BatchFormRetriesOnlyNewRanksOfIncompleteQueries) {
    // Query 1 never fills; query 3 fills once 32 ranks are scanned; the rest at once.
    FakeBatch fake{4, [](uint64_t q, uint64_t end) -> uint64_t {
                       if (q == 1) return 1;
                       if (q == 3) return end >= 32 ? 4 : 2;
                       return 4;
                   }};
    const std::vector<float> queries = query_indices(5);
    SearchResult r = progressive_ivf_batch_search(kAuto, 100, 8, queries, 5, 4, 1000, kNoFilter, std::ref(fake));
    ASSERT_EQ(fake.calls.size(), 5u);
    const std::vector<std::pair<uint64_t, uint64_t>> ranks = {{0, 8}, {8, 16}, {16, 32}, {32, 64}, {64, 100}};
    for (size_t i = 0; i < ranks.size(); ++i) {
        EXPECT_EQ(fake.calls[i].start, ranks[i].first) << i;
        EXPECT_EQ(fake.calls[i].end, ranks[i].second) << i;
        EXPECT_EQ(fake.calls[i].seeded, i > 0) << i;
    }
    EXPECT_EQ(fake.calls[0].queries, (std::vector<uint64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(fake.calls[1].queries, (std::vector<uint64_t>{1, 3}));
    EXPECT_EQ(fake.calls[2].queries, (std::vector<uint64_t>{1, 3}));
    EXPECT_EQ(fake.calls[3].queries, (std::vector<uint64_t>{1}));
    EXPECT_EQ(fake.calls[4].queries, (std::vector<uint64_t>{1}));
    // Every query holds what it was last given; complete queries kept the first pass.
    ASSERT_EQ(r.ids.size(), 20u);
    for (uint64_t q = 0; q < 5; ++q) {
        const SearchResult& want = fake.last.at(q);
        EXPECT_TRUE(std::equal(want.ids.begin(), want.ids.end(), r.ids.begin() + q * 4)) << q;
        EXPECT_TRUE(std::equal(want.distances.begin(), want.distances.end(), r.distances.begin() + q * 4)) << q;
    }
    EXPECT_EQ(r.distances[0], 80.0f);        // query 0: first pass (end 8)
    EXPECT_EQ(r.distances[3 * 4], 320.0f);   // query 3: the [16, 32) retry
    EXPECT_EQ(r.distances[1 * 4], 1000.0f);  // query 1: the last retry
    EXPECT_EQ(r.ids[1 * 4 + 1], -1);
}

TEST(Progressive, BatchFormOnePassCases) {
    struct Case {
        const char* what;
        uint32_t width_type;
        uint64_t nlist, nprobe, n;
        uint64_t hits;
    };
    const Case cases[] = {
        {"explicit width, incomplete", kNprobe, 100, 8, 1000, 1},
        {"every query complete", kAuto, 100, 8, 1000, 4},
        {"first nprobe is nlist", kAuto, 8, 8, 1000, 1},
        {"needed = 0", kAuto, 100, 1, 0, 0},
    };
    for (const Case& c : cases) {
        FakeBatch fake{4, [&](uint64_t, uint64_t) { return c.hits; }};
        const std::vector<float> queries = query_indices(3);
        progressive_ivf_batch_search(c.width_type, c.nlist, c.nprobe, queries, 3, 4, c.n, kNoFilter, std::ref(fake));
        ASSERT_EQ(fake.calls.size(), 1u) << c.what;
        EXPECT_EQ(fake.calls[0].start, 0u) << c.what;
        EXPECT_EQ(fake.calls[0].end, c.nprobe) << c.what;
        EXPECT_FALSE(fake.calls[0].seeded) << c.what;
    }
}

TEST(Progressive, BatchFormGroupsIncompleteQueriesInOrder) {
    FakeBatch fake{2, [](uint64_t q, uint64_t end) -> uint64_t { return q % 2 == 0 && end < 4 ? 0 : 2; }};
    const std::vector<float> queries = query_indices(9);
    std::vector<uint64_t> filter_seen;
    const Bytes bytes = tavren::testing::roaring_filter_bytes(std::vector<uint64_t>{1, 2});
    const std::optional<std::span<const uint8_t>> filter(bytes);
    progressive::detail::progressive_ivf_batch_search_grouped(
        kAuto, 16, 2, queries, 9, 2, 1000, filter, 2,
        [&](std::span<const float> qs, uint64_t count, uint64_t start, uint64_t end, std::span<const int64_t> ids,
            std::span<const float> dists, const RowIdFilter* f) {
            filter_seen.push_back(f != nullptr && f->contains(2) && !f->contains(3) ? 1 : 0);
            return fake(qs, count, start, end, ids, dists, f);
        });
    // Queries 0, 2, 4, 6, 8 are incomplete after [0, 2): retried two at a time over [2, 4).
    ASSERT_EQ(fake.calls.size(), 4u);
    EXPECT_EQ(fake.calls[1].queries, (std::vector<uint64_t>{0, 2}));
    EXPECT_EQ(fake.calls[2].queries, (std::vector<uint64_t>{4, 6}));
    EXPECT_EQ(fake.calls[3].queries, (std::vector<uint64_t>{8}));
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(fake.calls[i].start, 2u);
        EXPECT_EQ(fake.calls[i].end, 4u);
    }
    // Every pass, grouped or not, got its own decoded filter.
    EXPECT_EQ(filter_seen, (std::vector<uint64_t>{1, 1, 1, 1}));
}

TEST(Progressive, BatchFormStopsWhenDoublingReachesNlist) {
    // nlist 12 from nprobe 5: [0,5), [5,10), [10,12), then done although incomplete.
    FakeBatch fake{3, [](uint64_t, uint64_t) -> uint64_t { return 0; }};
    const std::vector<float> queries = query_indices(2);
    SearchResult r = progressive_ivf_batch_search(kAuto, 12, 5, queries, 2, 3, 1000, kNoFilter, std::ref(fake));
    ASSERT_EQ(fake.calls.size(), 3u);
    EXPECT_EQ(fake.calls[1].start, 5u);
    EXPECT_EQ(fake.calls[1].end, 10u);
    EXPECT_EQ(fake.calls[2].start, 10u);
    EXPECT_EQ(fake.calls[2].end, 12u);
    for (float d : r.distances) EXPECT_EQ(d, kF32Max);
    for (int64_t id : r.ids) EXPECT_EQ(id, -1);
}

TEST(Progressive, BatchFormFailureInARetryGroupEndsTheSearch) {
    int calls = 0;
    const std::vector<float> queries = query_indices(2);
    const std::string text = error_of([&] {
        progressive_ivf_batch_search(kAuto, 100, 8, queries, 2, 3, 1000, kNoFilter,
                                     [&](auto, uint64_t count, uint64_t, uint64_t, auto, auto, const RowIdFilter*) {
                                         if (++calls == 2) invalid_data("retry failed");
                                         SearchResult r;
                                         r.ids.assign(count * 3, -1);
                                         r.distances.assign(count * 3, kF32Max);
                                         return r;
                                     });
    });
    EXPECT_EQ(text, "retry failed");
    EXPECT_EQ(calls, 2);
}

TEST(Progressive, BatchFormWithNoQueriesRunsOnePass) {
    // The facade refuses nq = 0 before; the search itself must not divide by it.
    int calls = 0;
    SearchResult r =
        progressive_ivf_batch_search(kAuto, 100, 8, std::span<const float>(), 0, 3, 1000, kNoFilter,
                                     [&](auto, uint64_t, uint64_t, uint64_t, auto, auto, const RowIdFilter*) {
                                         ++calls;
                                         return SearchResult{};
                                     });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(r.ids.empty());
}
