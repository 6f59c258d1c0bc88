#pragma once
// The daemon's one battery module: all of its state, the request operations, the charge-limit
// enforcement and the system events that feed it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "daemon/smc/smc_manager.h"
#include "daemon/system/power_source_record.h"
#include "platform/ports.h"

namespace wattkeeper::daemon {

class ZQBatteryModule {
public:
    // Creates and wires the module, then runs the main run loop: on a real run loop this never
    // returns. The ports must outlive the module.
    explicit ZQBatteryModule(const Ports& ports);
    // Ends the charge-limit timer.
    ~ZQBatteryModule();
    ZQBatteryModule(const ZQBatteryModule&) = delete;
    ZQBatteryModule& operator=(const ZQBatteryModule&) = delete;

    // The module-wide shared instance, through which every callback reaches the module; set
    // first thing in construction. Null only before that (or after a test dropped its module).
    static ZQBatteryModule* shared();

    // Control fields. Written on the main queue and read by the timer's evaluation on the
    // global queue, hence atomic.
    std::atomic<bool> cmcOpen{false};
    std::unique_ptr<TimerSource> CMCControlTimer;
    std::atomic<bool> cmcSwitch{false};
    std::atomic<bool> isWake{false};
    std::atomic<bool> isScreens{false};
    std::atomic<bool> isLidClosed{false};
    // The battery as last described by the power-source service.
    PowerSourceRecord battery;
    std::unique_ptr<ZQSMCManager> smcManager;

    void initData();
    void registerDaemonNotification();
    void receiveSleepNote();
    void receiveWakeNote();
    void setMacSleep() { isWake.store(false, std::memory_order_relaxed); }
    void setMacWake() { isWake.store(true, std::memory_order_relaxed); }
    void getlibStatus();

    // Requests.
    void getSMCOpenCloseStatus();
    void getChargingStatus();
    void openSMC();
    void closeSMC();
    void getBatteryInfo();
    void performCallback(const PlistValue& result);
    void enableCharging();
    void disableCharging();
    void enableDischarging();
    void disableDischarging();
    void postLoadStatus();
    void startUninstall();
    void refreshLimitChange();
    void handleHeart();
    // Starts a new instance, announces it and ends the process. When no new instance can be
    // started it logs that and keeps running.
    void restart();
    // The supervisor ends the daemon: hand charging back to the system first, then exit 0. During
    // the uninstall's unload of the daemon's own job it is launchd's answer to that unload, and
    // the job file is removed first.
    void handleTermination();
    // Every controlled end of the process (termination, restart, uninstall, a lost bus) comes
    // here first, so that a stopped daemon neither drains a plugged-in Mac nor keeps it from
    // charging: forced discharge off and charging allowed, written at once, when the connection
    // is usable. `why` starts the log line.
    void handBackCharging(std::string_view why);
    // Replies, removes the bundle, unloads the job (off the main queue) and the job file, and
    // ends the process with status 0 in every branch.
    void removeDaemonHelper();
    // The uninstall's unload has returned `status` without this process being stopped by it.
    void unloadFinished(std::int32_t status);

    // Charge-limit enforcement.
    void setupCMCTimer();
    void closeCMCTimer();
    bool isCMCTimerActive() const;
    void quillCmcCountTime();

    // What one evaluation decides under: the decision generation it started from, and whether
    // its writes may be staggered.
    struct Evaluation {
        std::uint64_t generation;
        Stagger stagger;
    };
    // Each returns false, having switched nothing, when a newer decision superseded it.
    bool commandBatteryDischarging(const Evaluation& evaluation);
    bool commandBatteryDisableCharging(const Evaluation& evaluation);
    bool commandBatteryCharging(const Evaluation& evaluation);

    // The power-source record.
    void getPowerSourceInfo();
    void addBatteryNotification();
    void powerSourceChanged();

    // Runs `step` on the main queue after `delay`, with the module if it still exists then.
    void later(Duration delay, void (*step)(ZQBatteryModule&));

private:
    // One evaluation; with Stagger::AtOnce every write is made before it returns.
    void evaluate(Stagger stagger);
    // False when a newer decision superseded this one before it switched anything.
    bool evaluateOnce(Stagger stagger);
    // Records an evaluation's decision; false when a newer one was made meanwhile, and the
    // evaluation then switches nothing.
    bool decide(const Evaluation& evaluation, const ChargeKeys& wanted);
    // One manager call on the main queue 0.5 s from now, or at once when nothing may wait.
    void afterHalfSecond(void (ZQSMCManager::*operation)(Stagger), Stagger stagger);
    // A crash, SIGKILL or power loss ended the instance before it could hand charging back:
    // with charge control off, nobody would ever undo what its keys still hold.
    void handBackChargingLeftByAnEarlierInstance();
    // Opens the SMC connection again; true when it is usable then.
    bool reopenLostConnection();
    void postReply(std::string_view name, const PlistDictionary& payload);
    // "smcStatus", and "noUsableChargeKeys" = 1 when the firmware offers no keys the daemon can use.
    PlistDictionary smcStatusPayload(bool usable) const;
    // The end of an uninstall: charging handed back, exit 0.
    void endUninstalled();

    Ports ports_;
    // Set by the first uninstall request; any local process can post the request, and running
    // the root shell commands again for each would hold the main queue. Main queue only.
    bool uninstallStarted_ = false;
    // Between the start of the uninstall's unload and its answer or launchd's SIGTERM. Main queue only.
    bool unloadingOwnJob_ = false;
    // Lets work queued on the run loop find out whether the module still exists.
    std::shared_ptr<std::atomic<ZQBatteryModule*>> self_;
};

// The charge limit a limit dictionary holds: its "ChargingLimit" as a whole number, or nothing
// when the key is missing or holds neither a number nor a numeric string.
std::optional<std::int64_t> chargingLimitOf(const PlistDictionary& limits);

}  // namespace wattkeeper::daemon
