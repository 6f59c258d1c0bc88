#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/names.h"
#include "protocol/protocol.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::protocol {
namespace {

using testkit::MemoryNotificationCenter;
using testkit::VirtualRunLoop;
using Kind = MemoryNotificationCenter::Kind;
using Method = MemoryNotificationCenter::PostMethod;

struct Received {
    std::string name;
    std::optional<PlistDictionary> userInfo;
    friend bool operator==(const Received&, const Received&) = default;
};

// Observers are registered with a null observer pointer, so the callbacks report to a global.
std::vector<Received> gReceived;

void record(NotificationCenter&, void*, std::string_view name, const void*, const PlistDictionary* userInfo) {
    gReceived.push_back({std::string(name), userInfo ? std::optional(*userInfo) : std::nullopt});
}

class ProtocolOperations : public ::testing::Test {
protected:
    void SetUp() override { gReceived.clear(); }

    VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, Kind::Darwin};
    MemoryNotificationCenter distributed{loop, Kind::Distributed};
};

TEST_F(ProtocolOperations, ARequestIsABareNameDeliveredImmediately) {
    postRequest(darwin, kOpenSMC);

    ASSERT_EQ(darwin.posts().size(), 1u);
    const auto& post = darwin.posts()[0];
    EXPECT_EQ(post.name, kOpenSMC);
    EXPECT_EQ(post.method, Method::PostNotification);
    EXPECT_EQ(post.object, nullptr);
    EXPECT_EQ(post.userInfo, std::nullopt);
    EXPECT_TRUE(post.deliverImmediately);
}

TEST_F(ProtocolOperations, AReplyGoesToAllSessionsWithItsPayload) {
    const PlistDictionary payload{{std::string(kKeyStatus), 1}, {std::string(kKeyVersion), "1.0"}};
    postReply(distributed, kReplyDeamonLoadStatus, payload);

    ASSERT_EQ(distributed.posts().size(), 1u);
    const auto& post = distributed.posts()[0];
    EXPECT_EQ(post.name, kReplyDeamonLoadStatus);
    EXPECT_EQ(post.method, Method::PostNotificationWithOptions);
    EXPECT_EQ(post.object, nullptr);
    EXPECT_EQ(post.userInfo, payload);
    // kCFNotificationDeliverImmediately | kCFNotificationPostToAllSessions.
    EXPECT_EQ(post.options, 3u);
}

TEST_F(ProtocolOperations, ObserversAreAnonymousUnfilteredAndImmediate) {
    struct Case {
        const char* what;
        MemoryNotificationCenter& center;
        void (*observe)(NotificationCenter&, std::string_view, NotificationCallback);
        std::string_view name;
    };
    const std::vector<Case> cases = {
        {"darwin", darwin, observeDarwin, kHeart},
        {"distributed", distributed, observeDistributed, kReplyHeart},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.observe(c.center, c.name, record);
        ASSERT_EQ(c.center.registrations().size(), 1u);
        const auto& r = c.center.registrations()[0];
        EXPECT_EQ(r.name, c.name);
        EXPECT_EQ(r.observer, nullptr);
        EXPECT_EQ(r.object, nullptr);
        EXPECT_EQ(r.callback, &record);
        EXPECT_EQ(static_cast<int>(r.behavior), 4);  // CFNotificationSuspensionBehaviorDeliverImmediately
    }
}

TEST_F(ProtocolOperations, AnObserverOfTheDistributedCenterSeesOnlyTheHeartReply) {
    observeDistributed(distributed, kReplyHeart, record);
    const PlistDictionary payload{{std::string(kKeySmcStatus), 1}, {std::string(kKeySmcTimerActive), 1}};

    postRequest(darwin, kHeart);
    loop.runUntilIdle();
    EXPECT_TRUE(gReceived.empty());

    postReply(distributed, kReplyHeart, payload);
    loop.runUntilIdle();
    EXPECT_EQ(gReceived, (std::vector<Received>{{std::string(kHeart), payload}}));
}

// --- the names themselves ---

template <std::size_t N>
std::set<std::string_view> distinct(const std::array<std::string_view, N>& names) {
    return {names.begin(), names.end()};
}

bool contains(auto const& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(ProtocolNames, NoNameIsListedTwice) {
    EXPECT_EQ(distinct(kRequestNames).size(), kRequestNames.size());
    EXPECT_EQ(distinct(kReplyNames).size(), kReplyNames.size());
    EXPECT_EQ(distinct(kInAppRequestNames).size(), kInAppRequestNames.size());
}

TEST(ProtocolNames, OnlyTheHeartIsBothARequestAndAReply) {
    std::vector<std::string_view> shared;
    for (auto reply : kReplyNames) {
        if (contains(kRequestNames, reply)) shared.push_back(reply);
    }
    EXPECT_EQ(shared, (std::vector<std::string_view>{kHeart}));
    EXPECT_EQ(kReplyHeart, kHeart);
}

}  // namespace
}  // namespace wattkeeper::protocol
