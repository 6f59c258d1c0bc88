#pragma once
// The process's in-process notification center: NSNotificationCenter's default center.

#include <memory>

#include "platform/notification_center.h"

namespace wattkeeper::macos_backend {

// Observers are called synchronously on the posting thread, as the default center calls them,
// with the notification's userInfo converted (values without a property-list form left out).
// Registration and posting are safe from any thread. Observers stay registered for the life of
// this object.
class MacLocalCenter : public LocalNotificationCenter {
public:
    MacLocalCenter();
    ~MacLocalCenter() override;
    MacLocalCenter(const MacLocalCenter&) = delete;
    MacLocalCenter& operator=(const MacLocalCenter&) = delete;

    // addObserver:selector:name:object: with no object. A name that is not UTF-8 is not registered.
    void addObserver(std::string_view name, Observer observer) override;
    // postNotificationName:object:userInfo: with no object.
    void postNotification(std::string_view name, const PlistDictionary* userInfo) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace wattkeeper::macos_backend
