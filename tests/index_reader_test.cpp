#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "diskann_file_builder.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "index_io_util.hpp"
#include "index_reader.hpp"
#include "ivfflat_file_builder.hpp"
#include "memory_source.hpp"
#include "numeric.hpp"
#include "pool.hpp"
#include "read_options.hpp"
#include "search_params.hpp"

using namespace tavren;
using namespace tavren::index;
using tavren::testing::IvfFlatFileBuilder;
using tavren::testing::MemorySource;

namespace {

using Bytes = std::vector<uint8_t>;
const float kNan = std::numeric_limits<float>::quiet_NaN();

using tavren::testing::Failure;
using tavren::testing::failure_of;

// A source that serves `bytes` and fails chosen calls with their own texts,
// and records the length of every request it sees.
class ScriptedSource final : public io::SeekRead {
public:
    struct Log {
        std::vector<std::vector<size_t>> calls;  // request lengths per call
    };
    ScriptedSource(Bytes bytes, std::vector<bool> fail_call, std::shared_ptr<Log> log)
        : bytes_(std::move(bytes)), fail_call_(std::move(fail_call)), log_(std::move(log)) {}

    void pread(std::span<io::ReadRequest> requests) const override {
        const size_t call = log_->calls.size();
        std::vector<size_t> lens;
        for (const io::ReadRequest& r : requests) {
            EXPECT_EQ(r.offset, 0u);
            lens.push_back(r.len);
        }
        log_->calls.push_back(lens);
        if (call < fail_call_.size() && fail_call_[call]) fail(ErrorKind::Other, "scripted failure of call {}", call);
        for (const io::ReadRequest& r : requests) {
            if (r.offset + r.len > bytes_.size()) fail(ErrorKind::UnexpectedEof, "short file at call {}", call);
            std::memcpy(r.buf, bytes_.data() + r.offset, r.len);
        }
    }
    io::ReadCapabilities capabilities() const override { return {}; }

private:
    Bytes bytes_;
    std::vector<bool> fail_call_;
    std::shared_ptr<Log> log_;
};

using tavren::testing::with_magic;

VectorIndexReader open_bytes(Bytes bytes, MemorySource::Observer* observer = nullptr) {
    return VectorIndexReader::open_with_options(MemorySource::make(std::move(bytes), {}, observer),
                                                read_options::VectorIndexReaderOptions{});
}

VectorSearchParams params(uint64_t top_k, uint32_t width_type, uint64_t width) {
    VectorSearchParams p;
    p.top_k = top_k;
    p.width_type = width_type;
    p.width = width;
    return p;
}

using tavren::testing::line_file;

}  // namespace

// ---- Opening ------------------------------------------------------------------------

TEST(IndexReaderOpen, SixtyFourThenFourByteRule) {
    struct Case {
        const char* what;
        Bytes bytes;
        std::vector<bool> fail_call;
        std::string message;
        std::vector<std::vector<size_t>> calls;
    };
    const Case cases[] = {
        {"unknown magic, 64 bytes read",
         with_magic(0x44434241, 64),
         {},
         "unknown vector index magic: 0x44434241",
         {{64}}},
        {"unknown magic, short file",
         with_magic(0x44434241, 4),
         {},
         "unknown vector index magic: 0x44434241",
         {{64}, {4}}},
        {"unknown magic, first read fails",
         with_magic(0x44434241, 64),
         {true},
         "unknown vector index magic: 0x44434241",
         {{64}, {4}}},
        {"known magic, short file: the first error",
         with_magic(kIvfFlatFileMagic, 10),
         {},
         "short file at call 0",
         {{64}, {4}}},
        {"DiskANN magic, first read fails",
         with_magic(kDiskAnnFileMagic, 300),
         {true},
         "scripted failure of call 0",
         {{64}, {4}}},
        {"both reads fail: the second error",
         with_magic(kIvfFlatFileMagic, 64),
         {true, true},
         "scripted failure of call 1",
         {{64}, {4}}},
        {"shorter than the magic", Bytes{0x4C, 0x46}, {}, "short file at call 1", {{64}, {4}}},
        {"zero magic", Bytes(64, 0), {}, "unknown vector index magic: 0x00000000", {{64}}},
        {"IVF-SQ header error", with_magic(kIvfSqFileMagic, 64), {}, "Unsupported IVF-SQ version: 0", {{64}}},
        {"IVF-PQ, zero version",
         with_magic(kIvfPqFileMagic, 64),
         {},
         "Unsupported IVFPQ version: 0",
         {{64}}},
        {"IVF-RQ",
         with_magic(kIvfRqFileMagic, 64),
         {},
         "unsupported IVF-RQ version: 0",
         {{64}}},
        // The DiskANN reader reads its own 256-byte header, which a 64-byte file cannot hold.
        {"DiskANN, short header",
         with_magic(kDiskAnnFileMagic, 64),
         {},
         "DiskANN header is truncated",
         {{64}, {256}}},
    };
    for (const Case& c : cases) {
        auto log = std::make_shared<ScriptedSource::Log>();
        const Failure f = failure_of([&] {
            VectorIndexReader::open_with_options(std::make_unique<ScriptedSource>(c.bytes, c.fail_call, log),
                                                 read_options::VectorIndexReaderOptions{});
        });
        EXPECT_EQ(f.message, c.message) << c.what;
        EXPECT_EQ(log->calls, c.calls) << c.what;
    }
    // The magic message is invalid data.
    auto log = std::make_shared<ScriptedSource::Log>();
    EXPECT_EQ(failure_of([&] {
                  VectorIndexReader::open_with_options(
                      std::make_unique<ScriptedSource>(with_magic(0x44434241, 64), std::vector<bool>{}, log), {});
              }).kind,
              ErrorKind::InvalidData);
}

TEST(IndexReaderOpen, IvfFlatReadsOnlyItsHeaderAndPassesFormatErrorsThrough) {
    IvfFlatFileBuilder file = line_file(4, 3);
    MemorySource::Observer observer;
    VectorIndexReader reader = open_bytes(file.build(), &observer);
    const tavren::testing::SourceStats stats = observer.stats();
    ASSERT_EQ(stats.calls, 1u);
    ASSERT_EQ(stats.log[0].size(), 1u);
    EXPECT_EQ(stats.log[0][0].offset, 0u);
    EXPECT_EQ(stats.log[0][0].len, 64u);

    IvfFlatFileBuilder bad = line_file(4, 3);
    bad.header.version = 2;
    EXPECT_EQ(failure_of([&] { open_bytes(bad.build()); }).message, "Unsupported IVFFLAT version: 2");
}

TEST(IndexReaderOpen, Metadata) {
    struct Case {
        uint32_t metric;
        int32_t nlist;
    };
    for (const Case c : {Case{0, 4}, Case{1, 7}, Case{2, 1}}) {
        IvfFlatFileBuilder file = line_file(c.nlist, 3, c.metric);
        VectorIndexReader reader = open_bytes(file.build());
        VectorIndexMetadata want;
        want.index_type = 0;
        want.dimension = 2;
        want.nlist = static_cast<uint64_t>(c.nlist);
        want.metric = c.metric;
        want.vector_count = 3 * c.nlist;
        EXPECT_EQ(reader.metadata(), want);
        EXPECT_EQ(reader.dimension(), 2u);
        EXPECT_FALSE(reader.diskann_read_report().has_value());
    }
}

// ---- Searches ------------------------------------------------------------------------

TEST(IndexReaderSearch, ChecksComeInOrderBeforeAnyRead) {
    IvfFlatFileBuilder file = line_file(4, 3);
    MemorySource::Observer observer;
    VectorIndexReader reader = open_bytes(file.build(), &observer);
    const float q2[2] = {1, 1};
    const float q3[3] = {1, 1, 1};
    const float nan_q[2] = {0, kNan};
    const Bytes bad_filter = {1, 2, 3};
    struct Case {
        const char* what;
        std::function<void()> run;
        std::string message;
    };
    const Case cases[] = {
        {"query length before top_k", [&] { reader.search(q3, params(0, kWidthIvfNprobe, 0)); },
         "query length 3 does not match index dimension 2"},
        {"non-finite query", [&] { reader.search(nan_q, params(1, kWidthIvfNprobe, 1)); },
         "query contains non-finite value at offset 1: NaN"},
        {"top_k", [&] { reader.search(q2, params(0, kWidthIvfNprobe, 1)); }, "top_k must be greater than 0"},
        {"explicit width: the filter is not counted",
         [&] { reader.search_with_roaring_filter(q2, params(1, kWidthDiskAnnLSearch, 1), bad_filter); },
         "DiskANN l_search cannot be used with an IVF index"},
        {"malformed filter, automatic width",
         [&] { reader.search_with_roaring_filter(q2, params(1, kWidthAutomatic, 0), bad_filter); },
         "invalid serialized RoaringTreemap filter: failed to fill whole buffer"},
        {"DiskANN width on IVF", [&] { reader.search(q2, params(1, kWidthDiskAnnLSearch, 5)); },
         "DiskANN l_search cannot be used with an IVF index"},
        {"nprobe 0", [&] { reader.search(q2, params(1, kWidthIvfNprobe, 0)); }, "nprobe must be greater than 0"},
        {"batch: query count", [&] { reader.search_batch({}, 0, params(1, kWidthIvfNprobe, 1)); },
         "query count must be greater than 0"},
        {"batch: length", [&] { reader.search_batch(q3, 2, params(1, kWidthIvfNprobe, 1)); },
         "queries length 3 does not match nq * dimension 4"},
        {"batch: malformed filter, automatic width",
         [&] { reader.search_batch_with_roaring_filter(q2, 1, params(1, kWidthAutomatic, 0), {}); },
         "invalid serialized RoaringTreemap filter: failed to fill whole buffer"},
    };
    for (const Case& c : cases) EXPECT_EQ(failure_of(c.run).message, c.message) << c.what;
    EXPECT_EQ(observer.stats().calls, 1u);  // the header only
    // An explicit width hands the undecodable filter to the pass.
    EXPECT_EQ(
        failure_of([&] { reader.search_with_roaring_filter(q2, params(1, kWidthIvfNprobe, 1), bad_filter); }).message,
        "invalid RoaringTreemap filter: failed to fill whole buffer");
}

TEST(IndexReaderSearch, NegativeVectorCount) {
    IvfFlatFileBuilder file = line_file(2, 2);
    file.total = uint64_t{1} << 63;
    VectorIndexReader reader = open_bytes(file.build());
    EXPECT_EQ(reader.metadata().vector_count, std::numeric_limits<int64_t>::min());
    const float q[2] = {0, 0};
    const Failure f = failure_of([&] { reader.search(q, params(1, kWidthIvfNprobe, 1)); });
    EXPECT_EQ(f.message, "negative IVF vector count");
    EXPECT_EQ(f.kind, ErrorKind::InvalidInput);
    EXPECT_EQ(failure_of([&] { reader.search_batch(q, 1, params(1, kWidthAutomatic, 0)); }).message,
              "negative IVF vector count");
}

TEST(IndexReaderSearch, EmptyIndex) {
    IvfFlatFileBuilder file(2, 3, 0);
    VectorIndexReader reader = open_bytes(file.build());
    const float q[2] = {0, 0};
    EXPECT_EQ(failure_of([&] { reader.search(q, params(2, kWidthAutomatic, 0)); }).message,
              "vector count must be greater than 0");
    const SearchResult r = reader.search(q, params(2, kWidthIvfNprobe, 3));
    EXPECT_EQ(r.ids, (std::vector<int64_t>{-1, -1}));
    EXPECT_EQ(r.distances, (std::vector<float>{kF32Max, kF32Max}));
}

TEST(IndexReaderSearch, ExactAtFullWidthAndProgressiveUnderAFilter) {
    IvfFlatFileBuilder file = line_file(20, 5);
    VectorIndexReader reader = open_bytes(file.build());
    const float queries[4] = {3.0f, 1.2f, 142.0f, 1.0f};
    for (size_t q = 0; q < 2; ++q) {
        const std::span<const float> query(queries + 2 * q, 2);
        const SearchResult want = tavren::testing::brute_force_flat(file, query, 7, nullptr);
        const SearchResult got = reader.search(query, params(7, kWidthIvfNprobe, 20));
        EXPECT_EQ(got.ids, want.ids);
        EXPECT_EQ(got.distances, want.distances);
    }
    const SearchResult batch = reader.search_batch(queries, 2, params(7, kWidthIvfNprobe, 500));
    for (size_t q = 0; q < 2; ++q) {
        const SearchResult want =
            tavren::testing::brute_force_flat(file, std::span<const float>(queries + 2 * q, 2), 7, nullptr);
        EXPECT_TRUE(std::equal(want.ids.begin(), want.ids.end(), batch.ids.begin() + 7 * q));
        EXPECT_TRUE(std::equal(want.distances.begin(), want.distances.end(), batch.distances.begin() + 7 * q));
    }

    // Two matching rows at the far end; the filter claims as many rows as the
    // index holds, so the first nprobe is the unfiltered one and the widening
    // must reach the last lists to find both.
    std::vector<uint64_t> values = {1901, 1903};
    for (uint64_t i = 0; i < 98; ++i) values.push_back(100000 + i);
    const Bytes filter = tavren::testing::roaring_filter_bytes(values);
    const row_id_filter::RoaringTreemap treemap = index_io_util::decode_roaring_filter(filter);
    const row_id_filter::RowIdFilter row_filter(treemap);
    const SearchResult want =
        tavren::testing::brute_force_flat(file, std::span<const float>(queries, 2), 5, &row_filter);
    ASSERT_EQ(want.ids[1], 1903);
    ASSERT_EQ(want.ids[2], -1);
    const SearchResult single =
        reader.search_with_roaring_filter(std::span<const float>(queries, 2), params(5, kWidthAutomatic, 0), filter);
    EXPECT_EQ(single.ids, want.ids);
    EXPECT_EQ(single.distances, want.distances);
    const SearchResult many =
        reader.search_batch_with_roaring_filter(queries, 2, params(5, kWidthAutomatic, 0), filter);
    EXPECT_TRUE(std::equal(want.ids.begin(), want.ids.end(), many.ids.begin()));
    // An explicit narrow width runs one pass and stays incomplete.
    const SearchResult narrow =
        reader.search_with_roaring_filter(std::span<const float>(queries, 2), params(5, kWidthIvfNprobe, 2), filter);
    EXPECT_EQ(narrow.ids, (std::vector<int64_t>{-1, -1, -1, -1, -1}));
}

// ---- Warm-up, optimize, calibration ------------------------------------------------

TEST(IndexReaderPrepare, WarmupChecksThenLoadsWithoutSearching) {
    IvfFlatFileBuilder file = line_file(4, 3);
    MemorySource::Observer observer;
    VectorIndexReader reader = open_bytes(file.build(), &observer);
    const float q[4] = {0, 1, 2, kNan};
    struct Case {
        std::span<const float> queries;
        uint64_t nq;
        std::string message;
    };
    const Case cases[] = {
        {std::span<const float>(q, 4), uint64_t{1} << 63, "warmup query count * dimension overflows usize"},
        {std::span<const float>(q, 3), 2, "warmup queries length 3 does not match query count * dimension 4"},
        {std::span<const float>(q, 4), 2, "warmup queries contains non-finite value at offset 3: NaN"},
    };
    for (const Case& c : cases) {
        const Failure f = failure_of([&] { reader.warmup_queries(c.queries, c.nq, 7); });
        EXPECT_EQ(f.message, c.message);
        EXPECT_EQ(f.kind, ErrorKind::InvalidInput);
    }
    EXPECT_EQ(observer.stats().calls, 1u);
    reader.warmup_queries({}, 0, 0);  // nothing to check: loads
    const uint64_t after_load = observer.stats().calls;
    EXPECT_GT(after_load, 1u);
    reader.warmup_queries(std::span<const float>(q, 2), 1, 123);
    reader.optimize_for_search();
    EXPECT_EQ(observer.stats().calls, after_load);  // loaded once, no query run
}

TEST(IndexReaderPrepare, OptimizeFailureLeavesTheReaderUsable) {
    IvfFlatFileBuilder file = line_file(4, 3);
    Bytes bytes = file.build();
    MemorySource::Options options;
    options.fail_on_call = 1;  // the metadata read
    MemorySource::Observer observer;
    VectorIndexReader reader = VectorIndexReader::open_with_options(MemorySource::make(bytes, options, &observer),
                                                                    read_options::VectorIndexReaderOptions{});
    EXPECT_EQ(failure_of([&] { reader.optimize_for_search(); }).message, "read_ranges callback failed");
    reader.optimize_for_search();
    const float q[2] = {0, 1};
    EXPECT_EQ(reader.search(q, params(1, kWidthIvfNprobe, 4)).ids.size(), 1u);
}

TEST(IndexReaderPrepare, CalibrationIsForDiskAnnOnly) {
    IvfFlatFileBuilder file = line_file(4, 3);
    VectorIndexReader reader = open_bytes(file.build());
    const float q[2] = {0, 1};
    EXPECT_EQ(failure_of([&] { reader.calibrate_search_width({}, 0, 10); }).message,
              "query count must be greater than 0");
    EXPECT_EQ(failure_of([&] { reader.calibrate_search_width(q, 1, 0); }).message, "top_k must be greater than 0");
    const Failure f = failure_of([&] { reader.calibrate_search_width(q, 1, 10); });
    EXPECT_EQ(f.message, "search-width calibration is currently only available for DiskANN");
    EXPECT_EQ(f.kind, ErrorKind::InvalidInput);
}

TEST(IndexReaderSearch, SameResultsAtPoolSizesOneAndEight) {
    // Enough work per probed batch (rows x queries x d well above 2^20) for
    // the scans to run on the pool, single search included.
    const int32_t nlist = 16;
    IvfFlatFileBuilder file(24, nlist, 0);
    uint64_t state = 7;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<float>(static_cast<int64_t>(state >> 40) % 2001 - 1000) / 250.0f;
    };
    for (float& c : file.centroids) c = next();
    std::vector<float> row(24);
    for (int64_t i = 0; i < 48000; ++i) {
        for (float& v : row) v = next();
        file.add(static_cast<size_t>(i % nlist), i * 3 - 500, row);
    }
    std::vector<float> queries(24 * 9);
    for (float& v : queries) v = next();
    const Bytes bytes = file.build();
    auto run = [&](size_t threads) {
        pool::set_num_threads_for_testing(threads);
        VectorIndexReader reader = open_bytes(bytes);
        std::vector<SearchResult> out;
        out.push_back(reader.search_batch(queries, 9, params(20, kWidthIvfNprobe, 6)));
        out.push_back(reader.search_batch(queries, 9, params(20, kWidthAutomatic, 0)));
        out.push_back(reader.search(std::span<const float>(queries.data(), 24), params(20, kWidthIvfNprobe, 16)));
        pool::set_num_threads_for_testing(0);
        return out;
    };
    const std::vector<SearchResult> one = run(1);
    const std::vector<SearchResult> eight = run(8);
    ASSERT_EQ(one.size(), eight.size());
    for (size_t i = 0; i < one.size(); ++i) {
        EXPECT_EQ(one[i].ids, eight[i].ids) << i;
        EXPECT_EQ(one[i].distances, eight[i].distances) << i;
    }
}

// ---- DiskANN through the facade ------------------------------------------------------

namespace {

TEST(IndexReaderDiskAnn, OpensReportsLoadsAndSearchesOneQuery) {
    auto contents = tavren::testing::ring_contents(300, 4);
    contents.config.alpha = 1.5f;
    const auto file = tavren::testing::build_diskann_file(contents);
    MemorySource::Observer observer;
    MemorySource::Options so;
    so.read_latency_ns = 750'000;
    so.max_ranges_per_call = 2;
    VectorIndexReader reader =
        VectorIndexReader::open_with_options(MemorySource::make(file.bytes, so, &observer), {});
    EXPECT_EQ(observer.stats().calls, 2u);  // the 64-byte probe and the 256-byte header

    const VectorIndexMetadata m = reader.metadata();
    EXPECT_EQ(m.index_type, 5u);
    EXPECT_EQ(m.nlist, 1u);
    EXPECT_EQ(m.dimension, 8u);
    EXPECT_EQ(m.vector_count, 300);
    EXPECT_EQ(m.pq_m, 4u);
    EXPECT_EQ(m.code_bits, 8u);
    EXPECT_FALSE(m.rq_bits.has_value());
    ASSERT_TRUE(m.diskann.has_value());
    EXPECT_EQ(*m.diskann, (DiskAnnGraphParams{contents.config.max_degree, contents.config.build_search_list_size, 1.5f}));

    std::optional<DiskAnnReadReport> report = reader.diskann_read_report();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->latency_ns, 750'000u);
    EXPECT_EQ(report->plan, read_options::ReadPlan::default_for(read_options::DeploymentProfile::RemoteStorage)
                                .with_capabilities({750'000, 0, 2}));
    EXPECT_EQ(report->max_ranges_per_call, 2u);
    EXPECT_EQ(report->memory_budget_bytes, read_options::kDefaultReaderMemoryBudget);
    EXPECT_EQ(report->preloaded_adjacency_bytes, 0u);
    EXPECT_EQ(report->adjacency_cache_bytes, 0u);
    EXPECT_EQ(report->vector_cache_bytes, 0u);

    reader.optimize_for_search();
    report = reader.diskann_read_report();
    EXPECT_EQ(report->preloaded_adjacency_bytes, file.header.sections[5].length);
    EXPECT_EQ(report->vector_cache_bytes, file.header.sections[6].length);
    reader.optimize_for_search();  // again: allowed

    const std::vector<float> query(8, 0.5f);
    reader.warmup_queries({}, 0, 0);
    reader.warmup_queries(query, 1, 0);
    // top_k 1: the calibrated size is the smallest of 100, 200, 400 whose
    // nearest row stays the same at the next larger size.
    const auto nearest_at = [&](uint64_t l) { return reader.search(query, params(1, kWidthDiskAnnLSearch, l)).ids.at(0); };
    const int64_t at100 = nearest_at(100), at200 = nearest_at(200), at400 = nearest_at(400);
    const uint64_t stable = at100 == at200 ? 100u : at200 == at400 ? 200u : 400u;
    EXPECT_EQ(reader.calibrate_search_width(query, 1, 1), stable);
    VectorSearchParams params;
    params.top_k = 1;
    const SearchResult found = reader.search(query, params);
    ASSERT_EQ(found.ids.size(), 1u);
    EXPECT_GE(found.ids[0], 0);
    EXPECT_LT(found.ids[0], 300);
    const SearchResult batch = reader.search_batch(query, 1, params);
    EXPECT_EQ(batch.ids, found.ids);
    EXPECT_EQ(batch.distances, found.distances);
    // The shared checks still come first.
    EXPECT_EQ(failure_of([&] { (void)reader.search(std::vector<float>(7, 0.0f), params); }).kind,
              ErrorKind::InvalidInput);
}

}  // namespace
