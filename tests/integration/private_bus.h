#pragma once
// A message bus of a test's own: a dbus-daemon started for one test and ended with it.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {

// Starts a private dbus-daemon (session-style configuration in a temporary folder, everything
// allowed for the current user, no activatable services) and ends it, reaped, with its folder
// removed, on destruction. Throws std::runtime_error when the daemon does not come up within a
// few seconds.
//
// Destroy every connection to the bus and stop every process using it before the PrivateBus:
// declare it first in a fixture. The daemon is killed with the thread that made the PrivateBus,
// so that a crashed or killed test leaves no bus behind: make it on the test's own thread.
class PrivateBus {
public:
    PrivateBus();

    // The bus's D-Bus address, for Bus(address), dbus-send --bus= and dbus-monitor --address.
    const std::string& address() const { return address_; }
    pid_t pid() const { return daemon_->pid(); }

    // This process's environment as "NAME=value" entries for a child, with
    // WATTKEEPER_BUS_ADDRESS set to this bus. DBUS_SESSION_BUS_ADDRESS and
    // DBUS_SYSTEM_BUS_ADDRESS point here too, so that a child which ignored the first would still
    // never reach the host's real buses.
    std::vector<std::string> environment() const;

    // Ends the bus daemon, with every connection to it, and starts a new one at the same address.
    void restart();

private:
    void start();

    TempDir folder_;
    std::optional<Child> daemon_;
    std::string address_;
};

}  // namespace wattkeeper::testkit
