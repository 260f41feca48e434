// The IVF-PQ file, version 1: one place that knows its header layout.
//
//   header        64 bytes at 0
//   metadata      from 64, contiguous:
//                   rotation (flag bit 0 only)   4 * d * d bytes, row-major f32
//                   centroids                    4 * nlist * d bytes
//                   codebook                     4 * m * ksub * dsub bytes
//                   offset table                 16 * nlist bytes (one OffsetEntry per list)
//   payloads      one per non-empty list, in list order, back to back:
//                 the ID block (i64 base ID, i32 ID-byte length, delta-varint
//                 IDs), then count * code_size code bytes, transposed: code
//                 byte k of the row at sorted position r is at k * count + r.
// Rows are in ascending row-ID order (stable). All numbers little-endian.
// Payload offsets are positions in the host's output, as its position
// callback reports them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "ivf_format.hpp"

namespace tavren::ivfpq_format {

inline constexpr uint32_t kMagic = 0x49565051;  // bytes 51 50 56 49
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kFlagOpq = 1;
inline constexpr uint32_t kFlagByResidual = 2;
inline constexpr uint32_t kFlagDeltaIds = 4;
inline constexpr uint32_t kFlagTransposedCodes = 8;
inline constexpr uint32_t kKnownFlags = 0xF;
inline constexpr size_t kHeaderBytes = 64;
using ivf_format::kIdBlockHeaderBytes;
using ivf_format::kOffsetEntryBytes;

inline constexpr size_t kMagicAt = 0;
inline constexpr size_t kVersionAt = 4;
inline constexpr size_t kDimensionAt = 8;
inline constexpr size_t kNlistAt = 12;
inline constexpr size_t kMAt = 16;
inline constexpr size_t kKsubAt = 20;
inline constexpr size_t kDsubAt = 24;
inline constexpr size_t kMetricAt = 28;
inline constexpr size_t kTotalAt = 32;
inline constexpr size_t kFlagsAt = 40;
inline constexpr size_t kReservedAt = 44;
inline constexpr size_t kReservedBytes = 20;

// The 64-byte header, field by field, without validation.
struct Header {
    uint32_t magic = kMagic;
    uint32_t version = kVersion;
    int32_t dimension = 0;
    int32_t nlist = 0;
    int32_t m = 0;
    int32_t ksub = 0;
    int32_t dsub = 0;
    uint32_t metric = 0;
    int64_t total = 0;
    uint32_t flags = kFlagDeltaIds | kFlagTransposedCodes;
    std::array<uint8_t, kReservedBytes> reserved{};

    static Header decode_from(std::span<const uint8_t, kHeaderBytes> bytes) {
        using ivf_format::detail::load;
        Header h;
        const uint8_t* p = bytes.data();
        h.magic = load<uint32_t>(p + kMagicAt);
        h.version = load<uint32_t>(p + kVersionAt);
        h.dimension = load<int32_t>(p + kDimensionAt);
        h.nlist = load<int32_t>(p + kNlistAt);
        h.m = load<int32_t>(p + kMAt);
        h.ksub = load<int32_t>(p + kKsubAt);
        h.dsub = load<int32_t>(p + kDsubAt);
        h.metric = load<uint32_t>(p + kMetricAt);
        h.total = load<int64_t>(p + kTotalAt);
        h.flags = load<uint32_t>(p + kFlagsAt);
        std::memcpy(h.reserved.data(), p + kReservedAt, kReservedBytes);
        return h;
    }
    void encode_to(std::span<uint8_t, kHeaderBytes> bytes) const {
        using ivf_format::detail::store;
        uint8_t* p = bytes.data();
        store(p + kMagicAt, magic);
        store(p + kVersionAt, version);
        store(p + kDimensionAt, dimension);
        store(p + kNlistAt, nlist);
        store(p + kMAt, m);
        store(p + kKsubAt, ksub);
        store(p + kDsubAt, dsub);
        store(p + kMetricAt, metric);
        store(p + kTotalAt, total);
        store(p + kFlagsAt, flags);
        std::memcpy(p + kReservedAt, reserved.data(), kReservedBytes);
    }

    // (offset, length) of every field in file order: the writer hands each
    // field to the output in its own call.
    static constexpr std::array<std::array<size_t, 2>, 11> kFields{{
        {kMagicAt, 4},
        {kVersionAt, 4},
        {kDimensionAt, 4},
        {kNlistAt, 4},
        {kMAt, 4},
        {kKsubAt, 4},
        {kDsubAt, 4},
        {kMetricAt, 4},
        {kTotalAt, 8},
        {kFlagsAt, 4},
        {kReservedAt, kReservedBytes},
    }};
};

using ivf_format::IdBlockHeader;
using ivf_format::OffsetEntry;

}  // namespace tavren::ivfpq_format
