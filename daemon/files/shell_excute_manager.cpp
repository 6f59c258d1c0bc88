#include "daemon/files/shell_excute_manager.h"

#include <utility>

#include "platform/utf8.h"

namespace wattkeeper::daemon {

std::optional<std::string> ZQShellExcuteManager::excuteCmd(Processes& processes, std::string_view commandLine) {
    auto result = processes.runShell(commandLine);
    if (!result || !isValidUtf8(result->output)) return std::nullopt;
    return std::move(result->output);
}

std::int32_t ZQShellExcuteManager::excuteRMCmd(Processes& processes, std::string_view commandLine) {
    const auto result = processes.runShell(commandLine);
    if (!result) return kCannotStart;
    return static_cast<std::int32_t>(result->status);
}

}  // namespace wattkeeper::daemon
