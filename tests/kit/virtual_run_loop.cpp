#include "tests/kit/virtual_run_loop.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace wattkeeper::testkit {

namespace detail {

struct TimerState {
    Duration start{0};
    Duration interval{0};
    bool configured = false;
    bool resumed = false;
    // Set by cancel and by the source's destruction.
    bool cancelled = false;
    // Each arming counts up, so a fire armed before a cancel or a new setTimer is void.
    std::uint64_t generation = 0;
    Task handler;
};

// One piece of scheduled work: a task, or (without a task) one fire of a timer, which refers to
// its timer weakly and by generation.
struct Entry {
    Task task;
    std::weak_ptr<TimerState> timer;
    std::uint64_t generation = 0;

    std::shared_ptr<TimerState> liveTimer() const {
        auto state = timer.lock();
        return state && !state->cancelled && state->generation == generation ? state : nullptr;
    }
    bool live() const { return task || liveTimer(); }
};

// Durations near Duration::max() stand for "never"; adding to them must not wrap around.
Duration saturatingAdd(Duration a, Duration b) {
    b = std::max(b, Duration::zero());
    return a > Duration::max() - b ? Duration::max() : a + b;
}

// Work may be scheduled from any thread, as the daemon's timer and main queue do; it runs on the
// thread that advances, without the lock held.
struct LoopCore {
    mutable std::mutex mutex;
    Duration now{0};
    std::uint64_t sequence = 0;
    // By deadline, then by submission.
    std::map<std::pair<Duration, std::uint64_t>, Entry> due;
    bool advancing = false;

    // `delay` from now.
    void schedule(Duration delay, Entry entry) {
        std::lock_guard lock(mutex);
        due.emplace(std::pair{saturatingAdd(now, delay), sequence++}, std::move(entry));
    }
    void schedule(Duration delay, Task task) {
        if (task) schedule(delay, Entry{std::move(task), {}, 0});
    }
    void arm(const std::shared_ptr<TimerState>& timer, Duration delay) {
        schedule(delay, Entry{{}, timer, ++timer->generation});
    }
    void armIfReady(const std::shared_ptr<TimerState>& timer) {
        if (timer->configured && timer->resumed && !timer->cancelled) arm(timer, timer->start);
    }
};

}  // namespace detail

namespace {

class VirtualTimerSource : public TimerSource {
public:
    VirtualTimerSource(std::weak_ptr<detail::LoopCore> loop, std::shared_ptr<detail::TimerState> state)
        : loop_(std::move(loop)), state_(std::move(state)) {}
    // A handler may be running right now and still hold the state; it must not re-arm.
    ~VirtualTimerSource() override { state_->cancelled = true; }

    void setTimer(Duration start, Duration interval, Duration /*leeway*/) override {
        state_->start = start;
        state_->interval = interval;
        state_->configured = true;
        if (auto loop = loop_.lock()) loop->armIfReady(state_);
    }
    void setEventHandler(Task handler) override { state_->handler = std::move(handler); }
    void resume() override {
        if (std::exchange(state_->resumed, true)) return;
        if (auto loop = loop_.lock()) loop->armIfReady(state_);
    }
    void cancel() override { state_->cancelled = true; }
    long testCancel() const override { return state_->cancelled ? 1 : 0; }

private:
    std::weak_ptr<detail::LoopCore> loop_;
    std::shared_ptr<detail::TimerState> state_;
};

}  // namespace

VirtualRunLoop::VirtualRunLoop() : core_(std::make_shared<detail::LoopCore>()) {}

VirtualRunLoop::~VirtualRunLoop() = default;

void VirtualRunLoop::async(Task task) { core_->schedule(Duration::zero(), std::move(task)); }

void VirtualRunLoop::after(Duration delay, Task task) { core_->schedule(delay, std::move(task)); }

void VirtualRunLoop::globalAsync(Task task) { core_->schedule(Duration::zero(), std::move(task)); }

std::unique_ptr<TimerSource> VirtualRunLoop::makeTimerSource(Queue) {
    return std::make_unique<VirtualTimerSource>(core_, std::make_shared<detail::TimerState>());
}

Duration VirtualRunLoop::now() const {
    std::lock_guard lock(core_->mutex);
    return core_->now;
}

void VirtualRunLoop::run() {}


void VirtualRunLoop::advance(Duration d) {
    auto& core = *core_;
    std::unique_lock lock(core.mutex);
    if (core.advancing) throw std::logic_error("VirtualRunLoop::advance called from inside a running task");
    core.advancing = true;
    const Duration target = detail::saturatingAdd(core.now, d);
    while (!core.due.empty() && core.due.begin()->first.first <= target) {
        const Duration deadline = core.due.begin()->first.first;
        detail::Entry entry = std::move(core.due.begin()->second);
        core.due.erase(core.due.begin());
        auto timer = entry.liveTimer();
        if (!entry.task && !timer) continue;
        core.now = std::max(core.now, deadline);
        lock.unlock();
        // A timer's handler is copied, so one that replaces itself or destroys its source runs intact.
        const Task task = entry.task ? entry.task : timer->handler;
        if (task) task();
        // A handler that re-set, cancelled or destroyed the timer has already decided.
        if (timer && entry.liveTimer() && timer->interval > Duration::zero() && timer->interval != Duration::max()) {
            core.arm(timer, timer->interval);  // from the deadline, which is now
        }
        lock.lock();
    }
    core.now = std::max(core.now, target);
    core.advancing = false;
}

void VirtualRunLoop::discardPending() {
    std::lock_guard lock(core_->mutex);
    core_->due.clear();
}

std::size_t VirtualRunLoop::pendingCount() const {
    std::lock_guard lock(core_->mutex);
    return static_cast<std::size_t>(
        std::count_if(core_->due.begin(), core_->due.end(), [](const auto& item) { return item.second.live(); }));
}


}  // namespace wattkeeper::testkit
