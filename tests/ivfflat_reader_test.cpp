// IVF-FLAT file reader: header checks, metadata loading, list reads (batched
// and streamed), the ID decoder of the batched path and the read budgets.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "expect.hpp"
#include "index_io_util.hpp"
#include "ivfflat_file_builder.hpp"
#include "ivfflat_io.hpp"
#include "memory_source.hpp"

#include "allocation_watch.hpp"  // replaces the global allocation functions in this executable

namespace {

using tavren::Error;
using tavren::ErrorKind;
using tavren::ivfflat_io::AlignedFlatPayload;
using tavren::ivfflat_io::FlatListData;
using tavren::ivfflat_io::IVFFlatIndexReader;
using tavren::ivfflat_io::ReadBudgets;
using tavren::testing::FlatFileList;
using tavren::testing::IvfFlatFileBuilder;
using tavren::testing::MemorySource;
using tavren::testing::open_flat_reader;
namespace ivf = tavren::ivfflat_io;
namespace util = tavren::index_io_util;

using tavren::testing::AllocationWatch;

using tavren::testing::expect_error;

std::vector<float> row_of(size_t d, float seed) {
    std::vector<float> r(d);
    for (size_t j = 0; j < d; ++j) r[j] = seed + 0.25f * static_cast<float>(j);
    return r;
}

// An ID section of `zero_gaps` zero gaps, then one ten-byte number: nine
// `fill` bytes and a tenth byte `tenth`.
std::vector<uint8_t> zero_gaps_then_ten_bytes(size_t zero_gaps, uint8_t fill, uint8_t tenth) {
    std::vector<uint8_t> s(zero_gaps, 0x00);
    s.insert(s.end(), 9, fill);
    s.push_back(tenth);
    return s;
}

// d = 2, three lists: list 0 holds IDs 7 and 3, list 1 is empty, list 2 holds 40.
IvfFlatFileBuilder small_file() {
    IvfFlatFileBuilder b(2, 3, 0);
    b.centroids = {0, 0, 10, 10, 20, 20};
    b.add(0, 7, row_of(2, 7));
    b.add(0, 3, row_of(2, 3));
    b.add(2, 40, row_of(2, 40));
    return b;
}

std::array<uint8_t, 64> header_of(const IvfFlatFileBuilder& b) {
    std::array<uint8_t, 64> h{};
    const std::vector<uint8_t> bytes = b.build();
    std::copy(bytes.begin(), bytes.begin() + 64, h.begin());
    return h;
}

// ---- Header --------------------------------------------------------------------------

TEST(IvfFlatReaderOpen, ReadsNothingAndExposesTheHeader) {
    IvfFlatFileBuilder b = small_file();
    b.header.metric = 2;
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    EXPECT_EQ(obs.stats().calls, 0u);
    EXPECT_EQ(r.dimension(), 2u);
    EXPECT_EQ(r.nlist(), 3u);
    EXPECT_EQ(r.metric(), 2u);
    EXPECT_EQ(r.total(), 3u);
    EXPECT_FALSE(r.loaded());
    EXPECT_TRUE(r.centroids().empty());
}

TEST(IvfFlatReaderOpen, EveryHeaderFieldIsChecked) {
    struct Case {
        const char* name;
        void (*forge)(tavren::ivfflat_format::Header&);
        const char* message;
    };
    const Case cases[] = {
        {"magic", [](auto& h) { h.magic = 0x4956505A; }, "Invalid IVFFLAT magic: 0x4956505A"},
        {"magic shown zero-padded", [](auto& h) { h.magic = 0xAB; }, "Invalid IVFFLAT magic: 0x000000AB"},
        {"version", [](auto& h) { h.version = 2; }, "Unsupported IVFFLAT version: 2"},
        {"d zero", [](auto& h) { h.dimension = 0; }, "invalid header field d: 0 (must be positive)"},
        {"d negative", [](auto& h) { h.dimension = -3; }, "invalid header field d: -3 (must be positive)"},
        {"nlist zero", [](auto& h) { h.nlist = 0; }, "invalid header field nlist: 0 (must be positive)"},
        {"nlist negative", [](auto& h) { h.nlist = -1; }, "invalid header field nlist: -1 (must be positive)"},
        {"metric", [](auto& h) { h.metric = 3; }, "Unknown metric type: 3"},
        {"reserved first", [](auto& h) { h.reserved[0] = 1; }, "IVFFLAT reserved bytes must be zero"},
        {"reserved last", [](auto& h) { h.reserved[31] = 0x80; }, "IVFFLAT reserved bytes must be zero"},
        {"flags 3", [](auto& h) { h.flags = 3; }, "Unsupported IVFFLAT flags: 0x00000002"},
        {"flags high bit", [](auto& h) { h.flags = 0x80000000; }, "Unsupported IVFFLAT flags: 0x80000000"},
        {"flags 0", [](auto& h) { h.flags = 0; }, "IVFFLAT v1 requires delta IDs"},
        // Order: the first failing check in the listed order wins.
        {"magic before version", [](auto& h) { h.magic = 1; h.version = 9; }, "Invalid IVFFLAT magic: 0x00000001"},
        {"version before d", [](auto& h) { h.version = 0; h.dimension = 0; }, "Unsupported IVFFLAT version: 0"},
        {"d before nlist", [](auto& h) { h.dimension = 0; h.nlist = 0; }, "invalid header field d: 0 (must be positive)"},
        {"nlist before metric", [](auto& h) { h.nlist = 0; h.metric = 7; }, "invalid header field nlist: 0 (must be positive)"},
        {"metric before reserved", [](auto& h) { h.metric = 7; h.reserved[3] = 1; }, "Unknown metric type: 7"},
        {"reserved before flags", [](auto& h) { h.reserved[3] = 1; h.flags = 0; }, "IVFFLAT reserved bytes must be zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IvfFlatFileBuilder b = small_file();
        c.forge(b.header);
        const std::array<uint8_t, 64> h = header_of(b);
        expect_error([&] {
            IVFFlatIndexReader::open_with_header(std::make_unique<MemorySource>(b.build()),
                                                 std::span<const uint8_t, 64>(h));
        }, ErrorKind::InvalidData, c.message);
    }
}

TEST(IvfFlatReaderOpen, TotalIsNotCheckedAtOpen) {
    IvfFlatFileBuilder b = small_file();
    b.total = 99;
    IVFFlatIndexReader r = open_flat_reader(b.build());
    EXPECT_EQ(r.total(), 99u);
}

// ---- Metadata ---------------------------------------------------------------------------

TEST(IvfFlatReaderLoad, OneReadOfCentroidsAndTable) {
    IvfFlatFileBuilder b = small_file();
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    r.ensure_loaded();
    r.ensure_loaded();
    const auto s = obs.stats();
    ASSERT_EQ(s.calls, 1u);
    ASSERT_EQ(s.log[0].size(), 1u);
    EXPECT_EQ(s.log[0][0].offset, 64u);
    EXPECT_EQ(s.log[0][0].len, 4u * 3 * 2 + 16u * 3);
    EXPECT_TRUE(r.loaded());
    EXPECT_EQ(std::vector<float>(r.centroids().begin(), r.centroids().end()), b.centroids);
    EXPECT_EQ(r.list_count(0), 2);
    EXPECT_EQ(r.list_count(1), 0);
    EXPECT_EQ(r.list_count(2), 1);
}

TEST(IvfFlatReaderLoad, TableFaultsFailInListOrder) {
    struct Case {
        const char* name;
        void (*forge)(IvfFlatFileBuilder&);
        const char* message;
    };
    const Case cases[] = {
        {"negative count", [](IvfFlatFileBuilder& b) { b.lists[1].entry_count = -1; }, "negative list count -1 at list 1"},
        {"negative id length", [](IvfFlatFileBuilder& b) { b.lists[0].entry_id_len = -2; },
         "negative id_bytes_len -2 at list 0"},
        {"missing ID bytes", [](IvfFlatFileBuilder& b) { b.lists[2].entry_id_len = 0; },
         "missing delta ID bytes for non-empty IVF-FLAT list 2"},
        {"earlier list first",
         [](IvfFlatFileBuilder& b) {
             b.lists[0].entry_id_len = -2;
             b.lists[1].entry_count = -5;
         },
         "negative id_bytes_len -2 at list 0"},
        {"count before id length in one entry",
         [](IvfFlatFileBuilder& b) {
             b.lists[0].entry_count = -4;
             b.lists[0].entry_id_len = -4;
         },
         "negative list count -4 at list 0"},
        {"table before total",
         [](IvfFlatFileBuilder& b) {
             b.total = 1;
             b.lists[2].entry_id_len = 0;
         },
         "missing delta ID bytes for non-empty IVF-FLAT list 2"},
        {"total", [](IvfFlatFileBuilder& b) { b.total = 5; }, "IVF-FLAT header vector count 5 does not match list total 3"},
        {"huge total", [](IvfFlatFileBuilder& b) { b.total = ~uint64_t{0}; },
         "IVF-FLAT header vector count 18446744073709551615 does not match list total 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IvfFlatFileBuilder b = small_file();
        c.forge(b);
        IVFFlatIndexReader r = open_flat_reader(b.build());
        expect_error([&] { r.ensure_loaded(); }, ErrorKind::InvalidData, c.message);
        EXPECT_FALSE(r.loaded());
    }
}

TEST(IvfFlatReaderLoad, AFailedLoadIsRetriedFromTheStart) {
    IvfFlatFileBuilder b = small_file();
    MemorySource::Options o;
    o.fail_on_call = 0;
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), o, &obs);
    expect_error([&] { r.ensure_loaded(); }, ErrorKind::Other, "read_ranges callback failed");
    EXPECT_FALSE(r.loaded());
    r.ensure_loaded();
    EXPECT_TRUE(r.loaded());
    EXPECT_EQ(obs.stats().calls, 2u);
}

TEST(IvfFlatReaderLoad, AWrongTotalFailsEveryLoad) {
    IvfFlatFileBuilder b = small_file();
    b.total = 4;
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    for (int attempt = 0; attempt < 3; ++attempt) {
        expect_error([&] { r.search_with_filter(std::vector<float>{0, 0}, 1, 1, nullptr); }, ErrorKind::InvalidData,
                     "IVF-FLAT header vector count 4 does not match list total 3");
    }
    EXPECT_EQ(obs.stats().calls, 3u);  // the metadata is read again each time
}

TEST(IvfFlatReaderLoad, TruncationInsideTheMetadataIsAReadFailure) {
    const std::vector<uint8_t> whole = small_file().build();
    for (size_t cut : {size_t{64}, size_t{70}, size_t{64 + 24}, size_t{64 + 24 + 47}}) {
        SCOPED_TRACE(cut);
        IVFFlatIndexReader r = open_flat_reader(std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
        expect_error([&] { r.ensure_loaded(); }, ErrorKind::Other, "read_ranges callback failed");
    }
}

TEST(IvfFlatReaderLoad, SectionLimit) {
    // 32,769 x 32,768 centroid values: one more row than the section limit allows.
    IvfFlatFileBuilder b(1, 1, 0);
    b.header.dimension = 32768;
    b.header.nlist = 32769;
    std::vector<uint8_t> bytes = b.build();
    bytes.resize(64);
    IVFFlatIndexReader r = open_flat_reader(bytes);
    expect_error([&] { r.ensure_loaded(); }, ErrorKind::InvalidData, "section size 1073774592 exceeds maximum 1073741824");
}

// A forged 64-byte header claiming 2^30 centroid values (4 GiB) and a 512 KiB
// table: the load fails on the read of what is not there, having allocated at
// most one bounded piece.
TEST(IvfFlatReaderLoad, AForgedHeaderCannotSizeTheAllocation) {
    IvfFlatFileBuilder b(1, 1, 0);
    b.header.dimension = 32768;
    b.header.nlist = 32768;
    std::vector<uint8_t> bytes = b.build();
    bytes.resize(64 + 4096);
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(bytes, {}, &obs);
    size_t largest = 0;
    {
        AllocationWatch watch;
        expect_error([&] { r.ensure_loaded(); }, ErrorKind::Other, "read_ranges callback failed");
        largest = watch.largest();
    }
    EXPECT_LE(largest, util::kReadBudgetBytes);
    const auto s = obs.stats();
    ASSERT_EQ(s.calls, 1u);
    EXPECT_EQ(s.max_call_bytes, util::kReadBudgetBytes);
}

// The same claim over a file that really holds several pieces: the load reads
// until the data ends and fails there, holding only what it has read.
TEST(IvfFlatReaderLoad, PiecesStopWhereTheFileEnds) {
    IvfFlatFileBuilder b(1, 1, 0);
    b.header.dimension = 1024;
    b.header.nlist = 1024 * 1024;  // 4 GiB of centroids claimed
    std::vector<uint8_t> bytes = b.build();
    bytes.resize(64 + 3 * 4096 + 100);
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(bytes, {}, &obs);
    ReadBudgets budgets;
    budgets.metadata_piece_bytes = 4096;
    r.set_read_budgets_for_testing(budgets);
    size_t largest = 0;
    {
        AllocationWatch watch;
        expect_error([&] { r.ensure_loaded(); }, ErrorKind::Other, "read_ranges callback failed");
        largest = watch.largest();
    }
    EXPECT_LT(largest, 64u * 1024);
    EXPECT_EQ(obs.stats().calls, 4u);
}

TEST(IvfFlatReaderLoad, PiecewiseLoadGivesTheSameMetadata) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1, 1);
    IvfFlatFileBuilder b(3, 37, 0);
    for (float& c : b.centroids) c = u(rng);
    for (int i = 0; i < 200; ++i) {
        std::vector<float> row{u(rng), u(rng), u(rng)};
        b.add(static_cast<size_t>(i * 7 % 37), i * 3, row);
    }
    const std::vector<uint8_t> bytes = b.build();
    IVFFlatIndexReader whole = open_flat_reader(bytes);
    whole.ensure_loaded();
    const uint64_t metadata = 4 * 3 * 37 + 16 * 37;
    for (uint64_t piece : {uint64_t{1}, uint64_t{4}, uint64_t{13}, uint64_t{16}, uint64_t{40}, uint64_t{444}, metadata - 1}) {
        SCOPED_TRACE(piece);
        MemorySource::Observer obs;
        IVFFlatIndexReader r = open_flat_reader(bytes, {}, &obs);
        ReadBudgets budgets;
        budgets.metadata_piece_bytes = piece;
        r.set_read_budgets_for_testing(budgets);
        r.ensure_loaded();
        EXPECT_EQ(obs.stats().calls, tavren::div_ceil(metadata, piece));
        ASSERT_EQ(r.centroids().size(), whole.centroids().size());
        EXPECT_EQ(0, std::memcmp(r.centroids().data(), whole.centroids().data(), 4 * whole.centroids().size()));
        for (size_t l = 0; l < 37; ++l) {
            EXPECT_EQ(r.list_count(l), whole.list_count(l));
            EXPECT_EQ(r.list_payload_len(l), whole.list_payload_len(l));
        }
        const auto a = r.read_inverted_lists(std::vector<size_t>{0, 5, 36});
        const auto c = whole.read_inverted_lists(std::vector<size_t>{0, 5, 36});
        for (size_t j = 0; j < 3; ++j) EXPECT_EQ(a[j].ids, c[j].ids);
    }
}

// Piecewise, a table fault followed by a truncation reports the read failure,
// as a single read of the whole section would.
TEST(IvfFlatReaderLoad, PiecewiseReportsReadFailuresBeforeTableFaults) {
    IvfFlatFileBuilder b = small_file();
    b.lists[0].entry_count = -1;
    std::vector<uint8_t> bytes = b.build();
    bytes.resize(64 + 24 + 40);  // the third entry is cut
    IVFFlatIndexReader r = open_flat_reader(bytes);
    ReadBudgets budgets;
    budgets.metadata_piece_bytes = 16;
    r.set_read_budgets_for_testing(budgets);
    expect_error([&] { r.ensure_loaded(); }, ErrorKind::Other, "read_ranges callback failed");
    bytes = b.build();
    IVFFlatIndexReader whole = open_flat_reader(bytes);
    whole.set_read_budgets_for_testing(budgets);
    expect_error([&] { whole.ensure_loaded(); }, ErrorKind::InvalidData, "negative list count -1 at list 0");
}

// ---- Payload lengths and batches ---------------------------------------------------------

TEST(IvfFlatReaderLists, PayloadLength) {
    IVFFlatIndexReader r = open_flat_reader(small_file().build());
    r.ensure_loaded();
    EXPECT_EQ(r.list_payload_len(0), 12u + 2 + 2 * 4 * 2);
    EXPECT_EQ(r.list_payload_len(1), 0u);
    EXPECT_EQ(r.list_payload_len(2), 12u + 1 + 4 * 2);
    expect_error([&] { r.list_payload_len(3); }, ErrorKind::InvalidInput, "list_id 3 out of range (nlist=3)");
}

// lists: sizes in rows per list (0 = empty), d = 1, one-byte gaps.
IvfFlatFileBuilder file_with_rows(const std::vector<size_t>& rows_per_list, size_t d = 1) {
    IvfFlatFileBuilder b(static_cast<int32_t>(d), static_cast<int32_t>(rows_per_list.size()), 0);
    int64_t id = 0;
    for (size_t l = 0; l < rows_per_list.size(); ++l) {
        FlatFileList& list = b.lists[l];
        list.ids.resize(rows_per_list[l]);
        list.rows.assign(rows_per_list[l] * d, 0.5f);
        for (size_t i = 0; i < rows_per_list[l]; ++i) {
            list.ids[i] = id;
            list.rows[i * d] = static_cast<float>(id);
            ++id;
        }
    }
    return b;
}

TEST(IvfFlatReaderLists, BatchEndFollowsBudgetAndRangeCap) {
    const std::vector<size_t> all{0, 1, 2, 3, 4};
    {
        MemorySource::Options o;
        o.max_ranges_per_call = 1;
        IVFFlatIndexReader r = open_flat_reader(file_with_rows({1, 0, 0, 1, 1}).build(), o);
        r.ensure_loaded();
        EXPECT_EQ(r.batch_read_end(all), 3u);  // the empty lists join, the second non-empty does not
        EXPECT_EQ(r.batch_read_end(std::vector<size_t>{1, 2, 0}), 3u);
    }
    {
        IVFFlatIndexReader r = open_flat_reader(file_with_rows({1, 0, 0, 1, 1}).build());
        r.ensure_loaded();
        EXPECT_EQ(r.batch_read_end(all), 5u);
        EXPECT_EQ(r.batch_read_end({}), 0u);
        expect_error([&] { r.batch_read_end(std::vector<size_t>{0, 9}); }, ErrorKind::InvalidInput,
                     "list_id 9 out of range (nlist=5)");
    }
}

// ---- Batched reads -------------------------------------------------------------------------

TEST(IvfFlatReaderLists, ReadsListsInRequestOrder) {
    IvfFlatFileBuilder b = small_file();
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    const std::vector<FlatListData> lists = r.read_inverted_lists(std::vector<size_t>{2, 1, 0});
    ASSERT_EQ(lists.size(), 3u);
    EXPECT_EQ(lists[0].list, 2u);
    EXPECT_EQ(lists[0].ids, (std::vector<int64_t>{40}));
    EXPECT_EQ(std::vector<float>(lists[0].rows.vectors().begin(), lists[0].rows.vectors().end()), row_of(2, 40));
    EXPECT_EQ(lists[1].list, 1u);
    EXPECT_TRUE(lists[1].ids.empty());
    EXPECT_TRUE(lists[1].rows.vectors().empty());
    EXPECT_EQ(lists[2].ids, (std::vector<int64_t>{3, 7}));
    std::vector<float> expected = row_of(2, 3);
    const std::vector<float> second = row_of(2, 7);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(std::vector<float>(lists[2].rows.vectors().begin(), lists[2].rows.vectors().end()), expected);

    const auto s = obs.stats();
    ASSERT_EQ(s.calls, 2u);  // metadata, then one call for both non-empty lists
    EXPECT_EQ(s.log[1].size(), 2u);
}

TEST(IvfFlatReaderLists, EmptyListsCostNoRangeAndNoCall) {
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(small_file().build(), {}, &obs);
    r.ensure_loaded();
    obs.reset();
    const auto lists = r.read_inverted_lists(std::vector<size_t>{1, 1});
    EXPECT_EQ(lists.size(), 2u);
    EXPECT_EQ(obs.stats().calls, 0u);
    r.read_inverted_lists({});
    EXPECT_EQ(obs.stats().calls, 0u);
}

TEST(IvfFlatReaderLists, RangeCapSplitsTheHostCalls) {
    MemorySource::Options o;
    o.max_ranges_per_call = 2;
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(file_with_rows({1, 2, 3, 4, 5}).build(), o, &obs);
    r.ensure_loaded();
    obs.reset();
    const auto lists = r.read_inverted_lists(std::vector<size_t>{0, 1, 2, 3, 4});
    const auto s = obs.stats();
    EXPECT_EQ(s.calls, 3u);
    EXPECT_EQ(s.cap_violations, 0u);
    EXPECT_EQ(lists[4].ids, (std::vector<int64_t>{10, 11, 12, 13, 14}));
}

TEST(IvfFlatReaderLists, RowsAreAlignedWhateverTheIdLength) {
    // ID-byte lengths 1, 2, 3 and 4 give prefixes 13..16 and pads 3, 2, 1, 0.
    IvfFlatFileBuilder b(3, 4, 0);
    for (size_t l = 0; l < 4; ++l) {
        for (size_t i = 0; i <= l; ++i) b.add(l, static_cast<int64_t>(100 * l + i), row_of(3, static_cast<float>(l + i)));
    }
    IVFFlatIndexReader r = open_flat_reader(b.build());
    const auto lists = r.read_inverted_lists(std::vector<size_t>{0, 1, 2, 3});
    for (size_t l = 0; l < 4; ++l) {
        SCOPED_TRACE(l);
        const AlignedFlatPayload& p = lists[l].rows;
        EXPECT_EQ(p.prefix_len(), 13 + l);
        EXPECT_EQ(p.pad(), (4 - (13 + l) % 4) % 4);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p.vectors().data()) % 4, 0u);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(p.vectors().data()) - p.storage_bytes(),
                  static_cast<ptrdiff_t>(p.pad() + p.prefix_len()));
        EXPECT_EQ(p.vectors().size(), 3 * (l + 1));
        EXPECT_EQ(p.vectors()[0], static_cast<float>(l));
    }
    // An ID-byte length of 1: prefix 13, pad 3, rows at storage byte 16.
    EXPECT_EQ(lists[0].rows.pad(), 3u);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(lists[0].rows.vectors().data()) - lists[0].rows.storage_bytes(), 16);
}

TEST(IvfFlatReaderLists, AlignedPayloadShapes) {
    expect_error([] { AlignedFlatPayload(10, 4, 8); }, ErrorKind::InvalidData, "IVF-FLAT vector suffix has an invalid shape");
    expect_error([] { AlignedFlatPayload(15, 12, 3); }, ErrorKind::InvalidData, "IVF-FLAT vector suffix has an invalid shape");
    expect_error([] { AlignedFlatPayload(0, ~uint64_t{0}, 4); }, ErrorKind::InvalidData, "IVF-FLAT vector suffix overflow");
    expect_error([] { AlignedFlatPayload(~uint64_t{0} - 2, 1, ~uint64_t{0} - 3); }, ErrorKind::InvalidData,
                 "IVF-FLAT aligned payload overflow");
    AlignedFlatPayload empty(0, 0, 0);
    EXPECT_TRUE(empty.vectors().empty());
    AlignedFlatPayload p(17, 13, 4);
    EXPECT_EQ(p.read_buf_mut().size(), 17u);
    EXPECT_EQ(p.vectors().size(), 1u);
}

TEST(IvfFlatReaderLists, ListLevelFaults) {
    struct Case {
        const char* name;
        void (*forge)(IvfFlatFileBuilder&);
        ErrorKind kind;
        const char* message;
    };
    const Case cases[] = {
        {"negative offset", [](IvfFlatFileBuilder& b) { b.lists[2].entry_offset = -5; }, ErrorKind::InvalidData,
         "negative list offset -5 at list 2"},
        {"stored ID length differs", [](IvfFlatFileBuilder& b) { b.lists[0].stored_id_len = 3; }, ErrorKind::InvalidData,
         "IVF-FLAT id_bytes_len mismatch"},
        {"stored ID length negative", [](IvfFlatFileBuilder& b) { b.lists[0].stored_id_len = -2; },
         ErrorKind::InvalidData, "IVF-FLAT id_bytes_len mismatch"},
        {"offset past the end", [](IvfFlatFileBuilder& b) { b.lists[2].entry_offset = 1 << 20; }, ErrorKind::Other,
         "read_ranges callback failed"},
        {"decreasing IDs",
         // a gap of 2^64 - 1 wraps below the previous ID
         [](IvfFlatFileBuilder& b) { b.lists[0].id_section = zero_gaps_then_ten_bytes(1, 0xFF, 0x01); },
         ErrorKind::InvalidData, "decoded ID sequence is not monotonically non-decreasing"},
        {"truncated gap", [](IvfFlatFileBuilder& b) { b.lists[0].id_section = std::vector<uint8_t>{0x00, 0x80}; },
         ErrorKind::InvalidData, "truncated varint"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IvfFlatFileBuilder b = small_file();
        c.forge(b);
        IVFFlatIndexReader r = open_flat_reader(b.build());
        expect_error([&] { r.read_inverted_lists(std::vector<size_t>{0, 2}); }, c.kind, c.message);
    }
    IVFFlatIndexReader r = open_flat_reader(small_file().build());
    expect_error([&] { r.read_inverted_lists(std::vector<size_t>{1, 3}); }, ErrorKind::InvalidInput,
                 "list_id 3 out of range (nlist=3)");
}

TEST(IvfFlatReaderLists, TrailingIdBytesAreIgnoredInABatch) {
    IvfFlatFileBuilder b = small_file();
    b.lists[0].extra_id_bytes = {0x05, 0x85, 0x01};
    IVFFlatIndexReader r = open_flat_reader(b.build());
    const auto lists = r.read_inverted_lists(std::vector<size_t>{0});
    EXPECT_EQ(lists[0].ids, (std::vector<int64_t>{3, 7}));
    EXPECT_EQ(lists[0].rows.vectors()[0], 3.0f);
    EXPECT_EQ(lists[0].rows.prefix_len(), 12u + 5);
}

TEST(IvfFlatReaderLists, TruncatedPayloadIsAReadFailure) {
    std::vector<uint8_t> bytes = small_file().build();
    bytes.pop_back();
    IVFFlatIndexReader r = open_flat_reader(bytes);
    expect_error([&] { r.read_inverted_lists(std::vector<size_t>{2}); }, ErrorKind::Other, "read_ranges callback failed");
    EXPECT_EQ(r.read_inverted_lists(std::vector<size_t>{0})[0].ids.size(), 2u);
}

// ---- Batched reads into the reader's scratch ------------------------------------------------

// The views a search reads hold what the owning read returns, from the same
// host calls with the same ranges.
TEST(IvfFlatReaderViews, SameListsFromTheSameHostCalls) {
    struct Case {
        const char* name;
        std::vector<size_t> rows_per_list;
        size_t d;
        uint64_t cap;
        std::vector<size_t> request;
    };
    const Case cases[] = {
        {"ID lengths 1..4 (pads 3..0)", {1, 2, 3, 4}, 3, 0, {0, 1, 2, 3}},
        {"repeats and empties", {2, 0, 5, 0, 1}, 2, 0, {2, 1, 2, 3, 0, 4}},
        {"range cap", {1, 2, 3, 4, 5}, 1, 2, {0, 1, 2, 3, 4}},
        {"rows of 4 KiB and more beside small ones", {300, 1, 2, 700, 3}, 16, 0, {4, 0, 1, 3, 2}},
        {"only empty lists", {0, 3, 0}, 2, 0, {0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = file_with_rows(c.rows_per_list, c.d).build();
        MemorySource::Options o;
        o.max_ranges_per_call = c.cap;
        MemorySource::Observer owning_obs;
        MemorySource::Observer view_obs;
        IVFFlatIndexReader owning = open_flat_reader(bytes, o, &owning_obs);
        IVFFlatIndexReader viewing = open_flat_reader(bytes, o, &view_obs);
        const std::vector<FlatListData> want = owning.read_inverted_lists(c.request);
        const std::span<const ivf::FlatListView> got = viewing.read_inverted_list_views(c.request);
        ASSERT_EQ(got.size(), want.size());
        for (size_t s = 0; s < want.size(); ++s) {
            EXPECT_EQ(got[s].list, want[s].list);
            EXPECT_EQ(std::vector<int64_t>(got[s].ids.begin(), got[s].ids.end()), want[s].ids);
            const std::span<const float> rows = want[s].rows.vectors();
            EXPECT_EQ(std::vector<float>(got[s].rows.begin(), got[s].rows.end()), std::vector<float>(rows.begin(), rows.end()));
            EXPECT_EQ(reinterpret_cast<uintptr_t>(got[s].rows.data()) % 4, 0u);
            if (got[s].rows.size() * 4 >= 4096) {
                EXPECT_EQ(reinterpret_cast<uintptr_t>(got[s].rows.data()) % 64, 0u);
            }
        }
        const auto a = owning_obs.stats();
        const auto b = view_obs.stats();
        ASSERT_EQ(b.log.size(), a.log.size());
        for (size_t call = 0; call < a.log.size(); ++call) {
            ASSERT_EQ(b.log[call].size(), a.log[call].size()) << call;
            for (size_t r = 0; r < a.log[call].size(); ++r) {
                EXPECT_EQ(b.log[call][r].offset, a.log[call][r].offset);
                EXPECT_EQ(b.log[call][r].len, a.log[call][r].len);
            }
        }
    }
}

TEST(IvfFlatReaderViews, SameFailuresInTheSameOrder) {
    struct Case {
        const char* name;
        void (*forge)(IvfFlatFileBuilder&);
        std::vector<size_t> request;
    };
    const Case cases[] = {
        {"negative offset", [](IvfFlatFileBuilder& b) { b.lists[2].entry_offset = -5; }, {0, 2}},
        {"stored ID length differs", [](IvfFlatFileBuilder& b) { b.lists[0].stored_id_len = 3; }, {0, 2}},
        {"stored ID length negative", [](IvfFlatFileBuilder& b) { b.lists[2].stored_id_len = -2; }, {0, 2}},
        {"offset past the end", [](IvfFlatFileBuilder& b) { b.lists[2].entry_offset = 1 << 20; }, {0, 2}},
        {"truncated gap", [](IvfFlatFileBuilder& b) { b.lists[0].id_section = std::vector<uint8_t>{0x00, 0x80}; }, {2, 0}},
        {"eleven-byte gap", [](IvfFlatFileBuilder& b) { b.lists[0].id_section = zero_gaps_then_ten_bytes(1, 0x80, 0x81); },
         {0}},
        {"gap beyond u64", [](IvfFlatFileBuilder& b) { b.lists[0].id_section = zero_gaps_then_ten_bytes(1, 0x80, 0x02); },
         {0}},
        {"decreasing IDs", [](IvfFlatFileBuilder& b) { b.lists[0].id_section = zero_gaps_then_ten_bytes(1, 0xFF, 0x01); },
         {0}},
        {"list out of range", [](IvfFlatFileBuilder&) {}, {1, 3}},
        {"trailing ID bytes are no failure", [](IvfFlatFileBuilder& b) { b.lists[0].extra_id_bytes = {0x05, 0x85, 0x01}; },
         {0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IvfFlatFileBuilder b = small_file();
        c.forge(b);
        IVFFlatIndexReader owning = open_flat_reader(b.build());
        IVFFlatIndexReader viewing = open_flat_reader(b.build());
        std::optional<Error> want;
        std::optional<Error> got;
        std::vector<int64_t> want_ids;
        std::vector<int64_t> got_ids;
        try {
            for (const FlatListData& l : owning.read_inverted_lists(c.request)) want_ids.insert(want_ids.end(), l.ids.begin(), l.ids.end());
        } catch (const Error& e) {
            want = e;
        }
        try {
            for (const ivf::FlatListView& l : viewing.read_inverted_list_views(c.request)) {
                got_ids.insert(got_ids.end(), l.ids.begin(), l.ids.end());
            }
        } catch (const Error& e) {
            got = e;
        }
        ASSERT_EQ(got.has_value(), want.has_value());
        if (want) {
            EXPECT_EQ(got->kind(), want->kind());
            EXPECT_STREQ(got->what(), want->what());
        }
        EXPECT_EQ(got_ids, want_ids);
        // The reader stays usable after a failure.
        EXPECT_EQ(viewing.read_inverted_list_views(std::vector<size_t>{1}).size(), 1u);
    }
}

TEST(IvfFlatReaderViews, ScratchIsReusedNotRegrown) {
    // 40 lists of 50 rows at d = 64 (12.8 KiB of rows each).
    const std::vector<uint8_t> bytes = file_with_rows(std::vector<size_t>(40, 50), 64).build();
    IVFFlatIndexReader r = open_flat_reader(bytes);
    EXPECT_EQ(r.scratch_bytes(), 0u);
    std::vector<size_t> all(40);
    for (size_t l = 0; l < 40; ++l) all[l] = l;
    const std::span<const ivf::FlatListView> first = r.read_inverted_list_views(all);
    const float* first_rows = first[0].rows.data();
    const size_t held = r.scratch_bytes();
    // Rows (40 x 12.8 KiB), IDs, pads and the per-list records; nothing near a second copy.
    EXPECT_GE(held, 40 * 50 * 64 * 4u);
    EXPECT_LE(held, 40 * 50 * 64 * 4u * 2);
    size_t largest = 0;
    {
        AllocationWatch watch;
        for (int round = 0; round < 3; ++round) {
            const std::span<const ivf::FlatListView> again = r.read_inverted_list_views(std::vector<size_t>{39, 3, 17});
            EXPECT_EQ(again[0].ids[0], 39 * 50);
            EXPECT_EQ(again[2].rows[0], 17.0f * 50);
            r.read_inverted_list_views(all);
        }
        largest = watch.largest();
    }
    EXPECT_EQ(r.scratch_bytes(), held);
    EXPECT_EQ(r.read_inverted_list_views(all)[0].rows.data(), first_rows);
    // The host's read requests are the only allocation of any size left.
    EXPECT_LT(largest, 2048u);
}

// ---- The batched-path ID decoder ----------------------------------------------------------

TEST(IvfFlatIdDecoder, MessagesOfItsOwn) {
    std::vector<uint8_t> nine_ff(9, 0xFF);
    auto with = [&](std::initializer_list<uint8_t> tail) {
        std::vector<uint8_t> s = nine_ff;
        s.insert(s.end(), tail);
        return s;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> section;
        uint64_t count;
        const char* message;
    };
    const Case cases[] = {
        {"ends inside a number", {0x80}, 1, "truncated varint"},
        {"ends before count numbers", {0x00, 0x01}, 3, "truncated varint"},
        {"tenth byte 0x02", with({0x02}), 1, "varint exceeds u64 range"},
        {"tenth byte 0x82", with({0x82, 0x00}), 1, "varint exceeds u64 range"},
        {"tenth byte 0x81", with({0x81, 0x00}), 1, "varint exceeds 64 bits"},
        {"tenth byte 0x80", with({0x80, 0x00}), 1, "varint exceeds 64 bits"},
        {"wrapping gap", with({0x01}), 1, "decoded ID sequence is not monotonically non-decreasing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error([&] { ivf::decode_delta_varint_ids(0, c.section, c.count); }, ErrorKind::InvalidData, c.message);
    }
    // A tenth byte of 0x01 is the largest gap: from base -2^63 it reaches 2^63 - 1.
    EXPECT_EQ(ivf::decode_delta_varint_ids(std::numeric_limits<int64_t>::min(), with({0x00}), 1),
              (std::vector<int64_t>{-1}));
    EXPECT_EQ(ivf::decode_delta_varint_ids(5, std::vector<uint8_t>{0x00, 0x00, 0x02, 0xA5, 0x02}, 4),
              (std::vector<int64_t>{5, 5, 7, 300}));
    // Bytes after count numbers are left alone; count 0 reads nothing.
    EXPECT_EQ(ivf::decode_delta_varint_ids(9, std::vector<uint8_t>{0x00, 0xFF, 0xFF}, 1), (std::vector<int64_t>{9}));
    EXPECT_TRUE(ivf::decode_delta_varint_ids(9, std::vector<uint8_t>{0x80}, 0).empty());
    // A claimed count far beyond the section reserves nothing absurd.
    expect_error([] { ivf::decode_delta_varint_ids(0, std::vector<uint8_t>{0x00}, uint64_t{1} << 60); },
                 ErrorKind::InvalidData, "truncated varint");
}

// ---- Streamed reads -------------------------------------------------------------------------

struct Collected {
    std::vector<int64_t> ids;
    std::vector<float> rows;
    std::vector<size_t> chunk_rows;
};

Collected stream(IVFFlatIndexReader& r, size_t list) {
    Collected c;
    r.read_list_streamed(list, [&](std::span<const int64_t> ids, std::span<const float> rows) {
        EXPECT_EQ(rows.size(), ids.size() * r.dimension());
        c.ids.insert(c.ids.end(), ids.begin(), ids.end());
        c.rows.insert(c.rows.end(), rows.begin(), rows.end());
        c.chunk_rows.push_back(ids.size());
    });
    return c;
}

// One list of n rows at dimension d, IDs with gaps of varied byte lengths.
IvfFlatFileBuilder one_big_list(size_t n, size_t d, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    IvfFlatFileBuilder b(static_cast<int32_t>(d), 2, 0);
    int64_t id = -1000;
    const uint64_t gaps[] = {0, 1, 127, 128, 300, 20000, uint64_t{1} << 30, uint64_t{1} << 40};
    for (size_t i = 0; i < n; ++i) {
        id += static_cast<int64_t>(gaps[rng() % 8]);
        std::vector<float> row(d);
        for (size_t j = 0; j < d; ++j) row[j] = static_cast<float>(i) + 0.001f * static_cast<float>(j);
        b.add(1, id, row);
    }
    b.add(0, 5, std::vector<float>(d, 0.0f));
    return b;
}

Collected expected_rows(const IvfFlatFileBuilder& b, size_t list) {
    Collected c;
    const FlatFileList& l = b.lists[list];
    std::vector<size_t> perm(l.ids.size());
    for (size_t i = 0; i < perm.size(); ++i) perm[i] = i;
    std::stable_sort(perm.begin(), perm.end(), [&](size_t a, size_t z) { return l.ids[a] < l.ids[z]; });
    for (size_t p : perm) {
        c.ids.push_back(l.ids[p]);
        c.rows.insert(c.rows.end(), l.rows.begin() + static_cast<ptrdiff_t>(p * b.d()),
                      l.rows.begin() + static_cast<ptrdiff_t>((p + 1) * b.d()));
    }
    return c;
}

TEST(IvfFlatReaderStream, ChunksFollowTheSharedRule) {
    const IvfFlatFileBuilder b = one_big_list(1000, 4);
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    ReadBudgets budgets;
    budgets.chunk_budget = 8 * 1000 + 16 * 300;  // the IDs plus 300 rows of 16 bytes
    r.set_read_budgets_for_testing(budgets);
    r.ensure_loaded();
    obs.reset();
    const Collected got = stream(r, 1);
    const Collected want = expected_rows(b, 1);
    EXPECT_EQ(got.ids, want.ids);
    EXPECT_EQ(got.rows, want.rows);
    EXPECT_EQ(got.chunk_rows, (std::vector<size_t>{300, 300, 300, 100}));
    const auto s = obs.stats();
    EXPECT_EQ(s.calls, 1u + 4u);  // the ID block, then one call per chunk
    for (const auto& call : s.log) EXPECT_EQ(call.size(), 1u);
}

TEST(IvfFlatReaderStream, IdBlockFaults) {
    {
        IvfFlatFileBuilder b = one_big_list(50, 2);
        b.lists[1].stored_id_len = 1;
        IVFFlatIndexReader r = open_flat_reader(b.build());
        expect_error([&] { stream(r, 1); }, ErrorKind::InvalidData, "IVF-FLAT ID length does not match the offset table");
    }
    {
        IvfFlatFileBuilder b = one_big_list(50, 2);
        b.lists[1].extra_id_bytes = {0x00};
        IVFFlatIndexReader r = open_flat_reader(b.build());
        expect_error([&] { stream(r, 1); }, ErrorKind::InvalidData, "trailing bytes in delta-varint ID section");
        // The same list is read normally in a batch.
        EXPECT_EQ(r.read_inverted_lists(std::vector<size_t>{1})[0].ids, expected_rows(b, 1).ids);
    }
    {
        IvfFlatFileBuilder b = one_big_list(50, 2);
        b.lists[1].entry_offset = -1;
        IVFFlatIndexReader r = open_flat_reader(b.build());
        expect_error([&] { stream(r, 1); }, ErrorKind::InvalidData, "negative list offset -1 at list 1");
    }
}

TEST(IvfFlatReaderStream, IdsBeyondTheOneReadBudgetAreReadAlongsideTheChunks) {
    // 3,000 rows whose IDs (section + 12 + 8 per ID, about 30 KB) exceed a
    // lowered ID budget: read piece by piece, with gaps straddling windows.
    const IvfFlatFileBuilder b = one_big_list(3000, 3, 7);
    const Collected want = expected_rows(b, 1);
    const uint64_t id_len = b.layout().id_len[1];
    ASSERT_GT(id_len, 3000u);  // some gaps take several bytes
    for (uint64_t window : {uint64_t{1}, uint64_t{7}, uint64_t{64}, uint64_t{1000}, id_len, id_len + 5}) {
        SCOPED_TRACE(window);
        MemorySource::Observer obs;
        IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
        ReadBudgets budgets;
        budgets.id_block_budget = 4096;
        budgets.chunk_budget = 16384;
        budgets.id_window_bytes = window;
        r.set_read_budgets_for_testing(budgets);
        r.ensure_loaded();
        obs.reset();
        const Collected got = stream(r, 1);
        EXPECT_EQ(got.ids, want.ids);
        EXPECT_EQ(got.rows, want.rows);
        // Every chunk's rows, IDs and the ID window stay within the budget.
        const uint64_t held_window = std::min(window, id_len);
        for (size_t c : got.chunk_rows) EXPECT_LE(held_window + c * (12 + 8), 16384u);
        EXPECT_GT(got.chunk_rows.size(), 1u);
        EXPECT_LE(obs.stats().max_call_bytes, 16384u);
    }
}

TEST(IvfFlatReaderStream, PiecewiseIdFaults) {
    ReadBudgets budgets;
    budgets.id_block_budget = 256;
    budgets.chunk_budget = 4096;
    budgets.id_window_bytes = 16;
    struct Case {
        const char* name;
        void (*forge)(IvfFlatFileBuilder&);
        const char* message;
    };
    const Case cases[] = {
        {"stored length", [](IvfFlatFileBuilder& b) { b.lists[1].stored_id_len = 7; },
         "IVF-FLAT ID length does not match the offset table"},
        {"trailing bytes", [](IvfFlatFileBuilder& b) { b.lists[1].extra_id_bytes = {0x01, 0x02}; },
         "trailing bytes in delta-varint ID section"},
        {"truncated",
         [](IvfFlatFileBuilder& b) {
             std::vector<uint8_t> s(b.lists[1].ids.size() - 1, 0x00);
             s.push_back(0x80);
             b.lists[1].id_section = s;
         },
         "truncated delta-varint value"},
        {"beyond u64",
         [](IvfFlatFileBuilder& b) {
             b.lists[1].id_section = zero_gaps_then_ten_bytes(b.lists[1].ids.size() - 1, 0xFF, 0x02);
         },
         "delta-varint value exceeds u64 limit"},
        {"decreasing",
         [](IvfFlatFileBuilder& b) {
             b.lists[1].id_section = zero_gaps_then_ten_bytes(b.lists[1].ids.size() - 1, 0xFF, 0x01);
         },
         "decoded ID sequence is not monotonically non-decreasing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IvfFlatFileBuilder b = one_big_list(200, 2);
        c.forge(b);
        IVFFlatIndexReader r = open_flat_reader(b.build());
        r.set_read_budgets_for_testing(budgets);
        expect_error([&] { stream(r, 1); }, ErrorKind::InvalidData, c.message);
    }
}

TEST(IvfFlatReaderStream, TruncationInsideAStreamedListIsAReadFailure) {
    const IvfFlatFileBuilder b = one_big_list(600, 2);
    const auto layout = b.layout();
    const std::vector<uint8_t> whole = b.build();
    const uint64_t start = layout.payload_offset[1];
    const uint64_t rows_at = start + 12 + layout.id_len[1];
    for (bool piecewise : {false, true}) {
        // Inside the ID block header, inside the ID section, inside the rows.
        for (uint64_t cut : {start + 5, start + 12 + layout.id_len[1] / 2, rows_at + 4 * 2 * 450 + 3}) {
            SCOPED_TRACE(::testing::Message() << "piecewise " << piecewise << " cut " << cut);
            std::vector<uint8_t> bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut));
            IVFFlatIndexReader r = open_flat_reader(bytes);
            ReadBudgets budgets;
            budgets.chunk_budget = 8 * 600 + 16 * 200;
            if (piecewise) {
                budgets.id_block_budget = 1024;
                budgets.id_window_bytes = 64;
            }
            r.set_read_budgets_for_testing(budgets);
            size_t delivered = 0;
            expect_error([&] {
                r.read_list_streamed(1, [&](std::span<const int64_t> ids, std::span<const float>) { delivered += ids.size(); });
            }, ErrorKind::Other, "read_ranges callback failed");
            // Chunks before the cut were handed out; none after it.
            EXPECT_LT(delivered, 600u);
        }
    }
}

TEST(IvfFlatReaderLists, BytesAfterTheLastPayloadAreIgnored) {
    IvfFlatFileBuilder b = small_file();
    b.trailing = {1, 2, 3, 4, 5};
    IVFFlatIndexReader r = open_flat_reader(b.build());
    const auto lists = r.read_inverted_lists(std::vector<size_t>{0, 2});
    EXPECT_EQ(lists[0].ids, (std::vector<int64_t>{3, 7}));
    EXPECT_EQ(lists[1].ids, (std::vector<int64_t>{40}));
}

TEST(IvfFlatReaderStream, EmptyListStreamsNothing) {
    const IvfFlatFileBuilder b = file_with_rows({2, 0});
    MemorySource::Observer obs;
    IVFFlatIndexReader r = open_flat_reader(b.build(), {}, &obs);
    r.ensure_loaded();
    obs.reset();
    EXPECT_TRUE(stream(r, 1).chunk_rows.empty());
    EXPECT_EQ(obs.stats().calls, 0u);
    expect_error([&] { stream(r, 2); }, ErrorKind::InvalidInput, "list_id 2 out of range (nlist=2)");
}

TEST(IvfFlatReaderViews, StreamedChunksShareTheScratch) {
    const IvfFlatFileBuilder b = one_big_list(1000, 4);
    IVFFlatIndexReader r = open_flat_reader(b.build());
    ReadBudgets budgets;
    budgets.chunk_budget = 8 * 1000 + 16 * 300;
    r.set_read_budgets_for_testing(budgets);
    const Collected want = expected_rows(b, 1);
    for (int round = 0; round < 2; ++round) {
        const Collected got = stream(r, 1);
        EXPECT_EQ(got.ids, want.ids);
        EXPECT_EQ(got.rows, want.rows);
    }
    // One chunk of 300 rows is what the arena has had to hold.
    EXPECT_LT(r.scratch_bytes(), 2 * 300 * 16u + 1024);
}

}  // namespace
