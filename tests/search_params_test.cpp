#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "expect.hpp"
#include "search_params.hpp"

using namespace tavren;
using namespace tavren::index;

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

using tavren::testing::expect_error;

VectorSearchParams params(uint64_t top_k, uint32_t width_type, uint64_t width,
                          std::optional<uint64_t> factor = std::nullopt) {
    VectorSearchParams p;
    p.top_k = top_k;
    p.width_type = width_type;
    p.width = width;
    p.max_initial_filter_expansion_factor = factor;
    return p;
}

}  // namespace

TEST(SearchParams, Defaults) {
    const VectorSearchParams p;
    EXPECT_EQ(p.ivfpq_table_reuse_mode, IvfPqBatchTableReuseMode::Auto);
    EXPECT_EQ(p.ivfpq_table_reuse_max_bytes, 536870912u);
    EXPECT_EQ(p.max_initial_filter_expansion_factor, std::nullopt);
    EXPECT_EQ(static_cast<uint32_t>(IvfPqBatchTableReuseMode::Off), 0u);
    EXPECT_EQ(static_cast<uint32_t>(IvfPqBatchTableReuseMode::On), 1u);
}

TEST(SearchParams, Validate) {
    VectorSearchParams no_cap = params(10, kWidthAutomatic, 0);
    no_cap.ivfpq_table_reuse_max_bytes = 0;
    VectorSearchParams all_bad = params(0, kWidthIvfNprobe, 0, 0);
    all_bad.ivfpq_table_reuse_max_bytes = 0;
    struct Case {
        VectorSearchParams p;
        std::string message;
    };
    const Case cases[] = {
        {params(10, kWidthAutomatic, 0), ""},
        {params(10, kWidthAutomatic, 0, 4), ""},
        {params(10, kWidthDiskAnnLSearch, 0), ""},  // a zero width fails at resolution, not here
        {all_bad, "top_k must be greater than 0"},
        {params(10, kWidthAutomatic, 0, 0), "maximum initial filter expansion factor must be greater than 0"},
        {params(10, kWidthIvfNprobe, 8, 0), "maximum initial filter expansion factor must be greater than 0"},
        {params(10, kWidthIvfNprobe, 8, 4), "maximum initial filter expansion factor requires automatic IVF search"},
        {params(10, kWidthDiskAnnLSearch, 8, 4), "maximum initial filter expansion factor requires automatic IVF search"},
        {no_cap, "IVF-PQ batch table reuse max bytes must be greater than 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.message.empty()) {
            EXPECT_NO_THROW(c.p.validate());
        } else {
            expect_error([&] { c.p.validate(); }, c.message);
        }
    }
}

TEST(SearchParams, IvfNprobe) {
    EXPECT_EQ(params(10, kWidthIvfNprobe, 1000).resolve_ivf_nprobe(256, 100, std::nullopt), 256u);
    EXPECT_EQ(params(10, kWidthIvfNprobe, 7).resolve_ivf_nprobe(256, 0, std::nullopt), 7u);  // empty index is fine
    EXPECT_EQ(params(10, kWidthAutomatic, 0).resolve_ivf_nprobe(1024, 1000000, std::nullopt), 64u);
    EXPECT_EQ(params(10, kWidthAutomatic, 0).resolve_ivf_nprobe(1024, 1000000, 10000), 1024u);
    EXPECT_EQ(params(10, kWidthAutomatic, 0, 4).resolve_ivf_nprobe(1024, 1000000, 10000), 256u);
    EXPECT_EQ(params(10, kWidthAutomatic, 0).resolve_ivf_nprobe(1024, 1000000, 0), 1u);
    expect_error([] { params(10, kWidthIvfNprobe, 0).resolve_ivf_nprobe(256, 100, std::nullopt); },
                 "nprobe must be greater than 0");
    expect_error([] { params(10, kWidthAutomatic, 0).resolve_ivf_nprobe(256, 0, std::nullopt); },
                 "vector count must be greater than 0");
    expect_error([] { params(10, kWidthAutomatic, 0).resolve_ivf_nprobe(0, 10, std::nullopt); },
                 "nlist must be greater than 0");
    expect_error([] { params(10, kWidthDiskAnnLSearch, 50).resolve_ivf_nprobe(256, 100, std::nullopt); },
                 "DiskANN l_search cannot be used with an IVF index");
    expect_error([] { params(10, 7, 50).resolve_ivf_nprobe(256, 100, std::nullopt); }, "invalid search width type: 7");
}

TEST(SearchParams, DiskAnnLSearch) {
    struct Case {
        uint64_t top_k;
        uint32_t type;
        uint64_t width;
        std::optional<uint64_t> calibrated;
        uint64_t l_search;
    };
    const Case cases[] = {
        {50, kWidthDiskAnnLSearch, 10, std::nullopt, 50},
        {5, kWidthDiskAnnLSearch, 10, 300, 10},  // explicit width ignores calibration
        {10, kWidthAutomatic, 0, std::nullopt, 100},
        {80, kWidthAutomatic, 0, std::nullopt, 160},
        {10, kWidthAutomatic, 0, 120, 120},
        {200, kWidthAutomatic, 0, 120, 200},
        {kU64Max, kWidthAutomatic, 0, std::nullopt, kU64Max},  // the doubling saturates
    };
    for (const Case& c : cases) {
        EXPECT_EQ(params(c.top_k, c.type, c.width).resolve_diskann_l_search_with(c.calibrated), c.l_search);
    }
    expect_error([] { params(10, kWidthAutomatic, 0, 4).resolve_diskann_l_search_with(std::nullopt); },
                 "maximum initial filter expansion factor is only valid for IVF indexes");
    expect_error([] { params(10, kWidthDiskAnnLSearch, 20, 4).resolve_diskann_l_search_with(std::nullopt); },
                 "maximum initial filter expansion factor is only valid for IVF indexes");
    expect_error([] { params(0, kWidthAutomatic, 0).resolve_diskann_l_search_with(std::nullopt); },
                 "top_k must be greater than 0");
    expect_error([] { params(10, kWidthIvfNprobe, 8).resolve_diskann_l_search_with(std::nullopt); },
                 "IVF nprobe cannot be used with a DiskANN index");
    expect_error([] { params(10, kWidthDiskAnnLSearch, 0).resolve_diskann_l_search_with(std::nullopt); },
                 "l_search must be greater than 0");
}

TEST(VectorChecks, Query) {
    const std::vector<float> ok{1, 2, 3};
    EXPECT_NO_THROW(validate_query(ok, 3));
    expect_error([&] { validate_query(ok, 4); }, "query length 3 does not match index dimension 4");
    const std::vector<float> bad{1, -kInf, kNan};
    expect_error([&] { validate_query(bad, 2); }, "query length 3 does not match index dimension 2");
    expect_error([&] { validate_query(bad, 3); }, "query contains non-finite value at offset 1: -inf");
    EXPECT_NO_THROW(validate_query({}, 0));
}

TEST(VectorChecks, Queries) {
    // Dimension 4; the second query holds a NaN at its third value: offset 6.
    std::vector<float> q(8, 0.5f);
    q[6] = kNan;
    expect_error([&] { validate_queries(q, 2, 4); }, "queries contains non-finite value at offset 6: NaN");
    q[6] = -kNan;  // the sign of a NaN is not shown
    expect_error([&] { validate_queries(q, 2, 4); }, "queries contains non-finite value at offset 6: NaN");
    q[6] = kInf;
    expect_error([&] { validate_queries(q, 2, 4); }, "queries contains non-finite value at offset 6: inf");
    q[6] = std::numeric_limits<float>::max();
    EXPECT_NO_THROW(validate_queries(q, 2, 4));
    expect_error([&] { validate_queries({}, 0, 4); }, "query count must be greater than 0");
    expect_error([&] { validate_queries(q, kU64Max, 2); }, "nq * dimension overflows usize");
    expect_error([&] { validate_queries(q, 3, 4); }, "queries length 8 does not match nq * dimension 12");
    EXPECT_NO_THROW(validate_queries({}, 3, 0));
}

TEST(VectorChecks, Vectors) {
    std::vector<float> v(6, 1.0f);
    EXPECT_NO_THROW(validate_vectors(v, 2, 3, "training data"));
    expect_error([&] { validate_vectors(v, 0, 3, "training data"); }, "vector count must be greater than 0");
    expect_error([&] { validate_vectors(v, kU64Max, 3, "vector data"); }, "vector count * dimension overflows usize");
    expect_error([&] { validate_vectors(v, 3, 3, "vector data"); },
                 "vector data length 6 does not match vector count * dimension 9");
    // Any NaN bit pattern counts, including signalling and negative ones.
    v[5] = std::bit_cast<float>(0xFF800001u);
    expect_error([&] { validate_vectors(v, 2, 3, "training data"); },
                 "training data contains non-finite value at offset 5: NaN");
}

TEST(VectorChecks, FiniteValuesPrefix) {
    const std::vector<float> v{1, 2, kInf};
    EXPECT_NO_THROW(validate_finite_values(v, 2, "warmup queries"));
    expect_error([&] { validate_finite_values(v, 3, "warmup queries"); },
                 "warmup queries contains non-finite value at offset 2: inf");
    EXPECT_THROW(validate_finite_values(v, 4, "warmup queries"), AssertionFailure);
}
