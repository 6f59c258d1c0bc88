#include <gtest/gtest.h>

#include <string>

#include "platform/utf8.h"

namespace wattkeeper::testkit {
namespace {

TEST(Utf8Test, OnlyWellFormedShortestFormsAreValid) {
    struct Case {
        const char* name;
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"empty", "", true},
        {"ascii with a zero byte", std::string("a\0b", 3), true},
        {"two, three and four bytes", "\xC3\xA9 \xE5\xBC\x80 \xF0\x9F\x94\x8B", true},
        {"highest code point", "\xF4\x8F\xBF\xBF", true},
        {"last before the surrogates", "\xED\x9F\xBF", true},
        {"lone continuation byte", "\x80", false},
        {"latin-1 e acute", "caf\xE9", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three-byte", "\xE0\x80\xAF", false},
        {"overlong four-byte", "\xF0\x80\x80\xAF", false},
        {"surrogate half", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"lead byte F5", "\xF5\x80\x80\x80", false},
        {"truncated at the end", "ok\xE5\xBC", false},
        {"continuation replaced by ascii",
         "\xE5"
         "a"
         "\x80",
         false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.name;
}

}  // namespace
}  // namespace wattkeeper::testkit
