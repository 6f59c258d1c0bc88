// Filling the battery record from the power-source service, and following its changes.

#include "daemon/core/battery_module.h"

namespace wattkeeper::daemon {

namespace {

void powerSourceCallback(std::uint32_t /*messageType*/) {
    if (ZQBatteryModule* module = ZQBatteryModule::shared()) module->powerSourceChanged();
}

}  // namespace

void ZQBatteryModule::getPowerSourceInfo() {
    const auto sources = ports_.powerSources->copyPowerSources();
    if (!sources || sources->empty() || !sources->front()) return;
    storePowerSourceDescription(battery, *sources->front());
}

void ZQBatteryModule::addBatteryNotification() {
    ports_.powerSources->addGeneralInterestNotification(powerSourceCallback);
    ports_.runLoop->run();
}

void ZQBatteryModule::powerSourceChanged() {
    const auto sources = ports_.powerSources->copyPowerSources();
    if (!sources) return;
    // One evaluation per described source; the record ends with the last one's values.
    for (const auto& description : *sources) {
        if (!description) continue;
        storePowerSourceDescription(battery, *description);
        quillCmcCountTime();
    }
}

}  // namespace wattkeeper::daemon
