#include "platform/linux/posix_processes.h"
#include "platform/fd.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace wattkeeper::linux_backend {

namespace {

// Spawn attributes that give a child an empty signal mask and default signal actions, so a
// mask or an ignored SIGPIPE of the daemon's does not leak into the commands it runs.
class CleanSignals {
public:
    CleanSignals() {
        ::posix_spawnattr_init(&attr_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        ::posix_spawnattr_setsigmask(&attr_, &none);
        ::posix_spawnattr_setsigdefault(&attr_, &all);
        ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    CleanSignals(const CleanSignals&) = delete;
    CleanSignals& operator=(const CleanSignals&) = delete;
    ~CleanSignals() { ::posix_spawnattr_destroy(&attr_); }
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
};

// The argument vector of exec: pointers into strings that outlive it.
std::vector<char*> argumentVector(std::vector<std::string>& strings) {
    std::vector<char*> argv;
    argv.reserve(strings.size() + 1);
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}

bool holdsZeroByte(std::string_view s) { return s.find('\0') != std::string_view::npos; }

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

// Moves a descriptor above the three standard ones, so that dup2 onto standard output always
// creates a new descriptor (dup2 onto itself would leave close-on-exec set).
int aboveStandardDescriptors(int fd) {
    if (fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

}  // namespace

PosixProcesses::PosixProcesses(std::string shell, std::vector<std::string> launcher)
    : shell_(std::move(shell)), launcher_(std::move(launcher)) {}

std::optional<ShellResult> PosixProcesses::runShell(std::string_view commandLine) {
    // exec cannot pass a zero byte; such a command line cannot be started as given.
    if (holdsZeroByte(commandLine) || holdsZeroByte(shell_)) return std::nullopt;
    for (const auto& word : launcher_) {
        if (holdsZeroByte(word)) return std::nullopt;
    }

    // Close-on-exec from the start, so a child that another thread starts meanwhile does not
    // inherit the write end and hold our end-of-file back.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    Fd readEnd(aboveStandardDescriptors(ends[0]));
    Fd writeEnd(aboveStandardDescriptors(ends[1]));
    if (readEnd.get() < 0 || writeEnd.get() < 0) return std::nullopt;

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);

    std::vector<std::string> strings = launcher_;
    strings.insert(strings.end(), {shell_, "-c", std::string(commandLine)});
    std::vector<char*> argv = argumentVector(strings);
    CleanSignals signals;
    pid_t pid = -1;
    const int started = ::posix_spawn(&pid, strings.front().c_str(), &actions, signals.get(), argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    // Only the child may hold the write end now, or the read below would never see its end.
    writeEnd.reset();
    if (started != 0) return std::nullopt;

    ShellResult result;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got > 0) {
            result.output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    // Closed before the wait: had the read failed, a child still writing then ends on SIGPIPE
    // instead of blocking the wait for ever.
    readEnd.reset();
    result.status = waitForExit(pid);
    return result;
}

bool PosixProcesses::spawnDetached(std::string_view program, const std::vector<std::string>& arguments) {
    if (program.empty() || holdsZeroByte(program)) return false;
    std::vector<std::string> strings{std::string(program)};
    for (const auto& argument : arguments) {
        if (holdsZeroByte(argument)) return false;
        strings.push_back(argument);
    }
    std::vector<char*> argv = argumentVector(strings);
    CleanSignals signals;
    pid_t pid = -1;
    // glibc's posix_spawn reports a failing exec as its result, so a missing program is seen.
    if (::posix_spawn(&pid, strings.front().c_str(), nullptr, signals.get(), argv.data(), environ) != 0) {
        return false;
    }
    try {
        std::thread([pid] { waitForExit(pid); }).detach();
    } catch (const std::system_error&) {
        // The program runs; without a reaper it only lingers as a zombie until this process ends.
    }
    return true;
}

void PosixProcesses::exit(int status) {
    // The bus thread and the global queue's threads are still at work: running the static
    // destructors under them (as std::exit would) pulls sdbus-c++'s state from under a message
    // being decoded. Nothing is left to write but the C streams the log writes to.
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace wattkeeper::linux_backend
