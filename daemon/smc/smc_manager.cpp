#include "daemon/smc/smc_manager.h"

#include <chrono>
#include <string>

#include "platform/smc_keys.h"

namespace wattkeeper::daemon {

using namespace std::chrono_literals;

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

void SwitchDecisions::write(SMC& smc, std::string_view key, std::uint8_t value, bool delayed) {
    std::lock_guard lock(mutex_);
    const std::optional<std::uint8_t>* wanted = wantedLocked(key);
    if (wanted && *wanted && **wanted != value) return;
    // The connection this write was meant for is gone; a later one is not its business.
    if (delayed && smc.conn() == 0) return;
    smc.setUInt8Value(key, value);
}

ZQSMCManager::ZQSMCManager(SMC& smc, RunLoop& runLoop, Log& log) : smc_(smc), runLoop_(runLoop), log_(log) {}

ZQSMCManager::~ZQSMCManager() { log_.standardOutput("细沟"); }

void ZQSMCManager::openCMC() {
    const KernReturn result = smc_.open();
    if (result != kKernSuccess) log_.standardOutput("error close smc connection: " + smc_.errorText(result));
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

bool ZQSMCManager::getcmcStatus() { return smc_.isChargeKeyReadable(); }

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
        const auto value = smc_.getUInt8Value(key);
        if (value && *value != 0) return true;
    }
    return false;
}

std::int64_t ZQSMCManager::readStatus(std::string_view key, std::string_view label) {
    const auto value = smc_.getUInt8Value(key);
    if (!value) return 9;
    // Read on every evaluation: one allocation for the line.
    const std::string number = std::to_string(*value);
    std::string line;
    line.reserve(label.size() + number.size());
    line.append(label).append(number);
    log_.standardOutput(line);
    return *value;
}

void ZQSMCManager::writeNow(const char* key, std::uint8_t value) { decisions_->write(smc_, key, value, false); }

void ZQSMCManager::writeLater(Duration delay, const char* key, std::uint8_t value, Stagger stagger) {
    if (stagger == Stagger::AtOnce) {
        writeNow(key, value);
        return;
    }
    // The shared client lives for the process, so the write may outlive this manager.
    runLoop_.after(delay,
                   [&smc = smc_, decisions = decisions_, key, value] { decisions->write(smc, key, value, true); });
}

}  // namespace wattkeeper::daemon
