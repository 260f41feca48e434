// The IVF-SQ file, version 1: one place that knows its byte layout.
//
//   header        64 bytes at 0
//   metadata      from 64, read in one range:
//                   global mins, global maxs      2 * 4 * d bytes
//                   per list: mins, then maxs     nlist * 2 * 4 * d bytes
//                   centroids                     4 * nlist * d bytes (row-major f32)
//                   offset table                  16 * nlist bytes (one OffsetEntry per list)
//   payloads      one per non-empty list, in list order, back to back:
//                 count * d code bytes in 32-row blocks, then the ID block
//                 (i64 base ID, i32 ID-byte length, delta-varint IDs).
// Inside a block of k rows the codes are dimension-major: for each dimension
// j, the k codes of the block's rows. Rows are in ascending row-ID order
// (stable). All numbers little-endian. Payload offsets are positions in the
// host's output, as its position callback reports them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "ivf_format.hpp"

namespace tavren::ivfsq_format {

inline constexpr uint32_t kMagic = 0x49565351;  // bytes 51 53 56 49
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kBitWidth = 8;
// Both feature bits together: bit 0 delta-varint row IDs, bit 1 32-row blocked codes.
inline constexpr uint32_t kFlagDeltaIds = 1;
inline constexpr uint32_t kFlagBlockedCodes = 2;
inline constexpr uint32_t kFlags = kFlagDeltaIds | kFlagBlockedCodes;
inline constexpr size_t kHeaderBytes = 64;
inline constexpr size_t kBlockRows = 32;
using ivf_format::kIdBlockHeaderBytes;
using ivf_format::kOffsetEntryBytes;

// Field offsets inside the header. The i64 total is not 8-byte aligned.
inline constexpr size_t kMagicAt = 0;
inline constexpr size_t kVersionAt = 4;
inline constexpr size_t kDimensionAt = 8;
inline constexpr size_t kNlistAt = 12;
inline constexpr size_t kMetricAt = 16;
inline constexpr size_t kTotalAt = 20;
inline constexpr size_t kBitWidthAt = 28;
inline constexpr size_t kFlagsAt = 32;
inline constexpr size_t kSummaryMinAt = 36;
inline constexpr size_t kSummaryMaxAt = 40;
inline constexpr size_t kReservedAt = 44;
inline constexpr size_t kReservedBytes = 20;

// The 64-byte header, field by field, without validation (a reader checks
// the fields in its own order and with its own messages).
struct Header {
    uint32_t magic = kMagic;
    uint32_t version = kVersion;
    int32_t dimension = 0;
    int32_t nlist = 0;
    uint32_t metric = 0;
    int64_t total = 0;
    uint32_t bit_width = kBitWidth;
    uint32_t flags = kFlags;
    float summary_min = 0.0f;
    float summary_max = 0.0f;
    std::array<uint8_t, kReservedBytes> reserved{};

    static Header decode_from(std::span<const uint8_t, kHeaderBytes> bytes) {
        Header h;
        const uint8_t* p = bytes.data();
        h.magic = ivf_format::detail::load<uint32_t>(p + kMagicAt);
        h.version = ivf_format::detail::load<uint32_t>(p + kVersionAt);
        h.dimension = ivf_format::detail::load<int32_t>(p + kDimensionAt);
        h.nlist = ivf_format::detail::load<int32_t>(p + kNlistAt);
        h.metric = ivf_format::detail::load<uint32_t>(p + kMetricAt);
        h.total = ivf_format::detail::load<int64_t>(p + kTotalAt);
        h.bit_width = ivf_format::detail::load<uint32_t>(p + kBitWidthAt);
        h.flags = ivf_format::detail::load<uint32_t>(p + kFlagsAt);
        h.summary_min = ivf_format::detail::load<float>(p + kSummaryMinAt);
        h.summary_max = ivf_format::detail::load<float>(p + kSummaryMaxAt);
        std::memcpy(h.reserved.data(), p + kReservedAt, kReservedBytes);
        return h;
    }
    void encode_to(std::span<uint8_t, kHeaderBytes> bytes) const {
        uint8_t* p = bytes.data();
        ivf_format::detail::store(p + kMagicAt, magic);
        ivf_format::detail::store(p + kVersionAt, version);
        ivf_format::detail::store(p + kDimensionAt, dimension);
        ivf_format::detail::store(p + kNlistAt, nlist);
        ivf_format::detail::store(p + kMetricAt, metric);
        ivf_format::detail::store(p + kTotalAt, total);
        ivf_format::detail::store(p + kBitWidthAt, bit_width);
        ivf_format::detail::store(p + kFlagsAt, flags);
        ivf_format::detail::store(p + kSummaryMinAt, summary_min);
        ivf_format::detail::store(p + kSummaryMaxAt, summary_max);
        std::memcpy(p + kReservedAt, reserved.data(), kReservedBytes);
    }

    // (offset, length) of every field in file order: the writer hands each
    // field to the output in its own call.
    static constexpr std::array<std::array<size_t, 2>, 11> kFields{{
        {kMagicAt, 4},
        {kVersionAt, 4},
        {kDimensionAt, 4},
        {kNlistAt, 4},
        {kMetricAt, 4},
        {kTotalAt, 8},
        {kBitWidthAt, 4},
        {kFlagsAt, 4},
        {kSummaryMinAt, 4},
        {kSummaryMaxAt, 4},
        {kReservedAt, kReservedBytes},
    }};

};

using ivf_format::IdBlockHeader;
using ivf_format::OffsetEntry;

}  // namespace tavren::ivfsq_format
