#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/kit/memory_centers.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
using Queue = RunLoop::Queue;

struct Ran {
    std::string label;
    Duration at;
    friend bool operator==(const Ran&, const Ran&) = default;
};

std::ostream& operator<<(std::ostream& os, const Ran& r) { return os << r.label << "@" << r.at.count() << "ns"; }

// --- VirtualRunLoop: ordering ---

TEST(VirtualRunLoop, RunsDueWorkInDeadlineOrderWithTheClockAtEachDeadline) {
    VirtualRunLoop loop;
    std::vector<Ran> ran;
    auto record = [&](std::string label) { return [&, label] { ran.push_back({label, loop.now()}); }; };
    loop.after(300ms, record("c"));
    loop.after(100ms, record("a"));
    loop.async(record("now"));
    loop.after(250ms, record("b"));

    loop.advance(1s);

    EXPECT_EQ(ran, (std::vector<Ran>{{"now", 0ms}, {"a", 100ms}, {"b", 250ms}, {"c", 300ms}}));
    EXPECT_EQ(loop.now(), 1s);
}

TEST(VirtualRunLoop, TiesRunInSubmissionOrderWhateverTheQueue) {
    VirtualRunLoop loop;
    std::vector<std::string> ran;
    auto record = [&](std::string label) { return [&, label] { ran.push_back(label); }; };
    loop.async(record("async"));
    loop.globalAsync(record("global"));
    loop.after(0ms, record("after0"));
    loop.async(record("async2"));
    loop.after(10ms, record("early-submitted"));
    loop.advance(4ms);
    loop.after(6ms, record("late-submitted"));

    loop.advance(6ms);

    EXPECT_EQ(ran, (std::vector<std::string>{"async", "global", "after0", "async2", "early-submitted",
                                             "late-submitted"}));
}

TEST(VirtualRunLoop, TimerFiresAndTasksAtOneDeadlineRunInSubmissionOrder) {
    VirtualRunLoop loop;
    std::vector<std::string> ran;
    loop.after(10ms, [&] { ran.push_back("task before arming"); });
    auto timer = loop.makeTimerSource(Queue::Main);
    timer->setEventHandler([&] { ran.push_back("timer"); });
    timer->setTimer(10ms, 1h, 0ms);
    timer->resume();
    loop.after(10ms, [&] { ran.push_back("task after arming"); });

    loop.advance(10ms);

    EXPECT_EQ(ran, (std::vector<std::string>{"task before arming", "timer", "task after arming"}));
}

TEST(VirtualRunLoop, WorkBeyondTheWindowWaitsForALaterAdvance) {
    VirtualRunLoop loop;
    int runs = 0;
    loop.after(1s, [&] { ++runs; });

    loop.advance(999ms);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(loop.now(), 999ms);
    EXPECT_EQ(loop.pendingCount(), 1u);
    EXPECT_EQ(loop.nextDeadline(), std::optional<Duration>(1s));

    loop.advance(1ms);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(loop.pendingCount(), 0u);
    EXPECT_EQ(loop.nextDeadline(), std::nullopt);
}

TEST(VirtualRunLoop, WorkScheduledWhileAdvancingRunsInOrderIfItFallsInsideTheWindow) {
    VirtualRunLoop loop;
    std::vector<Ran> ran;
    loop.after(100ms, [&] {
        ran.push_back({"a", loop.now()});
        loop.after(50ms, [&] { ran.push_back({"b", loop.now()}); });
        loop.after(500ms, [&] { ran.push_back({"outside", loop.now()}); });
    });
    loop.after(200ms, [&] { ran.push_back({"c", loop.now()}); });

    loop.advance(300ms);

    EXPECT_EQ(ran, (std::vector<Ran>{{"a", 100ms}, {"b", 150ms}, {"c", 200ms}}));
    EXPECT_EQ(loop.now(), 300ms);
    EXPECT_EQ(loop.nextDeadline(), std::optional<Duration>(600ms));
}

TEST(VirtualRunLoop, RunUntilIdleRunsChainsOfImmediateWorkButNotTheFuture) {
    VirtualRunLoop loop;
    std::vector<std::string> ran;
    loop.async([&] {
        ran.push_back("first");
        loop.async([&] {
            ran.push_back("second");
            loop.globalAsync([&] { ran.push_back("third"); });
        });
        loop.after(1ns, [&] { ran.push_back("later"); });
    });

    loop.runUntilIdle();

    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(loop.now(), 0ns);
    EXPECT_EQ(loop.pendingCount(), 1u);
}

TEST(VirtualRunLoop, CurrentQueueNamesTheQueueOfTheRunningWork) {
    VirtualRunLoop loop;
    std::vector<std::optional<Queue>> seen;
    loop.async([&] { seen.push_back(loop.currentQueue()); });
    loop.globalAsync([&] {
        seen.push_back(loop.currentQueue());
        loop.async([&] { seen.push_back(loop.currentQueue()); });
    });
    auto timer = loop.makeTimerSource(Queue::Global);
    timer->setEventHandler([&] { seen.push_back(loop.currentQueue()); });
    timer->setTimer(1s, 0ns, 0ns);
    timer->resume();

    EXPECT_EQ(loop.currentQueue(), std::nullopt);
    loop.advance(1s);

    EXPECT_EQ(seen, (std::vector<std::optional<Queue>>{Queue::Main, Queue::Global, Queue::Main, Queue::Global}));
    EXPECT_EQ(loop.currentQueue(), std::nullopt);
}

// --- VirtualRunLoop: timer sources ---

std::vector<Duration> fireTimes(VirtualRunLoop& loop, TimerSource& timer, Duration window) {
    std::vector<Duration> fires;
    timer.setEventHandler([&] { fires.push_back(loop.now()); });
    loop.advance(window);
    return fires;
}

TEST(VirtualTimerSource, FiresAtStartThenEveryInterval) {
    struct Case {
        const char* what;
        Duration start;
        Duration interval;
        Duration window;
        std::vector<Duration> fires;
    };
    const std::vector<Case> cases = {
        {"first tick at once", 0s, 20s, 45s, {0s, 20s, 40s}},
        {"a fire on the window's edge runs", 5s, 20s, 45s, {5s, 25s, 45s}},
        {"interval zero fires once", 1s, 0s, 10s, {1s}},
        {"interval forever fires once", 1s, Duration::max(), 10s, {1s}},
        {"start beyond the window", 30s, 20s, 29s, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualRunLoop loop;
        auto timer = loop.makeTimerSource(Queue::Global);
        timer->setTimer(c.start, c.interval, 100ms);
        timer->resume();
        EXPECT_EQ(fireTimes(loop, *timer, c.window), c.fires);
    }
}

TEST(VirtualTimerSource, StaysSilentUntilResumedAndCountsFromTheResume) {
    VirtualRunLoop loop;
    std::vector<Duration> fires;
    auto timer = loop.makeTimerSource(Queue::Main);
    timer->setEventHandler([&] { fires.push_back(loop.now()); });
    timer->setTimer(0s, 10s, 0s);

    loop.advance(3s);
    EXPECT_TRUE(fires.empty());
    EXPECT_EQ(loop.pendingCount(), 0u);

    timer->resume();
    loop.advance(10s);
    EXPECT_EQ(fires, (std::vector<Duration>{3s, 13s}));
}

TEST(VirtualTimerSource, CancelStopsFurtherFiresAndShowsInTestCancel) {
    VirtualRunLoop loop;
    int fires = 0;
    auto timer = loop.makeTimerSource(Queue::Global);
    timer->setEventHandler([&] { ++fires; });
    timer->setTimer(0s, 20s, 0s);
    timer->resume();
    loop.advance(20s);
    EXPECT_EQ(fires, 2);
    EXPECT_EQ(timer->testCancel(), 0);

    timer->cancel();
    loop.advance(1h);

    EXPECT_EQ(fires, 2);
    EXPECT_NE(timer->testCancel(), 0);
    EXPECT_EQ(loop.pendingCount(), 0u);
}

TEST(VirtualTimerSource, AHandlerThatCancelsItsTimerEndsTheSeries) {
    VirtualRunLoop loop;
    int fires = 0;
    auto timer = loop.makeTimerSource(Queue::Main);
    timer->setEventHandler([&] {
        if (++fires == 3) timer->cancel();
    });
    timer->setTimer(0s, 1s, 0s);
    timer->resume();
    loop.advance(1min);
    EXPECT_EQ(fires, 3);
}

TEST(VirtualTimerSource, ADestroyedSourceNeverFiresAgain) {
    VirtualRunLoop loop;
    int fires = 0;
    auto timer = loop.makeTimerSource(Queue::Global);
    timer->setEventHandler([&] { ++fires; });
    timer->setTimer(0s, 1s, 0s);
    timer->resume();
    loop.runUntilIdle();

    timer.reset();
    loop.advance(10s);

    EXPECT_EQ(fires, 1);
    EXPECT_EQ(loop.pendingCount(), 0u);
}

// --- MemoryNotificationCenter ---

struct Delivery {
    std::string name;
    NotificationCenter* center = nullptr;
    void* observer = nullptr;
    const void* object = nullptr;
    std::optional<PlistDictionary> userInfo;
    std::optional<Queue> queue;
};

// Stands for one observing party; reached through the observer pointer, as a C callback must.
struct Party {
    VirtualRunLoop* loop = nullptr;
    std::vector<Delivery>* log = nullptr;

    static void callback(NotificationCenter& center, void* observer, std::string_view name, const void* object,
                         const PlistDictionary* userInfo) {
        auto* self = static_cast<Party*>(observer);
        self->log->push_back(Delivery{std::string(name), &center, observer, object,
                                      userInfo ? std::optional(*userInfo) : std::nullopt,
                                      self->loop->currentQueue()});
    }
};

TEST(MemoryNotificationCenter, DeliversOnTheMainQueueOnlyOnceTheLoopRuns) {
    VirtualRunLoop loop;
    MemoryNotificationCenter center(loop, MemoryNotificationCenter::Kind::Distributed);
    std::vector<Delivery> log;
    Party party{&loop, &log};
    center.addObserver(&party, Party::callback, "ping", nullptr, SuspensionBehavior::DeliverImmediately);

    loop.globalAsync([&] { center.postNotification("ping", nullptr, nullptr, true); });
    loop.runUntilIdle();

    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].queue, Queue::Main);
    EXPECT_EQ(log[0].center, &center);
    EXPECT_EQ(log[0].object, nullptr);

    center.postNotification("ping", nullptr, nullptr, true);
    EXPECT_EQ(log.size(), 1u);
    loop.runUntilIdle();
    EXPECT_EQ(log.size(), 2u);
}

TEST(MemoryNotificationCenter, DeliversOnlyToObserversOfTheNameInRegistrationOrder) {
    VirtualRunLoop loop;
    MemoryNotificationCenter center(loop, MemoryNotificationCenter::Kind::Darwin);
    std::vector<Delivery> log;
    Party first{&loop, &log}, other{&loop, &log}, second{&loop, &log};
    center.addObserver(&first, Party::callback, "A", nullptr, SuspensionBehavior::DeliverImmediately);
    center.addObserver(&other, Party::callback, "B", nullptr, SuspensionBehavior::DeliverImmediately);
    center.addObserver(&second, Party::callback, "A", nullptr, SuspensionBehavior::DeliverImmediately);
    center.addObserver(&first, Party::callback, "A", nullptr, SuspensionBehavior::DeliverImmediately);

    center.postNotification("A", nullptr, nullptr, true);
    center.postNotification("unobserved", nullptr, nullptr, true);
    loop.runUntilIdle();

    std::vector<void*> reached;
    for (const auto& d : log) reached.push_back(d.observer);
    EXPECT_EQ(reached, (std::vector<void*>{&first, &second, &first}));
    EXPECT_EQ(center.observerCount("A"), 3u);
}

TEST(MemoryNotificationCenter, CarriesThePayloadOnlyOnTheDistributedKind) {
    using Kind = MemoryNotificationCenter::Kind;
    const PlistDictionary payload{{"smcStatus", 1}, {"version", "1.2"}};
    struct Case {
        const char* what;
        Kind kind;
        bool withOptions;
        const PlistDictionary* sent;
        std::optional<PlistDictionary> delivered;
    };
    const std::vector<Case> cases = {
        {"darwin drops it", Kind::Darwin, false, &payload, std::nullopt},
        {"darwin drops it with options too", Kind::Darwin, true, &payload, std::nullopt},
        {"distributed passes it on", Kind::Distributed, true, &payload, payload},
        {"distributed plain post passes it on", Kind::Distributed, false, &payload, payload},
        {"distributed without one gives none", Kind::Distributed, true, nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualRunLoop loop;
        MemoryNotificationCenter center(loop, c.kind);
        std::vector<Delivery> log;
        Party party{&loop, &log};
        center.addObserver(&party, Party::callback, "n", nullptr, SuspensionBehavior::DeliverImmediately);
        if (c.withOptions) {
            center.postNotificationWithOptions("n", nullptr, c.sent, 3);
        } else {
            center.postNotification("n", nullptr, c.sent, true);
        }
        loop.runUntilIdle();

        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].userInfo, c.delivered);
        ASSERT_EQ(center.posts().size(), 1u);
        EXPECT_EQ(center.posts()[0].userInfo.has_value(), c.sent != nullptr);
    }
}

TEST(MemoryNotificationCenter, AnObserverAddedAfterAPostDoesNotReceiveIt) {
    VirtualRunLoop loop;
    MemoryNotificationCenter center(loop, MemoryNotificationCenter::Kind::Distributed);
    std::vector<Delivery> log;
    Party party{&loop, &log};
    center.postNotification("n", nullptr, nullptr, true);
    center.addObserver(&party, Party::callback, "n", nullptr, SuspensionBehavior::DeliverImmediately);
    loop.runUntilIdle();
    EXPECT_TRUE(log.empty());
}

// --- MemoryLocalCenter ---

TEST(MemoryLocalCenter, DeliversInsideThePostToObserversOfTheNameInOrder) {
    MemoryLocalCenter center;
    std::vector<std::string> seen;
    const PlistDictionary payload{{"label", "x"}, {"extra", 7}};
    center.addObserver("A", [&](std::string_view name, const PlistDictionary* info) {
        seen.push_back("first " + std::string(name) + (info && *info == payload ? " with payload" : ""));
    });
    center.addObserver("B", [&](std::string_view, const PlistDictionary*) { seen.push_back("other"); });
    center.addObserver("A", [&](std::string_view, const PlistDictionary* info) {
        seen.push_back(info ? "second with payload" : "second without");
    });

    center.postNotification("A", &payload);
    EXPECT_EQ(seen, (std::vector<std::string>{"first A with payload", "second with payload"}));
    center.postNotification("A", nullptr);
    EXPECT_EQ(seen.back(), "second without");

    ASSERT_EQ(center.posts().size(), 2u);
    EXPECT_EQ(center.posts()[0].userInfo, payload);
    EXPECT_EQ(center.posts()[1].userInfo, std::nullopt);
    EXPECT_EQ(center.observerCount("A"), 2u);
}

}  // namespace
}  // namespace wattkeeper::testkit
