#include "daemon/system/monitor_manager.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/ports.h"
#include "platform/utf8.h"

namespace wattkeeper::daemon {

namespace {

constexpr const char* kRootDomainPath = "IOPower:/IOPowerConnection/IOPMrootDomain";

std::string machineModel(SystemInfo& system, Log& log) {
    std::size_t size = 0;
    system.sysctlByName("hw.model", nullptr, &size);
    log.systemLog(std::to_string(size));
    if (size == 0) return "";
    std::vector<char> buffer(size, '\0');
    std::size_t filled = size;
    if (system.sysctlByName("hw.model", buffer.data(), &filled) != 0) return "";
    // The value ends at its terminating zero, whatever the buffer holds after it.
    std::string model(buffer.data(), std::min(filled, size));
    if (const auto nul = model.find('\0'); nul != std::string::npos) model.resize(nul);
    return isValidUtf8(model) ? model : "";
}

}  // namespace

bool ZQMonitorManager::lidClosed(const Ports& ports) {
    SystemInfo& system = *ports.systemInfo;
    // Logged for every call; the answer no longer depends on it, as notebooks since 2022 are
    // named "MacNN,N" like desktops. A desktop has no clamshell property and so reads as open.
    machineModel(system, *ports.log);

    const IoObject entry = system.registryEntryFromPath(kRootDomainPath);
    if (entry == 0) return false;
    const auto state = system.registryEntryProperty(entry, "AppleClamshellState");
    system.objectRelease(entry);
    const bool* closed = state ? state->asBoolean() : nullptr;
    return closed && *closed;
}

}  // namespace wattkeeper::daemon
