#include <gtest/gtest.h>

#include "tests/unit/smc_fixture.h"

namespace wattkeeper::testing {
namespace {

class FanTest : public OpenSmcTest {
protected:
    void setMask(std::uint8_t mask) { store.setValue("FS! ", {0, mask}); }
    std::vector<std::uint8_t> mask() const { return valueOf("FS! "); }
    std::size_t writesTo(const std::string& key) const {
        std::size_t n = 0;
        for (const auto& w : store.writes()) n += w.key == key;
        return n;
    }
};

TEST_F(FanTest, ModeChangesFollowTheMaskTable) {
    struct Case {
        std::uint8_t current;
        int fan;
        FanMode mode;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {0, 0, FanMode::forced, 1}, {0, 0, FanMode::automatic, 0}, {0, 1, FanMode::forced, 2},
        {0, 1, FanMode::automatic, 0}, {1, 0, FanMode::forced, 1}, {1, 0, FanMode::automatic, 0},
        {1, 1, FanMode::forced, 3}, {1, 1, FanMode::automatic, 1}, {2, 0, FanMode::forced, 3},
        {2, 0, FanMode::automatic, 2}, {2, 1, FanMode::forced, 2}, {2, 1, FanMode::automatic, 0},
        {3, 0, FanMode::forced, 3}, {3, 0, FanMode::automatic, 2}, {3, 1, FanMode::forced, 3},
        {3, 1, FanMode::automatic, 1},
    };
    for (const auto& c : cases) {
        setMask(c.current);
        store.clearHistory();
        smc.setFanMode(c.fan, c.mode);
        const std::string modeKey = "F" + std::to_string(c.fan) + "Md";
        EXPECT_EQ(valueOf(modeKey), std::vector<std::uint8_t>{static_cast<std::uint8_t>(c.mode)});
        EXPECT_EQ(mask(), (std::vector<std::uint8_t>{0, c.expected}))
            << "mask " << int(c.current) << " fan " << c.fan << " mode " << int(c.mode);
        // An unchanged mask is not written at all.
        EXPECT_EQ(writesTo("FS! "), c.current == c.expected ? 0u : 1u);
    }
}

TEST_F(FanTest, AMachineWithoutModeKeysOnlyChangesTheMask) {
    store.removeKey("F0Md");
    store.removeKey("F1Md");
    setMask(1);
    smc.setFanMode(1, FanMode::forced);
    EXPECT_EQ(mask(), (std::vector<std::uint8_t>{0x00, 0x03}));
    EXPECT_EQ(store.writes().size(), 1u);
}

TEST_F(FanTest, FansOrMasksBeyondTwoFansHandEveryFanBackToTheSystem) {
    struct Case {
        std::uint8_t current;
        int fan;
        FanMode mode;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {0, 2, FanMode::forced, 0}, {3, 2, FanMode::forced, 0}, {5, 0, FanMode::forced, 0},
        {4, 1, FanMode::automatic, 0},
    };
    store.addKey("F2Md", "ui8 ", {0});
    for (const auto& c : cases) {
        setMask(c.current);
        smc.setFanMode(c.fan, c.mode);
        EXPECT_EQ(mask(), (std::vector<std::uint8_t>{0, c.expected})) << int(c.current) << " fan " << c.fan;
    }
}

TEST_F(FanTest, AFailedModeWriteLeavesTheMaskAlone) {
    setMask(0);
    store.failNextWrite("F0Md", kIOReturnError);
    smc.setFanMode(0, FanMode::forced);
    EXPECT_TRUE(logged("Error write: (iokit/common) general error"));
    EXPECT_EQ(mask(), (std::vector<std::uint8_t>{0, 0}));
    store.failNextWrite("FS! ", kIOReturnError);
    smc.setFanMode(0, FanMode::forced);
    EXPECT_EQ(valueOf("F0Md"), std::vector<std::uint8_t>{1});  // the mode key was written first
    EXPECT_EQ(mask(), (std::vector<std::uint8_t>{0, 0}));
}

TEST_F(FanTest, SpeedIsWrittenInTheTargetKeysOwnForm) {
    struct Case {
        const char* type;
        std::vector<std::uint8_t> initial;
        int speed;
        std::vector<std::uint8_t> expected;
    };
    const Case cases[] = {
        {"fpe2", {0, 0}, 2000, {0x1F, 0x40}},
        {"flt ", {0, 0, 0, 0}, 2000, {0x00, 0x00, 0xFA, 0x44}},
        {"ui16", {0xAB, 0xCD}, 2000, {0xAB, 0xCD}},  // another type: written back as read
    };
    store.addKey("F0Mx", "flt ", {0x00, 0xA0, 0x8C, 0x45});  // 4500.0
    for (const auto& c : cases) {
        store.addKey("F0Tg", c.type, c.initial);
        store.clearHistory();
        smc.setFanSpeed(0, c.speed);
        EXPECT_EQ(valueOf("F0Tg"), c.expected) << c.type;
        ASSERT_FALSE(store.requests().empty());
        const auto sent = store.requests().back();
        EXPECT_EQ(sent[42], 6) << c.type;
        if (std::string(c.type) == "fpe2") {
            EXPECT_EQ(sent[50], 0);
            EXPECT_EQ(sent[51], 0);
        }
    }
}

TEST_F(FanTest, SpeedAboveTheMaximumIsRefusedWithBothNumbers) {
    store.addKey("F0Mx", "flt ", {0x00, 0xA0, 0x8C, 0x45});  // 4500.0
    store.addKey("F0Tg", "flt ", {0, 0, 0, 0});
    smc.setFanSpeed(0, 5000);
    EXPECT_TRUE(logged("new fan speed (5000) is more than maximum speed (4500)"));
    EXPECT_EQ(writesTo("F0Tg"), 0u);
    smc.setFanSpeed(0, 4500);  // equal is accepted
    EXPECT_EQ(writesTo("F0Tg"), 1u);
}

TEST_F(FanTest, AnUnreadableMaximumCountsAsFourThousand) {
    store.removeKey("F0Mx");
    store.addKey("F0Tg", "fpe2", {0, 0});
    smc.setFanSpeed(0, 4001);
    EXPECT_TRUE(logged("new fan speed (4001) is more than maximum speed (4000)"));
    smc.setFanSpeed(0, 4000);
    EXPECT_EQ(valueOf("F0Tg"), (std::vector<std::uint8_t>{0x3E, 0x80}));
}

TEST_F(FanTest, SpeedFailuresWriteNothing) {
    store.addKey("F0Tg", "fpe2", {0, 0});
    store.addKey("F0Mx", "ui16", {0x7F, 0xFF});
    smc.setFanSpeed(0, -4);  // fpe2 holds no negative speed
    smc.setFanSpeed(0, 20000);  // nor one beyond 14 bits
    EXPECT_EQ(writesTo("F0Tg"), 0u);
    store.removeKey("F0Tg");
    smc.setFanSpeed(0, 1000);
    EXPECT_EQ(writesTo("F0Tg"), 0u);
    store.addKey("F0Tg", "fpe2", {0, 0});
    store.failNextRead("F0Tg", kIOReturnError);
    smc.setFanSpeed(0, 1000);
    EXPECT_TRUE(logged("Error read fan value: (iokit/common) general error"));
    EXPECT_EQ(writesTo("F0Tg"), 0u);
}

TEST_F(FanTest, ResetWritesAZeroMaskWithoutReading) {
    setMask(3);
    store.clearHistory();
    smc.resetFans();
    ASSERT_EQ(store.requests().size(), 1u);
    EXPECT_EQ(store.requests()[0][42], 6);
    EXPECT_EQ(store.requests()[0][28], 2);
    EXPECT_EQ(mask(), (std::vector<std::uint8_t>{0, 0}));
}

}  // namespace
}  // namespace wattkeeper::testing
