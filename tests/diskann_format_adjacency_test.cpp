// DiskANN adjacency lists, page planning, the adjacency index and page
// checks, and whole files composed from hand-made graphs.
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
#include "memory_sink.hpp"
#include "numeric.hpp"

using namespace tavren;
using namespace tavren::diskann_format;
using tavren::testing::check_diskann_file;
using tavren::testing::DiskAnnFileContents;
using tavren::testing::expect_error;
using tavren::testing::ring_contents;

namespace {

using Lists = std::vector<std::vector<uint32_t>>;

GraphView view_of(const Lists& lists, const std::vector<float>* vectors = nullptr, uint64_t d = 0) {
    GraphView g;
    g.node_count = lists.size();
    g.neighbors = [&lists](uint64_t i) { return std::span<const uint32_t>(lists[i]); };
    if (vectors) g.vector = [vectors, d](uint64_t i) { return std::span<const float>(*vectors).subspan(i * d, d); };
    return g;
}

std::vector<uint8_t> encoded(const std::vector<uint32_t>& list) {
    std::vector<uint8_t> out;
    encode_adjacency_list(list, plan_adjacency_list(list).raw, out);
    return out;
}

// Ascending ids from `first` in steps of `step`: large values force raw lists.
std::vector<uint32_t> spaced(uint64_t count, uint64_t first, uint64_t step) {
    std::vector<uint32_t> v;
    for (uint64_t k = 0; k < count; ++k) v.push_back(static_cast<uint32_t>(first + k * step));
    return v;
}

// A compact header for index and page checks: n nodes, R, P pages.
DiskAnnHeader check_header(uint64_t n, uint32_t r, uint64_t pages, uint32_t vector_bytes = 0,
                           uint32_t encoding = 1) {
    DiskAnnHeader h;
    h.vector_count = n;
    h.max_degree = r;
    h.flags = vector_bytes > 0 ? kFlagsInterleaved : kFlagsCompact;
    h.record_bytes = vector_bytes;
    h.raw_vector_encoding = encoding;
    h.sections[kSectionAdjacencyIndex].length = adjacency_index_serialized_len(n);
    h.sections[kSectionAdjacencyPages].length = pages * kPageBytes;
    return h;
}

// An index from (position, metadata) per node, blocks taken from nodes 16b.
AdjacencyIndex index_of(const std::vector<std::pair<uint64_t, uint16_t>>& nodes) {
    AdjacencyIndex index;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (i % 16 == 0) index.block_offsets.push_back(nodes[i].first);
        index.relative_offsets.push_back(static_cast<uint16_t>(nodes[i].first - index.block_offsets.back()));
        index.metadata.push_back(nodes[i].second);
    }
    return index;
}

constexpr uint16_t kRaw = kLocatorRawBit;

}  // namespace

// ---- Lists --------------------------------------------------------------------------

TEST(DiskAnnAdjacencyList, EncodingChoiceAndGoldenBytes) {
    struct Case {
        std::vector<uint32_t> list;
        ListPlan plan;
        std::vector<uint8_t> bytes;
    };
    const uint32_t p28 = 1u << 28, p29 = 1u << 29;
    const std::vector<Case> cases = {
        {{5, 6, 7}, {false, 3}, {0x05, 0x01, 0x01}},
        {{0}, {false, 1}, {0x00}},
        {{200000, 400000}, {false, 6}, {0xC0, 0x9A, 0x0C, 0xC0, 0x9A, 0x0C}},
        {{p28, p29}, {true, 8}, {0, 0, 0, 0x10, 0, 0, 0, 0x20}},
        {{}, {false, 0}, {}},
        {{4294967295u}, {true, 4}, {0xFF, 0xFF, 0xFF, 0xFF}},  // 5 varint bytes: raw
        {{2097151}, {false, 3}, {0xFF, 0xFF, 0x7F}},
        {{2097152}, {true, 4}, {0x00, 0x00, 0x20, 0x00}},  // 4 = 4: raw wins the tie
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list.size());
        EXPECT_EQ(plan_adjacency_list(c.list), c.plan);
        const std::vector<uint8_t> bytes = encoded(c.list);
        EXPECT_EQ(bytes, c.bytes);
        std::vector<uint32_t> back = {99};
        EXPECT_EQ(decode_adjacency_list(bytes, static_cast<uint32_t>(c.list.size()), c.plan.raw, back), bytes.size());
        EXPECT_EQ(back, c.list);
    }
    expect_error([] { (void)plan_adjacency_list(std::vector<uint32_t>{3, 3}); },
                 "DiskANN adjacency neighbors must be strictly increasing");
    expect_error([] { (void)plan_adjacency_list(std::vector<uint32_t>{4, 2}); },
                 "DiskANN adjacency neighbors must be strictly increasing");
}

TEST(DiskAnnAdjacencyList, VarintDecoderRefusesEveryMalformedValue) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t degree;
        bool raw;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{0x80, 0x00}, 1, false, "DiskANN adjacency varint is not canonical"},
        {{0x85, 0x80, 0x00}, 1, false, "DiskANN adjacency varint is not canonical"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x10}, 1, false, "DiskANN adjacency varint exceeds u32"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x8F, 0x01}, 1, false, "DiskANN adjacency varint exceeds u32"},
        {{0x80}, 1, false, "DiskANN adjacency varint is truncated"},
        {{0x05}, 2, false, "DiskANN adjacency varint is truncated"},
        {{}, 1, false, "DiskANN adjacency varint is truncated"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01}, 2, false, "DiskANN adjacency delta overflows u32"},
        {{1, 0, 0, 0, 2, 0, 0}, 2, true, "DiskANN raw adjacency list is truncated"},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> out;
        expect_error([&] { (void)decode_adjacency_list(c.bytes, c.degree, c.raw, out); }, ErrorKind::InvalidData,
                     c.message);
    }
    std::vector<uint32_t> out;
    EXPECT_EQ(decode_adjacency_list(std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xAA}, 1, false, out), 5u);
    EXPECT_EQ(out, (std::vector<uint32_t>{4294967295u}));
    // A zero difference decodes (the page check refuses it); bytes after the list are not read.
    EXPECT_EQ(decode_adjacency_list(std::vector<uint8_t>{0x02, 0x00, 0x80}, 2, false, out), 2u);
    EXPECT_EQ(out, (std::vector<uint32_t>{2, 2}));
    // The caller's vector is reused when it is large enough.
    out.reserve(64);
    const uint32_t* data = out.data();
    EXPECT_EQ(decode_adjacency_list(std::vector<uint8_t>{1, 1, 1}, 3, false, out), 3u);
    EXPECT_EQ(out.data(), data);
}

// ---- Page planning --------------------------------------------------------------------

TEST(DiskAnnPagePlan, RecordsMoveToTheNextPageOnlyWhenTheyDoNotFit) {
    // Raw lists of 4000 bytes (1000 ids) and of 100 or 96 bytes.
    const std::vector<uint32_t> big = spaced(1000, 1u << 28, 1u << 21);
    ASSERT_EQ(plan_adjacency_list(big), (ListPlan{true, 4000}));
    const Lists spill = {big, spaced(25, 1u << 28, 1u << 21)};
    const PagePlan a = plan_adjacency_pages(view_of(spill), 0);
    EXPECT_EQ(a.page_count, 2u);
    EXPECT_EQ(a.locators[1], (AdjacencyLocator{1, 0, kRaw | 25}));

    const Lists fit = {big, spaced(24, 1u << 28, 1u << 21)};
    const PagePlan b = plan_adjacency_pages(view_of(fit), 0);
    EXPECT_EQ(b.page_count, 1u);
    EXPECT_EQ(b.locators[0], (AdjacencyLocator{0, 0, kRaw | 1000}));
    EXPECT_EQ(b.locators[1], (AdjacencyLocator{0, 4000, kRaw | 24}));
}

TEST(DiskAnnPagePlan, InterleavedOffsetsSkipEachVector) {
    const Lists lists = {{1, 2, 3}, {0, 2}, {0}};
    const PagePlan plan = plan_adjacency_pages(view_of(lists), 512);
    EXPECT_EQ(plan.locators[0], (AdjacencyLocator{0, 512, 3}));
    EXPECT_EQ(plan.locators[1], (AdjacencyLocator{0, 512 + 3 + 512, 2}));
    EXPECT_EQ(plan.locators[2], (AdjacencyLocator{0, 512 + 3 + 512 + 2 + 512, 1}));
    EXPECT_EQ(plan.page_count, 1u);

    // Records of 4095 bytes: one page each.
    const PagePlan tall = plan_adjacency_pages(view_of(lists), 4092);
    EXPECT_EQ(tall.page_count, 3u);
    EXPECT_EQ(tall.locators[2], (AdjacencyLocator{2, 4092, 1}));
}

TEST(DiskAnnPagePlan, RefusesWhatAPageCannotHold) {
    const Lists lists = {{1}, {0, 2}};
    expect_error([&] { (void)plan_adjacency_pages(view_of(lists), 4096); },
                 "DiskANN vector and adjacency list do not fit in a logical page");
    expect_error([&] { (void)plan_adjacency_pages(view_of(lists), ~uint64_t{0}); },
                 "DiskANN interleaved record size overflows usize");
    const Lists unsorted = {{2, 1}};
    expect_error([&] { (void)plan_adjacency_pages(view_of(unsorted), 0); },
                 "DiskANN adjacency neighbors must be strictly increasing");
    const PagePlan empty = plan_adjacency_pages(view_of({}), 0);
    EXPECT_EQ(empty.page_count, 1u);
    EXPECT_TRUE(empty.locators.empty());
}

// ---- Index and pages written, decoded and checked --------------------------------------------

TEST(DiskAnnAdjacencyIndex, SingleNodeFile) {
    DiskAnnFileContents contents = ring_contents(1, 0);
    const auto file = tavren::testing::build_diskann_file(contents);
    const DiskAnnSection index = file.header.sections[kSectionAdjacencyIndex];
    EXPECT_EQ(index.length, 12u);
    for (uint64_t at = index.offset; at < index.offset + 12; ++at) EXPECT_EQ(file.bytes[at], 0);
    const DiskAnnSection pages = file.header.sections[kSectionAdjacencyPages];
    EXPECT_EQ(pages.length, 4096u);
    for (uint64_t at = pages.offset; at < pages.offset + 4096; ++at) ASSERT_EQ(file.bytes[at], 0);
    EXPECT_EQ(check_diskann_file(file.bytes), "");
}

TEST(DiskAnnAdjacencyIndex, SeventeenNodesUseTwoBlocks) {
    const auto file = tavren::testing::build_diskann_file(ring_contents(17, 3));
    ASSERT_EQ(check_diskann_file(file.bytes), "");
    const DiskAnnSection s = file.header.sections[kSectionAdjacencyIndex];
    const auto bytes = std::span<const uint8_t>(file.bytes).subspan(s.offset, s.length);
    const AdjacencyIndex index = decode_adjacency_index(bytes, file.header);
    ASSERT_EQ(index.block_offsets.size(), 2u);
    EXPECT_EQ(index.block_offsets[0], 0u);
    EXPECT_EQ(index.relative_offsets[16], 0);
    EXPECT_EQ(index.locator(16)->position(), index.block_offsets[1]);
    EXPECT_EQ(index.locator(16), file.plan.locators[16]);
    EXPECT_EQ(index.locator(0), (AdjacencyLocator{0, 0, 3}));
    EXPECT_EQ(index.locator(17), std::nullopt);

    // A non-zero relative offset for node 16.
    std::vector<uint8_t> forged(bytes.begin(), bytes.end());
    forged[16 + 2 * 16] = 1;
    expect_error([&] { (void)decode_adjacency_index(forged, file.header); }, ErrorKind::InvalidData,
                 "DiskANN adjacency locator block must start at relative offset zero");
    // Lengths: the header's section length, then the bytes given.
    DiskAnnHeader wrong = file.header;
    wrong.sections[kSectionAdjacencyIndex].length += 1;
    expect_error([&] { (void)decode_adjacency_index(bytes, wrong); }, ErrorKind::InvalidData,
                 "DiskANN adjacency index has an invalid byte length");
    expect_error([&] { (void)decode_adjacency_index(bytes.first(bytes.size() - 1), file.header); },
                 ErrorKind::InvalidData, "DiskANN adjacency index payload is truncated");
}

TEST(DiskAnnAdjacencyIndex, EveryIndexCheckInOrder) {
    struct Case {
        const char* name;
        DiskAnnHeader header;
        AdjacencyIndex index;
        std::string message;
    };
    // Valid: node 0 varint degree 2 at 0, node 1 varint degree 2 at 10, node 2 on page 1.
    const DiskAnnHeader h = check_header(3, 8, 2);
    const std::vector<std::pair<uint64_t, uint16_t>> valid = {{0, 2}, {10, 2}, {4096, 1}};
    auto with = [&](std::function<void(std::vector<std::pair<uint64_t, uint16_t>>&)> change) {
        auto nodes = valid;
        change(nodes);
        return index_of(nodes);
    };
    AdjacencyIndex short_metadata = index_of(valid);
    short_metadata.metadata.pop_back();
    AdjacencyIndex rel = index_of(valid);
    rel.relative_offsets[0] = 5;
    AdjacencyIndex far = index_of(valid);
    far.block_offsets[0] = uint64_t{1} << 44;
    DiskAnnHeader huge = h;
    huge.sections[kSectionAdjacencyPages].length = uint64_t{1} << 44;
    const DiskAnnHeader interleaved = check_header(3, 8, 2, 16);
    const std::vector<Case> cases = {
        {"locator count", h, short_metadata, "DiskANN adjacency index has an invalid locator count"},
        {"pages beyond u32", huge, index_of(valid), "DiskANN adjacency page count exceeds u32"},
        {"block start", h, rel, "DiskANN adjacency locator block must start at relative offset zero"},
        {"position 2^44", h, far, "DiskANN adjacency locator offset is invalid"},
        {"page out of range", h, with([](auto& n) { n[2].first = 2 * 4096; }),
         "DiskANN adjacency locator page is out of range"},
        {"first on page 1", h, with([](auto& n) { n[0].first = 4096; n[1].first = 4106; }),
         "DiskANN adjacency locator must start on page zero"},
        {"degree", h, with([](auto& n) { n[0].second = 9; }), "DiskANN adjacency degree exceeds maximum"},
        {"offset below the vector", interleaved, with([](auto& n) { n[0].first = 15; }),
         "DiskANN adjacency locator offset exceeds its page"},
        {"raw crosses", h, with([](auto& n) { n[1] = {4090, kRaw | 2}; }), "DiskANN adjacency locator crosses a page"},
        {"first offset", h, with([](auto& n) { n[0].first = 1; }),
         "DiskANN adjacency index has an invalid first record offset"},
        {"pages jump", check_header(3, 8, 3), with([](auto& n) { n[1].first = 2 * 4096; n[2].first = 2 * 4096 + 10; }),
         "DiskANN adjacency locator pages are not monotonic"},
        {"pages go back", h, with([](auto& n) { n[1].first = 4096; n[2].first = 0; }),
         "DiskANN adjacency locator pages are not monotonic"},
        {"raw gap", h, with([](auto& n) { n[0].second = kRaw | 2; }),
         "DiskANN adjacency locator ranges must be contiguous"},
        {"varint overlap", h, with([](auto& n) { n[1].first = 0; }), "DiskANN adjacency locator ranges overlap"},
        {"interleaved overlap", interleaved, with([](auto& n) { n[0].first = 16; n[1].first = 32; }),
         "DiskANN adjacency locator ranges overlap"},
        {"new page offset", h, with([](auto& n) { n[2].first = 4099; }),
         "DiskANN adjacency page has an invalid first record offset"},
        {"not fully indexed", check_header(3, 8, 3), index_of(valid), "DiskANN adjacency pages are not fully indexed"},
        {"degree before offset", interleaved, with([](auto& n) { n[0] = {15, 9}; }),
         "DiskANN adjacency degree exceeds maximum"},
    };
    EXPECT_NO_THROW(validate_adjacency_index(h, index_of(valid)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error([&] { validate_adjacency_index(c.header, c.index); }, ErrorKind::InvalidData, c.message);
    }
    // An empty list may share its start with the next record.
    EXPECT_NO_THROW(validate_adjacency_index(h, index_of({{0, 0}, {0, 2}, {4096, 1}})));
    EXPECT_NO_THROW(validate_adjacency_index(interleaved, index_of({{16, 2}, {34, 2}, {4096 + 16, 1}})));
}

TEST(DiskAnnAdjacencyIndex, PageCountNeedsWholePages) {
    DiskAnnHeader h = check_header(3, 8, 2);
    EXPECT_EQ(adjacency_page_count(h), 2u);
    h.sections[kSectionAdjacencyPages].length = 4097;
    expect_error([&] { (void)adjacency_page_count(h); }, ErrorKind::InvalidData,
                 "DiskANN adjacency section is not page-aligned");
}

namespace {

// One page holding `lists` (bytes given as stored) in node order, with a
// header of n nodes and an index placing each list after the previous one.
struct PageCase {
    DiskAnnHeader header;
    AdjacencyIndex index;
    std::vector<uint8_t> page;
};

struct StoredList {
    std::vector<uint8_t> bytes;
    uint16_t metadata;
};

PageCase page_with(uint64_t n, const std::vector<StoredList>& lists, uint32_t vector_bytes = 0,
                   const std::vector<uint8_t>& vector = {}) {
    PageCase c{check_header(n, 1023, 1, vector_bytes, 1), {}, std::vector<uint8_t>(4096)};
    std::vector<std::pair<uint64_t, uint16_t>> nodes;
    uint64_t at = 0;
    for (const StoredList& l : lists) {
        if (vector_bytes > 0) std::memcpy(c.page.data() + at, vector.data(), vector_bytes);
        at += vector_bytes;
        nodes.push_back({at, l.metadata});
        std::copy(l.bytes.begin(), l.bytes.end(), c.page.begin() + static_cast<std::ptrdiff_t>(at));
        at += l.bytes.size();
    }
    // Further nodes with empty lists share the page.
    for (uint64_t i = lists.size(); i < n; ++i) nodes.push_back({at + vector_bytes, 0});
    c.index = index_of(nodes);
    return c;
}

std::vector<uint8_t> raw_bytes(const std::vector<uint32_t>& ids) {
    std::vector<uint8_t> b(4 * ids.size());
    std::memcpy(b.data(), ids.data(), b.size());
    return b;
}

}  // namespace

TEST(DiskAnnAdjacencyPage, EveryPageCheckInOrder) {
    struct Case {
        const char* name;
        PageCase page;
        std::string message;
    };
    const std::vector<uint8_t> finite = {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40};  // 1.0f, 2.0f
    std::vector<uint8_t> nan_vector = finite;
    nan_vector[3] = 0x7F;
    nan_vector[2] = 0xC0;
    PageCase gap = page_with(3, {{{1}, 1}, {{2}, 1}});
    gap.index.relative_offsets[1] = 5;  // the index check would allow it; the page does not
    PageCase shifted = page_with(2, {{{1}, 1}});
    shifted.index.block_offsets[0] = 4;
    PageCase underflow = page_with(2, {{{1}, 1}}, 8, finite);
    underflow.index.block_offsets[0] = 4;
    PageCase tail = page_with(3, {{{1}, 1}, {{0}, 1}});
    tail.page[4095] = 1;
    const std::vector<Case> cases = {
        {"self edge", page_with(5, {{{1}, 1}, {{2}, 1}, {{3}, 1}, {{3}, 1}}), "DiskANN adjacency contains a self edge"},
        {"neighbor n", page_with(5, {{{5}, 1}}), "DiskANN adjacency neighbor is out of range"},
        {"repeated neighbor", page_with(5, {{{2, 0}, 2}}), "DiskANN adjacency neighbors must be strictly increasing"},
        {"raw where varint is smaller", page_with(5, {{raw_bytes({1, 2}), kRaw | 2}}),
         "DiskANN adjacency list does not use its minimal encoding"},
        {"empty raw list", page_with(5, {{{}, kRaw}}), "DiskANN adjacency list does not use its minimal encoding"},
        {"records not contiguous", gap, "DiskANN adjacency locator ranges must be contiguous"},
        {"first record not at the start", shifted, "DiskANN adjacency page records must be contiguous"},
        {"vector underflow", underflow, "DiskANN interleaved vector offset underflows"},
        {"non-finite vector", page_with(2, {{{1}, 1}}, 8, nan_vector),
         "DiskANN interleaved raw vector contains a non-finite or malformed component"},
        {"list decode error", page_with(2, {{{0x80, 0x00}, 1}}), "DiskANN adjacency varint is not canonical"},
        {"tail", tail, "DiskANN adjacency page tail must be zero"},
        {"second neighbor beyond n", page_with(4, {{{3, 1}, 2}}), "DiskANN adjacency neighbor is out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error([&] { validate_adjacency_page_payload(c.page.header, c.page.index, 0, c.page.page); },
                     ErrorKind::InvalidData, c.message);
    }
    const PageCase ok = page_with(3, {{{1}, 1}, {{0}, 1}}, 8, finite);
    EXPECT_NO_THROW(validate_adjacency_page_payload(ok.header, ok.index, 0, ok.page));
    expect_error([&] { validate_adjacency_page_payload(ok.header, ok.index, 0, std::span(ok.page).first(4095)); },
                 ErrorKind::InvalidData, "DiskANN adjacency page is truncated");
    expect_error([&] { validate_adjacency_page_payload(ok.header, ok.index, 1, ok.page); }, ErrorKind::InvalidData,
                 "DiskANN adjacency page has no indexed nodes");
}

TEST(DiskAnnAdjacencyPage, TailAfterARecordEndingAt4090) {
    // Node 0's varint list of ids 1, 2, ..., 4090 ends at 4090; the other
    // nodes have empty lists there.
    const std::vector<uint8_t> list(4090, 0x01);
    PageCase c = page_with(5000, {{list, 4090}});
    c.header.max_degree = 4095;
    EXPECT_NO_THROW(validate_adjacency_page_payload(c.header, c.index, 0, c.page));
    c.page[4095] = 7;
    expect_error([&] { validate_adjacency_page_payload(c.header, c.index, 0, c.page); }, ErrorKind::InvalidData,
                 "DiskANN adjacency page tail must be zero");
}

TEST(DiskAnnAdjacencyPage, EightVarintBytesForTwoNeighboursAreNotMinimal) {
    // Ids 2^21 and 2^22 take 4 + 4 varint bytes: 8 >= 4 x 2, so raw is minimal.
    // The graph has 2^22 + 1 nodes; all but node 0 have empty lists on page 1,
    // so checking page 0 looks at node 0 alone.
    const uint64_t n = (uint64_t{1} << 22) + 1;
    const std::vector<uint8_t> varint = {0x80, 0x80, 0x80, 0x01, 0x80, 0x80, 0x80, 0x01};
    PageCase c = page_with(1, {{varint, 2}});
    c.header = check_header(n, 1023, 2);
    c.index.block_offsets.assign(div_ceil(n, 16), 4096);
    c.index.block_offsets[0] = 0;
    c.index.relative_offsets.assign(n, 0);
    for (uint64_t i = 1; i < 16; ++i) c.index.relative_offsets[i] = 4096;
    c.index.metadata.assign(n, 0);
    c.index.metadata[0] = 2;
    ASSERT_NO_THROW(validate_adjacency_index(c.header, c.index));
    std::vector<uint32_t> out;
    ASSERT_EQ(decode_adjacency_list(varint, 2, false, out), 8u);
    EXPECT_EQ(out, (std::vector<uint32_t>{1u << 21, 1u << 22}));
    expect_error([&] { validate_adjacency_page_payload(c.header, c.index, 0, c.page); }, ErrorKind::InvalidData,
                 "DiskANN adjacency list does not use its minimal encoding");
    // Stored raw it passes.
    std::memcpy(c.page.data(), raw_bytes({1u << 21, 1u << 22}).data(), 8);
    c.index.metadata[0] = kRaw | 2;
    EXPECT_NO_THROW(validate_adjacency_page_payload(c.header, c.index, 0, c.page));
}

// ---- Whole files from hand-made graphs ------------------------------------------------------

TEST(DiskAnnFile, EveryConfigurationReadsBackWhatWasWritten) {
    struct Config {
        const char* name;
        uint64_t n, degree, d, m, bits;
        diskann::StorageLayout layout;
        RawVectorEncoding encoding;
        std::vector<int64_t> row_ids;  // empty: ring's 0..n-1
    };
    const std::vector<Config> configs = {
        {"compact f32 8-bit", 300, 12, 8, 4, 8, diskann::StorageLayout::Compact, RawVectorEncoding::F32, {}},
        {"interleaved f32", 300, 12, 64, 8, 8, diskann::StorageLayout::Interleaved, RawVectorEncoding::F32, {}},
        {"interleaved f16 4-bit odd m", 200, 7, 24, 5, 4, diskann::StorageLayout::Interleaved, RawVectorEncoding::F16,
         {}},
        {"compact f16 raw row IDs", 40, 39, 4, 3, 4, diskann::StorageLayout::Compact, RawVectorEncoding::F16, {}},
        {"full pages interleaved", 60, 24, 1000, 10, 8, diskann::StorageLayout::Interleaved, RawVectorEncoding::F32,
         {}},
    };
    for (const Config& c : configs) {
        SCOPED_TRACE(c.name);
        DiskAnnFileContents contents = ring_contents(c.n, c.degree, c.d);
        contents.pq_m = c.m;
        contents.pq_bits = c.bits;
        contents.config.storage_layout = c.layout;
        contents.config.raw_vector_encoding = c.encoding;
        contents.entry_node = static_cast<uint32_t>(c.n - 1);
        contents.metric = 2;
        if (std::string(c.name).find("raw row IDs") != std::string::npos) {
            for (uint64_t i = 0; i < c.n; ++i) {
                contents.row_ids[i] = i % 2 == 0 ? std::numeric_limits<int64_t>::min() + int64_t(i)
                                             : std::numeric_limits<int64_t>::max() - int64_t(i);
            }
        }
        const auto file = tavren::testing::build_diskann_file(contents);
        ASSERT_EQ(check_diskann_file(file.bytes), "");
        const DiskAnnHeader h = DiskAnnHeader::decode(file.bytes);
        EXPECT_EQ(h, file.header);
        EXPECT_EQ(file.bytes.size(), h.file_length);

        const auto section = [&](size_t s) {
            return std::span<const uint8_t>(file.bytes).subspan(h.sections[s].offset, h.sections[s].length);
        };
        const auto ids = section(kSectionRowIds);
        const RowIdStorage row_ids =
            decode_row_id_section_owned(std::vector<uint8_t>(ids.begin(), ids.end()), h.vector_count);
        const AdjacencyIndex index = decode_adjacency_index(section(kSectionAdjacencyIndex), h);
        const auto pages = section(kSectionAdjacencyPages);
        std::vector<uint32_t> list;
        std::vector<uint8_t> record;
        for (uint64_t i = 0; i < c.n; ++i) {
            EXPECT_EQ(row_ids.get(i), contents.row_ids[i]);
            const auto locator = index.locator(i);
            ASSERT_TRUE(locator.has_value());
            EXPECT_EQ(*locator, file.plan.locators[i]);
            const auto page = pages.subspan(locator->page * kPageBytes, kPageBytes);
            decode_adjacency_list(page.subspan(locator->offset), locator->degree(), locator->raw(), list);
            EXPECT_EQ(list, contents.neighbors[i]);
            encode_raw_vector(std::span<const float>(contents.vectors).subspan(i * c.d, c.d), c.encoding, record);
            const auto stored = h.interleaved()
                                    ? page.subspan(locator->offset - h.record_bytes, h.record_bytes)
                                    : section(kSectionRawVectors).subspan(i * h.record_bytes, h.record_bytes);
            ASSERT_TRUE(std::equal(stored.begin(), stored.end(), record.begin(), record.end())) << i;
        }
    }
}

TEST(DiskAnnFile, SectionCorruptionsFailWithTheirOwnMessages) {
    DiskAnnFileContents contents = ring_contents(41, 5, 10);
    contents.pq_m = 5;
    contents.pq_bits = 4;
    const auto file = tavren::testing::build_diskann_file(contents);
    ASSERT_EQ(check_diskann_file(file.bytes), "");
    const DiskAnnHeader& h = file.header;
    auto at = [&](size_t s, uint64_t offset) { return h.sections[s].offset + offset; };
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> corrupt;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"codebook magic", [&](auto& b) { b[at(0, 0)] ^= 1; }, "invalid DiskANN PQ codebook metadata"},
        {"codebook value", [&](auto& b) { b[at(0, 36 + 20 + 3)] = 0x7F; b[at(0, 36 + 20 + 2)] = 0x80; },
         "DiskANN PQ centroids must be finite"},
        {"row-ID reserved", [&](auto& b) { b[at(1, 31)] = 1; }, "DiskANN row-ID section reserved bytes must be zero"},
        {"row-ID width", [&](auto& b) { b[at(1, 4)] = 64; }, "invalid DiskANN FOR row-ID bit width"},
        {"row-ID tail", [&](auto& b) { b[at(1, h.sections[1].length - 1)] |= 0x80; },
         "DiskANN packed row-ID tail bits must be zero"},
        {"code padding", [&](auto& b) { b[at(2, 2)] |= 0x10; },
         "DiskANN odd 4-bit PQ codes must zero the unused high nibble"},
        {"order swapped", [&](auto& b) { std::swap(b[at(3, 0)], b[at(3, 4)]); },
         "DiskANN row-ID order must be globally strictly increasing"},
        {"order node", [&](auto& b) { b[at(3, 4)] = 41; }, "DiskANN row-ID order node is out of range"},
        {"index metadata", [&](auto& b) { b[at(4, 8 * 3 + 2 * 41)] = 6; }, "DiskANN adjacency degree exceeds maximum"},
        {"page neighbor", [&](auto& b) { b[at(5, 0)] = 41; }, "DiskANN adjacency neighbor is out of range"},
        {"page tail", [&](auto& b) { b[at(5, 4095)] = 1; }, "DiskANN adjacency page tail must be zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> b = file.bytes;
        c.corrupt(b);
        EXPECT_EQ(check_diskann_file(b), c.message);
    }
}

TEST(DiskAnnFile, WriterGuardsCatchAGraphThatChangedAfterPlanning) {
    Lists lists = {{1, 2}, {0}, {0, 1}};
    const PagePlan plan = plan_adjacency_pages(view_of(lists), 0);
    tavren::testing::MemorySink out;
    // A list that now needs raw ids.
    lists[0] = {1u << 28, 1u << 29};
    {
        ChunkedSectionWriter sink(out);
        expect_error([&] { write_adjacency_pages(view_of(lists), plan, 0, RawVectorEncoding::F32, sink); },
                     "DiskANN adjacency encoding changed after layout planning");
    }
    // A list that grew past the page end.
    Lists grown = {{1}, {0}, {0, 1}};
    PagePlan late = plan_adjacency_pages(view_of(grown), 0);
    late.locators[2].offset = 4095;
    grown[2] = {0, 1};
    {
        ChunkedSectionWriter sink(out);
        expect_error([&] { write_adjacency_pages(view_of(grown), late, 0, RawVectorEncoding::F32, sink); },
                     "DiskANN adjacency list crosses a logical page");
    }
    // The index writer refuses a position before its block.
    std::vector<AdjacencyLocator> backwards = {{1, 0, 0}, {0, 0, 0}};
    {
        ChunkedSectionWriter sink(out);
        expect_error([&] { write_adjacency_index(backwards, sink); },
                     "DiskANN adjacency locator exceeds its block offset range");
    }
}
