#pragma once
// Names and value conversions of the virtual Mac's bus API, shared by the simulator and its
// clients so that both sides spell every member alike.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/plist.h"

namespace wattkeeper::virtual_mac {

inline constexpr const char* kServiceName = "org.wattkeeper.VirtualMac";
inline constexpr const char* kObjectPath = "/org/wattkeeper/VirtualMac";
inline constexpr const char* kSmcInterface = "org.wattkeeper.VirtualMac.SMC";
inline constexpr const char* kMachineInterface = "org.wattkeeper.VirtualMac.Machine";
inline constexpr const char* kControlInterface = "org.wattkeeper.VirtualMac.Control";

// Long enough for a busy simulator, short enough that a daemon whose virtual Mac is gone keeps
// its timers going.
inline constexpr std::chrono::seconds kCallTimeout{2};

using BusDictionary = std::map<std::string, sdbus::Variant>;

// Integers travel as int32 when they fit and as int64 otherwise; texts, booleans and reals as
// they are; dictionaries and arrays nest as a{sv} and av. Dates go as their seconds since 2001
// and data as ay.
BusDictionary toBus(const PlistDictionary& dictionary);
// Takes every basic D-Bus number type, texts, a{sv}, av and ay; values of other types are left out.
PlistDictionary fromBus(const BusDictionary& dictionary);

}  // namespace wattkeeper::virtual_mac
