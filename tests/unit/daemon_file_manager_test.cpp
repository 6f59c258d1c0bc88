#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "daemon/files/daemon_file_manager.h"
#include "tests/kit/daemon_world.h"

namespace wattkeeper::testkit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testkit::kPreferencesFile;

const std::string kBundleId(protocol::MainAppBundleId);

std::string documentsOf(const std::string& user) {
    return "/Users/" + user + "/Library/Containers/" + kBundleId + "/Data/Documents";
}

class DaemonFileManagerTest : public ::testing::Test {
protected:
    testkit::FakeSystemInfo console;  // "anna"
    testkit::FakeFileSystem files;
    testkit::ScopedProcessPorts scope{[this] {
        Ports ports;
        ports.systemInfo = &console;
        ports.fileSystem = &files;
        return ports;
    }()};
};

TEST_F(DaemonFileManagerTest, TheConsoleUsersContainerIsReadAndOnlyTheExactLoginWindowNameMeansNobody) {
    EXPECT_EQ(daemon::DaemonFileManager::getMainAppContainersPreferencesPath(),
              "/Users/anna/Library/Containers/" + kBundleId + "/Data/Library/Preferences");
    files.putPlist(documentsOf("anna") + "/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 80}});
    files.putPlist(kPreferencesFile, PlistDictionary{{"ChargingLimit", 70}});
    EXPECT_EQ(daemon::DaemonFileManager::readDictionaryFileName("BatteryLimit.plist"),
              (PlistDictionary{{"ChargingLimit", 80}}));
    EXPECT_EQ(daemon::DaemonFileManager::readPreferencesDictionary(), (PlistDictionary{{"ChargingLimit", 70}}));

    const std::pair<std::optional<std::string>, bool> cases[] = {
        {std::nullopt, false},
        {"loginWindow", false},
        {"loginwindow", true},
        {"loginWindow ", true},
        {"ben", true},
        // Names that would not be one folder under /Users.
        {"", false},
        {"..", false},
        {"../root", false},
    };
    for (const auto& [reported, isUser] : cases) {
        console.setConsoleUser(reported);
        files.putPlist(documentsOf(reported.value_or("x")) + "/BatteryLimit.plist", PlistDictionary{{"a", 1}});
        const auto documents = daemon::DaemonFileManager::getMainAppContainersPath();
        const std::string label = reported.value_or("(none)");
        EXPECT_EQ(documents, isUser ? std::optional(documentsOf(*reported)) : std::nullopt) << label;
        EXPECT_EQ(daemon::DaemonFileManager::getMainAppContainersPreferencesPath().has_value(), isUser) << label;
        if (isUser) continue;
        const auto reads = files.readCount();
        EXPECT_FALSE(daemon::DaemonFileManager::readStringFileName("BatteryLimit.plist")) << label;
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName("BatteryLimit.plist")) << label;
        EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary()) << label;
        daemon::DaemonFileManager::deleteFileName("BatteryLimit.plist");
        EXPECT_EQ(files.readCount(), reads) << label;
    }
    EXPECT_TRUE(files.removed().empty());
}

TEST_F(DaemonFileManagerTest, EachReaderAcceptsOnlyItsOwnRootKindInEitherFormat) {
    const PlistValue array = PlistArray{80, "text"};
    const PlistValue dictionary = PlistDictionary{{"ChargingLimit", 80}};
    for (const linux_backend::PlistFormat format :
         {linux_backend::PlistFormat::Xml, linux_backend::PlistFormat::Binary}) {
        files.putPlist(documentsOf("anna") + "/array.plist", array, format);
        files.putPlist(documentsOf("anna") + "/dictionary.plist", dictionary, format);
        files.putPlist(documentsOf("anna") + "/number.plist", 80, format);
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName("array.plist"));
        EXPECT_EQ(daemon::DaemonFileManager::readDictionaryFileName("dictionary.plist"), *dictionary.asDictionary());
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName("number.plist"));
    }
    // The preferences only when their file exists and holds a dictionary.
    const auto reads = files.readCount();
    EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary());
    EXPECT_EQ(files.readCount(), reads);
    for (const auto& content : {Bytes{'<', 'p', 'l', 'i', 's', 't', '>'}, Bytes{},
                                *linux_backend::plistToBytes(PlistArray{70}, linux_backend::PlistFormat::Binary)}) {
        files.putFile(kPreferencesFile, content);
        EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary());
    }
    files.putUnreadable(kPreferencesFile);
    EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary());
}

TEST_F(DaemonFileManagerTest, NamesThatAreNotOnePlainComponentReachNothing) {
    // Files a name leaving the Documents folder could otherwise reach.
    files.putPlist(documentsOf("anna") + "/../BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 5}});
    files.putPlist(documentsOf("anna") + "/sub/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 5}});
    files.putPlist("/etc/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 5}});
    const std::string names[] = {
        "",
        ".",
        "..",
        "../BatteryLimit.plist",
        "sub/BatteryLimit.plist",
        "/etc/BatteryLimit.plist",
        "BatteryLimit.plist/",
        std::string("BatteryLimit.plist\0/../x", 24),
    };
    for (const auto& name : names) {
        EXPECT_FALSE(daemon::DaemonFileManager::readStringFileName(name)) << name;
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName(name)) << name;
        EXPECT_FALSE(daemon::DaemonFileManager::readArrayFileName(name)) << name;
        daemon::DaemonFileManager::deleteFileName(name);
    }
    EXPECT_EQ(files.readCount(), 0u);
    EXPECT_TRUE(files.removed().empty());
}

}  // namespace
}  // namespace wattkeeper::testkit
