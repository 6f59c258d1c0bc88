#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "daemon/files/daemon_file_manager.h"
#include "platform/linux/plist_codec.h"
#include "platform/ports.h"
#include "protocol/config.h"
#include "tests/kit/fake_file_system.h"
#include "tests/kit/scoped_ports.h"

namespace wattkeeper::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kBundleId(protocol::MainAppBundleId);

std::string documentsOf(const std::string& user) {
    return "/Users/" + user + "/Library/Containers/" + kBundleId + "/Data/Documents";
}
std::string preferencesFileOf(const std::string& user) {
    return "/Users/" + user + "/Library/Containers/" + kBundleId + "/Data/Library/Preferences/" + kBundleId +
           ".plist";
}

// Only the console user matters to the file manager.
class ConsoleUserStub : public SystemInfo {
public:
    std::optional<std::string> user = std::string("anna");

    int sysctlByName(std::string_view, void*, std::size_t*) override { return -1; }
    IoObject registryEntryFromPath(std::string_view) override { return 0; }
    std::optional<PlistValue> registryEntryProperty(IoObject, std::string_view) override { return std::nullopt; }
    KernReturn objectRelease(IoObject) override { return kKernSuccess; }
    void addClamshellChangeNotification(std::function<void()>) override {}
    std::optional<std::string> consoleUser() override { return user; }
    std::uint32_t effectiveUserId() override { return 0; }
};

class DaemonFileManagerTest : public ::testing::Test {
protected:
    static Ports portsWith(SystemInfo& systemInfo, FileSystem& fileSystem) {
        Ports ports;
        ports.systemInfo = &systemInfo;
        ports.fileSystem = &fileSystem;
        return ports;
    }

    ConsoleUserStub console;
    testkit::FakeFileSystem files;
    testkit::ScopedProcessPorts scope{portsWith(console, files)};
};

TEST_F(DaemonFileManagerTest, AnnasContainerPathsAreFormedUnderUsers) {
    EXPECT_EQ(DaemonFileManager::getMainAppContainersPath(),
              "/Users/anna/Library/Containers/" + kBundleId + "/Data/Documents");
    EXPECT_EQ(DaemonFileManager::getMainAppContainersPreferencesPath(),
              "/Users/anna/Library/Containers/" + kBundleId + "/Data/Library/Preferences");

    files.putPlist(documentsOf("anna") + "/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 80}});
    files.putPlist(preferencesFileOf("anna"), PlistDictionary{{"ChargingLimit", 70}});
    EXPECT_EQ(DaemonFileManager::readDictionaryFileName("BatteryLimit.plist"),
              (PlistDictionary{{"ChargingLimit", 80}}));
    EXPECT_EQ(DaemonFileManager::readPreferencesDictionary(), (PlistDictionary{{"ChargingLimit", 70}}));
}

TEST_F(DaemonFileManagerTest, OnlyTheExactLoginWindowNameMeansNobody) {
    struct Case {
        std::optional<std::string> reported;
        bool isUser;
    };
    const Case cases[] = {
        {std::nullopt, false},
        {"loginWindow", false},
        {"loginwindow", true},
        {"LOGINWINDOW", true},
        {"loginWindow ", true},
        {"ben", true},
        // Names that would not be one folder under /Users.
        {"", false},
        {"..", false},
        {"../root", false},
    };
    for (const auto& c : cases) {
        console.user = c.reported;
        const auto documents = DaemonFileManager::getMainAppContainersPath();
        const auto preferences = DaemonFileManager::getMainAppContainersPreferencesPath();
        const std::string label = c.reported.value_or("(none)");
        if (c.isUser) {
            EXPECT_EQ(documents, documentsOf(*c.reported)) << label;
            EXPECT_TRUE(preferences) << label;
        } else {
            EXPECT_FALSE(documents) << label;
            EXPECT_FALSE(preferences) << label;
        }
    }
}

TEST_F(DaemonFileManagerTest, WithoutAConsoleUserNothingIsReadOrRemoved) {
    files.putPlist(documentsOf("loginWindow") + "/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 80}});
    files.putPlist(preferencesFileOf("loginWindow"), PlistDictionary{{"ChargingLimit", 80}});
    for (const std::optional<std::string>& nobody : {std::optional<std::string>(), std::optional<std::string>("loginWindow")}) {
        console.user = nobody;
        EXPECT_FALSE(DaemonFileManager::readStringFileName("BatteryLimit.plist"));
        EXPECT_FALSE(DaemonFileManager::readDictionaryFileName("BatteryLimit.plist"));
        EXPECT_FALSE(DaemonFileManager::readArrayFileName("BatteryLimit.plist"));
        EXPECT_FALSE(DaemonFileManager::readPreferencesDictionary());
        DaemonFileManager::deleteFileName("BatteryLimit.plist");
    }
    EXPECT_EQ(files.readCount(), 0u);
    EXPECT_TRUE(files.removed().empty());
}

TEST_F(DaemonFileManagerTest, EachReaderAcceptsOnlyItsOwnRootKind) {
    const PlistValue array = PlistArray{80, "text"};
    const PlistValue dictionary = PlistDictionary{{"ChargingLimit", 80}};
    for (const PlistFormat format : {PlistFormat::Xml, PlistFormat::Binary}) {
        files.putPlist(documentsOf("anna") + "/array.plist", array, format);
        files.putPlist(documentsOf("anna") + "/dictionary.plist", dictionary, format);
        files.putPlist(documentsOf("anna") + "/number.plist", 80, format);

        EXPECT_FALSE(DaemonFileManager::readDictionaryFileName("array.plist"));
        EXPECT_EQ(DaemonFileManager::readArrayFileName("array.plist"), *array.asArray());
        EXPECT_EQ(DaemonFileManager::readDictionaryFileName("dictionary.plist"), *dictionary.asDictionary());
        EXPECT_FALSE(DaemonFileManager::readArrayFileName("dictionary.plist"));
        EXPECT_FALSE(DaemonFileManager::readDictionaryFileName("number.plist"));
        EXPECT_FALSE(DaemonFileManager::readArrayFileName("number.plist"));
    }
}

TEST_F(DaemonFileManagerTest, TextIsReturnedOnlyWhenItIsUtf8AndWithinTheBound) {
    const std::string folder = documentsOf("anna");
    const std::string chinese = "开始重启";
    files.putFile(folder + "/text", Bytes(chinese.begin(), chinese.end()));
    files.putFile(folder + "/empty", {});
    files.putFile(folder + "/latin1", {'c', 0xE9, 't', 0xE9});
    files.putFile(folder + "/at-bound", Bytes(DaemonFileManager::kMaxFileBytes, 'a'));
    files.putFile(folder + "/over-bound", Bytes(DaemonFileManager::kMaxFileBytes + 1, 'a'));
    files.putUnreadable(folder + "/fifo");

    EXPECT_EQ(DaemonFileManager::readStringFileName("text"), chinese);
    EXPECT_EQ(DaemonFileManager::readStringFileName("empty"), "");
    EXPECT_FALSE(DaemonFileManager::readStringFileName("latin1"));
    EXPECT_EQ(DaemonFileManager::readStringFileName("at-bound").value_or("").size(), DaemonFileManager::kMaxFileBytes);
    EXPECT_FALSE(DaemonFileManager::readStringFileName("over-bound"));
    EXPECT_FALSE(DaemonFileManager::readStringFileName("fifo"));
    EXPECT_FALSE(DaemonFileManager::readStringFileName("missing"));
}

TEST_F(DaemonFileManagerTest, PreferencesAreReadOnlyWhenTheFileExists) {
    EXPECT_FALSE(DaemonFileManager::readPreferencesDictionary());
    EXPECT_EQ(files.readCount(), 0u);

    struct Case {
        const char* name;
        Bytes content;
    };
    const Case cases[] = {
        {"malformed", {'<', 'p', 'l', 'i', 's', 't', '>', '<', 'd', 'i', 'c', 't', '>'}},
        {"empty", {}},
        {"array root", *plistToBytes(PlistArray{70}, PlistFormat::Binary)},
    };
    for (const auto& c : cases) {
        files.putFile(preferencesFileOf("anna"), c.content);
        EXPECT_FALSE(DaemonFileManager::readPreferencesDictionary()) << c.name;
    }
    files.putUnreadable(preferencesFileOf("anna"));
    EXPECT_FALSE(DaemonFileManager::readPreferencesDictionary());
}

TEST_F(DaemonFileManagerTest, AUserSwitchTakesEffectOnTheNextCall) {
    files.putPlist(documentsOf("anna") + "/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 80}});
    files.putPlist(documentsOf("ben") + "/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 60}},
                   PlistFormat::Binary);
    files.putPlist(preferencesFileOf("ben"), PlistDictionary{{"ChargingLimit", 65}});

    EXPECT_EQ(DaemonFileManager::readDictionaryFileName("BatteryLimit.plist"),
              (PlistDictionary{{"ChargingLimit", 80}}));
    EXPECT_FALSE(DaemonFileManager::readPreferencesDictionary());
    console.user = "ben";
    EXPECT_EQ(DaemonFileManager::readDictionaryFileName("BatteryLimit.plist"),
              (PlistDictionary{{"ChargingLimit", 60}}));
    EXPECT_EQ(DaemonFileManager::readPreferencesDictionary(), (PlistDictionary{{"ChargingLimit", 65}}));
    console.user = "anna";
    EXPECT_EQ(DaemonFileManager::readDictionaryFileName("BatteryLimit.plist"),
              (PlistDictionary{{"ChargingLimit", 80}}));
}

TEST_F(DaemonFileManagerTest, NamesThatAreNotOnePlainComponentReachNothing) {
    // Files a name leaving the Documents folder could otherwise reach.
    const std::string data = "/Users/anna/Library/Containers/" + kBundleId + "/Data";
    files.putPlist(data + "/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 5}});
    files.putPlist(documentsOf("anna") + "/sub/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 5}});
    files.putPlist("/etc/BatteryLimit.plist", PlistDictionary{{"ChargingLimit", 5}});

    const std::string names[] = {
        "", ".", "..", "../BatteryLimit.plist", "sub/BatteryLimit.plist", "/etc/BatteryLimit.plist",
        "BatteryLimit.plist/", std::string("BatteryLimit.plist\0/../x", 24),
    };
    for (const auto& name : names) {
        EXPECT_FALSE(DaemonFileManager::readStringFileName(name)) << name;
        EXPECT_FALSE(DaemonFileManager::readDictionaryFileName(name)) << name;
        EXPECT_FALSE(DaemonFileManager::readArrayFileName(name)) << name;
        DaemonFileManager::deleteFileName(name);
    }
    EXPECT_EQ(files.readCount(), 0u);
    EXPECT_TRUE(files.removed().empty());
}

TEST_F(DaemonFileManagerTest, DeletingRemovesAFileOrAFolderWithItsContents) {
    const std::string folder = documentsOf("anna");
    files.putFile(folder + "/old.txt", {'x'});
    files.putFile(folder + "/cache/a", {'a'});
    files.putFile(folder + "/cache/deeper/b", {'b'});
    files.putFile(folder + "/cache.keep", {'k'});

    DaemonFileManager::deleteFileName("old.txt");
    DaemonFileManager::deleteFileName("cache");
    DaemonFileManager::deleteFileName("missing");
    EXPECT_EQ(files.removed(), (std::vector<std::string>{folder + "/old.txt", folder + "/cache"}));
    EXPECT_FALSE(files.fileExists(folder + "/cache/deeper/b"));
    EXPECT_TRUE(files.fileExists(folder + "/cache.keep"));
}

}  // namespace
}  // namespace wattkeeper::testing
