// The DiskANN file, version 1: one place that knows its bytes.
//
//   0 .. 256        header (DiskAnnHeader, 256 bytes)
//   256 .. 4096     zero bytes
//   section 0       PQ codebook              36 + 4m + 4 d ksub bytes
//   section 1       row IDs                  32-byte header + raw or bit-packed payload
//   section 2       PQ codes                 n codes of c bytes, as the encoder makes them
//   section 3       row-ID order             n u32 node ids sorted by (row ID, node)
//   section 4       adjacency index          8 ceil(n / 16) + 4 n bytes
//   gap             zero bytes up to the next multiple of 4096
//   section 5       adjacency pages          P pages of 4096 bytes
//   section 6       raw vectors              n records (compact layout), empty when interleaved
// All numbers little-endian. Every per-node array is in node order.
//
// Encoders state what they refuse (InvalidInput: the caller handed something
// the format cannot hold); decoders and checks take the end of their bytes and
// fail with InvalidData on the first byte that is missing or wrong, in a fixed
// order of checks. No decoder allocates more than the bytes it was given
// justify, and a failed allocation is an Error, never a crash.
// Thread rule: everything here is a pure function or reads immutable values,
// except ChunkedSectionWriter (one writer thread).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "diskann_limits.hpp"
#include "error.hpp"
#include "io.hpp"

namespace tavren::diskann_format {

using diskann::DiskAnnBuildConfig;
using diskann::RawVectorEncoding;

inline constexpr uint32_t kMagic = 0x4E4E4144;  // bytes "DANN"
inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kHeaderBytes = 256;
inline constexpr uint64_t kPageBytes = 4096;
inline constexpr uint64_t kFirstSectionOffset = 4096;
inline constexpr uint32_t kSectionCount = 7;
// Flag bits: 0x1D always set, exactly one of 0x02 (compact) and 0x20 (interleaved).
inline constexpr uint32_t kRequiredFlags = 0x1D;
inline constexpr uint32_t kFlagCompact = 0x02;
inline constexpr uint32_t kFlagInterleaved = 0x20;
inline constexpr uint32_t kFlagsCompact = kRequiredFlags | kFlagCompact;          // 0x1F
inline constexpr uint32_t kFlagsInterleaved = kRequiredFlags | kFlagInterleaved;  // 0x3D
// Two constant words of the header, compared and never interpreted.
inline constexpr uint32_t kFixedWord68 = 4;
inline constexpr uint32_t kFixedWord72 = 3;

// Field offsets inside the header.
inline constexpr size_t kMagicAt = 0;
inline constexpr size_t kVersionAt = 4;
inline constexpr size_t kHeaderSizeAt = 8;
inline constexpr size_t kFlagsAt = 12;
inline constexpr size_t kDimensionAt = 16;
inline constexpr size_t kMetricAt = 20;
inline constexpr size_t kVectorCountAt = 24;
inline constexpr size_t kEntryNodeAt = 32;
inline constexpr size_t kMaxDegreeAt = 36;
inline constexpr size_t kBuildSearchListSizeAt = 40;
inline constexpr size_t kAlphaAt = 44;
inline constexpr size_t kBuildSeedAt = 48;
inline constexpr size_t kPqMAt = 56;
inline constexpr size_t kPqBitsAt = 60;
inline constexpr size_t kPageSizeAt = 64;
inline constexpr size_t kFixedWord68At = 68;
inline constexpr size_t kFixedWord72At = 72;
inline constexpr size_t kRawVectorEncodingAt = 76;
inline constexpr size_t kRecordBytesAt = 80;
inline constexpr size_t kSectionCountAt = 84;
inline constexpr size_t kFileLengthAt = 88;
inline constexpr size_t kSectionTableAt = 96;  // 7 x (u64 offset, u64 length)
inline constexpr size_t kReservedAt = 208;
inline constexpr size_t kReservedBytes = 48;

// Section numbers, in file order.
inline constexpr size_t kSectionCodebook = 0;
inline constexpr size_t kSectionRowIds = 1;
inline constexpr size_t kSectionPqCodes = 2;
inline constexpr size_t kSectionRowIdOrder = 3;
inline constexpr size_t kSectionAdjacencyIndex = 4;
inline constexpr size_t kSectionAdjacencyPages = 5;
inline constexpr size_t kSectionRawVectors = 6;

struct DiskAnnSection {
    uint64_t offset = 0;
    uint64_t length = 0;
    friend bool operator==(const DiskAnnSection&, const DiskAnnSection&) = default;
};
using DiskAnnSections = std::array<DiskAnnSection, kSectionCount>;

// ---- Length functions (InvalidInput) ---------------------------------------------

// 16 for 4-bit, 256 for 8-bit codes; "DiskANN pq.bits must be 4 or 8" otherwise.
uint64_t diskann_pq_ksub(uint64_t pq_bits);
// Code bytes per vector: ceil(m / 2) for 4 bits, m for 8 bits.
uint64_t diskann_pq_code_size(uint64_t pq_m, uint64_t pq_bits);
// 36 + 4 m + 4 d ksub: the length of section 0.
uint64_t pq_codebook_serialized_len(uint64_t dimension, uint64_t pq_m, uint64_t ksub);
// 8 ceil(n / 16) + 4 n: the length of section 4.
uint64_t adjacency_index_serialized_len(uint64_t vector_count);

// ---- Header ---------------------------------------------------------------------

// The decoded header. Magic, version, header size and section count are
// constants of the record and not kept. A plain value.
struct DiskAnnHeader {
    DiskAnnSections sections{};
    uint64_t vector_count = 0;
    uint64_t build_seed = 0;
    uint64_t file_length = 0;
    uint32_t flags = 0;
    uint32_t dimension = 0;
    uint32_t metric = 0;
    uint32_t entry_node = 0;
    uint32_t max_degree = 0;
    uint32_t build_search_list_size = 0;
    float alpha = 0.0f;
    uint32_t pq_m = 0;
    uint32_t pq_bits = 0;
    uint32_t page_size = 0;
    uint32_t fixed_word_68 = 0;
    uint32_t fixed_word_72 = 0;
    uint32_t raw_vector_encoding = 0;
    uint32_t record_bytes = 0;

    // The complete header of a file with these parameters, or InvalidInput:
    // the format limits of validate_diskann_format_configuration, then a
    // metric other than 0..2 or a raw-vector encoding other than 1 or 2
    // ("unsupported DiskANN metric {}", "unsupported DiskANN raw-vector
    // encoding {}": what the decoder refuses, the writer must not produce),
    // then the vector count, entry node, page count and row-ID section length.
    // Any non-zero storage layout means interleaved.
    static DiskAnnHeader for_layout_with_adjacency_pages_and_pq_bits(
        uint64_t dimension, uint64_t vector_count, uint32_t entry_node, uint64_t pq_m, uint64_t pq_bits,
        uint32_t metric, const DiskAnnBuildConfig& config, uint64_t row_id_section_length,
        uint64_t adjacency_page_count);

    // Decodes and checks the first 256 of `bytes` (more are ignored); every
    // failure is InvalidData, the first failing check decides the message.
    static DiskAnnHeader decode(std::span<const uint8_t> bytes);
    // The layout checks of decode: the header must be exactly the one the
    // layout function makes from its own parameters, section-1 length and
    // page count. InvalidData.
    void validate_layout() const;

    // The 256 bytes: magic, version 1, header size 256, section count 7, the
    // fields, the section table, and 48 zero bytes.
    void encode_to(std::span<uint8_t, kHeaderBytes> bytes) const;
    std::array<uint8_t, kHeaderBytes> encode() const;

    // The metric code (0..2) and the encoding of a decoded header; asserted.
    uint32_t metric_type() const;
    RawVectorEncoding raw_vector_encoding_type() const;
    bool interleaved() const noexcept { return (flags & kFlagInterleaved) != 0; }
    // record_bytes in the interleaved layout, 0 in the compact one.
    uint64_t interleaved_vector_bytes() const noexcept { return interleaved() ? record_bytes : 0; }

    friend bool operator==(const DiskAnnHeader&, const DiskAnnHeader&) = default;
};

// ---- The buffered sink of sections 0 to 5 -----------------------------------------

// Collects appends in one 1 MiB buffer and hands the output whole buffers:
// every write_all except the last is exactly kChunkBytes long. A full buffer
// goes out only when more bytes arrive, so N MiB of appends make N - 1 calls
// and finish() the last. The output is borrowed and must outlive the writer;
// an output error propagates unchanged (bytes already handed over stay written).
class ChunkedSectionWriter {
public:
    static constexpr size_t kChunkBytes = 1048576;

    explicit ChunkedSectionWriter(io::SeekWrite& output);
    ChunkedSectionWriter(const ChunkedSectionWriter&) = delete;
    ChunkedSectionWriter& operator=(const ChunkedSectionWriter&) = delete;

    void write_bytes(std::span<const uint8_t> bytes);
    template <class T>
    void write_le(T value) {
        write_bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&value), sizeof(T)));
    }
    // Hands over the remaining bytes, if any, and releases the buffer. Appends
    // after finish() are a contract violation (asserted).
    void finish();

private:
    io::SeekWrite* output_;
    std::vector<uint8_t> buffer_;
    size_t fill_ = 0;
    bool finished_ = false;
};

// ---- Section 0: PQ codebook ------------------------------------------------------------

inline constexpr uint32_t kCodebookMagic = 0x31515044;  // bytes "DPQ1"
inline constexpr uint32_t kCodebookVersion = 1;
inline constexpr size_t kCodebookHeaderBytes = 32;

// What section 0 stores of a product quantizer: its shape, the m + 1 chunk
// offsets and the d x ksub codebook values as the quantizer holds them.
struct PqCodebookView {
    uint64_t dimension = 0;
    uint64_t m = 0;
    uint64_t nbits = 0;
    uint64_t ksub = 0;
    std::span<const uint64_t> chunk_offsets;
    std::span<const float> centroids;
};

// Appends section 0. InvalidInput "DiskANN PQ codebook layout is invalid"
// unless the view holds m + 1 offsets and d x ksub values (the quantizer's
// own layout check belongs to its caller), then the u32 range messages.
void write_pq_codebook(const PqCodebookView& codebook, ChunkedSectionWriter& sink);

// Section 0 decoded up to the quantizer: the checked metadata, the chunk
// offsets and the bytes of the codebook values.
struct PqCodebookSection {
    uint32_t dimension = 0;
    uint32_t m = 0;
    uint32_t nbits = 0;
    uint32_t ksub = 0;
    std::vector<uint64_t> chunk_offsets;
    std::span<const uint8_t> centroid_bytes;  // borrowed from the section bytes
};
// The checks of section 0 in order: "DiskANN PQ codebook header is
// truncated", "invalid DiskANN PQ codebook metadata", "invalid DiskANN PQ
// codebook length", then the offsets are read ("DiskANN PQ chunk-offset
// allocation failed"). The caller builds its quantizer from dimension, nbits
// and chunk_offsets (a refusal becomes InvalidData with the quantizer's text)
// and then calls decode_pq_centroids.
PqCodebookSection decode_pq_codebook_section(std::span<const uint8_t> bytes, const DiskAnnHeader& header);
// The d x ksub codebook values: "DiskANN PQ centroid allocation failed",
// "DiskANN PQ centroids must be finite".
std::vector<float> decode_pq_centroids(const PqCodebookSection& section);

// ---- Section 1: row IDs ----------------------------------------------------------------

inline constexpr size_t kRowIdHeaderBytes = 32;
inline constexpr uint32_t kRowIdEncodingRaw = 0;
inline constexpr uint32_t kRowIdEncodingPacked = 1;
inline constexpr uint32_t kRawRowIdWidth = 64;

// Row IDs stored as they are.
struct RawRowIds {
    std::vector<int64_t> ids;
};
// Frame of reference: node i's row ID is base + the `width`-bit value at bit
// offset i * width of the payload (LSB first, bit b of the payload is bit
// b mod 8 of byte b / 8); width 0 means every row ID is base.
struct PackedRowIds {
    std::vector<uint8_t> payload;
    int64_t base = 0;
    uint64_t count = 0;
    uint8_t width = 0;
};

// The decoded (or to-be-written) section 1. Immutable once made; get,
// try_for_each and the unpacking read at most 9 payload bytes per value and
// allocate nothing.
class RowIdStorage {
public:
    RowIdStorage() = default;
    explicit RowIdStorage(RawRowIds raw) : v_(std::move(raw)) {}
    explicit RowIdStorage(PackedRowIds packed) : v_(std::move(packed)) {}

    // The writer's rule over n row IDs in node order, row_id_of(i) for node
    // i (asked twice per node): span 0 -> packed width 0; span >= 2^63 -> raw;
    // else packed with the span's bit length. InvalidInput "DiskANN raw row-ID
    // allocation failed" / "DiskANN packed row-ID allocation failed".
    static RowIdStorage encode(uint64_t n, const std::function<int64_t(uint64_t)>& row_id_of);

    const RawRowIds* raw() const noexcept { return std::get_if<RawRowIds>(&v_); }
    const PackedRowIds* packed() const noexcept { return std::get_if<PackedRowIds>(&v_); }
    uint64_t count() const noexcept;
    // 32 + the payload length: the section-1 length of the layout.
    uint64_t section_length() const noexcept;

    // The node's row ID; none beyond the count or when the payload cannot
    // yield it (too short, or base + value beyond i64).
    std::optional<int64_t> get(uint64_t node) const noexcept;
    // f(node, row ID) for every node in order; stops at and rethrows the first
    // error. InvalidData "DiskANN packed row-ID offset overflows", "DiskANN
    // packed row-ID payload is truncated", "DiskANN packed row ID overflows i64".
    void try_for_each(const std::function<void(uint64_t, int64_t)>& f) const;
    // The row IDs of nodes first .. first + out.size() - 1 into `out`, with
    // the errors of try_for_each; for loops that must not pay a call per node.
    void try_decode_range(uint64_t first, std::span<int64_t> out) const;

private:
    std::variant<RawRowIds, PackedRowIds> v_;
};

// One packed value: width 0 gives 0; none when the ceil((s + width) / 8)
// bytes from byte bit_offset / 8 run past `bytes` (s = bit_offset mod 8).
std::optional<uint64_t> unpack_row_id_delta_at_bit_offset(std::span<const uint8_t> bytes, uint64_t bit_offset,
                                                          uint32_t width) noexcept;

// Appends section 1: the 32-byte header, then the payload.
void write_row_id_section(const RowIdStorage& row_ids, ChunkedSectionWriter& sink);
// Decodes section 1 of `node_count` nodes, taking the section bytes (the
// packed payload keeps their allocation). InvalidData, in this order:
// "DiskANN row-ID section header is truncated", "DiskANN row-ID section
// reserved bytes must be zero", "DiskANN row-ID count does not match header",
// "invalid DiskANN FOR row-ID bit width" / "invalid DiskANN raw row-ID
// metadata" / "unsupported DiskANN row-ID encoding", "invalid DiskANN row-ID
// payload length", "DiskANN packed row-ID tail bits must be zero", "DiskANN
// packed row ID overflows i64"; "DiskANN raw row-ID allocation failed".
RowIdStorage decode_row_id_section_owned(std::vector<uint8_t>&& bytes, uint64_t node_count);

// ---- Section 2: PQ codes ----------------------------------------------------------------

// With 4-bit codes and odd m, the high nibble of every complete code's last
// byte must be 0: InvalidData "DiskANN odd 4-bit PQ codes must zero the
// unused high nibble". Otherwise no byte is looked at.
void validate_pq_code_padding(const DiskAnnHeader& header, std::span<const uint8_t> codes);

// ---- Section 3: row-ID order ------------------------------------------------------------

// Node ids 0..n-1 sorted by (row ID, node). InvalidInput "DiskANN row-ID order
// allocation failed"; a row ID the storage cannot yield is an assertion.
std::vector<uint32_t> row_id_order(const RowIdStorage& row_ids);
// Appends section 3.
void write_row_id_order(std::span<const uint32_t> order, ChunkedSectionWriter& sink);
// InvalidData, in this order: "DiskANN row-ID order has an invalid node
// count", then per node "DiskANN row-ID order node is out of range" before
// the pair ending at it is compared: "DiskANN row-ID order must be globally
// strictly increasing".
void validate_row_id_order(const RowIdStorage& row_ids, std::span<const uint32_t> order);

// ---- Section 6: raw vectors ---------------------------------------------------------------

// One record: f32 values unchanged (encoding 1) or rounded to binary16
// (otherwise), little-endian, into `out` (cleared first). InvalidInput
// "DiskANN raw-vector encoding allocation failed", "DiskANN vector value is
// outside the finite f16 range".
void encode_raw_vector(std::span<const float> values, RawVectorEncoding encoding, std::vector<uint8_t>& out);
// True when `record` is whole values of `encoding` and every one is finite.
bool raw_vector_record_is_finite(std::span<const uint8_t> record, RawVectorEncoding encoding) noexcept;
// Section 6: for node i = 0..n-1 the record of vector_of(i), through a 1 MiB
// buffer straight to the output.
void write_vector_records(uint64_t n, const std::function<std::span<const float>(uint64_t)>& vector_of,
                          RawVectorEncoding encoding, io::SeekWrite& output);

// ---- Sections 4 and 5: adjacency index and pages ---------------------------------------

inline constexpr uint16_t kLocatorRawBit = 0x8000;
inline constexpr uint16_t kLocatorDegreeMask = 0x7FFF;
inline constexpr uint64_t kNodesPerBlock = 16;
// Positions (4096 x page + offset) must stay below 2^44, so pages fit u32.
inline constexpr uint64_t kPositionLimit = uint64_t{1} << 44;

// Where a node's list is: page within section 5, byte offset of the list in
// the page, and metadata (bit 15 raw, bits 0..14 the degree).
struct AdjacencyLocator {
    uint32_t page = 0;
    uint16_t offset = 0;
    uint16_t metadata = 0;

    uint16_t degree() const noexcept { return metadata & kLocatorDegreeMask; }
    bool raw() const noexcept { return (metadata & kLocatorRawBit) != 0; }
    uint64_t position() const noexcept { return uint64_t{page} * kPageBytes + offset; }
    friend bool operator==(const AdjacencyLocator&, const AdjacencyLocator&) = default;
};

struct ListPlan {
    bool raw = false;
    uint64_t size = 0;  // bytes of the encoded list
    friend bool operator==(const ListPlan&, const ListPlan&) = default;
};
// Raw when the varint-delta size is at least 4 x degree (raw wins ties);
// empty lists are varint-delta of size 0. InvalidInput "DiskANN adjacency
// neighbors must be strictly increasing".
ListPlan plan_adjacency_list(std::span<const uint32_t> neighbors);
// Appends the list in the planned encoding to `out` (not cleared).
void encode_adjacency_list(std::span<const uint32_t> neighbors, bool raw, std::vector<uint8_t>& out);

// A built graph in node order, as the section writers read it: node i's
// neighbours (ascending, without i) and, for the interleaved layout, node
// i's vector. Both callables must return spans that stay valid until the next call.
struct GraphView {
    uint64_t node_count = 0;
    std::function<std::span<const uint32_t>(uint64_t)> neighbors;
    std::function<std::span<const float>(uint64_t)> vector;  // read only when interleaved
};

struct PagePlan {
    std::vector<AdjacencyLocator> locators;
    uint64_t page_count = 0;  // P; 1 for a graph without nodes
};
// Places node records (vector_bytes of vector, 0 in the compact layout, then
// the list) in pages in node order. InvalidInput: the planning messages
// ("DiskANN interleaved record size overflows usize", "DiskANN vector and
// adjacency list do not fit in a logical page", "DiskANN adjacency page count
// exceeds u32", "DiskANN adjacency locator allocation failed", ...).
PagePlan plan_adjacency_pages(const GraphView& graph, uint64_t vector_bytes);

// Appends section 4 for the planned locators.
void write_adjacency_index(std::span<const AdjacencyLocator> locators, ChunkedSectionWriter& sink);
// Appends section 5: exactly plan.page_count pages, each record at its
// locator; vector_bytes > 0 (interleaved) stores vector(i) with `encoding`
// in front of each list. InvalidInput when the graph no longer matches the plan.
void write_adjacency_pages(const GraphView& graph, const PagePlan& plan, uint64_t vector_bytes,
                           RawVectorEncoding encoding, ChunkedSectionWriter& sink);

// P = section-5 length / 4096; InvalidData "DiskANN adjacency section is not page-aligned".
uint64_t adjacency_page_count(const DiskAnnHeader& header);

// The decoded section 4.
struct AdjacencyIndex {
    std::vector<uint64_t> block_offsets;
    std::vector<uint16_t> relative_offsets;
    std::vector<uint16_t> metadata;

    // None beyond the arrays or when the position overflows or reaches 2^44.
    std::optional<AdjacencyLocator> locator(uint64_t node) const noexcept;
};

// Decodes and validates section 4 (InvalidData).
AdjacencyIndex decode_adjacency_index(std::span<const uint8_t> bytes, const DiskAnnHeader& header);
void validate_adjacency_index(const DiskAnnHeader& header, const AdjacencyIndex& index);

// Decodes one list from `bytes` (the page from the list's offset to the page
// end) into `out` (emptied first; grows only when its capacity is short) and
// returns the bytes consumed. InvalidData: "DiskANN raw adjacency list is
// truncated", "DiskANN adjacency varint is truncated", "DiskANN adjacency
// varint exceeds u32", "DiskANN adjacency varint is not canonical", "DiskANN
// adjacency delta overflows u32", "DiskANN adjacency decode allocation failed".
size_t decode_adjacency_list(std::span<const uint8_t> bytes, uint32_t degree, bool raw, std::vector<uint32_t>& out);

// Checks one page of section 5 against a validated index (InvalidData).
// Accepted pages give, for every node on them, lists that decode to in-range,
// strictly ascending neighbours without the node, in their minimal encoding,
// and (interleaved) finite vectors in front of them.
void validate_adjacency_page_payload(const DiskAnnHeader& header, const AdjacencyIndex& index, uint64_t page,
                                     std::span<const uint8_t> bytes);

}  // namespace tavren::diskann_format
