#include "tests/integration/daemon_fixture_e2e.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "protocol/config.h"
#include "protocol/names.h"

namespace wattkeeper::testing {

namespace fs = std::filesystem;
namespace names = protocol;
using Clock = std::chrono::steady_clock;

std::vector<Seen> parseMonitor(const std::string& text) {
    std::vector<Seen> seen;
    std::istringstream lines(text);
    std::string line;
    std::string pendingKey;
    static const std::regex header(R"re(^signal .*interface=(org\.wattkeeper\.\w+); member=Post)re");
    static const std::regex quoted(R"re(^\s*string "(.*)"$)re");
    static const std::regex variant(R"re(^\s*variant\s+(.*)$)re");
    bool expectName = false;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_search(line, m, header)) {
            seen.push_back({m[1], "", {}});
            expectName = true;
        } else if (!seen.empty() && std::regex_match(line, m, quoted)) {
            if (expectName) {
                seen.back().name = m[1];
                expectName = false;
            } else {
                pendingKey = m[1];
            }
        } else if (!seen.empty() && std::regex_match(line, m, variant) && !pendingKey.empty()) {
            seen.back().entries[pendingKey] = m[1];
            pendingKey.clear();
        } else if (line.rfind("signal ", 0) == 0 || line.rfind("method ", 0) == 0) {
            expectName = false;
        }
    }
    return seen;
}

// --- DaemonClient ---

DaemonClient::DaemonClient(const std::string& busAddress) : bus_(std::make_unique<linux_backend::Bus>(busAddress)) {
    using Center = linux_backend::DbusNotificationCenter;
    darwin_ = std::make_unique<Center>(*bus_, loop_, Center::Kind::Darwin);
    distributed_ = std::make_unique<Center>(*bus_, loop_, Center::Kind::Distributed);
    for (std::string_view name : names::kReplyNames) {
        distributed_->addObserver(this, &DaemonClient::received, name, nullptr,
                                  SuspensionBehavior::DeliverImmediately);
    }
    thread_ = std::thread([this] { loop_.run(); });
}

DaemonClient::~DaemonClient() {
    loop_.stop();
    thread_.join();
    distributed_.reset();
    darwin_.reset();
    bus_.reset();
}

void DaemonClient::received(NotificationCenter& /*center*/, void* observer, std::string_view name,
                            const void* /*object*/, const PlistDictionary* userInfo) {
    auto* self = static_cast<DaemonClient*>(observer);
    std::lock_guard lock(self->mutex_);
    self->replies_.push_back(Reply{std::string(name), userInfo ? *userInfo : PlistDictionary{}});
    self->arrived_.notify_all();
}

void DaemonClient::post(std::string_view request) {
    if (request == names::kHeart) heartsPosted_.fetch_add(1);
    darwin_->postNotification(request, nullptr, nullptr, true);
}

std::vector<DaemonClient::Reply> DaemonClient::replies() const {
    std::lock_guard lock(mutex_);
    return replies_;
}

std::size_t DaemonClient::replyCount() const {
    std::lock_guard lock(mutex_);
    return replies_.size();
}

std::size_t DaemonClient::count(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return countLocked(name);
}

std::size_t DaemonClient::countLocked(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(replies_.begin(), replies_.end(), [name](const Reply& r) { return r.name == name; }));
}

bool DaemonClient::waitForReplies(std::size_t total, std::chrono::milliseconds quiet) {
    std::unique_lock lock(mutex_);
    while (replies_.size() < total) {
        const std::size_t seen = replies_.size();
        if (!arrived_.wait_for(lock, quiet, [&] { return replies_.size() != seen; })) return false;
    }
    return true;
}

std::optional<std::vector<DaemonClient::Reply>> DaemonClient::ask(std::string_view request,
                                                                  std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    // Heartbeats posted earlier (to drive evaluations) would pass for this one's marker: let
    // their replies come first. One that never comes (a daemon that was down) is not waited for.
    arrived_.wait_for(lock, deadline, [&] { return countLocked(names::kHeart) >= heartsPosted_.load(); });
    const std::size_t before = replies_.size();
    lock.unlock();
    post(request);
    post(names::kHeart);
    // A heartbeat request is answered by a heartbeat itself: then the marker is the second.
    const std::size_t hearts = request == names::kHeart ? 2 : 1;
    lock.lock();
    std::size_t end = before;
    const bool marked = arrived_.wait_for(lock, deadline, [&] {
        std::size_t seen = 0;
        for (std::size_t i = before; i < replies_.size(); ++i) {
            if (replies_[i].name == names::kHeart && ++seen == hearts) {
                end = i;
                return true;
            }
        }
        return false;
    });
    if (!marked) return std::nullopt;
    // The daemon answers in order: a heartbeat posted before the marker and still unanswered
    // was lost (posted before the daemon was up) and is not waited for again.
    heartsPosted_ = countLocked(names::kHeart);
    return std::vector<Reply>(replies_.begin() + static_cast<std::ptrdiff_t>(before),
                              replies_.begin() + static_cast<std::ptrdiff_t>(end));
}

std::optional<std::int64_t> payloadInteger(const DaemonClient::Reply& reply, std::string_view key) {
    const PlistValue* value = reply.payload.find(key);
    if (!value || !value->asInteger()) return std::nullopt;
    return *value->asInteger();
}

// --- Processes ---

std::optional<double> cpuSeconds(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces; the fields after it are plain.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) user = std::stoull(field);
        if (index == 15) system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<long> residentKiB(pid_t pid) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return std::nullopt;
}

// --- DaemonFixture ---

DaemonFixture::DaemonFixture()
    : jobFile(root / "Library/LaunchDaemons" / (std::string(protocol::HelperLabel) + ".plist")) {}

void DaemonFixture::SetUp() {
    fs::create_directories(root);
    startVirtualMac(setup.charge);
    if (HasFatalFailure()) return;
    installDaemon();
    if (setup.monitor) {
        monitor.emplace(std::vector<std::string>{"/usr/bin/dbus-monitor", "--address", bus->address(),
                                                 "type='signal',path='/org/wattkeeper/Notifications'"},
                        environment(), monitorLog);
    }
    if (setup.client) client.emplace(bus->address());
    startDaemon();
}

void DaemonFixture::TearDown() {
    daemon.reset();
    if (const std::string pid = readFile(pidFile); !pid.empty()) endProcess(std::stoi(pid));
    client.reset();
    monitor.reset();
    virtualMac.reset();
}

void DaemonFixture::expectCleanEnd() {
    daemon.reset();
    virtualMac.reset();
    for (const fs::path& log : {daemonLog, work.path() / "virtual-mac.log"}) {
        const std::string text = readFile(log);
        for (const char* report : {"Sanitizer", "runtime error:"}) {
            const auto at = text.find(report);
            EXPECT_EQ(at, std::string::npos) << log.filename() << ":\n" << text.substr(at == std::string::npos ? 0 : at, 4000);
        }
    }
}

void DaemonFixture::startVirtualMac(double charge) {
    virtualMac.reset();
    std::ostringstream percent;
    percent << charge;
    virtualMac.emplace(std::vector<std::string>{builtProgram("virtual-mac"), "serve", "--root", root, "--user", "anna",
                                                "--charge", percent.str()},
                       environment(), work.path() / "virtual-mac.log");
    ASSERT_TRUE(waitUntil([&] { return vm({"status"}).status == 0; })) << readFile(work.path() / "virtual-mac.log");
}

void DaemonFixture::killVirtualMac() {
    ASSERT_TRUE(virtualMac.has_value());
    ::kill(virtualMac->pid(), SIGKILL);
    ASSERT_TRUE(virtualMac->waitExit(10s).has_value());
    virtualMac.reset();
}

void DaemonFixture::installDaemon() {
    fs::create_directories(bundle.parent_path());
    fs::create_directories(jobFile.parent_path());
    fs::copy(builtProgram("bundles/Wattkeeper.app"), bundle, fs::copy_options::recursive);
    std::ofstream(jobFile) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                              "<key>Label</key><string>" << protocol::HelperLabel << "</string></dict></plist>\n";
}

void DaemonFixture::startDaemon() {
    daemon.emplace(std::vector<std::string>{(bundle / "Contents/MacOS/Wattkeeper").string()}, environment(),
                   daemonLog);
    if (client) {
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto seen = client->ask(names::kQueryDeamonLoadStatus, 1s);
                return seen && seen->size() == 1;
            },
            15s))
            << readFile(daemonLog);
    } else {
        ASSERT_TRUE(waitUntil([&] { return repliesTo(names::kQueryDeamonLoadStatus).size() == 1; }, 15s))
            << readFile(daemonLog);
    }
}

std::vector<std::string> DaemonFixture::environment() const {
    auto env = bus->environment();
    env.push_back("WATTKEEPER_OPEN_PIDFILE=" + pidFile.string());
    env.push_back("WATTKEEPER_DAEMON_LOG=" + (work.path() / "restarted.log").string());
    return env;
}

RunResult DaemonFixture::vm(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), builtProgram("virtual-mac"));
    return run(arguments, environment());
}

RunResult DaemonFixture::ctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {builtProgram("wattctl"), "--lang", "en"});
    return run(arguments, environment(), 20s);
}

void DaemonFixture::post(std::string_view name) {
    const auto sent = run({"/usr/bin/dbus-send", "--bus=" + bus->address(), "--type=signal",
                           "/org/wattkeeper/Notifications", "org.wattkeeper.DarwinNotify.Post",
                           "string:" + std::string(name)},
                          environment());
    ASSERT_EQ(sent.status, 0) << sent.output;
}

std::vector<Seen> DaemonFixture::replies() {
    std::vector<Seen> out;
    for (auto& s : parseMonitor(readFile(monitorLog))) {
        if (s.interface == "org.wattkeeper.DistributedNotify") out.push_back(std::move(s));
    }
    return out;
}

std::vector<Seen> DaemonFixture::repliesTo(std::string_view request) {
    const std::size_t before = replies().size();
    post(request);
    post(names::kHeart);
    const std::size_t hearts = request == names::kHeart ? 2 : 1;
    std::vector<Seen> all;
    const bool marked = waitUntil(
        [&] {
            all = replies();
            return static_cast<std::size_t>(std::count_if(all.begin() + static_cast<std::ptrdiff_t>(before), all.end(),
                                                          [](const Seen& s) { return s.name == names::kHeart; })) >=
                   hearts;
        },
        5s);
    if (!marked) return {};
    std::vector<Seen> between;
    std::size_t heartsSeen = 0;
    for (std::size_t i = before; i < all.size(); ++i) {
        if (all[i].name == names::kHeart && ++heartsSeen == hearts) break;
        between.push_back(all[i]);
    }
    return between;
}

std::string DaemonFixture::keys() {
    const std::string status = vm({"status"}).output;
    std::string out;
    for (const char* key : {"CH0B", "CH0C", "CH0I"}) {
        std::smatch m;
        if (std::regex_search(status, m, std::regex(std::string(key) + R"(\s+(\d+))"))) {
            out += (out.empty() ? "" : " ") + m[1].str();
        }
    }
    return out;
}

bool DaemonFixture::keysBecome(const std::string& expected) {
    return waitUntil([&] { return keys() == expected; }, 25s);
}

bool DaemonFixture::keysSettleTo(const std::string& expected, std::chrono::milliseconds deadline) {
    // The switches land up to 1.5 s after the evaluation that decided them.
    auto lastHeart = Clock::now() - 1h;
    return waitUntil(
        [&] {
            if (Clock::now() - lastHeart >= 500ms) {
                if (client) {
                    client->post(names::kHeart);
                } else {
                    post(names::kHeart);
                }
                lastHeart = Clock::now();
            }
            return keys() == expected;
        },
        deadline);
}

bool DaemonFixture::keysRestAt(const std::string& expected, std::chrono::milliseconds deadline) {
    // An evaluation's last switch lands 1.5 s after it; a heartbeat is answered after its
    // evaluation has run.
    constexpr auto kLanding = 2s;
    const auto end = Clock::now() + deadline;
    auto lastHeart = Clock::now();
    auto heart = [&] {
        if (client) {
            client->post(names::kHeart);
        } else {
            post(names::kHeart);
        }
        lastHeart = Clock::now();
    };
    heart();
    while (Clock::now() < end) {
        if (keys() != expected) {
            if (Clock::now() - lastHeart >= 500ms) heart();
        } else if (Clock::now() - lastHeart >= kLanding) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

fs::path DaemonFixture::limitFile(const std::string& user) const {
    return root / "Users" / user / "Library/Containers" / std::string(protocol::MainAppBundleId) /
           "Data/Documents/BatteryLimit.plist";
}

fs::path DaemonFixture::preferencesFile(const std::string& user) const {
    const std::string id(protocol::MainAppBundleId);
    return root / "Users" / user / "Library/Containers" / id / "Data/Library/Preferences" / (id + ".plist");
}

std::string DaemonFixture::limitPlist(int limit) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict><key>ChargingLimit</key><integer>" +
           std::to_string(limit) + "</integer></dict></plist>\n";
}

void DaemonFixture::replaceFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    const fs::path temporary = path.parent_path() / (path.filename().string() + ".new");
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
    }
    fs::rename(temporary, path);
}

}  // namespace wattkeeper::testing
