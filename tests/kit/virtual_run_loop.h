#pragma once
// Virtual time for unit tests: a single-threaded RunLoop whose clock moves only when a test
// advances it, so delays and timers run deterministically and no test sleeps.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/run_loop.h"

namespace wattkeeper::testkit {

namespace detail {
struct LoopCore;
struct TimerState;
}  // namespace detail

// What a test can see of one timer source that is still alive.
struct TimerInfo {
    RunLoop::Queue queue = RunLoop::Queue::Main;
    bool configured = false;  // setTimer has been called
    Duration start{0};
    Duration interval{0};
    Duration leeway{0};
    bool resumed = false;
    bool cancelled = false;
    int fireCount = 0;
    std::optional<Duration> nextFire;  // nothing while suspended, cancelled or spent
};

// A timer source of VirtualRunLoop. Fires exactly at its deadlines; leeway is only recorded.
// An interval of zero or Duration::max() makes it fire once.
class VirtualTimerSource : public TimerSource {
public:
    ~VirtualTimerSource() override;

    void setTimer(Duration start, Duration interval, Duration leeway) override;
    void setEventHandler(Task handler) override;
    void resume() override;
    void cancel() override;
    long testCancel() const override;

    TimerInfo info() const;

private:
    friend class VirtualRunLoop;
    explicit VirtualTimerSource(std::shared_ptr<detail::TimerState> state);
    std::shared_ptr<detail::TimerState> state_;
};

// RunLoop with virtual time. now() starts at zero. Main-queue work, global-queue work and timer
// fires all run on the calling thread inside advance(), in deadline order, ties in order of
// submission.
class VirtualRunLoop : public RunLoop {
public:
    VirtualRunLoop();
    ~VirtualRunLoop() override;
    VirtualRunLoop(const VirtualRunLoop&) = delete;
    VirtualRunLoop& operator=(const VirtualRunLoop&) = delete;

    void async(Task task) override;
    void after(Duration delay, Task task) override;
    void globalAsync(Task task) override;
    std::unique_ptr<TimerSource> makeTimerSource(Queue queue) override;
    Duration now() const override;
    void run() override;
    void stop() override;
    void onTerminationRequest(Task handler) override;
    // Delivers a termination request (SIGTERM) to the handler, on the main queue.
    void requestTermination();

    // Runs everything due up to now() + d, including work scheduled meanwhile, setting now() to
    // each item's deadline while it runs; leaves now() at the old now() + d.
    void advance(Duration d);
    // Runs what is due at the current time, including work that it schedules for now.
    void runUntilIdle();

    // Drops all scheduled work and armed timer fires, as a process that dies takes them along.
    void discardPending();
    // Scheduled work and armed timer fires still to run.
    std::size_t pendingCount() const;
    std::optional<Duration> nextDeadline() const;
    // The queue of the task running now; nothing outside a task.
    std::optional<Queue> currentQueue() const;
    // Timer sources created here and not yet destroyed, in creation order.
    std::vector<TimerInfo> timers() const;

    int runCount() const;
    int stopCount() const;

private:
    std::shared_ptr<detail::LoopCore> core_;
    Task terminationHandler_;
};

}  // namespace wattkeeper::testkit
