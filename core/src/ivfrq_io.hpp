// The IVF-RQ file writer (layout in ivfrq_format.hpp).
//
// write_ivfrq_index checks the in-memory index and settles every file field
// and limit (header fields, list counts, ID-section and code-section lengths,
// payload offsets) before the first byte goes out, so a refusal writes
// nothing. It then writes header, centroids and offset table, and the payloads
// of the non-empty lists with codes and factors re-laid into 32-row blocks one
// list at a time. Payload offsets count from the first byte this call writes
// (offset 0), wherever the output stood when the call began. A write error is
// passed through unchanged and leaves an incomplete file the caller must
// discard. Does not flush. The index is only read. Runs on the caller's thread.
//
// With TAVREN_LOG_VECTOR_INDEX_BUILD_TIMING present, the stages write.plan_lists,
// write.metadata, write.block_lists, write.output, write.lists and write.total
// are logged as the build's stages are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "io.hpp"
#include "ivfrq.hpp"

namespace tavren::ivfrq_io {

// The bounds the writer enforces. Production code uses the defaults; tests
// lower them to reach every refusal without multi-gigabyte fixtures.
struct WriteLimits {
    uint64_t max_i32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());  // i32 table and payload fields
    uint64_t max_i64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // payload offsets
};

void write_ivfrq_index(const ivfrq::IVFRQIndex& index, io::SeekWrite& out);
void write_ivfrq_index_with_limits(const ivfrq::IVFRQIndex& index, io::SeekWrite& out, const WriteLimits& limits);

// How one list goes out.
struct RQListWritePlan {
    std::vector<size_t> row_order;   // row positions sorted by row ID, ascending, stable
    std::vector<uint8_t> delta_ids;  // the IDs in that order as delta-varint bytes
    int64_t base_id = 0;             // the smallest ID (0 for an empty list)
};
std::vector<RQListWritePlan> plan_sorted_lists(const ivfrq::IVFRQIndex& index);

// The code and factor sections of list j in the file's blocked layout, rows
// taken in `row_order`.
struct BlockedList {
    std::vector<uint8_t> codes;
    std::vector<float> factors;
};
BlockedList block_list(const ivfrq::IVFRQIndex& index, size_t list, std::span<const size_t> row_order);

// InvalidInput "{name} exceeds i32" above `limit`.
int32_t usize_to_i32(uint64_t value, std::string_view name,
                     uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max()));
// InvalidInput "{name} exceeds u32" above the u32 range.
uint32_t usize_to_u32(uint64_t value, std::string_view name);
// InvalidInput "{name} exceeds i64" above `limit`.
int64_t u64_to_i64(uint64_t value, std::string_view name,
                   uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
// a * b when it neither overflows nor exceeds 2^30; else InvalidData "IVF-RQ section size overflow".
uint64_t checked_section_size(uint64_t a, uint64_t b);
// a * b; InvalidData "IVF-RQ list byte size overflow" on overflow.
uint64_t checked_list_bytes(uint64_t a, uint64_t b);

}  // namespace tavren::ivfrq_io
