// The IVF-RQ reader and its searches: header checks in file order, the lazy
// metadata load (no read at open, one on first use, retried after a
// failure), payload checks, query preparation and FastScan (both kernels,
// error bound), the list scan's pruning and statistics, and the batch search
// (input checks, seeds, read groups, the one-query parallel path, recall).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "cpu.hpp"
#include "distance.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "index_reader.hpp"
#include "index_io_util.hpp"
#include "ivfrq_fixture.hpp"
#include "ivfrq_format.hpp"
#include "ivfrq_io.hpp"
#include "memory_source.hpp"
#include "numeric.hpp"
#include "rabitq.hpp"
#include "read_options.hpp"
#include "row_id_filter.hpp"

namespace {

using tavren::ErrorKind;
using tavren::SearchResult;
using tavren::ivfrq_io::IVFRQIndexReader;
using tavren::ivfrq_io::IVFRQSearchStats;
using tavren::ivfrq_io::RQListPayloadMeta;
using tavren::ivfrq_io::RQReadList;
using tavren::rabitq::RaBitQuantizer;
using tavren::rabitq::RQQueryContext;
using tavren::row_id_filter::RoaringTreemap;
using tavren::row_id_filter::RowIdFilter;
using tavren::testing::MemorySource;
using tavren::testing::PoolGuard;
using tavren::testing::RestoreDetection;
using tavren::topk::TopKHeap;
using Bytes = std::vector<uint8_t>;
namespace fmtv = tavren::ivfrq_format;

template <class T>
void put_at(Bytes& b, size_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}
template <class T>
T get_at(const Bytes& b, size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

std::vector<float> random_queries(size_t nq, size_t d, uint32_t seed, float scale = 10.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-scale, scale);
    std::vector<float> q(nq * d);
    for (float& x : q) x = u(gen);
    return q;
}

// A decoded filter and the view over it, kept together.
struct OwnedFilter {
    RoaringTreemap treemap;
    RowIdFilter filter;
    explicit OwnedFilter(const std::vector<uint64_t>& ids)
        : treemap(tavren::index_io_util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(ids))),
          filter(treemap) {}
};

// A valid header to forge from: d = 64, nlist = 2, 2 bits.
Bytes good_header() {
    const auto f = tavren::testing::make_rq_fixture(64, 64, 2, 0, 2, 1);
    return Bytes(f.file.begin(), f.file.begin() + 64);
}

IVFRQIndexReader open_header(const Bytes& header, Bytes file = {}, MemorySource::Observer* observer = nullptr) {
    if (file.empty()) file = header;
    return IVFRQIndexReader::open_with_header(MemorySource::make(std::move(file), {}, observer),
                                              std::span<const uint8_t, 64>(header.data(), 64));
}

// ---- Open ------------------------------------------------------------------------------

TEST(IvfRqReaderOpen, HeaderFaultsAreReportedInFileOrder) {
    struct Case {
        std::string name;
        std::function<void(Bytes&)> forge;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"magic", [](Bytes& b) { put_at<uint32_t>(b, 0, 0x12345678); }, "invalid IVF-RQ magic: 0x12345678"},
        {"version before dimension",
         [](Bytes& b) {
             put_at<uint32_t>(b, 4, 2);
             put_at<int32_t>(b, 8, 0);
         },
         "unsupported IVF-RQ version: 2"},
        {"dimension", [](Bytes& b) { put_at<int32_t>(b, 8, -1); }, "invalid IVF-RQ dimension: -1; expected positive"},
        {"padded dimension zero", [](Bytes& b) { put_at<int32_t>(b, 12, 0); },
         "invalid IVF-RQ padded_dimension: 0; expected positive"},
        {"padded dimension 128 for d 64", [](Bytes& b) { put_at<int32_t>(b, 12, 128); },
         "IVF-RQ padded_dimension 128 does not match dimension-derived 64"},
        {"nlist", [](Bytes& b) { put_at<int32_t>(b, 16, 0); }, "invalid IVF-RQ nlist: 0; expected positive"},
        {"metric before flags, bits and rounds",
         [](Bytes& b) {
             put_at<uint32_t>(b, 20, 3);
             put_at<uint32_t>(b, 24, 0);
             put_at<uint32_t>(b, 28, 9);
             put_at<uint32_t>(b, 48, 5);
         },
         "unknown metric type: 3"},
        {"plane size", [](Bytes& b) { put_at<int32_t>(b, 52, 0); }, "invalid IVF-RQ plane_size: 0; expected positive"},
        {"vector count", [](Bytes& b) { put_at<int64_t>(b, 32, -1); }, "negative IVF-RQ vector count"},
        {"plane size before bits and flags",
         [](Bytes& b) {
             put_at<int32_t>(b, 52, 16);
             put_at<uint32_t>(b, 28, 0);
             put_at<uint32_t>(b, 24, 1);
         },
         "IVF-RQ plane size 16 does not match padded dimension 64"},
        {"bits 0", [](Bytes& b) { put_at<uint32_t>(b, 28, 0); }, "unsupported IVF-RQ bits 0; expected 1..=8"},
        {"bits 9", [](Bytes& b) { put_at<uint32_t>(b, 28, 9); }, "unsupported IVF-RQ bits 9; expected 1..=8"},
        {"rounds", [](Bytes& b) { put_at<uint32_t>(b, 48, 3); }, "unsupported IVF-RQ rotation rounds 3; expected 4"},
        {"rotation type", [](Bytes& b) { put_at<uint32_t>(b, 56, 1); }, "unsupported IVF-RQ rotation type 1"},
        {"factor layout", [](Bytes& b) { put_at<uint32_t>(b, 60, 2); }, "unsupported IVF-RQ factor layout 2"},
        {"flags", [](Bytes& b) { put_at<uint32_t>(b, 24, 0x80000007); }, "unsupported IVF-RQ flags 0x80000007"},
        // What the writer refuses: nlist x d and nlist x D' above 2^30 values.
        {"nlist x d above 2^30",
         [](Bytes& b) {
             put_at<int32_t>(b, 16, (1 << 24) + 1);
         },
         "IVF-RQ section size overflow"},
        {"nlist x padded dimension above 2^30",
         [](Bytes& b) {
             // d = 65 pads to 128: 2^23 + 1 lists pass 2^30 values only padded.
             put_at<int32_t>(b, 8, 65);
             put_at<int32_t>(b, 12, 128);
             put_at<int32_t>(b, 52, 16);
             put_at<int32_t>(b, 16, (1 << 23) + 1);
         },
         "IVF-RQ section size overflow"},
    };
    const Bytes base = good_header();
    for (const Case& c : cases) {
        Bytes h = base;
        c.forge(h);
        MemorySource::Observer observer;
        tavren::testing::expect_error([&] { (void)open_header(h, h, &observer); }, ErrorKind::InvalidData, c.message);
        EXPECT_EQ(observer.stats().calls, 0u) << c.name;
    }
    // 65 x (2^23 + 1) itself fits: the padded product is what fails.
    EXPECT_LE(uint64_t{65} * ((1 << 23) + 1), uint64_t{1} << 30);
    EXPECT_GT(uint64_t{128} * ((1 << 23) + 1), uint64_t{1} << 30);
}

TEST(IvfRqReaderOpen, OpenReadsNothingAndTheFirstLoadReadsOnce) {
    const auto f = tavren::testing::make_rq_fixture(300, 20, 4, 0, 3, 2);
    MemorySource::Observer observer;
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file, {}, &observer);
    EXPECT_EQ(observer.stats().calls, 0u);
    EXPECT_FALSE(r.loaded());
    EXPECT_EQ(r.dimension(), 20u);
    EXPECT_EQ(r.padded_dimension(), 64u);
    EXPECT_EQ(r.nlist(), 4u);
    EXPECT_EQ(r.rq_bits(), 3u);
    EXPECT_EQ(r.total(), 300u);
    EXPECT_EQ(r.seed(), tavren::rabitq::kDefaultSeed);
    r.ensure_loaded();
    const auto stats = observer.stats();
    ASSERT_EQ(stats.calls, 1u);
    EXPECT_EQ(stats.log[0][0].offset, 64u);
    EXPECT_EQ(stats.log[0][0].len, 4u * 4 * 20 + 16 * 4);
    r.ensure_loaded();
    EXPECT_EQ(observer.stats().calls, 1u);
    EXPECT_EQ(r.rotation().padded_dimension(), 64u);
    // Each centroid's squared norm.
    for (size_t l = 0; l < 4; ++l) {
        EXPECT_EQ(r.centroid_norms()[l], tavren::distance::fvec_norm_l2sqr(r.centroids().subspan(l * 20, 20)));
    }
}

TEST(IvfRqReaderOpen, AFailedLoadIsRetried) {
    const auto f = tavren::testing::make_rq_fixture(200, 8, 3, 0, 2, 3);
    MemorySource::Options options;
    options.fail_on_call = 0;
    MemorySource::Observer observer;
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file, options, &observer);
    tavren::testing::expect_error([&] { r.ensure_loaded(); }, ErrorKind::Other, "read_ranges callback failed");
    EXPECT_FALSE(r.loaded());
    r.ensure_loaded();
    EXPECT_TRUE(r.loaded());
    EXPECT_EQ(observer.stats().calls, 2u);
}

TEST(IvfRqReaderOpen, MetadataFaults) {
    const auto f = tavren::testing::make_rq_fixture(100, 8, 3, 0, 1, 4);
    const size_t table = 64 + 4 * 3 * 8;
    struct Case {
        std::string name;
        std::function<void(Bytes&)> forge;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"counts one short of the header",
         [&](Bytes& b) { put_at<int32_t>(b, table + 8, get_at<int32_t>(b, table + 8) - 1); },
         "IVF-RQ list counts total 99 does not match header 100"},
        {"count -1", [&](Bytes& b) { put_at<int32_t>(b, table + 16 + 8, -1); },
         "invalid IVF-RQ list count: -1; expected non-negative"},
        {"delta ID bytes -3", [&](Bytes& b) { put_at<int32_t>(b, table + 12, -3); },
         "invalid IVF-RQ delta ID bytes: -3; expected non-negative"},
    };
    for (const Case& c : cases) {
        Bytes b = f.file;
        c.forge(b);
        IVFRQIndexReader r = tavren::testing::open_rq_reader(b);
        tavren::testing::expect_error([&] { r.ensure_loaded(); }, ErrorKind::InvalidData, c.message);
        EXPECT_FALSE(r.loaded()) << c.name;
    }
    // A negative offset fails when the list is described.
    Bytes b = f.file;
    put_at<int64_t>(b, table + 16, -5);
    IVFRQIndexReader r = tavren::testing::open_rq_reader(b);
    r.ensure_loaded();
    tavren::testing::expect_error([&] { (void)r.list_payload_meta(1); }, ErrorKind::InvalidData,
                                  "negative IVF-RQ list offset -5 for list 1");
    tavren::testing::expect_error([&] { (void)r.list_payload_meta(3); }, ErrorKind::InvalidInput,
                                  "list ID 3 out of range for nlist=3");
}

TEST(IvfRqReaderOpen, ListPayloadMetaDescribesEachList) {
    const auto f = tavren::testing::make_rq_fixture(70, 8, 2, 0, 2, 5);
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
    r.ensure_loaded();
    uint64_t expected_offset = 64 + 4 * 2 * 8 + 16 * 2;
    for (size_t l = 0; l < 2; ++l) {
        const auto m = r.list_payload_meta(l);
        const size_t n = static_cast<size_t>(r.list_count(l));
        if (n == 0) {
            EXPECT_FALSE(m.has_value());
            continue;
        }
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->count, n);
        EXPECT_EQ(m->offset, expected_offset);
        EXPECT_EQ(m->code_bytes, n * 2 * 8);
        EXPECT_EQ(m->factor_count, n * 5);
        EXPECT_EQ(m->payload_len, 16 + m->delta_id_bytes + n * 16 + 20 * n);
        expected_offset += m->payload_len;
    }
    EXPECT_EQ(expected_offset, f.file.size());
}

TEST(IvfRqReaderOpen, ForgedHugeMetadataFailsOnTheBudgetOrTheRead) {
    // 2^15 lists of 2^15 dimensions: 4 GiB of centroids claimed by a 64-byte file.
    Bytes h = good_header();
    put_at<int32_t>(h, 8, 1 << 15);
    put_at<int32_t>(h, 12, 1 << 15);
    put_at<int32_t>(h, 52, (1 << 15) / 8);
    put_at<int32_t>(h, 16, 1 << 15);
    {
        IVFRQIndexReader r = open_header(h);
        const std::string m = tavren::testing::error_message([&] { r.ensure_loaded(); });
        EXPECT_NE(m.find("exceeds the reader memory budget of 4294967296 bytes"), std::string::npos) << m;
    }
    // Within a larger budget the first 64 MiB piece fails to read; nothing near
    // the claim is allocated and no rotation is drawn.
    {
        tavren::read_options::VectorIndexReaderOptions options;
        options.memory_budget_bytes = uint64_t{1} << 40;
        IVFRQIndexReader r = IVFRQIndexReader::open_with_header_and_options(
            MemorySource::make(h, {}, nullptr), std::span<const uint8_t, 64>(h.data(), 64), options);
        tavren::testing::expect_error([&] { r.ensure_loaded(); }, ErrorKind::Other, "read_ranges callback failed");
        EXPECT_FALSE(r.loaded());
    }
}

// ---- Query preparation and FastScan --------------------------------------------------------

TEST(RabitqQuery, AllZeroQuery) {
    const RaBitQuantizer qz = RaBitQuantizer::create(64, 4);
    const std::vector<float> zero(64, 0.0f);
    const RQQueryContext ctx = qz.prepare_query(zero);
    EXPECT_EQ(ctx.byte_lut.size(), 8u * 256);
    EXPECT_EQ(ctx.fastscan_lut.size(), 256u);
    EXPECT_EQ(ctx.lut_delta, 0.0f);
    EXPECT_EQ(ctx.lut_offset, 0.0f);
    EXPECT_EQ(ctx.query_sum, 0.0f);
    EXPECT_EQ(ctx.lut_error_bound, 0.0f);
    for (uint8_t c : ctx.fastscan_lut) EXPECT_EQ(c, 0);
    Bytes block(32 * 8, 0xA5);
    float out[32];
    qz.fastscan_coarse_block(ctx, block, out);
    for (float v : out) EXPECT_EQ(v, 0.0f);
}

TEST(RabitqQuery, TablesOfAWorkedQuery) {
    // q = 0, 1, 2, ..., 63.
    const RaBitQuantizer qz = RaBitQuantizer::create(64, 2);
    std::vector<float> q(64);
    std::iota(q.begin(), q.end(), 0.0f);
    const RQQueryContext ctx = qz.prepare_query(q);
    EXPECT_EQ(ctx.query_sum, 2016.0f);
    // Byte 1, bits 0 and 2: q[8] + q[10].
    EXPECT_EQ(ctx.byte_lut[256 + 5], 18.0f);
    EXPECT_EQ(ctx.byte_lut[256 * 7 + 255], 56.0f + 57 + 58 + 59 + 60 + 61 + 62 + 63);
    EXPECT_EQ(ctx.byte_lut[256 * 3], 0.0f);
    // Group g spans 4g .. 4g+3: its sums range over 0 .. 16g + 6, the widest
    // (g = 15) 246 wide; every group's minimum is 0.
    EXPECT_EQ(ctx.lut_offset, 0.0f);
    EXPECT_EQ(ctx.lut_delta, 246.0f / 255.0f);
    // Group 15's full table maps to 255; its low nibble table sits at entry
    // 32 x 7 (byte 7, low nibble = group 14), its high nibble at 32 x 7 + 16.
    EXPECT_EQ(ctx.fastscan_lut[32 * 7 + 16 + 15], 255);
    EXPECT_EQ(ctx.fastscan_lut[32 * 7 + 16 + 0], 0);
    EXPECT_GT(ctx.lut_error_bound, 0.0f);
}

TEST(RabitqQuery, QueryTermsPerMetric) {
    using tavren::rabitq::query_terms;
    EXPECT_EQ(query_terms(9.0f, 0, 5.0f, 7.0f).q_term, 9.0f);
    EXPECT_EQ(query_terms(9.0f, 0, 5.0f, 7.0f).q_norm, 3.0f);
    EXPECT_EQ(query_terms(9.0f, 1, 5.0f, 7.0f).q_term, -1.5f);
    EXPECT_EQ(query_terms(9.0f, 2, 5.0f, 7.0f).q_term, 4.5f);
    // Negative (rounding) and NaN distances count as 0.
    EXPECT_EQ(query_terms(-1e-3f, 0, 1.0f, 1.0f).q_term, 0.0f);
    EXPECT_EQ(query_terms(-1e-3f, 0, 1.0f, 1.0f).q_norm, 0.0f);
    EXPECT_EQ(query_terms(std::nanf(""), 1, 1.0f, 3.0f).q_term, -2.0f);
}

// The exact sign-plane sum of row v of a 32-row block.
float exact_sign_sum(const RQQueryContext& ctx, const Bytes& block, size_t plane, size_t v) {
    float s = 0.0f;
    for (size_t c = 0; c < plane; ++c) s += ctx.byte_lut[256 * c + block[32 * c + v]];
    return s;
}

TEST(RabitqQuery, FastScanKernelsAgreeAndStayWithinTheBound) {
    RestoreDetection restore;
    std::mt19937 gen(17);
    // D' = 64 .. 2048: planes of 8 .. 256 bytes, so the AVX2 kernel flushes
    // its 16-bit sums once, twice and three times.
    for (size_t d : {size_t{64}, size_t{200}, size_t{960}, size_t{1000}, size_t{2048}}) {
        const RaBitQuantizer qz = RaBitQuantizer::create(d, 4);
        const size_t plane = qz.plane_size;
        for (int trial = 0; trial < 20; ++trial) {
            std::normal_distribution<float> g(0.0f, trial % 2 ? 1.0f : 100.0f);
            std::vector<float> q(qz.padded_dimension);
            for (float& x : q) x = g(gen);
            const RQQueryContext ctx = qz.prepare_query(q);
            Bytes block(32 * plane);
            for (uint8_t& b : block) b = static_cast<uint8_t>(gen());
            if (trial == 0) std::fill(block.begin(), block.end(), 0xFF);  // every lane at its largest
            float simd[32], scalar[32];
            tavren::distance::force_scalar_for_testing(false);
            qz.fastscan_coarse_block(ctx, block, simd);
            tavren::distance::force_scalar_for_testing(true);
            qz.fastscan_coarse_block(ctx, block, scalar);
            for (size_t v = 0; v < 32; ++v) {
                EXPECT_EQ(std::memcmp(&simd[v], &scalar[v], 4), 0) << "d " << d << " row " << v;
                const float exact = exact_sign_sum(ctx, block, plane, v);
                EXPECT_LE(std::fabs(scalar[v] - exact), ctx.lut_error_bound) << "d " << d << " row " << v;
            }
        }
    }
}

// ---- List scan -----------------------------------------------------------------------------

// The first non-empty list of a one-list file, with a prepared query.
struct OneList {
    tavren::testing::RqFixture fixture;
    IVFRQIndexReader reader;
    RQReadList list;
    RQQueryContext ctx;
    float q_term = 0.0f;
    float q_norm = 0.0f;

    // near: the query is the first stored row, so most rows lie far from it.
    OneList(size_t n, size_t d, size_t bits, uint32_t seed, bool near = false)
        : fixture(tavren::testing::make_rq_fixture(n, d, 1, 0, bits, seed)),
          reader(tavren::testing::open_rq_reader(fixture.file)) {
        const size_t zero = 0;
        list = std::move(reader.read_lists(std::span<const size_t>(&zero, 1))[0]);
        std::vector<float> q = random_queries(1, d, seed + 1);
        if (near) q.assign(fixture.rows.begin(), fixture.rows.begin() + static_cast<long>(d));
        std::vector<float> rotated(reader.padded_dimension()), scratch(reader.padded_dimension());
        reader.rotation().rotate(q, rotated, scratch);
        ctx = reader.quantizer().prepare_query(rotated);
        const float coarse = tavren::distance::fvec_l2sqr(q, reader.centroids());
        const auto t = tavren::rabitq::query_terms(coarse, 0, 0.0f, 0.0f);
        q_term = t.q_term;
        q_norm = t.q_norm;
    }

    IVFRQSearchStats scan(TopKHeap& heap, const RowIdFilter* filter = nullptr,
                          size_t limit = std::numeric_limits<size_t>::max()) const {
        IVFRQSearchStats s;
        tavren::ivfrq_io::scan_blocked_list(list, reader.quantizer(), ctx, filter, heap, q_term, q_norm, s, limit);
        return s;
    }
};

TEST(IvfRqScan, CountersOfHandComputedCases) {
    const size_t p = 256 / 8;
    {
        // One bit, 40 rows, every row enters a heap of 100: two table blocks.
        OneList one(40, 256, 1, 1);
        TopKHeap heap(100);
        const IVFRQSearchStats s = one.scan(heap);
        IVFRQSearchStats want;
        want.rows_scanned = want.rows_after_filter = want.coarse_estimates = want.heap_pushes = 40;
        want.lut_blocks = 2;
        EXPECT_EQ(s, want);
        EXPECT_EQ(heap.len(), 40u);
    }
    {
        // Two bits, D' = 256, no filter: a FastScan block of 32 and a table
        // block of 8. Every row is a candidate and every FastScan row is rechecked.
        OneList two(40, 256, 2, 2);
        TopKHeap heap(100);
        const IVFRQSearchStats s = two.scan(heap);
        IVFRQSearchStats want;
        want.rows_scanned = want.rows_after_filter = want.coarse_estimates = 40;
        want.refine_candidates = 40;
        want.fastscan_blocks = 1;
        want.lut_blocks = 1;
        want.fastscan_recheck_bytes = 32 * p;
        want.refine_code_bytes = 40 * p + 32 * p;
        want.extended_estimates = 40;
        want.heap_pushes = 40;
        EXPECT_EQ(s, want);
    }
    {
        // A filter rejecting every row: only rows_scanned and lut_blocks move.
        OneList two(40, 256, 2, 3);
        const OwnedFilter none(std::vector<uint64_t>{uint64_t{1} << 40});
        TopKHeap heap(10);
        const IVFRQSearchStats s = two.scan(heap, &none.filter);
        IVFRQSearchStats want;
        want.rows_scanned = 40;
        want.lut_blocks = 2;
        EXPECT_EQ(s, want);
        EXPECT_EQ(heap.len(), 0u);
    }
    {
        // Capacity 0: nothing becomes a candidate, nothing is pushed.
        OneList two(40, 256, 3, 4);
        TopKHeap heap(0);
        const IVFRQSearchStats s = two.scan(heap);
        EXPECT_EQ(s.refine_candidates, 0u);
        EXPECT_EQ(s.heap_pushes, 0u);
        EXPECT_EQ(s.extended_estimates, 0u);
        EXPECT_EQ(s.rows_scanned, 40u);
    }
    {
        // Limit 32 on a list of 10 rows: one 10-row block.
        OneList one(10, 64, 2, 5);
        TopKHeap heap(100);
        const IVFRQSearchStats s = one.scan(heap, nullptr, 32);
        EXPECT_EQ(s.rows_scanned, 10u);
        EXPECT_EQ(s.lut_blocks, 1u);
    }
    {
        // One bit with D' = 256 and two bits with D' = 192 never use FastScan.
        OneList one(64, 256, 1, 6);
        TopKHeap heap(5);
        EXPECT_EQ(one.scan(heap).fastscan_blocks, 0u);
        OneList narrow(64, 150, 2, 7);
        TopKHeap heap2(5);
        const IVFRQSearchStats s = narrow.scan(heap2);
        EXPECT_EQ(s.fastscan_blocks, 0u);
        EXPECT_EQ(s.lut_blocks, 2u);
    }
}

TEST(IvfRqScan, FastScanAndTablePathsOfferTheSameDistances) {
    for (size_t bits : {size_t{2}, size_t{4}, size_t{8}}) {
        OneList l(100, 300, bits, 10 + static_cast<uint32_t>(bits));
        std::vector<uint64_t> all(l.list.ids.begin(), l.list.ids.end());
        const OwnedFilter every(all);
        TopKHeap fast(1000), table(1000);
        const IVFRQSearchStats fs = l.scan(fast);
        const IVFRQSearchStats ts = l.scan(table, &every.filter);
        EXPECT_EQ(fs.fastscan_blocks, 3u);
        EXPECT_EQ(ts.lut_blocks, 4u);
        // Negative row IDs never match a filter: the table path cannot offer them.
        auto a = std::move(fast).into_sorted();
        std::erase_if(a, [](const auto& e) { return e.second < 0; });
        auto b = std::move(table).into_sorted();
        ASSERT_EQ(a.size(), b.size()) << bits;
        EXPECT_EQ(a, b) << bits;
        // Each equals the row's estimate with every plane read exactly.
        for (const auto& [distance, id] : a) {
            const size_t j = static_cast<size_t>(std::find(l.list.ids.begin(), l.list.ids.end(), id) - l.list.ids.begin());
            EXPECT_EQ(distance, tavren::testing::rq_row_estimate(l.list, j, l.reader.quantizer(), l.ctx, l.q_term));
        }
    }
}

TEST(IvfRqScan, PruningKeepsTheBestRows) {
    // With a small heap, rows are pruned, yet the k best estimates found
    // match an exhaustive pass whenever the error bounds hold (here always).
    OneList l(500, 300, 4, 21, true);
    TopKHeap heap(10);
    const IVFRQSearchStats s = l.scan(heap);
    EXPECT_LT(s.refine_candidates, 500u);
    std::vector<std::pair<float, int64_t>> all;
    for (size_t j = 0; j < l.list.ids.size(); ++j) {
        all.emplace_back(tavren::testing::rq_row_estimate(l.list, j, l.reader.quantizer(), l.ctx, l.q_term),
                         l.list.ids[j]);
    }
    std::sort(all.begin(), all.end());
    const auto got = std::move(heap).into_sorted();
    ASSERT_EQ(got.size(), 10u);
    size_t same = 0;
    for (size_t i = 0; i < 10; ++i) same += got[i].second == all[i].second;
    EXPECT_GE(same, 9u);
}

// ---- Payloads ------------------------------------------------------------------------------

TEST(IvfRqPayload, CorruptedPayloadsFailWithTheirTexts) {
    const auto f = tavren::testing::make_rq_fixture(50, 8, 1, 0, 2, 30);
    const size_t payload = 64 + 4 * 8 + 16;
    struct Case {
        std::string name;
        std::function<void(Bytes&)> forge;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"delta length", [&](Bytes& b) { put_at<int32_t>(b, payload + 8, get_at<int32_t>(b, payload + 8) + 1); },
         "IVF-RQ delta ID length mismatch"},
        {"negative delta length", [&](Bytes& b) { put_at<int32_t>(b, payload + 8, -1); },
         "IVF-RQ delta ID length mismatch"},
        {"code length", [&](Bytes& b) { put_at<int32_t>(b, payload + 12, 50 * 16 - 1); }, "IVF-RQ code length mismatch"},
        {"truncated varint", [&](Bytes& b) {
             // The last gap byte announcing another: the section ends inside a value.
             const int32_t len = get_at<int32_t>(b, payload + 8);
             b[payload + 16 + static_cast<size_t>(len) - 1] |= 0x80;
         },
         "truncated delta-varint value"},
    };
    for (const Case& c : cases) {
        Bytes b = f.file;
        c.forge(b);
        IVFRQIndexReader r = tavren::testing::open_rq_reader(b);
        const std::vector<float> q = random_queries(1, 8, 1);
        tavren::testing::expect_error([&] { (void)r.search_with_filter(q, 5, 1, nullptr); }, ErrorKind::InvalidData,
                                      c.message);
    }
    // The factor section, checked on the parsed payload itself.
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
    r.ensure_loaded();
    const RQListPayloadMeta meta = *r.list_payload_meta(0);
    const auto bytes_of = [&] {
        auto p = std::make_unique<uint8_t[]>(meta.payload_len);
        std::memcpy(p.get(), f.file.data() + meta.offset, meta.payload_len);
        return p;
    };
    RQListPayloadMeta more = meta;
    more.factor_count -= 1;
    tavren::testing::expect_error(
        [&] { (void)tavren::ivfrq_io::parse_list_payload(more, bytes_of(), meta.payload_len, 2, 8); },
        ErrorKind::InvalidData, "IVF-RQ factor count mismatch");
    RQListPayloadMeta shorter = meta;
    shorter.payload_len -= 1;
    tavren::testing::expect_error(
        [&] { (void)tavren::ivfrq_io::parse_list_payload(shorter, bytes_of(), meta.payload_len, 2, 8); },
        ErrorKind::InvalidData, "IVF-RQ list 0 payload length mismatch");
    tavren::testing::expect_error(
        [&] { (void)tavren::ivfrq_io::parse_list_payload(shorter, bytes_of(), shorter.payload_len, 2, 8); },
        ErrorKind::InvalidData, "IVF-RQ f32 section is not aligned");
}

// ---- Batch search --------------------------------------------------------------------------

TEST(IvfRqSearch, InputChecksInOrder) {
    const auto f = tavren::testing::make_rq_fixture(100, 8, 4, 0, 2, 40);
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
    const std::vector<float> q = random_queries(2, 8, 1);
    using tavren::testing::error_message;
    EXPECT_EQ(error_message([&] { (void)r.search_batch_range(q, 0, 5, 0, 2, {}, {}, nullptr); }),
              "nq must be greater than 0");
    EXPECT_EQ(error_message([&] { (void)r.search_batch_range(q, 3, 5, 0, 2, {}, {}, nullptr); }),
              "queries length 16 does not match nq * dimension 24");
    EXPECT_EQ(error_message([&] { (void)r.search_batch_range(q, 2, 0, 0, 2, {}, {}, nullptr); }),
              "k must be greater than 0");
    EXPECT_EQ(error_message([&] { (void)r.search_batch_range(q, 2, 5, 0, 0, {}, {}, nullptr); }),
              "nprobe must be greater than 0");
    EXPECT_EQ(error_message([&] { (void)r.search_batch_range(q, 2, 5, 2, 2, {}, {}, nullptr); }),
              "probe range must be non-empty");
    EXPECT_EQ(error_message([&] { (void)r.search_batch_range(q, 2, 5, 3, 2, {}, {}, nullptr); }),
              "probe range must be non-empty");
    const std::vector<int64_t> ids(3, 1);
    const std::vector<float> dist(3, 1.0f);
    EXPECT_EQ(error_message([&] { (void)r.search_batch_range(q, 2, 5, 0, 2, ids, dist, nullptr); }),
              "seed result lengths must both equal nq * k");
}

TEST(IvfRqSearch, SeedsPaddingAndEmptyProbes) {
    const auto f = tavren::testing::make_rq_fixture(60, 8, 3, 0, 2, 41);
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
    const std::vector<float> q = random_queries(2, 8, 2);
    const size_t k = 80;  // more than the rows
    const SearchResult all = r.search_batch_range(q, 2, k, 0, 3, {}, {}, nullptr);
    ASSERT_EQ(all.ids.size(), 2 * k);
    for (size_t i = 0; i < 2; ++i) {
        for (size_t j = 60; j < k; ++j) {
            EXPECT_EQ(all.ids[i * k + j], -1);
            EXPECT_EQ(all.distances[i * k + j], tavren::kF32Max);
        }
    }
    // Probe ranks beyond nlist scan nothing: the seeds come back, f32::MAX ones skipped.
    std::vector<int64_t> seed_ids(2 * k, -1);
    std::vector<float> seed_dist(2 * k, tavren::kF32Max);
    seed_ids[0] = 777;
    seed_dist[0] = -5.0f;
    seed_ids[k] = 888;
    seed_dist[k] = 1.0f;
    seed_ids[k + 1] = 999;  // distance f32::MAX: skipped
    const SearchResult seeded = r.search_batch_range(q, 2, k, 3, 10, seed_ids, seed_dist, nullptr);
    EXPECT_EQ(seeded.ids[0], 777);
    EXPECT_EQ(seeded.distances[0], -5.0f);
    EXPECT_EQ(seeded.ids[1], -1);
    EXPECT_EQ(seeded.ids[k], 888);
    EXPECT_EQ(seeded.ids[k + 1], -1);
}

TEST(IvfRqSearch, BatchEqualsSingleAndPoolSizeDoesNotMatter) {
    const auto f = tavren::testing::make_rq_fixture(3000, 40, 16, 0, 4, 42);
    const size_t nq = 25, k = 10;
    const std::vector<float> q = random_queries(nq, 40, 3);
    std::vector<SearchResult> got;
    for (size_t threads : {size_t{1}, size_t{8}}) {
        PoolGuard pool(threads);
        IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
        got.push_back(r.search_batch_range(q, nq, k, 0, 5, {}, {}, nullptr));
        for (size_t i = 0; i < nq; ++i) {
            const SearchResult one = r.search_with_filter(std::span<const float>(q).subspan(i * 40, 40), k, 5, nullptr);
            EXPECT_TRUE(std::equal(one.ids.begin(), one.ids.end(), got.back().ids.begin() + static_cast<long>(i * k)));
            EXPECT_TRUE(std::equal(one.distances.begin(), one.distances.end(),
                                   got.back().distances.begin() + static_cast<long>(i * k)));
        }
    }
    EXPECT_EQ(got[0].ids, got[1].ids);
    EXPECT_EQ(got[0].distances, got[1].distances);
}

TEST(IvfRqSearch, OneQuerySwitchesToTheParallelPathAt8192Rows) {
    for (size_t n : {size_t{8191}, size_t{8192}}) {
        const auto f = tavren::testing::make_rq_fixture(n, 16, 1, 0, 2, 43);
        for (size_t threads : {size_t{1}, size_t{8}}) {
            PoolGuard pool(threads);
            IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
            const std::vector<float> q = random_queries(1, 16, 4);
            const SearchResult got = r.search_with_filter(q, 10, 1, nullptr);
            const IVFRQSearchStats& s = r.last_search_stats();
            EXPECT_EQ(s.query_count, 1u);
            EXPECT_EQ(s.prescans, n == 8192 ? 1u : 0u);
            EXPECT_EQ(s.parallel_list_scans, n == 8192 ? 1u : 0u);
            // The pre-scanned rows are scanned again by their list's task.
            EXPECT_EQ(s.rows_scanned, n == 8192 ? n + 32 : n);
            // Same results either way: the best ten estimates.
            const SearchResult want = tavren::testing::rq_exhaustive(f.file, q, 10, nullptr);
            EXPECT_EQ(got.ids.size(), 10u);
            size_t same = 0;
            for (int64_t id : got.ids) same += std::count(want.ids.begin(), want.ids.end(), id);
            EXPECT_GE(same, 9u) << n;
        }
    }
}

TEST(IvfRqSearch, EachProbedListIsReadOnceAndTheRangeCapHolds) {
    const auto f = tavren::testing::make_rq_fixture(2000, 16, 12, 0, 2, 44);
    MemorySource::Options options;
    options.max_ranges_per_call = 1;
    MemorySource::Observer observer;
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file, options, &observer);
    r.ensure_loaded();
    observer.reset();
    const std::vector<float> q = random_queries(20, 16, 5);
    (void)r.search_batch_range(q, 20, 5, 0, 12, {}, {}, nullptr);
    const auto stats = observer.stats();
    size_t non_empty = 0;
    for (size_t l = 0; l < 12; ++l) non_empty += r.list_count(l) > 0;
    EXPECT_EQ(stats.calls, non_empty);
    EXPECT_EQ(stats.ranges, non_empty);
    EXPECT_EQ(stats.cap_violations, 0u);
    EXPECT_EQ(stats.bytes, f.file.size() - (64 + 4 * 12 * 16 + 16 * 12));
}

TEST(IvfRqSearch, OversizedListsAreReadInPieces) {
    const auto f = tavren::testing::make_rq_fixture(500, 16, 2, 0, 3, 45);
    IVFRQIndexReader whole = tavren::testing::open_rq_reader(f.file);
    MemorySource::Observer observer;
    IVFRQIndexReader pieces = tavren::testing::open_rq_reader(f.file, {}, &observer);
    pieces.set_read_piece_for_testing(1000);
    const std::vector<float> q = random_queries(3, 16, 6);
    const SearchResult a = whole.search_batch_range(q, 3, 7, 0, 2, {}, {}, nullptr);
    const SearchResult b = pieces.search_batch_range(q, 3, 7, 0, 2, {}, {}, nullptr);
    EXPECT_EQ(a.ids, b.ids);
    EXPECT_EQ(a.distances, b.distances);
    EXPECT_LE(observer.stats().max_call_bytes, 1000u);
    // A list group above the memory budget is refused before it is read.
    IVFRQIndexReader tight = tavren::testing::open_rq_reader(f.file, {}, nullptr, 10000);
    EXPECT_EQ(tavren::testing::error_message([&] { (void)tight.search_batch_range(q, 3, 7, 0, 2, {}, {}, nullptr); })
                  .find("exceed the reader memory budget of 10000 bytes") != std::string::npos,
              true);
}

TEST(IvfRqSearch, RecallRisesWithBitsAndProbes) {
    const size_t n = 4000, d = 32, nq = 40, k = 10;
    std::vector<double> recall_by_bits;
    const std::vector<float> q = random_queries(nq, d, 7, 10.0f);
    for (size_t bits : {size_t{1}, size_t{2}, size_t{4}, size_t{8}}) {
        const auto f = tavren::testing::make_rq_fixture(n, d, 8, 0, bits, 46);
        IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
        std::vector<double> by_probe;
        for (size_t nprobe : {size_t{1}, size_t{8}}) {
            const SearchResult got = r.search_batch_range(q, nq, k, 0, nprobe, {}, {}, nullptr);
            size_t hits = 0;
            for (size_t i = 0; i < nq; ++i) {
                std::vector<std::pair<float, int64_t>> truth;
                for (size_t j = 0; j < n; ++j) {
                    truth.emplace_back(tavren::distance::fvec_l2sqr(std::span<const float>(q).subspan(i * d, d),
                                                                    std::span<const float>(f.rows).subspan(j * d, d)),
                                       f.ids[j]);
                }
                std::partial_sort(truth.begin(), truth.begin() + k, truth.end());
                for (size_t a = 0; a < k; ++a) {
                    for (size_t b = 0; b < k; ++b) hits += got.ids[i * k + a] == truth[b].second;
                }
            }
            by_probe.push_back(double(hits) / double(nq * k));
        }
        EXPECT_LE(by_probe[0], by_probe[1]) << bits;
        recall_by_bits.push_back(by_probe[1]);
    }
    for (size_t i = 1; i < recall_by_bits.size(); ++i) {
        EXPECT_LT(recall_by_bits[i - 1], recall_by_bits[i]) << i;
    }
    EXPECT_GT(recall_by_bits.back(), 0.95);
}

TEST(IvfRqSearch, StatisticsAccumulateOverCalls) {
    const auto f = tavren::testing::make_rq_fixture(500, 16, 4, 0, 2, 47);
    IVFRQIndexReader r = tavren::testing::open_rq_reader(f.file);
    const std::vector<float> q = random_queries(1, 16, 8);
    r.reset_search_stats();
    (void)r.search_with_filter(q, 5, 1, nullptr);
    const IVFRQSearchStats first = r.last_search_stats();
    (void)r.search_with_filter(q, 5, 2, nullptr);
    IVFRQSearchStats sum = first;
    sum.add(r.last_search_stats());
    EXPECT_EQ(r.accumulated_search_stats(), sum);
    EXPECT_EQ(sum.query_count, 2u);
    // A failing call leaves the last statistics as they were.
    const IVFRQSearchStats before = r.last_search_stats();
    EXPECT_THROW((void)r.search_with_filter(q, 0, 2, nullptr), tavren::Error);
    EXPECT_EQ(r.last_search_stats(), before);
}

// ---- Through the facade ----------------------------------------------------------------------

TEST(IvfRqFacade, OpensByMagicLoadsOnOptimizeAndSearchesEveryForm) {
    const auto f = tavren::testing::make_rq_fixture(400, 12, 4, 0, 3, 50);
    MemorySource::Observer observer;
    tavren::index::VectorIndexReader r = tavren::index::VectorIndexReader::open_with_options(
        MemorySource::make(f.file, {}, &observer), tavren::read_options::VectorIndexReaderOptions{});
    EXPECT_EQ(observer.stats().calls, 1u);  // the 64 header bytes
    const tavren::index::VectorIndexMetadata m = r.metadata();
    EXPECT_EQ(m.index_type, 4u);
    EXPECT_EQ(m.dimension, 12u);
    EXPECT_EQ(m.nlist, 4u);
    EXPECT_EQ(m.vector_count, 400);
    EXPECT_EQ(m.rq_bits, std::optional<uint64_t>(3));
    EXPECT_FALSE(m.code_bits.has_value());
    const std::vector<float> q = random_queries(5, 12, 9);
    r.warmup_queries(q, 5, 0);
    EXPECT_EQ(observer.stats().calls, 2u);  // the metadata, once
    r.optimize_for_search();
    EXPECT_EQ(observer.stats().calls, 2u);

    tavren::index::VectorSearchParams p;
    p.top_k = 7;
    p.width_type = tavren::index::kWidthIvfNprobe;
    p.width = 99;  // above nlist: capped
    const SearchResult batch = r.search_batch(q, 5, p);
    ASSERT_EQ(batch.ids.size(), 35u);
    for (size_t i = 0; i < 5; ++i) {
        const SearchResult one = r.search(std::span<const float>(q).subspan(i * 12, 12), p);
        EXPECT_TRUE(std::equal(one.ids.begin(), one.ids.end(), batch.ids.begin() + static_cast<long>(i * 7)));
    }
    // Automatic width with a selective filter widens until it finds its rows.
    std::vector<uint64_t> allowed;
    for (int64_t id : f.ids) {
        if (id >= 0 && id % 50 == 0) allowed.push_back(static_cast<uint64_t>(id));
    }
    std::sort(allowed.begin(), allowed.end());
    const Bytes filter = tavren::testing::roaring_filter_bytes(allowed);
    p.width_type = tavren::index::kWidthAutomatic;
    p.width = 0;
    p.top_k = allowed.size() + 3;
    const SearchResult got = r.search_with_roaring_filter(std::span<const float>(q).first(12), p, filter);
    ASSERT_EQ(got.ids.size(), allowed.size() + 3);
    std::set<int64_t> seen(got.ids.begin(), got.ids.begin() + static_cast<long>(allowed.size()));
    EXPECT_EQ(seen.size(), allowed.size());
    for (int64_t id : seen) EXPECT_TRUE(std::binary_search(allowed.begin(), allowed.end(), static_cast<uint64_t>(id)));
    for (size_t j = allowed.size(); j < got.ids.size(); ++j) EXPECT_EQ(got.ids[j], -1);
}

}  // namespace
