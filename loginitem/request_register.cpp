#include "loginitem/request_register.h"

#include <array>

#include "platform/ports.h"
#include "protocol/names.h"
#include "protocol/protocol.h"

namespace wattkeeper::loginitem {

namespace {

// One incoming name. Rows that read the label forward to `onRemoveLabel` when it is the removal
// text and to `otherwise` when not; an empty name forwards nothing.
struct ForwardRow {
    std::string_view incoming;
    bool readsLabel;
    std::string_view onRemoveLabel;
    std::string_view otherwise;
};

constexpr std::array<ForwardRow, 6> kForwardTable = {{
    {protocol::kAskUninstallExecuteShell, false, {}, {}},
    {protocol::kAskUninstallLaunchDaemonIsEnable, false, {}, protocol::kLocalLaunchDaemonEnable},
    {protocol::kAskUninstallLaunchDaemonSwitchEnable, true, protocol::kLocalLaunchDaemonRemove,
     protocol::kLocalLaunchDaemonSwitchEnable},
    {protocol::kAskUninstallLaunchDaemonRemove, true, protocol::kLocalLaunchDaemonRemove, {}},
    {protocol::kAskUninstallPrivacyExitApp, false, {}, protocol::kLocalPrivacyExitAppProcess},
    {protocol::kAskUninstallUninstallRemoveSelectedItem, false, {}, protocol::kLocalUninstallRemoveItem},
}};

// Only text counts: a number or any other value under "label" is not the removal text.
bool labelsRemoval(const PlistDictionary* userInfo) {
    if (!userInfo) return false;
    const PlistValue* label = userInfo->find(protocol::kKeyLabel);
    const std::string* text = label ? label->asString() : nullptr;
    return text && *text == protocol::kLabelRemoveDaemon;
}

SharedInstance<ZQDaemonNotificationRegister>& sharedRegister() {
    static SharedInstance<ZQDaemonNotificationRegister> instance;
    return instance;
}

void askUninstallCallback(NotificationCenter&, void*, std::string_view name, const void*,
                          const PlistDictionary* userInfo) {
    const auto local = localNameForRequest(name, userInfo);
    if (!local) return;
    // The very dictionary that arrived, so observers see keys the register never reads.
    ZQDaemonNotificationRegister::manager().localCenter().postNotification(*local, userInfo);
}

}  // namespace

std::optional<std::string_view> localNameForRequest(std::string_view name, const PlistDictionary* userInfo) {
    for (const auto& row : kForwardTable) {
        if (row.incoming != name) continue;
        const std::string_view local = row.readsLabel && labelsRemoval(userInfo) ? row.onRemoveLabel : row.otherwise;
        if (local.empty()) return std::nullopt;
        return local;
    }
    return std::nullopt;
}

ZQDaemonNotificationRegister::ZQDaemonNotificationRegister(NotificationCenter& darwinCenter,
                                                           NotificationCenter& distributedCenter,
                                                           LocalNotificationCenter& localCenter)
    : darwinCenter_(darwinCenter), distributedCenter_(distributedCenter), localCenter_(localCenter) {}

ZQDaemonNotificationRegister& ZQDaemonNotificationRegister::manager() {
    return sharedRegister().get([] {
        Ports& ports = processPorts();
        return std::make_unique<ZQDaemonNotificationRegister>(*ports.darwinCenter, *ports.distributedCenter,
                                                              *ports.localCenter);
    });
}

void ZQDaemonNotificationRegister::replaceShared(std::unique_ptr<ZQDaemonNotificationRegister> next) {
    sharedRegister().replace(std::move(next));
}

void ZQDaemonNotificationRegister::postCFNotificationCenterWithName(std::string_view name) {
    protocol::postRequest(darwinCenter_, name);
}

void ZQDaemonNotificationRegister::registerDistributedNotificationsWithName(std::string_view name) {
    protocol::observeDistributed(distributedCenter_, name, askUninstallCallback);
}

// Names reach the register only through its user's registrations; registering the in-app names
// here as well would deliver each of them twice to a user who also registers them.
void ZQDaemonNotificationRegister::addCFNotificationObserver() {}

}  // namespace wattkeeper::loginitem
