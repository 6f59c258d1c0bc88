#include <chrono>

#include "tests/unit/daemon_fixture.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
int intAt(const PlistDictionary& payload, std::string_view key) {
    const PlistValue* v = payload.find(key);
    return v && v->asInteger() ? static_cast<int>(*v->asInteger()) : -1;
}

TEST_F(DaemonTest, EveryReplyingRequestIsAnsweredWithItsNameAndPayloadWithControlOffAndOn) {
    struct Case {
        std::string_view request;
        std::string_view reply;
        PlistDictionary off, on;
    };
    const PlistDictionary done{{"result", "处理完成"}}, loaded{{"status", 1}, {"version", "0.1.0"}};
    const Case cases[] = {
        {protocol::kQuerySMCOpenCloseStatus,
         protocol::kReplyQuerySMCOpenCloseStatus,
         {{"smcStatus", 0}},
         {{"smcStatus", 1}}},
        {protocol::kQuerySMCChargingStatus,
         protocol::kReplyQuerySMCChargingStatus,
         {{"chargingStatus", 0}, {"dischargingStatus", 0}},
         {{"chargingStatus", 1}, {"dischargingStatus", 1}}},
        {protocol::kGetBatteryInfo, protocol::kReplySmcState, done, done},
        {protocol::kQueryDeamonLoadStatus, protocol::kReplyDeamonLoadStatus, loaded, loaded},
        {protocol::kHeart,
         protocol::kHeart,
         {{"smcStatus", 0}, {"smcTimerActive", 1}},
         {{"smcStatus", 1}, {"smcTimerActive", 1}}},
    };
    start();
    for (const bool on : {false, true}) {
        if (on) request(protocol::kOpenSMC);
        setKeys(0, 0, 1);
        for (const auto& c : cases) {
            distributed.clearPosts();
            request(c.request);
            ASSERT_EQ(replies().size(), 1u) << c.request;
            EXPECT_EQ(replies()[0].name, c.reply);
            EXPECT_EQ(replies()[0].userInfo, on ? c.on : c.off) << c.request;
        }
    }
    // Not root, and a bundle without a version.
    system.setEffectiveUserId(501);
    bundles.setMainBundle(std::make_shared<testkit::FakeBundle>(kDaemonBundle, PlistDictionary{}));
    distributed.clearPosts();
    request(protocol::kQueryDeamonLoadStatus);
    EXPECT_EQ(replies().at(0).userInfo, (PlistDictionary{{"status", 0}}));
}

TEST_F(DaemonTest, RequestsWithoutAReplyAndUnknownNamesPostNothingAndSleepAndWakeRequestsChangeNothing) {
    start();
    for (std::string_view name :
         {protocol::kOpenSMC, protocol::kSleep, protocol::kLimitChange, protocol::kCloseSMC, protocol::kWake,
          std::string_view("ZQAmperly_TellDeamon_Unknown"), std::string_view("")}) {
        request(name);
        loop.advance(5s);
        EXPECT_TRUE(replies().empty()) << name;
        EXPECT_TRUE(module->isWake) << name;
    }
}

TEST_F(DaemonTest, SwitchRequestsAreAnsweredFromReadsTakenBeforeTheDelayedWritesLand) {
    startControlling();
    struct Case {
        std::string_view request;
        Keys before;
        int chargingStatus, dischargingStatus;
        Keys settled;
    };
    const Case cases[] = {
        // Charging allowed only half a second later; discharging off at once.
        {protocol::kEnableCharging, {2, 2, 1}, 0, 0, {0, 0, 0}},
        {protocol::kDisableCharging, {0, 0, 0}, 0, 0, {2, 2, 0}},
        {protocol::kEnableDischarging, {2, 2, 0}, 0, 1, {2, 2, 1}},
        {protocol::kDisableDischarging, {2, 2, 1}, 0, 0, {2, 2, 0}},
    };
    for (const auto& c : cases) {
        setKeys(c.before.ch0b, c.before.ch0c, c.before.ch0i);
        distributed.clearPosts();
        request(c.request);
        const auto posted = replies();
        ASSERT_EQ(posted.size(), 1u) << c.request;
        EXPECT_EQ(posted[0].name, protocol::kReplyQuerySMCChargingStatus);
        EXPECT_EQ(intAt(*posted[0].userInfo, "chargingStatus"), c.chargingStatus) << c.request;
        EXPECT_EQ(intAt(*posted[0].userInfo, "dischargingStatus"), c.dischargingStatus) << c.request;
        loop.advance(1s);
        EXPECT_EQ(keys(), c.settled) << c.request;
    }
}

TEST_F(DaemonTest, ForcedDischargeIsRefusedWhileAsleep) {
    startControlling();
    setKeys(2, 2, 1);
    module->setMacSleep();
    request(protocol::kEnableDischarging);
    EXPECT_EQ(keys().ch0i, 0);
}

TEST_F(DaemonTest, OpenAndCloseSwitchChargeControlAndTheConnection) {
    start();
    request(protocol::kOpenSMC);
    EXPECT_TRUE(module->cmcSwitch);
    EXPECT_EQ(driver.openConnectionCount(), 1u);
    request(protocol::kLimitChange);  // evaluations now act and record it
    EXPECT_TRUE(module->cmcOpen);
    request(protocol::kCloseSMC);
    EXPECT_FALSE(module->cmcSwitch);
    loop.advance(1499ms);
    EXPECT_EQ(driver.openConnectionCount(), 1u);
    loop.advance(1ms);
    EXPECT_EQ(driver.openConnectionCount(), 0u);
    loop.advance(20s);  // the timer's evaluation too leaves it closed while control is off
    request(protocol::kLimitChange);
    EXPECT_FALSE(module->cmcOpen);
    EXPECT_EQ(driver.openConnectionCount(), 0u);
}

TEST_F(DaemonTest, AnOpenWithinTheCloseDelayKeepsTheConnection) {
    startControlling();
    request(protocol::kCloseSMC);
    loop.advance(1s);
    request(protocol::kOpenSMC);
    loop.advance(5s);
    EXPECT_TRUE(module->smcManager->getcmcStatus());
    EXPECT_TRUE(module->cmcSwitch);
}

TEST_F(DaemonTest, ChargingThatStaysInhibitedIsRetriedTwiceThenClosedRegardless) {
    startControlling();
    store.addKey("CH0B", "ui8 ", {2}, /*writable=*/false);  // the controller ignores our writes
    log.clear();
    request(protocol::kCloseSMC);
    loop.advance(1500ms);
    EXPECT_EQ(logCount("quill开启充电， 关闭放电"), 3u);
    EXPECT_EQ(driver.openConnectionCount(), 1u);
    request(protocol::kOpenSMC);  // too late: the last close is unconditional
    EXPECT_EQ(driver.openConnectionCount(), 1u) << "the open connection is kept, not a second opened";
    loop.advance(1499ms);
    EXPECT_EQ(driver.openConnectionCount(), 1u);
    loop.advance(1ms);
    EXPECT_FALSE(module->smcManager->getcmcStatus());
}

TEST_F(DaemonTest, UninstallClosesChargeControlFirstAndRemovesTheDaemonAfterTwoAndAHalfSeconds) {
    startControlling();
    request(protocol::kUninstallHelper);
    EXPECT_FALSE(module->cmcSwitch);
    loop.advance(1500ms);
    EXPECT_EQ(driver.openConnectionCount(), 0u);  // the first check closed it
    loop.advance(999ms);
    EXPECT_TRUE(processes.commands().empty());
    loop.advance(1ms);
    EXPECT_FALSE(processes.commands().empty());
}

class UninstallTest : public DaemonTest {
protected:
    const std::string label{protocol::HelperLabel};
    const std::string listing = "launchctl list | grep " + label;
    const std::string removeBundle = "rm -rf /Library/Application' 'Support/Halvorn/Battery/Wattkeeper.app";
    const std::string unload = "launchctl unload /Library/LaunchDaemons/" + label + ".plist";
    const std::string removeJob = "rm -f /Library/LaunchDaemons/" + label + ".plist";
};

// Records how many replies had gone out when each command started.
class OrderWatchingProcesses : public testkit::FakeProcesses {
public:
    explicit OrderWatchingProcesses(testkit::MemoryNotificationCenter& center) : center_(center) {}
    std::optional<ShellResult> runShell(std::string_view commandLine) override {
        repliesBefore.push_back(center_.posts().size());
        return FakeProcesses::runShell(commandLine);
    }
    std::vector<std::size_t> repliesBefore;

private:
    testkit::MemoryNotificationCenter& center_;
};

TEST_F(UninstallTest, RunsTheCommandLinesOfItsBranchAndRepliesAfterTheListingBeforeAnythingIsRemoved) {
    struct Case {
        const char* name;
        std::optional<ShellResult> listingResult;
        std::optional<ShellResult> unloadResult;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"loaded",
         ShellResult{"123\t0\t" + label + "\n", 0},
         ShellResult{"", 0},
         {listing, removeBundle, unload, removeJob}},
        {"loaded under a longer label",
         ShellResult{"-\t0\t" + label + ".extra\n", 0},
         ShellResult{"", 0},
         {listing, removeBundle, unload, removeJob}},
        {"unload fails", ShellResult{label, 0}, ShellResult{"", 1}, {listing, removeBundle, unload}},
        {"not loaded", ShellResult{"", 1}, ShellResult{"", 0}, {listing, removeBundle, removeJob}},
        {"listing cannot start", std::nullopt, ShellResult{"", 0}, {listing, removeBundle, removeJob}},
    };
    for (const auto& c : cases) {
        OrderWatchingProcesses shell(distributed);
        ports.processes = &shell;
        start();
        shell.script(listing, c.listingResult);
        shell.script(unload, c.unloadResult);
        distributed.clearPosts();
        module->removeDaemonHelper();
        EXPECT_EQ(shell.commands(), c.expected) << c.name;
        std::vector<std::size_t> order(c.expected.size(), 1);
        order[0] = 0;
        EXPECT_EQ(shell.repliesBefore, order) << c.name;
        ASSERT_EQ(replies().size(), 1u) << c.name;
        EXPECT_EQ(replies()[0].name, protocol::kReplyUninstallHelper);
        EXPECT_EQ(*replies()[0].userInfo, (PlistDictionary{{"uninstallSelf", 1}}));
        module.reset();
        ports.processes = &processes;
    }
}

TEST_F(UninstallTest, LaterRequestsAreAnsweredAndRunNothingAgain) {
    startControlling();
    request(protocol::kUninstallHelper);
    const std::pair<const char*, Duration> later[] = {{"while it runs", 1s}, {"after it finished", 2s}};
    for (const auto& [when, wait] : later) {
        loop.advance(wait);
        request(protocol::kOpenSMC);  // a second close would switch it off again
        distributed.clearPosts();
        request(protocol::kUninstallHelper);
        ASSERT_EQ(replies().size(), 1u) << when;
        EXPECT_EQ(replies()[0].name, protocol::kReplyUninstallHelper);
        EXPECT_EQ(*replies()[0].userInfo, (PlistDictionary{{"uninstallSelf", 1}}));
        EXPECT_TRUE(module->cmcSwitch) << when;
    }
    loop.advance(10s);
    EXPECT_EQ(processes.commands(), (std::vector<std::string>{listing, removeBundle, removeJob}));
}

TEST_F(DaemonTest, RestartStaysUpWhenNoNewInstanceCanStart) {
    processes.setSpawnSucceeds(false);
    start();
    request(protocol::kRestart);
    EXPECT_TRUE(replies().empty());
    EXPECT_TRUE(processes.exits().empty());
    EXPECT_EQ(logCount("restart: could not start /usr/bin/open; staying up", true), 1u);
}

// With a usable connection the keys are handed back first (the end-to-end test shows it).
TEST_F(DaemonTest, TerminationWithTheConnectionClosedWritesNothingAndExits) {
    start();
    setKeys(2, 2, 1);
    loop.requestTermination();
    loop.runUntilIdle();
    EXPECT_TRUE(store.writes().empty());
    EXPECT_EQ(processes.exits(), std::vector<int>{0});
}

}  // namespace
}  // namespace wattkeeper::testkit
