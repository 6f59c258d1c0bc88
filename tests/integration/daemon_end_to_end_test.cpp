// The daemon as a process of its own on a private bus, against the virtual Mac, driven by
// dbus-send and wattctl and watched through dbus-monitor.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "protocol/config.h"
#include "protocol/names.h"
#include "tests/integration/daemon_fixture_e2e.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;
namespace names = protocol;

// Driven by dbus-send and wattctl and watched through dbus-monitor, as any bus client would.
class EndToEnd : public DaemonFixture {};

TEST_F(EndToEnd, EveryRequestIsAnsweredAsAnyBusClientSeesIt) {
    struct Case {
        std::string_view request;
        std::vector<std::string> replyNames;
        std::map<std::string, std::string> entries;  // of the first reply
    };
    post(names::kOpenSMC);
    const Case cases[] = {
        {names::kQuerySMCOpenCloseStatus, {std::string(names::kReplyQuerySMCOpenCloseStatus)}, {{"smcStatus", "int32 1"}}},
        {names::kQuerySMCChargingStatus, {std::string(names::kReplyQuerySMCChargingStatus)},
         {{"chargingStatus", "int32 1"}, {"dischargingStatus", "int32 0"}}},
        {names::kGetBatteryInfo, {std::string(names::kReplySmcState)}, {{"result", "string \"处理完成\""}}},
        {names::kQueryDeamonLoadStatus, {std::string(names::kReplyDeamonLoadStatus)},
         {{"status", "int32 1"}, {"version", "string \"0.1.0\""}}},
        {names::kHeart, {std::string(names::kHeart)}, {{"smcStatus", "int32 1"}, {"smcTimerActive", "int32 1"}}},
        {names::kDisableCharging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kEnableCharging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kEnableDischarging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kDisableDischarging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kOpenSMC, {}, {}},
        {names::kLimitChange, {}, {}},
        {names::kSleep, {}, {}},
        {names::kWake, {}, {}},
        {"ZQAmperly_TellDeamon_NoSuchRequest", {}, {}},
        {names::kCloseSMC, {}, {}},
    };
    for (const auto& c : cases) {
        const auto seen = repliesTo(c.request);
        std::vector<std::string> seenNames;
        for (const auto& s : seen) seenNames.push_back(s.name);
        EXPECT_EQ(seenNames, c.replyNames) << c.request;
        if (!c.entries.empty() && !seen.empty()) {
            EXPECT_EQ(seen[0].entries, c.entries) << c.request;
        }
    }
}

TEST_F(EndToEnd, TheLimitIsHeldWithTheLidAndSleepRules) {
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(ctl({"on"}).status, 0);
    struct Step {
        std::vector<std::string> command;
        std::string keys;
    };
    const Step steps[] = {
        {{"charge", "79"}, "0 0 0"},   // below: charging
        {{"charge", "80"}, "2 2 0"},   // at: the adapter carries the load
        {{"charge", "85"}, "2 2 1"},   // above: forced discharge
        {{"lid", "close"}, "2 2 0"},   // not with the lid closed
        {{"lid", "open"}, "2 2 1"},
        {{"sleep"}, "2 2 0"},          // nor asleep
        {{"charge", "70"}, "2 2 0"},   // asleep below the limit: no charging either
        {{"wake"}, "0 0 0"},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(vm(step.command).status, 0);
        EXPECT_TRUE(keysBecome(step.keys)) << step.command[0] << ": " << keys() << " instead of " << step.keys;
    }
}

TEST_F(EndToEnd, RestartDuringForcedDischargeHandsChargingBackAndLeavesANewInstance) {
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(ctl({"on"}).status, 0);
    ASSERT_EQ(vm({"charge", "85"}).status, 0);
    ASSERT_TRUE(keysBecome("2 2 1"));
    post(names::kRestart);
    // Under the address sanitizer the exit includes the leak check, which takes its time.
    const auto status = daemon->waitExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    // The new instance starts with charge control off: nobody would end forced discharge.
    EXPECT_EQ(keys(), "0 0 0");
    EXPECT_TRUE(waitUntil([&] { return !readFile(pidFile).empty(); }));
    // The new instance needs a moment to come up (longer under the sanitizers).
    std::vector<Seen> seen;
    EXPECT_TRUE(waitUntil([&] {
        seen = repliesTo(names::kQueryDeamonLoadStatus);
        return seen.size() == 1;
    }, 30s));
    ASSERT_EQ(seen.size(), 1u) << readFile(work.path() / "restarted.log");
    EXPECT_EQ(seen[0].entries.at("status"), "int32 1");
    EXPECT_TRUE(keysRestAt("0 0 0")) << keys();
    bool announced = false;
    for (const auto& s : replies()) announced |= s.name == names::kReplyRestart;
    EXPECT_TRUE(announced);
}

TEST_F(EndToEnd, ControlSwitchedOffRightAfterALimitChangeLeavesNoForcedDischargeBehind) {
    replaceFile(limitFile(), limitPlist(90));
    ASSERT_EQ(ctl({"on"}).status, 0);
    ASSERT_EQ(vm({"charge", "85"}).status, 0);
    ASSERT_TRUE(keysSettleTo("0 0 0")) << keys();
    // The evaluation of the new limit forces discharge half a second after it; the close
    // request comes before that.
    replaceFile(limitFile(), limitPlist(80));
    post(names::kLimitChange);
    post(names::kCloseSMC);
    EXPECT_TRUE(keysRestAt("0 0 0")) << keys();
    const auto status = repliesTo(names::kQuerySMCChargingStatus);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].entries.at("dischargingStatus"), "int32 0");
}

TEST_F(EndToEnd, UninstallRepliesThenRemovesTheDaemonFromTheVirtualRootOnly) {
    ASSERT_FALSE(fs::exists("/Library/LaunchDaemons/" + std::string(protocol::HelperLabel) + ".plist"));
    post(names::kUninstallHelper);
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(jobFile) && !fs::exists(bundle); }, 10s));
    bool replied = false;
    for (const auto& s : replies()) {
        if (s.name == names::kReplyUninstallHelper) {
            replied = true;
            EXPECT_EQ(s.entries.at("uninstallSelf"), "int32 1");
        }
    }
    EXPECT_TRUE(replied);
    EXPECT_FALSE(fs::exists("/Library/Application Support/Halvorn"));
}

TEST_F(EndToEnd, TerminationBySupervisorHandsChargingBackBeforeExiting) {
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(ctl({"on"}).status, 0);
    ASSERT_EQ(vm({"charge", "85"}).status, 0);
    ASSERT_TRUE(keysBecome("2 2 1"));  // forced discharge on, charging inhibited
    ::kill(daemon->pid(), SIGTERM);
    const auto status = daemon->waitExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(keys(), "0 0 0");
}

TEST_F(EndToEnd, WattctlStatusAnswersWhileTheDaemonRunsAndSaysSoWhenItDoesNot) {
    const auto running = ctl({"status"});
    EXPECT_EQ(running.status, 0) << running.output;
    EXPECT_NE(running.output.find("Daemon version: 0.1.0"), std::string::npos) << running.output;
    daemon.reset();
    const auto stopped = ctl({"--timeout", "1", "status"});
    EXPECT_NE(stopped.status, 0);
    EXPECT_NE(stopped.output.find("the daemon does not answer: is it running?"), std::string::npos)
        << stopped.output;
}

}  // namespace
}  // namespace wattkeeper::testing
