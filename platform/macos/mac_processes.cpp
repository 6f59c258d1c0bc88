#include "platform/macos/mac_processes.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

extern char** environ;

namespace wattkeeper::macos_backend {

namespace {

constexpr const char* kShell = "/bin/bash";

bool holdsZeroByte(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Spawn attributes and file actions shared by both kinds of child.
class SpawnSetup {
public:
    // stdoutFd: the descriptor that becomes the child's standard output; -1 inherits the own one.
    explicit SpawnSetup(int stdoutFd) {
        ::posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        ::posix_spawnattr_setsigmask(&attributes_, &none);
        ::posix_spawnattr_setsigdefault(&attributes_, &all);
        ::posix_spawnattr_setflags(&attributes_, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                                    POSIX_SPAWN_CLOEXEC_DEFAULT));
        ::posix_spawn_file_actions_init(&actions_);
        // With POSIX_SPAWN_CLOEXEC_DEFAULT a descriptor survives only when an action names it.
        ::posix_spawn_file_actions_addinherit_np(&actions_, STDIN_FILENO);
        if (stdoutFd >= 0) {
            ::posix_spawn_file_actions_adddup2(&actions_, stdoutFd, STDOUT_FILENO);
        } else {
            ::posix_spawn_file_actions_addinherit_np(&actions_, STDOUT_FILENO);
        }
        ::posix_spawn_file_actions_addinherit_np(&actions_, STDERR_FILENO);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }

    // The child's process id, or nothing when it could not be started.
    std::optional<pid_t> spawn(std::vector<std::string>& words) const {
        std::vector<char*> argv;
        argv.reserve(words.size() + 1);
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (::posix_spawn(&pid, argv.front(), &actions_, &attributes_, argv.data(), environ) != 0) return std::nullopt;
        return pid;
    }

private:
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
};

// Moves a descriptor above the three standard ones (close-on-exec), so that the dup2 onto
// standard output always makes a new descriptor and no standard one is taken for a pipe end.
int aboveStandardDescriptors(int fd) {
    if (fd > STDERR_FILENO) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

int waitForExit(pid_t pid) {
    int raw = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &raw, 0);
        if (done == pid) break;
        if (done < 0 && errno == EINTR) continue;
        return -1;
    }
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

std::optional<ShellResult> MacProcesses::runShell(std::string_view commandLine) {
    // exec cannot pass a zero byte; such a command line cannot be started as given.
    if (holdsZeroByte(commandLine)) return std::nullopt;
    int ends[2];
    if (::pipe(ends) != 0) return std::nullopt;
    // Close-on-exec for children that other threads start meanwhile without our spawn flags.
    ends[0] = aboveStandardDescriptors(ends[0]);
    ends[1] = aboveStandardDescriptors(ends[1]);
    if (ends[0] < 0 || ends[1] < 0) {
        if (ends[0] >= 0) ::close(ends[0]);
        if (ends[1] >= 0) ::close(ends[1]);
        return std::nullopt;
    }

    std::vector<std::string> words{kShell, "-c", std::string(commandLine)};
    std::optional<pid_t> pid;
    {
        const SpawnSetup setup(ends[1]);
        pid = setup.spawn(words);
    }
    // Only the child may hold the write end now, or the read below would never see its end.
    ::close(ends[1]);
    if (!pid) {
        ::close(ends[0]);
        return std::nullopt;
    }

    ShellResult result;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(ends[0], buffer, sizeof buffer);
        if (got > 0) {
            result.output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    // Closed before the wait: had the read failed, a child still writing ends on SIGPIPE instead
    // of blocking the wait for ever.
    ::close(ends[0]);
    result.status = waitForExit(*pid);
    return result;
}

bool MacProcesses::spawnDetached(std::string_view program, const std::vector<std::string>& arguments) {
    if (program.empty() || holdsZeroByte(program)) return false;
    std::vector<std::string> words{std::string(program)};
    for (const auto& argument : arguments) {
        if (holdsZeroByte(argument)) return false;
        words.push_back(argument);
    }
    const SpawnSetup setup(-1);
    // The Mac's posix_spawn reports a failing exec as its result, so a missing program is seen.
    const auto pid = setup.spawn(words);
    if (!pid) return false;
    try {
        std::thread([child = *pid] { waitForExit(child); }).detach();
    } catch (const std::system_error&) {
        // The program runs; without a waiter it only lingers as a zombie until this process ends.
    }
    return true;
}

void MacProcesses::exit(int status) {
    std::fflush(nullptr);
    std::exit(status);
}

}  // namespace wattkeeper::macos_backend
