#include "daemon/system/monitor_manager.h"

#include <string>

#include "platform/ports.h"

namespace wattkeeper::daemon {

namespace {

constexpr const char* kRootDomainPath = "IOPower:/IOPowerConnection/IOPMrootDomain";

// Logs the size of the "hw.model" value, as every lid check has; the value itself no longer
// matters (see lidClosed).
void logModelSize(SystemInfo& system, Log& log) {
    std::size_t size = 0;
    system.sysctlByName("hw.model", nullptr, &size);
    log.systemLog(std::to_string(size));
}

}  // namespace

bool ZQMonitorManager::lidClosed(const Ports& ports) {
    SystemInfo& system = *ports.systemInfo;
    // The model no longer decides: notebooks since 2022 are named "MacNN,N" like desktops. A
    // desktop has no clamshell property and so reads as open.
    logModelSize(system, *ports.log);

    const IoObject entry = system.registryEntryFromPath(kRootDomainPath);
    if (entry == 0) return false;
    const auto state = system.registryEntryProperty(entry, "AppleClamshellState");
    system.objectRelease(entry);
    const bool* closed = state ? state->asBoolean() : nullptr;
    return closed && *closed;
}

}  // namespace wattkeeper::daemon
