#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loginitem/app_delegate.h"
#include "protocol/config.h"
#include "tests/kit/fake_application.h"
#include "tests/kit/fake_bundles.h"
#include "tests/kit/fake_defaults.h"
#include "tests/kit/fake_workspace.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::loginitem {
namespace {

using namespace std::chrono_literals;
using testkit::FakeWorkspace;
using OpenCall = FakeWorkspace::OpenCall;

const std::string kMainAppId{protocol::MainAppBundleId};
const std::string kSuite{protocol::AppGroupSuite};
const std::string kFlag{kFirstLaunchKey};
const std::string kLoginItemPath = "/Applications/Main.app/Contents/Library/LoginItems/Starter.app";

RunningApplication app(std::optional<std::string> bundleId) { return RunningApplication{std::move(bundleId)}; }

// The application quits exactly once, exactly `delay` after now, and never again.
void expectQuitOnce(testkit::VirtualRunLoop& loop, const testkit::FakeApplication& application, Duration delay) {
    loop.advance(delay - 1ns);
    EXPECT_EQ(application.terminateCount(), 0u) << "quit too early";
    loop.advance(1ns);
    EXPECT_EQ(application.terminateCount(), 1u) << "no quit on time";
    loop.advance(1h);
    EXPECT_EQ(application.terminateCount(), 1u) << "quit more than once";
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { installAt(kLoginItemPath); }

    void installAt(std::string path) { bundles.setMainBundle(std::make_shared<testkit::FakeBundle>(std::move(path))); }

    void expectQuitOnceAfter(Duration delay) { expectQuitOnce(loop, application, delay); }

    testkit::VirtualRunLoop loop;
    FakeWorkspace workspace;
    testkit::FakeDefaults defaults;
    testkit::FakeBundles bundles;
    testkit::FakeApplication application;
    AppDelegate delegate{workspace, defaults, bundles, loop, application};
};

TEST_F(StartupTest, OnlyTheExactMainBundleIdCountsAsRunningAndEitherWayItQuitsOnceAtTenSeconds) {
    struct Case {
        const char* name;
        std::vector<RunningApplication> running;
        bool mainRuns;
    };
    const Case cases[] = {
        {"nothing running", {}, false},
        {"only the main application", {app(kMainAppId)}, true},
        {"two instances", {app(kMainAppId), app(kMainAppId)}, true},
        {"after others and applications without an id", {app(std::nullopt), app("com.other"), app(kMainAppId)}, true},
        {"only applications without an id", {app(std::nullopt), app(std::nullopt)}, false},
        {"an empty id", {app("")}, false},
        {"the id in other case", {app("ORG.WATTKEEPER.APP")}, false},
        {"an id that merely starts with it", {app(kMainAppId + ".helper")}, false},
        {"an id that merely ends with it", {app("x" + kMainAppId)}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testkit::VirtualRunLoop loop;
        FakeWorkspace workspace;
        testkit::FakeDefaults defaults;
        testkit::FakeApplication application;
        workspace.setRunningApplications(c.running);
        AppDelegate delegate{workspace, defaults, bundles, loop, application};

        delegate.applicationDidFinishLaunching();

        EXPECT_EQ(workspace.runningApplicationsCalls(), 1u);
        if (c.mainRuns) {
            EXPECT_EQ(defaults.openCount(), 0u);
            EXPECT_TRUE(workspace.openCalls().empty());
        } else {
            EXPECT_EQ(defaults.storedBool(kSuite, kFlag), true);
            EXPECT_EQ(workspace.openCalls().size(), 1u);
        }
        expectQuitOnce(loop, application, 10s);
    }
}

TEST_F(StartupTest, WithoutTheMainApplicationTheFlagIsWrittenOutAndTheMainBundleOpensHidden) {
    workspace.setRunningApplications({app("com.apple.finder"), app(std::nullopt)});

    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(defaults.openedSuites(), std::vector<std::string>{kSuite});
    EXPECT_EQ(defaults.storedBool(kSuite, kFlag), true);
    EXPECT_EQ(defaults.synchronizeCount(kSuite), 1u);
    EXPECT_EQ(workspace.openCalls(), (std::vector<OpenCall>{{"/Applications/Main.app", true, true, 0}}));
    expectQuitOnceAfter(10s);
}

TEST_F(StartupTest, TheFlagIsWrittenOnEveryStartThatFindsTheMainApplicationAway) {
    delegate.applicationDidFinishLaunching();
    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(defaults.synchronizeCount(kSuite), 2u);
    EXPECT_EQ(defaults.setCount(kSuite), 2u);
}

TEST_F(StartupTest, TheOpenCallFollowsTheSystemVersion) {
    struct Case {
        OperatingSystemVersion version;
        bool newerCall;
    };
    const Case cases[] = {
        {{10, 15, 7}, false}, {{10, 16, 0}, false}, {{10, 99, 99}, false}, {{11, 0, 0}, true},
        {{11, 0, 1}, true},   {{11, 1, 0}, true},   {{12, 0, 0}, true},    {{14, 6, 1}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.version.major << "." << c.version.minor << "." << c.version.patch);
        FakeWorkspace workspace;
        workspace.setOperatingSystemVersion(c.version);
        AppDelegate delegate{workspace, defaults, bundles, loop, application};

        delegate.applicationDidFinishLaunching();

        const OpenCall expected = c.newerCall ? OpenCall{"/Applications/Main.app", true, true, 0}
                                              : OpenCall{"/Applications/Main.app", false, false, 0x100000};
        EXPECT_EQ(workspace.openCalls(), std::vector<OpenCall>{expected});
    }
}

TEST_F(StartupTest, TheQuitIsCountedFromTheEndOfStartUp) {
    loop.advance(3s);

    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(loop.nextDeadline(), 13s);
    expectQuitOnceAfter(10s);
}

TEST_F(StartupTest, TheMainApplicationLiesFourComponentsAboveTheLoginItem) {
    struct Case {
        const char* loginItem;
        std::optional<std::string> mainApplication;
    };
    const Case cases[] = {
        {"/Applications/Main.app/Contents/Library/LoginItems/Starter.app", "/Applications/Main.app"},
        {"/Applications/Main.app/Contents/Library/LoginItems/Starter.app/", "/Applications/Main.app"},
        {"/Applications//Main.app/Contents/Library/LoginItems/Starter.app", "/Applications/Main.app"},
        {"/Users/me/Apps/Main.app/Contents/Library/LoginItems/Starter.app", "/Users/me/Apps/Main.app"},
        {"Main.app/Contents/Library/LoginItems/Starter.app", "Main.app"},
        {"/Contents/Library/LoginItems/Starter.app", "/"},
        // Four components or fewer leave no main application to open.
        {"/Library/LoginItems/Starter.app", std::nullopt},
        {"Contents/Library/LoginItems/Starter.app", std::nullopt},
        {"/Starter.app", std::nullopt},
        {"/", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.loginItem);
        EXPECT_EQ(mainApplicationPath(c.loginItem), c.mainApplication);
    }
}

TEST_F(StartupTest, PathsSplitAndJoinAsThePlatformDoes) {
    using Components = std::vector<std::string>;
    EXPECT_EQ(pathComponents("/tmp/scratch.tiff"), (Components{"/", "tmp", "scratch.tiff"}));
    EXPECT_EQ(pathComponents("tmp/scratch"), (Components{"tmp", "scratch"}));
    EXPECT_EQ(pathComponents("/tmp/"), (Components{"/", "tmp"}));
    EXPECT_EQ(pathComponents("/"), Components{"/"});
    EXPECT_EQ(pathComponents(""), Components{});
    EXPECT_EQ(pathWithComponents({"/", "tmp", "scratch.tiff"}), "/tmp/scratch.tiff");
    EXPECT_EQ(pathWithComponents({"tmp", "scratch"}), "tmp/scratch");
    EXPECT_EQ(pathWithComponents({"/"}), "/");
    EXPECT_EQ(pathWithComponents({}), "");
}

TEST_F(StartupTest, AShortBundlePathOpensNothingYetStillQuits) {
    installAt("/Library/LoginItems/Starter.app");

    delegate.applicationDidFinishLaunching();

    EXPECT_TRUE(workspace.openCalls().empty());
    EXPECT_EQ(defaults.storedBool(kSuite, kFlag), true);
    expectQuitOnceAfter(10s);
}

TEST_F(StartupTest, PreferencesThatCannotBeOpenedOrWrittenDoNotKeepTheMainApplicationShut) {
    for (const bool openFails : {true, false}) {
        SCOPED_TRACE(openFails ? "open fails" : "synchronize fails");
        FakeWorkspace workspace;
        testkit::FakeDefaults defaults;
        defaults.failOpen(openFails);
        defaults.setSynchronizeResult(false);
        AppDelegate delegate{workspace, defaults, bundles, loop, application};

        delegate.applicationDidFinishLaunching();

        EXPECT_EQ(defaults.storedBool(kSuite, kFlag), std::nullopt);
        EXPECT_EQ(workspace.openCalls().size(), 1u);
    }
}

TEST_F(StartupTest, TheOtherDelegateMethodsDoNothingButAnswer) {
    EXPECT_TRUE(delegate.applicationSupportsSecureRestorableState());
    delegate.applicationWillTerminate();
    EXPECT_EQ(loop.pendingCount(), 0u);
    EXPECT_EQ(workspace.runningApplicationsCalls(), 0u);
    EXPECT_EQ(application.terminateCount(), 0u);
}

TEST_F(StartupTest, TheEntryHandsItsArgumentsToTheApplicationAndQuitsAfterMainHasReturned) {
    Ports ports;
    ports.workspace = &workspace;
    ports.defaults = &defaults;
    ports.bundles = &bundles;
    ports.runLoop = &loop;
    ports.application = &application;
    application.setExitStatus(7);
    char program[] = "Wattstarter";
    char option[] = "-NSDocumentRevisionsDebugMode";
    char* argv[] = {program, option, nullptr};

    // The delegate is gone once the entry returns; the quit must not need it.
    EXPECT_EQ(wattstarterMain(2, argv, ports), 7);

    EXPECT_EQ(application.argc(), 2);
    EXPECT_EQ(application.arguments(), (std::vector<std::string>{"Wattstarter", "-NSDocumentRevisionsDebugMode"}));
    EXPECT_EQ(workspace.openCalls().size(), 1u);
    expectQuitOnceAfter(10s);
}

TEST_F(StartupTest, TheEntryRefusesToRunWithoutItsPorts) {
    Ports ports;
    ports.workspace = &workspace;
    ports.application = &application;
    char program[] = "Wattstarter";
    char* argv[] = {program, nullptr};

    EXPECT_EQ(wattstarterMain(1, argv, ports), EXIT_FAILURE);
    EXPECT_EQ(application.applicationMainCalls(), 0u);
}

}  // namespace
}  // namespace wattkeeper::loginitem
