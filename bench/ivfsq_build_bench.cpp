// IVF-SQ build time, split into train (offer the training rows + finish),
// add and write, through the trainer and writer facade, and the file's bytes
// per vector.
//
// Data: Fashion-MNIST train images (60,000 x 784) when the gzip idx file is
// present (TD_FASHION_MNIST_DIR, default /usr/share/datasets/fashion-mnist),
// else a seeded synthetic set of the same shape; and a seeded synthetic
// 1,000,000 x 128 set. Metric l2; nlist from the option
// `expected-vector-count` (the automatic rule: 980 for 60,000 rows) unless
// --nlist is given. Each set is built once with a pool of 1 thread and once
// with the pool the environment gives (RAYON_NUM_THREADS, else the processor
// count).
//
// Usage: ivfsq_build_bench [--small] [--nlist N] [--fashion-only]
//   --small: 1/10 of the rows, for a quick run
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "build_bench_common.hpp"
#include "index.hpp"
#include "pool.hpp"

using tavren::bench::DataSet;

namespace {

void run(const DataSet& set, size_t threads, const std::string& nlist) {
    tavren::pool::set_num_threads_for_testing(threads);
    const size_t pool = tavren::pool::current_num_threads();
    tavren::index::OptionPairs options = {
        {"index.type", "ivf_sq"}, {"dimension", std::to_string(set.d)}, {"metric", "l2"}};
    if (nlist.empty()) {
        options.emplace_back("expected-vector-count", std::to_string(set.n));
    } else {
        options.emplace_back("nlist", nlist);
    }

    const tavren::bench::TimedBuild b = tavren::bench::timed_build(set, options);
    const double train = b.train, add = b.add, write = b.write;
    const size_t lists = std::get<tavren::ivfsq::IVFSQIndex>(b.writer->index()).nlist();
    std::printf("| %-14s | %9zu x %-4zu | %5zu | %7zu | %8.2f | %8.2f | %8.2f | %10.2f | %12llu | %9.1f |\n",
                set.name.c_str(), set.n, set.d, lists, pool, train, add, write, train + add,
                static_cast<unsigned long long>(b.bytes),
                static_cast<double>(b.bytes) / static_cast<double>(set.n));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool small = false, fashion_only = false;
    std::string nlist;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--small") == 0) {
            small = true;
        } else if (std::strcmp(argv[i], "--fashion-only") == 0) {
            fashion_only = true;
        } else if (std::strcmp(argv[i], "--nlist") == 0 && i + 1 < argc) {
            nlist = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--small] [--nlist N] [--fashion-only]\n", argv[0]);
            return 2;
        }
    }
    tavren::pool::set_num_threads_for_testing(0);
    const size_t all = tavren::pool::current_num_threads();

    const std::vector<DataSet> sets = tavren::bench::standard_sets(small, fashion_only);

    std::printf("| data set       | rows x dim       | nlist | threads | train s  | add s    | write s  | train+add s "
                "| file bytes   | B/vector  |\n");
    std::printf("|----------------|------------------|-------|---------|----------|----------|----------|------------"
                "|--------------|-----------|\n");
    for (const DataSet& set : sets) {
        run(set, 1, nlist);
        if (all != 1) run(set, 0, nlist);
    }
    return 0;
}
