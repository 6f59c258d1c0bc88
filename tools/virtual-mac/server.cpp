#include "tools/virtual-mac/server.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>
#include <utility>

#include <asio.hpp>

#include "platform/linux/virtual_mac_bus.h"
#include "platform/smc_keys.h"
#include "tools/virtual-mac/launchd.h"

namespace wattkeeper::virtual_mac {

namespace {

namespace fs = std::filesystem;

constexpr const char* kInvalidArgument = "org.wattkeeper.VirtualMac.Error.InvalidArgument";
constexpr const char* kFailed = "org.wattkeeper.VirtualMac.Error.Failed";
constexpr std::size_t kMaxDisplays = 16;
constexpr double kMaxTimeScale = 1e6;

// Where the driver's 80-byte record keeps the key (a four-character code in the host's byte
// order) and the command.
constexpr std::size_t kRecordSize = 80;
constexpr std::size_t kRecordKeyOffset = 0;
constexpr std::size_t kRecordCommandOffset = 42;
constexpr std::uint8_t kReadBytesCommand = 5;
constexpr std::uint8_t kWriteBytesCommand = 6;
constexpr std::uint8_t kReadKeyInfoCommand = 9;

bool isKeyName(const std::string& key) { return key.size() == 4; }

sim::BatterySettings settingsFrom(const ServeOptions& options) {
    sim::BatterySettings settings;
    settings.charge = options.charge;
    settings.adapter = !options.unplugged;
    settings.model = options.model;
    settings.consoleUser = options.user;
    settings.displays = options.displays;
    return settings;
}

// The Apple-silicon notebooks, whose identifiers no longer say what the machine is.
constexpr std::string_view kNotebookModels[] = {
    "Mac14,2", "Mac14,5", "Mac14,6", "Mac14,7", "Mac14,9",  "Mac14,10", "Mac14,15", "Mac15,3",
    "Mac15,6", "Mac15,7", "Mac15,8", "Mac15,9", "Mac15,10", "Mac15,11", "Mac15,12", "Mac15,13",
    "Mac16,1", "Mac16,5", "Mac16,6", "Mac16,7", "Mac16,8",  "Mac16,12", "Mac16,13",
};

// A notebook has a lid (the root power domain's clamshell state); any other model is a desktop.
bool isNotebook(const std::string& model) {
    return model.rfind("MacBook", 0) == 0 || std::ranges::find(kNotebookModels, model) != std::end(kNotebookModels);
}

bool isLoggedInUser(const std::string& user) { return !user.empty() && user != "loginwindow"; }

}  // namespace

void prepareRoot(const fs::path& root, const std::string& user) {
    fs::create_directories(root / "Library");
    fs::create_directories(root / "Users");
    if (isLoggedInUser(user)) fs::create_directories(root / "Users" / user);
}

Server::Server(sdbus::IConnection& connection, ServeOptions options, Launchd* launchd, asio::io_context* io)
    : connection_(connection),
      launchd_(launchd),
      io_(io),
      options_(std::move(options)),
      store_(sim::SmcKeyStore::macBook(options_.firmware)),
      driver_(store_),
      model_(store_, settingsFrom(options_)),
      lastSync_(std::chrono::steady_clock::now()),
      runningApplications_{AppEntry{true, "com.apple.loginwindow"}, AppEntry{true, "com.apple.dock"},
                           AppEntry{true, "com.apple.finder"}, AppEntry{true, "com.apple.systemuiserver"},
                           AppEntry{false, ""}} {
    options_.root = fs::absolute(options_.root).lexically_normal();
    for (std::size_t i = 0; i < options_.displays; ++i) displays_.push_back(nextDisplay_++);
    if (options_.trace) startTraceLocked(*options_.trace);

    object_ = sdbus::createObject(connection_, linux_backend::kVirtualMacPath);
    registerSmc();
    registerMachine();
    registerControl();
    if (launchd_ && io_) registerLaunchd();
    object_->finishRegistration();

    // The kernel closes a task's connections when the task dies; a client that leaves the bus
    // is the same here.
    busDriver_ = sdbus::createProxy(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    busDriver_->uponSignal("NameOwnerChanged")
        .onInterface("org.freedesktop.DBus")
        .call([this](const std::string& name, const std::string& /*oldOwner*/, const std::string& newOwner) {
            if (newOwner.empty() && name.rfind(':', 0) == 0) {
                closeConnectionsOf(name);
                letSleep(name, true);
            }
        });
    busDriver_->finishRegistration();
}

Server::~Server() {
    busDriver_.reset();
    object_.reset();
}

void Server::onQuit(std::function<void()> quit) {
    std::lock_guard lock(mutex_);
    quit_ = std::move(quit);
}

void Server::tick() {
    Signals out;
    std::vector<sdbus::Result<>> answered;
    {
        std::lock_guard lock(mutex_);
        syncLocked(out);
        completeSleepLocked(out, answered);
        // The store keeps every request for tests of the store; a long run needs none of them.
        store_.clearHistory();
    }
    emit(out);
    for (const auto& waiting : answered) waiting.returnResults();
}

void Server::letSleep(const std::string& observer, bool gone) {
    Signals out;
    std::vector<sdbus::Result<>> answered;
    {
        std::lock_guard lock(mutex_);
        if (gone) sleepObservers_.erase(observer);
        if (!pendingSleep_) return;
        pendingSleep_->holding.erase(observer);
        syncLocked(out);
        completeSleepLocked(out, answered);
        settleLocked(out);
    }
    emit(out);
    for (const auto& waiting : answered) waiting.returnResults();
}

void Server::completeSleepLocked(Signals& out, std::vector<sdbus::Result<>>& answered) {
    if (!pendingSleep_) return;
    if (!pendingSleep_->holding.empty() && std::chrono::steady_clock::now() < pendingSleep_->deadline) return;
    if (model_.setAsleep(true)) queueGeneralInterest(out);
    for (auto& waiting : pendingSleep_->waiting) answered.push_back(std::move(waiting));
    pendingSleep_.reset();
}

void Server::syncLocked(Signals& out) {
    const auto now = std::chrono::steady_clock::now();
    const double left = std::chrono::duration<double>(now - lastSync_).count() * options_.timeScale;
    lastSync_ = now;
    const double nominalStep = std::chrono::duration<double>(kTick).count() * options_.timeScale;
    if (sim::advanceOnGrid(model_, left, nominalStep, [this] { recordTraceLocked(); })) queueGeneralInterest(out);
}

void Server::settleLocked(Signals& out) {
    if (model_.advance(0.0)) queueGeneralInterest(out);
    recordTraceLocked();
}

void Server::recordTraceLocked() {
    if (!trace_) return;
    if (auto row = trace_->row(model_.status())) {
        traceFile_ << *row << '\n';
        traceFile_.flush();
    }
}

void Server::startTraceLocked(const fs::path& path) {
    std::ofstream file(path, std::ios::trunc);
    if (!file) throw sdbus::Error(kFailed, "cannot write the trace file " + path.string());
    file << sim::BatteryTrace::header() << '\n';
    traceFile_ = std::move(file);
    trace_.emplace();
    recordTraceLocked();
}

void Server::queueGeneralInterest(Signals& out) {
    out.push_back([this] {
        object_->emitSignal("GeneralInterest")
            .onInterface(linux_backend::kMachineInterface)
            .withArguments(sim::kBatteryStatusChangedMessage);
    });
}

void Server::queueDisplayChange(Signals& out, std::uint32_t display, std::uint32_t changeFlag) {
    // As CoreGraphics does: every display online before the change hears that a configuration
    // begins, then the display that came or went is named with its flag.
    for (std::uint32_t online : displays_) {
        out.push_back([this, online] {
            object_->emitSignal("DisplayReconfigured")
                .onInterface(linux_backend::kMachineInterface)
                .withArguments(online, kDisplayBeginConfigurationFlag);
        });
    }
    out.push_back([this, display, changeFlag] {
        object_->emitSignal("DisplayReconfigured")
            .onInterface(linux_backend::kMachineInterface)
            .withArguments(display, changeFlag);
    });
}

void Server::emit(const Signals& signals) {
    for (const auto& send : signals) {
        try {
            send();
        } catch (const sdbus::Error&) {
            // A signal nobody can receive is lost, as on a bus that is going away.
        }
    }
}

std::string Server::callerLocked() const {
    const sdbus::Message* message = object_->getCurrentlyProcessedMessage();
    return message ? message->getSender() : std::string();
}

IoObject Server::serviceLocked() {
    const auto matching = driver_.serviceMatching("AppleSMC");
    if (!matching) return 0;
    IoObject iterator = 0;
    if (driver_.getMatchingServices(*matching, &iterator) != kKernSuccess) return 0;
    const IoObject service = driver_.iteratorNext(iterator);
    driver_.objectRelease(iterator);
    return service;
}

std::tuple<std::int32_t, bool> Server::getMatchingServices() {
    std::lock_guard lock(mutex_);
    const auto matching = driver_.serviceMatching("AppleSMC");
    if (!matching) return {kDriverError, false};
    IoObject iterator = 0;
    const KernReturn kr = driver_.getMatchingServices(*matching, &iterator);
    if (kr != kKernSuccess) return {kr, false};
    const bool present = driver_.iteratorNext(iterator) != 0;
    driver_.objectRelease(iterator);
    return {kKernSuccess, present};
}

std::tuple<std::int32_t, std::uint32_t> Server::open() {
    std::lock_guard lock(mutex_);
    IoConnect connect = 0;
    const KernReturn kr = driver_.serviceOpen(serviceLocked(), 0, &connect);
    if (kr != kKernSuccess) return {kr, 0};
    connectionOwners_[connect] = callerLocked();
    return {kKernSuccess, connect};
}

std::int32_t Server::close(std::uint32_t connect) {
    std::lock_guard lock(mutex_);
    // A connection is a port name of the task that opened it; in any other task the same number
    // names nothing.
    const auto owner = connectionOwners_.find(connect);
    if (owner == connectionOwners_.end() || owner->second != callerLocked()) return kMachSendInvalidDest;
    connectionOwners_.erase(owner);
    return driver_.serviceClose(connect);
}

std::tuple<std::int32_t, std::vector<std::uint8_t>> Server::call(std::uint32_t connect, std::uint32_t selector,
                                                                 const std::vector<std::uint8_t>& input) {
    Signals out;
    std::tuple<std::int32_t, std::vector<std::uint8_t>> result;
    {
        std::lock_guard lock(mutex_);
        const auto owner = connectionOwners_.find(connect);
        if (owner == connectionOwners_.end() || owner->second != callerLocked()) return {kMachSendInvalidDest, {}};
        // A write takes effect at the moment it arrives: time up to now runs under the old keys.
        syncLocked(out);
        if (const KernReturn fault = faultForLocked(input); fault != kKernSuccess) {
            // The kernel refused the call: the controller never saw it.
            result = {fault, std::vector<std::uint8_t>(kRecordSize, 0)};
        } else {
            std::vector<std::uint8_t> output(kRecordSize, 0);
            std::size_t outputSize = output.size();
            const KernReturn kr =
                driver_.callStructMethod(connect, selector, input.data(), input.size(), output.data(), &outputSize);
            // A call the driver refuses for its shape never touches the caller's buffer.
            if (kr == kDriverBadArgument) {
                output.clear();
            } else {
                output.resize(outputSize);
            }
            result = {kr, std::move(output)};
        }
        settleLocked(out);
        store_.clearHistory();
    }
    emit(out);
    return result;
}

KernReturn Server::faultForLocked(const std::vector<std::uint8_t>& input) const {
    if (input.size() != kRecordSize) return kKernSuccess;
    std::uint32_t code = 0;
    std::memcpy(&code, input.data() + kRecordKeyOffset, sizeof code);
    std::string key(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) key[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    const std::uint8_t command = input[kRecordCommandOffset];
    const std::map<std::string, KernReturn>* faults = nullptr;
    if (command == kReadBytesCommand || command == kReadKeyInfoCommand) faults = &readFaults_;
    if (command == kWriteBytesCommand) faults = &writeFaults_;
    if (!faults) return kKernSuccess;
    const auto found = faults->find(key);
    return found == faults->end() ? kKernSuccess : found->second;
}

void Server::closeConnectionsOf(const std::string& owner) {
    std::lock_guard lock(mutex_);
    for (auto it = connectionOwners_.begin(); it != connectionOwners_.end();) {
        if (it->second == owner) {
            driver_.serviceClose(it->first);
            it = connectionOwners_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::closeAllConnectionsLocked() {
    for (const auto& [connect, owner] : connectionOwners_) driver_.serviceClose(connect);
    connectionOwners_.clear();
}

void Server::registerSmc() {
    object_->registerMethod("GetMatchingServices")
        .onInterface(linux_backend::kSmcInterface)
        .withOutputParamNames("kr", "present")
        .implementedAs([this] { return getMatchingServices(); });
    object_->registerMethod("Open")
        .onInterface(linux_backend::kSmcInterface)
        .withOutputParamNames("kr", "connect")
        .implementedAs([this] { return open(); });
    object_->registerMethod("Close")
        .onInterface(linux_backend::kSmcInterface)
        .withInputParamNames("connect")
        .withOutputParamNames("kr")
        .implementedAs([this](std::uint32_t connect) { return close(connect); });
    object_->registerMethod("Call")
        .onInterface(linux_backend::kSmcInterface)
        .withInputParamNames("connect", "selector", "input")
        .withOutputParamNames("kr", "output")
        .implementedAs([this](std::uint32_t connect, std::uint32_t selector, const std::vector<std::uint8_t>& input) {
            return call(connect, selector, input);
        });
}

void Server::registerMachine() {
    object_->registerMethod("PowerSources")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("descriptions")
        .implementedAs([this] {
            Signals out;
            std::vector<linux_backend::BusDictionary> sources;
            {
                std::lock_guard lock(mutex_);
                syncLocked(out);
                sources.push_back(linux_backend::toMachineBus(model_.description()));
            }
            emit(out);
            return sources;
        });
    object_->registerSignal("GeneralInterest")
        .onInterface(linux_backend::kMachineInterface)
        .withParameters<std::uint32_t>("messageType");
    object_->registerMethod("Model")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("model")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            return model_.model();
        });
    object_->registerMethod("Clamshell")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("present", "closed")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            const bool present = isNotebook(model_.model());
            return std::tuple<bool, bool>{present, present && model_.lidClosed()};
        });
    object_->registerSignal("ClamshellStateChange")
        .onInterface(linux_backend::kMachineInterface)
        .withParameters<bool>("closed");
    object_->registerMethod("ConsoleUser")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("present", "name")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            return std::tuple<bool, std::string>{true, model_.consoleUser()};
        });
    object_->registerMethod("RootFolder")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("path")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            return options_.root.string();
        });
    object_->registerMethod("ScreenCount")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("count")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            return static_cast<std::uint32_t>(displays_.size());
        });
    object_->registerSignal("DisplayReconfigured")
        .onInterface(linux_backend::kMachineInterface)
        .withParameters<std::uint32_t, std::uint32_t>("display", "flags");
    object_->registerSignal("WillSleep").onInterface(linux_backend::kMachineInterface);
    object_->registerSignal("DidWake").onInterface(linux_backend::kMachineInterface);
    // A process that observes sleep holds it until it says it is done, as NSWorkspace lets the
    // observers of its will-sleep notification do.
    object_->registerMethod("ObserveSleep").onInterface(linux_backend::kMachineInterface).implementedAs([this] {
        std::lock_guard lock(mutex_);
        sleepObservers_.insert(callerLocked());
    });
    object_->registerMethod("AllowSleep").onInterface(linux_backend::kMachineInterface).implementedAs([this] {
        const std::string caller = [this] {
            std::lock_guard lock(mutex_);
            return callerLocked();
        }();
        letSleep(caller);
    });
    object_->registerMethod("RunningApplications")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("applications")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            return runningApplications_;
        });
    object_->registerMethod("OpenApplication")
        .onInterface(linux_backend::kMachineInterface)
        .withInputParamNames("path", "hides", "viaOpenApplication", "options")
        .implementedAs([this](const std::string& path, bool hides, bool viaOpenApplication, std::uint32_t options) {
            std::lock_guard lock(mutex_);
            openRequests_.push_back(OpenRequest{path, hides, viaOpenApplication, options});
        });
    object_->registerMethod("OperatingSystemVersion")
        .onInterface(linux_backend::kMachineInterface)
        .withOutputParamNames("major", "minor", "patch")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            return std::tuple<std::int64_t, std::int64_t, std::int64_t>{options_.os.major, options_.os.minor,
                                                                        options_.os.patch};
        });
}

void Server::registerControl() {
    using Change = void (Server::*)(Signals&);
    const std::pair<const char*, Change> changes[] = {
        {"Plug", &Server::plugLocked},
        {"Unplug", &Server::unplugLocked},
        {"AddDisplay", &Server::addDisplayLocked},
        {"RemoveDisplay", &Server::removeDisplayLocked},
        {"StopTrace", &Server::stopTraceLocked},
    };
    for (const auto& [member, apply] : changes) {
        object_->registerMethod(member).onInterface(linux_backend::kControlInterface).implementedAs(changing(apply));
    }
    object_->registerMethod("SetLid")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("closed")
        .implementedAs(changing(&Server::setLidLocked));
    object_->registerMethod("SetCharge")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("percent")
        .implementedAs(changing(&Server::setChargeLocked));
    object_->registerMethod("SetTimeScale")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("factor")
        .implementedAs(changing(&Server::setTimeScaleLocked));
    object_->registerMethod("StartTrace")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("path")
        .implementedAs(changing(&Server::startTraceRequestLocked));
    object_->registerMethod("SetConsoleUser")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("name")
        .implementedAs(changing(&Server::setConsoleUserLocked));
    object_->registerMethod("SetSmcKeyPresent")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("key", "present")
        .implementedAs(changing(&Server::setSmcKeyPresentLocked));
    object_->registerMethod("SetFirmware")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("name")
        .implementedAs(changing(&Server::setFirmwareLocked));
    object_->registerMethod("Sleep")
        .onInterface(linux_backend::kControlInterface)
        .implementedAs([this](sdbus::Result<>&& result) { sleep(std::move(result)); });
    object_->registerMethod("Wake").onInterface(linux_backend::kControlInterface).implementedAs([this] { wake(); });
    object_->registerMethod("Status")
        .onInterface(linux_backend::kControlInterface)
        .withOutputParamNames("status")
        .implementedAs([this] { return status(); });
    object_->registerMethod("SetRunningApplications")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("bundleIdentifiers")
        .implementedAs([this](const std::vector<std::string>& identifiers) {
            std::lock_guard lock(mutex_);
            runningApplications_.clear();
            // An empty identifier stands for an application without one.
            for (const std::string& id : identifiers) runningApplications_.push_back(AppEntry{!id.empty(), id});
        });
    object_->registerMethod("OpenRequests")
        .onInterface(linux_backend::kControlInterface)
        .withOutputParamNames("requests")
        .implementedAs([this] {
            std::lock_guard lock(mutex_);
            return openRequests_;
        });
    // Faults, for tests: the kernel refusing calls on a key, a key gone from the controller, the
    // controller's connections dropped, the whole service gone.
    object_->registerMethod("FailSmcKey")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("key", "operation", "code")
        .implementedAs([this](const std::string& key, const std::string& operation, std::int32_t code) {
            failSmcKey(key, operation, code);
        });
    object_->registerMethod("CloseSmcConnections").onInterface(linux_backend::kControlInterface).implementedAs([this] {
        std::lock_guard lock(mutex_);
        closeAllConnectionsLocked();
    });
    object_->registerMethod("SetSmcAvailable")
        .onInterface(linux_backend::kControlInterface)
        .withInputParamNames("available")
        .implementedAs([this](bool available) {
            std::lock_guard lock(mutex_);
            driver_.setServicePresent(available);
            // A service that goes away takes its user clients with it.
            if (!available) closeAllConnectionsLocked();
        });
    object_->registerMethod("Quit").onInterface(linux_backend::kControlInterface).implementedAs([this] {
        std::function<void()> quit;
        {
            std::lock_guard lock(mutex_);
            quit = quit_;
        }
        if (quit) quit();
    });
}

void Server::change(const std::function<void(Signals&)>& apply) {
    Signals out;
    std::exception_ptr refusal;
    {
        std::lock_guard lock(mutex_);
        syncLocked(out);
        try {
            apply(out);
        } catch (const sdbus::Error&) {
            refusal = std::current_exception();
        }
        settleLocked(out);
    }
    // What time did before a refused request still goes out.
    emit(out);
    if (refusal) std::rethrow_exception(refusal);
}

void Server::plugLocked(Signals& out) {
    if (model_.setAdapter(true)) queueGeneralInterest(out);
}

void Server::unplugLocked(Signals& out) {
    if (model_.setAdapter(false)) queueGeneralInterest(out);
}

void Server::setLidLocked(Signals& out, bool closed) {
    if (model_.lidClosed() == closed) return;
    model_.setLidClosed(closed);
    if (!isNotebook(model_.model())) return;
    out.push_back([this, closed] {
        object_->emitSignal("ClamshellStateChange").onInterface(linux_backend::kMachineInterface).withArguments(closed);
    });
}

void Server::setChargeLocked(Signals& out, double percent) {
    if (!(percent >= 0.0 && percent <= 100.0)) {
        throw sdbus::Error(kInvalidArgument, "the charge is a percent from 0 to 100");
    }
    if (model_.setCharge(percent)) queueGeneralInterest(out);
}

void Server::addDisplayLocked(Signals& out) {
    if (displays_.size() >= kMaxDisplays) throw sdbus::Error(kFailed, "no more displays can be attached");
    const std::uint32_t display = nextDisplay_++;
    queueDisplayChange(out, display, kDisplayAddFlag);
    displays_.push_back(display);
    model_.setDisplays(displays_.size());
}

void Server::removeDisplayLocked(Signals& out) {
    if (displays_.empty()) throw sdbus::Error(kFailed, "no display is attached");
    const std::uint32_t display = displays_.back();
    queueDisplayChange(out, display, kDisplayRemoveFlag);
    displays_.pop_back();
    model_.setDisplays(displays_.size());
}

void Server::setTimeScaleLocked(Signals&, double factor) {
    if (!(factor > 0.0 && factor <= kMaxTimeScale)) {
        throw sdbus::Error(kInvalidArgument, "the time scale is a factor above 0 and at most 1000000");
    }
    options_.timeScale = factor;
}

void Server::startTraceRequestLocked(Signals&, const std::string& path) { startTraceLocked(path); }

void Server::stopTraceLocked(Signals&) {
    recordTraceLocked();
    trace_.reset();
    traceFile_.close();
}

void Server::setConsoleUserLocked(Signals&, const std::string& name) {
    if (name.find('/') != std::string::npos || name == "." || name == "..") {
        throw sdbus::Error(kInvalidArgument, "a user's short name has no slash");
    }
    std::error_code error;
    if (isLoggedInUser(name)) fs::create_directories(options_.root / "Users" / name, error);
    if (error) throw sdbus::Error(kFailed, "cannot make the user's home folder: " + error.message());
    model_.setConsoleUser(name);
}

void Server::setSmcKeyPresentLocked(Signals&, const std::string& key, bool present) {
    if (!isKeyName(key) || key == "#KEY") {
        throw sdbus::Error(kInvalidArgument, "an SMC key has four characters and is not #KEY");
    }
    if (present) {
        const auto removed = removedKeys_.find(key);
        if (removed == removedKeys_.end()) return;
        store_.addKey(key, removed->second.type, removed->second.value, removed->second.writable);
        removedKeys_.erase(removed);
        return;
    }
    const auto info = store_.key(key);
    if (!info) {
        if (removedKeys_.contains(key)) return;
        throw sdbus::Error(kFailed, "the SMC has no key " + key);
    }
    removedKeys_[key] = *info;
    store_.removeKey(key);
}

// As an update of the controller's firmware: its user clients go, its charge keys are the new
// generation's, holding their off values.
void Server::setFirmwareLocked(Signals&, const std::string& name) {
    const auto firmware = sim::firmwareNamed(name);
    if (!firmware) throw sdbus::Error(kInvalidArgument, "the firmware is ch0b, chte or placeholders");
    closeAllConnectionsLocked();
    removedKeys_.clear();
    store_.installChargeKeys(*firmware);
    options_.firmware = *firmware;
}

// Answers once the machine is asleep: after every process observing sleep has let it go, or the
// time a process may hold it has passed.
void Server::sleep(sdbus::Result<>&& result) {
    Signals out;
    std::vector<sdbus::Result<>> answered;
    {
        std::lock_guard lock(mutex_);
        syncLocked(out);
        if (!model_.asleep() && !pendingSleep_) {
            out.push_back([this] {
                object_->emitSignal("WillSleep").onInterface(linux_backend::kMachineInterface).withArguments();
            });
            pendingSleep_.emplace(
                PendingSleep{sleepObservers_, std::chrono::steady_clock::now() + kSleepHoldLimit, {}});
        }
        if (pendingSleep_) {
            pendingSleep_->waiting.push_back(std::move(result));
            completeSleepLocked(out, answered);
        } else {
            answered.push_back(std::move(result));
        }
        settleLocked(out);
    }
    emit(out);
    for (const auto& waiting : answered) waiting.returnResults();
}

void Server::wake() {
    std::vector<sdbus::Result<>> answered;
    change([this, &answered](Signals& out) {
        if (pendingSleep_) {
            // Woken before it slept: the sleep is called off, and those who prepared for it hear
            // the wake.
            answered = std::move(pendingSleep_->waiting);
            pendingSleep_.reset();
        } else if (!model_.asleep()) {
            return;
        }
        if (model_.setAsleep(false)) queueGeneralInterest(out);
        out.push_back(
            [this] { object_->emitSignal("DidWake").onInterface(linux_backend::kMachineInterface).withArguments(); });
    });
    for (const auto& waiting : answered) waiting.returnResults();
}

linux_backend::BusDictionary Server::status() {
    Signals out;
    linux_backend::BusDictionary status;
    {
        std::lock_guard lock(mutex_);
        syncLocked(out);
        const sim::MachineStatus s = model_.status();
        status["charge"] = s.charge;
        status["capacity"] = static_cast<std::int32_t>(s.capacity);
        status["adapter"] = s.adapter;
        // A key the controller does not have in working order (taken away by SetSmcKeyPresent, of
        // another generation, a placeholder) is left out.
        for (const char* key : {kChargingKey, kChargingSecondKey, kDischargingKey, "CHTE", "CHIE"}) {
            const auto info = store_.key(key);
            if (info && !info->value.empty() && !info->privileged) status[key] = info->value.front();
        }
        status["firmware"] = std::string(sim::firmwareName(options_.firmware));
        status["lid"] = std::string(s.lidClosed ? "closed" : "open");
        status["asleep"] = s.asleep;
        status["state"] = std::string(sim::chargeStateName(s.state));
        status["time"] = s.seconds;
        status["timeScale"] = options_.timeScale;
        status["displays"] = static_cast<std::uint32_t>(s.displays);
        status["model"] = s.model;
        status["user"] = s.consoleUser;
        status["tracing"] = trace_.has_value();
    }
    emit(out);
    return status;
}

void Server::failSmcKey(const std::string& key, const std::string& operation, std::int32_t code) {
    if (!isKeyName(key)) throw sdbus::Error(kInvalidArgument, "an SMC key has four characters");
    if (operation != "read" && operation != "write") {
        throw sdbus::Error(kInvalidArgument, "the operation is read or write");
    }
    std::lock_guard lock(mutex_);
    auto& faults = operation == "read" ? readFaults_ : writeFaults_;
    if (code == kKernSuccess) {
        faults.erase(key);
    } else {
        faults[key] = code;
    }
}

}  // namespace wattkeeper::virtual_mac

namespace wattkeeper::virtual_mac {

// launchctl's three requests. launchd's state lives on the io thread; the bus thread only hands
// the requests over, as it must never wait for a thread that may wait for the bus.
void Server::registerLaunchd() {
    using Answer = sdbus::Result<std::int32_t, std::string>;
    // Runs on the io thread; drops the answer once the server (and its connection) is gone.
    const auto answering = [alive = std::weak_ptr<bool>(alive_)](auto& result, const auto&... values) {
        if (!alive.lock()) return;
        try {
            result.returnResults(values...);
        } catch (const sdbus::Error&) {
            // The caller or the bus went meanwhile.
        }
    };
    object_->registerMethod("List")
        .onInterface(linux_backend::kLaunchdInterface)
        .withOutputParamNames("listing")
        .implementedAs([this, answering](sdbus::Result<std::string>&& result) {
            asio::post(*io_, [this, answering, result = std::move(result)]() mutable {
                std::ostringstream text;
                text << "PID\tStatus\tLabel\n";
                for (const JobListing& job : launchd_->list()) {
                    text << (job.pid > 0 ? std::to_string(job.pid) : "-") << '\t' << job.lastExit.value_or(0) << '\t'
                         << job.label << '\n';
                }
                answering(result, text.str());
            });
        });
    object_->registerMethod("Print")
        .onInterface(linux_backend::kLaunchdInterface)
        .withInputParamNames("label")
        .withOutputParamNames("status", "description")
        .implementedAs([this, answering](Answer&& result, std::string label) {
            asio::post(*io_, [this, answering, result = std::move(result), label = std::move(label)]() mutable {
                for (const JobListing& job : launchd_->list()) {
                    if (job.label != label) continue;
                    std::ostringstream text;
                    text << "system/" << label << " = {\n\tstate = "
                         << (job.pid > 0          ? "running"
                             : job.spawnScheduled ? "spawn scheduled"
                                                  : "not running")
                         << '\n';
                    if (job.pid > 0) text << "\tpid = " << job.pid << '\n';
                    if (job.lastExit) text << "\tlast exit code = " << *job.lastExit << '\n';
                    text << "}";
                    answering(result, std::int32_t{0}, text.str());
                    return;
                }
                answering(result, std::int32_t{113}, "Could not find service \"" + label + "\" in domain for system");
            });
        });
    object_->registerMethod("Load")
        .onInterface(linux_backend::kLaunchdInterface)
        .withInputParamNames("path")
        .withOutputParamNames("status", "message")
        .implementedAs([this, answering](Answer&& result, std::string path) {
            asio::post(*io_, [this, answering, result = std::move(result), path = std::move(path)]() mutable {
                const auto [status, message] = launchd_->load(path);
                answering(result, static_cast<std::int32_t>(status), message);
            });
        });
    object_->registerMethod("Unload")
        .onInterface(linux_backend::kLaunchdInterface)
        .withInputParamNames("path")
        .withOutputParamNames("status", "message")
        .implementedAs([this, answering](Answer&& result, std::string path) {
            // The answer waits for the job to stop, in a callback that must be copyable.
            auto answer = std::make_shared<Answer>(std::move(result));
            asio::post(*io_, [this, answering, answer, path = std::move(path)] {
                launchd_->unload(path, [answering, answer](int status, const std::string& message) {
                    answering(*answer, static_cast<std::int32_t>(status), message);
                });
            });
        });
}

}  // namespace wattkeeper::virtual_mac
