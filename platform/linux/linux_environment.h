#pragma once
// What a process of this system learns about its surroundings on Linux: where the virtual Mac
// keeps the Mac's "/", and where its stand-ins for the Mac's own programs lie.

#include <optional>
#include <string>

#include "platform/linux/bus.h"

namespace wattkeeper::linux_backend {

// The host folder that stands for the Mac's "/", asked of the virtual Mac; nothing when it does
// not answer within a few tries.
std::optional<std::string> virtualMacRootFolder(Bus& bus, int attempts = 1);

// The folder of the stand-ins for "launchctl" and "/usr/bin/open": WATTKEEPER_TOOLS_BIN when
// set, else the one of the source tree the program was built from.
std::string virtualMacToolsFolder();

}  // namespace wattkeeper::linux_backend
