#pragma once
// The three notification centers: the Darwin notify center (names only), the distributed
// center (names with a dictionary) and the process's own in-process center.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/plist.h"

namespace wattkeeper {

// CFNotificationSuspensionBehavior.
enum class SuspensionBehavior : int {
    Drop = 1,
    Coalesce = 2,
    Hold = 3,
    DeliverImmediately = 4,
};

// CFNotificationCenterPostNotificationWithOptions flags.
enum PostOptions : std::uint32_t {
    kPostDeliverImmediately = 1,
    kPostToAllSessions = 2,
};

class NotificationCenter;

// The shape of a CFNotificationCallback: center, observer, name, object, userInfo. The object
// is always null in this system; userInfo is null when the post carried no dictionary.
using NotificationCallback = void (*)(NotificationCenter& center, void* observer, std::string_view name,
                                      const void* object, const PlistDictionary* userInfo);

// A CoreFoundation notification center: the Darwin notify center or the distributed center.
// The Darwin center carries names only and drops any object or dictionary.
class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;
    // CFNotificationCenterAddObserver.
    virtual void addObserver(void* observer, NotificationCallback callback, std::string_view name, const void* object,
                             SuspensionBehavior behavior) = 0;
    // CFNotificationCenterPostNotification.
    virtual void postNotification(std::string_view name, const void* object, const PlistDictionary* userInfo,
                                  bool deliverImmediately) = 0;
    // CFNotificationCenterPostNotificationWithOptions.
    virtual void postNotificationWithOptions(std::string_view name, const void* object, const PlistDictionary* userInfo,
                                             std::uint32_t options) = 0;
};

// The process's default in-process center (NSNotificationCenter).
class LocalNotificationCenter {
public:
    using Observer = std::function<void(std::string_view name, const PlistDictionary* userInfo)>;
    virtual ~LocalNotificationCenter() = default;
    virtual void addObserver(std::string_view name, Observer observer) = 0;
    // postNotificationName:object:userInfo: with no object; observers run synchronously.
    virtual void postNotification(std::string_view name, const PlistDictionary* userInfo) = 0;
};

}  // namespace wattkeeper
