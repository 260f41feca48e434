// IVF-SQ files from arbitrary bytes: open, list reads through the cache,
// streamed lists, single and batch search through the core API.
//
// Input: 8 control bytes, then the file. Control byte 0 chooses how much of
// the header is repaired before opening (none; the fixed fields and the
// bounds summary; also d, nlist and the metric made small) so that the fuzzer
// reaches the lists, and whether the reader runs with small byte budgets
// (streamed lists with windowed IDs and piecewise metadata within reach of
// small inputs), a small memory budget (no cache, or a cache that evicts), a
// row-ID filter and a range cap. Every failure must be a tavren::Error;
// anything else (an assertion, a sanitizer report, a crash) is a finding.
// Successful searches must return exactly k pairs per query, ascending in the
// IEEE total order, filtered rows only.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "file_fuzz_support.hpp"
#include "ivfsq_format.hpp"
#include "ivfsq_io.hpp"
#include "numeric.hpp"
#include "read_options.hpp"
#include "row_id_filter.hpp"

namespace {

namespace sqio = tavren::ivfsq_io;
namespace layout = tavren::ivfsq_format;
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
        h.bit_width = layout::kBitWidth;
        h.flags = layout::kFlags;
        h.reserved = {};
        if (repair >= 2) {
            h.dimension = 1 + static_cast<uint8_t>(h.dimension) % 8;
            h.nlist = 1 + static_cast<uint8_t>(h.nlist) % 8;
            h.metric = static_cast<uint8_t>(h.metric) % 3;
            h.total = static_cast<uint16_t>(h.total);
        }
        // The summary of whatever global bounds follow the header.
        const size_t d = h.dimension > 0 ? static_cast<size_t>(h.dimension) : 0;
        if (d > 0 && d <= 4096 && file.size() >= layout::kHeaderBytes + 8 * d) {
            std::vector<float> mins(d), maxs(d);
            std::memcpy(mins.data(), file.data() + layout::kHeaderBytes, 4 * d);
            std::memcpy(maxs.data(), file.data() + layout::kHeaderBytes + 4 * d, 4 * d);
            const auto [lo, hi] = sqio::sq_global_bounds(mins, maxs);
            h.summary_min = lo;
            h.summary_max = hi;
        }
        h.encode_to(head);
    }
    std::array<uint8_t, layout::kHeaderBytes> header;
    std::memcpy(header.data(), file.data(), layout::kHeaderBytes);

    auto source = std::make_unique<MemoryFile>();
    source->bytes = std::move(file);
    source->cap = (mode & 4) ? 1 + (mode >> 6) : 0;

    sqio::SqReadBudgets budgets;
    if (mode & 8) budgets.metadata_piece_bytes = 24;
    tavren::read_options::VectorIndexReaderOptions options;
    if (mode & 32) options.memory_budget_bytes = 700 + query_seed % 2048;

    std::optional<sqio::IVFSQIndexReader> reader;
    try {
        reader.emplace(sqio::IVFSQIndexReader::open_with_header_and_options(
            std::move(source), std::span<const uint8_t, layout::kHeaderBytes>(header), options, budgets));
    } catch (const tavren::Error&) {
        return 0;
    }
    if (mode & 8) {
        budgets.stream_threshold = 64;
        budgets.id_block_budget = (mode & 64) ? 4096 : 40;
        budgets.id_window_bytes = 1 + (query_seed % 13);
        reader->set_read_budgets_for_testing(budgets);
    }
    const size_t d = reader->dimension();
    const size_t nlist = reader->nlist();

    // Every list, through the path a search would take.
    for (size_t l = 0; l < nlist && l < 16; ++l) {
        try {
            if (reader->list_payload_len(l) > reader->budgets().stream_threshold) {
                uint64_t rows = 0;
                reader->read_list_streamed(l, [&](std::span<const int64_t> ids, std::span<const uint8_t> codes) {
                    check(codes.size() == ids.size() * d);
                    check(ids.size() % 32 == 0 || rows + ids.size() == static_cast<uint64_t>(reader->list_count(l)));
                    for (size_t i = 1; i < ids.size(); ++i) check(ids[i - 1] <= ids[i]);
                    rows += ids.size();
                });
                check(rows == static_cast<uint64_t>(reader->list_count(l)));
            } else {
                const size_t one[1] = {l};
                const std::vector<sqio::SharedSqList> lists = reader->read_scan_lists(one);
                check(lists.size() == 1 && lists[0]->ids.size() == static_cast<size_t>(reader->list_count(l)));
                check(lists[0]->codes().size() == lists[0]->ids.size() * d && lists[0]->list == l);
            }
        } catch (const tavren::Error&) {
        }
    }
    if (const sqio::SqListCache* cache = reader->list_cache()) check(cache->used() <= cache->capacity());

    if (d > 1024) return 0;
    const std::vector<float> queries = tavren::fuzz_support::make_queries(nq, d, query_seed);
    std::optional<tavren::row_id_filter::RoaringTreemap> treemap;
    std::optional<tavren::row_id_filter::RowIdFilter> filter;
    if (mode & 16) {
        treemap.emplace(make_filter(load<uint64_t>(header.data() + 44) ^ query_seed));
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
        const tavren::SearchResult r = sqio::search_batch_ivfsq_reader_filter_range(
            *reader, queries, nq, k, probe_start, probe_end, seed_ids, seed_distances, f);
        check_result(r, nq, k, seed_ids.empty() ? f : nullptr);
    } catch (const tavren::Error&) {
    }
    if (const sqio::SqListCache* cache = reader->list_cache()) check(cache->used() <= cache->capacity());
    return 0;
}
