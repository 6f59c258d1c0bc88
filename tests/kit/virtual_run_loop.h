#pragma once
// Virtual time for tests: a single-threaded RunLoop whose clock moves only when a test advances
// it, so delays and timers run deterministically and no test sleeps.

#include <cstddef>
#include <memory>

#include "platform/run_loop.h"

namespace wattkeeper::testkit {

namespace detail {
struct LoopCore;
}  // namespace detail

// now() starts at zero. Work may be scheduled from any thread; main-queue work, global-queue work
// and timer fires all run on the thread that calls advance(), in deadline order, ties in order of
// submission. A timer fires exactly
// at its deadlines and is re-armed from the deadline, as a dispatch timer is; an interval of zero
// or Duration::max() makes it fire once; the queue and the leeway make no difference.
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
    void stop() override {}
    void onTerminationRequest(Task handler) override { terminationHandler_ = std::move(handler); }
    // Delivers a termination request (SIGTERM) to the handler, on the main queue.
    void requestTermination() { async(terminationHandler_); }

    // Runs everything due up to now() + d, including work scheduled meanwhile, setting now() to
    // each item's deadline while it runs; leaves now() at the old now() + d.
    void advance(Duration d);
    // Runs what is due at the current time, including work that it schedules for now.
    void runUntilIdle() { advance(Duration::zero()); }

    // Drops all scheduled work and armed timer fires, as a process that dies takes them along.
    void discardPending();
    // Scheduled work and armed timer fires still to run.
    std::size_t pendingCount() const;

private:
    std::shared_ptr<detail::LoopCore> core_;
    Task terminationHandler_;
};

}  // namespace wattkeeper::testkit
