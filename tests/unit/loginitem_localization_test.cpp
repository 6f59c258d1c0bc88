#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "loginitem/localization.h"
#include "platform/ports.h"
#include "tests/kit/fake_bundles.h"
#include "tests/kit/scoped_ports.h"

namespace wattkeeper::loginitem {
namespace {

using testkit::FakeBundle;
using StringTable = std::map<std::string, std::string>;

const std::string kResources = "/Applications/Main.app/Contents/Resources";

class LocalizationTest : public ::testing::Test {
protected:
    void SetUp() override {
        main->setStrings({{"greeting", "Hello"}, {"only.main", "Only in the preferred language"}});
        main->addResource("zh-Hans", "lproj", kResources + "/zh-Hans.lproj");
        main->addResource("en", "lproj", kResources + "/en.lproj");
        chinese->setStrings({{"greeting", "你好"}});
        english->setStrings({{"greeting", "Hello there"}});
        bundles.setMainBundle(main);
        bundles.addBundle(chinese);
        bundles.addBundle(english);
        ZQLocalizationSystem::replaceShared(std::make_unique<ZQLocalizationSystem>(bundles));
    }
    void TearDown() override { ZQLocalizationSystem::replaceShared(nullptr); }

    static std::string text(const std::string& key, std::optional<std::string> value = std::nullopt) {
        return ZQLocalizationSystem::localizedStringForKey(key, value);
    }
    static const std::shared_ptr<Bundle>& selected() { return ZQLocalizationSystem::sharedLocalSystem().bundle(); }

    std::shared_ptr<FakeBundle> main = std::make_shared<FakeBundle>("/Applications/Main.app");
    std::shared_ptr<FakeBundle> chinese = std::make_shared<FakeBundle>(kResources + "/zh-Hans.lproj");
    std::shared_ptr<FakeBundle> english = std::make_shared<FakeBundle>(kResources + "/en.lproj");
    testkit::FakeBundles bundles;
};

TEST_F(LocalizationTest, BeforeAnyLanguageIsChosenTheMainBundlesDefaultTableAnswers) {
    EXPECT_EQ(selected(), main);
    EXPECT_EQ(text("greeting", "fallback"), "Hello");
    ASSERT_EQ(main->lookups().size(), 1u);
    EXPECT_EQ(main->lookups()[0], (FakeBundle::Lookup{"greeting", "fallback", std::nullopt}));
}

TEST_F(LocalizationTest, AMissingKeyGivesTheDefaultValueOrElseTheKey) {
    struct Case {
        const char* key;
        std::optional<std::string> value;
        std::string expected;
    };
    const Case cases[] = {
        {"greeting", std::nullopt, "Hello"},
        {"greeting", "", "Hello"},
        {"missing.key", "Default text", "Default text"},
        {"missing.key", "", "missing.key"},
        {"missing.key", std::nullopt, "missing.key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " / " + c.value.value_or("(none)"));
        EXPECT_EQ(text(c.key, c.value), c.expected);
    }
}

TEST_F(LocalizationTest, AChosenLanguageAnswersUntilAMissingOneResetsToTheMainBundle) {
    struct Step {
        const char* language;
        std::string greeting;
    };
    const Step steps[] = {
        {"zh-Hans", "你好"}, {"en", "Hello there"}, {"fr", "Hello"}, {"zh-Hans", "你好"}, {"pt-BR", "Hello"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.language);
        ZQLocalizationSystem::setLanguage(step.language);
        EXPECT_EQ(text("greeting"), step.greeting);
    }
    EXPECT_EQ(selected(), main);
}

TEST_F(LocalizationTest, AKeyTheChosenLanguageLacksGivesTheDefaultEvenWhenTheMainBundleHasIt) {
    ZQLocalizationSystem::setLanguage("zh-Hans");

    EXPECT_EQ(text("only.main", "Default text"), "Default text");
    EXPECT_EQ(text("only.main"), "only.main");
}

TEST_F(LocalizationTest, ALanguageFolderThatIsNoBundleLeavesLookupsOnTheMainBundle) {
    main->addResource("de", "lproj", kResources + "/de.lproj");
    ZQLocalizationSystem::setLanguage("zh-Hans");

    ZQLocalizationSystem::setLanguage("de");

    EXPECT_EQ(selected(), main);
    EXPECT_EQ(text("greeting"), "Hello");
}

TEST_F(LocalizationTest, TheSharedInstanceIsMadeOnceFromTheProcessBundles) {
    Ports ports;
    ports.bundles = &bundles;
    testkit::ScopedProcessPorts scoped(ports);
    ZQLocalizationSystem::replaceShared(nullptr);

    ZQLocalizationSystem& first = ZQLocalizationSystem::sharedLocalSystem();
    ZQLocalizationSystem::setLanguage("zh-Hans");

    EXPECT_EQ(&ZQLocalizationSystem::sharedLocalSystem(), &first);
    EXPECT_EQ(first.bundle(), chinese);
}

// --- The shipped string tables ---

// Reads a strings file ("key" = "value"; with comments) strictly, so that a typo the platform
// would stumble on fails here. Keys in file order, duplicates included.
std::vector<std::pair<std::string, std::string>> parseStrings(const std::string& source) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::size_t at = 0;
    auto fail = [&](const std::string& what) {
        ADD_FAILURE() << what << " at byte " << at;
        at = source.size();
    };
    auto skipSpaceAndComments = [&] {
        while (at < source.size()) {
            if (std::isspace(static_cast<unsigned char>(source[at]))) {
                ++at;
            } else if (source.compare(at, 2, "/*") == 0) {
                const auto end = source.find("*/", at + 2);
                if (end == std::string::npos) return fail("unterminated comment");
                at = end + 2;
            } else if (source.compare(at, 2, "//") == 0) {
                at = source.find('\n', at);
                if (at == std::string::npos) at = source.size();
            } else {
                return;
            }
        }
    };
    auto quoted = [&]() -> std::string {
        std::string out;
        if (at >= source.size() || source[at] != '"') {
            fail("expected a quoted string");
            return out;
        }
        for (++at; at < source.size() && source[at] != '"'; ++at) {
            if (source[at] == '\n') {
                fail("line break inside a string");
                return out;
            }
            if (source[at] != '\\') {
                out += source[at];
                continue;
            }
            if (++at >= source.size()) break;
            switch (source[at]) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                default: fail("unknown escape"); return out;
            }
        }
        if (at >= source.size()) {
            fail("unterminated string");
            return out;
        }
        ++at;
        return out;
    };
    auto expect = [&](char c) {
        skipSpaceAndComments();
        if (at < source.size() && source[at] == c) {
            ++at;
        } else {
            fail(std::string("expected '") + c + "'");
        }
    };
    for (skipSpaceAndComments(); at < source.size(); skipSpaceAndComments()) {
        std::string key = quoted();
        expect('=');
        skipSpaceAndComments();
        std::string value = quoted();
        expect(';');
        if (at <= source.size()) entries.emplace_back(std::move(key), std::move(value));
    }
    return entries;
}

// The printf conversions of a text, in order ("%%" is none).
std::vector<std::string> placeholders(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (text[i + 1] == '%') {
            ++i;
            continue;
        }
        out.push_back(text.substr(i, 2));
    }
    return out;
}

std::filesystem::path resourcesFolder() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "loginitem" / "resources";
}

StringTable loadShipped(const std::string& language) {
    const auto path = resourcesFolder() / (language + ".lproj") / "Localizable.strings";
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << "cannot read " << path;
    std::stringstream content;
    content << file.rdbuf();
    StringTable table;
    for (auto& [key, value] : parseStrings(content.str())) {
        EXPECT_FALSE(value.empty()) << language << ": " << key << " has no text";
        EXPECT_TRUE(table.emplace(key, value).second) << language << ": " << key << " appears twice";
    }
    return table;
}

TEST(ShippedStringTables, EveryLanguageHasTheSameKeysWithTheSamePlaceholders) {
    const StringTable english = loadShipped("en");
    const StringTable chinese = loadShipped("zh-Hans");
    ASSERT_GE(english.size(), 25u);

    std::vector<std::string> englishKeys, chineseKeys;
    for (const auto& entry : english) englishKeys.push_back(entry.first);
    for (const auto& entry : chinese) chineseKeys.push_back(entry.first);
    EXPECT_EQ(englishKeys, chineseKeys);

    for (const auto& [key, text] : english) {
        const auto other = chinese.find(key);
        if (other == chinese.end()) continue;
        EXPECT_EQ(placeholders(text), placeholders(other->second)) << key;
    }
}

TEST(ShippedStringTables, AChosenShippedLanguageAnswersThroughTheLocalizationSystem) {
    auto main = std::make_shared<FakeBundle>("/Applications/Main.app");
    auto chinese = std::make_shared<FakeBundle>(kResources + "/zh-Hans.lproj");
    main->setStrings(loadShipped("en"));
    main->addResource("zh-Hans", "lproj", kResources + "/zh-Hans.lproj");
    chinese->setStrings(loadShipped("zh-Hans"));
    testkit::FakeBundles bundles;
    bundles.setMainBundle(main);
    bundles.addBundle(chinese);
    ZQLocalizationSystem::replaceShared(std::make_unique<ZQLocalizationSystem>(bundles));

    EXPECT_EQ(ZQLocalizationSystem::localizedStringForKey("status.charging.allowed", std::nullopt), "Charging: allowed");
    ZQLocalizationSystem::setLanguage("zh-Hans");
    EXPECT_EQ(ZQLocalizationSystem::localizedStringForKey("status.charging.allowed", std::nullopt), "充电：允许");

    ZQLocalizationSystem::replaceShared(nullptr);
}

}  // namespace
}  // namespace wattkeeper::loginitem
