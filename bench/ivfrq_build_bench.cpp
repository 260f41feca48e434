// IVF-RQ build time, split into train (offer the training rows + finish), add
// and write, and the file's bytes per vector, through the trainer and writer
// facade, for rq.bits 1, 4 and 8.
//
// Data: Fashion-MNIST train images (60,000 x 784, nlist 980) when the gzip
// idx file is present (TD_FASHION_MNIST_DIR, default
// /usr/share/datasets/fashion-mnist), else a seeded synthetic set of the same
// shape; and a seeded synthetic 1,000,000 x 128 set (nlist 1024). Metric l2;
// the pool the environment gives (RAYON_NUM_THREADS, else the processor count).
//
// Usage: ivfrq_build_bench [--small] [--fashion-only]
//   --small: 1/10 of the rows, for a quick run
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "build_data.hpp"
#include "index.hpp"
#include "pool.hpp"

namespace {

using tavren::bench::DataSet;

void run(const DataSet& set, size_t nlist, size_t bits) {
    const tavren::index::OptionPairs options = {{"index.type", "ivf_rq"},
                                                {"dimension", std::to_string(set.d)},
                                                {"metric", "l2"},
                                                {"nlist", std::to_string(nlist)},
                                                {"rq.bits", std::to_string(bits)}};

    const tavren::bench::BuildTimes t = tavren::bench::build_through_facade(options, set);
    std::printf("| %-14s | %9zu x %-4zu | %5zu | %4zu | %7zu | %8.2f | %8.2f | %8.2f | %11.2f | %8.1f |\n",
                set.name.c_str(), set.n, set.d, nlist, bits, tavren::pool::current_num_threads(), t.train, t.add,
                t.write, t.train + t.add, static_cast<double>(t.bytes) / static_cast<double>(set.n));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool small = false, fashion_only = false;
    for (int i = 1; i < argc; ++i) {
        small = small || std::strcmp(argv[i], "--small") == 0;
        fashion_only = fashion_only || std::strcmp(argv[i], "--fashion-only") == 0;
    }
    const char* dir_env = std::getenv("TD_FASHION_MNIST_DIR");
    const std::string dir = dir_env != nullptr ? dir_env : tavren::ann::kFashionMnistDir;

    std::vector<std::pair<DataSet, size_t>> sets;
    DataSet fashion = tavren::bench::read_fashion_mnist(dir, small ? 6000 : 0);
    if (fashion.n == 0) fashion = tavren::bench::synthetic("synthetic-784", small ? 6000 : 60000, 784, 784);
    sets.emplace_back(std::move(fashion), 980);
    if (!fashion_only) {
        sets.emplace_back(tavren::bench::synthetic("synthetic-128", small ? 100000 : 1000000, 128, 128), 1024);
    }

    std::printf("| data set       | rows x dim       | nlist | bits | threads | train s  | add s    | write s  "
                "| train+add s | bytes/vec |\n");
    std::printf("|----------------|------------------|-------|------|---------|----------|----------|----------"
                "|-------------|-----------|\n");
    for (const auto& [set, nlist] : sets) {
        for (size_t bits : {1, 4, 8}) {
            if (const char* only = std::getenv("TD_RQ_BITS"); only != nullptr && std::to_string(bits) != only) continue;
            run(set, nlist, bits);
        }
    }
    return 0;
}
