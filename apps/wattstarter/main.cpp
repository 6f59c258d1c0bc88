// Wattstarter's composition root on Linux: the login item over the D-Bus centers and the
// virtual Mac's workspace.

#include <exception>
#include <memory>

#include "loginitem/app_delegate.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/linux_bundles.h"
#include "platform/linux/linux_defaults.h"
#include "platform/linux/linux_environment.h"
#include "platform/linux/local_center.h"
#include "platform/linux/std_log.h"
#include "platform/linux/virtual_mac_client.h"
#include "platform/ports.h"

int main(int argc, char** argv) {
    using namespace wattkeeper;
    using namespace wattkeeper::linux_backend;

    AsioRunLoop loop;
    StdLog log("Wattstarter");
    std::unique_ptr<Bus> bus;
    try {
        bus = std::make_unique<Bus>();
    } catch (const std::exception& error) {
        log.systemLog(std::string("no bus: ") + error.what());
        return 1;
    }
    const auto root = virtualMacRootFolder(*bus, 20);
    if (!root) {
        log.systemLog("the virtual Mac does not answer");
        return 1;
    }

    DbusNotificationCenter darwin(*bus, loop, DbusNotificationCenter::Kind::Darwin);
    DbusNotificationCenter distributed(*bus, loop, DbusNotificationCenter::Kind::Distributed);
    LocalCenter local;
    VirtualMacSystemInfo systemInfo(*bus, loop);
    VirtualMacWorkspace workspace(*bus, loop);
    LinuxDefaults defaults(*root, [&systemInfo] { return systemInfo.consoleUser(); });
    LinuxBundles bundles;
    LinuxApplication application(loop);

    Ports& ports = processPorts();
    ports = Ports{
        .runLoop = &loop,
        .log = &log,
        .darwinCenter = &darwin,
        .distributedCenter = &distributed,
        .localCenter = &local,
        .systemInfo = &systemInfo,
        .workspace = &workspace,
        .bundles = &bundles,
        .defaults = &defaults,
        .application = &application,
    };
    return loginitem::wattstarterMain(argc, argv, ports);
}
