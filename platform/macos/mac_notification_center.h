#pragma once
// The Darwin notify center and the distributed notification center of CoreFoundation.

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/notification_center.h"

namespace wattkeeper::macos_backend {

// One of CoreFoundation's two system-wide centers, behind the port.
//
// Observers: a CF callback has no room for the port's callback, so one file-local trampoline is
// registered for every name, and it finds the port's callbacks for the arriving name in a table
// here. The first observer of a name calls CFNotificationCenterAddObserver with exactly the
// observer, object and suspension behaviour it was given (the system passes NULL, NULL and
// DeliverImmediately); later observers of the same name are only added to the table, where an
// observed object other than NULL is compared with the poster's. CoreFoundation calls the
// trampoline on the main thread's run loop.
//
// Posts: the Darwin center carries the name alone (object and dictionary are dropped, as that
// center does); the distributed center converts the dictionary (cf_values.h). A name that is not
// UTF-8 cannot be made into a CFString, and its post is dropped.
//
// Threads: addObserver and posts from any thread. One center of each kind per process; it must
// outlive the run loop's service, as observers are never removed.
class MacNotificationCenter : public NotificationCenter {
public:
    enum class Kind { Darwin, Distributed };

    explicit MacNotificationCenter(Kind kind);
    ~MacNotificationCenter() override;
    MacNotificationCenter(const MacNotificationCenter&) = delete;
    MacNotificationCenter& operator=(const MacNotificationCenter&) = delete;

    void addObserver(void* observer, NotificationCallback callback, std::string_view name, const void* object,
                     SuspensionBehavior behavior) override;
    // CFNotificationCenterPostNotification.
    void postNotification(std::string_view name, const void* object, const PlistDictionary* userInfo,
                          bool deliverImmediately) override;
    // CFNotificationCenterPostNotificationWithOptions, the options passed through as they are.
    void postNotificationWithOptions(std::string_view name, const void* object, const PlistDictionary* userInfo,
                                     std::uint32_t options) override;

    Kind kind() const { return kind_; }
    // The CFNotificationCenterRef behind this center.
    const void* cfCenter() const { return center_; }

    // Runs the port callbacks registered for a name and object; the trampoline's entry.
    void deliver(const std::string& name, const void* object, const PlistDictionary* userInfo);

private:
    struct Registration {
        std::string name;
        const void* object;
        void* observer;
        NotificationCallback callback;
    };

    Kind kind_;
    const void* center_;  // the CFNotificationCenterRef, kept opaque in this header
    std::mutex mutex_;
    std::vector<Registration> registrations_;
    std::set<std::string, std::less<>> registeredWithCF_;
};

}  // namespace wattkeeper::macos_backend
