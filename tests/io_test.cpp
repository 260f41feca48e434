// Host I/O adapters under scripted host callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "expect.hpp"
#include "../ffi/src/host_io.hpp"
#include "io.hpp"

namespace io = tavren::io;
using tavren::Error;
using tavren::ErrorKind;

namespace {

// A host file in memory that records every read call.
struct HostFile {
    std::vector<uint8_t> bytes;
    int fail_on_call = -1;  // 0-based call index that returns non-zero
    std::vector<std::vector<FfiReadRange>> calls;
    std::vector<void*> user_data_seen;

    static int read_ranges(void* user_data, const FfiReadRange* ranges, size_t count) {
        auto* self = static_cast<HostFile*>(user_data);
        self->user_data_seen.push_back(user_data);
        self->calls.emplace_back(ranges, ranges + count);
        if (static_cast<int>(self->calls.size()) - 1 == self->fail_on_call) return 7;
        for (size_t i = 0; i < count; ++i) {
            if (ranges[i].offset > self->bytes.size() || self->bytes.size() - ranges[i].offset < ranges[i].len) return 1;
            if (ranges[i].len != 0) std::memcpy(ranges[i].buf, self->bytes.data() + ranges[i].offset, ranges[i].len);
        }
        return 0;
    }

    FfiInputFile record(uint64_t latency = 0, uint64_t block = 0, uint64_t cap = 0) {
        return FfiInputFile{this, &HostFile::read_ranges, latency, block, cap};
    }
};

// A host output that records writes, and scripts failures and positions.
struct HostOutput {
    std::vector<uint8_t> bytes;
    std::vector<size_t> write_lengths;
    int fail_on_write = -1;  // 0-based write index that returns non-zero
    int flush_calls = 0;
    int flush_result = 0;
    int position_calls = 0;
    int64_t position = -1;

    static int write(void* user_data, const uint8_t* data, size_t len) {
        auto* self = static_cast<HostOutput*>(user_data);
        self->write_lengths.push_back(len);
        if (static_cast<int>(self->write_lengths.size()) - 1 == self->fail_on_write) return 1;
        if (len != 0) self->bytes.insert(self->bytes.end(), data, data + len);
        return 0;
    }
    static int flush(void* user_data) {
        auto* self = static_cast<HostOutput*>(user_data);
        ++self->flush_calls;
        return self->flush_result;
    }
    static int64_t pos(void* user_data) {
        auto* self = static_cast<HostOutput*>(user_data);
        ++self->position_calls;
        return self->position;
    }
};

using tavren::testing::expect_error;

std::vector<uint8_t> iota_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

}  // namespace

// ---- FfiInputFile ----------------------------------------------------------

TEST(FfiInputFile, EmptyRequestListMakesNoCallEvenWithoutCallback) {
    HostFile host;
    tavren::ffi::HostInputFile with_fn(host.record());
    with_fn.pread({});
    EXPECT_TRUE(host.calls.empty());

    tavren::ffi::HostInputFile without_fn(FfiInputFile{&host, nullptr, 0, 0, 0});
    EXPECT_NO_THROW(without_fn.pread({}));
}

TEST(FfiInputFile, NullCallbackFailsForAnyRequest) {
    FfiInputFile record{nullptr, nullptr, 0, 0, 0};
    tavren::ffi::HostInputFile file(record);
    uint8_t b = 0;
    io::ReadRequest r{&b, 0, 0};
    expect_error([&] { file.pread(std::span(&r, 1)); }, ErrorKind::Other, "read_ranges_fn is null");
}

TEST(FfiInputFile, ZeroLengthRequestStillCallsOnceWithOneRange) {
    HostFile host;
    host.bytes = iota_bytes(16);
    tavren::ffi::HostInputFile file(host.record());
    uint8_t b = 0xAA;
    io::ReadRequest r{&b, 0, 5};
    file.pread(std::span(&r, 1));
    ASSERT_EQ(host.calls.size(), 1u);
    ASSERT_EQ(host.calls[0].size(), 1u);
    EXPECT_EQ(host.calls[0][0].len, 0u);
    EXPECT_EQ(host.calls[0][0].offset, 5u);
    EXPECT_EQ(host.calls[0][0].buf, &b);
    EXPECT_EQ(b, 0xAA);
}

TEST(FfiInputFile, OneCallCarriesAllRangesInOrderAndFillsThem) {
    HostFile host;
    host.bytes = iota_bytes(100);
    tavren::ffi::HostInputFile file(host.record());
    std::vector<uint8_t> a(10), b(3), c(20);
    std::vector<io::ReadRequest> reqs{{a.data(), a.size(), 50}, {b.data(), b.size(), 0}, {c.data(), c.size(), 80}};
    file.pread(reqs);
    ASSERT_EQ(host.calls.size(), 1u);
    ASSERT_EQ(host.calls[0].size(), 3u);
    EXPECT_EQ(host.user_data_seen[0], &host);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(host.calls[0][i].offset, reqs[i].offset);
        EXPECT_EQ(host.calls[0][i].buf, reqs[i].buf);
        EXPECT_EQ(host.calls[0][i].len, reqs[i].len);
    }
    EXPECT_TRUE(std::equal(a.begin(), a.end(), host.bytes.begin() + 50));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), host.bytes.begin()));
    EXPECT_TRUE(std::equal(c.begin(), c.end(), host.bytes.begin() + 80));
}

TEST(FfiInputFile, NonZeroResultFailsWithFixedText) {
    HostFile host;
    host.bytes = iota_bytes(8);
    host.fail_on_call = 0;
    tavren::ffi::HostInputFile file(host.record());
    uint8_t b[4];
    io::ReadRequest r{b, 4, 0};
    expect_error([&] { file.pread(std::span(&r, 1)); }, ErrorKind::Other, "read_ranges callback failed");
    // Reading past the host's end is the host's failure too.
    host.fail_on_call = -1;
    io::ReadRequest past{b, 4, 6};
    expect_error([&] { file.pread(std::span(&past, 1)); }, ErrorKind::Other, "read_ranges callback failed");
}

TEST(FfiInputFile, CapabilitiesAreTheRecordHintsAndPreadNeverSplits) {
    HostFile host;
    host.bytes = iota_bytes(64);
    tavren::ffi::HostInputFile file(host.record(1234, 4096, 2));
    io::ReadCapabilities caps = file.capabilities();
    EXPECT_EQ(caps.read_latency_ns, 1234u);
    EXPECT_EQ(caps.io_block_size, 4096u);
    EXPECT_EQ(caps.max_ranges_per_call, 2u);

    // Keeping lists within the cap is the caller's job; pread passes a longer
    // list on in one call.
    std::vector<uint8_t> bufs(5 * 4);
    std::vector<io::ReadRequest> reqs;
    for (size_t i = 0; i < 5; ++i) reqs.push_back({bufs.data() + 4 * i, 4, 8 * i});
    file.pread(reqs);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].size(), 5u);
}

// ---- FfiOutputFile ---------------------------------------------------------

TEST(FfiOutputFile, EmptyWriteCallsWriteFnOnce) {
    HostOutput host;
    tavren::ffi::HostOutputFile out(FfiOutputCallbacks{&host, &HostOutput::write, nullptr, nullptr});
    out.write_all({});
    ASSERT_EQ(host.write_lengths.size(), 1u);
    EXPECT_EQ(host.write_lengths[0], 0u);
    EXPECT_EQ(out.bytes_written(), 0u);
}

TEST(FfiOutputFile, FailingNthWriteLeavesCountUnchanged) {
    HostOutput host;
    host.fail_on_write = 2;
    tavren::ffi::HostOutputFile out(FfiOutputCallbacks{&host, &HostOutput::write, nullptr, nullptr});
    std::vector<uint8_t> chunk(10, 1);
    out.write_all(chunk);
    out.write_all(std::span(chunk).first(3));
    expect_error([&] { out.write_all(chunk); }, ErrorKind::Other, "write callback failed");
    EXPECT_EQ(out.bytes_written(), 13u);
    EXPECT_EQ(out.pos(), 13u);
    out.write_all(std::span(chunk).first(4));
    EXPECT_EQ(out.bytes_written(), 17u);
    EXPECT_EQ(host.write_lengths, (std::vector<size_t>{10, 3, 10, 4}));
}

TEST(FfiOutputFile, NullWriteFnFails) {
    tavren::ffi::HostOutputFile out(FfiOutputCallbacks{nullptr, nullptr, nullptr, nullptr});
    expect_error([&] { out.write_all({}); }, ErrorKind::Other, "write_fn is null");
    EXPECT_EQ(out.bytes_written(), 0u);
}

TEST(FfiOutputFile, PositionRules) {
    struct Case {
        bool with_position_fn;
        int64_t host_position;
        uint64_t before;  // pos() before any write
        uint64_t after;   // pos() after writing 5 + 7 bytes
    };
    const Case cases[] = {
        {false, 0, 0, 12},            // no callback: bytes written
        {true, -1, 0, 12},            // negative: no position, bytes written
        {true, std::numeric_limits<int64_t>::min(), 0, 12},
        {true, 1000, 1000, 1000},     // the host's position whatever was written
        {true, 0, 0, 0},              // 0 is a position
    };
    for (const Case& c : cases) {
        HostOutput host;
        host.position = c.host_position;
        tavren::ffi::HostOutputFile out(
            FfiOutputCallbacks{&host, &HostOutput::write, nullptr, c.with_position_fn ? &HostOutput::pos : nullptr});
        EXPECT_EQ(out.pos(), c.before) << c.host_position;
        std::vector<uint8_t> data(7, 2);
        out.write_all(std::span(data).first(5));
        out.write_all(data);
        EXPECT_EQ(out.pos(), c.after) << c.host_position;
        EXPECT_EQ(out.bytes_written(), 12u);
        // Nothing is cached: every pos() asks the host again.
        EXPECT_EQ(host.position_calls, c.with_position_fn ? 2 : 0);
    }
}

TEST(FfiOutputFile, ByteCountOverflowIsReportedAfterTheHostTookTheBytes) {
    HostOutput host;
    // The callback only records lengths for these writes; it never reads the bytes.
    auto count_only = [](void* user_data, const uint8_t*, size_t len) -> int {
        static_cast<HostOutput*>(user_data)->write_lengths.push_back(len);
        return 0;
    };
    tavren::ffi::HostOutputFile out(FfiOutputCallbacks{&host, count_only, nullptr, nullptr});
    uint8_t byte = 0;
    const size_t half = size_t{1} << 63;
    out.write_all(std::span<const uint8_t>(&byte, half));
    expect_error([&] { out.write_all(std::span<const uint8_t>(&byte, half)); }, ErrorKind::Other,
                 "output position overflow");
    EXPECT_EQ(host.write_lengths.size(), 2u);
    EXPECT_EQ(out.bytes_written(), half);
}

TEST(FfiOutputFile, FlushCallsTheOptionalCallbackOnce) {
    HostOutput host;
    tavren::ffi::HostOutputFile none(FfiOutputCallbacks{&host, &HostOutput::write, nullptr, nullptr});
    EXPECT_NO_THROW(none.flush());

    tavren::ffi::HostOutputFile ok(FfiOutputCallbacks{&host, &HostOutput::write, &HostOutput::flush, nullptr});
    ok.flush();
    EXPECT_EQ(host.flush_calls, 1);

    host.flush_result = 1;
    expect_error([&] { ok.flush(); }, ErrorKind::Other, "flush callback failed");
    EXPECT_EQ(host.flush_calls, 2);
}

// ---- MeasuredSeekRead ------------------------------------------------------

namespace {
// An inner source that records calls and never touches the buffers.
struct CountingSource final : io::SeekRead {
    mutable int calls = 0;
    bool fail = false;
    void pread(std::span<io::ReadRequest>) const override {
        ++calls;
        if (fail) tavren::fail(ErrorKind::Other, "read_ranges callback failed");
    }
    io::ReadCapabilities capabilities() const override { return {5, 6, 7}; }
};
}  // namespace

TEST(MeasuredSeekRead, ForwardsWithoutCountingWhenOff) {
    io::MeasuredSeekRead<CountingSource> m{CountingSource{}};
    uint8_t b[8];
    io::ReadRequest r{b, 8, 0};
    m.pread(std::span(&r, 1));
    EXPECT_EQ(m.inner().calls, 1);
    EXPECT_FALSE(m.measuring());
    io::ReadMeasurement t = m.take_measurement();
    EXPECT_EQ(t.read_calls, 0u);
    EXPECT_EQ(t.read_bytes, 0u);
    EXPECT_EQ(t.read_time.count(), 0);
    EXPECT_EQ(m.capabilities().max_ranges_per_call, 7u);
}

TEST(MeasuredSeekRead, CountsCallsBytesAndFailedReads) {
    io::MeasuredSeekRead<CountingSource> m{CountingSource{}};
    uint8_t b[8];
    std::vector<io::ReadRequest> two{{b, 8, 0}, {b, 3, 100}};
    m.pread(two);  // before measuring: not counted
    m.begin_measurement();
    EXPECT_TRUE(m.measuring());
    m.pread(two);
    m.pread({});  // an empty list is a call too
    m.inner().fail = true;
    expect_error([&] { m.pread(std::span(two).first(1)); }, ErrorKind::Other, "read_ranges callback failed");
    io::ReadMeasurement t = m.take_measurement();
    EXPECT_EQ(t.read_calls, 3u);
    EXPECT_EQ(t.read_bytes, 19u);
    EXPECT_GE(t.read_time.count(), 0);
    EXPECT_FALSE(m.measuring());
    // Off again: nothing counted, and a new measurement starts from zero.
    m.inner().fail = false;
    m.pread(two);
    EXPECT_EQ(m.take_measurement().read_calls, 0u);
    m.begin_measurement();
    m.pread(two);
    EXPECT_EQ(m.take_measurement().read_bytes, 11u);
}

TEST(MeasuredSeekRead, RequestedBytesSaturate) {
    io::MeasuredSeekRead<CountingSource> m{CountingSource{}};
    uint8_t b = 0;
    const size_t huge = std::numeric_limits<size_t>::max() - 1;
    std::vector<io::ReadRequest> reqs{{&b, huge, 0}, {&b, huge, 0}};
    m.begin_measurement();
    m.pread(reqs);
    m.pread(reqs);
    io::ReadMeasurement t = m.take_measurement();
    EXPECT_EQ(t.read_bytes, std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(t.read_calls, 2u);
}

TEST(MeasuredSeekRead, OverHostFileCountsAFailingHost) {
    HostFile host;
    host.bytes = iota_bytes(32);
    host.fail_on_call = 1;
    io::MeasuredSeekRead<tavren::ffi::HostInputFile> m{tavren::ffi::HostInputFile(host.record())};
    std::vector<uint8_t> buf(16);
    io::ReadRequest r{buf.data(), 16, 4};
    m.begin_measurement();
    m.pread(std::span(&r, 1));
    expect_error([&] { m.pread(std::span(&r, 1)); }, ErrorKind::Other, "read_ranges callback failed");
    io::ReadMeasurement t = m.take_measurement();
    EXPECT_EQ(t.read_calls, 2u);
    EXPECT_EQ(t.read_bytes, 32u);
}

// ---- PreadCursor -----------------------------------------------------------

TEST(PreadCursor, ReadsWithinTheBufferAndRefusesShortReads) {
    const std::vector<uint8_t> header = iota_bytes(64);
    struct Case {
        uint64_t position;
        size_t len;
        bool ok;
        uint64_t position_after;
    };
    const Case cases[] = {
        {0, 64, true, 64},  {60, 4, true, 64},  {60, 8, false, 60}, {64, 0, true, 64},
        {64, 1, false, 64}, {100, 0, true, 100}, {100, 1, false, 100},
        {std::numeric_limits<uint64_t>::max(), 1, false, std::numeric_limits<uint64_t>::max()},
    };
    for (const Case& c : cases) {
        io::PreadCursor cursor(header, c.position);
        std::vector<uint8_t> dest(c.len, 0xEE);
        if (c.ok) {
            cursor.read_exact(dest);
            EXPECT_TRUE(std::equal(dest.begin(), dest.end(), header.begin() + static_cast<ptrdiff_t>(c.position)));
        } else {
            expect_error([&] { cursor.read_exact(dest); }, ErrorKind::UnexpectedEof, "failed to fill whole buffer");
            EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0xEE; }));
        }
        EXPECT_EQ(cursor.position(), c.position_after) << c.position << "+" << c.len;
    }
}

TEST(PreadCursor, TypedLittleEndianReads) {
    std::vector<uint8_t> bytes{0x4C, 0x46, 0x56, 0x49, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0x80, 0x3F};
    io::PreadCursor cursor(bytes);
    EXPECT_EQ(cursor.read_u32(), 0x4956464Cu);
    EXPECT_EQ(cursor.read_i32(), -2);
    EXPECT_EQ(cursor.read_i64(), std::numeric_limits<int64_t>::min() + 1);
    EXPECT_EQ(cursor.read_f32(), 1.0f);
    EXPECT_EQ(cursor.position(), 20u);
    expect_error([&] { cursor.read_u8(); }, ErrorKind::UnexpectedEof, "failed to fill whole buffer");
}
