// The IVF-PQ file writer and the header checks: exact bytes of a small file,
// sorted rows with stable ties and transposed codes, flags, positions from
// the output, refusals before the first byte, and every header fault in the
// order a reader checks them.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "ivfpq.hpp"
#include "ivfpq_format.hpp"
#include "ivfpq_io.hpp"
#include "memory_sink.hpp"

using tavren::ErrorKind;
using tavren::ivfpq::IVFPQIndex;
using tavren::pq::ProductQuantizer;
using tavren::testing::MemorySink;
using tavren::testing::put;
namespace fmtv = tavren::ivfpq_format;

namespace {

using Bytes = std::vector<uint8_t>;
using Ids = std::vector<std::vector<int64_t>>;
using Codes = std::vector<std::vector<uint8_t>>;

// Codebook value i / 1024 at index i; centroid component (l, k) = l + k / 8.
IVFPQIndex index_of(size_t d, size_t m, size_t nbits, Ids ids, Codes codes, uint32_t metric = 0,
                    bool with_opq = false) {
    const size_t nlist = ids.size();
    ProductQuantizer pq = ProductQuantizer::with_nbits(d, m, nbits);
    std::vector<float> codebook(m * pq.ksub() * (d / m));
    for (size_t i = 0; i < codebook.size(); ++i) codebook[i] = static_cast<float>(i) / 1024.0f;
    pq.set_centroids(std::move(codebook));
    std::vector<float> centroids(nlist * d);
    for (size_t l = 0; l < nlist; ++l) {
        for (size_t k = 0; k < d; ++k) centroids[l * d + k] = static_cast<float>(l) + static_cast<float>(k) / 8.0f;
    }
    std::optional<tavren::opq::OPQMatrix> opq;
    if (with_opq) {
        std::vector<float> identity(d * d, 0.0f);
        for (size_t k = 0; k < d; ++k) identity[k * d + k] = 1.0f;
        opq = tavren::opq::OPQMatrix::from_rotation(d, m, std::move(identity));
    }
    return IVFPQIndex::from_parts(d, nlist, metric, std::move(centroids), std::move(pq), std::move(opq),
                                  std::move(ids), std::move(codes));
}

Bytes write_bytes(const IVFPQIndex& index, uint64_t start = 0) {
    MemorySink sink(MemorySink::Options{start, true, std::nullopt});
    tavren::ivfpq_io::write_ivfpq_index(index, sink);
    return sink.bytes();
}

Bytes slice(const Bytes& b, size_t at, size_t len) { return Bytes(b.begin() + at, b.begin() + at + len); }

template <class T>
T at(const Bytes& b, size_t offset) {
    T v;
    std::memcpy(&v, b.data() + offset, sizeof(T));
    return v;
}

}  // namespace

TEST(IvfPqWriter, SmallFileByteForByte) {
    // d 4, nlist 2, m 2, 8-bit codes, no rotation; list 0 holds IDs 7 and 9.
    const IVFPQIndex index = index_of(4, 2, 8, Ids{{7, 9}, {}}, Codes{{1, 2, 3, 4}, {}});
    const Bytes file = write_bytes(index);
    ASSERT_EQ(file.size(), 4242u);

    Bytes expected;
    put<uint32_t>(expected, 0x49565051);
    put<uint32_t>(expected, 1);
    put<int32_t>(expected, 4);
    put<int32_t>(expected, 2);
    put<int32_t>(expected, 2);
    put<int32_t>(expected, 256);
    put<int32_t>(expected, 2);
    put<uint32_t>(expected, 0);
    put<int64_t>(expected, 2);
    put<uint32_t>(expected, 0xE);
    expected.resize(64, 0);
    for (size_t l = 0; l < 2; ++l) {
        for (size_t k = 0; k < 4; ++k) put<float>(expected, static_cast<float>(l) + static_cast<float>(k) / 8.0f);
    }
    for (size_t i = 0; i < 2 * 256 * 2; ++i) put<float>(expected, static_cast<float>(i) / 1024.0f);
    put<int64_t>(expected, 4224);
    put<int32_t>(expected, 2);
    put<int32_t>(expected, 2);
    put<int64_t>(expected, 4242);
    put<int32_t>(expected, 0);
    put<int32_t>(expected, 0);
    ASSERT_EQ(expected.size(), 4224u);
    put<int64_t>(expected, 7);
    put<int32_t>(expected, 2);
    expected.insert(expected.end(), {0, 2, 1, 3, 2, 4});  // gaps, then byte 0 of both rows, byte 1 of both
    EXPECT_EQ(file, expected);

    // One write per header field and per table field, one per f32 section,
    // two for the ID block header, one for the gaps, one for the codes.
    MemorySink sink;
    tavren::ivfpq_io::write_ivfpq_index(index, sink);
    const std::vector<size_t> calls{4, 4, 4, 4, 4, 4, 4, 4, 8, 4, 20, 32, 4096, 8, 4, 4, 8, 4, 4, 8, 4, 2, 4};
    EXPECT_EQ(sink.calls(), calls);
}

TEST(IvfPqWriter, RowsSortedByIdWithStableTiesAndCodesTransposed) {
    // IDs 5, 3, 3 with codes (row r, byte k) = 10 r + k, m 3.
    const IVFPQIndex index = index_of(3, 3, 8, Ids{{5, 3, 3}}, Codes{{0, 1, 2, 10, 11, 12, 20, 21, 22}});
    const Bytes file = write_bytes(index);
    const size_t payload = 64 + 4 * 3 + 4 * 3 * 256 + 16;
    EXPECT_EQ(at<int64_t>(file, payload - 16), static_cast<int64_t>(payload));
    EXPECT_EQ(at<int32_t>(file, payload - 8), 3);
    EXPECT_EQ(at<int32_t>(file, payload - 4), 3);
    EXPECT_EQ(at<int64_t>(file, payload), 3);
    EXPECT_EQ(at<int32_t>(file, payload + 8), 3);
    EXPECT_EQ(slice(file, payload + 12, 3), (Bytes{0, 0, 2}));
    // Sorted rows: source 1, source 2, source 0; byte k of all rows together.
    EXPECT_EQ(slice(file, payload + 15, 9), (Bytes{10, 20, 0, 11, 21, 1, 12, 22, 2}));
    EXPECT_EQ(file.size(), payload + 24);
}

TEST(IvfPqWriter, TransposeCoversTilesBeyondOne) {
    const size_t count = 70;
    const size_t code_size = 40;
    std::vector<size_t> order(count);
    Bytes codes(count * code_size);
    for (size_t r = 0; r < count; ++r) order[r] = (r * 17) % count;
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i * 31 + 7);
    Bytes out{9, 9, 9};
    tavren::ivfpq_io::transpose_sorted_pq_codes(codes, order, code_size, out);
    ASSERT_EQ(out.size(), count * code_size);
    for (size_t r = 0; r < count; ++r) {
        for (size_t k = 0; k < code_size; ++k) ASSERT_EQ(out[k * count + r], codes[order[r] * code_size + k]);
    }
}

TEST(IvfPqWriter, FlagsKsubAndNegativeBase) {
    struct Case {
        uint32_t metric;
        bool opq;
        uint32_t flags;
    };
    for (const Case c : {Case{0, false, 0xE}, Case{1, false, 0xC}, Case{2, false, 0xC}, Case{0, true, 0xF},
                         Case{1, true, 0xD}, Case{2, true, 0xD}}) {
        IVFPQIndex index = index_of(8, 8, 4, Ids{{-5, -9}}, Codes{{1, 2, 3, 4, 5, 6, 7, 8}}, c.metric, c.opq);
        const Bytes file = write_bytes(index);
        const fmtv::Header h = tavren::ivfpq_io::validate_header(std::span<const uint8_t, 64>(file.data(), 64));
        EXPECT_EQ(h.flags, c.flags) << c.metric << " " << c.opq;
        EXPECT_EQ(h.ksub, 16);
        EXPECT_EQ(h.dsub, 1);
        const size_t payload = 64 + (c.opq ? 4 * 64 : 0) + 4 * 8 + 4 * 8 * 16 + 16;
        ASSERT_EQ(file.size(), payload + 12 + 2 + 8);  // one gap byte per row, code_size 4
        EXPECT_EQ(at<int64_t>(file, payload), -9);
        EXPECT_EQ(slice(file, payload + 12, 2), (Bytes{0, 4}));
        // Sorted: source 1 (ID -9), then source 0.
        EXPECT_EQ(slice(file, payload + 14, 8), (Bytes{5, 1, 6, 2, 7, 3, 8, 4}));
    }
}

TEST(IvfPqWriter, AllListsEmptyAndEmptyListsBetween) {
    const Bytes empty = write_bytes(index_of(2, 1, 8, Ids{{}, {}, {}}, Codes{{}, {}, {}}));
    const size_t start = 64 + 4 * 6 + 4 * 256 * 2 + 48;
    ASSERT_EQ(empty.size(), start);
    EXPECT_EQ(at<int64_t>(empty, 32), 0);
    for (size_t l = 0; l < 3; ++l) {
        EXPECT_EQ(at<int64_t>(empty, start - 48 + 16 * l), static_cast<int64_t>(start));
        EXPECT_EQ(at<int32_t>(empty, start - 40 + 16 * l), 0);
    }
    const Bytes mixed = write_bytes(index_of(2, 1, 8, Ids{{1}, {}, {2}}, Codes{{5}, {}, {6}}));
    EXPECT_EQ(at<int64_t>(mixed, start - 48), static_cast<int64_t>(start));
    EXPECT_EQ(at<int64_t>(mixed, start - 32), static_cast<int64_t>(start + 14));
    EXPECT_EQ(at<int64_t>(mixed, start - 16), static_cast<int64_t>(start + 14));
    EXPECT_EQ(mixed.size(), start + 28);
}

TEST(IvfPqWriter, OffsetsArePositionsInTheHostOutput) {
    const IVFPQIndex index = index_of(4, 2, 8, Ids{{7, 9}, {}}, Codes{{1, 2, 3, 4}, {}});
    const Bytes from_zero = write_bytes(index, 0);
    const Bytes from_1000 = write_bytes(index, 1000);
    ASSERT_EQ(from_zero.size(), from_1000.size());
    EXPECT_EQ(at<int64_t>(from_zero, 4192), 4224);
    EXPECT_EQ(at<int64_t>(from_zero, 4208), 4242);
    EXPECT_EQ(at<int64_t>(from_1000, 4192), 5224);
    EXPECT_EQ(at<int64_t>(from_1000, 4208), 5242);
    // Apart from the two offsets the files are equal.
    EXPECT_EQ(slice(from_zero, 0, 4192), slice(from_1000, 0, 4192));
    EXPECT_EQ(slice(from_zero, 4224, 18), slice(from_1000, 4224, 18));
}

TEST(IvfPqWriter, RefusesBeforeTheFirstByte) {
    struct Case {
        std::string name;
        IVFPQIndex index;
        std::string message;
        ErrorKind kind;
    };
    std::vector<Case> cases;
    cases.push_back({"code length", index_of(4, 2, 8, Ids{{1, 2}}, Codes{{1, 2, 3}}),
                     "IVFPQ code length mismatch at list 0", ErrorKind::InvalidInput});
    {
        IVFPQIndex bad = index_of(4, 2, 8, Ids{{1}}, Codes{{1, 2}});
        std::vector<float> centroids = bad.centroids();
        centroids[2] = std::numeric_limits<float>::quiet_NaN();
        ProductQuantizer pq = ProductQuantizer::with_nbits(4, 2, 8);
        pq.set_centroids(std::vector<float>(bad.pq().centroids().begin(), bad.pq().centroids().end()));
        cases.push_back({"nan centroid",
                         IVFPQIndex::from_parts(4, 1, 0, centroids, std::move(pq), std::nullopt, Ids{{1}}, Codes{{1, 2}}),
                         "IVF-PQ centroids holds a non-finite value", ErrorKind::InvalidInput});
    }
    {
        ProductQuantizer pq = ProductQuantizer::with_nbits(4, 2, 8);
        std::vector<float> codebook(2 * 256 * 2, 0.0f);
        codebook[5] = std::numeric_limits<float>::infinity();
        pq.set_centroids(std::move(codebook));
        cases.push_back({"inf codebook",
                         IVFPQIndex::from_parts(4, 1, 0, std::vector<float>(4, 0.0f), std::move(pq), std::nullopt,
                                                Ids{{}}, Codes{{}}),
                         "IVF-PQ codebook holds a non-finite value", ErrorKind::InvalidInput});
    }
    {
        // A dimension whose d x d section a reader refuses, with or without a rotation.
        ProductQuantizer pq = ProductQuantizer::with_nbits(32769, 1, 4 * 2);
        cases.push_back({"d above the rotation limit",
                         IVFPQIndex::from_parts(32769, 1, 0, {}, std::move(pq), std::nullopt, Ids{{}}, Codes{{}}),
                         "section size 1073807361 exceeds maximum 1073741824", ErrorKind::InvalidData});
    }
    {
        ProductQuantizer pq = ProductQuantizer::with_nbits(1024, 1, 8);
        cases.push_back({"nlist * d above the limit",
                         IVFPQIndex::from_parts(1024, 1048577, 0, {}, std::move(pq), std::nullopt, Ids(1048577),
                                                Codes(1048577)),
                         "section size 1073742848 exceeds maximum 1073741824", ErrorKind::InvalidData});
    }
    for (const Case& c : cases) {
        MemorySink sink;
        tavren::testing::expect_error([&] { tavren::ivfpq_io::write_ivfpq_index(c.index, sink); }, c.kind,
                                      c.message);
        EXPECT_TRUE(sink.calls().empty()) << c.name;
    }
}

TEST(IvfPqWriter, I32LimitsOnListCounts) {
    const IVFPQIndex index = index_of(2, 1, 8, Ids{{1, 2, 3}}, Codes{{1, 2, 3}});
    MemorySink sink;
    tavren::ivfpq_io::WriteLimits limits;
    limits.max_i32 = 2;
    // dimension 2 fits; nlist 1, m 1, ksub 256 > 2.
    tavren::testing::expect_error([&] { tavren::ivfpq_io::write_ivfpq_index_with_limits(index, sink, limits); },
                                  "pq ksub exceeds i32 length limit: 256");
    EXPECT_TRUE(sink.calls().empty());
}

// ---- Header checks, in a reader's order ----

namespace {

Bytes good_header() {
    Bytes h;
    put<uint32_t>(h, 0x49565051);
    put<uint32_t>(h, 1);
    put<int32_t>(h, 8);    // d
    put<int32_t>(h, 4);    // nlist
    put<int32_t>(h, 4);    // m
    put<int32_t>(h, 256);  // ksub
    put<int32_t>(h, 2);    // dsub
    put<uint32_t>(h, 0);
    put<int64_t>(h, 10);
    put<uint32_t>(h, 0xE);
    h.resize(64, 0);
    return h;
}

template <class T>
Bytes with(Bytes h, size_t offset, T value) {
    std::memcpy(h.data() + offset, &value, sizeof(T));
    return h;
}

}  // namespace

TEST(IvfPqHeader, EveryFaultInCheckOrder) {
    struct Case {
        Bytes header;
        std::string message;
    };
    const Bytes g = good_header();
    const std::vector<Case> cases{
        {with<uint32_t>(g, 0, 0x12345678), "Invalid IVFPQ magic: 0x12345678"},
        {with<uint32_t>(with<int32_t>(g, 8, 0), 4, 2), "Unsupported IVFPQ version: 2"},
        {with<int32_t>(with<int32_t>(g, 12, -1), 8, 0), "invalid header field d: 0 (must be positive)"},
        {with<int32_t>(with<int32_t>(g, 16, 0), 12, -3), "invalid header field nlist: -3 (must be positive)"},
        {with<int32_t>(with<int32_t>(g, 20, 0), 16, 0), "invalid header field m: 0 (must be positive)"},
        {with<int32_t>(with<int32_t>(g, 24, 0), 20, 0), "invalid header field ksub: 0 (must be positive)"},
        {with<int32_t>(with<int32_t>(g, 20, 7), 24, 0), "invalid header field dsub: 0 (must be positive)"},
        {with<int32_t>(with<int32_t>(g, 24, 3), 20, 7), "unsupported ksub 7 (must be 16 or 256)"},
        {with<int32_t>(g, 24, 3), "PQ invariant violated: d=8 != m*dsub=4*3=12"},
        {with<int32_t>(with<int32_t>(with<int32_t>(with<int32_t>(g, 8, 9), 16, 3), 24, 3), 20, 16),
         "4-bit PQ requires even m, got 3"},
        {with<uint32_t>(with<int64_t>(g, 32, -1), 28, 3), "Unknown metric type: 3"},
        {with<uint8_t>(with<int64_t>(g, 32, -1), 50, 1), "IVFPQ total vector count must be non-negative"},
        {with<uint32_t>(with<uint8_t>(g, 63, 1), 40, 0x1C), "IVFPQ reserved bytes must be zero"},
        {with<uint32_t>(g, 40, 0x1C), "Unsupported IVFPQ flags: 0x00000010"},
        {with<uint32_t>(g, 40, 0x4), "IVFPQ v1 requires delta IDs and transposed codes"},
        {with<uint32_t>(g, 40, 0xB), "IVFPQ v1 requires delta IDs and transposed codes"},
    };
    for (const Case& c : cases) {
        tavren::testing::expect_error(
            [&] { tavren::ivfpq_io::validate_header(std::span<const uint8_t, 64>(c.header.data(), 64)); },
            ErrorKind::InvalidData, c.message);
    }
    const fmtv::Header h = tavren::ivfpq_io::validate_header(std::span<const uint8_t, 64>(g.data(), 64));
    EXPECT_EQ(h.total, 10);
    // d 32,769 with m 1 passes the header checks (the section sizes are checked on load).
    const Bytes wide = with<int32_t>(with<int32_t>(with<int32_t>(g, 8, 32769), 16, 1), 24, 32769);
    EXPECT_EQ(tavren::ivfpq_io::validate_header(std::span<const uint8_t, 64>(wide.data(), 64)).dimension, 32769);
}
