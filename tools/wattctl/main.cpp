// wattctl's composition root: the Linux backend under the command-line stand-in for the main
// application.

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "loginitem/localization.h"
#include "loginitem/notification_wrapper.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "platform/linux/linux_bundles.h"
#include "platform/linux/std_log.h"
#include "platform/linux/virtual_mac_bus.h"
#include "platform/linux/virtual_mac_client.h"
#include "platform/ports.h"
#include "tools/wattctl/wattctl_app.h"

namespace {

using namespace wattkeeper;
using linux_backend::DbusNotificationCenter;

// A center for a process without a bus: posts go nowhere and nothing ever arrives, so requests
// end in the no-answer message while help and the limit file still work.
class UnreachableCenter : public NotificationCenter {
public:
    void addObserver(void*, NotificationCallback, std::string_view, const void*, SuspensionBehavior) override {}
    void postNotification(std::string_view, const void*, const PlistDictionary*, bool) override {}
    void postNotificationWithOptions(std::string_view, const void*, const PlistDictionary*, std::uint32_t) override {}
};

// The texts are the login item's tables. Beside the program when the build put them there,
// else in the login item's bundle that the build lays out below the program's folder.
std::unique_ptr<linux_backend::LinuxBundles> textBundles() {
    auto own = std::make_unique<linux_backend::LinuxBundles>();
    const auto main = own->mainBundle();
    if (!main || main->pathForResource("en", loginitem::kLanguageFolderType)) return own;
    const std::string loginItem = main->bundlePath() + "/bundles/Wattstarter.app";
    if (!own->bundleWithPath(loginItem)) return own;
    return std::make_unique<linux_backend::LinuxBundles>(loginItem);
}

std::optional<std::string> virtualMacRootFolder(sdbus::IProxy* proxy) {
    if (!proxy) return std::nullopt;
    try {
        std::string root;
        proxy->callMethod("RootFolder")
            .onInterface(linux_backend::kMachineInterface)
            .withTimeout(linux_backend::kVirtualMacCallTimeout)
            .storeResultsTo(root);
        if (root.empty()) return std::nullopt;
        return root;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

int main(int argc, char** argv) {
    linux_backend::AsioRunLoop loop;
    // The relay writes each reply it receives to the system log; a main application's system
    // log is not its user's terminal, so here those lines go nowhere.
    std::FILE* systemLog = std::fopen("/dev/null", "w");
    linux_backend::StdLog log("wattctl", stdout, systemLog ? systemLog : stderr);
    const auto bundles = textBundles();

    std::unique_ptr<linux_backend::Bus> bus;
    std::string busError;
    try {
        bus = std::make_unique<linux_backend::Bus>();
    } catch (const std::exception& error) {
        busError = error.what();
    }

    UnreachableCenter unreachable;
    std::unique_ptr<DbusNotificationCenter> darwin;
    std::unique_ptr<DbusNotificationCenter> distributed;
    std::unique_ptr<linux_backend::VirtualMacPowerSources> powerSources;
    std::unique_ptr<linux_backend::VirtualMacSystemInfo> systemInfo;
    std::unique_ptr<sdbus::IProxy> machine;
    if (bus) {
        darwin = std::make_unique<DbusNotificationCenter>(*bus, loop, DbusNotificationCenter::Kind::Darwin);
        distributed = std::make_unique<DbusNotificationCenter>(*bus, loop, DbusNotificationCenter::Kind::Distributed);
        powerSources = std::make_unique<linux_backend::VirtualMacPowerSources>(*bus, loop);
        systemInfo = std::make_unique<linux_backend::VirtualMacSystemInfo>(*bus, loop);
        try {
            machine = sdbus::createProxy(bus->connection(), linux_backend::kVirtualMacService,
                                         linux_backend::kVirtualMacPath);
        } catch (const std::exception&) {
            // Without the virtual Mac, --root and --user must say where its files are.
        }
    }

    Ports& ports = processPorts();
    ports = Ports{
        .runLoop = &loop,
        .log = &log,
        .darwinCenter = darwin ? static_cast<NotificationCenter*>(darwin.get()) : &unreachable,
        .distributedCenter = distributed ? static_cast<NotificationCenter*>(distributed.get()) : &unreachable,
        .powerSources = powerSources.get(),
        .systemInfo = systemInfo.get(),
        .bundles = bundles.get(),
    };

    if (!bus) {
        if (const auto language = wattctl::requestedLanguage(argc, argv)) {
            loginitem::ZQLocalizationSystem::setLanguage(*language);
        }
        std::cerr << loginitem::ZQLocalizationSystem::localizedStringForKey("error.noBus", std::nullopt) << " ("
                  << busError << ")\n";
    }

    int status = 0;
    {
        wattctl::WattctlApp app(wattctl::Context{
            loop,
            loginitem::ZQNotificationWrapper::sharedManager(),
            powerSources.get(),
            [&machine] { return virtualMacRootFolder(machine.get()); },
            [&systemInfo]() -> std::optional<std::string> {
                return systemInfo ? systemInfo->consoleUser() : std::nullopt;
            },
            std::cout,
            std::cerr,
        });
        app.start(argc, argv);
        if (!app.finished()) loop.run();
        status = app.exitStatus();
    }
    std::cout.flush();
    return status;
}
