#include "platform/macos/mac_power_sources.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/ps/IOPowerSources.h>

#include <atomic>

#include "platform/macos/cf_values.h"
#include "platform/macos/iokit_ports.h"

namespace wattkeeper::macos_backend {

namespace {

std::atomic<MacPowerSources*> gInterestTarget{nullptr};

void interestCallback(void* /*refCon*/, io_service_t /*service*/, uint32_t messageType, void* /*argument*/) {
    if (MacPowerSources* target = gInterestTarget.load(std::memory_order_acquire)) target->deliver(messageType);
}

}  // namespace

MacPowerSources::MacPowerSources() = default;

MacPowerSources::~MacPowerSources() {
    MacPowerSources* expected = this;
    gInterestTarget.compare_exchange_strong(expected, nullptr);
}

std::optional<PowerSourceList> MacPowerSources::copyPowerSources() {
    CFHolder<CFTypeRef> snapshot(IOPSCopyPowerSourcesInfo());
    if (!snapshot) return std::nullopt;
    CFHolder<CFArrayRef> list(IOPSCopyPowerSourcesList(snapshot.get()));
    if (!list) return std::nullopt;
    PowerSourceList sources;
    const CFIndex count = CFArrayGetCount(list.get());
    for (CFIndex i = 0; i < count; ++i) {
        // Not owned: the description belongs to the snapshot.
        CFDictionaryRef description =
            IOPSGetPowerSourceDescription(snapshot.get(), CFArrayGetValueAtIndex(list.get(), i));
        sources.push_back(description ? plistDictionary(description, Unconvertible::Skip) : std::nullopt);
    }
    return sources;
}

KernReturn MacPowerSources::addGeneralInterestNotification(InterestCallback callback) {
    std::lock_guard lock(mutex_);
    if (callback) callbacks_.push_back(std::move(callback));
    if (registration_) return *registration_;
    gInterestTarget.store(this, std::memory_order_release);

    IONotificationPortRef port = IONotificationPortCreate(ioKitDefaultPort());
    if (!port) return *(registration_ = kIOReturnNoMemory);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port), kCFRunLoopCommonModes);
    // The matching dictionary is consumed by the lookup.
    const io_service_t service = IOServiceGetMatchingService(ioKitDefaultPort(), IOServiceMatching("IOPMPowerSource"));
    if (service == IO_OBJECT_NULL) return *(registration_ = kDriverNotFound);
    io_object_t notification = IO_OBJECT_NULL;
    registration_ =
        IOServiceAddInterestNotification(port, service, kIOGeneralInterest, interestCallback, nullptr, &notification);
    return *registration_;
}

void MacPowerSources::deliver(std::uint32_t messageType) {
    std::vector<InterestCallback> callbacks;
    {
        std::lock_guard lock(mutex_);
        callbacks = callbacks_;
    }
    for (const auto& callback : callbacks) callback(messageType);
}

}  // namespace wattkeeper::macos_backend
