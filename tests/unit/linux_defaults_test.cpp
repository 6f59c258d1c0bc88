#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/linux_defaults.h"
#include "platform/linux/plist_codec.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSuite = "group.org.example.shared";
constexpr const char* kSuiteFile =
    "Users/anna/Library/Group Containers/group.org.example.shared/Library/Preferences/group.org.example.shared.plist";

fs::path makeTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "wk-defaults-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::string contentOf(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::optional<PlistDictionary> dictionaryAt(const fs::path& path) {
    const std::string text = contentOf(path);
    const auto value = plistFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (!value || !value->asDictionary()) return std::nullopt;
    return *value->asDictionary();
}

class LinuxDefaultsTest : public ::testing::Test {
protected:
    ~LinuxDefaultsTest() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
        fs::remove_all(outside, ignored);
    }

    void write(const fs::path& path, const std::string& content) const {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    bool setFlag(LinuxDefaults& defaults) const {
        auto suite = defaults.openSuite(kSuite);
        suite->setBool("LoginItemFristLaunch", true);
        return suite->synchronize();
    }

    fs::path root = makeTempFolder();
    fs::path outside = makeTempFolder();
    fs::path file = root / kSuiteFile;
};

TEST_F(LinuxDefaultsTest, ASynchronizedFlagIsAnXmlFileAPersonCanRead) {
    LinuxDefaults defaults(root.string(), std::string("anna"));
    const mode_t oldMask = ::umask(077);
    const bool written = setFlag(defaults);
    ::umask(oldMask);
    ASSERT_TRUE(written);

    const std::string text = contentOf(file);
    EXPECT_NE(text.find("<?xml"), std::string::npos);
    EXPECT_NE(text.find("<key>LoginItemFristLaunch</key>"), std::string::npos);
    EXPECT_NE(text.find("<true/>"), std::string::npos);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    // Only the file itself is left in its folder: no half-written temporary beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(LinuxDefaultsTest, KeysOfTheFileThatTheSuiteDidNotSetAreKept) {
    write(file, R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>LoginItemFristLaunch</key><false/>
<key>Other</key><string>kept</string>
</dict></plist>)");
    LinuxDefaults defaults(root.string(), std::string("anna"));
    ASSERT_TRUE(setFlag(defaults));
    EXPECT_EQ(dictionaryAt(file), (PlistDictionary{{"LoginItemFristLaunch", true}, {"Other", "kept"}}));
}

TEST_F(LinuxDefaultsTest, AFileThatIsNoDictionaryIsReplaced) {
    for (const char* content : {"garbage", "<plist version=\"1.0\"><array/></plist>"}) {
        write(file, content);
        LinuxDefaults defaults(root.string(), std::string("anna"));
        ASSERT_TRUE(setFlag(defaults)) << content;
        EXPECT_EQ(dictionaryAt(file), (PlistDictionary{{"LoginItemFristLaunch", true}})) << content;
    }
}

TEST_F(LinuxDefaultsTest, SymbolicLinksBelowTheRootAreNeverFollowed) {
    const fs::path target = outside / "victim.plist";
    write(target, "untouched");

    // The file itself a link to a file elsewhere.
    fs::create_directories(file.parent_path());
    fs::create_symlink(target, file);
    LinuxDefaults defaults(root.string(), std::string("anna"));
    EXPECT_FALSE(setFlag(defaults));
    EXPECT_EQ(contentOf(target), "untouched");
    EXPECT_TRUE(fs::is_symlink(file));

    // A folder on the way a link to a folder elsewhere.
    fs::remove_all(root / "Users");
    fs::create_directories(root / "Users");
    fs::create_directory_symlink(outside, root / "Users/anna");
    EXPECT_FALSE(setFlag(defaults));
    EXPECT_FALSE(fs::exists(outside / "Library"));
}

TEST_F(LinuxDefaultsTest, NothingIsWrittenWithoutAPlainUserAndSuiteName) {
    struct Case {
        const char* name;
        std::optional<std::string> user;
        std::string suite;
    };
    const Case cases[] = {
        {"nobody logged in", std::nullopt, kSuite},
        {"user climbing out", "../anna", kSuite},
        {"empty user", "", kSuite},
        {"suite with a slash", "anna", "group/x"},
        {"suite of dots", "anna", ".."},
    };
    for (const auto& c : cases) {
        LinuxDefaults defaults(root.string(), [&c] { return c.user; });
        auto suite = defaults.openSuite(c.suite);
        suite->setBool("LoginItemFristLaunch", true);
        EXPECT_FALSE(suite->synchronize()) << c.name;
    }
    EXPECT_FALSE(fs::exists(root / "Users"));
}

TEST_F(LinuxDefaultsTest, TheConsoleUserIsAskedAtEachSynchronize) {
    std::string user = "anna";
    LinuxDefaults defaults(root.string(), [&user] { return std::optional<std::string>(user); });
    auto suite = defaults.openSuite(kSuite);
    suite->setBool("LoginItemFristLaunch", true);
    user = "bert";
    ASSERT_TRUE(suite->synchronize());
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::exists(root / "Users/bert/Library/Group Containers" / kSuite / "Library/Preferences" /
                           (std::string(kSuite) + ".plist")));
}

TEST_F(LinuxDefaultsTest, ReplacingAFileRefusesPathsOutsideTheRoot) {
    const std::vector<std::uint8_t> bytes{'x'};
    EXPECT_FALSE(replaceFileBelowRoot("", "/tmp/wk-never", bytes));
    EXPECT_FALSE(replaceFileBelowRoot("/", "/tmp/wk-never", bytes));
    EXPECT_FALSE(replaceFileBelowRoot(root.string(), "relative/file", bytes));
    EXPECT_FALSE(replaceFileBelowRoot(root.string(), "/a/../../escape", bytes));
    EXPECT_FALSE(replaceFileBelowRoot(root.string(), "/", bytes));
    EXPECT_FALSE(fs::exists("/tmp/wk-never"));

    fs::create_directories(root / "folder");
    EXPECT_FALSE(replaceFileBelowRoot(root.string(), "/folder", bytes));
    EXPECT_TRUE(replaceFileBelowRoot(root.string() + "/", "/a/b/file", bytes));
    EXPECT_EQ(contentOf(root / "a/b/file"), "x");
}

}  // namespace
}  // namespace wattkeeper::testing
