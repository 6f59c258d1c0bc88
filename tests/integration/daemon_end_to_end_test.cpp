// The daemon as a process of its own on a private bus, against the virtual Mac, driven by
// dbus-send and wattctl and watched through dbus-monitor.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/config.h"
#include "protocol/names.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;
namespace names = protocol;

// One signal as dbus-monitor prints it: the interface, the name and the dictionary's entries
// (values as dbus-monitor writes them, e.g. "int32 1" or "string \"0.1.0\"").
struct Seen {
    std::string interface;
    std::string name;
    std::map<std::string, std::string> entries;
};

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

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root);
        virtualMac.emplace(std::vector<std::string>{builtProgram("virtual-mac"), "serve", "--root", root, "--user",
                                                    "anna", "--charge", "50"},
                           environment, work.path() / "virtual-mac.log");
        ASSERT_TRUE(waitUntil([&] { return vm({"status"}).status == 0; })) << readFile(work.path() / "virtual-mac.log");
        installDaemon();
        monitor.emplace(std::vector<std::string>{"/usr/bin/dbus-monitor", "--address", bus.address(),
                                                 "type='signal',path='/org/wattkeeper/Notifications'"},
                        environment, monitorLog);
        startDaemon();
    }

    void TearDown() override {
        daemon.reset();
        if (const std::string pid = readFile(pidFile); !pid.empty()) endProcess(std::stoi(pid));
        monitor.reset();
        virtualMac.reset();
    }

    void installDaemon() {
        fs::create_directories(bundle.parent_path());
        fs::create_directories(jobFile.parent_path());
        fs::copy(builtProgram("bundles/Wattkeeper.app"), bundle, fs::copy_options::recursive);
        std::ofstream(jobFile) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                  "<key>Label</key><string>" << protocol::HelperLabel << "</string></dict></plist>\n";
    }

    void startDaemon() {
        daemon.emplace(std::vector<std::string>{(bundle / "Contents/MacOS/Wattkeeper").string()}, environment,
                       work.path() / "daemon.log");
        ASSERT_TRUE(waitUntil([&] { return repliesTo(names::kQueryDeamonLoadStatus).size() == 1; }, 15s))
            << readFile(work.path() / "daemon.log");
    }

    RunResult vm(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), builtProgram("virtual-mac"));
        return run(arguments, environment);
    }

    RunResult ctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {builtProgram("wattctl"), "--lang", "en"});
        return run(arguments, environment, 20s);
    }

    void post(std::string_view name) {
        const auto sent = run({"/usr/bin/dbus-send", "--bus=" + bus.address(), "--type=signal",
                               "/org/wattkeeper/Notifications", "org.wattkeeper.DarwinNotify.Post",
                               "string:" + std::string(name)},
                              environment);
        ASSERT_EQ(sent.status, 0) << sent.output;
    }

    std::vector<Seen> replies() {
        std::vector<Seen> out;
        for (auto& s : parseMonitor(readFile(monitorLog))) {
            if (s.interface == "org.wattkeeper.DistributedNotify") out.push_back(std::move(s));
        }
        return out;
    }

    // Posts a request, then a heartbeat as a marker, and returns what the daemon posted in
    // between: the daemon answers in order, so anything the request causes comes first.
    std::vector<Seen> repliesTo(std::string_view request) {
        const std::size_t before = replies().size();
        post(request);
        post(names::kHeart);
        // A heartbeat request is answered by a heartbeat itself: then the marker is the second.
        const std::size_t hearts = request == names::kHeart ? 2 : 1;
        std::vector<Seen> all;
        const bool marked = waitUntil([&] {
            all = replies();
            return static_cast<std::size_t>(std::count_if(all.begin() + static_cast<std::ptrdiff_t>(before), all.end(),
                                                          [](const Seen& s) { return s.name == names::kHeart; })) >= hearts;
        }, 5s);
        if (!marked) return {};
        std::vector<Seen> between;
        std::size_t heartsSeen = 0;
        for (std::size_t i = before; i < all.size(); ++i) {
            if (all[i].name == names::kHeart && ++heartsSeen == hearts) break;
            between.push_back(all[i]);
        }
        return between;
    }

    // The three charge keys as the virtual Mac shows them, e.g. "2 2 1".
    std::string keys() {
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

    // The lid is read at evaluations only, and the timer evaluates every 20 s.
    bool keysBecome(const std::string& expected) {
        return waitUntil([&] { return keys() == expected; }, 25s);
    }

    PrivateBus bus;
    TempDir work;
    const fs::path root = work.path() / "root";
    const fs::path bundle = root / "Library/Application Support/Halvorn/Battery/Wattkeeper.app";
    const fs::path jobFile = root / "Library/LaunchDaemons" / (std::string(protocol::HelperLabel) + ".plist");
    const fs::path monitorLog = work.path() / "monitor.log";
    const fs::path pidFile = work.path() / "restarted.pid";
    const std::vector<std::string> environment = [&] {
        auto env = bus.environment();
        env.push_back("WATTKEEPER_OPEN_PIDFILE=" + pidFile.string());
        env.push_back("WATTKEEPER_DAEMON_LOG=" + (work.path() / "restarted.log").string());
        return env;
    }();
    std::optional<Child> virtualMac;
    std::optional<Child> monitor;
    std::optional<Child> daemon;
};

TEST_F(EndToEnd, EveryRequestIsAnsweredAsAnyBusClientSeesIt) {
    struct Case {
        std::string_view request;
        std::vector<std::string> replyNames;
        std::map<std::string, std::string> entries;  // of the first reply
    };
    post(names::kOpenSMC);
    const Case cases[] = {
        {names::kQuerySMCOpenCloseStatus, {std::string(names::kReplyQuerySMCOpenCloseStatus)}, {{"smcStatus", "int32 1"}}},
        {names::kQuerySMCChargingStatus, {std::string(names::kReplyQuerySMCChargingStatus)},
         {{"chargingStatus", "int32 1"}, {"dischargingStatus", "int32 0"}}},
        {names::kGetBatteryInfo, {std::string(names::kReplySmcState)}, {{"result", "string \"处理完成\""}}},
        {names::kQueryDeamonLoadStatus, {std::string(names::kReplyDeamonLoadStatus)},
         {{"status", "int32 1"}, {"version", "string \"0.1.0\""}}},
        {names::kHeart, {std::string(names::kHeart)}, {{"smcStatus", "int32 1"}, {"smcTimerActive", "int32 1"}}},
        {names::kDisableCharging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kEnableCharging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kEnableDischarging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kDisableDischarging, {std::string(names::kReplyQuerySMCChargingStatus)}, {}},
        {names::kOpenSMC, {}, {}},
        {names::kLimitChange, {}, {}},
        {names::kSleep, {}, {}},
        {names::kWake, {}, {}},
        {"ZQAmperly_TellDeamon_NoSuchRequest", {}, {}},
        {names::kCloseSMC, {}, {}},
    };
    for (const auto& c : cases) {
        const auto seen = repliesTo(c.request);
        std::vector<std::string> seenNames;
        for (const auto& s : seen) seenNames.push_back(s.name);
        EXPECT_EQ(seenNames, c.replyNames) << c.request;
        if (!c.entries.empty() && !seen.empty()) {
            EXPECT_EQ(seen[0].entries, c.entries) << c.request;
        }
    }
}

TEST_F(EndToEnd, TheLimitIsHeldWithTheLidAndSleepRules) {
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(ctl({"on"}).status, 0);
    struct Step {
        std::vector<std::string> command;
        std::string keys;
    };
    const Step steps[] = {
        {{"charge", "79"}, "0 0 0"},   // below: charging
        {{"charge", "80"}, "2 2 0"},   // at: the adapter carries the load
        {{"charge", "85"}, "2 2 1"},   // above: forced discharge
        {{"lid", "close"}, "2 2 0"},   // not with the lid closed
        {{"lid", "open"}, "2 2 1"},
        {{"sleep"}, "2 2 0"},          // nor asleep
        {{"charge", "70"}, "2 2 0"},   // asleep below the limit: no charging either
        {{"wake"}, "0 0 0"},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(vm(step.command).status, 0);
        EXPECT_TRUE(keysBecome(step.keys)) << step.command[0] << ": " << keys() << " instead of " << step.keys;
    }
}

TEST_F(EndToEnd, RestartLeavesANewInstanceAndTheHardwareAsItWas) {
    post(names::kOpenSMC);
    post(names::kDisableCharging);
    ASSERT_TRUE(keysBecome("2 2 0"));
    post(names::kRestart);
    // Under the address sanitizer the exit includes the leak check, which takes its time.
    const auto status = daemon->waitExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_TRUE(waitUntil([&] { return !readFile(pidFile).empty(); }));
    // The new instance needs a moment to come up (longer under the sanitizers).
    std::vector<Seen> seen;
    EXPECT_TRUE(waitUntil([&] {
        seen = repliesTo(names::kQueryDeamonLoadStatus);
        return seen.size() == 1;
    }, 30s));
    ASSERT_EQ(seen.size(), 1u) << readFile(work.path() / "restarted.log");
    EXPECT_EQ(seen[0].entries.at("status"), "int32 1");
    EXPECT_EQ(keys(), "2 2 0");
    bool announced = false;
    for (const auto& s : replies()) announced |= s.name == names::kReplyRestart;
    EXPECT_TRUE(announced);
}

TEST_F(EndToEnd, UninstallRepliesThenRemovesTheDaemonFromTheVirtualRootOnly) {
    ASSERT_FALSE(fs::exists("/Library/LaunchDaemons/" + std::string(protocol::HelperLabel) + ".plist"));
    post(names::kUninstallHelper);
    EXPECT_TRUE(waitUntil([&] { return !fs::exists(jobFile) && !fs::exists(bundle); }, 10s));
    bool replied = false;
    for (const auto& s : replies()) {
        if (s.name == names::kReplyUninstallHelper) {
            replied = true;
            EXPECT_EQ(s.entries.at("uninstallSelf"), "int32 1");
        }
    }
    EXPECT_TRUE(replied);
    EXPECT_FALSE(fs::exists("/Library/Application Support/Halvorn"));
}

TEST_F(EndToEnd, TerminationBySupervisorHandsChargingBackBeforeExiting) {
    ASSERT_EQ(ctl({"limit", "80"}).status, 0);
    ASSERT_EQ(ctl({"on"}).status, 0);
    ASSERT_EQ(vm({"charge", "85"}).status, 0);
    ASSERT_TRUE(keysBecome("2 2 1"));  // forced discharge on, charging inhibited
    ::kill(daemon->pid(), SIGTERM);
    const auto status = daemon->waitExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(keys(), "0 0 0");
}

TEST_F(EndToEnd, WattctlStatusAnswersWhileTheDaemonRunsAndSaysSoWhenItDoesNot) {
    const auto running = ctl({"status"});
    EXPECT_EQ(running.status, 0) << running.output;
    EXPECT_NE(running.output.find("Daemon version: 0.1.0"), std::string::npos) << running.output;
    daemon.reset();
    const auto stopped = ctl({"--timeout", "1", "status"});
    EXPECT_NE(stopped.status, 0);
    EXPECT_NE(stopped.output.find("the daemon does not answer: is it running?"), std::string::npos)
        << stopped.output;
}

}  // namespace
}  // namespace wattkeeper::testing
