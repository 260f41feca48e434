// Stateless helpers shared by the IVF file formats and the filtered searches:
// checked size and offset conversions into file fields, little-endian f32
// sections, delta-varint row-ID sections, batched positional reads bounded by
// a byte budget and the host's range cap, the row-chunk rule for lists too
// large for one read, row-ID filter decoding and the batch-search argument
// checks. Every failure throws tavren::Error (InvalidInput or InvalidData);
// nothing here prints, logs or keeps state, so any thread may call anything.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "io.hpp"
#include "ivf_format.hpp"
#include "numeric.hpp"
#include "row_id_filter.hpp"

namespace tavren::index_io_util {

using row_id_filter::RoaringTreemap;
using row_id_filter::RowIdFilter;

// Most bytes one batched read covers when it holds more than one request; also
// the bound of a streamed list's ID read (12-byte ID block header, ID section
// and decoded IDs together) and of a batch of consecutive list payloads.
inline constexpr uint64_t kReadBudgetBytes = 67108864;
// Bound of one streamed row chunk together with its list's decoded row IDs.
inline constexpr uint64_t kChunkBudgetBytes = 67108800;
// Most elements of one fixed-size, header-described section (e.g. nlist x d).
inline constexpr uint64_t kSectionElementLimit = 1073741824;
// The i64 base ID and i32 ID-byte length in front of a delta-varint section.
inline constexpr uint64_t kIdBlockHeaderBytes = 12;

// ---- Little-endian fields --------------------------------------------------

template <class T>
T load_le(std::span<const uint8_t> bytes, size_t offset) {
    check_len(saturating_add(offset, sizeof(T)), bytes.size());
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

template <class T>
void append_le(std::vector<uint8_t>& out, T value) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    out.insert(out.end(), raw, raw + sizeof(T));
}

// ---- Conversions and size checks -------------------------------------------

// InvalidInput "{what} exceeds i64 offset limit: {value}" above i64::MAX, or
// above a lower `limit` (writers' tests lower it to reach the refusal).
int64_t u64_to_i64(uint64_t value, std::string_view what,
                   uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
// InvalidInput "{what} exceeds i32 length limit: {value}" at 2^31 or more, or
// above a lower `limit`.
int32_t usize_to_i32(uint64_t value, std::string_view what,
                     uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max()));
// a * b; InvalidData "list byte size overflow".
uint64_t checked_list_bytes(uint64_t a, uint64_t b);
// InvalidData "negative list offset {offset} at list {list}" below 0.
uint64_t checked_list_offset(int64_t offset, uint64_t list);
// a * b; InvalidData `overflow_message` when the product overflows (a format
// may name itself there), or "section size {} exceeds maximum 1073741824"
// above kSectionElementLimit.
uint64_t checked_section_size(uint64_t a, uint64_t b, std::string_view overflow_message = "section size overflow");
// InvalidData "invalid header field {name}: {value} (must be positive)" at 0 or below.
int32_t validate_positive_i32(int32_t value, std::string_view name);
// InvalidData "{what} reserved bytes must be zero".
void validate_reserved_zero(std::span<const uint8_t> bytes, std::string_view what);

// ---- Sections ----------------------------------------------------------------

// The values as little-endian bytes, staged in one buffer and passed to one
// write_all; a write error propagates unchanged.
void write_f32_slice(io::SeekWrite& writer, std::span<const float> values);

// The offset table of an IVF file, written at the writer's current position:
// each list's payload starts right after the table and the payloads before it
// (positions in the host's output, an empty list taking the running position
// and no bytes), then each entry goes out as its 8-, 4- and 4-byte fields.
// InvalidInput `start_overflow` / `offset_overflow` when a position passes u64,
// and the "list offset" range error past `max_offset`.
void write_ivf_offset_table(io::SeekWrite& out, std::span<ivf_format::OffsetEntry> entries,
                            std::span<const uint64_t> payload_bytes, uint64_t max_offset,
                            std::string_view start_overflow, std::string_view offset_overflow);
// InvalidData "f32 byte section is not 4-byte aligned" for a length that is
// not a multiple of 4.
std::vector<float> bytes_to_f32_vec(std::span<const uint8_t> bytes);

// ---- Row-ID filters ------------------------------------------------------------

// The caller's filter bytes (the portable serialisation of a 64-bit Roaring
// bitmap); InvalidInput "invalid RoaringTreemap filter: {reason}".
RoaringTreemap decode_roaring_filter(std::span<const uint8_t> bytes);
// The number of row IDs in the filter bytes, the treemap discarded;
// InvalidInput "invalid serialized RoaringTreemap filter: {reason}".
uint64_t decode_roaring_filter_cardinality(std::span<const uint8_t> bytes);

// ---- Batch-search argument checks ------------------------------------------------

// InvalidInput, in this order: "nq must be greater than 0", "nq * dimension
// overflows usize", "queries length {} does not match nq * dimension {}",
// "k must be greater than 0".
void validate_batch_queries(std::span<const float> queries, uint64_t nq, uint64_t dimension, uint64_t k);
// validate_batch_queries, then InvalidInput "nprobe must be greater than 0".
void validate_search_inputs(std::span<const float> queries, uint64_t nq, uint64_t dimension, uint64_t k,
                            uint64_t nprobe);

// ---- Delta-varint row IDs ----------------------------------------------------------

struct EncodedIds {
    int64_t base = 0;
    std::vector<uint8_t> bytes;
};

// IDs in ascending order (not checked) -> base = the first ID (0 for none) and
// one unsigned LEB128 gap per ID, the gap being the wrapping u64 difference
// from the previous ID (the first gap is 0).
EncodedIds encode_delta_varint_ids(std::span<const int64_t> ids);

// The InvalidData texts of one delta-varint decoder. Readers of different
// formats keep texts of their own; the decoding rules are the same.
struct DeltaVarintMessages {
    std::string_view truncated;       // the section ends inside a value
    std::string_view value_overflow;  // a tenth byte above 1 in its low seven bits
    std::string_view eleventh_byte;   // a tenth byte announcing an eleventh
};
// The texts of the shared decoder (and of the windowed one that streams a
// section): one text for both overflows.
inline constexpr DeltaVarintMessages kDeltaVarintMessages{
    "truncated delta-varint value", "delta-varint value exceeds u64 limit", "delta-varint value exceeds u64 limit"};

// What a decoder does with section bytes after the last of `count` values.
enum class TrailingBytes { Refused, Ignored };

// The ID after `previous`: one unsigned LEB128 gap, its bytes taken from
// next_byte() (which throws when the section has none left), added with
// wrapping. InvalidData: messages.value_overflow, then messages.eleventh_byte
// (both tested at the tenth byte), then "decoded ID sequence is not
// monotonically non-decreasing" for an ID below `previous` as i64.
template <class NextByte>
uint64_t next_delta_varint_id(uint64_t previous, const DeltaVarintMessages& messages, NextByte&& next_byte) {
    uint64_t gap = 0;
    for (unsigned byte_index = 0;; ++byte_index) {
        const uint8_t b = next_byte();
        if (byte_index == 9) {
            if ((b & 0x7F) > 1) invalid_data("{}", messages.value_overflow);
            if ((b & 0x80) != 0) invalid_data("{}", messages.eleventh_byte);
        }
        gap |= static_cast<uint64_t>(b & 0x7F) << (7 * byte_index);
        if ((b & 0x80) == 0) break;
    }
    const uint64_t id = previous + gap;  // wrapping
    if (static_cast<int64_t>(id) < static_cast<int64_t>(previous)) {
        invalid_data("decoded ID sequence is not monotonically non-decreasing");
    }
    return id;
}

// Appends exactly `count` IDs of a section in memory to `out` and returns the
// bytes they took (bytes after them are left alone); faults as below.
size_t append_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count,
                               const DeltaVarintMessages& messages, std::vector<int64_t>& out);
// Exactly `count` IDs from a section in memory, failing with the first fault
// met in decoding order: messages.truncated, the faults of
// next_delta_varint_id, and with TrailingBytes::Refused "trailing bytes in
// delta-varint ID section" after the last ID. Memory is reserved for at most
// as many IDs as the section has bytes, whatever `count` claims (each gap
// takes at least one byte).
std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count,
                                             const DeltaVarintMessages& messages, TrailingBytes trailing);
// The shared decoder: kDeltaVarintMessages, trailing bytes refused.
std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count);

// Reads and decodes the ID block (12-byte header, then the section) of one
// list at `offset` with one pread. InvalidData, each prefixed by `what`: "{}
// ID prefix size overflows usize", "{} decoded ID size overflows usize", "{}
// ID section and decoded IDs exceed the bounded streaming allocation", "{} ID
// length does not match the offset table"; read errors propagate unchanged;
// then the decoder's failures.
std::vector<int64_t> read_delta_varint_ids_at(const io::SeekRead& reader, uint64_t offset, uint64_t count,
                                              uint64_t id_bytes_len, std::string_view what);

// ---- Buffers for what a read overwrites -------------------------------------------------

// An uninitialised buffer of `bytes` (nothing a read overwrites is zeroed
// first). OutOfMemory "{what} of {bytes} bytes does not fit in memory" when
// the size is not representable or the allocation fails.
std::unique_ptr<uint8_t[]> read_overwrite_buffer(uint64_t bytes, std::string_view what);
// Reads `total` bytes at `start` in pieces of at most `piece` bytes (one call
// when total <= piece). The buffer grows only after a piece arrived
// (doubling, capped at the total), so what is allocated stays within twice
// what the file delivered: a size claimed by a forged header fails on a read
// before anything near it is allocated. Read errors propagate unchanged;
// OutOfMemory as read_overwrite_buffer.
std::unique_ptr<uint8_t[]> read_section_grown(const io::SeekRead& input, uint64_t start, uint64_t total,
                                              uint64_t piece, std::string_view what);

// ---- Bounded batched reads ------------------------------------------------------------

// Fills buffers[i] from offsets[i] with as few preads as the rules allow: each
// call takes the next unread request, then following ones while the summed
// lengths stay within `limit` and the call holds fewer than the reader's
// max_ranges_per_call (0 = no cap). The first read error stops and
// propagates (earlier calls stay filled). InvalidInput "IVF batch offsets and
// payloads must have the same length"; InvalidData "IVF batch payload size overflow".
void pread_batched_slices_with_limit(const io::SeekRead& reader, std::span<const uint64_t> offsets,
                                     std::span<const std::span<uint8_t>> buffers, uint64_t limit);
// The same over whole byte vectors, with the limit kReadBudgetBytes.
void pread_batched_payloads(const io::SeekRead& reader, std::span<const uint64_t> offsets,
                            std::span<std::vector<uint8_t>> payloads);

// The end (exclusive) of the batch of consecutive lists that starts at index
// 0: the first list always, then each next one while the summed payload
// lengths stay within kReadBudgetBytes and the non-empty lists within
// `max_ranges_per_call` (0 = no cap). InvalidData "IVF batch payload size overflow".
size_t bounded_ivf_payload_batch_end(std::span<const uint64_t> payload_lengths, uint64_t max_ranges_per_call);

// The same rule over `count` lists whose lengths come from length_of(i),
// asked in order and only up to the list that ends the batch, so a caller
// walking many lists batch by batch computes each length about once.
template <class LengthOf>
size_t bounded_ivf_payload_batch_end(size_t count, uint64_t max_ranges_per_call, LengthOf&& length_of) {
    if (count == 0) return 0;
    uint64_t sum = length_of(size_t{0});
    uint64_t non_empty = sum != 0 ? 1 : 0;
    for (size_t i = 1; i < count; ++i) {
        const uint64_t length = length_of(i);
        if (length != 0) ++non_empty;
        std::optional<uint64_t> next = checked_add(sum, length);
        if (!next) invalid_data("IVF batch payload size overflow");
        sum = *next;
        if (sum > kReadBudgetBytes || (max_ranges_per_call != 0 && non_empty > max_ranges_per_call)) return i;
    }
    return count;
}

// Rows of the next streamed chunk of a list: min(remaining, (kChunkBudgetBytes
// - fixed_bytes) / bytes_per_row), rounded down to a multiple of row_multiple
// when that is above 1 and the chunk is partial; 0 when nothing remains.
// InvalidData: "IVF streaming row shape must be greater than zero", "IVF
// decoded row IDs exceed the bounded streaming allocation", "one IVF
// streaming block exceeds the bounded allocation".
uint64_t bounded_ivf_stream_chunk_rows(uint64_t remaining_rows, uint64_t bytes_per_row, uint64_t fixed_bytes,
                                       uint64_t row_multiple);

}  // namespace tavren::index_io_util
