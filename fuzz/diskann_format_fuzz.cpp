// DiskANN file codecs from arbitrary bytes.
//
// Input: one mode byte, then
//   mode 0: a whole file image. The header is decoded; every section that lies
//           within the image goes through its decoder and checks in file order,
//           every page through the page check, and what was accepted must keep
//           the promises the search relies on.
//   mode 1: a row-ID section, the node count taken from its own count field or
//           (low bit of the next byte) a count the bytes cannot hold.
//   mode 2: one adjacency list: u16 degree (the raw flag in bit 15), then bytes.
// Every failure must be a tavren::Error; decoders may not allocate more than
// the bytes they were given justify (libFuzzer's malloc limit enforces it).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "diskann_format.hpp"

namespace {

namespace df = tavren::diskann_format;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

template <class T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void check_row_ids(const df::RowIdStorage& ids, uint64_t n) {
    check(ids.count() == n);
    // A width-0 section describes any count in 32 bytes; walk only counts a
    // run can afford.
    if (n > (uint64_t{1} << 20)) return;
    ids.try_for_each([&](uint64_t node, int64_t id) {
        const auto got = ids.get(node);
        check(got.has_value() && *got == id);
    });
    check(!ids.get(n).has_value());
    // The writer's rule over the same IDs never needs more bytes than a raw section.
    const df::RowIdStorage again = df::RowIdStorage::encode(n, [&](uint64_t i) { return *ids.get(i); });
    check(again.section_length() <= df::kRowIdHeaderBytes + 8 * n);
    for (uint64_t i = 0; i < n; ++i) check(again.get(i) == ids.get(i));
}

void fuzz_file(std::span<const uint8_t> image) {
    df::DiskAnnHeader h;
    try {
        h = df::DiskAnnHeader::decode(image);
    } catch (const tavren::Error&) {
        return;
    }
    const auto encoded = h.encode();
    check(std::equal(encoded.begin(), encoded.end(), image.begin()));
    check(h.metric_type() <= 2);
    (void)h.raw_vector_encoding_type();

    auto section = [&](size_t s) -> std::optional<std::span<const uint8_t>> {
        const df::DiskAnnSection sec = h.sections[s];
        if (sec.offset > image.size() || image.size() - sec.offset < sec.length) return std::nullopt;
        return image.subspan(sec.offset, sec.length);
    };
    try {
        if (auto s0 = section(df::kSectionCodebook)) {
            const df::PqCodebookSection codebook = df::decode_pq_codebook_section(*s0, h);
            check(codebook.chunk_offsets.size() == uint64_t{h.pq_m} + 1);
            check(df::decode_pq_centroids(codebook).size() == uint64_t{h.dimension} * codebook.ksub);
        }
    } catch (const tavren::Error&) {
    }
    std::optional<df::RowIdStorage> row_ids;
    try {
        if (auto s1 = section(df::kSectionRowIds)) {
            row_ids = df::decode_row_id_section_owned(std::vector<uint8_t>(s1->begin(), s1->end()), h.vector_count);
            check_row_ids(*row_ids, h.vector_count);
        }
    } catch (const tavren::Error&) {
    }
    try {
        if (auto s2 = section(df::kSectionPqCodes)) df::validate_pq_code_padding(h, *s2);
    } catch (const tavren::Error&) {
    }
    try {
        auto s3 = section(df::kSectionRowIdOrder);
        if (s3 && row_ids) {
            std::vector<uint32_t> order(s3->size() / 4);
            if (!order.empty()) std::memcpy(order.data(), s3->data(), 4 * order.size());
            df::validate_row_id_order(*row_ids, order);
            // Accepted: a permutation in (row ID, node) order.
            std::vector<bool> seen(order.size());
            for (uint32_t node : order) {
                check(!seen[node]);
                seen[node] = true;
            }
            check(order == df::row_id_order(*row_ids));
        }
    } catch (const tavren::Error&) {
    }
    try {
        auto s4 = section(df::kSectionAdjacencyIndex);
        auto s5 = section(df::kSectionAdjacencyPages);
        if (!s4 || !s5) return;
        const df::AdjacencyIndex index = df::decode_adjacency_index(*s4, h);
        const uint64_t pages = df::adjacency_page_count(h);
        const uint64_t v = h.interleaved_vector_bytes();
        std::vector<uint32_t> list;
        for (uint64_t node = 0; node < h.vector_count; ++node) check(index.locator(node).has_value());
        check(!index.locator(h.vector_count).has_value());
        for (uint64_t p = 0; p < pages; ++p) {
            const auto page = s5->subspan(p * df::kPageBytes, df::kPageBytes);
            try {
                df::validate_adjacency_page_payload(h, index, p, page);
            } catch (const tavren::Error&) {
                continue;
            }
            for (uint64_t node = 0; node < h.vector_count; ++node) {
                const df::AdjacencyLocator loc = *index.locator(node);
                if (loc.page != p) continue;
                check(loc.offset >= v);
                df::decode_adjacency_list(page.subspan(loc.offset), loc.degree(), loc.raw(), list);
                for (size_t k = 0; k < list.size(); ++k) {
                    check(list[k] < h.vector_count && list[k] != node);
                    check(k == 0 || list[k] > list[k - 1]);
                }
                if (v > 0) {
                    check(df::raw_vector_record_is_finite(page.subspan(loc.offset - v, v),
                                                          h.raw_vector_encoding_type()));
                }
            }
        }
    } catch (const tavren::Error&) {
    }
}

void fuzz_row_ids(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    const bool absurd = (bytes[0] & 1) != 0;
    const std::span<const uint8_t> section = bytes.subspan(1);
    uint64_t n = section.size() >= 16 ? load<uint64_t>(section.data() + 8) : section.size();
    if (absurd) n = (uint64_t{1} << 40) + bytes[0];
    try {
        const df::RowIdStorage ids = df::decode_row_id_section_owned(std::vector<uint8_t>(section.begin(), section.end()), n);
        check(ids.section_length() == section.size());
        check_row_ids(ids, n);
    } catch (const tavren::Error&) {
    }
}

void fuzz_list(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2) return;
    const uint16_t word = load<uint16_t>(bytes.data());
    const uint32_t degree = word & df::kLocatorDegreeMask;
    const bool raw = (word & df::kLocatorRawBit) != 0;
    const std::span<const uint8_t> body = bytes.subspan(2);
    std::vector<uint32_t> list;
    size_t consumed = 0;
    try {
        consumed = df::decode_adjacency_list(body, degree, raw, list);
    } catch (const tavren::Error&) {
        return;
    }
    check(list.size() == degree && consumed <= body.size());
    // Canonical varints and raw ids re-encode to exactly the bytes read.
    std::vector<uint8_t> again;
    df::encode_adjacency_list(list, raw, again);
    check(again.size() == consumed && std::equal(again.begin(), again.end(), body.begin()));
    if (std::adjacent_find(list.begin(), list.end(), [](uint32_t a, uint32_t b) { return b <= a; }) == list.end()) {
        const df::ListPlan plan = df::plan_adjacency_list(list);
        if (!raw && !plan.raw) check(plan.size == consumed);
        check(plan.size <= 4 * uint64_t{degree});
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0: fuzz_file(rest); break;
        case 1: fuzz_row_ids(rest); break;
        default: fuzz_list(rest); break;
    }
    return 0;
}
