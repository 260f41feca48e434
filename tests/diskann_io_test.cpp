// The DiskANN reader core: budgets, open and read profile, resident sections,
// adjacency preload, the shared window cache, the page validation cache,
// clones, row-ID lookups and the row-ID order.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "diskann_file_builder.hpp"
#include "diskann_format.hpp"
#include "diskann_io.hpp"
#include "expect.hpp"
#include "memory_source.hpp"

namespace {

using namespace tavren;
using namespace tavren::diskann_io;
using tavren::testing::build_diskann_file;
using tavren::testing::DiskAnnFile;
using tavren::testing::expect_error;
using tavren::testing::failure_of;
using tavren::testing::MemorySource;
using tavren::testing::ring_contents;
namespace fmtd = tavren::diskann_format;

constexpr uint64_t kMiB = 1048576;

// ---- Files ----------------------------------------------------------------------

DiskAnnFile compact_file(uint64_t n, uint64_t degree = 4) { return build_diskann_file(ring_contents(n, degree)); }

// An interleaved file (64 f32 values per node, about 15 records per page)
// with exactly `pages` adjacency pages.
DiskAnnFile paged_file(uint64_t pages) {
    for (uint64_t n = pages > 1 ? 15 * (pages - 1) : 1;; ++n) {
        auto contents = ring_contents(n, 4, 64);
        contents.config.storage_layout = diskann::StorageLayout::Interleaved;
        contents.pq_bits = 4;  // a small codebook keeps the resident peak near the steady bytes
        DiskAnnFile f = build_diskann_file(contents);
        if (f.plan.page_count == pages) return f;
        if (f.plan.page_count > pages) ADD_FAILURE() << "no file of " << pages << " pages";
        if (f.plan.page_count > pages) return f;
    }
}

read_options::VectorIndexReaderOptions budget(uint64_t memory) {
    read_options::VectorIndexReaderOptions o;
    o.memory_budget_bytes = memory;
    return o;
}

read_options::VectorIndexReaderOptions explicit_budgets(uint64_t preload, uint64_t adjacency, uint64_t memory,
                                                        uint64_t raw) {
    read_options::VectorIndexReaderOptions o;
    o.explicit_cache_budgets = read_options::CacheBudgets{preload, adjacency, memory, raw, DeploymentProfile::Auto};
    return o;
}

struct Opened {
    MemorySource::Observer source;
    DiskAnnIndexReader reader;
};

Opened open_bytes(std::vector<uint8_t> bytes, const read_options::VectorIndexReaderOptions& options,
                  MemorySource::Options source_options = {}) {
    MemorySource::Observer observer;
    std::shared_ptr<const io::SeekRead> input = MemorySource::make(std::move(bytes), source_options, &observer);
    DiskAnnIndexReader reader = DiskAnnIndexReader::open_with_options(std::move(input), options);
    return Opened{observer, std::move(reader)};
}

// A source that reports an early end like a file input does.
class EofSource final : public io::SeekRead {
public:
    explicit EofSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    void pread(std::span<io::ReadRequest> requests) const override {
        for (const io::ReadRequest& r : requests) {
            if (r.offset > bytes_.size() || bytes_.size() - r.offset < r.len) {
                fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
            }
            if (r.len != 0) std::memcpy(r.buf, bytes_.data() + r.offset, r.len);
        }
    }
    io::ReadCapabilities capabilities() const override { return {}; }

private:
    std::vector<uint8_t> bytes_;
};

// The header of the worked example: d 8, m 4, 8-bit codes, n 100, a packed
// row-ID section of 120 bytes, 3 adjacency pages.
fmtd::DiskAnnHeader worked_header() {
    fmtd::DiskAnnHeader h;
    h.dimension = 8;
    h.pq_m = 4;
    h.pq_bits = 8;
    h.vector_count = 100;
    const uint64_t lengths[7] = {8244, 120, 400, 400, 456, 12288, 3200};
    for (size_t s = 0; s < 7; ++s) h.sections[s].length = lengths[s];
    return h;
}

// ---- Budgets ------------------------------------------------------------------------

TEST(DiskAnnBudgets, WorkedExample) {
    const fmtd::DiskAnnHeader h = worked_header();
    EXPECT_EQ(resident_steady_bytes(h), 13275u);
    EXPECT_EQ(resident_peak_bytes(h), 17453u);
    EXPECT_EQ(row_id_order_peak_bytes(h, 0), 14075u);
    EXPECT_EQ(row_id_order_peak_bytes(h, 1000), 15075u);

    fmtd::DiskAnnHeader four = h;
    four.pq_bits = 4;  // P = 552, 4 m ksub = 256
    EXPECT_EQ(resident_steady_bytes(four), 88u + 552 + 400 + 456 + 3 + 256);

    // Four-dimensional chunks (d = 4 m): the codebook grows by 4 x 8 x 256
    // and its dimension-major copy for the distance tables, 4 x 16 x 256, is
    // charged too.
    fmtd::DiskAnnHeader dim4 = h;
    dim4.dimension = 16;
    EXPECT_EQ(resident_steady_bytes(dim4), 13275u + 4 * 8 * 256 + 4 * 16 * 256);
    EXPECT_EQ(resident_peak_bytes(dim4), std::max<uint64_t>(resident_steady_bytes(dim4), 17453u + 4 * 8 * 256));
}

TEST(DiskAnnBudgets, ChecksInOrder) {
    struct Case {
        const char* what;
        void (*edit)(fmtd::DiskAnnHeader&);
        ErrorKind kind;
        const char* message;
    };
    const Case cases[] = {
        {"pq bits 6 before any length",
         [](fmtd::DiskAnnHeader& h) {
             h.pq_bits = 6;
             h.sections[1].length = 3;
             h.sections[5].length = 4097;
         },
         ErrorKind::InvalidInput, "DiskANN pq.bits must be 4 or 8"},
        {"row-ID section of 31 bytes", [](fmtd::DiskAnnHeader& h) { h.sections[1].length = 31; },
         ErrorKind::InvalidData, "DiskANN row-ID section header is truncated"},
        {"pages of 4097 bytes", [](fmtd::DiskAnnHeader& h) { h.sections[5].length = 4097; }, ErrorKind::InvalidData,
         "DiskANN adjacency section is not page-aligned"},
        {"huge PQ codes", [](fmtd::DiskAnnHeader& h) { h.sections[2].length = std::numeric_limits<uint64_t>::max(); },
         ErrorKind::InvalidData, "DiskANN resident size overflows usize"},
    };
    for (const Case& c : cases) {
        fmtd::DiskAnnHeader h = worked_header();
        c.edit(h);
        SCOPED_TRACE(c.what);
        expect_error([&] { (void)resident_steady_bytes(h); }, c.kind, c.message);
        expect_error([&] { (void)resident_peak_bytes(h); }, c.kind, c.message);
        expect_error([&] { (void)row_id_order_peak_bytes(h, 0); }, c.kind, c.message);
    }
    fmtd::DiskAnnHeader exact = worked_header();
    exact.sections[1].length = 32;  // no decoded row IDs
    EXPECT_EQ(resident_steady_bytes(exact), 13275u - 88);

    // Only the codebook is huge: the steady bytes fit, stage 1 does not.
    fmtd::DiskAnnHeader big_codebook = worked_header();
    big_codebook.sections[0].length = std::numeric_limits<uint64_t>::max() - 8244;
    EXPECT_EQ(resident_steady_bytes(big_codebook), 13275u);
    expect_error([&] { (void)resident_peak_bytes(big_codebook); }, ErrorKind::InvalidData,
                 "DiskANN resident peak size overflows usize");
    expect_error([&] { (void)row_id_order_peak_bytes(worked_header(), std::numeric_limits<uint64_t>::max()); },
                 ErrorKind::InvalidData, "DiskANN row-ID lookup peak size overflows usize");
}

TEST(DiskAnnBudgets, RowIdOrderReadBufferIsAtMostOneMiB) {
    fmtd::DiskAnnHeader h = worked_header();
    const uint64_t steady = resident_steady_bytes(h);
    h.sections[3].length = 3 * kMiB;
    EXPECT_EQ(row_id_order_peak_bytes(h, 0), steady + 3 * kMiB + kMiB);
    h.sections[3].length = 4096;
    EXPECT_EQ(row_id_order_peak_bytes(h, 0), steady + 4096 + 4096);
}

TEST(DiskAnnBudgets, ReadErrors) {
    const Error eof(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
    for (const char* what : {"header", "resident sections", "adjacency preload", "paged section", "row-ID order"}) {
        const Error mapped = map_read_error(eof, what);
        EXPECT_EQ(mapped.kind(), ErrorKind::InvalidData);
        EXPECT_EQ(mapped.message(), fmt::format("DiskANN {} is truncated", what));
    }
    const Error host(ErrorKind::Other, "read_ranges callback failed");
    const Error kept = map_read_error(host, "header");
    EXPECT_EQ(kept.kind(), ErrorKind::Other);
    EXPECT_EQ(kept.message(), "read_ranges callback failed");
}

// ---- Open -----------------------------------------------------------------------------

TEST(DiskAnnOpen, ReadsOnlyTheHeaderOnce) {
    const DiskAnnFile f = compact_file(100);
    Opened o = open_bytes(f.bytes, budget(1 << 30));
    const auto stats = o.source.stats();
    EXPECT_EQ(stats.calls, 1u);
    ASSERT_EQ(stats.log.size(), 1u);
    ASSERT_EQ(stats.log[0].size(), 1u);
    EXPECT_EQ(stats.log[0][0].offset, 0u);
    EXPECT_EQ(stats.log[0][0].len, 256u);
    EXPECT_EQ(o.reader.header(), f.header);
    EXPECT_FALSE(o.reader.has_resident());
    EXPECT_TRUE(o.reader.adjacency_preload().empty());
    EXPECT_EQ(o.reader.loaded_row_id_order_bytes(), 0u);
    EXPECT_FALSE(o.reader.calibrated_l_search().has_value());
    EXPECT_EQ(o.reader.stats(), tavren::diskann_search::DiskAnnSearchStats{});
    expect_error([&] { (void)o.reader.resident(); }, ErrorKind::InvalidData, "DiskANN resident sections are not loaded");
    expect_error([&] { o.reader.resize_shared_cache_budgets(10); }, ErrorKind::InvalidData,
                 "DiskANN resident sections are not loaded");
}

TEST(DiskAnnOpen, ProfileFromTheLatencyHint) {
    const DiskAnnFile f = compact_file(100);
    const std::pair<uint64_t, DeploymentProfile> cases[] = {
        {1, DeploymentProfile::Memory},
        {49'999, DeploymentProfile::Memory},
        {50'000, DeploymentProfile::LocalStorage},
        {749'999, DeploymentProfile::LocalStorage},
        {750'000, DeploymentProfile::RemoteStorage},
        {2'999'999, DeploymentProfile::RemoteStorage},
        {3'000'000, DeploymentProfile::ObjectStore},
        {5'000'000'000, DeploymentProfile::ObjectStore},
    };
    for (const auto& [hint, profile] : cases) {
        MemorySource::Options so;
        so.read_latency_ns = hint;
        Opened o = open_bytes(f.bytes, budget(1 << 30), so);
        EXPECT_EQ(o.reader.read_profile(), profile) << hint;
        EXPECT_EQ(o.reader.cache_budgets().profile, profile) << hint;
        EXPECT_EQ(o.reader.header_read_latency().count(), static_cast<int64_t>(hint));
    }
    // Without a hint: the measured read, at least 1 ns.
    Opened o = open_bytes(f.bytes, budget(1 << 30));
    EXPECT_GE(o.reader.header_read_latency().count(), 1);
    EXPECT_EQ(o.reader.read_profile(), read_profile_for_latency(o.reader.header_read_latency()));
    EXPECT_EQ(read_profile_for_latency(std::chrono::nanoseconds(1)), DeploymentProfile::Memory);
}

TEST(DiskAnnOpen, BudgetsFromTheOptions) {
    const DiskAnnFile f = compact_file(100);
    const uint64_t steady = resident_steady_bytes(f.header);
    const read_options::VectorIndexReaderOptions options = budget(1 << 30);
    MemorySource::Options so;
    so.read_latency_ns = 1000;
    Opened o = open_bytes(f.bytes, options, so);
    EXPECT_EQ(o.reader.cache_budgets(),
              options.resolve_cache_budgets(DeploymentProfile::Memory, steady, f.header.sections[5].length,
                                            f.header.sections[6].length));
    Opened e = open_bytes(f.bytes, explicit_budgets(1, 2, 3, 4), so);
    EXPECT_EQ(e.reader.cache_budgets(), (read_options::CacheBudgets{1, 2, 3, 4, DeploymentProfile::Memory}));
}

TEST(DiskAnnOpen, Failures) {
    const DiskAnnFile f = compact_file(100);
    std::vector<uint8_t> short_header(f.bytes.begin(), f.bytes.begin() + 200);
    expect_error([&] { (void)DiskAnnIndexReader::open_with_options(std::make_shared<EofSource>(short_header), {}); },
                 ErrorKind::InvalidData, "DiskANN header is truncated");
    expect_error([&] { (void)open_bytes(short_header, {}); }, ErrorKind::Other, "read_ranges callback failed");
    std::vector<uint8_t> bad = f.bytes;
    bad[4] = 2;  // version
    EXPECT_EQ(failure_of([&] { (void)open_bytes(bad, {}); }).kind, ErrorKind::InvalidData);
}

// ---- Resident sections ---------------------------------------------------------------------

TEST(DiskAnnResident, BudgetEqualToThePeakLoads) {
    const DiskAnnFile f = compact_file(300);
    const uint64_t peak = resident_peak_bytes(f.header);
    Opened tight = open_bytes(f.bytes, budget(peak - 1));
    expect_error([&] { tight.reader.ensure_resident(); }, ErrorKind::InvalidData,
                 fmt::format("DiskANN resident warmup requires {} bytes, exceeding reader budget {}", peak, peak - 1));
    EXPECT_EQ(tight.source.stats().calls, 1u);  // refused before reading
    EXPECT_FALSE(tight.reader.has_resident());

    Opened ok = open_bytes(f.bytes, budget(peak));
    ok.reader.ensure_resident();
    ASSERT_TRUE(ok.reader.has_resident());
    const DiskAnnResidentData& r = ok.reader.resident();
    EXPECT_EQ(r.pq.m(), 4u);
    EXPECT_EQ(r.pq_codes.size(), f.header.sections[2].length);
    EXPECT_EQ(r.adjacency_validation->page_count(), f.plan.page_count);
    // Once loaded, nothing more is read.
    const uint64_t calls = ok.source.stats().calls;
    ok.reader.ensure_resident();
    EXPECT_EQ(ok.source.stats().calls, calls);
}

TEST(DiskAnnResident, HostRangeLimitGroupsTheFiveRanges) {
    const DiskAnnFile f = compact_file(100);
    const std::pair<uint64_t, uint64_t> cases[] = {{0, 1}, {1, 5}, {2, 3}, {4, 2}, {5, 1}, {9, 1}};
    for (const auto& [limit, calls] : cases) {
        MemorySource::Options so;
        so.max_ranges_per_call = limit;
        Opened o = open_bytes(f.bytes, budget(1 << 30), so);
        o.source.reset();
        o.reader.ensure_resident();
        const auto stats = o.source.stats();
        EXPECT_EQ(stats.calls, calls) << limit;
        EXPECT_EQ(stats.ranges, 5u) << limit;
        EXPECT_EQ(stats.cap_violations, 0u);
        // The last range is the 1-byte probe at the file's end.
        EXPECT_EQ(stats.log.back().back().offset, f.header.file_length - 1);
        EXPECT_EQ(stats.log.back().back().len, 1u);
    }
}

TEST(DiskAnnResident, ShortFileFailsTheProbe) {
    const DiskAnnFile f = compact_file(100);
    std::vector<uint8_t> cut = f.bytes;
    cut.pop_back();
    Opened o = open_bytes(cut, budget(1 << 30));
    expect_error([&] { o.reader.ensure_resident(); }, ErrorKind::Other, "read_ranges callback failed");
    EXPECT_FALSE(o.reader.has_resident());
    DiskAnnIndexReader eof = DiskAnnIndexReader::open_with_options(std::make_shared<EofSource>(cut), budget(1 << 30));
    expect_error([&] { eof.ensure_resident(); }, ErrorKind::InvalidData, "DiskANN resident sections is truncated");
}

TEST(DiskAnnResident, DecodeErrorsLeaveNothingLoaded) {
    const DiskAnnFile f = compact_file(100);
    std::vector<uint8_t> bad = f.bytes;
    bad[f.header.sections[0].offset] ^= 1;  // codebook magic
    Opened o = open_bytes(bad, budget(1 << 30));
    expect_error([&] { o.reader.ensure_resident(); }, ErrorKind::InvalidData, "invalid DiskANN PQ codebook metadata");
    EXPECT_FALSE(o.reader.has_resident());
    // Not-finite codebook values.
    std::vector<uint8_t> nan = f.bytes;
    const float v = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(nan.data() + f.header.sections[0].length + f.header.sections[0].offset - 4, &v, 4);
    Opened n = open_bytes(nan, budget(1 << 30));
    expect_error([&] { n.reader.ensure_resident(); }, ErrorKind::InvalidData, "DiskANN PQ centroids must be finite");
}

// ---- Preload ----------------------------------------------------------------------------------

struct PreloadCase {
    const char* what;
    uint64_t pages;
    uint64_t bound;
    std::optional<uint64_t> available;  // memory = steady + available; absent: ample
    uint64_t preload;
    uint64_t caches;  // total capacity of both caches afterwards
};

TEST(DiskAnnPreload, SizesFromBoundSectionAndMemory) {
    const PreloadCase cases[] = {
        {"bound rounded up to 64 KiB", 64, 100'000, std::nullopt, 131'072, 2 * kMiB},
        {"whole short section", 13, 16 * kMiB, std::nullopt, 53'248, 2 * kMiB},
        {"rounded target lowered to the section", 30, 100'000, std::nullopt, 122'880, 2 * kMiB},
        {"memory rounds down", 64, 16 * kMiB, 200'000, 196'608, 200'000 - 196'608},
        {"too little memory", 64, 16 * kMiB, 60'000, 0, 60'000},
    };
    for (const PreloadCase& c : cases) {
        SCOPED_TRACE(c.what);
        const DiskAnnFile f = paged_file(c.pages);
        ASSERT_EQ(f.plan.page_count, c.pages);
        const uint64_t steady = resident_steady_bytes(f.header);
        const uint64_t memory = c.available ? steady + *c.available : uint64_t{1} << 40;
        Opened o = open_bytes(f.bytes, explicit_budgets(c.bound, kMiB, memory, kMiB));
        o.reader.ensure_resident();
        EXPECT_EQ(o.reader.adjacency_cache().total_capacity(), kMiB);
        o.source.reset();
        o.reader.optimize_for_search();
        EXPECT_EQ(o.reader.adjacency_preload().size(), c.preload);
        EXPECT_EQ(o.reader.adjacency_cache().total_capacity() + o.reader.raw_vector_cache().total_capacity(),
                  c.caches);
        EXPECT_EQ(o.source.stats().calls, c.preload == 0 ? 0u : 1u);
        if (c.preload != 0) {
            EXPECT_EQ(0, std::memcmp(o.reader.adjacency_preload().data(),
                                     f.bytes.data() + f.header.sections[5].offset, c.preload));
            for (uint64_t p = 0; p < c.preload / 4096; ++p) {
                EXPECT_EQ(o.reader.resident().adjacency_validation->state(p), AdjacencyValidationCache::kValid);
            }
        }
        // Once preloaded, a second call reads nothing.
        o.source.reset();
        o.reader.optimize_for_search();
        if (c.preload != 0) {
            EXPECT_EQ(o.source.stats().calls, 0u);
        }
    }
}

TEST(DiskAnnPreload, SixteenMiBBound) {
    auto contents = ring_contents(70'000, 4, 64);
    contents.config.storage_layout = diskann::StorageLayout::Interleaved;
    const DiskAnnFile f = build_diskann_file(contents);
    ASSERT_GT(f.header.sections[5].length, 16 * kMiB);
    Opened o = open_bytes(f.bytes, explicit_budgets(16 * kMiB, 0, uint64_t{1} << 40, 0));
    o.reader.optimize_for_search();
    EXPECT_EQ(o.reader.adjacency_preload().size(), 16 * kMiB);
    EXPECT_EQ(o.reader.resident().adjacency_validation->state(4095), AdjacencyValidationCache::kValid);
    EXPECT_EQ(o.reader.resident().adjacency_validation->state(4096), AdjacencyValidationCache::kUnchecked);
}

TEST(DiskAnnPreload, ZeroBoundLeavesTheCaches) {
    const DiskAnnFile f = paged_file(4);
    Opened o = open_bytes(f.bytes, explicit_budgets(0, 3 * kMiB, 1 << 20, kMiB));
    o.reader.optimize_for_search();
    EXPECT_TRUE(o.reader.adjacency_preload().empty());
    EXPECT_EQ(o.reader.adjacency_cache().total_capacity(), 3 * kMiB);
    EXPECT_EQ(o.reader.raw_vector_cache().total_capacity(), kMiB);
}

TEST(DiskAnnPreload, CorruptPageFailsAndReplaysItsError) {
    DiskAnnFile f = paged_file(30);
    // The first list on page 5 gets an out-of-range first neighbour.
    uint64_t node = 0;
    while (f.plan.locators[node].page != 5) ++node;
    const uint64_t at = f.header.sections[5].offset + f.plan.locators[node].position();
    for (int i = 0; i < 4; ++i) f.bytes[at + i] = 0xFF;
    const std::string error = tavren::testing::check_diskann_file(f.bytes);
    ASSERT_NE(error, "");

    Opened o = open_bytes(f.bytes, explicit_budgets(kMiB, kMiB, uint64_t{1} << 40, kMiB));
    const auto first = failure_of([&] { o.reader.optimize_for_search(); });
    EXPECT_EQ(first.kind, ErrorKind::InvalidData);
    EXPECT_EQ(first.message, error);
    EXPECT_TRUE(o.reader.adjacency_preload().empty());
    const AdjacencyValidationCache& states = *o.reader.resident().adjacency_validation;
    EXPECT_EQ(states.state(5), AdjacencyValidationCache::kInvalid);
    // Caches keep the size set before the read: available minus the preload.
    EXPECT_EQ(o.reader.adjacency_cache().total_capacity() + o.reader.raw_vector_cache().total_capacity(), 2 * kMiB);

    // Again: one more read of the preload, the same error from the record.
    o.source.reset();
    const auto second = failure_of([&] { o.reader.optimize_for_search(); });
    EXPECT_EQ(second.kind, first.kind);
    EXPECT_EQ(second.message, first.message);
    EXPECT_EQ(o.source.stats().calls, 1u);
    EXPECT_EQ(states.state(5), AdjacencyValidationCache::kInvalid);
}

TEST(DiskAnnPreload, ResizeKeepsTheBudgetRatio) {
    const DiskAnnFile f = compact_file(100);
    Opened o = open_bytes(f.bytes, explicit_budgets(0, 3 * kMiB, uint64_t{1} << 40, kMiB));
    o.reader.ensure_resident();
    o.reader.resize_shared_cache_budgets(2 * kMiB);
    EXPECT_EQ(o.reader.adjacency_cache().total_capacity(), 3 * kMiB / 2);
    EXPECT_EQ(o.reader.raw_vector_cache().total_capacity(), kMiB / 2);
    o.reader.resize_shared_cache_budgets(10 * kMiB);
    EXPECT_EQ(o.reader.adjacency_cache().total_capacity(), 3 * kMiB);
    EXPECT_EQ(o.reader.raw_vector_cache().total_capacity(), kMiB);
    // Shard counts stay as created.
    EXPECT_EQ(o.reader.adjacency_cache().shard_count(), 16u);
    o.reader.resize_shared_cache_budgets(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(o.reader.adjacency_cache().total_capacity(), 3 * kMiB);

    Opened zero = open_bytes(f.bytes, explicit_budgets(0, 0, uint64_t{1} << 40, 0));
    zero.reader.ensure_resident();
    zero.reader.resize_shared_cache_budgets(5);
    EXPECT_EQ(zero.reader.adjacency_cache().total_capacity(), 0u);
    EXPECT_EQ(zero.reader.raw_vector_cache().total_capacity(), 0u);
}

// ---- Clones and lookups --------------------------------------------------------------------------

TEST(DiskAnnClones, ShareWhatExistsAtCloneTime) {
    const DiskAnnFile f = paged_file(20);
    Opened o = open_bytes(f.bytes, budget(uint64_t{1} << 32));
    o.reader.calibrated_l_search() = 77;
    DiskAnnIndexReader early = o.reader.try_clone_with_shared_state();
    EXPECT_FALSE(early.has_resident());
    early.ensure_resident();
    EXPECT_FALSE(o.reader.has_resident());  // the parent does not get the clone's
    EXPECT_EQ(*early.calibrated_l_search(), 77u);

    o.reader.optimize_for_search();
    o.reader.stats().filtered_exhaustive_queries = 9;
    DiskAnnIndexReader late = o.reader.try_clone_with_shared_state();
    EXPECT_EQ(late.resident_handle(), o.reader.resident_handle());
    EXPECT_EQ(late.adjacency_preload_handle(), o.reader.adjacency_preload_handle());
    EXPECT_EQ(late.row_id_order_state(), o.reader.row_id_order_state());
    EXPECT_EQ(late.row_id_order_state(), early.row_id_order_state());
    EXPECT_EQ(&late.adjacency_cache(), &o.reader.adjacency_cache());
    EXPECT_EQ(late.input_handle(), o.reader.input_handle());
    EXPECT_EQ(late.header(), o.reader.header());
    EXPECT_EQ(late.cache_budgets(), o.reader.cache_budgets());
    EXPECT_EQ(late.header_read_latency(), o.reader.header_read_latency());
    EXPECT_EQ(late.stats().filtered_exhaustive_queries, 0u);
    EXPECT_NE(&late.scratch(), &o.reader.scratch());
    EXPECT_TRUE(late.batch_workers().empty());
    // Nothing was copied: the resident data and the preload have one more owner each.
    EXPECT_EQ(o.reader.resident_handle().use_count(), 2);
}

TEST(DiskAnnLookups, RowIdsAndLocators) {
    auto contents = ring_contents(50, 3);
    for (size_t i = 0; i < contents.row_ids.size(); ++i) contents.row_ids[i] = 1000 + 3 * static_cast<int64_t>(i);
    const DiskAnnFile f = build_diskann_file(contents);
    Opened o = open_bytes(f.bytes, budget(1 << 30));
    expect_error([&] { (void)o.reader.row_id(0); }, ErrorKind::InvalidData, "DiskANN resident sections are not loaded");
    expect_error([&] { (void)o.reader.adjacency_locator(0); }, ErrorKind::InvalidData,
                 "DiskANN resident sections are not loaded");
    expect_error([&] { (void)o.reader.adjacency_cache(); }, ErrorKind::InvalidData,
                 "DiskANN resident sections are not loaded");
    expect_error([&] { o.reader.try_for_each_row_id([](uint64_t, int64_t) {}); }, ErrorKind::InvalidData,
                 "DiskANN resident sections are not loaded");
    o.reader.ensure_resident();
    EXPECT_EQ(o.reader.row_id(0), 1000);
    EXPECT_EQ(o.reader.row_id(49), 1147);
    expect_error([&] { (void)o.reader.row_id(50); }, ErrorKind::InvalidData, "DiskANN row-ID node is out of range");
    EXPECT_EQ(o.reader.adjacency_locator(7), f.plan.locators[7]);
    expect_error([&] { (void)o.reader.adjacency_locator(50); }, ErrorKind::InvalidData,
                 "DiskANN adjacency index is truncated");
    std::vector<uint64_t> visited;
    const auto stop = failure_of([&] {
        o.reader.try_for_each_row_id([&](uint64_t node, int64_t id) {
            EXPECT_EQ(id, 1000 + 3 * static_cast<int64_t>(node));
            visited.push_back(node);
            if (node == 3) invalid_input("stop at {}", node);
        });
    });
    EXPECT_EQ(stop.message, "stop at 3");
    EXPECT_EQ(visited, (std::vector<uint64_t>{0, 1, 2, 3}));

    // Width 0: every node has the base.
    auto same = ring_contents(20, 2);
    for (auto& id : same.row_ids) id = -5;
    Opened s = open_bytes(build_diskann_file(same).bytes, budget(1 << 30));
    s.reader.ensure_resident();
    ASSERT_NE(s.reader.resident().row_ids.packed(), nullptr);
    EXPECT_EQ(s.reader.resident().row_ids.packed()->width, 0);
    EXPECT_EQ(s.reader.row_id(19), -5);
}

// ---- Row-ID order ------------------------------------------------------------------------------

TEST(DiskAnnRowIdOrder, BudgetEqualToThePeakLoads) {
    auto contents = ring_contents(1000, 4);
    for (size_t i = 0; i < contents.row_ids.size(); ++i) contents.row_ids[i] = static_cast<int64_t>((i * 7) % 1000);
    const DiskAnnFile f = build_diskann_file(contents);
    const uint64_t peak = row_id_order_peak_bytes(f.header, 0);
    ASSERT_GT(peak, resident_peak_bytes(f.header));

    Opened tight = open_bytes(f.bytes, budget(peak - 1));
    tight.reader.ensure_resident();
    DiskAnnIndexReader clone = tight.reader.try_clone_with_shared_state();
    tight.source.reset();
    EXPECT_EQ(tight.reader.ensure_row_id_order(), nullptr);
    EXPECT_EQ(clone.ensure_row_id_order(), nullptr);  // Unavailable for the whole family
    EXPECT_EQ(tight.source.stats().calls, 0u);
    EXPECT_EQ(tight.reader.row_id_order_state()->status, RowIdOrderState::Status::Unavailable);

    Opened ok = open_bytes(f.bytes, budget(peak));
    ok.reader.ensure_resident();
    ok.source.reset();
    const SharedOrder order = ok.reader.ensure_row_id_order();
    ASSERT_NE(order, nullptr);
    ASSERT_EQ(order->size(), 1000u);
    for (size_t k = 1; k < order->size(); ++k) {
        EXPECT_LT(ok.reader.row_id((*order)[k - 1]), ok.reader.row_id((*order)[k]));
    }
    EXPECT_EQ(ok.source.stats().calls, 1u);
    EXPECT_EQ(ok.reader.loaded_row_id_order_bytes(), 4000u);
    // Caches get back what is left: budget - steady - order bytes, in the budgets' ratio.
    const uint64_t left = peak - resident_steady_bytes(f.header) - 4000;
    EXPECT_EQ(ok.reader.adjacency_cache().total_capacity() + ok.reader.raw_vector_cache().total_capacity(),
              std::min(left, ok.reader.cache_budgets().adjacency_cache_bytes +
                                 ok.reader.cache_budgets().vector_cache_bytes));
    // Loaded: shared, no more reads.
    EXPECT_EQ(ok.reader.ensure_row_id_order(), order);
    EXPECT_EQ(ok.source.stats().calls, 1u);
}

TEST(DiskAnnRowIdOrder, TwoClonesReadTheSectionOnce) {
    const DiskAnnFile f = compact_file(2000);
    const uint64_t section_at = f.header.sections[3].offset;
    for (int round = 0; round < 20; ++round) {
        Opened o = open_bytes(f.bytes, budget(uint64_t{1} << 32));
        o.reader.ensure_resident();
        DiskAnnIndexReader a = o.reader.try_clone_with_shared_state();
        DiskAnnIndexReader b = o.reader.try_clone_with_shared_state();
        SharedOrder got_a, got_b;
        std::barrier start(2);
        std::thread ta([&] {
            start.arrive_and_wait();
            got_a = a.ensure_row_id_order();
        });
        std::thread tb([&] {
            start.arrive_and_wait();
            got_b = b.ensure_row_id_order();
        });
        ta.join();
        tb.join();
        ASSERT_NE(got_a, nullptr);
        EXPECT_EQ(got_a, got_b);
        uint64_t reads = 0;
        for (const auto& call : o.source.stats().log) {
            for (const auto& r : call) reads += r.offset == section_at ? 1 : 0;
        }
        EXPECT_EQ(reads, 1u);
    }
}

TEST(DiskAnnRowIdOrder, FailedLoadCanBeRetried) {
    const DiskAnnFile f = compact_file(500);
    MemorySource::Options so;
    so.fail_on_call = 2;  // header, resident sections, then the order read fails
    Opened o = open_bytes(f.bytes, budget(uint64_t{1} << 32), so);
    o.reader.ensure_resident();
    expect_error([&] { (void)o.reader.ensure_row_id_order(); }, ErrorKind::Other, "read_ranges callback failed");
    EXPECT_EQ(o.reader.row_id_order_state()->status, RowIdOrderState::Status::NotLoaded);
    EXPECT_NE(o.reader.ensure_row_id_order(), nullptr);

    // Without resident data the load fails and stays retryable.
    Opened cold = open_bytes(f.bytes, budget(uint64_t{1} << 32));
    expect_error([&] { (void)cold.reader.ensure_row_id_order(); }, ErrorKind::InvalidData,
                 "DiskANN resident sections are not loaded");
    EXPECT_EQ(cold.reader.row_id_order_state()->status, RowIdOrderState::Status::NotLoaded);

    // A corrupt order: its validation error, NotLoaded.
    std::vector<uint8_t> bad = f.bytes;
    std::memset(bad.data() + f.header.sections[3].offset, 0, 8);
    Opened c = open_bytes(bad, budget(uint64_t{1} << 32));
    c.reader.ensure_resident();
    EXPECT_EQ(failure_of([&] { (void)c.reader.ensure_row_id_order(); }).message,
              "DiskANN row-ID order must be globally strictly increasing");
    EXPECT_EQ(c.reader.row_id_order_state()->status, RowIdOrderState::Status::NotLoaded);
}

TEST(DiskAnnRowIdOrder, LoadedOrderCountsAgainstThePreload) {
    const DiskAnnFile f = paged_file(64);
    const uint64_t steady = resident_steady_bytes(f.header);
    const uint64_t n = f.header.vector_count;
    const uint64_t peak = row_id_order_peak_bytes(f.header, 0);
    // Budget: the order's peak, and after it 131,072 + 4 n bytes of room for the preload.
    const uint64_t memory = std::max(peak, steady + 4 * n + 131'072);
    Opened o = open_bytes(f.bytes, explicit_budgets(16 * kMiB, kMiB, memory, kMiB));
    o.reader.ensure_resident();
    ASSERT_NE(o.reader.ensure_row_id_order(), nullptr);
    o.reader.optimize_for_search();
    const uint64_t available = memory - steady - 4 * n;
    EXPECT_EQ(o.reader.adjacency_preload().size(), std::min<uint64_t>(available / 65536 * 65536, 64 * 4096));
}

TEST(DiskAnnRowIdOrder, ReadU32Section) {
    std::vector<uint8_t> bytes(3 * kMiB + 16);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13);
    Opened unused = open_bytes(compact_file(10).bytes, {});
    (void)unused;
    MemorySource::Observer observer;
    auto source = MemorySource::make(bytes, {}, &observer);
    expect_error([&] { (void)read_u32_section(*source, 0, 10, "row-ID order"); }, ErrorKind::InvalidData,
                 "DiskANN row-ID order section is not u32-aligned");
    EXPECT_EQ(observer.stats().calls, 0u);
    EXPECT_TRUE(read_u32_section(*source, 0, 0, "x").empty());
    EXPECT_EQ(observer.stats().calls, 0u);
    const std::vector<uint32_t> values = read_u32_section(*source, 16, 3 * kMiB, "x");
    EXPECT_EQ(observer.stats().calls, 3u);
    EXPECT_EQ(observer.stats().max_call_bytes, kMiB);
    ASSERT_EQ(values.size(), 3 * kMiB / 4);
    for (size_t i : {size_t{0}, size_t{1}, values.size() - 1}) {
        uint32_t v;
        std::memcpy(&v, bytes.data() + 16 + 4 * i, 4);
        EXPECT_EQ(values[i], v);
    }
    EofSource eof(std::vector<uint8_t>(100));
    expect_error([&] { (void)read_u32_section(eof, 0, 200, "row-ID order"); }, ErrorKind::InvalidData,
                 "DiskANN row-ID order is truncated");
}

// ---- Shared window cache ---------------------------------------------------------------------------

SharedWindow window_of(size_t length, size_t capacity = 0, uint8_t fill = 7) {
    auto v = std::make_shared<std::vector<uint8_t>>();
    v->reserve(std::max(length, capacity));
    v->assign(length, fill);
    return v;
}

TEST(DiskAnnWindowCache, ShardsAndCapacities) {
    SharedWindowCache one(1'048'575);
    EXPECT_EQ(one.shard_count(), 1u);
    EXPECT_EQ(one.total_capacity(), 1'048'575u);
    EXPECT_EQ(one.shard_of(123456789), 0u);
    SharedWindowCache even(1'048'576);
    EXPECT_EQ(even.shard_count(), 16u);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(even.snapshot(i).capacity, 65'536u);
    SharedWindowCache odd(1'048'591);
    for (size_t i = 0; i < 15; ++i) EXPECT_EQ(odd.snapshot(i).capacity, 65'537u);
    EXPECT_EQ(odd.snapshot(15).capacity, 65'536u);
    EXPECT_EQ(odd.total_capacity(), 1'048'591u);
    // Shard choice by page.
    const std::pair<uint64_t, size_t> pages[] = {{0, 15}, {4095, 15}, {4096, 1}, {8192, 14}, {12288, 13}, {65536, 7}};
    for (const auto& [offset, shard] : pages) EXPECT_EQ(even.shard_of(offset), shard) << offset;
    odd.set_total_capacity(0);
    EXPECT_EQ(odd.total_capacity(), 0u);
    EXPECT_EQ(odd.shard_count(), 16u);
}

TEST(DiskAnnWindowCache, ReserveWaitPublishCancel) {
    SharedWindowCache cache(100'000);
    SharedWindowLookup first = cache.lookup_or_reserve(4096, 100);
    EXPECT_EQ(first.kind, SharedWindowLookup::Kind::Reserved);
    EXPECT_EQ(first.lock_wait.acquisitions, 1u);
    EXPECT_TRUE(first.reservation.active());
    EXPECT_EQ(cache.lookup_or_reserve(4096, 100).kind, SharedWindowLookup::Kind::Wait);
    const SharedWindow w = window_of(100);
    const WindowPublishResult published = first.reservation.publish(w);
    EXPECT_EQ(published.evicted, 0u);
    EXPECT_FALSE(first.reservation.active());
    const WindowWaitResult waited = cache.wait_for(4096, 100);
    EXPECT_EQ(waited.window, w);  // the same buffer, not a copy
    SharedWindowLookup hit = cache.lookup_or_reserve(4096, 100);
    EXPECT_EQ(hit.kind, SharedWindowLookup::Kind::Hit);
    EXPECT_EQ(hit.window, w);

    // Cancel: the waiter gets no window.
    SharedWindowLookup r2 = cache.lookup_or_reserve(8192, 10);
    ASSERT_EQ(r2.kind, SharedWindowLookup::Kind::Reserved);
    const uint64_t offsets[] = {8192, 8192 + 4096 * 3};
    const LockWait lw = cache.cancel(offsets);
    EXPECT_GE(lw.acquisitions, 1u);
    EXPECT_EQ(cache.wait_for(8192, 10).window, nullptr);
    r2.reservation.release();

    // A dropped reservation cancels.
    {
        SharedWindowLookup r3 = cache.lookup_or_reserve(12288, 10);
        ASSERT_EQ(r3.kind, SharedWindowLookup::Kind::Reserved);
    }
    EXPECT_EQ(cache.snapshot(0).pending, 0u);
    EXPECT_EQ(cache.lookup_or_reserve(12288, 10).kind, SharedWindowLookup::Kind::Reserved);
}

TEST(DiskAnnWindowCache, StaleLengthAndCharges) {
    SharedWindowCache cache(100'000);
    cache.publish(0, window_of(8192, 12288));
    EXPECT_EQ(cache.snapshot(0).resident_bytes, 12288u);
    EXPECT_EQ(cache.lookup_or_reserve(0, 8192).kind, SharedWindowLookup::Kind::Hit);
    // Another length: the old window is dropped, the caller reserves.
    SharedWindowLookup stale = cache.lookup_or_reserve(0, 4096);
    EXPECT_EQ(stale.kind, SharedWindowLookup::Kind::Reserved);
    EXPECT_EQ(cache.snapshot(0).resident_bytes, 0u);
    EXPECT_EQ(cache.snapshot(0).windows, 0u);
    // Held with another length and pending: Wait.
    cache.publish(4096, window_of(10));
    SharedWindowLookup again = cache.lookup_or_reserve(0, 4096);
    EXPECT_EQ(again.kind, SharedWindowLookup::Kind::Wait);
    stale.reservation.publish(window_of(4096));
    EXPECT_EQ(cache.wait_for(0, 4095).window, nullptr);  // published with another length
    // Replacing a window releases its charge.
    cache.publish(0, window_of(4096, 5000));
    EXPECT_EQ(cache.snapshot(0).resident_bytes, 5000u + 10);
}

TEST(DiskAnnWindowCache, EvictionOldestFirstAndCapacityZero) {
    SharedWindowCache cache(300);
    cache.publish(0, window_of(100));
    cache.publish(4096, window_of(100));
    cache.publish(8192, window_of(100));
    EXPECT_EQ(cache.lookup_or_reserve(0, 100).kind, SharedWindowLookup::Kind::Hit);  // 0 becomes newest
    EXPECT_EQ(cache.publish(12288, window_of(100)).evicted, 1u);
    EXPECT_EQ(cache.snapshot(0).lru_order, (std::vector<uint64_t>{8192, 0, 12288}));
    // A window larger than the capacity evicts everything, itself last.
    EXPECT_EQ(cache.publish(16384, window_of(400)).evicted, 4u);
    EXPECT_EQ(cache.snapshot(0).windows, 0u);

    SharedWindowCache none(0);
    SharedWindowLookup r = none.lookup_or_reserve(0, 10);
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        EXPECT_EQ(none.wait_for(0, 10).window, nullptr);
        woke = true;
    });
    const SharedWindow w = window_of(10);
    EXPECT_EQ(r.reservation.publish(w).evicted, 1u);
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(w.use_count(), 1);  // the caller's reference is untouched
    EXPECT_EQ(none.lookup_or_reserve(0, 10).kind, SharedWindowLookup::Kind::Reserved);

    SharedWindowCache shrink(1000);
    shrink.publish(0, window_of(500));
    shrink.publish(4096, window_of(400));
    shrink.set_total_capacity(450);
    EXPECT_EQ(shrink.snapshot(0).lru_order, (std::vector<uint64_t>{4096}));
    shrink.set_total_capacity(0);
    EXPECT_EQ(shrink.snapshot(0).windows, 0u);
    EXPECT_EQ(shrink.total_capacity(), 0u);
}

TEST(DiskAnnWindowCache, PoisonedShardFailsEveryUseAndWakesWaiters) {
    SharedWindowCache cache(1000);
    SharedWindowLookup r = cache.lookup_or_reserve(0, 10);
    std::thread waiter([&] {
        EXPECT_EQ(failure_of([&] { (void)cache.wait_for(0, 10); }).message,
                  "DiskANN shared window cache state is poisoned");
    });
    // Let the waiter sleep first (not required: it fails either way).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(tavren::testing::assertion_text([&] {
                  cache.with_shard_lock_for_testing(0, [] { panic("broken invariant"); });
              }),
              "<no assertion>");
    waiter.join();
    const std::string poisoned = "DiskANN shared window cache state is poisoned";
    expect_error([&] { (void)cache.lookup_or_reserve(4096, 1); }, ErrorKind::InvalidData, poisoned);
    expect_error([&] { (void)cache.publish(4096, window_of(1)); }, ErrorKind::InvalidData, poisoned);
    expect_error([&] { cache.set_total_capacity(5); }, ErrorKind::InvalidData, poisoned);
    // The reservation's drop swallows the poison instead of throwing from a destructor.
}

TEST(DiskAnnWindowCache, OffsetLru) {
    OffsetLru lru;
    EXPECT_EQ(lru.pop_oldest(), std::nullopt);
    lru.touch(1);
    lru.touch(2);
    lru.touch(3);
    lru.touch(3);  // newest: nothing changes
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{1, 2, 3}));
    lru.touch(1);  // the oldest of three: the middle one becomes oldest
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{2, 3, 1}));
    EXPECT_EQ(lru.oldest(), 2u);
    lru.remove(3);
    lru.remove(99);
    EXPECT_EQ(lru.oldest_to_newest(), (std::vector<uint64_t>{2, 1}));
    EXPECT_EQ(lru.pop_oldest(), 2u);
    EXPECT_EQ(lru.pop_oldest(), 1u);
    EXPECT_EQ(lru.pop_oldest(), std::nullopt);
    EXPECT_TRUE(lru.empty());
    EXPECT_EQ(lru.newest(), std::nullopt);
}

// ---- Validation cache ---------------------------------------------------------------------------

TEST(DiskAnnValidationCache, ChecksOnceAndReplaysFailures) {
    AdjacencyValidationCache cache(4);
    int checks = 0;
    cache.validate_once(0, [&] { ++checks; });
    cache.validate_once(0, [&] { ++checks; });
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(cache.state(0), AdjacencyValidationCache::kValid);

    const auto bad = [&] {
        ++checks;
        fail(ErrorKind::InvalidInput, "page {} is bad", 1);
    };
    const auto first = failure_of([&] { cache.validate_once(1, bad); });
    const auto second = failure_of([&] { cache.validate_once(1, bad); });
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(first.kind, ErrorKind::InvalidInput);
    EXPECT_EQ(first.message, "page 1 is bad");
    EXPECT_EQ(second.kind, first.kind);
    EXPECT_EQ(second.message, first.message);
    EXPECT_EQ(cache.state(1), AdjacencyValidationCache::kInvalid);

    expect_error([&] { cache.validate_once(4, [] {}); }, ErrorKind::InvalidData,
                 "DiskANN adjacency page is out of range");
    AdjacencyValidationCache empty(0);
    expect_error([&] { empty.validate_once(0, [] {}); }, ErrorKind::InvalidData,
                 "DiskANN adjacency page is out of range");
}

TEST(DiskAnnValidationCache, DroppedClaimLetsAWaiterCheck) {
    AdjacencyValidationCache cache(2);
    std::atomic<int> checks{0};
    std::optional<AdjacencyValidationClaim> claim = cache.try_claim(0);
    ASSERT_TRUE(claim.has_value());
    EXPECT_FALSE(cache.try_claim(0).has_value());
    EXPECT_EQ(cache.state(0), AdjacencyValidationCache::kClaimed);
    std::thread waiter([&] { cache.validate_once(0, [&] { ++checks; }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    claim.reset();  // dropped unpublished: back to unchecked, waiter wakes and checks
    waiter.join();
    EXPECT_EQ(checks.load(), 1);
    EXPECT_EQ(cache.state(0), AdjacencyValidationCache::kValid);

    // A check that throws something other than Error (an assertion) unwinds
    // through the claim: the page is unchecked again, not stuck claimed.
    EXPECT_NE(tavren::testing::assertion_text([&] { cache.validate_once(1, [] { panic("check broke"); }); }),
              "<no assertion>");
    EXPECT_EQ(cache.state(1), AdjacencyValidationCache::kUnchecked);
}

TEST(DiskAnnValidationCache, TwoWorkersOneCheck) {
    for (int round = 0; round < 50; ++round) {
        AdjacencyValidationCache cache(1);
        std::atomic<int> checks{0};
        std::barrier start(2);
        auto work = [&] {
            start.arrive_and_wait();
            return failure_of([&] {
                cache.validate_once(0, [&] {
                    ++checks;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    invalid_data("bad page");
                });
            });
        };
        tavren::testing::Failure fa, fb;
        std::thread ta([&] { fa = work(); });
        std::thread tb([&] { fb = work(); });
        ta.join();
        tb.join();
        EXPECT_EQ(checks.load(), 1);
        EXPECT_EQ(fa.message, "bad page");
        EXPECT_EQ(fb.message, "bad page");
        EXPECT_EQ(fb.kind, ErrorKind::InvalidData);
    }
}

}  // namespace
