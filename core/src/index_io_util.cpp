#include "index_io_util.hpp"

#include "ivf_format.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <limits>
#include <string>

#include "error.hpp"
#include "ivf_format.hpp"
#include "numeric.hpp"

namespace tavren::index_io_util {

// ---- Conversions and size checks -------------------------------------------

int64_t u64_to_i64(uint64_t value, std::string_view what, uint64_t limit) {
    if (value > std::min(limit, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))) {
        invalid_input("{} exceeds i64 offset limit: {}", what, value);
    }
    return static_cast<int64_t>(value);
}

int32_t usize_to_i32(uint64_t value, std::string_view what, uint64_t limit) {
    if (value > std::min(limit, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))) {
        invalid_input("{} exceeds i32 length limit: {}", what, value);
    }
    return static_cast<int32_t>(value);
}

uint64_t checked_list_bytes(uint64_t a, uint64_t b) {
    std::optional<uint64_t> product = checked_mul(a, b);
    if (!product) invalid_data("list byte size overflow");
    return *product;
}

uint64_t checked_list_offset(int64_t offset, uint64_t list) {
    if (offset < 0) invalid_data("negative list offset {} at list {}", offset, list);
    return static_cast<uint64_t>(offset);
}

uint64_t checked_section_size(uint64_t a, uint64_t b, std::string_view overflow_message) {
    std::optional<uint64_t> product = checked_mul(a, b);
    if (!product) invalid_data("{}", overflow_message);
    if (*product > kSectionElementLimit) invalid_data("section size {} exceeds maximum {}", *product, kSectionElementLimit);
    return *product;
}

int32_t validate_positive_i32(int32_t value, std::string_view name) {
    if (value <= 0) invalid_data("invalid header field {}: {} (must be positive)", name, value);
    return value;
}

void validate_reserved_zero(std::span<const uint8_t> bytes, std::string_view what) {
    if (std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; })) {
        invalid_data("{} reserved bytes must be zero", what);
    }
}

// ---- Sections ----------------------------------------------------------------

void write_ivf_offset_table(io::SeekWrite& out, std::span<ivf_format::OffsetEntry> entries,
                            std::span<const uint64_t> payload_bytes, uint64_t max_offset,
                            std::string_view start_overflow, std::string_view offset_overflow) {
    std::optional<uint64_t> running = checked_add(out.pos(), entries.size() * ivf_format::kOffsetEntryBytes);
    if (!running) invalid_input("{}", start_overflow);
    for (size_t l = 0; l < entries.size(); ++l) {
        entries[l].offset = u64_to_i64(*running, "list offset", max_offset);
        if (entries[l].count == 0) continue;
        running = checked_add(*running, payload_bytes[l]);
        if (!running) invalid_input("{}", offset_overflow);
    }
    for (const ivf_format::OffsetEntry& entry : entries) {
        std::array<uint8_t, ivf_format::kOffsetEntryBytes> bytes{};
        entry.encode_to(bytes);
        const std::span<const uint8_t> b(bytes);
        out.write_all(b.subspan(0, 8));
        out.write_all(b.subspan(8, 4));
        out.write_all(b.subspan(12, 4));
    }
}

void write_f32_slice(io::SeekWrite& writer, std::span<const float> values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(float));
    if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
    writer.write_all(bytes);
}

std::vector<float> bytes_to_f32_vec(std::span<const uint8_t> bytes) {
    if (bytes.size() % sizeof(float) != 0) invalid_data("f32 byte section is not 4-byte aligned");
    std::vector<float> values(bytes.size() / sizeof(float));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), bytes.size());
    return values;
}

// ---- Row-ID filters ------------------------------------------------------------

RoaringTreemap decode_roaring_filter(std::span<const uint8_t> bytes) {
    std::string reason;
    std::optional<RoaringTreemap> treemap = RoaringTreemap::deserialize(bytes, &reason);
    if (!treemap) invalid_input("invalid RoaringTreemap filter: {}", reason);
    return std::move(*treemap);
}

uint64_t decode_roaring_filter_cardinality(std::span<const uint8_t> bytes) {
    std::string reason;
    std::optional<RoaringTreemap> treemap = RoaringTreemap::deserialize(bytes, &reason);
    if (!treemap) invalid_input("invalid serialized RoaringTreemap filter: {}", reason);
    return treemap->cardinality();
}

// ---- Batch-search argument checks ------------------------------------------------

void validate_batch_queries(std::span<const float> queries, uint64_t nq, uint64_t dimension, uint64_t k) {
    if (nq == 0) invalid_input("nq must be greater than 0");
    std::optional<uint64_t> expected = checked_mul(nq, dimension);
    if (!expected) invalid_input("nq * dimension overflows usize");
    if (queries.size() != *expected) {
        invalid_input("queries length {} does not match nq * dimension {}", queries.size(), *expected);
    }
    if (k == 0) invalid_input("k must be greater than 0");
}

void validate_search_inputs(std::span<const float> queries, uint64_t nq, uint64_t dimension, uint64_t k,
                            uint64_t nprobe) {
    validate_batch_queries(queries, nq, dimension, k);
    if (nprobe == 0) invalid_input("nprobe must be greater than 0");
}

// ---- Delta-varint row IDs ----------------------------------------------------------

EncodedIds encode_delta_varint_ids(std::span<const int64_t> ids) {
    EncodedIds out;
    if (ids.empty()) return out;
    out.base = ids.front();
    out.bytes.reserve(ids.size() * 2);
    uint64_t previous = static_cast<uint64_t>(out.base);
    for (int64_t id : ids) {
        uint64_t gap = static_cast<uint64_t>(id) - previous;  // wrapping, as the format defines
        while (gap >= 0x80) {
            out.bytes.push_back(static_cast<uint8_t>((gap & 0x7F) | 0x80));
            gap >>= 7;
        }
        out.bytes.push_back(static_cast<uint8_t>(gap));
        previous = static_cast<uint64_t>(id);
    }
    return out;
}

size_t append_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count,
                               const DeltaVarintMessages& messages, std::vector<int64_t>& out) {
    const uint8_t* p = section.data();
    const size_t size = section.size();
    size_t pos = 0;
    auto next_byte = [&] {
        if (pos == size) invalid_data("{}", messages.truncated);
        return p[pos++];
    };
    uint64_t previous = static_cast<uint64_t>(base);
    for (uint64_t i = 0; i < count; ++i) {
        previous = next_delta_varint_id(previous, messages, next_byte);
        out.push_back(static_cast<int64_t>(previous));
    }
    return pos;
}

std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count,
                                             const DeltaVarintMessages& messages, TrailingBytes trailing) {
    std::vector<int64_t> ids;
    // Every gap takes at least one byte, so a count beyond the section's bytes
    // cannot be decoded; reserving it would let a corrupt field size the
    // allocation. The decode below still reports the first fault it meets.
    ids.reserve(static_cast<size_t>(std::min<uint64_t>(count, section.size())));
    const size_t used = append_delta_varint_ids(base, section, count, messages, ids);
    if (trailing == TrailingBytes::Refused && used != section.size()) {
        invalid_data("trailing bytes in delta-varint ID section");
    }
    return ids;
}

std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count) {
    return decode_delta_varint_ids(base, section, count, kDeltaVarintMessages, TrailingBytes::Refused);
}

std::vector<int64_t> read_delta_varint_ids_at(const io::SeekRead& reader, uint64_t offset, uint64_t count,
                                              uint64_t id_bytes_len, std::string_view what) {
    if (id_bytes_len > std::numeric_limits<uint64_t>::max() - kIdBlockHeaderBytes) {
        invalid_data("{} ID prefix size overflows usize", what);
    }
    const uint64_t read_len = kIdBlockHeaderBytes + id_bytes_len;
    std::optional<uint64_t> decoded_bytes = checked_mul(count, sizeof(int64_t));
    if (!decoded_bytes) invalid_data("{} decoded ID size overflows usize", what);
    std::optional<uint64_t> total = checked_add(read_len, *decoded_bytes);
    if (!total || *total > kReadBudgetBytes) {
        invalid_data("{} ID section and decoded IDs exceed the bounded streaming allocation", what);
    }

    std::vector<uint8_t> block(static_cast<size_t>(read_len), 0);
    io::ReadRequest request{block.data(), block.size(), offset};
    reader.pread(std::span<io::ReadRequest>(&request, 1));

    const ivf_format::IdBlockHeader header = ivf_format::IdBlockHeader::decode_from(
        std::span<const uint8_t, ivf_format::kIdBlockHeaderBytes>(block.data(), ivf_format::kIdBlockHeaderBytes));
    if (!header.matches_table(id_bytes_len)) invalid_data("{} ID length does not match the offset table", what);
    return decode_delta_varint_ids(header.base_id, std::span<const uint8_t>(block).subspan(kIdBlockHeaderBytes), count);
}

// ---- Bounded batched reads ------------------------------------------------------------

void pread_batched_slices_with_limit(const io::SeekRead& reader, std::span<const uint64_t> offsets,
                                     std::span<const std::span<uint8_t>> buffers, uint64_t limit) {
    if (offsets.size() != buffers.size()) invalid_input("IVF batch offsets and payloads must have the same length");
    const size_t count = offsets.size();
    if (count == 0) return;
    const uint64_t cap = reader.capabilities().max_ranges_per_call;

    std::vector<io::ReadRequest> requests;
    requests.reserve(count);
    for (size_t i = 0; i < count; ++i) requests.push_back(io::ReadRequest{buffers[i].data(), buffers[i].size(), offsets[i]});

    size_t start = 0;
    while (start < count) {
        size_t end = start + 1;  // the first request of a call is always taken
        uint64_t sum = requests[start].len;
        while (end < count) {
            if (cap != 0 && end - start >= cap) break;
            std::optional<uint64_t> next = checked_add(sum, requests[end].len);
            if (!next) invalid_data("IVF batch payload size overflow");
            if (*next > limit) break;
            sum = *next;
            ++end;
        }
        reader.pread(std::span<io::ReadRequest>(requests.data() + start, end - start));
        start = end;
    }
}

void pread_batched_payloads(const io::SeekRead& reader, std::span<const uint64_t> offsets,
                            std::span<std::vector<uint8_t>> payloads) {
    std::vector<std::span<uint8_t>> buffers;
    buffers.reserve(payloads.size());
    for (std::vector<uint8_t>& p : payloads) buffers.emplace_back(p);
    pread_batched_slices_with_limit(reader, offsets, buffers, kReadBudgetBytes);
}

size_t bounded_ivf_payload_batch_end(std::span<const uint64_t> payload_lengths, uint64_t max_ranges_per_call) {
    return bounded_ivf_payload_batch_end(payload_lengths.size(), max_ranges_per_call,
                                         [&](size_t i) { return payload_lengths[i]; });
}

uint64_t bounded_ivf_stream_chunk_rows(uint64_t remaining_rows, uint64_t bytes_per_row, uint64_t fixed_bytes,
                                       uint64_t row_multiple) {
    if (remaining_rows == 0) return 0;
    if (bytes_per_row == 0 || row_multiple == 0) invalid_data("IVF streaming row shape must be greater than zero");
    if (fixed_bytes > kChunkBudgetBytes) invalid_data("IVF decoded row IDs exceed the bounded streaming allocation");
    const uint64_t fit = (kChunkBudgetBytes - fixed_bytes) / bytes_per_row;
    uint64_t rows = std::min(remaining_rows, fit);
    if (row_multiple >= 2 && fit < remaining_rows) rows -= rows % row_multiple;
    if (rows == 0) invalid_data("one IVF streaming block exceeds the bounded allocation");
    return rows;
}

// ---- Buffers for what a read overwrites ----------------------------------------------------

std::unique_ptr<uint8_t[]> read_overwrite_buffer(uint64_t bytes, std::string_view what) {
    if (bytes > static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        fail(ErrorKind::OutOfMemory, "{} of {} bytes does not fit in memory", what, bytes);
    }
    try {
        return std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(bytes));
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "{} of {} bytes does not fit in memory", what, bytes);
    }
}

std::unique_ptr<uint8_t[]> read_section_grown(const io::SeekRead& input, uint64_t start, uint64_t total,
                                              uint64_t piece, std::string_view what) {
    TD_ASSERT(piece >= 1, "read piece must be at least one byte");
    uint64_t capacity = std::min(total, piece);
    std::unique_ptr<uint8_t[]> data = read_overwrite_buffer(capacity, what);
    for (uint64_t pos = 0; pos < total;) {
        const uint64_t n = std::min(piece, total - pos);
        if (pos + n > capacity) {
            const uint64_t grown = std::min(total, std::max(pos + n, saturating_mul(capacity, 2)));
            std::unique_ptr<uint8_t[]> bigger = read_overwrite_buffer(grown, what);
            std::memcpy(bigger.get(), data.get(), static_cast<size_t>(pos));
            data = std::move(bigger);
            capacity = grown;
        }
        io::ReadRequest request{data.get() + pos, static_cast<size_t>(n), start + pos};
        input.pread(std::span<io::ReadRequest>(&request, 1));
        pos += n;
    }
    return data;
}

}  // namespace tavren::index_io_util
