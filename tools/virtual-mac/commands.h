#pragma once
// A person's commands to a running virtual Mac, each one Control request.

#include <functional>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/linux/virtual_mac_bus.h"

namespace wattkeeper::virtual_mac {

// Runs one exchange with the virtual Mac's Control interface, on the bus in
// WATTKEEPER_BUS_ADDRESS or else the system bus, and gives the exit status: 0, or 1
// with a message on standard error when the virtual Mac is not there or refuses the request.
int withControl(const std::function<void(sdbus::IProxy& proxy)>& exchange);

// The status block a person reads.
std::string formatStatus(const linux_backend::BusDictionary& status);
// The same on one line, for progress shown in place: "charge  79.98% (79%)  adapter on  CH0B 0
// CH0C 0 CH0I 0  lid open  awake   state charging".
std::string formatStatusLine(const linux_backend::BusDictionary& status);

}  // namespace wattkeeper::virtual_mac
