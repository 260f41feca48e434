// IVF-RQ build time, split into train (offer the training rows + finish), add
// and write, and the file's bytes per vector, through the trainer and writer
// facade, for rq.bits 1, 4 and 8.
//
// Data: Fashion-MNIST train images (60,000 x 784, nlist 980) when the gzip
// idx file is present (TD_FASHION_MNIST_DIR, default
// /usr/share/datasets/fashion-mnist), else a seeded synthetic set of the same
// shape; and a seeded synthetic 1,000,000 x 128 set (nlist 1024). Metric l2;
// the pool the environment gives (RAYON_NUM_THREADS, else the processor count).
// TD_RQ_BITS=<b> runs only that bit width.
//
// Usage: ivfrq_build_bench [--small] [--fashion-only]
//   --small: 1/10 of the rows, for a quick run
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "build_bench_common.hpp"
#include "index.hpp"
#include "pool.hpp"

using tavren::bench::DataSet;

namespace {

void run(const DataSet& set, size_t nlist, size_t bits) {
    const tavren::index::OptionPairs options = {{"index.type", "ivf_rq"},
                                                {"dimension", std::to_string(set.d)},
                                                {"metric", "l2"},
                                                {"nlist", std::to_string(nlist)},
                                                {"rq.bits", std::to_string(bits)}};
    const tavren::bench::TimedBuild b = tavren::bench::timed_build(set, options);
    std::printf("| %-14s | %9zu x %-4zu | %5zu | %4zu | %7zu | %8.2f | %8.2f | %8.2f | %11.2f | %9.1f |\n",
                set.name.c_str(), set.n, set.d, nlist, bits, tavren::pool::current_num_threads(), b.train, b.add,
                b.write, b.train + b.add, static_cast<double>(b.bytes) / static_cast<double>(set.n));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool small = false, fashion_only = false;
    for (int i = 1; i < argc; ++i) {
        small = small || std::strcmp(argv[i], "--small") == 0;
        fashion_only = fashion_only || std::strcmp(argv[i], "--fashion-only") == 0;
    }
    const char* only = std::getenv("TD_RQ_BITS");
    const std::vector<DataSet> sets = tavren::bench::standard_sets(small, fashion_only);

    std::printf("| data set       | rows x dim       | nlist | bits | threads | train s  | add s    | write s  "
                "| train+add s | bytes/vec |\n");
    std::printf("|----------------|------------------|-------|------|---------|----------|----------|----------"
                "|-------------|-----------|\n");
    for (const DataSet& set : sets) {
        const size_t nlist = set.d == 784 ? 980 : 1024;
        for (size_t bits : {1, 4, 8}) {
            if (only != nullptr && std::to_string(bits) != only) continue;
            run(set, nlist, bits);
        }
    }
    return 0;
}
