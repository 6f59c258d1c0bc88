#pragma once
// Lets work be scheduled on a virtual run loop from several threads at once, as the daemon's
// timer and main queue do; the test advances the inner loop on one thread afterwards.

#include <mutex>

#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {

class LockedRunLoop : public RunLoop {
public:
    explicit LockedRunLoop(VirtualRunLoop& inner) : inner_(inner) {}

    void async(Task task) override {
        std::lock_guard lock(mutex_);
        inner_.async(std::move(task));
    }
    void after(Duration delay, Task task) override {
        std::lock_guard lock(mutex_);
        inner_.after(delay, std::move(task));
    }
    void globalAsync(Task task) override {
        std::lock_guard lock(mutex_);
        inner_.globalAsync(std::move(task));
    }
    std::unique_ptr<TimerSource> makeTimerSource(Queue queue) override {
        std::lock_guard lock(mutex_);
        return inner_.makeTimerSource(queue);
    }
    Duration now() const override {
        std::lock_guard lock(mutex_);
        return inner_.now();
    }
    void run() override { inner_.run(); }
    void stop() override { inner_.stop(); }
    void onTerminationRequest(Task handler) override { inner_.onTerminationRequest(std::move(handler)); }

private:
    VirtualRunLoop& inner_;
    mutable std::mutex mutex_;
};

}  // namespace wattkeeper::testkit
