#pragma once
// The simulator behind the bus name: the SMC, the battery and the machine, served to the daemon,
// the login item and a person.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/workspace.h"
#include "sim/battery_model.h"
#include "sim/smc_key_store.h"

namespace asio {
class io_context;
}

namespace wattkeeper::virtual_mac {

class Launchd;

// What `virtual-mac serve` is told on its command line.
struct ServeOptions {
    std::filesystem::path root;
    std::string model = "MacBookPro16,1";
    std::string user = "anna";
    double charge = 50.0;
    bool unplugged = false;
    double timeScale = 1.0;
    std::optional<std::filesystem::path> trace;
    std::size_t displays = 1;
    OperatingSystemVersion os{14, 0, 0};
    sim::Firmware firmware = sim::Firmware::Ch0b;
};

// How often the simulator moves simulated time on, and the longest step (in real time) the battery
// model takes however late a tick comes: short enough that a step is never visible as a jump at a
// few hundred times real time, long enough to cost nothing.
inline constexpr std::chrono::milliseconds kTick{100};

// The longest a process observing sleep may hold the machine awake (real time).
inline constexpr std::chrono::seconds kSleepHoldLimit{30};

// Lays out the root folder's skeleton (Users/<user>/, Library/); throws std::filesystem_error.
void prepareRoot(const std::filesystem::path& root, const std::string& user);

// Runs the simulator on the bus until SIGINT, SIGTERM or a Quit request; the exit status.
int serve(const ServeOptions& options);

// The bus object with the SMC, Machine and Control interfaces, over one simulated MacBook.
class Server {
public:
    // Registers the object on the connection; the caller requests the bus name afterwards, so
    // that whoever sees the name finds every member in place.
    // With a launchd, its bus interface is served too; its work runs on `io`'s thread.
    Server(sdbus::IConnection& connection, ServeOptions options, Launchd* launchd = nullptr,
           asio::io_context* io = nullptr);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Brings simulated time up to the real now and sends what that changed.
    void tick();
    // Called (on the bus thread) when a Quit request arrives.
    void onQuit(std::function<void()> quit);

private:
    using Signals = std::vector<std::function<void()>>;
    using AppEntry = sdbus::Struct<bool, std::string>;
    using OpenRequest = sdbus::Struct<std::string, bool, bool, std::uint32_t>;

    void registerSmc();
    void registerMachine();
    void registerControl();
    void registerLaunchd();

    // A control request that changes the machine at the simulated moment it arrives: `apply`
    // runs with mutex_ held, then the signals it queued go out. An sdbus::Error it throws is the
    // answer, once what time did before it has gone out.
    void change(const std::function<void(Signals&)>& apply);
    template <class... Args>
    auto changing(void (Server::*apply)(Signals&, Args...)) {
        return [this, apply](Args... arguments) { change([&](Signals& out) { (this->*apply)(out, arguments...); }); };
    }
    void plugLocked(Signals& out);
    void unplugLocked(Signals& out);
    void setLidLocked(Signals& out, bool closed);
    void setChargeLocked(Signals& out, double percent);
    void addDisplayLocked(Signals& out);
    void removeDisplayLocked(Signals& out);
    void setTimeScaleLocked(Signals& out, double factor);
    void startTraceRequestLocked(Signals& out, const std::string& path);
    void stopTraceLocked(Signals& out);
    void setConsoleUserLocked(Signals& out, const std::string& name);
    void setSmcKeyPresentLocked(Signals& out, const std::string& key, bool present);
    void setFirmwareLocked(Signals& out, const std::string& name);
    void sleep(sdbus::Result<>&& result);
    void wake();
    std::map<std::string, sdbus::Variant> status();
    void failSmcKey(const std::string& key, const std::string& operation, std::int32_t code);

    // All of these run with mutex_ held and queue the signals they cause; the signals go out
    // after the lock is released, because sdbus-c++ runs handlers under its own bus lock.
    void syncLocked(Signals& out);
    void settleLocked(Signals& out);
    void recordTraceLocked();
    void startTraceLocked(const std::filesystem::path& path);
    std::string callerLocked() const;
    IoObject serviceLocked();
    void queueGeneralInterest(Signals& out);
    void queueDisplayChange(Signals& out, std::uint32_t display, std::uint32_t changeFlag);
    void emit(const Signals& signals);
    // An observer let the machine sleep, or left the bus; sleeps when nobody holds it any more.
    void letSleep(const std::string& observer, bool gone = false);
    // Puts the machine to sleep when the pending sleep is no longer held; collects its callers.
    void completeSleepLocked(Signals& out, std::vector<sdbus::Result<>>& answered);

    std::tuple<std::int32_t, bool> getMatchingServices();
    std::tuple<std::int32_t, std::uint32_t> open();
    std::int32_t close(std::uint32_t connect);
    std::tuple<std::int32_t, std::vector<std::uint8_t>> call(std::uint32_t connect, std::uint32_t selector,
                                                             const std::vector<std::uint8_t>& input);
    void closeConnectionsOf(const std::string& owner);
    void closeAllConnectionsLocked();
    // The kernel code an injected fault gives this request record; success when none applies.
    KernReturn faultForLocked(const std::vector<std::uint8_t>& input) const;

    sdbus::IConnection& connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::unique_ptr<sdbus::IProxy> busDriver_;
    Launchd* launchd_;
    asio::io_context* io_;
    // Gone with the server: launchd's answers that come later (on the io thread, where the server
    // is destroyed too) find their connection gone and are dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex mutex_;
    ServeOptions options_;
    sim::SmcKeyStore store_;
    sim::SimSmcDriver driver_;
    sim::BatteryModel model_;
    std::chrono::steady_clock::time_point lastSync_;
    std::vector<std::uint32_t> displays_;
    std::uint32_t nextDisplay_ = 1;
    std::vector<AppEntry> runningApplications_;
    std::vector<OpenRequest> openRequests_;
    std::map<IoConnect, std::string> connectionOwners_;
    // Injected faults (Control FailSmcKey, SetSmcKeyPresent): kernel codes by key for reads and
    // for writes, and the keys taken away with what they held.
    std::map<std::string, KernReturn> readFaults_;
    std::map<std::string, KernReturn> writeFaults_;
    std::map<std::string, sim::SmcKeyInfo> removedKeys_;
    std::ofstream traceFile_;
    std::optional<sim::BatteryTrace> trace_;
    std::function<void()> quit_;
    // Processes that observe sleep (by bus name), and a sleep waiting for them.
    struct PendingSleep {
        std::set<std::string> holding;
        std::chrono::steady_clock::time_point deadline;
        std::vector<sdbus::Result<>> waiting;
    };
    std::set<std::string> sleepObservers_;
    std::optional<PendingSleep> pendingSleep_;
};

}  // namespace wattkeeper::virtual_mac
