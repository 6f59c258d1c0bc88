#include "platform/macos/mac_defaults.h"

#import "platform/macos/foundation_bridge.h"

namespace wattkeeper::macos_backend {

namespace {

class MacDefaultsSuite : public DefaultsSuite {
public:
    explicit MacDefaultsSuite(NSUserDefaults* defaults) : defaults_(defaults) {}

    void setBool(std::string_view key, bool value) override {
        if (NSString* cocoaKey = nsString(key)) [defaults_ setBool:value ? YES : NO forKey:cocoaKey];
    }

    bool synchronize() override { return [defaults_ synchronize] == YES; }

private:
    NSUserDefaults* defaults_;
};

}  // namespace

std::unique_ptr<DefaultsSuite> MacDefaults::openSuite(std::string_view suiteName) {
    NSString* name = nsString(suiteName);
    if (!name) return nullptr;
    NSUserDefaults* defaults = [[NSUserDefaults alloc] initWithSuiteName:name];
    if (!defaults) return nullptr;
    return std::make_unique<MacDefaultsSuite>(defaults);
}

}  // namespace wattkeeper::macos_backend
