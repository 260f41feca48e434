// Error model of the core.
//
// Every fallible core operation throws `Error` (a kind plus an English message
// without a final period). Violated internal invariants throw
// `AssertionFailure` instead; the C layer reports those as "native panic: ...".
// Nothing here ever lets an exception cross the C boundary: each export has one
// barrier (ffi/src/frame.hpp) that catches both, plus std::bad_alloc.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace tavren {

enum class ErrorKind : uint8_t {
    InvalidInput,   // bad arguments, inconsistent in-memory state, budgets that cannot be met
    InvalidData,    // file contents, truncation, sizes derived from the file
    OutOfMemory,    // a build that exceeds its memory budget
    UnexpectedEof,  // a cursor ran past the end of its source
    Other,          // host-callback failures and the like
};

class Error : public std::exception {
public:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    ErrorKind kind_;
    std::string message_;
};

// An internal invariant did not hold. The message is the assertion text.
class AssertionFailure : public std::exception {
public:
    explicit AssertionFailure(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void throw_error(ErrorKind kind, std::string message);

template <class... Args>
[[noreturn]] void fail(ErrorKind kind, fmt::format_string<Args...> f, Args&&... args) {
    throw_error(kind, fmt::format(f, std::forward<Args>(args)...));
}
template <class... Args>
[[noreturn]] void invalid_input(fmt::format_string<Args...> f, Args&&... args) {
    throw_error(ErrorKind::InvalidInput, fmt::format(f, std::forward<Args>(args)...));
}
template <class... Args>
[[noreturn]] void invalid_data(fmt::format_string<Args...> f, Args&&... args) {
    throw_error(ErrorKind::InvalidData, fmt::format(f, std::forward<Args>(args)...));
}

// Writes "panicked: <message>" to standard error (where the failure occurs,
// as the host expects to see it) and throws AssertionFailure(message).
[[noreturn]] void assertion_failed(std::string message);

template <class... Args>
[[noreturn]] void panic(fmt::format_string<Args...> f, Args&&... args) {
    assertion_failed(fmt::format(f, std::forward<Args>(args)...));
}

// Equality assertion: the message shows both values.
template <class L, class R>
inline void assert_eq(const L& left, const R& right, std::string_view message) {
    if (!(left == right)) {
        assertion_failed(fmt::format("assertion `left == right` failed: {}\n  left: {}\n right: {}",
                                     message, left, right));
    }
}

// Index assertion: `index` must be below `len`.
[[noreturn]] void index_out_of_bounds(uint64_t index, uint64_t len);
inline void check_index(uint64_t index, uint64_t len) {
    if (index >= len) index_out_of_bounds(index, len);
}
// A slice of `len` elements must hold at least `needed`.
[[noreturn]] void slice_too_short(uint64_t needed, uint64_t len);
inline void check_len(uint64_t needed, uint64_t len) {
    if (needed > len) slice_too_short(needed, len);
}

}  // namespace tavren

// Internal invariant check; the message is a fmt format string with arguments.
#define TD_ASSERT(cond, ...)                                   \
    do {                                                       \
        if (!(cond)) [[unlikely]] ::tavren::panic(__VA_ARGS__); \
    } while (0)
