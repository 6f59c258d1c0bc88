#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_defaults.h"
#include "platform/linux/plist_codec.h"
#include "tests/unit/temp_folder.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;

const std::string kSuite = "group.org.example.shared";

std::string suiteFileOf(const std::string& user) {
    return "/Users/" + user + "/Library/Group Containers/" + kSuite + "/Library/Preferences/" + kSuite + ".plist";
}

class LinuxDefaultsTest : public ::testing::Test {
protected:
    bool setFlag(const std::optional<std::string>& user = "anna", const std::string& suiteName = kSuite) const {
        linux_backend::LinuxDefaults defaults(root.path.string(), [user] { return user; });
        auto suite = defaults.openSuite(suiteName);
        suite->setBool("LoginItemFristLaunch", true);
        return suite->synchronize();
    }
    std::optional<PlistDictionary> stored() const {
        const std::string text = root.read(file);
        const auto value =
            linux_backend::plistFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        return value && value->asDictionary() ? std::optional(*value->asDictionary()) : std::nullopt;
    }

    TempFolder root;
    TempFolder outside;
    const std::string file = suiteFileOf("anna");
};

TEST_F(LinuxDefaultsTest, ASynchronizedFlagIsAnXmlFileAPersonCanReadWrittenWhole) {
    const mode_t oldMask = ::umask(077);
    const bool written = setFlag();
    ::umask(oldMask);
    ASSERT_TRUE(written);
    const std::string text = root.read(file);
    EXPECT_NE(text.find("<key>LoginItemFristLaunch</key>"), std::string::npos) << text;
    EXPECT_NE(text.find("<true/>"), std::string::npos) << text;
    const fs::path host = root.path / fs::path(file).relative_path();
    EXPECT_EQ(fs::status(host).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    // Only the file itself is left in its folder: no half-written temporary beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(host.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(LinuxDefaultsTest, KeysTheSuiteDidNotSetAreKeptAndAFileThatIsNoDictionaryIsReplaced) {
    root.write(file,
               "<plist version=\"1.0\"><dict><key>LoginItemFristLaunch</key><false/>"
               "<key>Other</key><string>kept</string></dict></plist>");
    ASSERT_TRUE(setFlag());
    EXPECT_EQ(stored(), (PlistDictionary{{"LoginItemFristLaunch", true}, {"Other", "kept"}}));
    for (const char* content : {"garbage", "<plist version=\"1.0\"><array/></plist>"}) {
        root.write(file, content);
        ASSERT_TRUE(setFlag()) << content;
        EXPECT_EQ(stored(), (PlistDictionary{{"LoginItemFristLaunch", true}})) << content;
    }
}

TEST_F(LinuxDefaultsTest, SymbolicLinksBelowTheRootAreNeverFollowed) {
    outside.write("victim.plist", "untouched");
    const fs::path host = root.path / fs::path(file).relative_path();
    fs::create_directories(host.parent_path());
    fs::create_symlink(outside.path / "victim.plist", host);  // the file itself
    EXPECT_FALSE(setFlag());
    EXPECT_EQ(outside.read("victim.plist"), "untouched");

    fs::remove_all(root.path / "Users");
    fs::create_directories(root.path / "Users");
    fs::create_directory_symlink(outside.path, root.path / "Users/anna");  // a folder on the way
    EXPECT_FALSE(setFlag());
    EXPECT_FALSE(fs::exists(outside.path / "Library"));
}

TEST_F(LinuxDefaultsTest, NothingIsWrittenWithoutAPlainUserAndSuiteNameOrOutsideTheRoot) {
    EXPECT_FALSE(setFlag(std::nullopt));
    EXPECT_FALSE(setFlag("../anna"));
    EXPECT_FALSE(setFlag(""));
    EXPECT_FALSE(setFlag("anna", "group/x"));
    EXPECT_FALSE(setFlag("anna", ".."));
    EXPECT_FALSE(fs::exists(root.path / "Users"));

    const std::vector<std::uint8_t> bytes{'x'};
    const std::string r = root.path.string(), never = (outside.path / "never").string();
    EXPECT_FALSE(linux_backend::replaceFileBelowRoot("", never, bytes));
    EXPECT_FALSE(linux_backend::replaceFileBelowRoot("/", never, bytes));
    EXPECT_FALSE(linux_backend::replaceFileBelowRoot(r, "relative/file", bytes));
    EXPECT_FALSE(linux_backend::replaceFileBelowRoot(r, "/a/../../escape", bytes));
    EXPECT_FALSE(linux_backend::replaceFileBelowRoot(r, "/", bytes));
    EXPECT_FALSE(fs::exists(never));
    fs::create_directories(root.path / "folder");
    EXPECT_FALSE(linux_backend::replaceFileBelowRoot(r, "/folder", bytes));
    EXPECT_TRUE(linux_backend::replaceFileBelowRoot(r + "/", "/a/b/file", bytes));
    EXPECT_EQ(root.read("a/b/file"), "x");
}

TEST_F(LinuxDefaultsTest, TheConsoleUserIsAskedAtEachSynchronize) {
    std::string user = "anna";
    linux_backend::LinuxDefaults defaults(root.path.string(), [&user] { return std::optional<std::string>(user); });
    auto suite = defaults.openSuite(kSuite);
    suite->setBool("LoginItemFristLaunch", true);
    user = "bert";
    ASSERT_TRUE(suite->synchronize());
    EXPECT_FALSE(fs::exists(root.path / fs::path(file).relative_path()));
    EXPECT_TRUE(fs::exists(root.path / fs::path(suiteFileOf("bert")).relative_path()));
}

}  // namespace
}  // namespace wattkeeper::testkit
