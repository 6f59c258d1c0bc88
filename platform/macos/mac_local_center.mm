#include "platform/macos/mac_local_center.h"

#import "platform/macos/foundation_bridge.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace wattkeeper::macos_backend {

struct MacLocalCenter::Impl {
    std::mutex mutex;
    std::vector<WattkeeperNotificationTarget*> targets;  // strong: the center does not retain them
};

MacLocalCenter::MacLocalCenter() : impl_(std::make_unique<Impl>()) {}

MacLocalCenter::~MacLocalCenter() {
    NSNotificationCenter* center = [NSNotificationCenter defaultCenter];
    for (WattkeeperNotificationTarget* target : impl_->targets) [center removeObserver:target];
}

void MacLocalCenter::addObserver(std::string_view name, Observer observer) {
    NSString* notificationName = nsString(name);
    if (!notificationName || !observer) return;
    WattkeeperNotificationTarget* target = [[WattkeeperNotificationTarget alloc]
        initWithAction:[observer = std::move(observer)](NSNotification* notification) {
            const std::string arrived = stdString(notification.name);
            const auto userInfo = plistDictionaryOf(notification.userInfo);
            observer(arrived, userInfo ? &*userInfo : nullptr);
        }];
    {
        std::lock_guard lock(impl_->mutex);
        impl_->targets.push_back(target);
    }
    [[NSNotificationCenter defaultCenter] addObserver:target
                                             selector:@selector(receive:)
                                                 name:notificationName
                                               object:nil];
}

void MacLocalCenter::postNotification(std::string_view name, const PlistDictionary* userInfo) {
    NSString* notificationName = nsString(name);
    if (!notificationName) return;
    @autoreleasepool {
        [[NSNotificationCenter defaultCenter] postNotificationName:notificationName
                                                            object:nil
                                                          userInfo:userInfo ? nsDictionary(*userInfo) : nil];
    }
}

}  // namespace wattkeeper::macos_backend
