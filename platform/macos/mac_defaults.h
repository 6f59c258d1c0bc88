#pragma once
// The shared defaults suites: NSUserDefaults.

#include <memory>

#include "platform/bundle.h"

namespace wattkeeper::macos_backend {

// NSUserDefaults initWithSuiteName:; nothing when the suite cannot be opened.
class MacDefaults : public Defaults {
public:
    std::unique_ptr<DefaultsSuite> openSuite(std::string_view suiteName) override;
};

}  // namespace wattkeeper::macos_backend
