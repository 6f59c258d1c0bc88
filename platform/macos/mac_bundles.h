#pragma once
// Bundles: NSBundle.

#include <memory>
#include <mutex>

#include "platform/bundle.h"

namespace wattkeeper::macos_backend {

// NSBundle's mainBundle and bundleWithPath:. Each Bundle answers through its NSBundle, with the
// platform's own language choice and fallbacks. Safe from any thread.
class MacBundles : public Bundles {
public:
    // The same object on every call.
    std::shared_ptr<Bundle> mainBundle() override;
    // Nothing when no bundle is at the path or the path is not UTF-8.
    std::shared_ptr<Bundle> bundleWithPath(std::string_view path) override;

private:
    std::mutex mutex_;
    std::shared_ptr<Bundle> main_;
};

}  // namespace wattkeeper::macos_backend
