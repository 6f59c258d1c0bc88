#include "tests/integration/private_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace wattkeeper::testing {

namespace {

namespace fs = std::filesystem;

constexpr auto kStartDeadline = std::chrono::seconds(10);

constexpr std::string_view kAddressVariables[] = {"WATTKEEPER_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS",
                                                 "DBUS_SYSTEM_BUS_ADDRESS"};

// Session-style: only the user who started it may connect, and within it everything is allowed,
// monitoring included (dbus-monitor). No service directories: nothing gets activated.
std::string configuration(const std::string& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
           socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

// The program's path on $PATH, so that the child need not search: nothing when it is not there.
std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("private bus: " + what); }

void reap(pid_t pid) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The first line the daemon prints on `fd`, within the deadline; nothing if it exits or stays
// silent.
std::string readLine(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd poller{fd, POLLIN, 0};
        const int ready = ::poll(&poller, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return {};
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

PrivateBus::PrivateBus() {
    // Under /tmp, not $TMPDIR: a socket path must stay within 108 bytes.
    char pattern[] = "/tmp/wk-bus-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fail(std::string("cannot make a folder: ") + std::strerror(errno));
    folder_ = pattern;

    const std::string config = folder_ + "/bus.conf";
    {
        std::ofstream out(config);
        out << configuration(folder_ + "/bus");
        if (!out) {
            fs::remove_all(folder_);
            fail("cannot write " + config);
        }
    }

    const std::string program = findProgram("dbus-daemon");
    if (program.empty()) {
        fs::remove_all(folder_);
        fail("dbus-daemon is not installed");
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        fs::remove_all(folder_);
        fail(std::string("pipe: ") + std::strerror(errno));
    }
    const int readEnd = pipeFds[0];
    // The child gets the write end as descriptor 3, the only one it inherits besides its standard
    // streams; it must start elsewhere, since dup2 onto itself would keep close-on-exec.
    constexpr int kChildFd = 3;
    const int writeEnd = ::fcntl(pipeFds[1], F_DUPFD_CLOEXEC, kChildFd + 1);
    ::close(pipeFds[1]);
    const std::string log = folder_ + "/daemon.log";
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Its complaints (it cannot raise its descriptor limit, say) stay out of the test output.
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    // Everything the child needs is made before fork: after it, in a process with threads, the
    // child may only make async-signal-safe calls.
    std::string configArgument = "--config-file=" + config;
    std::string printArgument = "--print-address=" + std::to_string(kChildFd);
    std::string programName = "dbus-daemon";
    std::string noFork = "--nofork";
    std::string noPidFile = "--nopidfile";
    char* argv[] = {programName.data(), configArgument.data(), noFork.data(), noPidFile.data(),
                    printArgument.data(), nullptr};
    const pid_t parent = ::getpid();
    sigset_t none;
    sigemptyset(&none);

    pid_ = (writeEnd >= 0 && nullFd >= 0 && logFd >= 0) ? ::fork() : -1;
    if (pid_ == 0) {
        // The daemon dies with the test even when the test is killed or crashes, so no bus
        // outlives the process that started it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(nullFd, STDIN_FILENO) < 0 || ::dup2(logFd, STDERR_FILENO) < 0 || ::dup2(writeEnd, kChildFd) < 0) {
            ::_exit(127);
        }
        ::execve(program.c_str(), argv, environ);
        ::_exit(127);
    }
    const int forkError = errno;
    for (int fd : {writeEnd, nullFd, logFd}) {
        if (fd >= 0) ::close(fd);
    }
    if (pid_ < 0) {
        ::close(readEnd);
        fs::remove_all(folder_);
        fail(std::string("cannot start dbus-daemon: ") + std::strerror(forkError));
    }

    address_ = readLine(readEnd);
    ::close(readEnd);
    if (address_.empty()) {
        reap(pid_);
        pid_ = -1;
        std::ifstream in(log);
        const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fs::remove_all(folder_);
        fail("dbus-daemon printed no address: " + said);
    }
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) reap(pid_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

const std::string& PrivateBus::address() const { return address_; }

std::vector<std::string> PrivateBus::environment() const {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto name = text.substr(0, text.find('='));
        bool replaced = false;
        for (auto variable : kAddressVariables) replaced = replaced || name == variable;
        if (!replaced) entries.emplace_back(text);
    }
    for (auto variable : kAddressVariables) entries.push_back(std::string(variable) + "=" + address_);
    return entries;
}

}  // namespace wattkeeper::testing
