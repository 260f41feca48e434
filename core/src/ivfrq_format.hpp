// The IVF-RQ file, version 1: one place that knows its byte layout.
//
//   header        64 bytes at 0 (no reserved bytes)
//   centroids     4 * nlist * d bytes at 64 (row-major f32, unrotated)
//   offset table  16 * nlist bytes (one OffsetEntry per list)
//   payloads      one per non-empty list, in list order, back to back:
//                 i64 base ID, i32 ID-byte length, i32 code length,
//                 delta-varint IDs, blocked codes, blocked factors.
//
// Rows of a list are in ascending row-ID order (equal IDs in insertion order)
// and cut into blocks of 32 rows, the last block holding the rest. Codes of a
// block run plane by plane, byte by byte, row by row; factors field by field,
// row by row (bin_add, bin_rescale when B = 1; bin_add, bin_rescale,
// bin_error, ex_add, ex_rescale otherwise). The rotation is not stored: the
// reader rebuilds it from the dimension and the seed. All numbers
// little-endian; payload offsets address the file from its first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "ivf_format.hpp"

namespace tavren::ivfrq_format {

inline constexpr uint32_t kMagic = 0x49565251;  // bytes 51 52 56 49 ("QRVI")
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kFlags = 7;
inline constexpr uint32_t kRotationRounds = 4;
inline constexpr uint32_t kRotationType = 2;
inline constexpr uint32_t kFactorLayout = 3;
inline constexpr size_t kHeaderBytes = 64;
inline constexpr size_t kBlockRows = 32;
// The payload head in front of the delta-varint IDs: the shared ID-block
// header (i64 base ID, i32 ID-byte length) and the i32 code length.
inline constexpr size_t kPayloadHeadBytes = ivf_format::kIdBlockHeaderBytes + 4;
using ivf_format::kIdBlockHeaderBytes;
using ivf_format::kOffsetEntryBytes;

// Stored factor fields per row: 2 for one bit, 5 otherwise.
constexpr size_t factor_fields(size_t bits) noexcept { return bits == 1 ? 2 : 5; }

// Field offsets inside the header.
inline constexpr size_t kMagicAt = 0;
inline constexpr size_t kVersionAt = 4;
inline constexpr size_t kDimensionAt = 8;
inline constexpr size_t kPaddedDimensionAt = 12;
inline constexpr size_t kNlistAt = 16;
inline constexpr size_t kMetricAt = 20;
inline constexpr size_t kFlagsAt = 24;
inline constexpr size_t kBitsAt = 28;
inline constexpr size_t kTotalAt = 32;
inline constexpr size_t kSeedAt = 40;
inline constexpr size_t kRoundsAt = 48;
inline constexpr size_t kPlaneSizeAt = 52;
inline constexpr size_t kRotationTypeAt = 56;
inline constexpr size_t kFactorLayoutAt = 60;

// (offset, size) of every header field, in offset order: the writer passes
// each field to the output in its own call.
struct FieldSpan {
    size_t at;
    size_t size;
};
inline constexpr FieldSpan kHeaderFields[] = {
    {kMagicAt, 4},   {kVersionAt, 4}, {kDimensionAt, 4}, {kPaddedDimensionAt, 4}, {kNlistAt, 4},
    {kMetricAt, 4},  {kFlagsAt, 4},   {kBitsAt, 4},      {kTotalAt, 8},           {kSeedAt, 8},
    {kRoundsAt, 4},  {kPlaneSizeAt, 4}, {kRotationTypeAt, 4}, {kFactorLayoutAt, 4},
};

// The 64-byte header, field by field, without validation (the reader checks
// the fields in its own order and with its own messages).
struct Header {
    uint32_t magic = kMagic;
    uint32_t version = kVersion;
    int32_t dimension = 0;
    int32_t padded_dimension = 0;
    int32_t nlist = 0;
    uint32_t metric = 0;
    uint32_t flags = kFlags;
    uint32_t bits = 0;
    int64_t total = 0;
    uint64_t seed = 0;
    uint32_t rotation_rounds = kRotationRounds;
    int32_t plane_size = 0;
    uint32_t rotation_type = kRotationType;
    uint32_t factor_layout = kFactorLayout;

    static Header decode_from(std::span<const uint8_t, kHeaderBytes> bytes) {
        using ivf_format::detail::load;
        const uint8_t* p = bytes.data();
        Header h;
        h.magic = load<uint32_t>(p + kMagicAt);
        h.version = load<uint32_t>(p + kVersionAt);
        h.dimension = load<int32_t>(p + kDimensionAt);
        h.padded_dimension = load<int32_t>(p + kPaddedDimensionAt);
        h.nlist = load<int32_t>(p + kNlistAt);
        h.metric = load<uint32_t>(p + kMetricAt);
        h.flags = load<uint32_t>(p + kFlagsAt);
        h.bits = load<uint32_t>(p + kBitsAt);
        h.total = load<int64_t>(p + kTotalAt);
        h.seed = load<uint64_t>(p + kSeedAt);
        h.rotation_rounds = load<uint32_t>(p + kRoundsAt);
        h.plane_size = load<int32_t>(p + kPlaneSizeAt);
        h.rotation_type = load<uint32_t>(p + kRotationTypeAt);
        h.factor_layout = load<uint32_t>(p + kFactorLayoutAt);
        return h;
    }
    void encode_to(std::span<uint8_t, kHeaderBytes> bytes) const {
        using ivf_format::detail::store;
        uint8_t* p = bytes.data();
        store(p + kMagicAt, magic);
        store(p + kVersionAt, version);
        store(p + kDimensionAt, dimension);
        store(p + kPaddedDimensionAt, padded_dimension);
        store(p + kNlistAt, nlist);
        store(p + kMetricAt, metric);
        store(p + kFlagsAt, flags);
        store(p + kBitsAt, bits);
        store(p + kTotalAt, total);
        store(p + kSeedAt, seed);
        store(p + kRoundsAt, rotation_rounds);
        store(p + kPlaneSizeAt, plane_size);
        store(p + kRotationTypeAt, rotation_type);
        store(p + kFactorLayoutAt, factor_layout);
    }
};

using ivf_format::IdBlockHeader;
using ivf_format::OffsetEntry;

}  // namespace tavren::ivfrq_format
