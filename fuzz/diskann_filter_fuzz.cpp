// DiskANN filtered search with arbitrary filter bytes over two small files
// built in-process (compact and interleaved, 300 rows, some sharing a row ID).
//
// Input: byte 0 picks the file (bit 0), the reader budget (bit 1: roomy, or
// just above the resident peak so the row-ID order is unavailable) and the
// batch size (bits 2-3: 1, 2, 5 or 9 queries); byte 1 picks top_k (1 + its
// value mod 12) and l_search (bits 4-7: 0 or 16 x the value); the rest are
// the filter bytes. Every failure must be a tavren::Error. A search that
// succeeds returns exactly top_k pairs per query, ascending, each either a
// row of the filter or the pad (-1, f32::MAX) after every real pair; the
// batch answers each query as the single search does.
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "diskann.hpp"
#include "diskann_io.hpp"
#include "diskann_writer.hpp"
#include "file_fuzz_support.hpp"
#include "index_io_util.hpp"
#include "kmeans.hpp"

namespace {

using namespace tavren;
using fuzz_support::check;

constexpr size_t kRows = 300;
constexpr size_t kDim = 8;

class VectorSink final : public io::SeekWrite {
public:
    void write_all(std::span<const uint8_t> bytes) override { out.insert(out.end(), bytes.begin(), bytes.end()); }
    uint64_t pos() override { return out.size(); }
    std::vector<uint8_t> out;
};

std::vector<float> rows() {
    std::vector<float> v(kRows * kDim);
    uint64_t s = 99;
    for (float& x : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<float>((s >> 40) % 2001) / 1000.0f - 1.0f;
    }
    return v;
}

std::vector<uint8_t> build_file(diskann::StorageLayout layout) {
    diskann::DiskAnnBuildConfig c;
    c.max_degree = 8;
    c.build_search_list_size = 16;
    c.seed = 3;
    c.memory_budget_bytes = uint64_t{1} << 28;
    c.alpha = 1.2f;
    c.storage_layout = layout;
    diskann::DiskAnnIndex index(kDim, 0, 4, 8, c);
    const std::vector<float> data = rows();
    kmeans::KMeansConfig km;
    km.max_iter = 3;
    index.train_with_config(data, kRows, km);
    std::vector<int64_t> ids(kRows);
    // Row IDs 0..149 twice, with a few negative ones.
    for (size_t i = 0; i < kRows; ++i) ids[i] = i % 37 == 5 ? -static_cast<int64_t>(i) : static_cast<int64_t>(i % 150);
    index.add(data, ids);
    VectorSink sink;
    diskann::write_diskann_index_with_stats(index, sink);
    return std::move(sink.out);
}

const std::vector<uint8_t>& file(bool interleaved) {
    static const std::vector<uint8_t> compact = build_file(diskann::StorageLayout::Compact);
    static const std::vector<uint8_t> inter = build_file(diskann::StorageLayout::Interleaved);
    return interleaved ? inter : compact;
}

void check_answer(std::span<const int64_t> ids, std::span<const float> dist, size_t k,
                  const row_id_filter::RoaringTreemap& filter) {
    check(ids.size() == k && dist.size() == k);
    bool padding = false;
    for (size_t i = 0; i < k; ++i) {
        if (ids[i] == -1) {
            padding = true;
            check(dist[i] == std::numeric_limits<float>::max());
            continue;
        }
        check(!padding);
        check(ids[i] >= 0 && filter.contains(static_cast<uint64_t>(ids[i])));
        if (i > 0) check(dist[i - 1] <= dist[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool interleaved = (data[0] & 1) != 0;
    const std::vector<uint8_t>& bytes = file(interleaved);
    auto source = std::make_shared<fuzz_support::MemoryFile>();
    source->bytes = bytes;
    read_options::VectorIndexReaderOptions options;
    const auto header = diskann_format::DiskAnnHeader::decode(bytes);
    options.memory_budget_bytes = (data[0] & 2) != 0 ? diskann_io::resident_peak_bytes(header) + 64 : uint64_t{1} << 28;
    static constexpr size_t kBatches[4] = {1, 2, 5, 9};
    const size_t nq = kBatches[(data[0] >> 2) & 3];
    const size_t k = 1 + data[1] % 12;
    const uint64_t l = uint64_t{16} * (data[1] >> 4);
    const std::span<const uint8_t> filter(data + 2, size - 2);
    const std::vector<float> all = rows();
    const std::vector<float> queries(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(nq * kDim));
    try {
        auto reader = diskann_io::DiskAnnIndexReader::open_with_options(source, options);
        std::vector<int64_t> ids;
        std::vector<float> dist;
        bool single_ok = true;
        try {
            reader.search_with_roaring_filter(std::span<const float>(queries).first(kDim), k, l, filter, ids, dist);
        } catch (const Error&) {
            single_ok = false;
        }
        std::vector<int64_t> batch_ids;
        std::vector<float> batch_dist;
        bool batch_ok = true;
        try {
            reader.search_batch_with_roaring_filter(queries, k, l, filter, batch_ids, batch_dist);
        } catch (const Error&) {
            batch_ok = false;
        }
        // The filter decodes for both or for neither; a file that searches
        // once searches again.
        check(single_ok == batch_ok);
        if (!single_ok) return 0;
        const row_id_filter::RoaringTreemap treemap = index_io_util::decode_roaring_filter(filter);
        check_answer(ids, dist, k, treemap);
        check(batch_ids.size() == nq * k && batch_dist.size() == nq * k);
        for (size_t q = 0; q < nq; ++q) {
            check_answer(std::span<const int64_t>(batch_ids).subspan(q * k, k),
                         std::span<const float>(batch_dist).subspan(q * k, k), k, treemap);
        }
        for (size_t i = 0; i < k; ++i) {
            check(batch_ids[i] == ids[i]);
            check(std::bit_cast<uint32_t>(batch_dist[i]) == std::bit_cast<uint32_t>(dist[i]));
        }
    } catch (const Error&) {
    }
    return 0;
}
