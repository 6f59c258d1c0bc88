// Wattstarter as a process of its own against the virtual Mac: the composition of its ports.
// Whether the main application counts as running is decided in the unit tests.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/linux/plist_codec.h"
#include "protocol/config.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;

TEST(LoginItemProcess, WithTheMainApplicationNotRunningItFlagsOpensHiddenAndQuitsAfterTenSeconds) {
    const PrivateBus bus;
    const TempDir work;
    const fs::path root = work.path() / "root";
    const fs::path mainApplication = root / "Applications/Wattkeeper Control.app";
    const fs::path loginItem = mainApplication / "Contents/Library/LoginItems/Wattstarter.app";
    const auto vm = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), builtProgram("virtual-mac"));
        return run(arguments, bus.environment());
    };
    fs::create_directories(root);
    Child virtualMac({builtProgram("virtual-mac"), "serve", "--root", root, "--user", "anna"}, bus.environment(),
                     work.path() / "virtual-mac.log");
    ASSERT_TRUE(waitUntil([&] { return vm({"status"}).status == 0; }));
    fs::create_directories(loginItem.parent_path());
    fs::copy(builtProgram("bundles/Wattstarter.app"), loginItem, fs::copy_options::recursive);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run({(loginItem / "Contents/MacOS/Wattstarter").string()}, bus.environment(), 30s).status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 10s);
    const std::string suite(protocol::AppGroupSuite);
    const std::string defaults =
        readFile(root / "Users/anna/Library/Group Containers" / suite / "Library/Preferences" / (suite + ".plist"));
    const auto value = linux_backend::plistFromBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(defaults.data()), defaults.size()));
    ASSERT_TRUE(value && value->asDictionary()) << defaults;
    EXPECT_EQ(*value->asDictionary(), (PlistDictionary{{"LoginItemFristLaunch", true}}));
    EXPECT_EQ(vm({"apps", "opened"}).output, mainApplication.string() + " hidden (open) options 0x0\n");
}

}  // namespace
}  // namespace wattkeeper::testkit
