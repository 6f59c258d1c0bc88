#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_bundles.h"
#include "tests/unit/temp_folder.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;
using Languages = std::vector<std::string>;

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleShortVersionString</key><string>1.2.3</string></dict></plist>)";

class LinuxBundlesTest : public ::testing::Test {
protected:
    LinuxBundlesTest() {
        root.write("My.app/Contents/Info.plist", kInfoPlist);
        root.write("My.app/Contents/Resources/icon.png", "png");
        root.write("My.app/Contents/Resources/README", "plain");
        root.write("My.app/Contents/Resources/en.lproj/Localizable.strings",
                   "\"greeting\" = \"Hello\"; \"only.en\" = \"English only\";");
        root.write("My.app/Contents/Resources/en.lproj/Errors.strings", "\"oops\" = \"Something failed\";");
        root.write("My.app/Contents/Resources/zh-Hans.lproj/Localizable.strings", "\"greeting\" = \"你好\";");
        root.write("My.app/Contents/Resources/pt.lproj/Localizable.strings", "\"greeting\" = \"Olá\";");
    }
    std::string path(const std::string& relative) const { return (root.path / relative).string(); }
    linux_backend::LinuxBundle app(Languages languages = {"en"}) const {
        return linux_backend::LinuxBundle(path("My.app"), std::move(languages));
    }

    TempFolder root;
};

TEST_F(LinuxBundlesTest, TheInfoDictionaryComesFromContentsInfoPlistWhenItIsOne) {
    EXPECT_EQ(app().infoDictionary(), (PlistDictionary{{"CFBundleShortVersionString", "1.2.3"}}));
    for (const char* content : {"<plist><dict><key>a</key>", "<plist version=\"1.0\"><array/></plist>", ""}) {
        fs::remove(root.path / "My.app/Contents/Info.plist");
        if (*content) root.write("My.app/Contents/Info.plist", content);
        EXPECT_EQ(app().infoDictionary(), std::nullopt) << content;
    }
}

TEST_F(LinuxBundlesTest, ResourcesAreFoundOnlyWhereTheyExistInsideTheBundle) {
    struct Case {
        std::string name, type;
        std::optional<std::string> found;
    };
    const Case cases[] = {
        {"icon", "png", path("My.app/Contents/Resources/icon.png")},
        {"README", "", path("My.app/Contents/Resources/README")},
        {"zh-Hans", "lproj", path("My.app/Contents/Resources/zh-Hans.lproj")},
        {"de", "lproj", std::nullopt},
        {"../../Info", "plist", std::nullopt},
        {"..", "", std::nullopt},
        {"", "png", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(app().pathForResource(c.name, c.type), c.found) << c.name << "." << c.type;
}

TEST_F(LinuxBundlesTest, TheFirstPreferredLanguageTheBundleHasAnswersThenEnglishThenBase) {
    const std::pair<Languages, const char*> cases[] = {
        {{"fr", "zh-Hans"}, "你好"}, {{"pt-BR", "pt"}, "Olá"}, {{"fr"}, "Hello"}, {{}, "Hello"}, {{"../en"}, "Hello"},
    };
    for (const auto& [preferred, greeting] : cases) {
        EXPECT_EQ(app(preferred).localizedString("greeting", std::nullopt, std::nullopt), greeting)
            << ::testing::PrintToString(preferred);
    }
    fs::remove_all(root.path / "My.app/Contents/Resources/en.lproj");
    root.write("My.app/Contents/Resources/Base.lproj/Localizable.strings", "\"greeting\" = \"Base hello\";");
    EXPECT_EQ(app({"fr"}).localizedString("greeting", std::nullopt, std::nullopt), "Base hello");
}

TEST_F(LinuxBundlesTest, AMissingKeyOrTableGivesTheValueOrElseTheKey) {
    struct Case {
        const char* key;
        std::optional<std::string> value;
        std::optional<std::string> table;
        const char* result;
    };
    const Case cases[] = {
        // The chosen language decides, even where English has the key.
        {"only.en", "fallback", std::nullopt, "fallback"},
        {"only.en", "", std::nullopt, "only.en"},
        {"greeting", "fallback", "Missing", "fallback"},
        {"greeting", std::nullopt, "../en.lproj/Localizable", "greeting"},
    };
    for (const auto& c : cases) EXPECT_EQ(app({"zh-Hans"}).localizedString(c.key, c.value, c.table), c.result) << c.key;
    EXPECT_EQ(app().localizedString("oops", std::nullopt, "Errors"), "Something failed");
}

TEST_F(LinuxBundlesTest, LanguageFoldersAndFlatFoldersAreBundlesOfTheirOwnShape) {
    linux_backend::LinuxBundles bundles(path("My.app"), Languages{"en"});
    const auto folder = bundles.mainBundle()->pathForResource("zh-Hans", "lproj");
    ASSERT_TRUE(folder.has_value());
    const auto chinese = bundles.bundleWithPath(*folder);
    ASSERT_TRUE(chinese);
    EXPECT_EQ(chinese->localizedString("greeting", std::nullopt, std::nullopt), "你好");  // whatever the user prefers
    EXPECT_EQ(chinese->localizedString("only.en", "dflt", std::nullopt), "dflt");
    EXPECT_FALSE(bundles.bundleWithPath(path("Nowhere.app")));
    EXPECT_FALSE(bundles.bundleWithPath(path("My.app/Contents/Resources/icon.png")));
    EXPECT_FALSE(bundles.bundleWithPath(""));

    root.write("flat/en.lproj/Localizable.strings", "\"greeting\" = \"Flat hello\";");
    root.write("flat/Info.plist", kInfoPlist);
    const linux_backend::LinuxBundle flat(path("flat/"), {"de"});
    EXPECT_EQ(flat.shape(), linux_backend::LinuxBundle::Shape::Flat);
    EXPECT_EQ(flat.bundlePath(), path("flat"));
    EXPECT_EQ(flat.localizedString("greeting", std::nullopt, std::nullopt), "Flat hello");
    EXPECT_TRUE(flat.infoDictionary().has_value());
}

TEST(LinuxBundlesPaths, TheMainBundleOfAProgramIsItsAppFolderOrElseItsOwnFolder) {
    const std::pair<const char*, const char*> cases[] = {
        {"/b/bundles/Wattkeeper.app/Contents/MacOS/Wattkeeper", "/b/bundles/Wattkeeper.app"},
        {"/Library/Application Support/W.app/Contents/MacOS/W", "/Library/Application Support/W.app"},
        {"/b/wattctl", "/b"},
        {"/b/Thing/Contents/MacOS/thing", "/b/Thing/Contents/MacOS"},
        {"/wattctl", "/"},
    };
    for (const auto& [executable, bundle] : cases)
        EXPECT_EQ(linux_backend::bundlePathForExecutable(executable), bundle) << executable;
}

TEST(LinuxBundlesLanguages, LocaleNamesMapToLanguageFolderNamesAndTheFirstSetVariableDecides) {
    const std::pair<const char*, Languages> cases[] = {
        {"zh_CN.UTF-8", {"zh-Hans"}},
        {"zh_SG", {"zh-Hans"}},
        {"zh", {"zh-Hans"}},
        {"zh_TW.Big5", {"zh-Hant"}},
        {"zh_HK.UTF-8", {"zh-Hant"}},
        {"en_US", {"en-US", "en"}},
        {"en", {"en"}},
        {"de_DE@euro", {"de-DE", "de"}},
        {"pt_BR.UTF-8", {"pt-BR", "pt"}},
        {"C", {}},
        {"C.UTF-8", {}},
        {"POSIX", {}},
        {"", {}},
    };
    for (const auto& [locale, languages] : cases)
        EXPECT_EQ(linux_backend::languagesForLocale(locale), languages) << locale;

    struct Environment {
        const char* all;
        const char* messages;
        const char* lang;
        Languages languages;
    };
    const Environment environments[] = {
        {"zh_CN.UTF-8", "de_DE", "en_US", {"zh-Hans"}},
        {nullptr, "de_DE", "en_US", {"de-DE", "de"}},
        {"", nullptr, "zh_TW", {"zh-Hant"}},  // an empty one is skipped
        {nullptr, nullptr, nullptr, {}},
    };
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (const char* old = ::getenv(names[i])) saved[i] = old;
    }
    auto set = [&](int i, const char* value) { value ? ::setenv(names[i], value, 1) : ::unsetenv(names[i]); };
    for (const auto& e : environments) {
        set(0, e.all);
        set(1, e.messages);
        set(2, e.lang);
        EXPECT_EQ(linux_backend::preferredLanguagesFromEnvironment(), e.languages) << (e.all ? e.all : "-");
    }
    for (int i = 0; i < 3; ++i) set(i, saved[i] ? saved[i]->c_str() : nullptr);
}

}  // namespace
}  // namespace wattkeeper::testkit
