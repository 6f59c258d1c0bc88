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
    const Ports ports{.systemInfo = &console, .fileSystem = &files};
};

TEST_F(DaemonFileManagerTest, TheConsoleUsersContainerIsReadAndOnlyTheExactLoginWindowNameMeansNobody) {
    EXPECT_EQ(daemon::DaemonFileManager::getMainAppContainersPreferencesPath(ports),
              "/Users/anna/Library/Containers/" + kBundleId + "/Data/Library/Preferences");
    files.putPlist(documentsOf("anna") + "/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 80}});
    files.putPlist(kPreferencesFile, PlistDictionary{{"ChargingLimit", 70}});
    EXPECT_EQ(daemon::DaemonFileManager::readDictionaryFileName(ports, "BatteryLimit.plist"),
              (PlistDictionary{{"ChargingLimit", 80}}));
    EXPECT_EQ(daemon::DaemonFileManager::readPreferencesDictionary(ports), (PlistDictionary{{"ChargingLimit", 70}}));

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
        const auto documents = daemon::DaemonFileManager::getMainAppContainersPath(ports);
        const std::string label = reported.value_or("(none)");
        EXPECT_EQ(documents, isUser ? std::optional(documentsOf(*reported)) : std::nullopt) << label;
        EXPECT_EQ(daemon::DaemonFileManager::getMainAppContainersPreferencesPath(ports).has_value(), isUser) << label;
        if (isUser) continue;
        const auto reads = files.readCount();
        EXPECT_FALSE(daemon::DaemonFileManager::readStringFileName(ports, "BatteryLimit.plist")) << label;
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName(ports, "BatteryLimit.plist")) << label;
        EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary(ports)) << label;
        daemon::DaemonFileManager::deleteFileName(ports, "BatteryLimit.plist");
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
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName(ports, "array.plist"));
        EXPECT_EQ(daemon::DaemonFileManager::readDictionaryFileName(ports, "dictionary.plist"),
                  *dictionary.asDictionary());
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName(ports, "number.plist"));
    }
    // The preferences only when their file exists and holds a dictionary.
    const auto reads = files.readCount();
    EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary(ports));
    EXPECT_EQ(files.readCount(), reads);
    for (const auto& content : {Bytes{'<', 'p', 'l', 'i', 's', 't', '>'}, Bytes{},
                                *linux_backend::plistToBytes(PlistArray{70}, linux_backend::PlistFormat::Binary)}) {
        files.putFile(kPreferencesFile, content);
        EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary(ports));
    }
    files.putUnreadable(kPreferencesFile);
    EXPECT_FALSE(daemon::DaemonFileManager::readPreferencesDictionary(ports));
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
        EXPECT_FALSE(daemon::DaemonFileManager::readStringFileName(ports, name)) << name;
        EXPECT_FALSE(daemon::DaemonFileManager::readDictionaryFileName(ports, name)) << name;
        EXPECT_FALSE(daemon::DaemonFileManager::readArrayFileName(ports, name)) << name;
        daemon::DaemonFileManager::deleteFileName(ports, name);
    }
    EXPECT_EQ(files.readCount(), 0u);
    EXPECT_TRUE(files.removed().empty());
}

}  // namespace
}  // namespace wattkeeper::testkit
