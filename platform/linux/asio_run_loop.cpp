#include "platform/linux/asio_run_loop.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

// ThreadSanitizer cannot follow memory fences; asio hands handlers between threads under its own
// mutexes, which it does follow.
#if defined(__SANITIZE_THREAD__)
#define ASIO_DISABLE_FENCED_BLOCK
#endif
#include <asio.hpp>

namespace wattkeeper::linux_backend {

namespace {

using Clock = std::chrono::steady_clock;

// `from + d`, or nothing when that lies beyond the end of the clock: such a deadline never comes,
// and handing it to asio would wrap around into the past.
std::optional<Clock::time_point> deadlineAfter(Clock::time_point from, Duration d) {
    d = std::max(d, Duration::zero());
    if (d >= Clock::time_point::max() - from) return std::nullopt;
    return from + std::chrono::duration_cast<Clock::duration>(d);
}

bool repeats(Duration interval) { return interval > Duration::zero() && interval != Duration::max(); }

// Everything of one timer source, shared with the fires queued for it. Those hold it weakly,
// so a source destroyed while a fire waits in a queue is simply not fired.
struct TimerState {
    explicit TimerState(const asio::any_io_executor& executor) : timer(executor) {}

    // Guards every field and every call on `timer`: the source is driven from any thread while
    // its fires run on the queue's thread(s).
    std::mutex mutex;
    asio::steady_timer timer;
    Task handler;
    Duration start{0};
    Duration interval{0};
    Duration leeway{0};
    bool configured = false;
    bool resumed = false;
    bool cancelled = false;
    // Bumped by every arm and by cancel; a fire of an older generation has been overtaken.
    std::uint64_t generation = 0;
    Clock::time_point deadline;
};

void arm(const std::shared_ptr<TimerState>& state, Clock::time_point deadline);

void fire(const std::weak_ptr<TimerState>& weak, std::uint64_t generation, const asio::error_code& error) {
    if (error) return;
    auto state = weak.lock();
    if (!state) return;

    Task handler;
    Clock::time_point deadline;
    {
        std::lock_guard lock(state->mutex);
        // From here on the fire counts as running: a cancel() from now on does not stop it.
        if (state->cancelled || state->generation != generation) return;
        // A copy, so a handler that replaces itself keeps running intact.
        handler = state->handler;
        deadline = state->deadline;
    }
    if (handler) handler();

    std::lock_guard lock(state->mutex);
    // A handler that cancelled or re-set its timer has already decided what comes next.
    if (state->cancelled || state->generation != generation || !repeats(state->interval)) return;
    // From the deadline, not from the end of the handler, so the timer does not drift.
    auto next = deadlineAfter(deadline, state->interval);
    if (!next) return;
    const auto now = Clock::now();
    if (*next <= now) {
        // The handler overran: the fires it missed are merged into one, due at once, on the grid.
        const auto missed = (now - deadline) / state->interval;
        next = deadline + std::chrono::duration_cast<Clock::duration>(state->interval * missed);
    }
    arm(state, *next);
}

// Called with the state's mutex held.
void arm(const std::shared_ptr<TimerState>& state, Clock::time_point deadline) {
    const auto generation = ++state->generation;
    state->deadline = deadline;
    // Moving the expiry aborts a wait still pending from an earlier arm.
    state->timer.expires_at(deadline);
    state->timer.async_wait([weak = std::weak_ptr<TimerState>(state), generation](const asio::error_code& error) {
        fire(weak, generation, error);
    });
}

// Called with the state's mutex held.
void armFromNow(const std::shared_ptr<TimerState>& state) {
    if (auto deadline = deadlineAfter(Clock::now(), state->start)) {
        arm(state, *deadline);
    } else {
        ++state->generation;
        state->timer.cancel();
    }
}

class AsioTimerSource : public TimerSource {
public:
    explicit AsioTimerSource(const asio::any_io_executor& executor) : state_(std::make_shared<TimerState>(executor)) {}

    ~AsioTimerSource() override {
        try {
            cancel();
        } catch (const std::exception&) {
            // A timer that cannot be cancelled goes with its state: no handler of it runs again.
        }
    }

    void setTimer(Duration start, Duration interval, Duration leeway) override {
        std::lock_guard lock(state_->mutex);
        state_->configured = true;
        state_->start = start;
        state_->interval = interval;
        state_->leeway = leeway;
        if (state_->resumed && !state_->cancelled) armFromNow(state_);
    }

    void setEventHandler(Task handler) override {
        std::lock_guard lock(state_->mutex);
        state_->handler = std::move(handler);
    }

    void resume() override {
        std::lock_guard lock(state_->mutex);
        if (state_->resumed) return;
        state_->resumed = true;
        if (state_->configured && !state_->cancelled) armFromNow(state_);
    }

    void cancel() override {
        std::lock_guard lock(state_->mutex);
        state_->cancelled = true;
        ++state_->generation;
        state_->timer.cancel();
    }

    long testCancel() const override {
        std::lock_guard lock(state_->mutex);
        return state_->cancelled ? 1 : 0;
    }

private:
    std::shared_ptr<TimerState> state_;
};

}  // namespace

struct AsioRunLoop::Impl {
    explicit Impl(unsigned globalThreads) : pool(std::max(globalThreads, 1u)) {}

    ~Impl() {
        // Global work may still schedule onto the main queue: end it while that still exists.
        pool.stop();
        pool.join();
    }

    asio::io_context main;
    // Keeps run() serving while the main queue is empty.
    asio::executor_work_guard<asio::io_context::executor_type> idle{main.get_executor()};
    asio::thread_pool pool;
    // SIGTERM, once a handler is set; gone before the main queue.
    std::unique_ptr<asio::signal_set> termination;
};

AsioRunLoop::AsioRunLoop(unsigned globalThreads) : impl_(std::make_unique<Impl>(globalThreads)) {}

AsioRunLoop::~AsioRunLoop() = default;

void AsioRunLoop::async(Task task) {
    if (!task) return;
    asio::post(impl_->main, std::move(task));
}

void AsioRunLoop::after(Duration delay, Task task) {
    const auto deadline = deadlineAfter(Clock::now(), delay);
    if (!deadline || !task) return;
    auto timer = std::make_shared<asio::steady_timer>(impl_->main, *deadline);
    // The wait owns its timer; nothing ever cancels it.
    timer->async_wait([timer, task = std::move(task)](const asio::error_code& error) {
        if (!error) task();
    });
}

void AsioRunLoop::globalAsync(Task task) {
    if (!task) return;
    asio::post(impl_->pool, std::move(task));
}

std::unique_ptr<TimerSource> AsioRunLoop::makeTimerSource(Queue queue) {
    if (queue == Queue::Main) return std::make_unique<AsioTimerSource>(impl_->main.get_executor());
    return std::make_unique<AsioTimerSource>(impl_->pool.get_executor());
}

Duration AsioRunLoop::now() const { return std::chrono::duration_cast<Duration>(Clock::now().time_since_epoch()); }

void AsioRunLoop::run() {
    impl_->main.run();
    // run() returns only after stop(); the next run() serves again.
    impl_->main.restart();
}

void AsioRunLoop::stop() { impl_->main.stop(); }

void AsioRunLoop::onTerminationRequest(Task handler) {
    if (!handler) return;
    if (!impl_->termination) impl_->termination = std::make_unique<asio::signal_set>(impl_->main, SIGTERM);
    impl_->termination->cancel();
    impl_->termination->async_wait([handler = std::move(handler)](const asio::error_code& error, int) {
        if (!error) handler();
    });
}

}  // namespace wattkeeper::linux_backend
