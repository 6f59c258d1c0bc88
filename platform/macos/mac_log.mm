#include "platform/macos/mac_log.h"

#import "platform/macos/foundation_bridge.h"

#include <cstdio>
#include <string>

namespace wattkeeper::macos_backend {

void MacLog::standardOutput(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void MacLog::systemLog(std::string_view line) {
    @autoreleasepool {
        NSString* text = nsString(line);
        if (!text) {
            text = [[NSString alloc] initWithBytes:line.data() length:line.size() encoding:NSISOLatin1StringEncoding];
        }
        NSLog(@"%@", text);
    }
}

}  // namespace wattkeeper::macos_backend
