#include <chrono>

#include "daemon/system/monitor_manager.h"
#include "tests/unit/daemon_fixture.h"

namespace wattkeeper::testkit {
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
    ASSERT_EQ(darwin.registrations().size(), protocol::kRequestNames.size());
    for (std::size_t i = 0; i < protocol::kRequestNames.size(); ++i) {
        EXPECT_EQ(darwin.registrations()[i].name, protocol::kRequestNames[i]);
    }
    EXPECT_FALSE(module->cmcSwitch);
    EXPECT_EQ(driver.openConnectionCount(), 0u);
}

// The screen count is recorded and read by nothing; what counts is the evaluation.
TEST_F(DaemonTest, EachDisplayReconfigurationEvaluatesOnce) {
    start();
    for (const std::uint32_t flags : {kDisplayRemoveFlag, kDisplayAddFlag, kDisplayBeginConfigurationFlag}) {
        const std::size_t before = evaluations(log);
        displays.reconfigure(1, flags);
        EXPECT_EQ(evaluations(log), before + 1) << flags;
    }
}

TEST_F(DaemonTest, TheStartUpTakesTheFirstSourceAndEachMessageEvaluatesOncePerSourceKeepingTheLast) {
    powerSources.setSources(PowerSourceList{testkit::batteryDescription(64), testkit::batteryDescription(12)});
    start();
    EXPECT_EQ(module->battery.CurrentCapacity, 64);
    EXPECT_EQ(evaluations(log), 1u);  // only the timer's first tick

    PlistDictionary ups = testkit::batteryDescription(30);
    ups.set("Type", "UPS");
    powerSources.setSources(PowerSourceList{testkit::batteryDescription(88), std::nullopt, ups});
    powerSources.notify();
    EXPECT_EQ(evaluations(log), 3u);
    EXPECT_EQ(module->battery.CurrentCapacity, 30);
    EXPECT_EQ(module->battery.Type, PlistValue("UPS"));

    // No sources, or no snapshot at all, leave the record as it was.
    powerSources.setSources(PowerSourceList{});
    powerSources.notify();
    powerSources.setSources(std::nullopt);
    powerSources.notify();
    EXPECT_EQ(module->battery.CurrentCapacity, 30);
    // A description without the charge resets it, as every absent key does.
    powerSources.setSources(PowerSourceList{PlistDictionary{{"Name", "InternalBattery-0"}}});
    powerSources.notify();
    EXPECT_EQ(module->battery.CurrentCapacity, 0);
}

TEST_F(DaemonTest, TheClamshellPropertyDecidesWhateverTheModel) {
    struct Case {
        std::optional<std::string> model;
        bool rootDomain;
        std::optional<PlistValue> clamshell;
        bool expected;
        std::string sizeLine;
    };
    const Case cases[] = {
        {"MacBookPro16,1", true, PlistValue(true), true, "15"},
        {"MacBookAir9,1", true, PlistValue(false), false, "14"},
        {"Mac14,2", true, PlistValue(true), true, "8"},  // a notebook named as desktops are
        {"Mac14,3", true, std::nullopt, false, "8"},     // a desktop: no such property
        {"MacBookPro16,1", false, PlistValue(true), false, "15"},
        {"MacBookPro16,1", true, PlistValue(1), false, "15"},  // only a boolean counts
        {std::nullopt, true, PlistValue(true), true, "0"},
    };
    for (const auto& c : cases) {
        testkit::FakeSystemInfo machine;
        machine.setModel(c.model);
        machine.setRootDomainPresent(c.rootDomain);
        machine.setClamshellState(c.clamshell);
        ports.systemInfo = &machine;
        log.clear();
        EXPECT_EQ(daemon::ZQMonitorManager::lidClosed(ports), c.expected) << c.model.value_or("(none)");
        EXPECT_EQ(machine.openRegistryEntries(), 0u);
        EXPECT_EQ(log.systemLines(), std::vector<std::string>{c.sizeLine}) << c.model.value_or("(none)");
    }
    ports.systemInfo = &system;
}

}  // namespace
}  // namespace wattkeeper::testkit
