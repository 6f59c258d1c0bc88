#include "tools/virtual-mac/launchd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/linux/plist_codec.h"
#include "platform/posix_paths.h"

namespace wattkeeper::virtual_mac {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kJobFolder = "/Library/LaunchDaemons";
// launchd's answer to a program that cannot be started (EX_CONFIG).
constexpr int kCannotExecute = 78;
// Far more than any job file of ours holds; a larger one is refused unread.
constexpr std::uintmax_t kMaxJobFileBytes = std::uintmax_t{256} * 1024;

bool isPrintable(const std::string& text) {
    return std::ranges::none_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::optional<std::chrono::seconds> seconds(const PlistValue& value) {
    const std::int64_t* number = value.asInteger();
    if (!number || *number < 0 || *number > std::int64_t{24} * 3600) return std::nullopt;
    return std::chrono::seconds(*number);
}

}  // namespace

std::variant<JobDefinition, std::string> jobFromPlist(const PlistValue& plist) {
    const PlistDictionary* job = plist.asDictionary();
    if (!job) return std::string("the property list is no dictionary");
    JobDefinition definition;
    const auto string = [&](const char* key, std::string& out) -> std::optional<std::string> {
        const PlistValue* value = job->find(key);
        if (!value) return std::nullopt;
        if (!value->asString() || !isPrintable(*value->asString())) return std::string(key) + " is no plain string";
        out = *value->asString();
        return std::nullopt;
    };
    for (const auto& [key, out] : {std::pair<const char*, std::string*>{"Label", &definition.label},
                                   {"Program", &definition.program},
                                   {"StandardOutPath", &definition.standardOutPath},
                                   {"StandardErrorPath", &definition.standardErrorPath}}) {
        if (auto refused = string(key, *out)) return *refused;
    }
    if (definition.label.empty() || definition.label.find('/') != std::string::npos)
        return std::string("no usable Label");

    if (const PlistValue* value = job->find("ProgramArguments")) {
        const PlistArray* array = value->asArray();
        if (!array || array->empty()) return std::string("ProgramArguments is no array of strings");
        std::vector<std::string> words;
        for (const PlistValue& word : *array) {
            if (!word.asString() || word.asString()->find('\0') != std::string::npos) {
                return std::string("ProgramArguments is no array of strings");
            }
            words.push_back(*word.asString());
        }
        if (definition.program.empty()) definition.program = words.front();
        definition.arguments.assign(words.begin() + 1, words.end());
    }
    if (definition.program.empty() || definition.program.front() != '/')
        return std::string("no Program with an absolute path");

    if (const PlistValue* value = job->find("RunAtLoad")) {
        if (!value->asBoolean()) return std::string("RunAtLoad is no boolean");
        definition.runAtLoad = *value->asBoolean();
    }
    if (const PlistValue* value = job->find("KeepAlive")) {
        if (const bool* always = value->asBoolean()) {
            definition.keepAlive = *always ? KeepAlive::Always : KeepAlive::Never;
        } else if (const PlistDictionary* conditions = value->asDictionary()) {
            const PlistValue* successful = conditions->find("SuccessfulExit");
            if (!successful || !successful->asBoolean() || conditions->size() != 1) {
                return std::string("KeepAlive holds conditions other than SuccessfulExit");
            }
            definition.keepAlive = *successful->asBoolean() ? KeepAlive::AfterSuccess : KeepAlive::AfterFailure;
        } else {
            return std::string("KeepAlive is neither a boolean nor a dictionary");
        }
    }
    for (const auto& [key, out] :
         {std::pair<const char*, std::chrono::seconds*>{"ExitTimeOut", &definition.exitTimeout},
          {"ThrottleInterval", &definition.throttleInterval}}) {
        if (const PlistValue* value = job->find(key)) {
            const auto given = seconds(*value);
            if (!given) return std::string(key) + " is no number of seconds";
            *out = *given;
        }
    }
    return definition;
}

struct Launchd::Job {
    explicit Job(asio::io_context& io) : timer(io) {}
    JobDefinition definition;
    pid_t pid = 0;
    std::optional<int> lastExit;
    Clock::time_point lastStart{};
    bool unloading = false;
    bool spawnScheduled = false;
    // The respawn while the job waits out its throttle; the SIGKILL while it is being stopped.
    asio::steady_timer timer;
    std::vector<std::function<void(int, std::string)>> waiting;
};

Launchd::Launchd(asio::io_context& io, const fs::path& root, std::vector<std::string> environment)
    : io_(io), root_(fs::weakly_canonical(root)), environment_(std::move(environment)), children_(io, SIGCHLD) {
    children_.async_wait([this](const std::error_code& error, int) {
        if (!error) reap();
    });
}

Launchd::~Launchd() {
    // Whatever still runs ends with its launchd, as nothing would ever stop it otherwise.
    for (auto& [label, job] : jobs_) {
        if (job->pid > 0) ::kill(-job->pid, SIGKILL);
    }
}

std::string Launchd::hostPath(const std::string& macPath) const { return root_.string() + macPath; }

bool Launchd::inRoot(const fs::path& hostFile) const {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(hostFile, error);
    return !error && std::ranges::mismatch(root_, resolved).in1 == root_.end();
}

std::variant<JobDefinition, std::string> Launchd::readJobFile(const std::string& macPath) const {
    if (macPath.empty() || macPath.front() != '/') return macPath + ": No such file or directory";
    // A link in the root must not lead launchd, which runs on the host, to a file outside it.
    const fs::path file = hostPath(macPath);
    if (!inRoot(file)) return macPath + ": No such file or directory";
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return macPath + ": No such file or directory";
    // As launchd: a job file that someone other than its owner can change is not run as root.
    if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return macPath + ": Dubious ownership or permissions on the file (skipping)";
    }
    if (static_cast<std::uintmax_t>(info.st_size) > kMaxJobFileBytes) return macPath + ": Invalid property list";
    // Read as the daemon's file port reads: no link followed on the way, whatever changed since.
    const auto bytes = posix_paths::readFile(root_.string(), macPath, kMaxJobFileBytes);
    if (!bytes) return macPath + ": No such file or directory";
    const auto plist = linux_backend::plistFromBytes(*bytes);
    if (!plist) return macPath + ": Invalid property list";
    auto job = jobFromPlist(*plist);
    if (auto* refused = std::get_if<std::string>(&job)) return macPath + ": " + *refused;
    return job;
}

std::vector<std::string> Launchd::boot() {
    std::vector<std::string> messages;
    std::error_code error;
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(hostPath(kJobFolder), error)) {
        if (entry.path().extension() == ".plist") files.insert(entry.path().filename().string());
    }
    for (const std::string& name : files) {
        if (auto [status, message] = load(std::string(kJobFolder) + "/" + name); status != 0) {
            messages.push_back(message);
        }
    }
    return messages;
}

std::pair<int, std::string> Launchd::load(const std::string& macPath) {
    if (shuttingDown_) return {1, "launchd is shutting down"};
    auto read = readJobFile(macPath);
    if (auto* refused = std::get_if<std::string>(&read)) return {1, *refused};
    JobDefinition& definition = std::get<JobDefinition>(read);
    if (jobs_.contains(definition.label)) return {1, macPath + ": service already loaded"};
    auto job = std::make_unique<Job>(io_);
    job->definition = std::move(definition);
    Job& loaded = *job;
    jobs_.emplace(loaded.definition.label, std::move(job));
    // KeepAlive implies RunAtLoad: the job must have run once for its end to be looked at.
    if (loaded.definition.runAtLoad || loaded.definition.keepAlive != KeepAlive::Never) start(loaded);
    return {0, ""};
}

void Launchd::unload(const std::string& macPath, std::function<void(int, std::string)> answer) {
    auto read = readJobFile(macPath);
    if (auto* refused = std::get_if<std::string>(&read)) {
        answer(1, *refused);
        return;
    }
    const auto found = jobs_.find(std::get<JobDefinition>(read).label);
    if (found == jobs_.end()) {
        answer(1, "Could not find specified service");
        return;
    }
    Job& job = *found->second;
    job.waiting.push_back(std::move(answer));
    job.unloading = true;
    if (job.pid == 0) {
        forget(job.definition.label);
        return;
    }
    stop(job);
}

std::vector<JobListing> Launchd::list() const {
    std::vector<JobListing> listing;
    for (const auto& [label, job] : jobs_) listing.push_back({label, job->pid, job->lastExit, job->spawnScheduled});
    return listing;
}

void Launchd::shutdown(std::function<void()> done) {
    shuttingDown_ = true;
    shutdownDone_ = std::move(done);
    std::vector<std::string> idle;
    for (auto& [label, job] : jobs_) {
        if (job->pid == 0) {
            idle.push_back(label);
        } else {
            stop(*job);
        }
    }
    for (const auto& label : idle) forget(label);
    if (shutdownDone_ && std::ranges::none_of(jobs_, [](const auto& j) { return j.second->pid > 0; })) {
        asio::post(io_, std::exchange(shutdownDone_, nullptr));
    }
}

void Launchd::start(Job& job) {
    job.spawnScheduled = false;
    job.lastStart = Clock::now();
    // Everything the child needs is made before the fork: between fork and exec only
    // async-signal-safe calls may run, as the bus thread may hold any lock at that moment.
    const std::string program = hostPath(job.definition.program);
    std::vector<std::string> words{program};
    words.insert(words.end(), job.definition.arguments.begin(), job.definition.arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = environment_;
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    // Paths are the Mac's, so they lie in the root, and no link there leads out of it.
    const auto output = [this](const std::string& macPath) {
        if (macPath.empty() || macPath.front() != '/') return std::string("/dev/null");
        std::error_code ignored;
        fs::create_directories(fs::path(hostPath(macPath)).parent_path(), ignored);
        return inRoot(hostPath(macPath)) ? hostPath(macPath) : std::string("/dev/null");
    };
    const std::string out = output(job.definition.standardOutPath);
    const std::string err = output(job.definition.standardErrorPath);
    const std::string home = root_.string();
    const bool runnable = inRoot(program);

    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!runnable) ::_exit(kCannotExecute);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
        // Its own session and process group, as a launchd job has.
        ::setsid();
        const int in = ::open("/dev/null", O_RDONLY);
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int errFd = err == out ? outFd : ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || outFd < 0 || errFd < 0) ::_exit(kCannotExecute);
        ::dup2(in, STDIN_FILENO);
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        ::close_range(STDERR_FILENO + 1, ~0U, 0);
        if (::chdir(home.c_str()) != 0) ::_exit(kCannotExecute);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(kCannotExecute);
    }
    if (pid < 0) {
        // As a program that could not be started: the job's end decides what comes next.
        asio::post(io_, [this, label = job.definition.label] {
            if (const auto found = jobs_.find(label); found != jobs_.end() && found->second->pid == 0) {
                exited(*found->second, W_EXITCODE(kCannotExecute, 0));
            }
        });
        return;
    }
    job.pid = pid;
}

void Launchd::stop(Job& job) {
    job.timer.cancel();
    ::kill(job.pid, SIGTERM);
    // ExitTimeOut 0 means no SIGKILL ever.
    if (job.definition.exitTimeout.count() == 0) return;
    job.timer.expires_after(job.definition.exitTimeout);
    job.timer.async_wait([pid = job.pid](const std::error_code& error) {
        if (!error) ::kill(-pid, SIGKILL);
    });
}

void Launchd::reap() {
    std::vector<std::pair<std::string, int>> ended;
    for (auto& [label, job] : jobs_) {
        int status = 0;
        if (job->pid > 0 && ::waitpid(job->pid, &status, WNOHANG) == job->pid) ended.emplace_back(label, status);
    }
    for (const auto& [label, status] : ended) {
        if (const auto found = jobs_.find(label); found != jobs_.end()) exited(*found->second, status);
    }
    children_.async_wait([this](const std::error_code& error, int) {
        if (!error) reap();
    });
}

void Launchd::exited(Job& job, int waitStatus) {
    const pid_t group = job.pid;
    job.pid = 0;
    job.lastExit = WIFSIGNALED(waitStatus) ? -WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
    job.timer.cancel();
    // What the job left behind in its process group goes with it.
    if (group > 0) ::kill(-group, SIGKILL);
    if (job.unloading || shuttingDown_) {
        forget(job.definition.label);
        return;
    }
    const bool success = WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
    const bool again = job.definition.keepAlive == KeepAlive::Always ||
                       (job.definition.keepAlive == KeepAlive::AfterSuccess && success) ||
                       (job.definition.keepAlive == KeepAlive::AfterFailure && !success);
    if (!again) return;
    // Not more than one start per ThrottleInterval.
    job.spawnScheduled = true;
    job.timer.expires_at(std::max(Clock::now(), job.lastStart + job.definition.throttleInterval));
    job.timer.async_wait([this, label = job.definition.label](const std::error_code& error) {
        if (error) return;
        const auto found = jobs_.find(label);
        if (found != jobs_.end() && found->second->pid == 0 && !found->second->unloading) start(*found->second);
    });
}

void Launchd::forget(const std::string& label) {
    const auto found = jobs_.find(label);
    if (found == jobs_.end()) return;
    auto waiting = std::move(found->second->waiting);
    jobs_.erase(found);
    for (auto& answer : waiting) answer(0, "");
    if (shuttingDown_ && shutdownDone_ &&
        std::ranges::none_of(jobs_, [](const auto& j) { return j.second->pid > 0; })) {
        auto done = std::move(shutdownDone_);
        shutdownDone_ = nullptr;
        done();
    }
}

}  // namespace wattkeeper::virtual_mac
