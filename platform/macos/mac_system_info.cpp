#include "platform/macos/mac_system_info.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <SystemConfiguration/SystemConfiguration.h>
#include <mach/mach.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <string>

#include "platform/macos/cf_values.h"
#include "platform/macos/iokit_ports.h"

namespace wattkeeper::macos_backend {

int MacSystemInfo::sysctlByName(std::string_view name, void* buffer, std::size_t* size) {
    const std::string text(name);
    return ::sysctlbyname(text.c_str(), buffer, size, nullptr, 0);
}

IoObject MacSystemInfo::registryEntryFromPath(std::string_view path) {
    mach_port_t mainPort = MACH_PORT_NULL;
    if (ioKitMainPort(&mainPort) != KERN_SUCCESS) return IO_OBJECT_NULL;
    const std::string text(path);
    const io_registry_entry_t entry = IORegistryEntryFromPath(mainPort, text.c_str());
    // Each IOMasterPort call adds a reference to the send right; the lid check runs every 20
    // seconds, so an unreturned one would pile up for the life of the daemon.
    mach_port_deallocate(mach_task_self(), mainPort);
    return entry;
}

std::optional<PlistValue> MacSystemInfo::registryEntryProperty(IoObject entry, std::string_view key) {
    auto cfKey = makeCFString(key);
    if (!cfKey) return std::nullopt;
    CFHolder<CFTypeRef> property(IORegistryEntryCreateCFProperty(entry, cfKey.get(), kCFAllocatorDefault, 0));
    if (!property) return std::nullopt;
    return plistValue(property.get(), Unconvertible::Skip);
}

KernReturn MacSystemInfo::objectRelease(IoObject object) { return IOObjectRelease(object); }

void MacSystemInfo::addClamshellChangeNotification(std::function<void()> /*changed*/) {}

std::optional<std::string> MacSystemInfo::consoleUser() {
    CFHolder<CFStringRef> user(SCDynamicStoreCopyConsoleUser(nullptr, nullptr, nullptr));
    if (!user) return std::nullopt;
    return utf8String(user.get());
}

std::uint32_t MacSystemInfo::effectiveUserId() { return ::geteuid(); }

}  // namespace wattkeeper::macos_backend
