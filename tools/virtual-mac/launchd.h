#pragma once
// The virtual Mac's launchd: the job files of its root's /Library/LaunchDaemons, their programs
// started, kept alive and stopped as launchd.plist(5) and launchctl(1) describe it.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <asio.hpp>

#include "platform/plist.h"

namespace wattkeeper::virtual_mac {

// When a job's program is started again after it ended (KeepAlive).
enum class KeepAlive {
    Never,         // absent or false
    Always,        // true
    AfterSuccess,  // { SuccessfulExit = true }: only after exit status 0
    AfterFailure,  // { SuccessfulExit = false }: after any other end, a crash included
};

// What a job file says, with Mac paths as written.
struct JobDefinition {
    std::string label;
    std::string program;
    std::vector<std::string> arguments;  // argv after argv[0]
    bool runAtLoad = false;
    KeepAlive keepAlive = KeepAlive::Never;
    std::chrono::seconds exitTimeout{20};
    std::chrono::seconds throttleInterval{10};
    std::string standardOutPath;
    std::string standardErrorPath;
};

// The job a property list describes, or why it is refused. Unknown keys are ignored, as
// launchd ignores them.
std::variant<JobDefinition, std::string> jobFromPlist(const PlistValue& plist);

// A line of `launchctl list`.
struct JobListing {
    std::string label;
    pid_t pid = 0;                // 0: not running
    std::optional<int> lastExit;  // exit status, or minus the signal that ended it
    bool spawnScheduled = false;  // ended, and to be started again once its throttle allows
};

// All of it runs on the io_context's thread: the bus side posts there and is answered from there.
class Launchd {
public:
    // root: the host folder standing for "/". environment: what every job's program gets.
    Launchd(asio::io_context& io, const std::filesystem::path& root, std::vector<std::string> environment);
    ~Launchd();
    Launchd(const Launchd&) = delete;
    Launchd& operator=(const Launchd&) = delete;

    // Loads every job file of /Library/LaunchDaemons, as at boot; messages for those refused.
    std::vector<std::string> boot();
    // launchctl load PATH: status 0, or non-zero with launchctl's message.
    std::pair<int, std::string> load(const std::string& macPath);
    // launchctl unload PATH: answered once the job has stopped (SIGTERM, then SIGKILL to its
    // process group after ExitTimeOut).
    void unload(const std::string& macPath, std::function<void(int, std::string)> answer);
    std::vector<JobListing> list() const;
    // Stops every job as at shutdown, then calls `done`.
    void shutdown(std::function<void()> done);

private:
    struct Job;

    std::variant<JobDefinition, std::string> readJobFile(const std::string& macPath) const;
    void start(Job& job);
    void stop(Job& job);
    void reap();
    void exited(Job& job, int waitStatus);
    void forget(const std::string& label);
    std::string hostPath(const std::string& macPath) const;
    // Whether a host path, links followed, lies in the root folder.
    bool inRoot(const std::filesystem::path& hostFile) const;

    asio::io_context& io_;
    std::filesystem::path root_;
    std::vector<std::string> environment_;
    asio::signal_set children_;
    std::map<std::string, std::unique_ptr<Job>> jobs_;
    std::function<void()> shutdownDone_;
    bool shuttingDown_ = false;
};

}  // namespace wattkeeper::virtual_mac
