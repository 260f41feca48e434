// Allocations of the DiskANN reader's single-query search in steady state,
// through the reader's own source (page validation included), not a stand-in.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "allocation_watch.hpp"
#include "diskann_file_builder.hpp"
#include "diskann_io.hpp"
#include "memory_source.hpp"

namespace {

using namespace tavren;
using tavren::testing::AllocationWatch;
using tavren::testing::build_diskann_file;
using tavren::testing::MemorySource;
using tavren::testing::ring_contents;

// A warm memory host: every adjacency page already validated and preloaded,
// the raw-vector windows of the query cached. Each further query may allocate
// its rerank heap and nothing else: not once per beam round or per page.
TEST(DiskAnnReaderAllocations, WarmSingleQueryAllocatesOnlyTheRerankHeap) {
    struct Case {
        uint64_t n;
        uint64_t degree;
        uint64_t l_search;
    };
    for (const Case c : {Case{300, 4, 20}, Case{2000, 8, 50}, Case{2000, 8, 12}}) {
        const auto file = build_diskann_file(ring_contents(c.n, c.degree));
        MemorySource::Options host;
        host.read_latency_ns = 1000;  // the memory profile: beam 16, 4 KiB windows
        host.keep_log = false;
        MemorySource::Observer observer;
        std::shared_ptr<const io::SeekRead> input = MemorySource::make(file.bytes, host, &observer);
        read_options::VectorIndexReaderOptions options;
        options.memory_budget_bytes = uint64_t{1} << 30;
        diskann_io::DiskAnnIndexReader reader = diskann_io::DiskAnnIndexReader::open_with_options(input, options);
        reader.optimize_for_search();  // resident sections and the adjacency preload

        std::vector<float> query(8);
        for (size_t i = 0; i < query.size(); ++i) query[i] = 0.25f * static_cast<float>(i) + 1.0f;
        std::vector<int64_t> ids;
        std::vector<float> distances;
        for (int i = 0; i < 3; ++i) reader.search(query, 10, c.l_search, ids, distances);
        const std::vector<int64_t> first_ids = ids;
        const std::vector<float> first_distances = distances;

        const uint64_t calls = observer.stats().calls;
        AllocationWatch watch;
        for (int i = 0; i < 10; ++i) reader.search(query, 10, c.l_search, ids, distances);
        EXPECT_LE(watch.count(), 10u) << "n " << c.n << " L " << c.l_search;
        EXPECT_EQ(observer.stats().calls, calls) << "warm: nothing read";
        EXPECT_EQ(ids, first_ids);
        EXPECT_EQ(distances, first_distances);
        ASSERT_EQ(ids.size(), 10u);
    }
}

}  // namespace
