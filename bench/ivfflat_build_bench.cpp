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

#include "dataset.hpp"
#include "index.hpp"
#include "io.hpp"
#include "pool.hpp"

namespace {

struct DataSet {
    std::string name;
    size_t n = 0;
    size_t d = 0;
    std::vector<float> rows;
};

// The train images through the ANN harness's idx reader; an empty set when
// the file is absent or unreadable.
DataSet read_fashion_mnist(const std::string& dir, size_t max_rows) {
    DataSet set;
    try {
        tavren::ann::Matrix m = tavren::ann::read_idx_ubyte(dir + "/train-images-idx3-ubyte.gz", max_rows);
        set.name = "fashion-mnist";
        set.n = m.rows;
        set.d = m.cols;
        set.rows = std::move(m.data);
    } catch (const std::exception&) {
    }
    return set;
}

// A seeded mixture of Gaussian clusters.
DataSet synthetic(const std::string& name, size_t n, size_t d, uint64_t seed) {
    DataSet set;
    set.name = name;
    set.n = n;
    set.d = d;
    set.rows.resize(n * d);
    std::mt19937_64 gen(seed);
    const size_t clusters = 256;
    std::normal_distribution<float> centre_dist(0.0f, 10.0f);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> centres(clusters * d);
    for (float& c : centres) c = centre_dist(gen);
    std::uniform_int_distribution<size_t> pick(0, clusters - 1);
    for (size_t i = 0; i < n; ++i) {
        const float* c = centres.data() + pick(gen) * d;
        for (size_t k = 0; k < d; ++k) set.rows[i * d + k] = c[k] + noise(gen);
    }
    return set;
}

// Counts bytes and folds them into a checksum, as a host that touches every byte would.
class CountingSink final : public tavren::io::SeekWrite {
public:
    void write_all(std::span<const uint8_t> bytes) override {
        ++calls_;
        bytes_ += bytes.size();
        for (size_t i = 0; i < bytes.size(); i += 64) sum_ += bytes[i];
    }
    uint64_t pos() override { return bytes_; }
    uint64_t bytes() const { return bytes_; }
    uint64_t checksum() const { return sum_; }

private:
    uint64_t calls_ = 0;
    uint64_t bytes_ = 0;
    uint64_t sum_ = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void run(const DataSet& set, size_t threads) {
    using clock = std::chrono::steady_clock;
    tavren::pool::set_num_threads_for_testing(threads);
    const size_t pool = tavren::pool::current_num_threads();
    const tavren::index::OptionPairs options = {
        {"index.type", "ivf_flat"}, {"dimension", std::to_string(set.d)}, {"metric", "l2"}, {"nlist", "1024"}};

    auto start = clock::now();
    tavren::index::VectorIndexTrainer trainer =
        tavren::index::VectorIndexTrainer::create(tavren::index::VectorIndexConfig::from_options(options));
    trainer.add_training_vectors_mut(set.rows, set.n);
    tavren::index::VectorIndexWriter writer = std::move(trainer).finish();
    const double train = seconds_since(start);

    std::vector<int64_t> ids(set.n);
    for (size_t i = 0; i < set.n; ++i) ids[i] = static_cast<int64_t>(i);
    start = clock::now();
    writer.add_vectors(ids, set.rows, set.n);
    const double add = seconds_since(start);

    CountingSink sink;
    start = clock::now();
    writer.write(sink);
    const double write = seconds_since(start);

    std::printf("| %-14s | %9zu x %-4zu | %7zu | %8.2f | %8.2f | %8.2f | %8.2f | %12llu |\n", set.name.c_str(), set.n,
                set.d, pool, train, add, write, train + add + write, static_cast<unsigned long long>(sink.bytes()));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const bool small = argc > 1 && std::strcmp(argv[1], "--small") == 0;
    const char* dir_env = std::getenv("TD_FASHION_MNIST_DIR");
    const std::string dir = dir_env != nullptr ? dir_env : tavren::ann::kFashionMnistDir;

    tavren::pool::set_num_threads_for_testing(0);
    const size_t all = tavren::pool::current_num_threads();

    std::vector<DataSet> sets;
    DataSet fashion = read_fashion_mnist(dir, small ? 6000 : 0);
    if (fashion.n == 0) fashion = synthetic("synthetic-784", small ? 6000 : 60000, 784, 784);
    sets.push_back(std::move(fashion));
    sets.push_back(synthetic("synthetic-128", small ? 100000 : 1000000, 128, 128));

    std::printf("| data set       | rows x dim       | threads | train s  | add s    | write s  | total s  | file bytes   |\n");
    std::printf("|----------------|------------------|---------|----------|----------|----------|----------|--------------|\n");
    for (const DataSet& set : sets) {
        run(set, 1);
        if (all != 1) run(set, 0);
    }
    return 0;
}
