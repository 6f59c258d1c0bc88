// The ordering contracts of virtual time and the in-memory centers that the daemon's and the
// login item's tests stand on.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/kit/memory_centers.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;

TEST(VirtualRunLoop, RunsWorkAndTimerFiresInDeadlineOrderTiesInSubmissionOrder) {
    VirtualRunLoop loop;
    std::vector<std::string> ran;
    auto record = [&](std::string label) {
        return [&, label] { ran.push_back(label + "@" + std::to_string(loop.now() / 1ms)); };
    };
    loop.after(300ms, record("c"));
    loop.after(100ms, [&, inner = record("b")] {
        ran.push_back("a@100");
        loop.after(50ms, inner);      // inside the window: runs in this advance
        loop.after(2s, record("x"));  // beyond it: waits
    });
    loop.globalAsync(record("global"));
    loop.async(record("main"));
    auto timer = loop.makeTimerSource(RunLoop::Queue::Global);
    timer->setEventHandler(record("tick"));
    timer->setTimer(0ms, 150ms, 0ms);  // re-armed from each deadline: 0, 150, 300
    timer->resume();
    loop.after(300ms, record("d"));

    loop.advance(300ms);

    EXPECT_EQ(ran, (std::vector<std::string>{"global@0", "main@0", "tick@0", "a@100", "tick@150", "b@150", "c@300",
                                             "d@300", "tick@300"}));
    EXPECT_EQ(loop.now(), 300ms);
    EXPECT_EQ(loop.pendingCount(), 2u);  // "x" and the next tick
    timer->cancel();
    EXPECT_EQ(loop.pendingCount(), 1u);
}

void recordName(NotificationCenter&, void* observer, std::string_view name, const void*,
                const PlistDictionary* userInfo) {
    static_cast<std::vector<std::string>*>(observer)->push_back(std::string(name) + (userInfo ? "+info" : ""));
}

TEST(MemoryNotificationCenter, DeliversLaterToTheObserversOfThePostsMomentWithAPayloadOnlyIfDistributed) {
    const PlistDictionary payload{{"smcStatus", 1}};
    for (const auto kind : {MemoryNotificationCenter::Kind::Darwin, MemoryNotificationCenter::Kind::Distributed}) {
        VirtualRunLoop loop;
        MemoryNotificationCenter center(loop, kind);
        std::vector<std::string> first, second;
        center.addObserver(&first, recordName, "A", nullptr, SuspensionBehavior::DeliverImmediately);
        center.addObserver(&second, recordName, "B", nullptr, SuspensionBehavior::DeliverImmediately);
        center.postNotificationWithOptions("A", nullptr, &payload, 3);
        center.addObserver(&second, recordName, "A", nullptr, SuspensionBehavior::DeliverImmediately);
        EXPECT_TRUE(first.empty()) << "delivered inside the post";

        loop.runUntilIdle();

        const bool distributed = kind == MemoryNotificationCenter::Kind::Distributed;
        EXPECT_EQ(first, std::vector<std::string>{distributed ? "A+info" : "A"});
        EXPECT_TRUE(second.empty()) << "an observer added after the post got it";
    }
}

}  // namespace
}  // namespace wattkeeper::testkit
