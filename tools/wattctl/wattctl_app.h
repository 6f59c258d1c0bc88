#pragma once
// wattctl's commands over ports: it stands in for the main application, so it reaches the
// daemon only through the relay and shows every text through the localization system.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "loginitem/notification_wrapper.h"
#include "platform/plist.h"
#include "platform/power_sources.h"
#include "platform/run_loop.h"

namespace wattkeeper::wattctl {

inline constexpr std::chrono::milliseconds kDefaultTimeout{3000};
inline constexpr std::chrono::milliseconds kDefaultWatchInterval{5000};
inline constexpr std::string_view kLimitFileName = "BatteryLimit.plist";
inline constexpr std::string_view kLimitKey = "ChargingLimit";
inline constexpr int kNoAnswerStatus = 1;
inline constexpr int kFailureStatus = 2;

// What wattctl needs of the process around it.
struct Context {
    RunLoop& runLoop;
    // Must be the shared relay: the daemon's replies reach only that one.
    loginitem::ZQNotificationWrapper& relay;
    // The battery as the virtual Mac describes it; null when there is none to ask.
    PowerSources* powerSources = nullptr;
    // The virtual Mac's root folder and console user, asked only when an option does not give
    // them; an empty function counts as an answer of nothing.
    std::function<std::optional<std::string>()> rootFolder;
    std::function<std::optional<std::string>()> consoleUser;
    std::ostream& out;
    std::ostream& err;
    // Runs the virtual Mac's launchctl with these arguments; its exit status.
    std::function<int(const std::vector<std::string>&)> launchctl = {};
    // Where the build put the daemon's bundle (bundles/Wattkeeper.app) and its launchd job
    // (LaunchDaemons/<HelperLabel>.plist).
    std::string buildFolder = {};
};

// The language a command line asks for with "--lang X" or "--lang=X"; nothing without one.
std::optional<std::string> requestedLanguage(int argc, const char* const* argv);

// "%d", "%s" and "%@" of a localized format in turn replaced by the arguments, "%%" by "%".
// Only these are read, so a table's text can never make it read what it was not given.
std::string fill(std::string_view format, const std::vector<std::string>& arguments);

// "/Users/<user>/Library/Containers/<MainAppBundleId>/Data/Documents/BatteryLimit.plist".
std::string limitFilePath(std::string_view user);

// One run of wattctl: parses the command line and carries out its command. A command that
// waits for the daemon does so on the run loop and stops the loop when it is done.
class WattctlApp {
public:
    explicit WattctlApp(Context context);
    ~WattctlApp();
    WattctlApp(const WattctlApp&) = delete;
    WattctlApp& operator=(const WattctlApp&) = delete;

    // Selects the language, parses and starts the command. When finished() is false afterwards,
    // the caller serves the run loop until the command stops it.
    void start(int argc, const char* const* argv);
    bool finished() const { return finished_; }
    // 0 on success, kNoAnswerStatus when the daemon did not answer, kFailureStatus when a file
    // could not be written or the virtual Mac not found, and the command-line parser's status
    // for a bad command line.
    int exitStatus() const { return status_; }

private:
    struct Options;
    struct StatusReport;

    void runLimit(int percent);
    void runPost(std::string_view request, std::string_view resultKey);
    void runStatus();
    void runSwitch(std::string_view request);
    void runAnnounced(std::string_view request, std::string_view resultKey);
    void runWatch(std::chrono::milliseconds interval, int count);
    void runInstall();

    using ReplyField = std::optional<std::optional<PlistDictionary>> StatusReport::*;
    loginitem::Completion storeIn(ReplyField field);
    loginitem::Completion smcStateWaiter();

    void watchTick(std::chrono::milliseconds interval, int remaining);
    loginitem::Completion watcher(std::string handlerKey);
    void watchLine(const std::string& text);

    // Sends a request whose reply comes in its own slot and ends the command with kNoAnswerStatus
    // when none arrives within the timeout.
    void awaitReply(std::string_view request, loginitem::Completion onReply);
    void armDeadline();
    void finish(int status);

    std::optional<std::string> root() const;
    std::optional<std::string> user() const;
    std::vector<std::string> batteryLines() const;
    std::string limitText() const;
    std::string replyText(std::string_view handlerKey, const PlistDictionary* payload) const;
    void printReport(const StatusReport& report);

    Context context_;
    std::unique_ptr<Options> options_;
    bool finished_ = false;
    int status_ = 0;
    // Work left on the run loop finds out through this whether the app still exists.
    std::shared_ptr<WattctlApp*> self_;
    std::shared_ptr<StatusReport> report_;
    Duration startedAt_{0};
    std::int64_t watchLooks_ = 0;
    std::int64_t watchReplies_ = 0;
    std::int64_t repliesAtLastLook_ = 0;
};

}  // namespace wattkeeper::wattctl
