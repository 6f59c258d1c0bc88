#pragma once
// Programs and folders of an integration test: temporary folders, started programs that are
// ended and reaped with the test, and bounded waits.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/asio_run_loop.h"

namespace wattkeeper::testkit {

using namespace std::chrono_literals;

// A program the build put next to the test binary (relative paths allowed, e.g. a bundle's).
std::filesystem::path builtProgram(const std::filesystem::path& relative);

// A folder of the test's own, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);

// A started program (no search of $PATH) with standard output and error in a file; ended
// (SIGTERM, then SIGKILL) and reaped on destruction if still running.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
          const std::filesystem::path& output);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // The wait status once the child has ended within the deadline.
    std::optional<int> waitExit(std::chrono::milliseconds deadline = 10s);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct RunResult {
    int status = -1;     // the exit status; -1 when it did not end normally in time
    std::string output;  // standard output and error
};

// Runs a program to its end (at most `deadline`) and collects what it printed.
RunResult run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
              std::chrono::milliseconds deadline = 10s);

// Asks `condition` again every few milliseconds until it holds or the deadline passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 10s);

// Ends a process that is not our child (started detached by another program), by its id.
void endProcess(pid_t pid);

// The fields of /proc/<pid>/stat after the command name, the state first; none once it is gone.
std::vector<std::string> statFields(pid_t pid);
// CPU time (user and system) a process has used so far; nothing once it is gone.
std::optional<double> cpuSeconds(pid_t pid);
// A process's resident memory in KiB; nothing once it is gone.
std::optional<long> residentKiB(pid_t pid);

// Things that arrive on other threads, kept in order of arrival and waited for with a deadline.
template <class T>
class Arrivals {
public:
    void add(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        changed_.notify_all();
    }
    std::vector<T> items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    // Waits until `done` holds for everything that has arrived; false when the deadline came first.
    bool waitUntil(const std::function<bool(const std::vector<T>&)>& done, std::chrono::milliseconds deadline = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return done(items_); });
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds deadline = 10s) {
        return waitUntil([count](const std::vector<T>& items) { return items.size() >= count; }, deadline);
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> items_;
};

// Serves the loop on this thread until a task stops it, or for `deadline` at most; false when
// the deadline ended it. The watchdog outlives this call harmlessly: it only acts for this run.
bool runUntilStopped(linux_backend::AsioRunLoop& loop, Duration deadline = 5s);

}  // namespace wattkeeper::testkit
