// SparseTable: sizing, growth, replacement, clearing, the reserved key,
// probing across the wrap, and every value type in use.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "expect.hpp"
#include "sparse_table.hpp"

namespace {

using tavren::AssertionFailure;
using tavren::sparse_table::SparseSet;
using tavren::sparse_table::SparseTable;

constexpr uint32_t kReserved = 4294967295u;

using tavren::testing::assertion_text;

template <class V>
SparseTable<V> make(size_t capacity) {
    auto t = SparseTable<V>::try_with_capacity(capacity);
    if (!t) throw std::runtime_error("allocation failed");
    return std::move(*t);
}

// Keys in the order of `occupied`.
template <class V>
std::vector<uint32_t> keys_in_order(const SparseTable<V>& t) {
    std::vector<uint32_t> keys;
    for (uint32_t slot : t.occupied()) keys.push_back(t.key_at(slot));
    return keys;
}

// `count` keys whose home slot in a table of `slots` slots is `home`.
std::vector<uint32_t> keys_with_home(size_t slots, size_t home, size_t count) {
    std::vector<uint32_t> keys;
    for (uint32_t k = 0; keys.size() < count; ++k)
        if ((SparseTable<uint32_t>::hash(k) & (slots - 1)) == home) keys.push_back(k);
    return keys;
}

TEST(SparseTable, SlotCountFromCapacity) {
    struct Case {
        size_t capacity;
        std::optional<size_t> slots;
    };
    const Case cases[] = {
        {0, 8}, {1, 8}, {4, 8}, {5, 16}, {8, 16}, {9, 32}, {1000, 2048}, {1024, 2048},
        // Too large: refused without detail, never thrown.
        {size_t{1} << 63, std::nullopt},            // above i64::MAX
        {(size_t{1} << 62) + 1, std::nullopt},      // slot count not representable
        {(size_t{1} << 31) + 1, std::nullopt},      // slot numbers would not fit u32
    };
    for (const Case& c : cases) {
        auto t = SparseTable<uint8_t>::try_with_capacity(c.capacity);
        auto s = SparseSet::try_with_capacity(c.capacity);
        ASSERT_EQ(c.slots.has_value(), t.has_value()) << c.capacity;
        ASSERT_EQ(c.slots.has_value(), s.has_value()) << c.capacity;
        if (c.slots) {
            EXPECT_EQ(*c.slots, t->slot_count());
            EXPECT_EQ(*c.slots, s->slot_count());
            EXPECT_EQ(0u, t->len());
        }
    }
}

TEST(SparseTable, SixthKeyOfEightSlotsGrowsFirstAndKeepsOrder) {
    auto t = make<uint32_t>(0);
    ASSERT_EQ(8u, t.slot_count());
    const std::vector<uint32_t> keys = {40, 3, 977, 12, 5000000, 6};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_FALSE(t.insert(keys[i], static_cast<uint32_t>(100 + i)).has_value());
        EXPECT_EQ(8u, t.slot_count());
    }
    EXPECT_FALSE(t.insert(keys[5], 105).has_value());
    EXPECT_EQ(16u, t.slot_count());
    EXPECT_EQ(keys, keys_in_order(t));
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(100 + i, t.get(keys[i]).value());
    // Growth thresholds: 11 of 16, 22 of 32.
    for (uint32_t k = 1000; t.len() < 11; ++k) t.insert(k, 0);
    EXPECT_EQ(16u, t.slot_count());
    t.insert(999999, 1);
    EXPECT_EQ(32u, t.slot_count());
    for (uint32_t k = 2000; t.len() < 22; ++k) t.insert(k, 0);
    EXPECT_EQ(32u, t.slot_count());
    t.insert(888888, 1);
    EXPECT_EQ(64u, t.slot_count());
}

TEST(SparseTable, ReplacingAKeyReturnsTheOldValueAndKeepsOccupied) {
    auto t = make<size_t>(4);
    t.insert(7, 70);
    t.insert(9, 90);
    auto before = keys_in_order(t);
    EXPECT_EQ(std::optional<size_t>(70), t.insert(7, 71));
    EXPECT_EQ(before, keys_in_order(t));
    EXPECT_EQ(2u, t.len());
    EXPECT_EQ(71u, t.get(7).value());
    size_t* v = t.get_mut(9);
    ASSERT_NE(nullptr, v);
    *v += 1;
    EXPECT_EQ(91u, t.get(9).value());
    EXPECT_EQ(nullptr, t.get_mut(8));
    EXPECT_FALSE(t.get(8).has_value());

    auto s = make<void>(4);
    EXPECT_FALSE(s.insert(7));
    EXPECT_TRUE(s.insert(7));
    EXPECT_EQ(1u, s.len());
    EXPECT_TRUE(s.contains(7));
    EXPECT_FALSE(s.contains(8));
}

TEST(SparseTable, ClearForgetsKeysAndKeepsTheSlotCount) {
    auto t = make<uint8_t>(2);
    for (uint32_t k = 0; k < 20; ++k) t.insert(k * 7919u, static_cast<uint8_t>(k + 1));
    const size_t slots = t.slot_count();
    t.clear();
    EXPECT_EQ(slots, t.slot_count());
    EXPECT_EQ(0u, t.len());
    for (uint32_t k = 0; k < 20; ++k) EXPECT_FALSE(t.get(k * 7919u).has_value());
    // A new key in a slot with a stale value reads its own value.
    EXPECT_FALSE(t.insert(5 * 7919u, 200).has_value());
    EXPECT_EQ(200, t.get(5 * 7919u).value());
    EXPECT_FALSE(t.get(6 * 7919u).has_value());

    auto s = make<void>(0);
    for (uint32_t k = 0; k < 3; ++k) s.insert(k);
    s.clear();
    EXPECT_FALSE(s.contains(1));
    EXPECT_FALSE(s.insert(1));
}

TEST(SparseTable, ReservedKeyIsAnAssertionAndItsNeighbourIsOrdinary) {
    const std::string msg = "u32::MAX is reserved by SparseTable";
    auto t = make<uint32_t>(4);
    auto s = make<void>(4);
    const std::function<void()> ops[] = {
        [&] { t.get(kReserved); },
        [&] { t.get_mut(kReserved); },
        [&] { t.insert(kReserved, 1); },
        [&] { s.insert(kReserved); },
        [&] { s.contains(kReserved); },
    };
    for (const auto& op : ops) {
        std::string text = assertion_text(op);
        EXPECT_NE(std::string::npos, text.find(msg)) << text;
        EXPECT_NE(std::string::npos, text.find("4294967295")) << text;  // shows the key
    }
    EXPECT_FALSE(t.insert(kReserved - 1, 3).has_value());
    EXPECT_EQ(3u, t.get(kReserved - 1).value());
    EXPECT_FALSE(s.insert(kReserved - 1));
    EXPECT_EQ(1u, t.len());
}

TEST(SparseTable, SharedHomeSlotsProbeLinearlyAcrossTheWrap) {
    auto t = make<uint32_t>(0);  // 8 slots
    // Three keys at home 7 take slots 7, 0, 1; a key at home 0 then takes 2.
    auto at7 = keys_with_home(8, 7, 3);
    auto at0 = keys_with_home(8, 0, 1);
    for (size_t i = 0; i < 3; ++i) t.insert(at7[i], static_cast<uint32_t>(i));
    t.insert(at0[0], 99);
    std::vector<uint32_t> slots(t.occupied().begin(), t.occupied().end());
    EXPECT_EQ((std::vector<uint32_t>{7, 0, 1, 2}), slots);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(i, t.get(at7[i]).value());
    EXPECT_EQ(99u, t.get(at0[0]).value());
    // A missing key with the same home is answered by the empty slot after the run.
    auto more = keys_with_home(8, 7, 4);
    EXPECT_FALSE(t.get(more[3]).has_value());
}

TEST(SparseTable, AgreesWithAMapUnderRandomOperations) {
    std::mt19937 rng(3);
    auto t = make<uint32_t>(3);
    std::unordered_map<uint32_t, uint32_t> model;
    for (int step = 0; step < 60000; ++step) {
        uint32_t key = static_cast<uint32_t>(rng() % 3000);
        if (step % 7 == 0) key = kReserved - 1 - key;  // keys near the top of the range
        const int op = static_cast<int>(rng() % 100);
        if (op < 55) {
            uint32_t v = rng();
            auto old = t.insert(key, v);
            auto it = model.find(key);
            ASSERT_EQ(it != model.end(), old.has_value());
            if (old) {
                ASSERT_EQ(it->second, *old);
            }
            model[key] = v;
        } else if (op < 99) {
            auto got = t.get(key);
            auto it = model.find(key);
            ASSERT_EQ(it != model.end(), got.has_value());
            if (got) {
                ASSERT_EQ(it->second, *got);
            }
        } else if (step % 5 == 0) {
            t.clear();
            model.clear();
        }
        ASSERT_EQ(model.size(), t.len());
        ASSERT_LT(t.len() * 10, t.slot_count() * 7);
    }
}

}  // namespace
