// The in-app request register across processes: "AskUninstall" names emitted on the bus by
// another client reach this process's in-process observers with the same dictionary.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "loginitem/request_register.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "platform/linux/local_center.h"
#include "protocol/names.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"
#include "tests/kit/scoped_ports.h"

namespace wattkeeper::testing {
namespace {

using linux_backend::AsioRunLoop;
using linux_backend::Bus;
using linux_backend::DbusNotificationCenter;
using linux_backend::LocalCenter;
namespace names = protocol;

struct Forward {
    std::string name;
    std::optional<PlistDictionary> userInfo;
};

class RegisterAcrossProcesses : public ::testing::Test {
protected:
    RegisterAcrossProcesses() {
        // The register is the process's shared one, made from the process's centers.
        ports.runLoop = &loop;
        ports.darwinCenter = &darwin;
        ports.distributedCenter = &distributed;
        ports.localCenter = &localCenter;
        scoped.emplace(ports);
        loginitem::ZQDaemonNotificationRegister::replaceShared(nullptr);
        auto& registerer = loginitem::ZQDaemonNotificationRegister::manager();
        for (std::string_view name : names::kInAppRequestNames) registerer.registerDistributedNotificationsWithName(name);
        for (std::string_view local : {names::kLocalLaunchDaemonEnable, names::kLocalLaunchDaemonRemove,
                                       names::kLocalLaunchDaemonSwitchEnable, names::kLocalPrivacyExitAppProcess,
                                       names::kLocalUninstallRemoveItem}) {
            localCenter.addObserver(local, [this](std::string_view name, const PlistDictionary* userInfo) {
                std::lock_guard lock(mutex);
                forwards.push_back({std::string(name), userInfo ? std::optional(*userInfo) : std::nullopt});
                arrived.notify_all();
            });
        }
        bus_.wake();
        serving = std::thread([this] { loop.run(); });
    }
    ~RegisterAcrossProcesses() override {
        loop.stop();
        serving.join();
        loginitem::ZQDaemonNotificationRegister::replaceShared(nullptr);
    }

    // Emits the name (and the dictionary in GVariant text, when given) with gdbus, a client none
    // of us wrote, then waits for a marker name to come through after it.
    std::vector<Forward> emit(std::string_view name, const std::optional<std::string>& dictionary) {
        {
            std::lock_guard lock(mutex);
            forwards.clear();
        }
        std::vector<std::string> command = {"/usr/bin/gdbus", "emit", "--session", "--object-path",
                                            "/org/wattkeeper/Notifications", "--signal",
                                            "org.wattkeeper.DistributedNotify.Post", "'" + std::string(name) + "'"};
        if (dictionary) command.push_back(*dictionary);
        EXPECT_EQ(run(command, bus.environment()).status, 0);
        const auto marker = run({"/usr/bin/gdbus", "emit", "--session", "--object-path", "/org/wattkeeper/Notifications",
                                 "--signal", "org.wattkeeper.DistributedNotify.Post",
                                 "'" + std::string(names::kAskUninstallPrivacyExitApp) + "'", "{'marker': <true>}"},
                                bus.environment());
        EXPECT_EQ(marker.status, 0);
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, 10s, [this] {
            return !forwards.empty() && forwards.back().userInfo && forwards.back().userInfo->contains("marker");
        });
        std::vector<Forward> result(forwards.begin(), forwards.end());
        if (!result.empty()) result.pop_back();
        return result;
    }

    PrivateBus bus;
    AsioRunLoop loop;
    Bus bus_{bus.address()};
    DbusNotificationCenter darwin{bus_, loop, DbusNotificationCenter::Kind::Darwin};
    DbusNotificationCenter distributed{bus_, loop, DbusNotificationCenter::Kind::Distributed};
    LocalCenter localCenter;
    Ports ports;
    std::optional<testkit::ScopedProcessPorts> scoped;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Forward> forwards;
    std::thread serving;
};

TEST_F(RegisterAcrossProcesses, EachAskUninstallNameReachesItsObserverWithTheSameDictionary) {
    const PlistDictionary removeLabel{{"label", "删除守护进程"}, {"extra", 7}};
    const PlistDictionary otherLabel{{"label", "其他"}};
    struct Case {
        std::string_view name;
        std::optional<std::string> dictionary;
        std::vector<std::string> expectedNames;
        std::optional<PlistDictionary> expectedUserInfo;
    };
    const Case cases[] = {
        {names::kAskUninstallExecuteShell, "{'label': <'删除守护进程'>}", {}, std::nullopt},
        {names::kAskUninstallLaunchDaemonIsEnable, std::nullopt, {std::string(names::kLocalLaunchDaemonEnable)},
         std::nullopt},
        {names::kAskUninstallLaunchDaemonSwitchEnable, "{'label': <'删除守护进程'>, 'extra': <int32 7>}",
         {std::string(names::kLocalLaunchDaemonRemove)}, removeLabel},
        {names::kAskUninstallLaunchDaemonSwitchEnable, "{'label': <'其他'>}",
         {std::string(names::kLocalLaunchDaemonSwitchEnable)}, otherLabel},
        {names::kAskUninstallLaunchDaemonSwitchEnable, std::nullopt,
         {std::string(names::kLocalLaunchDaemonSwitchEnable)}, std::nullopt},
        {names::kAskUninstallLaunchDaemonRemove, "{'label': <'删除守护进程'>, 'extra': <int32 7>}",
         {std::string(names::kLocalLaunchDaemonRemove)}, removeLabel},
        {names::kAskUninstallLaunchDaemonRemove, "{'label': <'其他'>}", {}, std::nullopt},
        {names::kAskUninstallUninstallRemoveSelectedItem, "{'label': <'其他'>}",
         {std::string(names::kLocalUninstallRemoveItem)}, otherLabel},
        {"AskUninstallSomethingElse:", "{'label': <'删除守护进程'>}", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto seen = emit(c.name, c.dictionary);
        std::vector<std::string> seenNames;
        for (const auto& f : seen) seenNames.push_back(f.name);
        EXPECT_EQ(seenNames, c.expectedNames) << c.name << " " << c.dictionary.value_or("(none)");
        if (!seen.empty()) {
            EXPECT_EQ(seen[0].userInfo, c.expectedUserInfo) << c.name;
        }
    }
}

}  // namespace
}  // namespace wattkeeper::testing
