// IVF-FLAT build time, split into train (offer the training rows + finish),
// add and write, through the trainer and writer facade.
//
// Data: Fashion-MNIST train images (60,000 x 784) when the gzip idx file is
// present (TD_FASHION_MNIST_DIR, default /usr/share/datasets/fashion-mnist),
// else a seeded synthetic set of the same shape; and a seeded synthetic
// 1,000,000 x 128 set. nlist 1024, metric l2. Each set is built once with a
// pool of 1 thread and once with the pool the environment gives
// (RAYON_NUM_THREADS, else the processor count).
//
// Usage: ivfflat_build_bench [--small]   (--small: 1/10 of the rows, for a quick run)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "build_bench_common.hpp"
#include "index.hpp"
#include "io.hpp"
#include "pool.hpp"

using tavren::bench::DataSet;

namespace {

void run(const DataSet& set, size_t threads) {
    tavren::pool::set_num_threads_for_testing(threads);
    const size_t pool = tavren::pool::current_num_threads();
    const tavren::index::OptionPairs options = {
        {"index.type", "ivf_flat"}, {"dimension", std::to_string(set.d)}, {"metric", "l2"}, {"nlist", "1024"}};

    const tavren::bench::TimedBuild b = tavren::bench::timed_build(set, options);
    const double train = b.train, add = b.add, write = b.write;
    std::printf("| %-14s | %9zu x %-4zu | %7zu | %8.2f | %8.2f | %8.2f | %8.2f | %12llu |\n", set.name.c_str(), set.n,
                set.d, pool, train, add, write, train + add + write, static_cast<unsigned long long>(b.bytes));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const bool small = argc > 1 && std::strcmp(argv[1], "--small") == 0;
    tavren::pool::set_num_threads_for_testing(0);
    const size_t all = tavren::pool::current_num_threads();

    const std::vector<DataSet> sets = tavren::bench::standard_sets(small, false);

    std::printf("| data set       | rows x dim       | threads | train s  | add s    | write s  | total s  | file bytes   |\n");
    std::printf("|----------------|------------------|---------|----------|----------|----------|----------|--------------|\n");
    for (const DataSet& set : sets) {
        run(set, 1);
        if (all != 1) run(set, 0);
    }
    return 0;
}
