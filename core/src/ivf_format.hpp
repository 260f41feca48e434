// Records that every IVF file (IVF-FLAT, IVF-PQ, IVF-SQ, IVF-RQ) shares: the
// 16-byte offset-table entry and the 12-byte header in front of each list's
// delta-varint row IDs. Each record is encoded and decoded here and nowhere
// else. All numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tavren::ivf_format {

inline constexpr size_t kOffsetEntryBytes = 16;
inline constexpr size_t kIdBlockHeaderBytes = 12;  // i64 base ID + i32 ID-byte length

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

// One offset-table entry: where a list's payload starts and what it holds.
struct OffsetEntry {
    int64_t offset = 0;        // payload offset from the file's first byte
    int32_t count = 0;         // rows in the list
    int32_t id_bytes_len = 0;  // length of the delta-varint section

    static OffsetEntry decode_from(std::span<const uint8_t, kOffsetEntryBytes> bytes) {
        const uint8_t* p = bytes.data();
        return {detail::load<int64_t>(p), detail::load<int32_t>(p + 8), detail::load<int32_t>(p + 12)};
    }
    void encode_to(std::span<uint8_t, kOffsetEntryBytes> bytes) const {
        uint8_t* p = bytes.data();
        detail::store(p, offset);
        detail::store(p + 8, count);
        detail::store(p + 12, id_bytes_len);
    }
};

// The header in front of a list's delta-varint row IDs: the smallest row ID
// of the list and the byte length of the varint section that follows.
struct IdBlockHeader {
    int64_t base_id = 0;
    int32_t id_bytes_len = 0;

    static IdBlockHeader decode_from(std::span<const uint8_t, kIdBlockHeaderBytes> bytes) {
        const uint8_t* p = bytes.data();
        return {detail::load<int64_t>(p), detail::load<int32_t>(p + 8)};
    }
    void encode_to(std::span<uint8_t, kIdBlockHeaderBytes> bytes) const {
        uint8_t* p = bytes.data();
        detail::store(p, base_id);
        detail::store(p + 8, id_bytes_len);
    }
};

}  // namespace tavren::ivf_format
