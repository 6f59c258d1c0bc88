#pragma once
// Child processes of the daemon run against the virtual Mac: its command lines run in a
// sandbox whose "/" is the virtual Mac's root folder, so "rm -rf /Library/..." removes
// "<root>/Library/..." and nothing of the host's own folders, while the command line itself
// stays as the daemon wrote it.
//
// The sandbox (bubblewrap) sees the root folder read-write as "/", the host's /usr read-only
// with the host's /bin, /sbin, /lib and /lib64 as they are there (links into usr on a merged
// host), fresh /dev and /tmp, a process namespace with its own /proc (nothing of the host's
// processes, so no /proc/<pid>/root back into the host), and the stand-in programs of the tools
// folder read-only at /opt/wattkeeper/bin, first on PATH, and the bus's socket read-only at its own
// path, so that launchctl reaches the virtual Mac's launchd. Every capability is dropped, root's
// too. Its environment holds PATH and the bus address (WATTKEEPER_BUS_ADDRESS, when set) only.
// bubblewrap leaves the mount points it needs in the root folder (usr, proc, dev, tmp, opt, and
// the links).

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/posix_processes.h"
#include "platform/processes.h"

namespace wattkeeper::linux_backend {

// Where the sandbox shows the tools folder.
inline constexpr std::string_view kConfinedToolsFolder = "/opt/wattkeeper/bin";
// The program the daemon restarts itself with, and the stand-in for it in the tools folder.
inline constexpr std::string_view kOpenProgram = "/usr/bin/open";

class ConfinedProcesses : public Processes {
public:
    // root: the host folder that stands for the Mac's "/"; toolsBin: the host folder of the
    // stand-in programs (launchctl, open); programMap: host programs that spawnDetached starts
    // instead of the named ones, besides "/usr/bin/open" → "<toolsBin>/open".
    ConfinedProcesses(std::string root, std::string toolsBin, std::map<std::string, std::string> programMap = {});

    // "/bin/bash" "-c" commandLine inside the sandbox. Nothing when the sandbox cannot be made:
    // no bubblewrap, no root or tools folder, or an item of the root in the way of a link. The
    // sandbox ends when the thread that started it ends (bubblewrap's --die-with-parent), so a
    // command never outlives a daemon that died while waiting for it.
    std::optional<ShellResult> runShell(std::string_view commandLine) override;
    // On the host, outside the sandbox, through the program map: the opener starts a process
    // that outlives the sandbox's parent.
    bool spawnDetached(std::string_view program, const std::vector<std::string>& arguments) override;
    void exit(int status) override;

    // The sandbox's program and arguments, up to the shell's own, for the root as it is now.
    std::optional<std::vector<std::string>> sandboxCommand() const;
    // The host program spawnDetached starts for `program`.
    std::string hostProgram(std::string_view program) const;

private:
    std::string root_;
    std::string toolsBin_;
    std::map<std::string, std::string, std::less<>> programs_;
    PosixProcesses host_;
};

}  // namespace wattkeeper::linux_backend
