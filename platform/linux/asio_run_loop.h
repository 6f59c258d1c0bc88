#pragma once
// The run loop of a Linux process: the main queue is an asio io_context served by the thread
// that calls run(), the global queue a small asio thread pool.
//
// Threads: async, after, globalAsync, makeTimerSource and now may be called from any thread, as
// may every operation of a timer source. Timer sources must be destroyed before the loop that
// made them, and run() serves one thread at a time.

#include <memory>

#include "platform/run_loop.h"

namespace wattkeeper::linux_backend {

class AsioRunLoop : public RunLoop {
public:
    // globalThreads: the threads of the default-priority global queue. One is enough for this
    // system's timers and short tasks, and each further thread is woken on every tick.
    explicit AsioRunLoop(unsigned globalThreads = 1);
    // Stops the global queue and waits for the work it is running; main-queue work still queued
    // is dropped without running.
    ~AsioRunLoop() override;
    AsioRunLoop(const AsioRunLoop&) = delete;
    AsioRunLoop& operator=(const AsioRunLoop&) = delete;

    void async(Task task) override;
    // The deadline is taken when this is called. A delay that would overflow the clock never runs.
    void after(Duration delay, Task task) override;
    void globalAsync(Task task) override;
    // Timer sources fire exactly at their deadlines: the leeway is kept but asio has no use for it.
    // An interval of zero or Duration::max() makes the timer fire once; a repeating timer keeps to
    // the grid of its first deadline, and fires it missed while a handler overran are merged
    // into one.
    std::unique_ptr<TimerSource> makeTimerSource(Queue queue) override;
    // CLOCK_MONOTONIC, which stands still while the machine is suspended.
    Duration now() const override;
    // Serves the main queue on the calling thread until stop(); it does not return when idle.
    // A stop() that comes before run() makes that run() return at once; the one after serves again.
    void run() override;
    void stop() override;
    void onTerminationRequest(Task handler) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace wattkeeper::linux_backend
