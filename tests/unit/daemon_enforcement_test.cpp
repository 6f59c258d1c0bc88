#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <tuple>

#include "tests/unit/daemon_fixture.h"

namespace wattkeeper::sim {
void PrintTo(Firmware firmware, std::ostream* os) { *os << firmwareName(firmware); }
}  // namespace wattkeeper::sim

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
using Action = std::function<void(DaemonTest&)>;

// Control on, limit 80, the battery at `charge`, then `also`; the keys set to `before`, one
// evaluation, and 1.5 s later the keys are `after`.
struct Situation {
    const char* name;
    std::int64_t charge;
    Action also;
    DaemonTest::Keys before;
    DaemonTest::Keys after;
};

void PrintTo(const Situation& s, std::ostream* os) { *os << s.name; }

// Each situation on each firmware generation: the switches end alike through whichever keys it
// offers; where it offers none the daemon could use, nothing is written at all.
class SwitchStateTable : public DaemonTest,
                         public ::testing::WithParamInterface<std::tuple<Situation, sim::Firmware>> {};

TEST_P(SwitchStateTable, OneEvaluationLeavesTheSwitchesAsTheSituationRequires) {
    const auto& [s, firmware] = GetParam();
    store.installChargeKeys(firmware);
    startControlling();
    setLimit(80);
    module->battery.CurrentCapacity = s.charge;
    if (s.also) s.also(*this);
    setKeys(s.before.ch0b, s.before.ch0c, s.before.ch0i);
    module->quillCmcCountTime();
    loop.advance(1500ms);
    if (firmware != sim::Firmware::Placeholders) {
        EXPECT_EQ(keys(), s.after);
        return;
    }
    EXPECT_TRUE(store.writes().empty());
    EXPECT_FALSE(module->cmcOpen);
    EXPECT_EQ(logCount("no charge keys this firmware offers can be used (CH0B no data, CH0I no data, CHTE no data, "
                       "CHIE in working order, CH0J not privileged): no set has its charging and an adapter key in "
                       "working order; charge control stays off"),
              1u);
}

const Action lidClosed = [](DaemonTest& t) { t.system.setClamshellState(true); };
const Action asleep = [](DaemonTest& t) { t.module->setMacSleep(); };
const auto limit = [](PlistValue value) -> Action { return [value](DaemonTest& t) { t.setLimit(value); }; };

const Situation kSituations[] = {
    Situation{"AboveLidOpenAwake", 81, {}, {0, 0, 0}, {2, 2, 1}},
    Situation{"AboveLidClosed", 81, lidClosed, {0, 0, 1}, {2, 2, 0}},
    Situation{"AboveAsleep", 81, asleep, {0, 0, 1}, {2, 2, 0}}, Situation{"AtTheLimit", 80, {}, {0, 0, 1}, {2, 2, 0}},
    Situation{"Below", 79, {}, {2, 2, 1}, {0, 0, 0}}, Situation{"BelowLidClosed", 79, lidClosed, {2, 2, 0}, {0, 0, 0}},
    Situation{"BelowAsleep", 79, asleep, {0, 0, 1}, {2, 2, 0}},
    Situation{"ControlOffWithTheConnectionOpen",
              95,
              [](DaemonTest& t) { t.module->cmcSwitch = false; },
              {2, 2, 1},
              {2, 2, 1}},
    Situation{"LimitNineMeansNoLimit", 50, limit(9), {2, 2, 1}, {0, 0, 0}},
    Situation{"LimitTenIsEnforced", 11, limit(10), {0, 0, 0}, {2, 2, 1}},
    // A limit file that reads, even without a limit, is not replaced by the preferences.
    Situation{"ALimitFileWithoutTheKeyIsNoLimitWhateverThePreferences",
              90,
              [](DaemonTest& t) {
                  t.files.putPlist(kLimitFile, PlistDictionary{{"Other", 1}});
                  t.files.putPlist(kPreferencesFile, PlistDictionary{{"ChargingLimit", 60}});
              },
              {2, 2, 1},
              {0, 0, 0}},
    // "CH0B" of another type reads as 9: charging counts as already held.
    Situation{"AboveWithAnUnreadableChargingKeyOnlyForcesDischarge",
              90,
              [](DaemonTest& t) {
                  t.store.addKey(t.switchKey(kChargingKey), "ui16", {0, 0});
              },
              {0, 0, 0},
              {0, 0, 1}},
    Situation{"BelowWithAnUnreadableDischargingKeyStillAllowsCharging",
              50,
              [](DaemonTest& t) {
                  t.store.addKey(t.switchKey(kDischargingKey), "ui16", {0, 0});
              },
              {2, 2, 0},
              {0, 0, 0}}};

INSTANTIATE_TEST_SUITE_P(Situations, SwitchStateTable,
                         ::testing::Combine(::testing::ValuesIn(kSituations),
                                            ::testing::Values(sim::Firmware::Ch0b, sim::Firmware::Chte,
                                                              sim::Firmware::Placeholders)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::string(sim::firmwareName(std::get<1>(info.param)));
                         });

TEST(ChargingLimit, IsReadFromNumbersAndNumericTextOnly) {
    struct Case {
        std::optional<PlistValue> value;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {PlistValue(80), 80},
        {PlistValue(-3.5), -3},
        {PlistValue(1e300), std::numeric_limits<std::int64_t>::max()},
        {PlistValue(std::nan("")), std::nullopt},
        {PlistValue("  +75%"), 75},
        {PlistValue("99999999999999999999"), std::numeric_limits<std::int64_t>::max()},
        {PlistValue("eighty"), std::nullopt},
        {PlistValue(""), std::nullopt},
        {PlistValue(true), std::nullopt},
        {PlistValue(PlistDate{1.0}), std::nullopt},
        {PlistValue(PlistData{80}), std::nullopt},
        {PlistValue(PlistArray{80}), std::nullopt},
        {PlistValue(PlistDictionary{{"ChargingLimit", 80}}), std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        PlistDictionary limits{{"Other", 1}};
        if (c.value) limits.set("ChargingLimit", *c.value);
        EXPECT_EQ(daemon::chargingLimitOf(limits), c.expected) << describe(limits);
    }
}

// What happens between and around decisions: each step acts, lets virtual time pass, and shows
// the keys; no write decided earlier may undo a later decision, and no end of the daemon leaves
// the Mac drained or kept from charging with nobody holding it.
struct Step {
    const char* what;
    Action act;
    Duration then;
    DaemonTest::Keys keys;
};

struct Interleaving {
    const char* name;
    Action arrange;  // runs after start, with the keys as they were
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
const auto controllingAbove = [](DaemonTest::Keys keys) {
    return [keys](DaemonTest& t) {
        t.setKeys(static_cast<std::uint8_t>(keys.ch0b), static_cast<std::uint8_t>(keys.ch0c),
                  static_cast<std::uint8_t>(keys.ch0i));
        t.setLimit(80);
        t.module->battery.CurrentCapacity = 85;
        t.request(protocol::kOpenSMC);
    };
};
// A crash, SIGKILL or power loss: the module goes without a word, a new instance starts.
const Action newInstance = [](DaemonTest& t) {
    t.module.reset();
    t.loop.discardPending();
    // The kernel closes a dead task's connection; the client is then as a new process's.
    daemon::SMC::shared().close();
    t.start();
};
const Action nothing = [](DaemonTest&) {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Interleavings,
    ::testing::Values(
        Interleaving{"CloseCheckEndsForcedDischargeLeftOnByASwitchRequest",
                     controllingAbove({2, 2, 1}),
                     {{"charge control off", [](DaemonTest& t) { t.request(protocol::kCloseSMC); }, 100ms, {2, 2, 0}},
                      {"forced discharge asked for",
                       [](DaemonTest& t) { t.request(protocol::kEnableDischarging); },
                       0ms,
                       {2, 2, 1}},
                      {"the close check", nothing, 4s, {0, 0, 0}}}},
        Interleaving{"KilledDuringTheCloseThenStartedAgain",
                     controllingAbove({2, 2, 1}),
                     {{"charge control off", [](DaemonTest& t) { t.request(protocol::kCloseSMC); }, 0ms, {2, 2, 0}},
                      {"killed before the delayed writes", newInstance, 0ms, {0, 0, 0}},
                      {"connection closed again, nothing pending",
                       [](DaemonTest& t) {
                           EXPECT_FALSE(t.module->smcManager->isOpen());
                           const auto lines = t.log.systemLines();
                           EXPECT_EQ(std::count(lines.begin(), lines.end(),
                                                "started with charge control off and charging held or forced "
                                                "discharge on: forced discharge ended, charging allowed"),
                                     1);
                       },
                       30s,
                       {0, 0, 0}}}},
        Interleaving{"StartedAgainAfterAnEndThatLeftNothingHeld",
                     nothing,
                     {{"a new instance",
                       [](DaemonTest& t) {
                           t.store.clearHistory();
                           newInstance(t);
                           EXPECT_TRUE(t.store.writes().empty());
                           EXPECT_FALSE(t.module->smcManager->isOpen());
                       },
                       30s,
                       {0, 0, 0}}}},
        Interleaving{"LidClosedBeforeADecidedForcedDischargeLands",
                     controllingAbove({0, 0, 0}),
                     {{"the evaluation", [](DaemonTest& t) { t.module->quillCmcCountTime(); }, 200ms, {2, 0, 0}},
                      {"lid closed", [](DaemonTest& t) { t.system.moveLid(true); }, 2s, {2, 2, 0}}}},
        Interleaving{"SleepAndWakeBelowTheLimitWriteEverythingBeforeTheHandlersReturn",
                     [](DaemonTest& t) {
                         controllingAbove({0, 0, 1})(t);
                         t.module->battery.CurrentCapacity = 70;
                     },
                     {{"will sleep", [](DaemonTest& t) { t.workspace.postWillSleep(); }, 0ms, {2, 2, 0}},
                      {"did wake", [](DaemonTest& t) { t.workspace.postDidWake(); }, 0ms, {0, 0, 0}}}},
        Interleaving{"SleepWhileTheTimersEvaluationStillSeesTheMacAwake",
                     controllingAbove({2, 2, 0}),
                     {{"will sleep, the timer deciding on forced discharge meanwhile",
                       [](DaemonTest& t) {
                           t.system.duringNextClamshellRead([&t] {
                               t.module->smcManager->decide({2, 2, 1});
                               t.module->smcManager->enable_discharging();
                           });
                           t.workspace.postWillSleep();
                       },
                       0ms,
                       {2, 2, 0}}}},
        // The hand-back at the end goes through the keys the firmware offers.
        Interleaving{"TerminatedOnTheNewerKeysHandsChargingBack",
                     [](DaemonTest& t) {
                         t.store.installChargeKeys(sim::Firmware::Chte);
                         controllingAbove({2, 2, 1})(t);
                     },
                     {{"terminated", [](DaemonTest& t) { t.loop.requestTermination(); }, 0ms, {0, 0, 0}}}},
        Interleaving{"SleepDuringForcedDischargeEndsItBeforeTheHandlerReturns",
                     controllingAbove({2, 2, 1}),
                     {{"will sleep", [](DaemonTest& t) { t.workspace.postWillSleep(); }, 0ms, {2, 2, 0}},
                      {"a switch decided before the sleep was due", nothing, 2s, {2, 2, 0}}}}),
    [](const ::testing::TestParamInfo<Interleaving>& info) { return std::string(info.param.name); });

TEST_F(DaemonTest, TheTimerEvaluatesAtOnceThenEveryTwentySeconds) {
    start();
    EXPECT_EQ(logCount("Error read fan value: (ipc/send) invalid destination port"), 1u);  // the first tick

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

// The timer's evaluations run on the global queue while requests and power-source messages run
// on the main queue. Here they really run on two threads at once; the thread sanitizer build
// reports any unsynchronised field.
TEST_F(DaemonTest, TimerEvaluationsAndRequestsOnTwoThreadsAgreeOnTheFinalState) {
    powerSources.setSources(PowerSourceList{testkit::batteryDescription(90)});
    startControlling();
    setLimit(80);
    constexpr int kRounds = 300;
    std::thread timer([&] {
        for (int i = 0; i < kRounds; ++i) module->quillCmcCountTime();
    });
    std::thread main([&] {
        for (int i = 0; i < kRounds; ++i) {
            switch (i % 5) {
                case 0:
                    module->getChargingStatus();
                    break;
                case 1:
                    module->handleHeart();
                    break;
                case 2:
                    module->getSMCOpenCloseStatus();
                    break;
                case 3:
                    powerSources.notify();
                    break;
                case 4:
                    module->refreshLimitChange();
                    break;
            }
        }
    });
    timer.join();
    main.join();
    loop.advance(2s);  // every delayed switch lands
    module->quillCmcCountTime();
    loop.advance(2s);
    EXPECT_EQ(keys(), (Keys{2, 2, 1}));
    EXPECT_TRUE(module->cmcOpen);
}

}  // namespace
}  // namespace wattkeeper::testkit
