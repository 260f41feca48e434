// Known-answer tests of the seeded generator. The ChaCha block function is
// checked against published test vectors; every draw rule on top of it is
// checked against values derived by hand in the comments.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "error.hpp"
#include "rng.hpp"

using tavren::rng::chacha_block;
using tavren::rng::StdRng;

namespace {

constexpr std::array<uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

std::array<uint32_t, 16> state(const std::array<uint32_t, 8>& key, uint32_t w12, uint32_t w13, uint32_t w14,
                               uint32_t w15) {
    std::array<uint32_t, 16> s{};
    for (int i = 0; i < 4; ++i) s[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) s[4 + i] = key[i];
    s[12] = w12;
    s[13] = w13;
    s[14] = w14;
    s[15] = w15;
    return s;
}

std::vector<uint8_t> le_bytes(const std::array<uint32_t, 16>& words) {
    std::vector<uint8_t> out;
    for (uint32_t w : words) {
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(w >> (8 * b)));
    }
    return out;
}

std::vector<uint8_t> hex(const char* text) {
    std::vector<uint8_t> out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (const char* p = text; p[0] && p[1]; p += 2) out.push_back(static_cast<uint8_t>(nibble(p[0]) * 16 + nibble(p[1])));
    return out;
}

}  // namespace

// RFC 7539, section 2.3.2: key 00 01 .. 1f, block counter 1, nonce
// 00:00:00:09:00:00:00:4a:00:00:00:00, 20 rounds.
TEST(ChaChaBlock, Rfc7539BlockVector) {
    std::array<uint32_t, 8> key{};
    for (uint32_t i = 0; i < 8; ++i) {
        key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
    }
    const auto out = chacha_block(state(key, 1, 0x09000000u, 0x4a000000u, 0), 20);
    const std::array<uint32_t, 16> expected = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(out, expected);
}

// The classic all-zero key and nonce vectors, first keystream block, at 20,
// 12 and 8 rounds (the reduced-round vectors of the ChaCha test-vector draft).
TEST(ChaChaBlock, ZeroKeyVectorsAtEachRoundCount) {
    const std::array<uint32_t, 8> zero{};
    struct Case {
        unsigned rounds;
        const char* keystream;
    };
    const Case cases[] = {
        {20, "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
             "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
        {12, "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
             "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
        {8, "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
            "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(le_bytes(chacha_block(state(zero, 0, 0, 0, 0), c.rounds)), hex(c.keystream)) << c.rounds;
    }
}

// seed_from_u64 by hand, seed 0:
//   s1 = 0 * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3 = 0xA17654E46FBE17F3
//   ((s1 >> 18) ^ s1) >> 27, low 32 bits = 0x2ECF973F;  rot = s1 >> 59 = 20
//   w0 = rotr(0x2ECF973F, 20) = (0x2ECF973F >> 20) | (0x2ECF973F << 12) = 0x2EC | 0xF973F000 = 0xF973F2EC
//   s2 = s1 * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3 = 0xE0A2DEF27678DAAA
//   xorshifted = 0x145CDB58, rot = 28: w1 = rotr(0x145CDB58, 28) = 0x45CDB581
// seed 42: s1 = 42 * M + INC = 0x1EE864530044F555, xorshifted 0xDD0C7D23, rot 3:
//   w0 = rotr(0xDD0C7D23, 3) = 0x7BA18FA4; s2 = 0x0051E986B80B62E4 has rot 0: w1 = 0x0A3D3258.
TEST(StdRng, SeedFromU64KeyWords) {
    struct Case {
        uint64_t seed;
        std::array<uint32_t, 8> key;
    };
    const Case cases[] = {
        {0, {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7}},
        {1, {0x721dd8ea, 0x4e10265d, 0xf83b9c89, 0x2e78ce42, 0xda03d3ba, 0xc2d29799, 0xac560212, 0x1bfb6673}},
        {42, {0x7ba18fa4, 0x0a3d3258, 0xcca1b8ea, 0xb8140169, 0x75c88c2b, 0x54f7b418, 0xa16e448d, 0xf220dfe4}},
        {1234, {0x7f320500, 0x5c292077, 0x49ef66c6, 0x6b1b7c5e, 0x2d9b7cdb, 0x1169f1aa, 0x819906e8, 0x75b72d84}},
    };
    for (const Case& c : cases) {
        const StdRng g = StdRng::seed_from_u64(c.seed);
        EXPECT_EQ(g.key(), c.key) << c.seed;
        EXPECT_EQ(g.block_counter(), 0u);
    }
}

TEST(StdRng, FromSeedReadsLittleEndianKeyBytes) {
    std::array<uint8_t, 32> bytes{};
    for (int i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(i);
    const StdRng g = StdRng::from_seed(bytes);
    EXPECT_EQ(g.key()[0], 0x03020100u);
    EXPECT_EQ(g.key()[7], 0x1f1e1d1cu);
}

// The buffer is blocks 0..3 of ChaCha12 under the seeded key, word by word.
TEST(StdRng, DrawsFollowTheBlockWordOrder) {
    StdRng g = StdRng::seed_from_u64(0);
    const auto key = g.key();
    std::vector<uint32_t> expected;
    for (uint32_t b = 0; b < 5; ++b) {
        const auto words = chacha_block(state(key, b, 0, 0, 0), 12);
        expected.insert(expected.end(), words.begin(), words.end());
    }
    for (size_t i = 0; i < 80; ++i) ASSERT_EQ(g.next_u32(), expected[i]) << i;
    EXPECT_EQ(g.block_counter(), 8u);  // two refills of four blocks
    // Pinned first words of seed 0 (block 0, words 0 and 1).
    EXPECT_EQ(expected[0], 0xcd2c6f7fu);
    EXPECT_EQ(expected[1], 0xbb2a3fb2u);
}

TEST(StdRng, U64TakesLowWordFirst) {
    StdRng g = StdRng::seed_from_u64(0);
    // words 0xcd2c6f7f, 0xbb2a3fb2 -> 0xbb2a3fb2'cd2c6f7f; then 0x8e27697b, 0xc6017c94.
    EXPECT_EQ(g.next_u64(), 0xbb2a3fb2cd2c6f7full);
    EXPECT_EQ(g.next_u64(), 0xc6017c948e27697bull);
    StdRng h = StdRng::seed_from_u64(1);
    EXPECT_EQ(h.next_u64(), 0xf9681a64d3301861ull);
}

// With exactly one word left (63 taken), the u64 is (first word of the
// refilled buffer) << 32 | (word 63). Seed 0: word 63 = block 3 word 15 =
// 0xfa202be2, block 4 word 0 = 0x4c0bcc72, so the u64 is 0x4c0bcc72'fa202be2
// and the next u32 is block 4 word 1 = 0xeadd98ee.
TEST(StdRng, U64StraddlingTheBufferEnd) {
    StdRng g = StdRng::seed_from_u64(0);
    for (int i = 0; i < 63; ++i) g.next_u32();
    EXPECT_EQ(g.next_u64(), 0x4c0bcc72fa202be2ull);
    EXPECT_EQ(g.next_u32(), 0xeadd98eeu);

    // With the buffer used up exactly, the u64 is words 0 and 1 of the next buffer.
    StdRng h = StdRng::seed_from_u64(0);
    for (int i = 0; i < 64; ++i) h.next_u32();
    EXPECT_EQ(h.next_u64(), 0xeadd98ee4c0bcc72ull);
}

// gen_range(lo, hi): w = hi - lo, zone = (w << lz(w)) - 1, accept v when
// low64(v * w) <= zone, result lo + high64(v * w).
//   w = 3: lz = 62, zone = 0xBFFFFFFFFFFFFFFF. Seed 0, v = 0xbb2a3fb2cd2c6f7f:
//   v * 3 = 0x2'317EBF1867854E7D: low <= zone, result lo + 2.
//   w = 0xC000000000000001: lz = 0, zone = 0xC000000000000000.
//   v1 = 0xbb2a3fb2cd2c6f7f: low64(v1 * w) = v1 + ((3 * v1 mod 4) << 62) = v1 + 2^62
//        = 0xFB2A3FB2CD2C6F7F > zone: rejected.
//   v2 = 0xc6017c948e27697b: low64 = v2 + 2^62 mod 2^64 = 0x06017C948E27697B <= zone: accepted,
//        high64(v2 * w) = 0x94811D6F6A9D8F1D, so the result is lo + 0x94811D6F6A9D8F1D.
TEST(StdRng, GenRangeRejectionRule) {
    StdRng g = StdRng::seed_from_u64(0);
    EXPECT_EQ(g.gen_range(100, 103), 102u);

    StdRng h = StdRng::seed_from_u64(0);
    EXPECT_EQ(h.gen_range(10, 10 + 0xC000000000000001ull), 10 + 0x94811D6F6A9D8F1Dull);
    // Two u64 draws were used: the next one is the third u64 of the stream.
    EXPECT_EQ(h.next_u64(), 0x069dc102cf310a16ull);
}

TEST(StdRng, GenRangeInclusiveMatchesHalfOpenAndCoversFullRange) {
    StdRng a = StdRng::seed_from_u64(77);
    StdRng b = StdRng::seed_from_u64(77);
    for (uint64_t p : {0ull, 1ull, 2ull, 9ull, 1000ull, 0xFFFFFFFFull, 0x7FFFFFFFFFFFFFFFull}) {
        EXPECT_EQ(a.gen_range_inclusive(0, p), b.gen_range(0, p + 1)) << p;
    }
    // 0..=u64::MAX has no rejection: one raw u64.
    StdRng c = StdRng::seed_from_u64(0);
    EXPECT_EQ(c.gen_range_inclusive(0, UINT64_MAX), 0xbb2a3fb2cd2c6f7full);
    // A one-value range still draws: w = 1, zone = (1 << 63) - 1, so every v
    // at or above 2^63 is rejected. Seed 0: 0xbb2a3fb2cd2c6f7f and
    // 0xc6017c948e27697b are rejected, 0x069dc102cf310a16 is accepted; the
    // next u64 is the fourth of the stream.
    StdRng d = StdRng::seed_from_u64(0);
    EXPECT_EQ(d.gen_range_inclusive(5, 5), 5u);
    EXPECT_EQ(d.next_u64(), 0x958b761dabe5f6d0ull);
}

TEST(StdRng, EmptyRangesAreAssertions) {
    StdRng g = StdRng::seed_from_u64(0);
    try {
        g.gen_range(5, 5);
        FAIL() << "no assertion";
    } catch (const tavren::AssertionFailure& e) {
        EXPECT_EQ(e.message(), "cannot sample empty range");
    }
    EXPECT_THROW(g.gen_range_inclusive(6, 5), tavren::AssertionFailure);
    EXPECT_THROW(g.gen_range_u32(3, 3), tavren::AssertionFailure);
}

// f32: (u32 >> 8) * 2^-24. Seed 0, first word 0xcd2c6f7f >> 8 = 0xcd2c6f = 13446255.
TEST(StdRng, F32Draws) {
    StdRng g = StdRng::seed_from_u64(0);
    EXPECT_EQ(g.gen_f32(), 13446255.0f / 16777216.0f);
    // 0xbb2a3fb2 >> 8 = 0xbb2a3f = 12266047.
    EXPECT_EQ(g.gen_f32(), 12266047.0f / 16777216.0f);
    // Bounds: the largest word gives 1 - 2^-24, never 1.
    for (int i = 0; i < 10000; ++i) {
        const float f = g.gen_f32();
        ASSERT_GE(f, 0.0f);
        ASSERT_LT(f, 1.0f);
    }
}

// Shuffles swap from the back with 32-bit draws. Seed 1, five items:
//   i = 4: w = 5, lz = 29, zone = (5 << 29) - 1 = 0x9FFFFFFF; v = 0xd3301861,
//          v * 5 = 0x4'1FF079E5 -> low 0x1FF079E5 <= zone, j = 4.
//   i = 3: w = 4, zone = (4 << 29) - 1 = 0x7FFFFFFF; v = 0xf9681a64: low32(v * 4) = 0xE5A06990 > zone,
//          rejected; v = 0xcc0d694a: low32(v * 4) = 0x3035A528, j = high = 3.
//   i = 2: w = 3, zone = 0xBFFFFFFF; v = 0xb0f4d125: v * 3 = 0x2'12DE736F, j = 2.
//   i = 1: w = 2, zone = 0x7FFFFFFF; v = 0x3248c9da: v * 2 = 0x0'649193B4, j = 0: swap 1 and 0.
TEST(StdRng, ShuffleRule) {
    StdRng g = StdRng::seed_from_u64(1);
    std::vector<int> items{0, 1, 2, 3, 4};
    g.shuffle(std::span<int>(items));
    EXPECT_EQ(items, (std::vector<int>{1, 0, 2, 3, 4}));

    StdRng h = StdRng::seed_from_u64(7);
    std::vector<int> more{0, 1, 2, 3, 4};
    h.shuffle(std::span<int>(more));
    EXPECT_EQ(more, (std::vector<int>{1, 4, 3, 0, 2}));
}

TEST(StdRng, SameSeedSameStreamAndIndependentCopies) {
    StdRng a = StdRng::seed_from_u64(1234);
    StdRng b = StdRng::seed_from_u64(1234);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(a.next_u64(), b.next_u64());
    StdRng c = a;
    EXPECT_EQ(c.next_u32(), a.next_u32());
    EXPECT_NE(StdRng::seed_from_u64(1).next_u64(), StdRng::seed_from_u64(2).next_u64());
}
