#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../ffi/src/options.hpp"

using tavren::ffi::collect_option_pairs;
using tavren::ffi::is_valid_utf8;

namespace {

std::string error_of(const std::vector<const char*>& keys, const std::vector<const char*>& values) {
    auto result = collect_option_pairs(keys.data(), values.data(), keys.size());
    if (result.ok()) return "<ok>";
    EXPECT_TRUE(result.pairs.empty());
    return *result.error;
}

}  // namespace

TEST(FfiOptions, CollectsPairsInOrder) {
    const char* keys[] = {"index.type", " nlist", "nlist", "metric"};
    const char* values[] = {" ivf_flat ", "4", "8", "l2"};
    auto result = collect_option_pairs(keys, values, 4);
    ASSERT_TRUE(result.ok());
    // Exact copies: keys differing only in surrounding spaces pass here.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"index.type", " ivf_flat "}, {" nlist", "4"}, {"nlist", "8"}, {"metric", "l2"}};
    EXPECT_EQ(result.pairs, expected);
}

TEST(FfiOptions, ZeroCountIgnoresPointers) {
    auto result = collect_option_pairs(nullptr, nullptr, 0);
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.pairs.empty());
}

TEST(FfiOptions, Failures) {
    const char* one[] = {"k"};
    EXPECT_EQ(*collect_option_pairs(nullptr, one, 1).error, "option keys or values pointer is null");
    EXPECT_EQ(*collect_option_pairs(one, nullptr, 1).error, "option keys or values pointer is null");

    struct Case {
        std::vector<const char*> keys, values;
        std::string message;
    };
    const Case cases[] = {
        {{"index.type", nullptr}, {"ivf_flat", "x"}, "option key 1 is null"},
        {{"index.type", "dimension"}, {"ivf_flat", nullptr}, "option value 1 is null"},
        // A null value is reported before an invalid key of the same pair.
        {{"a", "\xFF"}, {"1", nullptr}, "option value 1 is null"},
        {{"a", "\xFF"}, {"1", "\xFF"}, "option key 1 contains invalid UTF-8"},
        {{"a"}, {"\xFF"}, "option value 0 contains invalid UTF-8"},
        {{"a", "b", "a"}, {"1", "2", "3"}, "duplicate option key 'a'"},
        // The first failing pair ends the walk.
        {{"a", "a", nullptr}, {"1", "2", "3"}, "duplicate option key 'a'"},
        {{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"}, {"1", "2"}, "duplicate option key '\xC3\xA9t\xC3\xA9'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(error_of(c.keys, c.values), c.message);
    }
}

TEST(FfiOptions, Utf8Validation) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xC2\xA0", true},                  // U+00A0
        {"\xE2\x82\xAC", true},              // U+20AC
        {"\xEF\xBF\xBF", true},              // U+FFFF
        {"\xF0\x9F\x98\x80", true},          // U+1F600
        {"\xF4\x8F\xBF\xBF", true},          // U+10FFFF
        {"\xFF", false},
        {"\x80", false},                     // lone continuation byte
        {"\xC0\xAF", false},                 // overlong '/'
        {"\xC1\xBF", false},                 // overlong
        {"\xE0\x80\xAF", false},             // overlong
        {"\xF0\x80\x80\xAF", false},         // overlong
        {"\xED\xA0\x80", false},             // surrogate U+D800
        {"\xED\x9F\xBF", true},              // U+D7FF
        {"\xF4\x90\x80\x80", false},         // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xE2\x82", false},                 // truncated
        {"a\xE2\x82" "b", false},
        {"\xC3", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_valid_utf8(c.bytes.data(), c.bytes.size()), c.valid) << testing::PrintToString(c.bytes);
    }
}
