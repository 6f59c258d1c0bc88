#include "platform/macos/mac_notification_center.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>

#include "platform/macos/cf_values.h"

namespace wattkeeper::macos_backend {

// The port's enumerations carry CoreFoundation's values, so they pass through unchanged.
static_assert(static_cast<CFIndex>(SuspensionBehavior::Drop) == CFNotificationSuspensionBehaviorDrop);
static_assert(static_cast<CFIndex>(SuspensionBehavior::Coalesce) == CFNotificationSuspensionBehaviorCoalesce);
static_assert(static_cast<CFIndex>(SuspensionBehavior::Hold) == CFNotificationSuspensionBehaviorHold);
static_assert(static_cast<CFIndex>(SuspensionBehavior::DeliverImmediately) ==
              CFNotificationSuspensionBehaviorDeliverImmediately);
static_assert(CFOptionFlags{kPostDeliverImmediately} == kCFNotificationDeliverImmediately);
static_assert(CFOptionFlags{kPostToAllSessions} == kCFNotificationPostToAllSessions);

namespace {

// The live centers, so that the trampoline finds the port object of a CF center. Never
// destroyed: NSApplicationMain ends the process with exit(), which runs static destructors.
struct LiveCenters {
    std::mutex mutex;
    std::vector<MacNotificationCenter*> centers;
};

LiveCenters& liveCenters() {
    static auto* live = new LiveCenters;
    return *live;
}

CFNotificationCenterRef centerOf(MacNotificationCenter::Kind kind) {
    return kind == MacNotificationCenter::Kind::Darwin ? CFNotificationCenterGetDarwinNotifyCenter()
                                                       : CFNotificationCenterGetDistributedCenter();
}

void trampoline(CFNotificationCenterRef center, void* /*observer*/, CFNotificationName name, const void* object,
                CFDictionaryRef userInfo) {
    MacNotificationCenter* target = nullptr;
    {
        LiveCenters& live = liveCenters();
        std::lock_guard lock(live.mutex);
        for (MacNotificationCenter* candidate : live.centers) {
            if (candidate->cfCenter() == center) target = candidate;
        }
    }
    const auto text = utf8String(name);
    if (!target || !text) return;
    // The Darwin center never carries a dictionary; whatever it hands over is not looked at.
    std::optional<PlistDictionary> payload;
    if (userInfo && target->kind() == MacNotificationCenter::Kind::Distributed) {
        payload = plistDictionary(userInfo, Unconvertible::Skip);
    }
    target->deliver(*text, object, payload ? &*payload : nullptr);
}

}  // namespace

MacNotificationCenter::MacNotificationCenter(Kind kind) : kind_(kind), center_(centerOf(kind)) {
    LiveCenters& live = liveCenters();
    std::lock_guard lock(live.mutex);
    live.centers.push_back(this);
}

MacNotificationCenter::~MacNotificationCenter() {
    LiveCenters& live = liveCenters();
    std::lock_guard lock(live.mutex);
    live.centers.erase(std::remove(live.centers.begin(), live.centers.end(), this), live.centers.end());
}

void MacNotificationCenter::addObserver(void* observer, NotificationCallback callback, std::string_view name,
                                        const void* object, SuspensionBehavior behavior) {
    auto cfName = makeCFString(name);
    if (!cfName || !callback) return;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        registrations_.push_back(Registration{std::string(name), object, observer, callback});
        first = registeredWithCF_.emplace(name).second;
    }
    if (!first) return;
    CFNotificationCenterAddObserver(static_cast<CFNotificationCenterRef>(const_cast<void*>(center_)), observer,
                                    trampoline, cfName.get(), object,
                                    static_cast<CFNotificationSuspensionBehavior>(behavior));
}

void MacNotificationCenter::postNotification(std::string_view name, const void* object, const PlistDictionary* userInfo,
                                             bool deliverImmediately) {
    auto cfName = makeCFString(name);
    if (!cfName) return;
    CFHolder<CFDictionaryRef> dictionary;
    if (userInfo && kind_ == Kind::Distributed) dictionary = makeCFDictionary(*userInfo);
    if (kind_ == Kind::Darwin) object = nullptr;
    CFNotificationCenterPostNotification(static_cast<CFNotificationCenterRef>(const_cast<void*>(center_)), cfName.get(),
                                         object, dictionary.get(), deliverImmediately);
}

void MacNotificationCenter::postNotificationWithOptions(std::string_view name, const void* object,
                                                        const PlistDictionary* userInfo, std::uint32_t options) {
    auto cfName = makeCFString(name);
    if (!cfName) return;
    CFHolder<CFDictionaryRef> dictionary;
    if (userInfo && kind_ == Kind::Distributed) dictionary = makeCFDictionary(*userInfo);
    if (kind_ == Kind::Darwin) object = nullptr;
    CFNotificationCenterPostNotificationWithOptions(static_cast<CFNotificationCenterRef>(const_cast<void*>(center_)),
                                                    cfName.get(), object, dictionary.get(), options);
}

void MacNotificationCenter::deliver(const std::string& name, const void* object, const PlistDictionary* userInfo) {
    std::vector<Registration> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& registration : registrations_) {
            // A registration for no particular object hears every poster of the name.
            if (registration.name == name && (!registration.object || registration.object == object)) {
                matching.push_back(registration);
            }
        }
    }
    for (const auto& registration : matching) {
        registration.callback(*this, registration.observer, name, object, userInfo);
    }
}

}  // namespace wattkeeper::macos_backend
