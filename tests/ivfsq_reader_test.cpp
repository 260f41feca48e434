// The IVF-SQ reader: open (two host reads with the facade's header read,
// every refusal of a corrupted file, bounded metadata reads for forged
// headers, the cache budget), the list cache, payload decoding, and list
// reads counted at the host: cache hits, groups under a range cap, streamed
// lists and failed group reads.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "error.hpp"
#include "expect.hpp"
#include "index_reader.hpp"
#include "ivfsq_fixture.hpp"
#include "ivfsq_format.hpp"
#include "ivfsq_io.hpp"
#include "memory_source.hpp"
#include "read_options.hpp"

using tavren::ErrorKind;
using tavren::ivfsq::IVFSQIndex;
using tavren::ivfsq_io::CachedSqList;
using tavren::ivfsq_io::IVFSQIndexReader;
using tavren::ivfsq_io::SqListCache;
using tavren::ivfsq_io::SqListData;
using tavren::sq::ScalarQuantizer;
using tavren::testing::Failure;
using tavren::testing::failure_of;
using tavren::testing::MemorySource;
using tavren::testing::make_sq_fixture;
using tavren::testing::open_sq_reader;
using tavren::testing::sq_file_of;

namespace {

using Bytes = std::vector<uint8_t>;

template <class T>
void put_at(Bytes& b, size_t at, T value) {
    std::memcpy(b.data() + at, &value, sizeof(T));
}

// Byte offsets of the metadata sections of a file of d dimensions and nlist lists.
struct Layout {
    size_t d, nlist;
    size_t global_min(size_t j) const { return 64 + 4 * j; }
    size_t global_max(size_t j) const { return 64 + 4 * d + 4 * j; }
    size_t list_min(size_t l, size_t j) const { return 64 + 8 * d + 8 * d * l + 4 * j; }
    size_t table(size_t l) const { return 64 + 8 * d * (nlist + 1) + 4 * nlist * d + 16 * l; }
};

// An index with `counts[l]` rows in list l (row IDs 0, 1, ...), codes i * 7 +
// j mod 256, bounds [-1, 1], centroid l in every dimension.
IVFSQIndex index_with_counts(size_t d, const std::vector<size_t>& counts) {
    const size_t nlist = counts.size();
    const ScalarQuantizer q = ScalarQuantizer::with_dimension_bounds(d, std::vector<float>(d, -1.0f),
                                                                     std::vector<float>(d, 1.0f));
    std::vector<float> centroids(nlist * d);
    std::vector<std::vector<int64_t>> ids(nlist);
    std::vector<std::vector<uint8_t>> codes(nlist);
    int64_t next = 0;
    for (size_t l = 0; l < nlist; ++l) {
        for (size_t j = 0; j < d; ++j) centroids[l * d + j] = static_cast<float>(l);
        for (size_t i = 0; i < counts[l]; ++i) {
            ids[l].push_back(next++);
            for (size_t j = 0; j < d; ++j) codes[l].push_back(static_cast<uint8_t>((i * 7 + j) % 256));
        }
    }
    return IVFSQIndex::from_parts(d, nlist, 0, std::move(centroids), q, std::vector<ScalarQuantizer>(nlist, q),
                                  std::move(ids), std::move(codes));
}

std::vector<size_t> iota_lists(size_t n) {
    std::vector<size_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = i;
    return v;
}

}  // namespace

TEST(IVFSQReaderOpen, FacadeOpensWithTwoHostReadsAndReportsTypeSix) {
    const auto f = make_sq_fixture(300, 8, 4, 0, 1);
    MemorySource::Observer obs;
    auto reader = tavren::index::VectorIndexReader::open_with_options(MemorySource::make(f.file, {}, &obs),
                                                                      tavren::read_options::VectorIndexReaderOptions{});
    const auto stats = obs.stats();
    ASSERT_EQ(stats.calls, 2u);
    ASSERT_EQ(stats.log[0].size(), 1u);
    EXPECT_EQ(stats.log[0][0].offset, 0u);
    EXPECT_EQ(stats.log[0][0].len, 64u);
    ASSERT_EQ(stats.log[1].size(), 1u);
    EXPECT_EQ(stats.log[1][0].offset, 64u);
    EXPECT_EQ(stats.log[1][0].len, 8u * 8 * 5 + 4 * 4 * 8 + 16 * 4);
    const auto m = reader.metadata();
    EXPECT_EQ(m.index_type, 6u);
    EXPECT_EQ(m.dimension, 8u);
    EXPECT_EQ(m.nlist, 4u);
    EXPECT_EQ(m.metric, 0u);
    EXPECT_EQ(m.vector_count, 300);
    EXPECT_EQ(m.code_bits, std::optional<uint64_t>(8));
    // Warm-up and optimize have nothing to load.
    reader.optimize_for_search();
    reader.warmup_queries(std::vector<float>(8, 0.5f), 1, 10);
    EXPECT_EQ(obs.stats().calls, 2u);
}

TEST(IVFSQReaderOpen, KeepsQuantizersCentroidsAndTableAsWritten) {
    const auto f = make_sq_fixture(300, 8, 4, 2, 2);
    const IVFSQIndexReader r = open_sq_reader(f.file);
    EXPECT_EQ(r.dimension(), 8u);
    EXPECT_EQ(r.nlist(), 4u);
    EXPECT_EQ(r.metric(), 2u);
    EXPECT_EQ(r.total_vectors(), 300);
    EXPECT_EQ(r.global_sq(), f.index.global_sq());
    EXPECT_EQ(r.list_sqs(), f.index.list_sqs());
    EXPECT_TRUE(std::equal(r.centroids().begin(), r.centroids().end(), f.index.centroids().begin(),
                           f.index.centroids().end()));
    for (size_t l = 0; l < 4; ++l) EXPECT_EQ(static_cast<size_t>(r.list_count(l)), f.index.list_ids()[l].size());
}

TEST(IVFSQReaderOpen, CacheBudgetIsTheMemoryBudgetLessTheResidentEstimate) {
    const Bytes file = sq_file_of(index_with_counts(4, {0, 0}));
    // 4 x 24 + 128 + 16 + 4 x 12 + 328.
    EXPECT_EQ(open_sq_reader(file).resident_estimate(), 616u);
    EXPECT_EQ(open_sq_reader(file, {}, nullptr, 696).list_cache(), nullptr);
    EXPECT_EQ(open_sq_reader(file, {}, nullptr, 0).list_cache(), nullptr);
    const IVFSQIndexReader r = open_sq_reader(file, {}, nullptr, 697);
    ASSERT_NE(r.list_cache(), nullptr);
    EXPECT_EQ(r.list_cache()->capacity(), 1u);  // 81 - 40 x 2
    const IVFSQIndexReader big = open_sq_reader(file);
    ASSERT_NE(big.list_cache(), nullptr);
    EXPECT_EQ(big.list_cache()->capacity(), (uint64_t{1} << 32) - 616 - 80);
}

TEST(IVFSQReaderOpen, RefusesEveryCorruptionWithItsText) {
    const auto f = make_sq_fixture(40, 4, 3, 0, 3);
    const Layout at{4, 3};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::string what;
        std::function<void(Bytes&)> mutate;
        ErrorKind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"magic", [](Bytes& b) { put_at<uint32_t>(b, 0, 0x12345678); }, ErrorKind::InvalidData,
         "Invalid IVF-SQ magic: 0x12345678"},
        {"version", [](Bytes& b) { put_at<uint32_t>(b, 4, 2); }, ErrorKind::InvalidData,
         "Unsupported IVF-SQ version: 2"},
        {"d", [](Bytes& b) { put_at<int32_t>(b, 8, 0); }, ErrorKind::InvalidData,
         "invalid header field d: 0 (must be positive)"},
        {"nlist", [](Bytes& b) { put_at<int32_t>(b, 12, -1); }, ErrorKind::InvalidData,
         "invalid header field nlist: -1 (must be positive)"},
        {"metric", [](Bytes& b) { put_at<uint32_t>(b, 16, 3); }, ErrorKind::InvalidData, "Unknown metric type: 3"},
        {"total", [](Bytes& b) { put_at<int64_t>(b, 20, -1); }, ErrorKind::InvalidData,
         "IVF-SQ total vector count must be non-negative"},
        {"bit width", [](Bytes& b) { put_at<uint32_t>(b, 28, 4); }, ErrorKind::InvalidData,
         "Unsupported IVF-SQ bit width: 4"},
        {"reserved before flags",
         [](Bytes& b) {
             b[50] = 1;
             put_at<uint32_t>(b, 32, 7);
         },
         ErrorKind::InvalidData, "IVF-SQ reserved bytes must be zero"},
        {"flags above bit 1", [](Bytes& b) { put_at<uint32_t>(b, 32, 7); }, ErrorKind::InvalidData,
         "Unsupported IVF-SQ flags: 0x00000004"},
        {"flags 1", [](Bytes& b) { put_at<uint32_t>(b, 32, 1); }, ErrorKind::InvalidData,
         "IVF-SQ v1 requires delta-varint IDs and 32-row blocked codes"},
        {"flags 0", [](Bytes& b) { put_at<uint32_t>(b, 32, 0); }, ErrorKind::InvalidData,
         "IVF-SQ v1 requires delta-varint IDs and 32-row blocked codes"},
        {"bound pairs above 2^30",
         [](Bytes& b) {
             put_at<int32_t>(b, 8, 32768);
             put_at<int32_t>(b, 12, 32768);
         },
         ErrorKind::InvalidData, "section size 1073774592 exceeds maximum 1073741824"},
        {"metadata beyond the file",
         [](Bytes& b) {
             put_at<int32_t>(b, 8, 1000);
             put_at<int32_t>(b, 12, 1000);
         },
         ErrorKind::Other, "read_ranges callback failed"},
        {"truncated metadata", [&](Bytes& b) { b.resize(at.table(2) + 8); }, ErrorKind::Other,
         "read_ranges callback failed"},
        {"global minimum NaN", [&](Bytes& b) { put_at<float>(b, at.global_min(2), nan); }, ErrorKind::InvalidData,
         "invalid IVF-SQ bounds at dimension 2"},
        {"global minimum above maximum", [&](Bytes& b) { put_at<float>(b, at.global_min(1), 1e30f); },
         ErrorKind::InvalidData, "invalid IVF-SQ bounds at dimension 1"},
        {"summary", [](Bytes& b) { put_at<float>(b, 36, -12345.0f); }, ErrorKind::InvalidData,
         "IVF-SQ bounds summary does not match global SQ bounds"},
        {"list bounds NaN", [&](Bytes& b) { put_at<float>(b, at.list_min(1, 3), nan); }, ErrorKind::InvalidData,
         "invalid IVF-SQ bounds at dimension 3"},
        {"negative count", [&](Bytes& b) { put_at<int32_t>(b, at.table(2) + 8, -1); }, ErrorKind::InvalidData,
         "negative IVF-SQ list metadata at list 2"},
        {"negative ID length", [&](Bytes& b) { put_at<int32_t>(b, at.table(1) + 12, -3); }, ErrorKind::InvalidData,
         "negative IVF-SQ list metadata at list 1"},
        {"missing ID bytes",
         [&](Bytes& b) {
             put_at<int32_t>(b, at.table(0) + 8, 3);
             put_at<int32_t>(b, at.table(0) + 12, 0);
         },
         ErrorKind::InvalidData, "missing delta ID bytes for non-empty IVF-SQ list 0"},
        {"header count", [](Bytes& b) { put_at<int64_t>(b, 20, 41); }, ErrorKind::InvalidData,
         "IVF-SQ header vector count 41 does not match list total 40"},
    };
    for (const Case& c : cases) {
        Bytes b = f.file;
        c.mutate(b);
        MemorySource::Observer obs;
        const Failure got = failure_of([&] { open_sq_reader(b, {}, &obs); });
        EXPECT_EQ(got.message, c.message) << c.what;
        EXPECT_EQ(got.kind, c.kind) << c.what;
        EXPECT_LE(obs.stats().calls, 1u) << c.what;
    }
}

TEST(IVFSQReaderOpen, EmptyListWithIdLengthOpensWithPayloadZero) {
    Bytes file = sq_file_of(index_with_counts(4, {2, 0}));
    put_at<int32_t>(file, Layout{4, 2}.table(1) + 12, 5);
    const IVFSQIndexReader r = open_sq_reader(file);
    EXPECT_EQ(r.list_payload_len(1), 0u);
    EXPECT_EQ(r.list_payload_len(0), 2u * 4 + 12 + 2);
    tavren::testing::expect_error([&] { (void)r.list_payload_len(2); }, "list_id 2 out of range (nlist=2)");
}

TEST(IVFSQReaderOpen, ForgedHeaderFailsOnABoundedReadBeforeAllocatingItsClaim) {
    // (32767 + 1) x 32768 bound pairs: 12 GiB of metadata claimed by a
    // 64-byte file.
    Bytes file = sq_file_of(index_with_counts(4, {1}));
    file.resize(64);
    put_at<int32_t>(file, 8, 32768);
    put_at<int32_t>(file, 12, 32767);
    MemorySource::Observer obs;
    const Failure got = failure_of([&] { open_sq_reader(file, {}, &obs); });
    EXPECT_EQ(got.message, "read_ranges callback failed");
    const auto stats = obs.stats();
    EXPECT_EQ(stats.calls, 1u);
    EXPECT_EQ(stats.max_call_bytes, uint64_t{64} << 20);
}

TEST(IVFSQReaderOpen, MetadataAbovePieceSizeArrivesInPieces) {
    const auto f = make_sq_fixture(200, 8, 4, 0, 4);
    MemorySource::Observer obs;
    tavren::ivfsq_io::SqReadBudgets budgets;
    budgets.metadata_piece_bytes = 100;
    Bytes header(f.file.begin(), f.file.begin() + 64);
    const auto r = IVFSQIndexReader::open_with_header_and_options(
        MemorySource::make(f.file, {}, &obs), std::span<const uint8_t, 64>(header.data(), 64),
        tavren::read_options::VectorIndexReaderOptions{}, budgets);
    const uint64_t meta = 8 * 8 * 5 + 4 * 4 * 8 + 16 * 4;
    EXPECT_EQ(obs.stats().calls, (meta + 99) / 100);
    EXPECT_EQ(r.list_sqs(), f.index.list_sqs());
    EXPECT_EQ(r.total_vectors(), 200);
}

// ---- List cache ----------------------------------------------------------------------

namespace {

CachedSqList entry_of(size_t list, size_t rows, size_t storage) {
    auto data = std::make_shared<SqListData>();
    data->ids.assign(rows, 0);
    data->storage = std::make_unique<uint8_t[]>(storage);
    data->storage_bytes = storage;
    data->list = list;
    return CachedSqList{data, 0, 4, static_cast<int32_t>(rows), 1};
}

}  // namespace

TEST(SqListCache, ExistsOnlyAboveFortyBytesPerList) {
    EXPECT_FALSE(SqListCache::create(2, 80).has_value());
    ASSERT_TRUE(SqListCache::create(2, 81).has_value());
    EXPECT_EQ(SqListCache::create(2, 81)->capacity(), 1u);
    EXPECT_FALSE(SqListCache::create(std::numeric_limits<size_t>::max(), std::numeric_limits<uint64_t>::max()));
}

TEST(SqListCache, EvictsInInsertionOrderAndDropsWhatCannotFit) {
    // Each entry: 8 x 1 + 20 + 72 = 100 bytes; capacity 250.
    auto cache = *SqListCache::create(5, 250 + 200);
    cache.insert(entry_of(0, 1, 20));
    cache.insert(entry_of(1, 1, 20));
    EXPECT_EQ(cache.used(), 200u);
    ASSERT_NE(cache.find(0), nullptr);  // a hit does not refresh
    cache.insert(entry_of(2, 1, 20));   // evicts list 0, the oldest
    EXPECT_EQ(cache.find(0), nullptr);
    EXPECT_NE(cache.find(1), nullptr);
    EXPECT_NE(cache.find(2), nullptr);
    EXPECT_EQ(cache.used(), 200u);
    // Already held: the old entry stays.
    const auto* held = cache.find(2);
    cache.insert(entry_of(2, 1, 20));
    EXPECT_EQ(cache.find(2), held);
    // Too large for the whole capacity: dropped, nothing evicted.
    cache.insert(entry_of(3, 1, 200));
    EXPECT_EQ(cache.find(3), nullptr);
    EXPECT_EQ(cache.entries(), 2u);
    // A stale list leaves slot and queue.
    cache.remove_stale(1);
    EXPECT_EQ(cache.find(1), nullptr);
    EXPECT_EQ(cache.used(), 100u);
    EXPECT_EQ(cache.order(), std::deque<size_t>({2}));
}

TEST(SqListPayload, DecodeChecksLengthAndIdSection) {
    // Two rows of d = 2: 4 code bytes, base 7, ID length 2, gaps 0 and 3.
    const Bytes payload = {1, 2, 3, 4, 7, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 3};
    auto buffer_of = [](const Bytes& b) {
        auto p = std::make_unique<uint8_t[]>(b.size());
        std::memcpy(p.get(), b.data(), b.size());
        return p;
    };
    const SqListData ok = tavren::ivfsq_io::decode_list_payload(buffer_of(payload), payload.size(), 2, 2, 2);
    EXPECT_EQ(ok.ids, (std::vector<int64_t>{7, 10}));
    EXPECT_EQ(Bytes(ok.codes().begin(), ok.codes().end()), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(ok.storage_bytes, payload.size());
    EXPECT_EQ(tavren::ivfsq_io::cached_list_cost(ok), 16u + 18 + 72);
    tavren::testing::expect_error(
        [&] { tavren::ivfsq_io::decode_list_payload(buffer_of(payload), payload.size() - 1, 2, 2, 2); },
        ErrorKind::UnexpectedEof, "IVF-SQ list payload length mismatch");
    Bytes wrong = payload;
    wrong[12] = 1;
    tavren::testing::expect_error(
        [&] { tavren::ivfsq_io::decode_list_payload(buffer_of(wrong), wrong.size(), 2, 2, 2); },
        ErrorKind::InvalidData, "IVF-SQ list ID length does not match offset table");
    Bytes trailing = payload;
    trailing.push_back(0);
    tavren::testing::expect_error(
        [&] { tavren::ivfsq_io::decode_list_payload(buffer_of(trailing), trailing.size(), 2, 3, 2); },
        ErrorKind::InvalidData, "IVF-SQ list ID length does not match offset table");
}

// ---- Counted list reads -------------------------------------------------------------------

TEST(IVFSQListReads, RepeatedQueryWithALargeBudgetReadsNoPayload) {
    const auto f = make_sq_fixture(500, 8, 6, 0, 5);
    MemorySource::Observer obs;
    IVFSQIndexReader r = open_sq_reader(f.file, {}, &obs);
    const std::vector<float> q(f.rows.begin(), f.rows.begin() + 8);
    obs.reset();
    const auto first = r.search_with_filter(q, 5, 6, nullptr);
    EXPECT_EQ(obs.stats().calls, 1u);
    obs.reset();
    const auto again = r.search_with_filter(q, 5, 6, nullptr);
    EXPECT_EQ(obs.stats().calls, 0u);
    EXPECT_EQ(first.ids, again.ids);
    EXPECT_EQ(first.distances, again.distances);
    EXPECT_EQ(r.list_cache()->entries(), 6u);
}

TEST(IVFSQListReads, WithoutACacheEverySearchReads) {
    const auto f = make_sq_fixture(500, 8, 6, 0, 5);
    MemorySource::Observer obs;
    const uint64_t budget = 4 * 2 * 8 * 7 + 64 * 6 + 8 * 6 + 4 * (6 + 6 * 8 + 6) + 328 + 40 * 6;
    IVFSQIndexReader r = open_sq_reader(f.file, {}, &obs, budget);
    ASSERT_EQ(r.list_cache(), nullptr);
    const std::vector<float> q(f.rows.begin(), f.rows.begin() + 8);
    for (int pass = 0; pass < 2; ++pass) {
        obs.reset();
        (void)r.search_with_filter(q, 5, 6, nullptr);
        EXPECT_EQ(obs.stats().calls, 1u);
    }
}

TEST(IVFSQListReads, RangeCapOfTwoSplitsGroupsAndEmptyListsDoNotCount) {
    const Bytes file = sq_file_of(index_with_counts(4, {3, 0, 5, 0, 7}));
    MemorySource::Options opts;
    opts.max_ranges_per_call = 2;
    MemorySource::Observer obs;
    IVFSQIndexReader r = open_sq_reader(file, opts, &obs);
    const std::vector<size_t> lists = iota_lists(5);
    EXPECT_EQ(r.batch_read_end(lists), 4u);  // lists 0-3: two non-empty
    obs.reset();
    const auto read = r.read_scan_lists(std::span<const size_t>(lists).first(4));
    EXPECT_EQ(obs.stats().calls, 1u);
    EXPECT_EQ(obs.stats().ranges, 2u);
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[1]->ids.size(), 0u);
    EXPECT_EQ(read[2]->ids.size(), 5u);
    EXPECT_EQ(read[2]->list, 2u);
    // The empty lists are cached at 72 bytes each.
    EXPECT_EQ(r.list_cache()->entries(), 4u);
    // A search over all five lists: two groups, two host calls.
    IVFSQIndexReader fresh = open_sq_reader(file, opts, &obs);
    obs.reset();
    (void)fresh.search_with_filter(std::vector<float>(4, 0.0f), 3, 5, nullptr);
    EXPECT_EQ(obs.stats().calls, 2u);
    EXPECT_EQ(obs.stats().cap_violations, 0u);
}

TEST(IVFSQListReads, FailedGroupReadInsertsNothingAndKeepsHits) {
    const Bytes file = sq_file_of(index_with_counts(4, {3, 4, 5}));
    MemorySource::Observer obs;
    IVFSQIndexReader r = open_sq_reader(file, {}, &obs);
    const std::vector<size_t> first = {0};
    (void)r.read_scan_lists(first);
    ASSERT_EQ(r.list_cache()->entries(), 1u);
    // Fail the next host call (calls so far: metadata, list 0).
    MemorySource::Options fail_third;
    fail_third.fail_on_call = 2;
    IVFSQIndexReader failing = open_sq_reader(file, fail_third, &obs);
    (void)failing.read_scan_lists(first);
    const std::vector<size_t> all = {0, 1, 2};
    const Failure got = failure_of([&] { (void)failing.read_scan_lists(all); });
    EXPECT_EQ(got.message, "read_ranges callback failed");
    EXPECT_EQ(failing.list_cache()->entries(), 1u);
    EXPECT_NE(failing.list_cache()->find(0), nullptr);
    EXPECT_EQ(failing.list_cache()->find(1), nullptr);
}

TEST(IVFSQListReads, ListAbove64MiBStreamsInTwoChunks) {
    // d = 960, 100,000 rows: 96,000,000 code bytes. The IDs are held while
    // streaming, so the first chunk is 69,056 rows (69,071 rounded down to
    // whole 32-row blocks), the second the remaining 30,944.
    const size_t d = 960, n = 100000;
    const ScalarQuantizer q = ScalarQuantizer::with_dimension_bounds(d, std::vector<float>(d, -1.0f),
                                                                     std::vector<float>(d, 1.0f));
    std::vector<int64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = static_cast<int64_t>(i);
    std::vector<uint8_t> codes(n * d);
    for (size_t i = 0; i < n; ++i) codes[i * d] = static_cast<uint8_t>(i % 251);
    const Bytes file = sq_file_of(IVFSQIndex::from_parts(d, 1, 0, std::vector<float>(d, 0.0f), q, {q},
                                                         {std::move(ids)}, {std::move(codes)}));
    MemorySource::Options opts;
    opts.keep_log = true;
    MemorySource::Observer obs;
    IVFSQIndexReader r = open_sq_reader(file, opts, &obs);
    EXPECT_GT(r.list_payload_len(0), uint64_t{64} << 20);
    obs.reset();
    std::vector<size_t> chunk_rows;
    int64_t expected_id = 0;
    bool ids_ok = true;
    r.read_list_streamed(0, [&](std::span<const int64_t> chunk_ids, std::span<const uint8_t> chunk_codes) {
        chunk_rows.push_back(chunk_ids.size());
        EXPECT_EQ(chunk_codes.size(), chunk_ids.size() * d);
        for (int64_t id : chunk_ids) ids_ok = ids_ok && id == expected_id++;
    });
    EXPECT_TRUE(ids_ok);
    EXPECT_EQ(chunk_rows, (std::vector<size_t>{69056, 30944}));
    const auto stats = obs.stats();
    EXPECT_EQ(stats.calls, 3u);  // the ID block, then the two chunks
    EXPECT_EQ(stats.log[1][0].len, 69056u * d);
    // A search streams it too and never caches it.
    std::vector<float> query(d, 0.0f);
    query[0] = -1.0f;
    obs.reset();
    const auto res = r.search_with_filter(query, 3, 1, nullptr);
    EXPECT_EQ(obs.stats().calls, 3u);
    EXPECT_EQ(r.list_cache()->entries(), 0u);
    EXPECT_EQ(res.ids.size(), 3u);
    EXPECT_EQ(res.ids[0] % 251, 0);
}
