// The virtual Mac as a process of its own, seen through the Linux ports and its command line:
// what the daemon and the login item rely on it for. Its SMC connections and power-source messages
// are the fault tests' (a connection closed under the daemon, a change of charge alone bringing
// the keys along within 10 s), and the keys outliving a daemon its restart end to end.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/virtual_mac_bus.h"
#include "platform/linux/virtual_mac_client.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;
using linux_backend::AsioRunLoop;
using linux_backend::Bus;

// A private bus, a temporary root, a main queue on a thread of its own, and the virtual Mac.
class VirtualMacTest : public ::testing::Test {
public:
    // What an observer records: `event`, marked when it did not run on the main queue.
    std::string onMain(const std::string& event) const {
        return std::this_thread::get_id() == loopThreadId_.load() ? event : event + " off the main queue";
    }

protected:
    void SetUp() override {
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

    // Starts `virtual-mac serve` with a temporary root and waits until it answers.
    void serve(std::vector<std::string> options = {}) {
        std::vector<std::string> arguments{builtProgram("virtual-mac").string(), "serve", "--root", root().string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        vm_.reset();
        vm_.emplace(arguments, bus_.environment(), dir_.path() / "serve.log");
        ASSERT_TRUE(waitUntil([&] { return cli({"status"}).status == 0; })) << readFile(dir_.path() / "serve.log");
    }

    // One person's command, run to its end.
    RunResult cli(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), builtProgram("virtual-mac").string());
        return run(arguments, bus_.environment());
    }

    linux_backend::BusDictionary status() {
        auto proxy =
            sdbus::createProxy(connection(), linux_backend::kVirtualMacService, linux_backend::kVirtualMacPath);
        linux_backend::BusDictionary result;
        proxy->callMethod("Status").onInterface(linux_backend::kControlInterface).storeResultsTo(result);
        return result;
    }

    // Something observers deliver into from the main queue. It lives as long as the fixture, so
    // a delivery still queued when the test body ends finds it; the queue stops in TearDown.
    template <class T>
    Arrivals<T>& inbox() {
        auto owned = std::make_shared<Arrivals<T>>();
        keptAlive_.push_back(owned);
        return *owned;
    }
    fs::path root() const { return dir_.path() / "root"; }
    sdbus::IConnection& connection() { return connection_.connection(); }

    PrivateBus bus_;
    TempDir dir_;
    AsioRunLoop loop_{1};
    std::thread loopThread_;
    std::atomic<std::thread::id> loopThreadId_;
    Bus connection_{bus_.address()};
    std::optional<Child> vm_;
    std::vector<std::shared_ptr<void>> keptAlive_;
};

TEST_F(VirtualMacTest, ANotebookOfAnyModelNameHasALidThatAnnouncesItsMoves) {
    struct Case {
        const char* model;
        bool hasLid;
    };
    for (const Case& c :
         {Case{"MacBookPro16,1", true}, Case{"Mac14,2", true}, Case{"Macmini8,1", false}, Case{"Mac14,3", false}}) {
        SCOPED_TRACE(c.model);
        serve({"--model", c.model});
        linux_backend::VirtualMacSystemInfo info(connection_, loop_);
        linux_backend::VirtualMacWorkspace workspace(connection_, loop_);
        auto& events = inbox<std::string>();
        info.addClamshellChangeNotification([this, &events] { events.add(onMain("lid")); });
        workspace.addWillSleepObserver([&events] { events.add("will sleep"); });

        ASSERT_EQ(cli({"lid", "close"}).status, 0);
        const IoObject entry = info.registryEntryFromPath("IOPower:/IOPowerConnection/IOPMrootDomain");
        EXPECT_EQ(entry != 0, c.hasLid);
        if (entry != 0) {
            EXPECT_EQ(info.registryEntryProperty(entry, "AppleClamshellState"), PlistValue(true));
            EXPECT_EQ(info.objectRelease(entry), kKernSuccess);
        }
        ASSERT_EQ(cli({"lid", "close"}).status, 0);
        ASSERT_EQ(cli({"lid", "open"}).status, 0);
        // Sleep is announced after the lid's messages, so once it is heard they all have been.
        ASSERT_EQ(cli({"sleep"}).status, 0);
        const auto expected =
            c.hasLid ? std::vector<std::string>{"lid", "lid", "will sleep"} : std::vector<std::string>{"will sleep"};
        ASSERT_TRUE(events.waitFor(expected.size()));
        EXPECT_EQ(events.items(), expected);
    }
}

// The daemon's display port is recorded and read by nothing, so only sleep, wake and the
// running applications are looked at here.
TEST_F(VirtualMacTest, SleepWaitsForItsObserversAndTheWorkspaceFollowsTheCommandLine) {
    serve();
    linux_backend::VirtualMacWorkspace workspace(connection_, loop_);
    auto& events = inbox<std::string>();
    // The machine waits for its will-sleep observers: while they run it is still awake.
    workspace.addWillSleepObserver(
        [this, &events] { events.add(onMain(status().at("asleep").get<bool>() ? "asleep already" : "will sleep")); });
    workspace.addDidWakeObserver([this, &events] { events.add(onMain("did wake")); });
    // Answered once asleep, which is after the observers have run.
    ASSERT_EQ(cli({"sleep"}).status, 0);
    EXPECT_EQ(events.items(), std::vector<std::string>{"will sleep"});
    ASSERT_EQ(cli({"sleep"}).status, 0);  // already asleep: no second notification
    ASSERT_EQ(cli({"wake"}).status, 0);
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_EQ(events.items(), (std::vector<std::string>{"will sleep", "did wake"}));

    ASSERT_EQ(cli({"apps", "set", "com.example.one", ""}).status, 0);
    const auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].bundleIdentifier, "com.example.one");
    EXPECT_EQ(apps[1].bundleIdentifier, std::nullopt);
}

}  // namespace
}  // namespace wattkeeper::testkit
