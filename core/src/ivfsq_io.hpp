// The IVF-SQ file writer and the format rules it shares with a reader: the
// payload length of a list, the header's bounds summary and the bounds check
// (layout in ivfsq_format.hpp).
//
// Every failure throws tavren::Error; the writer keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "io.hpp"
#include "ivfsq.hpp"

namespace tavren::ivfsq_io {

// count * code_size + id_bytes_len + 12; InvalidData "IVF-SQ list size
// overflow" when that overflows.
uint64_t list_payload_len(uint64_t count, uint64_t code_size, uint64_t id_bytes_len);

// (smallest of the minima, largest of the maxima), NaN values ignored; (0, 0)
// when either is not finite (also for empty arrays).
std::pair<float, float> sq_global_bounds(std::span<const float> mins, std::span<const float> maxs);

// InvalidData "IVF-SQ bounds length does not match dimension" unless both
// arrays hold `dimension` values; then, for the first dimension j whose bounds
// are not finite or whose minimum exceeds its maximum, InvalidData "invalid
// IVF-SQ bounds at dimension {j}".
void validate_sq_bounds(size_t dimension, std::span<const float> mins, std::span<const float> maxs);

// How one list goes out: its rows in ascending row-ID order (stable), and its
// ID section.
struct SortedSqListMetadata {
    std::vector<uint32_t> order;  // positions into the list's IDs and code rows
    std::vector<uint8_t> id_bytes;
    int64_t base_id = 0;  // the smallest ID; 0 for an empty list
};

// REQUIRES: ids.size() < 2^32 (the writer checks counts against the i32 limit first).
SortedSqListMetadata build_sorted_sq_list_metadata(std::span<const int64_t> ids);

// The codes of one list (row-major, d bytes per row) in 32-row blocks, rows
// taken in `order`: byte 32 * b * d + j * k + i of the result is code j of row
// order[32 * b + i], k being the row count of block b.
std::vector<uint8_t> blocked_codes(std::span<const uint8_t> codes, std::span<const uint32_t> order, size_t d);

// Code bytes of the payload groups the writer blocks at once.
inline constexpr uint64_t kGroupCodeBytes = 16777216;

// The end (exclusive) of the group of lists that starts at `first` (<
// code_bytes.size()): `first` always, then each next list while the group's
// code bytes stay at or below `limit`.
size_t payload_group_end(std::span<const uint64_t> code_bytes, size_t first, uint64_t limit = kGroupCodeBytes);

// The bounds the writer enforces. Production code uses the defaults; tests
// lower them to reach every refusal without multi-gigabyte fixtures.
struct WriteLimits {
    uint64_t group_code_bytes = kGroupCodeBytes;
    uint64_t max_i32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());  // i32 header/table fields
    uint64_t max_i64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // payload offsets
};

// Checks the whole index and writes the file front to back through `out`.
// Every check that depends on the index alone (shapes, bounds, sizes the file
// format and its reader accept, list counts and ID-section lengths within
// i32) is settled before the first byte, so such a refusal writes nothing.
// Payload offsets are out.pos() after the metadata plus the table and payload
// lengths: positions in the host's output. A refusal of an offset (beyond i64)
// or a write error comes after the metadata and leaves an incomplete file the
// caller must discard. Does not flush. The index is only read.
void write_ivfsq_index(const ivfsq::IVFSQIndex& index, io::SeekWrite& out);
// The same with explicit bounds.
void write_ivfsq_index_with_limits(const ivfsq::IVFSQIndex& index, io::SeekWrite& out, const WriteLimits& limits);

}  // namespace tavren::ivfsq_io
