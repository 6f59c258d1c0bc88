#include "loginitem/app_delegate.h"

#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "protocol/config.h"

namespace wattkeeper::loginitem {

namespace {

bool atLeast(const OperatingSystemVersion& version, const OperatingSystemVersion& minimum) {
    return std::tie(version.major, version.minor, version.patch) >=
           std::tie(minimum.major, minimum.minor, minimum.patch);
}

}  // namespace

AppDelegate::AppDelegate(Workspace& workspace, Defaults& defaults, Bundles& bundles, RunLoop& runLoop,
                         Application& application)
    : workspace_(workspace), defaults_(defaults), bundles_(bundles), runLoop_(runLoop), application_(application) {}

void AppDelegate::applicationDidFinishLaunching() {
    if (!mainApplicationRuns()) {
        recordFirstLaunch();
        openMainApplication();
    }
    scheduleQuit();
}

void AppDelegate::applicationWillTerminate() {}

bool AppDelegate::applicationSupportsSecureRestorableState() const { return true; }

bool AppDelegate::mainApplicationRuns() {
    const auto running = workspace_.runningApplications();
    return std::any_of(running.begin(), running.end(), [](const RunningApplication& app) {
        return app.bundleIdentifier && *app.bundleIdentifier == protocol::MainAppBundleId;
    });
}

void AppDelegate::recordFirstLaunch() {
    // A suite that cannot be opened is skipped quietly, as a failed write would be.
    auto suite = defaults_.openSuite(protocol::AppGroupSuite);
    if (!suite) return;
    suite->setBool(kFirstLaunchKey, true);
    suite->synchronize();
}

void AppDelegate::openMainApplication() {
    auto own = bundles_.mainBundle();
    if (!own) return;
    // Handing the workspace an empty or truncated path could open something else entirely.
    const auto path = mainApplicationPath(own->bundlePath());
    if (!path) return;
    if (atLeast(workspace_.operatingSystemVersion(), kOpenApplicationMinimumVersion)) {
        workspace_.openApplication(*path, true);
    } else {
        workspace_.launchApplication(*path, kWorkspaceLaunchAndHide);
    }
}

void AppDelegate::scheduleQuit() {
    // Only the application is captured: the delegate need not outlive start-up.
    runLoop_.after(kQuitDelay, [&application = application_] { application.terminate(); });
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    if (path.starts_with('/')) components.emplace_back("/");
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) components.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return components;
}

std::string pathWithComponents(const std::vector<std::string>& components) {
    std::string path;
    for (const auto& component : components) {
        if (!path.empty() && !path.ends_with('/')) path += '/';
        path += component;
    }
    return path;
}

std::optional<std::string> mainApplicationPath(std::string_view loginItemPath) {
    auto components = pathComponents(loginItemPath);
    if (components.size() <= kLoginItemDepth) return std::nullopt;
    components.resize(components.size() - kLoginItemDepth);
    return pathWithComponents(components);
}

int wattstarterMain(int argc, char** argv, Ports& ports) {
    if (!ports.workspace || !ports.defaults || !ports.bundles || !ports.runLoop || !ports.application) {
        return EXIT_FAILURE;
    }
    AppDelegate delegate(*ports.workspace, *ports.defaults, *ports.bundles, *ports.runLoop, *ports.application);
    return ports.application->applicationMain(argc, argv, [&delegate] { delegate.applicationDidFinishLaunching(); });
}

}  // namespace wattkeeper::loginitem
