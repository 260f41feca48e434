// The IVF-RQ file writer: exact bytes and write-call sequence, blocked codes
// and factors, row order, offsets, the checks and limits settled before the
// first byte, and write errors.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "ivfrq.hpp"
#include "ivfrq_format.hpp"
#include "ivfrq_io.hpp"
#include "memory_sink.hpp"

using tavren::ErrorKind;
using tavren::ivfrq::IVFRQIndex;
using tavren::ivfrq::RQVectorFactors;
using tavren::ivfrq_io::WriteLimits;
using tavren::testing::MemorySink;
using tavren::testing::put;
namespace fmtv = tavren::ivfrq_format;

namespace {

using Bytes = std::vector<uint8_t>;

// A one-list index of `n` rows with distinct, recognisable codes and factors:
// row r has code bytes (r * 16 + b) & 0xFF and factors 100 r + field.
IVFRQIndex::Parts parts_of(size_t d, size_t bits, std::vector<int64_t> ids, size_t nlist = 1) {
    IVFRQIndex::Parts p;
    p.dimension = d;
    p.padded_dimension = tavren::rabitq::padded_dimension(d);
    p.nlist = nlist;
    p.bits = bits;
    p.centroids.assign(nlist * d, 0.0f);
    for (size_t i = 0; i < p.centroids.size(); ++i) p.centroids[i] = 0.5f * float(i) - 1.0f;
    p.rotated_centroids.assign(nlist * p.padded_dimension, 0.0f);
    p.list_ids.assign(nlist, {});
    p.list_codes.assign(nlist, {});
    p.list_factors.assign(nlist, {});
    const size_t row_bytes = bits * p.padded_dimension / 8;
    for (size_t r = 0; r < ids.size(); ++r) {
        for (size_t b = 0; b < row_bytes; ++b) p.list_codes[0].push_back(uint8_t((r * 16 + b) & 0xFF));
        const float base = 100.0f * float(r);
        p.list_factors[0].push_back({base + 0, base + 1, base + 2, base + 3, base + 4, base + 5});
    }
    p.list_ids[0] = std::move(ids);
    return p;
}

IVFRQIndex index_of(size_t d, size_t bits, std::vector<int64_t> ids, size_t nlist = 1) {
    return IVFRQIndex::from_parts(parts_of(d, bits, std::move(ids), nlist));
}

Bytes header_bytes(int32_t d, int32_t padded, int32_t nlist, uint32_t metric, uint32_t bits, int64_t total,
                   uint64_t seed, int32_t plane) {
    Bytes b;
    put<uint32_t>(b, 0x49565251);
    put<uint32_t>(b, 1);
    put(b, d);
    put(b, padded);
    put(b, nlist);
    put(b, metric);
    put<uint32_t>(b, 7);
    put(b, bits);
    put(b, total);
    put(b, seed);
    put<uint32_t>(b, 4);
    put(b, plane);
    put<uint32_t>(b, 2);
    put<uint32_t>(b, 3);
    return b;
}

template <class T>
T load(const Bytes& b, size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof(T));
    return v;
}

tavren::testing::Failure write_failure(const IVFRQIndex& index, MemorySink& sink, const WriteLimits& limits = {}) {
    return tavren::testing::failure_of(
        [&] { tavren::ivfrq_io::write_ivfrq_index_with_limits(index, sink, limits); });
}

}  // namespace

TEST(IVFRQFormat, HeaderRecordRoundTrips) {
    fmtv::Header h;
    h.dimension = 100;
    h.padded_dimension = 128;
    h.nlist = 3;
    h.metric = 2;
    h.bits = 5;
    h.total = 1234567890123;
    h.seed = 0x0102030405060708ULL;
    h.plane_size = 16;
    std::array<uint8_t, fmtv::kHeaderBytes> bytes{};
    h.encode_to(bytes);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), header_bytes(100, 128, 3, 2, 5, 1234567890123, h.seed, 16));
    const fmtv::Header back = fmtv::Header::decode_from(bytes);
    EXPECT_EQ(back.seed, h.seed);
    EXPECT_EQ(back.total, h.total);
    EXPECT_EQ(back.plane_size, 16);
    EXPECT_EQ(back.flags, 7u);
    EXPECT_EQ(back.factor_layout, 3u);
    size_t end = 0;
    for (const fmtv::FieldSpan& f : fmtv::kHeaderFields) {
        EXPECT_EQ(f.at, end);
        end += f.size;
    }
    EXPECT_EQ(end, fmtv::kHeaderBytes);
}

// d 2, nlist 1, B 1, one vector of row ID 5: 121 bytes.
TEST(IVFRQWriter, SmallestFileByteForByte) {
    IVFRQIndex::Parts p = parts_of(2, 1, {5});
    p.centroids = {0.5f, -1.0f};
    p.list_codes[0] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    p.list_factors[0] = {{1.5f, -2.0f, 7.0f, 8.0f, 9.0f, 10.0f}};
    MemorySink sink;
    tavren::ivfrq_io::write_ivfrq_index(IVFRQIndex::from_parts(std::move(p)), sink);

    Bytes want = header_bytes(2, 64, 1, 0, 1, 1, tavren::rabitq::kDefaultSeed, 8);
    put(want, 0.5f);
    put(want, -1.0f);
    put<int64_t>(want, 88);  // the table entry at 72
    put<int32_t>(want, 1);
    put<int32_t>(want, 1);
    put<int64_t>(want, 5);  // the payload at 88
    put<int32_t>(want, 1);
    put<int32_t>(want, 8);
    want.push_back(0x00);
    for (uint8_t b = 1; b <= 8; ++b) want.push_back(b);
    put(want, 1.5f);
    put(want, -2.0f);
    ASSERT_EQ(want.size(), 121u);
    EXPECT_EQ(sink.bytes(), want);
    const std::vector<size_t> calls = {4, 4, 4, 4, 4, 4, 4, 4, 8, 8, 4, 4, 4, 4,  // header fields
                                       8,                                         // centroids
                                       8, 4, 4,                                   // table entry
                                       8, 4, 4, 1, 8, 8};                         // payload
    EXPECT_EQ(sink.calls(), calls);
}

// The same shape built for real: train, add one row, write.
TEST(IVFRQWriter, TrainedSmallestFileHasTheExampleLayout) {
    IVFRQIndex index = IVFRQIndex::with_options(2, 1, 1, 0, tavren::rabitq::kDefaultSeed, 4);
    const std::vector<float> data = {1.0f, 2.0f, 3.0f, 1.0f, -1.0f, 0.5f};
    tavren::kmeans::KMeansConfig config;
    index.train_with_config(data, 3, config);
    index.add(std::span<const float>(data).first(2), std::vector<int64_t>{5}, 1);
    MemorySink sink;
    tavren::ivfrq_io::write_ivfrq_index(index, sink);
    const Bytes& b = sink.bytes();
    ASSERT_EQ(b.size(), 121u);
    EXPECT_EQ(load<int64_t>(b, 72), 88);
    EXPECT_EQ(load<int64_t>(b, 88), 5);
    EXPECT_EQ(b[104], 0x00);
    EXPECT_EQ(Bytes(b.begin() + 105, b.begin() + 113), index.list_codes()[0]);
    EXPECT_EQ(load<float>(b, 113), index.list_factors()[0][0].bin_add);
    EXPECT_EQ(load<float>(b, 117), index.list_factors()[0][0].bin_rescale);
}

TEST(IVFRQWriter, ThirtyThreeRowsMakeTwoBlocks) {
    // B 2, D' 64 (P 8): codes 33 x 16 = 528 bytes, factors 33 x 5 x 4 = 660 bytes.
    std::vector<int64_t> ids(33);
    std::iota(ids.begin(), ids.end(), 0);
    const IVFRQIndex index = index_of(10, 2, ids);
    const auto plans = tavren::ivfrq_io::plan_sorted_lists(index);
    const tavren::ivfrq_io::BlockedList blocked = tavren::ivfrq_io::block_list(index, 0, plans[0].row_order);
    ASSERT_EQ(blocked.codes.size(), 528u);
    ASSERT_EQ(blocked.factors.size(), 165u);
    const auto& codes = index.list_codes()[0];
    // Block 0: plane by plane, byte by byte, row by row over 32 rows.
    for (size_t p = 0; p < 2; ++p) {
        for (size_t k = 0; k < 8; ++k) {
            for (size_t r = 0; r < 32; ++r) {
                ASSERT_EQ(blocked.codes[(p * 8 + k) * 32 + r], codes[r * 16 + p * 8 + k]);
            }
        }
    }
    // Block 1 holds row 32 alone, from byte 32 x 2 x 8 = 512.
    for (size_t b = 0; b < 16; ++b) EXPECT_EQ(blocked.codes[512 + b], codes[32 * 16 + b]);
    // Factors: field by field over the 32 rows, then the five fields of row 32.
    EXPECT_EQ(blocked.factors[0], 0.0f);
    EXPECT_EQ(blocked.factors[31], 3100.0f);
    EXPECT_EQ(blocked.factors[32], 1.0f);
    EXPECT_EQ(blocked.factors[4 * 32 + 31], 3104.0f);
    EXPECT_EQ(std::vector<float>(blocked.factors.begin() + 160, blocked.factors.end()),
              (std::vector<float>{3200, 3201, 3202, 3203, 3204}));

    MemorySink sink;
    tavren::ivfrq_io::write_ivfrq_index(index, sink);
    const size_t payload = 64 + 40 + 16;
    EXPECT_EQ(load<int32_t>(sink.bytes(), payload + 12), 528);
    EXPECT_EQ(sink.bytes().size(), payload + 16 + 33 + 528 + 660);

    // With B = 1 the factors have two fields: 16 + L + n x P + 8 x n.
    MemorySink one;
    tavren::ivfrq_io::write_ivfrq_index(index_of(10, 1, ids), one);
    EXPECT_EQ(one.bytes().size(), payload + 16 + 33 + 33 * 8 + 8 * 33);
}

TEST(IVFRQWriter, RowsAreStoredInAscendingIdOrderStably) {
    const IVFRQIndex index = index_of(3, 2, {7, 3, 3, 9});
    MemorySink sink;
    tavren::ivfrq_io::write_ivfrq_index(index, sink);
    const Bytes& b = sink.bytes();
    const size_t payload = 64 + 12 + 16;
    ASSERT_EQ(load<int64_t>(b, 64 + 12), int64_t(payload));
    EXPECT_EQ(load<int32_t>(b, 64 + 12 + 8), 4);
    EXPECT_EQ(load<int32_t>(b, 64 + 12 + 12), 4);
    EXPECT_EQ(load<int64_t>(b, payload), 3);
    EXPECT_EQ(load<int32_t>(b, payload + 8), 4);
    EXPECT_EQ(Bytes(b.begin() + payload + 16, b.begin() + payload + 20), (Bytes{0, 0, 4, 2}));
    // Rows in the order 1, 2, 0, 3 (insertion positions): byte 0 of plane 0 of each.
    const size_t codes = payload + 20;
    EXPECT_EQ(Bytes(b.begin() + codes, b.begin() + codes + 4), (Bytes{16, 32, 0, 48}));
    const size_t factors = codes + 4 * 16;
    EXPECT_EQ(load<float>(b, factors), 100.0f);
    EXPECT_EQ(load<float>(b, factors + 4), 200.0f);
    EXPECT_EQ(load<float>(b, factors + 8), 0.0f);
    EXPECT_EQ(load<float>(b, factors + 12), 300.0f);
    EXPECT_EQ(b.size(), factors + 4 * 5 * 4);
}

TEST(IVFRQWriter, EmptyListsAndOffsetsCountFromTheFirstByteWritten) {
    // nlist 3, d 2: list 1 holds two rows, lists 0 and 2 are empty.
    IVFRQIndex::Parts p = parts_of(2, 1, {4, 6}, 3);
    std::swap(p.list_ids[0], p.list_ids[1]);
    std::swap(p.list_codes[0], p.list_codes[1]);
    std::swap(p.list_factors[0], p.list_factors[1]);
    const IVFRQIndex index = IVFRQIndex::from_parts(std::move(p));
    MemorySink::Options at1000;
    at1000.start_position = 1000;
    MemorySink moved(at1000), plain;
    tavren::ivfrq_io::write_ivfrq_index(index, moved);
    tavren::ivfrq_io::write_ivfrq_index(index, plain);
    EXPECT_EQ(moved.bytes(), plain.bytes());
    const Bytes& b = plain.bytes();
    const int64_t start = 64 + 4 * 3 * 2 + 16 * 3;
    const int64_t end = start + 16 + 2 + 2 * 8 + 2 * 8;
    EXPECT_EQ(load<int64_t>(b, 88), start);
    EXPECT_EQ(load<int32_t>(b, 96), 0);
    EXPECT_EQ(load<int64_t>(b, 104), start);
    EXPECT_EQ(load<int32_t>(b, 112), 2);
    EXPECT_EQ(load<int64_t>(b, 120), end);  // an empty list points at where the next payload would start
    EXPECT_EQ(load<int32_t>(b, 128), 0);
    EXPECT_EQ(int64_t(b.size()), end);

    // No rows at all: every offset is the data start and nothing follows.
    const IVFRQIndex none = index_of(2, 3, {}, 2);
    MemorySink empty;
    tavren::ivfrq_io::write_ivfrq_index(none, empty);
    ASSERT_EQ(empty.bytes().size(), 64u + 16 + 32);
    EXPECT_EQ(load<int64_t>(empty.bytes(), 32), 0);
    EXPECT_EQ(load<int64_t>(empty.bytes(), 80), 112);
    EXPECT_EQ(load<int64_t>(empty.bytes(), 96), 112);
}

TEST(IVFRQWriter, InvalidIndexesWriteNothing) {
    using Edit = void (*)(IVFRQIndex::Parts&);
    struct Case {
        const char* what;
        Edit edit;
        ErrorKind kind;
        std::string message;
    };
    const Case cases[] = {
        {"d 0", [](IVFRQIndex::Parts& p) { p.dimension = 0; }, ErrorKind::InvalidInput,
         "IVF-RQ dimension and nlist must be positive"},
        {"nlist 0", [](IVFRQIndex::Parts& p) { p.nlist = 0; }, ErrorKind::InvalidInput,
         "IVF-RQ dimension and nlist must be positive"},
        {"bits 0", [](IVFRQIndex::Parts& p) { p.bits = 0; }, ErrorKind::InvalidInput, "IVF-RQ bits must be in 1..=8"},
        {"bits 9", [](IVFRQIndex::Parts& p) { p.bits = 9; }, ErrorKind::InvalidInput, "IVF-RQ bits must be in 1..=8"},
        {"padded", [](IVFRQIndex::Parts& p) { p.padded_dimension = 128; }, ErrorKind::InvalidInput,
         "IVF-RQ padded dimension mismatch"},
        {"rounds 3", [](IVFRQIndex::Parts& p) { p.rounds = 3; }, ErrorKind::InvalidInput,
         "IVF-RQ rotation rounds must be 4"},
        {"metric 3", [](IVFRQIndex::Parts& p) { p.metric = 3; }, ErrorKind::InvalidInput, "unknown metric type: 3"},
        {"section",
         [](IVFRQIndex::Parts& p) {
             p.dimension = p.padded_dimension = size_t{1} << 14;
             p.nlist = (size_t{1} << 16) + 1;
         },
         ErrorKind::InvalidData,
         "IVF-RQ section size overflow"},
        {"centroids", [](IVFRQIndex::Parts& p) { p.centroids.pop_back(); }, ErrorKind::InvalidInput,
         "IVF-RQ centroid storage shape mismatch"},
        {"rotated", [](IVFRQIndex::Parts& p) { p.rotated_centroids.push_back(0); }, ErrorKind::InvalidInput,
         "IVF-RQ centroid storage shape mismatch"},
        {"lists", [](IVFRQIndex::Parts& p) { p.list_factors.emplace_back(); }, ErrorKind::InvalidInput,
         "IVF-RQ list storage does not match nlist"},
        {"codes", [](IVFRQIndex::Parts& p) { p.list_codes[0].pop_back(); }, ErrorKind::InvalidInput,
         "IVF-RQ list 0 code length mismatch"},
        {"factors", [](IVFRQIndex::Parts& p) { p.list_factors[0].emplace_back(); }, ErrorKind::InvalidInput,
         "IVF-RQ list 0 factor count mismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IVFRQIndex::Parts p = parts_of(2, 2, {1, 2});
        c.edit(p);
        MemorySink sink;
        const auto f = write_failure(IVFRQIndex::from_parts(std::move(p)), sink);
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(f.message, c.message);
        EXPECT_TRUE(sink.calls().empty());
    }
}

// Every i32 and i64 file field is converted before the first byte: a field
// over its limit leaves the output untouched.
TEST(IVFRQWriter, LimitsAreSettledBeforeTheFirstByte) {
    std::vector<int64_t> ids(40);
    std::iota(ids.begin(), ids.end(), int64_t{1000});
    ids[5] = 1 << 20;  // a three-byte gap
    const IVFRQIndex index = index_of(2, 8, ids, 2);
    // 40 rows, 42 delta-ID bytes, 40 x 8 x 8 = 2560 code bytes; list 1 starts
    // at 64 + 16 + 32 + 16 + 42 + 2560 + 800 = 3530.
    MemorySink ok;
    tavren::ivfrq_io::write_ivfrq_index(index, ok);
    ASSERT_EQ(load<int32_t>(ok.bytes(), 64 + 16 + 12), 42);
    ASSERT_EQ(load<int64_t>(ok.bytes(), 64 + 16 + 16), 3530);
    struct Case {
        WriteLimits limits;
        std::string message;
    };
    const Case cases[] = {
        {{39, ~uint64_t{0}}, "list count exceeds i32"},
        {{41, ~uint64_t{0}}, "delta ID bytes exceeds i32"},
        {{2559, ~uint64_t{0}}, "blocked code bytes exceeds i32"},
        {{~uint64_t{0}, 3529}, "list offset exceeds i64"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        MemorySink sink;
        const auto f = write_failure(index, sink, c.limits);
        EXPECT_EQ(f.kind, ErrorKind::InvalidInput);
        EXPECT_EQ(f.message, c.message);
        EXPECT_TRUE(sink.calls().empty());
    }
    // At the limits exactly, the file is written.
    MemorySink at_limit;
    tavren::ivfrq_io::write_ivfrq_index_with_limits(index, at_limit, {2560, 3530});
    EXPECT_EQ(at_limit.bytes(), ok.bytes());
}

TEST(IVFRQWriter, ConversionsAndSizeChecks) {
    namespace io = tavren::ivfrq_io;
    using tavren::testing::expect_error;
    EXPECT_EQ(io::usize_to_i32(2147483647, "x"), 2147483647);
    expect_error([] { io::usize_to_i32(2147483648ULL, "list count"); }, "list count exceeds i32");
    expect_error([] { io::usize_to_u32(1ULL << 32, "RQ bits"); }, "RQ bits exceeds u32");
    expect_error([] { io::u64_to_i64(1ULL << 63, "list offset"); }, "list offset exceeds i64");
    EXPECT_EQ(io::checked_section_size(1 << 15, 1 << 15), 1ULL << 30);
    expect_error([] { io::checked_section_size((1 << 15) + 1, 1 << 15); }, "IVF-RQ section size overflow",
                 ErrorKind::InvalidData);
    expect_error([] { io::checked_section_size(1ULL << 40, 1ULL << 40); }, "IVF-RQ section size overflow",
                 ErrorKind::InvalidData);
    expect_error([] { io::checked_list_bytes(1ULL << 40, 1ULL << 40); }, "IVF-RQ list byte size overflow",
                 ErrorKind::InvalidData);
}

TEST(IVFRQWriter, WriteFailureMidPayloadLeavesATruncatedFile) {
    const IVFRQIndex index = index_of(2, 2, {1, 2, 3});
    MemorySink whole;
    tavren::ivfrq_io::write_ivfrq_index(index, whole);
    MemorySink::Options opts;
    opts.fail_on_call = 14 + 1 + 3 + 3;  // the delta-ID bytes of the payload
    MemorySink failing(opts);
    const auto f = write_failure(index, failing);
    EXPECT_EQ(f.kind, ErrorKind::Other);
    EXPECT_EQ(f.message, "memory sink write failed");
    EXPECT_EQ(failing.bytes(), Bytes(whole.bytes().begin(), whole.bytes().begin() + 64 + 8 + 16 + 16));
}
