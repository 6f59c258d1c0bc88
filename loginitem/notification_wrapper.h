#pragma once
// The request/reply relay between application code and the daemon.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/plist.h"

namespace wattkeeper::loginitem {

// Called once with the reply's payload; nullptr when the reply carried none.
using Completion = std::function<void(const PlistDictionary*)>;

// Handler keys: the slot a waiting completion is filed under, one per kind of request.
inline constexpr std::string_view kHandlerQueryDeamonLoadStatus = "QueryDeamonLoadStatusCallBack";
inline constexpr std::string_view kHandlerQuerySMCChargingStatus = "QuerySMCChargingStatusCallBack";
inline constexpr std::string_view kHandlerUninstallHelper = "uninstallHelperCallBack";
inline constexpr std::string_view kHandlerBatteryHeart = "BatteryHeart";
inline constexpr std::string_view kHandlerHelperRestart = "HelperRestart";
// The common slot of every request without a reply of its own kind.
inline constexpr std::string_view kHandlerQueryDeamonNormal = "QueryDeamonNormalCallBack";

inline constexpr std::string_view kReplyLogFormatPrefix = "守护进程发送的userInfo:";

// The slot a request's completion waits in.
std::string_view handlerKeyForRequest(std::string_view requestName);
// The slot a reply completes.
std::string_view handlerKeyForReply(std::string_view replyName);
// Whether a reply's payload goes to the system log when it arrives.
bool isLoggedReply(std::string_view replyName);

// Sends requests to the daemon and hands each one's reply to the completion waiting for its
// kind. One process-wide instance, used on the main thread only.
class ZQNotificationWrapper {
public:
    using CompletionTable = std::map<std::string, Completion, std::less<>>;

    // Registers the seven reply names on the distributed center.
    ZQNotificationWrapper(NotificationCenter& darwinCenter, NotificationCenter& distributedCenter, Log& log);
    ZQNotificationWrapper(const ZQNotificationWrapper&) = delete;
    ZQNotificationWrapper& operator=(const ZQNotificationWrapper&) = delete;

    // The process-wide relay, created once from the process's ports on first call.
    static ZQNotificationWrapper& sharedManager();
    // Puts another relay in place of the shared one (nothing: a fresh one on next use).
    static void replaceShared(std::unique_ptr<ZQNotificationWrapper> relay);

    void addCFNotificationObserver();
    // Further names map to the common slot.
    void registerDistributedNotificationsWithName(std::string_view name);
    // Files the completion under the request's slot, replacing whatever waited there (an empty
    // completion just clears the slot), then posts the request. Returns before any reply.
    void sendNotificationAndWaitForResult(std::string_view requestName, Completion completion);

    // A slot for callers; the relay itself never calls it.
    Completion notificationCompletionBlock() const;
    void setNotificationCompletionBlock(Completion block);

    CompletionTable& completionHandlers() { return completionHandlers_; }
    const CompletionTable& completionHandlers() const { return completionHandlers_; }
    void setCompletionHandlers(CompletionTable handlers) { completionHandlers_ = std::move(handlers); }

    Log& log() { return log_; }

private:
    NotificationCenter& darwinCenter_;
    NotificationCenter& distributedCenter_;
    Log& log_;
    mutable std::mutex blockMutex_;
    Completion notificationCompletionBlock_;
    CompletionTable completionHandlers_;
};

}  // namespace wattkeeper::loginitem
