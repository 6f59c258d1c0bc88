#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>

#include "tests/unit/daemon_fixture.h"

namespace wattkeeper::testing {
namespace {

using namespace std::chrono_literals;

struct Situation {
    const char* name;
    std::function<void(DaemonTest&)> arrange;  // runs after start, before the evaluation
    DaemonTest::Keys before;
    DaemonTest::Keys after;
};

void PrintTo(const Situation& s, std::ostream* os) { *os << s.name; }

class SwitchStateTable : public DaemonTest, public ::testing::WithParamInterface<Situation> {};

void limit80charge(DaemonTest& t, std::int64_t charge) {
    t.request(protocol::kOpenSMC);
    t.setLimit(80);
    t.module->battery.CurrentCapacity = charge;
}

// Each situation starts from the given keys, runs one evaluation, and looks 1.5 s later.
TEST_P(SwitchStateTable, OneEvaluationLeavesTheSwitchesAsTheSituationRequires) {
    const Situation& s = GetParam();
    start();
    s.arrange(*this);
    setKeys(s.before.ch0b, s.before.ch0c, s.before.ch0i);
    store.clearHistory();
    module->quillCmcCountTime();
    loop.advance(1500ms);
    EXPECT_EQ(keys(), s.after);
}

const auto awake = [](DaemonTest&) {};
const auto lidClosed = [](DaemonTest& t) { t.system.setClamshellState(true); };
const auto asleep = [](DaemonTest& t) { t.module->setMacSleep(); };

INSTANTIATE_TEST_SUITE_P(
    Situations, SwitchStateTable,
    ::testing::Values(
        Situation{"ControlOffWithConnectionOpen",
                  [](DaemonTest& t) {
                      ASSERT_EQ(SMC::shared().open(), 0);
                      t.setLimit(80);
                      t.module->battery.CurrentCapacity = 95;
                  },
                  {2, 2, 1}, {2, 2, 1}},
        Situation{"ConnectionNotUsable",
                  [](DaemonTest& t) {
                      t.driver.setServicePresent(false);
                      limit80charge(t, 95);
                  },
                  {2, 2, 1}, {2, 2, 1}},
        Situation{"NoLimitFileNorPreferences", [](DaemonTest& t) { t.request(protocol::kOpenSMC); }, {2, 2, 1},
                  {0, 0, 0}},
        Situation{"LimitFileWithoutTheKeyIgnoresPreferences",
                  [](DaemonTest& t) {
                      t.request(protocol::kOpenSMC);
                      t.files.putPlist(kLimitFile, PlistDictionary{{"Other", 1}});
                      t.files.putPlist(kPreferencesFile, PlistDictionary{{"ChargingLimit", 50}});
                      t.module->battery.CurrentCapacity = 90;
                  },
                  {2, 2, 1}, {0, 0, 0}},
        Situation{"PreferencesWhenNoLimitFile",
                  [](DaemonTest& t) {
                      t.request(protocol::kOpenSMC);
                      t.files.putPlist(kPreferencesFile, PlistDictionary{{"ChargingLimit", 50}});
                      t.module->battery.CurrentCapacity = 50;
                  },
                  {0, 0, 1}, {2, 2, 0}},
        Situation{"LimitNineMeansNoLimit",
                  [](DaemonTest& t) {
                      limit80charge(t, 50);
                      t.setLimit(9);
                  },
                  {2, 2, 1}, {0, 0, 0}},
        Situation{"NegativeLimitMeansNoLimit",
                  [](DaemonTest& t) {
                      limit80charge(t, 50);
                      t.setLimit(-20);
                  },
                  {2, 2, 0}, {0, 0, 0}},
        Situation{"LimitTenIsEnforced",
                  [](DaemonTest& t) {
                      limit80charge(t, 11);
                      t.setLimit(10);
                  },
                  {0, 0, 0}, {2, 2, 1}},
        Situation{"AboveLidOpenAwake", [](DaemonTest& t) { limit80charge(t, 81); }, {0, 0, 0}, {2, 2, 1}},
        Situation{"AboveLidClosedAwake",
                  [](DaemonTest& t) {
                      limit80charge(t, 81);
                      lidClosed(t);
                  },
                  {0, 0, 1}, {2, 2, 0}},
        Situation{"AboveLidClosedAsleep",
                  [](DaemonTest& t) {
                      limit80charge(t, 81);
                      lidClosed(t);
                      asleep(t);
                  },
                  {0, 0, 1}, {2, 2, 0}},
        Situation{"AboveLidOpenAsleep",
                  [](DaemonTest& t) {
                      limit80charge(t, 81);
                      asleep(t);
                  },
                  {0, 0, 1}, {2, 2, 0}},
        Situation{"AboveOnANotebookNamedLikeADesktopWithItsLidClosed",
                  [](DaemonTest& t) {
                      limit80charge(t, 90);
                      t.system.setModel("Mac14,2");
                      lidClosed(t);
                  },
                  {0, 0, 1}, {2, 2, 0}},
        Situation{"AboveOnADesktopWithoutAClamshell",
                  [](DaemonTest& t) {
                      limit80charge(t, 90);
                      t.system.setModel("Mac14,3");
                      t.system.setClamshellState(std::nullopt);
                  },
                  {0, 0, 0}, {2, 2, 1}},
        Situation{"AtTheLimit", [](DaemonTest& t) { limit80charge(t, 80); }, {0, 0, 1}, {2, 2, 0}},
        Situation{"BelowAwake", [](DaemonTest& t) { limit80charge(t, 79); }, {2, 2, 1}, {0, 0, 0}},
        Situation{"BelowAwakeLidClosed",
                  [](DaemonTest& t) {
                      limit80charge(t, 79);
                      lidClosed(t);
                  },
                  {2, 2, 0}, {0, 0, 0}},
        Situation{"BelowAsleep",
                  [](DaemonTest& t) {
                      limit80charge(t, 79);
                      asleep(t);
                  },
                  {0, 0, 1}, {2, 2, 0}},
        // "CH0B" of another type still reads, so the connection counts as usable, but its
        // status reads as 9: charging counts as already inhibited.
        Situation{"AboveWithFailedChargingReadSkipsDisablingCharging",
                  [](DaemonTest& t) {
                      limit80charge(t, 90);
                      t.store.addKey("CH0B", "ui16", {0, 0});
                  },
                  {0, 0, 0}, {0, 0, 1}},
        Situation{"BelowWithUnreadableDischargingKeyStillAllowsCharging",
                  [](DaemonTest& t) {
                      limit80charge(t, 50);
                      t.store.addKey("CH0I", "ui16", {0, 0});
                  },
                  {2, 2, 0}, {0, 0, 0}},
        Situation{"StringLimitReadAsANumber",
                  [](DaemonTest& t) {
                      limit80charge(t, 70);
                      t.setLimit(" 60%");
                  },
                  {0, 0, 0}, {2, 2, 1}},
        Situation{"NonNumericLimitMeansNoLimit",
                  [](DaemonTest& t) {
                      limit80charge(t, 90);
                      t.setLimit(PlistArray{80});
                  },
                  {2, 2, 1}, {0, 0, 0}},
        Situation{"MalformedLimitFileFallsBackToPreferences",
                  [](DaemonTest& t) {
                      limit80charge(t, 70);
                      t.files.putFile(kLimitFile, {'<', '?', 'x'});
                      t.files.putPlist(kPreferencesFile, PlistDictionary{{"ChargingLimit", 60}});
                  },
                  {0, 0, 0}, {2, 2, 1}},
        Situation{"UnreadableLimitFileFallsBackToPreferences",
                  [](DaemonTest& t) {
                      limit80charge(t, 70);
                      t.files.putUnreadable(kLimitFile);  // a FIFO, a device or a link
                      t.files.putPlist(kPreferencesFile, PlistDictionary{{"ChargingLimit", 60}});
                  },
                  {0, 0, 0}, {2, 2, 1}},
        Situation{"NobodyAtTheConsoleMeansNoLimit",
                  [](DaemonTest& t) {
                      limit80charge(t, 90);
                      t.system.setConsoleUser("loginWindow");
                  },
                  {2, 2, 1}, {0, 0, 0}}),
    [](const ::testing::TestParamInfo<Situation>& info) { return std::string(info.param.name); });

// What happens between and around decisions: each step acts, lets virtual time pass, and
// shows the keys; no write decided earlier may undo a later decision, and no end of the daemon
// leaves the Mac drained or kept from charging with nobody holding it.
struct Step {
    const char* what;
    std::function<void(DaemonTest&)> act;
    Duration then;
    DaemonTest::Keys keys;
};

struct Interleaving {
    const char* name;
    std::function<void(DaemonTest&)> arrange;  // runs after start, with the keys as they were
    std::vector<Step> steps;
};

void PrintTo(const Interleaving& i, std::ostream* os) { *os << i.name; }

class Interleavings : public DaemonTest, public ::testing::WithParamInterface<Interleaving> {};

TEST_P(Interleavings, LeaveTheKeysAsTheLastDecisionWants) {
    const Interleaving& c = GetParam();
    start();
    c.arrange(*this);
    for (const Step& step : c.steps) {
        step.act(*this);
        loop.advance(step.then);
        EXPECT_EQ(keys(), step.keys) << step.what;
    }
}

// Control on at 85 %, limit 80, the given keys, with nothing pending.
const auto controllingAbove = [](DaemonTest& t, DaemonTest::Keys keys) {
    t.setKeys(static_cast<std::uint8_t>(keys.ch0b), static_cast<std::uint8_t>(keys.ch0c),
              static_cast<std::uint8_t>(keys.ch0i));
    t.setLimit(80);
    t.module->battery.CurrentCapacity = 85;
    t.request(protocol::kOpenSMC);
};
// A crash, SIGKILL or power loss: the module goes without a word, a new instance starts.
const auto newInstance = [](DaemonTest& t) {
    t.module.reset();
    t.loop.discardPending();
    // The kernel closes a dead task's connection; the client is then as a new process's.
    SMC::shared().close();
    t.start();
};

INSTANTIATE_TEST_SUITE_P(
    Cases, Interleavings,
    ::testing::Values(
        Interleaving{"CloseRightAfterAnEvaluationThatForcedDischarge",
                     [](DaemonTest& t) {
                         t.setLimit(90);
                         t.module->battery.CurrentCapacity = 85;
                         t.request(protocol::kOpenSMC);
                     },
                     {{"the limit lowered", [](DaemonTest& t) {
                           t.setLimit(80);
                           t.request(protocol::kLimitChange);
                       }, 0ms, {2, 0, 0}},
                      {"charge control off at once", [](DaemonTest& t) { t.request(protocol::kCloseSMC); }, 500ms,
                       {0, 0, 0}},
                      {"the evaluation's forced discharge was due", [](DaemonTest&) {}, 1500ms, {0, 0, 0}},
                      {"the close check", [](DaemonTest& t) { EXPECT_FALSE(t.module->smcManager->isOpen()); }, 5s,
                       {0, 0, 0}}}},
        Interleaving{"CloseCheckEndsForcedDischargeLeftOnByASwitchRequest",
                     [](DaemonTest& t) { controllingAbove(t, {2, 2, 1}); },
                     {{"charge control off", [](DaemonTest& t) { t.request(protocol::kCloseSMC); }, 100ms, {2, 2, 0}},
                      {"forced discharge asked for", [](DaemonTest& t) { t.request(protocol::kEnableDischarging); },
                       0ms, {2, 2, 1}},
                      {"the close check", [](DaemonTest&) {}, 4s, {0, 0, 0}}}},
        Interleaving{"RestartDuringForcedDischarge", [](DaemonTest& t) { controllingAbove(t, {2, 2, 1}); },
                     {{"restart", [](DaemonTest& t) {
                           t.request(protocol::kRestart);
                           EXPECT_EQ(t.processes.exits(), std::vector<int>{0});
                       }, 0ms, {0, 0, 0}},
                      {"the new instance, control off", newInstance, 30s, {0, 0, 0}}}},
        Interleaving{"SupervisorEndsTheDaemonDuringHeldCharging", [](DaemonTest& t) { controllingAbove(t, {2, 2, 0}); },
                     {{"SIGTERM", [](DaemonTest& t) { t.module->handleTermination(); }, 0ms, {0, 0, 0}}}},
        Interleaving{"KilledDuringTheCloseThenStartedAgain", [](DaemonTest& t) { controllingAbove(t, {2, 2, 1}); },
                     {{"charge control off", [](DaemonTest& t) { t.request(protocol::kCloseSMC); }, 0ms, {2, 2, 0}},
                      {"killed before the delayed writes", newInstance, 0ms, {0, 0, 0}},
                      {"connection closed again, nothing pending", [](DaemonTest& t) {
                           EXPECT_FALSE(t.module->smcManager->isOpen());
                           const auto lines = t.log.systemLines();
                           EXPECT_EQ(std::count(lines.begin(), lines.end(),
                                                "started with charge control off and charging held or forced "
                                                "discharge on: forced discharge ended, charging allowed"),
                                     1);
                       }, 30s, {0, 0, 0}}}},
        Interleaving{"StartedAgainAfterAnEndThatLeftNothingHeld", [](DaemonTest&) {},
                     {{"a new instance", [](DaemonTest& t) {
                           t.store.clearHistory();
                           newInstance(t);
                           EXPECT_TRUE(t.store.writes().empty());
                           EXPECT_FALSE(t.module->smcManager->isOpen());
                       }, 30s, {0, 0, 0}}}},
        Interleaving{"LidClosedDuringForcedDischargeOnAMacNNNotebook",
                     [](DaemonTest& t) {
                         t.system.setModel("Mac14,2");
                         controllingAbove(t, {2, 2, 1});
                     },
                     {{"lid closed", [](DaemonTest& t) { t.system.moveLid(true); }, 500ms, {2, 2, 0}},
                      {"lid opened", [](DaemonTest& t) { t.system.moveLid(false); }, 500ms, {2, 2, 1}}}},
        Interleaving{"LidClosedBeforeADecidedForcedDischargeLands",
                     [](DaemonTest& t) { controllingAbove(t, {0, 0, 0}); },
                     {{"the evaluation", [](DaemonTest& t) { t.module->quillCmcCountTime(); }, 200ms, {2, 0, 0}},
                      {"lid closed", [](DaemonTest& t) { t.system.moveLid(true); }, 2s, {2, 2, 0}}}},
        Interleaving{"SleepAndWakeBelowTheLimitWriteEverythingBeforeTheHandlersReturn",
                     [](DaemonTest& t) {
                         controllingAbove(t, {0, 0, 1});
                         t.module->battery.CurrentCapacity = 70;
                     },
                     {{"will sleep", [](DaemonTest& t) { t.workspace.postWillSleep(); }, 0ms, {2, 2, 0}},
                      {"did wake", [](DaemonTest& t) { t.workspace.postDidWake(); }, 0ms, {0, 0, 0}}}},
        Interleaving{"SleepWhileTheTimersEvaluationStillSeesTheMacAwake",
                     [](DaemonTest& t) { controllingAbove(t, {2, 2, 0}); },
                     {{"will sleep, the timer deciding on forced discharge meanwhile", [](DaemonTest& t) {
                           t.system.duringNextClamshellRead([&t] {
                               t.module->smcManager->decide({2, 2, 1});
                               t.module->smcManager->enable_discharging();
                           });
                           t.workspace.postWillSleep();
                       }, 0ms, {2, 2, 0}}}},
        Interleaving{"SleepDuringForcedDischargeEndsItBeforeTheHandlerReturns",
                     [](DaemonTest& t) { controllingAbove(t, {2, 2, 1}); },
                     {{"will sleep", [](DaemonTest& t) { t.workspace.postWillSleep(); }, 0ms, {2, 2, 0}},
                      {"a switch decided before the sleep was due", [](DaemonTest&) {}, 2s, {2, 2, 0}}}}),
    [](const ::testing::TestParamInfo<Interleaving>& info) { return std::string(info.param.name); });

// The connection lost under a controlling daemon, with forced discharge left on below the limit.
struct LostConnection {
    const char* name;
    std::function<void(DaemonTest&)> lose;
    std::function<void(DaemonTest&)> restore;
    // Whether the evaluation during the loss can open a connection again.
    bool reopensAtOnce;
};

void PrintTo(const LostConnection& c, std::ostream* os) { *os << c.name; }

class LostConnections : public DaemonTest, public ::testing::WithParamInterface<LostConnection> {};

TEST_P(LostConnections, AreOpenedAgainByTheNextEvaluationWhileControlIsOn) {
    const LostConnection& c = GetParam();
    startControlling();
    setLimit(80);
    module->battery.CurrentCapacity = 60;
    setKeys(2, 2, 1);
    c.lose(*this);
    module->quillCmcCountTime();
    loop.advance(1500ms);
    EXPECT_EQ(module->cmcOpen, c.reopensAtOnce);
    EXPECT_EQ(keys(), c.reopensAtOnce ? (Keys{0, 0, 0}) : (Keys{2, 2, 1}));
    c.restore(*this);
    module->quillCmcCountTime();
    loop.advance(1500ms);
    EXPECT_TRUE(module->cmcOpen);
    EXPECT_EQ(keys(), (Keys{0, 0, 0}));
    EXPECT_EQ(driver.openConnectionCount(), 1u);
    const auto system = log.systemLines();
    EXPECT_EQ(std::count(system.begin(), system.end(), "the SMC connection was not usable: opened it again"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Losses, LostConnections,
    ::testing::Values(
        LostConnection{"ChargeKeyReadRefusedOnce",
                       [](DaemonTest& t) { t.store.failNextRead("CH0B", kIOReturnError); }, [](DaemonTest&) {}, true},
        LostConnection{"ClosedUnderTheDaemon", [](DaemonTest&) { SMC::shared().close(); }, [](DaemonTest&) {}, true},
        LostConnection{"ServiceGoneAndBack",
                       [](DaemonTest& t) {
                           SMC::shared().close();
                           t.driver.setServicePresent(false);
                       },
                       [](DaemonTest& t) { t.driver.setServicePresent(true); }, false},
        LostConnection{"OpenRefusedThenAllowed",
                       [](DaemonTest& t) {
                           SMC::shared().close();
                           t.driver.failServiceOpen(kIOReturnError);
                       },
                       [](DaemonTest& t) { t.driver.failServiceOpen(kKernSuccess); }, false}),
    [](const ::testing::TestParamInfo<LostConnection>& info) { return std::string(info.param.name); });

TEST_F(DaemonTest, AClosedConnectionIsLeftClosedWhileControlIsOff) {
    startControlling();
    request(protocol::kCloseSMC);
    loop.advance(5s);
    module->quillCmcCountTime();
    EXPECT_EQ(driver.openConnectionCount(), 0u);
    EXPECT_FALSE(module->cmcOpen);
}

TEST_F(DaemonTest, AtTheLimitWithChargingOnAndDischargingOnDisablesDischargingTwice) {
    startControlling();
    setLimit(80);
    module->battery.CurrentCapacity = 80;
    setKeys(0, 0, 1);
    log.clear();
    module->quillCmcCountTime();
    EXPECT_EQ(logCount("quill关闭充电"), 1u);
    EXPECT_EQ(logCount("quill关闭放电"), 0u);
    loop.advance(500ms);
    EXPECT_EQ(logCount("quill关闭放电"), 2u);
}

TEST_F(DaemonTest, TheTimerEvaluatesAtOnceThenEveryTwentySecondsOnTheGlobalQueue) {
    start();
    const auto timers = loop.timers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].queue, RunLoop::Queue::Global);
    EXPECT_EQ(timers[0].start, 0ns);
    EXPECT_EQ(timers[0].interval, 20s);
    EXPECT_EQ(timers[0].leeway, 100ms);
    EXPECT_EQ(timers[0].fireCount, 1);  // the first tick is due at once

    request(protocol::kOpenSMC);
    setLimit(80);
    module->battery.CurrentCapacity = 79;
    setKeys(2, 2, 0);
    loop.advance(19s);
    EXPECT_EQ(keys(), (Keys{2, 2, 0}));  // nothing evaluates until the next tick
    loop.advance(1s + 1500ms);
    EXPECT_EQ(keys(), (Keys{0, 0, 0}));
    EXPECT_TRUE(module->isCMCTimerActive());
}

TEST_F(DaemonTest, BeforeAnyOpenRequestEvaluationsTouchNoSwitch) {
    setLimit(80);
    powerSources.setSources(PowerSourceList{testkit::batteryDescription(95)});
    start();
    loop.advance(60s);
    powerSources.notify();
    workspace.postWillSleep();
    workspace.postDidWake();
    loop.advance(2s);
    EXPECT_TRUE(store.writes().empty());
    EXPECT_FALSE(module->cmcOpen);
}

TEST_F(DaemonTest, SleepAndWakeReevaluateUnderTheNewState) {
    startControlling();
    setLimit(80);
    setCharge(70);
    loop.advance(1500ms);
    EXPECT_EQ(keys(), (Keys{0, 0, 0}));
    workspace.postWillSleep();
    EXPECT_FALSE(module->isWake);
    loop.advance(1500ms);
    EXPECT_EQ(keys(), (Keys{2, 2, 0}));  // asleep: no charging below the limit
    workspace.postDidWake();
    loop.advance(1500ms);
    EXPECT_EQ(keys(), (Keys{0, 0, 0}));
}

TEST(ChargingLimit, IsReadFromNumbersAndNumericTextOnly) {
    struct Case {
        const char* name;
        std::optional<PlistValue> value;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"integer", PlistValue(80), 80},
        {"real", PlistValue(80.9), 80},
        {"negative real", PlistValue(-3.5), -3},
        {"huge real", PlistValue(1e300), std::numeric_limits<std::int64_t>::max()},
        {"not a number", PlistValue(std::nan("")), std::nullopt},
        {"text", PlistValue("75"), 75},
        {"text with blanks and sign", PlistValue("  +75"), 75},
        {"text with a tail", PlistValue("75%"), 75},
        {"huge text", PlistValue("99999999999999999999"), std::numeric_limits<std::int64_t>::max()},
        {"words", PlistValue("eighty"), std::nullopt},
        {"empty text", PlistValue(""), std::nullopt},
        {"boolean", PlistValue(true), std::nullopt},
        {"date", PlistValue(PlistDate{1.0}), std::nullopt},
        {"data", PlistValue(PlistData{80}), std::nullopt},
        {"array", PlistValue(PlistArray{80}), std::nullopt},
        {"dictionary", PlistValue(PlistDictionary{{"ChargingLimit", 80}}), std::nullopt},
        {"absent", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        PlistDictionary limits{{"Other", 1}};
        if (c.value) limits.set("ChargingLimit", *c.value);
        EXPECT_EQ(chargingLimitOf(limits), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace wattkeeper::testing
