// The Linux run loop with real threads and real time: the main queue, the global queue, delays
// and timer sources. That run() stays while the main queue is idle every run of the daemon shows
// end to end.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/asio_run_loop.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
using linux_backend::AsioRunLoop;

void spinFor(Duration d) {
    const auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) {
    }
}

TEST(AsioRunLoopTest, AfterAnEarlyStopWorkFromManyThreadsRunsInEachThreadsOrder) {
    AsioRunLoop loop;
    loop.stop();  // before run(): that run returns at once, and the next one serves
    ASSERT_TRUE(runUntilStopped(loop));
    constexpr int kThreads = 4;
    constexpr int kTasks = 500;
    std::vector<int> next(kThreads, 0);  // main thread only
    int done = 0;
    bool inOrder = true;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kTasks; ++i) {
                loop.async([&, t, i] {
                    inOrder = inOrder && next[t]++ == i;
                    if (++done == kThreads * kTasks) loop.stop();
                });
            }
        });
    }
    ASSERT_TRUE(runUntilStopped(loop));
    for (auto& poster : posters) poster.join();
    EXPECT_EQ(done, kThreads * kTasks);
    EXPECT_TRUE(inOrder);
}

TEST(AsioRunLoopTest, AfterRunsEachTaskNoEarlierThanItsDelayInDeadlineOrder) {
    AsioRunLoop loop;
    std::string order;
    std::vector<Duration> at;
    const Duration start = loop.now();
    const std::pair<char, Duration> delays[] = {{'a', 60ms}, {'b', 20ms}, {'c', 40ms}, {'d', 0ms}};
    for (auto [name, delay] : delays) {
        loop.after(delay, [&, name = name, delay = delay] {
            order += name;
            at.push_back(loop.now() - start - delay);
            if (order.size() == std::size(delays)) loop.stop();
        });
    }
    // Beyond the clock's range: never.
    loop.after(Duration::max(), [&] { order += 'm'; });
    ASSERT_TRUE(runUntilStopped(loop));
    EXPECT_EQ(order, "dbca");
    for (const Duration late : at) EXPECT_GE(late, Duration::zero());
}

// Two tasks meet on the global queue, then still run when the loop goes: it waits for them.
TEST(AsioRunLoopTest, GlobalQueueRunsOffTheMainThreadOnTwoThreadsAtOnceAndIsWaitedForAtTheEnd) {
    Arrivals<std::thread::id> threads;
    std::atomic<int> together{0};
    std::atomic<int> finished{0};
    {
        AsioRunLoop loop(2);
        for (int i = 0; i < 2; ++i) {
            loop.globalAsync([&] {
                threads.add(std::this_thread::get_id());
                // Only a queue with two threads lets both tasks be here together.
                if (threads.waitFor(2, 5s)) ++together;
                spinFor(30ms);
                ++finished;
            });
        }
        ASSERT_TRUE(threads.waitFor(2));
    }
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(together, 2);
    const auto ids = threads.items();
    EXPECT_NE(ids[0], std::this_thread::get_id());
    EXPECT_NE(ids[1], std::this_thread::get_id());
    EXPECT_NE(ids[0], ids[1]);
}

// A repeating timer on the global queue: fires never come early and run off the main thread.
TEST(AsioRunLoopTest, RepeatingTimerFiresOffTheMainThreadNoEarlierThanItsGrid) {
    constexpr Duration kStart = 30ms;
    constexpr Duration kInterval = 20ms;
    constexpr int kFires = 10;
    AsioRunLoop loop;
    auto timer = loop.makeTimerSource(AsioRunLoop::Queue::Global);
    std::mutex mutex;
    std::vector<Duration> fires;
    bool onMain = false;
    const auto mainThread = std::this_thread::get_id();
    timer->setEventHandler([&] {
        std::lock_guard lock(mutex);
        fires.push_back(loop.now());
        onMain = onMain || std::this_thread::get_id() == mainThread;
        if (fires.size() == kFires) {
            timer->cancel();
            loop.async([&] { loop.stop(); });
        }
    });
    timer->setTimer(kStart, kInterval, 5ms);
    const Duration origin = loop.now();
    timer->resume();

    ASSERT_TRUE(runUntilStopped(loop));
    std::lock_guard lock(mutex);
    ASSERT_EQ(fires.size(), static_cast<std::size_t>(kFires));
    EXPECT_FALSE(onMain);
    for (int k = 0; k < kFires; ++k) EXPECT_GE(fires[k] - origin, kStart + k * kInterval) << "fire " << k;
}

// The daemon cancels its global-queue timer from the main queue while it may be firing.
TEST(AsioRunLoopTest, CancelFromAnotherThreadStopsFurtherFires) {
    AsioRunLoop loop;
    auto timer = loop.makeTimerSource(AsioRunLoop::Queue::Global);
    Arrivals<bool> fires;
    std::atomic<int> atCancel{-1};
    timer->setEventHandler([&] { fires.add(true); });
    timer->setTimer(0ms, 5ms, 0ms);
    timer->resume();
    std::thread canceller([&] {
        if (!fires.waitFor(3)) return loop.stop();
        loop.async([&] {
            timer->cancel();
            atCancel = static_cast<int>(fires.size());
            // Long enough for several more fires of a timer that kept going.
            loop.after(60ms, [&] { loop.stop(); });
        });
    });
    ASSERT_TRUE(runUntilStopped(loop));
    canceller.join();
    ASSERT_GE(atCancel.load(), 3);
    // One fire may have been under way when cancel() was called.
    EXPECT_LE(static_cast<int>(fires.size()), atCancel + 1);
    EXPECT_NE(timer->testCancel(), 0);
}

// The source goes while its fire is due but cannot run yet: the main thread is busy, or both
// global threads are.
TEST(AsioRunLoopTest, DestroyingASourceWhoseFireIsDueNeverRunsItsHandler) {
    for (auto queue : {AsioRunLoop::Queue::Main, AsioRunLoop::Queue::Global}) {
        SCOPED_TRACE(queue == AsioRunLoop::Queue::Main ? "main" : "global");
        // Declared before the loop, which joins its threads while they may still use these.
        std::mutex gate;
        std::unique_lock closed(gate);
        Arrivals<bool> blocked;
        auto fired = std::make_shared<std::atomic<int>>(0);
        AsioRunLoop loop(2);
        // Opens the gate before the loop joins its threads, whichever way this case ends.
        struct Release {
            std::unique_lock<std::mutex>& lock;
            ~Release() {
                if (lock.owns_lock()) lock.unlock();
            }
        } release{closed};
        if (queue == AsioRunLoop::Queue::Global) {
            for (int i = 0; i < 2; ++i) {
                loop.globalAsync([&] {
                    blocked.add(true);
                    std::lock_guard wait(gate);
                });
            }
            ASSERT_TRUE(blocked.waitFor(2));
        }
        loop.async([&, fired] {
            auto timer = loop.makeTimerSource(queue);
            timer->setEventHandler([fired] { ++*fired; });
            timer->setTimer(0ms, 1ms, 0ms);
            timer->resume();
            spinFor(10ms);
            timer.reset();
            closed.unlock();
            loop.after(40ms, [&] { loop.stop(); });
        });
        ASSERT_TRUE(runUntilStopped(loop));
        EXPECT_EQ(*fired, 0);
    }
}

}  // namespace
}  // namespace wattkeeper::testkit
