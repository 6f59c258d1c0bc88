// The daemon as a process of its own on a private bus, against the virtual Mac, driven by
// wattctl and a bus client as the main application would drive it.

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
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
    ::kill(*daemon, SIGTERM);
    ASSERT_TRUE(daemonEnded(30s));
    const auto stopped = ctl({"--timeout", "1", "status"});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_EQ(stopped.output, "the daemon does not answer: is it running?\n");
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

// A life of the daemon under the virtual Mac's launchd, with the job file that ships: what is
// done to it while it forces discharge, and what is left afterwards, seen from outside.
struct Life {
    const char* name;
    std::function<void(DaemonFixture&)> act;
    std::string_view reply;  // the one reply the act brings; empty: none
    std::size_t daemons;     // processes running the daemon's program afterwards
    bool bundle;             // afterwards, in the virtual root
    bool jobFile;
    const char* job;  // what `launchctl print` says of the job afterwards
};

void PrintTo(const Life& life, std::ostream* os) { *os << life.name; }

class Lifecycle : public DaemonFixture, public ::testing::WithParamInterface<Life> {};

TEST_P(Lifecycle, EndsWithTheProcessesFilesKeysAndJobItShould) {
    const Life& life = GetParam();
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(vm({"charge", "85"}).status, 0);
    ASSERT_EQ(ctl({"on"}).status, 0);
    ASSERT_TRUE(keysBecome("2 2 1", Nudge::Heartbeats)) << keys();

    life.act(*this);
    ASSERT_FALSE(HasFatalFailure());
    // The daemon that was there has ended in every life; what took its place, if anything, counts.
    EXPECT_TRUE(daemonEnded(30s));
    EXPECT_TRUE(waitUntil([&] { return daemonProcesses() == life.daemons; }, 30s)) << readFile(daemonLog);
    EXPECT_TRUE(waitUntil([&] { return (life.reply.empty() ? 1u : client->count(life.reply)) == 1u; }));
    EXPECT_EQ(fs::exists(bundle), life.bundle);
    EXPECT_EQ(fs::exists(jobFile), life.jobFile);
    const auto print = launchctl({"print", "system/" + std::string(protocol::HelperLabel)});
    EXPECT_NE(print.output.find(life.job), std::string::npos) << print.output;
    // What is left answers and holds nothing (it starts with charge control off); else nobody answers.
    const auto answers = [&] { return answer(protocol::kQueryDeamonLoadStatus).has_value(); };
    EXPECT_EQ(waitUntil(answers, life.daemons == 1 ? 30s : 0s), life.daemons == 1);
    EXPECT_TRUE(keysBecome("0 0 0", Nudge::ThenRest)) << keys();
}

// The first instance ends with EX_TEMPFAIL and launchd starts the next once its throttle allows;
// launchd's SIGTERM ends that one, handing charging back.
void loseTheBus(DaemonFixture& f) {
    const pid_t first = *f.daemon;
    f.client.reset();
    f.bus->restart();
    f.client.emplace(f.bus->address());
    // Under the address sanitizer the exit includes the leak check, which takes its time.
    ASSERT_TRUE(f.daemonEnded(30s));
    ASSERT_TRUE(waitUntil([&] { return (f.daemon = f.jobPid()) && *f.daemon != first; }, 30s));
    ASSERT_TRUE(waitUntil([&] { return f.answer(protocol::kQueryDeamonLoadStatus).has_value(); }, 30s));
    const auto print = f.launchctl({"print", "system/" + std::string(protocol::HelperLabel)});
    EXPECT_NE(print.output.find("last exit code = 75\n"), std::string::npos) << print.output;
    ASSERT_EQ(f.vm({"charge", "85"}).status, 0);  // the machine on the new bus starts afresh
    f.client->post(protocol::kOpenSMC);
    ASSERT_TRUE(f.keysBecome("2 2 1", DaemonFixture::Nudge::Heartbeats)) << f.keys();
    ::kill(*f.daemon, SIGTERM);
    ASSERT_TRUE(f.daemonEnded(30s));
}

// The job file was damaged after it was loaded, so launchctl cannot unload it.
void uninstallWithAFailingUnload(DaemonFixture& f) {
    std::ofstream(f.jobFile) << "<plist version=\"1.0\"><dict><key>Label</key><string>";
    f.client->post(protocol::kUninstallHelper);
}

INSTANTIATE_TEST_SUITE_P(
    UnderLaunchd, Lifecycle,
    ::testing::Values(
        // launchd stops the daemon inside its own unload, which finishes the uninstall.
        Life{"Uninstall", [](DaemonFixture& f) { f.client->post(protocol::kUninstallHelper); },
             protocol::kReplyUninstallHelper, 0, false, false, "Could not find service"},
        // The job file stays; the daemon ends, and launchd starts nothing from the removed bundle.
        Life{"UninstallWhoseUnloadFails", uninstallWithAFailingUnload, protocol::kReplyUninstallHelper, 0, false, true,
             "state = not running\n\tlast exit code = 0\n"},
        // The instance `open -n` started is the only one: launchd leaves an end with status 0 alone.
        Life{"Restart", [](DaemonFixture& f) { f.client->post(protocol::kRestart); }, protocol::kReplyRestart, 1, true,
             true, "state = not running\n\tlast exit code = 0\n"},
        Life{"LostBus", loseTheBus, {}, 0, true, true, "state = not running\n\tlast exit code = 0\n"}),
    [](const ::testing::TestParamInfo<Life>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wattkeeper::testkit
