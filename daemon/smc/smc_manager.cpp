#include "daemon/smc/smc_manager.h"

#include <chrono>
#include <string>

namespace wattkeeper {

using namespace std::chrono_literals;

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

void ZQSMCManager::enable_discharging() {
    log_.standardOutput("quill开启放电");
    smc_.setUInt8Value("CH0I", 1);
}

void ZQSMCManager::disable_discharging() {
    log_.standardOutput("quill关闭放电");
    smc_.setUInt8Value("CH0I", 0);
}

void ZQSMCManager::enable_charging() {
    log_.standardOutput("quill开启充电， 关闭放电");
    disable_discharging();
    writeLater(500ms, "CH0B", 0);
    writeLater(1000ms, "CH0C", 0);
}

void ZQSMCManager::disable_charging() {
    log_.standardOutput("quill关闭充电");
    smc_.setUInt8Value("CH0B", 2);
    writeLater(500ms, "CH0C", 2);
}

std::int64_t ZQSMCManager::get_charging_status() { return readStatus("CH0B", "quill获取充电状态 "); }

std::int64_t ZQSMCManager::get_discharging_status() { return readStatus("CH0I", "quill获取放电状态 "); }

void ZQSMCManager::getBatteryChargeInfo() {
    const auto value = smc_.getUInt8Value("CH0B");
    log_.standardOutput("huoqu " + (value ? "Optional(" + std::to_string(*value) + ")" : std::string("nil")));
}

void ZQSMCManager::setbatteryWithKey(std::string_view key, std::int64_t value) { smc_.setUInt8Value(key, value); }

std::int64_t ZQSMCManager::readStatus(std::string_view key, std::string_view label) {
    const auto value = smc_.getUInt8Value(key);
    if (!value) return 9;
    log_.standardOutput(std::string(label) + std::to_string(*value));
    return *value;
}

void ZQSMCManager::writeLater(Duration delay, const char* key, std::int64_t value) {
    // The shared client lives for the process, so the write may outlive this manager.
    runLoop_.after(delay, [&smc = smc_, key, value] { smc.setUInt8Value(key, value); });
}

}  // namespace wattkeeper
