// DiskANN flat sections: the buffered sink, PQ codebook, row IDs (raw and
// bit-packed), PQ code padding, row-ID order and raw vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "allocation_watch.hpp"
#include "bytes.hpp"
#include "diskann_format.hpp"
#include "expect.hpp"
#include "memory_sink.hpp"

using namespace tavren;
using namespace tavren::diskann_format;
using tavren::testing::AllocationWatch;
using tavren::testing::expect_error;
using tavren::testing::MemorySink;
using tavren::testing::put;

namespace {

constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

// Runs `write` against a fresh sink and returns what the output received.
std::vector<uint8_t> sink_bytes(const std::function<void(ChunkedSectionWriter&)>& write) {
    MemorySink out;
    ChunkedSectionWriter sink(out);
    write(sink);
    sink.finish();
    return out.bytes();
}

RowIdStorage storage_of(const std::vector<int64_t>& ids) {
    return RowIdStorage::encode(ids.size(), [&](uint64_t i) { return ids[i]; });
}

std::vector<uint8_t> row_id_section(const std::vector<int64_t>& ids) {
    const RowIdStorage s = storage_of(ids);
    return sink_bytes([&](ChunkedSectionWriter& sink) { write_row_id_section(s, sink); });
}

std::vector<uint8_t> row_id_header(uint32_t encoding, uint32_t width, uint64_t count, uint64_t base,
                                   uint64_t reserved = 0) {
    std::vector<uint8_t> b;
    put(b, encoding);
    put(b, width);
    put(b, count);
    put(b, base);
    put(b, reserved);
    return b;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<int64_t> all_ids(const RowIdStorage& s) {
    std::vector<int64_t> out;
    s.try_for_each([&](uint64_t node, int64_t id) {
        EXPECT_EQ(node, out.size());
        out.push_back(id);
    });
    // The block decoder agrees with the walk from any starting node.
    for (const uint64_t first : {uint64_t{0}, uint64_t{1}, out.size() / 2, out.size() - 1}) {
        if (first >= out.size()) continue;
        std::vector<int64_t> tail(out.size() - first);
        s.try_decode_range(first, tail);
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(first)))
            << "from node " << first;
    }
    return out;
}

DiskAnnHeader codebook_header(uint32_t d, uint32_t m, uint32_t bits) {
    DiskAnnHeader h;
    h.dimension = d;
    h.pq_m = m;
    h.pq_bits = bits;
    return h;
}

}  // namespace

// ---- ChunkedSectionWriter --------------------------------------------------------

TEST(DiskAnnSink, ThreeMebibytesOfSmallAppendsMakeThreeWholeWrites) {
    MemorySink out(MemorySink::Options{.keep_bytes = false, .fail_on_call = std::nullopt});
    ChunkedSectionWriter sink(out);
    for (uint32_t i = 0; i < 3 * 1048576 / 4; ++i) sink.write_le(i);
    // The third buffer is full but goes out only at finish.
    EXPECT_EQ(out.calls(), (std::vector<size_t>{1048576, 1048576}));
    sink.finish();
    EXPECT_EQ(out.calls(), (std::vector<size_t>{1048576, 1048576, 1048576}));
}

TEST(DiskAnnSink, EveryWriteButTheLastIsOneMebibyte) {
    MemorySink out;
    ChunkedSectionWriter sink(out);
    std::vector<uint8_t> expected;
    const size_t sizes[] = {0, 1, 1048575, 1048577, 3, 2500000, 0, 7};
    uint8_t next = 0;
    for (size_t size : sizes) {
        std::vector<uint8_t> piece(size);
        for (uint8_t& b : piece) b = next++;
        sink.write_bytes(piece);
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    sink.finish();
    EXPECT_EQ(out.bytes(), expected);
    ASSERT_FALSE(out.calls().empty());
    for (size_t i = 0; i + 1 < out.calls().size(); ++i) EXPECT_EQ(out.calls()[i], 1048576u);
    EXPECT_EQ(out.calls().back(), expected.size() - 1048576 * (out.calls().size() - 1));
}

TEST(DiskAnnSink, NothingAppendedMeansNoWriteAndOutputErrorsPassThrough) {
    MemorySink empty;
    ChunkedSectionWriter sink(empty);
    sink.write_bytes({});
    sink.finish();
    EXPECT_TRUE(empty.calls().empty());

    MemorySink failing(MemorySink::Options{.start_position = 0, .keep_bytes = true, .fail_on_call = 1});
    ChunkedSectionWriter failing_sink(failing);
    std::vector<uint8_t> big(2 * 1048576 + 1);
    expect_error([&] { failing_sink.write_bytes(big); }, ErrorKind::Other, "memory sink write failed");
    EXPECT_EQ(failing.calls(), (std::vector<size_t>{1048576}));
}

// ---- Section 0 ----------------------------------------------------------------------

TEST(DiskAnnCodebook, RoundTripsAndChecksInOrder) {
    const std::vector<uint64_t> offsets = {0, 3, 5};
    std::vector<float> centroids(5 * 16);
    for (size_t i = 0; i < centroids.size(); ++i) centroids[i] = 0.5f * float(i) - 3.0f;
    const std::vector<uint8_t> bytes = sink_bytes(
        [&](ChunkedSectionWriter& sink) { write_pq_codebook({5, 2, 4, 16, offsets, centroids}, sink); });
    ASSERT_EQ(bytes.size(), pq_codebook_serialized_len(5, 2, 16));
    std::vector<uint8_t> head;
    for (uint32_t w : {0x31515044u, 1u, 5u, 2u, 4u, 16u, 3u, 0u, 0u, 3u, 5u}) put(head, w);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 44), head);
    EXPECT_EQ(bytes[0], 'D');
    EXPECT_EQ(bytes[3], '1');

    const DiskAnnHeader h = codebook_header(5, 2, 4);
    const PqCodebookSection s = decode_pq_codebook_section(bytes, h);
    EXPECT_EQ(s.dimension, 5u);
    EXPECT_EQ(s.m, 2u);
    EXPECT_EQ(s.nbits, 4u);
    EXPECT_EQ(s.ksub, 16u);
    EXPECT_EQ(s.chunk_offsets, offsets);
    EXPECT_EQ(decode_pq_centroids(s), centroids);

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> corrupt;
        DiskAnnHeader header;
        std::string message;
    };
    auto word = [](size_t at, uint32_t v) { return [=](std::vector<uint8_t>& b) { std::memcpy(&b[at], &v, 4); }; };
    const std::string meta = "invalid DiskANN PQ codebook metadata";
    const std::vector<Case> cases = {
        {"31 bytes", [](std::vector<uint8_t>& b) { b.resize(31); }, h, "DiskANN PQ codebook header is truncated"},
        {"magic", word(0, 0x31515045), h, meta},
        {"version", word(4, 2), h, meta},
        {"dimension", word(8, 6), h, meta},
        {"m", word(12, 1), h, meta},
        {"nbits", word(16, 8), h, meta},
        {"ksub 256 with 4 bits", word(20, 256), h, meta},
        {"offset count", word(24, 2), h, meta},
        {"reserved", word(28, 1), h, meta},
        {"header says 8 bits", [](std::vector<uint8_t>&) {}, codebook_header(5, 2, 8), meta},
        {"one byte short", [](std::vector<uint8_t>& b) { b.pop_back(); }, h, "invalid DiskANN PQ codebook length"},
        {"one byte long", [](std::vector<uint8_t>& b) { b.push_back(0); }, h, "invalid DiskANN PQ codebook length"},
        {"metadata before length", [](std::vector<uint8_t>& b) { b[4] = 9; b.pop_back(); }, h, meta},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> b = bytes;
        c.corrupt(b);
        expect_error([&] { (void)decode_pq_codebook_section(b, c.header); }, ErrorKind::InvalidData, c.message);
    }
    std::vector<uint8_t> with_nan = bytes;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(&with_nan[44 + 4 * 17], &nan, 4);
    const PqCodebookSection bad = decode_pq_codebook_section(with_nan, h);
    expect_error([&] { (void)decode_pq_centroids(bad); }, ErrorKind::InvalidData, "DiskANN PQ centroids must be finite");
}

TEST(DiskAnnCodebook, WriterRefusesAnInconsistentView) {
    const std::vector<uint64_t> offsets = {0, 4};
    const std::vector<float> centroids(4 * 16);
    auto write = [&](PqCodebookView view) {
        return [=] { (void)sink_bytes([&](ChunkedSectionWriter& sink) { write_pq_codebook(view, sink); }); };
    };
    expect_error(write({4, 2, 4, 16, offsets, centroids}), "DiskANN PQ codebook layout is invalid");
    expect_error(write({4, 1, 4, 16, offsets, std::span<const float>(centroids).first(63)}),
                 "DiskANN PQ codebook layout is invalid");
    expect_error(write({4, 0, 4, 16, {}, centroids}), "DiskANN PQ codebook layout is invalid");
    const std::vector<uint64_t> wide = {0, uint64_t{1} << 32};
    expect_error(write({4, 1, 4, 16, wide, centroids}), "DiskANN PQ chunk offset exceeds u32");
}

// ---- Section 1 ----------------------------------------------------------------------

TEST(DiskAnnRowIds, EncodingRuleAndGoldenBytes) {
    struct Case {
        const char* name;
        std::vector<int64_t> ids;
        std::vector<uint8_t> header;
        std::vector<uint8_t> payload;
    };
    std::vector<int64_t> hundred(100);
    for (int64_t i = 0; i < 100; ++i) hundred[size_t(i)] = i;
    const std::vector<Case> cases = {
        {"all equal", {-5, -5, -5, -5}, row_id_header(1, 0, 4, uint64_t(-5)), {}},
        {"10 13 11", {10, 13, 11}, row_id_header(1, 2, 3, 10), {0x1C}},
        {"100 185 142", {100, 185, 142}, row_id_header(1, 7, 3, 100), {0x80, 0xAA, 0x0A}},
        {"span 2^63 - 1", {-1, kI64Max - 1}, row_id_header(1, 63, 2, uint64_t(-1)),
         {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3F}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = row_id_section(c.ids);
        EXPECT_EQ(bytes, cat(c.header, c.payload));
        EXPECT_EQ(storage_of(c.ids).section_length(), bytes.size());
        const RowIdStorage back = decode_row_id_section_owned(std::vector<uint8_t>(bytes), c.ids.size());
        EXPECT_EQ(all_ids(back), c.ids);
        for (size_t i = 0; i < c.ids.size(); ++i) EXPECT_EQ(back.get(i), c.ids[i]);
        EXPECT_EQ(back.get(c.ids.size()), std::nullopt);
    }

    // 0..99: w 7, 88 bytes, 120 in all; the last byte uses 4 bits.
    const std::vector<uint8_t> bytes = row_id_section(hundred);
    EXPECT_EQ(bytes.size(), 120u);
    EXPECT_EQ(bytes[4], 7);
    EXPECT_EQ(bytes.back() >> 4, 0);
    EXPECT_EQ(bytes.back(), 99 >> 3);  // node 99's value 99 at bit 693: its top 4 bits in the last byte
    EXPECT_EQ(all_ids(decode_row_id_section_owned(std::vector<uint8_t>(bytes), 100)), hundred);

    // i64::MIN and i64::MAX: span 2^64 - 1, raw.
    const std::vector<int64_t> extremes = {kI64Max, kI64Min, 0};
    const std::vector<uint8_t> raw = row_id_section(extremes);
    std::vector<uint8_t> payload;
    for (int64_t id : extremes) put(payload, id);
    EXPECT_EQ(raw, cat(row_id_header(0, 64, 3, 0), payload));
    const RowIdStorage back = decode_row_id_section_owned(std::vector<uint8_t>(raw), 3);
    ASSERT_NE(back.raw(), nullptr);
    EXPECT_EQ(all_ids(back), extremes);
}

TEST(DiskAnnRowIds, SixtyThreeBitValuesReadNineBytes) {
    // Node 1's 63-bit value starts at bit 63: bit 7 of byte 7 through byte 15.
    const std::vector<int64_t> ids = {kI64Min, kI64Min + (kI64Max - 5), kI64Min + 3};
    const RowIdStorage s = storage_of(ids);
    ASSERT_NE(s.packed(), nullptr);
    EXPECT_EQ(s.packed()->width, 63);
    EXPECT_EQ(s.packed()->payload.size(), 24u);
    EXPECT_EQ(all_ids(s), ids);
    EXPECT_EQ(unpack_row_id_delta_at_bit_offset(s.packed()->payload, 63, 63), uint64_t(kI64Max - 5));
    // The 9 bytes needed run one byte past a 15-byte payload: none.
    EXPECT_EQ(unpack_row_id_delta_at_bit_offset(std::span<const uint8_t>(s.packed()->payload).first(15), 63, 63),
              std::nullopt);
    EXPECT_EQ(unpack_row_id_delta_at_bit_offset({}, 12345, 0), 0u);
    EXPECT_EQ(unpack_row_id_delta_at_bit_offset(s.packed()->payload, ~uint64_t{0}, 1), std::nullopt);

    AllocationWatch watch;
    for (uint64_t node = 0; node < 3; ++node) EXPECT_EQ(s.get(node), ids[node]);
    EXPECT_EQ(watch.largest(), 0u);
}

TEST(DiskAnnRowIds, DecoderChecksInOrder) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint64_t n;
        std::string message;
    };
    auto u64 = [](uint64_t v) {
        std::vector<uint8_t> b;
        put(b, v);
        return b;
    };
    const std::vector<Case> cases = {
        {"31 bytes", std::vector<uint8_t>(31), 0, "DiskANN row-ID section header is truncated"},
        {"reserved", row_id_header(1, 0, 1, 0, 1), 1, "DiskANN row-ID section reserved bytes must be zero"},
        {"reserved before count", row_id_header(1, 0, 2, 0, 1 << 8), 1,
         "DiskANN row-ID section reserved bytes must be zero"},
        {"count", row_id_header(1, 0, 2, 0), 1, "DiskANN row-ID count does not match header"},
        {"width 64", row_id_header(1, 64, 1, 0), 1, "invalid DiskANN FOR row-ID bit width"},
        {"raw base 1", cat(row_id_header(0, 64, 1, 1), u64(0)), 1, "invalid DiskANN raw row-ID metadata"},
        {"raw width 63", cat(row_id_header(0, 63, 1, 0), u64(0)), 1, "invalid DiskANN raw row-ID metadata"},
        {"encoding 2", row_id_header(2, 0, 1, 0), 1, "unsupported DiskANN row-ID encoding"},
        {"count before encoding", row_id_header(2, 0, 2, 0), 1, "DiskANN row-ID count does not match header"},
        {"packed short", cat(row_id_header(1, 7, 3, 0), {1, 2}), 3, "invalid DiskANN row-ID payload length"},
        {"packed long", cat(row_id_header(1, 7, 3, 0), {1, 2, 3, 4}), 3, "invalid DiskANN row-ID payload length"},
        {"width 0 with payload", cat(row_id_header(1, 0, 3, 0), {0}), 3, "invalid DiskANN row-ID payload length"},
        {"raw short", cat(row_id_header(0, 64, 2, 0), u64(0)), 2, "invalid DiskANN row-ID payload length"},
        {"tail bit 5", cat(row_id_header(1, 7, 3, 0), {0, 0, 0x20}), 3, "DiskANN packed row-ID tail bits must be zero"},
        {"overflow", cat(row_id_header(1, 4, 2, uint64_t(kI64Max - 10)), {0xB0}), 2,
         "DiskANN packed row ID overflows i64"},
        {"tail before overflow", cat(row_id_header(1, 7, 3, uint64_t(kI64Max)), {0x7F, 0, 0x20}), 3,
         "DiskANN packed row-ID tail bits must be zero"},
        {"a count the bytes cannot hold", row_id_header(0, 64, uint64_t{1} << 60, 0), uint64_t{1} << 60,
         "invalid DiskANN row-ID payload length"},
        {"a raw count that overflows", row_id_header(0, 64, uint64_t{1} << 62, 0), uint64_t{1} << 62,
         "DiskANN raw row-ID length overflows usize"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AllocationWatch watch;
        expect_error([&] { (void)decode_row_id_section_owned(std::vector<uint8_t>(c.bytes), c.n); },
                     ErrorKind::InvalidData, c.message);
        EXPECT_LE(watch.largest(), c.bytes.size() + 64);
    }
    // base 2^63 - 10 with value 9 passes (width 4: values 9 and 0).
    const RowIdStorage ok = decode_row_id_section_owned(cat(row_id_header(1, 4, 2, uint64_t(kI64Max - 10)), {0x09}), 2);
    EXPECT_EQ(all_ids(ok), (std::vector<int64_t>{kI64Max - 1, kI64Max - 10}));
    // An empty payload with a width (n = 0) is fine too.
    EXPECT_EQ(decode_row_id_section_owned(row_id_header(1, 5, 0, 0), 0).count(), 0u);
}

TEST(DiskAnnRowIds, ForgedStorageFailsTheWalkAndLooksUpNone) {
    // A payload shorter than the count claims: get gives none, the walk fails.
    const RowIdStorage short_payload(PackedRowIds{{0xFF}, 0, 3, 7});
    EXPECT_EQ(short_payload.get(0), 127);
    EXPECT_EQ(short_payload.get(1), std::nullopt);
    expect_error([&] { all_ids(short_payload); }, ErrorKind::InvalidData, "DiskANN packed row-ID payload is truncated");
    const RowIdStorage near_max(PackedRowIds{{0x0F}, kI64Max - 10, 1, 4});
    EXPECT_EQ(near_max.get(0), std::nullopt);
    expect_error([&] { all_ids(near_max); }, ErrorKind::InvalidData, "DiskANN packed row ID overflows i64");
    std::vector<int64_t> block(3);
    expect_error([&] { short_payload.try_decode_range(0, block); }, ErrorKind::InvalidData,
                 "DiskANN packed row-ID payload is truncated");
    expect_error([&] { near_max.try_decode_range(0, std::span<int64_t>(block).first(1)); }, ErrorKind::InvalidData,
                 "DiskANN packed row ID overflows i64");
    // The callback's own error ends the walk.
    const RowIdStorage s = storage_of({1, 2, 3});
    int calls = 0;
    expect_error(
        [&] {
            s.try_for_each([&](uint64_t, int64_t) {
                if (++calls == 2) invalid_data("stop");
            });
        },
        ErrorKind::InvalidData, "stop");
    EXPECT_EQ(calls, 2);
}

// ---- Sections 2 and 3 ---------------------------------------------------------------------

TEST(DiskAnnCodes, OddFourBitCodesMustZeroTheUnusedNibble) {
    const DiskAnnHeader m5 = codebook_header(8, 5, 4);
    std::vector<uint8_t> codes = {0x12, 0x34, 0x05, 0xFF, 0xFF, 0x0F};
    EXPECT_NO_THROW(validate_pq_code_padding(m5, codes));
    codes[2] = 0x1F;
    expect_error([&] { validate_pq_code_padding(m5, codes); }, ErrorKind::InvalidData,
                 "DiskANN odd 4-bit PQ codes must zero the unused high nibble");
    // An incomplete trailing code is not looked at; even m and 8-bit codes never are.
    EXPECT_NO_THROW(validate_pq_code_padding(m5, std::vector<uint8_t>{0, 0, 0, 0xFF, 0xFF}));
    EXPECT_NO_THROW(validate_pq_code_padding(codebook_header(8, 4, 4), std::vector<uint8_t>(6, 0xFF)));
    EXPECT_NO_THROW(validate_pq_code_padding(codebook_header(8, 5, 8), std::vector<uint8_t>(10, 0xFF)));
}

TEST(DiskAnnRowIdOrder, SortsByRowIdThenNodeAndChecksInOrder) {
    const RowIdStorage s = storage_of({7, 3, 7});
    const std::vector<uint32_t> order = row_id_order(s);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 0, 2}));
    EXPECT_EQ(sink_bytes([&](ChunkedSectionWriter& sink) { write_row_id_order(order, sink); }),
              (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_NO_THROW(validate_row_id_order(s, order));

    struct Case {
        std::vector<uint32_t> order;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{1, 2, 0}, "DiskANN row-ID order must be globally strictly increasing"},
        {{1, 0, 3}, "DiskANN row-ID order node is out of range"},
        {{1, 0, 0}, "DiskANN row-ID order must be globally strictly increasing"},
        {{1, 0}, "DiskANN row-ID order has an invalid node count"},
        {{1, 0, 2, 3}, "DiskANN row-ID order has an invalid node count"},
        // The node's range check comes before the pair that ends at it.
        {{2, 5, 1}, "DiskANN row-ID order node is out of range"},
    };
    for (const Case& c : cases) {
        expect_error([&] { validate_row_id_order(s, c.order); }, ErrorKind::InvalidData, c.message);
    }
    // Negative and raw row IDs compare as signed values.
    const RowIdStorage raw = storage_of({kI64Max, kI64Min, -1});
    EXPECT_EQ(row_id_order(raw), (std::vector<uint32_t>{1, 2, 0}));
    // An unreadable packed value is out of range.
    const RowIdStorage short_payload(PackedRowIds{{0xFF}, 0, 3, 7});
    expect_error([&] { validate_row_id_order(short_payload, std::vector<uint32_t>{0, 1, 2}); }, ErrorKind::InvalidData,
                 "DiskANN row-ID order node is out of range");
    EXPECT_NO_THROW(validate_row_id_order(storage_of({}), std::vector<uint32_t>{}));
}

// ---- Section 6 ---------------------------------------------------------------------------

TEST(DiskAnnRawVectors, F32IsUnchangedAndF16RoundsOrRefuses) {
    std::vector<uint8_t> out = {9, 9};
    const std::vector<float> values = {1.0f, -0.0f, 3.4028235e38f, 1e-45f};
    encode_raw_vector(values, RawVectorEncoding::F32, out);
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(std::memcmp(out.data(), values.data(), 16), 0);

    encode_raw_vector(std::vector<float>{65504.0f, -2.0f, 0.5f, 1.0f / 3.0f}, RawVectorEncoding::F16, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0x7B, 0x00, 0xC0, 0x00, 0x38, 0x55, 0x35}));
    EXPECT_TRUE(raw_vector_record_is_finite(out, RawVectorEncoding::F16));

    for (float bad : {65520.0f, -1e9f, std::numeric_limits<float>::infinity(), std::nanf("")}) {
        expect_error([&] { encode_raw_vector(std::vector<float>{0.0f, bad}, RawVectorEncoding::F16, out); },
                     "DiskANN vector value is outside the finite f16 range");
    }
    // 65519 still rounds down to 65504.
    encode_raw_vector(std::vector<float>{65519.0f}, RawVectorEncoding::F16, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0x7B}));
}

TEST(DiskAnnRawVectors, RecordFinitenessCheck) {
    std::vector<uint8_t> f32;
    put(f32, 1.5f);
    EXPECT_TRUE(raw_vector_record_is_finite(f32, RawVectorEncoding::F32));
    put(f32, std::numeric_limits<float>::infinity());
    EXPECT_FALSE(raw_vector_record_is_finite(f32, RawVectorEncoding::F32));
    EXPECT_FALSE(raw_vector_record_is_finite(std::vector<uint8_t>(6), RawVectorEncoding::F32));
    EXPECT_TRUE(raw_vector_record_is_finite(std::vector<uint8_t>(6), RawVectorEncoding::F16));
    EXPECT_FALSE(raw_vector_record_is_finite(std::vector<uint8_t>(5), RawVectorEncoding::F16));
    EXPECT_FALSE(raw_vector_record_is_finite(std::vector<uint8_t>{0x00, 0x7C}, RawVectorEncoding::F16));
    EXPECT_FALSE(raw_vector_record_is_finite(std::vector<uint8_t>{0x01, 0xFE}, RawVectorEncoding::F16));
}

TEST(DiskAnnRawVectors, RecordsGoOutInWholeMebibytes) {
    // 3000 records of 128 f16 values (256 bytes): 768000 bytes, one write;
    // 9000 records: 2304000 bytes, writes of 1 MiB, 1 MiB, 206848.
    const uint64_t d = 128;
    std::vector<float> row(d);
    for (uint64_t j = 0; j < d; ++j) row[j] = float(j) * 0.5f;
    MemorySink out;
    write_vector_records(9000, [&](uint64_t) { return std::span<const float>(row); }, RawVectorEncoding::F16, out);
    EXPECT_EQ(out.calls(), (std::vector<size_t>{1048576, 1048576, 206848}));
    std::vector<uint8_t> record;
    encode_raw_vector(row, RawVectorEncoding::F16, record);
    EXPECT_EQ(std::vector<uint8_t>(out.bytes().end() - 256, out.bytes().end()), record);

    MemorySink none;
    write_vector_records(0, [&](uint64_t) { return std::span<const float>(row); }, RawVectorEncoding::F32, none);
    EXPECT_TRUE(none.calls().empty());
}

// ---- Allocation bounds -----------------------------------------------------------------------

TEST(DiskAnnDecoders, SizesClaimedByAFileNeverSizeAnAllocation) {
    // A header claiming u32::MAX nodes and a 16 MiB adjacency index, with 12 bytes given.
    DiskAnnHeader h;
    h.vector_count = 0xFFFFFFFFull;
    h.max_degree = 8;
    h.flags = kFlagsCompact;
    h.sections[kSectionAdjacencyIndex].length = adjacency_index_serialized_len(h.vector_count);
    h.sections[kSectionAdjacencyPages].length = 4096;
    const std::vector<uint8_t> small(12);
    {
        AllocationWatch watch;
        expect_error([&] { (void)decode_adjacency_index(small, h); }, ErrorKind::InvalidData,
                     "DiskANN adjacency index payload is truncated");
        EXPECT_LT(watch.largest(), 1024u);
    }
    // A codebook header claiming d = m = 1024 with 8-bit codes, and nothing after it.
    std::vector<uint8_t> codebook;
    for (uint32_t w : {0x31515044u, 1u, 1024u, 1024u, 8u, 256u, 1025u, 0u}) put(codebook, w);
    {
        AllocationWatch watch;
        expect_error([&] { (void)decode_pq_codebook_section(codebook, codebook_header(1024, 1024, 8)); },
                     ErrorKind::InvalidData, "invalid DiskANN PQ codebook length");
        EXPECT_LT(watch.largest(), 1024u);
    }
    // A raw row-ID section claiming 2^32 - 1 rows in 40 bytes.
    {
        AllocationWatch watch;
        expect_error(
            [&] { (void)decode_row_id_section_owned(cat(row_id_header(0, 64, 0xFFFFFFFFull, 0), {1, 2, 3, 4, 5, 6, 7, 8}),
                                                    0xFFFFFFFFull); },
            ErrorKind::InvalidData, "invalid DiskANN row-ID payload length");
        EXPECT_LT(watch.largest(), 1024u);
    }
    // A list degree is at most 32767: the decoder's growth is bounded by that, not by the bytes.
    {
        std::vector<uint32_t> out;
        AllocationWatch watch;
        expect_error([&] { (void)decode_adjacency_list(small, 0x7FFF, false, out); }, ErrorKind::InvalidData,
                     "DiskANN adjacency varint is truncated");
        EXPECT_LE(watch.largest(), 4u * 0x7FFF);
    }
}
