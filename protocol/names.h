#pragma once
// The notification names, payload keys and fixed payload texts that the main application, the
// daemon and the login item share. Every string is compared by plain equality on the other side,
// so each one must stay exactly as it is, spelling included.

#include <array>
#include <string_view>

namespace wattkeeper::protocol {

// Requests: bare names posted on the Darwin notify center, observed by the daemon.
inline constexpr std::string_view kQuerySMCOpenCloseStatus =
    "ZQAmperlyApp_CFNotification_Tell_Helper_QuerySMCOpenCloseStatus";
inline constexpr std::string_view kQuerySMCChargingStatus =
    "ZQAmperlyApp_CFNotification_Tell_Helper_QuerySMCChargingStatus";
inline constexpr std::string_view kOpenSMC = "ZQAmperlyApp_CFNotification_Tell_Helper_openSMC";
inline constexpr std::string_view kCloseSMC = "ZQAmperlyApp_CFNotification_Tell_Helper_closeSMC";
inline constexpr std::string_view kGetBatteryInfo = "ZQAmperlyApp_CFNotification_Tell_Helper_getBatteryInfo";
inline constexpr std::string_view kEnableCharging = "ZQAmperlyApp_CFNotification_Tell_Helper_enableCharging";
inline constexpr std::string_view kDisableCharging = "ZQAmperlyApp_CFNotification_Tell_Helper_disableCharging";
inline constexpr std::string_view kEnableDischarging = "ZQAmperlyApp_CFNotification_Tell_Helper_enableDischarging";
inline constexpr std::string_view kDisableDischarging = "ZQAmperlyApp_CFNotification_Tell_Helper_disableDischarging";
inline constexpr std::string_view kQueryDeamonLoadStatus = "ZQAmperly_TellDeamon_QueryDeamonLoadStatusCallBack";
inline constexpr std::string_view kSleep = "ZQAmperlyApp_CFNotification_Tell_Helper_Sleep";
inline constexpr std::string_view kWake = "ZQAmperlyApp_CFNotification_Tell_Helper_Wake";
inline constexpr std::string_view kUninstallHelper = "ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper";
inline constexpr std::string_view kLimitChange = "ZQAmperly_TellDeamon_LimitChange";
inline constexpr std::string_view kHeart = "ZQAmperly_TellDeamon_Heart";
inline constexpr std::string_view kRestart = "ZQAmperly_TellDeamon_Restart";

// In the order the daemon registers them at start.
inline constexpr std::array<std::string_view, 16> kRequestNames = {
    kQuerySMCOpenCloseStatus,
    kQuerySMCChargingStatus,
    kOpenSMC,
    kCloseSMC,
    kGetBatteryInfo,
    kEnableCharging,
    kDisableCharging,
    kEnableDischarging,
    kDisableDischarging,
    kQueryDeamonLoadStatus,
    kSleep,
    kWake,
    kUninstallHelper,
    kLimitChange,
    kHeart,
    kRestart,
};

// Replies and announcements: names with a dictionary, posted by the daemon on the distributed
// center.
inline constexpr std::string_view kReplySmcState = "ZQHelper_CFNotification_Tell_AmperlyApp_smcState";
inline constexpr std::string_view kReplyQuerySMCOpenCloseStatus =
    "ZQHelper_CFNotification_Tell_AmperlyApp_QuerySMCOpenCloseStatus";
inline constexpr std::string_view kReplyQuerySMCChargingStatus =
    "ZQHelper_CFNotification_Tell_AmperlyApp_QuerySMCChargingStatus";
inline constexpr std::string_view kReplyDeamonLoadStatus = "PostTo_AmperlyAppManager_DeamonLoadStatus";
inline constexpr std::string_view kReplyUninstallHelper =
    "ZQAmperlyApp_CFNotification_Tell_Helper_UninstallHelper_callBack";
// The heartbeat is answered under its request's own name, on the other center.
inline constexpr std::string_view kReplyHeart = kHeart;
inline constexpr std::string_view kReplyRestart = "ZQHelper_TellAmperly_Restart";

// In the order the relay registers them.
inline constexpr std::array<std::string_view, 7> kReplyNames = {
    kReplySmcState,         kReplyQuerySMCOpenCloseStatus, kReplyQuerySMCChargingStatus,
    kReplyDeamonLoadStatus, kReplyUninstallHelper,         kReplyHeart,
    kReplyRestart,
};

// Payload keys.
inline constexpr std::string_view kKeySmcStatus = "smcStatus";
inline constexpr std::string_view kKeySmcTimerActive = "smcTimerActive";
// Beside "smcStatus" 0 in the open/close-status and heartbeat replies, only when the SMC's firmware
// offers no charge keys the daemon can use: integer 1. Absent otherwise.
inline constexpr std::string_view kKeyNoUsableChargeKeys = "noUsableChargeKeys";
inline constexpr std::string_view kKeyChargingStatus = "chargingStatus";
inline constexpr std::string_view kKeyDischargingStatus = "dischargingStatus";
inline constexpr std::string_view kKeyStatus = "status";
inline constexpr std::string_view kKeyVersion = "version";
inline constexpr std::string_view kKeyResult = "result";
inline constexpr std::string_view kKeyUninstallSelf = "uninstallSelf";
inline constexpr std::string_view kKeyRestart = "restart";
// Read from the payload of two in-app requests.
inline constexpr std::string_view kKeyLabel = "label";

// Fixed payload texts.
inline constexpr std::string_view kResultDoneText = "处理完成";
inline constexpr std::string_view kRestartStartedText = "开始重启";
// The "label" value that turns an in-app switch or remove request into a removal.
inline constexpr std::string_view kLabelRemoveDaemon = "删除守护进程";

// In-app requests: distributed names forwarded by the login item's register. The trailing colon
// belongs to each name.
inline constexpr std::string_view kAskUninstallExecuteShell = "AskUninstallExecuteShellCallback:";
inline constexpr std::string_view kAskUninstallLaunchDaemonIsEnable = "AskUninstallLaunchDaemonIsEnableCallback:";
inline constexpr std::string_view kAskUninstallLaunchDaemonSwitchEnable =
    "AskUninstallLaunchDaemonSwitchEnableCallback:";
inline constexpr std::string_view kAskUninstallLaunchDaemonRemove = "AskUninstallLaunchDaemonRemoveCallback:";
inline constexpr std::string_view kAskUninstallPrivacyExitApp = "AskUninstallPrivacyExitAppCallback:";
inline constexpr std::string_view kAskUninstallUninstallRemoveSelectedItem =
    "AskUninstallUninstallRemoveSelectedItemCallback:";

// In the order the register's forwarding table is searched.
inline constexpr std::array<std::string_view, 6> kInAppRequestNames = {
    kAskUninstallExecuteShell,       kAskUninstallLaunchDaemonIsEnable, kAskUninstallLaunchDaemonSwitchEnable,
    kAskUninstallLaunchDaemonRemove, kAskUninstallPrivacyExitApp,       kAskUninstallUninstallRemoveSelectedItem,
};

// Local names: what the register posts on the process's own in-process center.
inline constexpr std::string_view kLocalLaunchDaemonEnable = "PostToLoginItemClassLaunchDaemonEnable";
inline constexpr std::string_view kLocalLaunchDaemonRemove = "PostToLoginItemClassLaunchDaemonRemove";
inline constexpr std::string_view kLocalLaunchDaemonSwitchEnable = "PostToLoginItemClassLaunchDaemonSwitchEnable";
inline constexpr std::string_view kLocalPrivacyExitAppProcess = "PostToPrivacyClassExitAppProcess";
inline constexpr std::string_view kLocalUninstallRemoveItem = "PostToUninstallClassRemoveItem";

}  // namespace wattkeeper::protocol
