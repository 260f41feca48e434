// DiskANN filtered search over a file built by this library, opened through
// the reader from an in-memory host (memory profile, adjacency preloaded):
//  1. recall@10 and queries per second of filtered single queries (one
//     thread) and of one filtered batch (the pool), against brute force over
//     the admitted rows (its own queries per second, one thread), for filters
//     admitting 0.1 %, 1 %, 10 %, 50 % and 100 % of the rows;
//  2. the cost of turning a filter into the node set on both sides of
//     c = n / 16: the reader's path (row-ID order walk up to n / 16, scan
//     above), a binary search per value over the order, and the scan.
// Usage: diskann_filter_bench [rows] [queries] [threads]. The selectivity
// table runs with the default list size and with l_search 200 (where an
// all-admitting filter may take the graph path).
// Fashion-MNIST when present (the last `queries` rows are the queries), else
// a synthetic 128-dimensional mixture.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_memory_io.hpp"
#include "build_bench_common.hpp"
#include "diskann_filter.hpp"
#include "diskann_io.hpp"
#include "distance.hpp"
#include "index_io_util.hpp"
#include "pool.hpp"

using namespace tavren;
namespace ds = tavren::diskann_search;

using tavren::bench::BytesFile;

namespace {

// The portable serialisation of a 64-bit Roaring bitmap of values below 2^32.
std::vector<uint8_t> filter_bytes(const std::vector<uint64_t>& values) {
    Roaring bitmap;
    for (uint64_t v : values) bitmap.add(static_cast<uint32_t>(v));
    bitmap.runOptimize();
    std::vector<uint8_t> out(8 + 4 + bitmap.getSizeInBytes(true));
    const uint64_t one = 1;
    const uint32_t key = 0;
    std::memcpy(out.data(), &one, 8);
    std::memcpy(out.data() + 8, &key, 4);
    bitmap.write(reinterpret_cast<char*>(out.data() + 12), true);
    return out;
}

// A deterministic subset: row i is admitted when its hash falls below the share.
std::vector<uint64_t> admitted_rows(size_t n, double share) {
    std::vector<uint64_t> rows;
    for (size_t i = 0; i < n; ++i) {
        uint64_t h = (i + 1) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 31;
        if (static_cast<double>(h % 1000000) < share * 1000000.0) rows.push_back(i);
    }
    return rows;
}

template <class F>
double best_seconds(int reps, F&& f) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        const auto start = std::chrono::steady_clock::now();
        f();
        best = std::min(best, bench::seconds_since(start));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 30000;
    const size_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
    const size_t threads = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 3;
    bench::DataSet set = bench::read_fashion_mnist("/usr/share/datasets/fashion-mnist", rows);
    if (set.n == 0) set = bench::synthetic("synthetic", rows, 128, 7);
    const size_t d = set.d;
    const size_t n = set.n - nq;
    const std::span<const float> base(set.rows.data(), n * d);
    const std::span<const float> queries(set.rows.data() + n * d, nq * d);

    const auto build_start = std::chrono::steady_clock::now();
    std::vector<uint8_t> file = bench::build_diskann_file(base, n, d, threads);
    const double build_s = bench::seconds_since(build_start);
    auto bytes = std::make_shared<const std::vector<uint8_t>>(std::move(file));
    read_options::VectorIndexReaderOptions options;
    options.memory_budget_bytes = uint64_t{1} << 33;
    auto reader = diskann_io::DiskAnnIndexReader::open_with_options(std::make_shared<BytesFile>(bytes), options);
    reader.optimize_for_search();
    const auto& h = reader.header();
    std::printf("%s: %zu x %zu, build %.1f s, R %u, PQ m %u x %u bits, batch threads %zu\n", set.name.c_str(), n, d,
                build_s, h.max_degree, h.pq_m, h.pq_bits, threads);
    std::printf("%6s %9s %8s %9s %10s %10s %10s %12s %12s\n", "l", "admitted", "rows", "recall@10", "single QPS",
                "batch QPS", "brute QPS", "graph/query", "PQ dist/q");

    constexpr size_t k = 10;
    struct Row {
        uint64_t l_search;
        double share;
    };
    std::vector<Row> table;
    for (const uint64_t l : {uint64_t{0}, uint64_t{200}}) {
        for (const double share : {0.001, 0.01, 0.1, 0.5, 1.0}) table.push_back({l, share});
    }
    for (const auto [l_search, share] : table) {
        const std::vector<uint64_t> admitted = admitted_rows(n, share);
        const std::vector<uint8_t> filter = filter_bytes(admitted);
        // Brute force over the admitted rows (one thread), also the truth.
        std::vector<int64_t> truth(nq * k, -1);
        const auto brute_start = std::chrono::steady_clock::now();
        for (size_t q = 0; q < nq; ++q) {
            std::vector<std::pair<float, int64_t>> all;
            all.reserve(admitted.size());
            for (uint64_t r : admitted) {
                all.push_back({distance::fvec_l2sqr(queries.subspan(q * d, d), base.subspan(r * d, d)),
                               static_cast<int64_t>(r)});
            }
            const size_t top = std::min(k, all.size());
            std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(top), all.end());
            for (size_t i = 0; i < top; ++i) truth[q * k + i] = all[i].second;
        }
        const double brute_s = bench::seconds_since(brute_start);
        std::vector<int64_t> ids;
        std::vector<float> dist;
        uint64_t hits = 0, wanted = 0, graph = 0, pq_distances = 0;
        // One warm pass (loads the order, fills caches), then the timed one.
        double single_s = 0;
        for (int pass = 0; pass < 2; ++pass) {
            hits = wanted = graph = pq_distances = 0;
            const auto start = std::chrono::steady_clock::now();
            for (size_t q = 0; q < nq; ++q) {
                reader.search_with_roaring_filter(queries.subspan(q * d, d), k, l_search, filter, ids, dist);
                graph += reader.stats().filtered_graph_searches;
                pq_distances += reader.stats().filtered_pq_distances;
                for (size_t i = 0; i < k; ++i) {
                    const int64_t t = truth[q * k + i];
                    if (t < 0) continue;
                    ++wanted;
                    hits += std::count(ids.begin(), ids.end(), t);
                }
            }
            single_s = bench::seconds_since(start);
        }
        double batch_s = 0;
        pool::run_with_thread_cap(threads, [&] {
            batch_s = best_seconds(2, [&] { reader.search_batch_with_roaring_filter(queries, k, l_search, filter, ids, dist); });
        });
        std::printf("%6llu %8.1f%% %8zu %9.4f %10.0f %10.0f %10.0f %12.2f %12.0f\n",
                    static_cast<unsigned long long>(l_search), share * 100.0, admitted.size(),
                    wanted == 0 ? 1.0 : double(hits) / double(wanted), double(nq) / single_s, double(nq) / batch_s,
                    double(nq) / brute_s, double(graph) / double(nq), double(pq_distances) / double(nq));
    }

    // Node-set translation on both sides of c = n / 16.
    const std::shared_ptr<const std::vector<uint32_t>> order = reader.ensure_row_id_order();
    const ds::RowIdLookup lookup = [&](uint32_t node) { return reader.row_id(node); };
    const ds::RowIdEnumeration scan = [&](const ds::RowIdBlockVisitor& visit) {
        reader.try_for_each_row_id_block(visit);
    };
    std::printf("\nnode-set translation, n = %zu, n / 16 = %zu (best of 5, microseconds)\n", n, n / 16);
    std::printf("%8s %12s %14s %14s %10s\n", "c", "reader", "binary/value", "merge walk", "scan");
    for (const size_t c : {size_t{1}, size_t{100}, n / 64, n / 16, n / 16 + 1, n / 4, n}) {
        std::vector<uint64_t> values;
        const size_t step = std::max<size_t>(1, n / std::max<size_t>(c, 1));
        for (size_t i = 0; values.size() < c && i < n; i += step) values.push_back(i);
        const row_id_filter::RoaringTreemap filter = index_io_util::decode_roaring_filter(filter_bytes(values));
        const double reader_s = best_seconds(5, [&] { (void)reader.matching_nodes_for_filter(filter); });
        const double binary_s =
            best_seconds(5, [&] { (void)ds::node_set_from_ranges(*order, ds::matching_ranges_from_row_id_order(*order, filter, lookup)); });
        const double walk_s =
            best_seconds(5, [&] { (void)ds::node_set_from_ranges(*order, ds::matching_ranges_by_merge_walk(*order, filter, lookup)); });
        const double scan_s = best_seconds(5, [&] { (void)ds::matching_nodes_from_sequential_row_ids(filter, scan); });
        std::printf("%8zu %12.1f %14.1f %14.1f %10.1f\n", values.size(), reader_s * 1e6, binary_s * 1e6, walk_s * 1e6,
                    scan_s * 1e6);
    }
    return 0;
}
