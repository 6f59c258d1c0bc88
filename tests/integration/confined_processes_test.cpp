// The daemon's command lines in their sandbox on the virtual Mac's root folder: what they reach
// and what they see. The opener a restart goes through runs in the daemon's restart end to end.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "daemon/files/shell_excute_manager.h"
#include "platform/linux/confined_processes.h"
#include "platform/ports.h"
#include "protocol/config.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;

const std::string kLabel(protocol::HelperLabel);
const std::string kJobFile = "/Library/LaunchDaemons/" + kLabel + ".plist";
const fs::path kTools = fs::path(__FILE__).parent_path().parent_path().parent_path() / "tools/virtual-mac/bin";

class ConfinedProcessesTest : public ::testing::Test {
protected:
    void write(const std::string& path, const std::string& content) const {
        const fs::path host = root / path.substr(1);
        fs::create_directories(host.parent_path());
        std::ofstream(host, std::ios::binary) << content;
    }
    bool inRoot(const std::string& path) const { return fs::exists(root / path.substr(1)); }

    TempDir folder;
    const fs::path root = folder.path();
    linux_backend::ConfinedProcesses processes{root.string(), kTools.string()};
};

// Every file and folder below a host folder.
std::set<fs::path> treeOf(const fs::path& folder) {
    return {fs::recursive_directory_iterator(folder), fs::recursive_directory_iterator()};
}

TEST_F(ConfinedProcessesTest, TheUninstallCommandLinesRunLetterForLetterAndReachOnlyTheRoot) {
    const std::string bundle = "/Library/Application Support/Halvorn/Battery/Wattkeeper.app";
    const TempDir outsideFolder;
    const fs::path& outside = outsideFolder.path();
    fs::create_directories(outside / "Halvorn/Battery/Wattkeeper.app/canary");
    std::ofstream(outside / (kLabel + ".plist")) << "<plist/>";
    const auto before = treeOf(outside);

    // "": the items lie in the root. Otherwise the root's folders are links that lead back to the
    // host's "/" for a sandbox sharing the host's processes, and on to the canaries.
    for (const std::string& via : {std::string(), "/proc/" + std::to_string(::getpid()) + "/root",
                                   std::string("/proc/1/root"), std::string("/proc/self/root")}) {
        for (const char* folder : {"Library", "private"}) fs::remove_all(root / folder);
        if (via.empty()) {
            write(bundle + "/Contents/Info.plist", "<plist/>");
            write(kJobFile, "<plist/>");
        } else {
            for (const char* folder : {"Library", "private/var"}) fs::create_directories(root / folder);
            for (const char* link : {"Library/Application Support", "Library/LaunchDaemons", "private/var/db"}) {
                fs::create_directory_symlink(via + outside.string(), root / link);
            }
        }

        // As the daemon's uninstall runs them, in its order.
        EXPECT_EQ(
            daemon::ZQShellExcuteManager::excuteCmd(processes, "launchctl list | grep " + kLabel).value_or("").empty(),
            !via.empty());
        EXPECT_EQ(daemon::ZQShellExcuteManager::excuteRMCmd(
                      processes, "rm -rf /Library/Application' 'Support/Halvorn/Battery/Wattkeeper.app"),
                  0);
        EXPECT_EQ(
            daemon::ZQShellExcuteManager::excuteRMCmd(processes, "launchctl unload " + kJobFile + " 2>/dev/null") == 0,
            via.empty());
        EXPECT_EQ(daemon::ZQShellExcuteManager::excuteCmd(processes, "launchctl list | grep " + kLabel), "");
        EXPECT_EQ(daemon::ZQShellExcuteManager::excuteRMCmd(processes, "rm -f " + kJobFile), 0);
        EXPECT_EQ(treeOf(outside), before) << via;
        if (via.empty()) {
            EXPECT_FALSE(inRoot(bundle));
            EXPECT_TRUE(inRoot("/Library/Application Support/Halvorn/Battery"));
            EXPECT_FALSE(inRoot(kJobFile));
        }
    }
}

TEST_F(ConfinedProcessesTest, TheSandboxRunsBashWithItsOwnSmallEnvironment) {
    ::setenv("WK_HOST_ONLY", "leak", 1);
    ::setenv("WATTKEEPER_BUS_ADDRESS", "unix:abstract=wk-test", 1);
    const auto result = processes.runShell("echo \"$0|$PATH|${WK_HOST_ONLY:-}|$WATTKEEPER_BUS_ADDRESS\"; exit 7");
    ::unsetenv("WK_HOST_ONLY");
    ::unsetenv("WATTKEEPER_BUS_ADDRESS");

    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->output, "/bin/bash|/opt/wattkeeper/bin:/usr/bin:/bin||unix:abstract=wk-test\n");
    EXPECT_EQ(result->status, 7);
    // /usr stays the host's, and read-only.
    EXPECT_NE(processes.runShell("touch /usr/wk-confined-test 2>/dev/null")->status, 0);
}

TEST_F(ConfinedProcessesTest, NoSandboxIsMadeWithoutItsFolders) {
    linux_backend::ConfinedProcesses noRoot((root / "missing").string(), kTools.string());
    linux_backend::ConfinedProcesses noTools(root.string(), (root / "missing").string());
    linux_backend::ConfinedProcesses hostRoot("/", kTools.string());
    EXPECT_EQ(noRoot.runShell("true"), std::nullopt);
    EXPECT_EQ(noTools.runShell("true"), std::nullopt);
    EXPECT_EQ(hostRoot.runShell("true"), std::nullopt);
    EXPECT_FALSE(fs::exists(root / "missing"));
}

}  // namespace
}  // namespace wattkeeper::testkit
