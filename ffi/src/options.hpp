// The C side of trainer options: turns the host's key and value string arrays
// into an ordered list of (key, value) pairs, refusing null arrays and
// strings, invalid UTF-8 and exactly repeated keys. Keys and values are copied
// byte for byte (no trimming: that is the option parser's job).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavren::ffi {

struct CollectedOptions {
    std::vector<std::pair<std::string, std::string>> pairs;  // in the host's order
    std::optional<std::string> error;                        // the failure text, unprefixed
    bool ok() const noexcept { return !error.has_value(); }
};

// Checks, in order: the arrays (when count > 0), then per pair i from 0: key
// NULL, value NULL, key UTF-8, value UTF-8, duplicate key. The first failure
// ends the walk. Never throws except std::bad_alloc.
CollectedOptions collect_option_pairs(const char* const* keys, const char* const* values, size_t count);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(const char* bytes, size_t len) noexcept;

}  // namespace tavren::ffi
