#pragma once
// Names and value conversions of the virtual Mac's bus API, shared by the simulator and its
// clients so that both sides spell every member alike.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/linux/bus_values.h"
#include "platform/plist.h"

namespace wattkeeper::linux_backend {

inline constexpr const char* kVirtualMacService = "org.wattkeeper.VirtualMac";
inline constexpr const char* kVirtualMacPath = "/org/wattkeeper/VirtualMac";
inline constexpr const char* kSmcInterface = "org.wattkeeper.VirtualMac.SMC";
inline constexpr const char* kMachineInterface = "org.wattkeeper.VirtualMac.Machine";
inline constexpr const char* kControlInterface = "org.wattkeeper.VirtualMac.Control";
// The virtual Mac's launchd, which the launchctl stand-in talks to.
inline constexpr const char* kLaunchdInterface = "org.wattkeeper.VirtualMac.Launchd";

// Long enough for a busy simulator, short enough that a daemon whose virtual Mac is gone keeps
// its timers going.
inline constexpr std::chrono::seconds kVirtualMacCallTimeout{2};

// The virtual Mac's interfaces carry every value (bus_values.h).
inline BusDictionary toMachineBus(const PlistDictionary& dictionary) {
    return toBus(dictionary, BusValueRules::Everything);
}

}  // namespace wattkeeper::linux_backend
