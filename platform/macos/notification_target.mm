#import "platform/macos/foundation_bridge.h"

#include <utility>

@implementation WattkeeperNotificationTarget {
    std::function<void(NSNotification*)> _action;
}

- (instancetype)initWithAction:(std::function<void(NSNotification*)>)action {
    self = [super init];
    if (self) _action = std::move(action);
    return self;
}

- (void)receive:(NSNotification*)notification {
    if (_action) _action(notification);
}

@end
