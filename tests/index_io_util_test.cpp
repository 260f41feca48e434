// Shared IVF I/O helpers: size checks, sections, delta-varint row IDs, bounded reads.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "expect.hpp"
#include "../ffi/src/host_io.hpp"
#include "index_io_util.hpp"
#include "memory_sink.hpp"

namespace util = tavren::index_io_util;
namespace io = tavren::io;
using tavren::Error;
using tavren::ErrorKind;

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();

using tavren::testing::expect_error;

// A file in memory behind SeekRead, recording the request count of every call.
struct MemoryFile final : io::SeekRead {
    std::vector<uint8_t> bytes;
    uint64_t cap = 0;
    int fail_on_call = -1;
    bool touch_buffers = true;
    mutable std::vector<size_t> call_sizes;
    mutable std::vector<io::ReadRequest> seen;

    void pread(std::span<io::ReadRequest> requests) const override {
        if (requests.empty()) return;
        call_sizes.push_back(requests.size());
        seen.insert(seen.end(), requests.begin(), requests.end());
        if (static_cast<int>(call_sizes.size()) - 1 == fail_on_call) {
            tavren::fail(ErrorKind::Other, "read_ranges callback failed");
        }
        if (!touch_buffers) return;
        for (const io::ReadRequest& r : requests) {
            if (r.offset > bytes.size() || bytes.size() - r.offset < r.len) {
                tavren::fail(ErrorKind::Other, "read_ranges callback failed");
            }
            if (r.len) std::memcpy(r.buf, bytes.data() + r.offset, r.len);
        }
    }
    io::ReadCapabilities capabilities() const override { return {0, 0, cap}; }
};

using tavren::testing::MemorySink;

std::vector<uint8_t> id_block(int64_t base, int32_t stored_len, const std::vector<uint8_t>& section) {
    std::vector<uint8_t> out;
    util::append_le(out, base);
    util::append_le(out, stored_len);
    out.insert(out.end(), section.begin(), section.end());
    return out;
}

}  // namespace

// ---- Conversions and size checks -------------------------------------------

TEST(IndexIoUtil, IntegerConversions) {
    EXPECT_EQ(util::u64_to_i64(static_cast<uint64_t>(kI64Max), "payload offset"), kI64Max);
    expect_error([] { util::u64_to_i64(uint64_t{1} << 63, "payload offset"); }, ErrorKind::InvalidInput,
                 "payload offset exceeds i64 offset limit: 9223372036854775808");
    EXPECT_EQ(util::usize_to_i32(2147483647, "list length"), 2147483647);
    expect_error([] { util::usize_to_i32(2147483648u, "list length"); }, ErrorKind::InvalidInput,
                 "list length exceeds i32 length limit: 2147483648");
    expect_error([] { util::usize_to_i32(~uint64_t{0}, "id bytes"); }, ErrorKind::InvalidInput,
                 "id bytes exceeds i32 length limit: 18446744073709551615");
}

TEST(IndexIoUtil, ListAndSectionSizes) {
    EXPECT_EQ(util::checked_list_bytes(1u << 20, 1u << 20), uint64_t{1} << 40);
    expect_error([] { util::checked_list_bytes(uint64_t{1} << 32, uint64_t{1} << 32); }, ErrorKind::InvalidData,
                 "list byte size overflow");

    EXPECT_EQ(util::checked_list_offset(0, 3), 0u);
    EXPECT_EQ(util::checked_list_offset(kI64Max, 3), static_cast<uint64_t>(kI64Max));
    expect_error([] { util::checked_list_offset(-64, 7); }, ErrorKind::InvalidData, "negative list offset -64 at list 7");

    EXPECT_EQ(util::checked_section_size(32768, 32768), uint64_t{1} << 30);
    EXPECT_EQ(util::checked_section_size(0, ~uint64_t{0}), 0u);
    expect_error([] { util::checked_section_size(32769, 32768); }, ErrorKind::InvalidData,
                 "section size 1073774592 exceeds maximum 1073741824");
    expect_error([] { util::checked_section_size(uint64_t{1} << 33, uint64_t{1} << 31); }, ErrorKind::InvalidData,
                 "section size overflow");
}

TEST(IndexIoUtil, HeaderFieldChecks) {
    EXPECT_EQ(util::validate_positive_i32(1, "dimension"), 1);
    expect_error([] { util::validate_positive_i32(0, "dimension"); }, ErrorKind::InvalidData,
                 "invalid header field dimension: 0 (must be positive)");
    expect_error([] { util::validate_positive_i32(-5, "nlist"); }, ErrorKind::InvalidData,
                 "invalid header field nlist: -5 (must be positive)");

    std::vector<uint8_t> reserved(32, 0);
    EXPECT_NO_THROW(util::validate_reserved_zero(reserved, "IVF-FLAT"));
    EXPECT_NO_THROW(util::validate_reserved_zero({}, "IVF-FLAT"));
    reserved[31] = 1;
    expect_error([&] { util::validate_reserved_zero(reserved, "IVFPQ"); }, ErrorKind::InvalidData,
                 "IVFPQ reserved bytes must be zero");
}

// ---- Sections ----------------------------------------------------------------

TEST(IndexIoUtil, F32SectionsAreLittleEndianInOneWrite) {
    MemorySink w;
    const std::vector<float> values{1.0f, -2.5f, 0.0f};
    util::write_f32_slice(w, values);
    EXPECT_EQ(w.calls().size(), 1u);
    EXPECT_EQ(w.bytes(), (std::vector<uint8_t>{0, 0, 0x80, 0x3F, 0, 0, 0x20, 0xC0, 0, 0, 0, 0}));
    EXPECT_EQ(util::bytes_to_f32_vec(w.bytes()), values);

    util::write_f32_slice(w, {});
    EXPECT_EQ(w.calls().size(), 2u);
    EXPECT_TRUE(util::bytes_to_f32_vec({}).empty());
    expect_error([&] { util::bytes_to_f32_vec(std::span(w.bytes()).first(5)); }, ErrorKind::InvalidData,
                 "f32 byte section is not 4-byte aligned");
}

TEST(IndexIoUtil, F32SectionWriteErrorPropagates) {
    int calls = 0;
    auto failing = [](void* user_data, const uint8_t*, size_t) -> int {
        ++*static_cast<int*>(user_data);
        return 1;
    };
    tavren::ffi::HostOutputFile out(FfiOutputCallbacks{&calls, failing, nullptr, nullptr});
    const float v[2] = {1, 2};
    expect_error([&] { util::write_f32_slice(out, v); }, ErrorKind::Other, "write callback failed");
    EXPECT_EQ(calls, 1);
}

// ---- Delta-varint row IDs ----------------------------------------------------------

TEST(DeltaVarint, EncodingExamples) {
    struct Case {
        std::vector<int64_t> ids;
        int64_t base;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {{}, 0, {}},
        {{42}, 42, {0x00}},
        {{5, 5, 7, 300}, 5, {0x00, 0x00, 0x02, 0xA5, 0x02}},
        {{-10, -3, 4}, -10, {0x00, 0x07, 0x07}},
        {{0, 127, 128 + 127}, 0, {0x00, 0x7F, 0x80, 0x01}},
        {{kI64Min, kI64Max}, kI64Min, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
        {{-1, kI64Max}, -1, {0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
    };
    for (const Case& c : cases) {
        util::EncodedIds e = util::encode_delta_varint_ids(c.ids);
        EXPECT_EQ(e.base, c.base);
        EXPECT_EQ(e.bytes, c.bytes);
        EXPECT_EQ(util::decode_delta_varint_ids(e.base, e.bytes, c.ids.size()), c.ids);
    }
}

TEST(DeltaVarint, RandomRoundTrips) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 200; ++round) {
        const size_t n = rng() % 300;
        std::vector<int64_t> ids(n);
        for (int64_t& id : ids) {
            switch (rng() % 4) {
                case 0: id = static_cast<int64_t>(rng()); break;                        // anywhere
                case 1: id = static_cast<int64_t>(rng() % 1000) - 500; break;           // small, negative too
                case 2: id = kI64Max - static_cast<int64_t>(rng() % 4); break;          // near the top
                default: id = kI64Min + static_cast<int64_t>(rng() % 4); break;         // near the bottom
            }
        }
        std::sort(ids.begin(), ids.end());
        util::EncodedIds e = util::encode_delta_varint_ids(ids);
        ASSERT_EQ(util::decode_delta_varint_ids(e.base, e.bytes, ids.size()), ids);
    }
}

TEST(DeltaVarint, DecodingFailures) {
    struct Case {
        const char* name;
        int64_t base;
        std::vector<uint8_t> bytes;
        uint64_t count;
        std::string message;
    };
    const std::string truncated = "truncated delta-varint value";
    const std::string too_long = "delta-varint value exceeds u64 limit";
    const std::string decreasing = "decoded ID sequence is not monotonically non-decreasing";
    const std::string trailing = "trailing bytes in delta-varint ID section";
    const std::vector<uint8_t> nine_ff{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    auto with = [](std::vector<uint8_t> v, std::initializer_list<uint8_t> tail) {
        v.insert(v.end(), tail);
        return v;
    };
    const Case cases[] = {
        {"count 0 with bytes", 0, {0x00}, 0, trailing},
        {"bytes left after count", 0, {0x00, 0x01, 0x01}, 2, trailing},
        {"empty section", 0, {}, 1, truncated},
        {"ends inside a number", 0, {0x00, 0x80}, 2, truncated},
        {"fewer numbers than count", 0, {0x00, 0x01}, 3, truncated},
        {"tenth byte 0x02", 0, with(nine_ff, {0x02}), 1, too_long},
        {"tenth byte 0x81", 0, with(nine_ff, {0x81, 0x00}), 1, too_long},
        {"gap 2^64-1 wraps below", 0, with(nine_ff, {0x01}), 1, decreasing},
        {"gap 2^64-1 from a negative base", -5, with(nine_ff, {0x01}), 1, decreasing},
        {"top of the range plus one", kI64Max, {0x01}, 1, decreasing},
        {"2^63 from 0", 0, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 1, decreasing},
        // A count beyond the section's bytes still reports the first fault met.
        {"huge count, overlong first number", 0, with(nine_ff, {0x02}), uint64_t{1} << 59, too_long},
        {"huge count, decreasing first", kI64Max, {0x01}, uint64_t{1} << 59, decreasing},
        {"huge count, short section", 0, {0x00, 0x00, 0x00}, uint64_t{1} << 59, truncated},
        {"maximal count", 0, {0x00}, ~uint64_t{0}, truncated},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error([&] { util::decode_delta_varint_ids(c.base, c.bytes, c.count); }, ErrorKind::InvalidData,
                     c.message);
    }
}

TEST(DeltaVarint, AcceptedOddities) {
    // The tenth byte may be 0x00 (a non-minimal encoding) or 0x01.
    const std::vector<uint8_t> padded_zero{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
    EXPECT_EQ(util::decode_delta_varint_ids(9, padded_zero, 1), (std::vector<int64_t>{9}));
    // A gap of 2^64-1 from the bottom of the range lands on the top.
    const std::vector<uint8_t> max_gap{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    EXPECT_EQ(util::decode_delta_varint_ids(kI64Min, max_gap, 1), (std::vector<int64_t>{kI64Max}));
    // A first gap other than 0 is added to the base.
    EXPECT_EQ(util::decode_delta_varint_ids(10, std::vector<uint8_t>{0x05, 0x00}, 2), (std::vector<int64_t>{15, 15}));
    EXPECT_TRUE(util::decode_delta_varint_ids(123, {}, 0).empty());
}

// ---- Reading one list's IDs ---------------------------------------------------------

TEST(ReadIdsAt, ReadsTheBlockInOneCall) {
    const std::vector<int64_t> ids{-7, -7, 0, 99, 1000000};
    util::EncodedIds e = util::encode_delta_varint_ids(ids);
    MemoryFile file;
    file.bytes.assign(100, 0xCC);
    std::vector<uint8_t> block = id_block(e.base, static_cast<int32_t>(e.bytes.size()), e.bytes);
    file.bytes.insert(file.bytes.end(), block.begin(), block.end());
    file.bytes.resize(file.bytes.size() + 10, 0xDD);

    EXPECT_EQ(util::read_delta_varint_ids_at(file, 100, ids.size(), e.bytes.size(), "IVF-FLAT"), ids);
    ASSERT_EQ(file.call_sizes, std::vector<size_t>{1});
    EXPECT_EQ(file.seen[0].offset, 100u);
    EXPECT_EQ(file.seen[0].len, 12 + e.bytes.size());
}

TEST(ReadIdsAt, Failures) {
    const std::vector<uint8_t> section{0x00, 0x01, 0x01};
    struct Case {
        const char* name;
        uint64_t count;
        uint64_t id_bytes_len;
        int32_t stored_len;
        std::string message;
        bool reads;
    };
    const uint64_t max = ~uint64_t{0};
    const Case cases[] = {
        {"prefix overflow", 3, max - 11, 3, "IVFPQ ID prefix size overflows usize", false},
        {"largest prefix", 0, max - 12, 3, "IVFPQ ID section and decoded IDs exceed the bounded streaming allocation",
         false},
        {"decoded size overflow", uint64_t{1} << 61, 3, 3, "IVFPQ decoded ID size overflows usize", false},
        {"total overflow", (uint64_t{1} << 61) - 1, max - 13, 3,
         "IVFPQ ID section and decoded IDs exceed the bounded streaming allocation", false},
        {"one byte over the budget", (67108864 - 16) / 8 + 1, 4, 4,
         "IVFPQ ID section and decoded IDs exceed the bounded streaming allocation", false},
        {"stored length differs", 3, 3, 4, "IVFPQ ID length does not match the offset table", true},
        {"stored length negative", 3, 3, -3, "IVFPQ ID length does not match the offset table", true},
        {"trailing bytes refused", 2, 3, 3, "trailing bytes in delta-varint ID section", true},
        // Exactly at the budget the read happens; the decoder then finds too few bytes.
        {"exactly the budget", (67108864 - 16) / 8, 4, 4, "truncated delta-varint value", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFile file;
        std::vector<uint8_t> padded = section;
        padded.resize(c.id_bytes_len < 16 ? c.id_bytes_len : 3, 0x00);
        file.bytes = id_block(1, c.stored_len, padded);
        expect_error([&] { util::read_delta_varint_ids_at(file, 0, c.count, c.id_bytes_len, "IVFPQ"); },
                     ErrorKind::InvalidData, c.message);
        EXPECT_EQ(file.call_sizes.size(), c.reads ? 1u : 0u);
    }
}

TEST(ReadIdsAt, ReadErrorPassesThrough) {
    MemoryFile file;
    file.bytes = id_block(0, 1, {0x00});
    file.fail_on_call = 0;
    expect_error([&] { util::read_delta_varint_ids_at(file, 0, 1, 1, "IVF-FLAT"); }, ErrorKind::Other,
                 "read_ranges callback failed");
}

// ---- Bounded batched reads ------------------------------------------------------------

TEST(BatchedReads, RangeCapAndByteLimitSplitCalls) {
    MemoryFile file;
    file.bytes.resize(1000);
    for (size_t i = 0; i < file.bytes.size(); ++i) file.bytes[i] = static_cast<uint8_t>(i);
    std::vector<std::vector<uint8_t>> payloads{std::vector<uint8_t>(4), std::vector<uint8_t>(0), std::vector<uint8_t>(8),
                                               std::vector<uint8_t>(2), std::vector<uint8_t>(5)};
    const std::vector<uint64_t> offsets{10, 20, 30, 40, 50};

    file.cap = 2;
    util::pread_batched_payloads(file, offsets, payloads);
    // A zero-length buffer is a request like any other.
    EXPECT_EQ(file.call_sizes, (std::vector<size_t>{2, 2, 1}));
    for (size_t i = 0; i < payloads.size(); ++i) {
        for (size_t j = 0; j < payloads[i].size(); ++j) EXPECT_EQ(payloads[i][j], offsets[i] + j);
    }

    struct Case {
        uint64_t cap;
        uint64_t limit;
        std::vector<size_t> calls;
    };
    const Case cases[] = {
        {0, 1000, {5}},
        {0, 12, {3, 2}},    // 4+0+8 = 12 fits exactly; 2+5 together
        {0, 11, {2, 2, 1}}, // 4+0, then 8+2, then 5
        {0, 1, {1, 1, 1, 1, 1}},  // a call always takes its first request, however long
        {1, 1000, {1, 1, 1, 1, 1}},
        {3, 13, {3, 2}},
    };
    for (const Case& c : cases) {
        file.cap = c.cap;
        file.call_sizes.clear();
        std::vector<std::span<uint8_t>> spans;
        for (auto& p : payloads) spans.emplace_back(p);
        util::pread_batched_slices_with_limit(file, offsets, spans, c.limit);
        EXPECT_EQ(file.call_sizes, c.calls) << "cap " << c.cap << " limit " << c.limit;
    }
}

TEST(BatchedReads, OneLargeBufferIsOneCall) {
    MemoryFile file;
    file.touch_buffers = false;
    const size_t len = 100 * MiB;
    std::unique_ptr<uint8_t[]> big(new uint8_t[len]);
    std::vector<std::span<uint8_t>> spans{std::span<uint8_t>(big.get(), len)};
    const std::vector<uint64_t> offsets{0};
    util::pread_batched_slices_with_limit(file, offsets, spans, util::kReadBudgetBytes);
    EXPECT_EQ(file.call_sizes, std::vector<size_t>{1});

    // Over the budget after the first: every large buffer is a call of its own.
    std::unique_ptr<uint8_t[]> big2(new uint8_t[40 * MiB]);
    std::vector<std::span<uint8_t>> three{std::span<uint8_t>(big2.get(), 40 * MiB),
                                          std::span<uint8_t>(big2.get(), 30 * MiB),
                                          std::span<uint8_t>(big2.get(), 1)};
    file.call_sizes.clear();
    const std::vector<uint64_t> offs3{0, 0, 0};
    util::pread_batched_slices_with_limit(file, offs3, three, util::kReadBudgetBytes);
    EXPECT_EQ(file.call_sizes, (std::vector<size_t>{1, 2}));
}

TEST(BatchedReads, FailuresAndEmptyLists) {
    MemoryFile file;
    file.bytes.resize(100);
    std::vector<std::vector<uint8_t>> payloads(3, std::vector<uint8_t>(4, 0xEE));
    const std::vector<uint64_t> two_offsets{0, 4};
    expect_error([&] { util::pread_batched_payloads(file, two_offsets, payloads); }, ErrorKind::InvalidInput,
                 "IVF batch offsets and payloads must have the same length");
    EXPECT_TRUE(file.call_sizes.empty());

    util::pread_batched_payloads(file, {}, {});
    EXPECT_TRUE(file.call_sizes.empty());

    // The first failing call stops the loop: earlier calls stay filled, later ones are not made.
    file.cap = 1;
    file.fail_on_call = 1;
    const std::vector<uint64_t> offsets{0, 4, 8};
    expect_error([&] { util::pread_batched_payloads(file, offsets, payloads); }, ErrorKind::Other,
                 "read_ranges callback failed");
    EXPECT_EQ(file.call_sizes.size(), 2u);
    EXPECT_EQ(payloads[0], std::vector<uint8_t>(4, 0));
    EXPECT_EQ(payloads[2], std::vector<uint8_t>(4, 0xEE));
}

TEST(BatchedReads, PayloadBatchEnd) {
    struct Case {
        std::vector<uint64_t> lengths;
        uint64_t cap;
        size_t end;
    };
    const Case cases[] = {
        {{}, 0, 0},
        {{70 * MiB, 1}, 0, 1},
        {{10 * MiB, 50 * MiB, 5 * MiB}, 0, 2},
        {{1, 0, 0, 1}, 1, 3},
        {{1, 0, 0, 1}, 0, 4},
        {{0, 0, 0}, 1, 3},
        {{0, 1, 0, 1, 1}, 2, 4},
        {{64 * MiB, 0, 0}, 0, 3},
        {{64 * MiB, 1}, 0, 1},
        {{32 * MiB, 32 * MiB, 0, 1}, 0, 3},
        {{5, 6, 7}, 2, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(util::bounded_ivf_payload_batch_end(c.lengths, c.cap), c.end);
    }
    const std::vector<uint64_t> overflow{~uint64_t{0}, 1};
    expect_error([&] { util::bounded_ivf_payload_batch_end(overflow, 0); }, ErrorKind::InvalidData,
                 "IVF batch payload size overflow");
}

TEST(BatchedReads, StreamChunkRows) {
    struct Case {
        uint64_t remaining, bytes_per_row, fixed, multiple, rows;
    };
    const Case cases[] = {
        {1000000, 4096, 8000000, 1, 14430},
        {1000000, 4096, 8000000, 32, 14400},
        {1000, 4096, 8000000, 1, 1000},
        {1000, 4096, 8000000, 32, 1000},  // the last chunk is not rounded
        {14431, 4096, 8000000, 32, 14400},
        {0, 0, ~uint64_t{0}, 0, 0},        // nothing remains: nothing is checked
        {5, 67108800, 0, 1, 1},
        {3, 1, 67108799, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(util::bounded_ivf_stream_chunk_rows(c.remaining, c.bytes_per_row, c.fixed, c.multiple), c.rows)
            << c.remaining << " " << c.bytes_per_row << " " << c.fixed << " " << c.multiple;
    }
    const std::string shape = "IVF streaming row shape must be greater than zero";
    const std::string ids = "IVF decoded row IDs exceed the bounded streaming allocation";
    const std::string block = "one IVF streaming block exceeds the bounded allocation";
    struct Fail {
        uint64_t remaining, bytes_per_row, fixed, multiple;
        std::string message;
    };
    const Fail fails[] = {
        {1, 0, 0, 1, shape},
        {1, 8, 0, 0, shape},
        {1, 8, 67108801, 1, ids},
        {1, 8, 67108800, 1, block},
        {1, 67108801, 0, 1, block},
        {100, 1000000, 0, 128, block},  // 67 rows fit, rounded down to 0
    };
    for (const Fail& f : fails) {
        expect_error([&] { util::bounded_ivf_stream_chunk_rows(f.remaining, f.bytes_per_row, f.fixed, f.multiple); },
                     ErrorKind::InvalidData, f.message);
    }
}

// ---- Batch-search argument checks ------------------------------------------------

TEST(IndexIoUtil, ValidateSearchInputs) {
    const std::vector<float> six(6, 0.5f);
    struct Case {
        size_t len;
        uint64_t nq, d, k, nprobe;
        std::string message;  // empty: passes
    };
    const Case cases[] = {
        {0, 0, 3, 1, 1, "nq must be greater than 0"},
        {6, 0, 0, 0, 0, "nq must be greater than 0"},
        {6, uint64_t{1} << 33, uint64_t{1} << 31, 1, 1, "nq * dimension overflows usize"},
        {5, 2, 3, 1, 1, "queries length 5 does not match nq * dimension 6"},
        {6, 2, 3, 0, 0, "k must be greater than 0"},
        {6, 2, 3, 1, 0, "nprobe must be greater than 0"},
        {6, 2, 3, 1, 1, ""},
        {0, 4, 0, 1, 1, ""},
    };
    for (const Case& c : cases) {
        auto call = [&] { util::validate_search_inputs(std::span(six).first(c.len), c.nq, c.d, c.k, c.nprobe); };
        if (c.message.empty()) {
            EXPECT_NO_THROW(call());
        } else {
            expect_error(call, ErrorKind::InvalidInput, c.message);
        }
    }
}

// ---- Little-endian helpers ----------------------------------------------------------

TEST(IndexIoUtil, LittleEndianHelpers) {
    std::vector<uint8_t> out;
    util::append_le<uint32_t>(out, 0x4956464Cu);
    util::append_le<int64_t>(out, -2);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x4C, 0x46, 0x56, 0x49, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(util::load_le<uint32_t>(out, 0), 0x4956464Cu);
    EXPECT_EQ(util::load_le<int64_t>(out, 4), -2);
    EXPECT_THROW(util::load_le<int64_t>(out, 5), tavren::AssertionFailure);
}
