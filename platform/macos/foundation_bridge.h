#pragma once
// Foundation objects to and from the system's values, for the Objective-C++ files of this
// backend: toll-free bridged CoreFoundation conversions (cf_values.h) under ARC, and a target
// object that hands notifications to a C++ function.

#ifndef __OBJC__
#error "foundation_bridge.h belongs to the Objective-C++ files of the macOS backend"
#endif

#import <Foundation/Foundation.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/macos/cf_values.h"

namespace wattkeeper::macos_backend {

// An NSString of UTF-8 text; nil when the text is not well-formed UTF-8.
inline NSString* nsString(std::string_view text) { return (NSString*)CFBridgingRelease(makeCFString(text).release()); }

// The UTF-8 text of an NSString; empty for nil or text with an unpaired surrogate.
inline std::string stdString(NSString* text) {
    if (!text) return std::string();
    return utf8String((__bridge CFStringRef)text).value_or(std::string());
}

inline NSDictionary* nsDictionary(const PlistDictionary& dictionary) {
    return (NSDictionary*)CFBridgingRelease(makeCFDictionary(dictionary).release());
}

// Values without a property-list form are left out; nothing for nil.
inline std::optional<PlistDictionary> plistDictionaryOf(NSDictionary* dictionary) {
    if (!dictionary) return std::nullopt;
    return plistDictionary((__bridge CFTypeRef)dictionary, Unconvertible::Skip);
}

}  // namespace wattkeeper::macos_backend

// An observer for NSNotificationCenter's selector-based registration: each notification it
// receives goes to its action, on the posting thread. Centers do not retain their observers, so
// whoever registers one keeps it.
@interface WattkeeperNotificationTarget : NSObject
- (instancetype)initWithAction:(std::function<void(NSNotification*)>)action;
- (void)receive:(NSNotification*)notification;
@end
