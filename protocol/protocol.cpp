#include "protocol/protocol.h"

namespace wattkeeper::protocol {

void postRequest(NotificationCenter& darwin, std::string_view name) {
    darwin.postNotification(name, nullptr, nullptr, true);
}

void postReply(NotificationCenter& distributed, std::string_view name, const PlistDictionary& payload) {
    distributed.postNotificationWithOptions(name, nullptr, &payload, kReplyPostOptions);
}

void observeDarwin(NotificationCenter& darwin, std::string_view name, NotificationCallback callback) {
    darwin.addObserver(nullptr, callback, name, nullptr, kObserveBehavior);
}

void observeDistributed(NotificationCenter& distributed, std::string_view name, NotificationCallback callback) {
    distributed.addObserver(nullptr, callback, name, nullptr, kObserveBehavior);
}

}  // namespace wattkeeper::protocol
