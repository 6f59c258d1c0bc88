#include "platform/linux/virtual_mac_client.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <tuple>
#include <utility>

#include "platform/linux/virtual_mac_bus.h"

namespace wattkeeper::linux_backend {

namespace {

constexpr IoObject kSmcService = 0x0b03;
constexpr IoObject kRootDomainEntry = 0x0c03;
constexpr KernReturn kKernInvalidName = 15;
constexpr std::size_t kRecordSize = 80;
constexpr const char* kRootDomainPath = "IOPower:/IOPowerConnection/IOPMrootDomain";

// Nothing when the proxy cannot be made; every call on a missing proxy then fails as a call to
// an absent virtual Mac does.
std::unique_ptr<sdbus::IProxy> makeProxy(sdbus::IConnection& connection) {
    try {
        return sdbus::createProxy(connection, kVirtualMacService, kVirtualMacPath);
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Runs one exchange of synchronous calls with the virtual Mac, on the calling thread; false when
// it could not be completed for any reason (no virtual Mac, a timeout, an answer of the wrong
// shape).
template <class Exchange>
bool attempt(Bus& bus, sdbus::IProxy* proxy, Exchange&& exchange) {
    if (!proxy) return false;
    return bus.call([&] { exchange(*proxy); });
}

// Subscribes to a signal of the machine; a signal whose arguments cannot be read is dropped.
void subscribe(sdbus::IProxy* proxy, const char* member, std::function<void(sdbus::Signal&)> handler) {
    if (!proxy) return;
    try {
        proxy->registerSignalHandler(kMachineInterface, member, [handler = std::move(handler)](sdbus::Signal& signal) {
            try {
                handler(signal);
            } catch (const std::exception&) {
                // A malformed signal carries nothing to deliver.
            }
        });
    } catch (const std::exception&) {
        // Without the subscription the observers simply hear nothing.
    }
}

// Completes the subscriptions. Their synchronous round trip to the bus daemon, made from a thread
// other than the bus thread, may read ahead messages the bus thread then leaves waiting until
// the next one arrives; an asynchronous ping gives it that next message at once. The caller
// keeps the pending call until its proxy is gone, so that the call's bookkeeping is released
// after the bus thread is done with it.
sdbus::PendingAsyncCall finish(sdbus::IProxy* proxy) {
    if (!proxy) return {};
    try {
        proxy->finishRegistration();
        return proxy->callMethodAsync("Ping")
            .onInterface("org.freedesktop.DBus.Peer")
            .uponReplyInvoke([](const sdbus::Error*) {});
    } catch (const std::exception&) {
        // Without the subscriptions the observers simply hear nothing.
        return {};
    }
}

}  // namespace

// --- SMC ---

VirtualMacSmcDriver::VirtualMacSmcDriver(Bus& bus, RunLoop& /*loop*/)
    : bus_(bus), calls_(makeProxy(bus.callConnection())) {}

std::optional<MatchingDictionary> VirtualMacSmcDriver::serviceMatching(std::string_view className) {
    return MatchingDictionary{std::string(className)};
}

KernReturn VirtualMacSmcDriver::getMatchingServices(const MatchingDictionary& matching, IoObject* iterator) {
    if (iterator == nullptr) return kDriverBadArgument;
    bool present = false;
    if (matching.className == "AppleSMC") {
        std::int32_t kr = kKernSuccess;
        const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
            proxy.callMethod("GetMatchingServices")
                .onInterface(kSmcInterface)
                .withTimeout(kVirtualMacCallTimeout)
                .storeResultsTo(kr, present);
        });
        if (!answered) return kMachSendInvalidDest;
        if (kr != kKernSuccess) return kr;
    }
    std::lock_guard lock(mutex_);
    const IoObject handle = nextObject_++;
    iterators_[handle] = present;
    *iterator = handle;
    return kKernSuccess;
}

IoObject VirtualMacSmcDriver::iteratorNext(IoObject iterator) {
    std::lock_guard lock(mutex_);
    const auto found = iterators_.find(iterator);
    if (found == iterators_.end() || !found->second) return 0;
    found->second = false;
    return kSmcService;
}

KernReturn VirtualMacSmcDriver::objectRelease(IoObject object) {
    std::lock_guard lock(mutex_);
    if (object == 0 || object == kSmcService) return kKernSuccess;
    return iterators_.erase(object) == 1 ? kKernSuccess : kKernInvalidName;
}

KernReturn VirtualMacSmcDriver::serviceOpen(IoObject service, std::uint32_t type, IoConnect* connect) {
    // The controller's user client knows connection type 0 only.
    if (connect == nullptr || type != 0) return kDriverBadArgument;
    if (service != kSmcService) return kMachSendInvalidDest;
    std::int32_t kr = kKernSuccess;
    std::uint32_t handle = 0;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("Open")
            .onInterface(kSmcInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .storeResultsTo(kr, handle);
    });
    if (!answered) return kMachSendInvalidDest;
    if (kr == kKernSuccess) *connect = handle;
    return kr;
}

KernReturn VirtualMacSmcDriver::serviceClose(IoConnect connect) {
    std::int32_t kr = kKernSuccess;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("Close")
            .onInterface(kSmcInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .withArguments(connect)
            .storeResultsTo(kr);
    });
    return answered ? kr : kMachSendInvalidDest;
}

KernReturn VirtualMacSmcDriver::callStructMethod(IoConnect connect, std::uint32_t selector, const void* input,
                                                 std::size_t inputSize, void* output, std::size_t* outputSize) {
    if ((input == nullptr && inputSize != 0) || output == nullptr || outputSize == nullptr ||
        *outputSize != kRecordSize) {
        return kDriverBadArgument;
    }
    std::vector<std::uint8_t> request(inputSize);
    if (inputSize != 0) std::memcpy(request.data(), input, inputSize);
    std::int32_t kr = kKernSuccess;
    std::vector<std::uint8_t> reply;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("Call")
            .onInterface(kSmcInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .withArguments(connect, selector, request)
            .storeResultsTo(kr, reply);
    });
    if (!answered) return kMachSendInvalidDest;
    // An empty reply means the driver left the caller's buffer alone.
    if (!reply.empty()) {
        const std::size_t copied = std::min(reply.size(), *outputSize);
        std::memcpy(output, reply.data(), copied);
        *outputSize = copied;
    }
    return kr;
}

std::string VirtualMacSmcDriver::machErrorString(KernReturn code) { return machErrorText(code); }

// --- Power sources ---

VirtualMacPowerSources::VirtualMacPowerSources(Bus& bus, RunLoop& loop)
    : loop_(loop), bus_(bus), calls_(makeProxy(bus.callConnection())), signals_(makeProxy(bus.connection())) {
    subscribe(signals_.get(), "GeneralInterest", [this](sdbus::Signal& signal) {
        std::uint32_t messageType = 0;
        signal >> messageType;
        std::vector<InterestCallback> callbacks;
        {
            std::lock_guard lock(mutex_);
            callbacks = callbacks_;
        }
        if (callbacks.empty()) return;
        loop_.async([callbacks = std::move(callbacks), messageType] {
            for (const auto& callback : callbacks) callback(messageType);
        });
    });
    wake_ = finish(signals_.get());
}

std::optional<PowerSourceList> VirtualMacPowerSources::copyPowerSources() {
    std::vector<BusDictionary> descriptions;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("PowerSources")
            .onInterface(kMachineInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .storeResultsTo(descriptions);
    });
    if (!answered) return std::nullopt;
    PowerSourceList list;
    list.reserve(descriptions.size());
    for (const auto& description : descriptions) list.emplace_back(fromBus(description));
    return list;
}

KernReturn VirtualMacPowerSources::addGeneralInterestNotification(InterestCallback callback) {
    if (!callback) return kDriverBadArgument;
    std::lock_guard lock(mutex_);
    callbacks_.push_back(std::move(callback));
    return kKernSuccess;
}

// --- System information ---

VirtualMacSystemInfo::VirtualMacSystemInfo(Bus& bus, RunLoop& loop)
    : loop_(loop), bus_(bus), calls_(makeProxy(bus.callConnection())), signals_(makeProxy(bus.connection())) {
    subscribe(signals_.get(), "ClamshellStateChange", [this](sdbus::Signal& signal) {
        bool closed = false;
        signal >> closed;
        std::vector<std::function<void()>> observers;
        {
            std::lock_guard lock(mutex_);
            observers = clamshellObservers_;
        }
        if (observers.empty()) return;
        loop_.async([observers = std::move(observers)] {
            for (const auto& observer : observers) observer();
        });
    });
    wake_ = finish(signals_.get());
}

int VirtualMacSystemInfo::sysctlByName(std::string_view name, void* buffer, std::size_t* size) {
    if (size == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::string model;
    const bool known = name == "hw.model" && attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
                           proxy.callMethod("Model")
                               .onInterface(kMachineInterface)
                               .withTimeout(kVirtualMacCallTimeout)
                               .storeResultsTo(model);
                       });
    if (!known || model.empty()) {
        errno = ENOENT;
        return -1;
    }
    const std::size_t needed = model.size() + 1;
    if (buffer == nullptr) {
        *size = needed;
        return 0;
    }
    if (*size < needed) {
        std::memcpy(buffer, model.c_str(), *size);
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(buffer, model.c_str(), needed);
    *size = needed;
    return 0;
}

namespace {

// (present, closed); nothing when the virtual Mac cannot be reached.
std::optional<std::pair<bool, bool>> clamshell(Bus& bus, sdbus::IProxy* proxy) {
    bool present = false;
    bool closed = false;
    const bool answered = attempt(bus, proxy, [&](sdbus::IProxy& p) {
        p.callMethod("Clamshell")
            .onInterface(kMachineInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .storeResultsTo(present, closed);
    });
    if (!answered) return std::nullopt;
    return std::pair{present, closed};
}

}  // namespace

IoObject VirtualMacSystemInfo::registryEntryFromPath(std::string_view path) {
    if (path != kRootDomainPath) return 0;
    const auto state = clamshell(bus_, calls_.get());
    if (!state || !state->first) return 0;
    std::lock_guard lock(mutex_);
    ++rootDomainReferences_;
    return kRootDomainEntry;
}

std::optional<PlistValue> VirtualMacSystemInfo::registryEntryProperty(IoObject entry, std::string_view key) {
    {
        std::lock_guard lock(mutex_);
        if (entry != kRootDomainEntry || rootDomainReferences_ == 0) return std::nullopt;
    }
    if (key != "AppleClamshellState") return std::nullopt;
    const auto state = clamshell(bus_, calls_.get());
    if (!state || !state->first) return std::nullopt;
    return PlistValue(state->second);
}

KernReturn VirtualMacSystemInfo::objectRelease(IoObject object) {
    std::lock_guard lock(mutex_);
    if (object == 0) return kKernSuccess;
    if (object != kRootDomainEntry || rootDomainReferences_ == 0) return kKernInvalidName;
    --rootDomainReferences_;
    return kKernSuccess;
}

void VirtualMacSystemInfo::addClamshellChangeNotification(std::function<void()> changed) {
    if (!changed) return;
    std::lock_guard lock(mutex_);
    clamshellObservers_.push_back(std::move(changed));
}

std::optional<std::string> VirtualMacSystemInfo::consoleUser() {
    bool present = false;
    std::string name;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("ConsoleUser")
            .onInterface(kMachineInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .storeResultsTo(present, name);
    });
    if (!answered || !present) return std::nullopt;
    return name;
}

std::uint32_t VirtualMacSystemInfo::effectiveUserId() { return static_cast<std::uint32_t>(::geteuid()); }

// --- Workspace ---

VirtualMacWorkspace::VirtualMacWorkspace(Bus& bus, RunLoop& loop)
    : loop_(loop), bus_(bus), calls_(makeProxy(bus.callConnection())), signals_(makeProxy(bus.connection())) {
    sleepRelease_->bus = &bus;
    sleepRelease_->proxy = calls_.get();
    auto deliver = [this](std::vector<std::function<void()>> VirtualMacWorkspace::*observers, bool holdsSleep) {
        return [this, observers, holdsSleep](sdbus::Signal&) {
            std::vector<std::function<void()>> copy;
            {
                std::lock_guard lock(mutex_);
                copy = this->*observers;
            }
            if (copy.empty()) return;
            std::shared_ptr<SleepRelease> release = holdsSleep ? sleepRelease_ : nullptr;
            loop_.async([copy = std::move(copy), release = std::move(release)] {
                for (const auto& observer : copy) observer();
                // The machine sleeps once the observers are done, as it waits for those of
                // NSWorkspace's will-sleep notification.
                if (!release) return;
                std::lock_guard lock(release->mutex);
                attempt(*release->bus, release->proxy, [](sdbus::IProxy& proxy) {
                    proxy.callMethod("AllowSleep").onInterface(kMachineInterface).withTimeout(kVirtualMacCallTimeout);
                });
            });
        };
    };
    subscribe(signals_.get(), "WillSleep", deliver(&VirtualMacWorkspace::willSleep_, true));
    subscribe(signals_.get(), "DidWake", deliver(&VirtualMacWorkspace::didWake_, false));
    wake_ = finish(signals_.get());
}

VirtualMacWorkspace::~VirtualMacWorkspace() {
    std::lock_guard lock(sleepRelease_->mutex);
    sleepRelease_->proxy = nullptr;
}

void VirtualMacWorkspace::addWillSleepObserver(std::function<void()> observer) {
    if (!observer) return;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = willSleep_.empty();
        willSleep_.push_back(std::move(observer));
    }
    // From now on the machine waits for this process before it sleeps.
    if (first) {
        attempt(bus_, calls_.get(), [](sdbus::IProxy& proxy) {
            proxy.callMethod("ObserveSleep").onInterface(kMachineInterface).withTimeout(kVirtualMacCallTimeout);
        });
    }
}

void VirtualMacWorkspace::addDidWakeObserver(std::function<void()> observer) {
    if (!observer) return;
    std::lock_guard lock(mutex_);
    didWake_.push_back(std::move(observer));
}

std::vector<RunningApplication> VirtualMacWorkspace::runningApplications() {
    std::vector<sdbus::Struct<bool, std::string>> entries;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("RunningApplications")
            .onInterface(kMachineInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .storeResultsTo(entries);
    });
    std::vector<RunningApplication> applications;
    if (!answered) return applications;
    applications.reserve(entries.size());
    for (const auto& entry : entries) {
        const bool hasIdentifier = std::get<0>(entry);
        applications.push_back(
            RunningApplication{hasIdentifier ? std::optional<std::string>(std::get<1>(entry)) : std::nullopt});
    }
    return applications;
}

void VirtualMacWorkspace::openRequest(std::string_view path, bool hides, bool viaOpenApplication,
                                      std::uint32_t options) {
    // The platform calls give no result to the caller either; a lost request is just lost.
    attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("OpenApplication")
            .onInterface(kMachineInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .withArguments(std::string(path), hides, viaOpenApplication, options);
    });
}

void VirtualMacWorkspace::openApplication(std::string_view path, bool hides) { openRequest(path, hides, true, 0); }

void VirtualMacWorkspace::launchApplication(std::string_view path, std::uint32_t options) {
    openRequest(path, (options & kWorkspaceLaunchAndHide) != 0, false, options);
}

OperatingSystemVersion VirtualMacWorkspace::operatingSystemVersion() {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("OperatingSystemVersion")
            .onInterface(kMachineInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .storeResultsTo(major, minor, patch);
    });
    if (!answered) return {};
    return OperatingSystemVersion{static_cast<long>(major), static_cast<long>(minor), static_cast<long>(patch)};
}

// --- Displays ---

VirtualMacDisplays::VirtualMacDisplays(Bus& bus, RunLoop& loop)
    : loop_(loop), bus_(bus), calls_(makeProxy(bus.callConnection())), signals_(makeProxy(bus.connection())) {
    subscribe(signals_.get(), "DisplayReconfigured", [this](sdbus::Signal& signal) {
        std::uint32_t display = 0;
        std::uint32_t flags = 0;
        signal >> display >> flags;
        std::vector<Registration> registrations;
        {
            std::lock_guard lock(mutex_);
            registrations = registrations_;
        }
        if (registrations.empty()) return;
        loop_.async([registrations = std::move(registrations), display, flags] {
            for (const auto& r : registrations) r.callback(display, flags, r.userInfo);
        });
    });
    wake_ = finish(signals_.get());
}

std::size_t VirtualMacDisplays::screenCount() {
    std::uint32_t count = 0;
    const bool answered = attempt(bus_, calls_.get(), [&](sdbus::IProxy& proxy) {
        proxy.callMethod("ScreenCount")
            .onInterface(kMachineInterface)
            .withTimeout(kVirtualMacCallTimeout)
            .storeResultsTo(count);
    });
    return answered ? count : 0;
}

int VirtualMacDisplays::registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) {
    // kCGErrorIllegalArgument, as CGDisplayRegisterReconfigurationCallback answers a null callback.
    if (callback == nullptr) return 1001;
    std::lock_guard lock(mutex_);
    registrations_.push_back(Registration{callback, userInfo});
    return 0;
}

}  // namespace wattkeeper::linux_backend
