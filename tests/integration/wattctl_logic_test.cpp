// wattctl's commands on in-memory centers and virtual time, the daemon's replies posted by hand:
// no bus, no process, but the real string tables and real files in a temporary virtual root.
// The daemon end to end runs `limit`, `on` and `status` over the bus.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "loginitem/localization.h"
#include "loginitem/notification_wrapper.h"
#include "platform/linux/linux_bundles.h"
#include "platform/linux/plist_codec.h"
#include "platform/linux/strings_file.h"
#include "protocol/names.h"
#include "protocol/protocol.h"
#include "tests/integration/process_kit.h"
#include "tests/kit/fake_system.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/recording_log.h"
#include "tests/kit/virtual_run_loop.h"
#include "tools/wattctl/wattctl_app.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;
namespace names = protocol;
using loginitem::ZQLocalizationSystem;
using loginitem::ZQNotificationWrapper;
using testkit::MemoryNotificationCenter;

const fs::path kSources = fs::path(__FILE__).parent_path().parent_path().parent_path();
const fs::path kResources = kSources / "loginitem" / "resources";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

class WattctlLogicTest : public ::testing::Test {
protected:
    WattctlLogicTest() {
        ZQNotificationWrapper::replaceShared(std::make_unique<ZQNotificationWrapper>(darwin, distributed, log));
        ZQLocalizationSystem::replaceShared(std::make_unique<ZQLocalizationSystem>(bundles));
        powerSources.setSources(PowerSourceList{testkit::batteryDescription(78, true)});
    }
    ~WattctlLogicTest() override {
        ZQNotificationWrapper::replaceShared(nullptr);
        ZQLocalizationSystem::replaceShared(nullptr);
    }

    // Starts wattctl with the arguments, its output and the posts so far cleared; the run loop is
    // the test's to advance.
    wattctl::WattctlApp& run(std::vector<std::string> arguments) {
        out.str("");
        err.str("");
        darwin.clearPosts();
        arguments.insert(arguments.begin(), "wattctl");
        arguments_ = std::move(arguments);
        argv_.clear();
        for (const auto& argument : arguments_) argv_.push_back(argument.c_str());
        app_ = std::make_unique<wattctl::WattctlApp>(wattctl::Context{
            loop, ZQNotificationWrapper::sharedManager(), &powerSources,
            [this] { return rootFolder; }, [this] { return consoleUser; }, out, err});
        app_->start(static_cast<int>(argv_.size()), argv_.data());
        return *app_;
    }

    void reply(std::string_view name, const PlistDictionary& payload) {
        protocol::postReply(distributed, name, payload);
        loop.runUntilIdle();
    }

    std::vector<std::string> posted() const { return darwin.postedNames(); }
    fs::path limitFile() const { return root.path() / wattctl::limitFilePath("anna").substr(1); }

    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, MemoryNotificationCenter::Kind::Darwin};
    MemoryNotificationCenter distributed{loop, MemoryNotificationCenter::Kind::Distributed};
    testkit::RecordingLog log;
    testkit::FakePowerSources powerSources;
    LinuxBundles bundles{kResources.string(), std::vector<std::string>{"en"}};
    TempDir root;
    std::optional<std::string> rootFolder = root.path().string();
    std::optional<std::string> consoleUser = "anna";
    std::ostringstream out;
    std::ostringstream err;

private:
    std::vector<std::string> arguments_;
    std::vector<const char*> argv_;
    std::unique_ptr<wattctl::WattctlApp> app_;
};

TEST_F(WattctlLogicTest, StatusShowsEveryAnswerOnceAllHaveComeAndWhatItCannotSee) {
    struct Case {
        const char* name;
        bool withLimitFile;
        bool withBattery;
        PlistDictionary load, heart, charging, openClose;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"everything on", true, true, {{"status", 1}, {"version", "0.1.0"}}, {{"smcStatus", 1}, {"smcTimerActive", 0}},
         {{"chargingStatus", 1}, {"dischargingStatus", 0}}, {{"smcStatus", 1}},
         {"Battery charge control", "Daemon running as root: yes", "Daemon version: 0.1.0", "Heartbeat: answered",
          "SMC connection: usable", "Charge-limit timer: inactive", "Charging: allowed", "Forced discharge: off",
          "Battery charge: 78%", "Power adapter: connected", "Charge limit: 80%"}},
        {"everything off", false, false, {{"status", 0}}, {{"smcStatus", 0}, {"smcTimerActive", 1}},
         {{"chargingStatus", 0}, {"dischargingStatus", 1}}, {{"smcStatus", 0}},
         {"Battery charge control", "Daemon running as root: no", "Daemon version: unknown", "Heartbeat: answered",
          "SMC connection: unusable", "Charge-limit timer: active", "Charging: inhibited", "Forced discharge: on",
          "Battery charge: unknown", "Charge limit: unknown (no virtual Mac root folder or console user)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.withLimitFile) {
            ASSERT_EQ(run({"limit", "80"}).exitStatus(), 0);
        } else {
            consoleUser.reset();
        }
        if (!c.withBattery) powerSources.setSources(std::nullopt);
        auto& app = run({"status"});
        EXPECT_EQ(posted(), (std::vector<std::string>{std::string(names::kQueryDeamonLoadStatus),
                                                      std::string(names::kHeart),
                                                      std::string(names::kQuerySMCChargingStatus),
                                                      std::string(names::kQuerySMCOpenCloseStatus)}));
        // Another process's request answered first, into the slot the open/close status waits in.
        reply(names::kReplySmcState, {{"result", "处理完成"}});
        EXPECT_FALSE(app.finished());
        reply(names::kReplyQuerySMCOpenCloseStatus, c.openClose);
        reply(names::kReplyDeamonLoadStatus, c.load);
        reply(names::kReplyHeart, c.heart);
        reply(names::kReplyQuerySMCChargingStatus, c.charging);
        ASSERT_TRUE(app.finished());
        EXPECT_EQ(app.exitStatus(), 0);
        EXPECT_EQ(linesOf(out.str()), c.lines);
        EXPECT_EQ(err.str(), "");
    }
}

TEST_F(WattctlLogicTest, EachCommandPostsItsRequestAndShowsTheAnswer) {
    struct Case {
        std::vector<std::string> arguments;
        std::string_view request;
        std::string_view reply;  // empty: none is waited for
        PlistDictionary payload;
        std::vector<std::string> lines;
    };
    const PlistDictionary inhibitedDischarging{{"chargingStatus", 0}, {"dischargingStatus", 1}};
    const Case cases[] = {
        {{"on"}, names::kOpenSMC, {}, {}, {"Asked the daemon to turn charge control on."}},
        {{"off"}, names::kCloseSMC, {}, {}, {"Asked the daemon to turn charge control off."}},
        {{"charging", "off"}, names::kDisableCharging, names::kReplyQuerySMCChargingStatus, inhibitedDischarging,
         {"Charging: inhibited", "Forced discharge: on"}},
        {{"discharging", "on"}, names::kEnableDischarging, names::kReplyQuerySMCChargingStatus, inhibitedDischarging,
         {"Charging: inhibited", "Forced discharge: on"}},
        {{"uninstall"}, names::kUninstallHelper, names::kReplyUninstallHelper, {{"uninstallSelf", 1}},
         {"The daemon is uninstalling itself."}},
        {{"restart"}, names::kRestart, names::kReplyRestart, {{"restart", "开始重启"}}, {"The daemon is restarting."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        auto& app = run(c.arguments);
        EXPECT_EQ(posted(), std::vector<std::string>{std::string(c.request)});
        if (!c.reply.empty()) reply(c.reply, c.payload);
        loop.runUntilIdle();
        ASSERT_TRUE(app.finished());
        EXPECT_EQ(app.exitStatus(), 0);
        EXPECT_EQ(linesOf(out.str()), c.lines);
    }
}

TEST_F(WattctlLogicTest, ARequestWithoutAnAnswerEndsWithTheNoAnswerMessageAfterTheTimeout) {
    struct Case {
        std::vector<std::string> arguments;
        std::chrono::milliseconds timeout;
    };
    const Case cases[] = {
        {{"status"}, 3s},
        {{"charging", "on"}, 3s},
        {{"restart", "--timeout", "1.5"}, 1500ms},
        {{"--timeout", "10", "discharging", "off"}, 10s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        auto& app = run(c.arguments);
        loop.advance(c.timeout - 1ms);
        EXPECT_FALSE(app.finished());
        loop.advance(1ms);
        ASSERT_TRUE(app.finished());
        EXPECT_EQ(app.exitStatus(), wattctl::kNoAnswerStatus);
        EXPECT_EQ(err.str(), "the daemon does not answer: is it running?\n");
        EXPECT_EQ(out.str(), "");
    }
}

TEST_F(WattctlLogicTest, LimitWritesTheFileInTheUsersContainerBeforeItTellsTheDaemon) {
    auto& app = run({"limit", "80"});
    // Nothing to wait for: the request has no reply.
    ASSERT_TRUE(app.finished());
    EXPECT_EQ(app.exitStatus(), 0);
    const std::string content = readFile(limitFile());
    EXPECT_NE(content.find("<?xml"), std::string::npos);
    const auto value = plistFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
    ASSERT_TRUE(value && value->asDictionary());
    EXPECT_EQ(*value->asDictionary(), (PlistDictionary{{"ChargingLimit", 80}}));
    EXPECT_EQ(posted(), std::vector<std::string>{std::string(names::kLimitChange)});
    EXPECT_EQ(linesOf(out.str()),
              (std::vector<std::string>{"Charge limit set to 80% in " + wattctl::limitFilePath("anna") + ".",
                                        "The daemon was told that the charge limit changed."}));
}

TEST_F(WattctlLogicTest, ABadCommandLineEndsAtOnceWithAFailureAndPostsNothing) {
    const std::vector<std::string> cases[] = {
        {}, {"fly"}, {"charging", "maybe"}, {"--lang", "fr", "status"}, {"limit", "101"}, {"limit", "high"},
    };
    for (const auto& arguments : cases) {
        auto& app = run(arguments);
        ASSERT_TRUE(app.finished());
        EXPECT_NE(app.exitStatus(), 0);
        EXPECT_TRUE(posted().empty());
    }
    rootFolder.reset();
    EXPECT_EQ(run({"limit", "80"}).exitStatus(), wattctl::kFailureStatus);
    EXPECT_NE(err.str().find("Cannot find the virtual Mac"), std::string::npos) << err.str();
    EXPECT_TRUE(posted().empty());
}

TEST(WattctlFormat, OnlyTheKnownConversionsAreFilled) {
    struct Case {
        const char* format;
        std::vector<std::string> arguments;
        const char* result;
    };
    const Case cases[] = {
        {"Charge limit: %d%%", {"80"}, "Charge limit: 80%"},
        {"%s in %@", {"a", "b"}, "a in b"},
        {"%d and %d", {"1"}, "1 and "},
        {"%n%x stay", {"1"}, "%n%x stay"},
        {"trailing %", {}, "trailing %"},
    };
    for (const auto& c : cases) EXPECT_EQ(wattctl::fill(c.format, c.arguments), c.result) << c.format;
}

// Every text wattctl shows is looked up by a key; each key must be in every shipped language,
// or a person reading that language sees the bare key.
TEST(WattctlTexts, EveryKeyTheToolUsesIsInEveryLanguage) {
    std::set<std::string> keys{"separator"};
    static const std::regex key(R"re("([a-z]+(\.[A-Za-z0-9]+)+)")re");
    for (const auto& entry : fs::directory_iterator(kSources / "tools" / "wattctl")) {
        const std::string text = readFile(entry.path());
        for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it) keys.insert((*it)[1]);
    }
    ASSERT_GT(keys.size(), 20u);
    for (const char* language : {"en", "zh-Hans"}) {
        const auto table = readStringsFile((kResources / (std::string(language) + ".lproj") / "Localizable.strings").string());
        ASSERT_TRUE(table.has_value()) << language;
        for (const auto& k : keys) EXPECT_TRUE(table->count(k)) << language << " lacks " << k;
    }
}

}  // namespace
}  // namespace wattkeeper::testing
