// Distance kernels: every path against an independent oracle, bit for bit.
//
// The scalar path must equal a plain left-to-right sum; the AVX2 path must
// equal a scalar emulation of its 8-lane order. Each test runs once per path
// available on this machine (the scalar one is always forced once).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blas.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"

namespace {

using tavren::AssertionFailure;
namespace td = tavren::distance;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

#define EXPECT_BITS_EQ(expected, actual) \
    EXPECT_EQ(bits(expected), bits(actual)) << "expected " << (expected) << " got " << (actual)

// Runs `body(avx2)` with the scalar kernels forced, then with the AVX2 kernels
// when the processor has them.
void for_each_path(const std::function<void(bool)>& body) {
    td::force_scalar_for_testing(true);
    {
        SCOPED_TRACE("scalar path");
        body(false);
    }
    td::force_scalar_for_testing(false);
    if (td::avx2_available()) {
        SCOPED_TRACE("avx2 path");
        body(true);
    }
}

using tavren::testing::RestoreDetection;

using tavren::testing::assertion_text;

// ---- oracles ----------------------------------------------------------------

using Term = std::function<float(size_t)>;

float left_to_right(size_t n, const Term& term) {
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) s += term(i);
    return s;
}

float reduce8(const float* l) { return ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7])); }

float eight_lane(size_t n, const Term& term) {
    float lane[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (size_t j = 0; j < 8; ++j) lane[j] += term(i + j);
    float s = reduce8(lane);
    for (; i < n; ++i) s += term(i);
    return s;
}

// What the path under test must produce for a sum of n terms.
float expected_sum(bool avx2, size_t n, const Term& term) {
    return (avx2 && n >= 8) ? eight_lane(n, term) : left_to_right(n, term);
}

Term l2_term(const std::vector<float>& a, const std::vector<float>& b) {
    return [&a, &b](size_t i) {
        float d = a[i] - b[i];
        return d * d;
    };
}
Term ip_term(const std::vector<float>& a, const std::vector<float>& b) {
    return [&a, &b](size_t i) { return a[i] * b[i]; };
}
Term norm_term(const std::vector<float>& v) {
    return [&v](size_t i) { return v[i] * v[i]; };
}

bool exceeds_emulated(bool avx2, const std::vector<float>& a, const std::vector<float>& b, float scale,
                      float threshold) {
    if (threshold < 0.0f) return true;
    const size_t n = a.size();
    auto sq = [&](size_t i) {
        float d = a[i] - b[i];
        return d * d;
    };
    float s = 0.0f;
    size_t i = 0;
    if (avx2 && n >= 8) {
        for (; i + 128 <= n; i += 128) {
            float e[8] = {}, f[8] = {}, g[8] = {}, h[8] = {}, l[8];
            for (size_t t = i; t < i + 128; t += 32) {
                for (size_t j = 0; j < 8; ++j) {
                    e[j] += sq(t + j);
                    f[j] += sq(t + 8 + j);
                    g[j] += sq(t + 16 + j);
                    h[j] += sq(t + 24 + j);
                }
            }
            for (size_t j = 0; j < 8; ++j) l[j] = (e[j] + f[j]) + (g[j] + h[j]);
            s += reduce8(l);
            if (scale * s > threshold) return true;
        }
        float acc[8] = {};
        for (; i + 8 <= n; i += 8)
            for (size_t j = 0; j < 8; ++j) acc[j] += sq(i + j);
        s += reduce8(acc);
        if (scale * s > threshold) return true;
    }
    for (; i < n; ++i) {
        s += sq(i);
        if (scale * s > threshold) return true;
    }
    return false;
}

// ---- adversarial inputs -----------------------------------------------------

enum class Kind { Normal, Huge, Tiny, Subnormal, MixedScale, Cancelling };

std::vector<float> make_vector(Kind kind, size_t n, std::mt19937& rng) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> exp(-60, 60);
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
        float x = normal(rng);
        switch (kind) {
            case Kind::Normal: v[i] = x; break;
            case Kind::Huge: v[i] = x * 1e18f; break;  // squares near 1e36: sums overflow sometimes
            case Kind::Tiny: v[i] = x * 1e-20f; break;  // squares underflow to subnormal or zero
            case Kind::Subnormal: v[i] = x * 1e-40f; break;
            case Kind::MixedScale: v[i] = std::ldexp(x, exp(rng)); break;
            case Kind::Cancelling:
                // Large values of both signs among small ones: the order of the
                // additions decides what survives.
                v[i] = (i % 5 == 0) ? ((i / 5) % 2 == 0 ? 1e8f : -1e8f) : x;
                break;
        }
    }
    return v;
}

const Kind kKinds[] = {Kind::Normal, Kind::Huge, Kind::Tiny, Kind::Subnormal, Kind::MixedScale, Kind::Cancelling};

// ---- tests ------------------------------------------------------------------

TEST(Avx2Detection, AgreesWithCompilerProbe) {
    __builtin_cpu_init();
    EXPECT_EQ(td::avx2_available(), static_cast<bool>(__builtin_cpu_supports("avx2")));
    EXPECT_EQ(td::avx2_available(), td::avx2_available());
    RestoreDetection restore;
    td::force_scalar_for_testing(true);
    EXPECT_FALSE(td::avx2_enabled());
    td::force_scalar_for_testing(false);
    EXPECT_EQ(td::avx2_enabled(), td::avx2_available());
}

// Byte loads on AMD (and Hygon) processors, word loads elsewhere; a forced
// choice holds until detection is restored.
TEST(CodeLoadsDetection, AgreesWithCompilerProbe) {
    __builtin_cpu_init();
    namespace cpu = tavren::cpu;
    const bool amd = __builtin_cpu_is("amd") != 0;
    EXPECT_EQ(cpu::code_loads(), amd ? cpu::CodeLoads::Bytes : cpu::CodeLoads::Words);
    RestoreDetection restore;
    cpu::force_code_loads_for_testing(cpu::CodeLoads::Words);
    EXPECT_EQ(cpu::code_loads(), cpu::CodeLoads::Words);
    cpu::force_code_loads_for_testing(cpu::CodeLoads::Bytes);
    EXPECT_EQ(cpu::code_loads(), cpu::CodeLoads::Bytes);
    cpu::force_code_loads_for_testing(cpu::CodeLoads::Detected);
    EXPECT_EQ(cpu::code_loads(), amd ? cpu::CodeLoads::Bytes : cpu::CodeLoads::Words);
}

TEST(Reductions, EveryLengthAndKindMatchesTheOrderOfItsPath) {
    RestoreDetection restore;
    std::mt19937 rng(7);
    for (Kind kind : kKinds) {
        for (size_t n = 0; n <= 300; ++n) {
            auto a = make_vector(kind, n, rng);
            auto b = make_vector(kind, n, rng);
            for_each_path([&](bool avx2) {
                SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(kind) << " n " << n);
                EXPECT_BITS_EQ(expected_sum(avx2, n, l2_term(a, b)), td::fvec_l2sqr(a, b));
                EXPECT_BITS_EQ(expected_sum(avx2, n, ip_term(a, b)), td::fvec_inner_product(a, b));
                EXPECT_BITS_EQ(expected_sum(avx2, n, norm_term(a)), td::fvec_norm_l2sqr(a));
            });
        }
    }
}

TEST(Reductions, LengthsSevenEightNineTakeTheirOwnPaths) {
    RestoreDetection restore;
    // Left to right, 1e8 swallows each 1 that follows it; as one block of
    // eight, the two 1e8 cancel first.
    const std::vector<float> base = {1e8f, 1, 1, 1, -1e8f, 1, 1, 1, 0.5f};
    const std::vector<float> ones(9, 1.0f);
    struct Case {
        size_t n;
        float scalar;
        float avx2;
    };
    const Case cases[] = {
        {7, 2.0f, 2.0f},  // (1e8 + 1 + 1 + 1 - 1e8) + 1 + 1: strictly left to right on both paths
        {8, 3.0f, 6.0f},  // one block: ((1e8 + -1e8) + (1 + 1)) + ((1 + 1) + (1 + 1))
        {9, 3.5f, 6.5f},  // the block sum plus the ninth term
    };
    for (const Case& c : cases) {
        std::vector<float> a(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(c.n));
        std::vector<float> b(ones.begin(), ones.begin() + static_cast<std::ptrdiff_t>(c.n));
        for_each_path([&](bool avx2) {
            SCOPED_TRACE(testing::Message() << "n " << c.n);
            EXPECT_EQ(avx2 ? c.avx2 : c.scalar, td::fvec_inner_product(a, b));
        });
    }
}

TEST(Reductions, EdgeValuesOfMetrics) {
    RestoreDetection restore;
    for_each_path([&](bool) {
        const std::vector<float> empty;
        EXPECT_BITS_EQ(-0.0f, td::fvec_distance(empty, empty, tavren::kMetricInnerProduct));
        EXPECT_BITS_EQ(0.0f, td::fvec_distance(empty, empty, tavren::kMetricL2));
        EXPECT_BITS_EQ(1.0f, td::fvec_distance(empty, empty, tavren::kMetricCosine));
        for (size_t n : {3u, 8u, 19u}) {
            std::vector<float> zero(n, 0.0f), v(n);
            for (size_t i = 0; i < n; ++i) v[i] = 0.25f * static_cast<float>(i + 1);
            EXPECT_BITS_EQ(1.0f, td::fvec_distance(zero, v, tavren::kMetricCosine));
            EXPECT_BITS_EQ(1.0f, td::fvec_distance(v, zero, tavren::kMetricCosine));
            EXPECT_BITS_EQ(1.0f, td::fvec_distance(zero, zero, 9));  // any other code is cosine
            const float s = td::fvec_norm_l2sqr(v);
            EXPECT_BITS_EQ(1.0f - (td::fvec_inner_product(v, v) / (std::sqrt(s) * std::sqrt(s))),
                           td::fvec_distance(v, v, tavren::kMetricCosine));
            // A NaN norm makes the denominator not greater than 0: exactly 1.
            std::vector<float> nan_v = v;
            nan_v[0] = kNaN;
            EXPECT_BITS_EQ(1.0f, td::fvec_distance(nan_v, v, tavren::kMetricCosine));
        }
    });
}

TEST(Reductions, DistanceAndQueryDistanceAgreeForEveryMetric) {
    RestoreDetection restore;
    std::mt19937 rng(11);
    for (size_t n : {0u, 1u, 7u, 8u, 9u, 31u, 128u, 129u}) {
        for (Kind kind : kKinds) {
            auto q = make_vector(kind, n, rng);
            auto r = make_vector(kind, n, rng);
            for_each_path([&](bool avx2) {
                for (uint32_t metric : {0u, 1u, 2u, 5u}) {
                    SCOPED_TRACE(testing::Message() << "n " << n << " metric " << metric);
                    td::QueryDistance qd{q, metric >= 2 ? std::sqrt(td::fvec_norm_l2sqr(q)) : 0.0f, metric};
                    const float got = td::fvec_distance(q, r, metric);
                    EXPECT_BITS_EQ(got, qd.distance_to(r));
                    float expected;
                    if (metric == 0) {
                        expected = expected_sum(avx2, n, l2_term(q, r));
                    } else if (metric == 1) {
                        expected = -expected_sum(avx2, n, ip_term(q, r));
                    } else {
                        float d = std::sqrt(expected_sum(avx2, n, norm_term(q))) *
                                  std::sqrt(expected_sum(avx2, n, norm_term(r)));
                        expected = d > 0.0f ? 1.0f - expected_sum(avx2, n, ip_term(q, r)) / d : 1.0f;
                    }
                    EXPECT_BITS_EQ(expected, got);
                }
            });
        }
    }
}

TEST(Reductions, LengthFaultsAreAssertions) {
    const std::vector<float> a3(3, 1.0f), a4(4, 1.0f), a2(2, 1.0f);
    const std::string l2 = "fvec_l2sqr inputs must have the same length";
    EXPECT_NE(assertion_text([&] { td::fvec_l2sqr(a3, a4); }).find(l2), std::string::npos);
    EXPECT_NE(assertion_text([&] { td::fvec_distance(a3, a4, 0); }).find(l2), std::string::npos);
    td::QueryDistance qd{a3, 0.0f, 0};
    EXPECT_NE(assertion_text([&] { qd.distance_to(a4); }).find(l2), std::string::npos);
    // The equality assertion shows both lengths.
    EXPECT_NE(assertion_text([&] { td::fvec_l2sqr(a3, a4); }).find("left: 3\n right: 4"), std::string::npos);
    // A second vector shorter than the first is an index assertion for the dot product forms.
    EXPECT_THROW(td::fvec_inner_product(a3, a2), AssertionFailure);
    EXPECT_THROW(td::fvec_distance(a3, a2, 1), AssertionFailure);
    EXPECT_THROW(td::fvec_distance(a3, a2, 2), AssertionFailure);
    // A longer second vector is fine for the dot product: only len(a) values count.
    EXPECT_EQ(3.0f, td::fvec_inner_product(a3, a4));
}

TEST(L2sqrFour, EqualsFourSeparateCallsOnBothPaths) {
    RestoreDetection restore;
    std::mt19937 rng(3);
    for (size_t n = 0; n <= 70; ++n) {
        for (Kind kind : kKinds) {
            auto x = make_vector(kind, n, rng);
            std::vector<std::vector<float>> y;
            for (int j = 0; j < 4; ++j) y.push_back(make_vector(kind, n, rng));
            for_each_path([&](bool avx2) {
                auto four = td::fvec_l2sqr_four(x, y[0], y[1], y[2], y[3]);
                for (int j = 0; j < 4; ++j) {
                    EXPECT_BITS_EQ(td::fvec_l2sqr(x, y[j]), four[j]);
                    EXPECT_BITS_EQ(expected_sum(avx2, n, l2_term(x, y[j])), four[j]);
                }
            });
        }
    }
    std::vector<float> x(5), ok(5), bad(4);
    const std::string msg = "fvec_l2sqr_four inputs must have the same length";
    EXPECT_NE(assertion_text([&] { td::fvec_l2sqr_four(x, bad, ok, ok, ok); }).find(msg), std::string::npos);
    EXPECT_NE(assertion_text([&] { td::fvec_l2sqr_four(x, ok, ok, ok, bad); }).find(msg), std::string::npos);
}

// Every query count, row count (pairs of rows and the odd one), length
// (blocks of eight and tails) and metric, with zero, huge and NaN values:
// each distance of a block equals QueryDistance::distance_to bit for bit.
TEST(QueryBlocks, EveryDistanceEqualsTheOnePairDistanceOnBothPaths) {
    RestoreDetection restore;
    std::mt19937 rng(29);
    for (size_t d : {1u, 7u, 8u, 9u, 16u, 31u, 784u}) {
        for (Kind kind : kKinds) {
            std::vector<std::vector<float>> qs;
            std::vector<float> norms;
            for (size_t j = 0; j < td::kQueryBlockMax; ++j) {
                qs.push_back(make_vector(kind, d, rng));
                norms.push_back(std::sqrt(td::fvec_norm_l2sqr(qs.back())));
            }
            const size_t n = 5;
            std::vector<float> rows;
            for (size_t r = 0; r < n; ++r) {
                auto row = make_vector(kind, d, rng);
                if (r == 3) row.assign(d, 0.0f);  // a zero row: cosine 1.0 exactly
                rows.insert(rows.end(), row.begin(), row.end());
            }
            for_each_path([&](bool) {
                for (uint32_t metric : {0u, 1u, 2u}) {
                    for (size_t nq = 1; nq <= td::kQueryBlockMax; ++nq) {
                        for (size_t m : {1u, 2u, 5u}) {
                            SCOPED_TRACE(testing::Message() << "d " << d << " metric " << metric << " nq " << nq
                                                            << " rows " << m);
                            std::vector<const float*> ptr;
                            for (size_t j = 0; j < nq; ++j) ptr.push_back(qs[j].data());
                            std::vector<float> out(m * nq, -7.0f);
                            td::query_block_distances(ptr, std::span<const float>(norms).first(nq), metric,
                                                      rows.data(), m, d, out.data());
                            for (size_t r = 0; r < m; ++r) {
                                for (size_t j = 0; j < nq; ++j) {
                                    const td::QueryDistance qd{qs[j], metric == 2 ? norms[j] : 0.0f, metric};
                                    EXPECT_BITS_EQ(qd.distance_to(std::span<const float>(rows).subspan(r * d, d)),
                                                   out[r * nq + j]);
                                }
                            }
                        }
                    }
                }
            });
        }
    }
    std::vector<float> row(8), norms(5);
    std::vector<const float*> five(5, row.data());
    std::vector<float> out(5);
    std::vector<float> bad_bounds(2);
    EXPECT_THROW(td::query_block_distances(std::span<const float* const>(five).first(1), {}, 0, row.data(), 1, 8,
                                           out.data(), bad_bounds),
                 AssertionFailure);
    EXPECT_THROW(td::query_block_distances(five, norms, 0, row.data(), 1, 8, out.data()), AssertionFailure);
    EXPECT_THROW(td::query_block_distances({}, {}, 0, row.data(), 1, 8, out.data()), AssertionFailure);
}

// Under l2 with bounds, each result is the exact distance or +inf, and +inf
// only for a distance above its query's bound; NaN and +inf bounds stop
// nothing, and far rows of a long vector do stop (the early path is taken).
TEST(QueryBlocks, L2BoundsGiveTheDistanceOrInfinityAboveTheBound) {
    RestoreDetection restore;
    std::mt19937 rng(31);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (size_t d : {8u, 127u, 128u, 136u, 300u, 784u}) {
        const size_t n = 9;
        std::vector<std::vector<float>> qs(4, std::vector<float>(d));
        for (auto& q : qs)
            for (float& v : q) v = g(rng);
        std::vector<float> rows(n * d);
        for (size_t r = 0; r < n; ++r) {
            // Rows 0 and 1 near query 0; the others far from every query.
            for (size_t t = 0; t < d; ++t) rows[r * d + t] = r < 2 ? qs[0][t] + 0.01f * g(rng) : 40.0f + g(rng);
        }
        rows[5 * d + d - 1] = std::numeric_limits<float>::quiet_NaN();  // NaN last: partial sums stay finite
        for_each_path([&](bool avx2) {
            for (size_t nq = 1; nq <= 4; ++nq) {
                std::vector<const float*> ptr;
                for (size_t j = 0; j < nq; ++j) ptr.push_back(qs[j].data());
                const float kCut = 2.0f * static_cast<float>(d);  // between near and far rows
                const std::vector<float> cases[] = {std::vector<float>(nq, kCut), std::vector<float>(nq, kInf),
                                                    std::vector<float>(nq, kNaN), std::vector<float>(nq, -1.0f)};
                bool stopped = false;
                for (const auto& bounds : cases) {
                    std::vector<float> out(n * nq);
                    td::query_block_distances(ptr, {}, 0, rows.data(), n, d, out.data(), bounds);
                    for (size_t r = 0; r < n; ++r) {
                        for (size_t j = 0; j < nq; ++j) {
                            SCOPED_TRACE(testing::Message() << "d " << d << " nq " << nq << " row " << r << " query "
                                                            << j << " bound " << bounds[j]);
                            const float exact = td::fvec_l2sqr(qs[j], std::span<const float>(rows).subspan(r * d, d));
                            const float got = out[r * nq + j];
                            if (bits(got) == bits(exact)) continue;
                            EXPECT_EQ(got, kInf);
                            EXPECT_TRUE(!(exact <= bounds[j]));
                            EXPECT_FALSE(std::isnan(bounds[j]) || bounds[j] == kInf);
                            stopped = true;
                        }
                    }
                }
                if (avx2 && d >= 136) {
                    EXPECT_TRUE(stopped) << d;
                }
            }
        });
    }
}

TEST(ScaledExceeds, MatchesTheTestPointsOfEachPath) {
    RestoreDetection restore;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> frac(0.0f, 1.2f);
    for (size_t n : {0u, 1u, 7u, 8u, 9u, 64u, 127u, 128u, 129u, 130u, 136u, 255u, 256u, 300u, 515u}) {
        for (Kind kind : {Kind::Normal, Kind::Huge, Kind::MixedScale, Kind::Cancelling}) {
            auto a = make_vector(kind, n, rng);
            auto b = make_vector(kind, n, rng);
            for_each_path([&](bool avx2) {
                const float full = td::fvec_l2sqr(a, b);
                for (int t = 0; t < 8; ++t) {
                    float scale = t % 2 == 0 ? 1.0f : 0.5f;
                    float threshold = std::isfinite(full) ? full * frac(rng) : 1e30f * frac(rng);
                    SCOPED_TRACE(testing::Message() << "n " << n << " threshold " << threshold);
                    EXPECT_EQ(exceeds_emulated(avx2, a, b, scale, threshold),
                              td::fvec_l2sqr_scaled_exceeds(a, b, scale, threshold));
                }
            });
        }
    }
}

TEST(ScaledExceeds, EdgeCases) {
    RestoreDetection restore;
    for_each_path([&](bool) {
        for (size_t n : {0u, 3u, 16u, 200u}) {
            std::vector<float> same(n, 2.0f), other(n, -2.0f);
            EXPECT_TRUE(td::fvec_l2sqr_scaled_exceeds(same, same, 1.0f, -1.0f));
            EXPECT_TRUE(td::fvec_l2sqr_scaled_exceeds(same, same, 0.0f, -0.5f));
            EXPECT_FALSE(td::fvec_l2sqr_scaled_exceeds(same, other, 1.0f, kNaN));
            for (float thr : {0.0f, 1.0f, 1e30f, kInf})
                EXPECT_FALSE(td::fvec_l2sqr_scaled_exceeds(same, other, 0.0f, thr));
            // -0.0 and subnormal scales pass the check.
            EXPECT_FALSE(td::fvec_l2sqr_scaled_exceeds(same, other, -0.0f, 0.0f));
            EXPECT_NO_THROW(td::fvec_l2sqr_scaled_exceeds(same, other, 1e-45f, 0.0f));
        }
    });
    std::vector<float> a(4), b(4), c(5);
    const std::string scale_msg = "fvec_l2sqr_scaled_exceeds scale must be finite and non-negative";
    for (float bad : {-1.0f, -1e-45f, kInf, -kInf, kNaN})
        EXPECT_EQ(scale_msg, assertion_text([&] { td::fvec_l2sqr_scaled_exceeds(a, b, bad, 1.0f); }));
    EXPECT_NE(assertion_text([&] { td::fvec_l2sqr_scaled_exceeds(a, c, 1.0f, 1.0f); })
                  .find("fvec_l2sqr_scaled_exceeds inputs must have the same length"),
              std::string::npos);
}

TEST(ScaledExceeds, Avx2TestsAfterEachBlockOf128AndOfTheEights) {
    if (!td::avx2_available()) GTEST_SKIP() << "no AVX2 on this processor";
    RestoreDetection restore;
    // Position 128 alone exceeds the threshold; position 129 turns the running
    // sum into NaN (inf - inf), after which no test passes.
    auto make = [](size_t n, std::vector<float>& a, std::vector<float>& b) {
        a.assign(n, 0.0f);
        b.assign(n, 0.0f);
        a[128] = 10.0f;
        a[129] = kInf;
        b[129] = kInf;
    };
    std::vector<float> a, b;
    // 136 values: positions 128..135 form one block of eight, tested once as a
    // whole, so the NaN arrives before the test. The scalar path tests after
    // position 128 and answers true.
    make(136, a, b);
    EXPECT_FALSE(td::fvec_l2sqr_scaled_exceeds(a, b, 1.0f, 50.0f));
    td::force_scalar_for_testing(true);
    EXPECT_TRUE(td::fvec_l2sqr_scaled_exceeds(a, b, 1.0f, 50.0f));
    td::force_scalar_for_testing(false);
    // 130 values: after the first 128, an empty pass over blocks of eight, then
    // a test after each of the last two: true after position 128.
    make(130, a, b);
    EXPECT_TRUE(td::fvec_l2sqr_scaled_exceeds(a, b, 1.0f, 50.0f));
    // A value in the first 128 is seen only at the end of that block: a NaN
    // inside the same block hides it on the AVX2 path.
    std::vector<float> c(136, 0.0f), d(136, 0.0f);
    c[3] = 10.0f;
    c[100] = kInf;
    d[100] = kInf;
    EXPECT_FALSE(td::fvec_l2sqr_scaled_exceeds(c, d, 1.0f, 50.0f));
    td::force_scalar_for_testing(true);
    EXPECT_TRUE(td::fvec_l2sqr_scaled_exceeds(c, d, 1.0f, 50.0f));
}

// Eight PQ sums at once: each the plain table sum's bits, on either path.
TEST(PqKernels, EightSumsAtOnceAreThePlainSums) {
    RestoreDetection restore;
    std::mt19937 rng(31);
    // Codes of exactly m bytes: a word read past the end is caught by ASan.
    for (size_t m : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 64u, 196u}) {
        auto table = make_vector(Kind::Normal, 256 * m, rng);
        std::vector<std::vector<uint8_t>> codes(8, std::vector<uint8_t>(m));
        for (auto& c : codes) {
            for (auto& b : c) b = static_cast<uint8_t>(rng());
        }
        const uint8_t* ptrs[8];
        for (size_t k = 0; k < 8; ++k) ptrs[k] = codes[k].data();
        for_each_path([&](bool) {
            // Code bytes one per load and eight per load: the same bits.
            for (const auto loads : {tavren::cpu::CodeLoads::Bytes, tavren::cpu::CodeLoads::Words}) {
                tavren::cpu::force_code_loads_for_testing(loads);
                float out[8];
                td::pq_table_sums8(table, ptrs, m, out);
                for (size_t k = 0; k < 8; ++k) {
                    EXPECT_BITS_EQ(td::pq_table_sum(table, codes[k], m), out[k])
                        << m << " " << k << " loads " << static_cast<int>(loads);
                }
            }
        });
        const uint8_t* none[8] = {};
        float out[8];
        EXPECT_THROW(td::pq_table_sums8(std::span<const float>(table).first(256 * m - 1), none, m, out),
                     tavren::AssertionFailure);
    }
}

// The same for 4-bit codes: nibbles low then high, each sum from +0.0 in
// sub-quantizer order, on either path. Each code is allocated at exactly its
// m - m / 2 bytes, so a kernel reading past a node's last byte shows under
// AddressSanitizer; upper-half entries (nibbles 8 to 15) and the odd last
// nibble are both exercised.
TEST(PqKernels, EightFourBitSumsAtOnceAreThePlainSums) {
    RestoreDetection restore;
    std::mt19937 rng(37);
    for (size_t m : {1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 64u, 784u}) {
        for (Kind kind : {Kind::Normal, Kind::MixedScale, Kind::Cancelling}) {
            auto table = make_vector(kind, 16 * m, rng);
            const size_t cb = m - m / 2;
            std::vector<std::unique_ptr<uint8_t[]>> codes;
            const uint8_t* ptrs[8];
            for (size_t k = 0; k < 8; ++k) {
                codes.push_back(std::make_unique<uint8_t[]>(cb));
                for (size_t b = 0; b < cb; ++b) codes[k][b] = static_cast<uint8_t>(rng());
                ptrs[k] = codes[k].get();
            }
            float want[8];
            for (size_t k = 0; k < 8; ++k) {
                float s = 0.0f;
                for (size_t j = 0; j < m; ++j) s += table[16 * j + ((ptrs[k][j / 2] >> (j % 2 == 0 ? 0 : 4)) & 15)];
                want[k] = s;
            }
            for_each_path([&](bool) {
                float out[8];
                td::pq4_table_sums8(table, ptrs, m, out);
                for (size_t k = 0; k < 8; ++k) EXPECT_BITS_EQ(want[k], out[k]) << m << " " << k;
            });
        }
        const std::vector<float> table(16 * m - 1, 0.0f);
        const uint8_t* none[8] = {};
        float out[8];
        EXPECT_THROW(td::pq4_table_sums8(table, none, m, out), tavren::AssertionFailure);
    }
}

// Four-value rows (the PQ tables of four-dimensional sub-spaces) take their
// own kernel: the bits of the matrix product, including signed zeros and the
// rows past the last multiple of eight.
TEST(Batches, FourValueRowsGiveTheMatrixProductsBits) {
    RestoreDetection restore;
    std::mt19937 rng(21);
    for (size_t n : {8u, 9u, 256u, 263u}) {
        auto q = make_vector(Kind::Normal, 4, rng);
        auto data = make_vector(Kind::Normal, 4 * n, rng);
        q[1] = -0.0f;
        data[0] = 0.0f;  // row 0: -0 products and zeros
        data[1] = 5.0f;
        data[2] = 0.0f;
        data[3] = 0.0f;
        std::vector<float> want(n);
        tavren::blas::sgemm_a_bt(1, n, 4, 1.0f, q, data, 0.0f, want);
        for_each_path([&](bool) {
            std::vector<float> got(n, kNaN);
            td::fvec_ip_batch(q, data, 4, n, got);
            for (size_t i = 0; i < n; ++i) EXPECT_BITS_EQ(want[i], got[i]) << n << " row " << i;
        });
    }
}

// The PQ table form: (|c|^2 + |q|^2) - 2 q.c clamped at 0, equal bit for bit
// to the inner-product batch followed by the formula, on every path and at
// widths with and without the four-value kernel (four-value rows also held
// dimension-major). Rows whose formula is
// negative, -0 or NaN (an infinite norm against an infinite product) give +0.
TEST(Batches, ExpandedL2BatchIsTheInnerProductBatchThenTheFormula) {
    RestoreDetection restore;
    std::mt19937 rng(33);
    for (size_t dim : {4u, 3u, 8u}) {
        for (size_t n : {1u, 8u, 13u, 256u}) {
            auto q = make_vector(Kind::Normal, dim, rng);
            auto data = make_vector(Kind::Normal, dim * n, rng);
            std::vector<float> norms = td::row_norms_l2sqr(data, dim);
            norms[0] = 0.0f;  // below the product: negative before the clamp
            if (n > 1) {
                norms[1] = std::numeric_limits<float>::infinity();
                data[dim] = std::numeric_limits<float>::infinity();  // inf - inf = NaN
                q[0] = 1.0f;
            }
            for_each_path([&](bool) {
                std::vector<float> ip(n), want(n), got(n + 2, kNaN);
                td::fvec_ip_batch(q, data, dim, n, ip);
                const float qn = td::fvec_norm_l2sqr(q);
                for (size_t i = 0; i < n; ++i) want[i] = td::expanded_l2(norms[i], qn, ip[i]);
                td::fvec_expanded_l2_batch(q, data, norms, dim, n, std::span<float>(got).first(n));
                for (size_t i = 0; i < n; ++i) {
                    EXPECT_BITS_EQ(want[i], got[i]) << dim << " x " << n << " row " << i;
                    EXPECT_FALSE(std::signbit(got[i]));
                }
                if (n > 1) {
                    EXPECT_BITS_EQ(0.0f, got[1]);
                }
                EXPECT_TRUE(std::isnan(got[n]));  // nothing written past n
                if (dim != 4) return;
                // The same rows held dimension-major: the same bits, for the
                // inner products too, and nothing written past n.
                std::vector<float> cols(4 * n), cols_ip(n + 1, kNaN), cols_l2(n + 1, kNaN);
                for (size_t i = 0; i < n; ++i) {
                    for (size_t t = 0; t < 4; ++t) cols[t * n + i] = data[4 * i + t];
                }
                td::fvec_ip_batch_dim4_cols(q, cols, n, std::span<float>(cols_ip).first(n));
                td::fvec_expanded_l2_batch_dim4_cols(q, cols, norms, n, std::span<float>(cols_l2).first(n));
                for (size_t i = 0; i < n; ++i) {
                    EXPECT_BITS_EQ(ip[i], cols_ip[i]) << n << " row " << i;
                    EXPECT_BITS_EQ(want[i], cols_l2[i]) << n << " row " << i;
                }
                EXPECT_TRUE(std::isnan(cols_ip[n]));
                EXPECT_TRUE(std::isnan(cols_l2[n]));
            });
        }
    }
    std::vector<float> q(4, 1.0f), data(32, 1.0f), norms(7, 1.0f), out(8);
    EXPECT_THROW(td::fvec_expanded_l2_batch(q, data, norms, 4, 8, out), tavren::AssertionFailure);  // norms short
    EXPECT_THROW(td::fvec_expanded_l2_batch_dim4_cols(q, data, norms, 8, out), tavren::AssertionFailure);
    EXPECT_THROW(td::fvec_ip_batch_dim4_cols(q, std::span<const float>(data).first(31), 8, out),
                 tavren::AssertionFailure);  // rows short
}

TEST(Batches, RowByRowBranchesAreExactAndMatrixBranchesAreClose) {
    RestoreDetection restore;
    std::mt19937 rng(9);
    for (size_t dim : {1u, 3u, 4u, 8u, 17u, 96u}) {
        for (size_t n : {1u, 7u, 8u, 33u}) {
            auto q = make_vector(Kind::Normal, dim + 2, rng);  // longer query: only dim values count
            auto data = make_vector(Kind::Normal, dim * n + 5, rng);
            for_each_path([&](bool avx2) {
                std::vector<float> ip(n + 3, kNaN), l2(n + 3, kNaN);
                td::fvec_ip_batch(q, data, dim, n, ip);
                td::fvec_l2sqr_batch(q, data, dim, n, l2);
                const bool matrix = dim >= 4 && n >= 8;
                std::span<const float> qd(q.data(), dim);
                for (size_t i = 0; i < n; ++i) {
                    std::span<const float> row(data.data() + i * dim, dim);
                    float e_ip = td::fvec_inner_product(qd, row);
                    float e_l2 = td::fvec_l2sqr(qd, row);
                    if (matrix) {
                        // The product adds each dot product in the 8-lane order of
                        // the AVX2 kernel: the same bits as that kernel.
                        if (avx2) {
                            EXPECT_BITS_EQ(e_ip, ip[i]);
                        }
                        EXPECT_NEAR(e_ip, ip[i], 1e-4f * (1.0f + std::fabs(e_ip)));
                        EXPECT_NEAR(e_l2, l2[i], 1e-4f * (1.0f + e_l2));
                        EXPECT_GE(l2[i], 0.0f);
                    } else {
                        EXPECT_BITS_EQ(e_ip, ip[i]);
                        EXPECT_BITS_EQ(e_l2, l2[i]);
                    }
                }
                // Places past n are not touched.
                for (size_t i = n; i < n + 3; ++i) {
                    EXPECT_TRUE(std::isnan(ip[i]));
                    EXPECT_TRUE(std::isnan(l2[i]));
                }
            });
        }
    }
}

TEST(Batches, DimZeroAndEmptyBatches) {
    std::vector<float> out(9, kNaN);
    const std::vector<float> none;
    td::fvec_ip_batch(none, none, 0, 9, out);
    for (float v : out) EXPECT_BITS_EQ(0.0f, v);
    std::fill(out.begin(), out.end(), kNaN);
    td::fvec_l2sqr_batch(none, none, 0, 3, out);
    for (size_t i = 0; i < 3; ++i) EXPECT_BITS_EQ(0.0f, out[i]);
    // n = 0 reads and writes nothing, whatever the other arguments say.
    std::vector<float> empty_out;
    EXPECT_NO_THROW(td::fvec_ip_batch(none, none, 1000, 0, empty_out));
    EXPECT_NO_THROW(td::fvec_l2sqr_batch(none, none, 1000, 0, empty_out));
    // Inputs too short for what is read are assertions.
    std::vector<float> q(8), data(8 * 9), small_out(8);
    std::vector<float> big_out(16);
    EXPECT_THROW(td::fvec_ip_batch(q, data, 8, 10, big_out), AssertionFailure);    // data short
    EXPECT_THROW(td::fvec_ip_batch(q, data, 8, 9, small_out), AssertionFailure);   // out short
    EXPECT_THROW(td::fvec_l2sqr_batch(q, data, 9, 2, out), AssertionFailure);      // query short
    EXPECT_THROW(td::fvec_l2sqr_batch(q, data, 4, 3, std::span<float>(small_out).first(2)), AssertionFailure);
}

TEST(Batches, L2BatchOfTheQueryItselfIsExactlyZero) {
    RestoreDetection restore;
    std::mt19937 rng(13);
    for (size_t dim : {4u, 7u, 64u, 100u}) {
        auto q = make_vector(Kind::Normal, dim, rng);
        std::vector<float> data;
        for (int i = 0; i < 12; ++i) data.insert(data.end(), q.begin(), q.end());
        for_each_path([&](bool) {
            std::vector<float> out(12, kNaN);
            td::fvec_l2sqr_batch(q, data, dim, 12, out);
            const float qn = td::fvec_norm_l2sqr(q);
            for (float v : out) {
                EXPECT_GE(v, 0.0f);  // never a small negative value
                EXPECT_LE(v, 1e-5f * (1.0f + 2.0f * qn));
            }
        });
    }
}

TEST(Batches, OverflowNaNOnTheMatrixBranchNeverReadsAsAMatch) {
    RestoreDetection restore;
    // Finite inputs whose norms and dot products overflow: inf - inf.
    const size_t dim = 4, n = 8;
    const std::vector<float> q = {2e38f, 2e38f, 0.0f, 0.0f};
    std::vector<float> data;
    for (size_t i = 0; i < n; ++i) {
        if (i == 2) {
            data.insert(data.end(), q.begin(), q.end());  // the query itself: distance 0
        } else if (i == 5) {
            data.insert(data.end(), {1.0f, 1.0f, 1.0f, 1.0f});  // ordinary row
        } else {
            data.insert(data.end(), {2e38f, -2e38f, 0.0f, 0.0f});  // far away: distance overflows
        }
    }
    for_each_path([&](bool) {
        std::vector<float> out(n, kNaN);
        td::fvec_l2sqr_batch(q, data, dim, n, out);
        for (size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(testing::Message() << "row " << i);
            std::span<const float> row(data.data() + i * dim, dim);
            EXPECT_FALSE(std::isnan(out[i]));
            if (i == 2) {
                EXPECT_BITS_EQ(0.0f, out[i]);
            } else {
                EXPECT_EQ(kInf, out[i]);
            }
            EXPECT_EQ(td::fvec_l2sqr(q, row), out[i]);
        }
    });
    // A NaN input reads as infinitely far on the matrix branch.
    std::vector<float> nan_q = {kNaN, 0.0f, 0.0f, 0.0f};
    std::vector<float> zeros(dim * n, 0.0f), out(n, 0.0f);
    td::fvec_l2sqr_batch(nan_q, zeros, dim, n, out);
    for (float v : out) EXPECT_EQ(kInf, v);
}

TEST(Madd, BothPathsGiveTheSameBits) {
    RestoreDetection restore;
    std::mt19937 rng(17);
    for (size_t n = 0; n <= 40; ++n) {
        auto a = make_vector(Kind::MixedScale, n, rng);
        auto b = make_vector(Kind::MixedScale, n, rng);
        for (float scale : {0.0f, -1.5f, 3.0e-3f, 7.0f}) {
            for_each_path([&](bool) {
                std::vector<float> out(n + 1, kNaN);
                td::fvec_madd(a, scale, b, out);
                for (size_t i = 0; i < n; ++i) {
                    float prod = scale * b[i];
                    EXPECT_BITS_EQ(a[i] + prod, out[i]);
                }
                EXPECT_TRUE(std::isnan(out[n]));
            });
        }
    }
    std::vector<float> a(9), b(8), out(9);
    EXPECT_THROW(td::fvec_madd(a, 1.0f, b, out), AssertionFailure);
    EXPECT_THROW(td::fvec_madd(a, 1.0f, a, b), AssertionFailure);
}

TEST(Normalize, ZeroVectorThreeFourAndLongVectors) {
    RestoreDetection restore;
    for_each_path([&](bool avx2) {
        std::vector<float> zero(10, 0.0f);
        EXPECT_BITS_EQ(0.0f, td::fvec_normalize(zero));
        for (float v : zero) EXPECT_BITS_EQ(0.0f, v);
        std::vector<float> empty;
        EXPECT_BITS_EQ(0.0f, td::fvec_normalize(empty));

        std::vector<float> v = {3.0f, 4.0f};
        EXPECT_EQ(5.0f, td::fvec_normalize(v));
        const float inv = 0.2f;
        EXPECT_BITS_EQ(3.0f * inv, v[0]);
        EXPECT_BITS_EQ(4.0f * inv, v[1]);

        // Multiplication by the rounded reciprocal, not division by the norm.
        std::vector<float> w(37);
        for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<float>(i) * 0.37f - 5.0f;
        const std::vector<float> orig = w;
        const float s = expected_sum(avx2, w.size(), norm_term(orig));
        EXPECT_BITS_EQ(std::sqrt(s), td::fvec_normalize(w));
        const float r_inv = 1.0f / std::sqrt(s);
        for (size_t i = 0; i < w.size(); ++i) EXPECT_BITS_EQ(orig[i] * r_inv, w[i]);

        // A NaN norm leaves the vector unchanged and returns NaN.
        std::vector<float> nan_v = {kNaN, 1.0f};
        EXPECT_TRUE(std::isnan(td::fvec_normalize(nan_v)));
        EXPECT_EQ(1.0f, nan_v[1]);
    });
}

TEST(Preprocess, CosineRowsNormaliseTheSameSerialAndParallel) {
    RestoreDetection restore;
    std::mt19937 rng(19);
    const size_t dim = 13;
    for (size_t n : {1000u, 1001u, 4099u}) {
        auto data = make_vector(Kind::MixedScale, n * dim + 3, rng);
        for (size_t d = 0; d < dim; ++d) data[5 * dim + d] = 0.0f;  // one zero row
        const auto orig = data;
        for_each_path([&](bool) {
            auto out = td::preprocess_vectors(data, n, dim, tavren::kMetricCosine);
            ASSERT_EQ(n * dim, out.size());
            EXPECT_EQ(orig, data);  // never modified
            for (size_t i = 0; i < n; ++i) {
                std::vector<float> row(orig.begin() + static_cast<std::ptrdiff_t>(i * dim),
                                       orig.begin() + static_cast<std::ptrdiff_t>(i * dim + dim));
                td::fvec_normalize(row);
                for (size_t d = 0; d < dim; ++d) ASSERT_EQ(bits(row[d]), bits(out[i * dim + d])) << i;
            }
            for (size_t d = 0; d < dim; ++d) EXPECT_BITS_EQ(0.0f, out[5 * dim + d]);
        });
    }
}

TEST(Preprocess, OtherMetricsCopyAndShortDataIsAnAssertion) {
    std::mt19937 rng(23);
    auto data = make_vector(Kind::MixedScale, 50, rng);
    data[7] = kNaN;
    for (uint32_t metric : {0u, 1u}) {
        auto out = td::preprocess_vectors(data, 4, 12, metric);
        ASSERT_EQ(48u, out.size());
        for (size_t i = 0; i < 48; ++i) EXPECT_EQ(bits(data[i]), bits(out[i]));
    }
    EXPECT_TRUE(td::preprocess_vectors(data, 7, 0, tavren::kMetricCosine).empty());
    EXPECT_TRUE(td::preprocess_vectors(data, 0, 5, tavren::kMetricCosine).empty());
    EXPECT_THROW(td::preprocess_vectors(data, 5, 11, 0), AssertionFailure);
    EXPECT_THROW(td::preprocess_vectors(data, SIZE_MAX / 2, 3, 0), AssertionFailure);
}

TEST(RowNorms, FullRowsOnlyAndZeroDimIsAnAssertion) {
    RestoreDetection restore;
    std::vector<float> data(3 * 9 + 4);
    for (size_t i = 0; i < data.size(); ++i) data[i] = 0.5f * static_cast<float>(i) - 3.0f;
    for_each_path([&](bool) {
        auto norms = td::row_norms_l2sqr(data, 9);
        ASSERT_EQ(3u, norms.size());
        for (size_t r = 0; r < 3; ++r)
            EXPECT_BITS_EQ(td::fvec_norm_l2sqr(std::span<const float>(data).subspan(r * 9, 9)), norms[r]);
    });
    EXPECT_EQ("chunk size must be non-zero", assertion_text([&] { td::row_norms_l2sqr(data, 0); }));
}

// ---- PQ table-scan kernels ------------------------------------------------------

float pq_eight_lane(const std::vector<float>& table, const std::vector<uint8_t>& code, size_t m) {
    return eight_lane(m, [&](size_t j) { return table[256 * j + code[j]]; });
}

TEST(PqDistance, GroupSumThenTailOnBothPaths) {
    RestoreDetection restore;
    std::mt19937 rng(29);
    for (size_t m = 0; m <= 41; ++m) {
        for (Kind kind : kKinds) {
            auto table = make_vector(kind, 256 * m, rng);
            std::vector<uint8_t> code(m);
            for (auto& c : code) c = static_cast<uint8_t>(rng());
            for_each_path([&](bool) {
                SCOPED_TRACE(testing::Message() << "m " << m);
                EXPECT_BITS_EQ(pq_eight_lane(table, code, m), td::pq_distance_avx2(table, code, m));
                EXPECT_BITS_EQ(left_to_right(m, [&](size_t j) { return table[256 * j + code[j]]; }),
                               td::pq_table_sum(table, code, m));
            });
        }
    }
}

TEST(PqDistance, SmallCasesAndBounds) {
    RestoreDetection restore;
    // Entries chosen so that the group order and the plain order differ.
    std::vector<float> table(256 * 9, 0.0f);
    const float picked[9] = {1e8f, 1, 1, 1, -1e8f, 1, 1, 1, 0.5f};
    std::vector<uint8_t> code(9);
    for (size_t j = 0; j < 9; ++j) {
        code[j] = static_cast<uint8_t>(17 * j + 3);
        table[256 * j + code[j]] = picked[j];
    }
    for_each_path([&](bool) {
        EXPECT_EQ(6.0f, td::pq_distance_avx2(table, code, 8));
        EXPECT_EQ(6.5f, td::pq_distance_avx2(table, code, 9));
        EXPECT_EQ(1e8f + 1.0f + 1.0f, td::pq_distance_avx2(table, code, 3));  // plain sum below 8
        EXPECT_EQ(3.5f, td::pq_table_sum(table, code, 9));
        // Short code or table: assertions, never reads outside.
        std::vector<uint8_t> short_code(7);
        EXPECT_THROW(td::pq_distance_avx2(table, short_code, 8), AssertionFailure);
        EXPECT_THROW(td::pq_distance_avx2(table, std::span<const uint8_t>(code).first(8), 9), AssertionFailure);
        std::vector<float> short_table(256 * 8 - 1, 0.0f);
        std::vector<uint8_t> high(8, 255);
        EXPECT_THROW(td::pq_distance_avx2(short_table, high, 8), AssertionFailure);
        std::vector<uint8_t> low(8, 0);  // every gathered entry lies inside: allowed
        EXPECT_EQ(0.0f, td::pq_distance_avx2(short_table, low, 8));
        EXPECT_THROW(td::pq_table_sum(short_table, high, 8), AssertionFailure);
    });
}

// An independent rendering of the 4-bit scan with 64-bit integer sums.
std::vector<float> scan_4bit_oracle(const std::vector<float>& table, const std::vector<uint8_t>& codes, size_t n,
                                    size_t m) {
    const size_t bytes = m / 2;
    std::vector<float> out(n);
    for (size_t i = 0; i < std::min<size_t>(n, 200); ++i) {
        float t = 0.0f;
        for (size_t b = 0; b < bytes; ++b) {
            uint8_t c = codes[i * bytes + b];
            t = (t + table[32 * b + (c & 15)]) + table[32 * b + 16 + (c >> 4)];
        }
        out[i] = t;
    }
    if (n <= 200) return out;
    float dmax = -std::numeric_limits<float>::max();
    for (size_t i = 0; i < 200; ++i)
        if (!std::isnan(out[i]) && out[i] > dmax) dmax = out[i];
    float tmin = kInf;
    for (float v : table)
        if (!std::isnan(v) && v < tmin) tmin = v;
    float width = dmax - tmin;
    if (!(width > 1e-10f)) width = 1e-10f;
    float scale = 255.0f / width;
    std::vector<uint64_t> q(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        float x = (table[i] - tmin) * scale;
        q[i] = std::isnan(x) ? 0 : x <= 0.0f ? 0 : x >= 255.0f ? 255 : static_cast<uint64_t>(x);
    }
    for (size_t l = 200; l < n; ++l) {
        uint64_t s = 0;
        for (size_t b = 0; b < bytes; ++b) {
            uint8_t c = codes[l * bytes + b];
            s += q[32 * b + (c & 15)] + q[32 * b + 16 + (c >> 4)];
        }
        float step = width / 255.0f;
        float base = tmin * static_cast<float>(m);
        float prod = static_cast<float>(s) * step;
        out[l] = prod + base;
    }
    return out;
}

TEST(Scan4bit, WorkedExampleFromSixtyFourEntries) {
    std::vector<float> table(64);
    for (size_t i = 0; i < 64; ++i) table[i] = static_cast<float>(i);
    const std::vector<uint8_t> codes = {0x10, 0x32};
    std::vector<float> out(1, kNaN);
    td::scan_4bit_simd(table, codes, 1, 4, out);
    EXPECT_EQ(102.0f, out[0]);  // table[0] + table[17] + table[34] + table[51]
}

TEST(Scan4bit, ExactUpTo200ThenQuantized) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> val(0.0f, 4.0f);
    const size_t m = 16, bytes = 8;
    std::vector<float> table(16 * m);
    for (auto& v : table) v = val(rng);
    for (size_t n : {0u, 1u, 199u, 200u, 201u, 457u, 700u}) {
        std::vector<uint8_t> codes(n * bytes);
        for (auto& c : codes) c = static_cast<uint8_t>(rng());
        std::vector<float> out(n + 1, kNaN);
        td::scan_4bit_simd(table, codes, n, m, out);
        auto expected = scan_4bit_oracle(table, codes, n, m);
        for (size_t i = 0; i < n; ++i) EXPECT_BITS_EQ(expected[i], out[i]) << "n " << n << " i " << i;
        EXPECT_TRUE(std::isnan(out[n]));
        if (n == 201) {
            // The 201st distance is approximate: the exact sum differs from it here.
            float exact = 0.0f;
            for (size_t b = 0; b < bytes; ++b) {
                uint8_t c = codes[200 * bytes + b];
                exact = (exact + table[32 * b + (c & 15)]) + table[32 * b + 16 + (c >> 4)];
            }
            // Each of the 16 entries loses less than one step (width / 255) to truncation.
            EXPECT_NE(bits(exact), bits(out[200]));
            EXPECT_LE(out[200], exact + 1e-3f);
            EXPECT_GE(out[200], exact - 16.0f * (64.0f / 255.0f));
        }
    }
}

TEST(Scan4bit, ApproximateDistancesStepUpFromTminTimesM) {
    const size_t m = 6, bytes = 3, n = 260;
    std::vector<float> table(16 * m);
    for (size_t i = 0; i < table.size(); ++i) table[i] = 1.0f + static_cast<float>(i % 16) * 0.25f;
    std::vector<uint8_t> codes(n * bytes);
    std::mt19937 rng(37);
    for (auto& c : codes) c = static_cast<uint8_t>(rng());
    std::vector<float> out(n);
    td::scan_4bit_simd(table, codes, n, m, out);
    float dmax = *std::max_element(out.begin(), out.begin() + 200);
    const float width = dmax - 1.0f;
    const float step = width / 255.0f;
    const float base = 1.0f * 6.0f;
    for (size_t l = 200; l < n; ++l) {
        EXPECT_GE(out[l], base);
        float k = (out[l] - base) / step;
        EXPECT_NEAR(k, std::round(k), 1e-3f) << l;
    }
}

TEST(Scan4bit, AllExactDistancesAtTminGiveTheSmallestWidth) {
    // Every code points at entry 0 of its sub-table, the table minimum: each
    // exact distance equals tmin * m, so width = tmin * m - tmin (here 0 with
    // tmin 0), which falls back to 1e-10.
    const size_t m = 4, n = 230;
    std::vector<float> table(16 * m, 0.0f);
    for (size_t i = 0; i < table.size(); ++i) table[i] = (i % 16 == 0) ? 0.0f : 1e-9f * static_cast<float>(i % 16);
    std::vector<uint8_t> codes(n * 2, 0x00);
    codes[210 * 2] = 0x0F;  // a later vector reaches above tmin + width: clamps at 255
    std::vector<float> out(n);
    td::scan_4bit_simd(table, codes, n, m, out);
    auto expected = scan_4bit_oracle(table, codes, n, m);
    for (size_t i = 0; i < n; ++i) EXPECT_BITS_EQ(expected[i], out[i]);
    EXPECT_BITS_EQ(0.0f, out[205]);
    EXPECT_BITS_EQ(255.0f * (1e-10f / 255.0f), out[210]);
}

TEST(Scan4bit, LongCodesNeverWrapTheIntegerSums) {
    // m = 600 sub-quantizers: each approximate sum can reach 600 * 255 = 153000,
    // past what 16 bits hold. The first 200 vectors use small entries, so the
    // quantization width is small and most entries clamp at 255.
    const size_t m = 600, bytes = 300, n = 203;
    std::vector<float> table(16 * m);
    for (size_t i = 0; i < table.size(); ++i) table[i] = (i % 16 == 0) ? 0.0f : 1.0f;
    std::vector<uint8_t> codes(n * bytes, 0x00);
    for (size_t l = 200; l < n; ++l)
        for (size_t b = 0; b < bytes; ++b) codes[l * bytes + b] = 0xFF;
    codes[0] = 0x11;  // vector 0: exact distance 2 -> width 2, entries of 1 quantize to 127
    std::vector<float> out(n);
    td::scan_4bit_simd(table, codes, n, m, out);
    auto expected = scan_4bit_oracle(table, codes, n, m);
    for (size_t l = 200; l < n; ++l) {
        EXPECT_BITS_EQ(expected[l], out[l]);
        EXPECT_NEAR(600.0f, out[l], 600.0f * 0.01f);  // 600 entries of 1.0 each
    }
    // Random long codes against the 64-bit oracle.
    std::mt19937 rng(41);
    std::uniform_real_distribution<float> val(-1.0f, 3.0f);
    for (size_t mm : {256u, 258u, 514u, 1030u}) {
        std::vector<float> t(16 * mm);
        for (auto& v : t) v = val(rng);
        const size_t nn = 450;
        std::vector<uint8_t> c(nn * (mm / 2));
        for (auto& x : c) x = static_cast<uint8_t>(rng());
        std::vector<float> o(nn);
        td::scan_4bit_simd(t, c, nn, mm, o);
        auto e = scan_4bit_oracle(t, c, nn, mm);
        for (size_t i = 0; i < nn; ++i) ASSERT_EQ(bits(e[i]), bits(o[i])) << "m " << mm << " i " << i;
    }
}

TEST(Scan4bit, ShortInputsAreAssertions) {
    std::vector<float> table(16 * 4);
    std::vector<uint8_t> codes(2 * 3);
    std::vector<float> out(3);
    EXPECT_NO_THROW(td::scan_4bit_simd(table, codes, 3, 4, out));
    std::vector<float> out4(4);
    EXPECT_THROW(td::scan_4bit_simd(table, codes, 4, 4, out4), AssertionFailure);  // codes short
    EXPECT_THROW(td::scan_4bit_simd(table, codes, 3, 4, std::span<float>(out).first(2)), AssertionFailure);
    EXPECT_THROW(td::scan_4bit_simd(std::span<const float>(table).first(63), codes, 3, 4, out), AssertionFailure);
    // n = 0 touches nothing.
    EXPECT_NO_THROW(td::scan_4bit_simd({}, {}, 0, 4, {}));
}

}  // namespace
