#include "diskann_file_builder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "error.hpp"
#include "memory_sink.hpp"

namespace tavren::testing {

namespace fmt_ = diskann_format;

DiskAnnFileContents ring_contents(uint64_t n, uint64_t degree, uint64_t dimension) {
    DiskAnnFileContents contents;
    contents.dimension = dimension;
    contents.pq_m = std::min<uint64_t>(4, dimension);
    contents.config.max_degree = std::max<uint64_t>(degree, 1);
    contents.config.build_search_list_size = contents.config.max_degree + 4;
    contents.config.seed = 42;
    contents.config.alpha = 1.2f;
    for (uint64_t i = 0; i < n; ++i) {
        contents.row_ids.push_back(static_cast<int64_t>(i));
        std::vector<uint32_t> list;
        for (uint64_t k = 1; k <= degree && k < n; ++k) list.push_back(static_cast<uint32_t>((i + k) % n));
        std::sort(list.begin(), list.end());
        contents.neighbors.push_back(std::move(list));
        for (uint64_t j = 0; j < dimension; ++j) contents.vectors.push_back(static_cast<float>(i) * 0.25f - float(j));
    }
    return contents;
}

DiskAnnFile build_diskann_file(const DiskAnnFileContents& contents) {
    const uint64_t n = contents.row_ids.size();
    const uint64_t d = contents.dimension;
    const bool interleaved = contents.config.storage_layout != diskann::StorageLayout::Compact;
    const uint64_t v =
        interleaved ? d * diskann::raw_bytes_per_value(contents.config.raw_vector_encoding) : 0;
    fmt_::GraphView graph;
    graph.node_count = n;
    graph.neighbors = [&](uint64_t i) { return std::span<const uint32_t>(contents.neighbors[i]); };
    graph.vector = [&](uint64_t i) { return std::span<const float>(contents.vectors).subspan(i * d, d); };

    DiskAnnFile file;
    file.plan = fmt_::plan_adjacency_pages(graph, v);
    const fmt_::RowIdStorage row_ids =
        fmt_::RowIdStorage::encode(n, [&](uint64_t i) { return contents.row_ids[i]; });
    file.header = fmt_::DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(
        d, n, contents.entry_node, contents.pq_m, contents.pq_bits, contents.metric, contents.config, row_ids.section_length(),
        file.plan.page_count);

    MemorySink out;
    out.write_all(file.header.encode());
    const std::array<uint8_t, fmt_::kPageBytes> zeros{};
    auto pad_to = [&](uint64_t target) {
        while (out.pos() < target) {
            out.write_all(std::span<const uint8_t>(zeros).first(std::min<uint64_t>(4096, target - out.pos())));
        }
    };
    pad_to(fmt_::kFirstSectionOffset);
    {
        fmt_::ChunkedSectionWriter sink(out);
        const uint64_t ksub = fmt_::diskann_pq_ksub(contents.pq_bits);
        std::vector<uint64_t> offsets;
        for (uint64_t j = 0; j <= contents.pq_m; ++j) offsets.push_back(j * d / contents.pq_m);
        std::vector<float> centroids(d * ksub);
        for (size_t i = 0; i < centroids.size(); ++i) centroids[i] = static_cast<float>(i % 97) * 0.5f;
        fmt_::write_pq_codebook({d, contents.pq_m, contents.pq_bits, ksub, offsets, centroids}, sink);
        fmt_::write_row_id_section(row_ids, sink);
        const uint64_t c = fmt_::diskann_pq_code_size(contents.pq_m, contents.pq_bits);
        for (uint64_t i = 0; i < n; ++i) {
            for (uint64_t b = 0; b < c; ++b) {
                uint8_t code = static_cast<uint8_t>(i * 7 + b);
                if (contents.pq_bits == 4 && contents.pq_m % 2 == 1 && b == c - 1) code &= 0x0F;
                sink.write_le(code);
            }
        }
        fmt_::write_row_id_order(fmt_::row_id_order(row_ids), sink);
        fmt_::write_adjacency_index(file.plan.locators, sink);
        sink.finish();
    }
    pad_to(file.header.sections[fmt_::kSectionAdjacencyPages].offset);
    {
        fmt_::ChunkedSectionWriter sink(out);
        fmt_::write_adjacency_pages(graph, file.plan, v, contents.config.raw_vector_encoding, sink);
        sink.finish();
    }
    if (!interleaved) {
        fmt_::write_vector_records(n, graph.vector, contents.config.raw_vector_encoding, out);
    }
    file.bytes = out.bytes();
    return file;
}

std::string check_diskann_file(const std::vector<uint8_t>& bytes) {
    try {
        const fmt_::DiskAnnHeader h = fmt_::DiskAnnHeader::decode(bytes);
        if (bytes.size() != h.file_length) return "file length differs from the header";
        auto section = [&](size_t s) {
            return std::span<const uint8_t>(bytes).subspan(h.sections[s].offset, h.sections[s].length);
        };
        const fmt_::PqCodebookSection codebook = fmt_::decode_pq_codebook_section(section(0), h);
        (void)fmt_::decode_pq_centroids(codebook);
        const auto ids = section(1);
        const fmt_::RowIdStorage row_ids =
            fmt_::decode_row_id_section_owned(std::vector<uint8_t>(ids.begin(), ids.end()), h.vector_count);
        fmt_::validate_pq_code_padding(h, section(2));
        std::vector<uint32_t> order(h.vector_count);
        std::memcpy(order.data(), section(3).data(), section(3).size());
        fmt_::validate_row_id_order(row_ids, order);
        const fmt_::AdjacencyIndex index = fmt_::decode_adjacency_index(section(4), h);
        const uint64_t pages = fmt_::adjacency_page_count(h);
        for (uint64_t p = 0; p < pages; ++p) {
            fmt_::validate_adjacency_page_payload(h, index, p, section(5).subspan(p * 4096, 4096));
        }
    } catch (const Error& e) {
        return e.message();
    }
    return "";
}

}  // namespace tavren::testing
