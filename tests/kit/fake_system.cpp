#include "tests/kit/fake_system.h"

#include <cstring>
#include <utility>

namespace wattkeeper::testkit {

namespace {
constexpr IoObject kRootDomainEntry = 0x2001;
}

void FakeSystemInfo::setModel(std::optional<std::string> model) {
    std::lock_guard lock(mutex_);
    model_ = std::move(model);
}

void FakeSystemInfo::setRootDomainPresent(bool present) {
    std::lock_guard lock(mutex_);
    rootDomain_ = present;
}

void FakeSystemInfo::setClamshellState(std::optional<PlistValue> state) {
    std::lock_guard lock(mutex_);
    clamshell_ = std::move(state);
}

void FakeSystemInfo::moveLid(bool closed) {
    std::function<void()> changed;
    {
        std::lock_guard lock(mutex_);
        clamshell_ = PlistValue(closed);
        changed = clamshellChanged_;
    }
    if (changed) changed();
}

void FakeSystemInfo::duringNextClamshellRead(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    duringClamshellRead_ = std::move(hook);
}

void FakeSystemInfo::addClamshellChangeNotification(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    clamshellChanged_ = std::move(changed);
}

void FakeSystemInfo::setConsoleUser(std::optional<std::string> user) {
    std::lock_guard lock(mutex_);
    consoleUser_ = std::move(user);
}

void FakeSystemInfo::setEffectiveUserId(std::uint32_t uid) {
    std::lock_guard lock(mutex_);
    uid_ = uid;
}

std::size_t FakeSystemInfo::registryLookups() const {
    std::lock_guard lock(mutex_);
    return lookups_;
}

std::size_t FakeSystemInfo::openRegistryEntries() const {
    std::lock_guard lock(mutex_);
    return openEntries_;
}

int FakeSystemInfo::sysctlByName(std::string_view name, void* buffer, std::size_t* size) {
    std::lock_guard lock(mutex_);
    if (name != "hw.model" || !model_ || !size) return -1;
    const std::size_t needed = model_->size() + 1;
    if (!buffer) {
        *size = needed;
        return 0;
    }
    if (*size < needed) return -1;
    std::memcpy(buffer, model_->c_str(), needed);
    *size = needed;
    return 0;
}

IoObject FakeSystemInfo::registryEntryFromPath(std::string_view path) {
    std::lock_guard lock(mutex_);
    ++lookups_;
    if (!rootDomain_ || path != "IOPower:/IOPowerConnection/IOPMrootDomain") return 0;
    ++openEntries_;
    return kRootDomainEntry;
}

std::optional<PlistValue> FakeSystemInfo::registryEntryProperty(IoObject entry, std::string_view key) {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        if (entry != kRootDomainEntry || key != "AppleClamshellState") return std::nullopt;
        hook = std::exchange(duringClamshellRead_, nullptr);
    }
    if (hook) hook();
    std::lock_guard lock(mutex_);
    return clamshell_;
}

KernReturn FakeSystemInfo::objectRelease(IoObject object) {
    std::lock_guard lock(mutex_);
    if (object != kRootDomainEntry || openEntries_ == 0) return 15;  // invalid name
    --openEntries_;
    return kKernSuccess;
}

std::optional<std::string> FakeSystemInfo::consoleUser() {
    std::lock_guard lock(mutex_);
    return consoleUser_;
}

std::uint32_t FakeSystemInfo::effectiveUserId() {
    std::lock_guard lock(mutex_);
    return uid_;
}

void FakePowerSources::setSources(std::optional<PowerSourceList> sources) {
    std::lock_guard lock(mutex_);
    sources_ = std::move(sources);
}

void FakePowerSources::setRegistrationResult(KernReturn result) {
    std::lock_guard lock(mutex_);
    result_ = result;
}

void FakePowerSources::notify(std::uint32_t messageType) {
    InterestCallback callback;
    {
        std::lock_guard lock(mutex_);
        callback = callback_;
    }
    if (callback) callback(messageType);
}

std::size_t FakePowerSources::registrations() const {
    std::lock_guard lock(mutex_);
    return registrations_;
}

std::size_t FakePowerSources::snapshots() const {
    std::lock_guard lock(mutex_);
    return snapshots_;
}

std::optional<PowerSourceList> FakePowerSources::copyPowerSources() {
    std::lock_guard lock(mutex_);
    ++snapshots_;
    return sources_;
}

KernReturn FakePowerSources::addGeneralInterestNotification(InterestCallback callback) {
    std::lock_guard lock(mutex_);
    ++registrations_;
    // A failed registration delivers nothing, ever.
    if (result_ == kKernSuccess) callback_ = std::move(callback);
    return result_;
}

PlistDictionary batteryDescription(std::int64_t currentCapacity, bool onAdapter) {
    return PlistDictionary{
        {"Battery Provides Time Remaining", true},
        {"BatteryHealth", "Good"},
        {"Current", onAdapter ? 0 : -850},
        {"Current Capacity", currentCapacity},
        {"DesignCycleCount", 1000},
        {"Hardware Serial Number", "D8651230ABCDEFG"},
        {"Is Charging", false},
        {"Is Finishing Charge", false},
        {"Is Present", true},
        {"LPM Active", false},
        {"Max Capacity", 100},
        {"Name", "InternalBattery-0"},
        {"Optimized Battery Charging Engaged", 0},
        {"Power Source ID", 4653155},
        {"Power Source State", onAdapter ? "AC Power" : "Battery Power"},
        {"Time to Empty", onAdapter ? 0 : 312},
        {"Time to Full Charge", 0},
        {"Transport Type", "Internal"},
        {"Type", "InternalBattery"},
    };
}

}  // namespace wattkeeper::testkit
