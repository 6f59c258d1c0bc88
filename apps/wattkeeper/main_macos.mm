// Wattkeeper's composition root on macOS: the daemon over IOKit, CoreFoundation, libdispatch and
// AppKit. The Linux build takes main.cpp instead.

#include "daemon/core/app_delegate.h"
#include "platform/macos/iokit_smc_driver.h"
#include "platform/macos/mac_application.h"
#include "platform/macos/mac_bundles.h"
#include "platform/macos/mac_file_system.h"
#include "platform/macos/mac_log.h"
#include "platform/macos/mac_notification_center.h"
#include "platform/macos/mac_power_sources.h"
#include "platform/macos/mac_processes.h"
#include "platform/macos/mac_run_loop.h"
#include "platform/macos/mac_system_info.h"
#include "platform/macos/mac_workspace.h"
#include "platform/ports.h"

int main(int argc, char** argv) {
    using namespace wattkeeper;
    using namespace wattkeeper::macos_backend;

    // The entry's own pool, made and drained at once; the application brings its own after.
    @autoreleasepool {
    }

    MacRunLoop loop;
    MacLog log;
    IOKitSmcDriver smc;
    MacNotificationCenter darwin(MacNotificationCenter::Kind::Darwin);
    MacNotificationCenter distributed(MacNotificationCenter::Kind::Distributed);
    MacPowerSources powerSources;
    MacSystemInfo systemInfo;
    MacFileSystem files;
    MacProcesses processes;
    MacWorkspace workspace;
    MacDisplays displays;
    MacBundles bundles;
    MacApplication application;

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
