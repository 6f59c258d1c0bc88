#include "tests/integration/process_kit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace wattkeeper::testkit {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path builtProgram(const fs::path& relative) { return fs::read_symlink("/proc/self/exe").parent_path() / relative; }

TempDir::TempDir() {
    char pattern[] = "/tmp/wk-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Child::Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
             const fs::path& output) {
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + arguments[0]);
}

Child::~Child() {
    if (status_) return;
    ::kill(pid_, SIGTERM);
    if (!waitExit(5s)) {
        ::kill(pid_, SIGKILL);
        waitExit(5s);
    }
}

std::optional<int> Child::waitExit(std::chrono::milliseconds deadline) {
    if (status_) return status_;
    const auto end = Clock::now() + deadline;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    while (true) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) break;
        if (pidfd >= 0) {
            pollfd poller{pidfd, POLLIN, 0};
            ::poll(&poller, 1, static_cast<int>(left.count()));
        } else {
            std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(left, 10ms));
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    return status_;
}

RunResult run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
              std::chrono::milliseconds deadline) {
    TempDir folder;
    const fs::path output = folder.path() / "output";
    RunResult result;
    Child child(arguments, environment, output);
    if (const auto status = child.waitExit(deadline); status && WIFEXITED(*status)) {
        result.status = WEXITSTATUS(*status);
    }
    result.output = readFile(output);
    return result;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (!condition()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

void endProcess(pid_t pid) {
    if (pid <= 0 || ::kill(pid, SIGTERM) != 0) return;
    if (!waitUntil([pid] { return ::kill(pid, 0) != 0; }, 5s)) ::kill(pid, SIGKILL);
}

std::vector<std::string> statFields(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold blanks; the fields after its closing parenthesis are plain.
    std::istringstream rest(stat.substr(std::min(stat.size(), stat.rfind(')') + 1)));
    return {std::istream_iterator<std::string>(rest), std::istream_iterator<std::string>()};
}

std::optional<double> cpuSeconds(pid_t pid) {
    const auto fields = statFields(pid);
    if (fields.size() < 13) return std::nullopt;
    // utime and stime, the 14th and 15th fields of the whole line.
    return static_cast<double>(std::stoull(fields[11]) + std::stoull(fields[12])) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<long> residentKiB(pid_t pid) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return std::nullopt;
}

bool runUntilStopped(linux_backend::AsioRunLoop& loop, Duration deadline) {
    auto state = std::make_shared<std::atomic<int>>(0);  // 0 running, 1 timed out, 2 over
    loop.after(deadline, [state, &loop] {
        int running = 0;
        if (state->compare_exchange_strong(running, 1)) loop.stop();
    });
    loop.run();
    int running = 0;
    state->compare_exchange_strong(running, 2);
    return state->load() == 2;
}

}  // namespace wattkeeper::testkit
