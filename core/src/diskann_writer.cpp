#include "diskann_writer.hpp"

#include <algorithm>
#include <array>

#include "diskann_format.hpp"
#include "error.hpp"

namespace tavren::diskann {

namespace fmtd = tavren::diskann_format;

namespace {

using Clock = std::chrono::steady_clock;

// The host's position must agree with what the writer has handed over: a
// disagreeing callback would otherwise size zero fills from a wrong base.
void check_position(io::SeekWrite& output, uint64_t written) {
    const uint64_t pos = output.pos();
    if (pos != written) {
        fail(ErrorKind::InvalidInput, "DiskANN writer ended at {}, expected {}", pos, written);
    }
}

}  // namespace

void pad_to(io::SeekWrite& output, uint64_t& written, uint64_t target) {
    const uint64_t pos = output.pos();
    if (pos > target) fail(ErrorKind::InvalidInput, "DiskANN writer passed a section offset");
    if (pos != written) fail(ErrorKind::InvalidInput, "DiskANN writer ended at {}, expected {}", pos, written);
    static constexpr std::array<uint8_t, kPageBytes> kZeros{};
    while (written < target) {
        const uint64_t piece = std::min<uint64_t>(target - written, kPageBytes);
        output.write_all(std::span<const uint8_t>(kZeros.data(), piece));
        written += piece;
    }
}

DiskAnnWriteStats write_diskann_index_with_stats(const DiskAnnIndex& index, io::SeekWrite& output) {
    const auto start = Clock::now();
    if (output.pos() != 0) fail(ErrorKind::InvalidInput, "DiskANN output must start at offset zero");

    const PreparedDiskAnn prepared = index.prepare_build();
    const DiskAnnBuildConfig& config = index.config();
    const uint64_t n = index.row_ids().size();
    const size_t d = index.dimension();

    uint64_t vector_bytes = 0;
    if (config.storage_layout == StorageLayout::Interleaved) {
        if (__builtin_mul_overflow(uint64_t{d}, raw_bytes_per_value(config.raw_vector_encoding), &vector_bytes)) {
            fail(ErrorKind::InvalidInput, "DiskANN raw vector size overflows usize");
        }
    }
    const vamana::CompactAdjacency& adjacency = prepared.graph.adjacency();
    fmtd::GraphView view;
    view.node_count = n;
    view.neighbors = [&](uint64_t i) { return adjacency[i]; };
    view.vector = [&](uint64_t i) { return prepared.vector(index, i); };
    const fmtd::PagePlan plan = fmtd::plan_adjacency_pages(view, vector_bytes);

    if (n == 0) fail(ErrorKind::InvalidInput, "DiskANN row IDs must not be empty");
    const auto& order = prepared.permutation.order;
    const auto& ids = index.row_ids();
    const fmtd::RowIdStorage row_ids =
        fmtd::RowIdStorage::encode(n, [&](uint64_t i) { return ids[order[i]]; });

    const pq::ProductQuantizer& pq = index.pq();
    const fmtd::DiskAnnHeader header = fmtd::DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(
        d, n, prepared.graph.entry(), pq.m(), pq.nbits(), index.metric(), config, row_ids.section_length(),
        plan.page_count);

    DiskAnnWriteStats stats;
    stats.shard_count = prepared.shard_count;
    stats.prepare = prepared.timings;

    auto t = Clock::now();
    uint64_t written = 0;
    const auto header_bytes = header.encode();
    output.write_all(header_bytes);
    written += header_bytes.size();
    pad_to(output, written, kPageBytes);
    {
        fmtd::ChunkedSectionWriter sink(output);
        const auto offsets = pq.chunk_offsets();
        const std::vector<uint64_t> chunk_offsets(offsets.begin(), offsets.end());
        fmtd::write_pq_codebook({d, pq.m(), pq.nbits(), pq.ksub(), chunk_offsets, pq.centroids()}, sink);
        fmtd::write_row_id_section(row_ids, sink);
        for (uint64_t i = 0; i < n; ++i) sink.write_bytes(prepared.pq_code(index, i));
        {
            const std::vector<uint32_t> by_row_id = fmtd::row_id_order(row_ids);
            fmtd::write_row_id_order(by_row_id, sink);
        }
        fmtd::write_adjacency_index(plan.locators, sink);
        sink.finish();
    }
    written = header.sections[4].offset + header.sections[4].length;
    stats.sections = Clock::now() - t;

    t = Clock::now();
    pad_to(output, written, header.sections[5].offset);
    {
        fmtd::ChunkedSectionWriter sink(output);
        fmtd::write_adjacency_pages(view, plan, vector_bytes, config.raw_vector_encoding, sink);
        sink.finish();
    }
    written = header.sections[5].offset + header.sections[5].length;
    stats.pages = Clock::now() - t;

    t = Clock::now();
    if (!header.interleaved()) {
        check_position(output, written);
        fmtd::write_vector_records(
            n, [&](uint64_t i) { return prepared.vector(index, i); }, config.raw_vector_encoding, output);
        written = header.sections[6].offset + header.sections[6].length;
    }
    stats.raw_vectors = Clock::now() - t;

    const uint64_t end = output.pos();
    if (end != header.file_length) {
        fail(ErrorKind::InvalidInput, "DiskANN writer ended at {}, expected {}", end, header.file_length);
    }
    stats.total = Clock::now() - start;
    return stats;
}

}  // namespace tavren::diskann
