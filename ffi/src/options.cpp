#include "options.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include <fmt/format.h>

namespace tavren::ffi {

namespace {
// The pair list grows as pairs are read; the host's count alone never sizes
// an allocation.
constexpr size_t kMaxInitialReserve = 256;

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }
}  // namespace

bool is_valid_utf8(const char* bytes, size_t len) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < len) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t width;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            width = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            width = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            width = 4;
            if (c == 0xF0) lo = 0x90;  // no overlong forms
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (len - i < width) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k < width; ++k) {
            if (!is_continuation(s[i + k])) return false;
        }
        i += width;
    }
    return true;
}

CollectedOptions collect_option_pairs(const char* const* keys, const char* const* values, size_t count) {
    CollectedOptions out;
    if (count == 0) return out;
    if (keys == nullptr || values == nullptr) {
        out.error = "option keys or values pointer is null";
        return out;
    }
    out.pairs.reserve(std::min(count, kMaxInitialReserve));
    std::unordered_set<std::string_view> seen;
    for (size_t i = 0; i < count; ++i) {
        const char* key = keys[i];
        const char* value = values[i];
        if (key == nullptr) {
            out.error = fmt::format("option key {} is null", i);
            break;
        }
        if (value == nullptr) {
            out.error = fmt::format("option value {} is null", i);
            break;
        }
        const std::string_view k(key, std::strlen(key));
        const std::string_view v(value, std::strlen(value));
        if (!is_valid_utf8(k.data(), k.size())) {
            out.error = fmt::format("option key {} contains invalid UTF-8", i);
            break;
        }
        if (!is_valid_utf8(v.data(), v.size())) {
            out.error = fmt::format("option value {} contains invalid UTF-8", i);
            break;
        }
        // The views point into the host's strings, which outlive this call.
        if (!seen.insert(k).second) {
            out.error = fmt::format("duplicate option key '{}'", k);
            break;
        }
        out.pairs.emplace_back(std::string(k), std::string(v));
    }
    if (out.error) out.pairs.clear();
    return out;
}

}  // namespace tavren::ffi
