// DiskANN format codecs on the read path: packed row-ID lookups, one page
// check, one list decode, and f16 narrowing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "diskann_format.hpp"
#include "distance.hpp"

namespace df = tavren::diskann_format;

namespace {

// A page of varint lists: nodes i = 0..k-1 with 16 neighbours each, ids near i.
struct PageFixture {
    df::DiskAnnHeader header;
    df::AdjacencyIndex index;
    std::vector<uint8_t> page = std::vector<uint8_t>(4096);
    uint64_t nodes = 0;

    PageFixture() {
        const uint64_t n = 1000;
        std::vector<std::vector<uint32_t>> lists;
        uint64_t used = 0;
        while (true) {
            std::vector<uint32_t> list;
            for (uint32_t k = 1; k <= 16; ++k) list.push_back(static_cast<uint32_t>((lists.size() + 7 * k) % n));
            std::sort(list.begin(), list.end());
            list.erase(std::unique(list.begin(), list.end()), list.end());
            std::vector<uint8_t> bytes;
            df::encode_adjacency_list(list, df::plan_adjacency_list(list).raw, bytes);
            if (used + bytes.size() > 4096) break;
            std::copy(bytes.begin(), bytes.end(), page.begin() + static_cast<std::ptrdiff_t>(used));
            if (lists.size() % 16 == 0) index.block_offsets.push_back(used);
            index.relative_offsets.push_back(static_cast<uint16_t>(used - index.block_offsets.back()));
            index.metadata.push_back(static_cast<uint16_t>(list.size()));
            used += bytes.size();
            lists.push_back(std::move(list));
        }
        nodes = lists.size();
        header.max_degree = 16;
        header.flags = df::kFlagsCompact;
        header.raw_vector_encoding = 1;
        header.sections[df::kSectionAdjacencyIndex].length = df::adjacency_index_serialized_len(nodes);
        header.sections[df::kSectionAdjacencyPages].length = 4096;
        // Neighbour ids run to n - 1; the index covers the page's own nodes.
        header.vector_count = n;
    }
};

void BM_ValidateAdjacencyPage(benchmark::State& state) {
    PageFixture f;
    for (auto _ : state) df::validate_adjacency_page_payload(f.header, f.index, 0, f.page);
    state.counters["nodes"] = static_cast<double>(f.nodes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_ValidateAdjacencyPage);

void BM_DecodeAdjacencyList(benchmark::State& state) {
    PageFixture f;
    std::vector<uint32_t> out;
    uint64_t node = 0;
    for (auto _ : state) {
        const auto loc = *f.index.locator(node);
        benchmark::DoNotOptimize(
            df::decode_adjacency_list(std::span<const uint8_t>(f.page).subspan(loc.offset), loc.degree(), loc.raw(), out));
        node = node + 1 == f.nodes ? 0 : node + 1;
    }
}
BENCHMARK(BM_DecodeAdjacencyList);

void BM_PackedRowIdGet(benchmark::State& state) {
    const uint64_t n = 1 << 20;
    const df::RowIdStorage ids =
        df::RowIdStorage::encode(n, [](uint64_t i) { return static_cast<int64_t>((i * 2654435761u) % 1000003); });
    uint64_t node = 0;
    int64_t sum = 0;
    for (auto _ : state) {
        sum += *ids.get(node);
        node = (node + 7919) & (n - 1);
    }
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_PackedRowIdGet);

// Argument 0: the scalar conversion; 1: F16C when the processor has it.
void BM_F32ToF16(benchmark::State& state) {
    const bool scalar = state.range(0) == 0;
    std::vector<float> in(1024);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i) * 0.37f - 100.0f;
    std::vector<uint16_t> out(in.size());
    tavren::distance::force_scalar_for_testing(scalar);
    for (auto _ : state) {
        tavren::distance::f32_to_f16(in, out);
        benchmark::DoNotOptimize(out.data());
    }
    tavren::distance::force_scalar_for_testing(false);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_F32ToF16)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
