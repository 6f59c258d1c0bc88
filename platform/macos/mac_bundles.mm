#include "platform/macos/mac_bundles.h"

#import "platform/macos/foundation_bridge.h"

#include <string>
#include <utility>

namespace wattkeeper::macos_backend {

namespace {

class MacBundle : public Bundle {
public:
    explicit MacBundle(NSBundle* bundle) : bundle_(bundle) {}

    std::string bundlePath() const override { return stdString(bundle_.bundlePath); }

    std::optional<PlistDictionary> infoDictionary() const override {
        // The info dictionary holds objects without a property-list form (its own URL, for one).
        return plistDictionaryOf(bundle_.infoDictionary);
    }

    std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const override {
        NSString* resource = nsString(name);
        if (!resource) return std::nullopt;
        // An empty type is no extension at all, for which the call takes nil.
        NSString* extension = type.empty() ? nil : nsString(type);
        if (!type.empty() && !extension) return std::nullopt;
        NSString* path = [bundle_ pathForResource:resource ofType:extension];
        if (!path) return std::nullopt;
        return stdString(path);
    }

    std::string localizedString(std::string_view key, const std::optional<std::string>& value,
                                const std::optional<std::string>& table) const override {
        NSString* cocoaKey = nsString(key);
        if (!cocoaKey) return std::string(key);
        NSString* cocoaValue = value ? nsString(*value) : nil;
        NSString* cocoaTable = table ? nsString(*table) : nil;
        return stdString([bundle_ localizedStringForKey:cocoaKey value:cocoaValue table:cocoaTable]);
    }

private:
    NSBundle* bundle_;
};

}  // namespace

std::shared_ptr<Bundle> MacBundles::mainBundle() {
    std::lock_guard lock(mutex_);
    if (!main_) {
        if (NSBundle* bundle = [NSBundle mainBundle]) main_ = std::make_shared<MacBundle>(bundle);
    }
    return main_;
}

std::shared_ptr<Bundle> MacBundles::bundleWithPath(std::string_view path) {
    NSString* cocoaPath = nsString(path);
    if (!cocoaPath) return nullptr;
    NSBundle* bundle = [NSBundle bundleWithPath:cocoaPath];
    if (!bundle) return nullptr;
    return std::make_shared<MacBundle>(bundle);
}

}  // namespace wattkeeper::macos_backend
