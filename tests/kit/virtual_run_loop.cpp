#include "tests/kit/virtual_run_loop.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace wattkeeper::testkit {

namespace detail {

// One piece of scheduled work: a task, or one fire of a timer. A timer fire refers to its
// timer weakly and by generation, so cancelling, re-arming or destroying the timer voids it
// without touching the heap.
struct Entry {
    Duration deadline{0};
    std::uint64_t sequence = 0;
    RunLoop::Queue queue = RunLoop::Queue::Main;
    Task task;
    bool isTimerFire = false;
    std::weak_ptr<TimerState> timer;
    std::uint64_t generation = 0;
};

// Heap order: the earliest deadline on top, ties broken by submission.
struct RunsLater {
    bool operator()(const Entry& a, const Entry& b) const {
        return std::tie(a.deadline, a.sequence) > std::tie(b.deadline, b.sequence);
    }
};

struct TimerState {
    std::weak_ptr<LoopCore> loop;
    RunLoop::Queue queue = RunLoop::Queue::Main;
    bool configured = false;
    Duration start{0};
    Duration interval{0};
    Duration leeway{0};
    bool resumed = false;
    bool cancelled = false;
    bool destroyed = false;
    int fireCount = 0;
    std::uint64_t generation = 0;
    std::optional<Duration> nextFire;
    Task handler;
};

namespace {

// Durations near Duration::max() stand for "never"; adding to them must not wrap around.
Duration saturatingAdd(Duration a, Duration b) {
    if (b > Duration::zero() && a > Duration::max() - b) return Duration::max();
    return a + b;
}

bool repeats(Duration interval) { return interval > Duration::zero() && interval != Duration::max(); }

TimerInfo infoOf(const TimerState& s) {
    return TimerInfo{s.queue, s.configured, s.start, s.interval, s.leeway, s.resumed, s.cancelled, s.fireCount,
                     s.nextFire};
}

}  // namespace

struct LoopCore {
    Duration now{0};
    std::uint64_t nextSequence = 0;
    std::vector<Entry> heap;
    std::optional<RunLoop::Queue> current;
    bool advancing = false;
    int runs = 0;
    int stops = 0;
    std::vector<std::weak_ptr<TimerState>> timers;

    void push(Entry entry) {
        entry.sequence = nextSequence++;
        heap.push_back(std::move(entry));
        std::push_heap(heap.begin(), heap.end(), RunsLater{});
    }

    void schedule(Duration deadline, RunLoop::Queue queue, Task task) {
        if (!task) return;
        Entry entry;
        entry.deadline = deadline;
        entry.queue = queue;
        entry.task = std::move(task);
        push(std::move(entry));
    }

    void arm(const std::shared_ptr<TimerState>& timer, Duration deadline) {
        ++timer->generation;
        timer->nextFire = deadline;
        Entry entry;
        entry.deadline = deadline;
        entry.queue = timer->queue;
        entry.isTimerFire = true;
        entry.timer = timer;
        entry.generation = timer->generation;
        push(std::move(entry));
    }

    static std::shared_ptr<TimerState> liveTimer(const Entry& entry) {
        auto timer = entry.timer.lock();
        if (!timer || timer->cancelled || timer->destroyed || timer->generation != entry.generation) return nullptr;
        return timer;
    }

    static bool live(const Entry& entry) { return !entry.isTimerFire || liveTimer(entry) != nullptr; }
};

}  // namespace detail

namespace {

// Marks which queue is running for the duration of one task, even if the task throws.
class QueueScope {
public:
    QueueScope(std::optional<RunLoop::Queue>& slot, RunLoop::Queue queue) : slot_(slot), saved_(slot) {
        slot_ = queue;
    }
    ~QueueScope() { slot_ = saved_; }
    QueueScope(const QueueScope&) = delete;
    QueueScope& operator=(const QueueScope&) = delete;

private:
    std::optional<RunLoop::Queue>& slot_;
    std::optional<RunLoop::Queue> saved_;
};

}  // namespace

// --- VirtualTimerSource ---

VirtualTimerSource::VirtualTimerSource(std::shared_ptr<detail::TimerState> state) : state_(std::move(state)) {}

VirtualTimerSource::~VirtualTimerSource() {
    // A handler may be running right now and still hold the state; it must not re-arm.
    state_->destroyed = true;
    state_->nextFire.reset();
}

void VirtualTimerSource::setTimer(Duration start, Duration interval, Duration leeway) {
    state_->configured = true;
    state_->start = start;
    state_->interval = interval;
    state_->leeway = leeway;
    if (!state_->resumed || state_->cancelled) return;
    if (auto loop = state_->loop.lock()) {
        loop->arm(state_, detail::saturatingAdd(loop->now, std::max(start, Duration::zero())));
    }
}

void VirtualTimerSource::setEventHandler(Task handler) { state_->handler = std::move(handler); }

void VirtualTimerSource::resume() {
    if (state_->resumed) return;
    state_->resumed = true;
    if (!state_->configured || state_->cancelled) return;
    if (auto loop = state_->loop.lock()) {
        loop->arm(state_, detail::saturatingAdd(loop->now, std::max(state_->start, Duration::zero())));
    }
}

void VirtualTimerSource::cancel() {
    state_->cancelled = true;
    state_->nextFire.reset();
}

long VirtualTimerSource::testCancel() const { return state_->cancelled ? 1 : 0; }

TimerInfo VirtualTimerSource::info() const {
    return detail::infoOf(*state_);
}

// --- VirtualRunLoop ---

VirtualRunLoop::VirtualRunLoop() : core_(std::make_shared<detail::LoopCore>()) {}

VirtualRunLoop::~VirtualRunLoop() = default;

void VirtualRunLoop::async(Task task) { core_->schedule(core_->now, Queue::Main, std::move(task)); }

void VirtualRunLoop::after(Duration delay, Task task) {
    core_->schedule(detail::saturatingAdd(core_->now, std::max(delay, Duration::zero())), Queue::Main,
                    std::move(task));
}

void VirtualRunLoop::globalAsync(Task task) { core_->schedule(core_->now, Queue::Global, std::move(task)); }

std::unique_ptr<TimerSource> VirtualRunLoop::makeTimerSource(Queue queue) {
    auto state = std::make_shared<detail::TimerState>();
    state->loop = core_;
    state->queue = queue;
    auto& timers = core_->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [](const auto& t) { return t.expired(); }), timers.end());
    timers.push_back(state);
    return std::unique_ptr<TimerSource>(new VirtualTimerSource(std::move(state)));
}

Duration VirtualRunLoop::now() const { return core_->now; }

void VirtualRunLoop::run() { ++core_->runs; }

void VirtualRunLoop::stop() { ++core_->stops; }

void VirtualRunLoop::onTerminationRequest(Task handler) { terminationHandler_ = std::move(handler); }

void VirtualRunLoop::requestTermination() {
    if (terminationHandler_) async(terminationHandler_);
}

void VirtualRunLoop::advance(Duration d) {
    auto& core = *core_;
    if (core.advancing) throw std::logic_error("VirtualRunLoop::advance called from inside a running task");
    core.advancing = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{core.advancing};

    const Duration target = detail::saturatingAdd(core.now, std::max(d, Duration::zero()));
    while (!core.heap.empty() && core.heap.front().deadline <= target) {
        std::pop_heap(core.heap.begin(), core.heap.end(), detail::RunsLater{});
        detail::Entry entry = std::move(core.heap.back());
        core.heap.pop_back();

        if (!entry.isTimerFire) {
            core.now = std::max(core.now, entry.deadline);
            QueueScope scope(core.current, entry.queue);
            entry.task();
            continue;
        }

        auto timer = detail::LoopCore::liveTimer(entry);
        if (!timer) continue;
        core.now = std::max(core.now, entry.deadline);
        timer->nextFire.reset();
        ++timer->fireCount;
        // A copy, so a handler that replaces itself or destroys its source keeps running intact.
        Task handler = timer->handler;
        {
            QueueScope scope(core.current, entry.queue);
            if (handler) handler();
        }
        // Re-armed from the deadline, not from when the handler ended, as a dispatch timer does;
        // a handler that re-set, cancelled or destroyed the timer has already decided.
        if (detail::LoopCore::liveTimer(entry) && detail::repeats(timer->interval)) {
            const Duration next = detail::saturatingAdd(entry.deadline, timer->interval);
            if (next != Duration::max()) core.arm(timer, next);
        }
    }
    core.now = std::max(core.now, target);
}

void VirtualRunLoop::runUntilIdle() { advance(Duration::zero()); }

void VirtualRunLoop::discardPending() { core_->heap.clear(); }

std::size_t VirtualRunLoop::pendingCount() const {
    return static_cast<std::size_t>(std::count_if(core_->heap.begin(), core_->heap.end(), detail::LoopCore::live));
}

std::optional<Duration> VirtualRunLoop::nextDeadline() const {
    std::optional<Duration> earliest;
    for (const auto& entry : core_->heap) {
        if (detail::LoopCore::live(entry) && (!earliest || entry.deadline < *earliest)) earliest = entry.deadline;
    }
    return earliest;
}

std::optional<RunLoop::Queue> VirtualRunLoop::currentQueue() const { return core_->current; }

std::vector<TimerInfo> VirtualRunLoop::timers() const {
    std::vector<TimerInfo> out;
    for (const auto& weak : core_->timers) {
        auto state = weak.lock();
        if (!state || state->destroyed) continue;
        out.push_back(detail::infoOf(*state));
    }
    return out;
}

int VirtualRunLoop::runCount() const { return core_->runs; }

int VirtualRunLoop::stopCount() const { return core_->stops; }

}  // namespace wattkeeper::testkit
