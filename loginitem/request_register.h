#pragma once
// Forwarding of in-app requests from other processes to this process's own observers.

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/notification_center.h"
#include "platform/plist.h"

namespace wattkeeper::loginitem {

// The local name an in-app request turns into, judged by its name and, for two of them, its
// "label"; nothing when the request is dropped.
std::optional<std::string_view> localNameForRequest(std::string_view name, const PlistDictionary* userInfo);

// Turns in-app requests arriving on the distributed center into in-process notifications with
// the same payload, and posts bare names to the daemon. One process-wide instance.
class ZQDaemonNotificationRegister {
public:
    using IsEnableBlock = std::function<void(bool isEnable)>;

    ZQDaemonNotificationRegister(NotificationCenter& darwinCenter, NotificationCenter& distributedCenter,
                                 LocalNotificationCenter& localCenter);
    ZQDaemonNotificationRegister(const ZQDaemonNotificationRegister&) = delete;
    ZQDaemonNotificationRegister& operator=(const ZQDaemonNotificationRegister&) = delete;

    // The process-wide register, created once from the process's ports on first call.
    static ZQDaemonNotificationRegister& manager();
    // Puts another register in place of the shared one (nothing: a fresh one on next use).
    static void replaceShared(std::unique_ptr<ZQDaemonNotificationRegister> next);

    void postCFNotificationCenterWithName(std::string_view name);
    // The register observes nothing until its user names what to forward.
    void registerDistributedNotificationsWithName(std::string_view name);
    void addCFNotificationObserver();

    // A slot for callers; the register itself never calls it.
    const IsEnableBlock& isEnableBlock() const { return isEnableBlock_; }
    void setIsEnableBlock(IsEnableBlock block) { isEnableBlock_ = std::move(block); }

    LocalNotificationCenter& localCenter() { return localCenter_; }

private:
    NotificationCenter& darwinCenter_;
    NotificationCenter& distributedCenter_;
    LocalNotificationCenter& localCenter_;
    IsEnableBlock isEnableBlock_;
};

}  // namespace wattkeeper::loginitem
