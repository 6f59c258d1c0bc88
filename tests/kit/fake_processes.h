#pragma once
// A Processes double: scripted shell results, and records of every command, detached start
// and exit instead of real children.

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/processes.h"

namespace wattkeeper::testkit {

// Thread-safe: the daemon may run commands from the main queue and the timer's queue.
class FakeProcesses : public Processes {
public:
    struct Spawn {
        std::string program;
        std::vector<std::string> arguments;
        friend bool operator==(const Spawn&, const Spawn&) = default;
    };

    // What runShell answers for exactly this command line; nothing stands for a child that
    // cannot start. Unscripted command lines answer empty output with status 0.
    void script(std::string commandLine, std::optional<ShellResult> result);
    // Whether spawnDetached reports a started program (true until set otherwise).
    void setSpawnSucceeds(bool succeeds);

    // Every command line given to runShell, in order.
    std::vector<std::string> commands() const;
    // Every spawnDetached call, in order, whether it succeeded or not.
    std::vector<Spawn> spawns() const;
    // The status of every exit call, in order.
    std::vector<int> exits() const;

    std::optional<ShellResult> runShell(std::string_view commandLine) override;
    bool spawnDetached(std::string_view program, const std::vector<std::string>& arguments) override;
    // Records the status and returns, so the test goes on after the process "ended".
    void exit(int status) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::optional<ShellResult>, std::less<>> scripts_;
    std::vector<std::string> commands_;
    std::vector<Spawn> spawns_;
    std::vector<int> exits_;
    bool spawnSucceeds_ = true;
};

}  // namespace wattkeeper::testkit
