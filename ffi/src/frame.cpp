#include "frame.hpp"

namespace tavren::ffi {
namespace {

// One slot per thread, created on first use and freed when the thread exits.
// `current` is what tavren_dadiza_last_error returns: nullptr until the first
// failure, then `text`'s buffer, or the fixed allocation-failure text when the
// failure text itself could not be copied.
struct LastErrorSlot {
    std::string text;
    const char* current = nullptr;
};

thread_local LastErrorSlot t_last_error;

}  // namespace

void check_failed(std::string text) { throw CheckFailure(std::move(text)); }

void null_pointer(std::string_view name) { throw CheckFailure(fmt::format("{} pointer is null", name)); }

uint64_t checked_length(uint64_t a, uint64_t b, std::string_view name) {
    uint64_t product;
    if (__builtin_mul_overflow(a, b, &product)) throw CheckFailure(fmt::format("{} length overflow", name));
    return product;
}

void set_error(std::string_view text) noexcept {
    LastErrorSlot& slot = t_last_error;
    try {
        size_t nuls = 0;
        for (char c : text) nuls += c == '\0' ? 1 : 0;
        std::string escaped;
        escaped.reserve(text.size() + nuls);
        for (char c : text) {
            if (c == '\0') {
                escaped.push_back('\\');
                escaped.push_back('0');
            } else {
                escaped.push_back(c);
            }
        }
        slot.text = std::move(escaped);
        slot.current = slot.text.c_str();
    } catch (...) {
        slot.current = kAllocationFailedText.data();  // a string literal, so NUL-terminated
    }
}

std::string panic_message(std::string_view assertion_text) {
    if (assertion_text.empty()) return "native panic: unknown";
    return fmt::format("native panic: {}", assertion_text);
}

const char* last_error() noexcept { return t_last_error.current; }

namespace detail {

void report_current_exception() noexcept {
    try {
        throw;
    } catch (const CheckFailure& e) {
        set_error(e.text());
    } catch (const Error& e) {
        set_error(e.message());
    } catch (const AssertionFailure& e) {
        try {
            set_error(panic_message(e.message()));
        } catch (...) {
            set_error(kAllocationFailedText);
        }
    } catch (const std::bad_alloc&) {
        set_error(kAllocationFailedText);
    } catch (...) {
        set_error("native panic: unknown");
    }
}

}  // namespace detail
}  // namespace tavren::ffi
