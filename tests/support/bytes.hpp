// Byte-building helpers for forged inputs: fields appended in the host's
// little-endian order, a zeroed buffer that starts with a file magic, and the
// portable serialisation of a 64-bit Roaring bitmap. Written from the byte
// layouts alone; they share nothing with the library's encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace tavren::testing {

// Appends the bytes of `value` as they lie in memory (little-endian here).
template <class T>
void put(std::vector<uint8_t>& out, T value) {
    // resize + memcpy rather than insert: GCC 12 reports a false
    // -Wstringop-overflow on the inlined range insert.
    const size_t at = out.size();
    out.resize(at + sizeof(T));
    std::memcpy(out.data() + at, &value, sizeof(T));
}

// `len` zero bytes whose first four (as many as fit) hold `magic`.
std::vector<uint8_t> with_magic(uint32_t magic, size_t len);

// The portable serialisation of a 64-bit Roaring bitmap holding `values`:
// the u64 count of 32-bit keys, then per key (ascending) the u32 key and the
// portable bytes of the bitmap of its low halves.
std::vector<uint8_t> roaring_filter_bytes(std::span<const uint64_t> values);

}  // namespace tavren::testing
