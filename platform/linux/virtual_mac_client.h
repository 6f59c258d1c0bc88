#pragma once
// The machine's ports on Linux: clients of the virtual Mac over the bus.
//
// Each client takes the process's Bus: its synchronous calls go over the call connection on the
// calling thread (Bus::call), and signals arrive on the bus thread, which hands them to the main
// queue of the given run loop. Every call waits at most
// kVirtualMacCallTimeout, and a virtual Mac that is not there gives the port's "nothing" or
// error result, never an exception.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/linux/bus.h"
#include "platform/power_sources.h"
#include "platform/run_loop.h"
#include "platform/smc_driver.h"
#include "platform/system_info.h"
#include "platform/workspace.h"

namespace wattkeeper::linux_backend {

// The SMC driver seam. Matching dictionaries, iterators and the service handle are local, as
// they are in a task's own port space; connections live in the virtual Mac. When the virtual
// Mac cannot be reached, the kernel calls fail with MACH_SEND_INVALID_DEST, as calls on a dead
// port do.
class VirtualMacSmcDriver : public SmcDriver {
public:
    VirtualMacSmcDriver(Bus& bus, RunLoop& loop);

    // A dictionary for any class name, as IOServiceMatching makes one; only "AppleSMC" ever
    // matches a service.
    std::optional<MatchingDictionary> serviceMatching(std::string_view className) override;
    KernReturn getMatchingServices(const MatchingDictionary& matching, IoObject* iterator) override;
    IoObject iteratorNext(IoObject iterator) override;
    KernReturn objectRelease(IoObject object) override;
    KernReturn serviceOpen(IoObject service, std::uint32_t type, IoConnect* connect) override;
    KernReturn serviceClose(IoConnect connect) override;
    // The output buffer must be the 80-byte record, as the controller's user client demands;
    // any other shape is refused here with kDriverBadArgument before anything is sent.
    KernReturn callStructMethod(IoConnect connect, std::uint32_t selector, const void* input, std::size_t inputSize,
                                void* output, std::size_t* outputSize) override;
    std::string machErrorString(KernReturn code) override;

private:
    Bus& bus_;
    std::unique_ptr<sdbus::IProxy> calls_;
    std::mutex mutex_;
    IoObject nextObject_ = 0x2003;
    std::map<IoObject, bool> iterators_;  // iterator -> service still to hand out
};

// The power-source service.
class VirtualMacPowerSources : public PowerSources {
public:
    VirtualMacPowerSources(Bus& bus, RunLoop& loop);

    std::optional<PowerSourceList> copyPowerSources() override;
    // Registration always succeeds: messages come whenever a virtual Mac is on the bus.
    KernReturn addGeneralInterestNotification(InterestCallback callback) override;

private:
    RunLoop& loop_;
    Bus& bus_;
    std::mutex mutex_;
    std::vector<InterestCallback> callbacks_;
    sdbus::PendingAsyncCall wake_;
    std::unique_ptr<sdbus::IProxy> calls_;
    // Last, so that it goes first: no signal handler runs on a half-destroyed client.
    std::unique_ptr<sdbus::IProxy> signals_;
};

// hw.model, the root power domain's clamshell state, the console user and the own user id.
class VirtualMacSystemInfo : public SystemInfo {
public:
    VirtualMacSystemInfo(Bus& bus, RunLoop& loop);

    // Only "hw.model" is known. A buffer too small takes what fits and the call fails with
    // ENOMEM, as sysctl does.
    int sysctlByName(std::string_view name, void* buffer, std::size_t* size) override;
    // "IOPower:/IOPowerConnection/IOPMrootDomain" resolves on machines with a lid.
    IoObject registryEntryFromPath(std::string_view path) override;
    std::optional<PlistValue> registryEntryProperty(IoObject entry, std::string_view key) override;
    KernReturn objectRelease(IoObject object) override;
    // The virtual Mac's ClamshellStateChange signal, which only a machine with a lid sends.
    void addClamshellChangeNotification(std::function<void()> changed) override;
    std::optional<std::string> consoleUser() override;
    // The process's real effective user id: the file rules depend on who runs.
    std::uint32_t effectiveUserId() override;

private:
    RunLoop& loop_;
    Bus& bus_;
    std::mutex mutex_;
    std::size_t rootDomainReferences_ = 0;
    std::vector<std::function<void()>> clamshellObservers_;
    sdbus::PendingAsyncCall wake_;
    std::unique_ptr<sdbus::IProxy> calls_;
    // Last, so that it goes first: no signal handler runs on a half-destroyed client.
    std::unique_ptr<sdbus::IProxy> signals_;
};

// Sleep and wake, running applications, opening applications, the system version.
class VirtualMacWorkspace : public Workspace {
public:
    VirtualMacWorkspace(Bus& bus, RunLoop& loop);
    ~VirtualMacWorkspace() override;
    VirtualMacWorkspace(const VirtualMacWorkspace&) = delete;
    VirtualMacWorkspace& operator=(const VirtualMacWorkspace&) = delete;

    // The machine does not sleep until the will-sleep observers have run (at most 30 s).
    void addWillSleepObserver(std::function<void()> observer) override;
    void addDidWakeObserver(std::function<void()> observer) override;
    // Empty when the virtual Mac cannot be reached.
    std::vector<RunningApplication> runningApplications() override;
    void openApplication(std::string_view path, bool hides) override;
    void launchApplication(std::string_view path, std::uint32_t options) override;
    // 0.0.0 when the virtual Mac cannot be reached.
    OperatingSystemVersion operatingSystemVersion() override;

private:
    void openRequest(std::string_view path, bool hides, bool viaOpenApplication, std::uint32_t options);

    RunLoop& loop_;
    Bus& bus_;
    std::mutex mutex_;
    std::vector<std::function<void()>> willSleep_;
    std::vector<std::function<void()>> didWake_;
    // Tells the machine it may sleep; outlives the workspace in the deliveries it queued.
    struct SleepRelease {
        std::mutex mutex;
        Bus* bus = nullptr;
        sdbus::IProxy* proxy = nullptr;
    };
    std::shared_ptr<SleepRelease> sleepRelease_ = std::make_shared<SleepRelease>();
    sdbus::PendingAsyncCall wake_;
    std::unique_ptr<sdbus::IProxy> calls_;
    // Last, so that it goes first: no signal handler runs on a half-destroyed client.
    std::unique_ptr<sdbus::IProxy> signals_;
};

// The screens and their reconfiguration callbacks.
class VirtualMacDisplays : public Displays {
public:
    VirtualMacDisplays(Bus& bus, RunLoop& loop);

    // 0 when the virtual Mac cannot be reached.
    std::size_t screenCount() override;
    // Always succeeds (0, kCGErrorSuccess); callbacks come on the main queue.
    int registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) override;

private:
    struct Registration {
        DisplayReconfigurationCallback callback;
        void* userInfo;
    };

    RunLoop& loop_;
    Bus& bus_;
    std::mutex mutex_;
    std::vector<Registration> registrations_;
    sdbus::PendingAsyncCall wake_;
    std::unique_ptr<sdbus::IProxy> calls_;
    // Last, so that it goes first: no signal handler runs on a half-destroyed client.
    std::unique_ptr<sdbus::IProxy> signals_;
};

}  // namespace wattkeeper::linux_backend
