// Expectations on the core's failures: a tavren::Error of a given kind with
// an exact message, what a call failed with, or the text of an internal
// assertion. Exceptions of any other type are not caught, so they fail the
// test where they are thrown.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "error.hpp"

namespace tavren::testing {

// f() must throw tavren::Error of `kind` with exactly `message`.
template <class F>
void expect_error(F&& f, ErrorKind kind, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no error; expected: " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.message();
        EXPECT_EQ(e.message(), message);
    }
}

// The same with the kind last: InvalidInput unless given.
template <class F>
void expect_error(F&& f, const std::string& message, ErrorKind kind = ErrorKind::InvalidInput) {
    expect_error(std::forward<F>(f), kind, message);
}

// The message of the Error f() throws, which must be of `kind`; "<no error>"
// when f() returns.
template <class F>
std::string error_message(F&& f, ErrorKind kind = ErrorKind::InvalidInput) {
    try {
        f();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.message();
        return e.message();
    }
    return "<no error>";
}

// What f() failed with; {Other, "<no error>"} when it returned.
struct Failure {
    ErrorKind kind = ErrorKind::Other;
    std::string message;
};

template <class F>
Failure failure_of(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return {e.kind(), e.message()};
    }
    return {ErrorKind::Other, "<no error>"};
}

// The message of the AssertionFailure fn() throws; "<no assertion>" when it returns.
inline std::string assertion_text(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const AssertionFailure& e) {
        return e.message();
    }
    return "<no assertion>";
}

}  // namespace tavren::testing
