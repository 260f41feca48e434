// The IVF-PQ reader over files of the writer: header checks at open, the
// metadata in one read with every refusal in order, non-finite metadata,
// sorted IDs and transposed codes back from the lists, batched reads within
// the host's range cap, truncation at each section, the precomputed table
// within its budget, and the search argument checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"
#include "expect.hpp"
#include "ivfpq.hpp"
#include "ivfpq_io.hpp"
#include "memory_sink.hpp"
#include "memory_source.hpp"

using tavren::ErrorKind;
using tavren::ivfpq::IVFPQIndex;
using tavren::ivfpq_io::IVFPQIndexReader;
using tavren::pq::ProductQuantizer;
using tavren::testing::MemorySink;
using tavren::testing::MemorySource;
using tavren::testing::put;

namespace {

using Bytes = std::vector<uint8_t>;
using Ids = std::vector<std::vector<int64_t>>;
using Codes = std::vector<std::vector<uint8_t>>;

IVFPQIndex index_of(size_t d, size_t m, size_t nbits, Ids ids, Codes codes, uint32_t metric = 0,
                    bool with_opq = false) {
    const size_t nlist = ids.size();
    ProductQuantizer pq = ProductQuantizer::with_nbits(d, m, nbits);
    std::vector<float> codebook(m * pq.ksub() * (d / m));
    for (size_t i = 0; i < codebook.size(); ++i) codebook[i] = static_cast<float>(i % 97) / 64.0f;
    pq.set_centroids(std::move(codebook));
    std::vector<float> centroids(nlist * d);
    for (size_t i = 0; i < centroids.size(); ++i) centroids[i] = static_cast<float>(i) / 8.0f;
    std::optional<tavren::opq::OPQMatrix> opq;
    if (with_opq) {
        std::vector<float> rotation(d * d, 0.0f);
        for (size_t k = 0; k < d; ++k) rotation[k * d + (d - 1 - k)] = 1.0f;
        opq = tavren::opq::OPQMatrix::from_rotation(d, m, std::move(rotation));
    }
    return IVFPQIndex::from_parts(d, nlist, metric, std::move(centroids), std::move(pq), std::move(opq),
                                  std::move(ids), std::move(codes));
}

Bytes file_of(const IVFPQIndex& index) {
    MemorySink sink;
    tavren::ivfpq_io::write_ivfpq_index(index, sink);
    return sink.bytes();
}

struct Opened {
    IVFPQIndexReader reader;
    MemorySource::Observer observer;
};

Opened open(const Bytes& file, MemorySource::Options options = {}) {
    auto source = std::make_unique<MemorySource>(file, options);
    MemorySource::Observer observer = source->observer();
    std::array<uint8_t, 64> header{};
    std::memcpy(header.data(), file.data(), 64);
    return Opened{IVFPQIndexReader::open_with_header(std::move(source), header), observer};
}

template <class T>
Bytes with(Bytes b, size_t offset, T value) {
    std::memcpy(b.data() + offset, &value, sizeof(T));
    return b;
}

// A list index's IDs and codes of rows 5, 3, 3 (codes 10 r + k).
IVFPQIndex three_lists(bool with_opq = false) {
    return index_of(4, 4, 8, Ids{{5, 3, 3}, {}, {-2, 8}},
                    Codes{{0, 1, 2, 3, 10, 11, 12, 13, 20, 21, 22, 23}, {}, {30, 31, 32, 33, 40, 41, 42, 43}}, 0,
                    with_opq);
}

}  // namespace

TEST(IvfPqReader, WriteOpenReadListsGivesSortedIdsAndTransposedCodes) {
    for (bool with_opq : {false, true}) {
        const IVFPQIndex index = three_lists(with_opq);
        Opened o = open(file_of(index));
        EXPECT_FALSE(o.reader.loaded());
        EXPECT_EQ(o.observer.stats().calls, 0u);
        o.reader.ensure_loaded();
        EXPECT_EQ(o.observer.stats().calls, 1u);  // all metadata in one read
        EXPECT_EQ(o.reader.has_opq(), with_opq);
        EXPECT_EQ(o.reader.centroids(), index.centroids());
        EXPECT_EQ(std::vector<float>(o.reader.pq().centroids().begin(), o.reader.pq().centroids().end()),
                  std::vector<float>(index.pq().centroids().begin(), index.pq().centroids().end()));
        if (with_opq) {
            EXPECT_EQ(std::vector<float>(o.reader.opq()->rotation().begin(), o.reader.opq()->rotation().end()),
                      std::vector<float>(index.opq()->rotation().begin(), index.opq()->rotation().end()));
        }
        EXPECT_EQ(o.reader.total(), 5u);
        EXPECT_EQ(o.reader.pq_m(), 4u);
        EXPECT_EQ(o.reader.code_bits(), 8u);

        const std::vector<size_t> lists{0, 1, 2, 0};
        const std::vector<tavren::ivf_lists::ListData> got = o.reader.read_lists(lists);
        EXPECT_EQ(o.observer.stats().calls, 2u);  // one batched read for all non-empty payloads
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0].ids, (std::vector<int64_t>{3, 3, 5}));
        const auto codes0 = got[0].codes.codes();
        EXPECT_EQ(Bytes(codes0.begin(), codes0.end()), (Bytes{10, 20, 0, 11, 21, 1, 12, 22, 2, 13, 23, 3}));
        EXPECT_TRUE(got[1].ids.empty());
        EXPECT_EQ(got[1].codes.codes().size(), 0u);
        EXPECT_EQ(got[2].ids, (std::vector<int64_t>{-2, 8}));
        const auto codes2 = got[2].codes.codes();
        EXPECT_EQ(Bytes(codes2.begin(), codes2.end()), (Bytes{30, 40, 31, 41, 32, 42, 33, 43}));
        EXPECT_EQ(got[3].ids, got[0].ids);
    }
}

TEST(IvfPqReader, RangeCapOfOneGivesOneCallPerList) {
    MemorySource::Options options;
    options.max_ranges_per_call = 1;
    Opened o = open(file_of(three_lists()), options);
    const std::vector<size_t> lists{0, 1, 2};
    o.reader.read_lists(lists);
    const tavren::testing::SourceStats s = o.observer.stats();
    EXPECT_EQ(s.calls, 3u);  // metadata, list 0, list 2
    EXPECT_EQ(s.cap_violations, 0u);
}

TEST(IvfPqReader, LoadRefusalsInOrderLeaveTheReaderUnloaded) {
    const Bytes good = file_of(three_lists());
    const size_t table = 64 + 4 * 12 + 4 * 4 * 256;
    struct Case {
        std::string name;
        Bytes file;
        std::string message;
        ErrorKind kind;
    };
    Bytes wide(64, 0);
    wide = with<uint32_t>(wide, 0, 0x49565051);
    wide = with<uint32_t>(wide, 4, 1);
    wide = with<int32_t>(wide, 8, 32769);
    wide = with<int32_t>(wide, 12, 1);
    wide = with<int32_t>(wide, 16, 1);
    wide = with<int32_t>(wide, 20, 256);
    wide = with<int32_t>(wide, 24, 32769);
    wide = with<uint32_t>(wide, 40, 0xC);
    // A forged header claiming 2^30 centroid values over a 64-byte file.
    Bytes forged = with<int32_t>(with<int32_t>(with<int32_t>(wide, 8, 1024), 24, 1024), 12, 1048576);
    const std::vector<Case> cases{
        {"d x d above the limit", wide, "section size 1073807361 exceeds maximum 1073741824", ErrorKind::InvalidData},
        {"forged sizes", forged, "read_ranges callback failed", ErrorKind::Other},
        {"total one more", with<int64_t>(good, 32, 6), "IVFPQ header vector count 6 does not match list total 5",
         ErrorKind::InvalidData},
        {"negative count", with<int32_t>(good, table + 8, -1), "negative list count -1 at list 0",
         ErrorKind::InvalidData},
        {"negative id length", with<int32_t>(good, table + 12, -4), "negative id_bytes_len -4 at list 0",
         ErrorKind::InvalidData},
        {"missing id length", with<int32_t>(good, table + 12, 0), "missing id_bytes_len for non-empty IVFPQ list 0",
         ErrorKind::InvalidData},
        {"NaN centroid", with<float>(good, 64 + 8, std::nanf("")), "IVFPQ centroids holds a non-finite value",
         ErrorKind::InvalidData},
        {"infinite codeword", with<float>(good, 64 + 48 + 400, INFINITY), "IVFPQ codebook holds a non-finite value",
         ErrorKind::InvalidData},
    };
    for (const Case& c : cases) {
        Opened o = open(c.file);
        tavren::testing::expect_error([&] { o.reader.ensure_loaded(); }, c.kind, c.message);
        EXPECT_FALSE(o.reader.loaded()) << c.name;
    }
    Bytes rotated = file_of(three_lists(true));
    rotated = with<float>(rotated, 64 + 4, -INFINITY);
    Opened o = open(rotated);
    tavren::testing::expect_error([&] { o.reader.ensure_loaded(); }, ErrorKind::InvalidData,
                                  "IVFPQ rotation holds a non-finite value");
}

TEST(IvfPqReader, TruncationAtEachSection) {
    for (bool with_opq : {false, true}) {
        const Bytes good = file_of(three_lists(with_opq));
        const size_t rotation = with_opq ? 64 : 0;
        const size_t centroids_end = 64 + rotation + 48;
        const size_t codebook_end = centroids_end + 4 * 4 * 256;
        const size_t table_end = codebook_end + 48;
        for (size_t cut : {size_t{64 + 2}, centroids_end - 1, codebook_end - 1, table_end - 1}) {
            Opened o = open(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)));
            tavren::testing::expect_error([&] { o.reader.ensure_loaded(); }, ErrorKind::Other,
                                          "read_ranges callback failed");
            EXPECT_FALSE(o.reader.loaded());
        }
        for (size_t cut : {table_end + 5, good.size() - 1}) {
            Opened o = open(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)));
            o.reader.ensure_loaded();
            const std::vector<size_t> lists{0, 2};
            tavren::testing::expect_error([&] { o.reader.read_lists(lists); }, ErrorKind::Other,
                                          "read_ranges callback failed");
            EXPECT_TRUE(o.reader.loaded());
        }
    }
}

TEST(IvfPqReader, PrecomputedTableWithinItsBudget) {
    Opened l2 = open(file_of(three_lists()));
    EXPECT_FALSE(l2.reader.build_precomputed_table(3 * 4 * 256 * 4 - 1));
    EXPECT_TRUE(l2.reader.precomputed_table().empty());
    EXPECT_TRUE(l2.reader.build_precomputed_table(3 * 4 * 256 * 4));
    EXPECT_EQ(l2.reader.precomputed_table(),
              tavren::ivfpq_io::compute_precomputed_table(l2.reader.centroids(), l2.reader.pq(), 3, 4));
    const IVFPQIndex ip = index_of(4, 4, 8, Ids{{1}}, Codes{{1, 2, 3, 4}}, 1);
    Opened o = open(file_of(ip));
    EXPECT_FALSE(o.reader.build_precomputed_table(std::numeric_limits<uint64_t>::max()));
    EXPECT_TRUE(o.reader.loaded());
}

TEST(IvfPqReader, SearchValidatesAfterLoadingInOrder) {
    Opened o = open(file_of(three_lists()));
    const std::vector<float> q(4, 0.0f);
    const std::vector<float> short_q(3, 0.0f);
    tavren::testing::expect_error([&] { o.reader.search_with_filter(short_q, 0, 0, nullptr); },
                                  "query length 3 does not match index dimension 4");
    EXPECT_TRUE(o.reader.loaded());
    tavren::testing::expect_error([&] { o.reader.search_with_filter(q, 0, 0, nullptr); }, "k must be greater than 0");
    tavren::testing::expect_error([&] { o.reader.search_with_filter(q, 1, 0, nullptr); },
                                  "nprobe must be greater than 0");
    tavren::testing::expect_error([&] { o.reader.search_batch_range(q, 0, 1, 0, 1, {}, {}, nullptr); },
                                  "nq must be greater than 0");
    tavren::testing::expect_error([&] { o.reader.search_batch_range(q, 1, 1, 2, 2, {}, {}, nullptr); },
                                  "probe range must be non-empty");
    const std::vector<int64_t> ids(2, 0);
    const std::vector<float> dists(1, 0.0f);
    tavren::testing::expect_error([&] { o.reader.search_batch_range(q, 1, 2, 0, 1, ids, dists, nullptr); },
                                  "seed result lengths must both equal nq * k");
}
