#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "error.hpp"
#include "expect.hpp"
#include "index_config.hpp"

using namespace tavren;
using namespace tavren::index;

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kEightGiB = 8589934592;

using tavren::testing::expect_error;

VectorIndexConfig parse(const OptionPairs& options) { return VectorIndexConfig::from_options(options); }

std::string parse_error(const OptionPairs& options) {
    return tavren::testing::error_message([&] { (void)VectorIndexConfig::from_options(options); });
}

// Options with `extra` appended to a base set (later keys win over base keys of
// the same name, so a test can change one option of a valid set).
OptionPairs with(OptionPairs base, const OptionPairs& extra) {
    for (const auto& [k, v] : extra) {
        bool replaced = false;
        for (auto& [bk, bv] : base) {
            if (bk == k) {
                bv = v;
                replaced = true;
            }
        }
        if (!replaced) base.emplace_back(k, v);
    }
    return base;
}

const OptionPairs kFlat = {{"index.type", "ivf_flat"}, {"dimension", "128"}, {"metric", "l2"}, {"nlist", "1024"}};
const OptionPairs kPq = {{"index.type", "ivf_pq"}, {"dimension", "128"}, {"metric", "l2"}, {"nlist", "256"}};
const OptionPairs kRq = {{"index.type", "ivf_rq"}, {"dimension", "128"}, {"metric", "l2"}, {"nlist", "64"}};
const OptionPairs kDiskAnn = {{"index.type", "diskann"}, {"dimension", "128"}, {"metric", "l2"}};

DiskAnnBuildConfig balanced_compact() {
    DiskAnnBuildConfig c;
    c.max_degree = 64;
    c.build_search_list_size = 100;
    c.seed = 42;
    c.memory_budget_bytes = kEightGiB;
    c.alpha = 1.2f;
    c.raw_vector_encoding = RawVectorEncoding::F16;
    c.storage_layout = StorageLayout::Compact;
    c.build_distance = BuildDistance::ProductQuantized;
    return c;
}

}  // namespace

// ---- records ------------------------------------------------------------------

TEST(IndexConfigRecords, ResolvedViews) {
    const VectorIndexConfig pq{IvfPqConfig{128, 256, 16, 300, 200, 1, true, false, true}};
    ResolvedIndexConfig r = pq.resolved();
    EXPECT_EQ(r.pq_m, 16u);
    EXPECT_EQ(r.pq_bits, 8u);
    EXPECT_EQ(r.rq_bits, std::nullopt);
    EXPECT_EQ(r.max_points_per_centroid, 300u);
    EXPECT_EQ(r.pq_max_points_per_centroid, 200u);
    EXPECT_EQ(r.diskann, std::nullopt);
    EXPECT_EQ(r.nlist, 256u);
    EXPECT_EQ(r.metric, 1u);
    EXPECT_EQ(r.index_type, 1u);
    EXPECT_TRUE(r.use_opq);
    EXPECT_FALSE(r.approximate_coarse_assignment);
    EXPECT_TRUE(r.canonical_pq_encoding);
    EXPECT_EQ(pq.index_type(), IndexType::IvfPq);

    r = VectorIndexConfig{IvfRqConfig{100, 64, 3, 256, 2, true}}.resolved();
    EXPECT_EQ(r.rq_bits, 3u);
    EXPECT_EQ(r.pq_m, std::nullopt);
    EXPECT_EQ(r.pq_bits, std::nullopt);
    EXPECT_EQ(r.pq_max_points_per_centroid, std::nullopt);
    EXPECT_EQ(r.max_points_per_centroid, 256u);
    EXPECT_EQ(r.index_type, 4u);
    EXPECT_TRUE(r.approximate_coarse_assignment);
    EXPECT_FALSE(r.use_opq);

    const DiskAnnBuildConfig build = balanced_compact();
    r = VectorIndexConfig{DiskAnnConfig{128, 32, 4, 256, build, 0}}.resolved();
    EXPECT_EQ(r.nlist, 1u);
    EXPECT_EQ(r.pq_m, 32u);
    EXPECT_EQ(r.pq_bits, 4u);
    EXPECT_EQ(r.max_points_per_centroid, std::nullopt);
    EXPECT_EQ(r.pq_max_points_per_centroid, 256u);
    EXPECT_EQ(r.diskann, build);
    EXPECT_EQ(r.index_type, 5u);
    EXPECT_FALSE(r.approximate_coarse_assignment);
    EXPECT_FALSE(r.use_opq);
    EXPECT_FALSE(r.canonical_pq_encoding);

    ResolvedIndexConfig flat = VectorIndexConfig{IvfFlatConfig{64, 32, 128, 2, true}}.resolved();
    ResolvedIndexConfig sq = VectorIndexConfig{IvfSqConfig{64, 32, 128, 2, true}}.resolved();
    EXPECT_EQ(flat.index_type, 0u);
    EXPECT_EQ(sq.index_type, 6u);
    sq.index_type = 0;
    EXPECT_EQ(flat, sq);
    EXPECT_EQ(flat.pq_bits, std::nullopt);
    EXPECT_EQ(flat.max_points_per_centroid, 128u);
}

// ---- validation ---------------------------------------------------------------

TEST(IndexConfigValidation, ValidateConfig) {
    DiskAnnBuildConfig build = balanced_compact();
    DiskAnnBuildConfig no_budget = build;
    no_budget.memory_budget_bytes = 0;
    DiskAnnBuildConfig tiny_budget = build;
    tiny_budget.memory_budget_bytes = 1000;
    struct Case {
        VectorIndexConfig config;
        std::string message;  // empty: passes
    };
    const Case cases[] = {
        {{IvfFlatConfig{0, 0, 256, 0, true}}, "dimension must be greater than 0"},
        {{IvfFlatConfig{1, 0, 256, 0, true}}, "nlist must be greater than 0"},
        {{IvfFlatConfig{1, 1, 0, 0, true}}, "ivf.train.max-points-per-centroid must be greater than 0"},
        {{IvfSqConfig{1, uint64_t{1} << 33, uint64_t{1} << 31, 0, true}},
         "ivf.train.max-points-per-centroid times centroid count overflows usize"},
        {{IvfSqConfig{1, uint64_t{1} << 33, (uint64_t{1} << 31) - 1, 0, true}}, ""},
        {{IvfPqConfig{128, 16, 0, 256, 256, 0, false, true, false}}, "m must be greater than 0"},
        {{IvfPqConfig{100, 16, 30, 256, 256, 0, false, true, false}}, "dimension 100 must be divisible by m 30"},
        {{IvfPqConfig{128, 16, 32, 256, 0, 0, false, true, false}},
         "pq.train.max-points-per-centroid must be greater than 0"},
        // The PQ training cap is per centroid x 256 codewords.
        {{IvfPqConfig{128, 16, 32, 256, uint64_t{1} << 56, 0, false, true, false}},
         "pq.train.max-points-per-centroid times centroid count overflows usize"},
        {{IvfPqConfig{128, 16, 32, 256, (uint64_t{1} << 56) - 1, 0, false, true, false}}, ""},
        {{IvfRqConfig{128, 16, 0, 256, 0, true}}, "rq.bits must be in 1..=8, got 0"},
        {{IvfRqConfig{128, 16, 9, 256, 0, true}}, "rq.bits must be in 1..=8, got 9"},
        {{IvfRqConfig{128, 16, 1, 256, 0, true}}, ""},
        {{IvfRqConfig{128, 16, 8, 256, 0, true}}, ""},
        {{DiskAnnConfig{0, 16, 8, 256, build, 0}}, "dimension must be greater than 0"},
        {{DiskAnnConfig{128, 16, 8, 256, build, 0}}, ""},
        {{DiskAnnConfig{128, 129, 8, 256, build, 0}}, "DiskANN pq.m 129 must not exceed dimension 128"},
        {{DiskAnnConfig{128, 16, 8, 256, no_budget, 0}}, "DiskANN memory budget must be greater than 0"},
        {{DiskAnnConfig{128, 16, 8, 256, tiny_budget, 0}},
         "DiskANN memory budget cannot fit minimum PQ training: 1000 bytes is below the estimated one-worker PQ "
         "training peak"},
        {{DiskAnnConfig{128, 16, 8, 0, build, 0}}, "pq.train.max-points-per-centroid must be greater than 0"},
        // 4-bit codes: 16 codewords.
        {{DiskAnnConfig{128, 16, 4, uint64_t{1} << 60, build, 0}},
         "pq.train.max-points-per-centroid times centroid count overflows usize"},
        {{DiskAnnConfig{128, 16, 4, uint64_t{1} << 59, build, 0}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.message.empty()) {
            EXPECT_NO_THROW(validate_config(c.config));
        } else {
            expect_error([&] { validate_config(c.config); }, c.message);
        }
    }
    EXPECT_EQ(validate_positive(3, "top_k"), 3u);
    expect_error([] { validate_positive(0, "top_k"); }, "top_k must be greater than 0");
}

TEST(IndexConfigValidation, PqCodeRatio) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double subnormal = std::numeric_limits<double>::denorm_min();
    EXPECT_NO_THROW(validate_pq_code_ratio(8, 0.25));
    EXPECT_NO_THROW(validate_pq_code_ratio(4, 0.125));
    EXPECT_NO_THROW(validate_pq_code_ratio(8, subnormal));
    expect_error([] { validate_pq_code_ratio(4, 0.25); }, "pq.code-ratio must be finite and in (0, 0.125] for 4-bit PQ");
    expect_error([] { validate_pq_code_ratio(8, std::nextafter(0.25, 1.0)); },
                 "pq.code-ratio must be finite and in (0, 0.25] for 8-bit PQ");
    for (double bad : {0.0, -0.0, -0.1, inf, -inf, nan}) {
        expect_error([&] { validate_pq_code_ratio(8, bad); }, "pq.code-ratio must be finite and in (0, 0.25] for 8-bit PQ");
        expect_error([&] { validate_pq_code_ratio(4, bad); }, "pq.code-ratio must be finite and in (0, 0.125] for 4-bit PQ");
    }
    expect_error([] { validate_pq_code_ratio(16, 0.1); }, "pq.bits must be 4 or 8, got 16");
    expect_error([&] { validate_pq_code_ratio(0, nan); }, "pq.bits must be 4 or 8, got 0");
}

TEST(IndexConfigValidation, PersistedSizeObjective) {
    DiskAnnBuildConfig diskann = balanced_compact();
    const VectorIndexConfig flat{IvfFlatConfig{128, 1024, 256, 0, true}};
    const VectorIndexConfig pq{IvfPqConfig{128, 256, 16, 256, 256, 0, false, true, false}};
    const VectorIndexConfig pq_opq{IvfPqConfig{128, 256, 16, 256, 256, 0, true, true, false}};
    const VectorIndexConfig sq{IvfSqConfig{128, 256, 256, 0, true}};
    const VectorIndexConfig rq1{IvfRqConfig{100, 16, 1, 256, 0, true}};
    const VectorIndexConfig rq4{IvfRqConfig{100, 16, 4, 256, 0, true}};
    const VectorIndexConfig disk{DiskAnnConfig{128, 32, 8, 256, diskann, 0}};
    const std::optional<uint64_t> none;

    struct Case {
        const VectorIndexConfig* config;
        std::optional<uint64_t> expected;
        std::string name;
        uint64_t total, row, amortized;
    };
    const Case cases[] = {
        {&flat, none, "ivf_flat", 522, 522, 0},
        // F = 4 x 1024 x 128 + 24 x 1024 = 548864 over a million rows: 1 byte.
        {&flat, 1000000, "ivf_flat", 523, 522, 1},
        {&flat, 548864, "ivf_flat", 523, 522, 1},
        {&flat, 548863, "ivf_flat", 524, 522, 2},
        // F = 131072 + 6144 + 1024 x 128 = 268288.
        {&pq, 1000, "ivf_pq", 295, 26, 269},
        {&pq_opq, 1000, "ivf_pq", 360, 26, 334},  // + 4 x 128 x 128
        // F = 131072 + 6144 + 8 x 256 x 128 = 399360.
        {&sq, 1000, "ivf_sq", 538, 138, 400},
        {&rq1, none, "ivf_rq", 34, 34, 0},  // P = 128: 16 + 8 + 10
        {&rq4, none, "ivf_rq", 94, 94, 0},  // 64 + 20 + 10
        // f16, m 32, 8 bits, degree 64: 256 + 32 + 256 + 30; F = 4 x 128 x 256.
        {&disk, none, "diskann", 574, 574, 0},
        {&disk, 1000, "diskann", 706, 574, 132},
        {&disk, 0, "diskann", 574, 574, 0},  // a zero count spreads nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.total));
        EXPECT_NO_THROW(validate_persisted_size_objective(*c.config, c.expected, c.total));
        expect_error([&] { validate_persisted_size_objective(*c.config, c.expected, c.total - 1); },
                     fmt::format("max-bytes-per-vector {} cannot be satisfied by {}: estimated persisted size is {} "
                                 "bytes per vector ({} row bytes + {} amortized fixed bytes)",
                                 c.total - 1, c.name, c.total, c.row, c.amortized));
    }
    expect_error([&] { validate_persisted_size_objective(flat, none, 521); },
                 "max-bytes-per-vector 521 cannot be satisfied by ivf_flat: estimated persisted size is 522 bytes per "
                 "vector (522 row bytes + 0 amortized fixed bytes)");
}

TEST(IndexConfigValidation, PersistedSizeOverflows) {
    const uint64_t p31 = uint64_t{1} << 31, p62 = uint64_t{1} << 62;
    DiskAnnBuildConfig build = balanced_compact();
    DiskAnnBuildConfig wide = build;
    wide.max_degree = p62 - 2;
    DiskAnnBuildConfig edge = build;
    edge.max_degree = p62 - 3;
    struct Case {
        VectorIndexConfig config;
        std::optional<uint64_t> expected;
        std::string message;
    };
    const Case cases[] = {
        {{IvfFlatConfig{p31, p31, 1, 0, true}}, std::nullopt, "persisted centroid size estimate overflows usize"},
        {{IvfFlatConfig{0, p62, 1, 0, true}}, std::nullopt, "persisted list metadata estimate overflows usize"},
        {{IvfFlatConfig{p62 - 2, 0, 1, 0, true}}, std::nullopt, "IVF-FLAT row byte estimate overflows usize"},
        {{IvfPqConfig{uint64_t{1} << 54, 0, 1, 1, 1, 0, false, true, false}}, std::nullopt,
         "IVF-PQ codebook estimate overflows usize"},
        {{IvfPqConfig{p31, 1, 1, 1, 1, 0, true, true, false}}, std::nullopt, "OPQ matrix estimate overflows usize"},
        {{IvfPqConfig{8, 1, kU64Max - 9, 1, 1, 0, false, true, false}}, std::nullopt,
         "IVF-PQ row byte estimate overflows usize"},
        {{IvfPqConfig{p31 - 1, 1, 1, 1, 1, 0, true, true, false}}, std::nullopt,
         "persisted fixed-size estimate overflows usize"},
        {{IvfPqConfig{8, 1, kU64Max - 10, 1, 1, 0, false, true, false}}, 1,
         "persisted per-vector estimate overflows usize"},
        {{IvfRqConfig{uint64_t{1} << 63, 0, 8, 1, 0, true}}, std::nullopt, "IVF-RQ code estimate overflows usize"},
        {{IvfSqConfig{kU64Max - 10, 0, 1, 0, true}}, std::nullopt, "IVF-SQ row byte estimate overflows usize"},
        {{IvfSqConfig{p31, uint64_t{1} << 30, 1, 0, true}}, std::nullopt,
         "persisted fixed-size estimate overflows usize"},
        {{DiskAnnConfig{p62 - 1, 1, 8, 1, build, 0}}, std::nullopt, "DiskANN codebook estimate overflows usize"},
        {{DiskAnnConfig{8, p62, 4, 1, build, 0}}, std::nullopt, "DiskANN PQ row byte estimate overflows usize"},
        {{DiskAnnConfig{8, 8, 8, 1, wide, 0}}, std::nullopt, "DiskANN adjacency row byte estimate overflows usize"},
        {{DiskAnnConfig{8, 8, 8, 1, edge, 0}}, std::nullopt, "DiskANN persisted row byte estimate overflows usize"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        expect_error([&] { validate_persisted_size_objective(c.config, c.expected, kU64Max); }, c.message);
    }
}

// ---- value parsers ------------------------------------------------------------

TEST(OptionParsers, UnicodeTrim) {
    EXPECT_EQ(trim_unicode_whitespace(" \t\n\v\f\rnlist \r\n"), "nlist");
    EXPECT_EQ(trim_unicode_whitespace("\xC2\xA0nlist\xE3\x80\x80"), "nlist");           // U+00A0, U+3000
    EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\xA8\xC2\x85x y\xE2\x81\x9F"), "x y");  // U+2028, U+0085, U+205F
    EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // U+200B is not white space
    EXPECT_EQ(trim_unicode_whitespace("   "), "");
    EXPECT_EQ(trim_unicode_whitespace(""), "");
    EXPECT_EQ(trim_unicode_whitespace("\xFF "), "\xFF");
}

TEST(OptionParsers, Integers) {
    struct Case {
        const char* text;
        std::optional<uint64_t> value;
    };
    const Case cases[] = {
        {"128", 128},
        {"+128", 128},
        {"  128\t", 128},
        {"\xC2\xA0" "7", 7},
        {"0", 0},
        {"000123", 123},
        {"18446744073709551615", kU64Max},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {"1.0", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"+-1", std::nullopt},
        {"1 2", std::nullopt},
        {"1_000", std::nullopt},
        {"\xD9\xA3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.value) {
            EXPECT_EQ(parse_usize_option("dimension", c.text), *c.value);
        } else {
            expect_error([&] { parse_usize_option("dimension", c.text); }, "option 'dimension' must be a positive integer");
        }
    }
}

TEST(OptionParsers, Floats) {
    const float finf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* text;
        std::optional<double> value;  // NaN compares via isnan
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"0.5", 0.5},      {" 0.5 ", 0.5},   {"+0.5", 0.5},     {"-0.5", -0.5},   {"1.", 1.0},
        {".5", 0.5},       {"-.5e1", -5.0},  {"1e2", 100.0},    {"1E+2", 100.0},  {"25e-2", 0.25},
        {"007", 7.0},      {"inf", inf},     {"-Infinity", -inf}, {"INF", inf},   {"+iNfInItY", inf},
        {"nan", nan},      {"NaN", nan},     {"-nan", nan},
        {"", std::nullopt},     {".", std::nullopt},     {"e1", std::nullopt},   {"1e", std::nullopt},
        {"1e+", std::nullopt},  {"1.2.3", std::nullopt}, {"0x10", std::nullopt}, {"0x1p-1", std::nullopt},
        {"infinit", std::nullopt}, {"nana", std::nullopt}, {"1_0", std::nullopt}, {"--1", std::nullopt},
        {"+-1", std::nullopt},  {"1 0", std::nullopt},   {"1d", std::nullopt},   {"1f", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (!c.value) {
            expect_error([&] { parse_f64_option("pq.code-ratio", c.text); }, "option 'pq.code-ratio' must be a number");
            expect_error([&] { parse_f32_option("diskann.alpha", c.text); }, "option 'diskann.alpha' must be a number");
        } else if (std::isnan(*c.value)) {
            EXPECT_TRUE(std::isnan(parse_f64_option("k", c.text)));
            EXPECT_TRUE(std::isnan(parse_f32_option("k", c.text)));
        } else {
            EXPECT_EQ(parse_f64_option("k", c.text), *c.value);
            EXPECT_EQ(parse_f32_option("k", c.text), static_cast<float>(*c.value));
        }
    }
    // Out of range rounds to infinity or zero, keeping the sign.
    EXPECT_EQ(parse_f32_option("k", "1e39"), finf);
    EXPECT_EQ(parse_f32_option("k", "-3.4028236e38"), -finf);
    EXPECT_EQ(parse_f32_option("k", "3.4028235e38"), std::numeric_limits<float>::max());
    EXPECT_EQ(parse_f64_option("k", "1e400"), inf);
    EXPECT_EQ(parse_f64_option("k", "0.000001e99999999999999999999"), inf);
    EXPECT_EQ(parse_f32_option("k", "1e-50"), 0.0f);
    EXPECT_TRUE(std::signbit(parse_f32_option("k", "-1e-50")));
    EXPECT_EQ(parse_f64_option("k", "1e-400"), 0.0);
    EXPECT_EQ(parse_f64_option("k", "123456e-99999999999999999999"), 0.0);
    EXPECT_EQ(parse_f64_option("k", "0e99999"), 0.0);
    EXPECT_EQ(parse_f32_option("k", "1e-45"), std::numeric_limits<float>::denorm_min());
    // Rounded once to the target type: through double this lands exactly on
    // the midpoint between 1 and the next float and would round down to 1.
    EXPECT_EQ(parse_f32_option("k", "1.000000059604644775390625000000001"), 1.00000012f);
    EXPECT_EQ(parse_f32_option("k", "1.000000059604644775390625"), 1.0f);
    EXPECT_EQ(parse_f32_option("k", "0.1"), 0.1f);
}

TEST(OptionParsers, Bools) {
    EXPECT_TRUE(parse_bool_option("use-opq", " true "));
    EXPECT_FALSE(parse_bool_option("use-opq", "false"));
    for (const char* bad : {"True", "1", "yes", "", "auto"}) {
        expect_error([&] { parse_bool_option("use-opq", bad); }, "option 'use-opq' must be true or false");
    }
}

TEST(OptionMap, KeysTrimmedAndUnknownsSorted) {
    expect_error([] { ConfigOptions::build({{"nlist", "4"}, {" nlist", "8"}}); }, "duplicate option key 'nlist'");
    expect_error([] { ConfigOptions::build({{"\xC2\xA0", "x"}}); }, "option key must not be empty");
    expect_error([] { ConfigOptions::build({{"", "x"}}); }, "option key must not be empty");

    ConfigOptions options = ConfigOptions::build({{" a ", " v "}, {"Zeta", "1"}, {"beta", "2"}, {"B", "3"}});
    EXPECT_EQ(options.optional("a"), " v ");  // values kept as given
    EXPECT_EQ(options.optional(" a "), std::nullopt);
    EXPECT_EQ(options.optional("A"), std::nullopt);  // lookups are case-sensitive
    expect_error([&] { options.reject_unknown(); }, "unknown vector index option(s): B, Zeta, beta");
    (void)options.optional("Zeta");
    (void)options.optional("beta");
    (void)options.optional("B");
    EXPECT_NO_THROW(options.reject_unknown());
}

// ---- build options --------------------------------------------------------------

TEST(BuildOptions, DefaultsPerType) {
    EXPECT_EQ(parse(kFlat), (VectorIndexConfig{IvfFlatConfig{128, 1024, 256, 0, true}}));
    EXPECT_EQ(parse(with(kFlat, {{"index.type", "ivf_sq"}, {"metric", "cosine"}})),
              (VectorIndexConfig{IvfSqConfig{128, 1024, 256, 2, true}}));
    EXPECT_EQ(parse(kPq), (VectorIndexConfig{IvfPqConfig{128, 256, 32, 256, 256, 0, false, true, false}}));
    EXPECT_EQ(parse(kRq), (VectorIndexConfig{IvfRqConfig{128, 64, 4, 256, 0, true}}));
    EXPECT_EQ(parse(kDiskAnn), (VectorIndexConfig{DiskAnnConfig{128, 32, 8, 256, balanced_compact(), 0}}));
}

TEST(BuildOptions, ExplicitValues) {
    EXPECT_EQ(parse(with(kFlat, {{"dimension", "+64"},
                                 {"metric", " inner_product "},
                                 {"nlist", " 32 "},
                                 {"ivf.coarse-assignment", "exact"},
                                 {"ivf.train.max-points-per-centroid", "100"}})),
              (VectorIndexConfig{IvfFlatConfig{64, 32, 100, 1, false}}));
    EXPECT_EQ(parse(with(kPq, {{"pq.m", "16"},
                               {"use-opq", "true"},
                               {"ivf.pq-encoding", " canonical "},
                               {"pq.train.max-points-per-centroid", "64"},
                               {"ivf.coarse-assignment", " auto"}})),
              (VectorIndexConfig{IvfPqConfig{128, 256, 16, 256, 64, 0, true, true, true}}));
    EXPECT_EQ(parse(with(kRq, {{"rq.bits", "2"}})), (VectorIndexConfig{IvfRqConfig{128, 64, 2, 256, 0, true}}));

    DiskAnnBuildConfig build = balanced_compact();
    build.max_degree = 32;
    build.build_search_list_size = 40;
    build.seed = 7;
    build.memory_budget_bytes = 1 << 30;
    build.alpha = 1.5f;
    build.raw_vector_encoding = RawVectorEncoding::F32;
    build.storage_layout = StorageLayout::Interleaved;
    build.build_distance = BuildDistance::FullPrecision;
    EXPECT_EQ(parse(with(kDiskAnn, {{"pq.bits", "4"},
                                    {"pq.m", "64"},
                                    {"diskann.max-degree", "32"},
                                    {"diskann.build-search-list-size", "40"},
                                    {"diskann.seed", "+7"},
                                    {"diskann.memory-budget-bytes", "1073741824"},
                                    {"diskann.alpha", "1.5"},
                                    {"diskann.raw-vector-encoding", "f32"},
                                    {"diskann.storage-layout", " interleaved "},
                                    {"diskann.build-distance", "full_precision"},
                                    {"pq.train.max-points-per-centroid", "32"}})),
              (VectorIndexConfig{DiskAnnConfig{128, 64, 4, 32, build, 0}}));
}

TEST(BuildOptions, AutomaticNlist) {
    const OptionPairs base = {{"index.type", "ivf_flat"}, {"dimension", "8"}, {"metric", "l2"}};
    auto nlist_of = [](const OptionPairs& o) { return std::get<IvfFlatConfig>(parse(o).value).nlist; };
    EXPECT_EQ(nlist_of(with(base, {{"expected-vector-count", "1000000"}})), 1024u);
    EXPECT_EQ(nlist_of(with(base, {{"expected-vector-count", "1000"}, {"nlist", " auto "}})), 8u);
    EXPECT_EQ(nlist_of(with(base, {{"expected-vector-count", "1000"}, {"nlist", "5"}})), 5u);
    const std::string needs_count =
        "automatic nlist requires option 'expected-vector-count'; set nlist explicitly when the final row count is "
        "unknown";
    EXPECT_EQ(parse_error(base), needs_count);
    EXPECT_EQ(parse_error(with(base, {{"nlist", "auto"}})), needs_count);
    EXPECT_EQ(parse_error(with(base, {{"nlist", "Auto"}})), "option 'nlist' must be a positive integer");
}

TEST(BuildOptions, UseOpqFollowsTargetRecall) {
    auto opq = [](const OptionPairs& extra) { return std::get<IvfPqConfig>(parse(with(kPq, extra)).value).use_opq; };
    EXPECT_TRUE(opq({{"target-recall", "0.9"}}));
    EXPECT_FALSE(opq({{"target-recall", "0.89"}}));
    EXPECT_FALSE(opq({}));
    EXPECT_TRUE(opq({{"target-recall", "0.95"}, {"use-opq", " auto "}}));
    EXPECT_FALSE(opq({{"target-recall", "0.95"}, {"use-opq", "false"}}));
    EXPECT_TRUE(opq({{"use-opq", "true"}}));
    EXPECT_EQ(parse_error(with(kPq, {{"use-opq", "yes"}})), "option 'use-opq' must be true or false");
}

TEST(BuildOptions, DiskAnnPresetSelection) {
    auto build_of = [](const OptionPairs& extra) {
        return std::get<DiskAnnConfig>(parse(with(kDiskAnn, extra)).value).diskann;
    };
    EXPECT_EQ(build_of({{"target-recall", "0.97"}}).max_degree, 96u);  // high_recall
    EXPECT_EQ(build_of({{"target-recall", "0.97"}}).raw_vector_encoding, RawVectorEncoding::F32);
    EXPECT_EQ(build_of({{"target-recall", "0.86"}}).max_degree, 64u);  // balanced
    EXPECT_EQ(build_of({{"target-recall", "0.85"}}).max_degree, 48u);  // fast_build
    EXPECT_EQ(build_of({{"target-recall", "0.85"}}).alpha, 1.15f);
    EXPECT_EQ(build_of({{"target-recall", "0.97"}, {"diskann.build-preset", "fast_build"}}).max_degree, 48u);
    EXPECT_EQ(build_of({}).max_degree, 64u);

    // The build list follows a larger degree unless given.
    EXPECT_EQ(build_of({{"diskann.max-degree", "128"}}).build_search_list_size, 128u);
    EXPECT_EQ(build_of({{"diskann.max-degree", "32"}}).build_search_list_size, 100u);
    EXPECT_EQ(parse_error(with(kDiskAnn, {{"diskann.build-search-list-size", "50"}})),
              "DiskANN build search-list size 50 must be at least maximum degree 64");

    // Layout by profile: a 512-byte node fits a page under memory and local storage.
    EXPECT_EQ(build_of({{"deployment-profile", "memory"}}).storage_layout, StorageLayout::Interleaved);
    EXPECT_EQ(build_of({{"deployment-profile", " local "}}).storage_layout, StorageLayout::Interleaved);
    EXPECT_EQ(build_of({{"deployment-profile", "local_storage"}}).storage_layout, StorageLayout::Interleaved);
    EXPECT_EQ(build_of({{"deployment-profile", "remote"}}).storage_layout, StorageLayout::Compact);
    EXPECT_EQ(build_of({{"deployment-profile", "object_store"}}).storage_layout, StorageLayout::Compact);
    EXPECT_EQ(build_of({{"deployment-profile", "memory"}, {"diskann.storage-layout", " compact "}}).storage_layout,
              StorageLayout::Compact);
    EXPECT_EQ(build_of({{"deployment-profile", "memory"}, {"diskann.storage-layout", "auto"}}).storage_layout,
              StorageLayout::Interleaved);
    EXPECT_EQ(build_of({{"diskann.build-distance", "auto"}}).build_distance, BuildDistance::ProductQuantized);
}

TEST(BuildOptions, ByteBudgets) {
    // DiskANN, d = 128, 700 bytes: below 4 x 128 + 256 = 768, so 4-bit PQ; 542
    // bytes before PQ leave 158 code bytes, capped at one code per dimension.
    DiskAnnBuildConfig build = balanced_compact();
    EXPECT_EQ(parse(with(kDiskAnn, {{"max-bytes-per-vector", "700"}})),
              (VectorIndexConfig{DiskAnnConfig{128, 128, 4, 256, build, 0}}));
    // No room left for PQ: a code budget of 0 is a code ratio of 0.
    EXPECT_EQ(parse_error(with(kDiskAnn, {{"max-bytes-per-vector", "542"}})),
              "pq.code-ratio must be finite and in (0, 0.125] for 4-bit PQ");
    EXPECT_EQ(parse_error(with(kDiskAnn, {{"max-bytes-per-vector", "541"}})),
              "max-bytes-per-vector 541 cannot fit DiskANN raw vectors, graph edges, and row-ID metadata (542 bytes "
              "before PQ)");
    // high_recall keeps f32 at 4 x 96 + 4 x 128 = 896 bytes and switches to f16 below.
    EXPECT_EQ(parse_error(with(kDiskAnn, {{"max-bytes-per-vector", "896"}, {"diskann.build-preset", "high_recall"}})),
              "max-bytes-per-vector 896 cannot fit DiskANN raw vectors, graph edges, and row-ID metadata (926 bytes "
              "before PQ)");
    const auto f16 = std::get<DiskAnnConfig>(
        parse(with(kDiskAnn, {{"max-bytes-per-vector", "895"}, {"diskann.build-preset", "high_recall"}})).value);
    EXPECT_EQ(f16.diskann.raw_vector_encoding, RawVectorEncoding::F16);
    EXPECT_EQ(f16.pq_bits, 8u);
    EXPECT_EQ(f16.m, 128u);
    // An explicit "auto" does not apply the f16 rule.
    EXPECT_EQ(parse_error(with(kDiskAnn, {{"max-bytes-per-vector", "895"},
                                          {"diskann.build-preset", "high_recall"},
                                          {"diskann.raw-vector-encoding", "auto"}})),
              "max-bytes-per-vector 895 cannot fit DiskANN raw vectors, graph edges, and row-ID metadata (926 bytes "
              "before PQ)");

    // IVF-RQ: bits from the budget less the 10-byte row ID.
    auto rq_bits = [](const char* bytes) {
        return std::get<IvfRqConfig>(parse(with(kRq, {{"max-bytes-per-vector", bytes}})).value).bits;
    };
    EXPECT_EQ(rq_bits("158"), 8u);
    EXPECT_EQ(rq_bits("157"), 7u);
    EXPECT_EQ(parse_error(with(kRq, {{"max-bytes-per-vector", "33"}})),
              "max bytes per vector 23 cannot fit one-bit RQ codes and factors");
    EXPECT_EQ(parse_error(with(kRq, {{"max-bytes-per-vector", "10"}})),
              "max-bytes-per-vector 10 cannot fit the persisted row-ID encoding for IVF-RQ");
    EXPECT_EQ(parse_error(with(kRq, {{"max-bytes-per-vector", "10"}, {"rq.bits", "4"}})),
              "max-bytes-per-vector 10 cannot be satisfied by ivf_rq: estimated persisted size is 94 bytes per vector "
              "(94 row bytes + 0 amortized fixed bytes)");
    EXPECT_EQ(parse_error(with(kPq, {{"max-bytes-per-vector", "10"}, {"pq.m", "16"}})),
              "max-bytes-per-vector 10 cannot fit the persisted row-ID encoding for IVF-PQ");
    EXPECT_EQ(parse_error(with(kFlat, {{"max-bytes-per-vector", "521"}})),
              "max-bytes-per-vector 521 cannot be satisfied by ivf_flat: estimated persisted size is 522 bytes per "
              "vector (522 row bytes + 0 amortized fixed bytes)");
    EXPECT_EQ(parse_error(with(kFlat, {{"max-bytes-per-vector", "522"}, {"expected-vector-count", "1000000"}})),
              "max-bytes-per-vector 522 cannot be satisfied by ivf_flat: estimated persisted size is 523 bytes per "
              "vector (522 row bytes + 1 amortized fixed bytes)");
    EXPECT_NO_THROW(parse(with(kFlat, {{"max-bytes-per-vector", "523"}, {"expected-vector-count", "1000000"}})));
}

// Under a byte budget the nearest divisor of d can exceed the budget it was
// derived from: d = 96 with 40 code bytes is equally near 32 and 48, and 48
// (58 bytes per row) breaks the 50-byte limit that 32 (42 bytes) meets.
TEST(BuildOptions, IvfPqBudgetPicksADivisorThatFits) {
    const OptionPairs base = {{"index.type", "ivf_pq"}, {"dimension", "96"}, {"metric", "l2"}, {"nlist", "16"}};
    EXPECT_EQ(parse(with(base, {{"max-bytes-per-vector", "50"}})),
              (VectorIndexConfig{IvfPqConfig{96, 16, 32, 256, 256, 0, false, true, false}}));
    auto m_of = [&](const char* bytes) {
        return std::get<IvfPqConfig>(parse(with(base, {{"max-bytes-per-vector", bytes}})).value).m;
    };
    EXPECT_EQ(m_of("58"), 48u);  // exactly 48 code bytes
    EXPECT_EQ(m_of("57"), 32u);
    EXPECT_EQ(m_of("11"), 1u);
    EXPECT_EQ(m_of("1000"), 96u);  // at most one 8-bit code per dimension
    // With an explicit ratio the nearest divisor stays in force, and the size check judges it.
    EXPECT_EQ(parse_error(with(base, {{"max-bytes-per-vector", "50"}, {"pq.code-ratio", "0.125"}})),
              "max-bytes-per-vector 50 cannot be satisfied by ivf_pq: estimated persisted size is 58 bytes per vector "
              "(58 row bytes + 0 amortized fixed bytes)");
}

TEST(BuildOptions, Failures) {
    struct Case {
        OptionPairs options;
        std::string message;
    };
    const std::string integer_dimension = "option 'dimension' must be a positive integer";
    const std::string recall_range = "target-recall must be finite and in [0, 1]";
    const std::string seconds_range = "max-build-seconds must be finite and greater than 0";
    const Case cases[] = {
        {{}, "missing required option 'index.type'"},
        {{{"index.type", "ivf_flat"}}, "missing required option 'dimension'"},
        {{{"index.type", "ivf_flat"}, {"dimension", "8"}}, "missing required option 'metric'"},
        {with(kFlat, {{"index.type", "IVF_FLAT"}}),
         "unknown index.type 'IVF_FLAT'; expected ivf_flat, ivf_sq, ivf_pq, ivf_rq, or diskann"},
        {with(kFlat, {{"index.type", " hnsw\t"}}),
         "unknown index.type ' hnsw\t'; expected ivf_flat, ivf_sq, ivf_pq, ivf_rq, or diskann"},
        {with(kFlat, {{"metric", "L2 "}}), "unknown metric 'L2 '; expected l2, inner_product, or cosine"},
        {with(kFlat, {{"dimension", "-1"}}), integer_dimension},
        {with(kFlat, {{"dimension", "1.0"}}), integer_dimension},
        {with(kFlat, {{"dimension", "0x10"}}), integer_dimension},
        {with(kFlat, {{"dimension", "18446744073709551616"}}), integer_dimension},
        {with(kFlat, {{"dimension", ""}}), integer_dimension},
        {with(kFlat, {{"dimension", "0"}}), "dimension must be greater than 0"},
        {with(kFlat, {{"dimension", "0"}, {"nlist", "0"}}), "dimension must be greater than 0"},
        {with(kFlat, {{"nlist", "0"}}), "nlist must be greater than 0"},
        {with(kFlat, {{"nlist", "-4"}}), "option 'nlist' must be a positive integer"},
        {with(kFlat, {{"expected-vector-count", "0"}}), "expected-vector-count must be greater than 0"},
        {with(kFlat, {{"expected-vector-count", "many"}}), "option 'expected-vector-count' must be a positive integer"},
        {with(kFlat, {{"target-recall", "1.0000001"}}), recall_range},
        {with(kFlat, {{"target-recall", "nan"}}), recall_range},
        {with(kFlat, {{"target-recall", "inf"}}), recall_range},
        {with(kFlat, {{"target-recall", "1e400"}}), recall_range},
        {with(kFlat, {{"target-recall", "-0.5"}}), recall_range},
        {with(kFlat, {{"target-recall", "high"}}), "option 'target-recall' must be a number"},
        {with(kFlat, {{"target-recall", "0x1p-1"}}), "option 'target-recall' must be a number"},
        {with(kFlat, {{"max-bytes-per-vector", "-5"}}), "option 'max-bytes-per-vector' must be a positive integer"},
        {with(kFlat, {{"max-build-seconds", "0"}}), seconds_range},
        {with(kFlat, {{"max-build-seconds", "-1"}}), seconds_range},
        {with(kFlat, {{"max-build-seconds", "inf"}}), seconds_range},
        {with(kFlat, {{"max-build-seconds", "NaN"}}), seconds_range},
        {with(kFlat, {{"max-build-seconds", "1e-400"}}), seconds_range},
        {with(kFlat, {{"max-build-seconds", "soon"}}), "option 'max-build-seconds' must be a number"},
        {with(kFlat, {{"max-build-seconds", "60"}}),
         "max-build-seconds requires measured offline calibration through VectorIndexBuildPlan and "
         "select_calibrated_candidate"},
        {with(kFlat, {{"deployment-profile", "Local"}}),
         "option 'deployment-profile' must be auto, memory, local_storage, remote_storage, or object_store"},
        {with(kFlat, {{"ivf.coarse-assignment", "approximate"}}), "option 'ivf.coarse-assignment' must be auto or exact"},
        {with(kFlat, {{"ivf.pq-encoding", "auto"}}), "option 'ivf.pq-encoding' is only valid for IVF-PQ"},
        {with(kDiskAnn, {{"ivf.pq-encoding", "canonical"}}), "option 'ivf.pq-encoding' is only valid for IVF-PQ"},
        {with(kPq, {{"ivf.pq-encoding", "fast"}}), "option 'ivf.pq-encoding' must be auto or canonical"},
        {with(kFlat, {{"ivf.train.max-points-per-centroid", "0"}}),
         "ivf.train.max-points-per-centroid must be greater than 0"},
        {with(kPq, {{"pq.train.max-points-per-centroid", "0"}}), "pq.train.max-points-per-centroid must be greater than 0"},
        {with(kPq, {{"pq.bits", "4"}}), "unknown vector index option(s): pq.bits"},
        {with(kFlat, {{"rq.bits", "4"}}), "unknown vector index option(s): rq.bits"},
        {with(kFlat, {{"pq.m", "4"}, {"use-opq", "true"}}), "unknown vector index option(s): pq.m, use-opq"},
        {with(kDiskAnn, {{"use-opq", "true"}, {"nlist", "4"}, {"ivf.coarse-assignment", "exact"}}),
         "unknown vector index option(s): ivf.coarse-assignment, nlist, use-opq"},
        {with(kFlat, {{"zeta", "1"}, {"Zeta", "1"}, {"_x", "1"}}), "unknown vector index option(s): Zeta, _x, zeta"},
        // Unknown keys are reported after the type's own options parse, before the configuration checks.
        {with(kFlat, {{"dimension", "0"}, {"bogus", "1"}}), "unknown vector index option(s): bogus"},
        {with(kFlat, {{"nlist", "x"}, {"bogus", "1"}}), "option 'nlist' must be a positive integer"},
        {with(kPq, {{"dimension", "100"}, {"pq.m", "30"}}), "dimension 100 must be divisible by m 30"},
        {with(kPq, {{"pq.m", "0"}}), "m must be greater than 0"},
        {with(kPq, {{"pq.m", "16"}, {"pq.code-ratio", "0.3"}}), "pq.code-ratio must be finite and in (0, 0.25] for 8-bit PQ"},
        {with(kPq, {{"pq.code-ratio", "0"}}), "pq.code-ratio must be finite and in (0, 0.25] for 8-bit PQ"},
        {with(kPq, {{"pq.code-ratio", "ratio"}}), "option 'pq.code-ratio' must be a number"},
        {with(kRq, {{"rq.bits", "9"}}), "rq.bits must be in 1..=8, got 9"},
        {with(kRq, {{"rq.bits", "0"}}), "rq.bits must be in 1..=8, got 0"},
        {with(kDiskAnn, {{"diskann.build-preset", " balanced"}}),
         "diskann.build-preset must be fast_build, balanced, or high_recall, got ' balanced'"},
        {with(kDiskAnn, {{"diskann.seed", "-1"}}), "option 'diskann.seed' must be a non-negative integer"},
        {with(kDiskAnn, {{"diskann.seed", "18446744073709551616"}}), "option 'diskann.seed' must be a non-negative integer"},
        {with(kDiskAnn, {{"diskann.memory-budget-bytes", "8G"}}),
         "option 'diskann.memory-budget-bytes' must be a positive integer"},
        {with(kDiskAnn, {{"diskann.memory-budget-bytes", "0"}}), "DiskANN memory budget must be greater than 0"},
        {with(kDiskAnn, {{"diskann.memory-budget-bytes", "1000"}}),
         "DiskANN memory budget cannot fit minimum PQ training: 1000 bytes is below the estimated one-worker PQ "
         "training peak"},
        {with(kDiskAnn, {{"dimension", "0"}}), "dimension must be greater than 0"},
        {with(kDiskAnn, {{"dimension", "1025"}}), "DiskANN v1 dimension must be at most 1024"},
        {with(kDiskAnn, {{"pq.bits", "6"}}), "pq.bits must be 4 or 8, got 6"},
        {with(kDiskAnn, {{"pq.m", "200"}}), "DiskANN pq.m 200 must not exceed dimension 128"},
        {with(kDiskAnn, {{"diskann.max-degree", "many"}}), "option 'diskann.max-degree' must be a positive integer"},
        {with(kDiskAnn, {{"diskann.max-degree", "1024"}}),
         "DiskANN adjacency list size 4096 exceeds the v1 1023-neighbor page limit"},
        {with(kDiskAnn, {{"diskann.alpha", "fast"}}), "option 'diskann.alpha' must be a number"},
        {with(kDiskAnn, {{"diskann.alpha", "0.5"}}), "DiskANN alpha must be at least 1 and finite"},
        {with(kDiskAnn, {{"diskann.alpha", "nan"}}), "DiskANN alpha must be at least 1 and finite"},
        {with(kDiskAnn, {{"diskann.storage-layout", "paged"}}), "diskann.storage-layout must be auto, compact, or interleaved"},
        {with(kDiskAnn, {{"diskann.raw-vector-encoding", "bf16"}}), "diskann.raw-vector-encoding must be auto, f32, or f16"},
        {with(kDiskAnn, {{"diskann.build-distance", "pq"}}),
         "diskann.build-distance must be auto, full_precision, or product_quantized"},
        {with(kDiskAnn, {{"dimension", "2048"}, {"deployment-profile", "memory"}, {"diskann.storage-layout", "interleaved"}}),
         "DiskANN v1 dimension must be at most 1024"},
        {{{"nlist", "4"}, {" nlist", "8"}}, "duplicate option key 'nlist'"},
        {{{"index.type", "ivf_flat"}, {"\t ", "x"}}, "option key must not be empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(parse_error(c.options), c.message);
    }
}

TEST(BuildOptions, PlanKeepsTheStatedGoals) {
    const VectorIndexBuildPlan plan = VectorIndexBuildPlan::from_options(with(
        kFlat, {{"max-build-seconds", "60"}, {"target-recall", "-0"}, {"expected-vector-count", "5000"},
                {"deployment-profile", "remote"}, {"max-bytes-per-vector", "100000"}}));
    EXPECT_EQ(plan.max_build_seconds, 60.0);
    ASSERT_TRUE(plan.target_recall.has_value());
    EXPECT_EQ(*plan.target_recall, 0.0f);
    EXPECT_EQ(plan.expected_vector_count, 5000u);
    EXPECT_EQ(plan.max_bytes_per_vector, 100000u);
    EXPECT_EQ(plan.deployment_profile, DeploymentProfile::RemoteStorage);
    EXPECT_EQ(plan.config, (VectorIndexConfig{IvfFlatConfig{128, 1024, 256, 0, true}}));
    // Keys and enumerated values are trimmed of Unicode white space.
    EXPECT_EQ(parse({{"\xC2\xA0index.type\xE3\x80\x80", " ivf_flat "}, {"dimension", "\xE2\x80\x83" "8"},
                     {"metric", "l2\n"}, {"nlist", "2"}}),
              (VectorIndexConfig{IvfFlatConfig{8, 2, 256, 0, true}}));
}
