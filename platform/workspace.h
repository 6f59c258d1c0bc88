#pragma once
// The shared workspace (sleep and wake, running applications, opening applications) and the
// displays.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist.h"

namespace wattkeeper {

struct RunningApplication {
    std::optional<std::string> bundleIdentifier;
};

struct OperatingSystemVersion {
    long major = 0;
    long minor = 0;
    long patch = 0;
};

inline constexpr std::uint32_t kWorkspaceLaunchAndHide = 0x00100000;

class Workspace {
public:
    virtual ~Workspace() = default;
    // NSWorkspaceWillSleepNotification and NSWorkspaceDidWakeNotification, delivered on the
    // main thread. The machine goes to sleep once the will-sleep observers have returned (an
    // observer may hold it up to 30 s).
    virtual void addWillSleepObserver(std::function<void()> observer) = 0;
    virtual void addDidWakeObserver(std::function<void()> observer) = 0;
    // runningApplications, in the workspace's order.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // openApplicationAtURL:configuration:completionHandler: with a default configuration whose
    // hides is set as given, and no completion handler.
    virtual void openApplication(std::string_view path, bool hides) = 0;
    // launchApplicationAtURL:options:configuration:error: with an empty configuration.
    virtual void launchApplication(std::string_view path, std::uint32_t options) = 0;
    // The running system's version (the availability test).
    virtual OperatingSystemVersion operatingSystemVersion() = 0;
};

// CGDisplayChangeSummaryFlags.
inline constexpr std::uint32_t kDisplayBeginConfigurationFlag = 1u << 0;
inline constexpr std::uint32_t kDisplayAddFlag = 1u << 4;
inline constexpr std::uint32_t kDisplayRemoveFlag = 1u << 5;

using DisplayReconfigurationCallback = void (*)(std::uint32_t display, std::uint32_t flags, void* userInfo);

class Displays {
public:
    virtual ~Displays() = default;
    // The count of NSScreen screens.
    virtual std::size_t screenCount() = 0;
    // CGDisplayRegisterReconfigurationCallback; calls arrive on the main thread.
    virtual int registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) = 0;
};

}  // namespace wattkeeper
