#pragma once
// Test doubles for the machine facts and the power-source service.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/power_sources.h"
#include "platform/system_info.h"

namespace wattkeeper::testkit {

// A machine whose model, lid, console user and user id the test sets. Thread-safe: the daemon
// asks from two threads.
class FakeSystemInfo : public SystemInfo {
public:
    void setModel(std::optional<std::string> model);  // nothing: hw.model unknown
    void setRootDomainPresent(bool present);
    void setClamshellState(std::optional<PlistValue> state);  // nothing: no such property
    // Sets the clamshell property and delivers the change message, as a lid that moves does.
    void moveLid(bool closed);
    // Runs `hook` once, at the next read of the clamshell property: something that happens on
    // another thread while an evaluation looks at the lid.
    void duringNextClamshellRead(std::function<void()> hook);
    void setConsoleUser(std::optional<std::string> user);
    void setEffectiveUserId(std::uint32_t uid);
    std::size_t registryLookups() const;
    std::size_t openRegistryEntries() const;

    int sysctlByName(std::string_view name, void* buffer, std::size_t* size) override;
    IoObject registryEntryFromPath(std::string_view path) override;
    std::optional<PlistValue> registryEntryProperty(IoObject entry, std::string_view key) override;
    KernReturn objectRelease(IoObject object) override;
    void addClamshellChangeNotification(std::function<void()> changed) override;
    std::optional<std::string> consoleUser() override;
    std::uint32_t effectiveUserId() override;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> model_ = std::string("MacBookPro16,1");
    bool rootDomain_ = true;
    std::optional<PlistValue> clamshell_ = PlistValue(false);
    std::optional<std::string> consoleUser_ = std::string("anna");
    std::uint32_t uid_ = 0;
    std::size_t lookups_ = 0;
    std::size_t openEntries_ = 0;
    std::function<void()> clamshellChanged_;
    std::function<void()> duringClamshellRead_;
};

// Power sources the test describes, and the interest callback it can fire.
class FakePowerSources : public PowerSources {
public:
    // Nothing: the service hands out no snapshot.
    void setSources(std::optional<PowerSourceList> sources);
    void setRegistrationResult(KernReturn result);
    // Delivers one general-interest message, as the main run loop would.
    void notify(std::uint32_t messageType = 0);
    std::size_t registrations() const;
    std::size_t snapshots() const;

    std::optional<PowerSourceList> copyPowerSources() override;
    KernReturn addGeneralInterestNotification(InterestCallback callback) override;

private:
    mutable std::mutex mutex_;
    std::optional<PowerSourceList> sources_ = PowerSourceList{};
    KernReturn result_ = kKernSuccess;
    InterestCallback callback_;
    std::size_t registrations_ = 0;
    std::size_t snapshots_ = 0;
};

// A battery description with every key a MacBook reports, at the given charge.
PlistDictionary batteryDescription(std::int64_t currentCapacity, bool onAdapter = true);

}  // namespace wattkeeper::testkit
