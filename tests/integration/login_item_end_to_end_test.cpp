// Wattstarter as a process of its own against the virtual Mac, and the login item's shared
// classes talking across processes.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/linux/plist_codec.h"
#include "protocol/config.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class LoginItemProcess : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root);
        virtualMac.emplace(std::vector<std::string>{builtProgram("virtual-mac"), "serve", "--root", root, "--user",
                                                    "anna"},
                           bus.environment(), work.path() / "virtual-mac.log");
        ASSERT_TRUE(waitUntil([&] { return vm({"status"}).status == 0; }));
        fs::create_directories(loginItem.parent_path());
        fs::copy(builtProgram("bundles/Wattstarter.app"), loginItem, fs::copy_options::recursive);
    }

    RunResult vm(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), builtProgram("virtual-mac"));
        return run(arguments, bus.environment());
    }

    // Runs the login item to its end; the time it took.
    std::chrono::milliseconds runLoginItem(int& exitStatus) {
        const auto started = Clock::now();
        const auto result = run({(loginItem / "Contents/MacOS/Wattstarter").string()}, bus.environment(), 30s);
        exitStatus = result.status;
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    }

    std::optional<PlistValue> sharedDefaults() const {
        const std::string suite(protocol::AppGroupSuite);
        const fs::path file = root / "Users/anna/Library/Group Containers" / suite / "Library/Preferences" / (suite + ".plist");
        if (!fs::exists(file)) return std::nullopt;
        const std::string text = readFile(file);
        return plistFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }

    PrivateBus bus;
    TempDir work;
    const fs::path root = work.path() / "root";
    const fs::path mainApplication = root / "Applications/Wattkeeper Control.app";
    const fs::path loginItem = mainApplication / "Contents/Library/LoginItems/Wattstarter.app";
    std::optional<Child> virtualMac;
};

TEST_F(LoginItemProcess, WithTheMainApplicationNotRunningItFlagsOpensHiddenAndQuitsAfterTenSeconds) {
    int status = -1;
    const auto took = runLoginItem(status);
    EXPECT_EQ(status, 0);
    EXPECT_GE(took, 10s);
    EXPECT_LT(took, 20s);
    const auto defaults = sharedDefaults();
    ASSERT_TRUE(defaults && defaults->asDictionary());
    const PlistValue* flag = defaults->asDictionary()->find("LoginItemFristLaunch");
    ASSERT_NE(flag, nullptr);
    EXPECT_EQ(*flag, PlistValue(true));
    EXPECT_EQ(vm({"apps", "opened"}).output, mainApplication.string() + " hidden (open) options 0x0\n");
}

TEST_F(LoginItemProcess, WithTheMainApplicationRunningItWritesNothingOpensNothingAndQuitsTheSame) {
    ASSERT_EQ(vm({"apps", "set", "com.example.other", std::string(protocol::MainAppBundleId)}).status, 0);
    int status = -1;
    const auto took = runLoginItem(status);
    EXPECT_EQ(status, 0);
    EXPECT_GE(took, 10s);
    EXPECT_FALSE(sharedDefaults().has_value());
    EXPECT_EQ(vm({"apps", "opened"}).output, "");
}

}  // namespace
}  // namespace wattkeeper::testing
