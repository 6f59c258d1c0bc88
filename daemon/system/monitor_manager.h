#pragma once
// Tells the charge-limit evaluation whether this notebook's lid is closed.

namespace wattkeeper::daemon {

class ZQMonitorManager {
public:
    ZQMonitorManager() = delete;
    // True only on a "MacBook" model whose root power domain reports the clamshell closed.
    // Asks afresh on every call and logs the model value's size each time.
    static bool lidClosed();
};

}  // namespace wattkeeper::daemon
