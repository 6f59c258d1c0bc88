#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loginitem/app_delegate.h"
#include "protocol/config.h"
#include "tests/kit/fake_bundles.h"
#include "tests/kit/fake_workspace.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
using testkit::FakeWorkspace;
using OpenCall = FakeWorkspace::OpenCall;
using Stored = std::map<std::string, bool>;

const std::string kMainAppId{protocol::MainAppBundleId};
const Stored kFlagWritten{{std::string(protocol::AppGroupSuite) + "/" + std::string(loginitem::kFirstLaunchKey), true}};
const std::string kLoginItemPath = "/Applications/Main.app/Contents/Library/LoginItems/Starter.app";
const OpenCall kOpenedHidden{"/Applications/Main.app", true, true, 0};

// The shared defaults: a value set on a suite reaches `stored` ("suite/key") only through a
// successful synchronize.
class FakeDefaults : public Defaults {
public:
    std::unique_ptr<DefaultsSuite> openSuite(std::string_view name) override {
        return failOpen ? nullptr : std::make_unique<Suite>(*this, std::string(name));
    }

    Stored stored;
    std::size_t synchronizes = 0;
    bool failOpen = false;
    bool synchronizeSucceeds = true;

private:
    struct Suite : DefaultsSuite {
        Suite(FakeDefaults& defaults, std::string name) : defaults(defaults), name(std::move(name)) {}
        void setBool(std::string_view key, bool value) override { pending[name + "/" + std::string(key)] = value; }
        bool synchronize() override {
            ++defaults.synchronizes;
            if (!defaults.synchronizeSucceeds) return false;
            defaults.stored.insert(pending.begin(), pending.end());
            return true;
        }
        FakeDefaults& defaults;
        std::string name;
        Stored pending;
    };
};

// An application object that runs no loop: its main function records its arguments, finishes
// launching and returns the exit status set; terminate only counts.
struct FakeApplication : Application {
    int applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) override {
        ++applicationMainCalls;
        arguments.assign(argv, argv + argc);
        didFinishLaunching();
        return exitStatus;
    }
    void terminate() override { ++terminateCount; }

    int exitStatus = 0;
    std::size_t applicationMainCalls = 0;
    std::vector<std::string> arguments;
    std::size_t terminateCount = 0;
};

RunningApplication app(std::optional<std::string> bundleId) { return RunningApplication{std::move(bundleId)}; }

class StartupTest : public ::testing::Test {
protected:
    StartupTest() { bundles.setMainBundle(std::make_shared<testkit::FakeBundle>(kLoginItemPath)); }

    testkit::VirtualRunLoop loop;
    FakeWorkspace workspace;
    FakeDefaults defaults;
    testkit::FakeBundles bundles;
    FakeApplication application;
};

TEST_F(StartupTest, OnlyTheExactMainBundleIdCountsAsRunningAndEitherWayItQuitsOnceAtTenSeconds) {
    struct Case {
        const char* name;
        std::vector<RunningApplication> running;
        bool mainRuns;
    };
    const Case cases[] = {
        {"nothing running", {}, false},
        {"two instances", {app(kMainAppId), app(kMainAppId)}, true},
        {"after others and applications without an id", {app(std::nullopt), app("com.other"), app(kMainAppId)}, true},
        {"an empty id", {app("")}, false},
        {"the id in other case", {app("ORG.WATTKEEPER.APP")}, false},
        {"an id that merely starts with it", {app(kMainAppId + ".helper")}, false},
        {"an id that merely ends with it", {app("x" + kMainAppId)}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testkit::VirtualRunLoop loop;
        FakeWorkspace workspace;
        FakeDefaults defaults;
        FakeApplication application;
        workspace.setRunningApplications(c.running);
        loginitem::AppDelegate delegate{workspace, defaults, bundles, loop, application};
        loop.advance(3s);

        delegate.applicationDidFinishLaunching();

        // Without the main application, the flag is written out and the main bundle opens hidden.
        EXPECT_EQ(defaults.stored, c.mainRuns ? Stored{} : kFlagWritten);
        EXPECT_EQ(workspace.openCalls(), c.mainRuns ? std::vector<OpenCall>{} : std::vector<OpenCall>{kOpenedHidden});
        // Once, counted from the end of start-up.
        loop.advance(10s - 1ns);
        EXPECT_EQ(application.terminateCount, 0u);
        loop.advance(1ns);
        EXPECT_EQ(application.terminateCount, 1u);
        loop.advance(1h);
        EXPECT_EQ(application.terminateCount, 1u);
    }
}

TEST_F(StartupTest, TheFlagIsWrittenOnEveryStartThatFindsTheMainApplicationAwayAndFailuresStopNothing) {
    loginitem::AppDelegate delegate{workspace, defaults, bundles, loop, application};
    delegate.applicationDidFinishLaunching();
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(defaults.synchronizes, 2u);

    for (const bool openFails : {true, false}) {
        FakeWorkspace workspace;
        FakeDefaults defaults;
        defaults.failOpen = openFails;
        defaults.synchronizeSucceeds = false;
        loginitem::AppDelegate delegate{workspace, defaults, bundles, loop, application};
        delegate.applicationDidFinishLaunching();
        EXPECT_TRUE(defaults.stored.empty()) << openFails;
        EXPECT_EQ(workspace.openCalls().size(), 1u) << openFails;
    }
}

TEST_F(StartupTest, TheOpenCallFollowsTheSystemVersion) {
    struct Case {
        OperatingSystemVersion version;
        bool newerCall;
    };
    const Case cases[] = {
        {{10, 99, 99}, false},
        {{11, 0, 0}, true},
        {{14, 6, 1}, true},
    };
    for (const auto& c : cases) {
        FakeWorkspace workspace;
        workspace.setOperatingSystemVersion(c.version);
        loginitem::AppDelegate delegate{workspace, defaults, bundles, loop, application};
        delegate.applicationDidFinishLaunching();
        const OpenCall expected =
            c.newerCall ? kOpenedHidden : OpenCall{"/Applications/Main.app", false, false, 0x100000};
        EXPECT_EQ(workspace.openCalls(), std::vector<OpenCall>{expected}) << c.version.major << "." << c.version.minor;
    }
}

TEST_F(StartupTest, TheMainApplicationLiesFourComponentsAboveTheLoginItem) {
    struct Case {
        const char* loginItem;
        std::optional<std::string> mainApplication;
    };
    const Case cases[] = {
        {"/Applications/Main.app/Contents/Library/LoginItems/Starter.app/", "/Applications/Main.app"},
        {"/Applications//Main.app/Contents/Library/LoginItems/Starter.app", "/Applications/Main.app"},
        {"Main.app/Contents/Library/LoginItems/Starter.app", "Main.app"},
        {"/Contents/Library/LoginItems/Starter.app", "/"},
        // Four components or fewer leave no main application to open.
        {"/Library/LoginItems/Starter.app", std::nullopt},
        {"Contents/Library/LoginItems/Starter.app", std::nullopt},
        {"/", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loginitem::mainApplicationPath(c.loginItem), c.mainApplication) << c.loginItem;

    bundles.setMainBundle(std::make_shared<testkit::FakeBundle>("/Library/LoginItems/Starter.app"));
    loginitem::AppDelegate delegate{workspace, defaults, bundles, loop, application};
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(workspace.openCalls().empty());
    EXPECT_EQ(defaults.stored, kFlagWritten);
}

TEST_F(StartupTest, TheEntryHandsItsArgumentsToTheApplicationAndQuitsAfterMainHasReturned) {
    Ports ports;
    ports.workspace = &workspace;
    ports.application = &application;
    char program[] = "Wattstarter";
    char option[] = "-NSDocumentRevisionsDebugMode";
    char* argv[] = {program, option, nullptr};
    EXPECT_EQ(loginitem::wattstarterMain(2, argv, ports), EXIT_FAILURE);  // without all of its ports
    EXPECT_EQ(application.applicationMainCalls, 0u);

    ports.defaults = &defaults;
    ports.bundles = &bundles;
    ports.runLoop = &loop;
    application.exitStatus = 7;
    // The delegate is gone once the entry returns; the quit must not need it.
    EXPECT_EQ(loginitem::wattstarterMain(2, argv, ports), 7);
    EXPECT_EQ(application.arguments, (std::vector<std::string>{"Wattstarter", "-NSDocumentRevisionsDebugMode"}));
    EXPECT_EQ(workspace.openCalls().size(), 1u);
    loop.advance(10s);
    EXPECT_EQ(application.terminateCount, 1u);
}

}  // namespace
}  // namespace wattkeeper::testkit
