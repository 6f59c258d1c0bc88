#pragma once
// The shared NSWorkspace (sleep and wake, running applications, opening applications), the
// system version, and the displays (NSScreen, CoreGraphics reconfiguration callbacks).

#include <memory>

#include "platform/workspace.h"

namespace wattkeeper::macos_backend {

class MacWorkspace : public Workspace {
public:
    MacWorkspace();
    ~MacWorkspace() override;
    MacWorkspace(const MacWorkspace&) = delete;
    MacWorkspace& operator=(const MacWorkspace&) = delete;

    // addObserver:selector:name:object: on the shared workspace's own notificationCenter, with
    // NSWorkspaceWillSleepNotification or NSWorkspaceDidWakeNotification and no object. The
    // workspace posts them on the main thread. Observers stay for the life of this object.
    void addWillSleepObserver(std::function<void()> observer) override;
    void addDidWakeObserver(std::function<void()> observer) override;
    // runningApplications with each one's bundleIdentifier.
    std::vector<RunningApplication> runningApplications() override;
    // openApplicationAtURL:configuration:completionHandler: with a file URL of the path, a
    // default NSWorkspaceOpenConfiguration whose hides is set as given, and no completion
    // handler. A path that is not UTF-8 opens nothing.
    void openApplication(std::string_view path, bool hides) override;
    // launchApplicationAtURL:options:configuration:error: with an empty configuration and no
    // error out-parameter; the returned application is not kept.
    void launchApplication(std::string_view path, std::uint32_t options) override;
    // NSProcessInfo's operatingSystemVersion.
    OperatingSystemVersion operatingSystemVersion() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class MacDisplays : public Displays {
public:
    // The count of [NSScreen screens]; call it on the main thread, as AppKit asks.
    std::size_t screenCount() override;
    // CGDisplayRegisterReconfigurationCallback; its CGError as an int (0 is success).
    int registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) override;
};

}  // namespace wattkeeper::macos_backend
