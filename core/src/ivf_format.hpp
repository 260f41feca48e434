// Records that every IVF file (IVF-FLAT, IVF-PQ, IVF-SQ, IVF-RQ) shares: the
// 16-byte offset-table entry and the 12-byte header in front of each list's
// delta-varint row IDs. Each record is encoded and decoded here and nowhere
// else. All numbers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
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
    // Whether the stored ID-byte length is the offset table's (each reader
    // reports a mismatch with its own text).
    bool matches_table(uint64_t table_id_bytes_len) const {
        return id_bytes_len >= 0 && static_cast<uint64_t>(id_bytes_len) == table_id_bytes_len;
    }
};

// ---- The payload-length rule -------------------------------------------------------
//
// A non-empty list's payload is its ID block (kIdBlockHeaderBytes, then the
// ID section) followed by `count` codes of `code_size` bytes each (4 d for
// IVF-FLAT rows). Writers and readers compute lengths only through these two
// functions; each reports a nullopt with its own text.

// count x code_size; nullopt for a negative count or on u64 overflow.
inline std::optional<uint64_t> list_code_bytes(int64_t count, uint64_t code_size) {
    if (count < 0) return std::nullopt;
    uint64_t out = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(count), code_size, &out)) return std::nullopt;
    return out;
}

// kIdBlockHeaderBytes + id_bytes_len + code_bytes; nullopt for a negative
// ID length or on u64 overflow.
inline std::optional<uint64_t> list_payload_len(int64_t id_bytes_len, uint64_t code_bytes) {
    if (id_bytes_len < 0) return std::nullopt;
    uint64_t out = 0;
    if (__builtin_add_overflow(kIdBlockHeaderBytes + static_cast<uint64_t>(id_bytes_len), code_bytes, &out)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace tavren::ivf_format
