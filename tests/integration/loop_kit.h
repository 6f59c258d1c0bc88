#pragma once
// Serving an AsioRunLoop on the test's own thread for a bounded time.

#include <atomic>
#include <chrono>
#include <memory>

#include "platform/linux/asio_run_loop.h"

namespace wattkeeper::testing {

// Serves the loop until a task stops it, or for `deadline` at most; false when the deadline
// ended it. The watchdog outlives this call harmlessly: it only acts for this run.
inline bool runUntilStopped(linux_backend::AsioRunLoop& loop, Duration deadline = std::chrono::seconds(5)) {
    auto state = std::make_shared<std::atomic<int>>(0);  // 0 running, 1 timed out, 2 over
    loop.after(deadline, [state, &loop] {
        int running = 0;
        if (state->compare_exchange_strong(running, 1)) loop.stop();
    });
    loop.run();
    int running = 0;
    state->compare_exchange_strong(running, 2);
    return state->load() == 2;
}

}  // namespace wattkeeper::testing
