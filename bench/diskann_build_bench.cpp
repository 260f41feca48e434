// DiskANN build through the facade: PQ training, then the write split into PQ
// encoding, graph build, locality order and the file pass, with the bytes
// per vector. Usage: diskann_build_bench [rows] [preset] [threads].
#include <cstdio>
#include <cstdlib>
#include <string>

#include "build_bench_common.hpp"
#include "diskann_writer.hpp"
#include "pool.hpp"

using namespace tavren;

int main(int argc, char** argv) {
    const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
    const std::string preset = argc > 2 ? argv[2] : "balanced";
    const size_t threads = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 8;
    bench::DataSet set = bench::read_fashion_mnist("/usr/share/datasets/fashion-mnist", rows);
    if (set.n == 0) set = bench::synthetic("synthetic", rows, 128, 7);
    const std::string dim = std::to_string(set.d);
    const index::OptionPairs options = {{"index.type", "diskann"}, {"dimension", dim}, {"metric", "l2"},
                                        {"diskann.build-preset", preset}, {"diskann.build-distance", "full_precision"}};
    pool::run_with_thread_cap(threads, [&] {
        using clock = std::chrono::steady_clock;
        auto start = clock::now();
        index::VectorIndexTrainer trainer =
            index::VectorIndexTrainer::create(index::VectorIndexConfig::from_options(options));
        trainer.add_training_vectors_mut(set.rows, set.n);
        index::VectorIndexWriter writer = std::move(trainer).finish();
        const double train = bench::seconds_since(start);
        std::vector<int64_t> ids(set.n);
        for (size_t i = 0; i < set.n; ++i) ids[i] = static_cast<int64_t>(i);
        writer.add_vectors(ids, set.rows, set.n);
        bench::CountingSink sink;
        const auto& index = std::get<diskann::DiskAnnIndex>(writer.index());
        const auto stats = diskann::write_diskann_index_with_stats(index, sink);
        auto s = [](std::chrono::nanoseconds d) { return std::chrono::duration<double>(d).count(); };
        const auto& g = stats.prepare.graph;
        std::printf("%s %zu x %zu preset %s threads %zu: train PQ %.2f s, encode %.2f s, graph %.2f s, "
                    "locality %.3f s, file %.3f s, total write %.2f s, %.1f bytes/vector\n",
                    set.name.c_str(), set.n, set.d, preset.c_str(), threads, train, s(stats.prepare.pq_encoding),
                    s(g.initialization + g.first_pass + g.second_pass + g.repair), s(stats.prepare.locality),
                    s(stats.sections + stats.pages + stats.raw_vectors), s(stats.total),
                    double(sink.bytes()) / double(set.n));
    });
    return 0;
}
