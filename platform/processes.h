#pragma once
// Child processes and the own process's end.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wattkeeper {

struct ShellResult {
    std::string output;  // the child's whole standard output, as bytes
    int status = 0;      // its exit status
};

class Processes {
public:
    virtual ~Processes() = default;
    // Runs "/bin/bash" "-c" commandLine with standard output on a pipe (standard input and error
    // inherited), reads the pipe to its end, then waits. Nothing when the child cannot start.
    virtual std::optional<ShellResult> runShell(std::string_view commandLine) = 0;
    // Starts a program without waiting for it; false when it cannot be started.
    virtual bool spawnDetached(std::string_view program, const std::vector<std::string>& arguments) = 0;
    // Ends the process with the status. A test double records the call and returns.
    virtual void exit(int status) = 0;
};

}  // namespace wattkeeper
