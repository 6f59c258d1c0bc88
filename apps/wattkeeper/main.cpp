// Wattkeeper's composition root on Linux: the daemon over the D-Bus centers and the virtual Mac.

#include <malloc.h>
#include <sysexits.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "daemon/core/app_delegate.h"
#include "daemon/core/battery_module.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/confined_processes.h"
#include "platform/linux/dbus_centers.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/linux_bundles.h"
#include "platform/linux/linux_environment.h"
#include "platform/linux/posix_file_system.h"
#include "platform/linux/std_log.h"
#include "platform/linux/virtual_mac_bus.h"
#include "platform/linux/virtual_mac_client.h"
#include "platform/ports.h"

namespace {

using namespace wattkeeper;
using namespace wattkeeper::linux_backend;

// Follows the virtual Mac's name on the bus. The clients call whoever owns the name, so they
// reach a virtual Mac that comes back without help, and their signal subscriptions follow the
// name too. What does not come back by itself is the battery record, stale until the next
// power-source change, so it is read again at once; that evaluates the limit too, which opens a
// new SMC connection (the old one died with the old process) while charge control is on.
sdbus::Slot watchVirtualMac(Bus& bus, RunLoop& loop, Log& log) {
    const std::string rule = std::string(
                                 "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                 "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                             linux_backend::kVirtualMacService + "'";
    return bus.addMatch(rule, [&loop, &log](sdbus::Message& message) {
        std::string name;
        std::string oldOwner;
        std::string newOwner;
        message >> name >> oldOwner >> newOwner;
        const bool back = !newOwner.empty();
        loop.async([&log, back] {
            if (!back) {
                log.systemLog("the virtual Mac left the bus: its calls fail until it returns");
                return;
            }
            log.systemLog("the virtual Mac is back: battery read again");
            if (daemon::ZQBatteryModule* module = daemon::ZQBatteryModule::shared()) module->powerSourceChanged();
        });
    });
}

}  // namespace

int main(int argc, char** argv) {
    // The threads take turns rather than allocate side by side: one serves the global queue, and
    // the bus thread only hands signals on. One arena keeps the pages each of them would otherwise
    // keep touched in an arena of its own.
    ::mallopt(M_ARENA_MAX, 1);
    AsioRunLoop loop;
    StdLog log("Wattkeeper");
    std::unique_ptr<Bus> bus;
    try {
        bus = std::make_unique<Bus>();
    } catch (const std::exception& error) {
        log.systemLog(std::string("no bus: ") + error.what());
        return 1;
    }
    // Without its bus the daemon hears no request and, here, reaches no hardware; a new instance
    // started by launchd finds the bus again. Ending at once also keeps the threads still at work
    // from running on into a teardown.
    bus->onDisconnect([&log] {
        log.systemLog("the bus went away: exiting for launchd to start a new instance");
        if (daemon::ZQBatteryModule* module = daemon::ZQBatteryModule::shared()) module->handBackCharging("exiting");
        std::_Exit(EX_TEMPFAIL);
    });
    // The hardware comes up before its daemon; give it a moment when both start together.
    const auto root = virtualMacRootFolder(*bus, 20);
    if (!root) {
        log.systemLog("the virtual Mac does not answer");
        return 1;
    }

    const sdbus::Slot virtualMacWatch = watchVirtualMac(*bus, loop, log);
    DbusNotificationCenter darwin(*bus, loop, DbusNotificationCenter::Kind::Darwin);
    DbusNotificationCenter distributed(*bus, loop, DbusNotificationCenter::Kind::Distributed);
    VirtualMacSmcDriver smc(*bus, loop);
    VirtualMacPowerSources powerSources(*bus, loop);
    VirtualMacSystemInfo systemInfo(*bus, loop);
    VirtualMacWorkspace workspace(*bus, loop);
    VirtualMacDisplays displays(*bus, loop);
    PosixFileSystem files(*root);
    ConfinedProcesses processes(*root, virtualMacToolsFolder());
    LinuxBundles bundles;
    LinuxApplication application(loop);

    Ports& ports = processPorts();
    ports = Ports{
        .runLoop = &loop,
        .log = &log,
        .smcDriver = &smc,
        .darwinCenter = &darwin,
        .distributedCenter = &distributed,
        .powerSources = &powerSources,
        .systemInfo = &systemInfo,
        .fileSystem = &files,
        .processes = &processes,
        .workspace = &workspace,
        .displays = &displays,
        .bundles = &bundles,
        .application = &application,
    };
    return daemon::wattkeeperMain(argc, argv, ports);
}
