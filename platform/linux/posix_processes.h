#pragma once
// Child processes on a POSIX host: shell commands with captured output, detached starts of
// other programs, and the process's own end.

#include <string>
#include <vector>

#include "platform/processes.h"

namespace wattkeeper::linux_backend {

class PosixProcesses : public Processes {
public:
    // shell: the program that runs command lines; tests name a missing one to see a child that
    // cannot start. launcher: when not empty, the program and arguments that the shell's own
    // argument vector is appended to (a sandbox that then runs the shell); its first element
    // must be an absolute path.
    explicit PosixProcesses(std::string shell = "/bin/bash", std::vector<std::string> launcher = {});

    // The status is the exit status, or 128 plus the signal number for a child killed by a
    // signal, or -1 when the child's end could not be observed. Children start with an empty
    // signal mask and default signal actions, whatever the daemon set for itself.
    std::optional<ShellResult> runShell(std::string_view commandLine) override;
    // The program is started directly, not through a shell, in a session of its own; a failing
    // exec is reported as false. A reaper thread waits for it so that it never lingers as a
    // zombie.
    bool spawnDetached(std::string_view program, const std::vector<std::string>& arguments) override;
    // Flushes standard output first: a restart announces itself there just before it ends.
    void exit(int status) override;

private:
    std::string shell_;
    std::vector<std::string> launcher_;
};

}  // namespace wattkeeper::linux_backend
