// wattctl's commands against a fake daemon on in-memory centers and virtual time: no bus, no
// process, but the real string tables and real files in a temporary virtual root.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "loginitem/localization.h"
#include "loginitem/notification_wrapper.h"
#include "platform/linux/linux_bundles.h"
#include "platform/linux/plist_codec.h"
#include "platform/linux/strings_file.h"
#include "protocol/names.h"
#include "protocol/protocol.h"
#include "tests/kit/fake_system.h"
#include "tests/kit/memory_centers.h"
#include "tests/kit/recording_log.h"
#include "tests/kit/virtual_run_loop.h"
#include "tools/wattctl/wattctl_app.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;
namespace names = protocol;
using namespace std::chrono_literals;
using loginitem::ZQLocalizationSystem;
using loginitem::ZQNotificationWrapper;
using testkit::MemoryNotificationCenter;

fs::path resourcesFolder() {
    return fs::path(__FILE__).parent_path().parent_path().parent_path() / "loginitem" / "resources";
}

fs::path makeTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "wk-wattctl-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// Answers requests as the daemon does, from a switch state of its own; or stays silent.
class FakeDaemon {
public:
    FakeDaemon(NotificationCenter& darwin, NotificationCenter& distributed) : distributed_(distributed) {
        current_ = this;
        for (std::string_view name : names::kRequestNames) protocol::observeDarwin(darwin, name, &FakeDaemon::received);
    }
    ~FakeDaemon() { current_ = nullptr; }

    bool silent = false;
    bool chargingAllowed = true;
    bool discharging = false;
    std::vector<std::string> requests;

private:
    static void received(NotificationCenter&, void*, std::string_view name, const void*, const PlistDictionary*) {
        if (current_) current_->answer(name);
    }

    void answer(std::string_view name) {
        requests.emplace_back(name);
        if (silent) return;
        if (name == names::kEnableCharging) chargingAllowed = true;
        if (name == names::kDisableCharging) chargingAllowed = false;
        if (name == names::kEnableDischarging) discharging = true;
        if (name == names::kDisableDischarging) discharging = false;

        if (name == names::kQueryDeamonLoadStatus) {
            reply(names::kReplyDeamonLoadStatus, {{"status", 1}, {"version", "0.1.0"}});
        } else if (name == names::kHeart) {
            reply(names::kReplyHeart, {{"smcStatus", 1}, {"smcTimerActive", 0}});
        } else if (name == names::kQuerySMCOpenCloseStatus) {
            reply(names::kReplyQuerySMCOpenCloseStatus, {{"smcStatus", 1}});
        } else if (name == names::kQuerySMCChargingStatus || name == names::kEnableCharging ||
                   name == names::kDisableCharging || name == names::kEnableDischarging ||
                   name == names::kDisableDischarging) {
            reply(names::kReplyQuerySMCChargingStatus,
                  {{"chargingStatus", chargingAllowed ? 1 : 0}, {"dischargingStatus", discharging ? 1 : 0}});
        } else if (name == names::kUninstallHelper) {
            reply(names::kReplyUninstallHelper, {{"uninstallSelf", 1}});
        } else if (name == names::kRestart) {
            reply(names::kReplyRestart, {{"restart", "开始重启"}});
        }
    }

    void reply(std::string_view name, const PlistDictionary& payload) {
        protocol::postReply(distributed_, name, payload);
    }

    inline static FakeDaemon* current_ = nullptr;
    NotificationCenter& distributed_;
};

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
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Starts wattctl with the arguments; the run loop is the test's to advance.
    wattctl::WattctlApp& run(std::vector<std::string> arguments) {
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

    std::vector<std::string> postedRequests() const { return darwin.postedNames(); }
    fs::path limitFile() const {
        return root / "Users/anna/Library/Containers/org.wattkeeper.app/Data/Documents/BatteryLimit.plist";
    }

    testkit::VirtualRunLoop loop;
    MemoryNotificationCenter darwin{loop, MemoryNotificationCenter::Kind::Darwin};
    MemoryNotificationCenter distributed{loop, MemoryNotificationCenter::Kind::Distributed};
    testkit::RecordingLog log;
    testkit::FakePowerSources powerSources;
    LinuxBundles bundles{resourcesFolder().string(), std::vector<std::string>{"en"}};
    FakeDaemon daemon{darwin, distributed};
    fs::path root = makeTempFolder();
    std::optional<std::string> rootFolder = root.string();
    std::optional<std::string> consoleUser = "anna";
    std::ostringstream out;
    std::ostringstream err;

private:
    std::vector<std::string> arguments_;
    std::vector<const char*> argv_;
    std::unique_ptr<wattctl::WattctlApp> app_;
};

TEST_F(WattctlLogicTest, StatusShowsEveryAnswerAndTheBatteryForAPerson) {
    fs::create_directories(limitFile().parent_path());
    std::ofstream(limitFile()) << "<plist version=\"1.0\"><dict>"
                                  "<key>ChargingLimit</key><integer>80</integer></dict></plist>";

    auto& app = run({"status"});
    EXPECT_FALSE(app.finished());
    loop.runUntilIdle();

    ASSERT_TRUE(app.finished());
    EXPECT_EQ(app.exitStatus(), 0);
    EXPECT_EQ(loop.stopCount(), 1);
    EXPECT_EQ(linesOf(out.str()), (std::vector<std::string>{
                                      "Battery charge control",
                                      "Daemon running as root: yes",
                                      "Daemon version: 0.1.0",
                                      "Heartbeat: answered",
                                      "SMC connection: usable",
                                      "Charge-limit timer: inactive",
                                      "Charging: allowed",
                                      "Forced discharge: off",
                                      "Battery charge: 78%",
                                      "Power adapter: connected",
                                      "Charge limit: 80%",
                                  }));
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(postedRequests(), (std::vector<std::string>{std::string(names::kQueryDeamonLoadStatus),
                                                          std::string(names::kHeart),
                                                          std::string(names::kQuerySMCChargingStatus),
                                                          std::string(names::kQuerySMCOpenCloseStatus)}));
}

TEST_F(WattctlLogicTest, StatusFollowsTheChosenLanguageAndKnowsWhatItCannotSee) {
    daemon.chargingAllowed = false;
    consoleUser.reset();
    powerSources.setSources(std::nullopt);

    auto& app = run({"--lang", "zh-Hans", "status"});
    loop.runUntilIdle();

    ASSERT_TRUE(app.finished());
    const auto lines = linesOf(out.str());
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "电池充电控制");
    EXPECT_EQ(lines[6], "充电：已禁止");
    EXPECT_EQ(lines[8], "电池电量：未知");
    EXPECT_EQ(lines[9], "充电上限：未知（没有虚拟 Mac 的根文件夹或控制台用户）");
}

TEST_F(WattctlLogicTest, AnAnswerOfAnotherKindInTheCommonSlotDoesNotEndTheWaitForTheSmcState) {
    auto& app = run({"status"});
    daemon.silent = true;
    // Another process's request answered first, into the slot the SMC state waits in.
    protocol::postReply(distributed, names::kReplySmcState, {{"result", "处理完成"}});
    loop.runUntilIdle();
    EXPECT_FALSE(app.finished());

    protocol::postReply(distributed, names::kReplyQuerySMCOpenCloseStatus, {{"smcStatus", 0}});
    for (auto [name, payload] : std::vector<std::pair<std::string_view, PlistDictionary>>{
             {names::kReplyDeamonLoadStatus, {{"status", 0}}},
             {names::kReplyHeart, {{"smcStatus", 0}, {"smcTimerActive", 1}}},
             {names::kReplyQuerySMCChargingStatus, {{"chargingStatus", 1}, {"dischargingStatus", 1}}}}) {
        protocol::postReply(distributed, name, payload);
    }
    loop.runUntilIdle();

    ASSERT_TRUE(app.finished());
    const auto lines = linesOf(out.str());
    EXPECT_EQ(lines[1], "Daemon running as root: no");
    EXPECT_EQ(lines[2], "Daemon version: unknown");
    EXPECT_EQ(lines[4], "SMC connection: unusable");
    EXPECT_EQ(lines[5], "Charge-limit timer: active");
    EXPECT_EQ(lines[7], "Forced discharge: on");
}

TEST_F(WattctlLogicTest, ARequestWithoutAnAnswerEndsWithTheNoAnswerMessageAfterTheTimeout) {
    struct Case {
        std::vector<std::string> arguments;
        std::chrono::milliseconds timeout;
    };
    const Case cases[] = {
        {{"status"}, 3s},
        {{"charging", "on"}, 3s},
        {{"uninstall"}, 3s},
        {{"restart", "--timeout", "1.5"}, 1500ms},
        {{"--timeout", "10", "discharging", "off"}, 10s},
    };
    daemon.silent = true;
    for (const auto& c : cases) {
        out.str("");
        err.str("");
        auto& app = run(c.arguments);
        loop.advance(c.timeout - 1ms);
        EXPECT_FALSE(app.finished()) << c.arguments[0];
        loop.advance(1ms);
        ASSERT_TRUE(app.finished()) << c.arguments[0];
        EXPECT_EQ(app.exitStatus(), wattctl::kNoAnswerStatus) << c.arguments[0];
        EXPECT_EQ(err.str(), "the daemon does not answer: is it running?\n") << c.arguments[0];
        EXPECT_EQ(out.str(), "") << c.arguments[0];
    }
}

TEST_F(WattctlLogicTest, LimitWritesTheFileInTheUsersContainerBeforeItTellsTheDaemon) {
    auto& app = run({"limit", "80"});

    // Nothing to wait for: the request has no reply.
    ASSERT_TRUE(app.finished());
    EXPECT_EQ(app.exitStatus(), 0);
    std::ifstream file(limitFile(), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find("<?xml"), std::string::npos);
    const auto value = plistFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
    ASSERT_TRUE(value && value->asDictionary());
    EXPECT_EQ(*value->asDictionary(), (PlistDictionary{{"ChargingLimit", 80}}));
    EXPECT_EQ(postedRequests(), std::vector<std::string>{std::string(names::kLimitChange)});
    EXPECT_EQ(linesOf(out.str()),
              (std::vector<std::string>{
                  "Charge limit set to 80% in "
                  "/Users/anna/Library/Containers/org.wattkeeper.app/Data/Documents/BatteryLimit.plist.",
                  "The daemon was told that the charge limit changed."}));
}

TEST_F(WattctlLogicTest, LimitOptionsGoBeforeTheVirtualMacsAnswers) {
    const fs::path other = makeTempFolder();
    rootFolder.reset();
    consoleUser.reset();
    auto& app = run({"limit", "55", "--root", other.string(), "--user", "bert"});
    EXPECT_EQ(app.exitStatus(), 0);
    EXPECT_TRUE(
        fs::exists(other / "Users/bert/Library/Containers/org.wattkeeper.app/Data/Documents/BatteryLimit.plist"));
    fs::remove_all(other);
}

TEST_F(WattctlLogicTest, LimitFailsWithoutAPlaceToWriteAndPostsNothing) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool noLocation;
    };
    const Case cases[] = {
        {"no virtual Mac", {"limit", "80"}, true},
        {"above 100", {"limit", "101", "--root", "/tmp", "--user", "anna"}, false},
        {"not a number", {"limit", "high", "--root", "/tmp", "--user", "anna"}, false},
    };
    rootFolder.reset();
    for (const auto& c : cases) {
        err.str("");
        auto& app = run(c.arguments);
        ASSERT_TRUE(app.finished()) << c.name;
        EXPECT_NE(app.exitStatus(), 0) << c.name;
        if (c.noLocation) {
            EXPECT_NE(err.str().find("Cannot find the virtual Mac"), std::string::npos) << c.name;
        }
    }
    EXPECT_TRUE(postedRequests().empty());
}

TEST_F(WattctlLogicTest, SwitchCommandsShowTheChargingStateTheDaemonAnswersWith) {
    struct Case {
        std::vector<std::string> arguments;
        std::string_view request;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{"charging", "off"}, names::kDisableCharging, {"Charging: inhibited", "Forced discharge: off"}},
        {{"discharging", "on"}, names::kEnableDischarging, {"Charging: inhibited", "Forced discharge: on"}},
        {{"charging", "on"}, names::kEnableCharging, {"Charging: allowed", "Forced discharge: on"}},
        {{"discharging", "off"}, names::kDisableDischarging, {"Charging: allowed", "Forced discharge: off"}},
    };
    for (const auto& c : cases) {
        out.str("");
        darwin.clearPosts();
        auto& app = run(c.arguments);
        loop.runUntilIdle();
        ASSERT_TRUE(app.finished()) << c.arguments[0] << " " << c.arguments[1];
        EXPECT_EQ(app.exitStatus(), 0);
        EXPECT_EQ(postedRequests(), std::vector<std::string>{std::string(c.request)});
        EXPECT_EQ(linesOf(out.str()), c.lines) << c.arguments[0] << " " << c.arguments[1];
    }
}

TEST_F(WattctlLogicTest, CommandsPostTheirRequestAndShowTheirResult) {
    struct Case {
        const char* command;
        std::string_view request;
        const char* line;
    };
    const Case cases[] = {
        {"on", names::kOpenSMC, "Asked the daemon to turn charge control on."},
        {"off", names::kCloseSMC, "Asked the daemon to turn charge control off."},
        {"uninstall", names::kUninstallHelper, "The daemon is uninstalling itself."},
        {"restart", names::kRestart, "The daemon is restarting."},
    };
    for (const auto& c : cases) {
        out.str("");
        darwin.clearPosts();
        auto& app = run({c.command});
        loop.runUntilIdle();
        ASSERT_TRUE(app.finished()) << c.command;
        EXPECT_EQ(app.exitStatus(), 0) << c.command;
        EXPECT_EQ(postedRequests(), std::vector<std::string>{std::string(c.request)}) << c.command;
        EXPECT_EQ(out.str(), std::string(c.line) + "\n") << c.command;
    }
}

TEST_F(WattctlLogicTest, WatchShowsEachLookAndEachAnswerUntilItsCount) {
    auto& app = run({"watch", "--interval", "5", "--count", "2"});
    loop.advance(4s);
    daemon.silent = true;
    protocol::postReply(distributed, names::kReplyRestart, {{"restart", "开始重启"}});
    loop.advance(6s);

    ASSERT_TRUE(app.finished());
    EXPECT_EQ(app.exitStatus(), 0);
    EXPECT_EQ(linesOf(out.str()), (std::vector<std::string>{
                                      "Following the daemon every 5 s; press Ctrl-C to stop.",
                                      "[0 s] Battery charge: 78%; Power adapter: connected",
                                      "[0 s] Heartbeat: answered; SMC connection: usable; Charge-limit timer: inactive",
                                      "[0 s] Charging: allowed; Forced discharge: off",
                                      "[4 s] The daemon is restarting.",
                                      "[5 s] Battery charge: 78%; Power adapter: connected",
                                      "[10 s] the daemon does not answer: is it running?",
                                  }));
}

TEST_F(WattctlLogicTest, HelpIsShownInTheChosenLanguageForEveryCommand) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--help"}, {"status", "--help"}, {"--lang=zh-Hans", "limit", "--help"}}) {
        out.str("");
        auto& app = run(arguments);
        ASSERT_TRUE(app.finished());
        EXPECT_EQ(app.exitStatus(), 0);
        EXPECT_NE(out.str().find("wattctl"), std::string::npos);
    }
    EXPECT_NE(out.str().find("把充电上限写入主应用程序的容器并通知守护进程"), std::string::npos);
    EXPECT_TRUE(postedRequests().empty());

    out.str("");
    run({"--help"});
    for (const char* command : {"limit", "on", "off", "status", "charging", "discharging", "uninstall", "restart",
                                "watch"}) {
        EXPECT_NE(out.str().find(command), std::string::npos) << command;
    }
}

TEST_F(WattctlLogicTest, ABadCommandLineEndsAtOnceWithAFailure) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, {"fly"}, {"charging", "maybe"}, {"--lang", "fr", "status"}}) {
        auto& app = run(arguments);
        ASSERT_TRUE(app.finished());
        EXPECT_NE(app.exitStatus(), 0);
    }
    EXPECT_TRUE(postedRequests().empty());
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

TEST(WattctlFormat, TheLanguageOptionIsFoundBeforeTheCommandLineIsParsed) {
    struct Case {
        std::vector<const char*> argv;
        std::optional<std::string> language;
    };
    const Case cases[] = {
        {{"wattctl", "--lang", "zh-Hans", "status"}, "zh-Hans"},
        {{"wattctl", "status", "--lang=en"}, "en"},
        {{"wattctl", "status"}, std::nullopt},
        {{"wattctl", "--lang"}, std::nullopt},
        {{"wattctl", "--language", "x"}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wattctl::requestedLanguage(static_cast<int>(c.argv.size()), c.argv.data()), c.language);
    }
}

// Every text wattctl shows is looked up by a key; each key must be in every shipped language,
// or a person reading that language sees the bare key.
TEST(WattctlTexts, EveryKeyTheToolUsesIsInEveryLanguage) {
    const fs::path sources = fs::path(__FILE__).parent_path().parent_path().parent_path() / "tools" / "wattctl";
    std::set<std::string> keys{"separator"};
    static const std::regex key(R"re("([a-z]+(\.[A-Za-z0-9]+)+)")re");
    for (const auto& entry : fs::directory_iterator(sources)) {
        std::ifstream in(entry.path());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it) keys.insert((*it)[1]);
    }
    ASSERT_GT(keys.size(), 20u);
    for (const char* language : {"en", "zh-Hans"}) {
        const auto table = readStringsFile((resourcesFolder() / (std::string(language) + ".lproj") / "Localizable.strings").string());
        ASSERT_TRUE(table.has_value()) << language;
        for (const auto& k : keys) EXPECT_TRUE(table->count(k)) << language << " lacks " << k;
    }
}

}  // namespace
}  // namespace wattkeeper::testing
