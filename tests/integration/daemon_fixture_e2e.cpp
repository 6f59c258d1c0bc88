#include "tests/integration/daemon_fixture_e2e.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/linux/linux_environment.h"
#include "protocol/config.h"
#include "protocol/names.h"

namespace wattkeeper::testkit {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// --- DaemonClient ---

DaemonClient::DaemonClient(const std::string& busAddress) : bus_(std::make_unique<linux_backend::Bus>(busAddress)) {
    using Center = linux_backend::DbusNotificationCenter;
    darwin_ = std::make_unique<Center>(*bus_, loop_, Center::Kind::Darwin);
    distributed_ = std::make_unique<Center>(*bus_, loop_, Center::Kind::Distributed);
    for (std::string_view name : protocol::kReplyNames) {
        distributed_->addObserver(this, &DaemonClient::received, name, nullptr, SuspensionBehavior::DeliverImmediately);
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
    static_cast<DaemonClient*>(observer)->replies_.add(
        Reply{std::string(name), userInfo ? *userInfo : PlistDictionary{}});
}

void DaemonClient::post(std::string_view request) {
    if (request == protocol::kHeart) heartsPosted_.fetch_add(1);
    darwin_->postNotification(request, nullptr, nullptr, true);
}

std::size_t DaemonClient::count(std::string_view name) const {
    const auto all = replies();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [name](const Reply& r) { return r.name == name; }));
}

bool DaemonClient::waitForReplies(std::size_t total, std::chrono::milliseconds quiet) {
    for (std::size_t seen = replies_.size(); seen < total; seen = replies_.size()) {
        if (!replies_.waitFor(seen + 1, quiet)) return false;
    }
    return true;
}

std::optional<std::vector<DaemonClient::Reply>> DaemonClient::ask(std::string_view request,
                                                                  std::chrono::milliseconds deadline) {
    const auto hearts = [](const std::vector<Reply>& all, std::size_t from) {
        return static_cast<std::size_t>(std::count_if(all.begin() + static_cast<std::ptrdiff_t>(from), all.end(),
                                                      [](const Reply& r) { return r.name == protocol::kHeart; }));
    };
    // Heartbeats posted earlier (to drive evaluations) would pass for this one's marker: let
    // their replies come first. One that never comes (a daemon that was down) is not waited for.
    replies_.waitUntil([&](const std::vector<Reply>& all) { return hearts(all, 0) >= heartsPosted_; }, deadline);
    const std::size_t before = replies_.size();
    post(request);
    post(protocol::kHeart);
    // A heartbeat request is answered by a heartbeat itself: then the marker is the second.
    const std::size_t marker = request == protocol::kHeart ? 2 : 1;
    std::vector<Reply> between;
    const bool marked = replies_.waitUntil(
        [&](const std::vector<Reply>& all) {
            between.clear();
            for (std::size_t i = before, seen = 0; i < all.size(); ++i) {
                if (all[i].name == protocol::kHeart && ++seen == marker) return true;
                between.push_back(all[i]);
            }
            return false;
        },
        deadline);
    if (!marked) return std::nullopt;
    // The daemon answers in order: a heartbeat posted before the marker and still unanswered
    // was lost (posted before the daemon was up) and is not waited for again.
    heartsPosted_ = count(protocol::kHeart);
    return between;
}

std::optional<std::int64_t> payloadInteger(const DaemonClient::Reply& reply, std::string_view key) {
    const PlistValue* value = reply.payload.find(key);
    if (!value || !value->asInteger()) return std::nullopt;
    return *value->asInteger();
}

// --- DaemonFixture ---

DaemonFixture::DaemonFixture()
    : jobFile(root / "Library/LaunchDaemons" / (std::string(protocol::HelperLabel) + ".plist")) {}

void DaemonFixture::SetUp() {
    // Where packaging/macos/install.sh puts them; the virtual Mac's launchd starts the job at boot.
    fs::create_directories(bundle.parent_path());
    fs::create_directories(jobFile.parent_path());
    fs::copy(builtProgram("bundles/Wattkeeper.app"), bundle, fs::copy_options::recursive);
    fs::copy_file(builtProgram("LaunchDaemons") / jobFile.filename(), jobFile);
    fs::permissions(jobFile,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    startVirtualMac(50);
    if (HasFatalFailure()) return;
    client.emplace(bus->address());
    startDaemon();
}

void DaemonFixture::TearDown() {
    if (const std::string pid = readFile(pidFile); !pid.empty()) endProcess(std::stoi(pid));
    client.reset();
    virtualMac.reset();
    // A sanitizer build writes its reports to the programs' output; a leak shows only at the end.
    for (const fs::path& log : {daemonLog, work.path() / "virtual-mac.log"}) {
        const std::string text = readFile(log);
        for (const char* report : {"Sanitizer", "runtime error:"}) {
            const auto at = text.find(report);
            EXPECT_EQ(at, std::string::npos) << log.filename() << ":\n"
                                             << text.substr(at == std::string::npos ? 0 : at, 4000);
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

void DaemonFixture::startDaemon() {
    ASSERT_TRUE(waitUntil([&] { return (daemon = jobPid()).has_value(); }))
        << readFile(work.path() / "virtual-mac.log");
    // The first requests may come before the daemon observes them; longer under the sanitizers.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto seen = client->ask(protocol::kQueryDeamonLoadStatus, 1s);
            return seen && seen->size() == 1;
        },
        30s))
        << readFile(daemonLog);
}

bool DaemonFixture::daemonEnded(std::chrono::milliseconds deadline) {
    // Not the test's child: gone, or a zombie launchd has not reaped yet.
    // One look at a time: the process may go between two.
    return waitUntil(
        [&] {
            const auto fields = statFields(*daemon);
            return fields.empty() || fields.front() == "Z";
        },
        deadline);
}

RunResult DaemonFixture::launchctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), linux_backend::virtualMacToolsFolder() + "/launchctl");
    return run(arguments, environment());
}

std::optional<pid_t> DaemonFixture::jobPid() {
    std::smatch m;
    const std::string text = launchctl({"print", "system/" + std::string(protocol::HelperLabel)}).output;
    if (!std::regex_search(text, m, std::regex("\tpid = ([0-9]+)\n"))) return std::nullopt;
    return std::stoi(m[1].str());
}

std::size_t DaemonFixture::daemonProcesses() {
    const std::string found =
        run({"/usr/bin/pgrep", "-f", "-x", (bundle / "Contents/MacOS/Wattkeeper").string()}, {}).output;
    return static_cast<std::size_t>(std::count(found.begin(), found.end(), '\n'));
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

std::optional<DaemonClient::Reply> DaemonFixture::answer(std::string_view request) {
    const auto seen = client->ask(request);
    if (!seen || seen->size() != 1) return std::nullopt;
    return seen->front();
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

bool DaemonFixture::keysBecome(const std::string& expected, Nudge nudge) {
    // An evaluation's last switch lands 1.5 s after it; a heartbeat is answered once its
    // evaluation has run.
    const auto rest = nudge == Nudge::ThenRest ? 2s : 0s;
    auto lastHeart = Clock::now() - 1h;
    const auto heart = [&] {
        client->post(protocol::kHeart);
        lastHeart = Clock::now();
    };
    if (nudge == Nudge::ThenRest) heart();
    return waitUntil(
        [&] {
            const bool match = keys() == expected;
            if (!match && nudge != Nudge::None && Clock::now() - lastHeart >= 500ms) heart();
            return match && Clock::now() - lastHeart >= rest;
        },
        25s);
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
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
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

}  // namespace wattkeeper::testkit
