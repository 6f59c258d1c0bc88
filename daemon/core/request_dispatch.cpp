// The request dispatcher and the operations the requests reach.

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "daemon/core/battery_module.h"
#include "daemon/files/shell_excute_manager.h"
#include "protocol/config.h"
#include "protocol/names.h"
#include "protocol/protocol.h"

namespace wattkeeper::daemon {

using namespace std::chrono_literals;
namespace {

constexpr Duration kCloseCheckDelay = 1500ms;
constexpr Duration kUninstallDelay = 2500ms;

// What every uninstall request is answered with, the first and any later one alike.
PlistDictionary uninstallingPayload() { return {{std::string(protocol::kKeyUninstallSelf), 1}}; }

// The one callback for all sixteen request names; the first equal name decides.
void daemonRequestCallback(NotificationCenter& /*center*/, void* /*observer*/, std::string_view name,
                           const void* /*object*/, const PlistDictionary* /*userInfo*/) {
    ZQBatteryModule* module = ZQBatteryModule::shared();
    if (!module) return;
    using Operation = void (ZQBatteryModule::*)();
    struct Route {
        std::string_view name;
        Operation operation;  // null: observed and ignored
    };
    static constexpr Route kRoutes[] = {
        {protocol::kQuerySMCOpenCloseStatus, &ZQBatteryModule::getSMCOpenCloseStatus},
        {protocol::kQuerySMCChargingStatus, &ZQBatteryModule::getChargingStatus},
        {protocol::kOpenSMC, &ZQBatteryModule::openSMC},
        {protocol::kCloseSMC, &ZQBatteryModule::closeSMC},
        {protocol::kGetBatteryInfo, &ZQBatteryModule::getBatteryInfo},
        {protocol::kEnableCharging, &ZQBatteryModule::enableCharging},
        {protocol::kDisableCharging, &ZQBatteryModule::disableCharging},
        {protocol::kEnableDischarging, &ZQBatteryModule::enableDischarging},
        {protocol::kDisableDischarging, &ZQBatteryModule::disableDischarging},
        {protocol::kQueryDeamonLoadStatus, &ZQBatteryModule::postLoadStatus},
        {protocol::kSleep, nullptr},
        {protocol::kWake, nullptr},
        {protocol::kUninstallHelper, &ZQBatteryModule::startUninstall},
        {protocol::kLimitChange, &ZQBatteryModule::refreshLimitChange},
        {protocol::kHeart, &ZQBatteryModule::handleHeart},
        {protocol::kRestart, &ZQBatteryModule::restart},
    };
    for (const Route& route : kRoutes) {
        if (route.name != name) continue;
        if (route.operation) (module->*route.operation)();
        return;
    }
}

// The first check after a close: hand charging back, forced discharge included, before the
// connection goes.
void closeCheck(ZQBatteryModule& module) {
    ZQSMCManager& manager = *module.smcManager;
    const bool held = manager.keysHoldCharging();
    if (module.cmcSwitch.load(std::memory_order_relaxed)) return;
    if (!held) {
        manager.closeCMC();
        return;
    }
    manager.decide(kChargingHandedBack);
    manager.enable_charging();
    if (!manager.keysHoldCharging()) {
        manager.closeCMC();
        return;
    }
    if (module.cmcSwitch.load(std::memory_order_relaxed)) return;
    manager.enable_charging();
    module.later(kCloseCheckDelay, [](ZQBatteryModule& m) { m.smcManager->closeCMC(); });
}

}  // namespace

void ZQBatteryModule::registerDaemonNotification() {
    for (std::string_view name : protocol::kRequestNames) {
        protocol::observeDarwin(*ports_.darwinCenter, name, daemonRequestCallback);
    }
}

void ZQBatteryModule::getSMCOpenCloseStatus() {
    const bool usable = smcManager->getcmcStatus();
    cmcOpen.store(usable, std::memory_order_relaxed);
    postReply(protocol::kReplyQuerySMCOpenCloseStatus, smcStatusPayload(usable));
}

PlistDictionary ZQBatteryModule::smcStatusPayload(bool usable) const {
    PlistDictionary payload{{std::string(protocol::kKeySmcStatus), usable ? 1 : 0}};
    // Says why charge control cannot run here; a peer that does not know the key has "smcStatus" 0.
    if (smcManager->noUsableKeys()) payload.set(std::string(protocol::kKeyNoUsableChargeKeys), 1);
    return payload;
}

void ZQBatteryModule::getChargingStatus() {
    const std::int64_t charging = smcManager->get_charging_status();
    const std::int64_t discharging = smcManager->get_discharging_status();
    postReply(protocol::kReplyQuerySMCChargingStatus,
              {{std::string(protocol::kKeyChargingStatus), charging == 0 ? 1 : 0},
               {std::string(protocol::kKeyDischargingStatus), discharging == 1 ? 1 : 0}});
}

void ZQBatteryModule::openSMC() {
    cmcSwitch.store(true, std::memory_order_relaxed);
    smcManager->openCMC();
}

void ZQBatteryModule::closeSMC() {
    // Control off before the decision, so that an evaluation running meanwhile either sees it
    // off or finds its own decision superseded.
    cmcSwitch.store(false, std::memory_order_relaxed);
    smcManager->decide(kChargingHandedBack);
    smcManager->enable_charging();
    later(kCloseCheckDelay, closeCheck);
}

void ZQBatteryModule::getBatteryInfo() { performCallback(PlistValue(protocol::kResultDoneText)); }

void ZQBatteryModule::performCallback(const PlistValue& result) {
    postReply(protocol::kReplySmcState, {{std::string(protocol::kKeyResult), result}});
}

void ZQBatteryModule::enableCharging() {
    smcManager->decide(kChargingHandedBack);
    smcManager->enable_charging();
    getChargingStatus();
}

void ZQBatteryModule::disableCharging() {
    smcManager->decide({2, 2, std::nullopt});
    smcManager->disable_charging();
    getChargingStatus();
}

void ZQBatteryModule::enableDischarging() {
    // Forcing the battery to carry the load is refused while the Mac sleeps.
    if (isWake.load(std::memory_order_relaxed)) {
        smcManager->decide({std::nullopt, std::nullopt, 1});
        smcManager->enable_discharging();
    } else {
        smcManager->decide({std::nullopt, std::nullopt, 0});
        smcManager->disable_discharging();
    }
    getChargingStatus();
}

void ZQBatteryModule::disableDischarging() {
    smcManager->decide({std::nullopt, std::nullopt, 0});
    smcManager->disable_discharging();
    getChargingStatus();
}

void ZQBatteryModule::postLoadStatus() {
    PlistDictionary payload;
    payload.set(std::string(protocol::kKeyStatus), ports_.systemInfo->effectiveUserId() == 0 ? 1 : 0);
    if (const auto bundle = ports_.bundles->mainBundle()) {
        if (const auto info = bundle->infoDictionary()) {
            if (const PlistValue* version = info->find("CFBundleShortVersionString")) {
                payload.set(std::string(protocol::kKeyVersion), *version);
            }
        }
    }
    postReply(protocol::kReplyDeamonLoadStatus, payload);
}

void ZQBatteryModule::startUninstall() {
    // A later request learns what the first one did; charge control is already closed.
    if (uninstallStarted_) {
        postReply(protocol::kReplyUninstallHelper, uninstallingPayload());
        return;
    }
    uninstallStarted_ = true;
    closeSMC();
    later(kUninstallDelay, [](ZQBatteryModule& m) { m.removeDaemonHelper(); });
}

void ZQBatteryModule::refreshLimitChange() { quillCmcCountTime(); }

void ZQBatteryModule::handleHeart() {
    const bool usable = smcManager->getcmcStatus();
    cmcOpen.store(usable, std::memory_order_relaxed);
    const bool timerActive = isCMCTimerActive();
    quillCmcCountTime();
    PlistDictionary payload = smcStatusPayload(usable);
    payload.set(std::string(protocol::kKeySmcTimerActive), timerActive ? 1 : 0);
    postReply(protocol::kReplyHeart, payload);
}

namespace {

std::string jobFileRemoval() { return "rm -f /Library/LaunchDaemons/" + std::string(protocol::HelperLabel) + ".plist"; }

}  // namespace

void ZQBatteryModule::removeDaemonHelper() {
    // Before the job is unloaded: on a Mac that ends this process.
    handBackCharging("uninstalling");
    const std::string label(protocol::HelperLabel);
    const auto listing = ZQShellExcuteManager::excuteCmd(*ports_.processes, "launchctl list | grep " + label);
    postReply(protocol::kReplyUninstallHelper, uninstallingPayload());
    const bool loaded = listing && listing->find(label) != std::string::npos;
    ZQShellExcuteManager::excuteRMCmd(*ports_.processes,
                                      "rm -rf /Library/Application' 'Support/Halvorn/Battery/Wattkeeper.app");
    if (!loaded) {
        ZQShellExcuteManager::excuteRMCmd(*ports_.processes, jobFileRemoval());
        endUninstalled();
        return;
    }
    // launchd answers the unload of this daemon's own job by stopping it (SIGTERM, SIGKILL after
    // the job's exit timeout) and launchctl returns only once it has stopped. So the unload runs
    // off the main queue, which stays free to take that SIGTERM: handleTermination then finishes
    // the uninstall, as the unload has gone through.
    unloadingOwnJob_ = true;
    std::weak_ptr<std::atomic<ZQBatteryModule*>> weak = self_;
    RunLoop* loop = ports_.runLoop;
    Processes* processes = ports_.processes;
    loop->globalAsync([weak, loop, processes, unload = "launchctl unload /Library/LaunchDaemons/" + label + ".plist"] {
        const std::int32_t status = ZQShellExcuteManager::excuteRMCmd(*processes, unload);
        loop->async([weak, status] {
            if (auto self = weak.lock(); self && self->load()) self->load()->unloadFinished(status);
        });
    });
}

void ZQBatteryModule::unloadFinished(std::int32_t status) {
    // Already ended by the unload's SIGTERM, or the unload's answer comes after it.
    if (!std::exchange(unloadingOwnJob_, false)) return;
    if (status != 0) {
        // The job file stays; the job stays loaded, and ends here with a status that launchd
        // does not answer with a new start of a program that is gone.
        ports_.log->systemLog("uninstall: launchctl unload failed with status " + std::to_string(status) +
                              "; the job file stays");
    } else {
        // Unloaded without being stopped: this process is not the job's (an instance `open -n`
        // started).
        ZQShellExcuteManager::excuteRMCmd(*ports_.processes, jobFileRemoval());
    }
    endUninstalled();
}

void ZQBatteryModule::endUninstalled() {
    // The bundle is gone: nothing is left that a daemon could be started from again.
    handBackCharging("uninstalled");
    ports_.processes->exit(0);
}

void ZQBatteryModule::handleTermination() {
    if (std::exchange(unloadingOwnJob_, false)) ZQShellExcuteManager::excuteRMCmd(*ports_.processes, jobFileRemoval());
    handBackCharging("terminating");
    ports_.processes->exit(0);
}

void ZQBatteryModule::restart() {
    const auto bundle = ports_.bundles->mainBundle();
    const std::string path = bundle ? bundle->bundlePath() : std::string();
    if (path.empty() || !ports_.processes->spawnDetached("/usr/bin/open", {"-n", path})) {
        // Exiting now would leave the Mac with no daemon at all.
        ports_.log->systemLog("restart: could not start /usr/bin/open; staying up");
        return;
    }
    handBackCharging("restarting");
    postReply(protocol::kReplyRestart,
              {{std::string(protocol::kKeyRestart), PlistValue(protocol::kRestartStartedText)}});
    ports_.processes->exit(0);
}

}  // namespace wattkeeper::daemon
