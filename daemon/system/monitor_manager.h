#pragma once
// Tells the charge-limit evaluation whether this notebook's lid is closed.

#include "platform/ports.h"

namespace wattkeeper::daemon {

class ZQMonitorManager {
public:
    ZQMonitorManager() = delete;
    // True when the root power domain reports the clamshell closed (a desktop has no such
    // property and reads as open). Asks ports.systemInfo afresh on every call and logs the size
    // of the "hw.model" value each time.
    static bool lidClosed(const Ports& ports);
};

}  // namespace wattkeeper::daemon
