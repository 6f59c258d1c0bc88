#include <gtest/gtest.h>

#include <chrono>

#include "daemon/smc/smc_manager.h"
#include "tests/kit/virtual_run_loop.h"
#include "tests/unit/smc_fixture.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
using Keys = std::vector<int>;

class ManagerTest : public OpenSmcTest {
protected:
    Keys keys() const { return {valueOf("CH0B")[0], valueOf("CH0C")[0], valueOf("CH0I")[0]}; }
    void setKeys(std::uint8_t ch0b, std::uint8_t ch0c, std::uint8_t ch0i) {
        store.setValue("CH0B", {ch0b});
        store.setValue("CH0C", {ch0c});
        store.setValue("CH0I", {ch0i});
    }

    testkit::VirtualRunLoop loop;
    daemon::ZQSMCManager manager{smc, loop, log};
};

TEST_F(ManagerTest, SwitchesWriteTheirOwnKeysStaggeredAndReadsShowTheKeysAsTheyAre) {
    setKeys(2, 2, 1);
    manager.enable_charging();
    EXPECT_EQ(keys(), (Keys{2, 2, 0}));  // forced discharge ends at once
    EXPECT_EQ(manager.get_charging_status(), 2);
    loop.advance(500ms);
    EXPECT_EQ(keys(), (Keys{0, 2, 0}));
    EXPECT_EQ(manager.get_charging_status(), 0);
    loop.advance(500ms);
    EXPECT_EQ(keys(), (Keys{0, 0, 0}));
    EXPECT_EQ(log.lines().at(0), "quill开启充电， 关闭放电");
    EXPECT_EQ(log.lines().at(1), "quill关闭放电");

    manager.enable_discharging();
    EXPECT_EQ(manager.get_discharging_status(), 1);
    EXPECT_TRUE(log.contains("quill开启放电"));
    EXPECT_TRUE(log.contains("quill获取放电状态 1"));
    manager.disable_charging();
    EXPECT_EQ(keys(), (Keys{2, 0, 1}));
    loop.advance(2s);
    EXPECT_EQ(keys(), (Keys{2, 2, 1}));
    manager.disable_discharging();
    EXPECT_EQ(keys(), (Keys{2, 2, 0}));
}

TEST_F(ManagerTest, TheLaterSwitchWinsOverTheDelayedWritesOfTheEarlierOne) {
    // Enable, then disable 0.2 s later: the enable's CH0B at 0.5 s and CH0C at 1.0 s still land,
    // and so does the disable's CH0C at 0.7 s; charging ends allowed, every 0.1 s shown.
    setKeys(0, 0, 1);
    manager.enable_charging();
    loop.advance(200ms);
    manager.disable_charging();
    std::vector<Keys> trace;
    for (int step = 0; step < 10; ++step) {
        loop.advance(100ms);
        trace.push_back(keys());
    }
    const Keys b{2, 0, 0}, none{0, 0, 0}, c{0, 2, 0};
    EXPECT_EQ(trace, (std::vector<Keys>{b, b, none, none, c, c, c, none, none, none}));

    setKeys(0, 0, 1);
    manager.disable_charging();
    loop.advance(200ms);
    manager.enable_charging();
    loop.advance(2s);
    EXPECT_EQ(keys(), none);
}

TEST_F(ManagerTest, UnreadableKeysReadAsNine) {
    store.addKey("CH0B", "ui16", {0, 0});
    EXPECT_EQ(manager.get_charging_status(), 9);
    store.removeKey("CH0I");
    EXPECT_EQ(manager.get_discharging_status(), 9);
}

TEST_F(SmcTest, AManagerWithoutAConnectionWritesNothingAndSaysWhyItCannotOpenOrClose) {
    testkit::VirtualRunLoop loop;
    {
        daemon::ZQSMCManager manager{smc, loop, log};
        EXPECT_FALSE(manager.getcmcStatus());
        EXPECT_EQ(manager.get_charging_status(), 9);
        manager.enable_charging();
        manager.disable_charging();
        manager.enable_discharging();
        loop.advance(2s);
        EXPECT_TRUE(store.writes().empty());

        manager.openCMC();
        EXPECT_TRUE(manager.getcmcStatus());
        manager.closeCMC();
        EXPECT_FALSE(manager.getcmcStatus());
        manager.closeCMC();
        EXPECT_TRUE(log.contains("error close smc connection: (ipc/send) invalid destination port"));
        driver.setServicePresent(false);
        manager.openCMC();
        EXPECT_TRUE(log.contains("error close smc connection: (os/kern) invalid address"));
        EXPECT_FALSE(manager.getcmcStatus());
    }
    EXPECT_TRUE(log.contains("细沟"));
}

TEST_F(OpenSmcTest, DelayedWritesStillLandAfterTheManagerIsGone) {
    testkit::VirtualRunLoop loop;
    daemon::ZQSMCManager{smc, loop, log}.disable_charging();
    loop.advance(1s);
    EXPECT_EQ(valueOf("CH0C"), std::vector<std::uint8_t>{2});
}

}  // namespace
}  // namespace wattkeeper::testkit
