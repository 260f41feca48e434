// Single-query DiskANN search over a file built by this library, memory
// profile: the whole adjacency section preloaded, PQ codes resident, raw
// vectors read through 4096-byte windows from the in-memory file and kept in
// the session's vector cache. One thread. Sweeps the search-list size L and
// prints recall@10 against brute force and queries per second.
// Usage: diskann_query_bench [rows] [queries] [preset] [build threads].
// Fashion-MNIST when present (the last `queries` rows are held out as
// queries), else a synthetic 128-dimensional mixture.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_memory_io.hpp"
#include "build_bench_common.hpp"
#include "diskann_format.hpp"
#include "diskann_search.hpp"
#include "distance.hpp"
#include "pool.hpp"
#include "pq.hpp"

using namespace tavren;
namespace ds = tavren::diskann_search;
namespace dw = tavren::diskann_windows;
namespace fmt_ = tavren::diskann_format;


namespace {

class BytesFile final : public io::SeekRead {
public:
    explicit BytesFile(const std::vector<uint8_t>& b) : bytes_(b) {}
    void pread(std::span<io::ReadRequest> requests) const override {
        ++calls;
        for (auto& r : requests) {
            if (r.offset + r.len > bytes_.size()) fail(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
            std::memcpy(r.buf, bytes_.data() + r.offset, r.len);
        }
    }
    io::ReadCapabilities capabilities() const override { return {}; }
    mutable uint64_t calls = 0;

private:
    const std::vector<uint8_t>& bytes_;
};

// The resident data of the file, as a reader would hold it.
class Resident final : public ds::DiskAnnSearchSource {
public:
    Resident(const std::vector<uint8_t>& file, const fmt_::DiskAnnHeader& header)
        : header_(header), pq_(pq::ProductQuantizer::with_nbits(1, 1, 8)) {
        auto section = [&](size_t s) {
            return std::span<const uint8_t>(file).subspan(header.sections[s].offset, header.sections[s].length);
        };
        const auto cb = fmt_::decode_pq_codebook_section(section(0), header);
        std::vector<size_t> offsets(cb.chunk_offsets.begin(), cb.chunk_offsets.end());
        pq_ = pq::ProductQuantizer::with_validated_chunk_offsets(cb.dimension, cb.nbits, offsets);
        pq_.set_centroids(fmt_::decode_pq_centroids(cb));
        const auto s1 = section(1);
        row_ids_ = fmt_::decode_row_id_section_owned(std::vector<uint8_t>(s1.begin(), s1.end()), header.vector_count);
        codes = section(2);
        index_ = fmt_::decode_adjacency_index(section(4), header);
        page_state_.assign(header.sections[5].length / 4096, 0);
    }
    ds::AdjacencyLocator adjacency_locator(size_t node) const override {
        const auto loc = index_.locator(node);
        if (!loc) invalid_data("DiskANN adjacency index is truncated");
        return *loc;
    }
    void validate_page_once(uint64_t page, std::span<const uint8_t> bytes) override {
        if (page_state_.at(page) == 2) return;
        fmt_::validate_adjacency_page_payload(header_, index_, page, bytes);
        page_state_[page] = 2;
    }
    ds::SharedWindowCacheView& shared_adjacency_cache() override {
        invalid_data("DiskANN resident sections are not loaded");
    }
    void compute_distance_table(std::span<const float> query, std::span<float> table) const override {
        pq_.compute_distance_table(query, header_.metric, table);
    }
    int64_t row_id(size_t node) const override {
        const auto id = row_ids_.get(node);
        if (!id) invalid_data("DiskANN row-ID node is out of range");
        return *id;
    }
    std::span<const uint8_t> codes;

private:
    const fmt_::DiskAnnHeader& header_;
    pq::ProductQuantizer pq_;
    fmt_::RowIdStorage row_ids_;
    fmt_::AdjacencyIndex index_;
    std::vector<uint8_t> page_state_;
};

}  // namespace

int main(int argc, char** argv) {
    const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 60000;
    const size_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    const std::string preset = argc > 3 ? argv[3] : "balanced";
    const size_t threads = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 3;
    bench::DataSet set = bench::read_fashion_mnist("/usr/share/datasets/fashion-mnist", rows);
    if (set.n == 0) set = bench::synthetic("synthetic", rows, 128, 7);
    const size_t d = set.d;
    const size_t n = set.n - nq;
    const std::span<const float> base(set.rows.data(), n * d);
    const std::span<const float> queries(set.rows.data() + n * d, nq * d);

    const auto build_start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> file_bytes =
        bench::build_diskann_file(base, n, d, threads, {{"diskann.build-preset", preset}});
    const double build_s = bench::seconds_since(build_start);
    const auto header = fmt_::DiskAnnHeader::decode(file_bytes);
    Resident resident(file_bytes, header);
    BytesFile file(file_bytes);

    // Ground truth.
    std::vector<int64_t> truth(nq * 10);
    for (size_t q = 0; q < nq; ++q) {
        std::vector<std::pair<float, int64_t>> all(n);
        for (size_t i = 0; i < n; ++i) {
            all[i] = {distance::fvec_l2sqr(queries.subspan(q * d, d), base.subspan(i * d, d)), static_cast<int64_t>(i)};
        }
        std::partial_sort(all.begin(), all.begin() + 10, all.end());
        for (size_t k = 0; k < 10; ++k) truth[q * 10 + k] = all[k].second;
    }

    const auto& s5 = header.sections[5];
    const auto& s6 = header.sections[6];
    read_options::ReadPlan plan;
    plan.window_bytes = 4096;
    ds::SingleSearchInput input{
        ds::GraphSearchInput{
            ds::AdjacencyLoadInput{dw::ReadWindowPlanner(s5.offset, s5.length, 4096),
                                   std::span<const uint8_t>(file_bytes).subspan(s5.offset, s5.length), &file, false},
            header.vector_count, header.entry_node, header.max_degree, resident.codes, header.pq_m, header.pq_bits},
        16, header.interleaved(), std::nullopt, std::nullopt};
    input.raw = ds::RawVectorRerankInput{dw::VectorWindowPlanner::create(plan, s6.offset, s6.length, header.record_bytes),
                                         header.raw_vector_encoding, header.metric, uint64_t{1} << 30, nullptr, &file};
    const uint64_t resident_bytes = header.sections[2].length + s5.length;
    std::printf("%s: %zu x %zu, preset %s, build %.1f s, R %u, PQ m %u x %u bits; resident PQ codes + adjacency "
                "%.1f MiB (raw vectors %.1f MiB)\n",
                set.name.c_str(), n, d, preset.c_str(), build_s, header.max_degree, header.pq_m, header.pq_bits,
                double(resident_bytes) / 1048576.0, double(s6.length) / 1048576.0);
    std::printf("%6s %10s %10s %12s %12s\n", "L", "recall@10", "QPS", "rerank/q", "reads/q");

    auto scratch = ds::DiskAnnQueryScratch::create();
    std::vector<int64_t> ids;
    std::vector<float> dists;
    for (size_t l : {10, 20, 30, 40, 60, 80, 100, 150, 200, 300}) {
        // One warm pass, then the timed pass.
        uint64_t hits = 0, rerank = 0;
        const uint64_t calls_before = file.calls;
        for (int pass = 0; pass < 2; ++pass) {
            hits = 0;
            rerank = 0;
            const auto start = std::chrono::steady_clock::now();
            for (size_t q = 0; q < nq; ++q) {
                ds::DiskAnnSearchStats stats = ds::DiskAnnSearchStats::for_queries(1);
                const auto query = ds::prepare_diskann_query(queries.subspan(q * d, d), d, header.metric, *scratch);
                ds::search_preprocessed(input, resident, query, 10, l, *scratch, stats, ids, dists);
                rerank += stats.rerank_candidates;
                for (int64_t id : ids) hits += std::count(truth.begin() + q * 10, truth.begin() + q * 10 + 10, id);
            }
            const double s = bench::seconds_since(start);
            if (pass == 1) {
                std::printf("%6zu %10.4f %10.0f %12.1f %12.2f\n", l, double(hits) / double(nq * 10), double(nq) / s,
                            double(rerank) / double(nq), double(file.calls - calls_before) / double(2 * nq));
            }
        }
    }
    return 0;
}
