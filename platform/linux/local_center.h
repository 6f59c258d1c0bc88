#pragma once
// The process's in-process notification center.

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notification_center.h"

namespace wattkeeper::linux_backend {

// NSNotificationCenter's default center: observers per name, called synchronously on the posting
// thread, in registration order. Registration and posting are safe from any thread; an observer
// may post or register in turn.
class LocalCenter : public LocalNotificationCenter {
public:
    void addObserver(std::string_view name, Observer observer) override;
    void postNotification(std::string_view name, const PlistDictionary* userInfo) override;

private:
    struct Entry {
        std::string name;
        Observer observer;
    };

    std::mutex mutex_;
    std::vector<Entry> observers_;
};

}  // namespace wattkeeper::linux_backend
