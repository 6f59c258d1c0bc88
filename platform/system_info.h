#pragma once
// Facts about the machine: sysctl values, the I/O registry, the console user, the own user id.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist.h"
#include "platform/smc_driver.h"

namespace wattkeeper {

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // sysctlbyname for reading: with a null buffer only *size is set (the value's length with
    // its terminating zero). Returns 0 on success, -1 on failure.
    virtual int sysctlByName(std::string_view name, void* buffer, std::size_t* size) = 0;
    // IORegistryEntryFromPath on the main port: 0 when the path does not resolve.
    virtual IoObject registryEntryFromPath(std::string_view path) = 0;
    // IORegistryEntryCreateCFProperty: nothing when the entry lacks the property.
    virtual std::optional<PlistValue> registryEntryProperty(IoObject entry, std::string_view key) = 0;
    virtual KernReturn objectRelease(IoObject object) = 0;
    // IOServiceAddInterestNotification on the root power domain (general interest), keeping only
    // its clamshell-change message (kIOPMMessageClamshellStateChange): `changed` runs on the
    // main queue each time the lid opens or closes. Registered once for the process; a machine
    // without a lid never calls it.
    virtual void addClamshellChangeNotification(std::function<void()> changed) = 0;
    // SCDynamicStoreCopyConsoleUser: the short name, nothing when the store reports none.
    virtual std::optional<std::string> consoleUser() = 0;
    // geteuid.
    virtual std::uint32_t effectiveUserId() = 0;
};

}  // namespace wattkeeper
