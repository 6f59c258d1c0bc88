#pragma once
// Facts about the Mac: sysctl values, the I/O registry, the console user, the own user id.

#include "platform/system_info.h"

namespace wattkeeper::macos_backend {

// Each operation is the call it is named after; nothing is cached. Safe from any thread.
class MacSystemInfo : public SystemInfo {
public:
    // sysctlbyname for reading.
    int sysctlByName(std::string_view name, void* buffer, std::size_t* size) override;
    // IOMasterPort with a null bootstrap port, then IORegistryEntryFromPath on that port; the
    // port's send right is given back before this returns.
    IoObject registryEntryFromPath(std::string_view path) override;
    // IORegistryEntryCreateCFProperty with kCFAllocatorDefault and no options; the property is
    // released once converted (a CFBoolean through CFBooleanGetValue).
    std::optional<PlistValue> registryEntryProperty(IoObject entry, std::string_view key) override;
    KernReturn objectRelease(IoObject object) override;
    // The first call creates a notification port on the default main port, looks up the
    // IOPMrootDomain service, adds an IOGeneralInterest notification on it and adds the port's
    // run-loop source to the main run loop in the default mode; the main thread's run loop then
    // runs `changed` for each kIOPMMessageClamshellStateChange. Port, service, notification object
    // and callback are kept for the process. A lookup or registration that fails leaves the
    // process without the notification, silently; later calls do nothing.
    void addClamshellChangeNotification(std::function<void()> changed) override;
    // SCDynamicStoreCopyConsoleUser with no store and no user or group id; the name is released
    // once converted.
    std::optional<std::string> consoleUser() override;
    std::uint32_t effectiveUserId() override;
};

}  // namespace wattkeeper::macos_backend
