// Read windows, the window planners, the recency order, the buffer pool and
// the per-session window caches of the DiskANN search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <unordered_map>
#include <vector>

#include "diskann_windows.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "read_options.hpp"

namespace {

using namespace tavren::diskann_windows;
using tavren::ErrorKind;
using tavren::read_options::ReadPlan;
using tavren::testing::expect_error;

constexpr uint64_t kMiB = 1048576;

std::vector<uint8_t> buffer_with_capacity(size_t capacity) {
    std::vector<uint8_t> b;
    b.reserve(capacity);
    return b;
}

ReadPlan plan_with_window(uint64_t window_bytes) {
    ReadPlan p;
    p.window_bytes = window_bytes;
    p.beam_width = 4;
    p.ranges_per_read = 1;
    return p;
}

// ---- ReadWindowPlanner -------------------------------------------------------------

TEST(ReadWindowPlanner, SixteenKiBWindowsOverTenPages) {
    const uint64_t so = 1000000;
    const ReadWindowPlanner planner(so, 10 * 4096, 16384);
    struct Case {
        uint64_t page;
        std::optional<ReadWindow> window;
    };
    const std::vector<Case> cases = {
        {0, ReadWindow{so, 16384}},          {3, ReadWindow{so, 16384}},
        {4, ReadWindow{so + 16384, 16384}},  {7, ReadWindow{so + 16384, 16384}},
        {8, ReadWindow{so + 32768, 8192}},   {9, ReadWindow{so + 32768, 8192}},
        {10, std::nullopt},                  {uint64_t{1} << 52, std::nullopt},
        {(uint64_t{1} << 52) - 1, std::nullopt}, {~uint64_t{0}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(planner.window_for_logical_page(c.page), c.window) << "page " << c.page;
    }
}

TEST(ReadWindowPlanner, PlanIsDistinctAscendingAndSkipsOutsidePages) {
    const uint64_t so = 256;
    const ReadWindowPlanner planner(so, 10 * 4096, 16384);
    EXPECT_EQ(planner.plan_logical_pages(std::vector<size_t>{3, 10, 1, 2}),
              (std::vector<ReadWindow>{{so, 16384}}));
    EXPECT_EQ(planner.plan_logical_pages(std::vector<size_t>{9, 0, 5, 9, 4, 11}),
              (std::vector<ReadWindow>{{so, 16384}, {so + 16384, 16384}, {so + 32768, 8192}}));
    EXPECT_TRUE(planner.plan_logical_pages(std::vector<size_t>{}).empty());
    // Touching windows stay separate ranges (4096-byte windows, pages 0..2).
    const ReadWindowPlanner small(so, 3 * 4096, 4096);
    EXPECT_EQ(small.plan_logical_pages(std::vector<size_t>{2, 1, 0}),
              (std::vector<ReadWindow>{{so, 4096}, {so + 4096, 4096}, {so + 8192, 4096}}));
}

TEST(ReadWindowPlanner, PrefixTest) {
    const ReadWindowPlanner planner(4096, 10 * 4096, 16384);
    EXPECT_TRUE(planner.window_in_prefix({4096, 16384}, 16384));
    EXPECT_FALSE(planner.window_in_prefix({4096, 16384}, 16383));
    EXPECT_FALSE(planner.window_in_prefix({4096 + 16384, 16384}, 20000));
    EXPECT_FALSE(planner.window_in_prefix({0, 16}, ~uint64_t{0}));  // before the section
    EXPECT_FALSE(planner.window_in_prefix({8192, ~uint64_t{0}}, ~uint64_t{0}));  // overflow
}

// ---- VectorWindowPlanner -----------------------------------------------------------

TEST(VectorWindowPlanner, RecordsPerWindowAndWindows) {
    const uint64_t so = 8192;
    // 1536-byte records (f32, dimension 384) in 4096-byte windows: 2 per window.
    const auto p1536 = VectorWindowPlanner::create(plan_with_window(4096), so, 100 * 1536, 1536);
    EXPECT_EQ(p1536.records_per_window(), 2u);
    EXPECT_EQ(p1536.window_for_node(5), (ReadWindow{so + 4 * 1536, 3072}));
    // 3000-byte records (dimension 750): one per window.
    const auto p3000 = VectorWindowPlanner::create(plan_with_window(4096), so, 100 * 3000, 3000);
    EXPECT_EQ(p3000.records_per_window(), 1u);
    EXPECT_EQ(p3000.window_for_node(7), (ReadWindow{so + 7 * 3000, 3000}));
    // A record larger than the window gets a window of exactly one record.
    const auto big = VectorWindowPlanner::create(plan_with_window(4096), so, 10 * 8192, 8192);
    EXPECT_EQ(big.records_per_window(), 1u);
    EXPECT_EQ(big.window_for_node(2), (ReadWindow{so + 16384, 8192}));
    // The last window of 7 records with 2 per window holds only record 6.
    const auto seven = VectorWindowPlanner::create(plan_with_window(4096), so, 7 * 1536, 1536);
    EXPECT_EQ(seven.window_for_node(6), (ReadWindow{so + 6 * 1536, 1536}));
    EXPECT_EQ(seven.window_for_node(7), std::nullopt);
    EXPECT_EQ(seven.window_for_node(~uint64_t{0}), std::nullopt);  // node * r overflows
}

TEST(VectorWindowPlanner, ZeroRecordSizeIsRefused) {
    expect_error([] { VectorWindowPlanner::create(plan_with_window(4096), 0, 4096, 0); }, ErrorKind::InvalidData,
                 "DiskANN raw-vector record size must be greater than zero");
}

TEST(VectorWindowPlanner, PlanNodesIsDistinctAscending) {
    const uint64_t so = 64;
    const auto planner = VectorWindowPlanner::create(plan_with_window(4096), so, 100 * 1536, 1536);
    struct Candidate {
        size_t node;
        float distance;
    };
    const std::vector<Candidate> candidates = {{9, 0.1f}, {8, 0.2f}, {9, 0.3f}, {1, 0.4f}};
    EXPECT_EQ(planner.plan_nodes(candidates),
              (std::vector<ReadWindow>{{so, 3072}, {so + 8 * 1536, 3072}}));
    // Nodes beyond the section are skipped when planning.
    EXPECT_EQ(planner.plan_nodes(std::vector<size_t>{1000, 3}), (std::vector<ReadWindow>{{so + 2 * 1536, 3072}}));
}

TEST(VectorWindowPlanner, RecordSlicing) {
    const uint64_t so = 100;
    const auto planner = VectorWindowPlanner::create(plan_with_window(4096), so, 10 * 8, 8);
    // 512 records per window would exceed the section; the window is clipped.
    const ReadWindow w = *planner.window_for_node(3);
    EXPECT_EQ(w, (ReadWindow{so, 80}));
    std::vector<uint8_t> bytes(80);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    auto r = planner.record(w, bytes, 3);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0], 24);
    // A longer slice than the window still gives the record.
    std::vector<uint8_t> longer(200, 7);
    EXPECT_EQ(planner.record(w, longer, 9).size(), 8u);
    // One byte short of the record's end.
    expect_error([&] { planner.record(w, std::span<const uint8_t>(bytes).first(31), 3); }, ErrorKind::InvalidData,
                 "DiskANN raw-vector record is truncated");
    EXPECT_EQ(planner.record(w, std::span<const uint8_t>(bytes).first(32), 3).size(), 8u);
    // A window that starts after the record.
    expect_error([&] { planner.record(ReadWindow{so + 32, 48}, bytes, 3); }, ErrorKind::InvalidData,
                 "DiskANN raw-vector window starts after its record");
    expect_error([&] { planner.record(w, bytes, ~uint64_t{0} / 4); }, ErrorKind::InvalidData,
                 "DiskANN raw-vector offset overflows");
    const auto huge = VectorWindowPlanner::create(plan_with_window(4096), ~uint64_t{0} - 4, 16, 8);
    expect_error([&] { huge.record(ReadWindow{~uint64_t{0} - 4, 8}, bytes, 1); }, ErrorKind::InvalidData,
                 "DiskANN raw-vector offset overflows");
    const auto edge = VectorWindowPlanner::create(plan_with_window(4096), ~uint64_t{0} - 12, 16, 8);
    expect_error([&] { edge.record(ReadWindow{~uint64_t{0} - 12, 8}, bytes, 1); }, ErrorKind::InvalidData,
                 "DiskANN raw-vector record range overflows");

    // record_if_present: the same slice, and empty wherever record fails.
    const auto present = planner.record_if_present(w, bytes, 3);
    EXPECT_EQ(present.data(), r.data());
    EXPECT_EQ(present.size(), 8u);
    EXPECT_EQ(planner.record_if_present(w, std::span<const uint8_t>(bytes).first(32), 3).size(), 8u);
    EXPECT_TRUE(planner.record_if_present(w, std::span<const uint8_t>(bytes).first(31), 3).empty());
    EXPECT_TRUE(planner.record_if_present(ReadWindow{so + 32, 48}, bytes, 3).empty());
    EXPECT_TRUE(planner.record_if_present(w, bytes, ~uint64_t{0} / 4).empty());
    EXPECT_TRUE(huge.record_if_present(ReadWindow{~uint64_t{0} - 4, 8}, bytes, 1).empty());
    EXPECT_TRUE(edge.record_if_present(ReadWindow{~uint64_t{0} - 12, 8}, bytes, 1).empty());
}

// ---- OffsetMap / OffsetLru ---------------------------------------------------------

TEST(OffsetMap, MatchesAReferenceMapUnderRandomOperations) {
    std::mt19937_64 rng(7);
    OffsetMap<uint64_t> map;
    std::unordered_map<uint64_t, uint64_t> ref;
    for (int step = 0; step < 200000; ++step) {
        // Page-aligned keys from a small range so runs collide and wrap.
        const uint64_t key = (rng() % 300) * 4096;
        switch (rng() % 4) {
            case 0:
            case 1: {
                const uint64_t v = rng();
                auto old = map.insert_or_assign(key, v);
                auto it = ref.find(key);
                EXPECT_EQ(old.has_value(), it != ref.end());
                if (old && it != ref.end()) {
                    EXPECT_EQ(*old, it->second);
                }
                ref[key] = v;
                break;
            }
            case 2: {
                auto got = map.erase(key);
                auto it = ref.find(key);
                ASSERT_EQ(got.has_value(), it != ref.end());
                if (it != ref.end()) {
                    EXPECT_EQ(*got, it->second);
                    ref.erase(it);
                }
                break;
            }
            default: {
                const uint64_t* v = map.find(key);
                auto it = ref.find(key);
                ASSERT_EQ(v != nullptr, it != ref.end());
                if (v) {
                    EXPECT_EQ(*v, it->second);
                }
            }
        }
        ASSERT_EQ(map.size(), ref.size());
        if (step % 50000 == 49999) {
            map.clear();
            ref.clear();
        }
    }
}

TEST(OffsetMap, ReserveAvoidsGrowth) {
    OffsetSet set;
    set.reserve(1000);
    for (uint64_t i = 0; i < 1000; ++i) EXPECT_TRUE(set.insert(i * 4096));
    EXPECT_FALSE(set.insert(0));
    EXPECT_EQ(set.size(), 1000u);
    set.clear();
    EXPECT_TRUE(set.empty());
    EXPECT_FALSE(set.contains(4096));
}

TEST(OffsetLru, TouchRemoveAndPop) {
    OffsetLru lru;
    EXPECT_EQ(lru.pop_oldest(), std::nullopt);
    lru.touch(1);
    lru.touch(2);
    lru.touch(3);
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{1, 2, 3}));
    lru.touch(3);  // the newest: nothing changes
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{1, 2, 3}));
    lru.touch(1);  // the oldest of three: the middle one becomes the oldest
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{2, 3, 1}));
    lru.touch(3);
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{2, 1, 3}));
    lru.remove(1);
    lru.remove(42);  // absent: nothing
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(lru.pop_oldest(), 2u);
    EXPECT_EQ(lru.pop_oldest(), 3u);
    EXPECT_EQ(lru.pop_oldest(), std::nullopt);
    EXPECT_TRUE(lru.empty());
    EXPECT_EQ(lru.oldest(), std::nullopt);
    EXPECT_EQ(lru.newest(), std::nullopt);
}

TEST(OffsetLru, MatchesAListUnderRandomOperations) {
    // Few keys (many touches of the same offsets, so the list keeps sweeping
    // out spent entries) and many keys (long runs of new offsets); pops rare
    // or frequent.
    struct Case {
        uint64_t keys;
        int pop_weight;
    };
    for (const Case c : {Case{64, 1}, Case{5000, 1}, Case{5000, 0}, Case{300, 4}}) {
        std::mt19937_64 rng(11 + c.keys);
        OffsetLru lru;
        std::vector<uint64_t> ref;  // oldest first
        for (int step = 0; step < 20000; ++step) {
            const uint64_t key = rng() % c.keys;
            const int op = static_cast<int>(rng() % (3 + c.pop_weight));
            if (op == 0) {
                lru.touch(key);
                std::erase(ref, key);
                ref.push_back(key);
            } else if (op == 1) {
                const bool present = std::find(ref.begin(), ref.end(), key) != ref.end();
                EXPECT_EQ(lru.touch_if_present(key), present);
                if (present) {
                    std::erase(ref, key);
                    ref.push_back(key);
                }
            } else if (op == 2) {
                lru.remove(key);
                std::erase(ref, key);
            } else {
                auto got = lru.pop_oldest();
                if (ref.empty()) {
                    EXPECT_EQ(got, std::nullopt);
                } else {
                    EXPECT_EQ(got, ref.front());
                    ref.erase(ref.begin());
                }
            }
            ASSERT_EQ(lru.size(), ref.size());
            ASSERT_EQ(lru.oldest(), ref.empty() ? std::nullopt : std::optional<uint64_t>(ref.front()));
            ASSERT_EQ(lru.newest(), ref.empty() ? std::nullopt : std::optional<uint64_t>(ref.back()));
            if (step % 1000 == 0) {
                ASSERT_EQ(lru.oldest_to_newest(), ref) << c.keys;
            }
        }
    }
}

// Touching the same offsets over and over leaves spent entries behind; they
// are swept out, so the list stays within a few times the offset count
// instead of growing with the number of touches.
TEST(OffsetLru, RepeatedTouchesDoNotGrowTheList) {
    OffsetLru lru;
    for (uint64_t k = 0; k < 100; ++k) lru.touch(k);
    std::mt19937_64 rng(5);
    for (int i = 0; i < 200000; ++i) lru.touch(rng() % 100);
    EXPECT_EQ(lru.size(), 100u);
    EXPECT_LE(lru.entry_count(), 400u);
}

// ---- WindowBufferPool --------------------------------------------------------------

// A pool holding buffers of the given capacities, in order; `ids` receives their data pointers.
WindowBufferPool pool_of(const std::vector<size_t>& caps, std::vector<const uint8_t*>& ids,
                         uint64_t limit = kDefaultWindowBufferLimit) {
    WindowBufferPool pool(limit);
    ids.clear();
    for (size_t c : caps) {
        auto b = buffer_with_capacity(c);
        ids.push_back(b.data());
        pool.recycle(std::move(b));
    }
    return pool;
}

TEST(WindowBufferPool, TakeRules) {
    struct Case {
        std::vector<size_t> caps;
        uint64_t len;
        size_t chosen;                    // index into caps
        std::vector<uint64_t> left;       // capacities left in pool order
    };
    const std::vector<Case> cases = {
        {{8192, 4096, 4096}, 4096, 2, {8192, 4096}},   // the last buffer, exact size
        {{4096, 8192, 4096}, 6000, 1, {4096, 4096}},   // smallest that is large enough
        {{1024, 2048, 2048}, 4096, 2, {1024, 2048}},   // latest of the largest, grown
        {{4096, 8192, 8192}, 5000, 1, {4096, 8192}},   // earliest of equal best fits
        {{16384, 4096, 1024}, 4096, 1, {16384, 1024}}, // exact but not last: best fit finds it
    };
    for (const Case& c : cases) {
        std::vector<const uint8_t*> ids;
        WindowBufferPool pool = pool_of(c.caps, ids);
        auto b = pool.take(c.len);
        EXPECT_EQ(b.size(), c.len);
        EXPECT_GE(b.capacity(), c.len);
        if (c.caps[c.chosen] >= c.len) {
            EXPECT_EQ(b.data(), ids[c.chosen]);
        }
        auto left = pool.capacities();
        std::sort(left.begin(), left.end());
        auto want = c.left;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(left, want);
        uint64_t sum = 0;
        for (auto x : want) sum += x;
        EXPECT_EQ(pool.pooled_bytes(), sum);
    }
    // The grown buffer of the third case really is the second 2048 buffer:
    // the first one stays pooled.
    std::vector<const uint8_t*> ids;
    WindowBufferPool pool = pool_of({1024, 2048, 2048}, ids);
    auto b = pool.take(4096);
    auto again = pool.take(2048);
    EXPECT_EQ(again.data(), ids[1]);
}

// A buffer for a read is chosen like one from take, but the bytes a pooled
// buffer held stay as they were (the read overwrites them); only bytes past
// its old size are new zeros. Charges are by capacity either way.
TEST(WindowBufferPool, TakeForReadChoosesLikeTakeWithoutZeroing) {
    struct Case {
        std::vector<size_t> caps;
        uint64_t len;
    };
    const std::vector<Case> cases = {
        {{8192, 4096, 4096}, 4096}, {{4096, 8192, 4096}, 6000}, {{1024, 2048, 2048}, 4096},
        {{4096, 8192, 8192}, 5000}, {{16384, 4096, 1024}, 4096}, {{}, 300},
    };
    for (const Case& c : cases) {
        std::vector<const uint8_t*> ids_a;
        std::vector<const uint8_t*> ids_b;
        WindowBufferPool a = pool_of(c.caps, ids_a);
        WindowBufferPool b = pool_of(c.caps, ids_b);
        const auto zeroed = a.take(c.len);
        const auto for_read = b.take_for_read(c.len);
        EXPECT_EQ(for_read.size(), c.len);
        EXPECT_GE(for_read.capacity(), c.len);
        for (size_t i = 0; i < ids_a.size(); ++i) {
            EXPECT_EQ(zeroed.data() == ids_a[i], for_read.data() == ids_b[i]) << i;
        }
        EXPECT_EQ(a.capacities(), b.capacities());
        EXPECT_EQ(a.pooled_bytes(), b.pooled_bytes());
    }
    WindowBufferPool pool;
    auto buffer = buffer_with_capacity(4096);
    buffer.assign(2048, 0xAB);
    const uint8_t* id = buffer.data();
    pool.recycle(std::move(buffer));
    EXPECT_EQ(pool.pooled_bytes(), 4096u);
    auto b = pool.take_for_read(4096);
    ASSERT_EQ(b.data(), id);
    ASSERT_EQ(b.size(), 4096u);
    for (size_t i = 0; i < 2048; ++i) ASSERT_EQ(b[i], 0xAB) << i;
    for (size_t i = 2048; i < 4096; ++i) ASSERT_EQ(b[i], 0) << i;
    AdjacencyWindowCache cache;
    cache.insert(0, WindowPayload::owned(std::move(b)));
    EXPECT_EQ(cache.charged_bytes(), 4096u);
    // Recycled and taken again: nothing is cleared.
    pool.recycle(std::vector<uint8_t>(cache.get(0)->bytes().begin(), cache.get(0)->bytes().end()));
    auto again = pool.take_for_read(1000);
    ASSERT_EQ(again.size(), 1000u);
    EXPECT_EQ(again[0], 0xAB);
    // take still hands out zeros from the same pool.
    pool.recycle(std::move(again));
    const auto zeros = pool.take(4096);
    EXPECT_TRUE(std::all_of(zeros.begin(), zeros.end(), [](uint8_t x) { return x == 0; }));
}

TEST(WindowBufferPool, TakenBufferIsZeroedAndChargedByCapacity) {
    WindowBufferPool pool;
    auto big = buffer_with_capacity(16384);
    big.assign(16384, 0xAB);
    pool.recycle(std::move(big));
    auto b = pool.take(4096);
    EXPECT_EQ(b.size(), 4096u);
    EXPECT_EQ(b.capacity(), 16384u);
    for (uint8_t x : b) ASSERT_EQ(x, 0);
    AdjacencyWindowCache cache;
    cache.insert(0, WindowPayload::owned(std::move(b)));
    EXPECT_EQ(cache.charged_bytes(), 16384u);
    EXPECT_EQ(cache.get(0)->bytes().size(), 4096u);
    // An empty pool starts from a new buffer.
    WindowBufferPool empty;
    EXPECT_EQ(empty.take(100).size(), 100u);
}

TEST(WindowBufferPool, LimitAndSetLimit) {
    std::vector<const uint8_t*> ids;
    WindowBufferPool pool = pool_of({4096, 4096}, ids, 8192);
    EXPECT_EQ(pool.pooled_bytes(), 8192u);
    pool.recycle(buffer_with_capacity(4096));  // at the limit: freed
    EXPECT_EQ(pool.buffer_count(), 2u);
    EXPECT_EQ(pool.pooled_bytes(), 8192u);
    pool.set_limit(5000);  // frees the most recently pooled first
    EXPECT_EQ(pool.buffer_count(), 1u);
    EXPECT_EQ(pool.pooled_bytes(), 4096u);
    pool.set_limit(0);
    EXPECT_EQ(pool.buffer_count(), 0u);
    EXPECT_EQ(pool.pooled_bytes(), 0u);
    EXPECT_EQ(pool.limit_bytes(), 0u);
}

TEST(WindowBufferPool, ImpossibleGrowthIsReported) {
    WindowBufferPool pool;
    pool.recycle(buffer_with_capacity(4096));
    expect_error([&] { pool.take(~uint64_t{0}); }, ErrorKind::InvalidInput,
                 "DiskANN query window buffer allocation failed");
    // The chosen buffer went back to the pool.
    EXPECT_EQ(pool.pooled_bytes(), 4096u);
}

// ---- caches ---------------------------------------------------------------------------

TEST(WindowCache, ReplacingAnOwnedPayloadFreesTheOldBuffer) {
    WindowBufferPool pool;
    AdjacencyWindowCache cache;
    cache.insert(4096, WindowPayload::owned(buffer_with_capacity(8192)));
    cache.insert(4096, WindowPayload::owned(buffer_with_capacity(4096)));
    EXPECT_EQ(cache.charged_bytes(), 4096u);
    EXPECT_EQ(cache.len(), 1u);
    EXPECT_EQ(pool.buffer_count(), 0u);
    EXPECT_EQ(cache.lru().oldest_to_newest(), (std::vector<uint64_t>{4096}));
}

TEST(WindowCache, TrimEvictsOldestFirstAndPoolsOwnedBuffers) {
    WindowBufferPool pool;
    VectorWindowCache cache;
    auto shared = share_window_payload(std::vector<uint8_t>(4096, 1));
    cache.insert(0, WindowPayload::owned(buffer_with_capacity(4096)));
    cache.insert(4096, WindowPayload::shared(shared));
    cache.insert(8192, WindowPayload::owned(buffer_with_capacity(4096)));
    EXPECT_EQ(shared.use_count(), 2);
    EXPECT_EQ(cache.charged_bytes(), 3 * 4096u);
    EXPECT_EQ(cache.trim(pool, 3 * 4096), 0u);
    EXPECT_EQ(cache.trim(pool, 100000), 0u);
    EXPECT_EQ(cache.trim(pool, 2 * 4096), 1u);  // offset 0 goes, its buffer is pooled
    EXPECT_FALSE(cache.contains_key({0, 4096}));
    EXPECT_EQ(pool.buffer_count(), 1u);
    EXPECT_EQ(cache.trim(pool, 0), 2u);
    EXPECT_EQ(shared.use_count(), 1);  // the shared reference was released
    EXPECT_EQ(pool.buffer_count(), 2u);
    EXPECT_EQ(cache.charged_bytes(), 0u);
    EXPECT_TRUE(cache.lru().empty());
}

TEST(WindowCache, GetDoesNotChangeRecencyAndTouchWindowsDoes) {
    WindowBufferPool pool;
    VectorWindowCache cache;
    for (uint64_t o : {0, 4096, 8192}) cache.insert(o, WindowPayload::owned(std::vector<uint8_t>(16, 3)));
    ASSERT_TRUE(cache.get({0, 16}).has_value());
    EXPECT_EQ(cache.get({0, 16})->size(), 16u);
    EXPECT_FALSE(cache.get({12288, 16}).has_value());
    EXPECT_EQ(cache.lru().oldest_to_newest(), (std::vector<uint64_t>{0, 4096, 8192}));
    const std::vector<ReadWindow> touched = {{4096, 16}, {0, 16}};
    cache.touch_windows(touched);
    EXPECT_EQ(cache.lru().oldest_to_newest(), (std::vector<uint64_t>{8192, 4096, 0}));
    EXPECT_EQ(cache.recycle(pool), 3u);
    EXPECT_TRUE(cache.empty());
    EXPECT_EQ(cache.charged_bytes(), 0u);
}

// `count` owned windows of `bytes` each at offsets base, base + bytes, ...
void fill(WindowCache& cache, uint64_t base, size_t count, uint64_t bytes) {
    for (size_t i = 0; i < count; ++i) cache.insert(base + i * bytes, WindowPayload::owned(buffer_with_capacity(bytes)));
}

TEST(PrepareAdjacencyWindowCache, TrimsForTheIncomingBytes) {
    struct Case {
        uint64_t incoming;
        size_t needed_cached;   // the first windows of the cache that the round needs
        uint64_t charged_after;
        uint64_t evicted;
    };
    // The cache holds 8 windows of 1 MiB.
    const std::vector<Case> cases = {
        {9 * kMiB, 0, 0, 8},            // more than 8 MiB comes in: trimmed to 0
        {1 * kMiB, 0, 7 * kMiB, 1},     // trimmed to 7 MiB
        {1 * kMiB, 1, 7 * kMiB, 1},     // the needed oldest window survives, the next goes
        {0, 0, 8 * kMiB, 0},
        {8 * kMiB, 2, 2 * kMiB, 6},     // needed windows are never evicted for the call
    };
    for (const Case& c : cases) {
        WindowBufferPool pool(64 * kMiB);
        AdjacencyWindowCache cache;
        fill(cache, 0, 8, kMiB);
        std::vector<ReadWindow> needed;
        for (size_t i = 0; i < c.needed_cached; ++i) {
            needed.push_back({i * kMiB, kMiB});
            needed.push_back({i * kMiB, kMiB});  // repetitions are allowed
        }
        needed.push_back({100 * kMiB, kMiB});  // not cached: not entered
        EXPECT_EQ(prepare_adjacency_window_cache(needed, c.incoming, cache, pool), c.evicted) << c.incoming;
        EXPECT_EQ(cache.charged_bytes(), c.charged_after) << c.incoming;
        for (size_t i = 0; i < c.needed_cached; ++i) EXPECT_TRUE(cache.contains_key({i * kMiB, kMiB}));
        EXPECT_FALSE(cache.contains_key({100 * kMiB, kMiB}));
    }
}

TEST(PrepareAdjacencyWindowCache, LargeRoundKeepsEveryNeededWindow) {
    // Interleaved files under the object-store profile: 64 KiB windows. A
    // rerank over 200 candidates needs 200 windows (12.5 MiB): 100 are cached,
    // 100 come in. Trimming to 8 MiB - 6.25 MiB would drop cached needed
    // windows that nothing reloads; they stay, only the others go.
    const uint64_t w = 65536;
    WindowBufferPool pool(64 * kMiB);
    AdjacencyWindowCache cache;
    fill(cache, 0, 20, w);               // windows the call does not need (oldest)
    fill(cache, 1000 * w, 100, w);       // windows the call needs
    std::vector<ReadWindow> needed;
    for (size_t i = 0; i < 100; ++i) needed.push_back({(1000 + i) * w, w});
    for (size_t i = 0; i < 100; ++i) needed.push_back({(5000 + i) * w, w});  // incoming
    const uint64_t evicted = prepare_adjacency_window_cache(needed, 100 * w, cache, pool);
    EXPECT_EQ(evicted, 20u);
    EXPECT_EQ(cache.len(), 100u);
    for (size_t i = 0; i < 100; ++i) EXPECT_TRUE(cache.contains_key({(1000 + i) * w, w}));
    EXPECT_GT(cache.charged_bytes() + 100 * w, kAdjacencyWindowCacheLimit);  // the call overshoots
}

TEST(PrepareVectorWindowCache, EmptiesOrTrims) {
    WindowBufferPool pool(64 * kMiB);
    VectorWindowCache cache;
    fill(cache, 0, 3, 4096);
    // The rerank's windows exceed the limit: the cache is emptied.
    const std::vector<ReadWindow> windows = {{0, 4096}, {65536, 8192}};
    auto r = prepare_vector_window_cache(windows, cache, pool, 10000);
    EXPECT_FALSE(r.keep);
    EXPECT_EQ(r.removed, 3u);
    EXPECT_TRUE(cache.empty());
    // Within the limit: trimmed to the limit itself.
    fill(cache, 0, 3, 4096);
    r = prepare_vector_window_cache(windows, cache, pool, 12288);
    EXPECT_TRUE(r.keep);
    EXPECT_EQ(r.removed, 0u);
    r = prepare_vector_window_cache(windows, cache, pool, 12287);
    EXPECT_FALSE(r.keep);
    // A limit of 0 and no windows: trimmed to empty, kept.
    fill(cache, 0, 2, 4096);
    r = prepare_vector_window_cache({}, cache, pool, 0);
    EXPECT_TRUE(r.keep);
    EXPECT_EQ(r.removed, 2u);
    EXPECT_TRUE(cache.empty());
    // A sum that overflows empties the cache.
    fill(cache, 0, 1, 4096);
    const std::vector<ReadWindow> huge = {{0, ~uint64_t{0}}, {4096, 2}};
    r = prepare_vector_window_cache(huge, cache, pool, ~uint64_t{0});
    EXPECT_FALSE(r.keep);
    EXPECT_EQ(r.removed, 1u);
}

}  // namespace
