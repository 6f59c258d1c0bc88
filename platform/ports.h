#pragma once
// The process's ports, installed once by the executable's composition root (or by a test), and
// the holder for process-wide shared objects that are created on first use from them.

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/bundle.h"
#include "platform/file_system.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/power_sources.h"
#include "platform/processes.h"
#include "platform/run_loop.h"
#include "platform/smc_driver.h"
#include "platform/system_info.h"
#include "platform/workspace.h"

namespace wattkeeper {

struct Ports {
    RunLoop* runLoop = nullptr;
    Log* log = nullptr;
    SmcDriver* smcDriver = nullptr;
    NotificationCenter* darwinCenter = nullptr;
    NotificationCenter* distributedCenter = nullptr;
    LocalNotificationCenter* localCenter = nullptr;
    PowerSources* powerSources = nullptr;
    SystemInfo* systemInfo = nullptr;
    FileSystem* fileSystem = nullptr;
    Processes* processes = nullptr;
    Workspace* workspace = nullptr;
    Displays* displays = nullptr;
    Bundles* bundles = nullptr;
    Defaults* defaults = nullptr;
    Application* application = nullptr;
};

// The ports of this process. Shared objects read them when they are first created.
Ports& processPorts();

// One process-wide object, created once and thread-safely on first use, replaceable by tests.
// It is never destroyed at exit: other threads and static objects may still reach it then.
template <class T>
class SharedInstance {
public:
    SharedInstance() = default;
    SharedInstance(const SharedInstance&) = delete;
    SharedInstance& operator=(const SharedInstance&) = delete;

    template <class Factory>
    T& get(Factory&& factory) {
        if (T* existing = current_.load(std::memory_order_acquire)) return *existing;
        std::lock_guard lock(mutex_);
        if (!owned_) {
            owned_ = factory().release();
            current_.store(owned_, std::memory_order_release);
        }
        return *owned_;
    }

    // Puts another object in place (nothing: the next get creates a fresh one). Only for a
    // moment when no other thread uses the old object.
    void replace(std::unique_ptr<T> next) {
        std::unique_ptr<T> old;
        {
            std::lock_guard lock(mutex_);
            old.reset(owned_);
            owned_ = next.release();
            current_.store(owned_, std::memory_order_release);
        }
    }

private:
    std::mutex mutex_;
    T* owned_ = nullptr;
    std::atomic<T*> current_{nullptr};
};

}  // namespace wattkeeper
