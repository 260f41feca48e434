// The frame every export runs in: the per-thread last-error text, the C
// layer's own check failures, the prefixing of lower-layer errors and the one
// barrier that keeps every exception on this side of the C boundary.
//
// Shape of a fallible export:
//
//   int tavren_dadiza_reader_search(...) {
//       return ffi::guarded(-1, [&] {
//           Reader& r = ...;                       // "null reader handle" via check_failed
//           auto q = ffi::input_array(query, dim, "query");
//           auto result = ffi::prefixed("search: {}", [&] { return r.search(...); });
//           ...                                    // C-layer result checks, then copy out
//           return 0;
//       });
//   }
//
// Failure texts: a CheckFailure is reported exactly as written; a tavren::Error
// escaping prefixed() becomes a CheckFailure carrying the prefixed text; an
// Error reaching the barrier directly is reported with its bare message; an
// AssertionFailure becomes "native panic: {text}"; std::bad_alloc and anything
// else get fixed texts. No exception leaves guarded().
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"

namespace tavren::ffi {

// A failure found by the C layer's own checks (handles, pointers, lengths,
// emptied handles, result buffers, parameter records). Its text is reported
// without any prefix.
class CheckFailure : public std::exception {
public:
    explicit CheckFailure(std::string text) : text_(std::move(text)) {}
    const std::string& text() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

[[noreturn]] void check_failed(std::string text);

// "{name} pointer is null".
[[noreturn]] void null_pointer(std::string_view name);

// The text reported when an allocation fails anywhere below an export.
inline constexpr std::string_view kAllocationFailedText = "memory allocation failed";

// Element count a * b of an input or output array; fails with
// "{name} length overflow" when the 64-bit product overflows.
uint64_t checked_length(uint64_t a, uint64_t b, std::string_view name);

// An input array of `len` elements. A count of 0 is not examined (the pointer
// may be NULL) and gives an empty span; a non-empty array behind NULL fails
// with "{name} pointer is null".
template <class T>
std::span<const T> input_array(const T* ptr, uint64_t len, std::string_view name) {
    if (len == 0) return {};
    if (ptr == nullptr) null_pointer(name);
    return std::span<const T>(ptr, static_cast<size_t>(len));
}

// A single-record or single-value output; NULL fails with "out pointer is null".
template <class T>
T& out_pointer(T* ptr) {
    if (ptr == nullptr) check_failed("out pointer is null");
    return *ptr;
}

// A pointer that must not be NULL whatever the element count; NULL fails with
// "{name} pointer is null".
template <class T>
T* require_pointer(T* ptr, std::string_view name) {
    if (ptr == nullptr) null_pointer(name);
    return ptr;
}

// Runs `body`; a tavren::Error escaping it is reported as `prefix` applied to
// the error's message (the kind is dropped), e.g. "search: {}". Check failures,
// assertion failures and allocation failures pass through unchanged. Exports
// with two stages nest two calls, each with its own prefix.
template <class F>
decltype(auto) prefixed(fmt::format_string<const std::string&> prefix, F&& body) {
    try {
        return std::forward<F>(body)();
    } catch (const Error& e) {
        throw CheckFailure(fmt::format(prefix, e.message()));
    }
}

// Stores `text` in this thread's last-error slot, each NUL byte written as a
// backslash followed by the digit 0. Never throws: when the copy cannot be
// allocated the slot points at a fixed allocation-failure text instead.
void set_error(std::string_view text) noexcept;

// The failure text of a caught assertion: "native panic: {text}", or
// "native panic: unknown" when the assertion carries no text.
std::string panic_message(std::string_view assertion_text);

// This thread's last failure text, or nullptr when nothing has failed on this
// thread. The pointer stays valid until the next failure on the same thread
// or the thread's exit.
const char* last_error() noexcept;

namespace detail {
void report_current_exception() noexcept;
}

// The barrier of every fallible export: returns body's value, or stores the
// failure text with set_error and returns `fail_value` (-1 for a status, NULL
// for a handle) converted to body's result type. Catches everything; work that
// body hands to the pool reports its failures here too, because the pool
// rethrows a task's exception on the calling thread.
template <class V, class F>
std::invoke_result_t<F> guarded(V fail_value, F&& body) noexcept {
    using Result = std::invoke_result_t<F>;
    static_assert(!std::is_void_v<Result>, "an export body returns its success value");
    try {
        return std::forward<F>(body)();
    } catch (...) {
        detail::report_current_exception();
    }
    return static_cast<Result>(fail_value);
}

}  // namespace tavren::ffi
