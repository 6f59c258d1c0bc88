// Wattkeeper's composition root on Linux: the daemon over the D-Bus centers and the virtual Mac.

#include <cstdio>
#include <exception>
#include <memory>

#include "daemon/core/app_delegate.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/confined_processes.h"
#include "platform/linux/dbus_centers.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/linux_bundles.h"
#include "platform/linux/linux_environment.h"
#include "platform/linux/posix_file_system.h"
#include "platform/linux/std_log.h"
#include "platform/linux/virtual_mac_client.h"
#include "platform/ports.h"

int main(int argc, char** argv) {
    using namespace wattkeeper;
    using namespace wattkeeper::linux_backend;

    AsioRunLoop loop;
    StdLog log("Wattkeeper");
    std::unique_ptr<Bus> bus;
    try {
        bus = std::make_unique<Bus>();
    } catch (const std::exception& error) {
        log.systemLog(std::string("no bus: ") + error.what());
        return 1;
    }
    // The hardware comes up before its daemon; give it a moment when both start together.
    const auto root = virtualMacRootFolder(*bus, 20);
    if (!root) {
        log.systemLog("the virtual Mac does not answer");
        return 1;
    }

    DbusNotificationCenter darwin(*bus, loop, DbusNotificationCenter::Kind::Darwin);
    DbusNotificationCenter distributed(*bus, loop, DbusNotificationCenter::Kind::Distributed);
    VirtualMacSmcDriver smc(bus->connection(), loop);
    VirtualMacPowerSources powerSources(bus->connection(), loop);
    VirtualMacSystemInfo systemInfo(bus->connection(), loop);
    VirtualMacWorkspace workspace(bus->connection(), loop);
    VirtualMacDisplays displays(bus->connection(), loop);
    PosixFileSystem files(*root);
    ConfinedProcesses processes(*root, virtualMacToolsFolder());
    LinuxBundles bundles;
    LinuxApplication application(loop);

    Ports& ports = processPorts();
    ports.runLoop = &loop;
    ports.log = &log;
    ports.smcDriver = &smc;
    ports.darwinCenter = &darwin;
    ports.distributedCenter = &distributed;
    ports.powerSources = &powerSources;
    ports.systemInfo = &systemInfo;
    ports.fileSystem = &files;
    ports.processes = &processes;
    ports.workspace = &workspace;
    ports.displays = &displays;
    ports.bundles = &bundles;
    ports.application = &application;
    return daemon::wattkeeperMain(argc, argv, ports);
}
