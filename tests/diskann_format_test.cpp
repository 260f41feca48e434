// The DiskANN header and file layout: the layout function, the 256-byte
// record, and every header check in its order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "diskann_file_builder.hpp"
#include "diskann_format.hpp"
#include "expect.hpp"

using namespace tavren;
using namespace tavren::diskann_format;
using diskann::StorageLayout;
using tavren::testing::expect_error;

namespace {

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

DiskAnnBuildConfig config(uint64_t r = 16, uint64_t l = 32, StorageLayout layout = StorageLayout::Compact,
                          RawVectorEncoding encoding = RawVectorEncoding::F32) {
    DiskAnnBuildConfig c;
    c.max_degree = r;
    c.build_search_list_size = l;
    c.seed = 42;
    c.memory_budget_bytes = 1 << 30;
    c.alpha = 1.2f;
    c.raw_vector_encoding = encoding;
    c.storage_layout = layout;
    return c;
}

// The worked example: d 8, m 4, 8-bit codes, n 100, 120-byte row-ID section, 3 pages.
DiskAnnHeader worked(StorageLayout layout = StorageLayout::Compact) {
    return DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(8, 100, 0, 4, 8, 0, config(16, 32, layout), 120,
                                                                      3);
}

template <class T>
void put_at(std::array<uint8_t, kHeaderBytes>& b, size_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}

std::string decode_message(const std::array<uint8_t, kHeaderBytes>& b) {
    return tavren::testing::error_message([&] { (void)DiskAnnHeader::decode(b); }, ErrorKind::InvalidData);
}

}  // namespace

TEST(DiskAnnLayout, WorkedExampleGivesTheExactOffsets) {
    const DiskAnnHeader h = worked();
    const DiskAnnSections expected{{{4096, 8244},
                                    {12340, 120},
                                    {12460, 400},
                                    {12860, 400},
                                    {13260, 456},
                                    {16384, 12288},
                                    {28672, 3200}}};
    EXPECT_EQ(h.sections, expected);
    EXPECT_EQ(h.file_length, 31872u);
    EXPECT_EQ(h.record_bytes, 32u);
    EXPECT_EQ(h.flags, 0x1Fu);
    EXPECT_EQ(h.page_size, 4096u);
    EXPECT_EQ(h.fixed_word_68, 4u);
    EXPECT_EQ(h.fixed_word_72, 3u);
    EXPECT_EQ(h.build_seed, 42u);
    EXPECT_EQ(h.max_degree, 16u);
    EXPECT_EQ(h.build_search_list_size, 32u);

    const DiskAnnHeader i = worked(StorageLayout::Interleaved);
    EXPECT_EQ(i.flags, 0x3Du);
    EXPECT_EQ(i.sections[6], (DiskAnnSection{28672, 0}));
    EXPECT_EQ(i.file_length, 28672u);
    EXPECT_EQ(i.record_bytes, 32u);
}

TEST(DiskAnnLayout, WorkedExampleFileHasThatLayoutAndPassesEveryCheck) {
    // 100 nodes, each linked to all 99 others: 99 one-byte varints per list,
    // 41 records per page, so 3 pages.
    tavren::testing::DiskAnnFileContents contents = tavren::testing::ring_contents(100, 99);
    contents.config.max_degree = 99;
    contents.config.build_search_list_size = 120;
    const tavren::testing::DiskAnnFile file = tavren::testing::build_diskann_file(contents);
    EXPECT_EQ(file.plan.page_count, 3u);
    EXPECT_EQ(file.header.sections, worked().sections);
    EXPECT_EQ(file.bytes.size(), 31872u);
    EXPECT_EQ(tavren::testing::check_diskann_file(file.bytes), "");
    // The gap between section 4 and the pages is zero.
    for (size_t at = 13716; at < 16384; ++at) ASSERT_EQ(file.bytes[at], 0) << at;
}

TEST(DiskAnnLayout, LengthFunctions) {
    EXPECT_EQ(diskann_pq_ksub(4), 16u);
    EXPECT_EQ(diskann_pq_ksub(8), 256u);
    EXPECT_EQ(diskann_pq_code_size(5, 4), 3u);
    EXPECT_EQ(diskann_pq_code_size(5, 8), 5u);
    expect_error([] { (void)diskann_pq_ksub(6); }, "DiskANN pq.bits must be 4 or 8");
    expect_error([] { (void)diskann_pq_code_size(4, 7); }, "DiskANN pq.bits must be 4 or 8");
    EXPECT_EQ(pq_codebook_serialized_len(8, 4, 256), 8244u);
    expect_error([] { (void)pq_codebook_serialized_len(uint64_t{1} << 60, 4, 4); },
                 "DiskANN PQ centroid size overflows usize");
    expect_error([] { (void)pq_codebook_serialized_len(8, uint64_t{1} << 62, 256); },
                 "DiskANN PQ codebook size overflows usize");
    EXPECT_EQ(adjacency_index_serialized_len(1), 12u);
    EXPECT_EQ(adjacency_index_serialized_len(17), 16u + 68u);
    expect_error([] { (void)adjacency_index_serialized_len(uint64_t{1} << 62); },
                 "DiskANN adjacency locator size overflows usize");
}

TEST(DiskAnnLayout, RefusesParametersTheFormatCannotHold) {
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string message;
    };
    auto layout = [](uint64_t d, uint64_t n, uint32_t entry, uint32_t metric, DiskAnnBuildConfig c, uint64_t l1,
                     uint64_t pages) {
        return [=] {
            (void)DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(d, n, entry, 4, 8, metric, c, l1, pages);
        };
    };
    DiskAnnBuildConfig enc0 = config();
    enc0.raw_vector_encoding = static_cast<RawVectorEncoding>(0);
    DiskAnnBuildConfig enc3 = config();
    enc3.raw_vector_encoding = static_cast<RawVectorEncoding>(3);
    // A layout code of 2 counts as interleaved, page limit included.
    DiskAnnBuildConfig layout2 = config(25, 32);
    layout2.storage_layout = static_cast<StorageLayout>(2);
    const std::vector<Case> cases = {
        {"format limits first", layout(0, 10, 0, 3, enc0, 32, 1), "DiskANN dimension must be greater than 0"},
        {"metric 3", layout(8, 10, 0, 3, config(), 32, 1), "unsupported DiskANN metric 3"},
        {"encoding 0", layout(8, 10, 0, 0, enc0, 32, 1), "unsupported DiskANN raw-vector encoding 0"},
        {"encoding 3", layout(8, 10, 0, 2, enc3, 32, 1), "unsupported DiskANN raw-vector encoding 3"},
        {"metric before encoding", layout(8, 10, 0, 7, enc3, 32, 1), "unsupported DiskANN metric 7"},
        {"no vectors", layout(8, 0, 0, 0, config(), 32, 1), "DiskANN vector count must be between 1 and u32::MAX"},
        {"2^32 vectors", layout(8, kU32Max + 1, 0, 0, config(), 32, 1),
         "DiskANN vector count must be between 1 and u32::MAX"},
        {"entry node", layout(8, 10, 10, 0, config(), 32, 1), "DiskANN entry node is out of range"},
        {"no pages", layout(8, 10, 0, 0, config(), 32, 0),
         "DiskANN adjacency page count must be between 1 and u32::MAX"},
        {"2^32 pages", layout(8, 10, 0, 0, config(), 32, kU32Max + 1),
         "DiskANN adjacency page count must be between 1 and u32::MAX"},
        {"row IDs 31", layout(8, 10, 0, 0, config(), 31, 1), "invalid DiskANN row-ID section length"},
        {"row IDs 8n + 33", layout(8, 10, 0, 0, config(), 113, 1), "invalid DiskANN row-ID section length"},
        {"layout code 2", layout(1000, 10, 0, 0, layout2, 32, 1),
         "DiskANN interleaved raw vector and maximum adjacency list must fit in one page"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error(c.call, c.message);
    }
    // The bounds themselves are accepted.
    EXPECT_NO_THROW(layout(8, 10, 9, 2, config(), 112, kU32Max)());
    EXPECT_EQ(DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(8, 10, 0, 4, 8, 0,
                                                                         config(16, 32, StorageLayout::Compact,
                                                                                RawVectorEncoding::F16),
                                                                         32, 1)
                  .record_bytes,
              16u);
}

TEST(DiskAnnHeader, RoundTripsThroughItsBytes) {
    DiskAnnHeader h = DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(
        1000, 12345, 12344, 125, 4, 2, config(24, 1000, StorageLayout::Interleaved, RawVectorEncoding::F32), 32 + 9,
        77);
    h.build_seed = 0xFEDCBA9876543210ull;
    const auto bytes = h.encode();
    // Fixed words and byte order.
    EXPECT_EQ((std::vector<uint8_t>(bytes.begin(), bytes.begin() + 16)),
              (std::vector<uint8_t>{0x44, 0x41, 0x4E, 0x4E, 1, 0, 0, 0, 0, 1, 0, 0, 0x3D, 0, 0, 0}));
    EXPECT_EQ(bytes[84], 7);
    EXPECT_EQ(bytes[48], 0x10);
    EXPECT_EQ(bytes[55], 0xFE);
    for (size_t at = kReservedAt; at < kHeaderBytes; ++at) EXPECT_EQ(bytes[at], 0);
    const DiskAnnHeader back = DiskAnnHeader::decode(bytes);
    EXPECT_EQ(back, h);
    EXPECT_EQ(back.encode(), bytes);
    EXPECT_EQ(back.metric_type(), 2u);
    EXPECT_EQ(back.raw_vector_encoding_type(), RawVectorEncoding::F32);

    // Bytes beyond 256 are ignored.
    std::vector<uint8_t> longer(bytes.begin(), bytes.end());
    longer.resize(300, 0xAB);
    EXPECT_EQ(DiskAnnHeader::decode(longer), h);
}

TEST(DiskAnnHeader, AssertsOnUndecodedFields) {
    DiskAnnHeader h = worked();
    h.metric = 3;
    EXPECT_EQ(tavren::testing::assertion_text([&] { (void)h.metric_type(); }), "validated DiskANN metric");
    h.raw_vector_encoding = 0;
    EXPECT_EQ(tavren::testing::assertion_text([&] { (void)h.raw_vector_encoding_type(); }),
              "validated DiskANN raw-vector encoding");
}

TEST(DiskAnnHeader, EveryCheckInOrder) {
    using Bytes = std::array<uint8_t, kHeaderBytes>;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        std::function<void(Bytes&)> corrupt;
        std::string message;
    };
    auto u32_at = [](size_t at, uint32_t v) { return [=](Bytes& b) { put_at(b, at, v); }; };
    auto u64_at = [](size_t at, uint64_t v) { return [=](Bytes& b) { put_at(b, at, v); }; };
    auto f32_at = [](size_t at, float v) { return [=](Bytes& b) { put_at(b, at, v); }; };
    auto both = [](std::function<void(Bytes&)> a, std::function<void(Bytes&)> b) {
        return [=](Bytes& x) {
            a(x);
            b(x);
        };
    };
    const std::string layout = "invalid DiskANN section layout";
    std::vector<Case> cases = {
        {"magic", u32_at(kMagicAt, 0x4E4E4145), "invalid DiskANN magic"},
        {"version", u32_at(kVersionAt, 2), "unsupported DiskANN version"},
        {"header size", u32_at(kHeaderSizeAt, 255), "invalid DiskANN header size"},
        {"flags 0x1D", u32_at(kFlagsAt, 0x1D), "invalid DiskANN required flags"},
        {"flags 0x3F", u32_at(kFlagsAt, 0x3F), "invalid DiskANN required flags"},
        {"flags 0x9F", u32_at(kFlagsAt, 0x9F), "invalid DiskANN required flags"},
        {"flags 0x1B", u32_at(kFlagsAt, 0x1B), "invalid DiskANN required flags"},
        {"section count", u32_at(kSectionCountAt, 6), "invalid DiskANN section count"},
        {"reserved byte 255", [](Bytes& b) { b[255] = 1; }, "DiskANN reserved header bytes must be zero"},
        {"reserved byte 208", [](Bytes& b) { b[208] = 0x80; }, "DiskANN reserved header bytes must be zero"},
        {"pq_bits 6", u32_at(kPqBitsAt, 6), "unsupported DiskANN v1 layout"},
        {"page size 8192", u32_at(kPageSizeAt, 8192), "unsupported DiskANN v1 layout"},
        {"metric 3", u32_at(kMetricAt, 3), "unsupported DiskANN v1 layout"},
        {"encoding 0", u32_at(kRawVectorEncodingAt, 0), "unsupported DiskANN v1 layout"},
        {"encoding 3", u32_at(kRawVectorEncodingAt, 3), "unsupported DiskANN v1 layout"},
        {"alpha NaN", f32_at(kAlphaAt, nan), "DiskANN alpha must be finite"},
        {"alpha inf", f32_at(kAlphaAt, inf), "DiskANN alpha must be finite"},
        {"alpha -inf", f32_at(kAlphaAt, -inf), "DiskANN alpha must be finite"},
        {"dimension 0", u32_at(kDimensionAt, 0), "invalid DiskANN dimension"},
        {"dimension 1025", u32_at(kDimensionAt, 1025), "invalid DiskANN dimension"},
        {"vector count 0", u64_at(kVectorCountAt, 0), "invalid DiskANN vector count"},
        {"vector count 2^32", u64_at(kVectorCountAt, kU32Max + 1), "invalid DiskANN vector count"},
        {"entry node n", u32_at(kEntryNodeAt, 100), "invalid DiskANN entry node"},
        {"pq_m 0", u32_at(kPqMAt, 0), "invalid DiskANN PQ shape"},
        {"pq_m above d", u32_at(kPqMAt, 9), "invalid DiskANN PQ shape"},
        {"R 0", u32_at(kMaxDegreeAt, 0), "invalid DiskANN build parameters"},
        {"R 1024", both(u32_at(kMaxDegreeAt, 1024), u32_at(kBuildSearchListSizeAt, 2000)),
         "invalid DiskANN build parameters"},
        {"L below R", u32_at(kBuildSearchListSizeAt, 15), "invalid DiskANN build parameters"},
        {"alpha 0.5", f32_at(kAlphaAt, 0.5f), "invalid DiskANN alpha"},
        {"alpha 0.999", f32_at(kAlphaAt, 0.999f), "invalid DiskANN alpha"},
        {"pages 0", u64_at(kSectionTableAt + 16 * 5 + 8, 0), "invalid DiskANN adjacency section length"},
        {"pages 4097", u64_at(kSectionTableAt + 16 * 5 + 8, 4097), "invalid DiskANN adjacency section length"},
        {"pages 4095", u64_at(kSectionTableAt + 16 * 5 + 8, 4095), "invalid DiskANN adjacency section length"},
        {"row IDs 31", u64_at(kSectionTableAt + 16 + 8, 31),
         "invalid DiskANN layout: invalid DiskANN row-ID section length"},
        {"row IDs 8n + 33", u64_at(kSectionTableAt + 16 + 8, 833),
         "invalid DiskANN layout: invalid DiskANN row-ID section length"},
        {"P 2^32", u64_at(kSectionTableAt + 16 * 5 + 8, uint64_t{1} << 44),
         "invalid DiskANN layout: DiskANN adjacency page count must be between 1 and u32::MAX"},
        {"fixed word 68", u32_at(kFixedWord68At, 5), layout},
        {"fixed word 72", u32_at(kFixedWord72At, 4), layout},
        {"record bytes", u32_at(kRecordBytesAt, 16), layout},
        {"encoding 2 keeps f32 record bytes", u32_at(kRawVectorEncodingAt, 2), layout},
        {"file length + 1", u64_at(kFileLengthAt, 31873), layout},
        {"file length - 1", u64_at(kFileLengthAt, 31871), layout},
        {"interleaved flags with a section 6", u32_at(kFlagsAt, 0x3D), layout},
        // Precedence: the earlier check wins.
        {"truncation-free: flags before reserved", both(u32_at(kFlagsAt, 0x1D), [](Bytes& b) { b[255] = 1; }),
         "invalid DiskANN required flags"},
        {"magic before version", both(u32_at(kMagicAt, 0), u32_at(kVersionAt, 9)), "invalid DiskANN magic"},
        {"section count before reserved", both(u32_at(kSectionCountAt, 8), [](Bytes& b) { b[240] = 1; }),
         "invalid DiskANN section count"},
        {"reserved before v1 layout", both(u32_at(kMetricAt, 3), [](Bytes& b) { b[240] = 1; }),
         "DiskANN reserved header bytes must be zero"},
        {"v1 layout before alpha", both(u32_at(kPqBitsAt, 6), f32_at(kAlphaAt, nan)), "unsupported DiskANN v1 layout"},
        {"alpha finite before dimension", both(f32_at(kAlphaAt, nan), u32_at(kDimensionAt, 0)),
         "DiskANN alpha must be finite"},
        {"dimension before count", both(u32_at(kDimensionAt, 0), u64_at(kVectorCountAt, 0)),
         "invalid DiskANN dimension"},
        {"count before entry", both(u64_at(kVectorCountAt, 0), u32_at(kEntryNodeAt, 5)),
         "invalid DiskANN vector count"},
        {"PQ shape before build parameters", both(u32_at(kPqMAt, 0), u32_at(kMaxDegreeAt, 0)),
         "invalid DiskANN PQ shape"},
        {"build parameters before alpha", both(u32_at(kMaxDegreeAt, 0), f32_at(kAlphaAt, 0.5f)),
         "invalid DiskANN build parameters"},
        {"alpha before pages", both(f32_at(kAlphaAt, 0.5f), u64_at(kSectionTableAt + 16 * 5 + 8, 1)),
         "invalid DiskANN alpha"},
        {"pages before layout", both(u64_at(kSectionTableAt + 16 * 5 + 8, 1), u64_at(kSectionTableAt + 24, 31)),
         "invalid DiskANN adjacency section length"},
        {"layout before section table", both(u64_at(kSectionTableAt + 24, 31), u64_at(kFileLengthAt, 1)),
         "invalid DiskANN layout: invalid DiskANN row-ID section length"},
    };
    // Every single section offset and length.
    for (size_t word = 0; word < 14; ++word) {
        if (word == 3 || word == 11) continue;  // section-1 and section-5 lengths are free parameters
        cases.push_back({"section word", [word](Bytes& b) { b[kSectionTableAt + 8 * word] ^= 1; }, layout});
    }

    const Bytes valid = worked().encode();
    EXPECT_NO_THROW((void)DiskAnnHeader::decode(valid));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = valid;
        c.corrupt(b);
        EXPECT_EQ(decode_message(b), c.message);
    }
    // Truncation comes first of all.
    expect_error([&] { (void)DiskAnnHeader::decode(std::span<const uint8_t>(valid).first(255)); },
                 ErrorKind::InvalidData, "DiskANN header is truncated: 255 bytes");
    expect_error([&] { (void)DiskAnnHeader::decode({}); }, ErrorKind::InvalidData,
                 "DiskANN header is truncated: 0 bytes");
}

TEST(DiskAnnHeader, AcceptsTheBoundaryValues) {
    // alpha 1, R 1023 with L = R, m = d, pq_bits 4, metric 2, f16 vectors.
    DiskAnnBuildConfig c = config(1023, 1023, StorageLayout::Compact, RawVectorEncoding::F16);
    c.alpha = 1.0f;
    const DiskAnnHeader h = DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(8, 1, 0, 8, 4, 2, c, 32, 1);
    EXPECT_EQ(DiskAnnHeader::decode(h.encode()), h);
}

TEST(DiskAnnHeader, InterleavedPageLimitDecidesTheLayout) {
    // d 1000, f32 (4000 bytes) and R 24: 4000 + 96 = 4096 fits one page.
    const DiskAnnHeader fits = DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(
        1000, 50, 0, 100, 8, 0, config(24, 64, StorageLayout::Interleaved), 32 + 50 * 8, 50);
    auto bytes = fits.encode();
    EXPECT_EQ(DiskAnnHeader::decode(bytes), fits);
    put_at(bytes, kMaxDegreeAt, uint32_t{25});
    EXPECT_EQ(decode_message(bytes),
              "invalid DiskANN layout: DiskANN interleaved raw vector and maximum adjacency list must fit in one page");

    // The compact layout has no such limit.
    const DiskAnnHeader compact = DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(
        1000, 50, 0, 100, 8, 0, config(25, 64, StorageLayout::Compact), 32 + 50 * 8, 2);
    EXPECT_EQ(DiskAnnHeader::decode(compact.encode()), compact);

    // f16 halves the record: 2000 + 4 x 524 = 4096.
    EXPECT_NO_THROW((void)DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(
        1000, 50, 0, 100, 8, 0, config(524, 600, StorageLayout::Interleaved, RawVectorEncoding::F16), 32, 50));
}

TEST(DiskAnnLayout, WriterAndDecoderAcceptTheSameMetricsAndEncodings) {
    // For every metric and encoding code: the layout function succeeds exactly
    // when a header carrying those codes decodes.
    for (uint32_t metric = 0; metric < 5; ++metric) {
        for (uint32_t encoding = 0; encoding < 5; ++encoding) {
            SCOPED_TRACE(metric * 10 + encoding);
            DiskAnnBuildConfig c = config();
            c.raw_vector_encoding = static_cast<RawVectorEncoding>(encoding);
            bool laid_out = true;
            try {
                const DiskAnnHeader h =
                    DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(8, 100, 0, 4, 8, metric, c, 120, 3);
                EXPECT_EQ(DiskAnnHeader::decode(h.encode()), h);
            } catch (const Error& e) {
                laid_out = false;
                EXPECT_EQ(e.kind(), ErrorKind::InvalidInput);
            }
            // The same codes forced into a valid header's bytes.
            auto bytes = worked().encode();
            put_at(bytes, kMetricAt, metric);
            put_at(bytes, kRawVectorEncodingAt, encoding);
            put_at(bytes, kRecordBytesAt, uint32_t{encoding == 1 ? 32u : 16u});
            if (encoding != 1) put_at(bytes, kSectionTableAt + 16 * 6 + 8, uint64_t{1600});
            if (encoding != 1) put_at(bytes, kFileLengthAt, uint64_t{28672 + 1600});
            const bool decoded = decode_message(bytes) == "<no error>";
            EXPECT_EQ(laid_out, decoded);
            EXPECT_EQ(laid_out, metric <= 2 && (encoding == 1 || encoding == 2));
        }
    }
}
