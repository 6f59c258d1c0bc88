#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

bool contains(const auto& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(ProtocolNames, AreListedOnceAndOnlyTheHeartIsBothARequestAndAReply) {
    for (const auto& names :
         {std::vector<std::string_view>(protocol::kRequestNames.begin(), protocol::kRequestNames.end()),
          std::vector<std::string_view>(protocol::kReplyNames.begin(), protocol::kReplyNames.end()),
          std::vector<std::string_view>(protocol::kInAppRequestNames.begin(), protocol::kInAppRequestNames.end())}) {
        EXPECT_EQ(std::set<std::string_view>(names.begin(), names.end()).size(), names.size());
    }
    std::vector<std::string_view> both;
    for (auto reply : protocol::kReplyNames) {
        if (contains(protocol::kRequestNames, reply)) both.push_back(reply);
    }
    EXPECT_EQ(both, std::vector<std::string_view>{protocol::kHeart});

    EXPECT_EQ(protocol::kReplyHeart, protocol::kHeart);
}

}  // namespace
}  // namespace wattkeeper::testkit
