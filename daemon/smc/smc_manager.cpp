#include "daemon/smc/smc_manager.h"

#include <chrono>
#include <iterator>
#include <string>

#include "platform/smc_keys.h"

namespace wattkeeper::daemon {

using namespace std::chrono_literals;

const ChargeKeySet* FirmwareKeys::set() const {
    const int choice = choice_.load(std::memory_order_relaxed);
    if (choice == kNone) return nullptr;
    return &kChargeKeySets[choice == kUnknown ? 0 : static_cast<std::size_t>(choice) / 2];
}

void FirmwareKeys::choose(std::size_t set, std::size_t adapter) {
    choice_.store(static_cast<int>(set * 2 + adapter), std::memory_order_relaxed);
}

bool FirmwareKeys::chooseNone(std::uint64_t fingerprint) {
    fingerprint_.store(fingerprint, std::memory_order_relaxed);
    return choice_.exchange(kNone, std::memory_order_relaxed) != kNone;
}

const ChargeSwitchKey* FirmwareKeys::keyFor(int choice, std::string_view role) {
    const ChargeKeySet& set = kChargeKeySets[static_cast<std::size_t>(choice) / 2];
    const ChargeSwitchKey* key = nullptr;
    if (role == kChargingKey) key = &set.charging[0];
    if (role == kChargingSecondKey) key = &set.charging[1];
    if (role == kDischargingKey) key = &set.adapter[static_cast<std::size_t>(choice) % 2];
    return key && !key->key.empty() ? key : nullptr;
}

std::optional<int> FirmwareKeys::read(SMC& smc, std::string_view role) const {
    const int choice = choice_.load(std::memory_order_relaxed);
    if (choice == kNone) return std::nullopt;
    // The first set's keys are the roles themselves, read as they always were.
    if (choice == kUnknown || choice / 2 == 0) return smc.getUInt8Value(role);
    const ChargeSwitchKey* key = keyFor(choice, role);
    const auto on = key ? smc.getSwitchValue(*key) : std::nullopt;
    if (!on) return std::nullopt;
    if (!*on) return 0;
    return role == kDischargingKey ? 1 : 2;
}

void FirmwareKeys::write(SMC& smc, std::string_view role, std::uint8_t value) const {
    const int choice = choice_.load(std::memory_order_relaxed);
    if (choice == kNone) return;
    if (choice == kUnknown || choice / 2 == 0) {
        smc.setUInt8Value(role, value);
        return;
    }
    if (const ChargeSwitchKey* key = keyFor(choice, role)) smc.setSwitchValue(*key, value != 0);
}

std::uint64_t SwitchDecisions::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

void SwitchDecisions::decide(const ChargeKeys& wanted) {
    std::lock_guard lock(mutex_);
    recordLocked(wanted);
}

bool SwitchDecisions::decideUnlessSuperseded(std::uint64_t seen, const ChargeKeys& wanted) {
    std::lock_guard lock(mutex_);
    if (generation_ != seen) return false;
    recordLocked(wanted);
    return true;
}

void SwitchDecisions::recordLocked(const ChargeKeys& wanted) {
    if (wanted.ch0b) wanted_.ch0b = wanted.ch0b;
    if (wanted.ch0c) wanted_.ch0c = wanted.ch0c;
    if (wanted.ch0i) wanted_.ch0i = wanted.ch0i;
    ++generation_;
}

std::optional<std::uint8_t>* SwitchDecisions::wantedLocked(std::string_view key) {
    if (key == kChargingKey) return &wanted_.ch0b;
    if (key == kChargingSecondKey) return &wanted_.ch0c;
    if (key == kDischargingKey) return &wanted_.ch0i;
    return nullptr;
}

void SwitchDecisions::write(SMC& smc, const FirmwareKeys& keys, std::string_view key, std::uint8_t value,
                            bool delayed) {
    std::lock_guard lock(mutex_);
    const std::optional<std::uint8_t>* wanted = wantedLocked(key);
    if (wanted && *wanted && **wanted != value) return;
    // The connection this write was meant for is gone; a later one is not its business.
    if (delayed && smc.conn() == 0) return;
    keys.write(smc, key, value);
}

ZQSMCManager::ZQSMCManager(SMC& smc, RunLoop& runLoop, Log& log) : smc_(smc), runLoop_(runLoop), log_(log) {}

ZQSMCManager::~ZQSMCManager() { log_.standardOutput("细沟"); }

void ZQSMCManager::openCMC() {
    const IoConnect before = smc_.conn();
    const KernReturn result = smc_.open();
    if (result != kKernSuccess) {
        log_.standardOutput("error close smc connection: " + smc_.errorText(result));
        return;
    }
    // Firmware that offered nothing is asked again only once it answers otherwise (getcmcStatus).
    if (smc_.conn() != before && !keys_->none()) chooseKeys();
}

void ZQSMCManager::chooseKeys() {
    std::string found;
    bool undecided = false;
    // One key's answer, quietly, noted for the log line; true when it is in working order.
    const auto probe = [&](const ChargeSwitchKey& key) {
        SMCVal_t value{std::string(key.key)};
        const KernReturn result = smc_.read(value);
        std::string answer = "in working order";
        if (result == kDriverNotPrivileged) {
            answer = "not privileged";
        } else if (result != kKernSuccess) {
            // The connection or the kernel failed, not the firmware: nothing is known.
            undecided = true;
            answer = smc_.errorText(result);
        } else if (value.dataSize == 0) {
            answer = "no data";
        } else if (!hasSwitchForm(value, key)) {
            answer = "\"" + value.dataType + "\" of " + std::to_string(value.dataSize) + " bytes";
        }
        found += (found.empty() ? "" : ", ") + value.key + " " + answer;
        return answer == "in working order";
    };
    for (std::size_t s = 0; s < std::size(kChargeKeySets); ++s) {
        const ChargeKeySet& set = kChargeKeySets[s];
        const bool charging = probe(set.charging[0]);
        for (std::size_t a = 0; a < set.adapter.size(); ++a) {
            if (set.adapter[a].key.empty()) continue;
            if (probe(set.adapter[a]) && charging) {
                keys_->choose(s, a);
                return;
            }
        }
    }
    if (undecided) {
        keys_->forget();
        return;
    }
    if (!keys_->chooseNone(fingerprint())) return;
    log_.standardOutput("no charge keys this firmware offers can be used (" + found +
                        "): no set has its charging and an adapter key in working order; charge control stays off");
}

std::uint64_t ZQSMCManager::fingerprint() {
    SMCVal_t value{kChargingKey};
    const KernReturn result = smc_.read(value);
    return (std::uint64_t{static_cast<std::uint32_t>(result)} << 32) | value.dataSize;
}

void ZQSMCManager::closeCMC() {
    const KernReturn result = smc_.close();
    if (result != kKernSuccess) log_.standardOutput("error close smc connection: " + smc_.errorText(result));
}

void ZQSMCManager::reopenCMC() {
    // The old handle may be dead already; closing it can then only fail.
    smc_.close();
    openCMC();
}

bool ZQSMCManager::getcmcStatus() {
    const ChargeKeySet* set = keys_->set();
    if (set) return smc_.isChargeKeyReadable(set->charging[0].key);
    // A controller that answers otherwise now (it came back, with new firmware perhaps) is worth
    // a new look when the connection is next opened.
    if (isOpen() && fingerprint() != keys_->fingerprint()) keys_->forget();
    return false;
}

void ZQSMCManager::enable_discharging(Stagger /*stagger*/) {
    log_.standardOutput("quill开启放电");
    writeNow(kDischargingKey, 1);
}

void ZQSMCManager::disable_discharging(Stagger /*stagger*/) {
    log_.standardOutput("quill关闭放电");
    writeNow(kDischargingKey, 0);
}

void ZQSMCManager::enable_charging(Stagger stagger) {
    log_.standardOutput("quill开启充电， 关闭放电");
    disable_discharging(stagger);
    writeLater(500ms, kChargingKey, 0, stagger);
    writeLater(1000ms, kChargingSecondKey, 0, stagger);
}

void ZQSMCManager::disable_charging(Stagger stagger) {
    log_.standardOutput("quill关闭充电");
    writeNow(kChargingKey, 2);
    writeLater(500ms, kChargingSecondKey, 2, stagger);
}

std::int64_t ZQSMCManager::get_charging_status() { return readStatus(kChargingKey, "quill获取充电状态 "); }

std::int64_t ZQSMCManager::get_discharging_status() { return readStatus(kDischargingKey, "quill获取放电状态 "); }

void ZQSMCManager::getBatteryChargeInfo() {
    const auto value = smc_.getUInt8Value(kChargingKey);
    log_.standardOutput("huoqu " + (value ? "Optional(" + std::to_string(*value) + ")" : std::string("nil")));
}

void ZQSMCManager::setbatteryWithKey(std::string_view key, std::int64_t value) { smc_.setUInt8Value(key, value); }

bool ZQSMCManager::keysHoldCharging() {
    for (const char* key : {kChargingKey, kChargingSecondKey, kDischargingKey}) {
        const auto value = keys_->read(smc_, key);
        if (value && *value != 0) return true;
    }
    return false;
}

std::int64_t ZQSMCManager::readStatus(std::string_view key, std::string_view label) {
    const auto value = keys_->read(smc_, key);
    if (!value) return 9;
    // Read on every evaluation: one allocation for the line.
    const std::string number = std::to_string(*value);
    std::string line;
    line.reserve(label.size() + number.size());
    line.append(label).append(number);
    log_.standardOutput(line);
    return *value;
}

void ZQSMCManager::writeNow(const char* key, std::uint8_t value) { decisions_->write(smc_, *keys_, key, value, false); }

void ZQSMCManager::writeLater(Duration delay, const char* key, std::uint8_t value, Stagger stagger) {
    if (stagger == Stagger::AtOnce) {
        writeNow(key, value);
        return;
    }
    // The shared client lives for the process, so the write may outlive this manager.
    runLoop_.after(delay, [&smc = smc_, decisions = decisions_, keys = keys_, key, value] {
        decisions->write(smc, *keys, key, value, true);
    });
}

}  // namespace wattkeeper::daemon
