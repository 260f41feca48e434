#include "ivfsq_fixture.hpp"

#include <random>
#include <span>

#include "kmeans.hpp"
#include "memory_sink.hpp"
#include "read_options.hpp"

namespace tavren::testing {

std::vector<float> sq_rows(size_t n, size_t d, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::uniform_real_distribution<float> uni(-10.0f, 10.0f);
    std::vector<float> centres(5 * d);
    for (float& c : centres) c = uni(gen);
    std::vector<float> rows(n * d);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < d; ++j) rows[i * d + j] = centres[(i % 5) * d + j] + noise(gen);
    }
    return rows;
}

SqFixture make_sq_fixture(size_t n, size_t d, size_t nlist, uint32_t metric, uint32_t seed) {
    SqFixture f{sq_rows(n, d, seed), std::vector<int64_t>(n), ivfsq::IVFSQIndex(d, nlist, metric), {}};
    for (size_t i = 0; i < n; ++i) f.ids[i] = static_cast<int64_t>((i * 7919) % (3 * n)) - 5;
    f.index.set_approximate_coarse_assignment(false);
    f.index.train_with_config(f.rows, n, kmeans::KMeansConfig{});
    f.index.add(f.rows, f.ids, n);
    f.file = sq_file_of(f.index);
    return f;
}

std::vector<uint8_t> sq_file_of(const ivfsq::IVFSQIndex& index) {
    MemorySink sink;
    ivfsq_io::write_ivfsq_index(index, sink);
    return sink.bytes();
}

ivfsq_io::IVFSQIndexReader open_sq_reader(const std::vector<uint8_t>& file, MemorySource::Options options,
                                          MemorySource::Observer* observer, uint64_t memory_budget) {
    std::vector<uint8_t> header(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(64, file.size())));
    header.resize(64, 0);
    std::unique_ptr<io::SeekRead> source = MemorySource::make(file, options, observer);
    read_options::VectorIndexReaderOptions opts;
    opts.memory_budget_bytes = memory_budget;
    return ivfsq_io::IVFSQIndexReader::open_with_header_and_options(std::move(source),
                                                                    std::span<const uint8_t, 64>(header.data(), 64), opts);
}

}  // namespace tavren::testing
