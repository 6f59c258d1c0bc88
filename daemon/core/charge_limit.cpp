// The charge-limit timer, the evaluation and its three commands.

#include <chrono>
#include <cmath>

#include "daemon/core/battery_module.h"
#include "daemon/files/daemon_file_manager.h"
#include "daemon/system/monitor_manager.h"

namespace wattkeeper::daemon {

using namespace std::chrono_literals;

namespace {

constexpr Duration kTimerInterval = 20s;
constexpr Duration kTimerLeeway = 100ms;
constexpr Duration kSwitchDelay = 500ms;
// A limit below this means no limit.
constexpr std::int64_t kLowestLimit = 10;

}  // namespace

std::optional<std::int64_t> chargingLimitOf(const PlistDictionary& limits) {
    const PlistValue* value = limits.find("ChargingLimit");
    if (!value) return std::nullopt;
    // A boolean, a date, data or a collection is no limit at all, as is text without a number.
    if (value->kind() == PlistValue::Kind::Integer) return *value->asInteger();
    if (const double* real = value->asReal(); real && std::isfinite(*real)) return integerValue(*value);
    if (const std::string* text = value->asString(); text && isNumericString(*text)) return integerValue(*value);
    return std::nullopt;
}

void ZQBatteryModule::setupCMCTimer() {
    if (CMCControlTimer) CMCControlTimer->cancel();
    CMCControlTimer = ports_.runLoop->makeTimerSource(RunLoop::Queue::Global);
    CMCControlTimer->setTimer(0ns, kTimerInterval, kTimerLeeway);
    std::weak_ptr<std::atomic<ZQBatteryModule*>> weak = self_;
    CMCControlTimer->setEventHandler([weak] {
        if (auto self = weak.lock(); self && self->load()) self->load()->quillCmcCountTime();
    });
    CMCControlTimer->resume();
}

void ZQBatteryModule::closeCMCTimer() {
    if (!CMCControlTimer) return;
    CMCControlTimer->cancel();
    CMCControlTimer.reset();
}

bool ZQBatteryModule::isCMCTimerActive() const { return CMCControlTimer && CMCControlTimer->testCancel() == 0; }

void ZQBatteryModule::afterHalfSecond(void (ZQSMCManager::*operation)(Stagger), Stagger stagger) {
    if (stagger == Stagger::AtOnce) {
        (smcManager.get()->*operation)(Stagger::AtOnce);
        return;
    }
    std::weak_ptr<std::atomic<ZQBatteryModule*>> weak = self_;
    ports_.runLoop->after(kSwitchDelay, [weak, operation] {
        if (auto self = weak.lock(); self && self->load())
            (self->load()->smcManager.get()->*operation)(Stagger::Delayed);
    });
}

bool ZQBatteryModule::reopenLostConnection() {
    smcManager->reopenCMC();
    const bool usable = smcManager->getcmcStatus();
    if (usable) ports_.log->systemLog("the SMC connection was not usable: opened it again");
    return usable;
}

void ZQBatteryModule::quillCmcCountTime() { evaluate(Stagger::Delayed); }

void ZQBatteryModule::evaluate(Stagger stagger) {
    // A decision made on another thread while this evaluation looked (the timer's evaluation
    // against a sleep or a lid change, or the other way round) may rest on what was true before
    // the event: look again, from the start, with the newer decision in place.
    constexpr int kAttempts = 3;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (evaluateOnce(stagger)) return;
    }
}

bool ZQBatteryModule::evaluateOnce(Stagger stagger) {
    // Taken before anything is looked at: a decision made on another thread from here on (a
    // close request, say) supersedes this evaluation's.
    const Evaluation evaluation{smcManager->generation(), stagger};
    const bool wanted = cmcSwitch.load(std::memory_order_relaxed);
    bool usable = smcManager->getcmcStatus();
    // Control is on but the connection went away under the daemon: whatever it last switched
    // (forced discharge on a plugged-in Mac, charging held off) would stay so with nobody to
    // undo it. Open it again at every evaluation until it is usable; not while the firmware is
    // known to offer no keys the daemon can use, which opening again cannot change.
    if (!usable && wanted && !smcManager->noUsableKeys()) usable = reopenLostConnection();
    if (!usable || !wanted) {
        cmcOpen.store(false, std::memory_order_relaxed);
        return true;
    }
    cmcOpen.store(true, std::memory_order_relaxed);

    auto limits = DaemonFileManager::readDictionaryFileName(ports_, "BatteryLimit.plist");
    if (!limits) limits = DaemonFileManager::readPreferencesDictionary(ports_);
    const auto limit = limits ? chargingLimitOf(*limits) : std::nullopt;
    if (!limit || *limit < kLowestLimit) {
        if (!decide(evaluation, kChargingHandedBack)) return false;
        afterHalfSecond(&ZQSMCManager::enable_charging, stagger);
        return true;
    }
    const std::int64_t current = battery.CurrentCapacity.load(std::memory_order_relaxed);
    if (current > *limit) return commandBatteryDischarging(evaluation);
    if (current == *limit) return commandBatteryDisableCharging(evaluation);
    return commandBatteryCharging(evaluation);
}

bool ZQBatteryModule::decide(const Evaluation& evaluation, const ChargeKeys& wanted) {
    return smcManager->decideUnlessSuperseded(evaluation.generation, wanted);
}

bool ZQBatteryModule::commandBatteryDischarging(const Evaluation& evaluation) {
    const std::int64_t charging = smcManager->get_charging_status();
    const std::int64_t discharging = smcManager->get_discharging_status();
    const bool lid = ZQMonitorManager::lidClosed(ports_);
    isLidClosed.store(lid, std::memory_order_relaxed);
    // Forced discharge only with the lid open and the Mac awake.
    const bool force = !lid && isWake.load(std::memory_order_relaxed);
    if (!decide(evaluation, {2, 2, static_cast<std::uint8_t>(force ? 1 : 0)})) return false;
    if (charging == 0) smcManager->disable_charging(evaluation.stagger);
    if (!force) {
        if (discharging == 1) afterHalfSecond(&ZQSMCManager::disable_discharging, evaluation.stagger);
    } else if (discharging != 1) {
        afterHalfSecond(&ZQSMCManager::enable_discharging, evaluation.stagger);
    }
    return true;
}

bool ZQBatteryModule::commandBatteryDisableCharging(const Evaluation& evaluation) {
    const std::int64_t charging = smcManager->get_charging_status();
    const std::int64_t discharging = smcManager->get_discharging_status();
    if (!decide(evaluation, {2, 2, 0})) return false;
    if (charging == 0) {
        smcManager->disable_charging(evaluation.stagger);
        afterHalfSecond(&ZQSMCManager::disable_discharging, evaluation.stagger);
    }
    if (discharging == 1) afterHalfSecond(&ZQSMCManager::disable_discharging, evaluation.stagger);
    return true;
}

bool ZQBatteryModule::commandBatteryCharging(const Evaluation& evaluation) {
    const std::int64_t charging = smcManager->get_charging_status();
    const std::int64_t discharging = smcManager->get_discharging_status();
    isLidClosed.store(ZQMonitorManager::lidClosed(ports_), std::memory_order_relaxed);
    const Stagger stagger = evaluation.stagger;
    // Here any discharging reading but 0, a failed one included, counts as discharging on.
    if (isWake.load(std::memory_order_relaxed)) {
        if (!decide(evaluation, kChargingHandedBack)) return false;
        if (discharging != 0) {
            smcManager->disable_discharging(stagger);
            afterHalfSecond(&ZQSMCManager::enable_charging, stagger);
        }
        if (charging != 0) afterHalfSecond(&ZQSMCManager::enable_charging, stagger);
    } else {
        // Asleep the battery is neither charged nor drained.
        if (!decide(evaluation, {2, 2, 0})) return false;
        if (discharging != 0) {
            smcManager->disable_discharging(stagger);
            afterHalfSecond(&ZQSMCManager::disable_charging, stagger);
        }
        if (charging == 0) afterHalfSecond(&ZQSMCManager::disable_charging, stagger);
    }
    return true;
}

}  // namespace wattkeeper::daemon
