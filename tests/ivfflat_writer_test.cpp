// The IVF-FLAT file writer: exact bytes and write-call sequence, the checks
// that refuse an index before anything is written, limits settled before the
// first byte, staging, positions and write errors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "../tests/c/ivfflat_file_check.h"
#include "bytes.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "ivfflat.hpp"
#include "memory_sink.hpp"

using tavren::ErrorKind;
using tavren::ivfflat::IVFFlatIndex;
using tavren::ivfflat::WriteLimits;
using tavren::testing::MemorySink;

namespace {

using Bytes = std::vector<uint8_t>;

using tavren::testing::put;

Bytes header_bytes(int32_t d, int32_t nlist, uint32_t metric, uint64_t total) {
    Bytes b;
    put<uint32_t>(b, 0x4956464C);
    put<uint32_t>(b, 1);
    put(b, d);
    put(b, nlist);
    put(b, metric);
    put(b, total);
    put<uint32_t>(b, 1);
    b.resize(64, 0);
    return b;
}

using tavren::testing::Failure;

Failure write_failure(const IVFFlatIndex& index, MemorySink& sink, const WriteLimits& limits = {}) {
    return tavren::testing::failure_of([&] { tavren::ivfflat::write_ivfflat_index_with_limits(index, sink, limits); });
}

// The worked example: d 2, nlist 2, list 0 holds IDs 7 then 3, list 1 empty.
IVFFlatIndex worked_example() {
    return IVFFlatIndex::from_parts(2, 2, 0, {0.5f, 1.5f, -2.0f, 4.0f}, {{7, 3}, {}},
                                    {{70.0f, 71.0f, 30.0f, 31.0f}, {}});
}

}  // namespace

TEST(IVFFlatWriter, WorkedExampleBytesAndCalls) {
    MemorySink sink;
    tavren::ivfflat::write_ivfflat_index(worked_example(), sink);

    Bytes want = header_bytes(2, 2, 0, 2);
    for (float c : {0.5f, 1.5f, -2.0f, 4.0f}) put(want, c);
    put<int64_t>(want, 112);
    put<int32_t>(want, 2);
    put<int32_t>(want, 2);
    put<int64_t>(want, 142);
    put<int32_t>(want, 0);
    put<int32_t>(want, 0);
    put<int64_t>(want, 3);  // base: the smallest ID
    put<int32_t>(want, 2);
    want.push_back(0x00);
    want.push_back(0x04);
    for (float v : {30.0f, 31.0f, 70.0f, 71.0f}) put(want, v);
    ASSERT_EQ(want.size(), 142u);
    EXPECT_EQ(sink.bytes(), want);

    // Each header field one call, the centroids one staged call, each table
    // field one call, then base, length, ID bytes and the staged rows.
    const std::vector<size_t> calls = {4, 4, 4, 4, 4, 8, 4, 32, 16, 8, 4, 4, 8, 4, 4, 8, 4, 2, 16};
    EXPECT_EQ(sink.calls(), calls);

    IvfFlatCheckFile parsed;
    ASSERT_EQ(ivfc_parse(sink.bytes().data(), sink.bytes().size(), &parsed), 0) << parsed.error;
    EXPECT_EQ(parsed.lists[0].ids[0], 3);
    EXPECT_EQ(parsed.lists[0].ids[1], 7);
    ivfc_free(&parsed);
}

TEST(IVFFlatWriter, AllListsEmpty) {
    const IVFFlatIndex index = IVFFlatIndex::from_parts(3, 4, 2, std::vector<float>(12, 1.0f),
                                                        std::vector<std::vector<int64_t>>(4),
                                                        std::vector<std::vector<float>>(4));
    MemorySink sink;
    tavren::ivfflat::write_ivfflat_index(index, sink);
    const uint64_t data_start = 64 + 4 * 12 + 16 * 4;
    ASSERT_EQ(sink.bytes().size(), data_start);
    Bytes header(sink.bytes().begin(), sink.bytes().begin() + 64);
    EXPECT_EQ(header, header_bytes(3, 4, 2, 0));
    for (size_t j = 0; j < 4; ++j) {
        Bytes entry(sink.bytes().begin() + 112 + 16 * j, sink.bytes().begin() + 128 + 16 * j);
        Bytes want;
        put<int64_t>(want, data_start);
        put<int32_t>(want, 0);
        put<int32_t>(want, 0);
        EXPECT_EQ(entry, want) << j;
    }
}

TEST(IVFFlatWriter, ListShapes) {
    struct Case {
        const char* name;
        std::vector<int64_t> ids;
        std::vector<int64_t> sorted;    // expected order of IDs in the file
        std::vector<size_t> positions;  // insertion positions in file order
        Bytes id_bytes;
    };
    const int64_t lo = std::numeric_limits<int64_t>::min();
    const int64_t hi = std::numeric_limits<int64_t>::max();
    const Case cases[] = {
        {"one row", {42}, {42}, {0}, {0x00}},
        {"equal IDs keep insertion order", {5, 5, 5}, {5, 5, 5}, {0, 1, 2}, {0x00, 0x00, 0x00}},
        {"stable among mixed", {9, 2, 9, 2}, {2, 2, 9, 9}, {1, 3, 0, 2}, {0x00, 0x00, 0x07, 0x00}},
        {"negatives first, base most negative", {3, -1, -200}, {-200, -1, 3}, {2, 1, 0}, {0x00, 0xC7, 0x01, 0x04}},
        {"full range gap", {hi, lo}, {lo, hi}, {1, 0},
         {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t d = 3, n = c.ids.size();
        std::vector<float> rows(n * d);
        for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i) + 0.25f;
        const IVFFlatIndex index =
            IVFFlatIndex::from_parts(d, 1, 0, {0, 0, 0}, {c.ids}, {rows});
        MemorySink sink;
        tavren::ivfflat::write_ivfflat_index(index, sink);

        const size_t at = 64 + 12 + 16;
        Bytes want;
        put<int64_t>(want, c.sorted.front());
        put<int32_t>(want, static_cast<int32_t>(c.id_bytes.size()));
        want.insert(want.end(), c.id_bytes.begin(), c.id_bytes.end());
        for (size_t p : c.positions) {
            for (size_t k = 0; k < d; ++k) put(want, rows[p * d + k]);
        }
        ASSERT_EQ(sink.bytes().size(), at + want.size());
        EXPECT_EQ(Bytes(sink.bytes().begin() + at, sink.bytes().end()), want);
        if (n == 1) {
            EXPECT_EQ(want.size(), 13 + 4 * d);
        }

        IvfFlatCheckFile parsed;
        ASSERT_EQ(ivfc_parse(sink.bytes().data(), sink.bytes().size(), &parsed), 0) << parsed.error;
        EXPECT_EQ(std::vector<int64_t>(parsed.lists[0].ids, parsed.lists[0].ids + n), c.sorted);
        ivfc_free(&parsed);
    }
}

TEST(IVFFlatWriter, RefusalsWriteNothing) {
    using V = std::vector<float>;
    using L = std::vector<std::vector<int64_t>>;
    using R = std::vector<std::vector<float>>;
    struct Case {
        const char* name;
        IVFFlatIndex index;
        ErrorKind kind;
        std::string message;
    };
    Case cases[] = {
        {"dimension 0", IVFFlatIndex::from_parts(0, 1, 0, {}, L(1), R(1)), ErrorKind::InvalidInput,
         "dimension must be greater than 0"},
        {"nlist 0", IVFFlatIndex::from_parts(2, 0, 0, {}, {}, {}), ErrorKind::InvalidInput,
         "nlist must be greater than 0"},
        {"ID lists", IVFFlatIndex::from_parts(2, 2, 0, V(4), L(1), R(2)), ErrorKind::InvalidInput,
         "IVF-FLAT list storage does not match nlist"},
        {"row lists", IVFFlatIndex::from_parts(2, 2, 0, V(4), L(2), R(3)), ErrorKind::InvalidInput,
         "IVF-FLAT list storage does not match nlist"},
        {"untrained", IVFFlatIndex(2, 4, 0), ErrorKind::InvalidInput, "centroid length 0 does not match nlist*d 8"},
        {"centroids too long", IVFFlatIndex::from_parts(2, 1, 0, V(3), L(1), R(1)), ErrorKind::InvalidInput,
         "centroid length 3 does not match nlist*d 2"},
        {"rows of a list", IVFFlatIndex::from_parts(2, 2, 0, V(4), L{{1}, {1, 2}}, R{V(2), V(3)}),
         ErrorKind::InvalidInput, "list 1 vector length 3 does not match ids*d 4"},
        {"nlist*d overflows", IVFFlatIndex::from_parts(uint64_t{1} << 63, 2, 0, {}, L(2), R(2)),
         ErrorKind::InvalidData, "section size overflow in IVF-FLAT header"},
        // The section limit itself is accepted: the check after it fails instead.
        {"nlist*d at the limit", IVFFlatIndex(32768, 32768, 0), ErrorKind::InvalidInput,
         "centroid length 0 does not match nlist*d 1073741824"},
        {"nlist*d above the limit", IVFFlatIndex(32768, 32769, 0), ErrorKind::InvalidData,
         "section size 1073774592 exceeds maximum 1073741824"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySink sink;
        const Failure f = write_failure(c.index, sink);
        EXPECT_EQ(f.message, c.message);
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_TRUE(sink.calls().empty());
    }
}

// Every limit of the table and payloads is settled while planning: a refusal
// leaves the output untouched instead of a header and centroids the caller
// would have to discard.
TEST(IVFFlatWriter, LimitsAreCheckedBeforeTheFirstByte) {
    const IVFFlatIndex index = IVFFlatIndex::from_parts(
        2, 3, 0, std::vector<float>(6, 0.0f), {{1}, {4, 5, 6}, {0, 300, 600}},
        {std::vector<float>(2, 1.0f), std::vector<float>(6, 1.0f), std::vector<float>(6, 1.0f)});
    // Offsets: list 0 at 64 + 24 + 48 = 136 (payload 12 + 1 + 8 = 21), list 1
    // at 157 (12 + 3 + 24 = 39), list 2 at 196 (gaps 0, 300, 300: 5 bytes).
    struct Case {
        const char* name;
        WriteLimits limits;
        std::string message;
    };
    auto limits = [](uint64_t max_i32, uint64_t max_i64) {
        WriteLimits l;
        l.max_i32 = max_i32;
        l.max_i64 = max_i64;
        return l;
    };
    const Case cases[] = {
        {"dimension", limits(1, 1000), "dimension exceeds i32 length limit: 2"},
        {"nlist", limits(2, 1000), "nlist exceeds i32 length limit: 3"},
        {"ID section", limits(3, 1000), "delta ID section exceeds i32 length limit: 5"},
        {"offset of list 2", limits(5, 195), "list offset exceeds i64 offset limit: 196"},
        {"offset of list 1", limits(5, 156), "list offset exceeds i64 offset limit: 157"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySink sink;
        const Failure f = write_failure(index, sink, c.limits);
        EXPECT_EQ(f.message, c.message);
        EXPECT_EQ(f.kind, ErrorKind::InvalidInput);
        EXPECT_TRUE(sink.calls().empty());
    }

    // A list count over the limit while the other fields fit.
    const IVFFlatIndex four = IVFFlatIndex::from_parts(1, 1, 0, {0.0f}, {{1, 2, 3, 4}}, {{1, 2, 3, 4}});
    MemorySink sink;
    const Failure f = write_failure(four, sink, limits(3, 1000));
    EXPECT_EQ(f.message, "list count exceeds i32 length limit: 4");
    EXPECT_TRUE(sink.calls().empty());

    // At the limits exactly, the file is written.
    MemorySink ok;
    tavren::ivfflat::write_ivfflat_index_with_limits(index, ok, limits(5, 196));
    EXPECT_EQ(ok.bytes_accepted(), 196u + 12 + 5 + 24);
}

// Offsets count from the first byte of the file, wherever the output stood.
TEST(IVFFlatWriter, OutputPositionDoesNotLeakIntoOffsets) {
    const IVFFlatIndex index = worked_example();
    MemorySink at0;
    tavren::ivfflat::write_ivfflat_index(index, at0);
    MemorySink::Options opts;
    opts.start_position = 1000;
    MemorySink at1000(opts);
    tavren::ivfflat::write_ivfflat_index(index, at1000);
    EXPECT_EQ(at1000.bytes(), at0.bytes());
    int64_t first_offset;
    std::memcpy(&first_offset, at1000.bytes().data() + 64 + 16, 8);
    EXPECT_EQ(first_offset, 64 + 4 * 2 * 2 + 16 * 2);

    // A second write of the same index gives the same bytes.
    MemorySink again;
    tavren::ivfflat::write_ivfflat_index(index, again);
    EXPECT_EQ(again.bytes(), at0.bytes());
}

TEST(IVFFlatWriter, StagingSplitsSectionsAtTheLimitOnly) {
    // d 3 (12-byte rows), staging of 10 bytes: calls split rows mid-way, and
    // every section ends with its own remainder call.
    const IVFFlatIndex index = IVFFlatIndex::from_parts(
        3, 2, 1, {1, 2, 3, 4, 5, 6}, {{3, 1, 2}, {8}},
        {{30, 31, 32, 10, 11, 12, 20, 21, 22}, {80, 81, 82}});
    MemorySink whole;
    tavren::ivfflat::write_ivfflat_index(index, whole);
    MemorySink staged;
    tavren::ivfflat::write_ivfflat_index_with_buffer_limit(index, staged, 10);
    EXPECT_EQ(staged.bytes(), whole.bytes());
    const std::vector<size_t> calls = {4, 4, 4, 4, 4, 8, 4, 32,  // header
                                       10, 10, 4,                // centroids: 24 bytes
                                       8, 4, 4, 8, 4, 4,         // table
                                       8, 4, 3, 10, 10, 10, 6,   // list 0: 36 row bytes
                                       8, 4, 1, 10, 2};          // list 1: 12 row bytes
    EXPECT_EQ(staged.calls(), calls);

    // A limit that divides the section exactly leaves no remainder call.
    MemorySink exact;
    tavren::ivfflat::write_ivfflat_index_with_buffer_limit(index, exact, 12);
    EXPECT_EQ(exact.bytes(), whole.bytes());
    const std::vector<size_t> exact_calls = {4, 4, 4, 4, 4, 8, 4, 32, 12, 12, 8, 4, 4, 8, 4, 4,
                                             8, 4, 3, 12, 12, 12, 8, 4, 1, 12};
    EXPECT_EQ(exact.calls(), exact_calls);
}

// A list whose payload is 64 MiB + 1 bytes: its ID bytes go out in one call
// and its rows in one staged call.
TEST(IVFFlatWriter, PayloadOfSixtyFourMebibytesPlusOne) {
    const size_t count = 13421770;  // 12 + ID bytes + 4 * count = 67108865
    std::vector<int64_t> ids(count);
    int64_t id = 0;
    for (size_t i = 0; i < count; ++i) {
        id += (i == 0) ? 0 : (i + 3 >= count ? 201 : 1);  // three 2-byte gaps at the end
        ids[i] = id;
    }
    std::vector<float> rows(count, 0.5f);
    const IVFFlatIndex index = IVFFlatIndex::from_parts(1, 1, 0, {0.0f}, {std::move(ids)}, {std::move(rows)});
    MemorySink::Options opts;
    opts.keep_bytes = false;
    MemorySink sink(opts);
    tavren::ivfflat::write_ivfflat_index(index, sink);
    const std::vector<size_t>& calls = sink.calls();
    ASSERT_EQ(calls.size(), 8u + 1 + 3 + 4);
    const std::vector<size_t> payload(calls.end() - 4, calls.end());
    EXPECT_EQ(payload, (std::vector<size_t>{8, 4, count + 3, 4 * count}));
    EXPECT_EQ(8 + 4 + (count + 3) + 4 * count, 67108865u);
}

// Rows beyond the staging size go out in calls of exactly 64 MiB, then the remainder.
TEST(IVFFlatWriter, RowsLargerThanTheStagingBuffer) {
    const size_t count = 16777217;  // 67,108,868 row bytes at d 1
    std::vector<int64_t> ids(count);
    for (size_t i = 0; i < count; ++i) ids[i] = static_cast<int64_t>(count - i);  // reversed: permuted rows
    std::vector<float> rows(count);
    for (size_t i = 0; i < count; ++i) rows[i] = static_cast<float>(i);
    const IVFFlatIndex index = IVFFlatIndex::from_parts(1, 1, 0, {0.0f}, {std::move(ids)}, {std::move(rows)});
    MemorySink sink;
    tavren::ivfflat::write_ivfflat_index(index, sink);
    const std::vector<size_t>& calls = sink.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], 67108864u);
    EXPECT_EQ(calls.back(), 4u);
    // The last row in the file is the row of the largest ID, inserted first.
    float last;
    std::memcpy(&last, sink.bytes().data() + sink.bytes().size() - 4, 4);
    EXPECT_EQ(last, 0.0f);
    float first;
    std::memcpy(&first, sink.bytes().data() + sink.bytes().size() - 4 * count, 4);
    EXPECT_EQ(first, static_cast<float>(count - 1));
}

TEST(IVFFlatWriter, WriteErrorsPassThroughAndStop) {
    const IVFFlatIndex index = worked_example();
    MemorySink full;
    tavren::ivfflat::write_ivfflat_index(index, full);
    for (size_t fail_at : {size_t{0}, size_t{5}, size_t{8}, size_t{12}, size_t{18}}) {
        SCOPED_TRACE(fail_at);
        MemorySink::Options opts;
        opts.fail_on_call = fail_at;
        MemorySink sink(opts);
        const Failure f = write_failure(index, sink);
        EXPECT_EQ(f.kind, ErrorKind::Other);
        EXPECT_EQ(f.message, "memory sink write failed");
        ASSERT_EQ(sink.calls().size(), fail_at);
        EXPECT_EQ(sink.bytes(), Bytes(full.bytes().begin(), full.bytes().begin() + sink.bytes().size()));
    }
}
