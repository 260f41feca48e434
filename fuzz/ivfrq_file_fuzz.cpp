// IVF-RQ files from arbitrary bytes: open, the lazy metadata load, list reads
// and single and batch search through the core API.
//
// Input: 8 control bytes, then the file. Control byte 0 chooses how much of
// the header is repaired before opening (none; the constant fields; also d,
// nlist, bits, the metric and the vector count made small and consistent) so
// that the fuzzer reaches the payloads, and whether the reader runs with a
// small read piece (oversized lists read in pieces), a small memory budget, a
// row-ID filter, seeds and a range cap. Every failure must be a
// tavren::Error; anything else (an assertion, a sanitizer report, a crash) is
// a finding. Successful searches must return exactly k pairs per query,
// ascending in the IEEE total order, filtered rows only.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "file_fuzz_support.hpp"
#include "ivfrq_format.hpp"
#include "ivfrq_io.hpp"
#include "numeric.hpp"
#include "rabitq.hpp"
#include "read_options.hpp"
#include "row_id_filter.hpp"

namespace {

namespace rqio = tavren::ivfrq_io;
namespace layout = tavren::ivfrq_format;
using tavren::fuzz_support::check;
using tavren::fuzz_support::check_result;
using tavren::fuzz_support::load;
using tavren::fuzz_support::make_filter;
using tavren::fuzz_support::MemoryFile;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const uint8_t mode = data[0];
    const size_t k = 1 + data[1] % 16;
    const size_t nprobe = 1 + data[2] % 8;
    const size_t nq = 1 + data[3] % 4;
    const size_t probe_start = data[4] % 4;
    const size_t probe_end = probe_start + data[5] % 5;  // may be empty
    const uint16_t query_seed = load<uint16_t>(data + 6);

    std::vector<uint8_t> file(data + 8, data + size);
    if (file.size() < layout::kHeaderBytes) file.resize(layout::kHeaderBytes, 0);
    const std::span<uint8_t, layout::kHeaderBytes> head(file.data(), layout::kHeaderBytes);
    const unsigned repair = mode & 3;
    if (repair >= 1) {
        layout::Header h = layout::Header::decode_from(head);
        h.magic = layout::kMagic;
        h.version = layout::kVersion;
        h.flags = layout::kFlags;
        h.rotation_rounds = layout::kRotationRounds;
        h.rotation_type = layout::kRotationType;
        h.factor_layout = layout::kFactorLayout;
        if (repair >= 2) {
            h.dimension = 1 + static_cast<uint8_t>(h.dimension) % 80;
            h.nlist = 1 + static_cast<uint8_t>(h.nlist) % 8;
            h.metric = static_cast<uint8_t>(h.metric) % 3;
            h.bits = 1 + h.bits % 8;
            h.total = static_cast<uint16_t>(h.total);
            const size_t padded = tavren::rabitq::padded_dimension(static_cast<size_t>(h.dimension));
            h.padded_dimension = static_cast<int32_t>(padded);
            h.plane_size = static_cast<int32_t>(padded / 8);
        }
        h.encode_to(head);
    }
    std::array<uint8_t, layout::kHeaderBytes> header;
    std::memcpy(header.data(), file.data(), layout::kHeaderBytes);

    auto source = std::make_unique<MemoryFile>();
    source->bytes = std::move(file);
    source->cap = (mode & 4) ? 1 + (mode >> 6) : 0;

    tavren::read_options::VectorIndexReaderOptions options;
    if (mode & 32) options.memory_budget_bytes = 3000 + query_seed % 8192;

    std::optional<rqio::IVFRQIndexReader> reader;
    try {
        reader.emplace(rqio::IVFRQIndexReader::open_with_header_and_options(
            std::move(source), std::span<const uint8_t, layout::kHeaderBytes>(header), options));
    } catch (const tavren::Error&) {
        return 0;
    }
    if (mode & 8) reader->set_read_piece_for_testing(1 + query_seed % 97);
    try {
        reader->ensure_loaded();
    } catch (const tavren::Error&) {
        return 0;
    }
    const size_t d = reader->dimension();
    const size_t nlist = reader->nlist();

    for (size_t l = 0; l < nlist && l < 16; ++l) {
        try {
            const size_t one[1] = {l};
            const std::vector<rqio::RQReadList> lists = reader->read_lists(one);
            check(lists.size() == 1 && lists[0].ids.size() == static_cast<size_t>(reader->list_count(l)));
            for (size_t i = 1; i < lists[0].ids.size(); ++i) check(lists[0].ids[i - 1] <= lists[0].ids[i]);
        } catch (const tavren::Error&) {
        }
    }

    if (d > 1024) return 0;
    const std::vector<float> queries = tavren::fuzz_support::make_queries(nq, d, query_seed);
    std::optional<tavren::row_id_filter::RoaringTreemap> treemap;
    std::optional<tavren::row_id_filter::RowIdFilter> filter;
    if (mode & 16) {
        treemap.emplace(make_filter(load<uint64_t>(header.data() + 40) ^ query_seed));
        filter.emplace(*treemap);
    }
    const tavren::row_id_filter::RowIdFilter* f = filter ? &*filter : nullptr;

    try {
        const tavren::SearchResult r = reader->search_with_filter(std::span<const float>(queries).first(d), k, nprobe, f);
        check_result(r, 1, k, f);
    } catch (const tavren::Error&) {
    }
    try {
        std::vector<int64_t> seed_ids;
        std::vector<float> seed_distances;
        if (mode & 128) tavren::fuzz_support::make_seeds(nq, k, query_seed, seed_ids, seed_distances);
        const tavren::SearchResult r = rqio::search_batch_ivfrq_reader_filter_range(
            *reader, queries, nq, k, probe_start, probe_end, seed_ids, seed_distances, f);
        check_result(r, nq, k, seed_ids.empty() ? f : nullptr);
    } catch (const tavren::Error&) {
    }
    return 0;
}
