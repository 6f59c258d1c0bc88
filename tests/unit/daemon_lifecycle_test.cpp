#include <chrono>

#include "daemon/core/app_delegate.h"
#include "daemon/system/monitor_manager.h"
#include "tests/kit/fake_application.h"
#include "tests/unit/daemon_fixture.h"

namespace wattkeeper::testing {
namespace {

using namespace std::chrono_literals;

// Each evaluation with the connection closed logs exactly one failed read of the charging key.
std::size_t evaluations(const testkit::RecordingLog& log) {
    std::size_t n = 0;
    for (const auto& line : log.lines()) n += line.rfind("Error read fan value: ", 0) == 0;
    return n;
}

TEST_F(DaemonTest, StartUpWiresEverythingAndLeavesChargeControlOff) {
    start();
    EXPECT_EQ(ZQBatteryModule::shared(), module.get());
    EXPECT_EQ(darwin.registrations().size(), 16u);
    for (std::size_t i = 0; i < protocol::kRequestNames.size(); ++i) {
        EXPECT_EQ(darwin.registrations()[i].name, protocol::kRequestNames[i]);
        EXPECT_EQ(darwin.registrations()[i].behavior, SuspensionBehavior::DeliverImmediately);
    }
    EXPECT_EQ(displays.registrations(), 1u);
    EXPECT_EQ(powerSources.registrations(), 1u);
    EXPECT_EQ(loop.runCount(), 1);  // the run loop is entered last
    EXPECT_FALSE(module->cmcSwitch);
    EXPECT_FALSE(module->cmcOpen);
    EXPECT_TRUE(module->isWake);
    EXPECT_TRUE(module->isCMCTimerActive());
    EXPECT_EQ(driver.openConnectionCount(), 0u);
    EXPECT_EQ(module->battery.CurrentCapacity, 50);
}

TEST_F(DaemonTest, TheDelegateCreatesTheModuleFromTheApplicationMainFunction) {
    testkit::FakeApplication application;
    ports.application = &application;
    char arg0[] = "Wattkeeper";
    char* argv[] = {arg0, nullptr};
    EXPECT_EQ(daemon::wattkeeperMain(1, argv, ports), 0);
    EXPECT_EQ(darwin.registrations().size(), 16u);
    daemon::AppDelegate delegate(ports);
    EXPECT_TRUE(delegate.applicationSupportsSecureRestorableState());
}

TEST_F(DaemonTest, ScreensAreCountedAtStartThenFollowOnlyTheFlags) {
    displays.setScreenCount(2);
    start();
    EXPECT_TRUE(module->isScreens);
    struct Case {
        std::uint32_t flags;
        bool expected;
    };
    const Case cases[] = {
        {kDisplayRemoveFlag, false},  // even though two screens remain
        {kDisplayAddFlag, true},
        {kDisplayBeginConfigurationFlag, true},
        {kDisplayAddFlag | kDisplayRemoveFlag, false},
    };
    for (const auto& c : cases) {
        const std::size_t before = evaluations(log);
        displays.reconfigure(1, c.flags);
        EXPECT_EQ(module->isScreens, c.expected) << c.flags;
        EXPECT_EQ(evaluations(log), before + 1) << "one evaluation per callback, flags " << c.flags;
    }
}

TEST_F(DaemonTest, OneScreenAtStartIsNotScreens) {
    displays.setScreenCount(1);
    start();
    EXPECT_FALSE(module->isScreens);
}

TEST_F(DaemonTest, PowerSourceMessagesEvaluateOncePerSourceAndKeepTheLastSource) {
    PlistDictionary ups = testkit::batteryDescription(30);
    ups.set("Type", "UPS");
    ups.set("Name", "Back-UPS");
    start();
    const std::size_t before = evaluations(log);
    powerSources.setSources(PowerSourceList{testkit::batteryDescription(88), std::nullopt, ups});
    powerSources.notify();
    EXPECT_EQ(evaluations(log), before + 2);
    EXPECT_EQ(module->battery.CurrentCapacity, 30);
    EXPECT_EQ(module->battery.Type, PlistValue("UPS"));
}

TEST_F(DaemonTest, TheStartUpReadTakesTheFirstSourceWithoutEvaluating) {
    PlistDictionary first = testkit::batteryDescription(64);
    powerSources.setSources(PowerSourceList{first, testkit::batteryDescription(12)});
    start();
    EXPECT_EQ(module->battery.CurrentCapacity, 64);
    EXPECT_EQ(evaluations(log), 1u);  // only the timer's first tick
}

TEST_F(DaemonTest, NoSourcesOrNoSnapshotLeaveTheRecordAsItWas) {
    start();
    powerSources.setSources(PowerSourceList{});
    powerSources.notify();
    powerSources.setSources(std::nullopt);
    powerSources.notify();
    EXPECT_EQ(module->battery.CurrentCapacity, 50);
}

TEST(PowerSourceRecord, FieldsFollowTheirKeysAndAbsentKeysReset) {
    PowerSourceRecord record;
    PlistDictionary description = testkit::batteryDescription(77);
    description.set("Is Charging", true);
    description.set("CycleCount", 500);
    description.set("BatteryHealthCondition", 42);  // kept as the number it is
    storePowerSourceDescription(record, description);
    EXPECT_EQ(record.CurrentCapacity, 77);
    EXPECT_TRUE(record.IsCharged);  // holds "Is Charging"
    EXPECT_FALSE(record.IsCharging);  // holds "Is Finishing Charge"
    EXPECT_TRUE(record.IsPresent);
    EXPECT_TRUE(record.BatteryProvidesTimeRemaining);
    EXPECT_EQ(record.CycleCount, 0);
    EXPECT_EQ(record.MaxCapacity, 100);
    EXPECT_EQ(record.DesignCycleCount, 1000);
    EXPECT_EQ(record.BatteryHealthCondition, PlistValue(42));
    EXPECT_EQ(record.PowerSourceID, PlistValue(4653155));
    EXPECT_EQ(record.LPMActive, PlistValue(false));

    storePowerSourceDescription(record, PlistDictionary{{"Name", "InternalBattery-0"}});
    EXPECT_EQ(record.CurrentCapacity, 0);
    EXPECT_FALSE(record.IsPresent);
    EXPECT_EQ(record.MaxCapacity, 0);
    EXPECT_EQ(record.BatteryHealth, std::nullopt);
    EXPECT_EQ(record.Name, PlistValue("InternalBattery-0"));
}

class LidTest : public DaemonTest {};

TEST_F(LidTest, TheClamshellPropertyDecidesWhateverTheModel) {
    struct Case {
        std::optional<std::string> model;
        bool rootDomain;
        std::optional<PlistValue> clamshell;
        bool expected;
        std::size_t lookups;
        std::string sizeLine;
    };
    const Case cases[] = {
        {"MacBookPro16,1", true, PlistValue(true), true, 1, "15"},
        {"MacBookAir9,1", true, PlistValue(false), false, 1, "14"},
        {"Mac14,2", true, PlistValue(true), true, 1, "8"},  // a notebook named as desktops are
        {"Mac14,3", true, std::nullopt, false, 1, "8"},     // a desktop: no such property
        {"MacBookPro16,1", false, PlistValue(true), false, 1, "15"},
        {"MacBookPro16,1", true, PlistValue(1), false, 1, "15"},  // only a boolean counts
        {std::nullopt, true, PlistValue(true), true, 1, "0"},
    };
    for (const auto& c : cases) {
        testkit::FakeSystemInfo machine;
        machine.setModel(c.model);
        machine.setRootDomainPresent(c.rootDomain);
        machine.setClamshellState(c.clamshell);
        ports.systemInfo = &machine;
        testkit::ScopedProcessPorts scope(ports);
        log.clear();
        EXPECT_EQ(ZQMonitorManager::lidClosed(), c.expected) << c.model.value_or("(none)");
        EXPECT_EQ(machine.registryLookups(), c.lookups) << c.model.value_or("(none)");
        EXPECT_EQ(machine.openRegistryEntries(), 0u);
        EXPECT_EQ(log.systemLines(), std::vector<std::string>{c.sizeLine}) << c.model.value_or("(none)");
    }
    ports.systemInfo = &system;
}

}  // namespace
}  // namespace wattkeeper::testing
