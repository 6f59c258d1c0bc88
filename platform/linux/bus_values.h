#pragma once
// Property-list values on D-Bus, one mapping for the notification centers and the virtual Mac.
//
// Integers travel as int32 when they fit and as int64 otherwise; texts, booleans and reals as
// they are; data as ay; dictionaries and arrays nest as a{sv} and av. Read back, every basic
// number type is taken (an unsigned 64-bit number above the largest signed one saturates), and
// values of any other type (object paths and signatures included) are left out.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/plist.h"

namespace wattkeeper::linux_backend {

using BusDictionary = std::map<std::string, sdbus::Variant>;

// Whether a text can be sent as a D-Bus string and read back as the same text.
bool isBusText(const std::string& text);

enum class BusValueRules {
    // The virtual Mac's interfaces: every value crosses, a date as its seconds since 2001.
    Everything,
    // Posts on the notification centers: what a posted dictionary can carry between processes.
    // A date, and a text or key holding a zero byte or not valid UTF-8, are left out (with the
    // entry that holds them) rather than sent.
    Posts,
};

std::optional<sdbus::Variant> toBus(const PlistValue& value, BusValueRules rules);
BusDictionary toBus(const PlistDictionary& dictionary, BusValueRules rules);

// A variant read from a message (sdbus-c++ 1.2 cannot name the type of a variant made from a
// bare value); nothing for a type that has no property-list value.
std::optional<PlistValue> fromBus(const sdbus::Variant& variant);
PlistDictionary fromBus(const BusDictionary& dictionary);

// A dictionary of one basic type, as dbus-send makes them.
PlistValue fromBusBasic(std::int16_t n);
PlistValue fromBusBasic(std::int32_t n);
PlistValue fromBusBasic(std::int64_t n);
PlistValue fromBusBasic(std::uint8_t n);
PlistValue fromBusBasic(std::uint16_t n);
PlistValue fromBusBasic(std::uint32_t n);
PlistValue fromBusBasic(std::uint64_t n);
PlistValue fromBusBasic(double n);
PlistValue fromBusBasic(bool b);
PlistValue fromBusBasic(std::string text);

template <class T>
PlistDictionary fromBus(const std::map<std::string, T>& dictionary) {
    std::vector<PlistDictionary::Entry> entries;
    entries.reserve(dictionary.size());
    for (const auto& [key, value] : dictionary) entries.emplace_back(key, fromBusBasic(value));
    return PlistDictionary(std::move(entries));
}

}  // namespace wattkeeper::linux_backend
