// The daemon as a process of its own on a private bus, against the virtual Mac, driven by
// wattctl and a bus client as the main application would drive it.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "protocol/config.h"
#include "protocol/names.h"
#include "tests/integration/daemon_fixture_e2e.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;
class EndToEnd : public DaemonFixture {};

// Each kind of reply once across the bus; which request gets which reply is the unit tests'.
TEST_F(EndToEnd, EachKindOfReplyArrivesAcrossTheBus) {
    struct Case {
        std::string_view request;
        std::vector<std::string_view> replyNames;
        PlistDictionary payload;  // of the first reply; empty: not looked at
    };
    client->post(protocol::kOpenSMC);
    const Case cases[] = {
        {protocol::kQuerySMCOpenCloseStatus, {protocol::kReplyQuerySMCOpenCloseStatus}, {{"smcStatus", 1}}},
        {protocol::kQuerySMCChargingStatus,
         {protocol::kReplyQuerySMCChargingStatus},
         {{"chargingStatus", 1}, {"dischargingStatus", 0}}},
        {protocol::kGetBatteryInfo, {protocol::kReplySmcState}, {{"result", "处理完成"}}},
        {protocol::kQueryDeamonLoadStatus, {protocol::kReplyDeamonLoadStatus}, {{"status", 1}, {"version", "0.1.0"}}},
        {protocol::kHeart, {protocol::kHeart}, {{"smcStatus", 1}, {"smcTimerActive", 1}}},
        {protocol::kDisableCharging, {protocol::kReplyQuerySMCChargingStatus}, {}},
        {"ZQAmperly_TellDeamon_NoSuchRequest", {}, {}},
        {protocol::kCloseSMC, {}, {}},
    };
    for (const auto& c : cases) {
        const auto seen = client->ask(c.request);
        ASSERT_TRUE(seen) << c.request;
        std::vector<std::string_view> seenNames;
        for (const auto& s : *seen) seenNames.push_back(s.name);
        EXPECT_EQ(seenNames, c.replyNames) << c.request;
        if (!c.payload.empty() && !seen->empty()) {
            EXPECT_EQ(seen->front().payload, c.payload) << c.request;
        }
    }
}

TEST_F(EndToEnd, TheLimitIsHeldWithTheLidAndSleepRulesAndWattctlShowsIt) {
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(ctl({"on"}).status, 0);
    struct Step {
        std::vector<std::string> command;
        std::string keys;
    };
    const Step steps[] = {
        {{"charge", "79"}, "0 0 0"},                        // below: charging
        {{"charge", "80"}, "2 2 0"},                        // at: the adapter carries the load
        {{"charge", "85"}, "2 2 1"},                        // above: forced discharge
        {{"lid", "close"}, "2 2 0"},                        // not with the lid closed
        {{"lid", "open"}, "2 2 1"},  {{"sleep"}, "2 2 0"},  // nor asleep
        {{"charge", "70"}, "2 2 0"},                        // asleep below the limit: no charging either
        {{"wake"}, "0 0 0"},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(vm(step.command).status, 0);
        EXPECT_TRUE(keysBecome(step.keys)) << step.command[0] << ": " << keys() << " instead of " << step.keys;
    }
    // wattctl, as a person runs it, shows the daemon's answers and the virtual Mac's battery, or
    // says that nobody answers.
    const std::string status = ctl({"status"}).output;
    for (const char* line : {"Daemon running as root: yes", "Daemon version: 0.1.0", "Heartbeat: answered",
                             "SMC connection: usable", "Charge-limit timer: active", "Charging: allowed",
                             "Forced discharge: off", "Power adapter: connected", "Charge limit: 80%"}) {
        EXPECT_NE(status.find(std::string(line) + "\n"), std::string::npos) << line << " in\n" << status;
    }
    daemon.reset();
    const auto stopped = ctl({"--timeout", "1", "status"});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_EQ(stopped.output, "the daemon does not answer: is it running?\n");
}

// SIGTERM from the supervisor, then a restart: each during forced discharge.
TEST_F(EndToEnd, AControlledEndHandsChargingBackAndARestartLeavesANewInstance) {
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(vm({"charge", "85"}).status, 0);
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "restart" : "SIGTERM");
        if (restart) startDaemon();
        ASSERT_EQ(ctl({"on"}).status, 0);
        ASSERT_TRUE(keysBecome("2 2 1", Nudge::Heartbeats));
        if (restart) {
            client->post(protocol::kRestart);
        } else {
            ::kill(daemon->pid(), SIGTERM);
        }
        // Under the address sanitizer the exit includes the leak check, which takes its time.
        const auto status = daemon->waitExit(30s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        EXPECT_EQ(keys(), "0 0 0");
    }
    EXPECT_EQ(client->count(protocol::kReplyRestart), 1u);
    // The new instance starts with charge control off: nobody would end forced discharge.
    EXPECT_TRUE(waitUntil([&] { return !readFile(pidFile).empty(); }));
    EXPECT_TRUE(waitUntil([&] { return answer(protocol::kQueryDeamonLoadStatus).has_value(); }, 30s))
        << readFile(work.path() / "restarted.log");
    EXPECT_TRUE(keysBecome("0 0 0", Nudge::ThenRest)) << keys();
}

TEST_F(EndToEnd, ControlSwitchedOffRightAfterALimitChangeLeavesNoForcedDischargeBehind) {
    replaceFile(limitFile(), limitPlist(90));
    ASSERT_EQ(ctl({"on"}).status, 0);
    ASSERT_EQ(vm({"charge", "85"}).status, 0);
    ASSERT_TRUE(keysBecome("0 0 0", Nudge::Heartbeats)) << keys();
    // The evaluation of the new limit forces discharge half a second after it; the close
    // request comes before that.
    replaceFile(limitFile(), limitPlist(80));
    client->post(protocol::kLimitChange);
    client->post(protocol::kCloseSMC);
    EXPECT_TRUE(keysBecome("0 0 0", Nudge::ThenRest)) << keys();
    const auto status = answer(protocol::kQuerySMCChargingStatus);
    ASSERT_TRUE(status);
    EXPECT_EQ(payloadInteger(*status, protocol::kKeyDischargingStatus), 0);
}

TEST_F(EndToEnd, UninstallRepliesThenRemovesTheDaemonFromTheVirtualRootOnly) {
    ASSERT_FALSE(fs::exists("/Library/LaunchDaemons/" + std::string(protocol::HelperLabel) + ".plist"));
    client->post(protocol::kUninstallHelper);
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(jobFile) && !fs::exists(bundle); }, 10s));
    EXPECT_EQ(client->count(protocol::kReplyUninstallHelper), 1u);
    EXPECT_FALSE(fs::exists("/Library/Application Support/Halvorn"));
}

}  // namespace
}  // namespace wattkeeper::testkit
