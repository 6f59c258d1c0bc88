#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "loginitem/request_register.h"
#include "platform/ports.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/scoped_ports.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {
namespace {

using testkit::MemoryNotificationCenter;
using Center = MemoryNotificationCenter::Kind;
using Strings = std::vector<std::string>;

const std::string kExecuteShell = "AskUninstallExecuteShellCallback:";
const std::string kIsEnable = "AskUninstallLaunchDaemonIsEnableCallback:";
const std::string kSwitchEnable = "AskUninstallLaunchDaemonSwitchEnableCallback:";
const std::string kRemove = "AskUninstallLaunchDaemonRemoveCallback:";
const std::string kPrivacyExit = "AskUninstallPrivacyExitAppCallback:";
const std::string kRemoveSelected = "AskUninstallUninstallRemoveSelectedItemCallback:";
const std::string kRemoveLabel = "删除守护进程";

class RegisterTest : public ::testing::Test {
protected:
    void SetUp() override {
        loginitem::ZQDaemonNotificationRegister::replaceShared(
            std::make_unique<loginitem::ZQDaemonNotificationRegister>(darwin, distributed, local));
    }
    void TearDown() override { loginitem::ZQDaemonNotificationRegister::replaceShared(nullptr); }

    loginitem::ZQDaemonNotificationRegister& reg() { return loginitem::ZQDaemonNotificationRegister::manager(); }

    void arrive(const std::string& name, const std::optional<PlistDictionary>& userInfo) {
        distributed.postNotificationWithOptions(name, nullptr, userInfo ? &*userInfo : nullptr, 3);
        loop.runUntilIdle();
    }

    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, Center::Darwin};
    MemoryNotificationCenter distributed{loop, Center::Distributed};
    testkit::MemoryLocalCenter local;
};

TEST_F(RegisterTest, EachInAppRequestIsForwardedAsItsRowSaysWithThePayloadUnchanged) {
    const PlistDictionary removal{{"label", kRemoveLabel}, {"identifier", "org.wattkeeper.helper"}, {"enable", false}};
    const PlistDictionary otherLabel{{"label", "关闭守护进程"}, {"enable", true}};
    const PlistDictionary paddedLabel{{"label", kRemoveLabel + " "}};
    const PlistDictionary numberLabel{{"label", 1}};
    const PlistDictionary nestedLabel{{"label", PlistArray{kRemoveLabel}}};
    const PlistDictionary noLabel{{"identifier", "org.wattkeeper.helper"}};
    struct Case {
        std::string incoming;
        std::optional<PlistDictionary> payload;
        std::optional<std::string> forwarded;
    };
    const Case cases[] = {
        {kExecuteShell, std::nullopt, std::nullopt},
        {kIsEnable, std::nullopt, "PostToLoginItemClassLaunchDaemonEnable"},
        {kSwitchEnable, removal, "PostToLoginItemClassLaunchDaemonRemove"},
        {kSwitchEnable, otherLabel, "PostToLoginItemClassLaunchDaemonSwitchEnable"},
        {kSwitchEnable, paddedLabel, "PostToLoginItemClassLaunchDaemonSwitchEnable"},
        {kSwitchEnable, numberLabel, "PostToLoginItemClassLaunchDaemonSwitchEnable"},
        {kSwitchEnable, nestedLabel, "PostToLoginItemClassLaunchDaemonSwitchEnable"},
        {kSwitchEnable, noLabel, "PostToLoginItemClassLaunchDaemonSwitchEnable"},
        {kRemove, removal, "PostToLoginItemClassLaunchDaemonRemove"},
        {kRemove, otherLabel, std::nullopt},
        {kRemove, noLabel, std::nullopt},
        {kRemove, std::nullopt, std::nullopt},
        {kPrivacyExit, std::nullopt, "PostToPrivacyClassExitAppProcess"},
        {kRemoveSelected, std::nullopt, "PostToUninstallClassRemoveItem"},
        // Names outside the table, even close ones, are dropped.
        {"AskUninstallLaunchDaemonRemoveCallback", removal, std::nullopt},
        {"askuninstallprivacyexitappcallback:", std::nullopt, std::nullopt},
        {"ZQAmperly_TellDeamon_Heart", std::nullopt, std::nullopt},
    };
    std::set<std::string> names;
    for (const auto& c : cases) names.insert(c.incoming);
    for (const auto& name : names) reg().registerDistributedNotificationsWithName(name);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.incoming + (c.payload ? " with " + describe(*c.payload) : " without payload"));
        local.clearPosts();

        arrive(c.incoming, c.payload);

        if (c.forwarded) {
            ASSERT_EQ(local.posts().size(), 1u);
            EXPECT_EQ(local.posts()[0].name, *c.forwarded);
            EXPECT_EQ(local.posts()[0].userInfo, c.payload);
        } else {
            EXPECT_TRUE(local.posts().empty());
        }
    }
}

TEST_F(RegisterTest, NothingIsObservedUntilTheUserRegistersANameAndNamesForTheDaemonGoOnTheDarwinCenter) {
    reg().addCFNotificationObserver();
    EXPECT_TRUE(distributed.registrations().empty());
    arrive(kPrivacyExit, std::nullopt);
    EXPECT_TRUE(local.posts().empty());

    reg().registerDistributedNotificationsWithName(kPrivacyExit);
    ASSERT_EQ(distributed.registrations().size(), 1u);
    EXPECT_EQ(distributed.registrations()[0].name, kPrivacyExit);
    EXPECT_TRUE(darwin.registrations().empty());

    reg().postCFNotificationCenterWithName("ZQAmperlyApp_CFNotification_Tell_Helper_openSMC");
    EXPECT_EQ(darwin.postedNames(), Strings{"ZQAmperlyApp_CFNotification_Tell_Helper_openSMC"});
    EXPECT_EQ(distributed.posts().size(), 1u);  // only the arrival above
    EXPECT_TRUE(local.posts().empty());
}

TEST(RegisterManager, IsMadeFromTheProcessPortsAndForwardsOnItsLocalCenter) {
    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, Center::Darwin};
    MemoryNotificationCenter distributed{loop, Center::Distributed};
    testkit::MemoryLocalCenter local;
    Ports ports;
    ports.darwinCenter = &darwin;
    ports.distributedCenter = &distributed;
    ports.localCenter = &local;
    testkit::ScopedProcessPorts scoped(ports);
    loginitem::ZQDaemonNotificationRegister::replaceShared(nullptr);

    loginitem::ZQDaemonNotificationRegister::manager().registerDistributedNotificationsWithName(kIsEnable);
    distributed.postNotificationWithOptions(kIsEnable, nullptr, nullptr, 3);
    loop.runUntilIdle();
    ASSERT_EQ(local.posts().size(), 1u);
    EXPECT_EQ(local.posts()[0].name, "PostToLoginItemClassLaunchDaemonEnable");
    loginitem::ZQDaemonNotificationRegister::replaceShared(nullptr);
}

}  // namespace
}  // namespace wattkeeper::testkit
