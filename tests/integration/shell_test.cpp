// Command lines on the host through the shell, as the daemon's shell manager runs them, and
// programs started detached.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "daemon/files/shell_excute_manager.h"
#include "platform/linux/posix_processes.h"
#include "platform/ports.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;

// Children of this process that have ended but were never waited for.
int zombieChildren() {
    int zombies = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto fields = statFields(std::stoi(name));
        zombies += fields.size() > 1 && fields[0] == "Z" && fields[1] == std::to_string(::getpid()) ? 1 : 0;
    }
    return zombies;
}

class ShellTest : public ::testing::Test {
protected:
    linux_backend::PosixProcesses processes;
};

TEST_F(ShellTest, OutputIsReturnedWhateverTheExitStatus) {
    struct Case {
        const char* command;
        std::optional<std::string> output;
        std::int32_t status;
    };
    const Case cases[] = {
        {"echo hi; exit 4", "hi\n", 4},
        {"true", "", 0},
        {"exit 3", "", 3},
        {"printf 'a|b' | tr '|' ' '", "a b", 0},
        {"echo to-stderr >&2; printf out", "out", 0},
        {"printf '\\357\\274\\210ok\\n'", "\xEF\xBC\x88ok\n", 0},
        {"printf '\\377\\376'", std::nullopt, 0},
        {"kill -TERM $$", "", 128 + 15},
        // One argument, the shell's own name in $0.
        {"echo \"$0\" \"$#\"; echo 'Application'' ''Support'", "/bin/bash 0\nApplication Support\n", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(daemon::ZQShellExcuteManager::excuteCmd(processes, c.command), c.output) << c.command;
        EXPECT_EQ(daemon::ZQShellExcuteManager::excuteRMCmd(processes, c.command), c.status) << c.command;
    }
}

TEST_F(ShellTest, AShellThatCannotStartGivesNothingAnd100) {
    linux_backend::PosixProcesses missing("/nonexistent/bash");
    EXPECT_FALSE(daemon::ZQShellExcuteManager::excuteCmd(missing, "echo hi"));
    EXPECT_EQ(daemon::ZQShellExcuteManager::excuteRMCmd(missing, "echo hi"), 100);
}

TEST_F(ShellTest, LargeOutputIsReadWholeBeforeTheWait) {
    // Far beyond a pipe's capacity: waiting before reading would deadlock.
    const auto output =
        daemon::ZQShellExcuteManager::excuteCmd(processes, "head -c 1048576 /dev/zero | tr '\\0' 'x'; exit 2");
    ASSERT_TRUE(output);
    EXPECT_EQ(output->size(), 1048576u);
    EXPECT_EQ(output->find_first_not_of('x'), std::string::npos);
}

TEST_F(ShellTest, ADetachedProgramRunsWithoutBeingWaitedForAndAMissingOneFails) {
    EXPECT_FALSE(processes.spawnDetached("/nonexistent/open", {"-n", "/Applications/None.app"}));
    EXPECT_FALSE(processes.spawnDetached("", {}));

    const TempDir folder;
    const fs::path done = folder.path() / "done";
    ASSERT_TRUE(processes.spawnDetached("/bin/sh", {"-c", "printf started > '" + done.string() + ".tmp' && mv '" +
                                                              done.string() + ".tmp' '" + done.string() + "'"}));
    EXPECT_TRUE(waitUntil([&] { return readFile(done) == "started"; }));
    // Nobody here waits for it, yet it must not linger as a zombie once it has ended.
    EXPECT_TRUE(waitUntil([] { return zombieChildren() == 0; }));
}

}  // namespace
}  // namespace wattkeeper::testkit
