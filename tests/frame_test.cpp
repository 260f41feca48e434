// The C interface frame: last-error slot, check failures, prefixing, barrier.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "../ffi/src/frame.hpp"
#include "pool.hpp"
#include "tavren_dadiza.h"

namespace ffi = tavren::ffi;
using tavren::ErrorKind;

namespace {

// Runs `body` under the barrier as a status export would and returns the
// stored text ("" when it succeeded).
template <class F>
std::string fail_text(F&& body) {
    int rc = ffi::guarded(-1, std::forward<F>(body));
    if (rc == 0) return "";
    EXPECT_EQ(rc, -1);
    const char* text = tavren_dadiza_last_error();
    return text == nullptr ? "<null>" : text;
}

int ok() { return 0; }

}  // namespace

TEST(Frame, BarrierReturnsTheBodyValueOnSuccess) {
    EXPECT_EQ(ffi::guarded(-1, [] { return 0; }), 0);
    int handle_storage = 0;
    int* h = ffi::guarded(nullptr, [&] { return &handle_storage; });
    EXPECT_EQ(h, &handle_storage);
    int* failed = ffi::guarded(nullptr, []() -> int* { ffi::check_failed("null reader handle"); });
    EXPECT_EQ(failed, nullptr);
    EXPECT_STREQ(tavren_dadiza_last_error(), "null reader handle");
}

TEST(Frame, FailureTextsByKindOfFailure) {
    struct Case {
        const char* name;
        std::function<int()> body;
        std::string expected;
    };
    const Case cases[] = {
        {"check failure, no prefix", [] () -> int { ffi::check_failed("null writer handle"); }, "null writer handle"},
        {"error at the barrier: bare message",
         []() -> int { tavren::invalid_input("top_k must be greater than 0"); }, "top_k must be greater than 0"},
        {"prefixed error",
         [] {
             return ffi::prefixed("search: {}", []() -> int { tavren::invalid_input("top_k must be greater than 0"); });
         },
         "search: top_k must be greater than 0"},
        {"prefix keeps braces of the message",
         [] { return ffi::prefixed("open reader: {}", []() -> int { tavren::invalid_data("{}", "a {} b"); }); },
         "open reader: a {} b"},
        {"check failure inside prefixed stays unprefixed",
         [] { return ffi::prefixed("search: {}", []() -> int { ffi::null_pointer("out_ids"); }); },
         "out_ids pointer is null"},
        {"assertion inside prefixed is a panic, unprefixed",
         [] { return ffi::prefixed("search: {}", []() -> int { tavren::panic("index {} out of range", 3); }); },
         "native panic: index 3 out of range"},
        {"assertion with empty text", []() -> int { throw tavren::AssertionFailure(""); }, "native panic: unknown"},
        {"bad_alloc", []() -> int { throw std::bad_alloc(); }, "memory allocation failed"},
        {"bad_alloc inside prefixed", [] { return ffi::prefixed("search: {}", []() -> int { throw std::bad_alloc(); }); },
         "memory allocation failed"},
        {"other std exception", []() -> int { throw std::runtime_error("boom"); }, "native panic: unknown"},
        {"non-exception object", []() -> int { throw 42; }, "native panic: unknown"},
    };
    for (const Case& c : cases) EXPECT_EQ(fail_text(c.body), c.expected) << c.name;
}

TEST(Frame, TwoStagePrefixesEachApplyToTheirOwnStage) {
    // trainer open: options, then creation; nesting does not double-prefix.
    auto two_stage = [](bool options_fail) {
        return fail_text([&] {
            return ffi::prefixed("create trainer: {}", [&] {
                ffi::prefixed("invalid vector index options: {}", [&] {
                    if (options_fail) tavren::invalid_input("missing required option 'metric'");
                    return 0;
                });
                tavren::invalid_input("nlist must be positive");
                return 0;
            });
        });
    };
    EXPECT_EQ(two_stage(true), "invalid vector index options: missing required option 'metric'");
    EXPECT_EQ(two_stage(false), "create trainer: nlist must be positive");

    // write, then flush, in sequence.
    EXPECT_EQ(fail_text([] {
                  ffi::prefixed("write index: {}", [] { return 0; });
                  return ffi::prefixed("flush index: {}",
                                       []() -> int { tavren::fail(ErrorKind::Other, "flush callback failed"); });
              }),
              "flush index: flush callback failed");
}

TEST(Frame, CheckHelpers) {
    EXPECT_EQ(fail_text([] {
                  ffi::checked_length(uint64_t{1} << 32, uint64_t{1} << 32, "queries");
                  return 0;
              }),
              "queries length overflow");
    EXPECT_EQ(ffi::checked_length(3, 5, "queries"), 15u);
    EXPECT_EQ(ffi::checked_length(0, ~uint64_t{0}, "queries"), 0u);

    // An empty input array is not examined; a non-empty one must not be NULL.
    EXPECT_EQ(fail_text([] { return ffi::input_array<float>(nullptr, 0, "data").empty() ? 0 : 1; }), "");
    EXPECT_EQ(fail_text([] { return static_cast<int>(ffi::input_array<float>(nullptr, 4, "vector data").size()); }),
              "vector data pointer is null");
    const float values[2] = {1, 2};
    EXPECT_EQ(ffi::input_array(values, 2, "data").data(), values);

    EXPECT_EQ(fail_text([] {
                  ffi::out_pointer(static_cast<size_t*>(nullptr)) = 1;
                  return 0;
              }),
              "out pointer is null");
    EXPECT_EQ(fail_text([] {
                  ffi::require_pointer(static_cast<int64_t*>(nullptr), "out_ids");
                  return 0;
              }),
              "out_ids pointer is null");
}

TEST(Frame, LastErrorIsPerThreadAndNullOnAFreshThread) {
    ASSERT_NE(fail_text([]() -> int { ffi::check_failed("failure on the main thread"); }), "");
    const char* seen = reinterpret_cast<const char*>(1);
    std::thread other([&] { seen = tavren_dadiza_last_error(); });
    other.join();
    EXPECT_EQ(seen, nullptr);

    // A failure on another thread is visible only there.
    std::string other_text;
    std::thread failing([&] {
        fail_text([]() -> int { ffi::check_failed("failure on the other thread"); });
        other_text = tavren_dadiza_last_error();
    });
    failing.join();
    EXPECT_EQ(other_text, "failure on the other thread");
    EXPECT_STREQ(tavren_dadiza_last_error(), "failure on the main thread");
}

TEST(Frame, SuccessKeepsTheLastFailureAndItsPointer) {
    fail_text([]() -> int { ffi::check_failed("first failure"); });
    const char* p = tavren_dadiza_last_error();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(fail_text(ok), "");
    EXPECT_EQ(ffi::guarded(nullptr, [] { return &ok; }), &ok);
    // The same pointer, still holding the same text.
    EXPECT_EQ(tavren_dadiza_last_error(), p);
    EXPECT_STREQ(p, "first failure");
    // A new failure replaces it.
    fail_text([]() -> int { ffi::check_failed("second failure"); });
    EXPECT_STREQ(tavren_dadiza_last_error(), "second failure");
}

TEST(Frame, NulBytesAreWrittenAsBackslashZero) {
    const std::string text("a\0b\0\0c", 6);
    fail_text([&]() -> int { tavren::invalid_input("{}", text); });
    const char* p = tavren_dadiza_last_error();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::strlen(p), text.size() + 3);
    EXPECT_STREQ(p, "a\\0b\\0\\0c");

    ffi::set_error(std::string_view("\0", 1));
    EXPECT_STREQ(ffi::last_error(), "\\0");
    ffi::set_error("");
    ASSERT_NE(ffi::last_error(), nullptr);
    EXPECT_STREQ(ffi::last_error(), "");
}

TEST(Frame, PanicMessage) {
    EXPECT_EQ(ffi::panic_message("x"), "native panic: x");
    EXPECT_EQ(ffi::panic_message(""), "native panic: unknown");
}

TEST(Frame, AssertionInAPoolTaskReachesTheCallersBarrier) {
    tavren::pool::set_num_threads_for_testing(4);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> worker_started{false};
    std::atomic<bool> thrown_on_worker{false};
    int rc = ffi::guarded(-1, [&] {
        tavren::pool::parallel_for(0, 64, 1, [&](size_t lo, size_t) {
            if (std::this_thread::get_id() == caller) {
                // Give the workers time to take a task of their own.
                for (int i = 0; i < 10000 && !worker_started.load(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                return;
            }
            worker_started = true;
            thrown_on_worker = true;
            tavren::panic("assertion failed on a worker (chunk {})", lo);
        });
        return 0;
    });
    tavren::pool::set_num_threads_for_testing(0);
    ASSERT_TRUE(thrown_on_worker.load());
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(std::string(tavren_dadiza_last_error()).rfind("native panic: assertion failed on a worker (chunk ", 0), 0u);
}

TEST(Frame, AssertionOnTheCallerThread) {
    std::string text = fail_text([] {
        TD_ASSERT(1 + 1 == 3, "arithmetic is broken: {}", 2);
        return 0;
    });
    EXPECT_EQ(text, "native panic: arithmetic is broken: 2");
    text = fail_text([] {
        tavren::check_index(5, 5);
        return 0;
    });
    EXPECT_EQ(text, "native panic: index out of bounds: the len is 5 but the index is 5");
}

// ---- The exports as they stand ------------------------------------------------

TEST(Exports, FreeFunctionsAcceptNullAndLeaveTheLastError) {
    ffi::set_error("kept");
    tavren_dadiza_reader_free(nullptr);
    tavren_dadiza_trainer_free(nullptr);
    tavren_dadiza_training_free(nullptr);
    tavren_dadiza_writer_free(nullptr);
    EXPECT_STREQ(tavren_dadiza_last_error(), "kept");
}

TEST(Exports, FallibleExportsReportThroughTheBarrier) {
    // Whatever an export does with NULL arguments, it returns its failure value
    // with a text, and nothing escapes.
    FfiInputFile input{nullptr, nullptr, 0, 0, 0};
    FfiSearchParams params{10, 0, 0};
    auto check_status = [](int rc) {
        EXPECT_EQ(rc, -1);
        const char* text = tavren_dadiza_last_error();
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 0u);
        ffi::set_error("");
    };
    auto check_handle = [](const void* h) {
        EXPECT_EQ(h, nullptr);
        const char* text = tavren_dadiza_last_error();
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 0u);
        ffi::set_error("");
    };
    check_handle(tavren_dadiza_reader_open(input));
    check_handle(tavren_dadiza_reader_open_with_options(input, 1));
    check_status(tavren_dadiza_reader_metadata(nullptr, nullptr));
    check_status(tavren_dadiza_reader_read_plan(nullptr, nullptr));
    check_status(tavren_dadiza_reader_optimize_for_search(nullptr));
    check_status(tavren_dadiza_reader_search(nullptr, nullptr, params, nullptr, nullptr, 0));
    check_status(tavren_dadiza_reader_search_ex(nullptr, nullptr, nullptr, nullptr, nullptr, 0));
    check_status(tavren_dadiza_reader_search_with_roaring_filter(nullptr, nullptr, params, nullptr, 0, nullptr,
                                                                 nullptr, 0));
    check_status(tavren_dadiza_reader_search_with_roaring_filter_ex(nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                                                    nullptr, 0));
    check_status(tavren_dadiza_reader_search_batch(nullptr, nullptr, 0, params, nullptr, nullptr, 0));
    check_status(tavren_dadiza_reader_search_batch_ex(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0));
    check_status(tavren_dadiza_reader_search_batch_v2(nullptr, nullptr, 0, FfiSearchParamsV2{10, 0, 0, 2, 1}, nullptr,
                                                      nullptr, 0));
    check_status(tavren_dadiza_reader_search_batch_with_roaring_filter(nullptr, nullptr, 0, params, nullptr, 0,
                                                                       nullptr, nullptr, 0));
    check_status(tavren_dadiza_reader_search_batch_with_roaring_filter_ex(nullptr, nullptr, 0, nullptr, nullptr, 0,
                                                                          nullptr, nullptr, 0));
    check_status(tavren_dadiza_reader_search_batch_with_roaring_filter_v2(
        nullptr, nullptr, 0, FfiSearchParamsV2{10, 0, 0, 2, 1}, nullptr, 0, nullptr, nullptr, 0));
    check_status(tavren_dadiza_reader_warmup_queries(nullptr, nullptr, 0, 0));
    check_status(tavren_dadiza_reader_calibrate_search_width(nullptr, nullptr, 0, 1, nullptr));
    check_handle(tavren_dadiza_trainer_open(nullptr, nullptr, 0));
    check_status(tavren_dadiza_trainer_dimension(nullptr, nullptr));
    check_status(tavren_dadiza_trainer_add_training_vectors(nullptr, nullptr, 0));
    check_handle(tavren_dadiza_trainer_finish(nullptr));
    check_handle(tavren_dadiza_writer_open(nullptr));
    check_status(tavren_dadiza_writer_dimension(nullptr, nullptr));
    check_status(tavren_dadiza_writer_add_vectors(nullptr, nullptr, nullptr, 0));
    check_status(tavren_dadiza_writer_write_index(nullptr, FfiOutputCallbacks{nullptr, nullptr, nullptr, nullptr}));
}
