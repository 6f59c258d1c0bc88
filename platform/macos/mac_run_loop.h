#pragma once
// The run loop of a Mac process: libdispatch's main queue, served by the main thread's CFRunLoop,
// the default-priority global queue, dispatch timer sources, and the host's monotonic clock.
//
// Threads: async, after, globalAsync, makeTimerSource, now and stop may be called from any
// thread, as may every operation of a timer source. run() belongs to the main thread.

#include <memory>
#include <mutex>

#include "platform/run_loop.h"

namespace wattkeeper::macos_backend {

class MacRunLoop : public RunLoop {
public:
    MacRunLoop();
    // Cancels the termination source; work already queued on the dispatch queues still runs.
    ~MacRunLoop() override;
    MacRunLoop(const MacRunLoop&) = delete;
    MacRunLoop& operator=(const MacRunLoop&) = delete;

    // dispatch_async_f on the main queue.
    void async(Task task) override;
    // dispatch_after_f on the main queue, from DISPATCH_TIME_NOW. A negative delay counts as none;
    // a delay that reaches past the end of the clock never runs.
    void after(Duration delay, Task task) override;
    // dispatch_async_f on the DISPATCH_QUEUE_PRIORITY_DEFAULT global queue.
    void globalAsync(Task task) override;
    // A DISPATCH_SOURCE_TYPE_TIMER source on the main or the global queue, created inactive. An
    // interval of zero or Duration::max() makes it fire once. Set its handler before resume().
    std::unique_ptr<TimerSource> makeTimerSource(Queue queue) override;
    // mach_absolute_time in nanoseconds: the clock dispatch_time counts on, which stands still
    // while the machine sleeps.
    Duration now() const override;
    // CFRunLoopRun on the calling (main) thread; returns after stop().
    void run() override;
    // CFRunLoopStop on the main run loop: ends the innermost run of it. Unlike the Linux loop, a
    // stop that comes before run() is not remembered.
    void stop() override;
    // SIGTERM is ignored as a signal and taken instead by a DISPATCH_SOURCE_TYPE_SIGNAL source on
    // the main queue, so launchd's request to end runs `handler` on the main thread. A later call
    // replaces the handler.
    void onTerminationRequest(Task handler) override;

private:
    struct Termination;

    std::mutex mutex_;
    std::unique_ptr<Termination> termination_;  // made on the first request, kept until the loop goes
};

}  // namespace wattkeeper::macos_backend
