#include "platform/macos/mac_run_loop.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>
#include <mach/mach_time.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>

namespace wattkeeper::macos_backend {

namespace {

// Work handed to dispatch: the task travels as the context and is freed after its one run.
void runTask(void* context) {
    std::unique_ptr<Task> task(static_cast<Task*>(context));
    if (*task) (*task)();
}

void submit(dispatch_queue_t queue, Task task) { dispatch_async_f(queue, new Task(std::move(task)), runTask); }

dispatch_queue_t globalQueue() { return dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0); }

std::uint64_t nanoseconds(Duration duration) {
    return duration.count() > 0 ? static_cast<std::uint64_t>(duration.count()) : 0;
}

// A handler shared between the object that sets it and the dispatch source that runs it. The
// source owns it: its finalizer frees it once the source is cancelled, released and idle, so a
// handler still running on the global queue never outlives what it runs.
struct Handler {
    std::mutex mutex;
    Task task;

    void set(Task next) {
        std::lock_guard lock(mutex);
        task = std::move(next);
    }
    void run() {
        Task copy;
        {
            std::lock_guard lock(mutex);
            copy = task;
        }
        if (copy) copy();
    }

    static void fire(void* context) { static_cast<Handler*>(context)->run(); }
    static void finalize(void* context) { delete static_cast<Handler*>(context); }
};

// A dispatch source together with its handler, released properly whatever state it is left in.
class Source {
public:
    Source(dispatch_source_type_t type, std::uintptr_t handle, dispatch_queue_t queue)
        : source_(dispatch_source_create(type, handle, 0, queue)) {
        if (!source_) return;
        handler_ = new Handler;
        // The context first: the handler function is given the context current when it is set.
        dispatch_set_context(source_, handler_);
        dispatch_set_finalizer_f(source_, Handler::finalize);
        dispatch_source_set_event_handler_f(source_, Handler::fire);
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() {
        if (!source_) return;
        dispatch_source_cancel(source_);
        // A source is created inactive, and releasing an inactive object is not allowed.
        resume();
        dispatch_release(source_);
    }

    dispatch_source_t get() const { return source_; }
    void setHandler(Task task) {
        if (handler_) handler_->set(std::move(task));
    }
    // Activates the source once; dispatch_resume on an active source would unbalance it.
    void resume() {
        if (source_ && !resumed_.exchange(true)) dispatch_resume(source_);
    }

private:
    dispatch_source_t source_;
    Handler* handler_ = nullptr;  // owned by the source
    std::atomic<bool> resumed_{false};
};

class MacTimerSource : public TimerSource {
public:
    explicit MacTimerSource(dispatch_queue_t queue) : source_(DISPATCH_SOURCE_TYPE_TIMER, 0, queue) {}

    void setTimer(Duration start, Duration interval, Duration leeway) override {
        if (!source_.get()) return;
        const bool once = interval <= Duration::zero() || interval == Duration::max();
        dispatch_source_set_timer(source_.get(),
                                  dispatch_time(DISPATCH_TIME_NOW, static_cast<std::int64_t>(nanoseconds(start))),
                                  once ? DISPATCH_TIME_FOREVER : nanoseconds(interval), nanoseconds(leeway));
    }
    void setEventHandler(Task handler) override { source_.setHandler(std::move(handler)); }
    void resume() override { source_.resume(); }
    void cancel() override {
        if (source_.get()) dispatch_source_cancel(source_.get());
    }
    long testCancel() const override {
        // A source that could not be made never runs: it counts as cancelled.
        return source_.get() ? static_cast<long>(dispatch_source_testcancel(source_.get())) : 1;
    }

private:
    Source source_;
};

}  // namespace

struct MacRunLoop::Termination {
    Source source{DISPATCH_SOURCE_TYPE_SIGNAL, SIGTERM, dispatch_get_main_queue()};
};

MacRunLoop::MacRunLoop() = default;

MacRunLoop::~MacRunLoop() = default;

void MacRunLoop::async(Task task) { submit(dispatch_get_main_queue(), std::move(task)); }

void MacRunLoop::after(Duration delay, Task task) {
    if (delay == Duration::max()) return;
    const dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, static_cast<std::int64_t>(nanoseconds(delay)));
    // dispatch_after_f with DISPATCH_TIME_FOREVER would keep the task for ever without running it.
    if (deadline == DISPATCH_TIME_FOREVER) return;
    dispatch_after_f(deadline, dispatch_get_main_queue(), new Task(std::move(task)), runTask);
}

void MacRunLoop::globalAsync(Task task) { submit(globalQueue(), std::move(task)); }

std::unique_ptr<TimerSource> MacRunLoop::makeTimerSource(Queue queue) {
    return std::make_unique<MacTimerSource>(queue == Queue::Main ? dispatch_get_main_queue() : globalQueue());
}

Duration MacRunLoop::now() const {
    static const mach_timebase_info_data_t timebase = [] {
        mach_timebase_info_data_t info{};
        if (mach_timebase_info(&info) != KERN_SUCCESS || info.denom == 0) info = {1, 1};
        return info;
    }();
    const std::uint64_t ticks = mach_absolute_time();
    // Split so that ticks * numer cannot overflow however long the machine has been up.
    const std::uint64_t whole = ticks / timebase.denom;
    const std::uint64_t rest = ticks % timebase.denom;
    const std::uint64_t nanos = whole * timebase.numer + rest * timebase.numer / timebase.denom;
    return Duration(static_cast<Duration::rep>(std::min<std::uint64_t>(nanos, INT64_MAX)));
}

void MacRunLoop::run() { CFRunLoopRun(); }

void MacRunLoop::stop() { CFRunLoopStop(CFRunLoopGetMain()); }

void MacRunLoop::onTerminationRequest(Task handler) {
    std::lock_guard lock(mutex_);
    if (!termination_) {
        // Ignored first: the default action would end the process before the source saw it.
        ::signal(SIGTERM, SIG_IGN);
        termination_ = std::make_unique<Termination>();
    }
    termination_->source.setHandler(std::move(handler));
    termination_->source.resume();
}

}  // namespace wattkeeper::macos_backend
