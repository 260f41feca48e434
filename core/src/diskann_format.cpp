#include "diskann_format.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <tuple>

#include "distance.hpp"
#include "index_io_util.hpp"
#include "numeric.hpp"

namespace tavren::diskann_format {
namespace {

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kI64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr uint64_t kPow62 = uint64_t{1} << 62;
constexpr uint32_t kMaxMetric = 2;

using index_io_util::load_le;

template <class T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof(T));  // little-endian host (x86-64)
}

// Resizes `v` to `n` elements; a failed allocation becomes an Error of `kind`
// with `message` (sizes here come from files or from a caller's data).
template <class T>
void try_resize(std::vector<T>& v, uint64_t n, ErrorKind kind, std::string_view message) {
    try {
        v.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        fail(kind, "{}", message);
    } catch (const std::length_error&) {
        fail(kind, "{}", message);
    }
}

uint32_t narrow_u32(uint64_t value, std::string_view message) {
    if (value > kU32Max) invalid_input("{}", message);
    return static_cast<uint32_t>(value);
}

uint64_t section_end(uint64_t offset, uint64_t length) {
    auto end = checked_add(offset, length);
    if (!end) invalid_input("DiskANN section end overflows u64");
    return *end;
}

uint64_t align_up(uint64_t value) {
    auto padded = checked_add(value, kPageBytes - 1);
    if (!padded) invalid_input("DiskANN section alignment overflows u64");
    return *padded / kPageBytes * kPageBytes;
}

uint64_t checked_mul_u64(std::string_view name, uint64_t a, uint64_t b) {
    auto product = checked_mul(a, b);
    if (!product) invalid_input("DiskANN {} length overflows u64", name);
    return *product;
}

uint64_t record_bytes_for(uint64_t dimension, RawVectorEncoding encoding) {
    return dimension * (encoding == RawVectorEncoding::F32 ? 4 : 2);
}

}  // namespace

// ---- Length functions --------------------------------------------------------------

uint64_t diskann_pq_ksub(uint64_t pq_bits) {
    if (pq_bits == 4) return 16;
    if (pq_bits == 8) return 256;
    invalid_input("DiskANN pq.bits must be 4 or 8");
}

uint64_t diskann_pq_code_size(uint64_t pq_m, uint64_t pq_bits) {
    if (pq_bits == 4) return pq_m - pq_m / 2;
    if (pq_bits == 8) return pq_m;
    invalid_input("DiskANN pq.bits must be 4 or 8");
}

uint64_t pq_codebook_serialized_len(uint64_t dimension, uint64_t pq_m, uint64_t ksub) {
    auto values = checked_mul(dimension, ksub);
    if (!values || *values > kPow62 - 1) invalid_input("DiskANN PQ centroid size overflows usize");
    auto offsets = checked_mul(pq_m, 4);
    std::optional<uint64_t> total = offsets ? checked_add(36, *offsets) : std::nullopt;
    if (total) total = checked_add(*total, *values * 4);
    if (!total) invalid_input("DiskANN PQ codebook size overflows usize");
    return *total;
}

uint64_t adjacency_index_serialized_len(uint64_t vector_count) {
    if (vector_count > kPow62 - 1) invalid_input("DiskANN adjacency locator size overflows usize");
    auto total = checked_add(8 * div_ceil(vector_count, kNodesPerBlock), 4 * vector_count);
    if (!total) invalid_input("DiskANN adjacency index size overflows usize");
    return *total;
}

// ---- Header ------------------------------------------------------------------------

DiskAnnHeader DiskAnnHeader::for_layout_with_adjacency_pages_and_pq_bits(
    uint64_t dimension, uint64_t vector_count, uint32_t entry_node, uint64_t pq_m, uint64_t pq_bits, uint32_t metric,
    const DiskAnnBuildConfig& config, uint64_t row_id_section_length, uint64_t adjacency_page_count) {
    // Any non-zero layout code is the interleaved layout, for the limits too.
    DiskAnnBuildConfig limits = config;
    const bool interleaved = config.storage_layout != diskann::StorageLayout::Compact;
    limits.storage_layout = interleaved ? diskann::StorageLayout::Interleaved : diskann::StorageLayout::Compact;
    diskann::validate_diskann_format_configuration(dimension, pq_m, pq_bits, limits);
    // The decoder opens metrics 0..2 and encodings 1 and 2 only; a header with
    // anything else would be written successfully and never open again.
    if (metric > kMaxMetric) invalid_input("unsupported DiskANN metric {}", metric);
    const auto encoding_code = static_cast<uint32_t>(config.raw_vector_encoding);
    if (encoding_code != 1 && encoding_code != 2) {
        invalid_input("unsupported DiskANN raw-vector encoding {}", encoding_code);
    }
    if (vector_count == 0 || vector_count > kU32Max) {
        invalid_input("DiskANN vector count must be between 1 and u32::MAX");
    }
    if (entry_node >= vector_count) invalid_input("DiskANN entry node is out of range");
    if (adjacency_page_count == 0 || adjacency_page_count > kU32Max) {
        invalid_input("DiskANN adjacency page count must be between 1 and u32::MAX");
    }
    // n <= u32::MAX here, so 8n + 32 cannot overflow.
    if (row_id_section_length < kRowIdHeaderBytes || row_id_section_length > 8 * vector_count + kRowIdHeaderBytes) {
        invalid_input("invalid DiskANN row-ID section length");
    }
    const uint64_t ksub = diskann_pq_ksub(pq_bits);
    const uint64_t code_size = diskann_pq_code_size(pq_m, pq_bits);

    DiskAnnHeader h;
    h.dimension = narrow_u32(dimension, "DiskANN dimension exceeds u32");
    h.pq_m = narrow_u32(pq_m, "DiskANN pq.m exceeds u32");
    h.pq_bits = narrow_u32(pq_bits, "DiskANN pq.bits exceeds u32");
    h.max_degree = narrow_u32(config.max_degree, "DiskANN maximum degree exceeds u32");
    h.build_search_list_size = narrow_u32(config.build_search_list_size, "DiskANN build search-list size exceeds u32");
    h.record_bytes = narrow_u32(record_bytes_for(dimension, config.raw_vector_encoding),
                                "DiskANN vector record size overflows u32");

    DiskAnnSections& s = h.sections;
    s[kSectionCodebook] = {kFirstSectionOffset, pq_codebook_serialized_len(dimension, pq_m, ksub)};
    s[kSectionRowIds] = {section_end(s[0].offset, s[0].length), row_id_section_length};
    s[kSectionPqCodes] = {section_end(s[1].offset, s[1].length), checked_mul_u64("PQ codes", vector_count, code_size)};
    s[kSectionRowIdOrder] = {section_end(s[2].offset, s[2].length),
                             checked_mul_u64("row-ID order", vector_count, 4)};
    s[kSectionAdjacencyIndex] = {section_end(s[3].offset, s[3].length), adjacency_index_serialized_len(vector_count)};
    s[kSectionAdjacencyPages] = {align_up(section_end(s[4].offset, s[4].length)),
                                 checked_mul_u64("adjacency pages", adjacency_page_count, kPageBytes)};
    s[kSectionRawVectors] = {section_end(s[5].offset, s[5].length),
                             interleaved ? 0 : checked_mul_u64("raw vector", vector_count, h.record_bytes)};
    h.file_length = section_end(s[6].offset, s[6].length);

    h.vector_count = vector_count;
    h.build_seed = config.seed;
    h.flags = interleaved ? kFlagsInterleaved : kFlagsCompact;
    h.metric = metric;
    h.entry_node = entry_node;
    h.alpha = config.alpha;
    h.page_size = static_cast<uint32_t>(kPageBytes);
    h.fixed_word_68 = kFixedWord68;
    h.fixed_word_72 = kFixedWord72;
    h.raw_vector_encoding = encoding_code;
    return h;
}

void DiskAnnHeader::encode_to(std::span<uint8_t, kHeaderBytes> bytes) const {
    uint8_t* p = bytes.data();
    std::memset(p, 0, kHeaderBytes);
    store(p + kMagicAt, kMagic);
    store(p + kVersionAt, kVersion);
    store(p + kHeaderSizeAt, static_cast<uint32_t>(kHeaderBytes));
    store(p + kFlagsAt, flags);
    store(p + kDimensionAt, dimension);
    store(p + kMetricAt, metric);
    store(p + kVectorCountAt, vector_count);
    store(p + kEntryNodeAt, entry_node);
    store(p + kMaxDegreeAt, max_degree);
    store(p + kBuildSearchListSizeAt, build_search_list_size);
    store(p + kAlphaAt, alpha);
    store(p + kBuildSeedAt, build_seed);
    store(p + kPqMAt, pq_m);
    store(p + kPqBitsAt, pq_bits);
    store(p + kPageSizeAt, page_size);
    store(p + kFixedWord68At, fixed_word_68);
    store(p + kFixedWord72At, fixed_word_72);
    store(p + kRawVectorEncodingAt, raw_vector_encoding);
    store(p + kRecordBytesAt, record_bytes);
    store(p + kSectionCountAt, kSectionCount);
    store(p + kFileLengthAt, file_length);
    for (size_t i = 0; i < kSectionCount; ++i) {
        store(p + kSectionTableAt + 16 * i, sections[i].offset);
        store(p + kSectionTableAt + 16 * i + 8, sections[i].length);
    }
}

std::array<uint8_t, kHeaderBytes> DiskAnnHeader::encode() const {
    std::array<uint8_t, kHeaderBytes> bytes{};
    encode_to(bytes);
    return bytes;
}

DiskAnnHeader DiskAnnHeader::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() < kHeaderBytes) invalid_data("DiskANN header is truncated: {} bytes", bytes.size());
    const uint8_t* p = bytes.data();
    if (load_le<uint32_t>(bytes, kMagicAt) != kMagic) invalid_data("invalid DiskANN magic");
    if (load_le<uint32_t>(bytes, kVersionAt) != kVersion) invalid_data("unsupported DiskANN version");
    if (load_le<uint32_t>(bytes, kHeaderSizeAt) != kHeaderBytes) invalid_data("invalid DiskANN header size");

    DiskAnnHeader h;
    h.flags = load_le<uint32_t>(bytes, kFlagsAt);
    const bool compact_bit = (h.flags & kFlagCompact) != 0;
    const bool interleaved_bit = (h.flags & kFlagInterleaved) != 0;
    if ((h.flags & ~(kFlagCompact | kFlagInterleaved)) != kRequiredFlags || compact_bit == interleaved_bit) {
        invalid_data("invalid DiskANN required flags");
    }
    if (load_le<uint32_t>(bytes, kSectionCountAt) != kSectionCount) invalid_data("invalid DiskANN section count");
    if (std::any_of(p + kReservedAt, p + kReservedAt + kReservedBytes, [](uint8_t b) { return b != 0; })) {
        invalid_data("DiskANN reserved header bytes must be zero");
    }

    h.dimension = load_le<uint32_t>(bytes, kDimensionAt);
    h.metric = load_le<uint32_t>(bytes, kMetricAt);
    h.vector_count = load_le<uint64_t>(bytes, kVectorCountAt);
    h.entry_node = load_le<uint32_t>(bytes, kEntryNodeAt);
    h.max_degree = load_le<uint32_t>(bytes, kMaxDegreeAt);
    h.build_search_list_size = load_le<uint32_t>(bytes, kBuildSearchListSizeAt);
    h.alpha = load_le<float>(bytes, kAlphaAt);
    h.build_seed = load_le<uint64_t>(bytes, kBuildSeedAt);
    h.pq_m = load_le<uint32_t>(bytes, kPqMAt);
    h.pq_bits = load_le<uint32_t>(bytes, kPqBitsAt);
    h.page_size = load_le<uint32_t>(bytes, kPageSizeAt);
    h.fixed_word_68 = load_le<uint32_t>(bytes, kFixedWord68At);
    h.fixed_word_72 = load_le<uint32_t>(bytes, kFixedWord72At);
    h.raw_vector_encoding = load_le<uint32_t>(bytes, kRawVectorEncodingAt);
    h.record_bytes = load_le<uint32_t>(bytes, kRecordBytesAt);
    h.file_length = load_le<uint64_t>(bytes, kFileLengthAt);
    for (size_t i = 0; i < kSectionCount; ++i) {
        h.sections[i].offset = load_le<uint64_t>(bytes, kSectionTableAt + 16 * i);
        h.sections[i].length = load_le<uint64_t>(bytes, kSectionTableAt + 16 * i + 8);
    }

    if (h.metric > kMaxMetric || (h.pq_bits != 4 && h.pq_bits != 8) || h.page_size != kPageBytes ||
        (h.raw_vector_encoding != 1 && h.raw_vector_encoding != 2)) {
        invalid_data("unsupported DiskANN v1 layout");
    }
    if (!std::isfinite(h.alpha)) invalid_data("DiskANN alpha must be finite");
    h.validate_layout();
    return h;
}

void DiskAnnHeader::validate_layout() const {
    if (dimension == 0 || dimension > diskann::kMaxDimension) invalid_data("invalid DiskANN dimension");
    if (vector_count == 0 || vector_count > kU32Max) invalid_data("invalid DiskANN vector count");
    if (entry_node >= vector_count) invalid_data("invalid DiskANN entry node");
    if (pq_m == 0 || pq_m > dimension) invalid_data("invalid DiskANN PQ shape");
    if (max_degree == 0 || max_degree > diskann::kMaxDegree || build_search_list_size < max_degree) {
        invalid_data("invalid DiskANN build parameters");
    }
    if (!(alpha >= 1.0f)) invalid_data("invalid DiskANN alpha");
    const uint64_t pages_length = sections[kSectionAdjacencyPages].length;
    if (pages_length < kPageBytes || pages_length % kPageBytes != 0) {
        invalid_data("invalid DiskANN adjacency section length");
    }

    DiskAnnBuildConfig config;
    config.max_degree = max_degree;
    config.build_search_list_size = build_search_list_size;
    config.seed = build_seed;
    config.alpha = alpha;
    config.raw_vector_encoding = static_cast<RawVectorEncoding>(raw_vector_encoding);
    config.storage_layout = interleaved() ? diskann::StorageLayout::Interleaved : diskann::StorageLayout::Compact;
    DiskAnnHeader expected;
    try {
        expected = for_layout_with_adjacency_pages_and_pq_bits(dimension, vector_count, entry_node, pq_m, pq_bits,
                                                               metric, config, sections[kSectionRowIds].length,
                                                               pages_length / kPageBytes);
    } catch (const Error& e) {
        invalid_data("invalid DiskANN layout: {}", e.message());
    }
    if (fixed_word_68 != expected.fixed_word_68 || fixed_word_72 != expected.fixed_word_72 ||
        raw_vector_encoding != expected.raw_vector_encoding || record_bytes != expected.record_bytes ||
        sections != expected.sections || file_length != expected.file_length) {
        invalid_data("invalid DiskANN section layout");
    }
}

uint32_t DiskAnnHeader::metric_type() const {
    TD_ASSERT(metric <= kMaxMetric, "validated DiskANN metric");
    return metric;
}

RawVectorEncoding DiskAnnHeader::raw_vector_encoding_type() const {
    TD_ASSERT(raw_vector_encoding == 1 || raw_vector_encoding == 2, "validated DiskANN raw-vector encoding");
    return static_cast<RawVectorEncoding>(raw_vector_encoding);
}

// ---- ChunkedSectionWriter ------------------------------------------------------------

ChunkedSectionWriter::ChunkedSectionWriter(io::SeekWrite& output) : output_(&output) { buffer_.resize(kChunkBytes); }

void ChunkedSectionWriter::write_bytes(std::span<const uint8_t> bytes) {
    TD_ASSERT(!finished_, "ChunkedSectionWriter used after finish");
    while (!bytes.empty()) {
        if (fill_ == kChunkBytes) {
            output_->write_all(buffer_);
            fill_ = 0;
        }
        const size_t n = std::min(kChunkBytes - fill_, bytes.size());
        std::memcpy(buffer_.data() + fill_, bytes.data(), n);
        fill_ += n;
        bytes = bytes.subspan(n);
    }
}

void ChunkedSectionWriter::finish() {
    TD_ASSERT(!finished_, "ChunkedSectionWriter used after finish");
    if (fill_ > 0) output_->write_all(std::span<const uint8_t>(buffer_.data(), fill_));
    fill_ = 0;
    finished_ = true;
    std::vector<uint8_t>().swap(buffer_);
}

// ---- Section 0 ---------------------------------------------------------------------------

void write_pq_codebook(const PqCodebookView& codebook, ChunkedSectionWriter& sink) {
    const auto values = checked_mul(codebook.dimension, codebook.ksub);
    if (codebook.chunk_offsets.empty() || codebook.chunk_offsets.size() - 1 != codebook.m || !values ||
        *values != codebook.centroids.size()) {
        invalid_input("DiskANN PQ codebook layout is invalid");
    }
    const uint32_t d = narrow_u32(codebook.dimension, "DiskANN PQ dimension exceeds u32");
    const uint32_t m = narrow_u32(codebook.m, "DiskANN PQ m exceeds u32");
    const uint32_t nbits = narrow_u32(codebook.nbits, "DiskANN PQ bits exceeds u32");
    const uint32_t ksub = narrow_u32(codebook.ksub, "DiskANN PQ ksub exceeds u32");
    const uint32_t offsets = narrow_u32(codebook.chunk_offsets.size(), "DiskANN PQ chunk-offset count exceeds u32");
    for (uint32_t word : {kCodebookMagic, kCodebookVersion, d, m, nbits, ksub, offsets, uint32_t{0}}) {
        sink.write_le(word);
    }
    for (uint64_t offset : codebook.chunk_offsets) {
        sink.write_le(narrow_u32(offset, "DiskANN PQ chunk offset exceeds u32"));
    }
    sink.write_bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(codebook.centroids.data()),
                                              codebook.centroids.size_bytes()));
}

PqCodebookSection decode_pq_codebook_section(std::span<const uint8_t> bytes, const DiskAnnHeader& header) {
    if (bytes.size() < kCodebookHeaderBytes) invalid_data("DiskANN PQ codebook header is truncated");
    PqCodebookSection s;
    s.dimension = load_le<uint32_t>(bytes, 8);
    s.m = load_le<uint32_t>(bytes, 12);
    s.nbits = load_le<uint32_t>(bytes, 16);
    s.ksub = load_le<uint32_t>(bytes, 20);
    const uint32_t offset_count = load_le<uint32_t>(bytes, 24);
    const bool known_bits = s.nbits == 4 || s.nbits == 8;
    if (load_le<uint32_t>(bytes, 0) != kCodebookMagic || load_le<uint32_t>(bytes, 4) != kCodebookVersion ||
        s.dimension != header.dimension || s.m != header.pq_m || s.nbits != header.pq_bits || !known_bits ||
        s.ksub != diskann_pq_ksub(s.nbits) || uint64_t{offset_count} != uint64_t{s.m} + 1 ||
        load_le<uint32_t>(bytes, 28) != 0) {
        invalid_data("invalid DiskANN PQ codebook metadata");
    }
    uint64_t expected = 0;
    try {
        expected = pq_codebook_serialized_len(s.dimension, s.m, s.ksub);
    } catch (const Error&) {
        invalid_data("invalid DiskANN PQ codebook length");
    }
    if (bytes.size() != expected) invalid_data("invalid DiskANN PQ codebook length");
    // The offsets and the values fit in `bytes` now, so neither allocation
    // below can be larger than the section.
    try_resize(s.chunk_offsets, offset_count, ErrorKind::InvalidData, "DiskANN PQ chunk-offset allocation failed");
    for (uint64_t i = 0; i < offset_count; ++i) {
        s.chunk_offsets[i] = load_le<uint32_t>(bytes, kCodebookHeaderBytes + 4 * i);
    }
    const size_t values_at = kCodebookHeaderBytes + 4 * size_t{offset_count};
    s.centroid_bytes = bytes.subspan(values_at);
    return s;
}

std::vector<float> decode_pq_centroids(const PqCodebookSection& section) {
    std::vector<float> values;
    try_resize(values, section.centroid_bytes.size() / 4, ErrorKind::InvalidData,
               "DiskANN PQ centroid allocation failed");
    if (!values.empty()) std::memcpy(values.data(), section.centroid_bytes.data(), values.size() * 4);
    if (!std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); })) {
        invalid_data("DiskANN PQ centroids must be finite");
    }
    return values;
}

// ---- Section 1 --------------------------------------------------------------------------

namespace {

// base + value as a row ID, none beyond i64::MAX; value < 2^64.
std::optional<int64_t> add_to_base(int64_t base, uint64_t value) noexcept {
    // Headroom is i64::MAX - base, at most 2^64 - 1, exact in wrapping u64.
    const uint64_t headroom = kI64Max - static_cast<uint64_t>(base);
    if (value > headroom) return std::nullopt;
    return static_cast<int64_t>(static_cast<uint64_t>(base) + value);
}

// ORs a value of at most 63 bits into the payload at `bit_offset`; the
// payload has room (checked by the caller's length).
void pack_row_id_delta(std::span<uint8_t> payload, uint64_t bit_offset, uint32_t width, uint64_t value) {
    const uint64_t first = bit_offset / 8;
    const uint32_t shift = static_cast<uint32_t>(bit_offset % 8);
    const uint64_t k = div_ceil(shift + width, 8);
    unsigned __int128 bits = static_cast<unsigned __int128>(value) << shift;
    for (uint64_t b = 0; b < k; ++b) {
        payload[first + b] |= static_cast<uint8_t>(bits);
        bits >>= 8;
    }
}

}  // namespace

std::optional<uint64_t> unpack_row_id_delta_at_bit_offset(std::span<const uint8_t> bytes, uint64_t bit_offset,
                                                          uint32_t width) noexcept {
    if (width == 0) return 0;
    const uint64_t first = bit_offset / 8;
    const uint32_t shift = static_cast<uint32_t>(bit_offset % 8);
    const uint64_t k = (uint64_t{shift} + width + 7) / 8;
    if (first > bytes.size() || bytes.size() - first < k || k > 9) return std::nullopt;
    unsigned __int128 bits = 0;
    for (uint64_t b = k; b-- > 0;) bits = (bits << 8) | bytes[first + b];
    bits >>= shift;
    const uint64_t mask = width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    return static_cast<uint64_t>(bits) & mask;
}

RowIdStorage RowIdStorage::encode(uint64_t n, const std::function<int64_t(uint64_t)>& row_id_of) {
    if (n == 0) return RowIdStorage(PackedRowIds{});
    int64_t lo = row_id_of(0), hi = lo;
    for (uint64_t i = 1; i < n; ++i) {
        const int64_t r = row_id_of(i);
        lo = std::min(lo, r);
        hi = std::max(hi, r);
    }
    const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
    if (span == 0) return RowIdStorage(PackedRowIds{{}, lo, n, 0});
    if (span >> 63 != 0) {
        RawRowIds raw;
        try_resize(raw.ids, n, ErrorKind::InvalidInput, "DiskANN raw row-ID allocation failed");
        for (uint64_t i = 0; i < n; ++i) raw.ids[i] = row_id_of(i);
        return RowIdStorage(std::move(raw));
    }
    const auto width = static_cast<uint32_t>(std::bit_width(span));
    const auto bits = checked_mul(n, width);
    if (!bits) invalid_input("DiskANN packed row-ID length overflows usize");
    PackedRowIds packed{{}, lo, n, static_cast<uint8_t>(width)};
    try_resize(packed.payload, div_ceil(*bits, 8), ErrorKind::InvalidInput, "DiskANN packed row-ID allocation failed");
    for (uint64_t i = 0; i < n; ++i) {
        // i * width <= n * width, checked above.
        pack_row_id_delta(packed.payload, i * width, width,
                          static_cast<uint64_t>(row_id_of(i)) - static_cast<uint64_t>(lo));
    }
    return RowIdStorage(std::move(packed));
}

uint64_t RowIdStorage::count() const noexcept {
    if (const RawRowIds* r = raw()) return r->ids.size();
    return packed()->count;
}

uint64_t RowIdStorage::section_length() const noexcept {
    if (const RawRowIds* r = raw()) return kRowIdHeaderBytes + 8 * r->ids.size();
    return kRowIdHeaderBytes + packed()->payload.size();
}

std::optional<int64_t> RowIdStorage::get(uint64_t node) const noexcept {
    if (const RawRowIds* r = raw()) {
        if (node >= r->ids.size()) return std::nullopt;
        return r->ids[node];
    }
    const PackedRowIds& p = *packed();
    if (node >= p.count) return std::nullopt;
    if (p.width == 0) return p.base;
    const auto bit_offset = checked_mul(node, p.width);
    if (!bit_offset) return std::nullopt;
    const auto value = unpack_row_id_delta_at_bit_offset(p.payload, *bit_offset, p.width);
    if (!value) return std::nullopt;
    return add_to_base(p.base, *value);
}

namespace {

// sink(node, row ID) for `count` nodes from `first`, in order; the first
// decoding error is thrown before the node it concerns reaches the sink.
template <class Sink>
void walk_packed_row_ids(const PackedRowIds& p, uint64_t first, uint64_t count, Sink&& sink) {
    auto start = checked_mul(first, uint64_t{p.width});
    if (!start) invalid_data("DiskANN packed row-ID offset overflows");
    uint64_t bit_offset = *start;
    for (uint64_t i = 0; i < count; ++i) {
        if (i > 0) {
            auto next = checked_add(bit_offset, p.width);
            if (!next) invalid_data("DiskANN packed row-ID offset overflows");
            bit_offset = *next;
        }
        const auto value = unpack_row_id_delta_at_bit_offset(p.payload, bit_offset, p.width);
        if (!value) invalid_data("DiskANN packed row-ID payload is truncated");
        const auto id = add_to_base(p.base, *value);
        if (!id) invalid_data("DiskANN packed row ID overflows i64");
        sink(first + i, *id);
    }
}

}  // namespace

void RowIdStorage::try_for_each(const std::function<void(uint64_t, int64_t)>& f) const {
    if (const RawRowIds* r = raw()) {
        for (uint64_t i = 0; i < r->ids.size(); ++i) f(i, r->ids[i]);
        return;
    }
    const PackedRowIds& p = *packed();
    walk_packed_row_ids(p, 0, p.count, f);
}

void RowIdStorage::try_decode_range(uint64_t first, std::span<int64_t> out) const {
    TD_ASSERT(first <= count() && out.size() <= count() - first, "row-ID range beyond the count");
    if (const RawRowIds* r = raw()) {
        std::copy_n(r->ids.begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
        return;
    }
    walk_packed_row_ids(*packed(), first, out.size(), [&](uint64_t node, int64_t id) { out[node - first] = id; });
}

void write_row_id_section(const RowIdStorage& row_ids, ChunkedSectionWriter& sink) {
    if (const RawRowIds* r = row_ids.raw()) {
        sink.write_le(kRowIdEncodingRaw);
        sink.write_le(kRawRowIdWidth);
        sink.write_le(uint64_t{r->ids.size()});
        sink.write_le(uint64_t{0});
        sink.write_le(uint64_t{0});
        sink.write_bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(r->ids.data()), 8 * r->ids.size()));
        return;
    }
    const PackedRowIds& p = *row_ids.packed();
    sink.write_le(kRowIdEncodingPacked);
    sink.write_le(uint32_t{p.width});
    sink.write_le(p.count);
    sink.write_le(static_cast<uint64_t>(p.base));
    sink.write_le(uint64_t{0});
    sink.write_bytes(p.payload);
}

RowIdStorage decode_row_id_section_owned(std::vector<uint8_t>&& bytes, uint64_t node_count) {
    std::vector<uint8_t> section = std::move(bytes);
    if (section.size() < kRowIdHeaderBytes) invalid_data("DiskANN row-ID section header is truncated");
    const uint8_t* p = section.data();
    if (load_le<uint64_t>(section, 24) != 0) invalid_data("DiskANN row-ID section reserved bytes must be zero");
    const uint32_t encoding = load_le<uint32_t>(section, 0);
    const uint32_t width = load_le<uint32_t>(section, 4);
    const uint64_t count = load_le<uint64_t>(section, 8);
    const uint64_t base = load_le<uint64_t>(section, 16);
    if (count != node_count) invalid_data("DiskANN row-ID count does not match header");
    uint64_t payload_length = 0;
    if (encoding == kRowIdEncodingPacked) {
        if (width >= 64) invalid_data("invalid DiskANN FOR row-ID bit width");
        const auto bits = checked_mul(count, width);
        if (!bits) invalid_data("DiskANN packed row-ID length overflows usize");
        payload_length = div_ceil(*bits, 8);
    } else if (encoding == kRowIdEncodingRaw) {
        if (base != 0 || width != kRawRowIdWidth) invalid_data("invalid DiskANN raw row-ID metadata");
        const auto len = checked_mul(count, 8);
        if (!len) invalid_data("DiskANN raw row-ID length overflows usize");
        payload_length = *len;
    } else {
        invalid_data("unsupported DiskANN row-ID encoding");
    }
    if (section.size() - kRowIdHeaderBytes != payload_length) invalid_data("invalid DiskANN row-ID payload length");

    if (encoding == kRowIdEncodingRaw) {
        RawRowIds raw;
        // count * 8 bytes exist: the allocation is bounded by the section.
        try_resize(raw.ids, count, ErrorKind::InvalidData, "DiskANN raw row-ID allocation failed");
        if (count != 0) std::memcpy(raw.ids.data(), p + kRowIdHeaderBytes, 8 * count);
        return RowIdStorage(std::move(raw));
    }
    // The payload moves to the front of the section's own allocation.
    section.erase(section.begin(), section.begin() + kRowIdHeaderBytes);
    const uint64_t tail_bits = (count * width) % 8;  // count * width was checked
    if (!section.empty() && tail_bits != 0 && (section.back() >> tail_bits) != 0) {
        invalid_data("DiskANN packed row-ID tail bits must be zero");
    }
    RowIdStorage storage(PackedRowIds{std::move(section), static_cast<int64_t>(base), count,
                                      static_cast<uint8_t>(width)});
    if (width > 0) storage.try_for_each([](uint64_t, int64_t) {});
    return storage;
}

// ---- Section 2 --------------------------------------------------------------------------

void validate_pq_code_padding(const DiskAnnHeader& header, std::span<const uint8_t> codes) {
    if (header.pq_bits != 4 || header.pq_m % 2 == 0) return;
    const uint64_t c = diskann_pq_code_size(header.pq_m, header.pq_bits);
    for (uint64_t end = c; end <= codes.size(); end += c) {
        if (codes[end - 1] >= 16) invalid_data("DiskANN odd 4-bit PQ codes must zero the unused high nibble");
    }
}

// ---- Section 3 --------------------------------------------------------------------------

std::vector<uint32_t> row_id_order(const RowIdStorage& row_ids) {
    const uint64_t n = row_ids.count();
    TD_ASSERT(n <= kU32Max + 1, "DiskANN row-ID order has more than 2^32 nodes");
    std::vector<uint32_t> order;
    try_resize(order, n, ErrorKind::InvalidInput, "DiskANN row-ID order allocation failed");
    std::iota(order.begin(), order.end(), uint32_t{0});
    auto key = [&](uint32_t node) {
        const auto id = row_ids.get(node);
        TD_ASSERT(id.has_value(), "DiskANN row ID of node {} is unreadable", node);
        return std::pair(*id, node);
    };
    // (row ID, node) is unique, so the unstable sort is deterministic.
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    return order;
}

void write_row_id_order(std::span<const uint32_t> order, ChunkedSectionWriter& sink) {
    sink.write_bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(order.data()), order.size_bytes()));
}

void validate_row_id_order(const RowIdStorage& row_ids, std::span<const uint32_t> order) {
    const uint64_t n = row_ids.count();
    if (order.size() != n) invalid_data("DiskANN row-ID order has an invalid node count");
    std::optional<std::pair<int64_t, uint32_t>> previous;
    for (uint32_t node : order) {
        const auto id = node < n ? row_ids.get(node) : std::nullopt;
        if (!id) invalid_data("DiskANN row-ID order node is out of range");
        const std::pair key(*id, node);
        if (previous && !(*previous < key)) invalid_data("DiskANN row-ID order must be globally strictly increasing");
        previous = key;
    }
}

// ---- Section 6 --------------------------------------------------------------------------

void encode_raw_vector(std::span<const float> values, RawVectorEncoding encoding, std::vector<uint8_t>& out) {
    out.clear();
    const bool f32 = encoding == RawVectorEncoding::F32;
    try_resize(out, values.size() * (f32 ? 4 : 2), ErrorKind::InvalidInput,
               "DiskANN raw-vector encoding allocation failed");
    if (f32) {
        if (!values.empty()) std::memcpy(out.data(), values.data(), values.size_bytes());
        return;
    }
    constexpr size_t kBlock = 256;
    uint16_t halves[kBlock];
    for (size_t at = 0; at < values.size(); at += kBlock) {
        const size_t n = std::min(kBlock, values.size() - at);
        distance::f32_to_f16(values.subspan(at, n), std::span<uint16_t>(halves, n));
        for (size_t i = 0; i < n; ++i) {
            if ((halves[i] & 0x7C00u) == 0x7C00u) invalid_input("DiskANN vector value is outside the finite f16 range");
        }
        std::memcpy(out.data() + 2 * at, halves, 2 * n);
    }
}

bool raw_vector_record_is_finite(std::span<const uint8_t> record, RawVectorEncoding encoding) noexcept {
    if (encoding == RawVectorEncoding::F32) {
        if (record.size() % 4 != 0) return false;
        for (size_t at = 0; at < record.size(); at += 4) {
            if (!std::isfinite(load_le<float>(record, at))) return false;
        }
        return true;
    }
    if (record.size() % 2 != 0) return false;
    for (size_t at = 0; at < record.size(); at += 2) {
        if ((load_le<uint16_t>(record, at) & 0x7C00u) == 0x7C00u) return false;
    }
    return true;
}

void write_vector_records(uint64_t n, const std::function<std::span<const float>(uint64_t)>& vector_of,
                          RawVectorEncoding encoding, io::SeekWrite& output) {
    ChunkedSectionWriter sink(output);
    std::vector<uint8_t> record;
    for (uint64_t i = 0; i < n; ++i) {
        encode_raw_vector(vector_of(i), encoding, record);
        sink.write_bytes(record);
    }
    sink.finish();
}

// ---- Adjacency lists ----------------------------------------------------------------------

namespace {

constexpr uint64_t varint_size(uint32_t value) noexcept {
    return value < (1u << 7) ? 1 : value < (1u << 14) ? 2 : value < (1u << 21) ? 3 : value < (1u << 28) ? 4 : 5;
}

void append_varint(uint32_t value, std::vector<uint8_t>& out) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// The varint-delta size of ascending neighbours (the first relative to 0).
uint64_t varint_delta_size(std::span<const uint32_t> neighbors) noexcept {
    uint64_t size = 0;
    uint32_t previous = 0;
    for (uint32_t id : neighbors) {
        size += varint_size(id - previous);
        previous = id;
    }
    return size;
}

bool minimal_is_raw(uint64_t varint_size_sum, uint64_t degree) noexcept {
    return degree > 0 && varint_size_sum >= 4 * degree;
}

}  // namespace

ListPlan plan_adjacency_list(std::span<const uint32_t> neighbors) {
    for (size_t k = 1; k < neighbors.size(); ++k) {
        if (neighbors[k] <= neighbors[k - 1]) invalid_input("DiskANN adjacency neighbors must be strictly increasing");
    }
    const uint64_t varint = varint_delta_size(neighbors);
    const bool raw = minimal_is_raw(varint, neighbors.size());
    return {raw, raw ? 4 * uint64_t{neighbors.size()} : varint};
}

void encode_adjacency_list(std::span<const uint32_t> neighbors, bool raw, std::vector<uint8_t>& out) {
    if (raw) {
        const size_t at = out.size();
        out.resize(at + 4 * neighbors.size());
        if (!neighbors.empty()) std::memcpy(out.data() + at, neighbors.data(), neighbors.size_bytes());
        return;
    }
    uint32_t previous = 0;
    for (uint32_t id : neighbors) {
        append_varint(id - previous, out);
        previous = id;
    }
}

size_t decode_adjacency_list(std::span<const uint8_t> bytes, uint32_t degree, bool raw, std::vector<uint32_t>& out) {
    out.clear();
    if (out.capacity() < degree) {
        try {
            out.reserve(std::max<size_t>({2 * out.capacity(), degree, 4}));
        } catch (const std::bad_alloc&) {
            invalid_data("DiskANN adjacency decode allocation failed");
        } catch (const std::length_error&) {
            invalid_data("DiskANN adjacency decode allocation failed");
        }
    }
    if (raw) {
        const auto need = checked_mul(degree, 4);
        if (!need) invalid_data("DiskANN raw adjacency size overflows usize");
        if (bytes.size() < *need) invalid_data("DiskANN raw adjacency list is truncated");
        for (uint32_t k = 0; k < degree; ++k) out.push_back(load_le<uint32_t>(bytes, 4 * size_t{k}));
        return static_cast<size_t>(*need);
    }
    size_t at = 0;
    uint64_t previous = 0;
    for (uint32_t k = 0; k < degree; ++k) {
        uint64_t value = 0;
        for (unsigned b = 0;; ++b) {
            if (at >= bytes.size()) invalid_data("DiskANN adjacency varint is truncated");
            const uint8_t byte = bytes[at++];
            if (b == 4 && byte > 15) invalid_data("DiskANN adjacency varint exceeds u32");
            value |= uint64_t{byte & 0x7Fu} << (7 * b);
            if ((byte & 0x80) == 0) {
                if (b > 0 && byte == 0) invalid_data("DiskANN adjacency varint is not canonical");
                break;
            }
        }
        const uint64_t id = previous + value;
        if (id > kU32Max) invalid_data("DiskANN adjacency delta overflows u32");
        out.push_back(static_cast<uint32_t>(id));
        previous = id;
    }
    return at;
}

// ---- Page planning and the writers of sections 4 and 5 --------------------------------------

PagePlan plan_adjacency_pages(const GraphView& graph, uint64_t vector_bytes) {
    PagePlan plan;
    try_resize(plan.locators, graph.node_count, ErrorKind::InvalidInput, "DiskANN adjacency locator allocation failed");
    uint64_t used = 0;
    uint64_t page = 0;
    for (uint64_t i = 0; i < graph.node_count; ++i) {
        const std::span<const uint32_t> neighbors = graph.neighbors(i);
        const ListPlan list = plan_adjacency_list(neighbors);
        const auto record = checked_add(vector_bytes, list.size);
        if (!record) invalid_input("DiskANN interleaved record size overflows usize");
        if (*record > kPageBytes) invalid_input("DiskANN vector and adjacency list do not fit in a logical page");
        if (used + *record > kPageBytes) {
            if (page == kU32Max) invalid_input("DiskANN adjacency page count exceeds u32");
            ++page;
            used = 0;
        }
        const uint64_t offset = used + vector_bytes;
        if (offset > std::numeric_limits<uint16_t>::max()) invalid_input("DiskANN adjacency byte offset exceeds u16");
        if (neighbors.size() > kLocatorDegreeMask) invalid_input("DiskANN adjacency degree exceeds locator capacity");
        plan.locators[i] = {static_cast<uint32_t>(page), static_cast<uint16_t>(offset),
                            static_cast<uint16_t>((list.raw ? kLocatorRawBit : 0) | neighbors.size())};
        used += *record;
    }
    plan.page_count = page + 1;
    return plan;
}

void write_adjacency_index(std::span<const AdjacencyLocator> locators, ChunkedSectionWriter& sink) {
    const uint64_t n = locators.size();
    for (uint64_t b = 0; b < div_ceil(n, kNodesPerBlock); ++b) {
        sink.write_le(locators[b * kNodesPerBlock].position());
    }
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t block = locators[i / kNodesPerBlock * kNodesPerBlock].position();
        const uint64_t position = locators[i].position();
        if (position < block || position - block > std::numeric_limits<uint16_t>::max()) {
            invalid_input("DiskANN adjacency locator exceeds its block offset range");
        }
        sink.write_le(static_cast<uint16_t>(position - block));
    }
    for (const AdjacencyLocator& locator : locators) sink.write_le(locator.metadata);
}

void write_adjacency_pages(const GraphView& graph, const PagePlan& plan, uint64_t vector_bytes,
                           RawVectorEncoding encoding, ChunkedSectionWriter& sink) {
    TD_ASSERT(plan.locators.size() == graph.node_count, "DiskANN page plan does not match the graph");
    std::array<uint8_t, kPageBytes> page{};
    uint64_t current = 0;
    std::vector<uint8_t> list;
    std::vector<uint8_t> record;
    auto flush_page = [&] {
        sink.write_bytes(page);
        page.fill(0);
        ++current;
    };
    for (uint64_t i = 0; i < graph.node_count; ++i) {
        const AdjacencyLocator& locator = plan.locators[i];
        while (current < locator.page) flush_page();
        const std::span<const uint32_t> neighbors = graph.neighbors(i);
        const ListPlan planned = plan_adjacency_list(neighbors);
        list.clear();
        try {
            encode_adjacency_list(neighbors, planned.raw, list);
        } catch (const std::bad_alloc&) {
            invalid_input("DiskANN adjacency allocation failed");
        }
        if (planned.raw != locator.raw()) invalid_input("DiskANN adjacency encoding changed after layout planning");
        if (vector_bytes > 0) {
            encode_raw_vector(graph.vector(i), encoding, record);
            if (locator.offset < vector_bytes) invalid_input("DiskANN interleaved vector offset underflows");
            if (record.size() != vector_bytes) invalid_input("DiskANN interleaved vector does not match its record size");
            std::memcpy(page.data() + locator.offset - vector_bytes, record.data(), record.size());
        }
        if (locator.offset + list.size() > kPageBytes) invalid_input("DiskANN adjacency list crosses a logical page");
        if (!list.empty()) std::memcpy(page.data() + locator.offset, list.data(), list.size());
    }
    while (current + 1 < plan.page_count) flush_page();
    flush_page();
}

// ---- Reading sections 4 and 5 ----------------------------------------------------------------

uint64_t adjacency_page_count(const DiskAnnHeader& header) {
    const uint64_t length = header.sections[kSectionAdjacencyPages].length;
    if (length % kPageBytes != 0) invalid_data("DiskANN adjacency section is not page-aligned");
    return length / kPageBytes;
}

namespace {

std::optional<uint64_t> list_position(const AdjacencyIndex& index, uint64_t node) noexcept {
    if (node >= index.relative_offsets.size() || node >= index.metadata.size() ||
        node / kNodesPerBlock >= index.block_offsets.size()) {
        return std::nullopt;
    }
    const auto position = checked_add(index.block_offsets[node / kNodesPerBlock], index.relative_offsets[node]);
    if (!position || *position >= kPositionLimit) return std::nullopt;
    return position;
}

}  // namespace

std::optional<AdjacencyLocator> AdjacencyIndex::locator(uint64_t node) const noexcept {
    const auto position = list_position(*this, node);
    if (!position) return std::nullopt;
    return AdjacencyLocator{static_cast<uint32_t>(*position / kPageBytes), static_cast<uint16_t>(*position % kPageBytes),
                            metadata[node]};
}

AdjacencyIndex decode_adjacency_index(std::span<const uint8_t> bytes, const DiskAnnHeader& header) {
    const uint64_t n = header.vector_count;
    std::optional<uint64_t> expected;
    try {
        expected = adjacency_index_serialized_len(n);
    } catch (const Error&) {
    }
    if (!expected || *expected != header.sections[kSectionAdjacencyIndex].length) {
        invalid_data("DiskANN adjacency index has an invalid byte length");
    }
    if (bytes.size() != *expected) invalid_data("DiskANN adjacency index payload is truncated");
    // Every array below is smaller than `bytes`.
    const uint64_t blocks = div_ceil(n, kNodesPerBlock);
    AdjacencyIndex index;
    try_resize(index.block_offsets, blocks, ErrorKind::InvalidData, "DiskANN adjacency block-offset allocation failed");
    try_resize(index.relative_offsets, n, ErrorKind::InvalidData,
               "DiskANN adjacency relative-offset allocation failed");
    try_resize(index.metadata, n, ErrorKind::InvalidData, "DiskANN adjacency metadata allocation failed");
    const uint8_t* p = bytes.data();
    if (blocks != 0) std::memcpy(index.block_offsets.data(), p, 8 * blocks);
    if (n != 0) {
        std::memcpy(index.relative_offsets.data(), p + 8 * blocks, 2 * n);
        std::memcpy(index.metadata.data(), p + 8 * blocks + 2 * n, 2 * n);
    }
    validate_adjacency_index(header, index);
    return index;
}

void validate_adjacency_index(const DiskAnnHeader& header, const AdjacencyIndex& index) {
    const uint64_t n = header.vector_count;
    if (index.relative_offsets.size() != n || index.metadata.size() != n ||
        index.block_offsets.size() != div_ceil(n, kNodesPerBlock)) {
        invalid_data("DiskANN adjacency index has an invalid locator count");
    }
    const uint64_t pages_length = header.sections[kSectionAdjacencyPages].length;
    if (pages_length >= kPositionLimit) invalid_data("DiskANN adjacency page count exceeds u32");
    const uint64_t page_count = pages_length / kPageBytes;
    const uint64_t v = header.interleaved_vector_bytes();
    const uint64_t max_degree = header.max_degree;

    uint64_t previous_page = 0, previous_offset = 0, previous_degree = 0;
    bool previous_raw = false;
    for (uint64_t i = 0; i < n; ++i) {
        if (i % kNodesPerBlock == 0 && index.relative_offsets[i] != 0) {
            invalid_data("DiskANN adjacency locator block must start at relative offset zero");
        }
        const auto position = list_position(index, i);
        if (!position) invalid_data("DiskANN adjacency locator offset is invalid");
        const uint64_t page = *position / kPageBytes;
        const uint64_t offset = *position % kPageBytes;
        const uint64_t degree = index.metadata[i] & kLocatorDegreeMask;
        const bool raw = (index.metadata[i] & kLocatorRawBit) != 0;
        if (page >= page_count) invalid_data("DiskANN adjacency locator page is out of range");
        if (i == 0) {
            if (page != 0) invalid_data("DiskANN adjacency locator must start on page zero");
        } else if (page != previous_page && page != previous_page + 1) {
            invalid_data("DiskANN adjacency locator pages are not monotonic");
        }
        if (degree > max_degree) invalid_data("DiskANN adjacency degree exceeds maximum");
        if (offset < v) invalid_data("DiskANN adjacency locator offset exceeds its page");
        if (raw && offset + 4 * degree > kPageBytes) invalid_data("DiskANN adjacency locator crosses a page");
        if (i == 0) {
            if (offset != v) invalid_data("DiskANN adjacency index has an invalid first record offset");
        } else if (page == previous_page) {
            if (previous_raw) {
                if (offset != previous_offset + 4 * previous_degree + v) {
                    invalid_data("DiskANN adjacency locator ranges must be contiguous");
                }
            } else if (offset < previous_offset + v + (previous_degree > 0 ? 1 : 0)) {
                invalid_data("DiskANN adjacency locator ranges overlap");
            }
        } else if (offset != v) {
            invalid_data("DiskANN adjacency page has an invalid first record offset");
        }
        previous_page = page;
        previous_offset = offset;
        previous_degree = degree;
        previous_raw = raw;
    }
    if (n == 0 || previous_page != page_count - 1) invalid_data("DiskANN adjacency pages are not fully indexed");
}

void validate_adjacency_page_payload(const DiskAnnHeader& header, const AdjacencyIndex& index, uint64_t page,
                                     std::span<const uint8_t> bytes) {
    if (bytes.size() != kPageBytes) invalid_data("DiskANN adjacency page is truncated");
    const uint64_t nodes = index.relative_offsets.size();
    auto page_of = [&](uint64_t node) {
        const auto position = list_position(index, node);
        TD_ASSERT(position.has_value(), "validated DiskANN adjacency index");
        return *position / kPageBytes;
    };
    // Pages never decrease in node order in a validated index.
    auto first_at_least = [&](uint64_t target) {
        uint64_t lo = 0, hi = nodes;
        while (lo < hi) {
            const uint64_t mid = lo + (hi - lo) / 2;
            if (page_of(mid) < target) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    };
    const uint64_t first = first_at_least(page);
    const uint64_t last = page == std::numeric_limits<uint64_t>::max() ? nodes : first_at_least(page + 1);
    if (first >= last) invalid_data("DiskANN adjacency page has no indexed nodes");

    const uint64_t v = header.interleaved_vector_bytes();
    const uint64_t n = header.vector_count;
    const auto encoding = static_cast<RawVectorEncoding>(header.raw_vector_encoding);
    std::vector<uint32_t> list;
    uint64_t expected = 0;
    for (uint64_t i = first; i < last; ++i) {
        const auto locator = index.locator(i);
        if (!locator) invalid_data("DiskANN adjacency index is truncated");
        const uint64_t o = locator->offset;
        if (o < v) invalid_data("DiskANN interleaved vector offset underflows");
        if (o - v != expected) invalid_data("DiskANN adjacency page records must be contiguous");
        if (v > 0 && !raw_vector_record_is_finite(bytes.subspan(o - v, v), encoding)) {
            invalid_data("DiskANN interleaved raw vector contains a non-finite or malformed component");
        }
        const size_t consumed = decode_adjacency_list(bytes.subspan(o), locator->degree(), locator->raw(), list);
        const uint64_t end = o + consumed;  // both below 2^13
        if (i + 1 < last) {
            const auto next = index.locator(i + 1);
            if (!next) invalid_data("DiskANN adjacency index is truncated");
            if (next->offset != end + v) invalid_data("DiskANN adjacency locator ranges must be contiguous");
        }
        for (size_t k = 0; k < list.size(); ++k) {
            if (list[k] >= n) invalid_data("DiskANN adjacency neighbor is out of range");
            if (list[k] == i) invalid_data("DiskANN adjacency contains a self edge");
            if (k > 0 && list[k] <= list[k - 1]) invalid_data("DiskANN adjacency neighbors must be strictly increasing");
        }
        if (locator->raw() != minimal_is_raw(varint_delta_size(list), list.size())) {
            invalid_data("DiskANN adjacency list does not use its minimal encoding");
        }
        expected = end;
    }
    if (std::any_of(bytes.begin() + static_cast<std::ptrdiff_t>(expected), bytes.end(),
                    [](uint8_t b) { return b != 0; })) {
        invalid_data("DiskANN adjacency page tail must be zero");
    }
}

}  // namespace tavren::diskann_format
