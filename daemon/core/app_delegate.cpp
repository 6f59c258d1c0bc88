#include "daemon/core/app_delegate.h"

namespace wattkeeper::daemon {

void AppDelegate::applicationDidFinishLaunching() { batteryModule = std::make_unique<ZQBatteryModule>(ports_); }

int wattkeeperMain(int argc, char** argv, const Ports& ports) {
    AppDelegate delegate(ports);
    return ports.application->applicationMain(argc, argv, [&delegate] { delegate.applicationDidFinishLaunching(); });
}

}  // namespace wattkeeper::daemon
