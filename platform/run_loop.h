#pragma once
// Main queue, global queue, timer sources and the monotonic clock: the dispatch and run-loop
// services the system schedules its work on.

#include <chrono>
#include <functional>
#include <memory>

namespace wattkeeper {

using Task = std::function<void()>;
using Duration = std::chrono::nanoseconds;

// A dispatch timer source. Created suspended; fires its handler on the queue it was made for.
class TimerSource {
public:
    virtual ~TimerSource() = default;
    // First fire `start` from now, then every `interval`; the system may defer a fire by `leeway`.
    virtual void setTimer(Duration start, Duration interval, Duration leeway) = 0;
    virtual void setEventHandler(Task handler) = 0;
    virtual void resume() = 0;
    // Stops further fires; a handler already running finishes.
    virtual void cancel() = 0;
    // Non-zero once cancelled (dispatch_source_testcancel).
    virtual long testCancel() const = 0;
};

class RunLoop {
public:
    enum class Queue { Main, Global };

    virtual ~RunLoop() = default;
    // Work on the serial main queue, as soon as possible.
    virtual void async(Task task) = 0;
    // Work on the main queue once `delay` has passed on the monotonic clock.
    virtual void after(Duration delay, Task task) = 0;
    // Work on the default-priority global concurrent queue.
    virtual void globalAsync(Task task) = 0;
    virtual std::unique_ptr<TimerSource> makeTimerSource(Queue queue) = 0;
    // Time since an arbitrary origin; does not advance while the machine sleeps.
    virtual Duration now() const = 0;
    // Serves the main thread until stop(); a virtual loop returns at once.
    virtual void run() = 0;
    virtual void stop() = 0;
    // Runs `handler` on the main queue when the process's supervisor asks it to end (SIGTERM).
    // A loop without such requests never calls it.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): the loops that hear such requests keep it.
    virtual void onTerminationRequest(Task /*handler*/) {}
};

}  // namespace wattkeeper
