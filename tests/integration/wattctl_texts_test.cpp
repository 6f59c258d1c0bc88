// wattctl's texts. Its commands run end to end against the daemon; its every text is looked up
// by a key, and each key must be in every shipped language, or a person reading that language
// sees the bare key.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "platform/linux/strings_file.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;

const fs::path kSources = fs::path(__FILE__).parent_path().parent_path().parent_path();

TEST(WattctlTexts, EveryKeyTheToolUsesIsInEveryLanguage) {
    std::set<std::string> keys{"separator"};
    static const std::regex key(R"re("([a-z]+(\.[A-Za-z0-9]+)+)")re");
    for (const auto& entry : fs::directory_iterator(kSources / "tools" / "wattctl")) {
        const std::string text = readFile(entry.path());
        for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it) keys.insert((*it)[1]);
    }
    ASSERT_GT(keys.size(), 20u);
    for (const char* language : {"en", "zh-Hans"}) {
        const fs::path file =
            kSources / "loginitem/resources" / (std::string(language) + ".lproj") / "Localizable.strings";
        const auto table = linux_backend::readStringsFile(file.string());
        ASSERT_TRUE(table.has_value()) << language;
        for (const auto& k : keys) EXPECT_TRUE(table->count(k)) << language << " lacks " << k;
    }
}

}  // namespace
}  // namespace wattkeeper::testkit
