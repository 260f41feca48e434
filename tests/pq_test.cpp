// Product quantizer: chunk plans, codebook installation, training, encoders,
// decoding and distance tables.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "pq.hpp"
#include "pq_kernels.hpp"
#include "blas.hpp"

namespace {

using tavren::AssertionFailure;
using tavren::pq::EncoderPath;
using tavren::pq::ProductQuantizer;
using tavren::testing::assertion_text;
using tavren::testing::PoolGuard;
using tavren::testing::RestoreDetection;
namespace distance = tavren::distance;
namespace pool = tavren::pool;

std::vector<float> gaussian(size_t count, uint32_t seed, float scale = 1.0f) {
    std::mt19937 g(seed);
    std::normal_distribution<float> nd(0.0f, scale);
    std::vector<float> out(count);
    for (float& v : out) v = nd(g);
    return out;
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// A quantizer with a random codebook (no training needed).
ProductQuantizer random_codebook(ProductQuantizer pq, uint32_t seed) {
    pq.set_centroids(gaussian(pq.d() * pq.ksub(), seed));
    return pq;
}

std::vector<uint8_t> encode_with(const ProductQuantizer& pq, EncoderPath path, std::span<const float> data,
                                 size_t n) {
    std::vector<uint8_t> codes(n * pq.code_size(), 0xEE);
    switch (path) {
        case EncoderPath::Canonical: pq.encode_batch(data, n, codes); break;
        case EncoderPath::Transposed: pq.encode_batch_8bit_transposed(data, n, codes); break;
        case EncoderPath::Sgemm: pq.encode_batch_8bit_sgemm(data, n, codes); break;
    }
    return codes;
}

constexpr EncoderPath kAllPaths[] = {EncoderPath::Canonical, EncoderPath::Transposed, EncoderPath::Sgemm};

// The encoders applicable to a quantizer (the blocked ones need 8-bit codes
// and chunks at least 4 wide).
std::vector<EncoderPath> paths_for(const ProductQuantizer& pq) {
    bool wide = true;
    for (size_t j = 0; j < pq.m(); ++j) wide = wide && pq.chunk_offsets()[j + 1] - pq.chunk_offsets()[j] >= 4;
    if (pq.nbits() == 8 && wide) return {std::begin(kAllPaths), std::end(kAllPaths)};
    return {EncoderPath::Canonical};
}

// ---- plans --------------------------------------------------------------------

TEST(PqPlan, OffsetsWidthsAndCodeSizes) {
    struct Case {
        const char* name;
        ProductQuantizer pq;
        std::vector<size_t> offsets;
        size_t max_width, ksub, code_size;
    };
    const Case cases[] = {
        {"balanced 10/4 8-bit", ProductQuantizer::with_nbits_balanced(10, 4, 8), {0, 3, 6, 8, 10}, 3, 256, 4},
        {"balanced 5/5 4-bit", ProductQuantizer::with_nbits_balanced(5, 5, 4), {0, 1, 2, 3, 4, 5}, 1, 16, 3},
        {"balanced 6/6 4-bit", ProductQuantizer::with_nbits_balanced(6, 6, 4), {0, 1, 2, 3, 4, 5, 6}, 1, 16, 3},
        {"balanced 7/1 8-bit", ProductQuantizer::with_nbits_balanced(7, 1, 8), {0, 7}, 7, 256, 1},
        {"uniform 12/4 8-bit", ProductQuantizer::with_nbits(12, 4, 8), {0, 3, 6, 9, 12}, 3, 256, 4},
        {"uniform 12/3 4-bit", ProductQuantizer::with_nbits(12, 3, 4), {0, 4, 8, 12}, 4, 16, 2},
        {"uniform 8/1 4-bit", ProductQuantizer::with_nbits(8, 1, 4), {0, 8}, 8, 16, 1},
        {"stored 0,3,8 8-bit", std::get<ProductQuantizer>(ProductQuantizer::try_with_chunk_offsets(8, 8, {0, 3, 8})),
         {0, 3, 8}, 5, 256, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(std::vector<size_t>(c.pq.chunk_offsets().begin(), c.pq.chunk_offsets().end()), c.offsets);
        EXPECT_EQ(c.pq.m(), c.offsets.size() - 1);
        EXPECT_EQ(c.pq.d(), c.offsets.back());
        EXPECT_EQ(c.pq.max_chunk_width(), c.max_width);
        EXPECT_EQ(c.pq.ksub(), c.ksub);
        EXPECT_EQ(c.pq.code_size(), c.code_size);
        EXPECT_TRUE(c.pq.centroids().empty());
        EXPECT_TRUE(c.pq.centroid_norms().empty());
        EXPECT_TRUE(c.pq.centroids_finite());
        EXPECT_FALSE(c.pq.has_valid_layout());
    }
}

TEST(PqPlan, ConstructionAssertions) {
    struct Case {
        std::function<void()> make;
        std::string text;
    };
    const Case cases[] = {
        {[] { ProductQuantizer::with_nbits(12, 5, 8); }, "dimension 12 must be divisible by m=5"},
        {[] { ProductQuantizer::with_nbits(12, 0, 8); }, "dimension 12 must be divisible by m=0"},
        {[] { ProductQuantizer::with_nbits(12, 4, 6); }, "nbits must be 4 or 8, got 6"},
        {[] { ProductQuantizer::with_nbits_balanced(0, 1, 8); }, "dimension must be greater than zero"},
        {[] { ProductQuantizer::with_nbits_balanced(4, 0, 8); }, "m must be in 1..=dimension"},
        {[] { ProductQuantizer::with_nbits_balanced(4, 5, 8); }, "m must be in 1..=dimension"},
        {[] { ProductQuantizer::with_validated_chunk_offsets(4, 8, {0}); }, "validated non-empty PQ chunk plan"},
        {[] { ProductQuantizer::with_validated_chunk_offsets(4, 5, {0, 4}); }, "nbits must be 4 or 8, got 5"},
    };
    for (const Case& c : cases) EXPECT_EQ(assertion_text(c.make), c.text);
}

TEST(PqPlan, StoredPlanTexts) {
    struct Case {
        size_t d, nbits;
        std::vector<size_t> offsets;
        const char* text;
    };
    const Case cases[] = {
        {8, 8, {0, 4, 4, 8}, "PQ chunk offsets must be strictly increasing"},
        {8, 8, {0, 5, 4, 8}, "PQ chunk offsets must be strictly increasing"},
        {8, 8, {1, 8}, "invalid PQ chunk bounds"},
        {8, 8, {0, 7}, "invalid PQ chunk bounds"},
        {8, 6, {0, 8}, "invalid PQ shape"},
        {8, 8, {0}, "invalid PQ shape"},
        {8, 8, {}, "invalid PQ shape"},
        {0, 8, {0, 0}, "invalid PQ shape"},
    };
    for (const Case& c : cases) {
        auto r = ProductQuantizer::try_with_chunk_offsets(c.d, c.nbits, c.offsets);
        ASSERT_TRUE(std::holds_alternative<std::string_view>(r)) << c.text;
        EXPECT_EQ(std::get<std::string_view>(r), c.text);
    }
}

// ---- codebook -----------------------------------------------------------------

TEST(PqCodebook, InstallationNormsFiniteFlagAndLayout) {
    ProductQuantizer pq = ProductQuantizer::with_nbits_balanced(10, 4, 4);
    EXPECT_FALSE(pq.has_valid_layout());
    EXPECT_EQ(assertion_text([&] { pq.set_centroids(std::vector<float>(10 * 16 - 1)); }),
              "assertion `left == right` failed: PQ centroids must hold d * ksub values\n  left: 159\n right: 160");
    EXPECT_TRUE(pq.centroids().empty());

    std::vector<float> book = gaussian(10 * 16, 3);
    pq.set_centroids(book);
    EXPECT_TRUE(pq.has_valid_layout());
    EXPECT_TRUE(pq.centroids_finite());
    ASSERT_EQ(pq.centroid_norms().size(), 4u * 16u);
    for (size_t j = 0; j < 4; ++j) {
        const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
        for (size_t c = 0; c < 16; ++c) {
            float s = 0.0f;
            for (size_t t = 0; t < w; ++t) s += book[lo * 16 + c * w + t] * book[lo * 16 + c * w + t];
            EXPECT_EQ(pq.centroid_norms()[j * 16 + c], s);
        }
    }
    EXPECT_TRUE(same_bits(pq.compute_centroid_norms(), pq.centroid_norms()));

    book[37] = std::numeric_limits<float>::quiet_NaN();
    pq.set_centroids(book);
    EXPECT_FALSE(pq.centroids_finite());
    EXPECT_TRUE(pq.has_valid_layout());
    book[37] = std::numeric_limits<float>::infinity();
    pq.set_centroids(book);
    EXPECT_FALSE(pq.centroids_finite());
    book[37] = 1.0f;
    pq.set_centroids(book);
    EXPECT_TRUE(pq.centroids_finite());
}

TEST(PqCodebook, TransposedLayout) {
    const ProductQuantizer pq = random_codebook(ProductQuantizer::with_nbits_balanced(10, 4, 8), 4);
    const auto& t = pq.transposed_codebook();
    ASSERT_EQ(t.stride, 3u * 256u);
    ASSERT_EQ(t.values.size(), 4u * 3u * 256u);
    for (size_t j = 0; j < 4; ++j) {
        const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
        for (size_t s = 0; s < 3; ++s) {
            for (size_t c = 0; c < 256; ++c) {
                const float want = s < w ? pq.centroids()[lo * 256 + c * w + s] : 0.0f;
                ASSERT_EQ(t.values[j * t.stride + s * 256 + c], want) << j << " " << s << " " << c;
            }
        }
    }
    // Copies start without the cached copy and build their own.
    const ProductQuantizer copy = pq;
    EXPECT_NE(&copy.transposed_codebook(), &t);
    EXPECT_TRUE(same_bits(copy.transposed_codebook().values, t.values));
}

// ---- encoding and decoding ----------------------------------------------------------

// m = 5 one-dimensional chunks, 4-bit: codeword c of chunk j is 100 j + c.
TEST(PqEncode, NibbleOrderAndDecodeOfOddM) {
    ProductQuantizer pq = ProductQuantizer::with_nbits(5, 5, 4);
    std::vector<float> book(5 * 16);
    for (size_t j = 0; j < 5; ++j)
        for (size_t c = 0; c < 16; ++c) book[j * 16 + c] = static_cast<float>(100 * j + c);
    pq.set_centroids(book);
    const size_t want[5] = {3, 12, 0, 15, 9};
    std::vector<float> row(5);
    for (size_t j = 0; j < 5; ++j) row[j] = static_cast<float>(100 * j + want[j]) + 0.2f;
    for (bool scalar : {false, true}) {
        RestoreDetection restore;
        distance::force_scalar_for_testing(scalar);
        std::vector<uint8_t> codes(4, 0xAB);  // one byte more than the code
        pq.encode_batch(row, 1, std::span<uint8_t>(codes).first(3));
        EXPECT_EQ(codes, (std::vector<uint8_t>{0xC3, 0xF0, 0x09, 0xAB}));
        std::vector<uint8_t> blocked(3, 0xAB);
        pq.encode_batch_blocked(row, 1, blocked);
        EXPECT_EQ(blocked, std::vector<uint8_t>(codes.begin(), codes.begin() + 3));
    }
    std::vector<float> out(5, -1.0f);
    pq.decode(std::vector<uint8_t>{0xC3, 0xF0, 0x09}, out);
    EXPECT_EQ(out, (std::vector<float>{3, 112, 200, 315, 409}));
    // Chunk 4 comes from the low nibble of byte 2; the high nibble is ignored.
    pq.decode(std::vector<uint8_t>{0x00, 0x00, 0x7E}, out);
    EXPECT_EQ(out[4], 414.0f);
    for (size_t j = 0; j < 5; ++j) EXPECT_EQ(pq.code_value(std::vector<uint8_t>{0xC3, 0xF0, 0x09}, j), want[j]);
    EXPECT_EQ(assertion_text([&] { pq.decode(std::vector<uint8_t>{0, 0}, out); }),
              assertion_text([] { tavren::check_len(3, 2); }));
}

TEST(PqEncode, DecodeOfAnEightBitCodeWritesEveryDimension) {
    const ProductQuantizer pq = random_codebook(ProductQuantizer::with_nbits_balanced(7, 3, 8), 5);  // widths 3, 2, 2
    std::vector<float> out(8, std::numeric_limits<float>::quiet_NaN());
    pq.decode(std::vector<uint8_t>{0, 255, 17}, out);
    const auto book = pq.centroids();
    const std::vector<float> want = {book[0],           book[1],           book[2],          book[3 * 256 + 510],
                                     book[3 * 256 + 511], book[5 * 256 + 34], book[5 * 256 + 35]};
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 7), want);
    EXPECT_TRUE(std::isnan(out[7]));
}

// The quantizers of the encoder tests: 4-bit, 8-bit with a narrow chunk,
// 8-bit with the width-4 kernel and 8-bit with the generic kernel.
std::vector<ProductQuantizer> encoder_quantizers(uint32_t seed) {
    std::vector<ProductQuantizer> out;
    out.push_back(random_codebook(ProductQuantizer::with_nbits(16, 4, 4), seed));
    out.push_back(random_codebook(ProductQuantizer::with_nbits_balanced(11, 3, 8), seed + 1));  // 4, 4, 3
    out.push_back(random_codebook(ProductQuantizer::with_nbits(16, 4, 8), seed + 2));           // width 4
    out.push_back(random_codebook(ProductQuantizer::with_nbits_balanced(21, 2, 8), seed + 3));  // 11, 10
    return out;
}

TEST(PqEncode, EqualCodewordsGiveTheSmallerCodeFromEveryEncoder) {
    for (ProductQuantizer pq : encoder_quantizers(10)) {
        SCOPED_TRACE(pq.d());
        const std::vector<float> row = gaussian(pq.d(), 77, 0.1f);
        std::vector<float> book(pq.centroids().begin(), pq.centroids().end());
        for (float& v : book) v += 10.0f;  // every other codeword far away
        for (size_t j = 0; j < pq.m(); ++j) {
            const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
            for (size_t c : {3u, 7u})
                for (size_t t = 0; t < w; ++t) book[lo * pq.ksub() + c * w + t] = row[lo + t] + 0.25f;
        }
        pq.set_centroids(book);
        for (bool scalar : {false, true}) {
            RestoreDetection restore;
            distance::force_scalar_for_testing(scalar);
            for (EncoderPath path : paths_for(pq)) {
                const std::vector<uint8_t> code = encode_with(pq, path, row, 1);
                for (size_t j = 0; j < pq.m(); ++j) EXPECT_EQ(pq.code_value(code, j), 3u) << scalar;
            }
            std::vector<uint8_t> blocked(pq.code_size());
            pq.encode_batch_blocked(row, 1, blocked);
            for (size_t j = 0; j < pq.m(); ++j) EXPECT_EQ(pq.code_value(blocked, j), 3u);
        }
        // The kernels themselves, on the transposed block of chunk 0.
        if (pq.nbits() == 8) {
            const size_t w = pq.chunk_offsets()[1];
            const auto& t = pq.transposed_codebook();
            std::vector<float> scores(pq.ksub());
            const std::span<const float> block(t.values.data(), w * pq.ksub());
            for (auto kernel : {tavren::pq_kernels::ScoreKernel::Scalar, tavren::pq_kernels::ScoreKernel::Generic,
                                tavren::pq_kernels::ScoreKernel::D4}) {
                if (kernel != tavren::pq_kernels::ScoreKernel::Scalar && !distance::avx2_available()) continue;
                if (kernel == tavren::pq_kernels::ScoreKernel::D4 && w != 4) continue;
                EXPECT_EQ(tavren::pq_kernels::score_argmin(kernel, std::span<const float>(row).first(w), block,
                                                           pq.ksub(), scores),
                          3u);
            }
            EXPECT_EQ(assertion_text([&] {
                          tavren::pq_kernels::score_argmin(tavren::pq_kernels::ScoreKernel::Scalar,
                                                           std::span<const float>(row).first(w), block, pq.ksub(),
                                                           std::span<float>(scores).first(pq.ksub() - 1));
                      }),
                      "assertion failed: scores.len() >= ksub");
        }
    }
}

TEST(PqEncode, AllNanRowsEncodeAsZero) {
    for (const ProductQuantizer& pq : encoder_quantizers(20)) {
        const std::vector<float> rows(2 * pq.d(), std::numeric_limits<float>::quiet_NaN());
        for (bool scalar : {false, true}) {
            RestoreDetection restore;
            distance::force_scalar_for_testing(scalar);
            for (EncoderPath path : paths_for(pq)) {
                EXPECT_EQ(encode_with(pq, path, rows, 2), std::vector<uint8_t>(2 * pq.code_size(), 0))
                    << pq.d() << " " << static_cast<int>(path) << " " << scalar;
            }
        }
    }
    EXPECT_EQ(tavren::pq_kernels::nearest_codeword(std::vector<float>{
                  std::numeric_limits<float>::infinity(), tavren::kF32Max, std::numeric_limits<float>::quiet_NaN()}),
              0u);
}

// Away from near-ties (the direct and the expanded scores round differently)
// every encoder, on either kernel path, gives the same codes.
TEST(PqEncode, EncodersAgreeOnRandomData) {
    PoolGuard guard(4);
    for (const ProductQuantizer& pq : encoder_quantizers(30)) {
        SCOPED_TRACE(pq.d());
        const size_t n = 1500;  // several blocks of rows per task
        const std::vector<float> data = gaussian(n * pq.d(), 31);
        // Which (row, chunk) pairs have a clear winner, by double-precision distances.
        std::vector<std::vector<bool>> clear(n, std::vector<bool>(pq.m()));
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < pq.m(); ++j) {
                const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
                double best = 1e300, second = 1e300;
                for (size_t c = 0; c < pq.ksub(); ++c) {
                    double s = 0;
                    for (size_t t = 0; t < w; ++t) {
                        const double e = double(data[i * pq.d() + lo + t]) - pq.centroids()[lo * pq.ksub() + c * w + t];
                        s += e * e;
                    }
                    if (s < best) {
                        second = best;
                        best = s;
                    } else if (s < second) {
                        second = s;
                    }
                }
                clear[i][j] = second - best > 1e-4 * (1.0 + best);
            }
        }
        distance::force_scalar_for_testing(true);
        const std::vector<uint8_t> reference = encode_with(pq, EncoderPath::Canonical, data, n);
        distance::force_scalar_for_testing(false);
        RestoreDetection restore;
        size_t compared = 0;
        for (bool scalar : {false, true}) {
            distance::force_scalar_for_testing(scalar);
            std::vector<std::vector<uint8_t>> outputs;
            for (EncoderPath path : paths_for(pq)) outputs.push_back(encode_with(pq, path, data, n));
            std::vector<uint8_t> blocked(n * pq.code_size());
            pq.encode_batch_blocked(data, n, blocked);
            outputs.push_back(blocked);
            for (const auto& codes : outputs) {
                for (size_t i = 0; i < n; ++i) {
                    for (size_t j = 0; j < pq.m(); ++j) {
                        if (!clear[i][j]) continue;
                        ++compared;
                        ASSERT_EQ(pq.code_value({codes.data() + i * pq.code_size(), pq.code_size()}, j),
                                  pq.code_value({reference.data() + i * pq.code_size(), pq.code_size()}, j))
                            << "row " << i << " chunk " << j << " scalar " << scalar;
                    }
                }
            }
        }
        EXPECT_GT(compared, n * pq.m());
        // The canonical and the matrix-product encoders share their scores bit
        // for bit, near-ties included; so do the transposed kernels and their twin.
        if (pq.nbits() == 8 && pq.max_chunk_width() >= 4 && pq.chunk_offsets()[pq.m()] == pq.d() &&
            paths_for(pq).size() == 3) {
            EXPECT_EQ(encode_with(pq, EncoderPath::Sgemm, data, n), encode_with(pq, EncoderPath::Canonical, data, n));
            const auto fast = encode_with(pq, EncoderPath::Transposed, data, n);
            distance::force_scalar_for_testing(true);
            EXPECT_EQ(encode_with(pq, EncoderPath::Transposed, data, n), fast);
            EXPECT_EQ(encode_with(pq, EncoderPath::Sgemm, data, n), reference);
        }
    }
}

TEST(PqEncode, BlockedEncoderChoiceAndFallbacks) {
    RestoreDetection restore;
    const auto qs = encoder_quantizers(40);
    const std::vector<float> data = gaussian(300 * 21, 41);
    struct Case {
        size_t index;
        bool scalar;
        bool infinite;
        EncoderPath path;
    };
    const Case cases[] = {
        {0, false, false, EncoderPath::Canonical},  // 4-bit
        {1, false, false, EncoderPath::Canonical},  // a chunk of width 3
        {2, true, false, EncoderPath::Sgemm},
        {2, true, true, EncoderPath::Canonical},  // no AVX2 and a codebook holding an infinity
        {3, true, false, EncoderPath::Sgemm},
    };
    for (const Case& c : cases) {
        ProductQuantizer pq = qs[c.index];
        if (c.infinite) {
            std::vector<float> book(pq.centroids().begin(), pq.centroids().end());
            book[100] = std::numeric_limits<float>::infinity();
            pq.set_centroids(book);
        }
        distance::force_scalar_for_testing(c.scalar);
        EXPECT_EQ(pq.blocked_encoder_path(), c.path) << c.index;
        std::vector<uint8_t> blocked(300 * pq.code_size());
        pq.encode_batch_blocked(data, 300, blocked);
        EXPECT_EQ(blocked, encode_with(pq, EncoderPath::Canonical, data, 300)) << c.index;
    }
    distance::force_scalar_for_testing(false);
    if (distance::avx2_available()) {
        EXPECT_EQ(qs[2].blocked_encoder_path(), EncoderPath::Transposed);
    }
    // n = 0 writes nothing.
    std::vector<uint8_t> none;
    qs[2].encode_batch_blocked({}, 0, none);
    qs[2].encode_batch({}, 0, none);
    // Short buffers are assertions.
    std::vector<uint8_t> short_codes(2 * qs[2].code_size() - 1);
    EXPECT_THROW(qs[2].encode_batch_blocked(data, 2, short_codes), AssertionFailure);
    EXPECT_THROW(qs[2].encode_batch(std::span<const float>(data).first(15), 1, short_codes), AssertionFailure);
}

// The narrow nearest-codeword kernel against costs from the matrix product,
// on both kernel paths, ties and NaN included.
TEST(PqKernels, NearestExpandedMatchesTheProductCosts) {
    RestoreDetection restore;
    for (size_t w : {1u, 3u, 4u, 7u, 8u, 9u, 12u, 16u, 17u}) {
        for (size_t k : {1u, 7u, 8u, 13u, 256u}) {
            std::vector<float> book = gaussian(k * w, static_cast<uint32_t>(w * 1000 + k));
            if (k > 9) std::copy_n(book.begin() + 2 * w, w, book.begin() + 9 * w);  // codewords 2 and 9 equal
            std::vector<float> transposed(w * (k + 3), -7.0f);                     // stride k + 3
            for (size_t c = 0; c < k; ++c)
                for (size_t t = 0; t < w; ++t) transposed[t * (k + 3) + c] = book[c * w + t];
            std::vector<float> norms(k);
            for (size_t c = 0; c < k; ++c) norms[c] = distance::fvec_norm_l2sqr({book.data() + c * w, w});
            for (int trial = 0; trial < 12; ++trial) {
                std::vector<float> x = gaussian(w, static_cast<uint32_t>(trial + 100 * w + k));
                if (trial == 0 && k > 9) std::copy_n(book.begin() + 2 * w, w, x.begin());
                if (trial == 1) x[0] = std::numeric_limits<float>::quiet_NaN();
                const float xn = distance::fvec_norm_l2sqr(x);
                std::vector<float> dots(k);
                tavren::blas::sgemm_a_bt(1, k, w, 1.0f, x, book, 0.0f, dots);
                for (bool clamp : {false, true}) {
                    float want_best = tavren::kF32Max;
                    size_t want = 0;
                    for (size_t c = 0; c < k; ++c) {
                        float v = (norms[c] + xn) - (dots[c] + dots[c]);
                        if (clamp && !(v > 0.0f)) v = 0.0f;
                        if (v < want_best) {
                            want_best = v;
                            want = c;
                        }
                    }
                    for (bool scalar : {false, true}) {
                        distance::force_scalar_for_testing(scalar);
                        float best = -1.0f;
                        const size_t got =
                            tavren::pq_kernels::nearest_expanded_l2(x, transposed, k + 3, k, norms, xn, clamp, best);
                        ASSERT_EQ(got, want) << w << " " << k << " " << trial << " " << clamp << " " << scalar;
                        ASSERT_TRUE(same_bits(std::vector<float>{best}, std::vector<float>{want_best}));
                    }
                }
            }
        }
    }
}

// ---- distance tables -------------------------------------------------------------------

double reference_distance(std::span<const float> q, std::span<const float> x, uint32_t metric) {
    double s = 0;
    for (size_t t = 0; t < q.size(); ++t) {
        if (metric == tavren::kMetricInnerProduct) {
            s -= double(q[t]) * x[t];
        } else {
            const double e = double(q[t]) - x[t];
            s += e * e;
        }
    }
    return s;
}

TEST(PqTable, SumsEqualTheDistanceToTheDecodedCode) {
    RestoreDetection restore;
    for (const ProductQuantizer& pq :
         {random_codebook(ProductQuantizer::with_nbits(16, 4, 8), 50),
          random_codebook(ProductQuantizer::with_nbits(32, 16, 8), 51),  // 16 chunks: the 8-lane table sum
          random_codebook(ProductQuantizer::with_nbits(16, 8, 4), 52),
          random_codebook(ProductQuantizer::with_nbits_balanced(10, 4, 8), 53),
          random_codebook(ProductQuantizer::with_nbits_balanced(9, 5, 4), 54)}) {
        SCOPED_TRACE(pq.d());
        for (bool scalar : {false, true}) {
            distance::force_scalar_for_testing(scalar);
            for (uint32_t metric : {tavren::kMetricL2, tavren::kMetricInnerProduct, tavren::kMetricCosine}) {
                std::vector<float> queries = gaussian(20 * pq.d(), 55);
                std::vector<float> rows = gaussian(20 * pq.d(), 56);
                if (metric == tavren::kMetricCosine) {
                    queries = distance::preprocess_vectors(queries, 20, pq.d(), metric);
                    rows = distance::preprocess_vectors(rows, 20, pq.d(), metric);
                }
                std::vector<uint8_t> codes(20 * pq.code_size());
                pq.encode_batch(rows, 20, codes);
                std::vector<float> table(pq.m() * pq.ksub());
                std::vector<float> decoded(pq.d());
                for (size_t qi = 0; qi < 20; ++qi) {
                    const std::span<const float> q(queries.data() + qi * pq.d(), pq.d());
                    pq.compute_distance_table(q, metric, table);
                    for (size_t r = 0; r < 20; ++r) {
                        const std::span<const uint8_t> code(codes.data() + r * pq.code_size(), pq.code_size());
                        pq.decode(code, decoded);
                        const double want = reference_distance(q, decoded, metric);
                        const double got = pq.table_distance(table, code);
                        ASSERT_NEAR(got, want, 1e-4 * std::max(1.0, std::fabs(want))) << metric << " " << scalar;
                    }
                }
            }
        }
    }
}

TEST(PqTable, MetricEntriesAndBufferBounds) {
    const ProductQuantizer pq = random_codebook(ProductQuantizer::with_nbits_balanced(10, 4, 8), 60);
    const std::vector<float> q = gaussian(10, 61);
    const size_t cells = pq.m() * pq.ksub();
    std::vector<float> ip(cells), neg(cells), l2(cells), cosine(cells);
    pq.compute_inner_product_table(q, ip);
    pq.compute_distance_table(q, tavren::kMetricInnerProduct, neg);
    pq.compute_distance_table(q, tavren::kMetricL2, l2);
    pq.compute_distance_table(q, tavren::kMetricCosine, cosine);
    for (size_t i = 0; i < cells; ++i) EXPECT_EQ(neg[i], -ip[i]);
    EXPECT_TRUE(same_bits(l2, cosine));
    for (float v : l2) EXPECT_GE(v, 0.0f);

    // A zero dot product is stored as negative zero.
    const std::vector<float> zero(10, 0.0f);
    pq.compute_distance_table(zero, tavren::kMetricInnerProduct, neg);
    EXPECT_TRUE(std::signbit(neg[5]));
    EXPECT_EQ(neg[5], 0.0f);

    // A query equal to a codeword: that entry is 0 or a tiny positive residue.
    std::vector<float> on(10);
    const auto book = pq.centroids();
    for (size_t j = 0; j < 4; ++j) {
        const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
        for (size_t t = 0; t < w; ++t) on[lo + t] = book[lo * 256 + 9 * w + t];
    }
    pq.compute_distance_table(on, tavren::kMetricL2, l2);
    for (size_t j = 0; j < 4; ++j) {
        EXPECT_GE(l2[j * 256 + 9], 0.0f);
        EXPECT_LT(l2[j * 256 + 9], 1e-5f);
    }

    // Longer buffers keep their extra values; shorter ones are assertions.
    std::vector<float> longer(cells + 3, 42.0f);
    pq.compute_distance_table(q, tavren::kMetricL2, longer);
    EXPECT_EQ(longer[cells], 42.0f);
    EXPECT_EQ(longer[cells + 2], 42.0f);
    std::vector<float> shorter(cells - 1);
    EXPECT_THROW(pq.compute_distance_table(q, tavren::kMetricL2, shorter), AssertionFailure);
    EXPECT_THROW(pq.compute_inner_product_table(q, shorter), AssertionFailure);
}

// Every entry has the bits of its definition: the chunk's inner products as
// fvec_ip_batch sums them, then the metric's formula, at every chunk width
// (four-value chunks take the fused kernel) on both kernel paths, zero and
// non-finite codewords included.
TEST(PqTable, EntriesHaveTheBitsOfTheBatchProductAndTheFormula) {
    RestoreDetection restore;
    // Codeword 0 of chunk 0 is zero, codeword 1 infinite, codeword 2 large
    // enough that its norm overflows.
    auto book = [](ProductQuantizer pq, uint32_t seed) {
        std::vector<float> values = gaussian(pq.d() * pq.ksub(), seed);
        const size_t w = pq.chunk_offsets()[1];
        for (size_t t = 0; t < w; ++t) {
            values[t] = 0.0f;
            values[w + t] = std::numeric_limits<float>::infinity();
            values[2 * w + t] = 3e19f;
        }
        pq.set_centroids(values);
        return pq;
    };
    for (const ProductQuantizer& pq :
         {book(ProductQuantizer::with_nbits(784, 196, 8), 90),          // four-value chunks
          book(ProductQuantizer::with_nbits_balanced(23, 4, 8), 91),    // 6, 6, 6, 5
          book(ProductQuantizer::with_nbits_balanced(10, 4, 4), 92),    // 3, 3, 2, 2
          book(ProductQuantizer::with_nbits(7, 1, 8), 93),              // one chunk of 7
          book(ProductQuantizer::with_nbits(32, 4, 8), 94),             // 8 wide: the batch
          book(ProductQuantizer::with_nbits(16, 4, 4), 96)}) {          // four-value chunks, 4-bit
        SCOPED_TRACE(pq.d());
        const std::vector<float> q = gaussian(pq.d(), 95);
        for (bool scalar : {false, true}) {
            distance::force_scalar_for_testing(scalar);
            for (uint32_t metric : {tavren::kMetricL2, tavren::kMetricInnerProduct}) {
                std::vector<float> table(pq.m() * pq.ksub(), 42.0f);
                pq.compute_distance_table(q, metric, table);
                // The dimension-major form reads its own copy of the codebook
                // (four-value chunks, AVX2 only) and gives the same bits.
                const bool all_four = pq.d() == 4 * pq.m();
                EXPECT_EQ(pq.distance_table_by_dimension(), all_four && !scalar && distance::avx2_available());
                std::vector<float> by_dimension(pq.m() * pq.ksub() + 1, 42.0f);
                pq.compute_distance_table_by_dimension(q, metric, std::span<float>(by_dimension).first(table.size()));
                ASSERT_TRUE(same_bits(table, std::span<const float>(by_dimension).first(table.size())))
                    << "metric " << metric << " scalar " << scalar;
                EXPECT_EQ(by_dimension.back(), 42.0f);
                for (size_t j = 0; j < pq.m(); ++j) {
                    const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
                    const std::span<const float> qj = std::span<const float>(q).subspan(lo, w);
                    std::vector<float> ip(pq.ksub());
                    distance::fvec_ip_batch(qj, pq.centroids().subspan(lo * pq.ksub(), pq.ksub() * w), w, pq.ksub(),
                                            ip);
                    const float qn = distance::fvec_norm_l2sqr(qj);
                    for (size_t c = 0; c < pq.ksub(); ++c) {
                        const float want = metric == tavren::kMetricInnerProduct
                                               ? -ip[c]
                                               : distance::expanded_l2(pq.centroid_norms()[j * pq.ksub() + c], qn, ip[c]);
                        ASSERT_TRUE(same_bits({&want, 1}, {&table[j * pq.ksub() + c], 1}))
                            << "chunk " << j << " codeword " << c << " metric " << metric << " scalar " << scalar;
                    }
                }
            }
        }
    }
}

TEST(PqTable, SubDistancesAreTheEncodersScores) {
    const ProductQuantizer pq = random_codebook(ProductQuantizer::with_nbits_balanced(11, 3, 8), 62);  // 4, 4, 3
    const std::vector<float> row = gaussian(11, 63);
    std::vector<float> out(256);
    for (size_t j = 0; j < 3; ++j) {
        pq.compute_sub_l2_distances(row, j, out);
        const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
        for (size_t c = 0; c < 256; ++c) {
            const double want = reference_distance(std::span<const float>(row).subspan(lo, w),
                                                   pq.centroids().subspan(lo * 256 + c * w, w), tavren::kMetricL2);
            ASSERT_NEAR(out[c], want, 1e-4 * (1.0 + want));
            if (w < 4) {
                ASSERT_EQ(out[c], distance::fvec_l2sqr(std::span<const float>(row).subspan(lo, w),
                                                       pq.centroids().subspan(lo * 256 + c * w, w)));
            }
        }
    }
}

// ---- training ---------------------------------------------------------------------------

tavren::kmeans::KMeansConfig small_config() {
    tavren::kmeans::KMeansConfig config;
    config.max_iter = 8;
    return config;
}

TEST(PqTrain, HundredRowsCycleThroughTheCodebook) {
    const std::vector<float> data = gaussian(100 * 12, 70);
    ProductQuantizer pq = ProductQuantizer::with_nbits_balanced(12, 5, 8);  // 3, 3, 2, 2, 2
    pq.train_hot_start_with_parallelism(data, 100, small_config(), false, 8);
    EXPECT_TRUE(pq.has_valid_layout());
    EXPECT_EQ(pq.centroid_norms().size(), 5u * 256u);
    for (size_t j = 0; j < 5; ++j) {
        const size_t lo = pq.chunk_offsets()[j], w = pq.chunk_offsets()[j + 1] - lo;
        for (size_t c = 0; c < 256; ++c)
            for (size_t t = 0; t < w; ++t)
                ASSERT_EQ(pq.centroids()[lo * 256 + c * w + t], data[(c % 100) * 12 + lo + t]) << j << " " << c;
    }
    // No rows: an all-zero codebook.
    ProductQuantizer empty = ProductQuantizer::with_nbits(4, 2, 4);
    empty.train_hot_start_with_parallelism({}, 0, small_config(), false, 1);
    EXPECT_EQ(std::vector<float>(empty.centroids().begin(), empty.centroids().end()), std::vector<float>(64, 0.0f));
    EXPECT_THROW(pq.train_hot_start_with_parallelism(std::span<const float>(data).first(100 * 12 - 1), 100,
                                                     small_config(), false, 8),
                 AssertionFailure);
}

std::vector<float> train_codebook(size_t pool_threads, size_t max_threads, bool hot_start,
                                  const ProductQuantizer* start = nullptr) {
    PoolGuard guard(pool_threads);
    const std::vector<float> data = gaussian(3000 * 16, 80);
    ProductQuantizer pq = start != nullptr ? *start : ProductQuantizer::with_nbits(16, 4, 8);
    pq.train_hot_start_with_parallelism(data, 3000, small_config(), hot_start, max_threads);
    return {pq.centroids().begin(), pq.centroids().end()};
}

TEST(PqTrain, CodebooksDoNotDependOnThreads) {
    const std::vector<float> one = train_codebook(1, 1, false);
    {
        // The scalar kernels (matrix-product costs in k-means) give the same bits.
        RestoreDetection restore;
        distance::force_scalar_for_testing(true);
        EXPECT_TRUE(same_bits(train_codebook(4, 4, false), one));
    }
    EXPECT_TRUE(same_bits(train_codebook(8, 8, false), one));
    EXPECT_TRUE(same_bits(train_codebook(8, 2, false), one));
    EXPECT_TRUE(same_bits(train_codebook(8, 0, false), one));
    // A hot start on an untrained quantizer is a cold start.
    EXPECT_TRUE(same_bits(train_codebook(8, 8, true), one));
    // A hot start from a codebook starts from it.
    ProductQuantizer trained = ProductQuantizer::with_nbits(16, 4, 8);
    trained.set_centroids(one);
    const std::vector<float> hot1 = train_codebook(1, 1, true, &trained);
    EXPECT_FALSE(same_bits(hot1, one));
    EXPECT_TRUE(same_bits(train_codebook(8, 8, true, &trained), hot1));
}

// Counts the distinct threads that enter one arena.
class ThreadCounter : public tbb::task_scheduler_observer {
public:
    explicit ThreadCounter(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
    ~ThreadCounter() override { observe(false); }
    void on_scheduler_entry(bool) override {
        std::lock_guard<std::mutex> lock(mutex_);
        seen().insert(std::this_thread::get_id());
    }
    static std::set<std::thread::id>& seen() {
        static std::set<std::thread::id> ids;
        return ids;
    }
    static std::mutex mutex_;
};
std::mutex ThreadCounter::mutex_;

TEST(PqTrain, ThreadCapConfinesTheTraining) {
    PoolGuard guard(8);
    std::atomic<size_t> arenas{0};
    pool::set_bounded_arena_observer_for_testing([&](tbb::task_arena& arena) {
        ++arenas;
        return std::make_unique<ThreadCounter>(arena);
    });
    struct Reset {
        ~Reset() { pool::set_bounded_arena_observer_for_testing({}); }
    } reset;

    const std::vector<float> data = gaussian(3000 * 16, 80);
    for (size_t cap : {2u, 0u, 1u}) {
        SCOPED_TRACE(cap);
        ThreadCounter::seen().clear();
        // Every thread that runs a task inside the capped call, as seen by the tasks.
        std::mutex m;
        std::set<std::thread::id> task_threads;
        size_t inner_threads = 0;
        pool::run_with_thread_cap(cap, [&] {
            inner_threads = pool::current_num_threads();
            pool::parallel_for(0, 64, 1, [&](size_t, size_t) {
                pool::parallel_for(0, 16, 1, [&](size_t, size_t) {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                    std::lock_guard<std::mutex> lock(m);
                    task_threads.insert(std::this_thread::get_id());
                });
            });
        });
        EXPECT_EQ(inner_threads, std::max<size_t>(cap, 1));
        EXPECT_LE(task_threads.size(), std::max<size_t>(cap, 1));

        ThreadCounter::seen().clear();
        ProductQuantizer pq = ProductQuantizer::with_nbits(16, 8, 8);
        pq.train_hot_start_with_parallelism(data, 3000, small_config(), false, cap);
        EXPECT_GE(ThreadCounter::seen().size(), 1u);
        EXPECT_LE(ThreadCounter::seen().size(), std::max<size_t>(cap, 1));
    }
    // At or above the pool size the training runs on the pool itself.
    const size_t before = arenas.load();
    ProductQuantizer pq = ProductQuantizer::with_nbits(16, 4, 8);
    pq.train_hot_start_with_parallelism(data, 3000, small_config(), false, 8);
    pq.train_hot_start_with_parallelism(data, 3000, small_config(), false, 64);
    EXPECT_EQ(arenas.load(), before);
    // A failure inside the capped call reaches the caller.
    EXPECT_THROW(pool::run_with_thread_cap(2, [] { pool::parallel_for(0, 8, 1, [](size_t, size_t) {
                                                       tavren::panic("inside");
                                                   }); }),
                 AssertionFailure);
}

}  // namespace
