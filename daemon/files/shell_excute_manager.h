#pragma once
// Shell commands of the daemon: one command line run by "/bin/bash" "-c", for its output or
// for its exit status.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/processes.h"

namespace wattkeeper::daemon {

// Runs command lines through the shell of the Processes port it is given. Keeps no state; the
// calling thread is blocked until the command has ended, with no time limit.
class ZQShellExcuteManager {
public:
    ZQShellExcuteManager() = delete;

    // The status excuteRMCmd reports for a command that cannot be started.
    static constexpr std::int32_t kCannotStart = 100;

    // The command's whole standard output, whatever its exit status; nothing when it cannot be
    // started or its output is not valid UTF-8. No output is empty text.
    static std::optional<std::string> excuteCmd(Processes& processes, std::string_view commandLine);
    // The command's exit status; its output is discarded.
    static std::int32_t excuteRMCmd(Processes& processes, std::string_view commandLine);
};

}  // namespace wattkeeper::daemon
