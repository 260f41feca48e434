// What the IVF build benchmarks share: the data sets (Fashion-MNIST through
// the ANN harness's idx reader, seeded synthetic mixtures), an output that
// counts and touches every byte, a wall clock, and one timed build.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dataset.hpp"
#include "index.hpp"
#include "io.hpp"

namespace tavren::bench {

struct DataSet {
    std::string name;
    size_t n = 0;
    size_t d = 0;
    std::vector<float> rows;
};

// The train images through the ANN harness's idx reader; an empty set when
// the file is absent or unreadable.
inline DataSet read_fashion_mnist(const std::string& dir, size_t max_rows) {
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
inline DataSet synthetic(const std::string& name, size_t n, size_t d, uint64_t seed) {
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

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Fashion-MNIST's train images (TD_FASHION_MNIST_DIR, else the harness's
// default directory), or a seeded synthetic set of the same shape when the
// file is absent; then, unless `fashion_only`, a synthetic 1,000,000 x 128
// set. `small` keeps a tenth of the rows.
inline std::vector<DataSet> standard_sets(bool small, bool fashion_only) {
    const char* dir_env = std::getenv("TD_FASHION_MNIST_DIR");
    const std::string dir = dir_env != nullptr ? dir_env : ann::kFashionMnistDir;
    std::vector<DataSet> sets;
    DataSet fashion = read_fashion_mnist(dir, small ? 6000 : 0);
    if (fashion.n == 0) fashion = synthetic("synthetic-784", small ? 6000 : 60000, 784, 784);
    sets.push_back(std::move(fashion));
    if (!fashion_only) sets.push_back(synthetic("synthetic-128", small ? 100000 : 1000000, 128, 128));
    return sets;
}

// One build through the facade: the stage times in seconds, the file size and
// the writer (for what the caller wants to report about the index).
struct TimedBuild {
    double train = 0;  // offering all rows as training rows, then finish
    double add = 0;    // adding all rows with IDs 0 .. n - 1
    double write = 0;  // writing into a CountingSink
    uint64_t bytes = 0;
    std::optional<index::VectorIndexWriter> writer;
};

inline TimedBuild timed_build(const DataSet& set, const index::OptionPairs& options) {
    using clock = std::chrono::steady_clock;
    TimedBuild out;
    auto start = clock::now();
    index::VectorIndexTrainer trainer =
        index::VectorIndexTrainer::create(index::VectorIndexConfig::from_options(options));
    trainer.add_training_vectors_mut(set.rows, set.n);
    index::VectorIndexWriter writer = std::move(trainer).finish();
    out.train = seconds_since(start);

    std::vector<int64_t> ids(set.n);
    for (size_t i = 0; i < set.n; ++i) ids[i] = static_cast<int64_t>(i);
    start = clock::now();
    writer.add_vectors(ids, set.rows, set.n);
    out.add = seconds_since(start);

    CountingSink sink;
    start = clock::now();
    writer.write(sink);
    out.write = seconds_since(start);
    out.bytes = sink.bytes();
    out.writer.emplace(std::move(writer));
    return out;
}

}  // namespace tavren::bench
