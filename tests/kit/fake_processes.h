#pragma once
// A Processes double: scripted shell results, and records of every command and exit instead of
// real children. Thread-safe: the daemon may run commands from the main
// queue and the timer's queue.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/processes.h"

namespace wattkeeper::testkit {

class FakeProcesses : public Processes {
public:
    // What runShell answers for exactly this command line; nothing stands for a child that
    // cannot start. Unscripted command lines answer empty output with status 0.
    void script(std::string commandLine, std::optional<ShellResult> result) {
        std::lock_guard lock(mutex_);
        scripts_.insert_or_assign(std::move(commandLine), std::move(result));
    }
    // Whether spawnDetached reports a started program (true until set otherwise).
    void setSpawnSucceeds(bool succeeds) {
        std::lock_guard lock(mutex_);
        spawnSucceeds_ = succeeds;
    }

    // Every runShell command line and exit status, in order.
    std::vector<std::string> commands() const {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    std::vector<int> exits() const {
        std::lock_guard lock(mutex_);
        return exits_;
    }

    std::optional<ShellResult> runShell(std::string_view commandLine) override {
        std::lock_guard lock(mutex_);
        commands_.emplace_back(commandLine);
        const auto scripted = scripts_.find(commandLine);
        return scripted == scripts_.end() ? ShellResult{} : scripted->second;
    }
    bool spawnDetached(std::string_view, const std::vector<std::string>&) override {
        std::lock_guard lock(mutex_);
        return spawnSucceeds_;
    }
    // Records the status and returns, so the test goes on after the process "ended".
    void exit(int status) override {
        std::lock_guard lock(mutex_);
        exits_.push_back(status);
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::optional<ShellResult>, std::less<>> scripts_;
    std::vector<std::string> commands_;
    std::vector<int> exits_;
    bool spawnSucceeds_ = true;
};

}  // namespace wattkeeper::testkit
