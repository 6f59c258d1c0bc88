#pragma once
// The daemon's application delegate and program entry.

#include <memory>

#include "daemon/core/battery_module.h"
#include "platform/ports.h"

namespace wattkeeper::daemon {

class AppDelegate {
public:
    explicit AppDelegate(const Ports& ports) : ports_(ports) {}

    // Creates the battery module. Its construction runs the main run loop, so on a real run
    // loop this never returns and `batteryModule` stays empty.
    void applicationDidFinishLaunching();
    void applicationWillTerminate() {}
    bool applicationSupportsSecureRestorableState() const { return true; }

    std::unique_ptr<ZQBatteryModule> batteryModule;

private:
    Ports ports_;
};

// The program entry: hands the arguments to the application main function.
int wattkeeperMain(int argc, char** argv, const Ports& ports);

}  // namespace wattkeeper::daemon
