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

namespace wattkeeper::loginitem {
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

// One request of each handler key.
const Strings kOneRequestPerKey = {
    "ZQAmperly_TellDeamon_QueryDeamonLoadStatusCallBack", kChargingRequest,
    "ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper", kHeart, "ZQAmperly_TellDeamon_Restart",
    "ZQAmperlyApp_CFNotification_Tell_Helper_openSMC",
};

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZQNotificationWrapper::replaceShared(std::make_unique<ZQNotificationWrapper>(darwin, distributed, log));
    }
    void TearDown() override { ZQNotificationWrapper::replaceShared(nullptr); }

    ZQNotificationWrapper& relay() { return ZQNotificationWrapper::sharedManager(); }

    // The daemon's answer, delivered.
    void reply(const std::string& name, const PlistDictionary* payload) {
        distributed.postNotificationWithOptions(name, nullptr, payload, 3);
        loop.runUntilIdle();
    }
    void reply(const std::string& name) { reply(name, &payload); }

    // A completion that records its label and the payload it got.
    Completion recorder(std::string label) {
        return [this, label](const PlistDictionary* got) {
            calls.push_back(label);
            payloads.push_back(got ? std::optional<PlistDictionary>(*got) : std::nullopt);
        };
    }

    Strings waitingKeys() const {
        Strings keys;
        for (const auto& [key, completion] : ZQNotificationWrapper::sharedManager().completionHandlers()) {
            keys.push_back(key);
        }
        return keys;
    }

    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, Center::Darwin};
    MemoryNotificationCenter distributed{loop, Center::Distributed};
    testkit::RecordingLog log;
    PlistDictionary payload{{"chargingStatus", 1}, {"dischargingStatus", 0}};
    Strings calls;
    std::vector<std::optional<PlistDictionary>> payloads;
};

TEST_F(RelayTest, ObservesTheSevenRepliesInOrderOnTheDistributedCenterOnly) {
    const Strings expected = {
        "ZQHelper_CFNotification_Tell_AmperlyApp_smcState",
        "ZQHelper_CFNotification_Tell_AmperlyApp_QuerySMCOpenCloseStatus",
        "ZQHelper_CFNotification_Tell_AmperlyApp_QuerySMCChargingStatus",
        "PostTo_AmperlyAppManager_DeamonLoadStatus",
        "ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper_callBack",
        "ZQAmperly_TellDeamon_Heart",
        "ZQHelper_TellAmperly_Restart",
    };
    Strings names;
    for (const auto& r : distributed.registrations()) {
        names.push_back(r.name);
        EXPECT_EQ(r.observer, nullptr);
        EXPECT_EQ(r.object, nullptr);
        EXPECT_EQ(r.behavior, SuspensionBehavior::DeliverImmediately);
    }
    EXPECT_EQ(names, expected);
    EXPECT_TRUE(darwin.registrations().empty());
}

TEST_F(RelayTest, ASendPostsTheBareNameOnTheDarwinCenterAndReturnsBeforeAnyReply) {
    relay().sendNotificationAndWaitForResult(kHeart, recorder("heart"));

    ASSERT_EQ(darwin.posts().size(), 1u);
    const auto& post = darwin.posts()[0];
    EXPECT_EQ(post.name, kHeart);
    EXPECT_EQ(post.method, MemoryNotificationCenter::PostMethod::PostNotification);
    EXPECT_EQ(post.object, nullptr);
    EXPECT_EQ(post.userInfo, std::nullopt);
    EXPECT_TRUE(post.deliverImmediately);
    EXPECT_TRUE(distributed.posts().empty());
    EXPECT_TRUE(calls.empty());
}

TEST_F(RelayTest, EveryRequestWaitsUnderTheHandlerKeyOfItsKind) {
    const std::pair<std::string, std::string> cases[] = {
        {"ZQAmperly_TellDeamon_QueryDeamonLoadStatusCallBack", "QueryDeamonLoadStatusCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_QuerySMCChargingStatus", "QuerySMCChargingStatusCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper", "uninstallHelperCallBack"},
        {"ZQAmperly_TellDeamon_Heart", "BatteryHeart"},
        {"ZQAmperly_TellDeamon_Restart", "HelperRestart"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_QuerySMCOpenCloseStatus", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_openSMC", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_closeSMC", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_getBatteryInfo", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_enableCharging", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_disableCharging", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_enableDischarging", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_disableDischarging", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_Sleep", "QueryDeamonNormalCallBack"},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_Wake", "QueryDeamonNormalCallBack"},
        {"ZQAmperly_TellDeamon_LimitChange", "QueryDeamonNormalCallBack"},
        // A reply's name sent as a request is still only a request.
        {"PostTo_AmperlyAppManager_DeamonLoadStatus", "QueryDeamonNormalCallBack"},
        {"zqamperly_telldeamon_heart", "QueryDeamonNormalCallBack"},
    };
    for (const auto& [request, key] : cases) {
        SCOPED_TRACE(request);
        relay().completionHandlers().clear();
        relay().sendNotificationAndWaitForResult(request, recorder(request));
        EXPECT_EQ(waitingKeys(), Strings{key});
    }
}

TEST_F(RelayTest, EveryReplyCompletesOnlyTheSlotOfItsKind) {
    relay().registerDistributedNotificationsWithName("SomeCallersOwnReply");
    const std::pair<std::string, std::string> cases[] = {
        {"PostTo_AmperlyAppManager_DeamonLoadStatus", "ZQAmperly_TellDeamon_QueryDeamonLoadStatusCallBack"},
        {kChargingReply, kChargingRequest},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper_callBack",
         "ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper"},
        {kHeart, kHeart},
        {"ZQHelper_TellAmperly_Restart", "ZQAmperly_TellDeamon_Restart"},
        {kOpenCloseReply, "ZQAmperlyApp_CFNotification_Tell_Helper_openSMC"},
        {kSmcState, "ZQAmperlyApp_CFNotification_Tell_Helper_openSMC"},
        {"SomeCallersOwnReply", "ZQAmperlyApp_CFNotification_Tell_Helper_openSMC"},
    };
    for (const auto& [replyName, answeredRequest] : cases) {
        SCOPED_TRACE(replyName);
        calls.clear();
        for (const auto& request : kOneRequestPerKey) relay().sendNotificationAndWaitForResult(request, recorder(request));
        const auto before = waitingKeys();

        reply(replyName);

        EXPECT_EQ(calls, Strings{answeredRequest});
        EXPECT_EQ(waitingKeys().size(), before.size() - 1);
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
        {"r", {}, false},           // empty, reply: dropped
        {"A", {}, true},            // empty, send with: waiting
        {"-", {}, false},           // empty, send without: empty
        {"Ar", {"A"}, false},       // waiting, reply: called once
        {"AB", {}, true},           // waiting, send with: replaced
        {"ABr", {"B"}, false},      // the replaced completion is never called
        {"A-", {}, false},          // waiting, send without: cleared
        {"A-r", {}, false},         // a cleared slot gets nothing
        {"Arr", {"A"}, false},      // never called twice for one send
        {"ArBr", {"A", "B"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        relay().completionHandlers().clear();
        calls.clear();
        for (const char* step = c.script; *step; ++step) {
            if (*step == 'r') {
                reply(kChargingReply);
            } else {
                relay().sendNotificationAndWaitForResult(
                    kChargingRequest, *step == '-' ? Completion{} : recorder(std::string(1, *step)));
            }
        }
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(relay().completionHandlers().contains("QuerySMCChargingStatusCallBack"), c.waitingAfter);
    }
}

TEST_F(RelayTest, TwoHeartbeatSendsAreAnsweredOnceByTheFirstReply) {
    relay().sendNotificationAndWaitForResult(kHeart, recorder("first"));
    relay().sendNotificationAndWaitForResult(kHeart, recorder("second"));
    loop.runUntilIdle();  // the requests themselves reach nobody who answers

    reply(kHeart);
    reply(kHeart);

    EXPECT_EQ(calls, Strings{"second"});
    EXPECT_EQ(darwin.postedNames(), (Strings{kHeart, kHeart}));
}

TEST_F(RelayTest, TheCommonSlotIsCompletedByWhicheverOfItsTwoRepliesComesFirst) {
    const Strings commonRequests = {
        "ZQAmperlyApp_CFNotification_Tell_Helper_QuerySMCOpenCloseStatus",
        "ZQAmperlyApp_CFNotification_Tell_Helper_openSMC",
        "ZQAmperlyApp_CFNotification_Tell_Helper_getBatteryInfo",
        "ZQAmperlyApp_CFNotification_Tell_Helper_disableCharging",
        "ZQAmperly_TellDeamon_LimitChange",
    };
    const std::pair<std::string, std::string> orders[] = {{kSmcState, kOpenCloseReply}, {kOpenCloseReply, kSmcState}};
    for (const auto& request : commonRequests) {
        for (const auto& [first, second] : orders) {
            SCOPED_TRACE(request + " answered by " + first);
            calls.clear();
            payloads.clear();
            relay().sendNotificationAndWaitForResult(request, recorder(request));
            const PlistDictionary firstPayload{{"result", "处理完成"}};
            const PlistDictionary secondPayload{{"smcStatus", 1}};

            reply(first, &firstPayload);
            reply(second, &secondPayload);

            EXPECT_EQ(calls, Strings{request});
            ASSERT_EQ(payloads.size(), 1u);
            EXPECT_EQ(payloads[0], firstPayload);
        }
    }
}

TEST_F(RelayTest, OnlyTheThreeMarkedRepliesAreLoggedWhetherOrNotAnyoneWaits) {
    relay().registerDistributedNotificationsWithName("SomeCallersOwnReply");
    const std::pair<std::string, bool> cases[] = {
        {kLoadStatusReply, true},
        {kChargingReply, true},
        {kOpenCloseReply, true},
        {kSmcState, false},
        {"ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper_callBack", false},
        {kHeart, false},
        {"ZQHelper_TellAmperly_Restart", false},
        {"SomeCallersOwnReply", false},
    };
    const Strings logged = {kLogPrefix + describe(payload)};
    for (const bool someoneWaits : {false, true}) {
        for (const auto& [name, isLogged] : cases) {
            SCOPED_TRACE(name + (someoneWaits ? " with a completion waiting" : " with nobody waiting"));
            log.clear();
            if (someoneWaits) {
                for (const auto& request : kOneRequestPerKey) relay().sendNotificationAndWaitForResult(request, recorder(request));
            }

            reply(name);

            EXPECT_EQ(log.systemLines(), isLogged ? logged : Strings{});
            EXPECT_TRUE(log.lines().empty());
        }
    }
}

TEST_F(RelayTest, TheLogLineIsWrittenBeforeTheCompletionRuns) {
    std::size_t linesSeen = 0;
    relay().sendNotificationAndWaitForResult(kChargingRequest,
                                             [&](const PlistDictionary*) { linesSeen = log.systemLines().size(); });

    reply(kChargingReply);

    EXPECT_EQ(linesSeen, 1u);
}

TEST_F(RelayTest, AReplyWithoutPayloadCompletesWithNoDictionary) {
    bool called = false;
    const PlistDictionary* got = &payload;
    relay().sendNotificationAndWaitForResult(kChargingRequest, [&](const PlistDictionary* userInfo) {
        called = true;
        got = userInfo;
    });

    reply(kChargingReply, nullptr);

    EXPECT_TRUE(called);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(log.systemLines(), Strings{kLogPrefix + "(null)"});
}

TEST_F(RelayTest, ACompletionThatSendsItsOwnKindAgainKeepsTheNewCompletion) {
    relay().sendNotificationAndWaitForResult(kChargingRequest, [&](const PlistDictionary*) {
        calls.push_back("first");
        relay().sendNotificationAndWaitForResult(kChargingRequest, recorder("second"));
    });

    reply(kChargingReply);
    EXPECT_EQ(calls, Strings{"first"});
    EXPECT_EQ(waitingKeys(), Strings{"QuerySMCChargingStatusCallBack"});

    reply(kChargingReply);
    EXPECT_EQ(calls, (Strings{"first", "second"}));
    EXPECT_TRUE(waitingKeys().empty());
    EXPECT_EQ(darwin.postedNames(), (Strings{kChargingRequest, kChargingRequest}));
}

TEST_F(RelayTest, RepliesReachTheSharedRelayWhicheverInstanceRegisteredThem) {
    // A second relay registers the seven names again; its own table is never consulted.
    ZQNotificationWrapper other(darwin, distributed, log);
    other.sendNotificationAndWaitForResult(kHeart, recorder("other"));
    relay().sendNotificationAndWaitForResult(kHeart, recorder("shared"));

    reply(kHeart);

    EXPECT_EQ(calls, Strings{"shared"});
    EXPECT_EQ(other.completionHandlers().size(), 1u);
}

TEST_F(RelayTest, TheOfferedCompletionSlotKeepsWhatIsSetAndIsNeverCalledByTheRelay) {
    int blockCalls = 0;
    relay().setNotificationCompletionBlock([&](const PlistDictionary*) { ++blockCalls; });
    for (const auto& name : protocol::kReplyNames) reply(std::string(name));
    EXPECT_EQ(blockCalls, 0);

    relay().notificationCompletionBlock()(nullptr);
    EXPECT_EQ(blockCalls, 1);
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
    ZQNotificationWrapper::replaceShared(nullptr);

    std::vector<ZQNotificationWrapper*> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &ZQNotificationWrapper::sharedManager(); });
    for (auto& thread : threads) thread.join();

    for (auto* relay : seen) EXPECT_EQ(relay, seen[0]);
    EXPECT_EQ(distributed.registrations().size(), 7u);
    bool answered = false;
    seen[0]->sendNotificationAndWaitForResult(kHeart, [&](const PlistDictionary*) { answered = true; });
    EXPECT_EQ(darwin.postedNames(), Strings{kHeart});
    distributed.postNotificationWithOptions(kHeart, nullptr, nullptr, 3);
    loop.runUntilIdle();
    EXPECT_TRUE(answered);

    ZQNotificationWrapper::replaceShared(nullptr);
}

}  // namespace
}  // namespace wattkeeper::loginitem
