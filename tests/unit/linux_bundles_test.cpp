#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/linux_bundles.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>My</string>
	<key>CFBundleShortVersionString</key>
	<string>1.2.3</string>
</dict>
</plist>
)";

fs::path makeTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "wk-bundles-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

class LinuxBundlesTest : public ::testing::Test {
protected:
    LinuxBundlesTest() {
        write("My.app/Contents/Info.plist", kInfoPlist);
        write("My.app/Contents/MacOS/My", "#!/bin/sh\n");
        write("My.app/Contents/Resources/icon.png", "png");
        write("My.app/Contents/Resources/README", "plain");
        write("My.app/Contents/Resources/en.lproj/Localizable.strings",
              "\"greeting\" = \"Hello\"; \"only.en\" = \"English only\";");
        write("My.app/Contents/Resources/en.lproj/Errors.strings", "\"oops\" = \"Something failed\";");
        write("My.app/Contents/Resources/zh-Hans.lproj/Localizable.strings", "\"greeting\" = \"你好\";");
        write("My.app/Contents/Resources/pt.lproj/Localizable.strings", "\"greeting\" = \"Olá\";");
    }
    ~LinuxBundlesTest() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void write(const std::string& relative, const std::string& content) const {
        const fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    std::string path(const std::string& relative) const { return (root / relative).string(); }
    LinuxBundle app(std::vector<std::string> languages = {"en"}) const {
        return LinuxBundle(path("My.app"), std::move(languages));
    }

    fs::path root = makeTempFolder();
};

TEST_F(LinuxBundlesTest, TheInfoDictionaryComesFromContentsInfoPlistWhenItIsOne) {
    const auto info = app().infoDictionary();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(*info->find("CFBundleShortVersionString")->asString(), "1.2.3");

    struct Case {
        const char* name;
        std::optional<std::string> content;  // nothing: no file
    };
    const Case absent[] = {
        {"no file", std::nullopt},
        {"not a property list", "<plist><dict><key>a</key>"},
        {"an array at the root", "<plist version=\"1.0\"><array><string>a</string></array></plist>"},
    };
    for (const auto& c : absent) {
        fs::remove(root / "My.app/Contents/Info.plist");
        if (c.content) write("My.app/Contents/Info.plist", *c.content);
        EXPECT_EQ(app().infoDictionary(), std::nullopt) << c.name;
    }
}

TEST_F(LinuxBundlesTest, ResourcesAreFoundOnlyWhereTheyExistInsideTheBundle) {
    const LinuxBundle bundle = app();
    struct Case {
        std::string name, type;
        std::optional<std::string> found;
    };
    const Case cases[] = {
        {"icon", "png", path("My.app/Contents/Resources/icon.png")},
        {"README", "", path("My.app/Contents/Resources/README")},
        {"zh-Hans", "lproj", path("My.app/Contents/Resources/zh-Hans.lproj")},
        {"de", "lproj", std::nullopt},
        {"icon", "jpg", std::nullopt},
        {"../../Info", "plist", std::nullopt},
        {"..", "", std::nullopt},
        {"", "png", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(bundle.pathForResource(c.name, c.type), c.found) << c.name << "." << c.type;
}

TEST_F(LinuxBundlesTest, TheFirstPreferredLanguageTheBundleHasAnswersThenEnglishThenBase) {
    struct Case {
        std::vector<std::string> preferred;
        const char* greeting;
    };
    const Case cases[] = {
        {{"zh-Hans"}, "你好"},
        {{"fr", "zh-Hans"}, "你好"},
        {{"pt-BR", "pt"}, "Olá"},
        {{"fr"}, "Hello"},
        {{}, "Hello"},
        {{"../en"}, "Hello"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(app(c.preferred).localizedString("greeting", std::nullopt, std::nullopt), c.greeting)
            << ::testing::PrintToString(c.preferred);
    }

    // Without an English folder, the base localization is the last resort.
    fs::remove_all(root / "My.app/Contents/Resources/en.lproj");
    write("My.app/Contents/Resources/Base.lproj/Localizable.strings", "\"greeting\" = \"Base hello\";");
    EXPECT_EQ(app({"fr"}).localizedString("greeting", std::nullopt, std::nullopt), "Base hello");
}

TEST_F(LinuxBundlesTest, AMissingKeyGivesTheValueOrElseTheKey) {
    const LinuxBundle bundle = app({"zh-Hans"});
    struct Case {
        const char* key;
        std::optional<std::string> value;
        std::optional<std::string> table;
        const char* result;
    };
    const Case cases[] = {
        {"greeting", "fallback", std::nullopt, "你好"},
        // The chosen language decides, even where English has the key.
        {"only.en", "fallback", std::nullopt, "fallback"},
        {"only.en", "", std::nullopt, "only.en"},
        {"only.en", std::nullopt, std::nullopt, "only.en"},
        {"greeting", "fallback", "Missing", "fallback"},
        {"greeting", std::nullopt, "../en.lproj/Localizable", "greeting"},
    };
    for (const auto& c : cases) EXPECT_EQ(bundle.localizedString(c.key, c.value, c.table), c.result) << c.key;
    EXPECT_EQ(app().localizedString("oops", std::nullopt, "Errors"), "Something failed");
}

TEST_F(LinuxBundlesTest, ALanguageFolderBundleReadsItsOwnTablesWhateverTheUserPrefers) {
    LinuxBundles bundles(path("My.app"), std::vector<std::string>{"en"});
    const auto main = bundles.mainBundle();
    ASSERT_TRUE(main);
    const auto folder = main->pathForResource("zh-Hans", "lproj");
    ASSERT_TRUE(folder.has_value());
    const auto chinese = bundles.bundleWithPath(*folder);
    ASSERT_TRUE(chinese);

    EXPECT_EQ(chinese->bundlePath(), *folder);
    EXPECT_EQ(chinese->localizedString("greeting", std::nullopt, std::nullopt), "你好");
    EXPECT_EQ(chinese->localizedString("only.en", "dflt", std::nullopt), "dflt");
    EXPECT_EQ(main->localizedString("greeting", std::nullopt, std::nullopt), "Hello");

    // Only existing folders become bundles.
    EXPECT_FALSE(bundles.bundleWithPath(path("Nowhere.app")));
    EXPECT_FALSE(bundles.bundleWithPath(path("My.app/Contents/Resources/icon.png")));
    EXPECT_FALSE(bundles.bundleWithPath(""));
}

TEST_F(LinuxBundlesTest, AFlatFolderHoldsItsLanguageFoldersDirectly) {
    write("flat/en.lproj/Localizable.strings", "\"greeting\" = \"Flat hello\";");
    write("flat/Info.plist", kInfoPlist);
    const LinuxBundle flat(path("flat/"), {"de"});
    EXPECT_EQ(flat.shape(), LinuxBundle::Shape::Flat);
    EXPECT_EQ(flat.bundlePath(), path("flat"));
    EXPECT_EQ(flat.pathForResource("en", "lproj"), path("flat/en.lproj"));
    EXPECT_EQ(flat.localizedString("greeting", std::nullopt, std::nullopt), "Flat hello");
    EXPECT_TRUE(flat.infoDictionary().has_value());
}

TEST(LinuxBundlesPaths, TheMainBundleOfAProgramIsItsAppFolderOrElseItsOwnFolder) {
    struct Case {
        const char* executable;
        const char* bundle;
    };
    const Case cases[] = {
        {"/build/bundles/Wattkeeper.app/Contents/MacOS/Wattkeeper", "/build/bundles/Wattkeeper.app"},
        {"/Library/Application Support/Halvorn/Battery/Wattkeeper.app/Contents/MacOS/Wattkeeper",
         "/Library/Application Support/Halvorn/Battery/Wattkeeper.app"},
        {"/build/wattctl", "/build"},
        {"/build/Thing/Contents/MacOS/thing", "/build/Thing/Contents/MacOS"},
        {"/wattctl", "/"},
    };
    for (const auto& c : cases) EXPECT_EQ(bundlePathForExecutable(c.executable), c.bundle) << c.executable;

    // This test program lies in no bundle; its main bundle is its folder, the same on every call.
    LinuxBundles bundles(std::nullopt, std::vector<std::string>{});
    const auto main = bundles.mainBundle();
    ASSERT_TRUE(main);
    EXPECT_EQ(main->bundlePath(), fs::canonical("/proc/self/exe").parent_path().string());
    EXPECT_EQ(bundles.mainBundle(), main);
}

TEST(LinuxBundlesLanguages, LocaleNamesMapToLanguageFolderNames) {
    struct Case {
        const char* locale;
        std::vector<std::string> languages;
    };
    const Case cases[] = {
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
    for (const auto& c : cases) EXPECT_EQ(languagesForLocale(c.locale), c.languages) << c.locale;
}

// Sets the three locale variables for one test and puts the old values back.
class LocaleEnvironment {
public:
    explicit LocaleEnvironment(const std::map<std::string, std::optional<std::string>>& values) {
        for (const char* name : kNames) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            set(name, values.contains(name) ? values.at(name) : std::nullopt);
        }
    }
    ~LocaleEnvironment() {
        for (const auto& [name, value] : saved_) set(name.c_str(), value);
    }

private:
    static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    static void set(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(LinuxBundlesLanguages, TheFirstSetLocaleVariableDecides) {
    struct Case {
        const char* name;
        std::map<std::string, std::optional<std::string>> environment;
        std::vector<std::string> languages;
    };
    const Case cases[] = {
        {"LC_ALL first", {{"LC_ALL", "zh_CN.UTF-8"}, {"LC_MESSAGES", "de_DE"}, {"LANG", "en_US"}}, {"zh-Hans"}},
        {"LC_MESSAGES before LANG", {{"LC_MESSAGES", "de_DE"}, {"LANG", "en_US"}}, {"de-DE", "de"}},
        {"an empty one is skipped", {{"LC_ALL", ""}, {"LANG", "zh_TW"}}, {"zh-Hant"}},
        {"none set", {}, {}},
    };
    for (const auto& c : cases) {
        LocaleEnvironment environment(c.environment);
        EXPECT_EQ(preferredLanguagesFromEnvironment(), c.languages) << c.name;
    }
}

}  // namespace
}  // namespace wattkeeper::testing
