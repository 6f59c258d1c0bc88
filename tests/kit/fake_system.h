#pragma once
// Test doubles for the machine facts and the power-source service. Thread-safe: the daemon asks
// from two threads.

#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/power_sources.h"
#include "platform/system_info.h"
#include "sim/battery_model.h"

namespace wattkeeper::testkit {

// A machine whose model, lid, console user and user id the test sets.
class FakeSystemInfo : public SystemInfo {
public:
    void setModel(std::optional<std::string> model) { set(model_, std::move(model)); }  // nothing: unknown
    void setRootDomainPresent(bool present) { set(rootDomain_, present); }
    void setClamshellState(std::optional<PlistValue> state) { set(clamshell_, std::move(state)); }  // nothing: none
    void setConsoleUser(std::optional<std::string> user) { set(consoleUser_, std::move(user)); }
    void setEffectiveUserId(std::uint32_t uid) { set(uid_, uid); }
    // Sets the clamshell property and delivers the change message, as a lid that moves does.
    void moveLid(bool closed) {
        setClamshellState(PlistValue(closed));
        if (auto changed = get(clamshellChanged_)) changed();
    }
    // Runs `hook` once, at the next read of the clamshell property: something that happens on
    // another thread while an evaluation looks at the lid.
    void duringNextClamshellRead(std::function<void()> hook) { set(duringClamshellRead_, std::move(hook)); }
    // Root-domain entries handed out and not released.
    std::size_t openRegistryEntries() const { return get(openEntries_); }

    int sysctlByName(std::string_view name, void* buffer, std::size_t* size) override {
        const auto model = get(model_);
        if (name != "hw.model" || !model || !size) return -1;
        const std::size_t needed = model->size() + 1;
        if (buffer && *size < needed) return -1;
        if (buffer) std::memcpy(buffer, model->c_str(), needed);
        *size = needed;
        return 0;
    }
    IoObject registryEntryFromPath(std::string_view path) override {
        std::lock_guard lock(mutex_);
        if (!rootDomain_ || path != "IOPower:/IOPowerConnection/IOPMrootDomain") return 0;
        ++openEntries_;
        return kRootDomainEntry;
    }
    std::optional<PlistValue> registryEntryProperty(IoObject entry, std::string_view key) override {
        if (entry != kRootDomainEntry || key != "AppleClamshellState") return std::nullopt;
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            hook = std::exchange(duringClamshellRead_, nullptr);
        }
        if (hook) hook();
        return get(clamshell_);
    }
    KernReturn objectRelease(IoObject object) override {
        std::lock_guard lock(mutex_);
        if (object != kRootDomainEntry || openEntries_ == 0) return 15;  // invalid name
        --openEntries_;
        return kKernSuccess;
    }
    void addClamshellChangeNotification(std::function<void()> changed) override {
        set(clamshellChanged_, std::move(changed));
    }
    std::optional<std::string> consoleUser() override { return get(consoleUser_); }
    std::uint32_t effectiveUserId() override { return get(uid_); }

private:
    static constexpr IoObject kRootDomainEntry = 0x2001;
    template <class T, class V>
    void set(T& field, V&& value) {
        std::lock_guard lock(mutex_);
        field = std::forward<V>(value);
    }
    template <class T>
    T get(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }

    mutable std::mutex mutex_;
    std::optional<std::string> model_ = std::string("MacBookPro16,1");
    bool rootDomain_ = true;
    std::optional<PlistValue> clamshell_ = PlistValue(false);
    std::optional<std::string> consoleUser_ = std::string("anna");
    std::uint32_t uid_ = 0;
    std::size_t openEntries_ = 0;
    std::function<void()> clamshellChanged_;
    std::function<void()> duringClamshellRead_;
};

// Power sources the test describes, and the interest callback it can fire.
class FakePowerSources : public PowerSources {
public:
    // Nothing: the service hands out no snapshot.
    void setSources(std::optional<PowerSourceList> sources) {
        std::lock_guard lock(mutex_);
        sources_ = std::move(sources);
    }
    // Delivers one general-interest message, as the main run loop would.
    void notify() {
        InterestCallback callback;
        {
            std::lock_guard lock(mutex_);
            callback = callback_;
        }
        if (callback) callback(0);
    }

    std::optional<PowerSourceList> copyPowerSources() override {
        std::lock_guard lock(mutex_);
        return sources_;
    }
    KernReturn addGeneralInterestNotification(InterestCallback callback) override {
        std::lock_guard lock(mutex_);
        callback_ = std::move(callback);
        return kKernSuccess;
    }

private:
    mutable std::mutex mutex_;
    std::optional<PowerSourceList> sources_ = PowerSourceList{};
    InterestCallback callback_;
};

// The virtual Mac's description of its battery at the given charge, every key a MacBook reports.
inline PlistDictionary batteryDescription(std::int64_t currentCapacity, bool onAdapter = true) {
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::BatterySettings settings;
    settings.charge = static_cast<double>(currentCapacity);
    settings.adapter = onAdapter;
    return sim::BatteryModel(store, settings).description();
}

}  // namespace wattkeeper::testkit
