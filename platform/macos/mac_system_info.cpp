#include "platform/macos/mac_system_info.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/pwr_mgt/IOPM.h>
#include <SystemConfiguration/SystemConfiguration.h>
#include <mach/mach.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "platform/macos/cf_values.h"
#include "platform/macos/iokit_ports.h"

namespace wattkeeper::macos_backend {

namespace {

// The root power domain's interest registration, kept for the life of the process: the kernel
// may post a message at any time after it is made, and the callback reaches it through refCon.
struct ClamshellRegistration {
    std::function<void()> changed;
    IONotificationPortRef port = nullptr;
    io_service_t rootDomain = IO_OBJECT_NULL;
    io_object_t notification = IO_OBJECT_NULL;
};

// Never freed: the notification object refers to it until the process ends.
ClamshellRegistration* gClamshell = nullptr;

// The root domain's general interest also carries sleep, wake and feature messages; only the
// lid's is wanted.
void rootDomainInterest(void* refCon, io_service_t /*service*/, uint32_t messageType, void* /*argument*/) {
    if (messageType != kIOPMMessageClamshellStateChange) return;
    static_cast<ClamshellRegistration*>(refCon)->changed();
}

}  // namespace

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

void MacSystemInfo::addClamshellChangeNotification(std::function<void()> changed) {
    static std::atomic<bool> attempted{false};
    if (!changed || attempted.exchange(true)) return;
    auto registration = std::make_unique<ClamshellRegistration>();
    registration->changed = std::move(changed);
    registration->port = IONotificationPortCreate(ioKitDefaultPort());
    if (!registration->port) return;
    // The matching dictionary is consumed by the lookup.
    registration->rootDomain = IOServiceGetMatchingService(ioKitDefaultPort(), IOServiceMatching("IOPMrootDomain"));
    if (registration->rootDomain == IO_OBJECT_NULL ||
        IOServiceAddInterestNotification(registration->port, registration->rootDomain, kIOGeneralInterest,
                                         rootDomainInterest, registration.get(),
                                         &registration->notification) != KERN_SUCCESS) {
        if (registration->rootDomain != IO_OBJECT_NULL) IOObjectRelease(registration->rootDomain);
        IONotificationPortDestroy(registration->port);
        return;
    }
    CFRunLoopAddSource(CFRunLoopGetMain(), IONotificationPortGetRunLoopSource(registration->port),
                       kCFRunLoopDefaultMode);
    gClamshell = registration.release();
}

std::optional<std::string> MacSystemInfo::consoleUser() {
    CFHolder<CFStringRef> user(SCDynamicStoreCopyConsoleUser(nullptr, nullptr, nullptr));
    if (!user) return std::nullopt;
    return utf8String(user.get());
}

std::uint32_t MacSystemInfo::effectiveUserId() { return ::geteuid(); }

}  // namespace wattkeeper::macos_backend
