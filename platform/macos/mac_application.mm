#include "platform/macos/mac_application.h"

#import <AppKit/AppKit.h>

#include <utility>

// The application's delegate: forwards the end of launching to the system's own delegate.
@interface WattkeeperApplicationDelegate : NSObject <NSApplicationDelegate>
- (instancetype)initWithLaunchAction:(std::function<void()>)action;
@end

@implementation WattkeeperApplicationDelegate {
    std::function<void()> _didFinishLaunching;
}

- (instancetype)initWithLaunchAction:(std::function<void()>)action {
    self = [super init];
    if (self) _didFinishLaunching = std::move(action);
    return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    (void)notification;
    // Taken out first: the daemon's launch work runs the main run loop and never comes back.
    std::function<void()> launched = std::move(_didFinishLaunching);
    if (launched) launched();
}

- (void)applicationWillTerminate:(NSNotification*)notification {
    (void)notification;
}

- (BOOL)applicationSupportsSecureRestorableState:(NSApplication*)application {
    (void)application;
    return YES;
}

@end

namespace wattkeeper::macos_backend {

struct MacApplication::Impl {
    // Strong here: the application holds its delegate weakly.
    WattkeeperApplicationDelegate* delegate = nil;
};

MacApplication::MacApplication() : impl_(std::make_unique<Impl>()) {}

MacApplication::~MacApplication() = default;

int MacApplication::applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) {
    impl_->delegate = [[WattkeeperApplicationDelegate alloc] initWithLaunchAction:std::move(didFinishLaunching)];
    // NSApplicationMain makes its application with sharedApplication too, and so finds this one
    // with its delegate; the bundles carry no main interface file that would set another.
    [NSApplication sharedApplication].delegate = impl_->delegate;
    return NSApplicationMain(argc, const_cast<const char**>(argv));
}

void MacApplication::terminate() {
    [NSApp performSelectorOnMainThread:@selector(terminate:) withObject:nil waitUntilDone:NO];
}

}  // namespace wattkeeper::macos_backend
