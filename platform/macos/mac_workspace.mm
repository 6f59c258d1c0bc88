#include "platform/macos/mac_workspace.h"

#import <AppKit/AppKit.h>
#include <CoreGraphics/CoreGraphics.h>

#import "platform/macos/foundation_bridge.h"

#include <mutex>
#include <type_traits>
#include <utility>

namespace wattkeeper::macos_backend {

// The port's constants and callback shape are AppKit's and CoreGraphics', passed through as they are.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
static_assert(kWorkspaceLaunchAndHide == NSWorkspaceLaunchAndHide);
#pragma clang diagnostic pop
static_assert(kDisplayBeginConfigurationFlag == kCGDisplayBeginConfigurationFlag);
static_assert(kDisplayAddFlag == kCGDisplayAddFlag);
static_assert(kDisplayRemoveFlag == kCGDisplayRemoveFlag);
static_assert(std::is_same_v<DisplayReconfigurationCallback, CGDisplayReconfigurationCallBack>);

struct MacWorkspace::Impl {
    std::mutex mutex;
    std::vector<WattkeeperNotificationTarget*> targets;  // strong: the center does not retain them

    void observe(NSNotificationName name, std::function<void()> observer) {
        if (!observer) return;
        WattkeeperNotificationTarget* target = [[WattkeeperNotificationTarget alloc]
            initWithAction:[observer = std::move(observer)](NSNotification*) { observer(); }];
        {
            std::lock_guard lock(mutex);
            targets.push_back(target);
        }
        [[[NSWorkspace sharedWorkspace] notificationCenter] addObserver:target
                                                               selector:@selector(receive:)
                                                                   name:name
                                                                 object:nil];
    }
};

namespace {

NSURL* fileURL(std::string_view path) {
    NSString* text = nsString(path);
    return text ? [NSURL fileURLWithPath:text] : nil;
}

}  // namespace

MacWorkspace::MacWorkspace() : impl_(std::make_unique<Impl>()) {}

MacWorkspace::~MacWorkspace() {
    NSNotificationCenter* center = [[NSWorkspace sharedWorkspace] notificationCenter];
    for (WattkeeperNotificationTarget* target : impl_->targets) [center removeObserver:target];
}

void MacWorkspace::addWillSleepObserver(std::function<void()> observer) {
    impl_->observe(NSWorkspaceWillSleepNotification, std::move(observer));
}

void MacWorkspace::addDidWakeObserver(std::function<void()> observer) {
    impl_->observe(NSWorkspaceDidWakeNotification, std::move(observer));
}

std::vector<RunningApplication> MacWorkspace::runningApplications() {
    std::vector<RunningApplication> result;
    @autoreleasepool {
        for (NSRunningApplication* application in [[NSWorkspace sharedWorkspace] runningApplications]) {
            RunningApplication entry;
            if (NSString* identifier = application.bundleIdentifier) entry.bundleIdentifier = stdString(identifier);
            result.push_back(std::move(entry));
        }
    }
    return result;
}

void MacWorkspace::openApplication(std::string_view path, bool hides) {
    NSURL* url = fileURL(path);
    if (!url) return;
    NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
    configuration.hides = hides ? YES : NO;
    [[NSWorkspace sharedWorkspace] openApplicationAtURL:url configuration:configuration completionHandler:nil];
}

void MacWorkspace::launchApplication(std::string_view path, std::uint32_t options) {
    NSURL* url = fileURL(path);
    if (!url) return;
        // The call systems before macOS 11 have; deprecated from 11 on, where openApplication is used.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    [[NSWorkspace sharedWorkspace] launchApplicationAtURL:url
                                                  options:static_cast<NSWorkspaceLaunchOptions>(options)
                                            configuration:[NSDictionary dictionary]
                                                    error:nil];
#pragma clang diagnostic pop
}

OperatingSystemVersion MacWorkspace::operatingSystemVersion() {
    const NSOperatingSystemVersion version = [[NSProcessInfo processInfo] operatingSystemVersion];
    return OperatingSystemVersion{static_cast<long>(version.majorVersion), static_cast<long>(version.minorVersion),
                                  static_cast<long>(version.patchVersion)};
}

std::size_t MacDisplays::screenCount() {
    @autoreleasepool {
        return static_cast<std::size_t>([[NSScreen screens] count]);
    }
}

int MacDisplays::registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) {
    // The port's callback has CGDisplayReconfigurationCallBack's shape: display id and change flags
    // are both 32-bit unsigned.
    return static_cast<int>(CGDisplayRegisterReconfigurationCallback(callback, userInfo));
}

}  // namespace wattkeeper::macos_backend
