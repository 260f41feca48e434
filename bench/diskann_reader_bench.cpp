// The DiskANN reader core: open latency, resident load throughput for a
// million nodes, preload validation (pages per second by pool size) and
// shared window cache operations by thread count on overlapping offsets.
// Files are composed in memory with the test file builder (ring graphs,
// synthetic codebook); the host is an in-memory source.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "diskann_file_builder.hpp"
#include "diskann_io.hpp"
#include "pool.hpp"

namespace {

using namespace tavren;
using diskann_io::DiskAnnIndexReader;

class VectorSource final : public io::SeekRead {
public:
    explicit VectorSource(const std::vector<uint8_t>* bytes) : bytes_(bytes) {}
    void pread(std::span<io::ReadRequest> requests) const override {
        for (const io::ReadRequest& r : requests) {
            if (r.offset > bytes_->size() || bytes_->size() - r.offset < r.len) {
                fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
            }
            if (r.len != 0) std::memcpy(r.buf, bytes_->data() + r.offset, r.len);
        }
    }
    io::ReadCapabilities capabilities() const override { return {1000, 0, 0}; }

private:
    const std::vector<uint8_t>* bytes_;
};

const testing::DiskAnnFile& million_file() {
    static const testing::DiskAnnFile file = testing::build_diskann_file(testing::ring_contents(1'000'000, 16));
    return file;
}

DiskAnnIndexReader open(const std::vector<uint8_t>& bytes, const read_options::VectorIndexReaderOptions& o = {}) {
    return DiskAnnIndexReader::open_with_options(std::make_shared<VectorSource>(&bytes), o);
}

void BM_Open(benchmark::State& state) {
    const auto& f = million_file();
    for (auto _ : state) {
        DiskAnnIndexReader r = open(f.bytes);
        benchmark::DoNotOptimize(r.header().vector_count);
    }
}
BENCHMARK(BM_Open);

void BM_ResidentLoad1M(benchmark::State& state) {
    const auto& f = million_file();
    uint64_t bytes = 1;
    for (size_t s : {0, 1, 2, 4}) bytes += f.header.sections[s].length;
    for (auto _ : state) {
        DiskAnnIndexReader r = open(f.bytes);
        r.ensure_resident();
        benchmark::DoNotOptimize(r.resident().pq_codes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
    state.counters["resident_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ResidentLoad1M)->Unit(benchmark::kMillisecond);

// optimize_for_search on loaded resident data: one 64 MiB read and the
// parallel page checks, with state.range(0) pool threads.
void BM_PreloadValidation(benchmark::State& state) {
    const auto& f = million_file();
    pool::set_num_threads_for_testing(static_cast<size_t>(state.range(0)));
    read_options::VectorIndexReaderOptions o;
    o.explicit_cache_budgets = read_options::CacheBudgets{64u << 20, 1u << 20, uint64_t{1} << 40, 1u << 20, {}};
    uint64_t pages = 0;
    for (auto _ : state) {
        state.PauseTiming();
        DiskAnnIndexReader r = open(f.bytes, o);
        r.ensure_resident();
        state.ResumeTiming();
        r.optimize_for_search();
        pages = r.adjacency_preload().size() / 4096;
    }
    state.counters["pages"] = static_cast<double>(pages);
    state.counters["pages_per_s"] =
        benchmark::Counter(static_cast<double>(pages * state.iterations()), benchmark::Counter::kIsRate);
    pool::set_num_threads_for_testing(0);
}
BENCHMARK(BM_PreloadValidation)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// Window cache operations by many threads over 256 overlapping page offsets
// with room for about 128 windows: hits, reservations with publishes, and waits.
// One cache for every run: threads of a run start without waiting for thread
// 0, so nothing may be replaced between runs.
diskann_io::SharedWindowCache& shared_cache() {
    static diskann_io::SharedWindowCache cache(128 * 4096 + (1 << 20));
    return cache;
}
const diskann_io::SharedWindow& shared_window() {
    static const diskann_io::SharedWindow window = std::make_shared<const std::vector<uint8_t>>(4096, 1);
    return window;
}

void BM_WindowCache(benchmark::State& state) {
    diskann_io::SharedWindowCache& cache = shared_cache();
    const diskann_io::SharedWindow& window = shared_window();
    uint64_t x = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(state.thread_index() + 1);
    for (auto _ : state) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const uint64_t offset = (x % 256) * 4096;
        diskann_io::SharedWindowLookup l = cache.lookup_or_reserve(offset, 4096);
        if (l.kind == diskann_io::SharedWindowLookup::Kind::Reserved) {
            (void)l.reservation.publish(window);
        } else if (l.kind == diskann_io::SharedWindowLookup::Kind::Wait) {
            benchmark::DoNotOptimize(cache.wait_for(offset, 4096).window);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WindowCache)->ThreadRange(1, 64)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
