// RaBitQ rotation and quantizer: the SplitMix64 stream, a frozen rotation,
// the SIMD and scalar kernels, the encoder's edge cases and an estimator that
// uses only the stored codes and factors.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "distance.hpp"
#include "error.hpp"
#include "guards.hpp"
#include "rabitq.hpp"
#include "rabitq_avx2.hpp"

namespace rq = tavren::rabitq;
using rq::RaBitQuantizer;
using rq::RQEncodeScratch;
using rq::RQRotation;
using rq::RQVectorFactors;
using tavren::testing::RestoreDetection;

namespace {

// Runs `body` once on the AVX2 path (when the processor has it) and once on
// the scalar path.
template <class Body>
void on_both_paths(Body&& body) {
    RestoreDetection restore;
    for (bool scalar : {false, true}) {
        SCOPED_TRACE(scalar ? "scalar" : "avx2");
        tavren::distance::force_scalar_for_testing(scalar);
        body();
    }
}

std::vector<float> random_vector(std::mt19937& g, size_t n, float scale = 1.0f) {
    std::normal_distribution<float> normal(0.0f, scale);
    std::vector<float> v(n);
    for (float& x : v) x = normal(g);
    return v;
}

double norm(const std::vector<float>& v) {
    double s = 0;
    for (float x : v) s += double(x) * double(x);
    return std::sqrt(s);
}

std::vector<uint32_t> bit_patterns(const std::vector<float>& v) {
    std::vector<uint32_t> out;
    for (float x : v) out.push_back(std::bit_cast<uint32_t>(x));
    return out;
}

// The rotation of d = 5, the default seed and 4 rounds, as first computed by
// this implementation; any change breaks every file written before it.
const std::vector<std::vector<uint8_t>> kGoldenSigns = {
    {{
        0xDE, 0x54, 0xDF, 0xF1, 0xD1, 0xD6, 0xF4, 0x9E,
    }},
    {{
        0x87, 0x23, 0x64, 0x40, 0x0B, 0x7D, 0x3D, 0x88,
    }},
    {{
        0xD3, 0xF6, 0x35, 0x57, 0x4D, 0xC4, 0x4A, 0xB0,
    }},
    {{
        0xCA, 0x08, 0x0D, 0x3F, 0x49, 0x7E, 0xEC, 0xD7,
    }}
};
const std::vector<std::vector<size_t>> kGoldenPermutations = {
    {{
        38, 58, 41, 31, 39, 18, 12, 2, 62, 0, 54, 53, 23, 42, 25, 7, 45, 3, 49, 60, 56, 34, 8, 32, 14, 16,
        44, 22, 55, 57, 52, 21, 5, 1, 40, 50, 24, 59, 13, 19, 61, 33, 48, 4, 6, 9, 36, 37, 15, 47, 51, 30,
        28, 20, 46, 26, 63, 43, 10, 27, 11, 29, 35, 17,
    }},
    {{
        42, 24, 38, 15, 17, 28, 58, 31, 32, 18, 63, 8, 44, 62, 50, 29, 51, 2, 4, 30, 41, 57, 6, 26, 20, 14,
        10, 0, 35, 47, 5, 23, 9, 46, 48, 61, 36, 59, 37, 40, 54, 25, 39, 16, 13, 55, 27, 56, 60, 33, 1, 49,
        43, 21, 45, 19, 11, 52, 34, 7, 3, 12, 53, 22,
    }},
    {{
        53, 10, 40, 32, 28, 1, 38, 18, 59, 26, 30, 19, 17, 58, 21, 50, 62, 25, 41, 22, 42, 44, 23, 6, 9, 15,
        7, 33, 27, 11, 35, 0, 43, 45, 24, 61, 13, 52, 12, 8, 47, 5, 34, 46, 4, 39, 37, 16, 3, 20, 48, 31, 56,
        36, 29, 49, 54, 57, 2, 51, 63, 55, 60, 14,
    }},
    {{
        19, 13, 23, 51, 14, 17, 46, 47, 41, 52, 6, 38, 45, 27, 28, 43, 50, 1, 62, 44, 37, 15, 60, 4, 26, 61,
        34, 59, 16, 12, 33, 11, 10, 24, 9, 39, 54, 25, 40, 20, 0, 3, 29, 5, 36, 57, 55, 21, 32, 7, 49, 22,
        35, 53, 56, 18, 42, 30, 2, 31, 63, 48, 8, 58,
    }}
};
// rotate({1, -2, 0.5, 3.25, -0.125}) as f32 bit patterns.
const std::vector<uint32_t> kGoldenRotated = {
    0x3F476000, 0xBE780000, 0xBE8F4000, 0x3F6E0000, 0x3D3A0000, 0xBF8DB000, 0xBEB00000, 0xBEE40000,
    0x3CD40000, 0xBFA61000, 0xBED88000, 0x3CB00000, 0x3EBCC000, 0xBEAA4000, 0x3EB50000, 0xBDA60000,
    0x3ED78000, 0x3E2F8000, 0xBDB50000, 0xBEAD0000, 0xBE070000, 0x3E9B4000, 0xBE0B8000, 0xBE778000,
    0x3E018000, 0x3DF90000, 0xBD880000, 0x3EE60000, 0xBF35C000, 0x3ED78000, 0xBE338000, 0xBF040000,
    0xBE478000, 0xBD660000, 0x3F6E2000, 0x3E7C8000, 0xBF016000, 0xBF386000, 0xBD660000, 0xBEBE8000,
    0x3F356000, 0xBE8CC000, 0xBF16C000, 0x3F95B000, 0xBC8C0000, 0xBECCC000, 0xBF1E2000, 0xBE4C0000,
    0x3E348000, 0x3EAD0000, 0xBE308000, 0xBE6D0000, 0x3E920000, 0xBF600000, 0xBEE80000, 0xBD540000,
    0x3ED08000, 0x3ED98000, 0xBF714000, 0xBEF20000, 0x3E8B8000, 0x3F722000, 0x3E8F8000, 0xBECD8000,
};

}  // namespace

TEST(SplitMix64, ReferenceOutputs) {
    rq::SplitMix64 zero(0);
    EXPECT_EQ(zero.next(), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(zero.next(), 0x6E789E6AA1B965F4ULL);
    EXPECT_EQ(zero.next(), 0x06C45D188009454FULL);
    rq::SplitMix64 g(1234567);
    for (uint64_t want : {6457827717110365317ULL, 3203168211198807973ULL, 9817491932198370423ULL,
                          4593380528125082431ULL, 16408922859458223821ULL}) {
        EXPECT_EQ(g.next(), want);
    }
}

TEST(RQRotation, PaddedDimension) {
    const std::pair<size_t, size_t> cases[] = {{0, 64}, {1, 64}, {63, 64}, {64, 64}, {65, 128}, {100, 128},
                                               {128, 128}, {784, 832}};
    for (const auto& [d, want] : cases) EXPECT_EQ(rq::padded_dimension(d), want) << d;
}

TEST(RQRotation, FrozenGoldenRotation) {
    const RQRotation rot(5, rq::kDefaultSeed, 4);
    EXPECT_EQ(rot.dimension(), 5u);
    EXPECT_EQ(rot.padded_dimension(), 64u);
    EXPECT_EQ(rot.rounds(), 4u);
    EXPECT_EQ(rot.signs(), kGoldenSigns);
    EXPECT_EQ(rot.permutations(), kGoldenPermutations);
    on_both_paths([&] {
        std::vector<float> out(64, 9.0f), scratch(64, 7.0f);
        rot.rotate(std::vector<float>{1.0f, -2.0f, 0.5f, 3.25f, -0.125f}, out, scratch);
        EXPECT_EQ(bit_patterns(out), kGoldenRotated);
    });
}

TEST(RQRotation, PreservesNormsAndIsDeterministic) {
    std::mt19937 g(11);
    for (size_t d : {size_t{1}, size_t{64}, size_t{65}, size_t{100}, size_t{784}}) {
        SCOPED_TRACE(d);
        const RQRotation a(d, rq::kDefaultSeed, 4), b(d, rq::kDefaultSeed, 4);
        EXPECT_EQ(a.signs(), b.signs());
        EXPECT_EQ(a.permutations(), b.permutations());
        for (const auto& perm : a.permutations()) {
            std::vector<bool> seen(perm.size(), false);
            for (size_t p : perm) {
                ASSERT_LT(p, perm.size());
                EXPECT_FALSE(seen[p]);
                seen[p] = true;
            }
        }
        const std::vector<float> x = random_vector(g, d);
        const size_t padded = rq::padded_dimension(d);
        std::vector<float> ra(padded), rb(padded), scratch(padded);
        a.rotate(x, ra, scratch);
        b.rotate(x, rb, scratch);
        EXPECT_EQ(bit_patterns(ra), bit_patterns(rb));
        EXPECT_NEAR(norm(ra), norm(x), 1e-5 * norm(x));
    }
}

TEST(RQRotation, DimensionEdges) {
    // d = 0: 64 values, the empty input rotates to 64 zeros.
    const RQRotation empty(0, rq::kDefaultSeed, 4);
    EXPECT_EQ(empty.padded_dimension(), 64u);
    std::vector<float> out(64, 5.0f), scratch(64);
    empty.rotate(std::span<const float>(), out, scratch);
    for (float v : out) EXPECT_EQ(v, 0.0f);

    // d = 64 stays in one block; d = 65 mixes two blocks and permutes across them.
    EXPECT_EQ(RQRotation(64, rq::kDefaultSeed, 4).padded_dimension(), 64u);
    const RQRotation two(65, rq::kDefaultSeed, 1);
    ASSERT_EQ(two.padded_dimension(), 128u);
    std::vector<float> e0(65, 0.0f), rotated(128), scratch2(128);
    e0[0] = 1.0f;
    two.rotate(e0, rotated, scratch2);
    size_t nonzero = 0;
    for (size_t l = 0; l < 128; ++l) {
        if (rotated[l] != 0.0f) {
            ++nonzero;
            EXPECT_EQ(std::fabs(rotated[l]), 0.125f);
        }
    }
    EXPECT_EQ(nonzero, 64u);
    // One round: the 64 values of the first block go where the permutation sends them.
    for (size_t l = 0; l < 64; ++l) EXPECT_EQ(std::fabs(rotated[two.permutations()[0][l]]), 0.125f);
    bool crosses = false;
    for (size_t l = 0; l < 64; ++l) crosses = crosses || two.permutations()[0][l] >= 64;
    EXPECT_TRUE(crosses);

    // The dimension is mixed into the seed.
    const RQRotation d5(5, rq::kDefaultSeed, 4), d6(6, rq::kDefaultSeed, 4);
    EXPECT_NE(d5.signs(), d6.signs());
    EXPECT_NE(d5.permutations(), d6.permutations());
}

TEST(RQRotation, ZeroRoundsIsIdentityAndMisuseAsserts) {
    const RQRotation none(10, 42, 0);
    EXPECT_TRUE(none.signs().empty());
    EXPECT_TRUE(none.permutations().empty());
    std::vector<float> x(64), scratch(64);
    for (size_t i = 0; i < 64; ++i) x[i] = float(i) - 3.5f;
    const std::vector<float> before = x;
    none.apply_in_place(x, scratch);
    EXPECT_EQ(x, before);

    const RQRotation rot(10, 42, 4);
    std::vector<float> short_scratch(63);
    EXPECT_THROW(rot.apply_in_place(x, short_scratch), tavren::AssertionFailure);
    std::vector<float> long_x(128), long_scratch(128);
    EXPECT_THROW(rot.apply_in_place(long_x, long_scratch), tavren::AssertionFailure);
    std::vector<float> wrong_input(9);
    EXPECT_THROW(rot.rotate(wrong_input, x, scratch), tavren::AssertionFailure);
}

TEST(RaBitQKernels, SimdMatchesScalarBitForBit) {
    if (!tavren::distance::avx2_available()) GTEST_SKIP() << "no AVX2";
    std::mt19937 g(3);
    for (size_t blocks : {size_t{1}, size_t{2}, size_t{13}}) {
        const size_t padded = 64 * blocks;
        const RQRotation rot(padded - 3, 99, 4);
        const std::vector<float> x = random_vector(g, padded - 3, 10.0f);
        std::vector<float> simd(padded), scalar(padded), scratch(padded);
        RestoreDetection restore;
        tavren::distance::force_scalar_for_testing(false);
        rot.rotate(x, simd, scratch);
        tavren::distance::force_scalar_for_testing(true);
        rot.rotate(x, scalar, scratch);
        EXPECT_EQ(bit_patterns(simd), bit_patterns(scalar));
    }
    // Quantization: halves, NaN, infinities and values past the clamp, in
    // the SIMD body and the scalar tail.
    for (size_t bits : {1u, 3u, 8u}) {
        const float big = float((1u << bits) - 1), t = 0.5f * big;
        std::vector<float> r = random_vector(g, 203, 3.0f);
        const float specials[] = {-0.5f, 0.5f, -1.0f, 1.0f, 2.0f, -2.0f, std::nanf(""), INFINITY, -INFINITY,
                                  1e30f, -1e30f, 0.0f, -0.0f, 0.49999997f, -0.49999997f};
        for (size_t i = 0; i < std::size(specials); ++i) {
            r[i * 13] = specials[i];
            r[200 - i % 3] = specials[i];
        }
        std::vector<uint8_t> simd_codes(r.size()), scalar_codes(r.size());
        std::vector<float> simd_centred(r.size()), scalar_centred(r.size());
        for (float step : {1.0f, 0.5f, 0.37f}) {
            rq::detail::quantize_avx2(r.data(), r.size(), step, t, big, simd_codes.data(), simd_centred.data());
            rq::detail::quantize_scalar(r, step, t, big, scalar_codes.data(), scalar_centred.data());
            EXPECT_EQ(simd_codes, scalar_codes);
            EXPECT_EQ(bit_patterns(simd_centred), bit_patterns(scalar_centred));
        }
    }
    // The NaN-ignoring maximum.
    std::vector<float> v = random_vector(g, 37);
    v[3] = std::nanf("");
    v[20] = -40.0f;
    v[36] = std::nanf("");
    EXPECT_EQ(rq::detail::max_abs_avx2(v.data(), v.size()), 40.0f);
    EXPECT_EQ(rq::detail::max_abs_scalar(v), 40.0f);
    v[20] = 0.0f;
    v[35] = -41.0f;  // in the scalar tail of the SIMD kernel
    EXPECT_EQ(rq::detail::max_abs_avx2(v.data(), v.size()), 41.0f);
    EXPECT_EQ(rq::detail::max_abs_scalar(v), 41.0f);
}

// ---- encoder ------------------------------------------------------------------

namespace {

struct Encoded {
    std::vector<uint8_t> bytes;
    RQVectorFactors factors;
    std::vector<uint8_t> codes;
    std::vector<float> centred;
    std::vector<float> sign;
};

Encoded encode(size_t bits, const std::vector<float>& r, const std::vector<float>& c, uint32_t metric) {
    const RaBitQuantizer q = RaBitQuantizer::create(r.size(), bits);
    EXPECT_EQ(q.padded_dimension, r.size());
    RQEncodeScratch scratch(q.padded_dimension);
    Encoded e;
    e.bytes.assign(q.code_bytes(), 0xAB);
    e.factors = q.encode_with_scratch(r, c, metric, e.bytes, scratch);
    e.codes = scratch.codes;
    e.centred = scratch.centred;
    e.sign = scratch.sign;
    return e;
}

// The codes of the encoder's definition, stopping after `max_passes` passes;
// `passes` receives how many ran.
std::vector<uint8_t> reference_codes(const std::vector<float>& r, size_t bits, int max_passes, int* passes) {
    const float big = float((1u << bits) - 1), t = 0.5f * big;
    float m = 0.0f;
    for (float v : r) m = std::fmax(m, std::fabs(v));
    std::vector<uint8_t> codes(r.size(), 0);
    *passes = 0;
    if (m <= rq::kEpsilon) return codes;
    float rx = 0, xx = 0;
    auto pass = [&](float step) {
        rx = 0;
        xx = 0;
        for (size_t k = 0; k < r.size(); ++k) {
            float v = std::round(r[k] / step + t);
            v = std::fmin(std::fmax(v, 0.0f), big);
            codes[k] = uint8_t(v);
            const float x = float(codes[k]) - t;
            rx += r[k] * x;
            xx += x * x;
        }
        ++*passes;
    };
    pass((m + m) / big);
    while (*passes < 3 && *passes < max_passes && rx > rq::kEpsilon && xx > rq::kEpsilon) pass(rx / xx);
    return codes;
}

// The code of coordinate k read back from the bit planes.
unsigned code_from_planes(const std::vector<uint8_t>& bytes, size_t bits, size_t plane, size_t k) {
    unsigned code = 0;
    for (size_t p = 0; p < bits; ++p) code = code << 1 | ((bytes[p * plane + k / 8] >> (k % 8)) & 1u);
    return code;
}

}  // namespace

// The exact byte-table block sums: the AVX2 kernel (eight rows per gather,
// a scalar tail) and the portable loop give the same bits for every row
// count of a block, table widths up to D' = 2048, weights of every plane,
// and tables holding NaN, infinities, signed zeros and values of mixed
// magnitude; both equal a row-by-row sum in byte-position order.
TEST(RaBitQKernels, ByteTableBlockSumsMatchBitForBit) {
    if (!tavren::distance::avx2_enabled()) GTEST_SKIP() << "no AVX2";
    std::mt19937 gen(17);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(), 1e30f, -1e-30f,
                              std::numeric_limits<float>::quiet_NaN()};
    for (size_t plane : {1, 2, 8, 16, 104, 256}) {
        std::vector<float> lut(256 * plane);
        for (size_t i = 0; i < lut.size(); ++i) lut[i] = u(gen) * (i % 7 == 0 ? 1000.0f : 1.0f);
        // Rare specials, in the last table only for the wide case so most
        // rows stay finite.
        if (plane <= 16) {
            for (size_t i = 0; i < 6; ++i) lut[256 * (plane - 1) + 250 + i] = specials[i];
        }
        for (size_t n = 1; n <= 32; ++n) {
            std::vector<uint8_t> block(plane * n);
            for (uint8_t& b : block) b = static_cast<uint8_t>(gen());
            std::vector<float> reference(n);
            for (size_t v = 0; v < n; ++v) {
                float sum = 0.0f;
                for (size_t c = 0; c < plane; ++c) sum += lut[256 * c + block[c * n + v]];
                reference[v] = sum;
            }
            for (float w : {1.0f, 4.0f, 64.0f}) {
                std::vector<float> simd(n), scalar(n);
                {
                    RestoreDetection restore;
                    tavren::distance::force_scalar_for_testing(false);
                    rq::byte_table_block_sums(lut.data(), block.data(), plane, n, simd.data());
                    rq::byte_table_block_add(lut.data(), block.data(), plane, n, w, simd.data());
                    tavren::distance::force_scalar_for_testing(true);
                    rq::byte_table_block_sums(lut.data(), block.data(), plane, n, scalar.data());
                    rq::byte_table_block_add(lut.data(), block.data(), plane, n, w, scalar.data());
                }
                for (size_t v = 0; v < n; ++v) {
                    float want = reference[v];
                    for (size_t c = 0; c < plane; ++c) want += lut[256 * c + block[c * n + v]] * w;
                    EXPECT_EQ(std::bit_cast<uint32_t>(simd[v]), std::bit_cast<uint32_t>(scalar[v]))
                        << "plane " << plane << " n " << n << " row " << v;
                    EXPECT_EQ(std::bit_cast<uint32_t>(scalar[v]), std::bit_cast<uint32_t>(want))
                        << "plane " << plane << " n " << n << " row " << v;
                }
            }
        }
    }
}

TEST(RaBitQuantizer, ZeroResidualAndEpsilon) {
    const std::vector<float> zero(64, 0.0f), c(64, 0.25f);
    for (size_t bits : {1u, 4u, 8u}) {
        const Encoded e = encode(bits, zero, c, 0);
        const float t = 0.5f * float((1u << bits) - 1);
        for (size_t k = 0; k < 64; ++k) {
            EXPECT_EQ(e.codes[k], 0);
            EXPECT_EQ(e.centred[k], -t);
            EXPECT_EQ(e.sign[k], -0.5f);
        }
        for (uint8_t b : e.bytes) EXPECT_EQ(b, 0);
        EXPECT_EQ(e.factors, RQVectorFactors{});
    }
    // Largest magnitude exactly epsilon: all codes 0, degenerate factors of its own rr.
    std::vector<float> tiny(64, 0.0f);
    tiny[5] = rq::kEpsilon;
    const Encoded e = encode(4, tiny, c, 0);
    for (uint8_t code : e.codes) EXPECT_EQ(code, 0);
    const float rr = rq::kEpsilon * rq::kEpsilon;
    EXPECT_EQ(e.factors, (RQVectorFactors{rr, 0.0f, 2.0f * std::sqrt(rr), rr, 0.0f, 2.0f * std::sqrt(rr)}));
}

TEST(RaBitQuantizer, OneBitZeroCoordinateAndPlanes) {
    std::vector<float> r(64, 0.0f);
    r[0] = 1.0f;
    r[1] = -1.0f;
    r[9] = -0.25f;
    const Encoded e = encode(1, r, std::vector<float>(64, 0.0f), 0);
    for (size_t k = 0; k < 64; ++k) {
        const bool negative = k == 1 || k == 9;
        EXPECT_EQ(e.codes[k], negative ? 0 : 1) << k;  // 0 / step + 0.5 rounds up to 1
        EXPECT_EQ(e.sign[k], negative ? -0.5f : 0.5f);
    }
    EXPECT_EQ(e.bytes, (std::vector<uint8_t>{0xFD, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(e.factors.ex_add, e.factors.bin_add);
    EXPECT_EQ(e.factors.ex_rescale, e.factors.bin_rescale);
    EXPECT_EQ(e.factors.ex_error, e.factors.bin_error);
}

TEST(RaBitQuantizer, HalvesRoundAwayFromZero) {
    // B = 3 (M = 7, t = 3.5). Coordinate 0 sets the first step to 1, so
    // coordinate 1 lands on -1 + 3.5 = 2.5: away from zero gives 3, and the
    // refits only move it further from the tie; half-to-even would give 2.
    std::vector<float> r(64);
    const float pattern[] = {0.5f, -2.5f, 1.5f, -0.5f, 2.5f, -1.5f, 3.5f, -3.5f};
    for (size_t k = 0; k < 64; ++k) r[k] = pattern[k % 8];
    r[0] = 3.5f;
    r[1] = -1.0f;
    const Encoded e = encode(3, r, std::vector<float>(64, 0.0f), 0);
    EXPECT_EQ(e.codes[1], 3);
    EXPECT_EQ(e.centred[1], -0.5f);
    EXPECT_EQ(e.codes[0], 7);
    EXPECT_EQ(code_from_planes(e.bytes, 3, 8, 1), 3u);
}

TEST(RaBitQuantizer, CodesFollowTheRefitPasses) {
    on_both_paths([] {
        std::mt19937 g(21);
        bool refit_changed_codes = false, third_pass_changed_codes = false;
        for (size_t bits = 1; bits <= 8; ++bits) {
            for (int trial = 0; trial < 40; ++trial) {
                const std::vector<float> r = random_vector(g, 128);
                const Encoded e = encode(bits, r, std::vector<float>(128, 0.0f), 0);
                int passes = 0;
                EXPECT_EQ(e.codes, reference_codes(r, bits, 3, &passes));
                EXPECT_EQ(passes, 3);
                int p1 = 0, p2 = 0;
                refit_changed_codes |= e.codes != reference_codes(r, bits, 1, &p1);
                third_pass_changed_codes |= e.codes != reference_codes(r, bits, 2, &p2);
                for (size_t k = 0; k < 128; ++k) {
                    ASSERT_EQ(code_from_planes(e.bytes, bits, 16, k), e.codes[k]);
                    ASSERT_EQ(e.centred[k], float(e.codes[k]) - 0.5f * float((1u << bits) - 1));
                }
            }
        }
        EXPECT_TRUE(refit_changed_codes);
        EXPECT_TRUE(third_pass_changed_codes);

        // One pass only: r . x = 1e-7 after the first pass, at most epsilon.
        std::vector<float> tiny(64, 0.0f);
        tiny[0] = 2e-7f;
        int passes = 0;
        const Encoded e = encode(1, tiny, std::vector<float>(64, 0.0f), 0);
        EXPECT_EQ(e.codes, reference_codes(tiny, 1, 3, &passes));
        EXPECT_EQ(passes, 1);
    });
}

TEST(RaBitQuantizer, MetricsShareCodesNotFactors) {
    std::mt19937 g(8);
    const std::vector<float> r = random_vector(g, 64), c = random_vector(g, 64);
    const Encoded l2 = encode(4, r, c, 0), ip = encode(4, r, c, 1), cosine = encode(4, r, c, 2);
    EXPECT_EQ(l2.bytes, ip.bytes);
    EXPECT_EQ(l2.bytes, cosine.bytes);
    EXPECT_NE(l2.factors, ip.factors);
    EXPECT_NE(ip.factors, cosine.factors);
    // B = 8 spans the odd halves -127.5 .. 127.5.
    const Encoded wide = encode(8, r, c, 0);
    for (float x : wide.centred) {
        EXPECT_GE(x, -127.5f);
        EXPECT_LE(x, 127.5f);
        EXPECT_EQ(x - std::floor(x), 0.5f);
    }
    EXPECT_THROW(RaBitQuantizer::create(64, 0), tavren::AssertionFailure);
    EXPECT_THROW(RaBitQuantizer::create(64, 9), tavren::AssertionFailure);
}

TEST(RaBitQuantizer, DegenerateFactorsPerMetric) {
    // rr <= epsilon: no code term.
    std::vector<float> r(64, 0.0f), c(64, 0.0f), x(64, 0.5f);
    r[0] = 1e-4f;
    c[0] = 2.0f;
    const float rr = 1e-4f * 1e-4f;
    const rq::FactorTriple l2 = rq::compute_factors(r, c, x, 0);
    EXPECT_EQ(l2.add, rr);
    EXPECT_EQ(l2.rescale, 0.0f);
    EXPECT_EQ(l2.error, 2.0f * std::sqrt(rr));
    const rq::FactorTriple ip = rq::compute_factors(r, c, x, 1);
    EXPECT_EQ(ip.add, -(2.0f * 1e-4f));
    EXPECT_EQ(ip.error, std::sqrt(rr));
    const rq::FactorTriple cosine = rq::compute_factors(r, c, x, 2);
    EXPECT_EQ(cosine.add, 0.5f * rr);
    EXPECT_EQ(cosine.error, std::sqrt(rr));
}

// add + rescale * <x, q'> + T estimates the metric's distance within
// error * |q - c| (plus rounding), for both reconstructions.
TEST(RaBitQuantizer, EstimatorFromStoredCodesStaysWithinItsBound) {
    std::mt19937 g(5);
    const size_t d = 100;
    const RQRotation rot(d, rq::kDefaultSeed, 4);
    const size_t padded = rot.padded_dimension();
    std::vector<float> scratch(padded);
    auto rotated = [&](const std::vector<float>& v) {
        std::vector<float> out(padded);
        rot.rotate(v, out, scratch);
        return out;
    };
    auto unit = [](std::vector<float> v) {
        const double n = norm(v);
        for (float& x : v) x = float(x / n);
        return v;
    };
    for (uint32_t metric : {0u, 1u, 2u}) {
        for (size_t bits = 1; bits <= 8; ++bits) {
            SCOPED_TRACE(testing::Message() << "metric " << metric << " bits " << bits);
            const RaBitQuantizer q = RaBitQuantizer::create(d, bits);
            RQEncodeScratch es(padded);
            std::vector<uint8_t> bytes(q.code_bytes());
            for (int trial = 0; trial < 20; ++trial) {
                std::vector<float> o = random_vector(g, d), qv = random_vector(g, d), c = random_vector(g, d, 0.5f);
                if (metric == 2) {
                    o = unit(o);
                    qv = unit(qv);
                }
                std::vector<float> r(d);
                for (size_t k = 0; k < d; ++k) r[k] = o[k] - c[k];
                const std::vector<float> rr = rotated(r), cr = rotated(c), qr = rotated(qv);
                const RQVectorFactors f = q.encode_with_scratch(rr, cr, metric, bytes, es);

                double dot_oq = 0, l2_oq = 0, dot_qc = 0, l2_qc = 0;
                for (size_t k = 0; k < d; ++k) {
                    dot_oq += double(o[k]) * qv[k];
                    l2_oq += double(o[k] - qv[k]) * (o[k] - qv[k]);
                    dot_qc += double(qv[k]) * c[k];
                    l2_qc += double(qv[k] - c[k]) * (qv[k] - c[k]);
                }
                const double truth = metric == 0 ? l2_oq : metric == 1 ? -dot_oq : 1.0 - dot_oq;
                const double term = metric == 0 ? l2_qc : metric == 1 ? -dot_qc : 0.5 * l2_qc;
                // The reconstructions from the stored bit planes only.
                double ex_dot = 0, bin_dot = 0;
                const double t = 0.5 * double((1u << bits) - 1);
                for (size_t k = 0; k < padded; ++k) {
                    const unsigned code = code_from_planes(bytes, bits, q.plane_size, k);
                    ex_dot += (double(code) - t) * qr[k];
                    bin_dot += ((code >> (bits - 1)) & 1u ? 0.5 : -0.5) * qr[k];
                }
                const double bin_est = f.bin_add + f.bin_rescale * bin_dot + term;
                const double ex_est = f.ex_add + f.ex_rescale * ex_dot + term;
                const double slack = 1e-3 * (1.0 + std::fabs(truth));
                EXPECT_LE(std::fabs(bin_est - truth), f.bin_error * std::sqrt(l2_qc) + slack);
                EXPECT_LE(std::fabs(ex_est - truth), f.ex_error * std::sqrt(l2_qc) + slack);
                if (bits >= 4) {
                    EXPECT_LT(f.ex_error, f.bin_error);
                }
            }
        }
    }
}
