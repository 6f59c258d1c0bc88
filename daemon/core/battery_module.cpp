#include "daemon/core/battery_module.h"

#include <string>

#include "daemon/smc/smc.h"
#include "protocol/protocol.h"

namespace wattkeeper::daemon {

namespace {

std::atomic<ZQBatteryModule*> gSharedModule{nullptr};

void displayReconfigurationCallback(std::uint32_t /*display*/, std::uint32_t flags, void* /*userInfo*/) {
    ZQBatteryModule* module = ZQBatteryModule::shared();
    if (!module) return;
    if (flags & kDisplayAddFlag) module->isScreens.store(true, std::memory_order_relaxed);
    if (flags & kDisplayRemoveFlag) module->isScreens.store(false, std::memory_order_relaxed);
    module->getlibStatus();
}

}  // namespace

ZQBatteryModule* ZQBatteryModule::shared() { return gSharedModule.load(std::memory_order_acquire); }

ZQBatteryModule::ZQBatteryModule(const Ports& ports)
    : ports_(ports), self_(std::make_shared<std::atomic<ZQBatteryModule*>>(this)) {
    gSharedModule.store(this, std::memory_order_release);
    std::weak_ptr<std::atomic<ZQBatteryModule*>> weak = self_;
    ports_.workspace->addWillSleepObserver([weak] {
        if (auto self = weak.lock(); self && self->load()) self->load()->receiveSleepNote();
    });
    ports_.workspace->addDidWakeObserver([weak] {
        if (auto self = weak.lock(); self && self->load()) self->load()->receiveWakeNote();
    });
    registerDaemonNotification();
    ports_.displays->registerReconfigurationCallback(displayReconfigurationCallback, nullptr);
    // A lid closed during forced discharge must end it now, not at the next tick.
    ports_.systemInfo->addClamshellChangeNotification([] {
        if (ZQBatteryModule* module = ZQBatteryModule::shared()) module->quillCmcCountTime();
    });
    ports_.runLoop->onTerminationRequest([] {
        if (ZQBatteryModule* module = ZQBatteryModule::shared()) module->handleTermination();
    });
    initData();
}

ZQBatteryModule::~ZQBatteryModule() {
    self_->store(nullptr);
    closeCMCTimer();
    ZQBatteryModule* expected = this;
    gSharedModule.compare_exchange_strong(expected, nullptr);
}

void ZQBatteryModule::initData() {
    cmcOpen.store(false, std::memory_order_relaxed);
    cmcSwitch.store(false, std::memory_order_relaxed);
    getPowerSourceInfo();
    smcManager = std::make_unique<ZQSMCManager>(SMC::shared(), *ports_.runLoop, *ports_.log);
    handBackChargingLeftByAnEarlierInstance();
    isWake.store(true, std::memory_order_relaxed);
    isScreens.store(ports_.displays->screenCount() >= 2, std::memory_order_relaxed);
    setupCMCTimer();
    addBatteryNotification();
}

void ZQBatteryModule::receiveSleepNote() {
    isWake.store(false, std::memory_order_relaxed);
    // The Mac may be asleep before a delayed write would land: every write now.
    evaluate(Stagger::AtOnce);
}

void ZQBatteryModule::handBackChargingLeftByAnEarlierInstance() {
    // Quietly: a Mac without the controller has nothing to hand back.
    if (!SMC::shared().hasService()) return;
    smcManager->openCMC();
    if (!smcManager->isOpen()) return;
    if (smcManager->keysHoldCharging()) {
        smcManager->decide(kChargingHandedBack);
        smcManager->enable_charging(Stagger::AtOnce);
        ports_.log->systemLog(
            "started with charge control off and charging held or forced discharge on: "
            "forced discharge ended, charging allowed");
    }
    smcManager->closeCMC();
}

void ZQBatteryModule::handBackCharging(std::string_view why) {
    // A closed connection (charge control off) has nothing to hand back, and a read on it would
    // only log its failure.
    if (!smcManager || !smcManager->isOpen() || !smcManager->getcmcStatus()) return;
    smcManager->decide(kChargingHandedBack);
    smcManager->enable_charging(Stagger::AtOnce);
    ports_.log->systemLog(std::string(why) + ": forced discharge ended, charging allowed");
}

void ZQBatteryModule::receiveWakeNote() {
    isWake.store(true, std::memory_order_relaxed);
    // Charging was held for the sleep at once; it comes back as promptly.
    evaluate(Stagger::AtOnce);
}

void ZQBatteryModule::getlibStatus() { quillCmcCountTime(); }

void ZQBatteryModule::later(Duration delay, void (*step)(ZQBatteryModule&)) {
    std::weak_ptr<std::atomic<ZQBatteryModule*>> weak = self_;
    ports_.runLoop->after(delay, [weak, step] {
        if (auto self = weak.lock(); self && self->load()) step(*self->load());
    });
}

void ZQBatteryModule::postReply(std::string_view name, const PlistDictionary& payload) {
    protocol::postReply(*ports_.distributedCenter, name, payload);
}

}  // namespace wattkeeper::daemon
