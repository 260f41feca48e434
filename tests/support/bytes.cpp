#include "bytes.hpp"

#include <algorithm>
#include <map>

#include <roaring/roaring.h>

namespace tavren::testing {

std::vector<uint8_t> with_magic(uint32_t magic, size_t len) {
    std::vector<uint8_t> b(len, 0);
    std::memcpy(b.data(), &magic, std::min<size_t>(4, len));
    return b;
}

std::vector<uint8_t> roaring_filter_bytes(std::span<const uint64_t> values) {
    std::map<uint32_t, std::vector<uint32_t>> by_key;
    for (uint64_t v : values) by_key[static_cast<uint32_t>(v >> 32)].push_back(static_cast<uint32_t>(v));
    std::vector<uint8_t> out;
    put(out, static_cast<uint64_t>(by_key.size()));
    for (const auto& [key, lows] : by_key) {
        put(out, key);
        roaring_bitmap_t* r = roaring_bitmap_of_ptr(lows.size(), lows.data());
        const size_t n = roaring_bitmap_portable_size_in_bytes(r);
        const size_t at = out.size();
        out.resize(at + n);
        roaring_bitmap_portable_serialize(r, reinterpret_cast<char*>(out.data() + at));
        roaring_bitmap_free(r);
    }
    return out;
}

}  // namespace tavren::testing
