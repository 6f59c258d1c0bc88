#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/smc/smc.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/virtual_mac_bus.h"
#include "platform/linux/virtual_mac_client.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"
#include "tests/kit/recording_log.h"

extern char** environ;

namespace wattkeeper::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using linux_backend::AsioRunLoop;
using linux_backend::Bus;

constexpr auto kDeadline = 10s;

fs::path virtualMacProgram() { return builtProgram("virtual-mac"); }

// Things that arrive on another thread, waited for with a deadline.
template <class T>
class Inbox {
public:
    void add(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        changed_.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds deadline = kDeadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return items_.size() >= count; });
    }
    std::vector<T> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::size_t size() {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> items_;
};

// How a command of the command line ended and what it printed.
struct CliResult {
    int exitStatus = -1;  // -1: did not end normally within the deadline
    std::string output;
};

std::string text(const PlistDictionary& d, const char* key) {
    const PlistValue* v = d.find(key);
    return v && v->asString() ? *v->asString() : "<none>";
}

std::int64_t integer(const PlistDictionary& d, const char* key) {
    const PlistValue* v = d.find(key);
    return v && v->asInteger() ? *v->asInteger() : -1000;
}

// A private bus, a temporary root, a main queue on a thread of its own, and the virtual Mac.
class VirtualMacTest : public ::testing::Test {
protected:
    void SetUp() override {
        connection_ = std::make_unique<Bus>(bus_.address());
        loopThread_ = std::thread([this] {
            loopThreadId_ = std::this_thread::get_id();
            loop_.run();
        });
    }

    void TearDown() override {
        vm_.reset();
        loop_.stop();
        loopThread_.join();
    }

    // Starts `virtual-mac serve` with a temporary root and waits until its name is on the bus.
    void serve(std::vector<std::string> options = {}) {
        std::vector<std::string> arguments{virtualMacProgram().string(), "serve", "--root", root().string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        Inbox<bool> appeared;
        auto slot = connection_->addMatch(
            "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.wattkeeper.VirtualMac'",
            [&appeared](sdbus::Message& message) {
                std::string name, oldOwner, newOwner;
                message >> name >> oldOwner >> newOwner;
                if (!newOwner.empty()) appeared.add(true);
            });
        vm_ = std::make_unique<Child>(arguments, bus_.environment(), dir_.path() / "serve.log");
        ASSERT_TRUE(appeared.waitFor(1) || hasOwner()) << readFile(dir_.path() / "serve.log");
    }

    bool hasOwner() {
        auto daemon = sdbus::createProxy(connection_->connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus");
        bool owned = false;
        daemon->callMethod("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments(std::string(virtual_mac::kServiceName))
            .storeResultsTo(owned);
        return owned;
    }

    // One person's command, run to its end.
    CliResult cli(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), virtualMacProgram().string());
        const fs::path output = dir_.path() / "cli.out";
        Child child(arguments, bus_.environment(), output);
        CliResult result;
        if (const auto status = child.waitExit(); status && WIFEXITED(*status))
            result.exitStatus = WEXITSTATUS(*status);
        result.output = readFile(output);
        return result;
    }

    virtual_mac::BusDictionary status() {
        auto proxy = sdbus::createProxy(connection_->connection(), virtual_mac::kServiceName, virtual_mac::kObjectPath);
        virtual_mac::BusDictionary result;
        proxy->callMethod("Status").onInterface(virtual_mac::kControlInterface).storeResultsTo(result);
        return result;
    }

    // Something observers deliver into from the main queue. It lives as long as the fixture, so
    // a delivery still queued when the test body ends finds it; the queue stops in TearDown.
    template <class T>
    Inbox<T>& inbox() {
        auto owned = std::make_shared<Inbox<T>>();
        keptAlive_.push_back(owned);
        return *owned;
    }

    fs::path root() const { return dir_.path() / "root"; }
    sdbus::IConnection& connection() { return connection_->connection(); }

    PrivateBus bus_;
    TempDir dir_;
    AsioRunLoop loop_{1};
    std::thread loopThread_;
    std::atomic<std::thread::id> loopThreadId_;
    std::unique_ptr<Bus> connection_;
    std::unique_ptr<Child> vm_;
    std::vector<std::shared_ptr<void>> keptAlive_;
};

TEST_F(VirtualMacTest, TheSmcKeysOutliveTheClientThatWroteThem) {
    serve();
    testkit::RecordingLog log;
    {
        VirtualMacSmcDriver driver(connection(), loop_);
        SMC smc(driver, log);
        ASSERT_EQ(smc.open(), 0);
        EXPECT_EQ(smc.getUInt8Value("CH0B"), 0);
        smc.setUInt8Value("CH0B", 2);
        smc.setUInt8Value("CH0C", 2);
        EXPECT_EQ(smc.getUInt8Value("CH0B"), 2);
    }
    // A second client, as a restarted daemon is, on a connection of its own.
    Bus second(bus_.address());
    VirtualMacSmcDriver driver(second.connection(), loop_);
    SMC smc(driver, log);
    ASSERT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.getUInt8Value("CH0B"), 2);
    EXPECT_EQ(smc.getUInt8Value("CH0C"), 2);
    EXPECT_EQ(status().at("state").get<std::string>(), "holding");
}

TEST_F(VirtualMacTest, MalformedOrForeignSmcCallsAreRefusedAndTheVirtualMacCarriesOn) {
    serve();
    VirtualMacSmcDriver driver(connection(), loop_);
    Bus otherBus(bus_.address());
    VirtualMacSmcDriver other(otherBus.connection(), loop_);

    MatchingDictionary matching{"AppleSMC"};
    IoObject iterator = 0;
    ASSERT_EQ(driver.getMatchingServices(matching, &iterator), kKernSuccess);
    const IoObject service = driver.iteratorNext(iterator);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(driver.iteratorNext(iterator), 0u) << "the service is handed out once";
    IoConnect connect = 0;
    ASSERT_EQ(driver.serviceOpen(service, 0, &connect), kKernSuccess);

    std::uint8_t record[80] = {};
    std::uint8_t reply[80] = {};
    struct Case {
        const char* name;
        SmcDriver* caller;
        IoConnect connect;
        std::uint32_t selector;
        std::size_t inputSize;
        std::size_t outputSize;
        KernReturn expected;
    };
    const Case cases[] = {
        {"input of the wrong size", &driver, connect, 2, 3, 80, kIOReturnBadArgument},
        {"output of the wrong size", &driver, connect, 2, 80, 40, kIOReturnBadArgument},
        {"another selector", &driver, connect, 7, 80, 80, kIOReturnBadArgument},
        {"a handle never opened", &driver, connect + 1000, 2, 80, 80, kMachSendInvalidDest},
        {"another client's connection", &other, connect, 2, 80, 80, kMachSendInvalidDest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t outputSize = c.outputSize;
        EXPECT_EQ(c.caller->callStructMethod(c.connect, c.selector, record, c.inputSize, reply, &outputSize),
                  c.expected);
    }
    EXPECT_EQ(other.serviceClose(connect), kMachSendInvalidDest);
    EXPECT_EQ(driver.serviceClose(connect), kKernSuccess);
    EXPECT_EQ(driver.serviceClose(connect), kMachSendInvalidDest) << "a closed connection is a dead port";
    EXPECT_EQ(driver.getMatchingServices(MatchingDictionary{"IOPMPowerSource"}, &iterator), kKernSuccess);
    EXPECT_EQ(driver.iteratorNext(iterator), 0u) << "only AppleSMC is served";
    EXPECT_EQ(status().at("state").get<std::string>(), "charging");
}

TEST_F(VirtualMacTest, PluggingAndUnpluggingFromTheCommandLineNotifyPowerSourceObserversOnTheMainQueue) {
    serve();
    VirtualMacPowerSources sources(connection(), loop_);
    auto& messages = inbox<std::pair<std::uint32_t, std::thread::id>>();
    ASSERT_EQ(sources.addGeneralInterestNotification([&messages](std::uint32_t type) {
        messages.add({type, std::this_thread::get_id()});
    }),
              kKernSuccess);

    struct Step {
        const char* command;
        const char* powerSourceState;
    };
    const Step steps[] = {{"unplug", "Battery Power"}, {"plug", "AC Power"}};
    std::size_t expected = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        ASSERT_EQ(cli({step.command}).exitStatus, 0);
        ASSERT_TRUE(messages.waitFor(++expected));
        const auto snapshot = sources.copyPowerSources();
        ASSERT_TRUE(snapshot && snapshot->size() == 1 && snapshot->front());
        EXPECT_EQ(text(*snapshot->front(), "Power Source State"), step.powerSourceState);
        EXPECT_EQ(snapshot->front()->size(), 20u);
    }
    for (const auto& [type, thread] : messages.items()) {
        EXPECT_EQ(type, 0xe0024100u);
        EXPECT_EQ(thread, loopThreadId_.load());
    }
}

TEST_F(VirtualMacTest, AFasterClockMakesTheChargeRiseAndTheTraceRecordsItWithTheKeys) {
    serve({"--charge", "50"});
    VirtualMacPowerSources sources(connection(), loop_);
    auto& messages = inbox<std::uint32_t>();
    sources.addGeneralInterestNotification([&messages](std::uint32_t type) { messages.add(type); });
    const fs::path trace = dir_.path() / "trace.csv";
    ASSERT_EQ(cli({"trace", "start", trace.string()}).exitStatus, 0);
    // 600 times real time: 1% of charge every tenth of a second.
    ASSERT_EQ(cli({"time-scale", "600"}).exitStatus, 0);
    ASSERT_TRUE(messages.waitFor(3)) << "a general-interest message per percent";
    const auto snapshot = sources.copyPowerSources();
    ASSERT_TRUE(snapshot && !snapshot->empty() && snapshot->front());
    EXPECT_GE(integer(*snapshot->front(), "Current Capacity"), 52);

    testkit::RecordingLog log;
    VirtualMacSmcDriver driver(connection(), loop_);
    SMC smc(driver, log);
    ASSERT_EQ(smc.open(), 0);
    smc.setUInt8Value("CH0B", 2);
    ASSERT_EQ(cli({"trace", "stop"}).exitStatus, 0);

    std::istringstream rows(readFile(trace));
    std::string line;
    ASSERT_TRUE(std::getline(rows, line));
    EXPECT_EQ(line, "seconds,charge,adapter,CH0B,CH0C,CH0I,lid_closed,asleep,state");
    double lastSeconds = -1;
    std::string lastRow;
    bool sawCharging = false;
    while (std::getline(rows, line)) {
        const double seconds = std::stod(line.substr(0, line.find(',')));
        EXPECT_GE(seconds, lastSeconds);
        if (lastSeconds >= 0) {
            EXPECT_LE(seconds - lastSeconds, 60.0 + 1e-6) << "a row at least every minute";
        }
        lastSeconds = seconds;
        sawCharging = sawCharging || line.ends_with(",charging");
        lastRow = line;
    }
    EXPECT_TRUE(sawCharging);
    EXPECT_TRUE(lastRow.ends_with(",1,2,0,0,0,0,holding")) << lastRow;
}

TEST_F(VirtualMacTest, TheMachineIsReportedAsTheCommandLineDescribesIt) {
    struct Case {
        const char* model;
        bool hasLid;
    };
    for (const Case& c : {Case{"MacBookPro16,1", true}, Case{"Mac14,2", true}, Case{"Macmini8,1", false},
                          Case{"Mac14,3", false}}) {
        SCOPED_TRACE(c.model);
        serve({"--model", c.model, "--user", "anna", "--os", "10.15.7"});
        VirtualMacSystemInfo info(connection(), loop_);
        VirtualMacWorkspace workspace(connection(), loop_);
        auto& events = inbox<std::string>();
        info.addClamshellChangeNotification([this, &events] {
            events.add(std::this_thread::get_id() == loopThreadId_.load() ? "lid" : "lid off the main queue");
        });
        workspace.addWillSleepObserver([&events] { events.add("will sleep"); });
        std::size_t size = 0;
        ASSERT_EQ(info.sysctlByName("hw.model", nullptr, &size), 0);
        EXPECT_EQ(size, std::string(c.model).size() + 1);
        std::vector<char> buffer(size);
        ASSERT_EQ(info.sysctlByName("hw.model", buffer.data(), &size), 0);
        EXPECT_STREQ(buffer.data(), c.model);
        EXPECT_EQ(info.sysctlByName("hw.ncpu", nullptr, &size), -1);

        ASSERT_EQ(cli({"lid", "close"}).exitStatus, 0);
        const IoObject entry = info.registryEntryFromPath("IOPower:/IOPowerConnection/IOPMrootDomain");
        EXPECT_EQ(entry != 0, c.hasLid);
        if (entry != 0) {
            EXPECT_EQ(info.registryEntryProperty(entry, "AppleClamshellState"), PlistValue(true));
            EXPECT_EQ(info.objectRelease(entry), kKernSuccess);
        }
        ASSERT_EQ(cli({"lid", "close"}).exitStatus, 0);
        ASSERT_EQ(cli({"lid", "open"}).exitStatus, 0);
        // Sleep is announced after the lid's messages, so once it is heard they all have been.
        ASSERT_EQ(cli({"sleep"}).exitStatus, 0);
        const auto expected = c.hasLid ? std::vector<std::string>{"lid", "lid", "will sleep"}
                                       : std::vector<std::string>{"will sleep"};
        ASSERT_TRUE(events.waitFor(expected.size()));
        EXPECT_EQ(events.items(), expected);
        EXPECT_EQ(info.consoleUser(), "anna");
        EXPECT_EQ(info.effectiveUserId(), static_cast<std::uint32_t>(::geteuid()));
        EXPECT_TRUE(fs::is_directory(root() / "Users" / "anna"));
        EXPECT_TRUE(fs::is_directory(root() / "Library"));

        const OperatingSystemVersion os = workspace.operatingSystemVersion();
        EXPECT_EQ(os.major, 10);
        EXPECT_EQ(os.minor, 15);
        EXPECT_EQ(os.patch, 7);
        ASSERT_EQ(cli({"quit"}).exitStatus, 0);
        ASSERT_TRUE(vm_->waitExit());
    }
}

TEST_F(VirtualMacTest, WorkspaceAndDisplayEventsReachTheirObserversOnTheMainQueue) {
    serve({"--displays", "1"});
    VirtualMacWorkspace workspace(connection(), loop_);
    VirtualMacDisplays displays(connection(), loop_);
    auto& events = inbox<std::string>();
    // The machine waits for its will-sleep observers: while they run it is still awake.
    auto control = sdbus::createProxy(connection(), virtual_mac::kServiceName, virtual_mac::kObjectPath);
    workspace.addWillSleepObserver([&events, &control] {
        virtual_mac::BusDictionary status;
        control->callMethod("Status").onInterface(virtual_mac::kControlInterface).storeResultsTo(status);
        events.add(status.at("asleep").get<bool>() ? "will sleep, asleep already" : "will sleep");
    });
    workspace.addDidWakeObserver([&events] { events.add("did wake"); });
    struct Recorder {
        Inbox<std::string>* events;
        std::atomic<std::thread::id>* mainThread;
    };
    auto recorder = std::make_shared<Recorder>(Recorder{&events, &loopThreadId_});
    keptAlive_.push_back(recorder);
    ASSERT_EQ(displays.registerReconfigurationCallback(
                  [](std::uint32_t display, std::uint32_t flags, void* userInfo) {
                      auto* r = static_cast<Recorder*>(userInfo);
                      const bool onMain = std::this_thread::get_id() == r->mainThread->load();
                      r->events->add("display " + std::to_string(display) + " flags " + std::to_string(flags) +
                                     (onMain ? "" : " off the main queue"));
                  },
                  recorder.get()),
              0);

    EXPECT_EQ(displays.screenCount(), 1u);
    ASSERT_EQ(cli({"display", "add"}).exitStatus, 0);
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_EQ(displays.screenCount(), 2u);
    ASSERT_EQ(cli({"display", "remove"}).exitStatus, 0);
    ASSERT_TRUE(events.waitFor(5));
    // Answered once asleep, which is after the observers have run.
    ASSERT_EQ(cli({"sleep"}).exitStatus, 0);
    EXPECT_EQ(events.items().size(), 6u);
    ASSERT_EQ(cli({"sleep"}).exitStatus, 0);  // already asleep: no second notification
    ASSERT_EQ(cli({"wake"}).exitStatus, 0);
    ASSERT_TRUE(events.waitFor(7));
    const std::vector<std::string> expected = {
        "display 1 flags 1",  "display 2 flags 16", "display 1 flags 1", "display 2 flags 1",
        "display 2 flags 32", "will sleep",         "did wake",
    };
    EXPECT_EQ(events.items(), expected);

    ASSERT_EQ(cli({"apps", "set", "com.example.one", ""}).exitStatus, 0);
    const auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].bundleIdentifier, "com.example.one");
    EXPECT_EQ(apps[1].bundleIdentifier, std::nullopt);

    workspace.openApplication("/Applications/Wattkeeper.app", true);
    workspace.launchApplication("/Applications/Other.app", kWorkspaceLaunchAndHide);
    const CliResult opened = cli({"apps", "opened"});
    EXPECT_EQ(opened.exitStatus, 0);
    EXPECT_EQ(opened.output,
              "/Applications/Wattkeeper.app hidden (open) options 0x0\n"
              "/Applications/Other.app hidden (launch) options 0x100000\n");
}

TEST_F(VirtualMacTest, ThePortsGiveTheirEmptyAnswersWhenNoVirtualMacIsThere) {
    const auto start = Clock::now();
    VirtualMacSmcDriver smc(connection(), loop_);
    VirtualMacPowerSources sources(connection(), loop_);
    VirtualMacSystemInfo info(connection(), loop_);
    VirtualMacWorkspace workspace(connection(), loop_);
    VirtualMacDisplays displays(connection(), loop_);

    IoObject iterator = 0;
    EXPECT_EQ(smc.getMatchingServices(MatchingDictionary{"AppleSMC"}, &iterator), kMachSendInvalidDest);
    IoConnect connect = 0;
    EXPECT_EQ(smc.serviceOpen(0x0b03, 0, &connect), kMachSendInvalidDest);
    EXPECT_EQ(smc.machErrorString(kMachSendInvalidDest), "(ipc/send) invalid destination port");
    EXPECT_EQ(sources.copyPowerSources(), std::nullopt);
    std::size_t size = 0;
    EXPECT_EQ(info.sysctlByName("hw.model", nullptr, &size), -1);
    EXPECT_EQ(info.registryEntryFromPath("IOPower:/IOPowerConnection/IOPMrootDomain"), 0u);
    EXPECT_EQ(info.consoleUser(), std::nullopt);
    EXPECT_TRUE(workspace.runningApplications().empty());
    EXPECT_EQ(workspace.operatingSystemVersion().major, 0);
    workspace.openApplication("/Applications/Wattkeeper.app", true);
    EXPECT_EQ(displays.screenCount(), 0u);
    EXPECT_LT(Clock::now() - start, 5s) << "an absent name is answered at once, not after timeouts";

    const CliResult result = cli({"status"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.output.find("does not answer"), std::string::npos) << result.output;
}

TEST_F(VirtualMacTest, ObserversHearARestartedVirtualMac) {
    VirtualMacPowerSources sources(connection(), loop_);
    auto& messages = inbox<std::uint32_t>();
    sources.addGeneralInterestNotification([&messages](std::uint32_t type) { messages.add(type); });
    serve();
    ASSERT_EQ(cli({"quit"}).exitStatus, 0);
    ASSERT_TRUE(vm_->waitExit());
    serve();
    ASSERT_EQ(cli({"unplug"}).exitStatus, 0);
    EXPECT_TRUE(messages.waitFor(1));
}

TEST_F(VirtualMacTest, QuitAndTheTerminationSignalsEndTheProcessCleanly) {
    struct Case {
        const char* name;
        std::function<void()> stop;
    };
    const Case cases[] = {
        {"quit", [this] { ASSERT_EQ(cli({"quit"}).exitStatus, 0); }},
        {"SIGTERM", [this] { ::kill(vm_->pid(), SIGTERM); }},
        {"SIGINT", [this] { ::kill(vm_->pid(), SIGINT); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serve();
        c.stop();
        const auto status = vm_->waitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status));
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        EXPECT_FALSE(hasOwner());
    }
}

TEST_F(VirtualMacTest, BadCommandLinesAreRefusedWithoutACrash) {
    serve();
    const std::vector<std::vector<std::string>> commands = {
        {"charge", "150"},
        {"charge", "lots"},
        {"lid", "sideways"},
        {"time-scale", "0"},
        {"display"},
        {"frobnicate"},
        {"trace"},
        {"serve"},
        {"serve", "--root", root().string(), "--charge", "-5"},
        {"serve", "--root", root().string(), "--os", "fourteen"},
        {"serve", "--root", root().string()},  // the name is taken
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(command.front() + (command.size() > 1 ? " " + command[1] : ""));
        const CliResult result = cli(command);
        EXPECT_GT(result.exitStatus, 0) << result.output;
    }
    EXPECT_EQ(status().at("state").get<std::string>(), "charging") << "the running one is unharmed";
}

}  // namespace
}  // namespace wattkeeper::testing
