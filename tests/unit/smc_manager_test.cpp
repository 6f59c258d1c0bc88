#include <gtest/gtest.h>

#include <chrono>

#include "daemon/smc/smc_manager.h"
#include "tests/kit/virtual_run_loop.h"
#include "tests/unit/smc_fixture.h"

namespace wattkeeper::testing {
namespace {

using namespace std::chrono_literals;

class ManagerTest : public OpenSmcTest {
protected:
    int byteOf(const char* key) const { return valueOf(key).at(0); }
    // Advances in 0.1 s steps and records "CH0B"/"CH0C" after each step.
    std::vector<std::pair<int, int>> chargingKeysEveryTenthUntil(Duration end) {
        std::vector<std::pair<int, int>> trace;
        while (loop.now() < end) {
            loop.advance(100ms);
            trace.emplace_back(byteOf("CH0B"), byteOf("CH0C"));
        }
        return trace;
    }

    testkit::VirtualRunLoop loop;
    ZQSMCManager manager{smc, loop, log};
};

TEST_F(ManagerTest, EnableThenDisableSoonAfterEndsWithChargingAllowed) {
    store.setValue("CH0I", {1});
    manager.enable_charging();
    EXPECT_EQ(byteOf("CH0I"), 0);  // forced discharge ends at once
    loop.advance(200ms);
    manager.disable_charging();
    EXPECT_EQ(byteOf("CH0B"), 2);
    // From 0.3 s to 1.2 s: CH0B back to 0 at 0.5 s; CH0C 2 at 0.7 s, 0 at 1.0 s.
    const std::vector<std::pair<int, int>> expected = {
        {2, 0}, {2, 0}, {0, 0}, {0, 0}, {0, 2}, {0, 2}, {0, 2}, {0, 0}, {0, 0}, {0, 0}};
    EXPECT_EQ(chargingKeysEveryTenthUntil(1200ms), expected);
    EXPECT_EQ(byteOf("CH0I"), 0);
}

TEST_F(ManagerTest, DisableThenEnableSoonAfterEndsWithEverySwitchAtZero) {
    store.setValue("CH0I", {1});
    manager.disable_charging();
    loop.advance(200ms);
    manager.enable_charging();
    loop.advance(2s);
    EXPECT_EQ(byteOf("CH0B"), 0);
    EXPECT_EQ(byteOf("CH0C"), 0);
    EXPECT_EQ(byteOf("CH0I"), 0);
}

TEST_F(ManagerTest, StatusReadRightAfterASwitchStillShowsTheOldValue) {
    store.setValue("CH0B", {2});
    store.setValue("CH0C", {2});
    manager.enable_charging();
    EXPECT_EQ(manager.get_charging_status(), 2);
    EXPECT_TRUE(logged("quill获取充电状态 2"));
    loop.advance(500ms);
    EXPECT_EQ(manager.get_charging_status(), 0);

    manager.enable_discharging();
    EXPECT_EQ(manager.get_discharging_status(), 1);  // discharging switches at once
    EXPECT_TRUE(logged("quill获取放电状态 1"));
}

TEST_F(ManagerTest, EachSwitchTouchesOnlyItsOwnKeys) {
    store.setValue("CH0B", {2});
    store.setValue("CH0C", {2});
    manager.enable_discharging();
    loop.advance(2s);
    EXPECT_EQ(byteOf("CH0B"), 2);
    EXPECT_EQ(byteOf("CH0C"), 2);
    EXPECT_EQ(byteOf("CH0I"), 1);
    manager.disable_charging();
    loop.advance(2s);
    EXPECT_EQ(byteOf("CH0I"), 1);
    manager.disable_discharging();
    EXPECT_EQ(byteOf("CH0I"), 0);
}

TEST_F(ManagerTest, LogLinesComeInTheOrderOfTheSwitching) {
    manager.enable_charging();
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "quill开启充电， 关闭放电");
    EXPECT_EQ(lines[1], "quill关闭放电");
    log.clear();
    manager.disable_charging();
    EXPECT_EQ(log.lines().at(0), "quill关闭充电");
    log.clear();
    manager.enable_discharging();
    EXPECT_EQ(log.lines().at(0), "quill开启放电");
}

TEST_F(ManagerTest, AKeyOfAnotherTypeReadsAsNine) {
    store.addKey("CH0B", "ui16", {0, 0});
    EXPECT_EQ(manager.get_charging_status(), 9);
    store.removeKey("CH0I");
    EXPECT_EQ(manager.get_discharging_status(), 9);
}

TEST_F(ManagerTest, BatteryChargeInfoOnlyLogsTheOptionalReading) {
    store.setValue("CH0B", {2});
    manager.getBatteryChargeInfo();
    EXPECT_TRUE(logged("huoqu Optional(2)"));
    store.failNextRead("CH0B", kIOReturnError);
    manager.getBatteryChargeInfo();
    EXPECT_TRUE(logged("huoqu nil"));
    manager.setbatteryWithKey("CH0C", 2);
    EXPECT_EQ(byteOf("CH0C"), 2);
}

TEST(ManagerBeforeOpen, WritesNothingAndReadsNine) {
    testkit::RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    SMC smc{driver, log};
    testkit::VirtualRunLoop loop;
    {
        ZQSMCManager manager{smc, loop, log};
        EXPECT_FALSE(manager.getcmcStatus());
        EXPECT_EQ(manager.get_charging_status(), 9);
        EXPECT_EQ(manager.get_discharging_status(), 9);
        manager.enable_charging();
        manager.disable_charging();
        manager.enable_discharging();
        manager.disable_discharging();
        loop.advance(2s);
        EXPECT_TRUE(store.writes().empty());
        EXPECT_TRUE(log.contains("Error read fan value: (ipc/send) invalid destination port"));

        manager.openCMC();
        EXPECT_TRUE(manager.getcmcStatus());
        manager.closeCMC();
        EXPECT_FALSE(manager.getcmcStatus());
        log.clear();
        manager.closeCMC();  // closing again fails and says so
        EXPECT_TRUE(log.contains("error close smc connection: (ipc/send) invalid destination port"));
    }
    EXPECT_TRUE(log.contains("细沟"));
}

TEST(ManagerOpenFailure, IsLoggedWithTheTextOfCodeOne) {
    testkit::RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    driver.setServicePresent(false);
    SMC smc{driver, log};
    testkit::VirtualRunLoop loop;
    ZQSMCManager manager{smc, loop, log};
    manager.openCMC();
    EXPECT_TRUE(log.contains("error close smc connection: (os/kern) invalid address"));
    EXPECT_FALSE(manager.getcmcStatus());
}

TEST(ManagerLifetime, DelayedWritesStillLandAfterTheManagerIsGone) {
    testkit::RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    SMC smc{driver, log};
    testkit::VirtualRunLoop loop;
    ASSERT_EQ(smc.open(), 0);
    { ZQSMCManager{smc, loop, log}.disable_charging(); }
    loop.advance(1s);
    EXPECT_EQ(store.key("CH0C")->value, std::vector<std::uint8_t>{2});
}

}  // namespace
}  // namespace wattkeeper::testing
