// The reader exports through the C interface, with hosts written as a C host
// would write them (a read callback over bytes in memory).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "../ffi/src/frame.hpp"
#include "../ffi/src/reader_exports.hpp"
#include "ivfflat_file_builder.hpp"
#include "numeric.hpp"
#include "search_params.hpp"
#include "search_result.hpp"
#include "tavren_dadiza.h"

using tavren::kF32Max;
using tavren::SearchResult;
using tavren::testing::IvfFlatFileBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

const float kNan = std::numeric_limits<float>::quiet_NaN();

// A host file in memory with call counters; fail_from_call makes that call
// and every later one fail.
struct Host {
    Bytes bytes;
    uint64_t fail_from_call = std::numeric_limits<uint64_t>::max();
    uint64_t max_ranges_per_call = 0;
    std::vector<size_t> call_ranges;  // ranges of every call, in order

    static int read(void* user_data, const FfiReadRange* ranges, size_t count) {
        Host* h = static_cast<Host*>(user_data);
        const uint64_t call = h->call_ranges.size();
        h->call_ranges.push_back(count);
        if (call >= h->fail_from_call) return 1;
        for (size_t i = 0; i < count; ++i) {
            if (ranges[i].offset > h->bytes.size() || ranges[i].len > h->bytes.size() - ranges[i].offset) return 1;
            std::memcpy(ranges[i].buf, h->bytes.data() + ranges[i].offset, ranges[i].len);
        }
        return 0;
    }

    FfiInputFile input() {
        FfiInputFile in{};
        in.user_data = this;
        in.read_ranges_fn = &Host::read;
        in.max_ranges_per_call = max_ranges_per_call;
        return in;
    }
    size_t calls() const { return call_ranges.size(); }
};

// Runs an export that must fail and returns its text.
std::string failure(const std::function<int()>& call) {
    tavren::ffi::set_error("<unchanged>");
    const int rc = call();
    EXPECT_EQ(rc, -1);
    const char* text = tavren_dadiza_last_error();
    return text == nullptr ? "<null>" : text;
}

std::string open_failure(Host& host) {
    tavren::ffi::set_error("<unchanged>");
    TavrenDadizaReaderHandle* h = tavren_dadiza_reader_open(host.input());
    EXPECT_EQ(h, nullptr);
    tavren_dadiza_reader_free(h);
    return tavren_dadiza_last_error();
}

using tavren::testing::with_magic;

using tavren::testing::line_file;

// An open reader over a host that outlives it.
struct Open {
    Host host;
    TavrenDadizaReaderHandle* reader = nullptr;

    explicit Open(Bytes bytes, uint64_t max_ranges_per_call = 0) {
        host.bytes = std::move(bytes);
        host.max_ranges_per_call = max_ranges_per_call;
        reader = tavren_dadiza_reader_open(host.input());
        EXPECT_NE(reader, nullptr) << tavren_dadiza_last_error();
    }
    ~Open() { tavren_dadiza_reader_free(reader); }
    Open(const Open&) = delete;
    Open& operator=(const Open&) = delete;
};

FfiSearchParams p1(uint64_t top_k, uint32_t width_type, uint64_t width) {
    return FfiSearchParams{top_k, width_type, width};
}

FfiSearchParamsEx pex(uint64_t top_k, uint32_t width_type, uint64_t width) {
    FfiSearchParamsEx p;
    std::memset(&p, 0, sizeof p);
    p.struct_size = sizeof p;
    p.top_k = top_k;
    p.width_type = width_type;
    p.width = width;
    p.ivfpq_table_reuse_mode = 2;
    p.ivfpq_table_reuse_max_bytes = 536870912;
    return p;
}

FfiSearchParamsV2 pv2(uint64_t top_k, uint32_t width_type, uint64_t width) {
    FfiSearchParamsV2 p;
    std::memset(&p, 0, sizeof p);
    p.top_k = top_k;
    p.width_type = width_type;
    p.width = width;
    p.ivfpq_table_reuse_mode = 2;
    p.ivfpq_table_reuse_max_bytes = 536870912;
    return p;
}

std::string check_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const tavren::ffi::CheckFailure& e) {
        return e.text();
    }
    return "<no failure>";
}

}  // namespace

// ---- Open ----------------------------------------------------------------------------------

TEST(ReaderExportsOpen, Failures) {
    {
        FfiInputFile in{};
        tavren::ffi::set_error("<unchanged>");
        EXPECT_EQ(tavren_dadiza_reader_open(in), nullptr);
        EXPECT_STREQ(tavren_dadiza_last_error(), "open reader: read_ranges_fn is null");
        EXPECT_EQ(tavren_dadiza_reader_open_with_options(in, 1), nullptr);
        EXPECT_STREQ(tavren_dadiza_last_error(), "open reader: read_ranges_fn is null");
    }
    struct Case {
        const char* what;
        Bytes bytes;
        uint64_t fail_from_call;
        std::string message;
        std::vector<size_t> calls;
    };
    const uint64_t never = std::numeric_limits<uint64_t>::max();
    const Case cases[] = {
        {"failing host", line_file(2, 2).build(), 0, "open reader: read_ranges callback failed", {1, 1}},
        {"unknown magic",
         with_magic(0x44434241, 64),
         never,
         "open reader: unknown vector index magic: 0x44434241",
         {1}},
        {"unknown magic, 4-byte file",
         with_magic(0x44434241, 4),
         never,
         "open reader: unknown vector index magic: 0x44434241",
         {1, 1}},
        {"known magic, short file",
         with_magic(0x4956464C, 10),
         never,
         "open reader: read_ranges callback failed",
         {1, 1}},
        {"IVF-SQ header error", with_magic(0x49565351, 64), never, "open reader: Unsupported IVF-SQ version: 0", {1}},
        {"IVF-PQ, zero version",
         with_magic(0x49565051, 64),
         never,
         "open reader: Unsupported IVFPQ version: 0",
         {1}},
        {"IVF-RQ",
         with_magic(0x49565251, 64),
         never,
         "open reader: unsupported IVF-RQ version: 0",
         {1}},
        {"DiskANN, short header",
         with_magic(0x4E4E4144, 64),
         never,
         "open reader: read_ranges callback failed",
         {1, 1}},
        {"IVF-FLAT header error",
         with_magic(0x4956464C, 64),
         never,
         "open reader: Unsupported IVFFLAT version: 0",
         {1}},
    };
    for (const Case& c : cases) {
        Host host;
        host.bytes = c.bytes;
        host.fail_from_call = c.fail_from_call;
        EXPECT_EQ(open_failure(host), c.message) << c.what;
        EXPECT_EQ(host.call_ranges, c.calls) << c.what;
    }
}

TEST(ReaderExportsOpen, OpenReadsTheHeaderOnly) {
    Host host;
    host.bytes = line_file(3, 2).build();
    TavrenDadizaReaderHandle* reader = tavren_dadiza_reader_open_with_options(host.input(), 1);
    ASSERT_NE(reader, nullptr) << tavren_dadiza_last_error();
    EXPECT_EQ(host.call_ranges, (std::vector<size_t>{1}));
    tavren_dadiza_reader_free(reader);
    tavren_dadiza_reader_free(nullptr);
}

// ---- Metadata, read plan, optimize ------------------------------------------------------

TEST(ReaderExportsMetadata, ChecksAndValues) {
    Open open(line_file(3, 4).build());
    FfiIndexMetadata m;
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_metadata(nullptr, nullptr); }), "out pointer is null");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_metadata(open.reader, nullptr); }), "out pointer is null");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_metadata(nullptr, &m); }), "null reader handle");
    std::memset(&m, 0xCD, sizeof m);
    ASSERT_EQ(tavren_dadiza_reader_metadata(open.reader, &m), 0);
    EXPECT_EQ(m.index_type, 0u);
    EXPECT_EQ(m.dimension, 2u);
    EXPECT_EQ(m.nlist, 3u);
    EXPECT_EQ(m.metric, 0u);
    EXPECT_EQ(m.vector_count, 12);
    EXPECT_EQ(m.pq_m, 0u);
    EXPECT_EQ(m.code_bits, 0u);
    EXPECT_EQ(m.rq_bits, 0u);
    EXPECT_EQ(m.diskann_max_degree, 0u);
    EXPECT_EQ(m.diskann_build_list_size, 0u);
    EXPECT_EQ(m.diskann_alpha, 0.0f);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&m);
    for (size_t at : {4, 5, 6, 7, 28, 29, 30, 31, 84, 85, 86, 87}) EXPECT_EQ(raw[at], 0xCD) << at;
    EXPECT_EQ(open.host.calls(), 1u);  // no file read
}

TEST(ReaderExportsReadPlan, OnlyForDiskAnn) {
    Open open(line_file(3, 4).build());
    FfiReadPlan plan;
    std::memset(&plan, 0x11, sizeof plan);
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_read_plan(nullptr, nullptr); }), "out pointer is null");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_read_plan(nullptr, &plan); }), "null reader handle");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_read_plan(open.reader, &plan); }),
              "read plan is only available for DiskANN");
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&plan);
    for (size_t i = 0; i < sizeof plan; ++i) ASSERT_EQ(raw[i], 0x11) << i;
}

TEST(ReaderExportsOptimize, ChecksAndFailures) {
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_optimize_for_search(nullptr); }), "null reader handle");
    Open open(line_file(3, 4).build());
    open.host.fail_from_call = 1;
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_optimize_for_search(open.reader); }),
              "optimize_for_search: read_ranges callback failed");
    open.host.fail_from_call = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(tavren_dadiza_reader_optimize_for_search(open.reader), 0);
    const size_t calls = open.host.calls();
    EXPECT_EQ(tavren_dadiza_reader_optimize_for_search(open.reader), 0);
    EXPECT_EQ(open.host.calls(), calls);
}

// ---- Parameter records -------------------------------------------------------------------

TEST(ReaderExportsParams, Conversions) {
    using tavren::ffi::search_params_ex_from_ffi;
    using tavren::ffi::search_params_from_ffi;
    using tavren::ffi::search_params_v2_from_ffi;
    using tavren::index::IvfPqBatchTableReuseMode;

    auto v1 = search_params_from_ffi(p1(0, 1, 0));
    EXPECT_EQ(v1.top_k, 0u);  // not examined here
    EXPECT_EQ(v1.width_type, 1u);
    EXPECT_FALSE(v1.max_initial_filter_expansion_factor);
    EXPECT_EQ(v1.ivfpq_table_reuse_mode, IvfPqBatchTableReuseMode::Auto);
    EXPECT_EQ(v1.ivfpq_table_reuse_max_bytes, 536870912u);
    EXPECT_EQ(search_params_from_ffi(p1(5, 2, 77)).width, 77u);
    EXPECT_EQ(check_text([] { search_params_from_ffi(p1(5, 3, 0)); }), "invalid search width type: 3");
    EXPECT_EQ(check_text([] { search_params_from_ffi(p1(5, 0xFFFFFFFF, 0)); }),
              "invalid search width type: 4294967295");
    EXPECT_EQ(check_text([] { search_params_from_ffi(p1(5, 0, 5)); }), "automatic search width must have width=0");

    EXPECT_EQ(check_text([] { search_params_ex_from_ffi(nullptr); }), "search params pointer is null");
    FfiSearchParamsEx ex = pex(4, 0, 0);
    ex.struct_size = 24;
    EXPECT_EQ(check_text([&] { search_params_ex_from_ffi(&ex); }),
              "search params struct size 24 is smaller than required 32");
    ex.struct_size = 0;
    EXPECT_EQ(check_text([&] { search_params_ex_from_ffi(&ex); }),
              "search params struct size 0 is smaller than required 32");

    // struct_size 32 in a buffer of exactly 32 bytes: nothing past it is read.
    {
        auto storage = std::make_unique<uint8_t[]>(32);
        FfiSearchParamsEx full = pex(9, 1, 3);
        full.struct_size = 32;
        std::memcpy(storage.get(), &full, 32);
        auto p = search_params_ex_from_ffi(reinterpret_cast<const FfiSearchParamsEx*>(storage.get()));
        EXPECT_EQ(p.top_k, 9u);
        EXPECT_EQ(p.width, 3u);
        EXPECT_FALSE(p.max_initial_filter_expansion_factor);
        EXPECT_EQ(p.ivfpq_table_reuse_mode, IvfPqBatchTableReuseMode::Auto);
        EXPECT_EQ(p.ivfpq_table_reuse_max_bytes, 536870912u);
    }
    struct Case {
        uint64_t struct_size;
        uint64_t factor;
        uint32_t mode;
        uint64_t max_bytes;
        std::optional<uint64_t> want_factor;
        IvfPqBatchTableReuseMode want_mode;
        uint64_t want_max_bytes;
        std::string message;
    };
    const Case cases[] = {
        {32, 99, 7, 0, std::nullopt, IvfPqBatchTableReuseMode::Auto, 536870912, ""},  // garbage after byte 32
        {40, 0, 7, 0, std::nullopt, IvfPqBatchTableReuseMode::Auto, 536870912, ""},
        {40, 6, 7, 0, 6, IvfPqBatchTableReuseMode::Auto, 536870912, ""},
        {44, 6, 1, 0, 6, IvfPqBatchTableReuseMode::On, 536870912, ""},
        {48, 0, 1, 0, std::nullopt, IvfPqBatchTableReuseMode::On, 536870912, ""},
        {48, 0, 3, 0, std::nullopt, IvfPqBatchTableReuseMode::Auto, 0, "invalid IVF-PQ batch table reuse mode: 3"},
        {56, 0, 0, 1024, std::nullopt, IvfPqBatchTableReuseMode::Off, 1024, ""},
        {56, 0, 0, 0, std::nullopt, IvfPqBatchTableReuseMode::Off, 0,
         "IVF-PQ batch table reuse max bytes must be positive"},
        {4096, 0, 2, 8, std::nullopt, IvfPqBatchTableReuseMode::Auto, 8, ""},  // larger sizes read 56 bytes
    };
    for (const Case& c : cases) {
        FfiSearchParamsEx record = pex(4, 0, 0);
        record.struct_size = c.struct_size;
        record.max_initial_filter_expansion_factor = c.factor;
        record.ivfpq_table_reuse_mode = c.mode;
        record.ivfpq_table_reuse_max_bytes = c.max_bytes;
        if (!c.message.empty()) {
            EXPECT_EQ(check_text([&] { search_params_ex_from_ffi(&record); }), c.message) << c.struct_size;
            continue;
        }
        const auto p = search_params_ex_from_ffi(&record);
        EXPECT_EQ(p.max_initial_filter_expansion_factor, c.want_factor) << c.struct_size;
        EXPECT_EQ(p.ivfpq_table_reuse_mode, c.want_mode) << c.struct_size;
        EXPECT_EQ(p.ivfpq_table_reuse_max_bytes, c.want_max_bytes) << c.struct_size;
    }
    // The width checks come before the extension fields.
    FfiSearchParamsEx both = pex(4, 0, 5);
    both.ivfpq_table_reuse_mode = 9;
    EXPECT_EQ(check_text([&] { search_params_ex_from_ffi(&both); }), "automatic search width must have width=0");

    FfiSearchParamsV2 v2 = pv2(4, 1, 2);
    v2.ivfpq_table_reuse_mode = 0;
    v2.ivfpq_table_reuse_max_bytes = 77;
    auto p = search_params_v2_from_ffi(v2);
    EXPECT_EQ(p.ivfpq_table_reuse_mode, IvfPqBatchTableReuseMode::Off);
    EXPECT_EQ(p.ivfpq_table_reuse_max_bytes, 77u);
    EXPECT_FALSE(p.max_initial_filter_expansion_factor);
    v2.ivfpq_table_reuse_mode = 3;
    v2.ivfpq_table_reuse_max_bytes = 0;
    EXPECT_EQ(check_text([&] { search_params_v2_from_ffi(v2); }), "invalid IVF-PQ batch table reuse mode: 3");
    v2.ivfpq_table_reuse_mode = 1;
    EXPECT_EQ(check_text([&] { search_params_v2_from_ffi(v2); }),
              "IVF-PQ batch table reuse max bytes must be positive");
    v2.width_type = 3;
    EXPECT_EQ(check_text([&] { search_params_v2_from_ffi(v2); }), "invalid search width type: 3");
}

TEST(ReaderExportsParams, CopySearchResult) {
    SearchResult r{{1, 2, 3}, {0.5f, 1.5f, 2.5f}};
    int64_t ids[5] = {9, 9, 9, 9, 9};
    float dist[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(check_text([&] { tavren::ffi::copy_search_result(r, ids, dist, 5, 4); }),
              "native result length mismatch: ids=3, distances=3, expected=4");
    SearchResult uneven{{1, 2, 3}, {0.5f, 1.5f}};
    EXPECT_EQ(check_text([&] { tavren::ffi::copy_search_result(uneven, ids, dist, 5, 3); }),
              "native result length mismatch: ids=3, distances=2, expected=3");
    EXPECT_EQ(check_text([&] { tavren::ffi::copy_search_result(r, ids, dist, 2, 3); }),
              "result buffers length 2 is smaller than required 3");
    EXPECT_EQ(check_text([&] { tavren::ffi::copy_search_result(r, nullptr, nullptr, 3, 3); }),
              "out_ids pointer is null");
    EXPECT_EQ(check_text([&] { tavren::ffi::copy_search_result(r, ids, nullptr, 3, 3); }),
              "out_distances pointer is null");
    tavren::ffi::copy_search_result(SearchResult{}, nullptr, nullptr, 0, 0);  // nothing expected, nothing examined
    tavren::ffi::copy_search_result(r, ids, dist, 5, 3);
    EXPECT_EQ(ids[2], 3);
    EXPECT_EQ(dist[2], 2.5f);
    EXPECT_EQ(ids[3], 9);  // beyond the expected count: untouched
    EXPECT_EQ(dist[3], 9.0f);
}

// ---- Search checks ------------------------------------------------------------------------

namespace {

// Every search export, called with a uniform argument set; `kind` picks the record.
enum class Rec { V1, Ex, V2 };
struct Export {
    const char* name;
    bool batch;
    bool filtered;
    Rec rec;
    const char* prefix;
};
const Export kExports[] = {
    {"search", false, false, Rec::V1, "search: "},
    {"search_ex", false, false, Rec::Ex, "search: "},
    {"search_with_roaring_filter", false, true, Rec::V1, "search_with_roaring_filter: "},
    {"search_with_roaring_filter_ex", false, true, Rec::Ex, "search_with_roaring_filter: "},
    {"search_batch", true, false, Rec::V1, "search_batch: "},
    {"search_batch_ex", true, false, Rec::Ex, "search_batch: "},
    {"search_batch_v2", true, false, Rec::V2, "search_batch: "},
    {"search_batch_with_roaring_filter", true, true, Rec::V1, "search_batch_with_roaring_filter: "},
    {"search_batch_with_roaring_filter_ex", true, true, Rec::Ex, "search_batch_with_roaring_filter: "},
    {"search_batch_with_roaring_filter_v2", true, true, Rec::V2, "search_batch_with_roaring_filter: "},
};

struct Args {
    TavrenDadizaReaderHandle* reader = nullptr;
    const float* queries = nullptr;
    size_t nq = 1;
    uint64_t top_k = 2;
    uint32_t width_type = 1;
    uint64_t width = 1;
    const FfiSearchParamsEx* ex = nullptr;  // overrides the Ex record when set
    bool null_ex = false;
    const uint8_t* filter = nullptr;
    size_t filter_len = 0;
    int64_t* out_ids = nullptr;
    float* out_distances = nullptr;
    size_t out_capacity = 0;
};

int call(const Export& e, const Args& a) {
    const FfiSearchParams v1 = p1(a.top_k, a.width_type, a.width);
    const FfiSearchParamsV2 v2 = pv2(a.top_k, a.width_type, a.width);
    const FfiSearchParamsEx ex_record = pex(a.top_k, a.width_type, a.width);
    const FfiSearchParamsEx* ex = a.null_ex ? nullptr : a.ex != nullptr ? a.ex : &ex_record;
    const std::string n = e.name;
    if (n == "search")
        return tavren_dadiza_reader_search(a.reader, a.queries, v1, a.out_ids, a.out_distances, a.out_capacity);
    if (n == "search_ex")
        return tavren_dadiza_reader_search_ex(a.reader, a.queries, ex, a.out_ids, a.out_distances, a.out_capacity);
    if (n == "search_with_roaring_filter")
        return tavren_dadiza_reader_search_with_roaring_filter(a.reader, a.queries, v1, a.filter, a.filter_len,
                                                               a.out_ids, a.out_distances, a.out_capacity);
    if (n == "search_with_roaring_filter_ex")
        return tavren_dadiza_reader_search_with_roaring_filter_ex(a.reader, a.queries, ex, a.filter, a.filter_len,
                                                                  a.out_ids, a.out_distances, a.out_capacity);
    if (n == "search_batch")
        return tavren_dadiza_reader_search_batch(a.reader, a.queries, a.nq, v1, a.out_ids, a.out_distances,
                                                 a.out_capacity);
    if (n == "search_batch_ex")
        return tavren_dadiza_reader_search_batch_ex(a.reader, a.queries, a.nq, ex, a.out_ids, a.out_distances,
                                                    a.out_capacity);
    if (n == "search_batch_v2")
        return tavren_dadiza_reader_search_batch_v2(a.reader, a.queries, a.nq, v2, a.out_ids, a.out_distances,
                                                    a.out_capacity);
    if (n == "search_batch_with_roaring_filter")
        return tavren_dadiza_reader_search_batch_with_roaring_filter(
            a.reader, a.queries, a.nq, v1, a.filter, a.filter_len, a.out_ids, a.out_distances, a.out_capacity);
    if (n == "search_batch_with_roaring_filter_ex")
        return tavren_dadiza_reader_search_batch_with_roaring_filter_ex(
            a.reader, a.queries, a.nq, ex, a.filter, a.filter_len, a.out_ids, a.out_distances, a.out_capacity);
    return tavren_dadiza_reader_search_batch_with_roaring_filter_v2(
        a.reader, a.queries, a.nq, v2, a.filter, a.filter_len, a.out_ids, a.out_distances, a.out_capacity);
}

}  // namespace

TEST(ReaderExportsSearch, CheckTextsOfEveryExport) {
    Open open(line_file(4, 3).build());
    const float q[4] = {1, 1, 2, 2};
    int64_t ids[8];
    float dist[8];
    const Bytes filter = tavren::testing::roaring_filter_bytes(std::vector<uint64_t>{0, 1, 100});
    auto valid = [&](const Export& e) {
        Args a;
        a.reader = open.reader;
        a.queries = q;
        a.filter = filter.data();
        a.filter_len = e.filtered ? filter.size() : 0;
        a.out_ids = ids;
        a.out_distances = dist;
        a.out_capacity = 8;
        return a;
    };
    for (const Export& e : kExports) {
        SCOPED_TRACE(e.name);
        const std::string prefix = e.prefix;
        ASSERT_EQ(call(e, valid(e)), 0) << tavren_dadiza_last_error();

        Args a = valid(e);
        a.reader = nullptr;
        a.queries = nullptr;
        EXPECT_EQ(failure([&] { return call(e, a); }), "null reader handle");

        a = valid(e);
        a.queries = nullptr;
        a.null_ex = true;  // the query is reported first
        EXPECT_EQ(failure([&] { return call(e, a); }), e.batch ? "queries pointer is null" : "query pointer is null");

        if (e.batch) {
            a = valid(e);
            a.nq = size_t{1} << 63;  // x dimension 2 overflows
            EXPECT_EQ(failure([&] { return call(e, a); }), "queries length overflow");
            a = valid(e);
            a.nq = 0;
            a.queries = nullptr;  // not examined for 0 values; the reader refuses the count
            EXPECT_EQ(failure([&] { return call(e, a); }), prefix + "query count must be greater than 0");
            a = valid(e);
            a.nq = 2;
            a.top_k = uint64_t{1} << 63;
            EXPECT_EQ(failure([&] { return call(e, a); }), "batch result length overflow");
        }
        if (e.filtered) {
            a = valid(e);
            a.filter = nullptr;
            a.null_ex = true;  // the filter is reported before the parameters
            EXPECT_EQ(failure([&] { return call(e, a); }), "roaring_filter pointer is null");
            a = valid(e);
            a.filter = nullptr;
            a.filter_len = 0;  // an empty byte sequence, whatever the pointer
            a.width_type = 0;
            a.width = 0;
            EXPECT_EQ(failure([&] { return call(e, a); }),
                      prefix + "invalid serialized RoaringTreemap filter: failed to fill whole buffer");
            a.width_type = 1;
            a.width = 1;
            EXPECT_EQ(failure([&] { return call(e, a); }),
                      prefix + "invalid RoaringTreemap filter: failed to fill whole buffer");
        }
        if (e.rec == Rec::Ex) {
            a = valid(e);
            a.null_ex = true;
            EXPECT_EQ(failure([&] { return call(e, a); }), "search params pointer is null");
            FfiSearchParamsEx small = pex(2, 1, 1);
            small.struct_size = 24;
            a = valid(e);
            a.ex = &small;
            EXPECT_EQ(failure([&] { return call(e, a); }), "search params struct size 24 is smaller than required 32");
            FfiSearchParamsEx mode = pex(2, 1, 1);
            mode.struct_size = 48;
            mode.ivfpq_table_reuse_mode = 3;
            a.ex = &mode;
            EXPECT_EQ(failure([&] { return call(e, a); }), "invalid IVF-PQ batch table reuse mode: 3");
            FfiSearchParamsEx bytes0 = pex(2, 1, 1);
            bytes0.ivfpq_table_reuse_max_bytes = 0;
            a.ex = &bytes0;
            EXPECT_EQ(failure([&] { return call(e, a); }), "IVF-PQ batch table reuse max bytes must be positive");
            FfiSearchParamsEx factor = pex(2, 1, 1);
            factor.struct_size = 40;
            factor.max_initial_filter_expansion_factor = 4;
            a.ex = &factor;
            EXPECT_EQ(failure([&] { return call(e, a); }),
                      prefix + "maximum initial filter expansion factor requires automatic IVF search");
            factor.struct_size = 32;  // the factor is not read
            EXPECT_EQ(call(e, a), 0) << tavren_dadiza_last_error();
        }
        if (e.rec == Rec::V2) {
            // The V2 record's own fields are checked through the conversion test.
        }
        a = valid(e);
        a.width_type = 3;
        EXPECT_EQ(failure([&] { return call(e, a); }), "invalid search width type: 3");
        a = valid(e);
        a.width_type = 0;
        a.width = 5;
        EXPECT_EQ(failure([&] { return call(e, a); }), "automatic search width must have width=0");
        a = valid(e);
        a.width = 0;
        EXPECT_EQ(failure([&] { return call(e, a); }), prefix + "nprobe must be greater than 0");
        a = valid(e);
        a.width_type = 2;
        EXPECT_EQ(failure([&] { return call(e, a); }), prefix + "DiskANN l_search cannot be used with an IVF index");
        a = valid(e);
        a.top_k = 0;
        a.out_ids = nullptr;  // nothing expected: the pointers are not examined
        a.out_distances = nullptr;
        EXPECT_EQ(failure([&] { return call(e, a); }), prefix + "top_k must be greater than 0");
        a = valid(e);
        a.out_capacity = 1;   // one short of top_k 2
        a.out_ids = nullptr;  // capacity is reported before the pointers
        EXPECT_EQ(failure([&] { return call(e, a); }), "result buffers length 1 is smaller than required 2");
        a = valid(e);
        a.out_ids = nullptr;
        a.out_distances = nullptr;
        EXPECT_EQ(failure([&] { return call(e, a); }), "out_ids pointer is null");
        a = valid(e);
        a.out_distances = nullptr;
        EXPECT_EQ(failure([&] { return call(e, a); }), "out_distances pointer is null");
        a = valid(e);
        const float nan_q[2] = {kNan, 0};
        a.queries = nan_q;
        EXPECT_EQ(failure([&] { return call(e, a); }),
                  prefix + (e.batch ? "queries" : "query") + " contains non-finite value at offset 0: NaN");
    }
}

// Buffers and pointers are checked before searching: a garbage top_k or a
// short buffer never reaches the index, and a failed search writes nothing.
TEST(ReaderExportsSearch, ResultBuffersAreCheckedBeforeSearching) {
    Open open(line_file(4, 3).build());
    const float q[2] = {1, 1};
    int64_t ids[4] = {7, 7, 7, 7};
    float dist[4] = {7, 7, 7, 7};
    const size_t calls = open.host.calls();
    const uint64_t garbage = uint64_t{1} << 62;
    for (const Export& e : kExports) {
        SCOPED_TRACE(e.name);
        Args a;
        a.reader = open.reader;
        a.queries = q;
        a.top_k = garbage;
        a.width_type = 0;
        a.width = 0;
        const Bytes filter = tavren::testing::roaring_filter_bytes(std::vector<uint64_t>{1});
        a.filter = filter.data();
        a.filter_len = filter.size();
        a.out_ids = ids;
        a.out_distances = dist;
        a.out_capacity = 4;
        EXPECT_EQ(failure([&] { return call(e, a); }),
                  "result buffers length 4 is smaller than required 4611686018427387904");
        a.top_k = 5;
        EXPECT_EQ(failure([&] { return call(e, a); }), "result buffers length 4 is smaller than required 5");
        a.top_k = 4;
        a.out_distances = nullptr;
        EXPECT_EQ(failure([&] { return call(e, a); }), "out_distances pointer is null");
    }
    EXPECT_EQ(open.host.calls(), calls);  // no search read anything
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ids[i], 7);
        EXPECT_EQ(dist[i], 7.0f);
    }
    // A search failing inside the reader leaves the buffers untouched too.
    open.host.fail_from_call = 0;
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_search(open.reader, q, p1(4, 1, 2), ids, dist, 4); }),
              "search: read_ranges callback failed");
    EXPECT_EQ(ids[0], 7);
    EXPECT_EQ(dist[0], 7.0f);
}

TEST(ReaderExportsSearch, ResultsAndPadding) {
    IvfFlatFileBuilder file = line_file(4, 3);
    Open open(file.build());
    const float q[4] = {11, 1, 29, 1.2f};
    std::vector<int64_t> ids(40, 7);
    std::vector<float> dist(40, 7);
    ASSERT_EQ(tavren_dadiza_reader_search(open.reader, q, p1(15, 1, 4), ids.data(), dist.data(), 40), 0);
    const SearchResult want = tavren::testing::brute_force_flat(file, std::span<const float>(q, 2), 15, nullptr);
    EXPECT_TRUE(std::equal(want.ids.begin(), want.ids.end(), ids.begin()));
    EXPECT_TRUE(std::equal(want.distances.begin(), want.distances.end(), dist.begin()));
    EXPECT_EQ(ids[12], -1);
    EXPECT_EQ(dist[14], kF32Max);
    EXPECT_EQ(ids[15], 7);  // beyond top_k: untouched
    ASSERT_EQ(tavren_dadiza_reader_search_batch(open.reader, q, 2, p1(15, 1, 9), ids.data(), dist.data(), 40), 0);
    const SearchResult want2 = tavren::testing::brute_force_flat(file, std::span<const float>(q + 2, 2), 15, nullptr);
    EXPECT_TRUE(std::equal(want.ids.begin(), want.ids.end(), ids.begin()));
    EXPECT_TRUE(std::equal(want2.ids.begin(), want2.ids.end(), ids.begin() + 15));
    EXPECT_TRUE(std::equal(want2.distances.begin(), want2.distances.end(), dist.begin() + 15));
    EXPECT_EQ(ids[30], 7);
}

// ---- Progressive widening, seen by the host ---------------------------------------------------

// 100 lists of 10 rows on a line; a filter that claims 1000 rows (so the first
// nprobe is the unfiltered 8) but matches a single row, so the search stays
// incomplete and widens to every list. Each pass reads its probed lists in one
// host call, one range per list.
TEST(ReaderExportsSearch, AutomaticWidthPassesAndRetryGroupsSeenByTheHost) {
    IvfFlatFileBuilder file = line_file(100, 10);
    Open open(file.build());
    std::vector<uint64_t> values = {3};
    for (uint64_t i = 0; i < 999; ++i) values.push_back(1000000 + i);
    const Bytes filter = tavren::testing::roaring_filter_bytes(values);
    ASSERT_EQ(tavren_dadiza_reader_optimize_for_search(open.reader), 0);
    const float q[4] = {0, 1, 990, 1};
    int64_t ids[20];
    float dist[20];

    open.host.call_ranges.clear();
    ASSERT_EQ(tavren_dadiza_reader_search_with_roaring_filter(open.reader, q, p1(10, 0, 0), filter.data(),
                                                              filter.size(), ids, dist, 10),
              0)
        << tavren_dadiza_last_error();
    EXPECT_EQ(open.host.call_ranges, (std::vector<size_t>{8, 16, 32, 64, 100}));
    EXPECT_EQ(ids[0], 3);
    EXPECT_EQ(ids[1], -1);

    open.host.call_ranges.clear();
    ASSERT_EQ(tavren_dadiza_reader_search_batch_with_roaring_filter(open.reader, q, 1, p1(10, 0, 0), filter.data(),
                                                                    filter.size(), ids, dist, 10),
              0);
    // Ranks [0, 8), then [8, 16), [16, 32), [32, 64), [64, 100).
    EXPECT_EQ(open.host.call_ranges, (std::vector<size_t>{8, 8, 16, 32, 36}));
    EXPECT_EQ(ids[0], 3);

    // Two stuck queries from opposite ends: each retry reads the union of
    // their new ranks once.
    open.host.call_ranges.clear();
    ASSERT_EQ(tavren_dadiza_reader_search_batch_with_roaring_filter(open.reader, q, 2, p1(10, 0, 0), filter.data(),
                                                                    filter.size(), ids, dist, 20),
              0);
    EXPECT_EQ(open.host.call_ranges, (std::vector<size_t>{16, 16, 32, 36, 72}));
    EXPECT_EQ(ids[10], 3);

    // An explicit width runs one pass.
    open.host.call_ranges.clear();
    ASSERT_EQ(tavren_dadiza_reader_search_with_roaring_filter(open.reader, q, p1(10, 1, 8), filter.data(),
                                                              filter.size(), ids, dist, 10),
              0);
    EXPECT_EQ(open.host.call_ranges, (std::vector<size_t>{8}));

    // Without the filter every query is complete after the first pass.
    open.host.call_ranges.clear();
    ASSERT_EQ(tavren_dadiza_reader_search_batch(open.reader, q, 2, p1(10, 0, 0), ids, dist, 20), 0);
    EXPECT_EQ(open.host.call_ranges, (std::vector<size_t>{16}));
}

// ---- Warm-up and calibration ----------------------------------------------------------------

TEST(ReaderExportsPrepare, WarmupAndCalibrationChecks) {
    Open open(line_file(4, 3).build());
    const float q[4] = {1, 2, 3, kNan};
    uint64_t out = 42;
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_warmup_queries(nullptr, q, 1, 0); }), "null reader handle");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_warmup_queries(open.reader, q, size_t{1} << 63, 0); }),
              "warmup queries length overflow");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_warmup_queries(open.reader, nullptr, 1, 0); }),
              "warmup queries pointer is null");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_warmup_queries(open.reader, q, 2, 0); }),
              "warmup_queries: warmup queries contains non-finite value at offset 3: NaN");
    EXPECT_EQ(open.host.calls(), 1u);
    EXPECT_EQ(tavren_dadiza_reader_warmup_queries(open.reader, nullptr, 0, 0), 0);
    EXPECT_EQ(open.host.calls(), 2u);  // the metadata, and no query
    EXPECT_EQ(tavren_dadiza_reader_warmup_queries(open.reader, q, 1, 500), 0);
    EXPECT_EQ(open.host.calls(), 2u);

    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_calibrate_search_width(nullptr, q, 1, 1, nullptr); }),
              "out_l_search pointer is null");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_calibrate_search_width(nullptr, q, 1, 1, &out); }),
              "null reader handle");
    EXPECT_EQ(
        failure([&] { return tavren_dadiza_reader_calibrate_search_width(open.reader, q, size_t{1} << 63, 1, &out); }),
        "calibration queries length overflow");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_calibrate_search_width(open.reader, nullptr, 1, 1, &out); }),
              "calibration queries pointer is null");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_calibrate_search_width(open.reader, nullptr, 0, 1, &out); }),
              "calibrate_search_width: query count must be greater than 0");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_calibrate_search_width(open.reader, q, 1, 0, &out); }),
              "calibrate_search_width: top_k must be greater than 0");
    EXPECT_EQ(failure([&] { return tavren_dadiza_reader_calibrate_search_width(open.reader, q, 1, 10, &out); }),
              "calibrate_search_width: search-width calibration is currently only available for DiskANN");
    EXPECT_EQ(out, 42u);
}
