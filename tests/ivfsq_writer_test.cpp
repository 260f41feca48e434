// The IVF-SQ file writer: exact bytes and write-call sequence, row order and
// ID sections, 32-row blocked codes, positions from the output, the checks
// that refuse an index before anything is written (including every size a
// reader refuses), payload groups and write errors.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "../tests/c/ivfsq_file_check.h"
#include "bytes.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "ivfsq.hpp"
#include "ivfsq_format.hpp"
#include "ivfsq_io.hpp"
#include "memory_sink.hpp"

using tavren::ErrorKind;
using tavren::ivfsq::IVFSQIndex;
using tavren::ivfsq_io::WriteLimits;
using tavren::sq::ScalarQuantizer;
using tavren::testing::Failure;
using tavren::testing::MemorySink;
using tavren::testing::put;

namespace {

using Bytes = std::vector<uint8_t>;
using Ids = std::vector<std::vector<int64_t>>;
using Codes = std::vector<std::vector<uint8_t>>;

Failure write_failure(const IVFSQIndex& index, MemorySink& sink, const WriteLimits& limits = {}) {
    return tavren::testing::failure_of([&] { tavren::ivfsq_io::write_ivfsq_index_with_limits(index, sink, limits); });
}

ScalarQuantizer bounds(std::vector<float> mins, std::vector<float> maxs) {
    const size_t d = mins.size();
    return ScalarQuantizer::with_dimension_bounds(d, std::move(mins), std::move(maxs));
}

// An index with every list on the global bounds [-1, 1] per dimension and
// centroids 0.5 * (list + 1) in every dimension.
IVFSQIndex index_of(size_t d, Ids ids, Codes codes, uint32_t metric = 0) {
    const size_t nlist = ids.size();
    const ScalarQuantizer global = bounds(std::vector<float>(d, -1.0f), std::vector<float>(d, 1.0f));
    std::vector<float> centroids(nlist * d);
    for (size_t l = 0; l < nlist; ++l) {
        for (size_t k = 0; k < d; ++k) centroids[l * d + k] = 0.5f * static_cast<float>(l + 1);
    }
    return IVFSQIndex::from_parts(d, nlist, metric, std::move(centroids), global,
                                  std::vector<ScalarQuantizer>(nlist, global), std::move(ids), std::move(codes));
}

Bytes slice(const Bytes& b, size_t at, size_t len) { return Bytes(b.begin() + at, b.begin() + at + len); }

IvfSqCheckFile parsed(const MemorySink& sink, uint64_t base = 0) {
    IvfSqCheckFile f;
    EXPECT_EQ(ivsc_parse_at(sink.bytes().data(), sink.bytes().size(), base, &f), 0) << f.error;
    return f;
}

}  // namespace

// d 4, nlist 2, list 0 holds two rows, list 1 one row; the global bounds
// differ per dimension so the summary shows the smallest min and largest max.
TEST(IVFSQWriter, WorkedExampleBytesAndCalls) {
    const ScalarQuantizer global = bounds({-1.0f, -3.0f, 0.0f, -0.5f}, {2.0f, 1.0f, 4.5f, 0.5f});
    const std::vector<float> centroids = {1, 2, 3, 4, 5, 6, 7, 8};
    const IVFSQIndex index = IVFSQIndex::from_parts(4, 2, 1, centroids, global, {global, global}, {{9, 4}, {-2}},
                                                    {{1, 2, 3, 4, 5, 6, 7, 8}, {10, 11, 12, 13}});
    MemorySink sink;
    tavren::ivfsq_io::write_ivfsq_index(index, sink);

    Bytes want;
    put<uint32_t>(want, 0x49565351);
    put<uint32_t>(want, 1);
    put<int32_t>(want, 4);
    put<int32_t>(want, 2);
    put<uint32_t>(want, 1);
    put<int64_t>(want, 3);  // total at offset 20
    put<uint32_t>(want, 8);
    put<uint32_t>(want, 3);
    put<float>(want, -3.0f);
    put<float>(want, 4.5f);
    want.resize(64, 0);
    for (int rep = 0; rep < 3; ++rep) {
        for (float v : global.mins()) put(want, v);
        for (float v : global.maxs()) put(want, v);
    }
    for (float v : centroids) put(want, v);
    ASSERT_EQ(want.size(), 192u);  // 64 + 96 of bounds + 32 of centroids
    put<int64_t>(want, 224);       // the first payload right after the table
    put<int32_t>(want, 2);
    put<int32_t>(want, 2);
    put<int64_t>(want, 224 + 8 + 12 + 2);
    put<int32_t>(want, 1);
    put<int32_t>(want, 1);
    // List 0 in ID order (4 then 9), one block of 2 rows, dimension-major.
    for (uint8_t c : {5, 1, 6, 2, 7, 3, 8, 4}) want.push_back(c);
    put<int64_t>(want, 4);
    put<int32_t>(want, 2);
    want.push_back(0x00);
    want.push_back(0x05);
    for (uint8_t c : {10, 11, 12, 13}) want.push_back(c);
    put<int64_t>(want, -2);
    put<int32_t>(want, 1);
    want.push_back(0x00);
    EXPECT_EQ(sink.bytes(), want);

    // One call per header field, per bounds array, for the centroids, per
    // table field, and per payload part.
    const std::vector<size_t> calls = {4, 4, 4, 4, 4, 8, 4, 4, 4, 4, 20,  // header
                                       16, 16, 16, 16, 16, 16, 32,        // bounds and centroids
                                       8, 4, 4, 8, 4, 4,                  // table
                                       8, 8, 4, 2, 4, 8, 4, 1};           // payloads
    EXPECT_EQ(sink.calls(), calls);

    IvfSqCheckFile f = parsed(sink);
    EXPECT_EQ(f.table_at, 192u);
    EXPECT_EQ(f.data_start, 224u);
    ivsc_free(&f);
}

// 40 rows of d 3 in one list: a full block of 32 rows and a block of 8, each
// dimension-major.
TEST(IVFSQWriter, BlockedCodePositions) {
    const size_t d = 3, n = 40;
    std::vector<int64_t> ids(n);
    std::vector<uint8_t> codes(n * d);
    for (size_t r = 0; r < n; ++r) {
        ids[r] = static_cast<int64_t>(r);
        for (size_t j = 0; j < d; ++j) codes[r * d + j] = static_cast<uint8_t>(r + 100 * j);
    }
    MemorySink sink;
    tavren::ivfsq_io::write_ivfsq_index(index_of(d, {ids}, {codes}), sink);
    const size_t at = 64 + 8 * d * 2 + 4 * d + 16;
    const Bytes stored = slice(sink.bytes(), at, n * d);
    for (size_t i = 0; i < 32; ++i) {
        for (size_t j = 0; j < d; ++j) EXPECT_EQ(stored[j * 32 + i], i + 100 * j) << i << " " << j;
    }
    for (size_t i = 0; i < 8; ++i) {
        for (size_t j = 0; j < d; ++j) EXPECT_EQ(stored[96 + j * 8 + i], 32 + i + 100 * j) << i << " " << j;
    }
    IvfSqCheckFile f = parsed(sink);
    EXPECT_EQ(Bytes(f.lists[0].codes, f.lists[0].codes + n * d), codes);
    ivsc_free(&f);

    // The block sizes at their edges: 32 rows are one block, 33 a full block and one row.
    EXPECT_EQ(tavren::ivfsq_io::blocked_codes(codes, std::vector<uint32_t>{0, 1}, d),
              (Bytes{0, 1, 100, 101, 200, 201}));
    for (size_t rows : {size_t{32}, size_t{33}}) {
        std::vector<uint32_t> order(rows);
        for (size_t i = 0; i < rows; ++i) order[i] = static_cast<uint32_t>(i);
        const Bytes blocked = tavren::ivfsq_io::blocked_codes(codes, order, d);
        EXPECT_EQ(blocked[32], 100);         // dimension 1 of row 0
        EXPECT_EQ(blocked[31], 31);          // dimension 0 of row 31
        if (rows == 33) {
            EXPECT_EQ(blocked[96], 32);   // the one-row block: dimension 0,
            EXPECT_EQ(blocked[97], 132);  // 1
            EXPECT_EQ(blocked[98], 232);  // and 2 of row 32
        }
    }
}

TEST(IVFSQWriter, RowOrderAndIdSections) {
    const int64_t lo = std::numeric_limits<int64_t>::min();
    const int64_t hi = std::numeric_limits<int64_t>::max();
    struct Case {
        const char* name;
        std::vector<int64_t> ids;
        std::vector<int64_t> sorted;
        std::vector<size_t> positions;  // insertion positions in file order
        Bytes id_bytes;
    };
    const Case cases[] = {
        {"IDs 5, 3, 300", {5, 3, 300}, {3, 5, 300}, {1, 0, 2}, {0x00, 0x02, 0xA7, 0x02}},
        {"negative IDs", {3, -5}, {-5, 3}, {1, 0}, {0x00, 0x08}},
        {"duplicates keep insertion order", {7, 2, 7, 7, 2}, {2, 2, 7, 7, 7}, {1, 4, 0, 2, 3},
         {0x00, 0x00, 0x05, 0x00, 0x00}},
        {"full range gap", {hi, lo}, {lo, hi}, {1, 0},
         {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t d = 2, n = c.ids.size();
        std::vector<uint8_t> codes(n * d);
        for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(10 + i);
        MemorySink sink;
        tavren::ivfsq_io::write_ivfsq_index(index_of(d, {c.ids}, {codes}), sink);
        const size_t at = 64 + 8 * d * 2 + 4 * d + 16;
        ASSERT_EQ(sink.bytes().size(), at + n * d + 12 + c.id_bytes.size());
        Bytes tail;
        put<int64_t>(tail, c.sorted.front());
        put<int32_t>(tail, static_cast<int32_t>(c.id_bytes.size()));
        tail.insert(tail.end(), c.id_bytes.begin(), c.id_bytes.end());
        EXPECT_EQ(slice(sink.bytes(), at + n * d, tail.size()), tail);

        IvfSqCheckFile f = parsed(sink);
        EXPECT_EQ(std::vector<int64_t>(f.lists[0].ids, f.lists[0].ids + n), c.sorted);
        for (size_t r = 0; r < n; ++r) {
            for (size_t j = 0; j < d; ++j) EXPECT_EQ(f.lists[0].codes[r * d + j], codes[c.positions[r] * d + j]);
        }
        ivsc_free(&f);
    }
    // The payload of IDs 5, 3, 300 is 3 * d + 16 bytes.
    EXPECT_EQ(tavren::ivfsq_io::list_payload_len(3, 7, 4), 3u * 7 + 16);
}

TEST(IVFSQWriter, EmptyIndexEndsWithItsTable) {
    MemorySink sink;
    tavren::ivfsq_io::write_ivfsq_index(index_of(3, Ids(4), Codes(4)), sink);
    const uint64_t data_start = 64 + 8 * 3 * 5 + 4 * 3 * 4 + 16 * 4;
    ASSERT_EQ(sink.bytes().size(), data_start);
    int64_t total;
    std::memcpy(&total, sink.bytes().data() + 20, 8);
    EXPECT_EQ(total, 0);
    for (size_t l = 0; l < 4; ++l) {
        Bytes entry;
        put<int64_t>(entry, static_cast<int64_t>(data_start));
        put<int32_t>(entry, 0);
        put<int32_t>(entry, 0);
        EXPECT_EQ(slice(sink.bytes(), data_start - 64 + 16 * l, 16), entry) << l;
    }
    IvfSqCheckFile f = parsed(sink);
    ivsc_free(&f);
}

// Offsets are positions in the host's output: the output's position after
// the metadata, plus the table.
TEST(IVFSQWriter, OffsetsFollowTheOutputPosition) {
    const IVFSQIndex index = index_of(2, {{1, 2}, {}, {3}}, {{1, 2, 3, 4}, {}, {5, 6}});
    MemorySink at0;
    tavren::ivfsq_io::write_ivfsq_index(index, at0);
    MemorySink::Options opts;
    opts.start_position = 1000;
    MemorySink at1000(opts);
    tavren::ivfsq_io::write_ivfsq_index(index, at1000);
    ASSERT_EQ(at1000.bytes().size(), at0.bytes().size());
    IvfSqCheckFile f0 = parsed(at0);
    IvfSqCheckFile f1 = parsed(at1000, 1000);
    for (size_t l = 0; l < 3; ++l) EXPECT_EQ(f1.lists[l].offset, f0.lists[l].offset + 1000) << l;
    EXPECT_EQ(f0.lists[0].offset, static_cast<int64_t>(f0.data_start));
    EXPECT_EQ(f0.lists[1].offset, f0.lists[2].offset);  // an empty list takes the running position
    ivsc_free(&f0);
    ivsc_free(&f1);

    // Everything but the table is the same; a second write repeats the bytes.
    const size_t table_at = 64 + 8 * 2 * 4 + 4 * 2 * 3;
    EXPECT_EQ(slice(at1000.bytes(), 0, table_at), slice(at0.bytes(), 0, table_at));
    MemorySink again;
    tavren::ivfsq_io::write_ivfsq_index(index, again);
    EXPECT_EQ(again.bytes(), at0.bytes());
}

TEST(IVFSQWriter, RefusalsWriteNothing) {
    using V = std::vector<float>;
    using Q = std::vector<ScalarQuantizer>;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const ScalarQuantizer g2 = bounds({-1, -1}, {1, 1});
    auto with_list_bounds = [&](ScalarQuantizer list0) {
        return IVFSQIndex::from_parts(2, 2, 0, V(4), g2, Q{list0, g2}, Ids{{1}, {}}, Codes{{0, 0}, {}});
    };
    struct Case {
        const char* name;
        IVFSQIndex index;
        ErrorKind kind;
        std::string message;
    };
    Case cases[] = {
        {"dimension 0", IVFSQIndex::from_parts(0, 1, 0, {}, ScalarQuantizer(0), Q(1), Ids(1), Codes(1)),
         ErrorKind::InvalidInput, "IVF-SQ dimension and nlist must be greater than zero"},
        {"nlist 0", IVFSQIndex::from_parts(2, 0, 0, {}, g2, {}, {}, {}), ErrorKind::InvalidInput,
         "IVF-SQ dimension and nlist must be greater than zero"},
        {"metric 3", IVFSQIndex::from_parts(2, 1, 3, V(2), g2, Q{g2}, Ids(1), Codes(1)), ErrorKind::InvalidInput,
         "Unknown metric type: 3"},
        {"global bounds length", IVFSQIndex::from_parts(2, 1, 0, V(2), bounds({0}, {1}), Q{g2}, Ids(1), Codes(1)),
         ErrorKind::InvalidData, "IVF-SQ bounds length does not match dimension"},
        {"global NaN", IVFSQIndex::from_parts(2, 1, 0, V(2), bounds({0, nan}, {1, 1}), Q{g2}, Ids(1), Codes(1)),
         ErrorKind::InvalidData, "invalid IVF-SQ bounds at dimension 1"},
        {"global min above max",
         IVFSQIndex::from_parts(2, 1, 0, V(2), bounds({2, 0}, {1, 1}), Q{g2}, Ids(1), Codes(1)),
         ErrorKind::InvalidData, "invalid IVF-SQ bounds at dimension 0"},
        {"untrained (infinite bounds)",
         IVFSQIndex::from_parts(2, 1, 0, V(2), bounds({0, -INFINITY}, {1, 1}), Q{g2}, Ids(1), Codes(1)),
         ErrorKind::InvalidData, "invalid IVF-SQ bounds at dimension 1"},
        {"list quantizers", IVFSQIndex::from_parts(2, 2, 0, V(4), g2, Q{g2}, Ids(2), Codes(2)),
         ErrorKind::InvalidInput, "IVF-SQ inverted-list state does not match nlist"},
        {"list IDs", IVFSQIndex::from_parts(2, 2, 0, V(4), g2, Q(2, g2), Ids(3), Codes(2)),
         ErrorKind::InvalidInput, "IVF-SQ inverted-list state does not match nlist"},
        {"list codes", IVFSQIndex::from_parts(2, 2, 0, V(4), g2, Q(2, g2), Ids(2), Codes(1)),
         ErrorKind::InvalidInput, "IVF-SQ inverted-list state does not match nlist"},
        {"centroids", IVFSQIndex::from_parts(2, 2, 0, V(3), g2, Q(2, g2), Ids(2), Codes(2)),
         ErrorKind::InvalidInput, "IVF-SQ centroid storage does not match nlist * dimension"},
        {"untrained", IVFSQIndex(2, 2, 0), ErrorKind::InvalidInput,
         "IVF-SQ centroid storage does not match nlist * dimension"},
        {"list NaN bound", with_list_bounds(bounds({0, 0}, {nan, 1})), ErrorKind::InvalidData,
         "invalid IVF-SQ bounds at dimension 0"},
        {"list bounds length", with_list_bounds(bounds({0, 0, 0}, {1, 1, 1})), ErrorKind::InvalidData,
         "IVF-SQ bounds length does not match dimension"},
        {"code array one byte short",
         IVFSQIndex::from_parts(2, 2, 0, V(4), g2, Q(2, g2), Ids{{1}, {2, 3}}, Codes{{0, 0}, {0, 0, 0}}),
         ErrorKind::InvalidInput, "IVF-SQ code length mismatch at list 1"},
        // (nlist + 1) * d is what a reader sizes the bounds section by: with
        // nlist * d exactly at the limit the file could never be opened.
        {"(nlist + 1) * d above the limit",
         IVFSQIndex::from_parts(32768, 32768, 0, {}, bounds(V(32768, 0), V(32768, 1)), Q(32768), Ids(32768),
                                Codes(32768)),
         ErrorKind::InvalidData, "section size 1073774592 exceeds maximum 1073741824"},
        {"huge d: the global bounds are checked first",
         IVFSQIndex::from_parts(uint64_t{1} << 63, 2, 0, {}, ScalarQuantizer(0), Q(2), Ids(2), Codes(2)),
         ErrorKind::InvalidData, "IVF-SQ bounds length does not match dimension"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySink sink;
        const Failure f = write_failure(c.index, sink);
        EXPECT_EQ(f.message, c.message);
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_TRUE(sink.calls().empty());
        EXPECT_EQ(sink.pos_calls(), 0u);
    }
}

// Just below the section limit for (nlist + 1) * d, the checks pass.
TEST(IVFSQWriter, SectionLimitIsTheReadersBound) {
    // d 32768, nlist 32767: (nlist + 1) * d = 2^30 exactly; the check after it fails.
    const size_t d = 32768, nlist = 32767;
    const IVFSQIndex index = IVFSQIndex::from_parts(d, nlist, 0, {}, bounds(std::vector<float>(d, 0.0f),
                                                                            std::vector<float>(d, 1.0f)),
                                                    std::vector<ScalarQuantizer>(nlist), Ids(nlist), Codes(nlist));
    MemorySink sink;
    const Failure f = write_failure(index, sink);
    EXPECT_EQ(f.message, "IVF-SQ centroid storage does not match nlist * dimension");
    EXPECT_TRUE(sink.calls().empty());
}

TEST(IVFSQWriter, FieldLimits) {
    const IVFSQIndex index = index_of(2, {{1}, {4, 5, 6}, {0, 300, 600}},
                                      {Bytes(2), Bytes(6), Bytes(6)});
    // Metadata 8 * 2 * 4 + 4 * 2 * 3 = 88 bytes: the table at 152, data at 200;
    // list 0 at 200 (2 + 12 + 1 = 15), list 1 at 215 (6 + 12 + 3), list 2 at 236.
    auto limits = [](uint64_t max_i32, uint64_t max_i64) {
        WriteLimits l;
        l.max_i32 = max_i32;
        l.max_i64 = max_i64;
        return l;
    };
    struct Case {
        const char* name;
        WriteLimits limits;
        std::string message;
        bool writes_metadata;
    };
    const Case cases[] = {
        {"dimension", limits(1, 1000), "dimension exceeds i32 length limit: 2", false},
        {"nlist", limits(2, 1000), "nlist exceeds i32 length limit: 3", false},
        {"ID section", limits(4, 1000), "delta ID section exceeds i32 length limit: 5", false},
        {"offset of list 2", limits(5, 235), "list offset exceeds i64 offset limit: 236", true},
        {"offset of list 0", limits(5, 199), "list offset exceeds i64 offset limit: 200", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySink sink;
        const Failure f = write_failure(index, sink, c.limits);
        EXPECT_EQ(f.message, c.message);
        EXPECT_EQ(f.kind, ErrorKind::InvalidInput);
        // An offset depends on the output's position, known once the metadata is out.
        EXPECT_EQ(sink.bytes_accepted(), c.writes_metadata ? 152u : 0u);
    }
    MemorySink counts;
    const Failure f = write_failure(index_of(1, {{1, 2, 3, 4}}, {Bytes(4)}), counts, limits(3, 1000));
    EXPECT_EQ(f.message, "list count exceeds i32 length limit: 4");
    EXPECT_TRUE(counts.calls().empty());

    MemorySink ok;
    tavren::ivfsq_io::write_ivfsq_index_with_limits(index, ok, limits(5, 236));
    EXPECT_EQ(ok.bytes_accepted(), 236u + 6 + 12 + 5);
}

TEST(IVFSQWriter, PayloadGroups) {
    const uint64_t mib = 1048576;
    using G = std::vector<uint64_t>;
    auto groups = [](const G& code_bytes) {
        std::vector<size_t> ends;
        for (size_t first = 0; first < code_bytes.size();) {
            first = tavren::ivfsq_io::payload_group_end(code_bytes, first);
            ends.push_back(first);
        }
        return ends;
    };
    EXPECT_EQ(groups({10 * mib, 6 * mib, 1 * mib}), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(groups({1 * mib, 20 * mib, 1 * mib}), (std::vector<size_t>{1, 2, 3}));
    EXPECT_EQ(groups({16 * mib, 0, 0, 1}), (std::vector<size_t>{3, 4}));
    EXPECT_EQ(groups({0, 0, 0}), (std::vector<size_t>{3}));

    // The grouping does not show in the file.
    const IVFSQIndex index = index_of(3, {{1, 2}, {}, {5, 4, 3}, {9}}, {Bytes(6, 1), {}, Bytes(9, 2), Bytes(3, 3)});
    MemorySink whole;
    tavren::ivfsq_io::write_ivfsq_index(index, whole);
    WriteLimits tiny;
    tiny.group_code_bytes = 1;
    MemorySink grouped;
    tavren::ivfsq_io::write_ivfsq_index_with_limits(index, grouped, tiny);
    EXPECT_EQ(grouped.bytes(), whole.bytes());
    EXPECT_EQ(grouped.calls(), whole.calls());
}

TEST(IVFSQWriter, WriteErrorsPassThroughAndStop) {
    const IVFSQIndex index = index_of(2, {{3, 1}, {}, {2}}, {Bytes(4, 9), {}, Bytes(2, 8)});
    MemorySink full;
    tavren::ivfsq_io::write_ivfsq_index(index, full);
    const size_t calls = full.calls().size();
    for (size_t fail_at : {size_t{0}, size_t{3}, size_t{11}, size_t{19}, calls - 1}) {
        SCOPED_TRACE(fail_at);
        MemorySink::Options opts;
        opts.fail_on_call = fail_at;
        MemorySink sink(opts);
        const Failure f = write_failure(index, sink);
        EXPECT_EQ(f.kind, ErrorKind::Other);
        EXPECT_EQ(f.message, "memory sink write failed");
        ASSERT_EQ(sink.calls().size(), fail_at);
        EXPECT_EQ(sink.bytes(), slice(full.bytes(), 0, sink.bytes().size()));
    }
}

TEST(IVFSQWriter, FormatHelpers) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    using P = std::pair<float, float>;
    EXPECT_EQ(tavren::ivfsq_io::sq_global_bounds(std::vector<float>{1, -2, nan}, std::vector<float>{nan, 3, 0}),
              (P{-2.0f, 3.0f}));
    EXPECT_EQ(tavren::ivfsq_io::sq_global_bounds({}, {}), (P{0.0f, 0.0f}));
    EXPECT_EQ(tavren::ivfsq_io::sq_global_bounds(std::vector<float>{-INFINITY}, std::vector<float>{1}),
              (P{0.0f, 0.0f}));
    tavren::testing::expect_error(
        [] { tavren::ivfsq_io::list_payload_len(uint64_t{1} << 32, uint64_t{1} << 32, 0); }, ErrorKind::InvalidData,
        "IVF-SQ list size overflow");
    tavren::testing::expect_error(
        [] { tavren::ivfsq_io::list_payload_len(1, 1, std::numeric_limits<uint64_t>::max() - 12); },
        ErrorKind::InvalidData, "IVF-SQ list size overflow");
    EXPECT_EQ(tavren::ivfsq_io::list_payload_len(0, 5, 0), 12u);
}

// The header record: every field at its offset, and decoding gives back what
// was encoded.
TEST(IVFSQWriter, HeaderRecordRoundTrip) {
    namespace fmtv = tavren::ivfsq_format;
    fmtv::Header h;
    h.dimension = 784;
    h.nlist = 980;
    h.metric = 2;
    h.total = -7;
    h.summary_min = -1.5f;
    h.summary_max = 2.25f;
    h.reserved[19] = 0xAB;
    std::array<uint8_t, fmtv::kHeaderBytes> bytes{};
    h.encode_to(bytes);
    Bytes want;
    put<uint32_t>(want, 0x49565351);
    put<uint32_t>(want, 1);
    put<int32_t>(want, 784);
    put<int32_t>(want, 980);
    put<uint32_t>(want, 2);
    put<int64_t>(want, -7);
    put<uint32_t>(want, 8);
    put<uint32_t>(want, 3);
    put<float>(want, -1.5f);
    put<float>(want, 2.25f);
    want.resize(63, 0);
    want.push_back(0xAB);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), want);
    const fmtv::Header back = fmtv::Header::decode_from(bytes);
    EXPECT_EQ(back.dimension, 784);
    EXPECT_EQ(back.nlist, 980);
    EXPECT_EQ(back.metric, 2u);
    EXPECT_EQ(back.total, -7);
    EXPECT_EQ(back.bit_width, 8u);
    EXPECT_EQ(back.flags, 3u);
    EXPECT_EQ(back.summary_min, -1.5f);
    EXPECT_EQ(back.summary_max, 2.25f);
    EXPECT_EQ(back.reserved, h.reserved);
    size_t covered = 0;
    for (const auto& [at, len] : fmtv::Header::kFields) {
        EXPECT_EQ(at, covered);
        covered += len;
    }
    EXPECT_EQ(covered, fmtv::kHeaderBytes);
}
