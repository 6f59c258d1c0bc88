#pragma once
// A daemon on a simulated MacBook: every port faked, virtual time, the daemon::SMC key store behind the
// shared client, user "anna" at the console. Unit tests and benchmarks build on it.

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "daemon/core/battery_module.h"
#include "daemon/smc/smc.h"
#include "platform/smc_keys.h"
#include "protocol/config.h"
#include "protocol/names.h"
#include "protocol/protocol.h"
#include "sim/smc_key_store.h"
#include "tests/kit/fake_bundles.h"
#include "tests/kit/fake_file_system.h"
#include "tests/kit/fake_processes.h"
#include "tests/kit/fake_system.h"
#include "tests/kit/fake_workspace.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/recording_log.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {

inline const std::string kContainer = "/Users/anna/Library/Containers/" + std::string(protocol::MainAppBundleId);
inline const std::string kLimitFile = kContainer + "/Data/Documents/BatteryLimit.plist";
inline const std::string kPreferencesFile =
    kContainer + "/Data/Library/Preferences/" + std::string(protocol::MainAppBundleId) + ".plist";
inline const std::string kDaemonBundle = "/Library/Application Support/Halvorn/Battery/Wattkeeper.app";

class DaemonWorld {
public:
    DaemonWorld() {
        ports.runLoop = &loop;
        ports.log = &log;
        ports.smcDriver = &driver;
        ports.darwinCenter = &darwin;
        ports.distributedCenter = &distributed;
        ports.powerSources = &powerSources;
        ports.systemInfo = &system;
        ports.fileSystem = &files;
        ports.processes = &processes;
        ports.workspace = &workspace;
        ports.displays = &displays;
        ports.bundles = &bundles;
        daemon::SMC::replaceShared(std::make_unique<daemon::SMC>(driver, log));
        powerSources.setSources(PowerSourceList{batteryDescription(50)});
        bundles.setMainBundle(
            std::make_shared<FakeBundle>(kDaemonBundle, PlistDictionary{{"CFBundleShortVersionString", "0.1.0"}}));
    }

    virtual ~DaemonWorld() {
        module.reset();
        daemon::SMC::replaceShared(nullptr);
    }

    // Creates the module; the virtual run loop hands control back at once.
    void start() {
        module = std::make_unique<daemon::ZQBatteryModule>(ports);
        loop.runUntilIdle();
    }
    // Starts the daemon with charge control switched on.
    void startControlling() {
        start();
        request(protocol::kOpenSMC);
    }
    void request(std::string_view name) {
        protocol::postRequest(darwin, name);
        loop.runUntilIdle();
    }
    void setLimit(PlistValue limit) {
        files.putPlist(kLimitFile, PlistDictionary{{"ChargingLimit", std::move(limit)}});
    }
    // The switches in the first set's values, through whichever generation's keys the store has.
    void setKeys(std::uint8_t ch0b, std::uint8_t ch0c, std::uint8_t ch0i) {
        store.setValue("CH0B", {ch0b});
        store.setValue("CH0C", {ch0c});
        store.setValue("CH0I", {ch0i});
        const ChargeKeySet& newer = kChargeKeySets[1];
        const auto bytes = [](const ChargeSwitchKey& k, bool on) {
            const auto b = on ? k.onBytes() : k.offBytes();
            return std::vector<std::uint8_t>(b.begin(), b.end());
        };
        store.setValue(std::string(newer.charging[0].key), bytes(newer.charging[0], ch0b != 0));
        store.setValue(std::string(newer.adapter[0].key), bytes(newer.adapter[0], ch0i != 0));
    }
    // The key in a switch's role ("CH0B" or "CH0I") on the store's firmware.
    std::string switchKey(std::string_view role) const {
        if (!store.key("CHTE")) return std::string(role);
        return role == kDischargingKey ? "CHIE" : "CHTE";
    }
    struct Keys {
        int ch0b, ch0c, ch0i;
        friend bool operator==(const Keys&, const Keys&) = default;
        friend std::ostream& operator<<(std::ostream& os, const Keys& k) {
            return os << "CH0B " << k.ch0b << ", CH0C " << k.ch0c << ", CH0I " << k.ch0i;
        }
    };
    Keys keys() const {
        auto byte = [&](const std::string& key) { return int(store.key(key)->value.at(0)); };
        if (switchKey(kChargingKey) == kChargingKey) return {byte("CH0B"), byte("CH0C"), byte("CH0I")};
        // The newer keys, one for both charging switches, in the first set's values.
        const int charging = byte("CHTE") != 0 ? 2 : 0;
        return {charging, charging, byte("CHIE") != 0 ? 1 : 0};
    }
    // The replies posted on the distributed center, oldest first.
    std::vector<MemoryNotificationCenter::Post> replies() const { return distributed.posts(); }
    // How often the line was logged, to the standard output or to the system log.
    std::size_t logCount(const std::string& line, bool system = false) const {
        const auto lines = system ? log.systemLines() : log.lines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }

    VirtualRunLoop loop;
    RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    MemoryNotificationCenter darwin{loop, MemoryNotificationCenter::Kind::Darwin};
    MemoryNotificationCenter distributed{loop, MemoryNotificationCenter::Kind::Distributed};
    FakePowerSources powerSources;
    FakeSystemInfo system;
    FakeFileSystem files;
    FakeProcesses processes;
    FakeWorkspace workspace;
    FakeDisplays displays;
    FakeBundles bundles;
    Ports ports;
    std::unique_ptr<daemon::ZQBatteryModule> module;
};

}  // namespace wattkeeper::testkit
