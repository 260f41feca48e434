// What every IVF file reader must do, as typed tests over a family's traits:
// full-width searches equal an exhaustive search, a batch equals its queries
// searched one by one, filtered searches never return a row outside the
// filter, a batch reads every probed list exactly once, corrupted headers
// fail with the family's texts, and results do not depend on the pool size.
//
// A family instantiates the suite with a traits type giving:
//   Reader                        its file reader (an ivf_search::IvfIndexReader
//                                 with centroids() and list_payload_len())
//   kName                         for test names
//   struct File                   a built file: bytes(), d(), nlist(), and
//                                 exact(query, k, filter), the exhaustive top k
//                                 with the family's own distances
//   make(metric, d, nlist, n, seed)   a random file
//   header_faults()               {mutate the 64 header bytes, error text}
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "distance.hpp"
#include "expect.hpp"
#include "guards.hpp"
#include "index_io_util.hpp"
#include "ivf_search.hpp"
#include "ivfflat_file_builder.hpp"
#include "ivfflat_io.hpp"
#include "ivfpq_fixture.hpp"
#include "ivfpq_io.hpp"
#include "ivfrq_fixture.hpp"
#include "ivfrq_io.hpp"
#include "ivfsq_fixture.hpp"
#include "ivfsq_io.hpp"
#include "sq_kernels.hpp"
#include "kmeans.hpp"
#include "memory_source.hpp"
#include "numeric.hpp"
#include "row_id_filter.hpp"

namespace {

using tavren::ErrorKind;
using tavren::SearchResult;
using tavren::row_id_filter::RoaringTreemap;
using tavren::row_id_filter::RowIdFilter;
using tavren::testing::MemorySource;
using tavren::testing::PoolGuard;

// One forged header: what to change in the 64 bytes and the text expected.
struct HeaderFault {
    std::string name;
    std::function<void(std::vector<uint8_t>&)> mutate;
    std::string message;
};

template <class T>
void put(std::vector<uint8_t>& bytes, size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// ---- IVF-FLAT ----------------------------------------------------------------------

struct IvfFlatTraits {
    using Reader = tavren::ivfflat_io::IVFFlatIndexReader;
    static constexpr const char* kName = "IVF-FLAT";

    struct File {
        tavren::testing::IvfFlatFileBuilder builder;
        std::vector<uint8_t> bytes() const { return builder.build(); }
        size_t d() const { return builder.d(); }
        size_t nlist() const { return builder.lists.size(); }
        SearchResult exact(std::span<const float> query, size_t k, const RowIdFilter* filter) const {
            return tavren::testing::brute_force_flat(builder, query, k, filter);
        }
    };

    static File make(uint32_t metric, size_t d, size_t nlist, size_t n, uint32_t seed) {
        std::mt19937 rng(seed);
        return File{tavren::testing::random_flat_file(d, nlist, n, metric, rng, -7)};
    }

    static std::vector<HeaderFault> header_faults() {
        return {
            {"magic", [](auto& b) { put<uint32_t>(b, 0, 0x4956505A); }, "Invalid IVFFLAT magic: 0x4956505A"},
            {"version", [](auto& b) { put<uint32_t>(b, 4, 7); }, "Unsupported IVFFLAT version: 7"},
            {"dimension", [](auto& b) { put<int32_t>(b, 8, 0); }, "invalid header field d: 0 (must be positive)"},
            {"nlist", [](auto& b) { put<int32_t>(b, 12, -2); }, "invalid header field nlist: -2 (must be positive)"},
            {"metric", [](auto& b) { put<uint32_t>(b, 16, 3); }, "Unknown metric type: 3"},
            {"reserved", [](auto& b) { b[40] = 1; }, "IVFFLAT reserved bytes must be zero"},
        };
    }
};

// ---- IVF-SQ ------------------------------------------------------------------------

struct IvfSqTraits {
    using Reader = tavren::ivfsq_io::IVFSQIndexReader;
    static constexpr const char* kName = "IVF-SQ";

    struct File {
        std::vector<uint8_t> file;
        size_t dimension = 0;
        size_t lists = 0;
        uint32_t metric = 0;
        std::vector<uint8_t> bytes() const { return file; }
        size_t d() const { return dimension; }
        size_t nlist() const { return lists; }
        // Every row of every list with the family's distances (the scan
        // kernel with no threshold), ascending in total order, then by row ID.
        SearchResult exact(std::span<const float> query, size_t k, const RowIdFilter* filter) const {
            Reader r = tavren::testing::open_sq_reader(file);
            const std::vector<float> q = tavren::distance::preprocess_vectors(query, 1, dimension, metric);
            std::vector<std::pair<float, int64_t>> all;
            tavren::sq::SqScanScratch scratch;
            std::vector<size_t> every(lists);
            std::iota(every.begin(), every.end(), size_t{0});
            for (const auto& list : r.read_inverted_lists(every)) {
                tavren::sq::distances_to_blocked_codes_with_offset(
                    r.list_sqs()[list.list], q, list.codes(), list.ids.size(), std::numeric_limits<float>::infinity(),
                    r.centroid(list.list), metric, tavren::sq::kScanBlockRows, scratch);
                for (size_t i = 0; i < list.ids.size(); ++i) {
                    if (filter == nullptr || filter->contains(list.ids[i])) all.emplace_back(scratch.distances[i], list.ids[i]);
                }
            }
            std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
                if (a.first != b.first) return tavren::total_order_less(a.first, b.first);
                return a.second < b.second;
            });
            SearchResult out;
            out.ids.assign(k, -1);
            out.distances.assign(k, tavren::kF32Max);
            for (size_t i = 0; i < k && i < all.size(); ++i) {
                out.distances[i] = all[i].first;
                out.ids[i] = all[i].second;
            }
            return out;
        }
    };

    static File make(uint32_t metric, size_t d, size_t nlist, size_t n, uint32_t seed) {
        auto f = tavren::testing::make_sq_fixture(n, d, nlist, metric, seed);
        return File{std::move(f.file), d, nlist, metric};
    }

    static std::vector<HeaderFault> header_faults() {
        return {
            {"magic", [](auto& b) { put<uint32_t>(b, 0, 0x4956505A); }, "Invalid IVF-SQ magic: 0x4956505A"},
            {"version", [](auto& b) { put<uint32_t>(b, 4, 7); }, "Unsupported IVF-SQ version: 7"},
            {"dimension", [](auto& b) { put<int32_t>(b, 8, 0); }, "invalid header field d: 0 (must be positive)"},
            {"nlist", [](auto& b) { put<int32_t>(b, 12, -2); }, "invalid header field nlist: -2 (must be positive)"},
            {"metric", [](auto& b) { put<uint32_t>(b, 16, 3); }, "Unknown metric type: 3"},
            {"reserved", [](auto& b) { b[50] = 1; }, "IVF-SQ reserved bytes must be zero"},
        };
    }
};

// ---- IVF-PQ ------------------------------------------------------------------------

struct IvfPqTraits {
    using Reader = tavren::ivfpq_io::IVFPQIndexReader;
    static constexpr const char* kName = "IVF-PQ";

    struct File {
        tavren::testing::PqFixture fixture;
        std::vector<uint8_t> bytes() const { return fixture.file; }
        size_t d() const { return fixture.index.dimension(); }
        size_t nlist() const { return fixture.index.nlist(); }
        // Every row scored with a table per (query, list), as the scan does
        // without the precomputed table.
        SearchResult exact(std::span<const float> query, size_t k, const RowIdFilter* filter) const {
            return tavren::testing::brute_force_pq(fixture.index, query, k, filter);
        }
    };

    // 8-bit codes of two dimensions per sub-quantizer.
    static File make(uint32_t metric, size_t d, size_t nlist, size_t n, uint32_t seed) {
        return File{tavren::testing::make_pq_fixture(metric, d, d / 2, 8, nlist, n, seed)};
    }

    static std::vector<HeaderFault> header_faults() {
        return {
            {"magic", [](auto& b) { put<uint32_t>(b, 0, 0x4956505A); }, "Invalid IVFPQ magic: 0x4956505A"},
            {"version", [](auto& b) { put<uint32_t>(b, 4, 7); }, "Unsupported IVFPQ version: 7"},
            {"dimension", [](auto& b) { put<int32_t>(b, 8, 0); }, "invalid header field d: 0 (must be positive)"},
            {"nlist", [](auto& b) { put<int32_t>(b, 12, -2); }, "invalid header field nlist: -2 (must be positive)"},
            {"metric", [](auto& b) { put<uint32_t>(b, 28, 3); }, "Unknown metric type: 3"},
            {"reserved", [](auto& b) { b[50] = 1; }, "IVFPQ reserved bytes must be zero"},
            {"flags", [](auto& b) { put<uint32_t>(b, 40, 0x1C); }, "Unsupported IVFPQ flags: 0x00000010"},
        };
    }
};

// ---- IVF-RQ ------------------------------------------------------------------------

// One-bit codes: every row's estimate is final (no refinement is pruned), so
// a full-width search equals scoring every row with the same formula.
struct IvfRqTraits {
    using Reader = tavren::ivfrq_io::IVFRQIndexReader;
    static constexpr const char* kName = "IVF-RQ";

    struct File {
        std::vector<uint8_t> file;
        size_t dimension = 0;
        size_t lists = 0;
        std::vector<uint8_t> bytes() const { return file; }
        size_t d() const { return dimension; }
        size_t nlist() const { return lists; }
        SearchResult exact(std::span<const float> query, size_t k, const RowIdFilter* filter) const {
            return tavren::testing::rq_exhaustive(file, query, k, filter);
        }
    };

    static File make(uint32_t metric, size_t d, size_t nlist, size_t n, uint32_t seed) {
        auto f = tavren::testing::make_rq_fixture(n, d, nlist, metric, 1, seed);
        return File{std::move(f.file), d, nlist};
    }

    static std::vector<HeaderFault> header_faults() {
        return {
            {"magic", [](auto& b) { put<uint32_t>(b, 0, 0x4956505A); }, "invalid IVF-RQ magic: 0x4956505A"},
            {"version", [](auto& b) { put<uint32_t>(b, 4, 7); }, "unsupported IVF-RQ version: 7"},
            {"dimension", [](auto& b) { put<int32_t>(b, 8, 0); }, "invalid IVF-RQ dimension: 0; expected positive"},
            {"nlist", [](auto& b) { put<int32_t>(b, 16, -2); }, "invalid IVF-RQ nlist: -2; expected positive"},
            {"metric", [](auto& b) { put<uint32_t>(b, 20, 3); }, "unknown metric type: 3"},
            {"flags", [](auto& b) { put<uint32_t>(b, 24, 6); }, "unsupported IVF-RQ flags 0x00000006"},
        };
    }
};

// ---- The suite ---------------------------------------------------------------------

template <class Traits>
class IvfReaderConformance : public ::testing::Test {
protected:
    using Reader = typename Traits::Reader;
    static_assert(tavren::ivf_search::IvfIndexReader<Reader>);

    static Reader open(std::vector<uint8_t> bytes, MemorySource::Observer* observer = nullptr) {
        std::vector<uint8_t> header(bytes.begin(), bytes.begin() + 64);
        auto input = MemorySource::make(std::move(bytes), MemorySource::Options{}, observer);
        return Reader::open_with_header(std::move(input), std::span<const uint8_t, 64>(header.data(), 64));
    }

    static std::vector<float> queries(size_t nq, size_t d, uint32_t seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> q(nq * d);
        for (float& x : q) x = u(rng);
        return q;
    }

    static SearchResult slice(const SearchResult& r, size_t i, size_t k) {
        SearchResult out;
        out.ids.assign(r.ids.begin() + static_cast<std::ptrdiff_t>(i * k), r.ids.begin() + static_cast<std::ptrdiff_t>(i * k + k));
        out.distances.assign(r.distances.begin() + static_cast<std::ptrdiff_t>(i * k),
                             r.distances.begin() + static_cast<std::ptrdiff_t>(i * k + k));
        return out;
    }
};

using Families = ::testing::Types<IvfFlatTraits, IvfSqTraits, IvfPqTraits, IvfRqTraits>;
struct FamilyNames {
    template <class T>
    static std::string GetName(int) {
        std::string name = T::kName;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    }
};
TYPED_TEST_SUITE(IvfReaderConformance, Families, FamilyNames);

TYPED_TEST(IvfReaderConformance, FullWidthEqualsExhaustiveSearch) {
    for (uint32_t metric : {0u, 1u, 2u}) {
        const auto file = TypeParam::make(metric, 12, 9, 900, 5 + metric);
        auto reader = this->open(file.bytes());
        const std::vector<float> q = this->queries(6, file.d(), 40 + metric);
        const size_t k = 10;
        for (size_t i = 0; i < 6; ++i) {
            const std::span<const float> query(q.data() + i * file.d(), file.d());
            const SearchResult want = file.exact(query, k, nullptr);
            const SearchResult single = reader.search_with_filter(query, k, file.nlist(), nullptr);
            EXPECT_EQ(single.distances, want.distances) << "metric " << metric << " query " << i;
            EXPECT_EQ(single.ids, want.ids) << "metric " << metric << " query " << i;
        }
        const SearchResult batch = reader.search_batch_range(q, 6, k, 0, file.nlist(), {}, {}, nullptr);
        for (size_t i = 0; i < 6; ++i) {
            const SearchResult want = file.exact(std::span<const float>(q.data() + i * file.d(), file.d()), k, nullptr);
            EXPECT_EQ(this->slice(batch, i, k).distances, want.distances) << "metric " << metric << " query " << i;
        }
    }
}

TYPED_TEST(IvfReaderConformance, BatchEqualsItsQueriesOneByOne) {
    const auto file = TypeParam::make(0, 8, 12, 1500, 9);
    auto reader = this->open(file.bytes());
    const size_t nq = 20, k = 7;
    const std::vector<float> q = this->queries(nq, file.d(), 77);
    for (size_t nprobe : {size_t{1}, size_t{3}, file.nlist()}) {
        const SearchResult batch = reader.search_batch_range(q, nq, k, 0, nprobe, {}, {}, nullptr);
        for (size_t i = 0; i < nq; ++i) {
            const SearchResult single =
                reader.search_with_filter(std::span<const float>(q.data() + i * file.d(), file.d()), k, nprobe, nullptr);
            const SearchResult part = this->slice(batch, i, k);
            EXPECT_EQ(part.ids, single.ids) << "nprobe " << nprobe << " query " << i;
            EXPECT_EQ(part.distances, single.distances) << "nprobe " << nprobe << " query " << i;
        }
    }
}

TYPED_TEST(IvfReaderConformance, FiltersNeverLeak) {
    const auto file = TypeParam::make(2, 10, 8, 1200, 13);
    auto reader = this->open(file.bytes());
    std::vector<uint64_t> allowed;
    for (uint64_t id = 0; id < 1200; id += 3) allowed.push_back(id);
    const RoaringTreemap treemap =
        tavren::index_io_util::decode_roaring_filter(tavren::testing::roaring_filter_bytes(allowed));
    const RowIdFilter filter(treemap);
    const size_t nq = 8, k = 12;
    const std::vector<float> q = this->queries(nq, file.d(), 3);
    for (size_t nprobe : {size_t{2}, file.nlist()}) {
        const SearchResult batch = reader.search_batch_range(q, nq, k, 0, nprobe, {}, {}, &filter);
        for (int64_t id : batch.ids) {
            if (id != -1) {
                EXPECT_TRUE(filter.contains(id)) << "row " << id << " leaked at nprobe " << nprobe;
            }
        }
        for (size_t i = 0; i < nq; ++i) {
            const std::span<const float> query(q.data() + i * file.d(), file.d());
            const SearchResult single = reader.search_with_filter(query, k, nprobe, &filter);
            for (int64_t id : single.ids) {
                if (id != -1) {
                    EXPECT_TRUE(filter.contains(id)) << "row " << id << " leaked at nprobe " << nprobe;
                }
            }
            if (nprobe == file.nlist()) {
                EXPECT_EQ(single.distances, file.exact(query, k, &filter).distances);
            }
        }
    }
}

TYPED_TEST(IvfReaderConformance, ABatchReadsEveryProbedListOnce) {
    const auto file = TypeParam::make(0, 6, 16, 2000, 21);
    MemorySource::Observer observer;
    auto reader = this->open(file.bytes(), &observer);
    reader.ensure_loaded();
    const size_t nq = 30, nprobe = 4;
    const std::vector<float> q = this->queries(nq, file.d(), 8);
    observer.reset();
    (void)reader.search_batch_range(q, nq, 5, 0, nprobe, {}, {}, nullptr);
    const tavren::kmeans::TopKBatch probes =
        tavren::kmeans::find_topk_batch(q, nq, reader.centroids(), file.nlist(), file.d(), nprobe);
    std::set<size_t> probed;
    for (const auto& lists : probes.lists) probed.insert(lists.begin(), lists.end());
    uint64_t want_bytes = 0;
    size_t want_ranges = 0;
    for (size_t l : probed) {
        want_bytes += reader.list_payload_len(l);
        want_ranges += reader.list_payload_len(l) != 0 ? 1 : 0;
    }
    const tavren::testing::SourceStats stats = observer.stats();
    std::set<uint64_t> offsets;
    for (const auto& call : stats.log) {
        for (const auto& r : call) EXPECT_TRUE(offsets.insert(r.offset).second) << "offset " << r.offset << " read twice";
    }
    EXPECT_EQ(stats.ranges, want_ranges);
    EXPECT_EQ(stats.bytes, want_bytes);
}

TYPED_TEST(IvfReaderConformance, CorruptedHeadersFailWithTheFamilysTexts) {
    const auto file = TypeParam::make(0, 4, 3, 50, 2);
    for (const HeaderFault& fault : TypeParam::header_faults()) {
        std::vector<uint8_t> bytes = file.bytes();
        fault.mutate(bytes);
        tavren::testing::expect_error([&] { (void)this->open(bytes); }, ErrorKind::InvalidData, fault.message);
    }
}

TYPED_TEST(IvfReaderConformance, ResultsDoNotDependOnThePoolSize) {
    // Large enough for the batch to be scanned on the pool.
    const auto file = TypeParam::make(1, 16, 8, 6000, 31);
    const size_t nq = 48, k = 10;
    const std::vector<float> q = this->queries(nq, file.d(), 12);
    std::map<size_t, SearchResult> got;
    for (size_t threads : {size_t{1}, size_t{8}}) {
        PoolGuard pool(threads);
        auto reader = this->open(file.bytes());
        got[threads] = reader.search_batch_range(q, nq, k, 0, file.nlist(), {}, {}, nullptr);
    }
    EXPECT_EQ(got[1].ids, got[8].ids);
    EXPECT_EQ(got[1].distances, got[8].distances);
    for (size_t i = 0; i < nq; i += 7) {
        const SearchResult want = file.exact(std::span<const float>(q.data() + i * file.d(), file.d()), k, nullptr);
        EXPECT_EQ(this->slice(got[1], i, k).distances, want.distances) << i;
    }
}

}  // namespace
