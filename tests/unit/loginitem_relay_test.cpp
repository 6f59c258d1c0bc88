#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loginitem/notification_wrapper.h"
#include "platform/ports.h"
#include "protocol/names.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/recording_log.h"
#include "tests/kit/scoped_ports.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {
namespace {

using testkit::MemoryNotificationCenter;
using Center = MemoryNotificationCenter::Kind;
using Strings = std::vector<std::string>;

const std::string kLogPrefix = "守护进程发送的userInfo:";
const std::string kHeart = "ZQAmperly_TellDeamon_Heart";
const std::string kChargingRequest = "ZQAmperlyApp_CFNotification_Tell_Helper_QuerySMCChargingStatus";
const std::string kChargingReply = "ZQHelper_CFNotification_Tell_AmperlyApp_QuerySMCChargingStatus";
const std::string kSmcState = "ZQHelper_CFNotification_Tell_AmperlyApp_smcState";
const std::string kOpenCloseReply = "ZQHelper_CFNotification_Tell_AmperlyApp_QuerySMCOpenCloseStatus";
const std::string kLoadStatusReply = "PostTo_AmperlyAppManager_DeamonLoadStatus";
const std::string kUninstallReply = "ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper_callBack";
const std::string kRestartReply = "ZQHelper_TellAmperly_Restart";

// One request of each handler key.
const Strings kOneRequestPerKey = {
    "ZQAmperly_TellDeamon_QueryDeamonLoadStatusCallBack",
    kChargingRequest,
    "ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper",
    kHeart,
    "ZQAmperly_TellDeamon_Restart",
    "ZQAmperlyApp_CFNotification_Tell_Helper_openSMC",
};

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        loginitem::ZQNotificationWrapper::replaceShared(
            std::make_unique<loginitem::ZQNotificationWrapper>(darwin, distributed, log));
    }
    void TearDown() override { loginitem::ZQNotificationWrapper::replaceShared(nullptr); }

    loginitem::ZQNotificationWrapper& relay() { return loginitem::ZQNotificationWrapper::sharedManager(); }

    // The daemon's answer, delivered.
    void reply(const std::string& name, const PlistDictionary* with) {
        distributed.postNotificationWithOptions(name, nullptr, with, 3);
        loop.runUntilIdle();
    }
    void reply(const std::string& name) { reply(name, &payload); }
    void send(const std::string& request, std::string label) {
        relay().sendNotificationAndWaitForResult(request, [this, label](const PlistDictionary* got) {
            calls.push_back(label);
            payloads.push_back(got ? std::optional<PlistDictionary>(*got) : std::nullopt);
        });
    }

    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, Center::Darwin};
    MemoryNotificationCenter distributed{loop, Center::Distributed};
    testkit::RecordingLog log;
    PlistDictionary payload{{"chargingStatus", 1}, {"dischargingStatus", 0}};
    Strings calls;
    std::vector<std::optional<PlistDictionary>> payloads;
};

TEST_F(RelayTest, ObservesTheSevenRepliesOnTheDistributedCenterAndSendsOnTheDarwinOne) {
    Strings names;
    for (const auto& r : distributed.registrations()) names.push_back(r.name);
    EXPECT_EQ(names, (Strings{kSmcState, kOpenCloseReply, kChargingReply, kLoadStatusReply, kUninstallReply, kHeart,
                              kRestartReply}));
    EXPECT_TRUE(darwin.registrations().empty());

    send(kHeart, "heart");
    EXPECT_EQ(darwin.postedNames(), Strings{kHeart});
    EXPECT_TRUE(distributed.posts().empty());
    EXPECT_TRUE(calls.empty());
}

TEST_F(RelayTest, EveryRequestIsCompletedOnlyByTheRepliesOfItsKindWithTheirPayload) {
    relay().registerDistributedNotificationsWithName("SomeCallersOwnReply");
    const std::pair<std::string, std::string> cases[] = {
        {"ZQAmperly_TellDeamon_QueryDeamonLoadStatusCallBack", kLoadStatusReply},
        {kChargingRequest, kChargingReply},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper", kUninstallReply},
        {kHeart, kHeart},
        {"ZQAmperly_TellDeamon_Restart", kRestartReply},
        // Every other request waits in the common slot, which any of its replies completes.
        {"ZQAmperlyApp_CFNotification_Tell_Helper_QuerySMCOpenCloseStatus", kOpenCloseReply},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_openSMC", kSmcState},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_enableCharging", "SomeCallersOwnReply"},
        {"ZQAmperly_TellDeamon_LimitChange", kOpenCloseReply},
        {kLoadStatusReply, kSmcState},  // a reply's name sent as a request is still only a request
        {"zqamperly_telldeamon_heart", kSmcState},
    };
    for (const auto& [request, completingReply] : cases) {
        relay().completionHandlers().clear();
        calls.clear();
        payloads.clear();
        for (const auto& other : kOneRequestPerKey) send(other, other);
        send(request, request);  // in place of the one of its kind
        reply(completingReply);
        EXPECT_EQ(calls, Strings{request});
        EXPECT_EQ(payloads, std::vector<std::optional<PlistDictionary>>{payload}) << request;
        EXPECT_EQ(relay().completionHandlers().size(), kOneRequestPerKey.size() - 1) << request;
    }
}

// Each script runs on one kind: 'A' and 'B' send with a completion of that label, '-' sends
// without one, 'r' delivers the reply.
TEST_F(RelayTest, EachSlotFollowsTheStateTable) {
    struct Case {
        const char* script;
        Strings calls;
        bool waitingAfter;
    };
    const Case cases[] = {
        {"r", {}, false},       // empty, reply: dropped
        {"A", {}, true},        // empty, send with: waiting
        {"-", {}, false},       // empty, send without: empty
        {"Ar", {"A"}, false},   // waiting, reply: called once
        {"ABr", {"B"}, false},  // the replaced completion is never called
        {"A-r", {}, false},     // a cleared slot gets nothing
        {"Arr", {"A"}, false},  // never called twice for one send
        {"ArBr", {"A", "B"}, false},
    };
    for (const auto& c : cases) {
        relay().completionHandlers().clear();
        calls.clear();
        for (const char* step = c.script; *step; ++step) {
            if (*step == 'r') {
                reply(kChargingReply);
            } else if (*step == '-') {
                relay().sendNotificationAndWaitForResult(kChargingRequest, loginitem::Completion{});
            } else {
                send(kChargingRequest, std::string(1, *step));
            }
        }
        EXPECT_EQ(calls, c.calls) << c.script;
        EXPECT_EQ(relay().completionHandlers().contains("QuerySMCChargingStatusCallBack"), c.waitingAfter) << c.script;
    }
}

TEST_F(RelayTest, OnlyTheThreeMarkedRepliesAreLoggedBeforeTheCompletionWhetherOrNotAnyoneWaits) {
    relay().registerDistributedNotificationsWithName("SomeCallersOwnReply");
    const std::pair<std::string, bool> cases[] = {
        {kLoadStatusReply, true}, {kChargingReply, true}, {kOpenCloseReply, true}, {kSmcState, false},
        {kUninstallReply, false}, {kHeart, false},        {kRestartReply, false},  {"SomeCallersOwnReply", false},
    };
    for (const bool someoneWaits : {false, true}) {
        for (const auto& [name, isLogged] : cases) {
            log.clear();
            if (someoneWaits) {
                for (const auto& request : kOneRequestPerKey) send(request, request);
            }
            reply(name);
            EXPECT_EQ(log.systemLines(), isLogged ? Strings{kLogPrefix + describe(payload)} : Strings{}) << name;
            EXPECT_TRUE(log.lines().empty());
        }
    }

    std::vector<Strings> seenByTheCompletion;
    relay().sendNotificationAndWaitForResult(kChargingRequest, [&](const PlistDictionary* got) {
        EXPECT_EQ(got, nullptr);
        seenByTheCompletion.push_back(log.systemLines());
    });
    log.clear();
    reply(kChargingReply, nullptr);
    EXPECT_EQ(seenByTheCompletion, std::vector<Strings>{{kLogPrefix + "(null)"}});
}

TEST_F(RelayTest, ACompletionThatSendsItsOwnKindAgainKeepsTheNewCompletion) {
    relay().sendNotificationAndWaitForResult(kChargingRequest, [&](const PlistDictionary*) {
        calls.push_back("first");
        send(kChargingRequest, "second");
    });
    reply(kChargingReply);
    EXPECT_EQ(calls, Strings{"first"});
    reply(kChargingReply);
    EXPECT_EQ(calls, (Strings{"first", "second"}));
}

TEST_F(RelayTest, RepliesReachTheSharedRelayWhicheverInstanceRegisteredThem) {
    // A second relay registers the seven names again; its own table is never consulted.
    loginitem::ZQNotificationWrapper other(darwin, distributed, log);
    other.sendNotificationAndWaitForResult(kHeart, [&](const PlistDictionary*) { calls.push_back("other"); });
    send(kHeart, "shared");
    reply(kHeart);
    EXPECT_EQ(calls, Strings{"shared"});
}

TEST(RelaySharedManager, IsCreatedOnceFromTheProcessPortsEvenWhenFirstCalledFromSeveralThreads) {
    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, Center::Darwin};
    MemoryNotificationCenter distributed{loop, Center::Distributed};
    testkit::RecordingLog log;
    Ports ports;
    ports.darwinCenter = &darwin;
    ports.distributedCenter = &distributed;
    ports.log = &log;
    testkit::ScopedProcessPorts scoped(ports);
    loginitem::ZQNotificationWrapper::replaceShared(nullptr);

    std::vector<loginitem::ZQNotificationWrapper*> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen)
        threads.emplace_back([&slot] { slot = &loginitem::ZQNotificationWrapper::sharedManager(); });
    for (auto& thread : threads) thread.join();

    for (auto* relay : seen) EXPECT_EQ(relay, seen[0]);
    bool answered = false;
    seen[0]->sendNotificationAndWaitForResult(kHeart, [&](const PlistDictionary*) { answered = true; });
    distributed.postNotificationWithOptions(kHeart, nullptr, nullptr, 3);
    loop.runUntilIdle();
    EXPECT_TRUE(answered);
    loginitem::ZQNotificationWrapper::replaceShared(nullptr);
}

}  // namespace
}  // namespace wattkeeper::testkit
