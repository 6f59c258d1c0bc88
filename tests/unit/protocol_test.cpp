#include <gtest/gtest.h>

#include <string_view>

#include "protocol/names.h"
#include "protocol/protocol.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {
namespace {

using testkit::MemoryNotificationCenter;
using Method = MemoryNotificationCenter::PostMethod;

void ignore(NotificationCenter&, void*, std::string_view, const void*, const PlistDictionary*) {}

TEST(ProtocolOperations, RequestsAreBareNamesRepliesGoToAllSessionsAndObserversAreAnonymous) {
    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, MemoryNotificationCenter::Kind::Darwin};
    MemoryNotificationCenter distributed{loop, MemoryNotificationCenter::Kind::Distributed};
    const PlistDictionary payload{{std::string(protocol::kKeyStatus), 1}};
    protocol::postRequest(darwin, protocol::kOpenSMC);
    protocol::postReply(distributed, protocol::kReplyDeamonLoadStatus, payload);
    protocol::observeDarwin(darwin, protocol::kHeart, ignore);
    protocol::observeDistributed(distributed, protocol::kReplyHeart, ignore);

    ASSERT_EQ(darwin.posts().size(), 1u);
    const auto& request = darwin.posts()[0];
    EXPECT_EQ(request.name, protocol::kOpenSMC);
    EXPECT_EQ(request.method, Method::PostNotification);
    EXPECT_EQ(request.object, nullptr);
    EXPECT_EQ(request.userInfo, std::nullopt);
    EXPECT_TRUE(request.deliverImmediately);

    ASSERT_EQ(distributed.posts().size(), 1u);
    const auto& reply = distributed.posts()[0];
    EXPECT_EQ(reply.method, Method::PostNotificationWithOptions);
    EXPECT_EQ(reply.object, nullptr);
    EXPECT_EQ(reply.userInfo, payload);
    EXPECT_EQ(reply.options, 3u);  // kCFNotificationDeliverImmediately | kCFNotificationPostToAllSessions

    for (const auto* center : {&darwin, &distributed}) {
        ASSERT_EQ(center->registrations().size(), 1u);
        const auto& r = center->registrations()[0];
        EXPECT_EQ(r.name, center == &darwin ? protocol::kHeart : protocol::kReplyHeart);
        EXPECT_EQ(r.observer, nullptr);
        EXPECT_EQ(r.object, nullptr);
        EXPECT_EQ(r.callback, &ignore);
        EXPECT_EQ(static_cast<int>(r.behavior), 4);  // CFNotificationSuspensionBehaviorDeliverImmediately
    }
}

}  // namespace
}  // namespace wattkeeper::testkit
