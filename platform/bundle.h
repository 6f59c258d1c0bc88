#pragma once
// Bundles, the shared defaults suites, and the application object.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist.h"

namespace wattkeeper {

// An application or resource bundle (NSBundle).
class Bundle {
public:
    virtual ~Bundle() = default;
    virtual std::string bundlePath() const = 0;
    // The info dictionary; nothing when the bundle has none.
    virtual std::optional<PlistDictionary> infoDictionary() const = 0;
    // pathForResource:ofType: among the bundle's resources.
    virtual std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const = 0;
    // localizedStringForKey:value:table: with NSBundle's fallbacks: a missing key gives the
    // value, or the key itself when the value is absent or empty.
    virtual std::string localizedString(std::string_view key, const std::optional<std::string>& value,
                                        const std::optional<std::string>& table) const = 0;
};

class Bundles {
public:
    virtual ~Bundles() = default;
    virtual std::shared_ptr<Bundle> mainBundle() = 0;
    // bundleWithPath:; nothing when no bundle is there.
    virtual std::shared_ptr<Bundle> bundleWithPath(std::string_view path) = 0;
};

// One user-defaults domain (NSUserDefaults initWithSuiteName:).
class DefaultsSuite {
public:
    virtual ~DefaultsSuite() = default;
    virtual void setBool(std::string_view key, bool value) = 0;
    virtual bool synchronize() = 0;
};

class Defaults {
public:
    virtual ~Defaults() = default;
    virtual std::unique_ptr<DefaultsSuite> openSuite(std::string_view suiteName) = 0;
};

// The application object: its main function and terminate:.
class Application {
public:
    virtual ~Application() = default;
    // NSApplicationMain: calls didFinishLaunching once the application runs, then serves the main
    // run loop; returns only when the application ends.
    virtual int applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) = 0;
    virtual void terminate() = 0;
};

}  // namespace wattkeeper
