#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "loginitem/localization.h"
#include "platform/linux/strings_file.h"
#include "tests/kit/fake_bundles.h"

namespace wattkeeper::testkit {
namespace {

using testkit::FakeBundle;

const std::string kResources = "/Applications/Main.app/Contents/Resources";

class LocalizationTest : public ::testing::Test {
protected:
    void SetUp() override {
        main->setStrings({{"greeting", "Hello"}, {"only.main", "Only in the preferred language"}});
        main->addResource("zh-Hans", "lproj", kResources + "/zh-Hans.lproj");
        main->addResource("en", "lproj", kResources + "/en.lproj");
        main->addResource("de", "lproj", kResources + "/de.lproj");  // a folder that is no bundle
        chinese->setStrings({{"greeting", "你好"}});
        english->setStrings({{"greeting", "Hello there"}});
        bundles.setMainBundle(main);
        bundles.addBundle(chinese);
        bundles.addBundle(english);
        loginitem::ZQLocalizationSystem::replaceShared(std::make_unique<loginitem::ZQLocalizationSystem>(bundles));
    }
    void TearDown() override { loginitem::ZQLocalizationSystem::replaceShared(nullptr); }

    static std::string text(const std::string& key, std::optional<std::string> value = std::nullopt) {
        return loginitem::ZQLocalizationSystem::localizedStringForKey(key, value);
    }

    std::shared_ptr<FakeBundle> main = std::make_shared<FakeBundle>("/Applications/Main.app");
    std::shared_ptr<FakeBundle> chinese = std::make_shared<FakeBundle>(kResources + "/zh-Hans.lproj");
    std::shared_ptr<FakeBundle> english = std::make_shared<FakeBundle>(kResources + "/en.lproj");
    testkit::FakeBundles bundles;
};

TEST_F(LocalizationTest, BeforeAnyLanguageIsChosenTheMainBundleAnswersWithItsFallbacks) {
    struct Case {
        const char* key;
        std::optional<std::string> value;
        std::string expected;
    };
    const Case cases[] = {
        {"greeting", "fallback", "Hello"},
        {"missing.key", "Default text", "Default text"},
        {"missing.key", "", "missing.key"},
        {"missing.key", std::nullopt, "missing.key"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(c.key, c.value), c.expected) << c.key << " / " << c.value.value_or("-");
}

TEST_F(LocalizationTest, AChosenLanguageAnswersAloneUntilAMissingOneResetsToTheMainBundle) {
    const std::pair<const char*, std::string> steps[] = {
        {"zh-Hans", "你好"}, {"en", "Hello there"}, {"fr", "Hello"}, {"zh-Hans", "你好"}, {"de", "Hello"},
    };
    for (const auto& [language, greeting] : steps) {
        loginitem::ZQLocalizationSystem::setLanguage(language);
        EXPECT_EQ(text("greeting"), greeting) << language;
    }
    EXPECT_EQ(loginitem::ZQLocalizationSystem::sharedLocalSystem().bundle(), main);

    // A key the chosen language lacks gives the default, even where the main bundle has it.
    loginitem::ZQLocalizationSystem::setLanguage("zh-Hans");
    EXPECT_EQ(text("only.main", "Default text"), "Default text");
    EXPECT_EQ(text("only.main"), "only.main");
}

// The printf conversions of a text, in order ("%%" is none).
std::vector<std::string> placeholders(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '%' && text[++i] != '%') out.push_back(text.substr(i - 1, 2));
    }
    return out;
}

// Read as the platform reads them, so a typo it would stumble on fails here. wattctl looks its
// texts up by key in the same tables: a key missing in a language shows as the bare key.
TEST(ShippedStringTables, EveryLanguageHasTheSameKeysWithTheSamePlaceholdersAndEveryKeyWattctlUses) {
    const auto sources = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    const auto english = linux_backend::readStringsFile(sources / "loginitem/resources/en.lproj/Localizable.strings");
    const auto chinese =
        linux_backend::readStringsFile(sources / "loginitem/resources/zh-Hans.lproj/Localizable.strings");
    ASSERT_TRUE(english && chinese);
    ASSERT_EQ(english->size(), chinese->size());
    for (const auto& [key, text] : *english) {
        const auto other = chinese->find(key);
        ASSERT_NE(other, chinese->end()) << key;
        EXPECT_FALSE(text.empty() || other->second.empty()) << key;
        EXPECT_EQ(placeholders(text), placeholders(other->second)) << key;
    }
    std::set<std::string> used{"separator"};
    static const std::regex key(R"re("([a-z]+(\.[A-Za-z0-9]+)+)")re");
    for (const auto& entry : std::filesystem::directory_iterator(sources / "tools" / "wattctl")) {
        std::ifstream file(entry.path());
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it) used.insert((*it)[1]);
    }
    ASSERT_GT(used.size(), 20u);
    for (const auto& k : used) EXPECT_TRUE(english->contains(k)) << "no text for " << k;
}

}  // namespace
}  // namespace wattkeeper::testkit
