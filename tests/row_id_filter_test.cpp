// Row-ID filter bytes: decoding the 64-bit Roaring framing, and the filter lookups.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <roaring/roaring64map.hh>

#include "bytes.hpp"
#include "expect.hpp"
#include "index_io_util.hpp"
#include "pool.hpp"
#include "row_id_filter.hpp"

namespace util = tavren::index_io_util;
using tavren::Error;
using tavren::ErrorKind;
using tavren::row_id_filter::RoaringTreemap;
using tavren::row_id_filter::RowIdFilter;

namespace {

using Bytes = std::vector<uint8_t>;

using tavren::testing::put;

// The portable bytes of a 64-bit bitmap as the roaring library writes them.
Bytes serialize(const std::set<uint64_t>& values, bool run_optimize) {
    Roaring64Map map;
    for (uint64_t v : values) map.add(v);
    if (run_optimize) map.runOptimize();
    Bytes out(map.getSizeInBytes(true));
    size_t written = map.write(reinterpret_cast<char*>(out.data()), true);
    EXPECT_EQ(written, out.size());
    return out;
}

// The portable bytes of one 32-bit bitmap.
Bytes serialize32(std::initializer_list<uint32_t> values) {
    roaring_bitmap_t* r = roaring_bitmap_create();
    for (uint32_t v : values) roaring_bitmap_add(r, v);
    Bytes out(roaring_bitmap_portable_size_in_bytes(r));
    roaring_bitmap_portable_serialize(r, reinterpret_cast<char*>(out.data()));
    roaring_bitmap_free(r);
    return out;
}

// The 64-bit framing around given (key, 32-bit bitmap bytes) entries.
Bytes frame(uint64_t count, const std::vector<std::pair<uint32_t, Bytes>>& entries) {
    Bytes out;
    put<uint64_t>(out, count);
    for (const auto& [key, bitmap] : entries) {
        put<uint32_t>(out, key);
        out.insert(out.end(), bitmap.begin(), bitmap.end());
    }
    return out;
}

std::vector<uint64_t> values_of(const RoaringTreemap& t) {
    std::vector<uint64_t> out;
    t.for_each([&](uint64_t v) {
        out.push_back(v);
        return true;
    });
    return out;
}

std::string decode_failure(const Bytes& bytes) {
    return tavren::testing::error_message([&] { util::decode_roaring_filter(bytes); });
}

const std::string kFilterPrefix = "invalid RoaringTreemap filter: ";
const std::string kTruncated = kFilterPrefix + "failed to fill whole buffer";

}  // namespace

TEST(RoaringFilter, ValidBitmapsDecodeToTheirValues) {
    std::set<uint64_t> dense;  // > 4096 values in one chunk: a bitset container
    for (uint64_t v = 70000; v < 80000; v += 2) dense.insert(v);
    std::set<uint64_t> runs;  // long runs: run containers once optimised
    for (uint64_t v = 1000; v < 60000; ++v) runs.insert(v);
    for (uint64_t v = (uint64_t{7} << 32) + 5; v < (uint64_t{7} << 32) + 9000; ++v) runs.insert(v);
    std::set<uint64_t> many_runs;  // five run containers in one 32-bit bitmap: offsets present
    for (uint64_t c = 0; c < 5; ++c) {
        for (uint64_t v = c * 65536 + 100; v < c * 65536 + 3000; ++v) many_runs.insert(v);
    }
    many_runs.insert(5 * 65536 + 7);  // and an array container among them
    std::mt19937_64 rng(3);
    std::set<uint64_t> scattered;
    for (int i = 0; i < 3000; ++i) scattered.insert(rng() >> (rng() % 64));
    const std::set<uint64_t> cases[] = {
        {},
        {0},
        {1, 2, 3, 65535, 65536, 131071},
        dense,
        runs,
        many_runs,
        scattered,
        {uint64_t{0xFFFFFFFF} << 32, ~uint64_t{0}, uint64_t{1} << 63, (uint64_t{1} << 63) - 1},
    };
    for (const auto& values : cases) {
        for (bool optimize : {false, true}) {
            const Bytes bytes = serialize(values, optimize);
            RoaringTreemap t = util::decode_roaring_filter(bytes);
            EXPECT_EQ(values_of(t), std::vector<uint64_t>(values.begin(), values.end()));
            EXPECT_EQ(t.cardinality(), values.size());
            EXPECT_EQ(t.is_empty(), values.empty());
            EXPECT_EQ(util::decode_roaring_filter_cardinality(bytes), values.size());
            for (uint64_t v : values) ASSERT_TRUE(t.contains(v)) << v;
            for (uint64_t probe : {uint64_t{4}, uint64_t{70001}, uint64_t{999}, uint64_t{60000}, uint64_t{1} << 40}) {
                EXPECT_EQ(t.contains(probe), values.count(probe) == 1) << probe;
            }
        }
    }
}

TEST(RoaringFilter, RepeatedKeyReplacesAndKeysAreOrdered) {
    const Bytes bytes = frame(4, {{9, serialize32({1, 2})},
                                  {2, serialize32({7})},
                                  {9, serialize32({3})},
                                  {0, serialize32({})}});
    RoaringTreemap t = util::decode_roaring_filter(bytes);
    EXPECT_EQ(values_of(t), (std::vector<uint64_t>{(uint64_t{2} << 32) | 7, (uint64_t{9} << 32) | 3}));
    EXPECT_FALSE(t.contains((uint64_t{9} << 32) | 1));
    EXPECT_EQ(util::decode_roaring_filter_cardinality(bytes), 2u);
}

TEST(RoaringFilter, BytesAfterTheLastBitmapAreIgnored) {
    Bytes bytes = serialize({5, 6}, false);
    bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x01});
    EXPECT_EQ(values_of(util::decode_roaring_filter(bytes)), (std::vector<uint64_t>{5, 6}));
    // A count of 0 reads nothing after it.
    EXPECT_TRUE(util::decode_roaring_filter(frame(0, {{1, {0xFF}}})).is_empty());
}

TEST(RoaringFilter, EveryProperPrefixIsTruncated) {
    std::set<uint64_t> values{1, 2, 100000, uint64_t{3} << 32};
    for (uint64_t v = 500000; v < 505000; ++v) values.insert(v);
    for (bool optimize : {false, true}) {
        const Bytes bytes = serialize(values, optimize);
        for (size_t len = 0; len < bytes.size(); ++len) {
            const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(len));
            ASSERT_EQ(decode_failure(prefix), kTruncated) << "length " << len;
        }
        tavren::testing::expect_error(
            [&] { util::decode_roaring_filter_cardinality(Bytes(bytes.begin(), bytes.begin() + 7)); },
            ErrorKind::InvalidInput, "invalid serialized RoaringTreemap filter: failed to fill whole buffer");
    }
}

TEST(RoaringFilter, CorruptBitmapsAreRefusedQuietly) {
    auto no_run = [](std::vector<std::pair<uint16_t, uint16_t>> key_cards, const Bytes& containers) {
        Bytes b;
        put<uint32_t>(b, 12346);
        put<uint32_t>(b, static_cast<uint32_t>(key_cards.size()));
        for (auto [key, card_minus_one] : key_cards) {
            put<uint16_t>(b, key);
            put<uint16_t>(b, card_minus_one);
        }
        for (size_t i = 0; i < key_cards.size(); ++i) put<uint32_t>(b, 0);  // offsets, not read
        b.insert(b.end(), containers.begin(), containers.end());
        return b;
    };
    auto one_run_container = [](std::vector<std::pair<uint16_t, uint16_t>> runs) {
        Bytes b;
        put<uint32_t>(b, 12347);  // run cookie, one container
        b.push_back(0x01);        // container 0 is a run container
        put<uint16_t>(b, 0);      // key
        put<uint16_t>(b, 0);      // cardinality - 1, not used for runs
        put<uint16_t>(b, static_cast<uint16_t>(runs.size()));
        for (auto [start, length] : runs) {
            put<uint16_t>(b, start);
            put<uint16_t>(b, length);
        }
        return b;
    };
    Bytes two_values;
    put<uint16_t>(two_values, 5);
    put<uint16_t>(two_values, 5);
    Bytes one_value;
    put<uint16_t>(one_value, 1);
    Bytes empty_bitset(8192, 0);
    Bytes too_many_containers;
    put<uint32_t>(too_many_containers, 12346);
    put<uint32_t>(too_many_containers, 65537);
    Bytes runs_missing = one_run_container({});
    runs_missing[runs_missing.size() - 2] = 0xFF;  // claims 65535 runs, holds none
    runs_missing[runs_missing.size() - 1] = 0xFF;

    struct Case {
        const char* name;
        Bytes bitmap;
        std::string reason;
    };
    const Case cases[] = {
        {"unknown cookie", Bytes{0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}, "unknown cookie value"},
        {"too many containers", too_many_containers, "size is greater than supported"},
        {"keys descending", no_run({{5, 0}, {3, 0}}, [&] {
             Bytes b = one_value;
             b.insert(b.end(), one_value.begin(), one_value.end());
             return b;
         }()),
         "container keys are not strictly ascending"},
        {"array values repeated", no_run({{0, 1}}, two_values), "array container values are not strictly ascending"},
        {"bitset count wrong", no_run({{0, 4096}}, empty_bitset), "bitset container cardinality does not match its bits"},
        {"runs overlapping", one_run_container({{10, 5}, {12, 3}}), "run container runs are not ascending and disjoint"},
        {"run container without runs", one_run_container({}), "run container has no runs"},
        {"run past 16 bits", one_run_container({{65530, 10}}), "run container runs are not ascending and disjoint"},
        {"array claims more than present", no_run({{0, 4095}}, one_value), "failed to fill whole buffer"},
        {"run count beyond the bytes", runs_missing, "failed to fill whole buffer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        std::string failure = decode_failure(frame(1, {{0, c.bitmap}}));
        std::string written = testing::internal::GetCapturedStderr();
        EXPECT_EQ(failure, kFilterPrefix + c.reason);
        EXPECT_EQ(written, "");
    }
}

TEST(RoaringFilter, HugeClaimedCountsNeedTheirBytes) {
    struct Case {
        const char* name;
        Bytes bytes;
    };
    Bytes claims_all_containers;  // no-run cookie, 65536 containers, no key table
    put<uint32_t>(claims_all_containers, 12346);
    put<uint32_t>(claims_all_containers, 65536);
    Bytes run_cookie_all;  // run cookie, 65536 containers, no run flags
    put<uint32_t>(run_cookie_all, 0xFFFF0000u | 12347);
    const Case cases[] = {
        {"maximal count, nothing after", frame(~uint64_t{0}, {})},
        {"maximal count, one bitmap", frame(~uint64_t{0}, {{1, serialize32({1, 2, 3})}})},
        {"count 2^40, a key but no bitmap", [] {
             Bytes b = frame(uint64_t{1} << 40, {});
             put<uint32_t>(b, 4);
             return b;
         }()},
        {"bitmap claims every container", frame(1, {{0, claims_all_containers}})},
        {"run bitmap claims every container", frame(1, {{0, run_cookie_all}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        EXPECT_EQ(decode_failure(c.bytes), kTruncated);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

TEST(RoaringFilter, ForEachStopsWhenAsked) {
    RoaringTreemap t = util::decode_roaring_filter(serialize({1, 2, 3, uint64_t{5} << 32}, false));
    std::vector<uint64_t> seen;
    EXPECT_FALSE(t.for_each([&](uint64_t v) {
        seen.push_back(v);
        return seen.size() < 2;
    }));
    EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2}));
    EXPECT_TRUE(RoaringTreemap().for_each([](uint64_t) { return false; }));
}

TEST(RoaringFilter, MovedTreemapsKeepTheirBitmaps) {
    RoaringTreemap a = util::decode_roaring_filter(serialize({10, 20}, false));
    RoaringTreemap b = std::move(a);
    EXPECT_TRUE(b.contains(20));
    EXPECT_TRUE(a.is_empty());  // NOLINT(bugprone-use-after-move): a moved-from treemap is empty
    a = util::decode_roaring_filter(serialize({30}, false));
    b = std::move(a);
    EXPECT_EQ(values_of(b), std::vector<uint64_t>{30});
}

// ---- RowIdFilter ---------------------------------------------------------------

TEST(RowIdFilter, NegativeRowIdsNeverMatch) {
    const uint64_t top = ~uint64_t{0};
    const uint64_t sign = uint64_t{1} << 63;
    RoaringTreemap t =
        util::decode_roaring_filter(serialize({0, 5, sign, sign + 5, top, static_cast<uint64_t>(INT64_MAX)}, true));
    RowIdFilter filter(t);
    struct Case {
        int64_t row_id;
        bool contained;
    };
    const Case cases[] = {
        {0, true}, {5, true}, {6, false}, {INT64_MAX, true},
        // The same 64 bits as values in the treemap, but negative row IDs.
        {-1, false}, {INT64_MIN, false}, {INT64_MIN + 5, false},
    };
    for (const Case& c : cases) EXPECT_EQ(filter.contains(c.row_id), c.contained) << c.row_id;
    EXPECT_TRUE(t.contains(top));
    EXPECT_TRUE(t.contains(sign));
}

TEST(RowIdFilter, EmptyFilterMatchesNothing) {
    RoaringTreemap t = util::decode_roaring_filter(frame(0, {}));
    RowIdFilter filter(t);
    for (int64_t id : {int64_t{0}, int64_t{1}, INT64_MAX, int64_t{-1}}) EXPECT_FALSE(filter.contains(id));
    RoaringTreemap default_made;
    EXPECT_FALSE(RowIdFilter(default_made).contains(0));
}

TEST(RowIdFilter, SharedAcrossPoolWorkers) {
    std::set<uint64_t> values;
    for (uint64_t v = 0; v < 200000; v += 3) values.insert(v);
    for (uint64_t v = 0; v < 50000; ++v) values.insert((uint64_t{2} << 32) + v);
    RoaringTreemap t = util::decode_roaring_filter(serialize(values, true));
    const RowIdFilter filter(t);
    tavren::pool::set_num_threads_for_testing(4);
    std::atomic<uint64_t> matches{0};
    std::atomic<uint64_t> wrong{0};
    const int64_t hi_base = int64_t{2} << 32;
    tavren::pool::parallel_for(0, 400000, 1000, [&](size_t lo, size_t hi) {
        uint64_t local = 0;
        uint64_t bad = 0;
        for (size_t i = lo; i < hi; ++i) {
            const int64_t id = i < 200000 ? static_cast<int64_t>(i) : hi_base + static_cast<int64_t>(i - 200000);
            const bool got = filter.contains(id);
            local += got ? 1 : 0;
            bad += got != (values.count(static_cast<uint64_t>(id)) == 1) ? 1 : 0;
            bad += filter.contains(-id - 1) ? 1 : 0;
        }
        matches += local;
        wrong += bad;
    });
    tavren::pool::set_num_threads_for_testing(0);
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(matches.load(), values.size());
}
