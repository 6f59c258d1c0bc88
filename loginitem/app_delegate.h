#pragma once
// The login item's start-up: make sure the main application runs, then quit.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"
#include "platform/ports.h"
#include "platform/run_loop.h"
#include "platform/workspace.h"

namespace wattkeeper::loginitem {

// The login item lives this long after start-up, whatever start-up did.
inline constexpr Duration kQuitDelay = std::chrono::seconds(10);
// The newer launch call exists from this release on.
inline constexpr OperatingSystemVersion kOpenApplicationMinimumVersion{11, 0, 0};
// The login item sits this many path components below the main application's bundle folder
// (Contents/Library/LoginItems/<login item>.app).
inline constexpr std::size_t kLoginItemDepth = 4;
inline constexpr std::string_view kFirstLaunchKey = "LoginItemFristLaunch";

// The login item's application delegate: opens the main application hidden unless it already
// runs, and quits ten seconds later.
class AppDelegate {
public:
    AppDelegate(Workspace& workspace, Defaults& defaults, Bundles& bundles, RunLoop& runLoop, Application& application);

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    bool applicationSupportsSecureRestorableState() const;

private:
    bool mainApplicationRuns();
    void recordFirstLaunch();
    void openMainApplication();
    void scheduleQuit();

    Workspace& workspace_;
    Defaults& defaults_;
    Bundles& bundles_;
    RunLoop& runLoop_;
    Application& application_;
};

// A path split as NSString's pathComponents splits one: an absolute path starts with the component "/",
// empty components (a trailing or doubled slash) are dropped.
std::vector<std::string> pathComponents(std::string_view path);
// The inverse: components joined by "/", with no doubled slash after a leading "/".
std::string pathWithComponents(const std::vector<std::string>& components);
// Where the main application's bundle lies, given the login item's own bundle path; nothing when
// the path is too short to have the main application above it.
std::optional<std::string> mainApplicationPath(std::string_view loginItemPath);

// The process entry over the given ports: runs the application with an AppDelegate.
int wattstarterMain(int argc, char** argv, Ports& ports);

}  // namespace wattkeeper::loginitem
