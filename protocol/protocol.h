#pragma once
// The four operations every party of the protocol uses, fixing the post and observe parameters
// of each center so that no caller chooses them.

#include <cstdint>
#include <string_view>

#include "platform/notification_center.h"
#include "platform/plist.h"

namespace wattkeeper::protocol {

// Replies must reach every login session, since the daemon runs outside the user's session.
inline constexpr std::uint32_t kReplyPostOptions = kPostDeliverImmediately | kPostToAllSessions;
inline constexpr SuspensionBehavior kObserveBehavior = SuspensionBehavior::DeliverImmediately;

// A request: the bare name on the Darwin notify center.
void postRequest(NotificationCenter& darwin, std::string_view name);

// A reply or announcement: the name and its payload on the distributed center.
void postReply(NotificationCenter& distributed, std::string_view name, const PlistDictionary& payload);

void observeDarwin(NotificationCenter& darwin, std::string_view name, NotificationCallback callback);
void observeDistributed(NotificationCenter& distributed, std::string_view name, NotificationCallback callback);

}  // namespace wattkeeper::protocol
