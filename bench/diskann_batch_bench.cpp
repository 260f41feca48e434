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
//   diskann_batch_bench --best INDEX_FILE [queries (default 5000)] [L (default 12)] [passes (default 6)]
// times whole passes over the queries in batches of 1000 at pools of 1 and 8
// threads and prints the fastest and the median pass after a warm-up pass.
// Time lost to other tenants of a shared machine only ever adds to a pass, so
// the fastest pass is the steadiest figure for comparing two builds.
// DBB_POOL=N runs only the pool of N threads (for a profiler).
//   diskann_batch_bench --single INDEX_FILE [queries (default 2000)] [L (default 12)] [passes (default 6)]
// the same for single searches on one thread (no pool), query after query.
// With DBB_CODE_LOADS=pairs the passes alternate between the two ways the PQ
// sums read code bytes (one per load, eight per load) and it prints how many
// pairs of consecutive passes the byte loads won and the mean time ratio.
//   diskann_batch_bench --rerank INDEX_FILE [L (default 12)] [passes (default 10)]
// generates the candidates of ten batches of 1000 queries once, then times
// the chunk rerank of each batch alone (pools of 1 and 8 threads): fastest
// and median milliseconds per batch.
//   diskann_batch_bench --machine
// measures what the machine itself gives 8 threads: the rate of a
// dependent-multiply loop per thread at 1, 2, 4 and 8 threads (its 8-thread
// total over its 1-thread rate is the most any batch can gain), the same for
// a loop of independent eight-lane float adds (all cores running vector
// code), and the time
// to read one random 1536-byte record from a 1 GiB array, the memory floor of
// an exact rerank of f16 Fashion-MNIST vectors, with and without a software
// prefetch of the next record.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_memory_io.hpp"
#include "dataset.hpp"
#include "diskann_io.hpp"
#include "io.hpp"
#include "cpu.hpp"
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

// A reader of the in-memory file with the default (memory profile) budgets,
// optimised for search, on a pool of `threads`.
diskann_io::DiskAnnIndexReader open_memory_reader(const std::shared_ptr<const std::vector<uint8_t>>& file,
                                                  size_t threads) {
    pool::set_num_threads_for_testing(threads);
    auto reader = diskann_io::DiskAnnIndexReader::open_with_options(std::make_shared<BytesFile>(file), {});
    reader.optimize_for_search();
    return reader;
}

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
    auto reader = open_memory_reader(file, threads);
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
                auto reader = open_memory_reader(file, threads);
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

std::shared_ptr<const std::vector<uint8_t>> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::make_shared<const std::vector<uint8_t>>(std::istreambuf_iterator<char>(in),
                                                        std::istreambuf_iterator<char>());
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// The fastest and the median of the timings.
std::pair<double, double> best_and_median(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return {t.front(), t[t.size() / 2]};
}

int best_passes(const std::shared_ptr<const std::vector<uint8_t>>& file, const ann::Matrix& q, uint64_t l,
                int passes) {
    const size_t d = q.cols;
    std::printf("%zu queries, d %zu, top_k 10, L %llu, batches of 1000; fastest and median of %d passes\n", q.rows, d,
                (unsigned long long)l, passes);
    std::vector<size_t> pools{1, 8};
    if (const char* only = std::getenv("DBB_POOL")) pools = {std::strtoull(only, nullptr, 10)};
    for (const size_t threads : pools) {
        auto reader = open_memory_reader(file, threads);
        std::vector<int64_t> ids;
        std::vector<float> dist;
        std::vector<double> us_per_query;
        for (int pass = 0; pass <= passes; ++pass) {
            const auto t0 = std::chrono::steady_clock::now();
            for (size_t at = 0; at < q.rows; at += 1000) {
                const size_t n = std::min<size_t>(1000, q.rows - at);
                reader.search_batch(std::span<const float>(q.data).subspan(at * d, n * d), 10, l, ids, dist);
            }
            if (pass > 0) us_per_query.push_back(elapsed_ms(t0) * 1e3 / double(q.rows));
        }
        const auto [best, median] = best_and_median(us_per_query);
        std::printf("  pool %zu: fastest %.2f us/query (%.0f QPS), median %.2f us/query (%.0f QPS)\n", threads, best,
                    1e6 / best, median, 1e6 / median);
    }
    pool::set_num_threads_for_testing(0);
    return 0;
}

int single_passes(const std::shared_ptr<const std::vector<uint8_t>>& file, const ann::Matrix& q, uint64_t l,
                  int passes) {
    const size_t d = q.cols;
    std::printf("%zu single queries, d %zu, top_k 10, L %llu, one thread; fastest and median of %d passes\n", q.rows,
                d, (unsigned long long)l, passes);
    auto reader = open_memory_reader(file, 1);
    std::vector<int64_t> ids;
    std::vector<float> dist;
    std::vector<double> us_per_query;
    // DBB_CODE_LOADS=pairs: odd passes load PQ code bytes one by one, even
    // passes eight per load; consecutive passes share the machine's state.
    const char* loads = std::getenv("DBB_CODE_LOADS");
    const bool pairs = loads != nullptr && std::strcmp(loads, "pairs") == 0;
    std::vector<double> us_bytes;
    for (int pass = 0; pass <= passes; ++pass) {
        const bool bytes = pairs && pass % 2 == 1;
        if (pairs) cpu::force_code_loads_for_testing(bytes ? cpu::CodeLoads::Bytes : cpu::CodeLoads::Words);
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t i = 0; i < q.rows; ++i) reader.search(std::span<const float>(q.data).subspan(i * d, d), 10, l, ids, dist);
        if (pass > 0) (bytes ? us_bytes : us_per_query).push_back(elapsed_ms(t0) * 1e3 / double(q.rows));
    }
    if (pairs) {
        cpu::force_code_loads_for_testing(cpu::CodeLoads::Detected);
        size_t faster = 0, n = 0;
        double ratios = 0;
        for (; n < us_bytes.size() && n < us_per_query.size(); ++n) {
            faster += us_bytes[n] < us_per_query[n] ? 1 : 0;
            ratios += us_bytes[n] / us_per_query[n];
        }
        std::printf("  byte loads faster in %zu of %zu pass pairs, mean time ratio bytes / words %.4f\n", faster, n,
                    ratios / double(n));
        std::printf("  the figures below are the word-load passes\n");
    }
    const auto [best, median] = best_and_median(us_per_query);
    std::printf("  fastest %.2f us/query (%.0f QPS), median %.2f us/query (%.0f QPS)\n", best, 1e6 / best, median,
                1e6 / median);
    pool::set_num_threads_for_testing(0);
    return 0;
}

int rerank_only(const std::shared_ptr<const std::vector<uint8_t>>& file, const ann::Matrix& q, uint64_t l,
                int passes) {
    const size_t d = q.cols;
    constexpr size_t kBatch = 1000;
    const size_t batches = q.rows / kBatch;
    std::printf("%zu batches of %zu queries, d %zu, top_k 10, L %llu; chunk rerank alone, %d passes\n", batches, kBatch,
                d, (unsigned long long)l, passes);
    for (const size_t threads : {1, 8}) {
        auto reader = open_memory_reader(file, threads);
        std::vector<diskann_search::DiskAnnCandidateLists> lists(batches);
        for (size_t b = 0; b < batches; ++b) {
            lists[b].assign(1, {});
            for (size_t i = 0; i < kBatch; ++i) {
                diskann_search::DiskAnnCandidateList list{i, {}};
                reader.generate_unfiltered_candidate_nodes(
                    std::span<const float>(q.data).subspan((b * kBatch + i) * d, d), 10, l, list.nodes);
                lists[b][0].push_back(std::move(list));
            }
        }
        std::vector<int64_t> ids;
        std::vector<float> dist;
        std::vector<double> ms;
        for (int pass = 0; pass < passes; ++pass) {
            for (size_t b = 0; b < batches; ++b) {
                const auto t0 = std::chrono::steady_clock::now();
                reader.rerank_candidate_batch_streaming(
                    std::span<const float>(q.data).subspan(b * kBatch * d, kBatch * d), 10, lists[b], ids, dist);
                ms.push_back(elapsed_ms(t0));
            }
        }
        const auto [best, median] = best_and_median(ms);
        std::printf("  pool %zu: fastest %.2f ms per batch, median %.2f ms\n", threads, best, median);
    }
    pool::set_num_threads_for_testing(0);
    return 0;
}

// Runs `loop` (one call is one round of work; it returns a value that keeps
// the work alive) on 1, 2, 4 and 8 threads for 1.5 s each and prints the
// rounds per thread and the total over one thread's.
template <class Loop>
void rate_at_thread_counts(const char* title, Loop loop) {
    std::printf("%s, 1.5 s per thread count:\n", title);
    double one = 0;
    for (const int threads : {1, 2, 4, 8}) {
        std::vector<double> rate(threads);
        std::vector<std::thread> pool_threads;
        for (int t = 0; t < threads; ++t) {
            pool_threads.emplace_back([&rate, &loop, t] {
                const auto t0 = std::chrono::steady_clock::now();
                long rounds = 0;
                double sink = 0;
                for (;;) {
                    sink += loop(t);
                    ++rounds;
                    const double s = elapsed_ms(t0) / 1e3;
                    if (s > 1.5) {
                        rate[t] = double(rounds) / s;
                        break;
                    }
                }
                if (sink == 42) std::printf("-");
            });
        }
        for (std::thread& th : pool_threads) th.join();
        double total = 0;
        for (const double r : rate) total += r;
        if (threads == 1) one = total;
        std::printf("  %d threads: %.0f per thread, total %.2f x one thread\n", threads, total / threads, total / one);
    }
}

using Float8 = float __attribute__((vector_size(32)));

__attribute__((target("avx2"))) double vector_adds(int t) {
    Float8 a[8];
    for (int k = 0; k < 8; ++k) a[k] = Float8{} + float(t + k);
    const Float8 b = Float8{} + 1e-7f;
    for (int i = 0; i < 250000; ++i) {
        for (int k = 0; k < 8; ++k) a[k] += b;
    }
    double s = 0;
    for (int k = 0; k < 8; ++k) s += a[k][0];
    return s;
}

int machine() {
    rate_at_thread_counts("dependent multiply loop", [](int t) {
        uint64_t x = uint64_t(t) + 1, y = 3, z = 5;
        for (int i = 0; i < 1000000; ++i) {
            x = x * 6364136223846793005ull + 1;
            y = y * 2862933555777941757ull + 3;
            z ^= x >> 7;
        }
        return double(x + y + z);
    });
    // Eight independent chains of eight-lane adds keep the vector adders
    // busy, as the table builds and kernels do: what the machine loses when
    // every core runs vector code (shared units, lower clocks) shows here and
    // not in the multiply loop above.
    rate_at_thread_counts("independent 8-lane float adds (eight chains)", vector_adds);
    constexpr size_t kRecord = 1536 / 8;
    std::vector<uint64_t> memory((size_t{1} << 30) / 8, 1);
    const size_t records = memory.size() / kRecord;
    std::printf("random %zu-byte records from a 1 GiB array:\n", kRecord * 8);
    for (const bool prefetch : {false, true}) {
        for (const int threads : {1, 8}) {
            constexpr size_t kReads = 200000;
            std::vector<std::thread> pool_threads;
            std::vector<uint64_t> sums(threads);
            const auto t0 = std::chrono::steady_clock::now();
            for (int t = 0; t < threads; ++t) {
                pool_threads.emplace_back([&, t] {
                    uint64_t state = uint64_t(t) * 0x9E3779B97F4A7C15ull + 1, sum = 0;
                    const auto next = [&] {
                        state ^= state << 13;
                        state ^= state >> 7;
                        state ^= state << 17;
                        return state % records;
                    };
                    uint64_t upcoming = next();
                    for (size_t k = 0; k < kReads; ++k) {
                        const uint64_t* p = memory.data() + upcoming * kRecord;
                        upcoming = next();
                        if (prefetch) {
                            const char* ahead = reinterpret_cast<const char*>(memory.data() + upcoming * kRecord);
                            for (size_t o = 0; o < kRecord * 8; o += 64) __builtin_prefetch(ahead + o);
                        }
                        for (size_t i = 0; i < kRecord; ++i) sum += p[i];
                    }
                    sums[t] = sum;
                });
            }
            for (std::thread& th : pool_threads) th.join();
            const double us = elapsed_ms(t0) * 1e3 / double(kReads);
            std::printf("  %s, %d threads: %.2f us per record per thread\n", prefetch ? "prefetching the next" : "plain",
                        threads, us);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--machine") == 0) return machine();
    const std::string fashion = "/usr/share/datasets/fashion-mnist/t10k-images-idx3-ubyte.gz";
    if (argc >= 3 && std::strcmp(argv[1], "--best") == 0) {
        const size_t nq = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 5000;
        const uint64_t l = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 12;
        const int passes = argc > 5 ? std::max(1, std::atoi(argv[5])) : 6;
        return best_passes(read_file(argv[2]), ann::read_idx_ubyte(fashion, nq), l, passes);
    }
    if (argc >= 3 && std::strcmp(argv[1], "--single") == 0) {
        const size_t nq = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 2000;
        const uint64_t l = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 12;
        const int passes = argc > 5 ? std::max(1, std::atoi(argv[5])) : 6;
        return single_passes(read_file(argv[2]), ann::read_idx_ubyte(fashion, nq), l, passes);
    }
    if (argc >= 3 && std::strcmp(argv[1], "--rerank") == 0) {
        const uint64_t l = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 12;
        const int passes = argc > 4 ? std::max(1, std::atoi(argv[4])) : 10;
        return rerank_only(read_file(argv[2]), ann::read_idx_ubyte(fashion, 10000), l, passes);
    }
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
