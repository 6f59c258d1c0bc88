#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/linux/strings_file.h"
#include "tests/unit/temp_folder.h"

namespace wattkeeper::testkit {
namespace {

TEST(StringsFileTest, WellFormedTablesReadAsThePlatformReadsThem) {
    struct Case {
        const char* name;
        std::string source;
        linux_backend::StringsTable table;
    };
    const Case cases[] = {
        {"empty file", "", {}},
        {"only comments", "/* a */ // b\n  /* c\n d */", {}},
        {"one pair", "\"a\" = \"b\";", {{"a", "b"}}},
        {"blanks everywhere", " \n\t\"a\"\r\n=\n\"b\"\t;\n", {{"a", "b"}}},
        {"comments between tokens", "\"a\"/*x*/=//y\n\"b\"/**/;", {{"a", "b"}}},
        {"comment markers inside a string", "\"a\" = \"/* not // a comment */\";", {{"a", "/* not // a comment */"}}},
        {"escapes", R"("k" = "q\" b\\ n\n t\t r\r";)", {{"k", "q\" b\\ n\n t\t r\r"}}},
        {"unicode escape", R"("k" = "\U00e9\u4E2D";)", {{"k", "\xC3\xA9\xE4\xB8\xAD"}}},
        {"surrogate pair escape", R"("k" = "\UD83D\UDD0B";)", {{"k", "\xF0\x9F\x94\x8B"}}},
        {"raw UTF-8 and a line break in a value", "\"k\" = \"充电\nok\";", {{"k", "充电\nok"}}},
        {"unquoted key and value", "status.title = Title_1;", {{"status.title", "Title_1"}}},
        {"key alone stands for itself", "\"same\";", {{"same", "same"}}},
        {"the later of two equal keys wins", "\"k\" = \"1\"; \"k\" = \"2\";", {{"k", "2"}}},
        {"empty value", "\"k\" = \"\";", {{"k", ""}}},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF\"a\" = \"b\";", {{"a", "b"}}},
        {"line comment at the end without a line feed", "\"a\" = \"b\"; // end", {{"a", "b"}}},
    };
    for (const auto& c : cases) {
        const auto table = linux_backend::parseStringsFile(c.source);
        ASSERT_TRUE(table.has_value()) << c.name;
        EXPECT_EQ(*table, c.table) << c.name;
    }
}

TEST(StringsFileTest, AnyFlawMakesTheWholeFileUnreadable) {
    struct Case {
        const char* name;
        std::string source;
    };
    const Case cases[] = {
        {"missing semicolon", "\"a\" = \"b\""},
        {"missing value", "\"a\" = ;"},
        {"missing equals sign", "\"a\" \"b\";"},
        {"unterminated string", "\"a\" = \"b;"},
        {"unterminated comment", "\"a\" = \"b\"; /* open"},
        {"unknown escape", R"("a" = "\q";)"},
        {"short unicode escape", R"("a" = "\U12";)"},
        {"non-hex unicode escape", R"("a" = "\U12G4";)"},
        {"lone high surrogate", R"("a" = "\UD83D";)"},
        {"lone low surrogate", R"("a" = "\UDD0B";)"},
        {"escaped zero character", R"("a" = "\U0000";)"},
        {"raw zero character", std::string("\"a\" = \"x\0y\";", 12)},
        {"invalid UTF-8", "\"a\" = \"caf\xE9\";"},
        {"unquoted text with a blank", "a = b c;"},
        {"a good pair then garbage", "\"a\" = \"b\"; }"},
        {"UTF-16 of odd length", "\xFF\xFE\x22"},
        {"UTF-16 with a lone surrogate", std::string("\xFF\xFE\x00\xD8", 4)},
    };
    for (const auto& c : cases) EXPECT_EQ(linux_backend::parseStringsFile(c.source), std::nullopt) << c.name;
}

// UTF-16 text with a byte-order mark, from ASCII and one code unit beyond it.
std::string utf16(const std::u16string& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

TEST(StringsFileTest, Utf16WithAByteOrderMarkIsReadInEitherByteOrder) {
    const std::u16string source = u"/* c */ \"k\" = \"\u5145\u7535 \U0001F50B\";";
    for (bool bigEndian : {false, true}) {
        const auto table = linux_backend::parseStringsFile(utf16(source, bigEndian));
        ASSERT_TRUE(table.has_value()) << bigEndian;
        EXPECT_EQ(*table, (linux_backend::StringsTable{{"k", "充电 \xF0\x9F\x94\x8B"}})) << bigEndian;
    }
}

TEST(StringsFileTest, OnlyRegularFilesOfBoundedSizeAreRead) {
    TempFolder folder;
    folder.write("ok.strings", "\"a\" = \"b\";");
    folder.write("big.strings", std::string(linux_backend::kMaxStringsFileBytes + 1, ' '));
    EXPECT_EQ(linux_backend::readStringsFile((folder.path / "ok.strings").string()),
              (linux_backend::StringsTable{{"a", "b"}}));
    for (const char* name : {"big.strings", "missing.strings", ""}) {
        EXPECT_EQ(linux_backend::readStringsFile((folder.path / name).string()), std::nullopt) << name;
    }
}

}  // namespace
}  // namespace wattkeeper::testkit
