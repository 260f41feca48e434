// The IVF-FLAT file, version 1: one place that knows its byte layout.
//
//   header        64 bytes at 0
//   centroids     4 * nlist * d bytes at 64 (row-major f32)
//   offset table  16 * nlist bytes (one OffsetEntry per list)
//   payloads      one per non-empty list, in list order, back to back:
//                 i64 base ID, i32 ID-byte length, delta-varint IDs, then the
//                 rows (count * d f32) in ascending row-ID order.
// All numbers little-endian. Payload offsets address the file from its first
// byte (offset 0), wherever the host's output started.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "ivf_format.hpp"

namespace tavren::ivfflat_format {

inline constexpr uint32_t kMagic = 0x4956464C;  // bytes 4C 46 56 49
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kFlagDeltaIds = 1;  // bit 0: row IDs are delta-varint encoded
inline constexpr size_t kHeaderBytes = 64;
using ivf_format::kIdBlockHeaderBytes;
using ivf_format::kOffsetEntryBytes;

// Field offsets inside the header. The u64 total is not 8-byte aligned.
inline constexpr size_t kMagicAt = 0;
inline constexpr size_t kVersionAt = 4;
inline constexpr size_t kDimensionAt = 8;
inline constexpr size_t kNlistAt = 12;
inline constexpr size_t kMetricAt = 16;
inline constexpr size_t kTotalAt = 20;
inline constexpr size_t kFlagsAt = 28;
inline constexpr size_t kReservedAt = 32;
inline constexpr size_t kReservedBytes = 32;

namespace detail {
template <class T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));  // little-endian host (x86-64)
    return v;
}
template <class T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof(T));
}
}  // namespace detail

// The 64-byte header, field by field, without validation (the reader checks
// the fields in its own order and with its own messages).
struct Header {
    uint32_t magic = kMagic;
    uint32_t version = kVersion;
    int32_t dimension = 0;
    int32_t nlist = 0;
    uint32_t metric = 0;
    uint64_t total = 0;
    uint32_t flags = kFlagDeltaIds;
    std::array<uint8_t, kReservedBytes> reserved{};

    static Header decode_from(std::span<const uint8_t, kHeaderBytes> bytes) {
        Header h;
        const uint8_t* p = bytes.data();
        h.magic = detail::load<uint32_t>(p + kMagicAt);
        h.version = detail::load<uint32_t>(p + kVersionAt);
        h.dimension = detail::load<int32_t>(p + kDimensionAt);
        h.nlist = detail::load<int32_t>(p + kNlistAt);
        h.metric = detail::load<uint32_t>(p + kMetricAt);
        h.total = detail::load<uint64_t>(p + kTotalAt);
        h.flags = detail::load<uint32_t>(p + kFlagsAt);
        std::memcpy(h.reserved.data(), p + kReservedAt, kReservedBytes);
        return h;
    }
    void encode_to(std::span<uint8_t, kHeaderBytes> bytes) const {
        uint8_t* p = bytes.data();
        detail::store(p + kMagicAt, magic);
        detail::store(p + kVersionAt, version);
        detail::store(p + kDimensionAt, dimension);
        detail::store(p + kNlistAt, nlist);
        detail::store(p + kMetricAt, metric);
        detail::store(p + kTotalAt, total);
        detail::store(p + kFlagsAt, flags);
        std::memcpy(p + kReservedAt, reserved.data(), kReservedBytes);
    }
};

using ivf_format::IdBlockHeader;
using ivf_format::OffsetEntry;

}  // namespace tavren::ivfflat_format
