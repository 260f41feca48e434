// Raw-vector window reads of DiskANN batches: the streaming chunk rerank
// against whole-query sessions, over an existing DiskANN index file (for
// example one the ANN harness kept with --index-file PATH --keep-index) and
// the Fashion-MNIST test images as queries.
//
// For each of two reader set-ups (no caches at all; the budgets of a 4 GiB
// reader), runs the first `queries` test images
//   - streaming: one pool thread, batches of 1024 (one chunk each);
//   - sessions: eight pool threads, batches of 32 (at most four per worker);
// and prints the raw-vector windows read per 1024-query chunk, the
// (query, node) references and distinct windows of the streaming rerank, and
// the dedupe ratio (windows the sessions read / windows streaming read).
// Results are compared bit for bit. Usage:
//   diskann_batch_bench INDEX_FILE [queries (default 4096)] [data dir]
//   diskann_batch_bench --scaling INDEX_FILE [queries (default 10000)] [L list (default 20,50)] [data dir]
// The second form times batches of 1000 queries (top_k 10, the memory
// profile's default budgets, as the ANN harness's memory mode) at pools of 1
// and 8 threads, the two pool sizes alternating round after round, and prints
// per round the batch QPS, the process CPU time per query and the calling
// thread's CPU time per batch: on a shared machine the CPU figures show
// whether a change in QPS is the code's or the machine's.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench_memory_io.hpp"
#include "dataset.hpp"
#include "diskann_io.hpp"
#include "io.hpp"
#include "pool.hpp"
#include "read_options.hpp"

using namespace tavren;

using tavren::bench::BytesFile;

namespace {

struct Totals {
    uint64_t windows_read = 0;
    uint64_t references = 0;
    uint64_t distinct_windows = 0;
    uint64_t chunks = 0;
    std::vector<int64_t> ids;
    std::vector<float> distances;
};

Totals run(const std::shared_ptr<const std::vector<uint8_t>>& file, bool no_caches, std::span<const float> queries,
           size_t d, size_t batch, size_t threads) {
    pool::set_num_threads_for_testing(threads);
    read_options::VectorIndexReaderOptions options;
    if (no_caches) {
        read_options::CacheBudgets none;
        none.memory_budget_bytes = uint64_t{1} << 32;
        options.explicit_cache_budgets = none;
    }
    auto reader = diskann_io::DiskAnnIndexReader::open_with_options(std::make_shared<BytesFile>(file), options);
    reader.optimize_for_search();
    Totals t;
    std::vector<int64_t> ids;
    std::vector<float> dist;
    for (size_t at = 0; at < queries.size(); at += batch * d) {
        const size_t len = std::min(batch * d, queries.size() - at);
        reader.search_batch(queries.subspan(at, len), 10, 100, ids, dist);
        const auto& s = reader.stats();
        t.windows_read += s.vector_windows_read;
        t.references += s.rerank_candidates;
        t.distinct_windows += s.rerank_windows;
        t.chunks += s.query_batches;
        t.ids.insert(t.ids.end(), ids.begin(), ids.end());
        t.distances.insert(t.distances.end(), dist.begin(), dist.end());
    }
    pool::set_num_threads_for_testing(0);
    return t;
}

// The two phases of the streaming path timed apart on one 1024-query chunk
// (after a warm-up pass over the same chunk): candidate generation on the
// reader, then the chunk rerank, at `threads` pool threads.
void phases(const std::shared_ptr<const std::vector<uint8_t>>& file, std::span<const float> chunk, size_t d,
            size_t threads) {
    pool::set_num_threads_for_testing(threads);
    auto reader = diskann_io::DiskAnnIndexReader::open_with_options(std::make_shared<BytesFile>(file), {});
    reader.optimize_for_search();
    const size_t m = chunk.size() / d;
    diskann_search::DiskAnnCandidateLists lists(1);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    double gen_s = 0, rerank_s = 0;
    for (int pass = 0; pass < 2; ++pass) {
        lists[0].clear();
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t q = 0; q < m; ++q) {
            diskann_search::DiskAnnCandidateList list{q, {}};
            reader.generate_unfiltered_candidate_nodes(chunk.subspan(q * d, d), 10, 100, list.nodes);
            lists[0].push_back(std::move(list));
        }
        const auto t1 = std::chrono::steady_clock::now();
        reader.rerank_candidate_batch_streaming(chunk, 10, lists, ids, dist);
        const auto t2 = std::chrono::steady_clock::now();
        gen_s = std::chrono::duration<double>(t1 - t0).count();
        rerank_s = std::chrono::duration<double>(t2 - t1).count();
    }
    std::printf("  pool %zu: candidate generation %.1f ms (one thread), chunk rerank %.1f ms\n", threads,
                gen_s * 1e3, rerank_s * 1e3);
    pool::set_num_threads_for_testing(0);
}

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int scaling(const std::shared_ptr<const std::vector<uint8_t>>& file, const ann::Matrix& q,
            const std::vector<uint64_t>& widths) {
    const size_t d = q.cols;
    const size_t batch = 1000;
    const int rounds = 3;
    std::printf("%zu queries, d %zu, top_k 10, batches of %zu; %d rounds, pools 1 and 8 alternating\n", q.rows, d,
                batch, rounds);
    std::printf("%6s %6s %5s %10s %14s %16s %8s\n", "round", "L", "pool", "batch QPS", "CPU us/query",
                "caller CPU ms/b", "8/1");
    for (int round = 0; round < rounds; ++round) {
        for (const uint64_t l : widths) {
            double qps1 = 0;
            for (const size_t threads : {1, 8}) {
                pool::set_num_threads_for_testing(threads);
                auto reader = diskann_io::DiskAnnIndexReader::open_with_options(std::make_shared<BytesFile>(file), {});
                reader.optimize_for_search();
                std::vector<int64_t> ids;
                std::vector<float> dist;
                // One untimed pass warms the caches as the harness's first batches do.
                for (int pass = 0; pass < 2; ++pass) {
                    const double w0 = cpu_seconds(CLOCK_MONOTONIC);
                    const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
                    const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
                    size_t batches = 0;
                    for (size_t at = 0; at < q.data.size(); at += batch * d) {
                        const size_t len = std::min(batch * d, q.data.size() - at);
                        reader.search_batch(std::span<const float>(q.data).subspan(at, len), 10, l, ids, dist);
                        ++batches;
                    }
                    const double wall = cpu_seconds(CLOCK_MONOTONIC) - w0;
                    const double proc = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
                    const double caller = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
                    if (pass == 0) continue;
                    const double qps = double(q.rows) / wall;
                    if (threads == 1) qps1 = qps;
                    std::printf("%6d %6llu %5zu %10.0f %14.1f %16.2f %8s\n", round, (unsigned long long)l, threads, qps,
                                proc / double(q.rows) * 1e6, caller / double(batches) * 1e3,
                                threads == 1 ? "" : (std::to_string(qps / qps1).substr(0, 4) + "x").c_str());
                }
            }
        }
    }
    pool::set_num_threads_for_testing(0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--scaling") == 0) {
        const size_t nq = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10000;
        std::vector<uint64_t> widths;
        for (const char* p = argc > 4 ? argv[4] : "20,50"; *p;) {
            char* end = nullptr;
            widths.push_back(std::strtoull(p, &end, 10));
            p = *end == ',' ? end + 1 : end;
        }
        const std::string dir = argc > 5 ? argv[5] : "/usr/share/datasets/fashion-mnist";
        std::ifstream in(argv[2], std::ios::binary);
        auto file = std::make_shared<const std::vector<uint8_t>>(std::istreambuf_iterator<char>(in),
                                                                 std::istreambuf_iterator<char>());
        return scaling(file, ann::read_idx_ubyte(dir + "/t10k-images-idx3-ubyte.gz", nq), widths);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: diskann_batch_bench INDEX_FILE [queries] [data dir]\n");
        return 2;
    }
    const size_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4096;
    const std::string dir = argc > 3 ? argv[3] : "/usr/share/datasets/fashion-mnist";
    std::ifstream in(argv[1], std::ios::binary);
    auto file = std::make_shared<const std::vector<uint8_t>>(std::istreambuf_iterator<char>(in),
                                                             std::istreambuf_iterator<char>());
    const ann::Matrix q = ann::read_idx_ubyte(dir + "/t10k-images-idx3-ubyte.gz", nq);
    const size_t chunks = (q.rows + 1023) / 1024;
    std::printf("%zu queries (%zu chunks of up to 1024), d %zu, top_k 10, L 100\n", q.rows, chunks, q.cols);
    std::printf("phases of one 1024-query chunk (4 GiB budget, warm):\n");
    for (const size_t threads : {1, 8}) phases(file, std::span<const float>(q.data).first(std::min<size_t>(q.rows, 1024) * q.cols), q.cols, threads);
    for (const bool no_caches : {true, false}) {
        const Totals streaming = run(file, no_caches, q.data, q.cols, 1024, 1);
        const Totals sessions = run(file, no_caches, q.data, q.cols, 32, 8);
        std::printf("%s:\n", no_caches ? "no caches" : "4 GiB budget (memory profile defaults)");
        std::printf("  streaming: %.1f windows read per chunk; %.1f references and %.1f distinct windows per chunk "
                    "(%.2f references per window)\n",
                    double(streaming.windows_read) / double(streaming.chunks),
                    double(streaming.references) / double(streaming.chunks),
                    double(streaming.distinct_windows) / double(streaming.chunks),
                    double(streaming.references) / double(std::max<uint64_t>(streaming.distinct_windows, 1)));
        std::printf("  sessions:  %.1f windows read per 1024 queries\n",
                    double(sessions.windows_read) * 1024.0 / double(q.rows));
        std::printf("  dedupe ratio (session reads / streaming reads): %.2f\n",
                    double(sessions.windows_read) / double(std::max<uint64_t>(streaming.windows_read, 1)));
        std::printf("  results identical: %s\n",
                    streaming.ids == sessions.ids &&
                            std::memcmp(streaming.distances.data(), sessions.distances.data(),
                                        streaming.distances.size() * sizeof(float)) == 0
                        ? "yes"
                        : "NO");
    }
    return 0;
}
