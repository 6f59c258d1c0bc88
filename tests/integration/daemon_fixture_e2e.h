#pragma once
// The daemon as a process of its own on a private bus, installed in a virtual Mac's root folder:
// what the end-to-end and fault tests share. Requests go out and replies come back through a
// client inside the test process, on the Linux centers.

#include <gtest/gtest.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "platform/linux/virtual_mac_bus.h"
#include "platform/plist.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {

// The main application's side of the protocol inside the test process: posts requests on the
// Darwin center and keeps every reply the distributed center brings, in order of arrival.
class DaemonClient {
public:
    struct Reply {
        std::string name;
        PlistDictionary payload;
    };

    explicit DaemonClient(const std::string& busAddress);
    ~DaemonClient();
    DaemonClient(const DaemonClient&) = delete;
    DaemonClient& operator=(const DaemonClient&) = delete;

    // A request, as fast as the bus takes it.
    void post(std::string_view request);
    std::vector<Reply> replies() const { return replies_.items(); }
    // Replies of this name so far.
    std::size_t count(std::string_view name) const;
    // Waits until `total` replies have arrived in all, for as long as they keep coming: false
    // once none has come for `quiet`. A slow machine answers more slowly, not less.
    bool waitForReplies(std::size_t total, std::chrono::milliseconds quiet);
    // Posts the request, then a heartbeat as a marker, and returns what came in between: the
    // daemon answers in order, so anything the request causes comes first. Nothing when the
    // marker did not come within the deadline.
    std::optional<std::vector<Reply>> ask(std::string_view request, std::chrono::milliseconds deadline = 5s);

private:
    static void received(NotificationCenter& center, void* observer, std::string_view name, const void* object,
                         const PlistDictionary* userInfo);

    linux_backend::AsioRunLoop loop_{1};
    std::unique_ptr<linux_backend::Bus> bus_;
    std::unique_ptr<linux_backend::DbusNotificationCenter> darwin_;
    std::unique_ptr<linux_backend::DbusNotificationCenter> distributed_;
    std::thread thread_;
    Arrivals<Reply> replies_;
    // Heartbeats posted and not known to be lost.
    std::atomic<std::size_t> heartsPosted_{0};
};

// An integer entry of a reply's payload; nothing when it is missing or not a number.
std::optional<std::int64_t> payloadInteger(const DaemonClient::Reply& reply, std::string_view key);

// A virtual Mac (user anna, on the adapter, at 50 %) whose launchd runs the daemon installed as on
// a Mac, on a bus of the test's own, with a DaemonClient. Each test starts and ends everything
// itself; at the end, neither program may have printed a sanitizer's report.
class DaemonFixture : public ::testing::Test {
public:
    // A Control member of the virtual Mac, called from the test process; throws sdbus::Error
    // when it is refused or nobody answers.
    template <class... Arguments>
    void control(const char* member, const Arguments&... arguments) {
        linux_backend::Bus connection(bus->address());
        auto proxy = sdbus::createProxy(connection.connection(), linux_backend::kVirtualMacService,
                                        linux_backend::kVirtualMacPath);
        proxy->callMethod(member)
            .onInterface(linux_backend::kControlInterface)
            .withTimeout(linux_backend::kVirtualMacCallTimeout)
            .withArguments(arguments...);
    }

    DaemonFixture();

    void SetUp() override;
    void TearDown() override;

    void startVirtualMac(double charge);
    // SIGKILL, as a crash would end it: no name released in order, no connection closed, and the
    // jobs of its launchd left running.
    void killVirtualMac();
    // Waits until launchd runs the daemon and it answers a load-status request.
    void startDaemon();
    // Whether the daemon's process has ended within the deadline.
    bool daemonEnded(std::chrono::milliseconds deadline = 10s);
    // The virtual Mac's launchctl, outside the sandbox.
    RunResult launchctl(std::vector<std::string> arguments);
    // The process launchd runs for the job, if any.
    std::optional<pid_t> jobPid();
    // How many processes run the daemon's program, inside launchd or not.
    std::size_t daemonProcesses();
    std::vector<std::string> environment() const;

    RunResult vm(std::vector<std::string> arguments);
    RunResult ctl(std::vector<std::string> arguments);
    // The one reply a request gets; nothing when it gets none or several.
    std::optional<DaemonClient::Reply> answer(std::string_view request);

    // The three charge keys as the virtual Mac shows them, e.g. "2 2 1".
    std::string keys();
    enum class Nudge {
        // None: the daemon acts on its own, on a power-source change, the lid, sleep and wake, or
        // at the latest at its 20 s timer.
        None,
        // A heartbeat (each one an evaluation) every half second until the keys match.
        Heartbeats,
        // As Heartbeats, and then the keys stay so, with no request in between, for as long as an
        // evaluation's delayed switches may take to land: nothing scheduled earlier is still on
        // its way.
        ThenRest,
    };
    // Waits until the keys read `expected`.
    bool keysBecome(const std::string& expected, Nudge nudge = Nudge::None);

    // The console user's limit file and preferences file in the main application's container.
    std::filesystem::path limitFile(const std::string& user = "anna") const;
    std::filesystem::path preferencesFile(const std::string& user = "anna") const;
    // A property list whose root dictionary holds "ChargingLimit".
    static std::string limitPlist(int limit);
    // Writes `text` to `path` through a temporary file and a rename, as the main application does.
    static void replaceFile(const std::filesystem::path& path, const std::string& text);

    // Made before and destroyed after every process that uses it.
    std::optional<PrivateBus> bus{std::in_place};
    TempDir work;
    const std::filesystem::path root = work.path() / "root";
    const std::filesystem::path bundle = root / "Library/Application Support/Halvorn/Battery/Wattkeeper.app";
    const std::filesystem::path jobFile;
    // The job file's StandardOutPath and StandardErrorPath.
    const std::filesystem::path daemonLog = root / "Library/Logs/Wattkeeper.log";
    const std::filesystem::path pidFile = work.path() / "restarted.pid";
    std::optional<Child> virtualMac;
    // The daemon's process, launchd's child; launchd stops it with the virtual Mac.
    std::optional<pid_t> daemon;
    std::optional<DaemonClient> client;
};

}  // namespace wattkeeper::testkit
