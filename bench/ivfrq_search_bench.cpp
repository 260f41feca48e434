// IVF-RQ search cost in CPU time of the calling thread (steadier than wall
// time on a shared machine): a synthetic Gaussian mixture (200,000 x 128,
// 1,000 centres, spread 0.5, the ANN harness's generator and seed), nlist
// 1789, rq.bits 4 (TD_RQ_BITS to change), l2, k 10, pool of one thread. For
// each nprobe: one query per call over the 1,000 queries, then batches of
// 1,000, each repeated (TD_RQ_REPEAT, default 5); prints the best and the
// median QPS of CPU time. Not a Google Benchmark: the index is built once.
//
// Usage: ivfrq_search_bench [nprobe ...]   (default 16 32 64)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench_memory_io.hpp"
#include "dataset.hpp"
#include "build_bench_common.hpp"
#include "index.hpp"
#include "ivfrq_io.hpp"
#include "pool.hpp"

using tavren::bench::VectorSink;

namespace {

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<size_t> widths;
    for (int i = 1; i < argc; ++i) widths.push_back(static_cast<size_t>(std::strtoul(argv[i], nullptr, 10)));
    if (widths.empty()) widths = {16, 32, 64};
    const char* bits_env = std::getenv("TD_RQ_BITS");
    const char* repeat_env = std::getenv("TD_RQ_REPEAT");
    const std::string bits = bits_env != nullptr ? bits_env : "4";
    const int repeat = repeat_env != nullptr ? std::atoi(repeat_env) : 5;

    tavren::ann::SyntheticSpec shape;
    shape.nb = 200'000;
    shape.nq = 1'000;
    shape.dim = 128;
    const tavren::ann::Dataset data = tavren::ann::make_gaussian_mixture(shape);
    tavren::bench::DataSet set;
    set.name = data.name;
    set.n = data.base.rows;
    set.d = data.base.cols;
    set.rows = data.base.data;
    const tavren::index::OptionPairs options = {{"index.type", "ivf_rq"}, {"dimension", "128"}, {"metric", "l2"},
                                                {"nlist", "1789"}, {"rq.bits", bits}};
    tavren::bench::TimedBuild build = tavren::bench::timed_build(set, options);
    VectorSink sink;
    build.writer->write(sink);
    const auto file = std::make_shared<const std::vector<uint8_t>>(std::move(sink.bytes));

    std::printf("| bits | nprobe | single QPS best | single QPS median | batch QPS best | batch QPS median |\n");
    std::printf("|-----:|-------:|----------------:|-----------------:|---------------:|-----------------:|\n");
    tavren::pool::run_with_thread_cap(1, [&] {
        using tavren::ivfrq_io::IVFRQIndexReader;
        IVFRQIndexReader reader = IVFRQIndexReader::open_with_header(
            std::make_unique<tavren::bench::BytesFile>(file), std::span<const uint8_t, 64>(file->data(), 64));
        reader.ensure_loaded();
        const size_t nq = data.queries.rows, d = data.queries.cols, k = 10;
        const std::span<const float> queries(data.queries.data);
        for (size_t nprobe : widths) {
            std::vector<double> single, batch;
            // One untimed pass of each first: the read arena and the
            // contexts are grown once per reader.
            (void)reader.search_batch_range(queries, nq, k, 0, nprobe, {}, {}, nullptr);
            for (int r = 0; r < repeat; ++r) {
                double t = thread_seconds();
                for (size_t q = 0; q < nq; ++q) {
                    (void)reader.search_with_filter(queries.subspan(q * d, d), k, nprobe, nullptr);
                }
                single.push_back(static_cast<double>(nq) / (thread_seconds() - t));
                t = thread_seconds();
                (void)reader.search_batch_range(queries, nq, k, 0, nprobe, {}, {}, nullptr);
                batch.push_back(static_cast<double>(nq) / (thread_seconds() - t));
            }
            std::sort(single.begin(), single.end());
            std::sort(batch.begin(), batch.end());
            std::printf("| %4s | %6zu | %15.0f | %16.0f | %14.0f | %15.0f |\n", bits.c_str(), nprobe, single.back(),
                        single[single.size() / 2], batch.back(), batch[batch.size() / 2]);
            const tavren::ivfrq_io::IVFRQSearchStats st = reader.last_search_stats();
            std::fprintf(stderr, "nprobe %zu batch: rows %llu, refine candidates %llu, extended %llu, pushes %llu\n",
                         nprobe, static_cast<unsigned long long>(st.rows_scanned),
                         static_cast<unsigned long long>(st.refine_candidates),
                         static_cast<unsigned long long>(st.extended_estimates),
                         static_cast<unsigned long long>(st.heap_pushes));
            std::fflush(stdout);
        }
    });
    return 0;
}
