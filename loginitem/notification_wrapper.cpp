#include "loginitem/notification_wrapper.h"

#include <array>
#include <utility>

#include "platform/ports.h"
#include "protocol/names.h"
#include "protocol/protocol.h"

namespace wattkeeper::loginitem {

namespace {

struct KeyRow {
    std::string_view name;
    std::string_view key;
};

constexpr std::array<KeyRow, 5> kRequestKeys = {{
    {protocol::kQueryDeamonLoadStatus, kHandlerQueryDeamonLoadStatus},
    {protocol::kQuerySMCChargingStatus, kHandlerQuerySMCChargingStatus},
    {protocol::kUninstallHelper, kHandlerUninstallHelper},
    {protocol::kHeart, kHandlerBatteryHeart},
    {protocol::kRestart, kHandlerHelperRestart},
}};

constexpr std::array<KeyRow, 7> kReplyKeys = {{
    {protocol::kReplyDeamonLoadStatus, kHandlerQueryDeamonLoadStatus},
    {protocol::kReplyQuerySMCChargingStatus, kHandlerQuerySMCChargingStatus},
    {protocol::kReplyUninstallHelper, kHandlerUninstallHelper},
    {protocol::kReplyHeart, kHandlerBatteryHeart},
    {protocol::kReplyRestart, kHandlerHelperRestart},
    {protocol::kReplyQuerySMCOpenCloseStatus, kHandlerQueryDeamonNormal},
    {protocol::kReplySmcState, kHandlerQueryDeamonNormal},
}};

constexpr std::array<std::string_view, 3> kLoggedReplies = {
    protocol::kReplyDeamonLoadStatus,
    protocol::kReplyQuerySMCChargingStatus,
    protocol::kReplyQuerySMCOpenCloseStatus,
};

template <std::size_t N>
std::string_view keyIn(const std::array<KeyRow, N>& rows, std::string_view name) {
    for (const auto& row : rows) {
        if (row.name == name) return row.key;
    }
    return kHandlerQueryDeamonNormal;
}

SharedInstance<ZQNotificationWrapper>& sharedRelay() {
    static SharedInstance<ZQNotificationWrapper> instance;
    return instance;
}

// Replies reach the shared relay whichever instance registered their name, since the observer
// is registered without an object to carry it.
void daemonReplyCallback(NotificationCenter&, void*, std::string_view name, const void*,
                         const PlistDictionary* userInfo) {
    ZQNotificationWrapper& relay = ZQNotificationWrapper::sharedManager();
    auto& handlers = relay.completionHandlers();
    const auto found = handlers.find(handlerKeyForReply(name));

    if (isLoggedReply(name)) {
        // A missing payload reads as NSLog's %@ prints nil.
        relay.log().systemLog(std::string(kReplyLogFormatPrefix) + (userInfo ? describe(*userInfo) : "(null)"));
    }
    if (found == handlers.end()) return;

    // Out of the table before the call, so a completion that sends a request of its own kind
    // keeps the completion it files.
    Completion completion = std::move(found->second);
    handlers.erase(found);
    if (completion) completion(userInfo);
}

}  // namespace

std::string_view handlerKeyForRequest(std::string_view requestName) { return keyIn(kRequestKeys, requestName); }

std::string_view handlerKeyForReply(std::string_view replyName) { return keyIn(kReplyKeys, replyName); }

bool isLoggedReply(std::string_view replyName) {
    for (std::string_view logged : kLoggedReplies) {
        if (logged == replyName) return true;
    }
    return false;
}

ZQNotificationWrapper::ZQNotificationWrapper(NotificationCenter& darwinCenter, NotificationCenter& distributedCenter,
                                             Log& log)
    : darwinCenter_(darwinCenter), distributedCenter_(distributedCenter), log_(log) {
    addCFNotificationObserver();
}

ZQNotificationWrapper& ZQNotificationWrapper::sharedManager() {
    return sharedRelay().get([] {
        Ports& ports = processPorts();
        return std::make_unique<ZQNotificationWrapper>(*ports.darwinCenter, *ports.distributedCenter, *ports.log);
    });
}

void ZQNotificationWrapper::replaceShared(std::unique_ptr<ZQNotificationWrapper> relay) {
    sharedRelay().replace(std::move(relay));
}

void ZQNotificationWrapper::addCFNotificationObserver() {
    for (std::string_view reply : protocol::kReplyNames) registerDistributedNotificationsWithName(reply);
}

void ZQNotificationWrapper::registerDistributedNotificationsWithName(std::string_view name) {
    protocol::observeDistributed(distributedCenter_, name, daemonReplyCallback);
}

void ZQNotificationWrapper::sendNotificationAndWaitForResult(std::string_view requestName, Completion completion) {
    const std::string_view key = handlerKeyForRequest(requestName);
    if (completion) {
        completionHandlers_.insert_or_assign(std::string(key), std::move(completion));
    } else {
        completionHandlers_.erase(std::string(key));
    }
    protocol::postRequest(darwinCenter_, requestName);
}

Completion ZQNotificationWrapper::notificationCompletionBlock() const {
    std::lock_guard lock(blockMutex_);
    return notificationCompletionBlock_;
}

void ZQNotificationWrapper::setNotificationCompletionBlock(Completion block) {
    std::lock_guard lock(blockMutex_);
    notificationCompletionBlock_ = std::move(block);
}

}  // namespace wattkeeper::loginitem
