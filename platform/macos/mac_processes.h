#pragma once
// Child processes on the Mac, and the process's own end.

#include "platform/processes.h"

namespace wattkeeper::macos_backend {

// Children are started with posix_spawn, with an empty signal mask and default signal actions
// (the daemon ignores SIGTERM for its dispatch source, and an ignored signal would otherwise
// pass on through exec), and with POSIX_SPAWN_CLOEXEC_DEFAULT, so no descriptor of the daemon
// leaks into them but the ones named here. Safe from any thread.
class MacProcesses : public Processes {
public:
    // "/bin/bash" "-c" commandLine, standard output on a pipe, standard input and error inherited;
    // reads the pipe to its end, then waitpid. The status is the exit status, 128 plus the signal
    // number for a child killed by a signal, or -1 when the child's end could not be observed.
    std::optional<ShellResult> runShell(std::string_view commandLine) override;
    // posix_spawn of the program itself (no shell) with the three standard descriptors inherited;
    // a thread of its own waits for it so that it never lingers as a zombie.
    bool spawnDetached(std::string_view program, const std::vector<std::string>& arguments) override;
    // Flushes standard output (a restart announces itself there just before), then exit.
    void exit(int status) override;
};

}  // namespace wattkeeper::macos_backend
