#include "daemon/files/shell_excute_manager.h"

#include <utility>

#include "platform/ports.h"
#include "platform/utf8.h"

namespace wattkeeper::daemon {

namespace {

std::optional<ShellResult> run(std::string_view commandLine) {
    Processes* processes = processPorts().processes;
    if (!processes) return std::nullopt;
    return processes->runShell(commandLine);
}

}  // namespace

std::optional<std::string> ZQShellExcuteManager::excuteCmd(std::string_view commandLine) {
    auto result = run(commandLine);
    if (!result || !isValidUtf8(result->output)) return std::nullopt;
    return std::move(result->output);
}

std::int32_t ZQShellExcuteManager::excuteRMCmd(std::string_view commandLine) {
    const auto result = run(commandLine);
    if (!result) return kCannotStart;
    return static_cast<std::int32_t>(result->status);
}

}  // namespace wattkeeper::daemon
