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

namespace wattkeeper::virtual_mac {

inline constexpr const char* kServiceName = "org.wattkeeper.VirtualMac";
inline constexpr const char* kObjectPath = "/org/wattkeeper/VirtualMac";
inline constexpr const char* kSmcInterface = "org.wattkeeper.VirtualMac.SMC";
inline constexpr const char* kMachineInterface = "org.wattkeeper.VirtualMac.Machine";
inline constexpr const char* kControlInterface = "org.wattkeeper.VirtualMac.Control";
// The virtual Mac's launchd, which the launchctl stand-in talks to.
inline constexpr const char* kLaunchdInterface = "org.wattkeeper.VirtualMac.Launchd";

// Long enough for a busy simulator, short enough that a daemon whose virtual Mac is gone keeps
// its timers going.
inline constexpr std::chrono::seconds kCallTimeout{2};

using BusDictionary = linux_backend::BusDictionary;

// The virtual Mac's interfaces carry every value (bus_values.h).
inline BusDictionary toBus(const PlistDictionary& dictionary) {
    return linux_backend::toBus(dictionary, linux_backend::BusValueRules::Everything);
}
inline PlistDictionary fromBus(const BusDictionary& dictionary) { return linux_backend::fromBus(dictionary); }

}  // namespace wattkeeper::virtual_mac
