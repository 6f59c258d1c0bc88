#include "tests/kit/fake_processes.h"

#include <utility>

namespace wattkeeper::testkit {

void FakeProcesses::script(std::string commandLine, std::optional<ShellResult> result) {
    std::lock_guard lock(mutex_);
    scripts_.insert_or_assign(std::move(commandLine), std::move(result));
}

void FakeProcesses::setSpawnSucceeds(bool succeeds) {
    std::lock_guard lock(mutex_);
    spawnSucceeds_ = succeeds;
}

std::vector<std::string> FakeProcesses::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<FakeProcesses::Spawn> FakeProcesses::spawns() const {
    std::lock_guard lock(mutex_);
    return spawns_;
}

std::vector<int> FakeProcesses::exits() const {
    std::lock_guard lock(mutex_);
    return exits_;
}

std::optional<ShellResult> FakeProcesses::runShell(std::string_view commandLine) {
    std::lock_guard lock(mutex_);
    commands_.emplace_back(commandLine);
    const auto scripted = scripts_.find(commandLine);
    if (scripted == scripts_.end()) return ShellResult{};
    return scripted->second;
}

bool FakeProcesses::spawnDetached(std::string_view program, const std::vector<std::string>& arguments) {
    std::lock_guard lock(mutex_);
    spawns_.push_back(Spawn{std::string(program), arguments});
    return spawnSucceeds_;
}

void FakeProcesses::exit(int status) {
    std::lock_guard lock(mutex_);
    exits_.push_back(status);
}

}  // namespace wattkeeper::testkit
